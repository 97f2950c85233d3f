// Finger image records for the extraction tests: ANSI 381, ISO 19794-4 and the engine's own format,
// and the public 500 ppi prints.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace recogtest {

// Header fields of a standard record that the tests vary; the defaults make a valid record.
struct StandardFields {
    uint32_t cbeff = 0x0033FEAFu;  // ANSI only
    uint16_t deviceId = 0;
    uint8_t fingers = 1;
    uint8_t units = 1;
    uint16_t scanResX = 500, scanResY = 500, imageResX = 500, imageResY = 500;
    uint8_t depth = 8, compression = 0;
    uint8_t position = 1, views = 1, viewNumber = 1;
    int64_t recordLengthDelta = 0;  // added to the true record length
    int64_t blockLengthDelta = 0;   // added to the true finger data block length
    const char* magic = "FIR";
};

inline void putBe(std::vector<uint8_t>& b, size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = uint8_t(v >> (8 * (bytes - 1 - i)));
}

inline std::vector<uint8_t> standardRecord(const std::vector<uint8_t>& pixels, int width, int height, bool iso,
                                           const StandardFields& f = {}) {
    const size_t header = iso ? 46 : 50;
    std::vector<uint8_t> b(header + pixels.size(), 0);
    memcpy(b.data(), f.magic, 4);
    putBe(b, 4, 0x30313000, 4);
    const int s = iso ? -4 : 0;
    putBe(b, 8, uint64_t(int64_t(b.size()) + f.recordLengthDelta), 6);
    if (!iso) putBe(b, 14, f.cbeff, 4);
    putBe(b, 18 + s, f.deviceId, 2);
    putBe(b, 20 + s, 31, 2);
    b[22 + s] = f.fingers;
    b[23 + s] = f.units;
    putBe(b, 24 + s, f.scanResX, 2);
    putBe(b, 26 + s, f.scanResY, 2);
    putBe(b, 28 + s, f.imageResX, 2);
    putBe(b, 30 + s, f.imageResY, 2);
    b[32 + s] = f.depth;
    b[33 + s] = f.compression;
    putBe(b, 36 + s, uint64_t(int64_t(pixels.size() + 14) + f.blockLengthDelta), 4);
    b[40 + s] = f.position;
    b[41 + s] = f.views;
    b[42 + s] = f.viewNumber;
    putBe(b, 45 + s, uint64_t(width), 2);
    putBe(b, 47 + s, uint64_t(height), 2);
    if (!pixels.empty()) memcpy(b.data() + header, pixels.data(), pixels.size());
    return b;
}

// The engine's own record: 112 little-endian header bytes, then the pixels.
struct OwnFields {
    uint64_t primary = 0, secondary = 0;
    uint32_t resX = 500, resY = 500;
    int fieldOffset = -1;  // a fixed-value field to spoil, by offset
    int64_t lengthDelta = 0;
};

inline void putLe(std::vector<uint8_t>& b, size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

inline std::vector<uint8_t> ownRecord(const std::vector<uint8_t>& pixels, int width, int height,
                                      const OwnFields& f = {}) {
    std::vector<uint8_t> b(112 + pixels.size(), 0);
    putLe(b, 0, uint64_t(int64_t(b.size()) + f.lengthDelta), 4);
    putLe(b, 8, 1, 4);
    putLe(b, 16, f.secondary, 8);
    putLe(b, 24, f.primary, 8);
    putLe(b, 32, 100, 4);
    putLe(b, 40, 112, 4);
    putLe(b, 56, 1, 4);
    putLe(b, 60, 2, 4);
    putLe(b, 64, uint64_t(width), 4);
    putLe(b, 68, uint64_t(height), 4);
    putLe(b, 72, f.resX, 4);
    putLe(b, 76, f.resY, 4);
    putLe(b, 80, 8, 4);
    putLe(b, 84, 2, 4);
    putLe(b, 92, 2, 4);
    putLe(b, 100, 1, 4);
    if (f.fieldOffset >= 0) b[size_t(f.fieldOffset)] ^= 0x10;
    if (!pixels.empty()) memcpy(b.data() + 112, pixels.data(), pixels.size());
    return b;
}

// One of the public 300x300 500 ppi prints (uncompressed single-strip TIFF); empty when unreadable.
inline std::vector<uint8_t> readFvc(const std::string& name) {
    const std::string path = std::string(TOV_DATA_DIR) + "/fvc/FVC2000_DB1_B/" + name;
    std::vector<uint8_t> pixels(300 * 300);
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return {};
    const bool ok = fseek(f, 512, SEEK_SET) == 0 && fread(pixels.data(), 1, pixels.size(), f) == pixels.size();
    fclose(f);
    return ok ? pixels : std::vector<uint8_t>{};
}

}  // namespace recogtest
