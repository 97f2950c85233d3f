// Test helpers for the minutiae engine: owned byte images, synthetic ridge patterns and a
// reader for the uncompressed 8-bit TIFF files of the public fingerprint set.
#include "test_support.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace mnt::test {

Image::Image(int width, int height) : width_(width), height_(height), rows_(CreateByteImage(width, height)) {
    if (rows_ == nullptr) throw std::bad_alloc();
}

Image::Image(int width, int height, const std::function<int(int, int)>& pixel) : Image(width, height) {
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int v = pixel(x, y);
            rows_[y][x] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
        }
}

Image::Image(const Image& other) : Image(other.width_, other.height_) {
    CopyByteImage(width_, height_, other.rows_, rows_);
}

Image::~Image() { FreeImage(rows_, height_); }

std::vector<uint8_t> Image::linear() const {
    std::vector<uint8_t> out(size_t(width_) * height_);
    for (int y = 0; y < height_; ++y) std::memcpy(out.data() + size_t(y) * width_, rows_[y], size_t(width_));
    return out;
}

Image OrientedSinusoid(int width, int height, double orientation, double period) {
    const double t = orientation * 1.5 * M_PI / 180.0;
    const double nx = -std::sin(t), ny = std::cos(t);
    return Image(width, height, [&](int x, int y) {
        const double across = (x - width / 2.0) * nx + (y - height / 2.0) * ny;
        return int(std::lround(128 + 100 * std::cos(2 * M_PI * across / period)));
    });
}

Image LoopPattern(int width, int height, int cx, int cy, double period) {
    return Image(width, height, [&](int x, int y) {
        double d;
        if (y <= cy) {
            d = std::hypot(x - cx, y - cy);  // circles above the centre
        } else {
            // Below the centre the ridges run straight down, continuing the circles' sides.
            d = std::abs(x - cx);
        }
        return int(std::lround(128 + 100 * std::cos(2 * M_PI * d / period)));
    });
}

namespace {

uint32_t Read(const std::vector<uint8_t>& d, size_t at, int size, bool little) {
    if (at + size > d.size()) throw std::runtime_error("short");
    uint32_t v = 0;
    for (int i = 0; i < size; ++i) {
        const uint32_t byte = d[at + i];
        v |= little ? byte << (8 * i) : byte << (8 * (size - 1 - i));
    }
    return v;
}

}  // namespace

bool ReadTiff(const std::string& path, std::vector<uint8_t>& pixels, int& width, int& height) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    const std::vector<uint8_t> d((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    try {
        if (d.size() < 8) return false;
        const bool little = d[0] == 'I' && d[1] == 'I';
        if (!little && !(d[0] == 'M' && d[1] == 'M')) return false;
        if (Read(d, 2, 2, little) != 42) return false;
        const size_t ifd = Read(d, 4, 4, little);
        const uint32_t entries = Read(d, ifd, 2, little);
        uint32_t bits = 1, compression = 1, stripCount = 0, offsetsType = 4, countsType = 4;
        size_t offsetsAt = 0, countsAt = 0;
        width = height = 0;
        for (uint32_t i = 0; i < entries; ++i) {
            const size_t e = ifd + 2 + 12 * i;
            const uint32_t tag = Read(d, e, 2, little), type = Read(d, e + 2, 2, little);
            const uint32_t count = Read(d, e + 4, 4, little);
            const uint32_t value = type == 3 ? Read(d, e + 8, 2, little) : Read(d, e + 8, 4, little);
            const size_t inlineOrOffset = (count * (type == 3 ? 2 : 4) <= 4) ? e + 8 : Read(d, e + 8, 4, little);
            switch (tag) {
                case 256: width = int(value); break;
                case 257: height = int(value); break;
                case 258: bits = value; break;
                case 259: compression = value; break;
                case 273: stripCount = count; offsetsType = type; offsetsAt = inlineOrOffset; break;
                case 279: countsType = type; countsAt = inlineOrOffset; break;
                default: break;
            }
        }
        if (bits != 8 || compression != 1 || width <= 0 || height <= 0 || stripCount == 0) return false;
        pixels.clear();
        for (uint32_t s = 0; s < stripCount; ++s) {
            const int os = offsetsType == 3 ? 2 : 4, cs = countsType == 3 ? 2 : 4;
            const size_t offset = Read(d, offsetsAt + s * os, os, little);
            const size_t length = Read(d, countsAt + s * cs, cs, little);
            if (offset + length > d.size()) return false;
            pixels.insert(pixels.end(), d.begin() + offset, d.begin() + offset + length);
        }
        if (pixels.size() < size_t(width) * height) return false;
        pixels.resize(size_t(width) * height);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

std::string FvcPath(const std::string& name) { return std::string(TOV_DATA_DIR) + "/fvc/FVC2000_DB1_B/" + name; }

}  // namespace mnt::test
