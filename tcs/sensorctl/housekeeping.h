// Device housekeeping run as work items off the service thread: wake-on-event set-up, baseline data
// and flex id.
#pragma once

#include "tcs/sensorctl/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

TcsResult _scsSensorHarlokWOESetup(ScsSensor* sensor);
TcsResult _scsGetBaselineData(ScsSensor* sensor);
TcsResult _scsDetermineFlexId(ScsSensor* sensor);
// Timeout 0 means the device's own time-out.
TcsResult scsSensorEnableSelectiveSuspend(ScsSensor* sensor, uint32_t timeoutMs);
TcsResult scsSensorDisableSelectiveSuspend(ScsSensor* sensor);

// Posts a caller-owned buffer on the device's fingerprint queue; the callback gets (context, status,
// data, length) when it is filled. Flags other than 0 ask for the first-buffer handling of the
// transport, which this transport does not distinguish. 17 for a null buffer.
TcsResult scsSensorPostFingerprintBufferEx(ScsSensor* sensor, uint8_t* buffer, uint32_t size, uint32_t flags,
                                           ScsFpBufferCallback callback, void* context);
TcsResult scsSensorPostFingerprintBuffer(ScsSensor* sensor, uint8_t* buffer, uint32_t size,
                                         ScsFpBufferCallback callback, void* context);
// The transport's retransmission time-out in ms (function 0x829).
TcsResult scsSensorGetRetransmissionTimeout(ScsSensor* sensor, uint32_t* outTimeoutMs);
// Hardware reset of the device, then 4000 ms for it to come back.
TcsResult scsSensorHWReset(ScsSensor* sensor);

#ifdef __cplusplus
}
#endif
