// Template database storage tree: the database URL and shared stores, the directories and blob files
// under "/dbroot" in the flash file system, and the blob-file reader and writer.
#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "tcs/database/dss_store.h"
#include "tcs/handle_map.h"
#include "tcs/sensorctl/protocol/template_cache.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kSha1 = 1;
constexpr uint32_t kKeyHashLength = 20;
constexpr uint32_t kNodeDirectory = 1;
// A stored length beyond any store the file system can hold marks a damaged file, not an allocation to try.
constexpr uint32_t kMaxStoredLength = 0x01000000;

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

DssSubsystem* subsystemOf(const DssDatabase* database) {
    if (database == nullptr || database->client == nullptr || database->client->stack == nullptr) return nullptr;
    return database->client->stack->database;
}

ScsSensor* scsOf(SensorRecord* sensor) { return sensor != nullptr ? sensor->sensorControlSensor : nullptr; }

char* copyString(const char* text) {
    const size_t length = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(palRealMalloc(length));
    if (copy != nullptr) std::memcpy(copy, text, length);
    return copy;
}

void closeListing(FssDirListing*& listing) {
    if (listing != nullptr) fssDirClose(listing);
    listing = nullptr;
}

bool endsWithNoCase(const char* name, const char* suffix) {
    const size_t n = std::strlen(name), s = std::strlen(suffix);
    return n >= s && strcasecmp(name + n - s, suffix) == 0;
}

// A name read as hexadecimal up to the first '.', or false when it is not one.
bool hexNumber(const char* name, uint32_t* outNumber) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(name, &end, 16);
    if (end == name || (*end != '\0' && *end != '.') || value > UINT32_MAX) return false;
    *outNumber = uint32_t(value);
    return true;
}

TcsResult readU32(FssFile* file, uint32_t* out) {
    uint32_t count = 0;
    const TcsResult result = fssFileRead(out, 1, 4, file, &count);
    if (result != TCS_RESULT_OK) return result;
    return count == 4 ? TCS_RESULT_OK : TCS_RESULT_EOF;
}

TcsResult writeBytes(FssFile* file, const void* data, uint32_t length) {
    if (length == 0) return TCS_RESULT_OK;
    uint32_t written = 0;
    const TcsResult result = fssFileWrite(data, 1, length, file, &written);
    if (result != TCS_RESULT_OK) return result;
    return written == length ? TCS_RESULT_OK : TCS_RESULT_FILE_IO_FAILURE;
}

TcsResult writeU32s(FssFile* file, std::initializer_list<uint32_t> values) {
    const std::vector<uint32_t> words(values);
    return writeBytes(file, words.data(), uint32_t(words.size() * 4));
}

// 0 when the directory exists, 397 when it does not. The file system's file information knows
// files only (it reports 397 for a directory), so a directory is asked for by listing it.
TcsResult directoryInfo(FssHandle* fileSystem, const char* path) {
    FssDirListing* listing = nullptr;
    const TcsResult result = fssDirOpen(fileSystem, path, &listing);
    if (result == TCS_RESULT_OK) fssDirClose(listing);
    return result;
}

DssDataBlob** blobListOf(void* object, uint32_t kind) {
    switch (kind) {
        case DSS_OBJECT_TEMPLATE: return &static_cast<DssTemplate*>(object)->blobs;
        case DSS_OBJECT_USER: return &static_cast<DssUser*>(object)->blobs;
        case DSS_OBJECT_STORAGE: return &static_cast<DssStorage*>(object)->blobs;
        default: return nullptr;
    }
}

// Reads one blob file into list; the user number of a user record goes to *userNumber when given.
TcsResult readBlobFile(FssHandle* fileSystem, const char* path, void* object, uint32_t kind,
                       const DssBlobCipher* cipher) {
    FssFile* file = nullptr;
    TcsResult result = fssFileOpen(fileSystem, path, "rb", &file);
    if (result != TCS_RESULT_OK) return result;
    result = sensorDB_deserialize(file, object, kind, cipher);
    fssFileClose(file);
    if (result != TCS_RESULT_OK) sensorDB_FreeDataBlobs(blobListOf(object, kind));
    return result;
}

struct DirEntry {
    std::string name;
    bool directory;
};

// The entries of a directory, read whole so that removing them does not disturb the listing.
TcsResult listDirectory(FssHandle* fileSystem, const char* path, std::vector<DirEntry>* out) {
    FssDirListing* listing = nullptr;
    const TcsResult result = fssDirOpen(fileSystem, path, &listing);
    if (result != TCS_RESULT_OK) return result;
    while (const FssDirEntry* entry = fssDirRead(listing)) {
        char name[sizeof entry->name + 1] = {};
        std::memcpy(name, entry->name, sizeof entry->name);
        out->push_back({name, entry->type == kNodeDirectory});
    }
    fssDirClose(listing);
    return TCS_RESULT_OK;
}

// The next entry of a listing that opens as an object: directories (users) or files with an
// extension (templates, storages). Damaged or unreadable entries are skipped.
template <class Open>
TcsResult nextEntry(FssDirListing* listing, bool directories, const char* extension, TcsResult end, Open open) {
    while (const FssDirEntry* entry = fssDirRead(listing)) {
        char name[sizeof entry->name + 1] = {};
        std::memcpy(name, entry->name, sizeof entry->name);
        if ((entry->type == kNodeDirectory) != directories) continue;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (extension != nullptr && !endsWithNoCase(name, extension)) continue;
        uint32_t number = 0;
        if (!hexNumber(name, &number)) continue;
        if (open(number) == TCS_RESULT_OK) return TCS_RESULT_OK;
    }
    return end;
}

TcsResult openListing(FssHandle* fileSystem, const char* path, FssDirListing** listing, uint32_t first) {
    if (first != 0) closeListing(*listing);
    if (*listing != nullptr) return TCS_RESULT_OK;
    return fssDirOpen(fileSystem, path, listing);
}

// Reads the user directory number of an app storage into user (blobs and number); 0 when it reads.
TcsResult loadUser(FssHandle* fileSystem, const DssAppStorage* appStorage, uint32_t number, DssUser* user,
                   const DssBlobCipher* cipher) {
    char directory[DSS_MAX_PATH];
    TcsResult result = formatFilePath(directory, sizeof directory, appStorage->path, number, "");
    if (result != TCS_RESULT_OK) return result;
    result = directoryInfo(fileSystem, directory);
    if (result != TCS_RESULT_OK) return result;
    FssFile* file = nullptr;
    result = sensorDB_openUserDataFile(fileSystem, directory, "rb", &file);
    if (result != TCS_RESULT_OK) return result;
    result = sensorDB_deserialize(file, user, DSS_OBJECT_USER, cipher);
    fssFileClose(file);
    if (result != TCS_RESULT_OK) {
        sensorDB_FreeDataBlobs(&user->blobs);
        return result;
    }
    user->number = number;
    std::memcpy(user->path, directory, sizeof directory);
    return TCS_RESULT_OK;
}

// The first number from start for which path does not exist; any failure other than 397 is returned.
TcsResult firstFreeNumber(FssHandle* fileSystem, const char* directory, uint32_t start, const char* extension,
                          uint32_t* outNumber, char* outPath) {
    for (uint64_t n = start; n <= UINT32_MAX; ++n) {
        TcsResult result = formatFilePath(outPath, DSS_MAX_PATH, directory, uint32_t(n), extension);
        if (result != TCS_RESULT_OK) return result;
        FssFileInfoRecord info{};
        result = extension[0] == '\0' ? directoryInfo(fileSystem, outPath) : fssFileInfo(fileSystem, outPath, &info);
        if (result == DSS_RESULT_NOT_FOUND) {
            *outNumber = uint32_t(n);
            return TCS_RESULT_OK;
        }
        if (result != TCS_RESULT_OK) return result;
    }
    return DSS_RESULT_NO_ROOM;
}

// Writes a blob file of a template or storage: a new object takes the first free number.
TcsResult writeObjectFile(FssHandle* fileSystem, const char* directory, const char* extension, uint32_t* number,
                          uint32_t* loaded, DssDataBlob** blobs, const DssBlobCipher* cipher) {
    char path[DSS_MAX_PATH];
    TcsResult result = TCS_RESULT_OK;
    const bool isNew = *loaded == 0;
    if (isNew) {
        result = firstFreeNumber(fileSystem, directory, 0, extension, number, path);
    } else {
        result = formatFilePath(path, sizeof path, directory, *number, extension);
    }
    if (result != TCS_RESULT_OK) return result;
    FssFile* file = nullptr;
    result = fssFileOpen(fileSystem, path, "wb", &file);
    if (result != TCS_RESULT_OK) return result;
    result = sensorDB_serializeDataBlobs(file, blobs, cipher);
    const TcsResult closed = fssFileClose(file);
    if (result == TCS_RESULT_OK) result = closed;
    if (result != TCS_RESULT_OK) {
        if (isNew) fssFileRemove(fileSystem, path);
        return result;
    }
    *loaded = 1;
    return TCS_RESULT_OK;
}

// Removes a template or storage file that was written before.
TcsResult removeObjectFile(FssHandle* fileSystem, const char* directory, const char* extension, uint32_t number,
                           TcsResult missing) {
    char path[DSS_MAX_PATH];
    TcsResult result = formatFilePath(path, sizeof path, directory, number, extension);
    if (result != TCS_RESULT_OK) return result;
    FssFileInfoRecord info{};
    result = fssFileInfo(fileSystem, path, &info);
    if (result != TCS_RESULT_OK) return missing != TCS_RESULT_OK ? missing : result;
    return fssFileRemove(fileSystem, path);
}

// A blob read from a file under a cipher holds data and CRC only; before it is written again it
// takes the padded layout back. Writing it as it was used to encrypt it from its first data byte on,
// as if that were the pad count, and the next read of the file failed: a user's blobs were lost
// the first time the user was changed.
TcsResult cipherLayoutOf(DssDataBlob* blob, const DssBlobCipher* cipher, DssDataBlob** outBlob) {
    if (blob->storedLength < 4) return TCS_RESULT_ERROR;
    return createDataBlob(blob->id, blob->storedLength - 4, dssBlobBytes(blob), nullptr, outBlob, cipher);
}

// Another open database on the same file system, to take over the store's sensor from one that
// closes; null when there is none. Called under the open-store lock.
DssDatabase* heirOf(DssSubsystem* subsystem, const DssDatabase* database) {
    if (subsystem == nullptr) return nullptr;
    for (PalListEntry* e = subsystem->openStores.next; e != &subsystem->openStores; e = e->next) {
        auto* open = PAL_LIST_RECORD(e, DssDatabase, storeLinks);
        if (open != database && open->fileSystem == database->fileSystem) return open;
    }
    return nullptr;
}

}  // namespace

extern "C" {

// --- URL and stores -----------------------------------------------------------------------------------

TcsResult parseUrl(const char* url, const char** outRest) {
    if (url == nullptr || outRest == nullptr) return TCS_RESULT_NULL_POINTER;
    const char* colon = std::strchr(url, ':');
    if (colon == nullptr || colon[1] != '/' || colon[2] != '/' || colon[3] == '\0') {
        return TCS_RESULT_BAD_DATABASE_NAME_FORMAT;
    }
    *outRest = colon + 3;
    return TCS_RESULT_OK;
}

TcsResult dssOpenDatabaseStorageHandle(ClientRecord* systemClient, const char* url, DssDatabase* database) {
    if (url == nullptr || database == nullptr) return TCS_RESULT_BAD_PARAM;
    const char* rest = nullptr;
    TcsResult result = parseUrl(url, &rest);
    if (result != TCS_RESULT_OK) return result;
    if (std::strncmp(url, "file:", 5) == 0) {
        database->storeKind = DSS_STORE_FILE;
        database->fileName = copyString(url);
        return database->fileName != nullptr ? TCS_RESULT_OK : TCS_RESULT_INVALID;
    }
    if (std::strncmp(url, "sensor:", 7) != 0) return TCS_RESULT_INVALID_DATABASE_SPEC;
    if (systemClient == nullptr) return TCS_RESULT_BAD_PARAM;
    database->storeKind = DSS_STORE_SENSOR;
    TcsHandle client = 0;
    result = tcsSafeHandleReverseFetch(systemClient, TCS_HANDLE_TYPE_CLIENT, &client);
    if (result != TCS_RESULT_OK) return result;
    TcsHandle sensor = 0;
    result = tcsSensorOpenA(client, rest, &sensor);
    if (result != TCS_RESULT_OK) return result;
    void* record = nullptr;
    result = tcsSafeSensorHandleFetch(sensor, &record);
    if (result == TCS_RESULT_OK && record == nullptr) result = TCS_RESULT_NULL_SENSOR_HANDLE;
    if (result != TCS_RESULT_OK) {
        tcsSensorClose(sensor);
        return result;
    }
    database->sensorHandle = sensor;
    database->sensor = static_cast<SensorRecord*>(record);
    return TCS_RESULT_OK;
}

TcsResult sensorDB_getFssHandle(DssDatabase* database, DssDatabase** outShared) {
    if (database == nullptr || outShared == nullptr) return TCS_RESULT_NULL_POINTER;
    *outShared = nullptr;
    DssSubsystem* subsystem = subsystemOf(database);
    if (subsystem == nullptr) return TCS_RESULT_NULL_POINTER;
    Lock guard(subsystem->openStoreLock);
    if (!guard.held()) return TCS_RESULT_INVALID;
    for (PalListEntry* e = subsystem->openStores.next; e != &subsystem->openStores; e = e->next) {
        auto* open = PAL_LIST_RECORD(e, DssDatabase, storeLinks);
        if (open == database || open->fileSystem == nullptr || open->storeKind != database->storeKind) continue;
        if (database->storeKind == DSS_STORE_FILE) {
            if (open->fileName == nullptr || database->fileName == nullptr) continue;
            if (strncasecmp(database->fileName, open->fileName, std::strlen(open->fileName)) != 0) continue;
        } else {
            if (open->sensor == nullptr || open->sensorHandle == 0 || database->sensor == nullptr) continue;
            const char* openId = open->sensor->sensorId;
            const char* newId = database->sensor->sensorId;
            if (openId == nullptr || newId == nullptr || strncasecmp(newId, openId, std::strlen(openId)) != 0) continue;
        }
        *outShared = open;
        return TCS_RESULT_OK;
    }
    return TCS_RESULT_OK;
}

TcsResult sensorDB_openDatabase(DssDatabase* database) {
    DssSubsystem* subsystem = subsystemOf(database);
    if (database == nullptr || subsystem == nullptr) return TCS_RESULT_NULL_POINTER;
    Lock guard(subsystem->openStoreLock);
    if (!guard.held()) return TCS_RESULT_INVALID;
    ScsSensor* scs = scsOf(database->sensor);
    const bool noFileSystem = database->storeKind == DSS_STORE_SENSOR && scs != nullptr && scsSensorIsBrellow(scs) == 1;
    if (!noFileSystem) {
        DssDatabase* shared = nullptr;
        TcsResult result = sensorDB_getFssHandle(database, &shared);
        if (result != TCS_RESULT_OK) return result;
        if (shared != nullptr) {
            database->fileSystem = shared->fileSystem;
            database->fileSystem->refCount += 1;
            if (database->storeKind == DSS_STORE_SENSOR) {
                // The store keeps the sensor it was opened on; this database's own open is not needed.
                if (database->sensorHandle != 0) tcsSensorClose(database->sensorHandle);
                database->sensorHandle = 0;
                database->sensor = nullptr;
                // A sensor that left the bus and came back is a new device: the store's sensor is
                // bound to it again, or every file of the store would fail from now on.
                ScsSensor* kept = scsOf(shared->sensor);
                if (kept != nullptr && scsSensorValidate(kept) != TCS_RESULT_OK) {
                    scsSensorDeviceReplace(kept, kept->sensorId);
                }
            }
        } else {
            FssHandle* fileSystem = nullptr;
            result = fssOpenEx(scs, database->storeKind, &fileSystem, database->fileName);
            if (result != TCS_RESULT_OK) return result;
            result = directoryInfo(fileSystem, DSS_ROOT_PATH);
            if (result == DSS_RESULT_NOT_FOUND) result = fssMkdir(fileSystem, DSS_ROOT_PATH);
            if (result != TCS_RESULT_OK) {
                fssClose(fileSystem);
                return result;
            }
            database->fileSystem = fileSystem;
        }
    }
    database->rootPath = copyString(DSS_ROOT_PATH);
    if (database->rootPath == nullptr) return TCS_RESULT_INVALID;
    palListInsertTail(&subsystem->openStores, &database->storeLinks);
    return TCS_RESULT_OK;
}

TcsResult sensorDB_closeDatabase(DssDatabase* database) {
    if (database == nullptr) return TCS_RESULT_NULL_POINTER;
    DssSubsystem* subsystem = subsystemOf(database);
    TcsResult result = TCS_RESULT_OK;
    {
        Lock guard(subsystem != nullptr ? subsystem->openStoreLock : nullptr);
        if (database->storeLinks.next != PAL_LIST_POISON_NEXT) palListRemove(&database->storeLinks);
    }
    // Listings point into the mount: they go before the file system can.
    closeListing(database->userListing);
    closeListing(database->storageListing);
    FssHandle* fileSystem = database->fileSystem;
    bool last = fileSystem != nullptr;
    if (fileSystem != nullptr && fileSystem->refCount >= 2) {
        Lock guard(subsystem != nullptr ? subsystem->openStoreLock : nullptr);
        const bool holdsSensor = database->storeKind == DSS_STORE_SENSOR && database->sensorHandle != 0;
        DssDatabase* heir = holdsSensor ? heirOf(subsystem, database) : nullptr;
        if (!holdsSensor || heir != nullptr) {
            last = false;
            fileSystem->refCount -= 1;
            if (heir != nullptr) {
                // The store's sensor goes to a database still on it. Left with this one, the last
                // database to close had no sensor to close the file system with, and what it wrote
                // was lost; a later database could not join the store and mounted the flash twice.
                heir->sensorHandle = database->sensorHandle;
                heir->sensor = database->sensor;
                database->sensorHandle = 0;
                database->sensor = nullptr;
            }
        }
    }
    if (last) {
        if (database->storeKind == DSS_STORE_SENSOR && database->sensorHandle == 0) {
            result = TCS_RESULT_INVALID;
        } else {
            result = fssClose(fileSystem);
        }
    }
    database->fileSystem = nullptr;
    palRealFree(database->rootPath);
    database->rootPath = nullptr;
    return result;
}

TcsResult sensorDB_eraseDatabase(SensorRecord* sensor, FssHandle* fileSystem, uint8_t storeKind,
                                 const char* fileName) {
    ScsSensor* scs = scsOf(sensor);
    if (scs != nullptr) scsSensorFreeDecTemplatesList(scs, nullptr);
    if (fileSystem != nullptr) {
        TcsResult result = fssFormat(fileSystem);
        if (result != TCS_RESULT_OK) return result;
        return fssMkdir(fileSystem, DSS_ROOT_PATH);
    }
    return fssFormatDB(scs, storeKind, DSS_ROOT_PATH, fileName);
}

// --- App storages -------------------------------------------------------------------------------------

TcsResult sensorDB_createAppStorage(DssAppStorage* appStorage) {
    if (appStorage == nullptr || appStorage->database == nullptr) return TCS_RESULT_NULL_POINTER;
    if (appStorage->name[0] == '\0') return TCS_RESULT_BAD_PARAM;
    DssDatabase* database = appStorage->database;
    FssHandle* fileSystem = database->fileSystem;
    TcsResult result = formatDirPath(appStorage->path, DSS_MAX_PATH, DSS_ROOT_PATH, appStorage->name);
    if (result != TCS_RESULT_OK) return result;
    result = directoryInfo(fileSystem, appStorage->path);
    if (result == TCS_RESULT_OK) {
        return database->cipher != nullptr ? checkAccessToDir(fileSystem, appStorage->path, database->cipher)
                                           : TCS_RESULT_OK;
    }
    if (result != DSS_RESULT_NOT_FOUND) return result;
    result = fssMkdir(fileSystem, appStorage->path);
    if (result != TCS_RESULT_OK || database->cipher == nullptr) return result;
    uint8_t digest[kKeyHashLength];
    uint32_t length = 0;
    result = calculateKeyHash(digest, &length, database->cipher);
    if (result == TCS_RESULT_OK) result = fssSetGetDirAttrib(fileSystem, appStorage->path, digest, length, 1);
    return result;
}

TcsResult sensorDB_deleteAppStorage(DssAppStorage* appStorage) {
    if (appStorage == nullptr || appStorage->database == nullptr) return TCS_RESULT_NULL_POINTER;
    DssDatabase* database = appStorage->database;
    TcsResult result = directoryInfo(database->fileSystem, appStorage->path);
    if (result != TCS_RESULT_OK) return result;
    if (database->cipher != nullptr) {
        result = checkAccessToDir(database->fileSystem, appStorage->path, database->cipher);
        if (result != TCS_RESULT_OK) return result;
    }
    // The database's listings may be walking this directory.
    closeListing(database->userListing);
    closeListing(database->storageListing);
    result = sensorDB_deleteDirectory(database->fileSystem, appStorage->path);
    if (result != TCS_RESULT_OK) return result;
    appStorage->deleted = 1;
    return TCS_RESULT_OK;
}

TcsResult sensorDB_closeAppStorage(DssAppStorage*) { return TCS_RESULT_OK; }

// --- Users --------------------------------------------------------------------------------------------

TcsResult sensorDB_createUser(DssUser* user) {
    if (user == nullptr || user->appStorage == nullptr || user->appStorage->database == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    FssHandle* fileSystem = user->appStorage->database->fileSystem;
    char path[DSS_MAX_PATH];
    uint32_t number = 0;
    TcsResult result = firstFreeNumber(fileSystem, user->appStorage->path, 1, "", &number, path);
    if (result != TCS_RESULT_OK) return result;
    result = fssMkdir(fileSystem, path);
    if (result != TCS_RESULT_OK) return result;
    user->number = number;
    std::memcpy(user->path, path, sizeof path);
    return TCS_RESULT_OK;
}

TcsResult sensorDB_getUser(DssUser* user, uint32_t first) {
    if (user == nullptr || user->appStorage == nullptr || user->appStorage->database == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    DssAppStorage* appStorage = user->appStorage;
    DssDatabase* database = appStorage->database;
    TcsResult result = openListing(database->fileSystem, appStorage->path, &database->userListing, first);
    if (result != TCS_RESULT_OK) return result;
    return nextEntry(database->userListing, true, nullptr, TCS_RESULT_USER_DOESNT_EXIST, [&](uint32_t number) {
        return loadUser(database->fileSystem, appStorage, number, user, database->cipher);
    });
}

TcsResult sensorDB_closeUser(DssUser* user) {
    if (user == nullptr || user->appStorage == nullptr || user->appStorage->database == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    if (user->changed == 0) {
        sensorDB_FreeDataBlobs(&user->blobs);
        return TCS_RESULT_OK;
    }
    DssDatabase* database = user->appStorage->database;
    FssHandle* fileSystem = database->fileSystem;
    TcsResult result = directoryInfo(fileSystem, user->path);
    const bool wasMissing = result == DSS_RESULT_NOT_FOUND;
    if (wasMissing) result = fssMkdir(fileSystem, user->path);
    if (result != TCS_RESULT_OK) return result;
    FssFile* file = nullptr;
    result = sensorDB_openUserDataFile(fileSystem, user->path, "wb", &file);
    if (result == TCS_RESULT_OK) {
        result = writeU32s(file, {DSS_TAG_USER, 4, user->number});
        if (result == TCS_RESULT_OK) result = sensorDB_serializeDataBlobs(file, &user->blobs, database->cipher);
        closeListing(user->templateListing);
        const TcsResult closed = fssFileClose(file);
        if (result == TCS_RESULT_OK) result = closed;
    }
    if (result != TCS_RESULT_OK) {
        if (wasMissing) sensorDB_deleteDirectory(fileSystem, user->path);
        return result;
    }
    user->changed = 0;
    return TCS_RESULT_OK;
}

TcsResult sensorDB_deleteUser(DssUser* user) {
    if (user == nullptr || user->appStorage == nullptr || user->appStorage->database == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    FssHandle* fileSystem = user->appStorage->database->fileSystem;
    user->changed = 0;
    closeListing(user->templateListing);
    TcsResult result = directoryInfo(fileSystem, user->path);
    if (result != TCS_RESULT_OK) return result;
    result = sensorDB_deleteDirectory(fileSystem, user->path);
    if (result != TCS_RESULT_OK) return result;
    user->deleted = 1;
    return TCS_RESULT_OK;
}

TcsResult sensorDB_getUserCount(DssAppStorage* appStorage, uint32_t* outCount) {
    if (appStorage == nullptr || outCount == nullptr || appStorage->database == nullptr) return TCS_RESULT_NULL_POINTER;
    DssDatabase* database = appStorage->database;
    *outCount = 0;
    closeListing(database->userListing);
    const TcsResult result = fssDirOpen(database->fileSystem, appStorage->path, &database->userListing);
    if (result != TCS_RESULT_OK) return result;
    DssUser scratch{};
    scratch.appStorage = appStorage;
    // The walk ends at the listing's end; the listing stays there, so an open-next user gives 65.
    nextEntry(database->userListing, true, nullptr, TCS_RESULT_USER_DOESNT_EXIST, [&](uint32_t number) {
        if (loadUser(database->fileSystem, appStorage, number, &scratch, database->cipher) == TCS_RESULT_OK) {
            *outCount += 1;
            sensorDB_FreeDataBlobs(&scratch.blobs);
        }
        return TCS_RESULT_ERROR;  // keep walking
    });
    return TCS_RESULT_OK;
}

// --- Templates and storages ---------------------------------------------------------------------------

TcsResult sensorDB_createTemplate(DssTemplate*) { return TCS_RESULT_OK; }
TcsResult sensorDB_createStorage(DssStorage*) { return TCS_RESULT_OK; }

TcsResult sensorDB_getTemplate(DssTemplate* templ, uint32_t first) {
    if (templ == nullptr || templ->user == nullptr || templ->user->appStorage == nullptr ||
        templ->user->appStorage->database == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    DssUser* user = templ->user;
    DssDatabase* database = user->appStorage->database;
    char directory[DSS_MAX_PATH];
    TcsResult result = formatFilePath(directory, sizeof directory, user->appStorage->path, user->number, "");
    if (result != TCS_RESULT_OK) return result;
    result = openListing(database->fileSystem, directory, &user->templateListing, first);
    if (result != TCS_RESULT_OK) return result;
    return nextEntry(user->templateListing, false, ".tpl", TCS_RESULT_TEMPLATE_DOESNT_EXIST, [&](uint32_t number) {
        char path[DSS_MAX_PATH];
        TcsResult r = formatFilePath(path, sizeof path, directory, number, ".tpl");
        if (r == TCS_RESULT_OK) r = readBlobFile(database->fileSystem, path, templ, DSS_OBJECT_TEMPLATE, database->cipher);
        if (r == TCS_RESULT_OK) templ->number = number;
        return r;
    });
}

TcsResult sensorDB_getStorage(DssStorage* storage, uint32_t first) {
    if (storage == nullptr || storage->appStorage == nullptr || storage->appStorage->database == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    DssAppStorage* appStorage = storage->appStorage;
    DssDatabase* database = appStorage->database;
    TcsResult result = openListing(database->fileSystem, appStorage->path, &database->storageListing, first);
    if (result != TCS_RESULT_OK) return result;
    return nextEntry(database->storageListing, false, ".stg", TCS_RESULT_DOESNT_EXIST, [&](uint32_t number) {
        char path[DSS_MAX_PATH];
        TcsResult r = formatFilePath(path, sizeof path, appStorage->path, number, ".stg");
        if (r == TCS_RESULT_OK) r = readBlobFile(database->fileSystem, path, storage, DSS_OBJECT_STORAGE, database->cipher);
        if (r == TCS_RESULT_OK) storage->number = number;
        return r;
    });
}

TcsResult sensorDB_closeTemplate(DssTemplate* templ) {
    if (templ == nullptr || templ->user == nullptr || templ->user->appStorage == nullptr ||
        templ->user->appStorage->database == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    if (templ->changed == 0) {
        sensorDB_FreeDataBlobs(&templ->blobs);
        return TCS_RESULT_OK;
    }
    DssDatabase* database = templ->user->appStorage->database;
    const TcsResult result = writeObjectFile(database->fileSystem, templ->user->path, ".tpl", &templ->number,
                                             &templ->loaded, &templ->blobs, database->cipher);
    if (result == TCS_RESULT_OK) templ->changed = 0;
    return result;
}

TcsResult sensorDB_closeStorage(DssStorage* storage) {
    if (storage == nullptr || storage->appStorage == nullptr || storage->appStorage->database == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    if (storage->changed == 0) {
        sensorDB_FreeDataBlobs(&storage->blobs);
        return TCS_RESULT_OK;
    }
    DssDatabase* database = storage->appStorage->database;
    const TcsResult result = writeObjectFile(database->fileSystem, storage->appStorage->path, ".stg", &storage->number,
                                             &storage->loaded, &storage->blobs, database->cipher);
    if (result != TCS_RESULT_OK) return result;
    storage->changed = 0;
    closeListing(database->userListing);
    return TCS_RESULT_OK;
}

TcsResult sensorDB_deleteTemplate(DssTemplate* templ) {
    if (templ == nullptr || templ->user == nullptr || templ->user->appStorage == nullptr ||
        templ->user->appStorage->database == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    templ->changed = 0;
    if (templ->loaded == 0) return TCS_RESULT_OK;
    return removeObjectFile(templ->user->appStorage->database->fileSystem, templ->user->path, ".tpl", templ->number,
                            TCS_RESULT_TEMPLATE_DOESNT_EXIST);
}

TcsResult sensorDB_deleteStorage(DssStorage* storage) {
    if (storage == nullptr || storage->appStorage == nullptr || storage->appStorage->database == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    storage->changed = 0;
    if (storage->loaded == 0) return TCS_RESULT_OK;
    return removeObjectFile(storage->appStorage->database->fileSystem, storage->appStorage->path, ".stg",
                            storage->number, TCS_RESULT_OK);
}

// --- Blob files ---------------------------------------------------------------------------------------

TcsResult sensorDB_serializeDataBlobs(FssFile* file, DssDataBlob** blobs, const DssBlobCipher* cipher) {
    if (file == nullptr || blobs == nullptr) return TCS_RESULT_NULL_POINTER;
    const bool ciphered = cipher != nullptr && cipher->inUse != 0;
    while (DssDataBlob* blob = *blobs) {
        DssDataBlob* out = blob;
        TcsResult result = TCS_RESULT_OK;
        if (ciphered && blob->state != 1) result = cipherLayoutOf(blob, cipher, &out);
        if (result == TCS_RESULT_OK && ciphered) result = encryptBlobData(out, cipher, 1);
        if (result == TCS_RESULT_OK) {
            result = writeU32s(file, {DSS_TAG_BLOB_ID, 4, out->id, DSS_TAG_BLOB_DATA, out->storedLength});
        }
        if (result == TCS_RESULT_OK) result = writeBytes(file, dssBlobBytes(out), out->storedLength);
        if (out != blob) palRealFree(out);
        if (result != TCS_RESULT_OK) return result;
        *blobs = blob->next;
        if (*blobs != nullptr) (*blobs)->prev = nullptr;
        palRealFree(blob);
    }
    return TCS_RESULT_OK;
}

TcsResult sensorDB_deserialize(FssFile* file, void* object, uint32_t kind, const DssBlobCipher* cipher) {
    if (file == nullptr || object == nullptr) return TCS_RESULT_NULL_POINTER;
    DssDataBlob** list = blobListOf(object, kind);
    if (list == nullptr) return TCS_RESULT_BAD_PARAM;
    const bool ciphered = cipher != nullptr && cipher->inUse != 0;
    for (;;) {
        uint32_t tag = 0, length = 0;
        TcsResult result = readU32(file, &tag);
        if (result == TCS_RESULT_OK) result = readU32(file, &length);
        if (result == TCS_RESULT_EOF) return TCS_RESULT_OK;  // the file ends between records
        if (result != TCS_RESULT_OK) return result;
        if (tag == DSS_TAG_USER) {
            if (length != 4) return DSS_RESULT_BAD_BLOB_FILE;
            uint32_t number = 0;
            result = readU32(file, &number);
            if (result != TCS_RESULT_OK) return result;
            if (kind == DSS_OBJECT_USER) static_cast<DssUser*>(object)->number = number;
            continue;
        }
        if (tag != DSS_TAG_BLOB_ID || length != 4) return DSS_RESULT_BAD_BLOB_FILE;
        uint32_t id = 0, dataTag = 0, stored = 0;
        result = readU32(file, &id);
        if (result == TCS_RESULT_OK) result = readU32(file, &dataTag);
        if (result != TCS_RESULT_OK) return result;
        if (dataTag != DSS_TAG_BLOB_DATA) return DSS_RESULT_BAD_BLOB_FILE;
        result = readU32(file, &stored);
        if (result != TCS_RESULT_OK) return result;
        if (stored > kMaxStoredLength) return DSS_RESULT_BAD_BLOB_FILE;

        auto* blob = static_cast<DssDataBlob*>(palRealMalloc(sizeof(DssDataBlob) + stored));
        if (blob == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        std::memset(blob, 0, sizeof(DssDataBlob));
        blob->id = id;
        blob->storedLength = stored;
        uint8_t* bytes = dssBlobBytes(blob);
        uint32_t count = 0;
        result = stored == 0 ? TCS_RESULT_OK : fssFileRead(bytes, 1, stored, file, &count);
        if (result == TCS_RESULT_OK && count != stored) result = TCS_RESULT_EOF;
        if (result == TCS_RESULT_OK && ciphered) {
            const uint64_t block = cipher->blockLength;
            if (stored < 1 + block + 4) {
                result = TCS_RESULT_ERROR;
            } else {
                result = encryptBlobData(blob, cipher, 0);
                const uint32_t pad = bytes[0];
                if (result == TCS_RESULT_OK && stored < 1 + block + 4 + pad) result = TCS_RESULT_ERROR;
                if (result == TCS_RESULT_OK) {
                    const uint32_t kept = uint32_t(stored - pad - block - 1);
                    std::memmove(bytes, bytes + 1 + block, kept);
                    blob->storedLength = kept;
                }
            }
        }
        if (result == TCS_RESULT_OK) result = checkBlobDataIntegrity(bytes, &blob->storedLength);
        if (result != TCS_RESULT_OK) {
            palRealFree(blob);
            return result;
        }
        blob->next = *list;
        if (*list != nullptr) (*list)->prev = blob;
        *list = blob;
    }
}

TcsResult sensorDB_openUserDataFile(FssHandle* fileSystem, const char* userDirectory, const char* mode,
                                    FssFile** outFile) {
    if (userDirectory == nullptr || mode == nullptr || outFile == nullptr) return TCS_RESULT_NULL_POINTER;
    char path[DSS_MAX_PATH];
    const TcsResult result = formatFilePath(path, sizeof path, userDirectory, 0, ".dat");
    if (result != TCS_RESULT_OK) return result;
    return fssFileOpen(fileSystem, path, mode, outFile);
}

TcsResult sensorDB_deleteDirectory(FssHandle* fileSystem, const char* path) {
    if (path == nullptr || path[0] == '\0') return TCS_RESULT_BAD_PARAM;
    std::vector<DirEntry> entries;
    TcsResult result = listDirectory(fileSystem, path, &entries);
    if (result != TCS_RESULT_OK) return result;
    for (const DirEntry& entry : entries) {
        if (entry.name == "." || entry.name == "..") continue;
        char child[DSS_MAX_PATH];
        result = formatDirPath(child, sizeof child, path, entry.name.c_str());
        if (result != TCS_RESULT_OK) return result;
        result = entry.directory ? sensorDB_deleteDirectory(fileSystem, child) : fssFileRemove(fileSystem, child);
        if (result != TCS_RESULT_OK) return result;
    }
    return fssRmdir(fileSystem, path);
}

TcsResult sensorDB_FreeDataBlobs(DssDataBlob** blobs) {
    if (blobs == nullptr) return TCS_RESULT_NULL_POINTER;
    while (DssDataBlob* blob = *blobs) {
        *blobs = blob->next;
        palRealFree(blob);
    }
    return TCS_RESULT_OK;
}

TcsResult formatFilePath(char* out, uint32_t capacity, const char* directory, uint32_t number, const char* extension) {
    if (out == nullptr || directory == nullptr || extension == nullptr) return TCS_RESULT_NULL_POINTER;
    const int n = std::snprintf(out, capacity, "%s%s%X%s", directory, "/", number, extension);
    return n >= 0 && uint32_t(n) < capacity ? TCS_RESULT_OK : TCS_RESULT_BAD_PARAM;
}

TcsResult formatDirPath(char* out, uint32_t capacity, const char* directory, const char* name) {
    if (out == nullptr || directory == nullptr || name == nullptr) return TCS_RESULT_NULL_POINTER;
    const int n = std::snprintf(out, capacity, "%s%s%s", directory, "/", name);
    return n >= 0 && uint32_t(n) < capacity ? TCS_RESULT_OK : TCS_RESULT_BAD_PARAM;
}

TcsResult calculateKeyHash(uint8_t* outDigest, uint32_t* outLength, const DssBlobCipher* cipher) {
    if (outDigest == nullptr || outLength == nullptr || cipher == nullptr || cipher->key == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    uint8_t digest[32];
    const TcsResult result = palCryptoDigest(cipher->key, cipher->keyLength, digest, kSha1);
    if (result != TCS_RESULT_OK) return result;
    std::memcpy(outDigest, digest, kKeyHashLength);
    *outLength = kKeyHashLength;
    return TCS_RESULT_OK;
}

TcsResult checkAccessToDir(FssHandle* fileSystem, const char* directory, const DssBlobCipher* cipher) {
    uint8_t stored[kKeyHashLength] = {};
    TcsResult result = fssSetGetDirAttrib(fileSystem, directory, stored, kKeyHashLength, 0);
    if (result != TCS_RESULT_OK) return result;
    uint8_t expected[kKeyHashLength];
    uint32_t length = 0;
    result = calculateKeyHash(expected, &length, cipher);
    if (result != TCS_RESULT_OK) return result;
    return std::memcmp(stored, expected, kKeyHashLength) == 0 ? TCS_RESULT_OK : DSS_RESULT_KEY_MISMATCH;
}

TcsResult encryptBlobData(DssDataBlob* blob, const DssBlobCipher* cipher, uint32_t encrypt) {
    if (blob == nullptr || cipher == nullptr || cipher->key == nullptr) return TCS_RESULT_NULL_POINTER;
    const uint32_t block = cipher->blockLength;
    if (uint64_t(blob->storedLength) < 1 + uint64_t(block)) return TCS_RESULT_BAD_PARAM;
    uint8_t* bytes = dssBlobBytes(blob);
    // The cipher advances its IV; the one in the file must stay the one the data were encrypted with.
    std::vector<uint8_t> iv(block < 16 ? 16 : block, 0);
    std::memcpy(iv.data(), bytes + 1, block);
    uint8_t* payload = bytes + 1 + block;
    const uint32_t length = blob->storedLength - 1 - block;
    if (length == 0) return TCS_RESULT_OK;
    uint32_t outLength = length;
    return encrypt != 0 ? palCryptoEncrypt(payload, length, payload, &outLength, cipher->key, cipher->keyLength,
                                           iv.data(), cipher->algorithm)
                        : palCryptoDecrypt(payload, length, payload, &outLength, cipher->key, cipher->keyLength,
                                           iv.data(), cipher->algorithm);
}

}  // extern "C"
