// Synchronous sensor commands: one blocking call per command and the wait for a command's reply.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

// Waits for a command's reply event, pumping the device's queues on the service thread; cancels the
// transaction on failure.
TcsResult scsSensorWaitForCommandReply(ScsSensor* sensor, PalEvent* event, uint32_t timeoutMs, uint32_t transactionId);
TcsResult scsSensorGetFingerState(ScsSensor* sensor, uint8_t* outState, uint8_t* outFlags);

#ifdef __cplusplus
}
#endif
