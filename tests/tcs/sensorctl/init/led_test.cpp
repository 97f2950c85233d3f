// LED control: command payloads from patterns (worked examples), persistent configuration, the
// LED event calls and the LED work item sending its command to the virtual sensor.
#include "tests/tcs/sensorctl/fixture.h"

#include "platform/settings.h"
#include "tcs/sensorctl/init/led.h"

#include <initializer_list>

namespace scstest {
namespace {

uint32_t wordAt(const std::vector<uint8_t>& bytes, size_t at) {
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
}

TEST(LedPayload, TimingBrightnessAndPortCodes) {
    // Blink rate 1000 with duty 30: on 300, off 700; brightness 60 on family 1 picks 0xE0E0E0E0.
    LedPattern pattern{1000, 30, 5, 0, 0, 60, 1};
    scswire::LedState s = scsled::buildLed(pattern, SCS_LED_SWIPE_ACCEPTED, SCS_FAMILY_1, 0);
    EXPECT_EQ(s.half1, 300);
    EXPECT_EQ(s.half2, 700);
    EXPECT_EQ(s.byte2, 5);
    EXPECT_EQ(s.words[26], 0xE0E0E0E0u);
    EXPECT_EQ(s.words[18], 7u);
    EXPECT_EQ(s.words[20], 5u);  // port 1 off code under header 0
    s = scsled::buildLed(pattern, SCS_LED_SWIPE_ACCEPTED, SCS_FAMILY_1, 1);
    EXPECT_EQ(s.words[18], 0u);
    EXPECT_EQ(s.words[20], 2u);  // port 1 on code under header 1
    s = scsled::buildLed(pattern, SCS_LED_SWIPE_ACCEPTED, SCS_FAMILY_2, 0);
    EXPECT_EQ(s.words[2], 0u);
    EXPECT_EQ(s.words[18], 47u);
    EXPECT_EQ(s.words[19], 0xFFFFFF80u);

    struct Case {
        uint32_t high;
        uint32_t word;
    };
    for (auto [high, word] : std::initializer_list<Case>{
             {100, 0xFFFFFFFFu}, {76, 0xFFFFFFFFu}, {75, 0xE0E0E0E0u}, {51, 0xE0E0E0E0u},
             {50, 0xC000C000u}, {26, 0xC000C000u}, {25, 0x80000000u}, {0, 0x80000000u}}) {
        pattern.highBrightness = high;
        EXPECT_EQ(scsled::buildLed(pattern, 26, SCS_FAMILY_1, 0).words[26], word) << high;
    }
}

TEST(LedPayload, OffPatternsAndFullDuty) {
    const LedPattern on{1000, 100, 3, 8, 0, 100, 0};
    scswire::LedState s = scsled::buildLed(on, SCS_LED_ACTIVATE, SCS_FAMILY_1, 1);
    EXPECT_EQ(s.half1, 500);
    EXPECT_EQ(s.half2, 0);
    for (uint32_t event : {uint32_t(SCS_LED_IDLE)}) {
        s = scsled::buildLed(on, event, SCS_FAMILY_1, 1);
        EXPECT_EQ(s.words[20], 0u);  // on code of an LED that is off
        EXPECT_EQ(s.half1, 0);
        EXPECT_EQ(s.byte2, 0);
    }
    LedPattern noDuty = on;
    noDuty.dutyCycle = 0;
    s = scsled::buildLed(noDuty, SCS_LED_ACTIVATE, SCS_FAMILY_1, 0);
    EXPECT_EQ(s.words[20], 7u);
    scswire::LedEntry entries[16];
    uint32_t total = 0;
    scsled::buildLedEx(noDuty, SCS_LED_ACTIVATE, entries, &total);
    EXPECT_EQ(total, 1u);
    for (const auto& e : entries) EXPECT_EQ(e.pattern[0], 0);
}

TEST(LedPayload, SelkinRampEntries) {
    // Ramp steps 8 over an on time of 900: ramp 300 ms, hold 300 ms, step time 75 ms.
    const LedPattern pattern{1500, 60, 4, 8, 20, 100, 1};
    scswire::LedEntry entries[16];
    uint32_t total = 0;
    scsled::buildLedEx(pattern, SCS_LED_SWIPE_ACCEPTED, entries, &total);
    EXPECT_EQ(total, 4000u);
    for (int i : {0, 1, 2, 3, 8, 12}) EXPECT_EQ(entries[i].pattern[0], 0) << i;
    const scswire::LedEntry* port = entries + 4;
    EXPECT_EQ((std::vector<uint8_t>(port[0].pattern, port[0].pattern + 5)), (std::vector<uint8_t>{1, 51, 8, 75, 255}));
    EXPECT_EQ(port[0].value, 300);
    EXPECT_EQ((std::vector<uint8_t>(port[1].pattern, port[1].pattern + 5)), (std::vector<uint8_t>{1, 255, 0, 0, 255}));
    EXPECT_EQ(port[1].value, 300);
    EXPECT_EQ(port[2].pattern[2], uint8_t(-8));
    EXPECT_EQ(port[2].value, 300);
    EXPECT_EQ((std::vector<uint8_t>(port[3].pattern, port[3].pattern + 5)), (std::vector<uint8_t>{1, 51, 0, 0, 51}));
    EXPECT_EQ(port[3].value, 600);
    // Without a ramp: steady high for the on time, low for the off time.
    const LedPattern steady{1000, 30, 2, 0, 0, 100, 0};
    scsled::buildLedEx(steady, SCS_LED_SWIPE_ACCEPTED, entries, &total);
    EXPECT_EQ(entries[0].pattern[0], 0);
    EXPECT_EQ(entries[1].value, 300);
    EXPECT_EQ(entries[3].value, 700);
}

class Led : public SensorControl {
protected:
    void SetUp() override {
        SensorControl::SetUp();
        device_ = plugAndAttach();
        ASSERT_NE(device_, nullptr);
        ASSERT_EQ(scsSensorDeviceFirstTimeInit(device_), TCS_RESULT_OK);
        activate(device_);
        ASSERT_EQ(scsClientCreate(subsystem_, &client_), TCS_RESULT_OK);
        ASSERT_EQ(scsSensorOpen(client_, device_->name, &sensor_handle_), TCS_RESULT_OK);
        ASSERT_NE(sensor_handle_->ledConfig, nullptr);
    }
    void TearDown() override {
        if (sensor_handle_ != nullptr) scsSensorClose(sensor_handle_);
        if (client_ != nullptr) scsClientDestroy(client_);
        SensorControl::TearDown();
    }
    ScsSensorDevice* device_ = nullptr;
    ScsClient* client_ = nullptr;
    ScsSensor* sensor_handle_ = nullptr;
};

// Event 26 (swipe accepted) reaches the LED owner, whose work item sends the slot's pattern as
// command 0x24: the default configuration (index 1, header 1) plays port 0 at full duty for one
// second at 60 % brightness.
TEST_F(Led, SwipeAcceptedSendsTheLedCommand) {
    simusb::setCommandHook(0x24, [](std::span<const uint8_t>) { return simusb::Reply{}; });
    simusb::clearCommandLog(sensor_);
    ASSERT_EQ(scsSensorLEDSetEvent(sensor_handle_, SCS_LED_SWIPE_ACCEPTED), TCS_RESULT_OK);
    std::vector<uint8_t> led;
    ASSERT_TRUE(pumpUntil([&] {
        for (const auto& command : simusb::commandLog(sensor_)) {
            if (!command.empty() && command[0] == 0x24) led = command;
        }
        return !led.empty() && queuedTypes(subsystem_).empty();
    }));
    simusb::setCommandHook(0x24, nullptr);
    ASSERT_EQ(led.size(), 119u);
    std::vector<uint32_t> words(28, 0);
    for (int w : {1, 5, 7, 11, 13, 15, 17}) words[w] = 0xFFFFFFFFu;
    for (int w : {3, 9, 19, 21, 23, 25}) words[w] = 0xFFFFFFF8u;
    words[2] = words[8] = 7;
    words[20] = words[24] = 1;  // port 0 on code
    words[26] = 0xE0E0E0E0u;
    for (size_t w = 0; w < 28; ++w) EXPECT_EQ(wordAt(led, 1 + 4 * w), words[w]) << w;
    EXPECT_EQ(led[113] | led[114] << 8, 500);  // on time
    EXPECT_EQ(led[115] | led[116] << 8, 0);    // off time
    EXPECT_EQ(led[117], 0);
    EXPECT_EQ(led[118], 1);  // seconds
    uint32_t running = 0;
    EXPECT_EQ(scsSensorLEDGetIndicatorStatus(sensor_handle_, &running), TCS_RESULT_OK);
    EXPECT_EQ(running, 1u);
}

TEST_F(Led, EventsAndConfigurationChecks) {
    EXPECT_EQ(scsSensorLEDSetEvent(sensor_handle_, 22), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(scsSensorLEDSetEvent(nullptr, 23), TCS_RESULT_INVALID);
    ScsLedConfigValues values{sizeof(ScsLedConfigValues), 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(scsSensorLEDConfig(sensor_handle_, SCS_LED_IDLE, &values, 0), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(scsSensorLEDConfig(sensor_handle_, 26, nullptr, 0), TCS_RESULT_INVALID);
    // Writing holds duration, rate, duty, ramp and brightness to their limits.
    values = {sizeof(ScsLedConfigValues), 100000, 101, 300, 40, 20, 150};
    ASSERT_EQ(scsSensorLEDConfig(sensor_handle_, 26, &values, 1), TCS_RESULT_OK);
    ScsLedConfigValues back{sizeof(ScsLedConfigValues), 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(scsSensorLEDConfig(sensor_handle_, 26, &back, 0), TCS_RESULT_OK);
    EXPECT_EQ(back.duration, 255u);
    EXPECT_EQ(back.blinkRate, 100000u);
    EXPECT_NE(back.dutyCycle, 101u);
    EXPECT_EQ(back.rampSteps, 32u);
    EXPECT_EQ(back.lowBrightness, 20u);
    EXPECT_NE(back.highBrightness, 150u);
    EXPECT_EQ(scsSensorLEDSetIndicatorBrightness(sensor_handle_, 101), TCS_RESULT_BAD_PARAM);
    ASSERT_EQ(scsSensorLEDSetIndicatorBrightness(sensor_handle_, 40), TCS_RESULT_OK);
    uint32_t brightness = 0;
    EXPECT_EQ(scsSensorLEDGetIndicatorBrightness(sensor_handle_, &brightness), TCS_RESULT_OK);
    EXPECT_EQ(brightness, 40u);
    ScsLedOverride override{sizeof(ScsLedOverride), 1, 3, 100, 50, 2};
    EXPECT_EQ(scsSensorLEDSetIndicatorOverrideConfig(sensor_handle_, &override), TCS_RESULT_INVALID);
    // With the feature off the calls do nothing and succeed.
    ASSERT_EQ(scsSensorLEDEnable(0), TCS_RESULT_OK);
    uint32_t enabled = 1;
    EXPECT_EQ(scsSensorIsLEDEnabled(&enabled), TCS_RESULT_OK);
    EXPECT_EQ(enabled, 0u);
    EXPECT_EQ(scsSensorLEDSetEvent(sensor_handle_, 22), TCS_RESULT_OK);
    ASSERT_EQ(scsSensorLEDEnable(1), TCS_RESULT_OK);
}

TEST_F(Led, PersistentPatternsAndConfigIndex) {
    const char* key = "SOFTWARE\\Tovantic\\LED\\events\\event3\\pattern";
    ASSERT_EQ(palSetPersistentDataLongValue(key, "duration", 400), TCS_RESULT_OK);
    ASSERT_EQ(palSetPersistentDataLongValue(key, "dutyCycle", 120), TCS_RESULT_OK);
    ASSERT_EQ(palSetPersistentDataLongValue(key, "blinkRate", 10), TCS_RESULT_OK);
    ASSERT_EQ(palSetPersistentDataLongValue(key, "ledPortIndex", 4), TCS_RESULT_OK);
    // An index past the three defaults picks the second (header 1).
    ASSERT_EQ(palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\LED", "configIndex", 7), TCS_RESULT_OK);
    void* state[64] = {};
    ASSERT_EQ(scsGetExternalLEDConfig(state), TCS_RESULT_OK);
    EXPECT_EQ(scsGetExternalLEDConfig(nullptr), TCS_RESULT_BAD_PARAM);
    const auto* words = reinterpret_cast<const uint32_t*>(&state[1]);
    EXPECT_EQ(words[0], 1u);  // feature on
    EXPECT_EQ(words[1], 1u);  // header of the second default
    EXPECT_EQ(words[2], 0u);
    EXPECT_EQ(words[3], 2u);
    const auto* slot3 = reinterpret_cast<const LedPattern*>(words + 5) + 3;
    EXPECT_EQ(slot3->duration, 255u);
    EXPECT_EQ(slot3->blinkRate, 32u);
    EXPECT_LE(slot3->dutyCycle, 100u);
    EXPECT_EQ(slot3->port, 0u);
    // Saved patterns land under event0 to event5 and "others".
    ASSERT_EQ(scsSensorSaveLEDConfig(sensor_handle_), TCS_RESULT_OK);
    uint32_t duration = 0;
    ASSERT_EQ(palGetPersistentDataLongValue("SOFTWARE\\Tovantic\\LED\\events\\others\\pattern", "duration", 99,
                                            &duration),
              TCS_RESULT_OK);
    EXPECT_NE(duration, 99u);
}

}  // namespace
}  // namespace scstest
