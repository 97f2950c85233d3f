// Minutiae read off the cleaned skeleton: endings and bifurcations with direction and curvature,
// then the marking and removal of likely false ones.
#pragma once

#include <cstdint>

#include "engines/minutiae/byte_image.h"
#include "engines/minutiae/features.h"

namespace mnt {

// Negative directions that mark a minutia for removal.
constexpr int32_t kNoDirection = -20;
constexpr int32_t kShortBranch = -666;
constexpr int32_t kClusterMark = -15;
constexpr int32_t kFacingPairMark = -45;
constexpr int32_t kBorderMark = -25;
constexpr int32_t kLowContrastMark = -1;

void ExtractMinutiae(int width, int height, ByteImage skeleton, const ByteImage directions, MinutiaList* list);
int32_t ComputeEndDirection(int width, int height, ByteImage skeleton, int y, int x);
int32_t ComputeBranchDirection(int width, int height, ByteImage skeleton, int y, int x);
int32_t ComputeCurvature(int width, int height, const ByteImage directions, int y, int x, int radius);

// `sourceImage` is read only when `contrastTest` is set.
void SelectBadMinutiae(int width, int height, const ByteImage sourceImage, const ByteImage directions,
                       MinutiaList* list, uint32_t pairFilter, uint32_t contrastTest);
// Contrast test of a size x size patch (smoothed); 1 when too weak. `work` is a scratch image of
// the same size.
int GetFtrQuality(ByteImage patch, ByteImage work, int size);
// 3 x 3 mean of a small image through `work` (same size), which is left zeroed.
void Putty1FTR1(ByteImage patch, ByteImage work, int width, int height);
void EliminateBadMinutiae(MinutiaList* list);

}  // namespace mnt
