// Baseline averaging and validation, and baseline correction of lines and images.
#include "tcs/imaging/reconstruction/baseline.h"

#include "platform/memory.h"
#include "sim/swipe/swipe_model.h"
#include "tcs/imaging/reconstruction/recon_state.h"
#include "tcs/imaging/reconstruction/scan_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr uint32_t kFirst = 8, kPixels = 200, kStride = kFirst + kPixels;

// A line whose pixels alternate base - d and base + d: quasi variance exactly d.
std::vector<uint8_t> noisyLine(int base, int d) {
    std::vector<uint8_t> line(kStride, 0);
    for (uint32_t i = 0; i < kPixels; ++i) line[kFirst + i] = uint8_t(base + ((i & 1) ? d : -d));
    return line;
}

struct Validation {
    uint32_t mean = 0, representative = 0, valid = 0;
    std::vector<uint8_t> baseline = std::vector<uint8_t>(kStride, 0);
};

Validation validate(const std::vector<std::vector<uint8_t>>& lines, uint32_t previousNoise) {
    std::vector<uint8_t> block;
    for (const auto& l : lines) block.insert(block.end(), l.begin(), l.end());
    Validation v;
    tcsProcessAndValidateBaselineData(block.data(), uint32_t(lines.size()), kStride, kFirst, previousNoise,
                                      uint32_t(lines.size() / 4), v.baseline.data(), &v.mean, &v.representative,
                                      &v.valid);
    return v;
}

TEST(BaselineValidation, NoiseRules) {
    struct Case { uint32_t previous; std::vector<int> noise; uint32_t valid; uint32_t mean; const char* what; };
    for (const Case& c : std::initializer_list<Case>{
             {0, {5, 5, 5, 5, 5, 5, 20, 20}, 1, 5, "two bad lines within the allowance of 8 / 4"},
             {0, {5, 5, 5, 5, 5, 20, 20, 20}, 0, 10000, "three bad lines"},
             {0, {16, 16, 16, 16}, 1, 16, "16 is still good without a previous level"},
             {10, {14, 14, 14, 14}, 0, 14, "above the previous level + 3"},
             {10, {12, 12, 12, 13}, 1, 12, "within the previous level + 3 and + a quarter"},
             {4, {6, 6, 6, 6}, 0, 6, "above the previous level + a quarter"},
             {0, {0, 0, 0, 0}, 0, 0, "only flat lines: nothing to average"}}) {
        std::vector<std::vector<uint8_t>> lines;
        for (int d : c.noise) lines.push_back(noisyLine(100, d));
        const Validation v = validate(lines, c.previous);
        EXPECT_EQ(v.valid, c.valid) << c.what;
        if (c.valid) {
            EXPECT_EQ(v.mean, c.mean) << c.what;
        }
    }
}

TEST(BaselineValidation, AveragesSpreadAndRepresentativeLine) {
    // Representative: the good line closest to the averages; its noise (at least 1) is reported.
    const Validation v = validate({noisyLine(100, 2), noisyLine(100, 4), noisyLine(100, 3), noisyLine(100, 3)}, 0);
    ASSERT_EQ(v.valid, 1u);
    EXPECT_EQ(v.mean, 3u);
    EXPECT_EQ(v.representative, 3u);
    EXPECT_EQ(v.baseline[kFirst], 97);   // (98 + 96 + 97 + 97) / 4
    EXPECT_EQ(v.baseline[kFirst + 1], 103);
    EXPECT_EQ(v.baseline[0], 0);         // header bytes are not written

    // One hot pixel barely moves a line's noise but the averages spread over more than 130.
    auto hot = [](int value) {
        std::vector<uint8_t> line(kStride, 0);
        for (uint32_t i = 0; i < kPixels; ++i) line[kFirst + i] = 100;
        line[kFirst + 50] = uint8_t(value);
        return line;
    };
    EXPECT_EQ(validate({hot(231), hot(231), hot(231), hot(231)}, 0).valid, 0u);
    EXPECT_EQ(validate({hot(230), hot(230), hot(230), hot(230)}, 0).valid, 1u);
}

class BaselineFromSensor : public testing::Test {
protected:
    swipe_model::SwipeModel model{swipe_model::syntheticRidges(300, 300, 9, 150, 150), swipe_model::SwipeConfig{}};
    std::vector<uint32_t> words = model.timeslotWords();
};

TEST_F(BaselineFromSensor, AveragesTheModelsFixedOffsets) {
    const std::vector<uint8_t> raw = model.baselineStream(40, 2.0, 3);
    BaselineInput input{0, model.recordBytes(), 40, raw.data()};
    uint32_t noise = 0;
    BaselineOutput out{};
    ASSERT_EQ(ProcessBaselineData(dliFindFlexInfo(14), 0, words.data(), 2400, 8, &input, &noise, &out), TCS_RESULT_OK);
    ASSERT_EQ(input.status, kBaselineValid);
    EXPECT_EQ(out.one, 1u);
    EXPECT_EQ(out.one2, 1u);
    EXPECT_EQ(out.blockSize, 8u + 200 + 64);
    ASSERT_NE(out.block, nullptr);
    const std::vector<uint8_t> truth = model.baselinePixels(0, 0.0, 0);
    for (uint32_t c = 0; c < truth.size(); ++c) EXPECT_NEAR(out.block[8 + c], truth[c], 2) << c;
    EXPECT_GE(noise, 1u);
    palRealFree(out.block);
}

TEST_F(BaselineFromSensor, NoisyBlockIsInvalidAndKeepsTheNoiseLevel) {
    const std::vector<uint8_t> raw = model.baselineStream(12, 40.0, 4);
    BaselineInput input{0, model.recordBytes(), 12, raw.data()};
    uint32_t noise = 5;
    BaselineOutput out{};
    ASSERT_EQ(ProcessBaselineData(dliFindFlexInfo(14), 0, words.data(), 2400, 8, &input, &noise, &out), TCS_RESULT_OK);
    EXPECT_EQ(input.status, kBaselineInvalid);
    EXPECT_EQ(out.block, nullptr);
    EXPECT_EQ(noise, 5u);
}

TEST_F(BaselineFromSensor, TableErrorsLeaveTheStatusAlone) {
    const std::vector<uint8_t> raw = model.baselineStream(4, 1.0, 5);
    BaselineInput input{77, model.recordBytes(), 4, raw.data()};
    uint32_t noise = 0;
    BaselineOutput out{};
    EXPECT_EQ(ProcessBaselineData(nullptr, 0, words.data(), 2400, 8, &input, &noise, &out), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(ProcessBaselineData(dliFindFlexInfo(14), 0, words.data(), 1408, 8, &input, &noise, &out),
              TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(ProcessBaselineData(dliFindFlexInfo(14), 0, words.data(), 2400, 8, nullptr, &noise, &out),
              TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(input.status, 77u);
}

TEST(BaselineCorrection, ScanlineWindowsClampAndNeverWrap) {
    IrGeometry geometry{};
    geometry.headerBytes = 8;
    geometry.pixelBytes = 200;
    geometry.extraBytes = 64;
    geometry.lineBytes = 272;
    IrReconState state{};
    state.geometry = &geometry;
    state.baselinePresent = 1;
    std::vector<int8_t> baseline(272, 0);
    std::vector<uint8_t> line(272, 100);
    baseline[8 + 61] = 20;    // second window (starts at 61)
    line[8 + 61] = 5;
    baseline[8 + 62] = -20;   // 0xEC adds 20
    line[8 + 62] = 250;
    baseline[8 + 63] = -20;
    baseline[8 + 200 + 3] = 30;  // first window: secondary pixels
    baseline[8 + 10] = 50;       // outside both windows
    IRbaselineCorrectScanline(&state, baseline.data(), line.data(), 8, 61, 78, 0, 64, 1, 1);
    EXPECT_EQ(line[8 + 61], 0);
    EXPECT_EQ(line[8 + 62], 255);
    EXPECT_EQ(line[8 + 63], 120);
    EXPECT_EQ(line[8 + 203], 70);
    EXPECT_EQ(line[8 + 10], 100);

    // No baseline: nothing changes.
    std::vector<uint8_t> untouched(272, 100);
    state.baselinePresent = 0;
    IRbaselineCorrectScanline(&state, baseline.data(), untouched.data(), 8, 61, 78, 0, 64, 1, 1);
    IRbaselineCorrectScanline(nullptr, nullptr, untouched.data(), 8, 61, 78, 0, 64, 1, 1);
    EXPECT_EQ(untouched, std::vector<uint8_t>(272, 100));
}

TEST(BaselineCorrection, ImageRowsUseTheBaselinePastItsHeader) {
    IrGeometry geometry{};
    geometry.headerBytes = 8;
    IrReconState state{};
    state.geometry = &geometry;
    state.baselineMean = 128;
    state.baselineOffset = 128 << 20;
    std::vector<int8_t> baseline(8 + 4, 0);
    baseline[8] = 10;
    baseline[9] = -10;
    std::vector<uint8_t> image = {50, 50, 50, 50, 5, 250, 7, 7};
    IRbaselineCorrectImage(&state, baseline.data(), image.data(), 0, 2, 4, 0);
    EXPECT_EQ(image, (std::vector<uint8_t>{40, 60, 50, 50, 0, 255, 7, 7}));

    // Derived through analog reconstruction: a flat baseline at the mean reconstructs to 0.
    state.cfgInfo = kCfgAnalogReconImage;
    std::vector<int8_t> flat(8 + 4, 0);
    std::vector<uint8_t> again = {50, 50, 50, 50};
    IRbaselineCorrectImage(&state, flat.data(), again.data(), 0, 1, 4, 0);
    EXPECT_EQ(again, (std::vector<uint8_t>{50, 50, 50, 50}));
}

}  // namespace
