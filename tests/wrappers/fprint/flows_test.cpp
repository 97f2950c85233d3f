// Print checks, the three-swipe enrollment list and the choice of the enrollment print by cross-matching.
#include "wrappers/fprint/tfs.h"

#include "platform/memory.h"
#include "tcs/core.h"
#include "tcs/matching/mss.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

class HandleMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(tcsSafeHandlesInitialize(), TCS_RESULT_OK);
        _tcsImageRegisterCleanup();
        _tcsTemplateRegisterCleanups();
    }
    void TearDown() override { tcsSafeHandlesUnInitialize(); }

    static uint64_t image(uint32_t quality, uint32_t rows = 8, uint32_t columns = 8) {
        std::vector<uint8_t> pixels(size_t(rows) * columns + 1, 0x80);
        uint64_t handle = 0;
        EXPECT_EQ(tcsImageCreate(&handle, rows != 0 ? pixels.data() : nullptr, uint32_t(pixels.size()), rows,
                                 columns, quality),
                  TCS_RESULT_OK);
        return handle;
    }
};

using PrintChecks = HandleMapTest;

TEST_F(PrintChecks, QualityFlagsGiveTheFirstMessageInOrder) {
    struct Case {
        uint32_t quality;
        int strict;
        uint32_t flags;
        TcsResult result;
        const char* message;  // null: no message kept
    };
    for (auto [quality, strict, flags, result, message] : std::initializer_list<Case>{
             {0, 1, 0, TCS_RESULT_OK, nullptr},
             {0x2, 0, 0, TCS_RESULT_OK, nullptr},  // only strict checks look at the flags
             {0x2, 1, 0, 1009, "Swiped too fast"},
             {0x2 | 0x8, 1, 0, 1009, "Swiped too fast"},
             {0x2 | 0x8, 1, 2, 1009, "Finger went backwards"},  // lenient skips the speed
             {0x40, 1, 0, TCS_RESULT_OK, nullptr},              // tolerated by the strict check
             {0x800000 | 0x800, 1, 0, 1009, "Correlation failure"},
             {0x80000002u, 0, 0, 1009, "Swiped too fast"},
             {0x81000000u, 0, 0, 1009, "Finger or sensor is too wet"},
             {0x81000000u, 0, 2, TCS_RESULT_OK, nullptr},  // skipped when lenient: nothing left to reject
             {0x80000000u | 0x200000, 0, 2, 1009, "Not a swipe, an accidental brush may be"},
         }) {
        uint64_t handle = image(quality);
        AppLastError record{};
        setAppLastError(&record, "stale", 5);
        EXPECT_EQ(CheckPrint(handle, strict, &record, flags), result) << std::hex << quality;
        if (message == nullptr) {
            EXPECT_EQ(record.text, nullptr) << std::hex << quality;  // cleared first
        } else {
            ASSERT_NE(record.text, nullptr);
            EXPECT_STREQ(record.text, message);
            EXPECT_EQ(record.code, 1009u);
            EXPECT_EQ(record.isError, 0u);
        }
        EXPECT_EQ(CheckPrint(handle, strict, nullptr, flags), result);  // no record: same verdict
        clearAppLastError(&record);
        tcsHandleDestroy(handle);
    }
}

TEST_F(PrintChecks, ImageWithoutColumnsAndNullImage) {
    uint64_t empty = image(0x80000000u, 0, 0);
    AppLastError record{};
    EXPECT_EQ(CheckPrint(empty, 0, &record, 0), 1009u);
    EXPECT_STREQ(record.text, "bad image columns");
    EXPECT_EQ(CheckPrint(0, 0, &record, 0), TCS_RESULT_NULL_POINTER);
    // Not an information code: the reporting source and line follow the message.
    EXPECT_EQ(std::string(record.text).rfind("pPrint is TCS_NULL - flows.cpp(", 0), 0u) << record.text;
    clearAppLastError(&record);
    tcsHandleDestroy(empty);
}

TEST_F(PrintChecks, PrintImageUsability) {
    struct Case {
        uint32_t quality, rows, columns;
        TcsResult result;
    };
    for (auto [quality, rows, columns, result] : std::initializer_list<Case>{
             {0, 8, 8, TCS_RESULT_OK},
             {0x2, 8, 8, TCS_RESULT_OK},
             {0x4, 8, 8, TCS_RESULT_BAD_PARAM},
             {0x80000000u, 8, 8, TCS_RESULT_BAD_PARAM},
             {0, 0, 0, TCS_RESULT_BAD_PARAM},
         }) {
        uint64_t handle = image(quality, rows, columns);
        EXPECT_EQ(CheckPrintImage(handle), result) << std::hex << quality << " " << rows;
        tcsHandleDestroy(handle);
    }
    EXPECT_EQ(CheckPrintImage(0), TCS_RESULT_NULL_POINTER);
}

TEST_F(PrintChecks, EnrollmentListTakesThreeUsableImages) {
    EXPECT_EQ(InitializeEnrollment(nullptr, 3), TCS_RESULT_NULL_POINTER);
    EnrollmentList list{};
    EXPECT_EQ(InitializeEnrollment(&list, 2), TCS_RESULT_BAD_PARAM);
    ASSERT_EQ(InitializeEnrollment(&list, 3), TCS_RESULT_OK);
    uint32_t done = 9;
    uint64_t shortImage = image(0x4);
    EXPECT_EQ(AddEnrollmentImage(&list, shortImage, &done), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(list.count, 0);
    uint64_t images[4] = {image(0), image(0), image(0), image(0)};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(AddEnrollmentImage(&list, images[i], &done), TCS_RESULT_OK);
        EXPECT_EQ(done, i == 2 ? 1u : 0u);
        EXPECT_EQ(list.images[i], images[i]);
    }
    EXPECT_EQ(AddEnrollmentImage(&list, images[3], &done), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(AddEnrollmentImage(&list, images[3], nullptr), TCS_RESULT_NULL_POINTER);
    for (uint64_t handle : images) tcsHandleDestroy(handle);
    tcsHandleDestroy(shortImage);
}

// A matcher whose templates carry their print's number in the user id and whose scores come from a table.
struct ScriptedMatcher {
    static inline uint32_t scores[3][3];
    static inline int failExtractAt = -1;
    static inline int failMatchOf = -1;
    static inline int extracted = 0;

    static TcsResult extract(MatcherRecord*, ImageRecord*, EnrollTemplate** out) {
        if (extracted == failExtractAt) return 303;
        const uint8_t data[4] = {1, 2, 3, 4};
        EnrollTemplate* templ = nullptr;
        TcsResult result = _tcsTemplateCreate(&templ, data, sizeof data);
        if (result != TCS_RESULT_OK) return result;
        templ->userId = uint32_t(extracted++);
        *out = templ;
        return TCS_RESULT_OK;
    }
    static TcsResult match(MatcherRecord*, EnrollTemplate* a, EnrollTemplate* b, MatchResult* out) {
        if (int(a->userId) == failMatchOf) return 302;
        out->score = scores[a->userId][b->userId];
        return TCS_RESULT_OK;
    }
};

class SelectPrint : public HandleMapTest {
protected:
    void SetUp() override {
        HandleMapTest::SetUp();
        // The handle map owns the record from here and frees it when it is torn down.
        auto* record = static_cast<MatcherRecord*>(palRealMalloc(sizeof(MatcherRecord)));
        ASSERT_NE(record, nullptr);
        std::memset(record, 0, sizeof *record);
        record->Extract = ScriptedMatcher::extract;
        record->Match = ScriptedMatcher::match;
        ASSERT_EQ(tcsSafeMatcherHandleCreate(record, &matcher_), TCS_RESULT_OK);
        ScriptedMatcher::failExtractAt = -1;
        ScriptedMatcher::failMatchOf = -1;
        ScriptedMatcher::extracted = 0;
        ASSERT_EQ(InitializeEnrollment(&list_, 3), TCS_RESULT_OK);
        for (uint64_t& handle : list_.images) handle = image(0);
    }
    void TearDown() override {
        for (uint64_t handle : list_.images) tcsHandleDestroy(handle);
        for (uint64_t handle : list_.templates) tcsHandleDestroy(handle);
        tcsHandleDestroy(matcher_);
        HandleMapTest::TearDown();
    }
    // Scores laid out so that print i's two matches average to averages[i].
    static void setAverages(uint32_t a0, uint32_t a1, uint32_t a2) {
        uint32_t averages[3] = {a0, a1, a2};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) ScriptedMatcher::scores[i][j] = averages[i];
        }
    }

    uint64_t matcher_ = 0;
    EnrollmentList list_{};
};

TEST_F(SelectPrint, BestComparisonValueWinsAndEarlierWinsTies) {
    struct Case {
        uint32_t averages[3];
        int32_t index;
        int32_t score;
    };
    for (const Case& c : std::initializer_list<Case>{
             {{30, 31, 30}, 1, 30},     // 29, 30, 29
             {{101, 100, 50}, 0, 99},   // 99 and 99: the earlier stays
             {{20, 20, 20}, 0, 19},     // raw 20 passes; the comparison value is what is reported
             {{10, 50, 60}, 2, 59},
         }) {
        for (uint64_t& handle : list_.templates) {
            tcsHandleDestroy(handle);
            handle = 0;
        }
        ScriptedMatcher::extracted = 0;
        setAverages(c.averages[0], c.averages[1], c.averages[2]);
        uint64_t chosen = 0;
        int32_t index = 7, score = 7;
        ASSERT_EQ(selectPrint(&list_, matcher_, &chosen, &index, &score), TCS_RESULT_OK) << c.averages[0];
        EXPECT_EQ(index, c.index) << c.averages[0];
        EXPECT_EQ(score, c.score) << c.averages[0];
        EXPECT_EQ(chosen, list_.templates[c.index]);
    }
}

TEST_F(SelectPrint, AveragesUseBothMatchesAndUnsignedHalving) {
    ScriptedMatcher::scores[0][1] = 10;
    ScriptedMatcher::scores[0][2] = 31;  // (10 + 31) >> 1 = 20
    ScriptedMatcher::scores[1][0] = 0;
    ScriptedMatcher::scores[1][2] = 39;  // 19
    ScriptedMatcher::scores[2][0] = 0;
    ScriptedMatcher::scores[2][1] = 0;
    uint64_t chosen = 0;
    int32_t index = 0, score = 0;
    ASSERT_EQ(selectPrint(&list_, matcher_, &chosen, &index, &score), TCS_RESULT_OK);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(score, 19);  // 20 * 99 / 100
}

TEST_F(SelectPrint, TooDifferentPrintsAndFailures) {
    setAverages(19, 19, 19);
    uint64_t chosen = 0;
    int32_t index = 0, score = 5;
    EXPECT_EQ(selectPrint(&list_, matcher_, &chosen, &index, &score), TCS_RESULT_ERROR);
    EXPECT_EQ(index, -2);
    EXPECT_EQ(score, 0);
    EXPECT_EQ(chosen, 0u);

    // A print whose matches fail cannot be chosen, even when its scores would have been best.
    for (uint64_t& handle : list_.templates) {
        tcsHandleDestroy(handle);
        handle = 0;
    }
    ScriptedMatcher::extracted = 0;
    setAverages(40, 90, 30);
    ScriptedMatcher::failMatchOf = 1;
    ASSERT_EQ(selectPrint(&list_, matcher_, &chosen, &index, &score), TCS_RESULT_OK);
    EXPECT_EQ(index, 0);

    for (uint64_t& handle : list_.templates) {
        tcsHandleDestroy(handle);
        handle = 0;
    }
    ScriptedMatcher::extracted = 0;
    ScriptedMatcher::failExtractAt = 1;
    EXPECT_EQ(selectPrint(&list_, matcher_, &chosen, &index, &score), 303u);
    EXPECT_EQ(selectPrint(nullptr, matcher_, &chosen, &index, &score), TCS_RESULT_NULL_POINTER);
}

TEST_F(SelectPrint, SampleEnrollmentChoosesAndKeepsOnlyTheChosenTemplate) {
    AppLastError error{};
    EXPECT_EQ(InitEnrollment(2, &error), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(std::string(error.text).rfind("Invalid Print Count - ", 0), 0u);
    ASSERT_EQ(InitEnrollment(3, &error), TCS_RESULT_OK);
    uint32_t done = 0;
    uint64_t rejected = image(0x2);
    EXPECT_EQ(AddEnrollmentPrint(rejected, &done, &error), 1009u);
    EXPECT_STREQ(error.text, "Swiped too fast");
    EXPECT_EQ(AddEnrollmentPrint(rejected, nullptr, &error), TCS_RESULT_NULL_POINTER);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(AddEnrollmentPrint(list_.images[i], &done, &error), TCS_RESULT_OK);
        EXPECT_EQ(done, i == 2 ? 1u : 0u);
    }
    EXPECT_EQ(AddEnrollmentPrint(list_.images[0], &done, &error), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(std::string(error.text).rfind("Print Count >= Max - ", 0), 0u);

    setAverages(30, 31, 30);
    uint64_t chosen = 0;
    int32_t index = -1;
    uint32_t score = 0;
    EXPECT_EQ(ChoosePrint(matcher_, nullptr, &index, &score, &error), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(std::string(error.text).rfind("ppTemplateOut is TCS_NULL", 0), 0u);
    ASSERT_EQ(ChoosePrint(matcher_, &chosen, &index, &score, &error), TCS_RESULT_OK);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(score, 30u);
    EXPECT_EQ(chosen, gEnroller.templates[1]);
    EXPECT_EQ(gEnroller.templates[0], 0u);  // the others are destroyed
    EXPECT_EQ(gEnroller.templates[2], 0u);
    EXPECT_NE(tcsTemplateGetDataSize(chosen), 0u);
    tcsHandleDestroy(chosen);

    // Too different: 1008, no template kept.
    ScriptedMatcher::extracted = 0;
    setAverages(10, 10, 10);
    EXPECT_EQ(ChoosePrint(matcher_, &chosen, &index, &score, &error), 1008u);
    EXPECT_STREQ(error.text, "Fingerprints are too different.");
    for (uint64_t templ : gEnroller.templates) EXPECT_EQ(templ, 0u);
    clearAppLastError(&error);
    tcsHandleDestroy(rejected);
    std::memset(&gEnroller, 0, sizeof gEnroller);
}

TEST(SingleSensorWait, EndsOnFlagUnplugOrTimeOut) {
    struct Case {
        uint32_t flag, unplugged, timeoutMs;
        TcsResult result;
        uint32_t timedOut;
    };
    for (auto [flag, unplugged, timeoutMs, result, timedOut] : std::initializer_list<Case>{
             {1, 0, 0, 77, 0},      // the entry's status
             {1, 1, 0, 77, 0},      // a delivered print wins over the unplug
             {0, 1, 0, 19, 0},
             {0, 0, 150, 1006, 1},
         }) {
        GroupSensorEntry entry{};
        entry.captureStatus = 77;
        entry.unplugged = unplugged;
        volatile uint32_t value = flag;
        EXPECT_EQ(RunServiceUntilTrue(&entry, &value, timeoutMs), result) << flag << unplugged << timeoutMs;
        EXPECT_EQ(entry.timedOut, timedOut);
    }
    GroupSensorEntry entry{};
    EXPECT_EQ(RunServiceUntilTrue(&entry, nullptr, 0), TCS_RESULT_NULL_POINTER);
}

}  // namespace
