// Thinning of the binary ridge image to one-pixel lines, and the neighbourhood tests and ridge
// walk that the skeleton stages share.
#include "engines/minutiae/skeleton.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace mnt {
namespace {

// Neighbourhood codes of the first sub-pass for the inner pixels of a row (bit 0 above, then
// clockwise), for the whole row at once so that the loop vectorises.
void RowCodes(int width, const uint8_t* __restrict above, const uint8_t* __restrict row,
              const uint8_t* __restrict below, uint8_t* __restrict code) {
    for (int x = 1; x < width - 1; ++x) {
        code[x] = uint8_t((above[x] == 0 ? 1 : 0) | (above[x + 1] == 0 ? 2 : 0) | (row[x + 1] == 0 ? 4 : 0) |
                          (below[x + 1] == 0 ? 8 : 0) | (below[x] == 0 ? 16 : 0) | (below[x - 1] == 0 ? 32 : 0) |
                          (row[x - 1] == 0 ? 64 : 0) | (above[x - 1] == 0 ? 128 : 0));
    }
}

// One sub-pass; `turned` reads the neighbourhood turned by half a turn (bit 0 below). Decisions
// read copies of the rows as they were before the sub-pass changed them.
int SubPass(int width, int height, ByteImage image, const uint8_t* table, std::vector<uint8_t>& visited,
            std::vector<uint8_t>& previous, std::vector<uint8_t>& current, std::vector<uint8_t>& codes) {
    int removed = 0;
    std::memcpy(previous.data(), image[0], size_t(width));
    for (int y = 1; y < height - 1; ++y) {
        std::memcpy(current.data(), image[y], size_t(width));
        if (!visited[y]) {
            visited[y] = 1;
            RowCodes(width, previous.data(), current.data(), image[y + 1], codes.data());
            uint8_t* out = image[y];
            int removedHere = 0;
            // Without branches: which pixels go is as unpredictable as the ridges.
            for (int x = 1; x < width - 1; ++x) {
                const uint8_t remove = uint8_t(current[x] == 0) & table[codes[x]];
                out[x] = uint8_t(out[x] | (0 - remove));
                removedHere += remove;
            }
            if (removedHere != 0) visited[y] = 0;
            removed += removedHere;
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
    // The second sub-pass reads the code turned by half a turn: its four bits swapped.
    uint8_t turned[256];
    for (int code = 0; code < 256; ++code) turned[code] = skelet[((code >> 4) | (code << 4)) & 0xFF];
    std::vector<uint8_t> visitedFirst(size_t(height), 0), visitedSecond(size_t(height), 0);
    std::vector<uint8_t> previous(static_cast<size_t>(width)), current(static_cast<size_t>(width));
    std::vector<uint8_t> codes(static_cast<size_t>(width));
    for (uint32_t i = 0; i < skeletonIterations; ++i) {
        int removed = SubPass(width, height, image, skelet, visitedFirst, previous, current, codes);
        removed += SubPass(width, height, image, turned, visitedSecond, previous, current, codes);
        if (removed == 0) break;
    }
}

int32_t GetTransitionCount(const ByteImage image, int y, int x) {
    if (image[y][x] != 0) return -1;
    return detail::NeighbourTransitions(image, y, x);
}

namespace detail {

namespace {

// Background-to-ridge steps once around a neighbourhood code (bit 0 above, then clockwise).
struct TransitionTable {
    uint8_t count[256] = {};
    constexpr TransitionTable() {
        for (int code = 0; code < 256; ++code)
            for (int i = 0; i < 8; ++i) count[code] += !((code >> i) & 1) && ((code >> ((i + 1) & 7)) & 1);
    }
};
constexpr TransitionTable kTransitions;

}  // namespace

int NeighbourTransitions(const ByteImage image, int y, int x) {
    const uint8_t* a = image[y - 1];
    const uint8_t* r = image[y];
    const uint8_t* b = image[y + 1];
    const unsigned code = unsigned(a[x] == 0) | unsigned(a[x + 1] == 0) << 1 | unsigned(r[x + 1] == 0) << 2 |
                          unsigned(b[x + 1] == 0) << 3 | unsigned(b[x] == 0) << 4 | unsigned(b[x - 1] == 0) << 5 |
                          unsigned(r[x - 1] == 0) << 6 | unsigned(a[x - 1] == 0) << 7;
    return kTransitions.count[code];
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
