// Sensor devices: allocation, start-up, shut-down and release, the four descriptor queues, and scsSend,
// the one path through which every command leaves for the sensor.
#include "tcs/flashfs/xtfs.h"
#include "tcs/flashfs/xtfs_storage.h"
#include "tcs/sensorctl/calibration/cal_results.h"
#include "tcs/sensorctl/secure/chip_session.h"
#include "tcs/sensorctl/secure/data_slots.h"
#include "tcs/sensorctl/init/device_init.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/ownership/secure_storage.h"
#include "tcs/sensorctl/secure/security.h"
#include "tcs/sensorctl/protocol/template_cache.h"

#include <string.h>

namespace {

constexpr const char* kProductSection = "SOFTWARE\\Tovantic\\tfs530";
constexpr uint32_t kEventBufferLength = 64;

struct QueueSpec {
    const char* name;
    uint32_t submit;
    uint32_t cancel;
};
constexpr QueueSpec kQueueSpecs[4] = {
    {"Request", 0x810, 0x811}, {"Reply", 0x812, 0x813}, {"Event", 0x814, 0x815}, {"FpBuffer", 0x816, 0x817}};

char* copyName(const char* name) {
    const uint32_t size = palStrlen(name) + 1;
    char* copy = static_cast<char*>(palRealMalloc(size));
    if (copy != nullptr) memcpy(copy, name, size);
    return copy;
}

void freeMutex(PalMutexHandle& lock) {
    if (lock != nullptr) palMutexFree(lock);
    lock = nullptr;
}

void freeEntryList(PalListEntry* head, bool freeBuffers) {
    while (!palListIsEmpty(head)) {
        PalListEntry* node = head->next;
        palListRemove(node);
        ScsDescriptor* entry = PAL_LIST_RECORD(node, ScsDescriptor, links);
        if (!freeBuffers) entry->ownsBuffer = 0;
        scsFreeDescriptorListEntry(entry);
    }
}

void emptyQueue(ScsDescriptorQueue& queue, bool freePostedBuffers) {
    if (queue.lock == nullptr) return;
    scsLock(queue.lock);
    freeEntryList(&queue.pending, freePostedBuffers);
    freeEntryList(&queue.completed, true);
    freeEntryList(&queue.third, true);
    scsUnlock(queue.lock);
}

bool fwIs(const ScsSensorDevice* device, uint8_t major, uint8_t minor) {
    return device->fwVersion != nullptr && device->fwVersion->major == major && device->fwVersion->minor == minor;
}

void releaseEverything(ScsSensorDevice* device) {
    ScsSubsystem* subsystem = device->subsystem;
    scsSensorDeviceShutdown(device, 0);
    for (ScsDescriptorQueue& queue : device->queues) freeMutex(queue.lock);
    scsSensorDeviceFreeInitRecord(device);
    // The block owns its planes' pixel buffers: free them with it.
    if (device->baselineInfo != nullptr) scsFreeBaseLineInfo(static_cast<ScsBaseLineInfo*>(device->baselineInfo));
    palRealFree(device->baselineInfo);
    device->baselineInfo = nullptr;
    if (device->storageInfo != nullptr) {
        xtfsStorageCleanup(device, XTFS_PART_RAW);
        if (fwIs(device, 4, 60) && (device->aesSecured || device->rsaSecured || device->eccSecured)) {
            xtfsStorageCleanup(device, XTFS_PART_FP_BUFFER);
        }
        xtfsStorageCleanup(device, XTFS_PART_FS);
        // A clean-up counts one close per kind: free whatever further opens left behind.
        if (device->storageInfo != nullptr) xtfsStorageFree(device);
    }
    palRealFree(device->configReply);
    palRealFree(device->cachedMatchData);
    palRealFree(device->cachedTemplate);
    if (device->aesSecured || device->rsaSecured || device->eccSecured) scsSSLCloseSession(device, 0);
    freeMutex(device->sslLock);
    freeMutex(device->securityLock);
    if (device->decTemplatesLock != nullptr) scsSensorDeviceFreeDecTemplatesList(device, nullptr);
    freeMutex(device->decTemplatesLock);
    // The identification context outlives the device: the next device allocated takes it over.
    if (subsystem != nullptr && device->lastIdentificationCtx != nullptr) {
        palRealFree(subsystem->keptIdentificationCtx);
        subsystem->keptIdentificationCtx = device->lastIdentificationCtx;
        subsystem->keptIdentificationCtxLength = device->lastIdentificationCtxLength;
        device->lastIdentificationCtx = nullptr;
    }
    palRealFree(device->lastIdentificationCtx);
    freeMutex(device->lastIdentificationLock);
    freeMutex(device->sendLock);
    freeMutex(device->deviceLock);
    freeMutex(device->transactionLock);
    palRealFree(device->fwVersion);
    palRealFree(device->fpBuffer);
    palRealFree(device->fpLastLine);
    calResultsContainerUnInit(static_cast<CalResultsContainer*>(device->calResults));
    palRealFree(device->name);
    // The command protocol and the secure channel key per-device state by the record's address:
    // drop it before the address can be handed to a new device.
    scsProtocolDeviceFreed(device);
    scsDataSlotForgetDevice(device);
    scsRSFreeSecurityCtx(device);
    scsSensorForgetSecurityState(device);
    palRealFree(device);
}

}  // namespace

// --- Descriptor entries --------------------------------------------------------------------------------

TcsResult scsAllocateDescriptorListEntry(uint32_t bufferLength, PalEvent* event, ScsDescriptor** outEntry) {
    if (outEntry == nullptr) return TCS_RESULT_INVALID;
    *outEntry = nullptr;
    auto* entry = static_cast<ScsDescriptor*>(palRealMalloc(sizeof(ScsDescriptor)));
    auto* transfer = static_cast<TransferDescriptor*>(palRealMalloc(sizeof(TransferDescriptor)));
    void* buffer = bufferLength != 0 ? palRealMalloc(bufferLength) : nullptr;
    if (entry == nullptr || transfer == nullptr || (bufferLength != 0 && buffer == nullptr)) {
        palRealFree(entry);
        palRealFree(transfer);
        palRealFree(buffer);
        return TCS_RESULT_INVALID;
    }
    memset(entry, 0, sizeof *entry);
    memset(transfer, 0, sizeof *transfer);
    palListInit(&entry->links);
    transfer->status = PAL_TRANSFER_PENDING;
    transfer->completionEvent = event;
    if (buffer != nullptr) {
        memset(buffer, 0xAB, bufferLength);
        transfer->data = buffer;
        transfer->length = bufferLength;
        entry->ownsBuffer = 1;
    }
    entry->transfer = transfer;
    *outEntry = entry;
    return TCS_RESULT_OK;
}

// A descriptor the transport refused was never seen by it: take it back out and free it, so it can
// never pair with another command's entry.
static TcsResult dropUntaken(ScsDescriptorQueue& queue, ScsDescriptor* entry, TcsResult result, bool freeBuffer) {
    scsLock(queue.lock);
    palListRemove(&entry->links);
    scsUnlock(queue.lock);
    if (!freeBuffer) entry->ownsBuffer = 0;
    scsFreeDescriptorListEntry(entry);
    return result;
}

void scsFreeDescriptorListEntry(ScsDescriptor* entry) {
    if (entry == nullptr) return;
    if (entry->transfer != nullptr) {
        if (entry->ownsBuffer) palRealFree(entry->transfer->data);
        palRealFree(entry->transfer);
    }
    palRealFree(entry);
}

TcsResult scsSensorSend(ScsSensorDevice* device, uint32_t function, void* data, uint32_t length, void* outBuffer,
                        uint32_t outSize, uint32_t* outReturned, void* reserved) {
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    return palSensorSend(device->platformHandle, PAL_SENSOR_CONTROL_CODE(function), data, length, outBuffer, outSize,
                         outReturned, reserved);
}

TcsResult scsQueueDescriptor(ScsSensorDevice* device, ScsDescriptorQueue* queue, ScsDescriptor* entry) {
    if (device == nullptr) return TCS_RESULT_NULL_POINTER;
    if (queue == nullptr || entry == nullptr || entry->transfer == nullptr) return TCS_RESULT_INVALID;
    if (scsLock(queue->lock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    palListInsertTail(&queue->pending, &entry->links);
    const bool held = scsTransferStatus(entry->transfer) == SCS_TRANSFER_HELD;
    // Submit under the queue lock: a phase that reads the status meanwhile must not see the entry
    // half-submitted.
    TcsResult result = TCS_RESULT_INVALID;
    if (!held) {
        if (device->sendLock != nullptr) scsLock(device->sendLock);
        result = scsSensorSend(device, queue->submitFunction, entry->transfer, sizeof(TransferDescriptor), nullptr, 0,
                               nullptr, nullptr);
        if (device->sendLock != nullptr) scsUnlock(device->sendLock);
        // A descriptor the transport never took would stay pending for ever: let the phases consume it.
        if (result != TCS_RESULT_OK) scsSetTransferStatus(entry->transfer, PAL_TRANSFER_ERROR);
    }
    scsUnlock(queue->lock);
    return result;
}

TcsResult scsQueueReplyDescriptor(ScsSensorDevice* device, uint32_t transactionId, uint32_t commandCode,
                                  uint32_t expectedLength) {
    if (device == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsDescriptor* entry = nullptr;
    ScsDescriptorQueue& queue = device->queues[SCS_QUEUE_REPLY];
    TcsResult result = scsAllocateDescriptorListEntry(expectedLength, queue.event, &entry);
    if (result != TCS_RESULT_OK) return result;
    entry->transactionId = transactionId;
    entry->commandCode = commandCode;
    result = scsQueueDescriptor(device, &queue, entry);
    return result == TCS_RESULT_OK ? result : dropUntaken(queue, entry, result, true);
}

TcsResult scsQueueEventDescriptor(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsDescriptor* entry = nullptr;
    ScsDescriptorQueue& queue = device->queues[SCS_QUEUE_EVENT];
    TcsResult result = scsAllocateDescriptorListEntry(kEventBufferLength, queue.event, &entry);
    if (result != TCS_RESULT_OK) return result;
    result = scsQueueDescriptor(device, &queue, entry);
    return result == TCS_RESULT_OK ? result : dropUntaken(queue, entry, result, true);
}

TcsResult scsQueueFpBufferDescriptor(ScsSensorDevice* device, uint8_t* buffer, uint32_t length,
                                     ScsFpBufferCallback callback, void* context) {
    if (device == nullptr) return TCS_RESULT_NULL_POINTER;
    if (buffer == nullptr || length == 0) return TCS_RESULT_BAD_PARAM;
    ScsDescriptor* entry = nullptr;
    ScsDescriptorQueue& queue = device->queues[SCS_QUEUE_FP_BUFFER];
    TcsResult result = scsAllocateDescriptorListEntry(0, queue.event, &entry);
    if (result != TCS_RESULT_OK) return result;
    entry->transfer->data = buffer;
    entry->transfer->length = length;
    entry->fpCallback = callback;
    entry->context = reinterpret_cast<uintptr_t>(context);
    result = scsQueueDescriptor(device, &queue, entry);
    return result == TCS_RESULT_OK ? result : dropUntaken(queue, entry, result, false);
}

TcsResult scsCancelDescriptors(ScsSensorDevice* device, uint32_t cancelFunction) {
    if (device == nullptr) return TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN;
    scsLock(device->sendLock);
    const TcsResult result = scsSensorSend(device, cancelFunction, nullptr, 0, nullptr, 0, nullptr, nullptr);
    scsUnlock(device->sendLock);
    return result;
}

TcsResult scsSensorCancelAllRequests(ScsSensorDevice* device, uint32_t status) {
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    ScsDescriptorQueue& queue = device->queues[SCS_QUEUE_REQUEST];
    struct Call {
        ScsReply callback;
        void* context;
    };
    if (scsLock(queue.lock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    uint32_t count = 0;
    for (PalListEntry* node = queue.pending.next; node != &queue.pending; node = node->next) ++count;
    Call* calls = count != 0 ? static_cast<Call*>(palRealMalloc(count * sizeof(Call))) : nullptr;
    uint32_t used = 0;
    for (PalListEntry* node = queue.pending.next; node != &queue.pending; node = node->next) {
        ScsDescriptor* entry = PAL_LIST_RECORD(node, ScsDescriptor, links);
        if (entry->cancelled) continue;
        entry->cancelled = 1;
        if (entry->callback == nullptr) continue;
        void* context = reinterpret_cast<void*>(static_cast<uintptr_t>(entry->context));
        if (calls != nullptr) {
            calls[used++] = {entry->callback, context};
        } else {
            entry->callback(nullptr, status, context);  // no memory for the list: call in place
        }
    }
    scsUnlock(queue.lock);
    // Called outside the queue lock: a callback that sends again takes the transaction lock, which
    // ranks above the queue locks.
    for (uint32_t i = 0; i < used; ++i) calls[i].callback(nullptr, status, calls[i].context);
    palRealFree(calls);
    return TCS_RESULT_OK;
}

bool scsSensorDeviceWithdrawRequest(ScsSensorDevice* device, uint32_t transactionId) {
    if (device == nullptr) return false;
    ScsDescriptorQueue& queue = device->queues[SCS_QUEUE_REQUEST];
    if (scsLock(queue.lock) != TCS_RESULT_OK) return false;
    bool withdrawn = false;
    // The reply phase and the cancel of all requests look at the flag under this lock too: marked
    // here first, the request is freed unanswered.
    for (PalListEntry* node = queue.pending.next; node != &queue.pending; node = node->next) {
        ScsDescriptor* entry = PAL_LIST_RECORD(node, ScsDescriptor, links);
        if (entry->transactionId == transactionId) {
            withdrawn = entry->cancelled == 0;
            entry->cancelled = 1;
            break;
        }
    }
    scsUnlock(queue.lock);
    return withdrawn;
}

TcsResult scsSensorDeviceCancelRequest(ScsSensorDevice* device, uint32_t transactionId) {
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    scsSensorDeviceWithdrawRequest(device, transactionId);
    return TCS_RESULT_OK;
}

TcsResult scsSensorDeviceFreeDecTemplatesList(ScsSensorDevice* device, const uint8_t* id16) {
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    if (device->decTemplatesLock == nullptr || scsLock(device->decTemplatesLock) != TCS_RESULT_OK) {
        return TCS_RESULT_INVALID;
    }
    for (PalListEntry* node = device->decTemplates.next; node != &device->decTemplates;) {
        PalListEntry* next = node->next;
        ScsDecTemplateEntry* entry = PAL_LIST_RECORD(node, ScsDecTemplateEntry, links);
        if (id16 == nullptr || memcmp(entry->userKey, id16, 16) == 0) {
            palListRemove(node);
            palRealFree(entry->data);
            palRealFree(entry->secondData);
            palRealFree(entry);
        }
        node = next;
    }
    device->decTemplatesFull = 0;
    scsUnlock(device->decTemplatesLock);
    return TCS_RESULT_OK;
}

void scsLogCmdId_CmdSend(uint32_t) {}

// --- Device life -------------------------------------------------------------------------------------

TcsResult scsSensorDeviceAlloc(ScsSubsystem* subsystem, ScsSensorDevice** outDevice, const char* name,
                               uint32_t detectionType) {
    if (name == nullptr || outDevice == nullptr) return TCS_RESULT_BAD_PARAM;
    *outDevice = nullptr;
    auto* device = static_cast<ScsSensorDevice*>(palRealMalloc(sizeof(ScsSensorDevice)));
    if (device == nullptr) return TCS_RESULT_INVALID;
    memset(device, 0, sizeof *device);
    palListInit(&device->links);
    palListInit(&device->decTemplates);
    device->referenceCount = 1;
    device->subsystem = subsystem;
    device->lastCommandSentTime = palGetTickCount();
    device->announced = detectionType;
    for (int i = 0; i < 4; ++i) {
        ScsDescriptorQueue& queue = device->queues[i];
        palListInit(&queue.pending);
        palListInit(&queue.completed);
        palListInit(&queue.third);
    }

    TcsResult result = TCS_RESULT_OK;
    device->deviceLock = palMutexAlloc(nullptr, 0);
    device->transactionLock = palMutexAlloc(nullptr, 0);
    if (device->deviceLock == nullptr || device->transactionLock == nullptr) result = TCS_RESULT_INVALID;
    for (int i = 0; i < 4 && result == TCS_RESULT_OK; ++i) {
        ScsDescriptorQueue& queue = device->queues[i];
        queue.name = kQueueSpecs[i].name;
        queue.submitFunction = kQueueSpecs[i].submit;
        queue.cancelFunction = kQueueSpecs[i].cancel;
        queue.event = subsystem != nullptr ? subsystem->wakeEvent : nullptr;
        queue.eventName = queue.event != nullptr ? palEventName(queue.event) : nullptr;
        queue.lock = palMutexAlloc(nullptr, 0);
        if (queue.lock == nullptr) result = TCS_RESULT_INVALID;
    }
    // The send lock is needed by start-up's submissions, so it comes before the open.
    if (result == TCS_RESULT_OK) {
        device->sendLock = palMutexAlloc(nullptr, 0);
        if (device->sendLock == nullptr) result = TCS_RESULT_INVALID;
    }
    if (result == TCS_RESULT_OK) result = scsSensorDeviceStartup(device, name);
    if (result == TCS_RESULT_OK) {
        device->name = copyName(name);
        if (device->name == nullptr) result = TCS_RESULT_OUT_OF_MEMORY;
    }
    if (result == TCS_RESULT_OK) {
        device->woeTiming[0] = 16;
        device->woeTiming[1] = 16;
        device->woeTiming[2] = 128;
        device->woeTiming[3] = 128;
        uint32_t threshold = 512;
        if (palGetPersistentDataLongValue(kProductSection, "WOVARthresh", 512, &threshold) != TCS_RESULT_OK) {
            threshold = 512;
        }
        device->woVarThreshold = threshold;
        device->sslLock = palMutexAlloc(nullptr, 0);
        device->securityLock = palMutexAlloc(nullptr, 0);
        device->decTemplatesLock = palMutexAlloc(nullptr, 0);
        device->lastIdentificationLock = palMutexAlloc(nullptr, 0);
        if (device->sslLock == nullptr || device->securityLock == nullptr || device->decTemplatesLock == nullptr ||
            device->lastIdentificationLock == nullptr) {
            result = TCS_RESULT_INVALID;
        }
    }
    if (result != TCS_RESULT_OK) {
        releaseEverything(device);
        return result;
    }
    if (subsystem != nullptr) {
        device->lastIdentificationCtx = subsystem->keptIdentificationCtx;
        device->lastIdentificationCtxLength = subsystem->keptIdentificationCtxLength;
        subsystem->keptIdentificationCtx = nullptr;
    }
    device->initialisedOnce = 0;
    *outDevice = device;
    return TCS_RESULT_OK;
}

TcsResult scsSensorDeviceStartup(ScsSensorDevice* device, const char* name) {
    if (device == nullptr || device->subsystem == nullptr || name == nullptr) return TCS_RESULT_BAD_PARAM;
    PalSensorHandle* handle = nullptr;
    const TcsResult result = palSensorOpen(device->subsystem->platform, name, &handle);
    if (result != TCS_RESULT_OK) return result;
    device->captureState = 0;
    device->suspendMode = 0;
    device->suppressCloseAlert = 0;
    device->woeOnlyCalibration = 0;
    device->platformHandle = handle;
    return TCS_RESULT_OK;
}

TcsResult scsSensorDeviceShutdown(ScsSensorDevice* device, uint32_t) {
    if (device == nullptr) return TCS_RESULT_INVALID;
    if (device->queues[SCS_QUEUE_REQUEST].lock != nullptr) {
        scsSensorCancelAllRequests(device, SCS_RESULT_DEVICE_SHUTDOWN);
    }
    if (device->sendLock == nullptr || scsLock(device->sendLock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    if (device->platformHandle != nullptr) {
        // Closing stops the transfer threads; only then may their descriptors be freed. A device
        // that cannot be closed keeps its entries (a leak rather than a use after free).
        if (palSensorClose(nullptr, device->platformHandle) != TCS_RESULT_OK) {
            scsUnlock(device->sendLock);
            return TCS_RESULT_INVALID;
        }
        device->platformHandle = nullptr;
    }
    // The queues are emptied after the send lock is released: submissions take the send lock
    // inside a queue lock, so holding it here while taking the queue locks could deadlock.
    scsUnlock(device->sendLock);
    emptyQueue(device->queues[SCS_QUEUE_REQUEST], true);
    emptyQueue(device->queues[SCS_QUEUE_REPLY], true);
    emptyQueue(device->queues[SCS_QUEUE_EVENT], true);
    // Posted fingerprint buffers belong to their poster.
    emptyQueue(device->queues[SCS_QUEUE_FP_BUFFER], false);
    return TCS_RESULT_OK;
}

TcsResult scsSensorDeviceAcquire(ScsSensor* sensor, ScsSensorDevice** outDevice) {
    if (outDevice == nullptr) return TCS_RESULT_BAD_PARAM;
    if (sensor == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    // Read the handle's device under the reference lock: removal unbinds handles under it, so a
    // device seen here cannot be released before its count has gone up.
    PalMutexHandle lock = sensor->client != nullptr && sensor->client->subsystem != nullptr
                              ? sensor->client->subsystem->referenceLock
                              : nullptr;
    if (lock != nullptr) scsLock(lock);
    ScsSensorDevice* device = sensor->device;
    TcsResult result = TCS_RESULT_OK;
    if (device == nullptr) {
        result = TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN;
    } else if (device->referenceCount == 0) {
        result = TCS_RESULT_SENSOR_NOT_FOUND;
    } else {
        ++device->referenceCount;
        *outDevice = device;
    }
    if (lock != nullptr) scsUnlock(lock);
    return result;
}

TcsResult scsSensorDeviceFree(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_NULL_POINTER;
    PalMutexHandle lock = device->subsystem != nullptr ? device->subsystem->referenceLock : nullptr;
    if (lock != nullptr) scsLock(lock);
    bool last = false;
    if (device->referenceCount > 0) {
        --device->referenceCount;
        last = device->referenceCount == 0;
    }
    if (lock != nullptr) scsUnlock(lock);
    if (last) releaseEverything(device);
    return TCS_RESULT_OK;
}

TcsResult scsSensorDeviceRelease(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_NULL_POINTER;
    return scsSensorDeviceFree(device);
}

TcsResult scsSensorDeviceFind(const char* name, ScsSubsystem* subsystem, ScsSensorDevice** outDevice) {
    if (name == nullptr || subsystem == nullptr || outDevice == nullptr) return TCS_RESULT_BAD_PARAM;
    *outDevice = nullptr;
    if (scsLock(subsystem->deviceListLock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    struct Search {
        PalListEntry* list;
        TcsResult result;
    };
    const Search searches[] = {{&subsystem->activeDevices, TCS_RESULT_OK},
                               {&subsystem->initialisingDevices, TCS_RESULT_SENSOR_INITIALIZING},
                               {&subsystem->badDevices, TCS_RESULT_FOUND_ONLY_FAILED_DEVICE}};
    TcsResult result = TCS_RESULT_SENSOR_NOT_FOUND;
    for (const Search& search : searches) {
        for (PalListEntry* node = search.list->next; node != search.list; node = node->next) {
            ScsSensorDevice* device = PAL_LIST_RECORD(node, ScsSensorDevice, links);
            if (device->name != nullptr && palStringsIMatch(device->name, name)) {
                *outDevice = device;
                result = search.result;
                break;
            }
        }
        if (*outDevice != nullptr) break;
    }
    scsUnlock(subsystem->deviceListLock);
    return result;
}

TcsResult scsSensorDeviceGetSensorId(ScsSensorDevice* device, char* buffer, uint32_t size) {
    if (device == nullptr || buffer == nullptr || device->name == nullptr) return TCS_RESULT_BAD_PARAM;
    return palStrcpy(buffer, size, device->name) != nullptr ? TCS_RESULT_OK : TCS_RESULT_BUFFER_TOO_SMALL;
}

// --- Sending ---------------------------------------------------------------------------------------------

TcsResult scsSend(ScsSensorDevice* device, uint8_t* request, uint32_t length, uint32_t expectedReplyLength,
                  ScsReply callback, void* context, uint32_t* outTransactionId, uint32_t plain, uint32_t) {
    if (device == nullptr || request == nullptr || length == 0) {
        palRealFree(request);
        return device == nullptr ? TCS_RESULT_NULL_DEVICE_HANDLE : TCS_RESULT_BAD_PARAM;
    }
    const uint8_t code = request[0];
    // During a capture only stop print (4) and get finger status (23) may reach the sensor.
    if (device->captureState != 0 && code != 4 && code != 23) {
        palRealFree(request);
        return TCS_RESULT_SENSOR_BUSY;
    }
    if (code == 2 && length >= 3) {
        uint16_t mode = 0;
        memcpy(&mode, request + 1, 2);
        device->getPrintMode = palSensorToHost16(mode);
    }
    if (!plain) {
        const TcsResult encrypted = scsSSLEncrypt(device, &request, &length, &expectedReplyLength);
        if (encrypted != TCS_RESULT_OK) {
            palRealFree(request);
            return encrypted;
        }
    }
    scsLogCmdId_CmdSend(code);

    ScsDescriptor* entry = nullptr;
    ScsDescriptorQueue& requests = device->queues[SCS_QUEUE_REQUEST];
    TcsResult result = scsAllocateDescriptorListEntry(0, requests.event, &entry);
    if (result != TCS_RESULT_OK) {
        palRealFree(request);
        return result;
    }
    entry->transfer->data = request;
    entry->transfer->length = length;
    entry->ownsBuffer = 1;  // from here on the request buffer is the entry's
    entry->commandCode = code;
    entry->callback = callback;
    entry->context = reinterpret_cast<uintptr_t>(context);

    // Numbering and both entries in one step, so reply entries keep the order of their requests.
    if (scsLock(device->transactionLock) != TCS_RESULT_OK) {
        scsFreeDescriptorListEntry(entry);
        return TCS_RESULT_INVALID;
    }
    ++device->transactionCounter;
    const uint32_t transactionId = palHostToSensor32(device->transactionCounter);
    if (outTransactionId != nullptr) *outTransactionId = transactionId;
    entry->transactionId = transactionId;
    result = scsQueueReplyDescriptor(device, transactionId, code, expectedReplyLength);
    if (result != TCS_RESULT_OK) {
        scsUnlock(device->transactionLock);
        scsFreeDescriptorListEntry(entry);
        return result;
    }
    const bool held = device->requestHold != 0;
    if (held) scsSetTransferStatus(entry->transfer, SCS_TRANSFER_HELD);
    result = scsQueueDescriptor(device, &requests, entry);
    if (result != TCS_RESULT_OK && !held) {
        // Its reply entry is already out: let the reply phase drop the pair silently, since the
        // caller learns of the failure from this result and must not be called back as well.
        scsLock(requests.lock);
        entry->cancelled = 1;
        scsUnlock(requests.lock);
    }
    scsUnlock(device->transactionLock);
    device->lastCommandSentTime = palGetTickCount();
    if (requests.event != nullptr) palEventSet(requests.event);
    return result;
}
