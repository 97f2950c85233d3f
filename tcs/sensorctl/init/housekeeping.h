// Device housekeeping run as work items off the service thread: wake-on-event set-up, baseline data
// and flex id.
#pragma once

#include "tcs/sensorctl/init/device_init.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/protocol/baseline_info.h"

#ifdef __cplusplus
extern "C" {
#endif

TcsResult _scsSensorHarlokWOESetup(ScsSensor* sensor);
// The baseline capture (work item 82): get-print patch (mode 0), the context's line count of the
// default configuration's line length (one more line when the capture would be a multiple of 64
// bytes), handed to the context's routine. 17 for a null context or sensor, 40 without a default
// configuration.
TcsResult _scsGetBaselineData(ScsBaselineContext* context);
// Flex-id detection (work item 83): start option, else the sensor section's "FlexId", else one line
// captured under the all-zero-keys configuration and handed to the context's routine (58 on
// transport kind 2 and 14 otherwise when there is no such configuration). The context's flex id
// ends up in the device. 17 for a null context or sensor.
TcsResult _scsDetermineFlexId(ScsFlexIdContext* context);
// Runs the flex-id work directly on the service thread (or without one), else as work item 83
// waited for up to 15000 ms. 17 for null arguments.
TcsResult scsDetermineFlexId(ScsSubsystem* subsystem, ScsFlexIdContext* context);
// scsDetermineFlexId with a context that reads the detection line with scsHarlokProcessFlexIdData.
TcsResult scsSensorDetermineFlexId(ScsSensor* sensor);
// The power-up baseline (20 lines) of a family 1 or 2 device into *outRecord (its data is the
// caller's to free with palRealFree). 17 for null arguments or another family, 40 for an unknown
// flex id, 40 when the sensor has no client.
TcsResult scsSesnorGetBaselineData(ScsSensor* sensor, ScsBaselineRecord* outRecord);
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
// The wake-on-event set-up: run directly on the service thread (or when there is none), else as
// work item 81 waited for up to 15000 ms. 17 without subsystem or sensor.
typedef struct ScsWoeSetupContext {
    ScsSensor* sensor;
    uint32_t argument;
} ScsWoeSetupContext;
TcsResult scsSensorHarlokWOESetup(ScsSubsystem* subsystem, ScsWoeSetupContext* context);
// Rebuilds the plug-and-play layer's available list: still-available marks cleared, then every
// initialising device and every announced active device added (with the device itself when its
// reset recovery is on). 40 for a null subsystem, 7 when the device-list lock fails.
TcsResult scsUpdateAvailableDeviceList(ScsSubsystem* subsystem);
// Calibration as work item 63, waited for up to 15000 ms: the item's status. 40 without client or
// subsystem, 46 while a calibration type is set (one runs).
TcsResult scsSensorCalibrate(ScsSensor* sensor, uint8_t type);
// Work item 70 queued with the generic completion, waited for up to 15000 ms: its status (0 when it
// has not run by then).
TcsResult scsPrepareForSuspend(ScsSubsystem* subsystem);

// Copies each present image into the target (7 when a copy cannot be made; nothing kept then).
TcsResult scsCloneBaseLineInfo(const ScsBaseLineInfo* source, ScsBaseLineInfo* target);
// Frees the three pixel buffers (not the block).
TcsResult scsFreeBaseLineInfo(ScsBaseLineInfo* info);

// Checks the captured baseline lines of image and, when they make a valid baseline, fills
// *outRecord with the processed baseline line {1, block size, 1, block} (the block is the caller's).
// An invalid baseline is 0 with *outRecord untouched (its pixels stay NULL). The device's baseline
// variance follows the processing. 17 for null arguments, 40 for an unknown flex id, the
// processing's failure as it comes.
TcsResult scsSensorValidateAndProcessBaseLineData(ScsSensor* sensor, const ScsBaselineRecord* image,
                                                  ScsBaseLineImage* outRecord);

// Hardware reset of the device, then 4000 ms for it to come back.
TcsResult scsSensorHWReset(ScsSensor* sensor);

#ifdef __cplusplus
}
#endif
