// Tag records and print configurations: the record walker, the fixed records a capture asks
// with, and the PrintConfiguration record (fields, owned parameter blob, clone, free, bit-depth
// conversion).
#pragma once

#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// {u16 tag, u16 length, length bytes}, little-endian, packed back to back in a blob. Records sit at
// any byte offset: read their fields with scsTagRecordTag/Length, never through the struct.
typedef struct TagRecord {
    uint16_t tag;
    uint16_t length;
} TagRecord;

uint16_t scsTagRecordTag(const TagRecord* record);
uint16_t scsTagRecordLength(const TagRecord* record);

enum {
    SCS_TAG_BIT_REDUCTION = 5,
    SCS_TAG_SECURITY = 6,
    SCS_TAG_WOE = 7,
    SCS_TAG_CULL = 21,
    SCS_TAG_CONFIG_REPLY = 23,
    SCS_TAG_WOVAR = 25,
    SCS_TAG_FP_BUFFERING = 34,
    SCS_TAG_TSBL_CONFIG_REPLY = 35,
};

// Thirteen u32 fields by index (firmware major, minor, build, revision, flex id, SO clock, swipe
// speed, line period, line length, mode mask, bit depth, two match values), the owned blob.
enum { SCS_PRINT_CONFIG_FIELDS = 13, SCS_PC_FLEX_ID = 4, SCS_PC_SO_CLOCK = 5, SCS_PC_SWIPE_SPEED = 6,
       SCS_PC_LINE_PERIOD = 7, SCS_PC_LINE_LENGTH = 8, SCS_PC_MODE_MASK = 9, SCS_PC_BIT_DEPTH = 10 };
typedef struct PrintConfiguration {
    uint32_t fields[SCS_PRINT_CONFIG_FIELDS];
    uint32_t blobLength;
    uint8_t* blob;  // palRealMalloc'd
} PrintConfiguration;

// NULL and the all-ones pointer both stand for the device's default configuration; it owns nothing.
#define SCS_PRINT_CONFIG_DEFAULT ((PrintConfiguration*)~(uintptr_t)0)
int scsIsDefaultPrintConfig(const PrintConfiguration* config);

typedef uint32_t (*ScsPrintParamCallback)(const TagRecord* record, void* context, uint32_t bytesLeft);

TcsResult scsSensorFindPrintParam(const uint8_t* blob, uint32_t length, uint16_t tag, const TagRecord** outRecord);
TcsResult scsSensorEnumPrintParams(const uint8_t* blob, uint32_t length, ScsPrintParamCallback callback,
                                   void* context);
// The copy is palRealMalloc'd; the caller frees it with palRealFree.
TcsResult scsGetParamBlobFromCfgData(const uint8_t* blob, uint32_t length, uint32_t tag, uint8_t** outCopy,
                                     uint32_t* outLength, uint32_t* outFound);
TcsResult scsGetConfigReplyParams(TagRecord* outRecord, uint32_t* outSize, uint16_t tag);
TcsResult scsGetTSBLCFGReplyParams(TagRecord* outRecord, uint32_t* outSize);

// Frees blob and record unless *config is a default, and sets *config to NULL.
TcsResult scsHarlokFreePrintConfig(PrintConfiguration** config);
// New record with a copied blob; the depth changes only from 8 to a smaller target.
TcsResult scsHarlokConvertPrintConfig(const PrintConfiguration* config, uint32_t bitDepth,
                                      PrintConfiguration** outConfig);

#ifdef __cplusplus
}

namespace scsprint {

// What a default record reads as, from the device.
struct DeviceDefaults {
    uint32_t flexId, soClock, swipeSpeed, bitDepth;
    uint32_t lineLengthOverride;  // 0: none
    uint32_t productFamily;
};

// 140 for families 3 and 4, else 288, unless the device overrides it.
uint32_t defaultLineLength(const DeviceDefaults& device);
TcsResult getField(const PrintConfiguration* config, uint32_t index, const DeviceDefaults& device, uint32_t* out);
TcsResult setField(PrintConfiguration* config, uint32_t index, uint32_t value);
TcsResult getBlob(const PrintConfiguration* config, const uint8_t** outBlob, uint32_t* outLength);
TcsResult setBlob(PrintConfiguration* config, const uint8_t* data, uint32_t length);
// Frees what *out holds, then stores a deep copy of source (or source itself when a default).
TcsResult clone(const PrintConfiguration* source, PrintConfiguration** out);
// A new record with a copied blob.
TcsResult copy(const PrintConfiguration& source, PrintConfiguration** out);

}  // namespace scsprint
#endif
