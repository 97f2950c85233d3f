// CRC-32 (reflected polynomial 0xEDB88320, as in zlib) by slicing eight bytes per round, and Adler-32.

#include "platform/crypto/digests.h"

#include <array>
#include <string.h>

namespace {

using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables makeCrcTables() {
    CrcTables t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][n] = c;
    }
    // Table k advances a byte that still has k zero bytes to pass through.
    for (uint32_t n = 0; n < 256; ++n) {
        for (int k = 1; k < 8; ++k) t[k][n] = t[0][t[k - 1][n] & 0xFF] ^ (t[k - 1][n] >> 8);
    }
    return t;
}

constexpr CrcTables kCrc = makeCrcTables();

constexpr uint32_t kAdlerBase = 65521;
// Largest n with 255 n (n + 1) / 2 + (n + 1) (BASE - 1) below 2^32: reduce at least this often.
constexpr uint32_t kAdlerBlock = 5552;

}  // namespace

extern "C" {

TcsResult palCRC32(uint32_t start, uint32_t* out, const uint8_t* data, uint32_t length) {
    if (out == nullptr) return TCS_RESULT_OK;
    if (data == nullptr && length != 0) return TCS_RESULT_NULL_POINTER;
    uint32_t c = ~start;
    while (length >= 8) {
        uint32_t low, high;
        memcpy(&low, data, 4);
        memcpy(&high, data + 4, 4);
        low ^= c;  // the register meets the first four bytes, little-endian on this host
        c = kCrc[7][low & 0xFF] ^ kCrc[6][(low >> 8) & 0xFF] ^ kCrc[5][(low >> 16) & 0xFF] ^ kCrc[4][low >> 24] ^
            kCrc[3][high & 0xFF] ^ kCrc[2][(high >> 8) & 0xFF] ^ kCrc[1][(high >> 16) & 0xFF] ^ kCrc[0][high >> 24];
        data += 8;
        length -= 8;
    }
    while (length-- != 0) c = kCrc[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
    *out = ~c;
    return TCS_RESULT_OK;
}

TcsResult palAdler32(uint32_t start, uint32_t* out, const uint8_t* data, uint32_t length) {
    if (out == nullptr) return TCS_RESULT_OK;
    if (length == 0) {
        *out = start;
        return TCS_RESULT_OK;
    }
    if (data == nullptr) return TCS_RESULT_NULL_POINTER;
    uint32_t s1 = start & 0xFFFF;
    uint32_t s2 = start >> 16;
    // A start value that is not itself a reduced checksum still gives sums below the base.
    s1 %= kAdlerBase;
    s2 %= kAdlerBase;
    while (length != 0) {
        uint32_t n = length < kAdlerBlock ? length : kAdlerBlock;
        length -= n;
        while (n >= 8) {
            for (int i = 0; i < 8; ++i) {
                s1 += data[i];
                s2 += s1;
            }
            data += 8;
            n -= 8;
        }
        while (n-- != 0) {
            s1 += *data++;
            s2 += s1;
        }
        s1 %= kAdlerBase;
        s2 %= kAdlerBase;
    }
    *out = (s2 << 16) | s1;
    return TCS_RESULT_OK;
}

}  // extern "C"
