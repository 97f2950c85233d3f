// Database interface of the clients: handle checks, the request data blocks, the synchronous waits.
#include "tcs/database/dss_interface.h"

#include "platform/clock.h"
#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "tcs/core.h"
#include "tcs/database/dss_requests.h"
#include "tcs/database/dss_store.h"
#include "tcs/handle_map.h"
#include "tcs/matching/templates.h"
#include "tcs/sensorctl/scs.h"
#include "tcs/sensorctl/ownership/secure_storage.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace dss {

DssSubsystem* subsystemOf(ClientRecord* client) {
    if (client == nullptr || client->stack == nullptr) return nullptr;
    return client->stack->database;
}

TcsResult queueRequest(ClientRecord* client, uint32_t kind, void* data, uint64_t callback, void* context) {
    DssSubsystem* subsystem = subsystemOf(client);
    if (subsystem == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    return palWorkItemEnqueue(&subsystem->workList, kind, kRequestTimeoutMs, data, callback,
                              uint64_t(uintptr_t(context)), 1, nullptr);
}

}  // namespace dss

using namespace dss;

namespace {

constexpr uint32_t kMaxAppNameLength = 13;
constexpr const char kFeaturesName[] = "FEATURES";
constexpr uint8_t kNoPayload[] = {'N', 'o', ' ', 'P', 'a', 'y', 'l', 'o', 'a', 'd'};

uint64_t asParameter(DssCompletionCallback callback) { return uint64_t(uintptr_t(callback)); }
uint64_t asParameter(DssDataCallback callback) { return uint64_t(uintptr_t(callback)); }

// --- Handles to records ----------------------------------------------------------------------------------

struct Target {
    void* record = nullptr;
    DssDatabase* database = nullptr;
    ClientRecord* client = nullptr;
};

ScsSensor* storeSensor(DssDatabase* database) {
    if (database->storeKind != DSS_STORE_SENSOR) return nullptr;
    if (database->sensor != nullptr) return database->sensor->sensorControlSensor;
    if (database->fileSystem != nullptr && database->fileSystem->kind == FSS_BACKEND_SENSOR) {
        return static_cast<ScsSensor*>(database->fileSystem->backend);
    }
    return nullptr;
}

DssDatabase* databaseOf(HandleType type, void* record) {
    switch (type) {
        case TCS_HANDLE_TYPE_DATABASE: return static_cast<DssDatabase*>(record);
        case TCS_HANDLE_TYPE_APP_STORAGE: return static_cast<DssAppStorage*>(record)->database;
        case TCS_HANDLE_TYPE_USER: {
            DssAppStorage* app = static_cast<DssUser*>(record)->appStorage;
            return app != nullptr ? app->database : nullptr;
        }
        case TCS_HANDLE_TYPE_DB_TEMPLATE: {
            DssUser* user = static_cast<DssTemplate*>(record)->user;
            DssAppStorage* app = user != nullptr ? user->appStorage : nullptr;
            return app != nullptr ? app->database : nullptr;
        }
        default: {
            DssAppStorage* app = static_cast<DssStorage*>(record)->appStorage;
            return app != nullptr ? app->database : nullptr;
        }
    }
}

TcsResult badHandle(HandleType type) {
    switch (type) {
        case TCS_HANDLE_TYPE_DATABASE: return TCS_RESULT_INVALID_DATABASE_HANDLE;
        case TCS_HANDLE_TYPE_USER: return TCS_RESULT_INVALID_USER_HANDLE;
        case TCS_HANDLE_TYPE_DB_TEMPLATE: return TCS_RESULT_INVALID_TEMPLATE_HANDLE;
        default: return TCS_RESULT_INVALID_HANDLE;
    }
}

// The record and what it hangs from; the kind's bad-handle code when any link is missing.
TcsResult fetch(TcsHandle handle, HandleType type, Target* out) {
    void* record = nullptr;
    _tcsSafeHandleFetch(handle, type, &record);
    if (record == nullptr) return badHandle(type);
    DssDatabase* database = databaseOf(type, record);
    if (database == nullptr || database->client == nullptr) return badHandle(type);
    *out = Target{record, database, database->client};
    return TCS_RESULT_OK;
}

TcsResult checkStore(const Target& target) {
    if (fssIsValid(target.database->fileSystem) != TCS_RESULT_OK) return TCS_RESULT_INVALID_DATABASE_SPEC;
    return TCS_RESULT_OK;
}

TcsResult checkSensor(DssDatabase* database) {
    ScsSensor* sensor = storeSensor(database);
    if (sensor != nullptr && scsSensorValidate(sensor) == TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN) {
        return TCS_RESULT_SENSOR_NOT_FOUND;
    }
    return TCS_RESULT_OK;
}

// The family's checks: handle, file system, sensor.
TcsResult resolve(TcsHandle handle, HandleType type, Target* out, bool sensorCheck = true) {
    TcsResult result = fetch(handle, type, out);
    if (result == TCS_RESULT_OK) result = checkStore(*out);
    if (result == TCS_RESULT_OK && sensorCheck) result = checkSensor(out->database);
    return result;
}

TcsResult resolveClient(TcsHandle handle, ClientRecord** out) {
    void* record = nullptr;
    tcsSafeClientHandleFetch(handle, &record);
    auto* client = static_cast<ClientRecord*>(record);
    TcsResult result = tcsClientValidate(client);
    if (result == TCS_RESULT_OK) *out = client;
    return result;
}

template <class T>
T* allocBlock() {
    auto* block = static_cast<T*>(palRealMalloc(sizeof(T)));
    if (block != nullptr) std::memset(block, 0, sizeof(T));
    return block;
}

char* copyString(const char* text) {
    size_t length = std::strlen(text);
    auto* copy = static_cast<char*>(palRealMalloc(length + 1));
    if (copy != nullptr) std::memcpy(copy, text, length + 1);
    return copy;
}

// Queues a request whose block the service frees; on a failed queue the block is freed here.
template <class T>
TcsResult queueBlock(ClientRecord* client, uint32_t kind, T* block, uint64_t callback, void* context) {
    TcsResult result = queueRequest(client, kind, block, callback, context);
    if (result != TCS_RESULT_OK) palRealFree(block);
    return result;
}

// --- Synchronous waits -----------------------------------------------------------------------------------

constexpr uint32_t kPending = 0xFFFFFFFFu;
constexpr uint32_t kAbandoned = 0xFFFFFFFEu;

// Lives on the heap: a late completion may still reach it after its waiter has gone.
struct SyncRecord {
    uint32_t status;
    PalEvent* event;
    uint64_t value;
    uint8_t* data;
    uint32_t length;
    uint32_t size;  // backup's in/out size
};

void freeSync(SyncRecord* record) {
    palEventFree(record->event);
    palRealFree(record->data);
    palRealFree(record);
}

// Claims the record for the completion; false when the waiter has given up (the record is then freed).
bool claim(SyncRecord* record, TcsResult result) {
    uint32_t previous = __atomic_exchange_n(&record->status, result == kPending ? TCS_RESULT_ERROR : result,
                                            __ATOMIC_ACQ_REL);
    if (previous == kAbandoned) {
        freeSync(record);
        return false;
    }
    return true;
}

TcsResult syncValueCB(uint64_t value, TcsResult result, void* context) {
    auto* record = static_cast<SyncRecord*>(context);
    // Store before claiming: the waiter reads the value once the status is no longer pending.
    if (result == TCS_RESULT_OK) record->value = value;
    PalEvent* event = record->event;
    if (!claim(record, result)) return TCS_RESULT_OK;
    palEventSet(event);
    return TCS_RESULT_OK;
}

TcsResult syncDataCB(uint8_t* data, uint32_t length, TcsResult result, void* context) {
    auto* record = static_cast<SyncRecord*>(context);
    if (result == TCS_RESULT_OK) {
        record->data = data;
        record->length = length;
    } else {
        palRealFree(data);
    }
    PalEvent* event = record->event;
    if (!claim(record, result)) return TCS_RESULT_OK;
    palEventSet(event);
    return TCS_RESULT_OK;
}

// Drops the caller's own request when it has not finished yet. The request is found by its
// context, the caller's own record: marking the first request of the kind, whoever's it is, could
// drop another caller's request and leave this one to run against memory its caller frees now.
// A request in the middle of a step is let finish that step first.
bool cancelOwn(DssSubsystem* subsystem, SyncRecord* record) {
    if (subsystem == nullptr) return false;
    for (;;) {
        if (palCriticalSectionAcquire(subsystem->workList.listLock) != TCS_RESULT_OK) return false;
        WorkItem* own = nullptr;
        for (PalListEntry* e = subsystem->workList.links.next; e != &subsystem->workList.links; e = e->next) {
            WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(e);
            if (item->parameter2 == uint64_t(uintptr_t(record)) && itemFinished(item) == 0) {
                own = item;
                break;
            }
        }
        bool busy = own != nullptr && own == subsystem->running;
        if (own != nullptr && !busy) itemState(own) = TCS_ITEM_DONE;
        palCriticalSectionRelease(subsystem->workList.listLock);
        if (!busy) return own != nullptr;
        palSleep(1);
    }
}

struct SyncOut {
    uint64_t value = 0;
    uint8_t* data = nullptr;
    uint32_t length = 0;
    uint32_t size = 0;
};

// Runs start(record) (the asynchronous twin with the wrapper's callback) and waits for it.
template <class Start>
TcsResult syncCall(ClientRecord* client, uint32_t timeoutMs, SyncOut* out, uint32_t size, Start start) {
    auto* record = allocBlock<SyncRecord>();
    if (record == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    record->status = kPending;
    record->size = size;
    record->event = palEventAlloc(0, 0, nullptr);
    if (record->event == nullptr) {
        palRealFree(record);
        return TCS_RESULT_EVENT_CREATION_FAILED;
    }
    TcsResult result = start(record);
    if (result != TCS_RESULT_OK) {
        freeSync(record);
        return result;
    }
    DssSubsystem* subsystem = subsystemOf(client);
    result = dssSubsystemWaitForResponse(subsystem, record->event, timeoutMs);
    if (result != TCS_RESULT_OK) {
        // Every wrapper drops its request on a failed wait: a set's data (the caller's or our
        // copy) must not be read after the caller has its answer.
        if (cancelOwn(subsystem, record)) {
            freeSync(record);
            return result;
        }
        uint32_t previous = __atomic_exchange_n(&record->status, kAbandoned, __ATOMIC_ACQ_REL);
        if (previous == kPending) return result;  // the late completion frees the record
        palEventWaitFor(record->event, PAL_INFINITE);
    }
    result = __atomic_load_n(&record->status, __ATOMIC_ACQUIRE);
    if (result == kAbandoned) result = TCS_RESULT_TIMEOUT;
    if (out != nullptr && result == TCS_RESULT_OK) {
        out->value = record->value;
        out->data = record->data;
        out->length = record->length;
        record->data = nullptr;
    }
    if (out != nullptr) out->size = record->size;
    freeSync(record);
    return result;
}

// --- Queueing helpers of the families ----------------------------------------------------------------------

TcsResult queueChild(const Target& target, uint32_t kind, DssCompletionCallback callback, void* context) {
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* block = allocBlock<ChildRequest>();
    if (block == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    block->owner = target.record;
    return queueBlock(target.client, kind, block, asParameter(callback), context);
}

TcsResult childAsync(TcsHandle handle, HandleType type, uint32_t kind, DssCompletionCallback callback, void* context) {
    Target target;
    TcsResult result = resolve(handle, type, &target);
    if (result != TCS_RESULT_OK) return result;
    return queueChild(target, kind, callback, context);
}

// A request whose data is the record itself (delete, count).
TcsResult recordAsync(TcsHandle handle, HandleType type, uint32_t kind, DssCompletionCallback callback, void* context) {
    Target target;
    TcsResult result = resolve(handle, type, &target);
    if (result != TCS_RESULT_OK) return result;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    return queueRequest(target.client, kind, target.record, asParameter(callback), context);
}

TcsResult queueClose(ClientRecord* client, uint32_t kind, void* record, DssCompletionCallback callback, void* context) {
    if (record == nullptr) return TCS_RESULT_BAD_PARAM;
    return queueRequest(client, kind, record, asParameter(callback), context);
}

// Closing by handle: handle and file system, not the sensor.
TcsResult closeByHandle(TcsHandle handle, HandleType type, uint32_t kind, DssCompletionCallback callback,
                        void* context) {
    Target target;
    TcsResult result = resolve(handle, type, &target, false);
    if (result != TCS_RESULT_OK) return result;
    return queueClose(target.client, kind, target.record, callback, context);
}

TcsResult setDataAsync(const Target& target, uint32_t kind, uint32_t id, const uint8_t* data, uint32_t length,
                       DssCompletionCallback callback, void* context) {
    if (id == 0 || callback == nullptr) return TCS_RESULT_BAD_PARAM;
    if (data == nullptr) return TCS_RESULT_NULL_POINTER;
    if (length == 0) return TCS_RESULT_BAD_PARAM;
    auto* block = allocBlock<DataRequest>();
    if (block == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    *block = DataRequest{target.record, id, data, length};
    return queueBlock(target.client, kind, block, asParameter(callback), context);
}

TcsResult getDataAsync(const Target& target, uint32_t kind, uint32_t id, DssDataCallback callback, void* context) {
    if (id == 0 || callback == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* block = allocBlock<DataRequest>();
    if (block == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    *block = DataRequest{target.record, id, nullptr, 0};
    return queueBlock(target.client, kind, block, asParameter(callback), context);
}

TcsResult deleteDataAsync(const Target& target, uint32_t kind, uint32_t id, DssCompletionCallback callback,
                          void* context) {
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* block = allocBlock<DataRequest>();
    if (block == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    *block = DataRequest{target.record, id, nullptr, 0};
    return queueBlock(target.client, kind, block, asParameter(callback), context);
}

// Synchronous forms of the families.
TcsResult childSync(TcsHandle handle, HandleType type, uint32_t kind, TcsHandle* out) {
    Target target;
    TcsResult result = resolve(handle, type, &target);
    if (result != TCS_RESULT_OK) return result;
    if (out == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *out = 0;
    SyncOut sync;
    result = syncCall(target.client, DSS_SYNC_WAIT_MS, &sync, 0,
                      [&](SyncRecord* r) { return queueChild(target, kind, syncValueCB, r); });
    if (result == TCS_RESULT_OK) *out = sync.value;
    return result;
}

TcsResult recordSync(TcsHandle handle, HandleType type, uint32_t kind) {
    Target target;
    TcsResult result = resolve(handle, type, &target);
    if (result != TCS_RESULT_OK) return result;
    return syncCall(target.client, DSS_SYNC_WAIT_MS, nullptr, 0, [&](SyncRecord* r) {
        return queueRequest(target.client, kind, target.record, asParameter(syncValueCB), r);
    });
}

TcsResult closeSync(TcsHandle handle, HandleType type, uint32_t kind) {
    Target target;
    TcsResult result = resolve(handle, type, &target, false);
    if (result != TCS_RESULT_OK) return result;
    return syncCall(target.client, DSS_SYNC_WAIT_MS, nullptr, 0, [&](SyncRecord* r) {
        return queueClose(target.client, kind, target.record, syncValueCB, r);
    });
}

TcsResult setDataSync(TcsHandle handle, HandleType type, uint32_t kind, uint32_t id, const uint8_t* data,
                      uint32_t length) {
    Target target;
    TcsResult result = resolve(handle, type, &target);
    if (result != TCS_RESULT_OK) return result;
    return syncCall(target.client, DSS_SYNC_WAIT_MS, nullptr, 0, [&](SyncRecord* r) {
        return setDataAsync(target, kind, id, data, length, syncValueCB, r);
    });
}

TcsResult getDataSync(const Target& target, uint32_t kind, uint32_t id, uint8_t** outData, uint32_t* outLength) {
    if (id == 0) return TCS_RESULT_BAD_PARAM;
    if (outData == nullptr || outLength == nullptr) return TCS_RESULT_NULL_POINTER;
    *outData = nullptr;
    *outLength = 0;
    SyncOut sync;
    TcsResult result = syncCall(target.client, DSS_SYNC_WAIT_MS, &sync, 0,
                                [&](SyncRecord* r) { return getDataAsync(target, kind, id, syncDataCB, r); });
    if (result == TCS_RESULT_OK) {
        *outData = sync.data;
        *outLength = sync.length;
    }
    return result;
}

TcsResult deleteDataSync(TcsHandle handle, HandleType type, uint32_t kind, uint32_t id) {
    Target target;
    TcsResult result = resolve(handle, type, &target);
    if (result != TCS_RESULT_OK) return result;
    return syncCall(target.client, DSS_SYNC_WAIT_MS, nullptr, 0,
                    [&](SyncRecord* r) { return deleteDataAsync(target, kind, id, syncValueCB, r); });
}

// --- Databases ------------------------------------------------------------------------------------------

TcsResult openAsync(TcsHandle clientHandle, const char* url, DssCompletionCallback callback, void* context) {
    ClientRecord* client = nullptr;
    TcsResult result = resolveClient(clientHandle, &client);
    if (result != TCS_RESULT_OK) return result;
    if (url == nullptr || callback == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* block = allocBlock<OpenRequest>();
    if (block == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    block->client = client;
    block->url = copyString(url);
    if (block->url == nullptr) {
        palRealFree(block);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    result = queueRequest(client, DSS_REQ_OPEN_DATABASE, block, asParameter(callback), context);
    if (result != TCS_RESULT_OK) {
        palRealFree(block->url);
        palRealFree(block);
    }
    return result;
}

// 16-bit URLs become 8-bit ones of at most 260 characters.
bool narrow(const uint16_t* wide, char (&out)[DSS_MAX_URL + 1]) {
    if (wide == nullptr) return false;
    palUnicodeToAsciiString(wide, out, sizeof(out));
    out[DSS_MAX_URL] = '\0';
    return true;
}

// A bare sensor name stands for "sensor://" followed by it.
bool formatUrl(const char* name, char (&out)[DSS_MAX_URL + 1]) {
    if (palStringsMatch(name, "sensor:") || palStringsMatch(name, "file:")) {
        std::snprintf(out, sizeof(out), "%s", name);
    } else {
        std::snprintf(out, sizeof(out), "sensor://%s", name);
    }
    return true;
}

TcsResult formatAsync(TcsHandle clientHandle, const char* url, DssCompletionCallback callback, void* context) {
    ClientRecord* client = nullptr;
    TcsResult result = resolveClient(clientHandle, &client);
    if (result != TCS_RESULT_OK) return result;
    if (url == nullptr || callback == nullptr) return TCS_RESULT_BAD_PARAM;
    char full[DSS_MAX_URL + 1];
    formatUrl(url, full);
    auto* block = allocBlock<FormatRequest>();
    if (block == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    block->client = client;
    block->url = copyString(full);
    if (block->url == nullptr) {
        palRealFree(block);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    result = queueRequest(client, DSS_REQ_FORMAT_DATABASE, block, asParameter(callback), context);
    if (result != TCS_RESULT_OK) {
        palRealFree(block->url);
        palRealFree(block);
    }
    return result;
}

TcsResult eraseChecks(TcsHandle clientHandle, TcsHandle database, ClientRecord** outClient, Target* target) {
    TcsResult result = resolveClient(clientHandle, outClient);
    if (result == TCS_RESULT_OK) result = fetch(database, TCS_HANDLE_TYPE_DATABASE, target);
    if (result == TCS_RESULT_OK) result = checkSensor(target->database);
    return result;
}

TcsResult queueErase(ClientRecord* client, DssDatabase* database, DssCompletionCallback callback, void* context) {
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* block = allocBlock<FormatRequest>();
    if (block == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    block->client = client;
    block->database = database;
    return queueBlock(client, DSS_REQ_FORMAT_DATABASE, block, asParameter(callback), context);
}

bool featuresClash(ClientRecord* client, const char* name) {
    size_t length = std::strlen(name);
    if (length > std::strlen(kFeaturesName) || !palStringsIMatch(kFeaturesName, name)) return false;
    bool clash = false;
    if (palCriticalSectionAcquire(client->databaseLock) != TCS_RESULT_OK) return false;
    for (PalListEntry* d = client->databases.next; d != &client->databases && !clash; d = d->next) {
        auto* database = reinterpret_cast<DssDatabase*>(d);
        if (palCriticalSectionAcquire(database->appStorageLock) != TCS_RESULT_OK) continue;
        for (PalListEntry* a = database->appStorages.next; a != &database->appStorages; a = a->next) {
            if (palStringsIMatch(reinterpret_cast<DssAppStorage*>(a)->name, name)) {
                clash = true;
                break;
            }
        }
        palCriticalSectionRelease(database->appStorageLock);
    }
    palCriticalSectionRelease(client->databaseLock);
    return clash;
}

TcsResult createAppStorageChecked(const Target& target, const char* name, uint32_t option,
                                  DssCompletionCallback callback, void* context) {
    if (name == nullptr || callback == nullptr || std::strlen(name) > kMaxAppNameLength) return TCS_RESULT_BAD_PARAM;
    if (featuresClash(target.client, name)) return TcsResult(89);
    auto* block = allocBlock<AppStorageRequest>();
    if (block == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    block->database = static_cast<DssDatabase*>(target.record);
    std::memcpy(block->name, name, std::strlen(name) + 1);
    block->option = option;
    return queueBlock(target.client, DSS_REQ_CREATE_APP_STORAGE, block, asParameter(callback), context);
}

TcsResult sensorStoreChecks(const Target& target) {
    if (target.database->storeKind != DSS_STORE_SENSOR) return TCS_RESULT_NOT_IMPLEMENTED;
    return TCS_RESULT_OK;
}

TcsResult queueBackup(const Target& target, uint8_t* buffer, uint32_t* size, DssCompletionCallback callback,
                      void* context) {
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* block = allocBlock<BackupRequest>();
    if (block == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    *block = BackupRequest{target.database, buffer, size};
    return queueBlock(target.client, DSS_REQ_BACKUP_DATABASE, block, asParameter(callback), context);
}

TcsResult queueRestore(const Target& target, const uint8_t* buffer, uint32_t size, DssCompletionCallback callback,
                       void* context) {
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* block = allocBlock<RestoreRequest>();
    if (block == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    *block = RestoreRequest{target.database, buffer, size};
    return queueBlock(target.client, DSS_REQ_RESTORE_DATABASE, block, asParameter(callback), context);
}

TcsResult sensorHandleOf(TcsHandle handle, HandleType type, TcsHandle* outSensor, bool storeCheck) {
    Target target;
    TcsResult result = fetch(handle, type, &target);
    if (result == TCS_RESULT_OK && storeCheck) result = checkStore(target);
    if (result != TCS_RESULT_OK) return result;
    if (outSensor == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outSensor = 0;
    if (target.database->sensor != nullptr) {
        tcsSafeHandleReverseFetch(target.database->sensor, TCS_HANDLE_TYPE_SENSOR, outSensor);
    }
    return TCS_RESULT_OK;
}

// The enroll template and sensor of the extended calls, and the sensor's PEK capability for the app.
TcsResult exChecks(TcsHandle templateHandle, TcsHandle sensorHandle, Target* target, SensorRecord** outSensor) {
    TcsResult result = resolve(templateHandle, TCS_HANDLE_TYPE_DB_TEMPLATE, target);
    if (result != TCS_RESULT_OK) return result;
    void* record = nullptr;
    tcsSafeSensorHandleFetch(sensorHandle, &record);
    auto* sensor = static_cast<SensorRecord*>(record);
    result = tcsSensorValidate(sensor);
    if (result != TCS_RESULT_OK) return result;
    DssAppStorage* app = static_cast<DssTemplate*>(target->record)->user->appStorage;
    result = scsSensorDeterminePEKCapability(sensor->sensorControlSensor, app->name);
    if (result != TCS_RESULT_OK) return result;
    *outSensor = sensor;
    return TCS_RESULT_OK;
}

void wipeAndFree(uint8_t* buffer, uint32_t length) {
    if (buffer == nullptr) return;
    volatile uint8_t* p = buffer;
    for (uint32_t i = 0; i < length; ++i) p[i] = 0;
    palRealFree(buffer);
}

// tcsHandleDestroy of a live database object goes through its close: freeing the record alone
// would leave it linked in its owner's list, for the next close cascade to walk into.
uint32_t closeOnHandleDestroy(uint64_t handle, void*, TcsResult* outResult) {
    HandleType type = TCS_HANDLE_TYPE_COUNT;
    _tcsSafeHandleTypeGet(handle, &type);
    switch (type) {
        case TCS_HANDLE_TYPE_DATABASE: *outResult = tcsDatabaseClose(handle); return 1;
        case TCS_HANDLE_TYPE_APP_STORAGE: *outResult = tcsDatabaseCloseAppStorage(handle); return 1;
        case TCS_HANDLE_TYPE_USER: *outResult = tcsDatabaseCloseUser(handle); return 1;
        case TCS_HANDLE_TYPE_DB_TEMPLATE: *outResult = tcsDatabaseCloseTemplate(handle); return 1;
        case TCS_HANDLE_TYPE_STORAGE: *outResult = tcsDatabaseCloseStorage(handle); return 1;
        default: return 0;
    }
}

}  // namespace

namespace dss {

void registerHandleOwners() {
    for (HandleType type : {TCS_HANDLE_TYPE_DATABASE, TCS_HANDLE_TYPE_APP_STORAGE, TCS_HANDLE_TYPE_USER,
                            TCS_HANDLE_TYPE_DB_TEMPLATE, TCS_HANDLE_TYPE_STORAGE}) {
        _tcsSafeHandleSetOwnerDestroy(type, closeOnHandleDestroy);
    }
}

}  // namespace dss

extern "C" {

// --- Databases ------------------------------------------------------------------------------------------

TcsResult tcsDatabaseOpenAsyncA(TcsHandle client, const char* url, DssCompletionCallback callback, void* context) {
    return openAsync(client, url, callback, context);
}

TcsResult tcsDatabaseOpenAsyncW(TcsHandle client, const uint16_t* url, DssCompletionCallback callback, void* context) {
    char narrowUrl[DSS_MAX_URL + 1];
    if (!narrow(url, narrowUrl)) return TCS_RESULT_BAD_PARAM;
    return openAsync(client, narrowUrl, callback, context);
}

TcsResult tcsDatabaseOpenPriv(TcsHandle clientHandle, const char* url, TcsHandle* outDatabase) {
    ClientRecord* client = nullptr;
    TcsResult result = resolveClient(clientHandle, &client);
    if (result != TCS_RESULT_OK) return result;
    if (url == nullptr) return TCS_RESULT_BAD_PARAM;
    if (outDatabase == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outDatabase = 0;
    SyncOut sync;
    result = syncCall(client, DSS_SYNC_WAIT_MS, &sync, 0,
                      [&](SyncRecord* r) { return openAsync(clientHandle, url, syncValueCB, r); });
    if (result == TCS_RESULT_OK) *outDatabase = sync.value;
    return result;
}

TcsResult tcsDatabaseOpenA(TcsHandle client, const char* url, TcsHandle* outDatabase) {
    return tcsDatabaseOpenPriv(client, url, outDatabase);
}

TcsResult tcsDatabaseOpenW(TcsHandle client, const uint16_t* url, TcsHandle* outDatabase) {
    char narrowUrl[DSS_MAX_URL + 1];
    if (!narrow(url, narrowUrl)) return TCS_RESULT_BAD_PARAM;
    return tcsDatabaseOpenPriv(client, narrowUrl, outDatabase);
}

TcsResult _tcsDatabaseCloseAsync(DssDatabase* database, DssCompletionCallback callback, void* context) {
    if (database == nullptr) return TCS_RESULT_INVALID_DATABASE_HANDLE;
    return queueClose(database->client, DSS_REQ_CLOSE_DATABASE, database, callback, context);
}

TcsResult tcsDatabaseCloseAsync(TcsHandle database, DssCompletionCallback callback, void* context) {
    Target target;
    TcsResult result = fetch(database, TCS_HANDLE_TYPE_DATABASE, &target);
    if (result != TCS_RESULT_OK) return result;
    return _tcsDatabaseCloseAsync(target.database, callback, context);
}

TcsResult tcsDatabaseClose(TcsHandle database) {
    Target target;
    TcsResult result = fetch(database, TCS_HANDLE_TYPE_DATABASE, &target);
    if (result != TCS_RESULT_OK) return result;
    return syncCall(target.client, DSS_SYNC_WAIT_MS, nullptr, 0,
                    [&](SyncRecord* r) { return _tcsDatabaseCloseAsync(target.database, syncValueCB, r); });
}

TcsResult tcsDatabaseFormatDatabaseAsyncA(TcsHandle client, const char* url, DssCompletionCallback callback,
                                          void* context) {
    return formatAsync(client, url, callback, context);
}

TcsResult tcsDatabaseFormatDatabaseAsyncW(TcsHandle client, const uint16_t* url, DssCompletionCallback callback,
                                          void* context) {
    char narrowUrl[DSS_MAX_URL + 1];
    if (!narrow(url, narrowUrl)) return TCS_RESULT_BAD_PARAM;
    return formatAsync(client, narrowUrl, callback, context);
}

TcsResult tcsDatabaseFormatDatabasePriv(TcsHandle clientHandle, const char* url) {
    ClientRecord* client = nullptr;
    TcsResult result = resolveClient(clientHandle, &client);
    if (result != TCS_RESULT_OK) return result;
    if (url == nullptr) return TCS_RESULT_BAD_PARAM;
    return syncCall(client, DSS_FORMAT_WAIT_MS, nullptr, 0,
                    [&](SyncRecord* r) { return formatAsync(clientHandle, url, syncValueCB, r); });
}

TcsResult tcsDatabaseFormatDatabaseA(TcsHandle client, const char* url) {
    return tcsDatabaseFormatDatabasePriv(client, url);
}

TcsResult tcsDatabaseFormatDatabaseW(TcsHandle client, const uint16_t* url) {
    char narrowUrl[DSS_MAX_URL + 1];
    if (!narrow(url, narrowUrl)) return TCS_RESULT_BAD_PARAM;
    return tcsDatabaseFormatDatabasePriv(client, narrowUrl);
}

TcsResult tcsDatabaseEraseDatabaseAsync(TcsHandle clientHandle, TcsHandle database, DssCompletionCallback callback,
                                        void* context) {
    ClientRecord* client = nullptr;
    Target target;
    TcsResult result = eraseChecks(clientHandle, database, &client, &target);
    if (result != TCS_RESULT_OK) return result;
    return queueErase(client, target.database, callback, context);
}

TcsResult tcsDatabaseEraseDatabase(TcsHandle clientHandle, TcsHandle database) {
    ClientRecord* client = nullptr;
    Target target;
    TcsResult result = eraseChecks(clientHandle, database, &client, &target);
    if (result != TCS_RESULT_OK) return result;
    return syncCall(client, DSS_FORMAT_WAIT_MS, nullptr, 0,
                    [&](SyncRecord* r) { return queueErase(client, target.database, syncValueCB, r); });
}

TcsResult tcsDatabaseBackupAsync(TcsHandle database, uint8_t* buffer, uint32_t* inOutSize,
                                 DssCompletionCallback callback, void* context) {
    Target target;
    TcsResult result = resolve(database, TCS_HANDLE_TYPE_DATABASE, &target);
    if (result != TCS_RESULT_OK) return result;
    if (inOutSize == nullptr) return TCS_RESULT_NULL_POINTER;
    return queueBackup(target, buffer, inOutSize, callback, context);
}

TcsResult tcsDatabaseBackup(TcsHandle database, uint8_t* buffer, uint32_t* inOutSize) {
    Target target;
    TcsResult result = fetch(database, TCS_HANDLE_TYPE_DATABASE, &target);
    if (result == TCS_RESULT_OK) result = sensorStoreChecks(target);
    if (result != TCS_RESULT_OK) return result;
    if (buffer == nullptr || inOutSize == nullptr) return TCS_RESULT_NULL_POINTER;
    if (result == TCS_RESULT_OK) result = checkStore(target);
    if (result == TCS_RESULT_OK) result = checkSensor(target.database);
    if (result != TCS_RESULT_OK) return result;
    SyncOut sync;
    // The size travels in the heap record, which outlives a wait that gives up.
    result = syncCall(target.client, DSS_SYNC_WAIT_MS, &sync, *inOutSize,
                      [&](SyncRecord* r) { return queueBackup(target, buffer, &r->size, syncValueCB, r); });
    if (result == TCS_RESULT_OK) *inOutSize = sync.size;
    return result;
}

TcsResult tcsDatabaseRestoreAsync(TcsHandle database, const uint8_t* buffer, uint32_t size,
                                  DssCompletionCallback callback, void* context) {
    Target target;
    TcsResult result = resolve(database, TCS_HANDLE_TYPE_DATABASE, &target);
    if (result != TCS_RESULT_OK) return result;
    if (buffer == nullptr) return TCS_RESULT_NULL_POINTER;
    return queueRestore(target, buffer, size, callback, context);
}

TcsResult tcsDatabaseRestore(TcsHandle database, const uint8_t* buffer, uint32_t size) {
    Target target;
    TcsResult result = fetch(database, TCS_HANDLE_TYPE_DATABASE, &target);
    if (result == TCS_RESULT_OK) result = sensorStoreChecks(target);
    if (result != TCS_RESULT_OK) return result;
    if (buffer == nullptr) return TCS_RESULT_NULL_POINTER;
    if (result == TCS_RESULT_OK) result = checkStore(target);
    if (result == TCS_RESULT_OK) result = checkSensor(target.database);
    if (result != TCS_RESULT_OK) return result;
    return syncCall(target.client, DSS_SYNC_WAIT_MS, nullptr, 0,
                    [&](SyncRecord* r) { return queueRestore(target, buffer, size, syncValueCB, r); });
}

// --- App storages ---------------------------------------------------------------------------------------

TcsResult tcsDatabaseCreateAppStorageAsync(TcsHandle database, const char* name, uint32_t option,
                                           DssCompletionCallback callback, void* context) {
    Target target;
    TcsResult result = resolve(database, TCS_HANDLE_TYPE_DATABASE, &target);
    if (result != TCS_RESULT_OK) return result;
    return createAppStorageChecked(target, name, option, callback, context);
}

TcsResult tcsDatabaseCreateAppStorage(TcsHandle database, const char* name, uint32_t option,
                                      TcsHandle* outAppStorage) {
    Target target;
    TcsResult result = resolve(database, TCS_HANDLE_TYPE_DATABASE, &target);
    if (result != TCS_RESULT_OK) return result;
    if (outAppStorage == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outAppStorage = 0;
    SyncOut sync;
    result = syncCall(target.client, DSS_SYNC_WAIT_MS, &sync, 0, [&](SyncRecord* r) {
        return createAppStorageChecked(target, name, option, syncValueCB, r);
    });
    if (result == TCS_RESULT_OK) *outAppStorage = sync.value;
    return result;
}

TcsResult _tcsDatabaseCloseAppStorageAsync(DssAppStorage* appStorage, DssCompletionCallback callback, void* context) {
    if (appStorage == nullptr || appStorage->database == nullptr) return TCS_RESULT_INVALID_HANDLE;
    return queueClose(appStorage->database->client, DSS_REQ_CLOSE_APP_STORAGE, appStorage, callback, context);
}

TcsResult tcsDatabaseCloseAppStorageAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context) {
    return closeByHandle(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_CLOSE_APP_STORAGE, callback, context);
}

TcsResult tcsDatabaseCloseAppStorage(TcsHandle appStorage) {
    return closeSync(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_CLOSE_APP_STORAGE);
}

TcsResult tcsDatabaseDeleteAppStorageAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context) {
    return recordAsync(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_DELETE_APP_STORAGE, callback, context);
}

TcsResult tcsDatabaseDeleteAppStorage(TcsHandle appStorage) {
    return recordSync(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_DELETE_APP_STORAGE);
}

TcsResult tcsDatabaseGetUserCountAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context) {
    return recordAsync(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_COUNT_USERS, callback, context);
}

TcsResult tcsDatabaseGetUserCount(TcsHandle appStorage, uint32_t* outCount) {
    Target target;
    TcsResult result = resolve(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, &target);
    if (result != TCS_RESULT_OK) return result;
    if (outCount == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outCount = 0;
    SyncOut sync;
    result = syncCall(target.client, DSS_SYNC_WAIT_MS, &sync, 0, [&](SyncRecord* r) {
        return queueRequest(target.client, DSS_REQ_COUNT_USERS, target.record, asParameter(syncValueCB), r);
    });
    if (result == TCS_RESULT_OK) *outCount = uint32_t(sync.value);
    return result;
}

// --- Users ----------------------------------------------------------------------------------------------

TcsResult tcsDatabaseCreateUserAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context) {
    return childAsync(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_CREATE_USER, callback, context);
}
TcsResult tcsDatabaseCreateUser(TcsHandle appStorage, TcsHandle* outUser) {
    return childSync(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_CREATE_USER, outUser);
}
TcsResult _tcsDatabaseCloseUserAsync(DssUser* user, DssCompletionCallback callback, void* context) {
    if (user == nullptr || user->appStorage == nullptr || user->appStorage->database == nullptr) {
        return TCS_RESULT_INVALID_USER_HANDLE;
    }
    return queueClose(user->appStorage->database->client, DSS_REQ_CLOSE_USER, user, callback, context);
}
TcsResult tcsDatabaseCloseUserAsync(TcsHandle user, DssCompletionCallback callback, void* context) {
    return closeByHandle(user, TCS_HANDLE_TYPE_USER, DSS_REQ_CLOSE_USER, callback, context);
}
TcsResult tcsDatabaseCloseUser(TcsHandle user) { return closeSync(user, TCS_HANDLE_TYPE_USER, DSS_REQ_CLOSE_USER); }
TcsResult tcsDatabaseDeleteUserAsync(TcsHandle user, DssCompletionCallback callback, void* context) {
    return recordAsync(user, TCS_HANDLE_TYPE_USER, DSS_REQ_DELETE_USER, callback, context);
}
TcsResult tcsDatabaseDeleteUser(TcsHandle user) { return recordSync(user, TCS_HANDLE_TYPE_USER, DSS_REQ_DELETE_USER); }
TcsResult tcsDatabaseOpenFirstUserAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context) {
    return childAsync(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_OPEN_FIRST_USER, callback, context);
}
TcsResult tcsDatabaseOpenFirstUser(TcsHandle appStorage, TcsHandle* outUser) {
    return childSync(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_OPEN_FIRST_USER, outUser);
}
TcsResult tcsDatabaseOpenNextUserAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context) {
    return childAsync(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_OPEN_NEXT_USER, callback, context);
}
TcsResult tcsDatabaseOpenNextUser(TcsHandle appStorage, TcsHandle* outUser) {
    return childSync(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_OPEN_NEXT_USER, outUser);
}
TcsResult tcsDatabaseSetUserDataAsync(TcsHandle user, uint32_t dataId, const uint8_t* data, uint32_t length,
                                      DssCompletionCallback callback, void* context) {
    Target target;
    TcsResult result = resolve(user, TCS_HANDLE_TYPE_USER, &target);
    if (result != TCS_RESULT_OK) return result;
    return setDataAsync(target, DSS_REQ_SET_USER_DATA, dataId, data, length, callback, context);
}
TcsResult tcsDatabaseSetUserData(TcsHandle user, uint32_t dataId, const uint8_t* data, uint32_t length) {
    return setDataSync(user, TCS_HANDLE_TYPE_USER, DSS_REQ_SET_USER_DATA, dataId, data, length);
}
TcsResult tcsDatabaseGetUserDataAsync(TcsHandle user, uint32_t dataId, DssDataCallback callback, void* context) {
    Target target;
    TcsResult result = resolve(user, TCS_HANDLE_TYPE_USER, &target);
    if (result != TCS_RESULT_OK) return result;
    return getDataAsync(target, DSS_REQ_GET_USER_DATA, dataId, callback, context);
}
TcsResult tcsDatabaseGetUserData(TcsHandle user, uint32_t dataId, uint8_t** outData, uint32_t* outLength) {
    Target target;
    TcsResult result = resolve(user, TCS_HANDLE_TYPE_USER, &target);
    if (result != TCS_RESULT_OK) return result;
    return getDataSync(target, DSS_REQ_GET_USER_DATA, dataId, outData, outLength);
}
TcsResult tcsDatabaseDeleteUserDataAsync(TcsHandle user, uint32_t dataId, DssCompletionCallback callback,
                                         void* context) {
    Target target;
    TcsResult result = resolve(user, TCS_HANDLE_TYPE_USER, &target);
    if (result != TCS_RESULT_OK) return result;
    return deleteDataAsync(target, DSS_REQ_DELETE_USER_DATA, dataId, callback, context);
}
TcsResult tcsDatabaseDeleteUserData(TcsHandle user, uint32_t dataId) {
    return deleteDataSync(user, TCS_HANDLE_TYPE_USER, DSS_REQ_DELETE_USER_DATA, dataId);
}

// --- Templates ------------------------------------------------------------------------------------------

TcsResult tcsDatabaseCreateTemplateAsync(TcsHandle user, DssCompletionCallback callback, void* context) {
    return childAsync(user, TCS_HANDLE_TYPE_USER, DSS_REQ_CREATE_TEMPLATE, callback, context);
}
TcsResult tcsDatabaseCreateTemplate(TcsHandle user, TcsHandle* outTemplate) {
    return childSync(user, TCS_HANDLE_TYPE_USER, DSS_REQ_CREATE_TEMPLATE, outTemplate);
}
TcsResult _tcsDatabaseCloseTemplateAsync(DssTemplate* templ, DssCompletionCallback callback, void* context) {
    if (templ == nullptr || templ->user == nullptr || templ->user->appStorage == nullptr ||
        templ->user->appStorage->database == nullptr) {
        return TCS_RESULT_INVALID_TEMPLATE_HANDLE;
    }
    return queueClose(templ->user->appStorage->database->client, DSS_REQ_CLOSE_TEMPLATE, templ, callback, context);
}
TcsResult tcsDatabaseCloseTemplateAsync(TcsHandle templateHandle, DssCompletionCallback callback, void* context) {
    return closeByHandle(templateHandle, TCS_HANDLE_TYPE_DB_TEMPLATE, DSS_REQ_CLOSE_TEMPLATE, callback, context);
}
TcsResult tcsDatabaseCloseTemplate(TcsHandle templateHandle) {
    return closeSync(templateHandle, TCS_HANDLE_TYPE_DB_TEMPLATE, DSS_REQ_CLOSE_TEMPLATE);
}
TcsResult tcsDatabaseDeleteTemplateAsync(TcsHandle templateHandle, DssCompletionCallback callback, void* context) {
    return recordAsync(templateHandle, TCS_HANDLE_TYPE_DB_TEMPLATE, DSS_REQ_DELETE_TEMPLATE, callback, context);
}
TcsResult tcsDatabaseDeleteTemplate(TcsHandle templateHandle) {
    return recordSync(templateHandle, TCS_HANDLE_TYPE_DB_TEMPLATE, DSS_REQ_DELETE_TEMPLATE);
}
TcsResult tcsDatabaseOpenFirstTemplateAsync(TcsHandle user, DssCompletionCallback callback, void* context) {
    return childAsync(user, TCS_HANDLE_TYPE_USER, DSS_REQ_OPEN_FIRST_TEMPLATE, callback, context);
}
TcsResult tcsDatabaseOpenFirstTemplate(TcsHandle user, TcsHandle* outTemplate) {
    return childSync(user, TCS_HANDLE_TYPE_USER, DSS_REQ_OPEN_FIRST_TEMPLATE, outTemplate);
}
TcsResult tcsDatabaseOpenNextTemplateAsync(TcsHandle user, DssCompletionCallback callback, void* context) {
    return childAsync(user, TCS_HANDLE_TYPE_USER, DSS_REQ_OPEN_NEXT_TEMPLATE, callback, context);
}
TcsResult tcsDatabaseOpenNextTemplate(TcsHandle user, TcsHandle* outTemplate) {
    return childSync(user, TCS_HANDLE_TYPE_USER, DSS_REQ_OPEN_NEXT_TEMPLATE, outTemplate);
}

TcsResult tcsDatabaseSetTemplateDataAsync(TcsHandle templateHandle, uint32_t dataId, const uint8_t* data,
                                          uint32_t length, DssCompletionCallback callback, void* context) {
    Target target;
    TcsResult result = resolve(templateHandle, TCS_HANDLE_TYPE_DB_TEMPLATE, &target);
    if (result != TCS_RESULT_OK) return result;
    return setDataAsync(target, DSS_REQ_SET_TEMPLATE_DATA, dataId, data, length, callback, context);
}

TcsResult tcsDatabaseSetTemplateData(TcsHandle templateHandle, uint32_t dataId, const uint8_t* data,
                                     uint32_t length) {
    Target target;
    TcsResult result = resolve(templateHandle, TCS_HANDLE_TYPE_DB_TEMPLATE, &target);
    if (result != TCS_RESULT_OK) return result;
    if (dataId == 0) return TCS_RESULT_BAD_PARAM;
    if (data == nullptr) return TCS_RESULT_NULL_POINTER;
    if (length == 0 || length == UINT32_MAX) return TCS_RESULT_BAD_PARAM;
    auto* framed = static_cast<uint8_t*>(palRealMalloc(length + 1));
    if (framed == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    framed[0] = DSS_TEMPLATE_FORMAT_PLAIN;
    std::memcpy(framed + 1, data, length);
    result = syncCall(target.client, DSS_SYNC_WAIT_MS, nullptr, 0, [&](SyncRecord* r) {
        return setDataAsync(target, DSS_REQ_SET_TEMPLATE_DATA, dataId, framed, length + 1, syncValueCB, r);
    });
    palRealFree(framed);
    return result;
}

TcsResult tcsDatabaseGetTemplateDataAsync(TcsHandle templateHandle, uint32_t dataId, DssDataCallback callback,
                                          void* context) {
    Target target;
    TcsResult result = resolve(templateHandle, TCS_HANDLE_TYPE_DB_TEMPLATE, &target);
    if (result != TCS_RESULT_OK) return result;
    return getDataAsync(target, DSS_REQ_GET_TEMPLATE_DATA, dataId, callback, context);
}

TcsResult tcsDatabaseGetTemplateData(TcsHandle templateHandle, uint32_t dataId, uint8_t** outData,
                                     uint32_t* outLength) {
    Target target;
    TcsResult result = resolve(templateHandle, TCS_HANDLE_TYPE_DB_TEMPLATE, &target);
    if (result != TCS_RESULT_OK) return result;
    if (dataId == 0) return TCS_RESULT_BAD_PARAM;
    if (outData == nullptr || outLength == nullptr) return TCS_RESULT_NULL_POINTER;
    *outData = nullptr;
    *outLength = 0;
    uint8_t* stored = nullptr;
    uint32_t length = 0;
    result = getDataSync(target, DSS_REQ_GET_TEMPLATE_DATA, dataId, &stored, &length);
    if (result != TCS_RESULT_OK) return result;
    uint8_t* copy = nullptr;
    uint32_t copyLength = 0;
    if (length == DSS_TEMPLATE_RAW_LENGTH) {
        copy = stored;
        copyLength = length;
        stored = nullptr;
    } else if (length >= 1 && stored[0] == DSS_TEMPLATE_FORMAT_PLAIN) {
        copyLength = length - 1;
        copy = static_cast<uint8_t*>(palRealMalloc(copyLength + 1));
        if (copy == nullptr) result = TCS_RESULT_OUT_OF_MEMORY;
        else std::memcpy(copy, stored + 1, copyLength);
    } else {
        result = TCS_RESULT_ERROR;
    }
    palRealFree(stored);
    if (result == TCS_RESULT_OK) {
        *outData = copy;
        *outLength = copyLength;
    }
    return result;
}

TcsResult tcsDatabaseDeleteTemplateDataAsync(TcsHandle templateHandle, uint32_t dataId,
                                             DssCompletionCallback callback, void* context) {
    Target target;
    TcsResult result = resolve(templateHandle, TCS_HANDLE_TYPE_DB_TEMPLATE, &target);
    if (result != TCS_RESULT_OK) return result;
    return deleteDataAsync(target, DSS_REQ_DELETE_TEMPLATE_DATA, dataId, callback, context);
}

TcsResult tcsDatabaseDeleteTemplateData(TcsHandle templateHandle, uint32_t dataId) {
    return deleteDataSync(templateHandle, TCS_HANDLE_TYPE_DB_TEMPLATE, DSS_REQ_DELETE_TEMPLATE_DATA, dataId);
}

TcsResult _tcsDatabaseSetTemplateDataAsync(DssTemplate* templ, uint32_t dataId, const uint8_t* data, uint32_t length,
                                           DssCompletionCallback callback, void* context) {
    uint64_t handle = 0;
    if (templ == nullptr || tcsSafeHandleReverseFetch(templ, TCS_HANDLE_TYPE_DB_TEMPLATE, &handle) != TCS_RESULT_OK) {
        return TCS_RESULT_INVALID_TEMPLATE_HANDLE;
    }
    return tcsDatabaseSetTemplateDataAsync(handle, dataId, data, length, callback, context);
}

TcsResult _tcsDatabaseGetTemplateDataAsync(DssTemplate* templ, uint32_t dataId, DssDataCallback callback,
                                           void* context) {
    uint64_t handle = 0;
    if (templ == nullptr || tcsSafeHandleReverseFetch(templ, TCS_HANDLE_TYPE_DB_TEMPLATE, &handle) != TCS_RESULT_OK) {
        return TCS_RESULT_INVALID_TEMPLATE_HANDLE;
    }
    return tcsDatabaseGetTemplateDataAsync(handle, dataId, callback, context);
}

TcsResult _tcsDatabaseSetTemplateDataSync(DssTemplate* templ, uint32_t dataId, const uint8_t* data, uint32_t length) {
    uint64_t handle = 0;
    if (templ == nullptr || tcsSafeHandleReverseFetch(templ, TCS_HANDLE_TYPE_DB_TEMPLATE, &handle) != TCS_RESULT_OK) {
        return TCS_RESULT_INVALID_TEMPLATE_HANDLE;
    }
    return setDataSync(handle, TCS_HANDLE_TYPE_DB_TEMPLATE, DSS_REQ_SET_TEMPLATE_DATA, dataId, data, length);
}

TcsResult _tcsDatabaseGetTemplateDataSync(DssTemplate* templ, uint32_t dataId, uint8_t** outData,
                                          uint32_t* outLength) {
    uint64_t handle = 0;
    if (templ == nullptr || tcsSafeHandleReverseFetch(templ, TCS_HANDLE_TYPE_DB_TEMPLATE, &handle) != TCS_RESULT_OK) {
        return TCS_RESULT_INVALID_TEMPLATE_HANDLE;
    }
    Target target;
    TcsResult result = resolve(handle, TCS_HANDLE_TYPE_DB_TEMPLATE, &target);
    if (result != TCS_RESULT_OK) return result;
    return getDataSync(target, DSS_REQ_GET_TEMPLATE_DATA, dataId, outData, outLength);
}

// --- Storages -------------------------------------------------------------------------------------------

TcsResult tcsDatabaseCreateStorageAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context) {
    return childAsync(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_CREATE_STORAGE, callback, context);
}
TcsResult tcsDatabaseCreateStorage(TcsHandle appStorage, TcsHandle* outStorage) {
    return childSync(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_CREATE_STORAGE, outStorage);
}
TcsResult _tcsDatabaseCloseStorageAsync(DssStorage* storage, DssCompletionCallback callback, void* context) {
    if (storage == nullptr || storage->appStorage == nullptr || storage->appStorage->database == nullptr) {
        return TCS_RESULT_INVALID_HANDLE;
    }
    return queueClose(storage->appStorage->database->client, DSS_REQ_CLOSE_STORAGE, storage, callback, context);
}
TcsResult tcsDatabaseCloseStorageAsync(TcsHandle storage, DssCompletionCallback callback, void* context) {
    return closeByHandle(storage, TCS_HANDLE_TYPE_STORAGE, DSS_REQ_CLOSE_STORAGE, callback, context);
}
TcsResult tcsDatabaseCloseStorage(TcsHandle storage) {
    return closeSync(storage, TCS_HANDLE_TYPE_STORAGE, DSS_REQ_CLOSE_STORAGE);
}
TcsResult tcsDatabaseDeleteStorageAsync(TcsHandle storage, DssCompletionCallback callback, void* context) {
    return recordAsync(storage, TCS_HANDLE_TYPE_STORAGE, DSS_REQ_DELETE_STORAGE, callback, context);
}
TcsResult tcsDatabaseDeleteStorage(TcsHandle storage) {
    return recordSync(storage, TCS_HANDLE_TYPE_STORAGE, DSS_REQ_DELETE_STORAGE);
}
TcsResult tcsDatabaseOpenFirstStorageAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context) {
    return childAsync(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_OPEN_FIRST_STORAGE, callback, context);
}
TcsResult tcsDatabaseOpenFirstStorage(TcsHandle appStorage, TcsHandle* outStorage) {
    return childSync(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_OPEN_FIRST_STORAGE, outStorage);
}
TcsResult tcsDatabaseOpenNextStorageAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context) {
    return childAsync(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_OPEN_NEXT_STORAGE, callback, context);
}
TcsResult tcsDatabaseOpenNextStorage(TcsHandle appStorage, TcsHandle* outStorage) {
    return childSync(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, DSS_REQ_OPEN_NEXT_STORAGE, outStorage);
}
TcsResult tcsDatabaseSetStorageDataAsync(TcsHandle storage, uint32_t dataId, const uint8_t* data, uint32_t length,
                                         DssCompletionCallback callback, void* context) {
    Target target;
    TcsResult result = resolve(storage, TCS_HANDLE_TYPE_STORAGE, &target);
    if (result != TCS_RESULT_OK) return result;
    return setDataAsync(target, DSS_REQ_SET_STORAGE_DATA, dataId, data, length, callback, context);
}
TcsResult tcsDatabaseSetStorageData(TcsHandle storage, uint32_t dataId, const uint8_t* data, uint32_t length) {
    return setDataSync(storage, TCS_HANDLE_TYPE_STORAGE, DSS_REQ_SET_STORAGE_DATA, dataId, data, length);
}
TcsResult tcsDatabaseGetStorageDataAsync(TcsHandle storage, uint32_t dataId, DssDataCallback callback, void* context) {
    Target target;
    TcsResult result = resolve(storage, TCS_HANDLE_TYPE_STORAGE, &target);
    if (result != TCS_RESULT_OK) return result;
    return getDataAsync(target, DSS_REQ_GET_STORAGE_DATA, dataId, callback, context);
}
TcsResult tcsDatabaseGetStorageData(TcsHandle storage, uint32_t dataId, uint8_t** outData, uint32_t* outLength) {
    Target target;
    TcsResult result = resolve(storage, TCS_HANDLE_TYPE_STORAGE, &target);
    if (result != TCS_RESULT_OK) return result;
    return getDataSync(target, DSS_REQ_GET_STORAGE_DATA, dataId, outData, outLength);
}
TcsResult tcsDatabaseDeleteStorageDataAsync(TcsHandle storage, uint32_t dataId, DssCompletionCallback callback,
                                            void* context) {
    Target target;
    TcsResult result = resolve(storage, TCS_HANDLE_TYPE_STORAGE, &target);
    if (result != TCS_RESULT_OK) return result;
    return deleteDataAsync(target, DSS_REQ_DELETE_STORAGE_DATA, dataId, callback, context);
}
TcsResult tcsDatabaseDeleteStorageData(TcsHandle storage, uint32_t dataId) {
    return deleteDataSync(storage, TCS_HANDLE_TYPE_STORAGE, DSS_REQ_DELETE_STORAGE_DATA, dataId);
}

// --- Sensor look-ups ------------------------------------------------------------------------------------

TcsResult tcsDatabaseGetSensorHandle(TcsHandle database, TcsHandle* outSensor) {
    return sensorHandleOf(database, TCS_HANDLE_TYPE_DATABASE, outSensor, false);
}
TcsResult tcsDatabaseAppStorageGetSensorHandle(TcsHandle appStorage, TcsHandle* outSensor) {
    return sensorHandleOf(appStorage, TCS_HANDLE_TYPE_APP_STORAGE, outSensor, true);
}
TcsResult tcsDatabaseUserGetSensorHandle(TcsHandle user, TcsHandle* outSensor) {
    return sensorHandleOf(user, TCS_HANDLE_TYPE_USER, outSensor, true);
}
TcsResult tcsDatabaseTemplateGetSensorHandle(TcsHandle templateHandle, TcsHandle* outSensor) {
    return sensorHandleOf(templateHandle, TCS_HANDLE_TYPE_DB_TEMPLATE, outSensor, true);
}
TcsResult tcsDatabaseStorageGetSensorHandle(TcsHandle storage, TcsHandle* outSensor) {
    return sensorHandleOf(storage, TCS_HANDLE_TYPE_STORAGE, outSensor, true);
}

// --- Extended template calls ------------------------------------------------------------------------------

TcsResult tcsDatabaseExGetTemplateData(TcsHandle templateHandle, TcsHandle sensorHandle, TcsHandle* outEnrollTemplate) {
    Target target;
    SensorRecord* sensor = nullptr;
    TcsResult result = exChecks(templateHandle, sensorHandle, &target, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (outEnrollTemplate == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outEnrollTemplate = 0;
    uint8_t* stored = nullptr;
    uint32_t length = 0;
    result = getDataSync(target, DSS_REQ_GET_TEMPLATE_DATA, DSS_BLOB_TEMPLATE_RECORD, &stored, &length);
    if (result != TCS_RESULT_OK) return result;
    if (length == DSS_TEMPLATE_RAW_LENGTH) {
        result = tcsTemplateCreate(outEnrollTemplate, stored, length);
    } else if (length > 1 && stored[0] == DSS_TEMPLATE_FORMAT_PLAIN) {
        result = tcsTemplateCreate(outEnrollTemplate, stored + 1, length - 1);
    } else if (length > 1 && stored[0] == DSS_TEMPLATE_FORMAT_PACKED) {
        DssAppStorage* app = static_cast<DssTemplate*>(target.record)->user->appStorage;
        uint8_t digest[16] = {};
        result = palCryptoDigest(reinterpret_cast<const uint8_t*>(app->name), uint32_t(std::strlen(app->name)), digest,
                                 2);
        uint32_t payloadLength = 0, encLength = 0;
        uint8_t *payload = nullptr, *encPayload = nullptr;
        if (result == TCS_RESULT_OK) {
            result = _tcsDatabaseExTPUnPackTemplateData(sensor, digest, length - 1, stored + 1, outEnrollTemplate,
                                                        &payloadLength, &payload, &encLength, &encPayload, 0);
        }
        wipeAndFree(payload, payloadLength);
        wipeAndFree(encPayload, encLength);
    } else {
        result = TCS_RESULT_ERROR;
    }
    wipeAndFree(stored, length);
    return result;
}

TcsResult _tcsDatabaseExSetTemplateData(TcsHandle templateHandle, TcsHandle sensorHandle, TcsHandle enrollTemplate,
                                        uint32_t payloadLength, const uint8_t* payload, uint32_t keyMaterialLength,
                                        const uint8_t* keyMaterial) {
    Target target;
    SensorRecord* sensor = nullptr;
    TcsResult result = exChecks(templateHandle, sensorHandle, &target, &sensor);
    if (result != TCS_RESULT_OK) return result;
    void* templRecord = nullptr;
    tcsSafeEnrollTemplateHandleFetch(enrollTemplate, &templRecord);
    if (templRecord == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    if ((keyMaterialLength == 0 || keyMaterial == nullptr) && (payloadLength == 0 || payload == nullptr)) {
        return TCS_RESULT_OK;
    }
    auto* dbTemplate = static_cast<DssTemplate*>(target.record);
    uint32_t recordLength = 0, authLength = 0;
    uint8_t* record = nullptr;
    // No buffer for the sealed payload of a PEK-secured template: the packing stores it as the user's
    // blob 5, where a confirmed match opens it again. Handed back here it was wiped and lost.
    result = _tcsDatabaseExTPPackTemplateData(sensor, static_cast<EnrollTemplate*>(templRecord), payloadLength,
                                              payload, keyMaterialLength, keyMaterial, &recordLength, &record,
                                              &authLength, nullptr, dbTemplate);
    if (result == TCS_RESULT_OK && scsSensorIsPEKSecurityEnabled(sensor->sensorControlSensor) == 1) {
        ScsReplyView view{recordLength, record};
        scsSensorCacheMatchDataAndTemplate(sensor->sensorControlSensor, &view, nullptr, 0);
    }
    uint8_t* framed = nullptr;
    if (result == TCS_RESULT_OK) {
        framed = static_cast<uint8_t*>(palRealMalloc(recordLength + 1));
        if (framed == nullptr) result = TCS_RESULT_OUT_OF_MEMORY;
    }
    if (result == TCS_RESULT_OK) {
        framed[0] = DSS_TEMPLATE_FORMAT_PACKED;
        std::memcpy(framed + 1, record, recordLength);
        result = syncCall(target.client, DSS_SYNC_WAIT_MS, nullptr, 0, [&](SyncRecord* r) {
            return setDataAsync(target, DSS_REQ_SET_TEMPLATE_DATA, DSS_BLOB_TEMPLATE_RECORD, framed, recordLength + 1,
                                syncValueCB, r);
        });
    }
    wipeAndFree(framed, recordLength + 1);
    wipeAndFree(record, recordLength);
    return result;
}

TcsResult tcsDatabaseExSetTemplateData(TcsHandle templateHandle, TcsHandle sensor, TcsHandle enrollTemplate) {
    return _tcsDatabaseExSetTemplateData(templateHandle, sensor, enrollTemplate, sizeof(kNoPayload), kNoPayload, 0,
                                         nullptr);
}

}  // extern "C"
