// Protected payload blocks kept as a user's blob, on a running stack with a host-file database: the
// packing routines reach the user through the synchronous database interface.
#include "platform/memory.h"
#include "tcs/database/dss_interface.h"
#include "tcs/database/dss_store.h"
#include "tests/tcs/stack_fixture.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

class DssPayloadStack : public StackFixture {
protected:
    DssPayloadStack() { folderName_ = "dss_payload"; }

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(StackFixture::SetUp());
        const std::string url = "file://" + dir_ + "/db.img";
        startStack();
        ASSERT_EQ(tcsDatabaseFormatDatabaseA(client_, url.c_str()), TCS_RESULT_OK);
        ASSERT_EQ(tcsDatabaseOpenA(client_, url.c_str(), &database_), TCS_RESULT_OK);
        ASSERT_EQ(tcsDatabaseCreateAppStorage(database_, "APP", 0, &app_), TCS_RESULT_OK);
        ASSERT_EQ(tcsDatabaseCreateUser(app_, &user_), TCS_RESULT_OK);
        ASSERT_EQ(tcsDatabaseCreateTemplate(user_, &template_), TCS_RESULT_OK);
        void* record = nullptr;
        ASSERT_EQ(tcsSafeDBTemplateHandleFetch(template_, &record), TCS_RESULT_OK);
        dbTemplate_ = static_cast<DssTemplate*>(record);
        ASSERT_NE(dbTemplate_, nullptr);
    }

    void TearDown() override {
        if (database_ != 0) {
            EXPECT_EQ(tcsDatabaseClose(database_), TCS_RESULT_OK);
        }
        StackFixture::TearDown();
    }

    std::vector<uint8_t> userBlob(uint32_t id) {
        uint8_t* data = nullptr;
        uint32_t length = 0;
        if (tcsDatabaseGetUserData(user_, id, &data, &length) != TCS_RESULT_OK) return {};
        std::vector<uint8_t> out(data, data + length);
        palRealFree(data);
        return out;
    }

    TcsHandle database_ = 0, app_ = 0, user_ = 0, template_ = 0;
    DssTemplate* dbTemplate_ = nullptr;
};

// Without an out pointer the block becomes user blob 5; a user that has one keeps it.
TEST_F(DssPayloadStack, AuthDataIsStoredOnceAsUserBlob5) {
    uint8_t key[32] = {7};
    uint8_t iv[16] = {3};
    const uint8_t first[] = "first payload";
    uint32_t length = 0;
    ASSERT_EQ(_tcsDatabaseExPackAuthData(nullptr, first, sizeof first, 1, nullptr, &length, dbTemplate_, iv, key),
              TCS_RESULT_OK);
    uint8_t* expected = nullptr;
    uint32_t expectedLength = 0;
    ASSERT_EQ(_tcsDatabaseExPackAuthData(nullptr, first, sizeof first, 1, &expected, &expectedLength, nullptr, iv, key),
              TCS_RESULT_OK);
    const std::vector<uint8_t> block(expected, expected + expectedLength);
    palRealFree(expected);
    EXPECT_EQ(length, expectedLength);
    EXPECT_EQ(userBlob(5), block);

    const uint8_t second[] = "another";
    ASSERT_EQ(_tcsDatabaseExPackAuthData(nullptr, second, sizeof second, 1, nullptr, &length, dbTemplate_, iv, key),
              TCS_RESULT_OK);
    EXPECT_EQ(userBlob(5), block);

    uint8_t* restored = nullptr;
    uint32_t restoredLength = 0;
    ASSERT_EQ(_tcsDatabaseExRestoreEncPayload(dbTemplate_, &restored, &restoredLength), TCS_RESULT_OK);
    EXPECT_EQ(std::vector<uint8_t>(restored, restored + restoredLength), block);
    palRealFree(restored);
    EXPECT_EQ(_tcsDatabaseExStoreEncPayload(dbTemplate_, block.data(), uint32_t(block.size())),
              TCS_RESULT_DATA_ID_EXISTS);
}

TEST_F(DssPayloadStack, PayloadRestoreRefusals) {
    uint8_t key[32];
    for (uint8_t& b : key) b = 0xA5;
    uint8_t* payload = nullptr;
    uint32_t length = 0;
    // A key of another length is wiped and refused.
    EXPECT_EQ(_tcsDatabaseExUnPackPayload(nullptr, key, 31, &length, &payload, 0, dbTemplate_), TCS_RESULT_INVALID);
    for (int i = 0; i < 31; ++i) EXPECT_EQ(key[i], 0) << i;
    // No blob 5 yet: the read's result, and the key wiped all the same.
    for (uint8_t& b : key) b = 0xA5;
    EXPECT_EQ(_tcsDatabaseExUnPackPayload(nullptr, key, 32, &length, &payload, 0, dbTemplate_),
              TCS_RESULT_DATA_ID_DOESNT_EXIST);
    for (uint8_t b : key) EXPECT_EQ(b, 0);
    EXPECT_EQ(payload, nullptr);
}

}  // namespace
