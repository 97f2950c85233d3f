// Named events, semaphores and shared memory: System V objects reached by name through key files.

#include "platform/test_seams.h"
#include "platform/threads.h"

#include "scratch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
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

namespace {

mode_t modeOf(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

std::string contentOf(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

// Key files sit in a folder every local user writes to: a planted link is never followed (it made
// its target), nothing but a regular file of this user's with one link is taken, and a FIFO put in
// its place does not block the open.
TEST_F(NamedObjects, PlantedKeyFilesAreRefusedAndTheirTargetsUntouched) {
    const std::string victim = prefix_ + "victim";
    const std::string missing = prefix_ + "missing";
    { std::ofstream(victim) << "keep me"; }
    chmod(victim.c_str(), 0640);
    ASSERT_EQ(symlink(victim.c_str(), (prefix_ + "toVictim").c_str()), 0);
    ASSERT_EQ(symlink(missing.c_str(), (prefix_ + "toMissing").c_str()), 0);
    ASSERT_EQ(mkfifo((prefix_ + "fifo").c_str(), 0600), 0);
    ASSERT_EQ(link(victim.c_str(), (prefix_ + "hardLink").c_str()), 0);
    ASSERT_EQ(mkdir((prefix_ + "folder").c_str(), 0700), 0);
    for (const char* name : {"toVictim", "toMissing", "fifo", "hardLink", "folder"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(palSemaphoreAlloc(name, 1), nullptr);
        EXPECT_EQ(palSharedMemoryOpen(name, 16), nullptr);
        EXPECT_EQ(palEventAlloc(0, 0, name), nullptr);
        struct stat status {};
        EXPECT_EQ(lstat((prefix_ + name).c_str(), &status), 0) << "what was planted stays where it is";
    }
    EXPECT_EQ(contentOf(victim), "keep me");
    EXPECT_EQ(modeOf(victim), 0640u);
    EXPECT_NE(access(missing.c_str(), F_OK), 0) << "a link's target is never made";
    for (const char* name : {"toVictim", "toMissing", "fifo", "hardLink"}) unlink((prefix_ + name).c_str());
    rmdir((prefix_ + "folder").c_str());
    unlink(victim.c_str());
}

// Key files and objects are the owner's alone, whatever the umask: any local user who could write
// the service's state word would make every client call fail.
TEST_F(NamedObjects, KeyFilesAndObjectsAreOwnerReadWriteOnly) {
    const mode_t saved = umask(0);
    PalSharedObject* semaphore = palSemaphoreAlloc("sem", 1);
    PalSharedObject* segment = palSharedMemoryAlloc("shm", 64);
    PalEvent* event = palEventAlloc(0, 0, "evt");
    umask(saved);
    ASSERT_NE(semaphore, nullptr);
    ASSERT_NE(segment, nullptr);
    ASSERT_NE(event, nullptr);
    for (const char* name : {"sem", "shm", "evt"}) EXPECT_EQ(modeOf(prefix_ + name), 0600u) << name;
    auto semaphoreMode = [&](const char* name) {
        semid_ds status{};
        int set = semget(ftok((prefix_ + name).c_str(), 1), 1, 0);
        return set >= 0 && semctl(set, 0, IPC_STAT, &status) == 0 ? status.sem_perm.mode & 0777 : 0777;
    };
    EXPECT_EQ(semaphoreMode("sem"), 0600u);
    EXPECT_EQ(semaphoreMode("evt"), 0600u);
    shmid_ds status{};
    int id = shmget(ftok((prefix_ + "shm").c_str(), 1), 64, 0);
    ASSERT_GE(id, 0);
    ASSERT_EQ(shmctl(id, IPC_STAT, &status), 0);
    EXPECT_EQ(status.shm_perm.mode & 0777, 0600u);
    palSemaphoreFree(semaphore);
    palSharedMemoryFree(segment);
    palEventFree(event);

    // An object of our own that an older run made for everyone is narrowed when it is opened.
    const std::string keyPath = prefix_ + "wide";
    { std::ofstream(keyPath) << ""; }
    chmod(keyPath.c_str(), 0600);
    int wide = semget(ftok(keyPath.c_str(), 1), 1, IPC_CREAT | 0666);
    ASSERT_GE(wide, 0);
    PalSharedObject* opened = palSemaphoreOpen("wide", 1);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(semaphoreMode("wide"), 0600u);
    palSemaphoreFree(opened);
}

// Freeing removes the key file only while the path still names it.
TEST_F(NamedObjects, FreeLeavesAFileSwappedInAtTheKeyPath) {
    PalSharedObject* semaphore = palSemaphoreAlloc("swap", 1);
    ASSERT_NE(semaphore, nullptr);
    const std::string other = prefix_ + "other";
    { std::ofstream(other) << "other"; }
    ASSERT_EQ(rename(other.c_str(), (prefix_ + "swap").c_str()), 0);
    EXPECT_EQ(palSemaphoreFree(semaphore), TCS_RESULT_OK);
    EXPECT_EQ(contentOf(prefix_ + "swap"), "other");
    unlink((prefix_ + "swap").c_str());
}
