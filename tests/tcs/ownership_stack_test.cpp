// Ownership end to end: the client interface over the whole stack and the virtual sensor. Taking
// ownership on 4.21 (password) and on 4.40 and 4.60 (keys), the reset and re-initialisation that
// follow, the pairing still there after a restart of the stack, resetting it, and a sensor with no
// ownership cycle left. Also the sensor services on a ready sensor.
#include "sim_version.h"

#include "platform/usb_transport.h"
#include "sim/usb/firmware.h"
#include "tcs/flashfs/xtfs.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/secure/security.h"
#include "tests/tcs/stack_fixture.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Completion {
    std::atomic<int> calls{0};
    std::atomic<TcsResult> status{0xFFFF};
};

TcsResult recordCompletion(void*, TcsResult status, void* context) {
    auto* c = static_cast<Completion*>(context);
    c->status = status;
    c->calls++;
    return TCS_RESULT_OK;
}

// Skip LOCK on 4.21 (the base's start flags): a locked sensor refuses the pairings these tests make.
class OwnershipStack : public StackFixture {
protected:
    OwnershipStack() {
        folderName_ = "tcs_ownership";
        stateFolder_ = true;
        unplugFirst_ = true;
    }

    // A family-1 sensor running the given firmware, its stored state written before it is plugged:
    // it is plugged only once the stack and its client are up, so that its initialisation never
    // holds up the client's creation.
    void prepare(uint8_t minor, uint8_t usbVariant, uint8_t variantByte, uint8_t capabilities = 0,
                 const std::map<std::string, std::vector<uint8_t>>& stored = {}) {
        spec_.serial = "OWN" + std::to_string(minor);
        spec_.variant = usbVariant;
        simusb::Firmware firmware(spec_.serial, spec_.productId, usbVariant);
        firmware.stored("version") = simVersionRecord(minor, variantByte, capabilities);
        for (const auto& [name, value] : stored) firmware.stored(name) = value;
        firmware.storedChanged();
        ASSERT_TRUE(firmware.save(stateDir_));
    }

    // Starts the stack, plugs the prepared sensor and opens it once it is ready; the ready status
    // goes to *status.
    TcsHandle startAndOpen(uint32_t* status) {
        startStack();
        plug(spec_);
        if (::testing::Test::HasFatalFailure() || !waitFor([&] { return readyCount() > 0; })) return 0;
        return open(status);
    }

    // The sensor handle of a client: the core's record over sensor control's open of the device.
    // Made here rather than by tcsSensorOpenA, whose image-acquisition half is not in this build.
    TcsHandle open(uint32_t* status) {
        const Seen ready = last(TCS_SYSTEM_EVENT_SENSOR_READY);
        name_ = ready.name;
        if (status != nullptr) *status = ready.status;
        void* record = nullptr;
        tcsSafeClientHandleFetch(client_, &record);
        auto* client = static_cast<ClientRecord*>(record);
        SensorRecord* sensor = nullptr;
        EXPECT_EQ(tcsSensorAlloc(&sensor, name_.c_str()), TCS_RESULT_OK);
        if (sensor == nullptr) return 0;
        sensor->client = client;
        EXPECT_EQ(scsSensorOpen(client->sensorControlClient, name_.c_str(), &sensor->sensorControlSensor),
                  TCS_RESULT_OK);
        TcsHandle handle = 0;
        EXPECT_EQ(tcsSafeSensorHandleCreate(sensor, &handle), TCS_RESULT_OK);
        return handle;
    }

    void close(TcsHandle handle) {
        void* record = nullptr;
        tcsSafeSensorHandleFetch(handle, &record);
        auto* sensor = static_cast<SensorRecord*>(record);
        if (sensor == nullptr) return;
        if (sensor->sensorControlSensor != nullptr) scsSensorClose(sensor->sensorControlSensor);
        _tcsSensorFree(sensor);
    }

    size_t readyCount() { return countOf(TCS_SYSTEM_EVENT_SENSOR_READY); }

    // Pairing keeps the sensor's secrets in its flash through flash storage; until that subsystem
    // is linked in, its stand-ins answer 6 and the flows that need it cannot be run end to end.
    static bool flashStorageBuilt() {
        uint32_t capacity = 0;
        return xtfsGetFlashInfo(nullptr, &capacity) != TCS_RESULT_NOT_IMPLEMENTED;
    }

    ScsSensorDevice* deviceOf(TcsHandle handle) {
        void* record = nullptr;
        tcsSafeSensorHandleFetch(handle, &record);
        return static_cast<SensorRecord*>(record)->sensorControlSensor->device;
    }

    static bool sent(simusb::SensorId id, uint8_t code) {
        for (const auto& c : simusb::commandLog(id)) {
            if (!c.empty() && c[0] == code) return true;
        }
        return false;
    }

    uint8_t afterTakeOwner() {
        char section[260];
        std::snprintf(section, sizeof section, "SOFTWARE\\Tovantic\\tfs530\\303132333435");
        uint8_t value = 0;
        uint32_t size = 1;
        const uint8_t none = 0;
        if (palGetPersistentDataBinaryValue(section, "AfterTakeOwner", &none, 1, &value, &size) != TCS_RESULT_OK) {
            return 0;
        }
        return value;
    }

    std::string name_;
    simusb::SensorSpec spec_;
};

TEST_F(OwnershipStack, PasswordOn421TakenKeptOverARestartAndReset) {
    if (!flashStorageBuilt()) GTEST_SKIP() << "pairing keeps its secrets through flash storage, not linked in";
    prepare(21, 3, 0);
    uint32_t status = 0;
    TcsHandle sensor = startAndOpen(&status);
    ASSERT_NE(sensor, 0u);
    const simusb::SensorId id = id_;
    EXPECT_EQ(status, TCS_RESULT_READY_NO_SECURE_SESSION) << "no shared secret yet";

    uint16_t total = 0, left = 0;
    ASSERT_EQ(tcsSensorGetOwnershipInfo(sensor, &total, &left), TCS_RESULT_OK);
    EXPECT_EQ(total, 5);
    EXPECT_EQ(left, 5);

    uint8_t long65[65] = {};
    const SizedBuffer tooLong{65, long65};
    EXPECT_EQ(tcsSensorSetOwner(sensor, &tooLong), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsSensorSetOwner(sensor, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(simusb::storedState(id, "ownership"), std::vector<uint8_t>{}) << "left untouched";

    const SizedBuffer password{6, reinterpret_cast<const uint8_t*>("secret")};
    // No cycle left: stopped at the counters, no reset.
    simusb::setStoredState(id, "ownership.cycles", {5, 0, 0, 0});
    simusb::clearCommandLog(id);
    EXPECT_EQ(tcsSensorSetOwner(sensor, &password), 381u);
    EXPECT_FALSE(sent(id, 0x0F));
    EXPECT_FALSE(sent(id, 0x05));
    simusb::setStoredState(id, "ownership.cycles", {5, 0, 5, 0});

    const size_t before = readyCount();
    EXPECT_EQ(tcsSensorSetOwner(sensor, &password), TCS_RESULT_OK);
    EXPECT_GT(readyCount(), before) << "reset and re-initialised";
    EXPECT_EQ(simusb::storedState(id, "ownership"), std::vector<uint8_t>{1});
    // The re-initialisation after pairing moved the 64 KiB raw partition to the sensor's flash
    // and dropped the host copy together with its after-take-owner marker.
    EXPECT_EQ(afterTakeOwner(), 0);
    close(sensor);

    // A new run of the stack finds the pairing and sets up the secure session with it.
    stop();
    sensor = startAndOpen(&status);
    ASSERT_NE(sensor, 0u);
    EXPECT_EQ(status, TCS_RESULT_OK);

    const SizedBuffer wrong{5, reinterpret_cast<const uint8_t*>("wrong")};
    EXPECT_NE(tcsSensorResetOwner(sensor, &wrong), TCS_RESULT_OK);
    // Plugged again: the same sensor (its state from the directory) under a new id.
    EXPECT_EQ(simusb::storedState(id_, "ownership"), std::vector<uint8_t>{1});
    EXPECT_TRUE(waitFor([&] { return readyCount() > 1; })) << "the reset that follows a failed reset";
    close(sensor);
    sensor = open(nullptr);
    // No cycle left: the sensor refuses, the pairing and its secrets stay, no reset follows.
    simusb::setStoredState(id_, "ownership.cycles", {5, 0, 0, 0});
    simusb::clearCommandLog(id_);
    // (The command itself travels inside the secure channel, so the log does not show its code.)
    EXPECT_EQ(tcsSensorResetOwner(sensor, &password), 381u);
    EXPECT_FALSE(sent(id_, 0x05));
    EXPECT_EQ(simusb::storedState(id_, "ownership"), std::vector<uint8_t>{1});
    simusb::setStoredState(id_, "ownership.cycles", {5, 0, 5, 0});
    // The password and the pairing's secret (which the virtual sensor checks) open it.
    EXPECT_EQ(tcsSensorResetOwner(sensor, &password), TCS_RESULT_OK);
    EXPECT_EQ(simusb::storedState(id_, "ownership"), std::vector<uint8_t>{0});
    EXPECT_EQ(simusb::storedState(id_, "ownership.cycles"), (std::vector<uint8_t>{5, 0, 4, 0}));
    close(sensor);
}

// A paired sensor whose raw partition no longer matches its stored hash (one data byte changed while
// the stack was down) is ready without a secure session: status 372, and no session is set up.
TEST_F(OwnershipStack, RawPartitionWithAWrongHashIsReadyWithoutASession) {
    if (!flashStorageBuilt()) GTEST_SKIP() << "pairing keeps its secrets through flash storage, not linked in";
    prepare(21, 3, 0);
    uint32_t status = 0;
    TcsHandle sensor = startAndOpen(&status);
    ASSERT_NE(sensor, 0u);
    const SizedBuffer password{6, reinterpret_cast<const uint8_t*>("secret")};
    ASSERT_EQ(tcsSensorSetOwner(sensor, &password), TCS_RESULT_OK);
    close(sensor);
    stop();

    simusb::Firmware firmware(spec_.serial, spec_.productId, spec_.variant);
    ASSERT_TRUE(firmware.load(stateDir_));
    std::vector<uint8_t>& flash = firmware.stored("flash");
    size_t table = 0;
    for (size_t at = 0; at + 4 <= flash.size() && table == 0; at += 256) {
        if (std::memcmp(&flash[at], "EAT!", 4) == 0) table = at;
    }
    ASSERT_NE(table, 0u) << "the 4.21 raw partition";
    flash[table + 256] ^= 0x01;  // the first data byte after the entry table, under the stored hash
    firmware.storedChanged();
    ASSERT_TRUE(firmware.save(stateDir_));

    sensor = startAndOpen(&status);
    ASSERT_NE(sensor, 0u);
    EXPECT_EQ(status, TCS_RESULT_READY_NO_SECURE_SESSION);
    EXPECT_FALSE(scsSSLIsInSession(deviceOf(sensor)));
    close(sensor);
}

// A reset with no ownership cycle left: the command is sent, answered 0x0466, and the call ends
// with 381 after the clean-up of its kind of device, without resetting the sensor.
TEST_F(OwnershipStack, ResetWithNoCycleLeftGives381WithoutAReset) {
    prepare(40, 0, 1, 0, {{"ownership", {1}}, {"ownership.cycles", {5, 0, 0, 0}}});
    uint32_t status = 0;
    TcsHandle sensor = startAndOpen(&status);
    ASSERT_NE(sensor, 0u);
    const simusb::SensorId id = id_;
    // As a paired AES-secured sensor (the secure session itself is not needed here).
    ScsSensorDevice* device = deviceOf(sensor);
    device->aesSecured = 1;
    device->provisioned = 0;
    simusb::clearCommandLog(id);
    // Without a password: a password reset would first need the pairing's secret from storage.
    EXPECT_EQ(tcsSensorResetOwner(sensor, nullptr), 381u);
    EXPECT_TRUE(sent(id, 0x10));
    EXPECT_FALSE(sent(id, 0x05)) << "no reset after 381";
    EXPECT_EQ(simusb::storedState(id, "ownership"), std::vector<uint8_t>{1});
    close(sensor);
}

// Reset and wait, with the sensor's own reset answered but not carried out, so that the events
// the test raises are the only ones: a ready event for the same sensor (any case) ends the wait,
// with 384 when the sensor came back without a secure session; one for another sensor does not.
TEST_F(OwnershipStack, ResetAndWaitMatchesTheReadySensorAndItsStatus) {
    prepare(40, 0, 1);
    uint32_t status = 0;
    TcsHandle sensor = startAndOpen(&status);
    ASSERT_NE(sensor, 0u);
    const simusb::SensorId id = id_;
    simusb::setCommandHook(0x05, [](std::span<const uint8_t>) { return simusb::Reply{}; });
    struct Case {
        std::string readyName;
        uint32_t readyStatus;
        TcsResult expected;
    };
    std::string upper = name_;
    for (char& c : upper) c = char(std::toupper(uint8_t(c)));
    for (const Case& c : {Case{name_, TCS_RESULT_OK, TCS_RESULT_OK},
                          Case{upper, TCS_RESULT_READY_NO_SECURE_SESSION, TCS_RESULT_RESET_READY_NO_SECURE_SESSION},
                          Case{"usb#Vid_2e7b#Pid_0001#OTHER", TCS_RESULT_OK, TCS_RESULT_TIMEOUT}}) {
        SCOPED_TRACE(c.readyName);
        simusb::clearCommandLog(id);
        TcsResult result = 0xFFFF;
        std::thread waiter([&] { result = tcsSensorResetAndWait(sensor, 400); });
        ASSERT_TRUE(waitFor([&] { return sent(id, 0x05); }));
        std::string removed = name_;
        EventRecord gone{TCS_SYSTEM_EVENT_SENSOR_REMOVED, 0, uint32_t(removed.size() + 1), removed.data()};
        scsSystemEventPerformCallback(stack_->sensorControl, &gone);
        std::string back = c.readyName;
        EventRecord ready{TCS_SYSTEM_EVENT_SENSOR_READY, c.readyStatus, uint32_t(back.size() + 1), back.data()};
        scsSystemEventPerformCallback(stack_->sensorControl, &ready);
        waiter.join();
        EXPECT_EQ(result, c.expected);
    }
    simusb::setCommandHook(0x05, nullptr);
    close(sensor);
}

// Keys on 4.40 and 4.60 (an RSA-secured variant): the host key made when capability bit 4 asks for
// it, the keyed reply kept, the sensor reset and back.
TEST_F(OwnershipStack, KeysOn440And460) {
    if (!flashStorageBuilt()) GTEST_SKIP() << "pairing keeps its secrets through flash storage, not linked in";
    for (uint8_t minor : {uint8_t(40), uint8_t(60)}) {
        SCOPED_TRACE(int(minor));
        prepare(minor, 5, 5, 0x10);
        uint32_t status = 0;
        TcsHandle sensor = startAndOpen(&status);
        ASSERT_NE(sensor, 0u);
        const simusb::SensorId id = id_;
        uint16_t total = 0, left = 0;
        EXPECT_EQ(tcsSensorGetOwnershipInfo(sensor, &total, &left), TCS_RESULT_OK);
        EXPECT_EQ(total, 0xFFFF) << "only 4.21 counts";

        const size_t before = readyCount();
        EXPECT_EQ(tcsSensorSetOwnerWithKeys(sensor, nullptr, nullptr, nullptr, nullptr, nullptr), TCS_RESULT_OK);
        EXPECT_GT(readyCount(), before);
        EXPECT_EQ(simusb::storedState(id, "ownership"), std::vector<uint8_t>{2});
        EXPECT_FALSE(simusb::storedState(id, "ssl.rsa").empty());
        // The re-initialisation after pairing moved the raw partition to the sensor's flash and
        // dropped the host copy together with its after-take-owner marker.
        EXPECT_EQ(afterTakeOwner(), 0);
        close(sensor);
        stop();
        sensor = startAndOpen(&status);
        ASSERT_NE(sensor, 0u);
        // Plugged again: the same sensor (its state from the directory) under a new id.
        EXPECT_EQ(simusb::storedState(id_, "ownership"), std::vector<uint8_t>{2});
        EXPECT_EQ(tcsSensorResetOwner(sensor, nullptr), TCS_RESULT_OK);
        EXPECT_EQ(simusb::storedState(id_, "ownership"), std::vector<uint8_t>{0});
        close(sensor);
        stop();
    }
}

TEST_F(OwnershipStack, SensorServicesOnAReadySensor) {
    // The pre-boot flag page: its magic, then the flags.
    std::vector<uint8_t> flash(1u << 20, 0xFF);
    std::memcpy(flash.data(), "_VEH", 4);
    prepare(40, 0, 1, 0, {{"flash", flash}});
    uint32_t status = 0;
    TcsHandle sensor = startAndOpen(&status);
    ASSERT_NE(sensor, 0u);

    char text[80] = {};
    EXPECT_EQ(tcsSensorGetVersionA(sensor, text), TCS_RESULT_OK);
    EXPECT_NE(text[0], '\0');
    uint16_t wide[80] = {};
    EXPECT_EQ(tcsSensorGetVersionW(sensor, wide), TCS_RESULT_OK);
    EXPECT_EQ(wide[0], uint16_t(uint8_t(text[0])));

    SensorUidRecord uid{};
    EXPECT_EQ(tcsSensorGetUID(sensor, &uid), TCS_RESULT_OK);
    EXPECT_NE(uid.second, 0);

    std::string idText(name_.size(), '\0');
    EXPECT_EQ(tcsSensorGetId(sensor, idText.data()), TCS_RESULT_OK);
    EXPECT_EQ(idText, name_);

    struct VersionSeen {
        std::atomic<int> calls{0};
        std::string text;
    } seen;
    ASSERT_EQ(tcsSensorGetVersionAsync(
                  sensor,
                  [](void* version, TcsResult result, void* context) -> TcsResult {
                      auto* v = static_cast<VersionSeen*>(context);
                      if (result == TCS_RESULT_OK) v->text = static_cast<const char*>(version);
                      v->calls++;
                      return TCS_RESULT_OK;
                  },
                  &seen),
              TCS_RESULT_OK);
    ASSERT_TRUE(waitFor([&] { return seen.calls.load() == 1; }));
    EXPECT_EQ(seen.text, std::string(text));

    // One expiry item for the cached identification context, however often it is set; none once cleared.
    void* record = nullptr;
    tcsSafeSensorHandleFetch(sensor, &record);
    auto* sensorRecord = static_cast<SensorRecord*>(record);
    uint8_t context[128] = {7};
    auto expiries = [&] {
        WorkList* list = &stack_->workList;
        palCriticalSectionAcquire(list->listLock);
        size_t n = 0;
        for (PalListEntry* e = list->links.next; e != &list->links; e = e->next) {
            n += PAL_WORK_ITEM_FROM_LINKS(e)->type == TCS_ITEM_IDENTIFY_CONTEXT_EXPIRY;
        }
        palCriticalSectionRelease(list->listLock);
        return n;
    };
    EXPECT_EQ(_tcsSensorSetLastIdentificationCtx(sensorRecord, context, sizeof context), TCS_RESULT_OK);
    EXPECT_EQ(_tcsSensorSetLastIdentificationCtx(sensorRecord, context, sizeof context), TCS_RESULT_OK);
    EXPECT_EQ(expiries(), 1u);
    EXPECT_EQ(_tcsSensorSetLastIdentificationCtx(sensorRecord, nullptr, 0), TCS_RESULT_OK);
    EXPECT_EQ(expiries(), 0u);

    uint32_t security[4] = {9, 9, 9, 9};
    EXPECT_EQ(tcsSensorGetSecurityInfo(sensor, security), TCS_RESULT_OK);
    EXPECT_EQ(security[1], 0u) << "not a secured variant";
    EXPECT_EQ(security[2], 0u) << "no secure session";

    // Selective suspend is off unless the settings ask for it.
    EXPECT_EQ(tcsSensorEnableSelectiveSuspend(sensor, 0), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(tcsSensorDisableSelectiveSuspend(sensor), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(tcsSensorReconfigureStart(sensor), TCS_RESULT_NOT_IMPLEMENTED);
    uint32_t value = 0;
    EXPECT_EQ(tcsSensorGetSelectiveSuspendTimeout(sensor, &value), TCS_RESULT_OK);
    EXPECT_EQ(value, 5000u);
    EXPECT_EQ(tcsSensorSetSelectiveSuspendTimeout(sensor, 700), TCS_RESULT_OK);
    EXPECT_EQ(tcsSensorGetSelectiveSuspendTimeout(sensor, &value), TCS_RESULT_OK);
    EXPECT_EQ(value, 700u);
    EXPECT_EQ(tcsSensorReconfigureIsFinished(sensor, &value), TCS_RESULT_OK);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(tcsSensorSetLastCommandSentTime(sensor, 1234), TCS_RESULT_OK);
    EXPECT_EQ(tcsSensorGetLastCommandSentTime(sensor), 1234u);

    if (!flashStorageBuilt()) {
        close(sensor);
        GTEST_SKIP() << "flash storage is not linked in (device information, pre-boot flag)";
    }

    DeviceInfoRecord info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(tcsSensorGetDeviceInfo(sensor, &info), TCS_RESULT_OK);
    EXPECT_EQ(info.major, 4);
    EXPECT_EQ(info.minor, 40);
    EXPECT_EQ(info.zero, 0u);
    EXPECT_EQ(info.notWritten[0], 0xEE);
    EXPECT_EQ(std::memcmp(info.serial, "012345", 6), 0);

    // The index counts from the page start: bytes 0-3 are the magic, the flags follow.
    uint8_t flag = 0xAA;
    EXPECT_EQ(tcsSensorSetPbaFlag(sensor, 4, 1), TCS_RESULT_OK);
    EXPECT_EQ(tcsSensorGetPbaFlag(sensor, 4, &flag), TCS_RESULT_OK);
    EXPECT_EQ(flag, 1);
    close(sensor);
}

// The keyed take-ownership stage raises both pipe time-outs to 90000 ms for its command and puts
// them back also when the command or the store of its reply fails. The item is run here by hand,
// stage by stage: counters (stage 0), then straight to the command (stage 3).
TEST_F(OwnershipStack, KeyedStageRestoresThePipeTimeOutsOnEveryPath) {
    prepare(40, 0, 1);
    uint32_t status = 0;
    TcsHandle sensor = startAndOpen(&status);
    ASSERT_NE(sensor, 0u);
    const simusb::SensorId id = id_;
    PalSensorHandle* pipe = deviceOf(sensor)->platformHandle;
    uint32_t readMs = 0, writeMs = 0;
    ASSERT_EQ(palSensorGetPipeTimeouts(pipe, &readMs, &writeMs), TCS_RESULT_OK);
    ASSERT_NE(readMs, 90000u);

    struct Case {
        const char* what;
        uint16_t replyStatus;  // 0: the sensor's own answer
    };
    for (const Case& c : {Case{"command refused", 0x0404}, Case{"command answered", 0}}) {
        SCOPED_TRACE(c.what);
        if (c.replyStatus != 0) {
            const uint16_t code = c.replyStatus;
            simusb::setCommandHook(0x2C, [code](std::span<const uint8_t>) { return simusb::Reply{code, {}}; });
        }
        Completion done;
        WorkList* list = &stack_->workList;
        // Holding the (recursive) list lock keeps the service thread off the item while it is taken.
        palCriticalSectionAcquire(list->listLock);
        ASSERT_EQ(tcsSensorSetOwnerWithKeysAsync(sensor, nullptr, nullptr, nullptr, nullptr, nullptr, recordCompletion,
                                                 &done),
                  TCS_RESULT_OK);
        WorkItem* item = nullptr;
        for (PalListEntry* e = list->links.next; e != &list->links; e = e->next) {
            if (PAL_WORK_ITEM_FROM_LINKS(e)->type == TCS_ITEM_SET_OWNERSHIP) item = PAL_WORK_ITEM_FROM_LINKS(e);
        }
        ASSERT_NE(item, nullptr);
        palListRemove(&item->links);
        palCriticalSectionRelease(list->listLock);

        EXPECT_EQ(tcsWITSetOwnership(item), TCS_RESULT_OK) << "counters";
        *tcsItemStep(item) = 3;
        simusb::clearCommandLog(id);
        const TcsResult taken = tcsWITSetOwnership(item);
        EXPECT_TRUE(sent(id, 0x2C));
        if (c.replyStatus != 0) {
            EXPECT_EQ(taken, 370u);
        }
        uint32_t readAfter = 0, writeAfter = 0;
        ASSERT_EQ(palSensorGetPipeTimeouts(pipe, &readAfter, &writeAfter), TCS_RESULT_OK);
        EXPECT_EQ(readAfter, readMs);
        EXPECT_EQ(writeAfter, writeMs);
        for (int i = 0; i < 8 && *tcsItemState(item) != TCS_ITEM_DONE; ++i) tcsWITSetOwnership(item);
        EXPECT_EQ(done.calls, 1);
        palWorkItemDestroy(item);
        simusb::setCommandHook(0x2C, nullptr);
    }
    close(sensor);
}

}  // namespace
