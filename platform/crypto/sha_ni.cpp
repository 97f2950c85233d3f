// SHA-1 and SHA-256 compression on the processor's SHA instructions; chosen at run time, so only these
// functions are compiled for the extension.

#include "platform/crypto/cpu_features.h"

#include <immintrin.h>

namespace tov::crypto {

__attribute__((target("sha,sse4.1,ssse3"))) void sha256BlocksShaNi(uint32_t state[8], const uint8_t* data,
                                                                     size_t blocks) {
    const uint32_t* k = sha256RoundConstants();
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    // The instructions keep the state as the word pairs ABEF and CDGH.
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    __m128i state1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);

    for (; blocks != 0; --blocks, data += 64) {
        const __m128i savedAbef = state0;
        const __m128i savedCdgh = state1;
        __m128i w[4];
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            __m128i words;
            if (g < 4) {
                words = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * g)), byteSwap);
            } else {
                // W[t-16] + s0(W[t-15]) + W[t-7], then s1(W[t-2]).
                words = _mm_sha256msg1_epu32(w[g & 3], w[(g + 1) & 3]);
                words = _mm_add_epi32(words, _mm_alignr_epi8(w[(g + 3) & 3], w[(g + 2) & 3], 4));
                words = _mm_sha256msg2_epu32(words, w[(g + 3) & 3]);
            }
            w[g & 3] = words;
            __m128i msg = _mm_add_epi32(words, _mm_loadu_si128(reinterpret_cast<const __m128i*>(k + 4 * g)));
            state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
            msg = _mm_shuffle_epi32(msg, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
        }
        state0 = _mm_add_epi32(state0, savedAbef);
        state1 = _mm_add_epi32(state1, savedCdgh);
    }

    tmp = _mm_shuffle_epi32(state0, 0x1B);
    state1 = _mm_shuffle_epi32(state1, 0xB1);
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);
    state1 = _mm_alignr_epi8(state1, tmp, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), state1);
}

__attribute__((target("sha,sse4.1,ssse3"))) void sha1BlocksShaNi(uint32_t state[5], const uint8_t* data,
                                                                   size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607ULL, 0x08090a0b0c0d0e0fULL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
    __m128i e0 = _mm_set_epi32(int(state[4]), 0, 0, 0);

    for (; blocks != 0; --blocks, data += 64) {
        const __m128i savedAbcd = abcd;
        const __m128i savedE = e0;
        __m128i m[4];
        __m128i previousAbcd = abcd;
        __m128i e = e0;
#define SHA1_GROUP(g, func)                                                                                  \
    do {                                                                                                     \
        __m128i words;                                                                                       \
        if ((g) < 4) {                                                                                       \
            words = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * (g))),     \
                                     byteSwap);                                                              \
        } else {                                                                                             \
            words = _mm_sha1msg1_epu32(m[(g) & 3], m[((g) + 1) & 3]);                                        \
            words = _mm_xor_si128(words, m[((g) + 2) & 3]);                                                  \
            words = _mm_sha1msg2_epu32(words, m[((g) + 3) & 3]);                                             \
        }                                                                                                    \
        m[(g) & 3] = words;                                                                                  \
        if ((g) == 0) {                                                                                      \
            e = _mm_add_epi32(e, words);                                                                     \
        } else {                                                                                             \
            e = _mm_sha1nexte_epu32(previousAbcd, words);                                                    \
        }                                                                                                    \
        previousAbcd = abcd;                                                                                 \
        abcd = _mm_sha1rnds4_epu32(abcd, e, func);                                                           \
    } while (0)
        SHA1_GROUP(0, 0); SHA1_GROUP(1, 0); SHA1_GROUP(2, 0); SHA1_GROUP(3, 0); SHA1_GROUP(4, 0);
        SHA1_GROUP(5, 1); SHA1_GROUP(6, 1); SHA1_GROUP(7, 1); SHA1_GROUP(8, 1); SHA1_GROUP(9, 1);
        SHA1_GROUP(10, 2); SHA1_GROUP(11, 2); SHA1_GROUP(12, 2); SHA1_GROUP(13, 2); SHA1_GROUP(14, 2);
        SHA1_GROUP(15, 3); SHA1_GROUP(16, 3); SHA1_GROUP(17, 3); SHA1_GROUP(18, 3); SHA1_GROUP(19, 3);
#undef SHA1_GROUP
        // E after the last round is A of four rounds earlier rotated by 30, which sha1nexte adds.
        e0 = _mm_sha1nexte_epu32(previousAbcd, savedE);
        abcd = _mm_add_epi32(abcd, savedAbcd);
    }

    abcd = _mm_shuffle_epi32(abcd, 0x1B);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), abcd);
    state[4] = uint32_t(_mm_extract_epi32(e0, 3));
}

}  // namespace tov::crypto
