// Database interface of the clients: every operation as an asynchronous call that queues a request
// on the database service and as a synchronous wrapper that waits for it (65 s; format and erase 65 min).
#pragma once

#include "tcs/database/dss.h"
#include "tcs/tcs.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DSS_SYNC_WAIT_MS 65000u
#define DSS_FORMAT_WAIT_MS 3900000u
#define DSS_MAX_URL 260u
// Template data written by tcsDatabaseSetTemplateData carries one format byte in front.
#define DSS_TEMPLATE_FORMAT_PLAIN 1u
#define DSS_TEMPLATE_FORMAT_PACKED 2u
// A template blob of this exact length is an older raw form without a format byte.
#define DSS_TEMPLATE_RAW_LENGTH 1024u

// Databases.
TcsResult tcsDatabaseOpenAsyncA(TcsHandle client, const char* url, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseOpenAsyncW(TcsHandle client, const uint16_t* url, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseOpenPriv(TcsHandle client, const char* url, TcsHandle* outDatabase);
TcsResult tcsDatabaseOpenA(TcsHandle client, const char* url, TcsHandle* outDatabase);
TcsResult tcsDatabaseOpenW(TcsHandle client, const uint16_t* url, TcsHandle* outDatabase);
TcsResult tcsDatabaseCloseAsync(TcsHandle database, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseClose(TcsHandle database);
// A name that begins with neither "sensor:" nor "file:" is a sensor name ("sensor://" + name).
TcsResult tcsDatabaseFormatDatabaseAsyncA(TcsHandle client, const char* url, DssCompletionCallback callback,
                                          void* context);
TcsResult tcsDatabaseFormatDatabaseAsyncW(TcsHandle client, const uint16_t* url, DssCompletionCallback callback,
                                          void* context);
TcsResult tcsDatabaseFormatDatabasePriv(TcsHandle client, const char* url);
TcsResult tcsDatabaseFormatDatabaseA(TcsHandle client, const char* url);
TcsResult tcsDatabaseFormatDatabaseW(TcsHandle client, const uint16_t* url);
TcsResult tcsDatabaseEraseDatabaseAsync(TcsHandle client, TcsHandle database, DssCompletionCallback callback,
                                        void* context);
TcsResult tcsDatabaseEraseDatabase(TcsHandle client, TcsHandle database);
// Backup and restore need a database on a sensor (6 otherwise); a null buffer asks the backup's size.
TcsResult tcsDatabaseBackupAsync(TcsHandle database, uint8_t* buffer, uint32_t* inOutSize,
                                 DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseBackup(TcsHandle database, uint8_t* buffer, uint32_t* inOutSize);
TcsResult tcsDatabaseRestoreAsync(TcsHandle database, const uint8_t* buffer, uint32_t size,
                                  DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseRestore(TcsHandle database, const uint8_t* buffer, uint32_t size);

// App storages (names of at most 12 characters).
TcsResult tcsDatabaseCreateAppStorageAsync(TcsHandle database, const char* name, uint32_t option,
                                           DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseCreateAppStorage(TcsHandle database, const char* name, uint32_t option, TcsHandle* outAppStorage);
TcsResult tcsDatabaseCloseAppStorageAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseCloseAppStorage(TcsHandle appStorage);
TcsResult tcsDatabaseDeleteAppStorageAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseDeleteAppStorage(TcsHandle appStorage);
TcsResult tcsDatabaseGetUserCountAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseGetUserCount(TcsHandle appStorage, uint32_t* outCount);

// Users. Data given to a set must stay valid until its completion; data read is the caller's
// (free with tcsBufferFree).
TcsResult tcsDatabaseCreateUserAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseCreateUser(TcsHandle appStorage, TcsHandle* outUser);
TcsResult tcsDatabaseCloseUserAsync(TcsHandle user, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseCloseUser(TcsHandle user);
TcsResult tcsDatabaseDeleteUserAsync(TcsHandle user, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseDeleteUser(TcsHandle user);
TcsResult tcsDatabaseOpenFirstUserAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseOpenFirstUser(TcsHandle appStorage, TcsHandle* outUser);
TcsResult tcsDatabaseOpenNextUserAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseOpenNextUser(TcsHandle appStorage, TcsHandle* outUser);
TcsResult tcsDatabaseSetUserDataAsync(TcsHandle user, uint32_t dataId, const uint8_t* data, uint32_t length,
                                      DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseSetUserData(TcsHandle user, uint32_t dataId, const uint8_t* data, uint32_t length);
TcsResult tcsDatabaseGetUserDataAsync(TcsHandle user, uint32_t dataId, DssDataCallback callback, void* context);
TcsResult tcsDatabaseGetUserData(TcsHandle user, uint32_t dataId, uint8_t** outData, uint32_t* outLength);
TcsResult tcsDatabaseDeleteUserDataAsync(TcsHandle user, uint32_t dataId, DssCompletionCallback callback,
                                         void* context);
TcsResult tcsDatabaseDeleteUserData(TcsHandle user, uint32_t dataId);

// Templates.
TcsResult tcsDatabaseCreateTemplateAsync(TcsHandle user, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseCreateTemplate(TcsHandle user, TcsHandle* outTemplate);
TcsResult tcsDatabaseCloseTemplateAsync(TcsHandle templateHandle, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseCloseTemplate(TcsHandle templateHandle);
TcsResult tcsDatabaseDeleteTemplateAsync(TcsHandle templateHandle, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseDeleteTemplate(TcsHandle templateHandle);
TcsResult tcsDatabaseOpenFirstTemplateAsync(TcsHandle user, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseOpenFirstTemplate(TcsHandle user, TcsHandle* outTemplate);
TcsResult tcsDatabaseOpenNextTemplateAsync(TcsHandle user, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseOpenNextTemplate(TcsHandle user, TcsHandle* outTemplate);
// The asynchronous set stores the bytes as given; the synchronous one puts the format byte 1 in front.
TcsResult tcsDatabaseSetTemplateDataAsync(TcsHandle templateHandle, uint32_t dataId, const uint8_t* data,
                                          uint32_t length, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseSetTemplateData(TcsHandle templateHandle, uint32_t dataId, const uint8_t* data, uint32_t length);
TcsResult tcsDatabaseGetTemplateDataAsync(TcsHandle templateHandle, uint32_t dataId, DssDataCallback callback,
                                          void* context);
// Takes the format byte off again (a 1024-byte blob comes back whole); 54 for another format.
TcsResult tcsDatabaseGetTemplateData(TcsHandle templateHandle, uint32_t dataId, uint8_t** outData,
                                     uint32_t* outLength);
TcsResult tcsDatabaseDeleteTemplateDataAsync(TcsHandle templateHandle, uint32_t dataId,
                                             DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseDeleteTemplateData(TcsHandle templateHandle, uint32_t dataId);
// Inner forms on the record: the stored bytes as they are.
TcsResult _tcsDatabaseSetTemplateDataAsync(DssTemplate* templ, uint32_t dataId, const uint8_t* data, uint32_t length,
                                           DssCompletionCallback callback, void* context);
TcsResult _tcsDatabaseGetTemplateDataAsync(DssTemplate* templ, uint32_t dataId, DssDataCallback callback,
                                           void* context);
TcsResult _tcsDatabaseSetTemplateDataSync(DssTemplate* templ, uint32_t dataId, const uint8_t* data, uint32_t length);
TcsResult _tcsDatabaseGetTemplateDataSync(DssTemplate* templ, uint32_t dataId, uint8_t** outData,
                                          uint32_t* outLength);

// Storages.
TcsResult tcsDatabaseCreateStorageAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseCreateStorage(TcsHandle appStorage, TcsHandle* outStorage);
TcsResult tcsDatabaseCloseStorageAsync(TcsHandle storage, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseCloseStorage(TcsHandle storage);
TcsResult tcsDatabaseDeleteStorageAsync(TcsHandle storage, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseDeleteStorage(TcsHandle storage);
TcsResult tcsDatabaseOpenFirstStorageAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseOpenFirstStorage(TcsHandle appStorage, TcsHandle* outStorage);
TcsResult tcsDatabaseOpenNextStorageAsync(TcsHandle appStorage, DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseOpenNextStorage(TcsHandle appStorage, TcsHandle* outStorage);
TcsResult tcsDatabaseSetStorageDataAsync(TcsHandle storage, uint32_t dataId, const uint8_t* data, uint32_t length,
                                         DssCompletionCallback callback, void* context);
TcsResult tcsDatabaseSetStorageData(TcsHandle storage, uint32_t dataId, const uint8_t* data, uint32_t length);
TcsResult tcsDatabaseGetStorageDataAsync(TcsHandle storage, uint32_t dataId, DssDataCallback callback, void* context);
TcsResult tcsDatabaseGetStorageData(TcsHandle storage, uint32_t dataId, uint8_t** outData, uint32_t* outLength);
TcsResult tcsDatabaseDeleteStorageDataAsync(TcsHandle storage, uint32_t dataId, DssCompletionCallback callback,
                                            void* context);
TcsResult tcsDatabaseDeleteStorageData(TcsHandle storage, uint32_t dataId);

// The sensor behind an object's database (0 for a file store).
TcsResult tcsDatabaseGetSensorHandle(TcsHandle database, TcsHandle* outSensor);
TcsResult tcsDatabaseAppStorageGetSensorHandle(TcsHandle appStorage, TcsHandle* outSensor);
TcsResult tcsDatabaseUserGetSensorHandle(TcsHandle user, TcsHandle* outSensor);
TcsResult tcsDatabaseTemplateGetSensorHandle(TcsHandle templateHandle, TcsHandle* outSensor);
TcsResult tcsDatabaseStorageGetSensorHandle(TcsHandle storage, TcsHandle* outSensor);

// Template blob 1 as an enroll template, and back (packed for the sensor).
TcsResult tcsDatabaseExGetTemplateData(TcsHandle templateHandle, TcsHandle sensor, TcsHandle* outEnrollTemplate);
TcsResult tcsDatabaseExSetTemplateData(TcsHandle templateHandle, TcsHandle sensor, TcsHandle enrollTemplate);
TcsResult _tcsDatabaseExSetTemplateData(TcsHandle templateHandle, TcsHandle sensor, TcsHandle enrollTemplate,
                                        uint32_t payloadLength, const uint8_t* payload, uint32_t keyMaterialLength,
                                        const uint8_t* keyMaterial);

#ifdef __cplusplus
}
#endif
