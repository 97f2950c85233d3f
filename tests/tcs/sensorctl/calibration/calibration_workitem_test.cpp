// Work item 63 (calibrate) against the virtual sensor, with its analog model answering the sweeps.
#include "tests/tcs/sensorctl/fixture.h"

#include "sim/usb/analog_model.h"
#include "tcs/sensorctl/calibration/cal_results.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace scstest {
namespace {

struct Completion {
    int calls = 0;
    TcsResult status = 0xFFFF;
};

TcsResult complete(void*, TcsResult status, void* context) {
    auto* completion = static_cast<Completion*>(context);
    ++completion->calls;
    completion->status = status;
    return TCS_RESULT_OK;
}

// Get-print requests answered through the analog model (or, for a front end that does not answer
// sweeps, with flat lines that carry no line numbers): the hook runs with the bus locked, so a
// helper thread pushes the lines it produced.
class AnalogCaptures {
public:
    explicit AnalogCaptures(simusb::SensorId sensor, bool answersSweeps = true)
        : sensor_(sensor), pusher_([this] { run(); }) {
        simusb::setCommandHook(0x02, [this, answersSweeps](std::span<const uint8_t> request) {
            simusb::Reply reply;
            if (request.size() < 5) return reply;
            const uint16_t lineLength = uint16_t(request[1] | request[2] << 8);
            const uint16_t lines = uint16_t(request[3] | request[4] << 8);
            std::vector<uint8_t> data = simusb::analogModelCapture(lineLength, lines, request.subspan(5));
            if (!answersSweeps && !data.empty()) data.assign(data.size(), 0x80);
            std::lock_guard<std::mutex> lock(mutex_);
            if (!data.empty()) {
                ++sweeps_;
                pending_.push_back(std::move(data));
                ready_.notify_one();
            }
            return reply;
        });
    }
    ~AnalogCaptures() {
        simusb::setCommandHook(0x02, nullptr);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            ready_.notify_one();
        }
        pusher_.join();
    }
    int sweeps() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sweeps_;
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            ready_.wait(lock, [&] { return stop_ || !pending_.empty(); });
            if (stop_) return;
            std::vector<uint8_t> data = std::move(pending_.front());
            pending_.pop_front();
            lock.unlock();
            simusb::pushFingerprintData(sensor_, data);
            lock.lock();
        }
    }

    simusb::SensorId sensor_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::vector<uint8_t>> pending_;
    int sweeps_ = 0;
    bool stop_ = false;
    std::thread pusher_;
};

class CalibrateItem : public SensorControl {
protected:
    void SetUp() override {
        SensorControl::SetUp();
        device_ = plugAndAttach();
        ASSERT_NE(device_, nullptr);
        device_->productFamily = SCS_FAMILY_1;
        activate(device_);
        ASSERT_EQ(scsClientCreate(subsystem_, &client_), TCS_RESULT_OK);
        ASSERT_EQ(scsSensorOpen(client_, device_->name, &sensor_handle_), TCS_RESULT_OK);
    }
    void TearDown() override {
        // The device free releases the container's record only, not its blocks: release it here.
        if (device_ != nullptr) {
            calResultsContainerUnInit(results());
            device_->calResults = nullptr;
        }
        SensorControl::TearDown();
    }

    TcsResult queueCalibrate(Completion* completion) {
        return palWorkItemEnqueue(&subsystem_->workList, scsWitIdSensorCalibrate, SCS_WIT_TIMEOUT_MS, sensor_handle_,
                                  reinterpret_cast<uintptr_t>(&complete), reinterpret_cast<uintptr_t>(completion), 1,
                                  nullptr);
    }
    CalResultsContainer* results() { return static_cast<CalResultsContainer*>(device_->calResults); }

    ScsSensorDevice* device_ = nullptr;
    ScsClient* client_ = nullptr;
    ScsSensor* sensor_handle_ = nullptr;
};

TEST_F(CalibrateItem, RunsEverySweepAgainstTheAnalogModel) {
    device_->woeType = 1;
    AnalogCaptures captures(sensor_);
    Completion completion;
    ASSERT_EQ(queueCalibrate(&completion), TCS_RESULT_OK);
    ASSERT_TRUE(pumpUntil([&] { return completion.calls == 1; }, 20000));
    EXPECT_EQ(completion.status, TCS_RESULT_OK);
    EXPECT_EQ(device_->calibrated, 1u);
    EXPECT_EQ(captures.sweeps(), 7);
    EXPECT_EQ(device_->calContext, nullptr);
    ASSERT_NE(results(), nullptr);
    struct Case { uint32_t block, item; uint8_t value; };
    for (auto [block, item, value] : std::initializer_list<Case>{
             {1, CAL_ITEM_OFFSET, 0x40}, {2, CAL_ITEM_DELAY, 12}, {3, CAL_ITEM_GAIN_PRI, 10}, {3, CAL_ITEM_GAIN_SEC, 8},
             {4, CAL_ITEM_THRESHOLD, 0x21}, {5, 12, 2}, {6, CAL_ITEM_GAIN_PRI, 5}}) {
        uint8_t got = 0;
        ASSERT_EQ(calResultsGetByte(results(), block, CAL_SET_CHOSEN, item, &got), 0u);
        EXPECT_EQ(got, value) << block << "/" << item;
        uint32_t isDefault = 1;
        ASSERT_EQ(calResultsGetFlag(results(), block, CAL_FLAG_IS_DEFAULT, &isDefault), 0u);
        EXPECT_EQ(isDefault, 0u) << block;
    }
    uint16_t cf1 = 0;
    ASSERT_EQ(calResultsGetWord(results(), 0, CAL_SET_CHOSEN, CAL_WORD_CF1, &cf1), 0u);
    EXPECT_EQ(cf1, 512u);
    // The work item hands the wake-on-event result to the device.
    EXPECT_EQ(device_->woeTiming[0], 0x21u);
    EXPECT_EQ(device_->woeTiming[2], 128u);
    EXPECT_EQ(device_->woeCalibrationFailed, 0u);
}

TEST_F(CalibrateItem, SweepsThatFailPutTheStepsOnTheirDefaults) {
    // Flat lines carry no line numbers, so every sweep fails twice.
    AnalogCaptures captures(sensor_, false);
    Completion completion;
    ASSERT_EQ(queueCalibrate(&completion), TCS_RESULT_OK);
    ASSERT_TRUE(pumpUntil([&] { return completion.calls == 1; }, 20000));
    EXPECT_EQ(completion.status, TCS_RESULT_OK);
    ASSERT_NE(results(), nullptr);
    for (uint32_t block : {0u, 1u, 2u, 3u, 5u, 6u}) {
        uint32_t isDefault = 0;
        ASSERT_EQ(calResultsGetFlag(results(), block, CAL_FLAG_IS_DEFAULT, &isDefault), 0u);
        EXPECT_EQ(isDefault, 1u) << block;
    }
    uint16_t status = 0;
    ASSERT_EQ(calResultsGetWord(results(), 1, CAL_SET_CHOSEN, CAL_WORD_STATUS, &status), 0u);
    EXPECT_EQ(status, 17u);
    uint8_t offset = 0;
    ASSERT_EQ(calResultsGetByte(results(), 1, CAL_SET_DEFAULT, CAL_ITEM_OFFSET, &offset), 0u);
    EXPECT_EQ(offset, 0x40);  // the built-in default
}

TEST_F(CalibrateItem, SwitchedOffMakesAContainerWithoutSweeping) {
    ASSERT_EQ(palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\tfs530", "calibrationEnable", 0), TCS_RESULT_OK);
    AnalogCaptures captures(sensor_);
    Completion completion;
    ASSERT_EQ(queueCalibrate(&completion), TCS_RESULT_OK);
    ASSERT_TRUE(pumpUntil([&] { return completion.calls == 1; }));
    EXPECT_EQ(completion.status, TCS_RESULT_OK);
    EXPECT_EQ(device_->calibrated, 1u);
    EXPECT_EQ(captures.sweeps(), 0);
    EXPECT_NE(results(), nullptr);
    EXPECT_EQ(device_->calContext, nullptr);
}

}  // namespace
}  // namespace scstest
