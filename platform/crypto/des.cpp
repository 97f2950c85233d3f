// Single DES (FIPS 46) with CBC. The round function uses eight 64-entry tables that combine each
// S-box with the P permutation; the initial and final permutations go through byte tables. All tables
// are built at compile time from the standard's tables.

#include "platform/crypto/ciphers.h"

#include "platform/crypto/cpu_features.h"

#include <array>
#include <string.h>

namespace {

constexpr uint8_t kIp[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                             62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                             57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                             61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr uint8_t kPc1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
                              35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
                              46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr uint8_t kPc2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                              26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                              51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr uint8_t kSbox[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,  0, 15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5,  3,  8,  4,  1,  14, 8,  13, 6, 2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2,  4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9,  11, 5, 0,  14, 7,  11, 10, 4, 13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1,  3,  15, 4,  2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6,  3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,  13, 7, 0,  9,  3,  4,
     6,  10, 2,  8,  5,  14, 12, 11, 15, 1,  13, 6,  4,  9,  8,  15, 3,  0, 11, 1,  2,  12,
     5,  10, 14, 7,  1,  10, 13, 0,  6,  9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3,  0,  6,  9,  10, 1,  2, 8, 5,  11, 12, 4,  15, 13, 8,  11, 5,  6,  15,
     0,  3,  4,  7,  2,  12, 1,  10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1,  3,  14,
     5,  2,  8,  4,  3,  15, 0,  6,  10, 1, 13, 8,  9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6, 8,  5,  3,  15, 13, 0,  14, 9,  14, 11, 2,  12, 4, 7,
     13, 1,  5,  0,  15, 10, 3,  9, 8,  6,  4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0,  14, 11, 8,  12, 7, 1,  14, 2,  13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11, 10, 15, 4,  2,  7, 12,
     9,  5,  6,  1,  13, 14, 0,  11, 3,  8,  9,  14, 15, 5,  2,  8,  12, 3,  7,  0, 4,
     10, 1,  13, 11, 6,  4,  3,  2,  12, 9,  5,  15, 10, 11, 14, 1,  7,  6,  0,  8, 13},
    {4,  11, 2,  14, 15, 0, 8,  13, 3,  12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4,  9,
     1,  10, 14, 3,  5,  12, 2,  15, 8,  6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6,  8,
     0,  5,  9,  2,  6,  11, 13, 8,  1,  4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4,  6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,  1,  15, 13, 8,  10, 3,
     7,  4,  12, 5,  6,  11, 0,  14, 9,  2,  7,  11, 4,  1,  9,  12, 14, 2,  0,  6,  10, 13,
     15, 3,  5,  8,  2,  1,  14, 7,  4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11}};

// SP[i][v]: S-box i+1 on the six-bit group v (first bit most significant), placed in output bits
// 4i+1..4i+4 and sent through P; bit 1 is the most significant bit of a word.
constexpr std::array<std::array<uint32_t, 64>, 8> makeSp() {
    std::array<std::array<uint32_t, 64>, 8> sp{};
    for (int i = 0; i < 8; ++i) {
        for (int v = 0; v < 64; ++v) {
            const int row = ((v >> 4) & 2) | (v & 1);
            const int col = (v >> 1) & 15;
            const uint32_t placed = uint32_t(kSbox[i][row * 16 + col]) << (28 - 4 * i);
            uint32_t permuted = 0;
            for (int j = 0; j < 32; ++j) {
                if (placed & (1u << (32 - kP[j]))) permuted |= 1u << (31 - j);
            }
            sp[i][v] = permuted;
        }
    }
    return sp;
}

using ByteTables = std::array<std::array<uint64_t, 256>, 8>;

// A 64-bit permutation (table of source bit numbers, 1 = most significant) as eight byte tables.
constexpr ByteTables makeByteTables(const uint8_t (&source)[64]) {
    ByteTables t{};
    for (int j = 0; j < 64; ++j) {
        const int from = source[j] - 1;
        const int byte = from / 8;
        const int bitInByte = 7 - from % 8;
        for (int v = 0; v < 256; ++v) {
            if (v & (1 << bitInByte)) t[byte][v] |= uint64_t(1) << (63 - j);
        }
    }
    return t;
}

struct FinalPermutation {
    uint8_t source[64];
};

constexpr FinalPermutation makeFinalPermutation() {
    FinalPermutation fp{};
    for (int j = 0; j < 64; ++j) fp.source[kIp[j] - 1] = uint8_t(j + 1);
    return fp;
}

constexpr auto kSp = makeSp();
constexpr ByteTables kIpTables = makeByteTables(kIp);
constexpr FinalPermutation kFp = makeFinalPermutation();
constexpr ByteTables kFpTables = makeByteTables(kFp.source);

uint64_t permute(const ByteTables& tables, uint64_t x) {
    uint64_t r = 0;
    for (int byte = 0; byte < 8; ++byte) r |= tables[byte][(x >> (56 - 8 * byte)) & 0xFF];
    return r;
}

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

uint64_t loadBe64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
    return v;
}

void storeBe64(uint8_t* p, uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8) p[i] = uint8_t(v);
}

void makeSchedule(PalDesKeySchedule* schedule, const uint8_t key[8]) {
    const uint64_t k = loadBe64(key);
    uint64_t cd = 0;  // 56 bits: C in the upper 28, D in the lower 28
    for (int j = 0; j < 56; ++j) {
        if (k & (uint64_t(1) << (64 - kPc1[j]))) cd |= uint64_t(1) << (55 - j);
    }
    uint32_t c = uint32_t(cd >> 28), d = uint32_t(cd & 0x0FFFFFFF);
    for (int round = 0; round < 16; ++round) {
        for (int s = 0; s < kShifts[round]; ++s) {
            c = ((c << 1) | (c >> 27)) & 0x0FFFFFFF;
            d = ((d << 1) | (d >> 27)) & 0x0FFFFFFF;
        }
        const uint64_t joined = uint64_t(c) << 28 | d;
        uint8_t groups[8] = {};
        for (int j = 0; j < 48; ++j) {
            if (joined & (uint64_t(1) << (56 - kPc2[j]))) groups[j / 6] |= uint8_t(1 << (5 - j % 6));
        }
        schedule->subkeys[2 * round] = uint32_t(groups[0]) << 24 | uint32_t(groups[2]) << 16 |
                                       uint32_t(groups[4]) << 8 | groups[6];
        schedule->subkeys[2 * round + 1] = uint32_t(groups[1]) << 24 | uint32_t(groups[3]) << 16 |
                                           uint32_t(groups[5]) << 8 | groups[7];
    }
}

void cryptBlock(const PalDesKeySchedule& schedule, const uint8_t in[8], uint8_t out[8]) {
    const uint64_t x = permute(kIpTables, loadBe64(in));
    uint32_t left = uint32_t(x >> 32), right = uint32_t(x);
    for (int round = 0; round < 16; ++round) {
        // Expansion: group i is bits 4i..4i+5 of R (bit 0 meaning bit 32), read off rotations of R.
        const uint32_t odd = ((rotr(right, 1) >> 2) & 0x3F3F3F3F) ^ schedule.subkeys[2 * round];
        const uint32_t even = ((rotl(right, 3) >> 2) & 0x3F3F3F3F) ^ schedule.subkeys[2 * round + 1];
        const uint32_t f = kSp[0][odd >> 24] ^ kSp[2][(odd >> 16) & 0x3F] ^ kSp[4][(odd >> 8) & 0x3F] ^
                           kSp[6][odd & 0x3F] ^ kSp[1][even >> 24] ^ kSp[3][(even >> 16) & 0x3F] ^
                           kSp[5][(even >> 8) & 0x3F] ^ kSp[7][even & 0x3F];
        const uint32_t next = left ^ f;
        left = right;
        right = next;
    }
    storeBe64(out, permute(kFpTables, uint64_t(right) << 32 | left));
}

}  // namespace

extern "C" {

TcsResult palDESSetKey(PalDesKeySchedule* schedule, const uint8_t key[8]) {
    if (schedule == nullptr || key == nullptr) return TCS_RESULT_INVALID;
    makeSchedule(schedule, key);
    return TCS_RESULT_OK;
}

TcsResult palDESSetEncryptionKey(PalDesKeySchedule* context, const uint8_t key[8]) {
    return palDESSetKey(context, key);
}

TcsResult palDESSetDecryptionKey(PalDesKeySchedule* context, const uint8_t key[8]) {
    const TcsResult rc = palDESSetKey(context, key);
    if (rc != TCS_RESULT_OK) return rc;
    for (int i = 0, j = 15; i < j; ++i, --j) {
        for (int w = 0; w < 2; ++w) {
            const uint32_t t = context->subkeys[2 * i + w];
            context->subkeys[2 * i + w] = context->subkeys[2 * j + w];
            context->subkeys[2 * j + w] = t;
        }
    }
    return TCS_RESULT_OK;
}

TcsResult palDESCryptECB(const PalDesKeySchedule* schedule, const uint8_t in[8], uint8_t out[8]) {
    if (schedule == nullptr || in == nullptr || out == nullptr) return TCS_RESULT_INVALID;
    cryptBlock(*schedule, in, out);
    return TCS_RESULT_OK;
}

TcsResult palDESCryptCBC(const PalDesKeySchedule* schedule, uint8_t iv[8], const uint8_t* in, uint32_t length,
                         uint8_t* out, int encrypt) {
    if (schedule == nullptr || in == nullptr || out == nullptr || iv == nullptr) return TCS_RESULT_INVALID;
    if (length % 8 != 0) return TCS_RESULT_INVALID;
    for (uint32_t offset = 0; offset < length; offset += 8) {
        if (encrypt) {
            uint8_t block[8];
            for (int i = 0; i < 8; ++i) block[i] = in[offset + i] ^ iv[i];
            cryptBlock(*schedule, block, iv);
            memcpy(out + offset, iv, 8);
        } else {
            uint8_t saved[8];
            memcpy(saved, in + offset, 8);  // in-place decryption overwrites it
            cryptBlock(*schedule, saved, out + offset);
            for (int i = 0; i < 8; ++i) out[offset + i] ^= iv[i];
            memcpy(iv, saved, 8);
        }
    }
    return TCS_RESULT_OK;
}

TcsResult palCryptoDesCbc(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t* outLength, const uint8_t key[8],
                          uint8_t iv[8], int encrypt) {
    PalDesKeySchedule schedule;
    TcsResult rc = encrypt ? palDESSetEncryptionKey(&schedule, key) : palDESSetDecryptionKey(&schedule, key);
    if (rc != TCS_RESULT_OK) return rc;
    rc = palDESCryptCBC(&schedule, iv, in, length, out, encrypt);
    tov::crypto::wipe(&schedule, sizeof schedule);
    if (rc == TCS_RESULT_OK && outLength != nullptr) *outLength = length;
    return rc;
}

}  // extern "C"
