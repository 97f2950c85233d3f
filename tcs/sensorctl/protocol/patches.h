// Firmware patches and the pre-boot image: loading patches by kind, the run patch, and comparing or
// writing the pre-boot image.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

TcsResult scsSensorLoadPatch(ScsSensor* sensor, const void* list, uint32_t kind, uint32_t excludeMask,
                             uint32_t* outLoaded);
TcsResult scsSensorRestoreRunPatch(ScsSensor* sensor);
TcsResult LoadSecurityManagementPatch(ScsSensor* sensor, uint32_t selector);
TcsResult UnloadPatch(ScsSensor* sensor);
// Reason 0 when the sensor's pre-boot image equals the new one (its 256-byte header given).
TcsResult scsGetEFIUpdateReason(ScsSensor* sensor, const uint8_t* newHeader256, uint32_t* outReason);
TcsResult scsLoadEFIImageEx(ScsSensor* sensor, const void* image, uint32_t size);
// Writes the pre-boot image file of the sensor's type into its image partition: 83 without flash,
// the file's failure when there is none (a shorter file leaves the rest of the partition erased).
TcsResult LoadEFIToFlash(ScsSensor* sensor);
// Erases the flash after a keyed pairing; firmware 4.40 and 4.60 keep the first block.
TcsResult EraseFlash(ScsSensor* sensor);

#ifdef __cplusplus
}
#endif
