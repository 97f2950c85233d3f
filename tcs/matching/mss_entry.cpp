// Matching service entry points: start-up makes the subsystem's work list and locks, shut-down frees
// them, and the service step finds no work until the matching service takes their place.
#include "tcs/matching/mss.h"

#include "platform/memory.h"

#include <cstring>

extern "C" {

TcsResult mssSubsystemStartup(MssSubsystem** outSubsystem, PalEvent* wakeEvent) {
    if (outSubsystem == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outSubsystem = nullptr;
    auto* subsystem = static_cast<MssSubsystem*>(palRealMalloc(sizeof(MssSubsystem)));
    if (subsystem == nullptr) return TCS_RESULT_INVALID;
    std::memset(subsystem, 0, sizeof(*subsystem));
    TcsResult result = palWorkListInitialize(&subsystem->workList, wakeEvent);
    if (result == TCS_RESULT_OK) result = palCriticalSectionInitialize(&subsystem->matcherLock);
    if (result == TCS_RESULT_OK) result = palCriticalSectionInitialize(&subsystem->resultLock);
    if (result != TCS_RESULT_OK) {
        mssSubsystemShutdown(subsystem);
        return result;
    }
    *outSubsystem = subsystem;
    return TCS_RESULT_OK;
}

TcsResult mssSubsystemShutdown(MssSubsystem* subsystem) {
    if (subsystem == nullptr) return TCS_RESULT_INVALID_HANDLE;
    // Nothing runs the list yet: items queued for it (matcher closes) are dropped with their requests.
    while (!palListIsEmpty(&subsystem->workList.links)) {
        WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(subsystem->workList.links.next);
        palListRemove(&item->links);
        if (item->type == MSS_WORK_ITEM_CLOSE_MATCHER) palRealFree(item->object);
        palWorkItemDestroy(item);
    }
    if (subsystem->matcherLock != nullptr) palCriticalSectionFree(subsystem->matcherLock);
    if (subsystem->resultLock != nullptr) palCriticalSectionFree(subsystem->resultLock);
    palWorkListUninitialize(&subsystem->workList);
    palRealFree(subsystem);
    return TCS_RESULT_OK;
}

TcsResult mssSubsystemService(MssSubsystem* subsystem, uint32_t, uint32_t* nextWaitMs) {
    if (nextWaitMs != nullptr) *nextWaitMs = 0;
    if (subsystem == nullptr) return TCS_RESULT_INVALID_HANDLE;
    return TCS_RESULT_NO_WORK_ITEMS;
}

}  // extern "C"
