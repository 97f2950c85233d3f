// Generalisation: three impressions of one finger merged into one feature set.
#pragma once

#include <cstdint>

#include "engines/minutiae/features.h"
#include "engines/minutiae/match_data.h"
#include "engines/minutiae/mnt_engine.h"

struct MntContext;

namespace mnt {

constexpr int kImpressions = 3;
// Room for a joined list: the pairs of both directed comparisons of two impressions.
constexpr int kMaxJoinedPairs = 2 * kMaxMinutiae;

// Corresponding minutiae of two impressions; side 0 and side 1 hold indices into each.
struct PairList {
    uint32_t count;
    uint16_t index[2][kMaxJoinedPairs];
};

// One ordered comparison (i, j): its long record, and j's minutiae aligned onto i.
struct GeneralizationSlot {
    MntVerifyRecord record;
    int32_t test;
    int32_t sample;
    FeatureRecord aligned;
};

// Matches impression slot.test against slot.aligned (a copy of impression slot.sample), fills the
// slot's record with the paired minutiae and leaves slot.aligned in slot.test's frame.
int32_t GenMatchFeatures(GeneralizationSlot* slot, const FeatureRecord* impressions, int32_t threshold,
                         const MntContext* context, MatchDataBlock* block);

// The merge; returns the index of the base impression, -1 when a comparison scores below the
// threshold, -2 when the work area cannot be made. `result` receives the merged minutiae only.
int32_t GeneralizeFeatures(const FeatureRecord* impressions, FeatureRecord* result, int32_t threshold,
                           const MntContext* context, MatchDataBlock* block);

// Position of `index` on `side` of the list, -1 when absent.
int32_t FindFeatureInIPS(const PairList& list, uint32_t index, int side);
void EliminatePointFromIps(PairList* list, uint32_t position);
// Mean of full directions, taken across 0 when they straddle it.
int32_t AverageAngle(const int32_t* angles, int n);

}  // namespace mnt
