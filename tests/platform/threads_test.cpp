// Threads, mutexes and unnamed events: waits, time-outs and recursion.

#include "platform/clock.h"
#include "platform/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

uint32_t setFlag(void* argument) {
    static_cast<std::atomic<int>*>(argument)->store(1);
    return 7;
}

uint32_t waitForEvent(void* argument) {
    palEventWaitFor(static_cast<PalEvent*>(argument), PAL_INFINITE);
    return 0;
}

uint32_t endEarly(void* argument) {
    static_cast<std::atomic<int>*>(argument)->store(1);
    palThreadEnd(3);
    static_cast<std::atomic<int>*>(argument)->store(2);  // never reached
    return 0;
}

uint32_t sleepLong(void*) {
    for (;;) palSleep(1000);  // select is a cancellation point
}

}  // namespace

TEST(PlatformThreads, BeginRefusesMissingArguments) {
    PalThreadHandle handle;
    uint32_t id;
    std::atomic<int> flag{0};
    EXPECT_EQ(palThreadBegin(nullptr, nullptr, &flag, 0, &handle, &id), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palThreadBegin(nullptr, setFlag, &flag, 0, nullptr, &id), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palThreadBegin(nullptr, setFlag, &flag, 0, &handle, nullptr), TCS_RESULT_BAD_PARAM);
}

TEST(PlatformThreads, WaitForSeesTheEndAlsoLongAfterIt) {
    std::atomic<int> flag{0};
    PalThreadHandle handle;
    uint32_t id;
    ASSERT_EQ(palThreadBegin(nullptr, setFlag, &flag, 0, &handle, &id), TCS_RESULT_OK);
    EXPECT_EQ(id, uint32_t(handle));
    EXPECT_EQ(palThreadWaitFor(handle, PAL_INFINITE), TCS_RESULT_OK);
    EXPECT_EQ(flag.load(), 1);
    // The thread is gone for good now; a second wait must still answer without touching its id.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(palThreadWaitFor(handle, 0), TCS_RESULT_OK);
    EXPECT_EQ(palThreadFree(handle), TCS_RESULT_OK);
}

TEST(PlatformThreads, WaitForTimesOutOnARunningThreadAndKillEndsIt) {
    PalEvent* gate = palEventAlloc(1, 0, nullptr);
    PalThreadHandle handle;
    uint32_t id;
    ASSERT_EQ(palThreadBegin(nullptr, waitForEvent, gate, 0, &handle, &id), TCS_RESULT_OK);
    EXPECT_EQ(palThreadWaitFor(handle, 0), TCS_RESULT_TIMEOUT);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(palThreadWaitFor(handle, 5), TCS_RESULT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
    palEventSet(gate);
    EXPECT_EQ(palThreadWaitFor(handle, 5000), TCS_RESULT_OK);
    palEventFree(gate);

    ASSERT_EQ(palThreadBegin(nullptr, sleepLong, nullptr, 0, &handle, &id), TCS_RESULT_OK);
    EXPECT_EQ(palThreadKill(handle), TCS_RESULT_OK);
    EXPECT_EQ(palThreadWaitFor(handle, 5000), TCS_RESULT_OK);
    EXPECT_EQ(palThreadKill(handle), TCS_RESULT_OK);  // already ended: nothing is signalled

    // Killed inside an event wait: the event stays usable for everyone else.
    gate = palEventAlloc(0, 0, nullptr);
    ASSERT_EQ(palThreadBegin(nullptr, waitForEvent, gate, 0, &handle, &id), TCS_RESULT_OK);
    EXPECT_EQ(palThreadWaitFor(handle, 2), TCS_RESULT_TIMEOUT);
    EXPECT_EQ(palThreadKill(handle), TCS_RESULT_OK);
    EXPECT_EQ(palThreadWaitFor(handle, 5000), TCS_RESULT_OK);
    EXPECT_EQ(palEventSet(gate), TCS_RESULT_OK);
    EXPECT_EQ(palEventWaitFor(gate, 0), TCS_RESULT_OK);
    EXPECT_EQ(palEventFree(gate), TCS_RESULT_OK);
}

TEST(PlatformThreads, ThreadEndEndsTheCallingThread) {
    std::atomic<int> flag{0};
    PalThreadHandle handle;
    uint32_t id;
    ASSERT_EQ(palThreadBegin(nullptr, endEarly, &flag, 0, &handle, &id), TCS_RESULT_OK);
    EXPECT_EQ(palThreadWaitFor(handle, 5000), TCS_RESULT_OK);
    EXPECT_EQ(flag.load(), 1);
}

TEST(PlatformThreads, IdentityOfTheCallingThreadAndProcess) {
    PalThreadHandle self = palCurrentThreadId();
    EXPECT_TRUE(palIsCurrentThread(self, nullptr));
    EXPECT_TRUE(palIsCurrentThread(uint32_t(self), nullptr));
    bool other = true;
    std::thread([&] { other = palIsCurrentThread(self, nullptr); }).join();
    EXPECT_FALSE(other);
    EXPECT_TRUE(palProcessExists(palCurrentProcessId()));
    EXPECT_EQ(palTimerStart(), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(palTimerStop(nullptr), TCS_RESULT_BAD_PARAM);
}

TEST(PlatformMutex, RecursiveTimedAndNullHandles) {
    PalMutexHandle mutex = palMutexAlloc(nullptr, 0);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(palMutexAcquire(mutex, 0), TCS_RESULT_OK);
    EXPECT_EQ(palMutexAcquire(mutex, 0), TCS_RESULT_OK);  // recursive: at once
    TcsResult fromOther = TCS_RESULT_OK;
    std::thread([&] { fromOther = palMutexAcquire(mutex, 5); }).join();
    EXPECT_EQ(fromOther, TCS_RESULT_TIMEOUT);
    EXPECT_EQ(palMutexRelease(mutex), TCS_RESULT_OK);
    EXPECT_EQ(palMutexRelease(mutex), TCS_RESULT_OK);
    std::thread([&] {
        fromOther = palMutexAcquire(mutex, 5);
        palMutexRelease(mutex);
    }).join();
    EXPECT_EQ(fromOther, TCS_RESULT_OK);
    EXPECT_EQ(palMutexFree(mutex), TCS_RESULT_OK);

    EXPECT_EQ(palMutexAcquire(nullptr, 0), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palMutexRelease(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palMutexFree(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palCriticalSectionInitialize(nullptr), TCS_RESULT_BAD_PARAM);
    PalMutexHandle section = nullptr;
    EXPECT_EQ(palCriticalSectionInitialize(&section), TCS_RESULT_OK);
    EXPECT_EQ(palCriticalSectionAcquire(section), TCS_RESULT_OK);
    EXPECT_EQ(palCriticalSectionAcquire(section), TCS_RESULT_OK);
    EXPECT_EQ(palCriticalSectionRelease(section), TCS_RESULT_OK);
    EXPECT_EQ(palCriticalSectionRelease(section), TCS_RESULT_OK);
    EXPECT_EQ(palCriticalSectionFree(section), TCS_RESULT_OK);
}

TEST(PlatformEvent, UnnamedWaitsAndResets) {
    struct Case {
        uint32_t manualReset;
        bool stillSetAfterWait;
    };
    for (auto [manual, stays] : std::initializer_list<Case>{{0, false}, {1, true}}) {
        PalEvent* event = palEventAlloc(manual, 0, nullptr);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(palEventName(event), nullptr);
        EXPECT_EQ(palEventWaitFor(event, 0), TCS_RESULT_TIMEOUT);
        EXPECT_EQ(palEventWaitFor(event, 3), TCS_RESULT_TIMEOUT);
        EXPECT_EQ(palEventSet(event), TCS_RESULT_OK);
        EXPECT_EQ(palEventWaitFor(event, 0), TCS_RESULT_OK);
        EXPECT_EQ(palEventWaitFor(event, 0), stays ? TCS_RESULT_OK : TCS_RESULT_TIMEOUT) << manual;
        EXPECT_EQ(palEventReset(event), TCS_RESULT_OK);
        EXPECT_EQ(palEventWaitFor(event, 0), TCS_RESULT_TIMEOUT);
        EXPECT_EQ(palEventFree(event), TCS_RESULT_OK);
    }
    PalEvent* initiallySet = palEventAlloc(0, 1, nullptr);
    EXPECT_EQ(palEventWaitFor(initiallySet, 0), TCS_RESULT_OK);
    palEventFree(initiallySet);
    EXPECT_EQ(palEventSet(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palEventReset(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palEventWaitFor(nullptr, 0), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palEventFree(nullptr), TCS_RESULT_INVALID_HANDLE);
}

TEST(PlatformEvent, AutoResetReleasesExactlyOneOfTwoWaiters) {
    PalEvent* event = palEventAlloc(0, 0, nullptr);
    std::atomic<int> released{0};
    auto waiter = [&] {
        if (palEventWaitFor(event, 50) == TCS_RESULT_OK) released++;
    };
    std::thread a(waiter), b(waiter);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    palEventSet(event);
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 1);
    palEventFree(event);
}
