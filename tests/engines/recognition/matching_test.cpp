// Alignment search, correspondence score and comparison on seeded synthetic minutia sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "engines/recognition/alignment.h"
#include "engines/recognition/tables.h"
#include "tests/engines/recognition/engine_fixture.h"

namespace recogtest {
namespace {

namespace E = R::Embedded;
namespace CV = R::ContinousVoting;

struct Kernel {
    std::unique_ptr<CV::minutia_pairs> pairs = std::make_unique<CV::minutia_pairs>();
    R::MatchParameters parameters;
};

TEST(RecogAlignment, FindsTheRotationOfATurnedCopy) {
    Kernel k;
    const auto finger = makeFinger(11, 50);
    for (int rotation : {0, 20, 100, 236}) {
        const R::MatchData a = toMatchData(finger, 7);
        const R::MatchData b = toMatchData(impression(finger, 12, rotation, 10, -15), 7);
        CV::alignments found;
        CV::find_alignments(a, b, k.parameters.voting, *k.pairs, found);
        ASSERT_FALSE(found.empty()) << rotation;
        // Relative positions do not move with the finger, so the true pairs vote near the grid's middle.
        const int off = int8_t(uint8_t(found[0].rotation - rotation));
        EXPECT_LE(std::abs(off), 4) << rotation;
        EXPECT_NEAR(found[0].cell & 63, 32, 2);
        EXPECT_NEAR(found[0].cell >> 6, 32, 2);
        for (size_t i = 0; i + 1 < found.size(); ++i) {
            EXPECT_GE(found[i].votes, found[i + 1].votes);
            for (size_t j = i + 1; j < found.size(); ++j) EXPECT_NE(found[i].cell, found[j].cell);
        }
    }
}

TEST(RecogAlignment, TopListOfferRules) {
    struct Offer { int votes, cell; };
    struct Case { std::vector<Offer> offers; std::vector<Offer> list; int threshold; };
    for (const auto& c : std::initializer_list<Case>{
             {{{10, 1}, {9, 2}}, {}, 10},                                       // only above the minimum
             {{{11, 1}, {13, 2}, {12, 3}}, {{11, 1}, {12, 3}, {13, 2}}, 10},    // kept in increasing order
             {{{11, 1}, {12, 2}, {13, 3}, {12, 4}}, {{12, 2}, {12, 4}, {13, 3}}, 12},  // after equals; weakest out
             {{{11, 1}, {12, 2}, {13, 3}, {12, 4}, {12, 5}}, {{12, 2}, {12, 4}, {13, 3}}, 12},  // not above
             {{{11, 1}, {12, 2}, {13, 3}, {12, 4}, {14, 2}}, {{12, 4}, {13, 3}, {14, 2}}, 12},  // same cell moves up
             {{{11, 1}, {12, 2}, {13, 3}, {11, 3}}, {{11, 1}, {12, 2}, {13, 3}}, 10},  // same cell, fewer votes
             {{{20, 1}, {21, 2}, {22, 3}, {15, 4}}, {{20, 1}, {21, 2}, {22, 3}}, 20},  // below the weakest
         }) {
        CV::TopList top(10);
        for (const Offer& o : c.offers) top.offer(int16_t(o.votes), uint16_t(o.cell), 0);
        ASSERT_EQ(top.size(), int(c.list.size()));
        for (int k = 0; k < top.size(); ++k) {
            EXPECT_EQ(top[k].votes, c.list[k].votes) << k;
            EXPECT_EQ(top[k].cell, c.list[k].cell) << k;
        }
        EXPECT_EQ(top.threshold(), c.threshold);
    }
}

TEST(RecogAlignment, EmptyRecordsGiveNoAlignmentAndNoEvidence) {
    Kernel k;
    const R::MatchData empty = toMatchData({}, 7);
    const R::MatchData full = toMatchData(makeFinger(13, 40), 7);
    CV::alignments found;
    CV::find_alignments(empty, full, k.parameters.voting, *k.pairs, found);
    EXPECT_TRUE(found.empty());
    R::fixed_vector<int32_t, 6> scores;
    R::Verification::BoxPair boxes;
    E::scoreBothDirections(empty, full, k.parameters, *k.pairs, boxes, scores);
    EXPECT_TRUE(scores.empty());
    EXPECT_EQ(E::upperHalfMean(scores), -37302);
    EXPECT_EQ(E::oneViewIndex(empty, full, k.parameters, *k.pairs, boxes), 0);
}

TEST(RecogAlignment, AnAlignmentFarFromEveryPairScoresNoEvidence) {
    Kernel k;
    const R::MatchData a = toMatchData(makeFinger(14, 40), 7);
    CV::alignments found;
    CV::find_alignments(a, a, k.parameters.voting, *k.pairs, found);
    R::Verification::CorrFinder finder(a, a, k.parameters.corr, *k.pairs, nullptr);
    // Column 0, row 0 lies beyond cell distance 4 of every vote a record can cast.
    EXPECT_EQ(finder.get_score_using_all(CV::alignment{100, 0, 3}), -37302);
}

// Pinned results of the search and score on fixed sets: the kernel's tie-breaks (bin order,
// offer order, heap layout) must survive any rework of its loops.
TEST(RecogAlignment, PinnedAlignmentsAndScores) {
    struct Found { int votes, cell, rotation, score; };
    struct Case { int seed; std::vector<Found> found; };
    Kernel k;
    for (const auto& c : std::initializer_list<Case>{
             {3, {{28, 2712, 79, -37302}, {27, 1571, 239, 8242}, {27, 1636, 238, -37302}}},
             {4, {{241, 1953, 35, 96695}, {199, 1952, 35, 96695}, {192, 2017, 35, 96695}}},
             {5, {{27, 2277, 242, 5630}, {27, 1352, 51, -37302}, {26, 2714, 25, 6064}}},
             {6, {{270, 2015, 53, 113219}, {227, 2016, 53, 113219}, {186, 1951, 53, 113219}}}}) {
        const auto finger = makeFinger(c.seed, 30 + c.seed * 6);
        const R::MatchData a = toMatchData(finger, 7);
        // Odd seeds: an unrelated finger; even seeds: a turned impression.
        const R::MatchData b = toMatchData(
            c.seed % 2 ? makeFinger(c.seed + 500, 50) : impression(finger, c.seed, c.seed * 9, 7, -5), 7);
        CV::alignments found;
        CV::find_alignments(a, b, k.parameters.voting, *k.pairs, found);
        R::Verification::CorrFinder finder(a, b, k.parameters.corr, *k.pairs, nullptr);
        ASSERT_EQ(found.size(), c.found.size()) << c.seed;
        for (size_t i = 0; i < found.size(); ++i) {
            EXPECT_EQ(found[i].votes, c.found[i].votes) << c.seed << " " << i;
            EXPECT_EQ(found[i].cell, c.found[i].cell) << c.seed << " " << i;
            EXPECT_EQ(found[i].rotation, c.found[i].rotation) << c.seed << " " << i;
            EXPECT_EQ(finder.get_score_using_all(found[i]), c.found[i].score) << c.seed << " " << i;
        }
    }
}

// A record against itself pairs every minutia with its own copy: k = m = M = n, so the score is
// -L(n) - n * (423 - log2 area of the box around all minutiae).
TEST(RecogScore, SelfMatchHasItsClosedForm) {
    Kernel k;
    for (uint64_t seed : {21, 22, 23}) {
        const R::MatchData a = toMatchData(makeFinger(seed, 45, 20), 7);
        CV::alignments found;
        CV::find_alignments(a, a, k.parameters.voting, *k.pairs, found);
        ASSERT_FALSE(found.empty());
        R::Verification::BoxPair boxes;
        R::Verification::CorrFinder finder(a, a, k.parameters.corr, *k.pairs, &boxes);
        const int32_t score = finder.get_score_using_all(found[0]);
        int minX = 999, minY = 999, maxX = -1, maxY = -1;
        for (int i = 0; i < a.count(); ++i) {
            minX = std::min<int>(minX, a[i].x), maxX = std::max<int>(maxX, a[i].x);
            minY = std::min<int>(minY, a[i].y), maxY = std::max<int>(maxY, a[i].y);
        }
        EXPECT_EQ(boxes.a.minX, minX);
        EXPECT_EQ(boxes.b.maxY, maxY);
        const int32_t g = E::log2_fixed(uint32_t((maxX - minX) * (maxY - minY)));
        EXPECT_EQ(score, -E::log2_factorial_table(45) - 45 * (423 - g)) << seed;
    }
}

TEST(RecogScore, UpperHalfMeanRoundsHalfAwayFromZero) {
    struct Case { std::vector<int32_t> scores; int32_t mean; };
    for (const auto& c : std::initializer_list<Case>{
             {{5}, 5}, {{1, 2}, 2}, {{-3, -4}, -3}, {{9, 1, 4}, 7}, {{-1, -2}, -1}, {{1, 2, 3, 4, 5, 6}, 5},
             {{-5, -6, -7, 0, 0, 1}, 0}, {{3, -6, -7, -8, -9, -3}, -2}, {{-1, -2, -4, -5}, -2}, {{1, 2, 4, 5}, 5}}) {
        R::fixed_vector<int32_t, 6> scores;
        for (int32_t s : c.scores) scores.push_back(s);
        EXPECT_EQ(E::upperHalfMean(scores), c.mean);
    }
}

TEST(RecogScore, IndexCalibration) {
    struct Case { int32_t raw, index; };
    for (auto [raw, index] : std::initializer_list<Case>{
             {-5, 0}, {0, 0}, {1, 0}, {32767, 0}, {32768, 1}, {65536 * 52 - 32768, 52}}) {
        EXPECT_EQ(E::scoreIndex(raw), index) << raw;
    }
}

class RecogComparison : public EngineTest {
protected:
    // Index and decision at the default threshold for a probe against a template.
    std::pair<uint32_t, RecogResult> compare(RecogHandle probe, RecogHandle tmpl) {
        RecogHandle cmp = nullptr;
        EXPECT_EQ(RecogCreateComparison(probe, tmpl, 0, &cmp), RECOG_OK);
        keep(cmp);
        uint32_t p = 0;
        EXPECT_EQ(RecogGetProbability(cmp, RECOG_PROBABILITY_COMPARISON, &p), RECOG_OK);
        return {p, RecogGetVerificationResult(cmp, RECOG_THRESHOLD_DEFAULT)};
    }
    std::vector<R::MatchData> fourViews(const std::vector<RawMinutia>& finger, uint64_t seed) {
        std::vector<R::MatchData> views;
        for (int v = 0; v < 4; ++v)
            views.push_back(toMatchData(impression(finger, seed + v, v * 6 - 9, v * 7 - 10, 12 - v * 8), 6));
        return views;
    }
};

TEST_F(RecogComparison, TurnedAndShiftedCopyMatchesUnrelatedSetDoesNot) {
    for (uint64_t seed : {31, 32, 33, 34}) {
        const auto finger = makeFinger(seed, 55);
        const auto other = makeFinger(seed + 1000, 55);
        RecogHandle probe = featureSet(impression(finger, seed * 7, 18, 12, -20));
        RecogHandle impostor = featureSet(other);
        RecogHandle one = templateOf({toMatchData(finger, 6)});
        RecogHandle four = templateOf(fourViews(finger, seed * 3));
        for (RecogHandle tmpl : {one, four}) {
            auto [genuineP, genuine] = compare(probe, tmpl);
            EXPECT_EQ(genuine, RECOG_OK) << seed;
            EXPECT_LT(genuineP, 16384u);
            auto [impostorP, rejected] = compare(impostor, tmpl);
            EXPECT_EQ(rejected, RECOG_NO) << seed;
            EXPECT_GT(impostorP, 16384u);
        }
    }
}

TEST_F(RecogComparison, TemplatesOfTwoOrThreeViewsGiveNoEvidence) {
    const auto finger = makeFinger(41, 50);
    RecogHandle probe = featureSet(finger);
    auto views = fourViews(finger, 42);
    for (size_t n : {0u, 2u, 3u}) {
        RecogHandle tmpl = templateOf(std::vector<R::MatchData>(views.begin(), views.begin() + n));
        RecogHandle cmp = nullptr;
        ASSERT_EQ(RecogCreateComparison(probe, tmpl, 0, &cmp), RECOG_OK);
        keep(cmp);
        uint32_t p = 0;
        EXPECT_EQ(RecogGetProbability(cmp, 1, &p), RECOG_OK);
        EXPECT_EQ(p, 0x7FFFFFFFu);
        EXPECT_EQ(RecogGetVerificationResult(cmp, 0x7FFFFFFE), RECOG_NO);
        EXPECT_EQ(RecogGetVerificationResult(cmp, 0x7FFFFFFF), RECOG_OK);  // matches everything
    }
}

TEST_F(RecogComparison, ProbabilityAndDecisionArguments) {
    const auto finger = makeFinger(51, 50);
    RecogHandle probe = featureSet(impression(finger, 52, 5, 3, 3));
    RecogHandle tmpl = templateOf({toMatchData(finger, 6)});
    RecogHandle cmp = nullptr;
    EXPECT_EQ(RecogCreateComparison(probe, tmpl, 0, nullptr), RECOG_E_INVALID_ARG);
    ASSERT_EQ(RecogCreateComparison(probe, tmpl, 0, &cmp), RECOG_OK);
    keep(cmp);
    uint32_t p = 12345;
    EXPECT_EQ(RecogGetProbability(cmp, 1, nullptr), RECOG_E_INVALID_ARG);
    EXPECT_EQ(RecogGetProbability(cmp, 2, &p), RECOG_E_INVALID_ARG);
    EXPECT_EQ(RecogGetProbability(cmp, 0, &p), RECOG_E_INVALID_ARG);
    EXPECT_EQ(p, 12345u);
    EXPECT_EQ(RecogGetProbability(tmpl, 1, &p), RECOG_E_HANDLE);
    EXPECT_EQ(RecogGetProbability(nullptr, 1, &p), RECOG_E_HANDLE);
    EXPECT_EQ(p, 12345u);
    ASSERT_EQ(RecogGetProbability(cmp, 1, &p), RECOG_OK);
    EXPECT_LT(p, 16384u);

    struct Case { int32_t threshold; RecogResult result; };
    for (auto [threshold, result] : std::initializer_list<Case>{
             {0, RECOG_NO}, {-1, RECOG_OK}, {-2, RECOG_E_INVALID_ARG}, {INT32_MIN, RECOG_E_INVALID_ARG},
             {int32_t(p), RECOG_NO}, {int32_t(p) + 1, RECOG_OK}, {0x7FFFFFFF, RECOG_OK}}) {
        EXPECT_EQ(RecogGetVerificationResult(cmp, threshold), result) << threshold;
    }
    EXPECT_EQ(RecogGetVerificationResult(probe, 16384), RECOG_E_HANDLE);
}

TEST_F(RecogComparison, FeatureSetAndTemplateOfDifferentContexts) {
    RecogHandle other = nullptr;
    ASSERT_EQ(RecogCreateContext(&init_, &other), RECOG_OK);
    keep(other);
    const auto finger = makeFinger(61, 40);
    RecogHandle probe = featureSet(toMatchData(finger, 7), other);
    RecogHandle tmpl = templateOf({toMatchData(finger, 6)});
    RecogHandle cmp = nullptr;
    EXPECT_EQ(RecogCreateComparison(probe, tmpl, 0, &cmp), RECOG_E_HANDLE);
    EXPECT_EQ(cmp, nullptr);
}

// Only the comparison, its scratch table and its handle block are allocated; the scratch table
// is gone when the call returns, and every failed allocation leaves nothing behind.
TEST_F(RecogComparison, AllocatesOnlyTheObjectScratchAndHandle) {
    const auto finger = makeFinger(71, 60);
    RecogHandle probe = featureSet(impression(finger, 72, 10, 0, 0));
    RecogHandle tmpl = templateOf(fourViews(finger, 73));
    const size_t before = log_.sizes.size();
    const int freesBefore = log_.frees;
    RecogHandle cmp = nullptr;
    ASSERT_EQ(RecogCreateComparison(probe, tmpl, 0, &cmp), RECOG_OK);
    keep(cmp);
    ASSERT_EQ(log_.sizes.size(), before + 3);
    EXPECT_EQ(log_.sizes[before + 1], sizeof(R::BlockPrefix) + sizeof(R::MinutiaPairs));
    EXPECT_EQ(log_.sizes[before + 2], sizeof(R::BlockPrefix) + sizeof(R::HandleBlock));
    EXPECT_EQ(log_.frees, freesBefore + 1);

    for (int fail = 0; fail < 3; ++fail) {
        const size_t live = log_.live.size();
        log_.failAt = int(log_.sizes.size()) + fail;
        RecogHandle out = nullptr;
        EXPECT_EQ(RecogCreateComparison(probe, tmpl, 0, &out), RECOG_E_OUT_OF_MEMORY) << fail;
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(log_.live.size(), live);
        log_.failAt = -1;
    }
}

}  // namespace
}  // namespace recogtest
