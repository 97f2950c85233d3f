// Image-data service pieces that need no sensor: capture settings, capture contexts, event
// registrations and delivery (with their debug images), and the fingerprint-buffer lists.
#include "platform/memory.h"
#include "platform/worklist.h"
#include "tcs/handle_map.h"
#include "tcs/imaging/ids_internal.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

// An image-data sensor as the open item leaves it, without a sensor behind it.
struct FakeSensor {
    IdsSensor sensor{};
    FakeSensor() {
        palListInit(&sensor.links);
        palListInit(&sensor.registrations);
        palCriticalSectionInitialize(&sensor.registrationLock);
        sensor.chunkSize = kDefaultChunkSize;
        sensor.bufferCount = kDefaultBufferCount;
    }
    ~FakeSensor() {
        while (!palListIsEmpty(&sensor.registrations)) {
            PalListEntry* e = sensor.registrations.next;
            palListRemove(e);
            palRealFree(PAL_LIST_RECORD(e, IdsRegistration, links));
        }
        palCriticalSectionFree(sensor.registrationLock);
    }
};

struct Seen {
    int who;
    uint32_t id, status, size;
    uint64_t data;
};
std::vector<Seen> gSeen;

TcsResult first(IdsSensor*, void* context, IdsEvent* event) {
    gSeen.push_back({*static_cast<int*>(context), idsEventGetId(event), idsEventGetStatus(event),
                     idsEventGetDataSize(event), idsEventGetData(event)});
    return 0;
}
TcsResult second(IdsSensor* sensor, void* context, IdsEvent* event) { return first(sensor, context, event); }

bool exists(const std::string& path) { return std::ifstream(path).good(); }

TEST(IdsSettings, SettersAcceptTheirRangesOnly) {
    FakeSensor f;
    IdsSensor* s = &f.sensor;
    struct Case {
        const char* name;
        TcsResult (*set)(IdsSensor*, int32_t);
        int32_t value;
        uint32_t IdsSensor::*field;
        uint32_t expected;  // the field afterwards
    };
    const std::vector<Case> cases = {
        {"chunk 84096 ignored", idsSensorSetFpBufferChunkSize, 84096, &IdsSensor::chunkSize, 84096},
        {"chunk 84097", idsSensorSetFpBufferChunkSize, 84097, &IdsSensor::chunkSize, 84097},
        {"chunk 0xFFFFF", idsSensorSetFpBufferChunkSize, 0xFFFFF, &IdsSensor::chunkSize, 0xFFFFF},
        {"chunk 0x100000 ignored", idsSensorSetFpBufferChunkSize, 0x100000, &IdsSensor::chunkSize, 0xFFFFF},
        {"chunk negative ignored", idsSensorSetFpBufferChunkSize, -5, &IdsSensor::chunkSize, 0xFFFFF},
        {"count 12 ignored", idsSensorSetFpBufferCount, 12, &IdsSensor::bufferCount, 12},
        {"count 11", idsSensorSetFpBufferCount, 11, &IdsSensor::bufferCount, 11},
        {"count 1", idsSensorSetFpBufferCount, 1, &IdsSensor::bufferCount, 1},
        {"count 0 ignored", idsSensorSetFpBufferCount, 0, &IdsSensor::bufferCount, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.set(s, c.value), 0u) << c.name;
        EXPECT_EQ(s->*c.field, c.expected) << c.name;
    }
    struct Choice {
        TcsResult (*set)(IdsSensor*, uint32_t);
        uint32_t highest;
    };
    for (auto [set, highest] : std::initializer_list<Choice>{
             {idsSensorSetCaptureMode, 4}, {idsSensorSetCapturePurpose, 1}, {idsSensorSetCaptureMetrics, 1}}) {
        EXPECT_EQ(set(s, highest), 0u);
        EXPECT_EQ(set(s, highest + 1), 17u);
        EXPECT_EQ(set(nullptr, 0), 17u);
    }
    EXPECT_EQ(s->captureMode, 4u);
    uint32_t size = 0;
    EXPECT_EQ(idsSensorGetReconstructedImageMaxSize(s, &size), 17u);  // no reconstructor chosen
    EXPECT_EQ(idsSensorSetFpBufferChunkSize(nullptr, 90000), 17u);
}

TEST(IdsContexts, FillersCheckTheirArgumentsInOrder) {
    EXPECT_EQ(idsAllocateSensorContext(nullptr), 13u);
    GetPrintContext* c = nullptr;
    ASSERT_EQ(idsAllocateSensorContext(&c), 0u);
    FakeSensor f;
    EXPECT_EQ(idsSetSensorHandleToCtx(nullptr, nullptr), 14u);
    EXPECT_EQ(idsSetSensorHandleToCtx(nullptr, &f.sensor), 13u);
    EXPECT_EQ(idsSetSensorHandleToCtx(c, &f.sensor), 0u);
    uint32_t params[kCaptureParamWords] = {};
    for (uint32_t i = 0; i < kCaptureParamWords; ++i) params[i] = 100 + i;
    EXPECT_EQ(idsSetParamsToCtx(nullptr, nullptr), 40u);
    EXPECT_EQ(idsSetParamsToCtx(nullptr, params), 13u);
    EXPECT_EQ(idsSetParamsToCtx(c, params), 0u);
    EXPECT_EQ(c->params[23], 123u);
    EXPECT_EQ(f.sensor.paramWord5, 105u);
    EXPECT_EQ(idsSetFilePathToCtx(c, "/tmp/x"), 0u);
    EXPECT_STREQ(c->path, "/tmp/x");
    EXPECT_EQ(idsSetFilePathToCtx(c, ""), 0u);
    EXPECT_EQ(c->path, nullptr);
    EXPECT_EQ(idsSetFilePathToCtx(nullptr, "/tmp/x"), 13u);
    EXPECT_EQ(idsSetCalibrationTypeToCtx(c, 1), 0u);
    EXPECT_EQ(idsSetCalibrationTypeToCtx(nullptr, 1), 13u);
    EXPECT_EQ(idsSensorSendGetFingerprint(nullptr, nullptr, nullptr, nullptr), 40u);
    EXPECT_EQ(idsSensorSendGetFingerprint(c, nullptr, nullptr, nullptr), 17u);
    GetPrintContext* empty = nullptr;
    ASSERT_EQ(idsAllocateSensorContext(&empty), 0u);
    EXPECT_EQ(idsSensorSendGetFingerprint(empty, nullptr, nullptr, nullptr), 14u);
    EXPECT_EQ(idsFreeSensorContext(empty), 0u);
    EXPECT_EQ(idsFreeSensorContext(c), 0u);
    EXPECT_EQ(idsFreeSensorContext(nullptr), 40u);
}

TEST(IdsSenders, NullArgumentsAreRefused) {
    FakeSensor f;
    EXPECT_EQ(idsClientSendCreate(nullptr, nullptr, nullptr), 17u);
    EXPECT_EQ(idsClientSendDestroy(nullptr, nullptr, nullptr), 17u);
    EXPECT_EQ(idsSensorSendOpen(nullptr, nullptr, nullptr, nullptr), 17u);
    EXPECT_EQ(idsSensorSendClose(nullptr, nullptr, nullptr), 17u);
    EXPECT_EQ(idsSensorSendAbortFingerprint(nullptr, nullptr, nullptr), 17u);
    EXPECT_EQ(idsSensorSendGetRawScanLines(nullptr, nullptr, 0, 0, 0, nullptr, nullptr, nullptr, 0), 17u);
    EXPECT_EQ(idsSensorSendGetRawScanLines(&f.sensor, nullptr, 0, 3, 0, nullptr, nullptr, nullptr, 0), 17u);
    uint32_t wait = 7;
    EXPECT_EQ(idsSubsystemService(nullptr, 10, &wait), 4u);
    EXPECT_EQ(idsSubsystemShutdown(nullptr), 4u);
    IdsSubsystem* subsystem = reinterpret_cast<IdsSubsystem*>(1);
    EXPECT_EQ(idsSubsystemStartup(&subsystem, nullptr, nullptr), 17u);
    EXPECT_EQ(subsystem, nullptr);
    EXPECT_EQ(idsSubsystemStartup(nullptr, nullptr, nullptr), 17u);
    EXPECT_EQ(idsStartupIr(14, nullptr), 40u);
    EXPECT_EQ(idsSensorPickImageReconstructor(nullptr), 17u);
}

class IdsEvents : public ::testing::Test {
protected:
    void SetUp() override {
        tcsSafeHandlesInitialize();
        gSeen.clear();
        ASSERT_EQ(idsAllocateSensorContext(&context_), 0u);
        context_->sensor = &f_.sensor;
        prefix_ = ::testing::TempDir() + "/ids_events" + std::to_string(getpid()) + "_";
        removeFiles();
    }
    void TearDown() override {
        context_->outputImage = nullptr;
        idsFreeSensorContext(context_);
        removeFiles();
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_IMAGE, nullptr);
        tcsSafeHandlesUnInitialize();
    }
    void removeFiles() {
        for (const char* suffix : {"raw.bmp", "ir.bmp", "rawIr.bmp"}) std::remove((prefix_ + suffix).c_str());
    }
    FakeSensor f_;
    GetPrintContext* context_ = nullptr;
    std::string prefix_;
};

TEST_F(IdsEvents, RegistrationsRunInOrderAndAreRemovedByCallbackAndContext) {
    int a = 1, b = 2;
    IdsSensor* s = &f_.sensor;
    EXPECT_EQ(idsSensorEventsAddCallback(s, nullptr, &a), 17u);
    ASSERT_EQ(idsSensorEventsAddCallback(s, first, &a), 0u);
    ASSERT_EQ(idsSensorEventsAddCallback(s, second, &b), 0u);
    ASSERT_EQ(idsSensorEventsAddCallback(s, first, &b), 0u);
    EXPECT_EQ(idsSensorEventPerformCallbackEx(context_, IDS_EVENT_CAPTURE_DONE, 19, nullptr, 0), 0u);
    ASSERT_EQ(gSeen.size(), 3u);
    EXPECT_EQ(gSeen[0].who, 1);
    EXPECT_EQ(gSeen[1].who, 2);
    EXPECT_EQ(gSeen[2].who, 2);
    EXPECT_EQ(gSeen[0].id, 206u);
    EXPECT_EQ(gSeen[0].status, 19u);
    // Only the registration with both the callback and the context goes; an unknown pair is no error.
    EXPECT_EQ(idsSensorEventsRemoveCallback(s, first, &b), 0u);
    EXPECT_EQ(idsSensorEventsRemoveCallback(s, second, &a), 0u);
    gSeen.clear();
    EXPECT_EQ(idsSensorEventPerformCallback(context_, IDS_EVENT_SWIPE_NOW, nullptr, 0), 0u);
    ASSERT_EQ(gSeen.size(), 2u);
    EXPECT_EQ(gSeen[0].who, 1);
    EXPECT_EQ(gSeen[1].who, 2);
    EXPECT_EQ(gSeen[0].status, 0u);
    EXPECT_EQ(idsSensorEventPerformCallbackEx(nullptr, 204, 0, nullptr, 0), 17u);
    EXPECT_EQ(idsEventGetId(nullptr), 0u);
    EXPECT_EQ(idsEventGetData(nullptr), 0u);
}

TEST_F(IdsEvents, ImageEventGivesTheImageOneHandle) {
    int a = 1;
    ASSERT_EQ(idsSensorEventsAddCallback(&f_.sensor, first, &a), 0u);
    ImageRecord* image = nullptr;
    ASSERT_EQ(_tcsImageCreate(&image, nullptr, 64, 0, 0, 0), 0u);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(idsSensorEventPerformCallbackEx(context_, IDS_EVENT_IMAGE_READY, 0, image, 79), 0u);
    }
    uint64_t handle = 0;
    ASSERT_EQ(tcsSafeHandleReverseFetch(image, TCS_HANDLE_TYPE_IMAGE, &handle), 0u);
    EXPECT_NE(handle, 0u);
    ASSERT_EQ(gSeen.size(), 2u);
    EXPECT_EQ(gSeen[0].data, uint64_t(uintptr_t(image)));
    EXPECT_EQ(gSeen[0].size, 79u);
    // The handle now owns the image.
    EXPECT_EQ(tcsHandleDestroy(handle), 0u);
}

TEST_F(IdsEvents, DebugImagesNeedBothTheSwitchAndThePrefix) {
    std::vector<uint8_t> lines(288 * 4, 0x80);
    context_->lineLength = 288;
    struct Case {
        const char* name;
        bool rawSwitch, imageSwitch, prefix;
        bool raw, ir;
    };
    for (const Case& c : std::initializer_list<Case>{{"none", false, false, true, false, false},
                                                     {"switches without prefix", true, true, false, false, false},
                                                     {"raw only", true, false, true, true, false},
                                                     {"both", true, true, true, true, true}}) {
        removeFiles();
        context_->params[4] = c.rawSwitch;
        context_->params[3] = c.imageSwitch;
        ASSERT_EQ(idsSetFilePathToCtx(context_, c.prefix ? prefix_.c_str() : nullptr), 0u);
        // No registrations at all: the files are still written and delivery succeeds.
        EXPECT_EQ(idsSensorEventPerformCallback(context_, IDS_EVENT_RAW_DATA, lines.data(), uint32_t(lines.size())), 0u);
        ImageRecord* image = nullptr;
        ASSERT_EQ(_tcsImageCreate(&image, nullptr, 64, 0, 0, 0), 0u);
        image->rows = 8;
        image->columns = 8;
        image->dataSize = 64;
        EXPECT_EQ(idsSensorEventPerformCallbackEx(context_, IDS_EVENT_IMAGE_READY, 0, image, 64 + 79), 0u);
        EXPECT_EQ(exists(prefix_ + "raw.bmp"), c.raw) << c.name;
        EXPECT_EQ(exists(prefix_ + "ir.bmp"), c.ir) << c.name;
        uint64_t handle = 0;
        tcsSafeHandleReverseFetch(image, TCS_HANDLE_TYPE_IMAGE, &handle);
        tcsHandleDestroy(handle);
    }
}

TEST_F(IdsEvents, ImageOfAHandleIsWrittenAsBmp) {
    ImageRecord* image = nullptr;
    ASSERT_EQ(_tcsImageCreate(&image, nullptr, 6 * 5, 0, 0, 0), 0u);
    image->rows = 5;
    image->columns = 6;
    image->dataSize = 30;
    const std::string path = prefix_ + "ir.bmp";
    EXPECT_EQ(fclWriteImageToBmpFile(path.c_str(), image), 17u);  // no handle yet
    uint64_t handle = 0;
    _tcsImageRegisterCleanup();  // the handle frees the image with its blocks
    ASSERT_EQ(tcsSafeImageHandleCreate(image, &handle), 0u);
    ASSERT_EQ(fclWriteImageToBmpFile(path.c_str(), image), 0u);
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(bytes.size(), 1078u + 5 * 8);  // rows padded to 4 bytes
    EXPECT_EQ(bytes[0], 'B');
    EXPECT_EQ(bytes[1], 'M');
    EXPECT_EQ(fclWriteImageToBmpFile("/nonexistent/dir/x.bmp", image), 207u);
    tcsHandleDestroy(handle);
}

TEST(IdsBuffers, ListsQueueInOrderAndDropWhenFull) {
    FakeSensor f;
    f.sensor.bufferCount = 2;
    GetPrintContext* c = nullptr;
    ASSERT_EQ(idsAllocateSensorContext(&c), 0u);
    c->sensor = &f.sensor;
    WorkItem item{};
    item.object = c;
    uint8_t a[4] = {}, b[4] = {}, d[4] = {};
    EXPECT_EQ(idsFPBufferQueue(&item, 4, a, 0), 17u);  // no lists yet
    ASSERT_EQ(idsFPBufferCreateList(c), 0u);
    ASSERT_EQ(idsFPBufferCreateList(c), 0u);  // a second reference, no second set of nodes
    EXPECT_EQ(idsFPBufferQueue(&item, 4, a, 0), 0u);
    EXPECT_EQ(idsFPBufferQueue(&item, 3, b, 1), 0u);
    EXPECT_EQ(idsFPBufferQueue(&item, 2, d, 0), 0u);  // no free node: dropped
    std::vector<std::pair<uint8_t*, uint32_t>> filled;
    for (PalListEntry* e = c->filledList.next; e != &c->filledList; e = e->next) {
        auto* node = PAL_LIST_RECORD(e, FpBufferNode, links);
        filled.push_back({node->data, node->filled});
    }
    ASSERT_EQ(filled.size(), 2u);
    EXPECT_EQ(filled[0].first, a);
    EXPECT_EQ(filled[1].first, b);
    EXPECT_EQ(filled[1].second, 3u);
    EXPECT_EQ(idsFPBufferDestroyList(c), 0u);
    EXPECT_FALSE(palListIsEmpty(&c->filledList));  // still referenced once
    EXPECT_EQ(idsFPBufferDestroyList(c), 0u);
    EXPECT_TRUE(palListIsEmpty(&c->filledList));
    EXPECT_TRUE(palListIsEmpty(&c->freeList));
    EXPECT_EQ(idsFreeSensorContext(c), 0u);
}

TEST(IdsUserCallback, KindsAreCheckedAndDebugStreamsNeverFailTheCapture) {
    uint32_t status = 99;
    idsUserCallback(nullptr, &status);
    EXPECT_EQ(status, 40u);
    GetPrintContext* c = nullptr;
    ASSERT_EQ(idsAllocateSensorContext(&c), 0u);
    FakeSensor f;
    c->sensor = &f.sensor;
    IrDliUserEvent event{12, 0, c, nullptr};
    idsUserCallback(&event, &status);
    EXPECT_EQ(status, 17u);
    const uint8_t line[8] = {};
    IrDliEventData data{8, line};
    event = IrDliUserEvent{kUserEventLine, 0, c, &data};
    idsUserCallback(&event, &status);  // no debug image open: nothing to stream
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(idsFreeSensorContext(c), 0u);
}

// A service with a client and capture routines of the test's own, without any sensor behind it.
enum class Routine { Wait, Busy, Finish, Fail };
Routine gRoutine = Routine::Wait;
uint32_t gVisits = 0;

TcsResult testRoutine(void*, TcsResult, WorkItem* item) {
    ++gVisits;
    auto* context = static_cast<GetPrintContext*>(item->object);
    switch (gRoutine) {
        case Routine::Wait:
            idsRunStatus(item) = kWaiting;
            palWorkItemSetTimeout(item, context->retries, 1);  // the wait each context asks for
            return 0;
        case Routine::Busy: std::this_thread::sleep_for(std::chrono::milliseconds(3)); return 0;
        case Routine::Finish:
            if (IdsCallback cb = idsItemCallback(item)) cb(nullptr, 0, idsItemContext(item));
            idsFreeSensorContext(context);
            item->object = nullptr;
            idsRunStatus(item) = kFinished;
            return 0;
        default: return 54;
    }
}

struct Completion {
    int calls = 0;
    TcsResult status = 0;
    void* object = reinterpret_cast<void*>(1);
};
TcsResult onDone(void* object, TcsResult status, void* context) {
    auto* c = static_cast<Completion*>(context);
    ++c->calls;
    c->status = status;
    c->object = object;
    return 0;
}

class IdsServiceLoop : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(palWorkListInitialize(&subsystem_.workList, nullptr), 0u);
        palListInit(&subsystem_.clients);
        palCriticalSectionInitialize(&subsystem_.clientLock);
        client_.subsystem = &subsystem_;
        for (int i = 0; i < 2; ++i) {
            devices_[i] = reinterpret_cast<ScsSensorDevice*>(uintptr_t(0x1000 * (i + 1)));
            control_[i].device = devices_[i];
            sensors_[i].sensor.client = &client_;
            sensors_[i].sensor.scsSensor = &control_[i];
            sensors_[i].sensor.captureRoutine = testRoutine;
        }
        gVisits = 0;
    }
    void TearDown() override {
        gRoutine = Routine::Finish;
        for (int i = 0; i < 4 && idsSubsystemService(&subsystem_, 100, nullptr) == 0; ++i) {
        }
        palWorkListUninitialize(&subsystem_.workList);
        palCriticalSectionFree(subsystem_.clientLock);
    }
    // Queues a capture on sensor i whose routine waits waitMs when it waits.
    TcsResult capture(int i, uint32_t waitMs, Completion* done) {
        GetPrintContext* context = nullptr;
        EXPECT_EQ(idsAllocateSensorContext(&context), 0u);
        context->sensor = &sensors_[i].sensor;
        context->retries = waitMs;
        ImageRecord* image = nullptr;
        EXPECT_EQ(_tcsImageCreate(&image, nullptr, 16, 0, 0, 0), 0u);
        const TcsResult r = idsSensorSendGetFingerprint(context, image, onDone, done);
        if (r != 0) {
            _tcsImageDestroy(image);
            idsFreeSensorContext(context);
        }
        return r;
    }
    // Completions outlive the test body: the tear-down finishes what is still queued.
    Completion a, b, c;
    IdsSubsystem subsystem_{};
    IdsClient client_{};
    ScsSensorDevice* devices_[2];
    ScsSensor control_[2]{};
    FakeSensor sensors_[2];
};

TEST_F(IdsServiceLoop, OneCapturePerDeviceAtATime) {
    uint32_t wait = 99;
    EXPECT_EQ(idsSubsystemService(&subsystem_, 100, &wait), 217u);  // nothing queued
    EXPECT_EQ(wait, 0u);
    EXPECT_EQ(idsIsGetPrintTaskInWorkList(&subsystem_), 0u);
    ASSERT_EQ(capture(0, 10, &a), 0u);
    EXPECT_EQ(capture(0, 10, &b), 46u);
    EXPECT_EQ(capture(1, 10, &c), 0u);
    EXPECT_EQ(idsIsGetPrintTaskInWorkList(&subsystem_), 1u);
    // Still refused while the first one runs (it stays queued while it waits).
    gRoutine = Routine::Wait;
    idsSubsystemService(&subsystem_, 100, nullptr);
    EXPECT_EQ(capture(0, 10, &b), 46u);
    EXPECT_EQ(b.calls, 0);
}

// A raw-lines request refused for a busy device leaves the request already stored on the sensor
// (buffer, line count, flags, print configuration) as it was.
TEST_F(IdsServiceLoop, RefusedRawLinesRequestLeavesTheStoredOneAlone) {
    IdsSensor& sensor = sensors_[0].sensor;
    uint8_t running[64] = {}, refused[64] = {};
    sensor.rawBuffer = running;
    sensor.rawSize = sizeof running;
    sensor.rawLines = 2;
    sensor.rawFlags = 1;
    sensor.getPrintFlags = 0x10;
    ASSERT_EQ(capture(0, 10, &a), 0u);
    auto* allOnes = reinterpret_cast<PrintConfiguration*>(~uintptr_t(0));
    EXPECT_EQ(idsSensorSendGetRawScanLines(&sensor, refused, sizeof refused, 4, 3, onDone, &b, allOnes, 0x4000),
              46u);
    EXPECT_EQ(sensor.rawBuffer, running);
    EXPECT_EQ(sensor.rawSize, sizeof running);
    EXPECT_EQ(sensor.rawLines, 2u);
    EXPECT_EQ(sensor.rawFlags, 1u);
    EXPECT_EQ(sensor.getPrintFlags, 0x10u);
    EXPECT_EQ(sensor.printConfig, nullptr);
    EXPECT_EQ(b.calls, 0);
    sensor.rawBuffer = nullptr;
}

TEST_F(IdsServiceLoop, OnlyWaitingItemsGive217AndTheSmallestWait) {
    ASSERT_EQ(capture(0, 40, &a), 0u);
    ASSERT_EQ(capture(1, 25, &c), 0u);
    gRoutine = Routine::Wait;
    uint32_t wait = 0;
    EXPECT_EQ(idsSubsystemService(&subsystem_, 100, &wait), 217u);
    EXPECT_EQ(gVisits, 2u);
    EXPECT_GT(wait, 0u);
    EXPECT_LE(wait, 25u);
}

TEST_F(IdsServiceLoop, BudgetSpentWithItemsLeftGives0) {
    ASSERT_EQ(capture(0, 10, &a), 0u);
    ASSERT_EQ(capture(1, 10, &c), 0u);
    gRoutine = Routine::Busy;
    uint32_t wait = 0;
    EXPECT_EQ(idsSubsystemService(&subsystem_, 1, &wait), 0u);
    EXPECT_EQ(gVisits, 1u);  // the second waits for the next pass
}

TEST_F(IdsServiceLoop, FailingRoutineEndsTheCaptureWith206And19) {
    std::vector<Seen> before = gSeen;
    gSeen.clear();
    int who = 7;
    sensors_[0].sensor.scsSensor = nullptr;  // no device whose buffers the ending would cancel
    ASSERT_EQ(idsSensorEventsAddCallback(&sensors_[0].sensor, first, &who), 0u);
    ASSERT_EQ(capture(0, 10, &a), 0u);
    gRoutine = Routine::Fail;
    EXPECT_EQ(idsSubsystemService(&subsystem_, 100, nullptr), 217u);
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(a.status, 19u);
    EXPECT_EQ(a.object, nullptr);
    ASSERT_EQ(gSeen.size(), 1u);
    EXPECT_EQ(gSeen[0].id, 206u);
    EXPECT_EQ(gSeen[0].status, 19u);
    EXPECT_EQ(idsIsGetPrintTaskInWorkList(&subsystem_), 0u);
    gSeen = before;
}

// The core's update of queued captures: the path and parameter block of every capture of the same
// sensor-control sensor that has not started; a capture under way keeps what it runs with.
TEST_F(IdsServiceLoop, UpdateReachesQueuedCapturesOfTheSensorOnly) {
    ASSERT_EQ(capture(0, 10, &a), 0u);
    ASSERT_EQ(capture(1, 10, &c), 0u);
    auto contextOf = [&](int i) -> GetPrintContext* {
        for (PalListEntry* e = subsystem_.workList.links.next; e != &subsystem_.workList.links; e = e->next) {
            auto* context = static_cast<GetPrintContext*>(PAL_WORK_ITEM_FROM_LINKS(e)->object);
            if (context != nullptr && context->sensor == &sensors_[i].sensor) return context;
        }
        return nullptr;
    };
    uint32_t params[kCaptureParamWords] = {};
    params[3] = 1;
    params[23] = 1;
    EXPECT_EQ(idsUpdateQueuedCaptures(&subsystem_, &control_[0], "/tmp/updated", nullptr), 40u);
    EXPECT_EQ(idsUpdateQueuedCaptures(nullptr, &control_[0], "/tmp/updated", params), 4u);
    ASSERT_EQ(idsUpdateQueuedCaptures(&subsystem_, &control_[0], "/tmp/updated", params), 0u);
    ASSERT_NE(contextOf(0), nullptr);
    ASSERT_NE(contextOf(0)->path, nullptr);
    EXPECT_STREQ(contextOf(0)->path, "/tmp/updated");
    EXPECT_EQ(contextOf(0)->params[3], 1u);
    EXPECT_EQ(contextOf(0)->params[23], 1u);
    EXPECT_EQ(contextOf(1)->path, nullptr);
    EXPECT_EQ(contextOf(1)->params[23], 0u);
    // Once the service has run it, the capture is left alone.
    gRoutine = Routine::Wait;
    idsSubsystemService(&subsystem_, 100, nullptr);
    params[23] = 0;
    ASSERT_EQ(idsUpdateQueuedCaptures(&subsystem_, &control_[0], nullptr, params), 0u);
    EXPECT_STREQ(contextOf(0)->path, "/tmp/updated");
    EXPECT_EQ(contextOf(0)->params[23], 1u);
}

}  // namespace
