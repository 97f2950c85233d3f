// File writers for generated fingers: binary PGM, 8-bit palette BMP, and the ground-truth text.
#include <cstdio>
#include <memory>

#include "sim/finger/finger.h"

namespace simfinger {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool validImage(const std::vector<uint8_t>& image, int width, int height) {
    return width > 0 && height > 0 && image.size() == size_t(width) * size_t(height);
}

// fclose reports a failed final flush (a full disk), so the close is checked, not left to the deleter.
bool finish(File file) {
    const bool ok = !std::ferror(file.get());
    return std::fclose(file.release()) == 0 && ok;
}

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

}  // namespace

bool writePgm(const std::string& path, const std::vector<uint8_t>& image, int width, int height) {
    if (!validImage(image, width, height)) return false;
    File f(std::fopen(path.c_str(), "wb"));
    if (!f) return false;
    std::fprintf(f.get(), "P5\n%d %d\n255\n", width, height);
    std::fwrite(image.data(), 1, image.size(), f.get());
    return finish(std::move(f));
}

bool writeBmp(const std::string& path, const std::vector<uint8_t>& image, int width, int height) {
    if (!validImage(image, width, height)) return false;
    // Rows are padded to 4 bytes and stored bottom-up; a 256-entry grey palette follows the headers.
    const uint32_t rowBytes = (uint32_t(width) + 3) & ~3u;
    const uint32_t pixelOffset = 14 + 40 + 256 * 4;
    const uint32_t pixelBytes = rowBytes * uint32_t(height);
    std::vector<uint8_t> out;
    out.reserve(pixelOffset + pixelBytes);
    out.push_back('B');
    out.push_back('M');
    put32(out, pixelOffset + pixelBytes);
    put32(out, 0);
    put32(out, pixelOffset);
    put32(out, 40);
    put32(out, uint32_t(width));
    put32(out, uint32_t(height));
    put16(out, 1);   // planes
    put16(out, 8);   // bits per pixel
    put32(out, 0);   // no compression
    put32(out, pixelBytes);
    put32(out, 0);  // resolution unknown to the format writer
    put32(out, 0);
    put32(out, 256);
    put32(out, 256);
    for (uint32_t i = 0; i < 256; ++i) {
        out.push_back(uint8_t(i));
        out.push_back(uint8_t(i));
        out.push_back(uint8_t(i));
        out.push_back(0);
    }
    for (int y = height - 1; y >= 0; --y) {
        const uint8_t* row = image.data() + size_t(y) * width;
        out.insert(out.end(), row, row + width);
        out.insert(out.end(), rowBytes - uint32_t(width), 0);
    }
    File f(std::fopen(path.c_str(), "wb"));
    if (!f) return false;
    std::fwrite(out.data(), 1, out.size(), f.get());
    return finish(std::move(f));
}

bool writeGroundTruth(const std::string& path, const Impression& im) {
    File f(std::fopen(path.c_str(), "w"));
    if (!f) return false;
    std::fprintf(f.get(), "# synthetic finger ground truth; directions in radians, counter-clockwise as seen\n");
    std::fprintf(f.get(), "image %d %d %.1f\n", im.width, im.height, im.ppi);
    for (const auto& c : im.cores) std::fprintf(f.get(), "core %.2f %.2f\n", c.x, c.y);
    for (const auto& d : im.deltas) std::fprintf(f.get(), "delta %.2f %.2f\n", d.x, d.y);
    for (const auto& m : im.minutiae)
        std::fprintf(f.get(), "minutia %.2f %.2f %.4f %s\n", m.x, m.y, m.direction,
                     m.type == MinutiaType::Ending ? "ending" : "bifurcation");
    return finish(std::move(f));
}

}  // namespace simfinger
