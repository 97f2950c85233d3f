// Comparison entry points: one-to-one verification and the one-to-many identification sequence.
#include <cstring>

#include "engines/minutiae/context.h"
#include "engines/minutiae/features.h"
#include "engines/minutiae/match_data.h"
#include "engines/minutiae/matching.h"
#include "engines/minutiae/mnt_engine.h"

namespace mnt {
namespace {

bool EnsureMatchData(MntContext* context) {
    if (context->matchData == nullptr) context->matchData = CreateMatchData();
    return context->matchData != nullptr;
}

// Clears rotation, translations and, in the long form, the pair count.
int32_t PrepareRecord(MntVerifyRecord* record) {
    if (record == nullptr) return MNT_OK;
    if (record->size != MNT_VERIFY_RECORD_SHORT && record->size != MNT_VERIFY_RECORD_LONG) return MNT_BAD_VALUE;
    record->score = 0;
    record->rotation = 0;
    record->translationX = 0;
    record->translationY = 0;
    if (record->size == MNT_VERIFY_RECORD_LONG) record->pairCount = 0;
    return MNT_OK;
}

// Matches the second record (already decompressed) against the test record (filled), and once
// more the other way round when the first score lies in the symmetric band.
int32_t CompareWithTest(MntContext* context, MntVerifyRecord* record) {
    MatchDataBlock* md = context->matchData;
    CopyFeatures(&md->sample.features, &md->second.features);
    FillSampleFeaturesMatchData(context, &md->sample, md->test.longestLine, md->test.hasCore);
    const int32_t s1 = MatchFeatures(&md->test, &md->sample, context->threshold, record, context, md);
    int32_t score = s1;
    if (context->symmetricBandLow <= s1 && s1 <= context->symmetricBandHigh) {
        FillTestFeaturesMatchData(context, md, &md->second);
        CopyFeatures(&md->sample.features, &md->test.features);
        FillSampleFeaturesMatchData(context, &md->sample, md->second.longestLine, md->second.hasCore);
        const int32_t s2 = MatchFeatures(&md->second, &md->sample, context->threshold, nullptr, context, md);
        score = int32_t((int64_t(s1) + s2) / 2);
    }
    if (record != nullptr) record->score = score;
    return score > context->threshold ? MNT_OK : MNT_NO_MATCH;
}

}  // namespace

int32_t VerifyLoadedRecords(MntContext* context, MntVerifyRecord* record) {
    MatchDataBlock* md = context->matchData;
    BuildRotationMask(md, context->rotationTolerance);
    FillTestFeaturesMatchData(context, md, &md->test);
    return CompareWithTest(context, record);
}

}  // namespace mnt

using namespace mnt;

extern "C" int32_t MntVerify(const uint8_t* features1, const uint8_t* features2, MntVerifyRecord* record,
                             MntContext* context) {
    context = ResolveContext(context);
    if (context == nullptr) return MNT_NO_CONTEXT;
    if (context->busy) return MNT_BUSY;
    if (features1 == nullptr || features2 == nullptr) return MNT_NULL_POINTER;
    if (!EnsureMatchData(context)) return MNT_OUT_OF_MEMORY;
    const int32_t checked = PrepareRecord(record);
    if (checked != MNT_OK) return checked;
    MatchDataBlock* md = context->matchData;
    DecompressFeatures(features1, &md->test.features);
    DecompressFeatures(features2, &md->second.features);
    return VerifyLoadedRecords(context, record);
}

extern "C" int32_t MntIdentifyStart(const uint8_t* probe, MntContext* context) {
    context = ResolveContext(context);
    if (context == nullptr) return MNT_NO_CONTEXT;
    if (context->busy) return MNT_BUSY;
    if (probe == nullptr) return MNT_NULL_POINTER;
    if (!EnsureMatchData(context)) return MNT_OUT_OF_MEMORY;
    context->busy = 1;
    MatchDataBlock* md = context->matchData;
    DecompressFeatures(probe, &md->test.features);
    FillTestFeaturesMatchData(context, md, &md->test);
    BuildRotationMask(md, context->rotationTolerance);
    return MNT_OK;
}

extern "C" int32_t MntIdentifyNext(const uint8_t* candidate, MntVerifyRecord* record, MntContext* context) {
    context = ResolveContext(context);
    if (context == nullptr) return MNT_NO_CONTEXT;
    if (!context->busy) return MNT_BUSY;
    if (candidate == nullptr) return MNT_NULL_POINTER;
    const int32_t checked = PrepareRecord(record);
    if (checked != MNT_OK) return checked;
    MatchDataBlock* md = context->matchData;
    DecompressFeatures(candidate, &md->second.features);
    return CompareWithTest(context, record);
}

extern "C" int32_t MntIdentifyEnd(MntContext* context) {
    context = ResolveContext(context);
    if (context == nullptr) return MNT_NO_CONTEXT;
    if (!context->busy) return MNT_BUSY;
    context->busy = 0;
    return MNT_OK;
}
