// Synchronous sensor commands from a thread other than the service thread: the command runs as a
// work item on the service thread and the caller sleeps on its heap-owned wait record.
#include "tests/tcs/sensorctl/fixture.h"

#include "tcs/sensorctl/sensor_commands.h"
#include "tcs/sensorctl/wire_builders.h"

#include <atomic>

namespace {

class ProtocolOffThread : public ::testing::Test {
protected:
    void SetUp() override {
        simusb::resetAll();
        palTestSetUsbPollInterval(5);
        palTestSetUsbWorkerStopTimeout(0);
        palTestSetSettingsPath(scstest::settingsPath().c_str());
        wake_ = palEventAlloc(0, 1, nullptr);
        ASSERT_NE(wake_, nullptr);
        ASSERT_EQ(scsSubsystemStartup(&subsystem_, wake_, 0, nullptr), TCS_RESULT_OK);
        std::atomic<bool> recorded{false};
        service_ = std::thread([this, &recorded] {
            scsSubsystemSetTCSThreadHandle(subsystem_, palCurrentThreadId(), 1);
            recorded = true;
            while (!stop_) {
                if (paused_) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
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
        unlink(scstest::settingsPath().c_str());
        palTestSetSettingsPath(nullptr);
    }

    PalEvent* wake_ = nullptr;
    ScsSubsystem* subsystem_ = nullptr;
    std::thread service_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> paused_{false};
};

TcsResult countReply(ScsReplyView*, TcsResult result, void* context) {
    static_cast<std::atomic<int>*>(context)->store(int(result) + 1000);
    return TCS_RESULT_OK;
}

TEST_F(ProtocolOffThread, VersionPeekAndPokeFromAnotherThread) {
    ScsClient* client = nullptr;
    ASSERT_EQ(scsClientCreate(subsystem_, &client), TCS_RESULT_OK);
    const simusb::SensorId plugged = simusb::plug();
    ASSERT_NE(plugged, 0);
    std::string name;
    const auto deadline = scstest::Clock::now() + std::chrono::seconds(3);
    while (name.empty() && scstest::Clock::now() < deadline) {
        scsLock(subsystem_->deviceListLock);
        if (!palListIsEmpty(&subsystem_->initialisingDevices)) {
            ScsSensorDevice* device = PAL_LIST_RECORD(subsystem_->initialisingDevices.next, ScsSensorDevice, links);
            device->replyParser = scsSensorParseReply_V4;
            name = device->name;
        }
        scsUnlock(subsystem_->deviceListLock);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_FALSE(name.empty());
    ScsSensor* sensor = nullptr;
    ASSERT_EQ(scsSensorOpen(client, name.c_str(), &sensor), TCS_RESULT_OK);

    char text[80] = {};
    ASSERT_EQ(scsSensorGetVersion(sensor, text), 0u);
    EXPECT_EQ(std::string(text).rfind("04.40.", 0), 0u) << text;
    ASSERT_EQ(scsSensorPoke(sensor, 0x100, 1, 0xAB), 0u);
    uint32_t value = 0;
    ASSERT_EQ(scsSensorPeek(sensor, 0x100, 1, &value), 0u);
    EXPECT_EQ(value, 0xABu);

    // A queued command whose caller gave up before it started is answered without being sent.
    paused_ = true;
    std::atomic<int> answered{0};
    ScsWitRequest request{};
    request.witId = scsWITSensor_CMD_GET_VERSION;
    request.replyCallback = countReply;
    request.context = &answered;
    ASSERT_EQ(scsSensorSendCommand(sensor, &request), TCS_RESULT_OK);
    ASSERT_NE(request.reserved, 0u) << "the item's number comes back";
    ASSERT_EQ(palWorkItemCancel(&subsystem_->workList, TCS_RESULT_TIMEOUT, 1, request.reserved), TCS_RESULT_OK);
    paused_ = false;
    const auto until = scstest::Clock::now() + std::chrono::seconds(3);
    while (answered.load() == 0 && scstest::Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(answered.load(), 1000 + int(TCS_RESULT_CANCEL)) << "answered as cancelled, not with a reply";

    EXPECT_EQ(scsSensorClose(sensor), TCS_RESULT_OK);
    EXPECT_EQ(scsClientDestroy(client), TCS_RESULT_OK);
}

}  // namespace
