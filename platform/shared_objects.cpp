// Counting semaphores and shared-memory segments as System V objects reached through key files.

#include "platform/threads.h"

#include "platform/detail/ipc_keys.h"

#include <cerrno>
#include <ctime>
#include <new>
#include <sys/sem.h>
#include <sys/shm.h>

struct PalSharedObject {
    pal::detail::KeyFile keyFile;
    uint32_t systemId;
};

namespace {

// Every process that opened a name frees its own opening, but only the first removal finds the
// object: a later one that finds it already gone still releases its handle and key file, which
// would otherwise leak in every opening but one.
bool removedOrGone(int removal) { return removal == 0 || errno == EINVAL || errno == EIDRM; }

void release(PalSharedObject* object) {
    pal::detail::removeKeyFile(&object->keyFile);
    delete object;
}

PalSharedObject* makeSemaphore(const char* name, uint32_t initialCount) {
    auto* object = new (std::nothrow) PalSharedObject{};
    if (object == nullptr) return nullptr;
    if (!pal::detail::openKeyFile(name, &object->keyFile)) {
        delete object;
        return nullptr;
    }
    int set = pal::detail::semaphoreSetFor(object->keyFile.key);
    // The count is set again also when the set already existed.
    if (set < 0 || semctl(set, 0, SETVAL, int(initialCount)) != 0) {
        pal::detail::removeKeyFile(&object->keyFile);
        delete object;
        return nullptr;
    }
    object->systemId = uint32_t(set);
    return object;
}

PalSharedObject* makeSegment(const char* name, uint32_t size) {
    auto* object = new (std::nothrow) PalSharedObject{};
    if (object == nullptr) return nullptr;
    if (!pal::detail::openKeyFile(name, &object->keyFile)) {
        delete object;
        return nullptr;
    }
    int segment = pal::detail::segmentFor(object->keyFile.key, size);
    if (segment < 0) {
        pal::detail::removeKeyFile(&object->keyFile);
        delete object;
        return nullptr;
    }
    object->systemId = uint32_t(segment);
    return object;
}

}  // namespace

extern "C" {

PalSharedObject* palSemaphoreAlloc(const char* name, uint32_t initialCount) {
    return makeSemaphore(name, initialCount);
}

PalSharedObject* palSemaphoreOpen(const char* name, uint32_t initialCount) {
    return makeSemaphore(name, initialCount);
}

TcsResult palSemaphoreAcquire(PalSharedObject* semaphore, uint32_t ms) {
    if (semaphore == nullptr) return TCS_RESULT_INVALID_HANDLE;
    // With the undo flag the system gives the count back if this process dies holding it.
    sembuf take{0, -1, SEM_UNDO};
    int done;
    if (ms == PAL_INFINITE) {
        do {
            done = semop(int(semaphore->systemId), &take, 1);
        } while (done != 0 && errno == EINTR);
    } else {
        timespec limit{time_t(ms / 1000), long(ms % 1000) * 1000000L};
        done = semtimedop(int(semaphore->systemId), &take, 1, &limit);
    }
    if (done == 0) return TCS_RESULT_OK;
    if (errno == EAGAIN) return TCS_RESULT_TIMEOUT;
    if (errno == EINVAL || errno == EIDRM) return TCS_RESULT_INVALID_HANDLE;
    return TCS_RESULT_UNKNOWN_STATUS;
}

TcsResult palSemaphoreRelease(PalSharedObject* semaphore) {
    if (semaphore == nullptr) return TCS_RESULT_INVALID_HANDLE;
    // No undo flag here, unlike the acquire: counts are handed between processes (one acquires,
    // another releases), and an undone release would take the count back when its process exits.
    // An acquire's adjustment therefore stays with its process until that process exits.
    sembuf give{0, 1, 0};
    return semop(int(semaphore->systemId), &give, 1) == 0 ? TCS_RESULT_OK : TCS_RESULT_INVALID;
}

TcsResult palSemaphoreFree(PalSharedObject* semaphore) {
    if (semaphore == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (!removedOrGone(semctl(int(semaphore->systemId), 0, IPC_RMID))) return TCS_RESULT_INVALID;
    release(semaphore);
    return TCS_RESULT_OK;
}

PalSharedObject* palSharedMemoryAlloc(const char* name, uint32_t size) { return makeSegment(name, size); }

PalSharedObject* palSharedMemoryOpen(const char* name, uint32_t size) { return makeSegment(name, size); }

void* palSharedMemoryPointerGet(PalSharedObject* segment) {
    if (segment == nullptr) return nullptr;
    void* address = shmat(int(segment->systemId), nullptr, SHM_RND);
    return address == reinterpret_cast<void*>(-1) ? nullptr : address;
}

TcsResult palSharedMemoryPointerRelease(void* address) {
    if (address == nullptr) return TCS_RESULT_INVALID_HANDLE;
    return shmdt(address) == 0 ? TCS_RESULT_OK : TCS_RESULT_INVALID;
}

TcsResult palSharedMemoryFree(PalSharedObject* segment) {
    if (segment == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (!removedOrGone(shmctl(int(segment->systemId), IPC_RMID, nullptr))) return TCS_RESULT_INVALID;
    release(segment);
    return TCS_RESULT_OK;
}

}  // extern "C"
