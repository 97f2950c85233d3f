// Flash storage services: stand-in bodies until the flash storage subsystem lands (6: not implemented).
#include "tcs/flashfs/xtfs.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

SCS_STAND_IN TcsResult xtfsReadLastBufferedFpData(ScsSensor*, uint32_t, void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
