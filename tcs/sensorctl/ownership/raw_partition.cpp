// The raw partition's copy in the settings store: saved from the open partition (into the store,
// onto the sensor, or both) and restored into a freshly made partition at initialisation.
#include "tcs/sensorctl/ownership/secure_storage.h"

#include "platform/memory.h"
#include "platform/settings.h"
#include "tcs/flashfs/xtfs.h"
#include "tcs/flashfs/xtfs_storage.h"
#include "tcs/sensorctl/secure/data_slots.h"
#include "tcs/sensorctl/scs.h"

#include <cstring>

namespace {

constexpr uint32_t kHeaderSize = 256;
constexpr uint32_t kNotOpen = 375;
const char kRawValue[] = "RAW";

struct DeviceHold {
    explicit DeviceHold(ScsSensor* sensor) : result(scsSensorDeviceAcquire(sensor, &device)) {}
    ~DeviceHold() {
        if (result == TCS_RESULT_OK) scsSensorDeviceRelease(device);
    }
    DeviceHold(const DeviceHold&) = delete;
    DeviceHold& operator=(const DeviceHold&) = delete;
    ScsSensorDevice* device = nullptr;
    TcsResult result;
};

TcsResult sectionOf(const ScsSensorDevice* device, char* section, uint32_t size) {
    return scsSensorSectionName(device->fwVersion->serial, section, size);
}

}  // namespace

extern "C" {

TcsResult scsSerializeRawPartition(ScsSensor* sensor, uint32_t mode) {
    DeviceHold hold(sensor);
    if (hold.result != TCS_RESULT_OK) return hold.result;
    const ScsFwVersion* v = hold.device->fwVersion;
    if (v == nullptr) return TCS_RESULT_NULL_POINTER;
    XtfsStorageInfo* info = GetStorageInfo(sensor);
    if (info == nullptr || info->rawOpen == 0 || info->rawImage == nullptr) return kNotOpen;
    const XtfsRawDataRecord* last = GetLastRawDataRecord(info);
    const uint32_t size = scsRawPartitionSaveSize(info->rawSize, scsSensorIsBrellow(sensor) == 1, v->major, v->minor,
                                                  last != nullptr, last != nullptr ? last->type : 0,
                                                  last != nullptr ? last->address : 0, last != nullptr ? last->length : 0);
    TcsResult result = TCS_RESULT_OK;
    if (mode == SCS_RAW_SAVE_STORE || mode == SCS_RAW_SAVE_BOTH) {
        char section[300];
        result = sectionOf(hold.device, section, sizeof section);
        if (result == TCS_RESULT_OK) result = palSetPersistentDataBinaryValue(section, kRawValue, info->rawImage, size);
        memset(section, 0, sizeof section);
        if (result != TCS_RESULT_OK) return result;
    }
    if (mode == SCS_RAW_SAVE_PROGRAM || mode == SCS_RAW_SAVE_BOTH) result = xtfsProgramRawPartition(sensor, info->rawImage, size);
    return result;
}

TcsResult scsDeSerializeRawPartition(ScsSensor* sensor, uint32_t* outFound) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    DeviceHold hold(sensor);
    if (hold.result != TCS_RESULT_OK) return hold.result;
    const ScsFwVersion* v = hold.device->fwVersion;
    if (v == nullptr) return TCS_RESULT_NULL_POINTER;
    uint8_t kind = 0;
    uint32_t partitionSize = 0;
    scsRawPartitionKind(scsSensorIsBrellow(sensor) == 1, v->major, v->minor, &kind, &partitionSize);

    char section[300];
    TcsResult result = sectionOf(hold.device, section, sizeof section);
    const uint8_t none = 0;
    uint32_t saved = 0;
    if (result == TCS_RESULT_OK) result = palGetPersistentDataBinaryValue(section, kRawValue, &none, 0, nullptr, &saved);
    if (result == TCS_RESULT_OK && saved == 0) {
        // Nothing kept on the host: the partition opens from the sensor as usual and stays open.
        memset(section, 0, sizeof section);
        result = xtfsStorageOpen(sensor, XTFS_PART_RAW, 0, nullptr);
        if (result == TCS_RESULT_OK && outFound != nullptr) *outFound = 0;
        return result;
    }
    uint8_t* buffer = nullptr;
    if (result == TCS_RESULT_OK && saved > partitionSize) result = TCS_RESULT_BAD_PARAM;
    if (result == TCS_RESULT_OK) {
        buffer = static_cast<uint8_t*>(palRealMalloc(partitionSize));
        if (buffer == nullptr) result = TCS_RESULT_OUT_OF_MEMORY;
    }
    if (result == TCS_RESULT_OK) {
        memset(buffer, 0xFF, partitionSize);
        uint32_t count = saved;
        result = palGetPersistentDataBinaryValue(section, kRawValue, &none, 0, buffer, &count);
        if (result == TCS_RESULT_OK) result = scsRawPartitionCheckSaved(buffer, count, kind, partitionSize);
    }
    memset(section, 0, sizeof section);
    if (result == TCS_RESULT_OK) result = xtfsStorageOpen(sensor, XTFS_PART_RAW, 1, nullptr);
    if (result == TCS_RESULT_OK) {
        XtfsStorageInfo* info = GetStorageInfo(sensor);
        if (info == nullptr || info->rawImage == nullptr || info->rawSize < kHeaderSize) {
            result = kNotOpen;
        } else {
            // The in-memory image is the partition's size; the header page is its first 256 bytes.
            memcpy(info->rawImage, buffer, partitionSize < info->rawSize ? partitionSize : info->rawSize);
            if (info->header != nullptr && info->header != info->rawImage) {
                memcpy(const_cast<uint8_t*>(info->header), buffer, kHeaderSize);
            }
            if (outFound != nullptr) *outFound = 1;
        }
    }
    if (buffer != nullptr) {
        memset(buffer, 0, partitionSize);
        palRealFree(buffer);
    }
    if (result != TCS_RESULT_OK) xtfsStorageClose(sensor, XTFS_PART_RAW);
    return result;
}

}  // extern "C"
