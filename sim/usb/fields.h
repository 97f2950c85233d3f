// Virtual sensor: little-endian fields of requests and replies, and the product family of an id.
#pragma once

#include "platform/usb_ids.h"

#include <cstdint>
#include <span>
#include <vector>

namespace simusb {

inline uint16_t getU16(std::span<const uint8_t> b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
inline uint32_t getU32(std::span<const uint8_t> b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
inline void putU16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
    out[at] = uint8_t(v);
    out[at + 1] = uint8_t(v >> 8);
}
inline void putU32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// 0 for an id the product table does not list.
inline uint32_t productFamily(uint16_t productId) {
    for (const TovUsbProductRow& row : kTovUsbProductTable) {
        if (row.family == 0) break;
        if (row.productId == productId) return row.family;
    }
    return 0;
}

// Statuses the firmware answers besides success (the host maps them to results).
inline constexpr uint16_t kStatusBusy = 0x0402;
inline constexpr uint16_t kStatusBadParameter = 0x0406;
inline constexpr uint16_t kStatusSignatureRejected = 0x044F;
inline constexpr uint16_t kStatusNothingLoaded = 0x0491;

}  // namespace simusb
