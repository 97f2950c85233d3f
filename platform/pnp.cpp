// Plug and play: the callback list and its replay, the device count, and the available-device list.
#include "platform/pnp.h"

#include "platform/detail/usb_pnp.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "platform/usb_transport.h"

#include <cstring>

namespace {

void callAll(PnpContext* context, const PnpNotification* notification) {
    for (PalListEntry* link = context->callbacks.next; link != &context->callbacks;) {
        auto* entry = PAL_LIST_RECORD(link, PnpCallbackEntry, links);
        link = link->next;
        entry->callback(entry->context, notification);
    }
}

PnpAvailableDevice* findAvailable(PnpContext* context, const char* name) {
    for (PalListEntry* link = context->availableDevices.next; link != &context->availableDevices; link = link->next) {
        auto* entry = PAL_LIST_RECORD(link, PnpAvailableDevice, links);
        if (palStringsIMatch(entry->deviceName, name)) return entry;
    }
    return nullptr;
}

void freeAvailable(PnpAvailableDevice* entry) {
    palListRemove(&entry->links);
    palRealFree(entry->deviceName);
    palRealFree(entry);
}

}  // namespace

void pnpNotifyCallbacks(PnpContext* context, const PnpNotification* notification) {
    if (context == nullptr) return;
    palCriticalSectionAcquire(context->lock);
    callAll(context, notification);
    palCriticalSectionRelease(context->lock);
}

extern "C" {

TcsResult palPnpSubsystemStartup(PnpContext** outContext, uint64_t callerValue, uint32_t, void*) {
    if (outContext == nullptr) return TCS_RESULT_BAD_PARAM;
    *outContext = nullptr;
    auto* context = static_cast<PnpContext*>(palRealMalloc(sizeof(PnpContext)));
    if (context == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(context, 0, sizeof *context);
    palListInit(&context->callbacks);
    palListInit(&context->availableDevices);
    palCriticalSectionInitialize(&context->lock);
    if (context->lock == nullptr) {
        palRealFree(context);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    context->deviceCount = 0;
    palUsbResetDeviceCount();
    context->callerValue = callerValue;
    const TcsResult started = palUsbSubsystemStartup(context);
    if (started != TCS_RESULT_OK) {
        // Free only what was made here: a transport that was already running belongs to another context.
        palCriticalSectionFree(context->lock);
        palRealFree(context);
        return started;
    }
    *outContext = context;
    return TCS_RESULT_OK;
}

TcsResult palPnpSubsystemShutdown(PnpContext* context) {
    if (context == nullptr) return TCS_RESULT_INVALID_HANDLE;
    TcsResult result = TCS_RESULT_OK;
    if (palPnpRemoveAllCallbacks(context) != TCS_RESULT_OK) result = TCS_RESULT_SHUTDOWN_FAILED;
    // Not started (a failed start-up shutting down its context) is not a failure of this step.
    const TcsResult stopped = palUsbSubsystemShutdown();
    if (stopped != TCS_RESULT_OK && stopped != TCS_RESULT_INVALID_HANDLE) result = TCS_RESULT_SHUTDOWN_FAILED;
    palPnpCleanAvailableDeviceList(context);
    palCriticalSectionFree(context->lock);
    palRealFree(context);
    return result;
}

TcsResult palPnpHookEvents(PnpContext* context) {
    if (context == nullptr) return TCS_RESULT_INVALID_HANDLE;
    return palUsbSubsystemStartup(context);
}

TcsResult palPnpUnHookEvents(PnpContext* context) {
    if (context == nullptr) return TCS_RESULT_INVALID_HANDLE;
    return palUsbSubsystemShutdown();
}

TcsResult palPnpAddCallback(PnpContext* context, PnpCallback callback, void* callbackContext) {
    if (context == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* entry = static_cast<PnpCallbackEntry*>(palRealMalloc(sizeof(PnpCallbackEntry)));
    if (entry == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    entry->replayPending = 1;
    entry->callback = callback;
    entry->context = callbackContext;
    const TcsResult locked = palCriticalSectionAcquire(context->lock);
    if (locked != TCS_RESULT_OK) {
        palRealFree(entry);
        return locked;
    }
    palListInsertTail(&context->callbacks, &entry->links);
    palCriticalSectionRelease(context->lock);
    return TCS_RESULT_OK;
}

TcsResult palPnpRemoveCallback(PnpContext* context, PnpCallback callback, void* callbackContext) {
    if (context == nullptr) return TCS_RESULT_INVALID_HANDLE;
    const TcsResult locked = palCriticalSectionAcquire(context->lock);
    if (locked != TCS_RESULT_OK) return locked;
    for (PalListEntry* link = context->callbacks.next; link != &context->callbacks; link = link->next) {
        auto* entry = PAL_LIST_RECORD(link, PnpCallbackEntry, links);
        if (entry->callback == callback && entry->context == callbackContext) {
            palListRemove(&entry->links);
            palRealFree(entry);
            break;
        }
    }
    palCriticalSectionRelease(context->lock);
    return TCS_RESULT_OK;
}

TcsResult palPnpRemoveAllCallbacks(PnpContext* context) {
    if (context == nullptr) return TCS_RESULT_INVALID_HANDLE;
    const TcsResult locked = palCriticalSectionAcquire(context->lock);
    if (locked != TCS_RESULT_OK) return locked;
    while (!palListIsEmpty(&context->callbacks)) {
        auto* entry = PAL_LIST_RECORD(context->callbacks.next, PnpCallbackEntry, links);
        palListRemove(&entry->links);
        palRealFree(entry);
    }
    palCriticalSectionRelease(context->lock);
    return TCS_RESULT_OK;
}

TcsResult palPnpSubsystemService(PnpContext* context, void*) {
    if (context == nullptr) return TCS_RESULT_INVALID_HANDLE;
    // The device-list lock first: the poll thread holds it when it takes this layer's lock.
    usbLockDeviceList();
    palCriticalSectionAcquire(context->lock);
    for (PalListEntry* link = context->callbacks.next; link != &context->callbacks;) {
        auto* entry = PAL_LIST_RECORD(link, PnpCallbackEntry, links);
        link = link->next;
        if (entry->replayPending == 0) continue;
        entry->replayPending = 0;
        palUsbNotifyExistingDevice(entry);
    }
    palCriticalSectionRelease(context->lock);
    usbUnlockDeviceList();
    return TCS_RESULT_OK;
}

TcsResult palPnpProcessEvents(PnpContext* context, void* reserved) { return palPnpSubsystemService(context, reserved); }

uint32_t palPnpGetDeviceCount(PnpContext* context) {
    if (context == nullptr) return 0;
    context->deviceCount = palUsbGetDeviceCount();
    return context->deviceCount;
}

TcsResult palPnpPrepareForResume(PnpContext* context) {
    if (context == nullptr) return TCS_RESULT_BAD_PARAM;
    // The transport's count is reset under its device-list lock: take that one first, as the poll
    // thread does, or a scan during the resume deadlocks with it.
    usbLockDeviceList();
    palCriticalSectionAcquire(context->lock);
    if (!palListIsEmpty(&context->callbacks)) {
        context->deviceCount = 0;
        palUsbResetDeviceCount();
        for (PalListEntry* link = context->callbacks.next; link != &context->callbacks; link = link->next) {
            PAL_LIST_RECORD(link, PnpCallbackEntry, links)->replayPending = 1;
        }
    }
    palCriticalSectionRelease(context->lock);
    usbUnlockDeviceList();
    return TCS_RESULT_OK;
}

const char* palPnpGetDeviceName(const PnpNotification* notification) {
    return notification == nullptr ? nullptr : notification->deviceName;
}

uint32_t palPnpGetDeviceAction(const PnpNotification* notification) {
    return notification == nullptr ? 0 : notification->action;
}

uint32_t palPnpGetDeviceDetectionType(const PnpNotification* notification) {
    return notification == nullptr ? 0 : notification->detectionType;
}

TcsResult palPnpSendSensorDetachedEvent(PnpContext* context, const char* deviceName) {
    if (context == nullptr) return TCS_RESULT_BAD_PARAM;
    PnpNotification notification = {};
    notification.deviceName = deviceName;
    notification.nameLength = deviceName == nullptr ? 0 : uint32_t(std::strlen(deviceName));
    notification.action = PAL_PNP_ACTION_REMOVAL;
    notification.detectionType = PAL_PNP_DETECTION_LIVE;
    pnpNotifyCallbacks(context, &notification);
    return TCS_RESULT_OK;
}

TcsResult palPnpAddToAvailableDeviceList(PnpContext* context, const char* deviceName, uint64_t deviceReference) {
    if (context == nullptr || deviceName == nullptr) return TCS_RESULT_NULL_POINTER;
    if (findAvailable(context, deviceName) != nullptr) return TCS_RESULT_OK;
    auto* entry = static_cast<PnpAvailableDevice*>(palRealMalloc(sizeof(PnpAvailableDevice)));
    if (entry == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    const uint32_t size = uint32_t(std::strlen(deviceName)) + 1;
    entry->deviceName = static_cast<char*>(palRealMalloc(size));
    if (entry->deviceName == nullptr) {
        palRealFree(entry);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    std::memcpy(entry->deviceName, deviceName, size);
    entry->deviceReference = deviceReference;
    entry->stillAvailable = 0;
    palListInsertTail(&context->availableDevices, &entry->links);
    return TCS_RESULT_OK;
}

uint32_t palPnpIsInAvailableDeviceList(PnpContext* context, const char* deviceName) {
    if (context == nullptr || deviceName == nullptr) return 0;
    return findAvailable(context, deviceName) != nullptr ? 1 : 0;
}

TcsResult palPnpGetSensorDeviceFromAvailableDeviceList(PnpContext* context, const char* deviceName,
                                                       uint64_t* outReference) {
    if (context == nullptr || deviceName == nullptr || outReference == nullptr) return TCS_RESULT_BAD_PARAM;
    PnpAvailableDevice* entry = findAvailable(context, deviceName);
    if (entry == nullptr) return TCS_RESULT_NO_MORE_ENTRIES;
    *outReference = entry->deviceReference;
    return TCS_RESULT_OK;
}

TcsResult palPnpRemoveFromAvailableDeviceList(PnpContext* context, const char* deviceName) {
    if (context == nullptr || deviceName == nullptr) return TCS_RESULT_NULL_POINTER;
    if (PnpAvailableDevice* entry = findAvailable(context, deviceName)) freeAvailable(entry);
    return TCS_RESULT_OK;
}

TcsResult palPnpMarkAsStillAvailable(PnpContext* context, const char* deviceName) {
    if (context == nullptr || deviceName == nullptr) return TCS_RESULT_NULL_POINTER;
    if (PnpAvailableDevice* entry = findAvailable(context, deviceName)) entry->stillAvailable = 1;
    return TCS_RESULT_OK;
}

TcsResult palPnpResetStillAvailableFlag(PnpContext* context) {
    if (context == nullptr) return TCS_RESULT_NULL_POINTER;
    for (PalListEntry* link = context->availableDevices.next; link != &context->availableDevices; link = link->next) {
        PAL_LIST_RECORD(link, PnpAvailableDevice, links)->stillAvailable = 0;
    }
    return TCS_RESULT_OK;
}

TcsResult palPnpDetachDevicesFromAvailableDeviceList(PnpContext* context, PnpCallbackEntry* callbackEntry) {
    if (context == nullptr || callbackEntry == nullptr || callbackEntry->callback == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    for (PalListEntry* link = context->availableDevices.next; link != &context->availableDevices; link = link->next) {
        auto* entry = PAL_LIST_RECORD(link, PnpAvailableDevice, links);
        if (entry->stillAvailable != 0) continue;
        PnpNotification notification = {};
        notification.deviceName = entry->deviceName;
        notification.nameLength = uint32_t(std::strlen(entry->deviceName));
        notification.action = PAL_PNP_ACTION_REMOVAL;
        notification.detectionType = PAL_PNP_DETECTION_REPLAYED;
        callbackEntry->callback(callbackEntry->context, &notification);
    }
    return TCS_RESULT_OK;
}

TcsResult palPnpCleanAvailableDeviceList(PnpContext* context) {
    if (context == nullptr) return TCS_RESULT_NULL_POINTER;
    while (!palListIsEmpty(&context->availableDevices)) {
        freeAvailable(PAL_LIST_RECORD(context->availableDevices.next, PnpAvailableDevice, links));
    }
    return TCS_RESULT_OK;
}

}  // extern "C"
