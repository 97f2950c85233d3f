// Calibration: stand-in bodies until the calibration work lands (6, no context).
#include "tcs/sensorctl/calibration.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

SCS_STAND_IN TcsResult scsHarlokCalContextInit(ScsSensorDevice*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsHarlokCalContextUnInit(ScsSensorDevice*) { return TCS_RESULT_OK; }
SCS_STAND_IN TcsResult scsHarlokCalSetup(ScsSensorDevice*, uint32_t, uint16_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsHarlokCalGetSweepCapture(ScsSensorDevice*, ScsHarlokSweepCapture* out) {
    if (out != nullptr) *out = ScsHarlokSweepCapture{};
    return TCS_RESULT_NOT_IMPLEMENTED;
}
SCS_STAND_IN TcsResult scsHarlokCalGetWoeValues(ScsSensorDevice*, uint32_t*, uint32_t*) { return TCS_RESULT_ERROR; }
SCS_STAND_IN uint32_t scsHarlokCalWoeFailed(ScsSensorDevice*) { return 1; }
SCS_STAND_IN TcsResult scsHarlokCalSetDefaults(ScsSensorDevice*, uint32_t) { return TCS_RESULT_ERROR; }
SCS_STAND_IN TcsResult scsHarlokCalCommDet(ScsSensorDevice*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsHarlokCalPgaOffset(ScsSensorDevice*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsHarlokCalAdc(ScsSensorDevice*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsHarlokCalAspLna1(ScsSensorDevice*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsHarlokCalAspPga1(ScsSensorDevice*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsHarlokCalPgaGain(ScsSensorDevice*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsHarlokCalWoe(ScsSensorDevice*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult calResultsSaveCalDataToPersistentStorage(void*, const char*) {
    return TCS_RESULT_NOT_IMPLEMENTED;
}
SCS_STAND_IN TcsResult calResultsLoadLastCalDataFromPersistentStorage(void*, const char*) {
    return TCS_RESULT_NOT_IMPLEMENTED;
}
