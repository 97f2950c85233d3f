// Verification and identification on the whole stack: users enrolled by swipes of synthetic fingers,
// then recognised (or not) from another swipe, by capture and from an image the caller has.
#include "tests/tcs/flows/ex_capture_fixture.h"

#include "platform/usb_test_seams.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/template_cache.h"

#include <fstream>

namespace {

constexpr const char* kPolicySection = "SOFTWARE\\Tovantic\\tfs530";

class ExAuthenticate : public ExCaptureStack {
protected:
    // Users "u0", "u1", ... enrolled with fingers 0, 1, ... (three swipes each).
    void enrollUsers(TcsHandle app, int count) {
        for (int u = 0; u < count; ++u) {
            queueSwipes({{u, 0}, {u, 1}, {u, 2}});
            Recorder r;
            ASSERT_EQ(enrollBySwipes(app, userId(u), 1, &r), TCS_RESULT_OK) << u;
        }
    }
    static Bytes userId(int u) { return bytesOf(("u" + std::to_string(u)).c_str()); }

    TcsResult verify(TcsHandle app, const Bytes& id, std::pair<int, int> swipe, uint32_t option = 5) {
        queueSwipes({swipe});
        progress_.calls.clear();
        const SizedBuffer sid = sized(id);
        return tcsExVerifyUser(sensor_, MSS_MATCHER_MINUTIAE, app, &sid, option, onProgress, &progress_);
    }
    TcsResult identify(TcsHandle app, std::pair<int, int> swipe) {
        queueSwipes({swipe});
        progress_.calls.clear();
        return tcsExIdentifyUser(sensor_, MSS_MATCHER_MINUTIAE, app, 5, onProgress, &progress_);
    }
    // The stored iteration policy.
    static std::vector<uint32_t> policy() {
        uint8_t raw[64] = {};
        uint32_t count = sizeof raw;
        const uint8_t none = 0;
        if (palGetPersistentDataBinaryValue(kPolicySection, "IterationPolicy", &none, 0, raw, &count) != 0) return {};
        std::vector<uint32_t> out(count / 4);
        std::memcpy(out.data(), raw, out.size() * 4);
        return out;
    }
    size_t commandsSent(uint8_t code) {
        size_t n = 0;
        for (const Bytes& c : simusb::commandLog(sim_)) n += !c.empty() && c[0] == code;
        return n;
    }

    Recorder progress_;
};

TEST_F(ExAuthenticate, VerifiesTheSameFingerAndRefusesAnother) {
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    enrollUsers(app, 2);

    ASSERT_EQ(verify(app, userId(0), {0, 3}, 7), TCS_RESULT_OK);
    EXPECT_EQ(progress_.ids(), (std::vector<uint32_t>{8, 17, 14}));
    Progress done = progress_.all().back();
    EXPECT_EQ(done.result, 0u);
    EXPECT_EQ(done.status, 0u);
    EXPECT_EQ(done.size, 40u);
    EXPECT_EQ(done.users, std::vector<Bytes>{userId(0)});
    EXPECT_EQ(done.entries, std::vector<Bytes>{bytesOf("other")}) << "the entry of the kind asked for";

    // Another finger: no match, reported as 65 and returned as 363.
    EXPECT_EQ(verify(app, userId(0), {1, 3}), TCS_RESULT_NOT_VERIFIED);
    done = progress_.all().back();
    EXPECT_EQ(done.id, 14u);
    EXPECT_EQ(done.status, TCS_RESULT_USER_DOESNT_EXIST);
    EXPECT_EQ(done.size, 0u);
    // The right finger of another user is no match for this one.
    EXPECT_EQ(verify(app, userId(1), {0, 4}), TCS_RESULT_NOT_VERIFIED);
    // A match whose template holds no entry of the kind asked for.
    EXPECT_EQ(verify(app, userId(1), {1, 4}, 9), TCS_RESULT_NO_ENROLLMENT_DATA);
}

TEST_F(ExAuthenticate, IdentifiesAmongUsersAndPutsTheFoundOneFirst) {
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    enrollUsers(app, 3);
    EXPECT_TRUE(policy().empty()) << "enrollment found nobody, so no order was stored";

    ASSERT_EQ(identify(app, {2, 3}), TCS_RESULT_OK);
    EXPECT_EQ(progress_.ids(), (std::vector<uint32_t>{8, 17, 15}));
    Progress done = progress_.all().back();
    EXPECT_EQ(done.size, 16u);
    EXPECT_EQ(done.users, std::vector<Bytes>{userId(2)});
    EXPECT_EQ(done.entries, std::vector<Bytes>{bytesOf("secret")});
    EXPECT_EQ(policy(), (std::vector<uint32_t>{2, 0, 1}));

    // u1 is now searched last: found there, it moves to the front.
    ASSERT_EQ(identify(app, {1, 3}), TCS_RESULT_OK);
    EXPECT_EQ(progress_.all().back().users, std::vector<Bytes>{userId(1)});
    EXPECT_EQ(policy(), (std::vector<uint32_t>{1, 2, 0}));

    // A finger nobody enrolled: 65 reported, 362 returned, the order kept.
    EXPECT_EQ(identify(app, {5, 0}), TCS_RESULT_NOT_IDENTIFIED);
    done = progress_.all().back();
    EXPECT_EQ(done.id, 15u);
    EXPECT_EQ(done.status, TCS_RESULT_USER_DOESNT_EXIST);
    EXPECT_EQ(policy(), (std::vector<uint32_t>{1, 2, 0}));
}

// On a PEK-secured sensor the matched template is confirmed by the sensor and the enrollment entry
// comes from the payload it opens; an id nobody has is refused before anything is compared or
// decrypted, and a verification that searched one user does not close the decrypted-template cache
// to the others.
TEST_F(ExAuthenticate, SecuredSensorConfirmsTheMatchAndComparesNothingForAnUnknownId) {
    startSwiping(true);
    const TcsHandle app = fileStorage("db.img");
    enrollUsers(app, 2);
    ASSERT_EQ(storedTemplates(app, userId(0))[0][3], 1) << "wrapped by the sensor";

    simusb::clearCommandLog(sim_);
    EXPECT_EQ(verify(app, bytesOf("nobody"), {0, 3}), TCS_RESULT_NOT_VERIFIED);
    EXPECT_EQ(commandsSent(0x1E), 0u);
    EXPECT_EQ(commandsSent(0x1C), 0u);

    // With the cache emptied, the failed verification of u1 decrypts (and caches) u1's template only:
    // the identification must still look for the others.
    ASSERT_EQ(scsSensorFreeDecTemplatesList(sensorRecord()->sensorControlSensor, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(verify(app, userId(1), {0, 3}), TCS_RESULT_NOT_VERIFIED);
    ASSERT_EQ(identify(app, {0, 4}), TCS_RESULT_OK);
    EXPECT_EQ(progress_.all().back().users, std::vector<Bytes>{userId(0)});
    EXPECT_EQ(progress_.all().back().entries, std::vector<Bytes>{bytesOf("secret")});
    EXPECT_GE(commandsSent(0x1C), 1u) << "the sensor confirmed the match";
}

// A swipe the quality verdict calls unusable is not compared: 308 (capture mode 0 delivers it).
TEST_F(ExAuthenticate, UnusableSwipeIsNotCompared) {
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    enrollUsers(app, 1);
    ASSERT_EQ(tcsSetParam(client_, 16, 0), TCS_RESULT_OK);
    queueSwipe(Fingers::nothing());
    progress_.calls.clear();
    EXPECT_EQ(tcsExIdentifyUser(sensor_, MSS_MATCHER_MINUTIAE, app, 5, onProgress, &progress_),
              TCS_RESULT_IMAGE_UNUSABLE);
    EXPECT_EQ(progress_.ids(), (std::vector<uint32_t>{8, 17, 15}));
    EXPECT_EQ(progress_.all().back().status, TCS_RESULT_IMAGE_UNUSABLE);
}

// The image-driven calls compare an image the caller captured; no match is 65 there.
TEST_F(ExAuthenticate, ImagesTheCallerHasAreIdentifiedAndVerified) {
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    enrollUsers(app, 2);
    queueSwipes({{1, 3}});
    TcsHandle image = 0;
    ASSERT_EQ(tcsSensorGetFingerprint(sensor_, &image, nullptr), TCS_RESULT_OK);

    UserMatchList list{};
    ASSERT_EQ(tcsExIdentifyImage(sensor_, MSS_MATCHER_MINUTIAE, app, image, 7, &list), TCS_RESULT_OK);
    ASSERT_EQ(list.count, 1u);
    EXPECT_EQ(Bytes(list.matches[0].userId, list.matches[0].userId + list.matches[0].userIdSize), userId(1));
    EXPECT_EQ(Bytes(list.matches[0].entryData, list.matches[0].entryData + list.matches[0].entrySize), bytesOf("other"));
    EXPECT_EQ(list.matches[0].entryKind, 7u);
    tcsExUserMatchListFree(&list);
    EXPECT_EQ(list.count, 0u);

    const Bytes u0 = userId(0), u1 = userId(1);
    const SizedBuffer id0 = sized(u0), id1 = sized(u1);
    EXPECT_EQ(tcsExVerifyImage(sensor_, MSS_MATCHER_MINUTIAE, app, image, &id1, 5), TCS_RESULT_OK);
    EXPECT_EQ(tcsExVerifyImage(sensor_, MSS_MATCHER_MINUTIAE, app, image, &id0, 5), TCS_RESULT_USER_DOESNT_EXIST);

    EXPECT_EQ(tcsExVerifyImage(sensor_, MSS_MATCHER_MINUTIAE, app, image, nullptr, 5), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExIdentifyImage(sensor_, MSS_MATCHER_MINUTIAE, app, image, 5, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExIdentifyImage(0, MSS_MATCHER_MINUTIAE, app, image, 5, &list), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_EQ(tcsExIdentifyImage(sensor_, MSS_MATCHER_MINUTIAE, app, 0, 5, &list), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExIdentifyImage(sensor_, MSS_MATCHER_MINUTIAE, 0, image, 5, &list), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsHandleDestroy(image), TCS_RESULT_OK);
}

// Every user of a storage larger than the file system's 20 open listings is searched.
TEST_F(ExAuthenticate, AStorageOfManyUsersIsSearchedToTheEnd) {
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    for (uint32_t u = 0; u < 21; ++u) ASSERT_EQ(enroll(app, userId(int(u)), 1, bytesOf("p"), u + 1), TCS_RESULT_OK);
    std::vector<uint8_t> pixels(200 * 300);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t((i % 200) * 9 % 256);
    TcsHandle image = 0;
    ASSERT_EQ(tcsImageCreate(&image, pixels.data(), uint32_t(pixels.size()), 300, 200, 0), TCS_RESULT_OK);
    UserMatchList list{};
    EXPECT_EQ(tcsExIdentifyImage(sensor_, MSS_MATCHER_MINUTIAE, app, image, 5, &list), TCS_RESULT_USER_DOESNT_EXIST);
    EXPECT_EQ(list.count, 0u);
    tcsHandleDestroy(image);
}

// A pre-boot image of 256 header and 256 body bytes with both checksums right.
Bytes preBootImage() {
    Bytes image(512);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 13 + 5);
    const uint32_t bodyLength = 256;
    std::memcpy(image.data() + 35, &bodyLength, 4);
    uint32_t bodyCrc = 0;
    palCryptoChecksum(0, &bodyCrc, image.data() + 256, bodyLength, 11);
    std::memcpy(image.data() + 39, &bodyCrc, 4);
    const uint32_t headerCrc = scspatch::efiHeaderCrc(image.data());
    std::memcpy(image.data() + 92, &headerCrc, 4);
    return image;
}

// A 4.21 sensor has a pre-boot image of its own. The first verification arms the update, the second
// runs it (the sensor's image partition is read and compared with the host's file), and no later one
// runs it again.
TEST_F(ExAuthenticate, PreBootImageIsCheckedOnceAfterTheFirstAuthentication) {
    const std::string files = dir_ + "/preboot";
    ASSERT_EQ(std::system(("mkdir -p " + files).c_str()), 0);
    const Bytes image = preBootImage();
    std::ofstream(files + "/OemUsbTFS641.img", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    palTestSetEFIImageFolder(files.c_str());
    startSwiping(false, 21);
    const TcsHandle app = fileStorage("db.img");
    enrollUsers(app, 1);
    // The sensor holds the same image already: the update finds nothing to write.
    ASSERT_EQ(tcsSensorProgramEFIImage(sensor_, image.data(), uint32_t(image.size()), 1), TCS_RESULT_OK);
    std::vector<size_t> flashCommands;
    for (int take = 3; take < 6; ++take) {
        simusb::clearCommandLog(sim_);
        ASSERT_EQ(verify(app, userId(0), {0, take}), TCS_RESULT_OK) << take;
        flashCommands.push_back(commandsSent(0x0B) + commandsSent(0x1F));
    }
    EXPECT_EQ(flashCommands[0], 0u);
    EXPECT_GT(flashCommands[1], 0u);
    EXPECT_EQ(flashCommands[2], 0u);
    EXPECT_EQ(tcsUpdateEFIImage(0), TCS_RESULT_NULL_SENSOR_HANDLE);
    palTestSetEFIImageFolder(nullptr);
}

TEST_F(ExAuthenticate, MissingArgumentsAreRefusedBeforeAnySwipe) {
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    const Bytes idBytes = bytesOf("u0");
    const SizedBuffer id = sized(idBytes);
    EXPECT_EQ(tcsExVerifyUser(sensor_, 1, app, nullptr, 0, onProgress, &progress_), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExVerifyUser(sensor_, 1, app, &id, 0, nullptr, &progress_), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExIdentifyUser(sensor_, 1, 0, 0, onProgress, &progress_), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExIdentifyUser(0, 1, app, 0, onProgress, &progress_), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_TRUE(progress_.calls.empty());
    EXPECT_TRUE(sensorEvents().empty());
}

}  // namespace
