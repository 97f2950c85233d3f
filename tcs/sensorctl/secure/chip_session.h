// Secure-chip session key (Diffie-Hellman over command 0x28) and AES-128-CTR of template data under
// it, the patch signature block rewritten to its cached HMAC form, and which devices are Selkin-secure.
#pragma once

#include "tcs/sensorctl/scs.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ScsSensorDevice ScsSensorDevice;

typedef struct ScsRsSecurityContext {
    uint8_t sessionKey[16];  // all zero: no key
    uint8_t encryptCounter[16];
    uint8_t decryptCounter[16];
    uint8_t* g;  // the four 18-byte big-endian numbers, only during an exchange
    uint8_t* x;
    uint8_t* p;
    uint8_t* c;
} ScsRsSecurityContext;

// What the DH completion reports to the caller waiting on `event`.
typedef struct ScsDHResult {
    TcsResult result;
    PalEvent* event;
    ScsSensorDevice* device;
} ScsDHResult;

#define SCS_DH_COMMAND 0x28u
#define SCS_DH_NUMBER_SIZE 18u

// 1 on a Selkin-secure device (Selkin chip, Dunmo, or firmware 4.0), 0 on any other; the device
// look-up's failure when there is no device.
TcsResult scsSensorIsSelkinSecuryEnabledDevice(ScsSensor* sensor);
TcsResult scsDHEstablishSessionKey(ScsSensor* sensor, uint32_t force);
TcsResult scsDHSessionKeyCB(ScsReplyView* reply, TcsResult status, void* resultRecord);
TcsResult scsRSEncDecData(ScsSensor* sensor, const uint8_t* in, uint8_t* out, uint32_t length, uint32_t encrypt);
TcsResult scsRSUnpackPayloadData(const uint8_t* data, uint32_t* length);
TcsResult scsRSFreeSecurityCtx(ScsSensorDevice* device);
TcsResult scsReplaseRSASignatureByHMAC(const uint8_t* hmac, const uint8_t* block, uint32_t totalLength,
                                       uint8_t** out, uint32_t* outLength);

// Device-level helpers, also used by tests: the context of a device (created on demand), and the
// command of a fresh exchange (g and x drawn, A computed) in a 137-byte buffer; *length 55 or 73.
ScsRsSecurityContext* scsRSSecurityContext(ScsSensorDevice* device, uint32_t create);
TcsResult scsDHBuildCommand(ScsRsSecurityContext* context, uint32_t family, uint8_t* command, uint32_t* length);
TcsResult scsRSEncDecDataOnDevice(ScsSensorDevice* device, const uint8_t* in, uint8_t* out, uint32_t length,
                                  uint32_t encrypt);

#ifdef __cplusplus
}
#endif
