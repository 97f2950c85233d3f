// Thinning of the binary ridge image to one-pixel lines, and the neighbourhood tests and ridge
// walk that the skeleton stages share.
#include "engines/minutiae/skeleton.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace mnt {
namespace {

// Neighbourhood code of the first sub-pass: bit 0 above, then clockwise.
inline unsigned Code(const uint8_t* above, const uint8_t* row, const uint8_t* below, int x) {
    return unsigned(above[x] == 0) | unsigned(above[x + 1] == 0) << 1 | unsigned(row[x + 1] == 0) << 2 |
           unsigned(below[x + 1] == 0) << 3 | unsigned(below[x] == 0) << 4 | unsigned(below[x - 1] == 0) << 5 |
           unsigned(row[x - 1] == 0) << 6 | unsigned(above[x - 1] == 0) << 7;
}

// One sub-pass; `turned` reads the neighbourhood turned by half a turn (bit 0 below). Decisions
// read copies of the rows as they were before the sub-pass changed them.
int SubPass(int width, int height, ByteImage image, bool turned, std::vector<uint8_t>& visited,
            std::vector<uint8_t>& previous, std::vector<uint8_t>& current) {
    int removed = 0;
    std::memcpy(previous.data(), image[0], size_t(width));
    for (int y = 1; y < height - 1; ++y) {
        std::memcpy(current.data(), image[y], size_t(width));
        if (!visited[y]) {
            visited[y] = 1;
            const uint8_t* below = image[y + 1];
            uint8_t* out = image[y];
            for (int x = 1; x < width - 1; ++x) {
                if (current[x] != 0) continue;
                unsigned code = Code(previous.data(), current.data(), below, x);
                if (turned) code = ((code >> 4) | (code << 4)) & 0xFF;
                if (skelet[code]) {
                    out[x] = 255;
                    ++removed;
                    visited[y] = 0;
                }
            }
        }
        std::swap(previous, current);
    }
    return removed;
}

}  // namespace

// The 34 codes removed: 7, 14, 15, 28, 30, 31, 56, 60, 62, 63, 67, 88, 97, 99, 112, 120, 124, 126,
// 131, 135, 143, 159, 191, 193, 195, 208, 216, 224, 225, 227, 240, 248, 252, 254.
const uint8_t skelet[256] = {
    0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 1,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1,
    0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,
    0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 0,
    0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1,
    0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,
    1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 0,
};

void SkeletonizeImage(int width, int height, ByteImage image, uint32_t skeletonIterations) {
    if (width < 3 || height < 3) return;
    std::vector<uint8_t> visitedFirst(size_t(height), 0), visitedSecond(size_t(height), 0);
    std::vector<uint8_t> previous(static_cast<size_t>(width)), current(static_cast<size_t>(width));
    for (uint32_t i = 0; i < skeletonIterations; ++i) {
        int removed = SubPass(width, height, image, false, visitedFirst, previous, current);
        removed += SubPass(width, height, image, true, visitedSecond, previous, current);
        if (removed == 0) break;
    }
}

int32_t GetTransitionCount(const ByteImage image, int y, int x) {
    if (image[y][x] != 0) return -1;
    return detail::NeighbourTransitions(image, y, x);
}

namespace detail {

int NeighbourTransitions(const ByteImage image, int y, int x) {
    const uint8_t* a = image[y - 1];
    const uint8_t* r = image[y];
    const uint8_t* b = image[y + 1];
    // Clockwise from above, closing the ring with above again.
    const bool ring[9] = {a[x] == 0,     a[x + 1] == 0, r[x + 1] == 0, b[x + 1] == 0, b[x] == 0,
                          b[x - 1] == 0, r[x - 1] == 0, a[x - 1] == 0, a[x] == 0};
    int count = 0;
    for (int i = 0; i < 8; ++i) count += !ring[i] && ring[i + 1];
    return count;
}

int TraceEnding(int width, int height, ByteImage image, int& x, int& y, int maxPixels, Point* recorded) {
    int count = 0;
    while (count < maxPixels) {
        if (y < 1 || y > height - 2 || x < 1 || x > width - 2) break;
        if (GetTransitionCount(image, y, x) != 1) break;
        image[y][x] = 255;
        recorded[count++] = {x, y};
        if (!NextRidgePixel(image, x, y)) break;
    }
    return count;
}

}  // namespace detail
}  // namespace mnt
