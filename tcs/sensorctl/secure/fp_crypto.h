// Fingerprint data encryption of a capture: the security record that hands the sensor a fresh key
// and IV, and the decryption of what it sends back.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

// *outSize 0 (no record) outside a secure session or with fingerprint encryption off, else 110;
// the record is written when outRecord is given (110 bytes of room).
TcsResult scsGetSecurityParams(ScsSensorDevice* device, uint8_t* outRecord, uint32_t* outSize, uint32_t sign,
                               uint32_t lineLength);
// The 20-byte fingerprint-buffering record (tag 34): the two buffering parameters, the first and
// last unit of the buffering area. Keeps the current key and IV for the data the ring will hold.
// *outSize is 20; the record is written when outRecord is given.
TcsResult scsGetFpBufferingParams(ScsSensorDevice* device, uint8_t* outRecord, uint32_t* outSize);
// Fingerprint encryption: on from firmware 4.20 on families other than 4, unless "encryptFPData" says.
uint32_t scsSensorFpEncryptionEnabled(ScsSensorDevice* device);

#ifdef __cplusplus
}
#endif
