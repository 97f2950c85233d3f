// Matching: the calls the service core makes into the matching service, and the matcher record whose
// operations the core calls directly.
#pragma once

#include "platform/list.h"
#include "platform/threads.h"
#include "platform/worklist.h"
#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ImageRecord ImageRecord;
typedef struct EnrollTemplate EnrollTemplate;
typedef struct MatchResult MatchResult;
typedef struct MatcherRecord MatcherRecord;

typedef struct MssSubsystem {
    WorkList workList;  // wake event: the stack's shared one
    PalMutexHandle matcherLock;
    PalMutexHandle resultLock;
} MssSubsystem;

// Matching work item 1: close a matcher (5000 ms, no completion callback).
#define MSS_WORK_ITEM_CLOSE_MATCHER 1u
typedef struct MssCloseRequest {
    uint64_t matcherHandle;
    MatcherRecord* matcher;
} MssCloseRequest;

// One open matcher, linked into its client's matcher list. The service calls the slots without
// testing them; an empty slot is refused with 6.
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
};

// 13 null out pointer, 7 no memory, or a lock's failure code.
TcsResult mssSubsystemStartup(MssSubsystem** outSubsystem, PalEvent* wakeEvent);
// 4 for NULL.
TcsResult mssSubsystemShutdown(MssSubsystem* subsystem);
// 0 while work remains, 217 when none, 4 null, 7 lock failure.
TcsResult mssSubsystemService(MssSubsystem* subsystem, uint32_t budgetMs, uint32_t* nextWaitMs);

#ifdef __cplusplus
}
#endif
