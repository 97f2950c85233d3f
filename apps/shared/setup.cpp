// Client set-up and tear-down: the transport exists while the process has at least one client.

#include "apps/shared/client.h"
#include "apps/shared/detail/callbacks.h"
#include "apps/shared/detail/client_nodes.h"
#include "apps/shared/detail/waits.h"

#include "platform/detail/ipc_keys.h"
#include "platform/memory.h"
#include "platform/subsystem.h"
#include "tcs/core.h"
#include "tcs/handle_map.h"
#include "tcs/matching/templates.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>
#include <vector>

using tov::client::detail::ClientNode;
using tov::client::detail::QueuedEvent;

namespace {

constexpr uint32_t kChannelTries = 100;
constexpr uint32_t kThreadEndMs = 4000;
constexpr const char* kStateSegmentName = "FPServiceInfoFileMapping";

std::mutex gMutexCreation;

// The request channel and the state word belong to the service and every other client process.
// The platform's free operations remove a named object for everyone, so a process only detaches
// from them; their handles are kept here (a few bytes and a key-file descriptor per set-up) until
// the platform offers a close that leaves the object in place.
std::mutex gRetiredLock;
std::vector<void*>& retired() {
    static auto* handles = new std::vector<void*>;
    return *handles;
}

void retire(void* handle) {
    if (handle == nullptr) return;
    std::lock_guard<std::mutex> hold(gRetiredLock);
    retired().push_back(handle);
}

void detachChannel(ChannelRecord* channel) {
    if (channel->mapping != nullptr) palSharedMemoryPointerRelease(channel->mapping);
    retire(channel->segment);
    retire(channel->semaphore);
    retire(channel->event);
    if (channel->pipe != nullptr) palPipeClose(channel->pipe);
    std::memset(channel, 0, sizeof(*channel));
}

void zeroAllButMutex(FPClientSystem* system) {
    PalMutexHandle mutex = system->mutex;
    std::memset(static_cast<void*>(system), 0, sizeof(*system));
    system->mutex = mutex;
}

TcsResult attachStateSegment(FPClientSystem* system) {
    if (!pal::detail::keyFileTrusted(pal::detail::ipcKeyPrefix() + kStateSegmentName)) {
        return TOV_RESULT_CHANNEL_SEGMENT_MISSING;
    }
    system->stateSegment = palSharedMemoryOpen(kStateSegmentName, 4);
    if (system->stateSegment == nullptr) return TOV_RESULT_CHANNEL_SEGMENT_MISSING;
    system->state = static_cast<volatile uint32_t*>(palSharedMemoryPointerGet(system->stateSegment));
    if (system->state == nullptr) return TOV_RESULT_CHANNEL_SEGMENT_NOT_MAPPED;
    return TCS_RESULT_OK;
}

void endThread(PalThreadHandle* thread) {
    if (*thread == 0) return;
    if (palThreadWaitFor(*thread, kThreadEndMs) != TCS_RESULT_OK) palThreadKill(*thread);
    palThreadFree(*thread);
    *thread = 0;
}

void freeClientNode(ClientNode* node) {
    if (node->matchersLock != nullptr) palCriticalSectionFree(node->matchersLock);
    palRealFree(node);
}

}  // namespace

extern "C" {

TcsResult tcsFPClientInitGlobalObjects(FPClientSystem* system) {
    if (system == nullptr) return TCS_RESULT_NULL_POINTER;
    if (system->clientCount > 0) return TCS_RESULT_OK;
    zeroAllButMutex(system);
    palListInit(&system->detectData);
    palListInit(&system->eventQueue);
    palListInit(&system->clients);

    TcsResult result = tcsSafeHandlesInitialize();
    if (result == TCS_RESULT_OK) {
        _tcsImageRegisterCleanup();
        _tcsTemplateRegisterCleanups();
        PlatformContext* platform = nullptr;
        result = palSubsystemStartup(&platform, 0);
        system->platform = platform;
    }
    if (result == TCS_RESULT_OK) {
        system->serviceReady = palEventAlloc(0, 0, nullptr);
        if (system->serviceReady == nullptr) result = TCS_RESULT_EVENT_CREATION_FAILED;
    }
    if (result == TCS_RESULT_OK) result = ChannelOpen(&system->request, "CH_REQUEST", tov::client::detail::requestTries());
    if (result == TCS_RESULT_OK) result = attachStateSegment(system);

    char outputName[32], eventName[32];
    std::snprintf(outputName, sizeof(outputName), "CH_OUTPUT%u", palCurrentProcessId());
    std::snprintf(eventName, sizeof(eventName), "CH_EVENT%u", palCurrentProcessId());
    if (result == TCS_RESULT_OK) {
        char directory[64];
        tovClientPipeDirectory(directory, sizeof(directory));
        int length = std::snprintf(system->output.path, sizeof(system->output.path), "%s%s", directory, outputName);
        if (length <= 0 || length > TOV_CHANNEL_PATH_MAX) result = TCS_RESULT_BAD_PARAM;
    }
    if (result == TCS_RESULT_OK) {
        // The service learns the process id from hello and makes this process's two channels.
        uint32_t reply = 0;
        result = tcsFPClientTransferCallInternal(system, TOV_FN_HELLO, nullptr, 0, &reply, sizeof(reply), 0, 1);
    }
    if (result == TCS_RESULT_OK) result = ChannelOpen(&system->output, outputName, kChannelTries);
    if (result == TCS_RESULT_OK) {
        system->event.preparePipe = 1;
        result = ChannelOpen(&system->event, eventName, kChannelTries);
    }
    if (result == TCS_RESULT_OK) {
        system->handlerWake = palEventAlloc(0, 0, nullptr);
        if (system->handlerWake == nullptr) result = TCS_RESULT_EVENT_CREATION_FAILED;
    }
    // The queue and its lock exist before the listener that fills them starts.
    if (result == TCS_RESULT_OK) result = palCriticalSectionInitialize(&system->eventQueueLock);
    if (result == TCS_RESULT_OK && system->eventQueueLock == nullptr) result = TCS_RESULT_MUTEX_CREATION_FAILED;
    uint32_t threadId = 0;
    if (result == TCS_RESULT_OK) {
        result = palThreadBegin(nullptr, tcsEventChannelListener, system, 0, &system->listener, &threadId);
    }
    if (result == TCS_RESULT_OK) {
        result = palThreadBegin(nullptr, tcsEventsHandler, system, 0, &system->handler, &threadId);
    }
    if (result == TCS_RESULT_OK) result = palCriticalSectionInitialize(&system->clientsLock);
    if (result == TCS_RESULT_OK && system->clientsLock == nullptr) result = TCS_RESULT_MUTEX_CREATION_FAILED;
    if (result != TCS_RESULT_OK) {
        tcsFPClientUnInitGlobalObjects(system);
        return result;
    }

    struct {
        uint32_t result;
        uint32_t suspended;
    } state{};
    tovFlagSet(&system->suspended, 1);
    if (tcsFPClientTransferCallInternal(system, TOV_FN_SUSPENDED_STATE, nullptr, 0, &state, sizeof(state), 0, 1) ==
            TCS_RESULT_OK &&
        state.result == TCS_RESULT_OK) {
        tovFlagSet(&system->suspended, state.suspended);
    }
    return TCS_RESULT_OK;
}

TcsResult tcsFPClientUnInitGlobalObjects(FPClientSystem* system) {
    if (system == nullptr) return TCS_RESULT_NULL_POINTER;
    if (system->listener != 0) {
        uint32_t reply = 0;
        TcsResult said = tcsFPClientTransferCallInternal(system, TOV_FN_GOODBYE, nullptr, 0, &reply, sizeof(reply), 0, 1);
        // The service ends the listener with event 31 in answer to goodbye; one that did not hear
        // goodbye never will, so the listener is told directly rather than killed 4 s later.
        if (said != TCS_RESULT_OK) tovFlagSet(&system->listenerStop, 1);
    }
    endThread(&system->listener);
    if (system->handler != 0) {
        tovFlagSet(&system->handlerStop, 1);
        palEventSet(system->handlerWake);
        endThread(&system->handler);
    }
    if (system->handlerWake != nullptr) palEventFree(system->handlerWake);
    if (system->serviceReady != nullptr) palEventFree(system->serviceReady);
    if (system->eventQueue.next != nullptr) {
        while (!palListIsEmpty(&system->eventQueue)) {
            PalListEntry* entry = system->eventQueue.next;
            palListRemove(entry);
            auto* node = PAL_LIST_RECORD(entry, QueuedEvent, link);
            palRealFree(node->payload);
            palRealFree(node);
        }
    }
    if (system->eventQueueLock != nullptr) palCriticalSectionFree(system->eventQueueLock);
    if (system->detectData.next != nullptr) tcsFPClientUnInitDetectDataList(system);
    tov::client::detail::callbackForgetAll();
    detachChannel(&system->request);
    ChannelDestroy(&system->output);
    ChannelDestroy(&system->event);
    if (system->clients.next != nullptr) {
        while (!palListIsEmpty(&system->clients)) {
            PalListEntry* entry = system->clients.next;
            palListRemove(entry);
            freeClientNode(PAL_LIST_RECORD(entry, ClientNode, link));
        }
    }
    if (system->clientsLock != nullptr) palCriticalSectionFree(system->clientsLock);
    if (system->state != nullptr) palSharedMemoryPointerRelease(const_cast<uint32_t*>(system->state));
    retire(system->stateSegment);
    if (system->platform != nullptr) palSubsystemShutdown(static_cast<PlatformContext*>(system->platform));
    zeroAllButMutex(system);
    return tcsSafeHandlesUnInitialize();
}

TcsResult tcsClientCreate(TcsHandle* outClient) {
    if (outClient == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    FPClientSystem* system = &gClientSystem;
    {
        std::lock_guard<std::mutex> hold(gMutexCreation);
        if (system->mutex == nullptr) system->mutex = palMutexAlloc(nullptr, 0);
        if (system->mutex == nullptr) return TCS_RESULT_MUTEX_CREATION_FAILED;
    }
    TcsResult held = palMutexAcquire(system->mutex, tov::client::detail::mutexWaitMs());
    if (held != TCS_RESULT_OK) return held;
    if (system->clientCount == 0) {
        TcsResult result = tcsFPClientInitGlobalObjects(system);
        if (result != TCS_RESULT_OK) {
            palMutexRelease(system->mutex);
            return result;
        }
    }
    system->clientCount += 1;

    struct {
        uint32_t result;
        uint32_t pad;
        uint64_t client;
    } reply{};
    static_assert(sizeof(reply) == 16);
    TcsResult result = tcsFPClientTransferCall(system, TOV_FN_CLIENT_CREATE, nullptr, 0, &reply, sizeof(reply), 0, 1);
    if (result == TCS_RESULT_OK) result = reply.result;
    if (result != TCS_RESULT_OK) {
        *outClient = 0;
        palMutexRelease(system->mutex);
        return result;
    }
    auto* node = static_cast<ClientNode*>(palRealMalloc(sizeof(ClientNode)));
    if (node == nullptr) {
        palMutexRelease(system->mutex);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    std::memset(node, 0, sizeof(*node));
    node->client = reply.client;
    palListInit(&node->matchers);
    palCriticalSectionInitialize(&node->matchersLock);
    palCriticalSectionAcquire(system->clientsLock);
    palListInsertTail(&system->clients, &node->link);
    palCriticalSectionRelease(system->clientsLock);
    *outClient = reply.client;
    palMutexRelease(system->mutex);
    return TCS_RESULT_OK;
}

TcsResult tcsClientDestroy(TcsHandle client) {
    FPClientSystem* system = &gClientSystem;
    if (client == 0 || system->mutex == nullptr) return TCS_RESULT_OK;
    if (palMutexAcquire(system->mutex, tov::client::detail::mutexWaitMs()) != TCS_RESULT_OK) return TCS_RESULT_OK;
    // A process whose clients are all gone has no transport to send on.
    if (system->clientCount == 0) {
        palMutexRelease(system->mutex);
        return TCS_RESULT_OK;
    }
    uint64_t request = client;
    uint32_t reply = 0;
    TcsResult result =
        tcsFPClientTransferCall(system, TOV_FN_CLIENT_DESTROY, &request, sizeof(request), &reply, sizeof(reply), 0, 1);
    if (result == TCS_RESULT_OK) result = reply;
    if (result == TCS_RESULT_OK) {
        palCriticalSectionAcquire(system->clientsLock);
        PalListEntry* entry = system->clients.next;
        while (entry != &system->clients) {
            PalListEntry* next = entry->next;
            auto* node = PAL_LIST_RECORD(entry, ClientNode, link);
            if (node->client == client) {
                palListRemove(entry);
                freeClientNode(node);
            }
            entry = next;
        }
        palCriticalSectionRelease(system->clientsLock);
    }
    system->clientCount -= 1;
    if (system->clientCount == 0) tcsFPClientUnInitGlobalObjects(system);
    palMutexRelease(system->mutex);
    return result;
}

}  // extern "C"
