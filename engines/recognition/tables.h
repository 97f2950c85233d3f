// Fixed tables of the engine: integer trigonometry, fixed-point logarithms and the probability scale.
#pragma once

#include <stdint.h>

namespace DurodudUrodera::FpRecEngineImpl::Embedded {

// Angles are 8-bit, 256 to a turn; sine and cosine are scaled by 256.
struct Angle {
    static const int16_t kSin[128];
    static int32_t sin(uint8_t a) { return a >= 128 ? -kSin[a & 127] : kSin[a & 127]; }
    static int32_t cos(uint8_t a) { return sin(uint8_t(a + 64)); }
};

extern const int16_t log2_256_8[256];
extern const uint8_t mapDensityToWeight[76];

// 256 * log2 x in 8.8 fixed point; x = 0 gives -512.
int32_t log2_fixed(uint32_t x);
// 256 * log2 n!, by table up to 76 and by Stirling's form above.
int32_t log2_factorial_table(uint32_t n);
// round(0x7FFFFFFF * 10^(-index/10)); 0x7FFFFFFF below 0, 0 above 96.
uint32_t pow10_x_10(int32_t index);

}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded
