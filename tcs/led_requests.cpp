// LED requests: handle checks, then the request forwarded to sensor control unchanged.
#include "tcs/led_requests.h"

#include "tcs/core.h"
#include "tcs/handle_map.h"

namespace {

// The sensor control handle behind a sensor handle, or the validation's failure.
TcsResult sensorOf(TcsHandle handle, ScsSensor** out) {
    void* record = nullptr;
    tcsSafeSensorHandleFetch(handle, &record);
    auto* sensor = static_cast<SensorRecord*>(record);
    const TcsResult valid = tcsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    *out = sensor->sensorControlSensor;
    return TCS_RESULT_OK;
}

TcsResult playEvent(TcsHandle handle, uint32_t event) {
    ScsSensor* sensor = nullptr;
    const TcsResult result = sensorOf(handle, &sensor);
    return result != TCS_RESULT_OK ? result : scsSensorLEDSetEvent(sensor, event);
}

}  // namespace

extern "C" {

TcsResult tcsSensorLEDReadyForSwipe(TcsHandle sensor) { return playEvent(sensor, SCS_LED_READY); }
TcsResult tcsSensorLEDEnrollmentSwipeAccepted(TcsHandle sensor) { return playEvent(sensor, SCS_LED_ENROLL_ACCEPTED); }
TcsResult tcsSensorLEDEnrollmentSwipeRejected(TcsHandle sensor) { return playEvent(sensor, SCS_LED_ENROLL_REJECTED); }
TcsResult tcsSensorLEDSwipeAccepted(TcsHandle sensor) { return playEvent(sensor, SCS_LED_SWIPE_ACCEPTED); }
TcsResult tcsSensorLEDSwipeRejected(TcsHandle sensor) { return playEvent(sensor, SCS_LED_SWIPE_REJECTED); }
TcsResult tcsSensorLEDIdle(TcsHandle sensor) { return playEvent(sensor, SCS_LED_IDLE); }
TcsResult tcsSensorLEDSetEvent(TcsHandle sensor, uint32_t event) { return playEvent(sensor, event); }

TcsResult tcsSensorLEDSetIndicatorBrightness(TcsHandle handle, uint32_t percent) {
    ScsSensor* sensor = nullptr;
    const TcsResult result = sensorOf(handle, &sensor);
    return result != TCS_RESULT_OK ? result : scsSensorLEDSetIndicatorBrightness(sensor, percent);
}

TcsResult tcsSensorLEDGetIndicatorBrightness(TcsHandle handle, uint32_t* outPercent) {
    if (outPercent == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensor* sensor = nullptr;
    const TcsResult result = sensorOf(handle, &sensor);
    return result != TCS_RESULT_OK ? result : scsSensorLEDGetIndicatorBrightness(sensor, outPercent);
}

TcsResult tcsSensorLEDSetIndicatorOverride(TcsHandle handle, const ScsLedOverride* values) {
    if (values == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensor* sensor = nullptr;
    TcsResult result = sensorOf(handle, &sensor);
    if (result == TCS_RESULT_OK) result = scsSensorLEDSetIndicatorOverrideConfig(sensor, values);
    return result != TCS_RESULT_OK ? result : scsSensorLEDSetEvent(sensor, SCS_LED_INDICATOR);
}

TcsResult tcsSensorLEDGetIndicatorOverride(TcsHandle handle, ScsLedOverride* out) {
    if (out == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensor* sensor = nullptr;
    const TcsResult result = sensorOf(handle, &sensor);
    return result != TCS_RESULT_OK ? result : scsSensorLEDGetIndicatorOverride(sensor, out);
}

TcsResult tcsSensorLEDSetIndicatorStatus(TcsHandle handle, int32_t status) {
    ScsSensor* sensor = nullptr;
    const TcsResult result = sensorOf(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (status == 0) return scsSensorLEDSetEvent(sensor, SCS_LED_IDLE);
    scsSensorLEDSetIndicatorStatus(sensor);
    return scsSensorLEDSetEvent(sensor, SCS_LED_INDICATOR);
}

TcsResult tcsSensorLEDGetIndicatorStatus(TcsHandle handle, uint32_t* outRunning) {
    if (outRunning == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensor* sensor = nullptr;
    const TcsResult result = sensorOf(handle, &sensor);
    return result != TCS_RESULT_OK ? result : scsSensorLEDGetIndicatorStatus(sensor, outRunning);
}

TcsResult tcsSensorLEDGetConfig(TcsHandle handle, uint32_t event, ScsLedConfigValues* out) {
    if (out == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensor* sensor = nullptr;
    const TcsResult result = sensorOf(handle, &sensor);
    return result != TCS_RESULT_OK ? result : scsSensorLEDConfig(sensor, event, out, 0);
}

TcsResult tcsSensorLEDConfig(TcsHandle handle, uint32_t event, ScsLedConfigValues* values) {
    if (values == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensor* sensor = nullptr;
    const TcsResult result = sensorOf(handle, &sensor);
    return result != TCS_RESULT_OK ? result : scsSensorLEDConfig(sensor, event, values, 1);
}

TcsResult tcsSensorSaveLEDConfig(TcsHandle handle) {
    ScsSensor* sensor = nullptr;
    const TcsResult result = sensorOf(handle, &sensor);
    return result != TCS_RESULT_OK ? result : scsSensorSaveLEDConfig(sensor);
}

TcsResult tcsSensorLoadDefaultLEDConfig(TcsHandle handle) {
    ScsSensor* sensor = nullptr;
    const TcsResult result = sensorOf(handle, &sensor);
    return result != TCS_RESULT_OK ? result : scsSensorLoadDefaultLEDConfig(sensor);
}

TcsResult tcsSensorLEDEnable(uint32_t on) { return scsSensorLEDEnable(on); }

TcsResult tcsSensorIsLEDEnabled(uint32_t* outEnabled) {
    if (outEnabled == nullptr) return TCS_RESULT_NULL_POINTER;
    return scsSensorIsLEDEnabled(outEnabled);
}

}  // extern "C"
