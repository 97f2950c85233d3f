// Reconstruction main loop: the per-line stage, the line pool, and assembling the pooled lines into
// image rows when the swipe is over.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

struct IrReconState;

inline constexpr uint32_t kMaxImageRows = 512;
inline constexpr uint32_t kMaxPlacedLines = 1024;
inline constexpr uint8_t kRowDropped = 0xFF;

// Lag tables of the row assignment, by y lag 0..32.
extern const uint8_t kSeparationTable[33];
uint8_t rowRepeatValue(uint32_t lag);

TcsResult IRprocessScanline(IrReconState* state, uint8_t* line, uint32_t flags);
// The pool slot, or null when the line was refused.
uint8_t* IR_addScanlinesToPool(IrReconState* state, const uint8_t* line, uint32_t flags);
TcsResult IRprocessAllScanlines(IrReconState* state);
void IRprefilterScanline(const IrReconState* state, const uint8_t* source, uint8_t* destination);
// Row counts of the pooled lines (newest first) into the score byte of the other direction.
void irAssignRowCounts(IrReconState* state, uint32_t direction);
TcsResult IRreconstructImage(IrReconState* state, uint8_t* rowMarks);
