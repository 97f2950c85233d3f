// Export of users as signed containers and their import into another database, on the stack with
// the virtual sensor and file databases.
#include "tests/tcs/flows/ex_flows_fixture.h"

#include "tcs/sensorctl/secure/data_slots.h"
#include "tcs/sensorctl/protocol/print_defaults.h"

#include <utility>

namespace {

using ExExport = ExFlowsStack;
using Records = std::vector<std::pair<uint16_t, Bytes>>;

// A container's records {u16 tag, u16 length, data} in order.
Records parse(const uint8_t* data, uint32_t size) {
    Records out;
    for (uint32_t at = 0; at + 4 <= size;) {
        const uint16_t tag = uint16_t(data[at] | data[at + 1] << 8);
        const uint16_t length = uint16_t(data[at + 2] | data[at + 3] << 8);
        out.emplace_back(tag, Bytes(data + at + 4, data + at + 4 + length));
        at += 4 + length;
    }
    return out;
}
Records parse(const Bytes& b) { return parse(b.data(), uint32_t(b.size())); }

Bytes serialise(const Records& records) {
    Bytes out;
    for (const auto& [tag, value] : records) {
        out.push_back(uint8_t(tag));
        out.push_back(uint8_t(tag >> 8));
        out.push_back(uint8_t(value.size()));
        out.push_back(uint8_t(value.size() >> 8));
        out.insert(out.end(), value.begin(), value.end());
    }
    return out;
}

std::vector<uint16_t> tags(const Records& records) {
    std::vector<uint16_t> out;
    for (const auto& r : records) out.push_back(r.first);
    return out;
}

Bytes& field(Records& records, uint16_t tag) {
    for (auto& r : records) {
        if (r.first == tag) return r.second;
    }
    records.emplace_back(tag, Bytes{});
    return records.back().second;
}

Bytes u32s(std::initializer_list<uint32_t> words) {
    Bytes out;
    for (uint32_t w : words) {
        for (int i = 0; i < 4; ++i) out.push_back(uint8_t(w >> (8 * i)));
    }
    return out;
}

// What another host of the family would export: the records changed, signed again with the
// family's global key.
Bytes resigned(Records records) {
    records.erase(std::remove_if(records.begin(), records.end(), [](const auto& r) { return r.first == 2; }),
                  records.end());
    const Bytes rest = serialise(records);
    Bytes signature(32);
    EXPECT_EQ(scsSignByGSKGlobal(uint32_t(rest.size()), rest.data(), signature.data()), TCS_RESULT_OK);
    records.emplace_back(2, signature);
    return serialise(records);
}

struct Export {
    TcsResult result = 0xFFFF;
    std::vector<Bytes> containers;
    std::vector<uint32_t> fingers;
};

Export exportUser(TcsHandle sensor, TcsHandle app, const Bytes& userId) {
    Export out;
    const SizedBuffer id = sized(userId);
    uint32_t count = 0;
    ExportedTemplate* list = nullptr;
    out.result = tcsExExportUserTemplates(sensor, app, &id, &count, &list);
    for (uint32_t i = 0; i < count; ++i) {
        out.containers.emplace_back(list[i].data, list[i].data + list[i].size);
        out.fingers.push_back(list[i].finger);
        tcsBufferFree(list[i].data);
    }
    tcsBufferFree(list);
    return out;
}

TcsResult importUser(TcsHandle sensor, TcsHandle app, const Bytes& userId, const std::vector<Bytes>& containers) {
    static const Bytes entry = bytesOf("imported");
    static const EnrollmentDataEntry entries[] = {{1, uint32_t(entry.size()), entry.data()}};
    std::vector<ImportedTemplate> list;
    for (const Bytes& c : containers) list.push_back({0, uint32_t(c.size()), c.data(), 1, entries});
    return tcsExImportUser(sensor, app, uint32_t(userId.size()), userId.data(), uint32_t(list.size()), list.data());
}

// The enroll templates of a user as the database gives them back: (finger, data, profile).
struct Kept {
    uint32_t finger;
    Bytes data;
    Bytes profile;
};
std::vector<Kept> keptTemplates(TcsHandle sensor, TcsHandle app, const Bytes& userId) {
    std::vector<Kept> out;
    const TcsHandle user = findUser(app, userId);
    if (user == 0) return out;
    for (bool first = true;; first = false) {
        TcsHandle t = 0, templ = 0;
        if ((first ? tcsDatabaseOpenFirstTemplate(user, &t) : tcsDatabaseOpenNextTemplate(user, &t)) != 0) break;
        EXPECT_EQ(tcsDatabaseExGetTemplateData(t, sensor, &templ), TCS_RESULT_OK);
        Kept kept{tcsTemplateGetFinger(templ), Bytes(tcsTemplateGetDataSize(templ)),
                  Bytes(tcsTemplateGetASPProfileSize(templ))};
        tcsTemplateGetData(templ, kept.data.data(), uint32_t(kept.data.size()));
        if (!kept.profile.empty()) tcsTemplateGetASPProfile(templ, kept.profile.data(), uint32_t(kept.profile.size()));
        out.push_back(std::move(kept));
        tcsHandleDestroy(templ);
        tcsDatabaseCloseTemplate(t);
    }
    tcsDatabaseCloseUser(user);
    return out;
}

// {size, kind, 8 bytes, extra length, extra}
Bytes profile(uint32_t kind, const Bytes& extra) {
    Bytes p = u32s({uint32_t(20 + extra.size()), kind});
    for (uint8_t b = 1; b <= 8; ++b) p.push_back(b);
    const Bytes length = u32s({uint32_t(extra.size())});
    p.insert(p.end(), length.begin(), length.end());
    p.insert(p.end(), extra.begin(), extra.end());
    return p;
}

TcsResult storeTemplate(TcsHandle sensor, TcsHandle app, const Bytes& userId, TcsHandle templ) {
    const SizedBuffer id = sized(userId);
    const Bytes entry = bytesOf("payload");
    const EnrollmentDataEntry entries[] = {{1, uint32_t(entry.size()), entry.data()}};
    const TcsResult result = tcsExEnrollTemplate(sensor, app, &id, 1, entries, templ);
    tcsHandleDestroy(templ);
    return result;
}

TEST_F(ExExport, ElevenTemplatesGoOverToAnotherDatabaseInDatabaseOrder) {
    start();
    const TcsHandle from = fileStorage("from.img"), to = fileStorage("to.img");
    const Bytes alice = bytesOf("alice");
    for (uint32_t finger = 1; finger <= 11; ++finger) ASSERT_EQ(enroll(from, alice, finger), TCS_RESULT_OK);

    const Export exported = exportUser(sensor_, from, alice);
    ASSERT_EQ(exported.result, TCS_RESULT_OK);
    ASSERT_EQ(exported.containers.size(), 11u) << "the array grew past its first ten";
    uint32_t flexId = 0;
    scsSensorGetFlexId(sensorRecord()->sensorControlSensor, &flexId);
    for (uint32_t i = 0; i < 11; ++i) {
        EXPECT_EQ(exported.fingers[i], i + 1);
        Records records = parse(exported.containers[i]);
        EXPECT_EQ(tags(records), (std::vector<uint16_t>{1, 51, 52, 53, 54, 2}));
        EXPECT_EQ(field(records, 1), u32s({kMajor, kMinor, flexId, 0, 0, 0}));
        EXPECT_EQ(field(records, 51), u32s({300}));
        EXPECT_EQ(field(records, 52), templateBytes(i + 1));
        EXPECT_EQ(field(records, 53), u32s({i + 1}));
        EXPECT_EQ(field(records, 54), u32s({1}));
        EXPECT_EQ(resigned(records), exported.containers[i]) << "signed over the rest in order";
    }
    const SizedBuffer id = sized(alice);
    uint32_t count = 0, flag = 7;
    EXPECT_EQ(tcsExExportUserTemplatesCount(sensor_, from, &id, &count), TCS_RESULT_OK);
    EXPECT_EQ(count, 11u);
    EXPECT_EQ(tcsExUserTemplatesUpdateCheck(sensor_, from, &id, &flag), TCS_RESULT_OK);
    EXPECT_EQ(flag, 1u) << "no template has a profile";

    ASSERT_EQ(importUser(sensor_, to, alice, exported.containers), TCS_RESULT_OK);
    const std::vector<Kept> kept = keptTemplates(sensor_, to, alice);
    ASSERT_EQ(kept.size(), 11u);
    for (uint32_t i = 0; i < 11; ++i) {
        EXPECT_EQ(kept[i].finger, i + 1);
        EXPECT_EQ(kept[i].data, templateBytes(i + 1));
    }
    // Importing what the user has already changes nothing, not a byte of what is stored.
    const std::vector<Bytes> before = storedTemplates(to, alice);
    ASSERT_EQ(importUser(sensor_, to, alice, exported.containers), TCS_RESULT_OK);
    EXPECT_EQ(storedTemplates(to, alice), before);
    EXPECT_EQ(userIds(to), std::vector<Bytes>{alice});
}

// The profile travels as tags 101 to 104 and comes back (kind, 8 bytes, extra length, without the
// extra bytes) only where the firmware is the exporter's and the kind is 1 or 2.
TEST_F(ExExport, ProfilesGoWithTheFirmwareThatMadeThem) {
    start();
    const TcsHandle from = fileStorage("from.img"), to = fileStorage("to.img");
    const Bytes alice = bytesOf("alice");
    const Bytes extra = {0xE1, 0xE2, 0xE3, 0xE4};
    ASSERT_EQ(storeTemplate(sensor_, from, alice, makeTemplate(1, templateBytes(1), profile(2, extra))), 0u);
    const SizedBuffer id = sized(alice);
    uint32_t flag = 7;
    EXPECT_EQ(tcsExUserTemplatesUpdateCheck(sensor_, from, &id, &flag), TCS_RESULT_OK);
    EXPECT_EQ(flag, 0u);
    const Export exported = exportUser(sensor_, from, alice);
    ASSERT_EQ(exported.result, TCS_RESULT_OK);
    ASSERT_EQ(exported.containers.size(), 1u);
    const Records records = parse(exported.containers[0]);
    EXPECT_EQ(tags(records), (std::vector<uint16_t>{1, 101, 102, 103, 104, 51, 52, 53, 54, 2}));
    Records r = records;
    EXPECT_EQ(field(r, 101), u32s({2}));
    EXPECT_EQ(field(r, 102), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(field(r, 103), u32s({4}));
    EXPECT_EQ(field(r, 104), extra);

    struct Case {
        const char* what;
        uint32_t minor;
        uint32_t kind;
        bool keepsProfile;
    };
    const Case cases[] = {
        {"same firmware", kMinor, 2, true},
        {"kind 1", kMinor, 1, true},
        {"other firmware", kMinor + 10, 2, false},
        {"kind 0", kMinor, 0, false},
        {"kind 3", kMinor, 3, false},
    };
    uint32_t finger = 1;
    for (const Case& c : cases) {
        Records changed = records;
        field(changed, 1) = u32s({kMajor, c.minor, 0, 0, 0, 0});
        field(changed, 101) = u32s({c.kind});
        field(changed, 53) = u32s({finger});
        ASSERT_EQ(importUser(sensor_, to, alice, {resigned(changed)}), TCS_RESULT_OK) << c.what;
        const std::vector<Kept> kept = keptTemplates(sensor_, to, alice);
        ASSERT_EQ(kept.size(), finger) << c.what;
        Bytes expected;
        if (c.keepsProfile) {
            expected = profile(c.kind, {});
            expected[16] = 4;  // the extra length stays, its bytes do not
        }
        EXPECT_EQ(kept.back().profile, expected) << c.what;
        EXPECT_EQ(kept.back().data, templateBytes(1)) << c.what;
        ++finger;
    }
    // A restored profile names extra bytes it does not hold: exported again, only what it holds goes.
    const Export again = exportUser(sensor_, to, alice);
    ASSERT_EQ(again.result, TCS_RESULT_OK);
    Records first = parse(again.containers[0]);
    EXPECT_EQ(field(first, 103), u32s({4}));
    EXPECT_EQ(field(first, 104), Bytes{});
}

// On a sensor that wraps its templates the container still carries the template itself, and the
// import wraps it again for the database it goes to.
TEST_F(ExExport, SecuredSensorExportsAndImportsThroughTheSensor) {
    start(true);
    const TcsHandle from = fileStorage("from.img"), to = fileStorage("to.img");
    const Bytes alice = bytesOf("alice");
    ASSERT_EQ(enroll(from, alice, 3), TCS_RESULT_OK);
    ASSERT_EQ(enroll(from, alice, 4), TCS_RESULT_OK);
    const Export exported = exportUser(sensor_, from, alice);
    ASSERT_EQ(exported.result, TCS_RESULT_OK);
    ASSERT_EQ(exported.containers.size(), 2u);
    Records records = parse(exported.containers[0]);
    EXPECT_EQ(field(records, 52), templateBytes(3));
    // The sensor still holds the enrolment's context, whose payload the import's data is not.
    EXPECT_EQ(importUser(sensor_, to, alice, exported.containers), TCS_RESULT_NOT_LAST_IDENTIFIED);
    EXPECT_TRUE(userIds(to).empty());
    ASSERT_EQ(_tcsSensorSetLastIdentificationCtx(sensorRecord(), nullptr, 0), TCS_RESULT_OK);
    // The first template makes the user and leaves the sensor's context naming it, so the second
    // extends that user.
    ASSERT_EQ(importUser(sensor_, to, alice, exported.containers), TCS_RESULT_OK);
    const std::vector<Bytes> stored = storedTemplates(to, alice);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0][3], 1) << "wrapped by the sensor";
    const std::vector<Kept> kept = keptTemplates(sensor_, to, alice);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].data, templateBytes(3));
    EXPECT_EQ(kept[1].data, templateBytes(4));
}

TEST_F(ExExport, ExportRefusals) {
    start();
    const TcsHandle app = fileStorage("db.img");
    const Bytes alice = bytesOf("alice"), bob = bytesOf("bob"), carol = bytesOf("carol"), nobody = bytesOf("nobody");
    ASSERT_EQ(storeTemplate(sensor_, app, alice, makeTemplate(1, templateBytes(1), profile(3, {}))), 0u);
    ASSERT_EQ(storeTemplate(sensor_, app, bob, makeTemplate(1, templateBytes(1, 70000))), 0u);
    ASSERT_EQ(enroll(app, carol, 1), TCS_RESULT_OK);
    EXPECT_EQ(exportUser(sensor_, app, alice).result, TCS_RESULT_NOT_IMPLEMENTED) << "profile kind 3";
    // A length field holds 16 bits: such data is refused, not cut.
    const Export tooLong = exportUser(sensor_, app, bob);
    EXPECT_EQ(tooLong.result, TCS_RESULT_BAD_PARAM);
    EXPECT_TRUE(tooLong.containers.empty());

    const SizedBuffer id = sized(carol), missing = sized(nobody);
    uint32_t count = 0;
    ExportedTemplate* list = nullptr;
    EXPECT_EQ(tcsExExportUserTemplates(0, app, &id, &count, &list), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_EQ(tcsExExportUserTemplates(sensor_, 0, &id, &count, &list), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExExportUserTemplates(sensor_, app, nullptr, &count, &list), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExExportUserTemplates(sensor_, app, &id, nullptr, &list), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExExportUserTemplates(sensor_, app, &id, &count, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExExportUserTemplates(sensor_, app, &missing, &count, &list), TCS_RESULT_USER_DOESNT_EXIST);
    EXPECT_EQ(tcsExExportUserTemplatesCount(sensor_, app, &missing, &count), TCS_RESULT_USER_DOESNT_EXIST);
    EXPECT_EQ(tcsExExportUserTemplatesCount(sensor_, app, &id, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExUserTemplatesUpdateCheck(sensor_, 0, &id, &count), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExUserTemplatesUpdateCheck(sensor_, app, &id, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(list, nullptr);
}

// An export that fails at a later template frees the containers made before it and hands out
// nothing (the leak checker of the sanitizer builds sees what stays).
TEST_F(ExExport, FailureAfterTheFirstTemplateHandsOutNothing) {
    start();
    const TcsHandle app = fileStorage("db.img");
    const Bytes alice = bytesOf("alice");
    ASSERT_EQ(storeTemplate(sensor_, app, alice, makeTemplate(1, templateBytes(1))), 0u);
    ASSERT_EQ(storeTemplate(sensor_, app, alice, makeTemplate(2, templateBytes(2), profile(3, {}))), 0u);
    ASSERT_EQ(keptTemplates(sensor_, app, alice).size(), 2u);
    const SizedBuffer id = sized(alice);
    uint32_t count = 77;
    ExportedTemplate* list = nullptr;
    EXPECT_EQ(tcsExExportUserTemplates(sensor_, app, &id, &count, &list), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(list, nullptr);
}

// A container that is not exactly what the family's key signed is refused with 373, and then
// nothing of the import is stored, not even the containers before it.
TEST_F(ExExport, ImportRefusesWhatTheKeyDidNotSign) {
    start();
    const TcsHandle from = fileStorage("from.img"), to = fileStorage("to.img");
    const Bytes alice = bytesOf("alice");
    for (uint32_t finger = 1; finger <= 2; ++finger) ASSERT_EQ(enroll(from, alice, finger), TCS_RESULT_OK);
    const Export exported = exportUser(sensor_, from, alice);
    ASSERT_EQ(exported.containers.size(), 2u);
    const Bytes good = exported.containers[0];
    const Records records = parse(good);

    struct Case {
        const char* what;
        Bytes container;
        TcsResult expected;
    };
    std::vector<Case> cases;
    // In a length field (30), the template data (60) and the signature (last).
    for (size_t at : {size_t(30), size_t(60), good.size() - 1}) {
        Bytes changed = good;
        changed[at] ^= 0x01;
        cases.push_back({"one byte changed", changed, TCS_RESULT_NOT_SIGNED});
    }
    Records unsigned_ = records;
    unsigned_.pop_back();
    cases.push_back({"no signature", serialise(unsigned_), TCS_RESULT_NOT_SIGNED});
    Records empty = records;
    empty.back().second.clear();
    cases.push_back({"an empty signature", serialise(empty), TCS_RESULT_NOT_SIGNED});
    Records longer = records;
    longer.back().second.push_back(0);
    cases.push_back({"a longer signature", serialise(longer), TCS_RESULT_NOT_SIGNED});
    Records sizes = records;
    field(sizes, 51) = u32s({301});
    cases.push_back({"size and data disagree", resigned(sizes), TCS_RESULT_BAD_PARAM});
    cases.push_back({"not a container", Bytes{1, 0, 200, 0, 5}, TCS_RESULT_NOT_SIGNED});
    cases.push_back({"no bytes", Bytes{}, TCS_RESULT_BAD_PARAM});

    for (const Case& c : cases) {
        EXPECT_EQ(importUser(sensor_, to, alice, {exported.containers[1], c.container}), c.expected) << c.what;
        EXPECT_TRUE(userIds(to).empty()) << c.what;
    }

    const Bytes entry = bytesOf("e");
    const EnrollmentDataEntry entries[] = {{1, 1, entry.data()}};
    const ImportedTemplate list[] = {{0, uint32_t(good.size()), good.data(), 1, entries}};
    EXPECT_EQ(tcsExImportUser(0, to, 5, alice.data(), 1, list), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_EQ(tcsExImportUser(sensor_, 0, 5, alice.data(), 1, list), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExImportUser(sensor_, to, 5, alice.data(), 1, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExImportUser(sensor_, to, 5, nullptr, 1, list), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsExImportUser(sensor_, to, 0, alice.data(), 1, list), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsExImportUser(sensor_, to, 5, alice.data(), 0, list), TCS_RESULT_BAD_PARAM);
    EXPECT_TRUE(userIds(to).empty());
}

}  // namespace
