// Handle map: opaque 64-bit handles for the stack's records, one list, lock and clean-up per kind.
#pragma once

#include "platform/list.h"
#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t HandleType;
enum : HandleType {
    TCS_HANDLE_TYPE_CLIENT = 0,
    TCS_HANDLE_TYPE_SENSOR = 1,
    TCS_HANDLE_TYPE_MATCHER = 2,
    TCS_HANDLE_TYPE_MATCH_RESULTS = 3,
    TCS_HANDLE_TYPE_IMAGE = 4,
    TCS_HANDLE_TYPE_ENROLL_TEMPLATE = 5,
    TCS_HANDLE_TYPE_DATABASE = 6,
    TCS_HANDLE_TYPE_APP_STORAGE = 7,
    TCS_HANDLE_TYPE_STORAGE = 8,
    TCS_HANDLE_TYPE_USER = 9,
    TCS_HANDLE_TYPE_DB_TEMPLATE = 10,
    TCS_HANDLE_TYPE_SPARE = 11,
    TCS_HANDLE_TYPE_COUNT = 12,
};

// One registration. Handle values start at 1 and are never given out twice while the map lives.
typedef struct HandleNode {
    PalListEntry links;
    uint64_t handle;
    void* object;
} HandleNode;

// Runs on destroy under the kind's lock: frees the buffers the object owns, then the object
// (with palRealFree), and clears node->object.
typedef void (*HandleCleanup)(HandleNode* node);

// Sets the clean-up of a kind; NULL restores the default, which frees only the object. Owners of
// records that hold buffers (sensor id string, result buffer, image metrics, template data, the
// database's owned buffer) register theirs; a registration outlives shut-down and start-up.
// 17 for a kind above 11.
TcsResult _tcsSafeHandleSetCleanup(HandleType kind, HandleCleanup cleanup);

// Runs before the public destroy of a handle of its kind, outside the map's locks: an owner whose
// records sit in other lists (clients, sensors) tears a live record down through its own destroy
// and returns 1 with that result; 0 lets the plain destroy go on. NULL removes it.
typedef uint32_t (*HandleOwnerDestroy)(uint64_t handle, void* object, TcsResult* outResult);
TcsResult _tcsSafeHandleSetOwnerDestroy(HandleType kind, HandleOwnerDestroy destroy);

TcsResult tcsSafeHandlesInitialize(void);
TcsResult tcsSafeHandlesUnInitialize(void);

TcsResult _tcsSafeHandleCreate(void* object, HandleType kind, uint64_t* outHandle);
// An unknown handle is not an error: 0 with a null object, for the caller's validator to judge.
TcsResult _tcsSafeHandleFetch(uint64_t handle, HandleType kind, void** outObject);
TcsResult _tcsSafeHandleDestroy(uint64_t handle, HandleType kind);
TcsResult tcsSafeHandleReverseFetch(void* object, HandleType kind, uint64_t* outHandle);
TcsResult _tcsSafeHandleTypeGet(uint64_t handle, HandleType* outKind);
TcsResult tcsSafeHandleFetch(uint64_t handle, void** outObject);
TcsResult tcsSafeHandleDestroy(uint64_t handle);
// The public entry through which a caller releases any handle it owns.
TcsResult tcsHandleDestroy(uint64_t handle);
// Destroys a registered object through its kind's clean-up; an unregistered one is only freed.
TcsResult tcsSafeExHandleDestroy(void* object, HandleType kind);

// Typed forms: the generic operations with the kind their name says.
TcsResult tcsSafeClientHandleCreate(void* object, uint64_t* outHandle);
TcsResult tcsSafeClientHandleFetch(uint64_t handle, void** outObject);
TcsResult tcsSafeClientHandleDestroy(uint64_t handle);
TcsResult tcsSafeSensorHandleCreate(void* object, uint64_t* outHandle);
TcsResult tcsSafeSensorHandleFetch(uint64_t handle, void** outObject);
TcsResult tcsSafeSensorHandleDestroy(uint64_t handle);
TcsResult tcsSafeMatcherHandleCreate(void* object, uint64_t* outHandle);
TcsResult tcsSafeMatcherHandleFetch(uint64_t handle, void** outObject);
TcsResult tcsSafeMatcherHandleDestroy(uint64_t handle);
TcsResult tcsSafeMatchResultsHandleCreate(void* object, uint64_t* outHandle);
TcsResult tcsSafeMatchResultsHandleFetch(uint64_t handle, void** outObject);
TcsResult tcsSafeMatchResultsHandleDestroy(uint64_t handle);
TcsResult tcsSafeImageHandleCreate(void* object, uint64_t* outHandle);
TcsResult tcsSafeImageHandleFetch(uint64_t handle, void** outObject);
TcsResult tcsSafeImageHandleDestroy(uint64_t handle);
TcsResult tcsSafeEnrollTemplateHandleCreate(void* object, uint64_t* outHandle);
TcsResult tcsSafeEnrollTemplateHandleFetch(uint64_t handle, void** outObject);
TcsResult tcsSafeEnrollTemplateHandleDestroy(uint64_t handle);
TcsResult tcsSafeDBHandleCreate(void* object, uint64_t* outHandle);
TcsResult tcsSafeDBHandleFetch(uint64_t handle, void** outObject);
TcsResult tcsSafeDBHandleDestroy(uint64_t handle);
TcsResult tcsSafeAppStorageHandleCreate(void* object, uint64_t* outHandle);
TcsResult tcsSafeAppStorageHandleFetch(uint64_t handle, void** outObject);
TcsResult tcsSafeAppStorageHandleDestroy(uint64_t handle);
TcsResult tcsSafeStorageHandleCreate(void* object, uint64_t* outHandle);
TcsResult tcsSafeStorageHandleFetch(uint64_t handle, void** outObject);
TcsResult tcsSafeStorageHandleDestroy(uint64_t handle);
TcsResult tcsSafeUserHandleCreate(void* object, uint64_t* outHandle);
TcsResult tcsSafeUserHandleFetch(uint64_t handle, void** outObject);
TcsResult tcsSafeUserHandleDestroy(uint64_t handle);
TcsResult tcsSafeDBTemplateHandleCreate(void* object, uint64_t* outHandle);
TcsResult tcsSafeDBTemplateHandleFetch(uint64_t handle, void** outObject);
TcsResult tcsSafeDBTemplateHandleDestroy(uint64_t handle);

#ifdef __cplusplus
}
#endif
