// Secure channel: stand-in bodies until the secure-channel work lands. Outside a session encryption
// and decryption leave the data alone, which is what these bodies do.
#include "tcs/sensorctl/security.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

