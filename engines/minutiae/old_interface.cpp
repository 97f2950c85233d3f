// The engine's older interface: a global parameter block, its own context, and feature
// structures with separate arrays and angles in degrees. Nothing in the system calls it.
#include "engines/minutiae/old_interface.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "engines/minutiae/byte_image.h"
#include "engines/minutiae/context.h"
#include "engines/minutiae/extract.h"
#include "engines/minutiae/generalize.h"
#include "engines/minutiae/match_data.h"
#include "engines/minutiae/matching.h"

namespace mnt {
namespace {

// Each field of the block with the parameter id whose clamping it shares.
struct BlockField {
    int32_t MntParameters::*field;
    uint32_t id;
};

const BlockField kBlockFields[] = {
    {&MntParameters::goodAreaMeanLimit, 10000},   {&MntParameters::useTwoLevelBinarization, 10001},
    {&MntParameters::reservedLevel, 10002},       {&MntParameters::binarizeRadiusSmall, 10003},
    {&MntParameters::binarizeRadiusMedium, 10004}, {&MntParameters::binarizeRadiusLarge, 10005},
    {&MntParameters::densityHighLimit, 10006},    {&MntParameters::densityLowLimit, 10007},
    {&MntParameters::dirContrastMin, 10008},      {&MntParameters::blockContrastMin, 10009},
    {&MntParameters::badAreaQualityMax, 10010},   {&MntParameters::blockQualityMax, 10011},
    {&MntParameters::dirFilterPasses, 10012},     {&MntParameters::filterQualityMax, 10013},
    {&MntParameters::filterQualityMin, 10014},    {&MntParameters::filterBasePasses, 10015},
    {&MntParameters::filterPassScale, 10016},     {&MntParameters::skeletonIterations, 10017},
    {&MntParameters::pairFilter, 10018},          {&MntParameters::keepSourceImage, 10019},
    {&MntParameters::lineLengthTolerance, 20000}, {&MntParameters::lineAngleTolerance, 20001},
    {&MntParameters::testLineLimit, 20003},       {&MntParameters::sampleLineLimit, 20004},
    {&MntParameters::minLineLength, 20005},       {&MntParameters::maxLineLength, 20006},
    {&MntParameters::coreDistanceSpan, 20007},    {&MntParameters::coreDistanceNorm, 20008},
    {&MntParameters::coreDistanceMargin, 20009},  {&MntParameters::extraByteSpan, 20010},
    {&MntParameters::extraByteNorm, 20011},       {&MntParameters::lineCountPivot, 20012},
    {&MntParameters::lineCountScale, 20013},      {&MntParameters::useQualityWeight, 20016},
    {&MntParameters::useExtraByte, 20017},        {&MntParameters::useBlockOrientation, 20018},
    {&MntParameters::useCore, 20019},
};

MntParameters gParameters;
bool gParametersSet = false;

MntParameters& Parameters() {
    if (!gParametersSet) {
        DefaultParameters(&gParameters);
        gParametersSet = true;
    }
    return gParameters;
}

// Writes every field of the block into the context through the parameter table, which clamps.
void ApplyParameters(const MntParameters& block, MntContext* context) {
    if (context == nullptr) return;
    for (const BlockField& f : kBlockFields) MntSetAdditionalParameter(context, f.id, block.*(f.field));
}

struct Coefficients {
    int32_t a, b;
};

// Speed and score scaling from the selector, and the coefficients the match reports.
Coefficients DecideSpeed(MntContext* context, int32_t selector) {
    if (selector >= 1) {
        SetMatchingSpeed(context, 256);
        context->scoreSlope = 1000;
        context->scoreOffset = 0;
    } else {
        SetMatchingSpeed(context, 0);
        context->scoreSlope = 1015;
        context->scoreOffset = 3821;
    }
    switch (selector) {
        case 4: return {753, 15752};
        case 5: return {1902, 10210};
        case 1:
        case 2:
        case 3: return {993, -813};
        default: return {497, 10658};
    }
}

bool EnsureMatchData(MntContext* context) {
    if (context->matchData == nullptr) context->matchData = CreateMatchData();
    return context->matchData != nullptr;
}

}  // namespace

void DefaultParameters(MntParameters* block) {
    MntContext* scratch = MntCreateContext();
    if (scratch != nullptr) {
        for (const BlockField& f : kBlockFields) {
            uint32_t value = 0;
            MntGetAdditionalParameter(scratch, f.id, &value);
            block->*(f.field) = int32_t(value);
        }
        MntFreeContext(scratch);
    }
    block->lineAngleTolerance = 10;
    block->testLineLimit = 350;
    block->sampleLineLimit = 700;
    block->speedSelector = 4;
}

void OldInit(MntContext* context) {
    DefaultParameters(&gParameters);
    gParametersSet = true;
    ApplyParameters(gParameters, context);
}

void OldUninit(MntContext* context) {
    if (context != nullptr) MntFreeContext(context);
}

int32_t DegreesToDirection(int32_t degrees) {
    const int32_t d = (120 - degrees * 240 / 360) % 240;
    return d < 0 ? d + 240 : d;
}

// The smallest degree value that DegreesToDirection takes back to the direction (its division
// truncates, so every direction has one).
int32_t DirectionToDegrees(int32_t direction) {
    int32_t k = (120 - direction) % 240;
    if (k < 0) k += 240;
    return (3 * k + 1) / 2;
}

void FpdToFeatures(const MntOldFeatures* source, FeatureRecord* target) {
    target->ridgeEdgeDensity = source->ridgeEdgeDensity;
    const int n = std::clamp(source->count, 0, kMaxMinutiae);
    target->minutiae.count = n;
    for (int i = 0; i < n; ++i) {
        target->minutiae.x[i] = source->x[i];
        target->minutiae.y[i] = source->y[i];
        target->minutiae.direction[i] = DegreesToDirection(source->angle[i]);
        target->minutiae.curvature[i] = source->curvature[i];
        target->minutiae.kind[i] = 0;
    }
    const int s = std::clamp(source->singularCount, 0, kMaxSingularPoints);
    target->singularPoints.count = s;
    for (int i = 0; i < s; ++i) {
        target->singularPoints.x[i] = source->singularX[i];
        target->singularPoints.y[i] = source->singularY[i];
        target->singularPoints.direction[i] = DegreesToDirection(source->singularAngle[i]);
        target->singularPoints.type[i] = source->singularType[i];
    }
    target->blockColumns = std::clamp(source->blockColumns, 0, kGridSize);
    target->blockRows = std::clamp(source->blockRows, 0, kGridSize);
    std::memcpy(target->blockGrid, source->blockGrid, sizeof target->blockGrid);
}

void FeaturesToFpd(const FeatureRecord* source, MntOldFeatures* target) {
    target->ridgeEdgeDensity = source->ridgeEdgeDensity;
    const int n = std::clamp(source->minutiae.count, 0, kMaxMinutiae);
    target->count = n;
    for (int i = 0; i < n; ++i) {
        target->x[i] = source->minutiae.x[i];
        target->y[i] = source->minutiae.y[i];
        target->angle[i] = DirectionToDegrees(source->minutiae.direction[i]);
        // Extraction marks a missing curvature with 255, decompression with -1.
        const int32_t c = source->minutiae.curvature[i];
        target->curvature[i] = c >= 0 && c < 255 ? c : -1;
    }
    const int s = std::clamp(source->singularPoints.count, 0, kMaxSingularPoints);
    target->singularCount = s;
    for (int i = 0; i < s; ++i) {
        target->singularX[i] = source->singularPoints.x[i];
        target->singularY[i] = source->singularPoints.y[i];
        target->singularAngle[i] = DirectionToDegrees(source->singularPoints.direction[i]);
        target->singularType[i] = source->singularPoints.type[i];
    }
    target->blockColumns = source->blockColumns;
    target->blockRows = source->blockRows;
    std::memcpy(target->blockGrid, source->blockGrid, sizeof target->blockGrid);
}

}  // namespace mnt

using namespace mnt;

extern "C" int32_t MntGetParameters(MntParameters* block) {
    if (block == nullptr) return MNT_NULL_POINTER;
    *block = Parameters();
    return 1;
}

extern "C" int32_t MntSetParameters(const MntParameters* block) {
    if (block == nullptr) return MNT_NULL_POINTER;
    MntParameters& p = Parameters();
    p = *block;
    // Clamp each field as its parameter does, by letting a scratch context store and read it back.
    MntContext* scratch = MntCreateContext();
    if (scratch != nullptr) {
        for (const BlockField& f : kBlockFields) {
            uint32_t value = 0;
            MntSetAdditionalParameter(scratch, f.id, block->*(f.field));
            MntGetAdditionalParameter(scratch, f.id, &value);
            p.*(f.field) = int32_t(value);
        }
        MntFreeContext(scratch);
    }
    ApplyParameters(p, OldInterfaceContext());
    return 1;
}

extern "C" int32_t FeaturesExtraction(int32_t width, int32_t height, uint8_t* image, int32_t resolutionFifth,
                                      MntOldFeatures* features) {
    MntContext* context = OldInterfaceContext();
    if (context == nullptr) return MNT_NO_CONTEXT;
    if (image == nullptr || features == nullptr) return MNT_NULL_POINTER;
    const int64_t resolution = int64_t(resolutionFifth) * 5;
    if (resolution < kMinResolution || resolution > kMaxResolution) return MNT_BAD_RESOLUTION;
    int32_t sw = 0, sh = 0;
    ComputeStretchedImageSize(width, height, int32_t(resolution), &sw, &sh);
    if (sw < kMinStretchedSide || sw > kMaxStretchedSide || sh < kMinStretchedSide || sh > kMaxStretchedSide)
        return MNT_BAD_IMAGE_SIZE;
    auto record = std::unique_ptr<FeatureRecord>(new (std::nothrow) FeatureRecord());
    if (!record) return MNT_OUT_OF_MEMORY;
    ByteImage working = CreateByteImage(sw, sh);
    if (working == nullptr) return MNT_OUT_OF_MEMORY;
    int32_t result;
    try {
        StretchImageFromLinear(width, height, image, sw, sh, working);
        result = ExtractFeatures(sw, sh, working, record.get(), context);
        StretchImageToLinear(sw, sh, working, width, height, image);
    } catch (const std::bad_alloc&) {
        FreeImage(working, sh);
        return MNT_OUT_OF_MEMORY;
    }
    FreeImage(working, sh);
    FeaturesToFpd(record.get(), features);
    return result;
}

extern "C" int32_t FingerprintsMatching(MntOldMatchRecord* record, const MntOldFeatures* features1,
                                        const MntOldFeatures* features2) {
    if (record == nullptr) return MNT_NULL_POINTER;
    if (record->size != MNT_OLD_MATCH_SHORT && record->size != MNT_OLD_MATCH_LONG) return MNT_NO_MATCH;
    MntContext* context = ResolveContext(record->context != nullptr ? record->context : OldInterfaceContext());
    if (context == nullptr) return MNT_NO_CONTEXT;
    if (context->busy) return MNT_BUSY;
    if (features1 == nullptr || features2 == nullptr) return MNT_NULL_POINTER;
    if (!EnsureMatchData(context)) return MNT_OUT_OF_MEMORY;
    const Coefficients k = DecideSpeed(context, Parameters().speedSelector);
    record->coefficientA = k.a;
    record->coefficientB = k.b;
    const bool extended = record->size == MNT_OLD_MATCH_LONG;
    auto inner = std::unique_ptr<MntVerifyRecord>(new (std::nothrow) MntVerifyRecord());
    if (!inner) return MNT_OUT_OF_MEMORY;
    inner->size = extended ? MNT_VERIFY_RECORD_LONG : MNT_VERIFY_RECORD_SHORT;
    MatchDataBlock* md = context->matchData;
    FpdToFeatures(features1, &md->test.features);
    FpdToFeatures(features2, &md->second.features);
    const int32_t result = VerifyLoadedRecords(context, inner.get());
    record->score = inner->score;
    record->rotation = inner->rotation;
    record->translationX = inner->translationX;
    record->translationY = inner->translationY;
    if (extended) {
        // The older record has room for fewer pairs than the comparison may find.
        record->pairCount = std::min<uint32_t>(inner->pairCount, MNT_OLD_MATCH_PAIRS);
        std::memcpy(record->firstIndices, inner->firstIndices, sizeof(uint16_t) * record->pairCount);
        std::memcpy(record->secondIndices, inner->secondIndices, sizeof(uint16_t) * record->pairCount);
    }
    return result;
}

extern "C" int32_t FeaturesGeneralization(const MntOldFeatures* const* features, MntOldFeatures* result) {
    MntContext* context = OldInterfaceContext();
    if (context == nullptr) return MNT_NO_CONTEXT;
    if (features == nullptr || result == nullptr) return MNT_NULL_POINTER;
    if (features[0] == nullptr || features[1] == nullptr || features[2] == nullptr) return MNT_NULL_POINTER;
    if (context->busy) return MNT_BUSY;
    if (!EnsureMatchData(context)) return MNT_OUT_OF_MEMORY;
    struct Records {
        FeatureRecord impressions[kImpressions];
        FeatureRecord merged;
    };
    auto records = std::unique_ptr<Records>(new (std::nothrow) Records());
    if (!records) return MNT_OUT_OF_MEMORY;
    for (int i = 0; i < kImpressions; ++i) FpdToFeatures(features[i], &records->impressions[i]);
    const int32_t base = GeneralizeFeatures(records->impressions, &records->merged, context->generalizationThreshold,
                                            context, context->matchData);
    if (base < 0) return base;
    FeatureRecord& m = records->merged;
    const FeatureRecord& b = records->impressions[base];
    m.ridgeEdgeDensity = b.ridgeEdgeDensity;
    m.singularPoints = b.singularPoints;
    m.blockColumns = b.blockColumns;
    m.blockRows = b.blockRows;
    std::memcpy(m.blockGrid, b.blockGrid, sizeof m.blockGrid);
    FeaturesToFpd(&m, result);
    return base;
}

extern "C" MntContext* CreateFMO(void) { return MntCreateContext(); }

extern "C" int32_t DestroyFMO(MntContext* context) { return MntFreeContext(context); }

extern "C" int32_t MntUninitialize(void) { return MntFinalize(); }
