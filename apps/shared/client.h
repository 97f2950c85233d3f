// Client library: the client interface of the stack carried to the service process over channels.
#pragma once

#include "apps/shared/pipes.h"
#include "platform/list.h"
#include "platform/threads.h"
#include "tcs/result.h"
#include "tcs/tcs.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Results of the transport that the stack itself never gives.
enum : TcsResult {
    TOV_RESULT_SERVICE_SUSPENDED = 357,
    TOV_RESULT_CHANNEL_SEGMENT_MISSING = 410,
    TOV_RESULT_CHANNEL_SEGMENT_NOT_MAPPED = 411,
    TOV_RESULT_CHANNEL_SEMAPHORE_MISSING = 412,
    TOV_RESULT_CHANNEL_EVENT_MISSING = 413,
    TOV_RESULT_SERVICE_STOPPED = 500,
};

#define TOV_CHANNEL_PATH_MAX 44
#define TOV_CHANNEL_PAYLOAD_MAX 1280000u
#define TOV_CHANNEL_SEGMENT_SIZE (TOV_CHANNEL_PAYLOAD_MAX + 64u)
#define TOV_TRANSFER_MAX_FUNCTION 107u
#define TOV_SERVICE_STATE_STOPPED 5u
#define TOV_MUTEX_WAIT_MS 8000u

// One meeting point with the service: a shared segment, a semaphore, a named event and a FIFO.
typedef struct ChannelRecord {
    PalSharedObject* segment;
    void* mapping;
    PalSharedObject* semaphore;
    PalEvent* event;
    uint32_t preparePipe;  // set: the FIFO record is made when the channel is opened
    PalPipe* pipe;
    char path[TOV_CHANNEL_PATH_MAX + 1];
} ChannelRecord;

TcsResult ChannelOpen(ChannelRecord* channel, const char* name, uint32_t tries);
TcsResult ChannelCreate(ChannelRecord* channel, const char* name);
TcsResult ChannelPipeOpen(ChannelRecord* channel, uint32_t writeSide);
TcsResult ChannelDestroy(ChannelRecord* channel);
TcsResult ChannelValidate(const ChannelRecord* channel);

// The one transport record of the process.
typedef struct FPClientSystem {
    uint32_t clientCount;
    PalMutexHandle mutex;  // recursive; made by the first client create, never freed
    ChannelRecord request;
    ChannelRecord output;
    ChannelRecord event;
    PalSharedObject* stateSegment;
    volatile uint32_t* state;
    PalThreadHandle listener;
    PalThreadHandle handler;
    uint32_t handlerStop;   // the four flags: only through tovFlagGet and tovFlagSet
    uint32_t listenerStop;
    PalEvent* handlerWake;
    PalEvent* serviceReady;
    uint32_t suspended;
    uint32_t waitWhileSuspended;
    PalListEntry eventQueue;
    PalMutexHandle eventQueueLock;
    PalListEntry clients;
    PalMutexHandle clientsLock;
    void* platform;
    PalListEntry detectData;
    uint8_t reserved[50];
} FPClientSystem;

extern FPClientSystem gClientSystem;

// The stop and suspended flags pass between the calling threads, the listener and the handler:
// atomic with acquire and release, where volatile ordered nothing and raced.
static inline uint32_t tovFlagGet(const uint32_t* flag) { return __atomic_load_n(flag, __ATOMIC_ACQUIRE); }
static inline void tovFlagSet(uint32_t* flag, uint32_t value) { __atomic_store_n(flag, value, __ATOMIC_RELEASE); }

// Function ids of the service.
typedef enum TransferFunctionId {
    TOV_FN_CLIENT_CREATE = 1,
    TOV_FN_CLIENT_DESTROY = 2,
    TOV_FN_CLIENT_CALLBACK_ADD = 3,
    TOV_FN_CLIENT_CALLBACK_REMOVE = 4,
    TOV_FN_SENSOR_GET_VERSION = 5,
    TOV_FN_SENSOR_OPEN = 7,
    TOV_FN_SENSOR_CALLBACK_ADD = 8,
    TOV_FN_SENSOR_CALLBACK_REMOVE = 9,
    TOV_FN_SENSOR_CLOSE = 10,
    TOV_FN_SENSOR_IMAGE_MAX_SIZE = 11,
    TOV_FN_SENSOR_GET_FINGERPRINT = 12,
    TOV_FN_SENSOR_ABORT_FINGERPRINT = 13,
    TOV_FN_HELLO = 15,
    TOV_FN_DATABASE_OPEN = 20,
    TOV_FN_DATABASE_CLOSE = 21,
    TOV_FN_DATABASE_ERASE = 22,
    TOV_FN_APP_STORAGE_CREATE = 23,
    TOV_FN_APP_STORAGE_DELETE = 24,
    TOV_FN_APP_STORAGE_CLOSE = 25,
    TOV_FN_USER_CREATE = 26,
    TOV_FN_USER_CLOSE = 27,
    TOV_FN_USER_SET_DATA = 28,
    TOV_FN_USER_GET_DATA = 29,
    TOV_FN_USER_DELETE_DATA = 30,
    TOV_FN_USER_OPEN_FIRST = 31,
    TOV_FN_USER_OPEN_NEXT = 32,
    TOV_FN_USER_DELETE = 33,
    TOV_FN_TEMPLATE_CREATE = 34,
    TOV_FN_TEMPLATE_CLOSE = 35,
    TOV_FN_TEMPLATE_DELETE = 36,
    TOV_FN_TEMPLATE_SET_DATA = 37,
    TOV_FN_TEMPLATE_DELETE_DATA = 38,
    TOV_FN_TEMPLATE_GET_DATA = 39,
    TOV_FN_TEMPLATE_OPEN_FIRST = 40,
    TOV_FN_TEMPLATE_OPEN_NEXT = 41,
    TOV_FN_STORAGE_CREATE = 42,
    TOV_FN_STORAGE_CLOSE = 43,
    TOV_FN_STORAGE_DELETE = 44,
    TOV_FN_STORAGE_SET_DATA = 45,
    TOV_FN_STORAGE_DELETE_DATA = 46,
    TOV_FN_STORAGE_GET_DATA = 47,
    TOV_FN_STORAGE_OPEN_FIRST = 48,
    TOV_FN_STORAGE_OPEN_NEXT = 49,
    TOV_FN_SET_PARAM = 50,
    TOV_FN_GET_PARAM = 51,
    TOV_FN_SUSPENDED_STATE = 52,
    TOV_FN_SENSOR_DEVICE_INFO = 53,
    TOV_FN_SET_SYMMETRIC_KEY = 54,
    TOV_FN_RESET_SYMMETRIC_KEY = 55,
    TOV_FN_TTA_START = 56,
    TOV_FN_TTA_STOP = 57,
    TOV_FN_DATABASE_FORMAT = 60,
    TOV_FN_POWER_POLICIES_GET = 61,
    TOV_FN_POWER_POLICIES_SET = 62,
    TOV_FN_POWER_STATE_SET = 63,
    TOV_FN_SUSPEND_TIMEOUT_GET = 64,
    TOV_FN_SUSPEND_TIMEOUT_SET = 65,
    TOV_FN_POWER_POLICY_ENABLE = 66,
    TOV_FN_POWER_POLICY_ENABLED = 67,
    TOV_FN_TEMPLATE_EX_GET = 68,
    TOV_FN_TEMPLATE_EX_SET = 69,
    TOV_FN_LED_CONFIG = 70,
    TOV_FN_LED_GET_CONFIG = 71,
    TOV_FN_LED_LOAD_DEFAULT = 72,
    TOV_FN_LED_SAVE = 73,
    TOV_FN_LED_SET_EVENT = 74,
    TOV_FN_LED_IS_ENABLED = 75,
    TOV_FN_LED_ENABLE = 76,
    TOV_FN_USER_COUNT = 77,
    TOV_FN_EFI_PROGRAM = 78,
    TOV_FN_EFI_ERASE = 79,
    TOV_FN_EX_ENROLL_USER = 83,
    TOV_FN_EX_IDENTIFY_USER = 84,
    TOV_FN_EX_ENROLL_AUTH_DATA = 85,
    TOV_FN_EX_GET_AUTH_TOKEN = 86,
    TOV_FN_EX_CANCEL = 87,
    TOV_FN_EX_REMOVE_USER_FINGER = 88,
    TOV_FN_EX_USER_LIST = 89,
    TOV_FN_EX_USER_LIST_COUNT = 90,
    TOV_FN_SENSOR_UID = 91,
    TOV_FN_EX_SHARE_AUTH_DATA = 92,
    TOV_FN_PRIVILEGED_TRANSACTION = 93,
    TOV_FN_EX_VERIFY_USER = 94,
    TOV_FN_EX_EXPORT_COUNT = 95,
    TOV_FN_EX_EXPORT = 96,
    TOV_FN_GOODBYE = 97,
    TOV_FN_PBA_FLAG_SET = 98,
    TOV_FN_PBA_FLAG_GET = 99,
    TOV_FN_EFI_VERSION = 100,
    TOV_FN_CAPTURE_PURPOSE = 101,
    TOV_FN_EX_ENROLL_TEMPLATE = 102,
    TOV_FN_EX_IDENTIFY_IMAGE = 103,
    TOV_FN_EX_VERIFY_IMAGE = 104,
} TransferFunctionId;

// --- Transfer call ----------------------------------------------------------------------------------------
TcsResult tcsFPClientTransferCallEx(FPClientSystem* system, uint8_t function, const void* request,
                                    uint32_t requestLength, void** inOutReply, uint32_t* inOutReplyCapacity,
                                    uint32_t timeoutMs, uint32_t waitFlag);
TcsResult tcsFPClientTransferCall(FPClientSystem* system, uint8_t function, const void* request,
                                  uint32_t requestLength, void* reply, uint32_t replyCapacity, uint32_t timeoutMs,
                                  uint32_t waitFlag);
TcsResult tcsFPClientTransferCallInternalEx(FPClientSystem* system, uint8_t function, const void* request,
                                            uint32_t requestLength, void** inOutReply, uint32_t* inOutReplyCapacity,
                                            uint32_t timeoutMs, uint32_t waitFlag);
TcsResult tcsFPClientTransferCallInternal(FPClientSystem* system, uint8_t function, const void* request,
                                          uint32_t requestLength, void* reply, uint32_t replyCapacity,
                                          uint32_t timeoutMs, uint32_t waitFlag);
// True for the functions that pass while the service is suspended.
bool tcsFPClientPassesWhileSuspended(uint8_t function);

// --- Set-up and tear-down ---------------------------------------------------------------------------------
TcsResult tcsClientCreate(TcsHandle* outClient);
TcsResult tcsFPClientInitGlobalObjects(FPClientSystem* system);
TcsResult tcsFPClientUnInitGlobalObjects(FPClientSystem* system);

// --- Event channel -----------------------------------------------------------------------------------------
uint32_t tcsEventChannelListener(void* system);
uint32_t tcsEventsHandler(void* system);
uint32_t tcsFPClientSendEvent(void* copiedEvent);
TcsResult tcsFPClientAddDetectDataToList(const char* id, uint32_t length, void* callback, FPClientSystem* system);
bool tcsFPClientIsContainDetectData(const char* id, void* callback, FPClientSystem* system);
TcsResult tcsFPClientRemoveDetectDataFromList(const char* id, void* callback, FPClientSystem* system);
TcsResult tcsFPClientUnInitDetectDataList(FPClientSystem* system);

#define TOV_AREA_SIZE 32768u
#define TOV_TEXT_SIZE 260u

// An identified user as the service reports it, unpacked with owned copies of its two areas.
typedef struct IdentifiedUser {
    uint32_t kind;
    uint32_t length1;
    uint8_t* area1;
    uint32_t value;
    uint32_t length2;
    uint8_t* area2;
} IdentifiedUser;

#define TOV_PACKED_IDENTIFIED_USER_SIZE 65552u
// direction 0 unpacks packed into record (allocating both areas), 1 packs record into packed.
TcsResult tcsIdentifiedUserEventPackUnpack(IdentifiedUser* record, uint8_t* packed, uint32_t direction);
void tcsIdentifiedUserFree(IdentifiedUser* record);

// The event ids the handler knows besides the stack's own.
enum {
    TOV_EVENT_EX_PROGRESS = 13,
    TOV_EVENT_IDENTIFIED_USER = 14,
    TOV_EVENT_IDENTIFIED_USERS = 15,
    TOV_EVENT_EX_PROGRESS_2 = 16,
    TOV_EVENT_EX_IMAGE = 17,
    TOV_EVENT_EX_PROGRESS_3 = 18,
    TOV_EVENT_LISTENER_END = 31,
    TOV_EVENT_DATA_20 = 32,
    TOV_EVENT_SERVICE_SUSPENDED = 34,
    TOV_EVENT_SERVICE_RESUMED = 35,
    TOV_EVENT_CAPTURE_COMPLETE = 50,
};

// 40-byte header in front of every event on the event FIFO.
typedef struct EventChannelHeader {
    uint32_t status;
    uint32_t id;
    uint32_t length;
    uint32_t pad;
    uint64_t handle;
    uint64_t callback;
    uint64_t userData;
} EventChannelHeader;

// Record of event 15: the identified users of one operation.
typedef struct IdentifiedUserList {
    uint32_t count;
    IdentifiedUser* users;
} IdentifiedUserList;

#ifdef __cplusplus
}
#endif
