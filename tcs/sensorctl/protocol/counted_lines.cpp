// Reads through the fingerprint pipe: counted-line captures (a caller's buffer posted on the
// fingerprint queue, a get-print for that many lines, a wait until it is full) and the fast read
// of the SPI flash.
#include "tcs/sensorctl/secure/fp_signing.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/sensor_commands_more.h"

#include <atomic>
#include <new>

namespace {

constexpr uint32_t kFirstWaitMs = 2000;
constexpr uint32_t kDrainWaitMs = 15000;
constexpr uint32_t kFastReadWaitMs = 30000;

// Owned by the caller and the buffer callback, like the command wait records: a buffer completed
// after its caller gave up finds live memory.
struct BufferWait {
    TcsResult status = TCS_RESULT_DESCRIPTOR_PENDING;
    uint32_t length = 0;
    PalEvent* event = nullptr;
    std::atomic<int> owners{2};
};

void release(BufferWait* wait) {
    if (wait->owners.fetch_sub(1) == 1) {
        palEventFree(wait->event);
        delete wait;
    }
}

TcsResult bufferDone(void* context, TcsResult result, uint8_t*, uint32_t length, void* partial) {
    auto* wait = static_cast<BufferWait*>(context);
    if (wait == nullptr) return TCS_RESULT_BAD_PARAM;
    if (partial != nullptr) return TCS_RESULT_OK;  // progress of a buffer still filling
    wait->length = length;
    wait->status = result;
    palEventSet(wait->event);
    release(wait);
    return TCS_RESULT_OK;
}

}  // namespace

extern "C" {

TcsResult scsSensorWaitForFpBuffersSyncResponse(ScsSensor* sensor, PalEvent* event, uint32_t timeoutMs,
                                                uint32_t transactionId) {
    if (sensor == nullptr || sensor->device == nullptr) return TCS_RESULT_INVALID;
    const uint32_t start = palGetTickCount();
    TcsResult result;
    do {
        scsProcessFpBuffersQueue(sensor->device);
        result = palEventWaitFor(event, 1);
    } while (result == TCS_RESULT_TIMEOUT && palGetTickCount() - start < timeoutMs);
    if (result != TCS_RESULT_OK && transactionId != 0) scsSensorCancelRequest(sensor, transactionId);
    return result;
}

TcsResult scsSensorCancelAllFingerprintBuffers(ScsSensor* sensor) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    ScsSensorDevice* device = sensor->device;
    device->captureState = 0;
    scsCancelDescriptors(device, device->queues[SCS_QUEUE_FP_BUFFER].cancelFunction);
    return scsSensorWaitForFpBufferQueueEmpty(device, kDrainWaitMs);
}

TcsResult scsSensorGetCountedLinesSynch(ScsSensor* sensor, uint8_t* buffer, uint32_t size, uint16_t lines,
                                        uint8_t mode, uint32_t value, void* printConfiguration, void* outReply) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (buffer == nullptr || size == 0) return TCS_RESULT_BAD_PARAM;
    ScsSensorDevice* device = sensor->device;
    uint32_t waitMs = kFirstWaitMs;
    uint32_t retransmission = 0, returned = 0;
    if (scsSensorSend(device, 0x829, nullptr, 0, &retransmission, sizeof retransmission, &returned, nullptr) ==
            TCS_RESULT_OK &&
        returned == sizeof retransmission && retransmission != 0) {
        waitMs = retransmission;
    }
    auto* wait = new (std::nothrow) BufferWait;
    if (wait == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    wait->event = palEventAlloc(0, 0, nullptr);
    if (wait->event == nullptr) {
        delete wait;
        return TCS_RESULT_EVENT_CREATION_FAILED;
    }
    TcsResult result = scsQueueFpBufferDescriptor(device, buffer, size, bufferDone, wait);
    if (result != TCS_RESULT_OK) {
        wait->owners = 1;
        release(wait);
        return result;
    }
    // Only a mode-0 capture turns streaming on before it is sent; the cancel at the end of every
    // counted read turns it off again. A read in another mode (the power-up baseline uses 2) would
    // otherwise never see its lines and always run out of time.
    if (mode != 0) {
        result = scsStartReadFingerprint(sensor);
        if (result != TCS_RESULT_OK) {
            scsSensorCancelAllFingerprintBuffers(sensor);
            release(wait);
            return result;
        }
    }
    ScsReplyView reply{};
    result = scsSensorGetFingerprint(sensor, lines, 0, mode, value, static_cast<PrintConfiguration*>(printConfiguration),
                                     outReply != nullptr ? static_cast<ScsReplyView*>(outReply) : &reply);
    if (outReply == nullptr) palRealFree(reply.data);
    if (result != TCS_RESULT_OK) {
        scsSensorCancelAllFingerprintBuffers(sensor);
        release(wait);
        return result;
    }
    result = scsSensorWaitForFpBuffersSyncResponse(sensor, wait->event, waitMs, 0);
    scsSensorCancelAllFingerprintBuffers(sensor);
    const TcsResult finalised = _scsSensorFpCryptContextFinalize(device, 1);
    if (result == TCS_RESULT_OK && finalised != TCS_RESULT_OK) result = finalised;
    if (result == TCS_RESULT_OK) {
        result = wait->status;
        if (result == TCS_RESULT_OK && wait->length < size) result = TCS_RESULT_SENSOR_BAD_SIZE;
    }
    release(wait);
    return result;
}

TcsResult scsFastReadSPIFlash(ScsSensor* sensor, uint32_t, uint16_t commandLength, const uint8_t* command,
                              uint32_t readLength, uint8_t* buffer) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (buffer == nullptr || readLength == 0 || command == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* wait = new (std::nothrow) BufferWait;
    if (wait == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    wait->event = palEventAlloc(0, 0, nullptr);
    if (wait->event == nullptr) {
        delete wait;
        return TCS_RESULT_EVENT_CREATION_FAILED;
    }
    TcsResult result = scsQueueFpBufferDescriptor(sensor->device, buffer, readLength, bufferDone, wait);
    if (result != TCS_RESULT_OK) {
        wait->owners = 1;
        release(wait);
        return result;
    }
    result = scsStartReadFingerprint(sensor);
    if (result == TCS_RESULT_OK) result = scsSensorSPIBulkRead(sensor, commandLength, command, readLength, buffer);
    if (result == TCS_RESULT_OK) {
        result = scsSensorWaitForFpBuffersSyncResponse(sensor, wait->event, kFastReadWaitMs, 0);
        if (result == TCS_RESULT_OK) result = wait->status;
    }
    // Every path ends with the buffer off the queue, so the caller may free it.
    scsSensorCancelAllFingerprintBuffers(sensor);
    release(wait);
    return result;
}

}  // extern "C"
