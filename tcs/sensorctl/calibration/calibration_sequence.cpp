// Calibration sequence of product families 1 and 2, run one step per visit of work item 63, and the
// calibration results' persistence under the sensor's settings section.
#include "tcs/sensorctl/calibration/calibration.h"
#include "tcs/sensorctl/protocol/patches.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/engine/scs_internal.h"

namespace {

constexpr const char* kProductSection = "SOFTWARE\\Tovantic\\tfs530";
constexpr uint32_t kFpCancelWaitMs = 2000;
constexpr TcsResult kStepAgain = 223;

// Sub-states of the sequence.
enum : uint64_t {
    kStart = 0,
    kPatch = 1,
    kWoeOnly = 2,
    kFirstSweep = 3,  // 3..9: one sweep each
    kWoeSweep = 9,
    kWoeTiming = 10,
    kRunPatch = 11,
    kStore = 12,
    kFinish = 13,
    kFailed = 14,
    kRecover = 15,
};

// Progress kept in the item's spare word: failure flags and the running step's attempt count.
constexpr uint64_t kGeneralFailed = 1u << 0;
constexpr uint64_t kWoeFailed = 1u << 1;
constexpr int kAttemptShift = 16;

struct Sweep {
    uint32_t block;
    TcsResult (*evaluate)(ScsSensorDevice* device);
};
// Steps 3 to 9 in order.
constexpr Sweep kSweeps[7] = {
    {SCS_CAL_BLOCK_COMMDET, scsHarlokCalCommDet},     {SCS_CAL_BLOCK_PGA_OFFSET, scsHarlokCalPgaOffset},
    {SCS_CAL_BLOCK_ADC, scsHarlokCalAdc},             {SCS_CAL_BLOCK_ASP_LNA1, scsHarlokCalAspLna1},
    {SCS_CAL_BLOCK_ASP_PGA1, scsHarlokCalAspPga1},    {SCS_CAL_BLOCK_PGA_GAIN, scsHarlokCalPgaGain},
    {SCS_CAL_BLOCK_WOE, scsHarlokCalWoe},
};

bool supportsWoe(const ScsSensorDevice* device) { return device->woeType != 0; }

bool cancellingInit(const ScsSensorDevice* device) {
    return device->initCancelMode == 1 || device->initCancelMode == 2 || device->initCancelMode == 3;
}

void copyWoeTiming(ScsSensorDevice* device) {
    uint32_t first = 0;
    uint32_t second = 0;
    if (scsHarlokCalGetWoeValues(device, &first, &second) != TCS_RESULT_OK) return;
    device->woeTiming[0] = first;
    device->woeTiming[1] = first;
    device->woeTiming[2] = second;
    device->woeTiming[3] = second;
}

// This platform gives sensors no settings section of their own (the look-up reports 6), so nothing
// is stored or loaded under one.
TcsResult sensorSection(const ScsSensorDevice* device, char* section, uint32_t size) {
    (void)device;
    (void)section;
    (void)size;
    return TCS_RESULT_NOT_IMPLEMENTED;
}

}  // namespace

TcsResult StoreCalibrationDataToPresistentStorage(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_BAD_PARAM;
    char section[200];
    const TcsResult result = sensorSection(device, section, sizeof section);
    if (result != TCS_RESULT_OK) return result;
    return calResultsSaveCalDataToPersistentStorage(device->calResults, section);
}

TcsResult LoadCalibrationDataFromPresistentStorage(ScsSensorDevice* device) {
    if (device == nullptr) return TCS_RESULT_BAD_PARAM;
    char section[200];
    const TcsResult result = sensorSection(device, section, sizeof section);
    if (result != TCS_RESULT_OK) return result;
    return calResultsLoadLastCalDataFromPersistentStorage(device->calResults, section);
}

TcsResult scsSensorHarlokCalibrate(ScsSensor* sensor, TcsResult result, WorkItem* item) {
    // Requests cancelled by device shut-down come back here with this code: nothing to do.
    if (result == SCS_RESULT_DEVICE_SHUTDOWN) return TCS_RESULT_OK;
    if (item == nullptr || sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    ScsCallback callback = scsWitCallback(item);
    void* context = scsWitContext(item);
    ScsSensorDevice* device = nullptr;
    const TcsResult acquired = scsSensorDeviceAcquire(sensor, &device);
    if (acquired != TCS_RESULT_OK) {
        *scsWitStatus(item) = acquired;
        if (callback != nullptr) callback(sensor, acquired, context);
        *scsWitState(item) = SCS_WIT_STATE_DONE;
        return acquired;
    }
    uint64_t& step = *scsWitSubState(item);
    uint64_t& progress = item->reserved2;
    uint32_t& status = *scsWitStatus(item);
    *scsWitState(item) = SCS_WIT_STATE_RUN;
    if ((device->initCancelMode == 1 || device->initCancelMode == 2) && device->calContext != nullptr) {
        device->initCancelMode = 3;
        status = TCS_RESULT_CANCEL;
        step = kFinish;
    }
    auto fail = [&](TcsResult failure) {
        status = failure;
        step = kFailed;
    };

    switch (step) {
        case kStart: {
            uint32_t enable = 1;
            if (palGetPersistentDataLongValue(kProductSection, "calibrationEnable", 1, &enable) != TCS_RESULT_OK) {
                enable = 1;
            }
            scsHarlokCalContextInit(device, enable != 1 ? 1 : 0);
            device->calibrated = 0;
            progress = 0;
            if (enable != 0) {
                step = kPatch;
            } else {
                status = TCS_RESULT_OK;
                step = kFinish;
            }
            break;
        }
        case kPatch: {
            uint32_t loaded = 0;
            TcsResult patched = scsSensorLoadPatch(sensor, device->patchConfigList, 2, 0, &loaded);
            if (patched == TCS_RESULT_OK && !loaded) {
                patched = scsSensorLoadPatch(sensor, device->patchConfigList, 128, 0, &loaded);
            }
            if (patched != TCS_RESULT_OK) fail(patched);
            else step = kWoeOnly;
            break;
        }
        case kWoeOnly:
            if (device->woeOnlyCalibration) {
                device->woeOnlyCalibration = 0;
                step = kWoeSweep;
            } else {
                step = kFirstSweep;
            }
            break;
        case 3:
        case 4:
        case 5:
        case 6:
        case 7:
        case 8:
        case 9: {
            if (step == kWoeSweep && !supportsWoe(device)) {
                progress &= ~kWoeFailed;
                step = kRunPatch;
                break;
            }
            const Sweep& sweep = kSweeps[step - kFirstSweep];
            const uint64_t failedFlag = step == kWoeSweep ? kWoeFailed : kGeneralFailed;
            const auto attempt = uint16_t(progress >> kAttemptShift);
            const TcsResult setUp = scsHarlokCalSetup(device, sweep.block, attempt);
            if (setUp != TCS_RESULT_OK) {
                fail(setUp);
                break;
            }
            ScsHarlokSweepCapture capture{};
            scsHarlokCalGetSweepCapture(device, &capture);
            if (capture.lines == 0) {
                progress |= failedFlag;
                step += 2;
                break;
            }
            const TcsResult read = scsSensorGetCountedLinesSynch(sensor, capture.buffer, capture.size, capture.lines,
                                                                 capture.mode, capture.value,
                                                                 capture.printConfiguration, nullptr);
            if (read != TCS_RESULT_OK) {
                fail(read);
                break;
            }
            const TcsResult evaluated = sweep.evaluate(device);
            if (evaluated == kStepAgain) {
                progress += uint64_t(1) << kAttemptShift;
                break;
            }
            if (evaluated != TCS_RESULT_OK) progress |= failedFlag;
            progress &= (uint64_t(1) << kAttemptShift) - 1;
            ++step;
            break;
        }
        case kWoeTiming:
            if (supportsWoe(device) && device->calContext != nullptr) {
                if (progress & kWoeFailed) scsHarlokCalSetDefaults(device, 1);
                copyWoeTiming(device);
            }
            step = kRunPatch;
            break;
        case kRunPatch:
            scsSensorRestoreRunPatch(sensor);
            step = kStore;
            break;
        case kStore: {
            if (progress & kGeneralFailed) {
                const TcsResult defaults = scsHarlokCalSetDefaults(device, 0);
                if (defaults != TCS_RESULT_OK) {
                    status = defaults;
                    step = kFinish;
                    break;
                }
            }
            StoreCalibrationDataToPresistentStorage(device);
            step = kFinish;
            break;
        }
        case kFailed:
            scsHarlokCalContextUnInit(device);
            scsCancelDescriptors(device, device->queues[SCS_QUEUE_FP_BUFFER].cancelFunction);
            scsSensorWaitForFpBufferQueueEmpty(device, kFpCancelWaitMs);
            step = cancellingInit(device) ? kFinish : kRecover;
            break;
        case kRecover:
            device->calibrated = 1;
            device->woeOnlyCalibration = 0;
            if (LoadCalibrationDataFromPresistentStorage(device) != TCS_RESULT_OK) {
                scsHarlokCalSetDefaults(device, 2);
                copyWoeTiming(device);
                StoreCalibrationDataToPresistentStorage(device);
            }
            status = TCS_RESULT_SENSOR_NOT_FOUND;
            scsSensorHardReset(device->name, sensor, 0);
            step = kFinish;
            break;
        case kFinish:
        default:
            device->woeCalibrationFailed = device->calContext != nullptr ? scsHarlokCalWoeFailed(device) : 1;
            if (callback != nullptr) callback(sensor, status, context);
            *scsWitState(item) = SCS_WIT_STATE_DONE;
            scsHarlokCalContextUnInit(device);
            __atomic_store_n(&device->captureModeByte, uint8_t(0), __ATOMIC_RELEASE);
            if (status == TCS_RESULT_OK) device->calibrated = 1;
            ++device->calibrationAttempts;
            break;
    }
    const TcsResult visited = status;
    scsSensorDeviceRelease(device);
    return visited;
}
