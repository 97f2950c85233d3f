// Ridge orientation per 16 x 16 block and per pixel, each with a quality value.
#include "engines/minutiae/directions.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "engines/minutiae/image_ops.h"
#include "engines/minutiae/window.h"

namespace mnt {
namespace {

// Directional differences of one pixel; only pixels with all eight neighbours contribute.
struct Differences {
    int64_t h, d1, v, d2;
};

Differences PixelDifferences(const std::vector<uint8_t>& img, int width, int height, int x, int y, bool squared) {
    if (x < 1 || y < 1 || x >= width - 1 || y >= height - 1) return {0, 0, 0, 0};
    const uint8_t* up = img.data() + size_t(y - 1) * width;
    const uint8_t* mid = up + width;
    const uint8_t* down = mid + width;
    const int p = mid[x];
    auto term = [&](int q) -> int64_t {
        const int d = p - q;
        return squared ? int64_t(d) * d : std::abs(d);
    };
    return {term(mid[x - 1]) + term(mid[x + 1]), term(up[x - 1]) + term(down[x + 1]),
            term(up[x]) + term(down[x]), term(up[x + 1]) + term(down[x - 1])};
}

class QualitySink : public PixelOrientationSink {
 public:
    QualitySink(ByteImage directions, ByteImage quality) : directions_(directions), quality_(quality) {}
    void Put(int x, int y, const Orientation& o) override {
        if (directions_ != nullptr) directions_[y][x] = uint8_t((directions_[y][x] & kBadAreaBit) | o.orientation);
        if (quality_ != nullptr) quality_[y][x] = uint8_t(o.quality);
    }

 private:
    ByteImage directions_;
    ByteImage quality_;
};

int64_t PixelContrastThreshold(uint8_t contrastMin, uint32_t radius) {
    const int64_t side = 2 * int64_t(std::min<uint32_t>(radius, 65535)) + 1;
    return int64_t(contrastMin) * 2 * side * side;
}

}  // namespace

Orientation OrientationFromDifferences(int64_t h, int64_t d1, int64_t v, int64_t d2, int64_t contrastThreshold) {
    struct Pair {
        int base;
        int64_t lo, hi, below, above;
    };
    const Pair pairs[4] = {{45, d1, v, h, d2}, {75, v, d2, d1, h}, {105, d2, h, v, d1}, {15, h, d1, d2, v}};
    const Pair* best = &pairs[0];
    for (const Pair& p : pairs)
        if (p.lo + p.hi < best->lo + best->hi) best = &p;
    const int64_t mx = std::max({h, d1, v, d2});
    const int64_t den = best->lo + best->hi + best->below + best->above - 4 * mx;
    if (den == 0) return {kNoOrientation, 255};
    const int64_t offset = (15 * ((best->hi - best->lo) + 3 * (best->above - best->below))) / den;
    // 120 is the same orientation as 0. Anything else outside 0..119 would spill into the
    // "none" value or the bad-area bit of a direction byte, so it is folded as well.
    int orientation = int((best->base + offset) % 120);
    if (orientation < 0) orientation += 120;

    const int64_t m = std::min(best->lo, best->hi);
    const int64_t o = best->lo > best->hi ? best->below : best->above;
    const int64_t k = ((o - m) * (15 - std::abs(offset))) / 30;
    int64_t quality;
    if (k + o == 0) quality = 255;
    else quality = (m < k ? 0 : m - k) * 255 / (k + o);
    // Kept within a byte: the ratio can leave 0..255 when the scaled diagonals exceed it.
    quality = std::clamp<int64_t>(quality, 0, 255);
    if (contrastThreshold >= 0 && mx <= contrastThreshold) quality = 255;
    return {orientation, int(quality)};
}

void ComputeBlockedImageSize(int width, int height, int* blockColumns, int* blockRows) {
    *blockColumns = width / kBlockSize;
    *blockRows = height / kBlockSize;
}

void ComputeBlockDirImage(int width, int height, const ByteImage image, int blockColumns, int blockRows,
                          ByteImage blockDirections, ByteImage blockQuality, uint8_t blockContrastMin) {
    if (blockColumns <= 0 || blockRows <= 0) return;
    const auto img = Linear(width, height, image);
    std::vector<Differences> sums(size_t(blockColumns) * blockRows, Differences{0, 0, 0, 0});
    for (int by = 0; by < blockRows; ++by)
        for (int bx = 0; bx < blockColumns; ++bx) {
            Differences& s = sums[size_t(by) * blockColumns + bx];
            for (int y = std::max(1, kBlockSize * by); y < kBlockSize * by + kBlockSize && y < height - 1; ++y)
                for (int x = std::max(1, kBlockSize * bx); x < kBlockSize * bx + kBlockSize && x < width - 1; ++x) {
                    const Differences d = PixelDifferences(img, width, height, x, y, false);
                    s.h += d.h;
                    s.d1 += d.d1;
                    s.v += d.v;
                    s.d2 += d.d2;
                }
        }
    const int64_t threshold = int64_t(blockContrastMin) * 512;
    for (int by = 0; by < blockRows; ++by)
        for (int bx = 0; bx < blockColumns; ++bx) {
            Differences t{0, 0, 0, 0};
            int64_t n = 0;
            for (int y = std::max(0, by - 1); y <= std::min(blockRows - 1, by + 1); ++y)
                for (int x = std::max(0, bx - 1); x <= std::min(blockColumns - 1, bx + 1); ++x) {
                    const Differences& s = sums[size_t(y) * blockColumns + x];
                    t.h += s.h;
                    t.d1 += s.d1;
                    t.v += s.v;
                    t.d2 += s.d2;
                    ++n;
                }
            const Orientation o = OrientationFromDifferences(t.h / n, t.d1 * 71 / (n * 100), t.v / n,
                                                             t.d2 * 71 / (n * 100), threshold);
            blockDirections[by][bx] = uint8_t(o.orientation);
            blockQuality[by][bx] = uint8_t(o.quality);
        }
}

void CleanupBlockDirImage(int blockColumns, int blockRows, ByteImage blockDirections, const ByteImage blockQuality,
                          uint8_t blockQualityMax) {
    for (int by = 0; by < blockRows; ++by)
        for (int bx = 0; bx < blockColumns; ++bx) {
            int count = 0;
            for (int y = std::max(0, by - 1); y <= std::min(blockRows - 1, by + 1); ++y)
                for (int x = std::max(0, bx - 1); x <= std::min(blockColumns - 1, bx + 1); ++x)
                    if (blockQuality[y][x] < blockQualityMax) ++count;
            if (count <= 4) blockDirections[by][bx] = kRejectedBlock;
        }
}

void ComputePixelOrientations(int width, int height, const ByteImage image, uint32_t radius, bool squared,
                              int64_t contrastThreshold, PixelOrientationSink& sink) {
    const auto img = Linear(width, height, image);
    const int r = ClipRadius(radius, width, height);
    ForEachWindowSumRow<int64_t>(
        width, height, r, 4,
        [&](int y, int64_t* row) {
            for (int x = 0; x < width; ++x) {
                const Differences d = PixelDifferences(img, width, height, x, y, squared);
                row[x] = d.h;
                row[width + x] = d.d1;
                row[2 * width + x] = d.v;
                row[3 * width + x] = d.d2;
            }
        },
        [&](int y, const int64_t* sums) {
            for (int x = 0; x < width; ++x) {
                const int64_t d1 = sums[width + x], d2 = sums[3 * width + x];
                const Orientation o =
                    OrientationFromDifferences(sums[x], squared ? d1 / 2 : d1 * 71 / 100, sums[2 * width + x],
                                               squared ? d2 / 2 : d2 * 71 / 100, contrastThreshold);
                sink.Put(x, y, o);
            }
        });
}

void CDI_Dir(int width, int height, const ByteImage image, ByteImage directions, uint32_t dirRadius,
             uint8_t dirContrastMin, uint32_t squaredDifferences) {
    QualitySink sink(directions, nullptr);
    ComputePixelOrientations(width, height, image, dirRadius, squaredDifferences != 0,
                             PixelContrastThreshold(dirContrastMin, dirRadius), sink);
}

void CDI_Noise(int width, int height, ByteImage image, uint32_t noiseRadius, uint8_t dirContrastMin,
               uint32_t /*squaredDifferences: the quality always uses absolute differences*/) {
    QualitySink sink(nullptr, image);
    ComputePixelOrientations(width, height, image, noiseRadius, false,
                             PixelContrastThreshold(dirContrastMin, noiseRadius), sink);
}

void ComputeDirImageSimple(int width, int height, ByteImage image, ByteImage directions, uint32_t dirRadius,
                           uint8_t dirContrastMin) {
    QualitySink sink(directions, image);
    ComputePixelOrientations(width, height, image, dirRadius, false,
                             PixelContrastThreshold(dirContrastMin, dirRadius), sink);
}

void ComputeDirImage(int width, int height, ByteImage image, ByteImage directions, uint32_t dirRadius,
                     uint32_t noiseRadius, uint8_t dirContrastMin, uint32_t squaredDifferences) {
    if (dirRadius == noiseRadius && squaredDifferences == 0) {
        ComputeDirImageSimple(width, height, image, directions, dirRadius, dirContrastMin);
        return;
    }
    CDI_Dir(width, height, image, directions, dirRadius, dirContrastMin, squaredDifferences);
    CDI_Noise(width, height, image, noiseRadius, dirContrastMin, squaredDifferences);
}

}  // namespace mnt

