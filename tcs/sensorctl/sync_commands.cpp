// Synchronous sensor commands: stand-in bodies until the synchronous-command work lands (6).
#include "tcs/sensorctl/sync_commands.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

SCS_STAND_IN TcsResult scsSensorWaitForCommandReply(ScsSensor*, PalEvent*, uint32_t, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorGetFingerState(ScsSensor*, uint8_t*, uint8_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
