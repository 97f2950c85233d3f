// Wait records of the synchronous twins (client create and destroy, sensor open and close).
//
// The record lives on the heap and has two owners, the waiting caller and the completion callback.
// Each gives up its share with an atomic decrement and the last one frees it, so a completion that
// arrives after the caller timed out writes into live memory instead of a dead stack frame.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#include <atomic>
#include <new>

namespace scs {

struct SyncWait {
    std::atomic<int> owners{2};
    PalEvent* event = nullptr;
    TcsResult status = TCS_RESULT_INVALID;
    void* object = nullptr;
};

// NULL when the record or its event cannot be made.
inline SyncWait* syncWaitCreate() {
    void* memory = palRealMalloc(sizeof(SyncWait));
    if (memory == nullptr) return nullptr;
    auto* wait = new (memory) SyncWait();
    wait->event = palEventAlloc(1, 0, nullptr);
    if (wait->event == nullptr) {
        wait->~SyncWait();
        palRealFree(memory);
        return nullptr;
    }
    return wait;
}

inline void syncWaitRelease(SyncWait* wait) {
    if (wait->owners.fetch_sub(1) == 1) {
        palEventFree(wait->event);
        wait->~SyncWait();
        palRealFree(wait);
    }
}

// The completion side: record the outcome, wake the caller, give up the callback's share.
inline TcsResult syncWaitComplete(void* object, TcsResult status, void* context) {
    auto* wait = static_cast<SyncWait*>(context);
    if (wait == nullptr) return TCS_RESULT_NULL_POINTER;
    wait->object = object;
    wait->status = status;
    palEventSet(wait->event);
    syncWaitRelease(wait);
    return TCS_RESULT_OK;
}

}  // namespace scs
