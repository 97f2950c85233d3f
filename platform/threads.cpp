// Threads, mutexes and critical sections over POSIX threads.

#include "platform/threads.h"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

struct PalMutex {
    pthread_mutex_t mutex;
};

namespace {

// Each thread begun here records its end, so a wait never has to probe a thread id that may
// already be gone (signalling a vanished thread id is undefined and may hit a reused one).
struct ThreadRecord {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
};

std::mutex gThreadsLock;
std::map<pthread_t, std::shared_ptr<ThreadRecord>>& threads() {
    static auto* map = new std::map<pthread_t, std::shared_ptr<ThreadRecord>>;  // outlives exiting threads
    return *map;
}

std::shared_ptr<ThreadRecord> findThread(PalThreadHandle handle) {
    std::lock_guard<std::mutex> hold(gThreadsLock);
    auto it = threads().find(pthread_t(handle));
    return it == threads().end() ? nullptr : it->second;
}

struct StartBlock {
    PalThreadRoutine routine;
    void* argument;
    std::shared_ptr<ThreadRecord> record;
};

// Marks the record done however the thread ends: return, palThreadEnd or cancellation all unwind here.
struct EndMark {
    std::shared_ptr<ThreadRecord> record;
    ~EndMark() {
        std::lock_guard<std::mutex> hold(record->lock);
        record->done = true;
        record->ended.notify_all();
    }
};

void* threadStart(void* raw) {
    std::unique_ptr<StartBlock> start(static_cast<StartBlock*>(raw));
    EndMark mark{start->record};
    PalThreadRoutine routine = start->routine;
    void* argument = start->argument;
    start.reset();
    return reinterpret_cast<void*>(uintptr_t(routine(argument)));
}

timespec deadlineFromNow(clockid_t clock, uint32_t ms) {
    timespec ts{};
    clock_gettime(clock, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += long(ms % 1000) * 1000000L;
    if (ts.tv_nsec > 999999999L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

}  // namespace

extern "C" {

TcsResult palThreadBegin(void*, PalThreadRoutine routine, void* argument, uint32_t, PalThreadHandle* outHandle,
                         uint32_t* outId) {
    if (routine == nullptr || outHandle == nullptr || outId == nullptr) return TCS_RESULT_BAD_PARAM;
    auto record = std::make_shared<ThreadRecord>();
    auto* start = new (std::nothrow) StartBlock{routine, argument, record};
    if (start == nullptr) return TCS_RESULT_THREAD_CREATION_FAILED;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    // Held across the creation so the new id is registered before anyone can look it up.
    std::lock_guard<std::mutex> hold(gThreadsLock);
    int failed = pthread_create(&thread, &attributes, threadStart, start);
    pthread_attr_destroy(&attributes);
    if (failed != 0) {
        delete start;
        return TCS_RESULT_THREAD_CREATION_FAILED;
    }
    threads()[thread] = record;  // a reused id replaces the record of a thread that has ended
    *outHandle = PalThreadHandle(thread);
    *outId = uint32_t(uint64_t(thread));
    return TCS_RESULT_OK;
}

void palThreadEnd(uint32_t exitCode) { pthread_exit(reinterpret_cast<void*>(uintptr_t(exitCode))); }

TcsResult palThreadKill(PalThreadHandle thread) {
    std::shared_ptr<ThreadRecord> record = findThread(thread);
    if (record == nullptr) return TCS_RESULT_OK;
    // While the record says running under its lock, the thread has not passed its end mark and its
    // id is still valid.
    std::lock_guard<std::mutex> hold(record->lock);
    if (!record->done) pthread_cancel(pthread_t(thread));
    return TCS_RESULT_OK;
}

TcsResult palThreadFree(PalThreadHandle thread) {
    std::lock_guard<std::mutex> hold(gThreadsLock);
    auto it = threads().find(pthread_t(thread));
    if (it == threads().end()) return TCS_RESULT_OK;
    bool done;
    {
        std::lock_guard<std::mutex> recordHold(it->second->lock);
        done = it->second->done;
    }
    // Erased only once its lock is released: erasing under it freed the mutex the unlock then wrote.
    if (done) threads().erase(it);
    return TCS_RESULT_OK;
}

TcsResult palThreadWaitFor(PalThreadHandle thread, uint32_t ms) {
    timespec probe{};
    if (clock_gettime(CLOCK_MONOTONIC, &probe) != 0) return TCS_RESULT_WAIT_FAILURE;
    std::shared_ptr<ThreadRecord> record = findThread(thread);
    if (record == nullptr) return TCS_RESULT_OK;  // not a thread of ours that is known to run
    std::unique_lock<std::mutex> hold(record->lock);
    if (ms == PAL_INFINITE) {
        record->ended.wait(hold, [&] { return record->done; });
        return TCS_RESULT_OK;
    }
    bool done = record->ended.wait_for(hold, std::chrono::milliseconds(ms), [&] { return record->done; });
    return done ? TCS_RESULT_OK : TCS_RESULT_TIMEOUT;
}

PalThreadHandle palCurrentThreadId(void) { return PalThreadHandle(pthread_self()); }

bool palIsCurrentThread(PalThreadHandle id, void*) {
    uint64_t self = uint64_t(pthread_self());
    // Callers may hold only the 32-bit id.
    return id == self || (id <= 0xFFFFFFFFu && uint32_t(self) == id);
}

uint32_t palCurrentProcessId(void) { return uint32_t(getpid()); }

bool palProcessExists(uint32_t processId) { return !(kill(pid_t(processId), 0) != 0 && errno == ESRCH); }

TcsResult palTimerStart(void) { return TCS_RESULT_NOT_IMPLEMENTED; }

TcsResult palTimerStop(void* timer) { return timer == nullptr ? TCS_RESULT_BAD_PARAM : TCS_RESULT_NOT_IMPLEMENTED; }

PalMutexHandle palMutexAlloc(const char*, uint32_t) {
    auto* mutex = new (std::nothrow) PalMutex;
    if (mutex == nullptr) return nullptr;
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    int failed = pthread_mutex_init(&mutex->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (failed != 0) {
        delete mutex;
        return nullptr;
    }
    return mutex;
}

TcsResult palMutexAcquire(PalMutexHandle mutex, uint32_t ms) {
    if (mutex == nullptr) return TCS_RESULT_INVALID_HANDLE;
    int error;
    if (ms == PAL_INFINITE) {
        error = pthread_mutex_lock(&mutex->mutex);
    } else {
        timespec deadline = deadlineFromNow(CLOCK_REALTIME, ms);
        error = pthread_mutex_timedlock(&mutex->mutex, &deadline);
    }
    if (error == 0) return TCS_RESULT_OK;
    if (error == ETIMEDOUT) return TCS_RESULT_TIMEOUT;
    if (error == EINVAL) return TCS_RESULT_INVALID_HANDLE;
    return TCS_RESULT_UNKNOWN_STATUS;
}

TcsResult palMutexRelease(PalMutexHandle mutex) {
    if (mutex == nullptr) return TCS_RESULT_INVALID_HANDLE;
    return pthread_mutex_unlock(&mutex->mutex) == 0 ? TCS_RESULT_OK : TCS_RESULT_MUTEX_RELEASE_FAILED;
}

TcsResult palMutexFree(PalMutexHandle mutex) {
    if (mutex == nullptr) return TCS_RESULT_INVALID_HANDLE;
    if (pthread_mutex_destroy(&mutex->mutex) != 0) return TCS_RESULT_MUTEX_CLOSE_FAILED;
    delete mutex;
    return TCS_RESULT_OK;
}

TcsResult palCriticalSectionInitialize(PalMutexHandle* outSection) {
    if (outSection == nullptr) return TCS_RESULT_BAD_PARAM;
    *outSection = palMutexAlloc(nullptr, 0);
    return TCS_RESULT_OK;
}

TcsResult palCriticalSectionAcquire(PalMutexHandle section) { return palMutexAcquire(section, PAL_INFINITE); }
TcsResult palCriticalSectionRelease(PalMutexHandle section) { return palMutexRelease(section); }
TcsResult palCriticalSectionFree(PalMutexHandle section) { return palMutexFree(section); }

}  // extern "C"
