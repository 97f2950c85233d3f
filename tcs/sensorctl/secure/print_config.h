// Print configuration and tag records: fingerprint data decryption of a capture.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

// Decrypts a fingerprint-buffer delivery in place (nothing to do without fingerprint encryption).
TcsResult scsSensorDecryptFingerprint(ScsSensorDevice* device, uint8_t* buffer, uint32_t* length);

#ifdef __cplusplus
}
#endif
