// Engine frame: contexts, handles, reference counting, versions and the result-code layout.
#include <gtest/gtest.h>
#include <string.h>

#include "engines/recognition/objects.h"
#include "engines/recognition/recog.h"
#include "tests/engines/recognition/engine_fixture.h"

namespace recogtest {
namespace {

TEST(RecogResultCodes, AreSignExtendedTo64Bits) {
    static_assert(sizeof(RecogResult) == 8);
    EXPECT_EQ(RECOG_E_INVALID_ARG, -2147024809L);
    EXPECT_EQ(uint64_t(RECOG_E_HANDLE), 0xFFFFFFFF80070006ull);
    EXPECT_EQ(uint64_t(RECOG_E_NOT_ENROLLABLE), 0xFFFFFFFF85BA0025ull);
}

TEST(RecogVersion, ReportsSixZeroOneBuild1561) {
    uint32_t v[4] = {};
    EXPECT_EQ(RecogGetLibraryVersion(v), RECOG_OK);
    EXPECT_EQ(v[0], 6u);
    EXPECT_EQ(v[1], 0u);
    EXPECT_EQ(v[2], 1u);
    EXPECT_EQ(v[3], 1561u);
    EXPECT_EQ(RecogGetLibraryVersion(nullptr), RECOG_E_INVALID_ARG);
    R::MatchData view;  // every record carries the version that made it
    EXPECT_EQ(view.version.major, 6);
    EXPECT_EQ(view.version.fourth, 6);
    EXPECT_EQ(view.version.build, 1561);
}

TEST(RecogContext, RefusesBadInitBlocks) {
    AllocationLog log;
    RecogHandle h = nullptr;
    ContextInitBlock init{};
    init.user = &log;
    init.allocate = AllocationLog::allocate;
    init.deallocate = AllocationLog::deallocate;
    EXPECT_EQ(RecogCreateContext(nullptr, &h), RECOG_E_INVALID_ARG);
    init.size = 40;
    EXPECT_EQ(RecogCreateContext(&init, nullptr), RECOG_E_INVALID_ARG);
    for (uint64_t size : {0ull, 32ull, 56ull, 80ull}) {
        init.size = size;
        EXPECT_EQ(RecogCreateContext(&init, &h), RECOG_E_INVALID_ARG) << size;
    }
    init.size = 72;
    init.allocate = nullptr;
    EXPECT_EQ(RecogCreateContext(&init, &h), RECOG_E_INVALID_ARG);
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(log.sizes.empty());
}

TEST(RecogContext, OutOfMemoryLeavesNothing) {
    for (int failAt : {0, 1}) {
        AllocationLog log;
        log.failAt = failAt;
        ContextInitBlock init{40, &log, AllocationLog::allocate, AllocationLog::deallocate, 0, {}, {}, {}, {}};
        RecogHandle h = nullptr;
        EXPECT_EQ(RecogCreateContext(&init, &h), RECOG_E_OUT_OF_MEMORY) << failAt;
        EXPECT_EQ(h, nullptr);
        EXPECT_TRUE(log.live.empty());
    }
}

// Counters the caller supplies in a 72-byte block are the ones the engine uses.
struct CountingCounters {
    static inline int calls = 0;
    static int64_t increment(int64_t* c) { ++calls; return ++*c; }
    static int64_t decrement(int64_t* c) { ++calls; return --*c; }
};

TEST(RecogContext, UsesCallerCountersFromAFullBlockOnly) {
    AllocationLog log;
    ContextInitBlock init{72, &log, AllocationLog::allocate, AllocationLog::deallocate, 0,
                          CountingCounters::increment, CountingCounters::decrement, nullptr, nullptr};
    RecogHandle h = nullptr;
    CountingCounters::calls = 0;
    ASSERT_EQ(RecogCreateContext(&init, &h), RECOG_OK);
    EXPECT_GT(CountingCounters::calls, 0);
    EXPECT_EQ(RecogCloseHandle(h), RECOG_OK);

    init.size = 40;  // the same callbacks beyond a 40-byte block are not read
    CountingCounters::calls = 0;
    ASSERT_EQ(RecogCreateContext(&init, &h), RECOG_OK);
    EXPECT_EQ(RecogCloseHandle(h), RECOG_OK);
    EXPECT_EQ(CountingCounters::calls, 0);
    EXPECT_TRUE(log.live.empty());
}

TEST_F(EngineTest, ContextAndHandleLayout) {
    auto* block = reinterpret_cast<R::HandleBlock*>(context_);
    EXPECT_EQ(memcmp(block->magic, "Handle", 7), 0);
    EXPECT_EQ(block->readOnly, 1);  // contexts are read-only
    const uint8_t tag[8] = {0x43, 0x7F, 0x7E, 0x74, 0x65, 0x78, 0x74, 0x00};
    EXPECT_TRUE(static_cast<R::TaggedObject*>(block->object)->hasTag(reinterpret_cast<const char*>(tag)));
    // Two blocks so far, each behind its {deallocate, user} prefix.
    ASSERT_EQ(log_.sizes.size(), 2u);
    EXPECT_EQ(log_.sizes[0], sizeof(R::BlockPrefix) + sizeof(R::Context));
    EXPECT_EQ(log_.sizes[1], sizeof(R::BlockPrefix) + sizeof(R::HandleBlock));
    EXPECT_EQ(context().matchParameters.fourViewSlope, 295);
    EXPECT_EQ(context().extractionParameters.impl.minimumArea, 11000u);
    EXPECT_EQ(context().refCount(), 1);
}

TEST_F(EngineTest, CloseHandleChecksTheBlock) {
    EXPECT_EQ(RecogCloseHandle(nullptr), RECOG_OK);
    struct {
        void* prefix[2];
        char magic[8];
        void* object;
    } fake{{nullptr, nullptr}, "Handlf", nullptr};
    EXPECT_EQ(RecogCloseHandle(reinterpret_cast<RecogHandle>(fake.magic)), RECOG_E_HANDLE);
    memcpy(fake.magic, "Handle\0\2", 8);  // flag other than 0 or 1
    EXPECT_EQ(RecogCloseHandle(reinterpret_cast<RecogHandle>(fake.magic)), RECOG_E_HANDLE);
    EXPECT_EQ(log_.frees, 0);
}

TEST_F(EngineTest, ContextOutlivesItsHandleWhileObjectsRemain) {
    RecogHandle enrollment = nullptr;
    ASSERT_EQ(RecogCreateEnrollment(context_, 0, &enrollment), RECOG_OK);
    RecogHandle fs = featureSet(makeFinger(1, 30), 1);
    EXPECT_EQ(context().refCount(), 3);  // its handle, the enrollment, the feature set
    const int before = log_.frees;
    EXPECT_EQ(RecogCloseHandle(context_), RECOG_OK);
    context_ = nullptr;
    EXPECT_EQ(log_.frees, before + 1);  // the handle only
    EXPECT_EQ(RecogAddFeatureSetToEnrollment(enrollment, fs), RECOG_OK);
    EXPECT_EQ(RecogCloseHandle(enrollment), RECOG_OK);
    EXPECT_FALSE(log_.live.empty());
    // TearDown closes the feature set, which takes the context with it.
}

TEST_F(EngineTest, HandlesOfTheWrongKindOrMutability) {
    RecogHandle enrollment = nullptr, out = nullptr;
    EXPECT_EQ(RecogCreateEnrollment(nullptr, 0, &enrollment), RECOG_E_HANDLE);
    EXPECT_EQ(RecogCreateEnrollment(context_, 0, nullptr), RECOG_E_INVALID_ARG);
    ASSERT_EQ(RecogCreateEnrollment(context_, 0, &enrollment), RECOG_OK);
    keep(enrollment);
    RecogHandle fs = featureSet(makeFinger(2, 30), 1);
    RecogHandle tmpl = templateOf({toMatchData(makeFinger(3, 30), 6)});

    EXPECT_EQ(RecogAddFeatureSetToEnrollment(context_, fs), RECOG_E_HANDLE);
    EXPECT_EQ(RecogAddFeatureSetToEnrollment(enrollment, context_), RECOG_E_HANDLE);
    EXPECT_EQ(RecogAddFeatureSetToEnrollment(enrollment, tmpl), RECOG_E_HANDLE);
    EXPECT_EQ(RecogCreateComparison(context_, tmpl, 0, &out), RECOG_E_HANDLE);
    EXPECT_EQ(RecogCreateComparison(fs, enrollment, 0, &out), RECOG_E_HANDLE);
    EXPECT_EQ(RecogCreateEnrollment(fs, 0, &out), RECOG_E_HANDLE);
    uint32_t status = 9;
    EXPECT_EQ(RecogGetEnrollmentStatus(fs, &status), RECOG_E_HANDLE);
    EXPECT_EQ(status, 9u);
    EXPECT_EQ(out, nullptr);

    // A read-only handle of an enrollment is refused by every modifying use.
    auto* block = reinterpret_cast<R::HandleBlock*>(enrollment);
    block->readOnly = 1;
    EXPECT_EQ(RecogAddFeatureSetToEnrollment(enrollment, fs), RECOG_E_HANDLE);
    EXPECT_EQ(RecogCreateTemplate(enrollment, 6, &out), RECOG_E_HANDLE);
    EXPECT_EQ(RecogGetEnrollmentStatus(enrollment, &status), RECOG_OK);
    block->readOnly = 0;
}

}  // namespace
}  // namespace recogtest
