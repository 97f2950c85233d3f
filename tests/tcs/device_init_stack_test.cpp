// Device initialisation on the whole in-process stack: service thread, sensor control and the
// virtual sensor, seen through a client's system events.
#include "sim_version.h"

#include "platform/test_seams.h"
#include "platform/usb_test_seams.h"
#include "sim/usb/firmware.h"
#include "sim/usb/sim_usb.h"
#include "platform/pnp.h"
#include "platform/settings.h"
#include "tcs/core.h"
#include "tcs/handle_map.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/tcs.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Seen {
    uint32_t id;
    uint32_t status;
    std::string name;    // events with a sensor id
    uint32_t count = 0;  // event 9
};

struct EventLog {
    std::mutex lock;
    std::vector<Seen> events;

    std::vector<Seen> snapshot() {
        std::lock_guard<std::mutex> hold(lock);
        return events;
    }
    bool has(uint32_t id) {
        for (const Seen& e : snapshot()) {
            if (e.id == id) return true;
        }
        return false;
    }
    Seen find(uint32_t id) {
        for (const Seen& e : snapshot()) {
            if (e.id == id) return e;
        }
        return {0, 0, {}};
    }
    size_t countOf(uint32_t id) {
        size_t n = 0;
        for (const Seen& e : snapshot()) n += e.id == id;
        return n;
    }
};

TcsResult recordEvent(void*, void* context, EventRecord* event) {
    auto* log = static_cast<EventLog*>(context);
    Seen seen{event->id, event->status, {}};
    if (event->id == 9 && event->dataSize == 4) {
        std::memcpy(&seen.count, event->data, 4);
    } else if (event->data != nullptr && event->dataSize > 0) {
        seen.name.assign(static_cast<const char*>(event->data), strnlen(static_cast<const char*>(event->data), event->dataSize));
    }
    std::lock_guard<std::mutex> hold(log->lock);
    log->events.push_back(seen);
    return TCS_RESULT_OK;
}

// A 4.40 family-1 version block whose variant byte (offset 22) is the given value.
std::vector<uint8_t> versionBlock(uint8_t variantByte, uint8_t flags = 0, uint8_t minor = 40) {
    std::vector<uint8_t> v = simVersionRecord(minor, variantByte, 0, 'S');
    v[14] = flags;
    return v;
}

class DeviceInitStack : public ::testing::Test {
protected:
    void SetUp() override {
        simusb::resetAll();
        palTestSetUsbPollInterval(5);
        palTestSetUsbWorkerStopTimeout(0);
        settings_ = ::testing::TempDir() + "/tcs_device_init_settings" + std::to_string(getpid());
        palTestSetSettingsPath(settings_.c_str());
    }

    void TearDown() override {
        if (client_ != 0) {
            EXPECT_EQ(tcsClientDestroy(client_), TCS_RESULT_OK);
        }
        if (stack_ != nullptr) {
            EXPECT_EQ(tcsShutdown(stack_), TCS_RESULT_OK);
        }
        for (uint8_t code : hooked_) simusb::setCommandHook(code, nullptr);
        simusb::resetAll();
        palTestSetUsbPollInterval(0);
        palTestSetSettingsPath(nullptr);
        std::remove(settings_.c_str());
        // Start-up installs the core's handle clean-ups; other suites of this binary expect none.
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_IMAGE, nullptr);
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_SENSOR, nullptr);
    }

    void start(uint32_t flags = 0) {
        ASSERT_EQ(tcsStartupEx(&stack_, flags | TCS_START_FAST_POLL, nullptr), TCS_RESULT_OK);
        ASSERT_EQ(tcsClientCreateSys(stack_, &client_), TCS_RESULT_OK);
        ASSERT_EQ(tcsClientEventsAddCallback(client_, recordEvent, &log_), TCS_RESULT_OK);
    }

    void answerVersion(uint8_t variantByte, uint8_t flags = 0) {
        hook(0x01, [variantByte, flags](std::span<const uint8_t>) {
            return simusb::Reply{0, versionBlock(variantByte, flags)};
        });
    }

    void hook(uint8_t code, simusb::CommandHook h) {
        simusb::setCommandHook(code, std::move(h));
        hooked_.push_back(code);
    }

    bool waitFor(const std::function<bool()>& condition, int ms = 5000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (!condition()) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    size_t listed(PalListEntry ScsSubsystem::*list) {
        ScsSubsystem* control = stack_->sensorControl;
        scsLock(control->deviceListLock);
        size_t n = 0;
        PalListEntry* head = &(control->*list);
        for (PalListEntry* node = head->next; node != head; node = node->next) ++n;
        scsUnlock(control->deviceListLock);
        return n;
    }

    // Puts the first active device back onto the initialising list, as a resume or reconfiguration
    // does; it is initialised again on the fast table.
    void initialiseAgain() {
        ScsSubsystem* control = stack_->sensorControl;
        scsLock(control->deviceListLock);
        auto* device = PAL_LIST_RECORD(control->activeDevices.next, ScsSensorDevice, links);
        palListRemove(&device->links);
        palListInsertTail(&control->initialisingDevices, &device->links);
        scsUnlock(control->deviceListLock);
        scsSensorSignalWorkToDo(device);
    }

    static ScsClient* clientOf(TcsHandle client) {
        void* record = nullptr;
        tcsSafeClientHandleFetch(client, &record);
        return record != nullptr ? static_cast<ClientRecord*>(record)->sensorControlClient : nullptr;
    }

    std::string settings_;
    CoreSubsystem* stack_ = nullptr;
    TcsHandle client_ = 0;
    EventLog log_;
    std::vector<uint8_t> hooked_;
};

// The sensor is on the bus before start-up, as for the tool: the plug-and-play layer counts it, so
// all-ready follows ready.
TEST_F(DeviceInitStack, PlainSensorArrivesBecomesReadyOpensAndCloses) {
    answerVersion(1);
    ASSERT_NE(simusb::plug(), 0);
    start();
    ASSERT_TRUE(waitFor([&] { return log_.has(3); }));
    const Seen ready = log_.find(3);
    EXPECT_FALSE(ready.name.empty());
    EXPECT_EQ(ready.status, TCS_RESULT_OK);
    // Arriving is raised before any command, possibly before this client was listening.
    EXPECT_LE(log_.countOf(2), 1u);
    if (log_.has(2)) {
        EXPECT_EQ(log_.find(2).name, ready.name);
    }
    EXPECT_FALSE(log_.has(4));
    // Start-up returns only after the initial bus scan, so the sensor counts as present at start-up
    // and all-ready always follows.
    EXPECT_EQ(palPnpGetDeviceCount(stack_->sensorControl->pnp), 1u);
    ASSERT_TRUE(waitFor([&] { return log_.has(9); }));
    EXPECT_EQ(log_.find(9).count, 1u);

    // Once ready the sensor opens and closes on sensor control's side (the core's open and close go
    // through image acquisition as well).
    ScsSensor* handle = nullptr;
    ASSERT_EQ(scsSensorOpen(clientOf(client_), ready.name.c_str(), &handle), TCS_RESULT_OK);
    EXPECT_EQ(scsSensorClose(handle), TCS_RESULT_OK);
}

TEST_F(DeviceInitStack, LiveArrivalIsAnnouncedOnceAndBecomesReady) {
    answerVersion(1);
    start();
    const simusb::SensorId id = simusb::plug();
    ASSERT_NE(id, 0);
    ASSERT_TRUE(waitFor([&] { return log_.has(3); }));
    std::vector<uint32_t> ids;
    for (const Seen& e : log_.snapshot()) ids.push_back(e.id);
    EXPECT_EQ(ids, (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(log_.find(3).status, TCS_RESULT_OK);
    EXPECT_EQ(listed(&ScsSubsystem::activeDevices), 1u);
    EXPECT_EQ(listed(&ScsSubsystem::initialisingDevices), 0u);
    // The full table reads the version, the start information and the run patch's version again.
    size_t versions = 0;
    for (const auto& command : simusb::commandLog(id)) versions += !command.empty() && command[0] == 0x01;
    EXPECT_GE(versions, 3u);
}

TEST_F(DeviceInitStack, ReadyWithoutStepsSendsNoCommandAndReportsVariant2) {
    struct Case {
        uint8_t variant;
        TcsResult status;
    };
    for (const Case& c : std::initializer_list<Case>{{0, TCS_RESULT_OK}, {2, 529}}) {
        SCOPED_TRACE(int(c.variant));
        start(0x80000000u);
        simusb::SensorSpec identity;
        identity.variant = c.variant;
        const simusb::SensorId id = simusb::plug(identity);
        ASSERT_NE(id, 0);
        ASSERT_TRUE(waitFor([&] { return log_.has(3); }));
        EXPECT_EQ(log_.find(3).status, c.status);
        EXPECT_TRUE(simusb::commandLog(id).empty());
        EXPECT_EQ(tcsClientDestroy(client_), TCS_RESULT_OK);
        client_ = 0;
        EXPECT_EQ(tcsShutdown(stack_), TCS_RESULT_OK);
        stack_ = nullptr;
        simusb::resetAll();
        std::lock_guard<std::mutex> hold(log_.lock);
        log_.events.clear();
    }
}

// Start flag 0x100 leaves secure variants without a secure session: ready, with status 372.
TEST_F(DeviceInitStack, SecureVariantWithoutSecureSessionIsReadyWith372) {
    for (uint8_t variant : {3, 5}) {
        SCOPED_TRACE(int(variant));
        answerVersion(variant);
        start(0x00000100u);
        simusb::SensorSpec identity;
        identity.variant = variant;
        ASSERT_NE(simusb::plug(identity), 0);
        ASSERT_TRUE(waitFor([&] { return log_.has(3) || log_.has(4); }));
        EXPECT_EQ(log_.find(3).status, TCS_RESULT_READY_NO_SECURE_SESSION);
        EXPECT_FALSE(log_.has(4));
        EXPECT_EQ(tcsClientDestroy(client_), TCS_RESULT_OK);
        client_ = 0;
        EXPECT_EQ(tcsShutdown(stack_), TCS_RESULT_OK);
        stack_ = nullptr;
        simusb::resetAll();
        std::lock_guard<std::mutex> hold(log_.lock);
        log_.events.clear();
    }
}

TEST_F(DeviceInitStack, ResetLogRecordsTheStartInformationWhenEnabled) {
    const std::string log = ::testing::TempDir() + "/tcs_reset_log_" + std::to_string(getpid()) + ".txt";
    std::remove(log.c_str());
    const char* section = "SOFTWARE\\Tovantic\\tfs530\\ResetLog";
    ASSERT_EQ(palSetPersistentDataLongValue(section, "Enable", 1), TCS_RESULT_OK);
    ASSERT_EQ(palSetPersistentDataStringValue(section, "FilePath", log.c_str(), uint32_t(log.size() + 1)),
              TCS_RESULT_OK);
    answerVersion(1);
    start();
    ASSERT_NE(simusb::plug(), 0);
    ASSERT_TRUE(waitFor([&] { return log_.has(3); }));
    // The log is appended on the service thread and may land just after the ready event.
    FILE* file = nullptr;
    ASSERT_TRUE(waitFor([&] {
        struct stat st {};
        return stat(log.c_str(), &st) == 0 && st.st_size > 0 && (file = std::fopen(log.c_str(), "r")) != nullptr;
    }));
    char text[512] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    std::remove(log.c_str());
    const std::string written(text, n);
    EXPECT_EQ(written.rfind("Time: ", 0), 0u) << written;
    EXPECT_NE(written.find("\nstart_type = 0 \n reset_type = 0 \n start_status = 0x00000000\n\n"), std::string::npos)
        << written;
}

// Shut-down cancels an initialisation that is waiting on the sensor.
TEST_F(DeviceInitStack, ShutdownDuringInitialisationIsClean) {
    answerVersion(1);
    start();
    const simusb::SensorId id = simusb::plug();
    ASSERT_NE(id, 0);
    simusb::delayReplies(id, 100, 5);
    ASSERT_TRUE(waitFor([&] { return log_.has(2); }));
    EXPECT_EQ(tcsClientDestroy(client_), TCS_RESULT_OK);
    client_ = 0;
    EXPECT_EQ(tcsShutdown(stack_), TCS_RESULT_OK);
    stack_ = nullptr;
    EXPECT_FALSE(log_.has(3));
    EXPECT_EQ(simusb::openHandleCount(), 0);
}

TEST_F(DeviceInitStack, FailingStepRaisesFailureAndTheDeviceIsRetried) {
    answerVersion(1);
    hook(0x19, [](std::span<const uint8_t>) { return simusb::Reply{0x0401, {}}; });
    start();
    ASSERT_NE(simusb::plug(), 0);
    ASSERT_TRUE(waitFor([&] { return log_.has(4); }));
    EXPECT_FALSE(log_.has(3));
    EXPECT_FALSE(log_.find(4).name.empty());
    // Reported as malfunctioning: off the initialising list onto the list of devices to retry.
    ASSERT_TRUE(waitFor([&] { return listed(&ScsSubsystem::badDevices) == 1; }));
    EXPECT_EQ(listed(&ScsSubsystem::initialisingDevices), 0u);
    EXPECT_EQ(listed(&ScsSubsystem::activeDevices), 0u);
    // A device waiting for its retry holds shut-down up for its whole budget.
    scsFreeDiscoveredDevices(stack_->sensorControl);
}

// A patch the sensor keeps refusing on the fast table's patch step is retried until the retries run
// out; the device is then reported malfunctioning once, by the step, and initialisation ends
// without a failure event.
TEST_F(DeviceInitStack, PatchRefusedUntilTheRetriesRunOutIsReportedOnce) {
    answerVersion(1);
    start();
    ASSERT_NE(simusb::plug(), 0);
    ASSERT_TRUE(waitFor([&] { return log_.has(3); }));
    auto downloads = std::make_shared<std::atomic<int>>(0);
    hook(0x06, [downloads](std::span<const uint8_t>) {
        ++*downloads;
        return simusb::Reply{0x044F, {}};
    });
    // The fast table loads its patch first.
    initialiseAgain();

    ASSERT_TRUE(waitFor([&] { return listed(&ScsSubsystem::badDevices) == 1; }, 20000));
    EXPECT_GT(downloads->load(), 100) << "retried";
    EXPECT_FALSE(log_.has(4)) << "the malfunction is reported once, without a failure event";
    EXPECT_EQ(log_.countOf(3), 1u);
    EXPECT_EQ(listed(&ScsSubsystem::initialisingDevices), 0u);
    scsFreeDiscoveredDevices(stack_->sensorControl);
}

TEST_F(DeviceInitStack, UnplugDuringInitialisationThenReplug) {
    answerVersion(1);
    start();
    simusb::SensorSpec identity;
    const simusb::SensorId id = simusb::plug(identity);
    ASSERT_NE(id, 0);
    // Slow replies keep the device initialising long enough to pull it out.
    simusb::delayReplies(id, 200, 3);
    ASSERT_TRUE(waitFor([&] { return log_.has(2); }));
    ASSERT_TRUE(simusb::unplug(id));
    ASSERT_TRUE(waitFor([&] { return log_.has(1); }));
    ASSERT_TRUE(waitFor([&] { return listed(&ScsSubsystem::initialisingDevices) == 0; }));
    EXPECT_FALSE(log_.has(3));

    ASSERT_NE(simusb::plug(identity), 0);
    ASSERT_TRUE(waitFor([&] { return log_.has(3); }));
    EXPECT_EQ(log_.find(3).status, TCS_RESULT_OK);
    EXPECT_EQ(listed(&ScsSubsystem::activeDevices), 1u);
}

// A device initialised once takes the fast table next time: the patch of kind 0x4000 comes from the
// built-in lists for both firmware versions and the sensor accepts its signature.
TEST_F(DeviceInitStack, SecondInitialisationTakesTheFastTableOn440And460) {
    for (uint8_t minor : {40, 60}) {
        SCOPED_TRACE(int(minor));
        hook(0x01, [minor](std::span<const uint8_t>) { return simusb::Reply{0, versionBlock(1, 0, minor)}; });
        start();
        const simusb::SensorId id = simusb::plug();
        ASSERT_NE(id, 0);
        ASSERT_TRUE(waitFor([&] { return log_.has(3); }));
        // A reset or resume leaves the sensor without its patch: unloaded here while it stays on the bus.
        ScsSensor* handle = nullptr;
        ASSERT_EQ(scsSensorOpen(clientOf(client_), log_.find(3).name.c_str(), &handle), TCS_RESULT_OK);
        EXPECT_EQ(scsSensorUnloadPatch(handle), TCS_RESULT_OK);
        EXPECT_EQ(scsSensorClose(handle), TCS_RESULT_OK);
        simusb::clearCommandLog(id);

        ASSERT_EQ(listed(&ScsSubsystem::activeDevices), 1u);
        initialiseAgain();

        ASSERT_TRUE(waitFor([&] { return log_.countOf(3) == 2 || log_.has(4); }));
        EXPECT_FALSE(log_.has(4));
        EXPECT_EQ(log_.snapshot().back().status, TCS_RESULT_OK);
        std::vector<uint32_t> patches;
        for (const auto& command : simusb::commandLog(id)) {
            if (command.size() >= 270 && command[0] == 0x06) {
                uint32_t kind = 0;
                std::memcpy(&kind, command.data() + 1 + 4 + 256 + 4, 4);
                patches.push_back(kind);
            }
            EXPECT_NE(command.empty() ? 0 : command[0], 0x01) << "no version read on the fast table";
        }
        EXPECT_EQ(patches, (std::vector<uint32_t>{0x4000, 1}));

        EXPECT_EQ(tcsClientDestroy(client_), TCS_RESULT_OK);
        client_ = 0;
        EXPECT_EQ(tcsShutdown(stack_), TCS_RESULT_OK);
        stack_ = nullptr;
        simusb::resetAll();
        std::lock_guard<std::mutex> hold(log_.lock);
        log_.events.clear();
    }
}

// A variant-2 device whose version flags carry bit 1 loads the initialisation patch in the full table,
// then the run patch, and is ready with 529.
TEST_F(DeviceInitStack, Variant2WithPatchFlagLoadsBothPatchesAndIsReadyWith529) {
    for (uint8_t minor : {40, 60}) {
        SCOPED_TRACE(int(minor));
        hook(0x01, [minor](std::span<const uint8_t>) { return simusb::Reply{0, versionBlock(2, 2, minor)}; });
        start();
        simusb::SensorSpec identity;
        identity.variant = 2;
        const simusb::SensorId id = simusb::plug(identity);
        ASSERT_NE(id, 0);
        ASSERT_TRUE(waitFor([&] { return log_.has(3) || log_.has(4); }));
        EXPECT_FALSE(log_.has(4));
        EXPECT_EQ(log_.find(3).status, 529u);
        std::vector<uint32_t> patches;
        for (const auto& command : simusb::commandLog(id)) {
            if (command.size() >= 270 && command[0] == 0x06) {
                uint32_t kind = 0;
                std::memcpy(&kind, command.data() + 1 + 4 + 256 + 4, 4);
                patches.push_back(kind);
            }
        }
        // Variant 2 runs without a secure channel: the flash is identified with plain SPI
        // transactions, so no flash-access patch comes between them.
        EXPECT_EQ(patches, (std::vector<uint32_t>{0x4000, 1}));

        EXPECT_EQ(tcsClientDestroy(client_), TCS_RESULT_OK);
        client_ = 0;
        EXPECT_EQ(tcsShutdown(stack_), TCS_RESULT_OK);
        stack_ = nullptr;
        simusb::resetAll();
        std::lock_guard<std::mutex> hold(log_.lock);
        log_.events.clear();
    }
}

// A sensor that enumerates as variant 3 but whose 4.40 firmware reports variant 2 is a variant-2
// device: its patches go down vendor-signed as the lists carry them, and the sensor takes them.
TEST_F(DeviceInitStack, Variant2ReportedByTheFirmwareOfAVariant3DescriptorTakesItsPatches) {
    const std::string state = ::testing::TempDir() + "/tcs_device_init_v3_" + std::to_string(getpid());
    ASSERT_EQ(std::system(("rm -rf " + state + " && mkdir -p " + state).c_str()), 0);
    simusb::SensorSpec identity;
    identity.serial = "V3AS2";
    identity.variant = 3;
    simusb::Firmware firmware(identity.serial, identity.productId, identity.variant);
    firmware.stored("version") = versionBlock(2);
    firmware.storedChanged();
    ASSERT_TRUE(firmware.save(state));
    simusb::setStateDirectory(state);
    start();
    const simusb::SensorId id = simusb::plug(identity);
    ASSERT_NE(id, 0);
    EXPECT_TRUE(waitFor([&] { return log_.has(3) || log_.has(4); }));
    EXPECT_FALSE(log_.has(4));
    EXPECT_EQ(log_.find(3).status, 529u);
    size_t patches = 0;
    for (const auto& command : simusb::commandLog(id)) patches += !command.empty() && command[0] == 0x06;
    EXPECT_GE(patches, 1u) << "the run patch, vendor-signed";
    simusb::setStateDirectory("");
    std::system(("rm -rf " + state).c_str());
}

}  // namespace
