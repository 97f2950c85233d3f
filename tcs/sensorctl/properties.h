// Sensor properties kept per device: suspend mode and the other settable device properties.
#pragma once

#include "tcs/sensorctl/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

TcsResult scsSensorSetSuspendModeEx(ScsSensor* sensor, uint8_t mode);

#ifdef __cplusplus
}
#endif
