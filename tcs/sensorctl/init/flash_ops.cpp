// Flash-backed operations of a sensor handle: the pre-boot flag page, the pre-boot image update and
// the clean-up after an ownership reset.
#include "platform/usb_transport.h"
#include "tcs/flashfs/xtfs.h"
#include "tcs/sensorctl/secure/data_slots.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/ownership/ownership.h"
#include "tcs/sensorctl/protocol/patches.h"
#include "tcs/sensorctl/protocol/properties.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/secure/security.h"

#include <string.h>

namespace {

constexpr const char* kProductSection = "SOFTWARE\\Tovantic\\tfs530";
constexpr uint32_t kPageSize = 256;
constexpr uint8_t kPbaMagic[4] = {'_', 'V', 'E', 'H'};
constexpr int kProgramAttempts = 3;
constexpr uint8_t kSetBit3 = 8;
constexpr uint8_t kClearBit3 = 247;
constexpr uint32_t kEfiHeaderSize = 256;
constexpr TcsResult kOwnershipRefused = 370;
constexpr TcsResult kNoOwnershipCycle = 381;
constexpr TcsResult kNoFlash = 83;

// Switches selective suspend off for one operation and back on when it ends.
class SuspendPause {
public:
    explicit SuspendPause(ScsSensor* sensor) : sensor_(sensor) {
        uint32_t active = 0;
        // Sensors have no settings section of their own here: the product section decides.
        if (palGetPersistentDataLongValue(kProductSection, "SelectiveSuspendActive", 0, &active) == TCS_RESULT_OK &&
            active == 1) {
            paused_ = scsSensorDisableSelectiveSuspend(sensor_) == TCS_RESULT_OK;
        }
    }
    ~SuspendPause() {
        if (paused_) scsSensorEnableSelectiveSuspend(sensor_, 0);
    }
    SuspendPause(const SuspendPause&) = delete;
    SuspendPause& operator=(const SuspendPause&) = delete;

private:
    ScsSensor* sensor_;
    bool paused_ = false;
};

uint8_t applyPbaValue(uint8_t current, uint8_t value) {
    if (value == kSetBit3) return uint8_t(current | 0x08);
    if (value == kClearBit3) return uint8_t(current & ~0x08);
    return value;
}

TcsResult writeSector(ScsSensor* sensor, uint8_t* sector, uint32_t sectorSize, uint32_t index, uint8_t value) {
    uint8_t check[kPageSize];
    for (int attempt = 0; attempt < kProgramAttempts; ++attempt) {
        TcsResult result = SectorErase(sensor, 0);
        if (result != TCS_RESULT_OK) return result;
        sector[index] = applyPbaValue(sector[index], value);
        bool same = true;
        for (uint32_t address = 0; address < sectorSize && same; address += kPageSize) {
            result = PageProgramRaw(sensor, address, sector + address);
            if (result == TCS_RESULT_OK) result = PageReadRaw(sensor, address, check);
            if (result != TCS_RESULT_OK) return result;
            same = memcmp(check, sector + address, kPageSize) == 0;
        }
        if (same) return TCS_RESULT_OK;
    }
    return TCS_RESULT_SENSOR_WRITE_FAILED;
}

}  // namespace

TcsResult scsSetGetPbaFlag(ScsSensor* sensor, uint8_t* inOutByte, uint32_t index, uint32_t set) {
    if (sensor == nullptr || sensor->device == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (inOutByte == nullptr || index >= kPageSize) return TCS_RESULT_BAD_PARAM;
    SuspendPause pause(sensor);
    uint8_t page[kPageSize];
    TcsResult result = PageReadRaw(sensor, 0, page);
    if (result != TCS_RESULT_OK) return result;
    if (memcmp(page, kPbaMagic, sizeof kPbaMagic) != 0) {
        if (set) return TCS_RESULT_SENSOR_READ_FAILED;
        *inOutByte = 0;
        return TCS_RESULT_OK;
    }
    if (!set) {
        *inOutByte = page[index];
        return TCS_RESULT_OK;
    }
    if (page[index] == *inOutByte) return TCS_RESULT_OK;

    XtfsStorageInfo* info = GetStorageInfo(sensor);
    if (info == nullptr) return TCS_RESULT_NULL_POINTER;
    uint32_t sectorSize = 0;
    memcpy(&sectorSize, reinterpret_cast<const uint8_t*>(info) + 4, sizeof sectorSize);
    // The flag byte lives in the first page; a sector must hold at least that page.
    if (sectorSize < kPageSize || sectorSize % kPageSize != 0) return TCS_RESULT_BAD_PARAM;
    auto* sector = static_cast<uint8_t*>(palRealMalloc(sectorSize));
    if (sector == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    for (uint32_t address = 0; address < sectorSize && result == TCS_RESULT_OK; address += kPageSize) {
        result = PageReadRaw(sensor, address, sector + address);
    }
    if (result == TCS_RESULT_OK) result = writeSector(sensor, sector, sectorSize, index, *inOutByte);
    palRealFree(sector);
    return result;
}

TcsResult scsVerifyAndUpdateEFI(ScsSensor* sensor, uint32_t* outReason) {
    if (sensor == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (outReason == nullptr) return TCS_RESULT_NULL_POINTER;
    *outReason = 0;
    uint32_t size = 0;
    uint32_t resourceId = 0;
    TcsResult result = scsGetEFIResourceIdAndSize(sensor, &size, &resourceId);
    if (result != TCS_RESULT_OK) return result;
    if (size < kEfiHeaderSize) return TCS_RESULT_BAD_PARAM;
    auto* image = static_cast<uint8_t*>(palRealMalloc(size));
    if (image == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    result = palGetEFIImage(image, size, resourceId);
    if (result == TCS_RESULT_OK) result = scsGetEFIUpdateReason(sensor, image, outReason);
    if (result == TCS_RESULT_OK && *outReason != 0) {
        result = scsSensorIsBrellow(sensor) ? scsLoadEFIImageEx(sensor, image, size)
                                            : xtfsProgramImagePartition(sensor, image, size, 0);
    }
    palRealFree(image);
    return result;
}

TcsResult scsResetOwnership(ScsResetOwnershipRequest* request) {
    if (request == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensor* sensor = request->sensor;
    ScsSensorDevice* device = nullptr;
    const TcsResult acquired = scsSensorDeviceAcquire(sensor, &device);
    if (acquired != TCS_RESULT_OK) return acquired;
    struct Release {
        ScsSensorDevice* device;
        ~Release() { scsSensorDeviceRelease(device); }
    } release{device};
    if (device->fwVersion == nullptr) return TCS_RESULT_NULL_POINTER;
    const bool rsa = device->rsaSecured != 0;
    if (device->provisioned || !(device->aesSecured || rsa || device->eccSecured)) return kOwnershipRefused;

    TcsResult result = LoadSecurityManagementPatch(sensor, 0);
    if (result != TCS_RESULT_OK) return result;
    const ScsOwnershipData* buffer = request->buffer;
    result = ResetOwnership(sensor, buffer != nullptr ? buffer->length : 0, buffer != nullptr ? buffer->data : nullptr);
    // No ownership cycle left: an RSA-secured device stops here, any other one is wiped as an RSA one.
    bool noCycleLeft = false;
    if (result == kNoOwnershipCycle) {
        if (rsa) return result;
        noCycleLeft = true;
    } else if (result != TCS_RESULT_OK) {
        return result;
    }
    if (scsSSLIsInSession(device)) scsSSLCloseSession(device, rsa ? 1 : 0);
    if (rsa) return TCS_RESULT_OK;
    scsDeleteDataFromStorage(device, SCS_SLOT_SHARED_SECRET, SCS_SERIALIZER_SETTINGS);
    scsDeleteDataFromStorage(device, SCS_SLOT_SENSOR_SECRET, SCS_SERIALIZER_SETTINGS);

    result = UnloadPatch(sensor);
    if (result == TCS_RESULT_OK) {
        uint32_t flashSize = 0;
        xtfsGetFlashInfo(sensor, &flashSize);
        if (flashSize == 0) {
            result = kNoFlash;
        } else if (noCycleLeft) {
            xtfsStorageOpen(sensor, XTFS_PART_FS, 0, nullptr);
            xtfsBulkEraseFSSStorage(sensor);
            xtfsStorageClose(sensor, XTFS_PART_FS);
        } else {
            xtfsBulkErase(sensor);
        }
    }
    return noCycleLeft ? kNoOwnershipCycle : result;
}

TcsResult LoadEFIToFlash(ScsSensor* sensor) {
    uint32_t size = 0;
    uint32_t resourceId = 0;
    TcsResult result = scsGetEFIResourceIdAndSize(sensor, &size, &resourceId);
    if (result != TCS_RESULT_OK) return result;
    auto* image = static_cast<uint8_t*>(palRealMalloc(size));
    if (image == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    // The file may be shorter than the image partition: what it leaves is written as erased flash,
    // never as whatever the buffer held before.
    memset(image, 0xFF, size);
    uint32_t flashSize = 0;
    result = xtfsGetFlashInfo(sensor, &flashSize);
    if (result == TCS_RESULT_OK && flashSize == 0) result = kNoFlash;
    if (result == TCS_RESULT_OK) result = palGetEFIImage(image, size, resourceId);
    if (result == TCS_RESULT_OK) {
        result = scsSensorIsBrellow(sensor) == 1 ? scsLoadEFIImageEx(sensor, image, size)
                                                 : xtfsProgramImagePartition(sensor, image, size, 0);
    }
    palRealFree(image);
    return result;
}

TcsResult EraseFlash(ScsSensor* sensor) {
    uint32_t flashSize = 0;
    uint32_t blockSize = 0;
    TcsResult result = xtfsGetFlashInfo(sensor, &flashSize);
    if (result == TCS_RESULT_OK) result = xtfsGetFlashSectorSize(sensor, &blockSize);
    if (result != TCS_RESULT_OK) return result;
    if (flashSize == 0) return kNoFlash;
    // A zero block size would never advance through the flash.
    if (blockSize == 0) return TCS_RESULT_BAD_PARAM;
    ScsSensorDevice* device = nullptr;
    result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    const ScsFwVersion* version = device->fwVersion;
    const bool keepsFirstBlock = version != nullptr && version->major == 4 && (version->minor == 40 || version->minor == 60);
    scsSensorDeviceRelease(device);
    if (version == nullptr) return TCS_RESULT_NULL_POINTER;

    uint8_t page[kPageSize];
    if (keepsFirstBlock) {
        for (uint32_t address = blockSize; address < flashSize; address += blockSize) {
            result = PageReadRaw(sensor, address, page);
            if (result != TCS_RESULT_OK) return result;
            if (IsBlankPage(page)) continue;
            result = SectorErase(sensor, address);
            if (result != TCS_RESULT_OK) return result;
        }
        return TCS_RESULT_OK;
    }
    for (uint32_t address = 0; address < flashSize; address += blockSize) {
        result = PageReadRaw(sensor, address, page);
        if (result != TCS_RESULT_OK) return result;
        if (!IsBlankPage(page)) return xtfsBulkErase(sensor);
    }
    return SectorErase(sensor, 0x40000);
}
