// Named events, semaphores and shared memory: System V objects reached by name through key files.

#include "platform/test_seams.h"
#include "platform/threads.h"

#include "scratch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// Key files go under a prefix of this test's own, never "/tmp/tcsSemKey_".
class NamedObjects : public ::testing::Test {
protected:
    void SetUp() override {
        prefix_ = tovtest::scratchPath("ipc") + "_";
        palTestSetIpcKeyPrefix(prefix_.c_str());
    }
    void TearDown() override { palTestSetIpcKeyPrefix(nullptr); }
    bool keyFileExists(const char* name) const { return access((prefix_ + name).c_str(), F_OK) == 0; }

    std::string prefix_;
};

}  // namespace

TEST_F(NamedObjects, EventOpenedTwiceByNameIsOneEvent) {
    PalEvent* first = palEventAlloc(0, 0, "wake");
    PalEvent* second = palEventOpen(0, 0, "wake");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(palEventName(first), "wake");
    EXPECT_TRUE(keyFileExists("wake"));

    EXPECT_EQ(palEventWaitFor(second, 0), TCS_RESULT_TIMEOUT);
    EXPECT_EQ(palEventSet(first), TCS_RESULT_OK);
    EXPECT_EQ(palEventWaitFor(second, 0), TCS_RESULT_OK);
    EXPECT_EQ(palEventWaitFor(first, 0), TCS_RESULT_TIMEOUT);  // auto-reset: taken by the other opening
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(palEventWaitFor(first, 5), TCS_RESULT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4));

    EXPECT_EQ(palEventReset(first), TCS_RESULT_OK);  // nothing pending: succeeds at once
    EXPECT_EQ(palEventSet(second), TCS_RESULT_OK);
    EXPECT_EQ(palEventReset(first), TCS_RESULT_OK);
    EXPECT_EQ(palEventWaitFor(second, 0), TCS_RESULT_TIMEOUT);

    EXPECT_EQ(palEventFree(first), TCS_RESULT_OK);
    EXPECT_FALSE(keyFileExists("wake"));
    EXPECT_EQ(palEventFree(second), TCS_RESULT_OK);
}

TEST_F(NamedObjects, ManualResetNamedEventStaysSetUntilReset) {
    PalEvent* event = palEventAlloc(1, 1, "manual");
    ASSERT_NE(event, nullptr);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(palEventWaitFor(event, 0), TCS_RESULT_OK) << i;
    EXPECT_EQ(palEventWaitFor(event, 5), TCS_RESULT_OK);
    EXPECT_EQ(palEventReset(event), TCS_RESULT_OK);
    EXPECT_EQ(palEventWaitFor(event, 0), TCS_RESULT_TIMEOUT);
    EXPECT_EQ(palEventFree(event), TCS_RESULT_OK);
}

TEST_F(NamedObjects, SemaphoreCountsTimesOutAndIsResetByOpen) {
    PalSharedObject* first = palSemaphoreAlloc("sem", 0);
    ASSERT_NE(first, nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(palSemaphoreAcquire(first, 5), TCS_RESULT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4));

    // Opening an existing name sets its count again.
    PalSharedObject* second = palSemaphoreOpen("sem", 2);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(palSemaphoreAcquire(first, 0), TCS_RESULT_OK);
    EXPECT_EQ(palSemaphoreAcquire(first, PAL_INFINITE), TCS_RESULT_OK);
    EXPECT_EQ(palSemaphoreAcquire(second, 0), TCS_RESULT_TIMEOUT);
    EXPECT_EQ(palSemaphoreRelease(second), TCS_RESULT_OK);
    EXPECT_EQ(palSemaphoreAcquire(first, 0), TCS_RESULT_OK);

    EXPECT_EQ(palSemaphoreRelease(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palSemaphoreAcquire(nullptr, 0), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palSemaphoreFree(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palSemaphoreFree(first), TCS_RESULT_OK);
    EXPECT_FALSE(keyFileExists("sem"));
    // Already removed system-wide by the first: the second opening is released all the same.
    EXPECT_EQ(palSemaphoreFree(second), TCS_RESULT_OK);
}

TEST_F(NamedObjects, SharedMemoryIsSeenThroughBothOpenings) {
    PalSharedObject* writer = palSharedMemoryAlloc("shm", 64);
    PalSharedObject* reader = palSharedMemoryOpen("shm", 64);
    ASSERT_NE(writer, nullptr);
    ASSERT_NE(reader, nullptr);
    auto* out = static_cast<char*>(palSharedMemoryPointerGet(writer));
    auto* in = static_cast<char*>(palSharedMemoryPointerGet(reader));
    ASSERT_NE(out, nullptr);
    ASSERT_NE(in, nullptr);
    std::strcpy(out, "through the segment");
    EXPECT_STREQ(in, "through the segment");
    EXPECT_EQ(palSharedMemoryPointerRelease(out), TCS_RESULT_OK);
    EXPECT_EQ(palSharedMemoryPointerRelease(in), TCS_RESULT_OK);
    EXPECT_EQ(palSharedMemoryPointerRelease(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palSharedMemoryPointerGet(nullptr), nullptr);
    EXPECT_EQ(palSharedMemoryFree(writer), TCS_RESULT_OK);
    EXPECT_FALSE(keyFileExists("shm"));
    EXPECT_EQ(palSharedMemoryFree(reader), TCS_RESULT_OK);
    EXPECT_EQ(palSharedMemoryFree(nullptr), TCS_RESULT_INVALID_HANDLE);
}

TEST_F(NamedObjects, UnnamedObjectsGetUniqueKeyFiles) {
    PalSharedObject* a = palSemaphoreAlloc(nullptr, 1);
    PalSharedObject* b = palSemaphoreAlloc(nullptr, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(palSemaphoreAcquire(a, 0), TCS_RESULT_OK);
    EXPECT_EQ(palSemaphoreAcquire(b, 0), TCS_RESULT_TIMEOUT);  // distinct objects
    EXPECT_EQ(palSemaphoreFree(a), TCS_RESULT_OK);
    EXPECT_EQ(palSemaphoreFree(b), TCS_RESULT_OK);
    PalSharedObject* segment = palSharedMemoryAlloc(nullptr, 16);
    ASSERT_NE(segment, nullptr);
    EXPECT_EQ(palSharedMemoryFree(segment), TCS_RESULT_OK);
}
