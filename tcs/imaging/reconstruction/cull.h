// Scan-line culling: keep a line (0) or drop it with a reason code, by comparing it with the last
// kept line through a fixed cascade of tests chosen by the cull flags.
#pragma once

#include "tcs/imaging/reconstruction/ncc.h"
#include "tcs/result.h"

#include <stdint.h>

struct IrGeometry;

// Cull flags (16 bits).
enum : uint16_t {
    kCullNoiseTest = 1u << 1,
    kCullSimilarityTest = 1u << 2,
    kCullSpreadTest = 1u << 4,
    kCullEdgeTest = 1u << 5,
    kCullSpreadTracking = 1u << 6,
    kCullGradientA = 0x180,
    kCullGradientALowContrast = 1u << 8,
    kCullGradientB = 0x600,
    kCullGradientBLowContrast = 1u << 10,
    kCullKeepUnfiltered = 1u << 11,
};

// Reason codes.
enum : uint8_t {
    kCullKeep = 0,
    kCullTooSimilar = 2,
    kCullSimilarTextured = 3,
    kCullNoChange = 5,
    kCullSmallResidual = 6,
    kCullEdgePattern = 7,
    kCullRepeatedEdge = 8,
    kCullLowSpreadCentre = 9,
    kCullLowSpreadLeft = 10,
    kCullLowSpreadRight = 11,
    kCullFlat = 13,
    kCullLowContrast = 14,
    kCullNoRidges = 15,
};

inline constexpr uint32_t kCullWindow = 64;

struct CullState {
    uint32_t linesSeen;
    uint32_t linesKept;
    uint32_t headerBytes;
    uint32_t headerPrimaryBytes;   // header + primary count
    uint32_t lineBytes;            // header + primary + secondary: the bytes of a line kept
    uint32_t pixelCount;           // primary + secondary
    uint8_t* lastLine;             // copy of the last kept line (area owned by the reconstruction)
    uint8_t centreWindow[kCullWindow];
    NccStats* centreStats;         // statistics of centreWindow (owned by the reconstruction)
    uint32_t maxCentreSpread;
    uint32_t maxLeftSpread;
    uint32_t maxRightSpread;
    uint8_t edgeRun;
    uint8_t lastReason;
    uint16_t primaryCount;
    uint32_t lastZeroLagScore;
    uint16_t spreadForgiven;
    uint32_t keptSinceStart;
    uint32_t reasonCounts[16];     // per reason code
};

// lastLineArea must hold the header and both banks; stats receives the reference window's statistics.
TcsResult tcsCullScanLineInit(CullState* state, const IrGeometry* geometry, uint8_t* lastLineArea, NccStats* stats);
// Median of three over the primary pixels; destination already holds a copy of source.
void tcsCullPrefilterScanline(const CullState* state, const uint8_t* source, uint8_t* destination);
// headerFlag: bit 4 of the line's header byte 6. Returns the reason code.
uint32_t tcsCullScanLine(CullState* state, const uint8_t* prefiltered, const uint8_t* raw, uint32_t headerFlag,
                         uint32_t minChanged, uint32_t changeThreshold, uint16_t cullFlags);
