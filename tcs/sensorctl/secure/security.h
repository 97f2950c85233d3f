// Secure part of sensor control: the secure channel (handshake, records, session), protected data
// slots, the maker's keys, the secure chip's session key, fingerprint encryption and signing.
//
// Secure channel to the sensor: record encryption of requests and replies, session state and close.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

// May replace *buffer (freeing the old one) and change the lengths; does nothing outside a session.
TcsResult scsSSLEncrypt(ScsSensorDevice* device, uint8_t** buffer, uint32_t* length, uint32_t* expectedReplyLength);
// Decrypts in place and updates *length; does nothing outside a session.
TcsResult scsSSLDecrypt(ScsSensorDevice* device, uint8_t* buffer, uint32_t* length);
TcsResult scsSSLCloseSession(ScsSensorDevice* device, uint32_t sendAlert);
// 1 while the device is in a secure session.
uint32_t scsSSLIsInSession(ScsSensorDevice* device);
uint32_t scsSSLGetSessionKeyLength(ScsSensorDevice* device);

#ifdef __cplusplus
}
#endif
