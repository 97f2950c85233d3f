// Calibration part of sensor control: the results container and its persistence, the built-in
// rows, the analog sweeps with their value choice, the wake-on-event words and the sequence.
//
// Calibration of the analog front-end: the calibration context, sweep set-up and steps, the results
// container's persistence, and the counted-line captures the sweeps need.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

// Block ids of the calibration steps.
enum {
    SCS_CAL_BLOCK_COMMDET = 0,
    SCS_CAL_BLOCK_PGA_OFFSET = 1,
    SCS_CAL_BLOCK_ADC = 2,
    SCS_CAL_BLOCK_PGA_GAIN = 3,
    SCS_CAL_BLOCK_WOE = 4,
    SCS_CAL_BLOCK_ASP_LNA1 = 5,
    SCS_CAL_BLOCK_ASP_PGA1 = 6,
};

// What one sweep captures, as set up by scsHarlokCalSetup: the context's line buffer and the
// counted-lines command's arguments.
typedef struct ScsHarlokSweepCapture {
    uint8_t* buffer;
    uint32_t size;
    uint16_t lines;  // 0 when no configuration serves the step
    uint8_t mode;
    uint32_t value;
    void* printConfiguration;
} ScsHarlokSweepCapture;

TcsResult scsHarlokCalContextInit(ScsSensorDevice* device, uint32_t loadLast);
TcsResult scsHarlokCalContextUnInit(ScsSensorDevice* device);
TcsResult scsHarlokCalSetup(ScsSensorDevice* device, uint32_t blockId, uint16_t attempt);
TcsResult scsHarlokCalGetSweepCapture(ScsSensorDevice* device, ScsHarlokSweepCapture* out);
// The context's wake-on-event threshold and gain; 54 without a context.
TcsResult scsHarlokCalGetWoeValues(ScsSensorDevice* device, uint32_t* outFirst, uint32_t* outSecond);
// 1 when the context's wake-on-event calibration failed (1 also without a context).
uint32_t scsHarlokCalWoeFailed(ScsSensorDevice* device);
TcsResult scsHarlokCalSetDefaults(ScsSensorDevice* device, uint32_t mode);
// The settling rule over `count` {value, second word} pairs (2 x count words): out = the chosen
// value, its index, index / divisor x step + its second word, index % divisor. 0, 1 when the values
// never rise, 8 when no point settles.
TcsResult scsHarlokCalChooseValuesWithRCAlg(uint32_t count, const uint32_t* pairs, uint32_t step, uint32_t divisor,
                                            uint32_t interleave, uint32_t parity, uint32_t out[4]);
// The sweep evaluations: 0 done, 223 run the step again, other values failed.
TcsResult scsHarlokCalCommDet(ScsSensorDevice* device);
TcsResult scsHarlokCalPgaOffset(ScsSensorDevice* device);
TcsResult scsHarlokCalAdc(ScsSensorDevice* device);
TcsResult scsHarlokCalAspLna1(ScsSensorDevice* device);
TcsResult scsHarlokCalAspPga1(ScsSensorDevice* device);
TcsResult scsHarlokCalPgaGain(ScsSensorDevice* device);
TcsResult scsHarlokCalWoe(ScsSensorDevice* device);

// The 56-byte wake-on-event set-up record from the device's WOE settings (palRealMalloc'd; the caller
// frees it). outAdjusted may be NULL.
TcsResult scsHarlokCalGetWoeSetup(ScsSensorDevice* device, uint8_t** outRecord, uint32_t* outLength, uint32_t mode,
                                  uint32_t* outAdjusted);

TcsResult calResultsSaveCalDataToPersistentStorage(void* container, const char* baseSection);
TcsResult calResultsLoadLastCalDataFromPersistentStorage(void* container, const char* baseSection);

// The device's calibration results under its sensor's settings section.
TcsResult StoreCalibrationDataToPresistentStorage(ScsSensorDevice* device);
TcsResult LoadCalibrationDataFromPresistentStorage(ScsSensorDevice* device);

#ifdef __cplusplus
}
#endif
