// Flash file system page placement: sector choice with a reserve, page writes moved on a failed
// verify, obsolete marks, sector formatting and garbage collection. Writes only clear bits; every
// other change goes through a sector erase.
#include "tcs/flashfs/fss_internal.h"

#include <string.h>

#include <algorithm>

namespace fssdetail {

namespace {

constexpr uint32_t kMaxPlacements = 3;

uint16_t freeInSector(const FssMount* m, const SectorState& s) {
    return s.nextFree <= m->lastPage ? uint16_t(m->lastPage - s.nextFree + 1) : 0;
}

// Moves the page that holds address after a write there failed verification: the page as it
// should be goes to the next free page, the failed one is obsolete.
TcsResult fssFlashRetryWrite(FssHandle* h, uint32_t address, uint32_t length, const uint8_t* bytes, bool cache,
                     uint32_t* outNewAddress) {
    FssMount* m = h->mount;
    uint8_t page[kPageSize];
    uint32_t pageStart = address - address % kPageSize;
    TcsResult result = flashRead(h, pageStart, kPageSize, page);
    if (result != TCS_RESULT_OK) return result;
    memcpy(page + (address - pageStart), bytes, length);
    for (uint32_t placement = 1; placement < kMaxPlacements; ++placement) {
        fssObsoletePageNode(h, pageStart, false);
        uint32_t next = 0;
        // The page stays in a sector of the kind it was meant for: a collection's target is still 255.
        const bool data = m->sectors[sectorOf(m, pageStart)].type != kSectorFree;
        if (fssGetNextFreePage(h, &next, data, cache) != TCS_RESULT_OK) return TCS_RESULT_ERROR;
        SectorState& s = m->sectors[sectorOf(m, next)];
        result = fssMarkSectorUsed(h, sectorOf(m, next));
        if (result != TCS_RESULT_OK) return result;
        ++s.nextFree;
        // The whole page, header included: the copy stands for the one left behind.
        result = TCS_RESULT_OK;
        for (uint32_t at = 0; at < kPageSize && result == TCS_RESULT_OK; at += m->writeUnit) {
            result =
                h->ops.write(h->backend, next + at, std::min<uint32_t>(m->writeUnit, kPageSize - at), page + at, 0);
        }
        if (result == TCS_RESULT_OK) {
            *outNewAddress = next + address % kPageSize;
            return TCS_RESULT_OK;
        }
        if (result != FSS_RESULT_VERIFY_FAILED) return result;
        pageStart = next;
    }
    fssObsoletePageNode(h, pageStart, false);
    return FSS_RESULT_VERIFY_FAILED;
}

int64_t freePagesOf(const FssMount* m) {
    int64_t pages = 0;
    uint32_t cacheInUse = 0;
    bool skippedFree = false;
    for (const SectorState& s : m->sectors) {
        if (m->cacheSectors > 0 && s.type == kSectorCache) {
            ++cacheInUse;
            continue;
        }
        if (m->cacheSectors == 0 && s.type == kSectorFree && s.fresh && !skippedFree) {
            skippedFree = true;  // kept back as garbage collection's target
            continue;
        }
        pages += freeInSector(m, s);
    }
    if (m->cacheSectors > 0) pages -= (int64_t(m->cacheSectors) - cacheInUse) * m->lastPage;
    return pages;
}

}  // namespace

TcsResult fssFlashWrite(FssHandle* h, uint32_t address, uint32_t length, const void* buffer, uint32_t* outNewAddress,
                        bool cache, bool commitNow) {
    if (h->ops.write == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
    FssMount* m = h->mount;
    const uint32_t unit = m != nullptr && m->writeUnit != 0 ? m->writeUnit : kPageSize;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    if (outNewAddress != nullptr) *outNewAddress = address;
    uint32_t done = 0;
    bool committed = false;
    while (done < length) {
        const uint32_t at = address + done;
        const uint32_t piece = std::min(length - done, unit - at % unit);
        // The last piece carries the commit, so a backend commits once per call.
        const uint32_t commitFlag = commitNow && done + piece == length ? 1 : 0;
        TcsResult result = h->ops.write(h->backend, at, piece, bytes + done, commitFlag);
        if (result == FSS_RESULT_VERIFY_FAILED && outNewAddress != nullptr && m != nullptr) {
            // The rest of the range lies in the same page: move it all at once.
            uint32_t moved = 0;
            result = fssFlashRetryWrite(h, at, length - done, bytes + done, cache, &moved);
            if (result != TCS_RESULT_OK) return result;
            *outNewAddress = moved - done;
            done = length;
            break;
        }
        if (result != TCS_RESULT_OK) return result;
        done += piece;
        committed = commitFlag == 1;
    }
    return commitNow && !committed ? commit(h) : TCS_RESULT_OK;
}

uint16_t fssGetFreeSector(FssHandle* h, uint8_t wanted, bool claim) {
    FssMount* m = h->mount;
    uint32_t cacheCount = 0, freeCount = 0;
    uint16_t reusableCache = kNoSector, dataWithRoom = kNoSector, freeSector = kNoSector;
    for (uint16_t i = 0; i < m->sectorCount; ++i) {
        const SectorState& s = m->sectors[i];
        if (s.type == kSectorCache) {
            ++cacheCount;
            if (s.nextFree == s.obsolete + 1 &&
                (reusableCache == kNoSector || s.eraseCount < m->sectors[reusableCache].eraseCount)) {
                reusableCache = i;
            }
        } else if (s.type == kSectorData || s.fresh == 0) {
            if (freeInSector(m, s) > 0 &&
                (dataWithRoom == kNoSector || s.eraseCount < m->sectors[dataWithRoom].eraseCount)) {
                dataWithRoom = i;
            }
        } else {
            ++freeCount;
            if (freeSector == kNoSector || s.eraseCount < m->sectors[freeSector].eraseCount) freeSector = i;
        }
    }
    const uint32_t r = reserveOf(m);
    uint16_t chosen = kNoSector;
    if (wanted == kSectorData) {
        chosen = dataWithRoom != kNoSector ? dataWithRoom : (cacheCount + freeCount > r ? freeSector : kNoSector);
    } else if (wanted == kSectorFree) {
        if (freeSector != kNoSector) {
            chosen = freeSector;
        } else if (cacheCount + freeCount >= r && reusableCache != kNoSector) {
            chosen = reusableCache;
            if (claim && fssFormatSector(h, chosen) != TCS_RESULT_OK) return kNoSector;
        }
    } else if (wanted == kSectorCache) {
        if (reusableCache != kNoSector) {
            chosen = reusableCache;
        } else if (cacheCount + freeCount >= r && cacheCount < m->cacheSectors) {
            chosen = freeSector;
        }
    }
    if (chosen != kNoSector && claim && m->sectors[chosen].type != wanted) {
        if (fssMarkSector(h, chosen, wanted, m->sectors[chosen].eraseCount) != TCS_RESULT_OK) return kNoSector;
    }
    return chosen;
}

TcsResult fssGetNextFreePage(FssHandle* h, uint32_t* outAddress, bool data, bool cache) {
    FssMount* m = h->mount;
    const uint8_t wanted = cache ? kSectorCache : (data ? kSectorData : kSectorFree);
    SectorState* s = m->currentSector < m->sectorCount ? &m->sectors[m->currentSector] : nullptr;
    if (s == nullptr || s->type != wanted || s->nextFree > m->lastPage) {
        uint16_t index = fssGetFreeSector(h, wanted, true);
        if (index == kNoSector && wanted == kSectorData && !m->collecting) {
            // Rewriting an existing file asks for no room first; without a collection here a store
            // full of obsolete pages would refuse every rewrite while most of it is reclaimable.
            uint32_t ok = 0;
            fssTriggerEraseAlgorithm(h, kPageSize, &ok);
            if (ok) index = fssGetFreeSector(h, wanted, true);
        }
        if (index == kNoSector) {
            m->noRoom = 1;
            return FSS_RESULT_NO_ROOM;
        }
        m->currentSector = index;
        s = &m->sectors[index];
        if (cache && std::find(m->cacheLocations.begin(), m->cacheLocations.end(), index) == m->cacheLocations.end()) {
            m->cacheLocations.push_back(index);
        }
    }
    // Checked after the sector is chosen: a collection on the way may have written a new mount
    // cache, which must not outlive the page about to be written.
    if (!cache && !m->changed) {
        const TcsResult result = fssRmSysFile(h);
        if (result != TCS_RESULT_OK && result != FSS_RESULT_NOT_FOUND) return result;
    }
    *outAddress = s->address + uint32_t(s->nextFree) * kPageSize;
    return TCS_RESULT_OK;
}

TcsResult writeNewPage(FssHandle* h, const uint8_t* page, uint32_t from, bool data, bool cache, uint32_t* outAddress) {
    FssMount* m = h->mount;
    uint32_t address = 0;
    TcsResult result = fssGetNextFreePage(h, &address, data, cache);
    if (result != TCS_RESULT_OK) return result;
    const uint16_t index = sectorOf(m, address);
    // In use before the page: a sector with pages but no in-use mark would not be recognised as
    // a collection's target after a power loss.
    result = fssMarkSectorUsed(h, index);
    if (result != TCS_RESULT_OK) return result;
    ++m->sectors[index].nextFree;
    uint32_t placed = address;
    result = fssFlashWrite(h, address + from, kPageSize - from, page + from, &placed, cache, false);
    if (result != TCS_RESULT_OK) {
        // The page may hold part of the write: it is garbage now.
        if (result != FSS_RESULT_VERIFY_FAILED) fssObsoletePageNode(h, address, false);
        return result;
    }
    *outAddress = placed - from;
    return TCS_RESULT_OK;
}

TcsResult fssObsoletePageNode(FssHandle* h, uint32_t address, bool commitNow) {
    FssMount* m = h->mount;
    const uint8_t one = 1;
    const TcsResult result = fssFlashWrite(h, address - address % kPageSize + kPgObsolete, 1, &one, nullptr, false,
                                           commitNow);
    const uint16_t index = sectorOf(m, address);
    if (index < m->sectorCount) ++m->sectors[index].obsolete;
    return result;
}

TcsResult fssMarkOldObsolete(FssHandle* h, std::vector<PageLoc>& pages) {
    TcsResult first = TCS_RESULT_OK;
    for (const PageLoc& p : pages) {
        const TcsResult result = fssObsoletePageNode(h, p.address, false);
        if (first == TCS_RESULT_OK) first = result;
    }
    pages.clear();
    return first;
}

TcsResult fssMarkSector(FssHandle* h, uint16_t index, uint8_t type, uint16_t eraseCount) {
    FssMount* m = h->mount;
    SectorState& s = m->sectors[index];
    uint8_t bytes[3] = {type, 0, 0};
    fssWriteShort_a(bytes + 1, eraseCount);
    const TcsResult result = fssFlashWrite(h, s.address + kHdrType, 3, bytes, nullptr, false, true);
    if (result != TCS_RESULT_OK) return result;
    s.type = type;
    s.eraseCount = eraseCount;
    return TCS_RESULT_OK;
}

TcsResult fssMarkSectorUsed(FssHandle* h, uint16_t index) {
    SectorState& s = h->mount->sectors[index];
    if (s.fresh != 1) return TCS_RESULT_OK;
    const uint8_t one = 1;
    const TcsResult result = fssFlashWrite(h, s.address + kHdrInUse, 1, &one, nullptr, false, false);
    if (result == TCS_RESULT_OK) s.fresh = 0;
    return result;
}

TcsResult fssEraseSector(FssHandle* h, uint32_t address) {
    FssMount* m = h->mount;
    if (h->ops.sectorErase == nullptr || h->ops.write == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
    uint8_t id[kIdBlockSize];
    TcsResult result = flashRead(h, address, sizeof id, id);
    if (result != TCS_RESULT_OK) return result;
    if (m->sectorSize < kBackendEraseUnit && h->kind == FSS_BACKEND_SENSOR) {
        // 32 KiB sectors (the smallest flashes) on a part erased in 64 KiB blocks: erasing the
        // block would wipe the neighbouring sector too. Blanking the sector through the partition's
        // mirror erases the block at commit and programs the neighbour's pages back.
        uint8_t blank[kPageSize];
        memset(blank, 0xFF, sizeof blank);
        for (uint32_t at = 0; at < m->sectorSize && result == TCS_RESULT_OK; at += kPageSize) {
            result = h->ops.write(h->backend, address + at, kPageSize, blank, at + kPageSize >= m->sectorSize ? 1 : 0);
        }
    } else {
        result = h->ops.sectorErase(h->backend, address, std::max<uint32_t>(1, m->sectorSize / kBackendEraseUnit));
    }
    if (result != TCS_RESULT_OK) return result;
    bool blank = true;
    for (uint8_t b : id) blank = blank && b == 0xFF;
    return blank ? commit(h) : fssFlashWrite(h, address, sizeof id, id, nullptr, false, true);
}

TcsResult fssWriteSectorHdr(FssHandle* h, uint16_t index, uint16_t eraseCount, bool withIdCopy, const uint8_t* id) {
    FssMount* m = h->mount;
    const uint32_t base = m->sectors[index].address;
    m->changed = 1;
    TcsResult result = TCS_RESULT_OK;
    if (withIdCopy) result = fssFlashWrite(h, base, kIdBlockSize, id, nullptr, false, false);
    if (result != TCS_RESULT_OK) return result;
    uint8_t middle[7] = {kPageSectorHdr, 0, 0, kFormatVersion[0], kFormatVersion[1], kFormatVersion[2],
                         kFormatVersion[3]};
    fssWriteShort_a(middle + 1, kPageSize);
    result = fssFlashWrite(h, base + kHdrPageType, sizeof middle, middle, nullptr, false, false);
    if (result != TCS_RESULT_OK) return result;
    uint8_t typeAndCount[3] = {kSectorFree, 0, 0};
    fssWriteShort_a(typeAndCount + 1, eraseCount);
    return fssFlashWrite(h, base + kHdrType, sizeof typeAndCount, typeAndCount, nullptr, false, false);
}

TcsResult fssFormatSector(FssHandle* h, uint16_t index) {
    FssMount* m = h->mount;
    SectorState& s = m->sectors[index];
    TcsResult result = fssEraseSector(h, s.address);
    if (result != TCS_RESULT_OK) return result;
    const uint16_t eraseCount = uint16_t(s.eraseCount + 1);
    result = fssWriteSectorHdr(h, index, eraseCount, false, nullptr);
    s = SectorState{s.address, 1, 0, 1, kSectorFree, eraseCount};
    if (result != TCS_RESULT_OK) return result;
    return commit(h);
}

TcsResult freePages(FssHandle* h, int64_t* outPages) {
    *outPages = freePagesOf(h->mount);
    return *outPages < 0 ? TCS_RESULT_INVALID : TCS_RESULT_OK;
}

TcsResult makeRoom(FssHandle* h) {
    uint32_t ok = 0;
    const TcsResult result = fssTriggerEraseAlgorithm(h, kPageSize, &ok);
    if (ok) return TCS_RESULT_OK;
    return result != TCS_RESULT_OK && result != FSS_RESULT_NO_ROOM ? result : FSS_RESULT_NO_ROOM;
}

namespace {

// The list that holds a page: the node's current version or the version an open file is writing.
PageLoc* ownerOf(FssMount* m, uint32_t address, uint16_t inode) {
    auto it = m->inodes.find(inode);
    if (it != m->inodes.end()) {
        for (PageLoc& p : it->second->pages) {
            if (p.address == address) return &p;
        }
    }
    for (FssFile* f : m->files) {
        if (f == nullptr || f->inode != inode) continue;
        for (PageLoc& p : f->newPages) {
            if (p.address == address) return &p;
        }
    }
    return nullptr;
}

// A whole page, header included, into the next page of a fresh sector, which is marked used.
TcsResult fssWriteDataToOtherLoc(const uint8_t* page, FssHandle* h, uint32_t* outAddress) {
    return writeNewPage(h, page, 0, false, false, outAddress);
}

// Copies a sector's live pages to fresh sectors, then marks the source 0, the targets 14, and
// formats the source. A power loss at any point leaves one complete copy (see the mount's repair).
TcsResult collectSector(FssHandle* h, uint16_t source) {
    FssMount* m = h->mount;
    const uint32_t base = m->sectors[source].address;
    std::vector<uint16_t> targets;
    TcsResult result = TCS_RESULT_OK;
    for (uint16_t p = 1; p <= m->lastPage && p < m->sectors[source].nextFree; ++p) {
        uint8_t page[kPageSize];
        result = flashRead(h, base + uint32_t(p) * kPageSize, kPageSize, page);
        if (result != TCS_RESULT_OK) return result;
        if (page[kPgObsolete] == 1 || page[kPgType] == kPageFree) continue;
        const uint16_t inode =
            fssReadShort_a(page + (page[kPgType] == kPageDataType ? kDataInode : kMetaInode));
        // Matched by address rather than by fragment: a version still being written shares its
        // fragment numbers with the node's committed one.
        PageLoc* owner = ownerOf(m, base + uint32_t(p) * kPageSize, inode);
        if (owner == nullptr) continue;
        uint32_t placed = 0;
        result = fssWriteDataToOtherLoc(page, h, &placed);
        if (result != TCS_RESULT_OK) return result;
        owner->address = placed;
        const uint16_t t = sectorOf(m, placed);
        if (std::find(targets.begin(), targets.end(), t) == targets.end()) targets.push_back(t);
    }
    result = commit(h);
    if (result != TCS_RESULT_OK) return result;
    result = fssMarkSector(h, source, kSectorMoving, m->sectors[source].eraseCount);
    if (result != TCS_RESULT_OK) return result;
    for (uint16_t t : targets) {
        result = fssMarkSector(h, t, kSectorData, m->sectors[t].eraseCount);
        if (result != TCS_RESULT_OK) return result;
    }
    return fssFormatSector(h, source);
}

}  // namespace

TcsResult fssTriggerEraseAlgorithm(FssHandle* h, uint32_t bytesNeeded, uint32_t* outOk) {
    FssMount* m = h->mount;
    *outOk = 0;
    if (freePagesOf(m) * int64_t(kPageSize) >= int64_t(bytesNeeded)) {
        *outOk = 1;
        return TCS_RESULT_OK;
    }
    if (m->collecting) return TCS_RESULT_OK;
    struct Collecting {
        FssMount* m;
        explicit Collecting(FssMount* mount) : m(mount) { m->collecting = true; }
        ~Collecting() { m->collecting = false; }
    } guard(m);

    struct Candidate {
        uint16_t sector, obsolete;
    };
    std::vector<Candidate> candidates;
    int64_t reclaimable = 0;
    uint32_t cacheInUse = 0;
    bool skippedFree = false, formatted = false;
    TcsResult result = TCS_RESULT_OK;
    for (uint16_t i = 0; i < m->sectorCount; ++i) {
        SectorState& s = m->sectors[i];
        if (s.type == kSectorCache) {
            ++cacheInUse;
            continue;
        }
        if (m->cacheSectors == 0 && s.type == kSectorFree && s.fresh && !skippedFree) {
            skippedFree = true;
            continue;
        }
        if (s.obsolete >= m->lastPage) {
            result = fssFormatSector(h, i);
            if (result != TCS_RESULT_OK) return result;
            formatted = true;
        }
        reclaimable += freeInSector(m, s) + s.obsolete;
        if (s.obsolete > 0) candidates.push_back({i, s.obsolete});
    }
    if (formatted) m->noRoom = 0;
    if (formatted && freePagesOf(m) * int64_t(kPageSize) >= int64_t(bytesNeeded)) {
        *outOk = 1;
        return TCS_RESULT_OK;
    }
    if (int64_t(bytesNeeded) > reclaimable * int64_t(kPageSize)) return TCS_RESULT_OK;

    bool cacheRemoved = false;
    if (m->cacheSectors > 0 && cacheInUse > 0) {
        result = fssRmSysFile(h);
        if (result != TCS_RESULT_OK && result != FSS_RESULT_NOT_FOUND) return result;
        for (uint16_t i = 0; i < m->sectorCount; ++i) {
            if (m->sectors[i].type != kSectorCache) continue;
            result = fssFormatSector(h, i);
            if (result != TCS_RESULT_OK) return result;
        }
        cacheRemoved = true;
        formatted = true;
    }
    bool freshExists = false;
    for (const SectorState& s : m->sectors) freshExists = freshExists || (s.type == kSectorFree && s.fresh);
    if (!freshExists) return TCS_RESULT_OK;

    // Ascending by obsolete count, equal counts keeping their order; taken from the end.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.obsolete < b.obsolete; });
    while (!candidates.empty()) {
        const uint16_t source = candidates.back().sector;
        candidates.pop_back();
        if (m->sectors[source].obsolete == 0) continue;
        result = collectSector(h, source);
        if (result != TCS_RESULT_OK) break;
        formatted = true;
        if (freePagesOf(m) * int64_t(kPageSize) >= int64_t(bytesNeeded)) {
            *outOk = 1;
            break;
        }
    }
    if (formatted) m->noRoom = 0;
    if (cacheRemoved && m->root != nullptr) {
        const TcsResult cacheResult = fssWriteSystemFile(h);
        if (result == TCS_RESULT_OK) result = cacheResult;
    }
    return result;
}

}  // namespace fssdetail
