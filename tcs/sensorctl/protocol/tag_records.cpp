// Tag records and print configurations: walking record runs, the fixed request records, and the
// PrintConfiguration record's accessors, clone, free and bit-depth conversion.
#include "tcs/sensorctl/protocol/tag_records.h"

#include "platform/memory.h"

#include <cstring>

namespace {

uint16_t readU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

void writeRecordHeader(TagRecord* out, uint16_t tag, uint16_t length) {
    uint8_t* p = reinterpret_cast<uint8_t*>(out);
    p[0] = uint8_t(tag);
    p[1] = uint8_t(tag >> 8);
    p[2] = uint8_t(length);
    p[3] = uint8_t(length >> 8);
}

// Walks the records: calls visit(record, bytes left) until it returns true. 0 at the exact end or
// when stopped, 7 for a record running past the end or a 1-3 byte tail.
template <typename Visit>
TcsResult walk(const uint8_t* blob, uint32_t length, Visit visit) {
    uint32_t at = 0;
    while (at < length) {
        const uint32_t left = length - at;
        if (left < 4) return TCS_RESULT_INVALID;
        const uint32_t recordLength = readU16(blob + at + 2);
        if (left - 4 < recordLength) return TCS_RESULT_INVALID;
        if (visit(reinterpret_cast<const TagRecord*>(blob + at), left)) return TCS_RESULT_OK;
        at += 4 + recordLength;
    }
    return TCS_RESULT_OK;
}

}  // namespace

extern "C" {

uint16_t scsTagRecordTag(const TagRecord* record) { return readU16(reinterpret_cast<const uint8_t*>(record)); }
uint16_t scsTagRecordLength(const TagRecord* record) {
    return readU16(reinterpret_cast<const uint8_t*>(record) + 2);
}

int scsIsDefaultPrintConfig(const PrintConfiguration* config) {
    return config == nullptr || config == SCS_PRINT_CONFIG_DEFAULT;
}

TcsResult scsSensorFindPrintParam(const uint8_t* blob, uint32_t length, uint16_t tag, const TagRecord** outRecord) {
    if (outRecord == nullptr) return TCS_RESULT_BAD_PARAM;
    *outRecord = nullptr;
    if (length == 0) return TCS_RESULT_OK;
    if (blob == nullptr) return TCS_RESULT_BAD_PARAM;
    const TcsResult result = walk(blob, length, [&](const TagRecord* record, uint32_t) {
        if (scsTagRecordTag(record) != tag) return false;
        *outRecord = record;
        return true;
    });
    if (result != TCS_RESULT_OK) *outRecord = nullptr;
    return result;
}

TcsResult scsSensorEnumPrintParams(const uint8_t* blob, uint32_t length, ScsPrintParamCallback callback,
                                   void* context) {
    if (callback == nullptr) return TCS_RESULT_BAD_PARAM;
    if (length == 0) return TCS_RESULT_OK;
    if (blob == nullptr) return TCS_RESULT_BAD_PARAM;
    return walk(blob, length,
                [&](const TagRecord* record, uint32_t left) { return callback(record, context, left) != 0; });
}

TcsResult scsGetParamBlobFromCfgData(const uint8_t* blob, uint32_t length, uint32_t tag, uint8_t** outCopy,
                                     uint32_t* outLength, uint32_t* outFound) {
    if (blob == nullptr || outLength == nullptr) return TCS_RESULT_BAD_PARAM;
    if (outCopy != nullptr) *outCopy = nullptr;
    *outLength = 0;
    if (outFound != nullptr) *outFound = 0;
    const TagRecord* record = nullptr;
    const TcsResult result = scsSensorFindPrintParam(blob, length, uint16_t(tag & 0xFF), &record);
    if (result != TCS_RESULT_OK || record == nullptr) return result;
    const uint32_t dataLength = scsTagRecordLength(record);
    if (outCopy != nullptr) {
        uint8_t* copy = static_cast<uint8_t*>(palRealMalloc(dataLength == 0 ? 1 : dataLength));
        if (copy == nullptr) return TCS_RESULT_INVALID;
        std::memcpy(copy, reinterpret_cast<const uint8_t*>(record) + 4, dataLength);
        *outCopy = copy;
    }
    *outLength = dataLength;
    if (outFound != nullptr) *outFound = 1;
    return TCS_RESULT_OK;
}

TcsResult scsGetConfigReplyParams(TagRecord* outRecord, uint32_t* outSize, uint16_t tag) {
    if (outSize == nullptr) return TCS_RESULT_BAD_PARAM;
    *outSize = 4;
    if (outRecord != nullptr) writeRecordHeader(outRecord, tag, 0);
    return TCS_RESULT_OK;
}

TcsResult scsGetTSBLCFGReplyParams(TagRecord* outRecord, uint32_t* outSize) {
    return scsGetConfigReplyParams(outRecord, outSize, SCS_TAG_TSBL_CONFIG_REPLY);
}

TcsResult scsHarlokFreePrintConfig(PrintConfiguration** config) {
    if (config == nullptr) return TCS_RESULT_BAD_PARAM;
    if (!scsIsDefaultPrintConfig(*config)) {
        palRealFree((*config)->blob);
        palRealFree(*config);
    }
    *config = nullptr;
    return TCS_RESULT_OK;
}

TcsResult scsHarlokConvertPrintConfig(const PrintConfiguration* config, uint32_t bitDepth,
                                      PrintConfiguration** outConfig) {
    if (scsIsDefaultPrintConfig(config) || outConfig == nullptr) return TCS_RESULT_NULL_POINTER;
    const uint32_t depth = config->fields[SCS_PC_BIT_DEPTH];
    const bool reduce = depth == 8 && bitDepth < 8 && bitDepth != depth;
    const uint32_t extra = reduce ? 18 : 0;
    auto* out = static_cast<PrintConfiguration*>(palRealMalloc(sizeof(PrintConfiguration)));
    if (out == nullptr) return TCS_RESULT_INVALID;
    *out = *config;
    out->blob = nullptr;
    const uint32_t blobLength = config->blobLength + extra;
    if (blobLength != 0) {
        out->blob = static_cast<uint8_t*>(palRealMalloc(blobLength));
        if (out->blob == nullptr) {
            palRealFree(out);
            return TCS_RESULT_INVALID;
        }
        if (config->blobLength != 0) std::memcpy(out->blob, config->blob, config->blobLength);
    }
    out->blobLength = blobLength;
    if (reduce) {
        uint8_t* r = out->blob + config->blobLength;
        const uint8_t record[18] = {5, 0, 14, 0, 0, 0, 0x0F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0,
                                    uint8_t(bitDepth * 16), uint8_t((bitDepth * 16) >> 8), 0, 0};
        std::memcpy(r, record, sizeof record);
        const uint32_t lineLength = config->fields[SCS_PC_LINE_LENGTH];
        out->fields[SCS_PC_BIT_DEPTH] = bitDepth;
        out->fields[SCS_PC_LINE_LENGTH] = ((((lineLength - 8) * bitDepth + 7) / 8) + 23) & ~15u;
    }
    *outConfig = out;
    return TCS_RESULT_OK;
}

}  // extern "C"

namespace scsprint {

uint32_t defaultLineLength(const DeviceDefaults& device) {
    if (device.lineLengthOverride != 0) return device.lineLengthOverride;
    return device.productFamily == 3 || device.productFamily == 4 ? 140 : 288;
}

TcsResult getField(const PrintConfiguration* config, uint32_t index, const DeviceDefaults& device, uint32_t* out) {
    if (index >= SCS_PRINT_CONFIG_FIELDS || out == nullptr) return TCS_RESULT_BAD_PARAM;
    if (!scsIsDefaultPrintConfig(config)) {
        *out = config->fields[index];
        return TCS_RESULT_OK;
    }
    switch (index) {
        case SCS_PC_FLEX_ID: *out = device.flexId; break;
        case SCS_PC_SO_CLOCK: *out = device.soClock; break;
        case SCS_PC_SWIPE_SPEED: *out = device.swipeSpeed; break;
        case SCS_PC_LINE_LENGTH: *out = defaultLineLength(device); break;
        case SCS_PC_BIT_DEPTH: *out = device.bitDepth; break;
        default: *out = 0; break;
    }
    return TCS_RESULT_OK;
}

TcsResult setField(PrintConfiguration* config, uint32_t index, uint32_t value) {
    if (scsIsDefaultPrintConfig(config) || index >= SCS_PRINT_CONFIG_FIELDS) return TCS_RESULT_BAD_PARAM;
    config->fields[index] = value;
    return TCS_RESULT_OK;
}

TcsResult getBlob(const PrintConfiguration* config, const uint8_t** outBlob, uint32_t* outLength) {
    if (outBlob == nullptr || outLength == nullptr) return TCS_RESULT_BAD_PARAM;
    if (scsIsDefaultPrintConfig(config)) {
        *outBlob = nullptr;
        *outLength = 0;
    } else {
        *outBlob = config->blob;
        *outLength = config->blobLength;
    }
    return TCS_RESULT_OK;
}

TcsResult setBlob(PrintConfiguration* config, const uint8_t* data, uint32_t length) {
    if (scsIsDefaultPrintConfig(config)) return TCS_RESULT_BAD_PARAM;
    if ((data == nullptr) != (length == 0)) return TCS_RESULT_BAD_PARAM;
    if (data == nullptr) {
        palRealFree(config->blob);
        config->blob = nullptr;
        config->blobLength = 0;
        return TCS_RESULT_OK;
    }
    if (length != config->blobLength || config->blob == nullptr) {
        auto* fresh = static_cast<uint8_t*>(palRealMalloc(length));
        if (fresh == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        palRealFree(config->blob);
        config->blob = fresh;
        config->blobLength = length;
    }
    std::memmove(config->blob, data, length);
    return TCS_RESULT_OK;
}

TcsResult copy(const PrintConfiguration& source, PrintConfiguration** out) {
    auto* fresh = static_cast<PrintConfiguration*>(palRealMalloc(sizeof(PrintConfiguration)));
    if (fresh == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    *fresh = source;
    fresh->blob = nullptr;
    if (source.blobLength != 0) {
        fresh->blob = static_cast<uint8_t*>(palRealMalloc(source.blobLength));
        if (fresh->blob == nullptr) {
            palRealFree(fresh);
            return TCS_RESULT_OUT_OF_MEMORY;
        }
        std::memcpy(fresh->blob, source.blob, source.blobLength);
    }
    *out = fresh;
    return TCS_RESULT_OK;
}

TcsResult clone(const PrintConfiguration* source, PrintConfiguration** out) {
    if (out == nullptr) return TCS_RESULT_BAD_PARAM;
    scsHarlokFreePrintConfig(out);
    if (scsIsDefaultPrintConfig(source)) {
        *out = const_cast<PrintConfiguration*>(source);
        return TCS_RESULT_OK;
    }
    return copy(*source, out);
}

}  // namespace scsprint
