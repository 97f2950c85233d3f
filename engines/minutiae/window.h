// Running window sums over the clipped (2r + 1) x (2r + 1) square of every pixel; the cost
// does not depend on r: per-column sums gain the row entering the window and lose the row
// leaving it, and a second running sum moves along the row over those column sums.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace mnt {

// Radii come from 32-bit settings; any radius beyond the image covers all of it.
inline int ClipRadius(uint32_t r, int width, int height) {
    return int(std::min<uint64_t>(r, uint64_t(std::max(width, height))));
}

// Number of positions of the window of radius r around i inside 0..n-1.
inline int WindowSpan(int i, int r, int n) { return std::min(i + r, n - 1) - std::max(i - r, 0) + 1; }

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
    std::vector<T> column(stride * size_t(channels), T(0)), ring(n * size_t(ringRows)), sums(n);
    auto slot = [&](int y) { return ring.data() + size_t(y % ringRows) * n; };
    auto enter = [&](int y) {
        T* row = slot(y);
        load(y, row);
        for (int c = 0; c < channels; ++c) {
            T* col = column.data() + size_t(c) * stride + pad;
            const T* in = row + size_t(c) * width;
            for (int x = 0; x < width; ++x) col[x] += in[x];
        }
    };
    auto leave = [&](int y) {
        const T* row = slot(y);
        for (int c = 0; c < channels; ++c) {
            T* col = column.data() + size_t(c) * stride + pad;
            const T* in = row + size_t(c) * width;
            for (int x = 0; x < width; ++x) col[x] -= in[x];
        }
    };
    for (int y = 0; y <= std::min(r, height - 1); ++y) enter(y);
    for (int y = 0; y < height; ++y) {
        for (int c = 0; c < channels; ++c) {
            const T* col = column.data() + size_t(c) * stride + pad;
            T* out = sums.data() + size_t(c) * width;
            T s = T(0);
            for (int x = 0; x <= std::min(r, width - 1); ++x) s += col[x];
            for (int x = 0; x < width; ++x) {
                out[x] = s;
                s += col[x + r + 1] - col[x - r];
            }
        }
        emit(y, static_cast<const T*>(sums.data()));
        // Leave before entering: with a ring of 2r + 2 rows the entering row takes the slot
        // of the one leaving.
        if (y - r >= 0) leave(y - r);
        if (y + r + 1 < height) enter(y + r + 1);
    }
}

// Means of a linear byte image over the clipped window of radius r (truncating).
std::vector<uint8_t> WindowMeans(const std::vector<uint8_t>& image, int width, int height, uint32_t r);

// A linear copy of a byte image.
std::vector<uint8_t> Linear(int width, int height, uint8_t* const* image);

}  // namespace mnt
