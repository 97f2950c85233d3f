// Transfer call: one request to the service and its reply, serialised process-wide by one mutex.

#include "apps/shared/client.h"
#include "apps/shared/client_test_seams.h"
#include "apps/shared/detail/waits.h"

#include "platform/clock.h"
#include "platform/memory.h"

#include <atomic>
#include <cstring>

FPClientSystem gClientSystem;

namespace {

constexpr uint32_t kRequestHeaderSize = 64;
constexpr uint32_t kReplyHeaderSize = 16;
constexpr uint32_t kSuspendedSleepMs = 100;
// How often a call waiting for its reply looks whether the service has stopped.
constexpr uint32_t kReplySliceMs = 200;
constexpr uint32_t kDrainChunk = 4096;

std::atomic<uint32_t> gMutexWaitMs{TOV_MUTEX_WAIT_MS};
std::atomic<uint32_t> gRequestTries{1000};

struct ReplyHeader {
    uint32_t unused;
    uint32_t thread;
    uint8_t function;
    uint8_t pad[3];
    uint32_t length;
};
static_assert(sizeof(ReplyHeader) == kReplyHeaderSize);

uint32_t currentThread32() { return uint32_t(palCurrentThreadId()); }

bool serviceStopped(const FPClientSystem* system) {
    return system->state != nullptr && *system->state == TOV_SERVICE_STATE_STOPPED;
}

void putU32(uint8_t* at, uint32_t value) { std::memcpy(at, &value, 4); }
uint32_t getU32(const uint8_t* at) {
    uint32_t value;
    std::memcpy(&value, at, 4);
    return value;
}

// A FIFO already open needs no looking up: the service may unlink its name (after goodbye) while
// both ends are still open.
bool pipeConnected(const ChannelRecord& channel) { return channel.pipe != nullptr && channel.pipe->descriptor >= 0; }

TcsResult readReply(FPClientSystem* system, void* buffer, uint32_t count) {
    TcsResult result = tov::client::pipeReadPolling(system->output.pipe, buffer, count, kReplySliceMs,
                                                    [system] { return serviceStopped(system); });
    if (result == TCS_RESULT_TIMEOUT) return TOV_RESULT_SERVICE_STOPPED;
    if (result != TCS_RESULT_OK) {
        // The service closed its end (it went away): the next call opens the FIFO afresh.
        palPipeDisconnect(system->output.pipe);
        return TCS_RESULT_SERVICE;
    }
    return TCS_RESULT_OK;
}

// Reads and drops a payload nobody takes, so the next header is read from where it starts.
TcsResult drainReply(FPClientSystem* system, uint32_t length) {
    uint8_t chunk[kDrainChunk];
    while (length > 0) {
        uint32_t step = length < kDrainChunk ? length : kDrainChunk;
        TcsResult result = readReply(system, chunk, step);
        if (result != TCS_RESULT_OK) return result;
        length -= step;
    }
    return TCS_RESULT_OK;
}

TcsResult sendRequest(FPClientSystem* system, uint8_t function, const void* request, uint32_t length) {
    auto* block = static_cast<uint8_t*>(palRealMalloc(kRequestHeaderSize + length));
    if (block == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(block, 0, kRequestHeaderSize);
    putU32(block, palCurrentProcessId());
    putU32(block + 4, currentThread32());
    block[8] = function;
    std::memcpy(block + 9, system->reserved, sizeof(system->reserved));
    putU32(block + 60, length);
    if (length != 0 && request != nullptr) std::memcpy(block + kRequestHeaderSize, request, length);
    else if (length != 0) std::memset(block + kRequestHeaderSize, 0, length);

    TcsResult result = palEventSet(system->request.event);
    if (result == TCS_RESULT_OK && !pipeConnected(system->request)) result = ChannelPipeOpen(&system->request, 1);
    if (result == TCS_RESULT_OK) {
        result = palPipeWrite(system->request.pipe, block, kRequestHeaderSize + length);
        // A failed write leaves the stream in an unknown place: reopen it for the next call.
        if (result != TCS_RESULT_OK) palPipeDisconnect(system->request.pipe);
    }
    palRealFree(block);
    return result;
}

}  // namespace

namespace tov::client::detail {

uint32_t mutexWaitMs() { return gMutexWaitMs.load(); }
uint32_t requestTries() { return gRequestTries.load(); }

}  // namespace tov::client::detail

extern "C" {

void tovClientTestSetWaits(uint32_t mutexMs, uint32_t requestTries) {
    gMutexWaitMs = mutexMs != 0 ? mutexMs : TOV_MUTEX_WAIT_MS;
    gRequestTries = requestTries != 0 ? requestTries : 1000;
}

bool tcsFPClientPassesWhileSuspended(uint8_t function) {
    switch (function) {
    case 1: case 2: case 3: case 4: case 7: case 8: case 9: case 10: case 11:
    case 15: case 50: case 51: case 52: case 54: case 55: case 97:
        return true;
    default:
        return false;
    }
}

TcsResult tcsFPClientTransferCallInternalEx(FPClientSystem* system, uint8_t function, const void* request,
                                            uint32_t requestLength, void** inOutReply, uint32_t* inOutReplyCapacity,
                                            uint32_t, uint32_t waitFlag) {
    if (system == nullptr) return TCS_RESULT_NULL_POINTER;
    if (function > TOV_TRANSFER_MAX_FUNCTION || requestLength > TOV_CHANNEL_PAYLOAD_MAX) return TCS_RESULT_BAD_PARAM;
    if (inOutReplyCapacity != nullptr && *inOutReplyCapacity > TOV_CHANNEL_PAYLOAD_MAX) return TCS_RESULT_BAD_PARAM;
    bool gated = !tcsFPClientPassesWhileSuspended(function);

    for (;;) {
        const bool waits = tovFlagGet(&system->waitWhileSuspended) != 0;
        if (!waits && tovFlagGet(&system->suspended) != 0 && gated) {
            palSleep(kSuspendedSleepMs);
            return TOV_RESULT_SERVICE_SUSPENDED;
        }
        if (waits && tovFlagGet(&system->suspended) != 0 && gated) {
            palEventWaitFor(system->serviceReady, PAL_INFINITE);
            tovFlagSet(&system->suspended, 0);
        }

        // Calls are serialised and each reads its whole reply, so bytes waiting now belong to no
        // call (what was left of a reply that was refused): they would be read as the next header.
        if (waitFlag != 0 && system->output.pipe != nullptr) tov::client::pipeDiscardPending(system->output.pipe);
        TcsResult sent = sendRequest(system, function, request, requestLength);
        if (sent != TCS_RESULT_OK) return sent;
        if (waitFlag == 0) return TCS_RESULT_OK;

        if (!pipeConnected(system->output)) {
            TcsResult opened = ChannelPipeOpen(&system->output, 0);
            if (opened != TCS_RESULT_OK) return opened;
        }
        uint32_t me = currentThread32();
        ReplyHeader header{};
        for (;;) {
            TcsResult got = readReply(system, &header, sizeof(header));
            if (got != TCS_RESULT_OK) return got;
            if (header.length > TOV_CHANNEL_PAYLOAD_MAX) {
                // Nothing after an impossible length can be trusted to start a header.
                tov::client::pipeDiscardPending(system->output.pipe);
                return TCS_RESULT_BAD_PARAM;
            }
            if (header.function == function && header.thread == me) break;
            // Another call's answer: its payload is dropped so the stream stays in step.
            got = drainReply(system, header.length);
            if (got != TCS_RESULT_OK) return got;
        }
        // Every reply starts with the service's result: a shorter one would read as success.
        if (header.length < 4) {
            drainReply(system, header.length);
            return TCS_RESULT_SERVICE;
        }
        bool allocate = inOutReply == nullptr || *inOutReply == nullptr;
        if (!allocate && (inOutReplyCapacity == nullptr || *inOutReplyCapacity < header.length)) {
            TcsResult drained = drainReply(system, header.length);
            return drained != TCS_RESULT_OK ? drained : TCS_RESULT_BAD_PARAM;
        }
        // Read aside first: a reply cut short leaves the caller's buffer as it was.
        auto* payload = static_cast<uint8_t*>(palRealMalloc(header.length));
        if (payload == nullptr) {
            drainReply(system, header.length);
            return TCS_RESULT_OUT_OF_MEMORY;
        }
        TcsResult got = readReply(system, payload, header.length);
        if (got != TCS_RESULT_OK) {
            palRealFree(payload);
            return got;
        }
        TcsResult serviceResult = getU32(payload);
        if (serviceResult == TOV_RESULT_SERVICE_SUSPENDED) {
            if (tovFlagGet(&system->waitWhileSuspended) != 0) {
                palRealFree(payload);
                tovFlagSet(&system->suspended, 1);
                // With the flag set the gate waits for the service and the request goes again.
                gated = true;
                continue;
            }
        } else if (function == TOV_FN_CLIENT_CALLBACK_ADD) {
            tovFlagSet(&system->suspended, 0);
        }
        if (allocate) {
            if (inOutReply != nullptr) *inOutReply = payload;
            else palRealFree(payload);
            if (inOutReplyCapacity != nullptr) *inOutReplyCapacity = header.length;
        } else {
            std::memcpy(*inOutReply, payload, header.length);
            palRealFree(payload);
        }
        if (serviceResult == TOV_RESULT_SERVICE_SUSPENDED) palSleep(kSuspendedSleepMs);
        return TCS_RESULT_OK;
    }
}

TcsResult tcsFPClientTransferCallInternal(FPClientSystem* system, uint8_t function, const void* request,
                                          uint32_t requestLength, void* reply, uint32_t replyCapacity,
                                          uint32_t timeoutMs, uint32_t waitFlag) {
    void* buffer = reply;
    uint32_t capacity = replyCapacity;
    // A fixed-buffer call without a buffer still reads its reply, into a scratch copy.
    if (buffer == nullptr) {
        TcsResult result = tcsFPClientTransferCallInternalEx(system, function, request, requestLength, &buffer,
                                                             &capacity, timeoutMs, waitFlag);
        palRealFree(buffer);
        return result;
    }
    return tcsFPClientTransferCallInternalEx(system, function, request, requestLength, &buffer, &capacity,
                                             timeoutMs, waitFlag);
}

TcsResult tcsFPClientTransferCallEx(FPClientSystem* system, uint8_t function, const void* request,
                                    uint32_t requestLength, void** inOutReply, uint32_t* inOutReplyCapacity,
                                    uint32_t timeoutMs, uint32_t waitFlag) {
    if (system == nullptr) return TCS_RESULT_INVALID;
    if (serviceStopped(system)) return TOV_RESULT_SERVICE_STOPPED;
    if (waitFlag == 0) {
        return tcsFPClientTransferCallInternalEx(system, function, request, requestLength, inOutReply,
                                                 inOutReplyCapacity, timeoutMs, waitFlag);
    }
    TcsResult held = palMutexAcquire(system->mutex, tov::client::detail::mutexWaitMs());
    if (held != TCS_RESULT_OK) return held;
    TcsResult result = tcsFPClientTransferCallInternalEx(system, function, request, requestLength, inOutReply,
                                                         inOutReplyCapacity, timeoutMs, waitFlag);
    palMutexRelease(system->mutex);
    return result;
}

TcsResult tcsFPClientTransferCall(FPClientSystem* system, uint8_t function, const void* request,
                                  uint32_t requestLength, void* reply, uint32_t replyCapacity, uint32_t timeoutMs,
                                  uint32_t waitFlag) {
    if (system == nullptr) return TCS_RESULT_INVALID;
    if (serviceStopped(system)) return TOV_RESULT_SERVICE_STOPPED;
    if (waitFlag == 0) {
        return tcsFPClientTransferCallInternal(system, function, request, requestLength, reply, replyCapacity,
                                               timeoutMs, waitFlag);
    }
    TcsResult held = palMutexAcquire(system->mutex, tov::client::detail::mutexWaitMs());
    if (held != TCS_RESULT_OK) return held;
    TcsResult result = tcsFPClientTransferCallInternal(system, function, request, requestLength, reply,
                                                       replyCapacity, timeoutMs, waitFlag);
    palMutexRelease(system->mutex);
    return result;
}

}  // extern "C"
