// Eight 32-bit lanes as the compiler's generic vectors, used only in code built for AVX2 (one
// register there) and chosen at run time, with plain loops of the same results elsewhere.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace mnt::simd {

// Whether the processor has AVX2. The eight-lane loops run only in functions built for it: built
// for the baseline, the compiler moves such vectors through memory and they are slower than
// plain loops, which take their place there (with the same results).
inline bool HasAvx2() {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
#else
    return false;
#endif
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define MNT_WIDE [[gnu::target("avx2")]]
#else
#define MNT_WIDE
#endif

using I32x8 = int32_t __attribute__((vector_size(32)));
using F32x8 = float __attribute__((vector_size(32)));

[[gnu::always_inline]] inline I32x8 Load8(const int32_t* p) {
    I32x8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
// Eight bytes widened to 32 bits, for code built for AVX2 only (one instruction there; generic
// vectors of bytes are widened lane by lane).
[[gnu::always_inline, gnu::target("avx2")]] inline I32x8 LoadBytes8(const uint8_t* p) {
    return I32x8(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}
#else
inline I32x8 LoadBytes8(const uint8_t* p) {
    I32x8 v;
    for (int i = 0; i < 8; ++i) v[i] = p[i];
    return v;
}
#endif
[[gnu::always_inline]] inline void Store8(int32_t* p, I32x8 v) { std::memcpy(p, &v, sizeof v); }

// Truncated quotient by d > 0 of non-negative sums below 2^25 whose quotients stay below 2^20,
// `inverse` being 1.0f / d: the float estimate is within one of it and is corrected exactly in
// integers (there is no vector division of integers). A lane's comparison is -1 where it holds.
[[gnu::always_inline]] inline I32x8 Quotient(I32x8 sum, int32_t d, float inverse) {
    I32x8 q = __builtin_convertvector(__builtin_convertvector(sum, F32x8) * inverse, I32x8);
    q -= (q + 1) * d <= sum;
    q += q * d > sum;
    return q;
}

// The same for divisors that differ from lane to lane (sums below 2^25, quotients below 2^20).
[[gnu::always_inline]] inline I32x8 Quotient(I32x8 sum, I32x8 d) {
    I32x8 q = __builtin_convertvector(__builtin_convertvector(sum, F32x8) / __builtin_convertvector(d, F32x8), I32x8);
    q -= (q + 1) * d <= sum;
    q += q * d > sum;
    return q;
}

}  // namespace mnt::simd
