// Matcher 4 over the recognition engine: the ANSI 381 record it builds, the probability-to-score
// table, its false-acceptance modes, enrolment with its liveness profile, matching and the extended
// form's ordering.
#include "adapter_support.h"
#include "tcs/matching/adapter_support.h"
#include "tcs/matching/recog_adapter.h"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

using namespace matchtest;

class RecogAdapterTest : public AdapterTest {
protected:
    // Each named print as a probe against the one template: its match status (1 matched).
    void expectVerdicts(EnrollTemplate* t, std::initializer_list<std::pair<const char*, uint32_t>> cases) {
        EnrollTemplate* list[1] = {t};
        for (auto [name, status] : cases) {
            MatchResult r{};
            ASSERT_EQ(m_.MatchImageToTemplates(&m_, image(name), list, 1, 1, &r), TCS_RESULT_OK) << name;
            EXPECT_EQ(r.status, status) << name << " scores " << r.score;
        }
    }
};

uint32_t be16(const uint8_t* at) { return uint32_t(at[0]) << 8 | at[1]; }
uint32_t be32(const uint8_t* at) { return be16(at) << 16 | be16(at + 2); }

TEST_F(RecogAdapterTest, Ansi381RecordOfASmallImage) {
    // 3 columns, 2 rows: rows go last first.
    ImageRecord* image = nullptr;
    const uint8_t pixels[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(_tcsImageCreate(&image, pixels, 6, 2, 3, 0), TCS_RESULT_OK);
    images_.push_back(image);
    uint8_t* record = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(tcsImageToAnsi381(image, &record, &size), TCS_RESULT_OK);
    ASSERT_EQ(size, 56u);
    const uint8_t expected[56] = {'F', 'I', 'R', 0, '0', '1', '0', 0,           // identifiers
                                  0, 0, 0, 0, 0, 56,                            // record length
                                  0x00, 0x28, 0x04, 0x01, 0, 0, 0, 30, 1, 1,    // fixed bytes, one image, ppi
                                  0x01, 0xFC, 0x01, 0xFC, 0x01, 0xFC, 0x01, 0xFC,  // 508 four times
                                  8, 0, 0, 0, 0, 0, 0, 20,                      // depth, finger record length
                                  0, 1, 1, 254, 8, 0, 3, 0, 2, 0,               // view, columns 3, rows 2
                                  4, 5, 6, 1, 2, 3};
    EXPECT_EQ(std::vector<uint8_t>(record, record + 56), std::vector<uint8_t>(expected, expected + 56));
    FreeAnsi381Image(record);

    // With both resolutions known they replace 508.
    image->horizontalPpi = 500;
    image->verticalPpi = 333;
    ASSERT_EQ(tcsImageToAnsi381(image, &record, &size), TCS_RESULT_OK);
    EXPECT_EQ(be16(record + 24), 500u);
    EXPECT_EQ(be16(record + 26), 333u);
    EXPECT_EQ(be16(record + 28), 500u);
    EXPECT_EQ(be16(record + 30), 333u);
    EXPECT_EQ(be32(record + 36), 20u);
    FreeAnsi381Image(record);
    image->verticalPpi = 0;  // only one of them: both fall back
    ASSERT_EQ(tcsImageToAnsi381(image, &record, &size), TCS_RESULT_OK);
    EXPECT_EQ(be16(record + 24), 508u);
    FreeAnsi381Image(record);

    EXPECT_EQ(tcsImageToAnsi381(nullptr, &record, &size), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsImageToAnsi381(image, nullptr, &size), TCS_RESULT_NULL_POINTER);
    image->dataSize = 0;
    EXPECT_EQ(tcsImageToAnsi381(image, &record, &size), TCS_RESULT_NULL_POINTER);
}

TEST_F(RecogAdapterTest, ProbabilityToScore) {
    struct Case {
        uint32_t probability;
        uint32_t index;
        uint32_t score;
    };
    for (const Case& c : {Case{0, 0, 3000}, Case{83, 0, 3000}, Case{84, 1, 2381}, Case{21474, 256, 0},
                          Case{21475, 257, 1510}, Case{4294799, 455, 867}, Case{4294800, 455, 867},
                          Case{122406530, 510, 399}, Case{122406531, 511, 0}, Case{0x7FFFFFFF, 511, 0}}) {
        EXPECT_EQ(mss::recogScoreIndex(c.probability), c.index) << c.probability;
        if (c.index != 256) {
            EXPECT_EQ(mss::recogScore(c.probability), c.score) << c.probability;
        }
    }
    // The anchor rows, and a table that never rises.
    struct Row {
        uint32_t index;
        uint32_t score;
    };
    auto probabilityFor = [](uint32_t index) -> uint32_t {
        if (index <= 256) return index == 0 ? 0 : (index * 21474 + 255) / 256;
        if (index < 455) return (index - 256) * 21474 + 1;
        if (index == 455) return 4294799;  // the top of the middle band
        return (index - 454) * 2147483;
    };
    for (const Row& r : {Row{1, 2381}, Row{2, 2284}, Row{64, 1800}, Row{101, 1737}, Row{128, 1704}, Row{255, 1607},
                         Row{257, 1510}, Row{259, 1413}, Row{281, 1152}, Row{300, 1075}, Row{400, 912},
                         Row{455, 867}, Row{456, 811}, Row{510, 399}}) {
        ASSERT_EQ(mss::recogScoreIndex(probabilityFor(r.index)), r.index) << r.index;
        EXPECT_EQ(mss::recogScore(probabilityFor(r.index)), r.score) << r.index;
    }
    uint32_t previous = 3000;
    for (uint32_t i = 0; i < 512; ++i) {
        uint32_t score = mss::recogScore(probabilityFor(i));
        EXPECT_LE(score, previous) << i;
        previous = score;
    }
}

TEST_F(RecogAdapterTest, OpenModesAndRefusals) {
    ASSERT_EQ(open(mssRecogOpen), TCS_RESULT_OK);
    EXPECT_EQ(m_.id, 4u);
    EXPECT_EQ(m_.templateType, 5u);
    EXPECT_EQ(std::string(m_.idString).rfind("Recog: M=", 0), 0u) << m_.idString;
    EXPECT_EQ(m_.SetParameter(&m_, 6, 1), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(m_.Match(&m_, nullptr, nullptr, nullptr), TCS_RESULT_NOT_IMPLEMENTED);
    uint32_t verdict = 9;
    EXPECT_EQ(m_.CheckQuality(&m_, nullptr, &verdict), TCS_RESULT_OK);
    EXPECT_EQ(verdict, 0u);
    EnrollTemplate* t = nullptr;
    uint32_t complete = 0;
    // 149 rows are refused unless flag 2; 150 are taken.
    EXPECT_EQ(m_.AddImageToTemplate(&m_, image("104_1.tif", 149), &t, &complete), MSS_RESULT_IMAGE_REJECTED);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(m_.AddImageToTemplate(&m_, image("104_1.tif", 150), &t, &complete), TCS_RESULT_OK);
    ASSERT_NE(keep(t), nullptr);
    EXPECT_EQ(uint32_t(t->enrollMark), 1u);
    EXPECT_EQ(uint32_t(t->templateType), 5u);
    EXPECT_EQ(m_.Close(&m_), TCS_RESULT_OK);
    EXPECT_EQ(m_.Close(&m_), TCS_RESULT_MATCHER_CLOSE_FAILED);
    EXPECT_EQ(m_.SetFAR(&m_, 100000), TCS_RESULT_MATCHER_OPEN_FAILED);
    EXPECT_EQ(m_.AddImageToTemplate(&m_, image("104_1.tif"), &t, &complete), TCS_RESULT_MATCHER_OPEN_FAILED);
}

TEST_F(RecogAdapterTest, EnrolMatchAndExtendedOrder) {
    ASSERT_EQ(open(mssRecogOpen), TCS_RESULT_OK);
    ASSERT_EQ(m_.SetFAR(&m_, 100000), TCS_RESULT_OK);
    EnrollTemplate* enrolled = nullptr;
    uint32_t complete = 0;
    int images = 0;
    for (const char* name : {"101_1.tif", "101_2.tif", "101_3.tif", "101_4.tif", "101_6.tif", "101_7.tif"}) {
        ASSERT_EQ(m_.AddImageToTemplate(&m_, image(name), &enrolled, &complete), TCS_RESULT_OK) << name;
        ++images;
        if (complete == 1) break;
    }
    ASSERT_EQ(complete, 1u) << images;
    keep(enrolled);
    EXPECT_LE(uint32_t(enrolled->dataSize), 1800u);
    EXPECT_GT(uint32_t(enrolled->dataSize), 0u);
    enrolled->userId = 11;

    EnrollTemplate* other = nullptr;
    ASSERT_EQ(m_.Extract(&m_, image("102_1.tif"), &other), TCS_RESULT_OK);
    keep(other);
    other->userId = 22;

    EnrollTemplate* list[2] = {other, enrolled};
    MatchResult r{};
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, image("101_5.tif"), list, 2, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 1u);
    EXPECT_EQ(r.index, 1u);
    EXPECT_EQ(r.userId, 11u);
    EXPECT_GT(r.score, 1413u);
    const uint32_t genuine = r.score;
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, image("103_1.tif"), list, 2, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 0u);
    EXPECT_LT(r.score, genuine);

    MatchResult a{}, b{};
    MatchResult* results[2] = {&a, &b};
    uint32_t number = 2;
    ASSERT_EQ(m_.MatchImageToTemplatesExt(&m_, image("101_5.tif"), list, 2, &number, results), TCS_RESULT_OK);
    EXPECT_EQ(number, 2u);
    EXPECT_GE(a.score, b.score);
    EXPECT_EQ(a.index, 1u);  // the enrolled finger first, keeping its position
    EXPECT_EQ(a.status, 1u);
    EXPECT_EQ(a.userId, 11u);
    EXPECT_EQ(b.index, 0u);

    // Damaged template bytes end the match with 302.
    EnrollTemplate* bad = keep(_tcsTemplateAlloc(32));
    bad->dataSize = 32;
    EnrollTemplate* badList[1] = {bad};
    EXPECT_EQ(m_.MatchImageToTemplates(&m_, image("101_5.tif"), badList, 1, 1, &r), TCS_RESULT_MATCHER_MATCH_FAILED);
}

}  // namespace

namespace {

using namespace matchtest;

// The enrolment's liveness profile: per level the average over every image it took of the
// confidence, or of 100 minus it where the verdict is 0 (a confidence of 0 stays 0); an image
// without kind-2 metrics counts with nothing added.
TEST_F(RecogAdapterTest, EnrolmentProfileAveragesTheImagesLiveness) {
    ASSERT_EQ(open(mssRecogOpen), TCS_RESULT_OK);
    struct Level {
        uint32_t verdict;
        uint32_t confidence;
        uint32_t adds;
    };
    const Level levels[8] = {{1, 90, 90}, {0, 30, 70}, {0, 0, 0}, {1, 0, 0},
                             {1, 100, 100}, {0, 100, 0}, {1, 45, 45}, {0, 1, 99}};
    EnrollTemplate* t = nullptr;
    uint32_t complete = 0, taken = 0, withMetrics = 0;
    for (const char* name : {"101_1.tif", "101_2.tif", "101_3.tif", "101_4.tif", "101_6.tif", "101_7.tif"}) {
        ImageRecord* img = image(name);
        auto* metrics = static_cast<AspMetrics*>(img->aspMetrics);
        ASSERT_NE(metrics, nullptr);
        // The first image has metrics of another kind, which add nothing.
        metrics->kind = taken == 0 ? 1 : 2;
        for (int k = 0; k < 8; ++k) {
            metrics->verdict[k] = levels[k].verdict;
            metrics->confidence[k] = levels[k].confidence;
        }
        ASSERT_EQ(m_.AddImageToTemplate(&m_, img, &t, &complete), TCS_RESULT_OK) << name;
        ++taken;
        if (metrics->kind == 2) ++withMetrics;
        if (complete == 1) break;
    }
    ASSERT_EQ(complete, 1u);
    keep(t);
    ASSERT_GT(taken, 2u);
    ASSERT_EQ(_tcsTemplateGetASPProfileSize(t), 20u);
    uint8_t profile[20] = {};
    ASSERT_EQ(_tcsTemplateGetASPProfile(t, profile, sizeof profile), TCS_RESULT_OK);
    EXPECT_EQ(mss::readLe32(profile), 20u);
    EXPECT_EQ(mss::readLe32(profile + 4), 2u);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(profile[8 + k], levels[k].adds * withMetrics / taken) << k;
    EXPECT_EQ(mss::readLe32(profile + 16), 0u);
}

}  // namespace

namespace {

using namespace matchtest;

void* testAllocate(size_t size, void*) { return std::malloc(size); }
void testFree(void* block, void*) { std::free(block); }

// Export turns probe features into an enrolled template: mode 3 from feature-set bytes in the
// engine's own format, modes 0 and 2 from a feature-set handle that stays the caller's, which mode 1
// then closes.
TEST_F(RecogAdapterTest, ExportEnrolsTemplatesFromFeatures) {
    ASSERT_EQ(open(mssRecogOpen), TCS_RESULT_OK);
    ASSERT_EQ(m_.SetFAR(&m_, 100000), TCS_RESULT_OK);
    ContextInitBlock init{};
    init.size = sizeof init;
    init.allocate = testAllocate;
    init.deallocate = testFree;
    RecogHandle context = nullptr;
    ASSERT_EQ(RecogCreateContext(&init, &context), RECOG_OK);
    RecogHandle features = nullptr;
    ASSERT_EQ(tcsImageToRecogFeatureHandle(context, image("101_1.tif"), &features), TCS_RESULT_OK);
    uint32_t length = 0;
    ASSERT_EQ(RecogExport(features, RECOG_FORMAT_FEATURE_SET, nullptr, &length), RECOG_OK);
    std::vector<uint8_t> bytes(length);
    ASSERT_EQ(RecogExport(features, RECOG_FORMAT_FEATURE_SET, bytes.data(), &length), RECOG_OK);

    EnrollTemplate* fromBytes = nullptr;
    EnrollTemplate* fromHandle = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(m_.ExportTemplate(&m_, bytes.data(), length, &fromBytes, &size, 3, 0), TCS_RESULT_OK);
    keep(fromBytes);
    EXPECT_EQ(size, uint32_t(fromBytes->dataSize));
    ASSERT_EQ(m_.ExportTemplate(&m_, features, 0, &fromHandle, &size, 2, 0), TCS_RESULT_OK);
    keep(fromHandle);
    for (EnrollTemplate* t : {fromBytes, fromHandle}) {
        EXPECT_EQ(uint32_t(t->templateType), 5u);
        EXPECT_GT(uint32_t(t->dataSize), 0u);
        EXPECT_LE(uint32_t(t->dataSize), 1800u);
        EnrollTemplate* list[1] = {t};
        MatchResult r{};
        ASSERT_EQ(m_.MatchImageToTemplates(&m_, image("101_2.tif"), list, 1, 1, &r), TCS_RESULT_OK);
        EXPECT_EQ(r.status, 1u);
        ASSERT_EQ(m_.MatchImageToTemplates(&m_, image("108_1.tif"), list, 1, 1, &r), TCS_RESULT_OK);
        EXPECT_EQ(r.status, 0u);
    }
    EXPECT_EQ(m_.controlFlags, 0u);  // restored after the export
    EXPECT_EQ(m_.probeFeatures, nullptr);

    const uint8_t junk[16] = {1, 2, 3};
    EnrollTemplate* none = nullptr;
    EXPECT_EQ(m_.ExportTemplate(&m_, junk, sizeof junk, &none, &size, 3, 0), TCS_RESULT_INVALID);
    EXPECT_EQ(none, nullptr);
    // Mode 1 closes the handle (LeakSanitizer checks nothing of it is left).
    EXPECT_EQ(m_.ExportTemplate(&m_, features, 0, &none, &size, 1, 0), TCS_RESULT_OK);
    RecogCloseHandle(context);
}

// The engine's own context, for what it makes of a record handed to it directly.
class EngineContext {
public:
    EngineContext() {
        ContextInitBlock init{};
        init.size = sizeof init;
        init.allocate = testAllocate;
        init.deallocate = testFree;
        EXPECT_EQ(RecogCreateContext(&init, &context_), RECOG_OK);
    }
    ~EngineContext() { RecogCloseHandle(context_); }

    // The image's ANSI 381 record as it stands (no grey stretch) into feature-set bytes in the
    // engine's own format; the engine's result.
    RecogResult features(ImageRecord* image, std::vector<uint8_t>& bytes) {
        uint8_t* record = nullptr;
        uint32_t size = 0;
        EXPECT_EQ(tcsImageToAnsi381(image, &record, &size), TCS_RESULT_OK);
        RecogHandle set = nullptr;
        RecogResult r = RecogCreateFeatureSet(context_, record, size, RECOG_FORMAT_ANSI_381, 7, 0, &set);
        FreeAnsi381Image(record);
        uint32_t length = 0;
        if (r == RECOG_OK) r = RecogExport(set, RECOG_FORMAT_FEATURE_SET, nullptr, &length);
        bytes.resize(length);
        if (r == RECOG_OK) r = RecogExport(set, RECOG_FORMAT_FEATURE_SET, bytes.data(), &length);
        if (set != nullptr) RecogCloseHandle(set);
        return r;
    }

private:
    RecogHandle context_ = nullptr;
};

// A faint print (the public set's finger 110: greys of about 230 with a spread of 8), which the
// engine refuses as it stands, enrols and verifies through matcher 4: the adapter stretches the grey
// range of the record it hands to the engine, and leaves the caller's image as it was.
TEST_F(RecogAdapterTest, FaintPrintsAreStretchedForTheEngine) {
    ASSERT_EQ(open(mssRecogOpen), TCS_RESULT_OK);
    ASSERT_EQ(m_.SetFAR(&m_, 100000), TCS_RESULT_OK);
    EngineContext engine;
    ImageRecord* faint = image("110_1.tif");
    std::vector<uint8_t> bytes;
    ASSERT_EQ(engine.features(faint, bytes), RECOG_E_TOO_FEW_FEATURES);

    const std::vector<uint8_t> before(tcsImagePixels(faint), tcsImagePixels(faint) + faint->dataSize);
    EnrollTemplate* t = nullptr;
    ASSERT_EQ(m_.Extract(&m_, faint, &t), TCS_RESULT_OK);
    keep(t);
    EXPECT_EQ(std::vector<uint8_t>(tcsImagePixels(faint), tcsImagePixels(faint) + faint->dataSize), before);
    expectVerdicts(t, {{"110_2.tif", 1}, {"110_3.tif", 1}, {"101_1.tif", 0}, {"109_1.tif", 0}});
}

// The stretch stops at a gain of about 8: a blank image, flat or with a sensor's noise of a couple of
// grey levels, is not stretched into ridges and still gives no template.
TEST_F(RecogAdapterTest, BlankImagesStayRefused) {
    ASSERT_EQ(open(mssRecogOpen), TCS_RESULT_OK);
    swipe_model::GreyImage blank;
    blank.width = blank.height = 300;
    for (double sigma : {0.0, 2.0}) {
        std::mt19937 rng(7);
        std::normal_distribution<double> noise(250, sigma);
        blank.pixels.clear();
        for (uint32_t i = 0; i < 300 * 300; ++i) blank.pixels.push_back(uint8_t(std::clamp(noise(rng), 0.0, 255.0)));
        images_.push_back(rawImage(blank));
        EnrollTemplate* t = nullptr;
        EXPECT_EQ(m_.Extract(&m_, images_.back(), &t), TCS_RESULT_MATCHER_EXTRACT_FAILED) << sigma;
        EXPECT_EQ(keep(t), nullptr) << sigma;
    }
}

// A print whose greys already fill the full range reaches the engine as it stands; a print of the
// same finger in a narrower band (the public one as scanned, darkest greys about 100) does not.
TEST_F(RecogAdapterTest, PrintsUsingTheFullGreyRangeAreLeftAsTheyAre) {
    ASSERT_EQ(open(mssRecogOpen), TCS_RESULT_OK);
    EngineContext engine;
    RecogHandle context = nullptr;
    ContextInitBlock init{};
    init.size = sizeof init;
    init.allocate = testAllocate;
    init.deallocate = testFree;
    ASSERT_EQ(RecogCreateContext(&init, &context), RECOG_OK);
    auto adapterFeatures = [&](ImageRecord* image) {
        RecogHandle set = nullptr;
        EXPECT_EQ(tcsImageToRecogFeatureHandle(context, image, &set), TCS_RESULT_OK);
        uint32_t length = 0;
        EXPECT_EQ(RecogExport(set, RECOG_FORMAT_FEATURE_SET, nullptr, &length), RECOG_OK);
        std::vector<uint8_t> bytes(length);
        EXPECT_EQ(RecogExport(set, RECOG_FORMAT_FEATURE_SET, bytes.data(), &length), RECOG_OK);
        RecogCloseHandle(set);
        return bytes;
    };
    ImageRecord* scanned = image("103_1.tif");
    // The same print spread over 0..255 by the test, its darkest and brightest 1/500 clipped.
    swipe_model::GreyImage full = fvc("103_1.tif");
    std::vector<uint8_t> sorted = full.pixels;
    std::sort(sorted.begin(), sorted.end());
    const int lo = sorted[sorted.size() / 500], hi = sorted[sorted.size() - 1 - sorted.size() / 500];
    for (uint8_t& p : full.pixels) p = uint8_t(std::clamp((int(p) - lo) * 255 / (hi - lo), 0, 255));
    images_.push_back(rawImage(full));
    ImageRecord* spread = images_.back();

    std::vector<uint8_t> asItStands;
    ASSERT_EQ(engine.features(spread, asItStands), RECOG_OK);
    EXPECT_EQ(adapterFeatures(spread), asItStands);
    ASSERT_EQ(engine.features(scanned, asItStands), RECOG_OK);
    EXPECT_NE(adapterFeatures(scanned), asItStands);
    RecogCloseHandle(context);
}

// A template stored before the stretch came in was enrolled from the record as it stood; new probes,
// stretched, still verify against it, and other fingers' still do not.
TEST_F(RecogAdapterTest, TemplatesFromUnstretchedRecordsStillMatch) {
    ASSERT_EQ(open(mssRecogOpen), TCS_RESULT_OK);
    ASSERT_EQ(m_.SetFAR(&m_, 100000), TCS_RESULT_OK);
    EngineContext engine;
    std::vector<uint8_t> bytes;
    ASSERT_EQ(engine.features(image("101_1.tif"), bytes), RECOG_OK);
    // Enrolment from feature-set bytes is the enrolment an image went through, without the image.
    EnrollTemplate* stored = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(m_.ExportTemplate(&m_, bytes.data(), uint32_t(bytes.size()), &stored, &size, 3, 0), TCS_RESULT_OK);
    keep(stored);
    expectVerdicts(stored, {{"101_2.tif", 1}, {"101_5.tif", 1}, {"102_1.tif", 0}, {"108_1.tif", 0}});
}

}  // namespace

namespace {

// Highest score first; results of equal score keep their order (and their template positions).
TEST(SortMatchResults, HighestScoreFirstAndStable) {
    MatchResult results[5] = {};
    const uint32_t scores[5] = {5, 9, 5, 12, 0};
    MatchResult* order[5];
    for (uint32_t i = 0; i < 5; ++i) {
        results[i].index = i;
        results[i].score = scores[i];
        order[i] = &results[i];
    }
    sortMatchResults(order, 5);
    const uint32_t expected[5] = {3, 1, 0, 2, 4};
    for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(order[i]->index, expected[i]) << i;
    sortMatchResults(nullptr, 3);
}

}  // namespace
