// Flex-id detection and the power-up baseline against the virtual sensor: where the flex id comes
// from, the detection line, the baseline capture's line count, and the baseline check.
#include "tests/tcs/sensorctl/fixture.h"

#include "sim/swipe/swipe_model.h"

#include "tcs/imaging/reconstruction/flex_info.h"
#include "tcs/sensorctl/calibration/calibration.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/protocol/print_defaults.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"

#include <cstring>
#include <string>
#include <atomic>
#include <thread>
#include <utility>

namespace {

using scstest::SensorControl;
using Bytes = std::vector<uint8_t>;

class Housekeeping : public SensorControl {
protected:
    void SetUp() override {
        SensorControl::SetUp();
        ASSERT_EQ(scsClientCreate(subsystem_, &client_), TCS_RESULT_OK);
        device_ = plugAndAttach();
        ASSERT_NE(device_, nullptr);
        activate(device_);
        device_->productFamily = 1;  // what device initialisation sets from the product id
        ASSERT_EQ(scsSensorOpen(client_, device_->name, &handle_), TCS_RESULT_OK);
    }
    void TearDown() override {
        simusb::setCommandHook(0x02, nullptr);
        SensorControl::TearDown();
    }

    // Get-print requests the sensor received: {lines, mode byte of the capture record}.
    std::vector<Bytes> getPrints() {
        std::vector<Bytes> out;
        for (const Bytes& request : simusb::commandLog(sensor_)) {
            if (!request.empty() && request[0] == 2) out.push_back(request);
        }
        return out;
    }

    // Answers get print without data of its own and puts the given line on the fingerprint pipe.
    void detectionLineIs(const Bytes& line) {
        simusb::setCommandHook(0x02, [](std::span<const uint8_t>) { return simusb::Reply{}; });
        simusb::pushFingerprintData(sensor_, line);
    }

    // The default configuration of flex 14 (288-byte lines).
    void readyForBaseline() {
        char text[80];
        ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
        device_->flexId = 14;
        ASSERT_EQ(scsSensorSetDefaultPrintConfiguration(handle_), 0u);
        simusb::clearCommandLog(sensor_);
    }

    // The baseline is a wake-on-event capture: the sensor streams its lines once it wakes, which
    // the resting virtual sensor never does by itself, so streaming is switched on for it once
    // the capture request has gone out.
    TcsResult captureBaseline(ScsBaselineRecord* record) {
        std::atomic<bool> done{false};
        std::thread waker([&] {
            while (!done && getPrints().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (!done) scsStartReadFingerprint(handle_);
        });
        const TcsResult result = scsSesnorGetBaselineData(handle_, record);
        done = true;
        waker.join();
        return result;
    }

    void useModelTimeslotTable() {
        const std::vector<uint32_t> words = model_.timeslotWords();
        palRealFree(device_->configReply);
        device_->configReplyLength = uint32_t(words.size() * 4);
        device_->configReply = static_cast<uint8_t*>(palRealMalloc(device_->configReplyLength));
        ASSERT_NE(device_->configReply, nullptr);
        std::memcpy(device_->configReply, words.data(), device_->configReplyLength);
    }

    swipe_model::SwipeModel model_{swipe_model::syntheticRidges(300, 300, 9, 150, 150), swipe_model::SwipeConfig{}};
    ScsClient* client_ = nullptr;
    ScsSensorDevice* device_ = nullptr;
    ScsSensor* handle_ = nullptr;
};

TEST_F(Housekeeping, FlexIdFromTheStartOptionSendsNothing) {
    subsystem_->startOptions.flexId = 58;
    ASSERT_EQ(scsSensorDetermineFlexId(handle_), 0u);
    EXPECT_EQ(device_->flexId, 58u);
    EXPECT_TRUE(simusb::commandLog(sensor_).empty());
    subsystem_->startOptions.flexId = 0;
}

TEST_F(Housekeeping, FlexIdArgumentsAreChecked) {
    EXPECT_EQ(scsSensorDetermineFlexId(nullptr), 17u);
    EXPECT_EQ(scsDetermineFlexId(subsystem_, nullptr), 17u);
    ScsFlexIdContext noSensor{nullptr, nullptr, 0, &scsHarlokProcessFlexIdData};
    EXPECT_EQ(scsDetermineFlexId(subsystem_, &noSensor), 17u);
    ScsFlexIdContext noRoutine{handle_, nullptr, 0, nullptr};
    EXPECT_EQ(_scsDetermineFlexId(&noRoutine), 17u);
    EXPECT_EQ(_scsDetermineFlexId(nullptr), 17u);
}

// The detection line's first smallest byte after its 8-byte header names the module: index 10
// is flex 14, index 14 flex 14 too, index 19 flex 19. The capture is one line in mode 0, after a
// version read when none is cached.
TEST_F(Housekeeping, FlexIdFromTheDetectionLine) {
    PrintConfiguration* config = nullptr;
    char text[80];
    ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
    ASSERT_EQ(scsSensorFindPrintConfiguration(device_, 0, 0, 0, 0, &config), 0u);
    ASSERT_NE(config, nullptr) << "the built-in list has a detection configuration";
    uint32_t lineLength = 0;
    ASSERT_EQ(scsSensorGetUint32DataFromPrintConfig(handle_, config, SCS_PC_LINE_LENGTH, &lineLength), 0u);
    scsHarlokFreePrintConfig(&config);
    ASSERT_GT(lineLength, 40u);

    const struct {
        uint32_t smallestAt;
        uint32_t flexId;
    } cases[] = {{8 + 10, 14}, {8 + 19, 19}, {8 + 22, 14}};
    for (const auto& c : cases) {
        Bytes line(lineLength, 0x80);
        line[0] = 0;  // the header never counts
        line[c.smallestAt] = 0x10;
        line[lineLength - 1] = 0x10;  // the first smallest wins
        device_->flexId = 0;
        simusb::clearCommandLog(sensor_);
        detectionLineIs(line);
        ASSERT_EQ(scsSensorDetermineFlexId(handle_), 0u) << c.smallestAt;
        EXPECT_EQ(device_->flexId, c.flexId) << c.smallestAt;
        const std::vector<Bytes> prints = getPrints();
        ASSERT_EQ(prints.size(), 1u);
        ASSERT_GE(prints[0].size(), 5u);
        EXPECT_EQ(prints[0][1] | prints[0][2] << 8, int(lineLength));
        EXPECT_EQ(prints[0][3] | prints[0][4] << 8, 1) << "one line";
        simusb::setCommandHook(0x02, nullptr);
    }
}

// Without a detection configuration (a family the built-in lists do not cover) the transport
// decides: 58 on kind 2, 14 otherwise, and nothing is captured.
TEST_F(Housekeeping, FlexIdWithoutADetectionConfiguration) {
    char text[80];
    ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
    device_->productFamily = 3;
    const uint8_t kind = device_->transportKind;
    for (auto [transport, flexId] : {std::pair<uint8_t, uint32_t>{1, 14}, {2, 58}}) {
        device_->transportKind = transport;
        device_->flexId = 0;
        simusb::clearCommandLog(sensor_);
        ASSERT_EQ(scsSensorDetermineFlexId(handle_), 0u) << int(transport);
        EXPECT_EQ(device_->flexId, flexId) << int(transport);
        EXPECT_TRUE(simusb::commandLog(sensor_).empty());
    }
    device_->transportKind = kind;
}

TEST_F(Housekeeping, BaselineCapturesOneLineMoreOnAPacketBoundary) {
    readyForBaseline();
    ScsBaselineRecord record{};
    ASSERT_EQ(captureBaseline(&record), 0u);
    // 20 lines of 288 bytes end on a 64-byte boundary: 21 asked, 20 kept.
    const std::vector<Bytes> prints = getPrints();
    ASSERT_EQ(prints.size(), 1u);
    EXPECT_EQ(prints[0][3] | prints[0][4] << 8, 21);
    EXPECT_EQ(record.lines, 20u);
    ASSERT_EQ(record.length, 20u * 288);
    ASSERT_NE(record.data, nullptr);
    for (uint32_t line = 0; line < 20; line += 7) {
        EXPECT_EQ(record.data[line * 288 + 41], uint8_t(0x70 + (line * 3 + 41 * 5) % 32)) << line;
    }
    palRealFree(record.data);
}

TEST_F(Housekeeping, BaselineRefusals) {
    ScsBaselineRecord record{};
    EXPECT_EQ(scsSesnorGetBaselineData(nullptr, &record), 17u);
    EXPECT_EQ(scsSesnorGetBaselineData(handle_, nullptr), 17u);
    device_->flexId = 24;  // no module record
    EXPECT_EQ(scsSesnorGetBaselineData(handle_, &record), 40u);
    device_->flexId = 14;
    device_->productFamily = 3;
    EXPECT_EQ(scsSesnorGetBaselineData(handle_, &record), 17u);
    device_->productFamily = 1;
    // No default configuration yet: the capture cannot be sized, and nothing is handed out.
    EXPECT_NE(scsSesnorGetBaselineData(handle_, &record), 0u);
    EXPECT_EQ(record.data, nullptr);
    EXPECT_TRUE(getPrints().empty());
}

// The capture asks for the configuration reply along with the lines: the virtual sensor answers
// with the time-slot area of its module, and its resting lines make a valid baseline under it.
// (The checks below put the swipe model's table in place to feed lines of their own.)
TEST_F(Housekeeping, BaselineCaptureBringsTheConfigurationReplyAndValidates) {
    readyForBaseline();
    ScsBaselineRecord record{};
    ASSERT_EQ(captureBaseline(&record), 0u);
    ASSERT_NE(device_->configReply, nullptr);
    ScsBaseLineImage line{};
    ASSERT_EQ(scsSensorValidateAndProcessBaseLineData(handle_, &record, &line), 0u);
    EXPECT_NE(line.pixels, nullptr) << "the resting sensor's lines are a valid baseline";
    EXPECT_EQ(line.width, 8u + 200 + 64);
    palRealFree(line.pixels);
    palRealFree(record.data);
}

// A quiet baseline comes back as {1, block size, 1, block} and the device's variance follows the
// processing; a noisy one is no failure but gives no line and leaves the variance alone.
TEST_F(Housekeeping, BaselineCheckKeepsOnlyAValidLine) {
    readyForBaseline();
    useModelTimeslotTable();
    const struct {
        double noise;
        bool valid;
    } cases[] = {{2.0, true}, {90.0, false}};
    for (const auto& c : cases) {
        const std::vector<uint8_t> raw = model_.baselineStream(20, c.noise, 3);
        ScsBaselineRecord record{raw.size(), 20, const_cast<uint8_t*>(raw.data())};
        device_->baselineVariance = 0;
        ScsBaseLineImage line{};
        ASSERT_EQ(scsSensorValidateAndProcessBaseLineData(handle_, &record, &line), 0u) << c.noise;
        if (!c.valid) {
            EXPECT_EQ(line.pixels, nullptr);
            EXPECT_EQ(device_->baselineVariance, 0u);
            continue;
        }
        const FlexInfoRecord* flex = dliFindFlexInfo(14);
        ASSERT_NE(line.pixels, nullptr);
        EXPECT_EQ(line.kind, 1u);
        EXPECT_EQ(line.width, 8u + flex->primaryCount + flex->secondaryCount + flex->extraPixels);
        EXPECT_EQ(line.height, 1u);
        EXPECT_NE(device_->baselineVariance, 0u);
        palRealFree(line.pixels);
    }
}

TEST_F(Housekeeping, BaselineCheckRefusals) {
    readyForBaseline();
    useModelTimeslotTable();
    uint8_t data[288 * 2] = {};
    ScsBaselineRecord record{sizeof data, 2, data};
    ScsBaseLineImage line{};
    EXPECT_EQ(scsSensorValidateAndProcessBaseLineData(nullptr, &record, &line), 17u);
    EXPECT_EQ(scsSensorValidateAndProcessBaseLineData(handle_, nullptr, &line), 17u);
    EXPECT_EQ(scsSensorValidateAndProcessBaseLineData(handle_, &record, nullptr), 17u);
    // A record claiming lines it does not hold is refused rather than read past its end.
    ScsBaselineRecord empty{0, 20, data};
    EXPECT_EQ(scsSensorValidateAndProcessBaseLineData(handle_, &empty, &line), 17u);
    ScsBaselineRecord noData{sizeof data, 2, nullptr};
    EXPECT_EQ(scsSensorValidateAndProcessBaseLineData(handle_, &noData, &line), 17u);
    device_->flexId = 24;
    EXPECT_EQ(scsSensorValidateAndProcessBaseLineData(handle_, &record, &line), 40u);
    EXPECT_EQ(line.pixels, nullptr);
}

}  // namespace

