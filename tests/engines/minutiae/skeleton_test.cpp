// Thinning and the neighbourhood count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engines/minutiae/skeleton.h"
#include "test_support.h"

namespace {

using namespace mnt;
using mnt::test::Image;

// '#' is ridge (0), anything else background (255).
Image Picture(const std::vector<std::string>& rows) {
    return Image(int(rows[0].size()), int(rows.size()), [&](int x, int y) { return rows[y][x] == '#' ? 0 : 255; });
}

std::vector<std::string> Text(const Image& image) {
    std::vector<std::string> rows;
    for (int y = 0; y < image.height(); ++y) {
        std::string row;
        for (int x = 0; x < image.width(); ++x) row += image.at(x, y) == 0 ? '#' : '.';
        rows.push_back(row);
    }
    return rows;
}

TEST(Skelet, ExactlyThe34Codes) {
    const std::vector<int> removed = {7,   14,  15,  28,  30,  31,  56,  60,  62,  63,  67,  88,
                                      97,  99,  112, 120, 124, 126, 131, 135, 143, 159, 191, 193,
                                      195, 208, 216, 224, 225, 227, 240, 248, 252, 254};
    std::vector<int> got;
    for (int code = 0; code < 256; ++code) {
        ASSERT_LE(skelet[code], 1);
        if (skelet[code]) got.push_back(code);
    }
    EXPECT_EQ(got, removed);
}

TEST(TransitionCount, EndingsLinesAndBranchings) {
    struct Case {
        std::vector<std::string> rows;
        int count;
    };
    for (const Case& c : std::initializer_list<Case>{
             {{"...", ".#.", "..."}, 0},
             {{"...", ".##", "..."}, 1},
             {{"#..", ".#.", "..."}, 1},
             {{"##.", ".#.", "..."}, 1},  // two touching neighbours are one line
             {{"...", "###", "..."}, 2},
             {{"#..", ".#.", "..#"}, 2},
             {{".#.", "###", "..."}, 3},
             {{"#.#", ".#.", ".#."}, 3},
             {{"#.#", ".#.", "#.#"}, 4},
             {{"...", "#.#", "..."}, -1},  // a background centre
         }) {
        const Image image = Picture(c.rows);
        EXPECT_EQ(GetTransitionCount(image.rows(), 1, 1), c.count) << c.rows[0] << "/" << c.rows[1] << "/" << c.rows[2];
    }
}

TEST(Skeletonize, ThinsToOnePixelLeavingBorderAndEnds) {
    // A bar three pixels thick, one two pixels thick, an isolated pixel and an ending stub.
    const Image source = Picture({
        "##############",
        "#............#",
        "#.##########.#",
        "#.##########.#",
        "#.##########.#",
        "#............#",
        "#.#########..#",
        "#.#########..#",
        "#............#",
        "#.#....##....#",
        "#............#",
        "##############",
    });
    Image zero(source);
    SkeletonizeImage(zero.width(), zero.height(), zero.rows(), 0);
    EXPECT_EQ(Text(zero), Text(source));

    Image image(source);
    SkeletonizeImage(image.width(), image.height(), image.rows(), 12);
    const auto text = Text(image);
    // The border is never touched.
    EXPECT_EQ(text[0], std::string(14, '#'));
    EXPECT_EQ(text[11], std::string(14, '#'));
    for (int y = 0; y < 12; ++y) {
        EXPECT_EQ(text[y][0], '#');
        EXPECT_EQ(text[y][13], '#');
    }
    // Each bar keeps exactly one pixel in every inner column, and nothing outside its rows.
    for (int x = 4; x <= 9; ++x) {
        EXPECT_EQ((text[2][x] == '#') + (text[3][x] == '#') + (text[4][x] == '#'), 1) << x;
        EXPECT_EQ((text[6][x] == '#') + (text[7][x] == '#'), 1) << x;
    }
    // The isolated pixel and the two-pixel stub stay.
    EXPECT_EQ(text[9][2], '#');
    EXPECT_EQ(text[9].substr(7, 2), "##");
}

TEST(Skeletonize, BothSubPassesThinFromEitherSide) {
    // A thick block thins to a line near its middle, not against one of its sides.
    Image image(40, 21, [](int x, int y) { return x >= 5 && x < 35 && y >= 5 && y < 16 ? 0 : 255; });
    SkeletonizeImage(40, 21, image.rows(), 12);
    for (int x = 12; x < 28; ++x) {
        int first = -1, count = 0;
        for (int y = 0; y < 21; ++y)
            if (image.at(x, y) == 0) {
                if (first < 0) first = y;
                ++count;
            }
        EXPECT_EQ(count, 1) << x;
        EXPECT_GE(first, 9) << x;
        EXPECT_LE(first, 11) << x;
    }
}

}  // namespace
