// The swipe model against real finger images: what it sends is what the stack reads back.
#include "sim/swipe/swipe_model.h"

#include "tcs/imaging/reconstruction/scan_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using swipe_model::GreyImage;
using swipe_model::SwipeConfig;
using swipe_model::SwipeModel;

const std::string kFinger = std::string(TOV_DATA_DIR) + "/fvc/FVC2000_DB1_B/101_1.tif";

TEST(SwipeModel, ReadsTheFvcImage) {
    GreyImage image;
    ASSERT_TRUE(swipe_model::loadTiff(kFinger, image));
    EXPECT_EQ(image.width, 300u);
    EXPECT_EQ(image.height, 300u);
    EXPECT_EQ(image.pixels.size(), 90000u);
    GreyImage missing;
    EXPECT_FALSE(swipe_model::loadTiff(std::string(TOV_DATA_DIR) + "/fvc/README.md", missing));
    EXPECT_FALSE(swipe_model::loadTiff("/nonexistent.tif", missing));
}

TEST(SwipeModel, LinesSampleTheImageUnderBothBanksWithTheirPolarities) {
    GreyImage image;
    ASSERT_TRUE(swipe_model::loadTiff(kFinger, image));
    SwipeConfig config;  // flex 14: primary polarity 1, secondary 0, secondary row 8 rows ahead
    config.startRow = 20;
    const SwipeModel model(image, config);
    const FlexInfoRecord* flex = dliFindFlexInfo(14);
    for (uint32_t line : {0u, 17u, 150u}) {
        const std::vector<uint8_t> pixels = model.linePixels(line);
        const uint32_t row = 20 + line;
        for (uint32_t c = 0; c < 200; c += 7) {
            EXPECT_EQ(pixels[c], 255 - image.pixels[row * 300 + 50 + c]) << line << " " << c;
        }
        for (uint32_t i = 0; i < 64; i += 5) {
            EXPECT_EQ(pixels[200 + i], image.pixels[(row + 8) * 300 + 50 + flex->secondaryToPrimary[i]]);
        }
    }
}

TEST(SwipeModel, SpeedProfilesAndDrift) {
    const GreyImage image = swipe_model::syntheticRidges(300, 300, 9, 150, 150);
    SwipeConfig accelerating;
    accelerating.profile = swipe_model::SpeedProfile::Accelerating;
    accelerating.rowsPerLine = 0.5;
    accelerating.acceleration = 0.01;
    accelerating.driftPerLine = 0.25;
    const SwipeModel a(image, accelerating);
    EXPECT_DOUBLE_EQ(a.rowAt(1) - a.rowAt(0), 0.5);
    EXPECT_NEAR(a.rowAt(101) - a.rowAt(100), 1.5, 1e-9);
    EXPECT_DOUBLE_EQ(a.driftAt(8), 2.0);

    SwipeConfig stick;
    stick.profile = swipe_model::SpeedProfile::StickThenJump;
    stick.stickStart = 10;
    stick.stickLines = 20;
    stick.jumpLines = 5;
    stick.jumpRowsPerLine = 4;
    const SwipeModel s(image, stick);
    EXPECT_DOUBLE_EQ(s.rowAt(10), 10.0);
    EXPECT_DOUBLE_EQ(s.rowAt(30), 10.0);   // stuck
    EXPECT_DOUBLE_EQ(s.rowAt(35), 30.0);   // jumped 5 x 4 rows
    EXPECT_DOUBLE_EQ(s.rowAt(36), 31.0);
    EXPECT_EQ(s.linePixels(12), s.linePixels(25));

    // Stick-slip: sticks of 4 lines, slips of 2 lines at 8 rows, a roll of half a column a line
    // while stuck that turns round at every slip and stays where it ended after the hold.
    stick.stickSlipEvery = 4;
    stick.stickSlipLines = 2;
    stick.stickSlipRowsPerLine = 8;
    stick.stickRollPerLine = 0.5;
    const SwipeModel slip(image, stick);
    const double rows[][2] = {{10, 10}, {14, 10}, {15, 18}, {16, 26}, {20, 26}, {22, 42}, {30, 58}, {35, 78}};
    for (const auto& r : rows) EXPECT_DOUBLE_EQ(slip.rowAt(uint32_t(r[0])), r[1]) << r[0];
    const double roll[][2] = {{10, 0}, {12, 1}, {14, 2}, {16, 2}, {20, 0}, {28, 2}, {30, 1}, {40, 1}};
    for (const auto& r : roll) EXPECT_DOUBLE_EQ(slip.driftAt(uint32_t(r[0])), r[1]) << r[0];
    EXPECT_NE(slip.linePixels(11), slip.linePixels(13));  // rolling, the held lines differ
}

TEST(SwipeModel, HeadersCarryMarkerTimeAndWidth) {
    SwipeConfig config;
    config.startTime = 65530;
    config.ticksPerLine = 4;
    config.marker = 254;
    config.headerWidth = 4;
    const SwipeModel model(swipe_model::syntheticRidges(300, 300, 9, 150, 150), config);
    EXPECT_EQ(model.recordBytes(), 144u);  // 8 + 264 / 2 rounded up to 16
    const std::vector<uint8_t> r = model.record(2);
    ASSERT_EQ(r.size(), 144u);
    SensorLineHeader h{};
    tcsParseSensorHeader(r.data(), &h);
    EXPECT_EQ(h.byte0, 1);
    EXPECT_EQ(h.byte1, 254);
    EXPECT_EQ(h.time, 2);  // 65530 + 8 wraps
    EXPECT_EQ(r[6] & 0x0F, 4);
    EXPECT_EQ(SwipeModel(GreyImage{}, SwipeConfig{.flexId = 91}).valid(), false);
}

// Buffers cut at arbitrary offsets, reassembled through a carry as the data path does, and unpacked.
TEST(SwipeModel, StreamCutIntoBuffersUnpacksToTheSourcePixels) {
    GreyImage image;
    ASSERT_TRUE(swipe_model::loadTiff(kFinger, image));
    struct Case { uint16_t flex; uint8_t width; uint32_t minCut, maxCut; };
    for (auto [flex, width, minCut, maxCut] : std::initializer_list<Case>{
             {14, 8, 1, 700}, {14, 4, 100, 5000}, {58, 6, 1, 64}, {72, 0, 300, 3000}, {32, 8, 272, 272}}) {
        SCOPED_TRACE(testing::Message() << "flex " << flex << " width " << int(width));
        SwipeConfig config;
        config.flexId = flex;
        config.sampleWidth = width;
        config.rowsPerLine = 0.7;
        config.driftPerLine = 0.05;
        config.noiseSigma = 3;
        const SwipeModel model(image, config);
        auto map = std::make_unique<LineUnpackMap>();
        const std::vector<uint32_t> words = model.timeslotWords();
        ASSERT_EQ(ProcessTimeslotTable(words.data(), 0, uint32_t(words.size() * 4), dliFindFlexInfo(flex), map.get()),
                  TCS_RESULT_OK);
        constexpr uint32_t kLines = 120;
        const auto buffers = SwipeModel::cutIntoBuffers(model.stream(0, kLines), flex, minCut, maxCut);
        const uint32_t recordBytes = model.recordBytes();
        std::vector<uint8_t> carry, out(flexUnpackedLineBytes(dliFindFlexInfo(flex)));
        uint32_t line = 0;
        for (const auto& buffer : buffers) {
            carry.insert(carry.end(), buffer.begin(), buffer.end());
            size_t at = 0;
            while (carry.size() - at >= recordBytes) {
                ASSERT_EQ(carry[at], 1);
                const uint32_t used = UnpackLineRT(carry.data() + at, recordBytes, out.data(), map.get(), 0);
                ASSERT_EQ(used, recordBytes);
                const std::vector<uint8_t> expected = model.expectedUnpacked(line);
                ASSERT_EQ(0, std::memcmp(out.data() + 8, expected.data(), expected.size())) << "line " << line;
                at += used;
                ++line;
            }
            carry.erase(carry.begin(), carry.begin() + long(at));
        }
        EXPECT_EQ(line, kLines);
        EXPECT_TRUE(carry.empty());
    }
}

}  // namespace
