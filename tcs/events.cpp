// Events: enable masks, sensor-event callbacks and the translation of image-acquisition events.
#include "tcs/core.h"

#include "platform/memory.h"
#include "tcs/handle_map.h"

#include <cstring>

namespace {

constexpr uint32_t kMaxSingleId = 32;

void applyListen(uint64_t& mask, uint32_t id, int32_t enable) {
    if (id == 0) {
        mask = enable == 1 ? ~uint64_t(0) : 0;
    } else if (enable == 1) {
        mask |= uint64_t(1) << id;
    } else {
        mask &= ~(uint64_t(1) << id);
    }
}

// Image-acquisition event id to sensor event id; 0 for ids that raise no sensor event.
uint32_t sensorEventFor(uint32_t imagingId) {
    switch (imagingId) {
        case IDS_EVENT_SWIPE_NOW: return TCS_SENSOR_EVENT_SWIPE_NOW;
        case IDS_EVENT_IMAGE_READY: return TCS_SENSOR_EVENT_IMAGE_READY;
        case IDS_EVENT_CAPTURE_DONE: return TCS_SENSOR_EVENT_CAPTURE_DONE;
        case IDS_EVENT_RAW_DATA: return TCS_SENSOR_EVENT_RAW_DATA;
        case IDS_EVENT_FINGER_DETECTED: return TCS_SENSOR_EVENT_FINGER_PRESENT;
        case IDS_EVENT_FINGER_REMOVED: return TCS_SENSOR_EVENT_FINGER_REMOVED;
        case IDS_EVENT_FINGER_EXTRA: return TCS_SENSOR_EVENT_FINGER_EXTRA;
        default: return 0;
    }
}

SensorRecord* fetchSensor(TcsHandle handle) {
    void* object = nullptr;
    if (handle == 0) return nullptr;
    tcsSafeSensorHandleFetch(handle, &object);
    return static_cast<SensorRecord*>(object);
}

constexpr uint32_t kSwipeNowEvent = 8;

}  // namespace

extern "C" {

TcsResult tcsSystemEventListen(TcsHandle handle, uint32_t id, int32_t enable) {
    void* object = nullptr;
    if (handle != 0) tcsSafeClientHandleFetch(handle, &object);
    auto* client = static_cast<ClientRecord*>(object);
    TcsResult result = tcsClientValidate(client);
    if (result != TCS_RESULT_OK) return result;
    if (id > kMaxSingleId) return TCS_RESULT_BAD_PARAM;
    applyListen(client->systemEventMask, id, enable);
    return TCS_RESULT_OK;
}

TcsResult tcsSensorEventListen(TcsHandle handle, uint32_t id, int32_t enable) {
    SensorRecord* sensor = fetchSensor(handle);
    TcsResult result = tcsSensorValidate(sensor);
    if (result != TCS_RESULT_OK) return result;
    if (id > kMaxSingleId) return TCS_RESULT_BAD_PARAM;
    applyListen(sensor->eventMask, id, enable);
    return TCS_RESULT_OK;
}

TcsResult tcsSensorEventsAddCallback(TcsHandle handle, EventCallback callback, void* context) {
    SensorRecord* sensor = fetchSensor(handle);
    TcsResult result = tcsSensorValidate(sensor);
    if (result != TCS_RESULT_OK) return result;
    if (callback == nullptr) return TCS_RESULT_NULL_POINTER;
    auto* node = static_cast<EventCallbackNode*>(palRealMalloc(sizeof(EventCallbackNode)));
    if (node == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(node, 0, sizeof(*node));
    node->context = context;
    node->callback = callback;
    node->handle = handle;
    result = palCriticalSectionAcquire(sensor->eventLock);
    if (result != TCS_RESULT_OK) {
        palRealFree(node);
        return result;
    }
    palListInsertTail(&sensor->eventCallbacks, &node->links);
    palCriticalSectionRelease(sensor->eventLock);
    return TCS_RESULT_OK;
}

TcsResult tcsSensorEventsRemoveCallback(TcsHandle handle, EventCallback callback, void* context) {
    if (callback == nullptr) return TCS_RESULT_NULL_POINTER;
    SensorRecord* sensor = fetchSensor(handle);
    TcsResult result = tcsSensorValidate(sensor);
    if (result != TCS_RESULT_OK) return result;
    result = palCriticalSectionAcquire(sensor->eventLock);
    if (result != TCS_RESULT_OK) return result;
    for (PalListEntry* e = sensor->eventCallbacks.next; e != &sensor->eventCallbacks;) {
        PalListEntry* next = e->next;
        auto* node = PAL_LIST_RECORD(e, EventCallbackNode, links);
        if (node->callback == callback && node->context == context) {
            palListRemove(e);
            palRealFree(node);
        }
        e = next;
    }
    palCriticalSectionRelease(sensor->eventLock);
    return TCS_RESULT_OK;
}

TcsResult _tcsSensorEventPerformCallbackEx(SensorRecord* sensor, uint32_t id, uint32_t status, uint64_t data,
                                           uint32_t dataSize) {
    uint64_t handle = 0;
    if (sensor == nullptr || tcsSafeHandleReverseFetch(sensor, TCS_HANDLE_TYPE_SENSOR, &handle) != TCS_RESULT_OK ||
        handle == 0) {
        return TCS_RESULT_NULL_SENSOR_HANDLE;
    }
    if ((sensor->eventMask >> (id % 64) & 1) == 0) return TCS_RESULT_OK;
    auto* event = static_cast<EventRecord*>(palRealMalloc(sizeof(EventRecord)));
    if (event == nullptr) return TCS_RESULT_INVALID;
    event->id = id;
    event->status = status;
    event->dataSize = dataSize;
    event->data = reinterpret_cast<void*>(uintptr_t(data));
    if (palCriticalSectionAcquire(sensor->eventLock) != TCS_RESULT_OK) {
        palRealFree(event);
        return TCS_RESULT_INVALID;
    }
    for (PalListEntry* e = sensor->eventCallbacks.next; e != &sensor->eventCallbacks; e = e->next) {
        auto* node = PAL_LIST_RECORD(e, EventCallbackNode, links);
        node->callback(reinterpret_cast<void*>(uintptr_t(handle)), node->context, event);
    }
    palCriticalSectionRelease(sensor->eventLock);
    palRealFree(event);
    return TCS_RESULT_OK;
}

TcsResult tcsIdsSensorEventsCB(IdsSensor*, void* sensorArgument, IdsEvent* imagingEvent) {
    uint32_t imagingId = idsEventGetId(imagingEvent);
    uint32_t status = idsEventGetStatus(imagingEvent) & 0xFFFF;
    uint64_t data = idsEventGetData(imagingEvent);
    uint32_t dataSize = idsEventGetDataSize(imagingEvent);
    uint32_t id = sensorEventFor(imagingId);
    if (id == 0) return TCS_RESULT_INVALID;
    if (imagingId == IDS_EVENT_IMAGE_READY) {
        uint64_t image = 0;
        if (tcsSafeHandleReverseFetch(reinterpret_cast<void*>(uintptr_t(data)), TCS_HANDLE_TYPE_IMAGE, &image) ==
                TCS_RESULT_OK &&
            image != 0) {
            data = image;
            dataSize = 8;
        }
    }
    _tcsSensorEventPerformCallbackEx(static_cast<SensorRecord*>(sensorArgument), id, status, data, dataSize);
    return TCS_RESULT_OK;
}

TcsResult tcsSensorEventsCBEx(void*, void* watch, EventRecord* event) {
    if (watch != nullptr && event != nullptr && event->id == kSwipeNowEvent) {
        // Read by the capturing flow on its own thread.
        __atomic_store_n(&static_cast<EsdWatch*>(watch)->swipePromptSeen, 1u, __ATOMIC_RELEASE);
    }
    return TCS_RESULT_OK;
}

}  // extern "C"
