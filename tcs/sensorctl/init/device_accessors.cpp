// Device accessors for the service core: provisioned flag, reset recovery, flash size, driver version.
#include "tcs/sensorctl/init/device_accessors.h"

#include "platform/text.h"
#include "tcs/flashfs/xtfs.h"
#include "tcs/sensorctl/init/device_init.h"
#include "tcs/sensorctl/protocol/patches.h"
#include "tcs/sensorctl/protocol/properties.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"

#include <cstring>

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

TcsResult scsIsSelectiveSuspendEnabled(ScsSensor* sensor) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    const scsproto::DeviceState* state = scsproto::stateOf(ref.device);
    return state != nullptr && state->selectiveSuspend ? 1 : 0;
}

TcsResult scsIsSensorInitialized(ScsSensor* sensor, uint32_t* outInitialised) {
    if (outInitialised == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    // Callers ask from their own threads (a capture request) while the service thread makes and
    // frees the record under the device-list lock.
    ScsSubsystem* subsystem = ref.device->subsystem;
    const TcsResult locked = subsystem != nullptr ? scsLock(subsystem->deviceListLock) : TcsResult(TCS_RESULT_OK);
    if (locked != TCS_RESULT_OK) return locked;
    *outInitialised = ref.device->initRecord == nullptr ? 1 : 0;
    if (subsystem != nullptr) scsUnlock(subsystem->deviceListLock);
    return TCS_RESULT_OK;
}

TcsResult scsSensorSetSelectiveSuspendTimeout(ScsSensor* sensor, uint32_t timeoutMs) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    scsproto::DeviceState* state = scsproto::stateOf(ref.device);
    if (state == nullptr) return TCS_RESULT_NULL_POINTER;
    state->selectiveSuspendTimeoutMs = timeoutMs;
    return TCS_RESULT_OK;
}

TcsResult scsSensorGetSelectiveSuspendTimeout(ScsSensor* sensor, uint32_t* outTimeoutMs) {
    if (outTimeoutMs == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    const scsproto::DeviceState* state = scsproto::stateOf(ref.device);
    if (state == nullptr) return TCS_RESULT_NULL_POINTER;
    *outTimeoutMs = state->selectiveSuspendTimeoutMs;
    return TCS_RESULT_OK;
}

TcsResult scsSensorWasSuspended(ScsSensor* sensor, uint32_t* outSuspended) {
    if (outSuspended == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    ScsSensorDevice* device = ref.device;
    if (!(device->aesSecured || device->rsaSecured || device->eccSecured)) {
        *outSuspended = 1;
        return UnloadPatch(sensor);
    }
    const uint32_t kept = device->suppressCloseAlert;
    device->suppressCloseAlert = 1;
    char text[SCS_VERSION_TEXT_SIZE];
    *outSuspended = scsSensorGetVersion(sensor, text) != TCS_RESULT_OK ? 1 : 0;
    device->suppressCloseAlert = kept;
    return TCS_RESULT_OK;
}

uint32_t scsSensorKeepsFeaturesStorage(ScsSensor* sensor) {
    uint32_t capacity = 0;
    return scsSensorGetFlashSize(sensor, &capacity) == TCS_RESULT_OK && capacity != 0 ? 1 : 0;
}

TcsResult scsSensorSetAuthFlag(ScsSensor* sensor, uint32_t flag) {
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    __atomic_fetch_or(&ref.device->authFlags, flag, __ATOMIC_ACQ_REL);
    return TCS_RESULT_OK;
}

TcsResult scsSensorIsPreBootUpdateDue(ScsSensor* sensor, uint32_t* outDue) {
    if (outDue == nullptr) return TCS_RESULT_NULL_POINTER;
    *outDue = 0;
    uint32_t size = 0, resource = 0;
    // Initialisation fills the information when it writes the image after pairing; a sensor paired
    // in an earlier run never passes that step, so its firmware's own image is taken here instead.
    // Firmware without a pre-boot image of its own (1) is no failure: there is nothing to update.
    const bool hasImage = scsGetEFIResourceIdAndSize(sensor, &size, &resource) == TCS_RESULT_OK;
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    ScsSensorDevice* device = ref.device;
    if (hasImage && device->preBootImage[0] == 0 && device->preBootImage[1] == 0) {
        device->preBootImage[0] = size;
        device->preBootImage[1] = resource;
    }
    const uint32_t flags = __atomic_load_n(&device->authFlags, __ATOMIC_ACQUIRE);
    *outDue = (device->preBootImage[0] != 0 || device->preBootImage[1] != 0) &&
                      (flags & SCS_AUTH_FLAG_AUTHENTICATED) != 0 && (flags & SCS_AUTH_FLAG_PREBOOT_UPDATED) == 0
                  ? 1
                  : 0;
    return TCS_RESULT_OK;
}

}  // extern "C"
