// Capture output: the capture file and raw-line debug image of a capture, the configuration
// sections a capture file starts with, and the rebuild of an image from a capture file.
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "tcs/imaging/ids_internal.h"
#include "tcs/sensorctl/calibration/cal_results.h"
#include "tcs/tcs.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kIrSection = "SOFTWARE\\Tovantic\\IR";
constexpr const char* kTfs510Section = "SOFTWARE\\Tovantic\\tfs510";
constexpr const char* kTfs530Section = "SOFTWARE\\Tovantic\\tfs530";
constexpr uint32_t kBmpHeaderBytes = 1078;
constexpr uint32_t kBmpMemoryBytes = 1920000;
constexpr uint32_t kCfgBmpInMemory = 0x10000000;
constexpr uint32_t kMaxPath = 260;
constexpr uint32_t kQualityDiscarded = 0x200000;
constexpr uint32_t kOfflineImageBytes = 0x15000;  // a record of 86095 bytes
constexpr uint32_t kBaselineRows = 20;
constexpr uint32_t kBaselineRowBytes = 320;
constexpr uint32_t kRebuildBudgetMs = 1000000;
constexpr uint32_t kMetricsBytes = 72;

uint32_t settingLong(const char* section, const char* key, uint32_t fallback) {
    uint32_t value = fallback;
    palGetPersistentDataLongValue(section, key, fallback, &value);
    return value;
}

std::string withSuffix(const char* prefix, const char* suffix) { return std::string(prefix) + suffix; }

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

QcfSection section(uint32_t kind) {
    QcfSection s;
    std::memset(&s, 0, sizeof s);
    s.kind = kind;
    return s;
}

}  // namespace

TcsResult idsSaveDataToQcf(const ScsPrintConfigurationData* cfg, const uint8_t* raw, uint32_t rawLength,
                           QcfFile* file) {
    if (cfg == nullptr || file == nullptr) return TCS_RESULT_NULL_POINTER;
    std::vector<QcfSection> out;
    // The header record is the five words of the configuration data followed by the 28-byte
    // version block of the sensor.
    QcfSection header = section(QCF_KIND_HEADER);
    const uint32_t words[5] = {cfg->timeStamp, cfg->flexId, cfg->transportKind, cfg->transportValue1,
                               cfg->transportValue2};
    auto* record = reinterpret_cast<uint8_t*>(&header.u.header);
    std::memcpy(record, words, sizeof words);
    uint8_t version[28] = {};
    if (cfg->version != nullptr) std::memcpy(version, cfg->version, sizeof version);
    std::memcpy(record + 20, version, sizeof version);
    out.push_back(header);
    QcfSection s = section(QCF_KIND_SWIPE_DIRECTION);
    s.u.value = settingLong(kTfs510Section, "SwipeDirection", 2);
    out.push_back(s);
    s = section(QCF_KIND_BASELINE_VARIANCE);
    s.u.value = 0;  // the raw buffered size at open
    out.push_back(s);
    s = section(QCF_KIND_BIT_REDUCTION);
    s.u.bitReduction[0] = cfg->bitReduction[0];
    s.u.bitReduction[1] = cfg->bitReduction[1];
    out.push_back(s);
    // The whole configuration reply goes in as the register words: the time-slot control and bank
    // words a rebuild needs lie past the table's own 1408 bytes.
    if (cfg->configReply != nullptr && cfg->configReplyLength >= 4) {
        s = section(QCF_KIND_REGISTERS);
        s.u.words = {cfg->configReplyLength / 4, reinterpret_cast<const uint32_t*>(cfg->configReply)};
        out.push_back(s);
    }
    if (cfg->printParam != nullptr && cfg->printParamLength != 0) {
        s = section(QCF_KIND_BLOB_5);
        s.u.blob = {cfg->printParamLength, cfg->printParam};
        out.push_back(s);
    }
    if (cfg->tsTable != nullptr && cfg->tsTableLength >= 4) {
        s = section(QCF_KIND_TIMESLOT_TABLE);
        s.u.words = {cfg->tsTableLength / 4, reinterpret_cast<const uint32_t*>(cfg->tsTable)};
        out.push_back(s);
    }
    s = section(QCF_KIND_GET_PRINT_CONFIG);
    s.u.getPrintConfig = {cfg->printCommand[0], cfg->printCommand[1], uint16_t(cfg->printCommand[2])};
    out.push_back(s);
    std::vector<uint8_t> calBlob;
    std::vector<uint32_t> oldPairs;
    if (cfg->calResults != nullptr) {
        auto* container = static_cast<CalResultsContainer*>(cfg->calResults);
        uint32_t length = 0;
        if (calResultsGetAsBlob(container, &length, nullptr) == TCS_RESULT_OK && length != 0) {
            calBlob.resize(length);
            if (calResultsGetAsBlob(container, &length, calBlob.data()) == TCS_RESULT_OK) {
                s = section(QCF_KIND_BLOB_26);
                s.u.blob = {length, calBlob.data()};
                out.push_back(s);
            }
        }
        // The same results in the old form, for readers that know no blob: {uses-defaults flag,
        // get-print status, (block index, word) pairs}.
        CalOldFormatRecord old{};
        if (calResultsGetResultsInOldFormat(container, &old) == TCS_RESULT_OK) {
            for (uint32_t i = 0; i < old.count; ++i) {
                oldPairs.push_back(i);
                oldPairs.push_back(old.words[i]);
            }
            palRealFree(old.words);
            if (!oldPairs.empty()) {
                s = section(QCF_KIND_CAL_RESULTS);
                s.u.calResults = {old.usesDefaults == 1 ? 1u : 0u, old.getPrintStatus, uint32_t(oldPairs.size() / 2),
                                  oldPairs.data()};
                out.push_back(s);
            }
        }
    }
    std::vector<uint8_t> planes[2];
    const auto* baseline = static_cast<const ScsBaseLineInfo*>(cfg->baseline);
    if (version[8] < 5) {
        for (uint32_t i = 0; i < 2; ++i) {
            planes[i].assign(kBaselineRows * kBaselineRowBytes, 0);
            s = section(i == 0 ? QCF_KIND_BASELINE_IMAGE_1 : QCF_KIND_BASELINE_IMAGE_2);
            const ScsBaseLineImage* plane = baseline != nullptr ? &baseline->images[i] : nullptr;
            if (plane != nullptr && plane->pixels != nullptr && plane->width != 0) {
                for (uint32_t row = 0; row < kBaselineRows && row < plane->height; ++row) {
                    std::memcpy(planes[i].data() + row * kBaselineRowBytes, plane->pixels + size_t(row) * plane->width,
                                plane->width < kBaselineRowBytes ? plane->width : kBaselineRowBytes);
                }
                s.u.baselineImage.flag = 1;
            }
            s.u.baselineImage = {uint16_t(kBaselineRows), uint16_t(kBaselineRowBytes), s.u.baselineImage.flag,
                                 planes[i].data()};
            out.push_back(s);
        }
    } else if (baseline != nullptr && baseline->images[2].pixels != nullptr) {
        s = section(QCF_KIND_BASELINE_FIRST);
        const ScsBaseLineImage& plane = baseline->images[2];
        s.u.baseline = {uint16_t(plane.height), uint16_t(plane.width), plane.pixels};
        out.push_back(s);
    }
    s = section(QCF_KIND_RAW_BUFFERED_SIZE);
    out.push_back(s);
    s = section(QCF_KIND_RAW_FP_DATA);
    s.u.raw = {uint16_t(cfg->printCommand[0]), 0, rawLength, raw};
    out.push_back(s);
    for (const QcfSection& one : out) {
        const TcsResult r = fclQcfWriteSection(file, &one);
        if (r != TCS_RESULT_OK) return r;
    }
    return TCS_RESULT_OK;
}

TcsResult idsFPFileOpen(GetPrintContext* c) {
    if (c == nullptr) return TCS_RESULT_NULL_POINTER;
    IdsSensor* sensor = c->sensor;
    uint32_t state = 0;
    if (sensor == nullptr || sensor->reconstructor == nullptr ||
        sensor->reconstructor->GetInfo(c->handle, 0, &state) != TCS_RESULT_OK || (state != 4 && state != 2)) {
        return TCS_RESULT_OK;
    }
    if (c->path == nullptr) {
        char base[kMaxPath + 1] = {};
        uint32_t size = sizeof base;
        if (palGetPersistentDataStringValue(kIrSection, "SaveImagePath", "/tmp/", 6, base, &size) != TCS_RESULT_OK) {
            std::strcpy(base, "/tmp/");
        }
        const std::string prefix = withSuffix(base, "dbg");
        c->path = static_cast<char*>(palRealMalloc(uint32_t(prefix.size() + 1)));
        if (c->path == nullptr) return TCS_RESULT_INVALID;
        std::strcpy(c->path, prefix.c_str());
        c->pathMadeHere = 1;
    }
    if (settingLong(kIrSection, "SaveImage", 0) != 0) {
        c->params[1] = 0;
    } else if (c->params[1] != 0 && fclQcfCreateA(&c->qcf, c->path) == TCS_RESULT_OK) {
        ScsPrintConfigurationData configuration{};
        TcsResult r = scsSensorGetPrintConfigurationData(sensor->scsSensor, &configuration);
        if (r == TCS_RESULT_OK) {
            r = idsSaveDataToQcf(&configuration, nullptr, 0, c->qcf);
            scsSensorFreePrintConfigurationData(&configuration);
        }
        if (r != TCS_RESULT_OK) {
            fclQcfClose(c->qcf);
            c->qcf = nullptr;
            palFileRemove(withSuffix(c->path, ".qcf").c_str());
        }
        c->qcfBytes = 0;
    }
    if (state == 4 && c->params[4] != 0) {
        if (settingLong(kIrSection, "CfgInfo", 0) & kCfgBmpInMemory) {
            c->bmpMemory = static_cast<uint8_t*>(palRealMalloc(kBmpMemoryBytes));
            c->bmpCapacity = c->bmpMemory != nullptr ? kBmpMemoryBytes : 0;
            c->bmpUsed = 0;
        } else {
            const std::string path = withSuffix(c->path, "raw.bmp");
            uint32_t padding = 0;
            FILE* file = tcsInitBmpFile(path.c_str(), 0, c->bmpWidth, 0, &padding);
            if (file != nullptr) {
                palFileClose(file);
                c->bmpFile = palFileOpen(path.c_str(), "r+b");
                if (c->bmpFile != nullptr) palFileSeek(c->bmpFile, kBmpHeaderBytes, SEEK_SET);
            }
        }
        c->bmpLines = 0;
    }
    return TCS_RESULT_OK;
}

TcsResult idsFPFileClose(GetPrintContext* c) {
    if (c == nullptr) return TCS_RESULT_NULL_POINTER;
    TcsResult result = TCS_RESULT_INVALID;
    if (c->qcf != nullptr) {
        result = fclQcfClose(c->qcf);
        c->qcf = nullptr;
        const std::string path = withSuffix(c->path, ".qcf");
        if (c->qcfBytes == 0) {
            palFileRemove(path.c_str());
        } else if (c->outputImage != nullptr && (c->outputImage->quality & kQualityDiscarded) != 0 &&
                   settingLong(kTfs530Section, "saveDiscardQcf", 0) != 0) {
            char kept[kMaxPath + 32];
            std::snprintf(kept, sizeof kept, "%s-%u.qcf", c->path, palGetTickCount());
            palFileRename(path.c_str(), kept);
        }
    }
    const std::string bmpPath = c->path != nullptr ? withSuffix(c->path, "raw.bmp") : std::string();
    if (c->bmpMemory != nullptr) {
        if (c->bmpUsed != 0) tcsFp2bmp(c->bmpMemory, c->bmpUsed, c->bmpWidth, bmpPath.c_str());
        palRealFree(c->bmpMemory);
        c->bmpMemory = nullptr;
    }
    if (c->bmpFile != nullptr) {
        if (c->bmpLines != 0) {
            const uint32_t width = c->bmpWidth;
            const uint32_t imageSize = (width + width % 4) * c->bmpLines;
            uint8_t h[54] = {'B', 'M'};
            put32(h + 2, imageSize + kBmpHeaderBytes);
            put32(h + 10, kBmpHeaderBytes);
            put32(h + 14, 40);
            put32(h + 18, width);
            put32(h + 22, c->bmpLines);
            put16(h + 26, 1);
            put16(h + 28, 8);
            put32(h + 34, imageSize);
            palFileSeek(c->bmpFile, 0, SEEK_SET);
            if (palFileWrite(h, 1, sizeof h, c->bmpFile) != sizeof h) result = TCS_RESULT_FILE_WRITE_FAILED;
            palFileClose(c->bmpFile);
        } else {
            palFileClose(c->bmpFile);
            palFileRemove(bmpPath.c_str());
        }
        c->bmpFile = nullptr;
    }
    if (c->pathMadeHere) {
        palRealFree(c->path);
        c->path = nullptr;
        c->pathMadeHere = 0;
    }
    return result;
}

TcsResult idsFPFileStreamQcf(GetPrintContext* c, const uint8_t* data, uint32_t length, uint32_t last) {
    if (c == nullptr || data == nullptr || length == 0) return TCS_RESULT_BAD_PARAM;
    if (c->qcf == nullptr) return TCS_RESULT_INVALID;
    if (fclQcfAppendRawData(c->qcf, data, length, last) != TCS_RESULT_OK) return TCS_RESULT_FILE_WRITE_FAILED;
    c->qcfBytes += length;
    return TCS_RESULT_OK;
}

TcsResult idsFPFilePrependQcf(GetPrintContext* c, const uint8_t* data, uint32_t length) {
    if (c == nullptr || data == nullptr || length == 0) return TCS_RESULT_NULL_POINTER;
    if (c->qcf == nullptr) return TCS_RESULT_OK;
    const TcsResult r = fclQcfInsertRawData(c->qcf, data, length, 0);
    if (r == TCS_RESULT_OK) c->qcfBytes += length;
    return r;
}

TcsResult idsFPFileStreamBMP(GetPrintContext* c, const uint8_t* data, uint32_t length) {
    if (c == nullptr || data == nullptr || length == 0) return TCS_RESULT_NULL_POINTER;
    if (c->bmpMemory != nullptr) {
        if (c->bmpUsed + uint64_t(length) > c->bmpCapacity) return TCS_RESULT_OUT_OF_MEMORY;
        std::memcpy(c->bmpMemory + c->bmpUsed, data, length);
        c->bmpUsed += length;
    } else if (c->bmpFile != nullptr) {
        if (palFileWrite(data, 1, length, c->bmpFile) != length) return TCS_RESULT_FILE_WRITE_FAILED;
    } else {
        return TCS_RESULT_NULL_POINTER;
    }
    ++c->bmpLines;
    return TCS_RESULT_OK;
}

TcsResult idsFPFilePrependBMP(GetPrintContext* c, const uint8_t* data, uint32_t length) {
    if (c == nullptr || data == nullptr || length == 0) return TCS_RESULT_NULL_POINTER;
    if (c->bmpMemory != nullptr) {
        if (c->bmpUsed + uint64_t(length) > c->bmpCapacity) return TCS_RESULT_OUT_OF_MEMORY;
        std::memmove(c->bmpMemory + length, c->bmpMemory, c->bmpUsed);
        std::memcpy(c->bmpMemory, data, length);
        c->bmpUsed += length;
    } else if (c->bmpFile != nullptr) {
        const TcsResult r = fclInsertDataToFile(c->bmpFile, data, length, kBmpHeaderBytes);
        if (r != TCS_RESULT_OK) return r;
        palFileSeek(c->bmpFile, 0, SEEK_END);
    } else {
        return TCS_RESULT_NULL_POINTER;
    }
    if (c->bmpWidth != 0) c->bmpLines += length / c->bmpWidth;
    return TCS_RESULT_OK;
}

TcsResult idsReconstructQcfToImage(const char* path, ImageRecord** outImage, ImageRecord** outRawImage,
                                   void* metrics) {
    if (path == nullptr || outImage == nullptr) return TCS_RESULT_BAD_PARAM;
    *outImage = nullptr;
    if (outRawImage != nullptr) *outRawImage = nullptr;
    QcfFile* file = nullptr;
    TcsResult r = fclQcfOpenA(&file, path);
    if (r != TCS_RESULT_OK) return r;
    struct Closer {
        QcfFile* file;
        ~Closer() { fclQcfClose(file); }
    } closer{file};
    auto read = [&](uint32_t kind, QcfSection& s) {
        s = section(kind);
        return fclQcfReadSection(file, &s);
    };
    QcfSection raw, header, registers, table, getPrint, buffered, blob;
    if ((r = read(QCF_KIND_RAW_FP_DATA, raw)) != TCS_RESULT_OK) return r;
    if ((r = read(QCF_KIND_HEADER, header)) != TCS_RESULT_OK) return r;
    if ((r = read(QCF_KIND_GET_PRINT_CONFIG, getPrint)) != TCS_RESULT_OK) return r;
    const bool haveRegisters = read(QCF_KIND_REGISTERS, registers) == TCS_RESULT_OK;
    const bool haveTable = read(QCF_KIND_TIMESLOT_TABLE, table) == TCS_RESULT_OK;
    const bool haveBlob = read(QCF_KIND_BLOB_5, blob) == TCS_RESULT_OK;
    uint32_t bufferedBytes = 0;
    if (read(QCF_KIND_RAW_BUFFERED_SIZE, buffered) == TCS_RESULT_OK) bufferedBytes = buffered.u.value;
    IrDliOfflineData offline{};
    offline.printCommand[0] = getPrint.u.getPrintConfig.first;
    offline.printCommand[1] = getPrint.u.getPrintConfig.second;
    offline.printCommand[2] = getPrint.u.getPrintConfig.third;
    if (haveBlob) {
        offline.printParam = blob.u.blob.data;
        offline.printParamLength = blob.u.blob.size;
    }
    // The register words hold the whole configuration reply, time-slot words included.
    if (haveRegisters) {
        offline.timeslotTable = registers.u.words.values;
        offline.timeslotBytes = registers.u.words.count * 4;
    } else if (haveTable) {
        offline.timeslotTable = table.u.words.values;
        offline.timeslotBytes = table.u.words.count * 4;
    }
    // A newer sensor's file keeps the processed baseline (the variance table the capture ran
    // with) as kind 12: the rebuild starts from it, so its image gets the same variance map.
    ScsBaseLineInfo baselineInfo{};
    QcfSection processed;
    const bool haveProcessed = header.u.header.bytes8[0] >= 5 && read(QCF_KIND_BASELINE_FIRST, processed) ==
                                                                      TCS_RESULT_OK;
    if (haveProcessed) {
        baselineInfo.images[2] = ScsBaseLineImage{1, processed.u.baseline.second, processed.u.baseline.first, 0,
                                                  const_cast<uint8_t*>(processed.u.baseline.data)};
    }
    ImageRecord* image = nullptr;
    ImageRecord* rawImage = nullptr;
    if (_tcsImageCreate(&image, nullptr, kOfflineImageBytes, 0, 0, 0) != TCS_RESULT_OK) return TCS_RESULT_OUT_OF_MEMORY;
    if (outRawImage != nullptr && _tcsImageCreate(&rawImage, nullptr, kOfflineImageBytes, 0, 0, 0) != TCS_RESULT_OK) {
        _tcsImageDestroy(image);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    if (metrics != nullptr) std::memset(metrics, 0, kMetricsBytes);
    ImageReconstructorInterface ir{};
    const uint32_t flexId = header.u.header.words[1];
    r = idsStartupIr(flexId, &ir);
    uint32_t openFlex = flexId;
    if (r != TCS_RESULT_OK && (flexId & 0xFFFF) == 91) {
        openFlex = 59;
        r = idsStartupIr(59, &ir);
    }
    void* handle = nullptr;
    if (r == TCS_RESULT_OK) {
        IrDliOpenParams params{};
        params.outputImage = image;
        params.reserved2 = 2;
        params.flexId = openFlex;
        params.aspImage = rawImage;
        params.offline = &offline;
        if (haveProcessed) params.baseline = &baselineInfo;
        params.debugPath = path;
        r = ir.Open(&handle, &params);
    }
    if (r == TCS_RESULT_OK) {
        const uint32_t length = raw.u.raw.dataLength;
        const uint32_t skip = bufferedBytes < length ? bufferedBytes : length;
        IrDliBuffer data{raw.u.raw.data + skip, length - skip, 1};
        r = ir.Data(handle, &data);
        if (r == TCS_RESULT_OK && skip != 0) {
            IrDliBuffer front{raw.u.raw.data, skip, 1};
            r = ir.PrependData(handle, &front);
        }
        if (r == TCS_RESULT_OK) {
            r = ir.Service(handle, kRebuildBudgetMs) == TCS_RESULT_IMAGE_RECONSTRUCTION_COMPLETE
                    ? ir.GetImage(handle, &image, nullptr)
                    : TcsResult(TCS_RESULT_ERROR);
        }
        ir.Close(handle);
    }
    if (r != TCS_RESULT_OK) {
        _tcsImageDestroy(image);
        if (rawImage != nullptr) _tcsImageDestroy(rawImage);
        return r;
    }
    *outImage = image;
    if (outRawImage != nullptr) *outRawImage = rawImage;
    return TCS_RESULT_OK;
}
