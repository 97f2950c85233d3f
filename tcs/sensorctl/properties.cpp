// Sensor properties: stand-in bodies until the sensor-properties work lands (6).
#include "tcs/sensorctl/properties.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

