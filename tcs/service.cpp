// Service thread and service loop: the stage rotation, the core work list and its dispatch, and the
// wait and hand-off of every synchronous call.
#include "tcs/core.h"

#include "platform/clock.h"
#include "platform/memory.h"
#include "tcs/handle_map.h"
#include "tcs/sensorctl/engine/scs_internal.h"

#include <cstring>

namespace {

constexpr uint32_t kPassBudgetMs = 500;
constexpr uint32_t kIdleWaitMs = 250;
constexpr uint32_t kFastWaitMs = 1;
constexpr uint32_t kStages = 4;
constexpr uint32_t kIdleStagesEndingPass = 4;
constexpr uint32_t kPacingVisits = 99;
constexpr uint32_t kPacingMinMs = 5;
constexpr uint32_t kWaitPollMs = 2;
constexpr uint32_t kSyncItemTimeoutMs = 5000;

bool hasServiceThread(const CoreSubsystem* stack) { return (stack->flags & TCS_START_NO_SERVICE_THREAD) == 0; }

bool onServiceThread(CoreSubsystem* stack) {
    PalThreadHandle thread = __atomic_load_n(&stack->thread, __ATOMIC_ACQUIRE);
    return thread != 0 && palIsCurrentThread(thread, nullptr);
}

void keepSmallerWait(uint32_t& running, uint32_t offered) {
    if (offered != 0 && (running == 0 || offered < running)) running = offered;
}

// Type 6: the clock starts on the first visit; the item waits until the cached identification
// context expires, then it is dropped with its id copy.
bool runIdentifyContextExpiry(WorkItem* item) {
    if (item->baseTick == 0) {
        item->baseTick = palGetTickCount();
        item->timerKind = 0;
        return false;
    }
    if (palWorkItemIsTimeout(item) == 0) {
        *tcsItemState(item) = TCS_ITEM_WAITING;
        return false;
    }
    palRealFree(item->object);
    item->object = nullptr;
    return true;
}

// An ownership item cancelled by its timed-out caller still holds its request; a suspend item, the
// round of requests it waits for.
void discardRequest(WorkItem* item) {
    if (item->type == TCS_ITEM_SET_OWNERSHIP || item->type == TCS_ITEM_SET_OWNERSHIP_BRELLOW ||
        item->type == TCS_ITEM_RESET_OWNERSHIP) {
        tcsOwnershipItemDiscard(item);
    } else if (item->type == TCS_ITEM_PREPARE_SUSPEND) {
        tcsPrepareForSuspendDiscard(item);
    }
}

enum class Outcome { Destroy, Requeue };

Outcome dispatch(WorkItem* item) {
    TcsStepMachine machine = nullptr;
    switch (item->type) {
        case TCS_ITEM_CLIENT_CREATE: machine = tcsClientCreateStep; break;
        case TCS_ITEM_CLIENT_DESTROY: machine = tcsClientDestroyStep; break;
        case TCS_ITEM_SENSOR_OPEN: machine = tcsSensorOpenStep; break;
        case TCS_ITEM_SENSOR_CLOSE: machine = tcsSensorCloseStep; break;
        case TCS_ITEM_SENSOR_REATTACH:
            tcsSensorReattachItem(item);
            *tcsItemState(item) = TCS_ITEM_DONE;
            return Outcome::Destroy;
        case TCS_ITEM_VERIFY_EFI:
            tcsWITVerifyAndUpdateEFI(item);
            return Outcome::Destroy;
        case TCS_ITEM_RESET_OWNERSHIP:
            tcsWITResetOwnership(item);
            return Outcome::Destroy;
        case TCS_ITEM_CACHED_VERSION:
            tcsWITGetCachedVersion(item);
            return Outcome::Destroy;
        case TCS_ITEM_SET_OWNERSHIP:
            tcsWITSetOwnership(item);
            return *tcsItemState(item) == TCS_ITEM_DONE ? Outcome::Destroy : Outcome::Requeue;
        case TCS_ITEM_PREPARE_SUSPEND: machine = tcsPrepareForSuspendStep; break;
        case TCS_ITEM_PREPARE_RESUME:
            tcsPrepareForResumeItem(item);
            return Outcome::Destroy;
        case TCS_ITEM_IDENTIFY_CONTEXT_EXPIRY:
            return runIdentifyContextExpiry(item) ? Outcome::Destroy : Outcome::Requeue;
        default:
            return Outcome::Requeue;  // type 8 and unknown types wait for their caller's time-out
    }
    machine(nullptr, TCS_RESULT_SERVICE, item);
    return *tcsItemState(item) == TCS_ITEM_DONE ? Outcome::Destroy : Outcome::Requeue;
}

TcsResult coreStage(CoreSubsystem* stack, uint32_t budgetMs, uint32_t* nextWaitMs) {
    WorkList* list = &stack->workList;
    // Held across every handler (it is recursive): handlers may queue core items.
    if (palCriticalSectionAcquire(list->listLock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    uint32_t count = 0;
    for (PalListEntry* e = list->links.next; e != &list->links; e = e->next) ++count;
    if (count == 0) {
        palCriticalSectionRelease(list->listLock);
        return TCS_RESULT_NO_WORK_ITEMS;
    }
    uint32_t began = palGetTickCount();
    bool busy = false;
    uint32_t wait = 0;
    for (uint32_t i = 0; i < count && !palListIsEmpty(&list->links); ++i) {
        if (palGetTickCount() - began > budgetMs) {
            busy = true;
            break;
        }
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(list->links.next);
        palListRemove(&item->links);
        if (*tcsItemState(item) == TCS_ITEM_DONE || dispatch(item) == Outcome::Destroy) {
            discardRequest(item);
            palWorkItemDestroy(item);
            continue;
        }
        palListInsertTail(&list->links, &item->links);
        if (*tcsItemState(item) == TCS_ITEM_WAITING) {
            keepSmallerWait(wait, item->remainingMs);
        } else {
            busy = true;
        }
    }
    palCriticalSectionRelease(list->listLock);
    *nextWaitMs = wait;
    return busy ? TCS_RESULT_OK : TCS_RESULT_NO_WORK_ITEMS;
}

TcsResult runStage(CoreSubsystem* stack, uint32_t stage, uint32_t budgetMs, uint32_t* nextWaitMs) {
    switch (stage) {
        case 0: return coreStage(stack, budgetMs, nextWaitMs);
        case 1: return scsSubsystemService(stack->sensorControl, budgetMs, nextWaitMs);
        case 2: return idsSubsystemService(stack->imaging, budgetMs, nextWaitMs);
        default: return mssSubsystemService(stack->matching, budgetMs, nextWaitMs);
    }
}

TcsResult startSuspend(CompletionCallback callback, SyncWaitRecord* record, void* stack) {
    return tcsPrepareForSuspendAsync(static_cast<CoreSubsystem*>(stack), callback, record);
}

TcsResult startResume(CompletionCallback callback, SyncWaitRecord* record, void* stack) {
    return tcsPrepareForResumeAsync(static_cast<CoreSubsystem*>(stack), callback, record);
}

}  // namespace

extern "C" {

uint32_t _tcsServiceThreadWaitMs(const CoreSubsystem* stack, uint32_t lastNextWaitMs) {
    if ((stack->flags & TCS_START_FAST_POLL) != 0) return kFastWaitMs;
    return lastNextWaitMs != 0 ? lastNextWaitMs : kIdleWaitMs;
}

uint32_t tcsServiceThread(void* argument) {
    auto* stack = static_cast<CoreSubsystem*>(argument);
    __atomic_store_n(&stack->thread, palCurrentThreadId(), __ATOMIC_RELEASE);
    uint32_t nextWait = 0;
    for (;;) {
        uint32_t wait = _tcsServiceThreadWaitMs(stack, nextWait);
        palEventWaitFor(stack->workList.wakeEvent, wait);  // a timed-out wait is the normal case
        if (__atomic_load_n(&stack->stop, __ATOMIC_ACQUIRE) == 1) break;
        nextWait = 0;
        tcsService(stack, kPassBudgetMs, &nextWait);
    }
    palEventSet(stack->exitEvent);
    return 0;
}

TcsResult tcsService(CoreSubsystem* stack, uint32_t budgetMs, uint32_t* nextWaitMs) {
    if (stack == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (hasServiceThread(stack) && !onServiceThread(stack)) return TCS_RESULT_OK;
    uint32_t start = palGetTickCount();
    uint32_t lastCheck = palGetAccurateTickCount();
    if (int32_t(budgetMs) <= 0) {
        palEventSet(stack->workList.wakeEvent);
        if (nextWaitMs != nullptr) *nextWaitMs = 0;
        return TCS_RESULT_OK;
    }
    uint32_t remaining = budgetMs;
    uint32_t running = 0;
    uint32_t idle = 0;
    uint32_t visits = 0;
    for (;;) {
        // The rotation lives in the record, so a pass starts where the previous one stopped.
        uint32_t stage = stack->stage;
        stack->stage = (stage + 1) % kStages;
        uint32_t stageWait = 0;
        TcsResult result = runStage(stack, stage, remaining, &stageWait);
        if (++visits > kPacingVisits) {
            uint32_t now = palGetAccurateTickCount();
            if (now - lastCheck <= kPacingMinMs) palSleep(1);
            visits = 0;
            lastCheck = now;
        }
        keepSmallerWait(running, stageWait);
        idle = result == TCS_RESULT_OK ? 0 : idle + 1;
        if (idle >= kIdleStagesEndingPass) {
            if (nextWaitMs != nullptr) *nextWaitMs = running;
            return TCS_RESULT_OK;
        }
        int32_t left = int32_t(start + budgetMs - palGetTickCount());
        if (left < 1) break;
        remaining = uint32_t(left);
    }
    palEventSet(stack->workList.wakeEvent);
    if (nextWaitMs != nullptr) *nextWaitMs = running;
    return TCS_RESULT_OK;
}

TcsResult _tcsSubsystemWaitForResponse(CoreSubsystem* stack, PalEvent* event, uint32_t timeoutMs) {
    uint32_t start = palGetTickCount();
    for (;;) {
        TcsResult result = palEventWaitFor(event, kWaitPollMs);
        if (result != TCS_RESULT_TIMEOUT) return result;
        if (palGetTickCount() - start >= timeoutMs) return TCS_RESULT_TIMEOUT;
        if (stack != nullptr && !hasServiceThread(stack)) tcsService(stack, kPassBudgetMs, nullptr);
    }
}

TcsResult _tcsCompleteWorkItem(WorkList* list, uint32_t type) {
    if (list == nullptr) return TCS_RESULT_BAD_PARAM;
    TcsResult locked = palCriticalSectionAcquire(list->listLock);
    if (locked != TCS_RESULT_OK) return locked;
    for (PalListEntry* e = list->links.next; e != &list->links; e = e->next) {
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(e);
        if (item->type == type) {
            *tcsItemState(item) = TCS_ITEM_DONE;
            break;
        }
    }
    palCriticalSectionRelease(list->listLock);
    return TCS_RESULT_OK;
}

TcsResult _tcsCancelOperation(uint32_t target, ClientRecord* client, uint32_t type) {
    TcsResult result = tcsClientValidate(client);
    if (result != TCS_RESULT_OK) return result;
    if (target == 1) return dssCancelRequest(client->stack->database, type);
    if (target == 2) return _tcsCompleteWorkItem(&client->stack->workList, type);
    return TCS_RESULT_OK;
}

TcsResult tcsCancelOperation(uint32_t target, TcsHandle handle, uint32_t type) {
    void* client = nullptr;
    tcsSafeClientHandleFetch(handle, &client);
    return _tcsCancelOperation(target & 0xFFFF, static_cast<ClientRecord*>(client), type);
}

TcsResult _tcsQueueCoreItem(CoreSubsystem* stack, uint32_t type, uint32_t timeoutMs, void* object,
                            CompletionCallback callback, void* context) {
    if (stack == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    return palWorkItemEnqueue(&stack->workList, type, timeoutMs, object, uint64_t(uintptr_t(callback)),
                              uint64_t(uintptr_t(context)), 1, nullptr);
}

TcsResult _tcsGenericCB(void* handle, TcsResult status, void* context) {
    auto* record = static_cast<SyncWaitRecord*>(context);
    if (record == nullptr) return TCS_RESULT_OK;
    // Exactly one side frees the record: whichever exchange comes second sees the other's mark.
    uint32_t previous = __atomic_exchange_n(&record->status, status, __ATOMIC_ACQ_REL);
    if (previous == TCS_RESULT_TIMEOUT) {
        palEventFree(record->event);
        palRealFree(record);
        return TCS_RESULT_INVALID;
    }
    if (status == TCS_RESULT_OK && record->out != nullptr) {
        *static_cast<TcsHandle*>(record->out) = TcsHandle(uintptr_t(handle));
    }
    palEventSet(record->event);
    return TCS_RESULT_OK;
}

TcsResult _tcsSyncCall(CoreSubsystem* stack, uint32_t timeoutMs, TcsResult noMemory, void* out, TcsSyncStart start,
                       void* argument) {
    auto* record = static_cast<SyncWaitRecord*>(palRealMalloc(sizeof(SyncWaitRecord)));
    if (record == nullptr) return noMemory;
    std::memset(record, 0, sizeof(*record));
    record->status = TCS_SYNC_PENDING;
    record->out = out;
    record->event = palEventAlloc(0, 0, nullptr);
    if (record->event == nullptr) {
        palRealFree(record);
        return TCS_RESULT_EVENT_CREATION_FAILED;
    }
    TcsResult result = start(_tcsGenericCB, record, argument);
    if (result == TCS_RESULT_OK) {
        result = _tcsSubsystemWaitForResponse(stack, record->event, timeoutMs);
        if (result == TCS_RESULT_OK) {
            result = __atomic_load_n(&record->status, __ATOMIC_ACQUIRE);
        } else {
            // Giving up: the record passes to the late completion unless it has already claimed it,
            // in which case its signal is moments away and the record stays ours. Earlier releases
            // freed the event here while the late callback freed record and event again.
            uint32_t previous = __atomic_exchange_n(&record->status, TCS_RESULT_TIMEOUT, __ATOMIC_ACQ_REL);
            if (previous == TCS_SYNC_PENDING) return result;
            palEventWaitFor(record->event, PAL_INFINITE);
            result = previous;
        }
    }
    palEventFree(record->event);
    palRealFree(record);
    return result;
}

TcsResult tcsPrepareForSuspendAsync(CoreSubsystem* stack, CompletionCallback callback, void* context) {
    if (stack == nullptr) return TCS_RESULT_NULL_STACK_SUSPEND;
    if (callback == nullptr) return TCS_RESULT_NULL_POINTER;
    return _tcsQueueCoreItem(stack, TCS_ITEM_PREPARE_SUSPEND, kSyncItemTimeoutMs, stack, callback, context);
}

TcsResult tcsPrepareForResumeAsync(CoreSubsystem* stack, CompletionCallback callback, void* context) {
    if (stack == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (callback == nullptr) return TCS_RESULT_NULL_POINTER;
    return _tcsQueueCoreItem(stack, TCS_ITEM_PREPARE_RESUME, kSyncItemTimeoutMs, stack, callback, context);
}

TcsResult tcsPrepareForSuspend(CoreSubsystem* stack) {
    if (stack == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    scsChangeStateToSuspend(stack->sensorControl);
    TcsResult result = _tcsSyncCall(stack, kSyncItemTimeoutMs, TCS_RESULT_INVALID, nullptr, startSuspend, stack);
    if (result == TCS_RESULT_TIMEOUT) {
        // Image acquisition's abort item (5) has no list the core can reach yet: it ends by its own time-out.
        _tcsCompleteWorkItem(&stack->sensorControl->workList, scsWitIdSystemPrepareForSuspend);
        _tcsCompleteWorkItem(&stack->workList, TCS_ITEM_PREPARE_SUSPEND);
    }
    return result;
}

TcsResult tcsPrepareForResume(CoreSubsystem* stack) {
    if (stack == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    TcsResult result = _tcsSyncCall(stack, kSyncItemTimeoutMs, TCS_RESULT_INVALID, nullptr, startResume, stack);
    if (result == TCS_RESULT_TIMEOUT) _tcsCompleteWorkItem(&stack->workList, TCS_ITEM_PREPARE_RESUME);
    return result;
}

}  // extern "C"
