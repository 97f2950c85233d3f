// Flash file system operations on files and directories: format, make and remove, open, read,
// write, close, listings, directory attribute bytes and free space.
#include "platform/clock.h"
#include "tcs/flashfs/fss_internal.h"

#include <string.h>

#include <algorithm>
#include <new>

using namespace fssdetail;

namespace {

struct Resolved {
    Node* parent = nullptr;
    Node* node = nullptr;  // the named node when it exists
    // A copy: making room may write the mount cache file, whose path goes through the same split.
    char name[kMaxName + 1] = {};
};

// 393 when the last component exists, 0 when it does not; an empty tree gives 0 with no parent.
TcsResult fssChkPath(FssHandle* h, const char* path, Resolved* out) {
    FssMount* m = h->mount;
    TcsResult result = splitPath(path, &m->split);
    if (result != TCS_RESULT_OK) return result;
    const SplitPath& sp = m->split;
    memcpy(out->name, sp.parts[sp.count - 1], sizeof out->name);
    if (m->root == nullptr) return TCS_RESULT_OK;
    if (strcmp(sp.parts[0], m->root->name) != 0) return FSS_RESULT_NO_PARENT;
    if (sp.count == 1) {
        out->node = m->root;
        return FSS_RESULT_EXISTS;
    }
    Node* dir = m->root;
    for (uint32_t i = 1; i + 1 < sp.count; ++i) {
        dir = findChild(dir, sp.parts[i]);
        if (dir == nullptr || dir->type != kNodeDir) return FSS_RESULT_NO_PARENT;
    }
    out->parent = dir;
    out->node = findChild(dir, out->name);
    return out->node != nullptr ? FSS_RESULT_EXISTS : TCS_RESULT_OK;
}

// Lookups and listings see only the first 200 entries of a directory, so a 201st is refused:
// made anyway, it could be neither found nor listed, and a second file of its name would follow.
// The mount cache file's name in the root is the system's: a caller's file of that name would be
// taken for the cache and deleted at the next change.
bool reservedName(const Node* parent, const char* name) {
    return parent != nullptr && parent->parent == nullptr && strcmp(name, kCacheName) == 0;
}

bool directoryFull(const Node* dir) {
    uint32_t count = 0;
    for (const Node* c = dir->child; c != nullptr; c = c->sibling) count += c->type != kPageFree ? 1 : 0;
    return count >= kMaxDirEntries;
}

TcsResult checkHandle(FssHandle* h) {
    if (h == nullptr) return TCS_RESULT_INVALID_HANDLE;
    return h->mount != nullptr && h->valid ? TCS_RESULT_OK : TCS_RESULT_INVALID;
}

TcsResult checkPathArg(const char* path) {
    if (path == nullptr) return TCS_RESULT_NULL_POINTER;
    const size_t length = strnlen(path, kMaxPath + 1);
    return length == 0 || length > kMaxPath ? TCS_RESULT_BAD_PARAM : TCS_RESULT_OK;
}

void fillMetaHeader(uint8_t* page, uint8_t type, uint8_t seq, const char* name, uint16_t inode, uint16_t parent) {
    page[kPgType] = type;
    page[kPgSeq] = seq;
    memset(page + kMetaName, 0, kMaxName);
    memcpy(page + kMetaName, name, strnlen(name, kMaxName));
    fssWriteShort_a(page + kMetaInode, inode);
    fssWriteShort_a(page + kMetaParent, parent);
}

TcsResult writeCommitByte(FssHandle* h, uint32_t metaAddress) {
    const uint8_t one = 1;
    return fssFlashWrite(h, metaAddress + kPgCommit, 1, &one, nullptr, false, true);
}

// Writes the page in the buffer as the file's next page (meta page for fragment 0).
TcsResult flushPage(FssFile* f) {
    uint8_t* page = f->page;
    if (f->fragment == 0) {
        fillMetaHeader(page, kNodeFile, f->seq, f->node->name, f->inode, f->parentInode);
        f->dataCrc = crcContinue(0, page + kMetaData, kMetaCapacity);
        f->crcDone = 1;
    } else {
        page[kPgType] = kPageDataType;
        page[kPgSeq] = f->seq;
        fssWriteShort_a(page + kDataInode, f->inode);
        fssWriteShort_a(page + kDataFragment, f->fragment);
        fssWriteInt_a(page + kPgCrc, pageCrc(page, kPageDataType));
    }
    uint32_t address = 0;
    const TcsResult result = writeNewPage(f->handle, page, kPgType, true, f->cache, &address);
    if (result != TCS_RESULT_OK) return result;
    f->newPages.push_back({address, f->fragment});
    ++f->fragment;
    memset(page, 0xFF, kPageSize);
    f->pos = kDataData;
    return TCS_RESULT_OK;
}

// Completes a version being written: the last page, the meta page's time, size and CRC, then the
// commit byte; the previous version's pages become obsolete only after that.
TcsResult completeWrite(FssFile* f) {
    FssHandle* h = f->handle;
    const uint32_t now = palGetSecondsSinceEpoch();
    TcsResult result = TCS_RESULT_OK;
    if (f->fragment == 0) {
        uint8_t* page = f->page;
        fillMetaHeader(page, f->node->type, f->seq, f->node->name, f->inode, f->parentInode);
        fssWriteInt_a(page + kMetaTime, now);
        fssWriteInt_a(page + kMetaSize, f->size);
        fssWriteInt_a(page + kPgCrc, pageCrc(page, kNodeFile));
        uint32_t address = 0;
        result = writeNewPage(h, page, kPgType, true, f->cache, &address);
        if (result != TCS_RESULT_OK) return result;
        f->newPages.push_back({address, 0});
        f->fragment = 1;
    } else {
        if (f->pos > kDataData) {
            result = flushPage(f);
            if (result != TCS_RESULT_OK) return result;
        }
        uint8_t fields[12];
        fssWriteInt_a(fields + 4, now);
        fssWriteInt_a(fields + 8, f->size);
        fssWriteInt_a(fields, crcContinue(f->dataCrc, fields + 4, 8));
        // The CRC continues over bytes 8-31 of the page on flash: its name and inodes.
        uint8_t rest[kMetaData - kMetaName];
        result = flashRead(h, f->newPages[0].address + kMetaName, sizeof rest, rest);
        if (result != TCS_RESULT_OK) return result;
        fssWriteInt_a(fields, crcContinue(crcContinue(f->dataCrc, fields + 4, 8), rest, sizeof rest));
        uint32_t moved = 0;
        result = fssFlashWrite(h, f->newPages[0].address + kPgCrc, sizeof fields, fields, &moved, f->cache, false);
        if (result != TCS_RESULT_OK) return result;
        f->newPages[0].address = moved - kPgCrc;
    }
    result = writeCommitByte(h, f->newPages[0].address);
    if (result != TCS_RESULT_OK) return result;
    // Taken again from the node: a collection while the file was open may have moved the old
    // version's pages, and marking the addresses seen at open would hit other files' pages.
    f->oldPages = f->node->pages;
    fssMarkOldObsolete(h, f->oldPages);
    f->node->pages = f->newPages;
    f->newPages.clear();
    f->node->version = f->seq;
    return commit(h);
}

void freeFile(FssFile* f) {
    FssMount* m = f->handle->mount;
    for (FssFile*& slot : m->files) {
        if (slot == f) slot = nullptr;
    }
    delete f;
}

TcsResult removeNamed(FssHandle* h, const char* path) {
    TcsResult result = checkHandle(h);
    if (result != TCS_RESULT_OK) return result;
    result = checkPathArg(path);
    if (result != TCS_RESULT_OK) return result;
    FssMount* m = h->mount;
    if (!m->changed) {
        result = fssRmSysFile(h);
        if (result != TCS_RESULT_OK && result != FSS_RESULT_NOT_FOUND) return result;
    }
    Resolved r;
    result = fssChkPath(h, path, &r);
    if (result == TCS_RESULT_OK) return FSS_RESULT_NOT_FOUND;
    if (result != FSS_RESULT_EXISTS) return result;
    Node* node = r.node;
    if (node->child != nullptr) return FSS_RESULT_NOT_EMPTY;
    if (openFileOf(m, node->inode) != nullptr) return FSS_RESULT_ALREADY_OPEN;
    if (node->type == kNodeCache) return TCS_RESULT_BAD_PARAM;
    return removeNode(h, node);
}

}  // namespace

namespace fssdetail {

TcsResult removeNode(FssHandle* h, Node* node) {
    const TcsResult result = fssMarkOldObsolete(h, node->pages);
    unlinkNode(h->mount, node);
    h->mount->changed = 1;
    const TcsResult committed = commit(h);
    return result != TCS_RESULT_OK ? result : committed;
}

TcsResult openFile(FssHandle* h, const char* path, const char* mode, bool cache, FssFile** outFile) {
    FssMount* m = h->mount;
    *outFile = nullptr;
    Resolved r;
    TcsResult result = fssChkPath(h, path, &r);
    if (result != TCS_RESULT_OK && result != FSS_RESULT_EXISTS) return result;
    const char letter = mode[0];
    Node* node = r.node;
    if (node != nullptr) {
        if (node->type == kNodeDir) return FSS_RESULT_BAD_NAME;
        if (letter != 'r' && letter != 'w') return FSS_RESULT_WRONG_MODE;
        // The mount cache file is written only by the file system itself.
        if (node->type == kNodeCache && letter == 'w' && !cache) return TCS_RESULT_BAD_PARAM;
        if (openFileOf(m, node->inode) != nullptr) return FSS_RESULT_ALREADY_OPEN;
    } else if (letter != 'w') {
        return FSS_RESULT_NOT_FOUND;
    }
    uint32_t slot = 0;
    while (slot < kMaxOpen && m->files[slot] != nullptr) ++slot;
    if (slot == kMaxOpen) return FSS_RESULT_TABLE_FULL;
    bool created = false;
    if (node == nullptr) {
        if (!cache) {
            result = makeRoom(h);
            if (result != TCS_RESULT_OK) return result;
        }
        if (m->root == nullptr) return FSS_RESULT_NO_ROOT;
        if (r.parent == nullptr) return FSS_RESULT_NO_PARENT;
        if (!cache && reservedName(r.parent, r.name)) return TCS_RESULT_BAD_PARAM;
        if (directoryFull(r.parent)) return FSS_RESULT_NO_ROOM;
        const uint16_t inode = nextInode(m);
        if (inode == 0) return FSS_RESULT_NO_ROOM;
        node = newNode(r.name, inode, r.parent->inode, cache ? kNodeCache : kNodeFile);
        if (node == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        linkChild(r.parent, node);
        m->inodes[inode] = node;
        created = true;
    }
    FssFile* f = new (std::nothrow) FssFile{};
    if (f == nullptr) {
        if (created) unlinkNode(m, node);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    memset(f->page, 0xFF, kPageSize);
    f->handle = h;
    f->node = node;
    f->inode = node->inode;
    f->parentInode = node->parentInode;
    f->open = 1;
    f->mode = uint8_t(letter);
    f->cache = cache;
    f->created = created;
    if (letter == 'w') {
        f->writeAllowed = 1;
        f->seq = uint8_t(node->version + 1);
        f->oldPages = node->pages;
        f->pos = kMetaData;
    } else {
        if (node->pages.empty()) {
            delete f;
            return FSS_RESULT_NOT_FOUND;
        }
        result = flashRead(h, node->pages[0].address, kPageSize, f->page);
        if (result == TCS_RESULT_OK && pageCrc(f->page, kNodeFile) != fssReadInt_a(f->page + kPgCrc)) {
            result = FSS_RESULT_BAD_CRC;
        }
        if (result != TCS_RESULT_OK) {
            delete f;
            return result;
        }
        f->size = fssReadInt_a(f->page + kMetaSize);
        f->pos = kMetaData;
        f->eof = f->size == 0 ? 1 : 0;
    }
    m->files[slot] = f;
    *outFile = f;
    return TCS_RESULT_OK;
}

TcsResult closeFile(FssFile* f) {
    TcsResult result = TCS_RESULT_OK;
    if (f->mode == 'w') {
        FssHandle* h = f->handle;
        result = completeWrite(f);
        if (result != TCS_RESULT_OK) {
            // The new version never got its commit byte: its pages are garbage, the old version stays.
            fssMarkOldObsolete(h, f->newPages);
            commit(h);
            // Only a node that never got a version on flash goes; one whose commit byte is
            // written keeps its pages even when a later step failed.
            if (f->created && f->node->pages.empty()) unlinkNode(h->mount, f->node);
        }
    }
    freeFile(f);
    return result;
}

// Drops open files and listings without writing anything: the store is about to be erased.
void discardAllOpen(FssMount* m) {
    for (FssFile*& f : m->files) {
        delete f;
        f = nullptr;
    }
    for (FssDirListing*& l : m->listings) {
        delete l;
        l = nullptr;
    }
}

TcsResult closeAllOpen(FssHandle* h) {
    FssMount* m = h->mount;
    TcsResult first = TCS_RESULT_OK;
    for (FssFile*& f : m->files) {
        if (f == nullptr) continue;
        const TcsResult result = closeFile(f);
        if (first == TCS_RESULT_OK) first = result;
    }
    for (FssDirListing*& l : m->listings) {
        delete l;
        l = nullptr;
    }
    return first;
}

}  // namespace fssdetail

extern "C" {

TcsResult fssFormat(FssHandle* handle) {
    if (handle == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (handle->ops.bulkErase == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
    if (handle->mount == nullptr) {
        handle->mount = new (std::nothrow) FssMount{};
        if (handle->mount == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    }
    FssMount* m = handle->mount;
    TcsResult result = readGeometry(handle);
    if (result != TCS_RESULT_OK) return result;
    uint8_t id[kIdBlockSize];
    result = flashRead(handle, 0, sizeof id, id);
    if (result != TCS_RESULT_OK) return result;
    // Wear counts survive the bulk erase: each sector's header is read first.
    std::vector<uint16_t> counts(m->sectorCount, 0);
    for (uint16_t i = 0; i < m->sectorCount; ++i) {
        uint8_t hdr[kVersionCheckSize];
        if (flashRead(handle, m->sectors[i].address, sizeof hdr, hdr) != TCS_RESULT_OK) continue;
        if (hdr[kHdrPageType] == kPageSectorHdr && fssReadShort_a(hdr + kHdrEraseCount) != 0xFFFF) {
            counts[i] = fssReadShort_a(hdr + kHdrEraseCount);
        }
    }
    discardAllOpen(m);
    result = handle->ops.bulkErase(handle->backend);
    if (result != TCS_RESULT_OK) return result;
    const bool hasId = fssReadInt_a(id) == kStoreMagic;
    if (hasId) {
        result = fssFlashWrite(handle, 0, sizeof id, id, nullptr, false, false);
        if (result != TCS_RESULT_OK) return result;
    }
    m->cacheLocations.clear();
    freeTree(m);
    result = readGeometry(handle);
    if (result != TCS_RESULT_OK) return result;
    m->highestInode = 0;
    m->noRoom = 0;
    for (uint16_t i = 0; i < m->sectorCount; ++i) {
        const uint16_t eraseCount = uint16_t(counts[i] + 1);
        result = fssWriteSectorHdr(handle, i, eraseCount, hasId && i > 0, id);
        if (result != TCS_RESULT_OK) return result;
        m->sectors[i].eraseCount = eraseCount;
    }
    m->currentSector = 0;
    handle->valid = 1;
    if (handle->refCount == 0) handle->refCount = 1;
    return commit(handle);
}

TcsResult fssFormatDB(ScsSensor* sensor, uint8_t kind, const char* rootPath, const char* storeUrl) {
    FssHandle* handle = nullptr;
    TcsResult result = fssCreateHandle(sensor, kind, &handle, storeUrl);
    if (result != TCS_RESULT_OK) return result;
    result = fssFormat(handle);
    if (result == TCS_RESULT_OK) result = fssMkdir(handle, rootPath);
    const TcsResult closed = fssClose(handle);
    return result != TCS_RESULT_OK ? result : closed;
}

TcsResult fssMkdir(FssHandle* handle, const char* path) {
    TcsResult result = checkHandle(handle);
    if (result != TCS_RESULT_OK) return result;
    result = checkPathArg(path);
    if (result != TCS_RESULT_OK) return result;
    result = makeRoom(handle);
    if (result != TCS_RESULT_OK) return result;
    FssMount* m = handle->mount;
    Resolved r;
    result = fssChkPath(handle, path, &r);
    if (result != TCS_RESULT_OK) return result;
    // Only a one-component path may make the root: "/a/b" in an empty tree has no parent "a".
    if (r.parent == nullptr && m->split.count > 1) return FSS_RESULT_NO_PARENT;
    if (reservedName(r.parent, r.name)) return TCS_RESULT_BAD_PARAM;
    if (r.parent != nullptr && directoryFull(r.parent)) return FSS_RESULT_NO_ROOM;
    const uint16_t inode = nextInode(m);
    if (inode == 0) return FSS_RESULT_NO_ROOM;
    const uint16_t parentInode = r.parent != nullptr ? r.parent->inode : inode;
    Node* node = newNode(r.name, inode, parentInode, kNodeDir);
    if (node == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    node->version = 1;
    m->inodes[inode] = node;
    if (r.parent != nullptr) {
        linkChild(r.parent, node);
    } else {
        m->root = node;
    }
    uint8_t page[kPageSize];
    memset(page, 0xFF, sizeof page);
    fillMetaHeader(page, kNodeDir, 1, r.name, inode, parentInode);
    fssWriteInt_a(page + kMetaTime, palGetSecondsSinceEpoch());
    fssWriteInt_a(page + kMetaSize, kDirSize);
    fssWriteInt_a(page + kPgCrc, pageCrc(page, kNodeDir));
    uint32_t address = 0;
    result = writeNewPage(handle, page, kPgType, true, false, &address);
    if (result == TCS_RESULT_OK) {
        node->pages.push_back({address, 0});
        result = writeCommitByte(handle, address);
        if (result != TCS_RESULT_OK) fssMarkOldObsolete(handle, node->pages);
    }
    if (result != TCS_RESULT_OK) unlinkNode(m, node);
    return result;
}

TcsResult fssRmdir(FssHandle* handle, const char* path) { return removeNamed(handle, path); }

TcsResult fssFileRemove(FssHandle* handle, const char* path) { return removeNamed(handle, path); }

TcsResult fssFileOpen(FssHandle* handle, const char* path, const char* mode, FssFile** outFile) {
    TcsResult result = checkHandle(handle);
    if (result != TCS_RESULT_OK) return result;
    if (mode == nullptr || outFile == nullptr) return TCS_RESULT_NULL_POINTER;
    *outFile = nullptr;
    result = checkPathArg(path);
    if (result != TCS_RESULT_OK) return result;
    return openFile(handle, path, mode, false, outFile);
}

TcsResult fssFileRead(void* buffer, uint32_t size, uint32_t count, FssFile* file, uint32_t* outRead) {
    if (buffer == nullptr || file == nullptr || outRead == nullptr) return TCS_RESULT_NULL_POINTER;
    *outRead = 0;
    if (file->mode != 'r') return FSS_RESULT_WRONG_MODE;
    if (!file->open) return FSS_RESULT_NOT_FOUND;
    const uint64_t wanted = uint64_t(size) * count;
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t done = 0;
    while (done < wanted && file->readPos < file->size) {
        if (file->pos == kPageSize) {
            const uint16_t next = uint16_t(file->fragment + 1);
            const std::vector<PageLoc>& pages = file->node->pages;
            if (next >= pages.size() || pages[next].fragment != next) return FSS_RESULT_BAD_CRC;
            TcsResult result = flashRead(file->handle, pages[next].address, kPageSize, file->page);
            if (result == TCS_RESULT_OK && (file->page[kPgType] != kPageDataType ||
                                            pageCrc(file->page, kPageDataType) != fssReadInt_a(file->page + kPgCrc))) {
                result = FSS_RESULT_BAD_CRC;
            }
            if (result != TCS_RESULT_OK) return result;
            file->fragment = next;
            file->pos = kDataData;
        }
        const uint64_t piece =
            std::min<uint64_t>({wanted - done, kPageSize - file->pos, uint64_t(file->size - file->readPos)});
        memcpy(out + done, file->page + file->pos, piece);
        done += piece;
        file->pos = uint16_t(file->pos + piece);
        file->readPos += uint32_t(piece);
        *outRead = uint32_t(done);
    }
    if (file->readPos >= file->size) file->eof = 1;
    return done < wanted ? TCS_RESULT_EOF : TCS_RESULT_OK;
}

TcsResult fssFileWrite(const void* buffer, uint32_t size, uint32_t count, FssFile* file, uint32_t* outWritten) {
    if (buffer == nullptr || file == nullptr || outWritten == nullptr) return TCS_RESULT_NULL_POINTER;
    *outWritten = 0;
    if (file->mode != 'w' || !file->writeAllowed) return FSS_RESULT_WRONG_MODE;
    const uint64_t wanted = uint64_t(size) * count;
    if (uint64_t(file->size) + wanted > 0xFFFFFFFFull) return TCS_RESULT_BAD_PARAM;
    const auto* in = static_cast<const uint8_t*>(buffer);
    uint64_t done = 0;
    while (done < wanted) {
        // A full page goes out only when more data follows, so a file that fits its meta page
        // exactly is written whole at close.
        if (file->pos == kPageSize) {
            const TcsResult result = flushPage(file);
            if (result != TCS_RESULT_OK) return result;
        }
        const uint64_t piece = std::min<uint64_t>(wanted - done, kPageSize - file->pos);
        memcpy(file->page + file->pos, in + done, piece);
        file->pos = uint16_t(file->pos + piece);
        file->size += uint32_t(piece);
        done += piece;
        *outWritten = uint32_t(done);
    }
    return TCS_RESULT_OK;
}

uint32_t fssFileEof(FssFile* file) { return file == nullptr || file->eof ? 1 : 0; }

TcsResult fssFileClose(FssFile* file) {
    if (file == nullptr) return TCS_RESULT_NULL_POINTER;
    return closeFile(file);
}

TcsResult fssFileInfo(FssHandle* handle, const char* path, FssFileInfoRecord* outInfo) {
    TcsResult result = checkHandle(handle);
    if (result != TCS_RESULT_OK) return result;
    if (outInfo == nullptr) return TCS_RESULT_NULL_POINTER;
    result = checkPathArg(path);
    if (result != TCS_RESULT_OK) return result;
    Resolved r;
    result = fssChkPath(handle, path, &r);
    if (result == TCS_RESULT_OK) return FSS_RESULT_NOT_FOUND;
    if (result != FSS_RESULT_EXISTS) return result;
    if (r.node->type == kNodeDir || r.node->pages.empty()) return FSS_RESULT_NOT_FOUND;
    uint8_t page[kPageSize];
    result = flashRead(handle, r.node->pages[0].address, kPageSize, page);
    if (result != TCS_RESULT_OK) return result;
    if (pageCrc(page, kNodeFile) != fssReadInt_a(page + kPgCrc)) return FSS_RESULT_BAD_CRC;
    outInfo->size = fssReadInt_a(page + kMetaSize);
    outInfo->one = 1;
    return TCS_RESULT_OK;
}

TcsResult fssDirOpen(FssHandle* handle, const char* path, FssDirListing** outListing) {
    TcsResult result = checkHandle(handle);
    if (result != TCS_RESULT_OK) return result;
    if (outListing == nullptr) return TCS_RESULT_NULL_POINTER;
    *outListing = nullptr;
    result = checkPathArg(path);
    if (result != TCS_RESULT_OK) return result;
    Resolved r;
    result = fssChkPath(handle, path, &r);
    if (result == TCS_RESULT_OK) return FSS_RESULT_NOT_FOUND;
    if (result != FSS_RESULT_EXISTS) return result;
    if (r.node->type != kNodeDir) return FSS_RESULT_NOT_FOUND;
    FssMount* m = handle->mount;
    uint32_t slot = 0;
    while (slot < kMaxOpen && m->listings[slot] != nullptr) ++slot;
    if (slot == kMaxOpen) return FSS_RESULT_TABLE_FULL;
    auto* listing = new (std::nothrow) FssDirListing{};
    if (listing == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    listing->handle = handle;
    for (Node* c = r.node->child; c != nullptr && listing->count < kMaxDirEntries; c = c->sibling) {
        if (c->type != kNodeDir && c->type != kNodeFile) continue;
        FssDirEntry& e = listing->entries[listing->count++];
        e.type = c->type;
        memcpy(e.name, c->name, sizeof e.name);
    }
    m->listings[slot] = listing;
    *outListing = listing;
    return TCS_RESULT_OK;
}

const FssDirEntry* fssDirRead(FssDirListing* listing) {
    if (listing == nullptr || listing->readIndex >= listing->count) return nullptr;
    return &listing->entries[listing->readIndex++];
}

TcsResult fssDirClose(FssDirListing* listing) {
    if (listing == nullptr) return TCS_RESULT_NULL_POINTER;
    FssMount* m = listing->handle->mount;
    if (m != nullptr) {
        for (FssDirListing*& slot : m->listings) {
            if (slot == listing) slot = nullptr;
        }
    }
    delete listing;
    return TCS_RESULT_OK;
}

TcsResult fssSetGetDirAttrib(FssHandle* handle, const char* path, void* buffer, uint32_t length, uint32_t set) {
    TcsResult result = checkHandle(handle);
    if (result != TCS_RESULT_OK) return result;
    if (buffer == nullptr) return TCS_RESULT_NULL_POINTER;
    result = checkPathArg(path);
    if (result != TCS_RESULT_OK) return result;
    // The attribute area ends with the page.
    if (length == 0 || length > kPageSize - kAttribOffset) return TCS_RESULT_BAD_PARAM;
    Resolved r;
    result = fssChkPath(handle, path, &r);
    if (result == TCS_RESULT_OK) return FSS_RESULT_NOT_FOUND;
    if (result != FSS_RESULT_EXISTS) return result;
    if (r.node->type != kNodeDir || r.node->pages.empty()) return FSS_RESULT_NOT_FOUND;
    const uint32_t at = r.node->pages[0].address + kAttribOffset;
    if (set) return fssFlashWrite(handle, at, length, buffer, nullptr, false, true);
    return flashRead(handle, at, length, buffer);
}

TcsResult fssGetFreeSpace(FssHandle* handle, uint32_t* outBytes) {
    TcsResult result = checkHandle(handle);
    if (result != TCS_RESULT_OK) return result;
    if (outBytes == nullptr) return TCS_RESULT_NULL_POINTER;
    int64_t pages = 0;
    result = freePages(handle, &pages);
    *outBytes = result == TCS_RESULT_OK ? uint32_t(std::min<int64_t>(pages * kPageSize, 0xFFFFFFFF)) : 0;
    return result;
}

}  // extern "C"
