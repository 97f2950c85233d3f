// Virtual sensor: its key pair and the maker keys that sign its certificate (sensor_keys.cpp).
#pragma once

#include <cstdint>

namespace simusb::keys {

struct MakerKey {
    uint8_t major, minor, flag;
    uint8_t modulus[256];
    uint8_t privateExponent[256];
};

extern const uint8_t kSensorModulus[256];
extern const uint8_t kSensorPrivateExponent[256];
extern const MakerKey kMakerKeys[4];

}  // namespace simusb::keys
