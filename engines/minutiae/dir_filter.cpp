// Bad-area marking and smoothing along the ridges with one family of directional filters.
#include "engines/minutiae/dir_filter.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "engines/minutiae/directions.h"
#include "engines/minutiae/hot.h"
#include "engines/minutiae/simd.h"
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

// Whether a singular point lies within the clearance of row y (a pixel of the row can then be near one).
bool RowNearSingularPoint(const SingularPointList* points, int y) {
    const int n = std::clamp(points->count, 0, kMaxSingularPoints);
    for (int i = 0; i < n; ++i)
        if (std::abs(int64_t(points->y[i]) - y) < kSingularPointClearance) return true;
    return false;
}

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

// An image pass's source inside a frame of zeros, with a mask of ones where
// the image is: every filter tap can then be read, and a tap outside adds nothing to the sum
// nor (through the mask) to the weight, as FilterPixel has it near the border. The right frame
// is wide enough for a last group of sixteen that runs past the row.
class FilterSource {
 public:
    static constexpr int kLeft = kFilterReach;
    static constexpr int kGroup = 16;
    FilterSource(int width, int height)
        : width_(width), height_(height), stride_(width + kLeft + kFilterReach + kGroup),
          pixels_(size_t(stride_) * (height + 2 * kFilterReach), 0), mask_(pixels_.size(), 0) {
        for (int y = 0; y < height; ++y) std::fill_n(mask_.data() + Index(0, y), width, 1);
    }
    // Takes the image as a pass's source.
    void Load(uint8_t* const* image) {
        for (int y = 0; y < height_; ++y) std::memcpy(pixels_.data() + Index(0, y), image[y], size_t(width_));
    }
    int stride() const { return stride_; }
    int height() const { return height_; }
    size_t Index(int x, int y) const { return size_t(y + kFilterReach) * stride_ + size_t(x + kLeft); }
    const uint8_t* pixels() const { return pixels_.data(); }
    const uint8_t* mask() const { return mask_.data(); }
    // Whether every tap of pixels x..x+15 of row y lies inside the image.
    bool Inside(int x, int y) const {
        return y >= kFilterReach && y < height_ - kFilterReach && x >= kFilterReach &&
               x + kGroup <= width_ - kFilterReach;
    }

 private:
    int width_, height_, stride_;
    std::vector<uint8_t> pixels_, mask_;
};

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
// Sixteen bytes widened to 16-bit lanes.
MNT_WIDE [[gnu::always_inline]] inline __m256i Widen16(const uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// A tap's two pixels added, for sixteen neighbouring pixels (at most 510 each).
MNT_WIDE [[gnu::always_inline]] inline __m256i Tap16(const uint8_t* p, ptrdiff_t offset) {
    return _mm256_add_epi16(Widen16(p - offset), Widen16(p + offset));
}

// Two taps' weighted sums into 32-bit lanes, `weights` holding a's weight in its low half.
MNT_WIDE [[gnu::always_inline]] inline void AddPair(__m256i a, __m256i b, int32_t weights, __m256i& low,
                                                    __m256i& high) {
    const __m256i w = _mm256_set1_epi32(weights);
    low = _mm256_add_epi32(low, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), w));
    high = _mm256_add_epi32(high, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), w));
}
#endif

// The taps of every orientation as offsets into rows of one stride, made once per image pass.
class Kernels {
 public:
    explicit Kernels(int stride) {
        for (int o = 0; o < 120; ++o) {
            for (int k = 0; k < filter_c[o]; ++k) offset_[o][k] = ptrdiff_t(filter_y[o][k]) * stride + filter_x[o][k];
            // The centre is taken as tap -1 of a single pixel, paired with tap 0.
            for (int k = -1; k < filter_c[o]; k += 2) {
                const uint32_t first = uint32_t(k < 0 ? filter_w0[o] : filter_w[o][k]);
                const uint32_t next = k + 1 < filter_c[o] ? uint32_t(filter_w[o][k + 1]) : 0;
                weightPairs_[o][(k + 1) / 2] = int32_t(first | next << 16);
            }
        }
    }
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
    // The weighted sums of orientation o for sixteen neighbouring pixels, below 112211 x 256
    // (2^25) each: pixels 0-3 and 8-11 in `low`, 4-7 and 12-15 in `high` (the order of 16-bit
    // unpacking within 128-bit halves; packing the quotients back restores it). A tap's two
    // pixels add to at most 510 in 16-bit lanes, and two taps go to one multiply-add: every
    // weight is below 2^15, so each lane's products and their sum are exact.
    MNT_WIDE [[gnu::always_inline]] void Sum16(const uint8_t* p, int o, __m256i& low, __m256i& high) const {
        const ptrdiff_t* offset = offset_[o];
        const int32_t* pairs = weightPairs_[o];
        const __m256i zero = _mm256_setzero_si256();
        low = high = zero;
        AddPair(Widen16(p), Tap16(p, offset[0]), pairs[0], low, high);
        const int taps = filter_c[o];
        int k = 1;
        for (; k + 2 <= taps; k += 2) AddPair(Tap16(p, offset[k]), Tap16(p, offset[k + 1]), pairs[(k + 1) / 2], low, high);
        if (k < taps) AddPair(Tap16(p, offset[k]), zero, pairs[(k + 1) / 2], low, high);
    }
#endif
    // The same for one pixel.
    int32_t Sum(const uint8_t* p, int o) const {
        const ptrdiff_t* offset = offset_[o];
        const int32_t* weight = filter_w[o];
        int32_t sum = filter_w0[o] * int32_t(*p);
        for (int k = 0, taps = filter_c[o]; k < taps; ++k)
            sum += weight[k] * (int32_t(p[-offset[k]]) + int32_t(p[offset[k]]));
        return sum;
    }

 private:
    ptrdiff_t offset_[120][kFilterTaps] = {};
    // Weights two taps to a lane, the first in the low half, counting the centre as the tap
    // before tap 0 (zero past the last tap).
    int32_t weightPairs_[120][kFilterTaps / 2 + 1] = {};
};

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
// The 3 x 3 sums of sixteen neighbouring pixels in 16-bit lanes (at most 9 x 255).
MNT_WIDE [[gnu::always_inline]] inline __m256i Box16(const uint8_t* p, int stride) {
    __m256i sum = _mm256_setzero_si256();
    for (const uint8_t* row : {p - stride, p, p + stride})
        sum = _mm256_add_epi16(sum, _mm256_add_epi16(_mm256_add_epi16(Widen16(row - 1), Widen16(row)), Widen16(row + 1)));
    return sum;
}

// Pixels x..x+15 of row y, each by its own orientation o[j] (negative: left as it is, which is
// its source value; from 120 up: the mean of its 3 x 3 neighbourhood inside the image), as
// FilterPixel gives them. Orientations change slowly along a row, so sixteen pixels hold only
// a few: the filter of each distinct one runs on all sixteen at once and its sums are kept
// where it applies, each pixel's sum and divisor then taken to one quotient.
MNT_WIDE [[gnu::always_inline]] inline void FilterSixteen(const Kernels& kernels, const FilterSource& source, int x,
                                                          int y, const int16_t* o, uint8_t* out) {
    const size_t at = source.Index(x, y);
    const uint8_t* p = source.pixels() + at;
    const uint8_t* inside = source.mask() + at;
    const bool whole = source.Inside(x, y);
    const __m256i orientation = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(o));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i filtered = _mm256_cmpgt_epi16(orientation, _mm256_set1_epi16(-1));
    // Two bits a pixel where the pixel is filtered.
    unsigned todo = unsigned(_mm256_movemask_epi8(filtered));
    if (todo == 0) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        return;
    }
    // Sums and divisors in the lane order of Sum16; a divisor of one where nothing is kept.
    __m256i sumLow = zero, sumHigh = zero;
    __m256i divisorLow = _mm256_set1_epi32(1), divisorHigh = divisorLow;
    while (todo != 0) {
        const int one = o[__builtin_ctz(todo) / 2];
        __m256i low, high, take, weightLow, weightHigh;
        if (one < 120) {
            kernels.Sum16(p, one, low, high);
            if (whole) weightLow = weightHigh = _mm256_set1_epi32(kFilterDivisor);
            else kernels.Sum16(inside, one, weightLow, weightHigh);
            take = _mm256_cmpeq_epi16(orientation, _mm256_set1_epi16(int16_t(one)));
        } else {
            const __m256i sum = Box16(p, source.stride());
            low = _mm256_unpacklo_epi16(sum, zero);
            high = _mm256_unpackhi_epi16(sum, zero);
            if (whole) {
                weightLow = weightHigh = _mm256_set1_epi32(9);
            } else {
                const __m256i weight = Box16(inside, source.stride());
                weightLow = _mm256_unpacklo_epi16(weight, zero);
                weightHigh = _mm256_unpackhi_epi16(weight, zero);
            }
            take = _mm256_cmpgt_epi16(orientation, _mm256_set1_epi16(119));
        }
        // The 16-bit lane mask doubled to 32 bits, in the same order as the sums.
        const __m256i takeLow = _mm256_unpacklo_epi16(take, take), takeHigh = _mm256_unpackhi_epi16(take, take);
        sumLow = _mm256_blendv_epi8(sumLow, low, takeLow);
        sumHigh = _mm256_blendv_epi8(sumHigh, high, takeHigh);
        divisorLow = _mm256_blendv_epi8(divisorLow, weightLow, takeLow);
        divisorHigh = _mm256_blendv_epi8(divisorHigh, weightHigh, takeHigh);
        todo &= ~unsigned(_mm256_movemask_epi8(take));
    }
    const __m256i quotients =
        _mm256_packus_epi32(__m256i(simd::Quotient(simd::I32x8(sumLow), simd::I32x8(divisorLow))),
                            __m256i(simd::Quotient(simd::I32x8(sumHigh), simd::I32x8(divisorHigh))));
    const __m256i result = _mm256_blendv_epi8(Widen16(p), quotients, filtered);
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(result, result), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
}

// The pixels of a row in groups of sixteen (for processors with AVX2); o and out are padded to
// whole groups.
MNT_WIDE void FilterGroups(const Kernels& kernels, const FilterSource& source, int width, int y, const int16_t* o,
                           uint8_t* out) {
    for (int x = 0; x < width; x += FilterSource::kGroup) FilterSixteen(kernels, source, x, y, o + x, out + x);
}
#endif

// One pixel at a time, the same arithmetic in plain integers.
void FilterOneByOne(const Kernels& kernels, const FilterSource& source, int width, int y, const int16_t* o,
                    uint8_t* out) {
    for (int x = 0; x < width; ++x) {
        const size_t at = source.Index(x, y);
        const uint8_t* p = source.pixels() + at;
        const uint8_t* inside = source.mask() + at;
        out[x] = *p;
        if (o[x] < 0) continue;
        int32_t sum, weight;
        const bool whole = y >= kFilterReach && y < source.height() - kFilterReach && x >= kFilterReach &&
                           x < width - kFilterReach;
        if (o[x] < 120) {
            sum = kernels.Sum(p, o[x]);
            weight = whole ? kFilterDivisor : kernels.Sum(inside, o[x]);
        } else {
            sum = weight = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    sum += p[dy * source.stride() + dx];
                    weight += inside[dy * source.stride() + dx];
                }
        }
        // A mean of bytes: the quotient fits a byte.
        out[x] = uint8_t(sum / weight);
    }
}

// Filters every pixel of row y whose orientation orientationOf(x) gives (negative: left as it
// is). orientationOf is called once for each pixel, in order.
template <typename OrientationOf>
void FilterRow(const Kernels& kernels, const FilterSource& source, int width, int y, uint8_t* out,
               std::vector<int16_t>& orientations, std::vector<uint8_t>& results, OrientationOf orientationOf) {
    // Rounded up to whole groups; the pixels past the row are left alone.
    const size_t padded = (size_t(width) + FilterSource::kGroup - 1) / FilterSource::kGroup * FilterSource::kGroup;
    orientations.resize(padded);
    results.resize(padded);
    int16_t* o = orientations.data();
    for (int x = 0; x < width; ++x) o[x] = int16_t(orientationOf(x));
    std::fill(o + width, o + padded, int16_t(-1));
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
    if (simd::HasAvx2()) {
        FilterGroups(kernels, source, width, y, o, results.data());
        std::memcpy(out, results.data(), size_t(width));
        return;
    }
#endif
    FilterOneByOne(kernels, source, width, y, o, out);
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
            // Only rows within reach of a singular point need the distance test.
            const bool pointsNear = RowNearSingularPoint(singularPoints, y);
            for (int x = 0; x < width; ++x) {
                if (goodInWindow[x] <= half &&
                    !(pointsNear && IsSingularPointNear(singularPoints, y, x, kSingularPointClearance))) {
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
    FilterSource source(width, height);
    source.Load(image);
    const Kernels kernels(source.stride());
    std::vector<int16_t> orientationRow;
    std::vector<uint8_t> results;
    for (int y = 0; y < height; ++y) {
        const uint8_t* d = directions[y];
        FilterRow(kernels, source, width, y, image[y], orientationRow, results, [d](int x) { return d[x] & 0x7F; });
    }
}

MNT_HOT_LOOP void DirFilterImage(int width, int height, ByteImage image, uint32_t dirFilterRadius, uint32_t dirFilterPasses) {
    if (dirFilterPasses == 0) return;
    FilterSource source(width, height);
    const Kernels kernels(source.stride());
    std::vector<int16_t> orientationRow;
    std::vector<uint8_t> results;
    for (uint32_t pass = 0; pass < dirFilterPasses; ++pass) {
        OrientationCollector orientations(width, height, false);
        ComputePixelOrientations(width, height, image, dirFilterRadius, false, -1, orientations, false);
        source.Load(image);
        for (int y = 0; y < height; ++y) {
            const uint8_t* d = orientations.orientation().data() + size_t(y) * width;
            FilterRow(kernels, source, width, y, image[y], orientationRow, results, [d](int x) { return int(d[x]); });
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
    for (int y = 0; y < height; ++y) {
        // Only rows within reach of a singular point need the distance test.
        const bool pointsNear = RowNearSingularPoint(singularPoints, y);
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
    FilterSource source(width, height);
    const Kernels kernels(source.stride());
    std::vector<int16_t> orientationRow;
    std::vector<uint8_t> results;
    for (;;) {
        source.Load(image);
        bool filtered = false;
        for (int y = 0; y < height; ++y) {
            const uint8_t* d = directions[y];
            uint8_t* passes = passMap[y];
            // Most rows are done after a pass or two.
            uint8_t left = 0;
            for (int x = 0; x < width; ++x) left |= passes[x];
            if ((left & 0x07) == 0) continue;
            // The row has passes left, so it is filtered: without branches, a pixel with passes
            // left takes one off and gives its orientation, the others -1.
            filtered = true;
            FilterRow(kernels, source, width, y, image[y], orientationRow, results, [&](int x) {
                const int active = (passes[x] & 0x07) != 0;
                passes[x] = uint8_t(passes[x] - active);
                return ((d[x] & 0x7F) + 1) * active - 1;
            });
        }
        if (!filtered) return;
    }
}

}  // namespace mnt
