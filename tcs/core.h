// Service core records and internal operations shared by the core's files and the subsystems that
// read clients, sensors and images (database, sensor tool).
#pragma once

#include "platform/list.h"
#include "platform/threads.h"
#include "platform/worklist.h"
#include "tcs/database/dss.h"
#include "tcs/imaging/ids.h"
#include "tcs/matching/mss.h"
#include "tcs/sensorctl/scs.h"
#include "tcs/tcs.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct CoreSubsystem {
    WorkList workList;  // its wake event is the stack's shared wake event
    ScsSubsystem* sensorControl;
    IdsSubsystem* imaging;
    MssSubsystem* matching;
    DssSubsystem* database;
    uint32_t stage;  // next stage of the service rotation, 0 to 3
    PalListEntry clients;
    PalMutexHandle clientLock;
    PalThreadHandle thread;  // 0 without a service thread
    uint32_t threadId;
    uint32_t stop;  // 1 asks the service thread to end; read and written atomically
    PalEvent* exitEvent;
    uint32_t flags;
};

// Core work item types.
enum {
    TCS_ITEM_CLIENT_CREATE = 0,
    TCS_ITEM_CLIENT_DESTROY = 1,
    TCS_ITEM_SENSOR_OPEN = 2,
    TCS_ITEM_SENSOR_CLOSE = 3,
    TCS_ITEM_SENSOR_REATTACH = 4,
    TCS_ITEM_VERIFY_EFI = 5,
    TCS_ITEM_IDENTIFY_CONTEXT_EXPIRY = 6,
    TCS_ITEM_SET_OWNERSHIP = 7,
    TCS_ITEM_SET_OWNERSHIP_BRELLOW = 8,
    TCS_ITEM_RESET_OWNERSHIP = 9,
    TCS_ITEM_PREPARE_SUSPEND = 10,
    TCS_ITEM_PREPARE_RESUME = 11,
    TCS_ITEM_CACHED_VERSION = 12,
};

// Item states kept in the first reserved word of a core item.
enum { TCS_ITEM_NEW = 0, TCS_ITEM_WAITING = 1, TCS_ITEM_DONE = 3 };

// Owner fields of a core work item.
static inline uint32_t* tcsItemState(WorkItem* item) { return &item->reserved1[0]; }
static inline uint32_t* tcsItemStep(WorkItem* item) { return (uint32_t*)&item->reserved3[1]; }
static inline TcsResult tcsItemResult(const WorkItem* item) { return (TcsResult)item->reserved2; }
static inline void tcsItemSetResult(WorkItem* item, TcsResult result) { item->reserved2 = result; }
static inline CompletionCallback tcsItemCallback(const WorkItem* item) {
    return (CompletionCallback)(uintptr_t)item->parameter1;
}
static inline void* tcsItemContext(const WorkItem* item) { return (void*)(uintptr_t)item->parameter2; }

// A step machine: (returned handle or value, status, item); every visit of the core stage calls it
// with 209, completions of the requests it sent with their status.
typedef TcsResult (*TcsStepMachine)(void* value, TcsResult status, void* item);

// Client parameters (slot k holds parameter k; slot 0 is never set).
#define TCS_CLIENT_PARAMETER_COUNT 24

typedef struct SymmetricKeySlot {
    uint32_t set;
    uint32_t algorithm;
    uint32_t keyLength;
    const void* key;  // the caller's buffer, not copied
    uint32_t keyLength2;
} SymmetricKeySlot;

typedef struct EventCallbackNode {
    PalListEntry links;
    void* context;
    EventCallback callback;
    TcsHandle handle;  // the client's handle (client callbacks only)
} EventCallbackNode;

typedef struct ClientRecord {
    PalListEntry links;  // position in the stack's client list
    PalListEntry sensors;
    PalMutexHandle sensorLock;
    PalListEntry matchers;
    PalMutexHandle matcherLock;
    PalListEntry databases;
    PalMutexHandle databaseLock;
    CoreSubsystem* stack;
    ScsClient* sensorControlClient;
    PalListEntry eventCallbacks;
    PalMutexHandle eventLock;
    uint32_t workItemTimeoutMs;
    uint32_t destroying;
    uint32_t parameters[TCS_CLIENT_PARAMETER_COUNT];
    uint64_t systemEventMask;
    uint32_t matcherAccuracy;
    uint32_t accuracySet;
    SymmetricKeySlot keyA;
    SymmetricKeySlot keyB;
    SymmetricKeySlot keyC;
} ClientRecord;

typedef struct SensorRecord {
    PalListEntry links;  // position in the owning client's sensor list
    ClientRecord* client;
    ScsSensor* sensorControlSensor;
    IdsClient* imagingClient;
    IdsSensor* imagingSensor;
    char* sensorId;
    PalListEntry eventCallbacks;
    PalMutexHandle eventLock;
    uint32_t workItemTimeoutMs;
    uint32_t closing;
    uint64_t eventMask;
} SensorRecord;

// The pixels follow a fixed header whose offsets the packed form carries between processes.
struct ImageRecord {
    char magic[4];  // "TIMG"
    uint32_t rows;
    uint32_t columns;
    uint32_t dataSize;
    uint32_t allocSize;
    uint32_t quality;
    uint32_t swipeSpeed;
    uint32_t reserved28;
    uint8_t* iv;
    uint32_t ivLength;
    uint32_t paddingSize;
    uint32_t horizontalPpi;  // set by reconstruction; 0 when unknown
    uint32_t verticalPpi;
    void* irMetrics;   // IrMetricsBlock, 224 bytes, or NULL
    void* aspMetrics;  // AspMetrics, 72 bytes
    uint32_t aspScore;
    uint8_t pixels[4];  // allocSize bytes, then 3 zero bytes
};

#define TCS_IMAGE_HEADER_SIZE 76u
// The pixels by address rather than through the array member, which only marks where they start.
static inline uint8_t* tcsImagePixels(ImageRecord* image) { return (uint8_t*)image + TCS_IMAGE_HEADER_SIZE; }
#define TCS_IMAGE_OVERHEAD 79u  // header plus the 3 trailing zero bytes
#define TCS_IR_METRICS_SIZE 224u
#define TCS_ASP_METRICS_SIZE 72u

// The record of a synchronous call. status holds TCS_SYNC_PENDING until one side claims the record
// by an atomic exchange: the completion (with its status) or the waiter that gave up (with 34).
typedef struct SyncWaitRecord {
    uint32_t status;
    PalEvent* event;
    void* out;
} SyncWaitRecord;
#define TCS_SYNC_PENDING 0xFFFFFFFFu

// --- Start-up -------------------------------------------------------------------------------------------
TcsResult tcsSubsystemFree(CoreSubsystem* stack);

// --- Service loop -------------------------------------------------------------------------------------
uint32_t tcsServiceThread(void* stack);
// How long the service thread sleeps before its next pass, given the wait the last pass asked for.
uint32_t _tcsServiceThreadWaitMs(const CoreSubsystem* stack, uint32_t lastNextWaitMs);
TcsResult _tcsSubsystemWaitForResponse(CoreSubsystem* stack, PalEvent* event, uint32_t timeoutMs);
TcsResult _tcsCompleteWorkItem(WorkList* list, uint32_t type);
TcsResult _tcsCancelOperation(uint32_t target, ClientRecord* client, uint32_t type);
TcsResult tcsPrepareForSuspendAsync(CoreSubsystem* stack, CompletionCallback callback, void* context);
TcsResult tcsPrepareForResumeAsync(CoreSubsystem* stack, CompletionCallback callback, void* context);
TcsResult tcsPrepareForSuspend(CoreSubsystem* stack);
TcsResult tcsPrepareForResume(CoreSubsystem* stack);
// Stores the status (and on 0 the handle into record->out) and sets the event; frees the record when
// its waiter gave up (then 7).
TcsResult _tcsGenericCB(void* handle, TcsResult status, void* record);
// Queues a core item: callback and context in parameters 1 and 2, state new, step 0.
TcsResult _tcsQueueCoreItem(CoreSubsystem* stack, uint32_t type, uint32_t timeoutMs, void* object,
                            CompletionCallback callback, void* context);

// The synchronous pattern: makes a SyncWaitRecord (out as given) with its event, calls
// start(callback, record, argument), waits up to timeoutMs and settles who frees the record.
// noMemory is the code for a record that cannot be allocated (7, or 2 in the client and sensor calls).
typedef TcsResult (*TcsSyncStart)(CompletionCallback callback, SyncWaitRecord* record, void* argument);
TcsResult _tcsSyncCall(CoreSubsystem* stack, uint32_t timeoutMs, TcsResult noMemory, void* out, TcsSyncStart start,
                       void* argument);

// --- Clients ------------------------------------------------------------------------------------------
// 16 null client, 214 being destroyed.
TcsResult tcsClientValidate(ClientRecord* client);
TcsResult _tcsClientDestroyAsync(ClientRecord* client, CompletionCallback callback, void* context);
TcsResult _tcsClientDestroy(ClientRecord* client);
TcsResult _tcsClientFree(ClientRecord* client);
TcsResult tcsClientEventsCBEx(ScsClient* client, void* node, EventRecord* event);

// What a capture with recovery watches while it runs: device arrival, readiness, removal and the
// swipe prompt.
typedef struct EsdWatch {
    uint32_t arrived;
    char sensorId[260];
    uint32_t ready;
    uint32_t removalTick;
    uint32_t removed;
    uint32_t swipePromptSeen;
} EsdWatch;

// Sensor callback of a capture with recovery: event 8 (swipe now) marks the prompt seen.
TcsResult tcsSensorEventsCBEx(void* handle, void* watch, EventRecord* event);
TcsResult tcsClientCreateCB(void* handle, TcsResult status, void* record);
TcsResult tcsClientDestroyCB(void* handle, TcsResult status, void* record);
TcsResult tcsClientCreateStep(void* value, TcsResult status, void* item);
TcsResult tcsClientDestroyStep(void* value, TcsResult status, void* item);

// --- Sensors ------------------------------------------------------------------------------------------
// 14 null sensor, 215 closing.
TcsResult tcsSensorValidate(SensorRecord* sensor);
TcsResult tcsSensorAlloc(SensorRecord** outSensor, const char* sensorId);
TcsResult _tcsSensorFree(SensorRecord* sensor);
TcsResult _tcsSensorCloseAsync(SensorRecord* sensor, CompletionCallback callback, void* context);
TcsResult tcsSensorOpenStep(void* value, TcsResult status, void* item);
TcsResult tcsSensorCloseStep(void* value, TcsResult status, void* item);
TcsResult tcsSensorReattachItem(WorkItem* item);
// Core items 10 (step machine) and 11 (inline).
TcsResult tcsPrepareForSuspendStep(void* value, TcsResult status, void* item);
TcsResult tcsPrepareForResumeItem(WorkItem* item);
// Leaves the round of requests of a suspend item (10) dropped before its machine finished it.
void tcsPrepareForSuspendDiscard(WorkItem* item);
TcsResult tcsSensorGetFingerprintAsyncPriv(SensorRecord* sensor, CompletionCallback callback, void* context,
                                           const char* path);
TcsResult _tcsSensorPrepareGetFingerprintContext(SensorRecord* sensor, const char* path, GetPrintContext** outContext,
                                                 ImageRecord** outImage);
TcsResult idsGetFingerprintCB(void* image, TcsResult status, void* request);

// --- Sensor services and ownership ----------------------------------------------------------------------
// Handlers of core items 5, 7, 9 and 12. Item 7 runs one stage per visit and marks itself done
// after its callback; the others finish in one visit.
TcsResult tcsWITVerifyAndUpdateEFI(WorkItem* item);
TcsResult tcsWITSetOwnership(WorkItem* item);
TcsResult tcsWITResetOwnership(WorkItem* item);
TcsResult tcsWITGetCachedVersion(WorkItem* item);
// Frees the request of an ownership item (7, 8, 9) dropped before its handler finished it.
void tcsOwnershipItemDiscard(WorkItem* item);
// Stores the context in sensor control and keeps one expiry item (6) ten minutes ahead.
TcsResult _tcsSensorSetLastIdentificationCtx(SensorRecord* sensor, const void* context, uint32_t size);

// --- Events -------------------------------------------------------------------------------------------
TcsResult _tcsSensorEventPerformCallbackEx(SensorRecord* sensor, uint32_t id, uint32_t status, uint64_t data,
                                           uint32_t dataSize);
TcsResult tcsIdsSensorEventsCB(IdsSensor* imagingSensor, void* sensor, IdsEvent* event);

// --- Images -------------------------------------------------------------------------------------------
TcsResult _tcsImageCreate(ImageRecord** outImage, const uint8_t* pixels, uint32_t size, uint32_t rows,
                          uint32_t columns, uint32_t quality);
TcsResult _tcsImageDestroy(ImageRecord* image);
TcsResult _tcsImageFlipVertical(ImageRecord* image);
TcsResult _tcsImageInvertGreyscale(ImageRecord* image);
TcsResult _tcsImage2bmp(ImageRecord* image, const char* path);
uint32_t _tcsImageGetQuality(ImageRecord* image);
uint32_t _tcsImageGetAspScore(ImageRecord* image);
void* _tcsImageGetASPMetrics(ImageRecord* image);
// Registers the image kind's clean-up (metrics blocks, then the record) with the handle map.
void _tcsImageRegisterCleanup(void);
// Route tcsHandleDestroy of a live client or sensor handle through its own destroy or close.
void _tcsClientRegisterOwnerDestroy(void);
void _tcsSensorRegisterOwnerDestroy(void);

#ifdef __cplusplus
}
#endif
