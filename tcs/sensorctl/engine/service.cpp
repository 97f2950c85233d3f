// Sensor-control service step: plug-and-play, work items, device housekeeping and the four transfer
// queues of every device, in a rotation that continues where the previous call stopped.
#include "tcs/sensorctl/init/device_init.h"
#include "tcs/sensorctl/secure/print_config.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/secure/security.h"

#include <string.h>

namespace {

constexpr uint32_t kDetachedKeepMs = 2000;
constexpr uint32_t kBadRetryMs = 5000;
constexpr int32_t kBadRetries = 5;
constexpr uint32_t kRawContextMark = 0xFFFFFFFFu;
constexpr uint32_t kWaitPollMs = 2;
constexpr uint32_t kPumpBudgetMs = 500;
constexpr TcsResult kSensorResetRecovered = 360;

int32_t elapsedSince(uint32_t tick) { return int32_t(palGetTickCount() - tick); }

void* contextOf(const ScsDescriptor* entry) { return reinterpret_cast<void*>(static_cast<uintptr_t>(entry->context)); }

ScsDescriptor* headEntry(PalListEntry* list) {
    return palListIsEmpty(list) ? nullptr : PAL_LIST_RECORD(list->next, ScsDescriptor, links);
}

void unlinkAndDestroy(ScsSubsystem* subsystem, WorkItem* item) {
    palCriticalSectionAcquire(subsystem->workList.listLock);
    palListRemove(&item->links);
    palCriticalSectionRelease(subsystem->workList.listLock);
    palWorkItemDestroy(item);
}

void moveToTail(ScsSubsystem* subsystem, WorkItem* item) {
    palCriticalSectionAcquire(subsystem->workList.listLock);
    palListRemove(&item->links);
    palListInsertTail(&subsystem->workList.links, &item->links);
    palCriticalSectionRelease(subsystem->workList.listLock);
}

bool pollReportedOnce(WorkItem* item) {
    if (item->type != scsWitIdGetFingerState) return false;
    const auto* poll = static_cast<const ScsFingerStatePoll*>(item->object);
    return poll != nullptr && poll->firstReportPending == 0;
}

TcsResult workItemPhase(ScsSubsystem* subsystem, int32_t budgetMs, uint32_t* wait) {
    const uint32_t start = palGetTickCount();
    TcsResult handlerResult = TCS_RESULT_INVALID;
    WorkList& list = subsystem->workList;
    for (;;) {
        const TcsResult locked = palCriticalSectionAcquire(list.listLock);
        if (locked != TCS_RESULT_OK) return handlerResult != TCS_RESULT_OK ? handlerResult : locked;
        if (palListIsEmpty(&list.links)) {
            palCriticalSectionRelease(list.listLock);
            *wait = 0;
            return TCS_RESULT_NO_WORK_ITEMS;
        }
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(list.links.next);
        palCriticalSectionRelease(list.listLock);

        if (*scsWitState(item) == SCS_WIT_STATE_DONE) {
            unlinkAndDestroy(subsystem, item);
            continue;
        }
        if (item->type >= SCS_WIT_COUNT) {
            *wait = 0;
            return handlerResult;
        }
        const ScsWitRow& row = gScsWitList[item->type];
        if (row.handler == nullptr) {
            *scsWitState(item) = SCS_WIT_STATE_DONE;
            unlinkAndDestroy(subsystem, item);
        } else {
            handlerResult = row.handler(item);
            const uint32_t state = *scsWitState(item);
            if (state == SCS_WIT_STATE_DONE) {
                unlinkAndDestroy(subsystem, item);
            } else if (state == SCS_WIT_STATE_WAIT) {
                const uint32_t remaining = item->remainingMs;
                if (pollReportedOnce(item)) moveToTail(subsystem, item);
                *wait = remaining;
                return TCS_RESULT_NO_WORK_ITEMS;
            } else if (pollReportedOnce(item)) {
                moveToTail(subsystem, item);
            }
        }
        if (elapsedSince(start) >= budgetMs) {
            *wait = 0;
            return TCS_RESULT_OK;
        }
    }
}

void housekeeping(ScsSubsystem* subsystem) {
    if (scsLock(subsystem->deviceListLock) != TCS_RESULT_OK) return;
    const uint32_t now = palGetTickCount();
    PalListEntry* list = &subsystem->detachedDevices;
    for (PalListEntry* node = list->next; node != list;) {
        PalListEntry* next = node->next;
        ScsSensorDevice* device = PAL_LIST_RECORD(node, ScsSensorDevice, links);
        if (int32_t(now - device->lastAttemptTime) > int32_t(kDetachedKeepMs)) {
            palListRemove(node);
            palListInit(node);
            scsSensorDeviceRelease(device);
        }
        node = next;
    }
    if (!scsIsSuspended(subsystem)) {
        list = &subsystem->badDevices;
        for (PalListEntry* node = list->next; node != list;) {
            PalListEntry* next = node->next;
            ScsSensorDevice* device = PAL_LIST_RECORD(node, ScsSensorDevice, links);
            if (int32_t(now - device->lastAttemptTime) > int32_t(kBadRetryMs)) {
                if (device->retryCount > kBadRetries) {
                    palListRemove(node);
                    palListInit(node);
                    scsSensorDeviceRelease(device);
                } else {
                    ++device->retryCount;
                    device->lastAttemptTime = now;
                    if (palSensorReset(device->platformHandle) == kSensorResetRecovered) device->initialisedOnce = 0;
                }
            }
            node = next;
        }
    }
    list = &subsystem->initialisingDevices;
    for (PalListEntry* node = list->next; node != list;) {
        PalListEntry* next = node->next;
        scsSensorDeviceInit(PAL_LIST_RECORD(node, ScsSensorDevice, links));
        node = next;
    }
    scsUnlock(subsystem->deviceListLock);
}

using DevicePass = TcsResult (*)(ScsSensorDevice* device);

void forEachDevice(PalListEntry* list, DevicePass pass) {
    for (PalListEntry* node = list->next; node != list;) {
        PalListEntry* next = node->next;
        pass(PAL_LIST_RECORD(node, ScsSensorDevice, links));
        node = next;
    }
}

void devicePhase(ScsSubsystem* subsystem, DevicePass pass, bool activeFirst) {
    if (scsLock(subsystem->deviceListLock) != TCS_RESULT_OK) return;
    if (activeFirst) {
        forEachDevice(&subsystem->activeDevices, pass);
        forEachDevice(&subsystem->initialisingDevices, pass);
    } else {
        forEachDevice(&subsystem->initialisingDevices, pass);
        forEachDevice(&subsystem->activeDevices, pass);
    }
    scsUnlock(subsystem->deviceListLock);
}

bool onList(PalListEntry* list, const ScsSensorDevice* wanted) {
    for (PalListEntry* node = list->next; node != list; node = node->next) {
        const ScsSensorDevice* device = PAL_LIST_RECORD(node, ScsSensorDevice, links);
        if (device == wanted) return true;
    }
    return false;
}

TcsResult fpResultOf(uint32_t status) {
    switch (status) {
        case PAL_TRANSFER_DONE: return TCS_RESULT_OK;
        case PAL_TRANSFER_PENDING: return TCS_RESULT_DESCRIPTOR_PENDING;
        case PAL_TRANSFER_ERROR: return TCS_RESULT_SENSOR_NOT_FOUND;
        case PAL_TRANSFER_CANCELLED: return TCS_RESULT_DESCRIPTOR_CANCEL;
        case SCS_TRANSFER_TOO_SHORT: return TCS_RESULT_DESCRIPTOR_TOO_SHORT;
        default: return TCS_RESULT_INVALID;
    }
}

}  // namespace

// --- Queue passes -----------------------------------------------------------------------------------------

TcsResult scsProcessRequestQueue(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsDescriptorQueue& requests = device->queues[SCS_QUEUE_REQUEST];
    ScsDescriptorQueue& replies = device->queues[SCS_QUEUE_REPLY];
    if (scsLock(requests.lock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    TcsResult result = TCS_RESULT_OK;
    bool finished = false;
    bool failed = false;
    for (PalListEntry* node = requests.pending.next; node != &requests.pending; node = node->next) {
        ScsDescriptor* entry = PAL_LIST_RECORD(node, ScsDescriptor, links);
        if (entry->transfer == nullptr) continue;
        const uint32_t status = scsTransferStatus(entry->transfer);
        if (status == PAL_TRANSFER_DONE || status == PAL_TRANSFER_CANCELLED) {
            finished = true;
        } else if (status == PAL_TRANSFER_ERROR || status == SCS_TRANSFER_TOO_SHORT) {
            failed = true;
        } else if (status == SCS_TRANSFER_HELD && !device->requestHold) {
            // Pending before the transport sees it: it may complete before this call returns.
            scsSetTransferStatus(entry->transfer, PAL_TRANSFER_PENDING);
            scsLock(device->sendLock);
            result = scsSensorSend(device, requests.submitFunction, entry->transfer, sizeof(TransferDescriptor),
                                   nullptr, 0, nullptr, nullptr);
            scsUnlock(device->sendLock);
            if (result != TCS_RESULT_OK) {
                scsSetTransferStatus(entry->transfer, SCS_TRANSFER_HELD);
                break;
            }
        }
    }
    scsUnlock(requests.lock);
    // The reply checks are made after the request lock is released: the reply pass takes the two
    // locks the other way round.
    if (finished || failed) {
        scsLock(replies.lock);
        ScsDescriptor* reply = headEntry(&replies.pending);
        if (reply != nullptr && scsTransferStatus(reply->transfer) != PAL_TRANSFER_PENDING) {
            if (failed) scsSetTransferStatus(reply->transfer, PAL_TRANSFER_ERROR);
            if (replies.event != nullptr) palEventSet(replies.event);
        }
        scsUnlock(replies.lock);
    }
    return result;
}

TcsResult scsProcessReplyQueue(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsDescriptorQueue& requests = device->queues[SCS_QUEUE_REQUEST];
    ScsDescriptorQueue& replies = device->queues[SCS_QUEUE_REPLY];
    if (scsLock(requests.lock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    const bool noRequests = palListIsEmpty(&requests.pending);
    scsUnlock(requests.lock);
    if (noRequests) return TCS_RESULT_OK;

    PalListEntry delivery;
    palListInit(&delivery);
    TcsResult status = TCS_RESULT_CANCEL;
    if (scsLock(replies.lock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    for (PalListEntry* node = replies.pending.next; node != &replies.pending;) {
        PalListEntry* next = node->next;
        ScsDescriptor* reply = PAL_LIST_RECORD(node, ScsDescriptor, links);
        const uint32_t replyStatus = scsTransferStatus(reply->transfer);
        if (replyStatus == PAL_TRANSFER_PENDING) break;
        if (replyStatus > SCS_TRANSFER_TOO_SHORT) {
            node = next;
            continue;
        }
        scsLock(requests.lock);
        ScsDescriptor* request = headEntry(&requests.pending);
        if (request == nullptr) {
            // A completed reply without an outstanding request stays queued.
            scsUnlock(requests.lock);
            break;
        }
        if (replyStatus == PAL_TRANSFER_ERROR && scsTransferStatus(request->transfer) != PAL_TRANSFER_CANCELLED) {
            status = TCS_RESULT_SENSOR_NOT_FOUND;
        }
        if (request->cancelled) {
            palListRemove(&request->links);
            palListRemove(&reply->links);
            scsFreeDescriptorListEntry(request);
            scsFreeDescriptorListEntry(reply);
        } else if (scsTransferStatus(request->transfer) == PAL_TRANSFER_PENDING) {
            scsUnlock(requests.lock);
            break;
        } else {
            palListRemove(&request->links);
            palListRemove(&reply->links);
            request->partner = reply;
            if (reply->transfer->length == 0 || replyStatus == PAL_TRANSFER_ERROR) {
                request->answerWithoutReply = 1;
                request->answerStatus = status;
            }
            // Callbacks run after the queue locks are released: a callback that sends again takes
            // the transaction lock, which ranks above the queue locks.
            palListInsertTail(&delivery, &request->links);
        }
        scsUnlock(requests.lock);
        node = next;
    }
    scsUnlock(replies.lock);

    while (!palListIsEmpty(&delivery)) {
        ScsDescriptor* request = PAL_LIST_RECORD(delivery.next, ScsDescriptor, links);
        palListRemove(&request->links);
        ScsDescriptor* reply = request->partner;
        void* context = contextOf(request);
        if (request->answerWithoutReply) {
            if (request->callback != nullptr) request->callback(nullptr, request->answerStatus, context);
        } else if (device->replyParser != nullptr) {
            auto* replyData = static_cast<uint8_t*>(reply->transfer->data);
            uint32_t length = reply->transfer->length;
            const TcsResult decrypted = scsSSLDecrypt(device, replyData, &length);
            if (decrypted != TCS_RESULT_OK) {
                if (context != nullptr && request->callback != nullptr) request->callback(nullptr, decrypted, context);
            } else {
                auto* requestData = static_cast<uint8_t*>(request->transfer->data);
                if (requestData != nullptr) requestData[0] = uint8_t(reply->commandCode);
                uint32_t mark = 0;
                if (context != nullptr) memcpy(&mark, context, sizeof mark);
                if (context != nullptr && mark == kRawContextMark) {
                    ScsReplyView view{length, replyData};
                    if (request->callback != nullptr) request->callback(&view, TCS_RESULT_OK, context);
                } else {
                    device->replyParser(device, requestData, replyData, length, request->callback, context);
                }
            }
        }
        scsFreeDescriptorListEntry(request);
        scsFreeDescriptorListEntry(reply);
    }
    return TCS_RESULT_OK;
}

TcsResult scsProcessEventsQueue(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsSubsystem* subsystem = device->subsystem;
    ScsDescriptorQueue& events = device->queues[SCS_QUEUE_EVENT];
    if (scsLock(events.lock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    TcsResult result = TCS_RESULT_OK;
    for (PalListEntry* node = events.pending.next; node != &events.pending;) {
        PalListEntry* next = node->next;
        ScsDescriptor* entry = PAL_LIST_RECORD(node, ScsDescriptor, links);
        if (entry->transfer == nullptr || scsTransferStatus(entry->transfer) != PAL_TRANSFER_DONE) {
            node = next;
            continue;
        }
        if (device->initialisedOnce != 1) {
            // Never came up: take it down and bring it up again.
            result = scsQueuePnpItem(subsystem, scsWitIdPnpDetached, device->name, 0, 0, 0);
            if (result == TCS_RESULT_OK) {
                result = scsQueuePnpItem(subsystem, scsWitIdPnpAttached, device->name, 0, 0, 0);
            }
            if (result != TCS_RESULT_OK) break;
        } else if (subsystem != nullptr && scsLock(subsystem->deviceListLock) == TCS_RESULT_OK) {
            // Initialised before: restart its initialisation in place.
            if (onList(&subsystem->initialisingDevices, device)) {
                ScsDescriptorQueue& requests = device->queues[SCS_QUEUE_REQUEST];
                scsLock(requests.lock);
                for (PalListEntry* r = requests.pending.next; r != &requests.pending; r = r->next) {
                    PAL_LIST_RECORD(r, ScsDescriptor, links)->cancelled = 1;
                }
                scsUnlock(requests.lock);
            }
            palListRemove(&device->links);
            palListInsertTail(&subsystem->initialisingDevices, &device->links);
            scsSensorDeviceFreeInitRecord(device);
            scsUnlock(subsystem->deviceListLock);
        }
        palListRemove(&entry->links);
        scsFreeDescriptorListEntry(entry);
        result = scsQueueEventDescriptor(device);
        if (result != TCS_RESULT_OK) break;
        node = next;
    }
    scsUnlock(events.lock);
    return result;
}

TcsResult scsProcessFpBuffersQueue(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsDescriptorQueue& queue = device->queues[SCS_QUEUE_FP_BUFFER];
    if (scsLock(queue.lock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    for (PalListEntry* node = queue.pending.next; node != &queue.pending;) {
        PalListEntry* next = node->next;
        ScsDescriptor* entry = PAL_LIST_RECORD(node, ScsDescriptor, links);
        const uint32_t status =
            entry->transfer != nullptr ? scsTransferStatus(entry->transfer) : uint32_t(PAL_TRANSFER_PENDING);
        if (status == SCS_TRANSFER_PARTIAL) {
            if (entry->fpCallback != nullptr) {
                entry->fpCallback(contextOf(entry), 90, static_cast<uint8_t*>(entry->transfer->data),
                                  entry->transfer->length, entry);
            }
        } else if (status == PAL_TRANSFER_DONE || status == PAL_TRANSFER_ERROR || status == PAL_TRANSFER_CANCELLED ||
                   status == SCS_TRANSFER_TOO_SHORT) {
            palListRemove(node);
            palListInsertTail(&queue.completed, node);
        }
        node = next;
    }
    scsUnlock(queue.lock);

    if (scsLock(queue.lock) != TCS_RESULT_OK) return TCS_RESULT_INVALID;
    TcsResult result = TCS_RESULT_OK;
    bool first = true;
    while (!palListIsEmpty(&queue.completed)) {
        ScsDescriptor* entry = PAL_LIST_RECORD(queue.completed.next, ScsDescriptor, links);
        if (entry->transfer == nullptr) {
            if (first) result = TCS_RESULT_INVALID;
            break;
        }
        first = false;
        auto* data = static_cast<uint8_t*>(entry->transfer->data);
        uint32_t length = entry->transfer->length;
        const uint16_t versionWord = device->fwVersion != nullptr
                                         ? uint16_t(device->fwVersion->major | (device->fwVersion->minor << 8))
                                         : 0;
        // Buffered captures on firmware 4.60 lead with one line of bookkeeping. A delivery shorter
        // than a line used to underflow the length; only a delivery that holds the line skips it.
        if (versionWord == 0x3C04 && device->fpEnabled && device->fpFill == 0 && length != 0 &&
            length >= device->fpLineLength) {
            data += device->fpLineLength;
            length -= device->fpLineLength;
        }
        const TcsResult decrypted = scsSensorDecryptFingerprint(device, data, &length);
        if (decrypted != TCS_RESULT_OK) {
            result = decrypted;
            break;
        }
        palListRemove(&entry->links);
        if (entry->fpCallback != nullptr) {
            entry->fpCallback(contextOf(entry), fpResultOf(scsTransferStatus(entry->transfer)), data, length, nullptr);
        }
        entry->ownsBuffer = 0;  // the data buffer is the poster's
        scsFreeDescriptorListEntry(entry);
    }
    scsUnlock(queue.lock);
    return result;
}

TcsResult scsSensorWaitForFpBufferQueueEmpty(ScsSensorDevice* device, uint32_t timeoutMs) {
    if (device == nullptr) return TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN;
    ScsDescriptorQueue& queue = device->queues[SCS_QUEUE_FP_BUFFER];
    const uint32_t start = palGetTickCount();
    for (;;) {
        scsProcessFpBuffersQueue(device);
        scsLock(queue.lock);
        const bool empty = palListIsEmpty(&queue.pending) && palListIsEmpty(&queue.completed);
        scsUnlock(queue.lock);
        if (empty) return TCS_RESULT_OK;
        if (uint32_t(elapsedSince(start)) >= timeoutMs) return TCS_RESULT_TIMEOUT;
        palSleep(1);
    }
}

TcsResult scsIsDeviceListEmpty(PalListEntry* deviceList) {
    if (deviceList == nullptr) return TCS_RESULT_NO_WORK_ITEMS;
    for (PalListEntry* node = deviceList->next; node != deviceList; node = node->next) {
        ScsSensorDevice* device = PAL_LIST_RECORD(node, ScsSensorDevice, links);
        const int queues[] = {SCS_QUEUE_REQUEST, SCS_QUEUE_REPLY, SCS_QUEUE_FP_BUFFER};
        for (int index : queues) {
            ScsDescriptorQueue& queue = device->queues[index];
            scsLock(queue.lock);
            const bool busy = !palListIsEmpty(&queue.pending);
            scsUnlock(queue.lock);
            if (busy) return TCS_RESULT_OK;
        }
    }
    return TCS_RESULT_NO_WORK_ITEMS;
}

TcsResult scsProcessTaskUntilCompleted(ScsSubsystem* subsystem, uint32_t type, ScsCallback callback, void* context) {
    if (subsystem == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    WorkList& list = subsystem->workList;
    WorkItem* found = nullptr;
    palCriticalSectionAcquire(list.listLock);
    for (PalListEntry* node = list.links.next; node != &list.links; node = node->next) {
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(node);
        if (item->type == type && scsWitCallback(item) == callback && scsWitContext(item) == context) {
            found = item;
            break;
        }
    }
    palCriticalSectionRelease(list.listLock);
    if (found == nullptr || type >= SCS_WIT_COUNT || gScsWitList[type].handler == nullptr) {
        return TCS_RESULT_BAD_PARAM;
    }
    TcsResult result = TCS_RESULT_OK;
    while (*scsWitState(found) != SCS_WIT_STATE_DONE) result = gScsWitList[type].handler(found);
    return result;
}

// --- The step ----------------------------------------------------------------------------------------------

TcsResult scsHasWorkToDo(ScsSubsystem* subsystem, uint32_t* waitMs) {
    // Under the device-list lock: the lists change on other threads too (freeing discovered devices).
    if (subsystem != nullptr && waitMs != nullptr && scsLock(subsystem->deviceListLock) == TCS_RESULT_OK) {
        if (!palListIsEmpty(&subsystem->initialisingDevices)) {
            *waitMs = 1;
        } else if (!palListIsEmpty(&subsystem->detachedDevices) || !palListIsEmpty(&subsystem->badDevices)) {
            if (*waitMs == 0 || *waitMs > 500) *waitMs = 500;
        }
        scsUnlock(subsystem->deviceListLock);
    }
    return TCS_RESULT_NO_WORK_ITEMS;
}

TcsResult scsSubsystemService(ScsSubsystem* subsystem, uint32_t budgetMs, uint32_t* waitMs) {
    if (subsystem == nullptr) return TCS_RESULT_NULL_SUBSYSTEM_HANDLE;
    const uint32_t deadline = palGetTickCount() + budgetMs;
    TcsResult result = TCS_RESULT_OK;
    uint32_t wait = 0;
    int counted = 0;
    for (;;) {
        const uint32_t phase = subsystem->phase;
        const int32_t remaining = int32_t(deadline - palGetTickCount());
        switch (phase) {
            case 0:
            case 1: result = palPnpSubsystemService(subsystem->pnp, nullptr); break;
            case 2: result = workItemPhase(subsystem, remaining, &wait); break;
            case 3: housekeeping(subsystem); break;
            case 4: devicePhase(subsystem, scsProcessRequestQueue, false); break;
            case 5: devicePhase(subsystem, scsProcessReplyQueue, false); break;
            case 6: devicePhase(subsystem, scsProcessEventsQueue, true); break;
            case 7: devicePhase(subsystem, scsProcessFpBuffersQueue, false); break;
            default: break;
        }
        if (phase <= 7) ++counted;
        // Phase 8 only wraps the rotation: the visit after it is phase 1.
        subsystem->phase = phase >= 8 ? 1 : phase + 1;
        if (int32_t(deadline - palGetTickCount()) <= 0 || counted >= 8) break;
    }
    if (result == TCS_RESULT_NO_WORK_ITEMS) result = scsHasWorkToDo(subsystem, &wait);
    if (waitMs != nullptr) *waitMs = wait;
    return result;
}

TcsResult scsSubsystemWaitForResponse(ScsSubsystem* subsystem, PalEvent* event, uint32_t timeoutMs) {
    if (subsystem == nullptr) return TCS_RESULT_NULL_POINTER;
    if ((subsystem->startFlags & SCS_START_NO_SERVICE_THREAD) == 0 && !scsIsServiceThread(subsystem)) {
        return palEventWaitFor(event, timeoutMs);
    }
    const uint32_t start = palGetTickCount();
    for (;;) {
        scsSubsystemService(subsystem, kPumpBudgetMs, nullptr);
        const TcsResult result = palEventWaitFor(event, kWaitPollMs);
        if (result != TCS_RESULT_TIMEOUT) return result;
        if (uint32_t(elapsedSince(start)) >= timeoutMs) return result;
    }
}
