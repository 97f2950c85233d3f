// Client calls: request records byte for byte, replies unpacked, outputs only on success.

#include "tests/apps/shared/fixture.h"

#include "apps/shared/calls.h"
#include "platform/memory.h"
#include "tcs/handle_map.h"
#include "tcs/matching/templates.h"

#include <functional>

namespace tov::client::testing {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes zeros(size_t count) { return Bytes(count, 0); }

Bytes text(const char* value, size_t size = 260) {
    Bytes out(size, 0);
    std::memcpy(out.data(), value, std::strlen(value));
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes u32(uint32_t value) {
    Bytes out;
    append32(out, value);
    return out;
}

Bytes u64(uint64_t value) {
    Bytes out;
    append64(out, value);
    return out;
}

TcsResult noteEvent(void*, void*, EventRecord*) { return TCS_RESULT_OK; }
TcsResult noteCompletion(void*, TcsResult, void*) { return TCS_RESULT_OK; }

class CallsTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        client_ = createClient();
        service_->clearRequests();
    }

    // The one request the call sent (fails the test when it sent none or several).
    sim::service::Request onlyRequest() {
        auto sent = service_->requests();
        EXPECT_EQ(sent.size(), 1u);
        return sent.empty() ? sim::service::Request{} : sent.front();
    }

    TcsHandle client_ = 0;
};

TEST_F(CallsTest, RequestsAreSentByteForByteAndRepliesUnpacked) {
    const uint64_t sensor = 0x1122334455667788ull;
    const uint64_t user = 0x0A0B0C0D0E0F1011ull;
    char version[80] = {};
    TcsHandle handle = 0;
    uint32_t value = 0;
    DeviceInfoRecord info{};
    SensorUidRecord uid{};
    uint8_t* data = nullptr;
    uint32_t dataLength = 0;
    LedConfigRecord led{};
    uint8_t pba = 0;
    const uint8_t payload[5] = {1, 2, 3, 4, 5};
    const uint8_t key[3] = {0xAA, 0xBB, 0xCC};
    const uint64_t callback = uint64_t(reinterpret_cast<uintptr_t>(&noteEvent));
    const uint64_t completion = uint64_t(reinterpret_cast<uintptr_t>(&noteCompletion));
    const uint64_t context = 0xC0FFEE;

    struct Case {
        const char* name;
        uint8_t function;
        std::function<TcsResult()> call;
        Bytes request;
        Bytes reply;
        std::function<void()> check;
    };
    Bytes deviceInfo(48);
    for (size_t i = 0; i < deviceInfo.size(); ++i) deviceInfo[i] = uint8_t(i + 1);
    Bytes written = zeros(32768);
    std::memcpy(written.data(), payload, sizeof(payload));
    Bytes stored = zeros(32768);
    stored[0] = 9;
    stored[1] = 8;

    std::vector<Case> cases = {
        {"client callback add", 3,
         [&] { return tcsClientEventsAddCallback(client_, noteEvent, reinterpret_cast<void*>(context)); },
         cat({u64(client_), u64(callback), u64(context)}), u32(0), nullptr},
        {"version", 5, [&] { return tcsSensorGetVersionA(sensor, version); }, u64(sensor),
         cat({u32(0), text("04.40", 80)}), [&] { EXPECT_STREQ(version, "04.40"); }},
        {"sensor open", 7, [&] { return tcsSensorOpenA(client_, "usb-0001", &handle); },
         cat({u64(client_), text("usb-0001"), zeros(4)}), cat({u32(0), u32(0), u64(0x5151)}),
         [&] { EXPECT_EQ(handle, 0x5151u); }},
        {"image size", 11, [&] { return tcsSensorGetReconstructedImageMaxSize(sensor, &value); }, u64(sensor),
         cat({u32(0), u32(90000)}), [&] { EXPECT_EQ(value, 90000u); }},
        {"capture", 12,
         [&] { return tcsSensorGetFingerprintAsyncA(sensor, noteCompletion, reinterpret_cast<void*>(context), "/d"); },
         cat({u64(sensor), u64(completion), u64(context), text("/d"), zeros(4)}), u32(0), nullptr},
        {"create app storage", 23, [&] { return tcsDatabaseCreateAppStorage(0x77, "FEATURES", 3, &handle); },
         cat({u64(0x77), text("FEATURES"), u32(3)}), cat({u32(0), u32(0), u64(0x99)}),
         [&] { EXPECT_EQ(handle, 0x99u); }},
        {"set user data", 28, [&] { return tcsDatabaseSetUserData(user, 6, payload, sizeof(payload)); },
         cat({u64(user), u32(6), u32(5), written}), u32(0), nullptr},
        {"get user data", 29, [&] { return tcsDatabaseGetUserData(user, 6, &data, &dataLength); },
         cat({u64(user), u32(6), zeros(4)}), cat({u32(0), u32(2), stored}),
         [&] {
             ASSERT_EQ(dataLength, 2u);
             EXPECT_EQ(data[0], 9);
             EXPECT_EQ(data[1], 8);
             palRealFree(data);
         }},
        {"set parameter", 50, [&] { return tcsSetParam(client_, 15, 100000); },
         cat({u64(client_), u32(15), u32(100000)}), u32(0), nullptr},
        {"get parameter", 51, [&] { return tcsGetParam(client_, 7, &value); }, cat({u64(client_), u32(7), zeros(4)}),
         cat({u32(0), u32(31)}), [&] { EXPECT_EQ(value, 31u); }},
        {"device info", 53, [&] { return tcsSensorGetDeviceInfo(sensor, &info); }, u64(sensor),
         cat({u32(0), deviceInfo}), [&] { EXPECT_EQ(std::memcmp(&info, deviceInfo.data(), 48), 0); }},
        {"symmetric key", 54, [&] { return tcsSetSymmetricKey(sensor, 1, 2, 3, key, sizeof(key)); },
         cat({u64(sensor), u32(1), u32(2), u32(3), Bytes{0xAA, 0xBB, 0xCC}, zeros(61), u32(3)}), u32(0), nullptr},
        {"LED config", 70,
         [&] {
             led = LedConfigRecord{};
             led.size = 2;
             led.bytes[0] = 0x10;
             led.bytes[1] = 0x20;
             return tcsSensorLEDConfig(sensor, 26, &led);
         },
         cat({u64(sensor), u32(26), u32(2), Bytes{0x10, 0x20}, zeros(22)}), u32(0), nullptr},
        {"LED idle", 74, [&] { return tcsSensorLEDIdle(sensor); }, cat({u64(sensor), u32(28), zeros(28)}), u32(0),
         nullptr},
        {"LED enable", 76, [&] { return tcsSensorLEDEnable(1); }, u32(1), u32(0), nullptr},
        {"remove finger", 88,
         [&] {
             SizedBuffer id{sizeof(payload), payload};
             return tcsExRemoveUserFinger(sensor, 0x66, &id, 7);
         },
         cat({u64(sensor), u64(0x66), u32(5), written, u32(7)}), u32(0), nullptr},
        {"UID", 91, [&] { return tcsSensorGetUID(sensor, &uid); }, u64(sensor),
         cat({u32(0), Bytes{0x34, 0x12, 0x78, 0x56}, Bytes(16, 0xEE)}),
         [&] {
             EXPECT_EQ(uid.first, 0x1234);
             EXPECT_EQ(uid.second, 0x5678);
             EXPECT_EQ(uid.uid[15], 0xEE);
         }},
        {"privileged transaction", 93, [&] { return tcsSensorStartPrivilegedTransaction(sensor); },
         cat({u64(sensor), u32(1), zeros(4)}), u32(0), nullptr},
        {"PBA flag get", 99, [&] { return tcsSensorGetPbaFlag(sensor, 3, &pba); }, cat({u64(sensor), Bytes{3}, zeros(7)}),
         cat({u32(0), Bytes{0x5A, 0, 0, 0}}), [&] { EXPECT_EQ(pba, 0x5A); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        service_->clearRequests();
        sim::service::CannedReply reply;
        reply.payload = c.reply;
        service_->setReply(c.function, reply);
        ASSERT_EQ(c.call(), TCS_RESULT_OK);
        sim::service::Request sent = onlyRequest();
        EXPECT_EQ(sent.function, c.function);
        EXPECT_EQ(sent.process, uint32_t(getpid()));
        EXPECT_EQ(sent.thread, uint32_t(palCurrentThreadId()));
        EXPECT_TRUE(sent.headerReservedZero);
        EXPECT_EQ(sent.payload, c.request);
        if (c.check) c.check();
        service_->clearReply(c.function);
    }
}

TEST_F(CallsTest, ServiceFailureLeavesOutputsEmpty) {
    // The service answers with a failure but fills the output fields all the same.
    sim::service::CannedReply failed;
    failed.payload = cat({u32(TCS_RESULT_SENSOR_NOT_FOUND), u32(0), u64(0x4242)});
    service_->setReply(7, failed);
    TcsHandle sensor = 0x1;
    EXPECT_EQ(tcsSensorOpenA(client_, "x", &sensor), TCS_RESULT_SENSOR_NOT_FOUND);
    EXPECT_EQ(sensor, 0u);

    failed.payload = cat({u32(TCS_RESULT_BAD_PARAM), u32(77)});
    service_->setReply(51, failed);
    uint32_t value = 5;
    EXPECT_EQ(tcsGetParam(client_, 1, &value), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(value, 0u);

    failed.payload = cat({u32(TCS_RESULT_ERROR), text("99.99", 80)});
    service_->setReply(5, failed);
    char version[80] = "untouched";
    EXPECT_EQ(tcsSensorGetVersionA(0x2, version), TCS_RESULT_ERROR);
    EXPECT_STREQ(version, "untouched");

    failed.payload = cat({u32(TCS_RESULT_ERROR), Bytes(48, 0x77)});
    service_->setReply(53, failed);
    DeviceInfoRecord info;
    std::memset(&info, 0x33, sizeof(info));
    EXPECT_EQ(tcsSensorGetDeviceInfo(0x2, &info), TCS_RESULT_ERROR);
    EXPECT_EQ(info.flashSize, 0u);
}

TEST_F(CallsTest, TransferFailureIsTheCallsResult) {
    service_->setState(TOV_SERVICE_STATE_STOPPED);
    TcsHandle sensor = 0x1;
    uint32_t value = 5;
    EXPECT_EQ(tcsSensorOpenA(client_, "x", &sensor), TOV_RESULT_SERVICE_STOPPED);
    EXPECT_EQ(tcsGetParam(client_, 1, &value), TOV_RESULT_SERVICE_STOPPED);
    EXPECT_EQ(tcsSensorAbortFingerprint(0x3), TOV_RESULT_SERVICE_STOPPED);
    // Parameter 13 lives in the library and answers even now.
    EXPECT_EQ(tcsSetParam(client_, 13, 1), TCS_RESULT_OK);
    EXPECT_EQ(tcsGetParam(client_, 13, &value), TCS_RESULT_OK);
    EXPECT_EQ(value, 1u);
    EXPECT_TRUE(service_->requests().empty());
    EXPECT_EQ(tcsSetParam(client_, 13, 0), TCS_RESULT_OK);
    service_->setState(0);
}

TEST_F(CallsTest, ArgumentsRefusedBeforeAnythingIsSent) {
    uint8_t big[32769] = {};
    TcsHandle handle = 0;
    uint32_t value = 0;
    char version[80];
    LedConfigRecord led{};
    led.size = 25;
    struct Case {
        const char* name;
        std::function<TcsResult()> call;
        TcsResult expected;
    };
    std::vector<Case> cases = {
        {"user data one byte over the area", [&] { return tcsDatabaseSetUserData(1, 1, big, 32769); }, 17},
        {"null user data", [&] { return tcsDatabaseSetUserData(1, 1, nullptr, 4); }, 40},
        {"accuracy level 4", [&] { return tcsMatcherSetAccuracy(client_, 4); }, 17},
        {"accuracy without client", [&] { return tcsMatcherSetAccuracy(0, 1); }, 16},
        {"null sensor", [&] { return tcsSensorClose(0); }, 14},
        {"open without client", [&] { return tcsSensorOpenA(0, "x", &handle); }, 16},
        {"open without id", [&] { return tcsSensorOpenA(client_, nullptr, &handle); }, 17},
        {"open without out handle", [&] { return tcsSensorOpenA(client_, "x", nullptr); }, 13},
        {"version without buffer", [&] { return tcsSensorGetVersionA(1, nullptr); }, 202},
        {"null out value", [&] { return tcsGetParam(client_, 1, nullptr); }, 13},
        {"key over 64 bytes", [&] { return tcsSetSymmetricKey(client_, 0, 0, 0, big, 65); }, 17},
        {"symmetric key without client", [&] { return tcsSetSymmetricKey(0, 0, 0, 0, big, 1); }, 16},
        {"TTA without sensor", [&] { return tcsSensorStartTTAHandling(0); }, 4},
        {"LED record over 24 bytes", [&] { return tcsSensorLEDConfig(1, 1, &led); }, 17},
        {"EFI image over its area", [&] { return tcsSensorProgramEFIImage(1, big, 262145, 0); }, 17},
        {"cancel without sensor", [&] { return tcsCancelExOperation(0); }, 54},
        {"navigation", [&] { return tcsSensorNavigationStart(1); }, 6},
        {"navigation without sensor", [&] { return tcsSensorNavigationStart(0); }, 14},
        {"callback add without callback", [&] { return tcsClientEventsAddCallback(client_, nullptr, nullptr); }, 40},
        {"sensor id over 259 characters", [&] { return tcsSensorOpenA(client_, std::string(260, 'a').c_str(), &handle); }, 17},
        {"database format without URL", [&] { return tcsDatabaseFormatDatabasePriv(client_, nullptr); }, 17},
        {"user count without out value", [&] { return tcsDatabaseGetUserCount(1, nullptr); }, 13},
        {"version wide without buffer", [&] { return tcsSensorGetVersionW(1, nullptr); }, 202},
    };
    (void)value;
    (void)version;
    for (const Case& c : cases) {
        EXPECT_EQ(c.call(), c.expected) << c.name;
    }
    EXPECT_TRUE(service_->requests().empty());
}

TEST_F(CallsTest, DataOfExactlyOneAreaIsSent) {
    std::vector<uint8_t> full(32768, 0x5C);
    EXPECT_EQ(tcsDatabaseSetUserData(1, 2, full.data(), uint32_t(full.size())), TCS_RESULT_OK);
    sim::service::Request sent = onlyRequest();
    ASSERT_EQ(sent.payload.size(), 32784u);
    EXPECT_EQ(read32(sent.payload, 12), 32768u);
    EXPECT_EQ(sent.payload.back(), 0x5C);
}

TEST_F(CallsTest, AccuracyLevelsBecomeParameter15) {
    for (auto [level, rate] : std::initializer_list<std::pair<uint32_t, uint32_t>>{{1, 10000}, {2, 100000}, {3, 1000000}}) {
        service_->clearRequests();
        EXPECT_EQ(tcsMatcherSetAccuracy(client_, level), TCS_RESULT_OK);
        sim::service::Request sent = onlyRequest();
        EXPECT_EQ(sent.function, 50);
        EXPECT_EQ(read32(sent.payload, 8), 15u);
        EXPECT_EQ(read32(sent.payload, 12), rate) << level;
    }
}

TEST_F(CallsTest, LedConfigReadOfSizeZeroCopiesTwelveBytes) {
    sim::service::CannedReply reply;
    reply.payload = cat({u32(0), u32(0), Bytes(24, 0x61)});
    service_->setReply(71, reply);
    LedConfigRecord record{};
    std::memset(record.bytes, 0, sizeof(record.bytes));
    EXPECT_EQ(tcsSensorLEDGetConfig(1, 4, &record), TCS_RESULT_OK);
    EXPECT_EQ(record.bytes[11], 0x61);
    EXPECT_EQ(record.bytes[12], 0);
    EXPECT_EQ(onlyRequest().payload, cat({u64(1), u32(4), u32(0), zeros(24)}));
}

TEST_F(CallsTest, ExportOfAUserWithoutTemplatesIsOneTransfer) {
    sim::service::CannedReply count;
    count.payload = cat({u32(0), u32(0)});
    service_->setReply(95, count);
    SizedBuffer id{3, reinterpret_cast<const uint8_t*>("bob")};
    uint32_t found = 9;
    OwnedBuffer* list = reinterpret_cast<OwnedBuffer*>(1);
    EXPECT_EQ(tcsExExportUserTemplates(1, 2, &id, &found, &list), TCS_RESULT_OK);
    EXPECT_EQ(found, 0u);
    EXPECT_EQ(list, nullptr);
    sim::service::Request sent = onlyRequest();
    EXPECT_EQ(sent.function, 95);
    EXPECT_EQ(sent.payload.size(), 32792u);
}

TEST_F(CallsTest, TwoCallListsAreUnpackedAndBounded) {
    Bytes entries = cat({u32(0), u32(2)});
    for (const char* name : {"ann", "bo"}) {
        Bytes area = zeros(32768);
        std::memcpy(area.data(), name, std::strlen(name));
        entries = cat({entries, u32(uint32_t(std::strlen(name))), area});
    }
    sim::service::CannedReply count;
    count.payload = cat({u32(0), u32(2)});
    service_->setReply(90, count);
    sim::service::CannedReply list;
    list.payload = entries;
    service_->setReply(89, list);
    uint32_t found = 0;
    OwnedBuffer* users = nullptr;
    ASSERT_EQ(tcsExGetEnrolledUserList(1, 2, &found, &users), TCS_RESULT_OK);
    ASSERT_EQ(found, 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(users[0].data), users[0].length), "ann");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(users[1].data), users[1].length), "bo");
    tcsExFreeBufferList(users, found);

    // A second count above the first would read past the buffer made for the first.
    count.payload = cat({u32(0), u32(1)});
    service_->setReply(90, count);
    list.payload = cat({u32(0), u32(2), u32(1), zeros(32768)});
    service_->setReply(89, list);
    users = nullptr;
    EXPECT_EQ(tcsExGetEnrolledUserList(1, 2, &found, &users), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(users, nullptr);
}

TEST_F(CallsTest, AuthenticationDataRequestsAndTheirByteString) {
    const uint8_t one[2] = {0x11, 0x12}, two[3] = {0x21, 0x22, 0x23}, three[1] = {0x31}, four[2] = {0x41, 0x42};
    SizedBuffer first{2, one}, third{1, three}, fourth{2, four};
    TypedSizedBuffer second{7, 3, two};
    sim::service::CannedReply reply;
    reply.payload = cat({u32(0), u32(3), Bytes{0xD1, 0xD2, 0xD3}, zeros(32765)});
    for (uint8_t function : {uint8_t(85), uint8_t(86), uint8_t(92)}) {
        service_->setReply(function, reply);
    }
    struct Case {
        uint8_t function;
        std::function<TcsResult(uint8_t**, uint32_t*)> call;
        size_t size;
        // (offset, expected u32) pairs of the record's length and kind words
        std::vector<std::pair<size_t, uint32_t>> words;
    };
    std::vector<Case> cases = {
        {85, [&](uint8_t** d, uint32_t* n) { return tcsExEnrollAuthData(0x51, &first, &second, 9, &third, d, n); },
         98336, {{8, 2}, {32780, 7}, {32784, 3}, {65556, 9}, {65560, 1}}},
        {86,
         [&](uint8_t** d, uint32_t* n) { return tcsExGetAuthToken(0x51, &first, &second, 9, &third, &fourth, d, n); },
         131104, {{8, 2}, {32780, 7}, {65560, 1}, {98332, 2}}},
        {92,
         [&](uint8_t** d, uint32_t* n) {
             return tcsExShareAuthData(0x51, 0x99, &first, &second, &third, &fourth, d, n);
         },
         131112, {{16, 2}, {32788, 7}, {32792, 3}, {65564, 1}, {98336, 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.function));
        service_->clearRequests();
        uint8_t* data = nullptr;
        uint32_t length = 0;
        ASSERT_EQ(c.call(&data, &length), TCS_RESULT_OK);
        sim::service::Request sent = onlyRequest();
        EXPECT_EQ(sent.function, c.function);
        ASSERT_EQ(sent.payload.size(), c.size);
        EXPECT_EQ(read64(sent.payload, 0), 0x51u);
        for (auto [offset, word] : c.words) EXPECT_EQ(read32(sent.payload, offset), word) << offset;
        ASSERT_EQ(length, 3u);
        EXPECT_EQ(Bytes(data, data + 3), (Bytes{0xD1, 0xD2, 0xD3}));
        palRealFree(data);
    }
}

TEST_F(CallsTest, ImageRequestsCarryThePackedImage) {
    uint8_t pixels[6] = {1, 2, 3, 4, 5, 6};
    TcsHandle image = 0;
    ASSERT_EQ(tcsImageCreate(&image, pixels, sizeof(pixels), 2, 3, 0), TCS_RESULT_OK);
    uint32_t packedSize = 0;
    ASSERT_EQ(tcsImagePack(image, nullptr, &packedSize), TCS_RESULT_OK);

    IdentifiedUser user{1, 3, const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>("eve")), 4, 0, nullptr};
    Bytes packedUser(TOV_PACKED_IDENTIFIED_USER_SIZE);
    ASSERT_EQ(tcsIdentifiedUserEventPackUnpack(&user, packedUser.data(), 1), TCS_RESULT_OK);
    sim::service::CannedReply identified;
    identified.payload = cat({u32(1), u32(0), packedUser});  // count first, then the result
    service_->setReply(103, identified);
    uint32_t count = 0;
    IdentifiedUser* users = nullptr;
    ASSERT_EQ(tcsExIdentifyImage(0x51, 2, 0x61, 4, image, &count, &users), TCS_RESULT_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(users[0].area1), users[0].length1), "eve");
    EXPECT_EQ(users[0].value, 4u);
    tcsExFreeIdentifiedUsers(users, count);
    sim::service::Request sent = onlyRequest();
    ASSERT_EQ(sent.payload.size(), 32u + packedSize + 7);
    EXPECT_EQ(read32(sent.payload, 8), 2u);
    EXPECT_EQ(read64(sent.payload, 16), 0x61u);
    EXPECT_EQ(read32(sent.payload, 24), 4u);
    EXPECT_EQ(read32(sent.payload, 28), packedSize);
    EXPECT_EQ(std::memcmp(sent.payload.data() + 36, "TIMG", 4), 0);

    service_->clearRequests();
    SizedBuffer id{3, reinterpret_cast<const uint8_t*>("eve")};
    EXPECT_EQ(tcsExVerifyImage(0x51, 2, 0x61, 4, &id, image), TCS_RESULT_OK);
    sent = onlyRequest();
    ASSERT_EQ(sent.payload.size(), 32804u + packedSize + 3);
    EXPECT_EQ(read32(sent.payload, 28), 3u);
    EXPECT_EQ(sent.payload[32], 'e');
    EXPECT_EQ(read32(sent.payload, 32800), packedSize);
    EXPECT_EQ(std::memcmp(sent.payload.data() + 32808, "TIMG", 4), 0);

    // A count the reply cannot hold is refused, not read past.
    identified.payload = cat({u32(2), u32(0), packedUser});
    service_->setReply(103, identified);
    EXPECT_EQ(tcsExIdentifyImage(0x51, 2, 0x61, 4, image, &count, &users), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsHandleDestroy(image), TCS_RESULT_OK);
}

TEST_F(CallsTest, TemplatesTravelPackedBothWays) {
    const uint8_t features[10] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    TcsHandle made = 0;
    ASSERT_EQ(tcsTemplateCreate(&made, features, sizeof(features)), TCS_RESULT_OK);
    uint32_t size = 0;
    ASSERT_EQ(tcsTemplatePack(made, nullptr, &size), TCS_RESULT_OK);
    Bytes packed(size);
    ASSERT_EQ(tcsTemplatePack(made, packed.data(), &size), TCS_RESULT_OK);

    EXPECT_EQ(tcsDatabaseExSetTemplateData(0x71, 0x51, made), TCS_RESULT_OK);
    Bytes area = zeros(32768);
    std::copy(packed.begin(), packed.end(), area.begin());
    EXPECT_EQ(onlyRequest().payload, cat({u64(0x71), u64(0x51), u32(size), area, zeros(4)}));

    sim::service::CannedReply reply;
    reply.payload = cat({u32(0), u32(0), area});
    service_->setReply(68, reply);
    TcsHandle back = 0;
    ASSERT_EQ(tcsDatabaseExGetTemplateData(0x71, 0x51, &back), TCS_RESULT_OK);
    ASSERT_NE(back, 0u);
    ASSERT_EQ(tcsTemplateGetDataSize(back), sizeof(features));
    uint8_t got[sizeof(features)];
    ASSERT_EQ(tcsTemplateGetData(back, got, sizeof(got)), TCS_RESULT_OK);
    EXPECT_EQ(std::memcmp(got, features, sizeof(got)), 0);

    // A blob offset that points past the reply is refused before anything is unpacked.
    Bytes bad = area;
    uint32_t offset = 32760;
    std::memcpy(bad.data() + 4 + offsetof(EnrollTemplate, blob), &offset, 4);
    bad[offset + 1] = 0xFF;  // a blob of 65280 bytes
    reply.payload = cat({u32(0), u32(0), bad});
    service_->setReply(68, reply);
    TcsHandle none = 0;
    EXPECT_EQ(tcsDatabaseExGetTemplateData(0x71, 0x51, &none), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(none, 0u);
    EXPECT_EQ(tcsDatabaseExGetTemplateData(0, 0x51, &none), TCS_RESULT_INVALID_TEMPLATE_HANDLE);
    EXPECT_EQ(tcsDatabaseExSetTemplateData(0x71, 0x51, 0), TCS_RESULT_INVALID_HANDLE);
    tcsHandleDestroy(made);
    tcsHandleDestroy(back);
}

}  // namespace
}  // namespace tov::client::testing
