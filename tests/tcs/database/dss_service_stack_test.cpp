// Database service over the whole stack: a host database with app storages, users, templates and
// storages, written, closed, reopened and found again.
#include "tests/tcs/database/dss_service_fixture.h"

#include "tcs/handle_map.h"

#include <cstring>

namespace {

using DssServiceStack = DssServiceTest;

TEST_F(DssServiceStack, UsersTemplatesAndStoragesOutliveTheirDatabase) {
    const uint8_t userId[] = {'a', 'l', 'i', 'c', 'e'};
    const uint8_t templ[] = {9, 8, 7, 6, 5};
    const uint8_t stored[] = {1, 2, 3};
    {
        TcsHandle database = openDatabase();
        TcsHandle app = appStorage(database);
        TcsHandle user = 0;
        ASSERT_EQ(tcsDatabaseCreateUser(app, &user), TCS_RESULT_OK);
        ASSERT_EQ(tcsDatabaseSetUserData(user, 1, userId, sizeof userId), TCS_RESULT_OK);
        TcsHandle t = 0;
        ASSERT_EQ(tcsDatabaseCreateTemplate(user, &t), TCS_RESULT_OK);
        ASSERT_EQ(tcsDatabaseSetTemplateData(t, 1, templ, sizeof templ), TCS_RESULT_OK);
        TcsHandle storage = 0;
        ASSERT_EQ(tcsDatabaseCreateStorage(app, &storage), TCS_RESULT_OK);
        ASSERT_EQ(tcsDatabaseSetStorageData(storage, 2, stored, sizeof stored), TCS_RESULT_OK);
        // Closing the database closes everything below it, children first.
        ASSERT_EQ(tcsDatabaseClose(database), TCS_RESULT_OK);
        void* gone = nullptr;
        EXPECT_EQ(_tcsSafeHandleFetch(t, TCS_HANDLE_TYPE_DB_TEMPLATE, &gone), TCS_RESULT_OK);
        EXPECT_EQ(gone, nullptr);
    }
    TcsHandle database = openDatabase();
    TcsHandle app = appStorage(database);
    uint32_t count = 0;
    ASSERT_EQ(tcsDatabaseGetUserCount(app, &count), TCS_RESULT_OK);
    EXPECT_EQ(count, 1u);
    TcsHandle user = 0;
    ASSERT_EQ(tcsDatabaseOpenFirstUser(app, &user), TCS_RESULT_OK);
    uint8_t* data = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(tcsDatabaseGetUserData(user, 1, &data, &length), TCS_RESULT_OK);
    EXPECT_EQ(bytes(data, length), bytes(userId, sizeof userId));
    tcsBufferFree(data);
    TcsHandle t = 0;
    ASSERT_EQ(tcsDatabaseOpenFirstTemplate(user, &t), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseGetTemplateData(t, 1, &data, &length), TCS_RESULT_OK);
    EXPECT_EQ(bytes(data, length), bytes(templ, sizeof templ));
    tcsBufferFree(data);
    // The stored blob carries the format byte in front.
    ASSERT_EQ(_tcsDatabaseGetTemplateDataSync(nullptr, 1, &data, &length), TCS_RESULT_INVALID_TEMPLATE_HANDLE);
    TcsHandle next = 0;
    EXPECT_EQ(tcsDatabaseOpenNextTemplate(user, &next), TCS_RESULT_TEMPLATE_DOESNT_EXIST);
    EXPECT_EQ(tcsDatabaseOpenNextUser(app, &next), TCS_RESULT_USER_DOESNT_EXIST);
    TcsHandle storage = 0;
    ASSERT_EQ(tcsDatabaseOpenFirstStorage(app, &storage), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseGetStorageData(storage, 2, &data, &length), TCS_RESULT_OK);
    EXPECT_EQ(bytes(data, length), bytes(stored, sizeof stored));
    tcsBufferFree(data);
    EXPECT_EQ(tcsDatabaseOpenNextStorage(app, &next), TCS_RESULT_DOESNT_EXIST);
    // Left open: destroying the client closes the database with all it holds.
}

}  // namespace
