// Firmware patches and the pre-boot image: stand-in bodies until the patch work lands (6).
#include "tcs/sensorctl/patches.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

