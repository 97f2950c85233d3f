// Events: unnamed ones live in the process (mutex and condition), named ones are System V semaphore sets.

#include "platform/threads.h"

#include "platform/detail/ipc_keys.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <pthread.h>
#include <sys/sem.h>
#include <sys/time.h>

struct PalEvent {
    char* name;  // own copy; NULL for an unnamed event
    uint32_t signalled;
    uint32_t manualReset;
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    uint32_t semaphoreSet;  // all ones for an unnamed event
    pal::detail::KeyFile keyFile;
};

namespace {

constexpr uint32_t kNoSet = 0xFFFFFFFFu;

bool semaphoreStep(int set, short delta, short flags) {
    sembuf op{0, delta, flags};
    return semop(set, &op, 1) == 0;
}

PalEvent* makeUnnamed(uint32_t manualReset, uint32_t initialState) {
    auto* event = new (std::nothrow) PalEvent{};
    if (event == nullptr) return nullptr;
    event->semaphoreSet = kNoSet;
    event->manualReset = manualReset;
    event->signalled = initialState != 0 ? 1 : 0;
    if (pthread_mutex_init(&event->mutex, nullptr) != 0) {
        delete event;
        return nullptr;
    }
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    int failed = pthread_cond_init(&event->condition, &attributes);
    pthread_condattr_destroy(&attributes);
    if (failed != 0) {
        pthread_mutex_destroy(&event->mutex);
        delete event;
        return nullptr;
    }
    return event;
}

PalEvent* makeNamed(uint32_t manualReset, uint32_t initialState, const char* name) {
    auto* event = new (std::nothrow) PalEvent{};
    if (event == nullptr) return nullptr;
    event->manualReset = manualReset;
    event->name = strdup(name);
    if (event->name == nullptr || !pal::detail::openKeyFile(name, &event->keyFile)) {
        std::free(event->name);
        delete event;
        return nullptr;
    }
    int set = pal::detail::semaphoreSetFor(event->keyFile.key);
    if (set < 0 || (initialState != 0 && semctl(set, 0, SETVAL, 1) != 0)) {
        pal::detail::removeKeyFile(&event->keyFile);
        std::free(event->name);
        delete event;
        return nullptr;
    }
    event->semaphoreSet = uint32_t(set);
    event->signalled = initialState != 0 ? 1 : 0;
    return event;
}

void unlockEventMutex(void* mutex) { pthread_mutex_unlock(static_cast<pthread_mutex_t*>(mutex)); }

TcsResult waitUnnamed(PalEvent* event, uint32_t ms) {
    if (pthread_mutex_lock(&event->mutex) != 0) return TCS_RESULT_INVALID_HANDLE;
    TcsResult result = TCS_RESULT_OK;
    // A thread cancelled (palThreadKill) inside the condition wait must not leave the event locked for
    // every later set or free.
    pthread_cleanup_push(unlockEventMutex, &event->mutex);
    if (event->signalled == 0) {
        if (ms == 0) {
            result = TCS_RESULT_TIMEOUT;
        } else if (ms == PAL_INFINITE) {
            while (event->signalled == 0) {
                if (pthread_cond_wait(&event->condition, &event->mutex) != 0) {
                    result = TCS_RESULT_WAIT_FAILURE;
                    break;
                }
            }
        } else {
            timespec deadline{};
            clock_gettime(CLOCK_MONOTONIC, &deadline);
            deadline.tv_sec += ms / 1000;
            deadline.tv_nsec += long(ms % 1000) * 1000000L;
            if (deadline.tv_nsec > 999999999L) {
                deadline.tv_sec += 1;
                deadline.tv_nsec -= 1000000000L;
            }
            while (event->signalled == 0) {
                int error = pthread_cond_timedwait(&event->condition, &event->mutex, &deadline);
                if (error == ETIMEDOUT) {
                    result = TCS_RESULT_TIMEOUT;
                    break;
                }
                if (error != 0) {
                    result = TCS_RESULT_UNKNOWN_STATUS;
                    break;
                }
            }
        }
    }
    if (result == TCS_RESULT_OK && event->manualReset == 0) event->signalled = 0;
    pthread_cleanup_pop(1);
    return result;
}

TcsResult waitNamed(PalEvent* event, uint32_t ms) {
    int set = int(event->semaphoreSet);
    sembuf take{0, -1, 0};
    int done;
    if (ms == PAL_INFINITE) {
        do {
            done = semop(set, &take, 1);
        } while (done != 0 && errno == EINTR);
    } else if (ms == 0) {
        take.sem_flg = IPC_NOWAIT;
        done = semop(set, &take, 1);
    } else {
        timespec limit{time_t(ms / 1000), long(ms % 1000) * 1000000L};
        done = semtimedop(set, &take, 1, &limit);
    }
    if (done != 0) {
        if (errno == EAGAIN) return TCS_RESULT_TIMEOUT;
        if (errno == EINVAL || errno == EIDRM) return TCS_RESULT_INVALID_HANDLE;  // removed by another opening
        return TCS_RESULT_WAIT_FAILURE;
    }
    // A manual-reset event gives its signal back so it stays set for the next waiter.
    if (event->manualReset != 0 && !semaphoreStep(set, 1, 0)) return TCS_RESULT_WAIT_FAILURE;
    return TCS_RESULT_OK;
}

}  // namespace

extern "C" {

PalEvent* palEventAlloc(uint32_t manualReset, uint32_t initialState, const char* name) {
    return name == nullptr ? makeUnnamed(manualReset, initialState) : makeNamed(manualReset, initialState, name);
}

PalEvent* palEventAllocEx(uint32_t manualReset, uint32_t initialState, const char* name) {
    return palEventAlloc(manualReset, initialState, name);
}

PalEvent* palEventOpen(uint32_t manualReset, uint32_t initialState, const char* name) {
    return palEventAlloc(manualReset, initialState, name);
}

TcsResult palEventSet(PalEvent* event) {
    if (event == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (event->name != nullptr) {
        return semaphoreStep(int(event->semaphoreSet), 1, 0) ? TCS_RESULT_OK : TCS_RESULT_EVENT_SET_FAILED;
    }
    if (pthread_mutex_lock(&event->mutex) != 0) return TCS_RESULT_EVENT_SET_FAILED;
    event->signalled = 1;
    pthread_cond_signal(&event->condition);
    pthread_mutex_unlock(&event->mutex);
    return TCS_RESULT_OK;
}

TcsResult palEventReset(PalEvent* event) {
    if (event == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (event->name != nullptr) {
        // Takes a pending signal off without ever waiting; nothing pending is fine.
        if (semaphoreStep(int(event->semaphoreSet), -1, IPC_NOWAIT) || errno == EAGAIN) return TCS_RESULT_OK;
        return TCS_RESULT_EVENT_SET_FAILED;
    }
    if (pthread_mutex_lock(&event->mutex) != 0) return TCS_RESULT_EVENT_RESET_FAILED;
    event->signalled = 0;
    pthread_mutex_unlock(&event->mutex);
    return TCS_RESULT_OK;
}

TcsResult palEventWaitFor(PalEvent* event, uint32_t ms) {
    if (event == nullptr) return TCS_RESULT_INVALID_HANDLE;
    return event->name != nullptr ? waitNamed(event, ms) : waitUnnamed(event, ms);
}

TcsResult palEventFree(PalEvent* event) {
    if (event == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (event->name != nullptr) {
        semctl(int(event->semaphoreSet), 0, IPC_RMID);
        pal::detail::removeKeyFile(&event->keyFile);
        std::free(event->name);
        delete event;
        return TCS_RESULT_OK;
    }
    if (pthread_cond_destroy(&event->condition) != 0 || pthread_mutex_destroy(&event->mutex) != 0) {
        return TCS_RESULT_EVENT_CLOSE_FAILED;
    }
    delete event;
    return TCS_RESULT_OK;
}

const char* palEventName(const PalEvent* event) { return event == nullptr ? nullptr : event->name; }

}  // extern "C"
