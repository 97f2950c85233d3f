// Test seams: the fixed paths and the clock, so tests and stand-ins never touch the system's own.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The settings file; NULL restores "/etc/TovanticPersistentData".
void palTestSetSettingsPath(const char* path);
// Prefix of the key files of named events, semaphores and shared memory (a directory plus a name
// start, e.g. "/tmp/mytest_"); NULL restores "/tmp/tcsSemKey_".
void palTestSetIpcKeyPrefix(const char* prefix);

// Replaces the wall clock behind ticks, seconds and dates with a fixed time (ms since 1970) that
// moves only by palTestAdvanceClock; palTestUseRealClock switches back. palSleep still sleeps.
void palTestSetClock(uint64_t msSinceEpoch);
void palTestAdvanceClock(uint32_t ms);
void palTestUseRealClock(void);

// What the leak tracker recorded for a block; false when the block is not tracked.
typedef struct PalAllocationInfo {
    uint32_t size;
    char fileName[256];
    uint32_t line;
    char functionName[256];
} PalAllocationInfo;
bool palTestFindAllocation(const void* block, PalAllocationInfo* info);
// Tracker counters: allocations ever made, bytes ever allocated, bytes now allocated, high-water mark.
void palTestAllocationCounters(uint32_t* count, uint32_t* totalBytes, uint32_t* currentBytes, uint32_t* peakBytes);

#ifdef __cplusplus
}
#endif
