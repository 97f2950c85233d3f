// Matcher 2 over its outside library, here the stand-in: binding by name, the buffers handed over,
// enrolment with its liveness profile, the liveness decision on a match, and quality verdicts.
#include "adapter_support.h"
#include "platform/settings.h"
#include "platform/test_seams.h"
#include "tcs/matching/orbis_adapter.h"

#include <dlfcn.h>

namespace {

using namespace matchtest;

// The stand-in's steering calls, reached through the same loaded library the matcher uses.
struct Standin {
    void* library = nullptr;
    void (*reset)() = nullptr;
    void (*failInit)(int) = nullptr;
    void (*forceVerify)(int, int32_t, uint32_t) = nullptr;
    void (*forceQuality)(int) = nullptr;
    int (*openContexts)() = nullptr;
    void (*lastCall)(uint32_t*, uint32_t*, uint8_t*, uint8_t*, uint32_t*, uint32_t*, uint8_t*) = nullptr;
};

class OrbisAdapterTest : public AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        settings_ = ::testing::TempDir() + "/mss_orbis_settings" + std::to_string(getpid());
        palTestSetSettingsPath(settings_.c_str());
        mssOrbisSetLibraryPath(ORBIS_STANDIN_PATH);
        s_.library = dlopen(ORBIS_STANDIN_PATH, RTLD_NOW);
        ASSERT_NE(s_.library, nullptr);
        s_.reset = reinterpret_cast<void (*)()>(dlsym(s_.library, "OrbStandin_Reset"));
        s_.failInit = reinterpret_cast<void (*)(int)>(dlsym(s_.library, "OrbStandin_FailInit"));
        s_.forceVerify = reinterpret_cast<void (*)(int, int32_t, uint32_t)>(dlsym(s_.library, "OrbStandin_ForceVerify"));
        s_.forceQuality = reinterpret_cast<void (*)(int)>(dlsym(s_.library, "OrbStandin_ForceQuality"));
        s_.openContexts = reinterpret_cast<int (*)()>(dlsym(s_.library, "OrbStandin_OpenContexts"));
        s_.lastCall = reinterpret_cast<decltype(s_.lastCall)>(dlsym(s_.library, "OrbStandin_LastCall"));
        s_.reset();
    }
    void TearDown() override {
        AdapterTest::TearDown();
        if (s_.library != nullptr) {
            EXPECT_EQ(s_.openContexts(), 0);
            dlclose(s_.library);
        }
        mssOrbisSetLibraryPath(nullptr);
        palTestSetSettingsPath(nullptr);
        std::remove(settings_.c_str());
    }
    // Liveness metrics of kind 2 with the given verdict at every level and confidence 100.
    static void setLiveness(ImageRecord* image, uint32_t verdict) {
        auto* metrics = static_cast<AspMetrics*>(image->aspMetrics);
        metrics->size = 72;
        metrics->kind = 2;
        for (int k = 0; k < 8; ++k) {
            metrics->verdict[k] = verdict;
            metrics->confidence[k] = 100;
        }
    }
    EnrollTemplate* enrol(const char* finger) {
        EnrollTemplate* t = nullptr;
        for (int i = 1; i <= 3; ++i) {
            uint32_t complete = 0;
            ImageRecord* img = image(std::string(finger) + "_" + std::to_string(i) + ".tif");
            setLiveness(img, 1);
            EXPECT_EQ(m_.AddImageToTemplate(&m_, img, &t, &complete), TCS_RESULT_OK) << i;
            EXPECT_EQ(complete, i == 3 ? 1u : 0u) << i;
        }
        return keep(t);
    }

    Standin s_;
    std::string settings_;
};

TEST_F(OrbisAdapterTest, OpenNeedsTheLibraryAndItsRequiredEntryPoints) {
    MatcherRecord other{};
    mssOrbisSetLibraryPath("/nonexistent/OrbisBioSDK.so");
    EXPECT_EQ(mssOrbisOpen(&other), TCS_RESULT_ERROR);
    mssOrbisSetLibraryPath(ORBIS_STANDIN_PARTIAL_PATH);
    EXPECT_EQ(mssOrbisOpen(&other), TCS_RESULT_ERROR);
    EXPECT_EQ(other.state, nullptr);
    mssOrbisSetLibraryPath(ORBIS_STANDIN_PATH);
    ASSERT_EQ(open(mssOrbisOpen), TCS_RESULT_OK);
    EXPECT_STREQ(m_.idString, "Orbis");
    EXPECT_EQ(m_.id, 2u);
    EXPECT_EQ(m_.templateType, 17u);
    EXPECT_EQ(m_.ExportTemplate, nullptr);
    EXPECT_EQ(m_.SetParameter(&m_, 6, 1), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(m_.Generalize(&m_, nullptr, 0, nullptr, nullptr), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(mssOrbisOpen(nullptr), TCS_RESULT_BAD_PARAM);
}

TEST_F(OrbisAdapterTest, ImagesAndTemplateSlotsAsTheLibraryGetsThem) {
    // 300 columns x 450 rows: the 280 x 400 window from column 10 and row 25, rows reversed.
    ImageRecord* img = nullptr;
    std::vector<uint8_t> pixels(300 * 450);
    for (uint32_t y = 0; y < 450; ++y)
        for (uint32_t x = 0; x < 300; ++x) pixels[y * 300 + x] = uint8_t((y * 7 + x) & 0xFF);
    ASSERT_EQ(_tcsImageCreate(&img, pixels.data(), uint32_t(pixels.size()), 450, 300, 0), TCS_RESULT_OK);
    images_.push_back(img);
    OrbImage* o = mssOrbisImageFromImage(img);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->width, 280u);
    EXPECT_EQ(o->height, 400u);
    EXPECT_EQ(o->resolution, 500u);
    EXPECT_EQ(o->pixels, reinterpret_cast<uint8_t*>(o) + 24);
    EXPECT_EQ(o->pixels[0], pixels[(25 + 399) * 300 + 10]);            // last window row first
    EXPECT_EQ(o->pixels[399 * 280 + 5], pixels[25 * 300 + 10 + 5]);    // first window row last
    palRealFree(o);
    // A smaller image is taken whole.
    ImageRecord* small = image("101_1.tif", 200, 100);
    o = mssOrbisImageFromImage(small);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->width, 100u);
    EXPECT_EQ(o->height, 200u);
    palRealFree(o);

    EnrollTemplate* big = keep(_tcsTemplateAlloc(5000));
    big->dataSize = 5000;
    std::memset(big->data, 0xAB, 5000);
    EnrollTemplate* one = keep(_tcsTemplateAlloc(1024));
    one->dataSize = 1024;
    std::memset(one->data, 0xCD, 1024);
    EnrollTemplate* both[2] = {big, one};
    OrbTemplateList* list = mssOrbisTemplateList(both, 2);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->size, 8192u);
    EXPECT_EQ(list->slots, reinterpret_cast<uint8_t*>(list) + 16);
    EXPECT_EQ(list->slots[4095], 0xAB);  // cut at 4096
    EXPECT_EQ(list->slots[4096 + 1023], 0xCD);
    for (uint32_t i = 4096 + 1024; i < 8192; ++i) ASSERT_EQ(list->slots[i], 0) << i;  // zero-padded
    palRealFree(list);
}

TEST_F(OrbisAdapterTest, FarModesAndAspThresholds) {
    ASSERT_EQ(open(mssOrbisOpen), TCS_RESULT_OK);
    EXPECT_EQ(m_.SetFAR(&m_, 100000), TCS_RESULT_OK);
    struct Case {
        std::vector<uint8_t> levels;  // profile bytes 8..15
        uint32_t version;
        uint32_t mode;
        int32_t level;
    };
    auto profile = [](uint32_t version, const std::vector<uint8_t>& levels) {
        std::vector<uint8_t> p(20, 0);
        p[0] = 20;
        p[4] = uint8_t(version);
        std::copy(levels.begin(), levels.end(), p.begin() + 8);
        return p;
    };
    const std::vector<uint8_t> five = {100, 100, 100, 100, 100, 50, 100, 100};
    const std::vector<uint8_t> all = {100, 100, 100, 100, 100, 100, 100, 100};
    for (const Case& c : {Case{five, 1, 1, 1}, Case{five, 1, 2, 2}, Case{five, 1, 3, 3}, Case{all, 1, 3, 3},
                          Case{five, 2, 1, 0}, Case{all, 2, 1, 2}, Case{all, 2, 2, 4}, Case{all, 2, 3, 5},
                          Case{{100, 100, 0}, 1, 1, -1}, Case{all, 3, 1, -1}, Case{all, 1, 4, -1}}) {
        EnrollTemplate* t = keep(_tcsTemplateAlloc(4));
        std::vector<uint8_t> p = profile(c.version, c.levels);
        ASSERT_EQ(_tcsTemplateSetASPProfile(t, p.data(), 20), TCS_RESULT_OK);
        EXPECT_EQ(_tcsGetAspThreshold(t, c.mode), c.level) << c.version << " " << c.mode;
    }
    EnrollTemplate* bare = keep(_tcsTemplateAlloc(4));
    EXPECT_EQ(_tcsGetAspThreshold(bare, 1), -1);
    const uint8_t shortProfile[12] = {12, 0, 0, 0, 1, 0, 0, 0, 100, 100, 100, 100};
    ASSERT_EQ(_tcsTemplateSetASPProfile(bare, shortProfile, 12), TCS_RESULT_OK);
    EXPECT_EQ(_tcsGetAspThreshold(bare, 1), -1);
    EXPECT_EQ(tcsGetAspThreshold(12345, 1), -1);
}

TEST_F(OrbisAdapterTest, EnrolmentMakesATemplateWithItsLivenessProfile) {
    ASSERT_EQ(open(mssOrbisOpen), TCS_RESULT_OK);
    EnrollTemplate* t = enrol("101");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(uint32_t(t->dataSize), 1024u);
    EXPECT_EQ(uint32_t(t->templateType), 17u);
    EXPECT_EQ(uint32_t(t->features), 1u);
    EXPECT_EQ(std::memcmp(t->magic, "TTML", 4), 0);
    ASSERT_EQ(_tcsTemplateGetASPProfileSize(t), 20u);
    uint8_t profile[20];
    ASSERT_EQ(_tcsTemplateGetASPProfile(t, profile, 20), TCS_RESULT_OK);
    const uint8_t expected[20] = {20, 0, 0, 0, 2, 0, 0, 0, 100, 100, 100, 100, 100, 100, 100, 100, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(profile, expected, 20), 0);
    EXPECT_EQ(s_.openContexts(), 0);  // the enrolment's context ends with it

    // Extraction runs the enrolment with one image up to three times.
    EnrollTemplate* extracted = nullptr;
    ImageRecord* img = image("102_1.tif");
    setLiveness(img, 1);
    ASSERT_EQ(m_.Extract(&m_, img, &extracted), TCS_RESULT_OK);
    keep(extracted);
    EXPECT_EQ(uint32_t(extracted->dataSize), 1024u);
    // Refusals and a library that gives no context.
    uint32_t complete = 0;
    EnrollTemplate* none = nullptr;
    EXPECT_EQ(m_.AddImageToTemplate(&m_, nullptr, &none, &complete), TCS_RESULT_NULL_POINTER);
    s_.failInit(1);
    EXPECT_EQ(m_.AddImageToTemplate(&m_, img, &none, &complete), TCS_RESULT_MATCHER_ADD_IMAGE_FAILED);
    MatchResult r{};
    EnrollTemplate* list[1] = {t};
    EXPECT_EQ(m_.MatchImageToTemplates(&m_, img, list, 1, 1, &r), TCS_RESULT_MATCHER_OPEN_FAILED);
    uint32_t verdict = 0;
    EXPECT_EQ(m_.CheckQuality(&m_, img, &verdict), TCS_RESULT_MATCHER_OPEN_FAILED);
}

TEST_F(OrbisAdapterTest, MatchConfirmedOnlyByLiveness) {
    ASSERT_EQ(open(mssOrbisOpen), TCS_RESULT_OK);
    EnrollTemplate* t = enrol("101");
    t->userId = 3;
    t->finger = 6;
    EnrollTemplate* list[1] = {t};
    ImageRecord* probe = image("101_1.tif");
    MatchResult r{};

    setLiveness(probe, 1);
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, probe, list, 1, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 1u);
    EXPECT_EQ(r.userId, 3u);
    EXPECT_EQ(r.finger, 6u);
    EXPECT_EQ(r.extraSize, 1024u);
    ASSERT_NE(r.extraData, nullptr);
    EXPECT_EQ(r.extraData[0], 0x5A);
    const uint32_t live = r.score;
    palRealFree(r.extraData);

    // Verdict 0 at the template's level: not matched, a fiftieth of the score.
    setLiveness(probe, 0);
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, probe, list, 1, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.score, live / 50);
    palRealFree(r.extraData);
    // The switch in the settings store turns the check off.
    ASSERT_EQ(palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\tfs530", "{EDF035D1-A55C-4864-A513-7EE5158DBCEC}", 0),
              TCS_RESULT_OK);
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, probe, list, 1, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 1u);
    palRealFree(r.extraData);

    // Library answers: 3 and 4 are no match, anything else leaves status 0 and result 0 without extra data;
    // a negative score reads as 0.
    struct Case {
        int answer;
        int32_t score;
        uint32_t status;
        uint32_t reported;
        bool extra;
    };
    for (const Case& c : {Case{3, 900, 0, 900, true}, Case{4, -5, 0, 0, true}, Case{7, 900, 0, 0, false},
                          Case{2, 1500, 1, 1500, true}}) {
        s_.forceVerify(c.answer, c.score, 0);
        ASSERT_EQ(m_.MatchImageToTemplates(&m_, probe, list, 1, 1, &r), TCS_RESULT_OK) << c.answer;
        EXPECT_EQ(r.status, c.status) << c.answer;
        EXPECT_EQ(r.score, c.reported) << c.answer;
        EXPECT_EQ(r.extraData != nullptr, c.extra) << c.answer;
        palRealFree(r.extraData);
    }
    // An index outside the list is not followed.
    s_.forceVerify(2, 1500, 5);
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, probe, list, 1, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.extraData, nullptr);
}

TEST_F(OrbisAdapterTest, ExtendedMatch) {
    ASSERT_EQ(open(mssOrbisOpen), TCS_RESULT_OK);
    EnrollTemplate* a = enrol("101");
    EnrollTemplate* b = enrol("103");
    a->userId = 1;
    b->userId = 2;
    b->features = 0;
    EnrollTemplate* list[2] = {a, b};
    MatchResult r0{}, r1{};
    MatchResult* results[2] = {&r0, &r1};
    ImageRecord* probe = image("103_2.tif");
    setLiveness(probe, 1);
    uint32_t number = 2;
    ASSERT_EQ(m_.MatchImageToTemplatesExt(&m_, probe, list, 2, &number, results), TCS_RESULT_OK);
    EXPECT_EQ(number, 2u);
    EXPECT_NE(r0.index, r1.index);
    EXPECT_GE(r0.score, r1.score);
    // 4: a template whose features word is set reports score 0.
    s_.forceVerify(4, 1300, 0);
    ASSERT_EQ(m_.MatchImageToTemplatesExt(&m_, probe, list, 2, &number, results), TCS_RESULT_OK);
    EXPECT_EQ(r0.index, 0u);
    EXPECT_EQ(r0.score, 0u);
    EXPECT_EQ(r1.index, 1u);
    EXPECT_EQ(r1.score, 1300u);
    EXPECT_EQ(r1.status, 0u);
    // Other answers and negative scores fail with 307 and no results.
    for (auto [answer, score] : {std::pair<int, int32_t>{9, 10}, std::pair<int, int32_t>{2, -1}}) {
        s_.forceVerify(answer, score, 0);
        number = 2;
        EXPECT_EQ(m_.MatchImageToTemplatesExt(&m_, probe, list, 2, &number, results),
                  TCS_RESULT_MATCHER_MATCH_IMAGE_FAILED);
        EXPECT_EQ(number, 0u);
        EXPECT_EQ(r0.status, 0u);
    }
}

TEST_F(OrbisAdapterTest, QualityVerdicts) {
    ASSERT_EQ(open(mssOrbisOpen), TCS_RESULT_OK);
    ImageRecord* img = image("101_1.tif");
    struct Case {
        int answer;
        TcsResult result;
        uint32_t verdict;
    };
    for (const Case& c : {Case{1, TCS_RESULT_OK, 0}, Case{2, TCS_RESULT_OK, 1},
                          Case{3, MSS_RESULT_QUALITY_UNEXPECTED, 77}}) {
        s_.forceQuality(c.answer);
        uint32_t verdict = 77;
        EXPECT_EQ(m_.CheckQuality(&m_, img, &verdict), c.result) << c.answer;
        EXPECT_EQ(verdict, c.verdict) << c.answer;
    }
    uint32_t verdict = 0;
    EXPECT_EQ(m_.CheckQuality(&m_, nullptr, &verdict), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(s_.openContexts(), 0);
}

// Through the client interface: matcher 2 and its adaptive wrapper open once the library is there.
class OrbisClientTest : public StackTest {};

TEST_F(OrbisClientTest, OpensWithTheStandIn) {
    mssOrbisSetLibraryPath(ORBIS_STANDIN_PATH);
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client_, 2, &matcher), TCS_RESULT_OK);
    EXPECT_EQ(tcsMatcherGetTemplateType(matcher), 17u);
    TcsHandle img = imageHandle(fvc("101_1.tif"));
    uint32_t verdict = 9;
    EXPECT_EQ(tcsMatcherCheckImageQuality(matcher, img, &verdict), TCS_RESULT_OK);
    EXPECT_EQ(verdict, 0u);
    EXPECT_EQ(tcsMatcherClose(matcher), TCS_RESULT_OK);
    ASSERT_EQ(tcsMatcherOpen(client_, 258, &matcher), TCS_RESULT_OK);
    char text[40] = {};
    ASSERT_EQ(tcsMatcherGetIDStringA(matcher, text, 40), TCS_RESULT_OK);
    EXPECT_STREQ(text, "AEM 0.9: Orbis");
    EXPECT_EQ(tcsMatcherClose(matcher), TCS_RESULT_OK);
    tcsHandleDestroy(img);
    mssOrbisSetLibraryPath(nullptr);
}

}  // namespace

namespace {

using namespace matchtest;

// The adaptive wrapper over matcher 2: enrolment wraps the library's template, matching goes view by
// view through the single-template fields.
TEST_F(OrbisAdapterTest, AdaptiveWrapperOverMatcherTwo) {
    ASSERT_EQ(mssAdaptiveMatcherOpen(&m_, 258), TCS_RESULT_OK);
    opened_ = true;
    ASSERT_EQ(m_.Open(&m_), TCS_RESULT_OK);
    EXPECT_STREQ(m_.idString, "AEM 0.9: Orbis");
    EnrollTemplate* t = nullptr;
    uint32_t complete = 0;
    for (int i = 1; i <= 3 && complete == 0; ++i) {
        ImageRecord* img = image("104_" + std::to_string(i) + ".tif");
        setLiveness(img, 1);
        ASSERT_EQ(m_.AddImageToTemplate(&m_, img, &t, &complete), TCS_RESULT_OK) << i;
    }
    ASSERT_EQ(complete, 1u);
    keep(t);
    EXPECT_EQ(uint32_t(t->templateType), 258u);
    EXPECT_EQ(std::memcmp(t->data, "ARUS", 4), 0);
    EnrollTemplate* list[1] = {t};
    MatchResult r{};
    ImageRecord* probe = image("104_1.tif");
    setLiveness(probe, 1);
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, probe, list, 1, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 1u);
    EXPECT_GT(r.score, 0u);
    palRealFree(r.extraData);
}

}  // namespace
