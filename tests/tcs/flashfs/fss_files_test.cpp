// Flash file system files and directories: round trips, errors, listings, attributes, the host
// flash-image backend and reference counts.
#include "fss_fixture.h"

#include "platform/flash_image.h"

#include <unistd.h>

using namespace fsstest;
using namespace fssdetail;

namespace {

class FssFiles : public ::testing::Test {
protected:
    void SetUp() override { h_ = formatted(flash_); }
    void TearDown() override {
        if (h_ != nullptr) fssClose(h_);
        // Every write the file system made only cleared bits.
        EXPECT_EQ(flash_.bitRaises, 0u);
    }
    FssHandle* reopen() {
        fssClose(h_);
        h_ = openOn(flash_);
        return h_;
    }
    NorFlash flash_;
    FssHandle* h_ = nullptr;
};

// Sizes around the page boundaries: 224 bytes fit the meta page, each data page holds 240.
TEST_F(FssFiles, SizesRoundTripAndTakeTheirPages) {
    struct Case {
        uint32_t size, pages;
    };
    const std::initializer_list<Case> cases = {{0, 1},   {1, 1},   {224, 1}, {225, 2},
                                               {464, 2}, {465, 3}, {5000, 21}};
    uint32_t i = 0;
    for (auto [size, pages] : cases) {
        const std::string path = "/db/f" + std::to_string(i++);
        uint32_t before = 0, after = 0;
        ASSERT_EQ(fssGetFreeSpace(h_, &before), TCS_RESULT_OK);
        ASSERT_EQ(writeFile(h_, path, pattern(size, size)), TCS_RESULT_OK) << size;
        ASSERT_EQ(fssGetFreeSpace(h_, &after), TCS_RESULT_OK);
        EXPECT_EQ(before - after, pages * 256) << size;
        Bytes back;
        EXPECT_EQ(readFile(h_, path, &back), "") << size;
        EXPECT_EQ(back, pattern(size, size)) << size;
    }
    ASSERT_NE(reopen(), nullptr);
    i = 0;
    for (auto [size, pages] : cases) {
        Bytes back;
        EXPECT_EQ(readFile(h_, "/db/f" + std::to_string(i++), &back), "") << size;
        EXPECT_EQ(back, pattern(size, size)) << size;
    }
}

TEST_F(FssFiles, ShortReadSetsEndOfFile) {
    ASSERT_EQ(writeFile(h_, "/db/four", Bytes{1, 2, 3, 4}), TCS_RESULT_OK);
    FssFile* f = nullptr;
    ASSERT_EQ(fssFileOpen(h_, "/db/four", "r", &f), TCS_RESULT_OK);
    EXPECT_EQ(fssFileEof(f), 0u);
    uint8_t buf[10];
    uint32_t n = 0;
    EXPECT_EQ(fssFileRead(buf, 1, 10, f, &n), TCS_RESULT_EOF);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(fssFileEof(f), 1u);
    EXPECT_EQ(fssFileRead(buf, 1, 1, f, &n), TCS_RESULT_EOF);
    EXPECT_EQ(n, 0u);
    // Size times count: two items of 2 bytes from a fresh open are the whole file, result 0.
    EXPECT_EQ(fssFileClose(f), TCS_RESULT_OK);
    ASSERT_EQ(fssFileOpen(h_, "/db/four", "rb", &f), TCS_RESULT_OK);
    EXPECT_EQ(fssFileRead(buf, 2, 2, f, &n), TCS_RESULT_OK);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(fssFileWrite(buf, 1, 1, f, &n), FSS_RESULT_WRONG_MODE);
    EXPECT_EQ(fssFileClose(f), TCS_RESULT_OK);
    EXPECT_EQ(fssFileEof(nullptr), 1u);
}

TEST_F(FssFiles, OpenModesAndErrors) {
    ASSERT_EQ(writeFile(h_, "/db/file", pattern(30, 3)), TCS_RESULT_OK);
    ASSERT_EQ(fssMkdir(h_, "/db/dir"), TCS_RESULT_OK);
    struct Case {
        const char* path;
        const char* mode;
        TcsResult expected;
    };
    for (const Case& c : std::initializer_list<Case>{{"/db/missing", "r", FSS_RESULT_NOT_FOUND},
                                                     {"/db/missing", "a", FSS_RESULT_NOT_FOUND},
                                                     {"/db/file", "a", FSS_RESULT_WRONG_MODE},
                                                     {"/db/dir", "r", FSS_RESULT_BAD_NAME},
                                                     {"/db/nodir/x", "w", FSS_RESULT_NO_PARENT},
                                                     {"/db/file/x", "w", FSS_RESULT_NO_PARENT},
                                                     {"/other/x", "w", FSS_RESULT_NO_PARENT},
                                                     {"/db/abcdefghijklmn", "w", FSS_RESULT_BAD_NAME},
                                                     {"", "w", TCS_RESULT_BAD_PARAM}}) {
        FssFile* f = reinterpret_cast<FssFile*>(1);
        EXPECT_EQ(fssFileOpen(h_, c.path, c.mode, &f), c.expected) << c.path << " " << c.mode;
        EXPECT_EQ(f, nullptr) << c.path;
    }
    FssFile* f = nullptr;
    EXPECT_EQ(fssFileOpen(nullptr, "/db/file", "r", &f), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(fssFileOpen(h_, nullptr, "r", &f), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(fssFileOpen(h_, "/db/file", nullptr, &f), TCS_RESULT_NULL_POINTER);
    // A file is open at most once.
    ASSERT_EQ(fssFileOpen(h_, "/db/file", "r", &f), TCS_RESULT_OK);
    FssFile* g = nullptr;
    EXPECT_EQ(fssFileOpen(h_, "/db/file", "w", &g), FSS_RESULT_ALREADY_OPEN);
    EXPECT_EQ(fssFileRemove(h_, "/db/file"), FSS_RESULT_ALREADY_OPEN);
    fssFileClose(f);
    // Twenty open files fill the table.
    std::vector<FssFile*> open;
    for (int i = 0; i < 20; ++i) {
        FssFile* x = nullptr;
        ASSERT_EQ(fssFileOpen(h_, ("/db/t" + std::to_string(i)).c_str(), "w", &x), TCS_RESULT_OK) << i;
        open.push_back(x);
    }
    EXPECT_EQ(fssFileOpen(h_, "/db/file", "r", &f), FSS_RESULT_TABLE_FULL);
    for (FssFile* x : open) EXPECT_EQ(fssFileClose(x), TCS_RESULT_OK);
    // A file made with no root in the tree.
    ASSERT_EQ(fssRmdir(h_, "/db/dir"), TCS_RESULT_OK);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(fssFileRemove(h_, ("/db/t" + std::to_string(i)).c_str()), TCS_RESULT_OK);
    ASSERT_EQ(fssFileRemove(h_, "/db/file"), TCS_RESULT_OK);
    ASSERT_EQ(fssRmdir(h_, "/db"), TCS_RESULT_OK);
    EXPECT_EQ(h_->mount->root, nullptr);
    EXPECT_EQ(fssFileOpen(h_, "/db", "w", &f), FSS_RESULT_NO_ROOT);
    // Nothing exists in an empty tree, whatever the path: creating needs the root first.
    EXPECT_EQ(fssFileOpen(h_, "/db/x", "w", &f), FSS_RESULT_NO_ROOT);
    EXPECT_EQ(fssFileOpen(h_, "/db/x", "r", &f), FSS_RESULT_NOT_FOUND);
    FssFileInfoRecord info{};
    EXPECT_EQ(fssFileInfo(h_, "/db/x", &info), FSS_RESULT_NOT_FOUND);
    EXPECT_EQ(fssFileRemove(h_, "/db/x"), FSS_RESULT_NOT_FOUND);
    EXPECT_EQ(fssMkdir(h_, "/db/sub"), FSS_RESULT_NO_PARENT);
    EXPECT_EQ(h_->mount->root, nullptr);
}

TEST_F(FssFiles, DirectoriesAndListings) {
    ASSERT_EQ(fssMkdir(h_, "/db/u1"), TCS_RESULT_OK);
    ASSERT_EQ(fssMkdir(h_, "/db/u2"), TCS_RESULT_OK);
    ASSERT_EQ(writeFile(h_, "/db/u1/a", pattern(300, 1)), TCS_RESULT_OK);
    ASSERT_EQ(writeFile(h_, "/db/u1/b", pattern(3, 2)), TCS_RESULT_OK);
    struct Case {
        const char* path;
        TcsResult mkdir;
    };
    for (const Case& c : std::initializer_list<Case>{{"/db/u1", FSS_RESULT_EXISTS},
                                                     {"/db", FSS_RESULT_EXISTS},
                                                     {"/db/u1/a", FSS_RESULT_EXISTS},
                                                     {"/db/none/x", FSS_RESULT_NO_PARENT},
                                                     {"/db/u1/a/x", FSS_RESULT_NO_PARENT},
                                                     {"/db/a:b", FSS_RESULT_BAD_NAME}}) {
        EXPECT_EQ(fssMkdir(h_, c.path), c.mkdir) << c.path;
    }
    EXPECT_EQ(fssRmdir(h_, "/db/u1"), FSS_RESULT_NOT_EMPTY);
    EXPECT_EQ(fssRmdir(h_, "/db/u3"), FSS_RESULT_NOT_FOUND);
    EXPECT_EQ(fssRmdir(h_, "/db"), FSS_RESULT_NOT_EMPTY);
    const std::vector<std::string> expected = {"/db/u1:dir", "/db/u1/a:300", "/db/u1/b:3", "/db/u2:dir"};
    EXPECT_EQ(tree(h_), expected);
    FssDirListing* l = nullptr;
    EXPECT_EQ(fssDirOpen(h_, "/db/u1/a", &l), FSS_RESULT_NOT_FOUND);
    EXPECT_EQ(fssDirOpen(h_, "/db/u9", &l), FSS_RESULT_NOT_FOUND);
    EXPECT_EQ(fssDirRead(nullptr), nullptr);
    EXPECT_EQ(fssDirClose(nullptr), TCS_RESULT_NULL_POINTER);
    std::vector<FssDirListing*> listings(20);
    for (auto& x : listings) ASSERT_EQ(fssDirOpen(h_, "/db", &x), TCS_RESULT_OK);
    EXPECT_EQ(fssDirOpen(h_, "/db", &l), FSS_RESULT_TABLE_FULL);
    // A listing is a snapshot: it keeps its entries after the directory changes.
    ASSERT_EQ(fssRmdir(h_, "/db/u2"), TCS_RESULT_OK);
    int count = 0;
    while (fssDirRead(listings[0]) != nullptr) ++count;
    EXPECT_EQ(count, 2);
    for (auto* x : listings) EXPECT_EQ(fssDirClose(x), TCS_RESULT_OK);
    ASSERT_NE(reopen(), nullptr);
    EXPECT_EQ(tree(h_), (std::vector<std::string>{"/db/u1:dir", "/db/u1/a:300", "/db/u1/b:3"}));
    FssFileInfoRecord info{};
    EXPECT_EQ(fssFileInfo(h_, "/db/u1", &info), FSS_RESULT_NOT_FOUND);
    EXPECT_EQ(fssFileInfo(h_, "/db/u1/zz", &info), FSS_RESULT_NOT_FOUND);
    ASSERT_EQ(fssFileInfo(h_, "/db/u1/a", &info), TCS_RESULT_OK);
    EXPECT_EQ(info.one, 1u);
}

// The database keeps a 20-byte digest in a directory's attribute bytes; the page's CRC does not
// cover them, so the store still mounts.
// Lookups and listings reach 200 entries of a directory; a 201st is refused rather than lost.
TEST_F(FssFiles, DirectoryHoldsTwoHundredEntries) {
    for (int i = 0; i < 199; ++i) ASSERT_EQ(writeFile(h_, "/db/f" + std::to_string(i), Bytes{1}), TCS_RESULT_OK) << i;
    ASSERT_EQ(fssMkdir(h_, "/db/last"), TCS_RESULT_OK);
    EXPECT_EQ(writeFile(h_, "/db/more", Bytes{1}), FSS_RESULT_NO_ROOM);
    EXPECT_EQ(fssMkdir(h_, "/db/more"), FSS_RESULT_NO_ROOM);
    EXPECT_EQ(writeFile(h_, "/db/f7", Bytes{2}), TCS_RESULT_OK);  // rewriting one is fine
    ASSERT_EQ(writeFile(h_, "/db/last/x", Bytes{3}), TCS_RESULT_OK);
    ASSERT_NE(reopen(), nullptr);
    EXPECT_EQ(tree(h_).size(), 201u);
}

TEST_F(FssFiles, DirectoryAttributeBytes) {
    ASSERT_EQ(fssMkdir(h_, "/db/user"), TCS_RESULT_OK);
    uint8_t digest[20], back[20];
    for (int i = 0; i < 20; ++i) digest[i] = uint8_t(0xA0 + i);
    EXPECT_EQ(fssSetGetDirAttrib(h_, "/db/user", back, 20, 0), TCS_RESULT_OK);
    EXPECT_EQ(back[0], 0xFF);  // never set
    ASSERT_EQ(fssSetGetDirAttrib(h_, "/db/user", digest, 20, 1), TCS_RESULT_OK);
    EXPECT_EQ(fssSetGetDirAttrib(h_, "/db/none", digest, 20, 1), FSS_RESULT_NOT_FOUND);
    EXPECT_EQ(fssSetGetDirAttrib(h_, "/db/user", digest, 193, 1), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(fssSetGetDirAttrib(h_, "/db/user", nullptr, 20, 1), TCS_RESULT_NULL_POINTER);
    ASSERT_NE(reopen(), nullptr);
    ASSERT_EQ(fssSetGetDirAttrib(h_, "/db/user", back, 20, 0), TCS_RESULT_OK);
    EXPECT_EQ(memcmp(back, digest, 20), 0);
}

// Writing over an existing file starts a new version; the old one's pages become obsolete only
// when the new one is closed.
TEST_F(FssFiles, RewriteReplacesVersionAndFreesOldPages) {
    ASSERT_EQ(writeFile(h_, "/db/f", pattern(1000, 1)), TCS_RESULT_OK);
    uint32_t before = 0, after = 0;
    ASSERT_EQ(fssGetFreeSpace(h_, &before), TCS_RESULT_OK);
    FssFile* f = nullptr;
    ASSERT_EQ(fssFileOpen(h_, "/db/f", "w", &f), TCS_RESULT_OK);
    const Bytes next = pattern(700, 2);
    uint32_t n = 0;
    ASSERT_EQ(fssFileWrite(next.data(), 7, 100, f, &n), TCS_RESULT_OK);
    EXPECT_EQ(n, 700u);
    EXPECT_EQ(h_->mount->inodes.at(f->inode)->version, 1);
    ASSERT_EQ(fssFileClose(f), TCS_RESULT_OK);
    EXPECT_EQ(h_->mount->root->child->version, 2);
    ASSERT_EQ(fssGetFreeSpace(h_, &after), TCS_RESULT_OK);
    EXPECT_EQ(before - after, 3u * 256);  // the new version's pages; the old ones are garbage now
    Bytes back;
    EXPECT_EQ(readFile(h_, "/db/f", &back), "");
    EXPECT_EQ(back, next);
    ASSERT_NE(reopen(), nullptr);
    EXPECT_EQ(readFile(h_, "/db/f", &back), "");
    EXPECT_EQ(back, next);
    EXPECT_EQ(h_->mount->root->child->version, 2);
}

TEST_F(FssFiles, NullHandlesAndArguments) {
    uint32_t n = 0;
    uint8_t b[4] = {};
    EXPECT_EQ(fssMkdir(nullptr, "/db/x"), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(fssMkdir(h_, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(fssMkdir(h_, std::string(129, 'a').c_str()), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(fssRmdir(nullptr, "/db"), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(fssFileRemove(h_, ""), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(fssFileRead(b, 1, 1, nullptr, &n), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(fssFileWrite(nullptr, 1, 1, nullptr, &n), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(fssFileClose(nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(fssGetFreeSpace(h_, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(fssGetFreeSpace(nullptr, &n), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(fssFileInfo(h_, "/db", nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(fssIsValid(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(fssIsValid(h_), TCS_RESULT_OK);
    EXPECT_EQ(fssPartition(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(fssPartition(h_), TCS_RESULT_OK);
    EXPECT_EQ(fssClose(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(fssUnMount(nullptr, 1), TCS_RESULT_INVALID_HANDLE);
}

TEST_F(FssFiles, CloseCountsReferences) {
    ASSERT_EQ(writeFile(h_, "/db/f", pattern(10, 1)), TCS_RESULT_OK);
    h_->refCount = 2;  // a second user of the same store
    EXPECT_EQ(fssClose(h_), TCS_RESULT_OK);
    EXPECT_EQ(fssIsValid(h_), TCS_RESULT_OK);
    Bytes back;
    EXPECT_EQ(readFile(h_, "/db/f", &back), "");
    // The last close completes files still open for writing.
    FssFile* f = nullptr;
    ASSERT_EQ(fssFileOpen(h_, "/db/g", "w", &f), TCS_RESULT_OK);
    uint32_t n = 0;
    ASSERT_EQ(fssFileWrite("abc", 1, 3, f, &n), TCS_RESULT_OK);
    ASSERT_NE(reopen(), nullptr);
    EXPECT_EQ(readFile(h_, "/db/g", &back), "");
    EXPECT_EQ(back, (Bytes{'a', 'b', 'c'}));
}

TEST_F(FssFiles, BlankStoreOpensWithEmptyTree) {
    fssClose(h_);
    flash_.blank();
    h_ = openOn(flash_);
    ASSERT_NE(h_, nullptr);
    EXPECT_EQ(h_->mount->root, nullptr);
    // Every sector got a header.
    EXPECT_EQ(flash_.bytes[65536 * 3 + 18], 4);
    ASSERT_EQ(fssMkdir(h_, "/dbroot"), TCS_RESULT_OK);
    EXPECT_EQ(fssMkdir(h_, "/second"), FSS_RESULT_NO_PARENT);
    ASSERT_NE(reopen(), nullptr);
    ASSERT_NE(h_->mount->root, nullptr);
    EXPECT_STREQ(h_->mount->root->name, "dbroot");
}

// The store id block: a sector copy repairs a lost original and the original fills missing copies.
TEST_F(FssFiles, StoreIdBlockIsRepaired) {
    fssClose(h_);
    h_ = nullptr;
    const uint8_t id[8] = {0x42, 0x8F, 0x7E, 0x7E, 9, 8, 7, 6};
    flash_.blank();
    memcpy(flash_.bytes.data(), id, 8);
    FssHandle* h = handleOn(flash_);
    ASSERT_EQ(fssFormat(h), TCS_RESULT_OK);
    ASSERT_EQ(fssMkdir(h, "/db"), TCS_RESULT_OK);
    fssClose(h);
    // Lost copies (sector 1 onward) come back from offset 0. A NOR write cannot restore cleared
    // bits, so the test wipes them as an erase would.
    for (uint32_t s = 1; s < 4; ++s) memset(flash_.bytes.data() + s * 65536, 0xFF, 8);
    h_ = openOn(flash_);
    ASSERT_NE(h_, nullptr);
    for (uint32_t s = 1; s < 4; ++s) EXPECT_EQ(memcmp(flash_.bytes.data() + s * 65536, id, 8), 0) << s;
    fssClose(h_);
    memset(flash_.bytes.data(), 0xFF, 8);
    h_ = openOn(flash_);
    ASSERT_NE(h_, nullptr);
    EXPECT_EQ(memcmp(flash_.bytes.data(), id, 8), 0);
}

TEST(FssHostImage, OpenFailuresLeaveNoHandle) {
    struct Case {
        const char* url;
        TcsResult expected;
    };
    for (const Case& c : std::initializer_list<Case>{{nullptr, TCS_RESULT_BAD_PARAM},
                                                     {"file:/tmp/x.img", TCS_RESULT_BAD_DATABASE_NAME_FORMAT},
                                                     {"file:///no/such/folder/x.img", TCS_RESULT_FILE_OPEN_FAILED}}) {
        FssHandle* h = reinterpret_cast<FssHandle*>(1);
        EXPECT_EQ(fssOpenEx(nullptr, FSS_BACKEND_HOST_FILE, &h, c.url), c.expected) << (c.url ? c.url : "null");
        EXPECT_EQ(h, nullptr);
    }
    EXPECT_EQ(fssOpenEx(nullptr, FSS_BACKEND_HOST_FILE, nullptr, "file:///tmp/x.img"), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(fssOpen(nullptr, FSS_BACKEND_HOST_FILE, nullptr), TCS_RESULT_NULL_POINTER);
}

// The host flash-image file as the store: format, write, close, open again from the file.
TEST(FssHostImage, FormatWriteReopen) {
    char dir[] = "/tmp/fss_host_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string image = std::string(dir) + "/flash.img";
    const std::string url = "file://" + image;
    EXPECT_EQ(fssFormatDB(nullptr, FSS_BACKEND_HOST_FILE, "/dbroot", "file:/nope"), TCS_RESULT_BAD_DATABASE_NAME_FORMAT);
    ASSERT_EQ(fssFormatDB(nullptr, FSS_BACKEND_HOST_FILE, "/dbroot", url.c_str()), TCS_RESULT_OK);
    FssHandle* h = nullptr;
    ASSERT_EQ(fssOpenEx(nullptr, FSS_BACKEND_HOST_FILE, &h, url.c_str()), TCS_RESULT_OK);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->mount->sectorSize, 131072u);
    EXPECT_EQ(h->mount->cacheSectors, 3);
    ASSERT_EQ(fssMkdir(h, "/dbroot/user1"), TCS_RESULT_OK);
    ASSERT_EQ(writeFile(h, "/dbroot/user1/t0", pattern(2000, 5)), TCS_RESULT_OK);
    ASSERT_EQ(writeFile(h, "/dbroot/user1/t1", pattern(100, 6)), TCS_RESULT_OK);
    const std::vector<std::string> expected = {"/dbroot/user1:dir", "/dbroot/user1/t0:2000", "/dbroot/user1/t1:100"};
    EXPECT_EQ(tree(h, "/dbroot"), expected);
    ASSERT_EQ(fssClose(h), TCS_RESULT_OK);
    h = nullptr;
    ASSERT_EQ(fssOpenEx(nullptr, FSS_BACKEND_HOST_FILE, &h, url.c_str()), TCS_RESULT_OK);
    EXPECT_EQ(tree(h, "/dbroot"), expected);
    Bytes back;
    EXPECT_EQ(readFile(h, "/dbroot/user1/t0", &back), "");
    EXPECT_EQ(back, pattern(2000, 5));
    ASSERT_EQ(fssClose(h), TCS_RESULT_OK);
    unlink(image.c_str());
    rmdir(dir);
}

}  // namespace
