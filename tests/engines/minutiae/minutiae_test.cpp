// Minutiae on hand-drawn skeletons: ending and bifurcation directions, curvature, the list, and the
// false-minutiae filters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "engines/minutiae/features.h"
#include "engines/minutiae/geometry.h"
#include "engines/minutiae/minutiae.h"
#include "test_support.h"

namespace {

using namespace mnt;
using mnt::test::Image;

Image Blank(int w, int h) { return Image(w, h, [](int, int) { return 255; }); }

// Ridge pixels (x0 + i dx, y0 + i dy) for i = 0 .. n - 1.
void Stroke(Image& image, int x0, int y0, int dx, int dy, int n) {
    for (int i = 0; i < n; ++i) image.at(x0 + i * dx, y0 + i * dy) = 0;
}

Image Directions(int w, int h, int orientation) {
    return Image(w, h, [=](int, int) { return orientation; });
}

TEST(EndDirection, PointsIntoTheRidgeAndNeedsTwentyPixels) {
    Image image = Blank(100, 60);
    Stroke(image, 10, 30, 1, 0, 61);  // x 10..70
    Stroke(image, 85, 5, 0, 1, 46);   // y 5..50
    Stroke(image, 20, 50, 1, 0, 19);  // 19 pixels: too short
    const Image before(image);
    struct Case {
        int x, y, direction;
    };
    for (const Case& c : {Case{10, 30, 0}, Case{70, 30, 120}, Case{85, 5, 60}, Case{85, 50, 180},
                          Case{20, 50, kNoDirection}, Case{38, 50, kNoDirection}}) {
        EXPECT_EQ(ComputeEndDirection(100, 60, image.rows(), c.y, c.x), c.direction) << c.x << "," << c.y;
        EXPECT_EQ(image.linear(), before.linear()) << "skeleton restored";
    }
}

TEST(BranchDirection, MeanOfTheClosestBranches) {
    // A stem to the left and two arms at 45 degrees: the fork opens to the right (direction 0).
    Image image = Blank(100, 100);
    Stroke(image, 20, 50, 1, 0, 31);   // stem x 20..50, node at (50, 50)
    Stroke(image, 51, 49, 1, -1, 25);  // arm up and right
    Stroke(image, 51, 51, 1, 1, 25);   // arm down and right
    const Image before(image);
    EXPECT_EQ(ComputeBranchDirection(100, 100, image.rows(), 50, 50), 0);
    EXPECT_EQ(image.linear(), before.linear());

    // The same with an arm of 6 pixels: the branch is too short to trace.
    Image shortArm = Blank(100, 100);
    Stroke(shortArm, 20, 50, 1, 0, 31);
    Stroke(shortArm, 51, 49, 1, -1, 25);
    Stroke(shortArm, 51, 51, 1, 1, 6);
    EXPECT_EQ(ComputeBranchDirection(100, 100, shortArm.rows(), 50, 50), kShortBranch);
}

TEST(BranchDirection, SideNeighboursBlankedOnTheFirstStep) {
    // Branches leave the node upwards (then up-left) and to the right; without blanking the node's
    // right neighbour the first trace would turn into the right-hand branch and leave the upper
    // one untraced.
    Image image = Blank(100, 100);
    image.at(50, 50) = image.at(50, 49) = 0;
    Stroke(image, 49, 48, -1, -1, 24);  // up and left
    Stroke(image, 51, 50, 1, 0, 25);    // right
    Stroke(image, 50, 51, 0, 1, 25);    // down
    const Image before(image);
    // Up-left (150), right (0) and down (60): right and down are closest, their mean is 30.
    EXPECT_EQ(ComputeBranchDirection(100, 100, image.rows(), 50, 50), 30);
    EXPECT_EQ(image.linear(), before.linear());
}

TEST(Curvature, MeanOrientationDeviation) {
    const Image flat = Directions(41, 41, 10);
    EXPECT_EQ(ComputeCurvature(41, 41, flat.rows(), 20, 20, 10), 0);
    const Image none = Directions(41, 41, 127);
    EXPECT_EQ(ComputeCurvature(41, 41, none.rows(), 20, 20, 10), 0);
    // Ten of the 21 window columns differ by 60; bit 7 is ignored.
    const Image half(41, 41, [](int x, int) { return x > 20 ? 70 : 0x80 | 10; });
    EXPECT_EQ(ComputeCurvature(41, 41, half.rows(), 20, 20, 10), 210 * 60 * 255 / (441 * 60));
    // Differences of 61 and more fold (119 against 10 is 11); unset pixels are not counted.
    const Image folded(41, 41, [](int x, int) { return x > 20 ? 119 : x < 15 ? 127 : 10; });
    EXPECT_EQ(ComputeCurvature(41, 41, folded.rows(), 20, 20, 10), 210 * 11 * 255 / ((441 - 5 * 21) * 60));
    // The window is clipped at the corner.
    EXPECT_EQ(ComputeCurvature(41, 41, half.rows(), 0, 40, 10), 0);
}

TEST(ExtractMinutiae, EndingsInRowOrderOutsideTheBadArea) {
    Image image = Blank(100, 60);
    Stroke(image, 10, 30, 1, 0, 61);
    Stroke(image, 20, 45, 1, 0, 41);
    Image directions = Directions(100, 60, 0);
    auto list = std::make_unique<MinutiaList>();
    list->count = 77;
    ExtractMinutiae(100, 60, image.rows(), directions.rows(), list.get());
    ASSERT_EQ(list->count, 4);
    const int want[4][4] = {{10, 30, 0, 0}, {70, 30, 120, 0}, {20, 45, 0, 0}, {60, 45, 120, 0}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(list->x[i], want[i][0]);
        EXPECT_EQ(list->y[i], want[i][1]);
        EXPECT_EQ(list->direction[i], want[i][2]);
        EXPECT_EQ(list->kind[i], want[i][3]);
        EXPECT_EQ(list->curvature[i], 0);
    }
    directions.at(70, 30) |= 0x80;
    ExtractMinutiae(100, 60, image.rows(), directions.rows(), list.get());
    EXPECT_EQ(list->count, 3);
}

TEST(ExtractMinutiae, ListHoldsAtMost1024) {
    // 600 short strokes have 1200 ends; each is recorded (with no direction) until the list is full.
    Image image = Blank(210, 40);
    for (int row = 0; row < 6; ++row)
        for (int column = 0; column < 100; ++column) Stroke(image, 5 + 2 * column, 4 + 5 * row, 0, 1, 3);
    const Image directions = Directions(210, 40, 0);
    auto list = std::make_unique<MinutiaList>();
    ExtractMinutiae(210, 40, image.rows(), directions.rows(), list.get());
    EXPECT_EQ(list->count, kMaxMinutiae);
    EXPECT_EQ(list->direction[0], kNoDirection);
}

struct Placed {
    int x, y, direction, kind;
};

std::unique_ptr<MinutiaList> ListOf(std::vector<Placed> points) {
    std::stable_sort(points.begin(), points.end(),
                     [](const Placed& a, const Placed& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
    auto list = std::make_unique<MinutiaList>();
    for (const Placed& p : points) {
        const int i = list->count++;
        list->x[i] = p.x;
        list->y[i] = p.y;
        list->direction[i] = p.direction;
        list->kind[i] = p.kind;
        list->curvature[i] = 7;
    }
    return list;
}

int DirectionAt(const MinutiaList& list, int x, int y) {
    for (int i = 0; i < list.count; ++i)
        if (list.x[i] == x && list.y[i] == y) return list.direction[i];
    return 9999;
}

TEST(SelectBadMinutiae, Clusters) {
    const Image directions = Directions(200, 200, 0);
    const std::vector<Placed> five = {{47, 44, 3, 0}, {55, 46, 3, 0}, {42, 50, 3, 0}, {58, 50, 3, 0}, {50, 58, 3, 0}};
    struct Case {
        std::vector<Placed> others;
        int centre;
    };
    std::vector<Placed> six = five, fivePlusFar = five, fivePlusFlagged = five;
    six.push_back({50, 40, 3, 0});
    fivePlusFar.push_back({64, 50, 3, 0});         // exactly 14 pixels away: odd distance 15
    fivePlusFlagged.push_back({50, 40, kNoDirection, 1});  // marked ones still count
    for (const Case& c : {Case{five, 3}, Case{six, kClusterMark}, Case{fivePlusFar, 3},
                          Case{fivePlusFlagged, kClusterMark}}) {
        std::vector<Placed> all = c.others;
        all.push_back({50, 50, 3, 0});
        auto list = ListOf(all);
        SelectBadMinutiae(200, 200, nullptr, directions.rows(), list.get(), 0, 0);
        EXPECT_EQ(DirectionAt(*list, 50, 50), c.centre) << c.others.size();
    }
}

TEST(SelectBadMinutiae, FacingPairs) {
    const Image directions = Directions(200, 200, 0);
    struct Case {
        Placed a, b;
        uint32_t pairFilter;
        bool removed;
    };
    for (const Case& c : {
             Case{{50, 50, 10, 1}, {55, 50, 130, 1}, 1, true},    // bifurcations 5 apart, facing
             Case{{50, 50, 10, 1}, {55, 50, 130, 1}, 0, false},   // the filter is off
             Case{{50, 50, 10, 1}, {56, 50, 130, 1}, 1, false},   // 6 apart: odd distance 7
             Case{{50, 50, 10, 0}, {52, 50, 130, 1}, 1, false},   // 2 apart: odd distance 3
             Case{{50, 50, 10, 0}, {51, 51, 130, 0}, 1, true},    // neighbours: distance 1
             Case{{50, 50, 10, 1}, {54, 50, 149, 1}, 1, false},   // 139 steps apart
             Case{{50, 50, 10, 1}, {54, 50, 148, 1}, 1, true},    // 138 steps apart
             Case{{50, 50, 10, 1}, {54, 50, 111, 1}, 1, false},   // 101 steps apart
             Case{{50, 50, 200, 1}, {54, 50, 80, 1}, 1, true},    // 120 across 0
         }) {
        auto list = ListOf({c.a, c.b});
        SelectBadMinutiae(200, 200, nullptr, directions.rows(), list.get(), c.pairFilter, 0);
        EXPECT_EQ(list->direction[0] == kFacingPairMark, c.removed) << c.a.direction << " " << c.b.direction;
        EXPECT_EQ(list->direction[1] == kFacingPairMark, c.removed);
    }
}

TEST(SelectBadMinutiae, BorderAndBadArea) {
    Image directions = Directions(100, 80, 0);
    directions.at(30, 59) |= 0x80;
    struct Case {
        int x, y;
        bool removed;
    };
    for (const Case& c : {Case{10, 40, false}, Case{9, 40, true}, Case{89, 40, false}, Case{90, 40, true},
                          Case{50, 10, false}, Case{50, 9, true}, Case{50, 69, false}, Case{50, 70, true},
                          Case{40, 49, true}, Case{41, 49, false}, Case{20, 69, true}}) {
        auto list = ListOf({{c.x, c.y, 100, 0}});
        SelectBadMinutiae(100, 80, nullptr, directions.rows(), list.get(), 1, 0);
        EXPECT_EQ(list->direction[0], c.removed ? kBorderMark : 100) << c.x << "," << c.y;
    }
}

TEST(SelectBadMinutiae, LowContrastSurroundings) {
    const Image directions = Directions(100, 100, 0);
    const Image flat(100, 100, [](int, int) { return 128; });
    const Image ridges(100, 100, [](int x, int y) { return (x + y) / 4 % 2 ? 30 : 220; });
    for (const bool striped : {false, true}) {
        auto list = ListOf({{50, 50, 37, 0}});
        SelectBadMinutiae(100, 100, (striped ? ridges : flat).rows(), directions.rows(), list.get(), 1, 1);
        EXPECT_EQ(list->direction[0], striped ? 37 : kLowContrastMark);
        // Without the test the flat patch passes.
        auto untested = ListOf({{50, 50, 37, 0}});
        SelectBadMinutiae(100, 100, flat.rows(), directions.rows(), untested.get(), 1, 0);
        EXPECT_EQ(untested->direction[0], 37);
    }
}

TEST(FtrQuality, WeakAndStrongPatches) {
    struct Case {
        int (*pixel)(int, int);
        int result;
    };
    for (const Case& c : {Case{[](int, int) { return 128; }, 1},
                          Case{[](int x, int) { return x / 3 % 2 ? 40 : 200; }, 1},  // no change down the rows
                          Case{[](int, int y) { return y / 3 % 2 ? 40 : 200; }, 0},
                          Case{[](int, int y) { return y < 15 && y / 3 % 2 ? 40 : 200; }, 1}}) {  // bottom flat
        Image patch(30, 30, c.pixel), work(30, 30);
        EXPECT_EQ(GetFtrQuality(patch.rows(), work.rows(), 30), c.result);
    }
}

TEST(Putty1FTR1, MeanAndEdgeCopies) {
    Image patch(5, 5, [](int x, int y) { return x == 2 && y == 2 ? 90 : 0; });
    Image work(5, 5, [](int, int) { return 3; });
    Putty1FTR1(patch.rows(), work.rows(), 5, 5);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x) {
            EXPECT_EQ(patch.at(x, y), 10) << x << "," << y;
            EXPECT_EQ(work.at(x, y), 0);
        }
}

TEST(EliminateBadMinutiae, KeepsTheOthersInOrder) {
    auto list = ListOf({{1, 1, 5, 0}, {2, 2, -20, 1}, {3, 3, 0, 1}, {4, 4, -666, 0}, {5, 5, 239, 0}});
    list->curvature[2] = 99;
    EliminateBadMinutiae(list.get());
    ASSERT_EQ(list->count, 3);
    const int want[3][4] = {{1, 5, 0, 7}, {3, 0, 1, 99}, {5, 239, 0, 7}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(list->x[i], want[i][0]);
        EXPECT_EQ(list->y[i], want[i][0]);
        EXPECT_EQ(list->direction[i], want[i][1]);
        EXPECT_EQ(list->kind[i], want[i][2]);
        EXPECT_EQ(list->curvature[i], want[i][3]);
    }
}

}  // namespace
