// A sensor that stops answering: each endpoint wedged in turn while a synchronous command waits on
// it. The command gives up with a time-out and nothing it made is left behind, which the sanitizer
// build's leak check at exit confirms.
#include "fixture.h"

#include "platform/test_seams.h"
#include "tcs/sensorctl/calibration.h"

#include <atomic>
#include <thread>

namespace {

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

}  // namespace
