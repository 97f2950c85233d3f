// Flash file system mount: from the mount cache file when the geometry keeps one, else by scanning
// every sector, with the repair of an interrupted garbage collection and of cut-off writes.
#include "tcs/flashfs/fss_internal.h"

#include <string.h>

#include <algorithm>
#include <map>

namespace fssdetail {

namespace {

struct MetaRecord {
    uint32_t address;
    uint8_t type, seq;
    uint16_t parent;
    char name[kMaxName + 1];
};

struct DataRecord {
    uint32_t address;
    uint8_t seq;
    uint16_t fragment;
    bool crcOk;
};

struct InodePages {
    std::vector<MetaRecord> metas;
    std::vector<DataRecord> data;
};

// Sequence numbers are u8 and wrap: compared as serial numbers, so a version written after 255
// others still counts as the newer one.
bool newer(uint8_t a, uint8_t b) { return int8_t(uint8_t(a - b)) > 0; }

bool legacyHeader(const uint8_t* hdr) {
    return hdr[kHdrVersion] < kFormatVersion[0] || (hdr[kHdrVersion] == kFormatVersion[0] && hdr[kHdrVersion + 1] == 0);
}

struct ScanState {
    std::map<uint16_t, InodePages> inodes;
    std::vector<uint16_t> order;  // inodes in the order their first meta page was found
    uint16_t highest = 0;
};

TcsResult fssMountSectorPages(FssHandle* h, uint16_t index, ScanState& scan) {
    FssMount* m = h->mount;
    SectorState& s = m->sectors[index];
    uint16_t p = 1;
    for (; p <= m->lastPage; ++p) {
        const uint32_t address = s.address + uint32_t(p) * kPageSize;
        uint8_t page[kPageSize];
        const TcsResult result = flashRead(h, address, kPageSize, page);
        if (result != TCS_RESULT_OK) return result;
        // The obsolete mark first: a page moved after a failed verify may be marked before its type
        // byte ever reached the flash, and the pages after it are still in use.
        if (page[kPgObsolete] == 1) {
            ++s.obsolete;
            continue;
        }
        const uint8_t type = page[kPgType];
        if (type == kPageFree) break;
        if (type == kPageDataType) {
            const uint16_t inode = fssReadShort_a(page + kDataInode);
            const bool crcOk = pageCrc(page, type) == fssReadInt_a(page + kPgCrc);
            scan.inodes[inode].data.push_back({address, page[kPgSeq], fssReadShort_a(page + kDataFragment), crcOk});
            scan.highest = std::max(scan.highest, inode);
            continue;
        }
        if (type > kNodeFile) return TCS_RESULT_INVALID;
        if (page[kPgCommit] != 1) {
            // A meta page whose write was cut off: the version it began never existed.
            const TcsResult r = fssObsoletePageNode(h, address, false);
            if (r != TCS_RESULT_OK) return r;
            continue;
        }
        if (pageCrc(page, type) != fssReadInt_a(page + kPgCrc)) {
            // Only the mount cache file lives in mount-cache sectors, and it is written anew:
            // a damaged page of it is dropped rather than failing the whole store.
            if (s.type != kSectorCache) return FSS_RESULT_BAD_CRC;
            const TcsResult r = fssObsoletePageNode(h, address, false);
            if (r != TCS_RESULT_OK) return r;
            continue;
        }
        MetaRecord meta{address, type, page[kPgSeq], fssReadShort_a(page + kMetaParent), {}};
        memcpy(meta.name, page + kMetaName, kMaxName);
        const uint16_t inode = fssReadShort_a(page + kMetaInode);
        InodePages& entry = scan.inodes[inode];
        if (entry.metas.empty()) scan.order.push_back(inode);
        entry.metas.push_back(meta);
        scan.highest = std::max(scan.highest, inode);
    }
    s.nextFree = p;
    s.fresh = p == 1 ? 1 : 0;
    return TCS_RESULT_OK;
}

// Builds the tree from the pages found: the newest committed meta page of each inode with the data
// pages of its sequence; every other page of the inode is garbage and marked obsolete.
TcsResult buildTree(FssHandle* h, ScanState& scan) {
    FssMount* m = h->mount;
    TcsResult result = TCS_RESULT_OK;
    for (auto& [inode, pages] : scan.inodes) {
        if (pages.metas.empty()) {
            for (const DataRecord& d : pages.data) fssObsoletePageNode(h, d.address, false);
            continue;
        }
        size_t best = 0;
        for (size_t i = 1; i < pages.metas.size(); ++i) {
            if (newer(pages.metas[i].seq, pages.metas[best].seq)) best = i;
        }
        const MetaRecord& meta = pages.metas[best];
        for (size_t i = 0; i < pages.metas.size(); ++i) {
            if (i != best) fssObsoletePageNode(h, pages.metas[i].address, false);
        }
        Node* node = newNode(meta.name, inode, meta.parent, meta.type);
        if (node == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        node->version = meta.seq;
        node->pages.push_back({meta.address, 0});
        m->inodes[inode] = node;
        std::sort(pages.data.begin(), pages.data.end(),
                  [](const DataRecord& a, const DataRecord& b) { return a.fragment < b.fragment; });
        for (const DataRecord& d : pages.data) {
            const bool mine = d.seq == meta.seq && d.fragment != 0 && d.fragment == node->pages.back().fragment + 1;
            if (mine && !d.crcOk) {
                result = FSS_RESULT_BAD_CRC;
                continue;
            }
            // A torn page of a version never committed is discarded like the rest of that version.
            if (mine) {
                node->pages.push_back({d.address, d.fragment});
            } else {
                fssObsoletePageNode(h, d.address, false);
            }
        }
        if (result != TCS_RESULT_OK) return result;
    }
    for (uint16_t inode : scan.order) {
        auto it = m->inodes.find(inode);
        if (it == m->inodes.end()) continue;
        Node* node = it->second;
        if (node->parentInode == inode) {
            if (m->root == nullptr && node->type == kNodeDir) m->root = node;
            continue;
        }
        auto parent = m->inodes.find(node->parentInode);
        if (parent != m->inodes.end() && parent->second->type == kNodeDir) linkChild(parent->second, node);
    }
    // Nodes that do not hang from the root (their directory's meta page is gone) are dropped from
    // the tree; their pages stay as they are.
    std::vector<Node*> detached;
    for (auto& entry : m->inodes) {
        const Node* n = entry.second;
        while (n != nullptr && n != m->root) n = n->parent;
        if (n == nullptr) detached.push_back(entry.second);
    }
    for (Node* dead : detached) {
        m->inodes.erase(dead->inode);
        delete dead;
    }
    if (m->root != nullptr) {
        Node* cacheNode = findChild(m->root, kCacheName);
        if (cacheNode != nullptr) cacheNode->type = kNodeCache;
    }
    m->highestInode = std::max(m->highestInode, scan.highest);
    return TCS_RESULT_OK;
}

}  // namespace

TcsResult readSectorHeader(FssHandle* h, uint16_t index, bool* outFormatted, uint8_t* outHeader) {
    FssMount* m = h->mount;
    SectorState& s = m->sectors[index];
    uint8_t hdr[kVersionCheckSize];
    *outFormatted = false;
    TcsResult result = flashRead(h, s.address, sizeof hdr, hdr);
    if (result != TCS_RESULT_OK) return result;
    s.eraseCount = fssReadShort_a(hdr + kHdrEraseCount);
    if (s.eraseCount == 0xFFFF) s.eraseCount = 0;
    if (hdr[kHdrPageType] != kPageSectorHdr || (hdr[kHdrInUse] == 1 && hdr[kHdrSecondFlag] == 1)) {
        *outFormatted = true;
        result = fssFormatSector(h, index);
        if (result != TCS_RESULT_OK) return result;
        return flashRead(h, s.address, sizeof hdr, outHeader != nullptr ? outHeader : hdr);
    }
    uint8_t type = hdr[kHdrType];
    if (legacyHeader(hdr) && (fssReadShort_a(hdr + kHdrEraseCount) == 0xFFFF || type == kSectorFree)) {
        type = hdr[kHdrInUse] == 1 && hdr[kHdrSecondFlag] != 1 ? kSectorData : kSectorFree;
        s.eraseCount = 0;
    }
    s.type = type;
    if (outHeader != nullptr) memcpy(outHeader, hdr, sizeof hdr);
    return TCS_RESULT_OK;
}

void pickCurrentSector(FssMount* m) {
    uint16_t best = 0;
    bool found = false;
    for (uint16_t i = 0; i < m->sectorCount; ++i) {
        const SectorState& s = m->sectors[i];
        if (s.type != kSectorData || s.nextFree > m->lastPage) continue;
        if (!found || s.eraseCount < m->sectors[best].eraseCount) best = i;
        found = true;
    }
    m->currentSector = best;
}

TcsResult fssMountSectors(FssHandle* h) {
    FssMount* m = h->mount;
    freeTree(m);
    m->cacheLocations.clear();
    resetSectorStates(m);
    m->highestInode = 0;
    std::vector<uint8_t> legacy(m->sectorCount, 0);
    std::vector<uint16_t> noted;
    for (uint16_t i = 0; i < m->sectorCount; ++i) {
        bool formatted = false;
        uint8_t hdr[kVersionCheckSize];
        TcsResult result = readSectorHeader(h, i, &formatted, hdr);
        if (result != TCS_RESULT_OK) return result;
        legacy[i] = legacyHeader(hdr) ? 1 : 0;
        const uint8_t type = m->sectors[i].type;
        if (!formatted && hdr[kHdrInUse] == 1 && (type == kSectorMoving || type == kSectorFree)) noted.push_back(i);
    }
    // An interrupted collection: once its source is marked 0 the copies are complete and kept;
    // before that the source still holds everything and the half-filled targets go.
    bool sourceMarked = false;
    for (uint16_t i : noted) sourceMarked = sourceMarked || m->sectors[i].type == kSectorMoving;
    for (uint16_t i : noted) {
        TcsResult result = TCS_RESULT_OK;
        if (sourceMarked && m->sectors[i].type == kSectorFree) {
            result = fssMarkSector(h, i, kSectorData, m->sectors[i].eraseCount);
        } else {
            result = fssFormatSector(h, i);
        }
        if (result != TCS_RESULT_OK) return result;
    }
    ScanState scan;
    for (uint16_t i = 0; i < m->sectorCount; ++i) {
        TcsResult result = fssMountSectorPages(h, i, scan);
        if (result != TCS_RESULT_OK) return result;
        SectorState& s = m->sectors[i];
        bool format = false;
        if (!legacy[i]) {
            format = s.type < kSectorFree && s.fresh;
        } else {
            format = (s.fresh || s.obsolete + 1 == s.nextFree) && (i != 0 || s.nextFree < 4);
        }
        if (format) {
            result = fssFormatSector(h, i);
            if (result != TCS_RESULT_OK) return result;
        }
        result = commit(h);
        if (result != TCS_RESULT_OK) return result;
    }
    TcsResult result = buildTree(h, scan);
    if (result != TCS_RESULT_OK) {
        freeTree(m);
        return result;
    }
    pickCurrentSector(m);
    m->changed = 1;
    return commit(h);
}

TcsResult fssMount(FssHandle* h) {
    FssMount* m = h->mount;
    if (m->cacheSectors > 0 && fssMountWithSystemFile(h) == TCS_RESULT_OK) return TCS_RESULT_OK;
    TcsResult result = fssMountSectors(h);
    if (result != TCS_RESULT_OK || m->cacheSectors == 0 || m->root == nullptr) return result;
    fssRmSysFile(h);
    if (fssWriteSystemFile(h) != TCS_RESULT_OK) return TCS_RESULT_OK;
    // Mount once more from the new cache: what the next open will read is checked now.
    freeTree(m);
    m->cacheLocations.clear();
    if (fssMountWithSystemFile(h) == TCS_RESULT_OK) return TCS_RESULT_OK;
    return fssMountSectors(h);
}

}  // namespace fssdetail
