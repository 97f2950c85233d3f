// Handle map: one counter for every kind, lookups by kind and by handle, destroy with clean-up.
#include "tcs/handle_map.h"

#include "platform/memory.h"
#include "tcs/core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <thread>
#include <vector>

namespace {

void* newObject() { return palRealMalloc(16); }

class HandleMap : public ::testing::Test {
protected:
    void SetUp() override {
        // Objects here are bare blocks: no stack's client or sensor destroy may look into them.
        for (HandleType k = 0; k < TCS_HANDLE_TYPE_COUNT; ++k) _tcsSafeHandleSetOwnerDestroy(k, nullptr);
        ASSERT_EQ(tcsSafeHandlesInitialize(), TCS_RESULT_OK);
    }
    void TearDown() override {
        for (HandleType k = 0; k < TCS_HANDLE_TYPE_COUNT; ++k) _tcsSafeHandleSetCleanup(k, nullptr);
        EXPECT_EQ(tcsSafeHandlesUnInitialize(), TCS_RESULT_OK);
    }
    uint64_t create(HandleType kind, void* object = nullptr) {
        uint64_t handle = 0;
        EXPECT_EQ(_tcsSafeHandleCreate(object != nullptr ? object : newObject(), kind, &handle), TCS_RESULT_OK);
        return handle;
    }
};

TEST_F(HandleMap, OneCounterForAllKindsStartingAtOneNeverReused) {
    EXPECT_EQ(create(TCS_HANDLE_TYPE_IMAGE), 1u);
    EXPECT_EQ(create(TCS_HANDLE_TYPE_CLIENT), 2u);
    EXPECT_EQ(tcsHandleDestroy(2), TCS_RESULT_OK);
    EXPECT_EQ(create(TCS_HANDLE_TYPE_CLIENT), 3u);
    uint64_t h = 0;
    EXPECT_EQ(tcsSafeSensorHandleCreate(newObject(), &h), TCS_RESULT_OK);
    EXPECT_EQ(h, 4u);
    EXPECT_EQ(tcsSafeDBTemplateHandleCreate(newObject(), &h), TCS_RESULT_OK);
    EXPECT_EQ(h, 5u);
    for (uint64_t handle : {1u, 3u, 4u, 5u}) EXPECT_EQ(tcsHandleDestroy(handle), TCS_RESULT_OK);
}

TEST_F(HandleMap, FetchByKindAndByHandle) {
    void* object = newObject();
    uint64_t h = 0;
    ASSERT_EQ(tcsSafeMatcherHandleCreate(object, &h), TCS_RESULT_OK);

    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(tcsSafeMatcherHandleFetch(h, &out), TCS_RESULT_OK);
    EXPECT_EQ(out, object);
    EXPECT_EQ(tcsSafeHandleFetch(h, &out), TCS_RESULT_OK);
    EXPECT_EQ(out, object);
    // Unknown or of another kind: no error, a null object for the caller's validator.
    EXPECT_EQ(tcsSafeClientHandleFetch(h, &out), TCS_RESULT_OK);
    EXPECT_EQ(out, nullptr);
    out = object;
    EXPECT_EQ(tcsSafeMatcherHandleFetch(h + 100, &out), TCS_RESULT_OK);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(tcsSafeMatcherHandleFetch(0, &out), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(tcsSafeMatcherHandleFetch(h, nullptr), TCS_RESULT_NULL_HANDLE_POINTER);
    EXPECT_EQ(tcsSafeHandleFetch(h + 100, &out), TCS_RESULT_BAD_PARAM);

    HandleType kind = 99;
    EXPECT_EQ(_tcsSafeHandleTypeGet(h, &kind), TCS_RESULT_OK);
    EXPECT_EQ(kind, TCS_HANDLE_TYPE_MATCHER);
    EXPECT_EQ(_tcsSafeHandleTypeGet(h + 100, &kind), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(_tcsSafeHandleTypeGet(0, &kind), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(_tcsSafeHandleTypeGet(h, nullptr), TCS_RESULT_NULL_HANDLE_POINTER);

    uint64_t found = 0;
    EXPECT_EQ(tcsSafeHandleReverseFetch(object, TCS_HANDLE_TYPE_MATCHER, &found), TCS_RESULT_OK);
    EXPECT_EQ(found, h);
    EXPECT_EQ(tcsSafeHandleReverseFetch(object, TCS_HANDLE_TYPE_USER, &found), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(found, 0u);
    EXPECT_EQ(tcsSafeHandleReverseFetch(object, TCS_HANDLE_TYPE_USER, nullptr), TCS_RESULT_NULL_HANDLE_POINTER);
    EXPECT_EQ(tcsSafeMatcherHandleDestroy(h), TCS_RESULT_OK);
}

// A record that owns a buffer, as images own their metrics blocks.
struct Owner {
    void* owned;
};
int gCleanups = 0;
void freeOwner(HandleNode* node) {
    ++gCleanups;
    palRealFree(static_cast<Owner*>(node->object)->owned);
    palRealFree(node->object);
    node->object = nullptr;
}
Owner* newOwner() {
    auto* o = static_cast<Owner*>(palRealMalloc(sizeof(Owner)));
    o->owned = palRealMalloc(64);
    return o;
}

TEST_F(HandleMap, DestroyRunsTheKindsCleanupOnce) {
    ASSERT_EQ(_tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_IMAGE, freeOwner), TCS_RESULT_OK);
    EXPECT_EQ(_tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_COUNT, freeOwner), TCS_RESULT_BAD_PARAM);
    gCleanups = 0;
    uint64_t image = 0;
    ASSERT_EQ(tcsSafeImageHandleCreate(newOwner(), &image), TCS_RESULT_OK);
    EXPECT_EQ(tcsHandleDestroy(image), TCS_RESULT_OK);
    EXPECT_EQ(gCleanups, 1);
    void* out = nullptr;
    EXPECT_EQ(tcsSafeImageHandleFetch(image, &out), TCS_RESULT_OK);
    EXPECT_EQ(out, nullptr);
    // Gone: the typed destroy does nothing, the kind-searching ones call it unknown.
    EXPECT_EQ(tcsSafeImageHandleDestroy(image), TCS_RESULT_OK);
    EXPECT_EQ(tcsHandleDestroy(image), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsSafeHandleDestroy(image), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsHandleDestroy(0), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(_tcsSafeHandleDestroy(0, TCS_HANDLE_TYPE_IMAGE), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(gCleanups, 1);

    // Destroy by object: a registered one gets the clean-up, an unregistered one is only freed.
    Owner* registered = newOwner();
    uint64_t h = create(TCS_HANDLE_TYPE_IMAGE, registered);
    EXPECT_EQ(tcsSafeExHandleDestroy(registered, TCS_HANDLE_TYPE_IMAGE), TCS_RESULT_OK);
    EXPECT_EQ(gCleanups, 2);
    HandleType kind;
    EXPECT_EQ(_tcsSafeHandleTypeGet(h, &kind), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsSafeExHandleDestroy(newObject(), TCS_HANDLE_TYPE_IMAGE), TCS_RESULT_OK);
    EXPECT_EQ(gCleanups, 2);
    EXPECT_EQ(tcsSafeExHandleDestroy(nullptr, TCS_HANDLE_TYPE_IMAGE), TCS_RESULT_INVALID_HANDLE);
}

TEST_F(HandleMap, CreatesOnManyThreadsNeverShareAValue) {
    constexpr int kThreads = 8, kEach = 200;
    std::vector<std::vector<uint64_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                uint64_t h = 0;
                if (_tcsSafeHandleCreate(newObject(), HandleType(t % TCS_HANDLE_TYPE_COUNT), &h) == TCS_RESULT_OK) {
                    got[t].push_back(h);
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    std::vector<uint64_t> all;
    for (auto& g : got) all.insert(all.end(), g.begin(), g.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), size_t(kThreads * kEach));
    for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], i + 1);
    for (uint64_t h : all) EXPECT_EQ(tcsHandleDestroy(h), TCS_RESULT_OK);
}

TEST_F(HandleMap, ValidatorsJudgeWhatAFetchReturned) {
    // Fetching an unknown handle is no error: the validator turns the null record into its code.
    ClientRecord client{};
    SensorRecord sensor{};
    const uint64_t clientHandle = create(TCS_HANDLE_TYPE_CLIENT, &client);
    const uint64_t sensorHandle = create(TCS_HANDLE_TYPE_SENSOR, &sensor);
    const uint64_t unknown = sensorHandle + 100;
    void* object = nullptr;

    ASSERT_EQ(tcsSafeClientHandleFetch(clientHandle, &object), TCS_RESULT_OK);
    EXPECT_EQ(tcsClientValidate(static_cast<ClientRecord*>(object)), TCS_RESULT_OK);
    client.destroying = 1;
    EXPECT_EQ(tcsClientValidate(static_cast<ClientRecord*>(object)), TCS_RESULT_CLIENT_DESTRUCTION_IN_PROCESS);
    ASSERT_EQ(tcsSafeClientHandleFetch(unknown, &object), TCS_RESULT_OK);
    EXPECT_EQ(tcsClientValidate(static_cast<ClientRecord*>(object)), TCS_RESULT_NULL_CLIENT_HANDLE);
    // A sensor handle is no client handle.
    ASSERT_EQ(tcsSafeClientHandleFetch(sensorHandle, &object), TCS_RESULT_OK);
    EXPECT_EQ(tcsClientValidate(static_cast<ClientRecord*>(object)), TCS_RESULT_NULL_CLIENT_HANDLE);

    ASSERT_EQ(tcsSafeSensorHandleFetch(sensorHandle, &object), TCS_RESULT_OK);
    EXPECT_EQ(tcsSensorValidate(static_cast<SensorRecord*>(object)), TCS_RESULT_OK);
    sensor.closing = 1;
    EXPECT_EQ(tcsSensorValidate(static_cast<SensorRecord*>(object)), TCS_RESULT_SENSOR_CLOSE_IN_PROCESS);
    ASSERT_EQ(tcsSafeSensorHandleFetch(unknown, &object), TCS_RESULT_OK);
    EXPECT_EQ(tcsSensorValidate(static_cast<SensorRecord*>(object)), TCS_RESULT_NULL_SENSOR_HANDLE);
    // The records live on this stack: take them out of the map without the kind's clean-up.
    EXPECT_EQ(_tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_CLIENT, [](HandleNode* node) { node->object = nullptr; }),
              TCS_RESULT_OK);
    EXPECT_EQ(_tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_SENSOR, [](HandleNode* node) { node->object = nullptr; }),
              TCS_RESULT_OK);
    EXPECT_EQ(tcsHandleDestroy(clientHandle), TCS_RESULT_OK);
    EXPECT_EQ(tcsHandleDestroy(sensorHandle), TCS_RESULT_OK);
}

TEST(HandleMapAbsent, EveryOperationAnswers54AfterItsArgumentChecks) {
    ASSERT_EQ(tcsSafeHandlesUnInitialize(), TCS_RESULT_OK);  // none made: still 0
    uint64_t h = 7;
    void* out = reinterpret_cast<void*>(1);
    HandleType kind = 0;
    int object = 0;
    struct Case { const char* what; TcsResult got; TcsResult expected; };
    for (auto [what, got, expected] : std::initializer_list<Case>{
             {"create", _tcsSafeHandleCreate(&object, 0, &h), TCS_RESULT_ERROR},
             {"typed create", tcsSafeClientHandleCreate(&object, &h), TCS_RESULT_ERROR},
             {"fetch", _tcsSafeHandleFetch(1, 0, &out), TCS_RESULT_ERROR},
             {"destroy", _tcsSafeHandleDestroy(1, 0), TCS_RESULT_ERROR},
             {"reverse fetch", tcsSafeHandleReverseFetch(&object, 0, &h), TCS_RESULT_ERROR},
             {"type get", _tcsSafeHandleTypeGet(1, &kind), TCS_RESULT_ERROR},
             {"type get, null out first", _tcsSafeHandleTypeGet(1, nullptr), TCS_RESULT_NULL_HANDLE_POINTER},
             {"any fetch", tcsSafeHandleFetch(1, &out), TCS_RESULT_ERROR},
             {"any fetch, null out first", tcsSafeHandleFetch(1, nullptr), TCS_RESULT_NULL_HANDLE_POINTER},
             {"handle destroy", tcsHandleDestroy(1), TCS_RESULT_ERROR},
             {"handle destroy, 0 first", tcsHandleDestroy(0), TCS_RESULT_INVALID_HANDLE},
             {"destroy by object", tcsSafeExHandleDestroy(&object, 0), TCS_RESULT_ERROR},
             {"destroy by object, null first", tcsSafeExHandleDestroy(nullptr, 0), TCS_RESULT_INVALID_HANDLE},
         }) {
        EXPECT_EQ(got, expected) << what;
    }
    EXPECT_EQ(tcsSafeHandlesUnInitialize(), TCS_RESULT_OK);
}

TEST(HandleMapAbsent, ANewMapStartsCountingAtOneAgain) {
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(tcsSafeHandlesInitialize(), TCS_RESULT_OK);
        uint64_t h = 0;
        EXPECT_EQ(_tcsSafeHandleCreate(newObject(), TCS_HANDLE_TYPE_USER, &h), TCS_RESULT_OK);
        EXPECT_EQ(h, 1u);
        EXPECT_EQ(tcsHandleDestroy(h), TCS_RESULT_OK);
        EXPECT_EQ(tcsSafeHandlesUnInitialize(), TCS_RESULT_OK);
    }
}

}  // namespace
