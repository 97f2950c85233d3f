// Minutiae matching: lines between minutiae, rotation and translation votes, and the score.
#pragma once

#include <cstdint>

#include "engines/minutiae/features.h"
#include "engines/minutiae/match_data.h"
#include "engines/minutiae/mnt_engine.h"

struct MntContext;

namespace mnt {

// The line from minutia i to minutia j of `record`, and the same line seen from j.
void FillLineData(const FeatureRecord& record, int i, int j, GraphLine* line);
void FillLineData1(const GraphLine& forward, GraphLine* reverse);

// Both directions of the pairs of minutiae at a usable distance, shortest first when there
// are more than the limit allows; sets the longest-line bound.
void TestFingerprintGraphLines(const MntContext* context, MatchDataBlock* block, FeatureMatchRecord* record);
// One direction of each pair shorter than the test's bound, up to the sample limit.
void SampleFingerprintGraphLines(const MntContext* context, FeatureMatchRecord* record, uint32_t longestLine);

// Index of the only singular point of type 1, all ones when there are none or several.
uint32_t GetTheOnlyCore(const FeatureRecord& record);

void FillTestFeaturesMatchData(const MntContext* context, MatchDataBlock* block, FeatureMatchRecord* record);
void FillSampleFeaturesMatchData(const MntContext* context, FeatureMatchRecord* record, uint32_t longestLine,
                                 bool testHasCore);

// Allowed rotation bins: 0 .. r-1 and 240-r .. 239 with r = min(tolerance, 120).
void BuildRotationMask(MatchDataBlock* block, int32_t rotationTolerance);

// Aligns the sample onto the test (rotating and translating the sample in place) and returns
// the score, at least 0. A record, when given, receives the rotation and translation and, in
// its long form, the paired minutiae; its counts must have been cleared by the caller.
int32_t MatchFeatures(FeatureMatchRecord* test, FeatureMatchRecord* sample, int32_t threshold,
                      MntVerifyRecord* record, const MntContext* context, MatchDataBlock* block);

// The verification sequence on the sets already in the match data's test and second records
// (the context has its match data; the record, when given, has been checked and cleared):
// 0 when the score is above the threshold, -1 when not.
int32_t VerifyLoadedRecords(MntContext* context, MntVerifyRecord* record);

// Block-orientation grids of 16-pixel blocks (255 = none).
void RotateRidgesOrientation(int32_t cx, int32_t cy, int32_t r, FeatureRecord* grid);
void TranslateRidgesOrientation(int32_t dx, int32_t dy, FeatureRecord* grid);
void OrientationStructureComparison(const FeatureRecord& test, const FeatureRecord& sample, int32_t* similarity,
                                    int32_t* total);

// ComputeDistance (the odd floor(sqrt(a^2 + b^2)) | 1) without the table search, for the
// distances of every pair of minutiae that the line builders take.
int32_t PairDistance(int32_t a, int32_t b);

// v / 10000 with halves rounded away from zero.
int32_t RoundDiv10000(int64_t v);

}  // namespace mnt
