// Matcher 2 over the outside matcher library: the buffers it hands to the library and the liveness
// level it reads from a template's anti-spoofing profile.
#pragma once

#include "tcs/matching/mss.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The image the library takes: the centred window of at most nFpImageWidth x nFpImageHeight pixels,
// rows in reverse order, behind a 24-byte header.
typedef struct OrbImage {
    uint32_t width;
    uint32_t height;
    uint32_t resolution;  // 500
    uint8_t* pixels;
} OrbImage;

// count x 4096-byte slots, each a template's data cut or zero-padded to 4096 bytes.
typedef struct OrbTemplateList {
    uint32_t size;
    uint8_t* slots;
} OrbTemplateList;

typedef struct OrbBuffer {
    uint32_t size;
    uint8_t* data;
} OrbBuffer;

// NULL when the image has no valid pixels or memory runs out; free with palRealFree.
OrbImage* mssOrbisImageFromImage(ImageRecord* image);
OrbTemplateList* mssOrbisTemplateList(EnrollTemplate** templates, uint32_t count);

// The liveness level of a template for a false-acceptance mode, -1 when it has none.
int32_t _tcsGetAspThreshold(EnrollTemplate* templ, uint32_t mode);
int32_t tcsGetAspThreshold(uint64_t templateHandle, uint32_t mode);

#ifdef __cplusplus
}
#endif
