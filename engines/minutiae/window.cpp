// Running window sums: the eight-lane row sums for processors with AVX2.
#include "engines/minutiae/window.h"

namespace mnt {

MNT_WIDE void RunningRowSumsWide(const int32_t* col, int width, int r, int32_t* out) {
    int32_t first = 0;
    for (int i = -r - 1; i <= r - 1; ++i) first += col[i];
    int x = 0;
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
    // Prefix sums within each half by in-half shifts, the lower half's total then added to the
    // upper half; the carry from vector to vector is a single addition of each vector's total
    // (taken before the carry), so the loop is not one long chain of shuffles.
    __m256i carry = _mm256_set1_epi32(first);
    const __m256i last = _mm256_set1_epi32(7);
    for (; x + 8 <= width; x += 8) {
        __m256i v = _mm256_sub_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(col + x + r)),
                                     _mm256_loadu_si256(reinterpret_cast<const __m256i*>(col + x - r - 1)));
        v = _mm256_add_epi32(v, _mm256_slli_si256(v, 4));
        v = _mm256_add_epi32(v, _mm256_slli_si256(v, 8));
        const __m256i halfTotals = _mm256_shuffle_epi32(v, 0xFF);
        v = _mm256_add_epi32(v, _mm256_permute2x128_si256(halfTotals, halfTotals, 0x08));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_add_epi32(v, carry));
        carry = _mm256_add_epi32(carry, _mm256_permutevar8x32_epi32(v, last));
    }
#endif
    int32_t t = x > 0 ? out[x - 1] : first;
    for (; x < width; ++x) out[x] = t += col[x + r] - col[x - r - 1];
}

}  // namespace mnt
