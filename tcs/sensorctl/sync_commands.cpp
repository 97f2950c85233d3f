// Synchronous sensor commands: stand-in bodies until the synchronous-command work lands (6).
#include "tcs/sensorctl/sync_commands.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

