// Helpers shared by the flash access and partition files: the device reference held for one
// operation, the storage record, SPI transactions and raw page writes.
#pragma once

#include "tcs/flashfs/xtfs_storage.h"
#include "tcs/sensorctl/engine/scs_internal.h"

#include <stdint.h>

namespace xtfsdetail {

// Holds the sensor's device reference for the whole of one operation.
class DeviceRef {
public:
    explicit DeviceRef(ScsSensor* sensor) { result = scsSensorDeviceAcquire(sensor, &device); }
    ~DeviceRef() {
        if (result == TCS_RESULT_OK) scsSensorDeviceRelease(device);
    }
    DeviceRef(const DeviceRef&) = delete;
    DeviceRef& operator=(const DeviceRef&) = delete;
    TcsResult result;
    ScsSensorDevice* device = nullptr;
};

inline XtfsStorageInfo* infoOf(ScsSensorDevice* device) { return static_cast<XtfsStorageInfo*>(device->storageInfo); }
inline bool isSecured(const ScsSensorDevice* device) {
    return device->aesSecured || device->rsaSecured || device->eccSecured;
}
bool inSecureSession(const ScsSensorDevice* device);

// Creates the storage record and identifies the flash part when the device has none yet.
TcsResult ensureContext(ScsSensor* sensor, ScsSensorDevice* device);

// One SPI transaction: length bytes out, the same number clocked back into receive (may be NULL).
TcsResult spiTrans(ScsSensor* sensor, const uint8_t* transmit, uint8_t* receive, uint32_t length);
TcsResult waitForWriteComplete(ScsSensor* sensor, uint32_t intervalMs);
// Write enable, page program of length bytes within one page, busy wait.
TcsResult programPage(ScsSensor* sensor, uint32_t address, const uint8_t* data, uint32_t length);
// Programs any range page by page.
TcsResult writeRawData(ScsSensor* sensor, uint32_t address, const uint8_t* data, uint32_t length);
TcsResult eraseBlock(ScsSensor* sensor, uint8_t opcode, uint32_t address);

// Places the file-system partition and allocates its mirror (first open of kind 2).
TcsResult openFss(ScsSensor* sensor, ScsSensorDevice* device, XtfsStorageInfo* info);
void freeFss(XtfsStorageInfo* info);

// Either of sensor control's preload and SPI-read switches is on.
bool readSwitchOn();

// File-system mirror pages (index = partition offset / 256): loads a page into the mirror in
// plain, and programs the mirror's page (encrypted when the partition is) and reads it back.
TcsResult loadFssPage(ScsSensor* sensor, XtfsStorageInfo* info, uint32_t page);
TcsResult programFssPage(ScsSensor* sensor, XtfsStorageInfo* info, uint32_t page);
// The whole partition loaded into the mirror.
TcsResult loadAllFss(ScsSensor* sensor, XtfsStorageInfo* info);

// The fingerprint-buffering ring (first open of kind 3), and its RAM.
TcsResult openRing(ScsSensor* sensor, ScsSensorDevice* device, XtfsStorageInfo* info);
void freeRing(XtfsStorageInfo* info);
// Tells sensor control where the ring is, for the buffering record of the next capture (all zero
// when the ring is closed).
void publishRing(ScsSensorDevice* device, const XtfsStorageInfo* info);

// SHA-1 of a raw partition image (rawImage, rawBase and rawSize are used): as it will be stored
// (forStore), or as the live type-14 entry covers it.
TcsResult rawHash(const XtfsStorageInfo* info, bool forStore, uint8_t* out20);

}  // namespace xtfsdetail
