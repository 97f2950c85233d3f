// The file-system partition's place on flash and its erase: the type-7 entry on secured sensors,
// the flash above the pre-boot area on unsecured ones.
#include "platform/memory.h"
#include "tcs/flashfs/flash_internal.h"
#include "tcs/flashfs/xtfs_mirror.h"

#include <string.h>

using xtfsdetail::DeviceRef;
using xtfsdetail::infoOf;

namespace {

constexpr uint32_t kPreBootEnd = 0x40000;
constexpr uint8_t kPbaMagic[4] = {'_', 'V', 'E', 'H'};
constexpr uint32_t kDefaultFssBase = 0x50000, kDefaultFssSize = 0x30000;
constexpr uint32_t kAesDefaultSlot = XTFS_TABLE_ENTRIES - 1;
constexpr uint8_t kLoaded = 1;

uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Base and size from the partition table (raw partition open).
TcsResult placeFromTable(ScsSensor* sensor, XtfsStorageInfo* info, uint32_t* base, uint32_t* size) {
    if (info->rawOpen == 0 || info->rawImage == nullptr) return XTFS_RESULT_RAW_NOT_OPEN;
    // Area entries may sit in any slot (layout 0x21 keeps its default in the last one): look at all.
    for (uint32_t i = 0; i < XTFS_TABLE_ENTRIES; ++i) {
        const uint8_t* p = info->rawImage + 4 + i * XTFS_ENTRY_SIZE;
        if (p[0] == XTFS_ENTRY_FSS) {
            *base = le32(p + 1);
            *size = le32(p + 5);
            return TCS_RESULT_OK;
        }
    }
    if (info->layout != XTFS_LAYOUT_AES) return XTFS_RESULT_BAD_TABLE;
    uint8_t* p = info->rawImage + 4 + kAesDefaultSlot * XTFS_ENTRY_SIZE;
    // The slot must still be blank, or programming the entry would mix it with what is there.
    if (!IsBlankBuffer(p, XTFS_ENTRY_SIZE)) return XTFS_RESULT_BAD_TABLE;
    p[0] = XTFS_ENTRY_FSS;
    putLe32(p + 1, kDefaultFssBase);
    putLe32(p + 5, kDefaultFssSize);
    if (!info->deferWrites) {
        const TcsResult result = xtfsdetail::writeRawData(sensor, info->rawBase, info->rawImage, XTFS_PAGE_SIZE);
        if (result != TCS_RESULT_OK) {
            memset(p, 0xFF, XTFS_ENTRY_SIZE);
            return result;
        }
    }
    *base = kDefaultFssBase;
    *size = kDefaultFssSize;
    return TCS_RESULT_OK;
}

// Encryption is on while the table holds the wrapped file-system key.
bool hasKeyEntry(const XtfsStorageInfo* info) {
    if (info->rawImage == nullptr) return false;
    for (uint32_t i = 0; i < XTFS_TABLE_ENTRIES; ++i) {
        const uint8_t type = info->rawImage[4 + i * XTFS_ENTRY_SIZE];
        if (type == XTFS_ENTRY_EMPTY) return false;
        if (type == XTFS_ENTRY_FSS_KEY) return true;
    }
    return false;
}

}  // namespace

namespace xtfsdetail {

TcsResult openFss(ScsSensor* sensor, ScsSensorDevice* device, XtfsStorageInfo* info) {
    uint32_t base = 0, size = info->capacity;
    if (isSecured(device)) {
        const TcsResult result = placeFromTable(sensor, info, &base, &size);
        if (result != TCS_RESULT_OK) return result;
    } else if (info->capacity > kPreBootEnd) {
        uint8_t page[XTFS_PAGE_SIZE];
        const TcsResult result = PageReadRaw(sensor, 0, page);
        if (result != TCS_RESULT_OK) return result;
        if (IsBlankPage(page) || memcmp(page, kPbaMagic, sizeof kPbaMagic) == 0) {
            base = kPreBootEnd;
            size = info->capacity - kPreBootEnd;
        }
    }
    // Checked against the end too: an entry inside the capacity but reaching past it is as wrong.
    if (size == 0 || size > info->capacity || uint64_t(base) + size > info->capacity || info->blockSize == 0) {
        return XTFS_RESULT_BAD_TABLE;
    }
    // Commit erases whole blocks from the base on: a partition that is not made of whole blocks
    // would take the neighbouring partition's bytes with them.
    if (base % info->blockSize != 0 || size % info->blockSize != 0) return XTFS_RESULT_BAD_TABLE;
    const uint32_t blocks = (size + info->blockSize - 1) / info->blockSize;
    const uint32_t pages = (size + XTFS_PAGE_SIZE - 1) / XTFS_PAGE_SIZE;
    info->fssMirror = static_cast<uint8_t*>(palRealMalloc(size));
    info->fssBlockMap = static_cast<uint8_t*>(palRealMalloc(blocks));
    info->fssPageMap = static_cast<uint8_t*>(palRealMalloc(pages));
    if (info->fssMirror == nullptr || info->fssBlockMap == nullptr || info->fssPageMap == nullptr) {
        freeFss(info);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    memset(info->fssMirror, 0, size);
    memset(info->fssBlockMap, 0, blocks);
    memset(info->fssPageMap, 0, pages);
    info->fssBase = base;
    info->fssSize = size;
    info->fssPreloaded = 0;
    info->fssEncrypted = device->rsaSecured && hasKeyEntry(info) ? 1 : 0;
    TcsResult result = TCS_RESULT_OK;
    if (!device->aesSecured && readSwitchOn()) {
        result = BulkRead(sensor, base, info->fssMirror, size, 0);
        info->fssPreloaded = result == TCS_RESULT_OK ? 1 : 0;
    }
    if (result == TCS_RESULT_OK && info->fssEncrypted) result = xtfsCacheFSSEncKey(sensor, info, 0);
    if (result != TCS_RESULT_OK) freeFss(info);
    return result;
}

void freeFss(XtfsStorageInfo* info) {
    palRealFree(info->fssMirror);
    palRealFree(info->fssBlockMap);
    palRealFree(info->fssPageMap);
    info->fssMirror = info->fssBlockMap = info->fssPageMap = nullptr;
    info->fssOpen = 0;
    info->fssPreloaded = 0;
    info->fssEncrypted = 0;
    info->fssKeyCached = 0;
    volatile uint8_t* key = info->fssKey;
    for (uint32_t i = 0; i < sizeof info->fssKey; ++i) key[i] = 0;
}

}  // namespace xtfsdetail

extern "C" {

TcsResult xtfsBulkEraseFSSStorage(ScsSensor* sensor) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    XtfsStorageInfo* info = infoOf(ref.device);
    if (info == nullptr || info->fssOpen == 0) return TCS_RESULT_NULL_POINTER;
    TcsResult result = TCS_RESULT_OK;
    if (info->fssBase == 0 && info->fssSize == info->capacity) {
        result = xtfsBulkErase(sensor);
    } else {
        for (uint32_t at = info->fssBase; at < info->fssBase + info->fssSize && result == TCS_RESULT_OK;
             at += info->blockSize) {
            result = xtfsdetail::eraseBlock(sensor, 0xD8, at);
        }
    }
    if (result != TCS_RESULT_OK) return result;
    const uint32_t blocks = (info->fssSize + info->blockSize - 1) / info->blockSize;
    const uint32_t pages = (info->fssSize + XTFS_PAGE_SIZE - 1) / XTFS_PAGE_SIZE;
    memset(info->fssMirror, 0xFF, info->fssSize);
    memset(info->fssBlockMap, 0, blocks);
    memset(info->fssPageMap, kLoaded, pages);
    return TCS_RESULT_OK;
}

TcsResult xtfsSectorEraseFlash(ScsSensor* sensor, uint32_t offset, uint32_t count) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    XtfsStorageInfo* info = infoOf(ref.device);
    if (info == nullptr || info->fssOpen == 0) return TCS_RESULT_NULL_POINTER;
    const uint64_t end = uint64_t(offset) + uint64_t(count) * info->blockSize;
    if (count == 0 || offset % info->blockSize != 0 || end > info->fssSize) return TCS_RESULT_BAD_PARAM;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t at = offset + i * info->blockSize;
        const TcsResult result = xtfsdetail::eraseBlock(sensor, 0xD8, info->fssBase + at);
        if (result != TCS_RESULT_OK) return result;
        memset(info->fssMirror + at, 0xFF, info->blockSize);
        // The erased block is what the mirror now holds: nothing of it is left to erase or program.
        info->fssBlockMap[at / info->blockSize] = 0;
        memset(info->fssPageMap + at / XTFS_PAGE_SIZE, kLoaded, info->blockSize / XTFS_PAGE_SIZE);
    }
    return TCS_RESULT_OK;
}

}  // extern "C"
