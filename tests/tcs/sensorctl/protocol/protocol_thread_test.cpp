// Synchronous sensor commands from a thread other than the service thread: the command runs as a
// work item on the service thread and the caller sleeps on its heap-owned wait record.
#include "tests/tcs/sensorctl/fixture.h"

#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/wire_builders.h"

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

    // Plugs a sensor and opens a handle on it for a new client while its device initialises.
    void openPlugged(ScsClient** client, ScsSensor** sensor) {
        ASSERT_EQ(scsClientCreate(subsystem_, client), TCS_RESULT_OK);
        ASSERT_NE(simusb::plug(), 0);
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
        ASSERT_EQ(scsSensorOpen(*client, name.c_str(), sensor), TCS_RESULT_OK);
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
    ScsSensor* sensor = nullptr;
    ASSERT_NO_FATAL_FAILURE(openPlugged(&client, &sensor));
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

// The reply of a version read is parsed into the device's record on the caller's thread: callers on
// several threads, and the device's initialisation on the service thread, update and read it at once.
TEST_F(ProtocolOffThread, VersionRecordReadAndUpdatedFromSeveralThreads) {
    ScsClient* client = nullptr;
    ScsSensor* sensor = nullptr;
    ASSERT_NO_FATAL_FAILURE(openPlugged(&client, &sensor));
    std::atomic<int> failures{0};
    auto reader = [&](bool cached) {
        for (int i = 0; i < 20; ++i) {
            char text[80] = {};
            ScsFwVersion version{};
            const TcsResult result = cached ? scsSensorGetCachedVersion(sensor, text) : scsSensorGetVersion(sensor, text);
            if (result != TCS_RESULT_OK || std::string(text).rfind("04.40.", 0) != 0) ++failures;
            if (scsSensorGetFwVersion(sensor, &version) != TCS_RESULT_OK || version.minor != 40) ++failures;
        }
    };
    std::thread first(reader, false), second(reader, false), third(reader, true);
    first.join();
    second.join();
    third.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(scsSensorClose(sensor), TCS_RESULT_OK);
    EXPECT_EQ(scsClientDestroy(client), TCS_RESULT_OK);
}

}  // namespace
