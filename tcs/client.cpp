// Clients: create and destroy on the service thread, parameters, symmetric keys, system-event callbacks.
#include "tcs/core.h"

#include "platform/clock.h"
#include "platform/memory.h"
#include "tcs/handle_map.h"

#include <cstring>
#include <initializer_list>

namespace {

constexpr uint32_t kClientItemTimeoutMs = 5000;
constexpr uint32_t kCreateWaitMs = 15000;
constexpr uint32_t kDestroyWaitMs = 5000;
constexpr uint32_t kMatcherCloseTimeoutMs = 5000;
constexpr uint32_t kParamAlwaysZero = 13;
constexpr uint32_t kParamFar = 15;

// Steps of a machine that gave up waiting: its item stays queued until the late completion comes,
// because the request still names the item as its context.
constexpr uint32_t kCreateLateStep = 100;
constexpr uint32_t kDestroyLateStep = 101;

struct ParameterDefault {
    uint32_t id;
    uint32_t value;
};
constexpr ParameterDefault kDefaults[] = {{6, 4},       {10, 1},          {12, 12},  {14, 1}, {15, 100000},
                                          {16, 0xFFFFFFFF}, {17, 5000}, {21, 6},   {22, 3}};

bool forwardedToMatchers(uint32_t id) { return id == 6 || id == 7 || id == 8 || id == 9 || id == 11 || id == 12; }

ClientRecord* fetchClient(TcsHandle handle) {
    void* object = nullptr;
    if (handle == 0) return nullptr;
    tcsSafeClientHandleFetch(handle, &object);
    return static_cast<ClientRecord*>(object);
}

void freeLocks(ClientRecord* client) {
    for (PalMutexHandle lock : {client->sensorLock, client->matcherLock, client->databaseLock, client->eventLock}) {
        if (lock != nullptr) palCriticalSectionFree(lock);
    }
}

TcsResult makeClient(CoreSubsystem* stack, ClientRecord** outClient) {
    auto* client = static_cast<ClientRecord*>(palRealMalloc(sizeof(ClientRecord)));
    if (client == nullptr) return TCS_RESULT_INVALID;
    std::memset(client, 0, sizeof(*client));
    palListInit(&client->links);
    palListInit(&client->sensors);
    palListInit(&client->matchers);
    palListInit(&client->databases);
    palListInit(&client->eventCallbacks);
    palCriticalSectionInitialize(&client->sensorLock);
    palCriticalSectionInitialize(&client->matcherLock);
    palCriticalSectionInitialize(&client->databaseLock);
    palCriticalSectionInitialize(&client->eventLock);
    if (client->sensorLock == nullptr || client->matcherLock == nullptr || client->databaseLock == nullptr ||
        client->eventLock == nullptr) {
        freeLocks(client);
        palRealFree(client);
        return TCS_RESULT_MUTEX_CREATION_FAILED;
    }
    client->stack = stack;
    client->workItemTimeoutMs = kClientItemTimeoutMs;
    for (const ParameterDefault& d : kDefaults) client->parameters[d.id] = d.value;
    client->systemEventMask = ~uint64_t(0);
    client->matcherAccuracy = 1;
    *outClient = client;
    return TCS_RESULT_OK;
}

bool timedOut(const WorkItem* item) { return palGetTickCount() - item->baseTick >= item->remainingMs; }

// The caller has had its answer; the item waits (offering no deadline) for the late completion.
void awaitLateCompletion(WorkItem* item, uint32_t lateStep) {
    *tcsItemStep(item) = lateStep;
    *tcsItemState(item) = TCS_ITEM_WAITING;
    item->remainingMs = 0;
}

TcsResult ignoreDatabaseClose(uint64_t, TcsResult, void*) { return TCS_RESULT_OK; }

// Destroy step 0: one close request per open matcher on the matching list. False when some matcher
// cannot be closed that way, so the destroy must not wait for the list to empty.
bool queueMatcherCloses(ClientRecord* client) {
    MssSubsystem* matching = client->stack->matching;
    if (palCriticalSectionAcquire(client->matcherLock) != TCS_RESULT_OK) return false;
    bool queued = true;
    for (PalListEntry* e = client->matchers.next; e != &client->matchers && queued; e = e->next) {
        auto* matcher = PAL_LIST_RECORD(e, MatcherRecord, links);
        uint64_t handle = 0;
        tcsSafeHandleReverseFetch(matcher, TCS_HANDLE_TYPE_MATCHER, &handle);
        auto* request = static_cast<MssCloseRequest*>(palRealMalloc(sizeof(MssCloseRequest)));
        if (handle == 0 || request == nullptr || matching == nullptr) {
            palRealFree(request);
            queued = false;
            break;
        }
        matcher->closing = 1;
        request->matcherHandle = handle;
        request->matcher = matcher;
        if (palWorkItemEnqueue(&matching->workList, MSS_WORK_ITEM_CLOSE_MATCHER, kMatcherCloseTimeoutMs, request, 0,
                               0, 1, nullptr) != TCS_RESULT_OK) {
            palRealFree(request);
            queued = false;
        }
    }
    palCriticalSectionRelease(client->matcherLock);
    return queued;
}

bool listEmpty(PalListEntry* head, PalMutexHandle lock) {
    if (palCriticalSectionAcquire(lock) != TCS_RESULT_OK) return false;
    bool empty = palListIsEmpty(head);
    palCriticalSectionRelease(lock);
    return empty;
}

TcsResult startDestroy(CompletionCallback callback, SyncWaitRecord* record, void* client) {
    return _tcsClientDestroyAsync(static_cast<ClientRecord*>(client), callback, record);
}

TcsResult startCreate(CompletionCallback callback, SyncWaitRecord* record, void* stack) {
    return tcsClientCreateSysAsync(static_cast<CoreSubsystem*>(stack), callback, record);
}

// A client handle released with tcsHandleDestroy while its record is still in the stack's list
// goes through the client's own destroy: its sensors, matchers and lists are torn down with it.
uint32_t destroyLinkedClient(uint64_t handle, void* object, TcsResult* outResult) {
    auto* client = static_cast<ClientRecord*>(object);
    CoreSubsystem* stack = client->stack;
    if (stack == nullptr || client->links.next == nullptr || client->links.next == &client->links) return 0;
    bool linked = false;
    if (palCriticalSectionAcquire(stack->clientLock) != TCS_RESULT_OK) return 0;
    for (PalListEntry* e = stack->clients.next; e != &stack->clients && !linked; e = e->next) linked = e == &client->links;
    palCriticalSectionRelease(stack->clientLock);
    if (!linked) return 0;
    *outResult = tcsClientDestroy(handle);
    return 1;
}

}  // namespace

extern "C" {

void _tcsClientRegisterOwnerDestroy(void) { _tcsSafeHandleSetOwnerDestroy(TCS_HANDLE_TYPE_CLIENT, destroyLinkedClient); }

TcsResult tcsClientValidate(ClientRecord* client) {
    if (client == nullptr) return TCS_RESULT_NULL_CLIENT_HANDLE;
    if (__atomic_load_n(&client->destroying, __ATOMIC_ACQUIRE) != 0) return TCS_RESULT_CLIENT_DESTRUCTION_IN_PROCESS;
    return TCS_RESULT_OK;
}

TcsResult tcsClientCreateSysAsync(CoreSubsystem* stack, CompletionCallback callback, void* context) {
    if (stack == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    if (callback == nullptr) return TCS_RESULT_NULL_POINTER;
    ClientRecord* client = nullptr;
    TcsResult result = makeClient(stack, &client);
    if (result != TCS_RESULT_OK) return result;
    result = _tcsQueueCoreItem(stack, TCS_ITEM_CLIENT_CREATE, client->workItemTimeoutMs, client, callback, context);
    if (result != TCS_RESULT_OK) {
        freeLocks(client);
        palRealFree(client);
    }
    return result;
}

TcsResult tcsClientCreateSys(CoreSubsystem* stack, TcsHandle* outClient) {
    if (stack == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    if (outClient == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    return _tcsSyncCall(stack, kCreateWaitMs, TCS_RESULT_INVALID, outClient, startCreate, stack);
}

TcsResult tcsClientCreateCB(void* handle, TcsResult status, void* record) {
    return _tcsGenericCB(handle, status, record);
}

TcsResult tcsClientDestroyCB(void* handle, TcsResult status, void* record) {
    return _tcsGenericCB(handle, status, record);
}

TcsResult tcsClientCreateStep(void* value, TcsResult status, void* itemArgument) {
    auto* item = static_cast<WorkItem*>(itemArgument);
    auto* client = static_cast<ClientRecord*>(item->object);
    uint32_t& step = *tcsItemStep(item);
    if (step == kCreateLateStep) {
        if (status == TCS_RESULT_SERVICE) return TCS_RESULT_OK;
        // A sensor-control client made after the caller was told of the time-out belongs to nobody.
        if (status == TCS_RESULT_OK && value != nullptr) {
            scsClientSendDestroy(static_cast<ScsClient*>(value), dummyscsClientDestroyCB, nullptr);
        }
        *tcsItemState(item) = TCS_ITEM_DONE;
        return TCS_RESULT_OK;
    }
    if (client == nullptr) {
        tcsItemSetResult(item, TCS_RESULT_CLIENT_CREATE_FAILED);
        CompletionCallback callback = tcsItemCallback(item);
        if (callback != nullptr) callback(nullptr, TCS_RESULT_CLIENT_CREATE_FAILED, tcsItemContext(item));
        *tcsItemState(item) = TCS_ITEM_DONE;
        return TCS_RESULT_OK;
    }
    if (step == 0) {
        item->baseTick = palGetTickCount();
        step = 1;
        TcsResult sent = scsClientSendCreate(client->stack->sensorControl, tcsClientCreateStep, item);
        // Queued: the completion re-enters this machine, possibly before the send returns.
        if (sent == TCS_RESULT_OK) return TCS_RESULT_OK;
        tcsItemSetResult(item, sent);
        step = 2;
    } else if (step == 1) {
        if (status == TCS_RESULT_SERVICE) {
            if (!timedOut(item)) return TCS_RESULT_OK;
            tcsItemSetResult(item, TCS_RESULT_TIMEOUT);
        } else if (status == TCS_RESULT_OK) {
            client->sensorControlClient = static_cast<ScsClient*>(value);
            tcsItemSetResult(item, TCS_RESULT_OK);
        } else {
            tcsItemSetResult(item, TCS_RESULT_CLIENT_CREATE_FAILED);
        }
        step = 2;
    }
    // Step 2.
    TcsResult result = tcsItemResult(item);
    bool late = result == TCS_RESULT_TIMEOUT;
    if (result == TCS_RESULT_OK) {
        CoreSubsystem* stack = client->stack;
        if (palCriticalSectionAcquire(stack->clientLock) != TCS_RESULT_OK) return TCS_RESULT_OK;  // next visit
        palListInsertTail(&stack->clients, &client->links);
        palCriticalSectionRelease(stack->clientLock);
    }
    CompletionCallback callback = tcsItemCallback(item);
    TcsHandle handle = 0;
    if (callback != nullptr && result == TCS_RESULT_OK) {
        result = tcsSafeClientHandleCreate(client, &handle);
        tcsItemSetResult(item, result);
    }
    if (result != TCS_RESULT_OK && client != nullptr) {
        // A client that did not come up is not kept: unlink it if it got that far, and free it.
        if (palCriticalSectionAcquire(client->stack->clientLock) == TCS_RESULT_OK) {
            for (PalListEntry* e = client->stack->clients.next; e != &client->stack->clients; e = e->next) {
                if (e == &client->links) {
                    palListRemove(e);
                    break;
                }
            }
            palCriticalSectionRelease(client->stack->clientLock);
        }
        if (client->sensorControlClient != nullptr) {
            scsClientSendDestroy(client->sensorControlClient, dummyscsClientDestroyCB, nullptr);
        }
        freeLocks(client);
        palRealFree(client);
        item->object = nullptr;
    }
    if (callback != nullptr) {
        callback(result == TCS_RESULT_OK ? reinterpret_cast<void*>(uintptr_t(handle)) : nullptr, result,
                 tcsItemContext(item));
    }
    if (late) {
        awaitLateCompletion(item, kCreateLateStep);
    } else {
        *tcsItemState(item) = TCS_ITEM_DONE;
    }
    return TCS_RESULT_OK;
}

TcsResult _tcsClientDestroyAsync(ClientRecord* client, CompletionCallback callback, void* context) {
    TcsResult result = tcsClientValidate(client);
    if (result != TCS_RESULT_OK) return result;
    CoreSubsystem* stack = client->stack;
    if (stack == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    __atomic_store_n(&client->destroying, 1u, __ATOMIC_RELEASE);
    TcsResult locked = palCriticalSectionAcquire(stack->clientLock);
    if (locked == TCS_RESULT_OK) {
        palListRemove(&client->links);
        palListInit(&client->links);
        palCriticalSectionRelease(stack->clientLock);
    }
    result = _tcsQueueCoreItem(stack, TCS_ITEM_CLIENT_DESTROY, kClientItemTimeoutMs, client, callback, context);
    if (result != TCS_RESULT_OK && locked == TCS_RESULT_OK) {
        // Not queued: the client stays live rather than half destroyed.
        if (palCriticalSectionAcquire(stack->clientLock) == TCS_RESULT_OK) {
            palListInsertTail(&stack->clients, &client->links);
            palCriticalSectionRelease(stack->clientLock);
        }
        __atomic_store_n(&client->destroying, 0u, __ATOMIC_RELEASE);
    }
    return result;
}

TcsResult tcsClientDestroyAsync(TcsHandle handle, CompletionCallback callback, void* context) {
    return _tcsClientDestroyAsync(fetchClient(handle), callback, context);
}

TcsResult _tcsClientDestroy(ClientRecord* client) {
    TcsResult result = tcsClientValidate(client);
    if (result != TCS_RESULT_OK) return result;
    if (client->stack == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    return _tcsSyncCall(client->stack, kDestroyWaitMs, TCS_RESULT_OUT_OF_MEMORY, nullptr, startDestroy, client);
}

TcsResult tcsClientDestroy(TcsHandle handle) { return _tcsClientDestroy(fetchClient(handle)); }

TcsResult tcsClientDestroyStep(void* value, TcsResult status, void* itemArgument) {
    (void)value;
    auto* item = static_cast<WorkItem*>(itemArgument);
    auto* client = static_cast<ClientRecord*>(item->object);
    uint32_t& step = *tcsItemStep(item);
    if (step == kDestroyLateStep) {
        if (status != TCS_RESULT_SERVICE) *tcsItemState(item) = TCS_ITEM_DONE;
        return TCS_RESULT_OK;
    }
    if (client == nullptr) {
        *tcsItemState(item) = TCS_ITEM_DONE;
        return TCS_RESULT_OK;
    }
    for (;;) {
        switch (step) {
            case 0: step = queueMatcherCloses(client) ? 1 : 2; break;
            case 1:
                if (!listEmpty(&client->matchers, client->matcherLock)) return TCS_RESULT_OK;
                step = 2;
                break;
            case 2:
                if (palCriticalSectionAcquire(client->databaseLock) != TCS_RESULT_OK) {
                    step = 4;
                    break;
                }
                for (PalListEntry* e = client->databases.next; e != &client->databases; e = e->next) {
                    _tcsDatabaseCloseAsync(reinterpret_cast<DssDatabase*>(e), ignoreDatabaseClose, nullptr);
                }
                palCriticalSectionRelease(client->databaseLock);
                step = 3;
                break;
            case 3:
                if (!listEmpty(&client->databases, client->databaseLock)) return TCS_RESULT_OK;
                step = 4;
                break;
            case 4:
                if (palCriticalSectionAcquire(client->sensorLock) != TCS_RESULT_OK) {
                    step = 6;
                    break;
                }
                for (PalListEntry* e = client->sensors.next; e != &client->sensors; e = e->next) {
                    _tcsSensorCloseAsync(PAL_LIST_RECORD(e, SensorRecord, links), nullptr, nullptr);
                }
                palCriticalSectionRelease(client->sensorLock);
                step = 5;
                break;
            case 5:
                if (!listEmpty(&client->sensors, client->sensorLock)) return TCS_RESULT_OK;
                step = 6;
                break;
            case 6: {
                item->baseTick = palGetTickCount();
                step = 7;
                TcsResult sent = scsClientSendDestroy(client->sensorControlClient, tcsClientDestroyStep, item);
                if (sent != TCS_RESULT_OK) {
                    tcsItemSetResult(item, sent);
                    step = 8;
                    break;
                }
                return TCS_RESULT_OK;
            }
            case 7:
                if (status == TCS_RESULT_SERVICE) {
                    if (!timedOut(item)) return TCS_RESULT_OK;
                    tcsItemSetResult(item, TCS_RESULT_TIMEOUT);
                } else {
                    if (status == TCS_RESULT_OK) client->sensorControlClient = nullptr;
                    tcsItemSetResult(item, status);
                }
                step = 8;
                break;
            default: {  // 8
                TcsResult result = tcsItemResult(item);
                _tcsClientFree(client);
                item->object = nullptr;
                CompletionCallback callback = tcsItemCallback(item);
                if (callback != nullptr) callback(nullptr, result, tcsItemContext(item));
                if (result == TCS_RESULT_TIMEOUT) {
                    awaitLateCompletion(item, kDestroyLateStep);
                } else {
                    *tcsItemState(item) = TCS_ITEM_DONE;
                }
                return TCS_RESULT_OK;
            }
        }
        status = TCS_RESULT_SERVICE;  // later steps of this call run as a visit
    }
}

TcsResult _tcsClientFree(ClientRecord* client) {
    if (client == nullptr) return TCS_RESULT_NULL_CLIENT_HANDLE;
    if (palCriticalSectionAcquire(client->eventLock) == TCS_RESULT_OK) {
        while (!palListIsEmpty(&client->eventCallbacks)) {
            auto* node = PAL_LIST_RECORD(client->eventCallbacks.next, EventCallbackNode, links);
            palListRemove(&node->links);
            // A sensor-control client that outlives this record must not call into freed nodes.
            if (client->sensorControlClient != nullptr) {
                scsClientEventsRemoveCallback(client->sensorControlClient, tcsClientEventsCBEx, node);
            }
            palRealFree(node);
        }
        palCriticalSectionRelease(client->eventLock);
    }
    freeLocks(client);
    return tcsSafeExHandleDestroy(client, TCS_HANDLE_TYPE_CLIENT);
}

TcsResult tcsGetParam(TcsHandle handle, uint32_t id, uint32_t* outValue) {
    if (outValue == nullptr) return TCS_RESULT_NULL_POINTER;
    if (id == kParamAlwaysZero) {
        *outValue = 0;
        return TCS_RESULT_OK;
    }
    ClientRecord* client = fetchClient(handle);
    TcsResult result = tcsClientValidate(client);
    if (result != TCS_RESULT_OK) return result;
    if (id < 1 || id > 23) return TCS_RESULT_BAD_PARAM;
    *outValue = client->parameters[id];
    if (forwardedToMatchers(id) && palCriticalSectionAcquire(client->matcherLock) == TCS_RESULT_OK) {
        // The last matcher's answer stands.
        for (PalListEntry* e = client->matchers.next; e != &client->matchers; e = e->next) {
            auto* matcher = PAL_LIST_RECORD(e, MatcherRecord, links);
            if (matcher->GetParameter != nullptr) matcher->GetParameter(matcher, id, outValue);
        }
        palCriticalSectionRelease(client->matcherLock);
    }
    return TCS_RESULT_OK;
}

TcsResult tcsSetParam(TcsHandle handle, uint32_t id, uint32_t value) {
    if (id == kParamAlwaysZero) return TCS_RESULT_OK;
    ClientRecord* client = fetchClient(handle);
    TcsResult result = tcsClientValidate(client);
    if (result != TCS_RESULT_OK) return result;
    if (id < 1 || id > 23) return TCS_RESULT_BAD_PARAM;
    client->parameters[id] = value;
    if ((forwardedToMatchers(id) || id == kParamFar) &&
        palCriticalSectionAcquire(client->matcherLock) == TCS_RESULT_OK) {
        for (PalListEntry* e = client->matchers.next; e != &client->matchers; e = e->next) {
            auto* matcher = PAL_LIST_RECORD(e, MatcherRecord, links);
            if (id == kParamFar) {
                if (matcher->SetFAR != nullptr) matcher->SetFAR(matcher, value);
            } else if (matcher->SetParameter != nullptr) {
                matcher->SetParameter(matcher, id, value);
            }
        }
        palCriticalSectionRelease(client->matcherLock);
    }
    return TCS_RESULT_OK;
}

TcsResult tcsMatcherSetAccuracy(TcsHandle handle, uint32_t level) {
    if (handle == 0) return TCS_RESULT_NULL_CLIENT_HANDLE;
    static constexpr uint32_t kFarByLevel[] = {0, 10000, 100000, 1000000};
    if (level < 1 || level > 3) return TCS_RESULT_BAD_PARAM;
    TcsResult result = tcsSetParam(handle, kParamFar, kFarByLevel[level]);
    ClientRecord* client = fetchClient(handle);
    if (client == nullptr) return TCS_RESULT_NULL_CLIENT_HANDLE;
    client->matcherAccuracy = level;
    client->accuracySet = 1;
    return result;
}

TcsResult tcsSetSymmetricKey(TcsHandle handle, uint32_t keyIndex, uint32_t mode, uint32_t algorithm, const void* key,
                             uint32_t keyLength) {
    ClientRecord* client = fetchClient(handle);
    TcsResult result = tcsClientValidate(client);
    if (result != TCS_RESULT_OK) return result;
    if (mode > 1) return TCS_RESULT_BAD_PARAM;
    if (key == nullptr) return TCS_RESULT_NULL_POINTER;
    if (algorithm == 5 || algorithm == 6) {
        if (keyLength != 16 && keyLength != 24 && keyLength != 32) return TCS_RESULT_BAD_PARAM;
    } else if (algorithm == 10) {
        if (keyLength != 8) return TCS_RESULT_BAD_PARAM;
    } else {
        return TCS_RESULT_BAD_PARAM;
    }
    if (keyIndex > 3) return TCS_RESULT_BAD_PARAM;
    SymmetricKeySlot slot{1, algorithm, keyLength, key, keyLength};
    switch (keyIndex) {
        case 0: client->keyB = slot; break;
        case 1: client->keyA = slot; break;
        case 2: client->keyC = slot; break;
        default: client->keyC = client->keyB = client->keyA = slot; break;
    }
    return TCS_RESULT_OK;
}

TcsResult tcsResetSymmetricKey(TcsHandle handle, uint32_t keyIndex) {
    ClientRecord* client = fetchClient(handle);
    TcsResult result = tcsClientValidate(client);
    if (result != TCS_RESULT_OK) return result;
    if (keyIndex > 3) return TCS_RESULT_BAD_PARAM;
    SymmetricKeySlot empty{};
    if (keyIndex == 0 || keyIndex == 3) client->keyB = empty;
    if (keyIndex == 1 || keyIndex == 3) client->keyA = empty;
    if (keyIndex == 2 || keyIndex == 3) client->keyC = empty;
    return TCS_RESULT_OK;
}

TcsResult tcsClientEventsAddCallback(TcsHandle handle, EventCallback callback, void* context) {
    ClientRecord* client = fetchClient(handle);
    TcsResult result = tcsClientValidate(client);
    if (result != TCS_RESULT_OK) return result;
    if (callback == nullptr) return TCS_RESULT_NULL_POINTER;
    auto* node = static_cast<EventCallbackNode*>(palRealMalloc(sizeof(EventCallbackNode)));
    if (node == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(node, 0, sizeof(*node));
    palListInit(&node->links);
    node->context = context;
    node->callback = callback;
    node->handle = handle;
    result = scsClientEventsAddCallback(client->sensorControlClient, tcsClientEventsCBEx, node);
    if (result != TCS_RESULT_OK) {
        palRealFree(node);
        return result;
    }
    result = palCriticalSectionAcquire(client->eventLock);
    if (result != TCS_RESULT_OK) {
        scsClientEventsRemoveCallback(client->sensorControlClient, tcsClientEventsCBEx, node);
        palRealFree(node);
        return result;
    }
    palListInsertTail(&client->eventCallbacks, &node->links);
    palCriticalSectionRelease(client->eventLock);
    return TCS_RESULT_OK;
}

TcsResult tcsClientEventsRemoveCallback(TcsHandle handle, EventCallback callback, void* context) {
    ClientRecord* client = fetchClient(handle);
    TcsResult result = tcsClientValidate(client);
    if (result != TCS_RESULT_OK) return result;
    if (callback == nullptr) return TCS_RESULT_NULL_POINTER;
    result = palCriticalSectionAcquire(client->eventLock);
    if (result != TCS_RESULT_OK) return result;
    for (PalListEntry* e = client->eventCallbacks.next; e != &client->eventCallbacks;) {
        PalListEntry* next = e->next;
        auto* node = PAL_LIST_RECORD(e, EventCallbackNode, links);
        if (node->callback == callback && node->context == context) {
            palListRemove(e);
            result = scsClientEventsRemoveCallback(client->sensorControlClient, tcsClientEventsCBEx, node);
            palRealFree(node);
        }
        e = next;
    }
    palCriticalSectionRelease(client->eventLock);
    return result;
}

TcsResult tcsClientEventsCBEx(ScsClient*, void* nodeArgument, EventRecord* event) {
    auto* node = static_cast<EventCallbackNode*>(nodeArgument);
    if (node == nullptr || event == nullptr) return TCS_RESULT_OK;
    ClientRecord* client = fetchClient(node->handle);
    if (client == nullptr) return TCS_RESULT_OK;
    if ((client->systemEventMask >> (event->id % 64) & 1) == 0) return TCS_RESULT_OK;
    node->callback(reinterpret_cast<void*>(uintptr_t(node->handle)), node->context, event);
    return TCS_RESULT_OK;
}

}  // extern "C"
