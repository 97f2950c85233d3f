// Wake-on-event captures on the whole stack against the virtual sensor: how repeated unusable
// swipes raise the thresholds the sensor is set up with, and how the wake-on-event wait ends when
// the capture is aborted or the sensor refuses the set-up.
#include "platform/settings.h"
#include "sim/swipe/swipe_model.h"
#include "tcs/imaging/ids_internal.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tests/tcs/sim_version.h"
#include "tests/tcs/stack_fixture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr const char* kSection = "SOFTWARE\\Tovantic\\tfs530";

swipe_model::SwipeModel swipeModel(uint8_t flatGrey = 0) {
    swipe_model::SwipeConfig config;
    if (flatGrey == 0) {
        static const swipe_model::GreyImage finger = swipe_model::syntheticRidges(300, 500, 9, 150, 150);
        config.noiseSigma = 2;
        return swipe_model::SwipeModel(finger, config);
    }
    // Nothing but a flat grey: the reconstruction finds no finger in it and asks for a retry.
    swipe_model::GreyImage flat;
    flat.width = 300;
    flat.height = 500;
    flat.pixels.assign(size_t(flat.width) * flat.height, flatGrey);
    config.noiseSigma = 1;
    return swipe_model::SwipeModel(flat, config);
}

// The registers swept by the calibration captures (sweep record, tag 13) in a command log.
std::vector<uint32_t> sweptRegisters(const std::vector<std::vector<uint8_t>>& log) {
    std::vector<uint32_t> out;
    for (const auto& c : log) {
        if (c.size() < 5 || c[0] != 0x02) continue;
        for (size_t at = 5; at + 8 <= c.size(); at += 4 + size_t(c[at + 2] | c[at + 3] << 8)) {
            if ((c[at] | c[at + 1] << 8) == 13) out.push_back(c[at + 4] | c[at + 5] << 8 | c[at + 6] << 16 | uint32_t(c[at + 7]) << 24);
        }
    }
    return out;
}

bool readsUntilStopped(const std::vector<uint8_t>& c) {
    return c.size() >= 5 && c[0] == 0x02 && c[3] == 0 && c[4] == 0;
}

// The u16 at `offset` in the data of the record with the tag in a capture command ({0x02, u16 line
// length, u16 lines, records}); -1 without one.
int wordOfRecord(const std::vector<uint8_t>& command, uint16_t tag, size_t offset = 0) {
    for (size_t at = 5; at + 4 <= command.size(); at += 4 + size_t(command[at + 2] | command[at + 3] << 8)) {
        const size_t length = size_t(command[at + 2] | command[at + 3] << 8);
        if (uint16_t(command[at] | command[at + 1] << 8) != tag || offset + 2 > length || at + 4 + length > command.size()) {
            continue;
        }
        return command[at + 4 + offset] | command[at + 5 + offset] << 8;
    }
    return -1;
}

// The threshold word (word 10 of the 56-byte block) of a wake-on-event set-up command 0x12.
uint32_t setupThreshold(const std::vector<uint8_t>& command) {
    uint32_t word = 0;
    std::memcpy(&word, command.data() + 1 + 40, 4);
    return word;
}

class WakeOnEventStack : public StackFixture {
protected:
    WakeOnEventStack() {
        folderName_ = "ids_woe";
        startFlags_ = TCS_START_FAST_POLL;
        startOptions_ = modelModuleOption();
        waitMs_ = 8000;
    }

    void TearDown() override {
        StackFixture::TearDown();
        palTestUseRealClock();
    }

    // A sensor whose module is the swipe model's, with a finger on it or not.
    void open(bool fingerPresent) {
        answerVersion(simVersionRecord(30, 1, 0));
        plug();
        carryModule(model_.timeslotWords(), fingerPresent);
        startStack();
        openWhenReady();
    }

    static TcsResult onCaptured(void* image, TcsResult status, void* context) {
        auto* self = static_cast<WakeOnEventStack*>(context);
        std::lock_guard<std::mutex> hold(self->lock_);
        self->image_ = uint64_t(uintptr_t(image));
        self->status_ = status;
        self->done_ = true;
        return TCS_RESULT_OK;
    }
    bool captured() {
        std::lock_guard<std::mutex> hold(lock_);
        return done_;
    }

    // A capture's item leaves the work list just after its completion: the next one waits for it.
    void capture() {
        ASSERT_TRUE(waitFor([&] { return idsIsGetPrintTaskInWorkList(idsGetSubsystem(sensorRecord()->imagingSensor)) == 0; }));
        done_ = false;
        ASSERT_EQ(tcsSensorGetFingerprintAsyncA(sensor_, onCaptured, this, nullptr), TCS_RESULT_OK);
    }

    // The matching commands the sensor received: plain ones, then those that came inside a secure
    // session (the plain log holds those as encrypted records, which match nothing).
    std::vector<std::vector<uint8_t>> commands(bool (*match)(const std::vector<uint8_t>&)) {
        std::vector<std::vector<uint8_t>> out;
        for (auto* log : {simusb::commandLog, simusb::sessionCommandLog}) {
            for (auto& c : log(id_)) {
                if (match(c)) out.push_back(std::move(c));
            }
        }
        return out;
    }

    // While waiting, the test clock moves with real time (the sensor-control polls and time-outs
    // need it to), one millisecond a step.
    bool waitTicking(const std::function<bool()>& condition) {
        return waitFor([&] {
            palTestAdvanceClock(1);
            return condition();
        });
    }

    // The finger stays away for `ms` of the test clock. The clock moves in steps with real time
    // between them, so what the stack has in flight (a reply on its way) lands before its own
    // time-out, as it would while a person waits.
    void passTime(uint32_t ms) {
        for (uint32_t moved = 0; moved < ms;) {
            const uint32_t step = std::min<uint32_t>(250, ms - moved);
            palTestAdvanceClock(step);
            moved += step;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // One capture of `unusable` swipes of nothing and then the finger: each swipe is sent once the
    // sensor has been started for it, after the test clock jumps by `jumpMs`. The capture's result.
    TcsResult captureAfterRetries(uint32_t unusable, uint32_t jumpMs) {
        const std::vector<uint8_t> nothing = swipeModel(250).stream(0, 300);
        const std::vector<uint8_t> finger = model_.stream(0, 300);
        capture();
        for (size_t attempt = 1; attempt <= unusable + 1; ++attempt) {
            if (!waitTicking([&] { return commands(readsUntilStopped).size() >= attempt; })) return TCS_RESULT_TIMEOUT;
            passTime(jumpMs);
            simusb::pushFingerprintData(id_, attempt <= unusable ? nothing : finger);
        }
        if (!waitTicking([&] { return captured(); })) return TCS_RESULT_TIMEOUT;
        if (image_ != 0) tcsHandleDestroy(image_);
        return status_;
    }

    swipe_model::SwipeModel model_ = swipeModel();
    bool done_ = false;
    uint64_t image_ = 0;
    TcsResult status_ = 0;
};

// In the finger-polling mode, retries raise the motion thresholds of the next capture command by
// 50, up to 250, once two fall in one 10-second slot or three in the last minute; retries in
// consecutive slots count only in the sum, and a quiet minute starts the count again. Switched off,
// retries leave the thresholds alone.
TEST_F(WakeOnEventStack, RetriesRaiseTheMotionThresholdsWithinTheirSlots) {
    struct Case {
        const char* name;
        uint32_t jumpMs;                 // the clock jumps by this before each swipe
        uint32_t enabled;                // "woeRatchetingEnable"
        std::vector<int> deltas;         // per capture command, added to the present threshold
    };
    const Case cases[] = {
        {"within one slot", 0, 1, {0, 0, 50, 100}},
        {"up to the cap", 0, 1, {0, 0, 50, 100, 150, 200, 250, 250}},
        {"a slot apart", 10000, 1, {0, 0, 0, 50}},
        {"a minute apart", 60000, 1, {0, 0, 0, 0}},
        {"switched off", 0, 0, {0, 0, 0, 0}},
    };
    palTestSetClock(1'000'000'000'000ull);
    open(true);
    ASSERT_NE(sensor_, 0u);
    ASSERT_EQ(tcsSetParam(client_, 16, 4), TCS_RESULT_OK);
    for (const Case& c : cases) {
        palSetPersistentDataLongValue(kSection, "woeRatchetingEnable", c.enabled);
        simusb::clearCommandLog(id_);
        ASSERT_EQ(captureAfterRetries(uint32_t(c.deltas.size() - 1), c.jumpMs), TCS_RESULT_OK) << c.name;
        const auto sent = commands(readsUntilStopped);
        ASSERT_EQ(sent.size(), c.deltas.size()) << c.name;
        const int base = wordOfRecord(sent[0], 8);
        ASSERT_GT(base, 0) << c.name;
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(wordOfRecord(sent[i], 8) - base, c.deltas[i]) << c.name << ", capture command " << i;
        }
    }
}

// On an RSA-secured link the motion threshold rises by 25 a time, up to 100.
TEST_F(WakeOnEventStack, RetriesOnAnRsaLinkRaiseTheMotionThresholdsInSmallerSteps) {
    // The virtual sensor sends a pushed swipe as it is, never encrypted.
    palSetPersistentDataLongValue(kSection, "encryptFPData", 0);
    palTestSetClock(1'000'000'000'000ull);
    simusb::SensorSpec spec;
    spec.serial = "WOERSA60";
    spec.variant = 5;
    plug(spec);
    simusb::setStoredState(id_, "version", simVersionRecord(60, 5, 0x10));
    carryModule(model_.timeslotWords(), true);
    startStack();
    openWhenReady();
    ASSERT_NE(sensor_, 0u);
    // Paired by keys: the re-initialisation that follows brings the secure link up.
    const size_t readies = countOf(TCS_SYSTEM_EVENT_SENSOR_READY);
    ASSERT_EQ(tcsSensorSetOwnerWithKeys(sensor_, nullptr, nullptr, nullptr, nullptr, nullptr), TCS_RESULT_OK);
    ASSERT_TRUE(waitTicking([&] { return countOf(TCS_SYSTEM_EVENT_SENSOR_READY) > readies; }));
    EXPECT_EQ(tcsSensorClose(sensor_), TCS_RESULT_OK);
    sensor_ = 0;
    ASSERT_EQ(tcsSensorOpenA(client_, last(TCS_SYSTEM_EVENT_SENSOR_READY).name.c_str(), &sensor_), TCS_RESULT_OK);
    ASSERT_EQ(scsSensorIsRSASecured(control()), 1u);

    ASSERT_EQ(tcsSetParam(client_, 16, 4), TCS_RESULT_OK);
    simusb::clearCommandLog(id_);
    ASSERT_EQ(captureAfterRetries(6, 0), TCS_RESULT_OK);
    const auto sent = commands(readsUntilStopped);
    ASSERT_EQ(sent.size(), 7u);
    // A variant-5 sensor takes the type-3 motion record: {u8 bit depth, u8 mode, u16 finger-down
    // poll time, u16 finger-up poll time, u16 present threshold, ...}.
    constexpr uint16_t kMotion3 = 24;
    constexpr size_t kPresentThresh = 6;
    const int base = wordOfRecord(sent[0], kMotion3, kPresentThresh);
    ASSERT_GT(base, 0);
    const int deltas[] = {0, 0, 25, 50, 75, 100, 100};
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(wordOfRecord(sent[i], kMotion3, kPresentThresh) - base, deltas[i]) << "capture command " << i;
    }
}

// In the wake-on-event mode with selective suspend, the retries raise the wake-on-event threshold of
// the set-up sent after each swipe by one a time, until threshold and raise reach the limit.
TEST_F(WakeOnEventStack, RetriesRaiseTheWakeOnEventThresholdUpToTheLimit) {
    palSetPersistentDataLongValue(kSection, "useSelectiveSuspend", 1);
    palSetPersistentDataLongValue(kSection, "woeRatchetingLimit", 18);  // the threshold starts at 16
    palTestSetClock(1'000'000'000'000ull);
    open(true);
    ASSERT_NE(sensor_, 0u);
    ASSERT_EQ(tcsSetParam(client_, 16, 2), TCS_RESULT_OK);
    simusb::clearCommandLog(id_);
    ASSERT_EQ(captureAfterRetries(4, 0), TCS_RESULT_OK);
    const auto setups = commands([](const std::vector<uint8_t>& c) { return c.size() == 57 && c[0] == 0x12; });
    ASSERT_EQ(setups.size(), 5u) << "one set-up after each swipe";
    const uint32_t base = setupThreshold(setups[0]);
    const uint32_t raised[] = {0, 0, 1, 2, 2};
    for (size_t i = 0; i < setups.size(); ++i) {
        // The raise moves both the threshold (low half) and the gain (high half).
        EXPECT_EQ(setupThreshold(setups[i]), base + raised[i] * 0x10001u) << "set-up " << i;
    }
}

// Capture mode 3 waits for the finger in wake on event. An abort during that wait ends the capture
// with 501 before any capture command; a sensor that refuses the set-up ends it with a failure
// that is no abort. Either way the next capture works.
TEST_F(WakeOnEventStack, WaitEndsOnAbortOrARefusedSetUp) {
    open(false);
    ASSERT_NE(sensor_, 0u);
    ASSERT_EQ(tcsSetParam(client_, 16, 3), TCS_RESULT_OK);

    simusb::clearCommandLog(id_);
    capture();
    ASSERT_TRUE(waitFor([&] { return simusb::transientState(id_, "woeArmed") == std::vector<uint8_t>{1}; }));
    EXPECT_EQ(tcsSensorAbortFingerprint(sensor_), TCS_RESULT_OK);
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    EXPECT_EQ(status_, 501u);
    EXPECT_EQ(image_, 0u);
    EXPECT_TRUE(commands(readsUntilStopped).empty());

    std::atomic<int> refused{0};
    hook(0x12, [&](std::span<const uint8_t>) {
        ++refused;
        return simusb::Reply{0x0405, {}};
    });
    capture();
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    EXPECT_EQ(refused.load(), 1);
    EXPECT_EQ(status_, TCS_RESULT_ERROR) << "a failure, not an abort";
    EXPECT_EQ(image_, 0u);

    hook(0x12, nullptr);
    simusb::setStoredState(id_, "fingerState", {2, 0});
    simusb::clearCommandLog(id_);
    capture();
    ASSERT_TRUE(waitFor([&] { return commands(readsUntilStopped).size() == 1; }));
    simusb::pushFingerprintData(id_, model_.stream(0, 300));
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    EXPECT_EQ(status_, TCS_RESULT_OK);
    if (image_ != 0) tcsHandleDestroy(image_);
}

// A sensor whose wake-on-event detector did not trigger in its calibration is marked: after a good
// capture it calibrates the detector again, and only the detector. Once that succeeds, captures
// leave the calibration alone.
TEST_F(WakeOnEventStack, FailedWakeOnEventCalibrationIsRedoneAfterTheNextCapture) {
    answerVersion(simVersionRecord(30, 1, 0));
    plug();
    carryModule(model_.timeslotWords(), true);
    simusb::setStoredState(id_, "woeDetectorDead", {1});
    startStack();
    openWhenReady();
    ASSERT_NE(sensor_, 0u);
    EXPECT_EQ(scsSensorIsWOECalibrationFailed(control()), 1u);
    const std::vector<uint32_t> initial = sweptRegisters(simusb::commandLog(id_));
    EXPECT_NE(std::count(initial.begin(), initial.end(), 0x30042300u), 0);
    EXPECT_GT(initial.size(), 1u) << "the first calibration sweeps the whole front end";

    simusb::setStoredState(id_, "woeDetectorDead", {0});
    ASSERT_EQ(tcsSetParam(client_, 16, 0), TCS_RESULT_OK);
    for (const bool redone : {true, false}) {
        simusb::clearCommandLog(id_);
        ASSERT_EQ(captureAfterRetries(0, 0), TCS_RESULT_OK) << redone;
        const std::vector<uint32_t> swept = sweptRegisters(simusb::commandLog(id_));
        EXPECT_EQ(swept, redone ? std::vector<uint32_t>{0x30042300u} : std::vector<uint32_t>{}) << redone;
        EXPECT_EQ(scsSensorIsWOECalibrationFailed(control()), 0u) << redone;
        // The recalibrated detector is set up again.
        EXPECT_EQ(commands([](const std::vector<uint8_t>& c) { return c[0] == 0x12; }).size(), redone ? 1u : 0u) << redone;
    }
}

}  // namespace
