// Device housekeeping: stand-in bodies until the housekeeping work lands (6).
#include "tcs/sensorctl/housekeeping.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

SCS_STAND_IN TcsResult _scsSensorHarlokWOESetup(ScsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult _scsGetBaselineData(ScsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult _scsDetermineFlexId(ScsSensor*) { return TCS_RESULT_NOT_IMPLEMENTED; }
