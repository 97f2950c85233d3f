// The extraction driver: resampling, limits, result codes, the delivered image and feature set,
// and plausible minutiae counts on the public fingerprint images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "engines/minutiae/context.h"
#include "engines/minutiae/directions.h"
#include "engines/minutiae/extract.h"
#include "engines/minutiae/features.h"
#include "engines/minutiae/mnt_engine.h"
#include "test_support.h"

namespace {

using namespace mnt;
using mnt::test::Image;

TEST(StretchedSize, WorkingResolutionIs500Dpi) {
    struct Case {
        int32_t w, h, dpi, sw, sh;
    };
    for (const Case& c : {Case{300, 400, 500, 300, 400}, Case{300, 400, 250, 600, 800}, Case{300, 400, 1000, 150, 200},
                          Case{31, 40, 1000, 15, 20}, Case{299, 10, 333, 448, 15}, Case{-32, 64, 1000, -16, 32},
                          Case{2000000000, 1, 50, -1, 10}}) {
        int32_t sw = 0, sh = 0;
        ComputeStretchedImageSize(c.w, c.h, c.dpi, &sw, &sh);
        EXPECT_EQ(sw, c.sw) << c.w << " at " << c.dpi;
        EXPECT_EQ(sh, c.sh) << c.h << " at " << c.dpi;
    }
}

TEST(Stretch, NearestNeighbourInAllLayouts) {
    // 3 x 2 source to 6 x 3: rows 0, 0, 1 and columns 0, 0, 1, 1, 2, 2.
    const uint8_t src[6] = {1, 2, 3, 4, 5, 6};
    const uint8_t want[18] = {1, 1, 2, 2, 3, 3, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6};
    uint8_t linear[18] = {};
    StretchLinearImage(3, 2, src, 6, 3, linear);
    EXPECT_EQ(0, std::memcmp(linear, want, sizeof want));
    Image rows(6, 3), source(3, 2, [&](int x, int y) { return src[y * 3 + x]; });
    StretchImageFromLinear(3, 2, src, 6, 3, rows.rows());
    EXPECT_EQ(rows.linear(), std::vector<uint8_t>(want, want + 18));
    Image again(6, 3);
    StretchImage(3, 2, source.rows(), 6, 3, again.rows());
    EXPECT_EQ(again.linear(), std::vector<uint8_t>(want, want + 18));
    // And down again: 6 x 3 to 3 x 2 reads rows 0, 1 and columns 0, 2, 4.
    uint8_t back[6] = {};
    StretchImageToLinear(6, 3, rows.rows(), 3, 2, back);
    const uint8_t down[6] = {1, 2, 3, 1, 2, 3};
    EXPECT_EQ(0, std::memcmp(back, down, sizeof down));
}

TEST(BadArea, MapAndEnhance) {
    Image directions(20, 20, [](int x, int y) { return x == 10 && y == 10 ? 33 : 0x80 | 5; });
    Image image(20, 20, [](int, int) { return 0; });
    MapBadArea(20, 20, image.rows(), directions.rows());
    EXPECT_EQ(image.at(10, 10), 0);
    EXPECT_EQ(image.at(3, 17), 255);
    // One good pixel makes its 11 x 11 square good; orientations are kept.
    EnhanceGoodArea(20, 20, directions.rows(), 5);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) {
            const bool good = std::abs(x - 10) <= 5 && std::abs(y - 10) <= 5;
            EXPECT_EQ((directions.at(x, y) & 0x80) == 0, good) << x << "," << y;
            EXPECT_EQ(directions.at(x, y) & 0x7F, x == 10 && y == 10 ? 33 : 5);
        }
}

class Driver : public ::testing::Test {
 protected:
    void SetUp() override { context_ = MntCreateContext(); }
    void TearDown() override { MntFreeContext(context_); }
    MntContext* context_ = nullptr;
};

TEST_F(Driver, LimitsReturnBeforeWritingAnything) {
    struct Case {
        int32_t w, h, dpi, result;
    };
    for (const Case& c : {Case{100, 100, 49, MNT_BAD_RESOLUTION}, Case{100, 100, 5001, MNT_BAD_RESOLUTION},
                          Case{100, 100, -500, MNT_BAD_RESOLUTION}, Case{31, 64, 1000, MNT_BAD_IMAGE_SIZE},
                          Case{64, 31, 1000, MNT_BAD_IMAGE_SIZE}, Case{2049, 20, 500, MNT_BAD_IMAGE_SIZE},
                          Case{0, 20, 500, MNT_BAD_IMAGE_SIZE}, Case{-20, 20, 500, MNT_BAD_IMAGE_SIZE},
                          Case{420, 100, 100, MNT_BAD_IMAGE_SIZE}}) {
        std::vector<uint8_t> pixels(size_t(std::max(c.w, 1)) * std::max(c.h, 1), 77), features(64, 0xEE);
        uint64_t size = 12345;
        EXPECT_EQ(MntExtract(c.w, c.h, pixels.data(), c.dpi, features.data(), &size, context_), c.result)
            << c.w << "x" << c.h << " at " << c.dpi;
        EXPECT_EQ(size, 12345u);
        EXPECT_TRUE(std::all_of(features.begin(), features.end(), [](uint8_t b) { return b == 0xEE; }));
        EXPECT_TRUE(std::all_of(pixels.begin(), pixels.end(), [](uint8_t b) { return b == 77; }));
    }
    std::vector<uint8_t> pixels(100 * 100, 77), features(kMaxCompressedSize);
    uint64_t size = 0;
    EXPECT_EQ(MntExtract(100, 100, nullptr, 500, features.data(), &size, context_), MNT_NULL_POINTER);
    EXPECT_EQ(MntExtract(100, 100, pixels.data(), 500, nullptr, &size, context_), MNT_NULL_POINTER);
    EXPECT_EQ(MntExtract(100, 100, pixels.data(), 500, features.data(), nullptr, context_), MNT_NULL_POINTER);
    if (ResolveContext(nullptr) == nullptr) {
        EXPECT_EQ(MntExtract(100, 100, pixels.data(), 500, features.data(), &size, nullptr), MNT_NO_CONTEXT);
    }
}

TEST_F(Driver, ResolutionLimitsAreAccepted) {
    // 50 dpi stretches 16 x 20 to 160 x 200; 5000 dpi stretches 200 x 160 to 20 x 16.
    struct Case {
        int32_t w, h, dpi;
    };
    for (const Case& c : {Case{16, 20, 50}, Case{200, 160, 5000}}) {
        std::vector<uint8_t> pixels(size_t(c.w) * c.h), features(kMaxCompressedSize);
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i * 37);
        uint64_t size = 0;
        const int32_t r = MntExtract(c.w, c.h, pixels.data(), c.dpi, features.data(), &size, context_);
        EXPECT_TRUE(r == MNT_OK || r == MNT_NO_FEATURES) << r;
        EXPECT_GE(size, 7u);
        EXPECT_EQ(CompressedFeaturesLength(features.data(), size), size);
    }
}

TEST_F(Driver, NoGoodAreaGivesNoFeaturesOrTheQuality) {
    // A flat image has no ridges anywhere: every pixel is bad, the quality 255.
    for (const int report : {0, 1}) {
        ASSERT_EQ(MntSetParameter(11000, report, context_), MNT_OK);
        std::vector<uint8_t> pixels(120 * 100, 140), features(kMaxCompressedSize, 0xEE);
        uint64_t size = 0;
        EXPECT_EQ(MntExtract(120, 100, pixels.data(), 500, features.data(), &size, context_),
                  report ? 255 : MNT_NO_FEATURES);
        // The set and the image are delivered all the same: no minutiae, an image all white.
        ASSERT_GE(size, 7u);
        EXPECT_EQ(features[5] | features[6] << 8, 0);
        EXPECT_TRUE(std::all_of(pixels.begin(), pixels.end(), [](uint8_t b) { return b == 255; }));
    }
}

// Every mode's settings (spot elimination, good-area growing, squared differences, one-level
// binarisation, extra smoothing) on small and odd sizes: a set and a binary image, nothing more.
TEST_F(Driver, EveryModeOnSmallAndOddImages) {
    struct Size {
        int32_t w, h;
    };
    std::vector<uint8_t> features(kMaxCompressedSize);
    for (const uint32_t mode : {0u, 200u, 300u, 400u, 600u, 700u, 900u, 1000u, 1100u}) {
        ASSERT_EQ(MntSetParameter(1000, int32_t(mode), context_), MNT_OK);
        for (const Size& size : {Size{16, 16}, Size{37, 23}, Size{121, 90}}) {
            for (const bool noise : {false, true}) {
                const Image source = noise ? Image(size.w, size.h, [](int x, int y) { return (x * 7919 + y * 104729) % 251; })
                                           : test::OrientedSinusoid(size.w, size.h, 20, 9);
                std::vector<uint8_t> pixels = source.linear();
                uint64_t length = 0;
                const int32_t r =
                    MntExtract(size.w, size.h, pixels.data(), 500, features.data(), &length, context_);
                EXPECT_TRUE(r == MNT_OK || r == MNT_NO_FEATURES) << mode << " " << size.w << "x" << size.h;
                EXPECT_EQ(CompressedFeaturesLength(features.data(), length), length);
                EXPECT_TRUE(std::all_of(pixels.begin(), pixels.end(), [](uint8_t b) { return b == 0 || b == 255; }));
            }
        }
    }
    // One-level binarisation without any filter pass.
    ASSERT_EQ(MntSetParameter(10001, 0, context_), MNT_OK);
    for (const uint32_t id : {10012u, 10015u, 10016u}) ASSERT_EQ(MntSetParameter(id, 0, context_), MNT_OK);
    const Image source = test::OrientedSinusoid(100, 120, 50, 9);
    std::vector<uint8_t> pixels = source.linear();
    uint64_t length = 0;
    const int32_t r = MntExtract(100, 120, pixels.data(), 500, features.data(), &length, context_);
    EXPECT_TRUE(r == MNT_OK || r == MNT_NO_FEATURES);
    EXPECT_TRUE(std::all_of(pixels.begin(), pixels.end(), [](uint8_t b) { return b == 0 || b == 255; }));
}

// Every public image gives a plausible number of minutiae and a binary image.
TEST_F(Driver, PublicImagesGivePlausibleCounts) {
    std::vector<uint8_t> features(kMaxCompressedSize);
    auto record = std::make_unique<FeatureRecord>();
    int images = 0, accepted = 0, total = 0, fewest = 1 << 20, most = 0;
    for (int finger = 101; finger <= 110; ++finger)
        for (int impression = 1; impression <= 8; ++impression) {
#ifndef NDEBUG
            // Unoptimised builds (the sanitizer run) take one impression of every other finger.
            if (finger % 2 == 0 || impression != 1 + finger % 8) continue;
#endif
            const std::string name = std::to_string(finger) + "_" + std::to_string(impression) + ".tif";
            std::vector<uint8_t> pixels;
            int w = 0, h = 0;
            if (!test::ReadTiff(test::FvcPath(name), pixels, w, h)) continue;
            ++images;
            uint64_t size = 0;
            const int32_t r = MntExtract(w, h, pixels.data(), 500, features.data(), &size, context_);
            // A few of these prints are too poor to be accepted; their set comes all the same.
            EXPECT_TRUE(r == MNT_OK || r == MNT_NO_FEATURES) << name << ": " << r;
            accepted += r == MNT_OK;
            ASSERT_LE(size, kMaxCompressedSize);
            ASSERT_EQ(CompressedFeaturesLength(features.data(), size), size) << name;
            DecompressFeatures(features.data(), record.get());
            const int n = record->minutiae.count;
            // These prints hold some 20 to 60 true minutiae each.
            EXPECT_GE(n, 8) << name;
            EXPECT_LE(n, 120) << name;
            for (int i = 0; i < n; ++i) {
                EXPECT_GE(record->minutiae.x[i], 10);
                EXPECT_LT(record->minutiae.x[i], w - 10);
                EXPECT_GE(record->minutiae.y[i], 10);
                EXPECT_LT(record->minutiae.y[i], h - 10);
                EXPECT_LT(record->minutiae.direction[i], 240);
            }
            EXPECT_TRUE(std::all_of(pixels.begin(), pixels.end(), [](uint8_t b) { return b == 0 || b == 255; }))
                << name;
            total += n;
            fewest = std::min(fewest, n);
            most = std::max(most, n);
        }
    if (images == 0) GTEST_SKIP() << "no images at " << test::FvcPath("");
    EXPECT_GE(accepted * 10, images * 9);
    std::printf("%d images, %d accepted: %d to %d minutiae, %.1f on average\n", images, accepted, fewest, most, double(total) / images);
}

}  // namespace
