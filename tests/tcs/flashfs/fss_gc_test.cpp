// Flash file system under pressure: garbage collection on a nearly full store, writes and
// collections cut off by a power loss at every step, pages that fail verification, damaged stores.
#include "fss_fixture.h"

using namespace fsstest;
using namespace fssdetail;

namespace {

struct Geometry {
    const char* name;
    uint32_t capacity, storeSize, eraseUnit;
};
// One store with a mount-cache sector reserved, one without (the first free sector is kept back).
const Geometry kGeometries[] = {{"256K, cache reserve 1", 262144, 262144, 65536},
                                {"64K, no cache reserve", 65536, 65536, 32768}};

using Files = std::map<std::string, Bytes>;

void expectFiles(FssHandle* h, const Files& files, const char* what) {
    for (const auto& [path, data] : files) {
        Bytes back;
        EXPECT_EQ(readFile(h, path, &back), "") << what << " " << path;
        EXPECT_EQ(back, data) << what << " " << path;
    }
}

// Rewriting files far beyond the store's size only works when obsolete pages are collected; the
// data stays intact through every collection and every remount.
TEST(FssCollection, RewritesFarBeyondCapacityKeepData) {
    for (const Geometry& g : kGeometries) {
        NorFlash flash(g.capacity, g.storeSize, g.eraseUnit);
        FssHandle* h = formatted(flash);
        Files files;
        const uint32_t fileSize = g.storeSize / 40;
        uint32_t written = 0;
        for (uint32_t round = 0; written < 4 * g.storeSize; ++round) {
            for (uint32_t i = 0; i < 8; ++i) {
                const std::string path = "/db/f" + std::to_string(i);
                files[path] = pattern(fileSize + i * 7, round * 8 + i);
                ASSERT_EQ(writeFile(h, path, files[path]), TCS_RESULT_OK) << g.name << " round " << round << " " << i;
                written += fileSize;
            }
            if (round % 5 == 4) {
                fssClose(h);
                h = openOn(flash);
                ASSERT_NE(h, nullptr) << g.name;
            }
            expectFiles(h, files, g.name);
        }
        // New files after the rewrites: creation collects too.
        files["/db/new"] = pattern(fileSize, 999);
        ASSERT_EQ(writeFile(h, "/db/new", files["/db/new"]), TCS_RESULT_OK) << g.name;
        fssClose(h);
        h = openOn(flash);
        ASSERT_NE(h, nullptr);
        expectFiles(h, files, g.name);
        fssClose(h);
        EXPECT_EQ(flash.bitRaises, 0u) << g.name;
    }
}

// Filling the store ends in 392 with everything written before still readable; once files are
// removed, even a store whose sectors hold only obsolete pages gives room on the next creation.
TEST(FssCollection, FullStoreThenRoomAfterRemoval) {
    for (const Geometry& g : kGeometries) {
        NorFlash flash(g.capacity, g.storeSize, g.eraseUnit);
        FssHandle* h = formatted(flash);
        Files files;
        TcsResult result = TCS_RESULT_OK;
        uint32_t dirs = 0;
        for (uint32_t i = 0; result == TCS_RESULT_OK; ++i) {
            if (i % 100 == 0) {
                result = fssMkdir(h, ("/db/d" + std::to_string(i / 100)).c_str());
                if (result != TCS_RESULT_OK) break;
                ++dirs;
            }
            const std::string path = "/db/d" + std::to_string(i / 100) + "/f" + std::to_string(i);
            // One page each: the creation that fails finds no room before writing anything.
            result = writeFile(h, path, pattern(200, i));
            if (result == TCS_RESULT_OK) files[path] = pattern(200, i);
        }
        EXPECT_EQ(result, FSS_RESULT_NO_ROOM) << g.name;
        ASSERT_GT(files.size(), 10u) << g.name;
        // Nothing is reclaimable: the collection says so and moves nothing.
        const Bytes before = flash.bytes;
        uint32_t ok = 1;
        EXPECT_EQ(fssTriggerEraseAlgorithm(h, 100 * 256, &ok), TCS_RESULT_OK);
        EXPECT_EQ(ok, 0u) << g.name;
        EXPECT_EQ(flash.bytes, before) << g.name;
        EXPECT_EQ(fssMkdir(h, "/db/dir"), FSS_RESULT_NO_ROOM) << g.name;
        fssClose(h);
        h = openOn(flash);
        ASSERT_NE(h, nullptr) << g.name;
        expectFiles(h, files, g.name);
        for (const auto& [path, data] : files) ASSERT_EQ(fssFileRemove(h, path.c_str()), TCS_RESULT_OK);
        files.clear();
        for (uint32_t i = 0; i < 3; ++i) {
            const std::string path = "/db/g" + std::to_string(i);
            files[path] = pattern(g.storeSize / 8, i);
            ASSERT_EQ(writeFile(h, path, files[path]), TCS_RESULT_OK) << g.name << " " << i;
        }
        fssClose(h);
        h = openOn(flash);
        ASSERT_NE(h, nullptr);
        expectFiles(h, files, g.name);
        EXPECT_EQ(tree(h).size(), 3u + dirs);
        fssClose(h);
        EXPECT_EQ(flash.bitRaises, 0u) << g.name;
    }
}

// The power fails after every possible number of flash writes of an operation: the store always
// mounts, every other file is intact, and the file being written reads as its old or its new
// version in full, never a mix.
struct Operation {
    const char* name;
    TcsResult (*run)(FssHandle*);
    bool createsNew;  // the file did not exist before
};

const Bytes kOld = pattern(1500, 1), kNew = pattern(1300, 2);

TcsResult rewrite(FssHandle* h) { return writeFile(h, "/db/target", kNew); }
TcsResult create(FssHandle* h) { return writeFile(h, "/db/fresh", kNew); }

uint32_t freeBytes(FssHandle* h) {
    uint32_t bytes = 0;
    EXPECT_EQ(fssGetFreeSpace(h, &bytes), TCS_RESULT_OK);
    return bytes;
}

uint32_t eraseCounts(const NorFlash& flash, uint32_t sectorSize) {
    uint32_t sum = 0;
    for (uint32_t at = 0; at < flash.bytes.size(); at += sectorSize) sum += fssReadShort_a(&flash.bytes[at + 14]);
    return sum;
}

void cutEverywhere(const Geometry& g, const Operation& op, bool collect) {
    NorFlash base(g.capacity, g.storeSize, g.eraseUnit);
    FssHandle* h = formatted(base);
    Files files;
    ASSERT_EQ(writeFile(h, "/db/target", kOld), TCS_RESULT_OK);
    // Churn: rewrites that leave obsolete pages behind until, with collect set, the store has
    // fewer free pages than the operation needs, so that it has to collect first.
    // Every few writes a small file that stays, so that each sector keeps live pages among the
    // obsolete ones and the collection has to move them.
    for (uint32_t i = 0; i < 6 || (collect && freeBytes(h) >= 4 * 256); ++i) {
        std::string path = "/db/k" + std::to_string(i % 6);
        files[path] = pattern(3 * 240, i);
        ASSERT_EQ(writeFile(h, path, files[path]), TCS_RESULT_OK) << i;
        if (i % 4 == 0) {
            path = "/db/p" + std::to_string(i);
            files[path] = pattern(100, i);
            ASSERT_EQ(writeFile(h, path, files[path]), TCS_RESULT_OK) << i;
        }
    }
    fssClose(h);
    // How many writes the whole operation takes.
    NorFlash probe = base;
    h = openOn(probe);
    ASSERT_NE(h, nullptr);
    const uint32_t start = probe.steps;
    const uint32_t sectorSize = h->mount->sectorSize, erasedBefore = eraseCounts(probe, sectorSize);
    ASSERT_EQ(op.run(h), TCS_RESULT_OK) << op.name;
    const uint32_t total = probe.steps - start;
    // With collect set the operation really formatted sectors on its way.
    EXPECT_EQ(eraseCounts(probe, sectorSize) > erasedBefore, collect) << g.name << " " << op.name;
    fssClose(h);
    const char* path = op.createsNew ? "/db/fresh" : "/db/target";
    uint32_t sawNew = 0;
    for (uint32_t cut = 0; cut <= total; ++cut) {
        NorFlash flash = base;
        h = openOn(flash);
        ASSERT_NE(h, nullptr);
        flash.writesLeft = cut;
        op.run(h);
        crash(flash, h);
        TcsResult result = 0;
        h = openOn(flash, &result);
        ASSERT_NE(h, nullptr) << g.name << " " << op.name << " cut " << cut << " result " << result;
        Bytes back;
        const std::string read = readFile(h, path, &back);
        if (op.createsNew && read == "open 397") {
            EXPECT_EQ(sawNew, 0u) << "the new file vanished again at cut " << cut;
        } else {
            ASSERT_EQ(read, "") << g.name << " " << op.name << " cut " << cut;
            if (back == kNew) {
                ++sawNew;
            } else {
                EXPECT_EQ(back, kOld) << g.name << " " << op.name << " cut " << cut;
                EXPECT_EQ(sawNew, 0u) << "old data came back at cut " << cut;
            }
        }
        expectFiles(h, files, op.name);
        // The store stays usable after the repair.
        EXPECT_EQ(writeFile(h, "/db/after", pattern(700, cut)), TCS_RESULT_OK) << op.name << " cut " << cut;
        fssClose(h);
        EXPECT_EQ(flash.bitRaises, 0u) << op.name << " cut " << cut;
    }
    EXPECT_GT(sawNew, 0u) << g.name << " " << op.name;
}

TEST(FssPowerLoss, RewriteAndCreateCutAtEveryWrite) {
    const Operation ops[] = {{"rewrite", rewrite, false}, {"create", create, true}};
    for (const Geometry& g : kGeometries) {
        for (const Operation& op : ops) cutEverywhere(g, op, false);
    }
}

// With the store nearly full of obsolete pages the same operations run a garbage collection
// first; a cut anywhere in it leaves one complete copy of every page.
TEST(FssPowerLoss, CollectionCutAtEveryWrite) {
    const Operation ops[] = {{"rewrite", rewrite, false}, {"create", create, true}};
    for (const Geometry& g : kGeometries) {
        for (const Operation& op : ops) cutEverywhere(g, op, true);
    }
}

// A collection cut off between copying a sector and formatting it: before the source is marked 0
// the source still counts and the half-filled target is formatted; after the mark the copies count
// and the source is formatted.
TEST(FssPowerLoss, InterruptedCollectionRepair) {
    for (bool sourceMarked : {false, true}) {
        NorFlash flash;
        FssHandle* h = formatted(flash);
        Files files;
        for (int i = 0; i < 5; ++i) {
            const std::string path = "/db/f" + std::to_string(i);
            files[path] = pattern(600 + 100 * i, i);
            ASSERT_EQ(writeFile(h, path, files[path]), TCS_RESULT_OK);
        }
        const uint16_t source = sectorOf(h->mount, findChild(h->mount->root, "f0")->pages[0].address);
        const uint16_t used = h->mount->sectors[source].nextFree;
        fssClose(h);
        uint16_t target = 0;
        while (target == source || flash.bytes[target * 65536 + 13] != 0xFF) ++target;
        // The copies, as the collection writes them: whole pages into a sector marked in use.
        memcpy(&flash.bytes[target * 65536 + 256], &flash.bytes[source * 65536 + 256], (used - 1) * 256u);
        flash.bytes[target * 65536 + 17] = 1;
        if (sourceMarked) flash.bytes[source * 65536 + 13] = 0;
        dropMountCache(flash, 65536);
        const uint8_t targetErases = flash.bytes[target * 65536 + 14], sourceErases = flash.bytes[source * 65536 + 14];
        h = openOn(flash);
        ASSERT_NE(h, nullptr) << sourceMarked;
        expectFiles(h, files, sourceMarked ? "after the mark" : "before the mark");
        const uint16_t kept = sourceMarked ? target : source, formattedSector = sourceMarked ? source : target;
        EXPECT_EQ(h->mount->sectors[kept].type, kSectorData) << sourceMarked;
        EXPECT_EQ(sectorOf(h->mount, findChild(h->mount->root, "f0")->pages[0].address), kept) << sourceMarked;
        EXPECT_EQ(flash.bytes[formattedSector * 65536 + 256 + 2], 0xFF) << sourceMarked;
        EXPECT_EQ(flash.bytes[formattedSector * 65536 + 14], (sourceMarked ? sourceErases : targetErases) + 1);
        fssClose(h);
        EXPECT_EQ(flash.bitRaises, 0u);
    }
}

// A meta page whose commit byte never reached the flash is obsolete at mount: the file is absent.
TEST(FssPowerLoss, UncommittedMetaPageIsDiscarded) {
    NorFlash flash;
    FssHandle* h = formatted(flash);
    ASSERT_EQ(writeFile(h, "/db/a", pattern(100, 1)), TCS_RESULT_OK);
    const Node* a = findChild(h->mount->root, "a");
    const uint32_t meta = a->pages[0].address;
    fssClose(h);
    // As if the commit byte had not been written (a NOR write cannot undo it; the test can).
    flash.bytes[meta] = 0xFF;
    dropMountCache(flash, 65536);
    h = openOn(flash);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(findChild(h->mount->root, "a"), nullptr);
    EXPECT_EQ(flash.bytes[meta + 1], 1);  // marked obsolete
    fssClose(h);
}

// Two committed meta pages of one inode (a cut after the new commit, before the old version was
// marked obsolete): the newer sequence wins and the older one's pages become obsolete.
TEST(FssPowerLoss, NewerSequenceWins) {
    NorFlash flash;
    FssHandle* h = formatted(flash);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(writeFile(h, "/db/a", pattern(400, i)), TCS_RESULT_OK);
    const std::vector<PageLoc> v4 = findChild(h->mount->root, "a")->pages;
    EXPECT_EQ(flash.bytes[v4[0].address + 3], 4);
    ASSERT_EQ(writeFile(h, "/db/a", pattern(400, 9)), TCS_RESULT_OK);
    fssClose(h);
    // Undo the obsolete marks of version 4.
    for (const PageLoc& p : v4) flash.bytes[p.address + 1] = 0xFF;
    dropMountCache(flash, 65536);
    h = openOn(flash);
    ASSERT_NE(h, nullptr);
    Bytes back;
    EXPECT_EQ(readFile(h, "/db/a", &back), "");
    EXPECT_EQ(back, pattern(400, 9));
    EXPECT_EQ(findChild(h->mount->root, "a")->version, 5);
    for (const PageLoc& p : v4) EXPECT_EQ(flash.bytes[p.address + 1], 1);
    fssClose(h);
}

// A page that does not read back equal is placed again on the next free page; the failed one
// counts as obsolete.
TEST(FssPages, VerifyFailureMovesThePage) {
    NorFlash flash;
    FssHandle* h = formatted(flash);
    ASSERT_EQ(writeFile(h, "/db/a", pattern(10, 1)), TCS_RESULT_OK);
    uint32_t next = 0;
    ASSERT_EQ(fssGetNextFreePage(h, &next, true, false), TCS_RESULT_OK);
    const SectorState& s = h->mount->sectors[sectorOf(h->mount, next)];
    const uint16_t obsoleteBefore = s.obsolete;
    flash.failVerify = {next, next + 256};  // the first two placements fail
    const Bytes data = pattern(600, 7);
    ASSERT_EQ(writeFile(h, "/db/b", data), TCS_RESULT_OK);
    EXPECT_EQ(s.obsolete, obsoleteBefore + 2);
    EXPECT_EQ(findChild(h->mount->root, "b")->pages[0].address, next + 512);
    Bytes back;
    EXPECT_EQ(readFile(h, "/db/b", &back), "");
    EXPECT_EQ(back, data);
    // Three failures in a row give up with the backend's code.
    ASSERT_EQ(fssGetNextFreePage(h, &next, true, false), TCS_RESULT_OK);
    flash.failVerify = {next, next + 256, next + 512};
    FssFile* f = nullptr;
    ASSERT_EQ(fssFileOpen(h, "/db/c", "w", &f), TCS_RESULT_OK);
    const Bytes c = pattern(300, 3);
    uint32_t n = 0;
    EXPECT_EQ(fssFileWrite(c.data(), 1, 300, f, &n), FSS_RESULT_VERIFY_FAILED);
    EXPECT_EQ(n, 224u);  // what went into the meta page before it could not be placed
    // The close places the version with what the writes accepted.
    EXPECT_EQ(fssFileClose(f), TCS_RESULT_OK);
    fssClose(h);
    h = openOn(flash);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(readFile(h, "/db/b", &back), "");
    EXPECT_EQ(back, data);
    EXPECT_EQ(readFile(h, "/db/c", &back), "");
    EXPECT_EQ(back, Bytes(c.begin(), c.begin() + 224));
    fssClose(h);
}

// Damaged stores: clear result codes, never a crash.
TEST(FssDamage, CorruptPagesAndHeaders) {
    NorFlash good;
    FssHandle* h = formatted(good);
    ASSERT_EQ(writeFile(h, "/db/a", pattern(900, 1)), TCS_RESULT_OK);
    const std::vector<PageLoc> pages = findChild(h->mount->root, "a")->pages;
    fssClose(h);
    struct Case {
        const char* what;
        uint32_t offset;
        uint8_t value;
        TcsResult open, read;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"meta data byte", pages[0].address + 100, 0x00, FSS_RESULT_BAD_CRC, 0},
             {"data page byte", pages[2].address + 200, 0x00, FSS_RESULT_BAD_CRC, 0},
             {"unknown page type", pages[1].address + 2, 0x07, TCS_RESULT_INVALID, 0},
             {"version 0x55AA major 3", 21, 0x03, TCS_RESULT_OK, 0},
         }) {
        NorFlash flash = good;
        if (c.offset == 21) {
            flash.bytes[21] = 3;
            flash.bytes[23] = 0xAA;
            flash.bytes[24] = 0x55;
            TcsResult result = 0;
            EXPECT_EQ(openOn(flash, &result), nullptr) << c.what;
            EXPECT_EQ(result, FSS_RESULT_BAD_VERSION) << c.what;
            continue;
        }
        // Mount by scanning: the mount cache would not read the damaged page before it is used.
        flash.bytes[c.offset] = c.value;
        dropMountCache(flash, 65536);
        TcsResult result = 0;
        FssHandle* bad = openOn(flash, &result);
        EXPECT_EQ(result, c.open) << c.what;
        if (bad != nullptr) fssClose(bad);
    }
}

// Random damage anywhere in a used store: the open and a full walk either work or report a code.
TEST(FssDamage, RandomDamageNeverCrashes) {
    for (const Geometry& g : kGeometries) {
        NorFlash good(g.capacity, g.storeSize, g.eraseUnit);
        FssHandle* h = formatted(good);
        ASSERT_EQ(fssMkdir(h, "/db/d"), TCS_RESULT_OK);
        for (int i = 0; i < 12; ++i) ASSERT_EQ(writeFile(h, "/db/d/f" + std::to_string(i), pattern(700 + i, i)), 0u);
        fssClose(h);
        uint32_t x = 12345;
        for (int trial = 0; trial < 150; ++trial) {
            NorFlash flash = good;
            for (int k = 0; k < 1 + trial % 20; ++k) {
                x = x * 1103515245u + 12345u;
                // Mostly in headers and the first pages of sectors, where structure lives.
                const uint32_t sector = (x >> 8) % (g.storeSize / (g.storeSize >= 262144 ? 65536 : 32768));
                const uint32_t offset = (x >> 4) % (trial % 2 ? 2048 : 256);
                flash.bytes[sector * (g.storeSize >= 262144 ? 65536 : 32768) + offset] ^= uint8_t(1 + (x >> 24) % 255);
            }
            FssHandle* d = openOn(flash);
            if (d == nullptr) continue;
            if (d->mount->root != nullptr) {
                std::vector<std::string> all;
                FssDirListing* l = nullptr;
                if (fssDirOpen(d, "/db/d", &l) == TCS_RESULT_OK) {
                    for (const FssDirEntry* e = fssDirRead(l); e != nullptr; e = fssDirRead(l)) {
                        Bytes back;
                        readFile(d, std::string("/db/d/") + e->name, &back);
                    }
                    fssDirClose(l);
                }
                writeFile(d, "/db/d/new", pattern(500, 1));
            }
            fssClose(d);
        }
    }
}

}  // namespace
