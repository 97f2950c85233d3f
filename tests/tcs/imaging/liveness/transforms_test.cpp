// The liveness transforms against plain reference versions: FFT against the DFT's sum, the DCT
// against two cosines per pixel in its reading order, the wavelet against index-by-index filtering;
// and the wavelet's six rows adding back to the input.
#include "tcs/imaging/liveness/transforms.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<double> pseudoRandom(size_t n, uint32_t seed) {
    std::vector<double> v(n);
    for (double& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = double(seed >> 8) / double(1u << 24) * 255;
    }
    return v;
}

TEST(Transforms, FftAgreesWithThePlainDft) {
    for (int n : {2, 4, 8, 64, 256}) {
        for (int direction : {0, n, 3}) {
            for (bool withImaginary : {false, true}) {
                const std::vector<double> re = pseudoRandom(size_t(n), uint32_t(n)), im = pseudoRandom(size_t(n), 7);
                std::vector<double> outRe(static_cast<size_t>(n)), outIm(static_cast<size_t>(n));
                ASSERT_EQ(liveness::FFT_float(re.data(), withImaginary ? im.data() : nullptr, outRe.data(), outIm.data(),
                                              n, direction),
                          0);
                const double sign = direction != 0 ? 1 : -1, scale = direction != 0 ? 1.0 / n : 1;
                for (int k = 0; k < n; ++k) {
                    double sr = 0, si = 0;
                    for (int t = 0; t < n; ++t) {
                        const double a = sign * 2 * kPi * k * t / n, x = re[size_t(t)], y = withImaginary ? im[size_t(t)] : 0;
                        sr += x * std::cos(a) - y * std::sin(a);
                        si += x * std::sin(a) + y * std::cos(a);
                    }
                    EXPECT_NEAR(outRe[size_t(k)], sr * scale, 1e-8 * n) << n << " " << direction << " " << k;
                    EXPECT_NEAR(outIm[size_t(k)], si * scale, 1e-8 * n) << n << " " << direction << " " << k;
                }
            }
        }
    }
    double in[128] = {}, re[128], im[128];
    for (int n : {0, 1, 3, 6, 100}) EXPECT_EQ(liveness::FFT_float(in, nullptr, re, im, n, 0), -1) << n;
}

// Coefficient (u, v) summed with two cosines per pixel, the buffer read as `columns` lines of
// `rows` pixels.
double plainDct(const std::vector<uint8_t>& p, int rows, int columns, int u, int v) {
    double sum = 0;
    for (int y = 0; y < columns; ++y) {
        for (int x = 0; x < rows; ++x) {
            sum += p[size_t(y) * rows + x] * std::cos(kPi * v * (y + 0.5) / columns) * std::cos(kPi * u * (x + 0.5) / rows);
        }
    }
    return (u != 0 ? std::sqrt(2.0) : 1.0) / std::sqrt(double(rows)) * (v != 0 ? std::sqrt(2.0) : 1.0) /
           std::sqrt(double(columns)) * sum;
}

// Zig-zag position of (u, v): anti-diagonal s = u + v, u rising along even ones and falling along odd.
int zigzag(int u, int v) {
    const int s = u + v;
    return s * (s + 1) / 2 + (s % 2 == 0 ? u : s - u);
}

TEST(Transforms, DctAgreesWithThePlainSumInItsReadingOrder) {
    struct Size {
        int rows, columns;
    };
    for (auto [rows, columns] : std::initializer_list<Size>{{16, 16}, {12, 20}, {20, 12}, {1, 9}, {40, 33}}) {
        const std::vector<double> noise = pseudoRandom(size_t(rows) * columns, uint32_t(rows * 100 + columns));
        const std::vector<uint8_t> pixels(noise.begin(), noise.end());
        double out[liveness::kCompressionCount];
        liveness::compression_features(pixels.data(), rows, columns, out);
        for (int s = 0; s <= 8; ++s) {
            for (int u = 0; u <= s; ++u) {
                EXPECT_NEAR(out[zigzag(u, s - u)], plainDct(pixels, rows, columns, u, s - u), 1e-7)
                    << rows << "x" << columns << " u " << u << " v " << s - u;
            }
        }
    }
    // The order itself: an image that is one cosine pair has one large coefficient besides the mean.
    constexpr int kRows = 12, kColumns = 20;
    struct Case {
        int u, v, index;
    };
    for (auto [u, v, index] : std::initializer_list<Case>{
             {1, 0, 1}, {0, 1, 2}, {0, 2, 3}, {1, 1, 4}, {2, 0, 5}, {3, 0, 6}, {0, 3, 9}, {7, 0, 28}, {0, 8, 36}, {8, 0, 44}}) {
        std::vector<uint8_t> p(kRows * kColumns);
        for (int y = 0; y < kColumns; ++y) {
            for (int x = 0; x < kRows; ++x) {
                p[size_t(y) * kRows + x] = uint8_t(std::lround(
                    128 + 100 * std::cos(kPi * u * (x + 0.5) / kRows) * std::cos(kPi * v * (y + 0.5) / kColumns)));
            }
        }
        double out[liveness::kCompressionCount];
        liveness::compression_features(p.data(), kRows, kColumns, out);
        for (int k = 1; k < liveness::kCompressionCount; ++k) {
            if (k == index) {
                EXPECT_GT(std::fabs(out[k]), 500) << u << "," << v;
            } else {
                EXPECT_LT(std::fabs(out[k]), 5) << u << "," << v << " at " << k;
            }
        }
    }
}

// The filters are Daubechies' db8 to their 7 digits: orthonormal with eight vanishing moments, and
// the high-pass ones follow from the low-pass by alternating signs.
TEST(Transforms, WaveletFiltersAreDb8) {
    const liveness::WaveletFilters& f = liveness::db8Filters();
    double sum = 0;
    for (int k = 0; k < 16; ++k) sum += f.h[k];
    EXPECT_NEAR(sum, std::sqrt(2.0), 1e-6);
    for (int m = 0; m < 8; ++m) {
        double dot = 0;
        for (int k = 0; k + 2 * m < 16; ++k) dot += f.h[k] * f.h[k + 2 * m];
        EXPECT_NEAR(dot, m == 0 ? 1 : 0, 1e-6) << "shift " << m;
    }
    for (int p = 0; p < 8; ++p) {
        double moment = 0, scale = 0;
        for (int k = 0; k < 16; ++k) {
            moment += (k % 2 == 0 ? 1 : -1) * std::pow(k, p) * f.h[k];
            scale += std::pow(k, p) * std::fabs(f.h[k]);
        }
        EXPECT_LT(std::fabs(moment), 1e-6 * scale) << "moment " << p;
    }
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ(f.rh[k], f.h[15 - k]);
        EXPECT_EQ(f.rg[k], (k % 2 == 0 ? 1 : -1) * f.h[k]);
        EXPECT_EQ(f.g[k], f.rg[15 - k]);
    }
}

// Index-by-index filtering: a[k] = Σ f[m] x[2k - m] down, y[t] = Σ x[k] f[t - 2k] up.
std::vector<double> down(const std::vector<double>& x, const double* f) {
    std::vector<double> a((x.size() + 16) / 2);
    for (size_t k = 0; k < a.size(); ++k) {
        for (int m = 0; m < 16; ++m) {
            const long i = long(2 * k) - m;
            if (i >= 0 && i < long(x.size())) a[k] += f[m] * x[size_t(i)];
        }
    }
    return a;
}
std::vector<double> up(const std::vector<double>& x, const double* f) {
    std::vector<double> y(2 * x.size() + 15);
    for (size_t t = 0; t < y.size(); ++t) {
        for (size_t k = 0; k < x.size(); ++k) {
            const long m = long(t) - long(2 * k);
            if (m >= 0 && m < 16) y[t] += x[k] * f[m];
        }
    }
    return y;
}

TEST(Transforms, WaveletRowsAgreeWithPlainFilteringAndAddBackToTheInput) {
    const liveness::WaveletFilters& f = liveness::db8Filters();
    for (size_t n : {size_t(1), size_t(2), size_t(37), size_t(256), size_t(601)}) {
        const std::vector<double> x = pseudoRandom(n, uint32_t(n));
        const auto rows = liveness::multires(x.data(), n);
        std::vector<double> a = x;
        const size_t offsets[6] = {15, 45, 105, 225, 465, 465};
        for (int level = 0; level <= 5; ++level) {
            std::vector<double> r;
            if (level < 5) {
                r = up(down(a, f.g), f.rg);
                for (int k = 0; k < level; ++k) r = up(r, f.rh);
                a = down(a, f.h);
            } else {
                r = a;
                for (int k = 0; k < 5; ++k) r = up(r, f.rh);
            }
            ASSERT_GE(r.size(), offsets[level] + n);
            for (size_t i = 0; i < n; ++i) {
                ASSERT_NEAR(rows[size_t(level)][i], r[offsets[level] + i], 1e-9) << n << " level " << level << " " << i;
            }
        }
        for (size_t i = 0; i < n; ++i) {
            double total = 0;
            for (const auto& row : rows) total += row[i];
            EXPECT_NEAR(total, x[i], 255 * 2e-6) << n << " sample " << i;
        }
        double measures[12];
        liveness::get_multires_measures(x.data(), n, measures);
        for (int level = 0; level <= 5; ++level) {
            double absolute = 0, sum = 0, squares = 0;
            for (double v : rows[size_t(level)]) absolute += std::fabs(v), sum += v, squares += v * v;
            const double mean = sum / double(n);
            EXPECT_NEAR(measures[2 * level], absolute / double(n), 1e-9) << n << " level " << level;
            EXPECT_NEAR(measures[2 * level + 1], std::sqrt(std::max(0.0, squares / double(n) - mean * mean)), 1e-6)
                << n << " level " << level;
        }
    }
}

// A flat list leaves a deviation of rounding noise at most, never the NaN of a negative root.
TEST(Transforms, FlatListHasFiniteMeasures) {
    for (double level : {0.0, 1.0, 200.0}) {
        const std::vector<double> flat(300, level);
        double measures[12];
        liveness::get_multires_measures(flat.data(), flat.size(), measures);
        for (double m : measures) EXPECT_TRUE(std::isfinite(m)) << level;
    }
}

}  // namespace
