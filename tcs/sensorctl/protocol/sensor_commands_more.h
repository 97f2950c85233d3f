// Synchronous sensor commands with larger replies (signature, decommission, template data,
// authentication data, SPI fast read, wake-on-event set-up).
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

TcsResult scsSensorGetPrintSignature(ScsSensor* sensor, uint8_t* inOutType, uint8_t* outSignature);
TcsResult scsSensorDecommission(ScsSensor* sensor);
TcsResult scsSensorRewritePm(ScsSensor* sensor);
TcsResult scsSensorSendMatchVerify(ScsSensor* sensor, uint16_t length, const uint8_t* data, const uint8_t* value32,
                                   uint8_t* outData, uint32_t* inOutCapacity);
// 5 when the data do not fit the caller's buffer.
TcsResult scsSensorSendSignEncTemplateData(ScsSensor* sensor, uint32_t aLength, const uint8_t* a, uint32_t bLength,
                                           const uint8_t* b, uint8_t* outData, uint32_t* inOutCapacity);
TcsResult scsSensorSendDecVerifyTemplateData(ScsSensor* sensor, uint16_t length, const uint8_t* data,
                                             uint32_t secondLength, const uint8_t* second, const uint8_t* value32,
                                             uint8_t* outFirst, uint32_t* inOutFirst, uint8_t* outSecond,
                                             uint32_t* inOutSecond);
// The data in a palRealMalloc'd buffer the caller frees.
TcsResult scsSensorSendGetAuthData(ScsSensor* sensor, const uint8_t* a, uint32_t aLength, const uint8_t* b,
                                   uint32_t bLength, uint8_t** outData, uint32_t* outLength);
// The count must be a multiple of 64; the data arrive through a posted fingerprint buffer.
TcsResult scsSensorSPIBulkRead(ScsSensor* sensor, uint32_t commandLength, const uint8_t* command, uint32_t count,
                               uint8_t* destination);
TcsResult scsSensorWOESetup(ScsSensor* sensor, uint32_t length, const uint8_t* setup);
TcsResult scsSensorMatchVerifyResult(ScsSensor* sensor, uint32_t* outA, uint32_t* outB, uint32_t* outC);

#ifdef __cplusplus
}
#endif
