// Event channel: events from the stand-in service reach the registered callbacks on the handler thread.

#include "tests/apps/shared/fixture.h"

#include "apps/shared/calls.h"
#include "platform/clock.h"
#include "tcs/handle_map.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tov::client::testing {
namespace {

using Bytes = std::vector<uint8_t>;

struct Delivered {
    uint32_t id;
    uint32_t status;
    uint32_t size;
    Bytes data;
    void* dataPointer;
    uint64_t handle;
    PalThreadHandle thread;
};

// Collects what the callbacks receive; waits for a number of deliveries.
struct Sink {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<Delivered> seen;

    void add(Delivered delivered) {
        std::lock_guard<std::mutex> hold(lock);
        seen.push_back(std::move(delivered));
        arrived.notify_all();
    }
    bool waitFor(size_t count, uint32_t ms = 2000) {
        std::unique_lock<std::mutex> hold(lock);
        return arrived.wait_for(hold, std::chrono::milliseconds(ms), [&] { return seen.size() >= count; });
    }
    std::vector<Delivered> snapshot() {
        std::lock_guard<std::mutex> hold(lock);
        return seen;
    }
};

TcsResult recordEvent(void* handle, void* context, EventRecord* event) {
    Delivered delivered{event->id, event->status, event->dataSize, {}, event->data,
                        uint64_t(reinterpret_cast<uintptr_t>(handle)), palCurrentThreadId()};
    // Plain events carry their payload; the image and identified-user events carry records.
    if (event->data != nullptr && event->id != 5 && event->id != 14 && event->id != 15 && event->id != 17) {
        auto* bytes = static_cast<const uint8_t*>(event->data);
        delivered.data.assign(bytes, bytes + event->dataSize);
    }
    if (event->id == 14 && event->data != nullptr) {
        auto* user = static_cast<IdentifiedUser*>(event->data);
        delivered.data.assign(user->area1, user->area1 + user->length1);
    }
    if (event->id == 15 && event->data != nullptr) {
        auto* list = static_cast<IdentifiedUserList*>(event->data);
        delivered.data.push_back(uint8_t(list->count));
    }
    static_cast<Sink*>(context)->add(std::move(delivered));
    return TCS_RESULT_OK;
}

TcsResult recordCompletion(void* image, TcsResult status, void* context) {
    static_cast<Sink*>(context)->add(
        Delivered{TOV_EVENT_CAPTURE_COMPLETE, status, 0, {}, image, 0, palCurrentThreadId()});
    return TCS_RESULT_OK;
}

uint64_t address(const void* pointer) { return uint64_t(reinterpret_cast<uintptr_t>(pointer)); }
uint64_t callbackAddress() { return address(reinterpret_cast<const void*>(&recordEvent)); }

Bytes textBytes(const char* text) { return Bytes(text, text + std::strlen(text)); }

class EventsTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        client_ = createClient();
        // The pair the tests' own events name, registered as a sensor callback of a sensor the
        // stand-in raises nothing for (client events would reach it twice otherwise).
        ASSERT_EQ(tcsSensorEventsAddCallback(kQuietSensor, recordEvent, &sink_), TCS_RESULT_OK);
    }

    static constexpr TcsHandle kQuietSensor = 0x5EED;

    bool raise(uint32_t id, uint32_t status, const Bytes& payload, uint64_t handle = 0x77) {
        return service_->raiseEvent(uint32_t(getpid()), id, status, handle, callbackAddress(), address(&sink_),
                                    payload);
    }

    TcsHandle client_ = 0;
    Sink sink_;
};

TEST_F(EventsTest, ClientEventsReachTheRegisteredCallbackOnTheHandlerThread) {
    ASSERT_EQ(tcsClientEventsAddCallback(client_, recordEvent, &sink_), TCS_RESULT_OK);
    service_->raiseClientEvent(1, 19, textBytes("usb-7"));
    service_->raiseClientEvent(9, 0, {});
    ASSERT_TRUE(sink_.waitFor(2));
    auto seen = sink_.snapshot();
    EXPECT_EQ(seen[0].id, 1u);
    EXPECT_EQ(seen[0].status, 19u);
    EXPECT_EQ(seen[0].handle, client_);
    EXPECT_EQ(seen[0].data, textBytes("usb-7"));
    EXPECT_EQ(seen[0].thread, gClientSystem.handler);
    // Without payload the record has no data.
    EXPECT_EQ(seen[1].id, 9u);
    EXPECT_EQ(seen[1].size, 0u);
    EXPECT_EQ(seen[1].dataPointer, nullptr);

    ASSERT_EQ(tcsClientEventsRemoveCallback(client_, recordEvent, &sink_), TCS_RESULT_OK);
    service_->raiseClientEvent(1, 0, {});
    palSleep(50);
    EXPECT_EQ(sink_.snapshot().size(), 2u);
}

TEST_F(EventsTest, SensorReadyWithoutArrivalIsPrecededByAnArrival) {
    ASSERT_TRUE(raise(3, 0, textBytes("ABC")));
    ASSERT_TRUE(sink_.waitFor(2));
    auto seen = sink_.snapshot();
    EXPECT_EQ(seen[0].id, 2u);
    EXPECT_EQ(seen[0].data, textBytes("ABC"));
    EXPECT_EQ(seen[1].id, 3u);
    EXPECT_EQ(seen[1].data, textBytes("ABC"));
    // Sensor ready runs on a thread of its own.
    EXPECT_NE(seen[1].thread, gClientSystem.handler);

    // After an arrival, ready comes alone (ids compare ignoring case) and the entry is gone.
    ASSERT_TRUE(raise(2, 0, textBytes("DEF")));
    ASSERT_TRUE(raise(3, 372, textBytes("def")));
    ASSERT_TRUE(sink_.waitFor(4));
    palSleep(30);
    seen = sink_.snapshot();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[2].id, 2u);
    EXPECT_EQ(seen[3].id, 3u);
    EXPECT_EQ(seen[3].status, 372u);
    EXPECT_FALSE(tcsFPClientIsContainDetectData("DEF", reinterpret_cast<void*>(&recordEvent), &gClientSystem));
}

TEST_F(EventsTest, CaptureHandsTheSameImageToSensorCallbackAndCompletion) {
    TcsHandle sensor = 0;
    ASSERT_EQ(tcsSensorOpenA(client_, "usb-1", &sensor), TCS_RESULT_OK);
    ASSERT_EQ(tcsSensorEventsAddCallback(sensor, recordEvent, &sink_), TCS_RESULT_OK);
    ASSERT_EQ(tcsSensorGetFingerprintAsyncA(sensor, recordCompletion, &sink_, nullptr), TCS_RESULT_OK);
    ASSERT_TRUE(sink_.waitFor(2));
    auto seen = sink_.snapshot();
    ASSERT_EQ(seen[0].id, 5u);
    EXPECT_EQ(seen[0].status, 0u);
    EXPECT_EQ(seen[0].size, 8u);
    auto image = TcsHandle(reinterpret_cast<uintptr_t>(seen[0].dataPointer));
    ASSERT_NE(image, 0u);
    EXPECT_EQ(tcsImageGetRows(image), 16u);
    EXPECT_EQ(tcsImageGetColumns(image), 12u);
    EXPECT_EQ(seen[1].id, uint32_t(TOV_EVENT_CAPTURE_COMPLETE));
    EXPECT_EQ(seen[1].status, 0u);
    EXPECT_EQ(TcsHandle(reinterpret_cast<uintptr_t>(seen[1].dataPointer)), image);
    EXPECT_EQ(tcsHandleDestroy(image), TCS_RESULT_OK);
}

TEST_F(EventsTest, FailedCaptureCompletesWithoutAnImage) {
    // The capture is asked for (so its completion is registered); the stand-in only answers it.
    sim::service::CannedReply accepted;
    accepted.payload = {0, 0, 0, 0};
    service_->setReply(TOV_FN_SENSOR_GET_FINGERPRINT, accepted);
    ASSERT_EQ(tcsSensorGetFingerprintAsyncA(0x5, recordCompletion, &sink_, nullptr), TCS_RESULT_OK);
    ASSERT_TRUE(service_->raiseEvent(uint32_t(getpid()), TOV_EVENT_CAPTURE_COMPLETE, TCS_RESULT_TIMEOUT, 0x5,
                                     address(reinterpret_cast<const void*>(&recordCompletion)), address(&sink_),
                                     service_->packedImage()));
    ASSERT_TRUE(sink_.waitFor(1));
    auto seen = sink_.snapshot();
    EXPECT_EQ(seen[0].status, TCS_RESULT_TIMEOUT);
    EXPECT_EQ(seen[0].dataPointer, nullptr);
}

TEST_F(EventsTest, ImageEventsWithBadPackedImagesReportTheFailure) {
    Bytes image = service_->packedImage();
    struct Case {
        const char* name;
        Bytes payload;
    };
    Bytes cut(image.begin(), image.end() - 10);
    Bytes overlong = image;
    overlong[0] = 0xFF;  // the record claims more bytes than were sent
    for (const Case& c : {Case{"cut short", cut}, Case{"length beyond the payload", overlong}}) {
        SCOPED_TRACE(c.name);
        size_t before = sink_.snapshot().size();
        ASSERT_TRUE(raise(5, 0, c.payload));
        ASSERT_TRUE(sink_.waitFor(before + 1));
        Delivered got = sink_.snapshot()[before];
        EXPECT_NE(got.status, 0u);
        EXPECT_EQ(got.size, 0u);
        EXPECT_EQ(got.dataPointer, nullptr);
    }
}

TEST_F(EventsTest, MalformedInputNeverEndsTheListener) {
    // A header announcing more than a payload can hold, with nothing behind it.
    Bytes header(40, 0);
    uint32_t id = 1, length = TOV_CHANNEL_PAYLOAD_MAX + 1;
    std::memcpy(header.data() + 4, &id, 4);
    std::memcpy(header.data() + 8, &length, 4);
    uint64_t callback = callbackAddress(), context = address(&sink_);
    std::memcpy(header.data() + 24, &callback, 8);
    std::memcpy(header.data() + 32, &context, 8);
    // Garbage behind it, in the same write, must not be taken for the next header.
    Bytes withTail(header.size() + 100, 0xA5);
    std::copy(header.begin(), header.end(), withTail.begin());
    ASSERT_TRUE(service_->sendRawEvent(uint32_t(getpid()), withTail));
    // What arrives together with bad input is dropped with it; the next event comes later.
    palSleep(100);
    ASSERT_TRUE(raise(4, 0, textBytes("after")));
    ASSERT_TRUE(sink_.waitFor(1));
    auto seen = sink_.snapshot();
    EXPECT_EQ(seen[0].id, 4u);
    EXPECT_EQ(seen[0].data, textBytes("after"));
}

// Whoever can write the event FIFO names the address the handler calls: only a callback and user
// data this process registered are called, a completion only as a completion and once per capture.
TEST_F(EventsTest, EventsNamingNoRegisteredCallbackCallNothing) {
    static std::atomic<int> trapped{0};
    auto trap = [](void*, void*, EventRecord*) -> TcsResult {
        trapped += 1;
        return TCS_RESULT_OK;
    };
    EventCallback unregistered = trap;
    Sink other;
    struct Case {
        const char* what;
        uint32_t id;
        uint64_t callback;
        uint64_t userData;
    };
    const uint64_t registered = callbackAddress();
    for (const Case& c : std::initializer_list<Case>{
             {"an address never registered", 1, address(reinterpret_cast<const void*>(unregistered)), address(&sink_)},
             {"a registered callback with other user data", 1, registered, address(&other)},
             {"sensor ready to an address never registered", 3, address(reinterpret_cast<const void*>(unregistered)),
              address(&sink_)},
             {"an event callback named as a completion", TOV_EVENT_CAPTURE_COMPLETE, registered, address(&sink_)},
             {"a completion with no capture asked for", TOV_EVENT_CAPTURE_COMPLETE,
              address(reinterpret_cast<const void*>(&recordCompletion)), address(&sink_)},
         }) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(service_->raiseEvent(uint32_t(getpid()), c.id, 0, 0x77, c.callback, c.userData, textBytes("x")));
    }
    // Events are delivered in order: once this one is in, the ones before it were dropped.
    ASSERT_TRUE(raise(4, 0, textBytes("last")));
    ASSERT_TRUE(sink_.waitFor(1));
    palSleep(50);
    auto seen = sink_.snapshot();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].id, 4u);
    EXPECT_EQ(trapped.load(), 0);
    EXPECT_TRUE(other.snapshot().empty());

    // A capture's completion is called once; a second one for the same capture is dropped.
    sim::service::CannedReply accepted;
    accepted.payload = {0, 0, 0, 0};
    service_->setReply(TOV_FN_SENSOR_GET_FINGERPRINT, accepted);
    ASSERT_EQ(tcsSensorGetFingerprintAsyncA(0x5, recordCompletion, &other, nullptr), TCS_RESULT_OK);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(service_->raiseEvent(uint32_t(getpid()), TOV_EVENT_CAPTURE_COMPLETE, TCS_RESULT_TIMEOUT, 0x5,
                                         address(reinterpret_cast<const void*>(&recordCompletion)), address(&other),
                                         {}));
    }
    ASSERT_TRUE(raise(4, 0, textBytes("after")));
    ASSERT_TRUE(sink_.waitFor(2));
    palSleep(50);
    EXPECT_EQ(other.snapshot().size(), 1u);

    // A removed callback is no longer called, whatever the service sends.
    ASSERT_EQ(tcsSensorEventsRemoveCallback(kQuietSensor, recordEvent, &sink_), TCS_RESULT_OK);
    ASSERT_TRUE(raise(4, 0, textBytes("gone")));
    palSleep(100);
    EXPECT_EQ(sink_.snapshot().size(), 2u);
}

TEST_F(EventsTest, SuspendAndResumeEventsKeepTheFlagWithoutACallback) {
    ASSERT_TRUE(service_->raiseEvent(uint32_t(getpid()), TOV_EVENT_SERVICE_SUSPENDED, 0, 0, 0, 0, {}));
    for (int i = 0; i < 200 && tovFlagGet(&gClientSystem.suspended) == 0; ++i) palSleep(5);
    EXPECT_EQ(tovFlagGet(&gClientSystem.suspended), 1u);
    ASSERT_TRUE(service_->raiseEvent(uint32_t(getpid()), TOV_EVENT_SERVICE_RESUMED, 0, 0, 0, 0, {}));
    for (int i = 0; i < 200 && tovFlagGet(&gClientSystem.suspended) != 0; ++i) palSleep(5);
    EXPECT_EQ(tovFlagGet(&gClientSystem.suspended), 0u);
}

TEST_F(EventsTest, IdentifiedUsersAreUnpackedAndCountsBounded) {
    IdentifiedUser user{7, 3, const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>("ann")), 9, 0, nullptr};
    Bytes packed(TOV_PACKED_IDENTIFIED_USER_SIZE);
    ASSERT_EQ(tcsIdentifiedUserEventPackUnpack(&user, packed.data(), 1), TCS_RESULT_OK);
    ASSERT_TRUE(raise(TOV_EVENT_IDENTIFIED_USER, 0, packed));

    // A list whose count claims two users while one is sent: only the one is read.
    Bytes list;
    list.reserve(4 + packed.size());
    append32(list, 2);
    list.insert(list.end(), packed.begin(), packed.end());
    ASSERT_TRUE(raise(TOV_EVENT_IDENTIFIED_USERS, 0, list));
    Bytes twenty(20, 0x14);
    ASSERT_TRUE(raise(TOV_EVENT_DATA_20, 0, twenty));
    ASSERT_TRUE(sink_.waitFor(3));
    auto seen = sink_.snapshot();
    EXPECT_EQ(seen[0].id, uint32_t(TOV_EVENT_IDENTIFIED_USER));
    EXPECT_EQ(seen[0].status, 0u);
    EXPECT_EQ(seen[0].size, sizeof(IdentifiedUser));
    EXPECT_EQ(seen[0].data, textBytes("ann"));
    EXPECT_EQ(seen[1].id, uint32_t(TOV_EVENT_IDENTIFIED_USERS));
    EXPECT_EQ(seen[1].status, TCS_RESULT_INVALID);
    EXPECT_EQ(seen[1].data, Bytes{1});
    EXPECT_EQ(seen[2].size, 20u);
    EXPECT_EQ(seen[2].data, twenty);
}

TEST_F(EventsTest, IdentifyReturnsOnlyAfterItsIdentificationArrived) {
    sim::service::CannedReply ok;
    ok.payload = {0, 0, 0, 0};
    service_->setReply(84, ok);
    std::atomic<TcsResult> result{0xFFFFFFFFu};
    std::atomic<size_t> seenAtReturn{0};
    std::thread caller([&] {
        result = tcsExIdentifyUser(0x51, 2, 0x61, 4, recordEvent, &sink_);
        seenAtReturn = sink_.snapshot().size();
    });
    ASSERT_TRUE(service_->waitForRequest(84, 2000));
    palSleep(250);
    EXPECT_EQ(result.load(), 0xFFFFFFFFu);
    sim::service::Request request;
    for (auto& r : service_->requests()) {
        if (r.function == 84) request = r;
    }
    ASSERT_EQ(request.payload.size(), 65600u);
    EXPECT_EQ(read64(request.payload, 0), 0x51u);
    EXPECT_EQ(read32(request.payload, 8), 2u);
    EXPECT_EQ(read64(request.payload, 16), 0x61u);
    EXPECT_EQ(read32(request.payload, 65576), 4u);
    // The service answers through the library's own forwarder and the record it was given.
    IdentifiedUser user{1, 2, const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>("id")), 0, 0, nullptr};
    Bytes packed(TOV_PACKED_IDENTIFIED_USER_SIZE);
    ASSERT_EQ(tcsIdentifiedUserEventPackUnpack(&user, packed.data(), 1), TCS_RESULT_OK);
    ASSERT_TRUE(service_->raiseEvent(uint32_t(getpid()), TOV_EVENT_IDENTIFIED_USER, 0, 0x51,
                                     read64(request.payload, 65584), read64(request.payload, 65592), packed));
    caller.join();
    EXPECT_EQ(result.load(), TCS_RESULT_OK);
    EXPECT_EQ(seenAtReturn.load(), 1u);
}

TEST(IdentifiedUserRecord, PackUnpackRoundTripAndLimits) {
    uint8_t first[4] = {1, 2, 3, 4};
    uint8_t second[2] = {9, 8};
    IdentifiedUser user{5, 4, first, 77, 2, second};
    Bytes packed(TOV_PACKED_IDENTIFIED_USER_SIZE);
    ASSERT_EQ(tcsIdentifiedUserEventPackUnpack(&user, packed.data(), 1), TCS_RESULT_OK);
    EXPECT_EQ(read32(packed, 0), 5u);
    EXPECT_EQ(read32(packed, 4), 4u);
    EXPECT_EQ(packed[8], 1);
    EXPECT_EQ(read32(packed, 32776), 77u);
    EXPECT_EQ(read32(packed, 32780), 2u);
    EXPECT_EQ(packed[32784], 9);
    IdentifiedUser back{};
    ASSERT_EQ(tcsIdentifiedUserEventPackUnpack(&back, packed.data(), 0), TCS_RESULT_OK);
    EXPECT_EQ(back.kind, 5u);
    EXPECT_EQ(back.value, 77u);
    EXPECT_EQ(Bytes(back.area1, back.area1 + back.length1), Bytes(first, first + 4));
    EXPECT_EQ(Bytes(back.area2, back.area2 + back.length2), Bytes(second, second + 2));
    tcsIdentifiedUserFree(&back);

    uint32_t tooLong = TOV_AREA_SIZE + 1;
    std::memcpy(packed.data() + 4, &tooLong, 4);
    EXPECT_EQ(tcsIdentifiedUserEventPackUnpack(&back, packed.data(), 0), TCS_RESULT_INVALID);
    EXPECT_EQ(tcsIdentifiedUserEventPackUnpack(nullptr, packed.data(), 0), TCS_RESULT_INVALID);
}

}  // namespace
}  // namespace tov::client::testing
