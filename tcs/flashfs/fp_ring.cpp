// The fingerprint-buffering ring: the flash area where firmware 4.60 keeps the start of a swipe.
// The host reads it in address order, wrapping at the end, and erases each block it has read past.
#include "platform/memory.h"
#include "tcs/flashfs/flash_internal.h"
#include "tcs/flashfs/xtfs_mirror.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/scs.h"

#include <string.h>

using xtfsdetail::DeviceRef;
using xtfsdetail::infoOf;

namespace {

constexpr uint32_t kMarkerOffset = 0xFF00;
constexpr uint32_t kRefreshUnit = 64;  // the bulk read moves whole 64-byte packets
constexpr uint32_t kWindow = 0x10000;

uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint32_t roundUp(uint64_t value, uint32_t unit) { return uint32_t((value + unit - 1) / unit * unit); }

// The type-15 entry among the used slots of the table.
bool findRingEntry(const XtfsStorageInfo* info, uint32_t* base, uint32_t* size) {
    if (info->rawImage == nullptr) return false;
    for (uint32_t i = 0; i < XTFS_TABLE_ENTRIES; ++i) {
        const uint8_t* p = info->rawImage + 4 + i * XTFS_ENTRY_SIZE;
        if (p[0] == XTFS_ENTRY_EMPTY) return false;
        if (p[0] == XTFS_ENTRY_FP_BUFFER) {
            *base = le32(p + 1);
            *size = le32(p + 5);
            return true;
        }
    }
    return false;
}

// Where a block keeps its consumed marker: 0xFF00 in a 64 KiB block, the last page of a smaller one.
uint32_t markerOffset(uint32_t blockSize) { return blockSize > kMarkerOffset ? kMarkerOffset : blockSize - XTFS_PAGE_SIZE; }

// The last byte of the read window: before the next 64 KiB boundary above the read position,
// within the ring.
uint32_t windowEnd(const XtfsStorageInfo* info) {
    const uint64_t next = (uint64_t(info->ringReadPos) / kWindow + 1) * kWindow - 1;
    const uint64_t last = uint64_t(info->ringBase) + info->ringSize - 1;
    return uint32_t(next < last ? next : last);
}

TcsResult eraseRingBlock(ScsSensor* sensor, XtfsStorageInfo* info, uint32_t block) {
    const uint32_t at = block * info->blockSize;
    const TcsResult result = xtfsdetail::eraseBlock(sensor, 0xD8, info->ringBase + at);
    if (result == TCS_RESULT_OK) memset(info->ringCopy + at, 0xFF, info->blockSize);
    return result;
}

// Sets the read position on the oldest data not yet read. Blocks are filled in address order,
// wrapping, so unread data form one run of blocks; its first block is the one whose predecessor
// holds none. Blocks the firmware marked as consumed are erased first.
TcsResult findReadPosition(ScsSensor* sensor, XtfsStorageInfo* info) {
    const uint32_t blocks = info->ringSize / info->blockSize;
    const uint32_t marker = markerOffset(info->blockSize);
    for (uint32_t b = 0; b < blocks; ++b) {
        const uint8_t* block = info->ringCopy + b * info->blockSize;
        if (block[marker] != 0xFF && !IsBlankBuffer(block, info->blockSize)) {
            const TcsResult result = eraseRingBlock(sensor, info, b);
            if (result != TCS_RESULT_OK) return result;
        }
    }
    auto holdsData = [&](uint32_t b) { return info->ringCopy[b * info->blockSize] != 0xFF; };
    uint32_t start = 0;
    for (uint32_t b = 0; b < blocks; ++b) {
        if (holdsData(b) && !holdsData((b + blocks - 1) % blocks)) {
            start = b;
            break;
        }
    }
    info->ringReadPos = info->ringBase + start * info->blockSize;
    info->ringWindowEnd = windowEnd(info);
    return TCS_RESULT_OK;
}

// Reads ring offsets [from, to) again from flash into the RAM copy.
TcsResult refresh(ScsSensor* sensor, XtfsStorageInfo* info, uint32_t from, uint32_t to) {
    if (to <= from) return TCS_RESULT_OK;
    return BulkRead(sensor, info->ringBase + from, info->ringCopy + from, to - from, 0);
}

}  // namespace

namespace xtfsdetail {

TcsResult openRing(ScsSensor* sensor, ScsSensorDevice* device, XtfsStorageInfo* info) {
    if (info->ringOpen != 0) {
        ++info->ringOpen;
        return TCS_RESULT_OK;
    }
    if (scsSensorFpBufferingIsFeatureSupported(sensor) != 1 || !readSwitchOn()) return TCS_RESULT_BAD_PARAM;
    if (isSecured(device) && info->rawOpen == 0) return XTFS_RESULT_RAW_NOT_OPEN;
    uint32_t base = 0, size = 0;
    if (!findRingEntry(info, &base, &size)) return XTFS_RESULT_BAD_TABLE;
    // Blocks are erased whole from the base on: the area must be made of whole blocks.
    if (size == 0 || size > info->capacity || uint64_t(base) + size > info->capacity || info->blockSize == 0 ||
        base % info->blockSize != 0 || size % info->blockSize != 0) {
        return XTFS_RESULT_BAD_TABLE;
    }
    info->ringCopy = static_cast<uint8_t*>(palRealMalloc(size));
    if (info->ringCopy == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    info->ringBase = base;
    info->ringSize = size;
    TcsResult result = BulkRead(sensor, base, info->ringCopy, size, 0);
    if (result == TCS_RESULT_OK) result = findReadPosition(sensor, info);
    if (result != TCS_RESULT_OK) {
        freeRing(info);
        return result;
    }
    info->ringOpen = 1;
    publishRing(device, info);
    return TCS_RESULT_OK;
}

void freeRing(XtfsStorageInfo* info) {
    palRealFree(info->ringCopy);
    info->ringCopy = nullptr;
    info->ringOpen = 0;
    info->ringBase = info->ringSize = info->ringReadPos = info->ringWindowEnd = 0;
}

void publishRing(ScsSensorDevice* device, const XtfsStorageInfo* info) {
    scsproto::DeviceState* state = scsproto::stateOf(device);
    if (state == nullptr) return;
    const bool open = info != nullptr && info->ringOpen != 0 && info->blockSize != 0;
    state->fpBufferingParams[0] = open ? info->ringReadPos : 0;
    state->fpBufferingParams[1] = open ? info->ringWindowEnd : 0;
    state->fpBufferingFirstUnit = open ? info->ringBase / info->blockSize : 0;
    state->fpBufferingUnitCount = open ? info->ringSize / info->blockSize : 0;
}

}  // namespace xtfsdetail

extern "C" {

TcsResult xtfsEraseBufferedFPData(ScsSensor* sensor, uint32_t offset, uint32_t length) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    XtfsStorageInfo* info = infoOf(ref.device);
    if (info == nullptr || info->ringOpen == 0) return TCS_RESULT_NULL_POINTER;
    if (offset >= info->ringSize || length > info->ringSize) return TCS_RESULT_BAD_PARAM;
    // Counted without wrapping: blocks from the one holding the offset whose end the read reached.
    const uint64_t end = uint64_t(offset) + length;
    const uint32_t blocks = info->ringSize / info->blockSize;
    for (uint64_t at = uint64_t(offset) / info->blockSize * info->blockSize; at + info->blockSize <= end;
         at += info->blockSize) {
        const TcsResult result = eraseRingBlock(sensor, info, uint32_t(at / info->blockSize) % blocks);
        if (result != TCS_RESULT_OK) return result;
    }
    return TCS_RESULT_OK;
}

TcsResult xtfsReadLastBufferedFpData(ScsSensor* sensor, uint32_t length, void* outBuffer) {
    if (outBuffer == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    XtfsStorageInfo* info = infoOf(ref.device);
    if (info == nullptr || info->ringOpen == 0 || info->ringCopy == nullptr) return TCS_RESULT_NULL_POINTER;
    // More than the ring holds would wrap onto what this read itself returns.
    if (length > info->ringSize) return TCS_RESULT_BAD_PARAM;
    if (length == 0) return TCS_RESULT_OK;
    const uint32_t size = info->ringSize;
    const uint32_t from = info->ringReadPos - info->ringBase;
    const uint64_t end = uint64_t(from) + length;
    const uint32_t start = from / kRefreshUnit * kRefreshUnit;
    TcsResult result = TCS_RESULT_OK;
    if (end <= size) {
        const uint32_t to = roundUp(end, kRefreshUnit);
        result = refresh(sensor, info, start, to < size ? to : size);
    } else {
        result = refresh(sensor, info, start, size);
        const uint32_t to = roundUp(end - size, kRefreshUnit);
        if (result == TCS_RESULT_OK) result = refresh(sensor, info, 0, to < size ? to : size);
    }
    if (result != TCS_RESULT_OK) return result;
    auto* out = static_cast<uint8_t*>(outBuffer);
    const uint32_t first = end <= size ? length : size - from;
    memcpy(out, info->ringCopy + from, first);
    memcpy(out + first, info->ringCopy, length - first);
    // The read position moves on to the next page; the bytes skipped up to it are never read, so
    // a block they end is read past too. Leaving it would leave stale data ahead of the position.
    const uint64_t next = roundUp(end, XTFS_PAGE_SIZE);
    const uint64_t passed = next - from < size ? next - from : size;
    result = xtfsEraseBufferedFPData(sensor, from, uint32_t(passed));
    if (result != TCS_RESULT_OK) return result;
    info->ringReadPos = info->ringBase + uint32_t(next % size);
    info->ringWindowEnd = windowEnd(info);
    xtfsdetail::publishRing(ref.device, info);
    return TCS_RESULT_OK;
}

}  // extern "C"
