// Firmware version: the get-version payload into the device's version record, and the version
// string shown to users ("04.40.03.0017 Harlok Unknown [TSI 31A Fourth SPI ]").
#pragma once

#include <stdint.h>

#include <cstddef>
#include <cstring>

namespace scsversion {

constexpr uint32_t kStringSize = 80;
// A V4 payload must be longer than this to hold a version.
constexpr uint32_t kMinimumPayload = 21;

inline uint32_t readU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Fills the version record (ScsFwVersion layout) from the first 36 payload bytes; a shorter payload
// leaves the fields it does not reach zero. The caller checks the payload is longer than 21 bytes.
template <typename Record>
void parse(const uint8_t* payload, uint32_t length, Record& record) {
    uint8_t b[36] = {};
    std::memcpy(b, payload, length < 36 ? length : 36);
    record.id = readU32(b);
    record.build = readU32(b + 4);
    record.major = b[8];
    record.minor = b[9];
    record.romFlag = b[10];
    record.chipKind = b[11];
    record.byte12 = b[12];
    record.mark = b[13];
    record.flags = b[14];
    record.revision = b[15];
    std::memcpy(record.serial, b + 16, 6);
    record.byte22 = b[22];
    record.capabilities = b[23];
    record.byte35 = b[35];
    record.value32 = uint16_t(b[32] | b[33] << 8);
}

// Chip kinds 2, 5 and 6 are Selkin chips, 1, 3 and 4 Harlok.
inline bool isSelkinKind(uint8_t chipKind) { return chipKind == 2 || chipKind == 5 || chipKind == 6; }

struct Text {
    uint8_t major, minor, revision;
    uint32_t build;
    uint8_t chipKind, mark, romFlag;
    const char* flexName;  // NULL when the flex id has no row
};

// Writes at most 80 characters (with the NUL) into out; returns the Selkin mark for the device.
bool format(const Text& text, char out[kStringSize]);

}  // namespace scsversion
