// Mount cache file "sysfile.sys": a snapshot of the sector states and the node tree, kept in
// mount-cache sectors whose header pages list where its parts begin, so a mount need not scan.
#include "tcs/flashfs/fss_internal.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace fssdetail {

namespace {

constexpr uint32_t kHeaderBytes = 11, kSectorRecordBytes = 5, kNodeRecordBytes = 23;
constexpr uint32_t kStackDepth = 10;
constexpr uint8_t kSlotObsolete = 1;

struct Slot {
    uint16_t sector;
    uint8_t order;
    uint16_t firstPage;
};

TcsResult readSlots(FssHandle* h, uint16_t sector, uint8_t* slots) {
    return flashRead(h, h->mount->sectors[sector].address + kSlotsOffset, kSlotCount * 4, slots);
}

bool slotEmpty(const uint8_t* s) { return s[0] == 0xFF && s[1] == 0xFF && s[2] == 0xFF && s[3] == 0xFF; }

// Marks every current slot entry of the mount-cache sectors obsolete.
TcsResult obsoleteAllSlots(FssHandle* h) {
    FssMount* m = h->mount;
    for (uint16_t i = 0; i < m->sectorCount; ++i) {
        if (m->sectors[i].type != kSectorCache) continue;
        uint8_t slots[kSlotCount * 4];
        TcsResult result = readSlots(h, i, slots);
        if (result != TCS_RESULT_OK) return result;
        for (uint32_t k = 0; k < kSlotCount; ++k) {
            const uint8_t* s = slots + 4 * k;
            if (slotEmpty(s) || s[0] != 0xFF) continue;
            result = fssFlashWrite(h, m->sectors[i].address + kSlotsOffset + 4 * k, 1, &kSlotObsolete, nullptr, false,
                                   false);
            if (result != TCS_RESULT_OK) return result;
        }
    }
    return TCS_RESULT_OK;
}

uint32_t usedSlots(const uint8_t* slots) {
    uint32_t used = 0;
    while (used < kSlotCount && !slotEmpty(slots + 4 * used)) ++used;
    return used;
}

TcsResult addSlot(FssHandle* h, uint16_t sector, uint8_t order, uint16_t firstPage) {
    uint8_t slots[kSlotCount * 4];
    TcsResult result = readSlots(h, sector, slots);
    if (result != TCS_RESULT_OK) return result;
    const uint32_t k = usedSlots(slots);
    if (k == kSlotCount) return FSS_RESULT_NO_ROOM;
    uint8_t entry[4] = {0xFF, order, 0, 0};
    fssWriteShort_a(entry + 2, firstPage);
    return fssFlashWrite(h, h->mount->sectors[sector].address + kSlotsOffset + 4 * k, 4, entry, nullptr, false, false);
}

uint32_t countNodes(const Node* n) {
    uint32_t count = 0;
    for (; n != nullptr; n = n->sibling) count += 1 + countNodes(n->child);
    return count;
}

void putNode(std::vector<uint8_t>& out, const Node* n, uint16_t parentInode) {
    uint8_t rec[kNodeRecordBytes] = {};
    memcpy(rec, n->name, strnlen(n->name, kMaxName));
    fssWriteShort_a(rec + 13, n->inode);
    fssWriteShort_a(rec + 15, parentInode);
    rec[17] = n->type;
    rec[18] = n->version;
    // A directory, or a node without pages, has one address: its meta page, or 0.
    const bool metaOnly = n->type == kNodeDir || n->pages.empty();
    const uint32_t count = metaOnly ? 1 : uint32_t(n->pages.size());
    fssWriteInt_a(rec + 19, count);
    out.insert(out.end(), rec, rec + sizeof rec);
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t a[4];
        fssWriteInt_a(a, n->pages.empty() ? 0 : n->pages[i].address);
        out.insert(out.end(), a, a + 4);
    }
}

// Depth first, a node before its children before its next sibling; the pending siblings are kept
// on a stack of at most 10, deeper than any valid path.
TcsResult putTree(std::vector<uint8_t>& out, const Node* root) {
    const Node* stack[kStackDepth];
    uint32_t depth = 0;
    const Node* n = root;
    while (n != nullptr) {
        putNode(out, n, n == root ? n->inode : n->parent->inode);
        if (n->child != nullptr) {
            if (n != root && n->sibling != nullptr) {
                if (depth == kStackDepth) return TCS_RESULT_ERROR;
                stack[depth++] = n->sibling;
            }
            n = n->child;
        } else if (n != root && n->sibling != nullptr) {
            n = n->sibling;
        } else {
            n = depth > 0 ? stack[--depth] : nullptr;
        }
    }
    return TCS_RESULT_OK;
}

// Formats mount-cache sectors whose slot list is full or that hold obsolete pages, until the
// cache's sectors have room for the new file.
TcsResult fssCheckSysfileSize(FssHandle* h) {
    FssMount* m = h->mount;
    const uint32_t estimate = sysfileEstimate(m);
    for (uint16_t i = 0; i < m->sectorCount; ++i) {
        uint32_t free12 = 0;
        bool anyFull = false;
        for (uint16_t j = 0; j < m->sectorCount; ++j) {
            const SectorState& s = m->sectors[j];
            if (s.type != kSectorCache) continue;
            uint8_t slots[kSlotCount * 4];
            TcsResult result = readSlots(h, j, slots);
            if (result != TCS_RESULT_OK) return result;
            anyFull = anyFull || usedSlots(slots) == kSlotCount;
            if (s.nextFree <= m->lastPage) free12 += m->lastPage - s.nextFree + 1u;
        }
        if (!anyFull && free12 >= estimate) return TCS_RESULT_OK;
        if (m->sectors[i].type != kSectorCache) continue;
        uint8_t slots[kSlotCount * 4];
        TcsResult result = readSlots(h, i, slots);
        if (result != TCS_RESULT_OK) return result;
        if (usedSlots(slots) == kSlotCount || m->sectors[i].obsolete > 0) {
            result = fssFormatSector(h, i);
            if (result != TCS_RESULT_OK) return result;
        }
    }
    return TCS_RESULT_OK;
}

struct CacheRead {
    std::vector<uint8_t> content;
    std::vector<PageLoc> pages;
    uint8_t seq = 0;
};

TcsResult readCacheFile(FssHandle* h, const std::vector<Slot>& parts, CacheRead& file) {
    FssMount* m = h->mount;
    uint8_t page[kPageSize];
    const uint32_t metaAddress = m->sectors[parts[0].sector].address + uint32_t(parts[0].firstPage) * kPageSize;
    TcsResult result = flashRead(h, metaAddress, kPageSize, page);
    if (result != TCS_RESULT_OK) return result;
    if (page[kPgCommit] != 1 || page[kPgObsolete] == 1 || (page[kPgType] != kNodeCache && page[kPgType] != kNodeFile) ||
        strncmp(reinterpret_cast<const char*>(page + kMetaName), kCacheName, kMaxName) != 0) {
        return FSS_RESULT_CACHE_VERSION;
    }
    // Known as the file's from here on: a failure below marks it obsolete, or the scan that
    // follows would stop at its bad CRC.
    file.pages.push_back({metaAddress, 0});
    if (pageCrc(page, kNodeFile) != fssReadInt_a(page + kPgCrc)) return FSS_RESULT_BAD_CRC;
    const uint32_t size = fssReadInt_a(page + kMetaSize);
    const uint16_t inode = fssReadShort_a(page + kMetaInode);
    // No larger than the whole store: a damaged size must not make us read forever.
    if (size > m->storeSize) return FSS_RESULT_CACHE_VERSION;
    file.seq = page[kPgSeq];
    file.content.assign(page + kMetaData, page + kMetaData + std::min(size, kMetaCapacity));
    const uint32_t pageCount = size <= kMetaCapacity ? 1 : 1 + (size - kMetaCapacity + kDataCapacity - 1) / kDataCapacity;
    size_t part = 0;
    uint32_t pageIndex = parts[0].firstPage + 1u;
    for (uint32_t fragment = 1; fragment < pageCount; ++fragment) {
        if (pageIndex > m->lastPage) {
            if (++part == parts.size()) return FSS_RESULT_CACHE_VERSION;
            pageIndex = parts[part].firstPage;
        }
        const uint32_t address = m->sectors[parts[part].sector].address + pageIndex * kPageSize;
        ++pageIndex;
        result = flashRead(h, address, kPageSize, page);
        if (result != TCS_RESULT_OK) return result;
        if (page[kPgType] != kPageDataType || page[kPgObsolete] == 1 || page[kPgSeq] != file.seq ||
            fssReadShort_a(page + kDataInode) != inode || fssReadShort_a(page + kDataFragment) != fragment) {
            return FSS_RESULT_CACHE_VERSION;
        }
        file.pages.push_back({address, uint16_t(fragment)});
        if (pageCrc(page, kPageDataType) != fssReadInt_a(page + kPgCrc)) return FSS_RESULT_BAD_CRC;
        const uint32_t take = std::min<uint32_t>(kDataCapacity, size - uint32_t(file.content.size()));
        file.content.insert(file.content.end(), page + kDataData, page + kDataData + take);
    }
    return TCS_RESULT_OK;
}

// Rebuilds the sector states and the tree from the file's content.
TcsResult parseCache(FssHandle* h, const CacheRead& file) {
    FssMount* m = h->mount;
    const std::vector<uint8_t>& c = file.content;
    if (c.size() < kHeaderBytes) return FSS_RESULT_CACHE_VERSION;
    const uint16_t w = fssReadShort_a(c.data() + 2);
    if (c[0] != kFormatVersion[0] || (w != 0x55AA && w != 0)) return FSS_RESULT_CACHE_VERSION;
    if (fssReadShort_a(c.data() + 9) != m->sectorCount) return TCS_RESULT_ERROR;
    m->noRoom = c[4];
    m->highestInode = fssReadShort_a(c.data() + 5);
    const uint16_t current = fssReadShort_a(c.data() + 7);
    size_t at = kHeaderBytes;
    if (c.size() < at + size_t(m->sectorCount) * kSectorRecordBytes) return FSS_RESULT_CACHE_VERSION;
    for (uint16_t i = 0; i < m->sectorCount; ++i, at += kSectorRecordBytes) {
        SectorState& s = m->sectors[i];
        const uint16_t nextFree = fssReadShort_a(&c[at + 1]), obsolete = fssReadShort_a(&c[at + 3]);
        if (nextFree == 0 || nextFree > m->lastPage + 1u || obsolete >= nextFree) return FSS_RESULT_CACHE_VERSION;
        s.fresh = c[at] ? 1 : 0;
        s.nextFree = nextFree;
        s.obsolete = obsolete;
    }
    m->currentSector = current < m->sectorCount ? current : 0;
    while (at < c.size()) {
        if (c.size() - at < kNodeRecordBytes) return FSS_RESULT_CACHE_VERSION;
        const uint8_t* rec = &c[at];
        const uint32_t count = fssReadInt_a(rec + 19);
        if (count == 0 || count > (c.size() - at - kNodeRecordBytes) / 4) return FSS_RESULT_CACHE_VERSION;
        char name[kMaxName + 1] = {};
        memcpy(name, rec, kMaxName);
        const uint16_t inode = fssReadShort_a(rec + 13), parentInode = fssReadShort_a(rec + 15);
        const uint8_t type = rec[17];
        if (m->inodes.count(inode) != 0 || (type != kNodeDir && type != kNodeFile && type != kNodeCache)) {
            return FSS_RESULT_CACHE_VERSION;
        }
        Node* parent = nullptr;
        if (m->root == nullptr) {
            if (parentInode != inode || type != kNodeDir) return FSS_RESULT_CACHE_VERSION;
        } else {
            auto it = m->inodes.find(parentInode);
            if (it == m->inodes.end() || it->second->type != kNodeDir) return FSS_RESULT_CACHE_VERSION;
            parent = it->second;
        }
        Node* n = newNode(name, inode, parentInode, type);
        if (n == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        n->version = rec[18];
        if (inode > m->highestInode) m->highestInode = inode;
        m->inodes[inode] = n;
        if (parent == nullptr) {
            m->root = n;
        } else {
            linkChild(parent, n);
        }
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t address = fssReadInt_a(rec + kNodeRecordBytes + 4 * i);
            if (address == 0 && count == 1) break;
            if (address % kPageSize != 0 || address >= m->sectorCount * m->sectorSize ||
                address % m->sectorSize == 0) {
                return FSS_RESULT_CACHE_VERSION;
            }
            n->pages.push_back({address, uint16_t(i)});
        }
        at += kNodeRecordBytes + size_t(count) * 4;
    }
    return m->root != nullptr ? TCS_RESULT_OK : FSS_RESULT_CACHE_VERSION;
}

TcsResult mountFromCache(FssHandle* h, CacheRead& file, bool* outFileRead) {
    FssMount* m = h->mount;
    *outFileRead = false;
    for (uint16_t i = 0; i < m->sectorCount; ++i) {
        bool formatted = false;
        TcsResult result = readSectorHeader(h, i, &formatted);
        if (result != TCS_RESULT_OK) return result;
    }
    std::vector<Slot> parts;
    for (uint16_t i = 0; i < m->sectorCount; ++i) {
        if (m->sectors[i].type != kSectorCache) continue;
        uint8_t slots[kSlotCount * 4];
        TcsResult result = readSlots(h, i, slots);
        if (result != TCS_RESULT_OK) return result;
        for (uint32_t k = 0; k < kSlotCount; ++k) {
            const uint8_t* s = slots + 4 * k;
            if (slotEmpty(s)) break;
            if (s[0] != 0xFF) continue;
            parts.push_back({i, s[1], fssReadShort_a(s + 2)});
        }
    }
    std::stable_sort(parts.begin(), parts.end(), [](const Slot& a, const Slot& b) { return a.order < b.order; });
    if (parts.empty() || parts[0].order != 0) return FSS_RESULT_NO_CACHE;
    for (size_t k = 0; k < parts.size(); ++k) {
        if (parts[k].order != k || parts[k].firstPage == 0 || parts[k].firstPage > m->lastPage) {
            return FSS_RESULT_NO_CACHE;
        }
    }
    TcsResult result = readCacheFile(h, parts, file);
    *outFileRead = !file.pages.empty();
    if (result != TCS_RESULT_OK) return result;
    result = parseCache(h, file);
    if (result != TCS_RESULT_OK) return result;
    // The file's own node, with the pages it was just read from.
    Node* self = findChild(m->root, kCacheName);
    if (self == nullptr) return FSS_RESULT_CACHE_VERSION;
    self->type = kNodeCache;
    self->version = file.seq;
    self->pages = file.pages;
    for (const PageLoc& p : file.pages) {
        SectorState& s = m->sectors[sectorOf(m, p.address)];
        const uint16_t index = uint16_t((p.address % m->sectorSize) / kPageSize);
        if (s.nextFree <= index) s.nextFree = uint16_t(index + 1);
        s.fresh = 0;
        if (std::find(m->cacheLocations.begin(), m->cacheLocations.end(), sectorOf(m, p.address)) ==
            m->cacheLocations.end()) {
            m->cacheLocations.push_back(sectorOf(m, p.address));
        }
    }
    m->changed = 0;
    for (int i = int(m->sectorCount) - 1; i >= 0; --i) {
        const SectorState before = m->sectors[i];
        bool formatted = false;
        result = readSectorHeader(h, uint16_t(i), &formatted);
        if (result != TCS_RESULT_OK) return result;
        // A sector the snapshot says holds pages cannot have lost its header since.
        if (formatted && (before.type == kSectorCache || before.nextFree > 1)) return FSS_RESULT_CACHE_VERSION;
    }
    return TCS_RESULT_OK;
}

}  // namespace

uint32_t sysfileEstimate(const FssMount* m) {
    uint32_t live = 0;
    for (const SectorState& s : m->sectors) {
        if (s.nextFree > s.obsolete + 1u) live += s.nextFree - s.obsolete - 1u;
    }
    return (27 * countNodes(m->root) + 11 + 4 * uint32_t(m->sectorCount) + 4 * live) / 240 + 3;
}

TcsResult fssRmSysFile(FssHandle* h) {
    FssMount* m = h->mount;
    if (m->root == nullptr) return TCS_RESULT_OK;
    TcsResult result = obsoleteAllSlots(h);
    m->cacheLocations.clear();
    m->changed = 1;
    if (result != TCS_RESULT_OK) return result;
    Node* node = findChild(m->root, kCacheName);
    if (node == nullptr) return FSS_RESULT_NOT_FOUND;
    return removeNode(h, node);
}

TcsResult fssWriteSystemFile(FssHandle* h) {
    FssMount* m = h->mount;
    if (m->root == nullptr) return TCS_RESULT_OK;
    if (findChild(m->root, kCacheName) != nullptr) {
        TcsResult result = fssRmSysFile(h);
        if (result != TCS_RESULT_OK) return result;
    }
    TcsResult result = fssCheckSysfileSize(h);
    if (result != TCS_RESULT_OK) return result;
    m->cacheLocations.clear();

    const std::vector<SectorState> before = m->sectors;
    const uint16_t current = m->currentSector;
    bool anyCache = false;
    for (const SectorState& s : before) anyCache = anyCache || s.type == kSectorCache;
    const uint16_t receiver = anyCache ? kNoSector : fssGetFreeSector(h, kSectorCache, false);

    char path[2 + kMaxName + 1 + sizeof kCacheName];
    snprintf(path, sizeof path, "/%s/%s", m->root->name, kCacheName);
    FssFile* f = nullptr;
    result = openFile(h, path, "w", true, &f);
    if (result != TCS_RESULT_OK) return result;

    std::vector<uint8_t> content(kHeaderBytes);
    memcpy(content.data(), kFormatVersion, 4);
    content[4] = m->noRoom;
    // Taken after the open: the file's own node has an inode too, and a mount from this file
    // must not give that number out again.
    fssWriteShort_a(&content[5], m->highestInode);
    fssWriteShort_a(&content[7], current);
    fssWriteShort_a(&content[9], m->sectorCount);
    for (uint16_t i = 0; i < m->sectorCount; ++i) {
        uint8_t rec[kSectorRecordBytes];
        const SectorState s = i == receiver ? SectorState{0, 1, 0, 0, kSectorCache, 0} : before[i];
        rec[0] = s.fresh;
        fssWriteShort_a(rec + 1, s.nextFree);
        fssWriteShort_a(rec + 3, s.obsolete);
        content.insert(content.end(), rec, rec + sizeof rec);
    }
    result = putTree(content, m->root);
    uint32_t written = 0;
    if (result == TCS_RESULT_OK) result = fssFileWrite(content.data(), 1, uint32_t(content.size()), f, &written);
    if (result != TCS_RESULT_OK) {
        // Nothing of it is committed: its pages are garbage and its node goes.
        fssMarkOldObsolete(h, f->newPages);
        f->mode = 'r';
        closeFile(f);
        Node* node = findChild(m->root, kCacheName);
        if (node != nullptr) unlinkNode(m, node);
        m->currentSector = current;
        return result;
    }
    Node* node = f->node;
    result = closeFile(f);
    m->currentSector = current;
    if (result != TCS_RESULT_OK) return result;

    // Parts: where the file begins, then the first page it took in each further sector.
    std::vector<Slot> parts;
    for (const PageLoc& p : node->pages) {
        const uint16_t sector = sectorOf(m, p.address);
        if (!parts.empty() && parts.back().sector == sector) continue;
        parts.push_back({sector, uint8_t(parts.size()), uint16_t((p.address % m->sectorSize) / kPageSize)});
    }
    for (size_t k = 1; k < parts.size(); ++k) {
        result = addSlot(h, parts[k].sector, parts[k].order, parts[k].firstPage);
        if (result != TCS_RESULT_OK) return result;
    }
    // The start last: without it no half-listed file is ever taken for the cache.
    result = addSlot(h, parts[0].sector, 0, parts[0].firstPage);
    if (result != TCS_RESULT_OK) return result;
    result = commit(h);
    if (result == TCS_RESULT_OK) m->changed = 0;
    return result;
}

TcsResult fssMountWithSystemFile(FssHandle* h) {
    FssMount* m = h->mount;
    freeTree(m);
    m->cacheLocations.clear();
    resetSectorStates(m);
    m->highestInode = 0;
    CacheRead file;
    bool fileRead = false;
    const TcsResult result = mountFromCache(h, file, &fileRead);
    if (result == TCS_RESULT_OK) return TCS_RESULT_OK;
    freeTree(m);
    m->cacheLocations.clear();
    // Only pages proven to be the file's are marked; the slot entries go in any case.
    if (fileRead) {
        for (const PageLoc& p : file.pages) fssObsoletePageNode(h, p.address, false);
    }
    obsoleteAllSlots(h);
    commit(h);
    resetSectorStates(m);
    m->highestInode = 0;
    m->changed = 1;
    return result;
}

}  // namespace fssdetail
