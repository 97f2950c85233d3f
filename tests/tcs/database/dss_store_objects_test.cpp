// Database records and blobs: blob layouts with and without a cipher, the blob list, reads, sets,
// deletes and the room check.
#include "platform/flash_image.h"
#include "tests/tcs/database/dss_store_fixture.h"

namespace {

std::vector<uint8_t> storedBytes(DssDataBlob* blob) {
    return std::vector<uint8_t>(dssBlobBytes(blob), dssBlobBytes(blob) + blob->storedLength);
}

// The check value of the CRC-32 the blobs carry, stored in host (little-endian) order.
TEST(DssBlob, PlainBlobIsDataThenCrc) {
    DssDataBlob* head = nullptr;
    ASSERT_EQ(createDataBlob(7, 9, "123456789", nullptr, &head, nullptr), TCS_RESULT_OK);
    std::vector<uint8_t> expected = bytesOf("123456789");
    putU32(expected, 0xCBF43926);
    EXPECT_EQ(storedBytes(head), expected);
    EXPECT_EQ(head->id, 7u);
    EXPECT_EQ(head->state, 1u);
    EXPECT_EQ(checkBlobDataIntegrity(dssBlobBytes(head), &head->storedLength), TCS_RESULT_OK);
    sensorDB_FreeDataBlobs(&head);
}

TEST(DssBlob, CipherLayoutPadsToTheBlockLength) {
    struct Case {
        uint32_t block, length, pad;
    };
    const uint8_t key[16] = {1};
    for (auto [block, length, pad] : std::initializer_list<Case>{
             {16, 12, 16}, {16, 13, 15}, {16, 0, 12}, {16, 28, 16}, {8, 4, 8}, {8, 5, 7}}) {
        const DssBlobCipher cipher{1, 5, block, key, 16};
        std::vector<uint8_t> data(length, 0xA5);
        DssDataBlob* head = nullptr;
        ASSERT_EQ(createDataBlob(1, length, data.data(), nullptr, &head, &cipher), TCS_RESULT_OK);
        const std::vector<uint8_t> stored = storedBytes(head);
        ASSERT_EQ(stored.size(), 1 + block + length + 4 + pad) << block << " " << length;
        EXPECT_EQ(stored[0], pad);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), stored.begin() + 1 + block));
        uint32_t dataAndCrc = length + 4;
        EXPECT_EQ(checkBlobDataIntegrity(stored.data() + 1 + block, &dataAndCrc), TCS_RESULT_OK);
        for (size_t i = stored.size() - pad; i < stored.size(); ++i) EXPECT_EQ(stored[i], pad);
        sensorDB_FreeDataBlobs(&head);
    }
}

TEST(DssBlob, RefusedArguments) {
    const uint8_t key[16] = {};
    DssDataBlob* head = nullptr;
    EXPECT_EQ(createDataBlob(1, 1, "x", nullptr, nullptr, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(createDataBlob(1, 4, nullptr, nullptr, &head, nullptr), TCS_RESULT_BAD_PARAM);
    for (uint32_t block : {0u, 24u, 256u}) {
        const DssBlobCipher cipher{1, 5, block, key, 16};
        EXPECT_EQ(createDataBlob(1, 1, "x", nullptr, &head, &cipher), TCS_RESULT_BAD_PARAM) << block;
    }
    EXPECT_EQ(head, nullptr);
    uint32_t length = 3;
    EXPECT_EQ(checkBlobDataIntegrity(nullptr, &length), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(checkBlobDataIntegrity(reinterpret_cast<const uint8_t*>("abc"), &length), TCS_RESULT_ERROR);
}

TEST(DssBlob, ListAddsAtHeadAndDeletesByIdOrHead) {
    DssDataBlob* head = nullptr;
    EXPECT_EQ(deleteData(&head, 1), TCS_RESULT_NULL_POINTER);
    for (uint32_t id : {1u, 2u, 3u, 4u}) ASSERT_EQ(createDataBlob(id, 1, "x", head, &head, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(deleteData(&head, 9), TCS_RESULT_DATA_ID_DOESNT_EXIST);
    EXPECT_EQ(deleteData(&head, 2), TCS_RESULT_OK);              // from the middle
    EXPECT_EQ(deleteData(&head, DSS_BLOB_HEAD), TCS_RESULT_OK);  // the newest, 4
    std::vector<uint32_t> ids;
    for (DssDataBlob* b = head; b != nullptr; b = b->next) {
        ids.push_back(b->id);
        if (b->next != nullptr) {
            EXPECT_EQ(b->next->prev, b);
        }
    }
    EXPECT_EQ(ids, (std::vector<uint32_t>{3, 1}));
    EXPECT_EQ(head->prev, nullptr);
    sensorDB_FreeDataBlobs(&head);
}

TEST(DssBlob, CrcMismatchIsRefused) {
    DssDataBlob* head = nullptr;
    ASSERT_EQ(createDataBlob(1, 5, "hello", nullptr, &head, nullptr), TCS_RESULT_OK);
    for (uint32_t i = 0; i < head->storedLength; ++i) {
        dssBlobBytes(head)[i] ^= 0x10;
        EXPECT_EQ(checkBlobDataIntegrity(dssBlobBytes(head), &head->storedLength), TCS_RESULT_ERROR) << i;
        dssBlobBytes(head)[i] ^= 0x10;
    }
    sensorDB_FreeDataBlobs(&head);
}

class DssObjects : public DssStoreTest {};

TEST_F(DssObjects, GetFollowsTheLengthRules) {
    DssDatabase* database = open();
    DssAppStorage* app = nullptr;
    ASSERT_EQ(dssCreateAppStorage(database, "APP", 0, &app), TCS_RESULT_OK);
    DssUser* user = nullptr;
    ASSERT_EQ(dssCreateUser(app, &user), TCS_RESULT_OK);
    ASSERT_EQ(dssSetUserData(user, 1, "abcdef", 6), TCS_RESULT_OK);

    uint32_t length = 0;
    EXPECT_EQ(dssGetUserData(user, 1, nullptr, &length), TCS_RESULT_OK);
    EXPECT_EQ(length, 6u);
    uint8_t buffer[32] = {};
    struct Case {
        uint32_t asked;
        TcsResult result;
        uint32_t returned;
    };
    for (auto [asked, result, returned] : std::initializer_list<Case>{
             {5, TCS_RESULT_BUFFER_TOO_SMALL, 5}, {6, 0, 6}, {8, 0, 8}, {10, 0, 10}, {32, 0, 10}}) {
        length = asked;
        EXPECT_EQ(dssGetUserData(user, 1, buffer, &length), result) << asked;
        EXPECT_EQ(length, returned) << asked;
    }
    EXPECT_EQ(std::memcmp(buffer, "abcdef", 6), 0);
    length = 0;
    EXPECT_EQ(dssGetUserData(user, 1, buffer, &length), TCS_RESULT_OK);  // length 0 asks for the size
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(dssGetUserData(user, 2, buffer, &length), TCS_RESULT_DATA_ID_DOESNT_EXIST);
    EXPECT_EQ(dssGetUserData(user, 1, buffer, nullptr), TCS_RESULT_NULL_POINTER);

    EXPECT_EQ(dssCloseUser(user), TCS_RESULT_OK);
    EXPECT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    EXPECT_EQ(dssCloseDatabase(database), TCS_RESULT_OK);
}

TEST_F(DssObjects, SetDeleteAndNullRecords) {
    DssDatabase* database = open();
    DssAppStorage* app = nullptr;
    ASSERT_EQ(dssCreateAppStorage(database, "APP", 0, &app), TCS_RESULT_OK);
    DssUser* user = nullptr;
    ASSERT_EQ(dssCreateUser(app, &user), TCS_RESULT_OK);
    DssTemplate* templ = nullptr;
    ASSERT_EQ(dssCreateTemplate(user, &templ), TCS_RESULT_OK);
    DssStorage* storage = nullptr;
    ASSERT_EQ(dssCreateStorage(app, &storage), TCS_RESULT_OK);

    EXPECT_EQ(dssSetUserData(user, 3, "a", 1), TCS_RESULT_OK);
    EXPECT_EQ(dssSetUserData(user, 3, "b", 1), TCS_RESULT_DATA_ID_EXISTS);
    EXPECT_EQ(dssDeleteUserData(user, 3), TCS_RESULT_OK);
    EXPECT_EQ(dssSetUserData(user, 3, "b", 1), TCS_RESULT_OK);
    EXPECT_EQ(userData(user, 3), bytesOf("b"));

    // Users and templates report a missing blob; storages let it pass unchanged.
    EXPECT_EQ(dssDeleteTemplateData(templ, 1), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(dssDeleteUserData(user, 9), TCS_RESULT_DATA_ID_DOESNT_EXIST);
    storage->changed = 0;
    EXPECT_EQ(dssDeleteStorageData(storage, 1), TCS_RESULT_OK);
    EXPECT_EQ(storage->changed, 0u);

    // The user's template bytes follow the template's blobs.
    ASSERT_EQ(dssSetTemplateData(templ, 1, "0123456789", 10), TCS_RESULT_OK);
    ASSERT_EQ(dssSetTemplateData(templ, 2, "01", 2), TCS_RESULT_OK);
    EXPECT_EQ(user->templateBytes, (20u + 14u) + (20u + 6u));
    EXPECT_EQ(dssDeleteTemplateData(templ, DSS_BLOB_HEAD), TCS_RESULT_OK);
    EXPECT_EQ(user->templateBytes, 20u + 14u);

    EXPECT_EQ(dssSetUserData(nullptr, 1, "a", 1), TCS_RESULT_INVALID_USER_HANDLE);
    EXPECT_EQ(dssSetTemplateData(nullptr, 1, "a", 1), TCS_RESULT_INVALID_TEMPLATE_HANDLE);
    EXPECT_EQ(dssSetStorageData(nullptr, 1, "a", 1), TCS_RESULT_INVALID);
    EXPECT_EQ(dssCloseDatabase(nullptr), TCS_RESULT_INVALID_DATABASE_HANDLE);
    EXPECT_EQ(dssCloseAppStorage(nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(dssCreateUser(app, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(dssOpenFirstUser(nullptr, &user), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(dssGetUserCount(app, nullptr), TCS_RESULT_BAD_PARAM);

    EXPECT_EQ(dssCloseStorage(storage), TCS_RESULT_OK);
    EXPECT_EQ(dssCloseTemplate(templ), TCS_RESULT_OK);
    EXPECT_EQ(dssCloseUser(user), TCS_RESULT_OK);
    EXPECT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    EXPECT_EQ(dssCloseDatabase(database), TCS_RESULT_OK);
}

// A blob the store has no room for is refused with 392 and takes nothing with it: the object's
// blobs stay as they were and its earlier change is still written at close.
TEST_F(DssObjects, NoRoomLeavesTheObjectAsItWas) {
    DssDatabase* database = open();
    DssAppStorage* app = nullptr;
    ASSERT_EQ(dssCreateAppStorage(database, "APP", 0, &app), TCS_RESULT_OK);
    DssStorage* storage = nullptr;
    ASSERT_EQ(dssCreateStorage(app, &storage), TCS_RESULT_OK);
    ASSERT_EQ(dssSetStorageData(storage, 2, "kept", 4), TCS_RESULT_OK);
    std::vector<uint8_t> huge(PAL_FLASH_IMAGE_SIZE, 0x5A);
    EXPECT_EQ(dssSetStorageData(storage, 3, huge.data(), uint32_t(huge.size())), DSS_RESULT_NO_ROOM);
    ASSERT_NE(storage->blobs, nullptr);
    EXPECT_EQ(storage->blobs->id, 2u);
    EXPECT_EQ(storage->blobs->next, nullptr);
    EXPECT_EQ(dssCloseStorage(storage), TCS_RESULT_OK);

    ASSERT_EQ(dssOpenFirstStorage(app, &storage), TCS_RESULT_OK);
    uint32_t length = 0;
    EXPECT_EQ(dssGetStorageData(storage, 2, nullptr, &length), TCS_RESULT_OK);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(dssCloseStorage(storage), TCS_RESULT_OK);
    EXPECT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    EXPECT_EQ(dssCloseDatabase(database), TCS_RESULT_OK);
}

// Under a cipher a new blob holds pad byte, IV and padding until it is written; a read gives the
// data all the same, before and after the round trip through the encrypted file.
TEST_F(DssObjects, CipherRoundTripAndReadsBeforeTheWrite) {
    static const uint8_t key[16] = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                                    0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};
    useCipher(key, sizeof key);
    DssDatabase* database = open();
    ASSERT_NE(database->cipher, nullptr);
    DssAppStorage* app = nullptr;
    ASSERT_EQ(dssCreateAppStorage(database, "SECRET", 0, &app), TCS_RESULT_OK);
    DssUser* user = nullptr;
    ASSERT_EQ(dssCreateUser(app, &user), TCS_RESULT_OK);
    ASSERT_EQ(dssSetUserData(user, 1, "plain user id", 13), TCS_RESULT_OK);
    EXPECT_EQ(userData(user, 1), bytesOf("plain user id"));
    const std::string path = std::string(user->path) + "/0.dat";
    ASSERT_EQ(dssCloseUser(user), TCS_RESULT_OK);

    const std::vector<uint8_t> file = readFile(database->fileSystem, path);
    ASSERT_EQ(file.size(), 12u + 20u + (1 + 16 + 13 + 4 + 15));
    const std::string text(file.begin(), file.end());
    EXPECT_EQ(text.find("plain user id"), std::string::npos);

    // Reopened: the data decrypt; a second blob added to a user read from the file, and the file
    // written again, keeps both readable.
    ASSERT_EQ(dssOpenFirstUser(app, &user), TCS_RESULT_OK);
    EXPECT_EQ(userData(user, 1), bytesOf("plain user id"));
    ASSERT_EQ(dssSetUserData(user, 2, "more", 4), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseUser(user), TCS_RESULT_OK);
    ASSERT_EQ(dssOpenFirstUser(app, &user), TCS_RESULT_OK);
    EXPECT_EQ(userData(user, 1), bytesOf("plain user id"));
    EXPECT_EQ(userData(user, 2), bytesOf("more"));
    ASSERT_EQ(dssCloseUser(user), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseDatabase(database), TCS_RESULT_OK);

    // Another key may not open the app storage's directory.
    static const uint8_t otherKey[16] = {9};
    useCipher(otherKey, sizeof otherKey);
    database = open();
    EXPECT_EQ(dssCreateAppStorage(database, "SECRET", 0, &app), DSS_RESULT_KEY_MISMATCH);
    ASSERT_EQ(dssCloseDatabase(database), TCS_RESULT_OK);
}

}  // namespace
