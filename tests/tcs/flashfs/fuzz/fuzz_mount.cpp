// Fuzzes the mount of a damaged store: the input flips bytes of a small store holding a tree and
// its mount cache; the open, a walk over every file and one write must never crash.
#include "tcs/flashfs/fss_internal.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

constexpr uint32_t kStore = 262144;
std::vector<uint8_t> gFlash;

TcsResult info(void*, uint32_t* capacity, uint32_t* store) {
    *capacity = kStore;
    *store = kStore;
    return TCS_RESULT_OK;
}
TcsResult read(void*, uint32_t address, uint32_t length, void* out) {
    if (uint64_t(address) + length > gFlash.size()) return TCS_RESULT_BAD_PARAM;
    memcpy(out, gFlash.data() + address, length);
    return TCS_RESULT_OK;
}
TcsResult write(void*, uint32_t address, uint32_t length, const void* data, uint32_t) {
    if (uint64_t(address) + length > gFlash.size()) return TCS_RESULT_BAD_PARAM;
    const auto* in = static_cast<const uint8_t*>(data);
    for (uint32_t i = 0; i < length; ++i) gFlash[address + i] &= in[i];
    return TCS_RESULT_OK;
}
TcsResult commit(void*) { return TCS_RESULT_OK; }
TcsResult bulkErase(void*) {
    gFlash.assign(kStore, 0xFF);
    return TCS_RESULT_OK;
}
TcsResult sectorErase(void*, uint32_t address, uint32_t count) {
    const uint64_t start = address - address % 65536, end = start + uint64_t(count) * 65536;
    if (end > gFlash.size()) return TCS_RESULT_BAD_PARAM;
    memset(gFlash.data() + start, 0xFF, end - start);
    return TCS_RESULT_OK;
}
TcsResult uninit(void*) { return TCS_RESULT_OK; }
constexpr FssBackendOps kOps = {info, read, write, commit, bulkErase, sectorErase, uninit};

FssHandle* handle() {
    FssHandle* h = nullptr;
    fssCreateHandle(nullptr, 0x7F, &h, nullptr);
    h->ops = kOps;
    h->backend = &gFlash;
    return h;
}

void writeFile(FssHandle* h, const char* path, uint32_t size) {
    FssFile* f = nullptr;
    if (fssFileOpen(h, path, "w", &f) != TCS_RESULT_OK) return;
    std::vector<uint8_t> data(size, uint8_t(size));
    uint32_t n = 0;
    fssFileWrite(data.data(), 1, size, f, &n);
    fssFileClose(f);
}

const std::vector<uint8_t>& templateStore() {
    static std::vector<uint8_t> store;
    if (store.empty()) {
        gFlash.assign(kStore, 0xFF);
        FssHandle* h = handle();
        fssFormat(h);
        fssMkdir(h, "/db");
        fssMkdir(h, "/db/u");
        for (int i = 0; i < 6; ++i) writeFile(h, ("/db/u/f" + std::to_string(i)).c_str(), 100 + 400 * i);
        writeFile(h, "/db/u/f2", 900);
        fssClose(h);
        store = gFlash;
    }
    return store;
}

}  // namespace

// The platform services the file system calls, standing in for the platform library, which this
// compiler does not build: plain heap, a fixed clock, a bitwise CRC-32 and empty backend slots
// (the host image and the sensor are never reached here).
extern "C" {
void* palRealMalloc(uint32_t size) { return malloc(size); }
void palRealFree(void* block) { free(block); }
uint32_t palGetSecondsSinceEpoch(void) { return 0x5F000000; }
TcsResult palCryptoChecksum(uint32_t start, uint32_t* out, const uint8_t* data, uint32_t length, uint32_t) {
    uint32_t crc = ~start;
    for (uint32_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    *out = ~crc;
    return TCS_RESULT_OK;
}
TcsResult palFssFileDBInit(void*, const char*, void**) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult palFssGetFileDBSize(void*, uint32_t*, uint32_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult palFssReadFileDB(void*, uint32_t, uint16_t, void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult palFssWriteFileDB(void*, uint32_t, uint16_t, const void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult _palFssWriteFileDB(void*, uint32_t, uint16_t, const void*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult palFssSectorEraseFileDB(void*, uint32_t, uint16_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult palFssBulkEraseFileDB(void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult palFssCommitFileDB(void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult palFssFileDBUninit(void*) { return TCS_RESULT_OK; }
TcsResult _xtfsGetFlashInfo(void*, uint32_t*, uint32_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult _xtfsReadFlash(void*, uint32_t, uint32_t, void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult _xtfsWriteFlash(void*, uint32_t, uint32_t, const void*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult _xtfsCommitFlash(void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult _xtfsBulkEraseFlash(void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult _xtfsSectorEraseFlash(void*, uint32_t, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult _xtfsSPIUninit(void*) { return TCS_RESULT_OK; }

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    gFlash = templateStore();
    // Each 4 input bytes: a 24-bit offset into the first page of a sector or its header region
    // when small, anywhere otherwise, and the byte to put there.
    for (size_t i = 0; i + 4 <= size; i += 4) {
        const uint32_t offset = (uint32_t(data[i]) | uint32_t(data[i + 1]) << 8 | uint32_t(data[i + 2]) << 16) % kStore;
        gFlash[offset] = data[i + 3];
    }
    FssHandle* h = handle();
    if (fssdetail::openHandle(h) == TCS_RESULT_OK && h->mount->root != nullptr) {
        FssDirListing* l = nullptr;
        if (fssDirOpen(h, "/db/u", &l) == TCS_RESULT_OK) {
            for (const FssDirEntry* e = fssDirRead(l); e != nullptr; e = fssDirRead(l)) {
                FssFile* f = nullptr;
                if (fssFileOpen(h, (std::string("/db/u/") + e->name).c_str(), "r", &f) != TCS_RESULT_OK) continue;
                uint8_t buf[512];
                uint32_t n = 0;
                while (fssFileRead(buf, 1, sizeof buf, f, &n) == TCS_RESULT_OK) {
                }
                fssFileClose(f);
            }
            fssDirClose(l);
        }
        writeFile(h, "/db/u/new", 700);
    }
    fssClose(h);
    return 0;
}
}
