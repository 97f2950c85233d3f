// The diagnostic layer over the whole stack and the virtual sensor: start-up with one client, the
// sensor opened by its id string, a representative call of each family, bad handles, and a clean
// shut-down.
#include "platform/crypto/crypto.h"
#include "platform/test_seams.h"
#include "platform/usb_test_seams.h"
#include "sim/usb/firmware.h"
#include "sim/usb/sim_usb.h"
#include "tcs/core.h"
#include "tcs/handle_map.h"
#include "tcs/sensorctl/calibration/cal_results.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tcs/sensorctl/protocol/print_defaults.h"
#include "tcs/sensorctl/protocol/tag_records.h"
#include "tests/tcs/sim_version.h"
#include "tools/sensor/cli/sensor_tool.h"
#include "tools/sensor/diag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Skip LOCK: a locked sensor refuses the ownership changes these tests make. Calibration is on.
constexpr uint32_t kStartFlags = 0x00100000u;

struct Ready {
    std::mutex lock;
    std::vector<std::string> ids;
};

TcsResult recordReady(void*, void* context, EventRecord* event) {
    if (event->id != TCS_SYSTEM_EVENT_SENSOR_READY || event->data == nullptr) return TCS_RESULT_OK;
    auto* ready = static_cast<Ready*>(context);
    std::lock_guard<std::mutex> hold(ready->lock);
    ready->ids.emplace_back(static_cast<const char*>(event->data));
    return TCS_RESULT_OK;
}

// A 4.<minor> sensor whose patch revision byte reads 0x2A.
Bytes version(uint8_t minor) {
    Bytes v = simVersionRecord(minor, 1, 0);
    v[15] = 0x2A;
    return v;
}

bool waitFor(const std::function<bool()>& condition, int ms = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class DiagStack : public ::testing::Test {
protected:
    void SetUp() override {
        simusb::resetAll();
        palTestSetUsbPollInterval(5);
        palTestSetUsbWorkerStopTimeout(0);
        base_ = ::testing::TempDir() + "/diag_stack_" + std::to_string(getpid());
        settings_ = base_ + "_settings";
        stateDir_ = base_ + "_state";
        ASSERT_EQ(std::system(("rm -rf " + stateDir_ + " && mkdir -p " + stateDir_).c_str()), 0);
        palTestSetSettingsPath(settings_.c_str());
        simusb::setStateDirectory(stateDir_);

        simusb::Firmware firmware(spec_.serial, spec_.productId, spec_.variant);
        firmware.stored("version") = version(40);
        firmware.storedChanged();
        ASSERT_TRUE(firmware.save(stateDir_));

        const uint32_t values[3] = {0, 0, 0};
        // Bit 0 (no service thread) is asked for and overruled: the tool always has the thread.
        ASSERT_EQ(tcsTestInitialize(&context_, kStartFlags | 1u, values, recordReady, &ready_), TCS_RESULT_OK);
        ASSERT_NE(context_, nullptr);
        id_ = simusb::plug(spec_);
        ASSERT_NE(id_, 0);
        ASSERT_TRUE(waitFor([&] {
            std::lock_guard<std::mutex> hold(ready_.lock);
            return !ready_.ids.empty();
        }));
        {
            std::lock_guard<std::mutex> hold(ready_.lock);
            name_ = ready_.ids.back();
        }
        ASSERT_EQ(tcsTestSensorOpen(context_, &sensor_, name_.c_str(), nullptr, nullptr), TCS_RESULT_OK);
        ASSERT_NE(sensor_, 0u);
    }

    void TearDown() override {
        if (sensor_ != 0) {
            EXPECT_EQ(tcsTestSensorClose(sensor_, nullptr, nullptr), TCS_RESULT_OK);
        }
        if (context_ != nullptr) {
            EXPECT_EQ(tcsTestUninitialize(context_, recordReady, &ready_), TCS_RESULT_OK);
        }
        if (id_ != 0) simusb::unplug(id_);
        simusb::resetAll();
        palTestSetUsbPollInterval(0);
        palTestSetSettingsPath(nullptr);
        std::remove(settings_.c_str());
        std::system(("rm -rf " + stateDir_).c_str());
    }

    size_t readyCount() {
        std::lock_guard<std::mutex> hold(ready_.lock);
        return ready_.ids.size();
    }

    bool sent(uint8_t code) {
        for (const auto& c : simusb::commandLog(id_)) {
            if (!c.empty() && c[0] == code) return true;
        }
        return false;
    }

    std::string writeFile(const std::string& name, const Bytes& bytes) {
        const std::string path = base_ + "_" + name;
        FILE* file = std::fopen(path.c_str(), "wb");
        EXPECT_NE(file, nullptr);
        if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
        return path;
    }

    // A patch the virtual sensor accepts: {u16 2, u16 256, SHA-256 of the body and padding, body}.
    static Bytes signedPatch(uint32_t patchIds, uint8_t revision, bool damaged) {
        Bytes body = {'T', 'P', 'A', 'T', uint8_t(patchIds), uint8_t(patchIds >> 8), uint8_t(patchIds >> 16),
                      uint8_t(patchIds >> 24), revision, 0x90, 0x91, 0x92};
        Bytes image = {2, 0, 0, 1};
        Bytes signature(256, 0);
        palCryptoDigest(body.data(), uint32_t(body.size()), signature.data(), 0);
        if (damaged) signature[0] ^= 0xFF;
        image.insert(image.end(), signature.begin(), signature.end());
        image.insert(image.end(), body.begin(), body.end());
        return image;
    }

    std::string base_, settings_, stateDir_, name_;
    simusb::SensorSpec spec_{"DIAG0001"};
    simusb::SensorId id_ = 0;
    TcsTestContext* context_ = nullptr;
    TcsHandle sensor_ = 0;
    Ready ready_;
};

TEST_F(DiagStack, FrameQueries) {
    EXPECT_NE(context_->stack->thread, 0u) << "a service thread despite start flag bit 0";
    EXPECT_EQ(context_->stack->flags & 0x08000001u, 0x08000000u);
    TcsHandle client = 0;
    ASSERT_EQ(tcsTestGetClientHandle(context_, &client), TCS_RESULT_OK);
    EXPECT_EQ(client, context_->client);
    EXPECT_EQ(tcsTestGetClientHandle(context_, nullptr), 13u);
    EXPECT_EQ(tcsTestIsSensorInitialized(sensor_), TCS_RESULT_OK);
    EXPECT_EQ(tcsTestSensorOpen(context_, nullptr, name_.c_str(), nullptr, nullptr), 13u);
    TcsHandle other = 0;
    EXPECT_EQ(tcsTestSensorOpen(context_, &other, nullptr, nullptr, nullptr), 40u);
    EXPECT_EQ(tcsTestUninitialize(context_, nullptr, nullptr), 40u);
    char id[260] = {};
    ASSERT_EQ(tcsTestSensorGetId(sensor_, id, sizeof id), TCS_RESULT_OK);
    EXPECT_EQ(std::string(id), name_);
    EXPECT_EQ(tcsTestDisableResetRecovery(context_, 1), TCS_RESULT_OK);
    EXPECT_EQ(tcsTestDisableResetRecovery(context_, 0), TCS_RESULT_OK);
    // A second open with a sensor callback, closed with it again.
    auto callback = [](void*, void*, EventRecord*) -> TcsResult { return TCS_RESULT_OK; };
    int marker = 0;
    ASSERT_EQ(tcsTestSensorOpen(context_, &other, name_.c_str(), callback, &marker), TCS_RESULT_OK);
    EXPECT_NE(other, sensor_);
    EXPECT_EQ(tcsTestSensorClose(other, callback, &marker), TCS_RESULT_OK);
}

TEST_F(DiagStack, VersionStartInfoAndIdentity) {
    char text[80] = {};
    ASSERT_EQ(tcsTestGetVersion(sensor_, text), TCS_RESULT_OK);
    EXPECT_NE(text[0], '\0');
    EXPECT_EQ(tcsTestGetVersion(sensor_, nullptr), 40u);
    TcsTestStartInfo start{9, 9, 9};
    EXPECT_EQ(tcsTestSensorGetStartInfo(sensor_, &start), TCS_RESULT_OK);
    EXPECT_TRUE(sent(0x19));
    uint32_t family = 99;
    EXPECT_EQ(tcsTestSensorGetProductFamily(sensor_, &family), TCS_RESULT_OK);
    EXPECT_LE(family, 2u);
    uint8_t level = 0;
    ASSERT_EQ(tcsTestSensorIsPatched(sensor_, &level), TCS_RESULT_OK);
    uint32_t transport = 0;
    EXPECT_EQ(tcsTestSensorGetTransport(sensor_, &transport), TCS_RESULT_OK);
}

TEST_F(DiagStack, RawCommandAndItsStatus) {
    for (uint16_t status : {uint16_t(0), uint16_t(0x0404)}) {
        SCOPED_TRACE(status);
        simusb::setCommandHook(0x00, [status](std::span<const uint8_t>) { return simusb::Reply{status, {}}; });
        simusb::clearCommandLog(id_);
        EXPECT_EQ(tcsTestNoop(sensor_), status == 0 ? TCS_RESULT_OK : 54u);
        EXPECT_TRUE(sent(0x00));
    }
    simusb::setCommandHook(0x00, nullptr);
    uint8_t command[3] = {0x00, 1, 2};
    uint8_t reply[8] = {};
    uint32_t length = sizeof reply;
    EXPECT_EQ(tcsTestSensorSendCommand(sensor_, nullptr, 1, reply, &length), 40u);
    EXPECT_EQ(tcsTestSensorSendCommand(sensor_, command, 3, reply, nullptr), 40u);
}

TEST_F(DiagStack, PeekAndPoke) {
    simusb::clearCommandLog(id_);
    uint32_t value = 0;
    EXPECT_EQ(tcsTestPoke(sensor_, 0x30042000, 4, 0x1234), TCS_RESULT_OK);
    EXPECT_TRUE(sent(0x08));
    EXPECT_EQ(tcsTestPeek(sensor_, 0x30042000, 4, &value), TCS_RESULT_OK);
    EXPECT_TRUE(sent(0x07));
    EXPECT_EQ(tcsTestPeek(sensor_, 0, 4, nullptr), 40u);
}

TEST_F(DiagStack, SpiAndFlashInformation) {
    uint8_t part[40] = {};
    const TcsResult info = tcsTestGetFlashMemoryInfo(sensor_, part);
    uint64_t capacity = 0;
    const TcsResult size = tcsTestGetFlashCapacity(sensor_, &capacity);
    ASSERT_EQ(info, TCS_RESULT_OK);
    EXPECT_NE(part[0], 0) << "the part's name";
    ASSERT_EQ(size, TCS_RESULT_OK);
    EXPECT_GT(capacity, 0u);
    // A chunked read shorter than one chunk reads nothing and still reports the length asked for.
    uint8_t command[4] = {0x03, 0, 0, 0};
    uint8_t out[300] = {};
    uint32_t length = 0;
    simusb::clearCommandLog(id_);
    EXPECT_EQ(tcsTestSensorSPIBulkRead(sensor_, 0, command, 200, out, &length, 2), TCS_RESULT_OK);
    EXPECT_EQ(length, 200u);
    EXPECT_FALSE(sent(0x0B)) << "nothing to read";
    // 300 bytes: one chunk of 256, the address moved on by it, the length asked for reported.
    EXPECT_EQ(tcsTestSensorSPIBulkRead(sensor_, 0, command, 300, out, &length, 2), TCS_RESULT_OK);
    EXPECT_EQ(length, 300u);
    EXPECT_TRUE(sent(0x0B));
    EXPECT_EQ(command[2], 1) << "address advanced to 0x100";
    EXPECT_EQ(tcsTestSensorSPIBulkRead(sensor_, 0, nullptr, 300, out, &length, 2), 40u);
    uint8_t reply[8] = {};
    EXPECT_EQ(tcsTestSensorSPITrans(sensor_, 4, nullptr, reply), 40u);
}

TEST_F(DiagStack, PatchFileDownloadGoodAndDamaged) {
    const Bytes header = {'F', 'i', 'r', 'm', 'w', 'a', 'r', 'e', 'V', 'e', 'r', 's', 'i', 'o', 'n', ' ', '=', ' ',
                          '4', '.', '*', '.', '*', '.', '*', '\n', 'P', 'h', 'a', 's', 'e', ' ', '=', ' ', '1', 0, 0x1A};
    struct Case {
        const char* what;
        bool damaged;
        bool accepted;
    };
    for (const Case& c : {Case{"good", false, true}, Case{"damaged signature", true, false}}) {
        SCOPED_TRACE(c.what);
        Bytes file = header;
        const Bytes image = signedPatch(1, 3, c.damaged);
        file.insert(file.end(), image.begin(), image.end());
        const std::string path = writeFile("patch.bin", file);
        simusb::clearCommandLog(id_);
        const TcsResult result = tcsTestDownloadPatch(sensor_, path.c_str());
        EXPECT_TRUE(sent(0x06)) << "the patch went to the sensor " << result;
        if (c.accepted) {
            EXPECT_EQ(result, TCS_RESULT_OK);
        } else {
            EXPECT_NE(result, TCS_RESULT_OK);
        }
        std::remove(path.c_str());
    }
    EXPECT_EQ(tcsTestDownloadPatch(sensor_, (base_ + "_missing").c_str()), 207u);
    // The switch is back as it was after each download; while it is set, patch commands stay home.
    uint32_t old = 7;
    ASSERT_EQ(tcsTestDisablePatchManagement(sensor_, 1, &old), TCS_RESULT_OK);
    EXPECT_EQ(old, 0u);
    Bytes file = header;
    const Bytes image = signedPatch(1, 3, false);
    file.insert(file.end(), image.begin(), image.end());
    const std::string path = writeFile("patch.bin", file);
    simusb::clearCommandLog(id_);
    EXPECT_EQ(tcsTestDoPatch_V4(sensor_, path.c_str(), 1, 0), TCS_RESULT_OK);
    EXPECT_FALSE(sent(0x06));
    ASSERT_EQ(tcsTestDisablePatchManagement(sensor_, 0, &old), TCS_RESULT_OK);
    EXPECT_EQ(old, 1u);
    std::remove(path.c_str());
}

TEST_F(DiagStack, CommandBlobOfAPatchFile) {
    const Bytes file = {'x', 0, 0x1A, 5, 6, 7};
    const std::string path = writeFile("blob.bin", file);
    // Reading the version caches the record the blob's signing rule needs.
    char text[80] = {};
    ASSERT_EQ(tcsTestGetVersion(sensor_, text), TCS_RESULT_OK);
    uint8_t* blob = nullptr;
    uint16_t length = 0;
    ASSERT_EQ(tcsTestCreatePatchCmd_V4(sensor_, path.c_str(), &blob, &length), TCS_RESULT_OK);
    // A header without the version key is not a header: the whole file follows the command byte.
    EXPECT_EQ(Bytes(blob, blob + length), (Bytes{6, 'x', 0, 0x1A, 5, 6, 7}));
    palRealFree(blob);
    EXPECT_EQ(tcsTestCreatePatchCmd_V4(sensor_, (base_ + "_missing").c_str(), &blob, &length), 219u);
    EXPECT_EQ(tcsTestCreatePatchCmd_V4(0, path.c_str(), &blob, &length), 14u);
    EXPECT_EQ(tcsTestCreatePatchCmd_V4(sensor_, path.c_str(), nullptr, &length), 40u);
    std::remove(path.c_str());
}

TEST_F(DiagStack, ResetAndWait) {
    // An id that matches no ready sensor: nothing is sent.
    simusb::clearCommandLog(id_);
    EXPECT_EQ(tcsTestResetAndWait(context_, "usb#no-such-sensor"), TCS_RESULT_OK);
    EXPECT_FALSE(sent(0x05));
    EXPECT_EQ(tcsTestResetAndWait(context_, nullptr), 40u);
    // The sensor resets, leaves the bus and comes back ready: the wait ends with it.
    const size_t before = readyCount();
    EXPECT_EQ(tcsTestResetAndWait(context_, name_.c_str()), TCS_RESULT_OK);
    EXPECT_GT(readyCount(), before) << "back and ready";
}

TEST_F(DiagStack, ResetEventsHandlerWaitsForRemovalThenReady) {
    TcsTestResetWait wait{};
    wait.status = 99;
    wait.event = palEventAlloc(0, 0, nullptr);
    EventRecord ready{TCS_SYSTEM_EVENT_SENSOR_READY, 0, 0, nullptr};
    EventRecord removed{TCS_SYSTEM_EVENT_SENSOR_REMOVED, 0, 0, nullptr};
    EXPECT_EQ(tcsTestResetEventsHandler(nullptr, &wait, &ready), TCS_RESULT_OK);
    EXPECT_EQ(palEventWaitFor(wait.event, 0), 34u) << "ready before a removal does not count";
    tcsTestResetEventsHandler(nullptr, &wait, &removed);
    tcsTestResetEventsHandler(nullptr, &wait, &ready);
    EXPECT_EQ(palEventWaitFor(wait.event, 0), TCS_RESULT_OK);
    EXPECT_EQ(wait.status, 0u);
    palEventFree(wait.event);
}

TEST_F(DiagStack, SecurityState) {
    struct Getter {
        const char* what;
        TcsResult (*call)(TcsHandle, uint32_t*);
    };
    const Getter getters[] = {{"RSA", tcsTestSensorIsRsaSecured},
                              {"AES", tcsTestSensorIsAesSecured},
                              {"secured", tcsTestSensorGetSecurityStatus},
                              {"session", tcsTestIsInSecureSession},
                              {"match on chip", tcsTestIsSelkinMatchOnChip}};
    for (const Getter& g : getters) {
        SCOPED_TRACE(g.what);
        uint32_t value = 77;
        EXPECT_EQ(g.call(sensor_, &value), TCS_RESULT_OK);
        EXPECT_EQ(value, 0u) << "a plain sensor";
        EXPECT_EQ(g.call(sensor_, nullptr), 40u);
        EXPECT_EQ(g.call(0, &value), 14u);
    }
    // Not RSA-secured: accepted without a check and without a command.
    uint8_t certificate[16] = {}, signature[256] = {};
    simusb::clearCommandLog(id_);
    EXPECT_EQ(tcsTestSensorValidateCertificate(sensor_, sizeof certificate, certificate, signature), TCS_RESULT_OK);
    EXPECT_TRUE(simusb::commandLog(id_).empty());
    // Not an RSA-capable firmware (4.40 is, but this one is not RSA-secured): no flag changes.
    uint8_t secret[32] = {};
    EXPECT_EQ(tcsTestSecureCommunication(sensor_, secret, 31), 17u);
    EXPECT_EQ(tcsTestSecureCommunication(sensor_, nullptr, 32), 17u);
}

TEST_F(DiagStack, CalibrationAndLedQueries) {
    uint64_t results = 0;
    EXPECT_EQ(tcsTestSensorGetCalibrationResultsHandle(sensor_, &results), TCS_RESULT_OK);
    uint32_t size = 0;
    const TcsResult calData = tcsTestGetCalData(sensor_, nullptr, &size);
    EXPECT_TRUE(calData == TCS_RESULT_OK || (results == 0 && calData == 40u)) << calData;
    EXPECT_EQ(tcsTestGetCalData(sensor_, nullptr, nullptr), 40u);
    TcsTestLedPattern pattern{0, 32, 100, 1, {0, 0, 0}};
    EXPECT_EQ(tcsTestSensorLEDConfig(sensor_, 26, &pattern), TCS_RESULT_OK);
    EXPECT_EQ(tcsTestSensorLEDConfig(sensor_, 26, nullptr), 40u);
    EXPECT_EQ(tcsTestSensorLEDSwipeAcceptAndReject(sensor_, 0), TCS_RESULT_OK);
    EXPECT_EQ(tcsTestSensorLEDIdle(sensor_), TCS_RESULT_OK);
    uint32_t timeout = 0;
    EXPECT_EQ(tcsTestSetSelectiveSuspendTimeout(sensor_, 700), TCS_RESULT_OK);
    EXPECT_EQ(tcsTestGetSelectiveSuspendTimeout(sensor_, &timeout), TCS_RESULT_OK);
    EXPECT_EQ(timeout, 700u);
    uint8_t finger = 0x55;
    EXPECT_EQ(tcsTestSensorGetFingerState(sensor_, &finger), TCS_RESULT_OK);
    EXPECT_EQ(finger, 0x55) << "no finger: left as it was";
}

TEST_F(DiagStack, PrintConfigurationFile) {
    Bytes file;
    const std::string textPart =
        "FirmwareVersion = 4.40.1.2\nflexid = 7 // any case\nFlexIDx = 9\nSOClock=48\nLineLength = 200 // comment\n"
        "Unknown = 5\n";
    file.assign(textPart.begin(), textPart.end());
    file.push_back(0x1A);
    file.insert(file.end(), {5, 0, 2, 0, 0xAB, 0xCD});
    const std::string path = writeFile("config.txt", file);
    PrintConfiguration* config = nullptr;
    ASSERT_EQ(tcsTestLoadPrintConfigFromFile(sensor_, path.c_str(), &config), TCS_RESULT_OK);
    ASSERT_NE(config, nullptr);
    struct Field {
        uint32_t index, value;
    };
    // The later "FlexIDx" line also begins with the name and so wins.
    for (const Field& f : {Field{0, 4}, Field{1, 40}, Field{2, 1}, Field{3, 2}, Field{4, 9}, Field{5, 48},
                           Field{8, 200}}) {
        uint32_t value = 0;
        ASSERT_EQ(tcsTestGetUint32DataFromPrintConfig(sensor_, config, f.index, &value), TCS_RESULT_OK);
        EXPECT_EQ(value, f.value) << f.index;
    }
    const uint8_t* blob = nullptr;
    uint32_t blobLength = 0;
    ASSERT_EQ(tcsTestGetPrintParamBlobFromPrintConfig(sensor_, config, &blob, &blobLength), TCS_RESULT_OK);
    EXPECT_EQ(Bytes(blob, blob + blobLength), (Bytes{5, 0, 2, 0, 0xAB, 0xCD}));
    uint32_t value = 0;
    EXPECT_EQ(tcsTestGetUint32DataFromPrintConfig(sensor_, config, 13, &value), 17u);
    EXPECT_EQ(tcsTestSetUint32DataToPrintConfig(sensor_, nullptr, 4, 1), 40u);
    EXPECT_EQ(tcsTestFreePrintConfig(sensor_, &config), TCS_RESULT_OK);
    EXPECT_EQ(tcsTestLoadPrintConfigFromFile(sensor_, (base_ + "_missing").c_str(), &config), 207u);
    std::remove(path.c_str());

    // Without a file: the default line length, version parts 255.
    ASSERT_EQ(tcsTestLoadPrintConfigFromFile(sensor_, nullptr, &config), TCS_RESULT_OK);
    uint16_t defaultLength = 0;
    ASSERT_EQ(tcsTestGetPreconfScanlineLength(sensor_, &defaultLength), TCS_RESULT_OK);
    ASSERT_EQ(tcsTestGetUint32DataFromPrintConfig(sensor_, config, 8, &value), TCS_RESULT_OK);
    EXPECT_EQ(value, defaultLength);
    ASSERT_EQ(tcsTestGetUint32DataFromPrintConfig(sensor_, config, 0, &value), TCS_RESULT_OK);
    EXPECT_EQ(value, 255u);
    EXPECT_EQ(tcsTestFreePrintConfig(sensor_, &config), TCS_RESULT_OK);
}

TEST_F(DiagStack, ConfigurationDataRecord) {
    char text[80] = {};
    ASSERT_EQ(tcsTestGetVersion(sensor_, text), TCS_RESULT_OK);
    ScsPrintConfigurationData* record = nullptr;
    ASSERT_EQ(tcsTestSensorGetConfigData(sensor_, &record), TCS_RESULT_OK);
    ASSERT_NE(record, nullptr);
    uint32_t value = 0;
    ASSERT_EQ(tcsTestGetUint32DataFromConfigData(record, 8, &value), TCS_RESULT_OK);
    EXPECT_EQ(value, 40u) << "minor version";
    const uint8_t* serial = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(tcsTestGetBlobDataFromConfigData(record, 0, &serial, &length), TCS_RESULT_OK);
    ASSERT_EQ(length, 6u);
    EXPECT_EQ(std::memcmp(serial, "012345", 6), 0);
    EXPECT_EQ(tcsTestSensorFreeConfigData(&record), TCS_RESULT_OK);
    EXPECT_EQ(record, nullptr);
}

TEST_F(DiagStack, UnknownHandleDoesNothing) {
    const TcsHandle unknown = sensor_ + 1000;
    simusb::clearCommandLog(id_);
    uint32_t value = 0;
    char text[80] = {};
    uint32_t* array = nullptr;
    ScsHarlokData data{};
    PrintConfiguration* config = nullptr;
    uint8_t* command = nullptr;
    uint16_t length = 0;
    struct Case {
        const char* what;
        TcsResult result;
    };
    const Case cases[] = {
        {"version", tcsTestGetVersion(unknown, text)},
        {"peek", tcsTestPeek(unknown, 0, 4, &value)},
        {"poke", tcsTestPoke(unknown, 0, 4, 1)},
        {"reset", tcsTestReset(unknown, 0)},
        {"noop", tcsTestNoop(unknown)},
        {"initialised", tcsTestIsSensorInitialized(unknown)},
        {"RSA", tcsTestSensorIsRsaSecured(unknown, &value)},
        {"unload patch", tcsTestSensorUnloadPatch(unknown)},
        {"WOE enter", tcsTestWOEEnter(unknown, 1)},
        {"resume", tcsTestResumeSelectiveSuspend(unknown)},
        {"session key", tcsTestRSEstablishSessionKey(unknown)},
        {"streaming", tcsTestStartRawStreaming(unknown, 1, nullptr, nullptr, nullptr)},
        {"calibration results", tcsTestGetCalStatusResults(unknown, &array, &value, &value, &value)},
        {"device record", tcsTestSensorGetHarlokConfigData(unknown, &data)},
        {"built-in configuration", tcsTestGetPrintConfig(unknown, 1, 2, 3, 4, &config)},
        {"patch command", tcsTestCreatePatchCmd(unknown, "x", &command, &length)},
    };
    for (const Case& c : cases) EXPECT_EQ(c.result, TCS_RESULT_OK) << c.what;
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(config, nullptr);
    EXPECT_EQ(command, nullptr);
    EXPECT_TRUE(simusb::commandLog(id_).empty()) << "nothing sent";
}

}  // namespace

namespace {

// The virtual sensor's flex module has no reconstructor, so image acquisition refuses the capture
// before it starts: the refusal comes back as it is, with no image and nothing left queued.
TEST_F(DiagStack, RefusedCaptureHandsOutNoImage) {
    TcsHandle image = 77;
    const TcsResult result = tcsTestSensorGetFingerprint(sensor_, &image, nullptr, nullptr, 0, 150);
    EXPECT_NE(result, TCS_RESULT_OK);
    EXPECT_EQ(image, 0u);
    char text[80] = {};
    EXPECT_EQ(tcsTestGetVersion(sensor_, text), TCS_RESULT_OK) << "the sensor is usable afterwards";
    EXPECT_EQ(tcsTestGetPrintByConfig(0, &image, nullptr, nullptr, 0, 10), 14u);
    EXPECT_EQ(tcsTestGetPrintByConfig(sensor_, nullptr, nullptr, nullptr, 0, 10), 13u);
    EXPECT_EQ(tcsTestGetPrintByConfigAsync(sensor_, nullptr, nullptr, 0, nullptr, nullptr), 40u);
}

TEST_F(DiagStack, CaptureFileWithTheSensorsConfiguration) {
    const std::string path = base_ + "_capture";
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(tcsTestSaveDataToQcf(sensor_, path.c_str(), 0, data), 40u);
    EXPECT_EQ(tcsTestSaveDataToQcf(sensor_, nullptr, 4, data), 40u);
    ASSERT_EQ(tcsTestSaveDataToQcf(sensor_, path.c_str(), sizeof data, data), TCS_RESULT_OK);
    FILE* file = std::fopen((path + ".qcf").c_str(), "rb");
    ASSERT_NE(file, nullptr) << "the extension is added";
    std::fseek(file, 0, SEEK_END);
    EXPECT_GT(std::ftell(file), long(sizeof data));
    std::fclose(file);
    std::remove((path + ".qcf").c_str());
}

}  // namespace

namespace {

// The test-patch bracket with a patch file: the file's patch goes first, then the command, then
// the run-time patch comes back whatever the command answered.
TEST_F(DiagStack, OtpReadInsideTheTestPatchBracket) {
    const std::string header = "FirmwareVersion = 4.40.*.*\nPhase = 10\n";
    Bytes file(header.begin(), header.end());
    file.insert(file.end(), {0x00, 0x1A});
    const Bytes image = signedPatch(0x10, 4, false);
    file.insert(file.end(), image.begin(), image.end());
    const std::string path = writeFile("otp_patch.bin", file);
    struct Case {
        uint16_t status;
        TcsResult result;
    };
    for (const Case& c : {Case{0, TCS_RESULT_OK}, Case{0x0404, 54}}) {
        SCOPED_TRACE(c.status);
        Bytes payload(128);
        for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 3);
        simusb::setCommandHook(0x22, [c, payload](std::span<const uint8_t>) {
            return simusb::Reply{c.status, c.status == 0 ? payload : Bytes(128, 0)};
        });
        simusb::clearCommandLog(id_);
        uint8_t otp[128] = {};
        EXPECT_EQ(tcsTestSensorOtpRead(sensor_, otp, path.c_str()), c.result);
        const auto log = simusb::commandLog(id_);
        // The file's patch, the command, then the run-time patch again.
        std::vector<uint8_t> codes;
        for (const auto& command : log) codes.push_back(command.empty() ? 0 : command[0]);
        const auto first = std::find(codes.begin(), codes.end(), uint8_t(0x06));
        const auto otpAt = std::find(codes.begin(), codes.end(), uint8_t(0x22));
        ASSERT_NE(first, codes.end());
        ASSERT_NE(otpAt, codes.end());
        EXPECT_LT(first, otpAt);
        EXPECT_NE(std::find(otpAt, codes.end(), uint8_t(0x06)), codes.end()) << "run-time patch restored";
        if (c.status == 0) {
            EXPECT_EQ(Bytes(otp, otp + 128), payload);
        }
    }
    simusb::setCommandHook(0x22, nullptr);
    uint8_t otp[128];
    EXPECT_EQ(tcsTestSensorOtpRead(sensor_, nullptr, path.c_str()), 40u);
    EXPECT_EQ(tcsTestSensorOtpReadEx(sensor_, 2, 1, otp, nullptr), 44u);
    uint8_t data[2048] = {};
    EXPECT_EQ(tcsTestSensorOtpWriteEx(sensor_, 0, 1, 11, data, nullptr, nullptr, nullptr, nullptr, nullptr), 44u);
    EXPECT_EQ(tcsTestSensorProvision(sensor_, 51, otp, nullptr), 17u);
    std::remove(path.c_str());
}

// The protocol-gated calls run on this stack's sensors, whose protocol sensor control reports as 4.
TEST_F(DiagStack, ProtocolGatedCalls) {
    uint8_t protocol = 0;
    ASSERT_EQ(tcsTestGetCmdProtocolVersion(sensor_, &protocol), TCS_RESULT_OK);
    ASSERT_EQ(protocol, 4u);
    simusb::clearCommandLog(id_);
    EXPECT_EQ(tcsTestSensorUnloadPatch(sensor_), TCS_RESULT_OK);
    EXPECT_TRUE(sent(0x1A)) << "the unload went out: patch management was off for it";
    uint32_t flexId = 77, soClock = 77;
    EXPECT_EQ(tcsTestSensorGetDefaultConfigParams(sensor_, &flexId, &soClock, nullptr, nullptr), TCS_RESULT_OK);
    // The switch is back as it was.
    uint32_t old = 9;
    ASSERT_EQ(tcsTestDisablePatchManagement(sensor_, 0, &old), TCS_RESULT_OK);
    EXPECT_EQ(old, 0u);
}

// A sensor that is not secured refuses an ownership reset, and is reset all the same.
TEST_F(DiagStack, OwnershipResetOfAPlainSensorIsRefused) {
    simusb::clearCommandLog(id_);
    const size_t readyBefore = readyCount();
    EXPECT_EQ(tcsTestSensorResetOwner(sensor_, nullptr), 370u);
    EXPECT_TRUE(sent(0x05));
    EXPECT_EQ(tcsTestSensorResetOwner(0, nullptr), 14u);
    // The refusal still resets the sensor: let it come back before the stack is taken down.
    EXPECT_TRUE(waitFor([&] { return readyCount() > readyBefore; }));
}

}  // namespace

namespace {

// A print signature of any kind but RSA is the device's cached signature of the last print, as the
// sensor repeats it: the first 32 bytes must match.
TEST_F(DiagStack, PrintSignatureCompareOfTheNonRsaKind) {
    void* record = nullptr;
    tcsSafeSensorHandleFetch(sensor_, &record);
    ASSERT_NE(record, nullptr);
    ScsSensorDevice* device = static_cast<SensorRecord*>(record)->sensorControlSensor->device;
    for (uint8_t i = 0; i < 32; ++i) device->lastFingerprintSignature[i] = uint8_t(0x40 + i);
    struct Case {
        const char* what;
        uint8_t flip;
        TcsResult result;
    };
    for (const Case& c : {Case{"same", 0, TCS_RESULT_OK}, Case{"one bit off", 1, 82}}) {
        SCOPED_TRACE(c.what);
        Bytes payload = {0, 0};
        for (uint8_t i = 0; i < 32; ++i) payload.push_back(uint8_t(0x40 + i));
        payload[2 + 31] ^= c.flip;
        simusb::setCommandHook(0x03, [payload](std::span<const uint8_t>) { return simusb::Reply{0, payload}; });
        EXPECT_EQ(tcsTestSensorVerifyFpSignature(sensor_), c.result);
    }
    simusb::setCommandHook(0x03, nullptr);
    EXPECT_EQ(tcsTestSensorVerifyFpSignature(0), 14u);
}

}  // namespace

namespace {

// The USB transport handles neither control request: both fail at once (never waiting for a
// completion that cannot come), or are refused up front on transport kind 1.
TEST_F(DiagStack, TransportControlRequestsFailAtOnce) {
    uint32_t kind = 0;
    ASSERT_EQ(tcsTestSensorGetTransport(sensor_, &kind), TCS_RESULT_OK);
    const TcsResult expected = kind == 1 ? TCS_RESULT_NOT_IMPLEMENTED : TCS_RESULT_SENSOR_SEND_FAILED;
    EXPECT_EQ(tcsTestSetDriverBaudRate(sensor_, 115200), expected);
    uint16_t a = 0;
    uint32_t b = 0, c = 5;
    EXPECT_EQ(tcsTestSendDriverIOCTL(sensor_, 0x10, &a, &b, &c), expected);
    EXPECT_EQ(c, 5u) << "untouched on failure";
    EXPECT_EQ(tcsTestSetDriverBaudRate(sensor_, 0), 40u);
    EXPECT_EQ(tcsTestSendDriverIOCTL(sensor_, 0x10, nullptr, &b, &c), 40u);
}

// A test-patch kind that the built-in list lacks is no error: nothing is loaded and the flag says so.
TEST_F(DiagStack, TestPatchKindWithoutARow) {
    uint32_t family = 0;
    ASSERT_EQ(tcsTestSensorGetProductFamily(sensor_, &family), TCS_RESULT_OK);
    uint32_t loaded = 9;
    simusb::clearCommandLog(id_);
    const TcsResult result = tcsTestSensorLoadPatch(sensor_, 0x40000000, 0, &loaded);
    if (family == 1 || family == 2) {
        EXPECT_EQ(result, TCS_RESULT_OK);
        EXPECT_EQ(loaded, 0u);
        EXPECT_FALSE(sent(0x06));
    } else {
        EXPECT_EQ(result, 17u) << "only the two families with test patches";
    }
}

}  // namespace

namespace {

// A request of no lines still goes to image acquisition (with an empty buffer) and ends with the
// status its callback reports; the caller's elements are not touched.
TEST_F(DiagStack, RawScanLinesOfNoLines) {
    TcsTestRawLine lines[1];
    std::memset(lines, 0xEE, sizeof lines);
    const auto start = Clock::now();
    tcsTestGetRawScanlines(sensor_, 0, lines, 0, nullptr, 3);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(lines[0].length, 0xEEEEEEEEu);
    EXPECT_EQ(tcsTestGetRawScanlines(sensor_, 1, nullptr, 0, nullptr, 0), 40u);
    EXPECT_EQ(tcsTestGetRawScanlines(0, 1, lines, 0, nullptr, 0), 14u);
}

}  // namespace

namespace {

// A raw bulk transfer whose command the sensor refuses ends at once with 54, its buffer cancelled.
TEST_F(DiagStack, BulkTransferRefusedByTheSensor) {
    simusb::setCommandHook(0x77, [](std::span<const uint8_t>) { return simusb::Reply{0x0404, {}}; });
    const uint8_t command[2] = {0x77, 1};
    uint8_t reply[8] = {};
    uint32_t replyLength = sizeof reply;
    uint8_t data[256] = {};
    uint32_t count = 99;
    const auto start = Clock::now();
    EXPECT_EQ(tcsTestGetPrintBulk(sensor_, command, sizeof command, 10000, reply, &replyLength, data, sizeof data,
                                  &count),
              54u);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << "no wait for data after a refusal";
    EXPECT_EQ(count, 99u);
    simusb::setCommandHook(0x77, nullptr);
    EXPECT_EQ(tcsTestGetPrintBulk(sensor_, command, sizeof command, 10, reply, &replyLength, nullptr, 4, &count), 40u);
    // The sensor still answers afterwards.
    char text[80] = {};
    EXPECT_EQ(tcsTestGetVersion(sensor_, text), TCS_RESULT_OK);
}

}  // namespace

namespace {

// The configuration read-out: the get-print command's configuration reply, handed to the caller.
TEST_F(DiagStack, ConfigurationReadOut) {
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    simusb::clearCommandLog(id_);
    ASSERT_EQ(tcsTestSensorGetConfiguration(sensor_, &buffer, &length), TCS_RESULT_OK);
    EXPECT_TRUE(sent(0x02)) << "a get-print command";
    EXPECT_GT(length, 0u);
    EXPECT_NE(buffer, nullptr);
    EXPECT_EQ(tcsTestSensorFreeConfiguration(buffer), TCS_RESULT_OK);
    EXPECT_EQ(tcsTestSensorGetConfiguration(sensor_, nullptr, &length), 40u);
}

}  // namespace

namespace {

// Calibration starts from an unloaded patch, and its data can be read afterwards, whole or cut to
// the caller's room.
TEST_F(DiagStack, CalibrateThenReadTheCalibrationData) {
    simusb::clearCommandLog(id_);
    ASSERT_EQ(tcsTestCalibrate(sensor_, 1), TCS_RESULT_OK);
    const auto log = simusb::commandLog(id_);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().at(0), 0x1A) << "the patch is unloaded first";
    EXPECT_TRUE(sent(0x02)) << "calibration captures";
    uint32_t size = 0;
    ASSERT_EQ(tcsTestGetCalData(sensor_, nullptr, &size), TCS_RESULT_OK);
    if (size > 1) {
        Bytes whole(size), cut(size - 1);
        uint32_t wholeSize = size, cutSize = size - 1;
        ASSERT_EQ(tcsTestGetCalData(sensor_, whole.data(), &wholeSize), TCS_RESULT_OK);
        EXPECT_EQ(wholeSize, size);
        ASSERT_EQ(tcsTestGetCalData(sensor_, cut.data(), &cutSize), TCS_RESULT_OK);
        EXPECT_EQ(cutSize, size - 1);
        EXPECT_TRUE(std::equal(cut.begin(), cut.end(), whole.begin()));
    }
    EXPECT_EQ(tcsTestCalibrate(0, 1), 14u);
}

}  // namespace

namespace {

// An encrypted SPI transfer carries the encryption record only on an AES-secured sensor: IV of
// four copies of command bytes 1-4, payload length cut to whole blocks, header length, write flag.
TEST_F(DiagStack, EncryptedSpiTransferRecord) {
    void* record = nullptr;
    tcsSafeSensorHandleFetch(sensor_, &record);
    ASSERT_NE(record, nullptr);
    ScsSensorDevice* device = static_cast<SensorRecord*>(record)->sensorControlSensor->device;
    Bytes command(40, 0);
    command[0] = 0x02;  // page program
    command[1] = 0x01, command[2] = 0x02, command[3] = 0x03, command[4] = 0x04;
    Bytes reply(40);
    struct Case {
        const char* what;
        uint32_t aes;
        Bytes iv;
        uint8_t flag, header;
        uint16_t payload;
    };
    Bytes copies;
    for (int i = 0; i < 4; ++i) copies.insert(copies.end(), {1, 2, 3, 4});
    for (const Case& c : {Case{"plain sensor", 0, Bytes(16, 0), 0, 0, 0}, Case{"AES-secured", 1, copies, 1, 4, 32}}) {
        SCOPED_TRACE(c.what);
        device->aesSecured = c.aes;
        simusb::clearCommandLog(id_);
        tcsTestSensorSPITransEnc(sensor_, uint16_t(command.size()), command.data(), reply.data());
        device->aesSecured = 0;
        const auto log = simusb::commandLog(id_);
        auto spi = std::find_if(log.begin(), log.end(), [](const Bytes& r) { return !r.empty() && r[0] == 0x0B; });
        ASSERT_NE(spi, log.end());
        ASSERT_GE(spi->size(), 35u);
        EXPECT_EQ(Bytes(spi->begin() + 1, spi->begin() + 17), c.iv);
        EXPECT_EQ((*spi)[17] | (*spi)[18] << 8, c.payload) << "40 - 4 header bytes, whole blocks";
        EXPECT_EQ((*spi)[25] | (*spi)[26] << 8, c.header);
        EXPECT_EQ((*spi)[27], c.flag);
    }
}

}  // namespace

namespace {

// The engineering commands that no tool command reaches, each once against the virtual sensor:
// the test patch is loaded for the command, the command answered, and the run-time patch back.
TEST_F(DiagStack, TestPatchCommandsNoHandlerReaches) {
    simusb::setStoredState(id_, "gpioSpecial", {0x5A, 0, 0, 0});
    simusb::setStoredState(id_, "eccReport", {3, 0, 1, 0});
    struct Case {
        const char* name;
        std::function<TcsResult()> call;
        TcsResult result;
        int code;  // sent on the way (-1: not looked at)
        std::function<void()> check;
    };
    uint32_t word = 0;
    uint16_t a = 0, b = 0, c = 0, d = 0;
    uint8_t record[64] = {};
    uint8_t secret[32] = {};
    const Bytes programmed(64, 0x81);
    const Case cases[] = {
        {"noop", [&] { return tcsTestNoop(sensor_); }, TCS_RESULT_OK, 0x00, nullptr},
        {"rom checksum", [&] { return tcsTestSensorRomChecksum(sensor_, &word, nullptr); }, TCS_RESULT_OK, 0x21,
         [&] { EXPECT_NE(word, 0u); }},
        {"special gpio", [&] { return tcsTestGetSpecialGPIOState(sensor_, &word); }, TCS_RESULT_OK, 0x3D,
         [&] { EXPECT_EQ(word, 0x5Au); }},
        {"ecc report", [&] { return tcsTestSensorGetEccCorrectionInfo(sensor_, &a, &b); }, TCS_RESULT_OK, 0x30,
         [&] {
             EXPECT_EQ(a, 3u);
             EXPECT_EQ(b, 1u);
         }},
        {"otp write ex", [&] { return tcsTestSensorOtpWriteEx(sensor_, 1, 1, 2, programmed.data(), &a, &b, &c, &d, nullptr); },
         TCS_RESULT_OK, 0x3C,
         [&] {
             EXPECT_EQ(simusb::storedState(id_, "otp.bank1.record"), programmed);
             EXPECT_EQ(c, 64u) << "bytes changed";
         }},
        {"otp read ex", [&] { return tcsTestSensorOtpReadEx(sensor_, 1, 1, record, nullptr); }, TCS_RESULT_OK, 0x3B,
         [&] { EXPECT_EQ(Bytes(record, record + 64), programmed); }},
        {"module test passed", [&] { return tcsTestProgrammDunmoMTPassed(sensor_, nullptr); }, TCS_RESULT_OK, 0x59,
         [&] { EXPECT_EQ(simusb::storedState(id_, "mtPassed"), Bytes{1}); }},
        {"ssk", [&] { return tcsTestProgrammDunmoSSK(sensor_, nullptr); }, TCS_RESULT_OK, 0x55,
         [&] {
             const Bytes area = simusb::storedState(id_, "otp.bank0");
             ASSERT_EQ(area.size(), 2048u);
             uint32_t length = 0;
             EXPECT_EQ(FindDunmoOtpTaggedValue(area.data(), &length, 3), 0) << "the tool finds the SSK";
             EXPECT_EQ(length, 36u);
         }},
        // Programmed once: OTP takes no second SSK.
        {"ssk again", [&] { return tcsTestProgrammDunmoSSK(sensor_, nullptr); }, 54, 0x55, nullptr},
        {"quick ownership reset", [&] { return tcsTestSensorResetOwnerQuick(sensor_); }, TCS_RESULT_OK, 0x34,
         [&] { EXPECT_EQ(simusb::storedState(id_, "ownership"), Bytes{0}); }},
        // Only firmware 4.21 makes a test secret; 4.40 has no key-and-IV test patch.
        {"fake shared secret", [&] { return tcsTestGenFakeSharedSecret(sensor_, secret, 32, nullptr); }, 6, -1, nullptr},
        {"vck iv", [&] { return tcsTestSensorDownloadSetVCK_IV(sensor_, 1, nullptr); }, 77, -1, nullptr},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        simusb::clearCommandLog(id_);
        EXPECT_EQ(k.call(), k.result);
        if (k.code >= 0) {
            EXPECT_TRUE(sent(uint8_t(k.code)));
        }
        if (k.check) k.check();
    }
    // Without the test patch the firmware does not know the commands.
    uint8_t command[1] = {0x21};
    uint8_t reply[6] = {};
    uint32_t length = sizeof reply;
    ASSERT_EQ(tcsTestSensorSendCommand(sensor_, command, 1, reply, &length), TCS_RESULT_OK);
    EXPECT_EQ(reply[0] | reply[1] << 8, 0x0401);
}

// The other operations no tool command reaches, each once: LED events, selective suspend, SPI flash
// by address, the internal patch download and the ESD switch.
TEST_F(DiagStack, OperationsNoHandlerReaches) {
    Bytes flash(1 << 20, 0x00);
    for (size_t i = 0; i < 512; ++i) flash[i] = uint8_t(i * 3);
    simusb::setStoredState(id_, "flash", flash);
    uint8_t read[512] = {};
    struct Case {
        const char* name;
        std::function<TcsResult()> call;
        int code;  // sent on the way (-1: not looked at)
        std::function<void()> check;
    };
    const Case cases[] = {
        {"led ready", [&] { return tcsTestSensorLEDReadyForSwipe(sensor_); }, -1, nullptr},
        {"led accepted", [&] { return tcsTestSensorLEDSwipeAccepted(sensor_); }, -1, nullptr},
        {"led rejected", [&] { return tcsTestSensorLEDSwipeRejected(sensor_); }, -1, nullptr},
        {"suspend off", [&] { return tcsTestDisableSelectiveSuspend(sensor_); }, -1, nullptr},
        {"suspend on", [&] { return tcsTestEnableSelectiveSuspend(sensor_); }, -1, nullptr},
        {"spi read", [&] { return tcsTestSensorSPIRead(sensor_, 0, 512, read); }, -1,
         [&] { EXPECT_TRUE(std::equal(read, read + 512, flash.begin())); }},
        {"sector erase", [&] { return tcsTestSensorSectorErase(sensor_, 0); }, 0x0B,
         [&] {
             const Bytes after = simusb::storedState(id_, "flash");
             ASSERT_GE(after.size(), 0x10000u);
             EXPECT_TRUE(std::all_of(after.begin(), after.begin() + 0x10000, [](uint8_t v) { return v == 0xFF; }));
         }},
        {"internal patch", [&] { return tcsTestDownloadInternalPatch(sensor_, 2, 0); }, 0x06,
         [&] { EXPECT_EQ(simusb::transientState(id_, "patch")[0], 2); }},
        {"esd recovery off", [&] { return tcsTestDisableESDRecovery(context_, 1); }, -1, nullptr},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        simusb::clearCommandLog(id_);
        EXPECT_EQ(k.call(), TCS_RESULT_OK);
        if (k.code >= 0) {
            EXPECT_TRUE(sent(uint8_t(k.code)));
        }
        if (k.check) k.check();
    }
}

}  // namespace

namespace {

// The handle map's own start and end, outside a running stack: objects are found while the map is
// up, and nothing is found once it is gone; ending it twice is no error.
TEST(DiagHandleMap, InitialiseAndUninitialiseForward) {
    EXPECT_EQ(tcsTestSafeHandlesUnInitialize(), TCS_RESULT_OK) << "no map yet";
    ASSERT_EQ(tcsTestSafeHandlesInitialize(), TCS_RESULT_OK);
    int object = 0;
    uint64_t handle = 0;
    ASSERT_EQ(tcsSafeSensorHandleCreate(&object, &handle), TCS_RESULT_OK);
    void* found = nullptr;
    EXPECT_EQ(tcsSafeSensorHandleFetch(handle, &found), TCS_RESULT_OK);
    EXPECT_EQ(found, &object);
    EXPECT_EQ(tcsTestSafeHandlesUnInitialize(), TCS_RESULT_OK);
    found = nullptr;
    EXPECT_EQ(tcsSafeSensorHandleFetch(handle, &found), 54u) << "the map is gone";
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(tcsTestSafeHandlesUnInitialize(), TCS_RESULT_OK);
}

struct SystemEvents {
    std::mutex lock;
    std::vector<uint32_t> ids;
    bool has(uint32_t id) {
        std::lock_guard<std::mutex> hold(lock);
        return std::find(ids.begin(), ids.end(), id) != ids.end();
    }
};

TcsResult recordSystemEvent(void*, void* context, EventRecord* event) {
    auto* events = static_cast<SystemEvents*>(context);
    std::lock_guard<std::mutex> hold(events->lock);
    events->ids.push_back(event->id);
    return TCS_RESULT_OK;
}

// Resuming from selective suspend hands the device back to sensor control's start-up: it is brought
// up again as a recovery (ready again, not a new sensor) and answers on the same handle.
TEST_F(DiagStack, ResumeFromSelectiveSuspendBringsTheSensorUpAgain) {
    ASSERT_EQ(tcsTestEnableSelectiveSuspend(sensor_), TCS_RESULT_OK);
    SystemEvents events;
    ASSERT_EQ(tcsClientEventsAddCallback(context_->client, recordSystemEvent, &events), TCS_RESULT_OK);
    const size_t before = readyCount();
    ASSERT_EQ(tcsTestResumeSelectiveSuspend(sensor_), TCS_RESULT_OK);
    EXPECT_TRUE(waitFor([&] { return events.has(TCS_SYSTEM_EVENT_SENSOR_READY_AGAIN); }));
    EXPECT_EQ(readyCount(), before) << "the same sensor, not a new one";
    EXPECT_EQ(tcsClientEventsRemoveCallback(context_->client, recordSystemEvent, &events), TCS_RESULT_OK);
    char text[80] = {};
    EXPECT_EQ(tcsTestGetVersion(sensor_, text), TCS_RESULT_OK);
    EXPECT_EQ(tcsTestIsSensorInitialized(sensor_), TCS_RESULT_OK);
}

// The device's calibration results, copied for the caller, and its record as the old host kept it.
// The old result form carries a get-print status, which a calibration alone does not store: until
// one is stored the results cannot be given in that form.
TEST_F(DiagStack, CalibrationResultsAndDeviceRecord) {
    ASSERT_EQ(tcsTestCalibrate(sensor_, 1), TCS_RESULT_OK);
    uint32_t* array = nullptr;
    uint32_t count = 0, usesDefaults = 9, status = 9;
    EXPECT_EQ(tcsTestGetCalStatusResults(sensor_, &array, &count, &usesDefaults, &status), 79u);
    EXPECT_EQ(array, nullptr);

    void* record = nullptr;
    tcsSafeSensorHandleFetch(sensor_, &record);
    ASSERT_NE(record, nullptr);
    ScsSensorDevice* device = static_cast<SensorRecord*>(record)->sensorControlSensor->device;
    ASSERT_NE(device->calResults, nullptr);
    ASSERT_EQ(calResultsSetGetPrintStatus(static_cast<CalResultsContainer*>(device->calResults), 0x1234),
              TCS_RESULT_OK);
    ASSERT_EQ(tcsTestGetCalStatusResults(sensor_, &array, &count, &usesDefaults, &status), TCS_RESULT_OK);
    ASSERT_NE(array, nullptr);
    EXPECT_GT(count, 0u);
    EXPECT_EQ(status, 0x1234u);
    ScsHarlokData data{};
    ASSERT_EQ(tcsTestSensorGetHarlokConfigData(sensor_, &data), TCS_RESULT_OK);
    EXPECT_EQ(data.calCount, count);
    EXPECT_TRUE(std::equal(array, array + std::min<uint32_t>(count, 255), data.calWords)) << "the same results";
    EXPECT_EQ(data.calUsesDefaults, usesDefaults);
    EXPECT_EQ(data.calGetPrintStatus, status);
    EXPECT_EQ(tcsTestFreeCalStatusResults(array), TCS_RESULT_OK);
    EXPECT_EQ(tcsTestFreeCalStatusResults(nullptr), TCS_RESULT_OK);
    EXPECT_EQ(data.flexId, device->flexId);
    ASSERT_NE(device->fwVersion, nullptr);
    EXPECT_EQ(std::memcmp(data.version, device->fwVersion, std::min(sizeof data.version, sizeof(ScsFwVersion))), 0);
    EXPECT_EQ(data.configReplyLength, device->configReplyLength);
    if (data.configReplyLength != 0) {
        ASSERT_NE(data.configReply, nullptr);
        EXPECT_NE(data.configReply, device->configReply) << "a copy of the device's reply";
        EXPECT_TRUE(std::equal(data.configReply, data.configReply + data.configReplyLength, device->configReply));
    }
    EXPECT_EQ(tcsTestSensorFreeHarlokConfigData(&data), TCS_RESULT_OK);
    EXPECT_EQ(data.configReply, nullptr);
}

// A built-in configuration found by the device's own settings, its parameter blob replaced.
TEST_F(DiagStack, BuiltInPrintConfigurationAndItsBlob) {
    void* record = nullptr;
    tcsSafeSensorHandleFetch(sensor_, &record);
    ASSERT_NE(record, nullptr);
    uint32_t settings[4] = {};
    ASSERT_EQ(scsSensorGetConfigInfo(static_cast<SensorRecord*>(record)->sensorControlSensor, settings),
              TCS_RESULT_OK);
    PrintConfiguration* config = nullptr;
    ASSERT_EQ(tcsTestGetPrintConfig(sensor_, settings[0], settings[1], settings[2], settings[3], &config),
              TCS_RESULT_OK);
    ASSERT_NE(config, nullptr);
    const uint8_t blob[] = {0x17, 0, 2, 0, 0xAB, 0xCD};
    ASSERT_EQ(tcsTestSetPrintParamBlobToPrintConfig(sensor_, config, blob, sizeof blob), TCS_RESULT_OK);
    const uint8_t* read = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(tcsTestGetPrintParamBlobFromPrintConfig(sensor_, config, &read, &length), TCS_RESULT_OK);
    ASSERT_EQ(length, sizeof blob);
    EXPECT_NE(read, blob) << "a copy";
    EXPECT_TRUE(std::equal(blob, blob + sizeof blob, read));
    EXPECT_EQ(tcsTestSetPrintParamBlobToPrintConfig(sensor_, SCS_PRINT_CONFIG_DEFAULT, blob, sizeof blob), 17u)
        << "the device's default is not the caller's to change";
    EXPECT_EQ(tcsTestFreePrintConfig(sensor_, &config), TCS_RESULT_OK);
    // Settings no built-in configuration has: none found, no error.
    EXPECT_EQ(tcsTestGetPrintConfig(sensor_, 0xFFFF, 1, 1, 1, &config), TCS_RESULT_OK);
    EXPECT_EQ(config, nullptr);
}

// A new session key with the secure chip: the security patch is loaded for the exchange and the
// run-time patch comes back, also when the chip refuses.
TEST_F(DiagStack, SessionKeyExchange) {
    const Bytes runPatch = simusb::transientState(id_, "patch");
    for (uint16_t status : {uint16_t(0), uint16_t(0x0406)}) {
        SCOPED_TRACE(status);
        simusb::setCommandHook(0x28, status == 0 ? simusb::CommandHook()
                                                 : [](std::span<const uint8_t>) { return simusb::Reply{0x0406, {}}; });
        simusb::clearCommandLog(id_);
        const TcsResult result = tcsTestRSEstablishSessionKey(sensor_);
        EXPECT_TRUE(sent(0x28)) << "the key exchange";
        if (status == 0) {
            EXPECT_EQ(result, TCS_RESULT_OK);
        } else {
            EXPECT_NE(result, TCS_RESULT_OK);
        }
        EXPECT_EQ(simusb::transientState(id_, "patch"), runPatch) << "the run-time patch is back";
    }
    simusb::setCommandHook(0x28, nullptr);
}

struct Stream {
    std::mutex lock;
    int buffers = 0;
    int ends = 0;
    TcsResult status = 99;
    Bytes first;  // the first 16 bytes of the first buffer
};

// Raw streaming: the lines go to the caller's callback buffer by buffer until it answers 1, then the
// callback hears the end with no buffer.
TEST_F(DiagStack, RawStreamingToTheCallback) {
    Stream stream;
    auto callback = [](void* buffer, TcsResult status, void* context) -> TcsResult {
        auto* s = static_cast<Stream*>(context);
        std::lock_guard<std::mutex> hold(s->lock);
        if (buffer != nullptr && status == TCS_RESULT_OK) {
            if (s->buffers++ == 0) s->first.assign(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + 16);
            return 1;
        }
        ++s->ends;
        s->status = status;
        return TCS_RESULT_OK;
    };
    uint16_t lineLength = 0;
    ASSERT_EQ(tcsTestGetPreconfScanlineLength(sensor_, &lineLength), TCS_RESULT_OK);
    Bytes lines(8u * lineLength);
    for (size_t i = 0; i < lines.size(); ++i) lines[i] = uint8_t(i * 5);
    simusb::clearCommandLog(id_);
    ASSERT_EQ(tcsTestStartRawStreaming(sensor_, 8, nullptr, callback, &stream), TCS_RESULT_OK);
    // The stream reads until stopped: the lines come when a finger does.
    simusb::pushFingerprintData(id_, lines);
    EXPECT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> hold(stream.lock);
        return stream.ends > 0;
    }));
    std::lock_guard<std::mutex> hold(stream.lock);
    EXPECT_TRUE(sent(0x02));
    EXPECT_EQ(stream.buffers, 1);
    EXPECT_EQ(stream.first, Bytes(lines.begin(), lines.begin() + 16)) << "the swipe's lines";
    EXPECT_EQ(stream.ends, 1);
    EXPECT_EQ(stream.status, TCS_RESULT_OK);
}

// The patch command through the protocol gate: this stack's protocol (reported as 4) passes, a
// sensor that speaks no known protocol gets 6 and no command.
TEST_F(DiagStack, PatchCommandNeedsTheCommandProtocol) {
    const std::string path = writeFile("gate.bin", {'x', 0, 0x1A, 5, 6});
    char text[80] = {};
    ASSERT_EQ(tcsTestGetVersion(sensor_, text), TCS_RESULT_OK);
    uint8_t* blob = nullptr;
    uint16_t length = 0;
    ASSERT_EQ(tcsTestCreatePatchCmd(sensor_, path.c_str(), &blob, &length), TCS_RESULT_OK);
    EXPECT_EQ(Bytes(blob, blob + length), (Bytes{6, 'x', 0, 0x1A, 5, 6}));
    palRealFree(blob);
    void* record = nullptr;
    tcsSafeSensorHandleFetch(sensor_, &record);
    ASSERT_NE(record, nullptr);
    ScsSensorDevice* device = static_cast<SensorRecord*>(record)->sensorControlSensor->device;
    const auto parser = device->replyParser;
    device->replyParser = nullptr;
    blob = nullptr;
    EXPECT_EQ(tcsTestCreatePatchCmd(sensor_, path.c_str(), &blob, &length), 6u);
    device->replyParser = parser;
    EXPECT_EQ(blob, nullptr);
    std::remove(path.c_str());
}

// The sensor left the bus: its handle stays, and every call on it fails without touching the gone
// device.
TEST_F(DiagStack, CallsOnASensorThatLeftTheBus) {
    SystemEvents events;
    ASSERT_EQ(tcsClientEventsAddCallback(context_->client, recordSystemEvent, &events), TCS_RESULT_OK);
    ASSERT_TRUE(simusb::unplug(id_));
    id_ = 0;
    ASSERT_TRUE(waitFor([&] { return events.has(TCS_SYSTEM_EVENT_SENSOR_REMOVED); }));
    EXPECT_EQ(tcsClientEventsRemoveCallback(context_->client, recordSystemEvent, &events), TCS_RESULT_OK);
    uint32_t* array = nullptr;
    uint32_t count = 0, b = 0, c = 0;
    ScsHarlokData data{};
    PrintConfiguration* config = nullptr;
    uint8_t kind = 0, signature[256] = {};
    // 358: no longer initialised; the two calls without that check fail on the device reference.
    struct Case {
        const char* what;
        TcsResult result, expected;
    };
    const Case cases[] = {
        {"resume", tcsTestResumeSelectiveSuspend(sensor_), 40},
        {"session key", tcsTestRSEstablishSessionKey(sensor_), 16},
        {"streaming", tcsTestStartRawStreaming(sensor_, 1, nullptr, nullptr, nullptr), 358},
        {"calibration results", tcsTestGetCalStatusResults(sensor_, &array, &count, &b, &c), 358},
        {"device record", tcsTestSensorGetHarlokConfigData(sensor_, &data), 358},
        {"built-in configuration", tcsTestGetPrintConfig(sensor_, 1, 2, 3, 4, &config), 358},
        {"print signature", tcsTestSensorGetPrintSignature(sensor_, &kind, signature), 358},
    };
    for (const Case& k : cases) EXPECT_EQ(k.result, k.expected) << k.what;
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(config, nullptr);
}

// The bad arguments of these calls: nothing is sent.
TEST_F(DiagStack, ArgumentErrorsOfTheRemainingCalls) {
    auto none = [](void*, TcsResult, void*) -> TcsResult { return TCS_RESULT_OK; };
    uint32_t* array = nullptr;
    uint32_t count = 0, b = 0, c = 0;
    ScsHarlokData data{};
    PrintConfiguration* config = nullptr;
    const uint8_t blob[2] = {1, 2};
    uint8_t* command = nullptr;
    uint16_t length = 0;
    simusb::clearCommandLog(id_);
    struct Case {
        const char* what;
        TcsResult result, expected;
    };
    const Case cases[] = {
        {"resume of handle 0", tcsTestResumeSelectiveSuspend(0), 4},
        {"session key of handle 0", tcsTestRSEstablishSessionKey(0), 14},
        {"streaming of handle 0", tcsTestStartRawStreaming(0, 1, nullptr, none, nullptr), 14},
        {"streaming with a missing file",
         tcsTestStartRawStreaming(sensor_, 1, (base_ + "_none").c_str(), none, nullptr), 207},
        {"results of handle 0", tcsTestGetCalStatusResults(0, &array, &count, &b, &c), 14},
        {"results without array", tcsTestGetCalStatusResults(sensor_, nullptr, &count, &b, &c), 40},
        {"results without count", tcsTestGetCalStatusResults(sensor_, &array, nullptr, &b, &c), 40},
        {"record of handle 0", tcsTestSensorGetHarlokConfigData(0, &data), 14},
        {"record without out", tcsTestSensorGetHarlokConfigData(sensor_, nullptr), 40},
        {"free no record", tcsTestSensorFreeHarlokConfigData(nullptr), 40},
        {"configuration of handle 0", tcsTestGetPrintConfig(0, 1, 2, 3, 4, &config), 14},
        {"configuration without out", tcsTestGetPrintConfig(sensor_, 1, 2, 3, 4, nullptr), 40},
        {"blob of handle 0", tcsTestSetPrintParamBlobToPrintConfig(0, config, blob, 2), 14},
        {"blob without configuration", tcsTestSetPrintParamBlobToPrintConfig(sensor_, nullptr, blob, 2), 40},
        {"patch command of handle 0", tcsTestCreatePatchCmd(0, "x", &command, &length), 14},
        {"patch command without out", tcsTestCreatePatchCmd(sensor_, "x", nullptr, &length), 40},
    };
    for (const Case& k : cases) EXPECT_EQ(k.result, k.expected) << k.what;
    EXPECT_TRUE(simusb::commandLog(id_).empty()) << "nothing sent";
}

}  // namespace
