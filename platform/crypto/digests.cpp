// MD5 (RFC 1321), SHA-1 (FIPS 180) and SHA-256 (FIPS 180-2) with their interfaces, and HMAC-SHA-256.
// SHA-1 and SHA-256 run on the processor's SHA instructions where it has them.

#include "platform/crypto/digests.h"

#include "platform/crypto/cpu_features.h"

#include <string.h>

namespace tov::crypto {
namespace {

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline uint32_t loadBe32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint32_t loadLe32(const uint8_t* p) {
    return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}
inline void storeBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}
inline void storeLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}

constexpr uint32_t kMd5T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

void md5Blocks(uint32_t state[4], const uint8_t* data, size_t blocks) {
    for (; blocks != 0; --blocks, data += 64) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = loadLe32(data + 4 * i);
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
#define MD5_STEP(f, a, b, c, d, k, s, i) a = b + rotl(a + f(b, c, d) + x[k] + kMd5T[i], s)
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
        for (int i = 0; i < 16; i += 4) {
            MD5_STEP(MD5_F, a, b, c, d, i, 7, i);
            MD5_STEP(MD5_F, d, a, b, c, i + 1, 12, i + 1);
            MD5_STEP(MD5_F, c, d, a, b, i + 2, 17, i + 2);
            MD5_STEP(MD5_F, b, c, d, a, i + 3, 22, i + 3);
        }
        for (int i = 16; i < 32; i += 4) {
            MD5_STEP(MD5_G, a, b, c, d, (5 * i + 1) & 15, 5, i);
            MD5_STEP(MD5_G, d, a, b, c, (5 * i + 6) & 15, 9, i + 1);
            MD5_STEP(MD5_G, c, d, a, b, (5 * i + 11) & 15, 14, i + 2);
            MD5_STEP(MD5_G, b, c, d, a, (5 * i + 16) & 15, 20, i + 3);
        }
        for (int i = 32; i < 48; i += 4) {
            MD5_STEP(MD5_H, a, b, c, d, (3 * i + 5) & 15, 4, i);
            MD5_STEP(MD5_H, d, a, b, c, (3 * i + 8) & 15, 11, i + 1);
            MD5_STEP(MD5_H, c, d, a, b, (3 * i + 11) & 15, 16, i + 2);
            MD5_STEP(MD5_H, b, c, d, a, (3 * i + 14) & 15, 23, i + 3);
        }
        for (int i = 48; i < 64; i += 4) {
            MD5_STEP(MD5_I, a, b, c, d, (7 * i) & 15, 6, i);
            MD5_STEP(MD5_I, d, a, b, c, (7 * i + 7) & 15, 10, i + 1);
            MD5_STEP(MD5_I, c, d, a, b, (7 * i + 14) & 15, 15, i + 2);
            MD5_STEP(MD5_I, b, c, d, a, (7 * i + 21) & 15, 21, i + 3);
        }
#undef MD5_STEP
#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I
        state[0] += a; state[1] += b; state[2] += c; state[3] += d;
    }
}

void sha1Blocks(uint32_t state[5], const uint8_t* data, size_t blocks) {
    if (useShaInstructions()) {
        sha1BlocksShaNi(state, data, blocks);
    } else {
        sha1BlocksPortable(state, data, blocks);
    }
}

void sha256Blocks(uint32_t state[8], const uint8_t* data, size_t blocks) {
    if (useShaInstructions()) {
        sha256BlocksShaNi(state, data, blocks);
    } else {
        sha256BlocksPortable(state, data, blocks);
    }
}

void hashBlocks(PalHashContext* context, const uint8_t* data, size_t blocks) {
    if (context->selector == PAL_HASH_SHA1) {
        sha1Blocks(context->state, data, blocks);
    } else {
        md5Blocks(context->state, data, blocks);
    }
}

}  // namespace

void sha1BlocksPortable(uint32_t state[5], const uint8_t* data, size_t blocks) {
    for (; blocks != 0; --blocks, data += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = loadBe32(data + 4 * i);
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
        for (int t = 0; t < 80; ++t) {
            uint32_t wt;
            if (t < 16) {
                wt = w[t];
            } else {
                wt = rotl(w[(t + 13) & 15] ^ w[(t + 8) & 15] ^ w[(t + 2) & 15] ^ w[t & 15], 1);
                w[t & 15] = wt;
            }
            uint32_t f, k;
            if (t < 20) {
                f = d ^ (b & (c ^ d)); k = 0x5A827999;
            } else if (t < 40) {
                f = b ^ c ^ d; k = 0x6ED9EBA1;
            } else if (t < 60) {
                f = (b & c) | (d & (b | c)); k = 0x8F1BBCDC;
            } else {
                f = b ^ c ^ d; k = 0xCA62C1D6;
            }
            const uint32_t temp = rotl(a, 5) + f + e + k + wt;
            e = d; d = c; c = rotl(b, 30); b = a; a = temp;
        }
        state[0] += a; state[1] += b; state[2] += c; state[3] += d; state[4] += e;
    }
}

void sha256BlocksPortable(uint32_t state[8], const uint8_t* data, size_t blocks) {
    for (; blocks != 0; --blocks, data += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) w[i] = loadBe32(data + 4 * i);
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
            const uint32_t ch = g ^ (e & (f ^ g));
            const uint32_t t1 = h + s1 + ch + kSha256K[i] + w[i];
            const uint32_t s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
            const uint32_t maj = (a & b) | (c & (a | b));
            const uint32_t t2 = s0 + maj;
            h = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
        }
        state[0] += a; state[1] += b; state[2] += c; state[3] += d;
        state[4] += e; state[5] += f; state[6] += g; state[7] += h;
    }
}

const uint32_t* sha256RoundConstants() { return kSha256K; }

}  // namespace tov::crypto

using namespace tov::crypto;

extern "C" {

TcsResult palHashInit(PalHashContext* context, uint32_t selector) {
    if (context == nullptr || (selector != PAL_HASH_SHA1 && selector != PAL_HASH_MD5)) return TCS_RESULT_INVALID;
    memset(context, 0, sizeof *context);
    context->selector = selector;
    context->state[0] = 0x67452301;
    context->state[1] = 0xEFCDAB89;
    context->state[2] = 0x98BADCFE;
    context->state[3] = 0x10325476;
    if (selector == PAL_HASH_SHA1) context->state[4] = 0xC3D2E1F0;
    return TCS_RESULT_OK;
}

TcsResult palHashUpdate(PalHashContext* context, const uint8_t* data, uint32_t length) {
    if (context == nullptr || data == nullptr || length == 0) return TCS_RESULT_INVALID;
    if (context->selector != PAL_HASH_SHA1 && context->selector != PAL_HASH_MD5) return TCS_RESULT_INVALID;
    uint32_t fill = (context->lengthLow >> 3) & 63;
    const uint32_t oldLow = context->lengthLow;
    context->lengthLow += length << 3;
    if (context->lengthLow < oldLow) ++context->lengthHigh;
    context->lengthHigh += length >> 29;
    if (fill != 0) {
        const uint32_t take = length < 64 - fill ? length : 64 - fill;
        memcpy(context->buffer + fill, data, take);
        data += take;
        length -= take;
        fill += take;
        if (fill < 64) return TCS_RESULT_OK;
        hashBlocks(context, context->buffer, 1);
    }
    if (length >= 64) {
        hashBlocks(context, data, length / 64);
        data += length & ~63u;
        length &= 63;
    }
    if (length != 0) memcpy(context->buffer, data, length);
    return TCS_RESULT_OK;
}

TcsResult palHashFinal(PalHashContext* context, uint8_t* out) {
    if (context == nullptr || out == nullptr) return TCS_RESULT_INVALID;
    if (context->selector != PAL_HASH_SHA1 && context->selector != PAL_HASH_MD5) return TCS_RESULT_INVALID;
    const bool sha1 = context->selector == PAL_HASH_SHA1;
    const uint32_t low = context->lengthLow, high = context->lengthHigh;
    uint32_t fill = (low >> 3) & 63;
    context->buffer[fill++] = 0x80;
    if (fill > 56) {
        memset(context->buffer + fill, 0, 64 - fill);
        hashBlocks(context, context->buffer, 1);
        fill = 0;
    }
    memset(context->buffer + fill, 0, 56 - fill);
    if (sha1) {
        storeBe32(context->buffer + 56, high);
        storeBe32(context->buffer + 60, low);
    } else {
        storeLe32(context->buffer + 56, low);
        storeLe32(context->buffer + 60, high);
    }
    hashBlocks(context, context->buffer, 1);
    for (int i = 0; i < (sha1 ? 5 : 4); ++i) {
        if (sha1) {
            storeBe32(out + 4 * i, context->state[i]);
        } else {
            storeLe32(out + 4 * i, context->state[i]);
        }
    }
    return TCS_RESULT_OK;
}

void SHA256_init(PalSha256Context* context) {
    static constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memset(context, 0, sizeof *context);
    memcpy(context->state, kInitial, sizeof kInitial);
}

void SHA256_update(PalSha256Context* context, const uint8_t* data, uint32_t length) {
    if (length == 0) return;
    context->bitLength += uint64_t(length) << 3;
    if (context->fill != 0) {
        const uint32_t take = length < 64 - context->fill ? length : 64 - context->fill;
        memcpy(context->buffer + context->fill, data, take);
        data += take;
        length -= take;
        context->fill += take;
        if (context->fill < 64) return;
        sha256Blocks(context->state, context->buffer, 1);
        context->fill = 0;
    }
    if (length >= 64) {
        sha256Blocks(context->state, data, length / 64);
        data += length & ~63u;
        length &= 63;
    }
    if (length != 0) memcpy(context->buffer, data, length);
    context->fill = length;
}

void SHA256_final(PalSha256Context* context) {
    uint32_t fill = context->fill;
    context->buffer[fill++] = 0x80;
    if (fill > 56) {
        memset(context->buffer + fill, 0, 64 - fill);
        sha256Blocks(context->state, context->buffer, 1);
        fill = 0;
    }
    memset(context->buffer + fill, 0, 56 - fill);
    storeBe32(context->buffer + 56, uint32_t(context->bitLength >> 32));
    storeBe32(context->buffer + 60, uint32_t(context->bitLength));
    sha256Blocks(context->state, context->buffer, 1);
    context->fill = 0;
}

void SHA256_digest(const PalSha256Context* context, uint8_t out[32]) {
    for (int i = 0; i < 8; ++i) storeBe32(out + 4 * i, context->state[i]);
}

void hmac_sha256_init(PalHmacSha256State* state, const uint8_t* key, uint32_t keyLength) {
    uint8_t keyBlock[64] = {};
    if (keyLength > 64) {
        PalSha256Context hashed;
        SHA256_init(&hashed);
        SHA256_update(&hashed, key, keyLength);
        SHA256_final(&hashed);
        SHA256_digest(&hashed, keyBlock);
        wipe(&hashed, sizeof hashed);
    } else if (keyLength != 0) {
        memcpy(keyBlock, key, keyLength);
    }
    for (int i = 0; i < 64; ++i) {
        state->innerPad[i] = keyBlock[i] ^ 0x36;
        state->outerPad[i] = keyBlock[i] ^ 0x5C;
    }
    wipe(keyBlock, sizeof keyBlock);
    SHA256_init(&state->inner);
    SHA256_update(&state->inner, state->innerPad, 64);
    SHA256_init(&state->outer);
    SHA256_update(&state->outer, state->outerPad, 64);
}

void hmac_sha256_update(PalHmacSha256State* state, const uint8_t* data, uint32_t length) {
    SHA256_update(&state->inner, data, length);
}

void hmac_sha256_final(PalHmacSha256State* state, uint8_t out[32]) {
    uint8_t innerDigest[32];
    SHA256_final(&state->inner);
    SHA256_digest(&state->inner, innerDigest);
    SHA256_update(&state->outer, innerDigest, 32);
    SHA256_final(&state->outer);
    SHA256_digest(&state->outer, out);
    wipe(innerDigest, sizeof innerDigest);
}

}  // extern "C"
