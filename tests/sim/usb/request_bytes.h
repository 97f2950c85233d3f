// Little-endian request fields for the virtual sensor's firmware tests.
#pragma once

#include <cstdint>
#include <vector>

namespace simtest {

inline void put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
inline void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

}  // namespace simtest
