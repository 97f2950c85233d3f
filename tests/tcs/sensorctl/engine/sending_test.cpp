// Sending against the virtual sensor: raw round trips, first-in first-out pairing of replies,
// cancelled and failed requests, the capture-state rule, fingerprint buffers, and the service step's
// rotation and shut-down bound.
#include "tests/tcs/sensorctl/fixture.h"

#include <cstring>

namespace scstest {
namespace {

constexpr uint8_t kEchoCode = 0x70;

// Context of a raw request: its first word marks the reply for delivery without status mapping.
struct RawReply {
    uint32_t mark = 0xFFFFFFFFu;
    int calls = 0;
    TcsResult result = 0xFFFF;
    std::vector<uint8_t> bytes;
};

TcsResult rawCallback(ScsReplyView* reply, TcsResult result, void* context) {
    auto* raw = static_cast<RawReply*>(context);
    ++raw->calls;
    raw->result = result;
    if (reply != nullptr) raw->bytes.assign(reply->data, reply->data + reply->length);
    return TCS_RESULT_OK;
}

int gParsed = 0;
TcsResult countingParser(ScsSensorDevice*, uint8_t*, uint8_t*, uint32_t, ScsReply, void*) {
    ++gParsed;
    return TCS_RESULT_OK;
}

uint8_t* request(std::initializer_list<uint8_t> bytes) {
    auto* buffer = static_cast<uint8_t*>(palRealMalloc(uint32_t(bytes.size())));
    std::memcpy(buffer, bytes.begin(), bytes.size());
    return buffer;
}

class Sending : public SensorControl {
protected:
    void SetUp() override {
        SensorControl::SetUp();
        // Echo: the payload is the request's second byte.
        simusb::setCommandHook(kEchoCode, [](std::span<const uint8_t> bytes) {
            simusb::Reply reply;
            reply.payload = {bytes.size() > 1 ? bytes[1] : uint8_t(0)};
            return reply;
        });
        device_ = plugAndAttach();
        ASSERT_NE(device_, nullptr);
        device_->replyParser = countingParser;
        gParsed = 0;
    }

    bool queuesEmpty() {
        for (int q : {SCS_QUEUE_REQUEST, SCS_QUEUE_REPLY}) {
            if (!palListIsEmpty(&device_->queues[q].pending)) return false;
        }
        return true;
    }

    ScsSensorDevice* device_ = nullptr;
};

TEST_F(Sending, RawCommandRoundTrip) {
    RawReply raw;
    uint32_t transactionId = 0;
    ASSERT_EQ(scsSend(device_, request({kEchoCode, 0x5A}), 2, 16, rawCallback, &raw, &transactionId, 1, 0),
              TCS_RESULT_OK);
    ASSERT_TRUE(pumpUntil([&] { return raw.calls == 1; }));
    EXPECT_EQ(raw.result, TCS_RESULT_OK);
    // The whole reply, status word included: 00 00 5A.
    EXPECT_EQ(raw.bytes, (std::vector<uint8_t>{0x00, 0x00, 0x5A}));
    EXPECT_EQ(gParsed, 0);
    EXPECT_TRUE(queuesEmpty());
    const auto log = simusb::commandLog(sensor_);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), (std::vector<uint8_t>{kEchoCode, 0x5A}));
}

TEST_F(Sending, RepliesPairWithRequestsFirstInFirstOutAndIdsCountUp) {
    RawReply raw[3];
    uint32_t ids[3] = {};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(scsSend(device_, request({kEchoCode, uint8_t(0x10 + i)}), 2, 16, rawCallback, &raw[i], &ids[i], 1, 0),
                  TCS_RESULT_OK);
    }
    EXPECT_EQ(ids[1], ids[0] + 1);
    EXPECT_EQ(ids[2], ids[1] + 1);
    ASSERT_TRUE(pumpUntil([&] { return raw[0].calls + raw[1].calls + raw[2].calls == 3; }));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(raw[i].calls, 1) << i;
        EXPECT_EQ(raw[i].bytes, (std::vector<uint8_t>{0, 0, uint8_t(0x10 + i)})) << i;
    }
    // A request not marked raw goes through the device's reply parser.
    int plainContext = 0;
    ASSERT_EQ(scsSend(device_, request({kEchoCode, 1}), 2, 16, rawCallback, &plainContext, nullptr, 1, 0),
              TCS_RESULT_OK);
    ASSERT_TRUE(pumpUntil([&] { return gParsed == 1; }));
    EXPECT_TRUE(queuesEmpty());
}

TEST_F(Sending, ReplyOfACancelledRequestIsDroppedSilently) {
    RawReply first;
    RawReply second;
    uint32_t firstId = 0;
    ASSERT_EQ(scsSend(device_, request({kEchoCode, 1}), 2, 16, rawCallback, &first, &firstId, 1, 0), TCS_RESULT_OK);
    ASSERT_EQ(scsSend(device_, request({kEchoCode, 2}), 2, 16, rawCallback, &second, nullptr, 1, 0), TCS_RESULT_OK);
    ASSERT_EQ(scsSensorDeviceCancelRequest(device_, firstId), TCS_RESULT_OK);
    ASSERT_EQ(scsSensorDeviceCancelRequest(device_, 0xDEAD), TCS_RESULT_OK);  // unknown ids are no error
    ASSERT_TRUE(pumpUntil([&] { return second.calls == 1; }));
    pumpUntil([&] { return queuesEmpty(); }, 500);
    EXPECT_EQ(first.calls, 0);
    EXPECT_EQ(second.bytes, (std::vector<uint8_t>{0, 0, 2}));
    EXPECT_TRUE(queuesEmpty());
}

TEST_F(Sending, LostReplyAnswersItsRequestWithSensorNotFound) {
    ASSERT_EQ(palSensorSetPipeTimeout(device_->platformHandle, PAL_USB_PIPE_REPLY_READ, 30), TCS_RESULT_OK);
    simusb::dropReplies(sensor_, 1);
    RawReply lost;
    RawReply next;
    ASSERT_EQ(scsSend(device_, request({kEchoCode, 1}), 2, 16, rawCallback, &lost, nullptr, 1, 0), TCS_RESULT_OK);
    ASSERT_EQ(scsSend(device_, request({kEchoCode, 2}), 2, 16, rawCallback, &next, nullptr, 1, 0), TCS_RESULT_OK);
    ASSERT_TRUE(pumpUntil([&] { return lost.calls == 1 && next.calls == 1; }));
    EXPECT_EQ(lost.result, TCS_RESULT_SENSOR_NOT_FOUND);
    EXPECT_TRUE(lost.bytes.empty());
    EXPECT_EQ(next.bytes, (std::vector<uint8_t>{0, 0, 2}));
}

TEST_F(Sending, DuringACaptureOnlyStopPrintAndFingerStatusLeave) {
    device_->captureState = 1;
    RawReply raw;
    uint32_t id = 0;
    EXPECT_EQ(scsSend(device_, request({1}), 1, 38, rawCallback, &raw, &id, 1, 0), TCS_RESULT_SENSOR_BUSY);
    EXPECT_EQ(id, 0u);
    EXPECT_TRUE(queuesEmpty());
    EXPECT_EQ(scsSend(device_, request({4}), 1, 2, rawCallback, &raw, &id, 1, 0), TCS_RESULT_OK);
    EXPECT_EQ(scsSend(device_, request({23}), 1, 7, rawCallback, &raw, nullptr, 1, 0), TCS_RESULT_OK);
    ASSERT_TRUE(pumpUntil([&] { return raw.calls == 2; }));
    device_->captureState = 0;
}

TEST_F(Sending, HeldRequestsLeaveWhenTheHoldEnds) {
    device_->requestHold = 1;
    RawReply raw;
    EXPECT_EQ(scsSend(device_, request({kEchoCode, 7}), 2, 16, rawCallback, &raw, nullptr, 1, 0), TCS_RESULT_INVALID);
    pumpFor(30);
    EXPECT_EQ(raw.calls, 0);
    device_->requestHold = 0;
    ASSERT_TRUE(pumpUntil([&] { return raw.calls == 1; }));
    EXPECT_EQ(raw.bytes, (std::vector<uint8_t>{0, 0, 7}));
}

TEST_F(Sending, ShutdownCancelsOutstandingRequestsThroughTheirCallbacks) {
    simusb::stallEndpoint(sensor_, 0x81, true);
    RawReply raw;
    ASSERT_EQ(scsSend(device_, request({kEchoCode, 1}), 2, 16, rawCallback, &raw, nullptr, 1, 0), TCS_RESULT_OK);
    simusb::stallEndpoint(sensor_, 0x81, false);
    ASSERT_EQ(scsSensorDeviceShutdown(device_, 0), TCS_RESULT_OK);
    EXPECT_EQ(raw.calls, 1);
    EXPECT_EQ(raw.result, SCS_RESULT_DEVICE_SHUTDOWN);
    EXPECT_TRUE(queuesEmpty());
}

struct FpDelivery {
    int calls = 0;
    TcsResult result = 0xFFFF;
    uint8_t* data = nullptr;
    uint32_t length = 0;
};

TcsResult fpCallback(void* context, TcsResult result, uint8_t* data, uint32_t length, void*) {
    auto* delivery = static_cast<FpDelivery*>(context);
    ++delivery->calls;
    delivery->result = result;
    delivery->data = data;
    delivery->length = length;
    return TCS_RESULT_OK;
}

TEST_F(Sending, BufferedDeliveryShorterThanALineKeepsItsLength) {
    auto* version = static_cast<ScsFwVersion*>(palRealMalloc(sizeof(ScsFwVersion)));
    std::memset(version, 0, sizeof *version);
    version->major = 4;
    version->minor = 60;
    device_->fwVersion = version;
    device_->fpEnabled = 1;
    device_->fpLineLength = 288;
    ASSERT_EQ(scsSensorSend(device_, 0x824, nullptr, 0, nullptr, 0, nullptr, nullptr), TCS_RESULT_OK);

    struct Case {
        uint32_t pushed;
        uint32_t offset;
        uint32_t delivered;
    };
    for (auto [pushed, offset, delivered] : std::initializer_list<Case>{{100, 0, 100}, {400, 288, 112}, {288, 288, 0}}) {
        std::vector<uint8_t> buffer(1024, 0);
        FpDelivery delivery;
        ASSERT_EQ(scsQueueFpBufferDescriptor(device_, buffer.data(), uint32_t(buffer.size()), fpCallback, &delivery),
                  TCS_RESULT_OK);
        std::vector<uint8_t> data(pushed, 0x42);
        simusb::pushFingerprintData(sensor_, data);
        ASSERT_TRUE(pumpUntil([&] { return delivery.calls == 1; })) << pushed;
        EXPECT_EQ(delivery.result, TCS_RESULT_OK) << pushed;
        EXPECT_EQ(delivery.data, buffer.data() + offset) << pushed;
        EXPECT_EQ(delivery.length, delivered) << pushed;
    }
}

TEST_F(SensorControl, IdleStepsReportNoWorkExceptAfterThePlugAndPlayPhase) {
    int zeros = 0;
    for (int call = 0; call < 14; ++call) {
        uint32_t wait = 99;
        const TcsResult result = scsSubsystemService(subsystem_, 500, &wait);
        EXPECT_TRUE(result == TCS_RESULT_OK || result == TCS_RESULT_NO_WORK_ITEMS) << result;
        EXPECT_EQ(wait, 0u);
        zeros += result == TCS_RESULT_OK;
        EXPECT_GE(subsystem_->phase, 1u);
        EXPECT_LE(subsystem_->phase, 8u);
    }
    // Eight counted phases per call over a rotation of seven: one call in seven ends on plug and play.
    EXPECT_EQ(zeros, 2);

    // A zero budget still makes one visit (phase 8 only wraps the rotation).
    const uint32_t before = subsystem_->phase;
    scsSubsystemService(subsystem_, 0, nullptr);
    EXPECT_EQ(subsystem_->phase, before == 8 ? 1u : before + 1);
    EXPECT_EQ(scsSubsystemService(nullptr, 0, nullptr), TCS_RESULT_NULL_SUBSYSTEM_HANDLE);
}

TEST_F(SensorControl, DevicesNeedingAttentionAskForAWake) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    uint32_t wait = 0;
    // Run until the work list is quiet: with a device initialising, the step asks for 1 ms.
    for (int i = 0; i < 8; ++i) scsSubsystemService(subsystem_, 500, &wait);
    EXPECT_EQ(scsSubsystemService(subsystem_, 500, &wait) == TCS_RESULT_NO_WORK_ITEMS ? wait : 1u, 1u);
    activate(device);
    ASSERT_EQ(scsProcessPnpAction(subsystem_, 5, device->name, 0), TCS_RESULT_OK);
    ASSERT_TRUE(pumpUntil([&] { return count(subsystem_->badDevices) == 1; }));
    bool sawWait = false;
    for (int i = 0; i < 8 && !sawWait; ++i) {
        if (scsSubsystemService(subsystem_, 500, &wait) == TCS_RESULT_NO_WORK_ITEMS) {
            EXPECT_EQ(wait, 500u);
            sawWait = true;
        }
    }
    EXPECT_TRUE(sawWait);
}

TEST_F(SensorControl, ShutdownEndsWithinAboutTwoSecondsWithStuckItems) {
    ScsSensorDevice* device = plugAndAttach();
    ASSERT_NE(device, nullptr);
    // Items of an unknown type never finish: the step stops at them every time.
    ASSERT_EQ(palWorkItemEnqueue(&subsystem_->workList, 90, 0, nullptr, 0, 0, 1, nullptr), TCS_RESULT_OK);
    const auto start = Clock::now();
    EXPECT_EQ(scsSubsystemShutdown(subsystem_), TCS_RESULT_OK);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    subsystem_ = nullptr;
    EXPECT_GE(elapsed, 1900);
    EXPECT_LT(elapsed, 3500);
    EXPECT_EQ(simusb::openHandleCount(), 0);
}

}  // namespace
}  // namespace scstest
