// Sensor properties: stand-in bodies until the sensor-properties work lands (6).
#include "tcs/sensorctl/properties.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

SCS_STAND_IN TcsResult scsSensorSetSuspendModeEx(ScsSensor*, uint8_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsGetEFIResourceIdAndSize(ScsSensor*, uint32_t*, uint32_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
