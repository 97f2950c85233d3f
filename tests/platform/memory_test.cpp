// Memory: the leak tracker's records and counters, and the fixed answers of the memory interface.

#include "platform/memory.h"
#include "platform/test_seams.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(PlatformLeakTracker, RecordsFileNameAfterLastBackslashOnly) {
    struct Case {
        const char* given;
        const char* recorded;
    };
    for (auto [given, recorded] : std::initializer_list<Case>{{"C:\\src\\platform\\alloc.c", "alloc.c"},
                                                               {"src/platform/alloc.c", "src/platform/alloc.c"},
                                                               {"dir\\", ""},
                                                               {"plain.c", "plain.c"}}) {
        void* block = palDbgMalloc(16, given, 42, "caller");
        ASSERT_NE(block, nullptr);
        PalAllocationInfo info{};
        ASSERT_TRUE(palTestFindAllocation(block, &info));
        EXPECT_STREQ(info.fileName, recorded) << given;
        EXPECT_STREQ(info.functionName, "caller");
        EXPECT_EQ(info.line, 42u);
        EXPECT_EQ(info.size, 16u);
        palDbgFree(block);
        EXPECT_FALSE(palTestFindAllocation(block, &info));
    }
}

TEST(PlatformLeakTracker, CutsLongNamesTo255BytesAndNullFunctionToEmpty) {
    std::string longName(300, 'f');
    void* block = palDbgMalloc(8, longName.c_str(), 1, nullptr);
    PalAllocationInfo info{};
    ASSERT_TRUE(palTestFindAllocation(block, &info));
    EXPECT_EQ(std::strlen(info.fileName), 255u);
    EXPECT_EQ(std::string(info.fileName), longName.substr(0, 255));
    EXPECT_STREQ(info.functionName, "");
    palDbgFree(block);

    block = palDbgMalloc(8, "x.c", 1, longName.c_str());
    ASSERT_TRUE(palTestFindAllocation(block, &info));
    EXPECT_EQ(std::strlen(info.functionName), 255u);
    palDbgFree(block);
}

TEST(PlatformLeakTracker, CountersFollowTrackedBlocksOnly) {
    void* warmUp = palDbgMalloc(1, "w.c", 1, "w");  // tracking starts with the first tracked block
    palDbgFree(warmUp);
    uint32_t count0, total0, current0, peak0;
    palTestAllocationCounters(&count0, &total0, &current0, &peak0);

    void* a = palDbgMalloc(100, "a.c", 1, "a");
    void* b = palDbgMalloc(50, "b.c", 2, "b");
    uint32_t count, total, current, peak;
    palTestAllocationCounters(&count, &total, &current, &peak);
    EXPECT_EQ(count - count0, 2u);
    EXPECT_EQ(total - total0, 150u);
    EXPECT_EQ(current - current0, 150u);
    EXPECT_GE(peak, current);

    // A block from the plain allocator is freed all the same and leaves the counters alone.
    void* plain = palRealMalloc(64);
    palDbgFree(plain);
    uint32_t after[4];
    palTestAllocationCounters(&after[0], &after[1], &after[2], &after[3]);
    EXPECT_EQ(after[2], current);

    palDbgFree(a);
    palDbgFree(b);
    palDbgFree(nullptr);
    palTestAllocationCounters(&after[0], &after[1], &after[2], &after[3]);
    EXPECT_EQ(after[2], current0);
    EXPECT_EQ(after[1], total);  // totals never go down
    EXPECT_EQ(after[3], peak);
}

TEST(PlatformMemory, PointerChecksAndFixedAnswers) {
    int x = 0;
    EXPECT_TRUE(palIsBadReadPtr(&x, 0));
    EXPECT_TRUE(palIsBadReadPtr(nullptr, 4));
    EXPECT_FALSE(palIsBadReadPtr(&x, 4));
    EXPECT_TRUE(palIsBadWritePtr(&x, 0));
    EXPECT_FALSE(palIsBadWritePtr(&x, 4));

    char name[8] = "junk";
    uint32_t size = sizeof name;
    EXPECT_EQ(palGetApplicationName(nullptr, nullptr, &size), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(palGetApplicationName(nullptr, name, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(palGetApplicationName(nullptr, name, &size), TCS_RESULT_OK);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(size, 0u);

    EXPECT_EQ(palGetPowerSource(), 0u);
    EXPECT_EQ(palRemoteSensorsEnable(), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(palVerifyFileSignature("/nonexistent"), TCS_RESULT_OK);
}
