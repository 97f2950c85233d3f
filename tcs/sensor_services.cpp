// Sensor services of a sensor handle: firmware version, reset with a wait for the sensor's return,
// device information, unique id, the pre-boot flag page and image, and the expiry of the cached
// identification context.
#include "tcs/core.h"

#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "tcs/flashfs/xtfs.h"
#include "tcs/handle_map.h"
#include "tcs/sensorctl/init/device_accessors.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/protocol/properties.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/print_defaults.h"
#include "tcs/sensorctl/ownership/secure_storage.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/sensor_properties.h"

#include <cstring>

namespace {

constexpr uint32_t kVersionItemTimeoutMs = 5000;
constexpr uint32_t kVersionChars = 80;
constexpr uint32_t kContextLifetimeMs = 600000;
constexpr uint32_t kPreBootBlock = 256;

TcsResult fetchSensor(TcsHandle handle, SensorRecord** out) {
    void* object = nullptr;
    tcsSafeSensorHandleFetch(handle, &object);
    auto* sensor = static_cast<SensorRecord*>(object);
    const TcsResult result = tcsSensorValidate(sensor);
    if (result != TCS_RESULT_OK) return result;
    *out = sensor;
    return TCS_RESULT_OK;
}

// The reset wait: the status the handler stores, its event, and the id of the sensor last reported
// removed (NULL until then).
struct ResetWait {
    uint32_t status;
    PalEvent* event;
    char* removedId;
};

TcsResult ResetEventsHandler(ScsClient*, void* context, EventRecord* event) {
    auto* wait = static_cast<ResetWait*>(context);
    if (wait == nullptr || event == nullptr) return TCS_RESULT_OK;
    if (event->id == TCS_SYSTEM_EVENT_SENSOR_REMOVED) {
        if (event->data == nullptr) return TCS_RESULT_OK;
        const uint32_t length = event->dataSize;
        auto* copy = static_cast<char*>(palRealMalloc(length + 1));
        if (copy == nullptr) return TCS_RESULT_INVALID;
        std::memcpy(copy, event->data, length);
        copy[length] = '\0';
        palRealFree(wait->removedId);
        wait->removedId = copy;
        return TCS_RESULT_OK;
    }
    if (event->id != TCS_SYSTEM_EVENT_SENSOR_READY || wait->removedId == nullptr) return TCS_RESULT_OK;
    char* removed = wait->removedId;
    wait->removedId = nullptr;
    if (event->data == nullptr) {
        palRealFree(removed);
        return TCS_RESULT_NULL_POINTER;
    }
    const bool same = palStricmp(removed, static_cast<const char*>(event->data)) == 0;
    palRealFree(removed);
    if (same) {
        wait->status = event->status == TCS_RESULT_READY_NO_SECURE_SESSION
                           ? TcsResult(TCS_RESULT_RESET_READY_NO_SECURE_SESSION)
                           : TcsResult(TCS_RESULT_OK);
        palEventSet(wait->event);
    }
    return TCS_RESULT_OK;
}

// Runs fn between opening and closing the image partition of the sensor's flash storage; the
// open's failure is returned unless closeAnyway asks to go on without it.
template <typename Fn>
TcsResult withStorage(ScsSensor* sensor, bool goOnWhenOpenFails, Fn fn) {
    const TcsResult opened = xtfsStorageOpen(sensor, XTFS_PART_IMAGE, 0, nullptr);
    if (opened != TCS_RESULT_OK && !goOnWhenOpenFails) return opened;
    const TcsResult result = fn();
    xtfsStorageClose(sensor, XTFS_PART_IMAGE);
    return result;
}

// The security-info request writes its four words at the start of its context before it calls
// back, so the record starts with them; the status and event follow. Shared by waiter and
// completion like the core's wait records: whichever side comes second frees it.
struct SecurityInfoWait {
    uint32_t info[4];
    uint32_t status;
    PalEvent* event;
};

TcsResult securityInfoDone(void*, TcsResult status, void* context) {
    auto* wait = static_cast<SecurityInfoWait*>(context);
    if (wait == nullptr) return TCS_RESULT_OK;
    const uint32_t previous = __atomic_exchange_n(&wait->status, status, __ATOMIC_ACQ_REL);
    if (previous == TCS_RESULT_TIMEOUT) {
        palEventFree(wait->event);
        palRealFree(wait);
        return TCS_RESULT_INVALID;
    }
    palEventSet(wait->event);
    return TCS_RESULT_OK;
}

bool listed(PalListEntry* head, ScsSensorDevice* device) {
    for (PalListEntry* e = head->next; e != head; e = e->next) {
        if (e == &device->links) return true;
    }
    return false;
}

WorkItem* takeQueuedExpiry(CoreSubsystem* stack) {
    WorkList* list = &stack->workList;
    for (PalListEntry* e = list->links.next; e != &list->links; e = e->next) {
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(e);
        if (item->type == TCS_ITEM_IDENTIFY_CONTEXT_EXPIRY && *tcsItemState(item) != TCS_ITEM_DONE) {
            palListRemove(&item->links);
            return item;
        }
    }
    return nullptr;
}

}  // namespace

extern "C" {

TcsResult tcsSensorGetVersionA(TcsHandle handle, char* out80) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (out80 == nullptr) return TCS_RESULT_NULL_VERSION_POINTER;
    return scsSensorGetCachedVersion(sensor->sensorControlSensor, out80);
}

TcsResult tcsSensorGetVersionW(TcsHandle handle, uint16_t* out80) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (out80 == nullptr) return TCS_RESULT_NULL_VERSION_POINTER;
    char text[kVersionChars] = {};
    result = scsSensorGetCachedVersion(sensor->sensorControlSensor, text);
    if (result != TCS_RESULT_OK) return result;
    for (uint32_t i = 0; i < kVersionChars; ++i) out80[i] = uint8_t(text[i]);
    return TCS_RESULT_OK;
}

TcsResult tcsSensorGetVersionAsync(TcsHandle handle, CompletionCallback callback, void* context) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (callback == nullptr) return TCS_RESULT_NULL_POINTER;
    if (sensor->client == nullptr || sensor->client->stack == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    return _tcsQueueCoreItem(sensor->client->stack, TCS_ITEM_CACHED_VERSION, kVersionItemTimeoutMs,
                             sensor->sensorControlSensor, callback, context);
}

// The wait record is the core's heap-owned one: a completion after its waiter gave up frees it.
// The status is stored first: a waiter that gives up after that waits for the event, so the text
// never lands in a buffer its caller has left. The generic completion is not used: it writes a
// handle into out, over the text's first eight characters.
TcsResult tcsSensorGetVersionCB(void* version, TcsResult status, void* context) {
    auto* record = static_cast<SyncWaitRecord*>(context);
    if (record == nullptr) return TCS_RESULT_OK;
    const uint32_t previous = __atomic_exchange_n(&record->status, status, __ATOMIC_ACQ_REL);
    if (previous == TCS_RESULT_TIMEOUT) {
        palEventFree(record->event);
        palRealFree(record);
        return TCS_RESULT_INVALID;
    }
    if (status == TCS_RESULT_OK && version != nullptr && record->out != nullptr) {
        std::memcpy(record->out, version, kVersionChars);
    }
    palEventSet(record->event);
    return TCS_RESULT_OK;
}

TcsResult tcsWITGetCachedVersion(WorkItem* item) {
    CompletionCallback callback = tcsItemCallback(item);
    TcsResult result = TCS_RESULT_OK;
    if (callback != nullptr) {
        char text[kVersionChars] = {};
        result = scsSensorGetCachedVersion(static_cast<ScsSensor*>(item->object), text);
        tcsItemSetResult(item, result);
        callback(text, result, tcsItemContext(item));
    }
    *tcsItemState(item) = TCS_ITEM_DONE;
    return result;
}

TcsResult tcsSensorResetAndWait(TcsHandle handle, uint32_t timeoutMs) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    result = tcsClientValidate(sensor->client);
    if (result != TCS_RESULT_OK) return result;
    ResetWait wait{TCS_RESULT_TIMEOUT, palEventAlloc(0, 0, nullptr), nullptr};
    if (wait.event == nullptr) return TCS_RESULT_EVENT_CREATION_FAILED;
    ScsClient* control = sensor->client->sensorControlClient;
    result = scsClientEventsAddCallback(control, ResetEventsHandler, &wait);
    if (result == TCS_RESULT_OK) {
        result = scsSensorReset(sensor->sensorControlSensor, 0);
        if (result == TCS_RESULT_OK) {
            result = _tcsSubsystemWaitForResponse(sensor->client->stack, wait.event, timeoutMs);
            if (result == TCS_RESULT_OK) result = wait.status;
        }
        // The handler runs on the service thread under the listener lock; once removed it is done.
        const TcsResult removed = scsClientEventsRemoveCallback(control, ResetEventsHandler, &wait);
        if (removed != TCS_RESULT_OK) result = removed;
    }
    palRealFree(wait.removedId);
    palEventFree(wait.event);
    return result;
}

TcsResult tcsSensorGetSecurityInfo(TcsHandle handle, uint32_t* outInfo4) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (outInfo4 == nullptr) return TCS_RESULT_NULL_POINTER;
    auto* wait = static_cast<SecurityInfoWait*>(palRealMalloc(sizeof(SecurityInfoWait)));
    if (wait == nullptr) return TCS_RESULT_INVALID;
    std::memset(wait, 0, sizeof *wait);
    wait->status = TCS_SYNC_PENDING;
    wait->event = palEventAlloc(0, 0, nullptr);
    if (wait->event == nullptr) {
        palRealFree(wait);
        return TCS_RESULT_EVENT_CREATION_FAILED;
    }
    result = scsSensorSendGetSecurityInfo(sensor->sensorControlSensor, securityInfoDone, wait);
    if (result == TCS_RESULT_OK) {
        CoreSubsystem* stack = sensor->client != nullptr ? sensor->client->stack : nullptr;
        result = _tcsSubsystemWaitForResponse(stack, wait->event, kVersionItemTimeoutMs);
        if (result == TCS_RESULT_OK) {
            result = __atomic_load_n(&wait->status, __ATOMIC_ACQUIRE);
        } else {
            const uint32_t previous = __atomic_exchange_n(&wait->status, TCS_RESULT_TIMEOUT, __ATOMIC_ACQ_REL);
            if (previous == TCS_SYNC_PENDING) return result;  // the late completion frees it
            palEventWaitFor(wait->event, PAL_INFINITE);
            result = previous;
        }
        if (result == TCS_RESULT_OK) std::memcpy(outInfo4, wait->info, sizeof wait->info);
    }
    palEventFree(wait->event);
    palRealFree(wait);
    return result;
}

TcsResult tcsSensorGetDeviceInfo(TcsHandle handle, DeviceInfoRecord* out) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (out == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsSensor* control = sensor->sensorControlSensor;
    if ((result = scsSensorGetFlashSize(control, &out->flashSize)) != TCS_RESULT_OK) return result;
    if ((result = scsSensorGetFlexId(control, &out->flexId)) != TCS_RESULT_OK) return result;
    if ((result = scsSensorGetTransport(control, &out->transport)) != TCS_RESULT_OK) return result;
    ScsFwVersion version{};
    if ((result = scsSensorGetFwVersion(control, &version)) != TCS_RESULT_OK) return result;
    out->firmwareId = version.id;
    out->major = version.major;
    out->minor = version.minor;
    out->revision = version.revision;
    std::memcpy(out->serial, version.serial, sizeof out->serial);
    out->zero = 0;
    ScsDriverVersion driver{};
    if ((result = scsSensorGetDriverVersion(control, &driver)) != TCS_RESULT_OK) return result;
    std::memcpy(out->driverVersion, driver.words, sizeof out->driverVersion);
    return TCS_RESULT_OK;
}

TcsResult tcsSensorLock(TcsHandle handle) {
    SensorRecord* sensor = nullptr;
    const TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    return scsSensorLock(sensor->sensorControlSensor);
}

TcsResult tcsSensorGetUID(TcsHandle handle, SensorUidRecord* out) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (out == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensorUid uid{};
    result = scsSensorGetCachedUID(sensor->sensorControlSensor, &uid);
    if (result != TCS_RESULT_OK) return result;
    out->first = uid.first;
    out->second = uid.second;
    std::memcpy(out->uid, uid.uid, sizeof out->uid);
    return TCS_RESULT_OK;
}

TcsResult tcsSensorGetId(TcsHandle handle, char* out) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (out == nullptr) return TCS_RESULT_NULL_POINTER;
    if (sensor->sensorId != nullptr) std::memcpy(out, sensor->sensorId, std::strlen(sensor->sensorId));
    return TCS_RESULT_OK;
}

uint32_t tcsSensorGetState(TcsHandle handle) {
    SensorRecord* sensor = nullptr;
    if (fetchSensor(handle, &sensor) != TCS_RESULT_OK) return 0;
    uint32_t state = 0;
    if (scsSensorGetState(sensor->sensorControlSensor, &state) != TCS_RESULT_OK) return 0;
    return state;
}

TcsResult tcsSensorSetLastCommandSentTime(TcsHandle handle, uint32_t tick) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    return scsSensorSetLastCommandSentTime(sensor->sensorControlSensor, tick);
}

uint32_t tcsSensorGetLastCommandSentTime(TcsHandle handle) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    uint32_t tick = 0;
    result = scsSensorGetLastCommandSentTime(sensor->sensorControlSensor, &tick);
    return result != TCS_RESULT_OK ? result : tick;
}

TcsResult tcsSensorGetPbaFlag(TcsHandle handle, uint8_t index, uint8_t* out) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (out == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensor* control = sensor->sensorControlSensor;
    return withStorage(control, false, [&] { return scsSetGetPbaFlag(control, out, index, 0); });
}

TcsResult tcsSensorSetPbaFlag(TcsHandle handle, uint8_t index, uint8_t value) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    // Only these values mean something on the page; anything else is refused rather than ignored.
    if (value != 0 && value != 1 && value != 8 && value != 247) return TCS_RESULT_BAD_PARAM;
    ScsSensor* control = sensor->sensorControlSensor;
    return withStorage(control, false, [&] {
        uint8_t byte = value;
        return scsSetGetPbaFlag(control, &byte, index, 1);
    });
}

TcsResult tcsSensorEraseEFIImage(TcsHandle handle) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    ScsSensor* control = sensor->sensorControlSensor;
    return withStorage(control, true, [&] {
        uint8_t block[kPreBootBlock];
        std::memset(block, 0xFF, sizeof block);
        return xtfsProgramImagePartition(control, block, sizeof block, 1);
    });
}

TcsResult tcsSensorProgramEFIImage(TcsHandle handle, const uint8_t* data, uint32_t length, uint32_t erase) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (data == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensor* control = sensor->sensorControlSensor;
    return withStorage(control, false, [&] { return xtfsProgramImagePartition(control, data, length, erase); });
}

TcsResult tcsSensorGetEFIImageVersion(TcsHandle handle, uint32_t* out) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (out == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensor* control = sensor->sensorControlSensor;
    return withStorage(control, true, [&] { return scsGetEFIImageVersion(control, out); });
}

TcsResult tcsVerifyAndUpdateEFI(TcsHandle handle, uint32_t* outReason) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    return scsVerifyAndUpdateEFI(sensor->sensorControlSensor, outReason);
}

TcsResult tcsWITVerifyAndUpdateEFI(WorkItem* item) {
    uint32_t reason = 0;
    const TcsResult result = scsVerifyAndUpdateEFI(static_cast<ScsSensor*>(item->object), &reason);
    tcsItemSetResult(item, result);
    CompletionCallback callback = tcsItemCallback(item);
    if (callback != nullptr) callback(nullptr, result, tcsItemContext(item));
    *tcsItemState(item) = TCS_ITEM_DONE;
    return result;
}

TcsResult _tcsSensorSetLastIdentificationCtx(SensorRecord* sensor, const void* context, uint32_t size) {
    if (sensor == nullptr || sensor->client == nullptr || sensor->client->stack == nullptr) {
        return TCS_RESULT_NULL_SENSOR_HANDLE;
    }
    const TcsResult result = scsSensorSetLastIdentificationCtx(sensor->sensorControlSensor, context, size);
    CoreSubsystem* stack = sensor->client->stack;
    WorkList* list = &stack->workList;
    TcsResult locked = palCriticalSectionAcquire(list->listLock);
    if (locked != TCS_RESULT_OK) return locked;
    WorkItem* item = takeQueuedExpiry(stack);
    TcsResult outcome = result;
    if (result == TCS_RESULT_OK && context != nullptr) {
        if (item != nullptr) {
            // One expiry at a time: every new context pushes it ten minutes out.
            item->baseTick = palGetTickCount();
            item->timerKind = 0;
            item->remainingMs = kContextLifetimeMs;
            *tcsItemState(item) = TCS_ITEM_NEW;
            palListInsertTail(&list->links, &item->links);
        } else {
            const size_t length = sensor->sensorId != nullptr ? std::strlen(sensor->sensorId) : 0;
            auto* id = static_cast<char*>(palRealMalloc(length + 1));
            if (id == nullptr) {
                outcome = TCS_RESULT_OUT_OF_MEMORY;
            } else {
                if (length != 0) std::memcpy(id, sensor->sensorId, length);
                id[length] = '\0';
                outcome = palWorkItemEnqueue(list, TCS_ITEM_IDENTIFY_CONTEXT_EXPIRY, kContextLifetimeMs, id, 0,
                                             uint64_t(uintptr_t(stack->sensorControl)), 1, nullptr);
                if (outcome != TCS_RESULT_OK) palRealFree(id);
                else outcome = result;
            }
        }
    } else if (item != nullptr) {
        palRealFree(item->object);
        item->object = nullptr;
        palWorkItemDestroy(item);
    }
    palCriticalSectionRelease(list->listLock);
    return outcome;
}

TcsResult tcsSensorEnableSelectiveSuspend(TcsHandle handle, uint32_t timeoutMs) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (scsIsSelectiveSuspendEnabled(sensor->sensorControlSensor) != 1) return TCS_RESULT_NOT_IMPLEMENTED;
    return scsSensorEnableSelectiveSuspend(sensor->sensorControlSensor, timeoutMs);
}

TcsResult tcsSensorDisableSelectiveSuspend(TcsHandle handle) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (scsIsSelectiveSuspendEnabled(sensor->sensorControlSensor) != 1) return TCS_RESULT_NOT_IMPLEMENTED;
    return scsSensorDisableSelectiveSuspend(sensor->sensorControlSensor);
}

TcsResult tcsSensorSetSelectiveSuspendTimeout(TcsHandle handle, uint32_t timeoutMs) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    uint32_t initialised = 0;
    result = scsIsSensorInitialized(sensor->sensorControlSensor, &initialised);
    if (result != TCS_RESULT_OK || initialised == 0) return TCS_RESULT_SENSOR_INITIALIZING;
    return scsSensorSetSelectiveSuspendTimeout(sensor->sensorControlSensor, timeoutMs);
}

TcsResult tcsSensorGetSelectiveSuspendTimeout(TcsHandle handle, uint32_t* outTimeoutMs) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    uint32_t initialised = 0;
    result = scsIsSensorInitialized(sensor->sensorControlSensor, &initialised);
    if (result != TCS_RESULT_OK || initialised == 0) return TCS_RESULT_SENSOR_INITIALIZING;
    return scsSensorGetSelectiveSuspendTimeout(sensor->sensorControlSensor, outTimeoutMs);
}

TcsResult tcsSensorReconfigureStart(TcsHandle handle) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    ScsSensor* control = sensor->sensorControlSensor;
    if (scsIsSelectiveSuspendEnabled(control) != 1) return TCS_RESULT_NOT_IMPLEMENTED;
    scsSensorDisableSelectiveSuspend(control);
    uint32_t lost = 0;
    result = scsSensorWasSuspended(control, &lost);
    if (result != TCS_RESULT_OK) return result;
    if (lost == 0) return TCS_RESULT_CANCEL;  // kept its state: nothing to redo
    ScsSensorDevice* device = nullptr;
    result = scsSensorDeviceAcquire(control, &device);
    if (result != TCS_RESULT_OK) return result;
    ScsSubsystem* subsystem = device->subsystem;
    result = scsLock(subsystem->deviceListLock);
    if (result == TCS_RESULT_OK) {
        if (listed(&subsystem->activeDevices, device)) {
            palListRemove(&device->links);
            palListInsertTail(&subsystem->initialisingDevices, &device->links);
            scsSensorSetSuspendModeEx(control, 1);
        } else {
            result = TCS_RESULT_SENSOR_NOT_FOUND;
        }
        scsUnlock(subsystem->deviceListLock);
    }
    if (result == TCS_RESULT_OK) scsSensorSignalWorkToDo(device);
    scsSensorDeviceRelease(device);
    return result;
}

TcsResult tcsSensorReconfigureIsFinished(TcsHandle handle, uint32_t* outFinished) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (outFinished == nullptr) return TCS_RESULT_NULL_POINTER;
    *outFinished = 1;
    ScsSensorDevice* device = nullptr;
    result = scsSensorDeviceAcquire(sensor->sensorControlSensor, &device);
    if (result != TCS_RESULT_OK) return result;
    ScsSubsystem* subsystem = device->subsystem;
    result = scsLock(subsystem->deviceListLock);
    if (result == TCS_RESULT_OK) {
        if (listed(&subsystem->initialisingDevices, device)) *outFinished = 0;
        scsUnlock(subsystem->deviceListLock);
    }
    scsSensorDeviceRelease(device);
    return result;
}

TcsResult tcsSensorResumeFromSelectiveSuspend(TcsHandle handle) {
    SensorRecord* sensor = nullptr;
    TcsResult result = fetchSensor(handle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    ScsSensor* control = sensor->sensorControlSensor;
    if (control == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensorDevice* device = nullptr;
    result = scsSensorDeviceAcquire(control, &device);
    if (result != TCS_RESULT_OK) return result;
    ScsSubsystem* subsystem = device->subsystem;
    result = scsLock(subsystem->deviceListLock);
    if (result == TCS_RESULT_OK) {
        PalListEntry* before = device->links.prev;
        palListRemove(&device->links);
        palListInsertTail(&subsystem->initialisingDevices, &device->links);
        result = scsSensorSetSuspendModeEx(control, 1);
        if (result != TCS_RESULT_OK) {
            // Back where it was: taken off the initialising list into no list at all, the device
            // was lost to sensor control for good.
            palListRemove(&device->links);
            if (before == &device->links) {
                palListInit(&device->links);
            } else {
                palListInsertAfter(before, &device->links);
            }
        }
        scsUnlock(subsystem->deviceListLock);
    }
    if (result == TCS_RESULT_OK) scsSensorSignalWorkToDo(device);
    scsSensorDeviceRelease(device);
    return result;
}

}  // extern "C"
