// Matcher client interface: open and close matchers, check image quality, extract and enrol templates,
// and match, each as an asynchronous call queued to the matching service and a synchronous wrapper.
#pragma once

#include "tcs/matching/mss.h"
#include "tcs/tcs.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Completion of the extended match: the handle array (owned by the callee from then on, freed with
// tcsBufferFree) or NULL on failure, and the number of results.
typedef TcsResult (*MatchResultsExCallback)(uint64_t* handles, uint32_t count, TcsResult status, void* context);

// 13 no record, 215 closing, else 0.
TcsResult _tcsMatcherValidate(MatcherRecord* matcher);

// Callbacks receive (handle or verdict as a pointer-sized word, status, context).
TcsResult tcsMatcherOpenAsync(TcsHandle client, uint32_t id, CompletionCallback callback, void* context);
TcsResult tcsMatcherCloseAsync(TcsHandle matcher, CompletionCallback callback, void* context);
TcsResult tcsMatcherCheckImageQualityAsync(TcsHandle matcher, TcsHandle image, CompletionCallback callback,
                                           void* context);
TcsResult tcsMatcherExtractTemplateAsync(TcsHandle matcher, TcsHandle image, CompletionCallback callback,
                                         void* context);
// The callback's status is an enroll status (400, 401, 402) or 200 for a rejected image.
TcsResult tcsMatcherAddImageToTemplateAsync(TcsHandle matcher, TcsHandle image, TcsHandle templ,
                                            CompletionCallback callback, void* context);
TcsResult tcsMatcherMatchTemplatesAsync(TcsHandle matcher, TcsHandle a, TcsHandle b, CompletionCallback callback,
                                        void* context);
TcsResult tcsMatcherMatchImageToTemplatesAsync(TcsHandle matcher, TcsHandle image, const TcsHandle* templates,
                                               uint32_t count, uint32_t mode, CompletionCallback callback,
                                               void* context);
// *inOutNumber is lowered to the count and must stay valid until the completion.
TcsResult tcsMatcherMatchImageToTemplatesExAsync(TcsHandle matcher, TcsHandle image, const TcsHandle* templates,
                                                 uint32_t count, uint32_t* inOutNumber, TcsHandle* outResults,
                                                 MatchResultsExCallback callback, void* context);

TcsResult tcsMatcherOpen(TcsHandle client, uint32_t id, TcsHandle* outMatcher);
TcsResult tcsMatcherClose(TcsHandle matcher);
TcsResult tcsMatcherCheckImageQuality(TcsHandle matcher, TcsHandle image, uint32_t* outVerdict);
TcsResult tcsMatcherExtractTemplate(TcsHandle matcher, TcsHandle image, TcsHandle* outTemplate);
TcsResult tcsMatcherAddImageToTemplate(TcsHandle matcher, TcsHandle image, uint32_t* outEnrollStatus,
                                       TcsHandle* inOutTemplate);
TcsResult tcsMatcherMatchTemplates(TcsHandle matcher, TcsHandle a, TcsHandle b, TcsHandle* outResult);
TcsResult tcsMatcherMatchImageToTemplates(TcsHandle matcher, TcsHandle image, const TcsHandle* templates,
                                          uint32_t count, uint32_t mode, TcsHandle* outResult);
TcsResult tcsMatcherMatchImageToTemplatesEx(TcsHandle matcher, TcsHandle image, const TcsHandle* templates,
                                            uint32_t count, uint32_t* inOutNumber, TcsHandle* outResults);
// tcsMatcherMatchImageToTemplates within one search that compares the same image in several calls:
// its first call MSS_PROBE_KEEP, the others MSS_PROBE_REUSE, and MSS_PROBE_RELEASE (no templates
// needed) at its end, so that matchers 1 and 4 extract the image's features once for the search.
TcsResult _tcsMatcherMatchImageInSearch(TcsHandle matcher, TcsHandle image, const TcsHandle* templates, uint32_t count,
                                        uint32_t mode, uint32_t probe, TcsHandle* outResult);

uint32_t tcsMatcherGetID(TcsHandle matcher);
uint32_t tcsMatcherGetTemplateType(TcsHandle matcher);
uint32_t tcsMatcherGetIDStringSize(TcsHandle matcher);
TcsResult tcsMatcherGetIDStringA(TcsHandle matcher, char* buffer, uint32_t size);
TcsResult tcsMatcherGetIDStringW(TcsHandle matcher, uint16_t* buffer, uint32_t size);

#ifdef __cplusplus
}
#endif
