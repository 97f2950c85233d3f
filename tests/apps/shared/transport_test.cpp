// Transfer call, set-up and tear-down against the stand-in service.

#include "tests/apps/shared/fixture.h"

#include "apps/shared/calls.h"
#include "platform/clock.h"
#include "platform/memory.h"

#include <atomic>
#include <thread>

namespace tov::client::testing {
namespace {

TEST_F(ServiceTest, FirstCreateSaysHelloOnceAndLastDestroySaysGoodbye) {
    TcsHandle first = createClient();
    TcsHandle second = createClient();
    EXPECT_NE(first, second);
    EXPECT_EQ(service_->helloCount(), 1u);
    EXPECT_EQ(gClientSystem.clientCount, 2u);
    EXPECT_EQ(tcsClientDestroy(first), TCS_RESULT_OK);
    EXPECT_EQ(service_->goodbyeCount(), 0u);
    EXPECT_EQ(tcsClientDestroy(second), TCS_RESULT_OK);
    EXPECT_EQ(service_->goodbyeCount(), 1u);
    EXPECT_EQ(gClientSystem.clientCount, 0u);
    EXPECT_EQ(gClientSystem.listener, 0u);
    EXPECT_EQ(gClientSystem.request.event, nullptr);
    // A later create sets the transport up anew.
    TcsHandle third = createClient();
    EXPECT_EQ(service_->helloCount(), 2u);
    EXPECT_EQ(tcsClientDestroy(third), TCS_RESULT_OK);
}

}  // namespace
}  // namespace tov::client::testing

namespace tov::client::testing {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes resultWord(uint32_t result, size_t size = 4) {
    Bytes out(size, 0);
    std::memcpy(out.data(), &result, 4);
    return out;
}

double msSince(uint32_t start) { return double(palGetTickCount() - start); }

TEST_F(ServiceTest, WithoutAServiceTheFirstCreateFailsAndLeavesNoTransport) {
    service_.reset();
    tovClientTestSetWaits(0, 1);
    TcsHandle client = 0x5;
    EXPECT_EQ(tcsClientCreate(&client), TOV_RESULT_CHANNEL_SEGMENT_MISSING);
    EXPECT_EQ(gClientSystem.clientCount, 0u);
    EXPECT_EQ(gClientSystem.listener, 0u);
    EXPECT_EQ(gClientSystem.request.segment, nullptr);
    // A service that appears later is found by the next create.
    sim::service::Config config;
    config.pipeDirectory = directory_;
    service_ = sim::service::ServiceStandIn::start(config);
    ASSERT_NE(service_, nullptr);
    client = createClient();
    EXPECT_EQ(tcsClientDestroy(client), TCS_RESULT_OK);
}

TEST_F(ServiceTest, NullArgumentsOfTheTransferCall) {
    uint32_t reply = 0;
    EXPECT_EQ(tcsFPClientTransferCall(nullptr, 51, nullptr, 0, &reply, 4, 0, 1), TCS_RESULT_INVALID);
    EXPECT_EQ(tcsFPClientTransferCallInternal(nullptr, 51, nullptr, 0, &reply, 4, 0, 1), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsClientCreate(nullptr), TCS_RESULT_NULL_HANDLE_POINTER);
    EXPECT_EQ(tcsClientDestroy(0), TCS_RESULT_OK);
}

TEST_F(ServiceTest, LimitsOfFunctionIdAndLengths) {
    createClient();
    service_->clearRequests();
    Bytes big(TOV_CHANNEL_PAYLOAD_MAX + 1, 0x42);
    uint32_t reply = 0;
    struct Case {
        uint8_t function;
        uint32_t requestLength;
        uint32_t capacity;
        TcsResult expected;
    };
    for (const Case& c : std::initializer_list<Case>{{108, 0, 4, TCS_RESULT_BAD_PARAM},
                                                      {51, TOV_CHANNEL_PAYLOAD_MAX + 1, 4, TCS_RESULT_BAD_PARAM},
                                                      {51, 16, TOV_CHANNEL_PAYLOAD_MAX + 1, TCS_RESULT_BAD_PARAM}}) {
        EXPECT_EQ(tcsFPClientTransferCall(&gClientSystem, c.function, big.data(), c.requestLength, &reply, c.capacity,
                                          0, 1),
                  c.expected)
            << int(c.function);
    }
    EXPECT_TRUE(service_->requests().empty());

    // The largest request passes whole, though the FIFO carries it in pieces; id 107 is in range.
    EXPECT_EQ(tcsFPClientTransferCall(&gClientSystem, 107, big.data(), TOV_CHANNEL_PAYLOAD_MAX, &reply, 4, 0, 1),
              TCS_RESULT_OK);
    auto sent = requestsOf(107);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].payload, Bytes(big.begin(), big.end() - 1));
}

TEST_F(ServiceTest, LargeRepliesArriveWholeInTheAllocatingForm) {
    createClient();
    sim::service::CannedReply reply;
    reply.payload = resultWord(0, 300000);
    for (size_t i = 4; i < reply.payload.size(); ++i) reply.payload[i] = uint8_t(i * 13);
    service_->setReply(103, reply);
    void* buffer = nullptr;
    uint32_t capacity = 0;
    ASSERT_EQ(tcsFPClientTransferCallEx(&gClientSystem, 103, nullptr, 0, &buffer, &capacity, 0, 1), TCS_RESULT_OK);
    ASSERT_EQ(capacity, 300000u);
    EXPECT_EQ(std::memcmp(buffer, reply.payload.data(), capacity), 0);
    palRealFree(buffer);
}

TEST_F(ServiceTest, BadRepliesAreRefusedAndTheStreamStaysInStep) {
    TcsHandle client = createClient();
    struct Case {
        const char* name;
        sim::service::CannedReply reply;
        uint32_t capacity;
        TcsResult expected;
    };
    sim::service::CannedReply shortReply;
    shortReply.payload = {1, 0};
    sim::service::CannedReply longReply;
    longReply.payload = resultWord(0, 64);
    sim::service::CannedReply otherThread;
    otherThread.payload = resultWord(0, 8);
    otherThread.payload[4] = 0x2A;
    otherThread.otherThreadFirst = true;
    // Other bytes for the other thread: taking its reply would show.
    otherThread.otherThreadPayload = resultWord(0, 8);
    otherThread.otherThreadPayload[4] = 0x55;
    for (const Case& c : {Case{"reply without a result word", shortReply, 8, TCS_RESULT_SERVICE},
                          Case{"reply longer than the buffer", longReply, 8, TCS_RESULT_BAD_PARAM},
                          Case{"answer to another thread skipped", otherThread, 8, TCS_RESULT_OK}}) {
        SCOPED_TRACE(c.name);
        service_->setReply(51, c.reply);
        uint8_t buffer[8];
        std::memset(buffer, 0xEE, sizeof(buffer));
        uint64_t request[2] = {client, 1};
        TcsResult result =
            tcsFPClientTransferCall(&gClientSystem, 51, request, sizeof(request), buffer, c.capacity, 0, 1);
        EXPECT_EQ(result, c.expected);
        if (result == TCS_RESULT_OK) EXPECT_EQ(buffer[4], 0x2A);
        else EXPECT_EQ(buffer[0], 0xEE);  // the caller's buffer as it was
        // The next call reads its own reply, not what was left of this one.
        service_->clearReply(51);
        uint32_t value = 9;
        EXPECT_EQ(tcsGetParam(client, 99, &value), TCS_RESULT_OK);
        EXPECT_EQ(value, 0u);
    }
}

TEST_F(ServiceTest, ImpossibleReplyLengthIsRefusedWithoutReadingOn) {
    TcsHandle client = createClient();
    sim::service::CannedReply huge;
    huge.payload = resultWord(0);
    huge.overrideLength = true;
    huge.lengthField = TOV_CHANNEL_PAYLOAD_MAX + 1;
    service_->setReply(51, huge);
    uint32_t value = 0;
    EXPECT_EQ(tcsGetParam(client, 1, &value), TCS_RESULT_BAD_PARAM);
    service_->clearReply(51);
    EXPECT_EQ(tcsGetParam(client, 1, &value), TCS_RESULT_OK);
}

TEST_F(ServiceTest, ServiceThatGoesAwayMidCallGivesAClearFailure) {
    TcsHandle client = createClient();
    sim::service::CannedReply vanish;
    vanish.vanish = true;
    service_->setReply(51, vanish);
    uint32_t value = 7;
    uint32_t start = palGetTickCount();
    EXPECT_EQ(tcsGetParam(client, 1, &value), TCS_RESULT_SERVICE);
    EXPECT_LT(msSince(start), 1000.0);
    EXPECT_EQ(value, 0u);
    // It comes back: the next call opens the reply FIFO afresh.
    service_->clearReply(51);
    EXPECT_EQ(tcsGetParam(client, 1, &value), TCS_RESULT_OK);
}

TEST_F(ServiceTest, StoppedServiceEndsAWaitingCall) {
    TcsHandle client = createClient();
    sim::service::CannedReply hold;
    hold.hold = true;
    service_->setReply(51, hold);
    std::atomic<TcsResult> result{0xFFFFFFFFu};
    std::thread caller([&] {
        uint32_t value = 0;
        result = tcsGetParam(client, 1, &value);
    });
    ASSERT_TRUE(service_->waitForHeld(51, 2000));
    service_->setState(TOV_SERVICE_STATE_STOPPED);
    caller.join();
    EXPECT_EQ(result.load(), TOV_RESULT_SERVICE_STOPPED);
    service_->setState(0);
}

TEST_F(ServiceTest, StoppedServiceAnswersEveryCallWith500AndGetsNothing) {
    createClient();
    service_->clearRequests();
    service_->setState(TOV_SERVICE_STATE_STOPPED);
    uint32_t reply = 0;
    for (uint8_t function : {uint8_t(1), uint8_t(51), uint8_t(97)}) {
        EXPECT_EQ(tcsFPClientTransferCall(&gClientSystem, function, nullptr, 0, &reply, 4, 0, 1),
                  TOV_RESULT_SERVICE_STOPPED);
    }
    EXPECT_TRUE(service_->requests().empty());
    service_->setState(0);
}

TEST_F(ServiceTest, MutexHeldElsewhereTimesOutAndSendsNothing) {
    TcsHandle client = createClient();
    tovClientTestSetWaits(40, 20);
    service_->clearRequests();
    std::atomic<bool> holding{false}, release{false};
    std::thread holder([&] {
        palMutexAcquire(gClientSystem.mutex, PAL_INFINITE);
        holding = true;
        while (!release) palSleep(1);
        palMutexRelease(gClientSystem.mutex);
    });
    while (!holding) palSleep(1);
    uint32_t value = 0;
    EXPECT_EQ(tcsGetParam(client, 1, &value), TCS_RESULT_TIMEOUT);
    EXPECT_TRUE(service_->requests().empty());
    release = true;
    holder.join();
    // The mutex is recursive: a thread that holds it still calls.
    palMutexAcquire(gClientSystem.mutex, PAL_INFINITE);
    EXPECT_EQ(tcsGetParam(client, 1, &value), TCS_RESULT_OK);
    palMutexRelease(gClientSystem.mutex);
}

TEST_F(ServiceTest, CancelReachesTheServiceWhileAnotherCallWaits) {
    createClient();
    sim::service::CannedReply hold;
    hold.hold = true;
    service_->setReply(84, hold);
    std::atomic<TcsResult> identify{0xFFFFFFFFu};
    std::thread caller([&] {
        identify = tcsExIdentifyUser(0x51, 0, 0x61, 0, [](void*, void*, EventRecord*) -> TcsResult { return 0; },
                                     nullptr);
    });
    ASSERT_TRUE(service_->waitForHeld(84, 2000));
    // The raw cancel returns as soon as it is written, though the other call holds the mutex.
    uint64_t sensor = 0x51;
    EXPECT_EQ(tcsFPClientTransferCall(&gClientSystem, 87, &sensor, sizeof(sensor), nullptr, 0, 0, 0), TCS_RESULT_OK);
    ASSERT_TRUE(service_->waitForRequest(87, 2000));
    caller.join();
    EXPECT_EQ(identify.load(), TCS_RESULT_CANCEL);

    // The cancel call returns only once the running call has ended.
    service_->clearRequests();
    identify = 0xFFFFFFFFu;
    std::thread second([&] {
        identify = tcsExIdentifyUser(0x51, 0, 0x61, 0, [](void*, void*, EventRecord*) -> TcsResult { return 0; },
                                     nullptr);
    });
    ASSERT_TRUE(service_->waitForHeld(84, 2000));
    EXPECT_EQ(tcsCancelExOperation(0x51), TCS_RESULT_OK);
    second.join();
    EXPECT_EQ(identify.load(), TCS_RESULT_CANCEL);
    auto cancels = requestsOf(87);
    ASSERT_EQ(cancels.size(), 1u);
    EXPECT_EQ(read64(cancels[0].payload, 0), 0x51u);
}

TEST_F(ServiceTest, SuspendedServiceGatesCallsOutsideTheSuspendedSet) {
    TcsHandle client = createClient();
    service_->clearRequests();
    service_->setSuspended(true);
    // A 357 reply marks the service suspended only for callers that wait; others see 357.
    EXPECT_EQ(tcsSensorAbortFingerprint(0x51), TOV_RESULT_SERVICE_SUSPENDED);
    tovFlagSet(&gClientSystem.suspended, 1);
    service_->clearRequests();
    uint32_t start = palGetTickCount();
    EXPECT_EQ(tcsSensorAbortFingerprint(0x51), TOV_RESULT_SERVICE_SUSPENDED);
    EXPECT_GE(msSince(start), 90.0);
    EXPECT_TRUE(requestsOf(13).empty());
    uint32_t value = 5;
    EXPECT_EQ(tcsGetParam(client, 1, &value), TCS_RESULT_OK);
    EXPECT_EQ(requestsOf(51).size(), 1u);
    service_->setSuspended(false);
    tovFlagSet(&gClientSystem.suspended, 0);
}

TEST_F(ServiceTest, WaitingCallIsSentAgainWhenTheServiceResumes) {
    TcsHandle client = createClient();
    EXPECT_EQ(tcsSetParam(client, 13, 1), TCS_RESULT_OK);
    service_->setSuspended(true);
    service_->clearRequests();
    std::atomic<TcsResult> result{0xFFFFFFFFu};
    std::thread caller([&] { result = tcsSensorAbortFingerprint(0x51); });
    // The first try meets 357; the call then waits for the service to report itself ready.
    ASSERT_TRUE(service_->waitForRequest(13, 2000));
    palSleep(50);
    EXPECT_EQ(result.load(), 0xFFFFFFFFu);
    EXPECT_EQ(tovFlagGet(&gClientSystem.suspended), 1u);
    service_->setSuspended(false);
    ASSERT_TRUE(service_->raiseEvent(uint32_t(getpid()), TOV_EVENT_SERVICE_RESUMED, 0, 0, 0, 0, {}));
    caller.join();
    EXPECT_EQ(result.load(), TCS_RESULT_OK);
    EXPECT_EQ(requestsOf(13).size(), 2u);
    EXPECT_EQ(tovFlagGet(&gClientSystem.suspended), 0u);
    EXPECT_EQ(tcsSetParam(client, 13, 0), TCS_RESULT_OK);
}

TEST_F(ServiceTest, CreateWhileSuspendedSucceedsAndKeepsTheFlag) {
    service_->setSuspended(true);
    TcsHandle client = createClient();
    EXPECT_EQ(tovFlagGet(&gClientSystem.suspended), 1u);
    service_->setSuspended(false);
    EXPECT_EQ(tcsClientDestroy(client), TCS_RESULT_OK);
}

}  // namespace
}  // namespace tov::client::testing
