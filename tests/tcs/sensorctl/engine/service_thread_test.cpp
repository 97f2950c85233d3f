// Sensor control with a service thread of its own, the way the stack runs it: synchronous calls from
// another thread wait on their event while the service thread does the work.
#include "tests/tcs/sensorctl/fixture.h"

#include <atomic>

namespace scstest {
namespace {

class WithServiceThread : public ::testing::Test {
protected:
    void SetUp() override {
        simusb::resetAll();
        palTestSetUsbPollInterval(5);
        palTestSetUsbWorkerStopTimeout(0);
        palTestSetSettingsPath(settingsPath().c_str());
        wake_ = palEventAlloc(0, 1, nullptr);
        ASSERT_NE(wake_, nullptr);
        ASSERT_EQ(scsSubsystemStartup(&subsystem_, wake_, 0, nullptr), TCS_RESULT_OK);
        std::atomic<bool> recorded{false};
        service_ = std::thread([this, &recorded] {
            scsSubsystemSetTCSThreadHandle(subsystem_, palCurrentThreadId(), 1);
            recorded = true;
            while (!stop_) {
                uint32_t wait = 0;
                scsSubsystemService(subsystem_, 500, &wait);
                palEventWaitFor(wake_, wait == 0 ? 5 : (wait < 5 ? wait : 5));
            }
        });
        while (!recorded) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    void TearDown() override {
        stop_ = true;
        palEventSet(wake_);
        if (service_.joinable()) service_.join();
        scsFreeDiscoveredDevices(subsystem_);
        EXPECT_EQ(scsSubsystemShutdown(subsystem_), TCS_RESULT_OK);
        palEventFree(wake_);
        simusb::resetAll();
        palTestSetUsbPollInterval(0);
        unlink(settingsPath().c_str());
        palTestSetSettingsPath(nullptr);
    }

    bool waitUntil(const std::function<bool()>& condition, int ms = 3000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (!condition()) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    size_t initialising() {
        scsLock(subsystem_->deviceListLock);
        const size_t n = listLength(&subsystem_->initialisingDevices);
        scsUnlock(subsystem_->deviceListLock);
        return n;
    }

    PalEvent* wake_ = nullptr;
    ScsSubsystem* subsystem_ = nullptr;
    std::thread service_;
    std::atomic<bool> stop_{false};
};

TcsResult countReply(ScsReplyView*, TcsResult, void* context) {
    ++*static_cast<std::atomic<int>*>(context);
    return TCS_RESULT_OK;
}

TEST_F(WithServiceThread, ClientSensorAndCommandFromAnotherThread) {
    ScsClient* client = nullptr;
    ASSERT_EQ(scsClientCreate(subsystem_, &client), TCS_RESULT_OK);
    ASSERT_NE(client, nullptr);
    ASSERT_NE(simusb::plug(), 0);
    ASSERT_TRUE(waitUntil([&] { return initialising() == 1; }));
    std::string name;
    scsLock(subsystem_->deviceListLock);
    ScsSensorDevice* device = PAL_LIST_RECORD(subsystem_->initialisingDevices.next, ScsSensorDevice, links);
    name = device->name;
    device->replyParser = scsSensorParseReply_V4;  // what device initialisation sets
    scsUnlock(subsystem_->deviceListLock);

    ScsSensor* sensor = nullptr;
    ASSERT_EQ(scsSensorOpen(client, name.c_str(), &sensor), TCS_RESULT_OK);
    ASSERT_NE(sensor, nullptr);

    // Off the service thread a command only queues its item; the service thread answers through the
    // request's callback.
    std::atomic<int> replies{0};
    ScsWitRequest request{};
    request.witId = scsWITSensor_CMD_GET_VERSION;
    request.replyCallback = countReply;
    request.context = &replies;
    ASSERT_EQ(scsSensorSendCommand(sensor, &request), TCS_RESULT_OK);
    ASSERT_TRUE(waitUntil([&] { return replies.load() == 1; }));

    EXPECT_EQ(scsSensorClose(sensor), TCS_RESULT_OK);
    EXPECT_EQ(scsClientDestroy(client), TCS_RESULT_OK);
}

TEST_F(WithServiceThread, ManyClientsComeAndGoConcurrently) {
    std::vector<std::thread> users;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        users.emplace_back([&] {
            for (int round = 0; round < 10; ++round) {
                ScsClient* client = nullptr;
                if (scsClientCreate(subsystem_, &client) != TCS_RESULT_OK || client == nullptr) {
                    ++failures;
                    continue;
                }
                if (scsClientDestroy(client) != TCS_RESULT_OK) ++failures;
            }
        });
    }
    for (std::thread& user : users) user.join();
    EXPECT_EQ(failures.load(), 0);
    // Only the internal LED client is left.
    scsLock(subsystem_->clientListLock);
    EXPECT_EQ(listLength(&subsystem_->clients), 1u);
    scsUnlock(subsystem_->clientListLock);
}

}  // namespace
}  // namespace scstest
