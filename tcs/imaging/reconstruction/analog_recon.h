// Analog reconstruction: undoes the sample-to-sample leak of the sensor's coupling along a line.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

struct IrReconState;

inline constexpr int32_t kAnalogLeak = 980992;        // 0.935546875 in 20-bit fixed point
inline constexpr int32_t kAnalogMarginNormal = 50;
inline constexpr int32_t kAnalogMarginBlend = 0;
inline constexpr int32_t kAnalogMarginLastShort = 1000;
inline constexpr int32_t kAnalogMarginClamp = -1;

// pixels: the line's pixels (after any header), rewritten over [firstColumn, endColumn).
TcsResult IRanalogReconScanline(const IrReconState* state, uint8_t* pixels, uint32_t firstColumn, uint32_t endColumn,
                                uint8_t baselineMean, int32_t baselineOffset, int32_t margin);

TcsResult IRanalogReconImage(const IrReconState* state, uint8_t* image, uint32_t packed, uint32_t rows,
                             uint32_t rowLength, uint32_t firstColumn);
