// Test images and tables for the liveness module: straight ridges of known orientation and spacing,
// an FVC print, and classifier tables whose score is easy to work out.
#pragma once

#include "sim/swipe/grey_image.h"
#include "tcs/imaging/liveness/nex.h"

#include <stdint.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace livetest {

constexpr double kPi = 3.14159265358979323846;

struct Image {
    int rows = 0, columns = 0;
    std::vector<uint8_t> pixels;
};

// Ridges whose grey level varies along the direction `gradient` (radians; 0 along a row, growing
// down the rows) with the given period in pixels.
inline Image straightRidges(int rows, int columns, double period, double gradient, double contrast = 90) {
    Image im{rows, columns, std::vector<uint8_t>(size_t(rows) * columns)};
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const double phase = 2 * kPi * (c * std::cos(gradient) + r * std::sin(gradient)) / period;
            im.pixels[size_t(r) * columns + c] = uint8_t(128 + contrast * std::cos(phase));
        }
    }
    return im;
}

// An FVC print (300 x 300, 500 dpi), cut to `columns` columns so that rows and columns differ.
inline Image fvcPrint(const char* name, int columns = 300) {
    swipe_model::GreyImage grey;
    Image im;
    if (!swipe_model::loadTiff(std::string(TOV_DATA_DIR) + "/fvc/FVC2000_DB1_B/" + name + ".tif", grey)) return im;
    im.rows = int(grey.height);
    im.columns = columns;
    for (uint32_t r = 0; r < grey.height; ++r) {
        im.pixels.insert(im.pixels.end(), grey.pixels.begin() + r * grey.width,
                         grey.pixels.begin() + r * grey.width + columns);
    }
    return im;
}

// Tables with an empty hidden layer (every unit at 0.5) and ranges [0, 1]: the score is
// 1000 x (bias + half the other output weights), whatever the image.
inline std::unique_ptr<NexClassifierTables> flatTables(double bias) {
    auto t = std::make_unique<NexClassifierTables>();
    for (int i = 0; i < NEX_FEATURE_COUNT; ++i) {
        t->mn[i] = 0;
        t->mx[i] = 1;
    }
    t->w[0] = bias;
    return t;
}

// Tables whose score follows every feature: smooth, varied weights and ranges of several widths.
inline std::unique_ptr<NexClassifierTables> variedTables() {
    auto t = flatTables(0.1);
    for (int j = 0; j < NEX_HIDDEN_UNITS; ++j) {
        for (int k = 0; k <= NEX_FEATURE_COUNT; ++k) t->v[j][k] = std::sin(1.7 * j + 0.3 * k) / 40;
        t->w[j + 1] = std::cos(0.9 * j) / 3;
    }
    for (int i = 0; i < NEX_FEATURE_COUNT; ++i) t->mx[i] = 1 + 50 * (i % 7);
    return t;
}

inline nexImage_t describe(const Image& im) {
    return nexImage_t{sizeof(nexImage_t), 0, 0, 8, 0, 508, 508, uint32_t(im.rows), uint32_t(im.columns),
                      uint32_t(im.pixels.size()), im.pixels.data()};
}

}  // namespace livetest
