// Device initialisation: the step machine that brings an arrived sensor up, and its cancellation.
#pragma once

#include "tcs/sensorctl/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

// One initialisation step of a device on the initialising list (called under the device-list lock).
TcsResult scsSensorDeviceInit(ScsSensorDevice* device);
// Cancels (mode non-zero: removal) and runs the machine to its end on the calling thread.
TcsResult scsCancelDeviceInitialization(ScsSensorDevice* device, uint32_t mode);
// One visit of the outer machine: status 209 is a service visit, any other the completion status of
// the private client's or handle's pending request (handle: what it produced).
TcsResult scsDeviceInit(void* handle, TcsResult status, ScsSensorDevice* device);
// Completion of the private requests; destroys the client of a context orphaned by a cancel.
TcsResult scsDeviceInitCallback(void* handle, TcsResult status, void* context);
// Frees the device's initialisation record so initialisation starts again from its first step.
void scsSensorDeviceFreeInitRecord(ScsSensorDevice* device);

// Reads the 23-byte device information (control function 0x820): four driver words, product id,
// vendor id, subclass high and low nibble, transport kind.
TcsResult scsGetDeviceInfo(ScsSensorDevice* device, uint8_t* out23);
// Reads the device information and sets the reply parser, family, ids, variant and signature caching.
TcsResult scsSensorDeviceFirstTimeInit(ScsSensorDevice* device);

// Test seam: while held, arrived devices stay on the initialising list untouched (tests that drive
// the engine by hand); released by default.
void scsTestHoldDeviceInit(uint32_t held);

#ifdef __cplusplus
}
#endif
