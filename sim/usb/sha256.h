// Virtual sensor: SHA-256 and HMAC-SHA-256 of its own, for the firmware's patch signature checks
// (the stand-in never borrows the host's crypto, so it can catch the host's mistakes).
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace simusb {

using Digest = std::array<uint8_t, 32>;

Digest sha256(std::span<const uint8_t> data);
Digest hmacSha256(std::span<const uint8_t> key, std::span<const uint8_t> data);

}  // namespace simusb
