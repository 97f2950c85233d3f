// Template database service: the data blocks of the requests and the work-item fields the service uses,
// shared by the service and the database interface that queues the requests.
#pragma once

#include "tcs/core.h"
#include "tcs/database/dss.h"
#include "tcs/database/dss_store.h"

#include <stdint.h>

namespace dss {

// The time-out every request is queued with; the service never looks at it.
constexpr uint32_t kRequestTimeoutMs = 5000;

struct OpenRequest {  // kind 0
    ClientRecord* client;
    char* url;  // the service's copy
    DssDatabase* database;
};

struct FormatRequest {  // kind 2
    ClientRecord* client;
    DssDatabase* database;  // null: format the store of the URL
    char* url;              // the service's copy, or null
};

struct BackupRequest {  // kind 3
    DssDatabase* database;
    uint8_t* buffer;
    uint32_t* size;  // in/out
};

struct RestoreRequest {  // kind 4
    DssDatabase* database;
    const uint8_t* buffer;
    uint32_t size;
};

// Create and open kinds (5, 8, 9, 13, 16, 17, 21, 24, 25): the owner and the new child.
struct ChildRequest {
    void* owner;
    void* child;
};

// Set, get and delete data (10-12, 18-20, 26-28). A set's data stays the caller's until the completion.
struct DataRequest {
    void* object;
    uint32_t id;
    const uint8_t* data;
    uint32_t length;
};

struct AppStorageRequest {  // kind 29
    DssDatabase* database;
    char name[14];  // up to 13 characters are accepted; the record keeps 12
    uint32_t option;
    DssAppStorage* appStorage;
};

// Work-item fields as the database uses them. The state word is the core's, so a cancel marks
// database items the same way as core items.
inline uint32_t& itemState(WorkItem* item) { return item->reserved1[0]; }
// Set by a handler that has called its callback; turned into the done state under the list lock.
inline uint32_t& itemFinished(WorkItem* item) { return item->reserved1[1]; }
inline uint32_t& itemStep(WorkItem* item) { return item->reserved4; }
inline TcsResult itemResult(const WorkItem* item) { return TcsResult(item->reserved2); }
inline void setItemResult(WorkItem* item, TcsResult result) { item->reserved2 = result; }
// The buffer of a data read between its steps.
inline uint8_t* itemBuffer(const WorkItem* item) { return reinterpret_cast<uint8_t*>(uintptr_t(item->reserved3[0])); }
inline void setItemBuffer(WorkItem* item, uint8_t* buffer) { item->reserved3[0] = uint64_t(uintptr_t(buffer)); }

// Queues a request on the database list of the stack that owns the client.
TcsResult queueRequest(ClientRecord* client, uint32_t kind, void* data, uint64_t callback, void* context);
DssSubsystem* subsystemOf(ClientRecord* client);
// Routes tcsHandleDestroy of the database kinds through their closes.
void registerHandleOwners();

}  // namespace dss
