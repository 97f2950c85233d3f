// Firmware patches and the pre-boot image: stand-in bodies until the patch work lands (6).
#include "tcs/sensorctl/patches.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

SCS_STAND_IN TcsResult scsSensorLoadPatch(ScsSensor*, const void*, uint32_t, uint32_t, uint32_t* outLoaded) {
    if (outLoaded != nullptr) *outLoaded = 0;
    return TCS_RESULT_NOT_IMPLEMENTED;
}
SCS_STAND_IN TcsResult scsSensorRestoreRunPatch(ScsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsGetEFIUpdateReason(ScsSensor*, const uint8_t*, uint32_t* outReason) {
    if (outReason != nullptr) *outReason = 0;
    return TCS_RESULT_NOT_IMPLEMENTED;
}
SCS_STAND_IN TcsResult scsLoadEFIImageEx(ScsSensor*, const void*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult LoadSecurityManagementPatch(ScsSensor*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult UnloadPatch(ScsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }
