// Liveness: the flat interface of the liveness classifier (foreground mask, 159 image features, a
// one-hidden-layer perceptron over them) and the packed records it takes.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The module's own small codes. 56 to 61 name the first argument check that failed; each
// function below lists what its codes mean.
#define NEX_RESULT_OK 0u
#define NEX_RESULT_NOT_ANALYSED 1u  // no liveness result: the image could not be analysed, or no tables
#define NEX_RESULT_OUT_OF_MEMORY 2u

#define NEX_FEATURE_COUNT 159
#define NEX_HIDDEN_UNITS 50
#define NEX_HANDLE_TAG 74u
#define NEX_STATUS_PAYLOAD 4u
#define NEX_RESULT_PAYLOAD 29u

#pragma pack(push, 1)

typedef struct NexConfigRecord {
    uint32_t size;  // at least 44
    uint32_t configId;  // the driver passes the sensor's USB vendor id
    uint8_t reserved[24];
    uint32_t dataSize;
    const void* data;  // NULL or fewer than 4 bytes: the built-in configuration data
} NexConfigRecord;

// The image to test: 8-bit grey pixels, row after row.
typedef struct nexImage_t {
    uint32_t size;  // at least 52
    uint32_t zero;  // must be 0
    uint64_t quality;  // the image's quality flags; bit 31 (a failed reconstruction) must be clear
    uint32_t bitsPerPixel;  // must be 8
    uint32_t swipeSpeed;
    uint32_t xResolution;  // dpi
    uint32_t yResolution;
    uint32_t rows;
    uint32_t columns;
    uint32_t dataSize;  // at least rows x columns x bits per pixel / 8
    const uint8_t* pixels;
} nexImage_t;

typedef struct NexFlagsRecord {
    uint32_t size;  // more than 24
    uint8_t flags[21];  // the driver sets the last byte to 1
} NexFlagsRecord;

typedef struct NexStatusRecord {
    uint32_t size;  // more than 8
    uint8_t payload[NEX_STATUS_PAYLOAD + 5];
} NexStatusRecord;

typedef struct NexResultRecord {
    uint32_t size;  // more than 8
    int32_t score;  // 0 until a test succeeds
    uint8_t rest[NEX_RESULT_PAYLOAD + 5 - 4];
} NexResultRecord;

#pragma pack(pop)

// The trained classifier: each feature's range [mn, mx] (never empty), the hidden layer's weights
// (row j for hidden unit j + 1: column 0 the bias, columns 1 to 159 the normalised features) and
// the output weights (w[0] the bias).
typedef struct NexClassifierTables {
    double mn[NEX_FEATURE_COUNT];
    double mx[NEX_FEATURE_COUNT];
    double v[NEX_HIDDEN_UNITS][NEX_FEATURE_COUNT + 1];
    double w[NEX_HIDDEN_UNITS + 1];
} NexClassifierTables;

typedef struct NexHandle NexHandle;

// Installs a copy of the classifier tables that handles made from now on score with; NULL removes
// them. The system ships none: without tables every test ends with NEX_RESULT_NOT_ANALYSED.
// 0 installed or removed; 60 a range that is empty or a value that is not finite; 2 out of memory
// (on failure nothing changes).
uint32_t nexSetClassifierTables(const NexClassifierTables* tables);

// The built-in configuration data (one u32 of value 4); NULL when outSize is NULL.
const void* nexGetConfigData(uint32_t* outSize);

// Makes a handle for one test and reports the payload sizes of the status and result records
// (4 and 29). 0; 57 outHandle NULL; 58 outStatusSize NULL; 59 outResultSize NULL; 60 config NULL or
// its size below 44; 2 out of memory. On failure *outHandle is NULL and nothing stays allocated.
uint32_t nexInitialize(uint64_t value, NexHandle** outHandle, uint32_t* outStatusSize, uint32_t* outResultSize,
                       const NexConfigRecord* config);

// Scores the image. In the order checked: 56 handle NULL or not tagged 74; 57 image NULL or failing
// one of its checks; 58 a result record given and the second descriptor NULL or of 51 bytes or
// less; 59 flags NULL or of 24 bytes or less; 60 status NULL or of 8 bytes or less; 61 result NULL
// or of 8 bytes or less; 1 no tables, no pixels, a side beyond 65535 pixels, or the mask or the features
// could not be made; 2 out of memory; 0 with the score in the result record.
uint32_t nexLivenessTest(NexHandle* handle, const nexImage_t* secondImage, const nexImage_t* image,
                         const NexFlagsRecord* flags, NexStatusRecord* status, NexResultRecord* result);

// Releases the handle: 56 handle NULL or not tagged (nothing released); 57 result NULL or of 8 bytes
// or less; else 0. A tagged handle is released in every case.
uint32_t nexFinalize(NexHandle* handle, const nexImage_t* image, const NexFlagsRecord* flags, NexStatusRecord* status,
                     NexResultRecord* result);

// Releases a handle's classifier state; NULL is ignored.
void livRelease(void* classifierState);

// Does nothing; 0.
uint32_t livClassify(NexHandle* handle, nexImage_t image, double value);

#ifdef __cplusplus
}
#endif
