// Virtual sensor: PKCS#1 v1.5 signatures over a SHA-256 digest, as the firmware makes them (its
// certificate's maker signature, the print signature of a key-paired sensor).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace simusb {

// The signature of the 32-byte digest under {privateExponent, modulus} (big-endian numbers, odd
// modulus of 256 bytes), most significant byte first.
std::vector<uint8_t> rsaSignSha256(std::span<const uint8_t> digest, std::span<const uint8_t> privateExponent,
                                   std::span<const uint8_t> modulus);

}  // namespace simusb
