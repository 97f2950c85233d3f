// Matcher 1 over the minutiae engine: the FAR table, three-image enrolment, extraction, matching and
// the operations the adaptive matcher drives it through.
#include "adapter_support.h"
#include "engines/minutiae/features.h"

namespace {

using namespace matchtest;

class MinutiaeAdapterTest : public AdapterTest {};

TEST_F(MinutiaeAdapterTest, OpenerFillsTheRecord) {
    ASSERT_EQ(open(mssMinutiaeOpen), TCS_RESULT_OK);
    EXPECT_EQ(m_.id, 1u);
    EXPECT_EQ(m_.templateType, 1u);
    EXPECT_STREQ(m_.idString, "MinuEngine 4.1");
    EXPECT_EQ(m_.MatchImageToTemplatesExt, nullptr);
    EXPECT_NE(m_.ExportTemplate, nullptr);
    EXPECT_EQ(mssMinutiaeOpen(nullptr), TCS_RESULT_BAD_PARAM);
}

TEST_F(MinutiaeAdapterTest, FalseAcceptanceRateToThreshold) {
    ASSERT_EQ(open(mssMinutiaeOpen), TCS_RESULT_OK);
    struct Case {
        uint32_t rate;
        uint32_t threshold;
    };
    for (const Case& c : {Case{0, 1177}, Case{1, 1122}, Case{100000, 45}, Case{900000000, 1}, Case{810000000, 1},
                          Case{10000, 61}, Case{1000000, 32}, Case{150, 507}, Case{700000, 35}, Case{7000, 83},
                          Case{8, 913}, Case{809999999, 1}}) {
        ASSERT_EQ(m_.SetFAR(&m_, c.rate), TCS_RESULT_OK);
        uint32_t threshold = 0;
        ASSERT_EQ(m_.GetParameter(&m_, 200, &threshold), TCS_RESULT_OK);
        EXPECT_EQ(threshold, c.threshold) << c.rate;
    }
    // Text parameters are read whole and refused ids give the engine error.
    uint32_t value = 0;
    EXPECT_EQ(m_.GetParameter(&m_, 10, &value), TCS_RESULT_OK);
    EXPECT_EQ(m_.GetParameter(&m_, 4242, &value), TCS_RESULT_ERROR);
    EXPECT_EQ(m_.SetParameter(&m_, 10, 1), TCS_RESULT_ERROR);
}

TEST_F(MinutiaeAdapterTest, EnrolmentTakesThreeImagesOfAtLeast200Rows) {
    ASSERT_EQ(open(mssMinutiaeOpen), TCS_RESULT_OK);
    EnrollTemplate* t = nullptr;
    uint32_t complete = 9;
    // 199 rows: ignored (nothing stored, the complete flag untouched) unless flag 2 is set.
    EXPECT_EQ(m_.AddImageToTemplate(&m_, image("101_1.tif", 199), &t, &complete), TCS_RESULT_OK);
    EXPECT_EQ(complete, 9u);
    EXPECT_EQ(*static_cast<uint32_t*>(m_.state), 0u);
    m_.controlFlags = MSS_FLAG_SHORT_IMAGES;
    EXPECT_EQ(m_.AddImageToTemplate(&m_, image("101_1.tif", 199), &t, &complete), TCS_RESULT_OK);
    EXPECT_EQ(*static_cast<uint32_t*>(m_.state), 1u);
    m_.controlFlags = 0;
    EXPECT_EQ(m_.AddImageToTemplate(&m_, image("101_2.tif", 200), &t, &complete), TCS_RESULT_OK);
    EXPECT_EQ(complete, 0u);
    EXPECT_EQ(t, nullptr);
    ASSERT_EQ(m_.AddImageToTemplate(&m_, image("101_3.tif"), &t, &complete), TCS_RESULT_OK);
    EXPECT_EQ(complete, 1u);
    ASSERT_NE(keep(t), nullptr);
    EXPECT_EQ(std::memcmp(t->magic, "TTML", 4), 0);
    EXPECT_EQ(uint32_t(t->enrollMark), 1u);
    EXPECT_EQ(uint32_t(t->version), 1u);
    EXPECT_EQ(uint32_t(t->templateType), 1u);
    EXPECT_GE(uint32_t(t->dataSize), 1024u);
    EXPECT_EQ(*static_cast<uint32_t*>(m_.state), 0u);  // the store is emptied
    // Features shorter than 1024 bytes are stored padded with zeros.
    const uint32_t used = uint32_t(mnt::CompressedFeaturesLength(t->data, t->dataSize));
    if (used < 1024) {
        for (uint32_t i = used; i < 1024; ++i) ASSERT_EQ(t->data[i], 0) << i;
    }
}

TEST_F(MinutiaeAdapterTest, KeptEnrolmentRecordsAreExportedAndReleased) {
    ASSERT_EQ(open(mssMinutiaeOpen), TCS_RESULT_OK);
    m_.controlFlags = MSS_FLAG_KEEP_ENROLL_RECORDS;
    EnrollTemplate* t = nullptr;
    uint32_t complete = 0;
    for (const char* name : {"102_1.tif", "102_2.tif", "102_3.tif"}) {
        ASSERT_EQ(m_.AddImageToTemplate(&m_, image(name), &t, &complete), TCS_RESULT_OK) << name;
    }
    keep(t);
    EXPECT_EQ(*static_cast<uint32_t*>(m_.state), 3u);
    EnrollTemplate* kept = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(m_.ExportTemplate(&m_, nullptr, 0, &kept, &size, 0, 1), TCS_RESULT_OK);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(uint32_t(kept->version), 0u);
    EXPECT_EQ(size, uint32_t(kept->dataSize));
    EXPECT_EQ(m_.DestroyEnrollTemplate(&m_, kept), TCS_RESULT_OK);  // version 0: left alone
    EnrollTemplate* copy = nullptr;
    ASSERT_EQ(m_.ExportTemplate(&m_, kept->data, kept->dataSize, &copy, &size, 2, 0), TCS_RESULT_OK);
    keep(copy);
    EXPECT_EQ(uint32_t(copy->version), 1u);
    EXPECT_EQ(std::memcmp(copy->data, kept->data, size), 0);
    // Release only: flag 16 with 256 cleared empties the store.
    m_.controlFlags = MSS_FLAG_RELEASE_ONLY;
    EXPECT_EQ(m_.AddImageToTemplate(&m_, nullptr, nullptr, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(*static_cast<uint32_t*>(m_.state), 0u);
    EXPECT_EQ(m_.ExportTemplate(&m_, nullptr, 0, &kept, &size, 0, 1), TCS_RESULT_BAD_PARAM);
}

TEST_F(MinutiaeAdapterTest, ExtractMatchAndQuality) {
    ASSERT_EQ(open(mssMinutiaeOpen), TCS_RESULT_OK);
    ASSERT_EQ(m_.SetFAR(&m_, 100000), TCS_RESULT_OK);
    EnrollTemplate *a = nullptr, *b = nullptr, *c = nullptr;
    ASSERT_EQ(m_.Extract(&m_, image("105_1.tif"), &a), TCS_RESULT_OK);
    ASSERT_EQ(m_.Extract(&m_, image("105_2.tif"), &b), TCS_RESULT_OK);
    ASSERT_EQ(m_.Extract(&m_, image("107_1.tif"), &c), TCS_RESULT_OK);
    keep(a), keep(b), keep(c);
    EXPECT_EQ(uint32_t(a->templateType), 1u);
    EXPECT_GT(uint32_t(a->features), 0u);
    b->userId = 5;
    b->finger = 2;
    MatchResult r{};
    ASSERT_EQ(m_.Match(&m_, a, b, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 1u);
    EXPECT_EQ(r.userId, 5u);
    EXPECT_EQ(r.finger, 2u);
    const uint32_t genuine = r.score;
    ASSERT_EQ(m_.Match(&m_, a, c, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 0u);
    EXPECT_LT(r.score, genuine);
    EXPECT_EQ(m_.Match(&m_, a, nullptr, &r), TCS_RESULT_NULL_POINTER);
    // Damaged feature data is refused rather than handed to the engine.
    EnrollTemplate* bad = keep(_tcsTemplateAlloc(16));
    bad->dataSize = 16;
    std::memset(bad->data, 0xFF, 16);
    EXPECT_EQ(m_.Match(&m_, a, bad, &r), TCS_RESULT_ERROR);

    // Image against a list: the first match decides, user id and finger from that entry.
    EnrollTemplate* list[3] = {c, b, a};
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, image("105_3.tif"), list, 3, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 1u);
    EXPECT_EQ(r.index, 1u);
    EXPECT_EQ(r.userId, 5u);
    EXPECT_EQ(m_.probeFeatures, nullptr);  // not kept without flag 8
    EXPECT_EQ(m_.MatchImageToTemplates(&m_, nullptr, list, 3, 1, &r), TCS_RESULT_NULL_POINTER);

    uint32_t verdict = 9;
    EXPECT_EQ(m_.CheckQuality(&m_, image("105_3.tif"), &verdict), TCS_RESULT_OK);
    EXPECT_EQ(verdict, 0u);
    EXPECT_EQ(m_.CheckQuality(&m_, nullptr, &verdict), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(m_.Extract(&m_, nullptr, &a), TCS_RESULT_NULL_POINTER);
}

TEST_F(MinutiaeAdapterTest, GeneralizeNeedsExactlyThreeAndANullOut) {
    ASSERT_EQ(open(mssMinutiaeOpen), TCS_RESULT_OK);
    EnrollTemplate* t[3] = {};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(m_.Extract(&m_, image("103_" + std::to_string(i + 1) + ".tif"), &t[i]), TCS_RESULT_OK);
        keep(t[i]);
        t[i]->userId = 30 + i;
    }
    EnrollTemplate* out = nullptr;
    uint32_t index = 9;
    EXPECT_EQ(m_.Generalize(&m_, t, 2, &out, &index), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(m_.Generalize(&m_, nullptr, 3, &out, &index), TCS_RESULT_BAD_PARAM);
    EnrollTemplate* notNull = t[0];
    EXPECT_EQ(m_.Generalize(&m_, t, 3, &notNull, &index), TCS_RESULT_BAD_PARAM);
    TcsResult result = m_.Generalize(&m_, t, 3, &out, &index);
    ASSERT_TRUE(result == TCS_RESULT_OK || result == TCS_RESULT_ERROR);
    if (result == TCS_RESULT_OK) {
        keep(out);
        ASSERT_LT(index, 3u);
        EXPECT_EQ(uint32_t(out->userId), 30 + index);
        EXPECT_EQ(uint32_t(out->version), 1u);
    }
}

}  // namespace

namespace {

using namespace matchtest;

// A print without minutiae still yields a template (the engine's "no features" is success); an image
// the engine cannot take fails extraction with 54, which the quality check reports as verdict 1.
TEST_F(MinutiaeAdapterTest, NoFeaturesIsATemplateAndFailedExtractionIsPoorQuality) {
    ASSERT_EQ(open(mssMinutiaeOpen), TCS_RESULT_OK);
    ImageRecord* blank = image("101_1.tif");
    std::memset(tcsImagePixels(blank), 200, size_t(blank->rows) * blank->columns);
    EnrollTemplate* t = nullptr;
    ASSERT_EQ(m_.Extract(&m_, blank, &t), TCS_RESULT_OK);
    ASSERT_NE(keep(t), nullptr);
    EXPECT_GT(uint32_t(t->dataSize), 0u);
    EXPECT_EQ(uint32_t(t->version), 1u);
    uint32_t verdict = 9;
    EXPECT_EQ(m_.CheckQuality(&m_, blank, &verdict), TCS_RESULT_OK);
    EXPECT_EQ(verdict, 0u);

    ImageRecord* tiny = image("101_1.tif", 8, 8);
    EnrollTemplate* none = nullptr;
    EXPECT_EQ(m_.Extract(&m_, tiny, &none), TCS_RESULT_ERROR);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(m_.CheckQuality(&m_, tiny, &verdict), TCS_RESULT_OK);
    EXPECT_EQ(verdict, 1u);
}

// The flags the adaptive matcher drives: 8 keeps the probe's features, 4 reuses them without an
// image, 32 matches the single-template data (user id and finger still from the listed entry), and
// 16 only releases what is kept.
TEST_F(MinutiaeAdapterTest, ControlFlagsOfTheImageMatch) {
    ASSERT_EQ(open(mssMinutiaeOpen), TCS_RESULT_OK);
    ASSERT_EQ(m_.SetFAR(&m_, 100000), TCS_RESULT_OK);
    EnrollTemplate *genuine = nullptr, *other = nullptr;
    ASSERT_EQ(m_.Extract(&m_, image("105_1.tif"), &genuine), TCS_RESULT_OK);
    ASSERT_EQ(m_.Extract(&m_, image("107_1.tif"), &other), TCS_RESULT_OK);
    keep(genuine), keep(other);
    other->userId = 8;
    other->finger = 3;
    EnrollTemplate* list[1] = {other};
    MatchResult r{};

    m_.controlFlags = MSS_FLAG_KEEP_PROBE;
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, image("105_2.tif"), list, 1, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 0u);
    ASSERT_NE(m_.probeFeatures, nullptr);
    const void* kept = m_.probeFeatures;

    m_.controlFlags = MSS_FLAG_KEEP_PROBE | MSS_FLAG_PROBE_READY | MSS_FLAG_SINGLE_TEMPLATE;
    m_.singleTemplateData = genuine->data;
    m_.singleTemplateSize = genuine->dataSize;
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, nullptr, list, 1, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.status, 1u);
    EXPECT_EQ(r.userId, 8u);
    EXPECT_EQ(r.finger, 3u);
    EXPECT_EQ(m_.probeFeatures, kept);

    m_.controlFlags = MSS_FLAG_RELEASE_ONLY;
    r = MatchResult{};
    r.score = 77;
    ASSERT_EQ(m_.MatchImageToTemplates(&m_, nullptr, nullptr, 0, 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.score, 77u);  // no matching
    EXPECT_EQ(m_.probeFeatures, nullptr);
    EXPECT_EQ(m_.probeFeatureSize, 10000u);
    m_.controlFlags = 0;
    m_.singleTemplateData = nullptr;
}

}  // namespace
