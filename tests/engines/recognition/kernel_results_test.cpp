// Matching kernel results over many seeded sets, folded into one pinned digest: the kernel's
// speed-ups must keep every alignment, score and box exactly as they were.
#include <gtest/gtest.h>

#include <memory>

#include "engines/recognition/alignment.h"
#include "tests/engines/recognition/engine_fixture.h"

namespace recogtest {
namespace {

namespace CV = R::ContinousVoting;

struct Digest {
    uint64_t value = 0xCBF29CE484222325ull;  // FNV-1a
    void add(int64_t x) {
        for (int k = 0; k < 8; ++k) {
            value ^= uint8_t(uint64_t(x) >> (8 * k));
            value *= 0x100000001B3ull;
        }
    }
    void add(const R::Verification::Box& box) {
        for (int v : {box.minX, box.minY, box.maxX, box.maxY}) add(v);
    }
};

// Set pairs that reach the kernel's corners: dense sets (more than 256 candidates, more than 76
// accepted pairs), sets against themselves, large shifts (pairs without a cell), full records.
std::pair<R::MatchData, R::MatchData> setPair(int seed) {
    Rng rng(uint64_t(seed) + 77);
    const int count = seed % 5 == 0 ? 76 : rng.range(1, 76);
    const int spacing = seed % 7 == 0 ? 3 : rng.range(8, 16);
    const auto finger = makeFinger(uint64_t(seed) + 3000, count, spacing);
    const R::MatchData a = toMatchData(finger, 7);
    switch (seed % 4) {
    case 0:
        return {a, a};
    case 1:
        return {a, toMatchData(makeFinger(uint64_t(seed) + 5000, rng.range(1, 76), rng.range(6, 16)), 7)};
    default: {
        const int shift = seed % 4 == 3 ? 120 : 20;
        return {a, toMatchData(impression(finger, uint64_t(seed), rng.range(0, 255), rng.range(-shift, shift),
                                          rng.range(-shift, shift), rng.range(0, 4), rng.range(0, 8)),
                               7)};
    }
    }
}

void digestBothDirections(const R::MatchData& a, const R::MatchData& b, const R::MatchParameters& parameters,
                          CV::minutia_pairs& pairs, Digest& digest) {
    for (int direction = 0; direction < 2; ++direction) {
        const R::MatchData& first = direction == 0 ? a : b;
        const R::MatchData& second = direction == 0 ? b : a;
        CV::alignments found;
        CV::find_alignments(first, second, parameters.voting, pairs, found);
        digest.add(int64_t(found.size()));
        for (const CV::alignment& alignment : found) {
            R::Verification::BoxPair boxes;
            R::Verification::CorrFinder finder(first, second, parameters.corr, pairs, &boxes);
            digest.add(alignment.votes);
            digest.add(alignment.cell);
            digest.add(alignment.rotation);
            digest.add(finder.get_score_using_all(alignment));
            digest.add(boxes.a);
            digest.add(boxes.b);
        }
    }
    R::Verification::BoxPair boxes;
    digest.add(R::Embedded::oneViewIndex(a, b, parameters, pairs, boxes));
    digest.add(boxes.a);
    digest.add(boxes.b);
}

TEST(RecogKernelResults, DigestOfManySeededSetsIsPinned) {
    auto pairs = std::make_unique<CV::minutia_pairs>();
    const R::MatchParameters parameters;
    Digest digest;
    for (int seed = 0; seed < 300; ++seed) {
        const auto [a, b] = setPair(seed);
        digestBothDirections(a, b, parameters, *pairs, digest);
    }
    EXPECT_EQ(digest.value, 0xdbf58551dc98ee0bull) << std::hex << digest.value;
}

using RecogKernelComparisons = EngineTest;

// Four-view comparisons through the interface: probabilities of genuine and unrelated probes.
TEST_F(RecogKernelComparisons, ProbabilitiesOfFourViewComparisonsArePinned) {
    Digest digest;
    for (int seed = 0; seed < 12; ++seed) {
        Rng rng(uint64_t(seed) + 900);
        const auto finger = makeFinger(uint64_t(seed) + 7000, rng.range(30, 76), rng.range(8, 16));
        std::vector<R::MatchData> views;
        for (int v = 0; v < 4; ++v) {
            views.push_back(toMatchData(impression(finger, uint64_t(seed * 4 + v), rng.range(-20, 20),
                                                   rng.range(-15, 15), rng.range(-15, 15)),
                                        6));
        }
        RecogHandle tmpl = templateOf(views);
        const auto genuine = impression(finger, uint64_t(seed) + 50, rng.range(-20, 20), 10, -10);
        const auto other = makeFinger(uint64_t(seed) + 8000, rng.range(40, 68));
        for (RecogHandle probe : {featureSet(genuine), featureSet(other)}) {
            RecogHandle cmp = nullptr;
            ASSERT_EQ(RecogCreateComparison(probe, tmpl, 0, &cmp), RECOG_OK);
            uint32_t probability = 0;
            ASSERT_EQ(RecogGetProbability(cmp, RECOG_PROBABILITY_COMPARISON, &probability), RECOG_OK);
            digest.add(probability);
            EXPECT_EQ(RecogCloseHandle(cmp), RECOG_OK);
        }
    }
    EXPECT_EQ(digest.value, 0xc32e0c9cbec67075ull) << std::hex << digest.value;
}

}  // namespace
}  // namespace recogtest
