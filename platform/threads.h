// Threads, mutexes, critical sections, events, and System V semaphores and shared memory.
#pragma once

#include "tcs/result.h"

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Time-outs are milliseconds; all ones waits without limit.
#define PAL_INFINITE 0xFFFFFFFFu

// The POSIX thread identifier; the 32-bit id handed out beside it is its low half.
typedef uint64_t PalThreadHandle;
typedef uint32_t (*PalThreadRoutine)(void* argument);

// A recursive mutex; a critical section is the same object, always taken without limit.
typedef struct PalMutex* PalMutexHandle;

typedef struct PalEvent PalEvent;            // unnamed (in-process) or named (System V semaphore set)
typedef struct PalSharedObject PalSharedObject;  // named semaphore or shared-memory segment

TcsResult palThreadBegin(void* reserved, PalThreadRoutine routine, void* argument, uint32_t reserved2,
                         PalThreadHandle* outHandle, uint32_t* outId);
void palThreadEnd(uint32_t exitCode);
TcsResult palThreadKill(PalThreadHandle thread);
TcsResult palThreadFree(PalThreadHandle thread);
// 0 once the thread has ended, 34 when ms pass first, 35 when the clock cannot be read. Only threads
// begun by palThreadBegin are tracked: any other handle counts as ended, and palThreadKill leaves it alone.
TcsResult palThreadWaitFor(PalThreadHandle thread, uint32_t ms);
PalThreadHandle palCurrentThreadId(void);
bool palIsCurrentThread(PalThreadHandle id, void* reserved);
uint32_t palCurrentProcessId(void);
bool palProcessExists(uint32_t processId);
TcsResult palTimerStart(void);
TcsResult palTimerStop(void* timer);

// Name and flags are ignored: every mutex is unnamed and recursive.
PalMutexHandle palMutexAlloc(const char* name, uint32_t flags);
TcsResult palMutexAcquire(PalMutexHandle mutex, uint32_t ms);
TcsResult palMutexRelease(PalMutexHandle mutex);
TcsResult palMutexFree(PalMutexHandle mutex);

TcsResult palCriticalSectionInitialize(PalMutexHandle* outSection);
TcsResult palCriticalSectionAcquire(PalMutexHandle section);
TcsResult palCriticalSectionRelease(PalMutexHandle section);
TcsResult palCriticalSectionFree(PalMutexHandle section);

// The three constructors are the same operation: a named event is created or attached.
PalEvent* palEventAlloc(uint32_t manualReset, uint32_t initialState, const char* name);
PalEvent* palEventAllocEx(uint32_t manualReset, uint32_t initialState, const char* name);
PalEvent* palEventOpen(uint32_t manualReset, uint32_t initialState, const char* name);
TcsResult palEventSet(PalEvent* event);
TcsResult palEventReset(PalEvent* event);
TcsResult palEventWaitFor(PalEvent* event, uint32_t ms);
TcsResult palEventFree(PalEvent* event);
const char* palEventName(const PalEvent* event);

// Creating or opening sets the count to initialCount, also when the semaphore already existed.
PalSharedObject* palSemaphoreAlloc(const char* name, uint32_t initialCount);
PalSharedObject* palSemaphoreOpen(const char* name, uint32_t initialCount);
TcsResult palSemaphoreAcquire(PalSharedObject* semaphore, uint32_t ms);
TcsResult palSemaphoreRelease(PalSharedObject* semaphore);
TcsResult palSemaphoreFree(PalSharedObject* semaphore);

PalSharedObject* palSharedMemoryAlloc(const char* name, uint32_t size);
PalSharedObject* palSharedMemoryOpen(const char* name, uint32_t size);
void* palSharedMemoryPointerGet(PalSharedObject* segment);
TcsResult palSharedMemoryPointerRelease(void* address);
TcsResult palSharedMemoryFree(PalSharedObject* segment);

#ifdef __cplusplus
}
#endif
