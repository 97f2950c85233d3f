// Ridge orientation per 16 x 16 block and per pixel, each with a quality value.
#include "engines/minutiae/directions.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engines/minutiae/hot.h"
#include "engines/minutiae/image_ops.h"
#include "engines/minutiae/quotient.h"
#include "engines/minutiae/window.h"

namespace mnt {
namespace {

// Directional differences of one pixel; only pixels with all eight neighbours contribute.
struct Differences {
    int64_t h, d1, v, d2;
};

// The four differences of the interior pixels of one row. Restrict-qualified parameters let
// the compiler vectorise the loop (restrict on locals did not).
template <typename T, bool squared>
void DifferenceRowInterior(int width, const uint8_t* __restrict up, const uint8_t* __restrict mid,
                           const uint8_t* __restrict down, T* __restrict h, T* __restrict d1, T* __restrict v,
                           T* __restrict d2) {
    auto term = [](int a, int b) {
        const int d = a - b;
        return squared ? T(d * d) : T(d < 0 ? -d : d);
    };
    for (int x = 1; x < width - 1; ++x) {
        const int p = mid[x];
        h[x] = term(p, mid[x - 1]) + term(p, mid[x + 1]);
        d1[x] = term(p, up[x - 1]) + term(p, down[x + 1]);
        v[x] = term(p, up[x]) + term(p, down[x]);
        d2[x] = term(p, up[x + 1]) + term(p, down[x - 1]);
    }
}

// Per-pixel values of the four differences for one row; zero where a pixel lacks a neighbour.
template <typename T>
void DifferenceRow(const std::vector<uint8_t>& img, int width, int height, int y, bool squared, T* row) {
    if (y < 1 || y >= height - 1 || width < 3) {
        std::fill(row, row + 4 * size_t(width), T(0));
        return;
    }
    // The interior is written whole below; only the two edge pixels of each channel stay zero.
    for (int c = 0; c < 4; ++c) row[size_t(c) * width] = row[size_t(c) * width + width - 1] = T(0);
    const uint8_t* up = img.data() + size_t(y - 1) * width;
    const uint8_t* mid = up + width;
    const uint8_t* down = mid + width;
    T* h = row;
    if (squared) DifferenceRowInterior<T, true>(width, up, mid, down, h, h + width, h + 2 * width, h + 3 * width);
    else DifferenceRowInterior<T, false>(width, up, mid, down, h, h + width, h + 2 * width, h + 3 * width);
}

// A row of orientations into a direction row, keeping its bad-area bits. Restrict-qualified
// rows let the loop vectorise (through the image's row pointers it went byte by byte).
void MergeOrientationRow(int width, const uint8_t* __restrict orientation, uint8_t* __restrict out) {
    for (int x = 0; x < width; ++x) out[x] = uint8_t((out[x] & kBadAreaBit) | orientation[x]);
}

class QualitySink : public PixelOrientationSink {
 public:
    QualitySink(int width, ByteImage directions, ByteImage quality)
        : width_(width), directions_(directions), quality_(quality) {}
    void PutRow(int y, const uint8_t* orientation, const uint8_t* quality) override {
        if (directions_ != nullptr) MergeOrientationRow(width_, orientation, directions_[y]);
        if (quality_ != nullptr) std::memcpy(quality_[y], quality, size_t(width_));
    }

 private:
    int width_;
    ByteImage directions_;
    ByteImage quality_;
};

int64_t PixelContrastThreshold(uint8_t contrastMin, uint32_t radius) {
    const int64_t side = 2 * int64_t(std::min<uint32_t>(radius, 65535)) + 1;
    return int64_t(contrastMin) * 2 * side * side;
}

}  // namespace

namespace {

// Truncating division. For 32-bit operands a double quotient cast to integer is exact (the
// true quotient is at least 1/|b| from the next integer, far more than the rounding error)
// and much cheaper than an integer division in this per-pixel path.
template <typename T>
inline T Quotient(T a, T b) {
    if constexpr (sizeof(T) <= sizeof(int32_t)) return T(double(a) / double(b));
    else return a / b;
}

// One implementation for 32-bit arithmetic, enough for the usual windows, and 64-bit for
// large sums. The four values lie on the orientation circle at 0, 30, 60 and 90; the pair
// of neighbours with the smallest sum is searched in the order 30-60, 60-90, 90-0, 0-30
// (bases 45, 75, 105, 15), a later pair replacing only with a strictly smaller sum.
template <typename T>
[[gnu::always_inline]] inline bool OrientationFrom(T h, T d1, T v, T d2, int64_t contrastThreshold,
                                                   Orientation& result, bool wantQuality = true) {
    const T values[4] = {h, d1, v, d2};
    int j = 1;  // index of the pair's member at the smaller angle
    T best = d1 + v;
    if (v + d2 < best) best = v + d2, j = 2;
    if (d2 + h < best) best = d2 + h, j = 3;
    if (h + d1 < best) best = h + d1, j = 0;
    const T lo = values[j], hi = values[(j + 1) & 3];
    const T below = values[(j + 3) & 3], above = values[(j + 2) & 3];
    const int base = 15 + 30 * j;
    const T mx = std::max(std::max(h, d1), std::max(v, d2));
    const T den = lo + hi + below + above - 4 * mx;
    if (den == 0) {
        result = {kNoOrientation, 255};
        return true;
    }
    // den is negative, so the orientation moves towards the smaller of lo and hi. The offset
    // stays within 15 for the chosen pair; the 32-bit path hands anything else to 64 bits.
    const T offset = Quotient<T>(15 * ((hi - lo) + 3 * (above - below)), den);
    const T absOffset = offset < 0 ? -offset : offset;
    if (sizeof(T) < sizeof(int64_t) && absOffset > 15) return false;
    // 120 is the same orientation as 0. Anything else outside 0..119 would spill into the
    // "none" value or the bad-area bit of a direction byte, so it is folded as well.
    int orientation = int(base + offset);
    if (orientation >= 120 || orientation < 0) orientation = ((orientation % 120) + 120) % 120;
    if (!wantQuality) {
        result = {orientation, 255};
        return true;
    }

    const T m = lo < hi ? lo : hi;
    const T o = lo > hi ? below : above;  // the value at right angles to the smaller one
    const T k = ((o - m) * (15 - absOffset)) / 30;
    T quality;
    if (k + o == 0) quality = 255;
    else quality = Quotient<T>((m < k ? 0 : m - k) * 255, k + o);
    // Kept within a byte: the ratio can leave 0..255 when the scaled diagonals exceed it.
    quality = std::clamp<T>(quality, 0, 255);
    if (contrastThreshold >= 0 && int64_t(mx) <= contrastThreshold) quality = 255;
    result = {orientation, int(quality)};
    return true;
}

}  // namespace

Orientation OrientationFromDifferences(int64_t h, int64_t d1, int64_t v, int64_t d2, int64_t contrastThreshold) {
    Orientation result;
    constexpr int64_t kSmall = int64_t(1) << 22;
    if (h < kSmall && d1 < kSmall && v < kSmall && d2 < kSmall && h >= 0 && d1 >= 0 && v >= 0 && d2 >= 0 &&
        OrientationFrom<int32_t>(int32_t(h), int32_t(d1), int32_t(v), int32_t(d2), contrastThreshold, result))
        return result;
    OrientationFrom<int64_t>(h, d1, v, d2, contrastThreshold, result);
    return result;
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
    // Whole rows of differences (zero where a pixel lacks a neighbour), added up block by block.
    std::vector<int32_t> row(4 * static_cast<size_t>(width));
    for (int y = 0; y < std::min(height, kBlockSize * blockRows); ++y) {
        DifferenceRow(img, width, height, y, false, row.data());
        Differences* blocks = sums.data() + size_t(y / kBlockSize) * blockColumns;
        for (int bx = 0; bx < blockColumns; ++bx) {
            int32_t h = 0, d1 = 0, v = 0, d2 = 0;
            for (int x = kBlockSize * bx; x < kBlockSize * bx + kBlockSize && x < width; ++x) {
                h += row[x];
                d1 += row[width + x];
                v += row[2 * width + x];
                d2 += row[3 * width + x];
            }
            blocks[bx].h += h;
            blocks[bx].d1 += d1;
            blocks[bx].v += v;
            blocks[bx].d2 += d2;
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

namespace {

// Branch-free choice between two values (ternaries here keep the compiler from vectorising).
inline int32_t Select(bool c, int32_t a, int32_t b) { return b ^ ((a ^ b) & -int32_t(c)); }

// Marks a flat pixel's base: no orientation, and quality 255.
constexpr int32_t kFlat = -1;

// The chosen pair of a row of window sums, the same arithmetic as OrientationFrom written
// without branches so that the compiler vectorises it (mispredicted pair choices made the pixel
// loop the costliest part of extraction). Restrict-qualified parameters let it vectorise.
template <bool squared, bool wantQuality>
void PairRow(int n, int32_t threshold, const int32_t* __restrict hs, const int32_t* __restrict d1s,
             const int32_t* __restrict vs, const int32_t* __restrict d2s, int32_t* __restrict numerators,
             int32_t* __restrict divisors, int32_t* __restrict bases, int32_t* __restrict smaller,
             int32_t* __restrict opposite, int32_t* __restrict quiet) {
    for (int x = 0; x < n; ++x) {
        const int32_t h = hs[x], v = vs[x];
        // Diagonal differences span sqrt(2) as far: x 71 / 100, or / 2 when squared.
        const int32_t d1 = squared ? d1s[x] / 2 : d1s[x] * 71 / 100;
        const int32_t d2 = squared ? d2s[x] / 2 : d2s[x] * 71 / 100;
        // Pairs in the order 30-60, 60-90, 90-0, 0-30; a later one wins only when strictly smaller.
        int32_t best = d1 + v, j = 1;
        const int32_t p2 = v + d2, p3 = d2 + h, p0 = h + d1;
        bool less = p2 < best;
        j = Select(less, 2, j);
        best = Select(less, p2, best);
        less = p3 < best;
        j = Select(less, 3, j);
        best = Select(less, p3, best);
        j = Select(p0 < best, 0, j);
        const bool j0 = j == 0, j1 = j == 1, j2 = j == 2;
        const int32_t lo = Select(j0, h, Select(j1, d1, Select(j2, v, d2)));
        const int32_t hi = Select(j0, d1, Select(j1, v, Select(j2, d2, h)));
        const int32_t below = Select(j0, d2, Select(j1, h, Select(j2, d1, v)));
        const int32_t above = Select(j0, v, Select(j1, d2, Select(j2, h, d1)));
        const int32_t mx = std::max(std::max(h, d1), std::max(v, d2));
        const int32_t den = h + d1 + v + d2 - 4 * mx;
        const bool flat = den == 0;
        // den is negative unless flat: the offset is num / den truncated, |num| / -den with num's
        // sign flipped.
        numerators[x] = 15 * ((hi - lo) + 3 * (above - below));
        divisors[x] = Select(flat, 1, -den);
        bases[x] = Select(flat, kFlat, 15 + 30 * j);
        if constexpr (wantQuality) {
            smaller[x] = std::min(lo, hi);
            opposite[x] = Select(lo > hi, below, above);  // at right angles to the smaller one
            quiet[x] = (threshold >= 0) & (mx <= threshold);
        }
    }
}

// Orientations from the pairs: pixels whose offset leaves the chosen pair (where 32-bit
// quality could overflow) are marked to be done again in 64 bits.
void OffsetRow(int n, const int32_t* __restrict numerators, const int32_t* __restrict divisors,
               const int32_t* __restrict bases, int32_t* __restrict orientations, int32_t* __restrict redo,
               int32_t* __restrict magnitudes) {
    for (int x = 0; x < n; ++x) {
        const int32_t num = numerators[x], base = bases[x];
        const int32_t magnitude = BoundedQuotient(std::abs(num), divisors[x], 16);
        const int32_t offset = Select(num > 0, -magnitude, magnitude);
        int32_t orientation = base + offset;
        orientation = Select(orientation == 120, 0, orientation);
        const bool flat = base == kFlat;
        orientations[x] = Select(flat, kNoOrientation, orientation);
        redo[x] = int32_t(!flat & (magnitude > 15));
        magnitudes[x] = magnitude;
    }
}

void QualityRow(int n, const int32_t* __restrict smaller, const int32_t* __restrict opposite,
                const int32_t* __restrict magnitudes, const int32_t* __restrict bases,
                const int32_t* __restrict quiet, int32_t* __restrict qualities) {
    for (int x = 0; x < n; ++x) {
        const int32_t m = smaller[x], o = opposite[x];
        const int32_t k = (o - m) * (15 - magnitudes[x]) / 30;
        const int32_t kd = k + o;
        // A negative divisor gives a ratio of at most zero, which the clamp makes zero.
        const int32_t ratio = BoundedQuotient(std::max(m - k, 0) * 255, Select(kd > 0, kd, 1), 256);
        const int32_t quality = Select(kd < 0, 0, std::min(ratio, 255));
        qualities[x] = Select((kd == 0) | (bases[x] == kFlat) | (quiet[x] != 0), 255, quality);
    }
}

// Rows of intermediate values for OrientationRow32, each with room for whole vectors.
class OrientationScratch {
 public:
    enum Row { kNumerator, kDivisor, kBase, kSmaller, kOpposite, kQuiet, kMagnitude, kRows };
    explicit OrientationScratch(size_t room) : room_(room), values_(kRows * room, 0) {}
    int32_t* operator[](Row row) { return values_.data() + size_t(row) * room_; }

 private:
    size_t room_;
    std::vector<int32_t> values_;
};

// The 32-bit orientation (and quality) of a whole row of window sums. Three loops, not one: a
// pixel's arithmetic is one long chain of dependent steps (two of them divisions), longer than
// the processor can overlap from one pixel's vector to the next.
template <bool squared, bool wantQuality>
void OrientationRow32(int width, const int32_t* sums, int64_t contrastThreshold, OrientationScratch& scratch,
                      int32_t* orientations, int32_t* qualities, int32_t* redo) {
    using S = OrientationScratch;
    // Beyond 32 bits the threshold is above every sum; negative means none.
    const int32_t threshold = int32_t(std::min<int64_t>(contrastThreshold, INT32_MAX));
    // Whole vectors to the row's end: the scalar remainder cost as much as a tenth of the row.
    // The values past the width (the next channel's, or the spare tail of the sums) are sums
    // all the same, and their results are never read.
    const int padded = (width + kSumsTail - 1) / kSumsTail * kSumsTail;
    PairRow<squared, wantQuality>(padded, threshold, sums, sums + width, sums + 2 * width, sums + 3 * width,
                                  scratch[S::kNumerator], scratch[S::kDivisor], scratch[S::kBase],
                                  scratch[S::kSmaller], scratch[S::kOpposite], scratch[S::kQuiet]);
    OffsetRow(padded, scratch[S::kNumerator], scratch[S::kDivisor], scratch[S::kBase], orientations, redo,
              scratch[S::kMagnitude]);
    if constexpr (wantQuality)
        QualityRow(padded, scratch[S::kSmaller], scratch[S::kOpposite], scratch[S::kMagnitude], scratch[S::kBase],
                   scratch[S::kQuiet], qualities);
}

void Narrow(int width, const int32_t* __restrict from, uint8_t* __restrict to) {
    for (int x = 0; x < width; ++x) to[x] = uint8_t(from[x]);
}

template <typename T>
void PixelOrientations(int width, int height, const std::vector<uint8_t>& img, int r, bool squared,
                       int64_t contrastThreshold, PixelOrientationSink& sink, bool wantQuality) {
    // Room for the whole vectors OrientationRow32 writes past the width.
    const size_t room = size_t(width) + kSumsTail;
    std::vector<uint8_t> orientation(room), quality(room, 255), redo(room);
    // The row's results in 32-bit lanes: with bytes the compiler runs 32 pixels an iteration,
    // more values than the registers hold.
    std::vector<int32_t> wide(3 * room, 255);
    OrientationScratch scratch(room);
    ForEachWindowSumRow<T>(
        width, height, r, 4, [&](int y, T* row) { DifferenceRow(img, width, height, y, squared, row); },
        [&](int y, const T* sums) {
            if constexpr (sizeof(T) == sizeof(int32_t)) {
                // Direct calls, so that they are inlined into each build of the caller.
                int32_t* o = wide.data();
                int32_t* q = o + room;
                int32_t* again = q + room;
                if (squared && wantQuality) OrientationRow32<true, true>(width, sums, contrastThreshold, scratch, o, q, again);
                else if (squared) OrientationRow32<true, false>(width, sums, contrastThreshold, scratch, o, q, again);
                else if (wantQuality) OrientationRow32<false, true>(width, sums, contrastThreshold, scratch, o, q, again);
                else OrientationRow32<false, false>(width, sums, contrastThreshold, scratch, o, q, again);
                Narrow(width, o, orientation.data());
                if (wantQuality) Narrow(width, q, quality.data());
                Narrow(width, again, redo.data());
            } else {
                std::fill(redo.begin(), redo.end(), uint8_t(1));
            }
            // Rarely any pixel needs it: the row is checked whole first.
            uint8_t any = 0;
            for (int x = 0; x < width; ++x) any |= redo[x];
            for (int x = 0; any != 0 && x < width; ++x) {
                if (!redo[x]) continue;
                const int64_t d1 = sums[width + x], d2 = sums[3 * width + x];
                const int64_t h = sums[x], v = sums[2 * width + x];
                const int64_t sd1 = squared ? d1 / 2 : d1 * 71 / 100;
                const int64_t sd2 = squared ? d2 / 2 : d2 * 71 / 100;
                Orientation o;
                OrientationFrom<int64_t>(h, sd1, v, sd2, contrastThreshold, o, wantQuality);
                orientation[x] = uint8_t(o.orientation);
                quality[x] = uint8_t(o.quality);
            }
            sink.PutRow(y, orientation.data(), quality.data());
        });
}

}  // namespace

MNT_HOT_LOOP void ComputePixelOrientations(int width, int height, const ByteImage image, uint32_t radius, bool squared,
                              int64_t contrastThreshold, PixelOrientationSink& sink, bool wantQuality) {
    if (width <= 0 || height <= 0) return;
    const auto img = Linear(width, height, image);
    const int r = ClipRadius(radius, width, height);
    // 32-bit sums are enough unless the window is large: a pixel adds at most 510 (or
    // 2 x 255^2 squared) to a channel.
    const int64_t side = 2 * int64_t(r) + 1;
    const int64_t pixels = std::min(side * side, int64_t(width) * height);
    const int64_t most = pixels * (squared ? 2 * 255 * 255 : 510);
    // The 32-bit orientation arithmetic needs sums below 2^22 (OrientationFromDifferences).
    if (most < (int64_t(1) << 22))
        PixelOrientations<int32_t>(width, height, img, r, squared, contrastThreshold, sink, wantQuality);
    else
        PixelOrientations<int64_t>(width, height, img, r, squared, contrastThreshold, sink, wantQuality);
}

void CDI_Dir(int width, int height, const ByteImage image, ByteImage directions, uint32_t dirRadius,
             uint8_t dirContrastMin, uint32_t squaredDifferences) {
    QualitySink sink(width, directions, nullptr);
    ComputePixelOrientations(width, height, image, dirRadius, squaredDifferences != 0,
                             PixelContrastThreshold(dirContrastMin, dirRadius), sink);
}

void CDI_Noise(int width, int height, ByteImage image, uint32_t noiseRadius, uint8_t dirContrastMin,
               uint32_t /*squaredDifferences: the quality always uses absolute differences*/) {
    QualitySink sink(width, nullptr, image);
    ComputePixelOrientations(width, height, image, noiseRadius, false,
                             PixelContrastThreshold(dirContrastMin, noiseRadius), sink);
}

void ComputeDirImageSimple(int width, int height, ByteImage image, ByteImage directions, uint32_t dirRadius,
                           uint8_t dirContrastMin) {
    QualitySink sink(width, directions, image);
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

