// Selective suspend of the sensor's USB link, through the transport's device functions.
#include "tcs/sensorctl/init/housekeeping.h"

#include "tcs/sensorctl/protocol/protocol_state.h"

namespace {

constexpr uint32_t kEnableSelectiveSuspend = 0x826;
constexpr uint32_t kDisableSelectiveSuspend = 0x827;

}  // namespace

extern "C" {

TcsResult scsSensorEnableSelectiveSuspend(ScsSensor* sensor, uint32_t timeoutMs) {
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    if (timeoutMs == 0) {
        const scsproto::DeviceState* state = scsproto::stateOf(device);
        timeoutMs = state != nullptr ? state->selectiveSuspendTimeoutMs : 5000;
    }
    result = scsSensorSend(device, kEnableSelectiveSuspend, &timeoutMs, sizeof timeoutMs, nullptr, 0, nullptr, nullptr);
    scsSensorDeviceRelease(device);
    return result;
}

TcsResult scsSensorDisableSelectiveSuspend(ScsSensor* sensor) {
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    result = scsSensorSend(device, kDisableSelectiveSuspend, nullptr, 0, nullptr, 0, nullptr, nullptr);
    scsSensorDeviceRelease(device);
    return result;
}

}  // extern "C"
