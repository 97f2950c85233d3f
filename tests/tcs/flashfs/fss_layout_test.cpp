// Flash file system layout: geometry, version check, names, header and page bytes, sector choice.
#include "fss_fixture.h"

using namespace fsstest;
using namespace fssdetail;

namespace {

TEST(FssLayout, GeometryRowsAndUnknownCapacity) {
    struct Case {
        uint32_t capacity, sectorSize, cacheSectors;
    };
    for (auto [capacity, sectorSize, cacheSectors] : std::initializer_list<Case>{
             {65536, 32768, 0}, {262144, 65536, 1}, {2097152, 65536, 2}, {4194304, 131072, 3}, {16777216, 65536, 6}}) {
        const GeometryRow* row = findGeometry(capacity);
        ASSERT_NE(row, nullptr) << capacity;
        EXPECT_EQ(row->sectorSize, sectorSize) << capacity;
        EXPECT_EQ(row->writeUnit, 256u);
        EXPECT_EQ(row->cacheSectors, cacheSectors) << capacity;
    }
    // 3 MiB has no row: the open fails before touching the store.
    NorFlash flash(3 * 1048576, 262144, 65536);
    flash.blank();
    TcsResult result = 0;
    EXPECT_EQ(openOn(flash, &result), nullptr);
    EXPECT_EQ(result, FSS_RESULT_UNKNOWN_FLASH);
    EXPECT_EQ(flash.writes, 0u);
}

TEST(FssLayout, VersionCheckOverFirst26Bytes) {
    struct Case {
        const char* what;
        uint8_t b21, b22;
        uint16_t w;
        bool idBlank;
        TcsResult expected;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"blank", 0xFF, 0xFF, 0xFFFF, true, TCS_RESULT_OK},
             {"0x55AA version 2", 2, 1, 0x55AA, false, TCS_RESULT_OK},
             {"0x55AA version 3", 3, 1, 0x55AA, false, FSS_RESULT_BAD_VERSION},
             {"current, id area blank", 2, 1, 0, true, TCS_RESULT_OK},
             {"current major 1", 1, 1, 0, true, FSS_RESULT_BAD_VERSION},
             {"zero but id area used", 2, 1, 0, false, FSS_RESULT_UNKNOWN_FORMAT},
             {"0x1234", 2, 1, 0x1234, true, FSS_RESULT_UNKNOWN_FORMAT}}) {
        uint8_t head[26];
        memset(head, 0xFF, sizeof head);
        if (!c.idBlank) memset(head + 8, 0, 4);
        head[21] = c.b21;
        head[22] = c.b22;
        fssWriteShort_a(head + 23, c.w);
        EXPECT_EQ(checkVersion(head), c.expected) << c.what;
    }
}

TEST(FssLayout, PathsAndNames) {
    const std::string long129(129, 'a');
    std::string long128(1, '/');
    long128.append(11, 'b');
    while (long128.size() + 13 <= 128) long128.append(1, '/').append(12, 'c');
    struct Case {
        std::string path;
        TcsResult expected;
        uint32_t count;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"", TCS_RESULT_BAD_PARAM, 0},
             {long129, TCS_RESULT_BAD_PARAM, 0},
             {"/db/abcdefghijkl", TCS_RESULT_OK, 2},
             {"/db/abcdefghijklm", FSS_RESULT_BAD_NAME, 0},
             {"/a/b/c/d/e/f/g/h", TCS_RESULT_OK, 8},
             {"/a/b/c/d/e/f/g/h/i", FSS_RESULT_BAD_NAME, 0},
             {"/db/a*b", FSS_RESULT_BAD_NAME, 0},
             {"/db/a\x01", FSS_RESULT_BAD_NAME, 0},
             {"/db/a\xE5", FSS_RESULT_BAD_NAME, 0},
             {"/db/a=b", FSS_RESULT_BAD_NAME, 0},
             {"/db/x.y-z_1", TCS_RESULT_OK, 2},
             {"/", FSS_RESULT_BAD_NAME, 0}}) {
        SplitPath sp{};
        EXPECT_EQ(splitPath(c.path.c_str(), &sp), c.expected) << c.path;
        if (c.expected == TCS_RESULT_OK) {
            EXPECT_EQ(sp.count, c.count) << c.path;
        }
    }
}

// The bytes a format leaves in a sector header: the id copy, type 255 with the erase count, page
// type 4, page size 256 and the version 2.1.0.0.
TEST(FssLayout, FormattedSectorHeaderBytes) {
    NorFlash flash;
    flash.blank();
    const uint8_t id[8] = {0x42, 0x8F, 0x7E, 0x7E, 1, 2, 3, 4};
    memcpy(flash.bytes.data(), id, sizeof id);
    FssHandle* h = handleOn(flash);
    ASSERT_EQ(fssFormat(h), TCS_RESULT_OK);
    const Bytes expected = {0x42, 0x8F, 0x7E, 0x7E, 1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                            0xFF, 0x01, 0x00, 0xFF, 0xFF, 0x04, 0x00, 0x01, 0x02, 0x01, 0x00, 0x00, 0xFF};
    for (uint32_t sector = 0; sector < 4; ++sector) {
        const Bytes got(flash.bytes.begin() + sector * 65536, flash.bytes.begin() + sector * 65536 + 26);
        EXPECT_EQ(got, expected) << sector;
    }
    // A second format counts every sector's erase on.
    ASSERT_EQ(fssFormat(h), TCS_RESULT_OK);
    EXPECT_EQ(flash.bytes[65536 + 14], 2);
    fssClose(h);
    // Without the magic the store stays without an id block.
    flash.blank();
    h = handleOn(flash);
    ASSERT_EQ(fssFormat(h), TCS_RESULT_OK);
    EXPECT_EQ(flash.bytes[65536], 0xFF);
    EXPECT_EQ(flash.bytes[0], 0xFF);
    fssClose(h);
}

// A directory's attribute bytes lie outside its CRC; a file meta page's data lies inside.
TEST(FssLayout, CrcCoverageByPageType) {
    uint8_t page[256];
    memset(page, 0xFF, sizeof page);
    for (int i = 8; i < 32; ++i) page[i] = uint8_t(i * 7);
    const uint32_t dir = pageCrc(page, kNodeDir), file = pageCrc(page, kNodeFile), data = pageCrc(page, kPageDataType);
    page[64] = 0x12;
    EXPECT_EQ(pageCrc(page, kNodeDir), dir);
    EXPECT_NE(pageCrc(page, kNodeFile), file);
    EXPECT_NE(pageCrc(page, kPageDataType), data);
    page[20] = 0;  // name bytes: inside a meta page's CRC, outside a data page's
    EXPECT_NE(pageCrc(page, kNodeDir), dir);
    const uint32_t dataNow = pageCrc(page, kPageDataType);
    page[12] = 0;  // data page: bytes 12-15 are not covered
    EXPECT_EQ(pageCrc(page, kPageDataType), dataNow);
    // File meta page: CRC over 32-255 continued over 8-31.
    EXPECT_EQ(pageCrc(page, kNodeFile), crcContinue(crcContinue(0, page + 32, 224), page + 8, 24));
}

TEST(FssLayout, DirectoryMetaPageBytes) {
    NorFlash flash;
    FssHandle* h = formatted(flash, "/dbroot");
    const Node* root = h->mount->root;
    ASSERT_NE(root, nullptr);
    const uint8_t* p = flash.bytes.data() + root->pages[0].address;
    EXPECT_EQ(p[0], 1);     // committed
    EXPECT_EQ(p[1], 0xFF);  // live
    EXPECT_EQ(p[2], 1);     // directory
    EXPECT_EQ(p[3], 1);     // first version
    EXPECT_EQ(fssReadInt_a(p + 12), 65535u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 16), 6), "dbroot");
    EXPECT_EQ(p[22], 0);  // NUL padded
    EXPECT_EQ(fssReadShort_a(p + 28), fssReadShort_a(p + 30));  // the root is its own parent
    EXPECT_EQ(fssReadInt_a(p + 4), pageCrc(p, kNodeDir));
    for (int i = 32; i < 256; ++i) ASSERT_EQ(p[i], 0xFF) << i;
    fssClose(h);
}

// A 12-character name is stored without terminator and comes back whole.
TEST(FssLayout, TwelveCharacterNameRoundTrip) {
    NorFlash flash;
    FssHandle* h = formatted(flash);
    ASSERT_EQ(writeFile(h, "/db/abcdefghijkl", pattern(10, 1)), TCS_RESULT_OK);
    EXPECT_EQ(writeFile(h, "/db/abcdefghijklm", pattern(10, 1)), FSS_RESULT_BAD_NAME);
    const Node* n = findChild(h->mount->root, "abcdefghijkl");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(memcmp(flash.bytes.data() + n->pages[0].address + 16, "abcdefghijkl", 12), 0);
    EXPECT_EQ(flash.bytes[n->pages[0].address + 28], n->inode & 0xFF);
    fssClose(h);
    h = openOn(flash);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(tree(h), std::vector<std::string>{"/db/abcdefghijkl:10"});
    fssClose(h);
}

// Sector choice with a reserve: states set by hand over a 4-sector store of a 4 MiB part (reserve 3).
TEST(FssLayout, SectorChoiceKeepsTheReserve) {
    NorFlash flash(4194304, 4 * 131072, 65536);
    flash.blank();
    FssHandle* h = handleOn(flash);
    ASSERT_EQ(fssFormat(h), TCS_RESULT_OK);
    FssMount* m = h->mount;
    ASSERT_EQ(m->cacheSectors, 3);
    ASSERT_EQ(m->sectorCount, 4);
    struct Case {
        const char* what;
        std::vector<uint8_t> types;  // per sector; 14 sectors are full unless listed in roomy
        std::vector<uint16_t> roomy;
        uint8_t wanted;
        uint16_t expected;
    };
    for (const Case& c : std::initializer_list<Case>{
             // Three free and no mount-cache sector: 3 is not more than the reserve of 3.
             {"data, three free", {14, 255, 255, 255}, {}, 14, kNoSector},
             {"data with room first", {14, 255, 255, 255}, {0}, 14, 0},
             {"data, four free: lowest erase count", {255, 255, 255, 255}, {}, 14, 3},
             {"cache from free", {14, 255, 255, 255}, {}, 12, 3},
             {"fresh for collection", {14, 14, 255, 14}, {}, 255, 2},
             {"reusable cache sector for collection", {14, 12, 12, 12}, {}, 255, 3},
             {"no fresh, too few", {14, 14, 12, 12}, {}, 255, kNoSector},
         }) {
        for (uint16_t i = 0; i < 4; ++i) {
            SectorState& s = m->sectors[i];
            s.type = c.types[i];
            const bool room = std::find(c.roomy.begin(), c.roomy.end(), i) != c.roomy.end();
            s.fresh = c.types[i] == 255 ? 1 : 0;
            s.nextFree = c.types[i] == 14 && !room ? uint16_t(m->lastPage + 1) : 1;
            s.obsolete = 0;
            s.eraseCount = uint16_t(10 - i);
        }
        EXPECT_EQ(fssGetFreeSector(h, c.wanted, false), c.expected) << c.what;
    }
    // Lowest erase count wins among free sectors.
    for (uint16_t i = 0; i < 4; ++i) m->sectors[i] = SectorState{i * 131072u, 1, 0, 1, 255, uint16_t(i == 2 ? 1 : 5)};
    EXPECT_EQ(fssGetFreeSector(h, 14, false), 2);
    resetSectorStates(m);
    fssClose(h);
}

// A sector header as the mount reads it: the type and erase count of the current version as
// stored, of older versions derived from the in-use flags; damaged headers are formatted.
TEST(FssLayout, SectorHeaderAsReadAtMount) {
    struct Case {
        const char* what;
        uint8_t version0, version1, type, inUse, secondFlag, pageType;
        uint16_t eraseCount;
        bool formats;
        uint8_t expectedType;
        uint16_t expectedErase;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"current, data", 2, 1, 14, 1, 0xFF, 4, 5, false, 14, 5},
             {"current, erase count unset", 2, 1, 12, 0xFF, 0xFF, 4, 0xFFFF, false, 12, 0},
             {"current, free", 2, 1, 255, 0xFF, 0xFF, 4, 3, false, 255, 3},
             {"older, used, type unset", 1, 0, 255, 1, 0xFF, 4, 7, false, 14, 0},
             {"older, unused, count unset", 1, 0, 14, 0xFF, 0xFF, 4, 0xFFFF, false, 255, 0},
             {"2.0, type as stored", 2, 0, 14, 1, 0xFF, 4, 9, false, 14, 9},
             {"not a header page", 2, 1, 14, 1, 0xFF, 0xFF, 5, true, 255, 6},
             {"both flags set", 2, 1, 14, 1, 1, 4, 5, true, 255, 6},
         }) {
        NorFlash flash;
        flash.blank();
        FssHandle* h = handleOn(flash);
        ASSERT_EQ(fssFormat(h), TCS_RESULT_OK);
        uint8_t* hdr = &flash.bytes[65536];
        hdr[13] = c.type;
        fssWriteShort_a(hdr + 14, c.eraseCount);
        hdr[17] = c.inUse;
        hdr[18] = c.pageType;
        hdr[21] = c.version0;
        hdr[22] = c.version1;
        hdr[25] = c.secondFlag;
        bool formatted = false;
        ASSERT_EQ(readSectorHeader(h, 1, &formatted), TCS_RESULT_OK) << c.what;
        EXPECT_EQ(formatted, c.formats) << c.what;
        EXPECT_EQ(h->mount->sectors[1].type, c.expectedType) << c.what;
        EXPECT_EQ(h->mount->sectors[1].eraseCount, c.expectedErase) << c.what;
        if (c.formats) {
            EXPECT_EQ(hdr[18], 4) << c.what;
        }
        fssClose(h);
    }
}

TEST(FssLayout, MountCacheSizeEstimate) {
    FssMount m{};
    m.sectors.assign(1, SectorState{0, 1, 0, 1, 255, 0});
    m.sectorCount = 1;
    Node root{};
    m.root = &root;
    EXPECT_EQ(sysfileEstimate(&m), 3u);  // (27 + 11 + 4) / 240 + 3
    m.sectors[0].nextFree = 201;         // 200 live pages: (27 + 11 + 4 + 800) / 240 + 3
    EXPECT_EQ(sysfileEstimate(&m), 6u);
    m.root = nullptr;
}

}  // namespace
