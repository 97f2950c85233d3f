// Client calls of the library that the stack's own headers do not declare (or declare in another form).
#pragma once

#include "apps/shared/client.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A typed byte string of the extended calls.
typedef struct TypedSizedBuffer {
    uint32_t kind;
    uint32_t length;
    const uint8_t* data;
} TypedSizedBuffer;

// Byte strings the library allocates for the caller; free with tcsExFreeBufferList.
typedef struct OwnedBuffer {
    uint32_t kind;  // 0 where the list has no kinds
    uint32_t length;
    uint8_t* data;
} OwnedBuffer;

// LED configuration record of the service: size (0 means 12) then at most 24 bytes.
typedef struct LedConfigRecord {
    uint32_t size;
    uint8_t bytes[24];
} LedConfigRecord;

TcsResult tcsSensorOpenPriv(TcsHandle client, const char* sensorId, TcsHandle* outSensor);
TcsResult tcsSensorGetFingerprintAsyncPriv(TcsHandle sensor, CompletionCallback callback, void* context,
                                           const char* debugPath);

TcsResult tcsDatabaseOpenPriv(TcsHandle client, const char* url, TcsHandle* outDatabase);
TcsResult tcsDatabaseOpenA(TcsHandle client, const char* url, TcsHandle* outDatabase);
TcsResult tcsDatabaseClose(TcsHandle database);
TcsResult tcsDatabaseEraseDatabase(TcsHandle client, TcsHandle database);
TcsResult tcsDatabaseCreateAppStorage(TcsHandle database, const char* name, uint32_t option, TcsHandle* outAppStorage);
TcsResult tcsDatabaseDeleteAppStorage(TcsHandle appStorage);
TcsResult tcsDatabaseCloseAppStorage(TcsHandle appStorage);
TcsResult tcsDatabaseCreateUser(TcsHandle appStorage, TcsHandle* outUser);
TcsResult tcsDatabaseCloseUser(TcsHandle user);
// Data reads hand back a buffer of the library's (free with palRealFree), NULL for empty data.
TcsResult tcsDatabaseSetUserData(TcsHandle user, uint32_t dataId, const uint8_t* data, uint32_t length);
TcsResult tcsDatabaseGetUserData(TcsHandle user, uint32_t dataId, uint8_t** outData, uint32_t* outLength);
TcsResult tcsDatabaseDeleteUserData(TcsHandle user, uint32_t dataId);
TcsResult tcsDatabaseOpenFirstUser(TcsHandle appStorage, TcsHandle* outUser);
TcsResult tcsDatabaseOpenNextUser(TcsHandle appStorage, TcsHandle* outUser);
TcsResult tcsDatabaseDeleteUser(TcsHandle user);
TcsResult tcsDatabaseCreateTemplate(TcsHandle user, TcsHandle* outTemplate);
TcsResult tcsDatabaseCloseTemplate(TcsHandle templateHandle);
TcsResult tcsDatabaseDeleteTemplate(TcsHandle templateHandle);
TcsResult tcsDatabaseSetTemplateData(TcsHandle templateHandle, uint32_t dataId, const uint8_t* data, uint32_t length);
TcsResult tcsDatabaseDeleteTemplateData(TcsHandle templateHandle, uint32_t dataId);
TcsResult tcsDatabaseGetTemplateData(TcsHandle templateHandle, uint32_t dataId, uint8_t** outData, uint32_t* outLength);
TcsResult tcsDatabaseOpenFirstTemplate(TcsHandle user, TcsHandle* outTemplate);
TcsResult tcsDatabaseOpenNextTemplate(TcsHandle user, TcsHandle* outTemplate);
TcsResult tcsDatabaseCreateStorage(TcsHandle appStorage, TcsHandle* outStorage);
TcsResult tcsDatabaseCloseStorage(TcsHandle storage);
TcsResult tcsDatabaseDeleteStorage(TcsHandle storage);
TcsResult tcsDatabaseSetStorageData(TcsHandle storage, uint32_t dataId, const uint8_t* data, uint32_t length);
TcsResult tcsDatabaseDeleteStorageData(TcsHandle storage, uint32_t dataId);
TcsResult tcsDatabaseGetStorageData(TcsHandle storage, uint32_t dataId, uint8_t** outData, uint32_t* outLength);
TcsResult tcsDatabaseOpenFirstStorage(TcsHandle appStorage, TcsHandle* outStorage);
TcsResult tcsDatabaseOpenNextStorage(TcsHandle appStorage, TcsHandle* outStorage);
TcsResult tcsDatabaseFormatDatabasePriv(TcsHandle client, const char* url);
TcsResult tcsDatabaseGetUserCount(TcsHandle appStorage, uint32_t* outCount);
// The template travels packed; the one read back gets a new enroll-template handle of the caller's.
TcsResult tcsDatabaseExGetTemplateData(TcsHandle templateHandle, TcsHandle sensor, TcsHandle* outEnrollTemplate);
TcsResult tcsDatabaseExSetTemplateData(TcsHandle templateHandle, TcsHandle sensor, TcsHandle enrollTemplate);

TcsResult tcsSensorStartTTAHandling(TcsHandle sensor);
TcsResult tcsSensorStopTTAHandling(TcsHandle sensor);

TcsResult tcsSensorLEDConfig(TcsHandle sensor, uint32_t selector, LedConfigRecord* record);
TcsResult tcsSensorLEDGetConfig(TcsHandle sensor, uint32_t selector, LedConfigRecord* record);
TcsResult tcsSensorLoadDefaultLEDConfig(TcsHandle sensor);
TcsResult tcsSensorSaveLEDConfig(TcsHandle sensor);
TcsResult tcsSensorLEDSetEvent(TcsHandle sensor, uint32_t ledEvent);
TcsResult tcsSensorIsLEDEnabled(uint32_t* outEnabled);
TcsResult tcsSensorLEDEnable(uint32_t enable);
TcsResult tcsSensorLEDReadyForSwipe(TcsHandle sensor);
TcsResult tcsSensorLEDEnrollmentSwipeAccepted(TcsHandle sensor);
TcsResult tcsSensorLEDEnrollmentSwipeRejected(TcsHandle sensor);
TcsResult tcsSensorLEDSwipeAccepted(TcsHandle sensor);
TcsResult tcsSensorLEDSwipeRejected(TcsHandle sensor);
TcsResult tcsSensorLEDIdle(TcsHandle sensor);

TcsResult tcsSensorStartPrivilegedTransaction(TcsHandle sensor);
TcsResult tcsSensorStopPrivilegedTransaction(TcsHandle sensor);

// Extended flows. Identify and verify return only after the event that carries their outcome
// (identification or image) has reached the callback.
TcsResult tcsExEnrollUserEx(TcsHandle sensor, uint32_t option, TcsHandle appStorage, const SizedBuffer* userId,
                            uint32_t value, const TypedSizedBuffer* data, uint32_t flags, EventCallback callback,
                            void* context);
TcsResult tcsExEnrollUser(TcsHandle sensor, uint32_t option, TcsHandle appStorage, const SizedBuffer* userId,
                          uint32_t value, const TypedSizedBuffer* data, uint32_t flags, EventCallback callback,
                          void* context);
TcsResult tcsExIdentifyUser(TcsHandle sensor, uint32_t option, TcsHandle appStorage, uint32_t flags,
                            EventCallback callback, void* context);
TcsResult tcsExVerifyUser(TcsHandle sensor, uint32_t option, TcsHandle appStorage, const SizedBuffer* userId,
                          uint32_t flags, EventCallback callback, void* context);
TcsResult tcsExEventsCB(void* handle, void* context, EventRecord* event);
TcsResult tcsCancelExOperation(TcsHandle sensor);
TcsResult tcsExRemoveUserFinger(TcsHandle sensor, TcsHandle appStorage, const SizedBuffer* userId, uint32_t finger);
TcsResult tcsExGetEnrolledUserList(TcsHandle sensor, TcsHandle appStorage, uint32_t* outCount, OwnedBuffer** outUsers);
TcsResult tcsExExportUserTemplates(TcsHandle sensor, TcsHandle appStorage, const SizedBuffer* userId,
                                   uint32_t* outCount, OwnedBuffer** outTemplates);
void tcsExFreeBufferList(OwnedBuffer* list, uint32_t count);
// Authentication data calls answer with one byte string of the library's (free with palRealFree).
TcsResult tcsExEnrollAuthData(TcsHandle sensor, const SizedBuffer* first, const TypedSizedBuffer* second,
                              uint32_t value, const SizedBuffer* third, uint8_t** outData, uint32_t* outLength);
TcsResult tcsExGetAuthToken(TcsHandle sensor, const SizedBuffer* first, const TypedSizedBuffer* second,
                            uint32_t value, const SizedBuffer* third, const SizedBuffer* fourth, uint8_t** outData,
                            uint32_t* outLength);
TcsResult tcsExShareAuthData(TcsHandle sensor, TcsHandle handle, const SizedBuffer* first,
                             const TypedSizedBuffer* second, const SizedBuffer* third, const SizedBuffer* fourth,
                             uint8_t** outData, uint32_t* outLength);
TcsResult tcsExEnrollTemplate(TcsHandle sensor, TcsHandle appStorage, const SizedBuffer* userId, uint32_t finger,
                              const TypedSizedBuffer* data, TcsHandle enrollTemplate);
// The identified users are the caller's: free with tcsExFreeIdentifiedUsers.
TcsResult tcsExIdentifyImage(TcsHandle sensor, uint32_t option, TcsHandle appStorage, uint32_t flags, TcsHandle image,
                             uint32_t* outCount, IdentifiedUser** outUsers);
void tcsExFreeIdentifiedUsers(IdentifiedUser* users, uint32_t count);
TcsResult tcsExVerifyImage(TcsHandle sensor, uint32_t option, TcsHandle appStorage, uint32_t flags,
                           const SizedBuffer* userId, TcsHandle image);

// Answered in the library: navigation and the one-time-password calls are not offered.
TcsResult tcsSensorNavigationStart(TcsHandle sensor);
TcsResult tcsSensorNavigationStop(TcsHandle sensor);
TcsResult tcsSensorNavigationSetConfig(TcsHandle sensor, const void* config);
TcsResult tcsSensorNavigationGetConfig(TcsHandle sensor, void* config);
TcsResult tcsFIDOCreateAuthData(void);
TcsResult tcsFIDOProvisionOtpSeed(void);
TcsResult tcsFIDOCreateHotpToken(void);

#ifdef __cplusplus
}
#endif
