// Baseline (no-finger) data: averaging and validating a block of baseline lines, and correcting
// lines and images by subtracting the baseline.
#pragma once

#include "tcs/imaging/reconstruction/flex_info.h"
#include "tcs/result.h"

#include <stdint.h>

struct IrReconState;

enum : uint32_t {
    kBaselineValid = 1,
    kBaselineInvalid = 2,
};

inline constexpr uint32_t kBaselineMaxSpread = 130;

// The caller's baseline record: the status is written here.
struct BaselineInput {
    uint32_t status;
    uint32_t stride;     // raw line stride in bytes
    uint32_t lineCount;
    const uint8_t* lines;
};

// Written only for a valid baseline; the block comes from palRealMalloc and belongs to the caller.
struct BaselineOutput {
    uint32_t one;
    uint32_t blockSize;
    uint32_t one2;
    uint8_t* block;
};

// 0 (the input's status says valid or invalid), 17 or 7 from the time-slot table, 2 without memory.
TcsResult ProcessBaselineData(const FlexInfoRecord* flex, uint32_t bankArgument, const uint32_t* timeslotTable,
                              uint32_t tableBytes, uint32_t headerLength, BaselineInput* input,
                              uint32_t* noiseLevel, BaselineOutput* output);

void tcsProcessAndValidateBaselineData(const uint8_t* lines, uint32_t lineCount, uint32_t stride, uint32_t firstPixel,
                                       uint32_t previousNoise, uint32_t allowedBad, uint8_t* baselineLine,
                                       uint32_t* meanNoise, uint32_t* representativeNoise, uint32_t* valid);

// Subtracts the signed baseline bytes from a line over the first window (secondary pixels) and
// the second window, clamping at 0 and 255. Nothing without a baseline.
void IRbaselineCorrectScanline(const IrReconState* state, const int8_t* baseline, uint8_t* line, uint32_t headerLength,
                               uint32_t secondStart, uint32_t secondLength, uint32_t firstOffset, uint32_t firstLength,
                               uint32_t doSecond, uint32_t doFirst);

void IRbaselineCorrectImage(IrReconState* state, const int8_t* baseline, uint8_t* image, uint32_t unused,
                            uint32_t rows, uint32_t rowWidth, uint32_t firstColumn);
