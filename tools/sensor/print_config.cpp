// Print-configuration files (key = value lines, 0x1A, print-parameter blob), configuration fields
// and blobs, the print-configuration data record, calibration results and register fields of a
// get-print parameter block.
#include "tcs/sensorctl/calibration/cal_results.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/protocol/print_defaults.h"
#include "tools/sensor/diag_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using namespace tovdiag;

namespace {

constexpr uint32_t kLineLengthField = 8;
constexpr uint32_t kLastConfigField = 12;
constexpr uint32_t kLineRoom = 200;  // a line is read in chunks of at most 199 characters
constexpr uint32_t kUnsetVersionPart = 255;

struct FileCloser {
    void operator()(FILE* file) const { palFileClose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

uint16_t u16At(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t u32At(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The configuration's print-parameter blob: the bytes after the first 0x1A of the file (none when
// nothing follows, or when they cannot be read whole).
std::vector<uint8_t> readBlob(FILE* file) {
    std::vector<uint8_t> blob;
    if (palFileSeek(file, 0, 2) != 0) return blob;
    const uint32_t size = palFileTell(file);
    if (palFileSeek(file, 0, 0) != 0) return blob;
    uint32_t position = 0;
    int c = 0;
    while (position < size && (c = palFileGetc(file)) >= 0) {
        ++position;
        if (c == 0x1A) break;
    }
    if (c != 0x1A || position >= size) return blob;
    blob.resize(size - position);
    if (palFileRead(blob.data(), 1, uint32_t(blob.size()), file) != blob.size()) blob.clear();
    return blob;
}

const ScsFwVersion* versionOf(const ScsPrintConfigurationData* record) { return record->version; }

const ScsBaseLineImage* baselinePlane(const ScsPrintConfigurationData* record, int plane) {
    if (record->baseline == nullptr) return nullptr;
    return &static_cast<const ScsBaseLineInfo*>(record->baseline)->images[plane];
}

}  // namespace

extern "C" {

char* tcsTestTrimSpace(char* text) {
    if (text == nullptr) return nullptr;
    while (*text == ' ') ++text;
    size_t length = std::strlen(text);
    while (length > 0 && text[length - 1] == ' ') text[--length] = '\0';
    return text;
}

uint32_t tcsTestGetKeyValue(char* line, char** outKey, char** outValue) {
    if (line == nullptr || outKey == nullptr || outValue == nullptr) return 0;
    if (char* comment = std::strstr(line, "//")) *comment = '\0';
    char* equals = std::strchr(line, '=');
    if (equals == nullptr) return 0;
    *equals = '\0';
    *outKey = tcsTestTrimSpace(line);
    *outValue = tcsTestTrimSpace(equals + 1);
    return 1;
}

TcsResult tcsTestLoadPrintConfigFromFile(TcsHandle handle, const char* path, PrintConfiguration** outConfig) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    if (outConfig == nullptr) return kNullPointer;
    ScsSensor* scs = sensor.scs();
    auto* config = static_cast<PrintConfiguration*>(palRealMalloc(sizeof(PrintConfiguration)));
    if (config == nullptr) return kNoMemory;
    std::memset(config, 0, sizeof(PrintConfiguration));
    // A configuration that is not handed out is not left behind.
    auto fail = [&](TcsResult failure) {
        scsHarlokFreePrintConfig(&config);
        return failure;
    };
    uint32_t version[4] = {kUnsetVersionPart, kUnsetVersionPart, kUnsetVersionPart, kUnsetVersionPart};
    uint32_t lineLength = 0;
    if (path == nullptr) {
        PrintConfiguration* defaults = nullptr;
        result = scsSensorGetDefaultPrintConfiguration(scs, &defaults);
        if (result == kOk) result = scsSensorGetUint32DataFromPrintConfig(scs, defaults, kLineLengthField, &lineLength);
        if (result != kOk) return fail(result);
    } else {
        {
            File text(palFileOpen(path, "r"));
            if (!text) return fail(kOpenFailed);
            char line[kLineRoom];
            while (palAsciiFileGets(line, sizeof line, text.get()) != nullptr && line[0] != '\0') {
                char* key = nullptr;
                char* value = nullptr;
                if (!tcsTestGetKeyValue(line, &key, &value)) continue;
                if (palAsciiStringsIMatch(key, "FirmwareVersion")) {
                    int parts[4] = {};
                    if (std::sscanf(value, "%d.%d.%d.%d", &parts[0], &parts[1], &parts[2], &parts[3]) == 4) {
                        for (int i = 0; i < 4; ++i) version[i] = uint32_t(parts[i]);
                    }
                    continue;
                }
                const uint32_t number = uint32_t(std::strtoul(value, nullptr, 10));
                struct Field {
                    const char* name;
                    uint32_t index;
                };
                static const Field fields[] = {{"FlexID", 4}, {"SOClock", 5}, {"SwipeSpeed", 6}, {"LinePeriod", 7}};
                bool matched = false;
                for (const Field& field : fields) {
                    if (!palAsciiStringsIMatch(key, field.name)) continue;
                    result = scsSensorSetUint32DataToPrintConfig(scs, config, field.index, number);
                    if (result != kOk) return fail(result);
                    matched = true;
                    break;
                }
                if (!matched && palAsciiStringsIMatch(key, "LineLength")) lineLength = number;
            }
        }
        File binary(palFileOpen(path, "rb"));
        if (!binary) return fail(kOpenFailed);
        std::vector<uint8_t> blob = readBlob(binary.get());
        if (!blob.empty()) {
            result = scsSensorSetPrintParamBlobToPrintConfig(scs, config, blob.data(), uint32_t(blob.size()));
            if (result != kOk) return fail(result);
        }
    }
    result = scsSensorSetUint32DataToPrintConfig(scs, config, kLineLengthField, lineLength);
    for (uint32_t i = 0; i < 4 && result == kOk; ++i) result = scsSensorSetUint32DataToPrintConfig(scs, config, i, version[i]);
    if (result != kOk) return fail(result);
    *outConfig = config;
    return kOk;
}

TcsResult tcsTestGetUint32DataFromPrintConfig(TcsHandle handle, const PrintConfiguration* config, uint32_t index,
                                              uint32_t* outValue) {
    if (handle == 0) return kNullSensor;
    if (outValue == nullptr) return kNullPointer;
    if (index > kLastConfigField) return kBadParam;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    return scsSensorGetUint32DataFromPrintConfig(sensor.scs(), config, index, outValue);
}

TcsResult tcsTestSetUint32DataToPrintConfig(TcsHandle handle, PrintConfiguration* config, uint32_t index,
                                            uint32_t value) {
    if (handle == 0) return kNullSensor;
    if (config == nullptr) return kNullPointer;
    if (index > kLastConfigField) return kBadParam;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    return scsSensorSetUint32DataToPrintConfig(sensor.scs(), config, index, value);
}

TcsResult tcsTestGetPrintParamBlobFromPrintConfig(TcsHandle handle, const PrintConfiguration* config,
                                                  const uint8_t** outBlob, uint32_t* outLength) {
    if (handle == 0) return kNullSensor;
    if (outBlob == nullptr || outLength == nullptr) return kNullPointer;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    return scsSensorGetPrintParamBlobFromPrintConfig(sensor.scs(), config, outBlob, outLength);
}

TcsResult tcsTestSetPrintParamBlobToPrintConfig(TcsHandle handle, PrintConfiguration* config, const uint8_t* blob,
                                                uint32_t length) {
    if (handle == 0) return kNullSensor;
    if (config == nullptr || blob == nullptr) return kNullPointer;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    return scsSensorSetPrintParamBlobToPrintConfig(sensor.scs(), config, blob, length);
}

TcsResult tcsTestGetPrintConfig(TcsHandle handle, uint32_t flexId, uint32_t soClock, uint32_t swipeSpeed,
                                uint32_t bitDepth, PrintConfiguration** outConfig) {
    if (handle == 0) return kNullSensor;
    if (outConfig == nullptr) return kNullPointer;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    return scsSensorFindPrintConfiguration(ref.device, flexId, soClock, swipeSpeed, bitDepth, outConfig);
}

TcsResult tcsTestFreePrintConfig(TcsHandle handle, PrintConfiguration** config) {
    if (handle == 0) return kNullSensor;
    if (config == nullptr) return kNullPointer;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    return scsSensorFreePrintConfiguration(sensor.scs(), config);
}

TcsResult tcsTestGetPreconfScanlineLength(TcsHandle handle, uint16_t* outLength) {
    if (outLength == nullptr) return kNullPointer;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    PrintConfiguration* defaults = nullptr;
    result = scsSensorGetDefaultPrintConfiguration(sensor.scs(), &defaults);
    if (result != kOk) return result;
    uint32_t length = 0;
    result = scsSensorGetUint32DataFromPrintConfig(sensor.scs(), defaults, kLineLengthField, &length);
    if (result != kOk) return result;
    *outLength = uint16_t(length);
    return kOk;
}

TcsResult tcsTestSensorGetConfigData(TcsHandle handle, ScsPrintConfigurationData** outRecord) {
    if (outRecord == nullptr) return kNullPointer;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    auto* record = static_cast<ScsPrintConfigurationData*>(palRealMalloc(sizeof(ScsPrintConfigurationData)));
    if (record == nullptr) return kNoMemory;
    std::memset(record, 0, sizeof *record);
    result = scsSensorGetPrintConfigurationData(sensor.scs(), record);
    if (result != kOk) {
        palRealFree(record);
        return result;
    }
    *outRecord = record;
    return kOk;
}

TcsResult tcsTestSensorFreeConfigData(ScsPrintConfigurationData** record) {
    if (record == nullptr || *record == nullptr) return kNullPointer;
    TcsResult result = scsSensorFreePrintConfigurationData(*record);
    if (result != kOk) return result;
    palRealFree(*record);
    *record = nullptr;
    return kOk;
}

TcsResult tcsTestGetUint32DataFromConfigData(const ScsPrintConfigurationData* record, uint32_t index,
                                             uint32_t* outValue) {
    if (record == nullptr || outValue == nullptr || index > 26) return kBadParam;
    const ScsFwVersion* version = versionOf(record);
    const auto* versionBytes = reinterpret_cast<const uint8_t*>(version);
    uint32_t value = 0;
    if (index == 0) value = record->timeStamp;
    else if (index == 1) value = record->flexId;
    else if (index == 2) value = record->transportKind;
    else if (index == 3) value = record->transportValue1;
    else if (index == 4) value = record->transportValue2;
    else if (index == 5) value = version != nullptr ? version->id : 0;
    else if (index == 6) value = version != nullptr ? version->build : 0;
    else if (index <= 14) value = version != nullptr ? versionBytes[8 + (index - 7)] : 0;
    else if (index == 15) value = version != nullptr ? versionBytes[24] : 0;
    else if (index <= 19) value = record->printCommand[index - 16];
    else if (index <= 23) {
        const ScsBaseLineImage* plane = baselinePlane(record, index <= 21 ? 0 : 1);
        if (plane != nullptr) value = (index % 2 == 0) ? plane->width : plane->height;
    } else if (index == 24) value = record->printCommand[4];
    else value = record->bitReduction[index - 25];
    *outValue = value;
    return kOk;
}

TcsResult tcsTestGetBlobDataFromConfigData(const ScsPrintConfigurationData* record, uint32_t index,
                                           const uint8_t** outData, uint32_t* outLength) {
    if (record == nullptr || outData == nullptr || outLength == nullptr || index > 6) return kBadParam;
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    const ScsFwVersion* version = versionOf(record);
    switch (index) {
    case 0:
        if (version != nullptr) data = version->serial, length = sizeof version->serial;
        break;
    case 1:
        if (version != nullptr) data = &version->byte22, length = 2;
        break;
    case 2:
        data = record->tsTable, length = record->tsTableLength;
        break;
    case 3:
        data = record->configReply, length = record->configReplyLength;
        break;
    case 4:
        data = record->printParam, length = record->printParamLength;
        break;
    default:
        if (const ScsBaseLineImage* plane = baselinePlane(record, int(index) - 5)) {
            data = plane->pixels, length = plane->width * plane->height;
        }
        break;
    }
    if (data == nullptr) length = 0;
    *outData = data;
    *outLength = length;
    return kOk;
}

TcsResult tcsTestGetCalibrationResultsFromConfigData(const ScsPrintConfigurationData* record, uint32_t** outArray,
                                                     uint32_t* outCount, uint32_t* outB, uint32_t* outC) {
    if (record == nullptr || outArray == nullptr || outCount == nullptr || outB == nullptr || outC == nullptr ||
        record->calResults == nullptr) {
        return kBadParam;
    }
    CalOldFormatRecord old{};
    TcsResult result = calResultsGetResultsInOldFormat(static_cast<CalResultsContainer*>(record->calResults), &old);
    if (result != kOk) return result;
    *outArray = old.words;
    *outCount = old.count;
    *outB = old.usesDefaults;
    *outC = old.getPrintStatus;
    return kOk;
}

TcsResult tcsTestGetCalStatusResults(TcsHandle handle, uint32_t** outArray, uint32_t* outCount, uint32_t* outB,
                                     uint32_t* outC) {
    if (outArray == nullptr || outCount == nullptr || outB == nullptr || outC == nullptr) return kNullPointer;
    ScsPrintConfigurationData* record = nullptr;
    TcsResult result = tcsTestSensorGetConfigData(handle, &record);
    if (result != kOk) return result;
    if (record == nullptr) return kOk;
    uint32_t* words = nullptr;
    uint32_t count = 0, b = 0, c = 0;
    result = tcsTestGetCalibrationResultsFromConfigData(record, &words, &count, &b, &c);
    if (result == kOk) {
        auto* copy = static_cast<uint32_t*>(palRealMalloc(count * sizeof(uint32_t) + 1));
        if (copy == nullptr) {
            result = kNoMemory;
        } else {
            if (count != 0) std::memcpy(copy, words, count * sizeof(uint32_t));
            *outArray = copy;
            *outCount = count;
            *outB = b;
            *outC = c;
        }
    }
    palRealFree(words);
    tcsTestSensorFreeConfigData(&record);
    return result;
}

TcsResult tcsTestFreeCalStatusResults(uint32_t* array) {
    palRealFree(array);
    return kOk;
}

TcsResult tcsTestSensorGetHarlokConfigData(TcsHandle handle, ScsHarlokData* out) {
    if (out == nullptr) return kNullPointer;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    return scsSensorGetHarlokData(sensor.scs(), out);
}

TcsResult tcsTestSensorFreeHarlokConfigData(ScsHarlokData* data) {
    if (data == nullptr) return kNullPointer;
    return scsSensorFreeHarlokData(data);
}

TcsResult tcsTestGetRegFieldValueFromGetPrintDataV4(const uint8_t* block, uint32_t length, uint32_t address,
                                                    uint8_t lowBit, uint8_t highBit, uint32_t* outValue) {
    if (lowBit > 31 || highBit > 31) return kBadParam;
    if (block == nullptr || outValue == nullptr) return kNullPointer;
    if (length == 0) return kInvalid;
    // A field whose high bit lies below its low bit has no mask: refused rather than shifted by a
    // negative count.
    if (highBit < lowBit) return kBadParam;
    const uint32_t mask = uint32_t(2u << (highBit - lowBit)) - 1u;  // 32-bit: a 32-bit field gives all ones
    const uint32_t shifted = mask << lowBit;
    uint32_t offset = 0;
    while (uint64_t(offset) + 4 <= length) {
        const uint16_t tag = u16At(block + offset);
        const uint16_t recordLength = u16At(block + offset + 2);
        const uint8_t* data = block + offset + 4;
        // A record that runs past the block is malformed, not read past its end.
        if (uint64_t(offset) + 4 + recordLength > length) return kBadParam;
        if (tag == 3) {
            if (recordLength != 9) return kBadParam;
            if (u32At(data) == address) {
                *outValue = (u32At(data + 4) >> lowBit) & mask;
                return kOk;
            }
        } else if (tag == 5) {
            if (recordLength != 14) return kBadParam;
            const uint16_t code = u16At(data);
            const uint32_t space = code >> 13;
            const uint32_t registerOffset = code & 0x1FFFu;
            uint32_t registerAddress = 0;
            if (space == 1) {
                registerAddress = 0x38000000u + registerOffset;
            } else if (space == 0) {
                if (registerOffset > 4095) return 9;
                registerAddress = 0x30042000u + registerOffset;
            } else if (space == 2) {
                registerAddress = 0x3800A000u + registerOffset;
            } else {
                return kBadParam;
            }
            if (registerAddress == address) {
                if ((u32At(data + 2) & shifted) != 0 || (u32At(data + 6) & shifted) != 0) return kInvalid;
                *outValue = (u32At(data + 10) >> lowBit) & mask;
                return kOk;
            }
        }
        offset += 4 + recordLength;
        if (offset >= length) return kInvalid;
    }
    return kInvalid;
}

}  // extern "C"
