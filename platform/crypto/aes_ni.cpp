// AES blocks and the parallel parts of the modes on the processor's AES instructions. The schedules are
// the portable ones (round-key words, first byte most significant), byte-swapped once per call.

#include "platform/crypto/aes_blocks.h"

#include <immintrin.h>
#include <string.h>

#define TOV_AES_TARGET __attribute__((target("aes,sse4.1,ssse3")))

namespace tov::crypto {
namespace {

struct RoundKeys {
    __m128i k[15];
    uint32_t rounds;
};

TOV_AES_TARGET inline void loadRoundKeys(const PalAesKeySchedule& schedule, RoundKeys& keys) {
    const __m128i wordSwap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    keys.rounds = schedule.rounds;
    for (uint32_t r = 0; r <= schedule.rounds; ++r) {
        keys.k[r] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(schedule.roundKeys + 4 * r)),
                                     wordSwap);
    }
}

TOV_AES_TARGET inline __m128i encrypt1(const RoundKeys& keys, __m128i x) {
    x = _mm_xor_si128(x, keys.k[0]);
    for (uint32_t r = 1; r < keys.rounds; ++r) x = _mm_aesenc_si128(x, keys.k[r]);
    return _mm_aesenclast_si128(x, keys.k[keys.rounds]);
}

TOV_AES_TARGET inline __m128i decrypt1(const RoundKeys& keys, __m128i x) {
    x = _mm_xor_si128(x, keys.k[0]);
    for (uint32_t r = 1; r < keys.rounds; ++r) x = _mm_aesdec_si128(x, keys.k[r]);
    return _mm_aesdeclast_si128(x, keys.k[keys.rounds]);
}

// Eight independent blocks in flight hide the instructions' latency; the lane loops must unroll so the
// blocks stay in registers.
constexpr int kLanes = 8;

TOV_AES_TARGET inline void encrypt8(const RoundKeys& keys, __m128i* x) {
    #pragma GCC unroll 8
    for (int i = 0; i < kLanes; ++i) x[i] = _mm_xor_si128(x[i], keys.k[0]);
    for (uint32_t r = 1; r < keys.rounds; ++r) {
        #pragma GCC unroll 8
        for (int i = 0; i < kLanes; ++i) x[i] = _mm_aesenc_si128(x[i], keys.k[r]);
    }
    #pragma GCC unroll 8
    for (int i = 0; i < kLanes; ++i) x[i] = _mm_aesenclast_si128(x[i], keys.k[keys.rounds]);
}

TOV_AES_TARGET inline void decrypt8(const RoundKeys& keys, __m128i* x) {
    #pragma GCC unroll 8
    for (int i = 0; i < kLanes; ++i) x[i] = _mm_xor_si128(x[i], keys.k[0]);
    for (uint32_t r = 1; r < keys.rounds; ++r) {
        #pragma GCC unroll 8
        for (int i = 0; i < kLanes; ++i) x[i] = _mm_aesdec_si128(x[i], keys.k[r]);
    }
    #pragma GCC unroll 8
    for (int i = 0; i < kLanes; ++i) x[i] = _mm_aesdeclast_si128(x[i], keys.k[keys.rounds]);
}

inline __m128i load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

inline uint64_t loadBe64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}
inline void storeBe64(uint8_t* p, uint64_t v) {
    v = __builtin_bswap64(v);
    memcpy(p, &v, 8);
}

}  // namespace

TOV_AES_TARGET void aesEncryptBlockNi(const PalAesKeySchedule& schedule, const uint8_t in[16], uint8_t out[16]) {
    RoundKeys keys;
    loadRoundKeys(schedule, keys);
    store(out, encrypt1(keys, load(in)));
}

TOV_AES_TARGET void aesDecryptBlockNi(const PalAesKeySchedule& schedule, const uint8_t in[16], uint8_t out[16]) {
    RoundKeys keys;
    loadRoundKeys(schedule, keys);
    store(out, decrypt1(keys, load(in)));
}

TOV_AES_TARGET void aesCbcEncryptNi(const PalAesKeySchedule& schedule, const uint8_t* in, uint8_t* out,
                                    size_t blocks, uint8_t iv[16]) {
    RoundKeys keys;
    loadRoundKeys(schedule, keys);
    __m128i chain = load(iv);
    for (size_t b = 0; b < blocks; ++b) {
        chain = encrypt1(keys, _mm_xor_si128(chain, load(in + 16 * b)));
        store(out + 16 * b, chain);
    }
    store(iv, chain);
}

TOV_AES_TARGET void aesCbcDecryptNi(const PalAesKeySchedule& schedule, const uint8_t* in, uint8_t* out,
                                    size_t blocks, uint8_t iv[16]) {
    RoundKeys keys;
    loadRoundKeys(schedule, keys);
    __m128i chain = load(iv);
    size_t b = 0;
    // Blocks decrypt independently: eight at a time keep the instruction pipeline full. All inputs
    // are read before any output is written, so in-place works.
    for (; b + kLanes <= blocks; b += kLanes) {
        __m128i cipher[kLanes], x[kLanes];
        #pragma GCC unroll 8
        for (int i = 0; i < kLanes; ++i) x[i] = cipher[i] = load(in + 16 * (b + i));
        decrypt8(keys, x);
        store(out + 16 * b, _mm_xor_si128(x[0], chain));
        #pragma GCC unroll 8
        for (int i = 1; i < kLanes; ++i) store(out + 16 * (b + i), _mm_xor_si128(x[i], cipher[i - 1]));
        chain = cipher[kLanes - 1];
    }
    for (; b < blocks; ++b) {
        const __m128i cipher = load(in + 16 * b);
        store(out + 16 * b, _mm_xor_si128(decrypt1(keys, cipher), chain));
        chain = cipher;
    }
    store(iv, chain);
}

TOV_AES_TARGET void aesCtrBlocksNi(const PalAesKeySchedule& schedule, const uint8_t* in, uint8_t* out,
                                   size_t blocks, uint8_t counter[16]) {
    RoundKeys keys;
    loadRoundKeys(schedule, keys);
    // The 128-bit big-endian counter as two native halves.
    uint64_t high = loadBe64(counter);
    uint64_t low = loadBe64(counter + 8);
    auto next = [&]() {
        const __m128i block = _mm_set_epi64x(int64_t(__builtin_bswap64(low)), int64_t(__builtin_bswap64(high)));
        if (++low == 0) ++high;
        return block;
    };
    size_t b = 0;
    for (; b + kLanes <= blocks; b += kLanes) {
        __m128i x[kLanes];
        #pragma GCC unroll 8
        for (int i = 0; i < kLanes; ++i) x[i] = next();
        encrypt8(keys, x);
        #pragma GCC unroll 8
        for (int i = 0; i < kLanes; ++i) store(out + 16 * (b + i), _mm_xor_si128(x[i], load(in + 16 * (b + i))));
    }
    for (; b < blocks; ++b) store(out + 16 * b, _mm_xor_si128(encrypt1(keys, next()), load(in + 16 * b)));
    storeBe64(counter, high);
    storeBe64(counter + 8, low);
}

}  // namespace tov::crypto
