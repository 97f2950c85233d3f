// The image a capture delivered, copied out of its handle so a test can compare captures.
#pragma once

#include "tcs/core.h"
#include "tcs/handle_map.h"

#include <cstdint>
#include <vector>

struct Delivered {
    uint32_t rows = 0, columns = 0, quality = 0;
    std::vector<uint8_t> pixels;
    bool operator==(const Delivered& o) const {
        return rows == o.rows && columns == o.columns && pixels == o.pixels;
    }
};

// Empty (0 rows) when the handle names no image.
inline Delivered delivered(uint64_t handle) {
    Delivered d;
    void* record = nullptr;
    if (tcsSafeImageHandleFetch(handle, &record) != TCS_RESULT_OK || record == nullptr) return d;
    auto* image = static_cast<ImageRecord*>(record);
    d.rows = image->rows;
    d.columns = image->columns;
    d.quality = image->quality;
    d.pixels.assign(tcsImagePixels(image), tcsImagePixels(image) + size_t(image->rows) * image->columns);
    return d;
}
