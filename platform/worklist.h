// Work lists: locked queues of typed, timed work items with a wake event, one per owning subsystem.
#pragma once

#include "platform/list.h"
#include "platform/threads.h"
#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t WorkItemType;

// The one type the platform fixes; 67 to 69 count as plug-and-play items when placing a detach item.
#define PAL_WORK_ITEM_PNP_DETACH 67u

// Embedded at the start of its owner's record and initialised by the owner.
typedef struct WorkList {
    PalListEntry links;         // front is head.next
    PalMutexHandle listLock;    // recursive critical section guarding the links
    uint32_t sequence;          // number of the last item queued
    PalMutexHandle counterLock;
    PalEvent* wakeEvent;        // set after every insertion; may be NULL
    PalMutexHandle itemLock;    // every item keeps this field's address
} WorkList;

typedef struct WorkItem {
    PalListEntry links;
    WorkItemType type;
    uint32_t reserved1[2];
    uint32_t timerKind;   // 1: accurate tick, other: ordinary tick
    uint64_t parameter1;
    uint64_t parameter2;
    uint64_t reserved2;
    void* object;
    uint64_t reserved3[2];
    uint32_t baseTick;    // 0 until the clock is started
    uint32_t remainingMs;
    uint32_t reserved4;
    uint32_t sequence;    // the first item of a list gets 1
    uint32_t cancelled;
    uint32_t cancelReason;
    PalMutexHandle* itemLock;
} WorkItem;

// The record holding a list entry of a work list.
#define PAL_WORK_ITEM_FROM_LINKS(entry) PAL_LIST_RECORD(entry, WorkItem, links)

typedef uint32_t (*WorkItemPredicate)(WorkItem* queued, WorkItemType type, void* object, uint64_t parameter1,
                                      uint64_t parameter2);
// Returns 1 to stop the walk; may unlink and free the item it is given.
typedef uint32_t (*WorkItemVisitor)(WorkItem* item, void* context);

// Owner helpers: make and release the list's locks; wakeEvent stays the owner's.
TcsResult palWorkListInitialize(WorkList* list, PalEvent* wakeEvent);
void palWorkListUninitialize(WorkList* list);

// lockFlag 1 takes the list lock here; any other value: the caller holds it. 7 when the item cannot
// be made or the lock not taken.
TcsResult palWorkItemEnqueue(WorkList* list, WorkItemType type, uint32_t timeoutMs, void* object, uint64_t parameter1,
                             uint64_t parameter2, uint32_t lockFlag, uint32_t* outSequence);
TcsResult palWorkItemEnqueueHead(WorkList* list, WorkItemType type, uint32_t timeoutMs, void* object,
                                 uint64_t parameter1, uint64_t parameter2, uint32_t lockFlag, uint32_t* outSequence);
// 46 when the predicate returns 1 for a queued item (nothing queued); 17 for a NULL predicate.
TcsResult palWorkItemEnumEnqueueConditional(WorkList* list, WorkItemType type, uint32_t timeoutMs, void* object,
                                            uint64_t parameter1, uint64_t parameter2, uint32_t lockFlag,
                                            uint32_t* outSequence, WorkItemPredicate predicate);
// Type 67, placed directly behind the first queued item that is not of types 67-69, else at the tail.
TcsResult palEnqueuePnpDetachWorkItem(WorkList* list, uint32_t timeoutMs, void* object, uint32_t* outSequence);
// Unlinks and returns the first item of the type; NULL when none.
WorkItem* palWorkItemGet(WorkList* list, uint32_t lockFlag, WorkItemType type);
// Marks the queued item with the number cancelled (it stays queued); 0 also when none has it.
TcsResult palWorkItemCancel(WorkList* list, uint32_t reason, uint32_t lockFlag, uint32_t sequence);
TcsResult palWorkListCallForEach(WorkList* list, uint32_t lockFlag, WorkItemVisitor visitor, void* context);
TcsResult palWorkItemSetTimeout(WorkItem* item, uint32_t ms, uint32_t timerKind);
// 1 once the time has run out; each test consumes the time since the previous one.
uint32_t palWorkItemIsTimeout(WorkItem* item);
TcsResult palWorkItemDestroy(WorkItem* item);
void DbgDumpWorkItem(WorkItem* item);

#ifdef __cplusplus
}
#endif
