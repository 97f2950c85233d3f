// Capture files: one swipe as the sensor produced it, kept as typed sections with 12-byte headers.
//
// Callers read and write section records by kind (1..28); on disk each kind has its own section
// type, and four kinds are stored as a pair of sections. All multi-byte values are little-endian.
#pragma once

#include "tcs/result.h"

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QCF_RESULT_SECTION_MISSING 531u  // the file holds no section of the kind asked for

typedef enum CaptureFileSectionKind {
    QCF_KIND_RAW = 0,  // a section type without a decoder, handed on as it was read
    QCF_KIND_HEADER = 1,
    QCF_KIND_BLOB_2 = 2,
    QCF_KIND_BLOB_3 = 3,
    QCF_KIND_REGISTERS = 4,
    QCF_KIND_BLOB_5 = 5,
    QCF_KIND_TIMESLOT_TABLE = 6,
    QCF_KIND_GET_PRINT_CONFIG = 7,
    QCF_KIND_SWIPE_DIRECTION = 8,
    QCF_KIND_BIT_REDUCTION = 9,
    QCF_KIND_CAL_RESULTS_OLD = 10,
    QCF_KIND_CAL_RESULTS = 11,
    QCF_KIND_BASELINE_FIRST = 12,  // 12..17, and 20
    QCF_KIND_BASELINE_LAST = 17,
    QCF_KIND_BASELINE_IMAGE_1 = 18,
    QCF_KIND_BASELINE_IMAGE_2 = 19,
    QCF_KIND_BASELINE_20 = 20,
    QCF_KIND_RAW_FP_DATA = 21,
    QCF_KIND_FINGER_ON_OFF_AREA = 22,
    QCF_KIND_RAW_DATA_TRIM = 23,
    QCF_KIND_DIFF_LINE_LEN = 24,
    QCF_KIND_USER_INFO = 25,
    QCF_KIND_BLOB_26 = 26,
    QCF_KIND_BASELINE_VARIANCE = 27,
    QCF_KIND_RAW_BUFFERED_SIZE = 28,
} CaptureFileSectionKind;

typedef struct QcfHeaderRecord {
    uint32_t words[7];
    uint8_t bytes8[8];
    uint8_t bytes6[6];
    uint8_t bytes2[2];
    uint8_t value8;  // kept in the type-29 partner section
    uint8_t pad;
    uint16_t value16;  // kept in the type-29 partner section
} QcfHeaderRecord;

typedef struct QcfBlobRecord {
    uint32_t size;
    const uint8_t* data;
} QcfBlobRecord;

typedef struct QcfWordsRecord {  // registers and time-slot table
    uint32_t count;
    const uint32_t* values;
} QcfWordsRecord;

typedef struct QcfGetPrintConfigRecord {
    uint32_t first;
    uint32_t second;
    uint16_t third;
} QcfGetPrintConfigRecord;

typedef struct QcfCalOldRecord {
    uint32_t flag;
    uint32_t extra;
    uint32_t extended;  // 1: the extra value is stored too
    uint32_t values[7];
} QcfCalOldRecord;

typedef struct QcfCalResultsRecord {
    uint32_t first;
    uint32_t second;
    uint32_t count;
    const uint32_t* pairs;  // count (u32, u32) pairs
} QcfCalResultsRecord;

typedef struct QcfBaselineRecord {
    uint16_t first;
    uint16_t second;
    const uint8_t* data;  // first x second bytes
} QcfBaselineRecord;

typedef struct QcfBaselineImageRecord {
    uint16_t first;
    uint16_t second;
    uint32_t flag;
    const uint8_t* data;
} QcfBaselineImageRecord;

typedef struct QcfRawDataRecord {
    uint16_t lineLength;
    uint16_t second;
    uint32_t dataLength;
    const uint8_t* data;
} QcfRawDataRecord;

// The fixed parts are kept as they stand on disk: packed fields, u16 values little-endian.
#define QCF_FINGER_AREA_FIXED 167u
#define QCF_TRIM_FIXED 158u
typedef struct QcfVariableRecord {  // kinds 22 and 23
    uint8_t fixed[QCF_FINGER_AREA_FIXED];
    uint32_t count;
    const uint8_t* data;
} QcfVariableRecord;

typedef struct QcfPairRecord {  // kind 24: two u16
    uint16_t first;
    uint16_t second;
} QcfPairRecord;

typedef struct QcfUserInfoRecord {
    uint32_t first;
    uint16_t second;
    uint32_t third;
} QcfUserInfoRecord;

typedef struct QcfRawSectionRecord {  // kind 0
    uint32_t type;
    uint32_t length;
    uint32_t version;
    const uint8_t* data;
    uint32_t dataLength;
} QcfRawSectionRecord;

typedef struct QcfSection {
    uint32_t kind;
    union {
        QcfHeaderRecord header;
        QcfBlobRecord blob;
        QcfWordsRecord words;
        QcfGetPrintConfigRecord getPrintConfig;
        uint32_t value;  // kinds 8, 27, 28
        uint32_t bitReduction[2];
        QcfCalOldRecord calOld;
        QcfCalResultsRecord calResults;
        QcfBaselineRecord baseline;
        QcfBaselineImageRecord baselineImage;
        QcfRawDataRecord raw;
        QcfVariableRecord variable;
        QcfPairRecord pair;
        QcfUserInfoRecord userInfo;
        QcfRawSectionRecord unknown;
        uint8_t area[184];
    } u;
} QcfSection;

typedef struct QcfFile QcfFile;
typedef struct QcfIterator QcfIterator;

TcsResult fclQcfCreateA(QcfFile** outFile, const char* path);
TcsResult fclQcfCreateW(QcfFile** outFile, const uint16_t* path);
TcsResult fclQcfOpenA(QcfFile** outFile, const char* path);
TcsResult fclQcfOpenW(QcfFile** outFile, const uint16_t* path);
TcsResult fclQcfClose(QcfFile* file);
TcsResult fclQcfWriteSection(QcfFile* file, const QcfSection* section);
// Variable kinds point into the file's cache, valid until the file is closed.
TcsResult fclQcfReadSection(QcfFile* file, QcfSection* section);
TcsResult fclQcfAppendRawData(QcfFile* file, const void* data, uint32_t length, uint32_t last);
TcsResult fclQcfInsertRawData(QcfFile* file, const void* data, uint32_t length, uint32_t offset);

TcsResult fclQcfIteratorGetFirstA(QcfIterator** outIterator, const char* path);
TcsResult fclQcfIteratorGetFirstW(QcfIterator** outIterator, const uint16_t* path);
TcsResult fclQcfIteratorMoveToFirst(QcfIterator* iterator);
// 3 at the end of the file.
TcsResult fclQcfIteratorMoveToNext(QcfIterator* iterator);
// Pointers in the record stay valid until the iterator moves or closes.
TcsResult fclQcfIteratorGetData(QcfIterator* iterator, QcfSection* outSection);
TcsResult fclQcfIteratorClose(QcfIterator* iterator);
TcsResult fclQcfWriteSectionByIterator(QcfFile* file, const QcfSection* section);

// The path with the extension added unless it already holds it anywhere; free with palRealFree.
TcsResult fclAppendExtentionToPath(char** outPath, const char* extension, const char* path);
uint32_t fclGetFileSize(FILE* stream);
TcsResult fclInsertDataToFile(FILE* stream, const void* data, uint32_t length, uint32_t offset);
void fclUnpack4bitArray(const uint8_t* packed, uint8_t* out, uint32_t count);
// Writes the BMP bits of an image that has a handle into a new file; 17 for an image without one.
struct ImageRecord;
TcsResult fclWriteImageToBmpFile(const char* path, struct ImageRecord* image);

#ifdef __cplusplus
}
#endif
