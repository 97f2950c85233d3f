// The feature extraction driver: resampling to 500 dpi, the stages in order, and the compressed set.
#pragma once

#include <cstdint>

#include "engines/minutiae/byte_image.h"
#include "engines/minutiae/features.h"

struct MntContext;

namespace mnt {

constexpr int32_t kWorkingResolution = 500;
constexpr int32_t kMinResolution = 50;
constexpr int32_t kMaxResolution = 5000;
constexpr int32_t kMinStretchedSide = 16;
constexpr int32_t kMaxStretchedSide = 2048;

// Size of the image at 500 dpi (truncating); sides beyond 32 bits come back as -1.
void ComputeStretchedImageSize(int32_t width, int32_t height, int32_t resolution, int32_t* stretchedWidth,
                               int32_t* stretchedHeight);

// Nearest-neighbour resampling, target[y][x] = source[y * sh / th][x * sw / tw].
void StretchImage(int sw, int sh, const ByteImage source, int tw, int th, ByteImage target);
void StretchLinearImage(int sw, int sh, const uint8_t* source, int tw, int th, uint8_t* target);
void StretchImageFromLinear(int sw, int sh, const uint8_t* source, int tw, int th, ByteImage target);
void StretchImageToLinear(int sw, int sh, const ByteImage source, int tw, int th, uint8_t* target);

// The pipeline on an image at 500 dpi: fills the record and leaves the processed image in `image`.
// Returns the good-area quality when `reportGoodAreaMean` is set, else 1 for a usable image, 0 not.
// Throws std::bad_alloc when memory runs out (MntExtract turns that into -2).
int32_t ExtractFeatures(int width, int height, ByteImage image, FeatureRecord* record, const MntContext* context);

void MapBadArea(int width, int height, ByteImage image, const ByteImage directions);
void EnhanceGoodArea(int width, int height, ByteImage directions, uint32_t radius);

}  // namespace mnt
