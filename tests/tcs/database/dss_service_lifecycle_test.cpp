// Database service life cycle: close cascades, synchronous calls that time out and drop their own
// request, cancels by kind, and shut-down with requests still queued.
#include "tests/tcs/database/dss_service_fixture.h"

#include "platform/memory.h"
#include "tcs/database/dss_store.h"
#include "tcs/handle_map.h"

#include <thread>

namespace {

using DssServiceLifecycle = DssServiceTest;

// Holds the database thread inside a completion until released.
struct Gate {
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
};

TcsResult holdThread(uint64_t, TcsResult, void* context) {
    auto* gate = static_cast<Gate*>(context);
    gate->entered = true;
    while (!gate->release.load()) usleep(500);
    return TCS_RESULT_OK;
}

template <class Done>
bool waitUntil(Done done) {
    for (int i = 0; i < 4000; ++i) {
        if (done()) return true;
        usleep(1000);
    }
    return done();
}

size_t queued(CoreSubsystem* stack) {
    WorkList& list = stack->database->workList;
    palCriticalSectionAcquire(list.listLock);
    size_t count = 0;
    for (PalListEntry* e = list.links.next; e != &list.links; e = e->next) ++count;
    palCriticalSectionRelease(list.listLock);
    return count;
}

bool registered(TcsHandle handle, HandleType type) {
    void* record = nullptr;
    _tcsSafeHandleFetch(handle, type, &record);
    return record != nullptr;
}

struct CascadeWatch {
    DssCompletion done;
    TcsHandle children[4];
    HandleType types[4];
    std::atomic<int> stillOpen{-1};
};

TcsResult watchCascade(uint64_t value, TcsResult result, void* context) {
    auto* watch = static_cast<CascadeWatch*>(context);
    int open = 0;
    for (int i = 0; i < 4; ++i) open += registered(watch->children[i], watch->types[i]) ? 1 : 0;
    watch->stillOpen = open;
    return recordDssCompletion(value, result, &watch->done);
}

TEST_F(DssServiceLifecycle, ClosingADatabaseClosesItsChildrenFirst) {
    TcsHandle database = openDatabase();
    TcsHandle app = appStorage(database);
    TcsHandle user = 0, templ = 0, storage = 0;
    ASSERT_EQ(tcsDatabaseCreateUser(app, &user), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseCreateTemplate(user, &templ), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseCreateStorage(app, &storage), TCS_RESULT_OK);
    const uint8_t id[] = {1, 2};
    ASSERT_EQ(tcsDatabaseSetUserData(user, 1, id, sizeof id), TCS_RESULT_OK);
    CascadeWatch watch{{}, {app, user, templ, storage},
                       {TCS_HANDLE_TYPE_APP_STORAGE, TCS_HANDLE_TYPE_USER, TCS_HANDLE_TYPE_DB_TEMPLATE,
                        TCS_HANDLE_TYPE_STORAGE}};
    ASSERT_EQ(tcsDatabaseCloseAsync(database, watchCascade, &watch), TCS_RESULT_OK);
    ASSERT_TRUE(waitUntil([&] { return watch.done.calls.load() == 1; }));
    EXPECT_EQ(watch.done.result.load(), TCS_RESULT_OK);
    EXPECT_EQ(watch.stillOpen.load(), 0) << "the database's callback ran before its children were closed";
    EXPECT_FALSE(registered(database, TCS_HANDLE_TYPE_DATABASE));
    // The children were written on their way out.
    database = openDatabase();
    app = appStorage(database);
    uint32_t count = 0;
    ASSERT_EQ(tcsDatabaseGetUserCount(app, &count), TCS_RESULT_OK);
    EXPECT_EQ(count, 1u);
    // A close of a record already closed by a cascade finds no record.
    EXPECT_EQ(tcsDatabaseCloseUser(user), TCS_RESULT_INVALID_USER_HANDLE);
}

TEST_F(DssServiceLifecycle, TimedOutCallDropsItsOwnRequestOnly) {
    TcsHandle database = openDatabase();
    TcsHandle app = appStorage(database);
    Gate gate;
    ASSERT_EQ(tcsDatabaseGetUserCountAsync(app, holdThread, &gate), TCS_RESULT_OK);
    ASSERT_TRUE(waitUntil([&] { return gate.entered.load(); }));
    // Another caller's request of the same kind, queued first, must survive the time-out.
    DssCompletion other;
    ASSERT_EQ(tcsDatabaseCreateUserAsync(app, recordDssCompletion, &other), TCS_RESULT_OK);

    palTestSetClock(1700000000000ull);
    std::atomic<TcsResult> result{0xFFFF};
    TcsHandle user = 0;
    std::thread caller([&] { result = tcsDatabaseCreateUser(app, &user); });
    ASSERT_TRUE(waitUntil([&] { return queued(stack_) == 3; }));
    // The caller notes its start after queueing: move the clock until it has seen the whole wait.
    ASSERT_TRUE(waitUntil([&] {
        palTestAdvanceClock(DSS_SYNC_WAIT_MS);
        return result.load() != 0xFFFF;
    }));
    caller.join();
    palTestUseRealClock();
    EXPECT_EQ(result.load(), TCS_RESULT_TIMEOUT);
    EXPECT_EQ(user, 0u);

    gate.release = true;
    ASSERT_TRUE(waitUntil([&] { return other.calls.load() == 1; }));
    EXPECT_EQ(other.result.load(), TCS_RESULT_OK);
    ASSERT_TRUE(waitUntil([&] { return queued(stack_) == 0; }));
    // Only the other caller's user exists: the timed-out create never ran.
    TcsHandle first = 0, next = 0;
    ASSERT_EQ(tcsDatabaseCloseUser(other.value.load()), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseOpenFirstUser(app, &first), TCS_RESULT_OK);
    EXPECT_EQ(tcsDatabaseOpenNextUser(app, &next), TCS_RESULT_USER_DOESNT_EXIST);
}

TEST_F(DssServiceLifecycle, CancelByKindDropsTheFirstQueuedRequestWithoutItsCallback) {
    TcsHandle database = openDatabase();
    TcsHandle app = appStorage(database);
    Gate gate;
    ASSERT_EQ(tcsDatabaseGetUserCountAsync(app, holdThread, &gate), TCS_RESULT_OK);
    ASSERT_TRUE(waitUntil([&] { return gate.entered.load(); }));
    DssCompletion first, second;
    static const uint8_t kData[] = {1, 2, 3};
    TcsHandle user = 0;
    gate.release = true;
    ASSERT_EQ(tcsDatabaseCreateUser(app, &user), TCS_RESULT_OK);
    gate.release = false;
    gate.entered = false;
    ASSERT_EQ(tcsDatabaseGetUserCountAsync(app, holdThread, &gate), TCS_RESULT_OK);
    ASSERT_TRUE(waitUntil([&] { return gate.entered.load(); }));
    ASSERT_EQ(tcsDatabaseSetUserDataAsync(user, 1, kData, sizeof kData, recordDssCompletion, &first), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseSetUserDataAsync(user, 2, kData, sizeof kData, recordDssCompletion, &second), TCS_RESULT_OK);
    EXPECT_EQ(tcsCancelOperation(1, client_, DSS_REQ_SET_USER_DATA), TCS_RESULT_OK);
    gate.release = true;
    ASSERT_TRUE(waitUntil([&] { return second.calls.load() == 1 && queued(stack_) == 0; }));
    EXPECT_EQ(first.calls.load(), 0);
    uint8_t* data = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(tcsDatabaseGetUserData(user, 1, &data, &length), TCS_RESULT_DATA_ID_DOESNT_EXIST);
    ASSERT_EQ(tcsDatabaseGetUserData(user, 2, &data, &length), TCS_RESULT_OK);
    tcsBufferFree(data);
}

TcsResult keepData(uint8_t* data, uint32_t, TcsResult, void*) {
    palRealFree(data);
    return TCS_RESULT_OK;
}

TEST_F(DssServiceLifecycle, ShutDownWithRequestsQueuedFreesThem) {
    TcsHandle database = openDatabase();
    TcsHandle app = appStorage(database);
    TcsHandle user = 0;
    ASSERT_EQ(tcsDatabaseCreateUser(app, &user), TCS_RESULT_OK);
    static const uint8_t kData[] = {9, 9, 9, 9};
    ASSERT_EQ(tcsDatabaseSetUserData(user, 1, kData, sizeof kData), TCS_RESULT_OK);
    Gate gate;
    ASSERT_EQ(tcsDatabaseGetUserCountAsync(app, holdThread, &gate), TCS_RESULT_OK);
    ASSERT_TRUE(waitUntil([&] { return gate.entered.load(); }));
    // Requests of every shape: data blocks, a read with its buffer, creates, a cascade.
    DssCompletion done[4];
    ASSERT_EQ(tcsDatabaseCreateTemplateAsync(user, recordDssCompletion, &done[0]), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseSetUserDataAsync(user, 2, kData, sizeof kData, recordDssCompletion, &done[1]), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseGetUserDataAsync(user, 1, keepData, nullptr), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseOpenAsyncA(client_, url_.c_str(), recordDssCompletion, &done[2]), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseCreateAppStorageAsync(database, "OTHER", 0, recordDssCompletion, &done[3]), TCS_RESULT_OK);
    // Shut-down destroys the client (whose databases close through the service) and then stops the
    // service; whatever is still queued then goes without running. The leak checker judges the rest.
    std::thread releaser([&] {
        usleep(20000);
        gate.release = true;
    });
    stop();
    releaser.join();
}

TEST_F(DssServiceLifecycle, HandleDestroyClosesTheObject) {
    TcsHandle database = openDatabase();
    TcsHandle app = appStorage(database);
    TcsHandle user = 0;
    ASSERT_EQ(tcsDatabaseCreateUser(app, &user), TCS_RESULT_OK);
    const uint8_t id[] = {3};
    ASSERT_EQ(tcsDatabaseSetUserData(user, 1, id, sizeof id), TCS_RESULT_OK);
    // The user is written and leaves its app storage's list; the database then closes cleanly.
    EXPECT_EQ(tcsHandleDestroy(user), TCS_RESULT_OK);
    EXPECT_FALSE(registered(user, TCS_HANDLE_TYPE_USER));
    uint32_t count = 0;
    ASSERT_EQ(tcsDatabaseGetUserCount(app, &count), TCS_RESULT_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(tcsHandleDestroy(database), TCS_RESULT_OK);
    EXPECT_FALSE(registered(app, TCS_HANDLE_TYPE_APP_STORAGE));
}

TEST_F(DssServiceLifecycle, DebugMasksAreStubs) {
    uint32_t value = 5;
    EXPECT_EQ(dssGetDbgFlags(&value), TCS_RESULT_OK);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(dssSetDbgSystems(0xFF), TCS_RESULT_OK);
    value = 5;
    EXPECT_EQ(dssGetDbgSystems(&value), TCS_RESULT_OK);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(dssGetDbgFlags(nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(dssSubsystemShutdown(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(dssSubsystemStartup(nullptr, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(dssSubsystemPostStartup(nullptr, stack_->database), TCS_RESULT_BAD_PARAM);
}

}  // namespace
