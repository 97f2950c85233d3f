// Recognition engine interface: flat functions over opaque handles, 64-bit HRESULT-style results.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// 0 success, 1 a "no" answer, failures negative (HRESULT layout, sign-extended to 64 bits).
typedef long RecogResult;

// The address of the magic field inside a handle block; never dereferenced by callers.
typedef struct RecogHandleOpaque* RecogHandle;

#define RECOG_CODE(x) ((RecogResult)(int32_t)(x))
#define RECOG_OK 0L
#define RECOG_NO 1L
#define RECOG_E_INVALID_ARG RECOG_CODE(0x80070057u)
#define RECOG_E_HANDLE RECOG_CODE(0x80070006u)
#define RECOG_E_OUT_OF_MEMORY RECOG_CODE(0x8007000Eu)
#define RECOG_E_OVERLAP RECOG_CODE(0x8007007Au)
#define RECOG_E_BUFFER_TOO_SMALL RECOG_CODE(0x800700EAu)
#define RECOG_E_NOTHING_TO_DO RECOG_CODE(0x8007054Fu)
#define RECOG_E_TOO_FEW_FEATURES RECOG_CODE(0x80048004u)
#define RECOG_E_PURPOSE RECOG_CODE(0x85BA001Du)
#define RECOG_E_IMAGE_REJECTED RECOG_CODE(0x85BA0022u)
#define RECOG_E_MALFORMED RECOG_CODE(0x85BA0024u)
#define RECOG_E_NOT_ENROLLABLE RECOG_CODE(0x85BA0025u)
#define RECOG_E_NO_VIEW RECOG_CODE(0x85BA010Au)

// Purpose bits of feature sets and templates.
#define RECOG_PURPOSE_ENROLL 0x1u
#define RECOG_PURPOSE_VERIFY 0x2u
#define RECOG_PURPOSE_IDENTIFY 0x4u
#define RECOG_PURPOSE_ANY_OF 0x80000000u

// Enrollment flag: a template may be made from four views that do not agree well enough.
#define RECOG_ENROLL_LENIENT 0x1u

// Enrollment status values written by RecogGetEnrollmentStatus.
#define RECOG_ENROLL_READY 0u
#define RECOG_ENROLL_MORE_VIEWS 1u

// RecogGetProbability kinds.
#define RECOG_PROBABILITY_COMPARISON 1
#define RECOG_PROBABILITY_CANDIDATE 2

// False-match probabilities are scaled so that 0x7FFFFFFF stands for 1.
#define RECOG_PROBABILITY_ONE 0x7FFFFFFF
#define RECOG_THRESHOLD_DEFAULT (-1) // means 16384, about 7.6 in a million

// The caller's environment. Every field is 64 bits wide; size is 40 (fields up to reserved) or 72.
typedef struct ContextInitBlock {
    uint64_t size;
    void* user;
    void* (*allocate)(size_t size, void* user);
    void (*deallocate)(void* block, void* user);
    uint64_t reserved;
    int64_t (*increment)(int64_t* counter);                                  // returns the new value
    int64_t (*decrement)(int64_t* counter);                                  // returns the new value
    int64_t (*exchange)(int64_t* counter, int64_t value);                    // returns the old value
    int64_t (*compareExchange)(int64_t* counter, int64_t value, int64_t expected); // returns the old value
} ContextInitBlock;

RecogResult RecogCreateContext(ContextInitBlock* init, RecogHandle* out);
RecogResult RecogCloseHandle(RecogHandle handle);
RecogResult RecogGetLibraryVersion(uint32_t version[4]);

// Finger image record formats accepted by feature-set creation.
#define RECOG_FORMAT_ANSI_381 0x001B0401u
#define RECOG_FORMAT_ISO_19794_4 0x01010007u
#define RECOG_FORMAT_OWN_IMAGE 0x00330402u

// Extraction flags of feature-set creation.
#define RECOG_EXTRACT_FFT_ENHANCE 0x2u
#define RECOG_EXTRACT_REFINE_ANGLES 0x4u

RecogResult RecogCreateFeatureSet(RecogHandle context, const void* data, size_t size, uint32_t format,
                                  uint32_t purpose, uint32_t flags, RecogHandle* out);
// As RecogCreateFeatureSet, but the record's buffer is the work area and is overwritten.
RecogResult RecogCreateFeatureSetInPlace(RecogHandle context, void* data, size_t size, uint32_t format,
                                         uint32_t purpose, uint32_t flags, RecogHandle* out);

RecogResult RecogCreateComparison(RecogHandle featureSet, RecogHandle templ, uint32_t options, RecogHandle* out);
RecogResult RecogGetProbability(RecogHandle handle, int32_t kind, uint32_t* probability);
RecogResult RecogGetVerificationResult(RecogHandle comparison, int32_t threshold);

RecogResult RecogCreateEnrollment(RecogHandle context, uint32_t flags, RecogHandle* out);
RecogResult RecogAddFeatureSetToEnrollment(RecogHandle enrollment, RecogHandle featureSet);
RecogResult RecogGetEnrollmentStatus(RecogHandle enrollment, uint32_t* status);
RecogResult RecogCreateTemplate(RecogHandle enrollment, uint32_t purpose, RecogHandle* out);

#ifdef __cplusplus
}
#endif

// Record formats, export and import.
#include "engines/recognition/recog_records.h"
