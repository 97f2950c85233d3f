// Adaptive matcher: the "ARUS" container byte for byte, damaged containers, the image rules, the
// update window, enrolment and matching over matchers 1 and 4.
#include "adapter_support.h"
#include "platform/test_seams.h"
#include "tcs/matching/adapter_support.h"
#include "tcs/matching/adaptive_matcher.h"

namespace {

using namespace matchtest;

class AdaptiveTest : public AdapterTest {
protected:
    void TearDown() override {
        AdapterTest::TearDown();
        palTestUseRealClock();
    }
    TcsResult openAdaptive(uint32_t id) {
        TcsResult result = mssAdaptiveMatcherOpen(&m_, id);
        if (result != TCS_RESULT_OK) return result;
        opened_ = true;
        result = m_.Open(&m_);
        if (result == TCS_RESULT_OK) m_.SetFAR(&m_, 100000);
        return result;
    }
    EnrollTemplate* enrol(const std::vector<std::string>& names) {
        EnrollTemplate* t = nullptr;
        for (const std::string& name : names) {
            uint32_t complete = 0;
            TcsResult r = m_.AddImageToTemplate(&m_, image(name), &t, &complete);
            EXPECT_TRUE(r == TCS_RESULT_OK) << name << " " << r;
            if (complete == 1) return keep(t);
        }
        ADD_FAILURE() << "enrolment did not complete";
        return keep(t);
    }
};

TEST_F(AdaptiveTest, ContainerLayout) {
    const uint8_t native[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EnrollTemplate* c = nullptr;
    // Quality bit 3 weighs 15; 300 rows add (420 - 300) / 8 = 15.
    ASSERT_EQ(mss::adaptiveWrap(native, 10, 257, 300, 1u << 3, 0x01020304, &c), TCS_RESULT_OK);
    keep(c);
    EXPECT_EQ(uint32_t(c->dataSize), 10112u);
    EXPECT_EQ(uint32_t(c->templateType), 257u);
    EXPECT_EQ(uint32_t(c->version), 1u);
    const uint8_t header[16] = {'A', 'R', 'U', 'S', 1, 1, 0, 0, 0, 0, 0, 0, 4, 3, 2, 1};
    EXPECT_EQ(std::memcmp(c->data, header, 16), 0);
    // View: size 12 + 10 rounded to 24, index 1, height 300 / 8, rank 30, 7 reserved, the bytes.
    const uint8_t view[24] = {24, 0, 1, 37, 30, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 0};
    EXPECT_EQ(std::memcmp(c->data + 16, view, 24), 0);
    // The second view also carries index 1, the third 2.
    ASSERT_EQ(mss::addEnrollmentToContainer(c, native, 4, 160, 0), TCS_RESULT_OK);
    ASSERT_EQ(mss::addEnrollmentToContainer(c, native, 4, 160, 0), TCS_RESULT_OK);
    EXPECT_EQ(c->data[5], 3);
    EXPECT_EQ(c->data[16 + 24 + 2], 1);
    EXPECT_EQ(c->data[16 + 24 + 16 + 2], 2);
    mss::ContainerView views[8];
    uint32_t count = 0;
    ASSERT_TRUE(mss::containerViews(c, views, &count));
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(views[0].size, 12u);  // the rounding stays with the view
    EXPECT_EQ(views[1].size, 4u);
    EXPECT_EQ(std::memcmp(views[2].data, native, 4), 0);
    // Eight views at most; a view that does not fit gives 5.
    for (int i = 3; i < 8; ++i) ASSERT_EQ(mss::addEnrollmentToContainer(c, native, 4, 160, 0), TCS_RESULT_OK);
    EXPECT_EQ(mss::addEnrollmentToContainer(c, native, 4, 160, 0), TCS_RESULT_INVALID);
    EnrollTemplate* big = nullptr;
    std::vector<uint8_t> large(6000, 7);
    ASSERT_EQ(mss::adaptiveWrap(large.data(), 6000, 257, 300, 0, 0, &big), TCS_RESULT_OK);
    keep(big);
    EXPECT_EQ(mss::addEnrollmentToContainer(big, large.data(), 6000, 300, 0), TCS_RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(mss::adaptiveWrap(large.data(), 10112, 257, 300, 0, 0, &big), TCS_RESULT_BUFFER_TOO_SMALL);
}

TEST_F(AdaptiveTest, DamagedContainersAreRefused) {
    const uint8_t native[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    EnrollTemplate* c = nullptr;
    ASSERT_EQ(mss::adaptiveWrap(native, 8, 260, 300, 0, 0, &c), TCS_RESULT_OK);
    keep(c);
    mss::ContainerView views[8];
    uint32_t count = 0;
    ASSERT_TRUE(mss::containerViews(c, views, &count));
    struct Damage {
        const char* what;
        uint32_t at;
        uint8_t value;
    };
    for (const Damage& d : {Damage{"magic", 0, 'X'}, Damage{"version", 4, 2}, Damage{"nine views", 5, 9},
                            Damage{"views beyond the data", 5, 2}, Damage{"view size below its header", 16, 4},
                            Damage{"view size past the end", 17, 0xFF}}) {
        EnrollTemplate* copy = nullptr;
        ASSERT_EQ(_tcsTemplateClone(c, &copy), TCS_RESULT_OK);
        keep(copy);
        copy->dataSize = d.at == 5 && d.value == 2 ? 16 + 20 : copy->dataSize;
        copy->data[d.at] = d.value;
        EXPECT_FALSE(mss::containerViews(copy, views, &count)) << d.what;
        EXPECT_EQ(count, 0u) << d.what;
        if (d.at != 0 && d.at != 4) {
            EXPECT_NE(mss::addEnrollmentToContainer(copy, native, 8, 300, 0), TCS_RESULT_OK) << d.what;
        }
    }
    EnrollTemplate* tiny = keep(_tcsTemplateAlloc(8));
    tiny->dataSize = 8;
    EXPECT_FALSE(mss::containerViews(tiny, views, &count));
}

TEST_F(AdaptiveTest, QualityRankRejectionAndWindow) {
    struct Rank {
        uint32_t quality;
        uint32_t rows;
        uint32_t rank;
    };
    for (const Rank& r : {Rank{0, 420, 0}, Rank{0, 300, 15}, Rank{0, 421, 255}, Rank{1u << 31, 420, 10},
                          Rank{(1u << 31) | (1u << 21), 420, 30}, Rank{1u << 21, 420, 20}, Rank{1u << 2, 412, 12},
                          Rank{(1u << 24) | (1u << 25) | (1u << 22), 420, 11}, Rank{0, 0, 52}}) {
        EXPECT_EQ(mss::adaptiveRankQuality(r.quality, r.rows), r.rank) << std::hex << r.quality << " " << std::dec
                                                                       << r.rows;
    }
    ImageRecord image{};
    struct Reject {
        uint32_t rows;
        uint32_t ppi;
        uint32_t quality;
        bool rejected;
    };
    for (const Reject& r : {Reject{100, 254, 0, false}, Reject{50, 254, 0, true}, Reject{120, 0, 0, false},
                            Reject{119, 0, 0, true}, Reject{300, 508, 1u << 21, true}}) {
        image.rows = r.rows;
        image.verticalPpi = r.ppi;
        image.quality = r.quality;
        EXPECT_EQ(mss::adaptiveRejectEnrollImage(&image, 120), r.rejected) << r.rows << " " << r.ppi;
    }
    struct Window {
        uint32_t updates;
        uint32_t age;
        uint32_t state;
    };
    for (const Window& w : {Window{0, 0, 3}, Window{7, 86399, 3}, Window{8, 0, 2}, Window{0, 86400, 1},
                            Window{8, 90000, 0}}) {
        EXPECT_EQ(mss::checkIfEnrollmentWindowOpen(w.updates, 8, 86400, 1000000, 1000000 + w.age), w.state)
            << w.updates << " " << w.age;
    }
}

TEST_F(AdaptiveTest, OpenerAndParameters) {
    ASSERT_EQ(openAdaptive(257), TCS_RESULT_OK);
    EXPECT_EQ(m_.id, 257u);
    EXPECT_EQ(m_.templateType, 256u);
    EXPECT_STREQ(m_.idString, "AEM 0.9: MinuEngine 4.1");
    EXPECT_EQ(m_.ExportTemplate, nullptr);
    struct Param {
        uint32_t id;
        uint32_t value;
    };
    for (const Param& p : {Param{6, 5}, Param{7, 86400}, Param{8, 8}, Param{9, 1}, Param{11, 120}, Param{12, 12}}) {
        uint32_t value = 0;
        ASSERT_EQ(m_.GetParameter(&m_, p.id, &value), TCS_RESULT_OK);
        EXPECT_EQ(value, p.value) << p.id;
        ASSERT_EQ(m_.SetParameter(&m_, p.id, p.value + 1), TCS_RESULT_OK);
        ASSERT_EQ(m_.GetParameter(&m_, p.id, &value), TCS_RESULT_OK);
        EXPECT_EQ(value, p.value + 1) << p.id;
    }
    // Other ids reach the inner matcher: 200 is matcher 1's threshold (rate 100000).
    uint32_t threshold = 0;
    ASSERT_EQ(m_.GetParameter(&m_, 200, &threshold), TCS_RESULT_OK);
    EXPECT_EQ(threshold, 45u);
    EXPECT_EQ(m_.GetParameter(&m_, 6, nullptr), TCS_RESULT_OK);

    MatcherRecord other{};
    EXPECT_EQ(mssAdaptiveMatcherOpen(&other, 259), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(other.state, nullptr);
    EXPECT_EQ(mssAdaptiveMatcherOpen(nullptr, 257), TCS_RESULT_BAD_PARAM);
}

TEST_F(AdaptiveTest, EnrolAndMatchOverMatcherOneWithUpdates) {
    palTestSetClock(1700000000000ull);
    ASSERT_EQ(openAdaptive(257), TCS_RESULT_OK);
    EnrollTemplate* t = enrol({"101_1.tif", "101_2.tif", "101_3.tif"});
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(uint32_t(t->templateType), 257u);
    EXPECT_EQ(uint32_t(t->dataSize), 10112u);
    EXPECT_EQ(std::memcmp(t->data, "ARUS", 4), 0);
    EXPECT_EQ(t->data[5], 1);  // the inner enrolment template as the only view
    EXPECT_EQ(mss::readLe32(t->data + 12), 1700000000u);
    t->userId = 9;
    t->finger = 4;

    EnrollTemplate* list[1] = {t};
    MatchResult r{};
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, image("101_5.tif"), list, 1, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 1u);
    EXPECT_EQ(r.userId, 9u);
    EXPECT_EQ(r.enrollUpdate, 1u);  // the window is open
    EXPECT_EQ(t->data[6], 1);
    const uint32_t viewsAfterFirst = t->data[5];
    // The inner matcher is left as the wrapper found it.
    EXPECT_EQ(m_.state != nullptr, true);

    // An impostor with the default threshold 1 counts as a match once it scores at all; with 0 it
    // stays unmatched; with -1 it is made a match of 3001 plus its score.
    ASSERT_EQ(m_.SetParameter(&m_, 9, 0), TCS_RESULT_OK);
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, image("108_1.tif"), list, 1, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 0u);
    const uint32_t impostorScore = r.score;
    ASSERT_EQ(m_.SetParameter(&m_, 9, uint32_t(-1)), TCS_RESULT_OK);
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, image("108_1.tif"), list, 1, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 1u);
    EXPECT_EQ(r.score, impostorScore < 1 ? 3001u : 3001u + impostorScore);
    EXPECT_GE(uint32_t(t->data[5]), viewsAfterFirst);

    // Eight updates close the window; so does a day without one.
    ASSERT_EQ(m_.SetParameter(&m_, 9, 1), TCS_RESULT_OK);
    t->data[6] = 8;
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, image("101_5.tif"), list, 1, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.enrollUpdate, 0u);
    EXPECT_EQ(t->data[6], 8);
    t->data[6] = 0;
    palTestAdvanceClock(86400u * 1000u + 1000u);
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, image("101_5.tif"), list, 1, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.enrollUpdate, 0u);
    EXPECT_EQ(r.status, 1u);
    // Threshold -2 closes the window whatever the template says.
    palTestSetClock(1700000000000ull);
    ASSERT_EQ(m_.SetParameter(&m_, 9, uint32_t(-2)), TCS_RESULT_OK);
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, image("101_5.tif"), list, 1, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.enrollUpdate, 0u);
    EXPECT_EQ(m_.MatchImageToTemplates(&m_, nullptr, list, 1, 1, &r), TCS_RESULT_NULL_POINTER);
}

TEST_F(AdaptiveTest, RejectedImagesCountAsAttempts) {
    ASSERT_EQ(openAdaptive(257), TCS_RESULT_OK);
    EnrollTemplate* t = nullptr;
    uint32_t complete = 0;
    ImageRecord* flagged = image("101_1.tif");
    flagged->quality = 1u << 21;
    EXPECT_EQ(m_.AddImageToTemplate(&m_, flagged, &t, &complete), MSS_RESULT_IMAGE_REJECTED);
    EXPECT_EQ(m_.AddImageToTemplate(&m_, image("101_1.tif", 100), &t, &complete), MSS_RESULT_IMAGE_REJECTED);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(m_.AddImageToTemplate(&m_, nullptr, &t, &complete), TCS_RESULT_NULL_POINTER);
    // Then an ordinary enrolment still completes.
    EXPECT_NE(enrol({"101_1.tif", "101_2.tif", "101_3.tif"}), nullptr);
}

TEST_F(AdaptiveTest, ExtractWrapsOneViewAndExtendedMatchWritesOneResultPerTemplate) {
    ASSERT_EQ(openAdaptive(260), TCS_RESULT_OK);
    EXPECT_EQ(std::string(m_.idString).rfind("AEM 0.9: Recog: M=", 0), 0u) << m_.idString;
    EnrollTemplate* enrolled = enrol({"106_1.tif", "106_2.tif", "106_3.tif", "106_4.tif", "106_6.tif", "106_7.tif"});
    ASSERT_NE(enrolled, nullptr);
    EXPECT_EQ(uint32_t(enrolled->templateType), 260u);
    EXPECT_EQ(enrolled->data[5], 1);
    EnrollTemplate* other = nullptr;
    ASSERT_EQ(m_.Extract(&m_, image("109_1.tif"), &other), TCS_RESULT_OK);
    keep(other);
    EXPECT_EQ(std::memcmp(other->data, "ARUS", 4), 0);
    EXPECT_EQ(other->data[5], 1);
    EXPECT_EQ(uint32_t(other->templateType), 260u);

    EnrollTemplate* list[2] = {other, enrolled};
    MatchResult r{};
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, image("106_5.tif"), list, 2, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 1u);
    EXPECT_EQ(r.index, 1u);
    MatchResult a{}, b{};
    MatchResult* results[2] = {&a, &b};
    uint32_t number = 2;
    ASSERT_EQ(m_.MatchImageToTemplatesExt(&m_, image("106_5.tif"), list, 2, &number, results), TCS_RESULT_OK);
    EXPECT_EQ(number, 2u);
    EXPECT_EQ(a.index, 0u);
    EXPECT_EQ(b.index, 1u);
    EXPECT_EQ(b.status, 1u);
    // Fewer buffers than templates: only as many results.
    number = 1;
    ASSERT_EQ(m_.MatchImageToTemplatesExt(&m_, image("106_5.tif"), list, 2, &number, results), TCS_RESULT_OK);
    EXPECT_EQ(number, 1u);
}

}  // namespace

namespace {

using namespace matchtest;

// When matcher 1's enrolment fails on three disagreeing images, the wrapper rebuilds its container
// from the three kept records, one view each, and releases them.
TEST_F(AdaptiveTest, FailedInnerEnrolmentRebuildsOneViewPerImage) {
    ASSERT_EQ(openAdaptive(257), TCS_RESULT_OK);
    EnrollTemplate* t = nullptr;
    uint32_t complete = 0;
    for (const char* name : {"101_1.tif", "105_1.tif"}) {
        ASSERT_EQ(m_.AddImageToTemplate(&m_, image(name), &t, &complete), TCS_RESULT_OK) << name;
        EXPECT_EQ(complete, 0u);
        EXPECT_EQ(t, nullptr);
    }
    ASSERT_EQ(m_.AddImageToTemplate(&m_, image("109_1.tif"), &t, &complete), TCS_RESULT_OK);
    ASSERT_EQ(complete, 1u);
    ASSERT_NE(keep(t), nullptr);
    mss::ContainerView views[8];
    uint32_t count = 0;
    ASSERT_TRUE(mss::containerViews(t, views, &count));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(uint32_t(t->dataSize), 10112u);
    EXPECT_EQ(t->data[7], 0);
    // The inner matcher's kept records are gone and its flags are back to idle.
    MatcherRecord* inner = mss::adaptiveInner(&m_);
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->controlFlags, 3u);
    EXPECT_EQ(*static_cast<uint32_t*>(inner->state), 0u);
    // Each view matches its own finger.
    EnrollTemplate* list[1] = {t};
    MatchResult r{};
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, image("105_2.tif"), list, 1, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 1u);
}

}  // namespace

namespace {

using namespace matchtest;

// Matcher 4 hands out one feature set per enrolment image. When its enrolment has not completed by
// the fifth image, the wrapper rebuilds the container from each image's features, so every one of
// them must still be alive then.
TEST_F(AdaptiveTest, UnfinishedInnerEnrolmentOverMatcherFourRebuildsFromEachImagesFeatures) {
    ASSERT_EQ(openAdaptive(260), TCS_RESULT_OK);
    EnrollTemplate* t = nullptr;
    uint32_t complete = 0;
    const char* names[] = {"101_1.tif", "102_1.tif", "103_1.tif", "104_1.tif", "105_1.tif"};
    for (const char* name : names) {
        ASSERT_EQ(m_.AddImageToTemplate(&m_, image(name), &t, &complete), TCS_RESULT_OK) << name;
        if (complete == 1) break;
        EXPECT_EQ(t, nullptr) << name;
    }
    ASSERT_EQ(complete, 1u);
    ASSERT_NE(keep(t), nullptr);
    mss::ContainerView views[8];
    uint32_t count = 0;
    ASSERT_TRUE(mss::containerViews(t, views, &count));
    EXPECT_EQ(count, 5u);  // one view per image
    EXPECT_EQ(uint32_t(t->templateType), 260u);
    // A view made from an early image still recognises its finger; another finger is refused.
    EnrollTemplate* list[1] = {t};
    MatchResult r{};
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, image("103_2.tif"), list, 1, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 1u);
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, image("108_2.tif"), list, 1, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 0u);
}

// An enrolment left unfinished holds the inner matcher's features and unfinished template; closing
// the matcher releases them (LeakSanitizer checks).
TEST_F(AdaptiveTest, UnfinishedEnrolmentIsReleasedWithTheMatcher) {
    ASSERT_EQ(openAdaptive(260), TCS_RESULT_OK);
    EnrollTemplate* t = nullptr;
    uint32_t complete = 0;
    for (const char* name : {"101_1.tif", "102_1.tif"}) {
        ASSERT_EQ(m_.AddImageToTemplate(&m_, image(name), &t, &complete), TCS_RESULT_OK) << name;
    }
    EXPECT_EQ(complete, 0u);
    EXPECT_EQ(t, nullptr);
}

// Images offered with an existing container extend that very record (it belongs to the caller's
// handle): a finished inner enrolment adds a view, a failed one rebuilds the views in place. Anything
// but a container of the wrapper is refused.
TEST_F(AdaptiveTest, ImagesAddedToAGivenContainerChangeItInPlace) {
    ASSERT_EQ(openAdaptive(257), TCS_RESULT_OK);
    EnrollTemplate* t = enrol({"101_1.tif", "101_2.tif", "101_3.tif"});
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->data[5], 1);
    t->data[6] = 2;  // update count, kept through the rebuild
    EnrollTemplate* given = t;
    uint32_t complete = 0;
    for (const char* name : {"101_4.tif", "101_5.tif", "101_6.tif"}) {
        ASSERT_EQ(m_.AddImageToTemplate(&m_, image(name), &t, &complete), TCS_RESULT_OK) << name;
    }
    EXPECT_EQ(complete, 1u);
    EXPECT_EQ(t, given);
    EXPECT_EQ(t->data[5], 2);
    for (const char* name : {"102_1.tif", "105_1.tif", "109_1.tif"}) {
        ASSERT_EQ(m_.AddImageToTemplate(&m_, image(name), &t, &complete), TCS_RESULT_OK) << name;
    }
    EXPECT_EQ(complete, 1u);
    ASSERT_EQ(t, given);
    mss::ContainerView views[8];
    uint32_t count = 0;
    ASSERT_TRUE(mss::containerViews(t, views, &count));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(t->data[6], 2);
    EXPECT_EQ(uint32_t(t->dataSize), 10112u);

    const uint8_t bytes[1024] = {};
    EnrollTemplate* native = nullptr;
    ASSERT_EQ(_tcsTemplateCreate(&native, bytes, sizeof bytes), TCS_RESULT_OK);
    keep(native);
    EnrollTemplate* before = native;
    EXPECT_EQ(m_.AddImageToTemplate(&m_, image("101_4.tif"), &native, &complete), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(native, before);
    EXPECT_EQ(uint32_t(native->dataSize), 1024u);
}

}  // namespace
