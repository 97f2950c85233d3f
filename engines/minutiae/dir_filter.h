// Bad-area marking and smoothing along the ridges with one family of directional filters.
#pragma once

#include <cstdint>

#include "engines/minutiae/byte_image.h"
#include "engines/minutiae/features.h"

namespace mnt {

constexpr int kFilterTaps = 18;
constexpr int32_t kFilterDivisor = 112211;

extern const int32_t filter_c[120];
extern const int8_t filter_x[120][kFilterTaps];
extern const int8_t filter_y[120][kFilterTaps];
extern const int32_t filter_w[120][kFilterTaps];
extern const int32_t filter_w0[120];

// Directional filter of one pixel with orientation o (0..119, anything else: 3 x 3 mean),
// reading `source` (linear, width x height).
uint8_t FilterPixel(const uint8_t* source, int width, int height, int x, int y, int o);

// Returns the mean quality of the good pixels, -1 when there is none.
int32_t ComputeBadArea(int width, int height, ByteImage directions, const ByteImage quality,
                       const SingularPointList* singularPoints, uint32_t badAreaRadius, uint8_t badAreaQualityMax);
void DirectSmoothImage(int width, int height, ByteImage image, const ByteImage directions);
void DirFilterImage(int width, int height, ByteImage image, uint32_t dirFilterRadius, uint32_t dirFilterPasses);
void ComputeDirImageF(int width, int height, const ByteImage image, ByteImage directions, ByteImage passMap,
                      const SingularPointList* singularPoints, uint32_t filterDirRadius, uint8_t filterQualityMax,
                      uint8_t filterQualityMin, uint32_t filterBasePasses, uint32_t filterPassScale);
void FilterImage(int width, int height, ByteImage image, const ByteImage directions, ByteImage passMap);

}  // namespace mnt
