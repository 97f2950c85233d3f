// The liveness classifier: scores worked out by hand from small tables, and which table sets the
// module takes.
#include "tcs/imaging/liveness/classifier.h"
#include "tests/tcs/imaging/liveness/liveness_images.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

// Hidden unit 1 sees feature 0 with weight ln 3 (so an input of 1 gives e^s = 3, an output of 3/4)
// and has bias b; only its output weight and the output bias are set. The small output bias keeps
// the hand-worked scores off integer boundaries, where the last bit of exp() would decide.
struct OneUnit {
    double bias = 0;  // of hidden unit 1
    double outputBias = 0.0003;
    double outputWeight = 1;  // of hidden unit 1
    double mn0 = 0, mx0 = 1;
};

int32_t score(const OneUnit& u, double feature0) {
    auto t = livetest::flatTables(u.outputBias);
    t->mn[0] = u.mn0;
    t->mx[0] = u.mx0;
    t->v[0][0] = u.bias;
    t->v[0][1] = std::log(3.0);
    t->w[1] = u.outputWeight;
    double features[NEX_FEATURE_COUNT] = {};
    features[0] = feature0;
    return liveness::MLP_Test(features, *t);
}

TEST(Classifier, HandWorkedScores) {
    struct Case {
        const char* name;
        OneUnit unit;
        double feature0;
        int32_t expected;
    };
    // The other 49 hidden units sit at 1/2 and weigh nothing.
    for (const Case& c : std::initializer_list<Case>{
             // s = 0: h = 1/2, o = 0.5003.
             {"feature at its range's lower end adds nothing", {0, 0.0003, 1, 5, 9}, 5, 500},
             // z = (7 - 5) / (9 - 5) = 1/2, s = ln 3 / 2, h = √3 / (1 + √3) = 0.6339746: 634.27.
             {"feature inside its range", {0, 0.0003, 1, 5, 9}, 7, 634},
             // s = ln 3: h = 3/4.
             {"feature at its upper end", {}, 1, 750},
             // z = 2, s = 2 ln 3: h = 9/10. A clamped input would give 750.
             {"feature above its range is not clamped", {}, 2, 900},
             // z = -1, s = -ln 3: h = 1/4.
             {"feature below its range", {}, -1, 250},
             // o = 0.446067765501836 + 1/2 x 0: 446.07 truncates to 446.
             {"output bias", {0, 0.446067765501836, 0}, 0, 446},
             // o = -0.0015 + 1/2 x 0 = -1.5 thousandths: toward zero, not down.
             {"negative score truncates toward zero", {0, -0.0015, 0}, 0, -1},
             // s = -ln 3 + ln 3 = 0 with h weighted -0.765167838553787: -382.58 gives -382.
             {"hidden bias", {-std::log(3.0), 0, -0.765167838553787}, 1, -382},
             // Beyond 32 bits the score stops at the nearest end instead of converting unchecked.
             {"score beyond 32 bits", {0, 1e10, 0}, 0, std::numeric_limits<int32_t>::max()},
             {"score below 32 bits", {0, -1e10, 0}, 0, std::numeric_limits<int32_t>::min()},
         }) {
        EXPECT_EQ(score(c.unit, c.feature0), c.expected) << c.name;
    }
}

// Every hidden unit and every input take part: 50 units each seeing feature k with weight 1/159 at
// z = 1 give s = 1, h = 1 / (1 + e^-1) = 0.7310586; output weights of 1/50 give o = 0.7310586.
TEST(Classifier, EveryUnitAndInputCounts) {
    auto t = livetest::flatTables(0);
    for (int j = 0; j < NEX_HIDDEN_UNITS; ++j) {
        for (int k = 1; k <= NEX_FEATURE_COUNT; ++k) t->v[j][k] = 1.0 / NEX_FEATURE_COUNT;
        t->w[j + 1] = 1.0 / NEX_HIDDEN_UNITS;
    }
    double features[NEX_FEATURE_COUNT];
    for (double& f : features) f = 1;
    EXPECT_EQ(liveness::MLP_Test(features, *t), 731);
    features[158] = 0;  // the last input is read too
    EXPECT_EQ(liveness::MLP_Test(features, *t), 729);
}

// A set with an empty range would divide by zero and one with a non-finite value would score NaN:
// both are refused and the installed set stays.
TEST(Classifier, OnlyUsableTablesAreInstalled) {
    ASSERT_EQ(nexSetClassifierTables(livetest::flatTables(0.3).get()), 0u);
    struct Case {
        const char* name;
        void (*spoil)(NexClassifierTables&);
    };
    for (const Case& c : {Case{"empty range", [](NexClassifierTables& t) { t.mx[17] = t.mn[17]; }},
                          Case{"reversed range", [](NexClassifierTables& t) { t.mx[158] = -1; }},
                          Case{"NaN weight", [](NexClassifierTables& t) { t.v[49][159] = std::nan(""); }},
                          Case{"infinite output weight",
                               [](NexClassifierTables& t) { t.w[50] = std::numeric_limits<double>::infinity(); }}}) {
        auto t = livetest::flatTables(0);
        c.spoil(*t);
        EXPECT_EQ(nexSetClassifierTables(t.get()), 60u) << c.name;
        ASSERT_NE(liveness::installedTables(), nullptr) << c.name;
        EXPECT_EQ(liveness::installedTables()->w[0], 0.3) << c.name;
    }
    // The module keeps its own copy.
    auto mine = livetest::flatTables(0.7);
    ASSERT_EQ(nexSetClassifierTables(mine.get()), 0u);
    mine->w[0] = 0;
    EXPECT_EQ(liveness::installedTables()->w[0], 0.7);
    EXPECT_EQ(nexSetClassifierTables(nullptr), 0u);
    EXPECT_EQ(liveness::installedTables(), nullptr);
}

}  // namespace
