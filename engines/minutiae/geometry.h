// Integer geometry shared by the engine's stages: line directions and odd table distances.
#pragma once

#include <cstdint>

namespace mnt {

// round(atan2(dy, dx) * 120 / pi) for 0 <= dx, dy <= 49, halves up; [0][0] is 60.
extern const uint32_t atans[50][50];

// 10000 sin and 10000 cos of k x 1.5 degrees, to the nearest integer.
extern const int32_t sin_x10E4[240];
extern const int32_t cos_x10E4[240];

// Full direction 0..239 (1.5 degrees a step, 60 towards increasing y) from (x1, y1) to (x2, y2).
int32_t ComputeLineDirection(int32_t x1, int32_t y1, int32_t x2, int32_t y2);

// floor(sqrt(a^2 + b^2)) with bit 0 set (always odd); 8193 when out of range.
int32_t ComputeDistance(int32_t a, int32_t b);
int32_t ComputeDistance3D(int32_t a, int32_t b, int32_t c);

}  // namespace mnt
