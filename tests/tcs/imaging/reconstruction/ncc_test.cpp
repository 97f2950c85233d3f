// Integer NCC scores and the lag search.
#include "tcs/imaging/reconstruction/ncc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

NccStats statsOf(const std::vector<uint8_t>& v) {
    NccStats s{};
    tcsComputeNCCStats(&s, v.data(), uint32_t(v.size()));
    return s;
}

uint32_t crossOf(const uint8_t* a, const uint8_t* b, uint32_t n) {
    uint32_t c = 0;
    for (uint32_t i = 0; i < n; ++i) c += uint32_t(a[i]) * b[i];
    return c;
}

std::vector<uint8_t> randomLine(uint32_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (uint8_t& p : v) p = uint8_t(rng() & 0xFF);
    return v;
}

TEST(NccScore, KnownVectors) {
    // 32 zeros and 32 twos: spread 64 * 128 - 64^2 = 4096, a multiple of 256.
    std::vector<uint8_t> steps(64, 0);
    for (int i = 32; i < 64; ++i) steps[i] = 2;
    NccStats s = statsOf(steps);
    EXPECT_EQ(s.spread, 4096u);
    EXPECT_EQ(computeNCCForGivenLag(&s, &s, s.sumSquares, 64), 16384u);
    uint32_t residual = 99;
    EXPECT_EQ(computeNCCForZeroLag(steps.data(), steps.data(), 64, nullptr, nullptr, &residual), 16384u);
    EXPECT_EQ(residual, 0u);

    // A spread of 16320 rounds each quotient up to 129: 129 * 129.
    NccStats odd{64, 319, 0, 0};
    tcsComputeDependentNCCStats(&odd, 64);
    EXPECT_EQ(odd.spread, 16320u);
    EXPECT_EQ(computeNCCForGivenLag(&odd, &odd, odd.sumSquares, 64), 16641u);

    // A window against its own negative, flat against flat, flat against textured.
    const std::vector<uint8_t> line = randomLine(64, 3);
    std::vector<uint8_t> negative(64), flat(64, 77), flat2(64, 200);
    for (int i = 0; i < 64; ++i) negative[i] = uint8_t(255 - line[i]);
    EXPECT_EQ(computeNCCForZeroLag(line.data(), negative.data(), 64, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(computeNCCForZeroLag(flat.data(), flat2.data(), 64, nullptr, nullptr, nullptr), kNccFlatScore);
    EXPECT_EQ(computeNCCForZeroLag(flat.data(), line.data(), 64, nullptr, nullptr, nullptr), 0u);

    // Spreads below 256 take the unrounded branch: q = N * 128 / S on each side.
    const std::vector<uint8_t> small = {10, 11, 10, 11, 10, 11, 10, 12};
    NccStats ss = statsOf(small);
    ASSERT_LT(ss.spread, 256u);
    const int64_t n = int64_t(small.size()) * ss.sumSquares - int64_t(ss.sum) * ss.sum;
    const int64_t q = n * 128 / ss.spread;
    EXPECT_EQ(computeNCCForGivenLag(&ss, &ss, ss.sumSquares, 8), uint32_t(q * q));
}

TEST(NccScore, ResidualOfZeroLag) {
    const std::vector<uint8_t> a = {10, 20, 30, 40}, b = {14, 22, 35, 41};
    // C = 140 + 440 + 1050 + 1640 = 3270; sum of squares of a 3000; (112 - 100) / 4 = 3; 3270 - 3000 - 300 = -30.
    NccStats sb{};
    uint32_t residual = 0;
    computeNCCForZeroLag(a.data(), b.data(), 4, nullptr, &sb, &residual);
    EXPECT_EQ(residual, 30u);
    EXPECT_EQ(sb.sum, 112u);
}

TEST(NccScore, RandomWindowsMatchTheRealCorrelation) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 400; ++trial) {
        std::vector<uint8_t> a = randomLine(64, rng()), b(64);
        // Mix a with fresh noise for a spread of correlations, both signs.
        const double w = (trial % 21) / 10.0 - 1.0;
        std::normal_distribution<double> noise(0, 40);
        for (int i = 0; i < 64; ++i) {
            const double v = 128 + w * (a[i] - 128.0) + noise(rng) * (1.0 - std::fabs(w));
            b[i] = uint8_t(std::lround(std::fmin(255, std::fmax(0, v))));
        }
        const NccStats sa = statsOf(a), sb = statsOf(b);
        const double n = 64, num = n * crossOf(a.data(), b.data(), 64) - double(sa.sum) * sb.sum;
        const double r = num / std::sqrt(double(sa.spread) * sb.spread);
        const uint32_t score = computeNCCForZeroLag(a.data(), b.data(), 64, nullptr, nullptr, nullptr);
        if (num <= 0) {
            EXPECT_EQ(score, 0u) << trial;
            continue;
        }
        // Each quotient N / (S / 128) is off by less than one plus the rounding of S / 128.
        const double qa = num * 128 / sa.spread, qb = num * 128 / sb.spread;
        const double reference = 16384 * r * r;
        EXPECT_NEAR(double(score), reference, qa + qb + 2 + reference * 0.02) << trial;
    }
}

TEST(NccScore, CombinedScoreEqualsTheScoreOfTheJoinedWindows) {
    for (uint32_t seed = 1; seed < 20; ++seed) {
        const std::vector<uint8_t> a = randomLine(128, seed), b = randomLine(128, seed + 100);
        std::vector<uint8_t> bb = b;
        for (int i = 0; i < 128; ++i) bb[i] = uint8_t((a[i] + b[i]) / 2);
        const std::vector<uint8_t> a1(a.begin(), a.begin() + 64), a2(a.begin() + 64, a.end());
        const std::vector<uint8_t> b1(bb.begin(), bb.begin() + 64), b2(bb.begin() + 64, bb.end());
        const NccStats sa1 = statsOf(a1), sa2 = statsOf(a2), sb1 = statsOf(b1), sb2 = statsOf(b2);
        EXPECT_EQ(computeCrossSumL64(a1.data(), b1.data()), crossOf(a1.data(), b1.data(), 64));
        EXPECT_EQ(computeCombinedNCCForGivenLag(&sa1, &sa2, &sb1, &sb2, crossOf(a1.data(), b1.data(), 64),
                                                crossOf(a2.data(), b2.data(), 64), 64),
                  computeNCCForZeroLag(a.data(), bb.data(), 128, nullptr, nullptr, nullptr));
    }
}

// Search settings of the scan-line correlator.
NccLagSearch correlatorSearch(int8_t start, int8_t minimum, int8_t negUpper, int8_t posLower, int8_t maximum) {
    return NccLagSearch{start, minimum, negUpper, posLower, maximum, 64, 16384, 16384, 16384, 16384, 24, 16384};
}

struct SearchResult {
    uint32_t score;
    int lag;
    uint32_t cross;
    uint32_t evaluations;
};

SearchResult search(const std::vector<uint8_t>& ref, int origin, const uint8_t* cur, const NccLagSearch& p) {
    SearchResult r{};
    int8_t lag = 0;
    NccStats best{};
    r.score = computeNCCForMultipleLags(ref.data() + origin, cur, 64, nullptr, nullptr, &p, &best, &lag, &r.cross,
                                        &r.evaluations);
    r.lag = lag;
    return r;
}

TEST(NccLagSearch, ScoreAbove16384EndsTheSearchInNearestFirstOrder) {
    const int origin = 60;
    const std::vector<uint8_t> flat(64, 90);
    struct Case { int trueLag; uint32_t evaluations; };
    // Order: s, s+1, s-1, s+2, s-2, ...; two flat windows score 65535 and end it at once.
    for (auto [trueLag, evaluations] : std::initializer_list<Case>{{0, 1}, {1, 2}, {-1, 3}, {2, 4}, {-2, 5}, {5, 10}}) {
        std::vector<uint8_t> ref = randomLine(200, 5);
        std::fill(ref.begin() + origin + trueLag, ref.begin() + origin + trueLag + 64, 90);
        const SearchResult r = search(ref, origin, flat.data(), correlatorSearch(0, -8, -1, 1, 8));
        EXPECT_EQ(r.lag, trueLag);
        EXPECT_EQ(r.score, kNccFlatScore);
        EXPECT_EQ(r.evaluations, evaluations) << trueLag;
        EXPECT_EQ(r.cross, 64u * 90 * 90);
    }
}

TEST(NccLagSearch, ExactCopyScores16384AndDoesNotStopEarly) {
    // A spread that is a multiple of 256 scores exactly 16384, which is not above the threshold:
    // the search runs on to the bounds and keeps the copy as its best.
    std::vector<uint8_t> ref = randomLine(200, 5);
    for (int i = 0; i < 200; ++i) ref[i] = uint8_t(ref[i] & 0xF0);
    const NccStats s = statsOf(std::vector<uint8_t>(ref.begin() + 62, ref.begin() + 126));
    ASSERT_EQ(s.spread % 256, 0u);
    const SearchResult r = search(ref, 60, ref.data() + 62, correlatorSearch(0, -8, -1, 1, 8));
    EXPECT_EQ(r.lag, 2);
    EXPECT_EQ(r.score, 16384u);
    EXPECT_EQ(r.evaluations, 17u);
}

TEST(NccLagSearch, BudgetOf24EvaluationsAndWindowBounds) {
    const std::vector<uint8_t> ref = randomLine(200, 6), cur = randomLine(64, 7);
    EXPECT_EQ(search(ref, 80, cur.data(), correlatorSearch(0, -30, -1, 1, 30)).evaluations, 24u);
    // Start at the maximum: only downward candidates, and the best lag never lies above the start.
    const SearchResult down = search(ref, 80, cur.data(), correlatorSearch(10, -30, -1, 1, 10));
    EXPECT_EQ(down.evaluations, 24u);
    EXPECT_LE(down.lag, 10);
    // Narrow bounds end the search when neither direction is allowed.
    EXPECT_EQ(search(ref, 80, cur.data(), correlatorSearch(0, -2, -1, 1, 2)).evaluations, 5u);
}

TEST(NccLagSearch, SkippedLagsStillSlideTheStatistics) {
    // Lags -2..2 are skipped (outside both bands), 0 never is; the match at -4 is still exact.
    const std::vector<uint8_t> ref = randomLine(200, 8);
    const NccLagSearch p = correlatorSearch(0, -5, -3, 3, 5);
    const SearchResult unrelated = search(ref, 80, randomLine(64, 9).data(), p);
    EXPECT_EQ(unrelated.evaluations, 7u);  // 0, +-3, +-4, +-5
    std::vector<uint8_t> flatAt = ref;
    std::fill(flatAt.begin() + 76, flatAt.begin() + 140, 33);
    const std::vector<uint8_t> flat(64, 33);
    const SearchResult r = search(flatAt, 80, flat.data(), p);
    EXPECT_EQ(r.lag, -4);
    EXPECT_EQ(r.score, kNccFlatScore);
}

TEST(NccLagSearch, TiesGoUpwardAndTheDistancePenaltyHoldsTheBest) {
    // A period-2 reference: lags s+1 and s-1 show the same window, and every odd lag repeats it.
    std::vector<uint8_t> ref(200);
    for (int i = 0; i < 200; ++i) ref[i] = (i & 1) ? 180 : 60;
    std::vector<uint8_t> cur(ref.begin() + 81, ref.begin() + 145);
    std::mt19937 rng(4);
    for (uint8_t& v : cur) v = uint8_t(v + int(rng() % 61) - 30);  // noisy: no score above 16384
    const SearchResult r = search(ref, 80, cur.data(), correlatorSearch(0, -20, -1, 1, 20));
    EXPECT_EQ(r.lag, 1);
    EXPECT_LE(r.score, 16384u);
    EXPECT_EQ(r.evaluations, 24u);
}

TEST(NccLagSearch, PeakAndDropStops) {
    const std::vector<uint8_t> ref = randomLine(200, 12);
    std::vector<uint8_t> cur(ref.begin() + 80, ref.begin() + 144);
    std::mt19937 rng(2);
    for (uint8_t& v : cur) v = uint8_t(std::min(255, int(v) + int(rng() % 40)));
    // Peak at the start: both neighbours evaluated and lower, so step 1 ends it.
    NccLagSearch peak{0, -20, -1, 1, 20, 64, 70000, 70000, 0, 1000, 100, 70000};
    SearchResult r = search(ref, 80, cur.data(), peak);
    EXPECT_EQ(r.lag, 0);
    EXPECT_EQ(r.evaluations, 3u);
    // Drops in both directions end it as well.
    NccLagSearch drop{0, -20, -1, 1, 20, 64, 70000, 1000, 500, 70000, 100, 70000};
    r = search(ref, 80, cur.data(), drop);
    EXPECT_EQ(r.evaluations, 3u);
    // Without either stop the search runs to the window bounds.
    NccLagSearch open{0, -20, -1, 1, 20, 64, 70000, 70000, 0, 70000, 100, 70000};
    EXPECT_EQ(search(ref, 80, cur.data(), open).evaluations, 41u);
}

}  // namespace
