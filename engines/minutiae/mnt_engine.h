// Minutiae engine: the flat interface, its result codes and the verify record.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MntContext MntContext;

// The engine's own result codes; matcher 1 maps every failure to its engine error.
enum {
    MNT_OK = 0,
    MNT_NO_MATCH = -1,
    MNT_OUT_OF_MEMORY = -2,
    MNT_NO_CONTEXT = -3,
    MNT_NULL_POINTER = -4,
    MNT_BAD_VALUE = -5,
    MNT_UNKNOWN_PARAMETER = -10,
    MNT_READ_ONLY_PARAMETER = -11,
    MNT_BAD_RESOLUTION = -101,
    MNT_BAD_IMAGE_SIZE = -102,
    MNT_NO_FEATURES = -103,
    MNT_BUSY = -1000,
};

// Type codes returned by the type query (MntGetParameter with id 0).
enum {
    MNT_TYPE_U64 = 5,
    MNT_TYPE_INT = 6,
    MNT_TYPE_FLAG = 10,
    MNT_TYPE_TEXT = 100,
};

// Caller-owned result of a comparison; size is 24 (short) or 4128 (with the minutia pairs).
typedef struct MntVerifyRecord {
    uint64_t size;
    int32_t score;
    uint32_t rotation;
    int32_t translationX;
    int32_t translationY;
    uint32_t pairCount;
    uint16_t firstIndices[1024];
    uint16_t secondIndices[1024];
    uint8_t padding[4];
} MntVerifyRecord;

enum { MNT_VERIFY_RECORD_SHORT = 24, MNT_VERIFY_RECORD_LONG = 4128 };

int32_t MntInitialize(void);
int32_t MntFinalize(void);
MntContext* MntCreateContext(void);
int32_t MntFreeContext(MntContext* context);

// A null context means the default context. For id 0 `out` carries the id asked about.
int32_t MntSetParameter(uint32_t id, int32_t value, MntContext* context);
int32_t MntGetParameter(uint32_t id, void* out, MntContext* context);

// Extracts the compressed feature set of a width x height 8-bit image (0 black) at `resolution`
// dpi into `features` (at most 26250 bytes), its length into `size`; the pixels are replaced by
// the processed binary image. 0, or -103 when the image is too poor (set still delivered).
int32_t MntExtract(int32_t width, int32_t height, uint8_t* pixels, int32_t resolution, uint8_t* features,
                   uint64_t* size, MntContext* context);

// Compares two compressed feature sets (a null record is allowed); 0 when the score is above the
// threshold, -1 when not.
int32_t MntVerify(const uint8_t* features1, const uint8_t* features2, MntVerifyRecord* record,
                  MntContext* context);

// Merges three sets of one finger into `features`; returns the index of the impression whose frame
// the result uses, or -1 when the impressions do not agree.
int32_t MntGeneralize(int32_t count, const uint8_t* const* sets, uint8_t* features, uint64_t* size,
                      MntContext* context);

// One probe against many candidates; the context is busy from Start to End.
int32_t MntIdentifyStart(const uint8_t* probe, MntContext* context);
int32_t MntIdentifyNext(const uint8_t* candidate, MntVerifyRecord* record, MntContext* context);
int32_t MntIdentifyEnd(MntContext* context);

#ifdef __cplusplus
}
#endif
