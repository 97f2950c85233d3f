// The sensor maker's public keys (gSSPubKeyList) and the sensor certificate check built on them.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ScsSensor ScsSensor;
typedef struct ScsSensorDevice ScsSensorDevice;
typedef struct ScsFwVersion ScsFwVersion;

extern const uint8_t gSSPubKeyList[5][259];

// The maker modulus for (major, minor, capability bit 0x20) of the version record, least
// significant byte first (as stored on Brellow sensors); 17 when no row matches.
TcsResult scsSensorGetSSPubKey(ScsSensorDevice* device, const ScsFwVersion* version, uint8_t out[256]);
// Checks the maker's PKCS#1 v1.5 SHA-256 signature (256 bytes, most significant first) over a
// certificate. 0 when it holds; 54 for a mismatch; 6 on AES-secured sensors.
TcsResult scsSensorValidateCertificate(ScsSensor* sensor, uint32_t certificateLength, const uint8_t* certificate,
                                       const uint8_t* signature);
TcsResult scsSensorValidateCertificateOnDevice(ScsSensorDevice* device, uint32_t certificateLength,
                                               const uint8_t* certificate, const uint8_t* signature);

#ifdef __cplusplus
}
#endif
