// Calibration results container: value sets in force, the compact, old and blob forms, "LastCal" keys.
#include "tcs/sensorctl/calibration/cal_results.h"
#include "tcs/sensorctl/calibration/calibration.h"

#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/test_seams.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Container {
    CalResultsContainer* c = nullptr;
    explicit Container(uint32_t identity = 1, const CalDefaultsRecord* defaults = nullptr) {
        const uint32_t data[4] = {9, 18, 10, 0};
        EXPECT_EQ(calResultsContainerInit(identity, reinterpret_cast<const uint8_t*>(data), defaults, &c), 0u);
    }
    ~Container() { calResultsContainerUnInit(c); }
};

// Each test gets its own settings file.
class CalSettings : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = "/tmp/cal_results_test_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::remove(path_.c_str());
        palTestSetSettingsPath(path_.c_str());
    }
    void TearDown() override {
        palTestSetSettingsPath(nullptr);
        std::remove(path_.c_str());
    }
    std::string path_;
};

const uint8_t kCommDetDefaults[16] = {0x00, 0x03, 0x00, 0x02, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
const uint8_t kOffsetDefault[1] = {0x40};
const uint8_t kWoeDefault[2] = {0x21, 0x80};

TEST_F(CalSettings, MissingBlockIsCreatedWithDefaultsAndSettingsOverrides) {
    // CF1 host-order 0x0300 from the row, CF2 replaced by the settings value under "SO18_SS10".
    palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\CAL", "SO18_SS10_CF2", 0x500);
    palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\CAL", "SO18_SS10_PGA_OFFSET", 77);
    uint8_t commDet[16];
    std::memcpy(commDet, kCommDetDefaults, 16);
    const uint16_t cf1 = 0x300, cf2 = 0x200;
    std::memcpy(commDet, &cf1, 2);
    std::memcpy(commDet + 2, &cf2, 2);
    const CalDefaultsRecord defaults = {{commDet, kOffsetDefault, nullptr, nullptr, kWoeDefault, nullptr, nullptr}};
    Container box(1, &defaults);
    uint16_t word = 0;
    ASSERT_EQ(calResultsGetWord(box.c, 0, CAL_SET_DEFAULT, CAL_WORD_CF1, &word), 0u);
    EXPECT_EQ(word, 0x300);
    ASSERT_EQ(calResultsGetWord(box.c, 0, CAL_SET_DEFAULT, CAL_WORD_CF2, &word), 0u);
    EXPECT_EQ(word, 0x500);
    uint8_t byte = 0;
    ASSERT_EQ(calResultsGetByte(box.c, 0, CAL_SET_DEFAULT, CAL_ITEM_VGAB_SEC, &byte), 0u);
    EXPECT_EQ(byte, 12);
    ASSERT_EQ(calResultsGetByte(box.c, 1, CAL_SET_DEFAULT, CAL_ITEM_OFFSET, &byte), 0u);
    EXPECT_EQ(byte, 77);
    ASSERT_EQ(calResultsGetByte(box.c, 4, CAL_SET_DEFAULT, CAL_ITEM_GAIN_PRI, &byte), 0u);
    EXPECT_EQ(byte, 0x80);
    // No default for Adc: zero.
    byte = 99;
    ASSERT_EQ(calResultsGetByte(box.c, 2, CAL_SET_DEFAULT, CAL_ITEM_DELAY, &byte), 0u);
    EXPECT_EQ(byte, 0);
}

TEST(CalResults, WritesLandInChosenAndOverriddenWithSecPartner) {
    Container box;
    ASSERT_EQ(calResultsSetByte(box.c, 0, CAL_ITEM_LNA1B_PRI, 5), 0u);
    struct Case { uint32_t set, item; uint8_t expected; };
    for (auto [set, item, expected] : std::initializer_list<Case>{{CAL_SET_CHOSEN, CAL_ITEM_LNA1B_PRI, 5},
                                                                   {CAL_SET_CHOSEN, CAL_ITEM_LNA1B_SEC, 0},
                                                                   {CAL_SET_OVERRIDDEN, CAL_ITEM_LNA1B_PRI, 5},
                                                                   {CAL_SET_OVERRIDDEN, CAL_ITEM_LNA1B_SEC, 5},
                                                                   {CAL_SET_DEFAULT, CAL_ITEM_LNA1B_PRI, 0}}) {
        uint8_t value = 0xEE;
        ASSERT_EQ(calResultsGetByte(box.c, 0, set, item, &value), 0u);
        EXPECT_EQ(value, expected) << set << "/" << item;
    }
    ASSERT_EQ(calResultsSetByte(box.c, 3, CAL_ITEM_GAIN_PRI, 9), 0u);
    uint8_t gainSec = 0;
    ASSERT_EQ(calResultsGetByte(box.c, 3, CAL_SET_OVERRIDDEN, CAL_ITEM_GAIN_SEC, &gainSec), 0u);
    EXPECT_EQ(gainSec, 9);
    ASSERT_EQ(calResultsSetWord(box.c, 0, CAL_WORD_CF2, 0x0702), 0u);
    uint16_t cf2 = 0;
    ASSERT_EQ(calResultsGetWord(box.c, 0, CAL_SET_OVERRIDDEN, CAL_WORD_CF2, &cf2), 0u);
    EXPECT_EQ(cf2, 0x0702);
}

TEST(CalResults, BadItemsFlagsAndBlocks) {
    Container box;
    uint8_t byte = 0;
    uint16_t word = 0;
    uint32_t flag = 0;
    EXPECT_EQ(calResultsGetByte(box.c, 7, CAL_SET_CHOSEN, 0, &byte), 17u);
    EXPECT_EQ(calResultsGetByte(box.c, 1, CAL_SET_CHOSEN, CAL_ITEM_DELAY, &byte), 17u);
    EXPECT_EQ(calResultsSetByte(box.c, 5, 3, 1), 17u);  // AspLna1 has only even items
    EXPECT_EQ(calResultsGetWord(box.c, 0, CAL_SET_CHOSEN, 5, &word), 17u);
    EXPECT_EQ(calResultsSetFlag(box.c, 0, 7), 17u);
    EXPECT_EQ(calResultsGetFlag(box.c, 9, 0, &flag), 40u);
    EXPECT_EQ(calResultsGetByte(nullptr, 0, 0, 0, &byte), 17u);
    EXPECT_EQ(calResultsGetByte(box.c, 0, 0, 0, nullptr), 17u);
    uint32_t status = 0;
    EXPECT_EQ(calResultsGetGetPrintStatus(box.c, &status), 79u);
    ASSERT_EQ(calResultsSetGetPrintStatus(box.c, 3), 0u);
    ASSERT_EQ(calResultsSetGetPrintStatus(box.c, 4), 0u);
    ASSERT_EQ(calResultsGetGetPrintStatus(box.c, &status), 0u);
    EXPECT_EQ(status, 4u);
}

TEST(CalResults, FlagsOnlyOnTheirBlock) {
    Container box;
    ASSERT_EQ(calResultsSetFlag(box.c, 2, CAL_FLAG_IS_OVERRIDDEN), 0u);
    uint32_t value = 0;
    ASSERT_EQ(calResultsGetFlag(box.c, 2, CAL_FLAG_IS_OVERRIDDEN, &value), 0u);
    EXPECT_EQ(value, 1u);
    ASSERT_EQ(calResultsGetFlag(box.c, 2, CAL_FLAG_IS_DEFAULT, &value), 0u);
    EXPECT_EQ(value, 0u);
    // InvertImage on a block other than CommDet: succeeds and leaves the out value alone.
    ASSERT_EQ(calResultsSetFlag(box.c, 2, CAL_FLAG_INVERT_IMAGE), 0u);
    value = 0x55;
    ASSERT_EQ(calResultsGetFlag(box.c, 2, CAL_FLAG_INVERT_IMAGE, &value), 0u);
    EXPECT_EQ(value, 0x55u);
    ASSERT_EQ(calResultsSetFlag(box.c, 0, CAL_FLAG_CF2_HALF_STEP), 0u);
    ASSERT_EQ(calResultsGetFlag(box.c, 0, CAL_FLAG_CF2_HALF_STEP, &value), 0u);
    EXPECT_EQ(value, 1u);
}

TEST(CalResults, CompactFormLengthWritingAndReading) {
    Container box;
    ASSERT_EQ(calResultsSetByte(box.c, 1, CAL_ITEM_OFFSET, 0x33), 0u);
    ASSERT_EQ(calResultsSetByte(box.c, 6, CAL_ITEM_GAIN_PRI, 0x44), 0u);
    uint32_t length = 0;
    ASSERT_EQ(calResultsGetCompactResults(box.c, &length, nullptr), 0u);
    EXPECT_EQ(length, 4u);
    uint8_t small[3];
    uint32_t smallLength = sizeof small;
    EXPECT_EQ(calResultsGetCompactResults(box.c, &smallLength, small), 5u);
    // Adc in force from its Default set.
    ASSERT_EQ(calResultsSetFlag(box.c, 2, CAL_FLAG_IS_DEFAULT), 0u);
    uint8_t out[16];
    length = sizeof out;
    ASSERT_EQ(calResultsGetCompactResults(box.c, &length, out), 0u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + length), (std::vector<uint8_t>{0x21, 0x33, 0x41, 0x00, 0xC1, 0x44}));

    Container copy;
    const uint8_t compact[] = {0x21, 0x35, 0x62, 0x07, 0x08, 0xC1, 0x09};
    ASSERT_EQ(calResultsSetFromCompactResults(copy.c, sizeof compact, compact), 0u);
    uint8_t value = 0;
    ASSERT_EQ(calResultsGetByte(copy.c, 3, CAL_SET_CHOSEN, CAL_ITEM_GAIN_SEC, &value), 0u);
    EXPECT_EQ(value, 8);
    struct Bad { std::vector<uint8_t> bytes; uint32_t result; };
    for (const auto& [bytes, result] : std::initializer_list<Bad>{
             {{0x21}, 17},               // entry runs past the end
             {{0xE1, 0x00}, 17},         // kind 7
             {{0x22, 0x01, 0x02}, 17},   // longer than the block's set
         }) {
        EXPECT_EQ(calResultsSetFromCompactResults(copy.c, uint32_t(bytes.size()), bytes.data()), result);
    }
    EXPECT_EQ(calResultsSetFromCompactResults(copy.c, 0, nullptr), 0u);
}

TEST(CalResults, OldFormRoundTripOfCapacitorCodes) {
    Container box;
    ASSERT_EQ(calResultsSetWord(box.c, 0, CAL_WORD_CF1, 768), 0u);
    ASSERT_EQ(calResultsSetWord(box.c, 0, CAL_WORD_CF2, 512), 0u);
    ASSERT_EQ(calResultsSetByte(box.c, 0, CAL_ITEM_GAIN_TABLE_INDEX_PRI, 7), 0u);
    ASSERT_EQ(calResultsSetWord(box.c, 0, CAL_WORD_STATUS, 4), 0u);
    ASSERT_EQ(calResultsSetWord(box.c, 0, CAL_WORD_ATTEMPTS, 2), 0u);
    ASSERT_EQ(calResultsSetFlag(box.c, 0, CAL_FLAG_INVERT_IMAGE), 0u);
    ASSERT_EQ(calResultsSetByte(box.c, 4, CAL_ITEM_THRESHOLD, 0x12), 0u);
    ASSERT_EQ(calResultsSetByte(box.c, 4, CAL_ITEM_GAIN_PRI, 0x34), 0u);
    ASSERT_EQ(calResultsSetByte(box.c, 4, CAL_ITEM_STATE, 5), 0u);
    CalOldFormatRecord record{};
    EXPECT_EQ(calResultsGetResultsInOldFormat(box.c, &record), 79u);  // no get-print status yet
    ASSERT_EQ(calResultsSetGetPrintStatus(box.c, 6), 0u);
    ASSERT_EQ(calResultsGetResultsInOldFormat(box.c, &record), 0u);
    ASSERT_EQ(record.count, 2u);
    const uint32_t word = record.words[0];
    EXPECT_EQ((word >> 24) & 0xF, 3u);
    EXPECT_EQ((word >> 20) & 0xF, 2u);
    EXPECT_EQ((word >> 12) & 0xFF, 7u);
    EXPECT_EQ(word & 0xFF, 4u);
    EXPECT_EQ((word >> 8) & 3, 2u);  // the reader's Attempts bits
    EXPECT_EQ((word >> 10) & 1, 1u);
    EXPECT_EQ(record.words[1], 0x5u << 28 | 0x34u << 20 | 0x12u << 12);
    EXPECT_EQ(record.getPrintStatus, 6u);

    Container back;
    ASSERT_EQ(calResultsSetResultsFromOldFormat(back.c, &record), 0u);
    palRealFree(record.words);
    uint16_t cf = 0;
    ASSERT_EQ(calResultsGetWord(back.c, 0, CAL_SET_CHOSEN, CAL_WORD_CF1, &cf), 0u);
    EXPECT_EQ(cf, 768);
    ASSERT_EQ(calResultsGetWord(back.c, 0, CAL_SET_CHOSEN, CAL_WORD_CF2, &cf), 0u);
    EXPECT_EQ(cf, 512);
    uint32_t invert = 0;
    ASSERT_EQ(calResultsGetFlag(back.c, 0, CAL_FLAG_INVERT_IMAGE, &invert), 0u);
    EXPECT_EQ(invert, 1u);
    // The Woe word comes back as the second block (tag 2) by position.
    uint8_t value = 0;
    ASSERT_EQ(calResultsGetByte(back.c, 1, CAL_SET_CHOSEN, CAL_ITEM_OFFSET, &value), 0u);
    EXPECT_EQ(value, 0x12);

    CalOldFormatRecord tooMany{0, 0, record.words, 8};
    EXPECT_EQ(calResultsSetResultsFromOldFormat(back.c, &tooMany), 17u);
}

TEST(CalResults, OldFormWithDefaultBitWritesDefaultSet) {
    Container box;
    uint32_t words[3] = {0x3u << 24 | 0x1u << 20 | 0x20, 0, 0x20 | 0x11u << 12 | 0x100};
    const CalOldFormatRecord record{1, 0, words, 3};
    ASSERT_EQ(calResultsSetResultsFromOldFormat(box.c, &record), 0u);
    uint16_t cf = 0;
    ASSERT_EQ(calResultsGetWord(box.c, 0, CAL_SET_DEFAULT, CAL_WORD_CF1, &cf), 0u);
    EXPECT_EQ(cf, 768);
    uint8_t delay = 0;
    ASSERT_EQ(calResultsGetByte(box.c, 2, CAL_SET_DEFAULT, CAL_ITEM_DELAY, &delay), 0u);
    EXPECT_EQ(delay, 0x11);
    uint16_t status = 0, attempts = 0;
    ASSERT_EQ(calResultsGetWord(box.c, 2, 0, CAL_WORD_STATUS, &status), 0u);
    ASSERT_EQ(calResultsGetWord(box.c, 2, 0, CAL_WORD_ATTEMPTS, &attempts), 0u);
    EXPECT_EQ(status, 0u);  // bit 5 is the default flag, not Status
    EXPECT_EQ(attempts, 1u);
}

TEST(CalResults, ContainerBlobRoundTrip) {
    Container box;
    ASSERT_EQ(calResultsSetWord(box.c, 0, CAL_WORD_CF1, 0x0302), 0u);
    ASSERT_EQ(calResultsSetByte(box.c, 5, CAL_ITEM_GAIN_TABLE_INDEX_PRI, 4), 0u);
    ASSERT_EQ(calResultsSetGetPrintStatus(box.c, 0x01020304), 0u);
    uint32_t size = 0;
    ASSERT_EQ(calResultsGetAsBlob(box.c, &size, nullptr), 0u);
    EXPECT_EQ(size, (4u + 62) + (4 + 27) + (4 + 4));
    std::vector<uint8_t> blob(size);
    ASSERT_EQ(calResultsGetAsBlob(box.c, &size, blob.data()), 0u);

    Container back;
    ASSERT_EQ(calResultsSetFromBlob(back.c, size, blob.data()), 0u);
    blob.assign(blob.size(), 0);  // the parsed container keeps its own copy
    uint16_t cf1 = 0;
    ASSERT_EQ(calResultsGetWord(back.c, 0, CAL_SET_CHOSEN, CAL_WORD_CF1, &cf1), 0u);
    EXPECT_EQ(cf1, 0x0302);
    uint32_t status = 0;
    ASSERT_EQ(calResultsGetGetPrintStatus(back.c, &status), 0u);
    EXPECT_EQ(status, 0x01020304u);
    // Parsed blocks take writes like built ones.
    ASSERT_EQ(calResultsSetByte(back.c, 5, CAL_ITEM_GAIN_TABLE_INDEX_PRI, 6), 0u);
    uint8_t index = 0;
    ASSERT_EQ(calResultsGetByte(back.c, 5, CAL_SET_CHOSEN, CAL_ITEM_GAIN_TABLE_INDEX_PRI, &index), 0u);
    EXPECT_EQ(index, 6);
}

TEST(CalBlob, LengthsAndShortBuffer) {
    Container box;
    ASSERT_EQ(calResultsSetByte(box.c, 0, CAL_ITEM_LNA1A_PRI, 1), 0u);
    ASSERT_EQ(calResultsSetByte(box.c, 6, CAL_ITEM_GAIN_PRI, 2), 0u);
    uint16_t length = 0;
    ASSERT_EQ(calResultsGetCalibrationDataBlob(box.c, &length, nullptr), 0u);
    EXPECT_EQ(length, 205u);

    Container woe;
    ASSERT_EQ(calResultsSetByte(woe.c, 4, CAL_ITEM_THRESHOLD, 1), 0u);
    length = 0;
    ASSERT_EQ(calResultsGetCalibrationDataBlob(woe.c, &length, nullptr), 0u);
    EXPECT_EQ(length, 0u);

    Container other(3);
    length = 0;
    EXPECT_EQ(calResultsGetCalibrationDataBlob(other.c, &length, nullptr), 17u);

    Container two;
    ASSERT_EQ(calResultsSetByte(two.c, 0, CAL_ITEM_LNA1A_PRI, 1), 0u);
    ASSERT_EQ(calResultsSetByte(two.c, 1, CAL_ITEM_OFFSET, 1), 0u);
    std::vector<uint8_t> buffer(200, 0xAA);
    length = 200;
    EXPECT_EQ(calResultsGetCalibrationDataBlob(two.c, &length, buffer.data()), 5u);
    EXPECT_EQ(buffer[191], 4);     // the CommDet records are written
    EXPECT_EQ(buffer[192], 0xAA);  // and nothing of PgaOffset
}

TEST(CalBlob, RecordBytes) {
    Container box;
    ASSERT_EQ(calResultsSetWord(box.c, 0, CAL_WORD_CF1, 0x0302), 0u);
    ASSERT_EQ(calResultsSetByte(box.c, 0, CAL_ITEM_VGAB_SEC, 0x5A), 0u);
    ASSERT_EQ(calResultsSetByte(box.c, 2, CAL_ITEM_DELAY, 0x17), 0u);
    uint16_t length = 0;
    ASSERT_EQ(calResultsGetCalibrationDataBlob(box.c, &length, nullptr), 0u);
    ASSERT_EQ(length, 210u);
    std::vector<uint8_t> blob(length);
    ASSERT_EQ(calResultsGetCalibrationDataBlob(box.c, &length, blob.data()), 0u);
    const std::vector<uint8_t> cf1 = {0x05, 0x00, 0x0E, 0x00, 0x0C, 0x20, 0xFD, 0x00, 0xFF, 0xFF,
                                      0x00, 0x00, 0x00, 0x00, 0x02, 0x03, 0x00, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(blob.begin(), blob.begin() + 18), cf1);
    const std::vector<uint8_t> vgabSec = {0x03, 0x00, 0x09, 0x00, 0x58, 0x21, 0x04, 0x30, 0x5A, 0x00, 0x00, 0x00, 0x04};
    EXPECT_EQ(std::vector<uint8_t>(blob.begin() + 179, blob.begin() + 192), vgabSec);
    const std::vector<uint8_t> adc = {0x05, 0x00, 0x0E, 0x00, 0x14, 0x20, 0xFF, 0xFF, 0x00, 0xFF,
                                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x17, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(blob.begin() + 192, blob.end()), adc);
}

// The blob carries the set in force: Default when the block is marked default (whatever else it is
// marked), Overridden when it is marked overridden, Chosen otherwise.
TEST_F(CalSettings, BlobWritesTheSetInForce) {
    const char* base = "SOFTWARE\\Tovantic\\tfs530\\0A0B0C0D0E0F";
    const std::string block = std::string(base) + "\\LastCal\\PgaOffset";
    struct Case {
        uint32_t isDefault;
        uint32_t isOverridden;
        uint8_t written;
    };
    for (auto [isDefault, isOverridden, written] : std::initializer_list<Case>{
             {0, 0, 0x22}, {1, 0, 0x11}, {0, 1, 0x33}, {1, 1, 0x11}}) {
        SCOPED_TRACE(::testing::Message() << isDefault << isOverridden);
        ASSERT_EQ(palSetPersistentDataLongValue(block.c_str(), "IsDefault", isDefault), 0u);
        ASSERT_EQ(palSetPersistentDataLongValue(block.c_str(), "IsOverridden", isOverridden), 0u);
        ASSERT_EQ(palSetPersistentDataLongValue((block + "\\Default").c_str(), "Offset", 0x11), 0u);
        ASSERT_EQ(palSetPersistentDataLongValue((block + "\\Chosen").c_str(), "Offset", 0x22), 0u);
        ASSERT_EQ(palSetPersistentDataLongValue((block + "\\Overridden").c_str(), "Offset", 0x33), 0u);
        Container box;
        ASSERT_EQ(calResultsLoadLastCalDataFromPersistentStorage(box.c, base), 0u);
        uint16_t length = 0;
        ASSERT_EQ(calResultsGetCalibrationDataBlob(box.c, &length, nullptr), 0u);
        ASSERT_EQ(length, 13u);
        std::vector<uint8_t> blob(length);
        ASSERT_EQ(calResultsGetCalibrationDataBlob(box.c, &length, blob.data()), 0u);
        const std::vector<uint8_t> expected = {0x03, 0x00, 0x09, 0x00, 0xC8, 0x20, 0x04, 0x30, written, 0, 0, 0, 0x04};
        EXPECT_EQ(blob, expected);
    }
}

TEST_F(CalSettings, LastCalRoundTrip) {
    Container box;
    ASSERT_EQ(calResultsSetWord(box.c, 0, CAL_WORD_CF1, 0x0480), 0u);
    ASSERT_EQ(calResultsSetByte(box.c, 0, CAL_ITEM_VGAA_SEC, 0x21), 0u);
    ASSERT_EQ(calResultsSetByte(box.c, 0, CAL_ITEM_GAIN_TABLE_INDEX_SEC, 3), 0u);
    ASSERT_EQ(calResultsSetFlag(box.c, 0, CAL_FLAG_CF1_HALF_STEP), 0u);
    ASSERT_EQ(calResultsSetWord(box.c, 0, CAL_WORD_STATUS, 4), 0u);
    ASSERT_EQ(calResultsSetByte(box.c, 4, CAL_ITEM_STATE, 2), 0u);
    ASSERT_EQ(calResultsSetFlag(box.c, 4, CAL_FLAG_IS_DEFAULT), 0u);
    const char* base = "SOFTWARE\\Tovantic\\tfs530\\0A0B0C0D0E0F";
    ASSERT_EQ(calResultsSaveCalDataToPersistentStorage(box.c, base), 0u);
    uint32_t stored = 0;
    ASSERT_EQ(palGetPersistentDataLongValue("SOFTWARE\\Tovantic\\tfs530\\0A0B0C0D0E0F\\LastCal\\CommDet\\Chosen",
                                            "CF1", 0, &stored), 0u);
    EXPECT_EQ(stored, 0x480u);

    Container back;
    ASSERT_EQ(calResultsLoadLastCalDataFromPersistentStorage(back.c, base), 0u);
    uint16_t word = 0;
    ASSERT_EQ(calResultsGetWord(back.c, 0, CAL_SET_OVERRIDDEN, CAL_WORD_CF1, &word), 0u);
    EXPECT_EQ(word, 0x480);
    ASSERT_EQ(calResultsGetWord(back.c, 0, CAL_SET_CHOSEN, CAL_WORD_STATUS, &word), 0u);
    EXPECT_EQ(word, 4);
    uint8_t byte = 0;
    ASSERT_EQ(calResultsGetByte(back.c, 0, CAL_SET_CHOSEN, CAL_ITEM_VGAA_SEC, &byte), 0u);
    EXPECT_EQ(byte, 0x21);
    ASSERT_EQ(calResultsGetByte(back.c, 0, CAL_SET_CHOSEN, CAL_ITEM_GAIN_TABLE_INDEX_SEC, &byte), 0u);
    EXPECT_EQ(byte, 3);
    ASSERT_EQ(calResultsGetByte(back.c, 4, CAL_SET_CHOSEN, CAL_ITEM_STATE, &byte), 0u);
    EXPECT_EQ(byte, 2);
    uint32_t flag = 0;
    ASSERT_EQ(calResultsGetFlag(back.c, 0, CAL_FLAG_CF1_HALF_STEP, &flag), 0u);
    EXPECT_EQ(flag, 1u);
    ASSERT_EQ(calResultsGetFlag(back.c, 4, CAL_FLAG_IS_DEFAULT, &flag), 0u);
    EXPECT_EQ(flag, 1u);
    uint32_t length = 0;
    ASSERT_EQ(calResultsGetCompactResults(back.c, &length, nullptr), 0u);
    EXPECT_EQ(length, 17u + 3u);  // only CommDet and Woe came back
}

TEST_F(CalSettings, LoadingCreatesOnlyStoredBlocks) {
    const char* base = "SOFTWARE\\Tovantic\\tfs530\\X";
    palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\tfs530\\X\\LastCal\\Adc", "Status", 0);
    palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\tfs530\\X\\LastCal\\Adc\\Chosen", "Delay", 9);
    Container box;
    ASSERT_EQ(calResultsLoadLastCalDataFromPersistentStorage(box.c, base), 0u);
    uint32_t length = 0;
    ASSERT_EQ(calResultsGetCompactResults(box.c, &length, nullptr), 0u);
    EXPECT_EQ(length, 2u);
    uint8_t delay = 0;
    ASSERT_EQ(calResultsGetByte(box.c, 2, CAL_SET_CHOSEN, CAL_ITEM_DELAY, &delay), 0u);
    EXPECT_EQ(delay, 9);
    EXPECT_EQ(calResultsLoadLastCalDataFromPersistentStorage(nullptr, base), 17u);
    EXPECT_EQ(calResultsSaveCalDataToPersistentStorage(box.c, nullptr), 17u);
}

}  // namespace
