// Command wire builders and the reply parser: stand-in bodies until the wire-format work lands (6).
#include "tcs/sensorctl/wire_builders.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))


