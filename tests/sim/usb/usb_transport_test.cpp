// USB transport and plug and play against the virtual sensor: scans and notifications, replay,
// request and reply, fingerprint reads, cancel, close, the dispatcher and the pre-boot image file.
#include "platform/pnp.h"
#include "platform/test_seams.h"
#include "platform/usb_test_seams.h"
#include "platform/usb_transport.h"
#include "sim/usb/sim_usb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool waitFor(const std::function<bool()>& condition, int ms = 2000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Note {
    std::string name;  // "" for no name
    uint32_t action;
    uint32_t detection;
};

struct Recorder {
    std::mutex mutex;
    std::vector<Note> notes;

    static void callback(void* context, const PnpNotification* n) {
        auto* self = static_cast<Recorder*>(context);
        std::lock_guard lock(self->mutex);
        self->notes.push_back({n->deviceName != nullptr ? std::string(n->deviceName, n->nameLength) : std::string(),
                               n->action, n->detectionType});
    }
    std::vector<Note> snapshot() {
        std::lock_guard lock(mutex);
        return notes;
    }
    size_t count() { return snapshot().size(); }
};

std::string nameFor(uint16_t product, const std::string& suffix) {
    char name[128];
    std::snprintf(name, sizeof name, "usb#Vid_%04x#Pid_%04x#%s", TOV_USB_VENDOR_ID, product, suffix.c_str());
    return name;
}

const std::string kDefaultName = nameFor(TOV_USB_PID_DEFAULT, "SIM00001");

uint32_t code(uint32_t function) { return PAL_SENSOR_CONTROL_CODE(function); }

// A transfer descriptor with its own buffer and completion event.
struct Transfer {
    std::vector<uint8_t> buffer;
    TransferDescriptor descriptor{};
    PalEvent* done = palEventAlloc(1, 0, nullptr);

    explicit Transfer(size_t room) : buffer(room, 0xAB) { reset(room); }
    explicit Transfer(std::vector<uint8_t> bytes) : buffer(std::move(bytes)) { reset(buffer.size()); }
    ~Transfer() { palEventFree(done); }
    void reset(size_t length) {
        descriptor.data = buffer.data();
        descriptor.length = uint32_t(length);
        descriptor.status = 0xFF;
        descriptor.completionEvent = done;
        palEventReset(done);
    }
    bool wait(uint32_t ms = 3000) { return palEventWaitFor(done, ms) == TCS_RESULT_OK; }
    std::vector<uint8_t> data() const { return {buffer.begin(), buffer.begin() + descriptor.length}; }
};

class UsbTransport : public ::testing::Test {
protected:
    void SetUp() override {
        simusb::resetAll();
        palTestSetUsbPollInterval(10);
        palTestSetUsbWorkerStopTimeout(0);
        wake_ = palEventAlloc(0, 0, nullptr);
    }
    void TearDown() override {
        if (sensor_ != nullptr) {
            EXPECT_EQ(palSensorClose(nullptr, sensor_), TCS_RESULT_OK);
        }
        if (pnp_ != nullptr) {
            EXPECT_EQ(palPnpSubsystemShutdown(pnp_), TCS_RESULT_OK);
        }
        EXPECT_EQ(simusb::openHandleCount(), 0);
        palEventFree(wake_);
        simusb::resetAll();
        palTestSetUsbPollInterval(0);
        palTestSetUsbWorkerStopTimeout(0);
    }

    // Starts plug and play and waits for its initial scan (which sets the wake event).
    void start() {
        ASSERT_EQ(palPnpSubsystemStartup(&pnp_, reinterpret_cast<uint64_t>(wake_), 0, nullptr), TCS_RESULT_OK);
        ASSERT_EQ(palPnpAddCallback(pnp_, Recorder::callback, &live_), TCS_RESULT_OK);
        ASSERT_EQ(palEventWaitFor(wake_, 2000), TCS_RESULT_OK);
    }
    // Plugs one sensor after the start, so that its arrival is a live one, and waits for it.
    void startWith(const simusb::SensorSpec& identity = {}) {
        start();
        sensorId_ = simusb::plug(identity);
        ASSERT_NE(sensorId_, 0);
        ASSERT_TRUE(waitFor([&] { return live_.count() >= 1; }));
    }
    void open(const std::string& name = kDefaultName) {
        ASSERT_EQ(palSensorOpen(pnp_, name.c_str(), &sensor_), TCS_RESULT_OK);
    }
    TcsResult send(uint32_t function, void* in = nullptr, uint32_t inSize = 0, void* out = nullptr,
                   uint32_t outSize = 0) {
        uint32_t returned = 0;
        return palUsbDeviceIoControl(sensor_->device, code(function), in, inSize, out, outSize, &returned);
    }
    TcsResult queue(uint32_t function, Transfer& t) { return send(function, &t.descriptor, sizeof t.descriptor); }
    void exchange(Transfer& request, Transfer& reply) {
        ASSERT_EQ(queue(0x812, reply), TCS_RESULT_OK);
        ASSERT_EQ(queue(0x810, request), TCS_RESULT_OK);
    }

    PalEvent* wake_ = nullptr;
    PnpContext* pnp_ = nullptr;
    Recorder live_;
    simusb::SensorId sensorId_ = 0;
    PalSensorHandle* sensor_ = nullptr;
};

// --- Scans and notifications ---------------------------------------------------------------------

TEST_F(UsbTransport, SensorPluggedAtRunTimeIsAnnouncedThenItsRemoval) {
    start();
    simusb::SensorSpec other;
    other.vendorId = 0x1234;  // another maker's device is never announced
    other.serial = "OTHER";
    simusb::plug(other);
    palEventWaitFor(wake_, 0);
    const simusb::SensorId id = simusb::plug();
    ASSERT_TRUE(waitFor([&] { return live_.count() == 1; }));
    EXPECT_EQ(palEventWaitFor(wake_, 1000), TCS_RESULT_OK) << "a scan that saw a change sets the wake event";
    Note arrival = live_.snapshot()[0];
    EXPECT_EQ(arrival.name, kDefaultName);
    EXPECT_EQ(arrival.action, uint32_t(PAL_PNP_ACTION_ARRIVAL));
    EXPECT_EQ(arrival.detection, uint32_t(PAL_PNP_DETECTION_LIVE));

    simusb::unplug(id);
    ASSERT_TRUE(waitFor([&] { return live_.count() == 2; }));
    Note removal = live_.snapshot()[1];
    EXPECT_EQ(removal.name, kDefaultName);
    EXPECT_EQ(removal.action, uint32_t(PAL_PNP_ACTION_REMOVAL));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_EQ(live_.count(), 2u) << "scans without a change report nothing";
}

TEST_F(UsbTransport, ResetIsARemovalAndArrivalUnderTheSameName) {
    startWith();
    open();
    EXPECT_EQ(palSensorHWReset(sensor_), TCS_RESULT_SENSOR_SEND_FAILED) << "a good port reset still reports 26";
    ASSERT_TRUE(waitFor([&] { return live_.count() == 3; }));
    auto notes = live_.snapshot();
    EXPECT_EQ(notes[1].action, uint32_t(PAL_PNP_ACTION_REMOVAL));
    EXPECT_EQ(notes[2].action, uint32_t(PAL_PNP_ACTION_ARRIVAL));
    EXPECT_EQ(notes[1].name, kDefaultName);
    EXPECT_EQ(notes[2].name, kDefaultName);
}

TEST_F(UsbTransport, SensorsWithoutSerialAreNamedAfterTheBusAndOpenedByFileName) {
    start();
    simusb::SensorSpec identity;
    identity.serial.clear();
    simusb::plug(identity);
    simusb::plug(identity);
    ASSERT_TRUE(waitFor([&] { return live_.count() == 2; }));
    auto notes = live_.snapshot();
    EXPECT_EQ(notes[0].name, nameFor(TOV_USB_PID_DEFAULT, "001"));
    EXPECT_EQ(notes[1].name, notes[0].name);
    open(notes[0].name);
    EXPECT_EQ(send(0x826), TCS_RESULT_OK);
}

// --- Replay --------------------------------------------------------------------------------------

TEST_F(UsbTransport, LateCallbackGetsPresentDevicesReplayed) {
    startWith();
    simusb::SensorSpec second;
    second.serial = "SIM00002";
    simusb::plug(second);
    ASSERT_TRUE(waitFor([&] { return live_.count() == 2; }));
    EXPECT_EQ(palPnpSubsystemService(pnp_, nullptr), TCS_RESULT_OK);  // the early callback's own replay
    EXPECT_EQ(palPnpGetDeviceCount(pnp_), 2u);
    Recorder late;
    ASSERT_EQ(palPnpAddCallback(pnp_, Recorder::callback, &late), TCS_RESULT_OK);
    EXPECT_EQ(late.count(), 0u) << "replay waits for the service step";
    EXPECT_EQ(palPnpSubsystemService(pnp_, nullptr), TCS_RESULT_OK);
    auto notes = late.snapshot();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].name, kDefaultName);
    EXPECT_EQ(notes[1].name, nameFor(TOV_USB_PID_DEFAULT, "SIM00002"));
    for (const Note& n : notes) {
        EXPECT_EQ(n.action, uint32_t(PAL_PNP_ACTION_ARRIVAL));
        EXPECT_EQ(n.detection, uint32_t(PAL_PNP_DETECTION_REPLAYED));
    }
    EXPECT_EQ(palPnpSubsystemService(pnp_, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(late.count(), 2u) << "replayed once";
    // Every replay counts the devices it reports, once per callback replayed to.
    EXPECT_EQ(palPnpGetDeviceCount(pnp_), 4u);

    EXPECT_EQ(palPnpPrepareForResume(pnp_), TCS_RESULT_OK);
    EXPECT_EQ(palPnpSubsystemService(pnp_, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(late.count(), 4u) << "a resume replays again";
    EXPECT_EQ(palPnpGetDeviceCount(pnp_), 4u) << "counted afresh from zero";
}

// Start-up returns after the initial scan: a callback registered straight away never takes a
// sensor that was on the bus at start-up for a live arrival, and the replay counts it.
TEST_F(UsbTransport, SensorPresentAtStartupIsReplayedNotLive) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ASSERT_NE(simusb::plug(), 0);
        ASSERT_EQ(palPnpSubsystemStartup(&pnp_, reinterpret_cast<uint64_t>(wake_), 0, nullptr), TCS_RESULT_OK);
        Recorder early;
        ASSERT_EQ(palPnpAddCallback(pnp_, Recorder::callback, &early), TCS_RESULT_OK);
        EXPECT_EQ(palPnpSubsystemService(pnp_, nullptr), TCS_RESULT_OK);
        auto notes = early.snapshot();
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_EQ(notes[0].name, kDefaultName);
        EXPECT_EQ(notes[0].detection, uint32_t(PAL_PNP_DETECTION_REPLAYED));
        EXPECT_EQ(palPnpGetDeviceCount(pnp_), 1u);
        EXPECT_EQ(palPnpRemoveCallback(pnp_, Recorder::callback, &early), TCS_RESULT_OK);
        EXPECT_EQ(palPnpSubsystemShutdown(pnp_), TCS_RESULT_OK);
        pnp_ = nullptr;
        simusb::resetAll();
    }
}

TEST_F(UsbTransport, LateCallbackWithNoSensorGetsOneActionThree) {
    start();
    Recorder late;
    ASSERT_EQ(palPnpAddCallback(pnp_, Recorder::callback, &late), TCS_RESULT_OK);
    palPnpSubsystemService(pnp_, nullptr);
    palPnpSubsystemService(pnp_, nullptr);
    auto notes = late.snapshot();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].action, uint32_t(PAL_PNP_ACTION_NO_DEVICE));
    EXPECT_EQ(notes[0].name, "");
    EXPECT_EQ(palPnpGetDeviceCount(pnp_), 0u);

    EXPECT_EQ(palPnpRemoveCallback(pnp_, Recorder::callback, &late), TCS_RESULT_OK);
    EXPECT_EQ(palPnpRemoveCallback(pnp_, Recorder::callback, &late), TCS_RESULT_OK) << "absent is no error";
}

TEST_F(UsbTransport, AvailableDeviceList) {
    start();
    const char* name = "usb#Vid_2e7b#Pid_0001#ABC";
    EXPECT_EQ(palPnpAddToAvailableDeviceList(pnp_, name, 11), TCS_RESULT_OK);
    EXPECT_EQ(palPnpAddToAvailableDeviceList(pnp_, name, 22), TCS_RESULT_OK);
    EXPECT_EQ(palPnpAddToAvailableDeviceList(pnp_, "usb#Vid_2e7b#Pid_0001#XYZ", 33), TCS_RESULT_OK);
    uint64_t reference = 0;
    EXPECT_EQ(palPnpGetSensorDeviceFromAvailableDeviceList(pnp_, "USB#VID_2E7B#PID_0001#abc", &reference),
              TCS_RESULT_OK);
    EXPECT_EQ(reference, 11u) << "listed once, first reference kept; letter case ignored";
    EXPECT_EQ(palPnpIsInAvailableDeviceList(pnp_, "usb#Vid_2e7b#Pid_0001#ABCD"), 0u) << "longer name";
    EXPECT_EQ(palPnpGetSensorDeviceFromAvailableDeviceList(pnp_, "nothing", &reference), TCS_RESULT_NO_MORE_ENTRIES);
    EXPECT_EQ(palPnpGetSensorDeviceFromAvailableDeviceList(pnp_, name, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palPnpAddToAvailableDeviceList(pnp_, nullptr, 1), TCS_RESULT_NULL_POINTER);

    EXPECT_EQ(palPnpMarkAsStillAvailable(pnp_, name), TCS_RESULT_OK);
    Recorder detached;
    PnpCallbackEntry entry{};
    entry.callback = Recorder::callback;
    entry.context = &detached;
    EXPECT_EQ(palPnpDetachDevicesFromAvailableDeviceList(pnp_, &entry), TCS_RESULT_OK);
    auto notes = detached.snapshot();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].name, "usb#Vid_2e7b#Pid_0001#XYZ");
    EXPECT_EQ(notes[0].action, uint32_t(PAL_PNP_ACTION_REMOVAL));
    EXPECT_EQ(notes[0].detection, uint32_t(PAL_PNP_DETECTION_REPLAYED));
    EXPECT_EQ(palPnpIsInAvailableDeviceList(pnp_, "usb#Vid_2e7b#Pid_0001#XYZ"), 1u) << "entries stay listed";

    EXPECT_EQ(palPnpResetStillAvailableFlag(pnp_), TCS_RESULT_OK);
    EXPECT_EQ(palPnpDetachDevicesFromAvailableDeviceList(pnp_, &entry), TCS_RESULT_OK);
    EXPECT_EQ(detached.count(), 3u);
    EXPECT_EQ(palPnpRemoveFromAvailableDeviceList(pnp_, name), TCS_RESULT_OK);
    EXPECT_EQ(palPnpIsInAvailableDeviceList(pnp_, name), 0u);
    EXPECT_EQ(palPnpCleanAvailableDeviceList(pnp_), TCS_RESULT_OK);
    EXPECT_EQ(palPnpIsInAvailableDeviceList(pnp_, "usb"), 0u);
}

TEST_F(UsbTransport, StartupAndArgumentChecks) {
    EXPECT_EQ(palPnpSubsystemStartup(nullptr, 0, 0, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palUsbSubsystemShutdown(), TCS_RESULT_INVALID_HANDLE);
    UsbDevice* device = nullptr;
    EXPECT_EQ(palUsbDeviceOpen(kDefaultName.c_str(), &device), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palUsbGetDeviceCount(), 0u);
    start();
    EXPECT_EQ(palUsbSubsystemStartup(pnp_), TCS_RESULT_INVALID) << "already started";
    EXPECT_EQ(palPnpAddCallback(pnp_, nullptr, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palPnpAddCallback(nullptr, Recorder::callback, nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palPnpSendSensorDetachedEvent(nullptr, "x"), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palPnpSendSensorDetachedEvent(pnp_, "gone"), TCS_RESULT_OK);
    ASSERT_EQ(live_.count(), 1u);
    EXPECT_EQ(live_.snapshot()[0].action, uint32_t(PAL_PNP_ACTION_REMOVAL));

    EXPECT_EQ(palUsbDeviceOpen(nullptr, &device), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(palUsbDeviceOpen("usb#nothing", &device), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palUsbDeviceOpen(std::string(4097, 'u').c_str(), &device), TCS_RESULT_BAD_PARAM);
    PalSensorHandle* handle = reinterpret_cast<PalSensorHandle*>(1);
    EXPECT_EQ(palSensorOpen(nullptr, kDefaultName.c_str(), &handle), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palSensorOpen(pnp_, "usb#nothing", &handle), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(palSensorClose(nullptr, nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palPnpGetDeviceName(nullptr), nullptr);
    EXPECT_EQ(palPnpGetDeviceAction(nullptr), 0u);
}

// --- Dispatcher ----------------------------------------------------------------------------------

TEST_F(UsbTransport, DispatcherAnswersPerFunction) {
    startWith();
    open();
    struct Case {
        uint32_t function;
        uint32_t inSize;
        uint32_t outSize;
        TcsResult result;
        int64_t outValue;  // -1: not written
    };
    for (const Case& c : std::initializer_list<Case>{
             {0x800, 0, 4, TCS_RESULT_INVALID, 0x10000},
             {0x800, 0, 3, TCS_RESULT_BAD_PARAM, -1},
             {0x806, 4, 0, TCS_RESULT_INVALID, -1},
             {0x806, 3, 0, TCS_RESULT_BAD_PARAM, -1},
             {0x807, 0, 0, TCS_RESULT_INVALID, -1},
             {0x818, 0, 4, TCS_RESULT_INVALID, 0},
             {0x81A, 0, 2, TCS_RESULT_BAD_PARAM, -1},
             {0x819, 4, 0, TCS_RESULT_INVALID, -1},
             {0x81B, 0, 0, TCS_RESULT_BAD_PARAM, -1},
             {0x810, 7, 0, TCS_RESULT_BAD_PARAM, -1},
             {0x811, 0, 0, TCS_RESULT_OK, -1},
             {0x813, 0, 0, TCS_RESULT_OK, -1},
             {0x815, 0, 0, TCS_RESULT_OK, -1},
             {0x820, 0, 22, TCS_RESULT_INVALID, -1},
             {0x821, 0, 0, TCS_RESULT_NOT_IMPLEMENTED, -1},
             {0x823, 4, 0, TCS_RESULT_NOT_IMPLEMENTED, -1},
             {0x826, 0, 0, TCS_RESULT_OK, -1},
             {0x827, 0, 0, TCS_RESULT_OK, -1},
             {0x829, 0, 4, TCS_RESULT_OK, 5000},
             {0x829, 0, 8, TCS_RESULT_INVALID, -1},
         }) {
        uint8_t in[8] = {}, out[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(send(c.function, in, c.inSize, out, c.outSize), c.result) << std::hex << c.function;
        uint32_t value;
        std::memcpy(&value, out, 4);
        if (c.outValue >= 0) {
            EXPECT_EQ(value, uint32_t(c.outValue)) << std::hex << c.function;
        } else {
            EXPECT_EQ(value, 0xEEEEEEEEu) << std::hex << c.function;
        }
    }
    EXPECT_EQ(palUsbDeviceIoControl(sensor_->device, 0x1234, nullptr, 0, nullptr, 0, nullptr),
              TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(palSensorSend(sensor_, code(0x827), nullptr, 0, nullptr, 0, nullptr, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(palSensorSend(sensor_, code(0x800), nullptr, 0, nullptr, 0, nullptr, nullptr),
              TCS_RESULT_SENSOR_SEND_FAILED);
    uint32_t flags = 7;
    EXPECT_EQ(palDriverGetDbgFlags(sensor_, &flags), TCS_RESULT_SENSOR_SEND_FAILED);
    EXPECT_EQ(palDriverSetDbgSystems(sensor_, 1), TCS_RESULT_SENSOR_SEND_FAILED);
    uint64_t notADevice[32] = {};
    EXPECT_EQ(palUsbDeviceIoControl(reinterpret_cast<UsbDevice*>(notADevice), code(0x827), nullptr, 0, nullptr, 0,
                                    nullptr),
              TCS_RESULT_INVALID_HANDLE);
}

TEST_F(UsbTransport, DeviceInformationCarriesIdsAndSubclassNibbles) {
    simusb::SensorSpec identity;
    identity.productId = 0x0029;
    identity.variant = 5;
    startWith(identity);
    open(nameFor(0x0029, "SIM00001"));
    uint8_t info[32] = {};
    uint32_t returned = 0;
    ASSERT_EQ(palSensorSend(sensor_, code(0x820), nullptr, 0, info, sizeof info, &returned, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(returned, 23u);
    const uint8_t expected[23] = {4, 0, 0, 0, 5, 0, 0, 0, 118, 0, 0, 0, 0, 0, 0, 0, 0x29, 0x00,
                                  uint8_t(TOV_USB_VENDOR_ID & 0xFF), uint8_t(TOV_USB_VENDOR_ID >> 8), 1, 5, 1};
    EXPECT_EQ(std::vector<uint8_t>(info, info + 23), std::vector<uint8_t>(expected, expected + 23));
}

TEST_F(UsbTransport, PipeTimeouts) {
    startWith();
    open();
    uint32_t reply = 0, request = 0, fingerprint = 0;
    EXPECT_EQ(palSensorGetPipeTimeouts(sensor_, &reply, &request), TCS_RESULT_OK);
    EXPECT_EQ(palSensorGetPipeTimeout(sensor_, 2, &fingerprint), TCS_RESULT_OK);
    EXPECT_EQ(request, 500u);
    EXPECT_EQ(reply, 1500u);
    EXPECT_EQ(fingerprint, 100u);
    EXPECT_EQ(palSensorSetPipeTimeout(sensor_, 1, 90000), TCS_RESULT_OK);
    EXPECT_EQ(palSensorGetPipeTimeouts(sensor_, &reply, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(reply, 90000u);
    EXPECT_EQ(palSensorSetPipeTimeout(sensor_, 3, 1), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palSensorGetPipeTimeout(sensor_, 0, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palSensorGetPipeTimeouts(sensor_, nullptr, nullptr), TCS_RESULT_INVALID);
    EXPECT_EQ(palSensorReset(sensor_), TCS_RESULT_OK);
    EXPECT_EQ(palSensorEnable(nullptr), TCS_RESULT_BAD_PARAM);
}

// --- Requests and replies ------------------------------------------------------------------------

TEST_F(UsbTransport, RequestAndReplyRoundTrip) {
    startWith();
    open();
    simusb::setCommandHook(0x42, [](std::span<const uint8_t> request) {
        simusb::Reply reply;
        reply.payload.assign(request.begin(), request.end());
        return reply;
    });
    Transfer request(std::vector<uint8_t>{0x42, 1, 2, 3}), reply(64);
    exchange(request, reply);
    ASSERT_TRUE(reply.wait());
    EXPECT_EQ(request.descriptor.status, uint32_t(PAL_TRANSFER_DONE));
    EXPECT_EQ(reply.descriptor.status, uint32_t(PAL_TRANSFER_DONE));
    EXPECT_EQ(reply.data(), (std::vector<uint8_t>{0, 0, 0x42, 1, 2, 3}));

    Transfer unknown(std::vector<uint8_t>{0x7E}), answer(64);
    exchange(unknown, answer);
    ASSERT_TRUE(answer.wait());
    EXPECT_EQ(answer.data(), (std::vector<uint8_t>{0x01, 0x04}));
    EXPECT_EQ(simusb::commandLog(sensorId_).size(), 2u);
}

TEST_F(UsbTransport, DroppedDelayedAndShortReplies) {
    startWith();
    open();
    ASSERT_EQ(palSensorSetPipeTimeout(sensor_, PAL_USB_PIPE_REPLY_READ, 150), TCS_RESULT_OK);
    struct Case {
        const char* what;
        std::function<void()> fault;
        uint32_t status;
        std::vector<uint8_t> data;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"dropped", [&] { simusb::dropReplies(sensorId_); }, PAL_TRANSFER_ERROR, {}},
             {"delayed within the time-out", [&] { simusb::delayReplies(sensorId_, 40); }, PAL_TRANSFER_DONE,
              {0x01, 0x04}},
             {"short", [&] { simusb::scriptReads(sensorId_, 0x81, {{simusb::ReadFault::Short, 1}}); },
              PAL_TRANSFER_DONE, {0x01}},
             // Late enough to miss its read: the read times out, the reply stays on the pipe.
             {"delayed past the time-out", [&] { simusb::delayReplies(sensorId_, 400); }, PAL_TRANSFER_ERROR, {}},
             // Scripted failures leave the pending reply where it is, so they come last.
             {"empty", [&] { simusb::scriptReads(sensorId_, 0x81, {{simusb::ReadFault::Empty}}); },
              PAL_TRANSFER_ERROR, {}},
             {"read error", [&] { simusb::scriptReads(sensorId_, 0x81, {{simusb::ReadFault::Error}}); },
              PAL_TRANSFER_ERROR, {}},
         }) {
        c.fault();
        Transfer request(std::vector<uint8_t>{0x7E}), reply(64);
        exchange(request, reply);
        ASSERT_TRUE(reply.wait()) << c.what;
        EXPECT_EQ(request.descriptor.status, uint32_t(PAL_TRANSFER_DONE)) << c.what;
        EXPECT_EQ(reply.descriptor.status, c.status) << c.what;
        EXPECT_EQ(reply.data(), c.data) << c.what;
    }
}

TEST_F(UsbTransport, FailedWriteFailsItsReplyAndLaterRequestsStillGoOut) {
    startWith();
    open();
    simusb::stallEndpoint(sensorId_, 0x01, true);
    Transfer q1(std::vector<uint8_t>{0x71}), r1(64), q2(std::vector<uint8_t>{0x72}), r2(64);
    exchange(q1, r1);
    exchange(q2, r2);
    simusb::failWrites(sensorId_, simusb::WriteFault::Error);
    simusb::stallEndpoint(sensorId_, 0x01, false);
    ASSERT_TRUE(r1.wait());
    EXPECT_EQ(q1.descriptor.status, uint32_t(PAL_TRANSFER_ERROR));
    EXPECT_EQ(r1.descriptor.status, uint32_t(PAL_TRANSFER_ERROR));
    EXPECT_EQ(r1.descriptor.length, 0u);

    Transfer q3(std::vector<uint8_t>{0x73}), r3(64);
    exchange(q3, r3);
    ASSERT_TRUE(r3.wait());
    ASSERT_TRUE(r2.wait());
    EXPECT_EQ(r2.descriptor.status, uint32_t(PAL_TRANSFER_DONE));
    EXPECT_EQ(r3.descriptor.status, uint32_t(PAL_TRANSFER_DONE));
    auto log = simusb::commandLog(sensorId_);
    ASSERT_EQ(log.size(), 2u) << "the failed request never reached the firmware";
    EXPECT_EQ(log[0][0], 0x72);
    EXPECT_EQ(log[1][0], 0x73);

    simusb::failWrites(sensorId_, simusb::WriteFault::Partial);
    Transfer partial(std::vector<uint8_t>{0x74, 0, 0, 0}), r4(64);
    exchange(partial, r4);
    ASSERT_TRUE(r4.wait());
    EXPECT_EQ(partial.descriptor.status, uint32_t(PAL_TRANSFER_ERROR)) << "a write counts only when whole";
    EXPECT_EQ(r4.descriptor.status, uint32_t(PAL_TRANSFER_ERROR));
}

// --- Fingerprint data ----------------------------------------------------------------------------

TEST_F(UsbTransport, FingerprintDescriptorIsFilledInChunksAndEndsOnShortRead) {
    startWith();
    open();
    ASSERT_EQ(send(0x824), TCS_RESULT_OK);
    std::vector<uint8_t> swipe(40000);
    for (size_t i = 0; i < swipe.size(); ++i) swipe[i] = uint8_t(i * 7);
    simusb::pushFingerprintData(sensorId_, swipe);
    Transfer full(40000);
    ASSERT_EQ(queue(0x816, full), TCS_RESULT_OK);
    ASSERT_TRUE(full.wait());
    EXPECT_EQ(full.descriptor.status, uint32_t(PAL_TRANSFER_DONE));
    EXPECT_EQ(full.data(), swipe);
    auto reads = simusb::readLog(sensorId_);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0].asked, 16384);
    EXPECT_EQ(reads[1].asked, 16384);
    EXPECT_EQ(reads[2].asked, 7232);

    // The second read comes back with 1000 bytes: the descriptor ends there.
    simusb::pushFingerprintData(sensorId_, std::vector<uint8_t>(16384, 1));
    simusb::pushFingerprintData(sensorId_, std::vector<uint8_t>(1000, 2));
    Transfer shortened(40000);
    ASSERT_EQ(queue(0x816, shortened), TCS_RESULT_OK);
    ASSERT_TRUE(shortened.wait());
    EXPECT_EQ(shortened.descriptor.status, uint32_t(PAL_TRANSFER_DONE));
    EXPECT_EQ(shortened.descriptor.length, 17384u);
}

TEST_F(UsbTransport, FingerprintEmptyReadsRetryOnceThenFail) {
    startWith();
    open();
    ASSERT_EQ(send(0x824), TCS_RESULT_OK);
    // One empty read is retried.
    simusb::scriptReads(sensorId_, 0x82, {{simusb::ReadFault::Empty}});
    simusb::pushFingerprintData(sensorId_, std::vector<uint8_t>(100, 9));
    Transfer retried(100);
    ASSERT_EQ(queue(0x816, retried), TCS_RESULT_OK);
    ASSERT_TRUE(retried.wait());
    EXPECT_EQ(retried.descriptor.status, uint32_t(PAL_TRANSFER_DONE));
    EXPECT_EQ(retried.descriptor.length, 100u);

    // Two in a row: transfer error, nothing delivered; the next descriptor waits for a wake-up.
    simusb::scriptReads(sensorId_, 0x82, {{simusb::ReadFault::Empty}, {simusb::ReadFault::Timeout}});
    Transfer failed(100), next(100);
    ASSERT_EQ(queue(0x816, failed), TCS_RESULT_OK);
    ASSERT_TRUE(failed.wait());
    EXPECT_EQ(failed.descriptor.status, uint32_t(PAL_TRANSFER_ERROR));
    EXPECT_EQ(failed.descriptor.length, 0u);

    // Data already read, then nothing: what came is delivered.
    simusb::pushFingerprintData(sensorId_, std::vector<uint8_t>(16384, 3));
    simusb::scriptReads(sensorId_, 0x82, {{simusb::ReadFault::Short, 16384}, {simusb::ReadFault::Empty}});
    Transfer partial(40000);
    ASSERT_EQ(queue(0x816, partial), TCS_RESULT_OK);
    ASSERT_TRUE(partial.wait());
    EXPECT_EQ(partial.descriptor.status, uint32_t(PAL_TRANSFER_DONE));
    EXPECT_EQ(partial.descriptor.length, 16384u);
}

// A cancel completes every buffer, the one being filled included, without waiting for the read the
// worker is in. That read's data lands neither in the cancelled buffer (its owner may have freed it)
// nor nowhere: the next capture's lines that it took go to the next buffers, in order.
TEST_F(UsbTransport, CancelReturnsAtOnceAndItsPendingReadLosesNoLine) {
    startWith();
    open();
    ASSERT_EQ(palSensorSetPipeTimeout(sensor_, PAL_USB_PIPE_FINGERPRINT_READ, 1500), TCS_RESULT_OK);
    auto pattern = [](size_t size, uint8_t seed) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(seed + i * 13);
        return bytes;
    };
    struct Case {
        const char* what;
        uint32_t cancelled;            // the buffer the read was made for
        std::vector<size_t> pushes;    // the next capture's transfers, sent while that read waits
        std::vector<uint32_t> next;    // the next capture's buffers
        std::vector<uint32_t> lengths; // what each of them gets
    };
    const Case cases[] = {
        {"a transfer the read took whole", 1000, {600, 300}, {1000, 1000}, {600, 300}},
        {"more than the next buffer holds", 1000, {600}, {250, 250, 250}, {250, 250, 100}},
        {"a transfer longer than the read", 1000, {3000}, {2500, 1000}, {2500, 500}},
        {"a read of a whole chunk", 40000, {20000, 10}, {40000, 40000}, {20000, 10}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t readsBefore = simusb::readLog(sensorId_).size();
        ASSERT_EQ(send(0x824), TCS_RESULT_OK);
        Transfer reading(c.cancelled), queued(1000);
        ASSERT_EQ(queue(0x816, reading), TCS_RESULT_OK);
        ASSERT_EQ(queue(0x816, queued), TCS_RESULT_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the worker is inside its read
        const auto start = Clock::now();
        ASSERT_EQ(send(0x817), TCS_RESULT_OK);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000)) << "the 1500 ms read was waited for";
        for (Transfer* t : {&reading, &queued}) {
            EXPECT_EQ(t->descriptor.status, uint32_t(PAL_TRANSFER_CANCELLED));
            EXPECT_EQ(t->descriptor.length, 0u);
        }

        std::vector<uint8_t> sent;
        for (size_t i = 0; i < c.pushes.size(); ++i) {
            const std::vector<uint8_t> part = pattern(c.pushes[i], uint8_t(i + 1));
            simusb::pushFingerprintData(sensorId_, part);
            sent.insert(sent.end(), part.begin(), part.end());
        }
        // The read the cancel left has come back with the first of them.
        ASSERT_TRUE(waitFor([&] {
            const auto reads = simusb::readLog(sensorId_);
            return reads.size() > readsBefore && reads.back().result > 0;
        }));
        EXPECT_EQ(simusb::readLog(sensorId_)[readsBefore].asked, int(std::min<uint32_t>(c.cancelled, 16384)))
            << "the data came through the cancelled read";
        EXPECT_EQ(reading.buffer, std::vector<uint8_t>(c.cancelled, 0xAB)) << "the cancelled buffer was written";

        // Streaming is off: the next capture's buffers wait until it is on again.
        std::vector<std::unique_ptr<Transfer>> next;
        for (uint32_t size : c.next) {
            next.push_back(std::make_unique<Transfer>(size));
            ASSERT_EQ(queue(0x816, *next.back()), TCS_RESULT_OK);
        }
        EXPECT_FALSE(next.front()->wait(30));
        ASSERT_EQ(send(0x824), TCS_RESULT_OK);
        std::vector<uint8_t> received;
        for (size_t i = 0; i < next.size(); ++i) {
            ASSERT_TRUE(next[i]->wait()) << i;
            EXPECT_EQ(next[i]->descriptor.status, uint32_t(PAL_TRANSFER_DONE)) << i;
            EXPECT_EQ(next[i]->descriptor.length, c.lengths[i]) << i;
            const std::vector<uint8_t> got = next[i]->data();
            received.insert(received.end(), got.begin(), got.end());
        }
        EXPECT_EQ(received, sent) << "every byte, in order";
        ASSERT_EQ(send(0x817), TCS_RESULT_OK);
    }
}

// --- Close -----------------------------------------------------------------------------------------

TEST_F(UsbTransport, CloseWaitsForAWorkerInsideItsTransfer) {
    startWith();
    open();
    palTestSetUsbWorkerStopTimeout(10);
    ASSERT_EQ(palSensorSetPipeTimeout(sensor_, PAL_USB_PIPE_REPLY_READ, 400), TCS_RESULT_OK);
    simusb::delayReplies(sensorId_, 150);
    Transfer request(std::vector<uint8_t>{0x7E}), reply(64);
    exchange(request, reply);
    ASSERT_TRUE(waitFor([&] { return simusb::commandLog(sensorId_).size() == 1; }));
    const auto start = Clock::now();
    ASSERT_EQ(palSensorClose(nullptr, sensor_), TCS_RESULT_OK);
    sensor_ = nullptr;
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100)) << "close outlasted the stop time-out";
    EXPECT_EQ(reply.descriptor.status, uint32_t(PAL_TRANSFER_DONE)) << "the worker finished its read first";
    EXPECT_EQ(reply.data(), (std::vector<uint8_t>{0x01, 0x04}));
}

TEST_F(UsbTransport, CloseKeepsTheDeviceWhenAWorkerWillNotEnd) {
    startWith();
    open();
    palTestSetUsbWorkerStopTimeout(10);
    for (uint32_t pipe = 0; pipe < 3; ++pipe) palSensorSetPipeTimeout(sensor_, pipe, 20);
    simusb::stallEndpoint(sensorId_, 0x81, true);  // a transfer that ignores its time-out
    Transfer request(std::vector<uint8_t>{0x7E}), reply(64);
    exchange(request, reply);
    ASSERT_TRUE(waitFor([&] { return simusb::commandLog(sensorId_).size() == 1; }));
    EXPECT_EQ(palSensorClose(nullptr, sensor_), TCS_RESULT_TIMEOUT);
    EXPECT_EQ(send(0x827), TCS_RESULT_OK) << "the device is still whole";
    simusb::stallEndpoint(sensorId_, 0x81, false);
    ASSERT_TRUE(reply.wait());
    EXPECT_EQ(palSensorClose(nullptr, sensor_), TCS_RESULT_OK) << "a later close finishes it";
    sensor_ = nullptr;
}

TEST_F(UsbTransport, CloseCancelsWhatIsStillQueued) {
    startWith();
    open();
    Transfer event(64), fingerprint(64);
    ASSERT_EQ(queue(0x814, event), TCS_RESULT_OK);
    ASSERT_EQ(queue(0x816, fingerprint), TCS_RESULT_OK);  // streaming is off: never served
    EXPECT_EQ(event.descriptor.status, uint32_t(PAL_TRANSFER_PENDING));
    ASSERT_EQ(palSensorClose(nullptr, sensor_), TCS_RESULT_OK);
    sensor_ = nullptr;
    EXPECT_EQ(event.descriptor.status, uint32_t(PAL_TRANSFER_CANCELLED));
    EXPECT_EQ(fingerprint.descriptor.status, uint32_t(PAL_TRANSFER_CANCELLED));
}

TEST_F(UsbTransport, UnplugWhileOpenFailsTransfersAndStillCloses) {
    startWith();
    open();
    simusb::unplug(sensorId_);
    Transfer request(std::vector<uint8_t>{0x7E}), reply(64);
    exchange(request, reply);
    ASSERT_TRUE(reply.wait());
    EXPECT_EQ(request.descriptor.status, uint32_t(PAL_TRANSFER_ERROR));
    EXPECT_EQ(reply.descriptor.status, uint32_t(PAL_TRANSFER_ERROR));
    ASSERT_TRUE(waitFor([&] { return live_.count() == 2; }));
}

// --- Pre-boot image file ---------------------------------------------------------------------------

TEST(UsbPreBootImage, ReadsTheWholeFileWhenItFits) {
    const auto directory = std::filesystem::temp_directory_path() / ("efi-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(directory);
    uint8_t buffer[64];
    EXPECT_EQ(palGetEFIImage(buffer, sizeof buffer, 1), TCS_RESULT_FILE_OPEN_FAILED);
    {
        std::FILE* f = std::fopen("OemUsbTFS.img", "wb");
        std::fclose(f);
    }
    EXPECT_EQ(palGetEFIImage(buffer, sizeof buffer, 1), TCS_RESULT_FILE_READ_FAILED) << "nothing to read";
    {
        std::FILE* f = std::fopen("OemUsbTFS.img", "wb");
        for (int i = 0; i < 40; ++i) std::fputc(i, f);
        std::fclose(f);
    }
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(palGetEFIImage(buffer, 39, 1), TCS_RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer[0], 0xEE) << "nothing read when it does not fit";
    EXPECT_EQ(palGetEFIImage(buffer, 40, 1), TCS_RESULT_OK);
    EXPECT_EQ(buffer[39], 39);
    EXPECT_EQ(buffer[40], 0xEE);
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(directory);
}

// The seam's folder holds every image, the sensor types' own and the generic one.
TEST(UsbPreBootImage, TheSeamsFolderTakesThePlaceOfTheSystemsFolders) {
    const auto directory = std::filesystem::temp_directory_path() / ("efi-seam-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    palTestSetEFIImageFolder(directory.c_str());
    struct Case {
        uint32_t type;
        const char* name;
    };
    for (const Case& c : std::initializer_list<Case>{{100, "OemUsbTFS641.img"}, {102, "OemUsbTFS643.img"},
                                                      {104, "OemUsbTFS645.img"}, {110, "OemUsbTFS646.img"},
                                                      {7, "OemUsbTFS.img"}}) {
        uint8_t buffer[8] = {};
        EXPECT_EQ(palGetEFIImage(buffer, sizeof buffer, c.type), TCS_RESULT_FILE_OPEN_FAILED) << c.name;
        {
            std::FILE* f = std::fopen((directory / c.name).c_str(), "wb");
            std::fputc(int(c.type), f);
            std::fclose(f);
        }
        EXPECT_EQ(palGetEFIImage(buffer, sizeof buffer, c.type), TCS_RESULT_OK) << c.name;
        EXPECT_EQ(buffer[0], uint8_t(c.type)) << c.name;
    }
    palTestSetEFIImageFolder(nullptr);
    std::filesystem::remove_all(directory);
}

}  // namespace
