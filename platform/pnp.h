// Plug and play: device notifications from the USB bus scans, replay for late callbacks, and the
// available-device list used across suspend and resume.
#pragma once

#include "platform/list.h"
#include "platform/threads.h"
#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    PAL_PNP_ACTION_ARRIVAL = 1,
    PAL_PNP_ACTION_REMOVAL = 2,
    PAL_PNP_ACTION_NO_DEVICE = 3,
};

enum {
    PAL_PNP_DETECTION_LIVE = 0,      // from a bus scan or a detach request
    PAL_PNP_DETECTION_REPLAYED = 1,  // already present at registration, or detached after a resume
};

// Built on the caller's stack for one call; the name is valid only during that call.
typedef struct PnpNotification {
    const char* deviceName;  // NULL for action 3
    uint32_t nameLength;
    uint32_t reserved;
    uint32_t action;
    uint32_t detectionType;
} PnpNotification;

typedef void (*PnpCallback)(void* context, const PnpNotification* notification);

typedef struct PnpCallbackEntry {
    PalListEntry links;
    uint32_t replayPending;
    PnpCallback callback;
    void* context;
} PnpCallbackEntry;

typedef struct PnpAvailableDevice {
    PalListEntry links;
    char* deviceName;
    uint64_t deviceReference;
    uint32_t stillAvailable;
} PnpAvailableDevice;

typedef struct PnpContext {
    uint64_t callerValue;  // the stack's shared wake event (a PalEvent*), set by every bus scan that saw a change
    PalListEntry callbacks;
    PalMutexHandle lock;
    uint32_t deviceCount;
    PalListEntry availableDevices;  // no lock of its own: only the service thread uses it
} PnpContext;

// reserved1 and reserved2 take the start flags and the platform handle; neither is used.
TcsResult palPnpSubsystemStartup(PnpContext** outContext, uint64_t callerValue, uint32_t reserved1, void* reserved2);
TcsResult palPnpSubsystemShutdown(PnpContext* context);
TcsResult palPnpHookEvents(PnpContext* context);
TcsResult palPnpUnHookEvents(PnpContext* context);

TcsResult palPnpAddCallback(PnpContext* context, PnpCallback callback, void* callbackContext);
TcsResult palPnpRemoveCallback(PnpContext* context, PnpCallback callback, void* callbackContext);
TcsResult palPnpRemoveAllCallbacks(PnpContext* context);

// The service step: replays the present devices (or one action 3) to callbacks pending replay.
TcsResult palPnpSubsystemService(PnpContext* context, void* reserved);
TcsResult palPnpProcessEvents(PnpContext* context, void* reserved);

uint32_t palPnpGetDeviceCount(PnpContext* context);
TcsResult palPnpPrepareForResume(PnpContext* context);

const char* palPnpGetDeviceName(const PnpNotification* notification);
uint32_t palPnpGetDeviceAction(const PnpNotification* notification);
uint32_t palPnpGetDeviceDetectionType(const PnpNotification* notification);

TcsResult palPnpSendSensorDetachedEvent(PnpContext* context, const char* deviceName);

// Lookups by name are case-insensitive prefix tests: an entry matches when its name begins with
// the requested one.
TcsResult palPnpAddToAvailableDeviceList(PnpContext* context, const char* deviceName, uint64_t deviceReference);
uint32_t palPnpIsInAvailableDeviceList(PnpContext* context, const char* deviceName);
TcsResult palPnpGetSensorDeviceFromAvailableDeviceList(PnpContext* context, const char* deviceName,
                                                       uint64_t* outReference);
TcsResult palPnpRemoveFromAvailableDeviceList(PnpContext* context, const char* deviceName);
TcsResult palPnpMarkAsStillAvailable(PnpContext* context, const char* deviceName);
TcsResult palPnpResetStillAvailableFlag(PnpContext* context);
TcsResult palPnpDetachDevicesFromAvailableDeviceList(PnpContext* context, PnpCallbackEntry* callbackEntry);
TcsResult palPnpCleanAvailableDeviceList(PnpContext* context);

// Transport side of the device count and replay (implemented with the USB transport).
uint32_t palUsbGetDeviceCount(void);
TcsResult palUsbResetDeviceCount(void);
TcsResult palUsbNotifyExistingDevice(PnpCallbackEntry* callbackEntry);

#ifdef __cplusplus
}
#endif
