// Sensor properties read through a sensor handle (beside properties.h): RSA key length, transport,
// secure match, wake-on-event type, last fingerprint signature.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

// 256 when bit 3 of the version's capabilities byte is set, else 128.
TcsResult scsSensorGetSupportedRSAKeyLength(ScsSensor* sensor, uint32_t* outLength);
// The transport kind byte; kind 0 gives 20.
TcsResult scsSensorGetTransport(ScsSensor* sensor, uint32_t* outKind);
// 32 for transport kinds 2 and 3, else 64.
TcsResult scsSensorGetTransportBlockSize(ScsSensor* sensor, uint32_t* outSize);
// Predicates give the value itself, 0 when the device cannot be had.
TcsResult scsSensorSecureMatchSupported(ScsSensor* sensor);
TcsResult scsIsSelkinMatchOnChip(ScsSensor* sensor);
TcsResult scsIsWOENFEnabled(ScsSensor* sensor);
TcsResult scsSensorGetLastFpSignature(ScsSensor* sensor, uint8_t* out32);
TcsResult scsIsWoeSupported(ScsSensor* sensor, uint32_t* outSupported);

#ifdef __cplusplus
}
#endif
