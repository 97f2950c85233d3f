// Singular points: Poincare index on the block orientations, grouping of neighbouring
// detections, placement at the greatest orientation change and a full direction.
#pragma once

#include <cstdint>

#include "engines/minutiae/byte_image.h"
#include "engines/minutiae/features.h"

namespace mnt {

int32_t ComputePoincareIndex(int count, const uint8_t* orientations);
void ExtractSingularPoints(int blockColumns, int blockRows, const ByteImage blockDirections, SingularPointList* list);
int IsSingularPointNear(const SingularPointList* list, int32_t y, int32_t x, int32_t distance);
uint32_t ComputeCurvatureSP(int width, int height, const ByteImage directions, int y, int x);
int32_t ComputeSingularPointDirection(int width, int height, const ByteImage directions, int y, int x);
void GroupSingularPoints(int width, int height, const ByteImage directions, SingularPointList* blockList,
                         SingularPointList* pointList);

}  // namespace mnt
