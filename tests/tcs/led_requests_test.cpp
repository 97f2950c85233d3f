// LED requests on the whole stack: handle and pointer checks, the feature switch, the indicator
// status, and swipe accepted reaching the virtual sensor as command 0x24.
#include "platform/settings.h"
#include "platform/test_seams.h"
#include "platform/usb_test_seams.h"
#include "sim/usb/sim_usb.h"
#include "tcs/core.h"
#include "tcs/handle_map.h"
#include "tcs/led_requests.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/tcs.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct ReadyName {
    std::mutex lock;
    std::string name;
};

TcsResult onReady(void*, void* context, EventRecord* event) {
    if (event->id != 3 || event->data == nullptr) return TCS_RESULT_OK;
    auto* ready = static_cast<ReadyName*>(context);
    std::lock_guard<std::mutex> hold(ready->lock);
    ready->name = static_cast<const char*>(event->data);
    return TCS_RESULT_OK;
}

std::vector<uint8_t> versionBlock() {
    std::vector<uint8_t> v(36, 0);
    v[0] = 1, v[4] = 17, v[8] = 4, v[9] = 40, v[10] = 1, v[11] = 4, v[13] = 1, v[22] = 1;
    return v;
}

class LedRequests : public ::testing::Test {
protected:
    void SetUp() override {
        simusb::resetAll();
        palTestSetUsbPollInterval(5);
        palTestSetUsbWorkerStopTimeout(0);
        settings_ = ::testing::TempDir() + "/tcs_led_requests_settings" + std::to_string(getpid());
        palTestSetSettingsPath(settings_.c_str());
        simusb::setCommandHook(0x01, [](std::span<const uint8_t>) { return simusb::Reply{0, versionBlock()}; });
        simusb::setCommandHook(0x24, [](std::span<const uint8_t>) { return simusb::Reply{}; });
        sensorId_ = simusb::plug();
        ASSERT_NE(sensorId_, 0);
        ASSERT_EQ(tcsStartupEx(&stack_, TCS_START_FAST_POLL, nullptr), TCS_RESULT_OK);
        ASSERT_EQ(tcsClientCreateSys(stack_, &client_), TCS_RESULT_OK);
        ASSERT_EQ(tcsClientEventsAddCallback(client_, onReady, &ready_), TCS_RESULT_OK);
        ASSERT_TRUE(waitFor([&] {
            std::lock_guard<std::mutex> hold(ready_.lock);
            return !ready_.name.empty();
        }));
        // The core's record over sensor control's open (the core's own open also needs image
        // acquisition).
        void* record = nullptr;
        tcsSafeClientHandleFetch(client_, &record);
        auto* client = static_cast<ClientRecord*>(record);
        ASSERT_EQ(tcsSensorAlloc(&sensor_, ready_.name.c_str()), TCS_RESULT_OK);
        sensor_->client = client;
        ASSERT_EQ(scsSensorOpen(client->sensorControlClient, ready_.name.c_str(), &sensor_->sensorControlSensor),
                  TCS_RESULT_OK);
        ASSERT_EQ(tcsSafeSensorHandleCreate(sensor_, &handle_), TCS_RESULT_OK);
    }

    void TearDown() override {
        if (sensor_ != nullptr) {
            if (sensor_->sensorControlSensor != nullptr) scsSensorClose(sensor_->sensorControlSensor);
            _tcsSensorFree(sensor_);
        }
        if (client_ != 0) {
            EXPECT_EQ(tcsClientDestroy(client_), TCS_RESULT_OK);
        }
        if (stack_ != nullptr) {
            EXPECT_EQ(tcsShutdown(stack_), TCS_RESULT_OK);
        }
        simusb::setCommandHook(0x01, nullptr);
        simusb::setCommandHook(0x24, nullptr);
        simusb::resetAll();
        palTestSetUsbPollInterval(0);
        palTestSetSettingsPath(nullptr);
        std::remove(settings_.c_str());
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_IMAGE, nullptr);
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_SENSOR, nullptr);
    }

    bool waitFor(const std::function<bool()>& condition, int ms = 5000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (!condition()) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    std::string settings_;
    simusb::SensorId sensorId_ = 0;
    CoreSubsystem* stack_ = nullptr;
    TcsHandle client_ = 0;
    ReadyName ready_;
    SensorRecord* sensor_ = nullptr;
    TcsHandle handle_ = 0;
};

TEST_F(LedRequests, PointersAreCheckedBeforeTheHandle) {
    const TcsHandle none = 999999;
    EXPECT_EQ(tcsSensorLEDGetIndicatorBrightness(none, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsSensorLEDGetIndicatorStatus(none, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsSensorLEDGetIndicatorOverride(none, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsSensorLEDSetIndicatorOverride(none, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsSensorLEDGetConfig(none, 26, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsSensorLEDConfig(none, 26, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsSensorIsLEDEnabled(nullptr), TCS_RESULT_NULL_POINTER);
    uint32_t value = 0;
    EXPECT_EQ(tcsSensorLEDGetIndicatorBrightness(none, &value), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_EQ(tcsSensorLEDIdle(none), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_EQ(tcsSensorSaveLEDConfig(none), TCS_RESULT_NULL_SENSOR_HANDLE);
}

TEST_F(LedRequests, UnknownEventIsRefusedOnlyWhileTheFeatureIsOn) {
    EXPECT_EQ(tcsSensorLEDSetEvent(handle_, 22), TCS_RESULT_BAD_PARAM);
    ASSERT_EQ(tcsSensorLEDEnable(0), TCS_RESULT_OK);
    uint32_t on = 1;
    ASSERT_EQ(tcsSensorIsLEDEnabled(&on), TCS_RESULT_OK);
    EXPECT_EQ(on, 0u);
    EXPECT_EQ(tcsSensorLEDSetEvent(handle_, 22), TCS_RESULT_OK);
    ASSERT_EQ(tcsSensorLEDEnable(1), TCS_RESULT_OK);
}

TEST_F(LedRequests, IndicatorStatusZeroPlaysIdleWithoutTheStatusPattern) {
    ASSERT_EQ(tcsSensorLEDSetIndicatorBrightness(handle_, 40), TCS_RESULT_OK);
    ASSERT_EQ(tcsSensorLEDSetIndicatorStatus(handle_, 0), TCS_RESULT_OK);
    uint32_t brightness = 0;
    ASSERT_EQ(tcsSensorLEDGetIndicatorBrightness(handle_, &brightness), TCS_RESULT_OK);
    EXPECT_EQ(brightness, 40u);
    // Any other status copies the configured status pattern in (the default's 60 %).
    ASSERT_EQ(tcsSensorLEDSetIndicatorStatus(handle_, 1), TCS_RESULT_OK);
    ASSERT_EQ(tcsSensorLEDGetIndicatorBrightness(handle_, &brightness), TCS_RESULT_OK);
    EXPECT_EQ(brightness, 60u);
}

TEST_F(LedRequests, SwipeAcceptedReachesTheSensor) {
    simusb::clearCommandLog(sensorId_);
    ASSERT_EQ(tcsSensorLEDSwipeAccepted(handle_), TCS_RESULT_OK);
    std::vector<uint8_t> led;
    ASSERT_TRUE(waitFor([&] {
        for (const auto& command : simusb::commandLog(sensorId_)) {
            if (!command.empty() && command[0] == 0x24) led = command;
        }
        return !led.empty();
    }));
    EXPECT_EQ(led.size(), 119u);
    EXPECT_EQ(led[113] | led[114] << 8, 500);
    EXPECT_EQ(led[118], 1);
}

}  // namespace
