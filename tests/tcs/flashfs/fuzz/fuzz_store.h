// What the file-system fuzz targets share: a small NOR flash in memory (writes only clear bits,
// erases work in 64 KiB blocks) as a store's backend, and the platform services the file system
// calls, stood in for because the fuzz compiler does not build the platform library. Included by
// exactly one source file of each target.
#pragma once

#include "tcs/flashfs/fss.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace fuzzstore {

constexpr uint32_t kStore = 262144;
inline std::vector<uint8_t> gFlash;

inline TcsResult info(void*, uint32_t* capacity, uint32_t* store) {
    *capacity = kStore;
    *store = kStore;
    return TCS_RESULT_OK;
}
inline TcsResult read(void*, uint32_t address, uint32_t length, void* out) {
    if (uint64_t(address) + length > gFlash.size()) return TCS_RESULT_BAD_PARAM;
    memcpy(out, gFlash.data() + address, length);
    return TCS_RESULT_OK;
}
inline TcsResult write(void*, uint32_t address, uint32_t length, const void* data, uint32_t) {
    if (uint64_t(address) + length > gFlash.size()) return TCS_RESULT_BAD_PARAM;
    const auto* in = static_cast<const uint8_t*>(data);
    for (uint32_t i = 0; i < length; ++i) gFlash[address + i] &= in[i];
    return TCS_RESULT_OK;
}
inline TcsResult commit(void*) { return TCS_RESULT_OK; }
inline TcsResult bulkErase(void*) {
    gFlash.assign(kStore, 0xFF);
    return TCS_RESULT_OK;
}
inline TcsResult sectorErase(void*, uint32_t address, uint32_t count) {
    const uint64_t start = address - address % 65536, end = start + uint64_t(count) * 65536;
    if (end > gFlash.size()) return TCS_RESULT_BAD_PARAM;
    memset(gFlash.data() + start, 0xFF, end - start);
    return TCS_RESULT_OK;
}
inline TcsResult uninit(void*) { return TCS_RESULT_OK; }
constexpr FssBackendOps kOps = {info, read, write, commit, bulkErase, sectorErase, uninit};

// A handle over the in-memory flash (not yet opened or formatted).
inline FssHandle* newHandle() {
    FssHandle* h = nullptr;
    fssCreateHandle(nullptr, 0x7F, &h, nullptr);
    h->ops = kOps;
    h->backend = &gFlash;
    return h;
}

}  // namespace fuzzstore

// Plain heap, a fixed clock, a bitwise CRC-32, and backend slots of the host image and the sensor,
// which are never reached here.
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
}  // extern "C"
