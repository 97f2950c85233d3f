// Image post-processing: orientation, skipped rows, contrast, dark and dead columns, finger width,
// centre-window statistics, skew correction and rotation back of sideways drift.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

struct IrReconState;

struct FingerBounds {
    uint16_t start;
    uint16_t end;
};

// 1 when the image has fewer than 75 rows (nothing done), else 0.
TcsResult IRpostProcessImage(IrReconState* state, uint8_t* rowMarks);
void FindFingerBounds(const uint8_t* pixels, uint32_t start, uint32_t end, FingerBounds* bounds, uint32_t index);
void NormalizeGrayscaleValuesMethod1(uint8_t* pixels, uint32_t start, uint32_t end, uint32_t outStart, uint32_t outEnd,
                                     uint32_t lowPercent, uint32_t highPercent);
TcsResult IRConstrastEnhanceImageCols(IrReconState* state, uint8_t* pixels, uint32_t packed, uint32_t rows,
                                      uint32_t columns);
TcsResult IRConstrastEnhanceImageRows(IrReconState* state, uint8_t* pixels, uint32_t packed, uint32_t rows,
                                      uint32_t columns);
// Returns the right margin.
uint32_t doFingerWidthAnalysis(const uint8_t* pixels, uint32_t rows, uint32_t columns, uint32_t firstColumn,
                               const uint8_t* rowMarks, uint16_t* leftMargin, uint16_t* rightMargin, uint32_t packed);
TcsResult IRSkewCorrectImage(IrReconState* state, uint8_t* pixels, uint32_t packed, const uint8_t* rowMarks,
                             uint32_t rows, uint32_t columns, uint32_t unused, uint32_t option, int16_t* leftLimits,
                             int16_t* rightLimits, uint32_t flip);
uint32_t IRapplyXLagOffset(uint8_t* row, int32_t offset, int32_t baseOffset, uint32_t width, uint32_t packed,
                           uint32_t firstColumn, uint8_t fill, uint32_t fillMode, uint32_t rowIndex, int16_t* leftLimits,
                           int16_t* rightLimits);
