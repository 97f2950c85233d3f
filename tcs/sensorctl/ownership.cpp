// Ownership: stand-in body until the ownership work lands (6).
#include "tcs/sensorctl/ownership.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

