// A sensor that stops answering: each endpoint wedged in turn while a synchronous command waits on
// it, and a shut-down cut short by a sensor slow to answer. Commands give up or are answered, and
// nothing they made is left behind, which the sanitizer build's leak check at exit confirms.
#include "tests/tcs/sensorctl/fixture.h"

#include "platform/test_seams.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"

#include <atomic>
#include <thread>

namespace {

using scstest::Clock;
using scstest::queuedTypes;

class StalledEndpoint : public scstest::ReadySensor {
protected:
    void TearDown() override {
        palTestUseRealClock();
        ReadySensor::TearDown();
    }

    // Runs the command on its own thread with the endpoint wedged; once the command is under way
    // the clock jumps past every time-out, and the endpoint is released only after the command
    // has given up. Returns the command's result.
    TcsResult wedged(uint8_t endpoint, const std::function<TcsResult()>& command) {
        palTestSetClock(1700000000000ull);
        simusb::stallEndpoint(sensor_, endpoint, true);
        std::atomic<bool> done{false};
        TcsResult result = 0xFFFF;
        std::thread caller([&] {
            result = command();
            done = true;
        });
        for (int i = 0; i < 50 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            palTestAdvanceClock(40000);
        }
        simusb::stallEndpoint(sensor_, endpoint, false);
        caller.join();
        palTestUseRealClock();
        return result;
    }
};

TEST_F(StalledEndpoint, CommandGivesUpAndLeavesNothingBehind) {
    for (uint8_t endpoint : {uint8_t(0x01), uint8_t(0x81)}) {
        char text[80];
        EXPECT_EQ(wedged(endpoint, [&] { return scsSensorGetVersion(handle_, text); }), TCS_RESULT_TIMEOUT) << int(endpoint);
        // The sensor answers again once the endpoint is free.
        ASSERT_TRUE(pumpUntil([&] { return scsSensorGetVersion(handle_, text) == TCS_RESULT_OK; })) << int(endpoint);
    }
    std::vector<uint8_t> lines(3 * 288, 0);
    EXPECT_EQ(wedged(0x82,
                     [&] {
                         return scsSensorGetCountedLinesSynch(handle_, lines.data(), uint32_t(lines.size()), 3, 0, 4,
                                                              nullptr, nullptr);
                     }),
              TCS_RESULT_TIMEOUT);
}

// A shut-down that runs out of time leaves work unrun: a command queued by a caller on another
// thread is answered all the same (its caller returns at once, its wait record freed), and the
// handles of a client whose destroy never ran go with their LED state.
TEST_F(StalledEndpoint, ShutDownCutShortAnswersQueuedCommandsAndFreesHandles) {
    // The stack's service thread, as far as sensor control knows: callers on other threads queue.
    std::atomic<PalThreadHandle> serviceThread{0};
    std::atomic<bool> stop{false};
    std::thread service([&] {
        serviceThread = palCurrentThreadId();
        while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (serviceThread == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    subsystem_->startFlags &= ~uint32_t(SCS_START_NO_SERVICE_THREAD);
    scsSubsystemSetTCSThreadHandle(subsystem_, serviceThread, uint32_t(serviceThread));

    // The first queued command takes the sensor 3 s to answer, more than shut-down allows itself.
    palTestSetClock(1700000000000ull);
    simusb::setCommandHook(0x01, [](std::span<const uint8_t>) {
        palTestAdvanceClock(3000);
        return simusb::Reply{};
    });
    ScsWitRequest slow{};
    slow.witId = scsWITSensor_CMD_GET_VERSION;
    ASSERT_EQ(scsSensorSendCommand(handle_, &slow), TCS_RESULT_OK);
    TcsResult peeked = 0xFFFF;
    std::thread caller([&] {
        uint32_t value = 0;
        peeked = scsSensorPeek(handle_, 0, 4, &value);
    });
    // Not pumped: the step run here would send them.
    for (int i = 0; i < 2000 && queuedTypes(subsystem_).size() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(queuedTypes(subsystem_).size(), 2u);

    const auto before = Clock::now();
    EXPECT_EQ(scsSubsystemShutdown(subsystem_), TCS_RESULT_OK);
    subsystem_ = nullptr;
    caller.join();
    EXPECT_EQ(peeked, SCS_RESULT_DEVICE_SHUTDOWN);
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(5)) << "the caller was answered, not left to time out";
    stop = true;
    service.join();
    simusb::setCommandHook(0x01, nullptr);
}

}  // namespace
