// Singular points: Poincare index, detection on block grids, grouping, placement and direction.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>

#include "engines/minutiae/directions.h"
#include "engines/minutiae/geometry.h"
#include "engines/minutiae/image_ops.h"
#include "engines/minutiae/singular_points.h"
#include "test_support.h"

namespace {

using namespace mnt;
using mnt::test::Image;

TEST(PoincareIndex, HalfTurnsAroundThePath) {
    struct Case { std::vector<uint8_t> path; int index; };
    for (const auto& c : std::vector<Case>{
             {{75, 90, 105, 0, 15, 30, 45, 60}, 1},     // loop: a half turn with the path
             {{45, 30, 15, 0, 105, 90, 75, 60}, -1},    // the other sense
             {{40, 40, 41, 39, 40, 40, 40, 40}, 0},     // no turn
             {{0, 20, 40, 60, 80, 100, 0, 20, 40, 60, 80, 100}, 2},
             {{10, 70, 10, 10}, 0},                     // a step of exactly 60 is ambiguous
             {{50, 50, 50, 110}, 0},                    // the wrap from the last element counts too
             {{127, 127, 127}, 0},
         }) {
        EXPECT_EQ(ComputePoincareIndex(int(c.path.size()), c.path.data()), c.index) << int(c.path[0]);
    }
    EXPECT_EQ(ComputePoincareIndex(0, nullptr), 0);
}

// A grid whose orientations turn by k half turns around the point (cx, cy) in block units.
Image TurningGrid(int columns, int rows, double cx, double cy, double halfTurns) {
    return Image(columns, rows, [&](int x, int y) {
        const double phi = std::atan2(y - cy, x - cx);  // grows towards increasing y
        double o = std::fmod(phi * halfTurns * 60.0 / M_PI + 600.0, 120.0);
        return int(std::lround(o)) % 120;
    });
}

TEST(ExtractSingularPoints, LoopBetweenFourBlocksIsFoundByAllFour) {
    const Image grid = TurningGrid(12, 10, 5.5, 4.5, 1.0);
    SingularPointList list{};
    list.count = 99;
    ExtractSingularPoints(12, 10, grid.rows(), &list);
    ASSERT_EQ(list.count, 4);
    const int expected[4][2] = {{5, 4}, {6, 4}, {5, 5}, {6, 5}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(list.x[i], expected[i][0]);
        EXPECT_EQ(list.y[i], expected[i][1]);
        EXPECT_EQ(list.direction[i], -1);
        EXPECT_EQ(list.type[i], 1);
    }
    const Image delta = TurningGrid(12, 10, 5.5, 4.5, -1.0);
    ExtractSingularPoints(12, 10, delta.rows(), &list);
    ASSERT_EQ(list.count, 4);
    EXPECT_EQ(list.type[0], -1);
}

TEST(ExtractSingularPoints, RingsDecideTogether) {
    // Only block (2, 2) of a 5 x 5 grid is examined; its two rings are set independently.
    struct Case { double inner, outer; int count, type; };
    for (auto c : std::initializer_list<Case>{{1, 1, 1, 1}, {1, 2, 1, 2}, {1, -1, 0, 0}, {0, 1, 0, 0}, {-1, -1, 1, -1}}) {
        const Image inner = TurningGrid(5, 5, 2, 2, c.inner);
        const Image outer = TurningGrid(5, 5, 2, 2, c.outer);
        const Image grid(5, 5, [&](int x, int y) {
            const bool ring8 = std::abs(x - 2) <= 1 && std::abs(y - 2) <= 1;
            return ring8 ? inner.at(x, y) : outer.at(x, y);
        });
        SingularPointList list{};
        ExtractSingularPoints(5, 5, grid.rows(), &list);
        ASSERT_EQ(list.count, c.count) << c.inner << " " << c.outer;
        if (c.count) {
            EXPECT_EQ(list.type[0], c.type) << c.inner << " " << c.outer;
        }
    }
}

TEST(ExtractSingularPoints, RejectedBlocksAndSmallGrids) {
    Image grid = TurningGrid(12, 10, 5.5, 4.5, 1.0);
    // A rejected block among the 20 that a block needs silences it; the corners of the
    // 5 x 5 neighbourhood are not needed: (4, 3) is a corner only for block (6, 5).
    grid.at(4, 3) = 255;
    SingularPointList list{};
    ExtractSingularPoints(12, 10, grid.rows(), &list);
    EXPECT_EQ(list.count, 1);
    EXPECT_EQ(list.x[0], 6);
    EXPECT_EQ(list.y[0], 5);
    const Image small = TurningGrid(4, 9, 2.5, 4.5, 1.0);
    ExtractSingularPoints(4, 9, small.rows(), &list);
    EXPECT_EQ(list.count, 0);
    const Image rejected(12, 10, [](int, int) { return 255; });
    ExtractSingularPoints(12, 10, rejected.rows(), &list);
    EXPECT_EQ(list.count, 0);
}

TEST(ExtractSingularPoints, StopsAtCapacity) {
    std::mt19937 rng(6);
    const Image noise(128, 128, [&](int, int) { return int(rng() % 120); });
    SingularPointList list{};
    ExtractSingularPoints(128, 128, noise.rows(), &list);
    EXPECT_EQ(list.count, kMaxSingularPoints);
}

TEST(IsSingularPointNear, StrictDistance) {
    SingularPointList list{};
    EXPECT_EQ(IsSingularPointNear(&list, 0, 0, 100), 0);
    list.count = 1;
    list.x[0] = 10;
    list.y[0] = 20;
    EXPECT_EQ(IsSingularPointNear(&list, 20, 11, 2), 1);
    EXPECT_EQ(IsSingularPointNear(&list, 21, 11, 2), 1);  // diagonal neighbour
    EXPECT_EQ(IsSingularPointNear(&list, 20, 12, 2), 0);  // distance exactly 2
    EXPECT_EQ(IsSingularPointNear(&list, 20 + 15, 10, 16), 1);
    EXPECT_EQ(IsSingularPointNear(&list, 20 + 16, 10, 16), 0);
}

TEST(CurvatureSP, SumsFoldedDeviationsAroundThePixel) {
    Image d(9, 9, [](int, int) { return 10; });
    EXPECT_EQ(ComputeCurvatureSP(9, 9, d.rows(), 4, 4), 0u);
    d.at(3, 3) = 100;  // |10 - 100| = 90 -> 30
    d.at(5, 5) = 127;  // skipped
    d.at(6, 6) = 40;   // 30
    d.at(7, 7) = 0;    // outside the 5 x 5 window
    EXPECT_EQ(ComputeCurvatureSP(9, 9, d.rows(), 4, 4), 60u);
    d.at(4, 4) = 127;
    EXPECT_EQ(ComputeCurvatureSP(9, 9, d.rows(), 4, 4), 0u);
}

SingularPointList BlockList(std::initializer_list<std::array<int, 3>> points) {
    SingularPointList list{};
    for (const auto& p : points) {
        list.x[list.count] = p[0];
        list.y[list.count] = p[1];
        list.direction[list.count] = -1;
        list.type[list.count++] = p[2];
    }
    return list;
}

TEST(GroupSingularPoints, NeighbouringDetectionsFormGroups) {
    // A flat direction image: every curvature is 0, so a group lands on the first pixel of
    // its first block and the groups can be told apart by position.
    const int w = 16 * 12, h = 16 * 10;
    const Image flat(w, h, [](int, int) { return 127; });
    struct Case { SingularPointList blocks; std::vector<std::array<int, 3>> points; };
    const std::vector<Case> cases = {
        {BlockList({{3, 3, 1}, {4, 4, 1}}), {{48, 48, 1}}},                    // diagonal: one group
        {BlockList({{3, 3, 1}, {5, 3, 1}}), {{48, 48, 1}, {80, 48, 1}}},       // two apart: two
        {BlockList({{5, 3, 1}, {3, 3, 1}, {4, 3, 1}}), {{80, 48, 1}}},         // joined by a third
        {BlockList({{3, 3, 1}, {4, 3, -1}, {7, 7, -1}}), {{112, 112, -1}}},    // mixed group dropped
        {BlockList({{7, 7, 2}, {3, 3, -1}}), {{112, 112, 2}, {48, 48, -1}}},
        {BlockList({}), {}},
    };
    for (const auto& c : cases) {
        SingularPointList blocks = c.blocks, points{};
        points.count = 5;
        GroupSingularPoints(w, h, flat.rows(), &blocks, &points);
        ASSERT_EQ(points.count, int(c.points.size()));
        for (int i = 0; i < points.count; ++i) {
            EXPECT_EQ(points.x[i], c.points[i][0]);
            EXPECT_EQ(points.y[i], c.points[i][1]);
            EXPECT_EQ(points.type[i], c.points[i][2]);
            EXPECT_GE(points.direction[i], 0);
            EXPECT_LT(points.direction[i], 240);
        }
        for (int i = 0; i < blocks.count; ++i) EXPECT_EQ(blocks.type[i], 0);
    }
}

TEST(SingularPointDirection, FollowsTheRidgesThatRunAlongTheRay) {
    // Like a loop: ridges run round the point above it and down the columns below it, so
    // the only ray along the ridges is the one straight down.
    const int w = 120, h = 120;
    auto loop = [](int cx, int cy) {
        return [=](int x, int y) {
            if (y > cy) return 60;
            const double radial = std::atan2(y - cy, x - cx) * 120.0 / M_PI;  // 240 a turn
            return int(std::lround(radial + 60 + 240)) % 120;
        };
    };
    const Image d(w, h, loop(60, 60));
    EXPECT_EQ(ComputeSingularPointDirection(w, h, d.rows(), 60, 60), 60);
    // All along rows: the rays to the left and to the right tie; the scan meets the one to
    // the left first (ring points run from (x - 40, y - 40) on).
    const Image rows(w, h, [](int, int) { return 0; });
    EXPECT_EQ(ComputeSingularPointDirection(w, h, rows.rows(), 60, 60), 120);
    // Near the border the pixels outside are left out.
    const Image corner(w, h, loop(118, 2));
    EXPECT_EQ(ComputeSingularPointDirection(w, h, corner.rows(), 2, 118), 60);
}

TEST(SingularPoints, SyntheticLoopGivesOneCoreNearItsCentre) {
    const int w = 256, h = 256, cx = 128, cy = 120;
    const Image raw = test::LoopPattern(w, h, cx, cy, 9.0);
    Image image(raw);
    SmoothImage(w, h, image.rows(), 4);
    NormalizeImage(w, h, raw.rows(), image.rows(), 128);
    int columns, rows;
    ComputeBlockedImageSize(w, h, &columns, &rows);
    Image blocks(columns, rows), blockQuality(columns, rows);
    ComputeBlockDirImage(w, h, image.rows(), columns, rows, blocks.rows(), blockQuality.rows(), 17);
    CleanupBlockDirImage(columns, rows, blocks.rows(), blockQuality.rows(), 207);
    SingularPointList blockList{};
    ExtractSingularPoints(columns, rows, blocks.rows(), &blockList);
    ASSERT_GE(blockList.count, 1);
    Image directions(w, h);
    ComputeDirImage(w, h, image.rows(), directions.rows(), 12, 12, 19, 0);
    SingularPointList points{};
    GroupSingularPoints(w, h, directions.rows(), &blockList, &points);
    ASSERT_EQ(points.count, 1);
    EXPECT_EQ(points.type[0], 1);
    EXPECT_LE(std::hypot(points.x[0] - cx, points.y[0] - cy), 16.0) << points.x[0] << "," << points.y[0];
    // The loop opens downwards, where the ridges run along the columns.
    EXPECT_LE(std::abs(points.direction[0] - 60), 12) << points.direction[0];
}

}  // namespace
