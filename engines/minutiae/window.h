// Running window sums over the clipped (2r + 1) x (2r + 1) square of every pixel; the cost
// does not depend on r: per-column sums gain the row entering the window and lose the row
// leaving it, and a second running sum moves along the row over those column sums.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "engines/minutiae/simd.h"

namespace mnt {

// Radii come from 32-bit settings; any radius beyond the image covers all of it.
inline int ClipRadius(uint32_t r, int width, int height) {
    return int(std::min<uint64_t>(r, uint64_t(std::max(width, height))));
}

// Number of positions of the window of radius r around i inside 0..n-1.
inline int WindowSpan(int i, int r, int n) { return std::min(i + r, n - 1) - std::max(i - r, 0) + 1; }

// 32-bit running row sums eight at a time (for processors with AVX2): a prefix sum within a
// vector of the changes col[x + r] - col[x - r - 1], carried on from the vector before (exact:
// integers only).
MNT_WIDE void RunningRowSumsWide(const int32_t* col, int width, int r, int32_t* out);

// out[x] = col[x - r] + ... + col[x + r] for x in 0..width-1; `col` carries r + 1 zeros on both
// sides. The running sum is one long chain of additions, so the row is cut into four parts that
// run side by side, each from its own first sum, when those first sums cost little.
template <typename T>
void RunningRowSums(const T* col, int width, int r, T* out) {
    if constexpr (std::is_same_v<T, int32_t>) {
        if (simd::HasAvx2()) {
            RunningRowSumsWide(col, width, r, out);
            return;
        }
    }
    constexpr int kParts = 4;
    const int part = width / kParts;
    if (part < 1 || int64_t(kParts) * (2 * int64_t(r) + 1) > width / 2) {
        T s = T(0);
        for (int x = -r; x <= r; ++x) s += col[x];
        for (int x = 0; x < width; ++x) {
            out[x] = s;
            s += col[x + r + 1] - col[x - r];
        }
        return;
    }
    T s[kParts];
    for (int k = 0; k < kParts; ++k) {
        s[k] = T(0);
        for (int x = k * part - r; x <= k * part + r; ++x) s[k] += col[x];
    }
    // Four named chains: kept in registers, not in the array.
    T s0 = s[0], s1 = s[1], s2 = s[2], s3 = s[3];
    const T* c0 = col;
    const T* c1 = col + part;
    const T* c2 = col + 2 * part;
    const T* c3 = col + 3 * part;
    T* o0 = out;
    T* o1 = out + part;
    T* o2 = out + 2 * part;
    T* o3 = out + 3 * part;
    for (int i = 0; i < part; ++i) {
        o0[i] = s0;
        o1[i] = s1;
        o2[i] = s2;
        o3[i] = s3;
        s0 += c0[i + r + 1] - c0[i - r];
        s1 += c1[i + r + 1] - c1[i - r];
        s2 += c2[i + r + 1] - c2[i - r];
        s3 += c3[i + r + 1] - c3[i - r];
    }
    s[kParts - 1] = s3;
    T t = s[kParts - 1];
    for (int x = kParts * part; x < width; ++x) {
        out[x] = t;
        t += col[x + r + 1] - col[x - r];
    }
}

// Values readable past the end of the window sums handed to `emit`.
inline constexpr int kSumsTail = 8;

// load(y, T* row) writes `channels` rows of `width` values (channel c at row + c * width);
// emit(y, const T* sums) receives the window sums for row y in the same layout.
template <typename T, typename Load, typename Emit>
void ForEachWindowSumRow(int width, int height, int r, int channels, Load load, Emit emit) {
    if (width <= 0 || height <= 0 || channels <= 0) return;
    const size_t n = size_t(width) * size_t(channels);
    // Rows stay in a ring from entering the window until leaving it, so each is loaded once.
    const int ringRows = std::min(height, 2 * r + 2);
    // Column sums carry r + 1 zeros on both sides so that the running sum along the row
    // needs no tests at the ends.
    const size_t pad = size_t(r) + 1;
    const size_t stride = size_t(width) + 2 * pad;
    // The sums carry kSumsTail spare values, so that a row's consumer may run whole vectors
    // past the last channel's end.
    std::vector<T> column(stride * size_t(channels), T(0)), ring(n * size_t(ringRows)), sums(n + kSumsTail, T(0));
    auto slot = [&](int y) { return ring.data() + size_t(y % ringRows) * n; };
    auto add = [&](const T* row) {
        for (int c = 0; c < channels; ++c) {
            T* __restrict col = column.data() + size_t(c) * stride + pad;
            const T* __restrict in = row + size_t(c) * width;
            for (int x = 0; x < width; ++x) col[x] += in[x];
        }
    };
    for (int y = 0; y <= std::min(r, height - 1); ++y) {
        load(y, slot(y));
        add(slot(y));
    }
    for (int y = 0; y < height; ++y) {
        for (int c = 0; c < channels; ++c) {
            const T* col = column.data() + size_t(c) * stride + pad;
            RunningRowSums(col, width, r, sums.data() + size_t(c) * width);
        }
        emit(y, static_cast<const T*>(sums.data()));
        // The row leaving and the one entering are in different slots of a ring of 2r + 2 rows
        // (or of all rows), so both column updates go in one pass.
        const bool leaving = y - r >= 0, entering = y + r + 1 < height;
        if (entering) load(y + r + 1, slot(y + r + 1));
        if (leaving && entering) {
            const T* out = slot(y - r);
            const T* in = slot(y + r + 1);
            for (int c = 0; c < channels; ++c) {
                T* __restrict col = column.data() + size_t(c) * stride + pad;
                const T* __restrict o = out + size_t(c) * width;
                const T* __restrict i = in + size_t(c) * width;
                for (int x = 0; x < width; ++x) col[x] += i[x] - o[x];
            }
        } else if (entering) {
            add(slot(y + r + 1));
        } else if (leaving) {
            const T* out = slot(y - r);
            for (int c = 0; c < channels; ++c) {
                T* __restrict col = column.data() + size_t(c) * stride + pad;
                const T* __restrict o = out + size_t(c) * width;
                for (int x = 0; x < width; ++x) col[x] -= o[x];
            }
        }
    }
}

// Means of a linear byte image over the clipped window of radius r (truncating).
std::vector<uint8_t> WindowMeans(const std::vector<uint8_t>& image, int width, int height, uint32_t r);

// A linear copy of a byte image.
std::vector<uint8_t> Linear(int width, int height, uint8_t* const* image);

}  // namespace mnt
