// Template database service: its thread and work list, and the handlers of the 33 request kinds.
#include "tcs/database/dss.h"

#include "platform/clock.h"
#include "platform/memory.h"
#include "tcs/core.h"
#include "tcs/database/dss_requests.h"
#include "tcs/database/dss_store.h"
#include "tcs/flashfs/fss.h"
#include "tcs/flashfs/xtfs.h"
#include "tcs/flashfs/xtfs_mirror.h"
#include "tcs/handle_map.h"
#include "tcs/sensorctl/protocol/template_cache.h"

#include <cstring>

using namespace dss;

namespace {

constexpr uint32_t kSliceBudgetMs = 500;
constexpr uint32_t kWaitPollMs = 2;
constexpr uint32_t kThreadStopMs = 25000;

// RAII for a critical section whose acquire may fail.
class Hold {
public:
    explicit Hold(PalMutexHandle lock) : lock_(lock), held_(lock != nullptr && palCriticalSectionAcquire(lock) == 0) {}
    ~Hold() {
        if (held_) palCriticalSectionRelease(lock_);
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    bool held() const { return held_; }

private:
    PalMutexHandle lock_;
    bool held_;
};

DssCompletionCallback valueCallback(WorkItem* item) {
    return reinterpret_cast<DssCompletionCallback>(uintptr_t(item->parameter1));
}
DssDataCallback dataCallback(WorkItem* item) { return reinterpret_cast<DssDataCallback>(uintptr_t(item->parameter1)); }
void* itemContext(WorkItem* item) { return reinterpret_cast<void*>(uintptr_t(item->parameter2)); }

bool isReadKind(uint32_t kind) {
    return kind == DSS_REQ_GET_USER_DATA || kind == DSS_REQ_GET_TEMPLATE_DATA || kind == DSS_REQ_GET_STORAGE_DATA;
}

bool isCloseKind(uint32_t kind) {
    return kind == DSS_REQ_CLOSE_DATABASE || kind == DSS_REQ_CLOSE_USER || kind == DSS_REQ_CLOSE_TEMPLATE ||
           kind == DSS_REQ_CLOSE_STORAGE || kind == DSS_REQ_CLOSE_APP_STORAGE;
}

// Kinds whose data is the object record itself: nothing to free at the end.
bool dataIsRecord(uint32_t kind) {
    switch (kind) {
        case DSS_REQ_CLOSE_DATABASE:
        case DSS_REQ_CLOSE_USER:
        case DSS_REQ_DELETE_USER:
        case DSS_REQ_CLOSE_TEMPLATE:
        case DSS_REQ_DELETE_TEMPLATE:
        case DSS_REQ_CLOSE_STORAGE:
        case DSS_REQ_DELETE_STORAGE:
        case DSS_REQ_CLOSE_APP_STORAGE:
        case DSS_REQ_DELETE_APP_STORAGE:
        case DSS_REQ_COUNT_USERS:
            return true;
        default:
            return false;
    }
}

void freeData(uint32_t kind, void* data) {
    if (data == nullptr || dataIsRecord(kind)) return;
    if (kind == DSS_REQ_OPEN_DATABASE) palRealFree(static_cast<OpenRequest*>(data)->url);
    if (kind == DSS_REQ_FORMAT_DATABASE) palRealFree(static_cast<FormatRequest*>(data)->url);
    palRealFree(data);
}

// A request dropped before its handler finished (a cancel): what it still owns goes with it.
void discardItem(WorkItem* item) {
    if (isReadKind(item->type)) {
        palRealFree(itemBuffer(item));
        setItemBuffer(item, nullptr);
    }
    freeData(item->type, item->object);
    item->object = nullptr;
}

// The handle kind and bad-handle code of the record a close or delete acts on.
HandleType recordKind(uint32_t kind) {
    switch (kind) {
        case DSS_REQ_CLOSE_DATABASE: return TCS_HANDLE_TYPE_DATABASE;
        case DSS_REQ_CLOSE_USER:
        case DSS_REQ_DELETE_USER: return TCS_HANDLE_TYPE_USER;
        case DSS_REQ_CLOSE_TEMPLATE:
        case DSS_REQ_DELETE_TEMPLATE: return TCS_HANDLE_TYPE_DB_TEMPLATE;
        case DSS_REQ_CLOSE_STORAGE:
        case DSS_REQ_DELETE_STORAGE: return TCS_HANDLE_TYPE_STORAGE;
        default: return TCS_HANDLE_TYPE_APP_STORAGE;
    }
}

TcsResult badHandleCode(HandleType type) {
    switch (type) {
        case TCS_HANDLE_TYPE_DATABASE: return TCS_RESULT_INVALID_DATABASE_HANDLE;
        case TCS_HANDLE_TYPE_USER: return TCS_RESULT_INVALID_USER_HANDLE;
        case TCS_HANDLE_TYPE_DB_TEMPLATE: return TCS_RESULT_INVALID_TEMPLATE_HANDLE;
        default: return TCS_RESULT_INVALID_HANDLE;
    }
}

// A record acted on by its own request may have been closed by an earlier request (a cascade and
// the owner's own close both asking for it): only a record still registered is touched.
bool recordAlive(uint32_t kind, void* record) {
    uint64_t handle = 0;
    return record != nullptr && tcsSafeHandleReverseFetch(record, recordKind(kind), &handle) == TCS_RESULT_OK;
}

// --- Create and open kinds: the handle of the new object -------------------------------------------------

// Registers the new child; on failure the child leaves its owner again without being written.
TcsResult makeChildHandle(uint32_t kind, void* child, uint64_t* outHandle) {
    TcsResult result = TCS_RESULT_OK;
    switch (kind) {
        case DSS_REQ_OPEN_DATABASE:
            result = tcsSafeDBHandleCreate(child, outHandle);
            if (result != TCS_RESULT_OK) dssCloseDatabase(static_cast<DssDatabase*>(child));
            break;
        case DSS_REQ_CREATE_APP_STORAGE:
            result = tcsSafeAppStorageHandleCreate(child, outHandle);
            if (result != TCS_RESULT_OK) dssCloseAppStorage(static_cast<DssAppStorage*>(child));
            break;
        case DSS_REQ_CREATE_USER:
        case DSS_REQ_OPEN_FIRST_USER:
        case DSS_REQ_OPEN_NEXT_USER:
            result = tcsSafeUserHandleCreate(child, outHandle);
            if (result != TCS_RESULT_OK) {
                static_cast<DssUser*>(child)->changed = 0;
                dssCloseUser(static_cast<DssUser*>(child));
            }
            break;
        case DSS_REQ_CREATE_TEMPLATE:
        case DSS_REQ_OPEN_FIRST_TEMPLATE:
        case DSS_REQ_OPEN_NEXT_TEMPLATE:
            result = tcsSafeDBTemplateHandleCreate(child, outHandle);
            if (result != TCS_RESULT_OK) {
                static_cast<DssTemplate*>(child)->changed = 0;
                dssCloseTemplate(static_cast<DssTemplate*>(child));
            }
            break;
        default:
            result = tcsSafeStorageHandleCreate(child, outHandle);
            if (result != TCS_RESULT_OK) {
                static_cast<DssStorage*>(child)->changed = 0;
                dssCloseStorage(static_cast<DssStorage*>(child));
            }
            break;
    }
    if (result != TCS_RESULT_OK) *outHandle = 0;
    return result;
}

bool makesChild(uint32_t kind) {
    switch (kind) {
        case DSS_REQ_OPEN_DATABASE:
        case DSS_REQ_CREATE_USER:
        case DSS_REQ_OPEN_FIRST_USER:
        case DSS_REQ_OPEN_NEXT_USER:
        case DSS_REQ_CREATE_TEMPLATE:
        case DSS_REQ_OPEN_FIRST_TEMPLATE:
        case DSS_REQ_OPEN_NEXT_TEMPLATE:
        case DSS_REQ_CREATE_STORAGE:
        case DSS_REQ_OPEN_FIRST_STORAGE:
        case DSS_REQ_OPEN_NEXT_STORAGE:
        case DSS_REQ_CREATE_APP_STORAGE:
            return true;
        default:
            return false;
    }
}

void* newChild(uint32_t kind, void* data) {
    if (kind == DSS_REQ_OPEN_DATABASE) return static_cast<OpenRequest*>(data)->database;
    if (kind == DSS_REQ_CREATE_APP_STORAGE) return static_cast<AppStorageRequest*>(data)->appStorage;
    return static_cast<ChildRequest*>(data)->child;
}

// The handle of the object acted on (the callback value of the set, delete and delete-data kinds).
uint64_t handleOf(void* object, HandleType type) {
    uint64_t handle = 0;
    tcsSafeHandleReverseFetch(object, type, &handle);
    return handle;
}

// --- The operations ----------------------------------------------------------------------------------------

// Runs the operation of a general-form or one-visit kind; *value receives the callback value that
// does not come from a new handle.
TcsResult runOperation(WorkItem* item, uint64_t* value) {
    void* data = item->object;
    *value = 0;
    auto* child = static_cast<ChildRequest*>(data);
    auto* blob = static_cast<DataRequest*>(data);
    switch (item->type) {
        case DSS_REQ_OPEN_DATABASE: {
            auto* r = static_cast<OpenRequest*>(data);
            // A client whose destroy began after this open was queued waits for its database list
            // to empty once; a database joining it now would hold that wait until it times out.
            uint64_t clientHandle = 0;
            if (tcsSafeHandleReverseFetch(r->client, TCS_HANDLE_TYPE_CLIENT, &clientHandle) != TCS_RESULT_OK) {
                return TCS_RESULT_NULL_CLIENT_HANDLE;
            }
            TcsResult valid = tcsClientValidate(r->client);
            if (valid != TCS_RESULT_OK) return valid;
            return dssOpenDatabase(r->client, r->url, &r->database);
        }
        case DSS_REQ_FORMAT_DATABASE: {
            auto* r = static_cast<FormatRequest*>(data);
            return r->database != nullptr ? dssEraseDatabase(r->database) : dssFormatDatabase(r->client, r->url);
        }
        case DSS_REQ_CREATE_USER:
            return dssCreateUser(static_cast<DssAppStorage*>(child->owner), reinterpret_cast<DssUser**>(&child->child));
        case DSS_REQ_OPEN_FIRST_USER:
            return dssOpenFirstUser(static_cast<DssAppStorage*>(child->owner),
                                    reinterpret_cast<DssUser**>(&child->child));
        case DSS_REQ_OPEN_NEXT_USER:
            return dssOpenNextUser(static_cast<DssAppStorage*>(child->owner),
                                   reinterpret_cast<DssUser**>(&child->child));
        case DSS_REQ_DELETE_USER:
            if (!recordAlive(item->type, data)) return TCS_RESULT_INVALID_USER_HANDLE;
            *value = handleOf(data, TCS_HANDLE_TYPE_USER);
            return dssDeleteUser(static_cast<DssUser*>(data));
        case DSS_REQ_SET_USER_DATA:
            *value = handleOf(blob->object, TCS_HANDLE_TYPE_USER);
            return dssSetUserData(static_cast<DssUser*>(blob->object), blob->id, blob->data, blob->length);
        case DSS_REQ_DELETE_USER_DATA:
            *value = handleOf(blob->object, TCS_HANDLE_TYPE_USER);
            return dssDeleteUserData(static_cast<DssUser*>(blob->object), blob->id);
        case DSS_REQ_CREATE_TEMPLATE:
            return dssCreateTemplate(static_cast<DssUser*>(child->owner), reinterpret_cast<DssTemplate**>(&child->child));
        case DSS_REQ_CLOSE_TEMPLATE:
            if (!recordAlive(item->type, data)) return TCS_RESULT_INVALID_TEMPLATE_HANDLE;
            return dssCloseTemplate(static_cast<DssTemplate*>(data));
        case DSS_REQ_DELETE_TEMPLATE:
            if (!recordAlive(item->type, data)) return TCS_RESULT_INVALID_TEMPLATE_HANDLE;
            *value = handleOf(data, TCS_HANDLE_TYPE_DB_TEMPLATE);
            return dssDeleteTemplate(static_cast<DssTemplate*>(data));
        case DSS_REQ_OPEN_FIRST_TEMPLATE:
            return dssOpenFirstTemplate(static_cast<DssUser*>(child->owner),
                                        reinterpret_cast<DssTemplate**>(&child->child));
        case DSS_REQ_OPEN_NEXT_TEMPLATE:
            return dssOpenNextTemplate(static_cast<DssUser*>(child->owner),
                                       reinterpret_cast<DssTemplate**>(&child->child));
        case DSS_REQ_SET_TEMPLATE_DATA:
            *value = handleOf(blob->object, TCS_HANDLE_TYPE_DB_TEMPLATE);
            return dssSetTemplateData(static_cast<DssTemplate*>(blob->object), blob->id, blob->data, blob->length);
        case DSS_REQ_DELETE_TEMPLATE_DATA:
            *value = handleOf(blob->object, TCS_HANDLE_TYPE_DB_TEMPLATE);
            return dssDeleteTemplateData(static_cast<DssTemplate*>(blob->object), blob->id);
        case DSS_REQ_CREATE_STORAGE:
            return dssCreateStorage(static_cast<DssAppStorage*>(child->owner),
                                    reinterpret_cast<DssStorage**>(&child->child));
        case DSS_REQ_CLOSE_STORAGE:
            if (!recordAlive(item->type, data)) return TCS_RESULT_INVALID_HANDLE;
            return dssCloseStorage(static_cast<DssStorage*>(data));
        case DSS_REQ_DELETE_STORAGE:
            if (!recordAlive(item->type, data)) return TCS_RESULT_INVALID_HANDLE;
            *value = handleOf(data, TCS_HANDLE_TYPE_STORAGE);
            return dssDeleteStorage(static_cast<DssStorage*>(data));
        case DSS_REQ_OPEN_FIRST_STORAGE:
            return dssOpenFirstStorage(static_cast<DssAppStorage*>(child->owner),
                                       reinterpret_cast<DssStorage**>(&child->child));
        case DSS_REQ_OPEN_NEXT_STORAGE:
            return dssOpenNextStorage(static_cast<DssAppStorage*>(child->owner),
                                      reinterpret_cast<DssStorage**>(&child->child));
        case DSS_REQ_SET_STORAGE_DATA:
            *value = handleOf(blob->object, TCS_HANDLE_TYPE_STORAGE);
            return dssSetStorageData(static_cast<DssStorage*>(blob->object), blob->id, blob->data, blob->length);
        case DSS_REQ_DELETE_STORAGE_DATA:
            *value = handleOf(blob->object, TCS_HANDLE_TYPE_STORAGE);
            return dssDeleteStorageData(static_cast<DssStorage*>(blob->object), blob->id);
        case DSS_REQ_CREATE_APP_STORAGE: {
            auto* r = static_cast<AppStorageRequest*>(data);
            return dssCreateAppStorage(r->database, r->name, r->option, &r->appStorage);
        }
        case DSS_REQ_DELETE_APP_STORAGE:
            if (!recordAlive(item->type, data)) return TCS_RESULT_INVALID_HANDLE;
            *value = handleOf(data, TCS_HANDLE_TYPE_APP_STORAGE);
            return dssDeleteAppStorage(static_cast<DssAppStorage*>(data));
        case DSS_REQ_COUNT_USERS: {
            if (!recordAlive(item->type, data)) return TCS_RESULT_INVALID_HANDLE;
            uint32_t count = 0;
            TcsResult result = dssGetUserCount(static_cast<DssAppStorage*>(data), &count);
            *value = count;
            return result;
        }
        default:
            return TCS_RESULT_BAD_PARAM;
    }
}

// Backup and restore act on the sensor behind a sensor store; a file store has none.
TcsResult backupDatabase(BackupRequest* r) {
    DssDatabase* database = r->database;
    if (database->storeKind != DSS_STORE_SENSOR || database->fileSystem == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
    SensorRecord* sensor = database->sensor;
    if (sensor == nullptr && database->fileSystem->kind == FSS_BACKEND_SENSOR) {
        return xtfsBackup(static_cast<ScsSensor*>(database->fileSystem->backend), r->buffer, r->size);
    }
    if (sensor == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
    return xtfsBackup(sensor->sensorControlSensor, r->buffer, r->size);
}

ScsSensor* storeSensor(DssDatabase* database) {
    if (database->sensor != nullptr) return database->sensor->sensorControlSensor;
    if (database->fileSystem != nullptr && database->fileSystem->kind == FSS_BACKEND_SENSOR) {
        return static_cast<ScsSensor*>(database->fileSystem->backend);
    }
    return nullptr;
}

TcsResult restoreDatabase(RestoreRequest* r) {
    DssDatabase* database = r->database;
    ScsSensor* sensor = database->storeKind == DSS_STORE_SENSOR ? storeSensor(database) : nullptr;
    if (sensor == nullptr || database->fileSystem == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
    TcsResult result = fssClose(database->fileSystem);
    if (result != TCS_RESULT_OK) return result;
    database->fileSystem = nullptr;
    scsSensorFreeDecTemplatesList(sensor, nullptr);
    result = xtfsRestore(sensor, r->buffer, r->size, 1);
    if (result == TCS_RESULT_OK) {
        result = fssOpenEx(sensor, database->storeKind, &database->fileSystem, database->fileName);
    }
    return result;
}

void finish(WorkItem* item) {
    freeData(item->type, item->object);
    item->object = nullptr;
    itemFinished(item) = 1;
}

void callValue(WorkItem* item, uint64_t value, TcsResult result) {
    DssCompletionCallback callback = valueCallback(item);
    if (callback != nullptr) callback(value, result, itemContext(item));
}

// Step 0 runs the operation, a failure waits one visit (step 2), step 1 calls the callback.
void generalStep(WorkItem* item) {
    uint32_t& step = itemStep(item);
    switch (step) {
        case 0: {
            step = 1;
            uint64_t value = 0;
            TcsResult result = runOperation(item, &value);
            setItemResult(item, result);
            item->reserved3[0] = value;  // the value until step 1
            if (result != TCS_RESULT_OK) step = 2;
            return;
        }
        case 2:
            step = 1;
            return;
        default: {
            TcsResult result = itemResult(item);
            uint64_t value = item->reserved3[0];
            item->reserved3[0] = 0;
            if (makesChild(item->type)) {
                value = 0;
                if (result == TCS_RESULT_OK) result = makeChildHandle(item->type, newChild(item->type, item->object), &value);
            } else if (item->type == DSS_REQ_FORMAT_DATABASE || item->type == DSS_REQ_CLOSE_TEMPLATE ||
                       item->type == DSS_REQ_CLOSE_STORAGE) {
                value = 0;
            }
            callValue(item, value, result);
            finish(item);
            return;
        }
    }
}

// Kinds 3, 4, 29, 31 and 32: operation and callback in one visit.
void oneVisit(WorkItem* item) {
    uint64_t value = 0;
    TcsResult result;
    if (item->type == DSS_REQ_BACKUP_DATABASE) {
        result = backupDatabase(static_cast<BackupRequest*>(item->object));
    } else if (item->type == DSS_REQ_RESTORE_DATABASE) {
        result = restoreDatabase(static_cast<RestoreRequest*>(item->object));
    } else {
        result = runOperation(item, &value);
        if (result == TCS_RESULT_OK && makesChild(item->type)) {
            result = makeChildHandle(item->type, newChild(item->type, item->object), &value);
        }
    }
    callValue(item, value, result);
    finish(item);
}

// --- Data reads ------------------------------------------------------------------------------------------

TcsResult readBlob(uint32_t kind, DataRequest* r, void* buffer, uint32_t* length) {
    switch (kind) {
        case DSS_REQ_GET_USER_DATA: return dssGetUserData(static_cast<DssUser*>(r->object), r->id, buffer, length);
        case DSS_REQ_GET_TEMPLATE_DATA:
            return dssGetTemplateData(static_cast<DssTemplate*>(r->object), r->id, buffer, length);
        default: return dssGetStorageData(static_cast<DssStorage*>(r->object), r->id, buffer, length);
    }
}

void readStep(WorkItem* item) {
    auto* r = static_cast<DataRequest*>(item->object);
    uint32_t& step = itemStep(item);
    TcsResult result = TCS_RESULT_OK;
    switch (step) {
        case 0:
            r->length = 0;
            result = readBlob(item->type, r, nullptr, &r->length);
            step = result == TCS_RESULT_OK ? 1 : 4;
            break;
        case 1:
            // One spare byte: an empty blob still gets a buffer of its own.
            setItemBuffer(item, static_cast<uint8_t*>(palRealMalloc(r->length + 1)));
            if (itemBuffer(item) == nullptr) result = TCS_RESULT_OUT_OF_MEMORY;
            step = result == TCS_RESULT_OK ? 2 : 4;
            break;
        case 2: {
            uint32_t length = r->length;
            result = readBlob(item->type, r, itemBuffer(item), &length);
            step = result == TCS_RESULT_OK ? 3 : 4;
            break;
        }
        case 4:
            step = 3;
            return;
        default: {
            uint8_t* buffer = itemBuffer(item);
            setItemBuffer(item, nullptr);
            result = itemResult(item);
            DssDataCallback callback = dataCallback(item);
            if (callback != nullptr) {
                callback(result == TCS_RESULT_OK ? buffer : nullptr, result == TCS_RESULT_OK ? r->length : 0, result,
                         itemContext(item));
            }
            if (result != TCS_RESULT_OK || callback == nullptr) palRealFree(buffer);
            finish(item);
            return;
        }
    }
    setItemResult(item, result);
}

// --- Close cascades ----------------------------------------------------------------------------------------

// True while a close request for the record waits in the list (one marked done does not count).
bool closeQueued(DssSubsystem* subsystem, void* record) {
    Hold list(subsystem->workList.listLock);
    if (!list.held()) return true;
    for (PalListEntry* e = subsystem->workList.links.next; e != &subsystem->workList.links; e = e->next) {
        WorkItem* queued = PAL_WORK_ITEM_FROM_LINKS(e);
        if (queued->object == record && isCloseKind(queued->type) && itemState(queued) != TCS_ITEM_DONE) return true;
    }
    return false;
}

enum class Children { Storages, Users, AppStorages, Templates };

struct ChildList {
    PalListEntry* head;
    PalMutexHandle lock;
};

ChildList childList(void* owner, Children children) {
    switch (children) {
        case Children::Storages: {
            auto* app = static_cast<DssAppStorage*>(owner);
            return {&app->storages, app->storageLock};
        }
        case Children::Users: {
            auto* app = static_cast<DssAppStorage*>(owner);
            return {&app->users, app->userLock};
        }
        case Children::AppStorages: {
            auto* database = static_cast<DssDatabase*>(owner);
            return {&database->appStorages, database->appStorageLock};
        }
        default: {
            auto* user = static_cast<DssUser*>(owner);
            return {&user->templates, user->templateLock};
        }
    }
}

TcsResult queueChildClose(Children children, PalListEntry* links) {
    // Every child record keeps its list links first.
    switch (children) {
        case Children::Storages: return _tcsDatabaseCloseStorageAsync(reinterpret_cast<DssStorage*>(links), nullptr, nullptr);
        case Children::Users: return _tcsDatabaseCloseUserAsync(reinterpret_cast<DssUser*>(links), nullptr, nullptr);
        case Children::AppStorages:
            return _tcsDatabaseCloseAppStorageAsync(reinterpret_cast<DssAppStorage*>(links), nullptr, nullptr);
        default: return _tcsDatabaseCloseTemplateAsync(reinterpret_cast<DssTemplate*>(links), nullptr, nullptr);
    }
}

// Queues a close for every open child that has none waiting; true once the child list is empty (or
// its lock cannot be taken). Queueing only what is missing lets a close that could not be queued
// (no memory) be tried again on the next visit instead of being waited for without end.
bool closeChildren(DssSubsystem* subsystem, void* owner, Children children) {
    ChildList list = childList(owner, children);
    Hold hold(list.lock);
    if (!hold.held()) return true;
    if (palListIsEmpty(list.head)) return true;
    for (PalListEntry* e = list.head->next; e != list.head; e = e->next) {
        if (!closeQueued(subsystem, e)) queueChildClose(children, e);
    }
    return false;
}

TcsResult closeOwner(uint32_t kind, void* record) {
    switch (kind) {
        case DSS_REQ_CLOSE_DATABASE: return dssCloseDatabase(static_cast<DssDatabase*>(record));
        case DSS_REQ_CLOSE_USER: return dssCloseUser(static_cast<DssUser*>(record));
        default: return dssCloseAppStorage(static_cast<DssAppStorage*>(record));
    }
}

// Steps: 0 children (storages, users of an app storage, app storages of a database, templates of a
// user) until none is left, 1 users of an app storage, 2 the owner's own close, 3 a failed close's
// extra visit, 4 the callback.
void cascadeStep(DssSubsystem* subsystem, WorkItem* item) {
    uint32_t& step = itemStep(item);
    void* record = item->object;
    switch (step) {
        case 0:
            if (!recordAlive(item->type, record)) {
                setItemResult(item, badHandleCode(recordKind(item->type)));
                step = 4;
                return;
            }
            {
                Children first = item->type == DSS_REQ_CLOSE_DATABASE ? Children::AppStorages
                                 : item->type == DSS_REQ_CLOSE_USER   ? Children::Templates
                                                                      : Children::Storages;
                if (!closeChildren(subsystem, record, first)) return;
            }
            step = item->type == DSS_REQ_CLOSE_APP_STORAGE ? 1 : 2;
            return;
        case 1:
            if (!closeChildren(subsystem, record, Children::Users)) return;
            step = 2;
            return;
        case 2: {
            TcsResult result = closeOwner(item->type, record);
            item->object = nullptr;  // freed by the close
            setItemResult(item, result);
            step = result == TCS_RESULT_OK ? 4 : 3;
            if (result == TCS_RESULT_OK) break;
            return;
        }
        case 3:
            step = 4;
            return;
        default:
            break;
    }
    callValue(item, 0, itemResult(item));
    item->object = nullptr;
    itemFinished(item) = 1;
}

void runStep(DssSubsystem* subsystem, WorkItem* item) {
    uint32_t kind = item->type;
    if (kind == DSS_REQ_CLOSE_DATABASE || kind == DSS_REQ_CLOSE_USER || kind == DSS_REQ_CLOSE_APP_STORAGE) {
        cascadeStep(subsystem, item);
    } else if (isReadKind(kind)) {
        readStep(item);
    } else if (kind == DSS_REQ_BACKUP_DATABASE || kind == DSS_REQ_RESTORE_DATABASE ||
               kind == DSS_REQ_CREATE_APP_STORAGE || kind == DSS_REQ_DELETE_APP_STORAGE ||
               kind == DSS_REQ_COUNT_USERS) {
        oneVisit(item);
    } else if (kind < DSS_REQ_KIND_COUNT) {
        generalStep(item);
    } else {
        callValue(item, 0, TCS_RESULT_BAD_PARAM);
        item->object = nullptr;
        itemFinished(item) = 1;
    }
}

bool hasThread(const DssSubsystem* subsystem) { return __atomic_load_n(&subsystem->thread, __ATOMIC_ACQUIRE) != 0; }

void freeRecord(DssSubsystem* subsystem) {
    if (subsystem->openStoreLock != nullptr) palCriticalSectionFree(subsystem->openStoreLock);
    if (subsystem->serviceLock != nullptr) palCriticalSectionFree(subsystem->serviceLock);
    palWorkListUninitialize(&subsystem->workList);
    palRealFree(subsystem);
}

}  // namespace

extern "C" {

TcsResult dssSubsystemStartup(DssSubsystem** outSubsystem, PalEvent*) {
    if (outSubsystem == nullptr) return TCS_RESULT_BAD_PARAM;
    *outSubsystem = nullptr;
    auto* subsystem = static_cast<DssSubsystem*>(palRealMalloc(sizeof(DssSubsystem)));
    if (subsystem == nullptr) return TCS_RESULT_INVALID;
    std::memset(subsystem, 0, sizeof(*subsystem));
    TcsResult result = palWorkListInitialize(&subsystem->workList, nullptr);
    if (result != TCS_RESULT_OK) {
        palRealFree(subsystem);
        return result;
    }
    palListInit(&subsystem->openStores);
    palCriticalSectionInitialize(&subsystem->openStoreLock);
    palCriticalSectionInitialize(&subsystem->serviceLock);
    if (subsystem->openStoreLock == nullptr || subsystem->serviceLock == nullptr) {
        freeRecord(subsystem);
        return TCS_RESULT_MUTEX_CREATION_FAILED;
    }
    registerHandleOwners();
    // Without a thread the waiting callers run the list, so start-up succeeds either way.
    dssCreateServiceThread(subsystem);
    *outSubsystem = subsystem;
    return TCS_RESULT_OK;
}

TcsResult dssCreateServiceThread(DssSubsystem* subsystem) {
    if (subsystem == nullptr) return TCS_RESULT_BAD_PARAM;
    subsystem->workList.wakeEvent = palEventAlloc(0, 1, nullptr);
    subsystem->doneEvent = palEventAlloc(0, 0, nullptr);
    if (subsystem->workList.wakeEvent == nullptr || subsystem->doneEvent == nullptr) {
        palEventFree(subsystem->workList.wakeEvent);
        palEventFree(subsystem->doneEvent);
        subsystem->workList.wakeEvent = nullptr;
        subsystem->doneEvent = nullptr;
        return TCS_RESULT_EVENT_CREATION_FAILED;
    }
    PalThreadHandle thread = 0;
    uint32_t threadId = 0;
    TcsResult result = palThreadBegin(nullptr, dssServiceThread, subsystem, 0, &thread, &threadId);
    if (result != TCS_RESULT_OK) return result;
    subsystem->threadId = threadId;
    __atomic_store_n(&subsystem->thread, thread, __ATOMIC_RELEASE);
    return TCS_RESULT_OK;
}

uint32_t dssServiceThread(void* argument) {
    auto* subsystem = static_cast<DssSubsystem*>(argument);
    for (;;) {
        palEventWaitFor(subsystem->workList.wakeEvent, PAL_INFINITE);
        if (__atomic_load_n(&subsystem->stop, __ATOMIC_ACQUIRE) == 1) break;
        Hold service(subsystem->serviceLock);
        dssSubsystemWorkListProcess(subsystem, kSliceBudgetMs);
    }
    palEventSet(subsystem->doneEvent);
    return 0;
}

TcsResult dssSubsystemPostStartup(CoreSubsystem* stack, DssSubsystem* subsystem) {
    if (stack == nullptr || subsystem == nullptr) return TCS_RESULT_BAD_PARAM;
    TcsHandle client = 0;
    TcsResult result = tcsClientCreateSys(stack, &client);
    if (result != TCS_RESULT_OK) return result;
    void* record = nullptr;
    tcsSafeClientHandleFetch(client, &record);
    subsystem->systemClient = static_cast<ClientRecord*>(record);
    return TCS_RESULT_OK;
}

TcsResult dssSubsystemShutdown(DssSubsystem* subsystem) {
    if (subsystem == nullptr) return TCS_RESULT_INVALID_HANDLE;
    TcsResult result = TCS_RESULT_OK;
    if (hasThread(subsystem)) {
        __atomic_store_n(&subsystem->stop, 1u, __ATOMIC_RELEASE);
        if (palEventSet(subsystem->workList.wakeEvent) != TCS_RESULT_OK) result = TCS_RESULT_SHUTDOWN_FAILED;
        palEventWaitFor(subsystem->doneEvent, kThreadStopMs);
        // The done event is the thread's last act; let it return before its record goes.
        palThreadWaitFor(subsystem->thread, kThreadStopMs);
        palThreadFree(subsystem->thread);
        __atomic_store_n(&subsystem->thread, PalThreadHandle(0), __ATOMIC_RELEASE);
    }
    if (subsystem->systemClient != nullptr) {
        uint64_t handle = 0;
        // The stack destroys its clients before it stops the database: the system client is
        // normally gone, and one whose destroy already began (and timed out) is not waited for again.
        if (tcsSafeHandleReverseFetch(subsystem->systemClient, TCS_HANDLE_TYPE_CLIENT, &handle) == TCS_RESULT_OK &&
            tcsClientValidate(subsystem->systemClient) == TCS_RESULT_OK) {
            tcsClientDestroy(handle);
        }
        subsystem->systemClient = nullptr;
    }
    // Requests still queued stay unrun; their blocks go with the list.
    while (!palListIsEmpty(&subsystem->workList.links)) {
        PalListEntry* e = subsystem->workList.links.next;
        palListRemove(e);
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(e);
        discardItem(item);
        palWorkItemDestroy(item);
    }
    palEventFree(subsystem->workList.wakeEvent);
    palEventFree(subsystem->doneEvent);
    freeRecord(subsystem);
    return result;
}

TcsResult dssSubsystemService(DssSubsystem* subsystem, uint32_t budgetMs) {
    if (subsystem == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (hasThread(subsystem) && !palIsCurrentThread(subsystem->thread, nullptr)) return TCS_RESULT_OK;
    Hold service(subsystem->serviceLock);
    dssSubsystemWorkListProcess(subsystem, budgetMs);
    return TCS_RESULT_OK;
}

TcsResult dssSubsystemWorkListProcess(DssSubsystem* subsystem, uint32_t budgetMs) {
    if (subsystem == nullptr) return TCS_RESULT_INVALID_HANDLE;
    WorkList& list = subsystem->workList;
    uint32_t start = palGetTickCount();
    uint32_t count = 0;
    {
        Hold hold(list.listLock);
        if (!hold.held()) return TCS_RESULT_INVALID;
        for (PalListEntry* e = list.links.next; e != &list.links; e = e->next) ++count;
    }
    if (count == 0) return TCS_RESULT_NO_WORK_ITEMS;
    bool workLeft = false;
    for (uint32_t visit = 0; visit < count; ++visit) {
        if (palGetTickCount() - start > budgetMs) {
            if (list.wakeEvent != nullptr) palEventSet(list.wakeEvent);
            workLeft = true;
            break;
        }
        WorkItem* item = nullptr;
        bool run = false;
        {
            Hold hold(list.listLock);
            if (!hold.held()) return TCS_RESULT_INVALID;
            if (palListIsEmpty(&list.links)) break;
            item = PAL_WORK_ITEM_FROM_LINKS(list.links.next);
            run = itemState(item) != TCS_ITEM_DONE;
            if (run) subsystem->running = item;
        }
        if (run) runStep(subsystem, item);
        bool destroy = false;
        {
            Hold hold(list.listLock);
            if (!hold.held()) return TCS_RESULT_INVALID;
            subsystem->running = nullptr;
            if (itemFinished(item) != 0) itemState(item) = TCS_ITEM_DONE;
            palListRemove(&item->links);
            if (itemState(item) == TCS_ITEM_DONE) {
                destroy = true;
            } else {
                palListInsertTail(&list.links, &item->links);
                if (list.wakeEvent != nullptr) palEventSet(list.wakeEvent);
                workLeft = true;
            }
        }
        if (destroy) {
            // Marked done by a cancel before its handler finished: dropped without its callback.
            if (itemFinished(item) == 0) discardItem(item);
            palWorkItemDestroy(item);
        }
    }
    Hold hold(list.listLock);
    if (!hold.held()) return TCS_RESULT_INVALID;
    return !palListIsEmpty(&list.links) && workLeft ? TCS_RESULT_OK : TCS_RESULT_NO_WORK_ITEMS;
}

TcsResult dssSubsystemWaitForResponse(DssSubsystem* subsystem, PalEvent* event, uint32_t timeoutMs) {
    uint32_t start = palGetTickCount();
    for (;;) {
        TcsResult result = palEventWaitFor(event, kWaitPollMs);
        if (result != TCS_RESULT_TIMEOUT) return result;
        if (palGetTickCount() - start >= timeoutMs) return TCS_RESULT_TIMEOUT;
        if (subsystem != nullptr && !hasThread(subsystem)) dssSubsystemService(subsystem, kSliceBudgetMs);
    }
}

TcsResult dssCancelRequest(DssSubsystem* subsystem, uint32_t kind) {
    if (subsystem == nullptr) return TCS_RESULT_INVALID_HANDLE;
    return _tcsCompleteWorkItem(&subsystem->workList, kind);
}

TcsResult dssGetDbgFlags(uint32_t* outFlags) {
    if (outFlags == nullptr) return TCS_RESULT_BAD_PARAM;
    *outFlags = 0;
    return TCS_RESULT_OK;
}
TcsResult dssSetDbgFlags(uint32_t) { return TCS_RESULT_OK; }
TcsResult dssGetDbgSystems(uint32_t* outSystems) {
    if (outSystems == nullptr) return TCS_RESULT_BAD_PARAM;
    *outSystems = 0;
    return TCS_RESULT_OK;
}
TcsResult dssSetDbgSystems(uint32_t) { return TCS_RESULT_OK; }

}  // extern "C"
