// Sensor-control clients: creation and destruction through work items, their synchronous twins, and
// the clients' system-event callback lists.
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/engine/sync_wait.h"

#include <string.h>

namespace {

constexpr uint32_t kSyncWaitMs = 15000;

void freeLock(PalMutexHandle& lock) {
    if (lock != nullptr) palMutexFree(lock);
    lock = nullptr;
}

TcsResult scsClientCreateCB(void* object, TcsResult status, void* context) {
    return scs::syncWaitComplete(object, status, context);
}

TcsResult scsClientDestroyCB(void* object, TcsResult status, void* context) {
    return scs::syncWaitComplete(object, status, context);
}

void replay(ScsClient* client, ScsClientEventCallback callback, void* context, ScsSensorDevice* device,
            uint32_t id) {
    EventRecord event{id, 0, palStrlen(device->name) + 1, device->name};
    callback(client, context, &event);
}

}  // namespace

TcsResult scsClientValidate(ScsClient* client) {
    return client == nullptr ? TCS_RESULT_NULL_CLIENT_HANDLE : TCS_RESULT_OK;
}

TcsResult scsClientSendCreate(ScsSubsystem* subsystem, ScsCallback callback, void* context) {
    if (subsystem == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* client = static_cast<ScsClient*>(palRealMalloc(sizeof(ScsClient)));
    if (client == nullptr) return TCS_RESULT_INVALID;
    memset(client, 0, sizeof *client);
    palListInit(&client->links);
    palListInit(&client->sensors);
    palListInit(&client->callbacks);
    client->subsystem = subsystem;
    client->sensorsLock = palMutexAlloc(nullptr, 0);
    client->callbacksLock = palMutexAlloc(nullptr, 0);
    if (client->sensorsLock == nullptr || client->callbacksLock == nullptr) {
        scsClientFree(client);
        return TCS_RESULT_MUTEX_CREATION_FAILED;
    }
    const TcsResult result = palWorkItemEnqueue(&subsystem->workList, scsWitIdClientCreate, SCS_WIT_TIMEOUT_MS, client,
                                                reinterpret_cast<uintptr_t>(callback),
                                                reinterpret_cast<uintptr_t>(context), 1, nullptr);
    if (result != TCS_RESULT_OK) scsClientFree(client);
    return result;
}

TcsResult scsClientCreate(ScsSubsystem* subsystem, ScsClient** outClient) {
    scs::SyncWait* wait = scs::syncWaitCreate();
    if (wait == nullptr) return TCS_RESULT_EVENT_CREATION_FAILED;
    TcsResult result = TCS_RESULT_OK;
    if (subsystem == nullptr) result = TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    else if (outClient == nullptr) result = TCS_RESULT_BAD_PARAM;
    else result = scsClientSendCreate(subsystem, scsClientCreateCB, wait);
    if (result != TCS_RESULT_OK) {
        // The callback will never run: both shares are the caller's.
        scs::syncWaitRelease(wait);
        scs::syncWaitRelease(wait);
        return result;
    }
    result = scsSubsystemWaitForResponse(subsystem, wait->event, kSyncWaitMs);
    if (result == TCS_RESULT_OK) {
        result = wait->status;
        if (result == TCS_RESULT_OK) *outClient = static_cast<ScsClient*>(wait->object);
    }
    scs::syncWaitRelease(wait);
    return result;
}

TcsResult scsClientSendDestroy(ScsClient* client, ScsCallback callback, void* context) {
    const TcsResult valid = scsClientValidate(client);
    if (valid != TCS_RESULT_OK) return valid;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsSubsystem* subsystem = client->subsystem;
    // Unlinked at once, so no system event reaches a client being destroyed.
    scsLock(subsystem->clientListLock);
    palListRemove(&client->links);
    palListInit(&client->links);
    scsUnlock(subsystem->clientListLock);
    return palWorkItemEnqueue(&subsystem->workList, scsWitIdClientDestroy, SCS_WIT_TIMEOUT_MS, client,
                              reinterpret_cast<uintptr_t>(callback), reinterpret_cast<uintptr_t>(context), 1, nullptr);
}

TcsResult scsClientDestroy(ScsClient* client) {
    scs::SyncWait* wait = scs::syncWaitCreate();
    if (wait == nullptr) return TCS_RESULT_EVENT_CREATION_FAILED;
    ScsSubsystem* subsystem = client != nullptr ? client->subsystem : nullptr;
    TcsResult result = scsClientSendDestroy(client, scsClientDestroyCB, wait);
    if (result != TCS_RESULT_OK) {
        scs::syncWaitRelease(wait);
        scs::syncWaitRelease(wait);
        return result;
    }
    result = scsSubsystemWaitForResponse(subsystem, wait->event, kSyncWaitMs);
    if (result == TCS_RESULT_OK) result = wait->status;
    scs::syncWaitRelease(wait);
    return result;
}

TcsResult scsClientFree(ScsClient* client) {
    if (client == nullptr) return TCS_RESULT_BAD_PARAM;
    TcsResult result = TCS_RESULT_OK;
    if (client->callbacksLock != nullptr) {
        result = scsLock(client->callbacksLock);
        while (!palListIsEmpty(&client->callbacks)) {
            PalListEntry* node = client->callbacks.next;
            palListRemove(node);
            palRealFree(PAL_LIST_RECORD(node, ScsListener, links));
        }
        if (result == TCS_RESULT_OK) scsUnlock(client->callbacksLock);
    }
    freeLock(client->callbacksLock);
    freeLock(client->sensorsLock);
    palRealFree(client);
    return result;
}

TcsResult scsClientEventsAddCallback(ScsClient* client, ScsClientEventCallback callback, void* context) {
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    const TcsResult valid = scsClientValidate(client);
    if (valid != TCS_RESULT_OK) return valid;
    auto* node = static_cast<ScsListener*>(palRealMalloc(sizeof(ScsListener)));
    if (node == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    node->context = context;
    node->callback = reinterpret_cast<void*>(callback);
    palListInit(&node->links);

    // Tell the new listener about the devices that already exist, before it is registered.
    ScsSubsystem* subsystem = client->subsystem;
    scsLock(subsystem->deviceListLock);
    for (PalListEntry* n = subsystem->initialisingDevices.next; n != &subsystem->initialisingDevices; n = n->next) {
        ScsSensorDevice* device = PAL_LIST_RECORD(n, ScsSensorDevice, links);
        if (device->announced && device->name != nullptr) replay(client, callback, context, device, 2);
    }
    for (PalListEntry* n = subsystem->activeDevices.next; n != &subsystem->activeDevices; n = n->next) {
        ScsSensorDevice* device = PAL_LIST_RECORD(n, ScsSensorDevice, links);
        if (device->name == nullptr) continue;
        replay(client, callback, context, device, 2);
        if (!scsIsSuspended(subsystem)) replay(client, callback, context, device, 3);
    }
    scsUnlock(subsystem->deviceListLock);

    scsLock(client->callbacksLock);
    palListInsertTail(&client->callbacks, &node->links);
    scsUnlock(client->callbacksLock);
    return TCS_RESULT_OK;
}

TcsResult scsClientEventsRemoveCallback(ScsClient* client, ScsClientEventCallback callback, void* context) {
    const TcsResult valid = scsClientValidate(client);
    if (valid != TCS_RESULT_OK) return valid;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    if (scsLock(client->callbacksLock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    for (PalListEntry* n = client->callbacks.next; n != &client->callbacks;) {
        PalListEntry* next = n->next;
        ScsListener* node = PAL_LIST_RECORD(n, ScsListener, links);
        if (node->callback == reinterpret_cast<void*>(callback) && node->context == context) {
            palListRemove(n);
            palRealFree(node);
        }
        n = next;
    }
    scsUnlock(client->callbacksLock);
    return TCS_RESULT_OK;
}
