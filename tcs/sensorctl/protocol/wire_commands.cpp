// Sensor command wire builders (one per command, ending _V4) and the reply parser: each builder
// validates the handle, formats its request with the wire format and hands it to scsSend.
#include "tcs/sensorctl/protocol/baseline_info.h"
#include "tcs/sensorctl/protocol/builtin_lists.h"
#include "tcs/sensorctl/calibration/cal_results.h"
#include "tcs/sensorctl/secure/chip_session.h"
#include "tcs/sensorctl/calibration/calibration.h"
#include "tcs/sensorctl/protocol/command_args.h"
#include "tcs/sensorctl/secure/data_slots.h"
#include "tcs/sensorctl/secure/fp_crypto.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/protocol/wire_builders.h"
#include "tcs/sensorctl/protocol/wire_format.h"

#include "platform/settings.h"
#include "tcs/imaging/reconstruction/flex_info.h"

#include <cstring>
#include <vector>

namespace {

constexpr char kProductSection[] = "SOFTWARE\\Tovantic\\tfs530";
// A wake-on-event set-up asked for with none given and none stored on the device.
constexpr TcsResult kNoWoeSetup = 1001;

uint32_t setting(const char* name, uint32_t defaultValue) {
    uint32_t value = defaultValue;
    if (palGetPersistentDataLongValue(kProductSection, name, defaultValue, &value) != TCS_RESULT_OK) {
        value = defaultValue;
    }
    return value;
}

// scsSend owns the buffer from the call on, whatever it returns.
TcsResult sendBytes(ScsSensor* sensor, ScsWitRequest* request, const scswire::Bytes& bytes, uint32_t replySize) {
    auto* buffer = static_cast<uint8_t*>(palRealMalloc(uint32_t(bytes.size())));
    if (buffer == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memcpy(buffer, bytes.data(), bytes.size());
    return scsSend(sensor->device, buffer, uint32_t(bytes.size()), replySize, request->replyCallback, request->context,
                   request->transactionId, 0, 0);
}

template <typename Build>
TcsResult build(ScsSensor* sensor, ScsWitRequest* request, Build make) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    if (request == nullptr) return TCS_RESULT_BAD_PARAM;
    std::optional<scswire::Bytes> bytes = make(sensor->device);
    if (!bytes) return TCS_RESULT_BAD_PARAM;
    const uint8_t code = (*bytes)[0];
    const uint32_t size =
        code == scswire::kCmdSpiTransfer ? uint32_t(bytes->size() - 35 + 2) : scswire::replySize(code);
    return sendBytes(sensor, request, *bytes, size);
}

TcsResult bareCommand(ScsSensor* sensor, ScsWitRequest* request, uint8_t code) {
    return build(sensor, request, [code](ScsSensorDevice*) { return std::optional(scswire::bare(code)); });
}

// Answered at once with success, nothing sent.
TcsResult answerAtOnce(ScsWitRequest* request) {
    if (request->replyCallback != nullptr) request->replyCallback(nullptr, TCS_RESULT_OK, request->context);
    return TCS_RESULT_OK;
}

TcsResult refused(ScsSensor*, ScsWitRequest*) { return TCS_RESULT_NOT_SUPPORTED; }

// The baseline a type-3 motion record carries: the power-up baseline when it is valid, else the
// baseline the captures keep.
const ScsBaseLineImage* motionBaseline(const ScsSensorDevice* device) {
    const auto* info = static_cast<const ScsBaseLineInfo*>(device->baselineInfo);
    if (info == nullptr) return nullptr;
    for (const ScsBaseLineImage* image : {&info->images[0], &info->images[2]}) {
        if (image->kind == 1 && image->pixels != nullptr && image->width != 0 && image->height != 0) return image;
    }
    return nullptr;
}

// The motion record's tail from index 8: per channel from 8 to the last, the mean over the
// baseline's rows of the channel's value less 128 (at depth 4, the low and then the high nibble,
// each scaled to 8 bits). A baseline line is the 8-byte scan-line header, then the channels.
std::vector<uint8_t> motionBaselineTail(const ScsSensorDevice* device, uint32_t depth, int32_t channels) {
    constexpr uint32_t kHeader = 8, kFirstChannel = 8, kTailBytes = 312;
    std::vector<uint8_t> tail;
    const ScsBaseLineImage* baseline = motionBaseline(device);
    if (baseline == nullptr || (depth != 4 && depth != 8) || channels <= int32_t(kFirstChannel)) return tail;
    for (uint32_t channel = kFirstChannel; channel < uint32_t(channels) && tail.size() < kTailBytes; ++channel) {
        if (kHeader + channel >= baseline->width) break;
        uint64_t low = 0, high = 0, whole = 0;
        for (uint32_t row = 0; row < baseline->height; ++row) {
            const uint8_t v = baseline->pixels[size_t(row) * baseline->width + kHeader + channel];
            whole += v;
            low += uint32_t(v & 0x0F) * 16;
            high += v & 0xF0;
        }
        const uint32_t rows = baseline->height;
        if (depth == 8) {
            tail.push_back(uint8_t(int32_t(whole / rows) - 128));
        } else {
            tail.push_back(uint8_t(int32_t(low / rows) - 128));
            if (tail.size() < kTailBytes) tail.push_back(uint8_t(int32_t(high / rows) - 128));
        }
    }
    return tail;
}

// The capture request's records 2 onwards (the parameter blob comes first), in their fixed order.
TcsResult captureRecords(ScsSensorDevice* device, const scsargs::GetPrint& a, uint32_t lineLength, scswire::Bytes& out) {
    scsproto::DeviceState* state = scsproto::stateOf(device);
    if (state == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    if (a.options & 0x10) scswire::appendEmptyRecord(out, SCS_TAG_CONFIG_REPLY);
    if (a.calibration != 0 && device->calResults != nullptr) {
        auto* results = static_cast<CalResultsContainer*>(device->calResults);
        uint16_t length = 0;
        TcsResult result = calResultsGetCalibrationDataBlob(results, &length, nullptr);
        if (result == TCS_RESULT_OK && length != 0) {
            const size_t at = out.size();
            out.resize(at + length);
            result = calResultsGetCalibrationDataBlob(results, &length, out.data() + at);
            out.resize(at + length);
        }
        if (result != TCS_RESULT_OK) return result;
    }

    uint32_t motion = 0;
    if (a.mode == 1) {
        motion = 2;
    } else if (a.mode >= 4) {
        motion = state->selkin || state->variant == 5 ? 3 : 1;
    }
    if (a.mode != 0) motion = setting("motionParamEnable", motion);
    if (motion == 0 && (a.options & 0x20) == 0) {
        scswire::appendCullRecord(out, 0, setting("motionParamCullControlImmediate", 10272));
    }
    bool woeNfInMode4 = false;
    if (motion != 0) {
        scswire::appendCullRecord(out, setting("motionParamCullFlags", 0) & 0xFFFF,
                                  setting("motionParamCullControl", 10272) & 0xFFFF);
        char path[260] = {};
        uint32_t size = sizeof path;
        const bool external =
            palGetPersistentDataStringValue(kProductSection, "motionParamsPath", "", 1, path, &size) == TCS_RESULT_OK &&
            std::strlen(path) >= 2;
        uint8_t* blob = nullptr;
        uint32_t blobLength = 0;
        if (external && scsSubsystemGetHarlokCfgBlob(path, &blob, &blobLength) == TCS_RESULT_OK && blob != nullptr) {
            out.insert(out.end(), blob, blob + blobLength);
            palRealFree(blob);
        } else if (motion == 1) {
            scswire::appendMotion1(out, setting, state->motionThresholdDelta);
        } else if (motion == 2) {
            scswire::appendMotion2(out, setting);
        } else {
            woeNfInMode4 = setting("useWOENFInCapMode4", 0) == 1 && device->woeType == 2;
            const FlexInfoRecord* flex = dliFindFlexInfo(int32_t(device->flexId));
            const int32_t channels = flex != nullptr ? int32_t(flex->primaryCount) : -1;
            const std::vector<uint8_t> tail = motionBaselineTail(device, state->bitDepth, channels);
            // The channel-flag switch and the calibration's baseline flag have no setter on this
            // stack (nothing sets either), so both read as clear.
            scswire::Motion3Inputs in{uint8_t(state->bitDepth), device->flexId, channels, a.mode, false,
                                      woeNfInMode4, state->motionThresholdDelta, false, tail};
            scswire::appendMotion3(out, setting, in);
        }
    }
    const bool woe = device->transportKind != 2 &&
                     (a.mode == 2 || (a.mode == 4 && motion == 3 && device->woeType == 2 && woeNfInMode4));
    if (woe) {
        // Without a calibrated wake-on-event set-up the block goes out zero.
        uint8_t* setup = nullptr;
        uint32_t setupLength = 0;
        const bool calibrated = scsHarlokCalGetWoeSetup(device, &setup, &setupLength, 0, nullptr) == TCS_RESULT_OK &&
                                setup != nullptr && setupLength >= 56;
        scswire::appendWoeRecord(out, calibrated ? setup : nullptr);
        if (setup != nullptr) palRealFree(setup);
        // The device record keeps one wake-on-variance threshold ("WOVARthresh"); the second of the
        // pair has no source on this stack and counts as 0.
        if (device->woeFlags & SCS_WOE_FLAG_WOVAR) scswire::appendWovRecord(out, setting, device->woVarThreshold);
    }
    uint32_t securitySize = 0;
    if (a.options & 0x4) {
        uint8_t record[110];
        const TcsResult result =
            scsGetSecurityParams(device, record, &securitySize, a.options & 0x8, uint32_t(lineLength));
        if (result != TCS_RESULT_OK) return result;
        out.insert(out.end(), record, record + securitySize);
    }
    // A capture without its own key sends plain data: an earlier capture's key must not decrypt it.
    if (securitySize == 0) state->fpEncrypted = false;
    if (a.options & 0x100) {
        uint8_t record[20];
        uint32_t size = 0;
        const TcsResult result = scsGetFpBufferingParams(device, record, &size);
        if (result != TCS_RESULT_OK) return result;
        out.insert(out.end(), record, record + size);
    }
    return TCS_RESULT_OK;
}

}  // namespace

extern "C" {

TcsResult scsSensorSendGetVersion_V4(ScsSensor* s, ScsWitRequest* r) { return bareCommand(s, r, scswire::kCmdGetVersion); }
TcsResult scsSensorSendGetStartInfo_V4(ScsSensor* s, ScsWitRequest* r) {
    return bareCommand(s, r, scswire::kCmdGetStartInfo);
}
TcsResult scsSensorSendGetPrintSignature_V4(ScsSensor* s, ScsWitRequest* r) {
    return bareCommand(s, r, scswire::kCmdGetPrintSignature);
}
TcsResult scsSensorSendAbortFingerprint_V4(ScsSensor* s, ScsWitRequest* r) {
    return bareCommand(s, r, scswire::kCmdStopPrint);
}
TcsResult scsSensorSendGetFingerState_V4(ScsSensor* s, ScsWitRequest* r) {
    return bareCommand(s, r, scswire::kCmdGetFingerStatus);
}
TcsResult scsSensorSendGetConfiguration_V4(ScsSensor* s, ScsWitRequest* r) {
    return bareCommand(s, r, scswire::kCmdGetConfiguration);
}
TcsResult scsSensorSendDecommission_V4(ScsSensor* s, ScsWitRequest* r) {
    return bareCommand(s, r, scswire::kCmdDecommission);
}
TcsResult scsSensorSendRewritePm_V4(ScsSensor* s, ScsWitRequest* r) { return bareCommand(s, r, scswire::kCmdRewritePm); }
TcsResult scsSensorSendGetOwnershipInfo_V4(ScsSensor* s, ScsWitRequest* r) {
    return bareCommand(s, r, scswire::kCmdGetOwnershipInfo);
}
TcsResult scsSensorSendGetCertificate_V4(ScsSensor* s, ScsWitRequest* r) {
    return bareCommand(s, r, scswire::kCmdGetCertificate);
}
TcsResult scsSensorSendSensorLock_V4(ScsSensor* s, ScsWitRequest* r) { return bareCommand(s, r, scswire::kCmdLock); }
TcsResult scsSensorSendGetUID_V4(ScsSensor* s, ScsWitRequest* r) { return bareCommand(s, r, scswire::kCmdGetUid); }

TcsResult scsSensorSendReset_V4(ScsSensor* s, ScsWitRequest* r) {
    return build(s, r, [r](ScsSensorDevice*) { return std::optional(scswire::reset(scsargs::read<scsargs::Reset>(r).delay)); });
}

TcsResult scsSensorSendPeek_V4(ScsSensor* s, ScsWitRequest* r) {
    return build(s, r, [r](ScsSensorDevice*) {
        const auto a = scsargs::read<scsargs::Peek>(r);
        return std::optional(scswire::peek(a.address, a.width));
    });
}

TcsResult scsSensorSendPoke_V4(ScsSensor* s, ScsWitRequest* r) {
    return build(s, r, [r](ScsSensorDevice*) {
        const auto a = scsargs::read<scsargs::Poke>(r);
        return std::optional(scswire::poke(a.address, a.value, a.width));
    });
}

TcsResult scsSensorSendGPIO_V4(ScsSensor* s, ScsWitRequest* r) {
    return build(s, r, [r](ScsSensorDevice*) { return std::optional(scswire::gpio(scsargs::read<scsargs::Gpio>(r).words)); });
}

TcsResult scsSensorSendRefClock_V4(ScsSensor* s, ScsWitRequest* r) {
    return build(s, r,
                 [r](ScsSensorDevice*) { return std::optional(scswire::refClock(scsargs::read<scsargs::RefClock>(r).words)); });
}

TcsResult scsSensorSendSetCPUClock_V4(ScsSensor* s, ScsWitRequest* r) {
    return build(s, r, [r](ScsSensorDevice*) {
        const auto a = scsargs::read<scsargs::CpuClock>(r);
        return std::optional(scswire::cpuClock(a.a, a.b));
    });
}

TcsResult scsSensorSendSetSPIMode_V4(ScsSensor* s, ScsWitRequest* r) {
    return build(s, r, [r](ScsSensorDevice*) { return std::optional(scswire::spiMode(scsargs::read<scsargs::SpiMode>(r).mode)); });
}

TcsResult scsSensorSendWOEEnter_V4(ScsSensor* s, ScsWitRequest* r) {
    return build(s, r,
                 [r](ScsSensorDevice*) { return std::optional(scswire::woeEnter(scsargs::read<scsargs::WoeEnter>(r).value)); });
}

TcsResult scsSensorSendDownloadPatch_V4(ScsSensor* s, ScsWitRequest* r) {
    const TcsResult valid = scsSensorValidate(s);
    if (valid != TCS_RESULT_OK) return valid;
    if (r == nullptr) return TCS_RESULT_BAD_PARAM;
    scsproto::DeviceState* state = scsproto::stateOf(s->device);
    if (state != nullptr && state->patchManagementDisabled) return answerAtOnce(r);
    const auto a = scsargs::read<scsargs::Patch>(r);
    if (state != nullptr && state->variant == 3) {
        const ScsFwVersion* v = s->device->fwVersion;
        if (v == nullptr) return TCS_RESULT_NULL_VERSION_POINTER;
        if (v->major >= 4 && v->minor >= 20) {
            uint8_t* signedPatch = nullptr;
            uint16_t signedLength = 0;
            const TcsResult result = scsCreateSignedPatch(s, a.length, a.image, &signedLength, &signedPatch);
            if (result != TCS_RESULT_OK) return result;
            const TcsResult sent =
                build(s, r, [&](ScsSensorDevice*) { return scswire::patch(signedPatch, signedLength); });
            palRealFree(signedPatch);
            return sent;
        }
    }
    return build(s, r, [&a](ScsSensorDevice*) { return scswire::patch(a.image, a.length); });
}

TcsResult scsSensorSendUnloadPatch_V4(ScsSensor* s, ScsWitRequest* r) {
    const TcsResult valid = scsSensorValidate(s);
    if (valid != TCS_RESULT_OK) return valid;
    if (r == nullptr) return TCS_RESULT_BAD_PARAM;
    scsproto::DeviceState* state = scsproto::stateOf(s->device);
    const bool recorded = state != nullptr && state->hasLoadedPatch && (state->loaded.ids != 0 || state->loaded.selector != 0);
    const bool revision = s->device->fwVersion != nullptr && s->device->fwVersion->revision != 0;
    if ((state != nullptr && state->patchManagementDisabled) || (!recorded && !revision)) return answerAtOnce(r);
    return bareCommand(s, r, scswire::kCmdUnloadPatch);
}

TcsResult scsSensorSendWOESetup_V4(ScsSensor* s, ScsWitRequest* r) {
    const TcsResult valid = scsSensorValidate(s);
    if (valid != TCS_RESULT_OK) return valid;
    if (r == nullptr) return TCS_RESULT_BAD_PARAM;
    const auto a = scsargs::read<scsargs::WoeSetup>(r);
    const uint8_t* setup = a.setup;
    uint32_t length = a.length;
    // Without a set-up of its own the request takes the one initialisation stored on the device.
    if (setup == nullptr && s->device->woeConfig != nullptr) {
        setup = static_cast<const uint8_t*>(s->device->woeConfig->data);
        length = s->device->woeConfig->words[SCS_PD_LENGTH];
    }
    if (setup == nullptr) return kNoWoeSetup;
    return build(s, r, [setup, length](ScsSensorDevice*) { return scswire::woeSetup(setup, length); });
}

TcsResult scsSensorSendGetFingerprint_V4(ScsSensor* s, ScsWitRequest* r) {
    const TcsResult valid = scsSensorValidate(s);
    if (valid != TCS_RESULT_OK) return valid;
    if (r == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsSensorDevice* device = s->device;
    const auto a = scsargs::read<scsargs::GetPrint>(r);
    if (a.mode == 2 && device->woeType == 0) return TCS_RESULT_BAD_PARAM;
    scsproto::DeviceState* state = scsproto::stateOf(device);
    if (state == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    const scsprint::DeviceDefaults defaults{device->flexId, state->soClock, state->swipeSpeed, state->bitDepth,
                                            state->lineLengthOverride, device->productFamily};
    const PrintConfiguration* config = scsIsDefaultPrintConfig(a.config) ? state->defaultConfig : a.config;
    uint32_t lineLength = 0, depth = 0, period = 0, so = 0, swipe = 0;
    const uint8_t* blob = nullptr;
    uint32_t blobLength = 0;
    TcsResult result = scsprint::getField(config, SCS_PC_LINE_LENGTH, defaults, &lineLength);
    if (result == TCS_RESULT_OK) result = scsprint::getField(config, SCS_PC_BIT_DEPTH, defaults, &depth);
    if (result == TCS_RESULT_OK) result = scsprint::getBlob(config, &blob, &blobLength);
    if (result != TCS_RESULT_OK) return result;
    scsprint::getField(config, SCS_PC_LINE_PERIOD, defaults, &period);
    scsprint::getField(config, SCS_PC_SO_CLOCK, defaults, &so);
    scsprint::getField(config, SCS_PC_SWIPE_SPEED, defaults, &swipe);

    scswire::Bytes bytes = scswire::captureHeader(uint16_t(lineLength), a.lines);
    if (blobLength != 0) bytes.insert(bytes.end(), blob, blob + blobLength);
    result = captureRecords(device, a, lineLength, bytes);
    if (result != TCS_RESULT_OK) return result;
    if (a.options & 0x4000) state->captureRequestCopy.assign(bytes.begin() + 1, bytes.end());

    device->printCommand[0] = lineLength;
    device->printCommand[1] = period;
    device->printCommand[2] = so;
    device->printCommand[3] = swipe;
    device->printCommand[4] = depth;
    if (a.mode == 0) {
        // Fingerprint data must be read from the start of the capture.
        result = scsSensorSend(device, 0x824, nullptr, 0, nullptr, 0, nullptr, nullptr);
        if (result != TCS_RESULT_OK) return result;
    }
    result = sendBytes(s, r, bytes, scswire::replySize(scswire::kCmdGetPrint));
    if (result == TCS_RESULT_OK && a.lines == 0) device->captureState = 1;
    return result;
}

TcsResult scsSensorSendSPITrans_V4(ScsSensor* s, ScsWitRequest* r) {
    return build(s, r, [r](ScsSensorDevice*) {
        const auto a = scsargs::read<scsargs::SpiTransfer>(r);
        return std::optional(scswire::spiTransfer(a.params, a.data, a.length));
    });
}

TcsResult scsSensorSendSPIBulkRead_V4(ScsSensor* s, ScsWitRequest* r) {
    return build(s, r, [r](ScsSensorDevice*) {
        const auto a = scsargs::read<scsargs::SpiFastRead>(r);
        return scswire::spiFastRead(a.command, a.commandLength, a.count);
    });
}

TcsResult scsSensorSendSetLEDState_V4(ScsSensor* s, ScsWitRequest* r) {
    return build(s, r, [r](ScsSensorDevice*) { return std::optional(scswire::ledState(scsargs::read<scsargs::Led>(r).state)); });
}

TcsResult scsSensorSendSetLEDStateEx_V4(ScsSensor* s, ScsWitRequest* r) {
    return build(s, r, [r](ScsSensorDevice*) {
        const auto a = scsargs::read<scsargs::LedEx>(r);
        return std::optional(scswire::ledStateEx(a.entries, a.trailer));
    });
}

TcsResult scsSensorSendTakeOwnership_V4(ScsSensor* s, ScsWitRequest* r) {
    return build(s, r, [r](ScsSensorDevice*) {
        const auto a = scsargs::read<scsargs::TakeOwnership>(r);
        return scswire::takeOwnership(a.password, a.length);
    });
}

TcsResult scsSensorSendResetOwnership_V4(ScsSensor* s, ScsWitRequest* r) {
    const TcsResult valid = scsSensorValidate(s);
    if (valid != TCS_RESULT_OK) return valid;
    if (r == nullptr) return TCS_RESULT_BAD_PARAM;
    const auto a = scsargs::read<scsargs::ResetOwnership>(r);
    // A password reset proves the pairing twice: the password, and the secret the sensor handed
    // out when it was paired (slot 8). Key pairings (RSA) carry no such secret.
    uint8_t secret[32] = {};
    const bool withSecret = a.password != nullptr && a.length != 0 && s->device->rsaSecured == 0;
    if (withSecret) {
        const TcsResult read = scsGetSecretData(s, sizeof secret, secret, SCS_SLOT_SENSOR_SECRET, 2, 0);
        if (read != TCS_RESULT_OK) return read;
    }
    const TcsResult result = build(s, r, [&](ScsSensorDevice*) {
        return scswire::resetOwnership(a.password, a.length, withSecret ? secret : nullptr);
    });
    std::memset(secret, 0, sizeof secret);
    return result;
}

TcsResult scsSensorSendTakeOwnershipWithKeys_V4(ScsSensor* s, ScsWitRequest* r) {
    return build(s, r, [r](ScsSensorDevice*) {
        const auto a = scsargs::read<scsargs::TakeOwnershipWithKeys>(r);
        return std::optional(scswire::takeOwnershipWithKeys({a.key256, a.param1, a.param2, a.value1, a.value2, a.pairA, a.pairB}));
    });
}

TcsResult scsSensorSendMatchVerify_V4(ScsSensor* s, ScsWitRequest* r) {
    const TcsResult valid = scsSensorValidate(s);
    if (valid != TCS_RESULT_OK) return valid;
    if (r == nullptr) return TCS_RESULT_BAD_PARAM;
    const auto a = scsargs::read<scsargs::MatchVerify>(r);
    uint8_t value[32] = {};
    if (a.value != nullptr) std::memcpy(value, a.value, sizeof value);
    if (s->device->rsaSecured != 0) {
        if (const scsproto::DeviceState* state = scsproto::stateOf(s->device)) {
            for (size_t i = 0; i < sizeof value; ++i) value[i] ^= state->signingKey[i];
        }
    }
    std::optional<scswire::Bytes> bytes = scswire::matchVerify(a.data, a.length, value);
    if (!bytes) return TCS_RESULT_BAD_PARAM;
    constexpr size_t kTemplateAt = 37;
    if (a.length != 0 && scsSensorIsSelkinSecuryEnabledDevice(s) == 1) {
        uint8_t* templ = bytes->data() + kTemplateAt;
        const TcsResult result = scsRSEncDecData(s, templ, templ, a.length, 1);
        if (result != TCS_RESULT_OK) return result;
    }
    return sendBytes(s, r, *bytes, scswire::replySize(scswire::kCmdMatchVerify));
}

TcsResult scsSensorSendSignEncTemplateData_V4(ScsSensor* s, ScsWitRequest* r) {
    const TcsResult valid = scsSensorValidate(s);
    if (valid != TCS_RESULT_OK) return valid;
    if (r == nullptr) return TCS_RESULT_BAD_PARAM;
    const auto a = scsargs::read<scsargs::SignEnc>(r);
    std::optional<scswire::Bytes> bytes = scswire::signEncTemplateData(a.a, a.aLength, a.b, a.bLength);
    if (!bytes) return TCS_RESULT_BAD_PARAM;
    if (a.aLength != 0 && scsSensorIsSelkinSecuryEnabledDevice(s) == 1) {
        uint8_t* fields = bytes->data() + 5;
        const TcsResult result = scsRSEncDecData(s, fields, fields, a.aLength + a.bLength, 1);
        if (result != TCS_RESULT_OK) return result;
    }
    return sendBytes(s, r, *bytes, scswire::replySize(scswire::kCmdSignEncTemplateData));
}

TcsResult scsSensorSendDecVerifyTemplateData_V4(ScsSensor* s, ScsWitRequest* r) {
    return build(s, r, [r](ScsSensorDevice*) {
        const auto a = scsargs::read<scsargs::DecVerify>(r);
        return scswire::decVerifyTemplateData(a.data, a.length, a.second, a.secondLength, a.value);
    });
}

TcsResult scsSensorSendGetAuthData_V4(ScsSensor* s, ScsWitRequest* r) {
    return build(s, r, [r](ScsSensorDevice*) {
        const auto a = scsargs::read<scsargs::GetAuthData>(r);
        return scswire::getAuthData(a.a, a.aLength, a.b, a.bLength);
    });
}

// Commands the firmware has no support for: refused, nothing sent.
TcsResult scsSensorSendInplacePatch_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendGetCFGTSBL_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendSPIFlash_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendSetLEDStateEx2_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendTakeOwnershipWithKeysEx_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendGetCertificateEx_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendStorageInfoGet_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendStoragePartFormat_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendStoragePartRead_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendStoragePartWrite_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendStorageFWPartValidate_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendStorageFWPartInfoGet_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendDbInfoGet_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendDbObjectCreate_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendDbObjectDelete_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendDbObjectInfoGet_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendDbObjectDataGet_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendDbObjectRestore_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendDbUserInfoGet_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendDbSystemParamGet_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendDbSystemParamSet_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }
TcsResult scsSensorSendDbContainerInfoGet_V4(ScsSensor* s, ScsWitRequest* r) { return refused(s, r); }

TcsResult scsSensorHarlokCalGetWoeSetupEx(ScsSensor* s, uint8_t** outSetup, uint32_t* outLength, uint32_t selector,
                                          uint32_t* outAdjusted) {
    if (s == nullptr || outSetup == nullptr || outLength == nullptr) return TCS_RESULT_INVALID;
    ScsSensorDevice* device = nullptr;
    const TcsResult acquired = scsSensorDeviceAcquire(s, &device);
    if (acquired != TCS_RESULT_OK) return acquired;
    const TcsResult result = scsHarlokCalGetWoeSetup(device, outSetup, outLength, selector, outAdjusted);
    scsSensorDeviceRelease(device);
    return result;
}

TcsResult scsSensorHarlokCalGetWoeSetup(ScsSensor* s, uint8_t** outSetup, uint32_t* outLength, uint32_t selector) {
    return scsSensorHarlokCalGetWoeSetupEx(s, outSetup, outLength, selector, nullptr);
}

TcsResult scsSensorParseReply_V4(ScsSensorDevice* device, uint8_t* request, uint8_t* reply, uint32_t length,
                                 ScsReply callback, void* context) {
    if (request == nullptr || reply == nullptr || callback == nullptr) return TCS_RESULT_BAD_PARAM;
    const scswire::SplitReply split = scswire::splitReply(request[0], reply, length);
    ScsReplyView view{split.length, const_cast<uint8_t*>(split.payload)};
    callback(&view, scswire::mapFirmwareStatus(split.status), context);
    scsSensorSignalWorkToDo(device);
    return TCS_RESULT_OK;
}

}  // extern "C"
