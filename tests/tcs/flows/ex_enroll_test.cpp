// Enrollment by capture on the whole stack: synthetic fingers swiped over the virtual sensor, the
// progress a caller sees, what is filed, and the ways an enrollment ends without a template.
#include "tests/tcs/flows/ex_capture_fixture.h"

namespace {

constexpr uint32_t kQualityUnusable = 0x80000000u;

class ExEnroll : public ExCaptureStack {
protected:
    TcsResult enrollBySwipes(TcsHandle app, const Bytes& userId, uint8_t finger, uint32_t flags = 0) {
        return ExCaptureStack::enrollBySwipes(app, userId, finger, &progress_, flags);
    }
    // The enrollment progress blocks: quality, not used, swipes, unusable in a row, percent.
    std::vector<std::vector<uint32_t>> enrollSteps() {
        std::vector<std::vector<uint32_t>> out;
        for (const Progress& p : progress_.all()) {
            const EnrollProgress& e = p.enroll;
            if (p.id == TCS_EX_PROGRESS_ENROLL) out.push_back({e.quality, e.notUsed, e.swipes, e.unusableInARow, e.percent});
        }
        return out;
    }
    // Enrolls by the swipes queued with one matcher and one enrollment entry of the given kind.
    TcsResult enrollWith(uint32_t matcher, const char* user, uint32_t entryKind) {
        static const Bytes data = bytesOf("entry");
        const EnrollmentDataEntry entries[] = {{entryKind, uint32_t(data.size()), data.data()}};
        const Bytes userId = bytesOf(user);
        const SizedBuffer id = sized(userId);
        return tcsExEnrollUserEx(sensor_, matcher, app_, &id, 1, entries, 1, onProgress, &progress_, 0);
    }
    Recorder progress_;
    TcsHandle app_ = 0;
};

TEST_F(ExEnroll, ThreeSwipesMakeATemplateFiledUnderTheUser) {
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    queueSwipes({{0, 0}, {0, 1}, {0, 2}});
    ASSERT_EQ(enrollBySwipes(app, bytesOf("alice"), 3), TCS_RESULT_OK);
    EXPECT_EQ(progress_.ids(), (std::vector<uint32_t>{16, 17, 32, 16, 17, 32, 16, 17, 32, 13}));
    // A calibrated sensor's images carry no quality flag; four good images are asked for and matcher 1
    // completes at the third.
    const uint32_t q = 0;
    EXPECT_EQ(enrollSteps(), (std::vector<std::vector<uint32_t>>{{q, 0, 1, 0, 25}, {q, 0, 2, 0, 50}, {q, 0, 3, 0, 100}}));
    for (const Progress& p : progress_.all()) {
        switch (p.id) {
            case 16: EXPECT_EQ(p.result, 0u); EXPECT_EQ(p.size, 0u); break;
            // Client parameter 10 is 1 by default: a live copy of each image.
            case 17: EXPECT_EQ(p.size, 8u); EXPECT_GT(p.imageRows, 200u); break;
            case 32: EXPECT_EQ(p.result, 17u); EXPECT_EQ(p.status, 17u); EXPECT_EQ(p.size, 20u); break;
            case 13: EXPECT_EQ(p.result, 0u); EXPECT_EQ(p.status, 0u); EXPECT_EQ(p.size, 0u); break;
        }
    }
    EXPECT_EQ(fingers(app, bytesOf("alice")), std::vector<uint32_t>{3});
    EXPECT_EQ(swipesLeft(), 0u);
}

// Client parameter 10 at 0: the image progress comes without data.
TEST_F(ExEnroll, NoImageCopiesUnlessAsked) {
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    ASSERT_EQ(tcsSetParam(client_, 10, 0), TCS_RESULT_OK);
    queueSwipes({{0, 0}, {0, 1}, {0, 2}});
    ASSERT_EQ(enrollBySwipes(app, bytesOf("alice"), 1), TCS_RESULT_OK);
    for (const Progress& p : progress_.all()) {
        if (p.id == 17) {
            EXPECT_EQ(p.size, 0u);
        }
    }
}

// With the swipe limit reached before the template completes, the usable images are offered to the
// matcher again in turn: two swipes and a third image that is the first one again.
TEST_F(ExEnroll, KeptImagesAreOfferedAgainOnceTheSwipesRunOut) {
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    ASSERT_EQ(tcsSetParam(client_, 12, 2), TCS_RESULT_OK);
    queueSwipes({{1, 0}, {1, 1}, {1, 2}});
    ASSERT_EQ(enrollBySwipes(app, bytesOf("bob"), 2), TCS_RESULT_OK);
    EXPECT_EQ(progress_.ids(), (std::vector<uint32_t>{16, 17, 32, 16, 17, 32, 32, 13}));
    const uint32_t q = 0;
    EXPECT_EQ(enrollSteps(), (std::vector<std::vector<uint32_t>>{{q, 0, 1, 0, 25}, {q, 0, 2, 0, 50}, {q, 0, 2, 0, 100}}));
    EXPECT_EQ(swipesLeft(), 1u);
    EXPECT_EQ(fingers(app, bytesOf("bob")), std::vector<uint32_t>{2});
}

// Unusable swipes (nothing on the sensor) in capture mode 0, which delivers them as they are.
TEST_F(ExEnroll, UnusableSwipesAreCountedAndEndTheEnrollmentAtTheLimit) {
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    ASSERT_EQ(tcsSetParam(client_, 16, 0), TCS_RESULT_OK);
    ASSERT_EQ(tcsSetParam(client_, 21, 1), TCS_RESULT_OK);
    queueSwipe(Fingers::nothing());
    EXPECT_EQ(enrollBySwipes(app, bytesOf("carol"), 1), TCS_RESULT_ONLY_UNUSABLE_SWIPES);
    EXPECT_EQ(progress_.ids(), (std::vector<uint32_t>{16, 17, 32, 13}));
    std::vector<std::vector<uint32_t>> steps = enrollSteps();
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0][0] & kQualityUnusable, kQualityUnusable);
    EXPECT_EQ(std::vector<uint32_t>(steps[0].begin() + 1, steps[0].end()), (std::vector<uint32_t>{17, 1, 1, 0}));
    EXPECT_EQ(progress_.all().back().status, TCS_RESULT_ONLY_UNUSABLE_SWIPES);
    EXPECT_TRUE(userIds(app).empty());

    // With the limit higher, an unusable swipe between good ones is passed over: its percent is
    // (added - unusable in a row), never below 0, and a good swipe resets the run.
    progress_.calls.clear();
    ASSERT_EQ(tcsSetParam(client_, 21, 6), TCS_RESULT_OK);
    queueSwipe(Fingers::nothing());
    queueSwipes({{2, 0}});
    queueSwipe(Fingers::nothing());
    queueSwipe(Fingers::nothing());
    queueSwipes({{2, 1}, {2, 2}});
    ASSERT_EQ(enrollBySwipes(app, bytesOf("carol"), 1), TCS_RESULT_OK);
    steps = enrollSteps();
    ASSERT_EQ(steps.size(), 6u);
    std::vector<std::vector<uint32_t>> fields;
    for (const std::vector<uint32_t>& p : steps) fields.emplace_back(p.begin() + 1, p.end());
    EXPECT_EQ(fields, (std::vector<std::vector<uint32_t>>{
                          {17, 1, 1, 0}, {0, 2, 0, 25}, {17, 3, 1, 0}, {17, 4, 2, 0}, {0, 5, 0, 50}, {0, 6, 0, 100}}));
}

// Matcher 4 refuses (402) every image shorter than its minimum. Short swipes are unusable while the
// first five are judged strictly; the sixth is kept, refused, and once the swipes have run out a
// pass over the kept images that adds nothing ends the enrollment instead of offering them for ever.
TEST_F(ExEnroll, KeptImagesThatTheMatcherRefusesEndTheEnrollment) {
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    ASSERT_EQ(tcsSetParam(client_, 12, 6), TCS_RESULT_OK);
    ASSERT_EQ(tcsSetParam(client_, 21, 0), TCS_RESULT_OK);
    for (int take = 0; take < 6; ++take) {
        swipe_model::SwipeConfig config;
        config.noiseSigma = 2;
        config.seed = uint32_t(40 + take);
        queueSwipe(swipe_model::SwipeModel(synthswipe::impression(3, take, 300, 160), config).stream(0, 130));
    }
    app_ = app;
    EXPECT_EQ(enrollWith(MSS_MATCHER_RECOG, "dave", 5), TCS_RESULT_ONLY_UNUSABLE_SWIPES);
    for (const Progress& p : progress_.all()) {
        if (p.id == TCS_EX_PROGRESS_IMAGE) {
            EXPECT_LT(p.imageRows, 150u) << "shorter than matcher 4 takes";
        }
    }
    const std::vector<std::vector<uint32_t>> steps = enrollSteps();
    ASSERT_EQ(steps.size(), 7u) << "five unusable, the kept image, and one pass over it";
    for (size_t i = 5; i < steps.size(); ++i) EXPECT_EQ(steps[i][1], 17u) << "refused " << i;
    EXPECT_EQ(progress_.all().back().status, TCS_RESULT_ONLY_UNUSABLE_SWIPES);
    EXPECT_TRUE(userIds(app).empty());
}

TEST_F(ExEnroll, AFingerThatIsEnrolledAlreadyIsRefused) {
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    queueSwipes({{0, 0}, {0, 1}, {0, 2}});
    ASSERT_EQ(enrollBySwipes(app, bytesOf("alice"), 1), TCS_RESULT_OK);
    // The same finger for another user, with and without asking for the match to be reported.
    for (uint32_t flags : {TCS_EX_ENROLL_REFUSE_KNOWN_FINGER, 0u}) {
        progress_.calls.clear();
        queueSwipes({{0, 3}, {0, 4}, {0, 5}});
        EXPECT_EQ(enrollBySwipes(app, bytesOf("mallory"), 2, flags), TCS_RESULT_FINGER_ENROLLED) << flags;
        std::vector<uint32_t> ids = progress_.ids();
        ASSERT_GE(ids.size(), 2u);
        EXPECT_EQ(ids.back(), 13u);
        const std::vector<Progress> all = progress_.all();
        if (flags != 0) {
            ASSERT_EQ(ids[ids.size() - 2], 15u);
            const Progress& matched = all[all.size() - 2];
            EXPECT_EQ(matched.size, 16u);
            ASSERT_EQ(matched.users.size(), 1u);
            EXPECT_EQ(matched.users[0], bytesOf("alice"));
        } else {
            EXPECT_EQ(std::count(ids.begin(), ids.end(), 15u), 0);
        }
        EXPECT_EQ(all.back().status, TCS_RESULT_FINGER_ENROLLED);
    }
    EXPECT_EQ(userIds(app), std::vector<Bytes>{bytesOf("alice")});
}

// The user enrolls the same finger again, asking for an entry kind that the stored template does not
// carry: the finger still matched an enrolled user, and nothing is filed twice.
TEST_F(ExEnroll, ReenrollingAFingerWithoutTheAskedEntryKindIsRefused) {
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    queueSwipes({{0, 0}, {0, 1}, {0, 2}});
    ASSERT_EQ(enrollBySwipes(app, bytesOf("alice"), 1), TCS_RESULT_OK);
    progress_.calls.clear();
    queueSwipes({{0, 3}, {0, 4}, {0, 5}});
    app_ = app;
    EXPECT_EQ(enrollWith(MSS_MATCHER_MINUTIAE, "alice", 9), TCS_RESULT_FINGER_ENROLLED) << "kinds 5 and 7 stored";
    EXPECT_EQ(progress_.all().back().status, TCS_RESULT_FINGER_ENROLLED);
    EXPECT_EQ(fingers(app, bytesOf("alice")), std::vector<uint32_t>{1});
}

TEST_F(ExEnroll, MissingArgumentsAreRefusedBeforeAnySwipe) {
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    const Bytes idBytes = bytesOf("x");
    const SizedBuffer id = sized(idBytes);
    const EnrollmentDataEntry entries[1] = {};
    Recorder r;
    EXPECT_EQ(tcsExEnrollUser(0, 1, app, &id, 0, entries, 1, onProgress, &r), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_EQ(tcsExEnrollUser(sensor_, 1, 0, &id, 0, entries, 1, onProgress, &r), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExEnrollUser(sensor_, 1, app, nullptr, 0, entries, 1, onProgress, &r), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExEnrollUser(sensor_, 1, app, &id, 0, nullptr, 1, onProgress, &r), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExEnrollUser(sensor_, 1, app, &id, 0, entries, 1, nullptr, &r), TCS_RESULT_NULL_POINTER);
    EXPECT_TRUE(r.calls.empty());
    EXPECT_TRUE(sensorEvents().empty());
}

}  // namespace
