// Sensor groups: every attached sensor opened and armed together, the first print wins, sensors that
// arrive later are opened from the client's event callback and removed ones are closed in the background.
#include "wrappers/fprint/tfs.h"

#include "apps/shared/calls.h"
#include "platform/clock.h"
#include "platform/memory.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <thread>

extern "C" {
int _PRINT_MSG_ = 1;
int _PRINT_RESULTS_ = 1;
}

namespace {

std::atomic<uint32_t> sensorsDetected{0};
std::atomic<uint32_t> sensorsCount{0};
std::atomic<uint32_t> allInitializedSensors{0};

constexpr uint32_t kLedReadyForSwipe = 23;
constexpr uint32_t kLedIdle = 28;
constexpr uint32_t kEnumWaitMs = 60000;
constexpr uint32_t kAbortWaitMs = 2000;
constexpr size_t kDebugNameSize = 260;

AppLastError* lastErrorOf(SensorGroup* group) { return group->context != nullptr ? &group->context->lastError : nullptr; }
AppLastError* lastErrorOf(GroupSensorEntry* entry) {
    return entry->context != nullptr ? &entry->context->lastError : nullptr;
}

void checkSignature(const AppContext* context) {
    if (context != nullptr && context->signature != TFS_CONTEXT_SIGNATURE) {
        fprintf(stderr, "INVALID TSS_CTX_SIGNATURE(%p:%x)\n", static_cast<const void*>(context), context->signature);
    }
}

void decrementToZero(std::atomic<uint32_t>& counter) {
    uint32_t n = counter.load();
    while (n > 0 && !counter.compare_exchange_weak(n, n - 1)) {
    }
}

bool isLive(const GroupSensorEntry* entry) { return entry->removed == 0; }

template <typename Fn>
void forEachEntry(SensorGroup* group, Fn&& fn) {
    for (PalListEntry* e = group->entries.next; e != &group->entries;) {
        PalListEntry* next = e->next;
        if (!fn(PAL_LIST_RECORD(e, GroupSensorEntry, links))) return;
        e = next;
    }
}

void lowerCopy(char* out, const char* id) {
    size_t i = 0;
    for (; id[i] != '\0' && i < TFS_SENSOR_ID_MAX; ++i) out[i] = char(std::tolower(static_cast<unsigned char>(id[i])));
    out[i] = '\0';
}

void freeEntry(GroupSensorEntry* entry) {
    if (entry->lock != nullptr) palCriticalSectionFree(entry->lock);
    if (entry->event != nullptr) palEventFree(entry->event);
    if (entry->image != 0) tcsHandleDestroy(entry->image);
    palRealFree(entry);
}

struct ArrivalRecord {
    SensorGroup* group;
    GroupSensorEntry* entry;
    uint32_t link;
};

void linkAtTail(SensorGroup* group, GroupSensorEntry* entry) {
    palCriticalSectionAcquire(group->lock);
    palListInsertTail(&group->entries, &entry->links);
    palCriticalSectionRelease(group->lock);
}

}  // namespace

extern "C" {

TcsResult GroupInitInfo(SensorGroup* group) {
    if (group == nullptr) return TCS_RESULT_NULL_POINTER;
    palListInit(&group->entries);
    TcsResult result = palCriticalSectionInitialize(&group->lock);
    if (result != TCS_RESULT_OK) return result;
    group->state = 1;
    return TCS_RESULT_OK;
}

TcsResult GroupUnInitInfo(SensorGroup* group) {
    if (group == nullptr) return TCS_RESULT_NULL_POINTER;
    if (group->state == 0) return TFS_RESULT_GROUP_NOT_INITIALIZED;
    palCriticalSectionAcquire(group->lock);
    forEachEntry(group, [](GroupSensorEntry* entry) {
        palListRemove(&entry->links);
        freeEntry(entry);
        return true;
    });
    palCriticalSectionRelease(group->lock);
    palCriticalSectionFree(group->lock);
    group->lock = nullptr;
    palListInit(&group->entries);
    group->state = 0;
    sensorsCount = 0;
    sensorsDetected = 0;
    return TCS_RESULT_OK;
}

uint32_t GroupSize(void) { return sensorsCount.load(); }

TcsResult GroupSensorsEnumAndInit(SensorGroup* group) {
    if (group == nullptr) return TCS_RESULT_NULL_POINTER;
    uint32_t lastSeen = sensorsDetected;
    uint32_t deadline = palGetTickCount() + kEnumWaitMs;
    for (;;) {
        if (int32_t(palGetTickCount() - deadline) > 0) break;
        palSleep(100);
        uint32_t detected = sensorsDetected;
        if (detected != 0 && detected == sensorsCount && detected == lastSeen) break;
        if (detected != lastSeen) {
            deadline += 100;
            lastSeen = detected;
        }
    }
    const uint32_t detected = sensorsDetected;
    const uint32_t ready = sensorsCount;
    if (detected == 0) {
        TFS_INFO(lastErrorOf(group), TFS_RESULT_WAIT_TIMEOUT, "Timed out waiting for any sensor to arrive.");
        return TFS_RESULT_WAIT_TIMEOUT;
    }
    if (ready == 0) {
        TFS_INFO(lastErrorOf(group), TFS_RESULT_WAIT_TIMEOUT, "Failed to initialize any of the available sensors.");
        return TFS_RESULT_WAIT_TIMEOUT;
    }
    if (ready < detected && _PRINT_MSG_) {
        printf("\nWARNING: %u out of %u detected sensors are failed to be initialized.\n", detected - ready, detected);
        printf("\nTest will continue with those initialized properly.\n");
    }
    return TCS_RESULT_OK;
}

TcsResult GroupOpenSingleSensor(SensorGroup* group, GroupSensorEntry* entry) {
    if (group == nullptr || entry == nullptr || group->context == nullptr) return TCS_RESULT_NULL_POINTER;
    if (!isLive(entry)) return TCS_RESULT_OK;
    AppContext* context = group->context;
    AppLastError* error = &context->lastError;
    auto failed = [&](TcsResult result, const char* message) {
        TFS_ERROR_REPORT(error, result, message);
        if (IsSensorRemovalError(int(result))) GroupSensorRemoved(group, entry->sensorId);
        return result;
    };
    TcsResult result = tcsSensorOpenA(context->client, entry->sensorId, &entry->sensor);
    if (result != TCS_RESULT_OK) return failed(result, "tcsSensorOpen failed");
    EventCallback handler = context->sensorEventHandler != nullptr ? context->sensorEventHandler : GroupSensorEventsHandler;
    result = tcsSensorEventsAddCallback(entry->sensor, handler, entry);
    if (result != TCS_RESULT_OK) return failed(result, "tcsSensorEventsAddCallback failed");
    if (entry->event == nullptr) entry->event = palEventAlloc(0, 0, nullptr);
    if (entry->event == nullptr) {
        TFS_ERROR_REPORT(error, 0, "palEventAlloc failed");
        return TCS_RESULT_OK;
    }
    DeviceInfoRecord info{};
    result = tcsSensorGetDeviceInfo(entry->sensor, &info);
    if (result != TCS_RESULT_OK) return failed(result, "tcsSensorGetDeviceInfo failed");
    entry->hasFlash = info.flashSize != 0 ? 1 : 0;
    tcsSensorLEDSetEvent(entry->sensor, kLedIdle);
    return TCS_RESULT_OK;
}

TcsResult GroupSensorOpen(SensorGroup* group) {
    if (group == nullptr) return TCS_RESULT_NULL_POINTER;
    checkSignature(group->context);
    palCriticalSectionAcquire(group->lock);
    bool opened = false;
    TcsResult failure = TCS_RESULT_OK;
    forEachEntry(group, [&](GroupSensorEntry* entry) {
        TcsResult result = GroupOpenSingleSensor(group, entry);
        if (result != TCS_RESULT_OK) {
            if (isLive(entry)) {
                failure = result;
                return false;
            }
            clearAppLastError(lastErrorOf(group));
            return true;
        }
        if (!isLive(entry)) {
            clearAppLastError(lastErrorOf(group));
        } else {
            opened = true;
        }
        return true;
    });
    palCriticalSectionRelease(group->lock);
    if (failure != TCS_RESULT_OK) return failure;
    if (!opened) {
        TFS_INFO(lastErrorOf(group), TFS_RESULT_NO_SENSORS, "No sensors found.");
        return TFS_RESULT_NO_SENSORS;
    }
    group->state = 2;
    return TCS_RESULT_OK;
}

TcsResult GroupSensorClose(SensorGroup* group) {
    if (group == nullptr) return TCS_RESULT_NULL_POINTER;
    if (group->state < 2) {
        TFS_INFO(lastErrorOf(group), 0, "Invalid State");
        return TCS_RESULT_OK;
    }
    AppContext* context = group->context;
    EventCallback handler = context != nullptr && context->sensorEventHandler != nullptr ? context->sensorEventHandler
                                                                                        : GroupSensorEventsHandler;
    TcsResult last = TCS_RESULT_OK;
    palCriticalSectionAcquire(group->lock);
    forEachEntry(group, [&](GroupSensorEntry* entry) {
        if (!isLive(entry) || entry->sensor == 0) return true;
        TcsResult removed = tcsSensorEventsRemoveCallback(entry->sensor, handler, entry);
        if (removed != TCS_RESULT_OK) TFS_ERROR_REPORT(lastErrorOf(group), removed, "tcsSensorEventsRemoveCallback failed");
        if (entry->event != nullptr) palEventFree(entry->event);
        entry->event = nullptr;
        last = tcsSensorClose(entry->sensor);
        if (last != TCS_RESULT_OK) TFS_ERROR_REPORT(lastErrorOf(group), last, "tcsSensorClose failed");
        entry->sensor = 0;
        return true;
    });
    group->state = 1;
    palCriticalSectionRelease(group->lock);
    return last;
}

TcsResult GroupGetFingerprintAsync(void* image, TcsResult status, void* context) {
    auto* entry = static_cast<GroupSensorEntry*>(context);
    if (entry == nullptr) return TCS_RESULT_NULL_POINTER;
    AppLastError* error = lastErrorOf(entry);
    const TcsHandle imageHandle = TcsHandle(reinterpret_cast<uintptr_t>(image));
    if (entry->sensor == 0 && status != TCS_RESULT_SENSOR_NOT_FOUND && status != 200) {
        TFS_INFO(error, TCS_RESULT_NULL_SENSOR_HANDLE, "pSensorCtx->hSensor is TCS_NULL");
        return TCS_RESULT_NULL_SENSOR_HANDLE;
    }
    if (entry->captureState == 0) {
        entry->captureState = 1;
        entry->captureStatus = 0;
        tcsSensorLEDSetEvent(entry->sensor, kLedReadyForSwipe);
        char debugName[kDebugNameSize];
        const char* stem = entry->context != nullptr ? entry->context->debugFileName : nullptr;
        // Without a stem (the framework's path) the service gets no debug name rather than "(null)_01".
        const char* name = nullptr;
        if (stem != nullptr) {
            snprintf(debugName, sizeof debugName, "%s_%.2d", stem, int(entry->index));
            name = debugName;
        }
        CompletionCallback completion = entry->context != nullptr && entry->context->captureCompletion != nullptr
                                            ? entry->context->captureCompletion
                                            : GroupGetFingerprintAsync;
        TcsResult result = tcsSensorGetFingerprintAsyncA(entry->sensor, completion, entry, name);
        if (result == TOV_RESULT_SERVICE_STOPPED) {
            TFS_INFO(error, result, "Fingerprint operation failed due to Service stop.");
        } else if (result != TCS_RESULT_OK) {
            TFS_ERROR_REPORT(error, result, "tcsSensorGetFingerprintAsync failed");
        }
        return result;
    }
    if (entry->captureState == 1) {
        entry->captureState = 2;
        if (status == TCS_RESULT_OK) {
            // A print this entry delivered in an earlier capture that another sensor won is still
            // here; it goes now rather than staying registered with no owner.
            if (entry->image != 0 && entry->image != imageHandle) tcsHandleDestroy(entry->image);
            entry->image = imageHandle;
        } else {
            if (imageHandle != 0) tcsHandleDestroy(imageHandle);
            entry->image = 0;
            if (status == 501) {
                entry->captureStatus = status;
                if (entry->event != nullptr) palEventSet(entry->event);
            } else if (IsSensorRemovalError(int(status))) {
                entry->captureStatus = status;
            } else if (status == TOV_RESULT_SERVICE_STOPPED) {
                TFS_INFO(error, status, "Fingerprint operation failed due to Service stop.");
                entry->captureStatus = status;
            } else {
                TFS_ERROR_REPORT(error, status, "tcsGetFingerprintAsync failed");
                entry->captureStatus = status;
            }
        }
        // Set last: the waiting loops read the image and status once they see it.
        entry->gotPrint = 1;
        return status;
    }
    return TCS_RESULT_INVALID;
}

TcsResult GroupGetSingleFingerprint(GroupSensorEntry* entry) {
    if (entry == nullptr) return TCS_RESULT_NULL_POINTER;
    if (!isLive(entry)) return TCS_RESULT_OK;
    entry->captureState = 0;
    entry->timedOut = 0;
    entry->gotPrint = 0;
    TcsResult result = GroupGetFingerprintAsync(reinterpret_cast<void*>(uintptr_t(entry->image)), 0, entry);
    if (result != TCS_RESULT_OK) {
        if (entry->image != 0) tcsHandleDestroy(entry->image);
        entry->image = 0;
    }
    return result;
}

TcsResult GroupWaitAllSensorsArmed(uint32_t timeoutMs, SensorGroup* group) {
    if (group == nullptr) return TCS_RESULT_NULL_POINTER;
    const uint32_t start = palGetTickCount();
    for (;;) {
        uint32_t armed = 0;
        TcsResult failedStatus = TCS_RESULT_OK;
        palCriticalSectionAcquire(group->lock);
        forEachEntry(group, [&](GroupSensorEntry* entry) {
            if (!isLive(entry)) return true;
            if (entry->captureStatus != 0) {
                failedStatus = entry->captureStatus;
                return false;
            }
            if (entry->armed != 0) ++armed;
            return true;
        });
        palCriticalSectionRelease(group->lock);
        if (failedStatus != TCS_RESULT_OK) {
            TFS_ERROR_REPORT(lastErrorOf(group), failedStatus, "Fingerprint capture failed to start.");
            return TFS_RESULT_WAIT_TIMEOUT;
        }
        if (palGetTickCount() - start > timeoutMs) {
            TFS_INFO(lastErrorOf(group), TFS_RESULT_WAIT_TIMEOUT, "Timeout waiting for fingerprint capture start");
            return TFS_RESULT_WAIT_TIMEOUT;
        }
        if (armed == GroupSize()) return TCS_RESULT_OK;
        palSleep(100);
    }
}

TcsResult GroupRunServiceUntilTrue(uint32_t timeoutMs, SensorGroup* group, uint32_t exitOnDbSensorLoss) {
    if (group == nullptr) return TCS_RESULT_NULL_POINTER;
    const uint32_t start = palGetTickCount();
    for (;;) {
        if (timeoutMs != 0 && palGetTickCount() - start > timeoutMs) {
            TFS_INFO(lastErrorOf(group), TFS_RESULT_WAIT_TIMEOUT, "Timed out waiting for a fingerprint.");
            return TFS_RESULT_WAIT_TIMEOUT;
        }
        if (exitOnDbSensorLoss != 0 && group->exitFlag != 0) return TFS_RESULT_DB_SENSOR_UNPLUGGED;
        palCriticalSectionAcquire(group->lock);
        if (palListIsEmpty(&group->entries)) {
            palCriticalSectionRelease(group->lock);
            TFS_INFO(lastErrorOf(group), TFS_RESULT_NO_SENSORS, "No sensors found.");
            return TFS_RESULT_NO_SENSORS;
        }
        bool live = false;
        GroupSensorEntry* winner = nullptr;
        forEachEntry(group, [&](GroupSensorEntry* entry) {
            if (group->state == 3 && isLive(entry) && !IsSensorRemovalError(int(entry->captureStatus))) {
                live = true;
                if (entry->gotPrint != 0) {
                    winner = entry;
                    return false;
                }
            }
            GroupHandleSensorRemoval(entry->captureStatus, group, entry->sensorId);
            return true;
        });
        if (winner != nullptr) {
            TcsResult status = winner->captureStatus;
            palCriticalSectionRelease(group->lock);
            return status;
        }
        palCriticalSectionRelease(group->lock);
        if (!live) {
            TFS_INFO(lastErrorOf(group), TFS_RESULT_NO_SENSORS, "No sensors found.");
            return TFS_RESULT_NO_SENSORS;
        }
        palSleep(500);
    }
}

TcsResult GroupAbortFingerprint(SensorGroup* group) {
    if (group == nullptr) return TCS_RESULT_NULL_POINTER;
    TcsResult result = TCS_RESULT_INVALID;
    palCriticalSectionAcquire(group->lock);
    forEachEntry(group, [&](GroupSensorEntry* entry) {
        if (!isLive(entry) || entry->captureStatus != 0) return true;
        if (entry->gotPrint != 0) {
            entry->gotPrint = 0;
            result = TCS_RESULT_OK;
            return true;
        }
        result = tcsSensorAbortFingerprint(entry->sensor);
        if (result != TCS_RESULT_OK) {
            TFS_ERROR_REPORT(lastErrorOf(group), result, "tcsSensorAbortFingerprint failed");
        } else if (entry->event != nullptr) {
            result = palEventWaitFor(entry->event, kAbortWaitMs);
        }
        return true;
    });
    group->state = 2;
    palCriticalSectionRelease(group->lock);
    return result;
}

TcsResult GroupGetFingerprint(GroupSensorEntry** outEntry, uint32_t timeoutMs, SensorGroup* group,
                              uint32_t exitOnDbSensorLoss) {
    if (outEntry == nullptr || group == nullptr) return TCS_RESULT_NULL_POINTER;
    *outEntry = nullptr;
    group->state = 3;
    palCriticalSectionAcquire(group->lock);
    if (palListIsEmpty(&group->entries)) {
        palCriticalSectionRelease(group->lock);
        GroupAbortFingerprint(group);
        return TCS_RESULT_INVALID;
    }
    bool started = false;
    TcsResult last = TCS_RESULT_OK;
    TcsResult stopped = TCS_RESULT_OK;
    forEachEntry(group, [&](GroupSensorEntry* entry) {
        if (!isLive(entry)) return true;
        entry->armed = 0;
        tcsSensorSetCapturePurpose(entry->sensor, group->context != nullptr ? group->context->capturePurpose : 0);
        last = GroupGetSingleFingerprint(entry);
        if (last == TCS_RESULT_OK) {
            started = true;
        } else if (!IsSensorRemovalError(int(last))) {
            stopped = last;
            return false;
        }
        return true;
    });
    palCriticalSectionRelease(group->lock);
    if (stopped != TCS_RESULT_OK || !started) {
        TcsResult result = stopped != TCS_RESULT_OK ? stopped : last;
        if (result == TCS_RESULT_OK) result = TFS_RESULT_NO_SENSORS;
        if (result != TOV_RESULT_SERVICE_STOPPED) GroupAbortFingerprint(group);
        return result;
    }
    if (GroupWaitAllSensorsArmed(timeoutMs, group) == TFS_RESULT_WAIT_TIMEOUT) {
        GroupAbortFingerprint(group);
        return TFS_RESULT_WAIT_TIMEOUT;
    }
    if (_PRINT_MSG_) printf("\nWaiting for finger swipe ... \n");
    TcsResult result = GroupRunServiceUntilTrue(timeoutMs, group, exitOnDbSensorLoss);
    if (result == TCS_RESULT_OK) {
        palCriticalSectionAcquire(group->lock);
        forEachEntry(group, [&](GroupSensorEntry* entry) {
            if (!isLive(entry)) return true;
            if (entry->gotPrint != 0) {
                *outEntry = entry;
                return false;
            }
            if (entry->image != 0) tcsHandleDestroy(entry->image);
            entry->image = 0;
            return true;
        });
        palCriticalSectionRelease(group->lock);
    } else if (result == TOV_RESULT_SERVICE_STOPPED) {
        return result;
    }
    GroupAbortFingerprint(group);
    return result;
}

TcsResult GroupWaitForCaptureStart(GroupSensorEntry* entry, uint32_t timeoutMs) {
    if (entry == nullptr) return TCS_RESULT_NULL_POINTER;
    const uint32_t start = palGetTickCount();
    for (;;) {
        if (entry->armed != 0) {
            if (_PRINT_MSG_) printf("The newly plugged sensor ready for swipe.\n");
            return TCS_RESULT_OK;
        }
        if (palGetTickCount() - start > timeoutMs) {
            TFS_INFO(lastErrorOf(entry), TFS_RESULT_WAIT_TIMEOUT, "Timeout waiting for capture start");
            return TFS_RESULT_WAIT_TIMEOUT;
        }
        palSleep(100);
    }
}

uint32_t GroupIsSensorRemoved(TcsResult code) {
    return IsSensorRemovalError(int(code)) != 0 || code == TFS_RESULT_DB_SENSOR_UNPLUGGED || code == TFS_RESULT_NO_SENSORS
               ? 1
               : 0;
}

TcsResult GroupSensorRemoved(SensorGroup* group, const char* sensorId) {
    if (group == nullptr || sensorId == nullptr) return TCS_RESULT_NULL_POINTER;
    char id[TFS_SENSOR_ID_MAX + 1];
    lowerCopy(id, sensorId);
    TcsResult locked = palCriticalSectionAcquire(group->lock);
    if (locked != TCS_RESULT_OK) return locked;
    forEachEntry(group, [&](GroupSensorEntry* entry) {
        if (!isLive(entry) || strncmp(entry->sensorId, id, TFS_SENSOR_ID_MAX) != 0) return true;
        if (_PRINT_MSG_) printf("Sensor %s unplugged\n", id);
        decrementToZero(sensorsCount);
        palCriticalSectionAcquire(entry->lock);
        entry->removed = 1;
        if (entry->databaseOnSensor != 0 || entry->databaseSensor != 0) {
            if (_PRINT_MSG_) {
                printf("The database sensor was unplugged. The application will exit. Press <ENTER> to exit...\n");
            }
            entry->databaseOnSensor = 0;
            entry->databaseSensor = 0;
            group->exitFlag = 1;
            _PRINT_MSG_ = 0;
            _PRINT_RESULTS_ = 0;
        }
        palCriticalSectionRelease(entry->lock);
        const TcsHandle sensor = entry->sensor;
        entry->sensor = 0;
        if (sensor != 0) {
            try {
                std::thread([sensor] { tcsSensorClose(sensor); }).detach();
            } catch (...) {
                tcsSensorClose(sensor);  // no thread to spare: close it here
            }
        }
        return false;
    });
    if (sensorsCount == 0 && group->state == 3) group->state = 2;
    return palCriticalSectionRelease(group->lock);
}

TcsResult GroupHandleSensorRemoval(TcsResult code, SensorGroup* group, const char* sensorId) {
    if (sensorId != nullptr && sensorId[0] != '\0' && IsSensorRemovalError(int(code))) {
        return GroupSensorRemoved(group, sensorId);
    }
    return TCS_RESULT_OK;
}

TcsResult GroupSensorEventsHandler(void* sensor, void* context, EventRecord* event) {
    auto* entry = static_cast<GroupSensorEntry*>(context);
    if (entry == nullptr) return TCS_RESULT_NULL_POINTER;
    if (sensor == nullptr) {
        TFS_INFO(lastErrorOf(entry), TCS_RESULT_NULL_SENSOR_HANDLE, "hSensor is TCS_NULL");
        return TCS_RESULT_NULL_SENSOR_HANDLE;
    }
    if (event == nullptr) {
        TFS_INFO(lastErrorOf(entry), TCS_RESULT_NULL_POINTER, "hEvent is TCS_NULL");
        return TCS_RESULT_NULL_POINTER;
    }
    const bool console = entry->context != nullptr && entry->context->consoleMode == 1 && _PRINT_MSG_;
    switch (tcsEventGetId(event)) {
    case TCS_SENSOR_EVENT_IMAGE_READY:
        if (tcsEventGetData(event) == nullptr) {
            entry->captureStatus = TCS_RESULT_NULL_POINTER;
            entry->armed = 0;
        }
        break;
    case TCS_SENSOR_EVENT_CAPTURE_DONE: entry->armed = 0; break;
    case TCS_SENSOR_EVENT_SWIPE_NOW: entry->armed = 1; break;
    case TCS_SENSOR_EVENT_FINGER_PRESENT:
        if (console) printf("\nFinger detected.");
        break;
    case TCS_SENSOR_EVENT_FINGER_REMOVED:
        if (console) printf("\nFinger removed.");
        break;
    default: break;
    }
    return TCS_RESULT_OK;
}

uint32_t GroupSystemEventsHandlerThread(void* argument) {
    auto* record = static_cast<ArrivalRecord*>(argument);
    SensorGroup* group = record->group;
    GroupSensorEntry* entry = record->entry;
    TcsResult result = TCS_RESULT_OK;
    if (group->state == 2 || group->state == 3) {
        const bool capturing = group->state == 3;
        result = GroupOpenSingleSensor(group, entry);
        if (result == TCS_RESULT_OK && capturing) {
            result = GroupGetSingleFingerprint(entry);
            if (result == TCS_RESULT_OK) result = GroupWaitForCaptureStart(entry, 60000);
        }
    }
    if (result != TCS_RESULT_OK) {
        // A new entry that failed is still linked, marked removed: its callback may already be
        // registered with it as user data, so freeing it here could leave the event thread a dangling
        // pointer. The group frees it with the others.
        if (record->link != 0) {
            entry->removed = 1;
            linkAtTail(group, entry);
        }
        palRealFree(record);
        return result;
    }
    if (record->link != 0) linkAtTail(group, entry);
    palRealFree(record);
    return 0;
}

TcsResult GroupSystemEventsHandler(void* client, void* context, EventRecord* event) {
    auto* group = static_cast<SensorGroup*>(context);
    if (group == nullptr) return TCS_RESULT_NULL_POINTER;
    if (group->state == 0) return TFS_RESULT_GROUP_NOT_INITIALIZED;
    AppContext* app = group->context;
    if (app == nullptr) return TCS_RESULT_NULL_POINTER;
    checkSignature(app);
    if (app->client == 0) {
        TFS_INFO(&app->lastError, TCS_RESULT_NULL_CLIENT_HANDLE, "pGCtx->hClient is TCS_NULL");
        return TCS_RESULT_NULL_CLIENT_HANDLE;
    }
    (void)client;
    if (event == nullptr) {
        TFS_INFO(&app->lastError, TCS_RESULT_NULL_POINTER, "hEvent is TCS_NULL");
        return TCS_RESULT_NULL_POINTER;
    }
    switch (tcsEventGetId(event)) {
    case TCS_SYSTEM_EVENT_SENSOR_ARRIVING: sensorsDetected += 1; break;
    case TCS_SYSTEM_EVENT_SENSOR_READY: {
        char* text = tcsEventGetDataStringA(event);
        if (text == nullptr) return TCS_RESULT_NULL_POINTER;
        char id[TFS_SENSOR_ID_MAX + 1];
        lowerCopy(id, text);
        tcsEventFreeDataString(text);
        if (_PRINT_MSG_) printf("Sensor %s plugged.\n", id);
        palCriticalSectionAcquire(group->lock);
        GroupSensorEntry* entry = nullptr;
        forEachEntry(group, [&](GroupSensorEntry* e) {
            if (strncmp(e->sensorId, id, TFS_SENSOR_ID_MAX) != 0) return true;
            entry = e;
            return false;
        });
        const bool isNew = entry == nullptr;
        sensorsCount += 1;
        if (isNew) {
            entry = static_cast<GroupSensorEntry*>(palRealMalloc(sizeof(GroupSensorEntry)));
            if (entry == nullptr) {
                palCriticalSectionRelease(group->lock);
                return TCS_RESULT_OUT_OF_MEMORY;
            }
            std::memset(entry, 0, sizeof(*entry));
            entry->index = ++allInitializedSensors;
        } else {
            // Reset in place under the group's lock: the entry stays linked and keeps its index.
            PalListEntry links = entry->links;
            const uint32_t index = entry->index;
            if (entry->lock != nullptr) palCriticalSectionFree(entry->lock);
            if (entry->event != nullptr) palEventFree(entry->event);
            if (entry->image != 0) tcsHandleDestroy(entry->image);
            std::memset(entry, 0, sizeof(*entry));
            entry->links = links;
            entry->index = index;
        }
        entry->groupLock = &group->lock;
        std::memcpy(entry->sensorId, id, strlen(id) + 1);
        palCriticalSectionInitialize(&entry->lock);
        entry->enumerationCount = 1;
        entry->context = app;
        if (group->state == 2 || group->state == 3) {
            auto* record = static_cast<ArrivalRecord*>(palRealMalloc(sizeof(ArrivalRecord)));
            if (record == nullptr) {
                palCriticalSectionRelease(group->lock);
                if (isNew) freeEntry(entry);
                return TCS_RESULT_OUT_OF_MEMORY;
            }
            *record = ArrivalRecord{group, entry, isNew ? 1u : 0u};
            try {
                std::thread([record] { GroupSystemEventsHandlerThread(record); }).detach();
            } catch (...) {
                // No thread: the sensor stays unopened, its entry kept as removed until it comes back.
                palRealFree(record);
                entry->removed = 1;
                if (isNew) palListInsertTail(&group->entries, &entry->links);
            }
        } else if (isNew) {
            palListInsertTail(&group->entries, &entry->links);
        }
        palCriticalSectionRelease(group->lock);
        break;
    }
    case TCS_SYSTEM_EVENT_SENSOR_REMOVED: {
        decrementToZero(sensorsDetected);
        char* text = tcsEventGetDataStringA(event);
        if (text != nullptr) {
            GroupSensorRemoved(group, text);
            tcsEventFreeDataString(text);
        }
        break;
    }
    default: break;
    }
    return TCS_RESULT_OK;
}

TcsResult GroupSetDatabaseSensor(uint32_t timeoutMs, SensorGroup* group, uint32_t flashRequired) {
    if (group == nullptr) return TCS_RESULT_NULL_POINTER;
    if (GroupSize() == 0) {
        TFS_INFO(lastErrorOf(group), TFS_RESULT_NO_SENSORS, "No sensors found.");
        return TFS_RESULT_NO_SENSORS;
    }
    if (group->state != 2) {
        TFS_INFO(lastErrorOf(group), TFS_RESULT_WRONG_GROUP_STATE, "Wrong group state");
        return TFS_RESULT_WRONG_GROUP_STATE;
    }
    GroupSensorEntry* chosen = nullptr;
    if (GroupSize() == 1) {
        if (!palListIsEmpty(&group->entries)) chosen = PAL_LIST_RECORD(group->entries.next, GroupSensorEntry, links);
        if (chosen == nullptr || !isLive(chosen)) {
            TFS_INFO(lastErrorOf(group), TFS_RESULT_NO_SENSORS, "No sensors found.");
            return TFS_RESULT_NO_SENSORS;
        }
    } else {
        printf("Swipe the sensor for storing database.\n");
        TcsResult result = GroupGetFingerprint(&chosen, timeoutMs, group, 0);
        if (result != TCS_RESULT_OK) return result;
        if (chosen->image != 0) tcsHandleDestroy(chosen->image);
        chosen->image = 0;
    }
    TcsResult result = TCS_RESULT_OK;
    palCriticalSectionAcquire(chosen->lock);
    if (flashRequired != 0 && chosen->hasFlash != 0) {
        chosen->databaseOnSensor = 1;
    } else {
        chosen->databaseSensor = 1;
        if (flashRequired != 0) result = TFS_RESULT_DB_SENSOR_NO_FLASH;
    }
    palCriticalSectionRelease(chosen->lock);
    group->exitFlag = 0;
    return result;
}

uint64_t GroupGetDBSensorHandle(SensorGroup* group, int any) {
    if (group == nullptr || group->state == 0) return 0;
    uint64_t handle = 0;
    palCriticalSectionAcquire(group->lock);
    forEachEntry(group, [&](GroupSensorEntry* entry) {
        if (!isLive(entry) || (any != 1 && entry->databaseOnSensor == 0)) return true;
        handle = entry->sensor;
        return false;
    });
    palCriticalSectionRelease(group->lock);
    return handle;
}

const char* GroupGetDBSensorID(SensorGroup* group) {
    if (group == nullptr || group->state == 0) return nullptr;
    const char* id = nullptr;
    palCriticalSectionAcquire(group->lock);
    forEachEntry(group, [&](GroupSensorEntry* entry) {
        if (!isLive(entry) || entry->databaseOnSensor == 0) return true;
        id = entry->sensorId;
        return false;
    });
    palCriticalSectionRelease(group->lock);
    return id;
}

TcsResult GroupSensorPrintVersion(SensorGroup* group) {
    if (group == nullptr) return TCS_RESULT_NULL_POINTER;
    if (GroupSize() == 0) return TFS_RESULT_NO_SENSORS;
    TcsResult result = TCS_RESULT_OK;
    palCriticalSectionAcquire(group->lock);
    forEachEntry(group, [&](GroupSensorEntry* entry) {
        if (!isLive(entry)) return true;
        char version[96] = {};
        result = tcsSensorGetVersionA(entry->sensor, version);
        if (result != TCS_RESULT_OK) {
            GroupHandleSensorRemoval(result, group, entry->sensorId);
            TFS_ERROR_REPORT(lastErrorOf(group), result, "tcsSensorGetVersion failed");
            return false;
        }
        if (_PRINT_MSG_) {
            printf("\nSensor : '%s'.\n", entry->sensorId);
            printf("\nSensor version: '%s'.\n", version);
        }
        return true;
    });
    palCriticalSectionRelease(group->lock);
    return result;
}

}  // extern "C"
