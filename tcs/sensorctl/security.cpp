// Secure channel: stand-in bodies until the secure-channel work lands. Outside a session encryption
// and decryption leave the data alone, which is what these bodies do.
#include "tcs/sensorctl/security.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

SCS_STAND_IN TcsResult scsSSLEncrypt(ScsSensorDevice*, uint8_t**, uint32_t*, uint32_t*) { return TCS_RESULT_OK; }
SCS_STAND_IN TcsResult scsSSLDecrypt(ScsSensorDevice*, uint8_t*, uint32_t*) { return TCS_RESULT_OK; }
SCS_STAND_IN TcsResult scsSSLCloseSession(ScsSensorDevice*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN uint32_t scsSSLIsInSession(ScsSensorDevice*) { return 0; }
SCS_STAND_IN uint32_t scsSSLGetSessionKeyLength(ScsSensorDevice*) { return 0; }
