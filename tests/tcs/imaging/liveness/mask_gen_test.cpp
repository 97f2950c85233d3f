// The liveness mask stage: the variance walk's foreground, orientation and spacing of known ridges,
// clear borders, thinning to single lines, and the unused mask shrink.
#include "tcs/imaging/liveness/mask_gen.h"
#include "tests/tcs/imaging/liveness/liveness_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

using livetest::Image;
using livetest::kPi;
constexpr int B = liveness::kBorder;

// The stages' planes for one image, run one after another as mask_gen runs them.
struct Stages {
    explicit Stages(const Image& im)
        : R(im.rows + 2 * B), C(im.columns + 2 * B), n(size_t(R) * C), padded(n), normalised(n), mask(n), ridge(n),
          thinned(n), theta(n), freq(n) {
        liveness::pad_zeros(im.pixels.data(), padded.data(), im.rows, im.columns, B);
        foreground = liveness::normalize(padded.data(), normalised.data(), mask.data(), R, C, B);
        if (!foreground) return;
        liveness::orientation(normalised.data(), mask.data(), theta.data(), R, C, B);
        liveness::frequency(normalised.data(), theta.data(), freq.data(), mask.data(), R, C, B);
        liveness::gabor(normalised.data(), theta.data(), freq.data(), mask.data(), ridge.data(), R, C, B);
        liveness::thinning(ridge.data(), thinned.data(), R, C, B);
    }
    size_t at(int r, int c) const { return size_t(r) * C + c; }
    int R, C;
    size_t n;
    std::vector<uint8_t> padded, normalised, mask, ridge, thinned;
    std::vector<double> theta, freq;
    bool foreground = false;
};

int neighbours(const std::vector<uint8_t>& plane, int C, int r, int c) {
    int count = 0;
    for (int i = -1; i <= 1; ++i) {
        for (int j = -1; j <= 1; ++j) count += (i != 0 || j != 0) && plane[size_t(r + i) * C + c + j] != 0;
    }
    return count;
}

TEST(MaskStage, BoxVarianceCountsOnlyNonZeroValues) {
    constexpr int C = 20;
    struct Case {
        const char* name;
        uint8_t (*pixel)(int r, int c);
        double expected;
    };
    for (const Case& k : {Case{"all zero", [](int, int) -> uint8_t { return 0; }, 100},
                          Case{"one value among zeros", [](int r, int c) -> uint8_t { return r == 9 && c == 9 ? 50 : 0; }, 0},
                          // 81 hundreds and 64 two-hundreds count: p q (200 - 100)^2, p = 81/145.
                          Case{"zeros between 100s and 200s",
                               [](int r, int c) -> uint8_t { return (r + c) % 2 != 0 ? 0 : c % 2 != 0 ? 100 : 200; },
                               81.0 * 64 / (145 * 145) * 10000},
                          Case{"six values of variance 700",
                               [](int r, int c) -> uint8_t {
                                   constexpr uint8_t v[6] = {60, 140, 80, 120, 90, 110};
                                   return c == 3 && r >= 5 && r < 11 ? v[r - 5] : 0;
                               },
                               700},
                          Case{"outside the 17 x 17 box does not count",
                               [](int r, int c) -> uint8_t { return r == 0 || c == 18 ? 255 : 7; }, 0}}) {
        std::vector<uint8_t> plane(C * C);
        for (int r = 0; r < C; ++r) {
            for (int c = 0; c < C; ++c) plane[r * C + c] = k.pixel(r, c);
        }
        EXPECT_NEAR(liveness::var(plane.data(), C, 9, 9), k.expected, 1e-6) << k.name;
    }
}

TEST(MaskStage, ImagesWithoutBusyBoxesHaveNoForeground) {
    struct Case {
        const char* name;
        uint8_t (*pixel)(int r, int c);
    };
    for (const Case& k : {Case{"black", [](int, int) -> uint8_t { return 0; }},
                          Case{"mid grey", [](int, int) -> uint8_t { return 128; }},
                          Case{"white", [](int, int) -> uint8_t { return 255; }},
                          // A checkerboard of 100 and 140: variance 400, below 700.
                          Case{"faint texture", [](int r, int c) -> uint8_t { return (r + c) % 2 != 0 ? 100 : 140; }},
                          // Six values in a column on black: 100 ± 40, ± 20, ± 10 have a variance of
                          // exactly 700, which does not exceed 700, and every box that holds only some
                          // of them (a run from either end) has less.
                          Case{"variance exactly 700", [](int r, int c) -> uint8_t {
                                   constexpr uint8_t v[6] = {60, 90, 110, 80, 120, 140};
                                   return c == 35 && r >= 37 && r < 43 ? v[r - 37] : 0;
                               }}}) {
        Image im{80, 70, std::vector<uint8_t>(80 * 70)};
        for (int r = 0; r < im.rows; ++r) {
            for (int c = 0; c < im.columns; ++c) im.pixels[size_t(r) * im.columns + c] = k.pixel(r, c);
        }
        std::vector<uint8_t> mask(im.pixels.size()), ridge(im.pixels.size()), thinned(im.pixels.size());
        EXPECT_EQ(liveness::mask_gen(im.pixels.data(), mask.data(), ridge.data(), thinned.data(), im.rows, im.columns),
                  -1)
            << k.name;
    }
}

// The walk and the stretch read plainly: each box's variance by `var`, the foreground's mean and
// variance, the stretch by its formula, the median of nine by sorting.
std::vector<uint8_t> plainNormalize(const std::vector<uint8_t>& padded, int R, int C, std::vector<uint8_t>& mask) {
    mask.assign(padded.size(), 0);
    for (int r = B; r < R - B; ++r) {
        for (int c = B; c < C - B; ++c) mask[size_t(r) * C + c] = 255;
        for (int c = B; c < C - B && liveness::var(padded.data(), C, r, c) <= 700; ++c) mask[size_t(r) * C + c] = 0;
        for (int c = C - B - 1; c >= B && liveness::var(padded.data(), C, r, c) <= 700; --c) mask[size_t(r) * C + c] = 0;
    }
    double sum = 0, squares = 0, n = 0;
    for (size_t at = 0; at < padded.size(); ++at) {
        if (mask[at] != 0) sum += padded[at], n += 1;
    }
    const double mean = sum / n;
    for (size_t at = 0; at < padded.size(); ++at) {
        if (mask[at] != 0) squares += (padded[at] - mean) * (padded[at] - mean);
    }
    const double variance = squares / n;
    std::vector<uint8_t> stretched(padded.size()), out(padded.size());
    for (int r = B; r < R - B; ++r) {
        for (int c = B; c < C - B; ++c) {
            const size_t at = size_t(r) * C + c;
            const double p = padded[at], d = std::sqrt((p - mean) * (p - mean) * 10000 / variance);
            stretched[at] = mask[at] == 0 ? 255 : p > mean ? uint8_t(std::min(150 + d, 255.0)) : uint8_t(std::max(150 - d, 0.0));
        }
    }
    for (int r = B; r < R - B; ++r) {
        for (int c = B; c < C - B; ++c) {
            std::vector<uint8_t> nine;
            for (int i = -1; i <= 1; ++i) {
                for (int j = -1; j <= 1; ++j) nine.push_back(stretched[size_t(r + i) * C + c + j]);
            }
            std::sort(nine.begin(), nine.end());
            out[size_t(r) * C + c] = nine[4];
        }
    }
    return out;
}

TEST(MaskStage, NormalisationAgreesWithThePlainReading) {
    struct Case {
        const char* name;
        Image image;
    };
    Image margins = livetest::straightRidges(70, 110, 9, 0.3);
    for (int r = 0; r < margins.rows; ++r) {
        for (int c = 0; c < 30; ++c) margins.pixels[size_t(r) * margins.columns + c] = 210;
    }
    // Dark specks of 0 that the box variance passes over, on ridges of little contrast.
    Image specks = livetest::straightRidges(60, 80, 7, 1.1, 40);
    for (size_t i = 0; i < specks.pixels.size(); i += 13) specks.pixels[i] = 0;
    for (const Case& k : {Case{"print", livetest::fvcPrint("105_3", 260)}, Case{"faint print", livetest::fvcPrint("110_1")},
                          Case{"flat margin", margins}, Case{"zero specks", specks}}) {
        ASSERT_FALSE(k.image.pixels.empty()) << k.name;
        Stages s(k.image);
        ASSERT_TRUE(s.foreground) << k.name;
        std::vector<uint8_t> mask;
        const std::vector<uint8_t> normalised = plainNormalize(s.padded, s.R, s.C, mask);
        EXPECT_EQ(s.mask, mask) << k.name;
        EXPECT_EQ(s.normalised, normalised) << k.name;
    }
}

// The Gabor stage against its kernel: one bright pixel on a black plane makes each output pixel the
// sign of one kernel entry, cos(2π·f·x)·exp(-(y²/144 + x²/64)/2) with x = i'·cos θ + j'·sin θ and
// y = i'·sin θ + j'·cos θ (i', j' the entry's row and column from the centre), on where it is
// negative. A block takes θ from (r0 + 4, c0 + 5) and f from (r0 + 5, c0 + 5): every other pixel of
// those planes holds a decoy. A block whose origin is off the mask stays 0, and so does everything
// the blocks do not reach (the output is cleared first).
TEST(MaskStage, GaborFollowsItsKernel) {
    constexpr int R = 2 * B + 50, C = 2 * B + 50, kImpulse = B + 25;
    constexpr int kOffRow = B + 20, kOffColumn = B + 30;  // a block off the mask
    for (double theta : {0.0, 0.5, 1.2, 2.0, -0.7}) {
        for (double f : {1 / 9.0, 1 / 6.5}) {
            std::vector<uint8_t> normalised(R * C), mask(R * C), ridge(R * C, 7);
            std::vector<double> th(R * C, theta + 1), fr(R * C, 0.05);
            for (int r = B; r < R - B; ++r) {
                for (int c = B; c < C - B; ++c) {
                    mask[r * C + c] = 255;
                    if ((r - B) % 5 == 4 && (c - B) % 5 == 0) th[r * C + c] = theta;
                    if ((r - B) % 5 == 0 && (c - B) % 5 == 0) fr[r * C + c] = f;
                }
            }
            mask[kOffRow * C + kOffColumn] = 0;
            normalised[kImpulse * C + kImpulse] = 200;
            liveness::gabor(normalised.data(), th.data(), fr.data(), mask.data(), ridge.data(), R, C, B);
            int negative = 0;
            for (int r = 0; r < R; ++r) {
                for (int c = 0; c < C; ++c) {
                    const int r0 = B + (r - B) / 5 * 5, c0 = B + (c - B) / 5 * 5;
                    const int i = kImpulse - r + 13, j = kImpulse - c + 13;
                    bool on = false;
                    if (r >= B && c >= B && r0 < R - 35 && c0 < C - 35 && (r0 != kOffRow || c0 != kOffColumn) &&
                        i >= 0 && i < 27 && j >= 0 && j < 27) {
                        const double x = (i - 13) * std::cos(theta) + (j - 13) * std::sin(theta);
                        const double y = (i - 13) * std::sin(theta) + (j - 13) * std::cos(theta);
                        const double k = std::cos(2 * kPi * f * x) * std::exp(-(y * y / 144 + x * x / 64) / 2);
                        if (std::fabs(k) < 1e-9) continue;  // the sign of a rounding
                        on = k < 0;
                    }
                    negative += on;
                    ASSERT_EQ(ridge[r * C + c], on ? 255 : 0) << theta << " " << f << " at " << r << "," << c;
                }
            }
            EXPECT_GT(negative, 50) << theta << " " << f;
        }
    }
}

// Two lone pixels 15 apart on a black image: only the boxes centred on the two columns midway hold
// both (zeros do not count), so the foreground is those columns, all 0. Its variance is 0: the
// stretch puts it at 150 rather than dividing 0 by 0 and converting the NaN to a byte.
TEST(MaskStage, ForegroundOfOneGreyLevel) {
    Image im{60, 60, std::vector<uint8_t>(60 * 60)};
    im.pixels[30 * 60 + 10] = 255;
    im.pixels[30 * 60 + 25] = 1;
    Stages s(im);
    ASSERT_TRUE(s.foreground);
    int on = 0;
    for (int r = 0; r < s.R; ++r) {
        for (int c = 0; c < s.C; ++c) {
            if (s.mask[s.at(r, c)] == 0) continue;
            ++on;
            EXPECT_TRUE(c == B + 17 || c == B + 18) << r << "," << c;
            EXPECT_LE(std::abs(r - (B + 30)), 8) << r;
        }
    }
    EXPECT_EQ(on, 34);
    // The median of six foreground pixels and three off the mask (255).
    EXPECT_EQ(s.normalised[s.at(B + 30, B + 17)], 150);
    std::vector<uint8_t> mask(im.pixels.size()), ridge(im.pixels.size()), thinned(im.pixels.size());
    EXPECT_EQ(liveness::mask_gen(im.pixels.data(), mask.data(), ridge.data(), thinned.data(), im.rows, im.columns), 0);
}

// Ridges in the middle columns only: the walks from both sides turn the flat margins off and stop
// at the first busy box, which lies within 8 pixels of the ridges.
TEST(MaskStage, WalksFromBothSidesStopAtTheRidges) {
    Image im = livetest::straightRidges(60, 120, 9, 0);
    for (int r = 0; r < im.rows; ++r) {
        for (int c = 0; c < im.columns; ++c) {
            if (c < 40 || c >= 80) im.pixels[size_t(r) * im.columns + c] = 200;
        }
    }
    Stages s(im);
    ASSERT_TRUE(s.foreground);
    for (int r = B; r < s.R - B; r += 7) {
        for (int c = 0; c < im.columns; ++c) {
            const bool on = s.mask[s.at(r, B + c)] != 0;
            if (c < 40 - 8 || c >= 80 + 8) {
                EXPECT_FALSE(on) << "row " << r << " column " << c;
            } else if (c >= 40 && c < 80) {
                EXPECT_TRUE(on) << "row " << r << " column " << c;
            }
        }
    }
    // Foreground pixels are stretched about 150; the rest of the interior is 255 before the median.
    EXPECT_EQ(s.normalised[s.at(B + 30, B + 5)], 255);
}

// Ridges of known spacing and direction: the orientation is π/2 less the direction the grey level
// varies in (mod π), and the spacing comes back as a frequency. The period reads long by up to a
// third, because the first interval of a signature is counted from the start of the walk. Off the
// axes the signature's two sampling steps are not at right angles and its averaging runs partly
// across the ridges, so there only the orientation is held to a value.
TEST(MaskStage, OrientationAndFrequencyOfStraightRidges) {
    struct Case {
        double period;
        double gradientDegrees;
    };
    for (auto [period, degrees] : std::initializer_list<Case>{
             {9, 0}, {9, 90}, {9, 45}, {9, 135}, {9, 30}, {7, 0}, {12, 90}, {12, 120}}) {
        const double gradient = degrees * kPi / 180;
        Stages s(livetest::straightRidges(160, 150, period, gradient));
        ASSERT_TRUE(s.foreground);
        double worstAngle = 0, sum = 0, lowest = 1, highest = 0;
        int count = 0;
        for (int r = 80; r < s.R - 80; ++r) {
            for (int c = 80; c < s.C - 80; ++c) {
                worstAngle = std::max(worstAngle, std::fabs(std::remainder(s.theta[s.at(r, c)] - (kPi / 2 - gradient), kPi)));
                const double f = s.freq[s.at(r, c)];
                sum += f;
                lowest = std::min(lowest, f);
                highest = std::max(highest, f);
                ++count;
            }
        }
        const std::string name = "period " + std::to_string(period) + " at " + std::to_string(degrees);
        EXPECT_LT(worstAngle, 0.05) << name;
        if (degrees != 0 && degrees != 90) continue;
        EXPECT_LE(highest, 1.02 / period) << name;
        EXPECT_GE(lowest, 0.65 / period) << name;
        EXPECT_NEAR(sum / count, 0.9 / period, 0.12 / period) << name;
    }
}

TEST(MaskStage, PeriodOfASignature) {
    // A 36-entry signature with peaks at the given positions (value 5 there, 0 elsewhere, -1 at the
    // positions in `dips`).
    struct Case {
        const char* name;
        std::vector<int> peaks;
        double period;
    };
    for (const Case& k : std::vector<Case>{
             // The first peak arms the count without resetting it: 13, then 9 and 9.
             {"every 9 from 5", {5, 14, 23, 32}, 31.0 / 3},
             // Position 0 is never walked: the count arms at 9, then 17 and 9.
             {"a peak at the edge", {0, 9, 18, 27}, (17 + 9) / 2.0},
             {"one peak", {20}, -1},
             {"none", {}, -1},
             // After the first, peaks within 5 samples of the last counted one are passed over.
             {"every 4 from 3", {3, 7, 11, 15, 19, 23, 27, 31}, (6 + 8 + 8 + 8) / 4.0},
         }) {
        double sig[36] = {};
        for (int p : k.peaks) sig[p] = 5;
        EXPECT_DOUBLE_EQ(liveness::find_peaks(sig), k.period) << k.name;
    }
    double below[36];
    for (double& v : below) v = -1;
    for (int p : {5, 14, 23, 32}) below[p] = -0.5;
    EXPECT_EQ(liveness::find_peaks(below), -1) << "peaks below 0 do not count";
}

// The 30-pixel border never holds mask, ridge or skeleton pixels, and no skeleton pixel has more
// than two neighbours, on a real print and on synthetic ridges.
TEST(MaskStage, BordersStayClearAndTheSkeletonIsThin) {
    struct Case {
        const char* name;
        Image image;
    };
    for (const Case& k : {Case{"print", livetest::fvcPrint("105_3", 260)},
                          Case{"curved ridges", [] {
                                   const swipe_model::GreyImage g = swipe_model::syntheticRidges(180, 150, 8, 90, 60);
                                   return Image{int(g.height), int(g.width), g.pixels};
                               }()}}) {
        ASSERT_FALSE(k.image.pixels.empty()) << k.name;
        Stages s(k.image);
        ASSERT_TRUE(s.foreground) << k.name;
        size_t ridge = 0, skeleton = 0;
        for (int r = 0; r < s.R; ++r) {
            for (int c = 0; c < s.C; ++c) {
                const size_t at = s.at(r, c);
                const bool border = r < B || r >= s.R - B || c < B || c >= s.C - B;
                if (border) {
                    ASSERT_EQ(s.mask[at] | s.ridge[at] | s.thinned[at], 0) << k.name << " " << r << "," << c;
                    continue;
                }
                ridge += s.ridge[at] != 0;
                if (s.thinned[at] == 0) continue;
                ++skeleton;
                EXPECT_NE(s.ridge[at], 0) << k.name << ": thinning only removes";
                ASSERT_LE(neighbours(s.thinned, s.C, r, c), 2) << k.name << " " << r << "," << c;
            }
        }
        EXPECT_GT(ridge, 1000u) << k.name;
        EXPECT_GT(skeleton, ridge / 8) << k.name;
        EXPECT_LT(skeleton, ridge / 2) << k.name;
        // mask_gen hands out the interiors of the same planes.
        const size_t pixels = k.image.pixels.size();
        std::vector<uint8_t> mask(pixels), ridgeOut(pixels), thinned(pixels), interior(pixels);
        ASSERT_EQ(liveness::mask_gen(k.image.pixels.data(), mask.data(), ridgeOut.data(), thinned.data(),
                                     k.image.rows, k.image.columns),
                  0);
        liveness::depad_zeros(s.thinned.data(), interior.data(), k.image.rows, k.image.columns, B);
        EXPECT_EQ(thinned, interior) << k.name;
        liveness::depad_zeros(s.mask.data(), interior.data(), k.image.rows, k.image.columns, B);
        EXPECT_EQ(mask, interior) << k.name;
    }
}

// Hand-drawn ridges: a bar five pixels thick becomes one line; a cross of one-pixel lines, which
// thinning keeps, loses pixels about its centre in the last pass until none has more than two
// neighbours, and keeps its four arms.
TEST(MaskStage, ThinningLeavesSingleLines) {
    constexpr int R = 2 * B + 30, C = 2 * B + 50;
    std::vector<uint8_t> bar(R * C), cross(R * C), out(R * C);
    for (int r = B + 10; r < B + 15; ++r) {
        for (int c = B + 5; c < B + 45; ++c) bar[r * C + c] = 255;
    }
    liveness::thinning(bar.data(), out.data(), R, C, B);
    for (int c = B + 10; c < B + 40; ++c) {
        int inColumn = 0;
        for (int r = 0; r < R; ++r) inColumn += out[r * C + c] != 0;
        EXPECT_EQ(inColumn, 1) << "column " << c;
    }
    for (int i = 0; i < 21; ++i) {
        cross[(B + 5 + i) * C + B + 20] = 255;
        cross[(B + 15) * C + B + 10 + i] = 255;
    }
    liveness::thinning(cross.data(), out.data(), R, C, B);
    int kept = 0;
    for (int i = 0; i < 8; ++i) {
        kept += out[(B + 5 + i) * C + B + 20] + out[(B + 25 - i) * C + B + 20] + out[(B + 15) * C + B + 10 + i] +
                out[(B + 15) * C + B + 30 - i];
    }
    EXPECT_EQ(kept, 4 * 8 * 255) << "the arms stay";
    EXPECT_EQ(std::count(out.begin(), out.end(), 255), 41 - 3);
    for (int r = B; r < R - B; ++r) {
        for (int c = B; c < C - B; ++c) {
            if (out[r * C + c] != 0) {
                EXPECT_LE(neighbours(out, C, r, c), 2) << r << "," << c;
            }
        }
    }
}

TEST(MaskStage, MaskShrinkKeepsAWindowAroundTheCentre) {
    constexpr int R = 2 * B + 300, C = 2 * B + 260;
    auto count = [&](const std::vector<uint8_t>& m, int r0, int c0, int r1, int c1) {
        int n = 0;
        for (int r = r0; r < r1; ++r) {
            for (int c = c0; c < c1; ++c) n += m[r * C + c] != 0;
        }
        return n;
    };
    std::vector<uint8_t> mask(R * C);
    EXPECT_FALSE(liveness::mask_shrink(mask.data(), R, C, B));
    // All on: the 200 x 200 window about the interior's centre stays; the centre row is
    // (30 + 329) / 2 = 179, the centre column (30 + 289) / 2 = 159.
    for (int r = B; r < R - B; ++r) {
        for (int c = B; c < C - B; ++c) mask[r * C + c] = 255;
    }
    ASSERT_TRUE(liveness::mask_shrink(mask.data(), R, C, B));
    EXPECT_EQ(count(mask, 0, 0, R, C), 200 * 200);
    EXPECT_EQ(count(mask, 79, 59, 279, 259), 200 * 200);
    // A finger in the top-left corner: the window moves in to stay inside the interior.
    std::fill(mask.begin(), mask.end(), 0);
    for (int r = B; r < B + 60; ++r) {
        for (int c = B; c < B + 40; ++c) mask[r * C + c] = 255;
    }
    ASSERT_TRUE(liveness::mask_shrink(mask.data(), R, C, B));
    EXPECT_EQ(count(mask, 0, 0, R, C), 60 * 40);
}

}  // namespace
