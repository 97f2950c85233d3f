// Orientation from directional differences, block and pixel direction images.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <random>

#include "engines/minutiae/directions.h"
#include "engines/minutiae/image_ops.h"
#include "engines/minutiae/quotient.h"
#include "test_support.h"

namespace {

using namespace mnt;
using mnt::test::Image;

int OrientationError(int a, int b) {
    const int d = std::abs(a - b) % 120;
    return std::min(d, 120 - d);
}

TEST(OrientationFromDifferences, HandWorkedValues) {
    struct Case { int64_t h, d1, v, d2, threshold; int orientation, quality; };
    for (auto c : std::initializer_list<Case>{
             // flat: four equal values
             {40, 40, 40, 40, -1, 127, 255},
             {0, 0, 0, 0, -1, 127, 255},
             // ridges along rows: offset +15 from base 105 folds 120 into 0
             {0, 50, 100, 50, -1, 0, 0},
             // along columns
             {100, 50, 0, 50, -1, 60, 0},
             // between 0 and 30: base 15, offset 0
             {0, 0, 100, 100, -1, 15, 0},
             // three equal low values: base 45 (first pair in the order), offset -15
             {0, 0, 0, 90, -1, 30, 0},
             // contrast at or below the threshold makes the quality 255, keeps the orientation
             {0, 50, 100, 50, 100, 0, 255},
             {0, 50, 100, 50, 99, 0, 0},
             // a weaker field: lo 20 hi 60 below 80 above 100 (base 15)
             {20, 60, 100, 80, -1, 5, 15},
         }) {
        const Orientation o = OrientationFromDifferences(c.h, c.d1, c.v, c.d2, c.threshold);
        EXPECT_EQ(o.orientation, c.orientation) << c.h << " " << c.d1 << " " << c.v << " " << c.d2;
        EXPECT_EQ(o.quality, c.quality) << c.h << " " << c.d1 << " " << c.v << " " << c.d2;
    }
}

TEST(OrientationFromDifferences, TiesKeepTheEarlierPair) {
    // Pair order 45, 75, 105, 15; each case ties two pairs whose results differ.
    struct Case { int64_t h, d1, v, d2; int orientation; };
    for (auto c : std::initializer_list<Case>{
             {0, 5, 0, 5, 30}, {5, 10, 0, 10, 40}, {10, 0, 10, 5, 50}, {10, 5, 10, 0, 70}, {0, 10, 5, 10, 100}}) {
        EXPECT_EQ(OrientationFromDifferences(c.h, c.d1, c.v, c.d2, -1).orientation, c.orientation)
            << c.h << " " << c.d1 << " " << c.v << " " << c.d2;
    }
}

TEST(OrientationFromDifferences, AlwaysAValidDirectionByte) {
    std::mt19937_64 rng(8);
    for (int i = 0; i < 40000; ++i) {
        // Small window sums and sums of squared differences over large windows.
        const uint64_t range = i % 2 ? 5000 : uint64_t(1) << 40;
        const int64_t h = rng() % range, d1 = rng() % range, v = rng() % range, d2 = rng() % range;
        const Orientation o = OrientationFromDifferences(h, d1, v, d2, int64_t(rng() % 3000));
        ASSERT_TRUE((o.orientation >= 0 && o.orientation < 120) || o.orientation == 127);
        ASSERT_GE(o.quality, 0);
        ASSERT_LE(o.quality, 255);
    }
}

TEST(BlockDirections, GridSizeAndSmallImages) {
    int columns = -1, rows = -1;
    ComputeBlockedImageSize(2048, 2047, &columns, &rows);
    EXPECT_EQ(columns, 128);
    EXPECT_EQ(rows, 127);
    ComputeBlockedImageSize(15, 300, &columns, &rows);
    EXPECT_EQ(columns, 0);
    EXPECT_EQ(rows, 18);
    // No blocks: nothing is written.
    const Image img(15, 15, [](int x, int) { return x * 10; });
    ComputeBlockDirImage(15, 15, img.rows(), 0, 0, nullptr, nullptr, 17);
    CleanupBlockDirImage(0, 0, nullptr, nullptr, 207);
}

TEST(BlockDirections, CleanupCountsStrongNeighbours) {
    const int n = 5;
    Image directions(n, n, [](int, int) { return 40; });
    // Weak blocks (quality not below the limit) fill column 2.
    const Image quality(n, n, [](int x, int) { return x == 2 ? 207 : 206; });
    CleanupBlockDirImage(n, n, directions.rows(), quality.rows(), 207);
    const char* expected[] = {
        "RRRRR",  // corners see 4 blocks, the others on these rows 6 of which 2 are weak
        ".....",  // 6 or 9 blocks, at most 3 of them weak
        ".....",
        ".....",
        "RRRRR",
    };
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            EXPECT_EQ(directions.at(x, y), expected[y][x] == 'R' ? 255 : 40) << x << "," << y;
}

// Normalised like extraction does it before measuring orientations.
Image Prepared(const Image& raw) {
    Image smooth(raw);
    SmoothImage(raw.width(), raw.height(), smooth.rows(), 4);
    Image normalized(smooth);
    NormalizeImage(raw.width(), raw.height(), raw.rows(), normalized.rows(), 128);
    return normalized;
}

TEST(DirectionImage, SinusoidsAtEveryOrientation) {
    const int size = 80;
    int worstPixel = 0, worstBlock = 0;
    for (int o = 0; o < 120; ++o) {
        const Image image = Prepared(test::OrientedSinusoid(size, size, o, 9.0));
        Image quality(image);
        Image directions(size, size);
        ComputeDirImage(size, size, quality.rows(), directions.rows(), 12, 12, 19, 0);
        for (int y = 24; y < size - 24; y += 8)
            for (int x = 24; x < size - 24; x += 8) {
                ASSERT_LT(directions.at(x, y), 120) << o;
                worstPixel = std::max(worstPixel, OrientationError(directions.at(x, y), o));
                EXPECT_LT(quality.at(x, y), 128) << o;
            }
        int columns, rows;
        ComputeBlockedImageSize(size, size, &columns, &rows);
        Image blocks(columns, rows), blockQuality(columns, rows);
        ComputeBlockDirImage(size, size, image.rows(), columns, rows, blocks.rows(), blockQuality.rows(), 17);
        CleanupBlockDirImage(columns, rows, blocks.rows(), blockQuality.rows(), 207);
        for (int by = 1; by < rows - 1; ++by)
            for (int bx = 1; bx < columns - 1; ++bx) {
                ASSERT_LT(blocks.at(bx, by), 120) << o;
                worstBlock = std::max(worstBlock, OrientationError(blocks.at(bx, by), o));
            }
    }
    EXPECT_LE(worstPixel, 2);
    EXPECT_LE(worstBlock, 2);
}

TEST(DirectionImage, FlatRegionHasNoOrientationAndKeepsBadBits) {
    const Image flat(40, 30, [](int, int) { return 90; });
    Image quality(flat);
    Image directions(40, 30, [](int x, int) { return x < 5 ? 0x80 : 0; });
    ComputeDirImage(40, 30, quality.rows(), directions.rows(), 3, 3, 19, 0);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            ASSERT_EQ(directions.at(x, y), x < 5 ? 0x80 | 127 : 127);
            ASSERT_EQ(quality.at(x, y), 255);
        }
}

// Slow window sums of the four differences, for comparison with the running sums.
Orientation BrutePixel(const Image& img, int x, int y, int r, bool squared, int64_t threshold) {
    int64_t s[4] = {0, 0, 0, 0};
    for (int yy = std::max(0, y - r); yy <= std::min(img.height() - 1, y + r); ++yy)
        for (int xx = std::max(0, x - r); xx <= std::min(img.width() - 1, x + r); ++xx) {
            if (xx < 1 || yy < 1 || xx >= img.width() - 1 || yy >= img.height() - 1) continue;
            const int p = img.at(xx, yy);
            auto t = [&](int q) -> int64_t { return squared ? int64_t(p - q) * (p - q) : std::abs(p - q); };
            s[0] += t(img.at(xx - 1, yy)) + t(img.at(xx + 1, yy));
            s[1] += t(img.at(xx - 1, yy - 1)) + t(img.at(xx + 1, yy + 1));
            s[2] += t(img.at(xx, yy - 1)) + t(img.at(xx, yy + 1));
            s[3] += t(img.at(xx + 1, yy - 1)) + t(img.at(xx - 1, yy + 1));
        }
    const int64_t d1 = squared ? s[1] / 2 : s[1] * 71 / 100, d2 = squared ? s[3] / 2 : s[3] * 71 / 100;
    return OrientationFromDifferences(s[0], d1, s[2], d2, threshold);
}

TEST(DirectionImage, RunningSumsMatchBruteForce) {
    std::mt19937 rng(4);
    const Image img(23, 17, [&](int x, int y) { return int(128 + 90 * std::sin(x * 0.7 + y * 0.3) + rng() % 40); });
    struct Case { uint32_t dirRadius, noiseRadius, squared; };
    for (auto c : std::initializer_list<Case>{{2, 2, 0}, {3, 5, 0}, {4, 4, 1}, {30, 1, 1}}) {
        Image quality(img);
        Image directions(23, 17);
        ComputeDirImage(23, 17, quality.rows(), directions.rows(), c.dirRadius, c.noiseRadius, 3, c.squared);
        for (int y = 0; y < 17; ++y)
            for (int x = 0; x < 23; ++x) {
                const int64_t side = 2 * c.noiseRadius + 1;
                const Orientation dir = BrutePixel(img, x, y, int(c.dirRadius), c.squared != 0, -1);
                const Orientation noise = BrutePixel(img, x, y, int(c.noiseRadius), false, 3 * 2 * side * side);
                ASSERT_EQ(directions.at(x, y), dir.orientation) << x << "," << y;
                ASSERT_EQ(quality.at(x, y), noise.quality) << x << "," << y;
            }
    }
}

// The orientation rows divide through float quotients corrected in integers: exact next to
// every multiple, where the float rounding of large dividends lands on the wrong side.
TEST(BoundedQuotient, ExactBesideMultiplesAndBoundedAboveTheCap) {
    std::mt19937 rng(3);
    for (const int32_t cap : {16, 256}) {
        const int32_t largest = int32_t(((int64_t(1) << 31) - 1) / (cap + 1));
        for (const int32_t d : {1, 3, 30, 1000, 65537, (1 << 20) + 7, largest - 1, largest}) {
            for (int64_t q = 0; q <= cap + 2; ++q)
                for (const int64_t a : {q * d - 1, q * d, q * d + 1, q * d + d / 2}) {
                    if (a < 0 || a > INT32_MAX) continue;
                    const int32_t got = BoundedQuotient(int32_t(a), d, cap);
                    if (a / d < cap) ASSERT_EQ(got, a / d) << a << " / " << d << " cap " << cap;
                    else ASSERT_GE(got, cap) << a << " / " << d << " cap " << cap;
                }
            for (int i = 0; i < 2000; ++i) {
                const int32_t a = int32_t(rng() % uint32_t(INT32_MAX));
                const int32_t got = BoundedQuotient(a, d, cap);
                if (a / d < cap) ASSERT_EQ(got, a / d) << a << " / " << d << " cap " << cap;
                else ASSERT_GE(got, cap) << a << " / " << d << " cap " << cap;
            }
        }
    }
}

// Pixel orientations and qualities where the running sums span the 32-bit range: noise, hard
// stripes and flat patches, small and whole-image windows, absolute and squared differences.
TEST(DirectionImage, WideRangeOfSumsMatchesBruteForce) {
    std::mt19937 rng(9);
    const int w = 41, h = 35;
    const Image noise(w, h, [&](int, int) { return int(rng() % 256); });
    const Image stripes(w, h, [](int x, int y) { return (2 * x + y) % 7 < 3 ? 0 : 255; });
    const Image patches(w, h, [&](int x, int y) { return x < 20 && y < 18 ? 200 : int(rng() % 2) * 255; });
    struct Case { const Image* image; uint32_t radius, squared; };
    for (auto c : std::initializer_list<Case>{{&noise, 1, 0},   {&noise, 12, 0},   {&stripes, 3, 0},
                                              {&stripes, 40, 0}, {&patches, 5, 0}, {&patches, 2, 1},
                                              {&noise, 6, 1}}) {
        Image quality(*c.image);
        Image directions(w, h);
        ComputeDirImage(w, h, quality.rows(), directions.rows(), c.radius, c.radius, 3, c.squared);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int64_t side = 2 * int64_t(c.radius) + 1;
                const Orientation dir = BrutePixel(*c.image, x, y, int(c.radius), c.squared != 0, -1);
                const Orientation noiseQuality = BrutePixel(*c.image, x, y, int(c.radius), false, 3 * 2 * side * side);
                ASSERT_EQ(directions.at(x, y), dir.orientation) << c.radius << " at " << x << "," << y;
                ASSERT_EQ(quality.at(x, y), noiseQuality.quality) << c.radius << " at " << x << "," << y;
            }
    }
}

}  // namespace
