// Thinning of the binary ridge image to one-pixel lines, and the neighbourhood tests and ridge
// walk that the skeleton stages share.
#include "engines/minutiae/skeleton.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engines/minutiae/simd.h"

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

// A removal table as 16 rows (high nibble of the code) of 16 bits (low nibble), split into the
// bytes for low nibbles 0-7 and 8-15, so that 32 decisions are two byte shuffles.
struct NibbleTable {
    const uint8_t* table;
    uint8_t low[16], high[16];
    explicit NibbleTable(const uint8_t* t) : table(t), low(), high() {
        for (int code = 0; code < 256; ++code) {
            const int l = code & 15;
            uint8_t& bits = l < 8 ? low[code >> 4] : high[code >> 4];
            bits = uint8_t(bits | (t[code] ? 1 << (l & 7) : 0));
        }
    }
};

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
// The removals of one row 32 pixels at a time from `x` on, advancing `x` past them; the rest of
// the row is left to the plain loop.
MNT_WIDE int RemoveWide(int width, const NibbleTable& nibbles, const uint8_t* current, const uint8_t* codes,
                        uint8_t* out, int& x) {
    const __m256i low = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(nibbles.low)));
    const __m256i high = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(nibbles.high)));
    const __m256i bit = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16,
                                         32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
    const __m256i nibble = _mm256_set1_epi8(15), seven = _mm256_set1_epi8(7), zero = _mm256_setzero_si256();
    int removed = 0;
    for (; x + 32 <= width - 1; x += 32) {
        const __m256i code = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes + x));
        const __m256i hn = _mm256_and_si256(_mm256_srli_epi16(code, 4), nibble);
        const __m256i ln = _mm256_and_si256(code, nibble);
        const __m256i row = _mm256_blendv_epi8(_mm256_shuffle_epi8(low, hn), _mm256_shuffle_epi8(high, hn),
                                               _mm256_cmpgt_epi8(ln, seven));
        const __m256i b = _mm256_shuffle_epi8(bit, ln);
        const __m256i ridge = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(current + x)), zero);
        const __m256i remove = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_and_si256(row, b), b), ridge);
        __m256i* o = reinterpret_cast<__m256i*>(out + x);
        _mm256_storeu_si256(o, _mm256_or_si256(_mm256_loadu_si256(o), remove));
        removed += __builtin_popcount(unsigned(_mm256_movemask_epi8(remove)));
    }
    return removed;
}
#endif

// One sub-pass; `turned` reads the neighbourhood turned by half a turn (bit 0 below). Decisions
// read copies of the rows as they were before the sub-pass changed them.
int SubPass(int width, int height, ByteImage image, const NibbleTable& nibbles, std::vector<uint8_t>& visited,
            std::vector<uint8_t>& previous, std::vector<uint8_t>& current, std::vector<uint8_t>& codes) {
    const uint8_t* table = nibbles.table;
    [[maybe_unused]] const bool wide = simd::HasAvx2();
    int removed = 0;
    std::memcpy(previous.data(), image[0], size_t(width));
    for (int y = 1; y < height - 1; ++y) {
        std::memcpy(current.data(), image[y], size_t(width));
        if (!visited[y]) {
            visited[y] = 1;
            RowCodes(width, previous.data(), current.data(), image[y + 1], codes.data());
            uint8_t* out = image[y];
            int removedHere = 0;
            int x = 1;
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
            if (wide) removedHere = RemoveWide(width, nibbles, current.data(), codes.data(), out, x);
#endif
            // Without branches: which pixels go is as unpredictable as the ridges.
            for (; x < width - 1; ++x) {
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
    const NibbleTable first(skelet), second(turned);
    for (uint32_t i = 0; i < skeletonIterations; ++i) {
        int removed = SubPass(width, height, image, first, visitedFirst, previous, current, codes);
        removed += SubPass(width, height, image, second, visitedSecond, previous, current, codes);
        if (removed == 0) break;
    }
}

namespace detail {

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
