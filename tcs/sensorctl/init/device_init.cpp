// Device initialisation: the outer machine (private client and handle, system events) and the step
// machine that walks the full or fast step table one step per service visit.
//
// Steps run their sensor commands through the synchronous calls, which pump the device's own
// queues when called on the service thread; only the private client, the private handle and the
// calibration item complete asynchronously.
#include "tcs/sensorctl/init/device_init.h"

#include "platform/usb_ids.h"
#include "tcs/flashfs/xtfs.h"
#include "tcs/sensorctl/protocol/config_lookup.h"
#include "tcs/sensorctl/secure/data_slots.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/patches.h"
#include "tcs/sensorctl/protocol/print_defaults.h"
#include "tcs/sensorctl/protocol/properties.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/ownership/secure_storage.h"
#include "tcs/sensorctl/secure/security.h"
#include "tcs/sensorctl/secure/ssl_session.h"
#include "tcs/sensorctl/protocol/wire_builders.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<uint32_t> gInitHeld{0};

constexpr uint32_t kServiceVisit = TCS_RESULT_SERVICE;
constexpr uint32_t kDataBufferSize = 6400;
constexpr uint32_t kBusyPauseMs = 11;
constexpr uint32_t kPatchRetryLimit = 100;
// Patch kind bits asked for by the patch steps.
constexpr uint32_t kInitPatchKind = 0x4000;
constexpr uint32_t kStepEnd = 34;
constexpr uint32_t kInitCalibrationKind = 2;

constexpr TcsResult kClientNotFound = 226;
constexpr TcsResult kReadyVariant2 = 529;
constexpr TcsResult kVariantNotReported = 530;
constexpr TcsResult kSslFatal = 1062;
constexpr TcsResult kRecoveryReady = 101;
constexpr uint8_t kRecoveryAfterSelectiveSuspend = 1;
constexpr uint8_t kRecoveryAfterResume = 2;

constexpr uint32_t kFlagReadyWithoutSteps = 0x80000000u;
constexpr uint32_t kFlagSkipLock = 0x00100000u;
constexpr uint32_t kFlagNoSecureSession = 0x00000100u;
constexpr uint32_t kFlagNoCalibration = 0x04000000u;

constexpr const char* kProductSection = "SOFTWARE\\Tovantic\\tfs530";
constexpr const char* kResetLogSection = "SOFTWARE\\Tovantic\\tfs530\\ResetLog";

const int32_t kStepsInitFull[] = {0,  1,  2,  3,  4,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17,
                                  18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34};
const int32_t kStepsInitFast[] = {4, 5, 14, 16, 29, 33, 34};

enum StepStatus : uint32_t { kRunning = 0, kDone = 1, kBusy = 3, kFailed = 4, kInsecure = 5 };

struct CompletionContext {
    ScsSensorDevice* device;  // cleared when a cancel orphans the context
    ScsClient* client;
    ScsSubsystem* subsystem;
};

struct DeviceInitRecord {
    ScsClient* client;
    ScsSensor* sensor;
    uint32_t success;
    uint32_t phase;
    uint32_t stepStatus;
    CompletionContext* pending;
    uint32_t requestPending;
    uint8_t* buffer;
    uint32_t bufferSize;
    uint32_t stopTick;
    const int32_t* table;
    uint32_t stepIndex;
    uint32_t restartIndex;
    int32_t lastVisited;  // -1 before the first visit
    uint32_t patchRetries;
    uint32_t variantRetries;
    uint32_t afterTakeOwner;
    uint32_t rawPartitionPresent;
    uint32_t calibrationQueued;
    uint32_t calibrationDone;
    TcsResult calibrationStatus;
};

DeviceInitRecord* recordOf(ScsSensorDevice* device) { return static_cast<DeviceInitRecord*>(device->initRecord); }

bool cancelRequested(const ScsSensorDevice* device) {
    return device->initCancelMode == 1 || device->initCancelMode == 2;
}

uint32_t variantOf(ScsSensorDevice* device) {
    scsproto::DeviceState* state = scsproto::stateOf(device);
    return state != nullptr ? state->variant : 0;
}

void setVariant(ScsSensorDevice* device, uint32_t variant) {
    if (scsproto::DeviceState* state = scsproto::stateOf(device)) state->variant = variant;
    scsSSLDeriveSecurityFlags(device, variant);
}

bool isSecureVariant(uint32_t v) { return v == 3 || v == 5 || v == 6 || v == 7; }

bool fwIs(const ScsSensorDevice* device, uint8_t major, uint8_t minor) {
    return device->fwVersion != nullptr && device->fwVersion->major == major && device->fwVersion->minor == minor;
}
bool fw440or460(const ScsSensorDevice* device) { return fwIs(device, 4, 40) || fwIs(device, 4, 60); }

// The version record's variant byte (the u8 at payload offset 22).
uint8_t variantByte(const ScsSensorDevice* device) { return device->fwVersion != nullptr ? device->fwVersion->byte22 : 0; }

// Variant 5 or 2 from the variant byte, else the variant the USB descriptor gave stays.
void takeVariantByte(ScsSensorDevice* device) {
    const uint8_t low = variantByte(device) & 0x0F;
    if (low == 5 || low == 2) setVariant(device, low);
}

void raiseSystemEvent(ScsSubsystem* subsystem, uint32_t id, uint32_t status, void* data, uint32_t size) {
    EventRecord event{id, status, size, data};
    scsSystemEventPerformCallback(subsystem, &event);
}

void raiseWithName(ScsSensorDevice* device, uint32_t id, uint32_t status) {
    if (device->name == nullptr) return;
    raiseSystemEvent(device->subsystem, id, status, device->name, palStrlen(device->name) + 1);
}

void freeRecord(ScsSensorDevice* device) {
    DeviceInitRecord* record = recordOf(device);
    if (record == nullptr) return;
    palRealFree(record->buffer);
    palRealFree(record);
    device->initRecord = nullptr;
}

TcsResult noopFpBuffer(void*, TcsResult, uint8_t*, uint32_t, void*) { return TCS_RESULT_OK; }

TcsResult emptyCallback(void*, TcsResult, void*) { return TCS_RESULT_OK; }

// --- Step machine ------------------------------------------------------------------------------------------

enum class Outcome { Advance, Stay, Fail, Insecure };

Outcome failIf(TcsResult result) { return result == TCS_RESULT_OK ? Outcome::Advance : Outcome::Fail; }

// Reads the power-up baseline and, when it checks out, keeps the processed line as the device's
// baseline information (which also makes later initialisations skip the capture). An invalid
// baseline is not a failure: the device simply has none.
TcsResult storePowerUpBaseline(ScsSensorDevice* device, ScsSensor* sensor) {
    ScsBaselineRecord captured{};
    TcsResult result = scsSesnorGetBaselineData(sensor, &captured);
    if (result != TCS_RESULT_OK) return result;
    ScsBaseLineImage line{};
    result = scsSensorValidateAndProcessBaseLineData(sensor, &captured, &line);
    palRealFree(captured.data);
    if (result != TCS_RESULT_OK || line.pixels == nullptr) return result;
    auto* info = static_cast<ScsBaseLineInfo*>(palRealMalloc(sizeof(ScsBaseLineInfo)));
    if (info == nullptr) {
        palRealFree(line.pixels);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    *info = ScsBaseLineInfo{};
    info->images[0] = line;
    device->baselineInfo = info;
    return TCS_RESULT_OK;
}

Outcome stepGetVersion(ScsSensorDevice* device, ScsSensor* sensor, DeviceInitRecord* record) {
    char text[SCS_VERSION_TEXT_SIZE];
    // The first version reply starts the device's protocol state afresh: keep the variant the USB
    // descriptor gave.
    const uint32_t descriptorVariant = variantOf(device);
    TcsResult result = scsSensorGetVersion(sensor, text);
    if (variantOf(device) != descriptorVariant) setVariant(device, descriptorVariant);
    if (result == TCS_RESULT_OK) {
        if (device->fwVersion == nullptr) {
            result = TCS_RESULT_NULL_POINTER;
        } else if (device->fwVersion->romFlag != 1) {
            result = TCS_RESULT_BAD_PARAM;
        }
    }
    if (result == TCS_RESULT_OK && device->productFamily == SCS_FAMILY_4) {
        const uint32_t low = variantByte(device) & 0x0F;
        if (low == 2 || low == 5 || low == 6 || low == 7) setVariant(device, low);
    }
    if (result == TCS_RESULT_OK && fw440or460(device)) {
        if (variantByte(device) == 0) {
            result = kVariantNotReported;
        } else {
            takeVariantByte(device);
        }
    }
    if (result == kVariantNotReported) {
        if (device->transportValue1 == TOV_USB_PID_VARIANT0_ALLOWED) return Outcome::Advance;
        // Asking again for ever hangs a sensor whose firmware never reports the byte: after the
        // patch-retry limit it keeps the variant its USB descriptor gave.
        if (++record->variantRetries < kPatchRetryLimit) return Outcome::Stay;
        return Outcome::Advance;
    }
    if (result == TCS_RESULT_OK) scsSSLDeriveSecurityFlags(device, variantOf(device));
    return failIf(result);
}

Outcome stepSettings(ScsSensorDevice* device) {
    uint32_t reset = 1;
    uint32_t esd = 1;
    if (palGetPersistentDataLongValue(kProductSection, "enableResetRecovery", 1, &reset) != TCS_RESULT_OK) reset = 1;
    if (palGetPersistentDataLongValue(kProductSection, "enableESDRecovery", 1, &esd) != TCS_RESULT_OK) esd = 1;
    device->resetRecoverySaved = reset;
    device->esdRecoverySaved = esd;
    if (!device->subsystem->resetRecoveryOff) device->resetRecovery = reset;
    if (!device->subsystem->esdRecoveryOff) device->esdRecovery = esd;
    return Outcome::Advance;
}

void appendResetLog(uint8_t startType, uint8_t resetType, uint32_t startStatus) {
    uint32_t enable = 0;
    if (palGetPersistentDataLongValue(kResetLogSection, "Enable", 0, &enable) != TCS_RESULT_OK || enable != 1) return;
    char path[260] = {};
    uint32_t size = sizeof path;
    if (palGetPersistentDataStringValue(kResetLogSection, "FilePath", "", 1, path, &size) != TCS_RESULT_OK ||
        path[0] == '\0') {
        return;
    }
    FILE* file = palFileOpen(path, "a");
    if (file == nullptr) return;
    char when[64] = {};
    palGetDateTimeString(when, sizeof when, 0);
    palFprintf(file, "Time: %s\nstart_type = %d \n reset_type = %d \n start_status = 0x%08lx\n\n", when, int(startType),
               int(resetType), static_cast<unsigned long>(startStatus));
    palFileClose(file);
}

Outcome stepStartInfo(ScsSensor* sensor) {
    uint8_t startType = 0, resetType = 0;
    uint32_t status = 0, word6 = 0, word10 = 0;
    uint8_t block[52];
    const TcsResult result = scsSensorGetStartInfo(sensor, &startType, &resetType, &status, &word6, &word10, block);
    if (result != TCS_RESULT_OK) return Outcome::Fail;
    appendResetLog(startType, resetType, status);
    return Outcome::Advance;
}

Outcome loadInitPatch(ScsSensorDevice* device, ScsSensor* sensor, DeviceInitRecord* record, bool retryable,
                      TcsResult* returned) {
    const void* const* list = nullptr;
    scsSensorFindPatchConfigList(device, &list);
    uint32_t loaded = 0;
    const TcsResult result = scsSensorLoadPatch(sensor, list, kInitPatchKind, 0, &loaded);
    if (scsproto::DeviceState* state = scsproto::stateOf(device)) state->hasLoadedPatch = false;
    if (retryable && (result == 373 || result == 389 || result == 512)) {
        if (++record->patchRetries <= kPatchRetryLimit) return Outcome::Stay;
        // Reported here and ended by the error returned: failing the step as well made the outer
        // machine raise event 4 and report the same malfunction a second time.
        scsProcessPnpAction(device->subsystem, 5, device->name, 0);
        *returned = result;
        return Outcome::Stay;
    }
    return result == TCS_RESULT_OK && loaded != 0 ? Outcome::Advance : Outcome::Fail;
}

Outcome stepFlashInfo(DeviceInitRecord* record, ScsSensor* sensor) {
    uint32_t capacity = 0;
    const TcsResult result = xtfsGetFlashInfo(sensor, &capacity);
    // 83 is a sensor without flash; flash services this build lacks (6) leave it the same.
    if (result == TCS_RESULT_OK || result == 83 || result == TCS_RESULT_NOT_IMPLEMENTED) return Outcome::Advance;
    if (result == 380 || result == TCS_RESULT_SENSOR_BUSY) {
        record->stepStatus = kBusy;
        record->stepIndex = 0;
        return Outcome::Stay;
    }
    return Outcome::Fail;
}

Outcome stepAfterTakeOwner(ScsSensorDevice* device, DeviceInitRecord* record) {
    if (device->fwVersion == nullptr) return Outcome::Fail;
    char section[128];
    const uint8_t* s = device->fwVersion->serial;
    snprintf(section, sizeof section, "%s\\%02X%02X%02X%02X%02X%02X", kProductSection, s[0], s[1], s[2], s[3], s[4],
             s[5]);
    const uint8_t none = 0;
    uint8_t value = 0;
    uint32_t count = 1;
    if (palGetPersistentDataBinaryValue(section, "AfterTakeOwner", &none, 1, &value, &count) != TCS_RESULT_OK) {
        return Outcome::Fail;
    }
    record->afterTakeOwner = value == 1 ? 1 : 0;
    return Outcome::Advance;
}

Outcome stepSecureSession(ScsSensorDevice* device, TcsResult* returned) {
    if (device->subsystem->startFlags & kFlagNoSecureSession) return Outcome::Insecure;
    const TcsResult result = scsSSLEstablishSession(nullptr, kServiceVisit, device);
    if (result == kSslFatal) {
        scsProcessPnpAction(device->subsystem, 5, device->name, 0);
        *returned = TCS_RESULT_INVALID;
        return Outcome::Stay;
    }
    if (result != TCS_RESULT_OK) return Outcome::Insecure;
    return scsSSLIsInSession(device) ? Outcome::Advance : Outcome::Stay;
}

TcsResult calibrationCallback(void*, TcsResult status, void* context) {
    auto* device = static_cast<ScsSensorDevice*>(context);
    DeviceInitRecord* record = device != nullptr ? recordOf(device) : nullptr;
    if (record != nullptr) {
        record->calibrationStatus = status;
        record->calibrationDone = 1;
    }
    return TCS_RESULT_OK;
}

Outcome stepCalibrate(ScsSensorDevice* device, DeviceInitRecord* record) {
    if (!record->calibrationQueued) {
        // The same test-and-set as a client's calibration, before the item is queued: a plain store
        // after it let a client that calibrated in between start too, and overwrote its kind. While
        // a client's calibration runs, this step waits for it to end.
        uint8_t none = 0;
        if (!__atomic_compare_exchange_n(&device->captureModeByte, &none, uint8_t(kInitCalibrationKind), false,
                                         __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            return Outcome::Stay;
        }
        const TcsResult queued =
            palWorkItemEnqueue(&device->subsystem->workList, scsWitIdSensorCalibrate, SCS_WIT_TIMEOUT_MS, record->sensor,
                               reinterpret_cast<uintptr_t>(&calibrationCallback), reinterpret_cast<uintptr_t>(device), 1,
                               nullptr);
        if (queued != TCS_RESULT_OK) {
            __atomic_store_n(&device->captureModeByte, uint8_t(0), __ATOMIC_RELEASE);
            return Outcome::Fail;
        }
        // The item runs on this thread after this visit and clears the kind when it ends; meanwhile
        // a calibration asked for by a client finds this one under way (46).
        record->calibrationQueued = 1;
        return Outcome::Stay;
    }
    if (!record->calibrationDone) return Outcome::Stay;
    return failIf(record->calibrationStatus);
}

// Steps 25 to 30 are skipped for firmware 4.40 and 4.60 unless the device is of variant 5.
bool skipsPrintSteps(ScsSensorDevice* device) { return fw440or460(device) && variantOf(device) != 5; }

bool isSkipped(int32_t step, ScsSensorDevice* device, DeviceInitRecord* record, bool fast) {
    const uint32_t variant = variantOf(device);
    const bool secure = isSecureVariant(variant);
    const bool after = record->afterTakeOwner != 0;
    const uint32_t flags = device->subsystem->startFlags;
    switch (step) {
        case 0: return fast;
        case 4: return (flags & kFlagSkipLock) != 0 || !fwIs(device, 4, 21);
        case 5: return !((fwIs(device, 4, 21) && variant == 3) || fw440or460(device));
        case 6:
            return !(fw440or460(device) && (variant == 2 || variant == 5) && device->fwVersion != nullptr &&
                     (device->fwVersion->flags & 2) != 0);
        case 7: return !(fwIs(device, 4, 40) || (device->fwVersion != nullptr && device->fwVersion->minor == 60));
        case 9: case 10: case 16: case 20: return !secure;
        case 11: return !secure || after;
        case 12: return variant != 5 || after;
        case 13: case 18: return variant != 5 || !after;
        case 17: case 22: return !secure || !after;
        case 19: return !after;
        case 21: return !record->rawPartitionPresent;
        case 24: return device->transportKind != 2;
        case 25: return skipsPrintSteps(device) || device->flexId != 0;
        case 26: case 27: return skipsPrintSteps(device);
        case 28: return skipsPrintSteps(device) || (flags & kFlagNoCalibration) != 0;
        case 29:
            return skipsPrintSteps(device) || (fast && device->suspendMode == kRecoveryAfterSelectiveSuspend) ||
                   device->woeType == 0 || (flags & kFlagNoCalibration) != 0;
        case 30:
            return skipsPrintSteps(device) || fast || (flags & kFlagNoCalibration) != 0 || device->baselineInfo != nullptr;
        default: return false;
    }
}

Outcome runStep(int32_t step, ScsSensorDevice* device, DeviceInitRecord* record, TcsResult* returned) {
    ScsSensor* sensor = record->sensor;
    switch (step) {
        case 0: return stepGetVersion(device, sensor, record);
        case 1: return stepSettings(device);
        case 2: return stepStartInfo(sensor);
        case 3: {
            const void* const* list = nullptr;
            scsSensorFindPatchConfigList(device, &list);
            device->patchConfigList = const_cast<void*>(static_cast<const void*>(list));
            return Outcome::Advance;
        }
        case 4: return failIf(scsSensorLock(sensor));
        case 5: return loadInitPatch(device, sensor, record, true, returned);
        case 6: return loadInitPatch(device, sensor, record, false, returned);
        case 7: {
            char text[SCS_VERSION_TEXT_SIZE];
            if (scsSensorGetVersion(sensor, text) != TCS_RESULT_OK) return Outcome::Fail;
            if (variantByte(device) == 0) {
                // Same bound as step 0: a firmware that never reports the byte must not hang here.
                return ++record->variantRetries < kPatchRetryLimit ? Outcome::Stay : Outcome::Advance;
            }
            takeVariantByte(device);
            return Outcome::Advance;
        }
        case 8: return stepFlashInfo(record, sensor);
        case 9: return stepAfterTakeOwner(device, record);
        case 10: {
            uint32_t capacity = 0;
            // Without the flash services in this build (6) the raw partition cannot be read: the
            // sensor is still usable, without a secure session.
            if (xtfsGetFlashInfo(sensor, &capacity) == TCS_RESULT_NOT_IMPLEMENTED) return Outcome::Insecure;
            if (capacity == 0) return Outcome::Fail;
            uint32_t found = 0;
            const TcsResult result = scsDeSerializeRawPartition(sensor, &found);
            if (result != TCS_RESULT_OK) return Outcome::Insecure;
            record->rawPartitionPresent = found ? 1 : 0;
            return Outcome::Advance;
        }
        case 11: {
            uint32_t damaged = 0;
            if (VerifyRAWPartitionIntegrity(sensor, &damaged) != TCS_RESULT_OK) return Outcome::Insecure;
            if (damaged) {
                xtfsStorageClose(sensor, XTFS_PART_RAW);
                return Outcome::Insecure;
            }
            return Outcome::Advance;
        }
        case 12: {
            uint8_t slot[20];
            return scsGetDataFromStorage(device, 14, 1, 0, sizeof slot, slot) == TCS_RESULT_OK ? Outcome::Advance
                                                                                                : Outcome::Insecure;
        }
        case 13: {
            uint32_t length = 0, second = 0;
            uint8_t certificate[256], signature[256];
            const TcsResult result = GetSensorCertificate(sensor, &length, &second, certificate, signature);
            if (result == TCS_RESULT_SENSOR_CMD_DENIED) return Outcome::Advance;
            if (result != TCS_RESULT_OK) return Outcome::Insecure;
            // On the sensor's flash, where the handshake reads the sensor certificate back.
            if (scsStoreDataInStorage(device, 10, 1, 0, 256, certificate) != TCS_RESULT_OK ||
                scsStoreDataInStorage(device, 11, 1, 0, 256, signature) != TCS_RESULT_OK) {
                return Outcome::Insecure;
            }
            return Outcome::Advance;
        }
        case 14: case 31: return failIf(scsDownloadRunPatch(sensor));
        case 15: {
            char text[SCS_VERSION_TEXT_SIZE];
            return failIf(scsSensorGetVersion(sensor, text));
        }
        case 16: return stepSecureSession(device, returned);
        case 17: return EraseFlash(sensor) == TCS_RESULT_OK ? Outcome::Advance : Outcome::Insecure;
        case 18: {
            uint32_t wrapped = 0;
            if (xtfsGenFSSEncKey(sensor, 32, nullptr, &wrapped) != TCS_RESULT_OK || wrapped == 0) return Outcome::Fail;
            auto* key = static_cast<uint8_t*>(palRealMalloc(wrapped));
            if (key == nullptr) {
                *returned = TCS_RESULT_OUT_OF_MEMORY;
                return Outcome::Fail;
            }
            TcsResult result = xtfsGenFSSEncKey(sensor, 32, key, &wrapped);
            if (result == TCS_RESULT_OK) result = scsStoreDataInStorage(device, 8, 1, 0, wrapped, key);
            palRealFree(key);
            return failIf(result);
        }
        case 19: {
            uint8_t hash[20];
            return failIf(CalculateRAWPartitionHash(sensor, hash, 1));
        }
        case 20:
            if (!scsSSLIsInSession(device)) return Outcome::Insecure;
            if (record->rawPartitionPresent && scsSerializeRawPartition(sensor, SCS_RAW_SAVE_PROGRAM) == TCS_RESULT_OK) {
                scsDeleteRawPartitionFromPersistentStorage(sensor);
            }
            return Outcome::Advance;
        case 21:
            xtfsStorageClose(sensor, XTFS_PART_RAW);
            return failIf(xtfsStorageOpen(sensor, XTFS_PART_RAW, 0, nullptr));
        case 22:
            // A sensor without an image file to load still comes up: the image is optional.
            xtfsStorageOpen(sensor, XTFS_PART_IMAGE, 0, nullptr);
            if (LoadEFIToFlash(sensor) == TCS_RESULT_OK) {
                device->preBootImageLoaded = 1;
                // The image just written is the device's pre-boot image information: the update an
                // authentication arms checks it against the host's file from now on.
                uint32_t size = 0, resource = 0;
                if (scsGetEFIResourceIdAndSize(sensor, &size, &resource) == TCS_RESULT_OK) {
                    device->preBootImage[0] = size;
                    device->preBootImage[1] = resource;
                }
            }
            xtfsStorageClose(sensor, XTFS_PART_IMAGE);
            return Outcome::Advance;
        case 23:
            if (scsSensorFpBufferingIsFeatureSupported(sensor) == 1) xtfsStorageOpen(sensor, XTFS_PART_FP_BUFFER, 0, nullptr);
            return Outcome::Advance;
        case 24: {
            uint16_t on = 0xFFFF, off = 0;
            if (scsSensorSend(device, 0x823, &on, sizeof on, nullptr, 0, nullptr, nullptr) != TCS_RESULT_OK ||
                scsSensorSetRefClock(sensor, 12000000, 144000000, 20000, 39321856, 6428804) != TCS_RESULT_OK ||
                scsSensorSend(device, 0x823, &off, sizeof off, nullptr, 0, nullptr, nullptr) != TCS_RESULT_OK) {
                return Outcome::Fail;
            }
            return Outcome::Advance;
        }
        case 25: {
            ScsFlexIdContext flex{sensor, nullptr, 0, &scsHarlokProcessFlexIdData};
            return failIf(scsDetermineFlexId(device->subsystem, &flex));
        }
        case 26: return failIf(scsSensorSetDefaultPrintConfiguration(sensor));
        case 27: {
            const void* const* list = nullptr;
            scsSensorFindWoeConfigList(device, &list);
            if (const ConfigDescriptor* entry = scsHarlokFindWoeConfig(device, list)) device->woeConfig = entry;
            return Outcome::Advance;
        }
        case 28: return stepCalibrate(device, record);
        case 29: return failIf(_scsSensorHarlokWOESetup(sensor));
        case 30: return failIf(storePowerUpBaseline(device, sensor));
        case 32: {
            char text[SCS_VERSION_TEXT_SIZE];
            scsSensorFormatVersionString(device, text);
            ScsSensorUid uid;
            scsSensorGetCachedUID(sensor, &uid);
            return Outcome::Advance;
        }
        case 33: record->stepStatus = kDone; return Outcome::Stay;
        default: return Outcome::Advance;
    }
}

TcsResult scsHarlokDeviceInit(ScsSensorDevice* device) {
    DeviceInitRecord* record = recordOf(device);
    if (record == nullptr) return TCS_RESULT_BAD_PARAM;
    if (record->stepIndex == 0 || record->table == nullptr) {
        record->table = device->initialisedOnce ? kStepsInitFast : kStepsInitFull;
        record->restartIndex = 1;
    }
    const int32_t step = record->table[record->stepIndex];
    if (cancelRequested(device)) {
        // Work the step left running is brought to its end before the machine stops.
        if (step == 28 && record->calibrationQueued && !record->calibrationDone) {
            scsProcessTaskUntilCompleted(device->subsystem, scsWitIdSensorCalibrate, calibrationCallback, device);
        }
        if (step == 16) scsSSLEstablishSession(nullptr, kServiceVisit, device);
        device->initCancelMode = 3;
        record->stepStatus = kFailed;
        return TCS_RESULT_OK;
    }
    record->lastVisited = step;
    if (step == int32_t(kStepEnd)) {
        record->stepStatus = kDone;
        return TCS_RESULT_OK;
    }
    const bool fast = record->table == kStepsInitFast;
    if (isSkipped(step, device, record, fast)) {
        ++record->stepIndex;
        return TCS_RESULT_OK;
    }
    TcsResult returned = TCS_RESULT_OK;
    switch (runStep(step, device, record, &returned)) {
        case Outcome::Advance: ++record->stepIndex; break;
        case Outcome::Stay: break;
        case Outcome::Fail:
            record->stepStatus = kFailed;
            record->stepIndex = record->restartIndex;
            break;
        case Outcome::Insecure: record->stepStatus = kInsecure; break;
    }
    return returned;
}

// --- Outer machine -------------------------------------------------------------------------------------------

TcsResult sendClientDestroy(ScsSubsystem* subsystem, ScsClient* client, ScsCallback callback) {
    if (subsystem == nullptr || client == nullptr) return kClientNotFound;
    TcsResult result = kClientNotFound;
    scsLock(subsystem->clientListLock);
    for (PalListEntry* node = subsystem->clients.next; node != &subsystem->clients; node = node->next) {
        if (PAL_LIST_RECORD(node, ScsClient, links) == client) {
            result = scsClientSendDestroy(client, callback, nullptr);
            break;
        }
    }
    scsUnlock(subsystem->clientListLock);
    return result;
}

CompletionContext* newContext(ScsSensorDevice* device, DeviceInitRecord* record) {
    auto* context = static_cast<CompletionContext*>(palRealMalloc(sizeof(CompletionContext)));
    if (context == nullptr) return nullptr;
    *context = {device, record->client, device->subsystem};
    record->pending = context;
    record->requestPending = 1;
    return context;
}

void finishInitialisation(ScsSensorDevice* device, DeviceInitRecord* record) {
    ScsSubsystem* subsystem = device->subsystem;
    // The kind of initialisation is the device's suspend mode: 1 after a recovery from selective
    // suspend, 2 after a system resume. (Its after-recovery flag belongs to the capture path.)
    const uint8_t recovery = device->suspendMode;
    char id[256];
    const bool haveId = scsSensorDeviceGetSensorId(device, id, sizeof id) == TCS_RESULT_OK;
    if (!cancelRequested(device) && device->initCancelMode != 3) {
        if (haveId && record->success) {
            uint32_t active = 0;
            scsLock(subsystem->deviceListLock);
            palListRemove(&device->links);
            palListInsertHead(&subsystem->activeDevices, &device->links);
            for (PalListEntry* n = subsystem->activeDevices.next; n != &subsystem->activeDevices; n = n->next) ++active;
            scsUnlock(subsystem->deviceListLock);
            if (recovery == kRecoveryAfterSelectiveSuspend) {
                raiseWithName(device, kRecoveryReady, TCS_RESULT_OK);
            } else {
                device->initialisedOnce = 1;
                // The handles that a suspend unbound work on the device again.
                if (recovery == kRecoveryAfterResume) scsResumeRecovery(subsystem, device->name);
                if (!scsIsSuspended(subsystem)) {
                    TcsResult status = TCS_RESULT_OK;
                    if (variantOf(device) == 2) {
                        status = kReadyVariant2;
                    } else if (record->stepStatus == kInsecure) {
                        status = TCS_RESULT_READY_NO_SECURE_SESSION;
                    }
                    raiseWithName(device, 3, status);
                    if (palPnpGetDeviceCount(subsystem->pnp) == active) {
                        uint32_t count = active;
                        raiseSystemEvent(subsystem, 9, 0, &count, sizeof count);
                    }
                }
            }
        } else {
            if (recovery == 0) raiseWithName(device, 4, TCS_RESULT_OK);
            scsProcessPnpAction(subsystem, 5, device->name, 0);
        }
    }
    device->suspendMode = 0;
    freeRecord(device);
}

}  // namespace

extern "C" {

TcsResult scsDeviceInitCallback(void* handle, TcsResult status, void* context) {
    auto* completion = static_cast<CompletionContext*>(context);
    if (completion == nullptr) return TCS_RESULT_NULL_POINTER;
    if (completion->device == nullptr) {
        // Orphaned by a cancel: the client this request made (or was made for) is ours to destroy.
        TcsResult result = TCS_RESULT_OK;
        ScsClient* client = completion->client;
        if (client == nullptr && status == TCS_RESULT_OK) client = static_cast<ScsClient*>(handle);
        if (client != nullptr) result = sendClientDestroy(completion->subsystem, client, emptyCallback);
        if (completion->client == nullptr && status != TCS_RESULT_OK) result = status;
        palRealFree(completion);
        return result;
    }
    ScsSensorDevice* device = completion->device;
    DeviceInitRecord* record = recordOf(device);
    if (record != nullptr && record->pending == completion) record->pending = nullptr;
    palRealFree(completion);
    return scsDeviceInit(handle, status, device);
}

TcsResult scsDeviceInit(void* handle, TcsResult status, ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_BAD_PARAM;
    DeviceInitRecord* record = recordOf(device);
    if (record == nullptr) return TCS_RESULT_BAD_PARAM;
    if (handle == nullptr && status == TCS_RESULT_SENSOR_NOT_FOUND) return TCS_RESULT_BAD_PARAM;
    bool completion = status != kServiceVisit;
    if (completion) record->requestPending = 0;

    if (cancelRequested(device) && !completion) {
        if (record->requestPending) {
            if (record->phase == 1 || record->phase == 2) {
                if (record->pending != nullptr) record->pending->device = nullptr;
                freeRecord(device);
                device->initCancelMode = 3;
            }
            return TCS_RESULT_OK;
        }
        if (record->phase != 3) {
            record->success = 0;
            device->initCancelMode = 3;
            record->phase = 4;
        }
    } else if (record->requestPending && !completion) {
        return TCS_RESULT_OK;
    }

    for (;;) {
        switch (record->phase) {
            case 0:
                if (device->suspendMode != kRecoveryAfterResume && !scsIsSuspended(device->subsystem) &&
                    !device->announced) {
                    raiseWithName(device, 2, TCS_RESULT_OK);
                }
                device->announced = 1;
                record->phase = 1;
                [[fallthrough]];
            case 1: {
                if (completion) {
                    completion = false;
                    if (status == TCS_RESULT_OK && handle != nullptr) {
                        record->client = static_cast<ScsClient*>(handle);
                        record->phase = 2;
                        break;
                    }
                    // The next service pass starts again.
                    freeRecord(device);
                    return TCS_RESULT_OK;
                }
                CompletionContext* context = newContext(device, record);
                if (context == nullptr ||
                    scsClientSendCreate(device->subsystem, scsDeviceInitCallback, context) != TCS_RESULT_OK) {
                    palRealFree(context);
                    freeRecord(device);
                }
                return TCS_RESULT_OK;
            }
            case 2: {
                if (completion) {
                    completion = false;
                    if (status != TCS_RESULT_OK || handle == nullptr) {
                        record->phase = 4;
                        break;
                    }
                    record->sensor = static_cast<ScsSensor*>(handle);
                    if (device->subsystem->startFlags & kFlagReadyWithoutSteps) {
                        record->success = 1;
                        record->phase = 4;
                        break;
                    }
                    record->phase = 3;
                    return TCS_RESULT_OK;
                }
                CompletionContext* context = newContext(device, record);
                if (context == nullptr ||
                    scsSensorSendOpen(record->client, device->name, scsDeviceInitCallback, context) != TCS_RESULT_OK) {
                    palRealFree(context);
                    record->pending = nullptr;
                    record->requestPending = 0;
                    record->phase = 4;
                    break;
                }
                return TCS_RESULT_OK;
            }
            case 3: {
                const TcsResult result = scsHarlokDeviceInit(device);
                if (result != TCS_RESULT_OK) return result;
                switch (record->stepStatus) {
                    case kRunning: return TCS_RESULT_OK;
                    case kDone:
                    case kInsecure:
                        record->success = 1;
                        record->phase = 4;
                        break;
                    case kBusy: record->phase = 6; return TCS_RESULT_OK;
                    default: record->phase = 4; break;
                }
                break;
            }
            case 4:
                if (sendClientDestroy(device->subsystem, record->client, emptyCallback) != TCS_RESULT_OK) {
                    freeRecord(device);
                    return TCS_RESULT_OK;
                }
                record->client = nullptr;
                record->phase = 5;
                [[fallthrough]];
            case 5:
                finishInitialisation(device, record);
                return TCS_RESULT_OK;
            case 6: {
                if (record->buffer == nullptr) {
                    record->buffer = static_cast<uint8_t*>(palRealMalloc(kDataBufferSize));
                    record->bufferSize = kDataBufferSize;
                }
                TcsResult result = record->buffer != nullptr ? scsQueueFpBufferDescriptor(device, record->buffer,
                                                                                          record->bufferSize,
                                                                                          noopFpBuffer, nullptr)
                                                             : TcsResult(TCS_RESULT_OUT_OF_MEMORY);
                if (result == TCS_RESULT_OK) result = scsSensorAbortFingerprint(record->sensor);
                if (result != TCS_RESULT_OK) {
                    record->stepStatus = result;
                    record->phase = 4;
                    break;
                }
                record->stopTick = palGetTickCount();
                record->phase = 7;
                return TCS_RESULT_OK;
            }
            case 7:
                if (palGetTickCount() - record->stopTick < kBusyPauseMs) return TCS_RESULT_OK;
                record->stepStatus = kRunning;
                record->phase = 3;
                return TCS_RESULT_OK;
            default: record->phase = 4; break;
        }
    }
}

TcsResult scsGetDeviceInfo(ScsSensorDevice* device, uint8_t* out23) {
    if (device == nullptr || out23 == nullptr) return TCS_RESULT_NULL_POINTER;
    uint32_t returned = 0;
    const TcsResult result = scsSensorSend(device, 0x820, nullptr, 0, out23, 23, &returned, nullptr);
    if (result != TCS_RESULT_OK) return result;
    if (returned < 23) return TCS_RESULT_ERROR;
    if (out23[20] != TOV_USB_SUBCLASS_HIGH && (device->name == nullptr || strstr(device->name, "tcp") == nullptr)) {
        return TCS_RESULT_ERROR;
    }
    return TCS_RESULT_OK;
}

TcsResult scsSensorDeviceFirstTimeInit(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_BAD_PARAM;
    uint8_t info[23] = {};
    const TcsResult result = scsGetDeviceInfo(device, info);
    if (result != TCS_RESULT_OK) {
        raiseWithName(device, 4, TCS_RESULT_OK);
        scsProcessPnpAction(device->subsystem, 5, device->name, 0);
        return result;
    }
    device->replyParser = scsSensorParseReply_V4;
    uint16_t product = 0, vendor = 0;
    memcpy(&product, info + 16, 2);
    memcpy(&vendor, info + 18, 2);
    product = palSensorToHost16(product);
    vendor = palSensorToHost16(vendor);
    device->productFamily = scsSensorGetProductFamilyByPid(product);
    device->transportValue1 = product;
    device->transportValue2 = vendor;
    device->transportValue3 = info[20];
    device->transportKind = info[22];
    scsproto::DeviceState* state = scsproto::stateOf(device);
    if (state != nullptr && device->productFamily == SCS_FAMILY_2) state->selkin = true;
    const uint32_t variant = info[21] & 0x0F;
    setVariant(device, variant == 2 || variant == 3 || variant == 4 || variant == 5 ? variant : 0);
    device->patchSignatureCaching = 1;
    if (state != nullptr) memset(state->pendingSignature, 0xFF, sizeof state->pendingSignature);
    return TCS_RESULT_OK;
}

TcsResult scsSensorDeviceInit(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_BAD_PARAM;
    const uint32_t held = gInitHeld.load();
    if (held == 1 || (held == 2 && device->initRecord != nullptr)) return TCS_RESULT_OK;
    // The steps' synchronous commands pump the device themselves only once they know they run on
    // the service thread; before the stack has handed its identity over they would queue their
    // work for this very thread and wait for it until they time out.
    const ScsSubsystem* subsystem = device->subsystem;
    if (subsystem != nullptr && (subsystem->startFlags & SCS_START_NO_SERVICE_THREAD) == 0 &&
        !scsServiceThreadKnown(subsystem)) {
        return TCS_RESULT_OK;
    }
    if (device->initRecord == nullptr) {
        if (!device->initialisedOnce) {
            const TcsResult result = scsSensorDeviceFirstTimeInit(device);
            if (result != TCS_RESULT_OK) return result;
        }
        if (scsproto::DeviceState* state = scsproto::stateOf(device)) state->hasLoadedPatch = false;
        scsDataSlotForgetDevice(device);
        device->captureState = 0;
        device->requestHold = 0;
        device->fpHostBuffered = 0;
        auto* record = static_cast<DeviceInitRecord*>(palRealMalloc(sizeof(DeviceInitRecord)));
        if (record == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        memset(record, 0, sizeof *record);
        record->lastVisited = -1;
        record->restartIndex = 1;
        device->initRecord = record;
        device->initCancelMode = 0;
    }
    const TcsResult result = scsDeviceInit(nullptr, kServiceVisit, device);
    if (result != TCS_RESULT_OK) freeRecord(device);
    return result;
}

TcsResult scsCancelDeviceInitialization(ScsSensorDevice* device, uint32_t mode) {
    if (device == nullptr || device->initRecord == nullptr) return TCS_RESULT_BAD_PARAM;
    device->initCancelMode = mode != 0 ? 1 : 2;
    while (device->initRecord != nullptr) {
        scsDeviceInit(nullptr, kServiceVisit, device);
        scsProcessReplyQueue(device);
    }
    device->initCancelMode = 0;
    return TCS_RESULT_OK;
}

void scsTestHoldDeviceInit(uint32_t held) { gInitHeld.store(held); }

void scsSensorDeviceFreeInitRecord(ScsSensorDevice* device) {
    if (device != nullptr) freeRecord(device);
}

}  // extern "C"
