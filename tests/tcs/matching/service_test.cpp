// Matching service step: the two visits of a work item, its statuses and what each completion hands
// over, driven directly with a matcher whose slots the test scripts.
#include "platform/memory.h"
#include "tcs/core.h"
#include "tcs/handle_map.h"
#include "tcs/matching/matcher_client.h"
#include "tcs/matching/mss.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// What the scripted slots return and saw.
struct Script {
    TcsResult close = TCS_RESULT_OK;
    TcsResult shutdown = TCS_RESULT_OK;
    TcsResult addImage = TCS_RESULT_OK;
    uint32_t complete = 0;
    bool makeTemplate = false;
    uint32_t extWrites = 0;  // number of results the extended match reports
    uint32_t extBuffersSeen = 0;
    int closes = 0, shutdowns = 0;
} gScript;

TcsResult scriptedClose(MatcherRecord*) {
    ++gScript.closes;
    return gScript.close;
}
TcsResult scriptedShutdown(MatcherRecord*) {
    ++gScript.shutdowns;
    return gScript.shutdown;
}
TcsResult scriptedAddImage(MatcherRecord*, ImageRecord*, EnrollTemplate** templ, uint32_t* complete) {
    if (gScript.makeTemplate && *templ == nullptr) {
        const uint8_t bytes[2] = {1, 2};
        _tcsTemplateCreate(templ, bytes, 2);
    }
    *complete = gScript.complete;
    return gScript.addImage;
}
TcsResult scriptedExt(MatcherRecord*, ImageRecord*, EnrollTemplate**, uint32_t count, uint32_t* number,
                      MatchResult** results) {
    gScript.extBuffersSeen = *number;
    for (uint32_t i = 0; i < *number && i < count; ++i) results[i]->score = 100 + i;
    *number = gScript.extWrites;
    return TCS_RESULT_OK;
}

struct Completion {
    int calls = 0;
    uint64_t handle = 0;
    TcsResult status = 0xFFFF;
    std::vector<uint64_t> handles;
    uint32_t count = 0;
};

TcsResult record(void* handle, TcsResult status, void* context) {
    auto* c = static_cast<Completion*>(context);
    c->handle = uint64_t(uintptr_t(handle));
    c->status = status;
    ++c->calls;
    return TCS_RESULT_OK;
}

TcsResult recordEx(uint64_t* handles, uint32_t count, TcsResult status, void* context) {
    auto* c = static_cast<Completion*>(context);
    c->count = count;
    c->status = status;
    ++c->calls;
    if (handles != nullptr) c->handles.assign(handles, handles + count);
    palRealFree(handles);
    return TCS_RESULT_OK;
}

class ServiceStepTest : public ::testing::Test {
protected:
    void SetUp() override {
        gScript = Script{};
        ASSERT_EQ(tcsSafeHandlesInitialize(), TCS_RESULT_OK);
        ASSERT_EQ(mssSubsystemStartup(&mss_, nullptr), TCS_RESULT_OK);
        std::memset(&client_, 0, sizeof client_);
        palListInit(&client_.matchers);
        ASSERT_EQ(palCriticalSectionInitialize(&client_.matcherLock), TCS_RESULT_OK);
        client_.parameters[15] = 100000;
    }
    void TearDown() override {
        EXPECT_EQ(mssSubsystemShutdown(mss_), TCS_RESULT_OK);
        palCriticalSectionFree(client_.matcherLock);
        tcsSafeHandlesUnInitialize();
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_ENROLL_TEMPLATE, nullptr);
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_MATCH_RESULTS, nullptr);
    }
    template <typename T>
    T* payload() {
        auto* p = static_cast<T*>(palRealMalloc(sizeof(T)));
        std::memset(p, 0, sizeof(T));
        return p;
    }
    void queue(uint32_t opcode, void* object, void* callback, void* context) {
        ASSERT_EQ(palWorkItemEnqueue(&mss_->workList, opcode, MSS_ITEM_TIMEOUT_MS, object, uint64_t(uintptr_t(callback)),
                                     uint64_t(uintptr_t(context)), 1, nullptr),
                  TCS_RESULT_OK);
    }
    // Steps until the list is empty; returns the number of steps that reported work.
    int drain() {
        int busy = 0;
        uint32_t wake = 77;
        while (mssSubsystemService(mss_, 500, &wake) == TCS_RESULT_OK) ++busy;
        EXPECT_EQ(wake, 0u);
        return busy;
    }
    // A registered matcher with scripted slots, linked into the client's list.
    MatcherRecord* scriptedMatcher(uint64_t* outHandle) {
        auto* m = payload<MatcherRecord>();
        m->client = &client_;
        m->Close = scriptedClose;
        m->Shutdown = scriptedShutdown;
        m->AddImageToTemplate = scriptedAddImage;
        m->MatchImageToTemplatesExt = scriptedExt;
        palListInsertTail(&client_.matchers, &m->links);
        EXPECT_EQ(tcsSafeMatcherHandleCreate(m, outHandle), TCS_RESULT_OK);
        return m;
    }

    MssSubsystem* mss_ = nullptr;
    ClientRecord client_;
};

TEST_F(ServiceStepTest, EmptyListAndBadArguments) {
    uint32_t wake = 5;
    EXPECT_EQ(mssSubsystemService(mss_, 500, &wake), TCS_RESULT_NO_WORK_ITEMS);
    EXPECT_EQ(wake, 0u);
    EXPECT_EQ(mssSubsystemService(mss_, 500, nullptr), TCS_RESULT_NO_WORK_ITEMS);
    EXPECT_EQ(mssSubsystemService(nullptr, 500, &wake), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(mssSubsystemStartup(nullptr, nullptr), TCS_RESULT_NULL_HANDLE_POINTER);
    EXPECT_EQ(mssSubsystemShutdown(nullptr), TCS_RESULT_INVALID_HANDLE);
    uint32_t flags = 9;
    EXPECT_EQ(mssGetDbgFlags(&flags), TCS_RESULT_OK);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(mssGetDbgSystems(nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(mssSetDbgFlags(0xFFFF), TCS_RESULT_OK);
}

TEST_F(ServiceStepTest, OpenOfAnUnknownIdCompletesWith17AndKeepsNothing) {
    auto* request = payload<MssOpenRequest>();
    request->requestedId = 3;
    request->matcher = payload<MatcherRecord>();
    request->matcher->client = &client_;
    Completion done;
    queue(MSS_OPCODE_OPEN, request, reinterpret_cast<void*>(record), &done);
    // First visit runs the opener and requeues; the second completes.
    EXPECT_EQ(mssSubsystemService(mss_, 500, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(done.calls, 0);
    drain();
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.status, TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(done.handle, 0u);
    EXPECT_TRUE(palListIsEmpty(&client_.matchers));  // LeakSanitizer checks the record went
}

TEST_F(ServiceStepTest, CloseCompletesWithZeroWhateverCloseAndShutdownSay) {
    for (TcsResult failure : {TCS_RESULT_OK, TCS_RESULT_ERROR}) {
        gScript = Script{};
        gScript.close = failure;
        gScript.shutdown = failure;
        uint64_t handle = 0;
        MatcherRecord* m = scriptedMatcher(&handle);
        auto* request = payload<MssCloseRequest>();
        *request = MssCloseRequest{handle, m};
        Completion done;
        queue(MSS_OPCODE_CLOSE, request, reinterpret_cast<void*>(record), &done);
        drain();
        EXPECT_EQ(gScript.closes, 1);
        EXPECT_EQ(gScript.shutdowns, 1);
        EXPECT_EQ(done.calls, 1);
        EXPECT_EQ(done.status, TCS_RESULT_OK) << failure;
        EXPECT_TRUE(palListIsEmpty(&client_.matchers));
        void* object = nullptr;
        tcsSafeMatcherHandleFetch(handle, &object);
        EXPECT_EQ(object, nullptr);
    }
}

// A client's destroy queues closes without a callback: the record still leaves with its handle.
TEST_F(ServiceStepTest, CloseWithoutCallbackReleasesTheHandle) {
    uint64_t handle = 0;
    MatcherRecord* m = scriptedMatcher(&handle);
    auto* request = payload<MssCloseRequest>();
    *request = MssCloseRequest{handle, m};
    queue(MSS_WORK_ITEM_CLOSE_MATCHER, request, nullptr, nullptr);
    drain();
    void* object = nullptr;
    tcsSafeMatcherHandleFetch(handle, &object);
    EXPECT_EQ(object, nullptr);
    EXPECT_TRUE(palListIsEmpty(&client_.matchers));
}

TEST_F(ServiceStepTest, AddImageStatuses) {
    struct Case {
        TcsResult slot;
        uint32_t complete;
        bool makes;
        TcsResult status;
        bool handle;
    };
    for (const Case& c : {Case{TCS_RESULT_OK, 1, true, MSS_ENROLL_STATUS_COMPLETE, true},
                          Case{TCS_RESULT_OK, 0, false, MSS_ENROLL_STATUS_MORE_IMAGES, false},
                          Case{MSS_RESULT_IMAGE_REJECTED, 0, false, MSS_RESULT_IMAGE_REJECTED, false},
                          Case{TCS_RESULT_ERROR, 0, true, MSS_ENROLL_STATUS_FAILED, false},
                          Case{TCS_RESULT_MATCHER_ENROLL_FAILED, 0, false, MSS_ENROLL_STATUS_FAILED, false}}) {
        gScript = Script{};
        gScript.addImage = c.slot;
        gScript.complete = c.complete;
        gScript.makeTemplate = c.makes;
        uint64_t handle = 0;
        MatcherRecord* m = scriptedMatcher(&handle);
        auto* request = payload<MssAddImageRequest>();
        request->matcher = m;
        Completion done;
        queue(MSS_OPCODE_ADD_IMAGE, request, reinterpret_cast<void*>(record), &done);
        drain();
        EXPECT_EQ(done.status, c.status) << c.slot;
        EXPECT_EQ(done.handle != 0, c.handle) << c.slot;
        if (done.handle != 0) {
            EXPECT_EQ(tcsTemplateGetDataSize(done.handle), 2u);
        }
        tcsHandleDestroy(done.handle);
        palListRemove(&m->links);
        tcsSafeMatcherHandleDestroy(handle);
    }
}

TEST_F(ServiceStepTest, EmptySlotFailsWithNotImplemented) {
    uint64_t handle = 0;
    MatcherRecord* m = scriptedMatcher(&handle);
    auto* request = payload<MssQualityRequest>();
    request->matcher = m;
    Completion done;
    queue(MSS_OPCODE_CHECK_QUALITY, request, reinterpret_cast<void*>(record), &done);
    drain();
    EXPECT_EQ(done.status, TCS_RESULT_NOT_IMPLEMENTED);
    palListRemove(&m->links);
    tcsSafeMatcherHandleDestroy(handle);
}

TEST_F(ServiceStepTest, ExtendedMatchHandsOverOnlyTheResultsWritten) {
    uint64_t handle = 0;
    MatcherRecord* m = scriptedMatcher(&handle);
    gScript.extWrites = 2;
    const uint32_t asked = 3, count = 5;
    auto* request = payload<MssMatchImageExRequest>();
    request->matcher = m;
    request->templates = static_cast<EnrollTemplate**>(palRealMalloc(sizeof(EnrollTemplate*) * count));
    std::memset(request->templates, 0, sizeof(EnrollTemplate*) * count);
    request->count = count;
    uint32_t number = asked;
    request->callerNumber = &number;
    request->number = asked;
    request->buffers = asked;
    request->results = static_cast<MatchResult**>(palRealMalloc(sizeof(MatchResult*) * asked));
    for (uint32_t i = 0; i < asked; ++i) {
        request->results[i] = static_cast<MatchResult*>(palRealMalloc(sizeof(MatchResult)));
        std::memset(request->results[i], 0, sizeof(MatchResult));
    }
    Completion done;
    queue(MSS_OPCODE_MATCH_IMAGE_EX, request, reinterpret_cast<void*>(recordEx), &done);
    drain();
    EXPECT_EQ(gScript.extBuffersSeen, asked);
    EXPECT_EQ(number, 2u);
    EXPECT_EQ(done.status, TCS_RESULT_OK);
    ASSERT_EQ(done.handles.size(), 2u);
    EXPECT_EQ(tcsMatchResultsGetScore(done.handles[0]), 100u);
    EXPECT_EQ(tcsMatchResultsGetScore(done.handles[1]), 101u);
    for (uint64_t h : done.handles) tcsMatchResultsDestroyHandle(h);  // the third buffer went with the item
    palListRemove(&m->links);
    tcsSafeMatcherHandleDestroy(handle);
}

TEST_F(ServiceStepTest, UnknownOpcodeStaysQueuedAndShutdownReleasesQueuedWork) {
    auto* request = payload<MssOpenRequest>();
    request->requestedId = 1;
    request->matcher = payload<MatcherRecord>();
    request->matcher->client = &client_;
    Completion opened;
    queue(9, palRealMalloc(8), nullptr, nullptr);
    queue(MSS_OPCODE_OPEN, request, reinterpret_cast<void*>(record), &opened);
    // The unknown item goes back to the tail untouched, so the list never empties.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(mssSubsystemService(mss_, 500, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(opened.calls, 1);
    ASSERT_EQ(opened.status, TCS_RESULT_OK);
    // Shut-down runs nothing more and frees what is queued (LeakSanitizer checks); the opened
    // matcher is closed here as its client would.
    void* object = nullptr;
    tcsSafeMatcherHandleFetch(opened.handle, &object);
    auto* m = static_cast<MatcherRecord*>(object);
    ASSERT_NE(m, nullptr);
    m->Close(m);
    m->Shutdown(m);
    palListRemove(&m->links);
    tcsSafeMatcherHandleDestroy(opened.handle);
}

}  // namespace
