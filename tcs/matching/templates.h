// Enroll templates and match results: the records matchers make and take, their handle accessors and
// the packed byte form in which a template crosses a process boundary.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The header is byte-packed: the packed form carries it as it lies in memory (52 bytes, pointers
// at 28 and 44), so the layout is the format.
#pragma pack(push, 1)
typedef struct EnrollTemplate {
    char magic[4];  // "TTML" where a create or matcher 1's enrolment made it; never checked
    uint32_t dataSize;
    uint32_t templateType;
    uint32_t userId;
    uint32_t finger;
    uint16_t version;     // 0: a record the matcher keeps for itself; DestroyEnrollTemplate leaves it
    uint16_t enrollMark;  // 1: a native enrolment template (matchers 1 and 4)
    uint32_t features;
    uint8_t* blob;
    uint32_t blobSize;
    uint32_t reserved;    // the cipher padding of an encrypted template (whose blob is its IV)
    uint8_t* aspProfile;  // self-sized: its first u32 is its size
    uint8_t data[1];      // dataSize bytes
} EnrollTemplate;
#pragma pack(pop)

#define TCS_TEMPLATE_HEADER_SIZE 52u

typedef struct MatchResult {
    uint32_t index;
    uint32_t score;
    uint32_t userId;
    uint32_t finger;
    uint32_t status;  // 1 matched
    uint32_t enrollUpdate;
    uint8_t* extraData;  // owned by the result
    uint32_t extraSize;
    uint32_t reserved[3];
} MatchResult;

// Liveness metrics of an image (kind 2 when filled by the liveness check).
typedef struct AspMetrics {
    uint32_t size;
    uint32_t kind;
    uint32_t verdict[8];
    uint32_t confidence[8];
} AspMetrics;

// Record level.
TcsResult _tcsTemplateCreate(EnrollTemplate** outTemplate, const void* data, uint32_t size);
TcsResult _tcsTemplateDestroy(EnrollTemplate* templ);
TcsResult _tcsTemplateClone(EnrollTemplate* templ, EnrollTemplate** outTemplate);
uint32_t _tcsTemplateGetDataSize(const EnrollTemplate* templ);
uint32_t _tcsTemplateGetType(const EnrollTemplate* templ);
uint32_t _tcsTemplateGetFinger(const EnrollTemplate* templ);
uint32_t _tcsTemplateGetFeatures(const EnrollTemplate* templ);
uint32_t _tcsTemplateGetASPProfileSize(const EnrollTemplate* templ);
TcsResult _tcsTemplateGetASPProfile(const EnrollTemplate* templ, void* buffer, uint32_t size);
TcsResult _tcsTemplateGetData(const EnrollTemplate* templ, void* buffer, uint32_t size);
TcsResult _tcsTemplateSetASPProfile(EnrollTemplate* templ, const void* profile, uint32_t size);
// A zero-filled record with room for size data bytes and the trailing byte.
EnrollTemplate* _tcsTemplateAlloc(uint32_t size);

// Handle level.
TcsResult tcsTemplateCreate(uint64_t* outHandle, const void* data, uint32_t size);
uint32_t tcsTemplateGetDataSize(uint64_t handle);
uint32_t tcsTemplateGetType(uint64_t handle);
uint32_t tcsTemplateGetFinger(uint64_t handle);
uint32_t tcsTemplateGetUserID(uint64_t handle);
uint32_t tcsTemplateGetFeatures(uint64_t handle);
uint32_t tcsTemplateGetASPProfileSize(uint64_t handle);
TcsResult tcsTemplateGetData(uint64_t handle, void* buffer, uint32_t size);
TcsResult tcsTemplateGetASPProfile(uint64_t handle, void* buffer, uint32_t size);
TcsResult tcsTemplateSetFeatures(uint64_t handle, uint32_t features);
TcsResult tcsTemplateSetFinger(uint64_t handle, uint32_t finger);
TcsResult tcsTemplateSetUserID(uint64_t handle, uint32_t userId);
TcsResult tcsTemplateSetASPProfile(uint64_t handle, const void* profile, uint32_t size);
// The cipher fields of an encrypted template, as of an image: its optional blob is the IV, its u32
// after the blob the cipher padding. 40 null out pointer, 17 unknown handle.
TcsResult tcsCryptoTemplateGetPaddingSize(uint64_t handle, uint32_t* outSize);
TcsResult tcsCryptoTemplateGetIV(uint64_t handle, void** outIv, uint32_t* outLength);
TcsResult tcsTemplatePack(uint64_t handle, uint8_t* buffer, uint32_t* outSize);
TcsResult tcsTemplateUnPack(const uint8_t* packed, uint64_t* outHandle);
// Registers the clean-ups of enroll-template and match-result handles with the handle map.
void _tcsTemplateRegisterCleanups(void);

uint32_t tcsMatchResultsGetIndex(uint64_t handle);
uint32_t tcsMatchResultsGetScore(uint64_t handle);
uint32_t tcsMatchResultsGetUserID(uint64_t handle);
uint32_t tcsMatchResultsGetFinger(uint64_t handle);
uint32_t tcsMatchResultsGetStatus(uint64_t handle);
uint32_t tcsMatchResultsGetEnrollUpdate(uint64_t handle);
TcsResult tcsMatchResultsDestroyHandle(uint64_t handle);
// Frees a result buffer with its extra data.
void _tcsMatchResultFree(MatchResult* result);

#ifdef __cplusplus
}
#endif
