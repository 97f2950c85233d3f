// The Diffie-Hellman step over fixed-width 18-byte (144-bit) big-endian numbers, with schoolbook
// shift-and-add arithmetic that keeps every intermediate below the modulus.

#include "platform/crypto/rsa.h"

#include "platform/crypto/cpu_features.h"

#include <string.h>

namespace {

constexpr int kSize = PAL_DH_NUMBER_SIZE;
constexpr int kBits = 8 * kSize;

using Number = uint8_t[kSize];

bool atLeast(const uint8_t* a, const uint8_t* b) {
    for (int i = 0; i < kSize; ++i) {
        if (a[i] != b[i]) return a[i] > b[i];
    }
    return true;
}

void subtract(uint8_t* a, const uint8_t* b) {
    int borrow = 0;
    for (int i = kSize - 1; i >= 0; --i) {
        const int d = int(a[i]) - b[i] - borrow;
        a[i] = uint8_t(d);
        borrow = d < 0;
    }
}

bool add(uint8_t* a, const uint8_t* b) {
    unsigned carry = 0;
    for (int i = kSize - 1; i >= 0; --i) {
        const unsigned s = unsigned(a[i]) + b[i] + carry;
        a[i] = uint8_t(s);
        carry = s >> 8;
    }
    return carry != 0;
}

bool shiftLeft(uint8_t* a) {
    unsigned carry = 0;
    for (int i = kSize - 1; i >= 0; --i) {
        const unsigned s = (unsigned(a[i]) << 1) | carry;
        a[i] = uint8_t(s);
        carry = s >> 8;
    }
    return carry != 0;
}

void shiftRight(uint8_t* a) {
    unsigned carry = 0;
    for (int i = 0; i < kSize; ++i) {
        const unsigned next = a[i] & 1;
        a[i] = uint8_t((a[i] >> 1) | (carry << 7));
        carry = next;
    }
}

bool bit(const uint8_t* a, int fromTop) { return (a[fromTop / 8] >> (7 - fromTop % 8)) & 1; }

// A value that overflowed 144 bits (carry) or reached m is brought back below m by one subtraction;
// the callers only ever produce values below 2m.
void reduceOnce(uint8_t* r, bool carry, const uint8_t* m) {
    if (carry || atLeast(r, m)) subtract(r, m);
}

// r = x mod m, bit by bit from the top.
void reduce(const uint8_t* x, const uint8_t* m, uint8_t* r) {
    memset(r, 0, kSize);
    for (int i = 0; i < kBits; ++i) {
        const bool carry = shiftLeft(r);
        r[kSize - 1] |= uint8_t(bit(x, i));
        reduceOnce(r, carry, m);
    }
}

}  // namespace

extern "C" {

void palDH_mod(uint8_t a[18], const uint8_t b[18], const uint8_t m[18]) {
    Number reducedB, r = {};
    reduce(b, m, reducedB);
    for (int i = 0; i < kBits; ++i) {
        reduceOnce(r, shiftLeft(r), m);
        if (bit(a, i)) reduceOnce(r, add(r, reducedB), m);
    }
    memcpy(a, r, kSize);
    tov::crypto::wipe(reducedB, sizeof reducedB);
    tov::crypto::wipe(r, sizeof r);
}

void palDHCalculateExp(uint8_t base[18], uint8_t exponent[18], const uint8_t modulus[18], uint8_t result[18]) {
    memset(result, 0, kSize);
    result[kSize - 1] = 1;
    for (int round = 0; round < kBits; ++round) {
        if (exponent[kSize - 1] & 1) palDH_mod(result, base, modulus);
        palDH_mod(base, base, modulus);
        shiftRight(exponent);
    }
}

}  // extern "C"
