// Running window sums: the eight-lane row sums for processors with AVX2.
#include "engines/minutiae/window.h"

namespace mnt {

MNT_WIDE void RunningRowSumsWide(const int32_t* col, int width, int r, int32_t* out) {
    int32_t first = 0;
    for (int i = -r - 1; i <= r - 1; ++i) first += col[i];
    int x = 0;
#if defined(__GNUC__) && !defined(__clang__)
    using simd::I32x8;
    I32x8 carry = first - I32x8{};
    const I32x8 zero = {};
    for (; x + 8 <= width; x += 8) {
        I32x8 v = simd::Load8(col + x + r) - simd::Load8(col + x - r - 1);
        v += __builtin_shuffle(v, zero, I32x8{8, 0, 1, 2, 3, 4, 5, 6});
        v += __builtin_shuffle(v, zero, I32x8{8, 8, 0, 1, 2, 3, 4, 5});
        v += __builtin_shuffle(v, zero, I32x8{8, 8, 8, 8, 0, 1, 2, 3});
        v += carry;
        simd::Store8(out + x, v);
        carry = __builtin_shuffle(v, I32x8{7, 7, 7, 7, 7, 7, 7, 7});
    }
#endif
    int32_t t = x > 0 ? out[x - 1] : first;
    for (; x < width; ++x) out[x] = t += col[x + r] - col[x - r - 1];
}

}  // namespace mnt
