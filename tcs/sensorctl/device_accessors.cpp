// Device accessors for the service core: provisioned flag, reset recovery, flash size, driver version.
#include "tcs/sensorctl/device_accessors.h"

#include "platform/text.h"
#include "tcs/flashfs/xtfs.h"

#include <cstring>

// Device initialisation owns the transport query.
extern "C" TcsResult scsGetDeviceInfo(ScsSensorDevice* device, uint8_t* out23);

namespace {

struct DeviceRef {
    ScsSensorDevice* device = nullptr;
    TcsResult result;
    explicit DeviceRef(ScsSensor* sensor) : result(scsSensorDeviceAcquire(sensor, &device)) {}
    ~DeviceRef() {
        if (result == TCS_RESULT_OK) scsSensorDeviceRelease(device);
    }
};

}  // namespace

extern "C" {

TcsResult scsSensorIsProvisioned(ScsSensor* sensor, uint32_t* outProvisioned) {
    if (outProvisioned == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    *outProvisioned = ref.device->provisioned;
    return TCS_RESULT_OK;
}

TcsResult scsSensorDisableResetRecovery(ScsSensor* sensor, uint32_t disable) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    ref.device->resetRecovery = disable == 1 ? 0 : ref.device->resetRecoverySaved;
    return TCS_RESULT_OK;
}

TcsResult scsSensorGetFlashSize(ScsSensor* sensor, uint32_t* outSize) {
    if (outSize == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    return xtfsGetFlashInfo(sensor, outSize);
}

TcsResult scsSensorGetDriverVersion(ScsSensor* sensor, ScsDriverVersion* outVersion) {
    if (outVersion == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    uint8_t info[23] = {};
    const TcsResult result = scsGetDeviceInfo(ref.device, info);
    if (result != TCS_RESULT_OK) return result;
    for (int i = 0; i < 4; ++i) {
        uint32_t word = 0;
        std::memcpy(&word, info + 4 * i, 4);
        outVersion->words[i] = palSensorToHost32(word);
    }
    uint16_t product = 0, vendor = 0;
    std::memcpy(&product, info + 16, 2);
    std::memcpy(&vendor, info + 18, 2);
    outVersion->productId = palSensorToHost16(product);
    outVersion->vendorId = palSensorToHost16(vendor);
    return TCS_RESULT_OK;
}

}  // extern "C"
