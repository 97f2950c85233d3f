// Device accessors the service core's sensor services and ownership calls read through a sensor
// handle: provisioned flag, reset recovery, flash size and the transport's driver version record.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

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
// 1 when the device uses selective suspend, 0 when not; the look-up's failure otherwise.
TcsResult scsIsSelectiveSuspendEnabled(ScsSensor* sensor);
// 1 when no device initialisation is attached to the device.
TcsResult scsIsSensorInitialized(ScsSensor* sensor, uint32_t* outInitialised);
TcsResult scsSensorSetSelectiveSuspendTimeout(ScsSensor* sensor, uint32_t timeoutMs);
TcsResult scsSensorGetSelectiveSuspendTimeout(ScsSensor* sensor, uint32_t* outTimeoutMs);
// 1 when the sensor lost its state in a suspend: a secured sensor that no longer answers
// get-version (asked with close alerts held back), any other sensor always (its patch is unloaded).
TcsResult scsSensorWasSuspended(ScsSensor* sensor, uint32_t* outSuspended);
// 1 when the device keeps a features storage: one with SPI flash, where its own database lives;
// 0 otherwise (also when the device cannot be had or its flash not identified).
uint32_t scsSensorKeepsFeaturesStorage(ScsSensor* sensor);

// Flags of the authentication flows, kept per device: a verification or identification succeeded,
// and the pre-boot image was checked and brought up to date after one.
enum { SCS_AUTH_FLAG_AUTHENTICATED = 1, SCS_AUTH_FLAG_PREBOOT_UPDATED = 2 };
TcsResult scsSensorSetAuthFlag(ScsSensor* sensor, uint32_t flag);
// 1 when the device's firmware has a pre-boot image (its size and resource id are then kept in the
// device), the device is authenticated and its image was not yet updated; else 0.
TcsResult scsSensorIsPreBootUpdateDue(ScsSensor* sensor, uint32_t* outDue);

#ifdef __cplusplus
}
#endif
