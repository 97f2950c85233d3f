// Virtual sensor: SHA-1, MD5, SHA-256, AES-CBC and Montgomery modular exponentiation, written
// plainly from the standards (the firmware's own code, not the host's).
#include "sim/usb/sim_crypto.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <random>

namespace simusb::crypto {
namespace {

uint32_t rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
uint32_t ror(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

Bytes padded(std::span<const uint8_t> data, bool bigEndianLength) {
    Bytes m(data.begin(), data.end());
    uint64_t bits = uint64_t(data.size()) * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int i = 0; i < 8; ++i) m.push_back(uint8_t(bits >> (bigEndianLength ? 56 - 8 * i : 8 * i)));
    return m;
}

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint32_t le32(const uint8_t* p) { return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]; }

// AES tables, built once from the field arithmetic.
struct AesTables {
    uint8_t sbox[256];
    uint8_t inverse[256];
    AesTables() {
        uint8_t p = 1, q = 1;
        do {
            p = uint8_t(p ^ (p << 1) ^ ((p & 0x80) ? 0x1B : 0));
            q ^= uint8_t(q << 1);
            q ^= uint8_t(q << 2);
            q ^= uint8_t(q << 4);
            if (q & 0x80) q ^= 0x09;
            auto r8 = [](uint8_t x, int n) { return uint8_t((x << n) | (x >> (8 - n))); };
            sbox[p] = uint8_t(q ^ r8(q, 1) ^ r8(q, 2) ^ r8(q, 3) ^ r8(q, 4) ^ 0x63);
        } while (p != 1);
        sbox[0] = 0x63;
        for (int i = 0; i < 256; ++i) inverse[sbox[i]] = uint8_t(i);
    }
};
const AesTables& aes() {
    static const AesTables t;
    return t;
}

uint8_t xtime(uint8_t x) { return uint8_t((x << 1) ^ ((x & 0x80) ? 0x1B : 0)); }
uint8_t gmul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    while (b) {
        if (b & 1) r ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return r;
}

void expandKey(std::span<const uint8_t> key, uint8_t* roundKeys, int rounds) {
    const uint32_t nk = uint32_t(key.size()) / 4;
    memcpy(roundKeys, key.data(), key.size());
    uint8_t rcon = 1;
    for (uint32_t i = uint32_t(key.size()); i < 16u * (rounds + 1); i += 4) {
        uint8_t t[4];
        memcpy(t, roundKeys + i - 4, 4);
        if ((i / 4) % nk == 0) {
            uint8_t first = t[0];
            t[0] = uint8_t(aes().sbox[t[1]] ^ rcon);
            t[1] = aes().sbox[t[2]];
            t[2] = aes().sbox[t[3]];
            t[3] = aes().sbox[first];
            rcon = xtime(rcon);
        } else if (nk > 6 && (i / 4) % nk == 4) {
            for (uint8_t& b : t) b = aes().sbox[b];
        }
        for (int j = 0; j < 4; ++j) roundKeys[i + j] = roundKeys[i - key.size() + j] ^ t[j];
    }
}

void encryptBlock(uint8_t s[16], const uint8_t* rk, int rounds) {
    for (int i = 0; i < 16; ++i) s[i] ^= rk[i];
    for (int round = 1; round <= rounds; ++round) {
        uint8_t t[16];
        for (int c = 0; c < 4; ++c) {
            for (int r = 0; r < 4; ++r) t[r + 4 * c] = aes().sbox[s[r + 4 * ((c + r) % 4)]];
        }
        if (round != rounds) {
            for (int c = 0; c < 4; ++c) {
                uint8_t* a = t + 4 * c;
                uint8_t a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
                a[0] = uint8_t(xtime(a0) ^ xtime(a1) ^ a1 ^ a2 ^ a3);
                a[1] = uint8_t(a0 ^ xtime(a1) ^ xtime(a2) ^ a2 ^ a3);
                a[2] = uint8_t(a0 ^ a1 ^ xtime(a2) ^ xtime(a3) ^ a3);
                a[3] = uint8_t(xtime(a0) ^ a0 ^ a1 ^ a2 ^ xtime(a3));
            }
        }
        for (int i = 0; i < 16; ++i) s[i] = t[i] ^ rk[16 * round + i];
    }
}

void decryptBlock(uint8_t s[16], const uint8_t* rk, int rounds) {
    for (int i = 0; i < 16; ++i) s[i] ^= rk[16 * rounds + i];
    for (int round = rounds - 1; round >= 0; --round) {
        uint8_t t[16];
        for (int c = 0; c < 4; ++c) {
            for (int r = 0; r < 4; ++r) t[r + 4 * ((c + r) % 4)] = aes().inverse[s[r + 4 * c]];
        }
        for (int i = 0; i < 16; ++i) t[i] ^= rk[16 * round + i];
        if (round != 0) {
            for (int c = 0; c < 4; ++c) {
                uint8_t* a = t + 4 * c;
                uint8_t a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
                a[0] = uint8_t(gmul(a0, 14) ^ gmul(a1, 11) ^ gmul(a2, 13) ^ gmul(a3, 9));
                a[1] = uint8_t(gmul(a0, 9) ^ gmul(a1, 14) ^ gmul(a2, 11) ^ gmul(a3, 13));
                a[2] = uint8_t(gmul(a0, 13) ^ gmul(a1, 9) ^ gmul(a2, 14) ^ gmul(a3, 11));
                a[3] = uint8_t(gmul(a0, 11) ^ gmul(a1, 13) ^ gmul(a2, 9) ^ gmul(a3, 14));
            }
        }
        memcpy(s, t, 16);
    }
}

using Limbs = std::vector<uint32_t>;

Limbs toLimbs(std::span<const uint8_t> be, size_t n) {
    Limbs out(n, 0);
    for (size_t i = 0; i < be.size(); ++i) {
        size_t bit = (be.size() - 1 - i) * 8;
        if (bit / 32 < n) out[bit / 32] |= uint32_t(be[i]) << (bit % 32);
    }
    return out;
}

bool geq(const Limbs& a, const Limbs& b) {
    for (size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i]) return a[i] > b[i];
    }
    return true;
}

void subtract(Limbs& a, const Limbs& b) {
    int64_t borrow = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        int64_t d = int64_t(a[i]) - b[i] - borrow;
        borrow = d < 0;
        a[i] = uint32_t(d);
    }
}

struct Montgomery {
    Limbs n;
    uint32_t ninv;
    Limbs r2;

    explicit Montgomery(Limbs modulus) : n(std::move(modulus)) {
        uint32_t inv = 1;
        for (int i = 0; i < 5; ++i) inv *= 2 - n[0] * inv;
        ninv = uint32_t(0) - inv;
        // R^2 mod n by doubling 1 up 64 * limbs times.
        r2.assign(n.size(), 0);
        r2[0] = 1;
        for (size_t k = 0; k < 64 * n.size(); ++k) {
            uint32_t carry = 0;
            for (uint32_t& limb : r2) {
                uint32_t next = limb >> 31;
                limb = (limb << 1) | carry;
                carry = next;
            }
            if (carry || geq(r2, n)) subtract(r2, n);
        }
    }

    Limbs mul(const Limbs& a, const Limbs& b) const {
        const size_t s = n.size();
        std::vector<uint64_t> t(s + 2, 0);
        for (size_t i = 0; i < s; ++i) {
            uint64_t carry = 0;
            for (size_t j = 0; j < s; ++j) {
                uint64_t uv = t[j] + uint64_t(a[i]) * b[j] + carry;
                t[j] = uint32_t(uv);
                carry = uv >> 32;
            }
            uint64_t uv = t[s] + carry;
            t[s] = uint32_t(uv);
            t[s + 1] = uv >> 32;
            uint32_t m = uint32_t(t[0]) * ninv;
            carry = (t[0] + uint64_t(m) * n[0]) >> 32;
            for (size_t j = 1; j < s; ++j) {
                uv = t[j] + uint64_t(m) * n[j] + carry;
                t[j - 1] = uint32_t(uv);
                carry = uv >> 32;
            }
            uv = t[s] + carry;
            t[s - 1] = uint32_t(uv);
            t[s] = t[s + 1] + (uv >> 32);
            t[s + 1] = 0;
        }
        Limbs out(s);
        for (size_t i = 0; i < s; ++i) out[i] = uint32_t(t[i]);
        if (t[s] != 0 || geq(out, n)) subtract(out, n);
        return out;
    }
};

std::mutex& randomLock() {
    static std::mutex m;
    return m;
}

}  // namespace

std::array<uint8_t, 20> sha1(std::span<const uint8_t> data) {
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    Bytes m = padded(data, true);
    for (size_t block = 0; block < m.size(); block += 64) {
        uint32_t w[80];
        for (int i = 0; i < 16; ++i) w[i] = be32(&m[block + 4 * i]);
        for (int i = 16; i < 80; ++i) w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int i = 0; i < 80; ++i) {
            uint32_t f, k;
            if (i < 20) f = (b & c) | (~b & d), k = 0x5A827999;
            else if (i < 40) f = b ^ c ^ d, k = 0x6ED9EBA1;
            else if (i < 60) f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
            else f = b ^ c ^ d, k = 0xCA62C1D6;
            uint32_t t = rol(a, 5) + f + e + k + w[i];
            e = d, d = c, c = rol(b, 30), b = a, a = t;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
    }
    std::array<uint8_t, 20> out;
    for (int i = 0; i < 20; ++i) out[i] = uint8_t(h[i / 4] >> (24 - 8 * (i % 4)));
    return out;
}

std::array<uint8_t, 16> md5(std::span<const uint8_t> data) {
    static const int shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    static const auto constants = [] {
        std::array<uint32_t, 64> k;
        for (int i = 0; i < 64; ++i) k[i] = uint32_t(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
        return k;
    }();
    uint32_t h[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};
    Bytes m = padded(data, false);
    for (size_t block = 0; block < m.size(); block += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = le32(&m[block + 4 * i]);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            if (i < 16) f = (b & c) | (~b & d), g = i;
            else if (i < 32) f = (d & b) | (~d & c), g = (5 * i + 1) % 16;
            else if (i < 48) f = b ^ c ^ d, g = (3 * i + 5) % 16;
            else f = c ^ (b | ~d), g = (7 * i) % 16;
            f += a + constants[i] + w[g];
            a = d, d = c, c = b;
            b += rol(f, shifts[i / 16][i % 4]);
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d;
    }
    std::array<uint8_t, 16> out;
    for (int i = 0; i < 16; ++i) out[i] = uint8_t(h[i / 4] >> (8 * (i % 4)));
    return out;
}

std::array<uint8_t, 32> sha256(std::span<const uint8_t> data) {
    static const auto constants = [] {
        std::array<uint32_t, 72> k{};  // 64 round constants, then the 8 initial words
        int found = 0;
        for (int candidate = 2; found < 64; ++candidate) {
            bool prime = true;
            for (int d = 2; d * d <= candidate; ++d) prime = prime && candidate % d != 0;
            if (!prime) continue;
            long double root = std::cbrt((long double)candidate);
            k[found] = uint32_t((root - std::floor(root)) * 4294967296.0L);
            if (found < 8) {
                long double sq = std::sqrt((long double)candidate);
                k[64 + found] = uint32_t((sq - std::floor(sq)) * 4294967296.0L);
            }
            ++found;
        }
        return k;
    }();
    uint32_t h[8];
    for (int i = 0; i < 8; ++i) h[i] = constants[64 + i];
    Bytes m = padded(data, true);
    for (size_t block = 0; block < m.size(); block += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) w[i] = be32(&m[block + 4 * i]);
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = ror(w[i - 15], 7) ^ ror(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = ror(w[i - 2], 17) ^ ror(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t v[8];
        memcpy(v, h, sizeof v);
        for (int i = 0; i < 64; ++i) {
            uint32_t s1 = ror(v[4], 6) ^ ror(v[4], 11) ^ ror(v[4], 25);
            uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
            uint32_t t1 = v[7] + s1 + ch + constants[i] + w[i];
            uint32_t s0 = ror(v[0], 2) ^ ror(v[0], 13) ^ ror(v[0], 22);
            uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
            memmove(v + 1, v, 7 * sizeof(uint32_t));
            v[4] += t1;
            v[0] = t1 + s0 + maj;
        }
        for (int i = 0; i < 8; ++i) h[i] += v[i];
    }
    std::array<uint8_t, 32> out;
    for (int i = 0; i < 32; ++i) out[i] = uint8_t(h[i / 4] >> (24 - 8 * (i % 4)));
    return out;
}

bool aesCbc(std::span<const uint8_t> key, uint8_t iv[16], std::span<uint8_t> data, bool encrypt) {
    if ((key.size() != 16 && key.size() != 24 && key.size() != 32) || data.size() % 16 != 0) return false;
    const int rounds = int(key.size()) / 4 + 6;
    uint8_t roundKeys[240];
    expandKey(key, roundKeys, rounds);
    for (size_t pos = 0; pos < data.size(); pos += 16) {
        uint8_t* block = data.data() + pos;
        if (encrypt) {
            for (int i = 0; i < 16; ++i) block[i] ^= iv[i];
            encryptBlock(block, roundKeys, rounds);
            memcpy(iv, block, 16);
        } else {
            uint8_t cipher[16];
            memcpy(cipher, block, 16);
            decryptBlock(block, roundKeys, rounds);
            for (int i = 0; i < 16; ++i) block[i] ^= iv[i];
            memcpy(iv, cipher, 16);
        }
    }
    memset(roundKeys, 0, sizeof roundKeys);
    return true;
}

Bytes modExp(std::span<const uint8_t> base, std::span<const uint8_t> exponent, std::span<const uint8_t> modulus) {
    const size_t limbs = (modulus.size() + 3) / 4;
    Montgomery mont(toLimbs(modulus, limbs));
    Limbs one(limbs, 0);
    one[0] = 1;
    Limbs b = mont.mul(toLimbs(base, limbs), mont.r2);
    Limbs x = mont.mul(one, mont.r2);
    for (uint8_t byte : exponent) {
        for (int bit = 7; bit >= 0; --bit) {
            x = mont.mul(x, x);
            if ((byte >> bit) & 1) x = mont.mul(x, b);
        }
    }
    x = mont.mul(x, one);
    Bytes out(modulus.size());
    for (size_t i = 0; i < out.size(); ++i) {
        size_t bit = (out.size() - 1 - i) * 8;
        out[i] = uint8_t(x[bit / 32] >> (bit % 32));
    }
    return out;
}

void randomBytes(std::span<uint8_t> out) {
    static std::mt19937_64 generator{std::random_device{}()};
    std::lock_guard<std::mutex> hold(randomLock());
    for (uint8_t& b : out) b = uint8_t(generator());
}

}  // namespace simusb::crypto
