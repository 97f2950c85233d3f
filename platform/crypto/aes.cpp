// AES (FIPS-197): key schedules, table-driven blocks, CBC and CTR modes, and their interface functions.
// Whole blocks run on the processor's AES instructions where it has them.

#include "platform/crypto/aes_blocks.h"
#include "platform/crypto/cpu_features.h"

#include <array>
#include <string.h>

namespace tov::crypto {
namespace {

constexpr uint8_t xtime(uint8_t x) { return uint8_t((x << 1) ^ ((x & 0x80) ? 0x1B : 0)); }

constexpr uint8_t gmul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    while (b != 0) {
        if (b & 1) r ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return r;
}

constexpr uint8_t rotl8(uint8_t x, int n) { return uint8_t((x << n) | (x >> (8 - n))); }

struct AesTables {
    uint8_t sbox[256];
    uint8_t inverseSbox[256];
    uint32_t te[4][256];
    uint32_t td[4][256];
};

constexpr uint32_t rotr32(uint32_t x, int n) { return n == 0 ? x : (x >> n) | (x << (32 - n)); }

constexpr AesTables makeTables() {
    AesTables t{};
    for (int x = 0; x < 256; ++x) {
        uint8_t inverse = 0;
        if (x != 0) {
            // x^254 is the multiplicative inverse in GF(2^8).
            uint8_t p = 1;
            for (int i = 0; i < 254; ++i) p = gmul(p, uint8_t(x));
            inverse = p;
        }
        const uint8_t s = uint8_t(inverse ^ rotl8(inverse, 1) ^ rotl8(inverse, 2) ^ rotl8(inverse, 3) ^
                                  rotl8(inverse, 4) ^ 0x63);
        t.sbox[x] = s;
        t.inverseSbox[s] = uint8_t(x);
    }
    for (int x = 0; x < 256; ++x) {
        const uint8_t s = t.sbox[x];
        const uint32_t e = uint32_t(gmul(s, 2)) << 24 | uint32_t(s) << 16 | uint32_t(s) << 8 | gmul(s, 3);
        const uint8_t si = t.inverseSbox[x];
        const uint32_t d = uint32_t(gmul(si, 14)) << 24 | uint32_t(gmul(si, 9)) << 16 |
                           uint32_t(gmul(si, 13)) << 8 | gmul(si, 11);
        for (int k = 0; k < 4; ++k) {
            t.te[k][x] = rotr32(e, 8 * k);
            t.td[k][x] = rotr32(d, 8 * k);
        }
    }
    return t;
}

constexpr AesTables kT = makeTables();

inline uint32_t loadBe32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void storeBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}

uint32_t subWord(uint32_t w) {
    return uint32_t(kT.sbox[w >> 24]) << 24 | uint32_t(kT.sbox[(w >> 16) & 0xFF]) << 16 |
           uint32_t(kT.sbox[(w >> 8) & 0xFF]) << 8 | kT.sbox[w & 0xFF];
}

bool validRounds(const PalAesKeySchedule& schedule) {
    return schedule.rounds == 10 || schedule.rounds == 12 || schedule.rounds == 14;
}

void expandKey(const uint8_t* key, uint32_t keyLength, PalAesKeySchedule* schedule) {
    const uint32_t nk = keyLength / 4;
    const uint32_t rounds = nk + 6;
    uint32_t* w = schedule->roundKeys;
    memset(schedule, 0, sizeof *schedule);
    for (uint32_t i = 0; i < nk; ++i) w[i] = loadBe32(key + 4 * i);
    uint8_t rcon = 1;
    for (uint32_t i = nk; i < 4 * (rounds + 1); ++i) {
        uint32_t temp = w[i - 1];
        if (i % nk == 0) {
            temp = subWord((temp << 8) | (temp >> 24)) ^ (uint32_t(rcon) << 24);
            rcon = xtime(rcon);
        } else if (nk > 6 && i % nk == 4) {
            temp = subWord(temp);
        }
        w[i] = w[i - nk] ^ temp;
    }
    schedule->rounds = rounds;
}

bool validKeyLength(uint32_t keyLength) { return keyLength == 16 || keyLength == 24 || keyLength == 32; }

void encryptBlock(const PalAesKeySchedule& schedule, const uint8_t in[16], uint8_t out[16]) {
    if (useAesInstructions()) {
        aesEncryptBlockNi(schedule, in, out);
    } else {
        aesEncryptBlockPortable(schedule, in, out);
    }
}

void decryptBlock(const PalAesKeySchedule& schedule, const uint8_t in[16], uint8_t out[16]) {
    if (useAesInstructions()) {
        aesDecryptBlockNi(schedule, in, out);
    } else {
        aesDecryptBlockPortable(schedule, in, out);
    }
}

void xorBlock(uint8_t* out, const uint8_t* a, const uint8_t* b, size_t n = 16) {
    for (size_t i = 0; i < n; ++i) out[i] = a[i] ^ b[i];
}

void incrementCounter(uint8_t counter[16]) {
    for (int i = 15; i >= 0; --i) {
        if (++counter[i] != 0) break;
    }
}

}  // namespace

void aesEncryptBlockPortable(const PalAesKeySchedule& schedule, const uint8_t in[16], uint8_t out[16]) {
    const uint32_t* rk = schedule.roundKeys;
    uint32_t s0 = loadBe32(in) ^ rk[0], s1 = loadBe32(in + 4) ^ rk[1];
    uint32_t s2 = loadBe32(in + 8) ^ rk[2], s3 = loadBe32(in + 12) ^ rk[3];
    const auto& te = kT.te;
    for (uint32_t r = 1; r < schedule.rounds; ++r) {
        rk += 4;
        const uint32_t t0 = te[0][s0 >> 24] ^ te[1][(s1 >> 16) & 0xFF] ^ te[2][(s2 >> 8) & 0xFF] ^ te[3][s3 & 0xFF] ^ rk[0];
        const uint32_t t1 = te[0][s1 >> 24] ^ te[1][(s2 >> 16) & 0xFF] ^ te[2][(s3 >> 8) & 0xFF] ^ te[3][s0 & 0xFF] ^ rk[1];
        const uint32_t t2 = te[0][s2 >> 24] ^ te[1][(s3 >> 16) & 0xFF] ^ te[2][(s0 >> 8) & 0xFF] ^ te[3][s1 & 0xFF] ^ rk[2];
        const uint32_t t3 = te[0][s3 >> 24] ^ te[1][(s0 >> 16) & 0xFF] ^ te[2][(s1 >> 8) & 0xFF] ^ te[3][s2 & 0xFF] ^ rk[3];
        s0 = t0; s1 = t1; s2 = t2; s3 = t3;
    }
    rk += 4;
    const uint8_t* s = kT.sbox;
    auto last = [&](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
        return (uint32_t(s[a >> 24]) << 24 | uint32_t(s[(b >> 16) & 0xFF]) << 16 | uint32_t(s[(c >> 8) & 0xFF]) << 8 |
                s[d & 0xFF]) ^ k;
    };
    storeBe32(out, last(s0, s1, s2, s3, rk[0]));
    storeBe32(out + 4, last(s1, s2, s3, s0, rk[1]));
    storeBe32(out + 8, last(s2, s3, s0, s1, rk[2]));
    storeBe32(out + 12, last(s3, s0, s1, s2, rk[3]));
}

void aesDecryptBlockPortable(const PalAesKeySchedule& schedule, const uint8_t in[16], uint8_t out[16]) {
    const uint32_t* rk = schedule.roundKeys;
    uint32_t s0 = loadBe32(in) ^ rk[0], s1 = loadBe32(in + 4) ^ rk[1];
    uint32_t s2 = loadBe32(in + 8) ^ rk[2], s3 = loadBe32(in + 12) ^ rk[3];
    const auto& td = kT.td;
    for (uint32_t r = 1; r < schedule.rounds; ++r) {
        rk += 4;
        const uint32_t t0 = td[0][s0 >> 24] ^ td[1][(s3 >> 16) & 0xFF] ^ td[2][(s2 >> 8) & 0xFF] ^ td[3][s1 & 0xFF] ^ rk[0];
        const uint32_t t1 = td[0][s1 >> 24] ^ td[1][(s0 >> 16) & 0xFF] ^ td[2][(s3 >> 8) & 0xFF] ^ td[3][s2 & 0xFF] ^ rk[1];
        const uint32_t t2 = td[0][s2 >> 24] ^ td[1][(s1 >> 16) & 0xFF] ^ td[2][(s0 >> 8) & 0xFF] ^ td[3][s3 & 0xFF] ^ rk[2];
        const uint32_t t3 = td[0][s3 >> 24] ^ td[1][(s2 >> 16) & 0xFF] ^ td[2][(s1 >> 8) & 0xFF] ^ td[3][s0 & 0xFF] ^ rk[3];
        s0 = t0; s1 = t1; s2 = t2; s3 = t3;
    }
    rk += 4;
    const uint8_t* s = kT.inverseSbox;
    auto last = [&](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
        return (uint32_t(s[a >> 24]) << 24 | uint32_t(s[(b >> 16) & 0xFF]) << 16 | uint32_t(s[(c >> 8) & 0xFF]) << 8 |
                s[d & 0xFF]) ^ k;
    };
    storeBe32(out, last(s0, s3, s2, s1, rk[0]));
    storeBe32(out + 4, last(s1, s0, s3, s2, rk[1]));
    storeBe32(out + 8, last(s2, s1, s0, s3, rk[2]));
    storeBe32(out + 12, last(s3, s2, s1, s0, rk[3]));
}

}  // namespace tov::crypto

using namespace tov::crypto;

extern "C" {

TcsResult palAESSetEncryptKey(const uint8_t* key, uint32_t keyLength, PalAesKeySchedule* schedule) {
    if (key == nullptr || schedule == nullptr || !validKeyLength(keyLength)) return TCS_RESULT_INVALID;
    expandKey(key, keyLength, schedule);
    return TCS_RESULT_OK;
}

TcsResult palAESSetDecryptKey(const uint8_t* key, uint32_t keyLength, PalAesKeySchedule* schedule) {
    if (key == nullptr || schedule == nullptr || !validKeyLength(keyLength)) return TCS_RESULT_INVALID;
    expandKey(key, keyLength, schedule);
    // The inverse cipher takes the round keys in reverse order, the inner ones through InvMixColumns.
    uint32_t* rk = schedule->roundKeys;
    const uint32_t rounds = schedule->rounds;
    for (uint32_t i = 0, j = 4 * rounds; i < j; i += 4, j -= 4) {
        for (int k = 0; k < 4; ++k) {
            const uint32_t t = rk[i + k];
            rk[i + k] = rk[j + k];
            rk[j + k] = t;
        }
    }
    for (uint32_t i = 4; i < 4 * rounds; ++i) {
        const uint32_t w = rk[i];
        rk[i] = kT.td[0][kT.sbox[w >> 24]] ^ kT.td[1][kT.sbox[(w >> 16) & 0xFF]] ^
                kT.td[2][kT.sbox[(w >> 8) & 0xFF]] ^ kT.td[3][kT.sbox[w & 0xFF]];
    }
    return TCS_RESULT_OK;
}

TcsResult palAESEncrypt(const uint8_t in[16], uint8_t out[16], const PalAesKeySchedule* schedule) {
    if (in == nullptr || out == nullptr || schedule == nullptr || !validRounds(*schedule)) return TCS_RESULT_INVALID;
    encryptBlock(*schedule, in, out);
    return TCS_RESULT_OK;
}

TcsResult palAESDecrypt(const uint8_t in[16], uint8_t out[16], const PalAesKeySchedule* schedule) {
    if (in == nullptr || out == nullptr || schedule == nullptr || !validRounds(*schedule)) return TCS_RESULT_INVALID;
    decryptBlock(*schedule, in, out);
    return TCS_RESULT_OK;
}

TcsResult palAesCBCEncrypt(const uint8_t* in, uint8_t* out, uint32_t length, uint8_t iv[16],
                           const PalAesKeySchedule* schedule) {
    if (in == nullptr || out == nullptr || iv == nullptr || schedule == nullptr) return TCS_RESULT_NULL_POINTER;
    if (!validRounds(*schedule)) return TCS_RESULT_INVALID;
    const size_t blocks = length / 16;
    if (useAesInstructions()) {
        aesCbcEncryptNi(*schedule, in, out, blocks, iv);
    } else {
        for (size_t b = 0; b < blocks; ++b) {
            xorBlock(iv, iv, in + 16 * b);
            aesEncryptBlockPortable(*schedule, iv, iv);
            memcpy(out + 16 * b, iv, 16);
        }
    }
    const uint32_t rest = length % 16;
    if (rest != 0) {
        // The partial block is taken as zero-padded: its r bytes XOR the chain, the rest of the
        // chain block passes unchanged; the whole block is written.
        const size_t offset = 16 * blocks;
        xorBlock(iv, iv, in + offset, rest);
        encryptBlock(*schedule, iv, iv);
        memcpy(out + offset, iv, 16);
    }
    return TCS_RESULT_OK;
}

TcsResult palAesCBCDecrypt(const uint8_t* in, uint8_t* out, uint32_t length, uint8_t iv[16],
                           const PalAesKeySchedule* schedule) {
    if (in == nullptr || out == nullptr || iv == nullptr || schedule == nullptr) return TCS_RESULT_NULL_POINTER;
    if (!validRounds(*schedule)) return TCS_RESULT_INVALID;
    const size_t blocks = length / 16;
    if (useAesInstructions()) {
        aesCbcDecryptNi(*schedule, in, out, blocks, iv);
    } else {
        uint8_t saved[16];
        for (size_t b = 0; b < blocks; ++b) {
            memcpy(saved, in + 16 * b, 16);  // in-place decryption overwrites it
            aesDecryptBlockPortable(*schedule, saved, out + 16 * b);
            xorBlock(out + 16 * b, out + 16 * b, iv);
            memcpy(iv, saved, 16);
        }
    }
    const uint32_t rest = length % 16;
    if (rest != 0) {
        // 16 input bytes decrypt; only the first r are XORed with the chain, the others keep the
        // decrypted values.
        const size_t offset = 16 * blocks;
        uint8_t saved[16];
        memcpy(saved, in + offset, 16);
        decryptBlock(*schedule, saved, out + offset);
        xorBlock(out + offset, out + offset, iv, rest);
        memcpy(iv, saved, 16);
    }
    return TCS_RESULT_OK;
}

void palAESCtrInc(uint8_t counter[16]) {
    if (counter != nullptr) incrementCounter(counter);
}

TcsResult palAesCtrEncDec(const uint8_t* in, uint8_t* out, uint32_t length, uint8_t counter[16],
                          const PalAesKeySchedule* schedule, uint8_t keyStream[16], uint32_t* position) {
    if (in == nullptr || out == nullptr || counter == nullptr || schedule == nullptr || keyStream == nullptr ||
        position == nullptr || *position > 15 || !validRounds(*schedule)) {
        return TCS_RESULT_INVALID;
    }
    uint32_t pos = *position;
    // Finish a key-stream block that an earlier call began.
    while (pos != 0 && length != 0) {
        *out++ = *in++ ^ keyStream[pos];
        pos = (pos + 1) & 15;
        --length;
    }
    const size_t blocks = length / 16;
    if (blocks != 0) {
        if (useAesInstructions()) {
            aesCtrBlocksNi(*schedule, in, out, blocks, counter);
        } else {
            for (size_t b = 0; b < blocks; ++b) {
                aesEncryptBlockPortable(*schedule, counter, keyStream);
                incrementCounter(counter);
                xorBlock(out + 16 * b, in + 16 * b, keyStream);
            }
        }
        in += 16 * blocks;
        out += 16 * blocks;
        length %= 16;
    }
    if (length != 0) {
        encryptBlock(*schedule, counter, keyStream);
        incrementCounter(counter);
        xorBlock(out, in, keyStream, length);
        pos = length;
    }
    *position = pos;
    return TCS_RESULT_OK;
}

TcsResult palCryptoAesCbc(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t* outLength, const uint8_t* key,
                          uint32_t keyLength, uint8_t iv[16], int encrypt) {
    if (key == nullptr) return TCS_RESULT_INVALID;
    // The schedule lives on the stack: nothing to allocate, and it is wiped on the way out.
    PalAesKeySchedule schedule;
    if (keyLength == PAL_AES_SCHEDULE_SIZE) {
        memcpy(&schedule, key, sizeof schedule);  // the caller's bytes need not be word-aligned
    } else {
        const TcsResult rc = encrypt ? palAESSetEncryptKey(key, keyLength, &schedule)
                                     : palAESSetDecryptKey(key, keyLength, &schedule);
        if (rc != TCS_RESULT_OK) return rc;
    }
    const TcsResult rc = encrypt ? palAesCBCEncrypt(in, out, length, iv, &schedule)
                                 : palAesCBCDecrypt(in, out, length, iv, &schedule);
    wipe(&schedule, sizeof schedule);
    if (rc == TCS_RESULT_OK && outLength != nullptr) *outLength = length;
    return rc;
}

TcsResult palCryptoAesCtr(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t* outLength, const uint8_t* key,
                          uint32_t keyLength, uint8_t counter[16]) {
    if (key == nullptr) return TCS_RESULT_INVALID;
    PalAesKeySchedule schedule;
    if (keyLength == PAL_AES_SCHEDULE_SIZE) {
        memcpy(&schedule, key, sizeof schedule);
    } else {
        const TcsResult rc = palAESSetEncryptKey(key, keyLength, &schedule);
        if (rc != TCS_RESULT_OK) return rc;
    }
    uint8_t keyStream[16] = {};
    uint32_t position = 0;
    const TcsResult rc = palAesCtrEncDec(in, out, length, counter, &schedule, keyStream, &position);
    wipe(&schedule, sizeof schedule);
    wipe(keyStream, sizeof keyStream);
    if (rc == TCS_RESULT_OK && outLength != nullptr) *outLength = length;
    return rc;
}

}  // extern "C"
