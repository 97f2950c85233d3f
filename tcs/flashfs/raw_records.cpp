// Raw partition integrity (the SHA-1 kept in the type-14 entry) and the firmware-patch signature
// cache stacked downward from the type-6 entry's offset.
#include "platform/crypto/digests.h"
#include "platform/memory.h"
#include "tcs/flashfs/flash_internal.h"

#include <string.h>

using xtfsdetail::DeviceRef;
using xtfsdetail::infoOf;

namespace {

constexpr uint32_t kFirstEntry = 4;
constexpr uint32_t kHashSize = 20;
constexpr uint32_t kItem = XTFS_PATCH_SIGNATURE_SIZE;

uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
const uint8_t* slotAt(const uint8_t* table, uint32_t slot) { return table + kFirstEntry + slot * XTFS_ENTRY_SIZE; }
uint32_t usedSlots(const uint8_t* table) {
    uint32_t n = 0;
    while (n < XTFS_TABLE_ENTRIES && slotAt(table, n)[0] != XTFS_ENTRY_EMPTY) ++n;
    return n;
}
int findSlot(const uint8_t* table, uint8_t type) {
    const uint32_t used = usedSlots(table);
    for (uint32_t i = 0; i < used; ++i) {
        if (slotAt(table, i)[0] == type) return int(i);
    }
    return -1;
}
bool isAreaType(uint8_t type) {
    return type == XTFS_ENTRY_SIGNATURE_CACHE || type == XTFS_ENTRY_FSS || type == XTFS_ENTRY_FP_BUFFER;
}

XtfsStorageInfo* openRaw(ScsSensorDevice* device) {
    XtfsStorageInfo* info = infoOf(device);
    return info != nullptr && info->rawOpen != 0 && info->rawImage != nullptr ? info : nullptr;
}

TcsResult hashUpdate(PalHashContext* context, const uint8_t* data, uint32_t length) {
    return length == 0 ? TCS_RESULT_OK : palHashUpdate(context, data, length);
}

// The hash covers the table page up to the hash entry's slot and the data area up to where the
// hash's own data start, so it survives records added after it. For a hash about to be stored
// the entry does not exist yet: it is taken where the add will put it (first empty slot, after the
// last data record), with an older hash entry already retired (type 0, data zeroed) as the add
// will leave it.
TcsResult computeHash(const XtfsStorageInfo* info, bool forStore, uint8_t* out20) {
    uint8_t table[XTFS_PAGE_SIZE];
    memcpy(table, info->rawImage, sizeof table);
    const uint32_t dataStart = info->rawBase + XTFS_PAGE_SIZE;
    const uint32_t rawEnd = info->rawBase + info->rawSize;
    uint32_t slot = 0, end = dataStart;
    int live = findSlot(table, XTFS_ENTRY_HASH);
    uint32_t zeroFrom = 0, zeroLength = 0;
    if (forStore) {
        slot = usedSlots(table);
        if (slot >= XTFS_TABLE_ENTRIES) return XTFS_RESULT_NO_ROOM;
        for (uint32_t i = slot; i-- > 0;) {
            const uint8_t* p = slotAt(table, i);
            if (isAreaType(p[0])) continue;
            end = le32(p + 1) + le32(p + 5);
            break;
        }
        if (live >= 0) {
            table[kFirstEntry + uint32_t(live) * XTFS_ENTRY_SIZE] = XTFS_ENTRY_DELETED;
            zeroFrom = le32(slotAt(table, uint32_t(live)) + 1);
            zeroLength = le32(slotAt(table, uint32_t(live)) + 5);
        }
    } else {
        if (live < 0) return TCS_RESULT_DATA_ID_DOESNT_EXIST;
        slot = uint32_t(live);
        end = le32(slotAt(table, slot) + 1);
    }
    if (end < dataStart || end > rawEnd) return XTFS_RESULT_BAD_TABLE;
    if (zeroLength != 0 && (zeroFrom < dataStart || uint64_t(zeroFrom) + zeroLength > end)) return XTFS_RESULT_BAD_TABLE;

    PalHashContext context;
    TcsResult result = palHashInit(&context, PAL_HASH_SHA1);
    if (result == TCS_RESULT_OK) result = hashUpdate(&context, table, kFirstEntry + slot * XTFS_ENTRY_SIZE);
    const uint8_t* data = info->rawImage + XTFS_PAGE_SIZE;
    uint32_t at = dataStart;
    if (zeroLength != 0 && result == TCS_RESULT_OK) {
        static const uint8_t kZeros[64] = {};
        result = hashUpdate(&context, data, zeroFrom - dataStart);
        for (uint32_t left = zeroLength; left > 0 && result == TCS_RESULT_OK;) {
            const uint32_t piece = left < sizeof kZeros ? left : uint32_t(sizeof kZeros);
            result = hashUpdate(&context, kZeros, piece);
            left -= piece;
        }
        at = zeroFrom + zeroLength;
    }
    if (result == TCS_RESULT_OK) result = hashUpdate(&context, info->rawImage + (at - info->rawBase), end - at);
    if (result == TCS_RESULT_OK) result = palHashFinal(&context, out20);
    return result;
}

}  // namespace

namespace xtfsdetail {
TcsResult rawHash(const XtfsStorageInfo* info, bool forStore, uint8_t* out20) { return computeHash(info, forStore, out20); }
}  // namespace xtfsdetail

namespace {

// Patch-signature stack: top of the cache and how far down it may reach.
struct Stack {
    uint32_t top;
    uint32_t floor;
};

TcsResult stackOf(XtfsStorageInfo* info, Stack* out) {
    if (info->layout != XTFS_LAYOUT_RSA) return TCS_RESULT_NOT_IMPLEMENTED;
    const int slot = findSlot(info->rawImage, XTFS_ENTRY_SIGNATURE_CACHE);
    if (slot < 0) return XTFS_RESULT_BAD_TABLE;
    const uint32_t top = le32(slotAt(info->rawImage, uint32_t(slot)) + 1);
    const uint32_t dataStart = info->rawBase + XTFS_PAGE_SIZE;
    if (top < dataStart || top > info->rawBase + info->rawSize) return XTFS_RESULT_BAD_TABLE;
    // Items stay above the page that follows the end of the last data record.
    uint32_t end = dataStart;
    const XtfsRawDataRecord* last = GetLastRawDataRecord(info);
    if (last != nullptr) end = last->address + last->length;
    out->top = top;
    out->floor = (end + XTFS_PAGE_SIZE - 1) / XTFS_PAGE_SIZE * XTFS_PAGE_SIZE + XTFS_PAGE_SIZE;
    return TCS_RESULT_OK;
}

uint8_t* itemAt(XtfsStorageInfo* info, uint32_t address) { return info->rawImage + (address - info->rawBase); }

bool allZero(const uint8_t* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

// Walks the stack top down: the address of the item matching the key, or 0.
uint32_t findItem(XtfsStorageInfo* info, const Stack& stack, const uint8_t* key8) {
    const uint32_t dataStart = info->rawBase + XTFS_PAGE_SIZE;
    for (uint32_t at = stack.top; at >= dataStart + kItem; at -= kItem) {
        const uint8_t* item = itemAt(info, at - kItem);
        if (IsBlankBuffer(item, kItem)) return 0;
        if (allZero(item, kItem)) continue;
        if (item[5] != 'P' || item[6] != 'S') return 0;  // corrupt: nothing below it is trusted
        if (memcmp(item, key8, 5) == 0 && item[7] == key8[7]) return at - kItem;
    }
    return 0;
}

void keyBytes(const XtfsPatchKey* key, uint8_t selector, uint8_t* out8) {
    memcpy(out8, &key->patchIdBits, 4);  // the item keeps the id in host (little-endian) order
    out8[4] = key->revision;
    out8[5] = 'P';
    out8[6] = 'S';
    out8[7] = selector;
}

TcsResult writeItem(ScsSensor* sensor, XtfsStorageInfo* info, uint32_t address) {
    if (info->deferWrites) return TCS_RESULT_OK;
    return xtfsdetail::writeRawData(sensor, address, itemAt(info, address), kItem);
}

}  // namespace

extern "C" {

TcsResult CalculateRAWPartitionHash(ScsSensor* sensor, uint8_t* outHash20, uint32_t storeFlag) {
    if (outHash20 == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    XtfsStorageInfo* info = openRaw(ref.device);
    if (info == nullptr) return XTFS_RESULT_RAW_NOT_OPEN;
    TcsResult result = computeHash(info, true, outHash20);
    if (result == TCS_RESULT_OK && storeFlag) {
        result = xtfsAddRawPartitionEntry(ref.device, XTFS_ENTRY_HASH, outHash20, kHashSize);
    }
    return result;
}

TcsResult VerifyRAWPartitionIntegrity(ScsSensor* sensor, uint32_t* outDamaged) {
    if (outDamaged == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    *outDamaged = 0;
    XtfsStorageInfo* info = openRaw(ref.device);
    if (info == nullptr) return XTFS_RESULT_RAW_NOT_OPEN;
    uint8_t stored[kHashSize];
    uint32_t length = 0;
    TcsResult result = xtfsGetRawPartitionEntry(ref.device, XTFS_ENTRY_HASH, nullptr, &length);
    if (result == TCS_RESULT_OK && length != kHashSize) result = XTFS_RESULT_BAD_TABLE;
    if (result == TCS_RESULT_OK) result = xtfsGetRawPartitionEntry(ref.device, XTFS_ENTRY_HASH, stored, &length);
    uint8_t fresh[kHashSize];
    if (result == TCS_RESULT_OK) result = computeHash(info, false, fresh);
    if (result == XTFS_RESULT_BAD_TABLE && ref.device->aesSecured) return TCS_RESULT_OK;
    if (result == TCS_RESULT_OK) *outDamaged = memcmp(stored, fresh, kHashSize) != 0;
    return result;
}

TcsResult xtfsIsPatchSignatureCached(ScsSensor* sensor, const XtfsPatchKey* key, uint8_t selector, uint32_t* outFound,
                                     uint8_t* outItem40) {
    if (key == nullptr || outFound == nullptr || outItem40 == nullptr) return TCS_RESULT_BAD_PARAM;
    *outFound = 0;
    memset(outItem40, 0xFF, kItem);
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    XtfsStorageInfo* info = openRaw(ref.device);
    if (info == nullptr) return XTFS_RESULT_RAW_NOT_OPEN;
    Stack stack{};
    const TcsResult result = stackOf(info, &stack);
    if (result != TCS_RESULT_OK) return result;
    uint8_t k[8];
    keyBytes(key, selector, k);
    const uint32_t at = findItem(info, stack, k);
    if (at != 0) {
        memcpy(outItem40, itemAt(info, at), kItem);
        *outFound = 1;
    }
    return TCS_RESULT_OK;
}

TcsResult xtfsCachePatchSignatureItem(ScsSensor* sensor, const uint8_t* item40) {
    if (item40 == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    if (!xtfsdetail::inSecureSession(ref.device)) return TCS_RESULT_OK;
    XtfsStorageInfo* info = openRaw(ref.device);
    if (info == nullptr) return XTFS_RESULT_RAW_NOT_OPEN;
    Stack stack{};
    TcsResult result = stackOf(info, &stack);
    if (result != TCS_RESULT_OK) return result;
    const uint32_t dataStart = info->rawBase + XTFS_PAGE_SIZE;
    uint32_t slot = 0;
    for (uint32_t at = stack.top; at >= dataStart + kItem; at -= kItem) {
        if (IsBlankBuffer(itemAt(info, at - kItem), kItem)) {
            slot = at - kItem;
            break;
        }
    }
    if (slot == 0 || slot < stack.floor) return XTFS_RESULT_NO_ROOM;
    memcpy(itemAt(info, slot), item40, kItem);
    result = writeItem(sensor, info, slot);
    // The slot in RAM must match the flash, or the next item would be taken as written there.
    if (result != TCS_RESULT_OK) memset(itemAt(info, slot), 0xFF, kItem);
    return result;
}

TcsResult xtfsInvalidateCachedPatchSignature(ScsSensor* sensor, const XtfsPatchKey* key, uint8_t selector) {
    if (key == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    if (!xtfsdetail::inSecureSession(ref.device)) return TCS_RESULT_OK;
    XtfsStorageInfo* info = openRaw(ref.device);
    if (info == nullptr) return XTFS_RESULT_RAW_NOT_OPEN;
    Stack stack{};
    const TcsResult result = stackOf(info, &stack);
    if (result != TCS_RESULT_OK) return result;
    uint8_t k[8];
    keyBytes(key, selector, k);
    const uint32_t at = findItem(info, stack, k);
    if (at == 0) return TCS_RESULT_OK;
    memset(itemAt(info, at), 0, kItem);
    return writeItem(sensor, info, at);
}

}  // extern "C"
