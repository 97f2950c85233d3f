// Test helpers for the minutiae engine: owned byte images, synthetic ridge patterns and a
// reader for the uncompressed 8-bit TIFF files of the public fingerprint set.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engines/minutiae/byte_image.h"

namespace mnt::test {

class Image {
 public:
    Image(int width, int height);
    Image(int width, int height, const std::function<int(int x, int y)>& pixel);
    Image(const Image& other);
    Image& operator=(const Image&) = delete;
    ~Image();

    int width() const { return width_; }
    int height() const { return height_; }
    ByteImage rows() const { return rows_; }
    uint8_t& at(int x, int y) { return rows_[y][x]; }
    uint8_t at(int x, int y) const { return rows_[y][x]; }
    std::vector<uint8_t> linear() const;

 private:
    int width_;
    int height_;
    ByteImage rows_;
};

// Ridges (dark) running along orientation o (1.5-degree steps, towards increasing y).
Image OrientedSinusoid(int width, int height, double orientation, double period);
// Ridges as circles around (cx, cy) in the upper part, closing into a loop.
Image LoopPattern(int width, int height, int cx, int cy, double period);

// An uncompressed 8-bit greyscale TIFF; false when the file is missing or not of that kind.
bool ReadTiff(const std::string& path, std::vector<uint8_t>& pixels, int& width, int& height);
std::string FvcPath(const std::string& name);

}  // namespace mnt::test
