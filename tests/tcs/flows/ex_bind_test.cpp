// Bound enrollment records: bound on the virtual sensor in its own database's scratch storage, kept
// by the caller, and filed under users of a file database.
#include "tests/tcs/flows/ex_flows_fixture.h"

namespace {

class ExBind : public ExFlowsStack {
protected:
    void startWithDatabase(bool secure = false) {
        start(secure);
        sensorUrl_ = "sensor://" + sensorName();
        // A secured sensor's flash needs its pairing's raw partition, which the virtual sensor has
        // not: its database is made and held open while it is not yet marked secured, and the
        // binds share the open store.
        device()->aesSecured = 0;
        ASSERT_EQ(tcsDatabaseFormatDatabaseA(client_, sensorUrl_.c_str()), TCS_RESULT_OK);
        if (secure) {
            ASSERT_EQ(tcsDatabaseOpenA(client_, sensorUrl_.c_str(), &held_), TCS_RESULT_OK);
            device()->aesSecured = 1;
        }
    }

    // Binds a template of the finger, with one entry or with a password.
    Bytes bind(const Bytes& userId, uint32_t finger, const Bytes* password = nullptr, TcsResult* outResult = nullptr) {
        const SizedBuffer id = sized(userId);
        const Bytes entry = bytesOf("payload");
        const EnrollmentDataEntry entries[] = {{1, uint32_t(entry.size()), entry.data()}};
        const TcsHandle templ = makeTemplate(finger, templateBytes(finger));
        ExBuffer record{};
        TcsResult result;
        if (password != nullptr) {
            const SizedBuffer secret = sized(*password);
            result = tcsExEnrollTemplateBindAlt(sensor_, &id, &secret, templ, &record);
        } else {
            result = tcsExEnrollTemplateBind(sensor_, &id, 1, entries, templ, &record);
        }
        tcsHandleDestroy(templ);
        if (outResult != nullptr) *outResult = result;
        EXPECT_TRUE(outResult != nullptr || result == TCS_RESULT_OK) << result;
        Bytes out(record.data, record.data + record.length);
        tcsBufferFree(record.data);
        return out;
    }

    TcsResult file(TcsHandle app, const Bytes& userId, uint32_t finger, const Bytes& data) {
        const SizedBuffer id = sized(userId);
        return tcsExEnrollTemplateStore(sensor_, app, &id, finger, uint32_t(data.size()), data.data());
    }

    // The users the scratch storage of the sensor's database holds.
    std::vector<Bytes> scratchUsers() {
        TcsHandle database = 0, app = 0;
        EXPECT_EQ(tcsDatabaseOpenA(client_, sensorUrl_.c_str(), &database), TCS_RESULT_OK);
        EXPECT_EQ(tcsDatabaseCreateAppStorage(database, TCS_EX_BIND_SCRATCH_STORAGE, 0, &app), TCS_RESULT_OK);
        std::vector<Bytes> users = userIds(app);
        EXPECT_EQ(tcsDatabaseClose(database), TCS_RESULT_OK);
        return users;
    }

    static uint32_t word(const Bytes& b, size_t at) {
        uint32_t v = 0;
        std::memcpy(&v, b.data() + at, 4);
        return v;
    }

    std::string sensorUrl_;
    TcsHandle held_ = 0;  // closed with the client
};

Bytes userBlob(TcsHandle app, const Bytes& userId, uint32_t blob) {
    const TcsHandle user = findUser(app, userId);
    Bytes out;
    uint8_t* data = nullptr;
    uint32_t length = 0;
    if (user != 0 && tcsDatabaseGetUserData(user, blob, &data, &length) == TCS_RESULT_OK) out.assign(data, data + length);
    tcsBufferFree(data);
    if (user != 0) tcsDatabaseCloseUser(user);
    return out;
}

TEST_F(ExBind, RecordRoundTripsAndTheScratchStorageStaysEmpty) {
    startWithDatabase();
    const TcsHandle app = fileStorage("db.img");
    const Bytes alice = bytesOf("alice");
    const Bytes record = bind(alice, 3);
    ASSERT_GE(record.size(), 17u);
    EXPECT_EQ(Bytes(record.begin(), record.begin() + 9), (Bytes{'T', 'O', 'V', '-', 'E', 'N', 'R', 'L', 0}));
    const uint32_t x = word(record, 9), y = word(record, 13);
    EXPECT_EQ(record.size(), x + y + 17u) << "bound without a password: no digest";
    EXPECT_EQ(y, 0u) << "nothing beside the template on a sensor without PEK security";
    EXPECT_EQ(record[17 + 3], 3) << "the packed record names the finger";
    EXPECT_TRUE(scratchUsers().empty());

    ASSERT_EQ(file(app, alice, 3, record), TCS_RESULT_OK);
    const std::vector<Bytes> stored = storedTemplates(app, alice);
    ASSERT_EQ(stored.size(), 1u);
    Bytes expected{DSS_TEMPLATE_FORMAT_PACKED};
    expected.insert(expected.end(), record.begin() + 17, record.begin() + 17 + x);
    EXPECT_EQ(stored[0], expected);
    EXPECT_EQ(file(app, alice, 3, bind(alice, 3)), TCS_RESULT_FINGER_ENROLLED);

    // Bytes that are no bound record are a plain template, filed under the finger given.
    const Bytes plain = templateBytes(8);
    ASSERT_EQ(file(app, alice, 8, plain), TCS_RESULT_OK);
    EXPECT_EQ(fingers(app, alice), (std::vector<uint32_t>{3, 8}));

    // Both come back from the database as the enroll templates that went in.
    struct Back {
        uint32_t finger;
        Bytes data;
        uint32_t features;
    };
    std::vector<Back> back;
    const TcsHandle user = findUser(app, alice);
    ASSERT_NE(user, 0u);
    for (bool first = true;; first = false) {
        TcsHandle t = 0, templ = 0;
        if ((first ? tcsDatabaseOpenFirstTemplate(user, &t) : tcsDatabaseOpenNextTemplate(user, &t)) != 0) break;
        EXPECT_EQ(tcsDatabaseExGetTemplateData(t, sensor_, &templ), TCS_RESULT_OK);
        Bytes data(tcsTemplateGetDataSize(templ));
        tcsTemplateGetData(templ, data.data(), uint32_t(data.size()));
        back.push_back({tcsTemplateGetFinger(templ), data, tcsTemplateGetFeatures(templ)});
        tcsHandleDestroy(templ);
        tcsDatabaseCloseTemplate(t);
    }
    tcsDatabaseCloseUser(user);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].finger, 3u);
    EXPECT_EQ(back[0].data, templateBytes(3)) << "the bound template";
    EXPECT_EQ(back[0].features, 1u);
    EXPECT_EQ(back[1].finger, 8u);
    EXPECT_EQ(back[1].data, plain);
    EXPECT_EQ(back[1].features, 0u);
}

// A record bound with a password carries its digest: a new user takes it, an existing user's must be
// the same (17 when it differs, 510 when the user has none); a record without one is not checked.
TEST_F(ExBind, PasswordDigestDecidesForAnExistingUser) {
    startWithDatabase();
    const TcsHandle app = fileStorage("db.img");
    const Bytes alice = bytesOf("alice"), bob = bytesOf("bob");
    const Bytes secret = bytesOf("secret"), other = bytesOf("other");
    const Bytes first = bind(bob, 1, &secret);
    ASSERT_EQ(first.size(), word(first, 9) + word(first, 13) + 49u);
    EXPECT_EQ(Bytes(first.end() - 32, first.end()), digestOf(secret, 0));
    ASSERT_EQ(file(app, bob, 1, first), TCS_RESULT_OK);
    EXPECT_EQ(userBlob(app, bob, DSS_BLOB_USER_KEY_DIGEST), digestOf(secret, 0));

    EXPECT_EQ(file(app, bob, 2, bind(bob, 2, &other)), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(file(app, bob, 2, bind(bob, 2, &secret)), TCS_RESULT_OK);
    EXPECT_EQ(file(app, bob, 3, bind(bob, 3)), TCS_RESULT_OK) << "no digest, no check";
    EXPECT_EQ(fingers(app, bob), (std::vector<uint32_t>{1, 2, 3}));

    ASSERT_EQ(file(app, alice, 1, bind(alice, 1)), TCS_RESULT_OK);
    EXPECT_EQ(file(app, alice, 2, bind(alice, 2, &secret)), TCS_RESULT_NOT_LAST_IDENTIFIED);
    EXPECT_EQ(fingers(app, alice), (std::vector<uint32_t>{1}));
}

TEST_F(ExBind, RefusalsLeaveNothingBehind) {
    startWithDatabase();
    const TcsHandle app = fileStorage("db.img");
    const Bytes alice = bytesOf("alice");
    const Bytes record = bind(alice, 1);
    Bytes longer = record, shorter = record;
    longer.push_back(0);
    shorter.pop_back();
    const Bytes header(record.begin(), record.begin() + 12);
    Bytes huge = record;
    huge[12] = 0xFF;  // X beyond what any record holds
    for (const Bytes* bad : std::initializer_list<const Bytes*>{&longer, &shorter, &header, &huge}) {
        EXPECT_EQ(file(app, alice, 1, *bad), TCS_RESULT_BAD_PARAM) << bad->size();
    }
    EXPECT_TRUE(userIds(app).empty());

    const SizedBuffer id = sized(alice);
    EXPECT_EQ(tcsExEnrollTemplateStore(0, app, &id, 1, uint32_t(record.size()), record.data()),
              TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_EQ(tcsExEnrollTemplateStore(sensor_, 0, &id, 1, uint32_t(record.size()), record.data()),
              TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExEnrollTemplateStore(sensor_, app, nullptr, 1, uint32_t(record.size()), record.data()),
              TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExEnrollTemplateStore(sensor_, app, &id, 1, 0, record.data()), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExEnrollTemplateStore(sensor_, app, &id, 1, uint32_t(record.size()), nullptr),
              TCS_RESULT_NULL_POINTER);

    const Bytes entry = bytesOf("e");
    const EnrollmentDataEntry entries[] = {{1, 1, entry.data()}};
    const TcsHandle templ = makeTemplate(1, templateBytes(1));
    ExBuffer out{};
    EXPECT_EQ(tcsExEnrollTemplateBind(0, &id, 1, entries, templ, &out), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsExEnrollTemplateBind(sensor_, nullptr, 1, entries, templ, &out), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExEnrollTemplateBind(sensor_, &id, 1, nullptr, templ, &out), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExEnrollTemplateBind(sensor_, &id, 1, entries, 0, &out), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExEnrollTemplateBind(sensor_, &id, 1, entries, templ, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExEnrollTemplateBindAlt(sensor_, &id, nullptr, templ, &out), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(out.data, nullptr);
    tcsHandleDestroy(templ);
    EXPECT_TRUE(userIds(app).empty());
    EXPECT_TRUE(scratchUsers().empty());
}

// With PEK security the record carries the authentication block beside the template; filing it for
// a new user keeps that block as the user's, and the template part is handed to sensor control.
TEST_F(ExBind, SecuredSensorBindsThroughTheSensor) {
    startWithDatabase(true);
    const TcsHandle app = fileStorage("db.img");
    const Bytes alice = bytesOf("alice");
    const Bytes record = bind(alice, 4);
    const uint32_t x = word(record, 9), y = word(record, 13);
    ASSERT_EQ(record.size(), x + y + 17u);
    EXPECT_GT(y, 0u);
    EXPECT_EQ(record[17 + 2], 1) << "wrapped by the sensor";
    EXPECT_TRUE(scratchUsers().empty());

    ASSERT_EQ(file(app, alice, 4, record), TCS_RESULT_OK);
    EXPECT_EQ(userBlob(app, alice, DSS_BLOB_USER_AUTH_DATA), Bytes(record.begin() + 17 + x, record.end()));
    uint32_t length = 0;
    void* cached = nullptr;
    ASSERT_EQ(scsSensorGetCachedMatchDataAndTemplate(sensorRecord()->sensorControlSensor, &length, &cached, nullptr,
                                                     nullptr),
              TCS_RESULT_OK);
    ASSERT_NE(cached, nullptr);
    EXPECT_EQ(Bytes(static_cast<uint8_t*>(cached), static_cast<uint8_t*>(cached) + length),
              Bytes(record.begin() + 17, record.begin() + 17 + x));

    // A bind the sensor cannot wrap leaves the scratch storage as empty as a good one.
    hook(0x1D, [](std::span<const uint8_t>) { return simusb::Reply{0x0406, {}}; });
    TcsResult result = TCS_RESULT_OK;
    EXPECT_TRUE(bind(bytesOf("bob"), 1, nullptr, &result).empty());
    EXPECT_NE(result, TCS_RESULT_OK);
    EXPECT_TRUE(scratchUsers().empty());
}

}  // namespace
