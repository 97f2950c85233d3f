// The version record a stack test stores on the virtual sensor before plugging it: a family-1
// sensor of firmware 4.<minor>, provisioned and not paired yet, serial bytes serialSeed onwards.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

inline std::vector<uint8_t> simVersionRecord(uint8_t minor, uint8_t variantByte, uint8_t capabilities,
                                             uint8_t serialSeed = 0x30) {
    std::vector<uint8_t> v(36, 0);
    v[0] = 1;
    v[4] = 17;
    v[8] = 4;
    v[9] = minor;
    v[10] = 1;
    v[11] = 4;
    v[13] = 1;
    v[14] = 0x80;  // not paired yet
    for (int i = 0; i < 6; ++i) v[16 + size_t(i)] = uint8_t(serialSeed + i);
    v[22] = variantByte;
    v[23] = capabilities;
    return v;
}
