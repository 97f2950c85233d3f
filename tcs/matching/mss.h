// Matching: the matching subsystem record and its service step, the matcher record with its table of
// operations, the matcher work items and the openers that fill a record for a matcher id.
#pragma once

#include "platform/list.h"
#include "platform/threads.h"
#include "platform/worklist.h"
#include "tcs/matching/templates.h"
#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ImageRecord ImageRecord;
typedef struct MatcherRecord MatcherRecord;

typedef struct MssSubsystem {
    WorkList workList;  // wake event: the stack's shared one
    PalMutexHandle matcherLock;
    PalMutexHandle resultLock;
} MssSubsystem;

// Matcher ids: the native matchers, and the adaptive wrapper over each (the native id + 256).
typedef enum MatcherId {
    MSS_MATCHER_DEFAULT = 0,
    MSS_MATCHER_MINUTIAE = 1,
    MSS_MATCHER_ORBIS = 2,
    MSS_MATCHER_RECOG = 4,
    MSS_MATCHER_ADAPTIVE = 256,
} MatcherId;

// Statuses of an add-image item (what its callback and the synchronous call report).
typedef enum EnrollStatus {
    MSS_ENROLL_STATUS_COMPLETE = 400,
    MSS_ENROLL_STATUS_FAILED = 401,
    MSS_ENROLL_STATUS_MORE_IMAGES = 402,
} EnrollStatus;
// The matcher library answered a quality check with a value it does not define.
#define MSS_RESULT_QUALITY_UNEXPECTED 308u
// AddImageToTemplate: the image was rejected; not an error.
#define MSS_RESULT_IMAGE_REJECTED 200u

// Work item types (MatcherOpcode); every matcher item is queued with 5000 ms.
typedef enum MatcherOpcode {
    MSS_OPCODE_OPEN = 0,
    MSS_OPCODE_CLOSE = 1,
    MSS_OPCODE_CHECK_QUALITY = 2,
    MSS_OPCODE_EXTRACT = 3,
    MSS_OPCODE_ADD_IMAGE = 4,
    MSS_OPCODE_MATCH_TEMPLATES = 5,
    MSS_OPCODE_MATCH_IMAGE = 6,
    MSS_OPCODE_MATCH_IMAGE_EX = 7,
} MatcherOpcode;
#define MSS_WORK_ITEM_CLOSE_MATCHER 1u
#define MSS_ITEM_TIMEOUT_MS 5000u

// Control flags the adaptive wrapper sets on its inner matcher.
enum {
    MSS_FLAG_ADAPTIVE_MARK = 1,
    MSS_FLAG_SHORT_IMAGES = 2,
    MSS_FLAG_PROBE_READY = 4,
    MSS_FLAG_KEEP_PROBE = 8,
    MSS_FLAG_RELEASE_ONLY = 16,
    MSS_FLAG_SINGLE_TEMPLATE = 32,
    MSS_FLAG_KEEP_ENROLL_RECORDS = 256,
    MSS_FLAG_NO_UPDATE = 512,
};

// Payloads of the work items, one per opcode.
typedef struct MssOpenRequest {
    uint32_t requestedId;
    MatcherRecord* matcher;
} MssOpenRequest;
typedef struct MssCloseRequest {
    uint64_t matcherHandle;
    MatcherRecord* matcher;
} MssCloseRequest;
typedef struct MssQualityRequest {
    ImageRecord* image;
    MatcherRecord* matcher;
    uint32_t verdict;
} MssQualityRequest;
typedef struct MssExtractRequest {
    EnrollTemplate* templ;
    ImageRecord* image;
    MatcherRecord* matcher;
} MssExtractRequest;
typedef struct MssAddImageRequest {
    uint64_t templateHandle;
    EnrollTemplate* templ;
    ImageRecord* image;
    MatcherRecord* matcher;
} MssAddImageRequest;
typedef struct MssMatchTemplatesRequest {
    EnrollTemplate* a;
    EnrollTemplate* b;
    MatchResult* result;
    MatcherRecord* matcher;
} MssMatchTemplatesRequest;
// How a match-image item treats the image's features when one search compares the same image in
// several calls. Matchers 1 and 4 keep them between calls; the others extract at every call.
typedef enum MssProbeUse {
    MSS_PROBE_ONCE = 0,     // extracted and released within the call
    MSS_PROBE_KEEP = 1,     // extracted afresh and kept for the calls that follow
    MSS_PROBE_REUSE = 2,    // the kept features when the last call made them from this image, else as KEEP
    MSS_PROBE_RELEASE = 3,  // compares nothing and releases the kept features
} MssProbeUse;

typedef struct MssMatchImageRequest {
    MatcherRecord* matcher;
    ImageRecord* image;
    EnrollTemplate** templates;
    uint32_t count;
    uint32_t mode;
    MatchResult* result;
    uint32_t probe;  // MssProbeUse
} MssMatchImageRequest;
typedef struct MssMatchImageExRequest {
    MatcherRecord* matcher;
    ImageRecord* image;
    EnrollTemplate** templates;
    uint32_t count;
    uint32_t* callerNumber;
    uint32_t number;
    MatchResult** results;
    uint32_t buffers;  // result buffers made, however many the matcher reports
} MssMatchImageExRequest;

// One open matcher, linked into its client's matcher list. The service never calls an empty slot:
// such an item fails with 6.
struct MatcherRecord {
    PalListEntry links;
    void* client;  // the ClientRecord that opened it
    uint32_t closing;
    uint32_t id;
    uint32_t templateType;
    char idString[40];
    TcsResult (*Open)(MatcherRecord* matcher);
    TcsResult (*Close)(MatcherRecord* matcher);
    TcsResult (*SetFAR)(MatcherRecord* matcher, uint32_t far);
    TcsResult (*DestroyEnrollTemplate)(MatcherRecord* matcher, EnrollTemplate* templ);
    TcsResult (*AddImageToTemplate)(MatcherRecord* matcher, ImageRecord* image, EnrollTemplate** inOutTemplate,
                                    uint32_t* outComplete);
    TcsResult (*MatchImageToTemplates)(MatcherRecord* matcher, ImageRecord* image, EnrollTemplate** templates,
                                       uint32_t count, uint32_t mode, MatchResult* outResult);
    TcsResult (*MatchImageToTemplatesExt)(MatcherRecord* matcher, ImageRecord* image, EnrollTemplate** templates,
                                          uint32_t count, uint32_t* inOutResults, MatchResult** results);
    TcsResult (*SetParameter)(MatcherRecord* matcher, uint32_t id, uint32_t value);
    TcsResult (*GetParameter)(MatcherRecord* matcher, uint32_t id, uint32_t* outValue);
    TcsResult (*Shutdown)(MatcherRecord* matcher);
    TcsResult (*Extract)(MatcherRecord* matcher, ImageRecord* image, EnrollTemplate** outTemplate);
    TcsResult (*Match)(MatcherRecord* matcher, EnrollTemplate* a, EnrollTemplate* b, MatchResult* outResult);
    TcsResult (*Generalize)(MatcherRecord* matcher, EnrollTemplate** templates, uint32_t count,
                            EnrollTemplate** inOutTemplate, uint32_t* outIndex);
    TcsResult (*CheckQuality)(MatcherRecord* matcher, ImageRecord* image, uint32_t* outVerdict);
    TcsResult (*ExportTemplate)(MatcherRecord* matcher, const void* data, uint32_t size, EnrollTemplate** outTemplate,
                                uint32_t* outSize, uint32_t mode, uint32_t index);
    uint32_t controlFlags;  // MSS_FLAG_*
    uint8_t* singleTemplateData;
    uint32_t singleTemplateSize;
    void* probeFeatures;  // matcher 1: a feature buffer; matcher 4: a feature-set handle
    uint32_t probeFeatureSize;
    void* probeFeatures2;  // read by the adaptive wrapper in place of probeFeatures over matcher 2
    void* state;           // the adapter's own record
    const ImageRecord* keptProbeImage;  // the service's: the image the kept probe features were made from
};

// 13 null out pointer, 7 no memory, or a lock's failure code.
TcsResult mssSubsystemStartup(MssSubsystem** outSubsystem, PalEvent* wakeEvent);
// 4 for NULL.
TcsResult mssSubsystemShutdown(MssSubsystem* subsystem);
// 0 while work remains, 217 when none, 4 null, 7 lock failure.
TcsResult mssSubsystemService(MssSubsystem* subsystem, uint32_t budgetMs, uint32_t* nextWaitMs);

TcsResult mssGetDbgFlags(uint32_t* flags);
TcsResult mssGetDbgSystems(uint32_t* systems);
TcsResult mssSetDbgFlags(uint32_t flags);
TcsResult mssSetDbgSystems(uint32_t systems);

// Openers: fill a zero-filled record for their matcher id.
TcsResult mssMinutiaeOpen(MatcherRecord* matcher);
TcsResult mssOrbisOpen(MatcherRecord* matcher);
TcsResult mssRecogOpen(MatcherRecord* matcher);
TcsResult mssAdaptiveMatcherOpen(MatcherRecord* matcher, uint32_t id);

// The file matcher 2 loads its library from; NULL restores "/usr/lib/OrbisBioSDK.so".
void mssOrbisSetLibraryPath(const char* path);
// Largest image matcher 2 hands to its library (280 x 400 unless changed).
extern uint32_t nFpImageWidth;
extern uint32_t nFpImageHeight;

#ifdef __cplusplus
}
#endif
