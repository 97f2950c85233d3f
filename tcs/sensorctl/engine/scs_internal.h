// Engine of sensor control: the subsystem, the service step, devices with their transfer queues,
// sensor handles, clients, events and the work-item table. Every part sends through it; it calls
// into the parts from its work items, its service step and device start-up and shut-down.
//
// Sensor control's records shared by its own sources: subsystem, devices, descriptor queues, clients,
// sensor handles, the work-item table and how handlers use a work item's fields.
#pragma once

#include "platform/pal.h"
#include "platform/pnp.h"
#include "platform/usb_transport.h"
#include "tcs/sensorctl/scs.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// --- Work-item ids ---------------------------------------------------------------------------------
typedef enum ScsWitId : uint32_t {
    scsWITSensor_CMD_NOOP = 0,
    scsWITSensor_CMD_GET_VERSION,
    scsWITSensor_CMD_RESET,
    scsWITSensor_CMD_GET_STARTINFO,
    scsWITSensor_CMD_PEEK,
    scsWITSensor_CMD_POKE,
    scsWITSensor_CMD_GPIO,
    scsWITSensor_CMD_SET_REFCLK,
    scsWITSensor_CMD_SET_CPUCLK,
    scsWITSensor_CMD_SET_SPIMODE,
    scsWITSensor_CMD_PATCH,
    scsWITSensor_CMD_INPLACE_PATCH,
    scsWITSensor_CMD_UNLOAD_PATCH,
    scsWITSensor_CMD_WOE_SETUP,
    scsWITSensor_CMD_WOE_ENTER,
    scsWITSensor_CMD_GET_PRINT,
    scsWITSensor_CMD_STOP_PRINT,
    scsWITSensor_CMD_GET_PRINT_SIGNATURE,
    scsWITSensor_CMD_GET_FINGER_STATUS,
    scsWITSensor_CMD_GET_CONFIGURATION,
    scsWITSensor_CMD_GET_CFGTSBL,
    scsWITSensor_CMD_SPI_TRANSFER,
    scsWITSensor_CMD_SPISLV_FAST_READ,
    scsWITSensor_CMD_SPI_FLASH,
    scsWITSensor_CMD_LED,
    scsWITSensor_CMD_LED_EX,
    scsWITSensor_CMD_LED_EX_2,
    scsWITSensor_CMD_DECOMMISSION,
    scsWITSensor_CMD_TAKE_OWNERSHIP,
    scsWITSensor_CMD_TAKE_OWNERSHIP_EX,
    scsWITSensor_CMD_TAKE_OWNERSHIP_EX2,
    scsWITSensor_CMD_RESET_OWNERSHIP,
    scsWITSensor_CMD_REWRITE_PM_SECTOR,
    scsWITSensor_CMD_GET_OWNERSHIP_INFO,
    scsWITSensor_CMD_GET_CERTIFICATE,
    scsWITSensor_CMD_GET_CERTIFICATE_EX,
    scsWITSensor_CMD_LOCK,
    scsWITSensor_CMD_GET_UID,
    scsWITSensor_CMD_MATCH_VERIFY,
    scsWITSensor_CMD_SIGN_ENC_TEMPLATE_DATA,
    scsWITSensor_CMD_DEC_VERIFY_TEMPLATE_DATA,
    scsWITSensor_CMD_GET_AUTH_DATA,
    scsWITSensor_CMD_STORAGE_INFO_GET,
    scsWITSensor_CMD_STORAGE_PART_FORMAT,
    scsWITSensor_CMD_STORAGE_PART_READ,
    scsWITSensor_CMD_STORAGE_PART_WRITE,
    scsWITSensor_CMD_STORAGE_FWPART_VALIDATE,
    scsWITSensor_CMD_STORAGE_FWPART_INFO_GET,
    scsWITSensor_CMD_DB_INFO_GET,
    scsWITSensor_CMD_DB_OBJECT_CREATE,
    scsWITSensor_CMD_DB_OBJECT_DELETE,
    scsWITSensor_CMD_DB_OBJECT_INFO_GET,
    scsWITSensor_CMD_DB_OBJECT_DATA_GET,
    scsWITSensor_CMD_DB_OBJECT_RESTORE,
    scsWITSensor_CMD_DB_USER_INFO_GET,
    scsWITSensor_CMD_DB_SYSTEM_PARAM_GET,
    scsWITSensor_CMD_DB_SYSTEM_PARAM_SET,
    scsWITSensor_CMD_DB_USER_CONTAINER_INFO_GET,  // 57
    scsWitIdClientCreate,                          // 58
    scsWitIdClientDestroy,
    scsWitIdSensorOpen,
    scsWitIdSensorOpenEx,
    scsWitIdSensorClose,
    scsWitIdSensorCalibrate,
    scsWitIdSensorGetSecurityInfo,
    scsWitIdPnpShutdown,  // 65
    scsWitIdPnpAttached,
    scsWitIdPnpDetached,
    scsWitIdPnpDisabled,
    scsWitIdPnpMalfunction,
    scsWitIdSystemPrepareForSuspend,  // 70
    scsWitIdLedInitialize,
    scsWitIdLedActivate,
    scsWitIdLedTerminate,
    scsWitIdLedEnrollAccepted,
    scsWitIdLedEnrollRejected,
    scsWitIdLedIdentifyAccepted,
    scsWitIdLedIdentifyRejected,
    scsWitIdLedProcessIdle,
    scsWitIdLedIndicatorOverride,
    scsWitIdGetFingerState,  // 80
    scsWitIdWoeSetup,
    scsWitIdGetBaselineData,
    scsWitIdDetermineFlexId,  // 83
    SCS_WIT_COUNT
} ScsWitId;

typedef TcsResult (*ScsWitHandler)(WorkItem* item);
typedef TcsResult (*ScsWireBuilder)(ScsSensor* sensor, ScsWitRequest* request);

typedef struct ScsWitRow {
    ScsWitHandler handler;
    ScsWireBuilder builder;
    const char* name;
} ScsWitRow;

extern const ScsWitRow gScsWitList[SCS_WIT_COUNT];

// Time-out of every queued item but the finger-state poll.
#define SCS_WIT_TIMEOUT_MS 15000u

// Work-item states a handler leaves behind: 0 or 2 run again, 1 waiting on its timer, 3 done.
enum { SCS_WIT_STATE_RUN = 0, SCS_WIT_STATE_WAIT = 1, SCS_WIT_STATE_AGAIN = 2, SCS_WIT_STATE_DONE = 3 };

// The owner's words of a WorkItem as sensor control uses them; parameter 1 is the completion
// callback (ScsCallback), parameter 2 its context.
static inline uint32_t* scsWitState(WorkItem* item) { return &item->reserved1[0]; }
static inline uint32_t* scsWitStatus(WorkItem* item) { return &item->reserved1[1]; }
static inline uint64_t* scsWitSubState(WorkItem* item) { return &item->reserved3[0]; }
static inline uint64_t* scsWitResultWord(WorkItem* item) { return &item->reserved3[1]; }
static inline ScsCallback scsWitCallback(WorkItem* item) { return (ScsCallback)(uintptr_t)item->parameter1; }
static inline void* scsWitContext(WorkItem* item) { return (void*)(uintptr_t)item->parameter2; }

// The result word of removal items queued by the prepare-for-suspend handler.
#define SCS_SUSPEND_MARKER 0x53555350u

// --- Records ---------------------------------------------------------------------------------------
typedef struct ScsFwVersion {
    uint32_t id;
    uint32_t build;
    uint8_t major;
    uint8_t minor;
    uint8_t romFlag;
    uint8_t chipKind;
    uint8_t byte12;
    uint8_t mark;
    uint8_t flags;
    uint8_t revision;
    uint8_t serial[6];
    uint8_t byte22;
    uint8_t capabilities;
    uint8_t byte35;
    uint8_t pad;
    uint16_t value32;
} ScsFwVersion;

// Reply parser set by device initialisation: maps the reply's status and calls the callback.
typedef TcsResult (*ScsReplyParser)(ScsSensorDevice* device, uint8_t* request, uint8_t* reply, uint32_t length,
                                    ScsReply callback, void* context);
// Fingerprint-buffer completion: (context, result, buffer, length, entry or NULL).
typedef TcsResult (*ScsFpBufferCallback)(void* context, TcsResult result, uint8_t* buffer, uint32_t length,
                                         void* entry);

typedef struct ScsDescriptor {
    PalListEntry links;
    uint64_t context;
    ScsReply callback;
    ScsFpBufferCallback fpCallback;  // fingerprint-buffer entries only
    uint32_t cancelled;
    uint32_t transactionId;  // sensor byte order
    uint32_t commandCode;
    TransferDescriptor* transfer;
    uint32_t ownsBuffer;  // 1 when transfer->data was allocated with the entry
    struct ScsDescriptor* partner;  // the reply paired with a request awaiting delivery
    uint32_t answerWithoutReply;    // delivery calls back (no reply, answerStatus)
    TcsResult answerStatus;
} ScsDescriptor;

typedef struct ScsDescriptorQueue {
    const char* name;
    uint32_t submitFunction;
    uint32_t cancelFunction;
    PalEvent* event;
    const char* eventName;
    PalMutexHandle lock;
    PalListEntry pending;
    PalListEntry completed;
    PalListEntry third;
} ScsDescriptorQueue;

enum { SCS_QUEUE_REQUEST = 0, SCS_QUEUE_REPLY = 1, SCS_QUEUE_EVENT = 2, SCS_QUEUE_FP_BUFFER = 3 };

// Transfer status a request takes while held back from the transport.
#define SCS_TRANSFER_HELD 7u
#define SCS_TRANSFER_TOO_SHORT 4u
#define SCS_TRANSFER_PARTIAL 9u

// Result given to requests cancelled by device shut-down.
#define SCS_RESULT_DEVICE_SHUTDOWN 10001u

typedef struct ScsSensorDevice {
    PalListEntry links;
    PalSensorHandle* platformHandle;
    uint32_t transactionCounter;
    PalMutexHandle transactionLock;
    uint32_t referenceCount;
    void* initRecord;  // device initialisation's record; NULL when none runs
    ScsDescriptorQueue queues[4];
    uint8_t transportKind;
    uint16_t transportValue1;
    uint16_t transportValue2;
    uint8_t transportValue3;
    ScsSubsystem* subsystem;
    char* name;
    ScsReplyParser replyParser;
    ScsFwVersion* fwVersion;
    void* sslContext;
    PalMutexHandle sslLock;
    PalMutexHandle securityLock;
    PalMutexHandle deviceLock;
    void* baselineInfo;
    uint32_t baselineVariance;
    uint32_t calibrated;
    uint8_t captureModeByte;  // the calibration kind under way, 0 for none (read and set atomically)
    void* calContext;
    void* calResults;
    uint32_t calibrationAttempts;
    uint32_t recalibrationStatus;
    uint32_t woeFlags;
    uint32_t woeOnlyCalibration;
    uint32_t woeCalibrationFailed;
    uint32_t woeTiming[4];
    uint32_t flexId;
    uint32_t printCommand[5];
    uint8_t* configReply;
    uint32_t configReplyLength;
    uint8_t suspendMode;
    uint32_t lastCommandSentTime;
    uint32_t aesSecured;
    uint32_t rsaSecured;
    uint32_t eccSecured;
    uint32_t provisioned;
    uint32_t suppressCloseAlert;
    uint8_t lastFingerprintSignature[32];
    uint8_t imagePartitionByte;
    uint32_t imagePartitionByteCached;
    uint32_t preBootImageLoaded;  // 1 once initialisation wrote the pre-boot image file into flash
    uint32_t preBootImage[2];  // size and resource id of the firmware's pre-boot image; 0 until known
    uint32_t authFlags;        // SCS_AUTH_FLAG_*
    void* storageInfo;
    PalListEntry decTemplates;
    PalMutexHandle decTemplatesLock;
    uint32_t decTemplatesFull;
    uint32_t lastAttemptTime;
    uint32_t resetRecovery;
    uint32_t resetRecoverySaved;
    uint32_t esdRecovery;
    uint32_t esdRecoverySaved;
    int32_t retryCount;
    uint32_t woVarThreshold;
    uint32_t requestHold;
    uint32_t patchSignatureCaching;
    uint8_t* lastIdentificationCtx;
    uint32_t lastIdentificationCtxLength;
    PalMutexHandle lastIdentificationLock;
    uint8_t* cachedMatchData;
    uint32_t cachedMatchLength;
    uint8_t* cachedTemplate;
    uint32_t cachedTemplateLength;
    uint32_t woeType;
    const struct ConfigDescriptor* woeConfig;  // the built-in wake-on-event entry initialisation found
    PalMutexHandle sendLock;
    // Host-side fingerprint buffering.
    uint8_t* fpBuffer;
    uint8_t* fpLastLine;
    uint32_t fpCapacity;
    uint32_t fpFill;
    uint32_t fpLineLength;
    uint8_t fpIv[32];
    uint8_t fpKey[32];
    uint32_t fpEnabled;
    uint32_t fpHostBuffered;  // bytes of the current capture already held on the host
    uint32_t ep3Flushed;      // the capture's endpoint-3 flush is done (cleared as each capture reads)
    uint32_t productFamily;
    uint32_t initCancelMode;
    uint32_t announced;
    uint32_t initialisedOnce;
    uint32_t afterRecovery;
    void* patchConfigList;
    uint32_t getPrintMode;
    uint32_t captureState;
    uint32_t defaultCalUsed;
} ScsSensorDevice;

// Data of the plug-and-play items 66-69.
typedef struct ScsPnpRecord {
    ScsSubsystem* subsystem;
    char* name;
    uint32_t detectionType;  // 1: present at registration (or after resume), 0: live change
    uint32_t resetKind;
} ScsPnpRecord;

typedef struct ScsListener {
    PalListEntry links;
    void* context;
    void* callback;
} ScsListener;

typedef struct ScsClient {
    PalListEntry links;
    PalListEntry sensors;
    PalMutexHandle sensorsLock;
    PalListEntry callbacks;
    PalMutexHandle callbacksLock;
    ScsSubsystem* subsystem;
} ScsClient;

typedef struct ScsSensor {
    PalListEntry links;  // in the client's sensor list; self-linked while not in it
    char* sensorId;
    ScsSensorDevice* device;
    ScsClient* client;
    PalListEntry callbacks;
    PalMutexHandle callbacksLock;
    uint8_t transportKind;
    TcsResult (*calibrate)(ScsSensor* sensor, TcsResult result, WorkItem* item);
    void* ledConfig;
    uint32_t linked;  // 1 while in the client's list
} ScsSensor;

// Families of the product-family table.
enum { SCS_FAMILY_NONE = 0, SCS_FAMILY_1 = 1, SCS_FAMILY_2 = 2, SCS_FAMILY_3 = 3, SCS_FAMILY_4 = 4 };

typedef struct ScsConfigEntry {
    uint32_t kind;  // 0 patch, 1 print, 2 calibration, 3 navigation, 4 wake-on-event
    uint32_t owned;
    const void* const* list;  // NULL-terminated ConfigDescriptor list
} ScsConfigEntry;

typedef struct ScsConfigGroup {
    uint32_t family;
    uint32_t count;
    ScsConfigEntry entries[5];
} ScsConfigGroup;

typedef struct ScsSubsystem {
    WorkList workList;  // first in the record
    PalMutexHandle deviceListLock;
    PalListEntry initialisingDevices;
    PalListEntry badDevices;
    PalListEntry activeDevices;
    PalListEntry detachedDevices;
    PalListEntry clients;
    PalMutexHandle clientListLock;
    PalListEntry auxiliary;
    PalMutexHandle auxiliaryLock;
    PalMutexHandle referenceLock;
    uint32_t startFlags;
    uint32_t phase;
    PlatformContext* platform;
    PnpContext* pnp;
    void** ledState;  // word 0: the internal LED client; the rest the external LED configuration
    ScsConfigGroup* configGroups[4];
    PalListEntry sensorLostCallbacks;
    StartupOptionBlock startOptions;
    uint32_t serviceThreadId;
    PalThreadHandle serviceThread;
    uint32_t serviceThreadSet;
    uint32_t esdRecoveryOff;
    uint32_t resetRecoveryOff;
    uint32_t suspended;
    uint32_t stopping;  // set by shut-down: a client created after it is destroyed again at once
    uint8_t* keptIdentificationCtx;
    uint32_t keptIdentificationCtxLength;
    PalEvent* wakeEvent;
} ScsSubsystem;

#define SCS_IDENTIFICATION_CTX_SIZE 128u

// --- Internal operations -------------------------------------------------------------------------------
// Devices and sending.
TcsResult scsSensorDeviceAlloc(ScsSubsystem* subsystem, ScsSensorDevice** outDevice, const char* name,
                               uint32_t detectionType);
TcsResult scsSensorDeviceStartup(ScsSensorDevice* device, const char* name);
TcsResult scsSensorDeviceShutdown(ScsSensorDevice* device, uint32_t flag);
TcsResult scsSensorDeviceAcquire(ScsSensor* sensor, ScsSensorDevice** outDevice);
TcsResult scsSensorDeviceRelease(ScsSensorDevice* device);
TcsResult scsSensorDeviceFree(ScsSensorDevice* device);
TcsResult scsSensorDeviceFind(const char* name, ScsSubsystem* subsystem, ScsSensorDevice** outDevice);
TcsResult scsSensorDeviceGetSensorId(ScsSensorDevice* device, char* buffer, uint32_t size);
TcsResult scsSend(ScsSensorDevice* device, uint8_t* request, uint32_t length, uint32_t expectedReplyLength,
                  ScsReply callback, void* context, uint32_t* outTransactionId, uint32_t plain, uint32_t flag);
TcsResult scsSensorSend(ScsSensorDevice* device, uint32_t function, void* data, uint32_t length, void* outBuffer,
                        uint32_t outSize, uint32_t* outReturned, void* reserved);
TcsResult scsAllocateDescriptorListEntry(uint32_t bufferLength, PalEvent* event, ScsDescriptor** outEntry);
void scsFreeDescriptorListEntry(ScsDescriptor* entry);
TcsResult scsQueueDescriptor(ScsSensorDevice* device, ScsDescriptorQueue* queue, ScsDescriptor* entry);
TcsResult scsQueueReplyDescriptor(ScsSensorDevice* device, uint32_t transactionId, uint32_t commandCode,
                                  uint32_t expectedLength);
TcsResult scsQueueEventDescriptor(ScsSensorDevice* device);
// Posts a caller-owned buffer on the fingerprint-buffer queue.
TcsResult scsQueueFpBufferDescriptor(ScsSensorDevice* device, uint8_t* buffer, uint32_t length,
                                     ScsFpBufferCallback callback, void* context);
TcsResult scsCancelDescriptors(ScsSensorDevice* device, uint32_t cancelFunction);
TcsResult scsSensorCancelAllRequests(ScsSensorDevice* device, uint32_t status);
TcsResult scsSensorDeviceCancelRequest(ScsSensorDevice* device, uint32_t transactionId);
// Cancels an outstanding request and tells whether this call took back its reply callback: true
// only when the request was still queued and not cancelled before, so it will never be answered.
bool scsSensorDeviceWithdrawRequest(ScsSensorDevice* device, uint32_t transactionId);
TcsResult scsSensorDeviceFreeDecTemplatesList(ScsSensorDevice* device, const uint8_t* id16);
void scsLogCmdId_CmdSend(uint32_t commandCode);

// Service step.
TcsResult scsProcessRequestQueue(ScsSensorDevice* device);
TcsResult scsProcessReplyQueue(ScsSensorDevice* device);
TcsResult scsProcessEventsQueue(ScsSensorDevice* device);
TcsResult scsProcessFpBuffersQueue(ScsSensorDevice* device);
TcsResult scsSensorWaitForFpBufferQueueEmpty(ScsSensorDevice* device, uint32_t timeoutMs);
TcsResult scsProcessTaskUntilCompleted(ScsSubsystem* subsystem, uint32_t type, ScsCallback callback, void* context);
TcsResult scsIsDeviceListEmpty(PalListEntry* deviceList);

// Subsystem and plug and play.
void scsPnpNotificationsHandler(void* subsystem, const PnpNotification* notification);
void scsFreeDiscoveredDevices(ScsSubsystem* subsystem);
TcsResult scsQueuePnpItem(ScsSubsystem* subsystem, uint32_t type, const char* name, uint32_t detectionType,
                          uint32_t resetKind, int atHead);

// Handles.
TcsResult scsSensorSendOpenPriv(ScsClient* client, const char* sensorId, ScsCallback callback, void* context,
                                uint32_t itemId);
// Unlinks the handle from its client's list (under the client's lock) when it is linked.
void scsSensorUnlinkFromClient(ScsSensor* sensor);

// Work-item handlers.
TcsResult scsWITSensorSendCommand(WorkItem* item);
TcsResult scsWITClientCreate(WorkItem* item);
TcsResult scsWITClientDestroy(WorkItem* item);
TcsResult scsWITSensorOpen(WorkItem* item);
TcsResult scsWITSensorOpenEx(WorkItem* item);
TcsResult scsWITSensorClose(WorkItem* item);
TcsResult scsWITSensorCalibrate(WorkItem* item);
TcsResult scsWITSensorGetSecurityInfo(WorkItem* item);
TcsResult scsWITPnpShutdown(WorkItem* item);
TcsResult scsWITPnpSensorAttached(WorkItem* item);
TcsResult scsWITPnpSensorDetached(WorkItem* item);
TcsResult scsWITPrepareForSuspend(WorkItem* item);
TcsResult scsWITLedInitialize(WorkItem* item);
TcsResult scsWITLedProcess(WorkItem* item);
TcsResult scsWITLedTerminate(WorkItem* item);
TcsResult scsWITGetFingerStatus(WorkItem* item);
TcsResult scsWITWoeSetup(WorkItem* item);
TcsResult scsWITGetBaselineData(WorkItem* item);
TcsResult scsWITDetermineFlexId(WorkItem* item);
TcsResult scsSensorHarlokCalibrate(ScsSensor* sensor, TcsResult result, WorkItem* item);
TcsResult scsSensorWitCB(ScsReplyView* reply, TcsResult result, void* context);
TcsResult scsClientCreateLedCB(void* object, TcsResult status, void* context);
TcsResult scsLEDEventHandlerCB(ScsClient* client, void* context, EventRecord* event);
TcsResult scsSendPrepareForSuspend(ScsSubsystem* subsystem, ScsCallback callback, WorkItem* callerItem);
TcsResult scsChangeStateToSuspend(ScsSubsystem* subsystem);
// The finger state of a get-finger-status reply {state, flags} as the poll reports it: 2 and, on
// firmware 4 in modes 2 and 3, flag 0x10 mean a finger is present (3).
uint8_t scsSensorGetFingerStatusFromReply(const ScsSensorDevice* device, uint32_t mode, uint8_t state, uint8_t flags);
// Frees the record and all it still holds: queued items, locks, callback nodes, the kept context.
TcsResult scsSubsystemFree(ScsSubsystem* subsystem);
TcsResult scsPrepareForResume(ScsSubsystem* subsystem);

// The finger-state poll record of image acquisition (item 80's data).
typedef struct ScsFingerStatePoll {
    ScsSensor* sensor;
    uint32_t pollIntervalMs;
    uint32_t mode;
    uint32_t firstReportPending;
} ScsFingerStatePoll;

// The transport's threads complete descriptors without sensor control's locks: read and write the
// status word atomically, so the completed length and data are seen with it.
static inline uint32_t scsTransferStatus(const TransferDescriptor* transfer) {
    return __atomic_load_n(&transfer->status, __ATOMIC_ACQUIRE);
}
static inline void scsSetTransferStatus(TransferDescriptor* transfer, uint32_t status) {
    __atomic_store_n(&transfer->status, status, __ATOMIC_RELEASE);
}

// The core hands over the service thread's identity after starting the thread, which reads it
// meanwhile (and shut-down hands it to its own thread): published with release and read with
// acquire, so it is seen whole or not at all.
static inline bool scsServiceThreadKnown(const ScsSubsystem* subsystem) {
    return __atomic_load_n(&subsystem->serviceThreadSet, __ATOMIC_ACQUIRE) != 0;
}
static inline bool scsIsServiceThread(const ScsSubsystem* subsystem) {
    return scsServiceThreadKnown(subsystem) &&
           palIsCurrentThread(__atomic_load_n(&subsystem->serviceThread, __ATOMIC_ACQUIRE), NULL);
}

// Suspend and resume set the flag on their caller's thread while the service thread reads it.
static inline bool scsIsSuspended(const ScsSubsystem* subsystem) {
    return __atomic_load_n(&subsystem->suspended, __ATOMIC_ACQUIRE) != 0;
}
static inline void scsSetSuspended(ScsSubsystem* subsystem, uint32_t suspended) {
    __atomic_store_n(&subsystem->suspended, suspended, __ATOMIC_RELEASE);
}

// Lock helpers: acquire without limit.
static inline TcsResult scsLock(PalMutexHandle lock) { return palMutexAcquire(lock, PAL_INFINITE); }
static inline void scsUnlock(PalMutexHandle lock) { palMutexRelease(lock); }

#ifdef __cplusplus
}

// Runs body with the handle's device held; the failure to take it otherwise.
template <typename Body>
TcsResult scsWithDevice(ScsSensor* sensor, Body body) {
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    result = body(device);
    scsSensorDeviceRelease(device);
    return result;
}

// Visits every handle of every client: under the client-list lock, then each client's sensor-list
// lock (the order removal and resume take them in).
template <typename Visit>
void scsForEachSensorHandle(ScsSubsystem* subsystem, Visit visit) {
    scsLock(subsystem->clientListLock);
    for (PalListEntry* c = subsystem->clients.next; c != &subsystem->clients; c = c->next) {
        ScsClient* client = PAL_LIST_RECORD(c, ScsClient, links);
        scsLock(client->sensorsLock);
        for (PalListEntry* s = client->sensors.next; s != &client->sensors; s = s->next) {
            visit(PAL_LIST_RECORD(s, ScsSensor, links));
        }
        scsUnlock(client->sensorsLock);
    }
    scsUnlock(subsystem->clientListLock);
}
#endif
