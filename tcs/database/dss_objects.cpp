// Template database records: databases, app storages, users, templates and storages, their child
// lists, and the CRC-guarded (optionally padded for a cipher) blobs they carry.
#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "tcs/database/dss_store.h"
#include "tcs/flashfs/fss_internal.h"
#include "tcs/handle_map.h"

#include <cstddef>
#include <cstring>

namespace {

constexpr uint32_t kCrcAlgorithm = 11;
constexpr uint32_t kFilePageData = 240;  // data bytes of one file-system page
constexpr uint32_t kFilePageSize = 256;
constexpr uint32_t kUserFileOverhead = 12;  // the ".dat" file's user record

// The client's third key slot is the blob cipher; the two records must keep one layout.
static_assert(sizeof(SymmetricKeySlot) == sizeof(DssBlobCipher));
static_assert(offsetof(SymmetricKeySlot, algorithm) == offsetof(DssBlobCipher, algorithm));
static_assert(offsetof(SymmetricKeySlot, keyLength) == offsetof(DssBlobCipher, blockLength));
static_assert(offsetof(SymmetricKeySlot, key) == offsetof(DssBlobCipher, key));
static_assert(offsetof(SymmetricKeySlot, keyLength2) == offsetof(DssBlobCipher, keyLength));

class Lock {
public:
    explicit Lock(PalMutexHandle lock) : lock_(lock), held_(lock != nullptr && palCriticalSectionAcquire(lock) == 0) {}
    ~Lock() {
        if (held_) palCriticalSectionRelease(lock_);
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    bool held() const { return held_; }

private:
    PalMutexHandle lock_;
    bool held_;
};

template <class T>
T* allocRecord() {
    auto* record = static_cast<T*>(palRealMalloc(sizeof(T)));
    if (record != nullptr) std::memset(record, 0, sizeof(T));
    return record;
}

void freeLock(PalMutexHandle& lock) {
    if (lock != nullptr) palCriticalSectionFree(lock);
    lock = nullptr;
}

DssBlobCipher* clientCipher(ClientRecord* client) {
    auto* cipher = reinterpret_cast<DssBlobCipher*>(&client->keyC);
    return cipher->inUse != 0 ? cipher : nullptr;
}

DssSubsystem* subsystemOf(ClientRecord* client) {
    return client != nullptr && client->stack != nullptr ? client->stack->database : nullptr;
}

// A null system client is made on first need, as the service's post start-up would have.
TcsResult ensureSystemClient(ClientRecord* client) {
    DssSubsystem* subsystem = subsystemOf(client);
    if (subsystem == nullptr || subsystem->systemClient != nullptr) return TCS_RESULT_OK;
    return dssSubsystemPostStartup(client->stack, subsystem);
}

ClientRecord* systemClientOf(ClientRecord* client) {
    DssSubsystem* subsystem = subsystemOf(client);
    return subsystem != nullptr ? subsystem->systemClient : nullptr;
}

bool isPowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

DssDataBlob* findBlob(DssDataBlob* head, uint32_t id) {
    for (DssDataBlob* blob = head; blob != nullptr; blob = blob->next) {
        if (blob->id == id) return blob;
    }
    return nullptr;
}

uint64_t blobListSize(const DssDataBlob* head) {
    uint64_t total = 0;
    for (const DssDataBlob* blob = head; blob != nullptr; blob = blob->next) {
        total += DSS_BLOB_RECORD_OVERHEAD + uint64_t(blob->storedLength);
    }
    return total;
}

uint32_t clampU32(uint64_t value) { return value > UINT32_MAX ? UINT32_MAX : uint32_t(value); }

// Asks the file system for room for a file of total bytes, collecting garbage first if need be.
TcsResult checkRoom(FssHandle* fileSystem, uint64_t total, uint32_t* outOk) {
    *outOk = 0;
    if (fileSystem == nullptr || fileSystem->mount == nullptr) return TCS_RESULT_INVALID_DATABASE_SPEC;
    const uint64_t need = (total / kFilePageData + 2) * kFilePageSize;
    if (need > UINT32_MAX) return TCS_RESULT_OK;
    return fssdetail::fssTriggerEraseAlgorithm(fileSystem, uint32_t(need), outOk);
}

DssDatabase* databaseOfUser(const DssUser* user) {
    return user->appStorage != nullptr ? user->appStorage->database : nullptr;
}

// The data-and-CRC view of a blob. A blob made by a set under a cipher still holds pad byte, IV and
// padding until it is written; reading it before then used to hand out those bytes as if they were
// the data. The view skips them, so a read gives the same bytes before and after the write.
struct BlobView {
    const uint8_t* bytes;
    uint32_t length;  // data + 4
};

BlobView viewOf(DssDataBlob* blob, const DssBlobCipher* cipher) {
    uint8_t* bytes = dssBlobBytes(blob);
    if (blob->state == 1 && cipher != nullptr) {
        const uint32_t pad = bytes[0];
        const uint64_t overhead = 1 + uint64_t(cipher->blockLength) + pad;
        if (blob->storedLength >= overhead + 4) return {bytes + 1 + cipher->blockLength, uint32_t(blob->storedLength - overhead)};
    }
    return {bytes, blob->storedLength};
}

TcsResult getData(DssDataBlob* head, const DssBlobCipher* cipher, uint32_t id, void* buffer, uint32_t* inOutLength) {
    if (inOutLength == nullptr) return TCS_RESULT_NULL_POINTER;
    DssDataBlob* blob = findBlob(head, id);
    if (blob == nullptr) return TCS_RESULT_DATA_ID_DOESNT_EXIST;
    const BlobView view = viewOf(blob, cipher);
    const uint32_t dataLength = view.length >= 4 ? view.length - 4 : 0;
    if (buffer == nullptr || *inOutLength == 0) {
        *inOutLength = dataLength;
        return TCS_RESULT_OK;
    }
    if (*inOutLength < dataLength) return TCS_RESULT_BUFFER_TOO_SMALL;
    if (*inOutLength <= view.length) {
        std::memcpy(buffer, view.bytes, *inOutLength);
    } else {
        std::memcpy(buffer, view.bytes, view.length);
        *inOutLength = view.length;
    }
    return TCS_RESULT_OK;
}

// Adds a blob under the database's cipher and asks for room; total() gives the file bytes to check.
template <class Total>
TcsResult setData(DssDataBlob** head, uint32_t* changed, FssHandle* fileSystem, const DssBlobCipher* cipher,
                  uint32_t id, const void* data, uint32_t length, Total total) {
    if (findBlob(*head, id) != nullptr) return TCS_RESULT_DATA_ID_EXISTS;
    TcsResult result = createDataBlob(id, length, data, *head, head, cipher);
    if (result != TCS_RESULT_OK) return result;
    uint32_t ok = 0;
    result = checkRoom(fileSystem, total(), &ok);
    if (result == TCS_RESULT_OK && ok == 0) result = DSS_RESULT_NO_ROOM;
    if (result != TCS_RESULT_OK) {
        deleteData(head, id);
        // A set refused for want of room used to clear the changed mark of the object's earlier
        // changes, which were then never written at close; the mark is only ever raised here.
        return result;
    }
    *changed = 1;
    return TCS_RESULT_OK;
}

void dropHeadBlob(DssDataBlob** head) {
    if (*head != nullptr) deleteData(head, DSS_BLOB_HEAD);
}

// Unlinks a record from its owner's list under the owner's lock; the lock's failure is returned but
// the record is unlinked all the same, since it is about to be freed.
TcsResult unlinkUnder(PalMutexHandle lock, PalListEntry* links) {
    Lock guard(lock);
    if (links->next != nullptr && links->next != PAL_LIST_POISON_NEXT) palListRemove(links);
    return guard.held() ? TCS_RESULT_OK : TCS_RESULT_MUTEX_ACQUISITION_FAILED;
}

void linkUnder(PalMutexHandle lock, PalListEntry* head, PalListEntry* links) {
    Lock guard(lock);
    palListInsertTail(head, links);
}

DssUser* newUserRecord(DssAppStorage* appStorage, uint32_t changed, uint32_t loaded) {
    auto* user = allocRecord<DssUser>();
    if (user == nullptr) return nullptr;
    palListInit(&user->links);
    palListInit(&user->templates);
    palCriticalSectionInitialize(&user->templateLock);
    if (user->templateLock == nullptr) {
        palRealFree(user);
        return nullptr;
    }
    user->recordSize = DSS_USER_RECORD_SIZE;
    user->changed = changed;
    user->loaded = loaded;
    user->appStorage = appStorage;
    return user;
}

void freeUserRecord(DssUser* user) {
    sensorDB_FreeDataBlobs(&user->blobs);
    if (user->templateListing != nullptr) fssDirClose(user->templateListing);
    freeLock(user->templateLock);
    palRealFree(user);
}

TcsResult openUser(DssAppStorage* appStorage, DssUser** outUser, uint32_t first) {
    if (appStorage == nullptr) return TCS_RESULT_BAD_PARAM;
    if (outUser == nullptr) return TCS_RESULT_BAD_PARAM;
    DssUser* user = newUserRecord(appStorage, 0, 1);
    if (user == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    const TcsResult result = sensorDB_getUser(user, first);
    if (result != TCS_RESULT_OK) {
        freeUserRecord(user);
        return result;
    }
    linkUnder(appStorage->userLock, &appStorage->users, &user->links);
    *outUser = user;
    return TCS_RESULT_OK;
}

DssTemplate* newTemplateRecord(DssUser* user, uint32_t changed, uint32_t loaded) {
    auto* templ = allocRecord<DssTemplate>();
    if (templ == nullptr) return nullptr;
    palListInit(&templ->links);
    templ->recordSize = DSS_TEMPLATE_RECORD_SIZE;
    templ->changed = changed;
    templ->loaded = loaded;
    templ->user = user;
    return templ;
}

TcsResult openTemplate(DssUser* user, DssTemplate** outTemplate, uint32_t first) {
    TcsResult result = validateUserHandle(user);
    if (result != TCS_RESULT_OK) return result;
    if (outTemplate == nullptr) return TCS_RESULT_NULL_POINTER;
    DssTemplate* templ = newTemplateRecord(user, 0, 1);
    if (templ == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    result = sensorDB_getTemplate(templ, first);
    if (result != TCS_RESULT_OK) {
        sensorDB_FreeDataBlobs(&templ->blobs);
        palRealFree(templ);
        return result;
    }
    linkUnder(user->templateLock, &user->templates, &templ->links);
    *outTemplate = templ;
    return TCS_RESULT_OK;
}

DssStorage* newStorageRecord(DssAppStorage* appStorage, uint32_t changed, uint32_t loaded) {
    auto* storage = allocRecord<DssStorage>();
    if (storage == nullptr) return nullptr;
    palListInit(&storage->links);
    storage->recordSize = DSS_STORAGE_RECORD_SIZE;
    storage->changed = changed;
    storage->loaded = loaded;
    storage->appStorage = appStorage;
    return storage;
}

TcsResult openStorage(DssAppStorage* appStorage, DssStorage** outStorage, uint32_t first) {
    if (appStorage == nullptr || outStorage == nullptr) return TCS_RESULT_BAD_PARAM;
    DssStorage* storage = newStorageRecord(appStorage, 0, 1);
    if (storage == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    const TcsResult result = sensorDB_getStorage(storage, first);
    if (result != TCS_RESULT_OK) {
        sensorDB_FreeDataBlobs(&storage->blobs);
        palRealFree(storage);
        return result;
    }
    linkUnder(appStorage->storageLock, &appStorage->storages, &storage->links);
    *outStorage = storage;
    return TCS_RESULT_OK;
}

// Closes the sensor a database opened for itself, or frees a file store's name.
TcsResult releaseStoreHandle(DssDatabase* database) {
    TcsResult result = TCS_RESULT_OK;
    if (database->storeKind == DSS_STORE_SENSOR) {
        if (database->sensorHandle != 0) result = tcsSensorClose(database->sensorHandle);
        database->sensorHandle = 0;
        database->sensor = nullptr;
    } else if (database->storeKind == DSS_STORE_FILE) {
        palRealFree(database->fileName);
        database->fileName = nullptr;
    } else {
        result = TCS_RESULT_INVALID_DATABASE_SPEC;
    }
    return result;
}

TcsResult prepareDatabase(ClientRecord* client, const char* url, DssDatabase** outDatabase) {
    auto* database = allocRecord<DssDatabase>();
    if (database == nullptr) return TCS_RESULT_NULL_POINTER;
    palListInit(&database->clientLinks);
    palListInit(&database->storeLinks);
    palListInit(&database->appStorages);
    palCriticalSectionInitialize(&database->appStorageLock);
    if (database->appStorageLock == nullptr) {
        palRealFree(database);
        return TCS_RESULT_NULL_POINTER;
    }
    database->client = client;
    database->cipher = clientCipher(client);
    TcsResult result = ensureSystemClient(client);
    if (result == TCS_RESULT_OK) result = dssOpenDatabaseStorageHandle(systemClientOf(client), url, database);
    if (result != TCS_RESULT_OK) {
        releaseStoreHandle(database);
        freeLock(database->appStorageLock);
        palRealFree(database);
        return result;
    }
    *outDatabase = database;
    return TCS_RESULT_OK;
}

// A format throws away the file system's listings with the tree: every listing the database and its
// open users hold is closed first, so none is closed a second time later.
void closeListings(DssDatabase* database) {
    if (database->userListing != nullptr) fssDirClose(database->userListing);
    if (database->storageListing != nullptr) fssDirClose(database->storageListing);
    database->userListing = nullptr;
    database->storageListing = nullptr;
    Lock apps(database->appStorageLock);
    for (PalListEntry* a = database->appStorages.next; a != &database->appStorages; a = a->next) {
        auto* appStorage = PAL_LIST_RECORD(a, DssAppStorage, links);
        Lock users(appStorage->userLock);
        for (PalListEntry* u = appStorage->users.next; u != &appStorage->users; u = u->next) {
            auto* user = PAL_LIST_RECORD(u, DssUser, links);
            if (user->templateListing != nullptr) fssDirClose(user->templateListing);
            user->templateListing = nullptr;
        }
    }
}

TcsResult checkUrl(const char* url, TcsResult shortCode) {
    if (std::strlen(url) < 4) return shortCode;
    const char* rest = nullptr;
    return parseUrl(url, &rest);
}

}  // namespace

extern "C" {

TcsResult validateUserHandle(const DssUser* user) {
    return user == nullptr ? TCS_RESULT_INVALID_USER_HANDLE : TCS_RESULT_OK;
}
TcsResult validateDatabaseHandle(const DssDatabase* database) {
    return database == nullptr ? TCS_RESULT_INVALID_DATABASE_HANDLE : TCS_RESULT_OK;
}
TcsResult validateTemplateHandle(const DssTemplate* templ) {
    return templ == nullptr ? TCS_RESULT_INVALID_TEMPLATE_HANDLE : TCS_RESULT_OK;
}
TcsResult validateStorageHandle(const DssStorage* storage) {
    return storage == nullptr ? TCS_RESULT_INVALID : TCS_RESULT_OK;
}

// --- Databases ----------------------------------------------------------------------------------------

TcsResult dssPrepareOpenDatabase(ClientRecord* client, const char* url, DssDatabase** outDatabase) {
    if (url == nullptr || outDatabase == nullptr || client == nullptr) return TCS_RESULT_NULL_POINTER;
    const TcsResult result = checkUrl(url, TCS_RESULT_BAD_PARAM);
    if (result != TCS_RESULT_OK) return result;
    return prepareDatabase(client, url, outDatabase);
}

TcsResult dssOpenDatabase(ClientRecord* client, const char* url, DssDatabase** outDatabase) {
    if (outDatabase == nullptr) return TCS_RESULT_NULL_POINTER;
    DssDatabase* database = nullptr;
    TcsResult result = dssPrepareOpenDatabase(client, url, &database);
    if (result != TCS_RESULT_OK) return result;
    result = sensorDB_openDatabase(database);
    if (result != TCS_RESULT_OK) {
        dssCloseDatabase(database);
        return result;
    }
    database->openFlag = 1;
    linkUnder(client->databaseLock, &client->databases, &database->clientLinks);
    *outDatabase = database;
    return TCS_RESULT_OK;
}

TcsResult dssCloseDatabase(DssDatabase* database) {
    TcsResult result = validateDatabaseHandle(database);
    if (result != TCS_RESULT_OK) return result;
    result = sensorDB_closeDatabase(database);
    const TcsResult released = releaseStoreHandle(database);
    if (result == TCS_RESULT_OK) result = released;
    const TcsResult unlinked =
        unlinkUnder(database->client != nullptr ? database->client->databaseLock : nullptr, &database->clientLinks);
    if (result == TCS_RESULT_OK && database->client != nullptr) result = unlinked;
    freeLock(database->appStorageLock);
    const TcsResult destroyed = tcsSafeExHandleDestroy(database, TCS_HANDLE_TYPE_DATABASE);
    return result != TCS_RESULT_OK ? result : destroyed;
}

TcsResult dssCleanupDatabaseOpenPreparation(DssDatabase* database) {
    TcsResult result = validateDatabaseHandle(database);
    if (result != TCS_RESULT_OK) return result;
    result = releaseStoreHandle(database);
    freeLock(database->appStorageLock);
    palRealFree(database);
    return result;
}

TcsResult dssFormatDatabase(ClientRecord* client, const char* url) {
    if (url == nullptr || client == nullptr) return TCS_RESULT_BAD_PARAM;
    TcsResult result = checkUrl(url, TCS_RESULT_BAD_PARAM);
    if (result != TCS_RESULT_OK) return result;
    DssDatabase* temporary = nullptr;
    result = prepareDatabase(client, url, &temporary);
    if (result == TCS_RESULT_NULL_POINTER) return TCS_RESULT_BAD_PARAM;
    if (result != TCS_RESULT_OK) return result;

    DssSubsystem* subsystem = subsystemOf(client);
    Lock guard(subsystem != nullptr ? subsystem->openStoreLock : nullptr);
    DssDatabase* shared = nullptr;
    if (subsystem != nullptr) sensorDB_getFssHandle(temporary, &shared);
    if (shared != nullptr) {
        // An open database keeps the store in its file system's memory and writes it back at its
        // close: a format of a second copy of the store was undone by that close. The store is
        // formatted through the open file system instead.
        closeListings(shared);
        result = sensorDB_eraseDatabase(temporary->sensor, shared->fileSystem, temporary->storeKind,
                                        temporary->fileName);
    } else {
        result = sensorDB_eraseDatabase(temporary->sensor, nullptr, temporary->storeKind, temporary->fileName);
    }
    if (temporary->storeKind == DSS_STORE_SENSOR && temporary->sensor != nullptr) {
        const TcsResult cleared = _tcsSensorSetLastIdentificationCtx(temporary->sensor, nullptr, 0);
        if (result == TCS_RESULT_OK) result = cleared;
    }
    // Refuse the open database's requests until it is opened again.
    if (shared != nullptr) shared->fileSystem->valid = 0;
    const TcsResult cleaned = dssCleanupDatabaseOpenPreparation(temporary);
    return result != TCS_RESULT_OK ? result : cleaned;
}

TcsResult dssEraseDatabase(DssDatabase* database) {
    const TcsResult result = validateDatabaseHandle(database);
    if (result != TCS_RESULT_OK) return result;
    closeListings(database);
    return sensorDB_eraseDatabase(database->sensor, database->fileSystem, database->storeKind, database->fileName);
}

// --- App storages -------------------------------------------------------------------------------------

TcsResult dssCreateAppStorage(DssDatabase* database, const char* name, uint32_t option,
                              DssAppStorage** outAppStorage) {
    TcsResult result = validateDatabaseHandle(database);
    if (result != TCS_RESULT_OK) return result;
    if (outAppStorage == nullptr || name == nullptr) return TCS_RESULT_NULL_POINTER;
    auto* appStorage = allocRecord<DssAppStorage>();
    if (appStorage == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    palListInit(&appStorage->links);
    palListInit(&appStorage->storages);
    palListInit(&appStorage->users);
    palCriticalSectionInitialize(&appStorage->storageLock);
    palCriticalSectionInitialize(&appStorage->userLock);
    appStorage->recordSize = DSS_APP_STORAGE_RECORD_SIZE;
    appStorage->changed = 1;
    std::strncpy(appStorage->name, name, DSS_APP_NAME_SIZE - 1);
    appStorage->option = option;
    appStorage->database = database;
    result = (appStorage->storageLock == nullptr || appStorage->userLock == nullptr) ? TCS_RESULT_OUT_OF_MEMORY
                                                                                     : sensorDB_createAppStorage(appStorage);
    if (result != TCS_RESULT_OK) {
        freeLock(appStorage->storageLock);
        freeLock(appStorage->userLock);
        palRealFree(appStorage);
        return result;
    }
    linkUnder(database->appStorageLock, &database->appStorages, &appStorage->links);
    *outAppStorage = appStorage;
    return TCS_RESULT_OK;
}

TcsResult dssCloseAppStorage(DssAppStorage* appStorage) {
    if (appStorage == nullptr) return TCS_RESULT_NULL_POINTER;
    const TcsResult result = unlinkUnder(appStorage->database->appStorageLock, &appStorage->links);
    freeLock(appStorage->storageLock);
    freeLock(appStorage->userLock);
    const TcsResult destroyed = tcsSafeExHandleDestroy(appStorage, TCS_HANDLE_TYPE_APP_STORAGE);
    return result != TCS_RESULT_OK ? result : destroyed;
}

TcsResult dssDeleteAppStorage(DssAppStorage* appStorage) {
    if (appStorage == nullptr) return TCS_RESULT_NULL_POINTER;
    {
        Lock users(appStorage->userLock);
        if (!users.held()) return TCS_RESULT_NULL_POINTER;
        for (PalListEntry* u = appStorage->users.next; u != &appStorage->users; u = u->next) {
            auto* user = PAL_LIST_RECORD(u, DssUser, links);
            Lock templates(user->templateLock);
            if (!templates.held()) return TCS_RESULT_MUTEX_ACQUISITION_FAILED;
            for (PalListEntry* t = user->templates.next; t != &user->templates; t = t->next) {
                auto* templ = PAL_LIST_RECORD(t, DssTemplate, links);
                dropHeadBlob(&templ->blobs);
                templ->changed = 0;
            }
            dropHeadBlob(&user->blobs);
            user->changed = 0;
        }
    }
    return sensorDB_deleteAppStorage(appStorage);
}

// --- Users --------------------------------------------------------------------------------------------

TcsResult dssCreateUser(DssAppStorage* appStorage, DssUser** outUser) {
    if (appStorage == nullptr || outUser == nullptr) return TCS_RESULT_NULL_POINTER;
    DssUser* user = newUserRecord(appStorage, 1, 0);
    if (user == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    user->number = 1;
    const TcsResult result = sensorDB_createUser(user);
    if (result != TCS_RESULT_OK) {
        freeUserRecord(user);
        return result;
    }
    linkUnder(appStorage->userLock, &appStorage->users, &user->links);
    *outUser = user;
    return TCS_RESULT_OK;
}

TcsResult dssOpenFirstUser(DssAppStorage* appStorage, DssUser** outUser) { return openUser(appStorage, outUser, 1); }
TcsResult dssOpenNextUser(DssAppStorage* appStorage, DssUser** outUser) { return openUser(appStorage, outUser, 0); }

TcsResult dssCloseUser(DssUser* user) {
    TcsResult result = validateUserHandle(user);
    if (result != TCS_RESULT_OK) return result;
    if (user->deleted == 0) result = sensorDB_closeUser(user);
    const TcsResult unlinked = unlinkUnder(user->appStorage->userLock, &user->links);
    if (result == TCS_RESULT_OK) result = unlinked;
    sensorDB_FreeDataBlobs(&user->blobs);
    if (user->templateListing != nullptr) fssDirClose(user->templateListing);
    user->templateListing = nullptr;
    freeLock(user->templateLock);
    const TcsResult destroyed = tcsSafeExHandleDestroy(user, TCS_HANDLE_TYPE_USER);
    return result != TCS_RESULT_OK ? result : destroyed;
}

TcsResult dssDeleteUser(DssUser* user) {
    const TcsResult result = validateUserHandle(user);
    if (result != TCS_RESULT_OK) return result;
    {
        Lock templates(user->templateLock);
        if (!templates.held()) return TCS_RESULT_MUTEX_ACQUISITION_FAILED;
        for (PalListEntry* t = user->templates.next; t != &user->templates; t = t->next) {
            auto* templ = PAL_LIST_RECORD(t, DssTemplate, links);
            dropHeadBlob(&templ->blobs);
            templ->changed = 0;
        }
    }
    dropHeadBlob(&user->blobs);
    return sensorDB_deleteUser(user);
}

TcsResult dssGetUserCount(DssAppStorage* appStorage, uint32_t* outCount) {
    if (appStorage == nullptr || outCount == nullptr) return TCS_RESULT_BAD_PARAM;
    return sensorDB_getUserCount(appStorage, outCount);
}

// --- Templates ----------------------------------------------------------------------------------------

TcsResult dssCreateTemplate(DssUser* user, DssTemplate** outTemplate) {
    TcsResult result = validateUserHandle(user);
    if (result != TCS_RESULT_OK) return result;
    if (outTemplate == nullptr) return TCS_RESULT_NULL_POINTER;
    DssTemplate* templ = newTemplateRecord(user, 1, 0);
    if (templ == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    result = sensorDB_createTemplate(templ);
    if (result != TCS_RESULT_OK) {
        palRealFree(templ);
        return result;
    }
    linkUnder(user->templateLock, &user->templates, &templ->links);
    *outTemplate = templ;
    return TCS_RESULT_OK;
}

TcsResult dssOpenFirstTemplate(DssUser* user, DssTemplate** outTemplate) { return openTemplate(user, outTemplate, 1); }
TcsResult dssOpenNextTemplate(DssUser* user, DssTemplate** outTemplate) { return openTemplate(user, outTemplate, 0); }

TcsResult dssCloseTemplate(DssTemplate* templ) {
    TcsResult result = validateTemplateHandle(templ);
    if (result != TCS_RESULT_OK) return result;
    if (templ->user->deleted == 0) result = sensorDB_closeTemplate(templ);
    sensorDB_FreeDataBlobs(&templ->blobs);
    const TcsResult unlinked = unlinkUnder(templ->user->templateLock, &templ->links);
    if (result == TCS_RESULT_OK) result = unlinked;
    const TcsResult destroyed = tcsSafeExHandleDestroy(templ, TCS_HANDLE_TYPE_DB_TEMPLATE);
    return result != TCS_RESULT_OK ? result : destroyed;
}

TcsResult dssDeleteTemplate(DssTemplate* templ) {
    const TcsResult result = validateTemplateHandle(templ);
    if (result != TCS_RESULT_OK) return result;
    dropHeadBlob(&templ->blobs);
    return sensorDB_deleteTemplate(templ);
}

// --- Storages -----------------------------------------------------------------------------------------

TcsResult dssCreateStorage(DssAppStorage* appStorage, DssStorage** outStorage) {
    if (appStorage == nullptr || outStorage == nullptr) return TCS_RESULT_NULL_POINTER;
    DssStorage* storage = newStorageRecord(appStorage, 1, 0);
    if (storage == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    const TcsResult result = sensorDB_createStorage(storage);
    if (result != TCS_RESULT_OK) {
        palRealFree(storage);
        return result;
    }
    linkUnder(appStorage->storageLock, &appStorage->storages, &storage->links);
    *outStorage = storage;
    return TCS_RESULT_OK;
}

TcsResult dssOpenFirstStorage(DssAppStorage* appStorage, DssStorage** outStorage) {
    return openStorage(appStorage, outStorage, 1);
}
TcsResult dssOpenNextStorage(DssAppStorage* appStorage, DssStorage** outStorage) {
    return openStorage(appStorage, outStorage, 0);
}

TcsResult dssCloseStorage(DssStorage* storage) {
    TcsResult result = validateStorageHandle(storage);
    if (result != TCS_RESULT_OK) return result;
    // A storage of a deleted app storage has no directory left to be written to; its close used to
    // fail on the missing directory.
    if (storage->appStorage->deleted == 0) result = sensorDB_closeStorage(storage);
    sensorDB_FreeDataBlobs(&storage->blobs);
    const TcsResult unlinked = unlinkUnder(storage->appStorage->storageLock, &storage->links);
    if (result == TCS_RESULT_OK) result = unlinked;
    const TcsResult destroyed = tcsSafeExHandleDestroy(storage, TCS_HANDLE_TYPE_STORAGE);
    return result != TCS_RESULT_OK ? result : destroyed;
}

TcsResult dssDeleteStorage(DssStorage* storage) {
    const TcsResult result = validateStorageHandle(storage);
    if (result != TCS_RESULT_OK) return result;
    dropHeadBlob(&storage->blobs);
    return sensorDB_deleteStorage(storage);
}

// --- Blobs --------------------------------------------------------------------------------------------

TcsResult dssSetUserData(DssUser* user, uint32_t id, const void* data, uint32_t length) {
    const TcsResult result = validateUserHandle(user);
    if (result != TCS_RESULT_OK) return result;
    DssDatabase* database = databaseOfUser(user);
    if (database == nullptr) return TCS_RESULT_NULL_POINTER;
    return setData(&user->blobs, &user->changed, database->fileSystem, database->cipher, id, data, length,
                   [user] { return kUserFileOverhead + blobListSize(user->blobs) + user->templateBytes; });
}

TcsResult dssSetTemplateData(DssTemplate* templ, uint32_t id, const void* data, uint32_t length) {
    const TcsResult result = validateTemplateHandle(templ);
    if (result != TCS_RESULT_OK) return result;
    DssUser* user = templ->user;
    DssDatabase* database = user != nullptr ? databaseOfUser(user) : nullptr;
    if (database == nullptr) return TCS_RESULT_NULL_POINTER;
    const TcsResult set = setData(&templ->blobs, &templ->changed, database->fileSystem, database->cipher, id, data,
                                  length, [user, templ] {
                                      const uint64_t templateBytes = blobListSize(templ->blobs);
                                      user->templateBytes = clampU32(templateBytes);
                                      return kUserFileOverhead + blobListSize(user->blobs) + templateBytes;
                                  });
    // After a refused set the template bytes are those of the blobs the template still holds.
    if (set != TCS_RESULT_OK) user->templateBytes = clampU32(blobListSize(templ->blobs));
    return set;
}

TcsResult dssSetStorageData(DssStorage* storage, uint32_t id, const void* data, uint32_t length) {
    const TcsResult result = validateStorageHandle(storage);
    if (result != TCS_RESULT_OK) return result;
    DssDatabase* database = storage->appStorage != nullptr ? storage->appStorage->database : nullptr;
    if (database == nullptr) return TCS_RESULT_NULL_POINTER;
    return setData(&storage->blobs, &storage->changed, database->fileSystem, database->cipher, id, data, length,
                   [storage] { return blobListSize(storage->blobs); });
}

TcsResult dssGetUserData(DssUser* user, uint32_t id, void* buffer, uint32_t* inOutLength) {
    const TcsResult result = validateUserHandle(user);
    if (result != TCS_RESULT_OK) return result;
    DssDatabase* database = databaseOfUser(user);
    return getData(user->blobs, database != nullptr ? database->cipher : nullptr, id, buffer, inOutLength);
}

TcsResult dssGetTemplateData(DssTemplate* templ, uint32_t id, void* buffer, uint32_t* inOutLength) {
    const TcsResult result = validateTemplateHandle(templ);
    if (result != TCS_RESULT_OK) return result;
    DssDatabase* database = templ->user != nullptr ? databaseOfUser(templ->user) : nullptr;
    return getData(templ->blobs, database != nullptr ? database->cipher : nullptr, id, buffer, inOutLength);
}

TcsResult dssGetStorageData(DssStorage* storage, uint32_t id, void* buffer, uint32_t* inOutLength) {
    const TcsResult result = validateStorageHandle(storage);
    if (result != TCS_RESULT_OK) return result;
    DssDatabase* database = storage->appStorage != nullptr ? storage->appStorage->database : nullptr;
    return getData(storage->blobs, database != nullptr ? database->cipher : nullptr, id, buffer, inOutLength);
}

TcsResult dssDeleteUserData(DssUser* user, uint32_t id) {
    TcsResult result = validateUserHandle(user);
    if (result != TCS_RESULT_OK) return result;
    result = deleteData(&user->blobs, id);
    if (result == TCS_RESULT_OK) user->changed = 1;
    return result;
}

TcsResult dssDeleteTemplateData(DssTemplate* templ, uint32_t id) {
    TcsResult result = validateTemplateHandle(templ);
    if (result != TCS_RESULT_OK) return result;
    result = deleteData(&templ->blobs, id);
    if (result != TCS_RESULT_OK) return result;
    templ->changed = 1;
    if (templ->user != nullptr) templ->user->templateBytes = clampU32(blobListSize(templ->blobs));
    return TCS_RESULT_OK;
}

TcsResult dssDeleteStorageData(DssStorage* storage, uint32_t id) {
    const TcsResult result = validateStorageHandle(storage);
    if (result != TCS_RESULT_OK) return result;
    if (storage->blobs == nullptr) return TCS_RESULT_OK;
    if (id != DSS_BLOB_HEAD && findBlob(storage->blobs, id) == nullptr) return TCS_RESULT_OK;
    deleteData(&storage->blobs, id);
    storage->changed = 1;
    return TCS_RESULT_OK;
}

TcsResult createDataBlob(uint32_t id, uint32_t length, const void* data, DssDataBlob* head, DssDataBlob** outHead,
                         const DssBlobCipher* cipher) {
    if (outHead == nullptr) return TCS_RESULT_BAD_PARAM;
    if (data == nullptr && length != 0) return TCS_RESULT_BAD_PARAM;
    const bool ciphered = cipher != nullptr && cipher->inUse != 0;
    uint64_t stored = uint64_t(length) + 4;
    uint32_t pad = 0;
    uint32_t block = 0;
    if (ciphered) {
        block = cipher->blockLength;
        // The pad count is one byte and the padding rule masks with block - 1.
        if (!isPowerOfTwo(block) || block > 128) return TCS_RESULT_BAD_PARAM;
        pad = (block - ((length + 4u) & (block - 1))) & 255u;
        stored = 1 + uint64_t(block) + length + 4 + pad;
    }
    if (stored > UINT32_MAX - sizeof(DssDataBlob)) return TCS_RESULT_BAD_PARAM;
    auto* blob = static_cast<DssDataBlob*>(palRealMalloc(sizeof(DssDataBlob) + size_t(stored)));
    if (blob == nullptr) return TCS_RESULT_BAD_PARAM;
    std::memset(blob, 0, sizeof(DssDataBlob) + size_t(stored));
    blob->state = 1;
    blob->id = id;
    blob->storedLength = uint32_t(stored);
    uint8_t* bytes = dssBlobBytes(blob);
    uint8_t* dataStart = bytes;
    if (ciphered) {
        bytes[0] = uint8_t(pad);
        if (palCryptoRng(bytes + 1, block) != TCS_RESULT_OK) std::memset(bytes + 1, int(pad), block);
        dataStart = bytes + 1 + block;
    }
    if (length != 0) std::memcpy(dataStart, data, length);
    uint32_t crc = 0;
    palCryptoChecksum(0, &crc, dataStart, length, kCrcAlgorithm);
    std::memcpy(dataStart + length, &crc, 4);  // host byte order
    if (ciphered) std::memset(dataStart + length + 4, int(pad), pad);

    blob->next = head;
    blob->prev = nullptr;
    if (head != nullptr) head->prev = blob;
    *outHead = blob;
    return TCS_RESULT_OK;
}

TcsResult deleteData(DssDataBlob** head, uint32_t id) {
    if (head == nullptr || *head == nullptr) return TCS_RESULT_NULL_POINTER;
    DssDataBlob* blob = id == DSS_BLOB_HEAD ? *head : findBlob(*head, id);
    if (blob == nullptr) return TCS_RESULT_DATA_ID_DOESNT_EXIST;
    if (blob->prev != nullptr) blob->prev->next = blob->next;
    else *head = blob->next;
    if (blob->next != nullptr) blob->next->prev = blob->prev;
    palRealFree(blob);
    return TCS_RESULT_OK;
}

TcsResult checkBlobDataIntegrity(const uint8_t* bytes, const uint32_t* length) {
    if (bytes == nullptr || length == nullptr) return TCS_RESULT_NULL_POINTER;
    if (*length < 4) return TCS_RESULT_ERROR;
    uint32_t crc = 0;
    palCryptoChecksum(0, &crc, bytes, *length - 4, kCrcAlgorithm);
    uint32_t stored = 0;
    std::memcpy(&stored, bytes + *length - 4, 4);
    return crc == stored ? TCS_RESULT_OK : TCS_RESULT_ERROR;
}

}  // extern "C"
