// Restoring a database backup image onto the sensor's flash: the raw partition of a secured
// sensor (only onto the sensor it came from) and the file-system partition, verified page by page.
#include "platform/memory.h"
#include "tcs/flashfs/flash_internal.h"
#include "tcs/sensorctl/secure/ssl_session.h"

#include <string.h>

using xtfsdetail::DeviceRef;
using xtfsdetail::infoOf;

namespace {

constexpr uint8_t kEat[3] = {'E', 'A', 'T'};
constexpr uint32_t kHashSize = 20;

// The image's raw part must carry the same pairing data as the sensor's: same layout byte and the
// same hash over the records the hash covers.
TcsResult checkRawPart(XtfsStorageInfo* info, const uint8_t* raw) {
    if (raw[3] != info->layout) return XTFS_RESULT_OTHER_SENSOR;
    uint8_t mine[kHashSize], theirs[kHashSize];
    const TcsResult result = xtfsdetail::rawHash(info, false, mine);
    if (result != TCS_RESULT_OK) return result;
    XtfsStorageInfo image = *info;
    image.rawImage = const_cast<uint8_t*>(raw);
    if (xtfsdetail::rawHash(&image, false, theirs) != TCS_RESULT_OK) return XTFS_RESULT_OTHER_SENSOR;
    return memcmp(mine, theirs, kHashSize) == 0 ? TcsResult(TCS_RESULT_OK) : TcsResult(XTFS_RESULT_OTHER_SENSOR);
}

// Erases the partition's blocks and programs every page that is not blank, reading each back.
// The mirror follows the flash page by page, so a failure part-way leaves it true to the flash.
TcsResult restoreFss(ScsSensor* sensor, XtfsStorageInfo* info, const uint8_t* data) {
    TcsResult result = TCS_RESULT_OK;
    for (uint32_t at = 0; at < info->fssSize && result == TCS_RESULT_OK; at += info->blockSize) {
        result = xtfsdetail::eraseBlock(sensor, 0xD8, info->fssBase + at);
    }
    if (result != TCS_RESULT_OK) return result;
    const uint32_t pages = (info->fssSize + XTFS_PAGE_SIZE - 1) / XTFS_PAGE_SIZE;
    memset(info->fssMirror, 0xFF, info->fssSize);
    memset(info->fssBlockMap, 0, (info->fssSize + info->blockSize - 1) / info->blockSize);
    memset(info->fssPageMap, 1, pages);
    for (uint32_t page = 0; page < info->fssSize / XTFS_PAGE_SIZE; ++page) {
        const uint8_t* from = data + page * XTFS_PAGE_SIZE;
        if (IsBlankPage(from)) continue;
        memcpy(info->fssMirror + page * XTFS_PAGE_SIZE, from, XTFS_PAGE_SIZE);
        result = xtfsdetail::programFssPage(sensor, info, page);
        if (result != TCS_RESULT_OK) return result;
    }
    return TCS_RESULT_OK;
}

TcsResult restoreOpen(ScsSensor* sensor, const DeviceRef& ref, const uint8_t* bytes, uint32_t size) {
    XtfsStorageInfo* info = infoOf(ref.device);
    if (info == nullptr || info->fssOpen == 0) return TCS_RESULT_NULL_POINTER;
    const bool secured = size >= 4 && memcmp(bytes, kEat, 3) == 0;
    uint32_t rawPart = 0;
    if (secured) {
        if (info->rawOpen == 0 || info->rawImage == nullptr) return XTFS_RESULT_RAW_NOT_OPEN;
        if (bytes[3] != info->layout) return XTFS_RESULT_OTHER_SENSOR;
        rawPart = info->rawSize;
        if (size < rawPart) return TCS_RESULT_BAD_PARAM;
        const TcsResult result = checkRawPart(info, bytes);
        if (result != TCS_RESULT_OK) return result;
    }
    if (uint64_t(rawPart) + info->fssSize != size) return TCS_RESULT_BAD_PARAM;
    if (secured && memcmp(bytes, info->rawImage, rawPart) != 0) {
        TcsResult result = scsSSLEstablishSessionEx(ref.device);
        if (result == TCS_RESULT_OK) result = xtfsProgramRawPartition(sensor, bytes, rawPart);
        if (result != TCS_RESULT_OK) return result;
    }
    return restoreFss(sensor, info, bytes + rawPart);
}

}  // namespace

extern "C" {

TcsResult xtfsRestore(ScsSensor* sensor, const void* image, uint32_t size, uint32_t) {
    if (image == nullptr || size == 0) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    // The database closes its file system before it restores, so the partition is normally
    // closed here: it is opened for the restore and closed again after it.
    const XtfsStorageInfo* info = infoOf(ref.device);
    const bool wasOpen = info != nullptr && info->fssOpen != 0;
    if (!wasOpen) {
        const TcsResult result = xtfsStorageOpenEx(sensor, XTFS_PART_FS, 0, 1, nullptr);
        if (result != TCS_RESULT_OK) return result;
    }
    const TcsResult result = restoreOpen(sensor, ref, static_cast<const uint8_t*>(image), size);
    if (!wasOpen) xtfsStorageCleanup(ref.device, XTFS_PART_FS);
    return result;
}

}  // extern "C"
