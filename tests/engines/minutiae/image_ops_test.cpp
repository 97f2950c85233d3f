// Normalisation, smoothing and binarisation against brute-force windows, and their edge cases.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "engines/minutiae/image_ops.h"
#include "test_support.h"

namespace {

using namespace mnt;
using mnt::test::Image;

// Clipped-window mean computed the slow way.
int BruteMean(const Image& img, int x, int y, int r) {
    long sum = 0, count = 0;
    for (int yy = y - r; yy <= y + r; ++yy)
        for (int xx = x - r; xx <= x + r; ++xx) {
            if (xx < 0 || yy < 0 || xx >= img.width() || yy >= img.height()) continue;
            sum += img.at(xx, yy);
            ++count;
        }
    return int(sum / count);
}

Image RandomImage(int w, int h, unsigned seed) {
    std::mt19937 rng(seed);
    return Image(w, h, [&](int, int) { return int(rng() % 256); });
}

Image RandomBinary(int w, int h, unsigned seed) {
    std::mt19937 rng(seed);
    return Image(w, h, [&](int x, int y) { return ((x / 3 + y / 2 + int(rng() % 3)) % 2) ? 255 : 0; });
}

struct Shape { int w, h, r; };
const Shape kShapes[] = {{1, 1, 0}, {1, 9, 2}, {13, 1, 3}, {17, 11, 0}, {17, 11, 1}, {23, 19, 4}, {9, 7, 12}, {31, 29, 128}};

TEST(WindowOperations, SmoothAndBinarizeMatchBruteForce) {
    for (const Shape s : kShapes) {
        const Image in = RandomImage(s.w, s.h, unsigned(s.w * 131 + s.r));
        Image smooth(in), binary(in);
        SmoothImage(s.w, s.h, smooth.rows(), uint32_t(s.r));
        BinarizeImage(s.w, s.h, binary.rows(), uint32_t(s.r));
        for (int y = 0; y < s.h; ++y)
            for (int x = 0; x < s.w; ++x) {
                const int mean = BruteMean(in, x, y, s.r);
                ASSERT_EQ(smooth.at(x, y), mean) << s.w << "x" << s.h << " r" << s.r << " at " << x << "," << y;
                ASSERT_EQ(binary.at(x, y), in.at(x, y) < mean ? 0 : 255);
            }
    }
}

TEST(WindowOperations, TwoRadiiAndDensityChosenRadius) {
    const int w = 27, h = 21;
    const Image in = RandomImage(w, h, 5);
    Image two(w, h);
    BinarizeImageTwo(w, h, in.rows(), two.rows(), 1, 4);
    const Image density(w, h, [](int x, int y) { return (x * 7 + y * 13) % 256; });
    Image adaptive(in);
    BinarizeImageA(w, h, adaptive.rows(), density.rows(), 130, 115, 2, 3, 6);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int threshold = (BruteMean(in, x, y, 1) + BruteMean(in, x, y, 4)) >> 1;
            ASSERT_EQ(two.at(x, y), in.at(x, y) < threshold ? 0 : 255) << x << "," << y;
            const int g = density.at(x, y);
            const int r = g >= 130 ? 2 : g >= 115 ? 3 : 6;
            ASSERT_EQ(adaptive.at(x, y), in.at(x, y) < BruteMean(in, x, y, r) ? 0 : 255) << x << "," << y;
        }
}

TEST(WindowOperations, NormalizeMatchesBruteForce) {
    const int w = 25, h = 20, r = 3;
    const Image source = RandomImage(w, h, 77);
    Image mean(source);
    SmoothImage(w, h, mean.rows(), 2);
    const Image entry(mean);
    NormalizeImage(w, h, source.rows(), mean.rows(), r);
    const Image deviation(w, h, [&](int x, int y) { return std::abs(entry.at(x, y) - source.at(x, y)); });
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int dev = BruteMean(deviation, x, y, r);
            const int m = entry.at(x, y), s = source.at(x, y);
            const int lo = std::max(0, m - dev), hi = std::min(255, m + dev);
            int expected = s;
            if (hi != lo) expected = s <= lo ? 0 : s >= hi ? 255 : (s - lo) * 255 / (hi - lo);
            ASSERT_EQ(mean.at(x, y), expected) << x << "," << y;
        }
}

TEST(WindowOperations, UniformImagesStayUniform) {
    const int w = 20, h = 15;
    Image flat(w, h, [](int, int) { return 77; });
    SmoothImage(w, h, flat.rows(), 5);
    PuttyImage(w, h, flat.rows());
    Image normalized(flat);
    NormalizeImage(w, h, flat.rows(), normalized.rows(), 4);
    Image binary(flat);
    BinarizeImage(w, h, binary.rows(), 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            EXPECT_EQ(flat.at(x, y), 77);
            EXPECT_EQ(normalized.at(x, y), 77);
            EXPECT_EQ(binary.at(x, y), 255);
        }
}

TEST(RidgeEdgeDensity, DensityImageMatchesBruteForce) {
    const int w = 24, h = 18, r = 3;
    const Image binary = RandomBinary(w, h, 3);
    // Orientations cycle through the table; a band of bad pixels and some without orientation.
    const Image directions(w, h, [](int x, int y) {
        if (y == 7) return 0x80 | 10;
        return x % 5 == 0 ? 127 : (x * 11 + y) % 120;
    });
    auto isEdge = [&](int x, int y) {
        int sum = 0;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) sum += binary.at(x + dx, y + dy);
        return sum >= 9 && sum <= 2286;
    };
    auto goodInterior = [&](int x, int y) {
        return x >= 1 && y >= 1 && x <= w - 2 && y <= h - 2 && !(directions.at(x, y) & 0x80);
    };
    Image density(binary);
    ComputeGImage(w, h, density.rows(), directions.rows(), r);
    long allGood = 0, allEdges = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (goodInterior(x, y)) {
                ++allGood;
                allEdges += isEdge(x, y);
            }
            int good = 0, edges = 0;
            for (int yy = std::max(0, y - r); yy <= std::min(h - 1, y + r); ++yy)
                for (int xx = std::max(0, x - r); xx <= std::min(w - 1, x + r); ++xx)
                    if (goodInterior(xx, yy)) {
                        ++good;
                        edges += isEdge(xx, yy);
                    }
            const int o = directions.at(x, y);
            const int k = o < 120 ? dir_koefs[o] : 100;
            ASSERT_EQ(density.at(x, y), good == 0 ? 0 : (edges * 255 / good) * k / 100) << x << "," << y;
        }
    EXPECT_EQ(ComputeG(w, h, binary.rows(), directions.rows()), allEdges * 255 / allGood);
}

TEST(RidgeEdgeDensity, NoGoodPixelsGivesZero) {
    const Image binary = RandomBinary(10, 10, 1);
    const Image bad(10, 10, [](int, int) { return 0x80; });
    EXPECT_EQ(ComputeG(10, 10, binary.rows(), bad.rows()), 0);
    const Image good(10, 2, [](int, int) { return 0; });
    EXPECT_EQ(ComputeG(10, 2, binary.rows(), good.rows()), 0);
}

TEST(RidgeEdgeDensity, CoefficientsArePeriodicAndMirrored) {
    const int head[31] = {100, 100, 100, 99, 99, 99, 98, 97, 96, 95, 95, 93, 92, 91, 90, 89,
                          88,  87,  86,  85, 84, 83, 82, 81, 80, 79, 79, 79, 78, 78, 78};
    for (int i = 0; i <= 30; ++i) EXPECT_EQ(dir_koefs[i], head[i]) << i;
    for (int i = 1; i < 60; ++i) EXPECT_EQ(dir_koefs[i], dir_koefs[60 - i]) << i;
    for (int i = 0; i < 60; ++i) EXPECT_EQ(dir_koefs[i], dir_koefs[i + 60]) << i;
}

TEST(BSmoothImage, MajorityOfNineAndWhiteBorder) {
    // Centre of a 3 x 3 block: a lone 255 among 0 becomes 0; five 255 make 255, four make 0.
    struct Case { int whites; int centre; };
    for (auto [whites, centre] : std::initializer_list<Case>{{1, 0}, {4, 0}, {5, 255}, {9, 255}}) {
        Image img(5, 5, [](int, int) { return 0; });
        int placed = 0;
        for (int y = 1; y <= 3; ++y)
            for (int x = 1; x <= 3; ++x)
                if (placed < whites) {
                    img.at(x, y) = 255;
                    ++placed;
                }
        BSmoothImage(5, 5, img.rows());
        EXPECT_EQ(img.at(2, 2), centre) << whites;
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(img.at(i, 0), 255);
            EXPECT_EQ(img.at(i, 4), 255);
            EXPECT_EQ(img.at(0, i), 255);
            EXPECT_EQ(img.at(4, i), 255);
        }
    }
}

TEST(EliminateSpots, KeepsBadAreasReachingTheBorder) {
    // 'B' bad (bit 7), '.' good. The two enclosed spots vanish, including the one that touches
    // the border region only diagonally; the region through the left edge stays.
    const char* rows[] = {
        "..........",
        "BBB.......",
        "..B...BB..",
        "..B...BB..",
        "...B......",
        "....B.....",
        "..........",
    };
    const int w = 10, h = 7;
    Image img(w, h, [&](int x, int y) { return rows[y][x] == 'B' ? 0x80 | 5 : 7; });
    EliminateSpots(w, h, img.rows());
    const char* expected[] = {
        "..........",
        "BBB.......",
        "..B.......",
        "..B.......",
        "..........",
        "..........",
        "..........",
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) EXPECT_EQ(img.at(x, y), expected[y][x] == 'B' ? 255 : 0) << x << "," << y;
}

}  // namespace
