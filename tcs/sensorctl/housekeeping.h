// Device housekeeping run as work items off the service thread: wake-on-event set-up, baseline data
// and flex id.
#pragma once

#include "tcs/sensorctl/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

TcsResult _scsSensorHarlokWOESetup(ScsSensor* sensor);
TcsResult _scsGetBaselineData(ScsSensor* sensor);
TcsResult _scsDetermineFlexId(ScsSensor* sensor);
// Timeout 0 means the device's own time-out.
TcsResult scsSensorEnableSelectiveSuspend(ScsSensor* sensor, uint32_t timeoutMs);
TcsResult scsSensorDisableSelectiveSuspend(ScsSensor* sensor);

#ifdef __cplusplus
}
#endif
