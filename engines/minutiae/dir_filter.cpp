// Bad-area marking and smoothing along the ridges with one family of directional filters.
#include "engines/minutiae/dir_filter.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engines/minutiae/directions.h"
#include "engines/minutiae/hot.h"
#include "engines/minutiae/singular_points.h"
#include "engines/minutiae/window.h"

namespace mnt {
namespace {

constexpr int kFilterReach = 6;
constexpr int kSingularPointClearance = 16;
// The pass map keeps the count in bits 0-2.
constexpr uint32_t kMaxPasses = 7;

class OrientationCollector : public PixelOrientationSink {
 public:
    OrientationCollector(int width, int height, bool keepQuality)
        : width_(width), orientation_(size_t(width) * height), quality_(keepQuality ? size_t(width) * height : 0) {}
    void PutRow(int y, const uint8_t* orientation, const uint8_t* quality) override {
        const size_t at = size_t(y) * width_;
        std::memcpy(orientation_.data() + at, orientation, size_t(width_));
        if (!quality_.empty()) std::memcpy(quality_.data() + at, quality, size_t(width_));
    }
    const std::vector<uint8_t>& orientation() const { return orientation_; }
    const std::vector<uint8_t>& quality() const { return quality_; }

 private:
    int width_;
    std::vector<uint8_t> orientation_;
    std::vector<uint8_t> quality_;
};

}  // namespace

namespace {

inline bool Interior(int width, int height, int x, int y) {
    return x >= kFilterReach && x < width - kFilterReach && y >= kFilterReach && y < height - kFilterReach;
}

// All taps inside: 112211 x 255 fits 32 bits.
inline uint8_t FilterInterior(const uint8_t* p, int width, int o) {
    const int taps = filter_c[o];
    int32_t sum = filter_w0[o] * int32_t(*p);
    for (int k = 0; k < taps; ++k) {
        const ptrdiff_t offset = ptrdiff_t(filter_y[o][k]) * width + filter_x[o][k];
        sum += filter_w[o][k] * (int32_t(p[-offset]) + int32_t(p[offset]));
    }
    return uint8_t(sum / kFilterDivisor);
}

// The taps of every orientation as offsets into rows of one width, made once per image pass.
class Kernels {
 public:
    explicit Kernels(int width) {
        for (int o = 0; o < 120; ++o) {
            narrow_ = narrow_ && filter_w0[o] >= 0 && filter_w0[o] < 32768;
            for (int k = 0; k < filter_c[o]; ++k) {
                offset_[o][k] = ptrdiff_t(filter_y[o][k]) * width + filter_x[o][k];
                narrow_ = narrow_ && filter_w[o][k] >= 0 && filter_w[o][k] < 32768;
            }
        }
    }
    // Four neighbouring pixels of one orientation at once. With SSE2 the two pixels of a tap
    // pair and the shared weight go through one multiply-add of 16-bit lanes (weights stay
    // below 2^15, pixel sums below 2^9), four pixels a step.
    void Apply4(const uint8_t* p, int o, uint8_t* out) const {
        int32_t sum[4];
#if defined(__SSE2__)
        if (narrow_) {
            const __m128i zero = _mm_setzero_si128();
            auto bytes = [&](const uint8_t* q) {
                int32_t v;
                std::memcpy(&v, q, sizeof v);
                return _mm_unpacklo_epi8(_mm_cvtsi32_si128(v), zero);
            };
            __m128i acc = _mm_madd_epi16(_mm_unpacklo_epi16(bytes(p), zero), _mm_set1_epi32(filter_w0[o]));
            const ptrdiff_t* offset = offset_[o];
            const int32_t* weight = filter_w[o];
            for (int k = 0, taps = filter_c[o]; k < taps; ++k) {
                const __m128i pairs = _mm_unpacklo_epi16(bytes(p - offset[k]), bytes(p + offset[k]));
                acc = _mm_add_epi32(acc, _mm_madd_epi16(pairs, _mm_set1_epi16(int16_t(weight[k]))));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(sum), acc);
            for (int j = 0; j < 4; ++j) out[j] = uint8_t(sum[j] / kFilterDivisor);
            return;
        }
#endif
        for (int j = 0; j < 4; ++j) out[j] = Apply(p + j, o);
    }
    uint8_t Apply(const uint8_t* p, int o) const {
        const ptrdiff_t* offset = offset_[o];
        const int32_t* weight = filter_w[o];
        int32_t sum = filter_w0[o] * int32_t(*p);
        for (int k = 0, taps = filter_c[o]; k < taps; ++k)
            sum += weight[k] * (int32_t(p[-offset[k]]) + int32_t(p[offset[k]]));
        return uint8_t(sum / kFilterDivisor);
    }

 private:
    ptrdiff_t offset_[120][kFilterTaps] = {};
    bool narrow_ = true;  // every weight fits a signed 16-bit lane
};

// Filters every pixel of row y whose orientation orientationOf(x) gives (negative: left as it
// is), reading `source`. orientationOf is called once for each pixel, in order.
template <typename OrientationOf>
void FilterRow(const Kernels& kernels, const uint8_t* source, int width, int height, int y, uint8_t* out,
               std::vector<int>& orientations, OrientationOf orientationOf) {
    orientations.resize(size_t(width));
    int* o = orientations.data();
    for (int x = 0; x < width; ++x) o[x] = orientationOf(x);
    const uint8_t* row = source + size_t(y) * width;
    const bool innerRow = y >= kFilterReach && y < height - kFilterReach;
    for (int x = 0; x < width; ++x) {
        if (o[x] < 0) continue;
        if (innerRow && x >= kFilterReach && x < width - kFilterReach) {
            if (o[x] < 120) {
                // Orientations come in short runs along a row: four alike go together.
                if (x + 3 < width - kFilterReach && o[x + 1] == o[x] && o[x + 2] == o[x] && o[x + 3] == o[x]) {
                    kernels.Apply4(row + x, o[x], out + x);
                    x += 3;
                    continue;
                }
                out[x] = kernels.Apply(row + x, o[x]);
            } else {
                // No orientation: the 3 x 3 mean, as FilterPixel gives it, without its clipping.
                const uint8_t* p = row + x;
                const int sum = p[-width - 1] + p[-width] + p[-width + 1] + p[-1] + p[0] + p[1] + p[width - 1] +
                                p[width] + p[width + 1];
                out[x] = uint8_t(sum / 9);
            }
        } else {
            out[x] = FilterPixel(source, width, height, x, y, o[x]);
        }
    }
}

}  // namespace

uint8_t FilterPixel(const uint8_t* source, int width, int height, int x, int y, int o) {
    auto at = [&](int xx, int yy) { return int64_t(source[size_t(yy) * width + xx]); };
    if (o < 0 || o >= 120) {
        int64_t sum = 0, count = 0;
        for (int yy = std::max(0, y - 1); yy <= std::min(height - 1, y + 1); ++yy)
            for (int xx = std::max(0, x - 1); xx <= std::min(width - 1, x + 1); ++xx) {
                sum += at(xx, yy);
                ++count;
            }
        return uint8_t(sum / count);
    }
    if (Interior(width, height, x, y)) return FilterInterior(source + size_t(y) * width + x, width, o);
    const int taps = filter_c[o];
    int64_t sum = int64_t(filter_w0[o]) * at(x, y);
    int64_t weight = filter_w0[o];
    auto tap = [&](int xx, int yy, int32_t w) {
        if (xx < 0 || yy < 0 || xx >= width || yy >= height) return;
        sum += int64_t(w) * at(xx, yy);
        weight += w;
    };
    for (int k = 0; k < taps; ++k) {
        const int dx = filter_x[o][k], dy = filter_y[o][k];
        tap(x - dx, y - dy, filter_w[o][k]);
        tap(x + dx, y + dy, filter_w[o][k]);
    }
    // With the tables' weights both fit 32 bits, where the division is much cheaper.
    if (sum <= INT32_MAX && weight > 0 && weight <= INT32_MAX) return uint8_t(int32_t(sum) / int32_t(weight));
    return uint8_t(sum / weight);
}

MNT_HOT_LOOP int32_t ComputeBadArea(int width, int height, ByteImage directions, const ByteImage quality,
                       const SingularPointList* singularPoints, uint32_t badAreaRadius, uint8_t badAreaQualityMax) {
    const int r = ClipRadius(badAreaRadius, width, height);
    const int64_t side = 2 * int64_t(std::min<uint32_t>(badAreaRadius, 65535)) + 1;
    const int64_t half = side * side / 2;
    int64_t sum = 0, count = 0;
    ForEachWindowSumRow<int32_t>(
        width, height, r, 1,
        [&](int y, int32_t* row) {
            for (int x = 0; x < width; ++x) row[x] = quality[y][x] < badAreaQualityMax ? 1 : 0;
        },
        [&](int y, const int32_t* goodInWindow) {
            for (int x = 0; x < width; ++x) {
                if (goodInWindow[x] <= half &&
                    !IsSingularPointNear(singularPoints, y, x, kSingularPointClearance)) {
                    directions[y][x] |= kBadAreaBit;
                } else {
                    sum += quality[y][x];
                    ++count;
                }
            }
        });
    return count == 0 ? -1 : int32_t(sum / count);
}

MNT_HOT_LOOP void DirectSmoothImage(int width, int height, ByteImage image, const ByteImage directions) {
    const auto source = Linear(width, height, image);
    const Kernels kernels(width);
    std::vector<int> orientationRow;
    for (int y = 0; y < height; ++y) {
        const uint8_t* d = directions[y];
        FilterRow(kernels, source.data(), width, height, y, image[y], orientationRow, [d](int x) { return d[x] & 0x7F; });
    }
}

MNT_HOT_LOOP void DirFilterImage(int width, int height, ByteImage image, uint32_t dirFilterRadius, uint32_t dirFilterPasses) {
    const Kernels kernels(width);
    std::vector<int> orientationRow;
    for (uint32_t pass = 0; pass < dirFilterPasses; ++pass) {
        OrientationCollector orientations(width, height, false);
        ComputePixelOrientations(width, height, image, dirFilterRadius, false, -1, orientations, false);
        const auto source = Linear(width, height, image);
        for (int y = 0; y < height; ++y) {
            const uint8_t* d = orientations.orientation().data() + size_t(y) * width;
            FilterRow(kernels, source.data(), width, height, y, image[y], orientationRow, [d](int x) { return int(d[x]); });
        }
    }
}

void ComputeDirImageF(int width, int height, const ByteImage image, ByteImage directions, ByteImage passMap,
                      const SingularPointList* singularPoints, uint32_t filterDirRadius, uint8_t filterQualityMax,
                      uint8_t filterQualityMin, uint32_t filterBasePasses, uint32_t filterPassScale) {
    OrientationCollector measured(width, height, true);
    ComputePixelOrientations(width, height, image, filterDirRadius, false, -1, measured);
    const int64_t span = int64_t(filterQualityMax) - filterQualityMin;
    // The pass count depends on the quality byte only: one table instead of a 64-bit division
    // a pixel.
    uint8_t passesFor[256];
    for (int quality = 0; quality < 256; ++quality) {
        const int64_t qc = std::min<int64_t>(quality, filterQualityMax);
        const int64_t v = qc >= filterQualityMin ? (qc - filterQualityMin) * filterPassScale : 0;
        // Extra passes: the k >= 1 with v - (k - 1) * span >= span / 2. Settings whose
        // maximum is not above the minimum give none (the count would not end).
        int64_t extra = 0;
        if (span > 0 && v >= span / 2) extra = (v - span / 2) / span + 1;
        // Counts above 7 used to be ORed whole into the 3-bit field, leaving a wrong
        // count and stray bits; they are clamped.
        passesFor[quality] = uint8_t(std::min<uint64_t>(uint64_t(filterBasePasses) + uint64_t(extra), kMaxPasses));
    }
    const int sp = std::clamp(singularPoints->count, 0, kMaxSingularPoints);
    for (int y = 0; y < height; ++y) {
        // Only rows within reach of a singular point need the distance test.
        bool pointsNear = false;
        for (int i = 0; i < sp; ++i)
            pointsNear = pointsNear || std::abs(int64_t(singularPoints->y[i]) - y) < kSingularPointClearance;
        const uint8_t* orientation = measured.orientation().data() + size_t(y) * width;
        const uint8_t* quality = measured.quality().data() + size_t(y) * width;
        uint8_t* d = directions[y];
        uint8_t* passes = passMap[y];
        for (int x = 0; x < width; ++x) {
            d[x] = uint8_t((d[x] & kBadAreaBit) | orientation[x]);
            passes[x] &= uint8_t(~0x07);
            if ((d[x] & kBadAreaBit) || (pointsNear && IsSingularPointNear(singularPoints, y, x, kSingularPointClearance)))
                continue;
            passes[x] |= passesFor[quality[x]];
        }
    }
}

MNT_HOT_LOOP void FilterImage(int width, int height, ByteImage image, const ByteImage directions, ByteImage passMap) {
    const Kernels kernels(width);
    std::vector<int> orientationRow;
    for (;;) {
        const auto source = Linear(width, height, image);
        bool filtered = false;
        for (int y = 0; y < height; ++y) {
            const uint8_t* d = directions[y];
            uint8_t* passes = passMap[y];
            // Most rows are done after a pass or two.
            uint8_t left = 0;
            for (int x = 0; x < width; ++x) left |= passes[x];
            if ((left & 0x07) == 0) continue;
            FilterRow(kernels, source.data(), width, height, y, image[y], orientationRow, [&](int x) {
                const int left = passes[x] & 0x07;
                if (left == 0) return -1;
                passes[x] = uint8_t((passes[x] & ~0x07) | (left - 1));
                filtered = true;
                return d[x] & 0x7F;
            });
        }
        if (!filtered) return;
    }
}

}  // namespace mnt
