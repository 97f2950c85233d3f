// 8-bit greyscale finger images for the swipe model: an uncompressed-TIFF reader and a synthetic
// ridge pattern.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace swipe_model {

struct GreyImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;  // row-major, 0 black

    // Bilinear sample; outside the image the paper is white (255).
    double sample(double x, double y) const;
};

// Reads an uncompressed 8-bit single-channel TIFF (either byte order). False when unsupported.
bool loadTiff(const std::string& path, GreyImage& out);

// Concentric ridges around (cx, cy) with the given period in pixels, dark ridges on a light ground.
GreyImage syntheticRidges(uint32_t width, uint32_t height, double period, double cx, double cy);

}  // namespace swipe_model
