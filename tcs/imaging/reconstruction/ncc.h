// Integer normalised cross-correlation of pixel windows. Scores are u32 on the scale 16384 x r^2
// for positively correlated windows, 0 for uncorrelated or anti-correlated ones, 65535 for two
// flat windows.
#pragma once

#include <stdint.h>

inline constexpr uint32_t kNccFlatScore = 65535;

struct NccStats {
    uint32_t sum;
    uint32_t sumSquares;
    uint32_t sumSquared;  // sum^2
    uint32_t spread;      // n x sumSquares - sum^2, 0 when not positive
};

void tcsComputeNCCStats(NccStats* stats, const uint8_t* pixels, uint32_t n);
// Fills sum^2 and the spread from an already filled sum and sum of squares.
void tcsComputeDependentNCCStats(NccStats* stats, uint32_t n);

uint32_t computeNCCForGivenLag(const NccStats* a, const NccStats* b, uint32_t crossSum, uint32_t n);
uint32_t computeCrossSumL64(const uint8_t* a, const uint8_t* b);
// statsA may be null (then computed); statsB and residual receive b's statistics and the residual.
uint32_t computeNCCForZeroLag(const uint8_t* a, const uint8_t* b, uint32_t n, const NccStats* statsA,
                              NccStats* statsB, uint32_t* residual);
uint32_t computeCombinedNCCForGivenLag(const NccStats* a1, const NccStats* a2, const NccStats* b1,
                                       const NccStats* b2, uint32_t cross1, uint32_t cross2, uint32_t n);

// Lag window and stopping rules of computeNCCForMultipleLags. Lags are reference offsets: lag L
// compares reference pixels L .. L + n - 1 with the current window.
struct NccLagSearch {
    int8_t start;         // s, the predicted lag
    int8_t minimum;       // m
    int8_t negativeUpper; // u: upper bound of the negative band
    int8_t positiveLower; // l: lower bound of the positive band
    int8_t maximum;       // M
    uint32_t penalty;     // P per lag step away from the best
    uint32_t accept;      // A: a score above it ends the search at once
    uint32_t good;        // G
    uint32_t dropMargin;  // D
    uint32_t peak;        // K
    uint32_t budget;      // E evaluations ...
    uint32_t budgetScore; // ... while the best stays below B
};

// refStats: statistics of the reference window at the start lag, or null to compute them; on a
// new best they receive that window's statistics (bestRefStats may be null). curStats may be null.
// The reference must be readable from ref + minimum to ref + maximum + n - 1.
uint32_t computeNCCForMultipleLags(const uint8_t* ref, const uint8_t* cur, uint32_t n, const NccStats* refStats,
                                   const NccStats* curStats, const NccLagSearch* search, NccStats* bestRefStats,
                                   int8_t* bestLag, uint32_t* bestCross, uint32_t* evaluations);
