// The real-time reconstructor driver: gathers the sensor's settings, sets up the reconstruction
// state, feeds it scan lines, finishes the image within a time budget and hands it out.
#include "tcs/imaging/reconstructor_interface.h"

#include "tcs/imaging/ids_internal.h"

#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/usb_ids.h"
#include "tcs/imaging/liveness/nex.h"
#include "tcs/imaging/reconstruction/baseline.h"
#include "tcs/imaging/reconstruction/flex_info.h"
#include "tcs/imaging/reconstruction/recon_control.h"
#include "tcs/imaging/reconstruction/scan_line.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/protocol/print_defaults.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/tag_records.h"

#include <cstring>
#include <new>

namespace {

constexpr const char* kIrSection = "SOFTWARE\\Tovantic\\IR";
constexpr const char* kTfs510Section = "SOFTWARE\\Tovantic\\tfs510";
constexpr uint32_t kTimeBudgetMs = 6000;
constexpr uint32_t kMaxImageSize = 0x15000;
constexpr uint32_t kMinImageSize = 0x10C00;
constexpr uint32_t kDefaultPersistent = 0x30000;
constexpr uint32_t kMinPersistent = 26624;
constexpr uint32_t kDefaultVolatile = 32;
constexpr uint32_t kMinVolatile = 24;
constexpr uint32_t kDefaultCfgInfo = 0x010B3F5B;
constexpr uint32_t kAspPixels = 160000;
constexpr uint32_t kCfgNoAspImage = 0x200000;
constexpr uint32_t kCfgFlex32 = 0x10000000;
constexpr uint32_t kMaxImageRows = 420;
constexpr uint32_t kQualityNoVarianceMap = 0x400000;
constexpr uint32_t kQualityNoImage = 0x200000;
constexpr uint32_t kQualityLineError = 0x80000000;
constexpr uint32_t kReconstructorType = 4;
constexpr uint32_t kMetricsLivenessWord = 208;
constexpr uint32_t kMetricsNoDebugWord = 216;
constexpr uint32_t kMetricsTimeWord = 220;
constexpr uint16_t kTrailerParam = 45;

enum : uint32_t {
    kStateFeeding = 0,
    kStateSwipeEnded = 1,
    kStateFinishing = 2,
    kStateAspReady = 4,
    kStateNoImage = 16,
    kStateImageDone = 18,
};

struct Driver {
    IrDliInstance feed;  // what the scan-line feeding works on
    uint16_t flexId;
    const FlexInfoRecord* flex;
    IdsSensor* sensor;
    const IrDliOfflineData* offline;
    IrDliUserCallback callback;
    void* callbackContext;
    ScsBaseLineInfo baseline;
    uint32_t baselineVariance;
    uint32_t printCommand[5];
    const uint32_t* timeslotTable;
    uint32_t timeslotBytes;
    LineUnpackMap* unpackMap;
    uint8_t* unpackedLine;
    ImageRecord* image;
    uint32_t kept;
    ImageRecord* aspImage;
    uint32_t aspFromCaller;
    uint8_t** aspCell;
    uint32_t cfgInfo;
    uint8_t* persistent;
    uint32_t persistentSize;
    uint8_t* volatileArea;
    uint32_t volatileSize;
    IrGeometry geometry;
    IrCaptureOptions options;
    IrEventRecord events;
    uint8_t* frame;
    uint8_t* varianceMap;
    uint32_t swipeDirection;
    char* debugPath;
    bool stateMade;
};

uint32_t settingLong(const char* section, const char* key, uint32_t fallback) {
    uint32_t value = fallback;
    palGetPersistentDataLongValue(section, key, fallback, &value);
    return value;
}

TcsResult raiseUser(Driver& d, uint32_t id, uint32_t size, const void* data) {
    if (d.callback == nullptr) return TCS_RESULT_OK;
    IrDliEventData payload{size, data};
    IrDliUserEvent event{id, 0, d.callbackContext, data != nullptr ? &payload : nullptr};
    uint32_t status = 0;
    d.callback(&event, &status);
    return status;
}

void freeDriver(Driver* d) {
    if (d == nullptr) return;
    palRealFree(d->persistent);
    palRealFree(d->volatileArea);
    palRealFree(d->varianceMap);
    palRealFree(d->unpackedLine);
    if (d->image != nullptr && !d->kept) _tcsImageDestroy(d->image);
    palRealFree(d->unpackMap);
    if (d->aspImage != nullptr && !d->aspFromCaller) _tcsImageDestroy(d->aspImage);
    palRealFree(d->aspCell);
    palRealFree(d->frame);
    scsFreeBaseLineInfo(&d->baseline);
    palRealFree(d->debugPath);
    d->~Driver();
    palRealFree(d);
}

void* zeroed(uint32_t bytes) {
    void* p = palRealMalloc(bytes);
    if (p != nullptr) std::memset(p, 0, bytes);
    return p;
}

// The liveness test on the raw swipe, with a handle made for it alone. Any non-zero code means no
// liveness result: the image keeps zeroed ASP metrics of kind 0.
uint32_t runLiveness(Driver& d, int32_t* outScore) {
    *outScore = 0;
    NexConfigRecord config{};
    config.size = sizeof config;
    config.configId = TOV_USB_VENDOR_ID;
    uint32_t dataSize = 0;  // not through the packed record's field, which need not be aligned
    config.data = nexGetConfigData(&dataSize);
    config.dataSize = dataSize;
    NexHandle* handle = nullptr;
    uint32_t statusSize = 0, resultSize = 0;
    uint32_t r = nexInitialize(0, &handle, &statusSize, &resultSize, &config);
    if (r != NEX_RESULT_OK) return r;
    auto* status = static_cast<NexStatusRecord*>(zeroed(statusSize + 9));
    auto* result = static_cast<NexResultRecord*>(zeroed(resultSize + 9));
    ImageRecord* asp = d.aspImage;
    const nexImage_t image{sizeof(nexImage_t), 0, d.image->quality, 8, d.image->swipeSpeed, 508, 508, asp->rows,
                           asp->columns, asp->dataSize, tcsImagePixels(asp)};
    NexFlagsRecord flags{};
    flags.size = sizeof flags;
    flags.flags[sizeof flags.flags - 1] = 1;
    if (status != nullptr && result != nullptr) {
        status->size = statusSize + 9;
        result->size = resultSize + 9;
        r = nexLivenessTest(handle, &image, &image, &flags, status, result);
        if (r == NEX_RESULT_OK) *outScore = result->score;
    } else {
        r = NEX_RESULT_OUT_OF_MEMORY;
    }
    nexFinalize(handle, &image, &flags, status, result);
    palRealFree(status);
    palRealFree(result);
    return r;
}

void addMetricsTime(ImageRecord* image, uint32_t start) {
    if (image == nullptr || image->irMetrics == nullptr) return;
    auto* words = static_cast<uint8_t*>(image->irMetrics);
    uint32_t spent;
    std::memcpy(&spent, words + kMetricsTimeWord, 4);
    spent += palGetTickCount() - start;
    std::memcpy(words + kMetricsTimeWord, &spent, 4);
}

// Live: the capture's own file prefix is what the output layer writes under; offline: the capture
// file's path less its ".qcf".
void writeAspDebugImage(Driver& d) {
    if (d.aspFromCaller || d.aspImage == nullptr || d.aspImage->rows == 0 || d.aspImage->columns == 0) return;
    // A live capture's open parameters carry no path: its prefix is the capture context's.
    const char* prefix = d.debugPath;
    if (d.sensor != nullptr && d.callbackContext != nullptr) {
        prefix = static_cast<GetPrintContext*>(d.callbackContext)->path;
    }
    if (d.image == nullptr || d.image->irMetrics == nullptr || prefix == nullptr) return;
    uint32_t noDebug;
    std::memcpy(&noDebug, static_cast<uint8_t*>(d.image->irMetrics) + kMetricsNoDebugWord, 4);
    if (noDebug != 0) return;
    const size_t length = std::strlen(prefix);
    char path[300];
    const size_t keep = d.sensor == nullptr && length >= 4 ? length - 4 : length;
    if (keep + 12 > sizeof path) return;
    std::memcpy(path, prefix, keep);
    std::strcpy(path + keep, "rawIr.bmp");
    _tcsImage2bmp(d.aspImage, path);
}

TcsResult openDriver(Driver& d, IrDliOpenParams& p) {
    d.flexId = uint16_t(p.flexId);
    d.sensor = p.sensor;
    d.offline = p.offline;
    d.callback = p.userCallback;
    d.callbackContext = p.userContext;
    if (p.baseline != nullptr) scsCloneBaseLineInfo(p.baseline, &d.baseline);
    if (p.debugPath != nullptr) {
        d.debugPath = static_cast<char*>(palRealMalloc(uint32_t(std::strlen(p.debugPath) + 1)));
        if (d.debugPath != nullptr) std::strcpy(d.debugPath, p.debugPath);
    }
    // 2. The module.
    d.flex = dliFindFlexInfo(d.flexId);
    if (d.flex == nullptr && p.sensor == nullptr && d.flexId == 91) d.flex = dliFindFlexInfo(59);
    if (d.flex == nullptr) return TCS_RESULT_NULL_POINTER;
    const uint32_t unpackedBytes = flexUnpackedLineBytes(d.flex);
    if (unpackedBytes == 0 || d.flex->unpackBufferLength == 0) return TCS_RESULT_NULL_POINTER;
    // 3. Scratch sizes.
    d.persistentSize = settingLong(kIrSection, "PersistentMemSize", kDefaultPersistent);
    if (d.persistentSize < kMinPersistent) d.persistentSize = kMinPersistent;
    d.volatileSize = settingLong(kIrSection, "VolatileMemSize", kDefaultVolatile);
    if (d.volatileSize < kMinVolatile) d.volatileSize = kMinVolatile;
    // 4. The output image.
    if (p.outputImage != nullptr && p.outputImage->allocSize != 0) {
        d.image = p.outputImage;
        d.image->rows = 0;
        d.image->dataSize = 0;
        d.image->quality = 0;
        std::memset(tcsImagePixels(d.image), 0, d.image->allocSize);
        d.kept = 1;
    } else {
        uint32_t size = settingLong(kIrSection, "ReconstructImageSize", kMaxImageSize);
        if (size < kMinImageSize) size = kMinImageSize;
        TcsResult r = _tcsImageCreate(&d.image, nullptr, size, 0, 0, 0);
        if (r != TCS_RESULT_OK) return TCS_RESULT_NULL_POINTER;
        d.kept = 0;
    }
    // The caller's metrics block stays attached: the image record owns it and frees it with the
    // image, so dropping the reference here would only lose it.
    // 5. Scratch and the image's stamp.
    d.persistent = static_cast<uint8_t*>(zeroed(d.persistentSize));
    d.volatileArea = static_cast<uint8_t*>(zeroed(d.volatileSize));
    if (d.persistent == nullptr || d.volatileArea == nullptr) return TCS_RESULT_NULL_POINTER;
    std::memcpy(d.image->magic, "TIMG", 4);
    d.image->quality = 0;
    d.image->horizontalPpi = d.flex->xResolution;
    d.image->verticalPpi = d.flex->yResolution;
    // 6, 7. The liveness image.
    d.cfgInfo = settingLong(kIrSection, "CfgInfo", kDefaultCfgInfo);
    uint32_t aspBufferSize = kAspPixels;
    if (p.aspImage != nullptr) {
        d.aspImage = p.aspImage;
        d.aspFromCaller = 1;
        aspBufferSize = p.aspImage->allocSize;
    } else if (_tcsImageCreate(&d.aspImage, nullptr, (d.cfgInfo & kCfgNoAspImage) ? 1 : kAspPixels, 0, 0, 0) !=
               TCS_RESULT_OK) {
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    d.aspCell = static_cast<uint8_t**>(zeroed(sizeof(uint8_t*)));
    if (d.aspCell == nullptr) return TCS_RESULT_NULL_POINTER;
    *d.aspCell = (d.cfgInfo & kCfgNoAspImage) ? nullptr : tcsImagePixels(d.aspImage);
    // 8. Records handed to the reconstruction.
    d.options.size = sizeof(IrCaptureOptions);
    d.options.aspBufferSize = aspBufferSize;
    d.options.aspPixelCell = d.aspCell;
    d.options.metricsBlock = d.image->irMetrics;
    d.events.size = sizeof(IrEventRecord);
    // 9.
    d.unpackMap = static_cast<LineUnpackMap*>(zeroed(sizeof(LineUnpackMap)));
    d.unpackedLine = static_cast<uint8_t*>(zeroed(unpackedBytes));
    if (d.unpackMap == nullptr || d.unpackedLine == nullptr) return TCS_RESULT_NULL_POINTER;
    // 10. Print command and time-slot table.
    const uint8_t* paramBlob = nullptr;
    uint32_t paramLength = 0;
    ScsSensor* control = nullptr;
    if (p.sensor != nullptr) {
        control = p.sensor->scsSensor;
        if (control == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
        TcsResult r = scsSensorGetPrintCmd(control, d.printCommand);
        if (r != TCS_RESULT_OK) return r;
        uint8_t* table = nullptr;
        uint32_t tableLength = 0;
        r = scsSensorGetTimeSlotTable(control, &table, &tableLength);
        if (r != TCS_RESULT_OK) return r;
        d.timeslotTable = reinterpret_cast<const uint32_t*>(table);
        // The control and bank words lie past the table's own 1408 bytes, in the same reply.
        d.timeslotBytes = tableLength;
        ScsSensorDevice* device = nullptr;
        if (table != nullptr && scsSensorDeviceAcquire(control, &device) == TCS_RESULT_OK) {
            if (device->configReply == table) d.timeslotBytes = device->configReplyLength;
            scsSensorDeviceRelease(device);
        }
        PrintConfiguration* config = nullptr;
        if (scsSensorGetDefaultPrintConfiguration(control, &config) == TCS_RESULT_OK && config != nullptr) {
            scsSensorGetPrintParamBlobFromPrintConfig(control, config, &paramBlob, &paramLength);
        }
    } else if (p.offline != nullptr) {
        std::memcpy(d.printCommand, p.offline->printCommand, sizeof d.printCommand);
        d.timeslotTable = p.offline->timeslotTable;
        d.timeslotBytes = p.offline->timeslotBytes;
        paramBlob = p.offline->printParam;
        paramLength = p.offline->printParamLength;
    }
    // 11. The sensor's own correlation trailer, when print parameter 45 asks for one.
    if (paramBlob != nullptr && paramLength > 4) {
        const TagRecord* record = nullptr;
        if (scsSensorFindPrintParam(paramBlob + 4, paramLength - 4, kTrailerParam, &record) == TCS_RESULT_OK &&
            record != nullptr) {
            if (record->tag != kTrailerParam || record->length != 28) return TCS_RESULT_INVALID;
            uint32_t word;
            std::memcpy(&word, reinterpret_cast<const uint8_t*>(record) + 4, 4);
            d.feed.trailerType = (word >> 9) & 3;
            if (d.feed.trailerType == 2) return TCS_RESULT_INVALID;
        }
    }
    // 12.
    if (d.timeslotTable == nullptr || d.timeslotBytes == 0) return TCS_RESULT_NULL_POINTER;
    TcsResult r = ProcessTimeslotTable(d.timeslotTable, d.printCommand[0], d.timeslotBytes, d.flex, d.unpackMap);
    if (r != TCS_RESULT_OK) return r;
    // 13. Line geometry.
    IrGeometry& g = d.geometry;
    g.size = sizeof(IrGeometry);
    g.headerBytes = kScanLineHeaderBytes;
    g.pixelBytes = d.flex->primaryCount;
    g.extraBytes = d.flex->secondaryCount;
    g.correctionWindowPos = d.flex->correctionWindowPos;
    g.lineBytes = g.headerBytes + g.pixelBytes + g.extraBytes;
    g.g1 = d.flex->geometry[0];
    g.tickLength = d.printCommand[2];
    g.primaryDescending = int16_t(d.unpackMap->columns[0]) > int16_t(d.unpackMap->columns[1]) ? 1 : 0;
    g.g3 = d.flex->geometry[2];
    g.g2 = d.flex->geometry[1];
    g.polaritiesDiffer = d.flex->secondaryPolarity != d.flex->primaryPolarity ? 1 : 0;
    g.primaryPolarity = d.flex->primaryPolarity;
    g.flip = 0;
    const uint32_t mapBytes = uint32_t(d.flex->baselineMapLines) * g.lineBytes;
    d.varianceMap = static_cast<uint8_t*>(zeroed(mapBytes != 0 ? mapBytes : 1));
    if (d.varianceMap == nullptr) return TCS_RESULT_NULL_POINTER;
    g.baselineVarianceMap = d.varianceMap;
    g.mapLineBytes = g.lineBytes;
    g.mapLines = d.flex->baselineMapLines;
    d.options.analogResets = d.flex->analogResets;
    d.options.interpolRanges = d.flex->interpolRanges;
    uint32_t extraCfg = 0;
    if (d.flexId == 72 || d.flexId == 98 || d.flexId == 32) {
        d.options.unpackColumns = d.unpackMap->columns;
        d.options.unpackColumnCount = d.unpackMap->pixelCount;
    }
    if (d.flexId == 32) extraCfg = kCfgFlex32;
    // 14.
    d.cfgInfo = (p.cfgInfoOverride & 0x80000000u) ? p.cfgInfoOverride
                                                   : settingLong(kIrSection, "CfgInfo", kDefaultCfgInfo);
    d.cfgInfo |= extraCfg;
    // 15.
    d.feed.stateWord = kStateFeeding;
    d.swipeDirection = p.sensor != nullptr ? settingLong(kTfs510Section, "SwipeDirection", 2) : 2;
    // 16. Baseline.
    if (control != nullptr) {
        void* info = nullptr;
        if (scsSensorGetBaseLineInfo(control, &info) == TCS_RESULT_OK && info != nullptr) {
            scsFreeBaseLineInfo(&d.baseline);
            scsCloneBaseLineInfo(static_cast<const ScsBaseLineInfo*>(info), &d.baseline);
        }
    } else if (p.offline != nullptr) {
        auto process = [&](const uint8_t* lines, uint32_t count, uint32_t stride) {
            if (lines == nullptr || count == 0 || stride == 0) return;
            BaselineInput input{0, stride, count, lines};
            BaselineOutput output{};
            uint32_t noise = 0;
            if (ProcessBaselineData(d.flex, d.timeslotBytes, d.timeslotTable, d.timeslotBytes, kScanLineHeaderBytes,
                                    &input, &noise, &output) == TCS_RESULT_OK &&
                input.status == kBaselineValid) {
                ScsBaseLineImage& plane = d.baseline.images[2];
                palRealFree(plane.pixels);
                plane = ScsBaseLineImage{output.one, output.blockSize, output.one2, 0, output.block};
                d.baselineVariance = noise;
            }
        };
        process(p.offline->calibrationLines, p.offline->calibrationLineCount, p.offline->calibrationStride);
        if (d.baseline.images[2].kind != 1) {
            process(p.offline->baselineLines, p.offline->baselineLineCount, p.offline->baselineStride);
        }
    }
    // 17. Baseline-variance map.
    const ScsBaseLineImage& table = d.baseline.images[2];
    if (control != nullptr && scsSensorGetBaselineVariance(control, &d.baselineVariance) != TCS_RESULT_OK) {
        palRealFree(d.varianceMap);
        d.varianceMap = nullptr;
        g.baselineVarianceMap = nullptr;
        d.image->quality |= kQualityNoVarianceMap;
    } else if (table.kind == 1 && table.pixels != nullptr) {
        const uint32_t bytes = table.width * (table.height != 0 ? table.height : 1);
        std::memcpy(d.varianceMap, table.pixels, bytes < mapBytes ? bytes : mapBytes);
    } else {
        d.image->quality |= kQualityNoVarianceMap;
    }
    // 18. Capacity and the 2-D frame buffer.
    uint32_t capacity = d.image->allocSize;
    if (capacity > kMaxImageRows * g.pixelBytes) capacity = kMaxImageRows * g.pixelBytes;
    if ((d.cfgInfo & kCfgRotate) && d.flex->baselineMapLines == 1) {
        d.frame = static_cast<uint8_t*>(zeroed(capacity));
        if (d.frame != nullptr) {
            d.options.frameBuffer = d.frame;
            d.options.frameBufferSize = capacity;
        }
    }
    if (d.frame == nullptr) d.cfgInfo &= ~kCfgRotate;
    // 19.
    r = tcsInitIR(d.persistent, d.persistentSize, d.volatileArea, d.volatileSize, tcsImagePixels(d.image), capacity,
                  &d.options, &g, d.cfgInfo, uint8_t(d.swipeDirection), IREventCallback, &d, &d.events);
    d.stateMade = true;
    if (r != TCS_RESULT_OK) return r;
    // The capture keeps the sensor's baseline variance in its context. Only a live capture's
    // context is a capture context: the one the sensor is capturing with.
    if (p.sensor != nullptr && p.userContext != nullptr && p.sensor->current == p.userContext) {
        static_cast<GetPrintContext*>(p.userContext)->baselineVariance = d.baselineVariance;
    }
    d.feed.flex = d.flex;
    d.feed.state = irStateOf(d.persistent);
    d.feed.unpackMap = d.unpackMap;
    d.feed.unpackedLine = d.unpackedLine;
    d.feed.unpackedLineBytes = unpackedBytes;
    d.feed.recordBytes = d.printCommand[0];
    d.feed.callback = d.callback;
    d.feed.callbackContext = d.callbackContext;
    // 20.
    return raiseUser(d, kUserEventOpened, d.timeslotBytes, d.timeslotTable);
}

void stopReconstruction(Driver& d) {
    if (d.stateMade) tcsStopIR(irStateOf(d.persistent));
    d.stateMade = false;
}

TcsResult feedBuffer(Driver& d, IrDliBuffer& buffer, bool prepended) {
    LineTrailerRecord trailer{};
    trailer.type = d.feed.trailerType;
    LineTrailerRecord* t = d.feed.trailerType != 0 ? &trailer : nullptr;
    const uint32_t lastBuffer = buffer.done;
    if (prepended) return irDliRTHarlokPrependedData(&d.feed, buffer.data, buffer.length, &buffer.done, t);
    TcsResult r = TCS_RESULT_OK;
    if (buffer.length != 0) r = irDliRTHarlokData(&d.feed, buffer.data, buffer.length, &buffer.done, t);
    if (r != TCS_RESULT_OK) return r;
    // The caller's last buffer ends the swipe as the end-of-swipe detection does: without it a
    // swipe the sensor ended itself would never be finished.
    if (lastBuffer == 1 && d.feed.stateWord == kStateFeeding) {
        d.feed.state->stopFlag = 1;
        buffer.done = 1;
        r = raiseUser(d, kUserEventSwipeEnded, 0, nullptr);
        if (r == TCS_RESULT_OK) r = raiseUser(d, kUserEventFingerGone, 0, nullptr);
        d.feed.stateWord = kStateSwipeEnded;
    }
    return r;
}

}  // namespace

extern "C" {

TcsResult irDliRTStartup(ImageReconstructorInterface* interface) {
    if (interface == nullptr) return TCS_RESULT_BAD_PARAM;
    uint32_t size = settingLong(kIrSection, "ReconstructImageSize", kMaxImageSize);
    if (size > kMaxImageSize) size = kMaxImageSize;
    if (size < kMinImageSize) size = kMinImageSize;
    interface->timeBudget = kTimeBudgetMs;
    interface->maxImageSize = size;
    interface->Open = irDliOpen;
    interface->Data = irDliData;
    interface->Close = irDliClose;
    interface->Service = irDliService;
    interface->Shutdown = irDliShutdown;
    interface->GetImage = irDliGetImage;
    interface->GetInfo = irDliGetInfo;
    interface->SetInfo = irDliSetInfo;
    interface->PrependData = irDliPrependData;
    return TCS_RESULT_OK;
}

TcsResult irDliOpen(void** outInstance, IrDliOpenParams* params) {
    if (outInstance == nullptr || params == nullptr) return TCS_RESULT_BAD_PARAM;
    *outInstance = nullptr;
    void* memory = zeroed(sizeof(Driver));
    if (memory == nullptr) return TCS_RESULT_INVALID;
    auto* d = new (memory) Driver;
    std::memset(static_cast<void*>(d), 0, sizeof(Driver));
    const TcsResult r = openDriver(*d, *params);
    if (r != TCS_RESULT_OK) {
        stopReconstruction(*d);
        raiseUser(*d, kUserEventClosed, 0, nullptr);
        freeDriver(d);
        return r;
    }
    *outInstance = d;
    return TCS_RESULT_OK;
}

TcsResult irDliData(void* instance, IrDliBuffer* buffer) {
    if (instance == nullptr || buffer == nullptr) return TCS_RESULT_BAD_PARAM;
    return feedBuffer(*static_cast<Driver*>(instance), *buffer, false);
}

TcsResult irDliPrependData(void* instance, IrDliBuffer* buffer) {
    if (instance == nullptr || buffer == nullptr) return TCS_RESULT_BAD_PARAM;
    return feedBuffer(*static_cast<Driver*>(instance), *buffer, true);
}

TcsResult irDliService(void* instance, uint32_t budgetMs) {
    if (instance == nullptr) return TCS_RESULT_NULL_POINTER;
    Driver& d = *static_cast<Driver*>(instance);
    const uint32_t start = palGetTickCount();
    const bool live = d.sensor != nullptr;
    IrReconState* state = irStateOf(d.persistent);
    for (;;) {
        if (live && palGetTickCount() - start >= budgetMs) {
            addMetricsTime(d.image, start);
            return TCS_RESULT_OK;
        }
        uint32_t& word = d.feed.stateWord;
        if (word == kStateSwipeEnded) {
            word = kStateFinishing;
            tcsDoIR(state, nullptr, nullptr);
        } else if (word == kStateFinishing) {
            word = kStateNoImage;
        } else if (word == kStateNoImage) {
            tcsDoIR(state, nullptr, nullptr);
            if (d.image != nullptr && d.image->quality == 0) d.image->quality = kQualityNoImage;
            addMetricsTime(d.image, start);
            return TCS_RESULT_IMAGE_RECONSTRUCTION_COMPLETE;
        } else if (word == kStateImageDone) {
            break;
        } else {
            // Nothing in this loop moves the other states (lines still to come, a raw swipe without
            // its image): spinning would only burn the pass's budget, and would never end for an
            // offline rebuild, which has none, or on a clock that stands still.
            addMetricsTime(d.image, start);
            return TCS_RESULT_OK;
        }
    }
    writeAspDebugImage(d);
    ImageRecord* image = d.image;
    ImageRecord* asp = d.aspImage;
    if (image == nullptr || image->rows == 0 || image->columns == 0 || asp == nullptr || asp->rows == 0 ||
        asp->columns == 0 || (image->quality & kQualityLineError) != 0) {
        addMetricsTime(image, start);
        return TCS_RESULT_IMAGE_RECONSTRUCTION_COMPLETE;
    }
    if (image->aspMetrics != nullptr) {
        std::memset(image->aspMetrics, 0, TCS_ASP_METRICS_SIZE);
        static_cast<AspMetricsBlock*>(image->aspMetrics)->size = TCS_ASP_METRICS_SIZE;
    }
    int32_t score = 0;
    if (runLiveness(d, &score) == 0) irDliFillAspMetrics(image, score);
    addMetricsTime(image, start);
    return TCS_RESULT_IMAGE_RECONSTRUCTION_COMPLETE;
}

void irDliFillAspMetrics(ImageRecord* image, int32_t score) {
    if (image == nullptr) return;
    if (score < -1000) score = -1000;
    if (score > 2000) score = 2000;
    image->aspScore = uint32_t(score);
    if (image->irMetrics != nullptr) {
        std::memcpy(static_cast<uint8_t*>(image->irMetrics) + kMetricsLivenessWord, &score, 4);
    }
    auto* m = static_cast<AspMetricsBlock*>(image->aspMetrics);
    if (m == nullptr) return;
    const bool verdicts[8] = {score >= -199, score >= -99, score > 0,   score > 20,
                              score > 100,   score > 350, score > 450, score > 550};
    m->size = TCS_ASP_METRICS_SIZE;
    for (int i = 0; i < 8; ++i) {
        m->verdict[i] = verdicts[i] ? 1 : 0;
        m->confidence[i] = verdicts[i] ? 100 : 0;
    }
    m->kind = 2;
}

TcsResult irDliGetImage(void* instance, ImageRecord** outImage, ImageRecord** outSecond) {
    if (instance == nullptr) return TCS_RESULT_NULL_POINTER;
    Driver& d = *static_cast<Driver*>(instance);
    TcsResult result = TCS_RESULT_INVALID;
    if (outImage != nullptr && (d.feed.stateWord & kStateImageDone) != 0 && d.image != nullptr) {
        ImageRecord* image = d.image;
        if (image->rows > 1 && image->columns >= 1) {
            const uint32_t width = image->columns;
            auto* row = static_cast<uint8_t*>(palRealMalloc(width));
            if (row != nullptr) {  // without it the image goes out unflipped
                uint8_t* pixels = tcsImagePixels(image);
                for (uint32_t i = 0; i < image->rows / 2; ++i) {
                    uint8_t* a = pixels + size_t(i) * width;
                    uint8_t* b = pixels + size_t(image->rows - 1 - i) * width;
                    std::memcpy(row, a, width);
                    std::memcpy(a, b, width);
                    std::memcpy(b, row, width);
                }
                palRealFree(row);
            }
        }
        *outImage = image;
        d.image = nullptr;
        result = TCS_RESULT_OK;
    }
    if (outSecond != nullptr && (d.feed.stateWord & kStateAspReady) != 0) {
        *outSecond = nullptr;
        result = TCS_RESULT_OK;
    }
    return result;
}

TcsResult irDliGetInfo(void* instance, uint32_t id, uint32_t* outValue) {
    if (outValue == nullptr) return TCS_RESULT_NULL_POINTER;
    if (id == 0) {
        *outValue = kReconstructorType;
        return TCS_RESULT_OK;
    }
    if (id != 1 && id != 4) return TCS_RESULT_BAD_PARAM;
    if (instance == nullptr) return TCS_RESULT_NULL_POINTER;
    Driver& d = *static_cast<Driver*>(instance);
    if (id == 1) {
        *outValue = d.image != nullptr ? d.image->quality : 0;
    } else {
        *outValue = d.feed.unpackedLineBytes;
    }
    return TCS_RESULT_OK;
}

TcsResult irDliSetInfo(void* instance, uint32_t id, void* data) {
    if (instance == nullptr) return TCS_RESULT_NULL_POINTER;
    Driver& d = *static_cast<Driver*>(instance);
    switch (id) {
        case 0:
            if (data == nullptr) return TCS_RESULT_NULL_POINTER;
            scsFreeBaseLineInfo(&d.baseline);
            return scsCloneBaseLineInfo(static_cast<const ScsBaseLineInfo*>(data), &d.baseline);
        case 1: return TCS_RESULT_OK;
        case 2:
            if (data != nullptr) d.kept = *static_cast<const uint32_t*>(data);
            return TCS_RESULT_OK;
        case 3: d.feed.stateWord |= kStateImageDone; return TCS_RESULT_OK;
        default: return TCS_RESULT_BAD_PARAM;
    }
}

TcsResult irDliClose(void* instance) {
    if (instance == nullptr) return TCS_RESULT_NULL_POINTER;
    Driver* d = static_cast<Driver*>(instance);
    stopReconstruction(*d);
    raiseUser(*d, kUserEventClosed, 0, nullptr);
    freeDriver(d);
    return TCS_RESULT_OK;
}

TcsResult irDliShutdown(ImageReconstructorInterface* interface) {
    return interface == nullptr ? TcsResult(TCS_RESULT_BAD_PARAM) : TcsResult(TCS_RESULT_OK);
}

TcsResult IREventCallback(IrEventRecord* record, void* instance) {
    if (record == nullptr || instance == nullptr) return TCS_RESULT_OK;
    Driver& d = *static_cast<Driver*>(instance);
    switch (record->id) {
        case kIrEventImageComplete:
            d.feed.stateWord = kStateImageDone;
            if (d.image != nullptr) {
                d.image->rows = record->rows;
                d.image->columns = record->columns;
                d.image->dataSize = uint32_t(record->rows) * record->columns;
                d.image->swipeSpeed = record->value;
            }
            break;
        case kIrEventLineError:
            d.feed.stateWord = kStateImageDone;
            if (d.image != nullptr) d.image->quality |= kQualityLineError;
            break;
        case kIrEventQualityFlags:
            if (d.image != nullptr) d.image->quality |= record->flags;
            break;
        case kIrEventAspReady:
            if (d.aspCell != nullptr && *d.aspCell != nullptr && d.aspImage != nullptr &&
                uint32_t(record->rows) * record->columns < 86017) {
                d.feed.stateWord = kStateAspReady;
                // The raw swipe's size comes only with this event: without it the liveness step
                // would find an empty image and never run.
                const uint32_t bytes = uint32_t(record->rows) * record->columns;
                if (bytes <= d.aspImage->allocSize) {
                    d.aspImage->rows = record->rows;
                    d.aspImage->columns = record->columns;
                    d.aspImage->dataSize = bytes;
                }
            }
            break;
        default: break;
    }
    return TCS_RESULT_OK;
}

}  // extern "C"
