// Enrollment: readiness, replacement of views, template making and the consistency rule.
#include <gtest/gtest.h>

#include "engines/recognition/enrollment.h"
#include "tests/engines/recognition/engine_fixture.h"

namespace recogtest {
namespace {

TEST(RecogConsistency, RowMinimaAndMaximaPickTheViewToGiveUp) {
    auto table = [](std::initializer_list<int32_t> v) {
        R::PairScores s;
        int i = 0;
        for (int32_t x : v) s.values[i++] = x;
        return s;
    };
    const int four[] = {0, 1, 2, 3}, five[] = {0, 1, 2, 3, 4};
    struct Case { R::PairScores scores; const int* members; int count; int32_t d; int giveUp; };
    // Pair order: (1,0) (2,0) (2,1) (3,0) (3,1) (3,2) (4,0) (4,1) (4,2) (4,3).
    for (const auto& c : std::initializer_list<Case>{
             {table({50, 50, 50, 50, 50, 50}), four, 4, 50, 1},          // all agree
             {table({50, 5, 5, 50, 50, 5}), four, 4, 5, 2},              // view 2 disagrees
             {table({50, 5, 5, 50, 50, 5, 50, 50, 5, 50}), five, 5, 5, 2},  // a fifth that agrees replaces it
             {table({50, 5, 5, 50, 50, 5, 3, 3, 3, 3}), five, 5, 3, 4},     // a fifth that agrees with none goes
             {table({40, 10, 60, 35, 70, 45}), four, 4, 40, 0},          // best row 1, its minimum at column 0
             {table({80, 90, 10, 70, 60, 50}), four, 4, 70, 3},          // best row 0 ties worst row 3
         }) {
        const R::Consistency r = R::consistency(c.scores, c.members, c.count);
        EXPECT_EQ(r.d, c.d);
        EXPECT_EQ(r.giveUp, c.giveUp);
    }
    EXPECT_EQ(R::PairScores::slot(4, 3), 9);
    EXPECT_EQ(R::PairScores::slot(1, 2), 2);
}

class RecogEnrollment : public EngineTest {
protected:
    RecogHandle enrollment(uint32_t flags = 0) {
        RecogHandle h = nullptr;
        EXPECT_EQ(RecogCreateEnrollment(context_, flags, &h), RECOG_OK);
        return keep(h);
    }
    RecogHandle view(int v, uint32_t purpose = 1) {
        return featureSet(impression(finger_, 100 + v, v * 5 - 10, v * 6 - 12, 15 - v * 9), purpose);
    }
    RecogHandle stranger(uint64_t seed) { return featureSet(makeFinger(seed, 50), 1); }
    uint32_t status(RecogHandle e) {
        uint32_t s = 99;
        EXPECT_EQ(RecogGetEnrollmentStatus(e, &s), RECOG_OK);
        return s;
    }
    R::Enrollment& inside(RecogHandle e) { return *R::FromHandle<R::EnrollmentObj>(e, true)->enrollment; }

    std::vector<RawMinutia> finger_ = makeFinger(90, 52);
};

TEST_F(RecogEnrollment, FourConsistentViewsMakeATemplateThatMatches) {
    RecogHandle e = enrollment();
    for (int v = 0; v < 3; ++v) {
        EXPECT_EQ(RecogAddFeatureSetToEnrollment(e, view(v)), RECOG_OK);
        EXPECT_EQ(status(e), RECOG_ENROLL_MORE_VIEWS);
    }
    RecogHandle fourth = view(3);
    const size_t before = log_.sizes.size();
    const int freesBefore = log_.frees;
    EXPECT_EQ(RecogAddFeatureSetToEnrollment(e, fourth), RECOG_OK);
    EXPECT_EQ(log_.sizes.size(), before + 1);  // the scratch table, released again
    EXPECT_EQ(log_.frees, freesBefore + 1);
    EXPECT_EQ(status(e), RECOG_ENROLL_READY);
    for (int i = 0; i < 6; ++i) EXPECT_GE(inside(e).pairScores.values[i], 30) << i;

    RecogHandle tmpl = nullptr;
    ASSERT_EQ(RecogCreateTemplate(e, 6, &tmpl), RECOG_OK);
    keep(tmpl);
    EXPECT_EQ(log_.sizes.size(), before + 3);  // template and its handle
    EXPECT_EQ(reinterpret_cast<R::HandleBlock*>(tmpl)->readOnly, 1);
    const auto& views = R::FromHandle<R::FpTemplateObj>(tmpl, false)->views;
    ASSERT_EQ(views.size(), 4u);
    for (const auto& v : views) EXPECT_EQ(v.purpose, 6u);
    // Best first: each view's lowest pair score is at least the next one's.
    const auto& e2 = inside(e);
    for (int i = 0; i + 1 < 4; ++i)
        EXPECT_GE(e2.scoreRange[e2.viewOrder[i]][0], e2.scoreRange[e2.viewOrder[i + 1]][0]);

    RecogHandle cmp = nullptr;
    ASSERT_EQ(RecogCreateComparison(featureSet(impression(finger_, 555, 12, -8, 20), 7), tmpl, 0, &cmp), RECOG_OK);
    keep(cmp);
    EXPECT_EQ(RecogGetVerificationResult(cmp, -1), RECOG_OK);
    ASSERT_EQ(RecogCreateComparison(featureSet(makeFinger(556, 52), 7), tmpl, 0, &cmp), RECOG_OK);
    keep(cmp);
    EXPECT_EQ(RecogGetVerificationResult(cmp, -1), RECOG_NO);

    // The enrollment can give further templates.
    RecogHandle again = nullptr;
    EXPECT_EQ(RecogCreateTemplate(e, 2, &again), RECOG_OK);
    keep(again);
}

TEST_F(RecogEnrollment, VerificationFeatureSetIsRefused) {
    RecogHandle e = enrollment();
    EXPECT_EQ(RecogAddFeatureSetToEnrollment(e, view(0)), RECOG_OK);
    EXPECT_EQ(RecogAddFeatureSetToEnrollment(e, view(1, 6)), RECOG_E_PURPOSE);
    EXPECT_EQ(inside(e).views.size(), 1u);
    EXPECT_EQ(RecogAddFeatureSetToEnrollment(e, view(1, 7)), RECOG_OK);
    EXPECT_EQ(inside(e).views.size(), 2u);
}

TEST_F(RecogEnrollment, TemplateArgumentsAndAdmission) {
    RecogHandle e = enrollment();
    RecogHandle out = nullptr;
    for (uint32_t purpose : {0u, 1u, 7u, 8u, 0x80000000u}) EXPECT_EQ(RecogCreateTemplate(e, purpose, &out), RECOG_E_INVALID_ARG);
    EXPECT_EQ(RecogCreateTemplate(e, 6, nullptr), RECOG_E_INVALID_ARG);
    EXPECT_EQ(RecogGetEnrollmentStatus(e, nullptr), RECOG_E_INVALID_ARG);
    for (int v = 0; v < 3; ++v) EXPECT_EQ(RecogAddFeatureSetToEnrollment(e, view(v)), RECOG_OK);
    const size_t live = log_.live.size();
    EXPECT_EQ(RecogCreateTemplate(e, 6, &out), RECOG_E_NOT_ENROLLABLE);
    EXPECT_EQ(log_.live.size(), live);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(RecogAddFeatureSetToEnrollment(e, view(3)), RECOG_OK);  // still usable
    EXPECT_EQ(RecogCreateTemplate(e, 4, &out), RECOG_OK);
    keep(out);
}

TEST_F(RecogEnrollment, AFifthViewReplacesTheOneThatDisagrees) {
    RecogHandle e = enrollment();
    for (RecogHandle fs : {view(0), view(1), stranger(7001), view(3)}) EXPECT_EQ(RecogAddFeatureSetToEnrollment(e, fs), RECOG_OK);
    EXPECT_EQ(status(e), RECOG_ENROLL_MORE_VIEWS);
    RecogHandle good = view(4);
    EXPECT_EQ(RecogAddFeatureSetToEnrollment(e, good), RECOG_OK);
    EXPECT_EQ(inside(e).views[2][0].x, R::FromHandle<R::FpFtrSetObj>(good, false)->view[0].x);
    for (int u : {0, 1, 3}) EXPECT_EQ(inside(e).pairScores.get(2, u), inside(e).pairScores.get(4, u)) << u;
    EXPECT_EQ(status(e), RECOG_ENROLL_READY);
}

TEST_F(RecogEnrollment, AFifthViewThatAgreesWithNoneIsDiscarded) {
    RecogHandle e = enrollment();
    for (int v = 0; v < 4; ++v) EXPECT_EQ(RecogAddFeatureSetToEnrollment(e, view(v)), RECOG_OK);
    EXPECT_EQ(status(e), RECOG_ENROLL_READY);
    const R::PairScores before = inside(e).pairScores;
    int firstX[4];
    for (int v = 0; v < 4; ++v) firstX[v] = inside(e).views[v][0].x;
    EXPECT_EQ(RecogAddFeatureSetToEnrollment(e, stranger(7002)), RECOG_OK);
    for (int v = 0; v < 4; ++v) EXPECT_EQ(inside(e).views[v][0].x, firstX[v]);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(inside(e).pairScores.values[i], before.values[i]);
    EXPECT_EQ(status(e), RECOG_ENROLL_READY);
}

TEST_F(RecogEnrollment, LenientTemplateDropsTheViewThatDisagrees) {
    for (uint32_t flags : {0u, RECOG_ENROLL_LENIENT}) {
        RecogHandle e = enrollment(flags);
        for (RecogHandle fs : {view(0), stranger(7101), view(2), view(3)}) EXPECT_EQ(RecogAddFeatureSetToEnrollment(e, fs), RECOG_OK);
        EXPECT_EQ(status(e), RECOG_ENROLL_MORE_VIEWS);
        RecogHandle tmpl = nullptr;
        if (flags == 0) {
            EXPECT_EQ(RecogCreateTemplate(e, 6, &tmpl), RECOG_E_NOT_ENROLLABLE);
            continue;
        }
        ASSERT_EQ(RecogCreateTemplate(e, 6, &tmpl), RECOG_OK);
        keep(tmpl);
        const auto& en = inside(e);
        EXPECT_EQ(en.viewOrder[3], R::kDroppedView);
        EXPECT_EQ(std::find(en.viewOrder, en.viewOrder + 3, 1), en.viewOrder + 3);  // the stranger went
        const auto& views = R::FromHandle<R::FpTemplateObj>(tmpl, false)->views;
        ASSERT_EQ(views.size(), 4u);
        EXPECT_EQ(memcmp(&views[3], &views[0], sizeof(R::MatchData)), 0);  // the best, again
        EXPECT_EQ(views[0][0].x, en.views[en.viewOrder[0]][0].x);
    }
}

// Lenient admission drops one view at most: with two views that disagree with the rest a second drop
// would be needed, and no template is made.
TEST_F(RecogEnrollment, LenientTemplateRefusesASecondDroppedView) {
    RecogHandle e = enrollment(RECOG_ENROLL_LENIENT);
    for (RecogHandle fs : {view(0), stranger(7201), stranger(7202), view(3)}) {
        EXPECT_EQ(RecogAddFeatureSetToEnrollment(e, fs), RECOG_OK);
    }
    RecogHandle tmpl = nullptr;
    EXPECT_EQ(RecogCreateTemplate(e, 6, &tmpl), RECOG_E_NOT_ENROLLABLE);
    EXPECT_EQ(tmpl, nullptr);
}

TEST_F(RecogEnrollment, ScratchFailureLeavesTheEnrollmentAsItWas) {
    RecogHandle e = enrollment();
    RecogHandle fs = view(0);
    log_.failAt = int(log_.sizes.size());
    EXPECT_EQ(RecogAddFeatureSetToEnrollment(e, fs), RECOG_E_OUT_OF_MEMORY);
    EXPECT_EQ(inside(e).views.size(), 0u);
    log_.failAt = int(log_.sizes.size());
    RecogHandle out = nullptr;
    EXPECT_EQ(RecogCreateEnrollment(context_, 0, &out), RECOG_E_OUT_OF_MEMORY);
    EXPECT_EQ(out, nullptr);
}

}  // namespace
}  // namespace recogtest
