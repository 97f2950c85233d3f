// Removing fingers and users, restoring a sensor's database from a backup, cancelling a capture and
// taking the matcher accuracy from the sensor's features storage, on the stack with the virtual
// sensor.
#include "tests/tcs/flows/ex_flows_fixture.h"

#include "tcs/flashfs/xtfs_mirror.h"
#include "tcs/sensorctl/protocol/template_cache.h"

#include <atomic>

namespace {

using ExMaintenance = ExFlowsStack;

TEST_F(ExMaintenance, RemovingTheLastFingerRemovesTheUser) {
    start();
    const TcsHandle app = fileStorage("db.img");
    const Bytes alice = bytesOf("alice"), bob = bytesOf("bob"), carol = bytesOf("carol");
    for (uint32_t finger : {1u, 2u, 3u}) ASSERT_EQ(enroll(app, alice, finger), TCS_RESULT_OK);
    for (uint32_t finger : {4u, 5u}) ASSERT_EQ(enroll(app, bob, finger), TCS_RESULT_OK);
    const SizedBuffer a = sized(alice), b = sized(bob), c = sized(carol);

    EXPECT_EQ(tcsExRemoveUserFinger(sensor_, app, &a, 5), TCS_RESULT_TEMPLATE_DOESNT_EXIST);
    EXPECT_EQ(fingers(app, alice), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(tcsExRemoveUserFinger(sensor_, app, &a, 2), TCS_RESULT_OK);
    EXPECT_EQ(fingers(app, alice), (std::vector<uint32_t>{1, 3}));
    EXPECT_EQ(tcsExRemoveUserFinger(sensor_, app, &a, 1), TCS_RESULT_OK);
    EXPECT_EQ(tcsExRemoveUserFinger(sensor_, app, &a, 3), TCS_RESULT_OK);
    EXPECT_EQ(userIds(app), std::vector<Bytes>{bob});
    EXPECT_EQ(tcsExRemoveUserFinger(sensor_, app, &a, 3), TCS_RESULT_USER_DOESNT_EXIST);

    // Finger 11 is the whole user.
    EXPECT_EQ(tcsExRemoveUserFinger(sensor_, app, &b, TCS_EX_WHOLE_USER), TCS_RESULT_OK);
    EXPECT_TRUE(userIds(app).empty());

    ASSERT_EQ(enroll(app, carol, 1), TCS_RESULT_OK);
    EXPECT_EQ(tcsExRemoveUserFinger(0, app, &c, 1), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_EQ(tcsExRemoveUserFinger(sensor_, 0, &c, 1), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExRemoveUserFinger(sensor_, app, nullptr, 1), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(fingers(app, carol), (std::vector<uint32_t>{1}));
}

// The sensor's decrypted copy of a removed template goes with it, and so does an identification
// context that names the user removed.
TEST_F(ExMaintenance, RemovalDropsWhatTheSensorCachedOfIt) {
    start(true);
    const TcsHandle app = fileStorage("db.img");
    const Bytes alice = bytesOf("alice");
    for (uint32_t finger : {1u, 2u}) ASSERT_EQ(enroll(app, alice, finger), TCS_RESULT_OK);
    const std::vector<Bytes> stored = storedTemplates(app, alice);
    ASSERT_EQ(stored.size(), 2u);
    ScsSensor* control = sensorRecord()->sensorControlSensor;
    const Bytes name = digestOf(bytesOf("APP"), 2);
    auto cached = [&](const Bytes& record) {
        const Bytes digest = digestOf(Bytes(record.begin() + 1, record.end()), 2);
        uint8_t* data = nullptr;
        uint32_t length = 0;
        const TcsResult result = scsSensorGetDecTemplate(control, name.data(), digest.data(), &data, &length, nullptr,
                                                         nullptr, nullptr);
        palRealFree(data);
        return result == TCS_RESULT_OK;
    };
    ASSERT_TRUE(cached(stored[0])) << "the store's read-back decrypted it";
    ASSERT_TRUE(cached(stored[1]));

    const SizedBuffer id = sized(alice);
    EXPECT_EQ(tcsExRemoveUserFinger(sensor_, app, &id, 1), TCS_RESULT_OK);
    EXPECT_FALSE(cached(stored[0]));
    EXPECT_TRUE(cached(stored[1]));
    uint8_t context[128];
    EXPECT_EQ(scsSensorGetLastIdentificationCtx(control, context, sizeof context), TCS_RESULT_OK);
    EXPECT_EQ(tcsExRemoveUserFinger(sensor_, app, &id, 2), TCS_RESULT_OK);
    EXPECT_FALSE(cached(stored[1]));
    EXPECT_TRUE(userIds(app).empty());
    EXPECT_NE(scsSensorGetLastIdentificationCtx(control, context, sizeof context), TCS_RESULT_OK)
        << "the context named the user removed";
}

// The helpers that drop the sensor's copies say why they could not: no sensor, no user, a user
// without templates, a template that is not packed for the sensor.
TEST_F(ExMaintenance, CachedCopiesOfUnknownOrUnpackedTemplatesAreRefused) {
    start();
    const TcsHandle app = fileStorage("db.img");
    ASSERT_EQ(enroll(app, bytesOf("alice"), 1), TCS_RESULT_OK);
    SensorRecord* sensor = sensorRecord();
    TcsHandle empty = 0, plainUser = 0, plain = 0;
    ASSERT_EQ(tcsDatabaseCreateUser(app, &empty), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseCreateUser(app, &plainUser), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseCreateTemplate(plainUser, &plain), TCS_RESULT_OK);
    const Bytes data = templateBytes(1);
    ASSERT_EQ(tcsDatabaseSetTemplateData(plain, 1, data.data(), uint32_t(data.size())), TCS_RESULT_OK);
    auto record = [](TcsHandle handle, HandleType kind) {
        void* out = nullptr;
        _tcsSafeHandleFetch(handle, kind, &out);
        return out;
    };
    auto* plainTemplate = static_cast<DssTemplate*>(record(plain, TCS_HANDLE_TYPE_DB_TEMPLATE));
    auto* emptyUser = static_cast<DssUser*>(record(empty, TCS_HANDLE_TYPE_USER));
    auto* withPlain = static_cast<DssUser*>(record(plainUser, TCS_HANDLE_TYPE_USER));
    EXPECT_EQ(_tcsDatabaseExDeleteCachedTemplate(nullptr, plainTemplate), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_EQ(_tcsDatabaseExDeleteCachedTemplate(sensor, nullptr), TCS_RESULT_INVALID_TEMPLATE_HANDLE);
    EXPECT_EQ(_tcsDatabaseExDeleteCachedTemplate(sensor, plainTemplate), TCS_RESULT_TEMPLATE_DOESNT_EXIST);
    EXPECT_EQ(_tcsDatabaseExDeleteCachedUser(nullptr, withPlain), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_EQ(_tcsDatabaseExDeleteCachedUser(sensor, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(_tcsDatabaseExDeleteCachedUser(sensor, emptyUser), TCS_RESULT_TEMPLATE_DOESNT_EXIST);
    EXPECT_EQ(tcsDatabaseCloseTemplate(plain), TCS_RESULT_OK);
    EXPECT_EQ(_tcsDatabaseExDeleteCachedUser(sensor, withPlain), TCS_RESULT_TEMPLATE_DOESNT_EXIST);
    EXPECT_EQ(tcsDatabaseCloseUser(plainUser), TCS_RESULT_OK);
    EXPECT_EQ(tcsDatabaseCloseUser(empty), TCS_RESULT_OK);
    EXPECT_EQ(fingers(app, bytesOf("alice")), (std::vector<uint32_t>{1}));
}

TEST_F(ExMaintenance, BackupOfASensorDatabaseRestores) {
    start();
    const std::string url = "sensor://" + sensorName();
    ASSERT_EQ(tcsDatabaseFormatDatabaseA(client_, url.c_str()), TCS_RESULT_OK);
    auto withDatabase = [&](const std::function<void(TcsHandle app, TcsHandle database)>& body) {
        TcsHandle database = 0, app = 0;
        ASSERT_EQ(tcsDatabaseOpenA(client_, url.c_str(), &database), TCS_RESULT_OK);
        ASSERT_EQ(tcsDatabaseCreateAppStorage(database, "APP", 0, &app), TCS_RESULT_OK);
        body(app, database);
        EXPECT_EQ(tcsDatabaseClose(database), TCS_RESULT_OK);
    };
    Bytes image;
    withDatabase([&](TcsHandle app, TcsHandle database) {
        ASSERT_EQ(enroll(app, bytesOf("alice"), 1), TCS_RESULT_OK);
        uint32_t size = 0;
        ASSERT_EQ(xtfsBackup(sensorRecord()->sensorControlSensor, nullptr, &size), TCS_RESULT_OK);
        image.resize(size);
        ASSERT_EQ(tcsDatabaseBackup(database, image.data(), &size), TCS_RESULT_OK);
    });
    withDatabase([&](TcsHandle app, TcsHandle) { ASSERT_EQ(enroll(app, bytesOf("bob"), 1), TCS_RESULT_OK); });

    const std::string name = sensorName();
    std::vector<uint16_t> wideUrl(url.begin(), url.end());
    wideUrl.push_back(0);
    struct Case {
        const char* what;
        std::function<TcsResult()> restore;
    };
    const Case cases[] = {
        {"bare sensor name", [&] { return tcsDatabaseRestoreExA(client_, name.c_str(), image.data(), uint32_t(image.size())); }},
        {"16-bit url", [&] { return tcsDatabaseRestoreExW(client_, wideUrl.data(), image.data(), uint32_t(image.size())); }},
    };
    for (const Case& c : cases) {
        withDatabase([&](TcsHandle app, TcsHandle) { ASSERT_EQ(enroll(app, bytesOf("carol"), 2), TCS_RESULT_OK); });
        EXPECT_EQ(c.restore(), TCS_RESULT_OK) << c.what;
        withDatabase([&](TcsHandle app, TcsHandle) { EXPECT_EQ(userIds(app), std::vector<Bytes>{bytesOf("alice")}) << c.what; });
    }
}

TEST_F(ExMaintenance, RestoreRefusals) {
    start();
    const Bytes image(4096, 0xFF);
    const std::string file = "file://" + dir_ + "/db.img";
    fileStorage("db.img");
    const std::string longName(261, 'n');
    std::vector<uint16_t> longWide(longName.begin(), longName.end());
    longWide.push_back(0);
    struct Case {
        const char* what;
        std::function<TcsResult()> restore;
        TcsResult expected;
    };
    const Case cases[] = {
        {"file store", [&] { return tcsDatabaseRestoreExA(client_, file.c_str(), image.data(), 4096); }, 6},
        {"no image", [&] { return tcsDatabaseRestoreExA(client_, file.c_str(), nullptr, 4096); }, 40},
        {"no client", [&] { return tcsDatabaseRestoreExA(0, file.c_str(), image.data(), 4096); }, 16},
        {"no name", [&] { return tcsDatabaseRestoreExA(client_, nullptr, image.data(), 4096); }, 17},
        {"no 16-bit name", [&] { return tcsDatabaseRestoreExW(client_, nullptr, image.data(), 4096); }, 17},
        {"name too long", [&] { return tcsDatabaseRestoreExA(client_, longName.c_str(), image.data(), 4096); }, 17},
        {"16-bit name too long", [&] { return tcsDatabaseRestoreExW(client_, longWide.data(), image.data(), 4096); }, 17},
        {"image of another size", [&] { return tcsDatabaseRestoreExA(client_, sensorName().c_str(), image.data(), 4096); }, 17},
    };
    for (const Case& c : cases) EXPECT_EQ(c.restore(), c.expected) << c.what;
}

TcsResult onCaptureEnded(void*, TcsResult status, void* context) {
    static_cast<std::atomic<TcsResult>*>(context)->store(status);
    return TCS_RESULT_OK;
}
TcsResult onSensorEvent(void*, void* context, EventRecord* event) {
    if (event->id == TCS_SENSOR_EVENT_SWIPE_NOW) static_cast<std::atomic<bool>*>(context)->store(true);
    return TCS_RESULT_OK;
}

TEST_F(ExMaintenance, CancelEndsTheCaptureThatWaitsForAFinger) {
    start();
    EXPECT_EQ(tcsCancelExOperation(0), TCS_RESULT_NULL_SENSOR_HANDLE);
    std::atomic<bool> prompted{false};
    std::atomic<TcsResult> ended{0xFFFFFFFFu};
    ASSERT_EQ(tcsSensorEventsAddCallback(sensor_, onSensorEvent, &prompted), TCS_RESULT_OK);
    tcsSensorEventListen(sensor_, TCS_SENSOR_EVENT_SWIPE_NOW, 1);
    ASSERT_EQ(tcsSensorGetFingerprintAsyncA(sensor_, onCaptureEnded, &ended, nullptr), TCS_RESULT_OK);
    ASSERT_TRUE(waitFor([&] { return prompted.load(); }));
    EXPECT_EQ(tcsCancelExOperation(sensor_), TCS_RESULT_OK);
    ASSERT_TRUE(waitFor([&] { return ended.load() != 0xFFFFFFFFu; }));
    EXPECT_EQ(ended.load(), 501u);
}

// The features storage of the sensor's own database: "FAR" and a u32 level 1 to 3; anything else
// counts as level 1. A level the client chose itself is kept.
TEST_F(ExMaintenance, AccuracyComesFromTheFeaturesStorage) {
    start();
    const std::string url = "sensor://" + sensorName();
    ASSERT_EQ(tcsDatabaseFormatDatabaseA(client_, url.c_str()), TCS_RESULT_OK);
    auto writeFeatures = [&](const Bytes& tag, const Bytes& level) {
        TcsHandle database = 0, app = 0, storage = 0;
        ASSERT_EQ(tcsDatabaseOpenA(client_, url.c_str(), &database), TCS_RESULT_OK);
        ASSERT_EQ(tcsDatabaseCreateAppStorage(database, "FEATURES", 0, &app), TCS_RESULT_OK);
        if (tcsDatabaseOpenFirstStorage(app, &storage) != TCS_RESULT_OK) {
            ASSERT_EQ(tcsDatabaseCreateStorage(app, &storage), TCS_RESULT_OK);
        }
        tcsDatabaseDeleteStorageData(storage, 2);
        tcsDatabaseDeleteStorageData(storage, 102);
        ASSERT_EQ(tcsDatabaseSetStorageData(storage, 2, tag.data(), uint32_t(tag.size())), TCS_RESULT_OK);
        if (!level.empty()) {
            ASSERT_EQ(tcsDatabaseSetStorageData(storage, 102, level.data(), uint32_t(level.size())), TCS_RESULT_OK);
        }
        ASSERT_EQ(tcsDatabaseClose(database), TCS_RESULT_OK);
    };
    void* record = nullptr;
    tcsSafeClientHandleFetch(client_, &record);
    auto* client = static_cast<ClientRecord*>(record);
    struct Case {
        const char* what;
        Bytes tag;
        Bytes level;
        uint32_t before;
        uint32_t after;
        uint32_t far;
    };
    const Case cases[] = {
        {"level 3", bytesOf("FAR"), {3, 0, 0, 0}, 1, 3, 1000000},
        {"level 2", bytesOf("FAR"), {2, 0, 0, 0}, 3, 2, 100000},
        {"another tag counts as 1", bytesOf("XYZ"), {3, 0, 0, 0}, 2, 1, 10000},
        {"a short level counts as 1", bytesOf("FAR"), {3, 0}, 2, 1, 10000},
        {"no level counts as 1", bytesOf("FAR"), {}, 3, 1, 10000},
        {"a short tag counts as 1", bytesOf("FA"), {3, 0, 0, 0}, 2, 1, 10000},
    };
    for (const Case& c : cases) {
        writeFeatures(c.tag, c.level);
        client->matcherAccuracy = c.before;
        client->accuracySet = 0;
        ASSERT_EQ(tcsSetParam(client_, 15, 77), TCS_RESULT_OK);
        EXPECT_EQ(tcsSensorUpdateFeatures(sensor_), TCS_RESULT_OK) << c.what;
        EXPECT_EQ(client->matcherAccuracy, c.after) << c.what;
        uint32_t far = 0;
        EXPECT_EQ(tcsGetParam(client_, 15, &far), TCS_RESULT_OK);
        EXPECT_EQ(far, c.far) << c.what;
    }
    // A level the matcher has no setting for is refused and changes nothing.
    writeFeatures(bytesOf("FAR"), {4, 0, 0, 0});
    client->matcherAccuracy = 2;
    client->accuracySet = 0;
    EXPECT_EQ(tcsSensorUpdateFeatures(sensor_), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(client->matcherAccuracy, 2u);
    // Nothing changes for a client at the stored level or one that chose its level itself.
    writeFeatures(bytesOf("FAR"), {3, 0, 0, 0});
    ASSERT_EQ(tcsMatcherSetAccuracy(client_, 2), TCS_RESULT_OK);
    EXPECT_EQ(tcsSensorUpdateFeatures(sensor_), TCS_RESULT_OK);
    EXPECT_EQ(client->matcherAccuracy, 2u);
    EXPECT_EQ(tcsSensorUpdateFeatures(0), TCS_RESULT_NULL_SENSOR_HANDLE);
}

// Only a sensor whose flash sensor control could identify keeps a features storage; on any other
// the call does nothing, and never reaches for a database.
TEST_F(ExMaintenance, NoFeaturesWhereTheSensorHasNoFlash) {
    // No part answers on the SPI bus: every MISO byte idles at 0xFF, so no JEDEC id comes back.
    hook(0x0B, [](std::span<const uint8_t> request) {
        return simusb::Reply{0, Bytes(request.size() > 35 ? request.size() - 35 : 0, 0xFF)};
    });
    start();
    void* record = nullptr;
    tcsSafeClientHandleFetch(client_, &record);
    auto* client = static_cast<ClientRecord*>(record);
    client->matcherAccuracy = 2;
    client->accuracySet = 0;
    EXPECT_EQ(tcsSensorUpdateFeatures(sensor_), TCS_RESULT_OK);
    EXPECT_EQ(client->matcherAccuracy, 2u);
}

}  // namespace
