// Matching kernel results over many seeded sets, folded into one pinned digest: the kernel's
// speed-ups must keep every alignment, score and box exactly as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

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

// The accepted pairs' heap against the standard heap it must reproduce, pop by pop, with many
// equal distances (the ties decide which pair leaves and the order the score reads).
TEST(RecogKernelResults, PairHeapOrdersAsTheStandardHeap) {
    using Pair = R::Verification::pair_with_r2;
    auto worse = [](const Pair& x, const Pair& y) { return x.r2 < y.r2; };
    auto same = [](const std::vector<Pair>& x, const std::vector<Pair>& y, size_t n) {
        for (size_t k = 0; k < n; ++k) {
            if (x[k].a != y[k].a || x[k].b != y[k].b || x[k].r2 != y[k].r2) return false;
        }
        return true;
    };
    Rng rng(31);
    for (int round = 0; round < 400; ++round) {
        const int length = round < 8 ? round : rng.range(0, 256);
        const int spread = round % 3 == 0 ? 3 : 225;  // few distinct distances, or many
        std::vector<Pair> ours(size_t(length), Pair{});
        for (int k = 0; k < length; ++k) {
            ours[size_t(k)] = Pair{uint8_t(k), uint8_t(rng.range(0, 75)), uint16_t(rng.range(0, spread))};
        }
        std::vector<Pair> standard = ours;
        R::Verification::makePairHeap(ours.data(), length);
        std::make_heap(standard.begin(), standard.end(), worse);
        ASSERT_TRUE(same(ours, standard, size_t(length))) << "length " << length;
        for (int left = length; left > 0; --left) {
            R::Verification::popPairHeap(ours.data(), left);
            std::pop_heap(standard.begin(), standard.begin() + left, worse);
            ASSERT_TRUE(same(ours, standard, size_t(length))) << "length " << length << " left " << left;
        }
    }
}

// The vote as a plain loop: every pair in order i * count(B) + j into its rotation bin (each bin
// newest first), the window slid over all 256 steps, every raised cell offered.
CV::alignments referenceAlignments(const R::MatchData& a, const R::MatchData& b, const CV::Parameters& parameters) {
    struct Pair {
        int cell, weight;
    };
    std::vector<std::vector<Pair>> bins(256);
    for (int i = 0; i < a.count(); ++i) {
        for (int j = 0; j < b.count(); ++j) {
            const int32_t dx = int16_t(b[j].relX - a[i].relX), dy = int16_t(b[j].relY - a[i].relY);
            const int u = (int16_t((dx * a[i].cos - dy * a[i].sin + 128) >> 8) >> 3) + 32;
            const int v = (int16_t((dx * a[i].sin + dy * a[i].cos + 128) >> 8) >> 3) + 32;
            if (u < 0 || u >= 63 || v < 0 || v >= 63) continue;  // no cell: never votes
            const int nibble = ((a[i].weight * b[j].weight) >> 9) & 0xF;
            auto& bin = bins[uint8_t(b[j].angle - a[i].angle)];
            bin.insert(bin.begin(), Pair{v * 64 + u, nibble < 8 ? nibble : nibble - 16});
        }
    }
    std::vector<int16_t> votes(64 * 64 + 66, 0);
    CV::TopList top(parameters.minimumVotes);
    auto add = [&](int bin, int sign, uint8_t rotation, bool offer) {
        for (const Pair& pair : bins[size_t(bin)]) {
            for (int target : {pair.cell, pair.cell + 1, pair.cell + 64, pair.cell + 65}) {
                votes[size_t(target)] = int16_t(votes[size_t(target)] + sign * pair.weight);
                if (offer) top.offer(votes[size_t(target)], uint16_t(target), rotation);
            }
        }
    };
    const int window = parameters.rotationWindow;
    for (int bin = 0; bin < window; ++bin) add(bin, 1, uint8_t(window / 2), true);
    for (int r = 0; r < 256; ++r) {
        add(r, -1, 0, false);
        add((r + window) & 255, 1, uint8_t(window / 2 + r), true);
    }
    CV::alignments out;
    top.copyBestFirst(out);
    return out;
}

// Weights of every signed value (the matching weight keeps four bits of the product, so heavy
// minutiae vote against), positions anywhere, windows of other widths and thresholds: the vote
// must find exactly what the plain loop finds.
TEST(RecogKernelResults, AlignmentsMatchAPlainVoteForAnyWeights) {
    auto pairs = std::make_unique<CV::minutia_pairs>();
    for (int seed = 0; seed < 60; ++seed) {
        Rng rng(uint64_t(seed) + 400);
        const auto finger = makeFinger(uint64_t(seed) + 4000, rng.range(1, 76), rng.range(4, 16));
        R::MatchData a = toMatchData(finger, 7);
        R::MatchData b = seed % 3 == 0 ? a
                                       : toMatchData(impression(finger, uint64_t(seed), rng.range(0, 255),
                                                                rng.range(-30, 30), rng.range(-30, 30)),
                                                     7);
        for (R::MatchData* view : {&a, &b}) {
            for (int i = 0; i < view->count(); ++i) {
                R::Minutia& m = (*view)[i];
                m.weight = uint8_t(rng.range(0, 255));
                // Both sets moved by half the 16-bit range: pairs across its ends meet only
                // through differences that wrap.
                if (seed % 6 == 5) {
                    m.relX = int16_t(m.relX + 32768);
                    m.relY = int16_t(m.relY + 32768);
                }
            }
        }
        CV::Parameters parameters;
        parameters.rotationWindow = uint8_t(seed % 4 == 1 ? rng.range(1, 12) : 7);
        parameters.minimumVotes = uint16_t(seed % 5 == 2 ? rng.range(0, 4) : 10);
        CV::alignments found;
        CV::find_alignments(a, b, parameters, *pairs, found);
        const CV::alignments expected = referenceAlignments(a, b, parameters);
        ASSERT_EQ(found.size(), expected.size()) << "seed " << seed;
        for (size_t k = 0; k < found.size(); ++k) {
            EXPECT_EQ(found[k].votes, expected[k].votes) << "seed " << seed << " rank " << k;
            EXPECT_EQ(found[k].cell, expected[k].cell) << "seed " << seed << " rank " << k;
            EXPECT_EQ(found[k].rotation, expected[k].rotation) << "seed " << seed << " rank " << k;
        }
    }
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
