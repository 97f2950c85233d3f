// Enrollment: adding and replacing views, readiness and making four-view templates.
#include "engines/recognition/enrollment.h"

#include <algorithm>

#include "engines/recognition/alignment.h"
#include "engines/recognition/recog.h"

namespace DurodudUrodera::FpRecEngineImpl {

Consistency consistency(const PairScores& scores, const int* members, int count) {
    int32_t best = INT32_MIN, worst = INT32_MAX;
    int bestColumn = -1, worstRow = -1;
    for (int r = 0; r < count; ++r) {
        const int u = members[r];
        int32_t rowMin = INT32_MAX, rowMax = INT32_MIN;
        int minColumn = -1;
        for (int c = 0; c < count; ++c) {
            const int v = members[c];
            if (v == u) continue;
            const int32_t s = scores.get(u, v);
            if (s < rowMin) {
                rowMin = s;
                minColumn = v;
            }
            rowMax = std::max(rowMax, s);
        }
        if (rowMin > best) {
            best = rowMin;
            bestColumn = minColumn;
        }
        if (rowMax < worst) {
            worst = rowMax;
            worstRow = u;
        }
    }
    // A row minimum never exceeds another row's maximum (the two rows share a pair score), so the
    // second branch is not reached with a full score table; it is kept as the rule reads.
    return best <= worst ? Consistency{best, bestColumn} : Consistency{worst, worstRow};
}

namespace {

constexpr int kAllViews[kEnrollViews] = {0, 1, 2, 3};
constexpr int kAllPositions[kEnrollViews + 1] = {0, 1, 2, 3, 4};

bool ready(const EnrollmentObj& object) {
    const Enrollment& e = *object.enrollment;
    return e.views.size() == kEnrollViews &&
           consistency(e.pairScores, kAllViews, kEnrollViews).d >= object.readyThreshold;
}

void addView(Enrollment& e, const MatchData& view, ContinousVoting::minutia_pairs& pairs) {
    const MatchParameters& parameters = *e.parameters;
    Verification::BoxPair boxes;
    const int n = int(e.views.size());
    if (n < kEnrollViews) {
        e.views.push_back(view);
        for (int i = 0; i < n; ++i) {
            e.pairScores.set(n, i, Embedded::oneViewIndex(e.views[i], e.views[n], parameters, pairs, boxes));
        }
        return;
    }
    for (int i = 0; i < kEnrollViews; ++i) {
        e.pairScores.set(kEnrollViews, i, Embedded::oneViewIndex(e.views[i], view, parameters, pairs, boxes));
    }
    const int giveUp = consistency(e.pairScores, kAllPositions, kEnrollViews + 1).giveUp;
    if (giveUp == kEnrollViews) return;
    e.views[giveUp] = view;
    for (int u = 0; u < kEnrollViews; ++u) {
        if (u != giveUp) e.pairScores.set(giveUp, u, e.pairScores.get(kEnrollViews, u));
    }
}

// Chooses the views of a template; false when a second view would have to be dropped.
bool chooseViews(Enrollment& e, int32_t threshold, int& dropped) {
    int members[kEnrollViews] = {0, 1, 2, 3};
    int count = kEnrollViews;
    for (int v = 0; v < kEnrollViews; ++v) e.viewOrder[v] = uint8_t(v);
    dropped = 0;
    for (;;) {
        const Consistency c = consistency(e.pairScores, members, count);
        if (c.d >= threshold) return true;
        if (++dropped > 1) return false;
        e.viewOrder[c.giveUp] = kDroppedView;
        count = 0;
        for (int v = 0; v < kEnrollViews; ++v) {
            if (e.viewOrder[v] != kDroppedView) members[count++] = v;
        }
    }
}

// Admits the enrollment, chooses and orders its views and copies them into `views`.
RecogResult fillTemplate(EnrollmentObj& object, uint32_t purpose, FpTemplate& views) {
    Enrollment& e = *object.enrollment;
    if (e.views.size() != kEnrollViews || (!object.lenient && !ready(object))) return RECOG_E_NOT_ENROLLABLE;
    int dropped = 0;
    if (!chooseViews(e, object.readyThreshold, dropped)) return RECOG_E_NOT_ENROLLABLE;

    for (int v = 0; v < kEnrollViews; ++v) {
        e.scoreRange[v][0] = INT32_MAX;
        e.scoreRange[v][1] = INT32_MIN;
        for (int u = 0; u < kEnrollViews; ++u) {
            if (u == v) continue;
            e.scoreRange[v][0] = std::min(e.scoreRange[v][0], e.pairScores.get(u, v));
            e.scoreRange[v][1] = std::max(e.scoreRange[v][1], e.pairScores.get(u, v));
        }
    }
    // Close the gaps left by dropped views, then best first.
    const int kept = std::remove(e.viewOrder, e.viewOrder + kEnrollViews, kDroppedView) - e.viewOrder;
    std::fill(e.viewOrder + kept, e.viewOrder + kEnrollViews, kDroppedView);
    std::sort(e.viewOrder, e.viewOrder + kept,
              [&e](uint8_t a, uint8_t b) { return Enrollment::better_view(e.scoreRange[a], e.scoreRange[b]); });

    for (int i = 0; i < kept; ++i) {
        views.push_back(e.views[e.viewOrder[i]]);
        views.back().purpose = purpose;
    }
    for (int i = 0; i < dropped; ++i) views.push_back(views[0]);

    return RecogResult(e.status);
}

}  // namespace
}  // namespace DurodudUrodera::FpRecEngineImpl

using namespace DurodudUrodera::FpRecEngineImpl;

extern "C" RecogResult RecogCreateEnrollment(RecogHandle context, uint32_t flags, RecogHandle* out) {
    if (out == nullptr) return RECOG_E_INVALID_ARG;
    Ptr<Context> owner(context, false);
    if (!owner) return RECOG_E_HANDLE;
    Ptr<EnrollmentObj> enrollment(newObject<EnrollmentObj>(*owner, (flags & RECOG_ENROLL_LENIENT) != 0));
    if (!enrollment) return RECOG_E_OUT_OF_MEMORY;
    return makeHandle(*enrollment, false, out);  // nothing to do between allocation and handle
}

extern "C" RecogResult RecogAddFeatureSetToEnrollment(RecogHandle enrollment, RecogHandle featureSet) {
    Ptr<EnrollmentObj> object(enrollment, true);
    Ptr<FpFtrSetObj> view(featureSet, false);
    if (!object || !view) return RECOG_E_HANDLE;
    Ptr<MinutiaPairs> scratch(newObject<MinutiaPairs>(object->context()));
    if (!scratch) return RECOG_E_OUT_OF_MEMORY;
    if ((view->view.purpose & RECOG_PURPOSE_ENROLL) == 0) return RECOG_E_PURPOSE;
    Enrollment& e = *object->enrollment;
    addView(e, view->view, scratch->table);
    return RecogResult(e.status);
}

extern "C" RecogResult RecogGetEnrollmentStatus(RecogHandle enrollment, uint32_t* status) {
    if (status == nullptr) return RECOG_E_INVALID_ARG;
    Ptr<EnrollmentObj> object(enrollment, false);
    if (!object) return RECOG_E_HANDLE;
    *status = ready(*object) ? RECOG_ENROLL_READY : RECOG_ENROLL_MORE_VIEWS;
    return RECOG_OK;
}

extern "C" RecogResult RecogCreateTemplate(RecogHandle enrollment, uint32_t purpose, RecogHandle* out) {
    if (out == nullptr || (purpose & RECOG_PURPOSE_ENROLL) != 0 ||
        (purpose & (RECOG_PURPOSE_VERIFY | RECOG_PURPOSE_IDENTIFY)) == 0) {
        return RECOG_E_INVALID_ARG;
    }
    Ptr<EnrollmentObj> object(enrollment, true);
    if (!object) return RECOG_E_HANDLE;
    return createWithHandle<FpTemplateObj>(object->context(), true, out, [&](FpTemplateObj& templ) {
        return fillTemplate(*object, purpose, templ.views);
    });
}
