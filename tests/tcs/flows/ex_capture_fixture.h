// Fixture of the capturing flows: the extended-flow stack whose virtual sensor carries the swipe
// model's module, synthetic fingers swiped over it on demand, and a recorder of progress callbacks.
#pragma once

#include "sim/swipe/swipe_model.h"
#include "sim/swipe/synthetic_swipes.h"
#include "tcs/flows/ex_recognition.h"
#include "tests/tcs/flows/ex_flows_fixture.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>

// One progress callback as the flow made it, with what its data held while it was valid: the rows of
// the image copy (17), the enrollment progress (32), the matched users' ids (14, 15).
struct Progress {
    uint32_t result;
    uint32_t id;
    uint32_t status;
    uint32_t size;
    uint32_t imageRows = 0;
    EnrollProgress enroll{};
    std::vector<Bytes> users;
    std::vector<Bytes> entries;
};

// Swipes of synthetic fingers, made once per process.
class Fingers {
public:
    static const Bytes& swipe(int finger, int take) {
        static std::mutex lock;
        static std::map<std::pair<int, int>, Bytes> made;
        std::lock_guard<std::mutex> hold(lock);
        Bytes& stream = made[{finger, take}];
        if (stream.empty()) stream = synthswipe::swipe(finger, take);
        return stream;
    }
    // A swipe of nothing: a flat, light surface that reconstructs to an unusable image.
    static const Bytes& nothing() {
        static const Bytes stream = [] {
            swipe_model::GreyImage flat;
            flat.width = 300;
            flat.height = 500;
            flat.pixels.assign(size_t(flat.width) * flat.height, 250);
            swipe_model::SwipeConfig config;
            config.noiseSigma = 1;
            return swipe_model::SwipeModel(flat, config).stream(0, 300);
        }();
        return stream;
    }
};

// The platform clock run by the test: it follows real time, or runs faster while a flow waits out
// time-outs that would otherwise take seconds. It never goes back, so waits measured across a
// change of pace stay sound; the real clock returns once the stack is gone.
class TestClock {
public:
    TestClock() {
        palTestSetClock(uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count()));
        thread_ = std::thread([this] {
            auto last = std::chrono::steady_clock::now();
            uint64_t carry = 0;  // microseconds not yet added
            while (!stop_.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                const auto now = std::chrono::steady_clock::now();
                carry += uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(now - last).count()) * pace_.load();
                last = now;
                palTestAdvanceClock(uint32_t(carry / 1000));
                carry %= 1000;
            }
        });
    }
    ~TestClock() {
        stop_ = true;
        thread_.join();
        palTestUseRealClock();
    }
    TestClock(const TestClock&) = delete;
    TestClock& operator=(const TestClock&) = delete;
    void setPace(uint32_t pace) { pace_ = pace; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> pace_{1};
    std::thread thread_;
};

class ExCaptureStack : public ExFlowsStack {
protected:
    void TearDown() override {
        if (sensor_ != 0) tcsSensorEventsRemoveCallback(sensor_, onSensorEvent, this);
        ExFlowsStack::TearDown();
        clock_.reset();
    }

    // The clock of the test from now on (call before the stack starts).
    void useTestClock() { clock_ = std::make_unique<TestClock>(); }

    // The whole stack with one sensor that has a finger on it; the flex id names the swipe model's
    // module. Every capture's prompt (sensor event 8, or the event named) sends the next queued swipe.
    void startSwiping(bool secure = false, uint8_t minor = kMinor) {
        answerVersion(versionBlock(minor, secure ? 1 : 0));
        // LED commands are answered: a sensor without a light ring still acknowledges them.
        for (uint8_t code : {uint8_t(0x24), uint8_t(0x2A)}) {
            hook(code, [](std::span<const uint8_t>) { return simusb::Reply{0, {}}; });
        }
        plug();
        carryModule(synthswipe::timeslotWords(), true);
        startOptions_ = modelModuleOption();
        startStack();
        ASSERT_EQ(tcsClientEventsAddCallback(client_, onSystemEventSeen, this), TCS_RESULT_OK);
        openWhenReady();
        if (secure) device()->aesSecured = 1;
        ASSERT_EQ(tcsSensorEventsAddCallback(sensor_, onSensorEvent, this), TCS_RESULT_OK);
        std::lock_guard<std::mutex> hold(swipeLock_);
        systemEvents_.clear();
    }

    // The swipes the coming captures get, in order.
    void queueSwipes(std::initializer_list<std::pair<int, int>> swipes) {
        for (auto [finger, take] : swipes) queueSwipe(Fingers::swipe(finger, take));
    }
    void queueSwipe(const Bytes& stream) {
        std::lock_guard<std::mutex> hold(swipeLock_);
        swipes_.push_back(stream);
    }
    // What the sensor does at the next prompt (event actOn_) in place of the swipe.
    void atNextPrompt(std::function<void()> act) {
        std::lock_guard<std::mutex> hold(swipeLock_);
        onPrompt_ = std::move(act);
    }
    size_t swipesLeft() {
        std::lock_guard<std::mutex> hold(swipeLock_);
        return swipes_.size();
    }
    std::vector<uint32_t> sensorEvents() {
        std::lock_guard<std::mutex> hold(swipeLock_);
        return sensorEvents_;
    }
    // System events the test's client heard since the sensor was opened.
    std::vector<uint32_t> systemEvents() {
        std::lock_guard<std::mutex> hold(swipeLock_);
        return systemEvents_;
    }
    static TcsResult onSystemEventSeen(void*, void* context, EventRecord* event) {
        auto* self = static_cast<ExCaptureStack*>(context);
        std::lock_guard<std::mutex> hold(self->swipeLock_);
        self->systemEvents_.push_back(event->id);
        return TCS_RESULT_OK;
    }
    size_t sensorEventCount(uint32_t id) {
        size_t n = 0;
        for (uint32_t e : sensorEvents()) n += e == id;
        return n;
    }

    static TcsResult onSensorEvent(void*, void* context, EventRecord* event) {
        auto* self = static_cast<ExCaptureStack*>(context);
        std::lock_guard<std::mutex> hold(self->swipeLock_);
        self->sensorEvents_.push_back(event->id);
        if (event->id == self->actOn_ && self->onPrompt_) {
            // Once, in place of the swipe: the sensor resets itself or leaves the bus.
            std::function<void()> act = std::move(self->onPrompt_);
            self->onPrompt_ = nullptr;
            act();
        } else if (event->id == self->swipeOn_ && !self->swipes_.empty()) {
            // Sent by the thread that raises the prompt: sent later, it may come after the
            // capture gave up on an empty fingerprint buffer.
            simusb::pushFingerprintData(self->sim_, self->swipes_.front());
            self->swipes_.pop_front();
        }
        return TCS_RESULT_OK;
    }

    // Progress callbacks of a flow, in order.
    struct Recorder {
        std::mutex lock;
        std::vector<Progress> calls;
        std::vector<uint32_t> ids() {
            std::lock_guard<std::mutex> hold(lock);
            std::vector<uint32_t> out;
            for (const Progress& p : calls) out.push_back(p.id);
            return out;
        }
        std::vector<Progress> all() {
            std::lock_guard<std::mutex> hold(lock);
            return calls;
        }
    };
    static TcsResult onProgress(uint32_t result, void* context, EventRecord* event) {
        auto* recorder = static_cast<Recorder*>(context);
        Progress p{result, event->id, event->status, event->dataSize, 0, {}, {}, {}};
        auto keep = [&p](const UserMatch& m) {
            p.users.emplace_back(m.userId, m.userId + m.userIdSize);
            p.entries.emplace_back(m.entryData, m.entryData + m.entrySize);
        };
        if (event->data != nullptr) {
            if (event->id == TCS_EX_PROGRESS_IMAGE && event->dataSize == sizeof(TcsHandle)) {
                p.imageRows = tcsImageGetRows(*static_cast<const TcsHandle*>(event->data));
            } else if (event->id == TCS_EX_PROGRESS_ENROLL && event->dataSize == sizeof(EnrollProgress)) {
                p.enroll = *static_cast<const EnrollProgress*>(event->data);
            } else if (event->dataSize == sizeof(UserMatchList)) {
                const auto* list = static_cast<const UserMatchList*>(event->data);
                for (uint32_t i = 0; i < list->count; ++i) keep(list->matches[i]);
            } else if (event->dataSize == sizeof(VerifiedUser)) {
                keep(static_cast<const VerifiedUser*>(event->data)->match);
            }
        }
        std::lock_guard<std::mutex> hold(recorder->lock);
        recorder->calls.push_back(std::move(p));
        return TCS_RESULT_OK;
    }

    // Enrolls a finger by the swipes queued, with two enrollment entries: kind 5 "secret", kind 7
    // "other".
    TcsResult enrollBySwipes(TcsHandle app, const Bytes& userId, uint8_t finger, Recorder* recorder,
                             uint32_t flags = 0) {
        static const Bytes secret = bytesOf("secret"), other = bytesOf("other");
        const EnrollmentDataEntry entries[] = {{5, uint32_t(secret.size()), secret.data()},
                                               {7, uint32_t(other.size()), other.data()}};
        const SizedBuffer id = sized(userId);
        return tcsExEnrollUserEx(sensor_, MSS_MATCHER_MINUTIAE, app, &id, 2, entries, finger, onProgress, recorder,
                                 flags);
    }

    // Set by the test while captures may run: read on the service thread.
    std::atomic<uint32_t> swipeOn_{TCS_SENSOR_EVENT_SWIPE_NOW};
    std::atomic<uint32_t> actOn_{TCS_SENSOR_EVENT_SWIPE_NOW};
    std::function<void()> onPrompt_;
    std::unique_ptr<TestClock> clock_;
    std::mutex swipeLock_;
    std::deque<Bytes> swipes_;
    std::vector<uint32_t> sensorEvents_;
    std::vector<uint32_t> systemEvents_;
};
