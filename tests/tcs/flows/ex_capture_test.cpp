// The swipe of the capturing flows on the whole stack: recovery from a sensor that leaves the bus
// during it, and the LED patterns the capture shows while the person swipes.
#include "tests/tcs/flows/ex_capture_fixture.h"

#include "platform/clock.h"
#include "tcs/led_requests.h"

#include <future>
#include <tuple>

namespace {

constexpr uint8_t kLedCommand = 0x24;
constexpr uint8_t kCaptureCommand = 0x02;

// An LED command as sent: its on and off times and its duration in seconds.
struct Led {
    uint32_t on, off, seconds;
    bool operator==(const Led&) const = default;
};
void PrintTo(const Led& l, std::ostream* os) { *os << "{on " << l.on << ", off " << l.off << ", " << l.seconds << " s}"; }

// The OEM default configuration (configIndex 1): the ready pattern (event 23) blinks 1000/1000 ms
// for 10 s, the rejected enrollment swipe (event 25) 250/250 ms for 2 s.
constexpr Led kReady{1000, 1000, 10};
constexpr Led kRejected{250, 250, 2};

class ExCapture : public ExCaptureStack {
protected:
    // The LED and capture commands the sensor received, in order: an LED command as its pattern, a
    // capture as {0, 0, 0}.
    std::vector<Led> ledsAndCaptures() {
        std::vector<Led> out;
        for (const Bytes& c : simusb::commandLog(sim_)) {
            if (c.size() >= 119 && c[0] == kLedCommand) {
                out.push_back({uint32_t(c[113] | c[114] << 8), uint32_t(c[115] | c[116] << 8), c[118]});
            } else if (c.size() >= 5 && c[0] == kCaptureCommand && c[3] == 0 && c[4] == 0) {
                out.push_back({0, 0, 0});
            }
        }
        return out;
    }
    // Capture commands for a finger (mode 0); a calibrated sensor's baseline reads use the same code.
    size_t fingerCaptures() {
        size_t n = 0;
        for (const Bytes& c : simusb::commandLog(sim_)) n += c.size() >= 5 && c[0] == kCaptureCommand && c[3] == 0 && c[4] == 0;
        return n;
    }
    size_t commandCount(uint8_t code) {
        size_t n = 0;
        for (const Bytes& c : simusb::commandLog(sim_)) n += !c.empty() && c[0] == code;
        return n;
    }
    TcsResult captureWithRecovery(TcsHandle app, TcsHandle* image) {
        return GetFingerprintIncludeESD(sensorRecord(), storageOf(app), image, nullptr);
    }
    // Runs the enrollment on its own thread; once `fast` holds, the clock runs ten times faster until
    // the enrollment ends, so the recovery's waits of seconds pass in a fraction of that.
    TcsResult enrollWithFastWaits(TcsHandle app, Recorder* recorder, const std::function<bool()>& fast) {
        auto flow = std::async(std::launch::async, [&] { return enrollBySwipes(app, bytesOf("alice"), 1, recorder); });
        while (flow.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready) {
            if (fast()) clock_->setPace(10);
        }
        clock_->setPace(1);
        return flow.get();
    }
    // Shows the rejected enrollment swipe (2 s), then starts a capture with recovery 1000 ms later.
    // The clock stands still from the event until the capture has shown it again, so it has exactly
    // one second left whatever the machine's load.
    std::future<TcsResult> startAfterRejectedEvent(TcsHandle app, TcsHandle* image) {
        clock_->setPace(0);
        EXPECT_EQ(tcsSensorLEDEnrollmentSwipeRejected(sensor_), TCS_RESULT_OK);
        EXPECT_TRUE(waitFor([&] { return commandCount(kLedCommand) == 1; }));
        palTestAdvanceClock(1000);
        auto capture = std::async(std::launch::async, [this, app, image] { return captureWithRecovery(app, image); });
        EXPECT_TRUE(waitFor([&] { return commandCount(kLedCommand) == 2; }));
        clock_->setPace(1);
        return capture;
    }
    const Led kCapture{0, 0, 0};
};

// --- Recovery -----------------------------------------------------------------------------------------------

// A capture that fails while the sensor stays on the bus: after 2 s without a removal the sensor is
// hard-reset and the swipe given up with 360. The caller's client, deaf to system events while the
// swipe recovers, listens again in time to hear the reset take its sensor away.
TEST_F(ExCapture, SensorThatStaysAfterAFailedSwipeIsHardResetAnd360Returned) {
    useTestClock();
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    hook(kCaptureCommand, [](std::span<const uint8_t>) { return simusb::Reply{0x0405, {}}; });
    Recorder r;
    const TcsResult result = enrollWithFastWaits(app, &r, [&] { return sensorEventCount(7) != 0; });
    EXPECT_EQ(result, TCS_RESULT_NO_SWIPE);
    EXPECT_EQ(r.ids(), (std::vector<uint32_t>{16, 13}));
    EXPECT_TRUE(waitFor([&] {
        const std::vector<uint32_t> seen = systemEvents();
        return std::count(seen.begin(), seen.end(), TCS_SYSTEM_EVENT_SENSOR_REMOVED) >= 1;
    })) << "the hard reset";
    EXPECT_TRUE(userIds(app).empty());
    tcsSensorClose(sensor_);
    sensor_ = 0;
}

// A sensor that leaves during the swipe and does not come back within 1.5 s: 360.
TEST_F(ExCapture, SensorThatLeavesAndStaysAwayGives360) {
    useTestClock();
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    queueSwipes({{0, 0}});
    atNextPrompt([this] { simusb::unplug(sim_); });
    Recorder r;
    const TcsResult result = enrollWithFastWaits(app, &r, [&] { return sensorEventCount(8) != 0; });
    EXPECT_EQ(result, TCS_RESULT_NO_SWIPE);
    EXPECT_EQ(r.ids(), (std::vector<uint32_t>{16, 13}));
    tcsSensorClose(sensor_);
    sensor_ = 0;
}

// The sensor resets itself while the finger is on it: the person was asked to swipe once and is not
// asked again; the swipe is taken again and the enrollment completes.
TEST_F(ExCapture, ResetDuringASwipePromptsOnceAndTheEnrollmentCompletes) {
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    // Reset at the prompt; the swipes come once the finger is seen, because the repeated capture
    // prompts nobody.
    atNextPrompt([this] { simusb::reset(sim_); });
    swipeOn_ = TCS_SENSOR_EVENT_FINGER_PRESENT;
    queueSwipes({{0, 0}, {0, 1}, {0, 2}});
    Recorder r;
    ASSERT_EQ(enrollBySwipes(app, bytesOf("alice"), 1, &r), TCS_RESULT_OK);
    EXPECT_EQ(r.ids(), (std::vector<uint32_t>{16, 17, 32, 16, 17, 32, 16, 17, 32, 13}));
    EXPECT_EQ(sensorEventCount(TCS_SENSOR_EVENT_SWIPE_NOW), 3u);
    EXPECT_EQ(fingers(app, bytesOf("alice")), std::vector<uint32_t>{1});
}

// What the recovery's system-event handler keeps: the arrival with the sensor's id, readiness, and a
// removal that forgets both and notes its time.
TEST(ExSystemEvents, ArrivalReadinessAndRemovalAreNoted) {
    EsdWatch watch{};
    char id[] = "sensor-7";
    EventRecord arrived{TCS_SYSTEM_EVENT_SENSOR_ARRIVING, 0, sizeof id, id};
    EventRecord ready{TCS_SYSTEM_EVENT_SENSOR_READY, 0, 0, nullptr};
    EventRecord removed{TCS_SYSTEM_EVENT_SENSOR_REMOVED, 0, 0, nullptr};
    EventRecord other{TCS_SYSTEM_EVENT_ALL_READY, 0, 0, nullptr};
    void* client = &watch;  // any non-null client
    ASSERT_EQ(ExSystemEventsHandler(client, &watch, &arrived), TCS_RESULT_OK);
    ASSERT_EQ(ExSystemEventsHandler(client, &watch, &ready), TCS_RESULT_OK);
    EXPECT_EQ(ExSystemEventsHandler(client, &watch, &other), TCS_RESULT_OK);
    EXPECT_EQ(watch.arrived, 1u);
    EXPECT_EQ(watch.ready, 1u);
    EXPECT_STREQ(watch.sensorId, "sensor-7");
    EXPECT_EQ(watch.removed, 0u);
    ASSERT_EQ(ExSystemEventsHandler(client, &watch, &removed), TCS_RESULT_OK);
    EXPECT_EQ(watch.arrived, 0u);
    EXPECT_EQ(watch.ready, 0u);
    EXPECT_EQ(watch.removed, 1u);
    EXPECT_STREQ(watch.sensorId, "");
    EXPECT_LE(palGetTickCount() - watch.removalTick, 1000u);
    for (auto [c, w, e] : std::initializer_list<std::tuple<void*, void*, EventRecord*>>{
             {nullptr, &watch, &ready}, {client, nullptr, &ready}, {client, &watch, nullptr}}) {
        EXPECT_EQ(ExSystemEventsHandler(c, w, e), TCS_RESULT_NULL_CLIENT_HANDLE);
    }
    // An id of the full 260 bytes or more is cut, never left without its end.
    std::vector<char> longId(300, 'x');
    EventRecord longArrival{TCS_SYSTEM_EVENT_SENSOR_ARRIVING, 0, uint32_t(longId.size()), longId.data()};
    ASSERT_EQ(ExSystemEventsHandler(client, &watch, &longArrival), TCS_RESULT_OK);
    EXPECT_EQ(std::strlen(watch.sensorId), sizeof watch.sensorId - 1);
}

// --- The LED during a capture ---------------------------------------------------------------------------

// The capturing flows ask for the ready pattern before each capture: it is sent before the capture
// command when the LED feature is on, and not at all when it is off or nobody asked for it.
TEST_F(ExCapture, ReadyPatternPrecedesTheCaptureOnlyWhenTheFeatureIsOn) {
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    struct Case {
        const char* name;
        uint32_t feature;
        bool withRecovery;
        std::vector<Led> sent;
    };
    for (const Case& c : std::initializer_list<Case>{{"feature on", 1, true, {kReady, kCapture}},
                                                     {"feature off", 0, true, {kCapture}},
                                                     {"no ready event", 1, false, {kCapture}}}) {
        palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\LED", "enableLEDFeature", c.feature);
        simusb::clearCommandLog(sim_);
        queueSwipes({{0, 0}});
        TcsHandle image = 0;
        ASSERT_EQ(c.withRecovery ? captureWithRecovery(app, &image) : tcsSensorGetFingerprint(sensor_, &image, nullptr),
                  TCS_RESULT_OK)
            << c.name;
        EXPECT_EQ(ledsAndCaptures(), c.sent) << c.name;
        tcsHandleDestroy(image);
    }
}

// An event shown shortly before a capture (an enrollment swipe rejected) is shown again for the
// seconds it has left, in place of the ready pattern.
TEST_F(ExCapture, EarlierEventIsShownAgainForItsRemainingTime) {
    useTestClock();
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    simusb::clearCommandLog(sim_);
    queueSwipes({{0, 0}});
    TcsHandle image = 0;
    auto capture = startAfterRejectedEvent(app, &image);
    ASSERT_EQ(capture.get(), TCS_RESULT_OK);
    EXPECT_EQ(ledsAndCaptures(), (std::vector<Led>{kRejected, {250, 250, 1}, kCapture}));
    tcsHandleDestroy(image);

    // Shown to its end, it is not shown again: the next capture gets the ready pattern.
    simusb::clearCommandLog(sim_);
    palTestAdvanceClock(2000);
    queueSwipes({{0, 1}});
    ASSERT_EQ(captureWithRecovery(app, &image), TCS_RESULT_OK);
    EXPECT_EQ(ledsAndCaptures(), (std::vector<Led>{kReady, kCapture}));
    tcsHandleDestroy(image);
}

// While the capture waits for a finger, the end of an event shown again ends the wait: the LED shows
// the ready pattern and the capture starts over, without asking for the swipe a second time.
TEST_F(ExCapture, LedRunOutEndsTheFingerWaitAndTheSwipeIsRetried) {
    useTestClock();
    startSwiping();
    const TcsHandle app = fileStorage("db.img");
    simusb::setStoredState(sim_, "fingerState", {0, 0});
    simusb::clearCommandLog(sim_);
    TcsHandle image = 0;
    auto capture = startAfterRejectedEvent(app, &image);
    // Waiting for the finger with the rejected pattern's last second on the LED.
    ASSERT_TRUE(waitFor([&] { return fingerCaptures() == 1; }));
    EXPECT_EQ(capture.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    palTestAdvanceClock(1000);
    ASSERT_TRUE(waitFor([&] { return ledsAndCaptures().size() == 5; }));
    // The finger comes; its swipe goes out as the capture sees it (the retry prompts nobody).
    swipeOn_ = TCS_SENSOR_EVENT_FINGER_PRESENT;
    queueSwipes({{0, 0}});
    simusb::setStoredState(sim_, "fingerState", {2, 0});
    ASSERT_EQ(capture.get(), TCS_RESULT_OK);
    EXPECT_EQ(ledsAndCaptures(), (std::vector<Led>{kRejected, {250, 250, 1}, kCapture, kReady, kCapture}));
    EXPECT_EQ(sensorEventCount(TCS_SENSOR_EVENT_SWIPE_NOW), 1u);
    EXPECT_GT(tcsImageGetRows(image), 200u);
    tcsHandleDestroy(image);
}

}  // namespace
