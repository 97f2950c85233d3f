// The engine's older interface: a global parameter block, its own context, and feature
// structures with separate arrays and angles in degrees. Nothing in the system calls it.
#pragma once

#include <stdint.h>

#include "engines/minutiae/mnt_engine.h"

#ifdef __cplusplus
extern "C" {
#endif

// Extraction settings in the order of parameters 10000 to 10019, then the matching settings,
// then the speed selector. Set values are clamped as the same parameters clamp them.
typedef struct MntParameters {
    int32_t goodAreaMeanLimit;
    int32_t useTwoLevelBinarization;
    int32_t reservedLevel;
    int32_t binarizeRadiusSmall;
    int32_t binarizeRadiusMedium;
    int32_t binarizeRadiusLarge;
    int32_t densityHighLimit;
    int32_t densityLowLimit;
    int32_t dirContrastMin;
    int32_t blockContrastMin;
    int32_t badAreaQualityMax;
    int32_t blockQualityMax;
    int32_t dirFilterPasses;
    int32_t filterQualityMax;
    int32_t filterQualityMin;
    int32_t filterBasePasses;
    int32_t filterPassScale;
    int32_t skeletonIterations;
    int32_t pairFilter;
    int32_t keepSourceImage;
    int32_t lineLengthTolerance;
    int32_t lineAngleTolerance;
    int32_t testLineLimit;
    int32_t sampleLineLimit;
    int32_t minLineLength;
    int32_t maxLineLength;
    int32_t coreDistanceSpan;
    int32_t coreDistanceNorm;
    int32_t coreDistanceMargin;
    int32_t extraByteSpan;
    int32_t extraByteNorm;
    int32_t lineCountPivot;
    int32_t lineCountScale;
    int32_t useQualityWeight;
    int32_t useExtraByte;
    int32_t useBlockOrientation;
    int32_t useCore;
    // 1 or more: matching speed 256; 0: speed 0. Also picks the coefficients a match reports.
    int32_t speedSelector;
} MntParameters;

enum { MNT_OLD_MAX_MINUTIAE = 1024, MNT_OLD_MAX_SINGULAR_POINTS = 64, MNT_OLD_GRID = 128 };

// A feature set with angles in degrees 0..359: 0 along decreasing x, 90 towards increasing y;
// curvature 0..254, -1 for none.
typedef struct MntOldFeatures {
    uint8_t ridgeEdgeDensity;
    int32_t count;
    int32_t x[MNT_OLD_MAX_MINUTIAE];
    int32_t y[MNT_OLD_MAX_MINUTIAE];
    int32_t angle[MNT_OLD_MAX_MINUTIAE];
    int32_t curvature[MNT_OLD_MAX_MINUTIAE];
    int32_t singularCount;
    int32_t singularX[MNT_OLD_MAX_SINGULAR_POINTS];
    int32_t singularY[MNT_OLD_MAX_SINGULAR_POINTS];
    int32_t singularAngle[MNT_OLD_MAX_SINGULAR_POINTS];
    int32_t singularType[MNT_OLD_MAX_SINGULAR_POINTS];
    int32_t blockColumns;
    int32_t blockRows;
    uint8_t blockGrid[MNT_OLD_GRID][MNT_OLD_GRID];
} MntOldFeatures;

enum { MNT_OLD_MATCH_SHORT = 48, MNT_OLD_MATCH_LONG = 1600, MNT_OLD_MATCH_PAIRS = 388 };

// Record of FingerprintsMatching. The short form ends after `reserved`; the long form carries
// the first 388 paired minutiae.
typedef struct MntOldMatchRecord {
    uint64_t size;
    MntContext* context;  // null: the older interface's own context
    int32_t score;
    uint32_t rotation;
    int32_t translationX;
    int32_t translationY;
    int32_t coefficientA;  // by the speed selector
    int32_t coefficientB;
    uint32_t pairCount;
    uint32_t reserved;
    uint16_t firstIndices[MNT_OLD_MATCH_PAIRS];
    uint16_t secondIndices[MNT_OLD_MATCH_PAIRS];
} MntOldMatchRecord;

// Both return 1 (-4 for a null block).
int32_t MntGetParameters(MntParameters* block);
int32_t MntSetParameters(const MntParameters* block);

// Extraction on the older interface's context; `resolutionFifth` is the resolution in dpi / 5.
// Returns what the extraction pipeline returns (or a negative engine code).
int32_t FeaturesExtraction(int32_t width, int32_t height, uint8_t* image, int32_t resolutionFifth,
                           MntOldFeatures* features);
// 0 match, -1 no match or a record size other than 48 or 1600, -2, -3, -4.
int32_t FingerprintsMatching(MntOldMatchRecord* record, const MntOldFeatures* features1,
                             const MntOldFeatures* features2);
// The base impression's index, or -1 when the impressions do not agree.
int32_t FeaturesGeneralization(const MntOldFeatures* const* features, MntOldFeatures* result);

MntContext* CreateFMO(void);
int32_t DestroyFMO(MntContext* context);
int32_t MntUninitialize(void);

#ifdef __cplusplus
}

#include "engines/minutiae/features.h"

namespace mnt {

// Fills a block with the older interface's defaults: mode 0, line angle tolerance 10, line
// limits 350 and 700, speed selector 4.
void DefaultParameters(MntParameters* block);
// Resets the global block to its defaults and applies it to the older interface's context.
void OldInit(MntContext* context);
// Frees the older interface's context (null is ignored).
void OldUninit(MntContext* context);
void FpdToFeatures(const MntOldFeatures* source, FeatureRecord* target);
void FeaturesToFpd(const FeatureRecord* source, MntOldFeatures* target);
// Degrees (0..359) to a full direction (0..239) and back.
int32_t DegreesToDirection(int32_t degrees);
int32_t DirectionToDegrees(int32_t direction);

}  // namespace mnt
#endif
