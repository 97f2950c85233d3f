// Phase image: steerable second-derivative quadrature filters tuned to each block's ridge direction.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "engines/recognition/extraction.h"

namespace DurodudUrodera::FpRecEngineImpl::Embedded {
namespace {

// Kernels, offsets -4..4 (the 7-tap ones padded with zeros at both ends).
constexpr int kS[9] = {0, 2, 20, 78, 122, 78, 20, 2, 0};
constexpr int kD[9] = {1, 14, 48, -7, -112, -7, 48, 14, 1};
constexpr int kO[9] = {0, -6, -37, -71, 0, 71, 37, 6, 0};
constexpr int kP[9] = {0, -4, -27, -52, 0, 52, 27, 4, 0};
constexpr int kE[9] = {1, 7, 21, -23, -90, -23, 21, 7, 1};
constexpr int kT[9] = {-1, -8, 12, 92, 0, -92, -12, 8, 1};

enum Vertical { VS, VO, VD, VP, VE, VT, kVerticals };
constexpr const int* kVerticalKernel[kVerticals] = {kS, kO, kD, kP, kE, kT};

// Horizontal pass of one basis response over a vertically filtered row padded by 4 on each side.
inline int32_t horizontal(const int32_t* row, const int* k, int x) {
    const int32_t* p = row + x;  // p[0] is column x - 4
    return k[0] * p[0] + k[1] * p[1] + k[2] * p[2] + k[3] * p[3] + k[4] * p[4] + k[5] * p[5] + k[6] * p[6] +
           k[7] * p[7] + k[8] * p[8];
}

}  // namespace

void freeman_phasemap(int width, int pixelCount, const uint8_t* image, const OriEntry* orientation, uint8_t* out) {
    const int height = pixelCount / width;
    const int bw = (width - 1) / 4 + 1;
    const int bh = pixelCount / 16 / bw;
    // Vertically filtered rows with 4 replicated columns on each side.
    int32_t v[kVerticals][kWorkMaxWidth + 8];
    uint8_t row[kWorkMaxWidth];
    const int lastRow = 4 * bh - 9;  // input block rows 1..bh-2
    for (int y = 0; y <= lastRow && y + 8 < height; ++y) {
        const uint8_t* in = image + size_t(y) * width;  // rows y..y+8, centred on y+4
        for (int f = 0; f < kVerticals; ++f) {
            const int* k = kVerticalKernel[f];
            int32_t* dst = v[f] + 4;
            // Tap by tap over the whole row, so the loop vectorises.
            for (int x = 0; x < width; ++x) dst[x] = 0;
            for (int t = 0; t < 9; ++t) {
                if (k[t] == 0) continue;
                const uint8_t* src = in + size_t(t) * width;
                for (int x = 0; x < width; ++x) dst[x] += k[t] * src[x];
            }
            for (int x = 1; x <= 4; ++x) {
                dst[-x] = dst[0];
                dst[width - 1 + x] = dst[width - 1];
            }
        }
        const OriEntry* ori = orientation + size_t((y + 4) / 4) * bw;
        for (int x = 0; x < width; ++x) {
            const int c = ori[x >> 2].re, s = ori[x >> 2].im;
            const int c2 = (c * c + 64) >> 7, s2 = (s * s + 64) >> 7, k = (2 * c * s + 64) >> 7;
            const int w1 = (c * c2 + 64) >> 7, w2 = (3 * s * c2 + 64) >> 7, w3 = (3 * c * s2 + 64) >> 7,
                      w4 = (s * s2 + 64) >> 7;
            const int64_t g2a = horizontal(v[VS], kD, x), g2b = horizontal(v[VO], kO, x),
                          g2c = horizontal(v[VD], kS, x);
            const int64_t h2a = horizontal(v[VS], kT, x), h2b = horizontal(v[VP], kE, x),
                          h2c = horizontal(v[VE], kP, x), h2d = horizontal(v[VT], kS, x);
            const int64_t g = (c2 * g2a + k * g2b + s2 * g2c + 1024) >> 11;
            const int64_t h = (w1 * h2a + w2 * h2b + w3 * h2c + w4 * h2d + 1024) >> 11;
            int value = 127;
            if (g != 0) {
                const int64_t ag = llabs(g), ah = llabs(h);
                const int64_t m = std::max<int64_t>(ag, ah) / 127;
                if (m > 0) {
                    const int64_t d = std::max<int64_t>((ag + ah) / 180, m);
                    value = int(127 - g / d);
                }
                value &= ~15;
            }
            row[x] = uint8_t(value);
        }
        // Input row y is no longer needed by any later output row: the output may overwrite it.
        memcpy(out + size_t(y) * width, row, size_t(width));
    }
    const int filled = std::max(0, std::min(lastRow + 1, height - 8));
    memset(out + size_t(filled) * width, 127, size_t(height - filled) * width);
}

}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded
