// Block orientation map and footprint of the work image, with the integer trigonometry they use.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "engines/recognition/extraction.h"

namespace DurodudUrodera::FpRecEngineImpl::Embedded {
namespace {

// round(127 sin(pi i / 128)), except entries 5 and 123: the stored value there is 15.
constexpr uint8_t kSin127[128] = {
    0, 3, 6, 9, 12, 15, 19, 22, 25, 28, 31, 34, 37, 40, 43, 46,
    49, 51, 54, 57, 60, 63, 65, 68, 71, 73, 76, 78, 81, 83, 85, 88,
    90, 92, 94, 96, 98, 100, 102, 104, 106, 107, 109, 111, 112, 113, 115, 116,
    117, 118, 120, 121, 122, 122, 123, 124, 125, 125, 126, 126, 126, 127, 127, 127,
    127, 127, 127, 127, 126, 126, 126, 125, 125, 124, 123, 122, 122, 121, 120, 118,
    117, 116, 115, 113, 112, 111, 109, 107, 106, 104, 102, 100, 98, 96, 94, 92,
    90, 88, 85, 83, 81, 78, 76, 73, 71, 68, 65, 63, 60, 57, 54, 51,
    49, 46, 43, 40, 37, 34, 31, 28, 25, 22, 19, 15, 12, 9, 6, 3,
};

// Angle of min/max in 256ths of a turn, indexed by 96 * min / max.
constexpr uint8_t kAtan[97] = {
    0,  1,  1,  2,  2,  3,  3,  3,  4,  4,  5,  5,  6,  6,  6,  7,  7,  8,  8,  8,  9,  9,  10, 10, 10,
    11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 15, 15, 15, 16, 16, 16, 17, 17, 18, 18, 18, 19, 19, 19, 20,
    20, 20, 21, 21, 21, 22, 22, 22, 22, 23, 23, 23, 24, 24, 24, 25, 25, 25, 25, 26, 26, 26, 27, 27, 27,
    27, 28, 28, 28, 28, 29, 29, 29, 29, 30, 30, 30, 30, 31, 31, 31, 31, 31, 32, 32, 32, 32,
};

// Reduces a vector to signed bytes: (0, 0) when max(|x|, |y|) / 127 is at most `floor`.
OriEntry reduce(int64_t x, int64_t y, int64_t floor) {
    const int64_t ax = llabs(x), ay = llabs(y);
    const int64_t m = std::max(ax, ay) / 127;
    if (m <= floor) return {0, 0};
    const int64_t d = std::max((ax + ay) / 180, m);
    return {int8_t(x / d), int8_t(y / d)};
}

// One output row of a box count over the block map: 1 where more than `threshold` of the
// (2r+1)^2 blocks around are set.
void boxFilter(uint8_t* map, int bw, int bh, int r, int threshold, uint8_t* scratch) {
    // Column sums over 2r+1 rows, then a running sum along the row.
    memcpy(scratch, map, size_t(bw) * bh);
    int colSum[kWorkMaxWidth / 4 + 1];
    for (int by = 0; by < bh; ++by) {
        for (int bx = 0; bx < bw; ++bx) {
            int s = 0;
            for (int k = std::max(0, by - r); k <= std::min(bh - 1, by + r); ++k) s += scratch[k * bw + bx];
            colSum[bx] = s;
        }
        int run = 0;
        for (int bx = 0; bx < std::min(r, bw); ++bx) run += colSum[bx];
        for (int bx = 0; bx < bw; ++bx) {
            if (bx + r < bw) run += colSum[bx + r];
            if (bx - r - 1 >= 0) run -= colSum[bx - r - 1];
            map[by * bw + bx] = run > threshold ? 1 : 0;
        }
    }
}

void cleanFootprint(uint8_t* fp, int bw, int bh) {
    uint8_t scratch[kWorkMaxWidth / 4 * (kWorkMaxHeight / 4)];
    boxFilter(fp, bw, bh, 1, 3, scratch);
    boxFilter(fp, bw, bh, 2, 11, scratch);
    boxFilter(fp, bw, bh, 2, 11, scratch);
    for (int by = 0; by < bh; ++by) {
        uint8_t* row = fp + by * bw;
        int first = -1, last = -1;
        for (int bx = 0; bx < bw; ++bx)
            if (row[bx]) {
                if (first < 0) first = bx;
                last = bx;
            }
        for (int bx = first; first >= 0 && bx <= last; ++bx) row[bx] = 1;
    }
    for (int bx = 0; bx < bw; ++bx) {
        int first = -1, last = -1;
        for (int by = 0; by < bh; ++by)
            if (fp[by * bw + bx]) {
                if (first < 0) first = by;
                last = by;
            }
        for (int by = first; first >= 0 && by <= last; ++by) fp[by * bw + bx] = 1;
    }
    boxFilter(fp, bw, bh, 2, 14, scratch);
    boxFilter(fp, bw, bh, 2, 14, scratch);
}

// Sums of the (re, im) vectors under a 9x9 pyramid (two cascaded 5x5 boxes), zero outside the map.
void pyramidSums(const OriEntry* in, int bw, int bh, int32_t* re, int32_t* im) {
    static constexpr int kW[9] = {1, 2, 3, 4, 5, 4, 3, 2, 1};
    int32_t hre[kWorkMaxWidth / 4], him[kWorkMaxWidth / 4];
    // Vertical first, row by row into the outputs, then horizontal in place.
    for (int by = 0; by < bh; ++by) {
        for (int bx = 0; bx < bw; ++bx) {
            int32_t sr = 0, si = 0;
            for (int k = -4; k <= 4; ++k) {
                const int y = by + k;
                if (y < 0 || y >= bh) continue;
                sr += kW[k + 4] * in[y * bw + bx].re;
                si += kW[k + 4] * in[y * bw + bx].im;
            }
            hre[bx] = sr;
            him[bx] = si;
        }
        for (int bx = 0; bx < bw; ++bx) {
            int32_t sr = 0, si = 0;
            for (int k = -4; k <= 4; ++k) {
                const int x = bx + k;
                if (x < 0 || x >= bw) continue;
                sr += kW[k + 4] * hre[x];
                si += kW[k + 4] * him[x];
            }
            re[by * bw + bx] = sr;
            im[by * bw + bx] = si;
        }
    }
}

void smoothOrientation(OriEntry* ori, const uint8_t* fp, int bw, int bh) {
    int32_t re[kWorkMaxWidth / 4 * (kWorkMaxHeight / 4)], im[kWorkMaxWidth / 4 * (kWorkMaxHeight / 4)];
    const int n = bw * bh;
    pyramidSums(ori, bw, bh, re, im);
    for (int i = 0; i < n; ++i) ori[i] = fp[i] ? reduce(re[i], im[i], 128) : OriEntry{0, 0};
    pyramidSums(ori, bw, bh, re, im);
    for (int i = 0; i < n; ++i) {
        if (!fp[i]) {
            ori[i] = {0, 0};
            continue;
        }
        // The sums are doubled angles: halve to get the direction.
        const uint8_t h = uint8_t(atan2u8(re[i], im[i]) >> 1);
        ori[i] = {int8_t(sin127(uint8_t(h + 64))), int8_t(sin127(h))};
    }
}

// Smoothing of the work image: twice the 5x5 box sum (a sum of 50 pixel values), white outside.
struct SmoothRows {
    int width, height;
    const uint8_t* image;
    int32_t hsum[5][kWorkMaxWidth + 2];  // 5-pixel horizontal sums, ring by row
    int32_t g[3][kWorkMaxWidth + 2];     // smoothed rows y-1, y, y+1 (ring), columns -1..width

    void horizontal(int y, int32_t* out) const {
        // Columns -1..width of the row y; outside the image everything is white.
        if (y < 0 || y >= height) {
            for (int x = 0; x < width + 2; ++x) out[x] = 5 * 255;
            return;
        }
        const uint8_t* row = image + size_t(y) * width;
        auto px = [&](int x) { return (x < 0 || x >= width) ? 255 : int(row[x]); };
        int32_t s = 0;
        for (int x = -4; x <= 0; ++x) s += px(x);  // window of column -2
        for (int x = -1; x <= width; ++x) {
            s += px(x + 2) - px(x - 3);
            out[x + 1] = s;
        }
    }
    void smoothed(int y, int32_t* out) {
        for (int x = 0; x < width + 2; ++x) {
            int32_t s = 0;
            for (int k = 0; k < 5; ++k) s += hsum[(y - 2 + k + 10) % 5][x];
            out[x] = 2 * s;
        }
    }
};

}  // namespace

int32_t sin127(uint8_t a) { return a >= 128 ? -int32_t(kSin127[a & 127]) : int32_t(kSin127[a & 127]); }

uint8_t atan2u8(int32_t x, int32_t y) {
    if (x == 0 && y == 0) return 0;
    const int64_t ax = llabs(x), ay = llabs(y);
    const int64_t lo = std::min(ax, ay), hi = std::max(ax, ay);
    int a = kAtan[96 * lo / hi];
    if (ay > ax) a = 64 - a;
    if (x < 0) a = 128 - a;
    if (y < 0) a = -a;
    return uint8_t(a);
}

void orientation_map_and_footprint(int width, int pixelCount, const uint8_t* image, bool footprintOn,
                                   OriEntry* orientation, uint8_t* footprint) {
    const int bw = (width - 1) / 4 + 1;
    const int bh = pixelCount / 16 / bw;
    const int height = pixelCount / width;
    SmoothRows smoother{width, height, image, {}, {}};
    SmoothRows* rows = &smoother;
    for (int k = -3; k <= 1; ++k) rows->horizontal(k, rows->hsum[(k + 10) % 5]);
    rows->smoothed(-1, rows->g[2]);
    rows->horizontal(2, rows->hsum[2]);
    rows->smoothed(0, rows->g[0]);

    int64_t s1[kWorkMaxWidth / 4], s2[kWorkMaxWidth / 4];
    for (int by = 0; by < bh; ++by) {
        memset(s1, 0, sizeof s1);
        memset(s2, 0, sizeof s2);
        for (int y = 4 * by; y < 4 * by + 4 && y < height; ++y) {
            rows->horizontal(y + 3, rows->hsum[(y + 3) % 5]);
            rows->smoothed(y + 1, rows->g[(y + 1) % 3]);
            const int32_t* up = rows->g[(y + 2) % 3];
            const int32_t* mid = rows->g[y % 3];
            const int32_t* dn = rows->g[(y + 1) % 3];
            for (int x = 0; x < width; ++x) {
                const int c = x + 1;  // column -1 is index 0
                // Second differences across one axis, [1 2 1] smoothing along the other.
                const int64_t gxx = (up[c - 1] - 2 * up[c] + up[c + 1]) + 2 * (mid[c - 1] - 2 * mid[c] + mid[c + 1]) +
                                    (dn[c - 1] - 2 * dn[c] + dn[c + 1]);
                const int64_t gyy = (up[c - 1] + 2 * up[c] + up[c + 1]) - 2 * (mid[c - 1] + 2 * mid[c] + mid[c + 1]) +
                                    (dn[c - 1] + 2 * dn[c] + dn[c + 1]);
                const int64_t gxy = (up[c - 1] - up[c + 1]) - (dn[c - 1] - dn[c + 1]);
                const int64_t lap = gxx + gyy;
                s1[x >> 2] += lap * (gxx - gyy);
                s2[x >> 2] += 2 * lap * gxy;
            }
        }
        for (int bx = 0; bx < bw; ++bx) {
            // The Hessian's doubled angle, weighted by the Laplacian, scaled to the stored sums.
            OriEntry e = by == bh - 1 ? OriEntry{0, 0} : reduce(s1[bx], s2[bx], 50000);
            if (orientation) orientation[by * bw + bx] = e;
            if (footprintOn) footprint[by * bw + bx] = (e.re != 0 || e.im != 0) ? 1 : 0;
        }
    }
    if (footprintOn) cleanFootprint(footprint, bw, bh);
    if (orientation) smoothOrientation(orientation, footprint, bw, bh);
}

}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded
