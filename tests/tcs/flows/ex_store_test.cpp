// Filing enroll templates under users on the stack with the virtual sensor and file databases: the
// store rules, what a new user gets, and what a refused or failed store leaves behind.
#include "tests/tcs/flows/ex_flows_fixture.h"

#include "tcs/matching/templates.h"

namespace {

using ExStore = ExFlowsStack;

// The payload packed into a stored (unsecured) record: header {1, 1, 0, finger}, u32 P, P bytes.
Bytes payloadOf(const Bytes& stored) {
    uint32_t length = 0;
    std::memcpy(&length, stored.data() + 5, 4);
    return Bytes(stored.begin() + 9, stored.begin() + 9 + length);
}

TEST(EnrollmentDataSize, EightBytesPerEntryPlusTheData) {
    const uint8_t a[3] = {}, b[70] = {};
    const EnrollmentDataEntry entries[] = {{1, 3, a}, {7, 70, b}, {2, 0, nullptr}};
    uint32_t size = 0;
    EXPECT_EQ(GetEnrollmentDataSize(entries, 3, &size), TCS_RESULT_OK);
    EXPECT_EQ(size, 3u * 8 + 3 + 70);
    EXPECT_EQ(GetEnrollmentDataSize(entries, 0, &size), TCS_RESULT_OK);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(GetEnrollmentDataSize(nullptr, 1, &size), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(GetEnrollmentDataSize(entries, 1, nullptr), TCS_RESULT_NULL_POINTER);
    const EnrollmentDataEntry huge[] = {{0, 0xFFFFFFF0u, a}, {0, 0x100, a}};
    EXPECT_EQ(GetEnrollmentDataSize(huge, 2, &size), TCS_RESULT_BAD_PARAM);
}

TEST_F(ExStore, EntriesArePackedAndANewUserWithoutDataGetsRandomBytes) {
    start();
    const TcsHandle app = fileStorage("db.img");
    ASSERT_EQ(enroll(app, bytesOf("alice"), 2, bytesOf("xyz")), TCS_RESULT_OK);
    std::vector<Bytes> stored = storedTemplates(app, bytesOf("alice"));
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0][0], DSS_TEMPLATE_FORMAT_PACKED);
    EXPECT_EQ(payloadOf(stored[0]), (Bytes{1, 0, 0, 0, 3, 0, 0, 0, 'x', 'y', 'z'}));

    // An empty entry array for a new user: one entry {kind 0, 64 random bytes}, new for each user.
    const EnrollmentDataEntry none[1] = {};
    std::vector<Bytes> randoms;
    for (const char* name : {"bob", "carol"}) {
        const Bytes id = bytesOf(name);
        const SizedBuffer sid = sized(id);
        const TcsHandle templ = makeTemplate(1, templateBytes(5));
        ASSERT_EQ(tcsExEnrollTemplate(sensor_, app, &sid, 0, none, templ), TCS_RESULT_OK);
        tcsHandleDestroy(templ);
        stored = storedTemplates(app, id);
        ASSERT_EQ(stored.size(), 1u);
        const Bytes payload = payloadOf(stored[0]);
        ASSERT_EQ(payload.size(), 8u + 64);
        EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 8), (Bytes{0, 0, 0, 0, 64, 0, 0, 0}));
        randoms.emplace_back(payload.begin() + 8, payload.end());
    }
    EXPECT_NE(randoms[0], randoms[1]);
    EXPECT_NE(randoms[0], Bytes(64, 0));
}

TEST_F(ExStore, LookupByIdMatchesWholeIdsInDatabaseOrder) {
    start();
    const TcsHandle app = fileStorage("db.img");
    for (const char* name : {"ab", "abc", "b"}) ASSERT_EQ(enroll(app, bytesOf(name), 1), TCS_RESULT_OK);
    DssAppStorage* storage = storageOf(app);
    for (const char* name : {"ab", "abc", "b"}) {
        const Bytes id = bytesOf(name);
        const SizedBuffer sid = sized(id);
        TcsHandle user = 0;
        ASSERT_EQ(GetUserHandleByUserID(storage, &sid, &user), TCS_RESULT_OK) << name;
        uint8_t* data = nullptr;
        uint32_t length = 0;
        ASSERT_EQ(tcsDatabaseGetUserData(user, 1, &data, &length), TCS_RESULT_OK);
        EXPECT_EQ(Bytes(data, data + length), id);
        tcsBufferFree(data);
        EXPECT_EQ(tcsDatabaseCloseUser(user), TCS_RESULT_OK);
    }
    const Bytes missing = bytesOf("a");
    const SizedBuffer sid = sized(missing);
    TcsHandle user = 77;
    EXPECT_EQ(GetUserHandleByUserID(storage, &sid, &user), TCS_RESULT_USER_DOESNT_EXIST);
    EXPECT_EQ(user, 0u);
    EXPECT_EQ(GetUserHandleByUserID(nullptr, &sid, &user), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(GetUserHandleByUserID(storage, nullptr, &user), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(GetUserHandleByUserID(storage, &sid, nullptr), TCS_RESULT_NULL_POINTER);
}

TEST_F(ExStore, RulesForAnExistingUser) {
    start();
    const TcsHandle app = fileStorage("db.img");
    const Bytes alice = bytesOf("alice");
    ASSERT_EQ(enroll(app, alice, 2), TCS_RESULT_OK);
    DssAppStorage* storage = storageOf(app);
    const SizedBuffer id = sized(alice);
    const Bytes entry = bytesOf("payload");
    const EnrollmentDataEntry entries[] = {{1, uint32_t(entry.size()), entry.data()}};
    auto store = [&](uint32_t finger, uint32_t newOnly, uint32_t refuse, uint32_t count = 1) {
        const TcsHandle templ = makeTemplate(finger, templateBytes(9));
        void* t = nullptr;
        _tcsSafeHandleFetch(templ, TCS_HANDLE_TYPE_ENROLL_TEMPLATE, &t);
        const TcsResult result = StoreUserInAppStorage(sensorRecord(), storage, &id, count, entries, nullptr,
                                                       static_cast<EnrollTemplate*>(t), newOnly, refuse);
        tcsHandleDestroy(templ);
        return result;
    };
    EXPECT_EQ(store(3, 1, 1), TCS_RESULT_USER_EXISTS);
    EXPECT_EQ(store(2, 0, 1), TCS_RESULT_FINGER_ENROLLED);
    // Without payload and without password there is nothing the database would store.
    EXPECT_EQ(store(3, 0, 1, 0), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(fingers(app, alice), (std::vector<uint32_t>{2}));
    EXPECT_EQ(store(2, 0, 0), TCS_RESULT_OK) << "the same finger twice when the caller allows it";
    EXPECT_EQ(store(3, 0, 1), TCS_RESULT_OK);
    EXPECT_EQ(fingers(app, alice), (std::vector<uint32_t>{2, 2, 3}));

    // A template whose payload is not packed (format byte 1) is not one these flows can read.
    TcsHandle user = 0, templ = 0;
    ASSERT_EQ(GetUserHandleByUserID(storage, &id, &user), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseCreateTemplate(user, &templ), TCS_RESULT_OK);
    const Bytes plain = templateBytes(3);
    ASSERT_EQ(tcsDatabaseSetTemplateData(templ, 1, plain.data(), uint32_t(plain.size())), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseCloseTemplate(templ), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseCloseUser(user), TCS_RESULT_OK);
    EXPECT_EQ(store(4, 0, 1), TCS_RESULT_TEMPLATE_DOESNT_EXIST);
    EXPECT_EQ(storedTemplates(app, alice).size(), 4u);
}

TEST_F(ExStore, BadArgumentsStoreNothing) {
    start();
    const TcsHandle app = fileStorage("db.img");
    const Bytes alice = bytesOf("alice"), empty, secret = bytesOf("secret");
    const SizedBuffer id = sized(alice), noId = sized(empty), password = sized(secret);
    const SizedBuffer noPassword{0, nullptr};
    const Bytes entry = bytesOf("payload");
    const EnrollmentDataEntry entries[] = {{1, uint32_t(entry.size()), entry.data()}};
    const EnrollmentDataEntry holey[] = {{1, 5, nullptr}};
    const TcsHandle templ = makeTemplate(1, templateBytes(1));
    struct Case {
        const char* what;
        std::function<TcsResult()> call;
        TcsResult expected;
    };
    const Case cases[] = {
        {"zero sensor", [&] { return tcsExEnrollTemplate(0, app, &id, 1, entries, templ); }, 14},
        {"unknown sensor", [&] { return tcsExEnrollTemplate(0x7777, app, &id, 1, entries, templ); }, 14},
        {"no storage", [&] { return tcsExEnrollTemplate(sensor_, 0, &id, 1, entries, templ); }, 40},
        {"no id", [&] { return tcsExEnrollTemplate(sensor_, app, nullptr, 1, entries, templ); }, 40},
        {"empty id", [&] { return tcsExEnrollTemplate(sensor_, app, &noId, 1, entries, templ); }, 40},
        {"no template", [&] { return tcsExEnrollTemplate(sensor_, app, &id, 1, entries, 0); }, 40},
        {"a database handle as template", [&] { return tcsExEnrollTemplate(sensor_, app, &id, 1, entries, app); }, 40},
        {"no entries", [&] { return tcsExEnrollTemplate(sensor_, app, &id, 1, nullptr, templ); }, 40},
        {"entry without data", [&] { return tcsExEnrollTemplate(sensor_, app, &id, 1, holey, templ); }, 17},
        {"alt without password", [&] { return tcsExEnrollTemplateAlt(sensor_, app, &id, nullptr, templ); }, 40},
        {"alt with empty password", [&] { return tcsExEnrollTemplateAlt(sensor_, app, &id, &noPassword, templ); }, 40},
        {"alt without sensor", [&] { return tcsExEnrollTemplateAlt(0, app, &id, &password, templ); }, 40},
        {"alt without storage", [&] { return tcsExEnrollTemplateAlt(sensor_, 0, &id, &password, templ); }, 40},
        {"alt without template", [&] { return tcsExEnrollTemplateAlt(sensor_, app, &id, &password, 0); }, 40},
    };
    for (const Case& c : cases) EXPECT_EQ(c.call(), c.expected) << c.what;
    EXPECT_TRUE(userIds(app).empty());
    // The password form files the template for a new user (with the password's digest).
    EXPECT_EQ(tcsExEnrollTemplateAlt(sensor_, app, &id, &password, templ), TCS_RESULT_OK);
    EXPECT_EQ(fingers(app, alice), (std::vector<uint32_t>{1}));
    tcsHandleDestroy(templ);
}

// On a PEK-secured sensor a user is extended without a password only right after the sensor
// identified that user.
TEST_F(ExStore, SecuredSensorExtendsOnlyTheUserLastIdentified) {
    start(true);
    const TcsHandle app = fileStorage("db.img");
    const Bytes alice = bytesOf("alice"), bob = bytesOf("bob");
    ASSERT_EQ(enroll(app, alice, 1), TCS_RESULT_OK);
    ASSERT_EQ(storedTemplates(app, alice).size(), 1u);
    EXPECT_EQ(storedTemplates(app, alice)[0][3], 1) << "wrapped by the sensor";
    uint8_t aliceContext[128];
    ASSERT_EQ(scsSensorGetLastIdentificationCtx(sensorRecord()->sensorControlSensor, aliceContext, 128), 0u);
    ASSERT_EQ(enroll(app, bob, 1), TCS_RESULT_OK);

    EXPECT_EQ(enroll(app, alice, 2), TCS_RESULT_NOT_LAST_IDENTIFIED);
    ASSERT_EQ(_tcsSensorSetLastIdentificationCtx(sensorRecord(), nullptr, 0), TCS_RESULT_OK);
    EXPECT_EQ(enroll(app, alice, 2), TCS_RESULT_NOT_LAST_IDENTIFIED) << "no identification at all";
    EXPECT_EQ(fingers(app, alice), (std::vector<uint32_t>{1}));

    ASSERT_EQ(_tcsSensorSetLastIdentificationCtx(sensorRecord(), aliceContext, 128), TCS_RESULT_OK);
    EXPECT_EQ(enroll(app, alice, 2), TCS_RESULT_OK);
    EXPECT_EQ(fingers(app, alice), (std::vector<uint32_t>{1, 2}));
}

// A store that fails after it created the user takes the user away again.
TEST_F(ExStore, FailedStoreLeavesNoNewUser) {
    start(true);
    const TcsHandle app = fileStorage("db.img");
    hook(0x1D, [](std::span<const uint8_t>) { return simusb::Reply{0x0406, {}}; });
    EXPECT_NE(enroll(app, bytesOf("alice"), 1), TCS_RESULT_OK);
    EXPECT_TRUE(userIds(app).empty());
    simusb::setCommandHook(0x1D, nullptr);
    // The sensor that cannot open what it wrapped fails the store at its read-back.
    hook(0x1E, [](std::span<const uint8_t>) { return simusb::Reply{0x044F, {}}; });
    EXPECT_NE(enroll(app, bytesOf("alice"), 1), TCS_RESULT_OK);
    EXPECT_TRUE(userIds(app).empty());
    simusb::setCommandHook(0x1E, nullptr);
    EXPECT_EQ(enroll(app, bytesOf("alice"), 1), TCS_RESULT_OK);
    EXPECT_EQ(userIds(app), std::vector<Bytes>{bytesOf("alice")});
}

}  // namespace
