// Matcher client interface: each call validates its handles and queues a matcher work item; the
// synchronous wrappers wait for the item's completion on a private record and event.
#include "tcs/matching/matcher_client.h"

#include "platform/memory.h"
#include "tcs/core.h"
#include "tcs/handle_map.h"

#include <cstring>

namespace {

constexpr uint32_t kWaitMs = 10000;

MatcherRecord* fetchMatcher(TcsHandle handle) {
    void* object = nullptr;
    if (handle != 0) tcsSafeMatcherHandleFetch(handle, &object);
    return static_cast<MatcherRecord*>(object);
}

ImageRecord* fetchImage(TcsHandle handle) {
    void* object = nullptr;
    if (handle != 0) tcsSafeImageHandleFetch(handle, &object);
    return static_cast<ImageRecord*>(object);
}

EnrollTemplate* fetchTemplate(TcsHandle handle) {
    void* object = nullptr;
    if (handle != 0) tcsSafeEnrollTemplateHandleFetch(handle, &object);
    return static_cast<EnrollTemplate*>(object);
}

ClientRecord* clientOf(MatcherRecord* matcher) { return static_cast<ClientRecord*>(matcher->client); }

MssSubsystem* matchingOf(ClientRecord* client) {
    return client != nullptr && client->stack != nullptr ? client->stack->matching : nullptr;
}

template <typename T>
T* allocZeroed(uint32_t count = 1) {
    auto* block = static_cast<T*>(palRealMalloc(uint32_t(sizeof(T)) * count));
    if (block != nullptr) std::memset(block, 0, sizeof(T) * count);
    return block;
}

TcsResult enqueue(MatcherRecord* matcher, MatcherOpcode opcode, void* payload, void* callback, void* context) {
    MssSubsystem* matching = matchingOf(clientOf(matcher));
    if (matching == nullptr) return TCS_RESULT_INVALID_HANDLE;
    return palWorkItemEnqueue(&matching->workList, opcode, MSS_ITEM_TIMEOUT_MS, payload, uint64_t(uintptr_t(callback)),
                              uint64_t(uintptr_t(context)), 1, nullptr);
}

// The record a synchronous wrapper waits on. status stays kPending until one side claims the record
// by an atomic exchange: the completion (with its status) or the waiter that gave up (with 34); the
// side that comes second frees it, so a late completion never touches a freed record.
constexpr uint32_t kPending = 0xFFFFFFFFu;

enum class Keep { HandleOnOk, HandleUnless401, HandleUnless307, Verdict, Nothing };

struct MatcherWait {
    uint32_t status;
    PalEvent* event;
    Keep keep;
    uint64_t handle;
    uint32_t verdict;
    uint64_t* handles;
    uint32_t number;
};

void freeWait(MatcherWait* wait) {
    palEventFree(wait->event);
    palRealFree(wait);
}

// A result nobody will read any more: the handles made for a waiter that gave up.
void dropLateResults(MatcherWait* wait, TcsResult status) {
    if (wait->keep == Keep::HandleUnless307 || (wait->keep == Keep::HandleOnOk && status == TCS_RESULT_OK)) {
        if (wait->handle != 0) tcsHandleDestroy(wait->handle);
    }
    if (wait->handles != nullptr) {
        for (uint32_t i = 0; i < wait->number; ++i) {
            if (wait->handles[i] != 0) tcsHandleDestroy(wait->handles[i]);
        }
        palRealFree(wait->handles);
    }
}

void settle(MatcherWait* wait, TcsResult status) {
    uint32_t previous = __atomic_exchange_n(&wait->status, status, __ATOMIC_ACQ_REL);
    if (previous == TCS_RESULT_TIMEOUT) {
        dropLateResults(wait, status);
        freeWait(wait);
        return;
    }
    palEventSet(wait->event);
}

TcsResult waitCallback(void* value, TcsResult status, void* context) {
    auto* wait = static_cast<MatcherWait*>(context);
    if (wait == nullptr) return TCS_RESULT_OK;
    bool store = false;
    switch (wait->keep) {
        case Keep::HandleOnOk:
        case Keep::Verdict: store = status == TCS_RESULT_OK; break;
        case Keep::HandleUnless401: store = status != MSS_ENROLL_STATUS_FAILED; break;
        case Keep::HandleUnless307: store = status != TCS_RESULT_MATCHER_MATCH_IMAGE_FAILED; break;
        case Keep::Nothing: break;
    }
    if (store && wait->keep == Keep::Verdict) {
        wait->verdict = uint32_t(uintptr_t(value));
    } else if (store) {
        wait->handle = uint64_t(uintptr_t(value));
    }
    settle(wait, status);
    return TCS_RESULT_OK;
}

TcsResult waitExCallback(uint64_t* handles, uint32_t count, TcsResult status, void* context) {
    auto* wait = static_cast<MatcherWait*>(context);
    if (wait == nullptr) {
        palRealFree(handles);
        return TCS_RESULT_OK;
    }
    if (status != TCS_RESULT_MATCHER_MATCH_IMAGE_FAILED) wait->handles = handles;
    else palRealFree(handles);
    wait->number = count;
    settle(wait, status);
    return TCS_RESULT_OK;
}

// Runs one synchronous call: start queues the item with the wait record as its context. Returns the
// completion status (the record then stays the caller's to read and free through outWait), or the
// failure of the start or the wait (the record is already settled).
template <typename Start>
TcsResult runSync(CoreSubsystem* stack, uint32_t timeoutMs, Keep keep, MatcherWait** outWait, Start start) {
    *outWait = nullptr;
    auto* wait = allocZeroed<MatcherWait>();
    if (wait == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    wait->status = kPending;
    wait->keep = keep;
    wait->event = palEventAlloc(0, 0, nullptr);
    if (wait->event == nullptr) {
        palRealFree(wait);
        return TCS_RESULT_EVENT_CREATION_FAILED;
    }
    TcsResult result = start(wait);
    if (result != TCS_RESULT_OK) {
        freeWait(wait);
        return result;
    }
    result = _tcsSubsystemWaitForResponse(stack, wait->event, timeoutMs);
    if (result != TCS_RESULT_OK) {
        uint32_t previous = __atomic_exchange_n(&wait->status, TCS_RESULT_TIMEOUT, __ATOMIC_ACQ_REL);
        if (previous == kPending) return result;  // the late completion frees the record
        palEventWaitFor(wait->event, PAL_INFINITE);
        __atomic_store_n(&wait->status, previous, __ATOMIC_RELEASE);
    }
    *outWait = wait;
    return __atomic_load_n(&wait->status, __ATOMIC_ACQUIRE);
}

CoreSubsystem* stackOf(MatcherRecord* matcher) {
    ClientRecord* client = clientOf(matcher);
    return client != nullptr ? client->stack : nullptr;
}

uint32_t imageMatchWaitMs(uint32_t count) { return ((count >> 4) + 1) * kWaitMs; }

}  // namespace

extern "C" {

TcsResult _tcsMatcherValidate(MatcherRecord* matcher) {
    if (matcher == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    if (__atomic_load_n(&matcher->closing, __ATOMIC_ACQUIRE) != 0) return TCS_RESULT_SENSOR_CLOSE_IN_PROCESS;
    return TCS_RESULT_OK;
}

TcsResult tcsMatcherOpenAsync(TcsHandle clientHandle, uint32_t id, CompletionCallback callback, void* context) {
    void* object = nullptr;
    if (clientHandle != 0) tcsSafeClientHandleFetch(clientHandle, &object);
    auto* client = static_cast<ClientRecord*>(object);
    TcsResult result = tcsClientValidate(client);
    if (result != TCS_RESULT_OK) return result;
    if (id == MSS_MATCHER_DEFAULT) id = _tcsGetActualMatcherId();
    if (id != 1 && id != 2 && id != 4 && id != 257 && id != 258 && id != 260) return TCS_RESULT_BAD_PARAM;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    MssSubsystem* matching = matchingOf(client);
    if (matching == nullptr) return TCS_RESULT_INVALID_HANDLE;
    auto* matcher = allocZeroed<MatcherRecord>();
    auto* request = allocZeroed<MssOpenRequest>();
    if (matcher == nullptr || request == nullptr) {
        palRealFree(matcher);
        palRealFree(request);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    matcher->client = client;
    request->requestedId = id;
    request->matcher = matcher;
    result = palWorkItemEnqueue(&matching->workList, MSS_OPCODE_OPEN, MSS_ITEM_TIMEOUT_MS, request,
                                uint64_t(uintptr_t(callback)), uint64_t(uintptr_t(context)), 1, nullptr);
    if (result != TCS_RESULT_OK) {
        palRealFree(matcher);
        palRealFree(request);
    }
    return result;
}

TcsResult tcsMatcherCloseAsync(TcsHandle handle, CompletionCallback callback, void* context) {
    MatcherRecord* matcher = fetchMatcher(handle);
    TcsResult result = _tcsMatcherValidate(matcher);
    if (result != TCS_RESULT_OK) return result;
    auto* request = allocZeroed<MssCloseRequest>();
    if (request == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    request->matcherHandle = handle;
    request->matcher = matcher;
    __atomic_store_n(&matcher->closing, 1u, __ATOMIC_RELEASE);
    result = enqueue(matcher, MSS_OPCODE_CLOSE, request, reinterpret_cast<void*>(callback), context);
    if (result != TCS_RESULT_OK) {
        // Nothing will close it: the matcher stays usable rather than refusing every call for good.
        __atomic_store_n(&matcher->closing, 0u, __ATOMIC_RELEASE);
        palRealFree(request);
    }
    return result;
}

TcsResult tcsMatcherCheckImageQualityAsync(TcsHandle handle, TcsHandle imageHandle, CompletionCallback callback,
                                           void* context) {
    MatcherRecord* matcher = fetchMatcher(handle);
    TcsResult result = _tcsMatcherValidate(matcher);
    if (result != TCS_RESULT_OK) return result;
    ImageRecord* image = fetchImage(imageHandle);
    if (image == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* request = allocZeroed<MssQualityRequest>();
    if (request == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    request->image = image;
    request->matcher = matcher;
    result = enqueue(matcher, MSS_OPCODE_CHECK_QUALITY, request, reinterpret_cast<void*>(callback), context);
    if (result != TCS_RESULT_OK) palRealFree(request);
    return result;
}

TcsResult tcsMatcherExtractTemplateAsync(TcsHandle handle, TcsHandle imageHandle, CompletionCallback callback,
                                         void* context) {
    MatcherRecord* matcher = fetchMatcher(handle);
    TcsResult result = _tcsMatcherValidate(matcher);
    if (result != TCS_RESULT_OK) return result;
    ImageRecord* image = fetchImage(imageHandle);
    if (image == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* request = allocZeroed<MssExtractRequest>();
    if (request == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    request->image = image;
    request->matcher = matcher;
    result = enqueue(matcher, MSS_OPCODE_EXTRACT, request, reinterpret_cast<void*>(callback), context);
    if (result != TCS_RESULT_OK) palRealFree(request);
    return result;
}

TcsResult tcsMatcherAddImageToTemplateAsync(TcsHandle handle, TcsHandle imageHandle, TcsHandle templ,
                                            CompletionCallback callback, void* context) {
    MatcherRecord* matcher = fetchMatcher(handle);
    TcsResult result = _tcsMatcherValidate(matcher);
    if (result != TCS_RESULT_OK) return result;
    ImageRecord* image = fetchImage(imageHandle);
    if (image == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* request = allocZeroed<MssAddImageRequest>();
    if (request == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    request->templateHandle = templ;
    request->image = image;
    request->matcher = matcher;
    result = enqueue(matcher, MSS_OPCODE_ADD_IMAGE, request, reinterpret_cast<void*>(callback), context);
    if (result != TCS_RESULT_OK) palRealFree(request);
    return result;
}

TcsResult tcsMatcherMatchTemplatesAsync(TcsHandle handle, TcsHandle a, TcsHandle b, CompletionCallback callback,
                                        void* context) {
    MatcherRecord* matcher = fetchMatcher(handle);
    TcsResult result = _tcsMatcherValidate(matcher);
    if (result != TCS_RESULT_OK) return result;
    EnrollTemplate* first = fetchTemplate(a);
    EnrollTemplate* second = fetchTemplate(b);
    if (first == nullptr || second == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* request = allocZeroed<MssMatchTemplatesRequest>();
    auto* buffer = allocZeroed<MatchResult>();
    if (request == nullptr || buffer == nullptr) {
        palRealFree(request);
        palRealFree(buffer);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    request->a = first;
    request->b = second;
    request->result = buffer;
    request->matcher = matcher;
    result = enqueue(matcher, MSS_OPCODE_MATCH_TEMPLATES, request, reinterpret_cast<void*>(callback), context);
    if (result != TCS_RESULT_OK) {
        palRealFree(request);
        palRealFree(buffer);
    }
    return result;
}

namespace {

// A search's release call compares nothing: it alone may come without templates.
TcsResult matchImageAsync(TcsHandle handle, TcsHandle imageHandle, const TcsHandle* templates, uint32_t count,
                          uint32_t mode, uint32_t probe, CompletionCallback callback, void* context) {
    MatcherRecord* matcher = fetchMatcher(handle);
    TcsResult result = _tcsMatcherValidate(matcher);
    if (result != TCS_RESULT_OK) return result;
    if (probe > MSS_PROBE_RELEASE) return TCS_RESULT_BAD_PARAM;
    if (count == 0 && probe != MSS_PROBE_RELEASE) return TCS_RESULT_BAD_PARAM;
    if (mode != 1 && mode != 2) return TCS_RESULT_BAD_PARAM;
    ImageRecord* image = fetchImage(imageHandle);
    if (image == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (templates == nullptr && count != 0) return TCS_RESULT_NULL_POINTER;
    auto* records = count != 0 ? allocZeroed<EnrollTemplate*>(count) : nullptr;
    if (records == nullptr && count != 0) return TCS_RESULT_OUT_OF_MEMORY;
    for (uint32_t i = 0; i < count; ++i) {
        records[i] = fetchTemplate(templates[i]);
        if (records[i] == nullptr) {
            palRealFree(records);
            return TCS_RESULT_BAD_PARAM;
        }
    }
    if (callback == nullptr) {
        palRealFree(records);
        return TCS_RESULT_BAD_PARAM;
    }
    auto* request = allocZeroed<MssMatchImageRequest>();
    auto* buffer = allocZeroed<MatchResult>();
    if (request == nullptr || buffer == nullptr) {
        palRealFree(records);
        palRealFree(request);
        palRealFree(buffer);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    *request = MssMatchImageRequest{matcher, image, records, count, mode, buffer, probe};
    result = enqueue(matcher, MSS_OPCODE_MATCH_IMAGE, request, reinterpret_cast<void*>(callback), context);
    if (result != TCS_RESULT_OK) {
        palRealFree(records);
        palRealFree(request);
        palRealFree(buffer);
    }
    return result;
}

}  // namespace

TcsResult tcsMatcherMatchImageToTemplatesAsync(TcsHandle handle, TcsHandle imageHandle, const TcsHandle* templates,
                                               uint32_t count, uint32_t mode, CompletionCallback callback,
                                               void* context) {
    return matchImageAsync(handle, imageHandle, templates, count, mode, MSS_PROBE_ONCE, callback, context);
}


TcsResult tcsMatcherMatchImageToTemplatesExAsync(TcsHandle handle, TcsHandle imageHandle, const TcsHandle* templates,
                                                 uint32_t count, uint32_t* inOutNumber, TcsHandle*,
                                                 MatchResultsExCallback callback, void* context) {
    TcsResult result = TCS_RESULT_OK;
    MatcherRecord* matcher = fetchMatcher(handle);
    ImageRecord* image = nullptr;
    if ((result = _tcsMatcherValidate(matcher)) != TCS_RESULT_OK) {
    } else if (count == 0) {
        result = TCS_RESULT_BAD_PARAM;
    } else if ((image = fetchImage(imageHandle)) == nullptr) {
        result = TCS_RESULT_INVALID_HANDLE;
    } else if (templates == nullptr || inOutNumber == nullptr) {
        result = TCS_RESULT_NULL_POINTER;
    } else if (callback == nullptr || *inOutNumber == 0) {
        result = TCS_RESULT_BAD_PARAM;
    }
    if (result != TCS_RESULT_OK) {
        if (inOutNumber != nullptr) *inOutNumber = 0;
        return result;
    }
    if (*inOutNumber > count) *inOutNumber = count;
    const uint32_t number = *inOutNumber;
    auto* records = allocZeroed<EnrollTemplate*>(count);
    auto* results = allocZeroed<MatchResult*>(number);
    auto* request = allocZeroed<MssMatchImageExRequest>();
    auto release = [&] {
        for (uint32_t i = 0; results != nullptr && i < number; ++i) palRealFree(results[i]);
        palRealFree(results);
        palRealFree(records);
        palRealFree(request);
    };
    if (records == nullptr || results == nullptr || request == nullptr) {
        release();
        *inOutNumber = 0;
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    for (uint32_t i = 0; i < count; ++i) {
        records[i] = fetchTemplate(templates[i]);
        if (records[i] == nullptr) {
            release();
            *inOutNumber = 0;
            return TCS_RESULT_BAD_PARAM;
        }
    }
    for (uint32_t i = 0; i < number; ++i) {
        results[i] = allocZeroed<MatchResult>();
        if (results[i] == nullptr) {
            release();
            *inOutNumber = 0;
            return TCS_RESULT_OUT_OF_MEMORY;
        }
    }
    *request = MssMatchImageExRequest{matcher, image, records, count, inOutNumber, number, results, number};
    result = enqueue(matcher, MSS_OPCODE_MATCH_IMAGE_EX, request, reinterpret_cast<void*>(callback), context);
    if (result != TCS_RESULT_OK) {
        release();
        *inOutNumber = 0;
    }
    return result;
}

TcsResult tcsMatcherOpen(TcsHandle clientHandle, uint32_t id, TcsHandle* outMatcher) {
    void* object = nullptr;
    if (clientHandle != 0) tcsSafeClientHandleFetch(clientHandle, &object);
    auto* client = static_cast<ClientRecord*>(object);
    TcsResult result = tcsClientValidate(client);
    if (result != TCS_RESULT_OK) return result;
    if (outMatcher == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    MatcherWait* wait = nullptr;
    result = runSync(client->stack, kWaitMs, Keep::HandleOnOk, &wait, [&](MatcherWait* w) {
        return tcsMatcherOpenAsync(clientHandle, id, waitCallback, w);
    });
    if (wait == nullptr) return result;
    if (result == TCS_RESULT_OK) *outMatcher = wait->handle;
    freeWait(wait);
    return result;
}

TcsResult tcsMatcherClose(TcsHandle handle) {
    // The close reports a missing event before it judges the handle.
    PalEvent* probe = palEventAlloc(0, 0, nullptr);
    if (probe == nullptr) return TCS_RESULT_EVENT_CREATION_FAILED;
    palEventFree(probe);
    MatcherRecord* matcher = fetchMatcher(handle);
    TcsResult result = _tcsMatcherValidate(matcher);
    if (result != TCS_RESULT_OK) return result;
    CoreSubsystem* stack = stackOf(matcher);
    if (stack == nullptr) return TCS_RESULT_INVALID_HANDLE;
    MatcherWait* wait = nullptr;
    result = runSync(stack, kWaitMs, Keep::Nothing, &wait,
                     [&](MatcherWait* w) { return tcsMatcherCloseAsync(handle, waitCallback, w); });
    if (wait != nullptr) freeWait(wait);
    return result;
}

TcsResult tcsMatcherCheckImageQuality(TcsHandle handle, TcsHandle image, uint32_t* outVerdict) {
    MatcherRecord* matcher = fetchMatcher(handle);
    TcsResult result = _tcsMatcherValidate(matcher);
    if (result != TCS_RESULT_OK) return result;
    if (outVerdict == nullptr) return TCS_RESULT_NULL_POINTER;
    MatcherWait* wait = nullptr;
    result = runSync(stackOf(matcher), kWaitMs, Keep::Verdict, &wait, [&](MatcherWait* w) {
        return tcsMatcherCheckImageQualityAsync(handle, image, waitCallback, w);
    });
    if (wait == nullptr) return result;
    if (result == TCS_RESULT_OK) *outVerdict = wait->verdict;
    freeWait(wait);
    return result;
}

TcsResult tcsMatcherExtractTemplate(TcsHandle handle, TcsHandle image, TcsHandle* outTemplate) {
    MatcherRecord* matcher = fetchMatcher(handle);
    TcsResult result = _tcsMatcherValidate(matcher);
    if (result != TCS_RESULT_OK) return result;
    if (outTemplate == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    MatcherWait* wait = nullptr;
    result = runSync(stackOf(matcher), kWaitMs, Keep::HandleOnOk, &wait, [&](MatcherWait* w) {
        return tcsMatcherExtractTemplateAsync(handle, image, waitCallback, w);
    });
    if (wait == nullptr) return result;
    if (result == TCS_RESULT_OK) *outTemplate = wait->handle;
    freeWait(wait);
    return result;
}

TcsResult tcsMatcherAddImageToTemplate(TcsHandle handle, TcsHandle image, uint32_t* outEnrollStatus,
                                       TcsHandle* inOutTemplate) {
    MatcherRecord* matcher = fetchMatcher(handle);
    TcsResult result = _tcsMatcherValidate(matcher);
    if (result != TCS_RESULT_OK) return result;
    if (outEnrollStatus == nullptr) return TCS_RESULT_NULL_POINTER;
    if (inOutTemplate == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    const TcsHandle current = *inOutTemplate;
    MatcherWait* wait = nullptr;
    result = runSync(stackOf(matcher), kWaitMs, Keep::HandleUnless401, &wait, [&](MatcherWait* w) {
        return tcsMatcherAddImageToTemplateAsync(handle, image, current, waitCallback, w);
    });
    if (wait == nullptr) return result;
    TcsHandle made = wait->handle;
    freeWait(wait);
    *outEnrollStatus = result;
    if (result == MSS_ENROLL_STATUS_FAILED) return TCS_RESULT_MATCHER_ENROLL_FAILED;
    if (result == MSS_RESULT_IMAGE_REJECTED) {
        // The caller's variable stays as it was: a template made before the image was refused
        // (matchers 2 and 4 make theirs at the first image) would be a handle nobody holds.
        if (made != 0 && made != current) tcsHandleDestroy(made);
        *outEnrollStatus = MSS_ENROLL_STATUS_MORE_IMAGES;
        return TCS_RESULT_MATCHER_ADD_IMAGE_FAILED;
    }
    *inOutTemplate = made;
    return TCS_RESULT_OK;
}

TcsResult tcsMatcherMatchTemplates(TcsHandle handle, TcsHandle a, TcsHandle b, TcsHandle* outResult) {
    MatcherRecord* matcher = fetchMatcher(handle);
    TcsResult result = _tcsMatcherValidate(matcher);
    if (result != TCS_RESULT_OK) return result;
    if (fetchTemplate(a) == nullptr || fetchTemplate(b) == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (outResult == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    MatcherWait* wait = nullptr;
    result = runSync(stackOf(matcher), kWaitMs, Keep::HandleOnOk, &wait, [&](MatcherWait* w) {
        return tcsMatcherMatchTemplatesAsync(handle, a, b, waitCallback, w);
    });
    if (wait == nullptr) return result;
    if (result == TCS_RESULT_OK) *outResult = wait->handle;
    freeWait(wait);
    return result;
}

TcsResult _tcsMatcherMatchImageInSearch(TcsHandle handle, TcsHandle image, const TcsHandle* templates, uint32_t count,
                                        uint32_t mode, uint32_t probe, TcsHandle* outResult) {
    MatcherRecord* matcher = fetchMatcher(handle);
    TcsResult result = _tcsMatcherValidate(matcher);
    if (result != TCS_RESULT_OK) return result;
    if ((count == 0 && probe != MSS_PROBE_RELEASE) || (mode != 1 && mode != 2)) return TCS_RESULT_BAD_PARAM;
    if (outResult == nullptr) return TCS_RESULT_NULL_POINTER;
    MatcherWait* wait = nullptr;
    result = runSync(stackOf(matcher), imageMatchWaitMs(count), Keep::HandleUnless307, &wait, [&](MatcherWait* w) {
        return matchImageAsync(handle, image, templates, count, mode, probe, waitCallback, w);
    });
    if (wait == nullptr) return result;
    if (result == TCS_RESULT_OK) *outResult = wait->handle;
    freeWait(wait);
    return result;
}

TcsResult tcsMatcherMatchImageToTemplates(TcsHandle handle, TcsHandle image, const TcsHandle* templates,
                                          uint32_t count, uint32_t mode, TcsHandle* outResult) {
    return _tcsMatcherMatchImageInSearch(handle, image, templates, count, mode, MSS_PROBE_ONCE, outResult);
}

TcsResult tcsMatcherMatchImageToTemplatesEx(TcsHandle handle, TcsHandle image, const TcsHandle* templates,
                                            uint32_t count, uint32_t* inOutNumber, TcsHandle* outResults) {
    MatcherRecord* matcher = fetchMatcher(handle);
    TcsResult result = _tcsMatcherValidate(matcher);
    if (result != TCS_RESULT_OK) return result;
    if (count == 0) return TCS_RESULT_BAD_PARAM;
    if (inOutNumber == nullptr || outResults == nullptr) return TCS_RESULT_NULL_POINTER;
    if (*inOutNumber == 0) return TCS_RESULT_BAD_PARAM;
    if (*inOutNumber > count) *inOutNumber = count;
    for (uint32_t i = 0; i < *inOutNumber; ++i) outResults[i] = 0;
    MatcherWait* wait = nullptr;
    // The item writes its count into the wait record, which outlives a caller that gave up.
    result = runSync(stackOf(matcher), imageMatchWaitMs(count), Keep::Nothing, &wait, [&](MatcherWait* w) {
        w->number = *inOutNumber;
        return tcsMatcherMatchImageToTemplatesExAsync(handle, image, templates, count, &w->number, nullptr,
                                                      waitExCallback, w);
    });
    if (wait == nullptr) {
        if (result != TCS_RESULT_TIMEOUT) *inOutNumber = 0;
        return result;
    }
    const uint32_t asked = *inOutNumber;
    *inOutNumber = wait->number;
    if (wait->handles != nullptr) {
        for (uint32_t i = 0; i < wait->number; ++i) {
            if (result == TCS_RESULT_OK && i < asked) {
                outResults[i] = wait->handles[i];
            } else if (wait->handles[i] != 0) {
                tcsHandleDestroy(wait->handles[i]);
            }
        }
        palRealFree(wait->handles);
    }
    freeWait(wait);
    return result;
}

uint32_t tcsMatcherGetID(TcsHandle handle) {
    MatcherRecord* matcher = fetchMatcher(handle);
    return _tcsMatcherValidate(matcher) == TCS_RESULT_OK ? matcher->id : 0;
}

uint32_t tcsMatcherGetTemplateType(TcsHandle handle) {
    MatcherRecord* matcher = fetchMatcher(handle);
    return _tcsMatcherValidate(matcher) == TCS_RESULT_OK ? matcher->templateType : 0;
}

uint32_t tcsMatcherGetIDStringSize(TcsHandle handle) {
    return _tcsMatcherValidate(fetchMatcher(handle)) == TCS_RESULT_OK ? 40 : 0;
}

TcsResult tcsMatcherGetIDStringA(TcsHandle handle, char* buffer, uint32_t size) {
    MatcherRecord* matcher = fetchMatcher(handle);
    TcsResult result = _tcsMatcherValidate(matcher);
    if (result != TCS_RESULT_OK) return result;
    if (buffer == nullptr) return TCS_RESULT_NULL_POINTER;
    const uint32_t length = uint32_t(strnlen(matcher->idString, sizeof matcher->idString - 1));
    if (size == 0 || size < length + 1) return TCS_RESULT_BAD_PARAM;
    std::memcpy(buffer, matcher->idString, length);
    buffer[length] = 0;
    return TCS_RESULT_OK;
}

TcsResult tcsMatcherGetIDStringW(TcsHandle handle, uint16_t* buffer, uint32_t size) {
    MatcherRecord* matcher = fetchMatcher(handle);
    TcsResult result = _tcsMatcherValidate(matcher);
    if (result != TCS_RESULT_OK) return result;
    if (buffer == nullptr) return TCS_RESULT_NULL_POINTER;
    const uint32_t length = uint32_t(strnlen(matcher->idString, sizeof matcher->idString - 1));
    if (size == 0 || size < length + 1) return TCS_RESULT_BAD_PARAM;
    for (uint32_t i = 0; i < length; ++i) buffer[i] = uint8_t(matcher->idString[i]);
    buffer[length] = 0;
    return TCS_RESULT_OK;
}

}  // extern "C"
