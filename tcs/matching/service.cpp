// Matching service: the subsystem record, and the service step that runs each matcher work item in two
// visits (the matcher's operation, then the result handle and the caller's completion).
#include "tcs/core.h"
#include "tcs/handle_map.h"
#include "tcs/matching/matcher_client.h"
#include "tcs/matching/mss.h"

#include "platform/clock.h"
#include "platform/memory.h"

#include <cstring>

namespace {

constexpr uint32_t kParamFar = 15;
constexpr uint32_t kLastOpcode = MSS_OPCODE_MATCH_IMAGE_EX;

enum Step : uint32_t { kNotStarted = 0, kFinished = 1, kFailed = 2 };

// Owner fields of a matcher item: the run state, the step between the visits and the status.
uint32_t& runState(WorkItem* item) { return item->reserved1[0]; }
uint32_t stepOf(const WorkItem* item) { return uint32_t(item->reserved3[1]); }
void setStep(WorkItem* item, uint32_t step) { item->reserved3[1] = step; }
TcsResult resultOf(const WorkItem* item) { return TcsResult(item->reserved2); }
void setResult(WorkItem* item, TcsResult result) { item->reserved2 = result; }
CompletionCallback callbackOf(const WorkItem* item) { return (CompletionCallback)(uintptr_t)item->parameter1; }
void* contextOf(const WorkItem* item) { return (void*)(uintptr_t)item->parameter2; }

ClientRecord* clientOf(MatcherRecord* matcher) { return static_cast<ClientRecord*>(matcher->client); }

void* asPointer(uint64_t value) { return reinterpret_cast<void*>(uintptr_t(value)); }

// Releases a template a matcher made that no handle took over (a record it keeps has version 0).
void dropTemplate(MatcherRecord* matcher, EnrollTemplate* templ) {
    if (templ == nullptr) return;
    if (matcher != nullptr && matcher->DestroyEnrollTemplate != nullptr) {
        matcher->DestroyEnrollTemplate(matcher, templ);
    } else if (templ->version != 0) {
        _tcsTemplateDestroy(templ);
    }
}

TcsResult choose(TcsResult (*slot)(MatcherRecord*), MatcherRecord* matcher) {
    return slot != nullptr ? slot(matcher) : TCS_RESULT_NOT_IMPLEMENTED;
}

// Matchers whose match-image call honours the keep-probe and probe-ready flags.
bool keepsProbes(const MatcherRecord* m) { return m->id == MSS_MATCHER_MINUTIAE || m->id == MSS_MATCHER_RECOG; }

// A match of an image to templates. Within a search the image's features are extracted once: the
// kept features are reused only when the previous call on this matcher made them from this very image
// and succeeded, so a call of another search in between, or a failed one, costs an extraction and
// never a wrong probe.
TcsResult matchImage(MssMatchImageRequest* r) {
    MatcherRecord* m = r->matcher;
    const uint32_t use = keepsProbes(m) ? r->probe : uint32_t(MSS_PROBE_ONCE);
    if (r->probe == MSS_PROBE_RELEASE && !keepsProbes(m)) return TCS_RESULT_OK;
    uint32_t flags = 0;
    switch (use) {
        case MSS_PROBE_KEEP: flags = MSS_FLAG_KEEP_PROBE; break;
        case MSS_PROBE_REUSE:
            flags = MSS_FLAG_KEEP_PROBE | (m->keptProbeImage == r->image ? uint32_t(MSS_FLAG_PROBE_READY) : 0u);
            break;
        case MSS_PROBE_RELEASE: flags = MSS_FLAG_RELEASE_ONLY; break;
        default: break;
    }
    m->keptProbeImage = nullptr;
    const uint32_t saved = m->controlFlags;
    m->controlFlags = saved | flags;
    const TcsResult result = m->MatchImageToTemplates(m, r->image, r->templates, r->count, r->mode, r->result);
    m->controlFlags = saved;
    if (result == TCS_RESULT_OK && (flags & MSS_FLAG_KEEP_PROBE) != 0) m->keptProbeImage = r->image;
    return result;
}

// First visit of an item: the opcode's slots. Returns the item's status.
TcsResult runSlots(WorkItem* item) {
    switch (item->type) {
        case MSS_OPCODE_OPEN: {
            auto* r = static_cast<MssOpenRequest*>(item->object);
            MatcherRecord* m = r->matcher;
            TcsResult result;
            switch (r->requestedId) {
                case MSS_MATCHER_ORBIS: result = mssOrbisOpen(m); break;
                case MSS_MATCHER_RECOG: result = mssRecogOpen(m); break;
                case MSS_MATCHER_MINUTIAE: result = mssMinutiaeOpen(m); break;
                default:
                    result = r->requestedId < 257 ? TCS_RESULT_BAD_PARAM : mssAdaptiveMatcherOpen(m, r->requestedId);
                    break;
            }
            if (result != TCS_RESULT_OK) return result;
            result = choose(m->Open, m);
            if (result == TCS_RESULT_OK) {
                ClientRecord* client = clientOf(m);
                if (m->SetFAR != nullptr) m->SetFAR(m, client != nullptr ? client->parameters[kParamFar] : 100000);
            } else if (m->Shutdown != nullptr) {
                // The opener's engine start and state would outlive the record freed at completion.
                m->Shutdown(m);
            }
            return result;
        }
        case MSS_OPCODE_CLOSE: {
            MatcherRecord* m = static_cast<MssCloseRequest*>(item->object)->matcher;
            if (m->Close != nullptr) m->Close(m);
            return choose(m->Shutdown, m);
        }
        case MSS_OPCODE_CHECK_QUALITY: {
            auto* r = static_cast<MssQualityRequest*>(item->object);
            if (r->matcher->CheckQuality == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
            return r->matcher->CheckQuality(r->matcher, r->image, &r->verdict);
        }
        case MSS_OPCODE_EXTRACT: {
            auto* r = static_cast<MssExtractRequest*>(item->object);
            if (r->matcher->Extract == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
            return r->matcher->Extract(r->matcher, r->image, &r->templ);
        }
        case MSS_OPCODE_ADD_IMAGE: {
            auto* r = static_cast<MssAddImageRequest*>(item->object);
            void* object = nullptr;
            if (r->templateHandle != 0) tcsSafeEnrollTemplateHandleFetch(r->templateHandle, &object);
            r->templ = static_cast<EnrollTemplate*>(object);
            EnrollTemplate* const given = r->templ;
            r->matcher->keptProbeImage = nullptr;  // matcher 4 keeps the image's features as its probe
            uint32_t complete = 0;
            TcsResult result = r->matcher->AddImageToTemplate != nullptr
                                   ? r->matcher->AddImageToTemplate(r->matcher, r->image, &r->templ, &complete)
                                   : TCS_RESULT_NOT_IMPLEMENTED;
            // The caller's handle keeps its own record: one the matcher made in its place (matcher 1
            // hands out a new template at every third image) has no owner and would be lost.
            if (r->templateHandle != 0 && r->templ != given) {
                dropTemplate(r->matcher, r->templ);
                r->templ = given;
            }
            if (result == TCS_RESULT_OK) return complete == 1 ? MSS_ENROLL_STATUS_COMPLETE : MSS_ENROLL_STATUS_MORE_IMAGES;
            if (result == MSS_RESULT_IMAGE_REJECTED) return MSS_RESULT_IMAGE_REJECTED;
            return MSS_ENROLL_STATUS_FAILED;
        }
        case MSS_OPCODE_MATCH_TEMPLATES: {
            auto* r = static_cast<MssMatchTemplatesRequest*>(item->object);
            if (r->matcher->Match == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
            return r->matcher->Match(r->matcher, r->a, r->b, r->result);
        }
        case MSS_OPCODE_MATCH_IMAGE: {
            auto* r = static_cast<MssMatchImageRequest*>(item->object);
            if (r->matcher->MatchImageToTemplates == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
            return matchImage(r);
        }
        default: {
            auto* r = static_cast<MssMatchImageExRequest*>(item->object);
            if (r->matcher->MatchImageToTemplatesExt == nullptr) return TCS_RESULT_NOT_IMPLEMENTED;
            r->matcher->keptProbeImage = nullptr;
            // The matcher writes its count into the payload: it never sees more buffers than were made.
            const uint32_t buffers = r->buffers;
            TcsResult result = r->matcher->MatchImageToTemplatesExt(r->matcher, r->image, r->templates, r->count,
                                                                    &r->number, r->results);
            if (r->number > buffers) r->number = buffers;
            if (r->callerNumber != nullptr) *r->callerNumber = r->number;
            return result;
        }
    }
}

void unlinkFromClient(MatcherRecord* matcher, TcsResult* outLockResult) {
    ClientRecord* client = clientOf(matcher);
    TcsResult locked = client != nullptr ? palCriticalSectionAcquire(client->matcherLock) : TCS_RESULT_INVALID_HANDLE;
    if (outLockResult != nullptr) *outLockResult = locked;
    if (locked != TCS_RESULT_OK) return;
    palListRemove(&matcher->links);
    palCriticalSectionRelease(client->matcherLock);
}

void completeOpen(WorkItem* item, TcsResult result) {
    auto* r = static_cast<MssOpenRequest*>(item->object);
    MatcherRecord* m = r->matcher;
    CompletionCallback callback = callbackOf(item);
    ClientRecord* client = clientOf(m);
    const bool opened = result == TCS_RESULT_OK;
    bool linked = false;
    if (result == TCS_RESULT_OK) {
        result = client != nullptr ? palCriticalSectionAcquire(client->matcherLock) : TCS_RESULT_NULL_CLIENT_HANDLE;
        if (result == TCS_RESULT_OK) {
            palListInsertTail(&client->matchers, &m->links);
            linked = true;
            palCriticalSectionRelease(client->matcherLock);
        }
    }
    uint64_t handle = 0;
    if (callback != nullptr) {
        if (result == TCS_RESULT_OK) {
            result = tcsSafeMatcherHandleCreate(m, &handle);
            if (result != TCS_RESULT_OK) handle = 0;
        }
    }
    if (result != TCS_RESULT_OK) {
        if (linked) unlinkFromClient(m, nullptr);
        // Open succeeded but the matcher never became a handle: release what its adapter holds.
        if (opened && m->Shutdown != nullptr) {
            if (m->Close != nullptr) m->Close(m);
            m->Shutdown(m);
        }
        palRealFree(m);
    }
    r->matcher = nullptr;  // linked and registered, or freed: no longer the item's
    if (callback != nullptr) callback(asPointer(handle), result, contextOf(item));
}

void completeClose(WorkItem* item) {
    auto* r = static_cast<MssCloseRequest*>(item->object);
    TcsResult locked;
    unlinkFromClient(r->matcher, &locked);
    // The record leaves with its handle even when nobody waits: a client's destroy queues its closes
    // without a callback, and the record would otherwise stay in the map unreachable.
    if (r->matcherHandle != 0) {
        tcsSafeMatcherHandleDestroy(r->matcherHandle);
    } else if (locked == TCS_RESULT_OK) {
        palRealFree(r->matcher);
    }
    CompletionCallback callback = callbackOf(item);
    if (callback != nullptr) callback(nullptr, locked, contextOf(item));
}

// Frees a matcher item's payload with what the payload owns; the record of a never-completed open too.
void freePayload(uint32_t opcode, void* object) {
    if (object == nullptr) return;
    switch (opcode) {
        case MSS_OPCODE_OPEN: palRealFree(static_cast<MssOpenRequest*>(object)->matcher); break;
        case MSS_OPCODE_MATCH_TEMPLATES:
            _tcsMatchResultFree(static_cast<MssMatchTemplatesRequest*>(object)->result);
            break;
        case MSS_OPCODE_MATCH_IMAGE: {
            auto* r = static_cast<MssMatchImageRequest*>(object);
            _tcsMatchResultFree(r->result);
            palRealFree(r->templates);
            break;
        }
        case MSS_OPCODE_MATCH_IMAGE_EX: {
            auto* r = static_cast<MssMatchImageExRequest*>(object);
            if (r->results != nullptr) {
                // Slots a handle took are null.
                for (uint32_t i = 0; i < r->buffers; ++i) _tcsMatchResultFree(r->results[i]);
            }
            palRealFree(r->results);
            palRealFree(r->templates);
            break;
        }
        default: break;
    }
    palRealFree(object);
}

// Completion of a match: the result buffer becomes a handle's, or is freed.
void completeMatch(WorkItem* item, TcsResult result, MatchResult*& buffer) {
    CompletionCallback callback = callbackOf(item);
    uint64_t handle = 0;
    if (callback != nullptr && result == TCS_RESULT_OK) {
        result = tcsSafeMatchResultsHandleCreate(buffer, &handle);
        if (result == TCS_RESULT_OK) {
            buffer = nullptr;
        } else {
            handle = 0;
        }
    }
    _tcsMatchResultFree(buffer);
    buffer = nullptr;
    if (callback != nullptr) callback(asPointer(handle), result, contextOf(item));
}

// Returns false when the item must be tried again on a later visit.
bool complete(WorkItem* item) {
    TcsResult result = resultOf(item);
    CompletionCallback callback = callbackOf(item);
    switch (item->type) {
        case MSS_OPCODE_OPEN: completeOpen(item, result); break;
        case MSS_OPCODE_CLOSE: completeClose(item); break;
        case MSS_OPCODE_CHECK_QUALITY: {
            auto* r = static_cast<MssQualityRequest*>(item->object);
            if (callback != nullptr) callback(asPointer(r->verdict), result, contextOf(item));
            break;
        }
        case MSS_OPCODE_EXTRACT: {
            auto* r = static_cast<MssExtractRequest*>(item->object);
            uint64_t handle = 0;
            if (callback != nullptr && result == TCS_RESULT_OK && r->templ != nullptr) {
                result = tcsSafeEnrollTemplateHandleCreate(r->templ, &handle);
                if (result == TCS_RESULT_OK) r->templ = nullptr;
            }
            dropTemplate(r->matcher, r->templ);
            if (callback != nullptr) callback(asPointer(handle), result, contextOf(item));
            break;
        }
        case MSS_OPCODE_ADD_IMAGE: {
            auto* r = static_cast<MssAddImageRequest*>(item->object);
            uint64_t handle = r->templateHandle;
            if (result != MSS_ENROLL_STATUS_FAILED && handle == 0 && r->templ != nullptr) {
                TcsResult made = tcsSafeEnrollTemplateHandleCreate(r->templ, &handle);
                if (made != TCS_RESULT_OK) {
                    result = made;
                    handle = 0;
                } else {
                    r->templ = nullptr;
                }
            }
            // A template made for a caller that had none and gets none would be lost.
            if (r->templateHandle == 0) dropTemplate(r->matcher, r->templ);
            if (callback != nullptr) callback(asPointer(handle), result, contextOf(item));
            break;
        }
        case MSS_OPCODE_MATCH_TEMPLATES:
            completeMatch(item, result, static_cast<MssMatchTemplatesRequest*>(item->object)->result);
            break;
        case MSS_OPCODE_MATCH_IMAGE: {
            auto* r = static_cast<MssMatchImageRequest*>(item->object);
            completeMatch(item, result, r->result);
            palRealFree(r->templates);
            r->templates = nullptr;
            break;
        }
        default: {
            auto* r = static_cast<MssMatchImageExRequest*>(item->object);
            auto exCallback = reinterpret_cast<MatchResultsExCallback>(uintptr_t(item->parameter1));
            uint64_t* handles = nullptr;
            if (exCallback != nullptr && result == TCS_RESULT_OK) {
                handles = static_cast<uint64_t*>(palRealMalloc(uint32_t(sizeof(uint64_t)) * (r->number + 1)));
                if (handles == nullptr) return false;
                std::memset(handles, 0, sizeof(uint64_t) * (r->number + 1));
                for (uint32_t i = 0; i < r->number; ++i) {
                    result = tcsSafeMatchResultsHandleCreate(r->results[i], &handles[i]);
                    if (result == TCS_RESULT_OK) r->results[i] = nullptr;
                }
            }
            // The handle array belongs to the callback; buffers no handle took go with the payload.
            if (exCallback != nullptr) {
                if (handles == nullptr) {
                    exCallback(nullptr, r->number, result, contextOf(item));
                } else {
                    exCallback(handles, r->number, result, contextOf(item));
                }
            }
            break;
        }
    }
    return true;
}

// A matcher handle released with tcsHandleDestroy while its matcher is open goes through a close:
// freeing the record at once would leave it linked in its client's list.
uint32_t closeLinkedMatcher(uint64_t handle, void* object, TcsResult* outResult) {
    auto* matcher = static_cast<MatcherRecord*>(object);
    if (__atomic_load_n(&matcher->closing, __ATOMIC_ACQUIRE) != 0) {
        *outResult = TCS_RESULT_SENSOR_CLOSE_IN_PROCESS;  // its close item still holds the record
        return 1;
    }
    *outResult = tcsMatcherClose(handle);
    return 1;
}

}  // namespace

extern "C" {

TcsResult mssSubsystemStartup(MssSubsystem** outSubsystem, PalEvent* wakeEvent) {
    if (outSubsystem == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outSubsystem = nullptr;
    auto* subsystem = static_cast<MssSubsystem*>(palRealMalloc(sizeof(MssSubsystem)));
    if (subsystem == nullptr) return TCS_RESULT_INVALID;
    std::memset(subsystem, 0, sizeof(*subsystem));
    TcsResult result = palWorkListInitialize(&subsystem->workList, wakeEvent);
    if (result == TCS_RESULT_OK) result = palCriticalSectionInitialize(&subsystem->matcherLock);
    if (result == TCS_RESULT_OK) result = palCriticalSectionInitialize(&subsystem->resultLock);
    if (result != TCS_RESULT_OK) {
        mssSubsystemShutdown(subsystem);
        return result;
    }
    _tcsTemplateRegisterCleanups();
    _tcsSafeHandleSetOwnerDestroy(TCS_HANDLE_TYPE_MATCHER, closeLinkedMatcher);
    *outSubsystem = subsystem;
    return TCS_RESULT_OK;
}

TcsResult mssSubsystemShutdown(MssSubsystem* subsystem) {
    if (subsystem == nullptr) return TCS_RESULT_INVALID_HANDLE;
    // Items still queued are not run; their payloads are released.
    while (!palListIsEmpty(&subsystem->workList.links)) {
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(subsystem->workList.links.next);
        palListRemove(&item->links);
        freePayload(item->type, item->object);
        palWorkItemDestroy(item);
    }
    if (subsystem->matcherLock != nullptr) palCriticalSectionFree(subsystem->matcherLock);
    if (subsystem->resultLock != nullptr) palCriticalSectionFree(subsystem->resultLock);
    palWorkListUninitialize(&subsystem->workList);
    palRealFree(subsystem);
    return TCS_RESULT_OK;
}

TcsResult mssSubsystemService(MssSubsystem* subsystem, uint32_t budgetMs, uint32_t* nextWaitMs) {
    if (nextWaitMs != nullptr) *nextWaitMs = 0;
    if (subsystem == nullptr) return TCS_RESULT_INVALID_HANDLE;
    WorkList* list = &subsystem->workList;
    const uint32_t start = palGetTickCount();
    if (palCriticalSectionAcquire(list->listLock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    uint32_t queued = 0;
    for (PalListEntry* e = list->links.next; e != &list->links; e = e->next) ++queued;
    palCriticalSectionRelease(list->listLock);
    if (queued == 0) return TCS_RESULT_NO_WORK_ITEMS;

    bool putBack = false;
    bool outOfTime = false;
    uint32_t wake = 0;
    for (uint32_t visit = 0; visit < queued; ++visit) {
        if (palGetTickCount() - start > budgetMs) {
            outOfTime = true;
            break;
        }
        if (palCriticalSectionAcquire(list->listLock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
        if (palListIsEmpty(&list->links)) {
            palCriticalSectionRelease(list->listLock);
            break;
        }
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(list->links.next);
        palListRemove(&item->links);
        palCriticalSectionRelease(list->listLock);

        bool requeue = true;
        if (item->type <= kLastOpcode) {
            switch (stepOf(item)) {
                case kNotStarted: {
                    setStep(item, kFinished);
                    TcsResult result = runSlots(item);
                    setResult(item, result);
                    bool failed = item->type == MSS_OPCODE_ADD_IMAGE ? result == MSS_ENROLL_STATUS_FAILED
                                                                     : result != TCS_RESULT_OK;
                    if (failed) setStep(item, kFailed);
                    break;
                }
                case kFailed: setStep(item, kFinished); break;
                default:
                    if (complete(item)) {
                        freePayload(item->type, item->object);
                        item->object = nullptr;
                        palWorkItemDestroy(item);
                        requeue = false;
                    }
                    break;
            }
        }
        if (!requeue) continue;
        if (palCriticalSectionAcquire(list->listLock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
        palListInsertTail(&list->links, &item->links);
        palCriticalSectionRelease(list->listLock);
        if (runState(item) == 1) {
            uint32_t elapsed = palGetTickCount() - item->baseTick;
            uint32_t left = elapsed < item->remainingMs ? item->remainingMs - elapsed : 0;
            if (left != 0 && (wake == 0 || left < wake)) wake = left;
        } else {
            putBack = true;
        }
    }

    if (palCriticalSectionAcquire(list->listLock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    bool pending = !palListIsEmpty(&list->links) && (putBack || outOfTime);
    palCriticalSectionRelease(list->listLock);
    if (nextWaitMs != nullptr) *nextWaitMs = wake;
    return pending ? TCS_RESULT_OK : TCS_RESULT_NO_WORK_ITEMS;
}

TcsResult mssGetDbgFlags(uint32_t* flags) {
    if (flags == nullptr) return TCS_RESULT_NULL_POINTER;
    *flags = 0;
    return TCS_RESULT_OK;
}
TcsResult mssGetDbgSystems(uint32_t* systems) {
    if (systems == nullptr) return TCS_RESULT_NULL_POINTER;
    *systems = 0;
    return TCS_RESULT_OK;
}
TcsResult mssSetDbgFlags(uint32_t) { return TCS_RESULT_OK; }
TcsResult mssSetDbgSystems(uint32_t) { return TCS_RESULT_OK; }

}  // extern "C"
