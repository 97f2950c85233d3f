// In-process matchers: the matcher interface run synchronously on the caller's thread over the
// matching subsystem's openers, with each matcher linked to the client that opened it.
#include "apps/shared/inproc_matchers.h"

#include "apps/shared/client.h"
#include "apps/shared/detail/client_nodes.h"
#include "platform/memory.h"
#include "tcs/handle_map.h"

#include <cstring>
#include <vector>

namespace {

using tov::client::detail::ClientNode;

constexpr uint32_t kParamFar = 15;
constexpr uint32_t kIdStringSize = 40;

MatcherRecord* fetchMatcher(TcsHandle handle) {
    void* object = nullptr;
    if (handle == 0 || tcsSafeMatcherHandleFetch(handle, &object) != TCS_RESULT_OK) return nullptr;
    return static_cast<MatcherRecord*>(object);
}

ImageRecord* fetchImage(TcsHandle handle) {
    void* object = nullptr;
    if (handle == 0 || tcsSafeImageHandleFetch(handle, &object) != TCS_RESULT_OK) return nullptr;
    return static_cast<ImageRecord*>(object);
}

EnrollTemplate* fetchTemplate(TcsHandle handle) {
    void* object = nullptr;
    if (handle == 0 || tcsSafeEnrollTemplateHandleFetch(handle, &object) != TCS_RESULT_OK) return nullptr;
    return static_cast<EnrollTemplate*>(object);
}

// A template the matcher made but nobody took: the matcher frees its own, or it is freed here.
void dropTemplate(MatcherRecord* matcher, EnrollTemplate* templ) {
    if (templ == nullptr) return;
    if (matcher->DestroyEnrollTemplate != nullptr) {
        matcher->DestroyEnrollTemplate(matcher, templ);
    } else if (templ->version != 0) {
        _tcsTemplateDestroy(templ);
    }
}

TcsResult openerFor(uint32_t id, MatcherRecord* record, bool* known) {
    *known = true;
    switch (id) {
    case MSS_MATCHER_MINUTIAE: return mssMinutiaeOpen(record);
    case MSS_MATCHER_ORBIS: return mssOrbisOpen(record);
    case MSS_MATCHER_RECOG: return mssRecogOpen(record);
    case MSS_MATCHER_ADAPTIVE + MSS_MATCHER_MINUTIAE:
    case MSS_MATCHER_ADAPTIVE + MSS_MATCHER_ORBIS:
    case MSS_MATCHER_ADAPTIVE + MSS_MATCHER_RECOG: return mssAdaptiveMatcherOpen(record, id);
    default: *known = false; return TCS_RESULT_INVALID;
    }
}

// Calls fn(node) for the client's node under the client-list lock, then the node's lock.
template <typename Fn>
bool withClientNode(TcsHandle client, Fn&& fn) {
    FPClientSystem* system = &gClientSystem;
    if (system->clientsLock == nullptr) return false;
    bool found = false;
    palCriticalSectionAcquire(system->clientsLock);
    for (PalListEntry* entry = system->clients.next; entry != &system->clients && !found; entry = entry->next) {
        auto* node = PAL_LIST_RECORD(entry, ClientNode, link);
        if (node->client != client) continue;
        found = true;
        palCriticalSectionAcquire(node->matchersLock);
        fn(node);
        palCriticalSectionRelease(node->matchersLock);
    }
    palCriticalSectionRelease(system->clientsLock);
    return found;
}

void destroyResults(TcsHandle* results, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (results[i] != 0) tcsMatchResultsDestroyHandle(results[i]);
        results[i] = 0;
    }
}

TcsResult newResult(TcsHandle* outHandle, MatchResult** outRecord) {
    auto* record = static_cast<MatchResult*>(palRealMalloc(sizeof(MatchResult)));
    if (record == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(record, 0, sizeof(*record));
    TcsResult result = tcsSafeMatchResultsHandleCreate(record, outHandle);
    if (result != TCS_RESULT_OK) {
        palRealFree(record);
        return result;
    }
    *outRecord = record;
    return TCS_RESULT_OK;
}

// Resolves the template handles; false when one of them is not a template.
bool resolveTemplates(const TcsHandle* handles, uint32_t count, std::vector<EnrollTemplate*>& out) {
    out.assign(count, nullptr);
    for (uint32_t i = 0; i < count; ++i) {
        out[i] = fetchTemplate(handles[i]);
        if (out[i] == nullptr) return false;
    }
    return true;
}

}  // namespace

extern "C" {

TcsResult tcsMatcherOpen(TcsHandle client, uint32_t id, TcsHandle* outMatcher) {
    if (client == 0 || outMatcher == nullptr) return TCS_RESULT_NULL_POINTER;
    if (id == MSS_MATCHER_DEFAULT) id = MSS_MATCHER_MINUTIAE;

    bool duplicate = false;
    bool knownClient = withClientNode(client, [&](ClientNode* node) {
        for (PalListEntry* e = node->matchers.next; e != &node->matchers; e = e->next) {
            if (PAL_LIST_RECORD(e, MatcherRecord, links)->id == id) duplicate = true;
        }
    });
    if (!knownClient) return TCS_RESULT_INVALID_HANDLE;
    if (duplicate) return TCS_RESULT_INVALID;

    auto* record = static_cast<MatcherRecord*>(palRealMalloc(sizeof(MatcherRecord)));
    if (record == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(record, 0, sizeof(*record));
    TcsHandle handle = 0;
    if (tcsSafeMatcherHandleCreate(record, &handle) != TCS_RESULT_OK) {
        palRealFree(record);
        return TCS_RESULT_OUT_OF_MEMORY;
    }

    bool known = false;
    TcsResult result = openerFor(id, record, &known);
    if (known && result == TCS_RESULT_OK) {
        result = record->Open != nullptr ? record->Open(record) : TCS_RESULT_NOT_IMPLEMENTED;
        // An opened adapter holds state of its own: let it release that before the record goes.
        if (result != TCS_RESULT_OK && record->Shutdown != nullptr) record->Shutdown(record);
    }
    if (!known || result != TCS_RESULT_OK) {
        tcsSafeMatcherHandleDestroy(handle);
        return 300;
    }

    *outMatcher = handle;
    record->client = reinterpret_cast<void*>(uintptr_t(client));
    bool linked = withClientNode(client, [&](ClientNode* node) { palListInsertTail(&node->matchers, &record->links); });
    if (!linked) palListInit(&record->links);  // the client went meanwhile; close stays safe

    uint32_t far = 0;
    if (record->SetFAR != nullptr && tcsGetParam(client, kParamFar, &far) == TCS_RESULT_OK) record->SetFAR(record, far);
    return TCS_RESULT_OK;
}

TcsResult tcsMatcherClose(TcsHandle matcher) {
    MatcherRecord* record = fetchMatcher(matcher);
    if (record == nullptr) return TCS_RESULT_NULL_POINTER;
    if (record->Close != nullptr) record->Close(record);
    if (record->Shutdown != nullptr) record->Shutdown(record);
    TcsHandle client = TcsHandle(reinterpret_cast<uintptr_t>(record->client));
    // A client already gone took its node with it; the record's links are then left alone.
    withClientNode(client, [&](ClientNode*) { palListRemove(&record->links); });
    tcsSafeMatcherHandleDestroy(matcher);
    return TCS_RESULT_OK;
}

TcsResult tovClientCloseMatchers(TcsHandle client) {
    if (client == 0) return TCS_RESULT_NULL_POINTER;
    for (;;) {
        MatcherRecord* first = nullptr;
        withClientNode(client, [&](ClientNode* node) {
            if (!palListIsEmpty(&node->matchers)) first = PAL_LIST_RECORD(node->matchers.next, MatcherRecord, links);
        });
        if (first == nullptr) return TCS_RESULT_OK;
        TcsHandle handle = 0;
        if (tcsSafeHandleReverseFetch(first, TCS_HANDLE_TYPE_MATCHER, &handle) != TCS_RESULT_OK || handle == 0) {
            // Not registered any more: unlink it so the walk ends.
            withClientNode(client, [&](ClientNode*) { palListRemove(&first->links); });
            continue;
        }
        tcsMatcherClose(handle);
    }
}

TcsResult tcsMatcherExtractTemplate(TcsHandle matcher, TcsHandle image, TcsHandle* outTemplate) {
    MatcherRecord* record = fetchMatcher(matcher);
    ImageRecord* picture = fetchImage(image);
    if (record == nullptr || picture == nullptr || outTemplate == nullptr) return TCS_RESULT_NULL_POINTER;
    EnrollTemplate* templ = nullptr;
    TcsResult result = record->Extract != nullptr ? record->Extract(record, picture, &templ) : TCS_RESULT_NOT_IMPLEMENTED;
    if (result != TCS_RESULT_OK || templ == nullptr) {
        dropTemplate(record, templ);
        return 303;
    }
    TcsHandle handle = 0;
    if (tcsSafeEnrollTemplateHandleCreate(templ, &handle) != TCS_RESULT_OK) {
        dropTemplate(record, templ);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    *outTemplate = handle;
    return TCS_RESULT_OK;
}

TcsResult tcsMatcherAddImageToTemplate(TcsHandle matcher, TcsHandle image, uint32_t* outEnrollStatus,
                                       TcsHandle* inOutTemplate) {
    MatcherRecord* record = fetchMatcher(matcher);
    ImageRecord* picture = fetchImage(image);
    if (record == nullptr || picture == nullptr || outEnrollStatus == nullptr || inOutTemplate == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    EnrollTemplate* templ = nullptr;
    const TcsHandle given = *inOutTemplate;
    if (given != 0) {
        templ = fetchTemplate(given);
        if (templ == nullptr) return TCS_RESULT_INVALID_HANDLE;
    }
    uint32_t complete = 0;
    TcsResult result = record->AddImageToTemplate != nullptr
                           ? record->AddImageToTemplate(record, picture, &templ, &complete)
                           : TCS_RESULT_NOT_IMPLEMENTED;
    if (given == 0 && templ != nullptr) {
        if (result == TCS_RESULT_OK || result == MSS_RESULT_IMAGE_REJECTED) {
            TcsHandle handle = 0;
            if (tcsSafeEnrollTemplateHandleCreate(templ, &handle) == TCS_RESULT_OK) {
                *inOutTemplate = handle;
            } else {
                dropTemplate(record, templ);
                result = TCS_RESULT_OUT_OF_MEMORY;
            }
        } else {
            dropTemplate(record, templ);
        }
    }
    if (result == TCS_RESULT_OK) {
        *outEnrollStatus = complete != 0 ? MSS_ENROLL_STATUS_COMPLETE : MSS_ENROLL_STATUS_MORE_IMAGES;
        return TCS_RESULT_OK;
    }
    if (result == MSS_RESULT_IMAGE_REJECTED) {
        *outEnrollStatus = MSS_ENROLL_STATUS_MORE_IMAGES;
        return 306;
    }
    *outEnrollStatus = MSS_ENROLL_STATUS_FAILED;
    return 304;
}

TcsResult tcsMatcherMatchTemplates(TcsHandle matcher, TcsHandle a, TcsHandle b, TcsHandle* outResult) {
    MatcherRecord* record = fetchMatcher(matcher);
    EnrollTemplate* first = fetchTemplate(a);
    EnrollTemplate* second = fetchTemplate(b);
    if (record == nullptr || first == nullptr || second == nullptr || outResult == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    TcsHandle handle = 0;
    MatchResult* result = nullptr;
    TcsResult made = newResult(&handle, &result);
    if (made != TCS_RESULT_OK) return made;
    TcsResult matched = record->Match != nullptr ? record->Match(record, first, second, result) : TCS_RESULT_NOT_IMPLEMENTED;
    if (matched != TCS_RESULT_OK) {
        tcsMatchResultsDestroyHandle(handle);
        *outResult = 0;
        return 302;
    }
    *outResult = handle;
    return TCS_RESULT_OK;
}

TcsResult tcsMatcherMatchImageToTemplates(TcsHandle matcher, TcsHandle image, const TcsHandle* templates,
                                          uint32_t count, uint32_t mode, TcsHandle* outResult) try {
    if (count == 0) return TCS_RESULT_BAD_PARAM;
    MatcherRecord* record = fetchMatcher(matcher);
    ImageRecord* picture = fetchImage(image);
    if (record == nullptr || picture == nullptr || templates == nullptr || outResult == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    std::vector<EnrollTemplate*> resolved;
    if (!resolveTemplates(templates, count, resolved)) return TCS_RESULT_BAD_PARAM;
    TcsHandle handle = 0;
    MatchResult* result = nullptr;
    TcsResult made = newResult(&handle, &result);
    if (made != TCS_RESULT_OK) return made;
    TcsResult matched = record->MatchImageToTemplates != nullptr
                            ? record->MatchImageToTemplates(record, picture, resolved.data(), count, mode, result)
                            : TCS_RESULT_NOT_IMPLEMENTED;
    if (matched != TCS_RESULT_OK) {
        tcsMatchResultsDestroyHandle(handle);
        *outResult = 0;
        return 307;
    }
    *outResult = handle;
    return TCS_RESULT_OK;
} catch (...) {
    // Nothing thrown inside may leave the library.
    return TCS_RESULT_OUT_OF_MEMORY;
}

TcsResult tcsMatcherMatchImageToTemplatesEx(TcsHandle matcher, TcsHandle image, const TcsHandle* templates,
                                            uint32_t count, uint32_t* inOutNumber, TcsHandle* outResults) try {
    if (inOutNumber != nullptr && *inOutNumber == 0) return TCS_RESULT_BAD_PARAM;
    MatcherRecord* record = fetchMatcher(matcher);
    ImageRecord* picture = fetchImage(image);
    if (record == nullptr || picture == nullptr || templates == nullptr || inOutNumber == nullptr ||
        outResults == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    if (count == 0) return TCS_RESULT_BAD_PARAM;
    std::vector<EnrollTemplate*> resolved;
    if (!resolveTemplates(templates, count, resolved)) return TCS_RESULT_BAD_PARAM;
    if (*inOutNumber > count) *inOutNumber = count;
    const uint32_t wanted = *inOutNumber;
    std::vector<MatchResult*> records(wanted, nullptr);
    for (uint32_t i = 0; i < wanted; ++i) outResults[i] = 0;
    for (uint32_t i = 0; i < wanted; ++i) {
        TcsResult made = newResult(&outResults[i], &records[i]);
        if (made != TCS_RESULT_OK) {
            destroyResults(outResults, wanted);
            return made;
        }
    }
    uint32_t number = wanted;
    TcsResult matched = record->MatchImageToTemplatesExt != nullptr
                            ? record->MatchImageToTemplatesExt(record, picture, resolved.data(), count, &number,
                                                               records.data())
                            : TCS_RESULT_NOT_IMPLEMENTED;
    if (matched != TCS_RESULT_OK) {
        // Every result handle goes, not only the first: the caller gets none back to release.
        destroyResults(outResults, wanted);
        return 307;
    }
    if (number > wanted) number = wanted;
    destroyResults(outResults + number, wanted - number);
    *inOutNumber = number;
    return TCS_RESULT_OK;
} catch (...) {
    // Nothing thrown inside may leave the library.
    return TCS_RESULT_OUT_OF_MEMORY;
}

TcsResult tcsMatcherCheckImageQuality(TcsHandle matcher, TcsHandle image, uint32_t* outVerdict) {
    MatcherRecord* record = fetchMatcher(matcher);
    if (record == nullptr) return TCS_RESULT_INVALID_HANDLE;
    ImageRecord* picture = fetchImage(image);
    if (picture == nullptr || outVerdict == nullptr) return TCS_RESULT_NULL_POINTER;
    uint32_t verdict = 0;
    TcsResult result = record->CheckQuality != nullptr ? record->CheckQuality(record, picture, &verdict)
                                                       : TCS_RESULT_NOT_IMPLEMENTED;
    if (result != TCS_RESULT_OK) return 308;
    *outVerdict = verdict;
    return TCS_RESULT_OK;
}

uint32_t tcsMatcherGetID(TcsHandle matcher) {
    MatcherRecord* record = fetchMatcher(matcher);
    return record != nullptr ? record->id : 0;
}

uint32_t tcsMatcherGetTemplateType(TcsHandle matcher) {
    MatcherRecord* record = fetchMatcher(matcher);
    return record != nullptr ? record->templateType : 0;
}

uint32_t tcsMatcherGetIDStringSize(TcsHandle matcher) { return fetchMatcher(matcher) != nullptr ? kIdStringSize : 0; }

TcsResult tcsMatcherGetIDStringA(TcsHandle matcher, char* buffer, uint32_t size) {
    MatcherRecord* record = fetchMatcher(matcher);
    if (record == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    if (buffer == nullptr) return TCS_RESULT_NULL_POINTER;
    const size_t length = strnlen(record->idString, kIdStringSize);
    if (size < length + 1) return TCS_RESULT_BAD_PARAM;
    std::memcpy(buffer, record->idString, length);
    buffer[length] = '\0';
    return TCS_RESULT_OK;
}

TcsResult tcsMatcherGetIDStringW(TcsHandle matcher, uint16_t* buffer, uint32_t size) {
    MatcherRecord* record = fetchMatcher(matcher);
    if (record == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    if (buffer == nullptr) return TCS_RESULT_NULL_POINTER;
    const size_t length = strnlen(record->idString, kIdStringSize);
    if (size < length + 1) return TCS_RESULT_BAD_PARAM;
    for (size_t i = 0; i < length; ++i) buffer[i] = uint8_t(record->idString[i]);
    buffer[length] = 0;
    return TCS_RESULT_OK;
}

}  // extern "C"
