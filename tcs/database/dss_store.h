// Template database data layer: the records behind the database handles, their tagged blobs, the
// storage tree of directories and blob files in the flash file system, and template payload packing.
// Everything here runs on the database service thread, except the packing routines, which run on
// the caller's thread.
#pragma once

#include "platform/list.h"
#include "platform/threads.h"
#include "platform/worklist.h"
#include "tcs/core.h"
#include "tcs/database/dss.h"
#include "tcs/flashfs/fss.h"
#include "tcs/matching/templates.h"
#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Codes of the database beyond tcs/result.h's names.
#define DSS_RESULT_BAD_BLOB_FILE ((TcsResult)87)    // wrong tag or length in a blob file
#define DSS_RESULT_KEY_MISMATCH ((TcsResult)320)    // app-storage directory guarded by another key
#define DSS_RESULT_NO_ROOM ((TcsResult)392)         // no room in the flash file system
#define DSS_RESULT_NOT_FOUND ((TcsResult)397)       // the file system's code for a missing path
#define DSS_RESULT_KEY_MATERIAL ((TcsResult)510)    // key material or cached context does not match

#define DSS_ROOT_PATH "/dbroot"
#define DSS_MAX_PATH 260u
#define DSS_APP_NAME_SIZE 13u  // 12 characters and the NUL

// Record sizes kept in the records (a relic of the stored layout; nothing reads them back).
#define DSS_APP_STORAGE_RECORD_SIZE 384u
#define DSS_USER_RECORD_SIZE 384u
#define DSS_TEMPLATE_RECORD_SIZE 320u
#define DSS_STORAGE_RECORD_SIZE 312u

// Blob ids the stack uses.
enum {
    DSS_BLOB_TEMPLATE_RECORD = 1,  // template blob 1: the packed template record
    DSS_BLOB_USER_ID = 1,          // user blob 1
    DSS_BLOB_USER_AUTH_DATA = 5,   // user blob 5: the AuthDataBlock
    DSS_BLOB_USER_KEY_DIGEST = 6,  // user blob 6: SHA-256 of the caller's key material
    DSS_BLOB_HEAD = 0xFFFFFFFFu,   // delete: the head (most recently added) blob
};

// Database URL kinds.
typedef enum DssStoreKind { DSS_STORE_FILE = 0, DSS_STORE_SENSOR = 1 } DssStoreKind;

// The client's blob cipher; same layout as the client record's last key slot (keyC), which a
// database adopts when its in-use flag is non-zero.
typedef struct DssBlobCipher {
    uint32_t inUse;
    uint32_t algorithm;    // palCryptoEncrypt id: 5 AES-CBC, 6 AES-CTR, 10 DES-CBC
    uint32_t blockLength;  // also the IV length
    const uint8_t* key;
    uint32_t keyLength;
} DssBlobCipher;

// A blob: header, then storedLength bytes (dssBlobBytes). Lists are null-terminated, new blobs at the head.
typedef struct DssDataBlob {
    struct DssDataBlob* next;
    struct DssDataBlob* prev;
    uint32_t state;  // 1 when made by a set
    uint32_t id;
    uint32_t storedLength;
} DssDataBlob;
static inline uint8_t* dssBlobBytes(DssDataBlob* blob) { return (uint8_t*)(blob + 1); }

// The subsystem record (DssSubsystem, tcs/database/dss.h) is the service's; the data layer reaches
// its system client, open-store list and open-store lock through client->stack->database.

struct DssDatabase {
    PalListEntry clientLinks;  // first: in the owning client's database list
    PalListEntry storeLinks;   // in the subsystem's open-store list
    ClientRecord* client;
    uint32_t openFlag;
    char* rootPath;  // copy of "/dbroot"
    uint8_t storeKind;  // DssStoreKind
    SensorRecord* sensor;  // sensor store: opened through the system client (null once left to the file system)
    TcsHandle sensorHandle;
    FssHandle* fileSystem;  // shared between databases on one store (refCount)
    DssBlobCipher* cipher;  // the opening client's cipher in use, else null
    PalListEntry appStorages;  // DssAppStorage.links
    PalMutexHandle appStorageLock;
    FssDirListing* userListing;
    FssDirListing* storageListing;
    char* fileName;  // the whole URL of a file store
};

typedef struct DssAppStorage {
    PalListEntry links;
    uint32_t recordSize;  // 384
    uint32_t changed;     // 1 at create
    uint32_t loaded;      // 0
    PalListEntry storages;  // DssStorage.links
    PalMutexHandle storageLock;
    PalListEntry users;  // DssUser.links
    PalMutexHandle userLock;
    uint32_t deleted;
    char name[DSS_APP_NAME_SIZE];
    uint32_t option;  // kept, never read
    char path[DSS_MAX_PATH];
    DssDatabase* database;
} DssAppStorage;

typedef struct DssUser {
    PalListEntry links;
    uint32_t templateBytes;  // sum of (20 + stored length) over the last-changed template's blobs
    uint32_t recordSize;     // 384
    uint32_t number;         // directory number
    DssDataBlob* blobs;
    uint32_t changed;
    uint32_t loaded;
    PalListEntry templates;  // DssTemplate.links
    PalMutexHandle templateLock;
    FssDirListing* templateListing;
    DssAppStorage* appStorage;
    uint32_t deleted;
    char path[DSS_MAX_PATH];
} DssUser;

typedef struct DssTemplate {
    PalListEntry links;
    uint32_t recordSize;  // 320
    uint32_t changed;
    uint32_t loaded;
    DssDataBlob* blobs;
    uint32_t number;  // file number
    DssUser* user;
} DssTemplate;

typedef struct DssStorage {
    PalListEntry links;
    uint32_t recordSize;  // 312
    uint32_t number;      // file number
    DssDataBlob* blobs;
    uint32_t changed;
    uint32_t loaded;
    DssAppStorage* appStorage;
} DssStorage;

// --- Records and blobs ----------------------------------------------------------------------------

// 70 / 71 / 72 / 7 for a null user / database / template / storage, else 0.
TcsResult validateUserHandle(const DssUser* user);
TcsResult validateDatabaseHandle(const DssDatabase* database);
TcsResult validateTemplateHandle(const DssTemplate* templ);
TcsResult validateStorageHandle(const DssStorage* storage);

// Allocates a database record and resolves its store (no file system yet); 17 short URL, 60 bad URL.
TcsResult dssPrepareOpenDatabase(ClientRecord* client, const char* url, DssDatabase** outDatabase);
// Prepares, opens or joins the store's file system, links into the client's database list.
TcsResult dssOpenDatabase(ClientRecord* client, const char* url, DssDatabase** outDatabase);
// Releases the store, its sensor or file name, unlinks and destroys the record (handle type 6).
TcsResult dssCloseDatabase(DssDatabase* database);
// Undoes a prepare that was never opened.
TcsResult dssCleanupDatabaseOpenPreparation(DssDatabase* database);
// Formats the store named by the URL, open or not; open databases on it lose their valid store.
TcsResult dssFormatDatabase(ClientRecord* client, const char* url);
// Formats the open store and makes "/dbroot" again.
TcsResult dssEraseDatabase(DssDatabase* database);

TcsResult dssCreateAppStorage(DssDatabase* database, const char* name, uint32_t option,
                              DssAppStorage** outAppStorage);
TcsResult dssCloseAppStorage(DssAppStorage* appStorage);
TcsResult dssDeleteAppStorage(DssAppStorage* appStorage);

TcsResult dssCreateUser(DssAppStorage* appStorage, DssUser** outUser);
TcsResult dssOpenFirstUser(DssAppStorage* appStorage, DssUser** outUser);
TcsResult dssOpenNextUser(DssAppStorage* appStorage, DssUser** outUser);
TcsResult dssCloseUser(DssUser* user);
TcsResult dssDeleteUser(DssUser* user);
TcsResult dssGetUserCount(DssAppStorage* appStorage, uint32_t* outCount);

TcsResult dssCreateTemplate(DssUser* user, DssTemplate** outTemplate);
TcsResult dssOpenFirstTemplate(DssUser* user, DssTemplate** outTemplate);
TcsResult dssOpenNextTemplate(DssUser* user, DssTemplate** outTemplate);
TcsResult dssCloseTemplate(DssTemplate* templ);
TcsResult dssDeleteTemplate(DssTemplate* templ);

TcsResult dssCreateStorage(DssAppStorage* appStorage, DssStorage** outStorage);
TcsResult dssOpenFirstStorage(DssAppStorage* appStorage, DssStorage** outStorage);
TcsResult dssOpenNextStorage(DssAppStorage* appStorage, DssStorage** outStorage);
TcsResult dssCloseStorage(DssStorage* storage);
TcsResult dssDeleteStorage(DssStorage* storage);

// Set: 74 id present, 392 no room (the new blob dropped again).
TcsResult dssSetUserData(DssUser* user, uint32_t id, const void* data, uint32_t length);
TcsResult dssSetTemplateData(DssTemplate* templ, uint32_t id, const void* data, uint32_t length);
TcsResult dssSetStorageData(DssStorage* storage, uint32_t id, const void* data, uint32_t length);
// Get: null buffer or *length 0 gives the data length; 5 buffer shorter than the data; 79 unknown id.
TcsResult dssGetUserData(DssUser* user, uint32_t id, void* buffer, uint32_t* inOutLength);
TcsResult dssGetTemplateData(DssTemplate* templ, uint32_t id, void* buffer, uint32_t* inOutLength);
TcsResult dssGetStorageData(DssStorage* storage, uint32_t id, void* buffer, uint32_t* inOutLength);
// Delete: id 0xFFFFFFFF drops the head blob.
TcsResult dssDeleteUserData(DssUser* user, uint32_t id);
TcsResult dssDeleteTemplateData(DssTemplate* templ, uint32_t id);
TcsResult dssDeleteStorageData(DssStorage* storage, uint32_t id);

// Makes a blob (data, CRC-32, and with a cipher pad byte, IV and padding) and links it at the head.
TcsResult createDataBlob(uint32_t id, uint32_t length, const void* data, DssDataBlob* head, DssDataBlob** outHead,
                         const DssBlobCipher* cipher);
// Unlinks and frees the blob with that id (the head for 0xFFFFFFFF); 40 empty, 79 not found.
TcsResult deleteData(DssDataBlob** head, uint32_t id);
// The last 4 bytes must be the CRC-32 of the ones before them; 54 otherwise.
TcsResult checkBlobDataIntegrity(const uint8_t* bytes, const uint32_t* length);

// --- Storage tree and blob files --------------------------------------------------------------------

// Blob-file kinds of sensorDB_deserialize.
enum { DSS_OBJECT_TEMPLATE = 0, DSS_OBJECT_USER = 1, DSS_OBJECT_STORAGE = 2 };
// Blob-file tags (u32, host byte order).
enum { DSS_TAG_USER = 3, DSS_TAG_BLOB_ID = 5, DSS_TAG_BLOB_DATA = 6 };
#define DSS_BLOB_RECORD_OVERHEAD 20u

// *outRest points after "://"; 60 malformed, 40 null arguments.
TcsResult parseUrl(const char* url, const char** outRest);
// File store: kind and file name; sensor store: opens the named sensor through the system client.
TcsResult dssOpenDatabaseStorageHandle(ClientRecord* systemClient, const char* url, DssDatabase* database);
// Under the open-store lock: an open database on the same store holding a file system, or null.
TcsResult sensorDB_getFssHandle(DssDatabase* database, DssDatabase** outShared);
TcsResult sensorDB_openDatabase(DssDatabase* database);
TcsResult sensorDB_closeDatabase(DssDatabase* database);
TcsResult sensorDB_eraseDatabase(SensorRecord* sensor, FssHandle* fileSystem, uint8_t storeKind,
                                 const char* fileName);

TcsResult sensorDB_createAppStorage(DssAppStorage* appStorage);
TcsResult sensorDB_deleteAppStorage(DssAppStorage* appStorage);
TcsResult sensorDB_closeAppStorage(DssAppStorage* appStorage);

TcsResult sensorDB_createUser(DssUser* user);
// first 1 restarts the database's user listing; 65 at its end.
TcsResult sensorDB_getUser(DssUser* user, uint32_t first);
TcsResult sensorDB_closeUser(DssUser* user);
TcsResult sensorDB_deleteUser(DssUser* user);
TcsResult sensorDB_getUserCount(DssAppStorage* appStorage, uint32_t* outCount);

TcsResult sensorDB_createTemplate(DssTemplate* templ);
TcsResult sensorDB_getTemplate(DssTemplate* templ, uint32_t first);  // 66 at the end
TcsResult sensorDB_closeTemplate(DssTemplate* templ);
TcsResult sensorDB_deleteTemplate(DssTemplate* templ);
TcsResult sensorDB_createStorage(DssStorage* storage);
TcsResult sensorDB_getStorage(DssStorage* storage, uint32_t first);  // 77 at the end
TcsResult sensorDB_closeStorage(DssStorage* storage);
TcsResult sensorDB_deleteStorage(DssStorage* storage);

// Writes the blob records head to tail, freeing each once written; the first failure ends it.
TcsResult sensorDB_serializeDataBlobs(FssFile* file, DssDataBlob** blobs, const DssBlobCipher* cipher);
// Reads the records of a blob file into the object's list (kind DSS_OBJECT_*); 87 bad tag, 54 bad CRC.
TcsResult sensorDB_deserialize(FssFile* file, void* object, uint32_t kind, const DssBlobCipher* cipher);
TcsResult sensorDB_openUserDataFile(FssHandle* fileSystem, const char* userDirectory, const char* mode,
                                    FssFile** outFile);
TcsResult sensorDB_deleteDirectory(FssHandle* fileSystem, const char* path);
TcsResult sensorDB_FreeDataBlobs(DssDataBlob** blobs);

// "%s%s%X%s" (directory, "/", number, extension); 17 when it does not fit.
TcsResult formatFilePath(char* out, uint32_t capacity, const char* directory, uint32_t number, const char* extension);
// "%s%s%s" (directory, "/", name).
TcsResult formatDirPath(char* out, uint32_t capacity, const char* directory, const char* name);
// SHA-1 of the cipher key; *outLength 20.
TcsResult calculateKeyHash(uint8_t* outDigest, uint32_t* outLength, const DssBlobCipher* cipher);
// 320 when the directory's attribute is not the key's digest.
TcsResult checkAccessToDir(FssHandle* fileSystem, const char* directory, const DssBlobCipher* cipher);
// encrypt 1 / 0: the bytes after pad byte and IV, in place, under a copy of the IV.
TcsResult encryptBlobData(DssDataBlob* blob, const DssBlobCipher* cipher, uint32_t encrypt);

// --- Packed template records and protected payloads --------------------------------------------------

#define DSS_PACKED_MIN_LENGTH 13u
#define DSS_PACKED_VERSION 1u
#define DSS_SECTION_ASP_PROFILE 1u
#define DSS_SECTION_FLAGS 2u
#define DSS_FLAG_NO_FEATURES 0x80u
#define DSS_SECURE_PAYLOAD_INLINE_MAX 64u  // secure, no PEK: larger payloads are AES-CBC'd into the record
#define DSS_SECURE_TEMPLATE_MAX 4096u
#define DSS_LAST_ID_CONTEXT_SIZE 128u
#define DSS_AUTH_DATA_KIND_PAYLOAD 1u

// Builds a PackedTemplateRecord (sensor null: plain). The record and auth block are palRealMalloc'd.
TcsResult _tcsDatabaseExTPPackTemplateData(SensorRecord* sensor, EnrollTemplate* templ, uint32_t payloadLength,
                                           const uint8_t* payload, uint32_t keyMaterialLength,
                                           const uint8_t* keyMaterial, uint32_t* outRecordLength,
                                           uint8_t** outRecord, uint32_t* outAuthLength, uint8_t** outAuthData,
                                           DssTemplate* dbTemplate);
// The PEK form of the template part.
TcsResult _tcsDatabaseExTPEKPackTemplateData(SensorRecord* sensor, const uint8_t* templateData, uint32_t templateSize,
                                             uint32_t payloadLength, const uint8_t* payload,
                                             uint32_t keyMaterialLength, const uint8_t* keyMaterial,
                                             uint32_t* outWrappedLength, uint8_t** outWrapped,
                                             uint32_t* outAuthLength, uint8_t** outAuthData, DssTemplate* dbTemplate);
// Parses a record into a new enroll template handle; 40 null record, 17 short, 54 malformed.
TcsResult _tcsDatabaseExTPUnPackTemplateData(SensorRecord* sensor, const uint8_t* callerId16, uint32_t recordLength,
                                             const uint8_t* record, TcsHandle* outTemplate,
                                             uint32_t* outPayloadLength, uint8_t** outPayload,
                                             uint32_t* outEncPayloadLength, uint8_t** outEncPayload, uint32_t force);
// The template part of a PEK record (from byte 12, length the u32 at byte 8).
TcsResult _tcsDatabaseExTPWithoutHeaders(SensorRecord* sensor, uint32_t recordLength, const uint8_t* record,
                                         uint32_t* outLength, const uint8_t** outPointer);
// Byte 3 of the record; 7 short or null, 40 null output, 54 version not 1.
TcsResult _tcsDatabaseExTPGetFingerIndex(SensorRecord* sensor, uint32_t recordLength, const uint8_t* record,
                                         uint32_t* outFinger);
// Builds an AuthDataBlock; handed back through outBlock, or stored as user blob 5 when outBlock is null.
TcsResult _tcsDatabaseExPackAuthData(SensorRecord* sensor, const uint8_t* data, uint32_t length, uint32_t kind,
                                     uint8_t** outBlock, uint32_t* outLength, DssTemplate* dbTemplate,
                                     const uint8_t* iv16, const uint8_t* key);
TcsResult _tcsDatabaseExUnPackAuthData(SensorRecord* sensor, uint32_t length, const uint8_t* block, const uint8_t* key,
                                       uint32_t reserved1, uint32_t flag, uint32_t reserved2, uint32_t reserved3,
                                       uint32_t* outLength, uint8_t** outData);
TcsResult _tcsDatabaseExStoreEncPayload(DssTemplate* dbTemplate, const uint8_t* block, uint32_t length);
TcsResult _tcsDatabaseExRestoreEncPayload(DssTemplate* dbTemplate, uint8_t** outBlock, uint32_t* outLength);
TcsResult _tcsDatabaseExUnPackPayload(SensorRecord* sensor, uint8_t* key32, uint32_t keyLength, uint32_t* outLength,
                                      uint8_t** outPayload, uint32_t reserved, DssTemplate* dbTemplate);
// LastIdentificationContext: 0-31 PEK, 32-63 SHA-256 payload, 64-95 SHA-256 user id, 96-127 identify payload.
TcsResult _tcsDatabaseExCachPEKAndPayloads(SensorRecord* sensor, DssTemplate* dbTemplate, const uint8_t* payload,
                                           uint32_t length, const uint8_t* pek32);
TcsResult _tcsDatabaseExGetPEKAndVerifyCache(SensorRecord* sensor, DssTemplate* dbTemplate, const uint8_t* payload,
                                             uint32_t length, uint32_t* outFromCache, uint32_t* outPayloadUnchanged,
                                             uint8_t* outPek32, uint8_t* outIv16);
TcsResult _tcsDatabaseExCacheVerifyIdentifyPayoad(SensorRecord* sensor, const SizedBuffer* userId,
                                                  const uint8_t* payload, uint32_t length, uint8_t* out32);
TcsResult _tcsDatabaseExCachUpdateIdentifyPayoad(SensorRecord* sensor, const uint8_t* payload, uint32_t length);
TcsResult _tcsDatabaseExCachRemoveUser(SensorRecord* sensor, const SizedBuffer* userId);

#ifdef __cplusplus
}
#endif
