// Core work items 10 and 11: preparing the stack for a system suspend (stop captures, let the sensors
// settle, hand over to sensor control) and for the resume after it.
#include "tcs/core.h"

#include "platform/clock.h"
#include "platform/memory.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/engine/scs_internal.h"

namespace {

constexpr uint32_t kSettleLimitMs = 999;
constexpr uint32_t kGetVersionWitId = 1;
// Sensor control writes this into the caller's item before it reports item 70's completion.
constexpr uint32_t kSuspendDoneMark = 113;

enum Step : uint32_t {
    kRebuildList = 0,
    kAbortCaptures = 1,
    kAwaitAborts = 2,
    kQueryVersions = 3,
    kAwaitVersions = 4,
    kHandOver = 5,
    kAwaitHandOver = 6,
    kReport = 7,
};

// One round of abort or get-version requests. Their completions may come after the machine gave up
// waiting (999 ms) or after the item was dropped by a caller that timed out: either forsakes the
// round, whose completions then leave the item alone, and the last of them frees it. They learn it
// from the round, not from the core work list: version replies come while sensor control holds its
// device-list lock, which the core's handlers take under the work-list lock.
struct Round {
    WorkItem* item;
    uint32_t outstanding;
    bool forsaken;
    bool sending;  // set while the round's requests go out: the item is off the list meanwhile
};

// The item's first spare word keeps the current round.
Round* roundOf(const WorkItem* item) { return reinterpret_cast<Round*>(uintptr_t(item->reserved3[0])); }
void setRound(WorkItem* item, Round* round) { item->reserved3[0] = uint64_t(uintptr_t(round)); }

// Leaves the current round: freed when nothing is outstanding, else left to its late completions.
void leaveRound(WorkItem* item) {
    Round* round = roundOf(item);
    setRound(item, nullptr);
    if (round == nullptr) return;
    if (round->outstanding == 0) {
        palRealFree(round);
    } else {
        round->forsaken = true;
    }
}

TcsResult roundCompleted(void*, TcsResult, void* context) {
    auto* round = static_cast<Round*>(context);
    if (round->outstanding > 0) --round->outstanding;
    if (round->sending) return TCS_RESULT_OK;
    if (round->forsaken) {
        if (round->outstanding == 0) palRealFree(round);
        return TCS_RESULT_OK;
    }
    // At 0 the waiting step moves straight on to the hand-over.
    if (round->outstanding == 0) {
        uint32_t& step = *tcsItemStep(round->item);
        if (step == 2 || step == 4) step = 5;
    }
    return TCS_RESULT_OK;
}

TcsResult versionReply(ScsReplyView*, TcsResult result, void* round) { return roundCompleted(nullptr, result, round); }

TcsResult handOverDone(void*, TcsResult result, void* item) { return tcsPrepareForSuspendStep(nullptr, result, item); }

// Starts a round: runs send(sensor, round) for every open sensor under the client-list lock and
// each sensor-list lock, counting the requests that were queued.
template <typename Send>
void startRound(CoreSubsystem* stack, WorkItem* item, Send send) {
    auto* round = static_cast<Round*>(palRealMalloc(sizeof(Round)));
    if (round == nullptr) return;  // nothing sent: the wait ends on the next visit
    *round = Round{item, 0, false, true};
    setRound(item, round);
    if (palCriticalSectionAcquire(stack->clientLock) != TCS_RESULT_OK) {
        round->sending = false;
        return;
    }
    for (PalListEntry* c = stack->clients.next; c != &stack->clients; c = c->next) {
        auto* client = PAL_LIST_RECORD(c, ClientRecord, links);
        if (palCriticalSectionAcquire(client->sensorLock) != TCS_RESULT_OK) continue;
        for (PalListEntry* s = client->sensors.next; s != &client->sensors; s = s->next) {
            // Counted before the send: a request run at once completes inside it.
            ++round->outstanding;
            if (!send(PAL_LIST_RECORD(s, SensorRecord, links), round)) --round->outstanding;
        }
        palCriticalSectionRelease(client->sensorLock);
    }
    palCriticalSectionRelease(stack->clientLock);
    round->sending = false;
}

uint32_t outstanding(WorkItem* item) { return roundOf(item) != nullptr ? roundOf(item)->outstanding : 0; }

bool settleTimedOut(WorkItem* item) { return uint32_t(palGetTickCount() - item->baseTick) > kSettleLimitMs; }

}  // namespace

extern "C" {

TcsResult tcsPrepareForSuspendStep(void* value, TcsResult status, void* itemArgument) {
    (void)value;
    auto* item = static_cast<WorkItem*>(itemArgument);
    auto* stack = static_cast<CoreSubsystem*>(item->object);
    uint32_t& step = *tcsItemStep(item);
    const bool visit = status == TCS_RESULT_SERVICE;
    if (!visit) {
        // Only item 70's completion comes here; sensor control marks it in the item first.
        if (step == kAwaitHandOver && item->remainingMs == kSuspendDoneMark) {
            tcsItemSetResult(item, status);
            step = kReport;
        }
        return TCS_RESULT_OK;
    }
    for (;;) {
        switch (step) {
            case kRebuildList:
                item->remainingMs = 0;  // held the queueing time-out until now
                scsUpdateAvailableDeviceList(stack->sensorControl);
                step = kAbortCaptures;
                break;
            case kAbortCaptures:
                if (idsIsGetPrintTaskInWorkList(stack->imaging) != 1) {
                    step = kQueryVersions;
                    break;
                }
                startRound(stack, item, [](SensorRecord* sensor, Round* round) {
                    scsSensorDisableSSLAlerts(sensor->sensorControlSensor, 1);
                    return idsSensorSendAbortFingerprint(sensor->imagingSensor, roundCompleted, round) == TCS_RESULT_OK;
                });
                item->baseTick = palGetTickCount();
                step = kAwaitAborts;
                return TCS_RESULT_OK;
            case kAwaitAborts:
                if (outstanding(item) == 0) {
                    leaveRound(item);
                    step = kQueryVersions;
                    break;
                }
                if (!settleTimedOut(item)) return TCS_RESULT_OK;
                // Image acquisition keeps no list the core can reach yet: its abort item ends by its own time-out.
                leaveRound(item);
                step = kHandOver;
                break;
            case kQueryVersions:
                startRound(stack, item, [](SensorRecord* sensor, Round* round) {
                    scsSensorDisableSSLAlerts(sensor->sensorControlSensor, 1);
                    ScsWitRequest request{};
                    request.witId = kGetVersionWitId;
                    request.replyCallback = versionReply;
                    request.context = round;
                    return scsSensorSendCommand(sensor->sensorControlSensor, &request) == TCS_RESULT_OK;
                });
                item->baseTick = palGetTickCount();
                step = kAwaitVersions;
                return TCS_RESULT_OK;
            case kAwaitVersions:
                if (outstanding(item) != 0 && !settleTimedOut(item)) return TCS_RESULT_OK;
                leaveRound(item);
                step = kHandOver;
                break;
            case kHandOver: {
                leaveRound(item);  // a round whose last completion moved the machine on
                step = kAwaitHandOver;
                const TcsResult sent = scsSendPrepareForSuspend(stack->sensorControl, handOverDone, item);
                if (sent == TCS_RESULT_OK) return TCS_RESULT_OK;
                tcsItemSetResult(item, sent);
                step = kReport;
                break;
            }
            case kAwaitHandOver:
                return TCS_RESULT_OK;
            default: {  // kReport
                CompletionCallback callback = tcsItemCallback(item);
                if (callback != nullptr) callback(stack, tcsItemResult(item), tcsItemContext(item));
                *tcsItemState(item) = TCS_ITEM_DONE;
                return TCS_RESULT_OK;
            }
        }
    }
}

void tcsPrepareForSuspendDiscard(WorkItem* item) { leaveRound(item); }

TcsResult tcsPrepareForResumeItem(WorkItem* item) {
    auto* stack = static_cast<CoreSubsystem*>(item->object);
    const TcsResult result = scsPrepareForResume(stack->sensorControl);
    palEventSet(stack->workList.wakeEvent);
    tcsItemSetResult(item, result);
    CompletionCallback callback = tcsItemCallback(item);
    if (callback != nullptr) callback(stack, result, tcsItemContext(item));
    *tcsItemState(item) = TCS_ITEM_DONE;
    return result;
}

}  // extern "C"
