// Synchronous sensor commands against the virtual sensor: version, start info, peek and poke,
// patch download, get print, SPI flash identify, program and read, and replies shorter than their
// layout.
#include "tests/tcs/sensorctl/fixture.h"

#include "platform/pnp.h"
#include "tcs/sensorctl/protocol/builtin_lists.h"
#include "tcs/sensorctl/calibration/calibration.h"
#include "tcs/sensorctl/protocol/command_args.h"
#include "tcs/sensorctl/init/device_accessors.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/secure/fp_crypto.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/protocol/print_defaults.h"
#include "tcs/sensorctl/protocol/properties.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/protocol/sensor_properties.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/wire_builders.h"

#include <cstring>
#include <string>

namespace {

using scstest::SensorControl;
using Bytes = std::vector<uint8_t>;

class SyncCommands : public SensorControl {
protected:
    void SetUp() override {
        SensorControl::SetUp();
        ASSERT_EQ(scsClientCreate(subsystem_, &client_), TCS_RESULT_OK);
        device_ = plugAndAttach();
        ASSERT_NE(device_, nullptr);
        activate(device_);
        device_->replyParser = scsSensorParseReply_V4;
        device_->productFamily = 1;  // what device initialisation sets from the product id
        ASSERT_EQ(scsSensorOpen(client_, device_->name, &handle_), TCS_RESULT_OK);
    }
    void TearDown() override {
        simusb::setCommandHook(0x19, nullptr);
        simusb::setCommandHook(0x07, nullptr);
        SensorControl::TearDown();
    }

    Bytes spi(Bytes mosi) {
        Bytes miso(mosi.size(), 0xEE);
        EXPECT_EQ(scsSensorSPITrans(handle_, uint32_t(mosi.size()), mosi.data(), nullptr, miso.data()), 0u);
        return miso;
    }

    ScsClient* client_ = nullptr;
    ScsSensorDevice* device_ = nullptr;
    ScsSensor* handle_ = nullptr;
};

TEST_F(SyncCommands, VersionFillsTheRecordAndTheString) {
    char text[80] = {};
    ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
    ASSERT_NE(device_->fwVersion, nullptr);
    EXPECT_EQ(device_->fwVersion->major, 4);
    EXPECT_EQ(device_->fwVersion->minor, 40);
    EXPECT_EQ(device_->fwVersion->build, 17u);
    EXPECT_EQ(std::string(text).rfind("04.40.00.0017 Harlok ROM", 0), 0u) << text;
    char cached[80] = {};
    ASSERT_EQ(scsSensorGetCachedVersion(handle_, cached), 0u);
    EXPECT_STREQ(cached, text);
    EXPECT_EQ(simusb::commandLog(sensor_).size(), 1u) << "the cached string sends nothing";
}

TEST_F(SyncCommands, StartInfoPeekAndPoke) {
    uint8_t start = 9, reset = 9, block[52];
    uint32_t a = 0, b = 0, c = 0;
    ASSERT_EQ(scsSensorGetStartInfo(handle_, &start, &reset, &a, &b, &c, block), 0u);
    EXPECT_EQ(start, 0);
    EXPECT_EQ(reset, 0);
    EXPECT_EQ(scsSensorGetStartInfo(handle_, &start, &reset, &a, &b, nullptr, block), 17u);

    ASSERT_EQ(scsSensorPoke(handle_, 0x2000, 4, 0x11223344), 0u);
    uint32_t value = 0;
    ASSERT_EQ(scsSensorPeek(handle_, 0x2000, 2, &value), 0u);
    EXPECT_EQ(value, 0x3344u);
    EXPECT_EQ(scsSensorPeek(handle_, 0x2000, 3, &value), 49u) << "bad width answered 0x0406";
    EXPECT_EQ(simusb::commandLog(sensor_).back(), (Bytes{7, 0, 0x20, 0, 0, 3}));
}

TEST_F(SyncCommands, RepliesShorterThanTheirLayoutAreRefused) {
    simusb::setCommandHook(0x19, [](std::span<const uint8_t>) {
        simusb::Reply r;
        r.payload.assign(10, 0xAB);
        return r;
    });
    simusb::setCommandHook(0x07, [](std::span<const uint8_t>) {
        simusb::Reply r;
        r.payload = {1, 2};
        return r;
    });
    uint8_t start = 9, reset = 9, block[52];
    uint32_t a = 0, b = 0, c = 0, value = 0x5A5A5A5A;
    EXPECT_EQ(scsSensorGetStartInfo(handle_, &start, &reset, &a, &b, &c, block), 43u);
    EXPECT_EQ(start, 9) << "nothing reported";
    EXPECT_EQ(scsSensorPeek(handle_, 0, 4, &value), 43u);
    EXPECT_EQ(value, 0x5A5A5A5Au);
}

TEST_F(SyncCommands, PatchDownloadAndUnloadFollowTheSensorsRevision) {
    char text[80];
    ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
    const auto* run = static_cast<const ConfigDescriptor*>(harlokPatchConfigList[0]);
    ASSERT_EQ(run->words[SCS_PD_PATCH_IDS], 1u);
    ASSERT_EQ(scsSensorDownloadPatch(handle_, 0, uint16_t(run->words[SCS_PD_LENGTH]),
                                     static_cast<const uint8_t*>(run->data)),
              0u);
    ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
    EXPECT_EQ(device_->fwVersion->revision, run->words[SCS_PD_PATCH_REVISION]);
    EXPECT_EQ(scsSensorDownloadPatch(handle_, 0, uint16_t(run->words[SCS_PD_LENGTH]),
                                     static_cast<const uint8_t*>(run->data)),
              46u)
        << "the sensor refuses a second patch while one is loaded";
    ASSERT_EQ(scsSensorUnloadPatch(handle_), 0u);
    EXPECT_EQ(device_->fwVersion->revision, 0);
    const size_t sent = simusb::commandLog(sensor_).size();
    EXPECT_EQ(scsSensorUnloadPatch(handle_), 0u);
    EXPECT_EQ(simusb::commandLog(sensor_).size(), sent) << "nothing loaded: nothing sent";

    Bytes forged(static_cast<const uint8_t*>(run->data), static_cast<const uint8_t*>(run->data) + run->words[17]);
    forged[10] ^= 0x01;
    EXPECT_EQ(scsSensorDownloadPatch(handle_, 0, uint16_t(forged.size()), forged.data()), 373u);
}

TEST_F(SyncCommands, GetPrintKeepsTheConfigurationReply) {
    ScsReplyView reply{1, reinterpret_cast<uint8_t*>(1)};
    ASSERT_EQ(scsSensorGetFingerprint(handle_, 2, 0, 1, 0, nullptr, &reply), 0u);
    EXPECT_EQ(reply.length, 0u);
    EXPECT_EQ(reply.data, nullptr);
    const Bytes request = simusb::commandLog(sensor_).back();
    ASSERT_GE(request.size(), 5u);
    EXPECT_EQ(Bytes(request.begin(), request.begin() + 5), (Bytes{2, 0x20, 1, 2, 0})) << "288-byte lines, 2 lines";

    ASSERT_EQ(scsSensorGetFingerprint(handle_, 1, 0, 1, 0x10, nullptr, &reply), 0u);
    ASSERT_EQ(reply.length, 2400u);
    ASSERT_NE(device_->configReply, nullptr);
    EXPECT_EQ(std::memcmp(reply.data, device_->configReply, 2400), 0);
    uint8_t* table = nullptr;
    uint32_t tableLength = 0;
    ASSERT_EQ(scsSensorGetTimeSlotTable(handle_, &table, &tableLength), 0u);
    EXPECT_EQ(tableLength, 1408u);
    palRealFree(reply.data);
}

TEST_F(SyncCommands, SpiFlashIdentifyProgramAndRead) {
    EXPECT_EQ(spi({0x9F, 0, 0, 0}), (Bytes{0xFF, 0xEF, 0x40, 0x14}));
    spi({0x06});
    spi({0x02, 0x00, 0x01, 0x00, 0xA5, 0x5A});
    EXPECT_EQ(spi({0x03, 0x00, 0x01, 0x00, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xA5, 0x5A}));
    const Bytes sent = simusb::commandLog(sensor_).back();
    EXPECT_EQ(sent.size(), 35u + 6u);
    EXPECT_EQ(sent[21], 6);
    EXPECT_EQ(scsSensorSPITrans(handle_, 4, nullptr, nullptr, nullptr), 17u);
}

TEST_F(SyncCommands, FamilyOneDefaultsAndTheCaptureRequestTheyGive) {
    char text[80];
    ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
    device_->flexId = 14;
    ASSERT_EQ(scsSensorSetDefaultPrintConfiguration(handle_), 0u);
    uint32_t settings[4];
    ASSERT_EQ(scsSensorGetConfigInfo(handle_, settings), 0u);
    EXPECT_EQ(settings[1], 18u);
    EXPECT_EQ(settings[2], 15u);
    EXPECT_EQ(settings[3], 8u);
    PrintConfiguration* config = nullptr;
    ASSERT_EQ(scsSensorGetDefaultPrintConfiguration(handle_, &config), 0u);
    ASSERT_NE(config, nullptr);
    uint32_t lineLength = 0;
    ASSERT_EQ(scsSensorGetUint32DataFromPrintConfig(handle_, config, SCS_PC_LINE_LENGTH, &lineLength), 0u);
    EXPECT_EQ(lineLength, 288u);

    // Mode 0, every option clear: header, the configuration's blob, the immediate cull record.
    ScsReplyView reply{};
    ASSERT_EQ(scsSensorGetFingerprint(handle_, 4, 0, 0, 0, nullptr, &reply), 0u);
    Bytes expected = {2, 0x20, 1, 4, 0};
    expected.insert(expected.end(), config->blob, config->blob + config->blobLength);
    for (uint8_t b : {21, 0, 8, 0, 0, 0, 0, 0, 0x20, 0x28, 0, 0}) expected.push_back(b);
    EXPECT_EQ(simusb::commandLog(sensor_).back(), expected);

    // Mode 1 sends the motion record of type 2 after its cull record, and no immediate cull.
    ASSERT_EQ(scsSensorGetFingerprint(handle_, 4, 0, 1, 0x10, nullptr, &reply), 0u);
    palRealFree(reply.data);
    const Bytes withMotion = simusb::commandLog(sensor_).back();
    const size_t at = 5 + config->blobLength;
    ASSERT_EQ(withMotion.size(), at + 4 + 12 + 24);
    EXPECT_EQ(Bytes(withMotion.begin() + long(at), withMotion.begin() + long(at) + 4), (Bytes{23, 0, 0, 0}));
    EXPECT_EQ(withMotion[at + 4], 21);
    EXPECT_EQ(withMotion[at + 16], 11);
    EXPECT_EQ(withMotion[at + 18], 20);
}

// A wake-on-event capture carries the calibration's set-up, the wake-on-variance record when that is
// on, the fingerprint-buffering record when asked, and option 0x4000 keeps a copy of the request.
TEST_F(SyncCommands, WakeOnEventCaptureRecords) {
    char text[80];
    ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
    device_->flexId = 14;
    ASSERT_EQ(scsSensorSetDefaultPrintConfiguration(handle_), 0u);
    ASSERT_EQ(device_->woeType, 1u);
    device_->woeFlags |= SCS_WOE_FLAG_WOVAR;
    scsproto::DeviceState* state = scsproto::stateOf(device_);
    state->fpBufferingParams[0] = 7;
    state->fpBufferingParams[1] = 9;
    state->fpBufferingFirstUnit = 0x100;
    state->fpBufferingUnitCount = 0x80;
    state->fpKey[0] = 0x5A;

    uint8_t* setup = nullptr;
    uint32_t setupLength = 0;
    EXPECT_EQ(scsSensorHarlokCalGetWoeSetup(handle_, nullptr, &setupLength, 0), 7u);
    ASSERT_EQ(scsSensorHarlokCalGetWoeSetup(handle_, &setup, &setupLength, 0), 0u);
    ASSERT_EQ(setupLength, 56u);
    const Bytes calibrated(setup, setup + 56);
    palRealFree(setup);
    EXPECT_NE(calibrated, Bytes(56, 0));

    ScsReplyView reply{};
    ASSERT_EQ(scsSensorGetFingerprint(handle_, 4, 0, 2, 0x4100, nullptr, &reply), 0u);
    palRealFree(reply.data);
    const Bytes sent = simusb::commandLog(sensor_).back();
    PrintConfiguration* config = nullptr;
    ASSERT_EQ(scsSensorGetDefaultPrintConfiguration(handle_, &config), 0u);
    size_t at = 5 + config->blobLength + 12;  // header, blob, immediate cull
    ASSERT_EQ(sent.size(), at + 64 + 14 + 20);
    EXPECT_EQ(Bytes(sent.begin() + long(at), sent.begin() + long(at) + 8), (Bytes{7, 0, 60, 0, 16, 0, 0, 0}));
    EXPECT_EQ(Bytes(sent.begin() + long(at) + 8, sent.begin() + long(at) + 64), calibrated);
    at += 64;
    EXPECT_EQ(Bytes(sent.begin() + long(at), sent.begin() + long(at) + 14),
              (Bytes{25, 0, 10, 0, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 8, 0}));
    at += 14;
    EXPECT_EQ(Bytes(sent.begin() + long(at), sent.end()),
              (Bytes{34, 0, 16, 0, 7, 0, 0, 0, 9, 0, 0, 0, 0, 1, 0, 0, 0x7F, 1, 0, 0}));
    EXPECT_EQ(state->bufferedFpKey[0], 0x5A) << "the buffered data keep the capture's key";
    EXPECT_EQ(state->captureRequestCopy, Bytes(sent.begin() + 1, sent.end()));

    // Without wake-on-variance and without calibration values for the other WOE type the block is zero.
    device_->woeFlags = 0;
    device_->woeType = 2;
    ASSERT_EQ(scsSensorGetFingerprint(handle_, 4, 0, 2, 0, nullptr, &reply), 0u);
    palRealFree(reply.data);
    const Bytes plain = simusb::commandLog(sensor_).back();
    at = 5 + config->blobLength + 12;
    ASSERT_EQ(plain.size(), at + 64);
    EXPECT_EQ(Bytes(plain.begin() + long(at) + 8, plain.end()), Bytes(56, 0));
    EXPECT_EQ(state->captureRequestCopy, Bytes(sent.begin() + 1, sent.end())) << "kept until asked again";
}

// The device's motion threshold delta raises the presence thresholds of the capture's motion record.
TEST_F(SyncCommands, MotionThresholdDeltaReachesTheCaptureRequest) {
    char text[80];
    ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
    device_->flexId = 14;
    ASSERT_EQ(scsSensorSetDefaultPrintConfiguration(handle_), 0u);
    PrintConfiguration* config = nullptr;
    ASSERT_EQ(scsSensorGetDefaultPrintConfiguration(handle_, &config), 0u);
    ASSERT_EQ(scsSensorSetMotionParamThresholdDelta(handle_, 5), 0u);
    ScsReplyView reply{};
    ASSERT_EQ(scsSensorGetFingerprint(handle_, 4, 0, 4, 0, nullptr, &reply), 0u);
    palRealFree(reply.data);
    const Bytes sent = simusb::commandLog(sensor_).back();
    const size_t at = 5 + config->blobLength + 12;  // after the cull record
    ASSERT_GE(sent.size(), at + 8);
    EXPECT_EQ(Bytes(sent.begin() + long(at), sent.begin() + long(at) + 8), (Bytes{8, 0, 24, 0, 255, 0, 255, 0}))
        << "250 + 5 for present and absent";
}

// A type-3 motion record built from the device: its last image channel follows the flex entry's
// channel count (flex 59: 160 channels), and its tail carries, per channel from 8 on, the power-up
// baseline's mean less 128; in the wake-on-event capture modes bit 15 of the last channel is clear.
TEST_F(SyncCommands, Motion3RecordTakesTheFlexEntryAndTheBaseline) {
    char text[80];
    ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
    device_->flexId = 14;
    ASSERT_EQ(scsSensorSetDefaultPrintConfiguration(handle_), 0u);
    PrintConfiguration* config = nullptr;
    ASSERT_EQ(scsSensorGetDefaultPrintConfiguration(handle_, &config), 0u);
    device_->flexId = 59;
    palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\tfs530", "motionParamEnable", 3);
    // Two rows of header + 200 channels: channel c averages 128 + c % 50.
    constexpr uint32_t kWidth = 8 + 200;
    auto* info = static_cast<ScsBaseLineInfo*>(palRealMalloc(sizeof(ScsBaseLineInfo)));
    ASSERT_NE(info, nullptr);
    *info = ScsBaseLineInfo{};
    info->images[0] = {1, kWidth, 2, 0, static_cast<uint8_t*>(palRealMalloc(2 * kWidth))};
    for (uint32_t c = 0; c < 200; ++c) {
        info->images[0].pixels[8 + c] = uint8_t(128 + c % 50 - 1);
        info->images[0].pixels[kWidth + 8 + c] = uint8_t(128 + c % 50 + 1);
    }
    device_->baselineInfo = info;

    struct Case {
        uint32_t mode;
        uint16_t lastChannel;
    };
    for (auto [mode, lastChannel] : std::initializer_list<Case>{{4, 0x809F}, {3, 0x009F}}) {
        ScsReplyView reply{};
        ASSERT_EQ(scsSensorGetFingerprint(handle_, 4, 0, uint8_t(mode), 0, nullptr, &reply), 0u) << mode;
        palRealFree(reply.data);
        const Bytes sent = simusb::commandLog(sensor_).back();
        const size_t at = 5 + config->blobLength + 12;  // after the cull record
        ASSERT_EQ(sent.size(), at + 4 + 338) << mode;
        auto u16 = [&](size_t offset) { return uint16_t(sent[at + offset] | sent[at + offset + 1] << 8); };
        EXPECT_EQ(u16(0), 24u);
        EXPECT_EQ(sent[at + 4], 8u) << "bit depth";
        EXPECT_EQ(u16(10), 250u) << "present threshold of flex 59";
        EXPECT_EQ(u16(14), 200u) << "finger-up debounce of flex 59";
        EXPECT_EQ(u16(18), lastChannel) << mode;
        EXPECT_EQ(u16(20), 56u) << "presence centre offset of flex 59";
        const Bytes tail(sent.begin() + long(at) + 22, sent.end());
        ASSERT_EQ(tail.size(), 320u);
        for (uint32_t i = 0; i < 320; ++i) {
            const uint8_t expected = i >= 8 && i < 160 ? uint8_t(i % 50) : 0;
            ASSERT_EQ(tail[i], expected) << "tail index " << i;
        }
    }
    // Without a valid baseline the tail is zero.
    info->images[0].kind = 2;
    ScsReplyView reply{};
    ASSERT_EQ(scsSensorGetFingerprint(handle_, 4, 0, 4, 0, nullptr, &reply), 0u);
    palRealFree(reply.data);
    const Bytes sent = simusb::commandLog(sensor_).back();
    EXPECT_EQ(Bytes(sent.end() - 320, sent.end()), Bytes(320, 0));
}

// A device may be recalibrated while fewer than five calibrations were attempted.
TEST_F(SyncCommands, RecalibrationStatusFollowsTheAttempts) {
    struct Case {
        uint32_t attempts, status;
    };
    for (auto [attempts, status] : std::initializer_list<Case>{{0, 1}, {4, 1}, {5, 0}, {9, 0}}) {
        device_->calibrationAttempts = attempts;
        ASSERT_EQ(scsSensorSetRecalibrationStatus(handle_), 0u);
        uint32_t read = 99, count = 99;
        ASSERT_EQ(scsSensorGetRecalibrationStatus(handle_, &read), 0u);
        EXPECT_EQ(read, status) << attempts;
        ASSERT_EQ(scsSensorGetCalibrateAttemptsCount(handle_, &count), 0u);
        EXPECT_EQ(count, attempts);
    }
    EXPECT_EQ(scsSensorGetRecalibrationStatus(handle_, nullptr), 17u);
    EXPECT_EQ(scsSensorGetCalibrateAttemptsCount(handle_, nullptr), 17u);
}

// Device initialisation's wake-on-event step sends the set-up that calibration chose.
TEST_F(SyncCommands, WakeOnEventSetUpSendsTheCalibratedBlock) {
    device_->flexId = 14;
    device_->woeType = 0;
    const size_t before = simusb::commandLog(sensor_).size();
    EXPECT_EQ(_scsSensorHarlokWOESetup(handle_), 17u) << "no wake-on-event on this device";
    EXPECT_EQ(simusb::commandLog(sensor_).size(), before);
    device_->woeType = 1;
    uint8_t* setup = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(scsSensorHarlokCalGetWoeSetup(handle_, &setup, &length, 0), 0u);
    Bytes expected = {0x12};
    expected.insert(expected.end(), setup, setup + length);
    palRealFree(setup);
    ASSERT_EQ(_scsSensorHarlokWOESetup(handle_), 0u);
    EXPECT_EQ(simusb::commandLog(sensor_).back(), expected);
    // Without a service thread the flat call does the work itself.
    simusb::clearCommandLog(sensor_);
    ScsWoeSetupContext context{handle_, 0};
    EXPECT_EQ(scsSensorHarlokWOESetup(nullptr, &context), 17u);
    ASSERT_EQ(scsSensorHarlokWOESetup(subsystem_, &context), 0u);
    EXPECT_EQ(simusb::commandLog(sensor_).back(), expected);
}

// Entering wake on event needs a set-up on the sensor first; once entered, the device counts as
// suspended (mode 1) and the sensor sleeps until a finger wakes it.
TEST_F(SyncCommands, WakeOnEventEnterNeedsASetUpAndSuspendsTheDevice) {
    device_->flexId = 14;
    device_->woeType = 1;
    EXPECT_NE(scsSensorWOEEnter(handle_, 3), 0u) << "no set-up since power-up";
    uint8_t mode = 9;
    ASSERT_EQ(scsSensorGetSuspendedMode(handle_, &mode), 0u);
    EXPECT_EQ(mode, 0u);
    ASSERT_EQ(_scsSensorHarlokWOESetup(handle_), 0u);
    ASSERT_EQ(scsSensorWOEEnter(handle_, 3), 0u);
    EXPECT_EQ(simusb::commandLog(sensor_).back(), (Bytes{0x0C, 3, 0}));
    EXPECT_EQ(simusb::transientState(sensor_, "woeEnter"), (Bytes{3, 0}));
    ASSERT_EQ(scsSensorGetSuspendedMode(handle_, &mode), 0u);
    EXPECT_EQ(mode, 1u);
    // Asleep, the sensor reports no finger, then the wake once, then the finger it measures.
    uint8_t state = 9, flags = 9;
    ASSERT_EQ(scsSensorGetFingerState(handle_, &state, &flags), 0u);
    EXPECT_EQ(state, 0u);
    EXPECT_EQ(flags, 0u);
    simusb::setStoredState(sensor_, "fingerState", {2, 0});
    ASSERT_EQ(scsSensorGetFingerState(handle_, &state, &flags), 0u);
    EXPECT_EQ(state, 0u);
    EXPECT_EQ(flags, 0x10u);
    ASSERT_EQ(scsSensorGetFingerState(handle_, &state, &flags), 0u);
    EXPECT_EQ(state, 2u);
    EXPECT_EQ(flags, 0u);
}

// A set-up request without a block of its own takes the wake-on-event entry initialisation stored
// on the device; with neither there is nothing to send (1001).
TEST_F(SyncCommands, WakeOnEventSetUpWithoutABlockTakesTheStoredEntry) {
    struct Answer {
        int calls = 0;
        TcsResult status = 99;
    } answer;
    ScsWitRequest request{};
    request.witId = scsWITSensor_CMD_WOE_SETUP;
    request.replyCallback = [](ScsReplyView*, TcsResult status, void* context) -> TcsResult {
        auto* a = static_cast<Answer*>(context);
        ++a->calls;
        a->status = status;
        return TCS_RESULT_OK;
    };
    request.context = &answer;
    scsargs::write(&request, scsargs::WoeSetup{0, nullptr});
    const size_t before = simusb::commandLog(sensor_).size();
    EXPECT_EQ(scsSensorSendWOESetup_V4(handle_, &request), 1001u);
    EXPECT_EQ(simusb::commandLog(sensor_).size(), before) << "nothing sent";

    const Bytes block = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ConfigDescriptor entry{};
    for (uint32_t word = 4; word <= 8; ++word) entry.words[word] = SCS_CFG_ANY;
    entry.words[SCS_PD_LENGTH] = uint32_t(block.size());
    entry.data = block.data();
    device_->woeConfig = &entry;
    ASSERT_EQ(scsSensorSendWOESetup_V4(handle_, &request), 0u);
    ASSERT_TRUE(pumpUntil([&] { return answer.calls == 1; }));
    EXPECT_EQ(answer.status, 0u);
    Bytes expected(57, 0);
    expected[0] = 0x12;
    std::copy(block.begin(), block.end(), expected.begin() + 1);
    EXPECT_EQ(simusb::commandLog(sensor_).back(), expected) << "zero-padded to the 56-byte field";
    EXPECT_EQ(simusb::transientState(sensor_, "woeSetup"), Bytes(expected.begin() + 1, expected.end()));

    // A block of the request's own wins over the stored one.
    const Bytes own(56, 0x77);
    scsargs::write(&request, scsargs::WoeSetup{uint32_t(own.size()), own.data()});
    ASSERT_EQ(scsSensorSendWOESetup_V4(handle_, &request), 0u);
    ASSERT_TRUE(pumpUntil([&] { return answer.calls == 2; }));
    EXPECT_EQ(simusb::transientState(sensor_, "woeSetup"), own);
    device_->woeConfig = nullptr;
}

TEST_F(SyncCommands, PostedFingerprintBufferReceivesTheSensorsData) {
    struct Received {
        int calls = 0;
        TcsResult status = 99;
        uint32_t length = 0;
    } received;
    auto done = [](void* context, TcsResult status, uint8_t*, uint32_t length, void*) -> TcsResult {
        auto* r = static_cast<Received*>(context);
        ++r->calls;
        r->status = status;
        r->length = length;
        return TCS_RESULT_OK;
    };
    uint8_t buffer[64];
    EXPECT_EQ(scsSensorPostFingerprintBuffer(handle_, nullptr, 64, done, &received), 17u);
    ASSERT_EQ(scsSensorPostFingerprintBufferEx(handle_, buffer, sizeof buffer, 1, done, &received), 0u);
    ASSERT_EQ(scsStartReadFingerprint(handle_), 0u);
    const Bytes data(64, 0x3C);
    simusb::pushFingerprintData(sensor_, data);
    ASSERT_TRUE(pumpUntil([&] { return received.calls == 1; }));
    EXPECT_EQ(received.status, 0u);
    EXPECT_EQ(received.length, 64u);
    EXPECT_EQ(Bytes(buffer, buffer + 64), data);
    uint32_t timeout = 0;
    EXPECT_EQ(scsSensorGetRetransmissionTimeout(handle_, nullptr), 17u);
    ASSERT_EQ(scsSensorGetRetransmissionTimeout(handle_, &timeout), 0u);
    EXPECT_NE(timeout, 0u);
}

TEST_F(SyncCommands, CalibrateRunsTheItemOnceAtATime) {
    EXPECT_EQ(scsSensorCalibrate(nullptr, 1), 40u);
    device_->captureModeByte = 2;
    EXPECT_EQ(scsSensorCalibrate(handle_, 1), 46u) << "one is running";
    EXPECT_EQ(device_->captureModeByte, 2) << "the running one's kind stays";
    device_->captureModeByte = 0;
    ASSERT_EQ(palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\tfs530", "calibrationEnable", 0), 0u);
    EXPECT_EQ(scsSensorCalibrate(handle_, 1), 0u);
    EXPECT_EQ(device_->calibrated, 1u);
    EXPECT_EQ(device_->captureModeByte, 0) << "free for the next calibration";
    EXPECT_EQ(scsPrepareForSuspend(nullptr), 17u);
}

TEST_F(SyncCommands, AvailableListHoldsTheAnnouncedDevices) {
    EXPECT_EQ(scsUpdateAvailableDeviceList(nullptr), 40u);
    device_->announced = 0;
    ASSERT_EQ(scsUpdateAvailableDeviceList(subsystem_), 0u);
    palPnpRemoveFromAvailableDeviceList(subsystem_->pnp, device_->name);
    ASSERT_EQ(scsUpdateAvailableDeviceList(subsystem_), 0u);
    EXPECT_EQ(palPnpIsInAvailableDeviceList(subsystem_->pnp, device_->name), 0u) << "not announced";
    device_->announced = 1;
    device_->resetRecovery = 1;
    ASSERT_EQ(scsUpdateAvailableDeviceList(subsystem_), 0u);
    EXPECT_EQ(palPnpIsInAvailableDeviceList(subsystem_->pnp, device_->name), 1u);
    uint64_t reference = 0;
    ASSERT_EQ(palPnpGetSensorDeviceFromAvailableDeviceList(subsystem_->pnp, device_->name, &reference), 0u);
    EXPECT_EQ(reference, reinterpret_cast<uintptr_t>(device_));
}

// Baseline blocks are copied image by image; absent images stay absent.
TEST(BaseLineInfo, CloneAndFree) {
    uint8_t pixels[6] = {1, 2, 3, 4, 5, 6};
    ScsBaseLineInfo source{};
    source.images[1] = {7, 3, 2, 0, pixels};
    ScsBaseLineInfo copy{};
    ASSERT_EQ(scsCloneBaseLineInfo(&source, &copy), 0u);
    EXPECT_EQ(copy.images[0].pixels, nullptr);
    ASSERT_NE(copy.images[1].pixels, nullptr);
    EXPECT_NE(copy.images[1].pixels, pixels);
    EXPECT_EQ(Bytes(copy.images[1].pixels, copy.images[1].pixels + 6), Bytes(pixels, pixels + 6));
    EXPECT_EQ(copy.images[1].width, 3u);
    EXPECT_EQ(scsFreeBaseLineInfo(&copy), 0u);
    EXPECT_EQ(copy.images[1].pixels, nullptr);
    EXPECT_EQ(scsCloneBaseLineInfo(nullptr, &copy), 17u);
}

// The module's flex record must exist; it gives the wake-on-event type that a stored value
// outside 0-2 falls back to.
TEST_F(SyncCommands, DefaultsTakeTheWakeOnEventTypeFromTheFlexRecord) {
    char text[80];
    ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
    device_->flexId = 12345;
    EXPECT_EQ(scsSensorSetDefaultPrintConfiguration(handle_), 40u) << "no flex record";
    struct Case { uint32_t flex; int64_t stored; uint32_t woeType; };
    for (auto [flex, stored, woeType] : std::initializer_list<Case>{
             {14, -1, 1}, {58, -1, 2}, {58, 7, 2}, {14, 3, 1}, {58, 1, 1}, {14, 0, 0}}) {
        device_->flexId = flex;
        if (stored >= 0) palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\tfs530", "woeType", uint32_t(stored));
        palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\tfs530", "useSelectiveSuspend", 1);
        ASSERT_EQ(scsSensorSetDefaultPrintConfiguration(handle_), 0u) << flex << " " << stored;
        EXPECT_EQ(device_->woeType, woeType) << flex << " " << stored;
        EXPECT_EQ(scsIsSelectiveSuspendEnabled(handle_), woeType != 0 ? 1u : 0u) << flex << " " << stored;
        palRemovePersistentDataValue("SOFTWARE\\Tovantic\\tfs530", "woeType");
    }
}

TEST_F(SyncCommands, PreBootImageOfTheFirmwareAndTransportProperties) {
    uint32_t size = 0, id = 0;
    EXPECT_EQ(scsGetEFIResourceIdAndSize(handle_, &size, &id), 40u) << "no version yet";
    char text[80];
    ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
    ASSERT_EQ(scsGetEFIResourceIdAndSize(handle_, &size, &id), 0u);
    EXPECT_EQ(size, 0x4E000u);
    EXPECT_EQ(id, 102u);
    device_->fwVersion->minor = 60;
    device_->transportValue1 = 0x0007;
    EXPECT_EQ(scsGetEFIResourceIdAndSize(handle_, &size, &id), 1u) << "4.60 on another product id";
    device_->transportValue1 = TOV_USB_PID_PREBOOT_SECOND;
    ASSERT_EQ(scsGetEFIResourceIdAndSize(handle_, &size, &id), 0u);
    EXPECT_EQ(id, 110u);
    EXPECT_EQ(scsGetEFIResourceIdAndSize(handle_, nullptr, &id), 17u);

    uint32_t block = 0;
    device_->transportKind = 2;
    ASSERT_EQ(scsSensorGetTransportBlockSize(handle_, &block), 0u);
    EXPECT_EQ(block, 32u);
    device_->transportKind = 1;
    ASSERT_EQ(scsSensorGetTransportBlockSize(handle_, &block), 0u);
    EXPECT_EQ(block, 64u);
    uint32_t keyLength = 0;
    ASSERT_EQ(scsSensorGetSupportedRSAKeyLength(handle_, &keyLength), 0u);
    EXPECT_EQ(keyLength, 128u);
    EXPECT_EQ(scsSensorSecureMatchSupported(handle_), 0u) << "flags bit 0 clear";
    device_->woeType = 2;
    EXPECT_EQ(scsIsWOENFEnabled(handle_), 1u);
    uint32_t woe = 0;
    ASSERT_EQ(scsIsWoeSupported(handle_, &woe), 0u);
    EXPECT_EQ(woe, 1u);
}

TEST_F(SyncCommands, CountedLinesArriveOnTheFingerprintPipe) {
    char text[80];
    ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
    std::vector<uint8_t> lines(3 * 288, 0);
    ASSERT_EQ(scsSensorGetCountedLinesSynch(handle_, lines.data(), uint32_t(lines.size()), 3, 0, 4, nullptr, nullptr),
              0u);
    for (uint32_t line = 0; line < 3; ++line) {
        EXPECT_EQ(lines[line * 288 + 2], uint8_t(line * 10)) << "sensor time of line " << line;
        for (uint32_t col = 41; col < 288; col += 41) {
            EXPECT_EQ(lines[line * 288 + col], uint8_t(0x70 + (line * 3 + col * 5) % 32)) << line << " " << col;
        }
    }
    EXPECT_EQ(device_->captureState, 0u);
    // Fewer bytes than the buffer holds: 49.
    std::vector<uint8_t> more(4 * 288, 0);
    EXPECT_EQ(scsSensorGetCountedLinesSynch(handle_, more.data(), uint32_t(more.size()), 3, 0, 4, nullptr, nullptr),
              49u);
    // A read in another mode (the power-up baseline's 2) after one that ended with streaming
    // turned off: it must turn streaming on itself, or its lines never arrive.
    const uint32_t woe = device_->woeType;
    device_->woeType = 1;
    std::fill(lines.begin(), lines.end(), 0);
    EXPECT_EQ(scsSensorGetCountedLinesSynch(handle_, lines.data(), uint32_t(lines.size()), 3, 2, 20, nullptr, nullptr),
              0u);
    EXPECT_EQ(lines[2 * 288 + 41], uint8_t(0x70 + (2 * 3 + 41 * 5) % 32));
    device_->woeType = woe;
}

TEST_F(SyncCommands, NoSecurityRecordOutsideASession) {
    char text[80];
    ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
    EXPECT_EQ(scsSensorFpEncryptionEnabled(device_), 1u) << "4.40 on family 1 encrypts by default";
    uint8_t record[110];
    uint32_t size = 7;
    ASSERT_EQ(scsGetSecurityParams(device_, record, &size, 0, 288), 0u);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(scsGetSecurityParams(nullptr, record, &size, 0, 288), 17u);
    ScsReplyView reply{};
    ASSERT_EQ(scsSensorGetFingerprint(handle_, 1, 0, 0, 0x4, nullptr, &reply), 0u);
    EXPECT_EQ(simusb::commandLog(sensor_).back().size(), 5u + 12u) << "header and immediate cull only";
}

TEST_F(SyncCommands, FastReadOfTheFlashThroughTheFingerprintPipe) {
    char text[80];
    ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
    spi({0x06});
    spi({0x02, 0x00, 0x30, 0x00, 0x12, 0x34, 0x56});
    const Bytes command = {0x0B, 0x00, 0x30, 0x00, 0x00};
    std::vector<uint8_t> data(128, 0);
    ASSERT_EQ(scsFastReadSPIFlash(handle_, 0, 5, command.data(), 64, data.data()), 0u);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 4), (Bytes{0x12, 0x34, 0x56, 0xFF}));
    EXPECT_EQ(scsFastReadSPIFlash(handle_, 0, 5, command.data(), 65, data.data()), 17u) << "not a multiple of 64";
}

TEST_F(SyncCommands, SelectiveSuspendGoesToTheTransport) {
    EXPECT_EQ(scsSensorEnableSelectiveSuspend(handle_, 0), 0u);
    EXPECT_EQ(scsSensorDisableSelectiveSuspend(handle_), 0u);
    EXPECT_EQ(scsSensorEnableSelectiveSuspend(nullptr, 0), scsSensorValidate(nullptr));
}

}  // namespace
