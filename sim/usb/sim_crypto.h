// Virtual sensor: the firmware's own small crypto (digests, AES-CBC, modular exponentiation), kept
// apart from the host's so that the sensor side checks the host rather than mirrors it.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace simusb::crypto {

using Bytes = std::vector<uint8_t>;

std::array<uint8_t, 20> sha1(std::span<const uint8_t> data);
std::array<uint8_t, 16> md5(std::span<const uint8_t> data);
std::array<uint8_t, 32> sha256(std::span<const uint8_t> data);

// AES-CBC without padding over whole blocks (key 16, 24 or 32 bytes); iv becomes the last
// ciphertext block. Returns false for a ragged length or a bad key size.
bool aesCbc(std::span<const uint8_t> key, uint8_t iv[16], std::span<uint8_t> data, bool encrypt);

// base^exponent mod modulus over big-endian numbers (odd modulus); the result has the modulus's size.
Bytes modExp(std::span<const uint8_t> base, std::span<const uint8_t> exponent, std::span<const uint8_t> modulus);

// Random bytes from the firmware's own generator.
void randomBytes(std::span<uint8_t> out);

inline Bytes concat(std::initializer_list<std::span<const uint8_t>> parts) {
    Bytes out;
    for (auto p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace simusb::crypto
