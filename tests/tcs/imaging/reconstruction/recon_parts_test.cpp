// Set-up, per-line control, correlator ranges, orientation, row assignment, lag finalisation and
// post-processing: the documented examples and the faults mended on the way.
#include "recon_harness.h"

#include "tcs/imaging/reconstruction/correlate.h"
#include "tcs/imaging/reconstruction/lag_final.h"
#include "tcs/imaging/reconstruction/post_process.h"
#include "tcs/imaging/reconstruction/quality.h"
#include "tcs/imaging/reconstruction/recon_memory.h"
#include "tcs/imaging/reconstruction/scanline_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using recon_test::Recon;

constexpr uint32_t kNoCulling = 0x8000;

// A line of the pool with the given lags and scores for direction d (header only matters here).
std::vector<uint8_t> poolLine(uint8_t yLag, int8_t xLag, uint8_t score, uint16_t time, uint32_t d = 1) {
    std::vector<uint8_t> line(8 + 200 + 64, 128);
    for (size_t i = 8; i < line.size(); ++i) line[i] = uint8_t((i * 37 + time * 11) & 0xFF);
    line[0] = line[1] = 0;
    line[d] = yLag;
    line[4 + d] = uint8_t(xLag);
    line[6 + d] = score;
    line[2] = uint8_t(time);
    line[3] = uint8_t(time >> 8);
    return line;
}

// The finishing pass's scratch, as tcsDoIR sets it up over the early line buffers.
struct FinishingScratch {
    explicit FinishingScratch(IrReconState& s) : area(8192) {
        volatileMemInit(area.data(), uint32_t(area.size()));
        s.volatileArea = area.data();
        s.volatileSize = uint32_t(area.size());
    }
    std::vector<uint8_t> area;
};

void fillPool(IrReconState& s, const std::vector<uint8_t>& lags, uint8_t score = 100, int8_t x = 0) {
    // Oldest first, so that index 0 ends up the newest.
    for (size_t k = lags.size(); k-- > 0;) {
        const std::vector<uint8_t> line = poolLine(lags[k], x, score, uint16_t(1000 - k));
        IR_addScanlinesToPool(&s, line.data(), 0x100);
    }
}

TEST(ReconSetup, InitChecksInTheirOrder) {
    struct Case {
        const char* name;
        uint32_t cfg;
        uint32_t capacity;
        uint32_t geometrySize;
        uint32_t pixelBytes;
        uint32_t g1;
        TcsResult expected;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"good", recon_test::kRealTimeCfg, recon_test::kCapacity, 72, 200, 400, 0},
             {"capacity 40000", recon_test::kRealTimeCfg, 40000, 72, 200, 400, 5},
             {"capacity 40000, short lines", recon_test::kRealTimeCfg | 0x800, 40000, 72, 200, 400, 0},
             {"capacity 35000, short lines", recon_test::kRealTimeCfg | 0x800, 35000, 72, 200, 400, 5},
             {"geometry size", recon_test::kRealTimeCfg, recon_test::kCapacity, 70, 200, 400, 49},
             {"line too long", recon_test::kRealTimeCfg, recon_test::kCapacity, 72, 249, 400, 44},
             {"lag step not 8", recon_test::kRealTimeCfg, recon_test::kCapacity, 72, 200, 350, 204},
         }) {
        Recon r(c.cfg);
        r.geometry.size = c.geometrySize;
        r.geometry.pixelBytes = c.pixelBytes;
        r.geometry.g1 = c.g1;
        r.image.resize(std::max<size_t>(c.capacity, r.image.size()));
        const TcsResult result =
            tcsInitIR(r.persistent.data(), uint32_t(r.persistent.size()), r.volatileArea.data(), 32, r.image.data(),
                      c.capacity, &r.options, &r.geometry, c.cfg, 2, nullptr, nullptr, &r.events);
        EXPECT_EQ(result, c.expected) << c.name;
    }
    Recon noCell(recon_test::kDefaultCfg);
    noCell.options.aspPixelCell = nullptr;
    EXPECT_EQ(noCell.init(), TCS_RESULT_BUFFER_TOO_SMALL);
    Recon noFrame(recon_test::kDefaultCfg);
    noFrame.options.frameBuffer = nullptr;
    EXPECT_EQ(noFrame.init(), TCS_RESULT_BUFFER_TOO_SMALL);
    Recon tinyVolatile(recon_test::kDefaultCfg);
    EXPECT_EQ(tcsInitIR(tinyVolatile.persistent.data(), 0x30000, tinyVolatile.volatileArea.data(), 20,
                        tinyVolatile.image.data(), recon_test::kCapacity, &tinyVolatile.options,
                        &tinyVolatile.geometry, recon_test::kDefaultCfg, 2, nullptr, nullptr, &tinyVolatile.events),
              TCS_RESULT_BUFFER_TOO_SMALL);
}

TEST(ReconSetup, EventsCullWordAndMissingBaseline) {
    Recon r(recon_test::kDefaultCfg);
    ASSERT_EQ(r.init(), TCS_RESULT_OK);
    const IrReconState& s = *r.state();
    EXPECT_EQ(r.eventIds, std::vector<uint16_t>{kIrEventInitialised});
    // 1142 (low nibbles cleared), bit 0 cleared by CfgInfo bits 0 and 1, bit 3 set by 0x10000.
    EXPECT_EQ(s.cullFlags, (1142 & ~1) | 8);
    EXPECT_EQ(s.cullMinChanged, 5u);
    EXPECT_EQ(s.cullThreshold, 16u);
    EXPECT_EQ(s.qualityFlags, kQualityNotCalibrated);
    EXPECT_EQ(s.baselineMean, 128);
    EXPECT_EQ(s.cfgInfo & 0x18u, 0u);
    tcsStopIR(r.state());
    EXPECT_EQ(r.eventIds.back(), kIrEventStopped);
    EXPECT_EQ(tcsSetIR(r.state()), TCS_RESULT_INVALID);
}

TEST(ReconControl, SensorTimeStepGoesIntoHeaderByteFour) {
    Recon r(recon_test::kRealTimeCfg | kNoCulling);
    ASSERT_EQ(r.init(), TCS_RESULT_OK);
    struct Case {
        uint16_t time;
        uint8_t byte4;
    };
    // Steps of 1 and 254 are not steps the sensor makes: 0.
    const Case cases[] = {{100, 0}, {110, 10}, {111, 0}, {365, 0}, {367, 2}, {620, 253}, {65500, 0}, {4, 40}};
    for (const Case& c : cases) {
        std::vector<uint8_t> line = poolLine(0, 0, 0, c.time);
        line[4] = 0x77;
        uint8_t seen = 0xEE;
        r.state()->cfgInfo |= 0x400000;  // no correlation: header byte 4 stays as the step left it
        tcsDoIR(r.state(), line.data(), nullptr);
        seen = tcsGetEntryFromCircBuffer(0, &r.state()->correlation)[4];
        (void)seen;
        EXPECT_EQ(line[4] == c.byte4 || line[4] == 0, true) << c.time;
    }
    EXPECT_EQ(r.eventIds[1], kIrEventFirstLine);
}

TEST(Correlation, RangesFromTheLastLagsAndHistory) {
    Recon r(recon_test::kRealTimeCfg);
    ASSERT_EQ(r.init(), TCS_RESULT_OK);
    IrReconState& s = *r.state();
    IrDirectionState& d = s.direction[1];
    CorrRanges out;
    d.lastYLag = 10;
    setupCorrParams(&s, 1, &out);
    EXPECT_EQ(out.minimum, 3);
    EXPECT_EQ(out.maximum, 17);
    EXPECT_EQ(out.centre, 10);
    d.lastYLag = 25;
    s.processedLines = 5;  // the two latest history slots are 4 and 3
    d.yLagHistory[4 % 4] = 20;
    d.yLagHistory[3 % 4] = 19;
    setupCorrParams(&s, 1, &out);
    EXPECT_EQ(out.minimum, 3);
    EXPECT_EQ(out.maximum, 23);
    struct XCase {
        int8_t x;
        int a, b, c, e;
    };
    for (const XCase& c : std::initializer_list<XCase>{
             {6, 4, 7, 0, 1}, {2, 0, 4, 0, 1}, {0, 1, 2, 1, 2}, {1, 1, 3, 1, 1}, {-1, 1, 1, 1, 3}, {-5, 0, 1, 3, 7},
             {-7, 0, 1, 4, 7}}) {
        d.lastXLag = c.x;
        setupCorrParams(&s, 1, &out);
        EXPECT_EQ((std::vector<int>{out.a, out.b, out.c, out.e}), (std::vector<int>{c.a, c.b, c.c, c.e})) << int(c.x);
    }
    d.lastYLag = 9;
    d.lagOffset = 3;
    setupCorrParams(&s, 1, &out);
    EXPECT_EQ(out.centre, 6);
    EXPECT_EQ(d.lagOffset, 0);
}

TEST(Correlation, InvertAndFlipTable) {
    struct Case {
        uint8_t direction;
        uint32_t invert, flip;
        bool mirrored, inverted;
    };
    Recon r(recon_test::kRealTimeCfg);
    ASSERT_EQ(r.init(), TCS_RESULT_OK);
    IrReconState& s = *r.state();
    for (const Case& c : std::initializer_list<Case>{{0, 1, 1, true, true},
                                                     {0, 1, 0, false, true},
                                                     {0, 0, 1, true, false},
                                                     {0, 0, 0, false, false},
                                                     {1, 0, 0, true, false},
                                                     {1, 0, 1, false, false},
                                                     {1, 1, 1, false, true},
                                                     {1, 1, 0, true, true},
                                                     {2, 1, 0, false, false}}) {
        s.detectedDirection = c.direction;
        s.geometry->primaryPolarity = c.invert;
        s.geometry->flip = c.flip;
        s.results.leftMargin = 3;
        s.results.rightMargin = 9;
        uint8_t pixels[6] = {10, 20, 30, 40, 50, 60};
        const uint32_t result = IRhandleInvertAndFlip(&s, 0, 1, pixels, 3, 2);
        uint8_t expected[6] = {10, 20, 30, 40, 50, 60};
        if (c.mirrored) {
            std::swap(expected[0], expected[2]);
            std::swap(expected[3], expected[5]);
        }
        if (c.inverted) {
            for (uint8_t& v : expected) v = uint8_t(255 - v);
        }
        EXPECT_EQ(result, c.mirrored ? 1u : 0u) << int(c.direction) << c.invert << c.flip;
        EXPECT_EQ(0, memcmp(pixels, expected, 6)) << int(c.direction) << c.invert << c.flip;
        EXPECT_EQ(s.results.leftMargin, c.mirrored ? 9 : 3);
    }
}

TEST(RowAssignment, CyclesOfTheSeparationAndRetTables) {
    struct Case {
        uint8_t lag;
        std::vector<uint8_t> rows;  // per line from the newest; 0xFF dropped
    };
    const uint8_t D = kRowDropped;
    for (const Case& c : std::initializer_list<Case>{
             {4, {0, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
             {3, {0, 2, 2, 2, 2, 2, 2, 2, 2, 2}},
             {6, {0, 0, 1, 0, 0, 1, 0, 0, 1, 0}},
             {7, {0, 0, 0, 0, 0, 0, 1, 0, 0, 0}},
             {8, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
             {10, {0, 0, 0, 0, D, 0, 0, 0, 0, 0}},
             {16, {0, D, 0, D, 0, D, 0, D, 0, 0}},
             {21, {D, D, 0, D, D, 0, D, D, 0, 0}},
             {22, {D, D, D, D, D, D, D, D, D, 0}},
             {0, {D, D, D, D, D, D, D, D, D, 0}},
         }) {
        Recon r(recon_test::kRealTimeCfg);
        ASSERT_EQ(r.init(), TCS_RESULT_OK);
        IrReconState& s = *r.state();
        fillPool(s, std::vector<uint8_t>(10, c.lag));
        irAssignRowCounts(&s, 1);
        std::vector<uint8_t> rows;
        for (uint32_t i = 0; i < 10; ++i) rows.push_back(tcsGetEntryFromCompoundCircBuffer(i, &s.pool)[6]);
        EXPECT_EQ(rows, c.rows) << "lag " << int(c.lag);
    }
}

TEST(RowAssignment, LagEightGivesOneRowPerLineAndNegativeXLagsMarkRows) {
    Recon r(recon_test::kRealTimeCfg | 0x200);
    ASSERT_EQ(r.init(), TCS_RESULT_OK);
    IrReconState& s = *r.state();
    FinishingScratch scratch(s);
    s.detectedDirection = 1;
    fillPool(s, std::vector<uint8_t>(300, 8), 100, -3);
    std::vector<uint8_t> marks(512, 0xAA);
    ASSERT_EQ(IRreconstructImage(&s, marks.data()), TCS_RESULT_OK);
    // The newest K lines are junk by definition; every other line is one row.
    EXPECT_EQ(s.results.rows + s.results.trailingCount, 300u);
    EXPECT_EQ(s.results.repeatedLines, 0u);
    EXPECT_EQ(marks[10], uint8_t(-24));
    EXPECT_EQ(s.results.meanYLag, 8);
    // Line k was pooled at time 1000 - k: the first used line follows the junk, the last used time
    // is taken 20 lines from the oldest (index 279).
    EXPECT_EQ(s.results.firstUsedTime, 1000 - s.results.trailingCount);
    EXPECT_EQ(s.results.lastUsedTime, 1000 - 279);
}

TEST(RowAssignment, LagFourRepeatsAndInterpolatesEverySecondRow) {
    Recon r(recon_test::kRealTimeCfg | 0x200);
    ASSERT_EQ(r.init(), TCS_RESULT_OK);
    IrReconState& s = *r.state();
    FinishingScratch scratch(s);
    s.detectedDirection = 1;
    fillPool(s, std::vector<uint8_t>(120, 4));
    std::vector<uint8_t> marks(512, 0);
    ASSERT_EQ(IRreconstructImage(&s, marks.data()), TCS_RESULT_OK);
    const uint32_t lines = 120 - s.results.trailingCount;
    EXPECT_EQ(s.results.rows, 2 * lines - 1);
    // The newest line gives row 0 alone; each later line a row and its repeat, the repeat lying
    // between that line and the next: row 2 is the mean of rows 1 and 3.
    const uint8_t* img = s.image;
    for (uint32_t c = 0; c < 200; c += 17) {
        EXPECT_EQ(img[400 + c], (img[200 + c] + img[600 + c]) / 2) << c;
    }
    EXPECT_EQ(marks[1] & 7, 0);
    EXPECT_EQ(marks[2] & 7, 1);
}

TEST(RowAssignment, EmptyOrTinyPoolGivesNoRows) {
    for (uint32_t lines : {0u, 1u, 8u}) {
        Recon r(recon_test::kRealTimeCfg);
        ASSERT_EQ(r.init(), TCS_RESULT_OK);
        IrReconState& s = *r.state();
        FinishingScratch scratch(s);
        fillPool(s, std::vector<uint8_t>(lines, 8));
        std::vector<uint8_t> marks(512, 0);
        EXPECT_EQ(IRreconstructImage(&s, marks.data()), TCS_RESULT_OK);
        EXPECT_LE(s.results.rows, lines);
    }
}

TEST(LagFinalisation, MedianStictionAndFill) {
    uint8_t five[5] = {9, 1, 7, 3, 5};
    EXPECT_EQ(opt_med5(five), 5);
    uint8_t same[5] = {4, 4, 4, 4, 4};
    EXPECT_EQ(opt_med5(same), 4);

    Recon r(recon_test::kRealTimeCfg);
    ASSERT_EQ(r.init(), TCS_RESULT_OK);
    IrReconState& s = *r.state();
    FinishingScratch scratch(s);
    // Newest 150 lines steady at 8, then a stretch that sticks (lags climbing past 21 and falling
    // back by one), then 200 steady lines again.
    std::vector<uint8_t> lags(150, 8);
    const uint8_t saw[] = {23, 22, 21, 20, 19, 18, 17, 8, 8};
    for (int k = 0; k < 100; ++k) lags.push_back(saw[k % 9]);
    lags.insert(lags.end(), 200, 8);
    fillPool(s, lags, 100);
    for (uint32_t i = 150; i < 250; ++i) tcsGetEntryFromCompoundCircBuffer(i, &s.pool)[7] = 50;
    EXPECT_EQ(detectStictionZone(&s, 1, 0, 150, 249, lags.data()), 1u);
    EXPECT_EQ(detectStictionZone(&s, 1, 0, 150, 189, lags.data()), 0u);  // fewer than 40 lines
    EXPECT_EQ(detectStictionZone(&s, 1, 0, 0, 140, lags.data()), 2u);    // steady and strong

    YPlateau plateaus[kMaxPlateaus];
    uint32_t count = 0, trailing = 0, end = 0, noise = 0;
    ASSERT_EQ(IRfinalizeYlagEstimates(&s, 1, 45, plateaus, &count, &trailing, &end, &noise), TCS_RESULT_OK);
    EXPECT_GE(count, 2u);
    EXPECT_EQ(end, 449u);
    EXPECT_GE(s.results.stictionCount, 1u);
    for (uint32_t q = 0; q < trailing; ++q) EXPECT_EQ(tcsGetEntryFromCompoundCircBuffer(q, &s.pool)[1], kJunkLag);

    // Mode 1 writes a straight line; mode 0 keeps lags of 18 and more on long spans.
    interpolateYlags(&s, 1, 300, 4, 304, 12, 1);
    std::vector<int> written;
    for (uint32_t i = 300; i < 304; ++i) written.push_back(tcsGetEntryFromCompoundCircBuffer(i, &s.pool)[1]);
    EXPECT_EQ(written, (std::vector<int>{4, 6, 8, 10}));

    Recon small(recon_test::kRealTimeCfg);
    ASSERT_EQ(small.init(), TCS_RESULT_OK);
    FinishingScratch smallScratch(*small.state());
    fillPool(*small.state(), std::vector<uint8_t>(10, 8));
    EXPECT_EQ(IRfinalizeYlagEstimates(small.state(), 1, 45, plateaus, &count, &trailing, &end, &noise), 1);
    EXPECT_EQ(trailing + end + noise + count, 0u);
}

TEST(LagFinalisation, WeakLinesCountAsUnreliableLags) {
    // Between two steady slides, a stretch where the lag climbs from 15 to 19 and then five lines
    // in a row find no match: their headers keep the last good lag, but their scores say not to
    // trust it. Read as unreliable, the stretch sticks and jumps, a stiction zone; read as the stale
    // lags, it is a slow slide and nothing is recorded.
    std::vector<uint8_t> lags(150, 8);
    const uint8_t cycle[] = {19, 18, 17, 16, 15, 19, 19, 19, 19, 19};
    for (int k = 0; k < 100; ++k) lags.push_back(cycle[k % 10]);
    lags.insert(lags.end(), 300, 8);
    for (const uint8_t weak : {20, 45}) {
        Recon r(recon_test::kRealTimeCfg);
        ASSERT_EQ(r.init(), TCS_RESULT_OK);
        IrReconState& s = *r.state();
        FinishingScratch scratch(s);
        fillPool(s, lags, 100);
        for (uint32_t i = 150; i < 250; ++i) {
            tcsGetEntryFromCompoundCircBuffer(i, &s.pool)[7] = (i - 150) % 10 >= 5 ? weak : 100;
        }
        YPlateau plateaus[kMaxPlateaus];
        uint32_t count = 0, trailing = 0, end = 0, noise = 0;
        ASSERT_EQ(IRfinalizeYlagEstimates(&s, 1, 45, plateaus, &count, &trailing, &end, &noise), TCS_RESULT_OK);
        if (weak < 40) {
            EXPECT_EQ(s.results.stictionCount, 1u);
            EXPECT_GE(s.results.stictionTotal, 95u);
        } else {
            EXPECT_EQ(s.results.stictionCount, 0u);
        }
    }
}

TEST(LagFinalisation, StuckStretchReachesTheQualityVerdict) {
    Recon r(recon_test::kRealTimeCfg);
    ASSERT_EQ(r.init(), TCS_RESULT_OK);
    IrReconState& s = *r.state();
    FinishingScratch scratch(s);
    std::vector<uint8_t> lags(200, 8);
    const uint8_t saw[] = {23, 22, 21, 20, 19, 18, 17, 8, 8};
    for (int k = 0; k < 120; ++k) lags.push_back(saw[k % 9]);
    lags.insert(lags.end(), 300, 8);
    fillPool(s, lags, 100);
    for (uint32_t i = 200; i < 320; ++i) tcsGetEntryFromCompoundCircBuffer(i, &s.pool)[7] = 50;
    s.detectedDirection = 1;
    std::vector<uint8_t> marks(512, 0);
    ASSERT_EQ(IRreconstructImage(&s, marks.data()), TCS_RESULT_OK);
    EXPECT_GE(s.results.stictionTotal, 31u);
    s.results.fingerWidth = 1;
    s.qualityFlags = 0;
    IRqualityDetermination(&s);
    EXPECT_NE(s.qualityFlags & kQualityStiction, 0u) << std::hex << s.qualityFlags;
}

TEST(PostProcessing, ShortImageIsLeftAlone) {
    Recon r(recon_test::kRealTimeCfg);
    ASSERT_EQ(r.init(), TCS_RESULT_OK);
    IrReconState& s = *r.state();
    s.results.rows = 74;
    s.results.columns = 200;
    for (uint32_t i = 0; i < 74 * 200; ++i) s.image[i] = uint8_t(i * 7);
    std::vector<uint8_t> before(s.image, s.image + 74 * 200), marks(512, 0);
    EXPECT_EQ(IRpostProcessImage(&s, marks.data()), 1);
    EXPECT_EQ(0, memcmp(before.data(), s.image, before.size()));
}

TEST(PostProcessing, FingerBoundsAndNormalisation) {
    std::vector<uint8_t> white(100, 230);
    FingerBounds b[2] = {{7, 7}, {7, 7}};
    FindFingerBounds(white.data(), 0, 100, b, 1);
    EXPECT_EQ(b[1].start, 0);
    EXPECT_EQ(b[1].end, 0);
    // Light background left of 40, ridges from there on: the start lands at the ridges. Measured
    // over [30, 100), the halves split at 65, not at 50.
    std::vector<uint8_t> row(100, 250);
    for (uint32_t i = 40; i < 100; ++i) row[i] = (i / 3) % 2 ? 40 : 120;
    FindFingerBounds(row.data(), 30, 100, b, 0);
    EXPECT_GE(b[0].start, 34);
    EXPECT_LE(b[0].start, 41);

    std::vector<uint8_t> flat = {120, 125, 127, 128, 129, 126};
    NormalizeGrayscaleValuesMethod1(flat.data(), 0, 6, 0, 6, 5, 99);
    EXPECT_EQ(flat, (std::vector<uint8_t>{0, 0, 0, 128, 255, 0}));
    std::vector<uint8_t> ramp(100);
    for (uint32_t i = 0; i < 100; ++i) ramp[i] = uint8_t(50 + i);
    NormalizeGrayscaleValuesMethod1(ramp.data(), 0, 100, 0, 100, 0, 100);
    EXPECT_EQ(ramp.front(), 0);
    EXPECT_GE(ramp.back(), 250);
}

TEST(PostProcessing, DarkColumnsCentreWindowAndWidthGuard) {
    for (uint8_t darkMean : {79, 80}) {
        Recon r(kCfgDarkColumns);  // no other pass: the columns stay as made
        ASSERT_EQ(r.init(), TCS_RESULT_OK);
        IrReconState& s = *r.state();
        FinishingScratch scratch(s);
        s.geometry->primaryPolarity = 0;
        s.detectedDirection = 0;
        s.results.rows = 100;
        s.results.columns = 200;
        for (uint32_t y = 0; y < 100; ++y) {
            for (uint32_t x = 0; x < 200; ++x) s.image[y * 200 + x] = x == 60 ? darkMean : uint8_t(100 + (x % 2) * 60);
        }
        std::vector<uint8_t> marks(512, 0);
        EXPECT_EQ(IRpostProcessImage(&s, marks.data()), 0);
        if (darkMean == 79) {
            EXPECT_EQ(s.image[5 * 200 + 60], (s.image[5 * 200 + 59] + s.image[5 * 200 + 61]) / 2);
        } else {
            EXPECT_EQ(s.image[5 * 200 + 60], 80);
        }
    }
    // Every row interpolated: the width analysis has no row to scale by and leaves the margins 0;
    // the centre window finds no row and reports 0.
    Recon r(recon_test::kRealTimeCfg);
    ASSERT_EQ(r.init(), TCS_RESULT_OK);
    IrReconState& s = *r.state();
    FinishingScratch scratch(s);
    s.results.rows = 100;
    s.results.columns = 200;
    std::vector<uint8_t> marks(512, 3);
    EXPECT_EQ(IRpostProcessImage(&s, marks.data()), 0);
    EXPECT_EQ(s.results.leftMargin, 0);
    EXPECT_EQ(s.results.rightMargin, 0);
    EXPECT_EQ(s.results.centreMeanGrey, 0);
    EXPECT_EQ(s.results.pressure, 0);
    uint16_t left = 0, right = 0;
    EXPECT_EQ(doFingerWidthAnalysis(s.image, 0, 200, 0, marks.data(), &left, &right, 0), 0u);
}

TEST(PostProcessing, SkewShiftFillsWithWhite) {
    uint8_t row[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    int16_t left[1] = {0}, right[1] = {0};
    EXPECT_EQ(IRapplyXLagOffset(row, 2048, 0, 8, 0, 0, 255, 1, 0, left, right), 0u);
    EXPECT_EQ((std::vector<uint8_t>(row, row + 8)), (std::vector<uint8_t>{255, 255, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(right[0], 2);
    uint8_t rotated[4] = {1, 2, 3, 4};
    EXPECT_EQ(IRapplyXLagOffset(rotated, -1024, 0, 4, 0, 0, 255, 0, 0, nullptr, nullptr), 0u);
    EXPECT_EQ((std::vector<uint8_t>(rotated, rotated + 4)), (std::vector<uint8_t>{2, 3, 4, 1}));
    EXPECT_EQ(IRapplyXLagOffset(rotated, 9 * 1024, 0, 4, 0, 0, 255, 1, 0, nullptr, nullptr), 1u);
    EXPECT_EQ(rotated[0], 255);
}

TEST(NccWindows, SixtyFourPixelStatisticsAndCrossSumsMatchPlainSums) {
    uint32_t seed = 12345;
    for (int round = 0; round < 200; ++round) {
        uint8_t a[64], b[64];
        for (int i = 0; i < 64; ++i) {
            seed = seed * 1103515245u + 12345u;
            a[i] = round == 0 ? 255 : uint8_t(seed >> 16);
            b[i] = round == 0 ? 255 : uint8_t(seed >> 8);
        }
        uint32_t sum = 0, squares = 0, cross = 0;
        for (int i = 0; i < 64; ++i) {
            sum += a[i];
            squares += uint32_t(a[i]) * a[i];
            cross += uint32_t(a[i]) * b[i];
        }
        NccStats stats;
        tcsComputeNCCStats(&stats, a, 64);
        EXPECT_EQ(stats.sum, sum);
        EXPECT_EQ(stats.sumSquares, squares);
        EXPECT_EQ(computeCrossSumL64(a, b), cross);
    }
}

TEST(ReconMemory, VolatileBlocksAreAStack) {
    std::vector<uint8_t> area(24 + 200);
    ASSERT_EQ(volatileMemInit(area.data(), uint32_t(area.size())), TCS_RESULT_OK);
    EXPECT_EQ(volatileMemInit(area.data(), 23), TCS_RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(volatileMemAlloc(area.data(), 0), nullptr);
    EXPECT_EQ(volatileMemAlloc(area.data(), 200), nullptr);  // no byte would stay free
    std::vector<uint8_t*> blocks;
    for (int i = 0; i < 7; ++i) blocks.push_back(volatileMemAlloc(area.data(), 5));
    for (uint8_t* b : blocks) EXPECT_NE(b, nullptr);
    EXPECT_EQ(blocks[1] - blocks[0], 8);
    EXPECT_EQ(volatileMemAlloc(area.data(), 4), nullptr);  // eighth block
    EXPECT_EQ(volatileMemFree(area.data(), blocks[3]), TCS_RESULT_BUFFER_TOO_SMALL);
    for (int i = 6; i >= 0; --i) EXPECT_EQ(volatileMemFree(area.data(), blocks[size_t(i)]), TCS_RESULT_OK);
    EXPECT_EQ(volatileMemAlloc(area.data(), 4), blocks[0]);

    IrPersistentMem mem;
    std::vector<uint8_t> p(64, 0xEE);
    persistentMemInit(&mem, p.data(), 64);
    EXPECT_EQ(persistentMemAlloc(&mem, 6, 1), p.data());
    EXPECT_EQ(p[7], 0);
    EXPECT_EQ(persistentMemAlloc(&mem, 1, 0), p.data() + 8);
    EXPECT_EQ(persistentMemAlloc(&mem, 60, 0), nullptr);
}

}  // namespace

TEST(Correlation, BookkeepingAtTheGoodScoreAndTheRangeEnd) {
    // S of 1500 is a good line and moves the last lags; 1499 is weak and leaves them. A best lag
    // of 22 sets the out flag and takes S / 512 off the accumulated score twice.
    struct Case {
        uint32_t S;
        int32_t lag;
        int8_t x;
        bool good;
        uint32_t accumulated;  // from 1000
        uint32_t flag;
        uint8_t root;
    };
    const Case cases[] = {
        {1500, 10, 2, true, 1000 + 1500 / 256, 0, 38},
        {1499, 10, 2, false, 1000 + 1499 / 256, 0, 38},
        {1500, 19, -1, true, 1000 + 1500 / 256 - 1500 / 512, 0, 38},
        {1500, 22, 1, true, 1000 + 1500 / 256 - 2 * (1500 / 512), 1, 38},
        {40000, 22, 0, true, 1000 + 40000 / 256 - 2 * (40000 / 512), 1, 127},
        {1499, 22, 0, false, 1000 + 1499 / 256 - 2 * (1499 / 512), 1, 38},
    };
    for (const Case& c : cases) {
        Recon r(recon_test::kRealTimeCfg);
        ASSERT_EQ(r.init(), TCS_RESULT_OK);
        IrReconState& s = *r.state();
        s.processedLines = 120;
        IrDirectionState& ds = s.direction[1];
        ds.lastYLag = 8;
        ds.lastXLag = 0;
        ds.accumulatedScore = 1000;
        ds.goodLines = ds.badLines = 0;
        std::vector<uint8_t> line = poolLine(0, 0, 0, 7);
        uint32_t flag = 7;
        irRecordCorrelation(s, 1, line.data(), c.lag, c.x, c.S, &flag);
        EXPECT_EQ(ds.goodLines, c.good ? 1 : 0) << c.S << " lag " << c.lag;
        EXPECT_EQ(ds.badLines, c.good ? 0 : 1) << c.S;
        EXPECT_EQ(c.good ? ds.lastGoodLine : ds.lastBadLine, 120);
        EXPECT_EQ(ds.lastYLag, c.good ? c.lag : 8) << c.S;
        EXPECT_EQ(ds.lastXLag, c.good ? c.x : 0) << c.S;
        EXPECT_EQ(ds.lastScore, std::min<uint32_t>(c.S, 0xFFFF));
        EXPECT_EQ(ds.accumulatedScore, c.accumulated) << c.S << " lag " << c.lag;
        EXPECT_EQ(flag, c.flag) << c.lag;
        // Header bytes of direction 1: the last lags (kept ones for a weak line) and isqrt(S).
        EXPECT_EQ(line[1], uint8_t(ds.lastYLag));
        EXPECT_EQ(int8_t(line[5]), ds.lastXLag);
        EXPECT_EQ(line[7], c.root);
    }
}

TEST(PostProcessing, RotationOfEightAndFourBitImages) {
    // A dark vertical line through the middle, drift 4 (22.5 degrees back): the line leans by
    // tan(22.5) per row about the centre, corners come in white; the 4-bit image turns the same way.
    constexpr uint32_t kRows = 100, kColumns = 200;
    std::vector<uint8_t> results[2];
    for (uint32_t packed = 0; packed < 2; ++packed) {
        Recon r(kCfgRotate | kCfgNoSkew | (packed ? kCfgPackedImage : 0u));
        ASSERT_EQ(r.init(), TCS_RESULT_OK);
        IrReconState& s = *r.state();
        FinishingScratch scratch(s);
        s.geometry->primaryPolarity = 0;
        s.detectedDirection = 0;
        s.results.rows = kRows;
        s.results.columns = kColumns;
        s.results.driftCompanion = -4;  // negated by the orientation step
        std::vector<uint8_t> flat(kRows * kColumns);
        for (uint32_t y = 0; y < kRows; ++y) {
            for (uint32_t x = 0; x < kColumns; ++x) flat[y * kColumns + x] = (x >= 99 && x <= 101) ? 0 : 240;
        }
        for (uint32_t y = 0; y < kRows; ++y) {
            if (packed) pack4bitRow(&flat[y * kColumns], s.image + y * kColumns / 2, kColumns / 2, 1);
            else memcpy(s.image + y * kColumns, &flat[y * kColumns], kColumns);
        }
        std::vector<uint8_t> marks(512, 0);
        ASSERT_EQ(IRpostProcessImage(&s, marks.data()), 0);
        results[packed].resize(kRows * kColumns);
        for (uint32_t y = 0; y < kRows; ++y) {
            if (packed) unpack4bitRow(s.image + y * kColumns / 2, &results[packed][y * kColumns], kColumns, 1);
            else memcpy(&results[packed][y * kColumns], s.image + y * kColumns, kColumns);
        }
        // Darkest column of rows 20, 50 and 80: about 30 x 0.414 = 12.4 columns either side.
        auto darkest = [&](uint32_t y) {
            const uint8_t* row = &results[packed][y * kColumns];
            return uint32_t(std::min_element(row + 20, row + kColumns - 20) - row);
        };
        const int centre = int(darkest(50));
        EXPECT_NEAR(centre, 100, 1) << packed;
        EXPECT_NEAR(std::abs(int(darkest(20)) - centre), 12, 1.5) << packed;
        EXPECT_NEAR(std::abs(int(darkest(80)) - centre), 12, 1.5) << packed;
        EXPECT_LT((int(darkest(20)) - centre) * (int(darkest(80)) - centre), 0) << packed;
        EXPECT_GE(results[packed][0], 240) << packed;  // a corner from outside the image
    }
    for (size_t i = 0; i < results[0].size(); ++i) {
        ASSERT_NEAR(int(results[0][i] & 0xF0), int(results[1][i]), 16) << "pixel " << i;
    }
}

TEST(PostProcessing, CentreWindowOfEightAndFourBitImages) {
    // Grey rising across the columns in whole nibbles: the window's mean tells where it sat. Both
    // forms place it at the middle of the finger between the margins, in pixels.
    constexpr uint32_t kRows = 100, kColumns = 200;
    for (uint32_t packed = 0; packed < 2; ++packed) {
        Recon r(kCfgNoSkew | (packed ? kCfgPackedImage : 0u));
        ASSERT_EQ(r.init(), TCS_RESULT_OK);
        IrReconState& s = *r.state();
        FinishingScratch scratch(s);
        s.geometry->primaryPolarity = 0;
        s.detectedDirection = 0;
        s.results.rows = kRows;
        s.results.columns = kColumns;
        std::vector<uint8_t> row(kColumns);
        for (uint32_t x = 0; x < kColumns; ++x) row[x] = uint8_t(16 * (x / 13));
        for (uint32_t y = 0; y < kRows; ++y) {
            if (packed) pack4bitRow(row.data(), s.image + y * kColumns / 2, kColumns / 2, 1);
            else memcpy(s.image + y * kColumns, row.data(), kColumns);
        }
        std::vector<uint8_t> marks(512, 0);
        ASSERT_EQ(IRpostProcessImage(&s, marks.data()), 0);
        const int centre = (s.results.leftMargin + int(kColumns) - s.results.rightMargin) / 2;
        const int first = std::clamp(centre - 32, 0, int(kColumns) - 64);
        uint32_t sum = 0;
        for (int x = first; x < first + 64; ++x) sum += row[x];
        EXPECT_EQ(s.results.centreMeanGrey, sum / 64) << "packed " << packed << " margins " << s.results.leftMargin
                                                       << ", " << s.results.rightMargin;
    }
}
