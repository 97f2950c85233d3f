// Initialisation part of sensor control: the device initialisation machine and its data,
// housekeeping (wake-on-event set-up, baseline, flex id), the LED, selective suspend, the pre-boot
// flash operations, and the accessors and snapshots of what initialisation found.
//
// Device initialisation: the step machine that brings an arrived sensor up, and its cancellation.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

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

// Flex-id detection: the context of the flex-id work and the routine that reads the detection line.
// 32 bytes; device initialisation makes it with no configuration and flex id 0.
typedef struct ScsFlexIdContext ScsFlexIdContext;
typedef TcsResult (*ScsFlexIdRoutine)(ScsFlexIdContext* context, const uint8_t* data, uint32_t length);
struct ScsFlexIdContext {
    ScsSensor* sensor;
    void* printConfiguration;
    uint32_t flexId;  // set by the routine
    ScsFlexIdRoutine process;
};
// Over bytes 8 to length-1, the index of the first smallest byte chooses the flex id (index - 8
// looked up in the Harlok table; a lookup giving 0 leaves the context unchanged). Data shorter
// than 9 bytes does nothing. 17 for a null context or data.
TcsResult scsHarlokProcessFlexIdData(ScsFlexIdContext* context, const uint8_t* data, uint32_t length);

// Power-up baseline: the caller's 24-byte record, and the context of the baseline work.
typedef struct ScsBaselineRecord {
    uint64_t length;  // bytes held in data
    uint64_t lines;
    uint8_t* data;    // palRealMalloc'd; freed by the context on failure
} ScsBaselineRecord;
typedef struct ScsBaselineContext ScsBaselineContext;
typedef TcsResult (*ScsBaselineRoutine)(ScsBaselineContext* context, const uint8_t* data);
struct ScsBaselineContext {
    ScsSensor* sensor;
    uint32_t lineCount;
    ScsBaselineRecord* record;
    ScsBaselineRoutine process;
    const void* flexRecord;
};
// Replaces the record's copy by line length (field 8 of the device's default print configuration)
// times the context's line count bytes of the data. 17 for null arguments, 2 out of memory, the
// print configuration's failure as it comes.
TcsResult scsHarlokGetBaselineData(ScsBaselineContext* context, const uint8_t* data);

// Test seam: while held (1), arrived devices stay on the initialising list untouched (tests that
// drive the engine by hand); while held at 2, a device starts its initialisation (it is then not
// initialised) but takes none of its steps. Released (0) by default.
void scsTestHoldDeviceInit(uint32_t held);

#ifdef __cplusplus
}
#endif
