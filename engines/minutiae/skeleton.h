// Thinning of the binary ridge image to one-pixel lines, and the neighbourhood tests and ridge
// walk that the skeleton stages share.
#pragma once

#include <cstdint>

#include "engines/minutiae/byte_image.h"

namespace mnt {

// 1 where a ridge pixel with that neighbourhood code is removed (bit 0 the front neighbour,
// then clockwise).
extern const uint8_t skelet[256];

void SkeletonizeImage(int width, int height, ByteImage image, uint32_t skeletonIterations);

namespace detail {

struct Point {
    int x;
    int y;
};

// Background-to-ridge steps once around a neighbourhood code (bit 0 above, then clockwise).
struct TransitionTable {
    uint8_t count[256] = {};
    constexpr TransitionTable() {
        for (int code = 0; code < 256; ++code)
            for (int i = 0; i < 8; ++i) count[code] += !((code >> i) & 1) && ((code >> ((i + 1) & 7)) & 1);
    }
};
inline constexpr TransitionTable kTransitions;

// The same count whatever the centre pixel holds (a walk erases its start before it looks again).
// Inline: the skeleton stages ask it of every ridge pixel.
inline int NeighbourTransitions(const ByteImage image, int y, int x) {
    const uint8_t* a = image[y - 1];
    const uint8_t* r = image[y];
    const uint8_t* b = image[y + 1];
    const unsigned code = unsigned(a[x] == 0) | unsigned(a[x + 1] == 0) << 1 | unsigned(r[x + 1] == 0) << 2 |
                          unsigned(b[x + 1] == 0) << 3 | unsigned(b[x] == 0) << 4 | unsigned(b[x - 1] == 0) << 5 |
                          unsigned(r[x - 1] == 0) << 6 | unsigned(a[x - 1] == 0) << 7;
    return kTransitions.count[code];
}

}  // namespace detail

// Background-to-ridge transitions once around the eight neighbours of a ridge pixel (1 an
// ending, 2 inside a line, 3 or more a branching); -1 for a background pixel. Not for border
// pixels.
inline int32_t GetTransitionCount(const ByteImage image, int y, int x) {
    if (image[y][x] != 0) return -1;
    return detail::NeighbourTransitions(image, y, x);
}

namespace detail {

// Moves (x, y) to its first ridge neighbour in the order above, right, below, left, upper right,
// lower right, lower left, upper left; false when it has none.
inline bool NextRidgePixel(const ByteImage image, int& x, int& y) {
    static constexpr int kDx[8] = {0, 1, 0, -1, 1, 1, -1, -1};
    static constexpr int kDy[8] = {-1, 0, 1, 0, -1, 1, 1, -1};
    for (int i = 0; i < 8; ++i) {
        if (image[y + kDy[i]][x + kDx[i]] == 0) {
            x += kDx[i];
            y += kDy[i];
            return true;
        }
    }
    return false;
}

// Walks from an ending, erasing and recording at most `maxPixels` pixels, each inside rows
// 1 .. height - 2 and columns 1 .. width - 2 and an ending of what is left when it is taken.
// Returns the number recorded; (x, y) is left where the walk stands. The caller restores.
int TraceEnding(int width, int height, ByteImage image, int& x, int& y, int maxPixels, Point* recorded);

inline void SetPixels(ByteImage image, const Point* points, int count, uint8_t value) {
    for (int i = 0; i < count; ++i) image[points[i].y][points[i].x] = value;
}

}  // namespace detail
}  // namespace mnt
