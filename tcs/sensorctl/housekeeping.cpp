// Device housekeeping: the wake-on-event set-up; stand-in bodies (6) for the baseline and flex-id
// work until device initialisation's processing routines land.
#include "tcs/sensorctl/housekeeping.h"

#include "platform/clock.h"
#include "tcs/sensorctl/sensor_commands_more.h"
#include "tcs/sensorctl/wire_builders.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

// The wake-on-event set-up that calibration chose, sent to the sensor.
TcsResult _scsSensorHarlokWOESetup(ScsSensor* sensor) {
    uint8_t* setup = nullptr;
    uint32_t length = 0;
    TcsResult result = scsSensorHarlokCalGetWoeSetup(sensor, &setup, &length, 0);
    if (result == TCS_RESULT_OK) result = scsSensorWOESetup(sensor, length, setup);
    palRealFree(setup);
    return result;
}
SCS_STAND_IN TcsResult _scsGetBaselineData(ScsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult _scsDetermineFlexId(ScsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }

TcsResult scsSensorPostFingerprintBufferEx(ScsSensor* sensor, uint8_t* buffer, uint32_t size, uint32_t,
                                           ScsFpBufferCallback callback, void* context) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (buffer == nullptr) return TCS_RESULT_BAD_PARAM;
    return scsQueueFpBufferDescriptor(sensor->device, buffer, size, callback, context);
}

TcsResult scsSensorPostFingerprintBuffer(ScsSensor* sensor, uint8_t* buffer, uint32_t size,
                                         ScsFpBufferCallback callback, void* context) {
    return scsSensorPostFingerprintBufferEx(sensor, buffer, size, 0, callback, context);
}

TcsResult scsSensorGetRetransmissionTimeout(ScsSensor* sensor, uint32_t* outTimeoutMs) {
    if (outTimeoutMs == nullptr) return TCS_RESULT_BAD_PARAM;
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    uint32_t returned = 0;
    return scsSensorSend(sensor->device, 0x829, nullptr, 0, outTimeoutMs, sizeof *outTimeoutMs, &returned, nullptr);
}

TcsResult scsSensorHWReset(ScsSensor* sensor) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    const TcsResult result = palSensorHWReset(sensor->device->platformHandle);
    palSleep(4000);
    return result;
}
