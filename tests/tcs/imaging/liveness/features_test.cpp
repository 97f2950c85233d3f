// The liveness features: histograms and their bin limits, pores and ridge segments on hand-drawn
// planes, groups whose flag is off, and groups with too few pixels to measure.
#include "tcs/imaging/liveness/features.h"
#include "tcs/imaging/liveness/mask_gen.h"
#include "tcs/imaging/liveness/transforms.h"
#include "tests/tcs/imaging/liveness/liveness_images.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using livetest::Image;

// Planes of one image, drawn by hand or made by the mask stage.
struct Planes {
    int rows, columns;
    std::vector<uint8_t> image, mask, ridge, skeleton;
    Planes(int r, int c, uint8_t grey = 200)
        : rows(r), columns(c), image(size_t(r) * c, grey), mask(size_t(r) * c), ridge(size_t(r) * c),
          skeleton(size_t(r) * c) {}
    explicit Planes(const Image& im) : Planes(im.rows, im.columns) {
        image = im.pixels;
        made = liveness::mask_gen(image.data(), mask.data(), ridge.data(), skeleton.data(), rows, columns) == 0;
    }
    uint8_t& at(std::vector<uint8_t>& plane, int r, int c) { return plane[size_t(r) * columns + c]; }
    int extract(double* out, liveness::ExtractionFlagsSt flags) const {
        return liveness::extract_features(image.data(), mask.data(), ridge.data(), skeleton.data(), out, columns, rows,
                                          500, flags);
    }
    bool made = false;
};

TEST(Features, HistogramBinsAndTheirLimits) {
    const int edges[5] = {2, 6, 10, 14, 18};  // half a bin: 2
    struct Case {
        const char* name;
        std::vector<double> values;
        std::vector<double> bins;
    };
    for (const Case& c : std::vector<Case>{
             {"on each limit e + 2", {4, 8, 12, 16}, {25, 25, 25, 25, 0}},
             {"just above each limit", {4.5, 8.5, 12.5, 16.5}, {0, 25, 25, 25, 25}},
             {"zeros are never counted but are part of n", {0, 0, 0, 1}, {25, 0, 0, 0, 0}},
             {"below the first edge falls in the first bin", {-3, 1}, {100, 0, 0, 0, 0}},
             {"no values", {}, {0, 0, 0, 0, 0}},
             {"above the last limit", {1000, 15, 40}, {0, 0, 0, 100.0 / 3, 200.0 / 3}},
         }) {
        double out[5];
        liveness::hist(c.values, edges, out);
        for (int k = 0; k < 5; ++k) EXPECT_DOUBLE_EQ(out[k], c.bins[size_t(k)]) << c.name << " bin " << k;
    }
}

TEST(Features, PoreDistancesAndRuns) {
    struct Case {
        const char* name;
        std::vector<int> marks;  // positions along a segment
        int length;
        std::vector<double> distances, runs;
    };
    for (const Case& c : std::vector<Case>{
             {"one run", {3, 8, 12}, 30, {5, 4}, {3}},
             // More than 20 pixels without a pore close the run.
             {"two runs", {2, 6, 40, 45}, 60, {4, 34, 5}, {2, 2}},
             // A run still open at the end is closed by 21 pixels without a pore, or kept when
             // the segment ends sooner; at exactly 20 it is neither.
             {"run closed at the end", {2}, 24, {}, {1}},
             {"run ending 20 pixels on", {2}, 23, {}, {}},
             {"run kept at the end", {2}, 22, {}, {1}},
             {"no pores", {}, 50, {}, {}},
         }) {
        std::vector<uint8_t> marks(size_t(c.length));
        for (int m : c.marks) marks[size_t(m)] = 255;
        std::vector<double> distances, runs;
        liveness::find_pore_stats(marks, 20, distances, runs);
        EXPECT_EQ(distances, c.distances) << c.name;
        EXPECT_EQ(runs, c.runs) << c.name;
    }
    // Neither list grows beyond 3000 values.
    std::vector<uint8_t> marks(7000, 255);
    std::vector<double> distances(2990), runs;
    liveness::find_pore_stats(marks, 20, distances, runs);
    EXPECT_EQ(distances.size(), 3000u);
}

TEST(Features, IntensityHistogramNeedsAHundredPixels) {
    Planes p(10, 30, 0);
    for (int c = 0; c < 30; ++c) {
        for (int r = 0; r < 10; ++r) p.at(p.image, r, c) = c < 10 ? 7 : 255;  // bins 1 and 63
    }
    double out[64];
    ASSERT_TRUE(liveness::intensity_measures(p.image.data(), p.mask.data(), 300, false, out));
    EXPECT_DOUBLE_EQ(out[1], 100 / 3.0);  // 100 pixels / (300 / 100)
    EXPECT_DOUBLE_EQ(out[63], 200 / 3.0);
    // Over the mask: 150 pixels give a divisor of 1 (150 / 100 in integers).
    for (int i = 0; i < 150; ++i) p.mask[size_t(i) * 2] = 255;
    ASSERT_TRUE(liveness::intensity_measures(p.image.data(), p.mask.data(), 300, true, out));
    EXPECT_DOUBLE_EQ(out[1] + out[63], 150);
    // 99 pixels would divide by zero: no measure.
    std::fill(p.mask.begin(), p.mask.end(), 0);
    for (int i = 0; i < 99; ++i) p.mask[size_t(i)] = 255;
    EXPECT_FALSE(liveness::intensity_measures(p.image.data(), p.mask.data(), 300, true, out));
}

// A pore is a bright ridge pixel surrounded by ridge; the skeleton pixel nearest to it (within a
// squared distance below 10) is marked.
TEST(Features, PoresAreMarkedOnTheNearestSkeletonPixel) {
    Planes p(20, 30);
    for (int r = 5; r < 12; ++r) {
        for (int c = 2; c < 28; ++c) {
            p.at(p.ridge, r, c) = 255;
            p.at(p.image, r, c) = 60;
        }
    }
    for (int c = 2; c < 28; ++c) p.at(p.skeleton, 8, c) = 255;
    p.at(p.image, 6, 10) = 150;  // a pore one row above the skeleton
    p.at(p.image, 10, 20) = 101;  // a pore two rows below
    p.at(p.image, 8, 25) = 100;  // not bright enough
    p.at(p.image, 5, 15) = 180;  // on the ridge's edge: a neighbour is off the ridge
    std::vector<uint8_t> P(p.image.size()), Q(p.image.size());
    liveness::locate_and_map_pores(p.image.data(), p.ridge.data(), p.skeleton.data(), P.data(), Q.data(), p.columns,
                                   p.rows);
    std::vector<std::pair<int, int>> pores, marks;
    for (int r = 0; r < p.rows; ++r) {
        for (int c = 0; c < p.columns; ++c) {
            if (P[size_t(r) * p.columns + c]) pores.emplace_back(r, c);
            if (Q[size_t(r) * p.columns + c]) marks.emplace_back(r, c);
        }
    }
    EXPECT_EQ(pores, (std::vector<std::pair<int, int>>{{6, 10}, {10, 20}}));
    EXPECT_EQ(marks, (std::vector<std::pair<int, int>>{{8, 10}, {8, 20}}));
}

// A straight skeleton line of 300 pixels at grey 200: one segment, traced up to its 799-pixel
// limit less its last pixel; its spectrum is the mean of its first 256 values divided by 255,
// 200/255 in the first bin only. A 15-pixel line is traced but does not count.
TEST(Features, RidgeSegmentsAreTracedAndMeasured) {
    Planes p(40, 320);
    for (int c = 5; c < 305; ++c) p.at(p.skeleton, 10, c) = 255;
    for (int c = 5; c < 20; ++c) p.at(p.skeleton, 30, c) = 255;
    std::vector<uint8_t> Q(p.image.size());
    const liveness::RidgeSegments s = liveness::track_ridge_segments(p.image.data(), p.skeleton.data(), Q.data(),
                                                                     p.columns, p.rows, 20);
    EXPECT_EQ(s.counting, 1);
    EXPECT_EQ(s.traced.size(), 299u + 14u);
    EXPECT_NEAR(s.spectrum[0], 200.0 / 255, 1e-12);
    for (size_t k = 1; k < s.spectrum.size(); ++k) EXPECT_NEAR(s.spectrum[k], 0, 1e-12) << k;

    // A closed loop has no end to start from; a segment longer than 799 pixels is cut there.
    Planes loop(300, 300);
    for (int i = 0; i < 200; ++i) {
        loop.at(loop.skeleton, 50, 50 + i) = loop.at(loop.skeleton, 250, 50 + i) = 255;
        loop.at(loop.skeleton, 50 + i, 50) = loop.at(loop.skeleton, 50 + i, 250) = 255;
    }
    std::vector<uint8_t> noPores(loop.image.size());
    EXPECT_TRUE(liveness::track_ridge_segments(loop.image.data(), loop.skeleton.data(), noPores.data(), 300, 300, 20)
                    .traced.empty());
    Planes spiral(10, 1000);
    for (int c = 0; c < 1000; ++c) spiral.at(spiral.skeleton, 5, c) = 255;
    const liveness::RidgeSegments cut = liveness::track_ridge_segments(
        spiral.image.data(), spiral.skeleton.data(), noPores.data(), 1000, 10, 20);
    EXPECT_EQ(cut.counting, 2);  // 799 pixels, then the remaining 200 less the last
    EXPECT_EQ(cut.traced.size(), 799u + 200u);
    // Each counting segment adds its spectrum into the same bins; the shorter one is zero-padded.
    EXPECT_NEAR(cut.spectrum[0], 200.0 / 255 + 200.0 / 255 * 200 / 256, 1e-12);
}

// A group whose flag is off leaves its positions to the next group.
TEST(Features, GroupsMoveUpWhenOneIsOff) {
    const Planes p(livetest::fvcPrint("105_3", 250));
    ASSERT_TRUE(p.made);
    double all[NEX_FEATURE_COUNT];
    ASSERT_EQ(p.extract(all, {1, 1, 1, 1, 1, 1}), 1);
    struct Case {
        const char* name;
        liveness::ExtractionFlagsSt flags;
        std::vector<std::pair<int, int>> spans;  // {start in the full vector, count}
    };
    for (const Case& c : std::vector<Case>{
             {"compression only", {0, 0, 0, 0, 1, 1}, {{114, 45}}},
             {"intensity and valley", {1, 0, 0, 1, 0, 1}, {{0, 64}, {99, 15}}},
             {"perspiration without the ridge values", {0, 0, 1, 0, 0, 1}, {{79, 20}}},
             {"ridge values and compression", {0, 1, 0, 0, 1, 0}, {{64, 15}, {114, 45}}},
         }) {
        double some[NEX_FEATURE_COUNT];
        std::fill(std::begin(some), std::end(some), -7.0);
        ASSERT_EQ(p.extract(some, c.flags), 1) << c.name;
        int k = 0;
        for (auto [start, count] : c.spans) {
            for (int i = 0; i < count; ++i, ++k) EXPECT_DOUBLE_EQ(some[k], all[start + i]) << c.name << " " << start + i;
        }
        EXPECT_EQ(some[k], -7.0) << c.name << ": nothing written past the groups";
    }
    // The intensity option: without it every pixel counts, not only the mask's.
    double everyPixel[64];
    ASSERT_EQ(p.extract(everyPixel, {1, 0, 0, 0, 0, 0}), 1);
    EXPECT_NE(std::vector<double>(everyPixel, everyPixel + 64), std::vector<double>(all, all + 64));
}

// Groups with nothing to measure fail instead of dividing by zero.
TEST(Features, GroupsWithTooFewPixelsFail) {
    double out[NEX_FEATURE_COUNT];
    {
        // 255 valley pixels: one short.
        Planes p(20, 20);
        for (size_t i = 0; i < 255; ++i) p.mask[i] = 255;
        EXPECT_EQ(p.extract(out, {0, 0, 0, 1, 0, 1}), 0);
        p.mask[255] = 255;
        EXPECT_EQ(p.extract(out, {0, 0, 0, 1, 0, 1}), 1);
    }
    {
        // A skeleton but no ridge pixel: no darkness to average.
        Planes p(20, 40);
        for (int c = 5; c < 35; ++c) p.at(p.skeleton, 10, c) = 255;
        EXPECT_EQ(p.extract(out, {0, 1, 0, 0, 0, 1}), 0);
        // Ridge pixels but no skeleton to trace: no wavelet measures.
        std::fill(p.skeleton.begin(), p.skeleton.end(), 0);
        std::fill(p.ridge.begin(), p.ridge.end(), 255);
        EXPECT_EQ(p.extract(out, {0, 1, 0, 0, 0, 1}), 0);
        // With both, the group measures; the perspiration group needs neither.
        for (int c = 5; c < 35; ++c) p.at(p.skeleton, 10, c) = 255;
        EXPECT_EQ(p.extract(out, {0, 1, 0, 0, 0, 1}), 1);
        std::fill(p.ridge.begin(), p.ridge.end(), 0);
        std::fill(p.skeleton.begin(), p.skeleton.end(), 0);
        EXPECT_EQ(p.extract(out, {0, 0, 1, 0, 0, 1}), 1);
        for (int k = 0; k < 20; ++k) EXPECT_EQ(out[k], 0) << k;
    }
}

// Only segments shorter than a millimetre: no spectrum value and no pore histograms, but the
// traced values still give the wavelet measures.
TEST(Features, ShortSegmentsGiveEmptyPoreHistograms) {
    Planes p(60, 60, 90);
    for (int r = 0; r < 60; ++r) {
        for (int c = 0; c < 60; ++c) {
            p.at(p.mask, r, c) = 255;
            if (r % 10 < 5) p.at(p.ridge, r, c) = 255;
            if (r % 10 == 2 && c % 20 < 15) p.at(p.skeleton, r, c) = 255;
        }
    }
    p.at(p.image, 3, 8) = 150;  // a pore beside one short segment
    p.at(p.image, 2, 7) = 130;  // and some contrast around it
    double out[NEX_FEATURE_COUNT];
    ASSERT_EQ(p.extract(out, {0, 1, 1, 0, 0, 1}), 1);
    EXPECT_EQ(out[0], 0);
    // The darkness of 1800 ridge pixels: 1798 at 165, one at 105, one at 125.
    const double mean = (1798 * 165.0 + 105 + 125) / 1800;
    const double spread = (1798 * (165 - mean) * (165 - mean) + (105 - mean) * (105 - mean) +
                           (125 - mean) * (125 - mean)) / 1800;
    EXPECT_NEAR(out[1], mean, 1e-9);
    EXPECT_NEAR(out[2], std::sqrt(spread), 1e-9);
    for (int k = 15; k < 25; ++k) EXPECT_EQ(out[k], 0) << "distance and run bins";
    double contrast = 0;
    for (int k = 25; k < 35; ++k) contrast += out[k];
    EXPECT_DOUBLE_EQ(contrast, 200) << "one pore's range and deviation, each in one bin";
}

}  // namespace
