// Directional filter tables and filtering, bad areas and pass maps.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "engines/minutiae/dir_filter.h"
#include "engines/minutiae/directions.h"
#include "test_support.h"

namespace {

using namespace mnt;
using mnt::test::Image;

struct Tap { int dx, dy, weight; };

std::vector<Tap> Taps(int o) {
    std::vector<Tap> taps;
    for (int k = 0; k < filter_c[o]; ++k) taps.push_back({filter_x[o][k], filter_y[o][k], filter_w[o][k]});
    return taps;
}

bool operator==(const Tap& a, const Tap& b) { return a.dx == b.dx && a.dy == b.dy && a.weight == b.weight; }

TEST(FilterTables, GivenOrientationsAreReproduced) {
    EXPECT_EQ(filter_c[0], 5);
    EXPECT_EQ(filter_w0[0], 10201);
    EXPECT_EQ(Taps(0), (std::vector<Tap>{{-5, 0, 10201}, {-4, 0, 10201}, {-3, 0, 10201}, {-2, 0, 10201}, {-1, 0, 10201}}));
    EXPECT_EQ(filter_c[60], 5);
    EXPECT_EQ(filter_w0[60], 10201);
    EXPECT_EQ(Taps(60), (std::vector<Tap>{{0, -5, 10201}, {0, -4, 10201}, {0, -3, 10201}, {0, -2, 10201}, {0, -1, 10201}}));
    EXPECT_EQ(filter_w0[30], 9343);
    EXPECT_EQ(Taps(30), (std::vector<Tap>{{-4, -4, 3106}, {-3, -4, 2550}, {-4, -3, 2550}, {-3, -3, 9242},
                                          {-2, -3, 2550}, {-3, -2, 2550}, {-2, -2, 9343}, {-1, -2, 2550},
                                          {-2, -1, 2550}, {-1, -1, 9343}, {0, -1, 2550}, {-1, 0, 2550}}));
}

TEST(FilterTables, EveryOrientationIsWellFormed) {
    for (int o = 0; o < 120; ++o) {
        ASSERT_GE(filter_c[o], 5) << o;
        ASSERT_LE(filter_c[o], 15) << o;
        int64_t total = filter_w0[o];
        for (const Tap& t : Taps(o)) {
            ASSERT_LE(std::abs(t.dx), 6);
            ASSERT_LE(std::abs(t.dy), 6);
            ASSERT_TRUE(t.dy < 0 || (t.dy == 0 && t.dx < 0)) << o;
            ASSERT_GT(t.weight, 0);
            total += 2 * t.weight;
        }
        EXPECT_EQ(total, kFilterDivisor) << o;
        // A quarter turn on is the same filter turned: same counts and centre weight.
        EXPECT_EQ(filter_c[o], filter_c[(o + 60) % 120]) << o;
        EXPECT_EQ(filter_w0[o], filter_w0[(o + 60) % 120]) << o;
    }
}

TEST(FilterTables, RebuiltFromTheirRule) {
    for (int o = 0; o < 120; ++o) {
        const double t = o * 1.5 * M_PI / 180;
        const double c = std::cos(t), s = std::sin(t);
        // Every sample lands within 6 pixels of the centre.
        int weights[13][13] = {};
        for (int m = -555; m <= 555; ++m) {
            const double a = m / 101.0;
            for (int n = -50; n <= 50; ++n) {
                const double p = n / 101.0;
                const long x = std::lround(a * c - p * s), y = std::lround(a * s + p * c);
                ++weights[y + 6][x + 6];
            }
        }
        std::vector<Tap> expected;
        for (int y = -6; y <= 0; ++y)
            for (int x = -6; x <= 6; ++x)
                if ((y < 0 || x < 0) && weights[y + 6][x + 6] != 0) expected.push_back({x, y, weights[y + 6][x + 6]});
        EXPECT_EQ(Taps(o), expected) << o;
        EXPECT_EQ(filter_w0[o], weights[6][6]) << o;
    }
}

TEST(DirectionalFilter, FlatImagesStayFlat) {
    const int w = 30, h = 25;
    Image image(w, h, [](int, int) { return 173; });
    const Image directions(w, h, [](int x, int y) { return (x * 7 + y * 3) % 5 == 0 ? 127 : (x + y * 13) % 120; });
    DirectSmoothImage(w, h, image.rows(), directions.rows());
    DirFilterImage(w, h, image.rows(), 12, 2);
    Image passes(w, h, [](int x, int) { return x % 8; });
    FilterImage(w, h, image.rows(), directions.rows(), passes.rows());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            ASSERT_EQ(image.at(x, y), 173) << x << "," << y;
            ASSERT_EQ(passes.at(x, y) & 7, 0);
        }
}

TEST(DirectionalFilter, SmoothsAlongTheOrientationOnly) {
    // Vertical stripes (ridges along orientation 60): filtering along 60 keeps them exactly,
    // across (0) it blurs them.
    const int w = 30, h = 30;
    const Image stripes(w, h, [](int x, int) { return x % 4 < 2 ? 40 : 220; });
    Image along(stripes), across(stripes);
    DirectSmoothImage(w, h, along.rows(), Image(w, h, [](int, int) { return 60; }).rows());
    DirectSmoothImage(w, h, across.rows(), Image(w, h, [](int, int) { return 0 | 0x80; }).rows());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) EXPECT_EQ(along.at(x, y), stripes.at(x, y)) << x << "," << y;
    EXPECT_NE(across.at(15, 15), stripes.at(15, 15));
    // Interior pixel across the stripes: 11 pixels, 6 of one value and 5 of the other.
    const int expected = (10201 * (6 * stripes.at(15, 15) + 5 * (stripes.at(15, 15) == 40 ? 220 : 40))) / 112211;
    EXPECT_EQ(across.at(15, 15), expected);
}

TEST(DirectionalFilter, NoOrientationTakesTheNeighbourhoodMean) {
    const Image source(4, 3, [](int x, int y) { return 10 * x + 50 * y; });
    std::vector<uint8_t> linear = source.linear();
    EXPECT_EQ(FilterPixel(linear.data(), 4, 3, 1, 1, 127), (0 + 10 + 20 + 50 + 60 + 70 + 100 + 110 + 120) / 9);
    EXPECT_EQ(FilterPixel(linear.data(), 4, 3, 0, 0, 127), (0 + 10 + 50 + 60) / 4);
    // Near the border only the taps inside count, divided by their own weight.
    EXPECT_EQ(FilterPixel(linear.data(), 4, 3, 0, 1, 0), (50 + 60 + 70 + 80) / 4);
}

// Every pixel of a smoothed image is what FilterPixel gives it alone, whatever mix of
// orientations its neighbours have: runs of one orientation, slow drifts, jumps, pixels with
// none, and extreme pixel values; widths that leave part groups and rows near the border.
TEST(DirectionalFilter, EveryPixelAsFilterPixelGivesIt) {
    std::mt19937 rng(11);
    struct Case { int w, h; int pattern; };
    for (auto [w, h, pattern] : std::initializer_list<Case>{{17, 14, 0}, {37, 29, 1}, {61, 33, 2}, {70, 40, 3}}) {
        const Image source(w, h, [&](int x, int y) {
            const int v = int(rng() % 256);
            return pattern == 3 ? (v < 128 ? 0 : 255) : (x * 5 + y * 3 + v / 4) % 256;
        });
        const Image directions(w, h, [&](int x, int y) {
            switch (pattern) {
                case 0: return int(rng() % 128);                              // anything, some without one
                case 1: return (x / 6 + 7 * y) % 120;                         // runs of six
                case 2: return rng() % 9 == 0 ? 127 : (x / 2 + y * 3) % 120;  // drift with gaps
                default: return int(rng() % 3 == 0 ? rng() % 120 : 40 + x % 3) | (y % 2 ? 0x80 : 0);
            }
        });
        const std::vector<uint8_t> linear = source.linear();
        Image image(source);
        DirectSmoothImage(w, h, image.rows(), directions.rows());
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                ASSERT_EQ(image.at(x, y), FilterPixel(linear.data(), w, h, x, y, directions.at(x, y) & 0x7F))
                    << w << "x" << h << " at " << x << "," << y;
    }
}

TEST(DirFilterImage, ZeroPassesLeaveTheImage) {
    const Image original = test::OrientedSinusoid(40, 40, 17, 8);
    Image image(original);
    DirFilterImage(40, 40, image.rows(), 12, 0);
    EXPECT_EQ(image.linear(), original.linear());
    DirFilterImage(40, 40, image.rows(), 12, 1);
    EXPECT_NE(image.linear(), original.linear());
}

SingularPointList Points(std::initializer_list<std::pair<int, int>> xy) {
    SingularPointList list{};
    for (auto [x, y] : xy) {
        list.x[list.count] = x;
        list.y[list.count] = y;
        list.type[list.count++] = 1;
    }
    return list;
}

TEST(ComputeBadArea, HalfTheWindowGoodIsStillBad) {
    // Radius 1: a pixel is bad when at most 4 of its 9 window pixels are good.
    const int w = 9, h = 5;
    // Good pixels (quality below 100) in columns 0..3 only.
    const Image quality(w, h, [](int x, int) { return x <= 3 ? 10 + x : 200; });
    Image directions(w, h, [](int, int) { return 33; });
    const SingularPointList none{};
    const int32_t mean = ComputeBadArea(w, h, directions.rows(), quality.rows(), &none, 1, 100);
    // Interior row: column 3 sees 6 good (columns 2, 3), column 4 sees 3 good -> bad.
    EXPECT_EQ(directions.at(3, 2), 33);
    EXPECT_EQ(directions.at(4, 2), 0x80 | 33);
    // Top row, column 3: clipped window of 6 pixels with 4 good: at most 9 / 2 = 4 -> bad.
    EXPECT_EQ(directions.at(3, 0), 0x80 | 33);
    EXPECT_EQ(directions.at(2, 0), 33);  // 6 good
    int64_t sum = 0, count = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (!(directions.at(x, y) & 0x80)) {
                sum += quality.at(x, y);
                ++count;
            }
    EXPECT_EQ(mean, sum / count);
}

TEST(ComputeBadArea, SingularPointsKeepTheirSurroundingsGood) {
    const int w = 60, h = 40;
    const Image quality(w, h, [](int, int) { return 250; });
    Image directions(w, h);
    const SingularPointList core = Points({{30, 20}});
    EXPECT_EQ(ComputeBadArea(w, h, directions.rows(), quality.rows(), &core, 4, 196), 250);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool near = (x - 30) * (x - 30) + (y - 20) * (y - 20) < 256;
            ASSERT_EQ((directions.at(x, y) & 0x80) == 0, near) << x << "," << y;
        }
    Image all(w, h);
    const SingularPointList none{};
    EXPECT_EQ(ComputeBadArea(w, h, all.rows(), quality.rows(), &none, 4, 196), -1);
    EXPECT_EQ(uint8_t(ComputeBadArea(w, h, all.rows(), quality.rows(), &none, 4, 196)), 255);
}

TEST(ComputeDirImageF, PassCountsFromQuality) {
    // Noise of varying strength gives a spread of qualities; check every pixel's count
    // against the rule, with settings whose counts go past the 3-bit field.
    const int w = 48, h = 40;
    std::mt19937 rng(2);
    const Image image(w, h, [&](int x, int y) {
        return int(128 + 80 * std::sin(x * 0.8) + int(rng() % (1 + 4 * y)) - 2 * y);
    });
    Image directions(w, h, [](int x, int y) { return x < 4 && y < 4 ? 0x80 : 0; });
    Image passMap(w, h, [](int, int) { return 0xF8 | 5; });
    const SingularPointList core = Points({{40, 30}});
    struct Settings { uint8_t qmax, qmin; uint32_t base, scale; };
    for (const Settings s : {Settings{30, 20, 0, 4}, Settings{200, 0, 3, 9}, Settings{30, 30, 2, 4}, Settings{10, 20, 1, 1}}) {
        ComputeDirImageF(w, h, image.rows(), directions.rows(), passMap.rows(), &core, 3, s.qmax, s.qmin, s.base, s.scale);
        Image quality(image), measured(w, h);
        ComputeDirImage(w, h, quality.rows(), measured.rows(), 3, 3, 0, 0);
        int clamped = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                ASSERT_EQ(passMap.at(x, y) & 0xF8, 0xF8);
                ASSERT_EQ(directions.at(x, y) & 0x7F, measured.at(x, y));
                const bool bad = x < 4 && y < 4;
                ASSERT_EQ((directions.at(x, y) & 0x80) != 0, bad);
                const bool nearCore = (x - 40) * (x - 40) + (y - 30) * (y - 30) < 256;
                int expected = 0;
                if (!bad && !nearCore) {
                    // Quality without a contrast threshold: measured with threshold 0 above
                    // differs only where all differences are 0, which this image does not have.
                    const int qc = std::min<int>(quality.at(x, y), s.qmax);
                    const int v = qc >= s.qmin ? (qc - s.qmin) * int(s.scale) : 0;
                    const int span = s.qmax - s.qmin;
                    int extra = 0;
                    if (span > 0)
                        for (int k = 1; v - (k - 1) * span >= span / 2; ++k) ++extra;
                    expected = int(s.base) + extra;
                    if (expected > 7) {
                        expected = 7;
                        ++clamped;
                    }
                }
                ASSERT_EQ(passMap.at(x, y) & 7, expected) << x << "," << y;
            }
        if (s.scale == 9) {
            EXPECT_GT(clamped, 0);
        }
    }
}

TEST(FilterImage, FiltersEachPixelItsCountOfTimes) {
    const int w = 30, h = 20;
    const Image original = test::OrientedSinusoid(w, h, 5, 7);
    const Image directions(w, h, [](int, int) { return 20; });
    // Counts 0..3 by column block; each pixel must equal the result of filtering the whole
    // image that many times, as long as its neighbours were filtered as often.
    Image image(original), passes(w, h, [](int, int) { return 3; });
    FilterImage(w, h, image.rows(), directions.rows(), passes.rows());
    Image reference(original);
    for (int i = 0; i < 3; ++i) DirectSmoothImage(w, h, reference.rows(), directions.rows());
    EXPECT_EQ(image.linear(), reference.linear());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) ASSERT_EQ(passes.at(x, y), 0);

    Image untouched(original), none(w, h, [](int, int) { return 0xF0; });
    FilterImage(w, h, untouched.rows(), directions.rows(), none.rows());
    EXPECT_EQ(untouched.linear(), original.linear());
}

}  // namespace
