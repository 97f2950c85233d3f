// Device accessors the service core's sensor services and ownership calls read through a sensor
// handle: provisioned flag, reset recovery, flash size and the transport's driver version record.
#pragma once

#include "tcs/sensorctl/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

// The driver version record: the four words the transport reported for the device, then the USB
// product id and the word after it.
typedef struct ScsDriverVersion {
    uint32_t words[4];
    uint16_t productId;
    uint16_t vendorId;
} ScsDriverVersion;

TcsResult scsSensorIsProvisioned(ScsSensor* sensor, uint32_t* outProvisioned);
// 1 turns reset recovery off for the device; any other value restores the device's default.
TcsResult scsSensorDisableResetRecovery(ScsSensor* sensor, uint32_t disable);
TcsResult scsSensorGetFlashSize(ScsSensor* sensor, uint32_t* outSize);
TcsResult scsSensorGetDriverVersion(ScsSensor* sensor, ScsDriverVersion* outVersion);

#ifdef __cplusplus
}
#endif
