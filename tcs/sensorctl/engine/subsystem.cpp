// Sensor-control subsystem: start-up and shut-down, plug-and-play notifications, hard resets, the
// product-family table and the entry points that do nothing.
#include "platform/usb_ids.h"
#include "tcs/sensorctl/protocol/builtin_lists.h"
#include "tcs/sensorctl/init/device_init.h"
#include "tcs/sensorctl/init/led.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/secure/security.h"

#include <string.h>

namespace {

constexpr uint32_t kShutdownBudgetMs = 500;
constexpr uint32_t kShutdownLimitMs = 2000;
constexpr uint32_t kLedStateWords = 64;

char* copyName(const char* name) {
    if (name == nullptr) return nullptr;
    const uint32_t size = palStrlen(name) + 1;
    char* copy = static_cast<char*>(palRealMalloc(size));
    if (copy != nullptr) memcpy(copy, name, size);
    return copy;
}

bool secured(const ScsSensorDevice* device) {
    return device->aesSecured || device->rsaSecured || device->eccSecured;
}

void freeLock(PalMutexHandle& lock) {
    if (lock != nullptr) palMutexFree(lock);
    lock = nullptr;
}

// An item that never ran still owns its data: free it with the item, so a shut-down cut short by
// stuck items leaves nothing behind.
void destroyQueuedItem(WorkItem* item) {
    palListRemove(&item->links);
    void* object = item->object;
    if (object != nullptr && *scsWitState(item) != SCS_WIT_STATE_DONE) {
        switch (item->type) {
            case scsWitIdClientCreate:
                scsClientFree(static_cast<ScsClient*>(object));
                break;
            case scsWitIdClientDestroy: {
                auto* client = static_cast<ScsClient*>(object);
                while (!palListIsEmpty(&client->sensors)) {
                    auto* sensor = PAL_LIST_RECORD(client->sensors.next, ScsSensor, links);
                    scsSensorUnlinkFromClient(sensor);
                    scsSensorFree(sensor);
                }
                scsClientFree(client);
                break;
            }
            case scsWitIdSensorOpen:
            case scsWitIdSensorOpenEx:
                scsSensorFree(static_cast<ScsSensor*>(object));
                break;
            case scsWitIdPnpAttached:
            case scsWitIdPnpDetached:
            case scsWitIdPnpDisabled:
            case scsWitIdPnpMalfunction: {
                auto* record = static_cast<ScsPnpRecord*>(object);
                palRealFree(record->name);
                palRealFree(record);
                break;
            }
            default:
                // Command items own their request copy, and their caller waits for an answer: one
                // never given left the caller's wait record behind.
                if (item->type <= scsWITSensor_CMD_DB_USER_CONTAINER_INFO_GET) {
                    if (auto reply = reinterpret_cast<ScsReply>(static_cast<uintptr_t>(item->parameter1))) {
                        reply(nullptr, SCS_RESULT_DEVICE_SHUTDOWN, scsWitContext(item));
                    }
                    palRealFree(object);
                }
                break;
        }
    }
    palWorkItemDestroy(item);
}

}  // namespace

// Frees the record and everything it still holds (locks, queued items, callbacks, kept context).
TcsResult scsSubsystemFree(ScsSubsystem* subsystem) {
    if (subsystem == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    TcsResult result = TCS_RESULT_OK;
    if (subsystem->workList.listLock != nullptr) {
        palCriticalSectionAcquire(subsystem->workList.listLock);
        while (!palListIsEmpty(&subsystem->workList.links)) {
            destroyQueuedItem(PAL_WORK_ITEM_FROM_LINKS(subsystem->workList.links.next));
        }
        palCriticalSectionRelease(subsystem->workList.listLock);
        palWorkListUninitialize(&subsystem->workList);
    }
    while (!palListIsEmpty(&subsystem->sensorLostCallbacks)) {
        PalListEntry* node = subsystem->sensorLostCallbacks.next;
        palListRemove(node);
        palRealFree(PAL_LIST_RECORD(node, ScsListener, links));
    }
    freeLock(subsystem->deviceListLock);
    freeLock(subsystem->clientListLock);
    freeLock(subsystem->auxiliaryLock);
    freeLock(subsystem->referenceLock);
    palRealFree(subsystem->keptIdentificationCtx);
    palRealFree(subsystem);
    return result;
}

namespace {

void freeConfigGroups(ScsSubsystem* subsystem) {
    for (ScsConfigGroup*& group : subsystem->configGroups) {
        if (group == nullptr) continue;
        for (uint32_t i = 0; i < group->count; ++i) {
            if (group->entries[i].owned) palRealFree(const_cast<void**>(group->entries[i].list));
        }
        palRealFree(group);
        group = nullptr;
    }
}

TcsResult buildConfigGroups(ScsSubsystem* subsystem) {
    for (uint32_t family = 1; family <= 4; ++family) {
        auto* group = static_cast<ScsConfigGroup*>(palRealMalloc(sizeof(ScsConfigGroup)));
        if (group == nullptr) return family == 1 ? TCS_RESULT_INVALID : TCS_RESULT_OUT_OF_MEMORY;
        memset(group, 0, sizeof *group);
        group->family = family;
        if (family == SCS_FAMILY_1 || family == SCS_FAMILY_2) {
            // No navigation entry is kept for these families.
            group->entries[group->count++] = {0, 0, harlokPatchConfigList};
            group->entries[group->count++] = {1, 0, harlokPrintConfigList};
            group->entries[group->count++] = {2, 0, harlokCalConfigList};
            group->entries[group->count++] = {4, 0, harlokWoeConfigList};
        }
        subsystem->configGroups[family - 1] = group;
    }
    return TCS_RESULT_OK;
}

void releaseDeviceList(PalListEntry* list, bool closeWithAlert) {
    while (!palListIsEmpty(list)) {
        PalListEntry* node = list->next;
        palListRemove(node);
        palListInit(node);
        ScsSensorDevice* device = PAL_LIST_RECORD(node, ScsSensorDevice, links);
        if (secured(device)) scsSSLCloseSession(device, closeWithAlert && scsSSLIsInSession(device) ? 1 : 0);
        scsSensorDeviceRelease(device);
    }
}

}  // namespace

// --- Product families -----------------------------------------------------------------------------------

uint32_t scsSensorGetProductFamilyByPid(uint32_t productId) {
    for (const TovUsbProductRow& row : kTovUsbProductTable) {
        if (row.family == 0) break;
        if (row.productId == productId) return row.family;
    }
    return SCS_FAMILY_NONE;
}

// --- Plug and play ---------------------------------------------------------------------------------------

TcsResult scsQueuePnpItem(ScsSubsystem* subsystem, uint32_t type, const char* name, uint32_t detectionType,
                          uint32_t resetKind, int atHead) {
    if (subsystem == nullptr) return TCS_RESULT_INVALID;
    auto* record = static_cast<ScsPnpRecord*>(palRealMalloc(sizeof(ScsPnpRecord)));
    if (record == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    record->subsystem = subsystem;
    record->name = copyName(name);
    record->detectionType = detectionType;
    record->resetKind = resetKind;
    if (name != nullptr && record->name == nullptr) {
        palRealFree(record);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    TcsResult result;
    if (atHead) {
        result = palWorkItemEnqueueHead(&subsystem->workList, type, SCS_WIT_TIMEOUT_MS, record, 0, 0, 1, nullptr);
    } else if (type == scsWitIdPnpDetached) {
        result = palEnqueuePnpDetachWorkItem(&subsystem->workList, SCS_WIT_TIMEOUT_MS, record, nullptr);
    } else {
        result = palWorkItemEnqueue(&subsystem->workList, type, SCS_WIT_TIMEOUT_MS, record, 0, 0, 1, nullptr);
    }
    if (result != TCS_RESULT_OK) {
        palRealFree(record->name);
        palRealFree(record);
    }
    return result;
}

TcsResult scsProcessPnpAction(ScsSubsystem* subsystem, uint32_t action, const char* name, uint32_t detectionType) {
    if (subsystem == nullptr) return TCS_RESULT_INVALID;
    if (scsIsSuspended(subsystem)) return TCS_RESULT_OK;
    switch (action) {
        case PAL_PNP_ACTION_NO_DEVICE: {
            uint32_t count = 0;
            EventRecord event{9, 0, sizeof count, &count};
            scsSystemEventPerformCallback(subsystem, &event);
            return TCS_RESULT_OK;
        }
        case PAL_PNP_ACTION_ARRIVAL:
            return scsQueuePnpItem(subsystem, scsWitIdPnpAttached, name, detectionType, 0, 0) == TCS_RESULT_OK
                       ? TCS_RESULT_OK
                       : TCS_RESULT_INVALID;
        case PAL_PNP_ACTION_REMOVAL:
            return scsQueuePnpItem(subsystem, scsWitIdPnpDetached, name, detectionType, 0, 0) == TCS_RESULT_OK
                       ? TCS_RESULT_OK
                       : TCS_RESULT_INVALID;
        case 4:
            return scsQueuePnpItem(subsystem, scsWitIdPnpDetached, name, detectionType, 0, 1) == TCS_RESULT_OK
                       ? TCS_RESULT_OK
                       : TCS_RESULT_INVALID;
        case 5:
            return scsQueuePnpItem(subsystem, scsWitIdPnpMalfunction, name, detectionType, 0, 1) == TCS_RESULT_OK
                       ? TCS_RESULT_OK
                       : TCS_RESULT_INVALID;
        default:
            return TCS_RESULT_INVALID;
    }
}

void scsPnpNotificationsHandler(void* context, const PnpNotification* notification) {
    if (context == nullptr || notification == nullptr) return;
    scsProcessPnpAction(static_cast<ScsSubsystem*>(context), palPnpGetDeviceAction(notification),
                        palPnpGetDeviceName(notification), palPnpGetDeviceDetectionType(notification));
}

TcsResult scsSensorHardReset(const char* deviceName, ScsSensor* sensor, uint32_t resetKind) {
    if (deviceName == nullptr || sensor == nullptr || sensor->client == nullptr || sensor->client->subsystem == nullptr) {
        return TCS_RESULT_BAD_PARAM;
    }
    return scsQueuePnpItem(sensor->client->subsystem, scsWitIdPnpMalfunction, deviceName, 0, resetKind, 1);
}

TcsResult scsSensorHardResetEx(ScsSensor* sensor, uint32_t resetKind) {
    if (sensor == nullptr || sensor->device == nullptr) return TCS_RESULT_BAD_PARAM;
    scsSensorHardReset(sensor->device->name, sensor, resetKind);
    return TCS_RESULT_OK;
}

TcsResult scsSensorSignalWorkToDo(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN;
    if (device->subsystem != nullptr && device->subsystem->wakeEvent != nullptr) {
        palEventSet(device->subsystem->wakeEvent);
    }
    return TCS_RESULT_OK;
}

TcsResult scsSensorSignalWorkToDoEx(ScsSensor* sensor) {
    ScsSensorDevice* device = nullptr;
    const TcsResult acquired = scsSensorDeviceAcquire(sensor, &device);
    if (acquired != TCS_RESULT_OK) return acquired;
    const TcsResult result = scsSensorSignalWorkToDo(device);
    scsSensorDeviceRelease(device);
    return result;
}

TcsResult scsChangeStateToSuspend(ScsSubsystem* subsystem) {
    if (subsystem == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    scsSetSuspended(subsystem, 1);
    return TCS_RESULT_OK;
}

TcsResult scsPrepareForResume(ScsSubsystem* subsystem) {
    if (subsystem == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    scsSetSuspended(subsystem, 0);
    return palPnpPrepareForResume(subsystem->pnp);
}

TcsResult scsSendPrepareForSuspend(ScsSubsystem* subsystem, ScsCallback callback, WorkItem* callerItem) {
    if (subsystem == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    return palWorkItemEnqueue(&subsystem->workList, scsWitIdSystemPrepareForSuspend, SCS_WIT_TIMEOUT_MS, subsystem,
                              reinterpret_cast<uintptr_t>(callback), reinterpret_cast<uintptr_t>(callerItem), 1,
                              nullptr);
}

// --- Start-up and shut-down ------------------------------------------------------------------------------

TcsResult scsSubsystemStartup(ScsSubsystem** outSubsystem, PalEvent* wakeEvent, uint32_t startFlags,
                              const StartupOptionBlock* startOptions) {
    if (outSubsystem == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outSubsystem = nullptr;
    PlatformContext* platform = nullptr;
    TcsResult result = palSubsystemStartup(&platform, reinterpret_cast<uintptr_t>(wakeEvent));
    if (result != TCS_RESULT_OK) return result;
    PnpContext* pnp = nullptr;
    result = palPnpSubsystemStartup(&pnp, reinterpret_cast<uintptr_t>(wakeEvent), startFlags, platform);
    if (result != TCS_RESULT_OK) {
        palSubsystemShutdown(platform);
        return result;
    }

    auto* subsystem = static_cast<ScsSubsystem*>(palRealMalloc(sizeof(ScsSubsystem)));
    if (subsystem == nullptr) {
        palPnpSubsystemShutdown(pnp);
        palSubsystemShutdown(platform);
        return TCS_RESULT_INVALID;
    }
    memset(subsystem, 0, sizeof *subsystem);
    palListInit(&subsystem->workList.links);
    palListInit(&subsystem->initialisingDevices);
    palListInit(&subsystem->badDevices);
    palListInit(&subsystem->activeDevices);
    palListInit(&subsystem->detachedDevices);
    palListInit(&subsystem->clients);
    palListInit(&subsystem->auxiliary);
    palListInit(&subsystem->sensorLostCallbacks);
    result = palWorkListInitialize(&subsystem->workList, wakeEvent);
    subsystem->deviceListLock = palMutexAlloc(nullptr, 0);
    subsystem->clientListLock = palMutexAlloc(nullptr, 0);
    subsystem->auxiliaryLock = palMutexAlloc(nullptr, 0);
    subsystem->referenceLock = palMutexAlloc(nullptr, 0);
    if (result == TCS_RESULT_OK &&
        (subsystem->deviceListLock == nullptr || subsystem->clientListLock == nullptr ||
         subsystem->auxiliaryLock == nullptr || subsystem->referenceLock == nullptr)) {
        result = TCS_RESULT_MUTEX_CREATION_FAILED;
    }
    if (result != TCS_RESULT_OK) {
        scsSubsystemFree(subsystem);
        palPnpSubsystemShutdown(pnp);
        palSubsystemShutdown(platform);
        return result;
    }
    subsystem->startFlags = startFlags;
    subsystem->wakeEvent = wakeEvent;
    subsystem->platform = platform;
    subsystem->pnp = pnp;
    if (startOptions != nullptr) subsystem->startOptions = *startOptions;

    result = buildConfigGroups(subsystem);
    if (result == TCS_RESULT_OK) {
        subsystem->ledState = static_cast<void**>(palRealMalloc(kLedStateWords * sizeof(void*)));
        if (subsystem->ledState == nullptr) {
            result = TCS_RESULT_OUT_OF_MEMORY;
        } else {
            memset(subsystem->ledState, 0, kLedStateWords * sizeof(void*));
            scsGetExternalLEDConfig(subsystem->ledState);
        }
    }
    if (result == TCS_RESULT_OK) result = palPnpAddCallback(pnp, scsPnpNotificationsHandler, subsystem);
    if (result == TCS_RESULT_OK) {
        result = palWorkItemEnqueue(&subsystem->workList, scsWitIdLedInitialize, SCS_WIT_TIMEOUT_MS, subsystem, 0, 0,
                                    1, nullptr);
    }
    if (result != TCS_RESULT_OK) {
        palPnpRemoveCallback(pnp, scsPnpNotificationsHandler, subsystem);
        freeConfigGroups(subsystem);
        palRealFree(subsystem->ledState);
        scsSubsystemFree(subsystem);
        palPnpSubsystemShutdown(pnp);
        palSubsystemShutdown(platform);
        return result;
    }
    *outSubsystem = subsystem;
    return TCS_RESULT_OK;
}

void scsFreeDiscoveredDevices(ScsSubsystem* subsystem) {
    if (subsystem == nullptr) return;
    scsLock(subsystem->deviceListLock);
    releaseDeviceList(&subsystem->activeDevices, true);
    releaseDeviceList(&subsystem->initialisingDevices, true);
    releaseDeviceList(&subsystem->badDevices, false);
    releaseDeviceList(&subsystem->detachedDevices, false);
    scsUnlock(subsystem->deviceListLock);
    scsLock(subsystem->auxiliaryLock);
    while (!palListIsEmpty(&subsystem->auxiliary)) palListRemove(subsystem->auxiliary.next);
    scsUnlock(subsystem->auxiliaryLock);
}

TcsResult scsSubsystemShutdown(ScsSubsystem* subsystem) {
    if (subsystem == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    subsystem->stopping = 1;
    palWorkItemEnqueue(&subsystem->workList, scsWitIdLedTerminate, SCS_WIT_TIMEOUT_MS, subsystem, 0, 0, 1, nullptr);
    TcsResult result = palWorkItemEnqueue(&subsystem->workList, scsWitIdPnpShutdown, SCS_WIT_TIMEOUT_MS, subsystem, 0,
                                          0, 1, nullptr);

    PalListEntry cancelled;
    palListInit(&cancelled);
    scsLock(subsystem->deviceListLock);
    while (!palListIsEmpty(&subsystem->initialisingDevices)) {
        PalListEntry* node = subsystem->initialisingDevices.next;
        palListRemove(node);
        palListInsertTail(&cancelled, node);
    }
    scsUnlock(subsystem->deviceListLock);
    for (PalListEntry* node = cancelled.next; node != &cancelled; node = node->next) {
        ScsSensorDevice* device = PAL_LIST_RECORD(node, ScsSensorDevice, links);
        if (secured(device) && scsSSLIsInSession(device)) scsSSLCloseSession(device, 1);
        scsCancelDeviceInitialization(device, 0);
    }

    scsLock(subsystem->clientListLock);
    for (PalListEntry* node = subsystem->clients.next; node != &subsystem->clients;) {
        PalListEntry* next = node->next;
        scsClientSendDestroy(PAL_LIST_RECORD(node, ScsClient, links), dummyscsClientDestroyCB, nullptr);
        node = next;
    }
    scsUnlock(subsystem->clientListLock);

    // Run the remaining work here, bounded: items that never finish must not hold shut-down up.
    // This thread now serves sensor control (the core's service thread has ended): a command item
    // run here sends directly, where it queued itself again and waited for a thread that is gone.
    if ((subsystem->startFlags & SCS_START_NO_SERVICE_THREAD) == 0) {
        const PalThreadHandle self = palCurrentThreadId();
        scsSubsystemSetTCSThreadHandle(subsystem, self, uint32_t(self));
    }
    const uint32_t start = palGetTickCount();
    for (;;) {
        uint32_t wait = 0;
        const TcsResult step = scsSubsystemService(subsystem, kShutdownBudgetMs, &wait);
        if (step == TCS_RESULT_NO_WORK_ITEMS && wait == 0) break;
        if (uint32_t(palGetTickCount() - start) > kShutdownLimitMs) break;
    }

    scsFreeDiscoveredDevices(subsystem);
    releaseDeviceList(&cancelled, false);

    const TcsResult pnpResult = palPnpSubsystemShutdown(subsystem->pnp);
    if (pnpResult != TCS_RESULT_OK && result == TCS_RESULT_OK) result = TCS_RESULT_SHUTDOWN_FAILED;
    const TcsResult platformResult = palSubsystemShutdown(subsystem->platform);
    if (platformResult != TCS_RESULT_OK && result == TCS_RESULT_OK) result = TCS_RESULT_SHUTDOWN_FAILED;

    freeConfigGroups(subsystem);
    palRealFree(subsystem->ledState);
    subsystem->ledState = nullptr;
    if (scsSubsystemFree(subsystem) != TCS_RESULT_OK && result == TCS_RESULT_OK) result = TCS_RESULT_SHUTDOWN_FAILED;
    return result;
}

TcsResult scsSubsystemSetTCSThreadHandle(ScsSubsystem* subsystem, PalThreadHandle thread, uint32_t threadId) {
    if (subsystem == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    __atomic_store_n(&subsystem->serviceThread, thread, __ATOMIC_RELEASE);
    __atomic_store_n(&subsystem->serviceThreadId, threadId, __ATOMIC_RELEASE);
    __atomic_store_n(&subsystem->serviceThreadSet, 1u, __ATOMIC_RELEASE);
    return TCS_RESULT_OK;
}

// --- Entry points that do nothing ----------------------------------------------------------------------------

TcsResult scsRemoteSubsystemStartup(void) { return TCS_RESULT_OK; }
TcsResult scsSubsystemDumpState(ScsSubsystem*) { return TCS_RESULT_OK; }
void scsDbgPrintSubsystem(ScsSubsystem*) {}
TcsResult scsSetDbgFlags(uint32_t) { return TCS_RESULT_OK; }
TcsResult scsSetDbgSystems(uint32_t) { return TCS_RESULT_OK; }
TcsResult scsGetDbgFlags(uint32_t* flags) {
    if (flags == nullptr) return TCS_RESULT_BAD_PARAM;
    *flags = 0;
    return TCS_RESULT_OK;
}
TcsResult scsGetDbgSystems(uint32_t* systems) {
    if (systems == nullptr) return TCS_RESULT_BAD_PARAM;
    *systems = 0;
    return TCS_RESULT_OK;
}
TcsResult dummyscsClientDestroyCB(void*, TcsResult, void*) { return TCS_RESULT_OK; }
