// Template database service: its subsystem record, request kinds and the calls the service core makes into it.
#pragma once

#include "platform/list.h"
#include "platform/threads.h"
#include "platform/worklist.h"
#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CoreSubsystem CoreSubsystem;
typedef struct ClientRecord ClientRecord;
typedef struct DssSubsystem DssSubsystem;
// An open database; its first field is its links in the owning client's database list.
typedef struct DssDatabase DssDatabase;
typedef struct DssAppStorage DssAppStorage;
typedef struct DssUser DssUser;
typedef struct DssTemplate DssTemplate;
typedef struct DssStorage DssStorage;

// The database requests; the work item's type.
typedef enum DssRequestKind {
    DSS_REQ_OPEN_DATABASE = 0,
    DSS_REQ_CLOSE_DATABASE = 1,
    DSS_REQ_FORMAT_DATABASE = 2,
    DSS_REQ_BACKUP_DATABASE = 3,
    DSS_REQ_RESTORE_DATABASE = 4,
    DSS_REQ_CREATE_USER = 5,
    DSS_REQ_CLOSE_USER = 6,
    DSS_REQ_DELETE_USER = 7,
    DSS_REQ_OPEN_FIRST_USER = 8,
    DSS_REQ_OPEN_NEXT_USER = 9,
    DSS_REQ_SET_USER_DATA = 10,
    DSS_REQ_GET_USER_DATA = 11,
    DSS_REQ_DELETE_USER_DATA = 12,
    DSS_REQ_CREATE_TEMPLATE = 13,
    DSS_REQ_CLOSE_TEMPLATE = 14,
    DSS_REQ_DELETE_TEMPLATE = 15,
    DSS_REQ_OPEN_FIRST_TEMPLATE = 16,
    DSS_REQ_OPEN_NEXT_TEMPLATE = 17,
    DSS_REQ_SET_TEMPLATE_DATA = 18,
    DSS_REQ_GET_TEMPLATE_DATA = 19,
    DSS_REQ_DELETE_TEMPLATE_DATA = 20,
    DSS_REQ_CREATE_STORAGE = 21,
    DSS_REQ_CLOSE_STORAGE = 22,
    DSS_REQ_DELETE_STORAGE = 23,
    DSS_REQ_OPEN_FIRST_STORAGE = 24,
    DSS_REQ_OPEN_NEXT_STORAGE = 25,
    DSS_REQ_SET_STORAGE_DATA = 26,
    DSS_REQ_GET_STORAGE_DATA = 27,
    DSS_REQ_DELETE_STORAGE_DATA = 28,
    DSS_REQ_CREATE_APP_STORAGE = 29,
    DSS_REQ_CLOSE_APP_STORAGE = 30,
    DSS_REQ_DELETE_APP_STORAGE = 31,
    DSS_REQ_COUNT_USERS = 32,
    DSS_REQ_KIND_COUNT = 33,
} DssRequestKind;

// One per stack. The work list comes first: the core's cancel marks items on it like its own.
struct DssSubsystem {
    WorkList workList;  // its wake event is the database's own
    PalThreadHandle thread;  // 0 when no thread runs
    uint32_t threadId;
    uint32_t stop;  // 1 asks the thread to end; read and written atomically
    PalEvent* doneEvent;
    ClientRecord* systemClient;  // 0 until the post start-up ran
    PalListEntry openStores;     // every open DssDatabase, for sharing one store
    PalMutexHandle openStoreLock;
    // Below: the service's own bookkeeping.
    PalMutexHandle serviceLock;  // held by whoever runs a slice, so two waiting callers never run the list at once
    WorkItem* running;           // the item whose step runs now; guarded by the list lock
};

// (value: a new handle, the handle acted on, a count or 0; result; context).
typedef TcsResult (*DssCompletionCallback)(uint64_t value, TcsResult result, void* context);
// Completion of the data reads: (buffer, length, result, context). On success with a callback the
// buffer passes to the receiver, who frees it with palRealFree.
typedef TcsResult (*DssDataCallback)(uint8_t* data, uint32_t length, TcsResult result, void* context);

// Starts the database with its own thread; 17 for a null out pointer, 7 without memory.
TcsResult dssSubsystemStartup(DssSubsystem** outSubsystem, PalEvent* wakeEvent);
// Makes the wake and done events and starts the thread; 17 null record, 27 no event.
TcsResult dssCreateServiceThread(DssSubsystem* subsystem);
uint32_t dssServiceThread(void* subsystem);
// Creates the database subsystem's own client through the core; 17 for a null argument.
TcsResult dssSubsystemPostStartup(CoreSubsystem* stack, DssSubsystem* subsystem);
// Stops the database thread, destroys the system client and frees the subsystem; 4 for null.
TcsResult dssSubsystemShutdown(DssSubsystem* subsystem);
// One slice of the list unless a service thread exists and the caller is another thread.
TcsResult dssSubsystemService(DssSubsystem* subsystem, uint32_t budgetMs);
// 0 when items remain that asked to run again, 217 when none does, 7 when the list lock fails.
TcsResult dssSubsystemWorkListProcess(DssSubsystem* subsystem, uint32_t budgetMs);
// Waits in 2 ms polls, running the database work list itself when it has no thread.
TcsResult dssSubsystemWaitForResponse(DssSubsystem* subsystem, PalEvent* event, uint32_t timeoutMs);
// Marks the first queued request of the kind done: it is dropped at its next visit without its callback.
TcsResult dssCancelRequest(DssSubsystem* subsystem, uint32_t kind);

TcsResult dssGetDbgFlags(uint32_t* outFlags);
TcsResult dssSetDbgFlags(uint32_t flags);
TcsResult dssGetDbgSystems(uint32_t* outSystems);
TcsResult dssSetDbgSystems(uint32_t systems);

// Close requests on records (the request's data is the record itself).
TcsResult _tcsDatabaseCloseAsync(DssDatabase* database, DssCompletionCallback callback, void* context);
TcsResult _tcsDatabaseCloseAppStorageAsync(DssAppStorage* appStorage, DssCompletionCallback callback, void* context);
TcsResult _tcsDatabaseCloseUserAsync(DssUser* user, DssCompletionCallback callback, void* context);
TcsResult _tcsDatabaseCloseTemplateAsync(DssTemplate* templ, DssCompletionCallback callback, void* context);
TcsResult _tcsDatabaseCloseStorageAsync(DssStorage* storage, DssCompletionCallback callback, void* context);

#ifdef __cplusplus
}
#endif
