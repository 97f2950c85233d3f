// Stack start-up and shut-down: subsystems in their fixed order, the shared wake event, the service thread.
#include "tcs/core.h"

#include "platform/clock.h"
#include "platform/memory.h"
#include "tcs/handle_map.h"

#include <cstring>

namespace {

constexpr uint32_t kMaxOptionId = 5;
constexpr uint32_t kThreadStopMs = 25000;
constexpr uint32_t kStopPollMs = 10;
constexpr uint32_t kLeftoverWorkMs = 10000;
constexpr uint32_t kLeftoverPassMs = 100;

// What a failed start has brought up so far, released in the order a failed start requires.
struct Started {
    bool handleMap = false;
    PalEvent* wake = nullptr;
    ScsSubsystem* sensorControl = nullptr;
    IdsSubsystem* imaging = nullptr;
    MssSubsystem* matching = nullptr;
    DssSubsystem* database = nullptr;
    bool sensorControlUp = false, imagingUp = false, matchingUp = false, databaseUp = false;

    void unwind() {
        if (handleMap) tcsSafeHandlesUnInitialize();
        if (imagingUp) idsSubsystemShutdown(imaging);
        if (sensorControlUp) scsSubsystemShutdown(sensorControl);
        if (matchingUp) mssSubsystemShutdown(matching);
        if (databaseUp) dssSubsystemShutdown(database);
        if (wake != nullptr) palEventFree(wake);
    }
};

TcsResult readOptions(const StartupOption* options, StartupOptionBlock* block) {
    std::memset(block, 0, sizeof(*block));
    for (const StartupOption* option = options; option->id != 0; ++option) {
        if (option->id > kMaxOptionId) return TCS_RESULT_BAD_PARAM;
        switch (option->id) {
            case 1: block->swipeSpeed = *static_cast<const uint32_t*>(option->value); break;
            case 2: block->socClock = *static_cast<const uint32_t*>(option->value); break;
            case 3: block->flexId = *static_cast<const uint32_t*>(option->value); break;
            case 4: block->signDataCallback = option->value; break;
            case 5: block->getSensorPublicKeyCallback = option->value; break;
        }
    }
    return TCS_RESULT_OK;
}

TcsResult makeRecord(CoreSubsystem** outStack, const Started& started, uint32_t flags) {
    auto* stack = static_cast<CoreSubsystem*>(palRealMalloc(sizeof(CoreSubsystem)));
    if (stack == nullptr) return TCS_RESULT_INVALID;
    std::memset(stack, 0, sizeof(*stack));
    TcsResult result = palWorkListInitialize(&stack->workList, started.wake);
    if (result != TCS_RESULT_OK) {
        palRealFree(stack);
        return result;
    }
    palListInit(&stack->clients);
    palCriticalSectionInitialize(&stack->clientLock);
    if (stack->clientLock == nullptr) {
        palWorkListUninitialize(&stack->workList);
        palRealFree(stack);
        return TCS_RESULT_MUTEX_CREATION_FAILED;
    }
    stack->flags = flags;
    stack->sensorControl = started.sensorControl;
    stack->imaging = started.imaging;
    stack->matching = started.matching;
    stack->database = started.database;
    *outStack = stack;
    return TCS_RESULT_OK;
}

TcsResult startServiceThread(CoreSubsystem* stack) {
    stack->exitEvent = palEventAlloc(0, 0, nullptr);
    if (stack->exitEvent == nullptr) return TCS_RESULT_EVENT_CREATION_FAILED;
    PalThreadHandle thread = 0;
    uint32_t threadId = 0;
    TcsResult result = palThreadBegin(nullptr, tcsServiceThread, stack, 0, &thread, &threadId);
    if (result != TCS_RESULT_OK) return result;
    // The thread also records itself on entry: its first pass may run before this store.
    __atomic_store_n(&stack->thread, thread, __ATOMIC_RELEASE);
    stack->threadId = threadId;
    return scsSubsystemSetTCSThreadHandle(stack->sensorControl, thread, threadId);
}

// Stops the service thread and waits for it to end. False when it did not end in time: whatever
// it may still touch must then stay allocated.
bool stopServiceThread(CoreSubsystem* stack, TcsResult& result) {
    PalThreadHandle thread = __atomic_load_n(&stack->thread, __ATOMIC_ACQUIRE);
    if (thread == 0) return true;
    __atomic_store_n(&stack->stop, 1u, __ATOMIC_RELEASE);
    if (palEventSet(stack->workList.wakeEvent) != TCS_RESULT_OK && result == TCS_RESULT_OK) {
        result = TCS_RESULT_SHUTDOWN_FAILED;
    }
    // Waited for in short slices against the tick count, so the clock seam can run the time out.
    uint32_t start = palGetTickCount();
    while (palEventWaitFor(stack->exitEvent, kStopPollMs) != TCS_RESULT_OK) {
        if (palGetTickCount() - start >= kThreadStopMs) {
            // Earlier releases went on to free the stack under a thread that might still run in
            // it: the stack is left allocated instead, and a later shut-down can finish the job.
            result = TCS_RESULT_SHUTDOWN_FAILED;
            return false;
        }
    }
    // The exit event is the thread's last act before it returns; join it so nothing it uses is
    // freed under it.
    if (palThreadWaitFor(thread, kThreadStopMs) != TCS_RESULT_OK) {
        result = TCS_RESULT_SHUTDOWN_FAILED;
        return false;
    }
    palThreadFree(thread);
    stack->thread = 0;
    return true;
}

// Whether a client destroy is still on the core's list with its client not yet freed, and one that
// can run without the database, which has stopped by now: its client holds no database.
bool clientDestroysLeft(CoreSubsystem* stack) {
    bool left = false;
    if (palCriticalSectionAcquire(stack->workList.listLock) != TCS_RESULT_OK) return false;
    for (PalListEntry* e = stack->workList.links.next; e != &stack->workList.links && !left; e = e->next) {
        const WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(e);
        auto* client = static_cast<ClientRecord*>(item->object);
        if (item->type != TCS_ITEM_CLIENT_DESTROY || client == nullptr) continue;
        if (palCriticalSectionAcquire(client->databaseLock) != TCS_RESULT_OK) continue;
        left = palListIsEmpty(&client->databases);
        palCriticalSectionRelease(client->databaseLock);
    }
    palCriticalSectionRelease(stack->workList.listLock);
    return left;
}

// A destroy that timed out while the service thread was busy (with a sensor that stopped answering)
// stays queued. Once the thread has ended, this thread serves the stack and runs such destroys,
// for a bounded time: left on the list they went unrun, with their clients and their callers' wait
// records. One whose client still holds a database stays unrun, as before: its closes would go to
// the stopped database.
void runLeftoverClientDestroys(CoreSubsystem* stack) {
    if (!clientDestroysLeft(stack)) return;
    const PalThreadHandle self = palCurrentThreadId();
    __atomic_store_n(&stack->thread, self, __ATOMIC_RELEASE);
    scsSubsystemSetTCSThreadHandle(stack->sensorControl, self, uint32_t(self));
    const uint32_t start = palGetTickCount();
    while (clientDestroysLeft(stack) && palGetTickCount() - start < kLeftoverWorkMs) {
        uint32_t wait = 0;
        tcsService(stack, kLeftoverPassMs, &wait);
        palEventWaitFor(stack->workList.wakeEvent, 1);
    }
    __atomic_store_n(&stack->thread, PalThreadHandle(0), __ATOMIC_RELEASE);
}

void destroyClients(CoreSubsystem* stack, TcsResult& result) {
    // The client-list lock is held only to pick the next client, never across its destroy: the
    // destroy queues a core item under the work-list lock, which the service thread holds while a
    // suspend step takes the client-list lock.
    for (;;) {
        TcsResult locked = palCriticalSectionAcquire(stack->clientLock);
        if (locked != TCS_RESULT_OK) {
            result = locked;
            return;
        }
        PalListEntry* first = palListIsEmpty(&stack->clients) ? nullptr : stack->clients.next;
        palCriticalSectionRelease(stack->clientLock);
        if (first == nullptr) return;
        _tcsClientDestroy(PAL_LIST_RECORD(first, ClientRecord, links));
        // A destroy that could not even start leaves the client linked: take it off so the walk ends.
        if (palCriticalSectionAcquire(stack->clientLock) == TCS_RESULT_OK) {
            if (stack->clients.next == first) palListRemove(first);
            palCriticalSectionRelease(stack->clientLock);
        }
    }
}

void dropIdentifyContextExpiry(CoreSubsystem* stack) {
    WorkItem* item = palWorkItemGet(&stack->workList, 1, TCS_ITEM_IDENTIFY_CONTEXT_EXPIRY);
    if (item == nullptr) return;
    palRealFree(item->object);
    palWorkItemDestroy(item);
}

}  // namespace

extern "C" {

TcsResult tcsStartupEx(CoreSubsystem** outStack, uint32_t flags, const StartupOption* options) {
    if (outStack == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outStack = nullptr;
    Started started;
    TcsResult result = tcsSafeHandlesInitialize();
    if (result != TCS_RESULT_OK) return result;
    started.handleMap = true;
    // Created signalled so that the first service pass runs at once.
    started.wake = palEventAlloc(0, 1, nullptr);
    if (started.wake == nullptr) {
        started.unwind();
        return TCS_RESULT_EVENT_CREATION_FAILED;
    }
    StartupOptionBlock block;
    if (options != nullptr && (result = readOptions(options, &block)) != TCS_RESULT_OK) {
        started.unwind();
        return result;
    }
    result = scsSubsystemStartup(&started.sensorControl, started.wake, flags, options != nullptr ? &block : nullptr);
    started.sensorControlUp = result == TCS_RESULT_OK;
    if (result == TCS_RESULT_OK) {
        result = idsSubsystemStartup(&started.imaging, started.wake, started.sensorControl);
        started.imagingUp = result == TCS_RESULT_OK;
    }
    if (result == TCS_RESULT_OK) {
        result = mssSubsystemStartup(&started.matching, started.wake);
        started.matchingUp = result == TCS_RESULT_OK;
    }
    if (result == TCS_RESULT_OK) {
        result = dssSubsystemStartup(&started.database, started.wake);
        started.databaseUp = result == TCS_RESULT_OK;
    }
    CoreSubsystem* stack = nullptr;
    if (result == TCS_RESULT_OK) result = makeRecord(&stack, started, flags);
    if (result != TCS_RESULT_OK) {
        started.unwind();
        return result;
    }
    _tcsImageRegisterCleanup();
    _tcsClientRegisterOwnerDestroy();
    _tcsSensorRegisterOwnerDestroy();
    if ((flags & TCS_START_NO_SERVICE_THREAD) == 0) result = startServiceThread(stack);
    if (result == TCS_RESULT_OK) result = dssSubsystemPostStartup(stack, stack->database);
    if (result != TCS_RESULT_OK) {
        tcsShutdown(stack);
        return result;
    }
    *outStack = stack;
    return TCS_RESULT_OK;
}

TcsResult tcsStartup(CoreSubsystem** outStack, uint32_t flags, const uint32_t* values) {
    if (outStack == nullptr) return TCS_RESULT_NULL_POINTER;
    if (values == nullptr) return tcsStartupEx(outStack, flags, nullptr);
    auto* options = static_cast<StartupOption*>(palRealMalloc(4 * sizeof(StartupOption)));
    if (options == nullptr) return TCS_RESULT_INVALID;
    for (uint32_t i = 0; i < 3; ++i) {
        options[i].id = i + 1;
        options[i].value = const_cast<uint32_t*>(values + i);
    }
    options[3] = StartupOption{0, nullptr};
    TcsResult result = tcsStartupEx(outStack, flags, options);
    palRealFree(options);
    return result;
}

TcsResult tcsShutdown(CoreSubsystem* stack) {
    if (stack == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    TcsResult result = TCS_RESULT_OK;
    auto failed = [&result](TcsResult step) {
        if (step != TCS_RESULT_OK && result == TCS_RESULT_OK) result = TCS_RESULT_SHUTDOWN_FAILED;
    };
    destroyClients(stack, result);
    dropIdentifyContextExpiry(stack);
    failed(dssSubsystemShutdown(stack->database));
    stack->database = nullptr;
    if (!stopServiceThread(stack, result)) return TCS_RESULT_SHUTDOWN_FAILED;
    runLeftoverClientDestroys(stack);
    failed(idsSubsystemShutdown(stack->imaging));
    stack->imaging = nullptr;
    failed(scsSubsystemShutdown(stack->sensorControl));
    stack->sensorControl = nullptr;
    failed(mssSubsystemShutdown(stack->matching));
    stack->matching = nullptr;
    failed(tcsSubsystemFree(stack));
    failed(tcsSafeHandlesUnInitialize());
    return result;
}

TcsResult tcsSubsystemFree(CoreSubsystem* stack) {
    if (stack == nullptr) return TCS_RESULT_INVALID_HANDLE;
    // Items nobody will run any more (cancelled or unhandled kinds) go with the list.
    while (!palListIsEmpty(&stack->workList.links)) {
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(stack->workList.links.next);
        palListRemove(&item->links);
        palWorkItemDestroy(item);
    }
    if (stack->exitEvent != nullptr) palEventFree(stack->exitEvent);
    if (stack->workList.wakeEvent != nullptr) palEventFree(stack->workList.wakeEvent);
    palWorkListUninitialize(&stack->workList);
    if (stack->clientLock != nullptr) palCriticalSectionFree(stack->clientLock);
    palRealFree(stack);
    return TCS_RESULT_OK;
}

TcsResult tcsSubsystemDumpState(CoreSubsystem* stack) {
    if (stack == nullptr) return TCS_RESULT_INVALID;
    if (palCriticalSectionAcquire(stack->workList.listLock) == TCS_RESULT_OK) {
        palCriticalSectionRelease(stack->workList.listLock);
    }
    if (palCriticalSectionAcquire(stack->clientLock) == TCS_RESULT_OK) {
        for (PalListEntry* e = stack->clients.next; e != &stack->clients; e = e->next) {
            ClientRecord* client = PAL_LIST_RECORD(e, ClientRecord, links);
            if (palCriticalSectionAcquire(client->sensorLock) == TCS_RESULT_OK) {
                palCriticalSectionRelease(client->sensorLock);
            }
        }
        palCriticalSectionRelease(stack->clientLock);
    }
    return TCS_RESULT_OK;
}

TcsResult tcsDiscoverRemoteSensors(void* argument) {
    if (argument == nullptr) return TCS_RESULT_NULL_POINTER;
    return scsRemoteSubsystemStartup();
}

TcsResult tcsGetDbgFlags(uint32_t* flags) {
    if (flags == nullptr) return TCS_RESULT_BAD_PARAM;
    *flags = 0;
    return TCS_RESULT_OK;
}

TcsResult tcsGetDbgSystems(uint32_t* systems) {
    if (systems == nullptr) return TCS_RESULT_BAD_PARAM;
    *systems = 0;
    return TCS_RESULT_OK;
}

TcsResult tcsSetDbgFlags(uint32_t) { return TCS_RESULT_OK; }
TcsResult tcsSetDbgSystems(uint32_t) { return TCS_RESULT_OK; }

TcsResult tcsSensorConfigureGPIOIn(TcsHandle, uint32_t) { return TCS_RESULT_NOT_SUPPORTED; }
TcsResult tcsSensorConfigureGPIOOut(TcsHandle, uint32_t) { return TCS_RESULT_NOT_SUPPORTED; }
TcsResult tcsSensorSetGPIOOut(TcsHandle, uint32_t, uint32_t) { return TCS_RESULT_NOT_SUPPORTED; }
TcsResult tcsSensorGetGPIOIn(TcsHandle, uint32_t, uint32_t*) { return TCS_RESULT_NOT_SUPPORTED; }
TcsResult tcsSensorGetPowerPolicies(TcsHandle, void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult tcsSensorSetPowerPolicies(TcsHandle, const void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult tcsSensorSetPowerPolicy(TcsHandle, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult tcsSensorEnablePowerPolicy(TcsHandle, uint32_t, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult tcsSensorIsPowerPolicyEnabled(TcsHandle, uint32_t, uint32_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult tcsSensorSetPowerState(TcsHandle, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
TcsResult tcsSensorSimulatePnPAction(TcsHandle, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }

}  // extern "C"
