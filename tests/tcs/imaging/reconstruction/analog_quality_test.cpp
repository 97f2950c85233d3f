// Analog reconstruction, the quality verdict and row interpolation.
#include "tcs/imaging/reconstruction/analog_recon.h"
#include "tcs/imaging/reconstruction/quality.h"
#include "tcs/imaging/reconstruction/recon_state.h"
#include "tcs/imaging/reconstruction/scan_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

int32_t offsetOf(uint8_t mean) { return int32_t(mean) << 20; }

TEST(AnalogRecon, FlatAndLowSpanLinesAreLeftAlone) {
    std::vector<uint8_t> flat(200, 128);
    IRanalogReconScanline(nullptr, flat.data(), 0, 200, 128, offsetOf(128), kAnalogMarginNormal);
    EXPECT_EQ(flat, std::vector<uint8_t>(200, 128));

    // A small step keeps the reconstructed span under the margin; a large one is stretched to 0..255.
    std::vector<uint8_t> small(200, 128), large(200, 128);
    for (int i = 100; i < 200; ++i) {
        small[i] = 131;
        large[i] = 250;
    }
    const std::vector<uint8_t> before = small;
    IRanalogReconScanline(nullptr, small.data(), 0, 200, 128, offsetOf(128), kAnalogMarginNormal);
    EXPECT_EQ(small, before);
    IRanalogReconScanline(nullptr, large.data(), 0, 200, 128, offsetOf(128), kAnalogMarginNormal);
    EXPECT_EQ(*std::min_element(large.begin(), large.end()), 0);
    EXPECT_GE(*std::max_element(large.begin(), large.end()), 250);
}

TEST(AnalogRecon, LongBrightLineDoesNotOverflowTheAccumulator) {
    // Against a zero baseline every sample adds about 0.065 x 255 to the integral: after 200
    // samples the 20-bit fixed-point sum is far beyond 2^31. The result must stay monotonic.
    std::vector<uint8_t> bright(200, 255);
    IRanalogReconScanline(nullptr, bright.data(), 0, 200, 0, 0, kAnalogMarginNormal);
    EXPECT_EQ(bright.front(), 0);
    EXPECT_EQ(bright.back(), 255);
    EXPECT_TRUE(std::is_sorted(bright.begin(), bright.end()));
}

TEST(AnalogRecon, MarginsClampAndBlend) {
    std::vector<uint8_t> line(20, 100);
    IRanalogReconScanline(nullptr, line.data(), 0, 20, 100, offsetOf(100), kAnalogMarginBlend);
    EXPECT_EQ(line, std::vector<uint8_t>(20, (3 * 128 + 100) / 4));
    std::vector<uint8_t> clamp(20, 100);
    IRanalogReconScanline(nullptr, clamp.data(), 0, 20, 100, offsetOf(100), kAnalogMarginClamp);
    EXPECT_EQ(clamp, std::vector<uint8_t>(20, 0));
    // Only [first, end) is touched.
    std::vector<uint8_t> part(20, 100);
    part[5] = 255;
    IRanalogReconScanline(nullptr, part.data(), 4, 10, 100, offsetOf(100), kAnalogMarginClamp);
    EXPECT_EQ(part[3], 100);
    EXPECT_EQ(part[10], 100);
    EXPECT_EQ(part[4], 0);
}

TEST(AnalogRecon, DarkLineRaisesItsFloor) {
    // One sample: value = x - B. Blending shows the floor s: (3 x clamp(value - s + 128) + x) / 4.
    struct Case { uint8_t x; uint8_t pixel; };
    for (auto [x, pixel] : std::initializer_list<Case>{
             {58, (3 * 128 + 58) / 4},          // -70: above the first band, s = value
             {57, (3 * (128 - 25) + 57) / 4},   // -71: s + 25
             {40, (3 * (128 - 25) + 40) / 4},   // -88
             {18, (3 * 128 + 18) / 4},          // -110: between the bands
             {10, (3 * (128 - 30) + 10) / 4}}) {  // -118: s + 30
        uint8_t line[1] = {x};
        IRanalogReconScanline(nullptr, line, 0, 1, 128, offsetOf(128), kAnalogMarginBlend);
        EXPECT_EQ(line[0], pixel) << int(x);
    }
}

TEST(AnalogRecon, DescendingModulesIntegrateFromTheLastColumn) {
    std::vector<uint8_t> ramp(64);
    for (int i = 0; i < 64; ++i) ramp[i] = uint8_t(60 + 2 * i);
    IrGeometry geometry{};
    geometry.primaryDescending = 1;
    IrReconState descending{};
    descending.geometry = &geometry;
    std::vector<uint8_t> a = ramp;
    IRanalogReconScanline(&descending, a.data(), 0, 64, 128, offsetOf(128), kAnalogMarginNormal);

    std::vector<uint16_t> falling(64);
    for (int i = 0; i < 64; ++i) falling[i] = uint16_t(63 - i);
    IrCaptureOptions options{};
    options.unpackColumns = falling.data();
    options.unpackColumnCount = 64;
    IrReconState listed{};
    listed.options = &options;
    std::vector<uint8_t> b = ramp;
    IRanalogReconScanline(&listed, b.data(), 0, 64, 128, offsetOf(128), kAnalogMarginNormal);
    EXPECT_EQ(a, b);
    std::vector<uint8_t> forward = ramp;
    IRanalogReconScanline(nullptr, forward.data(), 0, 64, 128, offsetOf(128), kAnalogMarginNormal);
    EXPECT_NE(a, forward);
}

TEST(AnalogRecon, ImageSegmentsBetweenResetColumns) {
    const uint8_t resets[] = {1, 195};
    IrCaptureOptions options{};
    options.analogResets = resets;
    IrReconState state{};
    state.options = &options;
    state.baselineMean = 128;
    state.baselineOffset = offsetOf(128);
    std::vector<uint8_t> image(2 * 200);
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 200; ++c) image[r * 200 + c] = uint8_t(c < 100 ? 60 : 220);
    }
    const std::vector<uint8_t> before = image;
    EXPECT_EQ(IRanalogReconImage(&state, image.data(), 0, 2, 200, 0), TCS_RESULT_OK);
    for (int r = 0; r < 2; ++r) {
        // The last segment of 5 pixels keeps its values (margin 1000); the first is stretched.
        for (int c = 195; c < 200; ++c) EXPECT_EQ(image[r * 200 + c], before[r * 200 + c]);
        EXPECT_EQ(*std::min_element(image.begin() + r * 200, image.begin() + r * 200 + 195), 0);
    }
}

TEST(AnalogRecon, PackedImageMatchesTheUnpackedOne) {
    IrReconState state{};
    state.baselineMean = 128;
    state.baselineOffset = offsetOf(128);
    // Packed rows of 199 pixels hold 99 bytes: the odd last pixel has no nibble and is not read.
    constexpr uint32_t kRows = 3, kPaired = 198, kBytes = kPaired / 2;
    std::vector<uint8_t> unpacked(kRows * kPaired), packed(kRows * kBytes);
    for (uint32_t r = 0; r < kRows; ++r) {
        for (uint32_t c = 0; c < kPaired; ++c) unpacked[r * kPaired + c] = uint8_t(((c * 7 + r * 3) % 13) * 16);
        pack4bitRow(&unpacked[r * kPaired], &packed[r * kBytes], kBytes, 1);
    }
    IRanalogReconImage(&state, unpacked.data(), 0, kRows, kPaired, 0);
    std::vector<uint8_t> expected(packed.size());
    for (uint32_t r = 0; r < kRows; ++r) pack4bitRow(&unpacked[r * kPaired], &expected[r * kBytes], kBytes, 1);
    EXPECT_EQ(IRanalogReconImage(&state, packed.data(), 1, kRows, kPaired + 1, 0), TCS_RESULT_OK);
    EXPECT_EQ(packed, expected);
}

class Quality : public testing::Test {
protected:
    void SetUp() override {
        geometry.g2 = 50;
        geometry.g3 = 50;
        geometry.tickLength = 100;
        state.geometry = &geometry;
        state.defaultLag = 8;
        state.processedLines = 500;
        state.eventSink = [](IrEventRecord* record, void* context) -> TcsResult {
            static_cast<std::vector<uint32_t>*>(context)->push_back(record->id == kIrEventQualityFlags ? record->flags : 0);
            return TCS_RESULT_OK;
        };
        state.eventContext = &events;
        state.eventRecord = &record;
        IrReconResults& r = state.results;
        r.rows = 300;
        r.columns = 200;
        r.fingerWidth = 150;
        r.meanScore = 100;
        r.meanYLag = 8;
        r.secondMeanLag = 8;
        r.pressure = 100;
        r.firstTime = 0;
        r.lastTime = 5000;  // 500000 ticks: neither fast nor slow
    }
    uint32_t verdict() {
        state.qualityFlags = 0;
        EXPECT_EQ(IRqualityDetermination(&state), TCS_RESULT_OK);
        return state.qualityFlags;
    }
    IrGeometry geometry{};
    IrReconState state{};
    IrEventRecord record{20, 0, 0, 0, 0, 0, 0};
    std::vector<uint32_t> events;
};

TEST_F(Quality, GoodSwipeHasNoFlagsAndRaisesNoEvent) {
    EXPECT_EQ(verdict(), 0u);
    EXPECT_TRUE(events.empty());
}

TEST_F(Quality, RowCountsAndEffectiveRows) {
    struct Case { uint32_t rows, g2, g3; uint32_t flags; };
    for (auto [rows, g2, g3, flags] : std::initializer_list<Case>{
             {49, 50, 50, 0x80200000},         // rejected outright
             {60, 70, 50, 0x80000004},          // E = 60
             {100, 50, 70, 0x4},                // E = 150
             {100, 50, 50, 0x4},                // E = 100
             {200, 70, 50, 0},                  // E = 300
             {74, 50, 50, 0x80000004}}) {
        SCOPED_TRACE(testing::Message() << rows << " " << g2 << " " << g3);
        state.results.rows = rows;
        geometry.g2 = g2;
        geometry.g3 = g3;
        EXPECT_EQ(verdict(), flags);
    }
    // A short swipe with a poor score is not a swipe at all.
    state.results.rows = 70;
    state.results.meanScore = 50;
    EXPECT_EQ(verdict(), 0x80200004u);
}

TEST_F(Quality, MarginsSkewPressureAndScore) {
    struct Case { uint16_t left, right; int16_t drift; uint8_t pressure; int8_t score; uint32_t flags; };
    for (auto [left, right, drift, pressure, score, flags] : std::initializer_list<Case>{
             {40, 0, 0, 100, 100, 0x41000},           // left margin C / 5: offset right
             {67, 0, 0, 100, 100, 0x80041000},        // C / 3
             {0, 40, 0, 100, 100, 0x21000},
             {67, 67, 0, 100, 100, 0x80200000},       // both beyond C / 3: rejected
             {100, 60, 0, 100, 100, 0x80061000 | 0x2010000},  // margins above 3C / 4 together
             {0, 0, -60, 100, 100, 0x8000},
             {0, 0, 90, 100, 100, 0x80008000},
             {0, 0, 48, 68, 100, 0x80000},
             {0, 0, 0, 100, 40, 0x800000},
             {0, 0, 0, 100, -1, 0x800000}}) {
        SCOPED_TRACE(testing::Message() << left << " " << right << " " << drift);
        state.results.leftMargin = left;
        state.results.rightMargin = right;
        state.results.meanXDrift = drift;
        state.results.pressure = pressure;
        state.results.meanScore = score;
        EXPECT_EQ(verdict(), flags);
    }
}

TEST_F(Quality, SwipeSpeed) {
    state.results.rows = 270;
    struct Case { uint16_t last; uint8_t meanLag, secondLag; uint32_t a, b; uint16_t spanStart; uint32_t flags; };
    for (auto [last, meanLag, secondLag, a, b, spanStart, flags] : std::initializer_list<Case>{
             {1249, 3, 8, 51, 0, 0, 0x2},        // D 124900 < 125000, A > E / 6
             {1250, 3, 8, 51, 0, 0, 0},          // D exactly 125000
             {1000, 8, 3, 38, 0, 0, 0x2},        // second mean lag below 4, A > E / 8
             {1000, 8, 8, 121, 0, 0, 0x2},       // A > E / 3 + 20 on a short image
             {4501, 13, 8, 0, 0, 0, 0x10},       // slow: lag 13 and D 450100
             {10001, 8, 8, 0, 201, 0, 0x10},     // S > 2E / 3 and D > 1000000
             {10001, 9, 8, 0, 61, 0, 0x10},      // lag above the default, S > E / 5
             {10001, 8, 8, 0, 61, 0, 0},         // lag not above the default
             {15001, 9, 8, 0, 0, 0, 0x10},       // very long
             {10001, 8, 8, 0, 260, 100, 0}}) {   // span counted from its start
        SCOPED_TRACE(testing::Message() << last << " " << int(meanLag));
        state.results.lastTime = last;
        state.results.meanYLag = meanLag;
        state.results.secondMeanLag = secondLag;
        state.results.lineCountA = a;
        state.results.lineCountB = b;
        state.results.lagSpanStart = spanStart;
        EXPECT_EQ(verdict(), flags);
    }
    // The duration is taken modulo the 16-bit clock.
    state.results.firstTime = 65000;
    state.results.lastTime = 500;
    state.results.meanYLag = 3;
    state.results.lineCountA = 51;
    EXPECT_EQ(verdict(), 0x2u);  // 1036 ticks x 100
}

TEST_F(Quality, StictionZonesNearTheUpperBoundDoNotCount) {
    auto zone = [](uint32_t start, uint32_t length) { return start | (length << 12); };
    state.results.stictionLower = 10;
    state.results.stictionUpper = 300;
    state.results.stictionCount = 2;
    state.results.stictionZones[0] = zone(20, 20);
    state.results.stictionZones[1] = zone(100, 11);
    EXPECT_EQ(verdict(), 0x1u);                   // 31 rows stuck
    state.results.stictionZones[1] = zone(240, 11);  // 240 + 11 + 49 reaches the bound
    EXPECT_EQ(verdict(), 0u);
    state.results.stictionZones[1] = zone(5, 11);    // starts before the lower bound
    EXPECT_EQ(verdict(), 0u);
}

TEST_F(Quality, EventCarriesTheWordIncludingEarlierFlags) {
    state.results.rows = 49;
    verdict();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], 0x80200000u);
    state.results.rows = 300;
    state.qualityFlags = kQualityNotCalibrated;
    IRqualityDetermination(&state);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], uint32_t(kQualityNotCalibrated));
}

TEST(InterpolateLine, Rows) {
    const uint8_t a[] = {10, 0, 255}, b[] = {21, 100, 0};
    uint8_t out[3] = {};
    IRinterpolateLine(out, a, b, 1, 2, 3, 0);
    EXPECT_EQ(out[0], 15);
    EXPECT_EQ(out[1], 50);
    EXPECT_EQ(out[2], 127);
    IRinterpolateLine(out, a, b, 1, 4, 3, 0);
    EXPECT_EQ(out[1], 25);
    IRinterpolateLine(out, a, nullptr, 1, 2, 3, 0);
    EXPECT_EQ(out[0], 10);
    EXPECT_EQ(out[2], 255);
    // Packed: each nibble interpolated on its own.
    const uint8_t pa[] = {0x2F, 0x00}, pb[] = {0x81, 0xFF};
    uint8_t po[2] = {};
    IRinterpolateLine(po, pa, pb, 1, 2, 4, 1);
    EXPECT_EQ(po[0], 0x58);
    EXPECT_EQ(po[1], 0x77);
}

}  // namespace
