// The less travelled roads around a capture on the in-process stack: opening and closing a sensor
// through completion callbacks, the version through its wait-record callback, a discarded swipe's
// capture file kept aside, a fingerprint buffer that fails mid-swipe, a swipe whose end mark fills
// a buffer, and the selective-suspend clean-up of a failed capture in mode 2.
#include "sim/swipe/swipe_model.h"
#include "tcs/imaging/capture_file.h"
#include "tcs/imaging/ids_internal.h"
#include "tests/tcs/imaging/delivered_image.h"
#include "tests/tcs/sim_version.h"
#include "tests/tcs/stack_fixture.h"

#include <dirent.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// What one completion callback was given.
struct Completion {
    std::mutex lock;
    bool done = false;
    uint64_t value = 0;
    TcsResult status = 0;
    size_t calls = 0;
};

TcsResult onCompletion(void* value, TcsResult status, void* context) {
    auto* c = static_cast<Completion*>(context);
    std::lock_guard<std::mutex> hold(c->lock);
    c->done = true;
    c->value = uint64_t(uintptr_t(value));
    c->status = status;
    ++c->calls;
    return TCS_RESULT_OK;
}

// The sensor's events; the swipe goes out, buffer by buffer, from the thread that raises the event
// asking for it (8), as a person swipes on being asked.
struct Swipe {
    std::mutex lock;
    std::vector<std::pair<uint32_t, uint32_t>> events;  // id, status
    simusb::SensorId sensor = 0;
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<simusb::ReadStep> faults;  // scripted on the fingerprint endpoint as the swipe starts
};

TcsResult onSensorEvent(void*, void* context, EventRecord* event) {
    auto* s = static_cast<Swipe*>(context);
    std::lock_guard<std::mutex> hold(s->lock);
    s->events.push_back({event->id, event->status});
    if (event->id == 8) {
        if (!s->faults.empty()) simusb::scriptReads(s->sensor, 0x82, s->faults);
        s->faults.clear();
        for (const std::vector<uint8_t>& buffer : s->buffers) simusb::pushFingerprintData(s->sensor, buffer);
        s->buffers.clear();
    }
    return TCS_RESULT_OK;
}

// A 4.30 family-1 sensor with nothing to pair: its initialisation detects the module and loads the
// print configuration.
std::vector<uint8_t> versionBlock() {
    std::vector<uint8_t> v = simVersionRecord(30, 1, 0);
    v[14] = 0;
    return v;
}

swipe_model::SwipeModel swipeModel(uint8_t level = 0) {
    static const swipe_model::GreyImage finger = swipe_model::syntheticRidges(300, 500, 9, 150, 150);
    swipe_model::GreyImage flat;
    flat.width = 300;
    flat.height = 500;
    flat.pixels.assign(size_t(flat.width) * flat.height, level);
    swipe_model::SwipeConfig config;
    config.noiseSigma = level == 0 ? 2 : 1;
    return swipe_model::SwipeModel(level == 0 ? finger : flat, config);
}

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Bytes of raw fingerprint data in a capture file; 0 when it cannot be read.
size_t rawBytes(const std::string& path) {
    QcfFile* file = nullptr;
    if (fclQcfOpenA(&file, path.c_str()) != 0) return 0;
    QcfSection s;
    std::memset(&s, 0, sizeof s);
    s.kind = QCF_KIND_RAW_FP_DATA;
    size_t bytes = 0;
    if (fclQcfReadSection(file, &s) == 0 && s.u.raw.data != nullptr) bytes = s.u.raw.dataLength;
    fclQcfClose(file);
    return bytes;
}

class CaptureRoads : public StackFixture {
protected:
    static constexpr const char* kTfs530 = "SOFTWARE\\Tovantic\\tfs530";

    CaptureRoads() {
        folderName_ = "ids_capture_roads";
        startFlags_ = TCS_START_FAST_POLL;
        startOptions_ = modelModuleOption();
        waitMs_ = 8000;
    }

    void TearDown() override {
        StackFixture::TearDown();
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_IMAGE, nullptr);
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_SENSOR, nullptr);
    }

    // A sensor whose module is the swipe model's, with a finger on it, opened.
    void open() {
        answerVersion(versionBlock());
        plug();
        carryModule(model_.timeslotWords(), true);
        startStack();
        openWhenReady();
        listen();
    }
    void listen() {
        ASSERT_EQ(tcsSensorEventsAddCallback(sensor_, onSensorEvent, &swipe_), TCS_RESULT_OK);
        for (uint32_t event : {5u, 6u, 7u, 8u, 11u, 20u}) tcsSensorEventListen(sensor_, event, 1);
    }

    IdsSensor* imagingSensor() {
        SensorRecord* record = sensorRecord();
        return record != nullptr ? record->imagingSensor : nullptr;
    }

    // Starts a capture in the mode whose swipe the sensor sends, in these buffers, once asked.
    void capture(uint32_t mode, std::vector<std::vector<uint8_t>> buffers, const char* debugPath = nullptr) {
        // A capture's item leaves the work list just after its completion: the next one waits for it.
        IdsSubsystem* imaging = idsGetSubsystem(imagingSensor());
        ASSERT_TRUE(waitFor([&] { return idsIsGetPrintTaskInWorkList(imaging) == 0; }));
        ASSERT_EQ(tcsSetParam(client_, 16, mode), TCS_RESULT_OK);
        {
            std::lock_guard<std::mutex> hold(swipe_.lock);
            swipe_.events.clear();
            swipe_.sensor = id_;
            swipe_.buffers = std::move(buffers);
        }
        {
            std::lock_guard<std::mutex> hold(captured_.lock);
            captured_.done = false;
            captured_.calls = 0;
        }
        ASSERT_EQ(tcsSensorGetFingerprintAsyncA(sensor_, onCompletion, &captured_, debugPath), TCS_RESULT_OK);
    }
    bool captured() {
        std::lock_guard<std::mutex> hold(captured_.lock);
        return captured_.done;
    }
    // The status of the last sensor event of the id; 0xFFFFFFFF when there was none.
    uint32_t eventStatus(uint32_t id) {
        std::lock_guard<std::mutex> hold(swipe_.lock);
        for (auto e = swipe_.events.rbegin(); e != swipe_.events.rend(); ++e) {
            if (e->first == id) return e->second;
        }
        return 0xFFFFFFFFu;
    }

    swipe_model::SwipeModel model_ = swipeModel();
    Swipe swipe_;
    Completion captured_;
};

// Opening by the wide name and closing through completion callbacks: the open's callback gets a
// working handle, the close's gets 0, and the handle is gone afterwards.
TEST_F(CaptureRoads, AsyncOpenAndCloseHandTheirResultsToTheCallback) {
    answerVersion(versionBlock());
    plug();
    startStack();
    ASSERT_TRUE(waitFor([&] { return countOf(TCS_SYSTEM_EVENT_SENSOR_READY) > 0; }));
    const std::string name = readyName();
    std::vector<uint16_t> wide(name.begin(), name.end());
    wide.push_back(0);

    Completion opened;
    ASSERT_EQ(tcsSensorOpenAsyncW(client_, wide.data(), onCompletion, &opened), TCS_RESULT_OK);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> hold(opened.lock);
        return opened.done;
    }));
    ASSERT_EQ(opened.status, TCS_RESULT_OK);
    const TcsHandle handle = opened.value;
    ASSERT_NE(handle, 0u);
    char version[80] = {};
    EXPECT_EQ(tcsSensorGetVersionA(handle, version), TCS_RESULT_OK);
    EXPECT_NE(version[0], '\0');

    Completion closed;
    ASSERT_EQ(tcsSensorCloseAsync(handle, onCompletion, &closed), TCS_RESULT_OK);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> hold(closed.lock);
        return closed.done;
    }));
    EXPECT_EQ(closed.status, TCS_RESULT_OK);
    EXPECT_EQ(closed.value, 0u);
    EXPECT_EQ(closed.calls, 1u);
    ASSERT_TRUE(waitFor([&] { return tcsSensorGetVersionA(handle, version) != TCS_RESULT_OK; }));
    EXPECT_EQ(tcsSensorCloseAsync(handle, onCompletion, &closed), TCS_RESULT_NULL_SENSOR_HANDLE);

    // A name no sensor has: the open is queued and its callback gets the failure and no handle.
    const std::u16string unknown = u"no such sensor";
    std::vector<uint16_t> unknownWide(unknown.begin(), unknown.end());
    unknownWide.push_back(0);
    Completion missing;
    ASSERT_EQ(tcsSensorOpenAsyncW(client_, unknownWide.data(), onCompletion, &missing), TCS_RESULT_OK);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> hold(missing.lock);
        return missing.done;
    }));
    EXPECT_EQ(missing.status, TCS_RESULT_SENSOR_NOT_FOUND);
    EXPECT_EQ(missing.value, 0u);
}

// Bad arguments are refused at once, and no callback runs for them.
TEST_F(CaptureRoads, AsyncOpenAndCloseRefuseBadArguments) {
    startStack();
    const uint16_t name[] = {'x', 0};
    Completion never;
    struct Case {
        const char* what;
        TcsResult got;
        TcsResult expected;
    };
    for (const Case& c : {
             Case{"open, no name", tcsSensorOpenAsyncW(client_, nullptr, onCompletion, &never), TCS_RESULT_BAD_PARAM},
             Case{"open, no client", tcsSensorOpenAsyncW(0, name, onCompletion, &never),
                  TCS_RESULT_NULL_CLIENT_HANDLE},
             Case{"open, no callback", tcsSensorOpenAsyncW(client_, name, nullptr, &never), TCS_RESULT_NULL_POINTER},
             Case{"close, no sensor", tcsSensorCloseAsync(0, onCompletion, &never), TCS_RESULT_NULL_SENSOR_HANDLE},
             Case{"close, a client's handle", tcsSensorCloseAsync(client_, onCompletion, &never),
                  TCS_RESULT_NULL_SENSOR_HANDLE},
         }) {
        EXPECT_EQ(c.got, c.expected) << c.what;
    }
    EXPECT_EQ(never.calls, 0u);
}

// The version through the wait-record callback: the record gets the text and its event is set; a
// failure leaves the caller's text alone; a record whose waiter gave up is freed by the callback.
TEST_F(CaptureRoads, VersionCallbackFillsTheWaitRecord) {
    open();
    ASSERT_NE(sensor_, 0u);
    char expected[80] = {};
    ASSERT_EQ(tcsSensorGetVersionA(sensor_, expected), TCS_RESULT_OK);

    char text[80];
    std::memset(text, '#', sizeof text);
    SyncWaitRecord record{TCS_SYNC_PENDING, palEventAlloc(0, 0, nullptr), text};
    ASSERT_NE(record.event, nullptr);
    ASSERT_EQ(tcsSensorGetVersionAsync(sensor_, tcsSensorGetVersionCB, &record), TCS_RESULT_OK);
    ASSERT_EQ(palEventWaitFor(record.event, 5000), TCS_RESULT_OK);
    EXPECT_EQ(__atomic_load_n(&record.status, __ATOMIC_ACQUIRE), uint32_t(TCS_RESULT_OK));
    EXPECT_EQ(std::memcmp(text, expected, sizeof text), 0);

    // A failure: its status reaches the record, the text stays as it was.
    std::memset(text, '#', sizeof text);
    record.status = TCS_SYNC_PENDING;
    palEventReset(record.event);
    EXPECT_EQ(tcsSensorGetVersionCB(expected, TCS_RESULT_SENSOR_NOT_FOUND, &record), TCS_RESULT_OK);
    EXPECT_EQ(record.status, uint32_t(TCS_RESULT_SENSOR_NOT_FOUND));
    EXPECT_EQ(text[0], '#');
    EXPECT_EQ(palEventWaitFor(record.event, 0), TCS_RESULT_OK);
    palEventFree(record.event);

    // The waiter gave up: the late callback writes nothing and frees the record (a sanitizer or a
    // double free would tell).
    auto* late = static_cast<SyncWaitRecord*>(palRealMalloc(sizeof(SyncWaitRecord)));
    ASSERT_NE(late, nullptr);
    std::memset(text, '#', sizeof text);
    *late = SyncWaitRecord{TCS_RESULT_TIMEOUT, palEventAlloc(0, 0, nullptr), text};
    EXPECT_EQ(tcsSensorGetVersionCB(expected, TCS_RESULT_OK, late), TCS_RESULT_INVALID);
    EXPECT_EQ(text[0], '#');
    EXPECT_EQ(tcsSensorGetVersionCB(expected, TCS_RESULT_OK, nullptr), TCS_RESULT_OK);
}

// A discarded swipe (quality bit 21: a flat finger reconstructs to no usable image) with
// "saveDiscardQcf" asks the platform to move its capture file aside; this platform's rename does
// nothing, so the file stays whole at the capture's path, as it does without the setting and for a
// usable swipe.
TEST_F(CaptureRoads, DiscardedCaptureFileStaysWhole) {
    open();
    ASSERT_NE(sensor_, 0u);
    ASSERT_EQ(tcsSetParam(client_, 1, 1), TCS_RESULT_OK);  // capture file
    const std::string folder = dir_ + "/files";
    struct Case {
        const char* name;
        uint32_t keep;
        uint8_t level;  // 0 the ridged finger, else a flat one of this grey
        bool discarded;
    };
    for (const Case& c : {Case{"discarded, kept aside", 1, 250, true}, Case{"discarded, not asked", 0, 250, true},
                          Case{"usable, asked", 1, 0, false}}) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(std::system(("rm -rf " + folder + " && mkdir -p " + folder).c_str()), 0);
        palSetPersistentDataLongValue(kTfs530, "saveDiscardQcf", c.keep);
        const std::string prefix = folder + "/cap";
        capture(0, {swipeModel(c.level).stream(0, 300)}, prefix.c_str());
        ASSERT_TRUE(waitFor([&] { return captured(); }));
        ASSERT_EQ(captured_.status, TCS_RESULT_OK);
        ASSERT_NE(captured_.value, 0u);
        EXPECT_EQ((delivered(captured_.value).quality & 0x200000u) != 0, c.discarded);
        tcsHandleDestroy(captured_.value);
        std::vector<std::string> qcf;
        for (const std::string& f : filesIn(folder)) {
            if (f.size() > 4 && f.compare(f.size() - 4, 4, ".qcf") == 0) qcf.push_back(f);
        }
        ASSERT_EQ(qcf.size(), 1u);
        EXPECT_EQ(qcf[0], "cap.qcf");
        EXPECT_GT(rawBytes(prefix + ".qcf"), 300u * model_.recordBytes() / 2) << "the swipe is in it";
    }
}

// A fingerprint buffer that fails after the swipe has begun (the sensor's data stops and the reads
// of the next buffer fail): the capture ends as an abort (501, event 7 with it, no image), where the
// rest of the swipe arriving gives an image. Mode 0 has no data time limit:
// without the failed buffer the capture would wait on. The sensor takes the next capture.
TEST_F(CaptureRoads, BufferErrorMidSwipeEndsTheCaptureAsAnAbort) {
    open();
    ASSERT_NE(sensor_, 0u);
    const uint32_t chunk = kDefaultChunkSize;
    const std::vector<uint8_t> swipe = model_.stream(0, 2 * chunk / model_.recordBytes() - 20);
    const std::vector<uint8_t> first(swipe.begin(), swipe.begin() + chunk);
    const std::vector<uint8_t> rest(swipe.begin() + chunk, swipe.end());
    for (const bool failing : {false, true}) {
        SCOPED_TRACE(failing ? "a read fails" : "no failure");
        // The first buffer is full: the rest of the swipe follows it, or, once it is read, the
        // reads of the next buffer fail. The faults are set as the swipe starts and aimed past the
        // first buffer's bytes, so a reader that is already waiting for the next buffer meets them.
        if (failing) {
            std::lock_guard<std::mutex> hold(swipe_.lock);
            swipe_.faults = {{simusb::ReadFault::Pass, chunk}, {simusb::ReadFault::Error}, {simusb::ReadFault::Error}};
        }
        capture(0, failing ? std::vector<std::vector<uint8_t>>{first} : std::vector<std::vector<uint8_t>>{first, rest});
        ASSERT_TRUE(waitFor([&] { return captured(); }));
        if (!failing) {
            EXPECT_EQ(captured_.status, TCS_RESULT_OK);
            EXPECT_NE(captured_.value, 0u);
            if (captured_.value != 0) tcsHandleDestroy(captured_.value);
            continue;
        }
        EXPECT_EQ(captured_.status, IDS_RESULT_ABORTED);
        EXPECT_EQ(captured_.value, 0u);
        EXPECT_EQ(eventStatus(7), IDS_RESULT_ABORTED);
        EXPECT_EQ(eventStatus(5), 0xFFFFFFFFu) << "no image event";
    }
    capture(0, {model_.stream(0, 300)});
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    EXPECT_EQ(captured_.status, TCS_RESULT_OK);
    if (captured_.value != 0) tcsHandleDestroy(captured_.value);
}

// The swipe's end record {1, 1, 0, ...} filling a buffer to its last byte ends the swipe there, and
// the image is the one the same bytes give when the end record comes in a short buffer of its own.
// (A full buffer otherwise means more is coming: in mode 0, with no time limit, the capture would
// wait for ever.)
TEST_F(CaptureRoads, EndRecordInAFullBufferEndsTheSwipeAsInAShortOne) {
    open();
    ASSERT_NE(sensor_, 0u);
    const uint32_t record = model_.recordBytes();
    // Buffers of at least 84097 bytes.
    const uint32_t lines = (84097 + record - 1) / record;
    std::vector<uint8_t> body = model_.stream(0, lines);
    std::vector<uint8_t> end(record, 0);
    end[0] = 1;
    end[1] = 1;
    struct Case {
        const char* name;
        uint32_t chunk;
        std::vector<std::vector<uint8_t>> buffers;
    };
    std::vector<uint8_t> whole = body;
    whole.insert(whole.end(), end.begin(), end.end());
    std::vector<Delivered> images;
    for (const Case& c : {Case{"end record alone", lines * record, {body, end}},
                          Case{"end record filling the buffer", (lines + 1) * record, {whole}}}) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(idsSensorSetFpBufferChunkSize(imagingSensor(), int32_t(c.chunk)), TCS_RESULT_OK);
        ASSERT_EQ(imagingSensor()->chunkSize, c.chunk);
        capture(0, c.buffers);
        ASSERT_TRUE(waitFor([&] { return captured(); }));
        ASSERT_EQ(captured_.status, TCS_RESULT_OK);
        images.push_back(delivered(captured_.value));
        tcsHandleDestroy(captured_.value);
        ASSERT_GT(images.back().rows, 150u);
    }
    EXPECT_EQ(images[0].rows, images[1].rows);
    EXPECT_EQ(images[0].columns, images[1].columns);
    EXPECT_TRUE(images[0].pixels == images[1].pixels);
}

// A capture that fails before the swipe (the sensor refuses the capture command) ends with the
// sensor's status, not as an abort, in mode 0 and in mode 2 with selective suspend (whose failure
// also brings the run patch back and takes the link out of suspend); after either the same handles
// capture again in mode 2, suspend and all.
TEST_F(CaptureRoads, RefusedCaptureInSelectiveSuspendModeLeavesTheSensorUsable) {
    palSetPersistentDataLongValue(kTfs530, "useSelectiveSuspend", 1);
    open();
    ASSERT_NE(sensor_, 0u);
    hook(0x02, [](std::span<const uint8_t>) { return simusb::Reply{0x0405, {}}; });
    for (const uint32_t mode : {0u, 2u}) {
        SCOPED_TRACE(mode);
        capture(mode, {});
        ASSERT_TRUE(waitFor([&] { return captured(); }));
        EXPECT_NE(captured_.status, TCS_RESULT_OK);
        EXPECT_NE(captured_.status, IDS_RESULT_ABORTED);
        EXPECT_EQ(captured_.value, 0u);
        EXPECT_EQ(eventStatus(7), captured_.status & 0xFFFF);
        EXPECT_EQ(eventStatus(5), 0xFFFFFFFFu) << "no image event";
    }
    hook(0x02, nullptr);
    capture(2, {model_.stream(0, 300)});
    ASSERT_TRUE(waitFor([&] { return captured(); }));
    EXPECT_EQ(captured_.status, TCS_RESULT_OK);
    EXPECT_NE(captured_.value, 0u);
    if (captured_.value != 0) tcsHandleDestroy(captured_.value);
}

}  // namespace
