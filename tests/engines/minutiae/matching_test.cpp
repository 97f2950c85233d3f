// Minutiae matching: lines, alignment, the verify sequence and its record, and genuine against
// impostor scores on synthetic fingers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "engines/minutiae/context.h"
#include "engines/minutiae/geometry.h"
#include "engines/minutiae/match_data.h"
#include "engines/minutiae/matching.h"
#include "engines/minutiae/mnt_engine.h"
#include "sim/finger/finger.h"
#include "tests/engines/minutiae/match_support.h"

namespace {

using namespace mnt;
using namespace mnt::test;

struct ContextOwner {
    MntContext* context = MntCreateContext();
    ~ContextOwner() { MntFreeContext(context); }
    void Set(uint32_t id, int32_t value) { ASSERT_EQ(MntSetParameter(id, value, context), MNT_OK) << id; }
};

struct BlockOwner {
    MatchDataBlock* block = CreateMatchData();
    ~BlockOwner() { FreeMatchData(block); }
};

std::unique_ptr<MntVerifyRecord> LongRecord() {
    auto record = std::make_unique<MntVerifyRecord>();
    std::memset(record.get(), 0x5A, sizeof *record);
    record->size = MNT_VERIFY_RECORD_LONG;
    return record;
}

TEST(FillLineData, EndAnglesAndTheReverseLine) {
    // Minutiae at (0,0) facing 10 and at (60,0) facing 20; the line runs along direction 0.
    auto r = MakeRecord({{0, 0, 10}, {60, 0, 20}, {0, 60, 200}});
    GraphLine line{}, back{};
    FillLineData(*r, 0, 1, &line);
    EXPECT_EQ(line.length, 61);
    EXPECT_EQ(line.direction, 0);
    EXPECT_EQ(line.firstAngle, 230);   // 0 - 10
    EXPECT_EQ(line.secondAngle, 100);  // 120 - 20
    FillLineData1(line, &back);
    EXPECT_EQ(back.first, 1);
    EXPECT_EQ(back.second, 0);
    EXPECT_EQ(back.firstAngle, 100);
    EXPECT_EQ(back.secondAngle, 230);
    // From (0,60) up to (0,0) is direction 180; undirected 60.
    FillLineData(*r, 2, 0, &line);
    EXPECT_EQ(line.direction, 60);
    EXPECT_EQ(line.firstAngle, 220);  // 180 - 200
    EXPECT_EQ(line.secondAngle, 50);  // 60 - 10
}

TEST(GraphLines, TestSideSortsOnlyBeyondTheLimitAndSampleSideStopsAtTheBound) {
    ContextOwner owner;
    BlockOwner blocks;
    ASSERT_NE(blocks.block, nullptr);
    // Pairs in discovery order: (0,1) length 71, (0,2) 71, (1,2) 99.
    auto r = MakeRecord({{0, 0, 0}, {70, 0, 0}, {0, 70, 0}});
    FeatureMatchRecord& test = blocks.block->test;
    CopyFeatures(&test.features, r.get());
    struct Case {
        int32_t limit;
        std::vector<std::pair<int, int>> lines;
        uint32_t longest;
    };
    for (const Case& c : {Case{700, {{0, 1}, {0, 2}, {1, 2}}, 100},  // fewer than limit / 2: discovery order
                          Case{6, {{0, 2}, {0, 1}, {1, 2}}, 100},    // exactly limit / 2: sorted, ties reversed
                          Case{4, {{0, 2}, {0, 1}}, 72}}) {
        owner.Set(20003, c.limit);
        TestFingerprintGraphLines(owner.context, blocks.block, &test);
        ASSERT_EQ(test.lineCount, 2 * c.lines.size()) << c.limit;
        for (size_t k = 0; k < c.lines.size(); ++k) {
            EXPECT_EQ(test.lines[2 * k].first, c.lines[k].first) << c.limit << " " << k;
            EXPECT_EQ(test.lines[2 * k].second, c.lines[k].second) << c.limit << " " << k;
            EXPECT_EQ(test.lines[2 * k + 1].first, c.lines[k].second) << c.limit << " " << k;
        }
        EXPECT_EQ(test.longestLine, c.longest) << c.limit;
        // Every line sits in the bucket of its first-end angle.
        for (int b = 0; b < 240; ++b)
            for (int k = test.bucketStart[b]; k < test.bucketStart[b + 1]; ++k)
                EXPECT_EQ(test.lines[test.bucketLines[k]].firstAngle, b);
    }

    // The sample side keeps one direction, only lengths above the minimum and below the bound.
    FeatureMatchRecord& sample = blocks.block->sample;
    CopyFeatures(&sample.features, r.get());
    SampleFingerprintGraphLines(owner.context, &sample, 100);
    EXPECT_EQ(sample.lineCount, 3u);
    SampleFingerprintGraphLines(owner.context, &sample, 99);
    EXPECT_EQ(sample.lineCount, 2u);
    owner.Set(20005, 71);  // inclusive on the test side, exclusive on the sample side
    SampleFingerprintGraphLines(owner.context, &sample, 100);
    ASSERT_EQ(sample.lineCount, 1u);
    EXPECT_EQ(sample.lines[0].first, 1);
    owner.Set(20003, 700);
    TestFingerprintGraphLines(owner.context, blocks.block, &test);
    EXPECT_EQ(test.lineCount, 6u);
    owner.Set(20004, 0);
    SampleFingerprintGraphLines(owner.context, &sample, 100);
    EXPECT_EQ(sample.lineCount, 0u);
}

TEST(GraphLines, LimitsAboveTheLineStoreAreBoundedAndStillReadBack) {
    ContextOwner owner;
    BlockOwner blocks;
    owner.Set(20003, 100000);
    owner.Set(20004, 100000);
    owner.Set(20006, 2000000000);
    owner.Set(20005, 0);
    // 120 minutiae make 7140 pairs, more than either side's store holds.
    auto r = RandomRecord(5, 120, 600, 800);
    CopyFeatures(&blocks.block->test.features, r.get());
    TestFingerprintGraphLines(owner.context, blocks.block, &blocks.block->test);
    EXPECT_EQ(blocks.block->test.lineCount, uint32_t(kMaxGraphLines));
    CopyFeatures(&blocks.block->sample.features, r.get());
    SampleFingerprintGraphLines(owner.context, &blocks.block->sample, 100000);
    EXPECT_EQ(blocks.block->sample.lineCount, uint32_t(kMaxGraphLines));
    uint32_t value = 0;
    EXPECT_EQ(MntGetParameter(20003, &value, owner.context), MNT_OK);
    EXPECT_EQ(value, 100000u);
    EXPECT_EQ(MntGetParameter(20006, &value, owner.context), MNT_OK);
    EXPECT_EQ(value, 2000000000u);
}

TEST(PairDistance, AgreesWithTheTableSearch) {
    for (int32_t a = 0; a <= 300; ++a)
        for (int32_t b = 0; b <= 300; ++b) ASSERT_EQ(PairDistance(a, b), ComputeDistance(a, b)) << a << " " << b;
    for (auto [a, b] : std::initializer_list<std::pair<int32_t, int32_t>>{
             {4095, 4095}, {5792, 5792}, {5793, 5793}, {8192, 0}, {8193, 0}, {0, 9000}, {8000, 1000}, {181, 1}}) {
        EXPECT_EQ(PairDistance(a, b), ComputeDistance(a, b)) << a << " " << b;
    }
}

TEST(GraphLines, KeptPairsAreThoseInTheLengthRange) {
    ContextOwner owner;
    BlockOwner blocks;
    auto r = RandomRecord(17, 80);
    CopyFeatures(&blocks.block->test.features, r.get());
    CopyFeatures(&blocks.block->sample.features, r.get());
    owner.Set(20003, 100000);
    owner.Set(20004, 100000);
    const MinutiaList& m = r->minutiae;
    for (auto [lo, hi] : std::initializer_list<std::pair<int32_t, int32_t>>{{50, 150}, {51, 149}, {0, 1}, {1, 2}, {10, 300}, {9000, 9100}}) {
        owner.Set(20005, lo);
        owner.Set(20006, hi);
        uint32_t want = 0, wantSample = 0;
        for (int i = 0; i < m.count; ++i)
            for (int j = i + 1; j < m.count; ++j) {
                const int32_t length = ComputeDistance(std::abs(m.x[i] - m.x[j]), std::abs(m.y[i] - m.y[j]));
                want += length >= lo && length < hi;
                wantSample += length > lo && length < hi;
            }
        TestFingerprintGraphLines(owner.context, blocks.block, &blocks.block->test);
        EXPECT_EQ(blocks.block->test.lineCount, std::min(2 * want, uint32_t(kMaxGraphLines))) << lo << " " << hi;
        SampleFingerprintGraphLines(owner.context, &blocks.block->sample, uint32_t(hi));
        EXPECT_EQ(blocks.block->sample.lineCount, wantSample) << lo << " " << hi;
        for (uint32_t k = 0; k < blocks.block->test.lineCount; ++k) {
            const GraphLine& line = blocks.block->test.lines[k];
            EXPECT_EQ(line.length, ComputeDistance(std::abs(m.x[line.first] - m.x[line.second]),
                                                   std::abs(m.y[line.first] - m.y[line.second])));
        }
    }
}

TEST(GetTheOnlyCore, ExactlyOneCoreOfTypeOne) {
    auto r = MakeRecord({});
    SingularPointList& s = r->singularPoints;
    struct Case {
        std::vector<int> types;
        uint32_t core;
    };
    for (const Case& c : {Case{{}, 0xFFFFFFFFu}, Case{{-1, 1}, 1}, Case{{1, 2, 1}, 0xFFFFFFFFu}, Case{{2, -1}, 0xFFFFFFFFu}}) {
        s.count = int(c.types.size());
        for (size_t i = 0; i < c.types.size(); ++i) s.type[i] = c.types[i];
        EXPECT_EQ(GetTheOnlyCore(*r), c.core) << c.types.size();
    }
}

TEST(RotationMask, ToleranceZeroOneAndHalfTurn) {
    BlockOwner blocks;
    struct Case {
        int32_t tolerance;
        int allowed;
    };
    for (auto [tolerance, allowed] : std::initializer_list<Case>{{0, 0}, {1, 2}, {30, 60}, {120, 240}, {500, 240}}) {
        BuildRotationMask(blocks.block, tolerance);
        int count = 0;
        for (uint8_t m : blocks.block->rotationMask) count += m;
        EXPECT_EQ(count, allowed) << tolerance;
    }
    BuildRotationMask(blocks.block, 1);
    EXPECT_EQ(blocks.block->rotationMask[0], 1);
    EXPECT_EQ(blocks.block->rotationMask[239], 1);
}

TEST(RoundDiv10000, HalvesAwayFromZero) {
    for (auto [v, want] : std::initializer_list<std::pair<int64_t, int32_t>>{
             {0, 0}, {4999, 0}, {5000, 1}, {-4999, 0}, {-5000, -1}, {15000, 2}, {-15000, -2}, {-14999, -1}}) {
        EXPECT_EQ(RoundDiv10000(v), want) << v;
    }
}

TEST(BlockGrids, TranslationRoundsBlocksAndComparisonScoresDifferences) {
    auto g = MakeRecord({});
    g->blockColumns = g->blockRows = 4;
    struct Shift {
        int32_t dx, blocks;
    };
    for (auto [dx, blocks] : std::initializer_list<Shift>{{7, 0}, {8, 1}, {-7, 0}, {-8, -1}, {23, 1}, {24, 2}, {-40, -3}}) {
        std::memset(g->blockGrid, 255, sizeof g->blockGrid);
        g->blockGrid[1][1] = 42;
        TranslateRidgesOrientation(dx, 0, g.get());
        const int column = 1 + blocks;
        for (int c = 0; c < 4; ++c) EXPECT_EQ(g->blockGrid[1][c], c == column ? 42 : 255) << dx << " " << c;
    }

    // Rotation by 0 keeps the grid; by r the orientations turn by r within the half turn.
    std::memset(g->blockGrid, 255, sizeof g->blockGrid);
    g->blockGrid[0][0] = 100;
    g->blockColumns = 2;
    g->blockRows = 3;
    RotateRidgesOrientation(0, 0, 0, g.get());
    EXPECT_EQ(g->blockColumns, 3);
    EXPECT_EQ(g->blockGrid[0][0], 100);
    RotateRidgesOrientation(0, 0, 30, g.get());
    EXPECT_EQ(g->blockGrid[0][0], 10);  // (100 + 30) mod 120

    auto t = MakeRecord({});
    auto s = MakeRecord({});
    int32_t similarity = 0, total = 0;
    OrientationStructureComparison(*t, *s, &similarity, &total);
    EXPECT_EQ(similarity, 1);
    EXPECT_EQ(total, 1);
    t->blockColumns = t->blockRows = s->blockRows = 2;
    s->blockColumns = 2;
    OrientationStructureComparison(*t, *s, &similarity, &total);  // no block on both sides
    EXPECT_EQ(similarity, 0);
    EXPECT_EQ(total, 1);
    struct Case {
        int a, b, score;
    };
    for (auto [a, b, score] : std::initializer_list<Case>{{10, 14, 60}, {10, 15, 55}, {10, 60, 10}, {10, 61, 0}, {5, 115, 50}, {2, 118, 60}, {0, 100, 40}}) {
        t->blockGrid[0][0] = uint8_t(a);
        s->blockGrid[0][0] = uint8_t(b);
        OrientationStructureComparison(*t, *s, &similarity, &total);
        EXPECT_EQ(similarity, score) << a << " " << b;
        EXPECT_EQ(total, 60) << a << " " << b;
    }
}

TEST(MntVerify, ArgumentsAndRecordChecks) {
    ContextOwner owner;
    auto r = RandomRecord(1, 40);
    const auto f = Compress(*r, owner.context);
    MntVerifyRecord record{};
    record.size = 25;
    EXPECT_EQ(MntVerify(f.data(), f.data(), nullptr, nullptr), MNT_NO_CONTEXT);
    EXPECT_EQ(MntVerify(nullptr, f.data(), nullptr, owner.context), MNT_NULL_POINTER);
    EXPECT_EQ(MntVerify(f.data(), nullptr, nullptr, owner.context), MNT_NULL_POINTER);
    EXPECT_EQ(owner.context->matchData, nullptr);
    EXPECT_EQ(MntVerify(f.data(), f.data(), &record, owner.context), MNT_BAD_VALUE);
    EXPECT_NE(owner.context->matchData, nullptr);  // made before the record was checked
    owner.context->busy = 1;
    EXPECT_EQ(MntVerify(f.data(), f.data(), nullptr, owner.context), MNT_BUSY);
    owner.context->busy = 0;
    EXPECT_EQ(MntVerify(f.data(), f.data(), nullptr, owner.context), MNT_OK);
    record.size = MNT_VERIFY_RECORD_SHORT;
    record.rotation = 77;
    EXPECT_EQ(MntVerify(f.data(), f.data(), &record, owner.context), MNT_OK);
    EXPECT_EQ(record.rotation, 0u);
}

TEST(MntVerify, IdenticalSetsAlignWithoutRotationOrShiftAndPairEveryMinutia) {
    ContextOwner owner;
    for (uint32_t seed : {1u, 2u, 3u}) {
        auto r = RandomRecord(seed, 50);
        const auto f = Compress(*r, owner.context);
        auto record = LongRecord();
        EXPECT_EQ(MntVerify(f.data(), f.data(), record.get(), owner.context), MNT_OK) << seed;
        EXPECT_GT(record->score, 47) << seed;
        EXPECT_EQ(record->rotation, 0u) << seed;
        EXPECT_EQ(record->translationX, 0) << seed;
        EXPECT_EQ(record->translationY, 0) << seed;
        ASSERT_GT(record->pairCount, 20u) << seed;
        ASSERT_LE(record->pairCount, uint32_t(r->minutiae.count));
        for (uint32_t k = 0; k < record->pairCount; ++k) {
            EXPECT_EQ(record->firstIndices[k], record->secondIndices[k]) << seed << " " << k;
            for (uint32_t j = 0; j < k; ++j) EXPECT_NE(record->firstIndices[j], record->firstIndices[k]);
        }
    }
}

TEST(MntVerify, RotatedAndShiftedSetMatchesAndReportsTheTransform) {
    ContextOwner owner;
    struct Case {
        int units, dx, dy;
    };
    for (auto [units, dx, dy] : std::initializer_list<Case>{{0, 30, -20}, {20, 0, 0}, {-13, 25, 15}, {40, -40, 10}}) {
        auto a = RandomRecord(7, 50);
        auto b = Transformed(*a, units, 150, 200, dx, dy);
        const auto fa = Compress(*a, owner.context);
        const auto fb = Compress(*b, owner.context);
        auto record = LongRecord();
        EXPECT_EQ(MntVerify(fa.data(), fb.data(), record.get(), owner.context), MNT_OK) << units;
        // The rotation turns the second set back onto the first.
        int turn = int(record->rotation) + units;
        turn = ((turn % 240) + 240) % 240;
        EXPECT_TRUE(turn <= 1 || turn >= 239) << units << " rotation " << record->rotation;
        // Aligned the way the matcher aligns (about the sample's bounding-box centre), the
        // paired minutiae coincide.
        int minX = 1 << 20, maxX = -minX, minY = minX, maxY = -minX;
        for (int i = 0; i < b->minutiae.count; ++i) {
            minX = std::min(minX, b->minutiae.x[i]);
            maxX = std::max(maxX, b->minutiae.x[i]);
            minY = std::min(minY, b->minutiae.y[i]);
            maxY = std::max(maxY, b->minutiae.y[i]);
        }
        auto aligned = Transformed(*b, int(record->rotation), (minX + maxX) / 2, (minY + maxY) / 2,
                                   record->translationX, record->translationY);
        ASSERT_GT(record->pairCount, 20u) << units;
        for (uint32_t k = 0; k < record->pairCount; ++k) {
            const int i = record->firstIndices[k], j = record->secondIndices[k];
            EXPECT_EQ(i, j) << units;
            EXPECT_LT(std::abs(aligned->minutiae.x[j] - a->minutiae.x[i]), 13) << units;
            EXPECT_LT(std::abs(aligned->minutiae.y[j] - a->minutiae.y[i]), 13) << units;
        }
    }
}

// The line tolerances are exclusive, and exact: one minutia turned by 8 units of 1.5 degrees still
// pairs with itself and turned by 9 (the angle tolerance) does not; moved by 12 pixels it still pairs
// and moved by 13 (the length tolerance, also the position tolerance) it does not.
TEST(MntVerify, OneMinutiaAtTheAngleAndDistanceTolerances) {
    ContextOwner owner;
    owner.Set(200, 0);
    auto a = RandomRecord(11, 50);
    const auto fa = Compress(*a, owner.context);
    auto pairedWithItself = [&](int k, int turn, int shift) {
        auto b = std::make_unique<FeatureRecord>(*a);
        b->minutiae.direction[k] = (b->minutiae.direction[k] + turn) % 240;
        b->minutiae.x[k] += shift;
        const auto fb = Compress(*b, owner.context);
        auto record = LongRecord();
        EXPECT_EQ(MntVerify(fa.data(), fb.data(), record.get(), owner.context), MNT_OK);
        EXPECT_EQ(record->rotation, 0u);
        EXPECT_EQ(record->translationX, 0);
        for (uint32_t i = 0; i < record->pairCount; ++i) {
            if (record->firstIndices[i] == k && record->secondIndices[i] == k) return true;
        }
        return false;
    };
    for (int k : {0, 7, 19}) {
        SCOPED_TRACE(k);
        EXPECT_TRUE(pairedWithItself(k, 8, 0));
        EXPECT_FALSE(pairedWithItself(k, 9, 0));
        EXPECT_TRUE(pairedWithItself(k, 0, 12));
        EXPECT_FALSE(pairedWithItself(k, 0, 13));
    }
}

TEST(MntVerify, RotationOutsideTheToleranceFallsBackTo230) {
    ContextOwner owner;
    auto a = RandomRecord(9, 50);
    auto b = Transformed(*a, 60, 150, 200, 0, 0);
    const auto fa = Compress(*a, owner.context);
    const auto fb = Compress(*b, owner.context);
    owner.Set(201, 0);
    owner.Set(200, 0);
    MntVerifyRecord record{};
    record.size = MNT_VERIFY_RECORD_SHORT;
    MntVerify(fa.data(), fb.data(), &record, owner.context);
    EXPECT_EQ(record.rotation, 230u);
    owner.Set(201, 120);
    MntVerify(fa.data(), fb.data(), &record, owner.context);
    EXPECT_EQ(record.rotation, 180u);
}

TEST(MntVerify, SymmetricBandAveragesBothDirectionsAndThresholdIsExclusive) {
    ContextOwner owner;
    // Two sets that share about two thirds of their minutiae, so the directions differ.
    auto a = RandomRecord(21, 60);
    auto b = Transformed(*a, 5, 150, 200, 10, -5);
    b->minutiae.count = 40;
    auto extra = RandomRecord(22, 15);
    for (int i = 0; i < extra->minutiae.count; ++i) {
        b->minutiae.x[b->minutiae.count] = extra->minutiae.x[i];
        b->minutiae.y[b->minutiae.count] = extra->minutiae.y[i];
        b->minutiae.direction[b->minutiae.count] = extra->minutiae.direction[i];
        b->minutiae.curvature[b->minutiae.count] = extra->minutiae.curvature[i];
        ++b->minutiae.count;
    }
    const auto fa = Compress(*a, owner.context);
    const auto fb = Compress(*b, owner.context);
    auto score = [&](const std::vector<uint8_t>& x, const std::vector<uint8_t>& y) {
        MntVerifyRecord record{};
        record.size = MNT_VERIFY_RECORD_SHORT;
        MntVerify(x.data(), y.data(), &record, owner.context);
        return record.score;
    };
    owner.Set(20014, 100000);  // band never reached: one direction only
    owner.Set(200, 0);
    const int32_t s1 = score(fa, fb);
    const int32_t s2 = score(fb, fa);
    ASSERT_NE(s1, s2);
    owner.Set(20014, 0);
    owner.Set(20015, 100000);
    EXPECT_EQ(score(fa, fb), (s1 + s2) / 2);
    // Band edges are inclusive.
    owner.Set(20014, s1);
    owner.Set(20015, s1);
    EXPECT_EQ(score(fa, fb), (s1 + s2) / 2);
    owner.Set(20014, s1 + 1);
    EXPECT_EQ(score(fa, fb), s1);

    owner.Set(20014, 100000);
    owner.Set(200, s1);
    EXPECT_EQ(MntVerify(fa.data(), fb.data(), nullptr, owner.context), MNT_NO_MATCH);
    owner.Set(200, s1 - 1);
    EXPECT_EQ(MntVerify(fa.data(), fb.data(), nullptr, owner.context), MNT_OK);
}

TEST(MntVerify, ThresholdAboveTheEstimateEndsEarlyWithZero) {
    ContextOwner owner;
    auto a = RandomRecord(23, 50);
    const auto fa = Compress(*a, owner.context);
    const auto fb = Compress(*Transformed(*a, 30, 150, 200, 20, 20), owner.context);
    owner.Set(200, 100000);
    MntVerifyRecord record{};
    record.size = MNT_VERIFY_RECORD_SHORT;
    EXPECT_EQ(MntVerify(fa.data(), fb.data(), &record, owner.context), MNT_NO_MATCH);
    EXPECT_EQ(record.score, 0);
    EXPECT_EQ(record.rotation, 0u);  // no rotation was worked out
    owner.Set(200, 47);
    EXPECT_EQ(MntVerify(fa.data(), fb.data(), &record, owner.context), MNT_OK);
    EXPECT_EQ(record.rotation, 210u);
}

TEST(MntVerify, QualityWeightCountsDensityDifferencesAbove14) {
    ContextOwner owner;
    owner.Set(20014, 100000);  // one direction only
    auto a = RandomRecord(25, 50);
    a->ridgeEdgeDensity = 100;
    const auto fa = Compress(*a, owner.context);
    auto score = [&](uint8_t density) {
        auto b = std::make_unique<FeatureRecord>(*a);
        b->ridgeEdgeDensity = density;
        const auto fb = Compress(*b, owner.context);
        MntVerifyRecord record{};
        record.size = MNT_VERIFY_RECORD_SHORT;
        MntVerify(fa.data(), fb.data(), &record, owner.context);
        return record.score;
    };
    const int32_t same = score(100);
    EXPECT_EQ(score(114), same);
    EXPECT_EQ(score(86), same);
    EXPECT_LT(score(115), same);
    EXPECT_LT(score(200), score(115));
    owner.Set(20016, 0);
    EXPECT_EQ(score(200), same);
}

TEST(MntVerify, UnrelatedAndEmptySetsDoNotMatch) {
    ContextOwner owner;
    const auto empty = Compress(*MakeRecord({}), owner.context);
    const auto one = Compress(*RandomRecord(31, 50), owner.context);
    const auto other = Compress(*RandomRecord(32, 50), owner.context);
    MntVerifyRecord record{};
    record.size = MNT_VERIFY_RECORD_SHORT;
    EXPECT_EQ(MntVerify(empty.data(), empty.data(), &record, owner.context), MNT_NO_MATCH);
    EXPECT_EQ(MntVerify(empty.data(), one.data(), &record, owner.context), MNT_NO_MATCH);
    EXPECT_EQ(MntVerify(one.data(), empty.data(), &record, owner.context), MNT_NO_MATCH);
    EXPECT_EQ(MntVerify(one.data(), other.data(), &record, owner.context), MNT_NO_MATCH);
    EXPECT_LE(record.score, 47);
}

TEST(MntVerify, LargeSetsStayWithinTheRecord) {
    ContextOwner owner;
    auto a = RandomRecord(41, 1024, 1000, 1200);
    ASSERT_EQ(a->minutiae.count, 1024);
    const auto f = Compress(*a, owner.context);
    auto record = LongRecord();
    EXPECT_EQ(MntVerify(f.data(), f.data(), record.get(), owner.context), MNT_OK);
    EXPECT_LE(record->pairCount, 1024u);
    EXPECT_GT(record->pairCount, 100u);
}

TEST(MntVerify, ClusteredMinutiaeFillLineGroupsToTheCap) {
    // Clusters of nearby minutiae make many lines coincide, so the consolidation joins pairs into
    // groups that reach 255 members.
    ContextOwner owner;
    std::vector<Point> points;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            for (int d = 0; d < 8; ++d) points.push_back({30 + x * 70 + (d % 3) * 3, 30 + y * 80 + (d / 3) * 3, x * 30, -1});
    auto a = MakeRecord(points);
    const auto fa = Compress(*a, owner.context);
    const auto fb = Compress(*Transformed(*a, 4, 150, 200, 9, 0), owner.context);
    auto record = LongRecord();
    EXPECT_EQ(MntVerify(fa.data(), fb.data(), record.get(), owner.context), MNT_OK);
    ASSERT_LE(record->pairCount, 1024u);
    for (uint32_t k = 0; k < record->pairCount; ++k)
        for (uint32_t j = 0; j < k; ++j)
            EXPECT_FALSE(record->firstIndices[j] == record->firstIndices[k] &&
                         record->secondIndices[j] == record->secondIndices[k]);
    const int32_t grouped = record->score;
    owner.Set(20020, 0);  // runs of test lines in place of groups
    EXPECT_EQ(MntVerify(fa.data(), fb.data(), record.get(), owner.context), MNT_OK);
    EXPECT_NE(record->score, grouped);
}

TEST(MntVerify, WeightingsByCoreCurvatureAndBlockOrientation) {
    ContextOwner owner;
    auto a = RandomRecord(51, 50);
    a->singularPoints.count = 1;
    a->singularPoints.x[0] = 150;
    a->singularPoints.y[0] = 200;
    a->singularPoints.type[0] = 1;
    a->blockColumns = 18;
    a->blockRows = 25;
    for (int i = 0; i < 25; ++i)
        for (int j = 0; j < 18; ++j) a->blockGrid[i][j] = uint8_t((i * 3 + j * 2) % 120);
    const auto fa = Compress(*a, owner.context);
    owner.Set(20019, 1);
    MntVerifyRecord record{};
    record.size = MNT_VERIFY_RECORD_SHORT;
    EXPECT_EQ(MntVerify(fa.data(), fa.data(), &record, owner.context), MNT_OK);
    const int32_t same = record.score;
    // A grid that disagrees everywhere lowers the score; curvatures far apart lower it too.
    auto b = std::make_unique<FeatureRecord>(*a);
    for (int i = 0; i < 25; ++i)
        for (int j = 0; j < 18; ++j) b->blockGrid[i][j] = uint8_t((a->blockGrid[i][j] + 60) % 120);
    const auto fb = Compress(*b, owner.context);
    EXPECT_EQ(MntVerify(fa.data(), fb.data(), &record, owner.context), MNT_NO_MATCH);
    auto c = std::make_unique<FeatureRecord>(*a);
    for (int i = 0; i < c->minutiae.count; ++i) c->minutiae.curvature[i] = (a->minutiae.curvature[i] + 100) % 250;
    const auto fc = Compress(*c, owner.context);
    EXPECT_EQ(MntVerify(fa.data(), fc.data(), &record, owner.context), MNT_NO_MATCH);
    // Norms of 0 do not divide by zero.
    owner.Set(20008, 0);
    owner.Set(20011, 0);
    EXPECT_EQ(MntVerify(fa.data(), fa.data(), &record, owner.context), MNT_OK);
    EXPECT_GE(record.score, same);
}

TEST(MntIdentify, SequenceComparesEachCandidateWithTheProbe) {
    ContextOwner owner;
    auto a = RandomRecord(61, 50);
    const auto probe = Compress(*a, owner.context);
    const auto same = Compress(*Transformed(*a, 10, 150, 200, 5, 5), owner.context);
    const auto other = Compress(*RandomRecord(62, 50), owner.context);
    MntVerifyRecord record{};
    record.size = MNT_VERIFY_RECORD_SHORT;
    EXPECT_EQ(MntIdentifyNext(same.data(), &record, owner.context), MNT_BUSY);
    EXPECT_EQ(MntIdentifyEnd(owner.context), MNT_BUSY);
    EXPECT_EQ(MntIdentifyStart(nullptr, owner.context), MNT_NULL_POINTER);
    ASSERT_EQ(MntIdentifyStart(probe.data(), owner.context), MNT_OK);
    EXPECT_EQ(MntIdentifyStart(probe.data(), owner.context), MNT_BUSY);
    EXPECT_EQ(MntVerify(probe.data(), probe.data(), nullptr, owner.context), MNT_BUSY);
    EXPECT_EQ(MntSetParameter(200, 10, owner.context), MNT_BUSY);
    EXPECT_EQ(MntIdentifyNext(nullptr, &record, owner.context), MNT_NULL_POINTER);
    record.size = 30;
    EXPECT_EQ(MntIdentifyNext(same.data(), &record, owner.context), MNT_BAD_VALUE);
    record.size = MNT_VERIFY_RECORD_SHORT;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(MntIdentifyNext(other.data(), &record, owner.context), MNT_NO_MATCH);
        EXPECT_EQ(MntIdentifyNext(same.data(), &record, owner.context), MNT_OK);
        EXPECT_EQ(MntIdentifyNext(probe.data(), &record, owner.context), MNT_OK);
    }
    EXPECT_EQ(MntIdentifyEnd(owner.context), MNT_OK);
    EXPECT_EQ(MntIdentifyEnd(owner.context), MNT_BUSY);
    EXPECT_EQ(MntVerify(probe.data(), same.data(), nullptr, owner.context), MNT_OK);
}

// Ground-truth minutiae of synthetic impressions: same finger against different fingers, at the
// default speed and at the speed matcher 1 selects.
TEST(SyntheticFingerScores, GenuineAndImpostorSeparate) {
    ContextOwner owner;
    // Fewer fingers under the sanitizers, where growing each synthetic finger is slow.
    const int kFingers = kSanitized ? 4 : 6, kImpressions = 3;
    std::vector<std::vector<std::vector<uint8_t>>> sets(kFingers);
    for (int f = 0; f < kFingers; ++f)
        for (const auto& im : SyntheticImpressions(f)) sets[f].push_back(Compress(*RecordFromImpression(im), owner.context));
    auto score = [&](const std::vector<uint8_t>& x, const std::vector<uint8_t>& y) {
        MntVerifyRecord record{};
        record.size = MNT_VERIFY_RECORD_SHORT;
        MntVerify(x.data(), y.data(), &record, owner.context);
        return record.score;
    };
    for (int32_t speed : {0, 256}) {
        owner.Set(220, speed);
        std::vector<int> genuine, impostor;
        for (int f = 0; f < kFingers; ++f)
            for (int i = 0; i < kImpressions; ++i)
                for (int j = i + 1; j < kImpressions; ++j) genuine.push_back(score(sets[f][i], sets[f][j]));
        for (int f = 0; f < kFingers; ++f)
            for (int g = f + 1; g < kFingers; ++g)
                for (int i = 0; i < kImpressions; ++i)
                    impostor.push_back(score(sets[f][i], sets[g][(i + 1) % kImpressions]));
        std::sort(genuine.begin(), genuine.end());
        std::sort(impostor.begin(), impostor.end());
        auto print = [speed](const char* name, const std::vector<int>& v) {
            std::printf("speed %d %s (%zu):", speed, name, v.size());
            for (int s : v) std::printf(" %d", s);
            std::printf("\n");
        };
        print("genuine", genuine);
        print("impostor", impostor);
        EXPECT_GT(genuine.front(), impostor.back() + 100) << speed;
        if (speed == 0) {
            EXPECT_GT(genuine.front(), 47);
            EXPECT_LE(impostor.back(), 47);
        }
    }
}

}  // namespace
