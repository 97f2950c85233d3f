// Scan-line culling: every reason code from lines made to trip exactly one test.
#include "tcs/imaging/reconstruction/cull.h"

#include "tcs/imaging/reconstruction/recon_state.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

namespace {

constexpr uint32_t kHeader = 8, kPrimary = 200, kSecondary = 64;
constexpr uint32_t kLineBytes = kHeader + kPrimary + kSecondary;
constexpr uint32_t kCentre = 72;  // centre window for 200 primary pixels
constexpr uint16_t kDefaultFlags = 374;

using Line = std::vector<uint8_t>;

Line makeLine(const std::function<int(int)>& pixelAt) {
    Line line(kLineBytes, 0);
    line[0] = line[1] = 1;
    for (uint32_t i = kHeader; i < kLineBytes; ++i) {
        const int v = pixelAt(int(i));
        line[i] = uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v));
    }
    return line;
}

Line noiseLine(uint32_t seed) {
    std::mt19937 rng(seed);
    return makeLine([&](int) { return int(rng() & 0xFF); });
}

// Orthogonal zero-mean patterns: u alternates, v has period 4.
int u(int i) { return (i & 1) ? 1 : -1; }
int v(int i) { return (i & 2) ? 1 : -1; }
bool inCentre(int i) { return i >= int(kCentre) && i < int(kCentre + kCullWindow); }

class Culling : public testing::Test {
protected:
    void SetUp() override { reset(); }
    void reset() {
        geometry = IrGeometry{};
        geometry.size = sizeof(IrGeometry);
        geometry.headerBytes = kHeader;
        geometry.pixelBytes = kPrimary;
        geometry.extraBytes = kSecondary;
        ASSERT_EQ(tcsCullScanLineInit(&state, &geometry, lastLine.data(), &stats), TCS_RESULT_OK);
    }
    uint32_t cull(const Line& line, uint16_t flags, uint32_t headerFlag = 0, uint32_t minChanged = 2,
                  uint32_t threshold = 25) {
        return tcsCullScanLine(&state, line.data(), line.data(), headerFlag, minChanged, threshold, flags);
    }
    IrGeometry geometry{};
    CullState state{};
    NccStats stats{};
    Line lastLine = Line(kLineBytes);
};

TEST_F(Culling, IdenticalLinesKeepOnlyTheFirst) {
    const Line line = noiseLine(1);
    EXPECT_EQ(cull(line, kDefaultFlags), 0u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(cull(line, kDefaultFlags), uint32_t(kCullNoChange));
    // One changed pixel is below the minimum of two; two changed pixels pass the noise test, and
    // a centre window that did not change is then too similar.
    Line one = line;
    one[100] = uint8_t(one[100] + 30);
    EXPECT_EQ(cull(one, kDefaultFlags), uint32_t(kCullNoChange));
    Line two = line;
    two[20] = uint8_t(two[20] + 30);
    two[150] = uint8_t(two[150] + 30);
    EXPECT_EQ(cull(two, kDefaultFlags), uint32_t(kCullTooSimilar));
    EXPECT_EQ(state.linesSeen, 8u);
    EXPECT_EQ(state.linesKept, 1u);
    EXPECT_EQ(state.reasonCounts[kCullNoChange], 6u);
    EXPECT_EQ(state.reasonCounts[kCullTooSimilar], 1u);
    EXPECT_EQ(state.lastReason, kCullTooSimilar);
    // A different line is kept and becomes the reference.
    const Line other = noiseLine(2);
    EXPECT_EQ(cull(other, kDefaultFlags), 0u);
    EXPECT_EQ(lastLine, other);
}

TEST_F(Culling, NoFlagsKeepsEveryLineAndTheReference) {
    const Line first = noiseLine(3);
    EXPECT_EQ(cull(first, 0), 0u);
    for (uint32_t s = 4; s < 8; ++s) EXPECT_EQ(cull(noiseLine(s), 0), 0u);
    EXPECT_EQ(state.linesKept, 5u);
    EXPECT_EQ(lastLine, first);
}

TEST_F(Culling, HeaderFlagDropsTheSecondLine) {
    EXPECT_EQ(cull(noiseLine(5), kCullNoiseTest, 1), 0u);
    EXPECT_EQ(cull(noiseLine(6), kCullNoiseTest, 1), uint32_t(kCullNoChange));
    EXPECT_EQ(cull(noiseLine(7), kCullNoiseTest, 1), 0u);
}

TEST_F(Culling, SimilarityAndSpreadTests) {
    struct Case {
        uint16_t flags;
        int refAmplitude;   // reference centre: 128 + a * u
        int addAmplitude;   // current centre adds b * v (orthogonal: no residual)
        uint32_t code;
    };
    for (auto [flags, a, b, code] : std::initializer_list<Case>{
             {kCullSimilarityTest, 30, 0, kCullTooSimilar},       // s0 16384
             {kCullSimilarityTest, 30, 15, kCullSmallResidual},   // s0 = 16384 * 0.8, residual 0
             {kCullSimilarityTest, 30, 40, kCullKeep},            // s0 = 16384 * 0.36
             {kCullSpreadTest, 70, 10, kCullSimilarTextured},     // spreads above 4.5M, s0 = 16384 * 0.98
             {kCullSpreadTest, 20, 10, kCullKeep},                // spreads below 3M
         }) {
        reset();
        SCOPED_TRACE(testing::Message() << "flags " << flags << " a " << a << " b " << b);
        const Line reference = makeLine([&](int i) { return inCentre(i) ? 128 + a * u(i) : 128; });
        const Line current = makeLine([&](int i) { return inCentre(i) ? 128 + a * u(i) + b * v(i) : 128; });
        EXPECT_EQ(cull(reference, flags), 0u);
        EXPECT_EQ(cull(current, flags), code);
    }
}

// Noise at both edges (no correlation with a one-pixel shift) marks the sensor's own pattern.
TEST_F(Culling, EdgePatternRunEndsWithOneRepeatedEdgeRejection) {
    std::mt19937 rng(9);
    const Line noisyEdges = makeLine([&](int i) { return inCentre(i) ? 128 + 30 * u(i) : int(rng() & 0xFF); });
    const Line smoothEdges = makeLine([&](int i) { return inCentre(i) ? 128 + 30 * u(i) : (i < 72 ? 4 * (i - 8) : 4 * (i - 136)); });
    EXPECT_EQ(cull(noisyEdges, kCullEdgeTest), 0u);
    for (int run = 1; run <= 3; ++run) {
        EXPECT_EQ(cull(noisyEdges, kCullEdgeTest), uint32_t(kCullEdgePattern));
        EXPECT_EQ(state.edgeRun, run);
    }
    EXPECT_EQ(cull(smoothEdges, kCullEdgeTest), uint32_t(kCullRepeatedEdge));
    EXPECT_EQ(state.edgeRun, 2);
    EXPECT_EQ(cull(smoothEdges, kCullEdgeTest), 0u);
}

// Lines whose centres turn by acos(0.4) from line to line (zero-lag score about 2621), with smooth
// curved edges; left and right amplitudes choose which edge window has a large spread.
Line spreadLine(int k, int leftAmplitude, int rightAmplitude) {
    const double theta = std::acos(0.4) * k;
    constexpr int kBase = 40;
    return makeLine([&](int i) {
        if (i < 72) return kBase + int(std::lround(leftAmplitude * (72.0 - i) * (72.0 - i) / (56.0 * 56.0)));
        if (i >= 136) return kBase + int(std::lround(rightAmplitude * (i - 135.0) * (i - 135.0) / (56.0 * 56.0)));
        if (i < 80 || i >= 128) return kBase;
        return kBase + int(std::lround(15 * (std::cos(theta) * u(i) + std::sin(theta) * v(i))));
    });
}

TEST_F(Culling, LowSpreadAfterLargeSpreadsIsForgivenFourTimes) {
    constexpr uint16_t kFlags = kCullEdgeTest | kCullSpreadTracking;
    struct Case { int left, right; uint32_t maxCentre, maxLeft, maxRight; uint32_t code; };
    for (auto [left, right, maxCentre, maxLeft, maxRight, code] : std::initializer_list<Case>{
             {215, 215, 6000000, 0, 0, kCullLowSpreadCentre},
             {30, 215, 0, 6000000, 0, kCullLowSpreadLeft},
             {215, 30, 0, 0, 6000000, kCullLowSpreadRight}}) {
        reset();
        SCOPED_TRACE(code);
        EXPECT_EQ(cull(spreadLine(0, left, right), kFlags), 0u);
        // As if a long swipe with large spreads had been kept already.
        state.linesKept = 1300;
        state.maxCentreSpread = maxCentre;
        state.maxLeftSpread = maxLeft;
        state.maxRightSpread = maxRight;
        for (int k = 1; k <= 4; ++k) EXPECT_EQ(cull(spreadLine(k, left, right), kFlags), 0u) << k;
        EXPECT_EQ(state.spreadForgiven, 4);
        EXPECT_EQ(cull(spreadLine(5, left, right), kFlags), code);
        EXPECT_GE(state.lastZeroLagScore, 1501u);
        EXPECT_LE(state.lastZeroLagScore, 3499u);
    }
}

TEST_F(Culling, GradientTestsFindFlatLowContrastAndRidgelessLines) {
    struct Case { uint16_t flags; int step; uint32_t code; };
    for (auto [flags, step, code] : std::initializer_list<Case>{
             {kCullGradientALowContrast, 0, kCullFlat},
             {kCullGradientALowContrast, 40, kCullLowContrast},
             {kCullGradientALowContrast, 60, kCullNoRidges},
             {0x80, 60, kCullKeep},  // set A without its low-contrast rule
             {kCullGradientALowContrast, 80, kCullKeep},
             {kCullGradientBLowContrast, 10, kCullFlat},
             {kCullGradientBLowContrast, 25, kCullLowContrast},
             {kCullGradientBLowContrast, 40, kCullNoRidges},
             {kCullGradientBLowContrast, 50, kCullKeep}}) {
        reset();
        SCOPED_TRACE(testing::Message() << "flags " << flags << " step " << step);
        EXPECT_EQ(cull(noiseLine(11), flags), 0u);
        // Flat centre (zero-lag score 0 against the textured reference), one step in the gradient window.
        EXPECT_EQ(cull(makeLine([&](int i) { return (i >= 50 && i < 60) ? 100 + step : 100; }), flags), code);
    }
}

TEST_F(Culling, PrefilterIsAMedianOfThreeOverThePrimaryPixels) {
    Line source = makeLine([](int i) { return (i % 7 == 0) ? 250 : 20; });
    source[kHeader] = 200;
    Line filtered = source;
    tcsCullPrefilterScanline(&state, source.data(), filtered.data());
    EXPECT_EQ(filtered[kHeader], 200);  // first primary pixel untouched
    for (uint32_t i = kHeader + 1; i + 1 < kHeader + kPrimary; ++i) EXPECT_EQ(filtered[i], 20) << i;
    EXPECT_EQ(filtered[kHeader + kPrimary + 6], source[kHeader + kPrimary + 6]);  // secondary untouched
}

TEST_F(Culling, InitRefusesMissingOrTooNarrowGeometry) {
    CullState s{};
    EXPECT_EQ(tcsCullScanLineInit(nullptr, &geometry, lastLine.data(), &stats), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsCullScanLineInit(&s, nullptr, lastLine.data(), &stats), TCS_RESULT_NULL_POINTER);
    IrGeometry narrow = geometry;
    narrow.pixelBytes = 100;
    EXPECT_EQ(tcsCullScanLineInit(&s, &narrow, lastLine.data(), &stats), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(state.lineBytes, kLineBytes);
    EXPECT_EQ(state.headerPrimaryBytes, kHeader + kPrimary);
}

}  // namespace
