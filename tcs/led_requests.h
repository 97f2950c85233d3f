// LED requests of the client interface: each checks the sensor handle and hands the request to
// sensor control on the caller's thread (playing an event sleeps there).
#pragma once

#include "tcs/result.h"
#include "tcs/sensorctl/init/led.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint64_t TcsHandle;

TcsResult tcsSensorLEDReadyForSwipe(TcsHandle sensor);
TcsResult tcsSensorLEDEnrollmentSwipeAccepted(TcsHandle sensor);
TcsResult tcsSensorLEDEnrollmentSwipeRejected(TcsHandle sensor);
TcsResult tcsSensorLEDSwipeAccepted(TcsHandle sensor);
TcsResult tcsSensorLEDSwipeRejected(TcsHandle sensor);
TcsResult tcsSensorLEDIdle(TcsHandle sensor);
// Sensor control refuses ids outside 23-30 with 17.
TcsResult tcsSensorLEDSetEvent(TcsHandle sensor, uint32_t event);
TcsResult tcsSensorLEDSetIndicatorBrightness(TcsHandle sensor, uint32_t percent);
TcsResult tcsSensorLEDGetIndicatorBrightness(TcsHandle sensor, uint32_t* outPercent);
TcsResult tcsSensorLEDSetIndicatorOverride(TcsHandle sensor, const ScsLedOverride* values);
TcsResult tcsSensorLEDGetIndicatorOverride(TcsHandle sensor, ScsLedOverride* out);
// 0 plays the idle event; any other value shows the configured status pattern (event 30).
TcsResult tcsSensorLEDSetIndicatorStatus(TcsHandle sensor, int32_t status);
TcsResult tcsSensorLEDGetIndicatorStatus(TcsHandle sensor, uint32_t* outRunning);
TcsResult tcsSensorLEDGetConfig(TcsHandle sensor, uint32_t event, ScsLedConfigValues* out);
TcsResult tcsSensorLEDConfig(TcsHandle sensor, uint32_t event, ScsLedConfigValues* values);
TcsResult tcsSensorSaveLEDConfig(TcsHandle sensor);
TcsResult tcsSensorLoadDefaultLEDConfig(TcsHandle sensor);
TcsResult tcsSensorLEDEnable(uint32_t on);
TcsResult tcsSensorIsLEDEnabled(uint32_t* outEnabled);

#ifdef __cplusplus
}
#endif
