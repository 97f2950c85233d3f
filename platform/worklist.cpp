// Work lists: locked queues of typed, timed work items with a wake event, one per owning subsystem.

#include "platform/worklist.h"

#include "platform/clock.h"
#include "platform/memory.h"

#include <cstring>
#include <initializer_list>

namespace {

bool isPnpItem(WorkItemType type) { return type >= 67 && type <= 69; }

// Takes the list lock only when the caller asked for it (lock flag 1).
class ListHold {
public:
    ListHold(WorkList* list, uint32_t lockFlag) : list_(list), taken_(false) {
        if (lockFlag != 1) {
            result_ = TCS_RESULT_OK;
            return;
        }
        result_ = palCriticalSectionAcquire(list->listLock);
        taken_ = result_ == TCS_RESULT_OK;
    }
    ~ListHold() { release(); }
    ListHold(const ListHold&) = delete;
    ListHold& operator=(const ListHold&) = delete;
    bool ok() const { return result_ == TCS_RESULT_OK; }
    TcsResult result() const { return result_; }
    void release() {
        if (taken_) palCriticalSectionRelease(list_->listLock);
        taken_ = false;
    }

private:
    WorkList* list_;
    bool taken_;
    TcsResult result_;
};

WorkItem* makeItem(WorkList* list, WorkItemType type, uint32_t timeoutMs, void* object, uint64_t parameter1,
                   uint64_t parameter2) {
    auto* item = static_cast<WorkItem*>(palRealMalloc(sizeof(WorkItem)));
    if (item == nullptr) return nullptr;
    std::memset(item, 0, sizeof(*item));
    item->type = type;
    item->parameter1 = parameter1;
    item->parameter2 = parameter2;
    item->object = object;
    item->remainingMs = timeoutMs;
    item->itemLock = &list->itemLock;
    return item;
}

// The counter lock is taken and released before the list lock is taken.
bool numberItem(WorkList* list, WorkItem* item) {
    if (palCriticalSectionAcquire(list->counterLock) != TCS_RESULT_OK) return false;
    item->sequence = ++list->sequence;
    palCriticalSectionRelease(list->counterLock);
    return true;
}

void wake(WorkList* list) {
    if (list->wakeEvent != nullptr) palEventSet(list->wakeEvent);
}

enum class Place { Tail, Head };

TcsResult enqueue(WorkList* list, WorkItemType type, uint32_t timeoutMs, void* object, uint64_t parameter1,
                  uint64_t parameter2, uint32_t lockFlag, uint32_t* outSequence, Place place) {
    if (list == nullptr) return TCS_RESULT_BAD_PARAM;
    WorkItem* item = makeItem(list, type, timeoutMs, object, parameter1, parameter2);
    if (item == nullptr) return TCS_RESULT_INVALID;
    if (!numberItem(list, item)) {
        palRealFree(item);
        return TCS_RESULT_INVALID;
    }
    ListHold hold(list, lockFlag);
    if (!hold.ok()) {
        palRealFree(item);
        return TCS_RESULT_INVALID;
    }
    if (place == Place::Tail) {
        palListInsertTail(&list->links, &item->links);
    } else {
        palListInsertHead(&list->links, &item->links);
    }
    if (outSequence != nullptr) *outSequence = item->sequence;
    hold.release();
    wake(list);
    return TCS_RESULT_OK;
}

uint32_t tickFor(uint32_t timerKind) { return timerKind == 1 ? palGetAccurateTickCount() : palGetTickCount(); }

}  // namespace

extern "C" {

TcsResult palWorkListInitialize(WorkList* list, PalEvent* wakeEvent) {
    if (list == nullptr) return TCS_RESULT_BAD_PARAM;
    std::memset(list, 0, sizeof(*list));
    palListInit(&list->links);
    palCriticalSectionInitialize(&list->listLock);
    palCriticalSectionInitialize(&list->counterLock);
    palCriticalSectionInitialize(&list->itemLock);
    list->wakeEvent = wakeEvent;
    if (list->listLock == nullptr || list->counterLock == nullptr || list->itemLock == nullptr) {
        palWorkListUninitialize(list);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    return TCS_RESULT_OK;
}

void palWorkListUninitialize(WorkList* list) {
    if (list == nullptr) return;
    for (PalMutexHandle* lock : {&list->listLock, &list->counterLock, &list->itemLock}) {
        if (*lock != nullptr) palCriticalSectionFree(*lock);
        *lock = nullptr;
    }
}

TcsResult palWorkItemEnqueue(WorkList* list, WorkItemType type, uint32_t timeoutMs, void* object, uint64_t parameter1,
                             uint64_t parameter2, uint32_t lockFlag, uint32_t* outSequence) {
    return enqueue(list, type, timeoutMs, object, parameter1, parameter2, lockFlag, outSequence, Place::Tail);
}

TcsResult palWorkItemEnqueueHead(WorkList* list, WorkItemType type, uint32_t timeoutMs, void* object,
                                 uint64_t parameter1, uint64_t parameter2, uint32_t lockFlag, uint32_t* outSequence) {
    return enqueue(list, type, timeoutMs, object, parameter1, parameter2, lockFlag, outSequence, Place::Head);
}

TcsResult palWorkItemEnumEnqueueConditional(WorkList* list, WorkItemType type, uint32_t timeoutMs, void* object,
                                            uint64_t parameter1, uint64_t parameter2, uint32_t lockFlag,
                                            uint32_t* outSequence, WorkItemPredicate predicate) {
    if (list == nullptr || predicate == nullptr) return TCS_RESULT_BAD_PARAM;
    WorkItem* item = makeItem(list, type, timeoutMs, object, parameter1, parameter2);
    if (item == nullptr) return TCS_RESULT_INVALID;
    if (!numberItem(list, item)) {
        palRealFree(item);
        return TCS_RESULT_INVALID;
    }
    // The test over the queued items and the insertion happen under one hold of the list lock.
    ListHold hold(list, lockFlag);
    if (!hold.ok()) {
        palRealFree(item);
        return TCS_RESULT_INVALID;
    }
    for (PalListEntry* e = list->links.next; e != &list->links; e = e->next) {
        if (predicate(PAL_WORK_ITEM_FROM_LINKS(e), type, object, parameter1, parameter2) == 1) {
            palRealFree(item);
            return TCS_RESULT_SENSOR_BUSY;
        }
    }
    palListInsertTail(&list->links, &item->links);
    if (outSequence != nullptr) *outSequence = item->sequence;
    hold.release();
    wake(list);
    return TCS_RESULT_OK;
}

TcsResult palEnqueuePnpDetachWorkItem(WorkList* list, uint32_t timeoutMs, void* object, uint32_t* outSequence) {
    if (list == nullptr) return TCS_RESULT_BAD_PARAM;
    WorkItem* item = makeItem(list, PAL_WORK_ITEM_PNP_DETACH, timeoutMs, object, 0, 0);
    if (item == nullptr) return TCS_RESULT_INVALID;
    if (!numberItem(list, item)) {
        palRealFree(item);
        return TCS_RESULT_INVALID;
    }
    ListHold hold(list, 1);
    if (!hold.ok()) {
        palRealFree(item);
        return TCS_RESULT_INVALID;
    }
    // Directly behind the first item that is not a plug-and-play item, so that item (possibly the one
    // in progress at the front) keeps its place; at the tail when there is none.
    PalListEntry* position = list->links.prev;
    for (PalListEntry* e = list->links.next; e != &list->links; e = e->next) {
        if (!isPnpItem(PAL_WORK_ITEM_FROM_LINKS(e)->type)) {
            position = e;
            break;
        }
    }
    palListInsertAfter(position, &item->links);
    if (outSequence != nullptr) *outSequence = item->sequence;
    wake(list);  // set while the lock is still held
    return TCS_RESULT_OK;
}

WorkItem* palWorkItemGet(WorkList* list, uint32_t lockFlag, WorkItemType type) {
    if (list == nullptr) return nullptr;
    ListHold hold(list, lockFlag);
    if (!hold.ok()) return nullptr;
    for (PalListEntry* e = list->links.next; e != &list->links; e = e->next) {
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(e);
        if (item->type == type) {
            palListRemove(e);
            return item;
        }
    }
    return nullptr;
}

TcsResult palWorkItemCancel(WorkList* list, uint32_t reason, uint32_t lockFlag, uint32_t sequence) {
    if (list == nullptr) return TCS_RESULT_BAD_PARAM;
    ListHold hold(list, lockFlag);
    if (!hold.ok()) return TCS_RESULT_INVALID;
    for (PalListEntry* e = list->links.next; e != &list->links; e = e->next) {
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(e);
        if (item->sequence == sequence) {
            item->cancelled = 1;
            item->cancelReason = reason;
            break;
        }
    }
    return TCS_RESULT_OK;
}

TcsResult palWorkListCallForEach(WorkList* list, uint32_t lockFlag, WorkItemVisitor visitor, void* context) {
    if (list == nullptr || visitor == nullptr) return TCS_RESULT_BAD_PARAM;
    ListHold hold(list, lockFlag);
    if (!hold.ok()) return hold.result();
    for (PalListEntry* e = list->links.next; e != &list->links;) {
        PalListEntry* next = e->next;  // read first: the visitor may unlink and free its item
        if (visitor(PAL_WORK_ITEM_FROM_LINKS(e), context) == 1) break;
        e = next;
    }
    return TCS_RESULT_OK;
}

TcsResult palWorkItemSetTimeout(WorkItem* item, uint32_t ms, uint32_t timerKind) {
    if (item == nullptr) return TCS_RESULT_BAD_PARAM;
    item->timerKind = timerKind;
    item->baseTick = tickFor(timerKind);
    item->remainingMs = ms;
    return TCS_RESULT_OK;
}

uint32_t palWorkItemIsTimeout(WorkItem* item) {
    if (item == nullptr) return 0;
    uint32_t now = tickFor(item->timerKind);
    // Wrapping subtraction: a tick wrap between two tests does not end a wait early.
    uint32_t elapsed = now - item->baseTick;
    if (elapsed >= item->remainingMs) {
        item->remainingMs = 0;
        return 1;
    }
    item->remainingMs -= elapsed;
    item->baseTick = now;
    return 0;
}

TcsResult palWorkItemDestroy(WorkItem* item) {
    if (item == nullptr) return TCS_RESULT_INVALID;
    palRealFree(item);
    return TCS_RESULT_OK;
}

void DbgDumpWorkItem(WorkItem*) {}

}  // extern "C"
