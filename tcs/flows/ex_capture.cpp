// Capture with recovery: the swipe of the capturing flows, taken again when the sensor resets itself
// during it (an electrostatic discharge makes the sensor leave the bus and come back).
#include "platform/clock.h"
#include "platform/text.h"
#include "tcs/database/dss_store.h"
#include "tcs/flows/ex_detail.h"
#include "tcs/flows/ex_recognition_detail.h"
#include "tcs/sensorctl/init/led.h"

#include <cstring>

using namespace exflows;

namespace {

constexpr uint32_t kRemovalWaitMs = 2000;
constexpr uint32_t kRemovalPollMs = 10;
constexpr uint32_t kArrivalWaitMs = 1500;
constexpr uint32_t kArrivalPollMs = 100;
constexpr uint32_t kReadyWaitMs = 3000;
constexpr uint32_t kReadyPollMs = 10;
constexpr uint32_t kMaxRounds = 200;
constexpr uint32_t kAllEvents = 0;
constexpr TcsResult kAborted = 501;

// The watch is written by the service thread and polled by the flow.
uint32_t load(const uint32_t& word) { return __atomic_load_n(&word, __ATOMIC_ACQUIRE); }
void store(uint32_t& word, uint32_t value) { __atomic_store_n(&word, value, __ATOMIC_RELEASE); }

// Polls until the condition holds or limitMs have passed since `from`; the condition's last answer.
template <class Condition>
bool pollUntil(Condition condition, uint32_t from, uint32_t limitMs, uint32_t pollMs) {
    for (;;) {
        if (condition()) return true;
        if (palGetTickCount() - from >= limitMs) return condition();
        palSleep(pollMs);
    }
}

TcsHandle clientHandleOf(SensorRecord* sensor) {
    return sensor->client != nullptr ? handleOf(sensor->client, TCS_HANDLE_TYPE_CLIENT) : 0;
}

void hardReset(SensorRecord* sensor) {
    ScsSensor* control = sensor->sensorControlSensor;
    ScsSensorDevice* device = nullptr;
    if (scsSensorDeviceAcquire(control, &device) == TCS_RESULT_OK) {
        scsSensorHardReset(device->name, control, 0);
        scsSensorDeviceRelease(device);
    } else {
        // The device record went with the sensor: the name it was opened by still finds it.
        scsSensorHardReset(sensor->sensorId, control, 0);
    }
}

enum class Recovery { Back, Lost, LostAfterReset };

// After a failed capture: the sensor must leave, come back and be ready again.
Recovery waitForReturn(EsdWatch& watch) {
    if (!pollUntil([&] { return load(watch.removed) != 0; }, palGetTickCount(), kRemovalWaitMs, kRemovalPollMs)) {
        return Recovery::LostAfterReset;
    }
    for (uint32_t round = 0;; ++round) {
        if (!pollUntil([&] { return load(watch.arrived) != 0; }, load(watch.removalTick), kArrivalWaitMs,
                       kArrivalPollMs)) {
            return Recovery::Lost;
        }
        bool left = false;
        const bool ready = pollUntil(
            [&] {
                left = load(watch.arrived) == 0;
                return left || load(watch.ready) != 0;
            },
            palGetTickCount(), kReadyWaitMs, kReadyPollMs);
        if (ready && !left) return Recovery::Back;
        // A sensor that keeps leaving before it is ready is given up after 200 returns.
        if (!left || round + 1 >= kMaxRounds) return Recovery::LostAfterReset;
    }
}

TcsResult reattach(TcsHandle sensorHandle, DssAppStorage* storage) {
    TcsResult result = tcsSensorReattach(sensorHandle);
    DssDatabase* database = storage != nullptr ? storage->database : nullptr;
    if (result == TCS_RESULT_OK && database != nullptr && database->storeKind == DSS_STORE_SENSOR &&
        database->sensorHandle != 0 && database->sensorHandle != sensorHandle) {
        result = tcsSensorReattach(database->sensorHandle);
    }
    return result;
}

// What the recovery sets up and takes down again around the capture.
class RecoveryWatch {
public:
    RecoveryWatch(SensorRecord* sensor, TcsHandle sensorHandle) : sensor_(sensor), sensorHandle_(sensorHandle) {
        std::memset(&watch_, 0, sizeof watch_);
    }
    ~RecoveryWatch() { stop(); }
    // The caller's client hears the sensor's system events again; the watch ends.
    void stop() {
        if (ownClient_ != 0) tcsSystemEventListen(ownClient_, kAllEvents, 1);
        if (esdClient_ != 0) {
            tcsClientEventsRemoveCallback(esdClient_, ExSystemEventsHandler, &watch_);
            tcsClientDestroy(esdClient_);
        }
        if (sensorCallback_) tcsSensorEventsRemoveCallback(sensorHandle_, tcsSensorEventsCBEx, &watch_);
        ownClient_ = esdClient_ = 0;
        sensorCallback_ = false;
    }
    RecoveryWatch(const RecoveryWatch&) = delete;
    RecoveryWatch& operator=(const RecoveryWatch&) = delete;

    TcsResult start() {
        TcsResult result = tcsClientCreateSys(sensor_->client->stack, &esdClient_);
        if (result != TCS_RESULT_OK) return result;
        ownClient_ = clientHandleOf(sensor_);
        if (ownClient_ != 0) tcsSystemEventListen(ownClient_, kAllEvents, 0);
        result = tcsClientEventsAddCallback(esdClient_, ExSystemEventsHandler, &watch_);
        if (result != TCS_RESULT_OK) return result;
        result = tcsSensorEventsAddCallback(sensorHandle_, tcsSensorEventsCBEx, &watch_);
        sensorCallback_ = result == TCS_RESULT_OK;
        return result;
    }
    EsdWatch& watch() { return watch_; }

private:
    SensorRecord* sensor_;
    TcsHandle sensorHandle_;
    EsdWatch watch_;
    TcsHandle esdClient_ = 0;
    TcsHandle ownClient_ = 0;
    bool sensorCallback_ = false;
};

}  // namespace

extern "C" {

TcsResult tcsEIVGetFingerprintCB(void* image, TcsResult status, void* record) {
    auto* wait = static_cast<ExCaptureWait*>(record);
    if (wait == nullptr) return TCS_RESULT_NULL_POINTER;
    wait->image = status == TCS_RESULT_OK ? TcsHandle(uintptr_t(image)) : 0;
    store(wait->status, status);
    palEventSet(wait->event);
    return TCS_RESULT_OK;
}

TcsResult ExSystemEventsHandler(void* client, void* watchArgument, EventRecord* event) {
    auto* watch = static_cast<EsdWatch*>(watchArgument);
    if (client == nullptr || watch == nullptr || event == nullptr) return TCS_RESULT_NULL_CLIENT_HANDLE;
    switch (event->id) {
        case TCS_SYSTEM_EVENT_SENSOR_ARRIVING: {
            const auto* id = static_cast<const char*>(event->data);
            const size_t length = id != nullptr ? strnlen(id, event->dataSize) : 0;
            const size_t kept = length < sizeof watch->sensorId ? length : sizeof watch->sensorId - 1;
            if (kept != 0) std::memcpy(watch->sensorId, id, kept);
            watch->sensorId[kept] = '\0';
            store(watch->arrived, 1);
            break;
        }
        case TCS_SYSTEM_EVENT_SENSOR_READY: store(watch->ready, 1); break;
        case TCS_SYSTEM_EVENT_SENSOR_REMOVED:
            store(watch->arrived, 0);
            store(watch->ready, 0);
            store(watch->removalTick, palGetTickCount());
            std::memset(watch->sensorId, 0, sizeof watch->sensorId);
            store(watch->removed, 1);
            break;
        default: break;
    }
    return TCS_RESULT_OK;
}

TcsResult GetFingerprintIncludeESD(SensorRecord* sensor, DssAppStorage* appStorage, TcsHandle* outImage,
                                   const char*) {
    const TcsHandle sensorHandle = handleOf(sensor, TCS_HANDLE_TYPE_SENSOR);
    if (sensorHandle == 0 || sensor->client == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    if (outImage == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outImage = 0;
    ExCaptureWait wait{0, 0, palEventAlloc(0, 0, nullptr)};
    if (wait.event == nullptr) return TCS_RESULT_EVENT_CREATION_FAILED;
    struct EventOwner {
        PalEvent* event;
        ~EventOwner() { palEventFree(event); }
    } eventOwner{wait.event};

    RecoveryWatch recovery(sensor, sensorHandle);
    TcsResult result = recovery.start();
    if (result != TCS_RESULT_OK) return result;
    EsdWatch& watch = recovery.watch();
    CoreSubsystem* stack = sensor->client->stack;
    for (;;) {
        scsSensorLEDSetEvent(sensor->sensorControlSensor, SCS_LED_READY);
        result = tcsSensorGetFingerprintAsyncA(sensorHandle, tcsEIVGetFingerprintCB, &wait, nullptr);
        if (result != TCS_RESULT_OK) return noSwipe(result);
        _tcsSubsystemWaitForResponse(stack, wait.event, PAL_INFINITE);
        const TcsResult status = load(wait.status);
        if (status == TCS_RESULT_OK) {
            tcsSensorEventListen(sensorHandle, TCS_SENSOR_EVENT_SWIPE_NOW, 1);
            *outImage = wait.image;
            return TCS_RESULT_OK;
        }
        // The capture stops a swipe that fails while reading as an abort: only one whose sensor is
        // still there was aborted; a sensor that went is recovered like any other failure.
        if (status == kAborted && scsSensorValidate(sensor->sensorControlSensor) == TCS_RESULT_OK) {
            return TCS_RESULT_SWIPE_ABORTED;
        }
        const Recovery back = waitForReturn(watch);
        if (back == Recovery::Lost) return TCS_RESULT_NO_SWIPE;
        if (back == Recovery::LostAfterReset || reattach(sensorHandle, appStorage) != TCS_RESULT_OK) {
            // The caller listens again before the reset, so that it learns its sensor went.
            recovery.stop();
            hardReset(sensor);
            return TCS_RESULT_NO_SWIPE;
        }
        // The person was asked to swipe already: the capture asks again without a second prompt.
        if (load(watch.swipePromptSeen) != 0) tcsSensorEventListen(sensorHandle, TCS_SENSOR_EVENT_SWIPE_NOW, 0);
        store(watch.removed, 0);
    }
}

}  // extern "C"
