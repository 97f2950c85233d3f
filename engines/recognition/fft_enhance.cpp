// Block FFT ridge enhancement: overlapping 32x32 blocks, band-pass with magnitude emphasis, overlap-add.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "engines/recognition/extraction.h"

namespace DurodudUrodera::FpRecEngineImpl::Embedded {
namespace {

constexpr int kBlock = 32;
constexpr int kStep = 17;
constexpr int kFirst = -15;
constexpr int kHalf = kBlock / 2;

// round(4096 sin(pi i / 16)): 32 steps a turn, Q12.
constexpr int32_t kFftSin[16] = {0, 799, 1567, 2276, 2896, 3406, 3784, 4017, 4096, 4017, 3784, 3406, 2896, 2276, 1567, 799};
int32_t fftSin(int k) { return (k & 16) ? -kFftSin[k & 15] : kFftSin[k & 15]; }
int32_t fftCos(int k) { return fftSin(k + 8); }

struct Cx {
    int64_t re, im;
};

// In-place radix-2 FFT of 32 points at `stride`; `inverse` turns the twiddles the other way.
void fft32(Cx* d, int stride, bool inverse) {
    // Bit-reversed order first.
    for (int i = 0, j = 0; i < kBlock; ++i) {
        if (i < j) std::swap(d[i * stride], d[j * stride]);
        int bit = kBlock >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j |= bit;
    }
    for (int len = 2; len <= kBlock; len <<= 1) {
        const int tstep = kBlock / len;
        for (int i = 0; i < kBlock; i += len) {
            for (int k = 0; k < len / 2; ++k) {
                const int64_t c = fftCos(k * tstep), s = inverse ? fftSin(k * tstep) : -fftSin(k * tstep);
                Cx& a = d[(i + k) * stride];
                Cx& b = d[(i + k + len / 2) * stride];
                const int64_t tr = (b.re * c - b.im * s + 2048) >> 12, ti = (b.re * s + b.im * c + 2048) >> 12;
                b = {a.re - tr, a.im - ti};
                a = {a.re + tr, a.im + ti};
            }
        }
    }
}

// Window of the overlap-add: rises over 16 pixels, flat 16 in the middle, falls again; a flank that
// faces the image border stays flat so the border keeps its full weight.
int windowAt(int k, bool flatRise, bool flatFall) {
    const int rise = std::min(k, 16), fall = std::min(33 - k, 16);
    return std::min(flatRise ? 16 : rise, flatFall ? 16 : fall);
}

}  // namespace

void fftEnhanceCoefficient(int u, int v, int32_t& re, int32_t& im) {
    const int r2 = u * u + v * v;
    if (r2 < 7 || r2 >= 169) {
        re = im = 0;
        return;
    }
    const int64_t ar = llabs(re), ai = llabs(im);
    const int64_t m = std::max<int64_t>(((ar + ai) * 181 + 128) >> 8, std::max(ar, ai));
    const int64_t g = (m + 16) >> 5;
    re = int32_t((re + ((re * g + 64) >> 7) + 4) >> 3);
    im = int32_t((im + ((im * g + 64) >> 7) + 4) >> 3);
}

void fft_enhance(uint8_t* image, int width, int pixelCount, uint8_t* room) {
    const int height = pixelCount / width;
    // The source moves 32 rows down; the output grows from the start of the work area behind it.
    uint8_t* src = room + size_t(kBlock) * width;
    memmove(src, image, size_t(pixelCount));
    uint8_t* dst = room;
    Cx block[kBlock][kBlock];
    int cleared = 0;  // output rows below this are in use
    for (int y0 = kFirst; y0 < height; y0 += kStep) {
        // Rows first touched by this block row lie over source rows that are no longer read.
        const int clearTo = std::min(height, y0 + kBlock);
        if (clearTo > cleared) {
            memset(dst + size_t(cleared) * width, 0, size_t(clearTo - cleared) * width);
            cleared = clearTo;
        }
        for (int x0 = kFirst; x0 < width; x0 += kStep) {
            for (int r = 0; r < kBlock; ++r) {
                const int y = y0 + r;
                for (int c = 0; c < kBlock; ++c) {
                    const int x = x0 + c;
                    const bool inside = y >= 0 && y < height && x >= 0 && x < width;
                    block[r][c] = {inside ? 255 - src[size_t(y) * width + x] : 0, 0};
                }
            }
            // The block is real: rows go through the FFT two at a time (one as the imaginary part),
            // and only the half spectrum u = 0..16 is carried through the columns.
            for (int r = 0; r < kBlock; r += 2) {
                Cx z[kBlock];
                for (int c = 0; c < kBlock; ++c) z[c] = {block[r][c].re, block[r + 1][c].re};
                fft32(z, 1, false);
                for (int u = 0; u <= kHalf; ++u) {
                    const Cx a = z[u], b = z[(kBlock - u) & (kBlock - 1)];
                    block[r][u] = {(a.re + b.re) >> 1, (a.im - b.im) >> 1};
                    block[r + 1][u] = {(a.im + b.im) >> 1, (b.re - a.re) >> 1};
                }
            }
            for (int u = 0; u <= kHalf; ++u) fft32(&block[0][u], kBlock, false);
            for (int v = 0; v < kBlock; ++v) {
                const int sv = v < 16 ? v : v - 32;
                for (int u = 0; u <= kHalf; ++u) {
                    int32_t re = int32_t(block[v][u].re), im = int32_t(block[v][u].im);
                    fftEnhanceCoefficient(u, sv, re, im);
                    block[v][u] = {re, im};
                }
            }
            for (int u = 0; u <= kHalf; ++u) fft32(&block[0][u], kBlock, true);
            // Each output row is real, so its upper half spectrum mirrors the lower one; two rows
            // share one inverse FFT again.
            for (int r = 0; r < kBlock; r += 2) {
                Cx z[kBlock];
                for (int u = 0; u < kBlock; ++u) {
                    const bool low = u <= kHalf;
                    const int k = low ? u : kBlock - u;
                    const Cx a = block[r][k], b = block[r + 1][k];
                    const int64_t aim = low ? a.im : -a.im, bim = low ? b.im : -b.im;
                    z[u] = {a.re - bim, aim + b.re};  // a + i b
                }
                fft32(z, 1, true);
                for (int c = 0; c < kBlock; ++c) {
                    block[r][c].re = z[c].re;
                    block[r + 1][c].re = z[c].im;
                }
            }
            int64_t lo = INT64_MAX, hi = INT64_MIN;
            for (auto& row : block)
                for (Cx& z : row) {
                    z.re = (z.re + 512) >> 10;
                    lo = std::min(lo, z.re);
                    hi = std::max(hi, z.re);
                }
            const int64_t range = hi - lo;
            int64_t scale, half;
            if (range < 16) {
                scale = 4096;
                half = 2048;
                lo -= (16 - range) / 2;
            } else {
                scale = range * 256;
                half = scale / 2;
            }
            // Only the last block of a row or column has no neighbour to take over its falling flank.
            const bool top = y0 == kFirst, bottom = y0 + kStep >= height, left = x0 == kFirst, right = x0 + kStep >= width;
            for (int r = 0; r < kBlock; ++r) {
                const int y = y0 + r;
                if (y < 0 || y >= height) continue;
                const int wr = windowAt(r + 1, top, bottom);
                uint8_t* out = dst + size_t(y) * width;
                for (int c = 0; c < kBlock; ++c) {
                    const int x = x0 + c;
                    if (x < 0 || x >= width) continue;
                    const int64_t t = int64_t(wr) * windowAt(c + 1, left, right) * (block[r][c].re - lo) * 251;
                    const int64_t value = t < 0 ? -((-t + half) / scale) : (t + half) / scale;
                    out[x] = uint8_t(std::clamp<int64_t>(out[x] + value, 0, 255));
                }
            }
        }
    }
    for (int i = 0; i < pixelCount; ++i) image[i] = uint8_t(255 - dst[i]);
}

}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded
