// The file-system partition's RAM mirror: pages loaded on demand, writes kept in RAM with their
// erase and program marks, and the commit that brings exactly the changes to flash.
#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "tcs/flashfs/flash_internal.h"
#include "tcs/flashfs/xtfs_mirror.h"
#include "tcs/sensorctl/ownership/secure_storage.h"

#include <atomic>
#include <string.h>

using xtfsdetail::DeviceRef;
using xtfsdetail::infoOf;

namespace {

constexpr uint32_t kPage = XTFS_PAGE_SIZE;
constexpr uint8_t kLoaded = 1, kToProgram = 2;
// Page bytes 0-15 stay plain: the file system flips its commit and obsolete flags there later,
// which must go on clearing bits of what is on flash.
constexpr uint32_t kPlainHead = 16;
constexpr uint32_t kKeySize = 32;
constexpr uint32_t kAesCbc = 5;

std::atomic<uint32_t> gPreloadSwitch{0};
std::atomic<uint32_t> gSpiReadSwitch{1};

uint32_t blockCount(const XtfsStorageInfo* info) { return (info->fssSize + info->blockSize - 1) / info->blockSize; }
uint32_t pageCount(const XtfsStorageInfo* info) { return (info->fssSize + kPage - 1) / kPage; }
uint8_t* mirrorPage(XtfsStorageInfo* info, uint32_t page) { return info->fssMirror + page * kPage; }

// The first page of each block carries the sector header and stays plain.
bool pageEncrypted(const XtfsStorageInfo* info, uint32_t page) {
    return info->fssEncrypted != 0 && (info->fssBase + page * kPage) % info->blockSize != 0;
}

// AES-CBC over bytes 16-255 under the kept key; the IV is the page's flash address, a
// little-endian u32 four times.
TcsResult cryptPage(const XtfsStorageInfo* info, uint32_t page, const uint8_t* in, uint8_t* out, bool encrypt) {
    const uint32_t address = info->fssBase + page * kPage;
    uint8_t iv[16];
    for (uint32_t i = 0; i < 16; ++i) iv[i] = uint8_t(address >> (8 * (i % 4)));
    if (out != in) memcpy(out, in, kPlainHead);
    return encrypt ? palCryptoEncrypt(in + kPlainHead, kPage - kPlainHead, out + kPlainHead, nullptr, info->fssKey,
                                      kKeySize, iv, kAesCbc)
                   : palCryptoDecrypt(in + kPlainHead, kPage - kPlainHead, out + kPlainHead, nullptr, info->fssKey,
                                      kKeySize, iv, kAesCbc);
}

// A stored page as the file system sees it. A blank page was never programmed and is not
// decrypted (its plain form is blank too).
TcsResult plainFromStored(const XtfsStorageInfo* info, uint32_t page, const uint8_t* stored, uint8_t* out) {
    if (!pageEncrypted(info, page) || IsBlankPage(stored)) {
        if (out != stored) memcpy(out, stored, kPage);
        return TCS_RESULT_OK;
    }
    return cryptPage(info, page, stored, out, false);
}

// Range inside the partition, checked in 64 bits so an offset near 4 GiB cannot wrap.
bool badRange(const XtfsStorageInfo* info, uint32_t offset, uint32_t length) {
    return length == 0 || uint64_t(offset) + length > info->fssSize;
}

TcsResult loadRange(ScsSensor* sensor, XtfsStorageInfo* info, uint32_t offset, uint32_t length) {
    for (uint32_t page = offset / kPage; page <= (offset + length - 1) / kPage; ++page) {
        const TcsResult result = xtfsdetail::loadFssPage(sensor, info, page);
        if (result != TCS_RESULT_OK) return result;
    }
    return TCS_RESULT_OK;
}

// The storage record with its file-system partition open; 40 otherwise.
TcsResult openFssOf(const DeviceRef& ref, XtfsStorageInfo** out) {
    if (ref.result != TCS_RESULT_OK) return ref.result;
    XtfsStorageInfo* info = infoOf(ref.device);
    if (info == nullptr || info->fssOpen == 0 || info->fssMirror == nullptr) return TCS_RESULT_NULL_POINTER;
    *out = info;
    return TCS_RESULT_OK;
}

// The sensor handle that a backend slot gets as its context.
ScsSensor* sensorOf(void* context) { return static_cast<ScsSensor*>(context); }

}  // namespace

namespace xtfsdetail {

bool readSwitchOn() { return gPreloadSwitch.load() != 0 || gSpiReadSwitch.load() != 0; }

TcsResult loadFssPage(ScsSensor* sensor, XtfsStorageInfo* info, uint32_t page) {
    if (info->fssPageMap[page] & kLoaded) return TCS_RESULT_OK;
    uint8_t stored[kPage];
    if (info->fssPreloaded) {
        memcpy(stored, mirrorPage(info, page), kPage);
    } else {
        const TcsResult result = SPIRead(sensor, info->fssBase + page * kPage, kPage, stored);
        if (result != TCS_RESULT_OK) return result;
    }
    const TcsResult result = plainFromStored(info, page, stored, mirrorPage(info, page));
    if (result == TCS_RESULT_OK) info->fssPageMap[page] |= kLoaded;
    return result;
}

TcsResult loadAllFss(ScsSensor* sensor, XtfsStorageInfo* info) {
    const uint32_t pages = pageCount(info);
    uint32_t missing = 0;
    for (uint32_t page = 0; page < pages; ++page) missing += (info->fssPageMap[page] & kLoaded) == 0;
    if (missing == 0) return TCS_RESULT_OK;
    if (info->fssPreloaded || missing < 16) {
        for (uint32_t page = 0; page < pages; ++page) {
            const TcsResult result = loadFssPage(sensor, info, page);
            if (result != TCS_RESULT_OK) return result;
        }
        return TCS_RESULT_OK;
    }
    // Many pages missing: one bulk read instead of a transaction per page.
    auto* stored = static_cast<uint8_t*>(palRealMalloc(info->fssSize));
    if (stored == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    TcsResult result = BulkRead(sensor, info->fssBase, stored, info->fssSize, 0);
    for (uint32_t page = 0; page < pages && result == TCS_RESULT_OK; ++page) {
        if (info->fssPageMap[page] & kLoaded) continue;
        result = plainFromStored(info, page, stored + page * kPage, mirrorPage(info, page));
        if (result == TCS_RESULT_OK) info->fssPageMap[page] |= kLoaded;
    }
    palRealFree(stored);
    return result;
}

TcsResult programFssPage(ScsSensor* sensor, XtfsStorageInfo* info, uint32_t page) {
    const uint8_t* plain = mirrorPage(info, page);
    uint8_t stored[kPage];
    TcsResult result = TCS_RESULT_OK;
    if (pageEncrypted(info, page)) {
        result = cryptPage(info, page, plain, stored, true);
    } else {
        memcpy(stored, plain, kPage);
    }
    if (result == TCS_RESULT_OK) result = programPage(sensor, info->fssBase + page * kPage, stored, kPage);
    if (result != TCS_RESULT_OK) return result;
    info->fssPageMap[page] &= uint8_t(~kToProgram);
    uint8_t back[kPage];
    result = SPIRead(sensor, info->fssBase + page * kPage, kPage, back);
    if (result == TCS_RESULT_OK) result = plainFromStored(info, page, back, back);
    if (result != TCS_RESULT_OK) return result;
    return memcmp(back, plain, kPage) == 0 ? TcsResult(TCS_RESULT_OK) : TcsResult(XTFS_RESULT_VERIFY_FAILED);
}

}  // namespace xtfsdetail

extern "C" {

void xtfsSetSensorReadSwitches(uint32_t preload, uint32_t spiRead) {
    gPreloadSwitch.store(preload);
    gSpiReadSwitch.store(spiRead);
}

TcsResult xtfsReadFlash(ScsSensor* sensor, uint32_t offset, uint32_t length, void* buffer) {
    DeviceRef ref(sensor);
    XtfsStorageInfo* info = nullptr;
    TcsResult result = openFssOf(ref, &info);
    if (result != TCS_RESULT_OK) return result;
    if (buffer == nullptr || badRange(info, offset, length)) return TCS_RESULT_BAD_PARAM;
    result = loadRange(sensor, info, offset, length);
    if (result == TCS_RESULT_OK) memcpy(buffer, info->fssMirror + offset, length);
    return result;
}

TcsResult xtfsWriteFlash(ScsSensor* sensor, uint32_t offset, uint32_t length, const void* buffer) {
    DeviceRef ref(sensor);
    XtfsStorageInfo* info = nullptr;
    TcsResult result = openFssOf(ref, &info);
    if (result != TCS_RESULT_OK) return result;
    if (buffer == nullptr || badRange(info, offset, length)) return TCS_RESULT_BAD_PARAM;
    result = loadRange(sensor, info, offset, length);
    if (result != TCS_RESULT_OK) return result;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    bool needErase = false;
    for (uint32_t i = 0; i < length && !needErase; ++i) {
        needErase = (~info->fssMirror[offset + i] & bytes[i]) != 0;
    }
    // An encrypted page already programmed cannot take a change of its encrypted bytes by clearing
    // bits: the new cipher text has nothing to do with the old. Only an erase makes room for it.
    for (uint32_t page = offset / kPage; page <= (offset + length - 1) / kPage && !needErase; ++page) {
        if (!pageEncrypted(info, page) || IsBlankPage(mirrorPage(info, page))) continue;
        const uint32_t from = offset > page * kPage + kPlainHead ? offset : page * kPage + kPlainHead;
        const uint32_t to = offset + length < (page + 1) * kPage ? offset + length : (page + 1) * kPage;
        needErase = from < to && memcmp(info->fssMirror + from, bytes + (from - offset), to - from) != 0;
    }
    if (needErase) {
        const uint32_t pagesPerBlock = info->blockSize / kPage;
        for (uint32_t block = offset / info->blockSize; block <= (offset + length - 1) / info->blockSize; ++block) {
            info->fssBlockMap[block] = 1;
            const uint32_t end = (block + 1) * pagesPerBlock < pageCount(info) ? (block + 1) * pagesPerBlock
                                                                              : pageCount(info);
            for (uint32_t page = block * pagesPerBlock; page < end; ++page) {
                result = xtfsdetail::loadFssPage(sensor, info, page);
                if (result != TCS_RESULT_OK) return result;
                if (!IsBlankPage(mirrorPage(info, page))) info->fssPageMap[page] |= kToProgram;
            }
        }
    }
    for (uint32_t page = offset / kPage; page <= (offset + length - 1) / kPage; ++page) {
        info->fssPageMap[page] |= kToProgram;
    }
    memcpy(info->fssMirror + offset, bytes, length);
    return TCS_RESULT_OK;
}

TcsResult xtfsCommitFlash(ScsSensor* sensor) {
    DeviceRef ref(sensor);
    XtfsStorageInfo* info = nullptr;
    TcsResult result = openFssOf(ref, &info);
    if (result != TCS_RESULT_OK) return result;
    for (uint32_t block = 0; block < blockCount(info); ++block) {
        if (info->fssBlockMap[block] == 0) continue;
        result = xtfsdetail::eraseBlock(sensor, 0xD8, info->fssBase + block * info->blockSize);
        if (result != TCS_RESULT_OK) return result;
        info->fssBlockMap[block] = 0;
    }
    for (uint32_t page = 0; page < pageCount(info); ++page) {
        if ((info->fssPageMap[page] & kToProgram) == 0) continue;
        // A blank page is what the erase (or the flash already) holds: programming its encrypted
        // form would leave cipher text where the file system expects free space.
        if (IsBlankPage(mirrorPage(info, page))) {
            info->fssPageMap[page] &= uint8_t(~kToProgram);
            continue;
        }
        result = xtfsdetail::programFssPage(sensor, info, page);
        if (result != TCS_RESULT_OK) return result;
    }
    return TCS_RESULT_OK;
}

TcsResult xtfsCacheFSSEncKey(ScsSensor* sensor, XtfsStorageInfo* info, uint32_t force) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    if (info == nullptr) info = infoOf(ref.device);
    if (info == nullptr || info->rawOpen == 0 || info->rawImage == nullptr) return XTFS_RESULT_RAW_NOT_OPEN;
    if (info->fssKeyCached && !force) return TCS_RESULT_OK;
    uint32_t wrappedLength = 0;
    TcsResult result = xtfsGetRawPartitionEntry(ref.device, XTFS_ENTRY_FSS_KEY, nullptr, &wrappedLength);
    if (result != TCS_RESULT_OK) return result;
    if (wrappedLength == 0 || wrappedLength > 0xFFFF) return XTFS_RESULT_BAD_TABLE;
    auto* wrapped = static_cast<uint8_t*>(palRealMalloc(wrappedLength));
    if (wrapped == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    result = xtfsGetRawPartitionEntry(ref.device, XTFS_ENTRY_FSS_KEY, wrapped, &wrappedLength);
    uint8_t key[kKeySize + 32];
    uint32_t keyLength = sizeof key, noSecond = 0;
    if (result == TCS_RESULT_OK) {
        result = scsSensorDecVerifyTemplateData(sensor, uint16_t(wrappedLength), wrapped, 0, nullptr, nullptr, key,
                                                &keyLength, nullptr, &noSecond);
    }
    palRealFree(wrapped);
    if (result == TCS_RESULT_OK && keyLength != kKeySize) result = XTFS_RESULT_BAD_TABLE;
    if (result == TCS_RESULT_OK) {
        memcpy(info->fssKey, key, kKeySize);
        info->fssKeyCached = 1;
    }
    volatile uint8_t* wipe = key;
    for (uint32_t i = 0; i < sizeof key; ++i) wipe[i] = 0;
    return result;
}

TcsResult xtfsBackup(ScsSensor* sensor, void* buffer, uint32_t* inOutSize) {
    if (inOutSize == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    XtfsStorageInfo* info = nullptr;
    TcsResult result = openFssOf(ref, &info);
    if (result != TCS_RESULT_OK) return result;
    uint32_t rawPart = 0;
    if (xtfsdetail::isSecured(ref.device)) {
        if (info->rawOpen == 0 || info->rawImage == nullptr) return XTFS_RESULT_RAW_NOT_OPEN;
        rawPart = info->rawSize;
    }
    const uint32_t total = rawPart + info->fssSize;
    if (buffer == nullptr) {
        *inOutSize = total;
        return TCS_RESULT_OK;
    }
    if (*inOutSize != total) return TCS_RESULT_BAD_PARAM;
    result = xtfsdetail::loadAllFss(sensor, info);
    if (result != TCS_RESULT_OK) return result;
    auto* out = static_cast<uint8_t*>(buffer);
    if (rawPart != 0) memcpy(out, info->rawImage, rawPart);
    memcpy(out + rawPart, info->fssMirror, info->fssSize);
    return TCS_RESULT_OK;
}

TcsResult _xtfsGetFlashInfo(void* context, uint32_t* outCapacity, uint32_t* outStoreSize) {
    if (outCapacity == nullptr || outStoreSize == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensor* sensor = sensorOf(context);
    uint32_t open = 0;
    TcsResult result = xtfsIsStorageOpen(sensor, XTFS_PART_FS, &open);
    if (result == TCS_RESULT_OK && !open) result = xtfsStorageOpenEx(sensor, XTFS_PART_FS, 0, 1, nullptr);
    if (result == TCS_RESULT_OK) result = xtfsGetFlashInfo(sensor, outCapacity);
    if (result == TCS_RESULT_OK) result = xtfsGetStorageSize(sensor, XTFS_PART_FS, outStoreSize);
    return result;
}

TcsResult _xtfsReadFlash(void* context, uint32_t address, uint32_t length, void* buffer) {
    return xtfsReadFlash(sensorOf(context), address, length, buffer);
}

TcsResult _xtfsWriteFlash(void* context, uint32_t address, uint32_t length, const void* buffer, uint32_t commitFlag) {
    ScsSensor* sensor = sensorOf(context);
    const TcsResult result = xtfsWriteFlash(sensor, address, length, buffer);
    if (result != TCS_RESULT_OK || commitFlag != 1) return result;
    return xtfsCommitFlash(sensor);
}

TcsResult _xtfsCommitFlash(void* context) { return xtfsCommitFlash(sensorOf(context)); }

TcsResult _xtfsBulkEraseFlash(void* context) { return xtfsBulkEraseFSSStorage(sensorOf(context)); }

TcsResult _xtfsSectorEraseFlash(void* context, uint32_t address, uint32_t sectorCount) {
    return xtfsSectorEraseFlash(sensorOf(context), address, sectorCount);
}

TcsResult _xtfsSPIUninit(void* context) {
    // What the file system wrote since its last commit is only in the mirror: closing the
    // partition would drop it. The host-file backend writes its image out at uninit as well.
    ScsSensor* sensor = sensorOf(context);
    uint32_t open = 0;
    TcsResult result = xtfsIsStorageOpen(sensor, XTFS_PART_FS, &open);
    if (result == TCS_RESULT_OK && open) result = xtfsCommitFlash(sensor);
    const TcsResult closed = xtfsStorageClose(sensor, XTFS_PART_FS);
    return result != TCS_RESULT_OK ? result : closed;
}

}  // extern "C"
