// Synchronous sensor commands: fill a request, route it, wait for the reply and parse it.
//
// The wait record lives on the heap with two owners, the caller and the reply callback, and the
// last one frees it: a reply that arrives after its caller gave up writes into live memory, not
// into the caller's dead stack frame. Fixed-offset replies are checked against their layout: a
// payload shorter than the layout is 43, never filler reported as data.
#include "tcs/sensorctl/protocol/sensor_commands.h"

#include "tcs/sensorctl/protocol/command_args.h"
#include "tcs/sensorctl/protocol/flex_tables.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/protocol/sync_commands.h"
#include "tcs/sensorctl/protocol/version.h"

#include "platform/crypto/crypto.h"
#include "tcs/flashfs/xtfs.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr uint32_t kRawMark = 0xFFFFFFFFu;
constexpr uint32_t kConfigReplyLength = 2400;
constexpr uint32_t kTimeslotTableLength = 1408;
constexpr uint32_t kQueuedGraceMs = 2000;

struct Call {
    uint32_t status = TCS_RESULT_OK;  // first word: the reply phase reads 0xFFFFFFFF here as "raw"
    PalEvent* event = nullptr;
    std::atomic<int> owners{2};
    bool replied = false;
    std::vector<uint8_t> payload;
};

void release(Call* call) {
    if (call->owners.fetch_sub(1) == 1) {
        if (call->event != nullptr) palEventFree(call->event);
        delete call;
    }
}

TcsResult callReply(ScsReplyView* reply, TcsResult result, void* context) {
    auto* call = static_cast<Call*>(context);
    if (call == nullptr) return TCS_RESULT_BAD_PARAM;
    if (call->status == kRawMark) {
        // Raw replies come unmapped; the status stays the mark until the caller reads it.
        call->replied = reply != nullptr && reply->data != nullptr;
    } else {
        call->status = result;
        call->replied = reply != nullptr && reply->data != nullptr;
    }
    if (call->replied) call->payload.assign(reply->data, reply->data + reply->length);
    palEventSet(call->event);
    release(call);
    return TCS_RESULT_OK;
}

// Cancels the request and tells whether its callback was taken back (it will never be answered).
bool withdraw(ScsSensor* sensor, uint32_t transactionId) {
    ScsSensorDevice* device = nullptr;
    if (transactionId == 0 || scsSensorDeviceAcquire(sensor, &device) != TCS_RESULT_OK) return false;
    const bool withdrawn = scsSensorDeviceWithdrawRequest(device, transactionId);
    scsSensorDeviceRelease(device);
    return withdrawn;
}

struct Outcome {
    TcsResult result;
    bool replied;
    std::vector<uint8_t> payload;
};

template <typename Args>
Outcome run(ScsSensor* sensor, uint32_t witId, const Args* args, uint32_t timeoutMs, bool cancelOnSendFailure = true) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return {valid, false, {}};
    Call* call = new (std::nothrow) Call;
    if (call == nullptr) return {TCS_RESULT_OUT_OF_MEMORY, false, {}};
    call->event = palEventAlloc(0, 0, nullptr);
    if (call->event == nullptr) {
        delete call;
        return {TCS_RESULT_EVENT_CREATION_FAILED, false, {}};
    }
    // Off the service thread the command runs as a work item that waits timeoutMs itself and then
    // always answers; waiting a little longer here lets its answer, not our time-out, decide.
    // Decided before the send: once queued, the handle may go (a shut-down) before the answer comes.
    const ScsSensorDevice* device = __atomic_load_n(&sensor->device, __ATOMIC_ACQUIRE);
    ScsSubsystem* subsystem = device != nullptr ? device->subsystem : nullptr;
    const bool queued = subsystem != nullptr && (subsystem->startFlags & SCS_START_NO_SERVICE_THREAD) == 0 &&
                        !scsIsServiceThread(subsystem);
    uint32_t transactionId = 0;
    ScsWitRequest request{};
    request.witId = witId;
    request.reserved = timeoutMs;  // the caller's time-out, for the work item that runs the command
    request.replyCallback = callReply;
    request.context = call;
    request.transactionId = &transactionId;
    if (args != nullptr) scsargs::write(&request, *args);
    TcsResult result = scsSensorSendCommand(sensor, &request);
    if (result != TCS_RESULT_OK) {
        if (cancelOnSendFailure && transactionId != 0) scsSensorCancelRequest(sensor, transactionId);
        // Nothing was queued that could call back: both shares are the caller's.
        release(call);
        release(call);
        return {result, false, {}};
    }
    // The wait is not given the transaction to cancel: the cancel is made here, where a request
    // taken back unanswered also gives back the callback's share of the record (it leaked when the
    // sensor stopped answering). A queued command is only waited for: the handle is not touched again.
    result = queued ? palEventWaitFor(call->event, timeoutMs + kQueuedGraceMs)
                    : scsSensorWaitForCommandReply(sensor, call->event, timeoutMs, 0);
    if (result != TCS_RESULT_OK && withdraw(sensor, transactionId)) release(call);
    // A queued item that has not started by now is dropped unsent (the send path handed back its
    // number in the reserved word); one already running answers into the heap record.
    if (result != TCS_RESULT_OK && queued) {
        palWorkItemCancel(&subsystem->workList, result, 1, request.reserved);
    }
    Outcome out{result, false, {}};
    if (result == TCS_RESULT_OK) {
        out.result = call->status;
        out.replied = call->replied;
        out.payload = std::move(call->payload);
    }
    release(call);
    return out;
}

Outcome runBare(ScsSensor* sensor, uint32_t witId, uint32_t timeoutMs = SCS_COMMAND_TIMEOUT_MS) {
    return run<int>(sensor, witId, nullptr, timeoutMs);
}

uint32_t readU32(const uint8_t* p) { return scsversion::readU32(p); }
uint16_t readU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

// 43 for a payload that does not reach the end of the layout.
TcsResult needPayload(const Outcome& out, size_t length) {
    if (out.result != TCS_RESULT_OK) return out.result;
    return out.payload.size() < length ? TcsResult(TCS_RESULT_SENSOR_SHORT_CMD) : TcsResult(TCS_RESULT_OK);
}

bool fwIs(const ScsSensorDevice* device, uint8_t major, uint8_t minor) {
    return device->fwVersion != nullptr && device->fwVersion->major == major && device->fwVersion->minor == minor;
}

// The device's version record is written by its initialisation on the service thread, which holds
// the device-list lock throughout; a caller on another thread reads or updates it under that lock
// too (it parsed its own reply into the record while initialisation parsed another).
class VersionRecordHold {
public:
    explicit VersionRecordHold(const ScsSensorDevice* device)
        : lock_(device->subsystem != nullptr ? device->subsystem->deviceListLock : nullptr) {
        if (lock_ != nullptr) scsLock(lock_);
    }
    ~VersionRecordHold() {
        if (lock_ != nullptr) scsUnlock(lock_);
    }
    VersionRecordHold(const VersionRecordHold&) = delete;
    VersionRecordHold& operator=(const VersionRecordHold&) = delete;

private:
    PalMutexHandle lock_;
};

void formatInto(ScsSensorDevice* device, char* out) {
    const ScsFwVersion& v = *device->fwVersion;
    const bool selkin = scsversion::format({v.major, v.minor, v.revision, v.build, v.chipKind, v.mark, v.romFlag,
                                            scsSensorHarlokGetFlexName(device->flexId)},
                                           out);
    if (scsproto::DeviceState* state = scsproto::stateOf(device)) state->selkin = selkin;
}

}  // namespace

extern "C" {

TcsResult scsSensorWaitForCommandReply(ScsSensor* sensor, PalEvent* event, uint32_t timeoutMs, uint32_t transactionId) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    ScsSensorDevice* device = sensor->device;
    if (device == nullptr) return TCS_RESULT_NULL_DEVICE_HANDLE;
    ScsSubsystem* subsystem = device->subsystem;
    if (subsystem == nullptr) return TCS_RESULT_NULL_POINTER;
    TcsResult result;
    if ((subsystem->startFlags & SCS_START_NO_SERVICE_THREAD) == 0 && !scsIsServiceThread(subsystem)) {
        result = palEventWaitFor(event, timeoutMs);
    } else {
        const uint32_t start = palGetTickCount();
        for (;;) {
            if (sensor->device == nullptr) {
                result = TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN;
                break;
            }
            scsProcessRequestQueue(sensor->device);
            scsProcessReplyQueue(sensor->device);
            if (palEventWaitFor(event, 0) == TCS_RESULT_OK) {
                result = TCS_RESULT_OK;
                break;
            }
            if (palGetTickCount() - start >= timeoutMs) {
                result = TCS_RESULT_TIMEOUT;
                break;
            }
            palSleep(1);
        }
    }
    // Cancelled so that a late reply finds no caller.
    if (result != TCS_RESULT_OK && transactionId != 0 && sensor->device != nullptr) {
        scsSensorCancelRequest(sensor, transactionId);
    }
    return result;
}

TcsResult scsSensorFormatVersionString(ScsSensorDevice* device, char* text80) {
    if (device == nullptr || text80 == nullptr || device->fwVersion == nullptr) return TCS_RESULT_NULL_POINTER;
    formatInto(device, text80);
    return TCS_RESULT_OK;
}

TcsResult scsSensorGetVersion(ScsSensor* sensor, char* text80) {
    Outcome out = runBare(sensor, scsWITSensor_CMD_GET_VERSION);
    if (out.result != TCS_RESULT_OK) return out.result;
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    char text[SCS_VERSION_TEXT_SIZE] = {};
    if (out.payload.size() > scsversion::kMinimumPayload) {
        VersionRecordHold hold(device);
        if (device->fwVersion == nullptr) {
            // A device record without a version is new: whatever a freed record at the same
            // address left behind is not its state.
            scsproto::forget(device);
            device->fwVersion = static_cast<ScsFwVersion*>(palRealMalloc(sizeof(ScsFwVersion)));
            if (device->fwVersion == nullptr) result = TCS_RESULT_OUT_OF_MEMORY;
            else std::memset(device->fwVersion, 0, sizeof(ScsFwVersion));
        }
        if (result == TCS_RESULT_OK) {
            scsversion::parse(out.payload.data(), uint32_t(out.payload.size()), *device->fwVersion);
            scsproto::DeviceState* state = scsproto::stateOf(device);
            if (state != nullptr && !state->selkin) state->secureMatchSupported = (device->fwVersion->flags & 1) != 0;
            formatInto(device, text);
            if (state != nullptr) std::memcpy(state->versionString, text, sizeof text);
        }
    }
    scsSensorDeviceRelease(device);
    if (result == TCS_RESULT_OK && text80 != nullptr) std::memcpy(text80, text, sizeof text);
    return result;
}

TcsResult scsSensorGetCachedVersion(ScsSensor* sensor, char* text80) {
    if (sensor == nullptr || text80 == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    bool done = false;
    {
        VersionRecordHold hold(device);
        scsproto::DeviceState* state = scsproto::stateOf(device);
        if (state != nullptr && state->versionString[0] != 0) {
            std::memcpy(text80, state->versionString, SCS_VERSION_TEXT_SIZE);
            done = true;
        } else if (device->fwVersion != nullptr) {
            formatInto(device, text80);
            done = true;
        }
    }
    scsSensorDeviceRelease(device);
    return done ? TCS_RESULT_OK : scsSensorGetVersion(sensor, text80);
}

TcsResult scsSensorGetFwVersion(ScsSensor* sensor, ScsFwVersion* outVersion) {
    if (outVersion == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    {
        VersionRecordHold hold(device);
        if (device->fwVersion == nullptr) {
            result = TCS_RESULT_SENSOR_NOT_COMPLETELY_OPEN;
        } else {
            *outVersion = *device->fwVersion;
        }
    }
    scsSensorDeviceRelease(device);
    return result;
}

TcsResult scsSensorGetPatchLevel(ScsSensor* sensor, uint32_t* outLevel) {
    if (outLevel == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    {
        VersionRecordHold hold(device);
        if (device->fwVersion == nullptr) {
            result = TCS_RESULT_NULL_POINTER;
        } else {
            *outLevel = device->fwVersion->revision;
        }
    }
    scsSensorDeviceRelease(device);
    return result;
}

TcsResult scsSensorReset(ScsSensor* sensor, uint16_t delay) {
    const scsargs::Reset a{delay};
    return run(sensor, scsWITSensor_CMD_RESET, &a, SCS_COMMAND_TIMEOUT_MS).result;
}

TcsResult scsSensorGetStartInfo(ScsSensor* sensor, uint8_t* outStartType, uint8_t* outResetType, uint32_t* outWord2,
                                uint32_t* outWord6, uint32_t* outWord10, uint8_t* outBlock52) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (!outStartType || !outResetType || !outWord2 || !outWord6 || !outWord10 || !outBlock52) {
        return TCS_RESULT_BAD_PARAM;
    }
    Outcome out = runBare(sensor, scsWITSensor_CMD_GET_STARTINFO);
    const TcsResult result = needPayload(out, 66);
    if (result != TCS_RESULT_OK) return result;
    const uint8_t* p = out.payload.data();
    *outStartType = p[0];
    *outResetType = p[1];
    // Taken as they stand, without byte-order conversion.
    std::memcpy(outWord2, p + 2, 4);
    std::memcpy(outWord6, p + 6, 4);
    std::memcpy(outWord10, p + 10, 4);
    std::memcpy(outBlock52, p + 14, 52);
    return TCS_RESULT_OK;
}

TcsResult scsSensorPeek(ScsSensor* sensor, uint32_t address, uint8_t width, uint32_t* outValue) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (outValue == nullptr) return TCS_RESULT_BAD_PARAM;
    const scsargs::Peek a{address, width};
    Outcome out = run(sensor, scsWITSensor_CMD_PEEK, &a, SCS_COMMAND_TIMEOUT_MS);
    const TcsResult result = needPayload(out, 4);
    if (result == TCS_RESULT_OK) *outValue = readU32(out.payload.data());
    return result;
}

TcsResult scsSensorPoke(ScsSensor* sensor, uint32_t address, uint8_t width, uint32_t value) {
    const scsargs::Poke a{address, width, value};
    return run(sensor, scsWITSensor_CMD_POKE, &a, SCS_COMMAND_TIMEOUT_MS).result;
}

TcsResult scsSensorSetRefClock(ScsSensor* sensor, uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e) {
    const scsargs::RefClock args{{a, b, c, d, e}};
    return run(sensor, scsWITSensor_CMD_SET_REFCLK, &args, SCS_COMMAND_TIMEOUT_MS).result;
}

TcsResult scsSensorSetCPUClock(ScsSensor* sensor, uint32_t a, uint32_t b) {
    const scsargs::CpuClock args{a, b};
    return run(sensor, scsWITSensor_CMD_SET_CPUCLK, &args, SCS_COMMAND_TIMEOUT_MS).result;
}

TcsResult scsSensorSetSPIMode(ScsSensor* sensor, uint32_t mode) {
    const scsargs::SpiMode args{mode};
    return run(sensor, scsWITSensor_CMD_SET_SPIMODE, &args, SCS_COMMAND_TIMEOUT_MS).result;
}

TcsResult scsSensorWOEEnter(ScsSensor* sensor, uint16_t value) {
    const scsargs::WoeEnter args{value};
    TcsResult result = run(sensor, scsWITSensor_CMD_WOE_ENTER, &args, SCS_COMMAND_TIMEOUT_MS).result;
    if (result == TCS_RESULT_OK) result = scsSensorSetSuspendMode(sensor, 1);
    return result;
}

TcsResult scsSensorDownloadPatch(ScsSensor* sensor, uint16_t reserved, uint16_t length, const uint8_t* image) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (image == nullptr) return TCS_RESULT_BAD_PARAM;
    const scsargs::Patch a{reserved, length, image};
    Outcome out = run(sensor, scsWITSensor_CMD_PATCH, &a, SCS_COMMAND_TIMEOUT_MS);
    if (out.result != TCS_RESULT_OK) return out.result;
    // A pending signature item goes to the flash cache with the sensor's 32-byte answer.
    scsproto::DeviceState* state = scsproto::stateOf(sensor->device);
    if (state != nullptr && out.payload.size() >= 32 && scsSensorIsPatchSignatureCacheEnabled(sensor) == 1) {
        static const uint8_t kNone[40] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        if (std::memcmp(state->pendingSignature, kNone, 40) != 0) {
            uint8_t item[40];
            std::memcpy(item, state->pendingSignature, 40);
            std::memset(state->pendingSignature, 0xFF, 40);
            std::memcpy(item + 8, out.payload.data(), 32);
            xtfsCachePatchSignatureItem(sensor, item);
        }
    }
    return TCS_RESULT_OK;
}

TcsResult scsSensorUnloadPatch(ScsSensor* sensor) {
    TcsResult result = runBare(sensor, scsWITSensor_CMD_UNLOAD_PATCH).result;
    if (result != TCS_RESULT_OK) return result;
    ScsSensorDevice* device = nullptr;
    if (scsSensorDeviceAcquire(sensor, &device) == TCS_RESULT_OK) {
        if (device->fwVersion != nullptr) device->fwVersion->revision = 0;
        if (scsproto::DeviceState* state = scsproto::stateOf(device)) state->loaded = {};
        scsSensorDeviceRelease(device);
    }
    return TCS_RESULT_OK;
}

TcsResult scsHarlokParseConfigReply(ScsSensorDevice* device, const ScsReplyView* reply) {
    if (device == nullptr || reply == nullptr || reply->data == nullptr) return TCS_RESULT_BAD_PARAM;
    if (device->configReply == nullptr) {
        device->configReply = static_cast<uint8_t*>(palRealMalloc(reply->length == 0 ? 1 : reply->length));
        if (device->configReply == nullptr) return TCS_RESULT_INVALID;
        device->configReplyLength = reply->length;
    }
    // The copy was sized by the first reply: a longer later one keeps only what fits.
    const uint32_t n = reply->length < device->configReplyLength ? reply->length : device->configReplyLength;
    std::memcpy(device->configReply, reply->data, n);
    return TCS_RESULT_OK;
}

TcsResult scsSensorSetConfigReply(ScsSensor* sensor, const ScsReplyView* reply) {
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    if (reply != nullptr && reply->data != nullptr) {
        result = device->productFamily == SCS_FAMILY_1 || device->productFamily == SCS_FAMILY_2
                     ? scsHarlokParseConfigReply(device, reply)
                     : TcsResult(TCS_RESULT_BAD_PARAM);
    } else {
        palRealFree(device->configReply);
        device->configReply = nullptr;
        device->configReplyLength = 0;
    }
    scsSensorDeviceRelease(device);
    return result;
}

TcsResult scsSensorGetTimeSlotTable(ScsSensor* sensor, uint8_t** outTable, uint32_t* outLength) {
    if (outTable == nullptr || outLength == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsSensorDevice* device = nullptr;
    const TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    *outTable = device->configReply;
    *outLength = device->configReply == nullptr ? 0
                 : device->configReplyLength < kTimeslotTableLength ? device->configReplyLength
                                                                    : kTimeslotTableLength;
    scsSensorDeviceRelease(device);
    return TCS_RESULT_OK;
}

TcsResult scsSensorGetFingerprint(ScsSensor* sensor, uint16_t lines, uint8_t calibration, uint8_t mode,
                                  uint32_t options, PrintConfiguration* config, ScsReplyView* outReply) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    const scsargs::GetPrint a{lines, mode, calibration, options, config};
    Outcome out = run(sensor, scsWITSensor_CMD_GET_PRINT, &a, SCS_COMMAND_TIMEOUT_MS);
    if (out.result != TCS_RESULT_OK) return out.result;
    if (outReply != nullptr) *outReply = {0, nullptr};
    if (out.payload.empty()) return TCS_RESULT_OK;  // no configuration asked for: {0, NULL}
    const bool harlok = scsSensorIsHarlok(sensor) == 1;
    if (harlok && out.payload.size() < 2 + kConfigReplyLength) return TCS_RESULT_SENSOR_SHORT_CMD;
    ScsReplyView view{harlok ? kConfigReplyLength : uint32_t(out.payload.size()),
                      out.payload.data() + (harlok ? 2 : 0)};
    TcsResult result = scsSensorSetConfigReply(sensor, &view);
    if (result != TCS_RESULT_OK) return result;
    if (outReply != nullptr) {
        auto* copy = static_cast<uint8_t*>(palRealMalloc(view.length));
        if (copy == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        std::memcpy(copy, view.data, view.length);
        *outReply = {view.length, copy};
    }
    return TCS_RESULT_OK;
}

TcsResult scsStartReadFingerprint(ScsSensor* sensor) {
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    result = scsSensorSend(device, 0x824, nullptr, 0, nullptr, 0, nullptr, nullptr);
    scsSensorDeviceRelease(device);
    return result;
}

TcsResult scsSensorAbortFingerprint(ScsSensor* sensor) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    TcsResult result = scsStartReadFingerprint(sensor);
    if (result != TCS_RESULT_OK) return result;
    result = runBare(sensor, scsWITSensor_CMD_STOP_PRINT).result;
    if (result == TCS_RESULT_OK) sensor->device->captureState = 0;
    return result;
}

TcsResult scsSensorGetFingerState(ScsSensor* sensor, uint8_t* outState, uint8_t* outFlags) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (outState == nullptr || outFlags == nullptr) return TCS_RESULT_BAD_PARAM;
    Outcome out = runBare(sensor, scsWITSensor_CMD_GET_FINGER_STATUS);
    if (out.result != TCS_RESULT_OK) return out.result;
    const bool exact = out.payload.size() == 5;
    *outState = exact ? out.payload[0] : 0;
    *outFlags = exact ? out.payload[1] : 0;
    return TCS_RESULT_OK;
}

TcsResult scsSensorSPITrans(ScsSensor* sensor, uint32_t length, const uint8_t* data, const scswire::SpiParams* settings,
                            uint8_t* outReceive) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (data == nullptr || outReceive == nullptr) return TCS_RESULT_BAD_PARAM;
    if (fwIs(sensor->device, 4, 52)) return TCS_RESULT_NOT_SUPPORTED;
    const scsargs::SpiTransfer a{length, data, settings};
    if (sensor->device->subsystem != nullptr && sensor->device->subsystem->wakeEvent != nullptr) {
        palEventSet(sensor->device->subsystem->wakeEvent);
    }
    Outcome out = run(sensor, scsWITSensor_CMD_SPI_TRANSFER, &a, SCS_COMMAND_TIMEOUT_MS, false);
    const TcsResult result = needPayload(out, length);
    if (result == TCS_RESULT_OK) std::memcpy(outReceive, out.payload.data(), length);
    return result;
}

TcsResult scsSensorLock(ScsSensor* sensor) { return runBare(sensor, scsWITSensor_CMD_LOCK).result; }

TcsResult scsSensorGetUID(ScsSensor* sensor, uint16_t* outA, uint16_t* outB, uint8_t* outUid16) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (outA == nullptr || outB == nullptr || outUid16 == nullptr) return TCS_RESULT_BAD_PARAM;
    Outcome out = runBare(sensor, scsWITSensor_CMD_GET_UID);
    const TcsResult result = needPayload(out, 20);
    if (result != TCS_RESULT_OK) return result;
    *outA = readU16(out.payload.data());
    *outB = readU16(out.payload.data() + 2);
    std::memcpy(outUid16, out.payload.data() + 4, 16);
    return TCS_RESULT_OK;
}

TcsResult scsSensorGetCertificate(ScsSensor* sensor, uint32_t* outA, uint32_t* outB, uint8_t* outFirst256,
                                  uint8_t* outSecond256) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (outA == nullptr || outB == nullptr || outFirst256 == nullptr || outSecond256 == nullptr) {
        return TCS_RESULT_BAD_PARAM;
    }
    Outcome out = runBare(sensor, scsWITSensor_CMD_GET_CERTIFICATE);
    const TcsResult result = needPayload(out, 518);
    if (result != TCS_RESULT_OK) return result;
    *outA = readU16(out.payload.data());
    *outB = readU32(out.payload.data() + 2);
    std::memcpy(outFirst256, out.payload.data() + 6, 256);
    std::memcpy(outSecond256, out.payload.data() + 262, 256);
    return TCS_RESULT_OK;
}

TcsResult scsSensorGetOwnershipInfo(ScsSensor* sensor, uint16_t* outA, uint16_t* outB) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (outA == nullptr || outB == nullptr) return TCS_RESULT_BAD_PARAM;
    if (!fwIs(sensor->device, 4, 21)) {
        *outA = 0xFFFF;
        *outB = 0xFFFF;
        return TCS_RESULT_OK;
    }
    Outcome out = runBare(sensor, scsWITSensor_CMD_GET_OWNERSHIP_INFO);
    const TcsResult result = needPayload(out, 4);
    if (result != TCS_RESULT_OK) return result;
    std::memcpy(outA, out.payload.data(), 2);
    std::memcpy(outB, out.payload.data() + 2, 2);
    return TCS_RESULT_OK;
}

TcsResult scsSensorTakeOwnership(ScsSensor* sensor, uint32_t length, const uint8_t* password, uint8_t* outFirst,
                                 uint32_t firstLength, uint8_t* outSecond, uint32_t secondLength) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (outFirst == nullptr || outSecond == nullptr || firstLength != 32 || secondLength != 32 || length > 64) {
        return TCS_RESULT_BAD_PARAM;
    }
    const scsargs::TakeOwnership a{length, password};
    Outcome out = run(sensor, scsWITSensor_CMD_TAKE_OWNERSHIP, &a, SCS_OWNERSHIP_TIMEOUT_MS);
    const TcsResult result = needPayload(out, 64);
    if (result == TCS_RESULT_OK) {
        std::memcpy(outFirst, out.payload.data(), 32);
        std::memcpy(outSecond, out.payload.data() + 32, 32);
    }
    // The pairing values do not outlive the copy.
    volatile uint8_t* wipe = out.payload.data();
    for (size_t i = 0; i < out.payload.size(); ++i) wipe[i] = 0;
    return result;
}

TcsResult scsSensorTakeOwnershipWithKeys(ScsSensor* sensor, uint32_t flashCapacity, uint32_t eraseBlockSize,
                                         const uint8_t* cik, const uint8_t* cios, const uint8_t* privateExponent,
                                         const uint8_t* privateModulus, const uint8_t* hostModulus,
                                         uint32_t replyLength, uint8_t* outReply) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (outReply == nullptr || replyLength != 256) return TCS_RESULT_BAD_PARAM;
    const scsargs::TakeOwnershipWithKeys a{flashCapacity, eraseBlockSize, cik,          cios,
                                           privateExponent, privateModulus, hostModulus};
    Outcome out = run(sensor, scsWITSensor_CMD_TAKE_OWNERSHIP_EX, &a, SCS_OWNERSHIP_TIMEOUT_MS);
    const TcsResult result = needPayload(out, 256);
    if (result == TCS_RESULT_OK) std::memcpy(outReply, out.payload.data(), 256);
    volatile uint8_t* wipe = out.payload.data();
    for (size_t i = 0; i < out.payload.size(); ++i) wipe[i] = 0;
    return result;
}

TcsResult scsSensorResetOwnership(ScsSensor* sensor, uint32_t length, const uint8_t* password) {
    const scsargs::ResetOwnership a{length, password};
    return run(sensor, scsWITSensor_CMD_RESET_OWNERSHIP, &a, SCS_COMMAND_TIMEOUT_MS).result;
}

TcsResult scsSensorCommandBlob(ScsSensor* sensor, const uint8_t* data, uint32_t length, uint8_t* outBuffer,
                               uint32_t* inOutLength) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (data == nullptr || length == 0 || outBuffer == nullptr || inOutLength == nullptr) return TCS_RESULT_BAD_PARAM;
    Call* call = new (std::nothrow) Call;
    if (call == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    call->status = kRawMark;
    call->event = palEventAlloc(0, 0, nullptr);
    auto* copy = static_cast<uint8_t*>(palRealMalloc(length + 1));
    if (call->event == nullptr || copy == nullptr) {
        palRealFree(copy);
        call->owners = 1;
        release(call);
        return call->event == nullptr ? TcsResult(TCS_RESULT_EVENT_CREATION_FAILED) : TcsResult(TCS_RESULT_OUT_OF_MEMORY);
    }
    std::memcpy(copy, data, length);
    uint32_t transactionId = 0;
    TcsResult result = scsSend(sensor->device, copy, length, *inOutLength, callReply, call, &transactionId, 0, 0);
    if (result != TCS_RESULT_OK) {
        release(call);
        release(call);
        return result;
    }
    result = scsSensorWaitForCommandReply(sensor, call->event, SCS_COMMAND_TIMEOUT_MS, transactionId);
    if (result == TCS_RESULT_OK) {
        const uint32_t n = call->replied ? uint32_t(std::min<size_t>(call->payload.size(), *inOutLength)) : 0;
        std::memcpy(outBuffer, call->payload.data(), n);
        *inOutLength = n;
    }
    release(call);
    return result;
}

TcsResult scsRunCommand(ScsSensor* sensor, uint32_t witId, const void* args, uint32_t argsSize, uint32_t timeoutMs,
                        uint8_t* outPayload, uint32_t* inOutLength) {
    struct Raw {
        uint8_t bytes[sizeof(ScsWitRequest::arguments)];
    } raw{};
    if (argsSize > sizeof raw.bytes || inOutLength == nullptr) return TCS_RESULT_BAD_PARAM;
    if (args != nullptr) std::memcpy(raw.bytes, args, argsSize);
    Outcome out = run(sensor, witId, &raw, timeoutMs);
    if (out.result != TCS_RESULT_OK) return out.result;
    const uint32_t n = uint32_t(std::min<size_t>(out.payload.size(), *inOutLength));
    if (outPayload != nullptr && n != 0) std::memcpy(outPayload, out.payload.data(), n);
    *inOutLength = n;
    return TCS_RESULT_OK;
}

TcsResult scsSensorGetCFGTSBL(ScsSensor*) { return TCS_RESULT_NOT_SUPPORTED; }
TcsResult scsSensorSPIFlash(ScsSensor*) { return TCS_RESULT_NOT_SUPPORTED; }
TcsResult scsSensorInplacePatch(ScsSensor*) { return TCS_RESULT_NOT_SUPPORTED; }
TcsResult scsSensorSetLEDStateEx2(ScsSensor*) { return TCS_RESULT_NOT_SUPPORTED; }

}  // extern "C"
