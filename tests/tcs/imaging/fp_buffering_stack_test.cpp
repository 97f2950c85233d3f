// Captures on the in-process stack that end otherwise than by the sensor's end of swipe: a swipe
// whose data stops coming is ended by the capture's data time limit, and a 4.60 sensor that kept
// part of the swipe on itself (fingerprint buffering) hands it back to be put in front of the rest.
#include "platform/settings.h"
#include "platform/test_seams.h"
#include "platform/usb_test_seams.h"
#include "sim/swipe/swipe_model.h"
#include "sim/usb/firmware.h"
#include "sim/usb/sim_usb.h"
#include "tcs/core.h"
#include "tcs/handle_map.h"
#include "tcs/imaging/capture_file.h"
#include "tcs/imaging/ids_internal.h"
#include "tcs/tcs.h"
#include "tests/tcs/imaging/delivered_image.h"
#include "tests/tcs/sim_version.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// What the sensor's events and the capture's completion told the test. The swipe goes out from the
// thread that raises the event asking for it (8), as a person would swipe on being asked.
struct Log {
    std::mutex lock;
    std::vector<std::pair<uint32_t, uint32_t>> events;  // id, status
    std::string readyName;
    size_t readyCount = 0;
    bool done = false;
    uint64_t image = 0;
    TcsResult status = 0;
    simusb::SensorId sensor = 0;
    std::vector<uint8_t> swipe;
};

TcsResult onSystemEvent(void*, void* context, EventRecord* event) {
    auto* log = static_cast<Log*>(context);
    std::lock_guard<std::mutex> hold(log->lock);
    if (event->id == TCS_SYSTEM_EVENT_SENSOR_READY && event->data != nullptr) {
        log->readyName.assign(static_cast<const char*>(event->data),
                              strnlen(static_cast<const char*>(event->data), event->dataSize));
        ++log->readyCount;
    }
    return TCS_RESULT_OK;
}

TcsResult onSensorEvent(void*, void* context, EventRecord* event) {
    auto* log = static_cast<Log*>(context);
    std::lock_guard<std::mutex> hold(log->lock);
    log->events.push_back({event->id, event->status});
    if (event->id == 8 && !log->swipe.empty()) {
        simusb::pushFingerprintData(log->sensor, log->swipe);
        log->swipe.clear();
    }
    return TCS_RESULT_OK;
}

TcsResult onCaptured(void* image, TcsResult status, void* context) {
    auto* log = static_cast<Log*>(context);
    std::lock_guard<std::mutex> hold(log->lock);
    log->done = true;
    log->image = uint64_t(uintptr_t(image));
    log->status = status;
    return TCS_RESULT_OK;
}

// The stack with one virtual sensor whose module is the swipe model's, its stored state written
// before it is plugged.
class CaptureEnds : public ::testing::Test {
protected:
    void SetUp() override {
        simusb::resetAll();
        palTestSetUsbPollInterval(5);
        palTestSetUsbWorkerStopTimeout(0);
        const std::string base = ::testing::TempDir() + "/ids_capture_ends_" + std::to_string(getpid());
        settings_ = base + "_settings";
        stateDir_ = base + "_state";
        ASSERT_EQ(std::system(("rm -rf " + stateDir_ + " && mkdir -p " + stateDir_).c_str()), 0);
        palTestSetSettingsPath(settings_.c_str());
        simusb::setStateDirectory(stateDir_);
    }

    void TearDown() override {
        palTestUseRealClock();
        if (sensor_ != 0) {
            EXPECT_EQ(tcsSensorClose(sensor_), TCS_RESULT_OK);
        }
        if (client_ != 0) {
            EXPECT_EQ(tcsClientDestroy(client_), TCS_RESULT_OK);
        }
        if (stack_ != nullptr) {
            EXPECT_EQ(tcsShutdown(stack_), TCS_RESULT_OK);
        }
        simusb::resetAll();
        palTestSetUsbPollInterval(0);
        palTestSetSettingsPath(nullptr);
        std::remove(settings_.c_str());
        std::system(("rm -rf " + stateDir_).c_str());
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_IMAGE, nullptr);
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_SENSOR, nullptr);
    }

    // Plugs a family-1 sensor of firmware 4.<minor> (USB variant and version record variant byte)
    // with a finger on it, starts the stack and opens the sensor once it is ready.
    void open(uint8_t minor, uint8_t variant, uint8_t capabilities) {
        simusb::SensorSpec spec;
        spec.serial = "CAP" + std::to_string(minor);
        spec.variant = variant;
        simusb::Firmware firmware(spec.serial, spec.productId, variant);
        std::vector<uint8_t> version = simVersionRecord(minor, variant, capabilities);
        if (variant == 0) version[14] = 0;  // nothing to pair
        firmware.stored("version") = version;
        const std::vector<uint32_t> words = model_.timeslotWords();
        std::vector<uint8_t> reply(words.size() * 4);
        std::memcpy(reply.data(), words.data(), reply.size());
        firmware.stored("configReply") = reply;
        firmware.stored("fingerState") = {2, 0};
        firmware.storedChanged();
        ASSERT_TRUE(firmware.save(stateDir_));
        // The module is named at start-up, as the tool's "-flexid" does.
        static uint32_t flexId = 14;
        StartupOption options[] = {{3, &flexId}, {0, nullptr}};
        ASSERT_EQ(tcsStartupEx(&stack_, TCS_START_FAST_POLL, options), TCS_RESULT_OK);
        ASSERT_EQ(tcsClientCreateSys(stack_, &client_), TCS_RESULT_OK);
        ASSERT_EQ(tcsClientEventsAddCallback(client_, onSystemEvent, &log_), TCS_RESULT_OK);
        id_ = simusb::plug(spec);
        ASSERT_NE(id_, 0);
        ASSERT_TRUE(waitFor([&] {
            std::lock_guard<std::mutex> hold(log_.lock);
            return log_.readyCount > 0;
        }));
        ASSERT_EQ(tcsSensorOpenA(client_, log_.readyName.c_str(), &sensor_), TCS_RESULT_OK);
        ASSERT_EQ(tcsSensorEventsAddCallback(sensor_, onSensorEvent, &log_), TCS_RESULT_OK);
        for (uint32_t event : {5u, 6u, 7u, 8u, 11u, 20u}) tcsSensorEventListen(sensor_, event, 1);
    }

    bool waitFor(const std::function<bool()>& condition, int ms = 10000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (!condition()) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    bool captured() {
        std::lock_guard<std::mutex> hold(log_.lock);
        return log_.done;
    }

    bool seen(uint32_t id) {
        std::lock_guard<std::mutex> hold(log_.lock);
        return std::any_of(log_.events.begin(), log_.events.end(), [&](const auto& e) { return e.first == id; });
    }

    IdsSensor* imagingSensor() {
        void* record = nullptr;
        if (tcsSafeSensorHandleFetch(sensor_, &record) != TCS_RESULT_OK) return nullptr;
        return static_cast<SensorRecord*>(record)->imagingSensor;
    }

    // Starts a capture in the given mode whose swipe the sensor sends once the capture asks for it.
    void captureSwiping(uint32_t mode, std::vector<uint8_t> swipe, const char* debugPath = nullptr) {
        // A capture's item leaves the work list just after its completion: the next one waits for it.
        IdsSubsystem* imaging = idsGetSubsystem(imagingSensor());
        ASSERT_TRUE(waitFor([&] { return idsIsGetPrintTaskInWorkList(imaging) == 0; }));
        ASSERT_EQ(tcsSetParam(client_, 16, mode), TCS_RESULT_OK);
        {
            std::lock_guard<std::mutex> hold(log_.lock);
            log_.done = false;
            log_.events.clear();
            log_.sensor = id_;
            log_.swipe = std::move(swipe);
        }
        ASSERT_EQ(tcsSensorGetFingerprintAsyncA(sensor_, onCaptured, &log_, debugPath), TCS_RESULT_OK);
    }

    swipe_model::SwipeModel model_ = [] {
        static const swipe_model::GreyImage finger = swipe_model::syntheticRidges(300, 500, 9, 150, 150);
        swipe_model::SwipeConfig config;
        config.noiseSigma = 2;
        return swipe_model::SwipeModel(finger, config);
    }();
    std::string settings_;
    std::string stateDir_;
    simusb::SensorId id_ = 0;
    CoreSubsystem* stack_ = nullptr;
    TcsHandle client_ = 0;
    TcsHandle sensor_ = 0;
    Log log_;
};

// A very slow swipe: the sensor keeps sending full buffers without an end mark, a buffer for every
// 400 ms of the stack's clock, for some 7 s. Two seconds after the first data the capture stops the
// sensor and makes the image of what came by then.
TEST_F(CaptureEnds, SwipeLongerThanTheDataTimeLimitIsStoppedThere) {
    open(30, 0, 0);
    ASSERT_NE(sensor_, 0u);
    const uint32_t chunk = kDefaultChunkSize;
    const uint32_t step = 400;
    swipe_model::SwipeConfig config;
    config.noiseSigma = 2;
    config.rowsPerLine = 0.1;  // the finger is still on the sensor long after the limit
    const swipe_model::SwipeModel slow(swipe_model::syntheticRidges(300, 500, 9, 150, 150), config);
    const std::vector<uint8_t> swipe = slow.stream(0, 20 * chunk / slow.recordBytes());
    // Pushes the next buffer and waits until the sensor's stream has been read to its end.
    size_t sent = 0;
    auto send = [&] {
        const size_t from = simusb::readLog(id_).size();
        simusb::pushFingerprintData(id_, std::vector<uint8_t>(swipe.begin() + std::ptrdiff_t(sent * chunk),
                                                              swipe.begin() + std::ptrdiff_t((sent + 1) * chunk)));
        ++sent;
        return waitFor([&] {
            const std::vector<simusb::ReadRecord> reads = simusb::readLog(id_);
            size_t bytes = 0;
            for (size_t r = from; r < reads.size(); ++r) {
                if (reads[r].endpoint == 0x82 && reads[r].result > 0) bytes += size_t(reads[r].result);
            }
            return bytes >= chunk;
        });
    };
    auto stopped = [&] {
        const std::vector<std::vector<uint8_t>> commands = simusb::commandLog(id_);
        return std::any_of(commands.begin(), commands.end(), [](const auto& c) { return !c.empty() && c[0] == 0x04; });
    };
    palTestSetClock(1800000000000ull);
    captureSwiping(0, {});
    ASSERT_TRUE(waitFor([&] { return seen(8); }));
    simusb::clearCommandLog(id_);
    uint32_t moved = 0;  // since the first buffer was read
    ASSERT_TRUE(send());
    while (!stopped() && (sent + 1) * chunk <= swipe.size()) {
        palTestAdvanceClock(step);
        moved += step;
        ASSERT_TRUE(send()) << sent;
    }
    ASSERT_TRUE(stopped()) << "the sensor was never stopped";
    EXPECT_GE(moved, 2000u) << "stopped short of the limit";
    // How long after the limit it stops depends on how far behind the sensor the stack reads (on a
    // loaded machine, several buffers): the bound is that it stopped while the swipe still came.
    // The clock moves on only as far as the stop's own wait needs.
    uint32_t after = 0;
    ASSERT_TRUE(waitFor([&] {
        if (captured()) return true;
        if (after < 1000) {
            palTestAdvanceClock(10);
            after += 10;
        }
        return false;
    })) << "the capture never ended";
    EXPECT_EQ(log_.status, TCS_RESULT_OK) << "stopped after " << moved << " ms";
    ASSERT_NE(log_.image, 0u);
    EXPECT_GT(delivered(log_.image).rows, 0u);
    tcsHandleDestroy(log_.image);
}

bool exists(const std::string& path) { return std::ifstream(path).good(); }

// The raw fingerprint data of a capture file.
std::vector<uint8_t> rawData(const std::string& path) {
    QcfFile* file = nullptr;
    if (fclQcfOpenA(&file, path.c_str()) != 0) return {};
    QcfSection s;
    std::memset(&s, 0, sizeof s);
    s.kind = QCF_KIND_RAW_FP_DATA;
    std::vector<uint8_t> out;
    if (fclQcfReadSection(file, &s) == 0 && s.u.raw.data != nullptr) {
        const auto* data = static_cast<const uint8_t*>(s.u.raw.data);
        out.assign(data, data + s.u.raw.dataLength);
    }
    fclQcfClose(file);
    return out;
}

// The height of a BMP file (its header's i32 at 22); -1 when it cannot be read.
int32_t bmpHeight(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    uint8_t header[26] = {};
    if (!file.read(reinterpret_cast<char*>(header), sizeof header)) return -1;
    return int32_t(uint32_t(header[22]) | uint32_t(header[23]) << 8 | uint32_t(header[24]) << 16 |
                   uint32_t(header[25]) << 24);
}

// A secured 4.60 sensor, paired, with selective suspend: capture mode 2 buffers. The sensor keeps
// what it scanned before the swipe, two records for the host ahead of the swipe and the rest in the
// ring of its flash; the host reads the ring back after the swipe and puts the whole in front of
// it. Those resting lines make one row of background at the image's top: below it the image is the
// one the same swipe gives unbuffered, row for row. The capture file holds the buffered records
// first, the raw-line image their lines in front of the swipe's, and the next buffered capture (the
// buffering restarted) does the same.
TEST_F(CaptureEnds, BufferedCaptureOn460HoldsTheUnbufferedImage) {
    palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\tfs530", "useSelectiveSuspend", 1);
    // The virtual sensor sends a swipe a test pushes as it is, never encrypted.
    palSetPersistentDataLongValue("SOFTWARE\\Tovantic\\tfs530", "encryptFPData", 0);
    open(60, 5, 0x10);
    ASSERT_NE(sensor_, 0u);
    // Paired by keys: the re-initialisation that follows lays out the flash with the ring.
    size_t readies = 0;
    {
        std::lock_guard<std::mutex> hold(log_.lock);
        readies = log_.readyCount;
    }
    ASSERT_EQ(tcsSensorSetOwnerWithKeys(sensor_, nullptr, nullptr, nullptr, nullptr, nullptr), TCS_RESULT_OK);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> hold(log_.lock);
        return log_.readyCount > readies;
    }));
    EXPECT_EQ(tcsSensorClose(sensor_), TCS_RESULT_OK);
    sensor_ = 0;
    ASSERT_EQ(tcsSensorOpenA(client_, log_.readyName.c_str(), &sensor_), TCS_RESULT_OK);
    ASSERT_EQ(tcsSensorEventsAddCallback(sensor_, onSensorEvent, &log_), TCS_RESULT_OK);
    for (uint32_t event : {5u, 6u, 7u, 8u, 11u, 20u}) tcsSensorEventListen(sensor_, event, 1);

    const std::string prefix = ::testing::TempDir() + "/ids_buffered" + std::to_string(getpid()) + "_";
    ASSERT_EQ(tcsSetParam(client_, 4, 1), TCS_RESULT_OK);  // raw-line debug image
    const std::vector<uint8_t> swipe = model_.stream(0, 300);
    std::remove((prefix + "raw.bmp").c_str());
    captureSwiping(0, swipe, prefix.c_str());
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    ASSERT_EQ(log_.status, TCS_RESULT_OK);
    const Delivered reference = delivered(log_.image);
    tcsHandleDestroy(log_.image);
    ASSERT_GT(reference.rows, 150u);
    const int32_t rawLines = bmpHeight(prefix + "raw.bmp");
    ASSERT_GT(rawLines, 0);

    ASSERT_EQ(tcsSetParam(client_, 1, 1), TCS_RESULT_OK);  // capture file
    constexpr size_t kRecord = 144, kBuffered = 18;
    for (int capture = 0; capture < 2; ++capture) {
        SCOPED_TRACE(capture);
        for (const char* suffix : {".qcf", "raw.bmp"}) std::remove((prefix + suffix).c_str());
        captureSwiping(2, swipe, prefix.c_str());
        ASSERT_TRUE(waitFor([&] { return captured(); }));
        ASSERT_EQ(log_.status, TCS_RESULT_OK);
        const Delivered buffered = delivered(log_.image);
        tcsHandleDestroy(log_.image);
        ASSERT_EQ(buffered.columns, reference.columns);
        ASSERT_EQ(buffered.rows, reference.rows + 1);
        EXPECT_TRUE(std::equal(reference.pixels.begin(), reference.pixels.end(),
                               buffered.pixels.begin() + std::ptrdiff_t(buffered.columns)));
        ASSERT_TRUE(exists(prefix + ".qcf"));
        const std::vector<uint8_t> raw = rawData(prefix + ".qcf");
        // (The swipe itself came while the capture waited in selective suspend, before the capture
        // file was opened, and is not in it.)
        ASSERT_GE(raw.size(), kBuffered * kRecord);
        size_t records = 0;
        while (records < kBuffered && raw[records * kRecord] == 1 && raw[records * kRecord + 1] == 254) ++records;
        EXPECT_EQ(records, kBuffered) << "the two records sent ahead of the swipe, then the ring's sixteen";
        // The raw-line image gets the lines of the buffered records in front of the swipe's: those
        // before the last one, whose pair only marks where they end.
        EXPECT_EQ(bmpHeight(prefix + "raw.bmp"), rawLines + int32_t(kBuffered) - 1);
    }
    for (const char* suffix : {".qcf", "raw.bmp"}) std::remove((prefix + suffix).c_str());
}

}  // namespace
