// Mount cache file "sysfile.sys": written at the last close of a changed store, read instead of a
// scan, deleted at the first change, and never trusted when damaged or cut off.
#include "fss_fixture.h"

#include <unistd.h>

using namespace fsstest;
using namespace fssdetail;

namespace {

constexpr uint32_t kSector = 65536;  // the 256 KiB part: four sectors, one kept for the cache

// A store with nested directories, rewritten files and a removed one.
void populate(FssHandle* h) {
    ASSERT_EQ(fssMkdir(h, "/db/u1"), TCS_RESULT_OK);
    ASSERT_EQ(fssMkdir(h, "/db/u2"), TCS_RESULT_OK);
    ASSERT_EQ(fssMkdir(h, "/db/u1/deep"), TCS_RESULT_OK);
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(writeFile(h, "/db/u1/t" + std::to_string(i), pattern(100 + 300 * i, i)), TCS_RESULT_OK);
    }
    ASSERT_EQ(writeFile(h, "/db/u1/t2", pattern(999, 42)), TCS_RESULT_OK);
    ASSERT_EQ(writeFile(h, "/db/u1/deep/x", pattern(5000, 7)), TCS_RESULT_OK);
    ASSERT_EQ(writeFile(h, "/db/u2/gone", pattern(10, 1)), TCS_RESULT_OK);
    ASSERT_EQ(fssFileRemove(h, "/db/u2/gone"), TCS_RESULT_OK);
}

// Listing order follows the order nodes were found in; the set of entries is what must agree.
std::vector<std::string> sortedTree(FssHandle* h) {
    std::vector<std::string> t = tree(h);
    std::sort(t.begin(), t.end());
    return t;
}

std::map<std::string, Bytes> contents(FssHandle* h) {
    std::map<std::string, Bytes> out;
    for (const std::string& line : tree(h)) {
        const std::string path = line.substr(0, line.rfind(':'));
        if (line.substr(line.rfind(':')) == ":dir") continue;
        readFile(h, path, &out[path]);
    }
    return out;
}

class FssCache : public ::testing::Test {
protected:
    void SetUp() override {
        FssHandle* h = formatted(flash_);
        populate(h);
        ASSERT_EQ(fssClose(h), TCS_RESULT_OK);
    }
    void TearDown() override { EXPECT_EQ(flash_.bitRaises, 0u); }
    NorFlash flash_;
};

// The cache mount reads a fraction of what a scan reads, and both give the same tree.
TEST_F(FssCache, CacheMountMatchesScan) {
    flash_.bytesRead = 0;
    FssHandle* h = openOn(flash_);
    ASSERT_NE(h, nullptr);
    const uint64_t cacheRead = flash_.bytesRead;
    const auto viaCache = sortedTree(h);
    const auto dataViaCache = contents(h);
    const uint16_t highestViaCache = h->mount->highestInode;
    std::vector<SectorState> sectorsViaCache = h->mount->sectors;
    ASSERT_EQ(fssClose(h), TCS_RESULT_OK);
    dropMountCache(flash_, kSector);
    flash_.bytesRead = 0;
    h = openOn(flash_);
    ASSERT_NE(h, nullptr);
    EXPECT_LT(cacheRead * 4, flash_.bytesRead);
    EXPECT_EQ(sortedTree(h), viaCache);
    EXPECT_EQ(contents(h), dataViaCache);
    EXPECT_EQ(viaCache.size(), 10u);
    // The scan wrote a cache file of its own, with a node of its own.
    EXPECT_EQ(h->mount->highestInode, highestViaCache + 1);
    // The scan mounted, wrote a new cache and mounted from it: the data sectors agree.
    for (uint16_t i = 0; i < h->mount->sectorCount; ++i) {
        if (h->mount->sectors[i].type == kSectorCache || sectorsViaCache[i].type == kSectorCache) continue;
        EXPECT_EQ(h->mount->sectors[i].nextFree, sectorsViaCache[i].nextFree) << i;
        EXPECT_EQ(h->mount->sectors[i].obsolete, sectorsViaCache[i].obsolete) << i;
    }
    fssClose(h);
}

// Opened, read and closed without a change: not a byte of the store changes.
TEST_F(FssCache, UnchangedStoreKeepsItsCache) {
    const Bytes image = flash_.bytes;
    FssHandle* h = openOn(flash_);
    ASSERT_NE(h, nullptr);
    contents(h);
    uint8_t attrib[20];
    EXPECT_EQ(fssSetGetDirAttrib(h, "/db/u1", attrib, 20, 0), TCS_RESULT_OK);
    ASSERT_EQ(fssClose(h), TCS_RESULT_OK);
    EXPECT_EQ(flash_.bytes, image);
}

// After mounting from the cache, new nodes get inode numbers nobody has, the cache file's own
// included, and every change survives the next cache.
TEST_F(FssCache, ChangesAfterCacheMountSurvive) {
    for (int round = 0; round < 3; ++round) {
        FssHandle* h = openOn(flash_);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(writeFile(h, "/db/r" + std::to_string(round), pattern(300, round)), TCS_RESULT_OK);
        ASSERT_EQ(fssMkdir(h, ("/db/d" + std::to_string(round)).c_str()), TCS_RESULT_OK);
        std::set<uint16_t> inodes;
        for (const auto& [inode, node] : h->mount->inodes) EXPECT_TRUE(inodes.insert(node->inode).second);
        ASSERT_EQ(fssClose(h), TCS_RESULT_OK);
    }
    FssHandle* h = openOn(flash_);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(tree(h).size(), 16u);
    Bytes back;
    EXPECT_EQ(readFile(h, "/db/r1", &back), "");
    EXPECT_EQ(back, pattern(300, 1));
    fssClose(h);
}

// The cache file is a node of type 0 in the root: never listed, never removed or written by a
// caller, readable like a file. Its header and the slot entry of its start are byte exact.
TEST_F(FssCache, FileLayoutAndProtection) {
    FssHandle* h = openOn(flash_);
    ASSERT_NE(h, nullptr);
    const Node* self = findChild(h->mount->root, "sysfile.sys");
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->type, kNodeCache);
    for (const std::string& line : tree(h)) EXPECT_EQ(line.find("sysfile"), std::string::npos);
    FssFile* f = nullptr;
    EXPECT_EQ(fssFileOpen(h, "/db/sysfile.sys", "w", &f), TCS_RESULT_BAD_PARAM);
    Bytes file;
    ASSERT_EQ(readFile(h, "/db/sysfile.sys", &file), "");
    ASSERT_GE(file.size(), 11u + 4 * 5 + 23);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 4), (Bytes{2, 1, 0, 0}));
    EXPECT_EQ(fssReadShort_a(&file[5]), h->mount->highestInode);
    EXPECT_EQ(fssReadShort_a(&file[9]), 4);
    // The root's record first: its own inode as parent, one address (its meta page).
    const uint8_t* root = &file[11 + 4 * 5];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(root)), "db");
    EXPECT_EQ(fssReadShort_a(root + 13), h->mount->root->inode);
    EXPECT_EQ(fssReadShort_a(root + 15), h->mount->root->inode);
    EXPECT_EQ(root[17], 1);
    EXPECT_EQ(fssReadInt_a(root + 19), 1u);
    EXPECT_EQ(fssReadInt_a(root + 23), h->mount->root->pages[0].address);
    // Slot entry of the start: current, order 0, index of the meta page in its sector.
    const uint32_t meta = self->pages[0].address;
    const uint8_t* slots = flash_.bytes.data() + (meta / kSector) * kSector + 32;
    uint32_t current = 0;
    for (uint32_t k = 0; k < 56 && slots[4 * k + 1] != 0xFF; ++k) {
        if (slots[4 * k] != 0xFF) continue;
        ++current;
        EXPECT_EQ(slots[4 * k + 1], 0);
        EXPECT_EQ(fssReadShort_a(slots + 4 * k + 2), (meta % kSector) / 256);
    }
    EXPECT_EQ(current, 1u);
    // The first change deletes it, slots and pages obsolete; here the change is a removal.
    EXPECT_EQ(fssFileRemove(h, "/db/sysfile.sys"), FSS_RESULT_NOT_FOUND);
    EXPECT_EQ(findChild(h->mount->root, "sysfile.sys"), nullptr);
    EXPECT_EQ(flash_.bytes[meta + 1], 1);
    EXPECT_EQ(slots[0], 1);
    // The name stays the system's: a caller cannot make a file of it in the root.
    EXPECT_EQ(writeFile(h, "/db/sysfile.sys", Bytes{1}), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(fssMkdir(h, "/db/sysfile.sys"), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(writeFile(h, "/db/u1/sysfile.sys", Bytes{1}), TCS_RESULT_OK);
    fssClose(h);
}

// A cache write cut off anywhere (at the last close of a changed store): the next open scans or
// reads a complete cache, gives the same tree, and the one after that reads a cache again.
TEST_F(FssCache, CacheWriteCutAtEveryStep) {
    FssHandle* h = openOn(flash_);
    ASSERT_NE(h, nullptr);
    const auto expected = sortedTree(h);
    ASSERT_EQ(writeFile(h, "/db/u2/late", pattern(700, 3)), TCS_RESULT_OK);
    const auto expectedAfter = sortedTree(h);
    ASSERT_NE(expectedAfter, expected);
    const NorFlash base = flash_;
    NorFlash probe = base;
    probe.steps = 0;
    h->backend = &probe;
    fssClose(h);
    const uint32_t total = probe.steps;
    ASSERT_GT(total, 3u);
    for (uint32_t cut = 0; cut <= total; ++cut) {
        NorFlash flash = base;
        h = openOn(flash);  // mounts from the cache written in SetUp, which the write deleted
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(writeFile(h, "/db/u2/late", pattern(700, 3)), TCS_RESULT_OK);
        flash.writesLeft = cut;
        fssClose(h);
        flash.writesLeft = -1;
        h = openOn(flash);
        ASSERT_NE(h, nullptr) << cut;
        EXPECT_EQ(sortedTree(h), expectedAfter) << cut;
        fssClose(h);
        flash.bytesRead = 0;
        h = openOn(flash);
        ASSERT_NE(h, nullptr) << cut;
        EXPECT_LT(flash.bytesRead, 20000u) << "no cache at the second open after cut " << cut;
        EXPECT_EQ(sortedTree(h), expectedAfter) << cut;
        fssClose(h);
        EXPECT_EQ(flash.bitRaises, 0u) << cut;
    }
}

// Damage to any page of the cache file makes the mount scan instead; the tree is the same.
TEST_F(FssCache, DamagedCacheFallsBackToScan) {
    FssHandle* h = openOn(flash_);
    ASSERT_NE(h, nullptr);
    const auto expected = sortedTree(h);
    const std::vector<PageLoc> pages = findChild(h->mount->root, "sysfile.sys")->pages;
    fssClose(h);
    ASSERT_GE(pages.size(), 1u);
    for (const PageLoc& p : pages) {
        for (uint32_t offset : {3u, 9u, 13u, 20u, 40u, 100u, 255u}) {
            NorFlash flash = flash_;
            flash.bytes[p.address + offset] ^= 0x5A;
            flash.bytesRead = 0;
            TcsResult result = 0;
            h = openOn(flash, &result);
            ASSERT_NE(h, nullptr) << p.fragment << "/" << offset << " " << result;
            EXPECT_EQ(sortedTree(h), expected) << p.fragment << "/" << offset;
            fssClose(h);
        }
    }
    // Slot entries pointing anywhere: the same.
    for (uint16_t firstPage : {0, 1, 7, 255, 300}) {
        NorFlash flash = flash_;
        for (uint32_t s = 0; s < 4; ++s) {
            uint8_t* slot = flash.bytes.data() + s * kSector + 32;
            if (slot[1] == 0 && slot[0] == 0xFF) fssWriteShort_a(slot + 2, firstPage);
        }
        h = openOn(flash);
        ASSERT_NE(h, nullptr) << firstPage;
        EXPECT_EQ(sortedTree(h), expected) << firstPage;
        fssClose(h);
    }
}

// The host image's geometry (4 MiB, three mount-cache sectors): the same round trip through its file.
TEST(FssCacheHost, ReopenReadsTheCache) {
    char dir[] = "/tmp/fss_cache_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string image = std::string(dir) + "/flash.img";
    const std::string url = "file://" + image;
    ASSERT_EQ(fssFormatDB(nullptr, FSS_BACKEND_HOST_FILE, "/db", url.c_str()), TCS_RESULT_OK);
    FssHandle* h = nullptr;
    ASSERT_EQ(fssOpenEx(nullptr, FSS_BACKEND_HOST_FILE, &h, url.c_str()), TCS_RESULT_OK);
    populate(h);
    const auto expected = sortedTree(h);
    ASSERT_EQ(fssClose(h), TCS_RESULT_OK);
    ASSERT_EQ(fssOpenEx(nullptr, FSS_BACKEND_HOST_FILE, &h, url.c_str()), TCS_RESULT_OK);
    const Node* self = findChild(h->mount->root, "sysfile.sys");
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(h->mount->sectors[sectorOf(h->mount, self->pages[0].address)].type, kSectorCache);
    EXPECT_EQ(sortedTree(h), expected);
    ASSERT_EQ(fssClose(h), TCS_RESULT_OK);
    unlink(image.c_str());
    rmdir(dir);
}

}  // namespace
