// Template database: the calls the service core makes into the database service.
#pragma once

#include "platform/threads.h"
#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CoreSubsystem CoreSubsystem;
typedef struct DssSubsystem DssSubsystem;
// An open database; its first field is its links in the owning client's database list.
typedef struct DssDatabase DssDatabase;

// (value: a new handle, the handle acted on, a count or 0; result; context).
typedef TcsResult (*DssCompletionCallback)(uint64_t value, TcsResult result, void* context);

// Starts the database with its own thread; 17 for a null out pointer.
TcsResult dssSubsystemStartup(DssSubsystem** outSubsystem, PalEvent* wakeEvent);
// Creates the database subsystem's own client through the core; 17 for a null argument.
TcsResult dssSubsystemPostStartup(CoreSubsystem* stack, DssSubsystem* subsystem);
// Stops the database thread and frees the subsystem; 4 for null.
TcsResult dssSubsystemShutdown(DssSubsystem* subsystem);
// Waits in 2 ms polls, running the database work list itself when it has no thread.
TcsResult dssSubsystemWaitForResponse(DssSubsystem* subsystem, PalEvent* event, uint32_t timeoutMs);
// Queues the close of an open database (request kind 1, 5000 ms); completion (0, status, context).
TcsResult _tcsDatabaseCloseAsync(DssDatabase* database, DssCompletionCallback callback, void* context);

#ifdef __cplusplus
}
#endif
