// Platform memory: the heap allocator every module uses and the leak-tracking allocator.

#include "platform/memory.h"

#include "platform/list.h"
#include "platform/test_seams.h"
#include "platform/text.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr size_t kNameBytes = 256;

struct AllocationRecord {
    PalListEntry links;  // newest first
    void* block;
    uint32_t size;
    char fileName[kNameBytes];
    uint32_t line;
    char functionName[kNameBytes];
};

struct Tracker {
    PalListEntry records;
    std::timed_mutex* lock = nullptr;  // made at the first tracked allocation, never destroyed
    std::atomic<bool> initialised{false};
    uint32_t allocationCount = 0;
    uint32_t totalBytes = 0;
    uint32_t currentBytes = 0;
    uint32_t peakBytes = 0;
};

Tracker gTracker;
std::once_flag gTrackerOnce;

void startTracking() {
    std::call_once(gTrackerOnce, [] {
        palListInit(&gTracker.records);
        gTracker.lock = new std::timed_mutex;
        gTracker.initialised = true;
    });
}

// Each attempt waits 5000 ms and is repeated after a time-out, so the caller waits as long as it takes.
class TrackerLock {
public:
    TrackerLock() {
        // Against the system clock: the steady clock's wait (pthread_mutex_clocklock) is not seen
        // by ThreadSanitizer, which then reports every unlock as one of an unlocked mutex.
        while (!gTracker.lock->try_lock_until(std::chrono::system_clock::now() + std::chrono::milliseconds(5000))) {
        }
    }
    ~TrackerLock() { gTracker.lock->unlock(); }
    TrackerLock(const TrackerLock&) = delete;
    TrackerLock& operator=(const TrackerLock&) = delete;
};

// The separator is a backslash, not a slash: names are recorded as the build system of origin gave them.
const char* baseName(const char* fileName) {
    if (fileName == nullptr) return "";
    const char* cut = std::strrchr(fileName, '\\');
    return cut != nullptr ? cut + 1 : fileName;
}

void copyName(char (&out)[kNameBytes], const char* name) {
    if (name == nullptr) return;  // the record is zeroed: an empty text
    std::strncpy(out, name, kNameBytes - 1);  // the zeroed last byte keeps a cut name terminated
}

AllocationRecord* findRecord(const void* block) {
    for (PalListEntry* e = gTracker.records.next; e != &gTracker.records; e = e->next) {
        auto* record = PAL_LIST_RECORD(e, AllocationRecord, links);
        if (record->block == block) return record;
    }
    return nullptr;
}

}  // namespace

extern "C" {

void* palRealMalloc(uint32_t size) { return std::malloc(size); }

void palRealFree(void* block) { std::free(block); }

void* palDbgMalloc(uint32_t size, const char* fileName, uint32_t line, const char* functionName) {
    const char* shortName = baseName(fileName);
    void* block = std::malloc(size);
    if (block == nullptr) return nullptr;
    auto* record = static_cast<AllocationRecord*>(std::calloc(1, sizeof(AllocationRecord)));
    if (record == nullptr) return block;
    startTracking();
    record->size = size;
    record->block = block;
    record->line = line;
    copyName(record->fileName, shortName);
    copyName(record->functionName, functionName);
    TrackerLock hold;
    gTracker.totalBytes += size;
    gTracker.currentBytes += size;
    gTracker.allocationCount++;
    if (gTracker.currentBytes > gTracker.peakBytes) gTracker.peakBytes = gTracker.currentBytes;
    palListInsertHead(&gTracker.records, &record->links);
    return block;
}

void palDbgFree(void* block) {
    if (block == nullptr) return;
    if (gTracker.initialised) {
        TrackerLock hold;
        if (AllocationRecord* record = findRecord(block)) {
            palListRemove(&record->links);
            gTracker.currentBytes -= record->size;
            std::free(record);
        }
    }
    std::free(block);
}

void palDbgPrintMemoryLeaks(void) {
    if (!gTracker.initialised) return;
    TrackerLock hold;
    // Walked for the interface's sake; this platform prints nothing.
    for (PalListEntry* e = gTracker.records.next; e != &gTracker.records; e = e->next) {
    }
}

void palDbgMemoryValidate(void) {}

bool palIsBadWritePtr(const void* address, uint32_t size) { return address == nullptr || size == 0; }

bool palIsBadReadPtr(const void* address, uint32_t size) { return address == nullptr || size == 0; }

TcsResult palGetApplicationName(void*, char* buffer, uint32_t* size) {
    if (buffer == nullptr || size == nullptr) return TCS_RESULT_NULL_POINTER;
    palStrcpy(buffer, *size, "");
    *size = 0;
    return TCS_RESULT_OK;
}

uint32_t palGetPowerSource(void) { return 0; }

TcsResult palRemoteSensorsEnable(void) { return TCS_RESULT_NOT_IMPLEMENTED; }

TcsResult palVerifyFileSignature(const char*) { return TCS_RESULT_OK; }

bool palTestFindAllocation(const void* block, PalAllocationInfo* info) {
    if (!gTracker.initialised || info == nullptr) return false;
    TrackerLock hold;
    const AllocationRecord* record = findRecord(block);
    if (record == nullptr) return false;
    info->size = record->size;
    info->line = record->line;
    std::memcpy(info->fileName, record->fileName, kNameBytes);
    std::memcpy(info->functionName, record->functionName, kNameBytes);
    return true;
}

void palTestAllocationCounters(uint32_t* count, uint32_t* totalBytes, uint32_t* currentBytes, uint32_t* peakBytes) {
    uint32_t values[4] = {};
    if (gTracker.initialised) {
        TrackerLock hold;
        values[0] = gTracker.allocationCount;
        values[1] = gTracker.totalBytes;
        values[2] = gTracker.currentBytes;
        values[3] = gTracker.peakBytes;
    }
    if (count != nullptr) *count = values[0];
    if (totalBytes != nullptr) *totalBytes = values[1];
    if (currentBytes != nullptr) *currentBytes = values[2];
    if (peakBytes != nullptr) *peakBytes = values[3];
}

}  // extern "C"
