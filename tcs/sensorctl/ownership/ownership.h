// Ownership on the sensor-control side: the reset-ownership command with its raised pipe time-outs.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

TcsResult ResetOwnership(ScsSensor* sensor, uint32_t length, const uint8_t* data);

#ifdef __cplusplus
}
#endif
