// Generalisation of three impressions: argument checks, the base choice, ambiguous groups,
// the averaged directions, and a merged set that matches a further impression.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "engines/minutiae/context.h"
#include "engines/minutiae/generalize.h"
#include "engines/minutiae/mnt_engine.h"
#include "tests/engines/minutiae/match_support.h"

namespace {

using namespace mnt;
using namespace mnt::test;

struct ContextOwner {
    MntContext* context = MntCreateContext();
    ~ContextOwner() { MntFreeContext(context); }
};

struct Merged {
    int32_t result;
    uint64_t size = 0;
    std::unique_ptr<FeatureRecord> record = std::make_unique<FeatureRecord>();
};

Merged Generalize(const std::vector<std::vector<uint8_t>>& sets, MntContext* context) {
    const uint8_t* pointers[3] = {sets[0].data(), sets[1].data(), sets[2].data()};
    std::vector<uint8_t> out(kMaxCompressedSize);
    Merged m;
    m.result = MntGeneralize(3, pointers, out.data(), &m.size, context);
    if (m.result >= 0) DecompressFeatures(out.data(), m.record.get());
    return m;
}

// A copy with each minutia moved by up to 2 px, some dropped and some spurious ones added.
std::unique_ptr<FeatureRecord> Jittered(const FeatureRecord& source, uint32_t seed, int units, int dx, int dy) {
    auto moved = Transformed(source, units, 150, 200, dx, dy);
    auto spurious = RandomRecord(seed + 1000, 4);
    std::vector<Point> points;
    uint32_t state = seed;
    auto next = [&state](int range) {
        state = state * 1664525u + 1013904223u;
        return int((state >> 8) % uint32_t(range));
    };
    for (int i = 0; i < moved->minutiae.count; ++i) {
        if (next(20) == 0) continue;
        points.push_back({moved->minutiae.x[i] + next(5) - 2, moved->minutiae.y[i] + next(5) - 2,
                          (moved->minutiae.direction[i] + next(5) + 238) % 240, moved->minutiae.curvature[i]});
    }
    for (int i = 0; i < spurious->minutiae.count; ++i)
        points.push_back({spurious->minutiae.x[i], spurious->minutiae.y[i], spurious->minutiae.direction[i], -1});
    return MakeRecord(points);
}

TEST(AverageAngle, TakesTheShortWayAcrossZero) {
    struct Case {
        std::vector<int32_t> angles;
        int32_t mean;
    };
    for (const Case& c : {Case{{230, 10}, 0}, Case{{100, 140}, 120}, Case{{239, 1}, 0}, Case{{10, 20, 30}, 20},
                          Case{{200, 230, 10}, 227}, Case{{0, 119}, 59}, Case{{0, 120}, 180}, Case{{5}, 5}}) {
        EXPECT_EQ(AverageAngle(c.angles.data(), int(c.angles.size())), c.mean) << c.angles[0];
    }
}

TEST(PairLists, FindAndEliminate) {
    auto list = std::make_unique<PairList>();
    list->count = 3;
    for (uint16_t k = 0; k < 3; ++k) {
        list->index[0][k] = uint16_t(10 + k);
        list->index[1][k] = uint16_t(20 + k);
    }
    EXPECT_EQ(FindFeatureInIPS(*list, 11, 0), 1);
    EXPECT_EQ(FindFeatureInIPS(*list, 11, 1), -1);
    EXPECT_EQ(FindFeatureInIPS(*list, 22, 1), 2);
    EliminatePointFromIps(list.get(), 0);
    ASSERT_EQ(list->count, 2u);
    EXPECT_EQ(list->index[0][0], 11);
    EXPECT_EQ(list->index[1][1], 22);
}

TEST(MntGeneralize, ArgumentChecks) {
    ContextOwner owner;
    const auto f = Compress(*RandomRecord(1, 40), owner.context);
    const uint8_t* sets[3] = {f.data(), f.data(), f.data()};
    std::vector<uint8_t> out(kMaxCompressedSize);
    uint64_t size = 0;
    EXPECT_EQ(MntGeneralize(2, sets, out.data(), &size, owner.context), MNT_BAD_VALUE);
    EXPECT_EQ(MntGeneralize(3, nullptr, out.data(), &size, owner.context), MNT_NULL_POINTER);
    EXPECT_EQ(MntGeneralize(3, sets, nullptr, &size, owner.context), MNT_NULL_POINTER);
    EXPECT_EQ(MntGeneralize(3, sets, out.data(), nullptr, owner.context), MNT_NULL_POINTER);
    const uint8_t* partial[3] = {f.data(), nullptr, f.data()};
    EXPECT_EQ(MntGeneralize(3, partial, out.data(), &size, owner.context), MNT_NULL_POINTER);
    EXPECT_EQ(MntGeneralize(3, sets, out.data(), &size, nullptr), MNT_NO_CONTEXT);
    owner.context->busy = 1;
    EXPECT_EQ(MntGeneralize(3, sets, out.data(), &size, owner.context), MNT_BUSY);
    owner.context->busy = 0;
    EXPECT_EQ(MntGeneralize(3, sets, out.data(), &size, owner.context), 0);
    EXPECT_GT(size, 7u);
}

TEST(MntGeneralize, IdenticalImpressionsKeepTheFirstAsBaseAndEveryPairedMinutia) {
    ContextOwner owner;
    auto a = RandomRecord(3, 50);
    a->ridgeEdgeDensity = 77;
    a->singularPoints.count = 1;
    a->singularPoints.x[0] = 100;
    a->singularPoints.y[0] = 120;
    a->singularPoints.type[0] = 1;
    const auto f = Compress(*a, owner.context);
    const Merged m = Generalize({f, f, f}, owner.context);
    ASSERT_EQ(m.result, 0);
    EXPECT_EQ(m.record->ridgeEdgeDensity, 77);
    EXPECT_EQ(m.record->singularPoints.count, 1);
    const MinutiaList& r = m.record->minutiae;
    EXPECT_GE(r.count, 45);
    EXPECT_LE(r.count, 50);
    // Every merged minutia is one of the originals, unchanged.
    for (int i = 0; i < r.count; ++i) {
        bool found = false;
        for (int j = 0; j < a->minutiae.count && !found; ++j)
            found = r.x[i] == a->minutiae.x[j] && r.y[i] == a->minutiae.y[j] &&
                    r.direction[i] == a->minutiae.direction[j] && r.curvature[i] == a->minutiae.curvature[j];
        EXPECT_TRUE(found) << i;
    }
}

TEST(MntGeneralize, MinutiaWithTwoPartnersFormsAnAmbiguousGroup) {
    ContextOwner owner;
    auto a = RandomRecord(4, 40);
    // Impression 1 has a twin 4 px beside minutia 0: both pair with minutia 0 of the others,
    // and impression 1, with two minutiae in the group, contributes both of them.
    std::vector<Point> points;
    for (int i = 0; i < a->minutiae.count; ++i)
        points.push_back({a->minutiae.x[i], a->minutiae.y[i], a->minutiae.direction[i], a->minutiae.curvature[i]});
    points.push_back({a->minutiae.x[0] + 4, a->minutiae.y[0], a->minutiae.direction[0], a->minutiae.curvature[0]});
    auto twin = MakeRecord(points);
    const auto f = Compress(*a, owner.context);
    const auto g = Compress(*twin, owner.context);
    const Merged m = Generalize({f, g, f}, owner.context);
    ASSERT_GE(m.result, 0);
    int near = 0;
    for (int i = 0; i < m.record->minutiae.count; ++i)
        near += std::abs(m.record->minutiae.x[i] - a->minutiae.x[0]) <= 4 &&
                m.record->minutiae.y[i] == a->minutiae.y[0];
    EXPECT_EQ(near, 2);
}

TEST(MntGeneralize, JitteredImpressionsMergeIntoASetThatMatchesAFourth) {
    ContextOwner owner;
    for (uint32_t seed : {11u, 12u}) {
        auto finger = RandomRecord(seed, 55);
        const auto i0 = Compress(*Jittered(*finger, seed * 10 + 1, 0, 0, 0), owner.context);
        const auto i1 = Compress(*Jittered(*finger, seed * 10 + 2, 6, 15, -10), owner.context);
        const auto i2 = Compress(*Jittered(*finger, seed * 10 + 3, -5, -12, 8), owner.context);
        const Merged m = Generalize({i0, i1, i2}, owner.context);
        ASSERT_GE(m.result, 0) << seed;
        ASSERT_LE(m.result, 2) << seed;
        EXPECT_GE(m.record->minutiae.count, 35) << seed;
        std::vector<uint8_t> merged(kMaxCompressedSize);
        merged.resize(CompressFeatures(m.record.get(), merged.data(), owner.context));
        const auto fourth = Compress(*Jittered(*finger, seed * 10 + 4, 10, 20, 20), owner.context);
        const auto stranger = Compress(*RandomRecord(seed + 500, 55), owner.context);
        EXPECT_EQ(MntVerify(fourth.data(), merged.data(), nullptr, owner.context), MNT_OK) << seed;
        EXPECT_EQ(MntVerify(stranger.data(), merged.data(), nullptr, owner.context), MNT_NO_MATCH) << seed;
    }
}

TEST(MntGeneralize, DisagreeingImpressionsGiveMinusOneAndNoOutput) {
    ContextOwner owner;
    const auto a = Compress(*RandomRecord(21, 50), owner.context);
    const auto b = Compress(*RandomRecord(22, 50), owner.context);
    const uint8_t* sets[3] = {a.data(), a.data(), b.data()};
    std::vector<uint8_t> out(kMaxCompressedSize, 0xEE);
    uint64_t size = 12345;
    EXPECT_EQ(MntGeneralize(3, sets, out.data(), &size, owner.context), -1);
    EXPECT_EQ(size, 12345u);
    EXPECT_EQ(out[0], 0xEE);
}

}  // namespace
