// Flash file system handle: backends, geometry, open and close with reference counts, unmount,
// the store id block and the node tree's bookkeeping.
#include "platform/flash_image.h"
#include "platform/memory.h"
#include "tcs/flashfs/fss_internal.h"

#include <string.h>

#include <algorithm>
#include <new>

using namespace fssdetail;

namespace {

// The host image's own functions take 16-bit lengths and counts; the file system never passes
// more than one 256-byte write unit or a sector's worth of erase units.
TcsResult hostRead(void* f, uint32_t address, uint32_t length, void* buffer) {
    if (length > 0xFFFF) return TCS_RESULT_BAD_PARAM;
    return palFssReadFileDB(f, address, uint16_t(length), buffer);
}
TcsResult hostWrite(void* f, uint32_t address, uint32_t length, const void* buffer, uint32_t commitFlag) {
    if (length > 0xFFFF) return TCS_RESULT_BAD_PARAM;
    return _palFssWriteFileDB(f, address, uint16_t(length), buffer, commitFlag);
}
TcsResult hostSectorErase(void* f, uint32_t address, uint32_t count) {
    if (count > 0xFFFF) return TCS_RESULT_BAD_PARAM;
    return palFssSectorEraseFileDB(f, address, uint16_t(count));
}

constexpr FssBackendOps kHostOps = {palFssGetFileDBSize, hostRead,  hostWrite,          palFssCommitFileDB,
                                    palFssBulkEraseFileDB, hostSectorErase, palFssFileDBUninit};
constexpr FssBackendOps kSensorOps = {_xtfsGetFlashInfo,  _xtfsReadFlash,        _xtfsWriteFlash, _xtfsCommitFlash,
                                      _xtfsBulkEraseFlash, _xtfsSectorEraseFlash, _xtfsSPIUninit};

// After mounting: the store's first 8 bytes hold the id block and every later sector starts with a
// copy. A damaged one side is repaired from the other.
TcsResult repairStoreId(FssHandle* h) {
    FssMount* m = h->mount;
    uint8_t head[kVersionCheckSize];
    TcsResult result = flashRead(h, 0, sizeof head, head);
    if (result != TCS_RESULT_OK) return result;
    if (fssReadInt_a(head) == kStoreMagic) {
        if (m->sectorCount < 2) return TCS_RESULT_OK;
        uint8_t second[kVersionCheckSize];
        result = flashRead(h, m->sectorSize, sizeof second, second);
        if (result != TCS_RESULT_OK || fssReadInt_a(second) == kStoreMagic) return result;
        for (uint16_t i = 1; i < m->sectorCount; ++i) {
            result = fssFlashWrite(h, m->sectors[i].address, kIdBlockSize, head, nullptr, false, true);
            if (result != TCS_RESULT_OK) return result;
        }
        return TCS_RESULT_OK;
    }
    for (uint16_t i = 1; i < m->sectorCount; ++i) {
        uint8_t id[kIdBlockSize];
        result = flashRead(h, m->sectors[i].address, sizeof id, id);
        if (result != TCS_RESULT_OK) return result;
        if (fssReadInt_a(id) == kStoreMagic) return fssFlashWrite(h, 0, kIdBlockSize, id, nullptr, false, true);
    }
    return TCS_RESULT_OK;
}

void freeHandle(FssHandle* h) {
    if (h->mount != nullptr) fssUnMount(h, 1);
    if (h->ops.uninit != nullptr && h->backend != nullptr) h->ops.uninit(h->backend);
    palRealFree(h);
}

}  // namespace

namespace fssdetail {

TcsResult flashRead(FssHandle* h, uint32_t address, uint32_t length, void* buffer) {
    if (h->ops.read == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
    auto* out = static_cast<uint8_t*>(buffer);
    while (length > 0) {
        const uint32_t piece = std::min(length, kPageSize - address % kPageSize);
        const TcsResult result = h->ops.read(h->backend, address, piece, out);
        if (result != TCS_RESULT_OK) return result;
        address += piece;
        out += piece;
        length -= piece;
    }
    return TCS_RESULT_OK;
}

TcsResult commit(FssHandle* h) {
    return h->ops.commit != nullptr ? h->ops.commit(h->backend) : TCS_RESULT_NOT_IMPLEMENTED;
}

uint8_t reserveOf(const FssMount* m) { return m->cacheSectors > 0 ? m->cacheSectors : 1; }

uint16_t sectorOf(const FssMount* m, uint32_t address) { return uint16_t(address / m->sectorSize); }

void resetSectorStates(FssMount* m) {
    for (uint16_t i = 0; i < m->sectorCount; ++i) {
        m->sectors[i] = SectorState{uint32_t(i) * m->sectorSize, 1, 0, 1, kSectorFree, 0};
    }
}

TcsResult readGeometry(FssHandle* h) {
    FssMount* m = h->mount;
    if (h->ops.getFlashInfo == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
    uint32_t capacity = 0, storeSize = 0;
    TcsResult result = h->ops.getFlashInfo(h->backend, &capacity, &storeSize);
    if (result != TCS_RESULT_OK) return result;
    const GeometryRow* row = findGeometry(capacity);
    if (row == nullptr) return FSS_RESULT_UNKNOWN_FLASH;
    // A store smaller than one sector, or one too large to number its sectors in 16 bits, has no
    // usable layout.
    const uint32_t sectors = storeSize / row->sectorSize;
    if (sectors == 0 || sectors >= kNoSector || storeSize > capacity) return FSS_RESULT_UNKNOWN_FLASH;
    m->capacity = capacity;
    m->storeSize = storeSize;
    m->sectorSize = row->sectorSize;
    m->writeUnit = row->writeUnit;
    m->pageSize = kPageSize;
    m->lastPage = uint16_t(row->sectorSize / kPageSize - 1);
    m->sectorCount = uint16_t(sectors);
    m->cacheSectors = uint8_t(row->cacheSectors);
    m->sectors.assign(sectors, SectorState{});
    resetSectorStates(m);
    return TCS_RESULT_OK;
}

Node* newNode(const char* name, uint16_t inode, uint16_t parentInode, uint8_t type) {
    Node* n = new (std::nothrow) Node{};
    if (n == nullptr) return nullptr;
    strncpy(n->name, name, kMaxName);
    n->name[kMaxName] = '\0';
    n->inode = inode;
    n->parentInode = parentInode;
    n->type = type;
    return n;
}

Node* findChild(const Node* dir, const char* name) {
    uint32_t seen = 0;
    for (Node* c = dir->child; c != nullptr && seen < kMaxDirEntries; c = c->sibling) {
        if (c->type == kPageFree) continue;
        ++seen;
        if (strcmp(c->name, name) == 0) return c;
    }
    return nullptr;
}

void linkChild(Node* parent, Node* child) {
    child->parent = parent;
    child->sibling = nullptr;
    Node** at = &parent->child;
    while (*at != nullptr) at = &(*at)->sibling;
    *at = child;
}

void unlinkNode(FssMount* m, Node* node) {
    if (node->parent != nullptr) {
        for (Node** at = &node->parent->child; *at != nullptr; at = &(*at)->sibling) {
            if (*at == node) {
                *at = node->sibling;
                break;
            }
        }
    }
    if (m->root == node) m->root = nullptr;
    auto it = m->inodes.find(node->inode);
    if (it != m->inodes.end() && it->second == node) m->inodes.erase(it);
    delete node;
}

void freeTree(FssMount* m) {
    for (auto& entry : m->inodes) delete entry.second;
    m->inodes.clear();
    m->root = nullptr;
}

uint16_t nextInode(FssMount* m) {
    if (m->highestInode < 0xFFFF) return ++m->highestInode;
    // Counted out: take the lowest number no node uses, so that no two nodes share one.
    for (uint32_t i = 1; i < 0xFFFF; ++i) {
        if (m->inodes.find(uint16_t(i)) == m->inodes.end()) return uint16_t(i);
    }
    return 0;
}

FssFile* openFileOf(FssMount* m, uint16_t inode) {
    for (FssFile* f : m->files) {
        if (f != nullptr && f->inode == inode) return f;
    }
    return nullptr;
}

TcsResult openHandle(FssHandle* h) {
    if (h->mount == nullptr) {
        h->mount = new (std::nothrow) FssMount{};
        if (h->mount == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    }
    TcsResult result = readGeometry(h);
    if (result != TCS_RESULT_OK) return result;
    uint8_t head[kVersionCheckSize];
    result = flashRead(h, 0, sizeof head, head);
    if (result != TCS_RESULT_OK) return result;
    result = checkVersion(head);
    if (result != TCS_RESULT_OK) return result;
    result = fssMount(h);
    if (result != TCS_RESULT_OK) return result;
    h->refCount = 1;
    h->valid = 1;
    return repairStoreId(h);
}

}  // namespace fssdetail

extern "C" {

TcsResult fssCreateHandle(ScsSensor* sensor, uint8_t kind, FssHandle** outHandle, const char* storeUrl) {
    if (outHandle == nullptr) return TCS_RESULT_NULL_POINTER;
    *outHandle = nullptr;
    auto* h = static_cast<FssHandle*>(palRealMalloc(sizeof(FssHandle)));
    if (h == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    memset(h, 0, sizeof *h);
    h->kind = kind;
    if (kind == FSS_BACKEND_SENSOR) {
        h->ops = kSensorOps;
        h->backend = sensor;
    } else if (kind == FSS_BACKEND_HOST_FILE) {
        const TcsResult result = palFssFileDBInit(nullptr, storeUrl, &h->backend);
        if (result != TCS_RESULT_OK) {
            palRealFree(h);
            return result;
        }
        h->ops = kHostOps;
    }
    *outHandle = h;
    return TCS_RESULT_OK;
}

TcsResult fssOpenEx(ScsSensor* sensor, uint8_t kind, FssHandle** outHandle, const char* storeUrl) {
    if (outHandle == nullptr) return TCS_RESULT_NULL_POINTER;
    TcsResult result = fssCreateHandle(sensor, kind, outHandle, storeUrl);
    if (result != TCS_RESULT_OK) return result;
    result = openHandle(*outHandle);
    if (result != TCS_RESULT_OK) {
        freeHandle(*outHandle);
        *outHandle = nullptr;
    }
    return result;
}

TcsResult fssOpen(ScsSensor* sensor, uint8_t kind, FssHandle** outHandle) {
    return fssOpenEx(sensor, kind, outHandle, nullptr);
}

TcsResult fssClose(FssHandle* handle) {
    if (handle == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (handle->refCount > 1) {
        --handle->refCount;
        return TCS_RESULT_OK;
    }
    TcsResult result = TCS_RESULT_OK;
    FssMount* m = handle->mount;
    if (m != nullptr) {
        result = closeAllOpen(handle);
        if (handle->valid && m->changed && m->cacheSectors > 0 && m->root != nullptr) {
            // A cache that cannot be written only costs the next open a scan.
            fssWriteSystemFile(handle);
        }
    }
    freeHandle(handle);
    return result;
}

TcsResult fssIsValid(FssHandle* handle) {
    if (handle == nullptr) return TCS_RESULT_INVALID_HANDLE;
    return handle->valid == 1 && handle->mount != nullptr ? TCS_RESULT_OK : TCS_RESULT_INVALID;
}

TcsResult fssPartition(FssHandle* handle) { return handle == nullptr ? TCS_RESULT_INVALID_HANDLE : TCS_RESULT_OK; }

TcsResult fssUnMount(FssHandle* handle, uint32_t mode) {
    if (handle == nullptr) return TCS_RESULT_INVALID_HANDLE;
    FssMount* m = handle->mount;
    if (m == nullptr) return TCS_RESULT_OK;
    const TcsResult result = closeAllOpen(handle);
    m->cacheLocations.clear();
    freeTree(m);
    if (mode == 1) {
        delete m;
        handle->mount = nullptr;
        handle->valid = 0;
    } else {
        resetSectorStates(m);
    }
    return result;
}

}  // extern "C"
