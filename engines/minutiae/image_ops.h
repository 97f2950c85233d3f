// Pixel operations before orientation analysis and after it: box smoothing, contrast
// normalisation, the three binarisations, ridge-edge density, majority smoothing and the
// removal of enclosed bad-area spots.
#pragma once

#include <cstdint>

#include "engines/minutiae/byte_image.h"

namespace mnt {

// Percentages by orientation, 100 along the axes falling to 78 on the diagonals.
extern const int32_t dir_koefs[120];

void SmoothImage(int width, int height, ByteImage image, uint32_t r);
void PuttyImage(int width, int height, ByteImage image);
void NormalizeImage(int width, int height, const ByteImage source, ByteImage mean, uint32_t r);
void BinarizeImage(int width, int height, ByteImage image, uint32_t r);
void BinarizeImageTwo(int width, int height, const ByteImage source, ByteImage output, uint32_t r1, uint32_t r2);
void ComputeGImage(int width, int height, ByteImage image, const ByteImage directions, uint32_t r);
void BinarizeImageA(int width, int height, ByteImage image, const ByteImage density, uint8_t highLimit,
                    uint8_t lowLimit, uint32_t r1, uint32_t r2, uint32_t r3);
void BSmoothImage(int width, int height, ByteImage image);
void EliminateSpots(int width, int height, ByteImage image);
uint8_t ComputeG(int width, int height, const ByteImage image, const ByteImage directions);

}  // namespace mnt
