// Test fixture: a sensor-control subsystem without a service thread over the virtual sensor, with
// helpers that pump the service step until something happens.
#pragma once

#include "platform/pal.h"
#include "platform/usb_test_seams.h"
#include "sim/usb/sim_usb.h"
#include "tcs/sensorctl/init/device_init.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/wire_builders.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace scstest {

using Clock = std::chrono::steady_clock;

inline std::string settingsPath() { return "/tmp/scs_test_settings_" + std::to_string(getpid()); }

inline size_t listLength(const PalListEntry* head) {
    size_t n = 0;
    for (const PalListEntry* node = head->next; node != head; node = node->next) ++n;
    return n;
}

inline std::vector<uint32_t> queuedTypes(ScsSubsystem* subsystem) {
    std::vector<uint32_t> types;
    palCriticalSectionAcquire(subsystem->workList.listLock);
    for (PalListEntry* node = subsystem->workList.links.next; node != &subsystem->workList.links; node = node->next) {
        types.push_back(PAL_WORK_ITEM_FROM_LINKS(node)->type);
    }
    palCriticalSectionRelease(subsystem->workList.listLock);
    return types;
}

class SensorControl : public ::testing::Test {
protected:
    void SetUp() override {
        simusb::resetAll();
        palTestSetUsbPollInterval(5);
        palTestSetUsbWorkerStopTimeout(0);
        palTestSetSettingsPath(settingsPath().c_str());
        // These tests drive the engine by hand: arrived devices stay initialising.
        scsTestHoldDeviceInit(1);
        wake_ = palEventAlloc(0, 1, nullptr);
        ASSERT_NE(wake_, nullptr);
        ASSERT_EQ(scsSubsystemStartup(&subsystem_, wake_, SCS_START_NO_SERVICE_THREAD, nullptr), TCS_RESULT_OK);
        // Start-up's own items (LED client) leave the list empty once run.
        ASSERT_TRUE(pumpUntil([&] { return queuedTypes(subsystem_).empty(); }));
    }

    void TearDown() override {
        palTestUseRealClock();
        // Bad and detached devices make shut-down wait its full 2000 ms; release them first.
        if (subsystem_ != nullptr) scsFreeDiscoveredDevices(subsystem_);
        if (subsystem_ != nullptr) {
            EXPECT_EQ(scsSubsystemShutdown(subsystem_), TCS_RESULT_OK);
        }
        palEventFree(wake_);
        simusb::resetAll();
        palTestSetUsbPollInterval(0);
        unlink(settingsPath().c_str());
        palTestSetSettingsPath(nullptr);
        scsTestHoldDeviceInit(0);
    }

    // Runs service steps until the condition holds (true) or about ms of real time pass (false).
    bool pumpUntil(const std::function<bool()>& condition, int ms = 3000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (!condition()) {
            if (Clock::now() > deadline) return false;
            scsSubsystemService(subsystem_, 20, nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    void pumpFor(int ms) {
        pumpUntil([] { return false; }, ms);
    }

    size_t count(PalListEntry& list) {
        scsLock(subsystem_->deviceListLock);
        const size_t n = listLength(&list);
        scsUnlock(subsystem_->deviceListLock);
        return n;
    }

    ScsSensorDevice* first(PalListEntry& list) {
        scsLock(subsystem_->deviceListLock);
        ScsSensorDevice* device =
            palListIsEmpty(&list) ? nullptr : PAL_LIST_RECORD(list.next, ScsSensorDevice, links);
        scsUnlock(subsystem_->deviceListLock);
        return device;
    }

    // Plugs a sensor and pumps until its device is initialising.
    ScsSensorDevice* plugAndAttach(const simusb::SensorSpec& identity = {}) {
        sensor_ = simusb::plug(identity);
        if (sensor_ == 0) return nullptr;
        if (!pumpUntil([&] { return count(subsystem_->initialisingDevices) == 1; })) return nullptr;
        ScsSensorDevice* device = first(subsystem_->initialisingDevices);
        // What device initialisation sets once it knows the protocol.
        device->replyParser = scsSensorParseReply_V4;
        return device;
    }

    // Unlinks and destroys every queued item (their data stays the test's).
    void dropQueuedItems() {
        palCriticalSectionAcquire(subsystem_->workList.listLock);
        while (!palListIsEmpty(&subsystem_->workList.links)) {
            WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(subsystem_->workList.links.next);
            palListRemove(&item->links);
            palWorkItemDestroy(item);
        }
        palCriticalSectionRelease(subsystem_->workList.listLock);
    }

    // Moves the device from the initialising list to the active list (what initialisation does).
    void activate(ScsSensorDevice* device) {
        scsLock(subsystem_->deviceListLock);
        palListRemove(&device->links);
        palListInsertTail(&subsystem_->activeDevices, &device->links);
        device->initialisedOnce = 1;
        device->announced = 1;
        scsUnlock(subsystem_->deviceListLock);
    }

    PalEvent* wake_ = nullptr;
    ScsSubsystem* subsystem_ = nullptr;
    simusb::SensorId sensor_ = 0;
};

// A client's handle on a ready family-1 sensor whose version has been read.
class ReadySensor : public SensorControl {
protected:
    void SetUp() override {
        SensorControl::SetUp();
        ASSERT_EQ(scsClientCreate(subsystem_, &client_), TCS_RESULT_OK);
        device_ = plugAndAttach();
        ASSERT_NE(device_, nullptr);
        activate(device_);
        device_->productFamily = 1;
        ASSERT_EQ(scsSensorOpen(client_, device_->name, &handle_), TCS_RESULT_OK);
        char text[80];
        ASSERT_EQ(scsSensorGetVersion(handle_, text), 0u);
    }

    ScsClient* client_ = nullptr;
    ScsSensorDevice* device_ = nullptr;
    ScsSensor* handle_ = nullptr;
};

}  // namespace scstest
