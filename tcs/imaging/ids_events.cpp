// Image events: one small record per delivery, handed to every registration of the capture's
// sensor in the order registered; images become handles and debug images are written on the way.
#include "platform/memory.h"
#include "tcs/imaging/ids_internal.h"
#include "tcs/handle_map.h"
#include "tcs/tcs.h"

#include <cstdio>
#include <cstring>

namespace {

TcsResult deliver(PalListEntry& registrations, PalMutexHandle lock, void* owner, IdsEvent& event) {
    if (palCriticalSectionAcquire(lock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    for (PalListEntry* e = registrations.next; e != &registrations; e = e->next) {
        auto* node = PAL_LIST_RECORD(e, IdsRegistration, links);
        node->callback(static_cast<IdsSensor*>(owner), node->context, &event);
    }
    palCriticalSectionRelease(lock);
    return TCS_RESULT_OK;
}

IdsEvent* makeEvent(uint32_t id, uint32_t status, void* data, uint32_t size) {
    auto* event = static_cast<IdsEvent*>(palRealMalloc(sizeof(IdsEvent)));
    if (event == nullptr) return nullptr;
    *event = IdsEvent{id, status, uint64_t(uintptr_t(data)), size};
    return event;
}

// "%s<suffix>" with the capture's prefix; false when it does not fit.
bool prefixed(char* out, size_t size, const char* prefix, const char* suffix) {
    const int n = std::snprintf(out, size, "%s%s", prefix, suffix);
    return n > 0 && size_t(n) < size;
}

TcsResult addRegistration(PalListEntry& list, PalMutexHandle lock, IdsEventCallback callback, void* context) {
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* node = static_cast<IdsRegistration*>(palRealMalloc(sizeof(IdsRegistration)));
    if (node == nullptr) return TCS_RESULT_INVALID;
    node->callback = callback;
    node->context = context;
    if (palCriticalSectionAcquire(lock) != TCS_RESULT_OK) {
        palRealFree(node);
        return TCS_RESULT_INVALID;
    }
    palListInsertTail(&list, &node->links);
    palCriticalSectionRelease(lock);
    return TCS_RESULT_OK;
}

TcsResult removeRegistrations(PalListEntry& list, PalMutexHandle lock, IdsEventCallback callback, void* context) {
    if (palCriticalSectionAcquire(lock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    for (PalListEntry* e = list.next; e != &list;) {
        PalListEntry* next = e->next;
        auto* node = PAL_LIST_RECORD(e, IdsRegistration, links);
        if (node->callback == callback && node->context == context) {
            palListRemove(e);
            palRealFree(node);
        }
        e = next;
    }
    palCriticalSectionRelease(lock);
    return TCS_RESULT_OK;
}

}  // namespace

TcsResult idsSensorEventPerformCallbackEx(GetPrintContext* context, uint32_t id, uint32_t status, void* data,
                                          uint32_t size) {
    if (context == nullptr || context->sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    IdsSensor* sensor = context->sensor;
    IdsEvent* event = makeEvent(id, status, data, size);
    if (event == nullptr) return TCS_RESULT_INVALID;
    char path[512];
    const bool hasPrefix = context->path != nullptr;
    if (id == IDS_EVENT_RAW_DATA && context->params[4] != 0 && hasPrefix && data != nullptr &&
        prefixed(path, sizeof path, context->path, "raw.bmp")) {
        tcsFp2bmp(static_cast<const uint8_t*>(data), size, context->lineLength, path);
    }
    if (id == IDS_EVENT_IMAGE_READY && data != nullptr) {
        uint64_t handle = 0;
        if (tcsSafeHandleReverseFetch(data, TCS_HANDLE_TYPE_IMAGE, &handle) != TCS_RESULT_OK || handle == 0) {
            _tcsImageRegisterCleanup();
            tcsSafeImageHandleCreate(static_cast<ImageRecord*>(data), &handle);
        }
        if (context->params[3] != 0 && hasPrefix) {
            if (handle != 0 && prefixed(path, sizeof path, context->path, "ir.bmp")) tcsImage2bmp(handle, path);
            if (context->rawImage != nullptr && prefixed(path, sizeof path, context->path, "rawIr.bmp")) {
                _tcsImage2bmp(context->rawImage, path);
            }
        }
    }
    const TcsResult result = deliver(sensor->registrations, sensor->registrationLock, sensor, *event);
    palRealFree(event);
    return result;
}

TcsResult idsSensorEventPerformCallback(GetPrintContext* context, uint32_t id, void* data, uint32_t size) {
    return idsSensorEventPerformCallbackEx(context, id, 0, data, size);
}

TcsResult idsClientEventPerformCallback(IdsClient* client, uint32_t id, void* data, uint32_t size) {
    if (client == nullptr) return TCS_RESULT_BAD_PARAM;
    IdsEvent* event = makeEvent(id, 0, data, size);
    if (event == nullptr) return TCS_RESULT_INVALID;
    const TcsResult result = deliver(client->registrations, client->registrationLock, client, *event);
    palRealFree(event);
    return result;
}

TcsResult idsSystemEventPerformCallback(IdsSubsystem* subsystem, uint32_t id, void* data, uint32_t size) {
    if (subsystem == nullptr) return TCS_RESULT_BAD_PARAM;
    if (palCriticalSectionAcquire(subsystem->clientLock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    TcsResult result = TCS_RESULT_OK;
    for (PalListEntry* e = subsystem->clients.next; e != &subsystem->clients; e = e->next) {
        const TcsResult r = idsClientEventPerformCallback(PAL_LIST_RECORD(e, IdsClient, links), id, data, size);
        if (result == TCS_RESULT_OK) result = r;
    }
    palCriticalSectionRelease(subsystem->clientLock);
    return result;
}

TcsResult idsClientEventsAddCallback(IdsClient* client, IdsEventCallback callback, void* context) {
    if (client == nullptr) return TCS_RESULT_BAD_PARAM;
    return addRegistration(client->registrations, client->registrationLock, callback, context);
}

TcsResult idsClientEventsRemoveCallback(IdsClient* client, IdsEventCallback callback, void* context) {
    if (client == nullptr) return TCS_RESULT_BAD_PARAM;
    return removeRegistrations(client->registrations, client->registrationLock, callback, context);
}

extern "C" {

TcsResult idsSensorEventsAddCallback(IdsSensor* sensor, IdsEventCallback callback, void* context) {
    if (sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    return addRegistration(sensor->registrations, sensor->registrationLock, callback, context);
}

TcsResult idsSensorEventsRemoveCallback(IdsSensor* sensor, IdsEventCallback callback, void* context) {
    if (sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    return removeRegistrations(sensor->registrations, sensor->registrationLock, callback, context);
}

uint32_t idsEventGetId(const IdsEvent* event) { return event != nullptr ? event->id : 0; }
uint32_t idsEventGetStatus(const IdsEvent* event) { return event != nullptr ? event->status : 0; }
uint64_t idsEventGetData(const IdsEvent* event) { return event != nullptr ? event->data : 0; }
uint32_t idsEventGetDataSize(const IdsEvent* event) { return event != nullptr ? event->dataSize : 0; }

}  // extern "C"
