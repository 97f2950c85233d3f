// Ridge orientation per 16 x 16 block and per pixel, each with a quality value.
#pragma once

#include <cstdint>

#include "engines/minutiae/byte_image.h"

namespace mnt {

constexpr int kBlockSize = 16;
constexpr uint8_t kNoOrientation = 127;
constexpr uint8_t kRejectedBlock = 255;
constexpr uint8_t kBadAreaBit = 0x80;

struct Orientation {
    int orientation;  // 0..119, or 127 when the four differences are equal
    int quality;      // 0 strong .. 255 unusable
};

// Orientation and quality from window values of the four directional differences at 0, 30,
// 60 and 90 (diagonals already scaled). A negative contrast threshold means none.
Orientation OrientationFromDifferences(int64_t h, int64_t d1, int64_t v, int64_t d2, int64_t contrastThreshold);

void ComputeBlockedImageSize(int width, int height, int* blockColumns, int* blockRows);
void ComputeBlockDirImage(int width, int height, const ByteImage image, int blockColumns, int blockRows,
                          ByteImage blockDirections, ByteImage blockQuality, uint8_t blockContrastMin);
void CleanupBlockDirImage(int blockColumns, int blockRows, ByteImage blockDirections, const ByteImage blockQuality,
                          uint8_t blockQualityMax);

// Orientation into `directions` (bit 7 kept), pixel quality into `image`.
void ComputeDirImage(int width, int height, ByteImage image, ByteImage directions, uint32_t dirRadius,
                     uint32_t noiseRadius, uint8_t dirContrastMin, uint32_t squaredDifferences);
void ComputeDirImageSimple(int width, int height, ByteImage image, ByteImage directions, uint32_t dirRadius,
                           uint8_t dirContrastMin);
void CDI_Dir(int width, int height, const ByteImage image, ByteImage directions, uint32_t dirRadius,
             uint8_t dirContrastMin, uint32_t squaredDifferences);
void CDI_Noise(int width, int height, ByteImage image, uint32_t noiseRadius, uint8_t dirContrastMin,
               uint32_t squaredDifferences);

// Window orientation and quality of every pixel of `image` (window sums, diagonals x 71 / 100
// with absolute differences, / 2 with squared ones), handed over row by row. A negative
// contrast threshold means none. Also used by directional filtering.
struct PixelOrientationSink {
    virtual void PutRow(int y, const uint8_t* orientation, const uint8_t* quality) = 0;
    virtual ~PixelOrientationSink() = default;
};
// Without `wantQuality` the sink's quality row is left unset (it costs a division a pixel).
void ComputePixelOrientations(int width, int height, const ByteImage image, uint32_t radius, bool squared,
                              int64_t contrastThreshold, PixelOrientationSink& sink, bool wantQuality = true);

}  // namespace mnt
