// Flash file system internals shared by its files: on-flash layout constants, the mount record,
// the node tree, open files and the page-level operations.
#pragma once

#include "tcs/flashfs/fss.h"

#include <stdint.h>

#include <unordered_map>
#include <vector>

namespace fssdetail {

// On-flash layout.
constexpr uint32_t kPageSize = 256;
constexpr uint32_t kStoreMagic = 0x7E7E8F42;
constexpr uint32_t kIdBlockSize = 8;
constexpr uint32_t kVersionCheckSize = 26;
constexpr uint8_t kFormatVersion[4] = {2, 1, 0, 0};

// Sector header offsets.
constexpr uint32_t kHdrType = 13, kHdrEraseCount = 14, kHdrInUse = 17, kHdrPageType = 18, kHdrPageSize = 19,
                   kHdrVersion = 21, kHdrSecondFlag = 25;
constexpr uint32_t kSlotsOffset = 32, kSlotCount = 56;

// Page header offsets.
constexpr uint32_t kPgCommit = 0, kPgObsolete = 1, kPgType = 2, kPgSeq = 3, kPgCrc = 4;
constexpr uint32_t kMetaTime = 8, kMetaSize = 12, kMetaName = 16, kMetaInode = 28, kMetaParent = 30, kMetaData = 32;
constexpr uint32_t kDataInode = 8, kDataFragment = 10, kDataData = 16;
constexpr uint32_t kAttribOffset = 64;
constexpr uint32_t kMetaCapacity = kPageSize - kMetaData;  // 224
constexpr uint32_t kDataCapacity = kPageSize - kDataData;  // 240

enum : uint8_t { kSectorMoving = 0, kSectorCache = 12, kSectorData = 14, kSectorFree = 255 };
enum : uint8_t { kNodeCache = 0, kNodeDir = 1, kNodeFile = 2, kPageDataType = 3, kPageSectorHdr = 4, kPageFree = 255 };

constexpr uint32_t kMaxPath = 128, kMaxComponents = 8, kMaxName = 12, kMaxDirEntries = 200, kMaxOpen = 20;
constexpr uint16_t kNoSector = 0xFFFF;
constexpr uint32_t kDirSize = 65535;
// Backend erase unit: the host image's erase sector and the sensor flash's 0xD8 block.
constexpr uint32_t kBackendEraseUnit = 65536;
constexpr char kCacheName[] = "sysfile.sys";

struct GeometryRow {
    uint32_t capacity, sectorSize, writeUnit, cacheSectors;
};
const GeometryRow* findGeometry(uint32_t capacity);

// Field routines: byte by byte, low byte first, at any alignment.
inline uint16_t fssReadShort_a(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t fssReadInt_a(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void fssWriteShort_a(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void fssWriteInt_a(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// CRC-32 of a page by its type: data over 16-255 then 8-11; file meta over 32-255 then 8-31;
// directory meta over 8-31. dataCrc is the first range's CRC when already known.
uint32_t pageCrc(const uint8_t* page, uint8_t type);
uint32_t crcContinue(uint32_t start, const uint8_t* data, uint32_t length);
// The format version check over the store's first 26 bytes: 0, 85 or 406.
TcsResult checkVersion(const uint8_t* first26);

// Path split into at most 8 components; the names are checked.
struct SplitPath {
    char parts[kMaxComponents][kMaxName + 1];
    uint32_t count;
};
TcsResult splitPath(const char* path, SplitPath* out);

struct PageLoc {
    uint32_t address;
    uint16_t fragment;
};

struct Node {
    char name[kMaxName + 1];
    Node* parent;
    Node* sibling;
    Node* child;
    std::vector<PageLoc> pages;  // fragment order; fragment 0 is the meta page
    uint16_t inode;
    uint16_t parentInode;
    uint8_t type;
    uint8_t version;
};

struct SectorState {
    uint32_t address;
    uint16_t nextFree;
    uint16_t obsolete;
    uint8_t fresh;
    uint8_t type;
    uint16_t eraseCount;
};

}  // namespace fssdetail

struct FssFile {
    uint8_t page[fssdetail::kPageSize];
    uint32_t dataCrc;
    uint8_t crcDone;
    FssHandle* handle;
    uint32_t size;
    uint32_t readPos;
    fssdetail::Node* node;
    std::vector<fssdetail::PageLoc> oldPages;
    std::vector<fssdetail::PageLoc> newPages;  // the version being written; [0] is its meta page
    uint16_t fragment;                         // of the page in the buffer
    uint16_t inode;
    uint16_t parentInode;
    uint16_t pos;  // within the page buffer
    uint8_t open;
    uint8_t eof;
    uint8_t mode;  // 'r' or 'w'
    uint8_t writeAllowed;
    uint8_t seq;
    bool cache;    // the mount cache file: pages go to mount-cache sectors
    bool created;  // the node was made by this open and has no version on flash yet
};

struct FssDirListing {
    uint8_t readIndex;
    uint8_t count;
    FssDirEntry entries[fssdetail::kMaxDirEntries];
    FssHandle* handle;
};

struct FssMount {
    fssdetail::SplitPath split;
    FssFile* files[fssdetail::kMaxOpen];
    FssDirListing* listings[fssdetail::kMaxOpen];
    std::vector<fssdetail::SectorState> sectors;
    fssdetail::Node* root;
    std::unordered_map<uint16_t, fssdetail::Node*> inodes;
    uint16_t currentSector;
    uint32_t capacity;
    uint32_t storeSize;
    uint32_t sectorSize;
    uint32_t writeUnit;
    uint16_t pageSize;
    uint16_t lastPage;
    uint16_t sectorCount;
    uint16_t highestInode;
    uint8_t noRoom;
    std::vector<uint16_t> cacheLocations;  // sectors the mount cache file was written into
    uint8_t changed;
    uint8_t cacheSectors;  // reserved by the geometry
    bool collecting;       // inside garbage collection: no nested collection
};

namespace fssdetail {

// Backend access: reads are cut at write-unit boundaries.
TcsResult flashRead(FssHandle* h, uint32_t address, uint32_t length, void* buffer);
TcsResult fssFlashWrite(FssHandle* h, uint32_t address, uint32_t length, const void* buffer, uint32_t* outNewAddress,
                        bool cache, bool commit);
TcsResult commit(FssHandle* h);

// Geometry and sector table.
TcsResult readGeometry(FssHandle* h);
void resetSectorStates(FssMount* m);
uint16_t sectorOf(const FssMount* m, uint32_t address);
uint8_t reserveOf(const FssMount* m);

// Pages and sectors.
TcsResult fssGetNextFreePage(FssHandle* h, uint32_t* outAddress, bool data, bool cache);
uint16_t fssGetFreeSector(FssHandle* h, uint8_t wanted, bool claim);
// Places a page image (bytes from..255 written) on the next free page; retries on verify failure.
TcsResult writeNewPage(FssHandle* h, const uint8_t* page, uint32_t from, bool data, bool cache, uint32_t* outAddress);
TcsResult fssObsoletePageNode(FssHandle* h, uint32_t address, bool commitNow);
TcsResult fssMarkOldObsolete(FssHandle* h, std::vector<PageLoc>& pages);
TcsResult fssMarkSector(FssHandle* h, uint16_t index, uint8_t type, uint16_t eraseCount);
TcsResult fssMarkSectorUsed(FssHandle* h, uint16_t index);
TcsResult fssEraseSector(FssHandle* h, uint32_t address);
TcsResult fssWriteSectorHdr(FssHandle* h, uint16_t index, uint16_t eraseCount, bool withIdCopy, const uint8_t* id);
TcsResult fssFormatSector(FssHandle* h, uint16_t index);
TcsResult fssTriggerEraseAlgorithm(FssHandle* h, uint32_t bytesNeeded, uint32_t* outOk);
TcsResult freePages(FssHandle* h, int64_t* outPages);
// Room for one page before a creation: 392 when there is none.
TcsResult makeRoom(FssHandle* h);

// Tree.
Node* newNode(const char* name, uint16_t inode, uint16_t parentInode, uint8_t type);
Node* findChild(const Node* dir, const char* name);
void linkChild(Node* parent, Node* child);
void unlinkNode(FssMount* m, Node* node);
void freeTree(FssMount* m);
uint16_t nextInode(FssMount* m);
FssFile* openFileOf(FssMount* m, uint16_t inode);

// Mount.
TcsResult fssMount(FssHandle* h);
TcsResult fssMountSectors(FssHandle* h);
// Reads a sector header into the sector state; a header that is not valid is formatted.
TcsResult readSectorHeader(FssHandle* h, uint16_t index, bool* outFormatted, uint8_t* outHeader26 = nullptr);
void pickCurrentSector(FssMount* m);
TcsResult openHandle(FssHandle* h);

// Files.
TcsResult openFile(FssHandle* h, const char* path, const char* mode, bool cache, FssFile** outFile);
TcsResult closeFile(FssFile* file);
TcsResult closeAllOpen(FssHandle* h);
void discardAllOpen(FssMount* m);
TcsResult removeNode(FssHandle* h, Node* node);

// Mount cache file.
TcsResult fssWriteSystemFile(FssHandle* h);
TcsResult fssRmSysFile(FssHandle* h);
TcsResult fssMountWithSystemFile(FssHandle* h);
uint32_t sysfileEstimate(const FssMount* m);

}  // namespace fssdetail
