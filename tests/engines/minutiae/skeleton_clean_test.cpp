// Skeleton repairs: digital lines, bridged gaps between ridge endings, opened eyes, node tracing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engines/minutiae/skeleton_clean.h"
#include "test_support.h"

namespace {

using namespace mnt;
using mnt::test::Image;

Image Blank(int w, int h) { return Image(w, h, [](int, int) { return 255; }); }

void Stroke(Image& image, int x0, int y0, int dx, int dy, int n) {
    for (int i = 0; i < n; ++i) image.at(x0 + i * dx, y0 + i * dy) = 0;
}

std::vector<std::pair<int, int>> RidgePixels(const Image& image) {
    std::vector<std::pair<int, int>> out;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.at(x, y) == 0) out.push_back({x, y});
    return out;
}

TEST(DigitalLine, AccumulatorInHundredths) {
    // (0, 0) to (10, 3): 100 x 3 / 10 = 30 a step; y moves when the sum reaches 50.
    Image image = Blank(12, 5);
    Line(0, 0, 10, 3, image.rows());
    const std::vector<std::pair<int, int>> want = {{0, 0}, {1, 0}, {2, 1}, {3, 1}, {4, 1}, {5, 2},
                                                   {6, 2}, {7, 2}, {8, 2}, {9, 3},  {10, 3}};
    EXPECT_EQ(RidgePixels(image), want);
    // Steep and backwards: (2, 9) to (0, 0) steps along y.
    Image steep = Blank(5, 10);
    Line(2, 9, 0, 0, steep.rows());
    const std::vector<std::pair<int, int>> wantSteep = {{0, 0}, {0, 1}, {0, 2}, {1, 3}, {1, 4},
                                                        {1, 5}, {1, 6}, {2, 7}, {2, 8}, {2, 9}};
    EXPECT_EQ(RidgePixels(steep), wantSteep);
}

TEST(DigitalLine, PixelOnLine) {
    Image image = Blank(20, 10);
    image.at(0, 0) = 0;   // the start never counts
    image.at(10, 3) = 0;  // nor the end
    EXPECT_EQ(PixelOnLine(0, 0, 10, 3, image.rows()), 0);
    EXPECT_EQ(PixelOnLine(4, 4, 4, 4, image.rows()), 1);  // identical points
    image.at(5, 2) = 0;
    EXPECT_EQ(PixelOnLine(0, 0, 10, 3, image.rows()), 1);
    EXPECT_EQ(PixelOnLine(10, 3, 0, 0, image.rows()), 0);  // the way back passes (5, 1)
}

TEST(EliminateLines, BridgesCollinearEndsOnly) {
    const Image good(100, 60, [](int, int) { return 0; });
    // A ridge from x = 10 ends at (40, 30); a second one has its near end at (x, y) and runs on to
    // the right, or back to the left.
    struct Case {
        int x, y, run;
        bool bridged;
    };
    for (const Case& c : {Case{50, 30, 1, true},     // collinear ends 10 apart
                          Case{55, 30, 1, true},     // 15 apart: still in reach
                          Case{56, 30, 1, false},    // 16 apart: out of reach
                          Case{50, 33, -1, false},   // the second ridge points back the same way
                          Case{50, 46, 1, false}}) { // 16 rows away
        Image image = Blank(100, 60);
        Stroke(image, 10, 30, 1, 0, 31);
        Stroke(image, c.x, c.y, c.run, 0, 20);
        const auto before = RidgePixels(image);
        EliminateLines(100, 60, image.rows(), good.rows());
        const auto after = RidgePixels(image);
        EXPECT_EQ(after.size() > before.size(), c.bridged) << c.x << "," << c.y;
        if (c.bridged) {
            for (int x = 41; x < c.x; ++x) EXPECT_EQ(image.at(x, 30), 0) << x;
        } else {
            EXPECT_EQ(after, before);
        }
    }
    // In the bad area an ending is not bridged from.
    Image image = Blank(100, 60);
    Stroke(image, 10, 30, 1, 0, 31);
    Stroke(image, 50, 30, 1, 0, 35);
    const Image bad(100, 60, [](int x, int) { return x == 40 || x == 50 ? 0x80 : 0; });
    EliminateLines(100, 60, image.rows(), bad.rows());
    EXPECT_EQ(image.at(45, 30), 255);
}

// A line along row 50 with a loop above it between the bifurcations at x = 40 and x = 52.
Image EyeAt(int x0, int row) {
    Image image = Blank(120, 100);
    Stroke(image, x0 - 20, row, 1, 0, 61);
    Stroke(image, x0, row - 1, 0, -1, 2);  // up from the left node
    Stroke(image, x0 + 1, row - 3, 1, 0, 11);
    Stroke(image, x0 + 12, row - 2, 0, 1, 2);  // down into the right node
    return image;
}

TEST(EliminateEyes, OpensTheLoopOnItsLongerSide) {
    Image image = EyeAt(40, 50);
    const Image good(120, 100, [](int, int) { return 0; });
    EliminateEyes(120, 100, image.rows(), good.rows());
    // The loop (17 pixels) goes, the straight side (13 pixels) and both nodes stay.
    for (int x = 20; x <= 80; ++x) EXPECT_EQ(image.at(x, 50), 0) << x;
    for (int x = 41; x <= 51; ++x) EXPECT_EQ(image.at(x, 47), 255) << x;
    EXPECT_EQ(image.at(40, 49), 255);
    EXPECT_EQ(image.at(52, 49), 255);
    // Nodes closer than 21 pixels to the border are not examined.
    Image nearTop = EyeAt(40, 20);
    const auto before = RidgePixels(nearTop);
    EliminateEyes(120, 100, nearTop.rows(), good.rows());
    EXPECT_EQ(RidgePixels(nearTop), before);
    // Nor in the bad area.
    Image inBad = EyeAt(40, 50);
    const Image bad(120, 100, [](int x, int y) { return (x == 40 || x == 52) && y == 50 ? 0x80 : 0; });
    EliminateEyes(120, 100, inBad.rows(), bad.rows());
    EXPECT_EQ(inBad.at(45, 47), 0);
}

TEST(EliminateEyes, ShortBridgeBetweenTwoForksGoes) {
    // Two Y-shaped forks, (50, 50) and (55, 50), joined by a bridge of four pixels: the bridge
    // goes, the forks become two bent ridges.
    Image image = Blank(120, 100);
    Line(50, 50, 60, 20, image.rows());
    Line(50, 50, 20, 56, image.rows());
    Line(50, 50, 55, 50, image.rows());
    Line(55, 50, 45, 80, image.rows());
    Line(55, 50, 85, 44, image.rows());
    auto want = RidgePixels(image);
    std::erase_if(want, [](const std::pair<int, int>& p) { return p.second == 50 && p.first > 50 && p.first < 55; });
    const Image good(120, 100, [](int, int) { return 0; });
    EliminateEyes(120, 100, image.rows(), good.rows());
    EXPECT_EQ(RidgePixels(image), want);

    // Forks at right angles (T-shaped) keep their bridge.
    Image ladder = Blank(120, 100);
    Line(20, 50, 80, 50, ladder.rows());
    Line(20, 55, 80, 55, ladder.rows());
    Line(50, 51, 50, 54, ladder.rows());
    const auto before = RidgePixels(ladder);
    EliminateEyes(120, 100, ladder.rows(), good.rows());
    EXPECT_EQ(RidgePixels(ladder), before);
}

TEST(GetNode, BranchesStatusesAndRestore) {
    Image image = EyeAt(40, 50);
    const auto before = RidgePixels(image);
    SkeletonNode node;
    GetNode(image.rows(), 120, 100, 40, 50, &node, 1);
    EXPECT_EQ(RidgePixels(image), before) << "restored";
    ASSERT_EQ(node.branches, 3);
    // Up around the loop to the other node, along the line to it, and left to the line's end.
    EXPECT_EQ(node.branch[0].count, 17);
    EXPECT_EQ(node.branch[0].status, kBranchMeets);
    EXPECT_EQ(node.branch[1].count, 13);
    EXPECT_EQ(node.branch[1].status, kBranchMeets);
    EXPECT_EQ(node.branch[2].count, 21);
    EXPECT_EQ(node.branch[2].status, kBranchStopped);
    EXPECT_EQ(node.branch[1].direction, 0);
    EXPECT_EQ(node.branch[2].direction, 120);
    EXPECT_EQ(node.angle[0], node.branch[0].direction);
    EXPECT_EQ(node.angle[1], 120);
    // Without restoring the branches stay erased; a plain line pixel has two branches.
    Image line = Blank(120, 100);
    Stroke(line, 10, 50, 1, 0, 100);
    GetNode(line.rows(), 120, 100, 60, 50, &node, 0);
    EXPECT_EQ(node.branches, 2);
    EXPECT_EQ(node.branch[0].status, kBranchComplete);
    EXPECT_EQ(node.branch[0].direction, 0);
    EXPECT_EQ(node.branch[1].direction, 120);
    EXPECT_EQ(node.angle[0], 255);
    EXPECT_EQ(RidgePixels(line).size(), 100u - 59);  // 30 to the right, 29 more to the left
}

TEST(NodeType, FromTheThreeAngles) {
    struct Case {
        int a, b, c, type;
    };
    for (const Case& c : {Case{60, 60, 120, 1}, Case{120, 55, 65, 1}, Case{120, 50, 70, 2}, Case{90, 80, 80, -1},
                          Case{100, 60, 80, 2}, Case{93, 60, 80, -1}, Case{100, 100, 40, -1}, Case{120, 30, 90, -1},
                          Case{111, 92, 31, 2}, Case{111, 93, 31, -1}}) {
        SkeletonNode node{};
        node.angle[0] = c.a;
        node.angle[1] = c.b;
        node.angle[2] = c.c;
        EXPECT_EQ(NodeType(&node), c.type) << c.a << " " << c.b << " " << c.c;
    }
}

}  // namespace
