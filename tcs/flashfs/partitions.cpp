// Flash partitions: reference-counted open and close, the "EAT" partition table of the raw
// partition and its typed records, and the image partition.
#include "platform/memory.h"
#include "tcs/flashfs/flash_internal.h"
#include "tcs/sensorctl/scs.h"
#include "tcs/sensorctl/ownership/secure_storage.h"
#include "tcs/sensorctl/protocol/sensor_commands_more.h"

#include <string.h>

#include <algorithm>

using xtfsdetail::DeviceRef;
using xtfsdetail::infoOf;

namespace {

constexpr uint8_t gEATSignature[3] = {'E', 'A', 'T'};
constexpr uint32_t kRsaRawBase = 4096, kRsaRawSize = 4096;
constexpr uint32_t kAesRawBase = 0x40000, kAesRawSize = 0x10000;
constexpr uint32_t kRsaImageBase = 8192, kRsaImageSize = 0x4E000;
constexpr uint32_t kImageSize = 0x40000;
constexpr uint32_t kFirstEntry = 4;

struct Entry {
    uint8_t type;
    uint32_t offset;
    uint32_t size;
};

uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

uint8_t* slotAt(XtfsStorageInfo* info, uint32_t slot) { return info->rawImage + kFirstEntry + slot * XTFS_ENTRY_SIZE; }
Entry entryAt(XtfsStorageInfo* info, uint32_t slot) {
    const uint8_t* p = slotAt(info, slot);
    return Entry{p[0], le32(p + 1), le32(p + 5)};
}
// Slots before the first empty one.
uint32_t usedSlots(XtfsStorageInfo* info) {
    uint32_t n = 0;
    while (n < XTFS_TABLE_ENTRIES && slotAt(info, n)[0] != XTFS_ENTRY_EMPTY) ++n;
    return n;
}
bool isAreaType(uint8_t type) {
    return type == XTFS_ENTRY_SIGNATURE_CACHE || type == XTFS_ENTRY_FSS || type == XTFS_ENTRY_FP_BUFFER;
}
// The slot of the live entry of that type, or -1.
int findSlot(XtfsStorageInfo* info, uint32_t type) {
    const uint32_t used = usedSlots(info);
    for (uint32_t i = 0; i < used; ++i) {
        if (slotAt(info, i)[0] == type) return int(i);
    }
    return -1;
}
uint32_t dataStart(const XtfsStorageInfo* info) { return info->rawBase + XTFS_PAGE_SIZE; }
uint32_t rawEnd(const XtfsStorageInfo* info) { return info->rawBase + info->rawSize; }
// The entry's data lies inside the data area of the copy in memory.
bool inDataArea(const XtfsStorageInfo* info, const Entry& e) {
    return e.offset >= dataStart(info) && uint64_t(e.offset) + e.size <= rawEnd(info);
}
// End of the last data record, or the start of the data area.
uint32_t dataEnd(XtfsStorageInfo* info) {
    XtfsRawDataRecord* last = GetLastRawDataRecord(info);
    return last != nullptr ? last->address + last->length : dataStart(info);
}

// Table page and data reach flash unless the table was made in RAM.
TcsResult flashRange(ScsSensor* sensor, XtfsStorageInfo* info, uint32_t address, uint32_t length) {
    if (info->deferWrites || length == 0) return TCS_RESULT_OK;
    return xtfsdetail::writeRawData(sensor, address, info->rawImage + (address - info->rawBase), length);
}

void freeRaw(XtfsStorageInfo* info) {
    palRealFree(info->rawImage);
    info->rawImage = nullptr;
    info->header = nullptr;
    info->rawOpen = 0;
    info->deferWrites = 0;
}

// A blank table page with the layout byte and the default area entries.
TcsResult makeTable(ScsSensorDevice* device, XtfsStorageInfo* info, uint8_t layout, bool fpBuffering) {
    auto* image = static_cast<uint8_t*>(palRealMalloc(info->rawSize));
    if (image == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    memset(image, 0xFF, info->rawSize);
    memcpy(image, gEATSignature, 3);
    image[3] = layout;
    info->rawImage = image;
    info->header = image;
    info->layout = layout;
    uint32_t slot = 0;
    auto put = [&](uint32_t at, uint8_t type, uint32_t offset, uint32_t size) {
        uint8_t* p = slotAt(info, at);
        p[0] = type;
        putLe32(p + 1, offset);
        putLe32(p + 5, size);
    };
    // Brellow sensors keep their file system elsewhere; none exist in this system.
    if (layout == XTFS_LAYOUT_AES) {
        put(XTFS_TABLE_ENTRIES - 1, XTFS_ENTRY_FSS, 0x50000, 0x30000);
    } else {
        if (device->rsaSecured) put(slot++, XTFS_ENTRY_SIGNATURE_CACHE, 8192, 0);
        if (fpBuffering) put(slot++, XTFS_ENTRY_FP_BUFFER, 0x80000, 0x80000);
        put(slot++, XTFS_ENTRY_FSS, 0x50000, 0x30000);
    }
    return TCS_RESULT_OK;
}

void rawGeometry(const ScsSensorDevice* device, XtfsStorageInfo* info) {
    info->rawBase = device->rsaSecured ? kRsaRawBase : kAesRawBase;
    info->rawSize = device->rsaSecured ? kRsaRawSize : kAesRawSize;
}

TcsResult openRaw(ScsSensor* sensor, ScsSensorDevice* device, XtfsStorageInfo* info, bool create, bool check) {
    if (!xtfsdetail::isSecured(device)) return TCS_RESULT_BAD_PARAM;
    if (info->rawOpen != 0) {
        ++info->rawOpen;
        return TCS_RESULT_OK;
    }
    rawGeometry(device, info);
    if (create) {
        const TcsResult result = makeTable(device, info, device->rsaSecured ? XTFS_LAYOUT_RSA : XTFS_LAYOUT_AES,
                                           scsSensorFpBufferingIsFeatureSupported(sensor) == 1);
        if (result != TCS_RESULT_OK) return result;
        info->deferWrites = 1;
        info->rawOpen = 1;
        return TCS_RESULT_OK;
    }
    auto* image = static_cast<uint8_t*>(palRealMalloc(info->rawSize));
    if (image == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    TcsResult result = BulkRead(sensor, info->rawBase, image, info->rawSize, 0);
    if (result == TCS_RESULT_OK && check && !IsBlankBuffer(image, info->rawSize) &&
        memcmp(image, gEATSignature, 3) != 0) {
        result = XTFS_RESULT_BAD_TABLE;
    }
    if (result != TCS_RESULT_OK) {
        palRealFree(image);
        return result;
    }
    info->rawImage = image;
    info->header = image;
    info->layout = image[3] == 0xFF ? uint8_t(device->rsaSecured ? XTFS_LAYOUT_RSA : XTFS_LAYOUT_AES) : image[3];
    // A blank partition is an empty table: its signature and layout reach flash with the first
    // table write (they only clear bits of the blank page).
    if (IsBlankBuffer(image, 4)) {
        memcpy(image, gEATSignature, 3);
        image[3] = info->layout;
    }
    info->deferWrites = 0;
    info->rawOpen = 1;
    return TCS_RESULT_OK;
}

TcsResult openImage(ScsSensorDevice* device, XtfsStorageInfo* info) {
    if (info->imageOpen++ != 0) return TCS_RESULT_OK;
    info->imageBase = device->rsaSecured ? kRsaImageBase : 0;
    info->imageSize = device->rsaSecured ? kRsaImageSize : kImageSize;
    if (uint64_t(info->imageBase) + info->imageSize > info->capacity) {
        info->imageSize = info->capacity > info->imageBase ? info->capacity - info->imageBase : 0;
    }
    return TCS_RESULT_OK;
}

uint32_t sizeOf(const XtfsStorageInfo* info, uint32_t kind) {
    switch (kind) {
        case XTFS_PART_IMAGE: return info->imageOpen ? info->imageSize : 0;
        case XTFS_PART_RAW: return info->rawOpen ? info->rawSize - XTFS_PAGE_SIZE : 0;
        case XTFS_PART_FS: return info->fssOpen ? info->fssSize : 0;
        case XTFS_PART_FP_BUFFER: return info->ringOpen ? info->ringSize : 0;
        default: return 0;
    }
}

bool anyOpen(const XtfsStorageInfo* info) {
    return info->rawOpen != 0 || info->imageOpen != 0 || info->fssOpen != 0 || info->ringOpen != 0;
}

// Entry lookup shared by the device-handle operations: 375, 79, 374 in that order.
TcsResult findEntry(ScsSensorDevice* device, uint32_t type, XtfsStorageInfo** outInfo, int* outSlot) {
    XtfsStorageInfo* info = device != nullptr ? infoOf(device) : nullptr;
    if (info == nullptr || info->rawOpen == 0) return XTFS_RESULT_RAW_NOT_OPEN;
    const int slot = findSlot(info, type);
    if (slot < 0) return TCS_RESULT_DATA_ID_DOESNT_EXIST;
    if (!inDataArea(info, entryAt(info, uint32_t(slot)))) return XTFS_RESULT_BAD_TABLE;
    *outInfo = info;
    *outSlot = slot;
    return TCS_RESULT_OK;
}

// Lowest flash address a new data record may reach: below the page of the lowest cached patch
// signature in layout 0x22.
uint32_t dataLimit(XtfsStorageInfo* info) {
    uint32_t limit = rawEnd(info);
    if (info->layout != XTFS_LAYOUT_RSA) return limit;
    const int cache = findSlot(info, XTFS_ENTRY_SIGNATURE_CACHE);
    if (cache < 0) return limit;
    const uint32_t top = entryAt(info, uint32_t(cache)).offset;
    if (top < dataStart(info) || top > rawEnd(info)) return limit;
    uint32_t lowest = top;
    for (uint32_t at = top; at >= dataStart(info) + XTFS_PATCH_SIGNATURE_SIZE; at -= XTFS_PATCH_SIGNATURE_SIZE) {
        const uint8_t* item = info->rawImage + (at - XTFS_PATCH_SIGNATURE_SIZE - info->rawBase);
        if (IsBlankBuffer(item, XTFS_PATCH_SIGNATURE_SIZE)) break;
        lowest = at - XTFS_PATCH_SIGNATURE_SIZE;
    }
    return lowest == top ? top : lowest / XTFS_PAGE_SIZE * XTFS_PAGE_SIZE;
}

}  // namespace

extern "C" {

XtfsStorageInfo* GetStorageInfo(ScsSensor* sensor) {
    if (sensor == nullptr) return nullptr;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return nullptr;
    return infoOf(ref.device);
}

XtfsRawDataRecord* GetLastRawDataRecord(XtfsStorageInfo* info) {
    if (info == nullptr || info->rawImage == nullptr) return nullptr;
    const uint32_t used = usedSlots(info);
    for (uint32_t i = used; i-- > 0;) {
        const Entry e = entryAt(info, i);
        if (isAreaType(e.type)) continue;
        info->lastRecord = XtfsRawDataRecord{e.type, e.offset, e.size};
        return &info->lastRecord;
    }
    return nullptr;
}

TcsResult xtfsStorageOpenEx(ScsSensor* sensor, uint32_t kind, uint32_t create, uint32_t check, uint32_t* outSize) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    if (kind > XTFS_PART_FP_BUFFER) return TCS_RESULT_BAD_PARAM;
    TcsResult result = xtfsdetail::ensureContext(sensor, ref.device);
    if (result != TCS_RESULT_OK) return result;
    XtfsStorageInfo* info = infoOf(ref.device);
    if (kind == XTFS_PART_RAW) {
        result = openRaw(sensor, ref.device, info, create != 0, check != 0);
    } else if (kind == XTFS_PART_FS) {
        result = info->fssOpen != 0 ? TCS_RESULT_OK : xtfsdetail::openFss(sensor, ref.device, info);
        if (result == TCS_RESULT_OK) ++info->fssOpen;
    } else if (kind == XTFS_PART_FP_BUFFER) {
        result = xtfsdetail::openRing(sensor, ref.device, info);
    } else {
        result = openImage(ref.device, info);
    }
    if (result == TCS_RESULT_OK && outSize != nullptr) *outSize = sizeOf(info, kind);
    // A failed first open leaves nothing behind.
    if (result != TCS_RESULT_OK && !anyOpen(info)) xtfsStorageCleanup(ref.device, kind);
    return result;
}

TcsResult xtfsStorageOpen(ScsSensor* sensor, uint32_t partitionKind, uint32_t flags, void** outStorage) {
    if (outStorage != nullptr) *outStorage = nullptr;
    const TcsResult result = xtfsStorageOpenEx(sensor, partitionKind, flags & 1, 1, nullptr);
    if (result == TCS_RESULT_OK && outStorage != nullptr) *outStorage = GetStorageInfo(sensor);
    return result;
}

TcsResult xtfsStorageCleanup(ScsSensorDevice* device, uint32_t partitionKind) {
    if (device == nullptr || partitionKind > XTFS_PART_FP_BUFFER) return TCS_RESULT_BAD_PARAM;
    XtfsStorageInfo* info = infoOf(device);
    if (info == nullptr) return TCS_RESULT_OK;
    if (partitionKind == XTFS_PART_RAW && info->rawOpen != 0 && --info->rawOpen == 0) freeRaw(info);
    if (partitionKind == XTFS_PART_IMAGE && info->imageOpen != 0) --info->imageOpen;
    if (partitionKind == XTFS_PART_FS && info->fssOpen != 0 && --info->fssOpen == 0) xtfsdetail::freeFss(info);
    if (partitionKind == XTFS_PART_FP_BUFFER && info->ringOpen != 0 && --info->ringOpen == 0) {
        xtfsdetail::freeRing(info);
        xtfsdetail::publishRing(device, nullptr);
    }
    if (!anyOpen(info)) {
        freeRaw(info);
        xtfsdetail::freeFss(info);
        xtfsdetail::freeRing(info);
        palRealFree(info);
        device->storageInfo = nullptr;
    }
    return TCS_RESULT_OK;
}

TcsResult xtfsStorageFree(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_BAD_PARAM;
    XtfsStorageInfo* info = infoOf(device);
    if (info == nullptr) return TCS_RESULT_OK;
    freeRaw(info);
    xtfsdetail::freeFss(info);
    xtfsdetail::freeRing(info);
    palRealFree(info);
    device->storageInfo = nullptr;
    return TCS_RESULT_OK;
}

TcsResult xtfsStorageClose(ScsSensor* sensor, uint32_t partitionKind) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    return xtfsStorageCleanup(ref.device, partitionKind);
}

TcsResult xtfsIsStorageOpen(ScsSensor* sensor, uint32_t kind, uint32_t* outFlag) {
    if (outFlag == nullptr || kind > XTFS_PART_FP_BUFFER) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    const XtfsStorageInfo* info = infoOf(ref.device);
    *outFlag = info != nullptr && sizeOf(info, kind) != 0;
    return TCS_RESULT_OK;
}

TcsResult xtfsGetStorageSize(ScsSensor* sensor, uint32_t kind, uint32_t* outSize) {
    if (outSize == nullptr || kind > XTFS_PART_FP_BUFFER) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    const XtfsStorageInfo* info = infoOf(ref.device);
    *outSize = info != nullptr ? sizeOf(info, kind) : 0;
    return TCS_RESULT_OK;
}

TcsResult xtfsStorageCreate(ScsSensor* sensor, uint32_t partitionKind, uint8_t layout) {
    if (partitionKind != XTFS_PART_RAW) {
        if (partitionKind > XTFS_PART_FP_BUFFER) return TCS_RESULT_BAD_PARAM;
        return xtfsStorageOpenEx(sensor, partitionKind, 0, 1, nullptr);
    }
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    XtfsStorageInfo* info = infoOf(ref.device);
    if (info != nullptr && info->rawOpen != 0) return TCS_RESULT_ERROR;
    if (!xtfsdetail::isSecured(ref.device)) return TCS_RESULT_BAD_PARAM;
    if (layout != XTFS_LAYOUT_AES && layout != XTFS_LAYOUT_RSA) return TCS_RESULT_BAD_PARAM;
    TcsResult result = xtfsdetail::ensureContext(sensor, ref.device);
    if (result != TCS_RESULT_OK) return result;
    info = infoOf(ref.device);
    rawGeometry(ref.device, info);
    result = makeTable(ref.device, info, layout, scsSensorFpBufferingIsFeatureSupported(sensor) == 1);
    if (result != TCS_RESULT_OK) {
        xtfsStorageCleanup(ref.device, XTFS_PART_RAW);
        return result;
    }
    info->deferWrites = 1;
    info->rawOpen = 1;
    return TCS_RESULT_OK;
}

TcsResult xtfsGetRawPartitionEntry(ScsSensorDevice* device, uint32_t entryType, void* buffer, uint32_t* inOutLength) {
    if (inOutLength == nullptr || entryType == XTFS_ENTRY_FSS) return TCS_RESULT_BAD_PARAM;
    XtfsStorageInfo* info = nullptr;
    int slot = -1;
    const TcsResult result = findEntry(device, entryType, &info, &slot);
    if (result != TCS_RESULT_OK) return result;
    const Entry e = entryAt(info, uint32_t(slot));
    // The length on entry is the room in the buffer: an entry larger than that is not copied over
    // the buffer's end (17, with the size needed).
    const uint32_t room = *inOutLength;
    *inOutLength = e.size;
    if (buffer == nullptr) return TCS_RESULT_OK;
    if (room < e.size) return TCS_RESULT_BAD_PARAM;
    memcpy(buffer, info->rawImage + (e.offset - info->rawBase), e.size);
    return TCS_RESULT_OK;
}

TcsResult xtfsIsRawPartitionEntryValid(ScsSensorDevice* device, uint32_t entryType, uint32_t* outFlag) {
    if (outFlag == nullptr) return TCS_RESULT_BAD_PARAM;
    *outFlag = 0;
    XtfsStorageInfo* info = nullptr;
    int slot = -1;
    const TcsResult result = findEntry(device, entryType, &info, &slot);
    if (result != TCS_RESULT_OK) return result;
    const Entry e = entryAt(info, uint32_t(slot));
    const uint8_t* data = info->rawImage + (e.offset - info->rawBase);
    bool allZero = true;
    for (uint32_t i = 0; i < e.size && allZero; ++i) allZero = data[i] == 0;
    *outFlag = !IsBlankBuffer(data, e.size) && !allZero;
    return TCS_RESULT_OK;
}

TcsResult xtfsAddRawPartitionEntry(ScsSensorDevice* device, uint32_t entryType, const void* data, uint32_t length) {
    if (entryType == XTFS_ENTRY_FSS || data == nullptr || entryType > 0xFF) return TCS_RESULT_BAD_PARAM;
    XtfsStorageInfo* info = device != nullptr ? infoOf(device) : nullptr;
    if (info == nullptr || info->rawOpen == 0) return XTFS_RESULT_RAW_NOT_OPEN;
    const uint32_t at = dataEnd(info);
    if (at < dataStart(info) || uint64_t(at) + length > dataLimit(info)) return XTFS_RESULT_NO_ROOM;
    uint8_t* target = info->rawImage + (at - info->rawBase);
    if (!IsBlankBuffer(target, length)) return XTFS_RESULT_NO_ROOM;
    const uint32_t slot = usedSlots(info);
    if (slot >= XTFS_TABLE_ENTRIES) return XTFS_RESULT_NO_ROOM;
    const int old = findSlot(info, entryType);

    ScsSensor handle{};
    handle.device = device;
    ScsSensor* sensor = &handle;
    // The new data reach flash before the table points at them, and the old record is zeroed
    // only after that: a write cut short never leaves the type without readable data.
    memcpy(target, data, length);
    TcsResult result = flashRange(sensor, info, at, length);
    if (result != TCS_RESULT_OK) return result;
    if (old >= 0) slotAt(info, uint32_t(old))[0] = XTFS_ENTRY_DELETED;
    uint8_t* p = slotAt(info, slot);
    p[0] = uint8_t(entryType);
    putLe32(p + 1, at);
    putLe32(p + 5, length);
    result = flashRange(sensor, info, info->rawBase, XTFS_PAGE_SIZE);
    if (result != TCS_RESULT_OK || old < 0) return result;
    const Entry e = entryAt(info, uint32_t(old));
    if (!inDataArea(info, e)) return TCS_RESULT_OK;
    memset(info->rawImage + (e.offset - info->rawBase), 0, e.size);
    return flashRange(sensor, info, e.offset, e.size);
}

TcsResult xtfsRemoveRawPartitionEntry(ScsSensor* sensor, uint32_t entryType) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    XtfsStorageInfo* info = nullptr;
    int slot = -1;
    TcsResult result = findEntry(ref.device, entryType, &info, &slot);
    if (result != TCS_RESULT_OK) return result;
    slotAt(info, uint32_t(slot))[0] = XTFS_ENTRY_DELETED;
    result = flashRange(sensor, info, info->rawBase, XTFS_PAGE_SIZE);
    if (result != TCS_RESULT_OK) return result;
    const Entry e = entryAt(info, uint32_t(slot));
    memset(info->rawImage + (e.offset - info->rawBase), 0, e.size);
    return flashRange(sensor, info, e.offset, e.size);
}

TcsResult xtfsProgramRawPartition(ScsSensor* sensor, const void* image, uint32_t size) {
    if (image == nullptr || size == 0) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    uint32_t base = 0;
    if (ref.device->rsaSecured && size <= kRsaRawSize) {
        base = kRsaRawBase;
    } else if (!ref.device->rsaSecured && ref.device->aesSecured && size <= kAesRawSize) {
        base = kAesRawBase;
    } else {
        return TCS_RESULT_BAD_PARAM;
    }
    TcsResult result = xtfsdetail::ensureContext(sensor, ref.device);
    if (result != TCS_RESULT_OK) return result;
    XtfsStorageInfo* info = infoOf(ref.device);
    // Programming only clears bits: erase first unless the range is blank. The erase unit must lie
    // inside the raw partition, or it would take the neighbouring partitions with it.
    auto* current = static_cast<uint8_t*>(palRealMalloc(size));
    if (current == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    result = BulkRead(sensor, base, current, size, 0);
    bool needErase = false;
    const auto* bytes = static_cast<const uint8_t*>(image);
    for (uint32_t i = 0; result == TCS_RESULT_OK && i < size && !needErase; ++i) {
        needErase = (~current[i] & bytes[i]) != 0;
    }
    palRealFree(current);
    if (result != TCS_RESULT_OK) return result;
    if (needErase) {
        const uint32_t unit = info->eraseUnit;
        if (unit == 0 || base % unit != 0 || unit > (ref.device->rsaSecured ? kRsaRawSize : kAesRawSize)) {
            return XTFS_RESULT_BAD_TABLE;
        }
        for (uint32_t at = base; at < base + size && result == TCS_RESULT_OK; at += unit) {
            result = xtfsdetail::eraseBlock(sensor, info->eraseOpcode, at);
        }
        if (result != TCS_RESULT_OK) return result;
    }
    result = xtfsdetail::writeRawData(sensor, base, bytes, size);
    if (result != TCS_RESULT_OK) return result;
    if (info->rawImage != nullptr && info->rawBase == base) {
        memcpy(info->rawImage, bytes, size);
        memset(info->rawImage + size, 0xFF, info->rawSize - size);
        info->deferWrites = 0;
    }
    return TCS_RESULT_OK;
}

TcsResult xtfsReadImagePartition(ScsSensor* sensor, void* buffer, uint32_t length) {
    if (buffer == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    return BulkRead(sensor, ref.device->rsaSecured ? kRsaImageBase : 0, buffer, length, 0);
}

TcsResult xtfsProgramImagePartition(ScsSensor* sensor, const void* image, uint32_t length, uint32_t eraseFlag) {
    if (image == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    TcsResult result = xtfsStorageOpenEx(sensor, XTFS_PART_IMAGE, 0, 1, nullptr);
    if (result != TCS_RESULT_OK) return result;
    struct Close {
        ScsSensorDevice* device;
        ~Close() { xtfsStorageCleanup(device, XTFS_PART_IMAGE); }
    } close{ref.device};
    XtfsStorageInfo* info = infoOf(ref.device);
    if (length == 0 || length > info->imageSize) return TCS_RESULT_BAD_PARAM;
    const uint32_t block = info->blockSize;
    // The erase flag asks for the whole partition; the image's own blocks are erased regardless.
    const uint32_t eraseEnd = info->imageBase + (eraseFlag ? info->imageSize : length);
    if (ref.device->rsaSecured && info->rawOpen == 0) return XTFS_RESULT_RAW_NOT_OPEN;
    // On RSA-secured sensors the image shares its first block with the PM sector and the raw
    // partition. Both are put back after that block is erased, not before: rewriting them first
    // and erasing afterwards would wipe the raw partition. The settings store keeps a copy of the
    // raw partition until it is on flash again.
    if (ref.device->rsaSecured) result = scsSerializeRawPartition(sensor, SCS_RAW_SAVE_STORE);
    for (uint32_t at = info->imageBase / block * block; at < eraseEnd && result == TCS_RESULT_OK; at += block) {
        result = xtfsdetail::eraseBlock(sensor, 0xD8, at);
    }
    if (result == TCS_RESULT_OK && ref.device->rsaSecured) {
        result = scsSensorRewritePm(sensor);
        if (result == TCS_RESULT_OK) result = xtfsdetail::writeRawData(sensor, info->rawBase, info->rawImage, info->rawSize);
        if (result == TCS_RESULT_OK) scsDeleteRawPartitionFromPersistentStorage(sensor);
    }
    // The blocks under the image were just erased: a page of erased bytes would program nothing,
    // so only the others go to the sensor (an image file shorter than its partition is mostly such).
    const auto* bytes = static_cast<const uint8_t*>(image);
    for (uint32_t at = 0; at < length && result == TCS_RESULT_OK;) {
        const uint32_t address = info->imageBase + at;
        const uint32_t piece = std::min(XTFS_PAGE_SIZE - address % XTFS_PAGE_SIZE, length - at);
        if (!IsBlankBuffer(bytes + at, piece)) result = xtfsdetail::writeRawData(sensor, address, bytes + at, piece);
        at += piece;
    }
    if (result != TCS_RESULT_OK) return result;
    auto* back = static_cast<uint8_t*>(palRealMalloc(length));
    if (back == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    result = BulkRead(sensor, info->imageBase, back, length, 0);
    if (result == TCS_RESULT_OK && memcmp(back, image, length) != 0) result = TCS_RESULT_SENSOR_WRITE_FAILED;
    palRealFree(back);
    return result;
}

}  // extern "C"
