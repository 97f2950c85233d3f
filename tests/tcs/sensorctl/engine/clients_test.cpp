// Sensor-control clients and sensor handles: create and destroy, system events and their replay,
// open and close, removal unbinding handles, command routing, and the synchronous wait records.
#include "tcs/sensorctl/engine/sync_wait.h"
#include "tests/tcs/sensorctl/fixture.h"
#include "tcs/sensorctl/init/housekeeping.h"

#include <cstring>

namespace scstest {
namespace {

struct Events {
    std::vector<uint32_t> ids;
    std::vector<std::string> names;
    std::vector<uint32_t> sizes;
};

TcsResult recordEvent(ScsClient*, void* context, EventRecord* event) {
    auto* events = static_cast<Events*>(context);
    events->ids.push_back(scsEventGetId(event));
    events->sizes.push_back(scsEventGetDataSize(event));
    events->names.push_back(event->id == 9 ? std::string() : std::string(static_cast<const char*>(event->data)));
    return TCS_RESULT_OK;
}

struct Completion {
    int calls = 0;
    TcsResult status = 0xFFFF;
    void* object = nullptr;
    size_t sensorsLeft = 99;
};

TcsResult complete(void* object, TcsResult status, void* context) {
    auto* completion = static_cast<Completion*>(context);
    ++completion->calls;
    completion->status = status;
    completion->object = object;
    return TCS_RESULT_OK;
}

TcsResult completeReply(ScsReplyView* reply, TcsResult status, void* context) {
    return complete(reply, status, context);
}

struct Lost {
    std::vector<ScsSensor*> sensors;
    std::vector<uint32_t> reasons;
};

void recordLost(void* context, ScsSensor* sensor, uint32_t reason) {
    static_cast<Lost*>(context)->sensors.push_back(sensor);
    static_cast<Lost*>(context)->reasons.push_back(reason);
}

class Clients : public SensorControl {
protected:
    void SetUp() override {
        SensorControl::SetUp();
        ASSERT_EQ(scsClientCreate(subsystem_, &client_), TCS_RESULT_OK);
        ASSERT_NE(client_, nullptr);
    }
    ScsClient* client_ = nullptr;
};

TEST_F(Clients, CreateLinksTheClientAndRejectsBadArguments) {
    // The internal LED client and this one.
    EXPECT_EQ(listLength(&subsystem_->clients), 2u);
    EXPECT_EQ(subsystem_->ledState[0] != nullptr, true);
    ScsClient* other = nullptr;
    EXPECT_EQ(scsClientCreate(nullptr, &other), TCS_RESULT_NULL_SUBSYSTEM_HANDLE);
    EXPECT_EQ(scsClientCreate(subsystem_, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(scsClientSendCreate(subsystem_, nullptr, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(scsClientSendDestroy(nullptr, complete, nullptr), TCS_RESULT_NULL_CLIENT_HANDLE);
    EXPECT_EQ(scsClientSendDestroy(client_, nullptr, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(scsClientDestroy(client_), TCS_RESULT_OK);
    EXPECT_EQ(listLength(&subsystem_->clients), 1u);
}

TEST_F(Clients, NewListenerIsToldAboutPresentDevicesBeforeItIsRegistered) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    Events events;
    // An initialising device never announced to clients is not replayed.
    device->announced = 0;
    ASSERT_EQ(scsClientEventsAddCallback(client_, recordEvent, &events), TCS_RESULT_OK);
    EXPECT_TRUE(events.ids.empty());
    ASSERT_EQ(scsClientEventsRemoveCallback(client_, recordEvent, &events), TCS_RESULT_OK);

    activate(device);
    ASSERT_EQ(scsClientEventsAddCallback(client_, recordEvent, &events), TCS_RESULT_OK);
    EXPECT_EQ(events.ids, (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(events.names[0], device->name);
    EXPECT_EQ(events.sizes[0], std::strlen(device->name) + 1);

    // Registered twice with one context: one removal drops both.
    ASSERT_EQ(scsClientEventsAddCallback(client_, recordEvent, &events), TCS_RESULT_OK);
    EXPECT_EQ(listLength(&client_->callbacks), 2u);
    ASSERT_EQ(scsClientEventsRemoveCallback(client_, recordEvent, &events), TCS_RESULT_OK);
    EXPECT_EQ(listLength(&client_->callbacks), 0u);
    EXPECT_EQ(scsClientEventsAddCallback(client_, nullptr, &events), TCS_RESULT_BAD_PARAM);
}

TEST_F(Clients, NoDeviceNotificationRaisesAllReadyWithZeroCount) {
    Events events;
    ASSERT_EQ(scsClientEventsAddCallback(client_, recordEvent, &events), TCS_RESULT_OK);
    ASSERT_EQ(scsProcessPnpAction(subsystem_, PAL_PNP_ACTION_NO_DEVICE, nullptr, 0), TCS_RESULT_OK);
    EXPECT_EQ(events.ids, std::vector<uint32_t>{9});
    EXPECT_EQ(events.sizes, std::vector<uint32_t>{4});
}

TEST_F(Clients, OpenBindsToActiveAndInitialisingDevicesButOpenExOnlyToActive) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    ScsSensor* sensor = nullptr;
    ASSERT_EQ(scsSensorOpen(client_, device->name, &sensor), TCS_RESULT_OK);
    EXPECT_EQ(sensor->device, device);
    EXPECT_EQ(scsSensorValidate(sensor), TCS_RESULT_OK);

    Completion ex;
    ASSERT_EQ(scsSensorSendOpenEx(client_, device->name, complete, &ex), TCS_RESULT_OK);
    ASSERT_TRUE(pumpUntil([&] { return ex.calls == 1; }));
    EXPECT_EQ(ex.status, TCS_RESULT_SENSOR_INITIALIZING);
    auto* unbound = static_cast<ScsSensor*>(ex.object);
    ASSERT_NE(unbound, nullptr);
    EXPECT_EQ(scsSensorValidate(unbound), TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN);
    // A handle that never bound can still be closed.
    EXPECT_EQ(scsSensorClose(unbound), TCS_RESULT_OK);

    ScsSensor* missing = nullptr;
    EXPECT_EQ(scsSensorOpen(client_, "usb#nothing", &missing), TCS_RESULT_SENSOR_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(scsSensorOpen(nullptr, device->name, &missing), TCS_RESULT_NULL_CLIENT_HANDLE);
    EXPECT_EQ(scsSensorOpen(client_, device->name, nullptr), TCS_RESULT_NULL_HANDLE_POINTER);
    EXPECT_EQ(scsSensorClose(sensor), TCS_RESULT_OK);
    EXPECT_EQ(listLength(&client_->sensors), 0u);
}

TEST_F(Clients, DestroyClosesEveryHandleBeforeItsCallback) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    activate(device);
    ScsSensor* a = nullptr;
    ScsSensor* b = nullptr;
    ASSERT_EQ(scsSensorOpen(client_, device->name, &a), TCS_RESULT_OK);
    ASSERT_EQ(scsSensorOpen(client_, device->name, &b), TCS_RESULT_OK);
    EXPECT_EQ(scsSensorsAreEqual(a, b), 1u);
    EXPECT_EQ(scsHasSameDevice(a, b), 1u);
    ASSERT_EQ(listLength(&client_->sensors), 2u);

    struct Check {
        ScsClient* client;
        size_t sensorsAtCallback = 99;
        int calls = 0;
    } check{client_};
    auto callback = [](void*, TcsResult, void* context) -> TcsResult {
        auto* c = static_cast<Check*>(context);
        c->sensorsAtCallback = listLength(&c->client->sensors);
        ++c->calls;
        return TCS_RESULT_OK;
    };
    ASSERT_EQ(scsClientSendDestroy(client_, callback, &check), TCS_RESULT_OK);
    ASSERT_TRUE(pumpUntil([&] { return check.calls == 1; }));
    EXPECT_EQ(check.sensorsAtCallback, 0u);
}

TEST_F(Clients, RemovalUnbindsHandlesAndTellsListeners) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    activate(device);
    const std::string name = device->name;
    Events events;
    ASSERT_EQ(scsClientEventsAddCallback(client_, recordEvent, &events), TCS_RESULT_OK);
    Lost lost;
    ASSERT_EQ(scsSensorAddEventCallback(subsystem_, recordLost, &lost), TCS_RESULT_OK);
    ScsSensor* sensor = nullptr;
    ASSERT_EQ(scsSensorOpen(client_, name.c_str(), &sensor), TCS_RESULT_OK);

    ASSERT_TRUE(simusb::unplug(sensor_));
    ASSERT_TRUE(pumpUntil([&] { return !lost.sensors.empty(); }));
    EXPECT_EQ(lost.sensors, std::vector<ScsSensor*>{sensor});
    EXPECT_EQ(lost.reasons, std::vector<uint32_t>{1});
    EXPECT_EQ(sensor->device, nullptr);
    EXPECT_EQ(scsSensorValidate(sensor), TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN);
    uint32_t family = 0;
    EXPECT_EQ(scsSensorGetProductFamily(sensor, &family), TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN);
    ASSERT_EQ(events.ids.back(), 1u);
    EXPECT_EQ(events.names.back(), name);
    EXPECT_EQ(scsSensorClose(sensor), TCS_RESULT_OK);
}

TEST_F(Clients, AccessorsTakeAReferenceAndRefuseADeviceBeingReleased) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    ScsSensor* sensor = nullptr;
    ASSERT_EQ(scsSensorOpen(client_, device->name, &sensor), TCS_RESULT_OK);
    ASSERT_EQ(scsSensorSetBaselineVariance(sensor, 77), TCS_RESULT_OK);
    uint32_t variance = 0;
    ASSERT_EQ(scsSensorGetBaselineVariance(sensor, &variance), TCS_RESULT_OK);
    EXPECT_EQ(variance, 77u);
    EXPECT_EQ(scsSensorGetBaselineVariance(sensor, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(device->referenceCount, 1u);

    ScsSensorDevice* acquired = nullptr;
    EXPECT_EQ(scsSensorDeviceAcquire(nullptr, &acquired), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_EQ(scsSensorDeviceAcquire(sensor, nullptr), TCS_RESULT_BAD_PARAM);
    device->referenceCount = 0;
    EXPECT_EQ(scsSensorDeviceAcquire(sensor, &acquired), TCS_RESULT_SENSOR_NOT_FOUND);
    device->referenceCount = 1;

    // The identification context is copied, and only as much as the stored context holds.
    uint8_t context[SCS_IDENTIFICATION_CTX_SIZE];
    for (uint32_t i = 0; i < sizeof context; ++i) context[i] = uint8_t(i);
    uint8_t back[SCS_IDENTIFICATION_CTX_SIZE] = {};
    EXPECT_EQ(scsSensorGetLastIdentificationCtx(sensor, back, sizeof back), TCS_RESULT_BAD_PARAM);
    ASSERT_EQ(scsSensorSetLastIdentificationCtx(sensor, context, sizeof context), TCS_RESULT_OK);
    ASSERT_EQ(scsSensorGetLastIdentificationCtx(sensor, back, sizeof back), TCS_RESULT_OK);
    EXPECT_EQ(std::memcmp(back, context, sizeof back), 0);
    // A shorter context is never read past its end.
    ASSERT_EQ(scsSensorSetLastIdentificationCtx(sensor, context + 100, 16), TCS_RESULT_OK);
    std::memset(back, 0xEE, sizeof back);
    ASSERT_EQ(scsSensorGetLastIdentificationCtx(sensor, back, sizeof back), TCS_RESULT_OK);
    EXPECT_EQ(std::memcmp(back, context + 100, 16), 0);
    EXPECT_EQ(back[16], 0xEE);
    EXPECT_EQ(scsSensorClose(sensor), TCS_RESULT_OK);
}

// The snapshots own copies: the device's buffers may change or go while a capture file is written.
TEST_F(Clients, PrintConfigurationSnapshotsOwnTheirCopies) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    ScsSensor* sensor = nullptr;
    ASSERT_EQ(scsSensorOpen(client_, device->name, &sensor), TCS_RESULT_OK);
    device->flexId = 0x1234;
    for (uint32_t i = 0; i < 5; ++i) device->printCommand[i] = 10 + i;
    uint8_t reply[] = {1, 2, 3, 4, 5, 6, 7, 8};
    device->configReply = reply;
    device->configReplyLength = sizeof reply;
    auto* version = static_cast<ScsFwVersion*>(palRealMalloc(sizeof(ScsFwVersion)));
    ASSERT_NE(version, nullptr);
    std::memset(version, 0, sizeof *version);
    version->major = 4;
    version->minor = 60;
    device->fwVersion = version;
    // Released with the device: the block and its planes.
    auto* baseline = static_cast<ScsBaseLineInfo*>(palRealMalloc(sizeof(ScsBaseLineInfo)));
    ASSERT_NE(baseline, nullptr);
    *baseline = ScsBaseLineInfo{};
    baseline->images[0].width = 4;
    baseline->images[0].height = 2;
    baseline->images[0].pixels = static_cast<uint8_t*>(palRealMalloc(8));
    ASSERT_NE(baseline->images[0].pixels, nullptr);
    std::memset(baseline->images[0].pixels, 0x5A, 8);
    device->baselineInfo = baseline;

    uint32_t fields[5] = {};
    ASSERT_EQ(scsSensorGetPrintCmd(sensor, fields), TCS_RESULT_OK);
    EXPECT_EQ(fields[4], 14u);
    EXPECT_EQ(scsSensorGetPrintCmd(sensor, nullptr), TCS_RESULT_BAD_PARAM);

    ScsPrintConfigurationData data;
    ASSERT_EQ(scsSensorGetPrintConfigurationData(sensor, &data), TCS_RESULT_OK);
    EXPECT_NE(data.timeStamp, 0u);
    EXPECT_EQ(data.flexId, 0x1234u);
    EXPECT_EQ(data.printCommand[0], 10u);
    ASSERT_NE(data.version, nullptr);
    EXPECT_NE(data.version, version);
    EXPECT_EQ(data.version->minor, 60);
    ASSERT_EQ(data.configReplyLength, sizeof reply);
    EXPECT_NE(data.configReply, reply);
    EXPECT_EQ(std::memcmp(data.configReply, reply, sizeof reply), 0);
    auto* clone = static_cast<ScsBaseLineInfo*>(data.baseline);
    ASSERT_NE(clone, nullptr);
    ASSERT_NE(clone->images[0].pixels, nullptr);
    EXPECT_NE(clone->images[0].pixels, baseline->images[0].pixels);
    EXPECT_EQ(clone->images[0].pixels[7], 0x5A);
    EXPECT_EQ(clone->images[1].pixels, nullptr);
    // A time-slot table, when found, lies inside the copy.
    if (data.tsTable != nullptr) {
        EXPECT_GE(data.tsTable, data.configReply);
        EXPECT_LE(data.tsTable + data.tsTableLength, data.configReply + data.configReplyLength);
    }
    EXPECT_EQ(scsSensorFreePrintConfigurationData(&data), TCS_RESULT_OK);
    EXPECT_EQ(data.configReply, nullptr);
    EXPECT_EQ(data.version, nullptr);
    EXPECT_EQ(scsSensorFreePrintConfigurationData(nullptr), TCS_RESULT_OK);
    EXPECT_EQ(scsSensorGetPrintConfigurationData(sensor, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(scsSensorGetPrintConfigurationData(nullptr, &data), TCS_RESULT_NULL_SENSOR_HANDLE);

    ScsHarlokData harlok;
    ASSERT_EQ(scsSensorGetHarlokData(sensor, &harlok), TCS_RESULT_OK);
    EXPECT_EQ(harlok.flexId, 0x1234u);
    EXPECT_EQ(harlok.printCommand[3], 13u);
    EXPECT_EQ(harlok.version[9], 60);
    ASSERT_EQ(harlok.configReplyLength, sizeof reply);
    EXPECT_EQ(std::memcmp(harlok.configReply, reply, sizeof reply), 0);
    EXPECT_EQ(scsSensorFreeHarlokData(&harlok), TCS_RESULT_OK);
    EXPECT_EQ(harlok.configReply, nullptr);
    EXPECT_EQ(scsSensorFreeHarlokData(nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(scsSensorGetHarlokData(sensor, nullptr), TCS_RESULT_NULL_POINTER);

    device->configReply = nullptr;
    device->configReplyLength = 0;
    EXPECT_EQ(scsSensorClose(sensor), TCS_RESULT_OK);
}

TEST_F(Clients, IdentificationContextOutlivesItsDevice) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    ScsSensor* sensor = nullptr;
    ASSERT_EQ(scsSensorOpen(client_, device->name, &sensor), TCS_RESULT_OK);
    const uint8_t context[32] = {1, 2, 3, 4, 5};
    ASSERT_EQ(scsSensorSetLastIdentificationCtx(sensor, context, sizeof context), TCS_RESULT_OK);
    EXPECT_EQ(scsSensorClose(sensor), TCS_RESULT_OK);
    ASSERT_TRUE(simusb::unplug(sensor_));
    ASSERT_TRUE(pumpUntil([&] { return count(subsystem_->initialisingDevices) == 0; }));
    ASSERT_NE(subsystem_->keptIdentificationCtx, nullptr);

    device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(scsSensorOpen(client_, device->name, &sensor), TCS_RESULT_OK);
    uint8_t back[32] = {};
    ASSERT_EQ(scsSensorGetLastIdentificationCtx(sensor, back, sizeof back), TCS_RESULT_OK);
    EXPECT_EQ(std::memcmp(back, context, sizeof back), 0);
    EXPECT_EQ(subsystem_->keptIdentificationCtx, nullptr);
    EXPECT_EQ(scsSensorClose(sensor), TCS_RESULT_OK);
}

TEST_F(Clients, CommandWithoutServiceThreadRunsItsBuilderAtOnce) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    ScsSensor* sensor = nullptr;
    ASSERT_EQ(scsSensorOpen(client_, device->name, &sensor), TCS_RESULT_OK);
    ScsWitRequest request{};
    request.witId = scsWITSensor_CMD_NOOP;
    EXPECT_EQ(scsSensorSendCommand(sensor, &request), TCS_RESULT_NOT_SUPPORTED);  // no builder
    EXPECT_EQ(scsSensorSendCommand(sensor, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(scsSensorSendCommand(nullptr, &request), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_TRUE(queuedTypes(subsystem_).empty());
    EXPECT_EQ(scsSensorClose(sensor), TCS_RESULT_OK);
}

TEST_F(Clients, CommandFromAForeignThreadBecomesAWorkItem) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    ScsSensor* sensor = nullptr;
    ASSERT_EQ(scsSensorOpen(client_, device->name, &sensor), TCS_RESULT_OK);
    // A stack with a service thread that is not this one.
    subsystem_->startFlags = 0;
    std::thread service([&] {
        scsSubsystemSetTCSThreadHandle(subsystem_, palCurrentThreadId(), 1);
    });
    service.join();
    Completion completion;
    ScsWitRequest request{};
    request.witId = scsWITSensor_CMD_GET_VERSION;
    request.replyCallback = completeReply;
    request.context = &completion;
    EXPECT_EQ(scsSensorSendCommand(sensor, &request), TCS_RESULT_OK);
    EXPECT_EQ(queuedTypes(subsystem_), std::vector<uint32_t>{scsWITSensor_CMD_GET_VERSION});
    EXPECT_EQ(completion.calls, 0);
    // Back to pumping here: the item runs and completes through the request's reply callback.
    subsystem_->startFlags = SCS_START_NO_SERVICE_THREAD;
    ASSERT_TRUE(pumpUntil([&] { return completion.calls == 1; }));
    EXPECT_EQ(scsSensorClose(sensor), TCS_RESULT_OK);
}

// The wait records of the synchronous twins: a completion that comes after its caller gave up must
// land in live memory, and whichever side finishes last frees the record (ASan checks both orders).
TEST(ScsSyncWait, LateCompletionAfterTheCallerGaveUp) {
    scs::SyncWait* wait = scs::syncWaitCreate();
    ASSERT_NE(wait, nullptr);
    scs::syncWaitRelease(wait);  // the caller timed out and left
    int object = 0;
    EXPECT_EQ(scs::syncWaitComplete(&object, TCS_RESULT_OK, wait), TCS_RESULT_OK);

    wait = scs::syncWaitCreate();
    ASSERT_NE(wait, nullptr);
    EXPECT_EQ(scs::syncWaitComplete(&object, TCS_RESULT_TIMEOUT, wait), TCS_RESULT_OK);
    EXPECT_EQ(palEventWaitFor(wait->event, 0), TCS_RESULT_OK);
    EXPECT_EQ(wait->status, TCS_RESULT_TIMEOUT);
    EXPECT_EQ(wait->object, &object);
    scs::syncWaitRelease(wait);
}

TEST(ScsSyncWait, CompletionRacingTheCallerFreesOnce) {
    for (int round = 0; round < 200; ++round) {
        scs::SyncWait* wait = scs::syncWaitCreate();
        ASSERT_NE(wait, nullptr);
        std::thread completion([wait] { scs::syncWaitComplete(nullptr, TCS_RESULT_OK, wait); });
        palEventWaitFor(wait->event, round % 2 == 0 ? 0 : 5);
        scs::syncWaitRelease(wait);
        completion.join();
    }
}

}  // namespace
}  // namespace scstest

namespace scstest {
namespace {

// The LED client is made by start-up's own items. A stack stopped before they ran must still free
// it (LeakSanitizer reports the client otherwise); both the item not run at all and the item run
// with its client create still queued.
TEST(ScsLedClient, StackStoppedBeforeStartUpItemsRan) {
    for (int steps : {0, 1}) {
        PalEvent* wake = palEventAlloc(0, 1, nullptr);
        ASSERT_NE(wake, nullptr);
        ScsSubsystem* subsystem = nullptr;
        ASSERT_EQ(scsSubsystemStartup(&subsystem, wake, SCS_START_NO_SERVICE_THREAD, nullptr), TCS_RESULT_OK);
        for (int i = 0; i < steps; ++i) scsSubsystemService(subsystem, 20, nullptr);
        EXPECT_EQ(scsSubsystemShutdown(subsystem), TCS_RESULT_OK) << steps;
        palEventFree(wake);
    }
}

}  // namespace
}  // namespace scstest
