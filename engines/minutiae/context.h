// The engine context: every tuning value of extraction, output and matching, addressed by
// parameter id, with the mode presets, matching speeds, feature kinds and score scaling.
#pragma once

#include <cstdint>

#include "engines/minutiae/mnt_engine.h"

namespace mnt {
struct MatchDataBlock;
}

// Field order follows the parameter table; the id that reads and writes a field is noted.
struct MntContext {
    // Extraction [10000..10019].
    uint8_t goodAreaMeanLimit;         // 10000
    uint32_t useTwoLevelBinarization;  // 10001
    uint32_t reservedLevel;            // 10002, read by no stage
    uint32_t binarizeRadiusSmall;      // 10003
    uint32_t binarizeRadiusMedium;     // 10004
    uint32_t binarizeRadiusLarge;      // 10005
    uint8_t densityHighLimit;          // 10006
    uint8_t densityLowLimit;           // 10007
    uint8_t dirContrastMin;            // 10008
    uint8_t blockContrastMin;          // 10009
    uint8_t badAreaQualityMax;         // 10010
    uint8_t blockQualityMax;           // 10011
    uint32_t dirFilterPasses;          // 10012
    uint8_t filterQualityMax;          // 10013
    uint8_t filterQualityMin;          // 10014
    uint32_t filterBasePasses;         // 10015
    uint32_t filterPassScale;          // 10016
    uint32_t skeletonIterations;       // 10017
    uint32_t pairFilter;               // 10018
    uint32_t keepSourceImage;          // 10019
    // Output of the compressed set.
    uint32_t extractFeatures;          // 110
    uint32_t maxMinutiae;              // 10020
    uint32_t writeCurvature;           // 10021
    uint32_t writeSingularPoints;      // 10022
    uint32_t maxSingularPoints;        // 10023
    uint32_t firstKindOnly;            // 10024
    uint32_t writeBlockOrientations;   // 10025
    // Window radii and further extraction switches.
    uint32_t smoothRadius;             // 10026
    uint32_t normalizeRadius;          // 10027
    uint32_t densityRadius;            // 10028
    uint32_t densitySmoothRadius;      // 10029
    uint32_t dirRadius;                // 10030
    uint32_t dirFilterRadius;          // 10031
    uint32_t filterDirRadius;          // 10032
    uint32_t noiseRadius;              // 10033
    uint32_t squaredDifferences;       // 10034
    uint32_t eliminateSpots;           // 10035
    uint32_t enhanceGoodArea;          // 10036
    uint32_t extraPutty;               // 10037
    uint32_t badAreaRadius;            // 10038
    uint32_t reportGoodAreaMean;       // 11000
    // Made on the first comparison or generalisation, kept until the context is freed.
    mnt::MatchDataBlock* matchData;
    // Matching.
    int32_t lineLengthTolerance;  // 20000
    int32_t lineAngleTolerance;   // 20001
    int32_t testLineLimit;        // 20003
    int32_t sampleLineLimit;      // 20004
    int32_t minLineLength;        // 20005
    int32_t maxLineLength;        // 20006
    int32_t coreDistanceSpan;     // 20007
    int32_t coreDistanceNorm;     // 20008
    int32_t coreDistanceMargin;   // 20009
    int32_t extraByteSpan;        // 20010
    int32_t extraByteNorm;        // 20011
    int32_t lineCountPivot;       // 20012
    int32_t lineCountScale;       // 20013
    int32_t symmetricBandLow;     // 20014
    int32_t symmetricBandHigh;    // 20015
    int32_t useQualityWeight;     // 20016
    uint32_t matchFeatures;       // 210
    int32_t useExtraByte;         // 20017
    int32_t useBlockOrientation;  // 20018
    int32_t useCore;              // 20019
    int32_t useLineGroups;        // 20020
    uint32_t matchingSpeed;       // 220
    int32_t scoreSlope;           // 20021
    int32_t scoreOffset;          // 20022
    // Decision.
    int32_t threshold;                // 200
    int32_t rotationTolerance;        // 201
    int32_t generalizationThreshold;  // 300
    uint32_t mode;                    // 1000
    uint32_t busy;                    // 1 while an identification runs
};

namespace mnt {

// The context a call works on: the given one, or the default one for null (null when the
// engine is not initialised).
MntContext* ResolveContext(MntContext* context);
// The second context made for the older interface, null before MntInitialize.
MntContext* OldInterfaceContext();

int32_t SetMode(MntContext* context, uint32_t mode);
int32_t SetMatchingSpeed(MntContext* context, uint32_t speed);
int32_t SetExtractFeatures(MntContext* context, uint32_t kind);
int32_t SetMatchFeatures(MntContext* context, uint32_t kind);
int32_t SetThresholdNormalization(MntContext* context);

int32_t MntSetAdditionalParameter(MntContext* context, uint32_t id, int32_t value);
int32_t MntGetAdditionalParameter(const MntContext* context, uint32_t id, uint32_t* out);
// Type code of an additional parameter, -5 for ids outside the table.
int32_t AdditionalParameterType(uint32_t id);

}  // namespace mnt
