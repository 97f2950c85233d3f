// Database storage tree over a host flash-image file: URLs and shared stores, the directory and file
// layout, blob files byte by byte, numbering, enumeration, removal and damaged files.
#include "tests/tcs/database/dss_store_fixture.h"

#include <map>

namespace {

class DssTree : public DssStoreTest {
protected:
    DssAppStorage* createApp(DssDatabase* database, const char* name = "APP") {
        DssAppStorage* app = nullptr;
        EXPECT_EQ(dssCreateAppStorage(database, name, 0, &app), TCS_RESULT_OK);
        return app;
    }

    // A user with blob 1 = id text and one template per text in templates (template blob 1).
    uint32_t addUser(DssAppStorage* app, const std::string& id, const std::vector<std::string>& templates) {
        DssUser* user = nullptr;
        EXPECT_EQ(dssCreateUser(app, &user), TCS_RESULT_OK);
        if (user == nullptr) return 0;
        EXPECT_EQ(dssSetUserData(user, 1, id.data(), uint32_t(id.size())), TCS_RESULT_OK);
        for (const std::string& t : templates) {
            DssTemplate* templ = nullptr;
            EXPECT_EQ(dssCreateTemplate(user, &templ), TCS_RESULT_OK);
            EXPECT_EQ(dssSetTemplateData(templ, 1, t.data(), uint32_t(t.size())), TCS_RESULT_OK);
            EXPECT_EQ(dssCloseTemplate(templ), TCS_RESULT_OK);
        }
        const uint32_t number = user->number;
        EXPECT_EQ(dssCloseUser(user), TCS_RESULT_OK);
        return number;
    }

    static std::string text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

    static std::string templateText(DssTemplate* templ) {
        uint32_t length = 0;
        if (dssGetTemplateData(templ, 1, nullptr, &length) != TCS_RESULT_OK) return "?";
        std::string out(length, '\0');
        dssGetTemplateData(templ, 1, out.data(), &length);
        return out;
    }

    // Everything an app storage holds: user number -> (user id, template number -> template text),
    // plus the storages as number -> blob 2 text under user number 0xFFFFFFFF.
    using Tree = std::map<uint32_t, std::pair<std::string, std::map<uint32_t, std::string>>>;
    Tree walk(DssAppStorage* app) {
        Tree tree;
        DssUser* user = nullptr;
        for (TcsResult r = dssOpenFirstUser(app, &user); r == TCS_RESULT_OK; r = dssOpenNextUser(app, &user)) {
            auto& entry = tree[user->number];
            entry.first = text(userData(user, 1));
            DssTemplate* templ = nullptr;
            TcsResult t = dssOpenFirstTemplate(user, &templ);
            for (; t == TCS_RESULT_OK; t = dssOpenNextTemplate(user, &templ)) {
                entry.second[templ->number] = templateText(templ);
                EXPECT_EQ(dssCloseTemplate(templ), TCS_RESULT_OK);
            }
            EXPECT_EQ(t, TCS_RESULT_TEMPLATE_DOESNT_EXIST);
            EXPECT_EQ(dssCloseUser(user), TCS_RESULT_OK);
        }
        DssStorage* storage = nullptr;
        TcsResult s = dssOpenFirstStorage(app, &storage);
        for (; s == TCS_RESULT_OK; s = dssOpenNextStorage(app, &storage)) {
            uint32_t length = 0;
            dssGetStorageData(storage, 2, nullptr, &length);
            std::string data(length, '\0');
            dssGetStorageData(storage, 2, data.data(), &length);
            tree[0xFFFFFFFF].second[storage->number] = data;
            EXPECT_EQ(dssCloseStorage(storage), TCS_RESULT_OK);
        }
        EXPECT_EQ(s, TCS_RESULT_DOESNT_EXIST);
        return tree;
    }
};

TEST_F(DssTree, UrlForms) {
    struct Case {
        const char* url;
        TcsResult result;
    };
    for (auto [url, result] : std::initializer_list<Case>{{"file:/tmp/x.img", TCS_RESULT_BAD_DATABASE_NAME_FORMAT},
                                                         {"sensor:ABC", TCS_RESULT_BAD_DATABASE_NAME_FORMAT},
                                                         {"sensor://", TCS_RESULT_BAD_DATABASE_NAME_FORMAT},
                                                         {"http://host/x", TCS_RESULT_INVALID_DATABASE_SPEC},
                                                         {"FILE:///tmp/x.img", TCS_RESULT_INVALID_DATABASE_SPEC},
                                                         {"f:/", TCS_RESULT_BAD_PARAM},
                                                         {"", TCS_RESULT_BAD_PARAM}}) {
        DssDatabase* database = nullptr;
        EXPECT_EQ(dssOpenDatabase(&client_, url, &database), result) << url;
        EXPECT_EQ(database, nullptr) << url;
        EXPECT_EQ(dssFormatDatabase(&client_, url), result == TCS_RESULT_BAD_PARAM ? TCS_RESULT_BAD_PARAM : result)
            << url;
    }
    DssDatabase* database = nullptr;
    EXPECT_EQ(dssOpenDatabase(&client_, nullptr, &database), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(dssOpenDatabase(&client_, url_.c_str(), nullptr), TCS_RESULT_NULL_POINTER);
    const char* rest = nullptr;
    EXPECT_EQ(parseUrl("file:///a/b", &rest), TCS_RESULT_OK);
    EXPECT_STREQ(rest, "/a/b");
}

// App-storage names keep 12 characters (the file system's name length); an empty one is refused.
TEST_F(DssTree, AppStorageNames) {
    DssDatabase* database = open();
    DssAppStorage* app = nullptr;
    ASSERT_EQ(dssCreateAppStorage(database, "ABCDEFGHIJKLMNOP", 5, &app), TCS_RESULT_OK);
    EXPECT_STREQ(app->name, "ABCDEFGHIJKL");
    EXPECT_STREQ(app->path, "/dbroot/ABCDEFGHIJKL");
    EXPECT_EQ(app->option, 5u);
    addUser(app, "kept", {});
    ASSERT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    ASSERT_EQ(dssCreateAppStorage(database, "ABCDEFGHIJKL", 0, &app), TCS_RESULT_OK);
    EXPECT_EQ(walk(app).at(1).first, "kept");
    ASSERT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    app = nullptr;
    EXPECT_EQ(dssCreateAppStorage(database, "", 0, &app), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(app, nullptr);
    EXPECT_EQ(dssCreateAppStorage(database, nullptr, 0, &app), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(dssCreateAppStorage(nullptr, "X", 0, &app), TCS_RESULT_INVALID_DATABASE_HANDLE);
    ASSERT_EQ(dssCloseDatabase(database), TCS_RESULT_OK);
}

// The files as stored: the user file starts with its user record, blob records follow from the
// newest blob to the oldest, each 20 bytes besides its stored bytes.
TEST_F(DssTree, BlobFilesByteByByte) {
    DssDatabase* database = open();
    DssAppStorage* app = createApp(database);
    DssUser* user = nullptr;
    ASSERT_EQ(dssCreateUser(app, &user), TCS_RESULT_OK);
    ASSERT_EQ(dssSetUserData(user, 1, "123456789", 9), TCS_RESULT_OK);
    ASSERT_EQ(dssSetUserData(user, 0x0A0B0C0D, "", 0), TCS_RESULT_OK);
    DssTemplate* templ = nullptr;
    ASSERT_EQ(dssCreateTemplate(user, &templ), TCS_RESULT_OK);
    ASSERT_EQ(dssSetTemplateData(templ, 1, "123456789", 9), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseTemplate(templ), TCS_RESULT_OK);
    EXPECT_STREQ(user->path, "/dbroot/APP/1");
    ASSERT_EQ(dssCloseUser(user), TCS_RESULT_OK);

    std::vector<uint8_t> blob1;
    putU32(blob1, 5);
    putU32(blob1, 4);
    putU32(blob1, 1);
    putU32(blob1, 6);
    putU32(blob1, 13);
    for (char c : std::string("123456789")) blob1.push_back(uint8_t(c));
    putU32(blob1, 0xCBF43926);

    std::vector<uint8_t> dat;
    for (uint32_t v : {3u, 4u, 1u, 5u, 4u, 0x0A0B0C0Du, 6u, 4u, 0u}) putU32(dat, v);  // CRC-32 of nothing is 0
    dat.insert(dat.end(), blob1.begin(), blob1.end());
    EXPECT_EQ(readFile(database->fileSystem, "/dbroot/APP/1/0.dat"), dat);
    EXPECT_EQ(readFile(database->fileSystem, "/dbroot/APP/1/0.tpl"), blob1);

    ASSERT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseDatabase(database), TCS_RESULT_OK);
}

TEST_F(DssTree, TreeSurvivesReopeningTheStore) {
    DssDatabase* database = open();
    DssAppStorage* app = createApp(database);
    addUser(app, "alice", {"a-left", "a-right"});
    addUser(app, "bob", {});
    addUser(app, "carol", {"c-0", "c-1", "c-2"});
    for (const char* s : {"settings", "more"}) {
        DssStorage* storage = nullptr;
        ASSERT_EQ(dssCreateStorage(app, &storage), TCS_RESULT_OK);
        ASSERT_EQ(dssSetStorageData(storage, 2, s, uint32_t(std::strlen(s))), TCS_RESULT_OK);
        ASSERT_EQ(dssCloseStorage(storage), TCS_RESULT_OK);
    }
    const Tree expected{{1, {"alice", {{0, "a-left"}, {1, "a-right"}}}},
                        {2, {"bob", {}}},
                        {3, {"carol", {{0, "c-0"}, {1, "c-1"}, {2, "c-2"}}}},
                        {0xFFFFFFFF, {"", {{0, "settings"}, {1, "more"}}}}};
    EXPECT_EQ(walk(app), expected);
    uint32_t count = 0;
    EXPECT_EQ(dssGetUserCount(app, &count), TCS_RESULT_OK);
    EXPECT_EQ(count, 3u);
    // The count leaves the user listing at its end.
    DssUser* user = nullptr;
    EXPECT_EQ(dssOpenNextUser(app, &user), TCS_RESULT_USER_DOESNT_EXIST);
    ASSERT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseDatabase(database), TCS_RESULT_OK);

    database = open();
    app = createApp(database);
    EXPECT_EQ(walk(app), expected);
    ASSERT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseDatabase(database), TCS_RESULT_OK);
}

// Freed numbers are taken again: users from 1, templates and storages from 0.
TEST_F(DssTree, RemovalAndFirstFreeNumbers) {
    DssDatabase* database = open();
    DssAppStorage* app = createApp(database);
    for (const char* id : {"u1", "u2", "u3"}) addUser(app, id, {"t0", "t1", "t2"});

    DssUser* user = nullptr;
    ASSERT_EQ(dssOpenFirstUser(app, &user), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseUser(user), TCS_RESULT_OK);
    ASSERT_EQ(dssOpenNextUser(app, &user), TCS_RESULT_OK);
    ASSERT_EQ(user->number, 2u);
    ASSERT_EQ(dssDeleteUser(user), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseUser(user), TCS_RESULT_OK);  // a deleted user is not written back
    EXPECT_EQ(addUser(app, "u2-again", {}), 2u);

    ASSERT_EQ(dssOpenFirstUser(app, &user), TCS_RESULT_OK);
    ASSERT_EQ(user->number, 1u);
    DssTemplate* templ = nullptr;
    ASSERT_EQ(dssOpenFirstTemplate(user, &templ), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseTemplate(templ), TCS_RESULT_OK);
    ASSERT_EQ(dssOpenNextTemplate(user, &templ), TCS_RESULT_OK);
    ASSERT_EQ(templ->number, 1u);
    ASSERT_EQ(dssDeleteTemplate(templ), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseTemplate(templ), TCS_RESULT_OK);
    ASSERT_EQ(dssCreateTemplate(user, &templ), TCS_RESULT_OK);
    ASSERT_EQ(dssSetTemplateData(templ, 1, "t1-new", 6), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseTemplate(templ), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseUser(user), TCS_RESULT_OK);

    const Tree tree = walk(app);
    ASSERT_EQ(tree.size(), 3u);
    EXPECT_EQ(tree.at(1).second, (std::map<uint32_t, std::string>{{0, "t0"}, {1, "t1-new"}, {2, "t2"}}));
    EXPECT_EQ(tree.at(2).first, "u2-again");
    EXPECT_TRUE(tree.at(2).second.empty());

    // Deleting the app storage removes its whole tree; made again, it is empty. A storage still
    // open with changes closes without being written.
    DssStorage* storage = nullptr;
    ASSERT_EQ(dssCreateStorage(app, &storage), TCS_RESULT_OK);
    ASSERT_EQ(dssSetStorageData(storage, 2, "s", 1), TCS_RESULT_OK);
    ASSERT_EQ(dssDeleteAppStorage(app), TCS_RESULT_OK);
    EXPECT_EQ(app->deleted, 1u);
    EXPECT_EQ(dssCloseStorage(storage), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    app = createApp(database);
    uint32_t count = 7;
    EXPECT_EQ(dssGetUserCount(app, &count), TCS_RESULT_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(dssOpenFirstUser(app, &user), TCS_RESULT_USER_DOESNT_EXIST);
    ASSERT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseDatabase(database), TCS_RESULT_OK);
}

// Damaged blob files are refused with their own codes; the reader keeps nothing of a refused file.
TEST_F(DssTree, DamagedBlobFiles) {
    auto record = [](uint32_t id, const std::vector<uint8_t>& stored) {
        std::vector<uint8_t> out;
        for (uint32_t v : {5u, 4u, id, 6u, uint32_t(stored.size())}) putU32(out, v);
        out.insert(out.end(), stored.begin(), stored.end());
        return out;
    };
    std::vector<uint8_t> good = bytesOf("123456789");
    putU32(good, 0xCBF43926);
    std::vector<uint8_t> badCrc = good;
    badCrc[0] ^= 1;
    const std::vector<uint8_t> goodRecord = record(1, good);
    auto concat = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    auto words = [](std::initializer_list<uint32_t> values) {
        std::vector<uint8_t> out;
        for (uint32_t v : values) putU32(out, v);
        return out;
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> file;
        TcsResult result;
        uint32_t blobs;
    };
    const std::vector<Case> cases{
        {"empty file", {}, TCS_RESULT_OK, 0},
        {"one good record", goodRecord, TCS_RESULT_OK, 1},
        {"two good records", concat(goodRecord, record(2, good)), TCS_RESULT_OK, 2},
        {"ends inside a record header", concat(goodRecord, {5, 0}), TCS_RESULT_OK, 1},
        {"first tag 4", concat(words({4, 4, 1}), goodRecord), DSS_RESULT_BAD_BLOB_FILE, 0},
        {"id length 5", words({5, 5, 1, 6, 0}), DSS_RESULT_BAD_BLOB_FILE, 0},
        {"data tag 7", words({5, 4, 1, 7, 4, 0}), DSS_RESULT_BAD_BLOB_FILE, 0},
        {"user record length 8", words({3, 8, 1, 1}), DSS_RESULT_BAD_BLOB_FILE, 0},
        {"CRC mismatch", concat(goodRecord, record(2, badCrc)), TCS_RESULT_ERROR, 0},
        {"shorter than 4 stored bytes", record(1, {1, 2}), TCS_RESULT_ERROR, 0},
        {"stored bytes cut short", std::vector<uint8_t>(goodRecord.begin(), goodRecord.end() - 3), TCS_RESULT_EOF, 0},
        {"cut after the blob id", words({5, 4, 1}), TCS_RESULT_EOF, 0},
        {"absurd stored length", words({5, 4, 1, 6, 0xFFFFFFF0u}), DSS_RESULT_BAD_BLOB_FILE, 0},
    };
    DssDatabase* database = open();
    DssAppStorage* app = createApp(database);
    addUser(app, "first", {});
    addUser(app, "damaged", {});
    addUser(app, "third", {});
    for (const Case& c : cases) {
        ASSERT_EQ(writeFile(database->fileSystem, "/dbroot/APP/2/0.tpl", c.file), TCS_RESULT_OK) << c.what;
        FssFile* file = nullptr;
        ASSERT_EQ(fssFileOpen(database->fileSystem, "/dbroot/APP/2/0.tpl", "rb", &file), TCS_RESULT_OK);
        DssTemplate templ{};
        const TcsResult result = sensorDB_deserialize(file, &templ, DSS_OBJECT_TEMPLATE, nullptr);
        fssFileClose(file);
        EXPECT_EQ(result, c.result) << c.what;
        uint32_t blobs = 0;
        for (DssDataBlob* b = templ.blobs; b != nullptr; b = b->next) ++blobs;
        if (result == TCS_RESULT_OK) {
            EXPECT_EQ(blobs, c.blobs) << c.what;
        }
        sensorDB_FreeDataBlobs(&templ.blobs);

        // Through the enumeration: the damaged template is skipped, the user and the others stay.
        DssUser* user = nullptr;
        ASSERT_EQ(dssOpenFirstUser(app, &user), TCS_RESULT_OK);
        ASSERT_EQ(dssCloseUser(user), TCS_RESULT_OK);
        ASSERT_EQ(dssOpenNextUser(app, &user), TCS_RESULT_OK);
        DssTemplate* opened = nullptr;
        const TcsResult first = dssOpenFirstTemplate(user, &opened);
        EXPECT_EQ(first, c.result == TCS_RESULT_OK ? TCS_RESULT_OK : TCS_RESULT_TEMPLATE_DOESNT_EXIST) << c.what;
        if (first == TCS_RESULT_OK) {
            EXPECT_EQ(dssCloseTemplate(opened), TCS_RESULT_OK);
        }
        EXPECT_EQ(dssCloseUser(user), TCS_RESULT_OK);
    }

    // A damaged user file hides that user alone, from the enumeration and from the count.
    ASSERT_EQ(writeFile(database->fileSystem, "/dbroot/APP/2/0.dat", {3, 0, 0, 0, 4, 0, 0, 0}), TCS_RESULT_OK);
    const Tree tree = walk(app);
    EXPECT_EQ(tree.size(), 2u);
    EXPECT_EQ(tree.at(1).first, "first");
    EXPECT_EQ(tree.at(3).first, "third");
    uint32_t count = 0;
    EXPECT_EQ(dssGetUserCount(app, &count), TCS_RESULT_OK);
    EXPECT_EQ(count, 2u);
    // Its number stays taken.
    EXPECT_EQ(addUser(app, "fourth", {}), 4u);
    ASSERT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseDatabase(database), TCS_RESULT_OK);
}

TEST_F(DssTree, DatabasesOnOneStoreShareItsFileSystem) {
    DssDatabase* first = open();
    DssDatabase* second = open();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->fileSystem, second->fileSystem);
    EXPECT_EQ(second->fileSystem->refCount, 2u);
    ASSERT_EQ(dssCloseDatabase(first), TCS_RESULT_OK);
    EXPECT_EQ(second->fileSystem->refCount, 1u);
    DssAppStorage* app = createApp(second);
    addUser(app, "still works", {});
    ASSERT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseDatabase(second), TCS_RESULT_OK);

    // What the second one wrote reached the file.
    DssDatabase* database = open();
    app = createApp(database);
    EXPECT_EQ(walk(app).at(1).first, "still works");
    ASSERT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseDatabase(database), TCS_RESULT_OK);
}

// A format by URL under an open database marks that database's store invalid; an erase through the
// database empties its store and leaves it usable.
TEST_F(DssTree, FormatAndErase) {
    DssDatabase* database = open();
    DssAppStorage* app = createApp(database);
    addUser(app, "gone", {"t"});
    // A user and a template open across the erase, their listings mid-way.
    DssUser* user = nullptr;
    ASSERT_EQ(dssOpenFirstUser(app, &user), TCS_RESULT_OK);
    DssTemplate* templ = nullptr;
    ASSERT_EQ(dssOpenFirstTemplate(user, &templ), TCS_RESULT_OK);
    ASSERT_EQ(dssEraseDatabase(database), TCS_RESULT_OK);
    DssTemplate* next = nullptr;
    EXPECT_EQ(dssOpenNextTemplate(user, &next), FSS_RESULT_NO_PARENT);  // the user's directory went with the erase
    ASSERT_EQ(dssCloseTemplate(templ), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseUser(user), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    app = createApp(database);
    EXPECT_TRUE(walk(app).empty());
    ASSERT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);

    EXPECT_EQ(database->fileSystem->valid, 1u);
    ASSERT_EQ(dssFormatDatabase(&client_, url_.c_str()), TCS_RESULT_OK);
    EXPECT_EQ(database->fileSystem->valid, 0u);
    ASSERT_EQ(dssCloseDatabase(database), TCS_RESULT_OK);

    database = open();
    app = createApp(database);
    addUser(app, "after", {});
    ASSERT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    ASSERT_EQ(dssFormatDatabase(&client_, url_.c_str()), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseDatabase(database), TCS_RESULT_OK);
    // Closing the database that the format left behind does not bring the old tree back.
    database = open();
    app = createApp(database);
    EXPECT_TRUE(walk(app).empty());
    ASSERT_EQ(dssCloseAppStorage(app), TCS_RESULT_OK);
    ASSERT_EQ(dssCloseDatabase(database), TCS_RESULT_OK);
}

}  // namespace
