// Calibration sweeps against the virtual sensor's analog model: each step's choice, its retry on a
// first failure and its final failure; the settling rule; the wake-on-event set-up record.
#include "tcs/sensorctl/calibration/cal_results.h"
#include "tcs/sensorctl/calibration/calibration.h"
#include "tcs/sensorctl/calibration/calibration_steps.h"
#include "tcs/sensorctl/calibration/calibration_woe.h"
#include "tcs/sensorctl/protocol/protocol_state.h"

#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/test_seams.h"
#include "sim/usb/analog_model.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class CalSweeps : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = "/tmp/cal_sweeps_test_" + std::to_string(getpid());
        std::remove(path_.c_str());
        palTestSetSettingsPath(path_.c_str());
        device_.flexId = 9;
        device_.productFamily = 1;
        device_.woeType = 1;
    }
    void TearDown() override {
        scsHarlokCalContextUnInit(&device_);
        calResultsContainerUnInit(results());
        scsProtocolDeviceFreed(&device_);
        scsHarlokCalTestSetRows(nullptr);
        palTestSetSettingsPath(nullptr);
        std::remove(path_.c_str());
    }
    CalResultsContainer* results() { return static_cast<CalResultsContainer*>(device_.calResults); }

    // Set-up, the model's capture (changed by `tamper` when given), then the step.
    TcsResult runStep(uint32_t block, uint16_t attempt, TcsResult (*step)(ScsSensorDevice*),
                      const std::function<void(std::vector<uint8_t>&)>& tamper = nullptr) {
        EXPECT_EQ(scsHarlokCalSetup(&device_, block, attempt), 0u);
        ScsHarlokSweepCapture capture{};
        EXPECT_EQ(scsHarlokCalGetSweepCapture(&device_, &capture), 0u);
        if (capture.lines == 0) return 0xDEAD;
        const auto* config = static_cast<const PrintConfiguration*>(capture.printConfiguration);
        std::vector<uint8_t> lines = simusb::analogModelCapture(
            uint16_t(config->fields[SCS_PC_LINE_LENGTH]), capture.lines,
            std::span<const uint8_t>(config->blob, config->blobLength));
        EXPECT_EQ(lines.size(), capture.size);
        if (tamper) tamper(lines);
        std::memcpy(capture.buffer, lines.data(), std::min<size_t>(lines.size(), capture.size));
        return step(&device_);
    }
    uint8_t chosen(uint32_t block, uint32_t item) {
        uint8_t value = 0xEE;
        EXPECT_EQ(calResultsGetByte(results(), block, CAL_SET_CHOSEN, item, &value), 0u);
        return value;
    }
    uint16_t word(uint32_t block, uint32_t item) {
        uint16_t value = 0xEEEE;
        EXPECT_EQ(calResultsGetWord(results(), block, CAL_SET_CHOSEN, item, &value), 0u);
        return value;
    }
    uint32_t flag(uint32_t block, uint32_t which) {
        uint32_t value = 0;
        EXPECT_EQ(calResultsGetFlag(results(), block, which, &value), 0u);
        return value;
    }

    std::string path_;
    ScsSensorDevice device_{};
};

TEST_F(CalSweeps, EachStepChoosesTheModelsSetting) {
    ASSERT_EQ(scsHarlokCalContextInit(&device_, 0), 0u);
    ASSERT_NE(results(), nullptr);

    ASSERT_EQ(runStep(SCS_CAL_BLOCK_COMMDET, 0, scsHarlokCalCommDet), 0u);
    EXPECT_EQ(word(0, CAL_WORD_CF1), 512u);  // code 4, the first within 2 % of the settled level
    EXPECT_EQ(word(0, CAL_WORD_CF2), 514u);  // its companion code 5: a half step
    EXPECT_EQ(flag(0, CAL_FLAG_CF2_HALF_STEP), 1u);
    EXPECT_EQ(flag(0, CAL_FLAG_CF1_HALF_STEP), 0u);
    EXPECT_EQ(flag(0, CAL_FLAG_INVERT_IMAGE), 0u);
    EXPECT_EQ(flag(0, CAL_FLAG_CF_ADJUSTED), 0u);
    EXPECT_EQ(chosen(0, CAL_ITEM_GAIN_TABLE_INDEX_PRI), 3);
    EXPECT_EQ(chosen(0, CAL_ITEM_LNA1B_PRI), 3);
    EXPECT_EQ(chosen(0, CAL_ITEM_VGAB_SEC), 6);

    ASSERT_EQ(runStep(SCS_CAL_BLOCK_PGA_OFFSET, 0, scsHarlokCalPgaOffset), 0u);
    EXPECT_EQ(chosen(1, CAL_ITEM_OFFSET), 0x40);
    ASSERT_EQ(runStep(SCS_CAL_BLOCK_ADC, 0, scsHarlokCalAdc), 0u);
    EXPECT_EQ(chosen(2, CAL_ITEM_DELAY), 12);
    ASSERT_EQ(runStep(SCS_CAL_BLOCK_ASP_LNA1, 0, scsHarlokCalAspLna1), 0u);
    EXPECT_EQ(chosen(5, 12), 2);  // the record before the contrast peak
    EXPECT_EQ(chosen(5, 2), 3);   // its Lna1b
    ASSERT_EQ(runStep(SCS_CAL_BLOCK_ASP_PGA1, 0, scsHarlokCalAspPga1), 0u);
    EXPECT_EQ(chosen(6, CAL_ITEM_GAIN_PRI), 5);
    ASSERT_EQ(runStep(SCS_CAL_BLOCK_PGA_GAIN, 0, scsHarlokCalPgaGain), 0u);
    EXPECT_EQ(chosen(3, CAL_ITEM_GAIN_PRI), 10);
    EXPECT_EQ(chosen(3, CAL_ITEM_GAIN_SEC), 8);
    ASSERT_EQ(runStep(SCS_CAL_BLOCK_WOE, 0, scsHarlokCalWoe), 0u);
    EXPECT_EQ(chosen(4, CAL_ITEM_THRESHOLD), 0x21);
    uint32_t threshold = 0, gain = 0;
    ASSERT_EQ(scsHarlokCalGetWoeValues(&device_, &threshold, &gain), 0u);
    EXPECT_EQ(threshold, 0x21u);
    EXPECT_EQ(gain, 128u);
    EXPECT_EQ(scsHarlokCalWoeFailed(&device_), 0u);
    for (uint32_t block = 0; block < 7; ++block) {
        EXPECT_EQ(word(block, CAL_WORD_STATUS), 0u) << block;
        EXPECT_EQ(word(block, CAL_WORD_ATTEMPTS), 1u) << block;
    }
}

TEST_F(CalSweeps, BrokenCaptureRetriesOnceThenFails) {
    ASSERT_EQ(scsHarlokCalContextInit(&device_, 0), 0u);
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> tamper;
        uint16_t status;
    };
    const uint32_t lineLength = 40;
    const std::vector<Case> cases = {
        {"skipped line number", [&](std::vector<uint8_t>& l) { l[5 * lineLength + 2] += 1; }, 17},
        {"no end marker", [&](std::vector<uint8_t>& l) { l[l.size() - lineLength] = 0; }, 17},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(runStep(SCS_CAL_BLOCK_PGA_OFFSET, 0, scsHarlokCalPgaOffset, c.tamper), 223u) << c.what;
        EXPECT_EQ(word(1, CAL_WORD_STATUS), c.status) << c.what;
        EXPECT_EQ(runStep(SCS_CAL_BLOCK_PGA_OFFSET, 1, scsHarlokCalPgaOffset, c.tamper), 54u) << c.what;
        EXPECT_EQ(word(1, CAL_WORD_STATUS), c.status) << c.what;
        EXPECT_EQ(word(1, CAL_WORD_ATTEMPTS), 2u) << c.what;
    }
    // CommDet: a saturated first column, and a first column group brighter than the second (the image
    // is inverted: the even columns, flat in the model, never settle).
    auto saturate = [](std::vector<uint8_t>& l) { l[8] = 250; };
    EXPECT_EQ(runStep(SCS_CAL_BLOCK_COMMDET, 0, scsHarlokCalCommDet, saturate), 223u);
    EXPECT_EQ(word(0, CAL_WORD_STATUS), 1u);
    auto invert = [](std::vector<uint8_t>& l) { l[8] = l[40 + 8] = 230; };
    EXPECT_EQ(runStep(SCS_CAL_BLOCK_COMMDET, 1, scsHarlokCalCommDet, invert), 54u);
    EXPECT_EQ(word(0, CAL_WORD_STATUS), 1u);
    EXPECT_EQ(word(0, CAL_WORD_ATTEMPTS), 2u);
    // A clean capture on the second attempt succeeds.
    EXPECT_EQ(runStep(SCS_CAL_BLOCK_ADC, 0, scsHarlokCalAdc, cases[0].tamper), 223u);
    EXPECT_EQ(runStep(SCS_CAL_BLOCK_ADC, 1, scsHarlokCalAdc), 0u);
    EXPECT_EQ(word(2, CAL_WORD_ATTEMPTS), 2u);
    EXPECT_EQ(chosen(2, CAL_ITEM_DELAY), 12);
}

TEST_F(CalSweeps, StepsWithoutContextFailForGood) {
    ScsSensorDevice bare{};
    EXPECT_EQ(scsHarlokCalPgaOffset(&bare), 54u);
    EXPECT_EQ(scsHarlokCalCommDet(nullptr), 54u);
    EXPECT_EQ(scsHarlokCalSetup(&bare, 1, 0), 17u);
    EXPECT_EQ(scsHarlokCalSetDefaults(&bare, 1), 54u);
    EXPECT_EQ(scsHarlokCalSetDefaults(nullptr, 0), 54u);
}

// A PgaOffset row of its own: sweep [start, end] by 4, `lines` lines of 40 bytes.
struct OffsetRow {
    std::vector<uint8_t> blob;
    CalConfigDescriptor row{};
    const void* list[2] = {&row, nullptr};
    OffsetRow(uint32_t start, uint32_t end, uint32_t lines) {
        auto put16 = [&](uint32_t v) { blob.push_back(uint8_t(v)); blob.push_back(uint8_t(v >> 8)); };
        auto put32 = [&](uint32_t v) { put16(v & 0xFFFF); put16(v >> 16); };
        put16(0x8003); put16(4); put16(0); put16(31);
        put16(13); put16(40);
        for (uint32_t w : {0x300420C8u, start, 4u, end, 0u, 1u, 0u, 0u, 0u, 1u}) put32(w);
        put16(17); put16(2); put16(2);
        uint32_t w[37] = {};
        for (int i : {4, 5, 6, 7, 8, 10, 12}) w[i] = 0xFFFF;
        w[9] = 1u << 1;
        w[11] = 0xFFFF;
        w[14] = 40;
        w[15] = lines;
        w[20] = 2;
        w[21] = 1;
        std::memcpy(row.words, w, sizeof row.words);
        row.dataLength = uint32_t(blob.size());
        row.data = blob.data();
    }
};

TEST_F(CalSweeps, LimitsTooManyLinesAndNoLimitCheck) {
    // Every point above the limit rows' [0x30, 0x50]: the nearest to mid-scale is 0x60.
    OffsetRow high(0x60, 0x80, 9 * 2 + 1);
    scsHarlokCalTestSetRows(high.list);
    ASSERT_EQ(scsHarlokCalContextInit(&device_, 0), 0u);
    EXPECT_EQ(runStep(SCS_CAL_BLOCK_PGA_OFFSET, 0, scsHarlokCalPgaOffset), 223u);
    EXPECT_EQ(word(1, CAL_WORD_STATUS), 4u);
    EXPECT_EQ(chosen(1, CAL_ITEM_OFFSET), 0x60);
    EXPECT_EQ(runStep(SCS_CAL_BLOCK_PGA_OFFSET, 1, scsHarlokCalPgaOffset), 54u);

    palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\tfs530", "noLimitCheck", 1);
    ASSERT_EQ(scsHarlokCalContextInit(&device_, 0), 0u);
    EXPECT_EQ(runStep(SCS_CAL_BLOCK_PGA_OFFSET, 0, scsHarlokCalPgaOffset), 0u);
    EXPECT_EQ(chosen(1, CAL_ITEM_OFFSET), 0x60);

    // More lines than the sweep's points: 19.
    OffsetRow longer(0x20, 0x60, 17 * 2 + 6);
    scsHarlokCalTestSetRows(longer.list);
    ASSERT_EQ(scsHarlokCalContextInit(&device_, 0), 0u);
    EXPECT_EQ(runStep(SCS_CAL_BLOCK_PGA_OFFSET, 0, scsHarlokCalPgaOffset), 223u);
    EXPECT_EQ(word(1, CAL_WORD_STATUS), 19u);

    // No row serves the step: no lines to capture.
    EXPECT_EQ(runStep(SCS_CAL_BLOCK_ADC, 0, scsHarlokCalAdc), 0xDEADu);
}

// A CommDet row without the settling rule (w32 0, window from column 1) whose first capacitor code
// is 6: with w11 144 (one step of 144) the codes reach (1 + 2) x 256 and are moved down.
struct CapacitorRow {
    std::vector<uint8_t> blob;
    CalConfigDescriptor row{};
    const void* list[2] = {&row, nullptr};
    CapacitorRow() {
        auto put16 = [&](uint32_t v) { blob.push_back(uint8_t(v)); blob.push_back(uint8_t(v >> 8)); };
        auto put32 = [&](uint32_t v) { put16(v & 0xFFFF); put16(v >> 16); };
        put16(0x8003); put16(4); put16(1); put16(31);
        put16(13); put16(40);
        for (uint32_t w : {0x200Cu, 6u, 1u, 17u, 0u, 1u, 0u, 1u, 0u, 1u}) put32(w);
        put16(17); put16(2); put16(2);
        put16(14); put16(16);
        for (uint8_t b : {0, 2, 3, 1, 4, 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0}) blob.push_back(b);
        uint32_t w[37] = {};
        for (int i : {4, 5, 6, 7, 8, 10, 12}) w[i] = 0xFFFF;
        w[9] = 1u << 0;
        w[11] = 144;
        w[14] = 40;
        w[15] = 12 * 2 + 1;
        w[19] = 1;
        w[20] = 2;
        w[21] = 1;
        w[22] = 250;
        std::memcpy(row.words, w, sizeof row.words);
        row.dataLength = uint32_t(blob.size());
        row.data = blob.data();
        row.more[33 - 30] = 1;
    }
};

TEST_F(CalSweeps, CapacitorCodesMovedDownAndSwapped) {
    CapacitorRow capacitor;
    scsHarlokCalTestSetRows(capacitor.list);
    scsproto::stateOf(&device_)->soClock = 144;
    ASSERT_EQ(scsHarlokCalContextInit(&device_, 0), 0u);
    ASSERT_EQ(runStep(SCS_CAL_BLOCK_COMMDET, 0, scsHarlokCalCommDet), 0u);
    // Code 6 (768) and its companion 7 (0x302) go down half a step: 514 and 0x300; adjusted but not
    // inverted, so they are stored swapped.
    EXPECT_EQ(flag(0, CAL_FLAG_CF_ADJUSTED), 1u);
    EXPECT_EQ(flag(0, CAL_FLAG_INVERT_IMAGE), 0u);
    EXPECT_EQ(word(0, CAL_WORD_CF1), 0x300u);
    EXPECT_EQ(word(0, CAL_WORD_CF2), 514u);
    EXPECT_EQ(flag(0, CAL_FLAG_CF1_HALF_STEP), 1u);
    EXPECT_EQ(flag(0, CAL_FLAG_CF2_HALF_STEP), 0u);
    EXPECT_EQ(chosen(0, CAL_ITEM_GAIN_TABLE_INDEX_PRI), 0);
    EXPECT_EQ(chosen(0, CAL_ITEM_LNA2B_SEC), 4);
}

TEST_F(CalSweeps, SetDefaultsPutsBlocksAndWoeValuesOnTheirDefaults) {
    ASSERT_EQ(scsHarlokCalContextInit(&device_, 0), 0u);
    ASSERT_EQ(runStep(SCS_CAL_BLOCK_WOE, 0, scsHarlokCalWoe), 0u);
    ASSERT_EQ(scsHarlokCalSetDefaults(&device_, 2), 0u);
    for (uint32_t block = 0; block < 7; ++block) EXPECT_EQ(flag(block, CAL_FLAG_IS_DEFAULT), 1u) << block;
    uint32_t threshold = 0, gain = 0;
    ASSERT_EQ(scsHarlokCalGetWoeValues(&device_, &threshold, &gain), 0u);
    EXPECT_EQ(threshold, 0x20u);  // the built-in Woe default
    EXPECT_EQ(gain, 0x80u);
    EXPECT_EQ(scsHarlokCalSetDefaults(&device_, 3), 54u);
}

// Wake-on-event type 2 entries: {status, gain, threshold, ...} 8 bytes each from byte 8.
TEST_F(CalSweeps, WakeOnEventTypeTwoEntriesAndFingerCheck) {
    device_.woeType = 2;
    device_.flexId = 58;
    ASSERT_EQ(scsHarlokCalContextInit(&device_, 0), 0u);
    struct Case {
        const char* what;
        uint8_t status;
        uint32_t variance;  // words 2 and 3 of the following line
        TcsResult result;
        uint8_t gain, threshold, state;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"found, quiet", 0, 3, 0, 0x0F, 0x1C, 0},
             {"found, finger moved", 0, 500, 23, 0, 0, 0},
             {"status 4, quiet", 4, 3, 22, 0, 0, 4},
             {"status 4, finger moved", 4, 500, 23, 0, 0, 4},
             {"status 6", 6, 3, 22, 0, 0, 6},
         }) {
        auto tamper = [&](std::vector<uint8_t>& lines) {
            for (size_t i = 0; i + 40 < lines.size(); i += 40) {
                for (size_t at = 8; at < 40; at += 8) lines[i + at] = 1;  // nothing yet
            }
            lines[40 + 16] = c.status;
            lines[40 + 17] = 0x0F;
            lines[40 + 18] = 0x1C;
            for (size_t at : {size_t(80 + 8), size_t(80 + 12)}) {
                lines[at] = uint8_t(c.variance);
                lines[at + 1] = uint8_t(c.variance >> 8);
                lines[at + 2] = lines[at + 3] = 0;
            }
        };
        EXPECT_EQ(runStep(SCS_CAL_BLOCK_WOE, 0, scsHarlokCalWoe, tamper) == 0 ? 0u : word(4, CAL_WORD_STATUS),
                  c.result)
            << c.what;
        if (c.result == 0 || c.status != 0) {
            EXPECT_EQ(chosen(4, CAL_ITEM_GAIN_PRI), c.gain) << c.what;
            EXPECT_EQ(chosen(4, CAL_ITEM_THRESHOLD), c.threshold) << c.what;
            EXPECT_EQ(chosen(4, CAL_ITEM_STATE), c.state) << c.what;
        }
    }
    uint32_t threshold = 0, gain = 0;
    ASSERT_EQ(scsHarlokCalGetWoeValues(&device_, &threshold, &gain), 0u);
    EXPECT_EQ(threshold, 0x1Cu);
    EXPECT_EQ(gain, 0x0Fu);
}

TEST(CalSettlingRule, ChoosesWithinTwoPercent) {
    using P = std::pair<uint32_t, uint32_t>;
    struct Case {
        std::vector<P> pairs;
        TcsResult result;
        uint32_t value, code;
    };
    for (const auto& [pairs, result, value, code] : std::initializer_list<Case>{
             {{{40, 1}, {160, 1}, {190, 1}, {198, 1}, {200, 1}, {200, 1}}, 0, 198, 3 * 2 + 1},
             {{{100, 0}, {190, 0}, {205, 0}, {200, 0}, {200, 0}}, 0, 190, 1 * 2},  // passes the level first
             {{{100, 0}, {100, 0}}, 1, 0, 0},                                       // never rises
             {{}, 8, 0, 0},
         }) {
        uint32_t out[4] = {};
        EXPECT_EQ(scscal::chooseValuesWithRCAlg(uint32_t(pairs.size()), pairs.data(), 2, 1, false, true, out), result);
        if (result == 0) {
            EXPECT_EQ(out[0], value);
            EXPECT_EQ(out[2], code);
        }
    }
}

TEST(CalSettlingRule, FlatInterfaceInterleavedIndex) {
    // Codes 3, 5, 7, ... (start 3, step 2): the third point settles.
    const uint32_t pairs[] = {50, 3, 150, 3, 196, 3, 200, 3, 200, 3};
    uint32_t out[4] = {};
    ASSERT_EQ(scsHarlokCalChooseValuesWithRCAlg(5, pairs, 2, 1, 0, 1, out), 0u);
    EXPECT_EQ(out[0], 196u);
    EXPECT_EQ(out[1], 2u);
    EXPECT_EQ(out[2], 7u);
    EXPECT_EQ(out[3], 0u);
    ASSERT_EQ(scsHarlokCalChooseValuesWithRCAlg(5, pairs, 2, 1, 1, 0, out), 0u);
    EXPECT_EQ(out[1], 5u);  // doubled, plus one for the odd channel
    EXPECT_EQ(scsHarlokCalChooseValuesWithRCAlg(0, nullptr, 2, 1, 0, 1, out), 8u);
    EXPECT_EQ(scsHarlokCalChooseValuesWithRCAlg(1, pairs, 2, 1, 0, 1, nullptr), 17u);
}

// Line headers: {0, 0, u16 number, 0, 0, toggle in bit 6, 0}; the end marker starts {1, 1, 0}.
TEST(CalLineSequence, NumbersFramesAndMarker) {
    struct Line { uint16_t number; bool toggle; bool marker; };
    struct Case {
        const char* what;
        std::vector<Line> lines;
        TcsResult last;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"consecutive", {{7, 0, 0}, {8, 0, 0}, {9, 0, 0}}, 0},
             {"gap", {{7, 0, 0}, {9, 0, 0}}, 17},
             {"frames of equal length", {{1, 0, 0}, {2, 0, 0}, {1, 1, 0}, {2, 1, 0}, {1, 0, 0}}, 0},
             {"short second frame", {{1, 0, 0}, {2, 0, 0}, {1, 1, 0}, {1, 0, 0}}, 17},
             {"marker", {{1, 0, 0}, {0, 0, 1}}, 1},
         }) {
        scscal::LineSequence sequence;
        TcsResult result = 0;
        for (const Line& l : c.lines) {
            uint8_t header[8] = {};
            if (l.marker) {
                header[0] = header[1] = 1;
            } else {
                header[2] = uint8_t(l.number);
                header[3] = uint8_t(l.number >> 8);
                header[6] = l.toggle ? 0x40 : 0;
            }
            result = scscal::checkLine(sequence, header);
            if (result == 17) break;
        }
        EXPECT_EQ(result, c.last) << c.what;
        EXPECT_EQ(sequence.endMarker, c.last == 1) << c.what;
    }
}

TEST(CalSweepPoints, ModesAndCounts) {
    std::vector<scscal::SweepPoint> points;
    // Mode 1, repeated twice, companion offset 1.
    const uint32_t mode1[10] = {0, 1, 2, 6, 0, 2, 0, 1, 0, 1};
    ASSERT_EQ(scscal::sweepPoints(mode1, 10, 0, &points), 0u);
    ASSERT_EQ(points.size(), 6u);
    EXPECT_EQ(points[2].value, 5u);
    EXPECT_EQ(points[2].companion, 6u);
    // Mode 2: 0..10 by 4 (11 is not a whole number of steps: ends on 10), then 20..22 by 1.
    const uint32_t mode2[10] = {0, 0, 4, 10, 0, 1, 20, 1, 22, 2};
    ASSERT_EQ(scscal::sweepPoints(mode2, 10, 0, &points), 0u);
    std::vector<uint32_t> values;
    for (auto& p : points) values.push_back(p.value);
    EXPECT_EQ(values, (std::vector<uint32_t>{0, 4, 8, 10, 20, 21, 22}));
    // The held-out mask and the shift.
    const uint32_t shifted[10] = {0, 0x1020000, 0x10000, 0x1030000, 0xFF00FFFF, 1, 0, 0, 0, 1};
    ASSERT_EQ(scscal::sweepPoints(shifted, 10, 16, &points), 0u);
    EXPECT_EQ(points[1].field, 3u);
    const uint32_t unknown[10] = {0, 0, 1, 2, 0, 1, 0, 0, 0, 4};
    EXPECT_EQ(scscal::sweepPoints(unknown, 10, 0, &points), 11u);
}

TEST(CalWoeSetup, WordsByFlexIdModeAndType) {
    struct Case {
        uint32_t flex, type, mode;
        TcsResult result;
        uint32_t w0, w2, ts0, ts1, trim, threshold;
    };
    for (const Case& c : std::initializer_list<Case>{
             {13, 1, 0, 0, 16, 0x1FFF01F8, 0x0385CAE3, 0x037C2EE3, 0x0080FA20, 0x000A0021},
             {13, 1, 1, 0, 0x280, 0x1FFF1FFF, 0x0385CAE3, 0x037C2EE3, 0x0080FA20, 0x000F003F},
             {5, 1, 0, 0, 16, 0x1FFF01F8, 0x01D818E3, 0x01D818E3, 0x0080FA20, 0x00080021},
             {58, 2, 0, 0, 16, 0x1FFF01F8, 0x0399C618, 0x005DC6E5, 0x00800F20, 0x010F21FF},
             {58, 2, 1, 0, 0x280, 0x1FFF1FFF, 0x0399C618, 0x005DC6E5, 0x0080FF20, 0x010F04FF},
             {58, 1, 0, 54, 0, 0, 0, 0, 0, 0},
             {13, 2, 0, 54, 0, 0, 0, 0, 0, 0},
         }) {
        scscal::WoeSetupInput in{c.flex, c.type, 1, c.mode, 0x21, 0x0F, 0, {0x30, 0x18, 0x20, 0x04}};
        uint32_t words[14] = {};
        bool adjusted = true;
        ASSERT_EQ(scscal::woeSetupWords(in, words, &adjusted), c.result) << c.flex;
        if (c.result != 0) continue;
        EXPECT_EQ(words[0], c.w0) << c.flex;
        EXPECT_EQ(words[1], 0x3FEu);
        EXPECT_EQ(words[2], c.w2) << c.flex;
        EXPECT_EQ(words[4], c.ts0) << c.flex;
        EXPECT_EQ(words[5], c.ts1) << c.flex;
        EXPECT_EQ(words[8], c.ts0) << c.flex;
        EXPECT_EQ(words[9], c.trim) << c.flex;
        EXPECT_EQ(words[10], c.threshold) << c.flex;
        EXPECT_EQ(words[13], 0x338u);
        EXPECT_FALSE(adjusted);
    }
    // Type 1 with a delta: the base gain moves with it until it reaches 15.
    scscal::WoeSetupInput in{13, 1, 1, 0, 0x21, 0, 3, {}};
    uint32_t words[14] = {};
    bool adjusted = false;
    ASSERT_EQ(scscal::woeSetupWords(in, words, &adjusted), 0u);
    EXPECT_EQ(words[10], 13u << 16 | 0x24);
    in.delta = 6;
    ASSERT_EQ(scscal::woeSetupWords(in, words, &adjusted), 0u);
    EXPECT_EQ(words[10], 0x27u | 0xE0000);
    // Type 2: the delta is held within the limit bytes.
    scscal::WoeSetupInput two{58, 2, 1, 0, 0x2E, 0x0F, 4, {0x30, 0x18, 0x20, 0x04}};
    ASSERT_EQ(scscal::woeSetupWords(two, words, &adjusted), 0u);
    EXPECT_TRUE(adjusted);
    EXPECT_EQ(words[10], 0x3000u | 0x010F00FF);
    EXPECT_EQ(words[9], 0x1300u | 0x800020);
}

TEST_F(CalSweeps, WoeSetupRecordOfADevice) {
    uint8_t* record = nullptr;
    uint32_t length = 0;
    device_.woeType = 0;
    EXPECT_EQ(scsHarlokCalGetWoeSetup(&device_, &record, &length, 0, nullptr), 17u);
    device_.woeType = 1;
    device_.flexId = 90;
    device_.woeTiming[0] = 0x22;
    device_.transportKind = 2;
    palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\tfs530", "woeTS3", 0x1234);
    ASSERT_EQ(scsHarlokCalGetWoeSetup(&device_, &record, &length, 0, nullptr), 0u);
    ASSERT_EQ(length, 56u);
    auto wordAt = [&](int i) { uint32_t w; std::memcpy(&w, record + 4 * i, 4); return w; };
    EXPECT_EQ(wordAt(0), 0x250u);
    EXPECT_EQ(wordAt(7), 0x1234u);
    EXPECT_EQ(wordAt(10), 8u << 16 | 0x22);
    palRealFree(record);
    device_.flexId = 19;  // a type-2 module
    EXPECT_EQ(scsHarlokCalGetWoeSetup(&device_, &record, &length, 0, nullptr), 54u);
}

}  // namespace
