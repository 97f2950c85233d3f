// Image post-processing of an assembled swipe image, in the order the quality verdict relies on.
#include "tcs/imaging/reconstruction/post_process.h"

#include "tcs/imaging/reconstruction/analog_recon.h"
#include "tcs/imaging/reconstruction/baseline.h"
#include "tcs/imaging/reconstruction/correlate.h"
#include "tcs/imaging/reconstruction/quality.h"
#include "tcs/imaging/reconstruction/recon_memory.h"
#include "tcs/imaging/reconstruction/recon_state.h"
#include "tcs/imaging/reconstruction/scan_line.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace {

constexpr uint32_t kMinRows = 75;
constexpr uint32_t kCentreWindow = 64;
constexpr uint32_t kMaxColumns = 512;
constexpr int32_t kFixedOne = 0x100000;
constexpr int32_t kCos[12] = {1048576, 1043527, 1028428, 1003425, 968758, 924761,
                              871859,  810560,  741455,  665210,  582558, 494295};
constexpr int32_t kSin[12] = {0, 102778, 204567, 304386, 401273, 494295, 582558, 665210, 741455, 810560, 871859, 924761};

struct Mark {
    uint32_t distance;  // to the next row with real data; 0 for a real row
    int32_t xLag;
};

Mark decode(uint8_t byte) {
    const int32_t v = int8_t(byte);
    const int32_t a = abs(v);
    return Mark{uint32_t(a & 7), v < 0 ? -(a >> 3) : (a >> 3)};
}

// Pixels of an image with one byte per pixel, or two 4-bit pixels per byte (first in the high half).
struct Pixels {
    uint8_t* image;
    uint32_t columns;
    bool packed;
    uint32_t rowBytes() const { return packed ? columns / 2 : columns; }
    uint8_t get(uint32_t r, uint32_t c) const {
        const uint8_t b = image[size_t(r) * rowBytes() + (packed ? c / 2 : c)];
        return packed ? uint8_t((c & 1) ? uint8_t(b << 4) : uint8_t(b & 0xF0)) : b;
    }
    void set(uint32_t r, uint32_t c, uint8_t v) const {
        uint8_t& b = image[size_t(r) * rowBytes() + (packed ? c / 2 : c)];
        if (!packed) {
            b = v;
        } else if (c & 1) {
            b = uint8_t((b & 0xF0) | (v >> 4));
        } else {
            b = uint8_t((b & 0x0F) | (v & 0xF0));
        }
    }
    void readRow(uint32_t r, uint8_t* out) const {
        if (packed) unpack4bitRow(image + size_t(r) * rowBytes(), out, columns, 1);
        else memcpy(out, image + size_t(r) * columns, columns);
    }
    void writeRow(uint32_t r, const uint8_t* in) const {
        if (packed) pack4bitRow(in, image + size_t(r) * rowBytes(), columns / 2, 1);
        else memcpy(image + size_t(r) * columns, in, columns);
    }
};

uint32_t fiveSum(const uint8_t* p, uint32_t at) { return uint32_t(p[at]) + p[at + 1] + p[at + 2] + p[at + 3] + p[at + 4]; }

// Straight line across a run of columns [from, to] between the columns next to it.
void bridgeColumns(const Pixels& px, uint32_t rows, uint32_t from, uint32_t to) {
    const uint32_t columns = px.columns;
    if (from > to || to >= columns) return;
    const int32_t left = from > 0 ? int32_t(from) - 1 : int32_t(to) + 1;
    const int32_t right = to + 1 < columns ? int32_t(to) + 1 : left;
    if (left < 0 || left >= int32_t(columns)) return;
    for (uint32_t r = 0; r < rows; ++r) {
        const int32_t a = px.get(r, uint32_t(left)), b = px.get(r, uint32_t(right));
        const int32_t span = int32_t(to - from) + 2;
        for (uint32_t c = from; c <= to; ++c) {
            const int32_t k = int32_t(c - from) + 1;
            px.set(r, c, uint8_t(from > 0 ? (a * (span - k) + b * k) / span : b));
        }
    }
}

// Packed images are sampled as 8-bit values (nibble << 4) and written back to the nearest nibble.
void rotate(IrReconState& s, const Pixels& px, uint32_t rows) {
    const uint32_t columns = px.columns;
    const size_t bytes = size_t(rows) * px.rowBytes();
    uint8_t* frame = s.options != nullptr ? s.options->frameBuffer : nullptr;
    if (frame == nullptr || s.options->frameBufferSize < bytes) return;
    const Pixels out{frame, columns, px.packed};
    int32_t index = int32_t(s.results.driftCompanion) * 8 / int32_t(s.defaultLag);
    const int32_t steps = std::min(abs(index), 11);
    const int32_t cosine = kCos[steps];
    const int32_t sine = index > 0 ? -kSin[steps] : kSin[steps];
    const int64_t cx = int64_t(columns) << 19, cy = int64_t(rows) << 19;  // centre in 20-bit fixed point
    for (uint32_t r = 0; r < rows; ++r) {
        const int64_t dy = (int64_t(r) << 20) - cy;
        // Source position of the row's first pixel; it advances by (cosine, sine) per output pixel.
        int64_t sx = cx + ((-cx) * cosine >> 20) - (dy * sine >> 20);
        int64_t sy = cy + ((-cx) * sine >> 20) + (dy * cosine >> 20);
        for (uint32_t c = 0; c < columns; ++c, sx += cosine, sy += sine) {
            const int64_t x0 = sx >> 20, y0 = sy >> 20;
            uint8_t value = 255;
            if (x0 >= 0 && y0 >= 0 && x0 + 1 < int64_t(columns) && y0 + 1 < int64_t(rows)) {
                const int64_t fx = sx & (kFixedOne - 1), fy = sy & (kFixedOne - 1);
                const uint32_t x = uint32_t(x0), y = uint32_t(y0);
                const int64_t top = px.get(y, x) * (kFixedOne - fx) + px.get(y, x + 1) * fx;
                const int64_t bottom = px.get(y + 1, x) * (kFixedOne - fx) + px.get(y + 1, x + 1) * fx;
                int64_t v = ((top >> 10) * (kFixedOne - fy) + (bottom >> 10) * fy + (int64_t(1) << 29)) >> 30;
                if (px.packed) v += 8;
                value = uint8_t(std::clamp<int64_t>(v, 0, 255));
            }
            out.set(r, c, value);
        }
    }
    memcpy(px.image, frame, bytes);
}

}  // namespace

void FindFingerBounds(const uint8_t* pixels, uint32_t s, uint32_t e, FingerBounds* bounds, uint32_t index) {
    if (pixels == nullptr || bounds == nullptr || e <= s) return;
    // The halves split at the middle of [s, e): splitting at e / 2 misplaced every range not starting at 0.
    const uint32_t mid = (s + e) / 2;
    uint32_t sum1 = 0, sum2 = 0;
    for (uint32_t i = s; i < mid; ++i) sum1 += pixels[i];
    for (uint32_t i = mid; i < e; ++i) sum2 += pixels[i];
    const int32_t m1 = mid > s ? int32_t(sum1 / (mid - s)) : 0, m2 = int32_t(sum2 / (e - mid));
    FingerBounds& b = bounds[index];
    if (m1 + m2 > 439) {
        b = FingerBounds{0, 0};
        return;
    }
    const int32_t c1 = std::min(m1, 225), c2 = std::min(m2, 225);
    if (s + 6 >= e) {
        b = FingerBounds{uint16_t(s), uint16_t(e)};
        return;
    }
    const int32_t t1 = std::max(c1 > c2 + 48 ? 5 * c1 - 120 : 5 * c1 + 40, 0);
    uint32_t start = s;
    if (int32_t(fiveSum(pixels, s)) > t1) {
        uint32_t p = s + 1;
        while (p < e - 6 && int32_t(fiveSum(pixels, p)) > t1) ++p;
        start = p >= e - 6 ? s : p;
    }
    const int32_t t2 = std::max(c1 + 48 < c2 ? 5 * c2 - 120 : 5 * c2 + 40, 0);
    uint32_t end;
    if (int32_t(fiveSum(pixels, e - 6)) <= t2) {
        end = e - 6;
    } else {
        uint32_t p = e - 7;
        while (p > s && int32_t(fiveSum(pixels, p)) > t2) --p;
        end = p <= s ? e : p;
    }
    b = FingerBounds{uint16_t(start), uint16_t(end)};
}

void NormalizeGrayscaleValuesMethod1(uint8_t* pixels, uint32_t s, uint32_t e, uint32_t os, uint32_t oe,
                                     uint32_t lp, uint32_t hp) {
    if (pixels == nullptr || e <= s) return;
    uint32_t lowest = 255, highest = 0, hist[256] = {};
    for (uint32_t i = s; i < e; ++i) {
        lowest = std::min<uint32_t>(lowest, pixels[i]);
        highest = std::max<uint32_t>(highest, pixels[i]);
    }
    for (uint32_t i = s; i < e; ++i) ++hist[pixels[i] - lowest];
    const uint32_t n = e - s;
    int32_t lo = int32_t(lowest), hi = int32_t(highest);
    const uint32_t lowTarget = lp * n / 100, highTarget = (100 - std::min(hp, 100u)) * n / 100;
    for (uint32_t i = 0, run = 0; i <= highest - lowest; ++i) {
        run += hist[i];
        if (run >= lowTarget) {
            lo = int32_t(lowest + i);
            break;
        }
    }
    for (uint32_t i = highest - lowest + 1, run = 0; i-- > 0;) {
        run += hist[i];
        if (run >= highTarget) {
            hi = int32_t(lowest + i);
            break;
        }
    }
    int32_t scale;
    if (hi - lo <= 9) {
        lo = 127;
        hi = 128;
        scale = 32768;
    } else {
        scale = 65536 / (hi - lo + 1);
    }
    for (uint32_t i = os; i < oe; ++i) {
        const int32_t v = pixels[i];
        pixels[i] = v < lo ? 0 : (v > hi ? 255 : uint8_t(std::min((v - lo) * scale / 256, 255)));
    }
}

TcsResult IRConstrastEnhanceImageCols(IrReconState* state, uint8_t* pixels, uint32_t packed, uint32_t rows,
                                      uint32_t columns) {
    if (state == nullptr || pixels == nullptr || columns > kMaxColumns) return TCS_RESULT_OK;
    const Pixels px{pixels, columns, packed != 0};
    uint8_t* column = volatileMemAlloc(state->volatileArea, std::max(4 * columns, rows + 4));
    if (column == nullptr) return TCS_RESULT_BUFFER_TOO_SMALL;
    const bool short4 = (state->cfgInfo & kCfgShortLines) != 0;
    for (uint32_t c = 0; c < columns; ++c) {
        for (uint32_t r = 0; r < rows; ++r) column[r] = px.get(r, c);
        FingerBounds b{};
        FindFingerBounds(column, 0, rows, &b, 0);
        const int32_t m = b.end != 0 ? (int32_t(b.end) - int32_t(b.start)) / 10 : -int32_t(b.start) / 4;
        int32_t lo = int32_t(b.start) + m, hi = int32_t(b.end) - m;
        if (hi - lo <= 63 && b.start != 0 && b.end != 0) {
            lo = std::max(lo - 32, 0);
            hi = hi + 32 >= int32_t(rows) ? int32_t(rows) - 1 : hi + 32;
        }
        lo = std::clamp(lo, 0, int32_t(rows) - 1);
        hi = std::clamp(hi, lo + 1, int32_t(rows));
        NormalizeGrayscaleValuesMethod1(column, uint32_t(lo), uint32_t(hi), 0, rows, short4 ? 3 : 1, short4 ? 96 : 94);
        for (uint32_t r = 0; r < rows; ++r) px.set(r, c, column[r]);
    }
    volatileMemFree(state->volatileArea, column);
    return TCS_RESULT_OK;
}

TcsResult IRConstrastEnhanceImageRows(IrReconState* state, uint8_t* pixels, uint32_t packed, uint32_t rows,
                                      uint32_t columns) {
    if (state == nullptr || pixels == nullptr || rows == 0 || columns > kMaxColumns) return TCS_RESULT_OK;
    const Pixels px{pixels, columns, packed != 0};
    FingerBounds* bounds =
        reinterpret_cast<FingerBounds*>(volatileMemAlloc(state->volatileArea, rows * sizeof(FingerBounds)));
    if (bounds == nullptr) return TCS_RESULT_BUFFER_TOO_SMALL;
    uint8_t row[kMaxColumns];
    for (uint32_t r = 0; r < rows; ++r) {
        px.readRow(r, row);
        FindFingerBounds(row, 0, columns, bounds, r);
    }
    const uint32_t from = std::min<uint32_t>(rows / 4, 40), to = rows > 359 ? 7 * rows / 8 : (rows > 20 ? rows - 20 : 0);
    for (uint32_t r = std::max(from, 1u); r < to; ++r) {
        if (bounds[r].start > bounds[r - 1].start + 10) bounds[r].start = bounds[r - 1].start;
        if (bounds[r].end + 10 < bounds[r - 1].end) bounds[r].end = bounds[r - 1].end;
    }
    const bool short4 = (state->cfgInfo & kCfgShortLines) != 0;
    for (uint32_t r = 0; r < rows; ++r) {
        uint32_t lo = 50, hi = columns > 50 ? columns - 50 : columns;
        const int32_t w = int32_t(bounds[r].end) - int32_t(bounds[r].start);
        if (w > 20) {
            lo = bounds[r].start + uint32_t(w) / 8;
            hi = bounds[r].end - uint32_t(w) / 8 + 1;
        }
        hi = std::min(hi, columns);
        if (lo >= hi) continue;
        px.readRow(r, row);
        NormalizeGrayscaleValuesMethod1(row, lo, hi, 0, columns, short4 ? 3 : 5, 99);
        px.writeRow(r, row);
    }
    volatileMemFree(state->volatileArea, reinterpret_cast<uint8_t*>(bounds));
    return TCS_RESULT_OK;
}

uint32_t doFingerWidthAnalysis(const uint8_t* pixels, uint32_t rows, uint32_t columns, uint32_t firstColumn,
                               const uint8_t* rowMarks, uint16_t* leftMargin, uint16_t* rightMargin, uint32_t packed) {
    uint16_t left = 0, right = 0;
    const uint32_t width = std::min(columns, kMaxColumns);
    uint32_t profile[kMaxColumns] = {};
    uint32_t counted = 0;
    for (uint32_t r = 0; r < rows && pixels != nullptr; ++r) {
        if (rowMarks != nullptr && decode(rowMarks[r]).distance != 0) continue;
        ++counted;
        if (packed) {
            // Pairs of 4-bit pixels count when both are dark or both are light.
            const uint8_t* row = pixels + size_t(r) * (columns / 2);
            for (uint32_t c = firstColumn; c + 1 < width; c += 2) {
                const uint32_t hi = row[c / 2] & 0xF0, lo = uint32_t(row[c / 2] << 4) & 0xF0;
                const uint32_t both = (hi <= 80 && lo <= 80) || (hi >= 160 && lo >= 160);
                profile[c] += both;
                profile[c + 1] += both;
            }
            continue;
        }
        const uint8_t* row = pixels + size_t(r) * columns;
        for (uint32_t c = firstColumn; c < width; ++c) profile[c] += row[c] >= 100 && row[c] <= 180;
    }
    // Guarded: without a single real row there is nothing to scale by.
    uint32_t sum = 0, peak = 0;
    for (uint32_t c = 0; c < width; ++c) {
        profile[c] = counted > 0 ? std::min<uint32_t>(128 * profile[c] / counted, 255) : 0;
        sum += profile[c];
        peak = std::max(peak, profile[c]);
    }
    if (width > 2 && counted > 0) {
        const uint32_t base = width > 0 ? sum / width / 2 : 0;
        uint32_t threshold = base, count = 0;
        for (uint32_t c = firstColumn + 1; c < width / 2; ++c) {
            const bool empty = profile[c] <= threshold && profile[c - 1] <= threshold;
            if (empty) {
                ++count;
                if (count > 19) threshold = std::max(base, std::min(count / 3, 15u));
            } else if (c > 15) {
                break;
            }
        }
        left = uint16_t(count + count / 3);
        threshold = base;
        count = 0;
        for (uint32_t c = width - 2; c > width / 2; --c) {
            const bool empty = profile[c] <= threshold && profile[c + 1] <= threshold;
            if (empty) {
                ++count;
                if (count > 19) threshold = std::max(base, std::min(count / 3, 15u));
            } else if (c + 15 < width - 1) {
                break;
            }
        }
        right = uint16_t(count + count / 3);
        for (uint32_t c = 0; c + 11 < width && c < 60; ++c) {
            if (profile[c] >= 5) continue;
            bool quiet = true;
            for (uint32_t k = 1; k <= 10 && quiet; ++k) quiet = profile[c + k] <= 2;
            if (quiet) left = std::max<uint16_t>(left, uint16_t(c + 10));
        }
        for (uint32_t k0 = 0; k0 + 11 < width && k0 < 60; ++k0) {
            const uint32_t c = width - 1 - k0;
            if (profile[c] >= 5) continue;
            bool quiet = true;
            for (uint32_t k = 1; k <= 10 && quiet; ++k) quiet = profile[c - k] <= 2;
            if (quiet) right = std::max<uint16_t>(right, uint16_t(k0 + 10));
        }
        if (peak < 19) left = right = uint16_t(width / 2);
        if (left >= 16) left -= 15;
        if (right >= 16) right -= 15;
    }
    if (leftMargin != nullptr) *leftMargin = left;
    if (rightMargin != nullptr) *rightMargin = right;
    return right;
}

uint32_t IRapplyXLagOffset(uint8_t* row, int32_t offset, int32_t baseOffset, uint32_t width, uint32_t packed,
                           uint32_t firstColumn, uint8_t fill, uint32_t fillMode, uint32_t rowIndex, int16_t* leftLimits,
                           int16_t* rightLimits) {
    (void)firstColumn;
    if (row == nullptr || width == 0) return 0;
    int32_t shift = offset / 1024 - baseOffset;
    if (packed) shift /= 2;
    if (shift == 0) return 0;
    if (uint32_t(abs(shift)) > width) {
        memset(row, fill, width);
        return 1;
    }
    uint8_t copy[kMaxColumns];
    const uint32_t w = std::min(width, kMaxColumns);
    memcpy(copy, row, w);
    for (uint32_t c = 0; c < w; ++c) {
        const int32_t from = int32_t(c) - shift;
        if (from >= 0 && from < int32_t(w)) {
            row[c] = copy[from];
        } else {
            row[c] = fillMode ? fill : copy[(from + int32_t(w)) % int32_t(w)];
        }
    }
    if (leftLimits != nullptr && rightLimits != nullptr) {
        if (shift > 0) {
            leftLimits[rowIndex] = 0;
            rightLimits[rowIndex] = int16_t(shift);
        } else {
            leftLimits[rowIndex] = int16_t(int32_t(w) + shift);
            rightLimits[rowIndex] = int16_t(w - 1);
        }
    }
    return 0;
}

TcsResult IRSkewCorrectImage(IrReconState* state, uint8_t* pixels, uint32_t packed, const uint8_t* rowMarks,
                             uint32_t rows, uint32_t columns, uint32_t unused, uint32_t option, int16_t* leftLimits,
                             int16_t* rightLimits, uint32_t flip) {
    (void)unused;
    if (state == nullptr || pixels == nullptr || rowMarks == nullptr || state->defaultLag == 0) return TCS_RESULT_OK;
    const int32_t step = 1024 / state->defaultLag;
    const int32_t sign = flip ? -1 : 1;
    int32_t base = 0;
    if (rows >= 2) {
        int32_t sum = 0;
        for (uint32_t r = 0; r < rows / 2; ++r) sum += sign * decode(rowMarks[r]).xLag * step;
        base = -sum / 1024;
    }
    const uint32_t width = packed ? columns / 2 : columns;
    int32_t offset = 0;
    for (uint32_t r = 0; r < rows; ++r) {
        if (IRapplyXLagOffset(pixels + size_t(r) * width, offset, -base, width, packed, 0, 255, option, r, leftLimits,
                              rightLimits) == 1) {
            break;
        }
        offset += sign * decode(rowMarks[r]).xLag * step;
    }
    return TCS_RESULT_OK;
}

TcsResult IRpostProcessImage(IrReconState* state, uint8_t* rowMarks) {
    if (state == nullptr || rowMarks == nullptr) return TCS_RESULT_NULL_POINTER;
    IrReconState& s = *state;
    IrReconResults& res = s.results;
    const uint32_t rows = res.rows, columns = res.columns;
    if (rows < kMinRows || columns == 0) return 1;
    const bool packed = (s.cfgInfo & kCfgPackedImage) != 0;
    const uint32_t rowBytes = packed ? columns / 2 : columns;
    uint8_t* image = s.image;

    if (s.cfgInfo & kCfgAnalogReconImage) IRanalogReconImage(&s, image, packed, rows, columns, 0);
    if (s.cfgInfo & kCfgBaselineCorrectImage) IRbaselineCorrectImage(&s, s.baselineLine, image, 0, rows, rowBytes, 0);

    const Pixels px{image, columns, packed};
    if (!packed) {
        IRhandleInvertAndFlip(&s, 0, 1, image, columns, rows);
    } else if (columns <= kMaxColumns) {
        uint8_t row[kMaxColumns];
        uint32_t mirrored = 0;
        for (uint32_t r = 0; r < rows; ++r) {
            px.readRow(r, row);
            mirrored = IRhandleInvertAndFlip(&s, 0, 0, row, columns, 1);
            px.writeRow(r, row);
        }
        if (mirrored) std::swap(res.leftMargin, res.rightMargin);
    }
    res.meanXDrift = int16_t(-res.meanXDrift);
    res.driftCompanion = int8_t(-res.driftCompanion);

    // Skipped rows between real ones.
    uint32_t lastReal = 0;
    for (uint32_t r = 1; r + 1 < rows; ++r) {
        const uint32_t g = decode(rowMarks[r]).distance;
        if (g == 0) {
            lastReal = r;
            continue;
        }
        if (r + g >= rows) continue;
        IRinterpolateLine(image + size_t(r) * rowBytes, image + size_t(lastReal) * rowBytes,
                          image + size_t(r + g) * rowBytes, r - lastReal, r + g - lastReal, columns, packed ? 1 : 0);
    }

    if (s.cfgInfo & kCfgContrastRows) IRConstrastEnhanceImageRows(&s, image, packed, rows, columns);
    if (s.cfgInfo & kCfgContrastCols) IRConstrastEnhanceImageCols(&s, image, packed, rows, columns);

    if ((s.cfgInfo & kCfgDarkColumns) && columns <= kMaxColumns) {
        uint8_t dark[kMaxColumns] = {};
        for (uint32_t c = 0; c < columns; ++c) {
            uint32_t sum = 0;
            for (uint32_t r = 0; r < rows; ++r) sum += px.get(r, c);
            dark[c] = sum / rows < 80;
        }
        for (uint32_t c = 0; c + 30 < columns;) {
            if (!dark[c]) {
                ++c;
                continue;
            }
            uint32_t end = c;
            while (end + 1 < columns && dark[end + 1]) ++end;
            bridgeColumns(px, rows, c, end);
            c = end + 1;
        }
    }
    const uint8_t* ranges = s.options != nullptr ? s.options->interpolRanges : nullptr;
    if (ranges != nullptr && ranges[0] != 0) {
        for (uint32_t k = 0; k < std::min<uint32_t>(ranges[0], 7); ++k) {
            uint32_t from = ranges[2 + k], to = ranges[9 + k];
            if (s.detectedDirection == 1) {
                const uint32_t f = columns - 1 - to, t = columns - 1 - from;
                from = f;
                to = t;
            }
            if (to >= columns || from > to) continue;
            if (ranges[1] != 0) {
                for (uint32_t r = 0; r < rows; ++r) {
                    for (uint32_t c = from; c <= to; ++c) px.set(r, c, 255);
                }
            } else {
                bridgeColumns(px, rows, from, to);
            }
        }
    }

    doFingerWidthAnalysis(image, rows, columns, 0, rowMarks, &res.leftMargin, &res.rightMargin, packed);

    // The window is kept inside the image: wide margins could put its start before column 0.
    // Packed: the formula's width is the row's byte count; the margins count pixels.
    int32_t centre = packed ? (2 * int32_t(rowBytes) - res.rightMargin + res.leftMargin) / 2
                            : (int32_t(res.leftMargin) + int32_t(columns) - res.rightMargin) / 2;
    int32_t first = std::clamp(centre - 32, 0, std::max(int32_t(columns) - int32_t(kCentreWindow), 0));
    uint64_t sum = 0, squares = 0, n = 0;
    for (uint32_t r = 40; r + 21 <= rows; ++r) {
        if (decode(rowMarks[r]).distance != 0) continue;
        for (uint32_t k = 0; k < kCentreWindow && uint32_t(first) + k < columns; ++k) {
            const uint32_t c = uint32_t(first) + k;
            uint32_t v = packed ? ((image[size_t(r) * rowBytes + c / 2] >> ((c & 1) ? 0 : 4)) & 0xF) * 16
                                : image[size_t(r) * columns + c];
            sum += v;
            squares += v * v;
            ++n;
        }
    }
    if (n > 0) {
        const int64_t mean = int64_t(sum / n), meanSquares = int64_t(squares / n);
        res.centreMeanGrey = uint8_t(mean);
        res.pressure = uint8_t(std::min<uint32_t>(isqrt(uint32_t(std::llabs(meanSquares - mean * mean))), 255));
    } else {
        res.centreMeanGrey = 0;
        res.pressure = 0;
    }
    if (s.geometry->flip != 0) {
        res.meanXDrift = int16_t(-res.meanXDrift);
        res.driftCompanion = int8_t(-res.driftCompanion);
    }

    const int8_t drift = res.driftCompanion;
    const bool small = abs(drift) < 2 && res.meanAbsXLag < 3 && abs(res.meanXLagNewer) < 2 && abs(res.meanXLagOlder) < 2;
    if (!(s.cfgInfo & kCfgNoSkew) && !small) {
        // Rows shifted with white fill; when the image is to be rotated as well, only a small drift
        // fills, a larger one wraps the shifted pixels round.
        const uint32_t option = !(s.cfgInfo & kCfgRotate) || (drift >= -1 && drift <= 1) ? 1 : 0;
        IRSkewCorrectImage(&s, image, packed, rowMarks, rows, columns, 0, option, nullptr, nullptr, s.geometry->flip);
    }
    if ((s.cfgInfo & kCfgRotate) && abs(drift) > 1) rotate(s, px, rows);

    if ((s.cfgInfo & kCfgTiltMask) && !packed) {
        for (uint32_t i = 0; i < rows * columns; ++i) image[i] &= 0xF0;
    }
    if (s.geometry->g2 == 70 && s.geometry->g3 == 50) {
        uint32_t removed = 0, current = rows;
        for (uint32_t index = 2; index < rows; index += 3) {
            const uint32_t r = index < current ? index : current - 1;
            if (current < 2) break;
            memmove(image + size_t(r) * rowBytes, image + size_t(r + 1) * rowBytes, size_t(current - 1 - r) * rowBytes);
            --current;
            ++removed;
        }
        memset(image + size_t(rows - removed) * rowBytes, 0, size_t(removed) * rowBytes);
        res.rows = rows - removed;
    }
    return TCS_RESULT_OK;
}
