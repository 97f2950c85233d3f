// Engine geometry: direction table rounding, odd distances, feature copy.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <memory>

#include "engines/minutiae/features.h"
#include "engines/minutiae/geometry.h"

namespace {

using namespace mnt;

TEST(LineDirection, KnownVectors) {
    struct Case { int x1, y1, x2, y2, direction; };
    for (auto c : std::initializer_list<Case>{
             {0, 0, 10, 0, 0},      {0, 0, 0, 10, 60},   {0, 0, -10, 0, 120}, {0, 0, 0, -10, 180},
             {0, 0, 10, 10, 30},    {0, 0, 10, -1, 236}, {0, 0, 200, 1, 0},   {0, 0, 0, 0, 180},
             {5, 5, 5, 5, 180},     {0, 0, -10, 10, 90}, {0, 0, -10, -10, 150}, {0, 0, 10, -10, 210},
             {0, 0, -1, 0, 120},    {3, 4, 3, 5, 60}}) {
        EXPECT_EQ(ComputeLineDirection(c.x1, c.y1, c.x2, c.y2), c.direction)
            << c.x1 << "," << c.y1 << " -> " << c.x2 << "," << c.y2;
    }
}

TEST(LineDirection, TableIsRoundedArctangentWithHalvesUp) {
    EXPECT_EQ(atans[0][0], 60u);
    for (int v = 0; v < 50; ++v)
        for (int u = 0; u < 50; ++u) {
            if (u == 0 && v == 0) continue;
            const double exact = std::atan2(double(v), double(u)) * 120.0 / M_PI;
            EXPECT_EQ(atans[v][u], uint32_t(std::floor(exact + 0.5))) << v << "," << u;
        }
}

TEST(LineDirection, AlwaysInRangeAndOppositeVectorsHalfATurnApart) {
    for (int dy = -60; dy <= 60; dy += 3)
        for (int dx = -60; dx <= 60; dx += 3) {
            const int d = ComputeLineDirection(0, 0, dx, dy);
            ASSERT_GE(d, 0);
            ASSERT_LT(d, 240);
            if (dx == 0 && dy == 0) continue;
            // Halving is symmetric and the table is shared, so reversal adds exactly 120.
            EXPECT_EQ((d + 120) % 240, ComputeLineDirection(dx, dy, 0, 0)) << dx << "," << dy;
        }
}

TEST(Distance, KnownValuesAreOdd) {
    struct Case { int a, b, distance; };
    for (auto c : std::initializer_list<Case>{{3, 4, 5}, {6, 8, 11}, {0, 0, 1}, {1, 1, 1}, {0, 2, 3},
                                              {10, 0, 11}, {11, 0, 11}, {8193, 0, 8193}, {0, 8193, 8193},
                                              {8192, 0, 8193}, {6000, 6000, 8193}, {5000, 6000, 7811}, {4000, 3000, 5001}}) {
        EXPECT_EQ(ComputeDistance(c.a, c.b), c.distance) << c.a << "," << c.b;
    }
}

TEST(Distance, MatchesFloorSqrtWithLowBitSet) {
    for (int a = 0; a < 300; a += 7)
        for (int b = 0; b < 300; b += 5) {
            const int root = int(std::floor(std::sqrt(double(a * a + b * b))));
            EXPECT_EQ(ComputeDistance(a, b), root | 1) << a << "," << b;
        }
    EXPECT_EQ(ComputeDistance3D(1, 2, 2), 3);
    EXPECT_EQ(ComputeDistance3D(2, 3, 6), 7);
    EXPECT_EQ(ComputeDistance3D(0, 0, 0), 1);
    EXPECT_EQ(ComputeDistance3D(0, 0, 8193), 8193);
    EXPECT_EQ(ComputeDistance3D(5000, 5000, 5000), 8193);
}

TEST(CopyFeatures, CopiesOnlyCountedEntriesAndNotTheKind) {
    auto source = std::make_unique<FeatureRecord>();
    auto target = std::make_unique<FeatureRecord>();
    for (int i = 0; i < kMaxMinutiae; ++i) {
        target->minutiae.x[i] = target->minutiae.y[i] = -7;
        target->minutiae.kind[i] = 9;
        source->minutiae.x[i] = i;
        source->minutiae.y[i] = 2 * i;
        source->minutiae.direction[i] = i % 240;
        source->minutiae.curvature[i] = 17;
        source->minutiae.kind[i] = 1;
    }
    source->minutiae.count = 3;
    source->ridgeEdgeDensity = 88;
    source->blockColumns = 5;
    source->blockRows = 6;
    source->blockGrid[127][127] = 42;
    source->singularPoints.count = 1;
    source->singularPoints.x[0] = 10;
    source->singularPoints.type[0] = -1;
    target->singularPoints.x[1] = 555;

    CopyFeatures(target.get(), source.get());
    EXPECT_EQ(target->minutiae.count, 3);
    EXPECT_EQ(target->minutiae.x[2], 2);
    EXPECT_EQ(target->minutiae.y[2], 4);
    EXPECT_EQ(target->minutiae.curvature[2], 17);
    EXPECT_EQ(target->minutiae.x[3], -7);
    EXPECT_EQ(target->minutiae.kind[0], 9);
    EXPECT_EQ(target->ridgeEdgeDensity, 88);
    EXPECT_EQ(target->blockColumns, 5);
    EXPECT_EQ(target->blockRows, 6);
    EXPECT_EQ(target->blockGrid[127][127], 42);
    EXPECT_EQ(target->singularPoints.count, 1);
    EXPECT_EQ(target->singularPoints.x[0], 10);
    EXPECT_EQ(target->singularPoints.type[0], -1);
    EXPECT_EQ(target->singularPoints.x[1], 555);
}

}  // namespace
