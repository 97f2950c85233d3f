// Pixel operations before orientation analysis and after it: box smoothing, contrast
// normalisation, the three binarisations, ridge-edge density, majority smoothing and the
// removal of enclosed bad-area spots.
#include "engines/minutiae/image_ops.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engines/minutiae/hot.h"
#include "engines/minutiae/window.h"

namespace mnt {

const int32_t dir_koefs[120] = {
    100, 100, 100, 99, 99, 99, 98, 97, 96, 95, 95, 93, 92, 91, 90, 89, 88, 87, 86, 85,
    84,  83,  82,  81, 80, 79, 79, 79, 78, 78, 78, 78, 78, 79, 79, 79, 80, 81, 82, 83,
    84,  85,  86,  87, 88, 89, 90, 91, 92, 93, 95, 95, 96, 97, 98, 99, 99, 99, 100, 100,
    100, 100, 100, 99, 99, 99, 98, 97, 96, 95, 95, 93, 92, 91, 90, 89, 88, 87, 86, 85,
    84,  83,  82,  81, 80, 79, 79, 79, 78, 78, 78, 78, 78, 79, 79, 79, 80, 81, 82, 83,
    84,  85,  86,  87, 88, 89, 90, 91, 92, 93, 95, 95, 96, 97, 98, 99, 99, 99, 100, 100,
};

std::vector<uint8_t> Linear(int width, int height, uint8_t* const* image) {
    std::vector<uint8_t> out(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y) std::memcpy(out.data() + size_t(y) * width, image[y], size_t(width));
    return out;
}

MNT_HOT_LOOP std::vector<uint8_t> WindowMeans(const std::vector<uint8_t>& image, int width, int height, uint32_t radius) {
    std::vector<uint8_t> means(image.size());
    const int r = ClipRadius(radius, width, height);
    std::vector<int32_t> spans(static_cast<size_t>(width));
    std::vector<float> inverse(static_cast<size_t>(width));
    for (int x = 0; x < width; ++x) {
        spans[x] = WindowSpan(x, r, width);
        inverse[x] = 1.0f / float(spans[x]);
    }
    // A window holds at most 2048 x 2048 bytes, so its sum fits 32 bits.
    ForEachWindowSumRow<int32_t>(
        width, height, r, 1,
        [&](int y, int32_t* row) {
            const uint8_t* src = image.data() + size_t(y) * width;
            for (int x = 0; x < width; ++x) row[x] = src[x];
        },
        [&](int y, const int32_t* __restrict sums) {
            const int32_t rows = WindowSpan(y, r, height);
            const float rowInverse = 1.0f / float(rows);
            const int32_t* __restrict span = spans.data();
            const float* __restrict inv = inverse.data();
            uint8_t* __restrict out = means.data() + size_t(y) * width;
            // The truncated quotient without a division: a float estimate is within one of it
            // and is corrected exactly in integers (this loop vectorises; a division does not).
            for (int x = 0; x < width; ++x) {
                const int32_t area = rows * span[x], sum = sums[x];
                int32_t q = int32_t(float(sum) * inv[x] * rowInverse);
                q += int32_t((q + 1) * area <= sum);
                q -= int32_t(q * area > sum);
                out[x] = uint8_t(q);
            }
        });
    return means;
}

namespace {

// Writes 0 into `out` where `in` lies below the truncated mean of its window of radius r and
// 255 elsewhere, for the pixels whose class byte is `which`; no mean is formed: v < floor(S / A)
// exactly when (v + 1) A <= S. Without branches, so that the pixel loop vectorises.
void BinarizeBelowMean(const std::vector<uint8_t>& in, int width, int height, uint32_t radius, ByteImage out,
                       const std::vector<uint8_t>& classes, uint8_t which) {
    const int r = ClipRadius(radius, width, height);
    std::vector<int32_t> spans(static_cast<size_t>(width));
    for (int x = 0; x < width; ++x) spans[x] = WindowSpan(x, r, width);
    ForEachWindowSumRow<int32_t>(
        width, height, r, 1,
        [&](int y, int32_t* row) {
            const uint8_t* src = in.data() + size_t(y) * width;
            for (int x = 0; x < width; ++x) row[x] = src[x];
        },
        [&](int y, const int32_t* __restrict sums) {
            const int32_t rows = WindowSpan(y, r, height);
            const uint8_t* __restrict src = in.data() + size_t(y) * width;
            const uint8_t* __restrict cls = classes.data() + size_t(y) * width;
            const int32_t* __restrict span = spans.data();
            uint8_t* __restrict dst = out[y];
            for (int x = 0; x < width; ++x) {
                const uint8_t v = (int32_t(src[x]) + 1) * rows * span[x] <= sums[x] ? 0 : 255;
                dst[x] = cls[x] == which ? v : dst[x];
            }
        });
}

// Ridge edges are judged on the binary image: a good interior pixel whose 3 x 3
// neighbourhood is neither all ridge nor all valley.
void EdgeFlags(int width, int height, const std::vector<uint8_t>& binary, const ByteImage directions,
               std::vector<uint8_t>& good, std::vector<uint8_t>& edge) {
    good.assign(binary.size(), 0);
    edge.assign(binary.size(), 0);
    if (width < 3) return;
    // 3 x 3 sums as column sums of three rows, then three columns of those.
    std::vector<int32_t> columns(static_cast<size_t>(width));
    for (int y = 1; y + 1 < height; ++y) {
        const uint8_t* __restrict up = binary.data() + size_t(y - 1) * width;
        const uint8_t* __restrict mid = up + width;
        const uint8_t* __restrict down = mid + width;
        int32_t* __restrict col = columns.data();
        for (int x = 0; x < width; ++x) col[x] = int32_t(up[x]) + mid[x] + down[x];
        const uint8_t* d = directions[y];
        uint8_t* __restrict g = good.data() + size_t(y) * width;
        uint8_t* __restrict e = edge.data() + size_t(y) * width;
        for (int x = 1; x + 1 < width; ++x) {
            const bool isGood = (d[x] & 0x80) == 0;
            const int32_t sum = col[x - 1] + col[x] + col[x + 1];
            g[x] = isGood;
            e[x] = isGood && sum >= 9 && sum <= 2286;
        }
    }
}

}  // namespace

void SmoothImage(int width, int height, ByteImage image, uint32_t r) {
    const auto means = WindowMeans(Linear(width, height, image), width, height, r);
    for (int y = 0; y < height; ++y) std::memcpy(image[y], means.data() + size_t(y) * width, size_t(width));
}

// The 3 x 3 mean, clipped at the border like WindowMeans. Inside, from column sums of three rows,
// and the quotient by 9 as (s x 7282) >> 16, which equals it for every sum up to 9 x 255.
MNT_HOT_LOOP void PuttyImage(int width, int height, ByteImage image) {
    if (width < 3 || height < 3) {
        SmoothImage(width, height, image, 1);
        return;
    }
    const auto in = Linear(width, height, image);
    auto clipped = [&](int x, int y) {
        int sum = 0, count = 0;
        for (int yy = std::max(0, y - 1); yy <= std::min(height - 1, y + 1); ++yy)
            for (int xx = std::max(0, x - 1); xx <= std::min(width - 1, x + 1); ++xx) {
                sum += in[size_t(yy) * width + xx];
                ++count;
            }
        return uint8_t(sum / count);
    };
    std::vector<int32_t> columns(static_cast<size_t>(width));
    for (int y = 0; y < height; ++y) {
        uint8_t* __restrict out = image[y];
        if (y == 0 || y == height - 1) {
            for (int x = 0; x < width; ++x) out[x] = clipped(x, y);
            continue;
        }
        const uint8_t* __restrict up = in.data() + size_t(y - 1) * width;
        const uint8_t* __restrict mid = up + width;
        const uint8_t* __restrict down = mid + width;
        int32_t* __restrict col = columns.data();
        for (int x = 0; x < width; ++x) col[x] = int32_t(up[x]) + mid[x] + down[x];
        for (int x = 1; x + 1 < width; ++x) out[x] = uint8_t(((col[x - 1] + col[x] + col[x + 1]) * 7282) >> 16);
        out[0] = clipped(0, y);
        out[width - 1] = clipped(width - 1, y);
    }
}

namespace {

inline int32_t Choose(bool c, int32_t a, int32_t b) { return b ^ ((a ^ b) & -int32_t(c)); }

// One row of the contrast stretch, without branches so that it vectorises. The quotient is
// exact as a float: numerator below 2^16, divisor at most 255.
void NormalizeRow(int width, const uint8_t* __restrict s, const uint8_t* __restrict m, const uint8_t* __restrict dev,
                  uint8_t* __restrict out) {
    for (int x = 0; x < width; ++x) {
        const int32_t lo = std::max(0, int32_t(m[x]) - int32_t(dev[x]));
        const int32_t hi = std::min(255, int32_t(m[x]) + int32_t(dev[x]));
        const int32_t v = s[x];
        const int32_t span = hi - lo;
        const int32_t stretched = int32_t(float((v - lo) * 255) / float(Choose(span == 0, 1, span)));
        int32_t result = Choose(v >= hi, 255, stretched);
        result = Choose(v <= lo, 0, result);
        result = Choose(span == 0, v, result);
        out[x] = uint8_t(result);
    }
}

}  // namespace

MNT_HOT_LOOP void NormalizeImage(int width, int height, const ByteImage source, ByteImage mean, uint32_t r) {
    const auto s = Linear(width, height, source);
    const auto m = Linear(width, height, mean);
    std::vector<uint8_t> deviation(s.size());
    for (size_t i = 0; i < s.size(); ++i) deviation[i] = uint8_t(std::abs(int(m[i]) - int(s[i])));
    const auto dev = WindowMeans(deviation, width, height, r);
    for (int y = 0; y < height; ++y) {
        const size_t at = size_t(y) * width;
        NormalizeRow(width, s.data() + at, m.data() + at, dev.data() + at, mean[y]);
    }
}

void BinarizeImage(int width, int height, ByteImage image, uint32_t r) {
    const auto in = Linear(width, height, image);
    const auto means = WindowMeans(in, width, height, r);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const size_t i = size_t(y) * width + x;
            image[y][x] = in[i] < means[i] ? 0 : 255;
        }
}

MNT_HOT_LOOP void BinarizeImageTwo(int width, int height, const ByteImage source, ByteImage output, uint32_t r1, uint32_t r2) {
    const auto in = Linear(width, height, source);
    const auto m1 = WindowMeans(in, width, height, r1);
    const auto m2 = WindowMeans(in, width, height, r2);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const size_t i = size_t(y) * width + x;
            output[y][x] = int(in[i]) < ((int(m1[i]) + int(m2[i])) >> 1) ? 0 : 255;
        }
}

MNT_HOT_LOOP void ComputeGImage(int width, int height, ByteImage image, const ByteImage directions, uint32_t radius) {
    std::vector<uint8_t> good, edge;
    EdgeFlags(width, height, Linear(width, height, image), directions, good, edge);
    const int r = ClipRadius(radius, width, height);
    ForEachWindowSumRow<int32_t>(
        width, height, r, 2,
        [&](int y, int32_t* row) {
            const size_t base = size_t(y) * width;
            for (int x = 0; x < width; ++x) {
                row[x] = good[base + x];
                row[width + x] = edge[base + x];
            }
        },
        [&](int y, const int32_t* sums) {
            for (int x = 0; x < width; ++x) {
                const int32_t g = sums[x];
                const int32_t e = sums[width + x];
                // The whole byte is looked at: no orientation (127) and bad-area pixels take 100.
                const int o = directions[y][x];
                const int32_t k = o < 120 ? dir_koefs[o] : 100;
                // e <= g, so the ratio is 0..255; its double quotient truncates exactly (32-bit
                // operands) and costs far less than an integer division.
                const int32_t ratio = g == 0 ? 0 : int32_t(double(e * 255) / double(g));
                image[y][x] = g == 0 ? 0 : uint8_t(ratio * k / 100);
            }
        });
}

uint8_t ComputeG(int width, int height, const ByteImage image, const ByteImage directions) {
    if (height < 3) return 0;
    std::vector<uint8_t> good, edge;
    EdgeFlags(width, height, Linear(width, height, image), directions, good, edge);
    int64_t goodCount = 0, edgeCount = 0;
    for (size_t i = 0; i < good.size(); ++i) {
        goodCount += good[i];
        edgeCount += edge[i];
    }
    return goodCount == 0 ? 0 : uint8_t(edgeCount * 255 / goodCount);
}

MNT_HOT_LOOP void BinarizeImageA(int width, int height, ByteImage image, const ByteImage density, uint8_t highLimit,
                    uint8_t lowLimit, uint32_t r1, uint32_t r2, uint32_t r3) {
    const auto in = Linear(width, height, image);
    // Each pixel is compared with the mean of the window its density picks: small windows
    // where ridges are dense.
    std::vector<uint8_t> classes(in.size());
    for (int y = 0; y < height; ++y) {
        const uint8_t* __restrict d = density[y];
        uint8_t* __restrict c = classes.data() + size_t(y) * width;
        for (int x = 0; x < width; ++x) c[x] = d[x] >= highLimit ? 0 : d[x] >= lowLimit ? 1 : 2;
    }
    BinarizeBelowMean(in, width, height, r1, image, classes, 0);
    BinarizeBelowMean(in, width, height, r2, image, classes, 1);
    BinarizeBelowMean(in, width, height, r3, image, classes, 2);
}

MNT_HOT_LOOP void BSmoothImage(int width, int height, ByteImage image) {
    const auto in = Linear(width, height, image);
    // 3 x 3 sums as column sums of three rows, then three columns of those.
    std::vector<int32_t> columns(static_cast<size_t>(width));
    for (int y = 1; y + 1 < height; ++y) {
        const uint8_t* __restrict up = in.data() + size_t(y - 1) * width;
        const uint8_t* __restrict mid = up + width;
        const uint8_t* __restrict down = mid + width;
        int32_t* __restrict col = columns.data();
        for (int x = 0; x < width; ++x) col[x] = int32_t(up[x]) + mid[x] + down[x];
        uint8_t* __restrict out = image[y];
        for (int x = 1; x + 1 < width; ++x) out[x] = col[x - 1] + col[x] + col[x + 1] < 1152 ? 0 : 255;
    }
    if (height <= 0 || width <= 0) return;
    std::memset(image[0], 255, size_t(width));
    std::memset(image[height - 1], 255, size_t(width));
    for (int y = 0; y < height; ++y) image[y][0] = image[y][width - 1] = 255;
}

void EliminateSpots(int width, int height, ByteImage image) {
    if (width <= 0 || height <= 0) return;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image[y][x] = (image[y][x] & 0x80) ? 255 : 0;
    // Flood from bad border pixels through 4-connected bad pixels with an explicit stack:
    // the same set that repeated sweeps reach, without their quadratic worst case.
    std::vector<uint8_t> reached(size_t(width) * size_t(height), 0);
    std::vector<int> stack;
    auto seed = [&](int x, int y) {
        const size_t i = size_t(y) * width + x;
        if (image[y][x] == 255 && !reached[i]) {
            reached[i] = 1;
            stack.push_back(int(i));
        }
    };
    for (int x = 0; x < width; ++x) {
        seed(x, 0);
        seed(x, height - 1);
    }
    for (int y = 0; y < height; ++y) {
        seed(0, y);
        seed(width - 1, y);
    }
    while (!stack.empty()) {
        const int i = stack.back();
        stack.pop_back();
        const int x = i % width, y = i / width;
        if (x > 0) seed(x - 1, y);
        if (x + 1 < width) seed(x + 1, y);
        if (y > 0) seed(x, y - 1);
        if (y + 1 < height) seed(x, y + 1);
    }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image[y][x] = reached[size_t(y) * width + x] ? 255 : 0;
}

}  // namespace mnt
