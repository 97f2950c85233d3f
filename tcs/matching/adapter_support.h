// Helpers the matcher adapters share: safe access to an image's pixels and liveness metrics, and the
// anti-spoofing profile that matchers 2 and 4 attach at the end of an enrolment.
#pragma once

#include "tcs/core.h"
#include "tcs/matching/mss.h"

#include <cstdint>

namespace mss {

// The pixels of an image whose rows x columns lie within its allocation; null otherwise (a record
// unpacked from another process may claim more than it holds).
inline const uint8_t* imagePixels(ImageRecord* image) {
    if (image == nullptr || image->rows == 0 || image->columns == 0) return nullptr;
    if (uint64_t(image->rows) * image->columns > image->allocSize) return nullptr;
    return tcsImagePixels(image);
}

inline const AspMetrics* imageMetrics(ImageRecord* image) {
    return image != nullptr ? static_cast<const AspMetrics*>(image->aspMetrics) : nullptr;
}

// Liveness sums over an enrolment's images: eight per-level sums and the number of images counted.
struct LivenessSums {
    uint32_t counted;
    uint32_t sums[8];
};

// Adds an image's confidences (100 minus a confidence whose verdict is 0) when it has kind-2 metrics;
// the image is counted with or without them.
inline void addLiveness(LivenessSums& sums, ImageRecord* image) {
    const AspMetrics* metrics = imageMetrics(image);
    if (metrics != nullptr && metrics->kind == 2) {
        for (int k = 0; k < 8; ++k) {
            uint32_t confidence = metrics->confidence[k];
            sums.sums[k] += metrics->verdict[k] == 0 && confidence != 0 ? 100 - confidence : confidence;
        }
    }
    ++sums.counted;
}

// {u32 20, u32 2, eight u8 averages, u32 0}.
inline TcsResult attachProfile(EnrollTemplate* templ, const LivenessSums& sums) {
    uint8_t profile[20] = {20, 0, 0, 0, 2, 0, 0, 0};
    for (int k = 0; k < 8; ++k) profile[8 + k] = uint8_t(sums.counted != 0 ? sums.sums[k] / sums.counted : 0);
    return _tcsTemplateSetASPProfile(templ, profile, sizeof profile);
}

inline uint32_t readLe32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

}  // namespace mss
