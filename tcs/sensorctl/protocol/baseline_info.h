// The device's baseline information: the record the power-up baseline and the captures keep, which
// the capture request's motion record reads too.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A baseline-information block: three images, each a 24-byte header {u32, u32 width, u32 height,
// u32, pixel buffer}.
typedef struct ScsBaseLineImage {
    uint32_t kind;
    uint32_t width;
    uint32_t height;
    uint32_t reserved;
    uint8_t* pixels;  // width x height bytes, palRealMalloc'd; NULL when the image is absent
} ScsBaseLineImage;
typedef struct ScsBaseLineInfo {
    ScsBaseLineImage images[3];
} ScsBaseLineInfo;
#ifdef __cplusplus
}
#endif
