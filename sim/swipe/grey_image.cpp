// Finger images for the swipe model.
#include "sim/swipe/grey_image.h"

#include <cmath>
#include <cstdio>
#include <memory>

namespace swipe_model {

double GreyImage::sample(double x, double y) const {
    if (width == 0 || height == 0) return 255.0;
    const double fx = std::floor(x), fy = std::floor(y);
    const double ax = x - fx, ay = y - fy;
    auto at = [&](double px, double py) -> double {
        if (px < 0 || py < 0 || px >= width || py >= height) return 255.0;
        return pixels[size_t(py) * width + size_t(px)];
    };
    const double top = at(fx, fy) * (1 - ax) + at(fx + 1, fy) * ax;
    const double bottom = at(fx, fy + 1) * (1 - ax) + at(fx + 1, fy + 1) * ax;
    return top * (1 - ay) + bottom * ay;
}

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

bool loadTiff(const std::string& path, GreyImage& out) {
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return false;
    std::vector<uint8_t> data;
    uint8_t chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0;) data.insert(data.end(), chunk, chunk + n);
    if (data.size() < 8) return false;
    const bool little = data[0] == 'I' && data[1] == 'I';
    if (!little && !(data[0] == 'M' && data[1] == 'M')) return false;
    auto u16 = [&](size_t at) -> uint32_t {
        if (at + 2 > data.size()) return 0;
        return little ? data[at] | (data[at + 1] << 8) : (data[at] << 8) | data[at + 1];
    };
    auto u32 = [&](size_t at) -> uint32_t {
        if (at + 4 > data.size()) return 0;
        return little ? u16(at) | (u16(at + 2) << 16) : (u16(at) << 16) | u16(at + 2);
    };
    if (u16(2) != 42) return false;
    const size_t ifd = u32(4);
    const uint32_t entries = u16(ifd);
    uint32_t width = 0, height = 0, bits = 8, compression = 1, samples = 1, photometric = 1;
    std::vector<uint32_t> offsets, counts;
    for (uint32_t i = 0; i < entries; ++i) {
        const size_t e = ifd + 2 + 12 * size_t(i);
        const uint32_t tag = u16(e), type = u16(e + 2), count = u32(e + 4);
        auto value = [&](uint32_t k) -> uint32_t {
            const size_t size = type == 3 ? 2 : 4;
            const size_t base = count * size <= 4 ? e + 8 : u32(e + 8);
            return type == 3 ? u16(base + k * size) : u32(base + k * size);
        };
        switch (tag) {
            case 256: width = value(0); break;
            case 257: height = value(0); break;
            case 258: bits = value(0); break;
            case 259: compression = value(0); break;
            case 262: photometric = value(0); break;
            case 277: samples = value(0); break;
            case 273: for (uint32_t k = 0; k < count; ++k) offsets.push_back(value(k)); break;
            case 279: for (uint32_t k = 0; k < count; ++k) counts.push_back(value(k)); break;
            default: break;
        }
    }
    if (width == 0 || height == 0 || bits != 8 || compression != 1 || samples != 1 || offsets.empty() ||
        offsets.size() != counts.size()) {
        return false;
    }
    out.width = width;
    out.height = height;
    out.pixels.clear();
    for (size_t s = 0; s < offsets.size(); ++s) {
        if (size_t(offsets[s]) + counts[s] > data.size()) return false;
        out.pixels.insert(out.pixels.end(), data.begin() + offsets[s], data.begin() + offsets[s] + counts[s]);
    }
    if (out.pixels.size() < size_t(width) * height) return false;
    out.pixels.resize(size_t(width) * height);
    if (photometric == 0) {
        for (uint8_t& p : out.pixels) p = uint8_t(255 - p);
    }
    return true;
}

GreyImage syntheticRidges(uint32_t width, uint32_t height, double period, double cx, double cy) {
    GreyImage image;
    image.width = width;
    image.height = height;
    image.pixels.resize(size_t(width) * height);
    const double twoPi = 6.283185307179586;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const double r = std::hypot(double(x) - cx, (double(y) - cy) * 1.3);
            const double v = 128.0 + 100.0 * std::cos(twoPi * r / period);
            image.pixels[size_t(y) * width + x] = uint8_t(std::lround(v));
        }
    }
    return image;
}

}  // namespace swipe_model
