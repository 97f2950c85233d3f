// Sensor properties kept per device: suspend mode and the other settable device properties.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

TcsResult scsSensorSetSuspendModeEx(ScsSensor* sensor, uint8_t mode);
// The pre-boot image that belongs to the sensor's firmware: its size and resource id.
TcsResult scsGetEFIResourceIdAndSize(ScsSensor* sensor, uint32_t* outSize, uint32_t* outResourceId);

#ifdef __cplusplus
}
#endif
