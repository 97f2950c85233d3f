// Lag finalisation: the pooled lines' y and x lags of the chosen direction are cleaned up once the
// swipe is over (weak estimates interpolated, median filtered, stiction and leading noise repaired).
#pragma once

#include "tcs/result.h"

#include <stdint.h>

struct IrReconState;

inline constexpr uint32_t kMaxPlateaus = 32;
inline constexpr uint32_t kFinalWindow = 1024;
inline constexpr uint8_t kJunkLag = 23;

// A run of nearly constant lag: start is its newer end, end its older end (pool indices).
struct YPlateau {
    uint32_t start;
    uint32_t end;
    int32_t startLag;
    int32_t endLag;
    int32_t meanLag;
    int32_t seedLag;
};

// 0, or 1 when 10 or fewer lines are pooled (outputs 0).
TcsResult IRfinalizeYlagEstimates(IrReconState* state, uint32_t direction, uint32_t param45, YPlateau* plateaus,
                                  uint32_t* plateauCount, uint32_t* trailingCount, uint32_t* windowEnd,
                                  uint32_t* noiseEnd);
TcsResult IRfinalizeXlagEstimates(IrReconState* state, uint32_t direction, uint32_t param45, uint32_t trailingCount,
                                  uint32_t windowEnd);
// mode 1 always writes; 0 and 2 spare trusted lines (see the implementation).
void interpolateYlags(IrReconState* state, uint32_t direction, uint32_t a, int32_t lagA, uint32_t b, int32_t lagB,
                      uint32_t mode);
void interpolateXlags(IrReconState* state, uint32_t direction, uint32_t a, int32_t xA, uint32_t b, int32_t xB,
                      uint32_t guarded);
// Class 0..3 of the stretch first..last; lags indexed by pool index.
uint32_t detectStictionZone(IrReconState* state, uint32_t direction, uint32_t windowStart, uint32_t first,
                            uint32_t last, const uint8_t* lags);
uint32_t detectNoiseBeforeBase(IrReconState* state, uint32_t direction, uint32_t lineCount, uint32_t startLine);
uint8_t opt_med5(uint8_t* p);
