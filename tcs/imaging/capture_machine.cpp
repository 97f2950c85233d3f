// The capture machine of family 1 and 2 sensors: one get-fingerprint item from the first sensor
// command to the delivered image, with its fingerprint-buffer lists, data callback, wake-on-event
// poll and the reconstructor's user callback.
#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "tcs/imaging/ids_internal.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/init/device_accessors.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/secure/fp_signing.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/init/led.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/print_defaults.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/sensor_properties.h"

#include <cstring>

namespace {

constexpr const char* kTfs530Section = "SOFTWARE\\Tovantic\\tfs530";
constexpr const char* kLedSection = "SOFTWARE\\Tovantic\\LED";
constexpr TcsResult kIgnoredStatus = 10001;
constexpr TcsResult kFingerPresentNotice = 90;
constexpr uint32_t kFingerPresent = 3;
constexpr uint32_t kNoLimit = 0xFFFFFFFFu;
constexpr uint32_t kQualityRetry = 0x80200000u;
constexpr uint32_t kQualityNeedsCalibration = 0x400000u;
constexpr uint32_t kStartNoRecalibration = 0x04000000u;
constexpr uint32_t kFirstFlags = 0x409D, kLaterFlags = 0x408D;
constexpr uint32_t kBufferedFirstFlags = 0x419D, kBufferedLaterFlags = 0x418D;
constexpr uint32_t kLineLengthItem = 8;
constexpr uint32_t kStopWaitMs = 100;
constexpr uint32_t kFingerWaitMs = 250;
constexpr uint32_t kDataLimitMs = 2000;
constexpr uint32_t kSuspendWaitMs = 23;
constexpr uint32_t kCalibrationTimeoutMs = 15000;

enum : uint32_t {
    sStart = 0, sArea = 1, sBaseline = 2, sAttempt = 3, sPatch = 4, sPost = 5, sFingerChoice = 6, sLed = 7,
    sLedReply = 8, sStartReading = 9, sOpen = 10, sFingerPoll = 11, sFingerWait = 12, sReading = 13, sStop = 14,
    sStopWait = 15, sBuffered = 16, sWoe = 17, sWoeReply = 18, sBeforeReconstruct = 19, sReconstruct = 20,
    sRunPatch = 21, sAfter = 22, sRecalibrate = 23, sRecalWoe = 24, sRecalWoeReply = 25, sRecalBaseline = 26,
    sDeliver = 27, sLedRetry = 28, sAbort = 29, sAbortWait = 30, sAbortWoe = 31, sAbortWoeReply = 32,
    sAbortRunPatch = 33, sFail = 34, sSuspendWait = 35,
};

uint32_t settingLong(const char* section, const char* key, uint32_t fallback) {
    uint32_t value = fallback;
    palGetPersistentDataLongValue(section, key, fallback, &value);
    return value;
}

bool isAllOnes(const PrintConfiguration* config) {
    return config == reinterpret_cast<const PrintConfiguration*>(~uintptr_t(0));
}

PrintConfiguration* configurationOf(GetPrintContext* c) {
    if (c->printConfig != nullptr && !isAllOnes(c->printConfig)) return c->printConfig;
    PrintConfiguration* config = nullptr;
    if (scsSensorGetDefaultPrintConfiguration(c->sensor->scsSensor, &config) != TCS_RESULT_OK || config == nullptr) {
        return reinterpret_cast<PrintConfiguration*>(~uintptr_t(0));
    }
    return config;
}

ScsSubsystem* sensorControlOf(IdsSensor* sensor) {
    return sensor->client != nullptr && sensor->client->subsystem != nullptr ? sensor->client->subsystem->sensorControl
                                                                             : nullptr;
}

void wake(IdsSensor* sensor) { idsSensorSignalWorkToDo(sensor); }

uint32_t captureStateOf(ScsSensor* control) {
    uint32_t state = 0;
    scsSensorGetState(control, &state);
    return state;
}

bool selectiveSuspend(IdsSensor* sensor) { return scsIsSelectiveSuspendEnabled(sensor->scsSensor) == 1; }

// Sensor control calls its completions with (object, status, context): the machine is re-entered
// with the reply as its first argument.
TcsResult machineReply(void* object, TcsResult status, void* item) {
    return idsWITSensorGetHarlokFingerprint(object, status, static_cast<WorkItem*>(item));
}

void raiseOnce(GetPrintContext* c, uint32_t id) {
    if (id == IDS_EVENT_FINGER_DETECTED) {
        if (c->fingerDetected) return;
        c->fingerDetected = 1;
    } else if (id == IDS_EVENT_FINGER_REMOVED) {
        if (!c->fingerDetected) return;
        c->fingerDetected = 0;
    } else if (id == IDS_EVENT_SWIPE_NOW) {
        if (c->waitingForFinger) return;
        c->waitingForFinger = 1;
    }
    idsSensorEventPerformCallback(c, id, nullptr, 0);
}

void freeArea(IdsSensor* sensor) {
    palRealFree(sensor->area);
    sensor->area = nullptr;
    sensor->areaSize = 0;
}

void closeHandle(GetPrintContext* c) {
    if (c->handle != nullptr && c->sensor->reconstructor != nullptr) c->sensor->reconstructor->Close(c->handle);
    c->handle = nullptr;
}

TcsResult queueFingerState(GetPrintContext* c, WorkItem* item, ScsCallback reply = machineReply) {
    ScsSubsystem* control = sensorControlOf(c->sensor);
    if (control == nullptr) return TCS_RESULT_NULL_POINTER;
    auto* poll = reinterpret_cast<ScsFingerStatePoll*>(&c->fingerRequest);
    static_assert(sizeof(FingerStateRequest) >= sizeof(ScsFingerStatePoll));
    poll->sensor = c->sensor->scsSensor;
    poll->pollIntervalMs = c->sensor->pollPeriod != 0 ? c->sensor->pollPeriod : 50;
    poll->mode = c->captureMode;
    poll->firstReportPending = 1;
    const TcsResult r = palWorkItemEnqueue(&control->workList, scsWitIdGetFingerState, 0, poll,
                                           uint64_t(uintptr_t(reply)), uint64_t(uintptr_t(item)), 1,
                                           &c->fingerSequence);
    c->fingerQueued = r == TCS_RESULT_OK;
    return r;
}

void cancelFingerState(GetPrintContext* c) {
    ScsSubsystem* control = sensorControlOf(c->sensor);
    if (control != nullptr && c->fingerQueued) palWorkItemCancel(&control->workList, 1, 1, c->fingerSequence);
    c->fingerQueued = 0;
}

// --- The LED during a capture ------------------------------------------------------------------------
// The LED state belongs to sensor control; the capture reads and writes its part under its lock.

template <class Edit>
void withLed(ScsSensor* control, Edit edit) {
    scsSensorLEDWithState(control, [](ScsLedState* state, void* e) { (*static_cast<Edit*>(e))(*state); }, &edit);
}

// Whole seconds since a tick, to the nearest (a remainder of 501 ms or more rounds up).
int64_t roundedSecondsSince(uint32_t tick) {
    const uint32_t elapsed = palGetTickCount() - tick;
    return elapsed / 1000 + (elapsed % 1000 >= 501 ? 1 : 0);
}

int64_t secondsLeftOfPrevious(const ScsLedState& led) {
    return int64_t(led.secondsLeft) - roundedSecondsSince(led.lastSendTick);
}

bool shownAgain(uint32_t event) {
    return (event >= SCS_LED_READY && event <= SCS_LED_SWIPE_REJECTED) || event == SCS_LED_INDICATOR;
}

// Something the LED should show now rather than wait for the finger: an override, the ready pattern,
// or the end of the event shown again.
bool ledWantsTheSensor(const ScsLedState& led) {
    return led.changed != 0 || led.changeForCapture != 0 || (led.patternActive != 0 && led.previousPending == 0) ||
           (led.previousPending != 0 && secondsLeftOfPrevious(led) < 1);
}

// Chooses the pattern of the next LED command: the override, else the last event again for the
// seconds it has left, else the default event. False when there is nothing to show.
bool chooseLedPattern(ScsLedState& led, bool showPrevious) {
    // From here on a change is this attempt's to show; one the owner has sent already is shown
    // again as the last event.
    led.changeForCapture = 0;
    if (led.changed != 0) {
        led.current = led.slots[SCS_LED_INDICATOR_SLOT];
        led.playingEvent = led.currentEvent == SCS_LED_IDLE ? SCS_LED_IDLE : SCS_LED_INDICATOR;
        return true;
    }
    if (showPrevious && shownAgain(led.lastSentEvent)) {
        const int64_t left = int64_t(led.lastSentDuration) - roundedSecondsSince(led.lastSendTick);
        led.previousPending = left >= 1 ? 1 : 0;
        if (led.previousPending) {
            // The send restarts its tick: the event runs out when it would have.
            led.secondsLeft = uint32_t(left);
            led.current = led.lastSent;
            led.current.duration = uint32_t(left);
            led.playingEvent = led.lastSentEvent;
            return true;
        }
    }
    if (led.patternActive == 0) return false;
    const int32_t slot = scsLedSlotOf(led.currentEvent);
    if (slot >= 0) led.current = led.slots[slot];
    led.playingEvent = led.currentEvent;
    return true;
}

void forgetPrevious(ScsLedState& led) {
    led.previousPending = 0;
    led.lastSentEvent = 0;
    led.secondsLeft = 0;
}

TcsResult machineLedReply(ScsReplyView*, TcsResult status, void* item) {
    return idsWITSensorGetHarlokFingerprint(nullptr, status, static_cast<WorkItem*>(item));
}

// The wake-on-event set-up runs directly on the service thread.
TcsResult woeSetup(GetPrintContext* c, uint32_t argument) {
    ScsWoeSetupContext setup{c->sensor->scsSensor, argument};
    return scsSensorHarlokWOESetup(sensorControlOf(c->sensor), &setup);
}

void ratchet(GetPrintContext* c) {
    WoeRatchet* w = c->woe;
    IdsSensor* sensor = c->sensor;
    if (w == nullptr || (c->captureMode != 2 && c->captureMode != 4)) return;
    const uint32_t now = palGetTickCount();
    if (now - w->slotBase >= 60000) {
        w->slotBase = now;
        w->slotIndex = 0;
        std::memset(w->slots, 0, sizeof w->slots);
    } else {
        while (now - w->slotBase > 9999) {
            w->slotIndex = (w->slotIndex + 1) % 6;
            w->slots[w->slotIndex] = 0;
            w->slotBase += 10000;
        }
    }
    ++w->slots[w->slotIndex];
    uint32_t sum = 0;
    for (uint32_t s : w->slots) sum += s;
    if (!w->enabled || (w->slots[w->slotIndex] < w->threshold1 && sum < w->threshold2)) return;
    ScsSensor* control = sensor->scsSensor;
    if (c->captureMode != 2) {
        const bool rsa = scsSensorIsRSASecured(control) == 1;
        const uint32_t step = rsa ? 25 : 50, limit = rsa ? 100 : 250;
        uint32_t delta = 0;
        if (scsSensorGetMotionParamThresholdDelta(control, &delta) == TCS_RESULT_OK && delta < limit) {
            scsSensorSetMotionParamThresholdDelta(control, delta + step);
        }
    } else {
        uint32_t threshold = 0, delta = 0;
        scsSensorGetWoeThreshold(control, &threshold);
        scsSensorGetWoeThresholdDelta(control, &delta);
        if (threshold + delta < w->limit || scsIsWOENFEnabled(control) == 1) {
            scsSensorSetWoeThresholdDelta(control, delta + w->step);
        }
    }
}

void makeRatchet(GetPrintContext* c) {
    ScsSensor* control = c->sensor->scsSensor;
    uint32_t supported = 0;
    if (scsIsWoeSupported(control, &supported) != TCS_RESULT_OK || supported == 0) return;
    auto* w = static_cast<WoeRatchet*>(palRealMalloc(sizeof(WoeRatchet)));
    if (w == nullptr) return;
    std::memset(w, 0, sizeof *w);
    w->slotBase = palGetTickCount();
    w->enabled = settingLong(kTfs530Section, "woeRatchetingEnable", 1);
    w->threshold1 = settingLong(kTfs530Section, "woeRatchetingThreshold1", 2);
    w->threshold2 = settingLong(kTfs530Section, "woeRatchetingThreshold2", 3);
    w->step = 1;
    w->limit = settingLong(kTfs530Section, "woeRatchetingLimit", 16);
    if (scsIsAlternateWOEEnabled(control) == 1) {
        w->step = settingLong(kTfs530Section, "wovarRatchetingStep", 16);
        w->limit = settingLong(kTfs530Section, "woeRatchetingLimit", 1024);
    }
    if (w->enabled && (scsSensorSetWoeThresholdDelta(control, 0) != TCS_RESULT_OK ||
                       scsSensorSetMotionParamThresholdDelta(control, 0) != TCS_RESULT_OK)) {
        palRealFree(w);
        return;
    }
    c->woe = w;
}

// The poll's own finger-state requests answer to the poll, which wakes the machine.
TcsResult woeReply(void* object, TcsResult status, void* item) {
    return idsSensorWOEFingerprintPoll(object, status, static_cast<WorkItem*>(item));
}

// The wake-on-event poll of capture mode 3: 0 on progress, 501 as an abort ends it, 54 once it failed.
TcsResult woePoll(void* reply, TcsResult status, WorkItem* item, bool visit) {
    auto* c = static_cast<GetPrintContext*>(item->object);
    WoeRatchet* w = c->woe;
    switch (w->pollState) {
        case 0:
            w->pollState = woeSetup(c, 0) == TCS_RESULT_OK ? 5 : 8;
            if (w->pollState == 5) w->fingerEvent = 1;
            c->fallback = sFail;
            return TCS_RESULT_OK;
        case 5:
            if (!visit) return TCS_RESULT_OK;
            w->pollState = queueFingerState(c, item, woeReply) == TCS_RESULT_OK ? 6 : 8;
            return TCS_RESULT_OK;
        case 6:
            if (visit) {
                if (c->abort) {
                    cancelFingerState(c);
                    c->abort = 0;
                    w->pollState = 8;
                    return IDS_RESULT_ABORTED;
                }
                idsRunStatus(item) = kWaiting;
                return TCS_RESULT_OK;
            }
            if (status != TCS_RESULT_OK) {
                w->pollState = 8;
            } else if (uint32_t(uintptr_t(reply)) == kFingerPresent) {
                c->fingerQueued = 0;
                raiseOnce(c, IDS_EVENT_FINGER_DETECTED);
                w->pollState = 7;
            } else {
                raiseOnce(c, IDS_EVENT_FINGER_REMOVED);
            }
            wake(c->sensor);
            return TCS_RESULT_OK;
        case 7: return TCS_RESULT_OK;
        default: return TCS_RESULT_ERROR;
    }
}

void dropEarlyBufferLists(GetPrintContext* c) {
    if (c->earlyBufferLists) idsFPBufferDestroyList(c);
    c->earlyBufferLists = 0;
}

// Last buffer of a swipe: a short transfer, or a full one whose last line carries the sensor's
// end mark (bytes 1, 1 followed by 0 or 4).
bool endMarkInLastLine(const uint8_t* data, uint32_t length, uint32_t lineLength) {
    if (lineLength == 0 || length < 3) return false;
    const uint32_t from = length > lineLength ? length - lineLength : 0;
    for (uint32_t i = from; i + 2 < length; ++i) {
        if (data[i] == 1 && data[i + 1] == 1 && (data[i + 2] == 0 || data[i + 2] == 4)) return true;
    }
    return false;
}

// Where the third occurrence of the pair 1, 254 begins (before the last byte when there is none).
uint32_t bufferedSplit(const uint8_t* data, uint32_t length) {
    uint32_t seen = 0;
    for (uint32_t i = 0; i + 1 < length; ++i) {
        if (data[i] == 1 && data[i + 1] == 254 && ++seen == 3) return i;
    }
    return length > 0 ? length - 1 : 0;
}

}  // namespace

// The wake-on-event poll as its own entry: a visit with status 209, a reply with its status.
TcsResult idsSensorWOEFingerprintPoll(void* reply, TcsResult status, WorkItem* item) {
    if (item == nullptr || item->object == nullptr) return TCS_RESULT_NULL_POINTER;
    if (static_cast<GetPrintContext*>(item->object)->woe == nullptr) return TCS_RESULT_ERROR;
    return woePoll(reply, status, item, status == TCS_RESULT_SERVICE);
}

// --- Fingerprint buffers ----------------------------------------------------------------------------

TcsResult idsFPBufferCreateList(GetPrintContext* c) {
    if (c == nullptr) return TCS_RESULT_BAD_PARAM;
    IdsSensor* sensor = c->sensor;
    if (sensor->bufferCount == 0 || sensor->chunkSize == 0) return TCS_RESULT_BAD_PARAM;
    if (palCriticalSectionAcquire(c->bufferLock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    TcsResult r = TCS_RESULT_OK;
    if (c->bufferRefs++ == 0) {
        for (uint32_t i = 0; i < sensor->bufferCount; ++i) {
            auto* node = static_cast<FpBufferNode*>(palRealMalloc(sizeof(FpBufferNode)));
            if (node == nullptr) {
                r = TCS_RESULT_INVALID;
                break;
            }
            std::memset(node, 0, sizeof *node);
            node->size = sensor->chunkSize;
            palListInsertTail(&c->freeList, &node->links);
        }
    }
    palCriticalSectionRelease(c->bufferLock);
    if (r != TCS_RESULT_OK) {
        c->bufferRefs = 1;
        idsFPBufferDestroyList(c);
    }
    return r;
}

TcsResult idsFPBufferDestroyList(GetPrintContext* c) {
    if (c == nullptr) return TCS_RESULT_BAD_PARAM;
    if (palCriticalSectionAcquire(c->bufferLock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    if (c->bufferRefs > 0 && --c->bufferRefs == 0) {
        for (PalListEntry* list : {&c->freeList, &c->filledList}) {
            while (!palListIsEmpty(list)) {
                PalListEntry* e = list->next;
                palListRemove(e);
                palRealFree(PAL_LIST_RECORD(e, FpBufferNode, links));
            }
        }
    }
    palCriticalSectionRelease(c->bufferLock);
    return TCS_RESULT_OK;
}

TcsResult idsFPBufferQueue(WorkItem* item, uint32_t length, uint8_t* data, uint32_t last) {
    if (item == nullptr || item->object == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* c = static_cast<GetPrintContext*>(item->object);
    if (palCriticalSectionAcquire(c->bufferLock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    if (c->bufferRefs == 0) {
        palCriticalSectionRelease(c->bufferLock);
        return TCS_RESULT_BAD_PARAM;
    }
    if (!palListIsEmpty(&c->freeList)) {
        PalListEntry* e = c->freeList.next;
        palListRemove(e);
        auto* node = PAL_LIST_RECORD(e, FpBufferNode, links);
        node->filled = length;
        node->data = data;
        node->last = last;
        palListInsertTail(&c->filledList, e);
    }
    palCriticalSectionRelease(c->bufferLock);
    wake(c->sensor);
    return TCS_RESULT_OK;
}

TcsResult idsFPBufferProcess(WorkItem* item, uint32_t* outLast) {
    if (outLast != nullptr) *outLast = 0;
    if (item == nullptr || item->object == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* c = static_cast<GetPrintContext*>(item->object);
    IdsSensor* sensor = c->sensor;
    if (palCriticalSectionAcquire(c->bufferLock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    FpBufferNode* node = nullptr;
    if (!palListIsEmpty(&c->filledList)) {
        PalListEntry* e = c->filledList.next;
        palListRemove(e);
        node = PAL_LIST_RECORD(e, FpBufferNode, links);
    }
    palCriticalSectionRelease(c->bufferLock);
    if (node == nullptr) return TCS_RESULT_OK;
    TcsResult r = TCS_RESULT_OK;
    IrDliBuffer buffer{node->data, node->filled, node->last};
    if (c->handle != nullptr) r = sensor->reconstructor->Data(c->handle, &buffer);
    const uint32_t last = buffer.done;
    if (last != 1) {
        bool post = captureStateOf(sensor->scsSensor) == 1 && !node->last;
        if (sensor->allowanceTotal > 0) {
            if (sensor->allowanceRemaining < 1) post = false;
            sensor->allowanceRemaining = sensor->allowanceRemaining < int32_t(node->filled)
                                             ? 0
                                             : sensor->allowanceRemaining - int32_t(node->filled);
        }
        if (post) {
            scsSensorPostFingerprintBufferEx(sensor->scsSensor, node->data, sensor->chunkSize, 0, c->dataCallback,
                                             item);
        }
    } else {
        wake(sensor);
    }
    palCriticalSectionAcquire(c->bufferLock);
    std::memset(node, 0, sizeof *node);
    node->size = sensor->chunkSize;
    palListInsertTail(&c->freeList, &node->links);
    palCriticalSectionRelease(c->bufferLock);
    if (outLast != nullptr) *outLast = last;
    return r;
}

// --- Sensor data -----------------------------------------------------------------------------------

TcsResult idsHarlokFingerprintCallback(void* itemArgument, TcsResult status, uint8_t* data, uint32_t length, void*) {
    auto* item = static_cast<WorkItem*>(itemArgument);
    if (item == nullptr || item->object == nullptr) return TCS_RESULT_OK;
    auto* c = static_cast<GetPrintContext*>(item->object);
    IdsSensor* sensor = c->sensor;
    ScsSensor* control = sensor->scsSensor;
    if (status == kFingerPresentNotice) {
        if (c->captureMode == 2) {
            raiseOnce(c, IDS_EVENT_FINGER_DETECTED);
            c->fingerEventSeen = 1;
        }
        return TCS_RESULT_OK;
    }
    if (status == TCS_RESULT_SENSOR_NOT_FOUND && length == 0 && data != nullptr && sensor->dataCallbacks == 0 &&
        !c->endOfData && idsItemState(item) <= sReading && captureStateOf(control) == 1 &&
        scsSensorPostFingerprintBufferEx(control, data, sensor->chunkSize, 0, idsHarlokFingerprintCallback, item) ==
            TCS_RESULT_OK) {
        // Reads that found nothing before the first data: the user has not swiped yet. The buffer
        // waits again; the capture ends on its own time-out or an abort, not here.
        return TCS_RESULT_OK;
    }
    if (status != TCS_RESULT_OK) {
        // Once the sensor has ended the data, the buffers still posted behind it fail as the stream
        // stops: that must not throw the finished swipe away.
        if (idsItemState(item) <= sReading && !c->endOfData) {
            idsItemResult(item) = status;
            c->abort = 1;
        }
        wake(sensor);
        return TCS_RESULT_OK;
    }
    uint32_t last = 0;
    if (sensor->chunkSize > length) {
        last = 1;
        if (length >= c->lineLength) c->endOfData = 1;
    } else if (endMarkInLastLine(data, length, c->lineLength)) {
        last = 1;
        c->endOfData = 1;
    }
    const uint32_t state = idsItemState(item);
    if (state != sAbort && state != sAbortWait) {
        uint32_t split = 0;
        if (scsSensorFpBufferingIsFeatureSupported(control) == 1 && scsSensorFpBufferingIsEnabled(control) == 1) {
            if (sensor->firstBufferAfterRestart) {
                sensor->firstBufferAfterRestart = 0;
                split = bufferedSplit(data, length);
                scsSensorFpBufferingAppendFpData(control, data, split);
                std::memset(data, 0, split);
            }
            if (length > c->lineLength && c->lineLength != 0) {
                scsSensorFpBufferingSaveLastLine(control, data + length - c->lineLength, c->lineLength);
            }
        }
        idsFPBufferQueue(item, length, data, last);
        if (c->qcf != nullptr && length > split) idsFPFileStreamQcf(c, data + split, length - split, last);
    }
    if (captureStateOf(control) == 1 && sensor->dataCallbacks == 0) {
        c->firstDataTick = palGetTickCount();
        c->dataTimeLimit = kDataLimitMs;
        if (c->captureMode == 2) scsSensorDisableSelectiveSuspend(control);
    }
    ++sensor->dataCallbacks;
    c->lastItemTick = palGetTickCount();
    return TCS_RESULT_OK;
}

void idsUserCallback(IrDliUserEvent* request, uint32_t* outResult) {
    if (outResult != nullptr) *outResult = 0;
    if (request == nullptr || request->context == nullptr) {
        if (outResult != nullptr) *outResult = TCS_RESULT_NULL_POINTER;
        return;
    }
    auto* c = static_cast<GetPrintContext*>(request->context);
    const auto* record = static_cast<const IrDliEventData*>(request->data);
    const bool hasData = record != nullptr && record->data != nullptr && record->size != 0;
    TcsResult r = TCS_RESULT_OK;
    switch (request->id) {
        case kUserEventOpened:
            r = idsFPBufferCreateList(c);
            idsFPFileOpen(c);
            break;
        case kUserEventLine:
            if (hasData && c->bmpFile == nullptr && c->bmpMemory == nullptr) break;
            r = hasData ? idsFPFileStreamBMP(c, static_cast<const uint8_t*>(record->data), record->size)
                        : TcsResult(TCS_RESULT_BAD_PARAM);
            break;
        case kUserEventPrependedRaw:
            r = hasData ? idsFPFilePrependQcf(c, static_cast<const uint8_t*>(record->data), record->size)
                        : TcsResult(TCS_RESULT_BAD_PARAM);
            break;
        case kUserEventPrependedLines:
            if (hasData && c->bmpFile == nullptr && c->bmpMemory == nullptr) break;
            r = hasData ? idsFPFilePrependBMP(c, static_cast<const uint8_t*>(record->data), record->size)
                        : TcsResult(TCS_RESULT_BAD_PARAM);
            break;
        case 4: break;
        case 5:
        case 6:
        case 7:
        case 8:
            if (scsSensorIsPavlek(c->sensor->scsSensor) == 1) {
                if (request->id == 5) raiseOnce(c, IDS_EVENT_FINGER_DETECTED);
                if (request->id == 6) raiseOnce(c, IDS_EVENT_FINGER_REMOVED);
                if (request->id == 7 && c->fingerDetected) idsSensorEventPerformCallback(c, IDS_EVENT_FINGER_EXTRA, nullptr, 0);
                if (request->id == 8) c->thirdFinger = 1;
            }
            break;
        case kUserEventClosed:
            idsFPBufferDestroyList(c);
            idsFPFileClose(c);
            break;
        default: r = TCS_RESULT_BAD_PARAM; break;
    }
    // Streaming into debug output never fails the capture.
    if (outResult != nullptr && request->id != kUserEventLine && request->id != kUserEventPrependedRaw &&
        request->id != kUserEventPrependedLines) {
        *outResult = r;
    }
}

// --- The machine -------------------------------------------------------------------------------------

TcsResult idsWITSensorGetHarlokFingerprint(void* argument, TcsResult status, WorkItem* item) {
    if (status == kIgnoredStatus) return TCS_RESULT_OK;
    if (item == nullptr || item->object == nullptr) return TCS_RESULT_NULL_POINTER;
    auto* c = static_cast<GetPrintContext*>(item->object);
    IdsSensor* sensor = c->sensor;
    ScsSensor* control = sensor->scsSensor;
    const uint32_t mode = c->captureMode;
    uint32_t& state = idsItemState(item);
    TcsResult& result = idsItemResult(item);
    bool visit = status == TCS_RESULT_SERVICE;
    idsRunStatus(item) = kRunnable;
    if (c->abort && visit && c->fallback != 0) {
        state = c->fallback;
        c->fallback = 0;
        c->abort = 0;
        withLed(control, [](ScsLedState& led) { led.waitEnded = 0; });
        const TcsResult r = scsSensorSetSuspendMode(control, 0);
        result = r != TCS_RESULT_OK ? r : IDS_RESULT_ABORTED;
    }
    auto fail = [&](TcsResult r, uint32_t next = sFail) {
        result = r;
        state = next;
    };
    for (;;) {
        switch (state) {
            case sStart:
                sensor->pollPeriod = scsIsInterruptEndpointEnabled(control) == 1
                                         ? 1
                                         : settingLong(kTfs530Section, "fingerPollPeriod", 50);
                c->retries = 0;
                c->fingerDetected = 0;
                c->laterCapture = 0;
                makeRatchet(c);
                scsSensorFpBufferingDisable(control);
                c->fallback = sFail;
                state = sArea;
                break;
            case sArea: {
                freeArea(sensor);
                uint32_t line = 0;
                const TcsResult r =
                    scsSensorGetUint32DataFromPrintConfig(control, configurationOf(c), kLineLengthItem, &line);
                if (r != TCS_RESULT_OK) {
                    fail(r);
                    break;
                }
                c->lineLength = line;
                uint32_t size = sensor->chunkSize * sensor->bufferCount;
                if (size < 20 * line) size = 20 * line;
                sensor->area = static_cast<uint8_t*>(palRealMalloc(size));
                if (sensor->area == nullptr) {
                    fail(TCS_RESULT_OUT_OF_MEMORY);
                    break;
                }
                sensor->areaSize = size;
                state = sBaseline;
                break;
            }
            case sBaseline:
            case sRecalBaseline: {
                void* infoPointer = nullptr;
                scsSensorGetBaseLineInfo(control, &infoPointer);
                auto* info = static_cast<ScsBaseLineInfo*>(infoPointer);
                if (info != nullptr) {
                    ScsBaselineRecord lines{};
                    TcsResult r = scsSesnorGetBaselineData(control, &lines);
                    if (r == TCS_RESULT_OK && (state == sRecalBaseline || info->images[1].kind != 1)) {
                        ScsBaseLineImage processed{};
                        r = scsSensorValidateAndProcessBaseLineData(control, &lines, &processed);
                        if (processed.pixels != nullptr) {
                            palRealFree(info->images[2].pixels);
                            info->images[2] = processed;
                        }
                    }
                    palRealFree(lines.data);
                    if (r != TCS_RESULT_OK) {
                        fail(r);
                        break;
                    }
                }
                state = state == sBaseline ? sAttempt : sDeliver;
                break;
            }
            case sAttempt:
                sensor->dataCallbacks = 0;
                sensor->allowanceTotal = mode == 0 ? int32_t(c->lineLength * sensor->reconstructor->timeBudget) : 0;
                sensor->allowanceRemaining = sensor->allowanceTotal;
                sensor->buffersToPost = sensor->bufferCount;
                c->endOfData = 0;
                c->fallback = sFail;
                state = sPatch;
                break;
            case sPatch: {
                uint32_t kind = 0;
                if (mode == 2 && selectiveSuspend(sensor)) {
                    kind = 1;
                } else if (settingLong(kLedSection, "enableLEDFeature", 1) == 1 &&
                           settingLong(kLedSection, "useLEDGetprintPatch", 1) == 1) {
                    kind = 2;
                }
                const TcsResult r = scsDownloadGetPrintPatch(control, kind);
                if (r != TCS_RESULT_OK) {
                    fail(r);
                    break;
                }
                state = sPost;
                break;
            }
            case sPost: {
                if (sensor->allowanceTotal > 0) {
                    sensor->allowanceRemaining -= int32_t(sensor->bufferCount * sensor->chunkSize);
                }
                state = sFingerChoice;
                TcsResult r = TCS_RESULT_OK;
                for (uint32_t i = 0; i < sensor->bufferCount && r == TCS_RESULT_OK; ++i) {
                    r = scsSensorPostFingerprintBufferEx(control, sensor->area + i * sensor->chunkSize,
                                                         sensor->chunkSize, i == 0 ? 1 : 0,
                                                         idsHarlokFingerprintCallback, item);
                }
                if (r != TCS_RESULT_OK) fail(r);
                break;
            }
            case sFingerChoice:
                if (c->woe != nullptr && mode == 3) {
                    c->fallback = 0;
                    // An abort stops the sensor and ends with 501; a sensor that refused the
                    // set-up or the finger state is a failure, not an abort.
                    const TcsResult polled = woePoll(argument, status, item, visit);
                    if (polled == IDS_RESULT_ABORTED) {
                        fail(polled, sAbort);
                        break;
                    }
                    if (polled != TCS_RESULT_OK) {
                        fail(polled);
                        break;
                    }
                    if (c->woe->fingerEvent) {
                        raiseOnce(c, IDS_EVENT_SWIPE_NOW);
                        c->woe->fingerEvent = 0;
                    }
                    if (c->woe->pollState == 7) {
                        idsRunStatus(item) = kRunAgain;
                        state = sStartReading;
                        c->fallback = sAbort;
                    } else if (idsRunStatus(item) == kRunnable) {
                        idsRunStatus(item) = kWaiting;
                    }
                    return TCS_RESULT_OK;
                }
                if (c->woe != nullptr && mode == 2) c->woe->redoSetup = 1;
                state = sLed;
                c->fallback = sFail;
                break;
            case sLed: {
                if (mode == 2 && selectiveSuspend(sensor)) {
                    withLed(control, [](ScsLedState& led) { led.patternActive = led.changed = led.changeForCapture = 0; });
                    state = sStartReading;
                    break;
                }
                const bool showPrevious = settingLong(kLedSection, "supportPreviousEvent", 1) == 1;
                bool show = false;
                withLed(control, [&](ScsLedState& led) { show = chooseLedPattern(led, showPrevious); });
                if (!show) {
                    state = sStartReading;
                    break;
                }
                state = sLedReply;
                const TcsResult r = scsSensorLEDControl(control, machineLedReply, item, &c->requestSeq);
                if (r != TCS_RESULT_OK) fail(r);
                break;
            }
            case sLedReply:
                if (visit) {
                    idsRunStatus(item) = kWaiting;
                    return TCS_RESULT_OK;
                }
                // What the LED showed does not decide the capture: a refused command is passed over.
                c->requestSeq = 0;
                withLed(control, [](ScsLedState& led) {
                    if (led.previousPending == 0) led.patternActive = 0;
                });
                state = sStartReading;
                idsRunStatus(item) = kRunnable;
                wake(sensor);
                return TCS_RESULT_OK;
            case sLedRetry: {
                ImageReconstructorInterface* ir = sensor->reconstructor;
                if (c->handle != nullptr && ir != nullptr) {
                    uint32_t irState = 0;
                    ir->GetInfo(c->handle, 0, &irState);
                    if (irState == 4) ir->SetInfo(c->handle, 3, nullptr);
                    ImageRecord* image = nullptr;
                    ir->GetImage(c->handle, &image, nullptr);
                }
                closeHandle(c);
                // The abort that made room for the LED is not the capture's outcome.
                result = TCS_RESULT_OK;
                state = sAttempt;
                c->fallback = sFail;
                break;
            }
            case sStartReading: {
                if (sensor->transportKind != 2 && mode == 4) {
                    ScsSensorDevice* device = nullptr;
                    if (scsSensorDeviceAcquire(control, &device) == TCS_RESULT_OK) {
                        if (device->ep3Flushed == 0) scsSensorFlushEP3(control);
                        device->ep3Flushed = 0;
                        scsSensorDeviceRelease(device);
                    }
                }
                uint32_t flags = c->laterCapture ? kLaterFlags : kFirstFlags;
                if (scsSensorFpBufferingIsFeatureSupported(control) == 1 && selectiveSuspend(sensor) && mode == 2) {
                    scsSensorFpBufferingRestart(control);
                    scsSensorFpBufferingSetCurrentLineLen(control, c->lineLength);
                    sensor->firstBufferAfterRestart = 1;
                    flags = c->laterCapture ? kBufferedLaterFlags : kBufferedFirstFlags;
                } else {
                    scsSensorFpBufferingDisable(control);
                }
                if (mode == 1 || mode == 2 || mode == 3) scsStartReadFingerprint(control);
                if (mode == 2) c->fingerEventSeen = 0;
                const TcsResult r = scsSensorGetFingerprint(control, 0, uint8_t(c->calibrationType), uint8_t(mode),
                                                            flags, configurationOf(c), nullptr);
                if (r != TCS_RESULT_OK) {
                    fail(r);
                    break;
                }
                c->laterCapture = 1;
                if (mode == 2) {
                    // The sensor may send the swipe while the link sleeps, before the reconstructor
                    // (whose opening makes the buffer lists) is open: without lists of its own the
                    // first buffer was dropped and the capture waited for data already lost.
                    if (!c->earlyBufferLists && idsFPBufferCreateList(c) == TCS_RESULT_OK) c->earlyBufferLists = 1;
                    if (selectiveSuspend(sensor)) scsSensorEnableSelectiveSuspend(control, 0);
                    palWorkItemSetTimeout(item, kSuspendWaitMs, 1);
                    state = sSuspendWait;
                } else {
                    state = sOpen;
                }
                c->fallback = sAbort;
                raiseOnce(c, IDS_EVENT_SWIPE_NOW);
                break;
            }
            case sSuspendWait:
                if (!c->fingerEventSeen && palWorkItemIsTimeout(item) == 0) {
                    idsRunStatus(item) = kWaiting;
                    return TCS_RESULT_OK;
                }
                if (!c->fingerEventSeen) raiseOnce(c, IDS_EVENT_FINGER_REMOVED);
                c->fingerEventSeen = 0;
                state = sOpen;
                break;
            case sOpen: {
                uint32_t flexId = 0;
                uint32_t bits[2] = {};
                TcsResult r = scsSensorGetFlexId(control, &flexId);
                if (r == TCS_RESULT_OK) r = scsSensorGetBitReductionData(control, bits);
                if (r == TCS_RESULT_OK && sensor->reconstructor == nullptr) r = TCS_RESULT_NO_IMAGE_RECON;
                if (r != TCS_RESULT_OK) {
                    fail(r, sAbort);
                    break;
                }
                c->dataCallback = idsHarlokFingerprintCallback;
                sensor->current = c;
                IrDliOpenParams params{};
                params.sensor = sensor;
                params.outputImage = c->outputImage;
                params.reserved2 = 2;
                params.flexId = flexId;
                params.bitReduction[0] = bits[0];
                params.bitReduction[1] = bits[1];
                params.userCallback = idsUserCallback;
                params.userContext = c;
                r = sensor->reconstructor->Open(&c->handle, &params);
                dropEarlyBufferLists(c);
                if (r == TCS_RESULT_OK) r = sensor->reconstructor->GetInfo(c->handle, 4, &c->bmpWidth);
                if (r != TCS_RESULT_OK) {
                    fail(r, sAbort);
                    break;
                }
                if (sensor->transportKind == 2 || mode != 4) {
                    c->dataTimeLimit = kNoLimit;
                    c->firstDataTick = palGetTickCount();
                    state = sReading;
                } else {
                    state = sFingerPoll;
                }
                break;
            }
            case sFingerPoll:
                if (!visit) return TCS_RESULT_OK;
                if (queueFingerState(c, item) != TCS_RESULT_OK) {
                    fail(TCS_RESULT_ERROR, sAbort);
                    break;
                }
                state = sFingerWait;
                c->fallback = 0;
                palWorkItemSetTimeout(item, kFingerWaitMs, 1);
                idsRunStatus(item) = kWaiting;
                return TCS_RESULT_OK;
            case sFingerWait:
                if (c->abort) {
                    cancelFingerState(c);
                    c->abort = 0;
                    raiseOnce(c, IDS_EVENT_FINGER_REMOVED);
                    result = IDS_RESULT_ABORTED;
                    state = sAbort;
                    break;
                }
                if (visit) {
                    bool ledWants = false;
                    withLed(control, [&](ScsLedState& led) {
                        ledWants = ledWantsTheSensor(led);
                        if (ledWants) led.waitEnded = 1;
                    });
                    if (ledWants) {
                        cancelFingerState(c);
                        state = sAbort;
                        break;
                    }
                    idsRunStatus(item) = kWaiting;
                    return TCS_RESULT_OK;
                }
                if (status != TCS_RESULT_OK) {
                    c->fingerQueued = 0;
                    fail(status, status == TCS_RESULT_SENSOR_NOT_FOUND ? sFail : sAbort);
                } else if (uint32_t(uintptr_t(argument)) == kFingerPresent) {
                    c->fingerQueued = 0;
                    state = sReading;
                    c->fallback = sAbort;
                    c->dataTimeLimit = kNoLimit;
                    c->firstDataTick = palGetTickCount();
                    scsStartReadFingerprint(control);
                    raiseOnce(c, IDS_EVENT_FINGER_DETECTED);
                } else {
                    raiseOnce(c, IDS_EVENT_FINGER_REMOVED);
                }
                wake(sensor);
                return TCS_RESULT_OK;
            case sReading: {
                if (!visit) return TCS_RESULT_OK;
                if (c->dataTimeLimit != kNoLimit && palGetTickCount() - c->firstDataTick > c->dataTimeLimit) {
                    sensor->reconstructor->SetInfo(c->handle, 1, nullptr);
                    // The swipe ends here for the reconstructor too: no last buffer will come, and
                    // without one it never finishes the image and the capture waits for ever.
                    IrDliBuffer end{nullptr, 0, 1};
                    sensor->reconstructor->Data(c->handle, &end);
                    state = sStop;
                    break;
                }
                idsRunStatus(item) = kWaiting;
                c->fallback = sAbort;
                uint32_t last = 0;
                const TcsResult r = idsFPBufferProcess(item, &last);
                if (r != TCS_RESULT_OK) {
                    fail(r, sAbort);
                    break;
                }
                if (last == 1) {
                    state = sStop;
                    wake(sensor);
                    break;
                }
                return TCS_RESULT_OK;
            }
            case sStop:
                scsSensorAbortFingerprint(control);
                palWorkItemSetTimeout(item, kStopWaitMs, 1);
                state = sStopWait;
                break;
            case sStopWait:
                if (!c->endOfData && palWorkItemIsTimeout(item) == 0) {
                    idsRunStatus(item) = kWaiting;
                    return TCS_RESULT_OK;
                }
                scsSensorFpCryptContextFinalize(control, 1);
                scsSensorCancelAllFingerprintBuffers(control);
                c->fallback = sFail;
                state = sBuffered;
                break;
            case sBuffered:
                if (scsSensorFpBufferingIsFeatureSupported(control) == 1 && scsSensorFpBufferingIsEnabled(control) == 1) {
                    scsSensorUnloadPatch(control);
                    uint32_t size = 0;
                    scsSensorFpBufferingGetLastBufferedData(control, nullptr, &size);
                    if (size != 0) {
                        auto* buffered = static_cast<uint8_t*>(palRealMalloc(size));
                        if (buffered != nullptr &&
                            scsSensorFpBufferingGetLastBufferedData(control, buffered, &size) == TCS_RESULT_OK) {
                            c->rawBufferedSize = size;
                            IrDliBuffer buffer{buffered, size, 1};
                            sensor->reconstructor->PrependData(c->handle, &buffer);
                        }
                        palRealFree(buffered);
                    }
                    scsSensorFpBufferingDisable(control);
                }
                state = sWoe;
                break;
            case sWoe:
            case sAbortWoe:
            case sRecalWoe: {
                const uint32_t after = state == sWoe ? sBeforeReconstruct : state == sAbortWoe ? sAbortRunPatch : sRecalBaseline;
                if (state != sRecalWoe && (c->woe == nullptr || !c->woe->redoSetup)) {
                    state = after;
                    break;
                }
                if (c->woe != nullptr) c->woe->redoSetup = 0;
                const TcsResult r = woeSetup(c, 1);
                if (r != TCS_RESULT_OK) {
                    fail(r);
                    break;
                }
                if (state == sWoe) c->fallback = sFail;
                state = after;
                break;
            }
            case sWoeReply:
            case sAbortWoeReply:
            case sRecalWoeReply:
            case sBeforeReconstruct:
                state = state == sAbortWoeReply ? sAbortRunPatch : state == sRecalWoeReply ? sRecalBaseline : sReconstruct;
                break;
            case sReconstruct: {
                if (!visit) return TCS_RESULT_OK;
                idsFPBufferProcess(item, nullptr);
                ImageReconstructorInterface* ir = sensor->reconstructor;
                const TcsResult r = ir->Service(c->handle, c->budget);
                if (r != TCS_RESULT_IMAGE_RECONSTRUCTION_COMPLETE) return TCS_RESULT_OK;
                uint32_t quality = 0;
                ir->GetInfo(c->handle, 1, &quality);
                if (mode != 0 && (quality & kQualityRetry) == kQualityRetry && (c->params[23] & 1) == 0) {
                    ++c->retries;
                    ImageRecord* image = nullptr;
                    ir->GetImage(c->handle, &image, nullptr);
                    scsSensorCancelAllFingerprintBuffers(control);
                    closeHandle(c);
                    ratchet(c);
                    void* info = nullptr;
                    scsSensorGetBaseLineInfo(control, &info);
                    const auto* baseline = static_cast<const ScsBaseLineInfo*>(info);
                    state = baseline == nullptr || baseline->images[2].kind == 1 ? sAttempt : sBaseline;
                    withLed(control, [](ScsLedState& led) {
                        if (led.lastSentEvent != SCS_LED_READY && led.lastSentEvent != SCS_LED_INDICATOR) {
                            forgetPrevious(led);
                        }
                    });
                    break;
                }
                ImageRecord* image = nullptr;
                ir->GetImage(c->handle, &image, &c->rawImage);
                withLed(control, [](ScsLedState& led) {
                    forgetPrevious(led);
                    led.patternActive = 0;
                });
                state = sRunPatch;
                break;
            }
            case sRunPatch:
            case sAbortRunPatch: {
                const uint32_t next = state == sRunPatch ? sAfter : sFail;
                if (mode == 2 && selectiveSuspend(sensor)) scsSensorDisableSelectiveSuspend(control);
                const TcsResult r = scsDownloadRunPatch(control);
                state = next;
                if (r != TCS_RESULT_OK && next == sAfter) fail(r);
                break;
            }
            case sAfter: {
                closeHandle(c);
                raiseOnce(c, IDS_EVENT_FINGER_REMOVED);
                const uint32_t quality = c->outputImage != nullptr ? c->outputImage->quality : 0;
                const bool defaultCal = scsSensorIsDefaultCalUsed(control) == 1;
                if (!(defaultCal && quality != 0) && (quality & kQualityNeedsCalibration) == 0 &&
                    scsSensorIsWOECalibrationFailed(control) == 0) {
                    state = sDeliver;
                    break;
                }
                uint32_t startMode = 0;
                scsSensorGetSubsystemStartupMode(control, &startMode);
                if (startMode & kStartNoRecalibration) {
                    state = sDeliver;
                } else {
                    c->recalibrationRequested = 0;
                    state = sRecalibrate;
                }
                break;
            }
            case sRecalibrate:
                if (c->recalibrationRequested == 0) {
                    if (!visit) return TCS_RESULT_OK;
                    c->recalibrationRequested = 1;
                    c->fallback = 0;
                    scsSensorSetCalibrationType(control, 2);
                    if (scsSensorIsDefaultCalUsed(control) != 1 && scsSensorIsWOECalibrationFailed(control) == 1) {
                        scsSensorSetWOECalFlag(control);
                    }
                    ScsSubsystem* scs = sensorControlOf(sensor);
                    const TcsResult r = scs == nullptr ? TcsResult(TCS_RESULT_NULL_POINTER)
                                                       : palWorkItemEnqueue(&scs->workList, scsWitIdSensorCalibrate,
                                                                            kCalibrationTimeoutMs, control,
                                                                            uint64_t(uintptr_t(&machineReply)),
                                                                            uint64_t(uintptr_t(item)), 1, nullptr);
                    if (r != TCS_RESULT_OK) {
                        fail(r);
                        break;
                    }
                    idsRunStatus(item) = kWaiting;
                    return TCS_RESULT_OK;
                }
                if (visit) {
                    idsRunStatus(item) = kWaiting;
                    return TCS_RESULT_OK;
                }
                if (status != TCS_RESULT_OK) {
                    fail(status);
                } else {
                    state = sRecalWoe;
                    c->fallback = sFail;
                }
                wake(sensor);
                return TCS_RESULT_OK;
            case sDeliver: {
                dropEarlyBufferLists(c);
                freeArea(sensor);
                ImageRecord* image = c->outputImage;
                if (image != nullptr) {
                    result = idsSensorEventPerformCallbackEx(c, IDS_EVENT_IMAGE_READY, result, image,
                                                             image->dataSize + TCS_IMAGE_OVERHEAD);
                } else if (result == TCS_RESULT_OK) {
                    result = TCS_RESULT_ERROR;
                }
                raiseOnce(c, IDS_EVENT_FINGER_REMOVED);
                if (IdsCallback cb = idsItemCallback(item)) cb(image, result, idsItemContext(item));
                c->outputImage = nullptr;  // the caller's now
                if (c->rawImage != nullptr) _tcsImageDestroy(c->rawImage);
                c->rawImage = nullptr;
                idsDetachItemContext(item);
                idsFreeSensorContext(c);
                idsRunStatus(item) = kFinished;
                return TCS_RESULT_OK;
            }
            case sAbort:
                if (scsSensorFpBufferingIsEnabled(control) == 1) scsSensorFpBufferingDisable(control);
                scsSensorAbortFingerprint(control);
                ++c->retries;
                result = IDS_RESULT_ABORTED;
                palWorkItemSetTimeout(item, kStopWaitMs, 1);
                state = sAbortWait;
                break;
            case sAbortWait:
                if (!c->endOfData && palWorkItemIsTimeout(item) == 0) {
                    idsRunStatus(item) = kWaiting;
                    return TCS_RESULT_OK;
                }
                scsSensorCancelAllFingerprintBuffers(control);
                state = sAbortWoe;
                withLed(control, [&](ScsLedState& led) {
                    if (led.waitEnded == 0) return;
                    led.waitEnded = 0;
                    if (!ledWantsTheSensor(led)) return;
                    if (led.previousPending != 0 && secondsLeftOfPrevious(led) < 1) {
                        led.previousPending = 0;
                        led.lastSentEvent = 0;
                    }
                    state = sLedRetry;
                });
                break;
            default:  // sFail
                idsSensorEventPerformCallbackEx(c, IDS_EVENT_CAPTURE_DONE, result, nullptr, 0);
                if (c->requestSeq != 0) scsSensorCancelRequest(control, c->requestSeq);
                cancelFingerState(c);
                scsSensorFpCryptContextFinalize(control, 0);
                scsSensorCancelAllFingerprintBuffers(control);
                freeArea(sensor);
                closeHandle(c);
                if (c->outputImage != nullptr) _tcsImageDestroy(c->outputImage);
                c->outputImage = nullptr;
                if (mode == 2 && selectiveSuspend(sensor)) {
                    scsDownloadRunPatch(control);
                    scsSensorDisableSelectiveSuspend(control);
                }
                c->fallback = 0;
                state = sDeliver;
                break;
        }
        visit = true;  // the states that follow within this call run as a visit
    }
}
