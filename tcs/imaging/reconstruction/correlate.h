// Scan-line correlation: y and x lags of each kept line against earlier lines, the search ranges,
// and turning a finished image into the canonical orientation.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

struct IrReconState;

inline constexpr uint32_t kCorrelationEntries = 24;
inline constexpr uint32_t kCorrelationStatsBytes = 32;  // two NccStats behind each stored line
inline constexpr uint32_t kGoodCorrelation = 1500;

struct CorrRanges {
    int32_t minimum;
    int32_t maximum;
    int32_t centre;
    int32_t a, b;  // positive x band
    int32_t c, e;  // negative x band, as magnitudes
    uint8_t weights[24];
};

// Stores the chosen correlator's direction word; 0.
TcsResult IRcorrelate(IrReconState* state, uint8_t* line);
// Each returns its direction word (0, 1, 2); outFlag is 1 when the best lag exceeded 21.
uint32_t IRcorrelateUp(IrReconState* state, uint8_t* line, uint32_t windowLength, uint32_t* outFlag);
uint32_t IRcorrelateDown(IrReconState* state, uint8_t* line, uint32_t windowLength, uint32_t* outFlag);
uint32_t IRcorrelateUpDown(IrReconState* state, uint8_t* line, uint32_t windowLength, uint32_t* outFlag);
// Bookkeeping of a correlator's best match S for direction d: good and weak line counts, last lags
// (kept when S is below 1500), accumulated score, out flag (best lag above 21), the line's header
// bytes and the skip counters. Shared by both correlators.
void irRecordCorrelation(IrReconState& state, uint32_t direction, uint8_t* line, int32_t bestLag, int8_t bestX,
                         uint32_t S, uint32_t* outFlag);
void setupCorrParams(IrReconState* state, uint32_t direction, CorrRanges* out);
// 1 when the rows were mirrored.
uint32_t IRhandleInvertAndFlip(IrReconState* state, uint32_t unused, uint32_t swap, uint8_t* pixels, uint32_t columns,
                               uint32_t rows);
