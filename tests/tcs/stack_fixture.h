// Base fixture of the stack suites: the whole in-process stack over the virtual sensor in a private
// scratch folder, a system client that records every system event, the sensor opened once it is
// ready, and the tear-down in the order the stack needs. A suite sets the knobs it differs in (in its
// constructor, or before startStack()) and adds only what is its own. A new stack test:
//
//     class MyStack : public StackFixture {};
//     TEST_F(MyStack, Something) {
//         startStack();
//         plug();
//         openWhenReady();
//         ... sensor_, client_, id_ (the virtual sensor), waitFor, countOf, device() ...
//     }
#pragma once

#include "platform/settings.h"
#include "platform/test_seams.h"
#include "platform/usb_test_seams.h"
#include "sim/usb/sim_usb.h"
#include "tcs/core.h"
#include "tcs/handle_map.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/tcs.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class StackFixture : public ::testing::Test {
protected:
    // No lock step (a locked sensor refuses the pairings tests make); a service thread that waits
    // 1 ms between passes. Calibration stays on.
    static constexpr uint32_t kNoLockFastPoll = 0x00100000u | TCS_START_FAST_POLL;

    // One system event as the client heard it; the name is the sensor's, where the event has one.
    struct Seen {
        uint32_t id;
        uint32_t status;
        std::string name;
    };

    // --- knobs ---
    const char* folderName_ = "tcs_stack";      // prefix of the scratch folder
    uint32_t startFlags_ = kNoLockFastPoll;
    const StartupOption* startOptions_ = nullptr;
    bool stateFolder_ = false;     // the virtual sensor keeps its state in dir_/state, images in dir_/images
    bool unplugFirst_ = false;     // tear-down unplugs the sensor before the client and the stack go
    int waitMs_ = 10000;           // waitFor's default limit

    void SetUp() override {
        simusb::resetAll();
        palTestSetUsbPollInterval(5);
        palTestSetUsbWorkerStopTimeout(0);
        // TempDir() ends in a slash.
        std::string pattern = ::testing::TempDir() + folderName_ + "_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        settings_ = dir_ + "/settings";
        palTestSetSettingsPath(settings_.c_str());
        if (stateFolder_) {
            stateDir_ = dir_ + "/state";
            ASSERT_EQ(std::system(("mkdir -p " + stateDir_ + " " + dir_ + "/images").c_str()), 0);
            palTestSetEFIImageFolder((dir_ + "/images").c_str());
            simusb::setStateDirectory(stateDir_);
        }
    }

    void TearDown() override {
        stop();
        for (uint8_t code : hooked_) simusb::setCommandHook(code, nullptr);
        simusb::resetAll();
        palTestSetUsbPollInterval(0);
        if (stateFolder_) palTestSetEFIImageFolder(nullptr);
        palTestSetSettingsPath(nullptr);
        std::system(("rm -rf " + dir_).c_str());
    }

    // The stack with its flags and options, and the system client that records events.
    void startStack() {
        ASSERT_EQ(tcsStartupEx(&stack_, startFlags_, startOptions_), TCS_RESULT_OK);
        ASSERT_EQ(tcsClientCreateSys(stack_, &client_), TCS_RESULT_OK);
        ASSERT_EQ(tcsClientEventsAddCallback(client_, recordEvent, this), TCS_RESULT_OK);
    }

    // Plugs a sensor (the default one, or the spec's, whose state a suite may have saved).
    void plug(const simusb::SensorSpec& spec = {}) {
        id_ = simusb::plug(spec);
        ASSERT_NE(id_, 0);
    }

    // A sensor whose every version request gets this block.
    void answerVersion(std::vector<uint8_t> block) {
        hook(0x01, [block = std::move(block)](std::span<const uint8_t>) { return simusb::Reply{0, block}; });
    }

    // The plugged sensor carries the swipe model's module (its configuration reply is the module's
    // time-slot words) and has a finger on it or not.
    void carryModule(const std::vector<uint32_t>& words, bool fingerPresent) {
        std::vector<uint8_t> reply(words.size() * 4);
        std::memcpy(reply.data(), words.data(), reply.size());
        simusb::setStoredState(id_, "configReply", reply);
        simusb::setStoredState(id_, "fingerState", {uint8_t(fingerPresent ? 2 : 0), 0});
    }
    // Names the swipe model's module (flex id 14) at start-up, as the tool's "-flexid" does.
    static const StartupOption* modelModuleOption() {
        static uint32_t flexId = 14;
        static const StartupOption options[] = {{3, &flexId}, {0, nullptr}};
        return options;
    }

    // Waits for the first sensor-ready event and opens that sensor.
    void openWhenReady() {
        ASSERT_TRUE(waitFor([&] { return countOf(TCS_SYSTEM_EVENT_SENSOR_READY) > 0; }));
        ASSERT_EQ(tcsSensorOpenA(client_, last(TCS_SYSTEM_EVENT_SENSOR_READY).name.c_str(), &sensor_), TCS_RESULT_OK);
    }

    // Closes the sensor, destroys the client, shuts the stack down and unplugs the sensor (first, with
    // unplugFirst_); what the client heard is forgotten. Safe to call again.
    void stop() {
        if (unplugFirst_) unplug();
        if (sensor_ != 0) {
            EXPECT_EQ(tcsSensorClose(sensor_), TCS_RESULT_OK);
        }
        sensor_ = 0;
        if (client_ != 0) {
            EXPECT_EQ(tcsClientDestroy(client_), TCS_RESULT_OK);
        }
        client_ = 0;
        if (stack_ != nullptr) {
            EXPECT_EQ(tcsShutdown(stack_), TCS_RESULT_OK);
        }
        stack_ = nullptr;
        unplug();
        std::lock_guard<std::mutex> hold(lock_);
        events_.clear();
    }
    void unplug() {
        if (id_ != 0) simusb::unplug(id_);
        id_ = 0;
    }

    // A command hook removed again at tear-down.
    void hook(uint8_t code, simusb::CommandHook h) {
        simusb::setCommandHook(code, std::move(h));
        hooked_.push_back(code);
    }

    static TcsResult recordEvent(void*, void* context, EventRecord* event) {
        auto* self = static_cast<StackFixture*>(context);
        Seen seen{event->id, event->status, {}};
        if (event->data != nullptr && event->dataSize > 0 && event->id != TCS_SYSTEM_EVENT_ALL_READY) {
            const auto* text = static_cast<const char*>(event->data);
            seen.name.assign(text, strnlen(text, event->dataSize));
        }
        std::lock_guard<std::mutex> hold(self->lock_);
        self->events_.push_back(seen);
        return TCS_RESULT_OK;
    }
    size_t countOf(uint32_t id) {
        std::lock_guard<std::mutex> hold(lock_);
        return size_t(std::count_if(events_.begin(), events_.end(), [id](const Seen& e) { return e.id == id; }));
    }
    // The last event of the id; id 0 when there was none.
    Seen last(uint32_t id) {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto e = events_.rbegin(); e != events_.rend(); ++e) {
            if (e->id == id) return *e;
        }
        return {0, 0, {}};
    }
    // The name of the last sensor that was announced ready.
    std::string readyName() { return last(TCS_SYSTEM_EVENT_SENSOR_READY).name; }

    bool waitFor(const std::function<bool()>& condition) { return waitFor(condition, waitMs_); }
    bool waitFor(const std::function<bool()>& condition, int ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // The core's record of the open sensor, its handle of sensor control and the device that handle
    // works on (null while it is bound to none).
    SensorRecord* sensorRecord() {
        void* record = nullptr;
        tcsSafeSensorHandleFetch(sensor_, &record);
        return static_cast<SensorRecord*>(record);
    }
    ScsSensor* control() {
        SensorRecord* record = sensorRecord();
        return record != nullptr ? record->sensorControlSensor : nullptr;
    }
    ScsSensorDevice* device() {
        ScsSensor* sensor = control();
        return sensor != nullptr ? __atomic_load_n(&sensor->device, __ATOMIC_ACQUIRE) : nullptr;
    }

    std::string dir_;
    std::string settings_;
    std::string stateDir_;
    CoreSubsystem* stack_ = nullptr;
    TcsHandle client_ = 0;
    TcsHandle sensor_ = 0;
    simusb::SensorId id_ = 0;
    std::vector<uint8_t> hooked_;
    std::mutex lock_;
    std::vector<Seen> events_;
};
