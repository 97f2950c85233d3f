// Handle map: registers records under kinds and turns 64-bit handles back into records.
#include "tcs/handle_map.h"

#include "platform/memory.h"
#include "platform/threads.h"

#include <atomic>
#include <new>
#include <string.h>

namespace {

struct KindSlot {
    PalListEntry nodes;
    PalMutexHandle lock;
    HandleCleanup cleanup;
};

struct HandleMap {
    // Shared by all kinds; drawn atomically so creates on different kinds never share a value.
    std::atomic<uint32_t> lastHandle;
    KindSlot kinds[TCS_HANDLE_TYPE_COUNT];
};

HandleMap* gHandleMap = nullptr;

void freeObjectOnly(HandleNode* node) {
    palRealFree(node->object);
    node->object = nullptr;
}

HandleCleanup gCleanups[TCS_HANDLE_TYPE_COUNT] = {};

HandleOwnerDestroy gOwnerDestroys[TCS_HANDLE_TYPE_COUNT] = {};

HandleCleanup cleanupFor(HandleType kind) {
    return gCleanups[kind] != nullptr ? gCleanups[kind] : freeObjectOnly;
}

bool validKind(HandleType kind) { return kind < TCS_HANDLE_TYPE_COUNT; }

// Holds one kind's lock for a scope; acquired() is false when the lock could not be taken.
class KindLock {
public:
    explicit KindLock(KindSlot& slot) : slot_(slot), held_(palCriticalSectionAcquire(slot.lock) == TCS_RESULT_OK) {}
    ~KindLock() {
        if (held_) palCriticalSectionRelease(slot_.lock);
    }
    KindLock(const KindLock&) = delete;
    KindLock& operator=(const KindLock&) = delete;
    bool acquired() const { return held_; }

private:
    KindSlot& slot_;
    bool held_;
};

template <typename Match>
HandleNode* findNode(KindSlot& slot, Match match) {
    for (PalListEntry* e = slot.nodes.next; e != &slot.nodes; e = e->next) {
        HandleNode* node = PAL_LIST_RECORD(e, HandleNode, links);
        if (match(*node)) return node;
    }
    return nullptr;
}

// Unlinks and releases a node found under the held lock: the clean-up frees the object.
void destroyNode(KindSlot& slot, HandleNode* node) {
    palListRemove(&node->links);
    slot.cleanup(node);
    palRealFree(node);
}

void freeMap(HandleMap* map, int slotsWithLocks) {
    for (int k = 0; k < slotsWithLocks; ++k) palCriticalSectionFree(map->kinds[k].lock);
    map->~HandleMap();
    palRealFree(map);
}

}  // namespace

extern "C" {

TcsResult _tcsSafeHandleSetCleanup(HandleType kind, HandleCleanup cleanup) {
    if (!validKind(kind)) return TCS_RESULT_BAD_PARAM;
    gCleanups[kind] = cleanup;
    if (gHandleMap != nullptr) {
        KindSlot& slot = gHandleMap->kinds[kind];
        KindLock lock(slot);
        slot.cleanup = cleanupFor(kind);
    }
    return TCS_RESULT_OK;
}

TcsResult _tcsSafeHandleSetOwnerDestroy(HandleType kind, HandleOwnerDestroy destroy) {
    if (!validKind(kind)) return TCS_RESULT_BAD_PARAM;
    __atomic_store_n(&gOwnerDestroys[kind], destroy, __ATOMIC_RELEASE);
    return TCS_RESULT_OK;
}

TcsResult tcsSafeHandlesInitialize(void) {
    void* memory = palRealMalloc(sizeof(HandleMap));
    if (memory == nullptr) return TCS_RESULT_INVALID;
    memset(memory, 0, sizeof(HandleMap));
    HandleMap* map = new (memory) HandleMap;
    map->lastHandle.store(0);
    for (HandleType k = 0; k < TCS_HANDLE_TYPE_COUNT; ++k) {
        KindSlot& slot = map->kinds[k];
        palListInit(&slot.nodes);
        slot.cleanup = cleanupFor(k);
        TcsResult result = palCriticalSectionInitialize(&slot.lock);
        if (result != TCS_RESULT_OK) {
            freeMap(map, int(k));
            return result;
        }
    }
    gHandleMap = map;
    return TCS_RESULT_OK;
}

TcsResult tcsSafeHandlesUnInitialize(void) {
    if (gHandleMap == nullptr) return TCS_RESULT_OK;
    // Objects still registered belong to whoever forgot them; only the map itself goes.
    HandleMap* map = gHandleMap;
    gHandleMap = nullptr;
    for (KindSlot& slot : map->kinds) {
        for (PalListEntry* e = slot.nodes.next; e != &slot.nodes;) {
            PalListEntry* next = e->next;
            palRealFree(PAL_LIST_RECORD(e, HandleNode, links));
            e = next;
        }
    }
    freeMap(map, TCS_HANDLE_TYPE_COUNT);
    return TCS_RESULT_OK;
}

TcsResult _tcsSafeHandleCreate(void* object, HandleType kind, uint64_t* outHandle) {
    if (gHandleMap == nullptr) return TCS_RESULT_ERROR;
    if (outHandle == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outHandle = 0;
    if (!validKind(kind)) return TCS_RESULT_BAD_PARAM;
    auto* node = static_cast<HandleNode*>(palRealMalloc(sizeof(HandleNode)));
    if (node == nullptr) return TCS_RESULT_INVALID;
    memset(node, 0, sizeof *node);
    node->object = object;
    node->handle = uint64_t(gHandleMap->lastHandle.fetch_add(1) + 1);
    KindSlot& slot = gHandleMap->kinds[kind];
    KindLock lock(slot);
    if (!lock.acquired()) {
        palRealFree(node);
        return TCS_RESULT_INVALID;
    }
    palListInsertTail(&slot.nodes, &node->links);
    *outHandle = node->handle;
    return TCS_RESULT_OK;
}

TcsResult _tcsSafeHandleFetch(uint64_t handle, HandleType kind, void** outObject) {
    if (gHandleMap == nullptr) return TCS_RESULT_ERROR;
    if (outObject == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outObject = nullptr;
    if (handle == 0) return TCS_RESULT_INVALID_HANDLE;
    if (!validKind(kind)) return TCS_RESULT_BAD_PARAM;
    KindSlot& slot = gHandleMap->kinds[kind];
    KindLock lock(slot);
    if (!lock.acquired()) return TCS_RESULT_INVALID_HANDLE;
    if (HandleNode* node = findNode(slot, [&](const HandleNode& n) { return n.handle == handle; })) {
        *outObject = node->object;
    }
    return TCS_RESULT_OK;
}

TcsResult _tcsSafeHandleDestroy(uint64_t handle, HandleType kind) {
    if (gHandleMap == nullptr) return TCS_RESULT_ERROR;
    if (handle == 0) return TCS_RESULT_INVALID_HANDLE;
    if (!validKind(kind)) return TCS_RESULT_BAD_PARAM;
    KindSlot& slot = gHandleMap->kinds[kind];
    KindLock lock(slot);
    if (!lock.acquired()) return TCS_RESULT_INVALID_HANDLE;
    if (HandleNode* node = findNode(slot, [&](const HandleNode& n) { return n.handle == handle; })) {
        destroyNode(slot, node);
    }
    return TCS_RESULT_OK;
}

TcsResult tcsSafeHandleReverseFetch(void* object, HandleType kind, uint64_t* outHandle) {
    if (gHandleMap == nullptr) return TCS_RESULT_ERROR;
    if (outHandle == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    *outHandle = 0;
    if (!validKind(kind)) return TCS_RESULT_BAD_PARAM;
    KindSlot& slot = gHandleMap->kinds[kind];
    KindLock lock(slot);
    if (!lock.acquired()) return TCS_RESULT_INVALID_HANDLE;
    HandleNode* node = findNode(slot, [&](const HandleNode& n) { return n.object == object; });
    if (node == nullptr) return TCS_RESULT_INVALID_HANDLE;
    *outHandle = node->handle;
    return TCS_RESULT_OK;
}

TcsResult _tcsSafeHandleTypeGet(uint64_t handle, HandleType* outKind) {
    if (outKind == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    if (gHandleMap == nullptr) return TCS_RESULT_ERROR;
    if (handle == 0) return TCS_RESULT_INVALID_HANDLE;
    // One kind lock at a time, never two at once.
    for (HandleType k = 0; k < TCS_HANDLE_TYPE_COUNT; ++k) {
        KindSlot& slot = gHandleMap->kinds[k];
        KindLock lock(slot);
        if (!lock.acquired()) return TCS_RESULT_BAD_PARAM;
        if (findNode(slot, [&](const HandleNode& n) { return n.handle == handle; }) != nullptr) {
            *outKind = k;
            return TCS_RESULT_OK;
        }
    }
    return TCS_RESULT_BAD_PARAM;
}

TcsResult tcsSafeHandleFetch(uint64_t handle, void** outObject) {
    if (outObject == nullptr) return TCS_RESULT_NULL_HANDLE_POINTER;
    if (gHandleMap == nullptr) return TCS_RESULT_ERROR;
    *outObject = nullptr;
    HandleType kind;
    TcsResult result = _tcsSafeHandleTypeGet(handle, &kind);
    if (result != TCS_RESULT_OK) return result;
    return _tcsSafeHandleFetch(handle, kind, outObject);
}

TcsResult tcsSafeHandleDestroy(uint64_t handle) {
    if (handle == 0) return TCS_RESULT_INVALID_HANDLE;
    if (gHandleMap == nullptr) return TCS_RESULT_ERROR;
    HandleType kind;
    TcsResult result = _tcsSafeHandleTypeGet(handle, &kind);
    if (result != TCS_RESULT_OK) return result;
    return _tcsSafeHandleDestroy(handle, kind);
}

// A client or sensor released here used to be freed while still linked in the stack's lists, which
// then held a dangling entry: its owner now tears it down the way its own destroy does.
TcsResult tcsHandleDestroy(uint64_t handle) {
    if (handle == 0) return TCS_RESULT_INVALID_HANDLE;
    if (gHandleMap == nullptr) return TCS_RESULT_ERROR;
    HandleType kind;
    TcsResult result = _tcsSafeHandleTypeGet(handle, &kind);
    if (result != TCS_RESULT_OK) return result;
    HandleOwnerDestroy destroy = __atomic_load_n(&gOwnerDestroys[kind], __ATOMIC_ACQUIRE);
    if (destroy != nullptr) {
        void* object = nullptr;
        if (_tcsSafeHandleFetch(handle, kind, &object) == TCS_RESULT_OK && object != nullptr &&
            destroy(handle, object, &result) != 0) {
            return result;
        }
    }
    return _tcsSafeHandleDestroy(handle, kind);
}

TcsResult tcsSafeExHandleDestroy(void* object, HandleType kind) {
    if (object == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (gHandleMap == nullptr) return TCS_RESULT_ERROR;
    if (!validKind(kind)) return TCS_RESULT_BAD_PARAM;
    KindSlot& slot = gHandleMap->kinds[kind];
    KindLock lock(slot);
    if (!lock.acquired()) return TCS_RESULT_INVALID_HANDLE;
    if (HandleNode* node = findNode(slot, [&](const HandleNode& n) { return n.object == object; })) {
        destroyNode(slot, node);
    } else {
        palRealFree(object);
    }
    return TCS_RESULT_OK;
}

#define TCS_SAFE_HANDLE_KIND_OPS(Name, kind)                                                   \
    TcsResult tcsSafe##Name##HandleCreate(void* object, uint64_t* outHandle) {                 \
        return _tcsSafeHandleCreate(object, kind, outHandle);                                  \
    }                                                                                          \
    TcsResult tcsSafe##Name##HandleFetch(uint64_t handle, void** outObject) {                  \
        return _tcsSafeHandleFetch(handle, kind, outObject);                                   \
    }                                                                                          \
    TcsResult tcsSafe##Name##HandleDestroy(uint64_t handle) { return _tcsSafeHandleDestroy(handle, kind); }

TCS_SAFE_HANDLE_KIND_OPS(Client, TCS_HANDLE_TYPE_CLIENT)
TCS_SAFE_HANDLE_KIND_OPS(Sensor, TCS_HANDLE_TYPE_SENSOR)
TCS_SAFE_HANDLE_KIND_OPS(Matcher, TCS_HANDLE_TYPE_MATCHER)
TCS_SAFE_HANDLE_KIND_OPS(MatchResults, TCS_HANDLE_TYPE_MATCH_RESULTS)
TCS_SAFE_HANDLE_KIND_OPS(Image, TCS_HANDLE_TYPE_IMAGE)
TCS_SAFE_HANDLE_KIND_OPS(EnrollTemplate, TCS_HANDLE_TYPE_ENROLL_TEMPLATE)
TCS_SAFE_HANDLE_KIND_OPS(DB, TCS_HANDLE_TYPE_DATABASE)
TCS_SAFE_HANDLE_KIND_OPS(AppStorage, TCS_HANDLE_TYPE_APP_STORAGE)
TCS_SAFE_HANDLE_KIND_OPS(Storage, TCS_HANDLE_TYPE_STORAGE)
TCS_SAFE_HANDLE_KIND_OPS(User, TCS_HANDLE_TYPE_USER)
TCS_SAFE_HANDLE_KIND_OPS(DBTemplate, TCS_HANDLE_TYPE_DB_TEMPLATE)

#undef TCS_SAFE_HANDLE_KIND_OPS

}  // extern "C"
