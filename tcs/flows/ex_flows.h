// Extended flows of the service core that need no capture: filing enroll templates under users,
// exporting and importing users, removing fingers and users, restoring a sensor's database, sensor
// features, bound enrollment records and authentication data. They run on the caller's thread and
// chain sensor, matcher and database through their synchronous calls.
//
// These are the core's own calls; the client library's tcsEx* remote calls have other signatures
// and never link into the same program.
#pragma once

#include "tcs/core.h"
#include "tcs/matching/templates.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Results of the flows beyond tcs/result.h's names.
enum : TcsResult {
    TCS_RESULT_FINGER_ENROLLED = 88,      // the user has a template of that finger
    TCS_RESULT_USER_EXISTS = 364,         // a new user was asked for and the id is taken
    TCS_RESULT_NOT_SIGNED = 373,          // an exported container whose signature does not verify
    TCS_RESULT_NOT_LAST_IDENTIFIED = 510, // the sensor's last identification is another user's
};

// Finger 11 stands for the whole user in tcsExRemoveUserFinger.
#define TCS_EX_WHOLE_USER 11u
// Bytes of random enrollment data a new user gets when the caller gives none.
#define TCS_EX_RANDOM_ENTRY_SIZE 64u

// Caller data kept with a template; packed for storage as consecutive {u32 kind, u32 size, data}.
typedef struct EnrollmentDataEntry {
    uint32_t kind;
    uint32_t size;
    const uint8_t* data;
} EnrollmentDataEntry;

// One exported template: a signed tag-value container. The array and every data buffer are the
// caller's, freed with tcsBufferFree.
typedef struct ExportedTemplate {
    uint32_t finger;
    uint32_t size;
    uint8_t* data;
} ExportedTemplate;

// One template to import. Only the first entry's enrollment data is used, for every template.
typedef struct ImportedTemplate {
    uint32_t finger;
    uint32_t size;
    const uint8_t* data;
    uint32_t entryCount;
    const EnrollmentDataEntry* entries;
} ImportedTemplate;

// Bytes handed out by a flow: the caller frees data with tcsBufferFree.
typedef struct ExBuffer {
    uint32_t length;
    uint8_t* data;
} ExBuffer;

// --- Storing, exporting and importing -------------------------------------------------------------------

// 8 + size per entry; 40 for a null array or out pointer, 17 when the sum does not fit 32 bits.
TcsResult GetEnrollmentDataSize(const EnrollmentDataEntry* entries, uint32_t count, uint32_t* outSize);
// The first user of the storage (database order) whose user data 1 equals the id byte for byte, left
// open. 40 for a missing storage, id or out pointer; 65 when none matches (out 0 then).
TcsResult GetUserHandleByUserID(DssAppStorage* appStorage, const SizedBuffer* userId, TcsHandle* outUser);
// Files an enroll template under the user, creating the user when it does not exist. Without entries
// (null or count 0) a new user gets one entry of 64 random bytes. 14 no sensor; 40 nothing to store
// or a missing storage, id or template; 364 the user exists and newUserOnly is set; 510 the user is not
// the one last identified on a PEK-secured sensor; 66 a stored template of unknown payload version;
// 88 the user has the finger already (refuseDuplicateFinger). On failure nothing new is left behind.
TcsResult StoreUserInAppStorage(SensorRecord* sensor, DssAppStorage* appStorage, const SizedBuffer* userId,
                                uint32_t entryCount, const EnrollmentDataEntry* entries,
                                const SizedBuffer* password, EnrollTemplate* enrollTemplate, uint32_t newUserOnly,
                                uint32_t refuseDuplicateFinger);

// Containers of tags 1, 101-104, 51-54 and the signature 2, one per template in database order.
TcsResult tcsExExportUserTemplates(TcsHandle sensor, TcsHandle appStorage, const SizedBuffer* userId,
                                   uint32_t* outCount, ExportedTemplate** outTemplates);
TcsResult tcsExExportUserTemplatesCount(TcsHandle sensor, TcsHandle appStorage, const SizedBuffer* userId,
                                        uint32_t* outCount);
// Flag 1 when at least one of the user's templates has no ASP profile.
TcsResult tcsExUserTemplatesUpdateCheck(TcsHandle sensor, TcsHandle appStorage, const SizedBuffer* userId,
                                        uint32_t* outFlag);
// 373 for a container that is not signed with the global key (nothing is stored then); a finger the
// user has already is passed over.
TcsResult tcsExImportUser(TcsHandle sensor, TcsHandle appStorage, uint32_t userIdLength, const uint8_t* userId,
                          uint32_t templateCount, const ImportedTemplate* templates);
TcsResult tcsExEnrollTemplate(TcsHandle sensor, TcsHandle appStorage, const SizedBuffer* userId,
                              uint32_t entryCount, const EnrollmentDataEntry* entries, TcsHandle enrollTemplate);
TcsResult tcsExEnrollTemplateAlt(TcsHandle sensor, TcsHandle appStorage, const SizedBuffer* userId,
                                 const SizedBuffer* password, TcsHandle enrollTemplate);

// --- Removal, restore, cancel and features --------------------------------------------------------------

// Removes the template of a finger (or the whole user for finger 11); the last finger takes the user
// with it. 66 when the user has no template of that finger.
TcsResult tcsExRemoveUserFinger(TcsHandle sensor, TcsHandle appStorage, const SizedBuffer* userId, uint32_t finger);
// Drop the sensor's decrypted copies of a template or of every template of a user.
TcsResult _tcsDatabaseExDeleteCachedTemplate(SensorRecord* sensor, DssTemplate* dbTemplate);
TcsResult _tcsDatabaseExDeleteCachedUser(SensorRecord* sensor, DssUser* user);
// Writes a backup image back to the sensor of a "sensor://" database (a bare name is a sensor
// name); 6 for a file store. Names of more than 260 characters are refused with 17.
TcsResult tcsDatabaseRestoreExA(TcsHandle client, const char* name, const uint8_t* image, uint32_t size);
TcsResult tcsDatabaseRestoreExW(TcsHandle client, const uint16_t* name, const uint8_t* image, uint32_t size);
TcsResult tcsDatabaseRestoreExPriv(TcsHandle client, const char* name, const uint8_t* image, uint32_t size);
TcsResult tcsCancelExOperation(TcsHandle sensor);
// Takes the client's matcher accuracy from the "FEATURES" storage of the sensor's own database, on a
// sensor that keeps one and for a client that did not set its accuracy itself.
TcsResult tcsSensorUpdateFeatures(TcsHandle sensor);

// --- Bound enrollment records ----------------------------------------------------------------------------

// "TOV-ENRL\0", u32 X, u32 Y, the packed template record (X bytes), the second packed part (Y bytes)
// and, when bound with a password, its SHA-256.
#define TCS_EX_BOUND_MAGIC_SIZE 9u
#define TCS_EX_BOUND_HEADER_SIZE 17u
#define TCS_EX_BOUND_DIGEST_SIZE 32u
// The scratch application storage a bind works in; it is left without users.
#define TCS_EX_BIND_SCRATCH_STORAGE "_TOV_DUMMY_"

// 17 for a zero sensor handle; 40 with neither password nor entries, or a missing id, template or out.
TcsResult _tcsExEnrollTemplateBind(TcsHandle sensor, const SizedBuffer* userId, uint32_t entryCount,
                                   const EnrollmentDataEntry* entries, const SizedBuffer* password,
                                   TcsHandle enrollTemplate, ExBuffer* outRecord);
TcsResult tcsExEnrollTemplateBind(TcsHandle sensor, const SizedBuffer* userId, uint32_t entryCount,
                                  const EnrollmentDataEntry* entries, TcsHandle enrollTemplate, ExBuffer* outRecord);
TcsResult tcsExEnrollTemplateBindAlt(TcsHandle sensor, const SizedBuffer* userId, const SizedBuffer* password,
                                     TcsHandle enrollTemplate, ExBuffer* outRecord);
// data is a bound record or the bytes of a plain template (filed under the finger given). A bound
// record of neither size X + Y + 17 nor X + Y + 49 gives 17 and nothing is stored; 17 or 510 for a
// password digest that differs from the user's or a user without one; 88 the finger is taken.
TcsResult tcsExEnrollTemplateStore(TcsHandle sensor, TcsHandle appStorage, const SizedBuffer* userId,
                                   uint32_t finger, uint32_t size, const uint8_t* data);

// --- Authentication data ----------------------------------------------------------------------------------

// Sealed authentication data: u32 length of the caller's data, then the block the database packed.
// Every call gives 6 when PEK security is off and 510 when the sensor's last identification is not
// this user's (and payload's or value's).
TcsResult _tcsExEnrollAuthData(TcsHandle sensor, const SizedBuffer* userId, const SizedBuffer* payload,
                               const uint8_t* value32, uint32_t kind, const SizedBuffer* authData,
                               ExBuffer* outSealed);
TcsResult tcsExEnrollAuthData(TcsHandle sensor, const SizedBuffer* userId, const SizedBuffer* payload, uint32_t kind,
                              const SizedBuffer* authData, ExBuffer* outSealed);
TcsResult tcsExEnrollAuthDataAlt(TcsHandle sensor, const SizedBuffer* userId, const uint8_t* value32, uint32_t kind,
                                 const SizedBuffer* authData, ExBuffer* outSealed);
// The token is the authentication data the sensor unsealed. Kind 3 needs a key of exactly 32 bytes.
TcsResult tcsExGetAuthToken(TcsHandle sensor, const SizedBuffer* userId, const SizedBuffer* payload,
                            const SizedBuffer* sealed, uint32_t kind, const SizedBuffer* key, ExBuffer* outToken);
// Unseals with kind 4 under the template of a user of the storage (storageUserId). The out buffer
// receives exactly the bytes the sensor unsealed, nothing around them. 62 when that user or its
// template payload is unknown.
TcsResult tcsExShareAuthData(TcsHandle sensor, const SizedBuffer* userId, const SizedBuffer* payload,
                             const SizedBuffer* sealed, TcsHandle appStorage, const SizedBuffer* storageUserId,
                             ExBuffer* outData);
// Completion of the raw-line request of tcsExShareAuthData: (line buffer, status, wait record).
TcsResult tcsExGetRawScanLinesCB(void* lines, TcsResult status, void* waitRecord);

#ifdef __cplusplus
}
#endif
