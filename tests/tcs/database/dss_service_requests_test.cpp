// Database interface: the argument and handle checks of every request family, the template data
// format byte, app-storage names and the store checks.
#include "tests/tcs/database/dss_service_fixture.h"

#include "platform/memory.h"
#include "tcs/database/dss_store.h"
#include "tcs/handle_map.h"

#include <cstring>
#include <functional>

namespace {

using DssServiceRequests = DssServiceTest;

TcsResult ignoreData(uint8_t* data, uint32_t, TcsResult, void*) {
    palRealFree(data);
    return TCS_RESULT_OK;
}

TEST_F(DssServiceRequests, UnknownHandlesGiveTheKindsCode) {
    TcsHandle h = 0;
    uint32_t count = 0;
    uint8_t* data = nullptr;
    uint32_t length = 0;
    const uint8_t byte = 1;
    struct Case {
        const char* call;
        std::function<TcsResult()> run;
        TcsResult expected;
    };
    const Case cases[] = {
        {"close database", [&] { return tcsDatabaseClose(999); }, TCS_RESULT_INVALID_DATABASE_HANDLE},
        {"create app storage", [&] { return tcsDatabaseCreateAppStorage(999, "A", 0, &h); },
         TCS_RESULT_INVALID_DATABASE_HANDLE},
        {"erase", [&] { return tcsDatabaseEraseDatabase(client_, 999); }, TCS_RESULT_INVALID_DATABASE_HANDLE},
        {"erase, unknown client", [&] { return tcsDatabaseEraseDatabase(999, 999); }, TCS_RESULT_NULL_CLIENT_HANDLE},
        {"open, unknown client", [&] { return tcsDatabaseOpenA(999, url_.c_str(), &h); }, TCS_RESULT_NULL_CLIENT_HANDLE},
        {"format, unknown client", [&] { return tcsDatabaseFormatDatabaseA(999, url_.c_str()); },
         TCS_RESULT_NULL_CLIENT_HANDLE},
        {"create user", [&] { return tcsDatabaseCreateUser(999, &h); }, TCS_RESULT_INVALID_HANDLE},
        {"user count", [&] { return tcsDatabaseGetUserCount(999, &count); }, TCS_RESULT_INVALID_HANDLE},
        {"close app storage", [&] { return tcsDatabaseCloseAppStorage(999); }, TCS_RESULT_INVALID_HANDLE},
        {"delete app storage", [&] { return tcsDatabaseDeleteAppStorage(999); }, TCS_RESULT_INVALID_HANDLE},
        {"close user", [&] { return tcsDatabaseCloseUser(999); }, TCS_RESULT_INVALID_USER_HANDLE},
        {"delete user", [&] { return tcsDatabaseDeleteUser(999); }, TCS_RESULT_INVALID_USER_HANDLE},
        {"set user data", [&] { return tcsDatabaseSetUserData(999, 1, &byte, 1); }, TCS_RESULT_INVALID_USER_HANDLE},
        {"get user data", [&] { return tcsDatabaseGetUserData(999, 1, &data, &length); },
         TCS_RESULT_INVALID_USER_HANDLE},
        {"create template", [&] { return tcsDatabaseCreateTemplate(999, &h); }, TCS_RESULT_INVALID_USER_HANDLE},
        {"close template", [&] { return tcsDatabaseCloseTemplate(999); }, TCS_RESULT_INVALID_TEMPLATE_HANDLE},
        {"set template data", [&] { return tcsDatabaseSetTemplateData(999, 1, &byte, 1); },
         TCS_RESULT_INVALID_TEMPLATE_HANDLE},
        {"delete template data", [&] { return tcsDatabaseDeleteTemplateData(999, 1); },
         TCS_RESULT_INVALID_TEMPLATE_HANDLE},
        {"create storage", [&] { return tcsDatabaseCreateStorage(999, &h); }, TCS_RESULT_INVALID_HANDLE},
        {"close storage", [&] { return tcsDatabaseCloseStorage(999); }, TCS_RESULT_INVALID_HANDLE},
        {"get storage data", [&] { return tcsDatabaseGetStorageData(999, 1, &data, &length); },
         TCS_RESULT_INVALID_HANDLE},
        {"sensor of a user", [&] { return tcsDatabaseUserGetSensorHandle(999, &h); }, TCS_RESULT_INVALID_USER_HANDLE},
    };
    for (const Case& c : cases) EXPECT_EQ(c.run(), c.expected) << c.call;
    // A handle of another kind is not taken for the one asked.
    TcsHandle database = openDatabase();
    EXPECT_EQ(tcsDatabaseCreateUser(database, &h), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(tcsDatabaseCloseUser(database), TCS_RESULT_INVALID_USER_HANDLE);
}

TEST_F(DssServiceRequests, ArgumentChecksComeBeforeAnythingIsQueued) {
    TcsHandle database = openDatabase();
    TcsHandle app = appStorage(database);
    TcsHandle user = 0, templ = 0, storage = 0, spare = 0;
    ASSERT_EQ(tcsDatabaseCreateUser(app, &user), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseCreateTemplate(user, &templ), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseCreateStorage(app, &storage), TCS_RESULT_OK);
    const uint8_t byte = 7;
    uint8_t* data = nullptr;
    uint32_t length = 0;
    uint8_t buffer[4] = {};
    DssCompletion done;
    struct Case {
        const char* call;
        std::function<TcsResult()> run;
        TcsResult expected;
    };
    const Case cases[] = {
        {"open, null URL", [&] { return tcsDatabaseOpenA(client_, nullptr, nullptr); }, TCS_RESULT_BAD_PARAM},
        {"open, null out", [&] { return tcsDatabaseOpenA(client_, url_.c_str(), nullptr); },
         TCS_RESULT_NULL_HANDLE_POINTER},
        {"open W, null URL", [&] { return tcsDatabaseOpenW(client_, nullptr, nullptr); }, TCS_RESULT_BAD_PARAM},
        {"open async, no callback", [&] { return tcsDatabaseOpenAsyncA(client_, url_.c_str(), nullptr, nullptr); },
         TCS_RESULT_BAD_PARAM},
        {"format, null URL", [&] { return tcsDatabaseFormatDatabaseA(client_, nullptr); }, TCS_RESULT_BAD_PARAM},
        {"create user, null out", [&] { return tcsDatabaseCreateUser(app, nullptr); }, TCS_RESULT_NULL_HANDLE_POINTER},
        {"create user async, no callback", [&] { return tcsDatabaseCreateUserAsync(app, nullptr, nullptr); },
         TCS_RESULT_BAD_PARAM},
        {"user count, null out", [&] { return tcsDatabaseGetUserCount(app, nullptr); },
         TCS_RESULT_NULL_HANDLE_POINTER},
        {"open first template, null out", [&] { return tcsDatabaseOpenFirstTemplate(user, nullptr); },
         TCS_RESULT_NULL_HANDLE_POINTER},
        {"open next storage, null out", [&] { return tcsDatabaseOpenNextStorage(app, nullptr); },
         TCS_RESULT_NULL_HANDLE_POINTER},
        {"set user data, blob 0", [&] { return tcsDatabaseSetUserData(user, 0, &byte, 1); }, TCS_RESULT_BAD_PARAM},
        {"set user data, null data", [&] { return tcsDatabaseSetUserData(user, 1, nullptr, 1); },
         TCS_RESULT_NULL_POINTER},
        {"set user data, length 0", [&] { return tcsDatabaseSetUserData(user, 1, &byte, 0); }, TCS_RESULT_BAD_PARAM},
        {"set user data async, no callback",
         [&] { return tcsDatabaseSetUserDataAsync(user, 1, &byte, 1, nullptr, nullptr); }, TCS_RESULT_BAD_PARAM},
        {"set template data, blob 0", [&] { return tcsDatabaseSetTemplateData(templ, 0, &byte, 1); },
         TCS_RESULT_BAD_PARAM},
        {"set template data, null data", [&] { return tcsDatabaseSetTemplateData(templ, 1, nullptr, 1); },
         TCS_RESULT_NULL_POINTER},
        {"set storage data, length 0", [&] { return tcsDatabaseSetStorageData(storage, 1, &byte, 0); },
         TCS_RESULT_BAD_PARAM},
        {"get user data, blob 0", [&] { return tcsDatabaseGetUserData(user, 0, &data, &length); },
         TCS_RESULT_BAD_PARAM},
        {"get template data, null outs", [&] { return tcsDatabaseGetTemplateData(templ, 1, nullptr, &length); },
         TCS_RESULT_NULL_POINTER},
        {"get storage data, null length", [&] { return tcsDatabaseGetStorageData(storage, 1, &data, nullptr); },
         TCS_RESULT_NULL_POINTER},
        {"get storage data async, no callback",
         [&] { return tcsDatabaseGetStorageDataAsync(storage, 1, nullptr, nullptr); }, TCS_RESULT_BAD_PARAM},
        {"delete template data async, no callback",
         [&] { return tcsDatabaseDeleteTemplateDataAsync(templ, 1, nullptr, nullptr); }, TCS_RESULT_BAD_PARAM},
        {"delete user async, no callback", [&] { return tcsDatabaseDeleteUserAsync(user, nullptr, nullptr); },
         TCS_RESULT_BAD_PARAM},
        {"app storage, null name", [&] { return tcsDatabaseCreateAppStorage(database, nullptr, 0, &spare); },
         TCS_RESULT_BAD_PARAM},
        {"app storage, 14 characters", [&] { return tcsDatabaseCreateAppStorage(database, "ABCDEFGHIJKLMN", 0, &spare); },
         TCS_RESULT_BAD_PARAM},
        {"app storage, null out", [&] { return tcsDatabaseCreateAppStorage(database, "B", 0, nullptr); },
         TCS_RESULT_NULL_HANDLE_POINTER},
        {"backup of a file store", [&] { return tcsDatabaseBackup(database, buffer, &length); },
         TCS_RESULT_NOT_IMPLEMENTED},
        {"restore of a file store", [&] { return tcsDatabaseRestore(database, &byte, 1); },
         TCS_RESULT_NOT_IMPLEMENTED},
        {"sensor of a database, null out", [&] { return tcsDatabaseGetSensorHandle(database, nullptr); },
         TCS_RESULT_NULL_HANDLE_POINTER},
    };
    for (const Case& c : cases) EXPECT_EQ(c.run(), c.expected) << c.call;
    // Nothing above reached the service: the user is still without data.
    EXPECT_EQ(tcsDatabaseGetUserData(user, 1, &data, &length), TCS_RESULT_DATA_ID_DOESNT_EXIST);
    EXPECT_EQ(done.calls.load(), 0);
    // A file store has no sensor.
    TcsHandle sensor = 77;
    EXPECT_EQ(tcsDatabaseTemplateGetSensorHandle(templ, &sensor), TCS_RESULT_OK);
    EXPECT_EQ(sensor, 0u);
}

TEST_F(DssServiceRequests, AppStorageNamesAndTheFeaturesRule) {
    TcsHandle database = openDatabase();
    TcsHandle app = 0;
    // 13 characters are accepted (the record keeps 12).
    EXPECT_EQ(tcsDatabaseCreateAppStorage(database, "ABCDEFGHIJKLM", 0, &app), TCS_RESULT_OK);
    EXPECT_NE(app, 0u);
    TcsHandle features = appStorage(database, "FEATURES");
    ASSERT_NE(features, 0u);
    // A second one that "FEATURES" begins with, ignoring case, while the first is open in any
    // database of the client.
    TcsHandle other = openDatabase();
    for (const char* name : {"features", "FEAT", "F"}) {
        EXPECT_EQ(tcsDatabaseCreateAppStorage(other, name, 0, &app), TcsResult(89)) << name;
    }
    // A longer name is not a beginning of "FEATURES"; once it is open it blocks the short forms too.
    TcsHandle longer = 0;
    EXPECT_EQ(tcsDatabaseCreateAppStorage(other, "FEATURESX", 0, &longer), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseCloseAppStorage(features), TCS_RESULT_OK);
    EXPECT_EQ(tcsDatabaseCreateAppStorage(other, "Features", 0, &app), TcsResult(89));
    ASSERT_EQ(tcsDatabaseCloseAppStorage(longer), TCS_RESULT_OK);
    EXPECT_EQ(tcsDatabaseCreateAppStorage(other, "Features", 0, &app), TCS_RESULT_OK);
}

TEST_F(DssServiceRequests, TemplateDataCarriesItsFormatByte) {
    TcsHandle database = openDatabase();
    TcsHandle app = appStorage(database);
    TcsHandle user = 0, templ = 0;
    ASSERT_EQ(tcsDatabaseCreateUser(app, &user), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseCreateTemplate(user, &templ), TCS_RESULT_OK);
    void* record = nullptr;
    ASSERT_EQ(_tcsSafeHandleFetch(templ, TCS_HANDLE_TYPE_DB_TEMPLATE, &record), TCS_RESULT_OK);
    auto* dbTemplate = static_cast<DssTemplate*>(record);

    const uint8_t plain[] = {0x10, 0x20, 0x30};
    ASSERT_EQ(tcsDatabaseSetTemplateData(templ, 1, plain, sizeof plain), TCS_RESULT_OK);
    uint8_t* data = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(tcsDatabaseGetTemplateData(templ, 1, &data, &length), TCS_RESULT_OK);
    EXPECT_EQ(bytes(data, length), bytes(plain, sizeof plain));
    tcsBufferFree(data);
    ASSERT_EQ(_tcsDatabaseGetTemplateDataSync(dbTemplate, 1, &data, &length), TCS_RESULT_OK);
    EXPECT_EQ(bytes(data, length), (std::vector<uint8_t>{1, 0x10, 0x20, 0x30}));
    tcsBufferFree(data);

    // Stored as given by the inner form: a 1024-byte blob is the older raw form, returned whole;
    // any other first byte is a format the plain read does not know.
    std::vector<uint8_t> raw(DSS_TEMPLATE_RAW_LENGTH);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i * 7);
    ASSERT_EQ(_tcsDatabaseSetTemplateDataSync(dbTemplate, 2, raw.data(), uint32_t(raw.size())), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseGetTemplateData(templ, 2, &data, &length), TCS_RESULT_OK);
    EXPECT_EQ(bytes(data, length), raw);
    tcsBufferFree(data);
    const uint8_t packed[] = {2, 1, 1, 0};
    ASSERT_EQ(_tcsDatabaseSetTemplateDataSync(dbTemplate, 3, packed, sizeof packed), TCS_RESULT_OK);
    data = reinterpret_cast<uint8_t*>(1);
    EXPECT_EQ(tcsDatabaseGetTemplateData(templ, 3, &data, &length), TCS_RESULT_ERROR);

    // The same id twice, then deleted and set again.
    EXPECT_EQ(tcsDatabaseSetTemplateData(templ, 1, plain, sizeof plain), TCS_RESULT_DATA_ID_EXISTS);
    EXPECT_EQ(tcsDatabaseDeleteTemplateData(templ, 1), TCS_RESULT_OK);
    EXPECT_EQ(tcsDatabaseSetTemplateData(templ, 1, plain, 2), TCS_RESULT_OK);
    EXPECT_EQ(tcsDatabaseGetTemplateData(templ, 9, &data, &length), TCS_RESULT_DATA_ID_DOESNT_EXIST);
}

TEST_F(DssServiceRequests, AsynchronousCallsReportTheObjectActedOn) {
    TcsHandle database = openDatabase();
    TcsHandle app = appStorage(database);
    TcsHandle user = 0;
    ASSERT_EQ(tcsDatabaseCreateUser(app, &user), TCS_RESULT_OK);
    static const uint8_t kData[] = {4, 5, 6};
    DssCompletion set, count, removed;
    ASSERT_EQ(tcsDatabaseSetUserDataAsync(user, 3, kData, sizeof kData, recordDssCompletion, &set), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseGetUserCountAsync(app, recordDssCompletion, &count), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseDeleteUserDataAsync(user, 3, recordDssCompletion, &removed), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseGetUserDataAsync(user, 3, ignoreData, nullptr), TCS_RESULT_OK);
    for (int i = 0; i < 2000 && removed.calls.load() == 0; ++i) usleep(1000);
    EXPECT_EQ(set.calls.load(), 1);
    EXPECT_EQ(set.result.load(), TCS_RESULT_OK);
    EXPECT_EQ(set.value.load(), user);
    EXPECT_EQ(count.result.load(), TCS_RESULT_OK);
    EXPECT_EQ(removed.result.load(), TCS_RESULT_OK);
    EXPECT_EQ(removed.value.load(), user);
}

}  // namespace
