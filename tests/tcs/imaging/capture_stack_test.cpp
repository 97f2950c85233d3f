// Captures end to end on the in-process stack: a client opens the virtual sensor, the sensor sends
// a modelled swipe, and the image, the abort and the failures come back as events and completions.
// Also a shut-down while the sensor has stopped answering a command or a capture.
#include "platform/memory.h"
#include "sim/swipe/swipe_model.h"
#include "tcs/imaging/capture_file.h"
#include "tcs/imaging/ids_internal.h"
#include "tcs/imaging/liveness/nex.h"
#include "tcs/imaging/reconstructor_interface.h"
#include "tcs/matching/matcher_client.h"
#include "tcs/matching/recog_adapter.h"
#include "tcs/led_requests.h"
#include "tcs/sensorctl/init/device_accessors.h"
#include "tcs/sensorctl/init/device_init.h"
#include "tcs/sensorctl/protocol/print_defaults.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tests/tcs/imaging/delivered_image.h"
#include "tests/tcs/imaging/liveness/liveness_images.h"
#include "tests/tcs/stack_fixture.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct SeenEvent {
    uint32_t id;
    uint32_t status;
    uint64_t data;
    uint32_t size;
};

struct Log {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<SeenEvent> sensorEvents;
    bool done = false;
    uint64_t image = 0;
    TcsResult status = 0;
    // What the sensor sends when the capture raises the event (8, asked to swipe): sent by the
    // thread that raises it. Sent from the test's thread after it saw the event, it came too late
    // under load: two empty reads of 100 ms each fail a fingerprint buffer and abort the capture.
    uint32_t swipeOn = 0;
    simusb::SensorId sensor = 0;
    std::vector<uint8_t> swipe;
    bool liftFinger = false;  // once the finger was seen (event 11), the sensor reports none

    bool has(uint32_t id) {
        std::lock_guard<std::mutex> hold(lock);
        for (const SeenEvent& e : sensorEvents) {
            if (e.id == id) return true;
        }
        return false;
    }
    std::vector<uint32_t> ids() {
        std::lock_guard<std::mutex> hold(lock);
        std::vector<uint32_t> out;
        for (const SeenEvent& e : sensorEvents) out.push_back(e.id);
        return out;
    }
    SeenEvent find(uint32_t id) {
        std::lock_guard<std::mutex> hold(lock);
        for (const SeenEvent& e : sensorEvents) {
            if (e.id == id) return e;
        }
        return {};
    }
};

TcsResult onSensorEvent(void*, void* context, EventRecord* event) {
    auto* log = static_cast<Log*>(context);
    // Sensor event 5 carries the image handle itself in the data word.
    const uint64_t data = uint64_t(uintptr_t(event->data));
    std::lock_guard<std::mutex> hold(log->lock);
    log->sensorEvents.push_back({event->id, event->status, data, event->dataSize});
    if (event->id == log->swipeOn && !log->swipe.empty()) {
        simusb::pushFingerprintData(log->sensor, log->swipe);
        log->swipe.clear();
    }
    if (event->id == 11 && log->liftFinger) simusb::setStoredState(log->sensor, "fingerState", {0, 0});
    log->changed.notify_all();
    return TCS_RESULT_OK;
}

TcsResult onCaptured(void* image, TcsResult status, void* context) {
    auto* log = static_cast<Log*>(context);
    std::lock_guard<std::mutex> hold(log->lock);
    log->done = true;
    log->image = uint64_t(uintptr_t(image));
    log->status = status;
    log->changed.notify_all();
    return TCS_RESULT_OK;
}

// A 4.30 family-1 version block: firmware whose initialisation detects the module and loads the
// print configuration.
std::vector<uint8_t> versionBlock() {
    std::vector<uint8_t> v(36, 0);
    v[0] = 1;
    v[4] = 17;
    v[8] = 4;
    v[9] = 30;
    v[10] = 1;
    v[11] = 4;
    v[13] = 1;
    v[16] = 'S';
    v[22] = 1;
    return v;
}

swipe_model::SwipeModel swipeModel() {
    static const swipe_model::GreyImage finger = swipe_model::syntheticRidges(300, 500, 9, 150, 150);
    swipe_model::SwipeConfig config;
    config.noiseSigma = 2;
    return swipe_model::SwipeModel(finger, config);
}

class CaptureStack : public StackFixture {
protected:
    CaptureStack() {
        folderName_ = "ids_capture";
        startFlags_ = TCS_START_FAST_POLL;
        startOptions_ = modelModuleOption();
        waitMs_ = 8000;
    }

    void TearDown() override {
        StackFixture::TearDown();
        nexSetClassifierTables(nullptr);
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_IMAGE, nullptr);
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_SENSOR, nullptr);
    }

    // A sensor whose module is the swipe model's, with a finger on it or not.
    void open(bool fingerPresent) {
        answerVersion(versionBlock());
        plug();
        carryModule(model_.timeslotWords(), fingerPresent);
        startStack();
        openWhenReady();
        ASSERT_EQ(tcsSensorEventsAddCallback(sensor_, onSensorEvent, &log_), TCS_RESULT_OK);
        for (uint32_t event : {5u, 6u, 7u, 8u, 11u, 20u}) tcsSensorEventListen(sensor_, event, 1);
    }

    bool captured() {
        std::lock_guard<std::mutex> hold(log_.lock);
        return log_.done;
    }

    // Starts a capture whose swipe the sensor sends once the capture asks for it (event 8, or the
    // event named).
    void captureSwiping(std::vector<uint8_t> swipe, const char* debugPath = nullptr, bool liftFinger = false,
                        uint32_t swipeOn = 8) {
        // A capture's item leaves the work list just after its completion: the next one waits for
        // that, or it is refused as a second capture of the device.
        void* record = nullptr;
        ASSERT_EQ(tcsSafeSensorHandleFetch(sensor_, &record), TCS_RESULT_OK);
        IdsSubsystem* imaging = idsGetSubsystem(static_cast<SensorRecord*>(record)->imagingSensor);
        ASSERT_TRUE(waitFor([&] { return idsIsGetPrintTaskInWorkList(imaging) == 0; }));
        {
            std::lock_guard<std::mutex> hold(log_.lock);
            log_.done = false;
            log_.sensorEvents.clear();
            log_.swipeOn = swipeOn;
            log_.sensor = id_;
            log_.swipe = std::move(swipe);
            log_.liftFinger = liftFinger;
        }
        ASSERT_EQ(tcsSensorGetFingerprintAsyncA(sensor_, onCaptured, &log_, debugPath), TCS_RESULT_OK);
    }

    swipe_model::SwipeModel model_ = swipeModel();
    Log log_;
};

TEST_F(CaptureStack, SwipeBecomesAnImageHandle) {
    open(true);
    ASSERT_NE(sensor_, 0u);
    captureSwiping(model_.stream(0, 300));
    // A second capture for the same device is refused while the first is queued.
    EXPECT_EQ(tcsSensorGetFingerprintAsyncA(sensor_, onCaptured, &log_, nullptr), TCS_RESULT_SENSOR_BUSY);
    // The sensor streams the swipe once the finger is seen.
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    EXPECT_TRUE(log_.has(11));
    EXPECT_EQ(log_.status, TCS_RESULT_OK);
    ASSERT_NE(log_.image, 0u);
    void* record = nullptr;
    ASSERT_EQ(tcsSafeImageHandleFetch(log_.image, &record), TCS_RESULT_OK);
    auto* image = static_cast<ImageRecord*>(record);
    ASSERT_NE(image, nullptr);
    EXPECT_GT(image->rows, 150u);
    EXPECT_LE(image->rows, 420u);
    EXPECT_GT(image->columns, 150u);
    EXPECT_EQ(image->dataSize, image->rows * image->columns);
    // The image event carried the same handle; waiting for a finger came first, the finger went last.
    const SeenEvent ready = log_.find(5);
    EXPECT_EQ(ready.data, log_.image);
    EXPECT_EQ(ready.size, 8u);
    const std::vector<uint32_t> ids = log_.ids();
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.front(), 8u);
    size_t prompts = 0;
    for (uint32_t id : ids) prompts += id == 8;
    EXPECT_EQ(prompts, 1u);
    EXPECT_FALSE(log_.has(7));
    // No classifier tables: no liveness result, and the metrics stay as they were.
    EXPECT_EQ(image->aspScore, 0u);
    ASSERT_NE(image->aspMetrics, nullptr);
    EXPECT_EQ(static_cast<const AspMetricsBlock*>(image->aspMetrics)->kind, 0u);
    EXPECT_EQ(tcsHandleDestroy(log_.image), TCS_RESULT_OK);
}

// With classifier tables in place the raw swipe is scored and the image carries the score, clamped
// into -1000..2000, with the verdicts and confidences that follow from it.
TEST_F(CaptureStack, SwipeCarriesItsClampedLivenessScore) {
    ASSERT_EQ(nexSetClassifierTables(livetest::flatTables(5).get()), 0u);  // 5000 before the clamp
    open(true);
    ASSERT_NE(sensor_, 0u);
    captureSwiping(model_.stream(0, 300), nullptr, false, 11);
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    ASSERT_EQ(log_.status, TCS_RESULT_OK);
    void* record = nullptr;
    ASSERT_EQ(tcsSafeImageHandleFetch(log_.image, &record), TCS_RESULT_OK);
    auto* image = static_cast<ImageRecord*>(record);
    EXPECT_EQ(int32_t(image->aspScore), 2000);
    const auto* metrics = static_cast<const AspMetricsBlock*>(image->aspMetrics);
    ASSERT_NE(metrics, nullptr);
    EXPECT_EQ(metrics->size, 72u);
    EXPECT_EQ(metrics->kind, 2u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(metrics->verdict[i], 1u) << i;
        EXPECT_EQ(metrics->confidence[i], 100u) << i;
    }
    EXPECT_EQ(tcsHandleDestroy(log_.image), TCS_RESULT_OK);
}

bool exists(const std::string& path) { return std::ifstream(path).good(); }

// A capture asked for a metrics block (client parameter 20) gets one filled by the reconstruction:
// the liveness score in its word at 208, the reconstruction's time in the word at 220; and with the
// image debug switch and a path the liveness image is written as "<prefix>rawIr.bmp", unless the
// block's word at 216 says no.
TEST_F(CaptureStack, MetricsBlockIsFilledByTheCapture) {
    ASSERT_EQ(nexSetClassifierTables(livetest::flatTables(5).get()), 0u);
    open(true);
    ASSERT_NE(sensor_, 0u);
    ASSERT_EQ(tcsSetParam(client_, 20, 1), TCS_RESULT_OK);
    ASSERT_EQ(tcsSetParam(client_, 3, 1), TCS_RESULT_OK);
    const std::string prefix = ::testing::TempDir() + "/ids_metrics" + std::to_string(getpid()) + "_";
    for (const char* suffix : {"rawIr.bmp", "ir.bmp"}) std::remove((prefix + suffix).c_str());
    captureSwiping(model_.stream(0, 300), prefix.c_str(), false, 11);
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    ASSERT_EQ(log_.status, TCS_RESULT_OK);
    void* record = nullptr;
    ASSERT_EQ(tcsSafeImageHandleFetch(log_.image, &record), TCS_RESULT_OK);
    auto* image = static_cast<ImageRecord*>(record);
    ASSERT_NE(image->irMetrics, nullptr);
    const auto* block = static_cast<const uint8_t*>(image->irMetrics);
    int32_t liveness = 0;
    uint32_t spent = 0, noDebug = 1;
    std::memcpy(&liveness, block + 208, 4);
    std::memcpy(&noDebug, block + 216, 4);
    std::memcpy(&spent, block + 220, 4);
    EXPECT_EQ(liveness, 2000);
    EXPECT_EQ(noDebug, 0u);
    EXPECT_LT(spent, 30000u);
    EXPECT_TRUE(exists(prefix + "rawIr.bmp"));
    EXPECT_TRUE(exists(prefix + "ir.bmp"));
    tcsHandleDestroy(log_.image);
    for (const char* suffix : {"rawIr.bmp", "ir.bmp"}) std::remove((prefix + suffix).c_str());
}

// The core's update of queued captures checks its handles; a capture the service has started keeps
// the path and switches it runs with.
TEST_F(CaptureStack, UpdateLeavesACaptureUnderWayAlone) {
    open(false);
    ASSERT_NE(sensor_, 0u);
    const std::string prefix = ::testing::TempDir() + "/ids_update" + std::to_string(getpid()) + "_";
    EXPECT_EQ(tcsSensorUpdateGetPrintContext(sensor_, 0, prefix.c_str()), TCS_RESULT_NULL_CLIENT_HANDLE);
    EXPECT_NE(tcsSensorUpdateGetPrintContext(0, client_, prefix.c_str()), TCS_RESULT_OK);
    EXPECT_EQ(tcsSensorUpdateGetPrintContext(sensor_, client_, prefix.c_str()), TCS_RESULT_OK);
    captureSwiping(model_.stream(0, 300), nullptr, false, 11);
    ASSERT_TRUE(waitFor([&] { return log_.has(8); }));
    ASSERT_EQ(tcsSetParam(client_, 3, 1), TCS_RESULT_OK);  // image debug files
    EXPECT_EQ(tcsSensorUpdateGetPrintContext(sensor_, client_, prefix.c_str()), TCS_RESULT_OK);
    simusb::setStoredState(id_, "fingerState", {2, 0});
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    EXPECT_EQ(log_.status, TCS_RESULT_OK);
    tcsHandleDestroy(log_.image);
    EXPECT_FALSE(exists(prefix + "ir.bmp"));
    std::remove((prefix + "ir.bmp").c_str());
}

TEST_F(CaptureStack, AbortWhileWaitingForTheFingerEndsWith501) {
    open(false);
    ASSERT_NE(sensor_, 0u);
    ASSERT_EQ(tcsSensorGetFingerprintAsyncA(sensor_, onCaptured, &log_, nullptr), TCS_RESULT_OK);
    ASSERT_TRUE(waitFor([&] { return log_.has(8); }));
    EXPECT_EQ(tcsSensorAbortFingerprint(sensor_), TCS_RESULT_OK);
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    EXPECT_EQ(log_.status, 501u);
    EXPECT_EQ(log_.image, 0u);
    ASSERT_TRUE(log_.has(7));
    EXPECT_EQ(log_.find(7).status, 501u);
    EXPECT_FALSE(log_.has(5));
}

TEST_F(CaptureStack, RefusedCaptureCommandRaisesCaptureDoneWithItsStatus) {
    open(true);
    ASSERT_NE(sensor_, 0u);
    hook(0x02, [](std::span<const uint8_t>) { return simusb::Reply{0x0405, {}}; });
    ASSERT_EQ(tcsSensorGetFingerprintAsyncA(sensor_, onCaptured, &log_, nullptr), TCS_RESULT_OK);
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    EXPECT_NE(log_.status, TCS_RESULT_OK);
    EXPECT_NE(log_.status, 501u);
    EXPECT_EQ(log_.image, 0u);
    ASSERT_TRUE(log_.has(7));
    EXPECT_EQ(log_.find(7).status, log_.status & 0xFFFF);
    EXPECT_FALSE(log_.has(5));
    // The sensor takes the next capture.
    hook(0x02, nullptr);
    captureSwiping(model_.stream(0, 300));
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    EXPECT_EQ(log_.status, TCS_RESULT_OK);
    if (log_.image != 0) tcsHandleDestroy(log_.image);
}

// One capture with the output switches on: the capture file holds the sensor's configuration and
// the swipe as it came, and rebuilds to the image the capture delivered; "SaveImage" suppresses it.
TEST_F(CaptureStack, CaptureFileAndDebugImagesFollowTheSwitches) {
    open(true);
    ASSERT_NE(sensor_, 0u);
    const std::string prefix = ::testing::TempDir() + "/ids_out" + std::to_string(getpid()) + "_";
    struct Case {
        uint32_t saveImage;
        bool expectFile;
    };
    for (auto [saveImage, expectFile] : std::initializer_list<Case>{{0, true}, {1, false}}) {
        for (const char* suffix : {".qcf", "raw.bmp", "ir.bmp"}) std::remove((prefix + suffix).c_str());
        palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\IR", "SaveImage", saveImage);
        ASSERT_EQ(tcsSetParam(client_, 1, 1), TCS_RESULT_OK);  // capture file
        ASSERT_EQ(tcsSetParam(client_, 3, 1), TCS_RESULT_OK);  // image debug files
        ASSERT_EQ(tcsSetParam(client_, 4, 1), TCS_RESULT_OK);  // raw-line debug file
        captureSwiping(model_.stream(0, 300), prefix.c_str());
        ASSERT_TRUE(waitFor([&] { return captured(); }));
        ASSERT_EQ(log_.status, TCS_RESULT_OK) << saveImage;
        void* record = nullptr;
        ASSERT_EQ(tcsSafeImageHandleFetch(log_.image, &record), TCS_RESULT_OK);
        const uint32_t rows = static_cast<ImageRecord*>(record)->rows;
        EXPECT_TRUE(exists(prefix + "raw.bmp")) << saveImage;
        EXPECT_TRUE(exists(prefix + "ir.bmp")) << saveImage;
        EXPECT_EQ(exists(prefix + ".qcf"), expectFile) << saveImage;
        if (expectFile) {
            QcfFile* file = nullptr;
            ASSERT_EQ(fclQcfOpenA(&file, (prefix + ".qcf").c_str()), 0u);
            QcfSection s;
            std::memset(&s, 0, sizeof s);
            s.kind = QCF_KIND_RAW_FP_DATA;
            ASSERT_EQ(fclQcfReadSection(file, &s), 0u);
            EXPECT_GT(s.u.raw.dataLength, 200u * 288u);
            EXPECT_EQ(s.u.raw.lineLength, 288);
            std::memset(&s, 0, sizeof s);
            s.kind = QCF_KIND_HEADER;
            ASSERT_EQ(fclQcfReadSection(file, &s), 0u);
            EXPECT_EQ(s.u.header.words[1], 14u);
            fclQcfClose(file);
            ImageRecord* rebuilt = nullptr;
            ASSERT_EQ(idsReconstructQcfToImage((prefix + ".qcf").c_str(), &rebuilt, nullptr, nullptr), 0u);
            EXPECT_NEAR(double(rebuilt->rows), double(rows), rows * 0.1);
            _tcsImageDestroy(rebuilt);
        }
        tcsHandleDestroy(log_.image);
    }
    for (const char* suffix : {".qcf", "raw.bmp", "ir.bmp"}) std::remove((prefix + suffix).c_str());
}

struct RawLog {
    std::mutex lock;
    std::vector<std::pair<uint64_t, TcsResult>> calls;
};

// The data sink of a raw request: the first buffer is enough (1 ends the request).
TcsResult onRawData(void* buffer, TcsResult status, void* context) {
    auto* log = static_cast<RawLog*>(context);
    std::lock_guard<std::mutex> hold(log->lock);
    log->calls.push_back({uint64_t(uintptr_t(buffer)), status});
    return log->calls.size() == 1 ? 1 : 0;
}

TEST_F(CaptureStack, RawLinesGoToTheSinkUntilItHasEnough) {
    open(true);
    ASSERT_NE(sensor_, 0u);
    RawLog raw;
    ASSERT_EQ(tcsSensorGetRawFingerprintAsync(sensor_, onRawData, &raw), TCS_RESULT_OK);
    simusb::pushFingerprintData(id_, model_.stream(0, 50));
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> hold(raw.lock);
        return raw.calls.size() >= 2;
    }));
    std::lock_guard<std::mutex> hold(raw.lock);
    EXPECT_NE(raw.calls[0].first, 0u);  // a filled buffer
    EXPECT_EQ(raw.calls[1].first, 0u);  // the end: no caller buffer
    EXPECT_EQ(raw.calls[1].second, TCS_RESULT_OK);
    EXPECT_TRUE(log_.has(6));  // the lines went out as a sensor event too
}

struct RawRequest {
    std::mutex lock;
    bool done = false;
    TcsResult status = 0;
};

TcsResult onRawRequestDone(void*, TcsResult status, void* context) {
    auto* request = static_cast<RawRequest*>(context);
    std::lock_guard<std::mutex> hold(request->lock);
    request->done = true;
    request->status = status;
    return TCS_RESULT_OK;
}

// Whether the sensor's last capture command carried an empty configuration-reply record (tag 23).
bool lastCaptureAsksForConfiguration(simusb::SensorId id) {
    const std::vector<std::vector<uint8_t>> log = simusb::commandLog(id);
    for (auto it = log.rbegin(); it != log.rend(); ++it) {
        const std::vector<uint8_t>& c = *it;
        if (c.empty() || c[0] != 0x02) continue;
        for (size_t at = 5; at + 4 <= c.size(); at += 4 + size_t(c[at + 2] | c[at + 3] << 8)) {
            if ((c[at] | c[at + 1] << 8) == 23) return true;
        }
        return false;
    }
    ADD_FAILURE() << "no capture command was sent";
    return false;
}

// A raw-line request's get-print flags reach the capture command: 0x10 asks the sensor for its
// configuration reply, and a request without it does not.
TEST_F(CaptureStack, RawLineRequestSendsItsGetPrintFlags) {
    open(true);
    ASSERT_NE(sensor_, 0u);
    void* record = nullptr;
    ASSERT_EQ(tcsSafeSensorHandleFetch(sensor_, &record), TCS_RESULT_OK);
    IdsSensor* imaging = static_cast<SensorRecord*>(record)->imagingSensor;
    ASSERT_NE(imaging, nullptr);
    for (uint32_t flags : {0x10u, 0u}) {
        std::vector<uint8_t> buffer(4 * 1024, 0);
        RawRequest request;
        simusb::clearCommandLog(id_);
        ASSERT_EQ(idsSensorSendGetRawScanLines(imaging, buffer.data(), uint32_t(buffer.size()), 4, 0, onRawRequestDone,
                                               &request, nullptr, flags),
                  TCS_RESULT_OK);
        ASSERT_TRUE(waitFor([&] {
            std::lock_guard<std::mutex> hold(request.lock);
            return request.done;
        })) << flags;
        // The request leaves the work list just after its completion.
        ASSERT_TRUE(waitFor([&] { return idsIsGetPrintTaskInWorkList(idsGetSubsystem(imaging)) == 0; })) << flags;
        EXPECT_EQ(lastCaptureAsksForConfiguration(id_), flags == 0x10u) << flags;
    }
}

// Capture mode 0 reads at once, without waiting for a finger: the swipe is on the way before the
// capture starts reading.
TEST_F(CaptureStack, ModeZeroCapturesWithoutFingerDetection) {
    open(false);
    ASSERT_NE(sensor_, 0u);
    ASSERT_EQ(tcsSetParam(client_, 16, 0), TCS_RESULT_OK);  // capture mode
    captureSwiping(model_.stream(0, 300));
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    EXPECT_EQ(log_.status, TCS_RESULT_OK);
    ASSERT_NE(log_.image, 0u);
    EXPECT_FALSE(log_.has(11));  // no finger poll in this mode
    tcsHandleDestroy(log_.image);
}

// Capture commands that read until stopped ({0x02, u16 line length, u16 lines = 0, ...}); the
// baseline captures between swipes count their lines.
size_t getPrints(simusb::SensorId id) {
    size_t n = 0;
    for (const auto& command : simusb::commandLog(id)) {
        n += command.size() >= 5 && command[0] == 0x02 && command[3] == 0 && command[4] == 0;
    }
    return n;
}

// An indicator override while the capture waits for the finger ends the wait: the capture stops the
// sensor, shows the override, and waits for the finger again; the swipe then ends it as usual, with
// one prompt.
TEST_F(CaptureStack, LedOverrideInterruptsTheFingerWaitAndTheCaptureGoesOn) {
    open(false);
    ASSERT_NE(sensor_, 0u);
    ASSERT_EQ(tcsSetParam(client_, 16, 4), TCS_RESULT_OK);
    captureSwiping(model_.stream(0, 300), nullptr, false, 11);
    ASSERT_TRUE(waitFor([&] { return log_.has(8); }));
    auto ledCount = [&] {
        const std::vector<uint8_t> n = simusb::transientState(id_, "ledCount");
        return n.size() == 4 ? uint32_t(n[0] | n[1] << 8 | n[2] << 16 | uint32_t(n[3]) << 24) : 0u;
    };
    const uint32_t before = ledCount();
    const size_t capturesBefore = getPrints(id_);
    ASSERT_EQ(tcsSensorLEDSetIndicatorStatus(sensor_, 1), TCS_RESULT_OK);
    // The override is shown, then the sensor is started again.
    ASSERT_TRUE(waitFor([&] { return ledCount() > before && getPrints(id_) > capturesBefore; }, 20000));
    EXPECT_FALSE(captured());
    simusb::setStoredState(id_, "fingerState", {2, 0});
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    EXPECT_EQ(log_.status, TCS_RESULT_OK);
    EXPECT_NE(log_.image, 0u);
    size_t prompts = 0;
    for (uint32_t id : log_.ids()) prompts += id == 8;
    EXPECT_EQ(prompts, 1u);
    tcsHandleDestroy(log_.image);
}

// A user slow to swipe: the first fingerprint reads of the capture find nothing and time out (each
// buffer gives up after two empty reads). That is no failure of the sensor; the capture waits on
// and delivers the swipe that follows.
TEST_F(CaptureStack, FingerprintReadsTimingOutBeforeTheSwipeDoNotAbortTheCapture) {
    open(true);
    ASSERT_NE(sensor_, 0u);
    for (uint32_t mode : {1u, 4u}) {
        ASSERT_EQ(tcsSetParam(client_, 16, mode), TCS_RESULT_OK);
        captureSwiping({}, nullptr, false, 0);
        ASSERT_TRUE(waitFor([&] { return log_.has(8); })) << mode;
        // Long enough for every posted buffer's reads to time out (two reads of 100 ms each).
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        EXPECT_FALSE(captured()) << mode;
        simusb::pushFingerprintData(id_, model_.stream(0, 300));
        ASSERT_TRUE(waitFor([&] { return captured(); })) << mode;
        EXPECT_EQ(log_.status, TCS_RESULT_OK) << mode;
        EXPECT_NE(log_.image, 0u) << mode;
        tcsHandleDestroy(log_.image);
    }
}

// A swipe of nothing (a flat finger): it reconstructs to an unusable image (quality bits 31 and 21).
std::vector<uint8_t> swipeOfNothing() {
    swipe_model::GreyImage flat;
    flat.width = 300;
    flat.height = 500;
    flat.pixels.assign(size_t(flat.width) * flat.height, 250);
    swipe_model::SwipeConfig config;
    config.noiseSigma = 1;
    return swipe_model::SwipeModel(flat, config).stream(0, 300);
}

// An unusable swipe: in the finger-polling mode the capture starts the swipe again, unless the
// capture parameters' last word asks for no retry; in mode 0 it is delivered as it is.
TEST_F(CaptureStack, UnusableSwipeIsRetriedOnlyWhereAsked) {
    const std::vector<uint8_t> nothing = swipeOfNothing();
    open(true);
    ASSERT_NE(sensor_, 0u);
    struct Case {
        const char* name;
        uint32_t mode;
        uint32_t noRetry;
        bool retried;
    };
    for (const Case& c : std::initializer_list<Case>{{"mode 0", 0, 0, false},
                                                     {"mode 4, no retry asked", 4, 1, false},
                                                     {"mode 4", 4, 0, true}}) {
        ASSERT_EQ(tcsSetParam(client_, 16, c.mode), TCS_RESULT_OK);
        ASSERT_EQ(tcsSetParam(client_, 23, c.noRetry), TCS_RESULT_OK);
        simusb::setStoredState(id_, "fingerState", {2, 0});
        const size_t before = getPrints(id_);
        // The finger leaves with the swipe: a retry waits for it until the next swipe is on its way.
        captureSwiping(nothing, nullptr, c.retried);
        if (!c.retried) {
            ASSERT_TRUE(waitFor([&] { return captured(); })) << c.name;
            EXPECT_EQ(log_.status, TCS_RESULT_OK) << c.name;
            void* record = nullptr;
            ASSERT_EQ(tcsSafeImageHandleFetch(log_.image, &record), TCS_RESULT_OK) << c.name;
            EXPECT_EQ(static_cast<ImageRecord*>(record)->quality & 0x80200000u, 0x80200000u) << c.name;
            tcsHandleDestroy(log_.image);
            continue;
        }
        // The swipe starts again with a new capture command and no second prompt; a real swipe
        // then ends it.
        ASSERT_TRUE(waitFor([&] { return getPrints(id_) > before + 1; })) << c.name;
        EXPECT_FALSE(captured()) << c.name;
        simusb::pushFingerprintData(id_, model_.stream(0, 300));
        simusb::setStoredState(id_, "fingerState", {2, 0});
        ASSERT_TRUE(waitFor([&] { return captured(); })) << c.name;
        EXPECT_EQ(log_.status, TCS_RESULT_OK) << c.name;
        size_t prompts = 0;
        for (uint32_t id : log_.ids()) prompts += id == 8;
        EXPECT_EQ(prompts, 1u) << c.name;
        void* record = nullptr;
        ASSERT_EQ(tcsSafeImageHandleFetch(log_.image, &record), TCS_RESULT_OK);
        EXPECT_EQ(static_cast<ImageRecord*>(record)->quality & 0x80000000u, 0u) << c.name;
        tcsHandleDestroy(log_.image);
    }
}

// A capture keeps the print configuration and the capture mode it was queued with. The tool's
// configured capture clears the sensor's configuration as soon as its capture is queued, and a
// second request for the busy device, from a client switched to mode 0 meanwhile, is refused after
// it has reset the configuration and set the mode: neither reaches the capture under way, whose
// unusable first swipe is retried, as in mode 4, with a capture command carrying its configuration.
TEST_F(CaptureStack, CaptureKeepsTheSettingsItWasQueuedWith) {
    open(true);
    ASSERT_NE(sensor_, 0u);
    void* object = nullptr;
    ASSERT_EQ(tcsSafeSensorHandleFetch(sensor_, &object), TCS_RESULT_OK);
    auto* record = static_cast<SensorRecord*>(object);
    IdsSensor* imaging = record->imagingSensor;
    ASSERT_NE(imaging, nullptr);
    ScsSensor* control = imaging->scsSensor;

    // The sensor's own configuration with one more parameter record, which the sensor ignores.
    const uint8_t mark[] = {0x5A, 0x7E, 4, 0, 'm', 'a', 'r', 'k'};
    PrintConfiguration* defaults = nullptr;
    ASSERT_EQ(scsSensorGetDefaultPrintConfiguration(control, &defaults), TCS_RESULT_OK);
    PrintConfiguration* marked = nullptr;
    ASSERT_EQ(scsSensorClonePrintConfiguration(control, defaults, &marked), TCS_RESULT_OK);
    const uint8_t* blob = nullptr;
    uint32_t blobLength = 0;
    ASSERT_EQ(scsSensorGetPrintParamBlobFromPrintConfig(control, marked, &blob, &blobLength), TCS_RESULT_OK);
    std::vector<uint8_t> markedBlob(blob, blob + blobLength);
    markedBlob.insert(markedBlob.end(), std::begin(mark), std::end(mark));
    ASSERT_EQ(scsSensorSetPrintParamBlobToPrintConfig(control, marked, markedBlob.data(), uint32_t(markedBlob.size())),
              TCS_RESULT_OK);
    const TcsResult staged = idsSensorSetPrintConfig(imaging, marked);
    scsSensorFreePrintConfiguration(control, &marked);
    ASSERT_EQ(staged, TCS_RESULT_OK);

    ASSERT_EQ(tcsSetParam(client_, 16, 4), TCS_RESULT_OK);
    {
        std::lock_guard<std::mutex> hold(log_.lock);
        log_.swipeOn = 8;
        log_.sensor = id_;
        log_.swipe = swipeOfNothing();
        log_.liftFinger = true;  // a retry waits for the finger until the next swipe is on its way
    }
    GetPrintContext* context = nullptr;
    ImageRecord* image = nullptr;
    ASSERT_EQ(_tcsSensorPrepareGetFingerprintContext(record, nullptr, &context, &image), TCS_RESULT_OK);
    // The record idsGetFingerprintCB takes and frees: {completion, context}.
    struct Completion {
        CompletionCallback callback;
        void* context;
    };
    auto* completion = static_cast<Completion*>(palRealMalloc(sizeof(Completion)));
    ASSERT_NE(completion, nullptr);
    *completion = {onCaptured, &log_};
    simusb::clearCommandLog(id_);
    ASSERT_EQ(idsSensorSendGetFingerprint(context, image, idsGetFingerprintCB, completion), TCS_RESULT_OK);
    EXPECT_EQ(idsSensorSetPrintConfig(imaging, nullptr), TCS_RESULT_OK);
    ASSERT_EQ(tcsSetParam(client_, 16, 0), TCS_RESULT_OK);
    EXPECT_EQ(tcsSensorGetFingerprintAsyncA(sensor_, onCaptured, &log_, nullptr), TCS_RESULT_SENSOR_BUSY);

    ASSERT_TRUE(waitFor([&] { return getPrints(id_) > 1; })) << "the unusable swipe is retried";
    EXPECT_FALSE(captured());
    simusb::pushFingerprintData(id_, model_.stream(0, 300));
    simusb::setStoredState(id_, "fingerState", {2, 0});
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    EXPECT_EQ(log_.status, TCS_RESULT_OK);
    tcsHandleDestroy(log_.image);
    size_t commands = 0;
    for (const auto& command : simusb::commandLog(id_)) {
        if (command.size() < 5 || command[0] != 0x02 || command[3] != 0 || command[4] != 0) continue;
        ++commands;
        const bool carriesMark = std::search(command.begin(), command.end(), std::begin(mark), std::end(mark)) !=
                                 command.end();
        EXPECT_TRUE(carriesMark) << "capture command " << commands;
    }
    EXPECT_EQ(commands, 2u);
}

// The tag records of a capture command ({0x02, u16 line length, u16 lines, records}): each record's
// tag and offset.
std::vector<std::pair<uint16_t, size_t>> records(const std::vector<uint8_t>& command) {
    std::vector<std::pair<uint16_t, size_t>> out;
    for (size_t at = 5; at + 4 <= command.size(); at += 4 + size_t(command[at + 2] | command[at + 3] << 8)) {
        out.push_back({uint16_t(command[at] | command[at + 1] << 8), at});
    }
    return out;
}

bool readsUntilStopped(const std::vector<uint8_t>& c) {
    return c.size() >= 5 && c[0] == 0x02 && c[3] == 0 && c[4] == 0;
}

// The PGA offset (register 0x300420C8) that the sensor's last capture command until stopped wrote
// with its calibration records (tag 3); -1 when it wrote none.
int captureOffset(simusb::SensorId id) {
    const std::vector<std::vector<uint8_t>> log = simusb::commandLog(id);
    const auto last = std::find_if(log.rbegin(), log.rend(), readsUntilStopped);
    if (last == log.rend()) return -1;
    const std::vector<uint8_t>& c = *last;
    for (auto [tag, at] : records(c)) {
        if (tag == 3 && at + 12 <= c.size() && c[at + 4] == 0xC8 && c[at + 5] == 0x20 && c[at + 6] == 0x04 &&
            c[at + 7] == 0x30) {
            return c[at + 8];
        }
    }
    return -1;
}

// Capture mode 3 waits for the finger in wake on event: the sensor is armed with the calibrated
// set-up and sleeps; the finger wakes it, the finger status reports the wake (flag 0x10 only), and
// the swipe that follows gives the image a capture without finger detection makes of it.
TEST_F(CaptureStack, WakeOnEventCaptureEndsWithTheSwipesImage) {
    const std::vector<uint8_t> swipe = model_.stream(0, 300);
    open(false);
    ASSERT_NE(sensor_, 0u);
    ASSERT_EQ(tcsSetParam(client_, 16, 0), TCS_RESULT_OK);
    captureSwiping(swipe);
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    ASSERT_EQ(log_.status, TCS_RESULT_OK);
    const Delivered reference = delivered(log_.image);
    ASSERT_GT(reference.rows, 150u);
    tcsHandleDestroy(log_.image);

    ASSERT_EQ(tcsSetParam(client_, 16, 3), TCS_RESULT_OK);
    simusb::clearCommandLog(id_);
    captureSwiping(swipe, nullptr, false, 11);  // the swipe follows the finger
    ASSERT_TRUE(waitFor([&] { return log_.has(8); }));
    EXPECT_EQ(simusb::transientState(id_, "woeArmed"), std::vector<uint8_t>{1});
    // Asleep without a finger: no capture command yet.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(log_.has(11));
    EXPECT_EQ(getPrints(id_), 0u);
    simusb::setStoredState(id_, "fingerState", {2, 0});
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    ASSERT_EQ(log_.status, TCS_RESULT_OK);
    EXPECT_TRUE(log_.has(11));
    EXPECT_TRUE(simusb::transientState(id_, "woeArmed").empty()) << "the wake was reported";
    EXPECT_TRUE(delivered(log_.image) == reference);
    tcsHandleDestroy(log_.image);
    // The set-up went out before the swipe's capture command.
    const std::vector<std::vector<uint8_t>> commands = simusb::commandLog(id_);
    const auto setup = std::find_if(commands.begin(), commands.end(), [](const auto& c) { return c[0] == 0x12; });
    const auto capture = std::find_if(commands.begin(), commands.end(), readsUntilStopped);
    ASSERT_NE(setup, commands.end());
    ASSERT_NE(capture, commands.end());
    EXPECT_LT(setup, capture);
}

// Calibration sweeps (captures whose records carry a sweep record, tag 13) in the log.
size_t sweeps(simusb::SensorId id) {
    size_t n = 0;
    for (const auto& c : simusb::commandLog(id)) {
        if (c.size() < 5 || c[0] != 0x02) continue;
        const auto r = records(c);
        n += std::any_of(r.begin(), r.end(), [](const auto& record) { return record.first == 13; });
    }
    return n;
}

// The front end drifts: the resting levels the capture reads as its baseline move out of range, the
// reconstruction marks the image "may not be properly calibrated" (0x400000), and after delivering
// it the capture recalibrates the sensor. The sweeps find the PGA offset that trims the drift, the
// next capture writes it, and the sensor's baseline is in range again.
TEST_F(CaptureStack, DriftedSensorRecalibratesAfterTheCaptureAndTheNextUsesIt) {
    const std::vector<uint8_t> swipe = model_.stream(0, 300);
    open(true);
    ASSERT_NE(sensor_, 0u);
    ASSERT_EQ(tcsSetParam(client_, 16, 0), TCS_RESULT_OK);
    auto captureOnce = [&] {
        captureSwiping(swipe);
        EXPECT_TRUE(waitFor([&] { return captured(); }, 20000));
        EXPECT_EQ(log_.status, TCS_RESULT_OK);
        const Delivered image = delivered(log_.image);
        tcsHandleDestroy(log_.image);
        return image;
    };
    const Delivered steady = captureOnce();
    const int calibrated = captureOffset(id_);
    EXPECT_EQ(calibrated, 0x40);
    EXPECT_EQ(steady.quality & 0x400000u, 0u);

    void* object = nullptr;
    ASSERT_EQ(tcsSafeSensorHandleFetch(sensor_, &object), TCS_RESULT_OK);
    ScsSensor* control = static_cast<SensorRecord*>(object)->sensorControlSensor;
    uint32_t attempts = 0, attemptsAfter = 0;
    ASSERT_EQ(scsSensorGetCalibrateAttemptsCount(control, &attempts), TCS_RESULT_OK);
    simusb::setStoredState(id_, "afeDrift", {72});  // 12 offset steps
    simusb::clearCommandLog(id_);
    const Delivered drifted = captureOnce();
    EXPECT_EQ(drifted.quality & 0x400000u, 0x400000u);
    EXPECT_EQ(captureOffset(id_), calibrated) << "the drifted capture still ran on the old calibration";
    EXPECT_GT(sweeps(id_), 0u) << "recalibrated after the capture";
    ASSERT_EQ(scsSensorGetCalibrateAttemptsCount(control, &attemptsAfter), TCS_RESULT_OK);
    EXPECT_EQ(attemptsAfter, attempts + 1);

    // The next capture writes the offset found for the drift. Its baseline was read before that
    // write, still on the old trim, so it recalibrates once more; from then on the levels are in range.
    simusb::clearCommandLog(id_);
    captureOnce();
    EXPECT_EQ(captureOffset(id_), 0x40 - 12);
    EXPECT_EQ(simusb::transientState(id_, "pgaOffset"), std::vector<uint8_t>{0x40 - 12});
    simusb::clearCommandLog(id_);
    const Delivered trimmed = captureOnce();
    EXPECT_EQ(captureOffset(id_), 0x40 - 12);
    EXPECT_EQ(trimmed.quality & 0x400000u, 0u);
    EXPECT_EQ(sweeps(id_), 0u) << "no second recalibration";
}

// A stack started with recalibration after captures switched off (start-up flag bit 26) delivers
// the drifted capture and leaves the calibration alone.
TEST_F(CaptureStack, DriftedSensorIsNotRecalibratedWhenStartedWithoutIt) {
    startFlags_ = TCS_START_FAST_POLL | 0x04000000u;
    const std::vector<uint8_t> swipe = model_.stream(0, 300);
    open(true);
    ASSERT_NE(sensor_, 0u);
    ASSERT_EQ(tcsSetParam(client_, 16, 0), TCS_RESULT_OK);
    simusb::setStoredState(id_, "afeDrift", {72});
    simusb::clearCommandLog(id_);
    captureSwiping(swipe);
    ASSERT_TRUE(waitFor([&] { return captured(); }, 20000));
    ASSERT_EQ(log_.status, TCS_RESULT_OK);
    const Delivered drifted = delivered(log_.image);
    tcsHandleDestroy(log_.image);
    EXPECT_EQ(drifted.quality & 0x400000u, 0x400000u) << "the image says it may not be calibrated";
    EXPECT_EQ(sweeps(id_), 0u) << "and yet no recalibration";
}

// A sensor with selective suspend: capture mode 2 suspends the link while it waits for the finger,
// then reads the swipe and sets up wake on event again. Re-initialising after a suspend (reconfigure)
// and resuming from one move the device back to initialisation: meanwhile captures are refused
// with 358, and afterwards the same handles capture again.
TEST_F(CaptureStack, SelectiveSuspendCaptureAndReinitialisationKeepTheHandles) {
    palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\tfs530", "useSelectiveSuspend", 1);
    const std::vector<uint8_t> swipe = model_.stream(0, 300);
    open(true);
    ASSERT_NE(sensor_, 0u);
    // A re-initialisation of this sensor sends no command that could be held: it starts and then
    // waits before its steps while the test holds it.
    struct Release {
        ~Release() { scsTestHoldDeviceInit(0); }
    } release;
    ASSERT_EQ(tcsSetParam(client_, 16, 0), TCS_RESULT_OK);
    captureSwiping(swipe);
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    const Delivered reference = delivered(log_.image);
    tcsHandleDestroy(log_.image);

    ASSERT_EQ(tcsSetParam(client_, 16, 2), TCS_RESULT_OK);
    simusb::clearCommandLog(id_);
    captureSwiping(swipe);
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    ASSERT_EQ(log_.status, TCS_RESULT_OK);
    EXPECT_TRUE(delivered(log_.image) == reference);
    tcsHandleDestroy(log_.image);
    {
        // The capture command carried the wake-on-event record (tag 7), and the set-up went out
        // again after the swipe.
        const std::vector<std::vector<uint8_t>> commands = simusb::commandLog(id_);
        const auto capture = std::find_if(commands.begin(), commands.end(), readsUntilStopped);
        ASSERT_NE(capture, commands.end());
        const auto sent = records(*capture);
        EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [](const auto& record) { return record.first == 7; }));
        EXPECT_NE(std::find_if(capture, commands.end(), [](const auto& c) { return c[0] == 0x12; }), commands.end());
    }

    void* object = nullptr;
    ASSERT_EQ(tcsSafeSensorHandleFetch(sensor_, &object), TCS_RESULT_OK);
    ScsSensor* control = static_cast<SensorRecord*>(object)->sensorControlSensor;
    auto initialised = [&] {
        uint32_t done = 0;
        return scsIsSensorInitialized(control, &done) == TCS_RESULT_OK && done == 1;
    };
    struct Road {
        const char* name;
        TcsResult (*start)(TcsHandle);
    };
    for (const Road& road : {Road{"reconfigure", tcsSensorReconfigureStart},
                             Road{"resume", tcsSensorResumeFromSelectiveSuspend}}) {
        scsTestHoldDeviceInit(2);
        ASSERT_EQ(road.start(sensor_), TCS_RESULT_OK) << road.name;
        ASSERT_TRUE(waitFor([&] { return !initialised(); })) << road.name;
        uint32_t finished = 9;
        EXPECT_EQ(tcsSensorReconfigureIsFinished(sensor_, &finished), TCS_RESULT_OK);
        EXPECT_EQ(finished, 0u) << road.name;
        EXPECT_EQ(tcsSensorGetFingerprintAsyncA(sensor_, onCaptured, &log_, nullptr), TCS_RESULT_SENSOR_INITIALIZING)
            << road.name;
        RawLog raw;
        EXPECT_EQ(tcsSensorGetRawFingerprintAsync(sensor_, onRawData, &raw), TCS_RESULT_SENSOR_INITIALIZING)
            << road.name;
        scsTestHoldDeviceInit(0);
        ASSERT_TRUE(waitFor([&] { return initialised(); })) << road.name;
        EXPECT_EQ(tcsSensorReconfigureIsFinished(sensor_, &finished), TCS_RESULT_OK);
        EXPECT_EQ(finished, 1u) << road.name;
        // The same handles capture again, in the finger-polling mode.
        ASSERT_EQ(tcsSetParam(client_, 16, 4), TCS_RESULT_OK);
        captureSwiping(swipe);
        ASSERT_TRUE(waitFor([&] { return captured(); })) << road.name;
        EXPECT_EQ(log_.status, TCS_RESULT_OK) << road.name;
        tcsHandleDestroy(log_.image);
    }
}

// A light finger swiped with little contrast (the swipe model at a fifth of its contrast). Contrast
// enhancement along rows and columns (CfgInfo 0x20000 and 0x80000, both in the default word)
// stretches the image to the full grey range before any matcher sees it. A CfgInfo without them
// delivers it as faint as it came (the quality verdict calls it unusable, finding no mid-grey
// columns, so only a capture without retries, mode 0, delivers it): matcher 4's engine refuses its
// record as it stands, and matcher 4, which stretches the record it hands to the engine, still makes
// a template of it. Analog reconstruction of the image (0x40) stays off in both: it undoes a sample
// coupling that the stand-in's lines do not have, and bends faint rows into ramps.
TEST_F(CaptureStack, FaintSwipeReachesMatcher4Stretched) {
    swipe_model::SwipeConfig config;
    config.noiseSigma = 2;
    config.contrast = 0.2;
    model_ = swipe_model::SwipeModel(swipe_model::syntheticRidges(300, 500, 9, 150, 150), config);
    open(true);
    ASSERT_NE(sensor_, 0u);
    ASSERT_EQ(tcsSetParam(client_, 16, 0), TCS_RESULT_OK);  // capture mode 0
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client_, MSS_MATCHER_RECOG, &matcher), TCS_RESULT_OK);
    ContextInitBlock init{};
    init.size = sizeof init;
    init.allocate = [](size_t size, void*) { return std::malloc(size); };
    init.deallocate = [](void* block, void*) { std::free(block); };
    RecogHandle engine = nullptr;
    ASSERT_EQ(RecogCreateContext(&init, &engine), RECOG_OK);
    struct Case {
        const char* name;
        uint32_t cfgInfo;
        bool stretched;
    };
    for (const Case& c : {Case{"contrast enhancement", 0x010B3F1Bu, true}, Case{"none", 0x01013F1Bu, false}}) {
        palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\IR", "CfgInfo", c.cfgInfo);
        captureSwiping(model_.stream(0, 400));
        ASSERT_TRUE(waitFor([&] { return captured(); })) << c.name;
        ASSERT_EQ(log_.status, TCS_RESULT_OK) << c.name;
        void* record = nullptr;
        ASSERT_EQ(tcsSafeImageHandleFetch(log_.image, &record), TCS_RESULT_OK) << c.name;
        auto* image = static_cast<ImageRecord*>(record);
        ASSERT_GT(image->rows, 200u) << c.name;
        std::vector<uint8_t> greys(tcsImagePixels(image), tcsImagePixels(image) + image->rows * image->columns);
        std::sort(greys.begin(), greys.end());
        const uint8_t low = greys[greys.size() / 20], high = greys[greys.size() * 19 / 20];
        if (c.stretched) {
            EXPECT_LE(low, 32) << c.name;
            EXPECT_GE(high, 224) << c.name;
        } else {
            EXPECT_GE(low, 160) << c.name;
            EXPECT_EQ(image->quality & 0x80000000u, 0x80000000u) << c.name;
        }
        uint8_t* ansi = nullptr;
        uint32_t size = 0;
        ASSERT_EQ(tcsImageToAnsi381(image, &ansi, &size), TCS_RESULT_OK);
        RecogHandle features = nullptr;
        EXPECT_EQ(RecogCreateFeatureSet(engine, ansi, size, RECOG_FORMAT_ANSI_381, 7, 0, &features),
                  c.stretched ? RECOG_OK : RECOG_E_TOO_FEW_FEATURES)
            << c.name;
        if (features != nullptr) RecogCloseHandle(features);
        FreeAnsi381Image(ansi);
        TcsHandle templ = 0;
        EXPECT_EQ(tcsMatcherExtractTemplate(matcher, log_.image, &templ), TCS_RESULT_OK) << c.name;
        if (templ != 0) tcsHandleDestroy(templ);
        tcsHandleDestroy(log_.image);
    }
    RecogCloseHandle(engine);
    EXPECT_EQ(tcsMatcherClose(matcher), TCS_RESULT_OK);
}

// A sensor that stops answering while the stack shuts down: one endpoint wedged under a command
// from another thread (its request or its reply) or under a capture (the fingerprint data), or the
// sensor pulled out meanwhile. Shut-down ends, the command's caller and the capture are answered,
// and nothing either made is left behind: the sanitizer build's leak check at exit sees to that.
// The wedged transfer returns, as a transfer does once its own time-out passes, only after the stack
// has given up on it: the command's caller answered, or the capture's cancel under way for a while.
struct Silence {
    const char* name;
    uint8_t endpoint;
    bool capture;
    bool unplug;
};

// Test names stay free of the case's pointer.
void PrintTo(const Silence& silence, std::ostream* out) { *out << silence.name; }

class SilentSensorAtShutDown : public CaptureStack, public ::testing::WithParamInterface<Silence> {
protected:
    // Whether the device has a transfer of the queue given under way.
    static bool pending(ScsSensorDevice* device, int queue) {
        ScsDescriptorQueue& q = device->queues[queue];
        palMutexAcquire(q.lock, PAL_INFINITE);
        const bool any = !palListIsEmpty(&q.pending);
        palMutexRelease(q.lock);
        return any;
    }
};

TEST_P(SilentSensorAtShutDown, ShutDownEndsAndLeavesNothingBehind) {
    const Silence& c = GetParam();
    open(true);
    ASSERT_NE(sensor_, 0u);
    void* record = nullptr;
    ASSERT_EQ(tcsSafeSensorHandleFetch(sensor_, &record), TCS_RESULT_OK);
    ScsSensor* commanded = static_cast<SensorRecord*>(record)->sensorControlSensor;
    ScsSensorDevice* device = commanded->device;
    std::atomic<bool> answered{false};
    TcsResult result = 0xFFFF;
    std::thread caller;
    if (c.capture) {
        // Wedged once the finger is seen: a calibrated sensor's capture reads its baseline lines over
        // the same endpoint first.
        captureSwiping({});  // the finger is on the sensor, but no line of it comes
        ASSERT_TRUE(waitFor([&] { return log_.has(11); }));
        simusb::stallEndpoint(id_, c.endpoint, true);
        ASSERT_TRUE(waitFor([&] { return pending(device, SCS_QUEUE_FP_BUFFER); }));
    } else {
        simusb::stallEndpoint(id_, c.endpoint, true);
        // A synchronous command on the handle's sensor-control sensor, queued for the service thread
        // (the core's own version calls answer from the cache).
        const size_t sent = simusb::commandLog(id_).size();
        caller = std::thread([&, commanded] {
            char text[80];
            result = scsSensorGetVersion(commanded, text);
            answered = true;
        });
        ASSERT_TRUE(waitFor([&] {
            return pending(device, SCS_QUEUE_REQUEST) && (c.endpoint == 0x01 || simusb::commandLog(id_).size() > sent);
        }));
    }
    if (c.unplug) simusb::unplug(id_);
    // From here the clock runs ten times as fast, so every wait for the silent sensor runs out soon.
    palTestSetClock(uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count()));
    std::atomic<bool> down{false};
    std::thread clock([&] {
        bool wedged = true;
        for (uint32_t ms = 0; !down; ms += 50) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            palTestAdvanceClock(50);
            if (wedged && (answered || captured() || (c.capture && ms >= 5000))) {
                simusb::stallEndpoint(id_, c.endpoint, false);
                wedged = false;
            }
        }
    });
    const auto before = Clock::now();
    EXPECT_EQ(tcsShutdown(stack_), TCS_RESULT_OK);
    down = true;
    clock.join();
    stack_ = nullptr;
    client_ = 0;
    sensor_ = 0;
    if (caller.joinable()) caller.join();
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(10));
    if (c.capture) {
        EXPECT_TRUE(captured());
        EXPECT_NE(log_.status, TCS_RESULT_OK);
        EXPECT_EQ(log_.image, 0u);
    } else {
        EXPECT_TRUE(answered);
        EXPECT_NE(result, TCS_RESULT_OK);
    }
    simusb::stallEndpoint(id_, c.endpoint, false);
    palTestUseRealClock();
}

INSTANTIATE_TEST_SUITE_P(Endpoints, SilentSensorAtShutDown,
                         ::testing::Values(Silence{"RequestWrite", 0x01, false, false},
                                           Silence{"ReplyRead", 0x81, false, false},
                                           Silence{"FingerprintData", 0x82, true, false},
                                           Silence{"ReplyReadThenUnplugged", 0x81, false, true},
                                           Silence{"FingerprintDataThenUnplugged", 0x82, true, true}),
                         [](const ::testing::TestParamInfo<Silence>& info) { return std::string(info.param.name); });

}  // namespace
