// Alignment search by a sliding Hough vote and the least-squares correspondence score.
#include "engines/recognition/alignment.h"

#include <string.h>

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engines/recognition/tables.h"

namespace DurodudUrodera::FpRecEngineImpl {
namespace ContinousVoting {
namespace {

// The signed 4-bit weight in the top bits of an entry.
[[maybe_unused]] int signedWeight(uint32_t entry) { return int32_t(entry) >> 28; }

#if defined(__SSE2__)
// Two neighbouring cells at once; 16-bit lanes wrap like the scalar votes.
inline __m128i loadPair(const int16_t* p) {
    int32_t v;
    memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}
inline void storePair(int16_t* p, __m128i x) {
    const int32_t v = _mm_cvtsi128_si32(x);
    memcpy(p, &v, 4);
}

// The signed 4-bit weight field in the two lanes of a cell pair; the other lanes stay 0 so they
// never pass the threshold test.
alignas(8) constexpr int16_t kWeightLanes[16][4] = {
    {0, 0, 0, 0},   {1, 1, 0, 0},   {2, 2, 0, 0},   {3, 3, 0, 0},   {4, 4, 0, 0},   {5, 5, 0, 0},
    {6, 6, 0, 0},   {7, 7, 0, 0},   {-8, -8, 0, 0}, {-7, -7, 0, 0}, {-6, -6, 0, 0}, {-5, -5, 0, 0},
    {-4, -4, 0, 0}, {-3, -3, 0, 0}, {-2, -2, 0, 0}, {-1, -1, 0, 0},
};

inline __m128i weightLanes(uint32_t entry) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kWeightLanes[entry >> 28]));
}
#endif

#if defined(__SSE2__)
// Adds a bin's pairs to their four cells each; true when no cell rose above `limit` on the way.
// Pairs without a cell carry weight 0 and land on the guard cells past the grid.
inline bool addBinQuietly(int16_t* votes, const uint32_t* first, const uint32_t* last, __m128i limit) {
    __m128i highest = _mm_setzero_si128();
    for (const uint32_t* p = first; p < last; ++p) {
        const uint32_t entry = *p;
        const int cell = entry & kNoCell;
        const __m128i w = weightLanes(entry);
        const __m128i upper = _mm_add_epi16(loadPair(votes + cell), w);
        const __m128i lower = _mm_add_epi16(loadPair(votes + cell + kGrid), w);
        storePair(votes + cell, upper);
        storePair(votes + cell + kGrid, lower);
        highest = _mm_max_epi16(_mm_max_epi16(highest, upper), lower);
    }
    return _mm_movemask_epi8(_mm_cmpgt_epi16(highest, limit)) == 0;
}

inline void subtractEntries(int16_t* votes, const uint32_t* first, const uint32_t* last) {
    for (const uint32_t* p = first; p < last; ++p) {
        const uint32_t entry = *p;
        const int cell = entry & kNoCell;
        const __m128i w = weightLanes(entry);
        storePair(votes + cell, _mm_sub_epi16(loadPair(votes + cell), w));
        storePair(votes + cell + kGrid, _mm_sub_epi16(loadPair(votes + cell + kGrid), w));
    }
}
#endif

// Adds a bin's pairs to their four cells each, offering every changed cell in the order
// c, c + 1, c + 64, c + 65; true when some cell passed the threshold. Offers come in runs of
// neighbouring bins, so after a bin that made one (`busy`) the next goes pair by pair at once.
inline bool addBin(minutia_pairs& pairs, int bin, uint8_t rotation, TopList& top, bool busy) {
    int16_t* votes = pairs.votes;
    int threshold = top.threshold();
#if defined(__SSE2__)
    const uint32_t* first = pairs.entries + pairs.binStart[bin];
    const uint32_t* last = pairs.entries + pairs.binStart[bin + 1];
    __m128i limit = _mm_set1_epi16(int16_t(std::min(threshold, 32767)));
    // Offers are rare: add the whole bin unchecked, and only when some cell rose above the
    // threshold take it back and add it again pair by pair, offering as it goes.
    if (!busy) {
        if (addBinQuietly(votes, first, last, limit)) return false;
        subtractEntries(votes, first, last);
    }
    bool offered = false;
    for (const uint32_t* p = first; p < last; ++p) {
        const uint32_t entry = *p;
        const int cell = entry & kNoCell;
        if (cell == kNoCell) continue;
        const __m128i w = weightLanes(entry);
        const __m128i upper = _mm_add_epi16(loadPair(votes + cell), w);
        const __m128i lower = _mm_add_epi16(loadPair(votes + cell + kGrid), w);
        storePair(votes + cell, upper);
        storePair(votes + cell + kGrid, lower);
        const __m128i counts = _mm_unpacklo_epi32(upper, lower);
        if ((_mm_movemask_epi8(_mm_cmpgt_epi16(counts, limit)) & 0xFF) == 0) continue;
        alignas(16) int16_t lanes[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), counts);
        const int targets[4] = {cell, cell + 1, cell + kGrid, cell + kGrid + 1};
        offered = true;
        for (int t = 0; t < 4; ++t) {
            if (lanes[t] > threshold) {
                top.offer(lanes[t], uint16_t(targets[t]), rotation);
                threshold = top.threshold();
            }
        }
        limit = _mm_set1_epi16(int16_t(std::min(threshold, 32767)));
    }
    return offered;
#else
    (void)busy;
    bool offered = false;
    for (int k = pairs.binStart[bin]; k < pairs.binStart[bin + 1]; ++k) {
        const uint32_t entry = pairs.entries[k];
        const int cell = entry & kNoCell;
        if (cell == kNoCell) continue;
        const int weight = signedWeight(entry);
        for (int target : {cell, cell + 1, cell + kGrid, cell + kGrid + 1}) {
            votes[target] = int16_t(votes[target] + weight);
            if (votes[target] > threshold) {
                offered = true;
                top.offer(votes[target], uint16_t(target), rotation);
                threshold = top.threshold();
            }
        }
    }
    return offered;
#endif
}

inline void subtractBin(minutia_pairs& pairs, int bin) {
#if defined(__SSE2__)
    subtractEntries(pairs.votes, pairs.entries + pairs.binStart[bin], pairs.entries + pairs.binStart[bin + 1]);
#else
    for (int k = pairs.binStart[bin]; k < pairs.binStart[bin + 1]; ++k) {
        const uint32_t entry = pairs.entries[k];
        const int cell = entry & kNoCell;
        if (cell == kNoCell) continue;
        subtract_votes(pairs.votes, uint16_t(cell), signedWeight(entry));
    }
#endif
}

}  // namespace

void subtract_votes(int16_t* votes, uint16_t cell, int weight) {
    votes[cell] = int16_t(votes[cell] - weight);
    votes[cell + 1] = int16_t(votes[cell + 1] - weight);
    votes[cell + kGrid] = int16_t(votes[cell + kGrid] - weight);
    votes[cell + kGrid + 1] = int16_t(votes[cell + kGrid + 1] - weight);
}

void find_alignments(const MatchData& a, const MatchData& b, const Parameters& parameters, minutia_pairs& pairs,
                     alignments& out) {
    memset(pairs.votes, 0, sizeof pairs.votes);

    // Every pair's rotation bin first, in pair order i * count(B) + j, to size the bins.
    const int countA = a.count(), countB = b.count();
    constexpr int kPadded = kMaxMinutiae + 4;  // 80: whole groups of eight and of sixteen
    alignas(16) uint8_t rotations[kMaxMinutiae * kMaxMinutiae + 16];
    alignas(16) int16_t relXB[kPadded] = {}, relYB[kPadded] = {}, weightB[kPadded] = {};
    alignas(16) uint8_t angleB[kPadded] = {};
#if defined(__SSE2__)
    alignas(16) uint16_t columnB[kPadded];  // j at bits 20-27 of an entry
    for (int j = 0; j < kPadded; ++j) columnB[j] = uint16_t(j << 4);
#endif
    for (int j = 0; j < countB; ++j) {
        relXB[j] = b[j].relX;
        relYB[j] = b[j].relY;
        angleB[j] = b[j].angle;
        weightB[j] = b[j].weight;
    }
    for (int i = 0; i < countA; ++i) {
        uint8_t* rotation = rotations + i * countB;
#if defined(__SSE2__)
        // A row's overhang is overwritten by the next row.
        const __m128i angleA = _mm_set1_epi8(int8_t(a[i].angle));
        for (int j = 0; j < countB; j += 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(rotation + j),
                             _mm_sub_epi8(_mm_load_si128(reinterpret_cast<const __m128i*>(angleB + j)), angleA));
        }
#else
        for (int j = 0; j < countB; ++j) rotation[j] = uint8_t(angleB[j] - a[i].angle);
#endif
    }
    const int total = countA * countB;
    uint16_t fill[256] = {};
    for (int index = 0; index < total; ++index) ++fill[rotations[index]];
    pairs.binStart[0] = 0;
    for (int bin = 0; bin < 256; ++bin) {
        pairs.binStart[bin + 1] = uint16_t(pairs.binStart[bin] + fill[bin]);
        fill[bin] = pairs.binStart[bin + 1];
    }

    // Then every pair's cell and weight, placed in its bin as it is made: each bin newest first.
    for (int i = 0; i < countA; ++i) {
        const Minutia& mi = a[i];
        const uint8_t* rotation = rotations + i * countB;
#if defined(__SSE2__)
        // dx cos - dy sin and dx sin + dy cos as pairwise 16-bit products summed in 32 bits; the
        // cosine and sine come from the angle table, so neither product pair can overflow.
        const __m128i turnU = _mm_set1_epi32(int32_t(uint16_t(mi.cos)) | int32_t(uint32_t(uint16_t(-mi.sin)) << 16));
        const __m128i turnV = _mm_set1_epi32(int32_t(uint16_t(mi.sin)) | int32_t(uint32_t(uint16_t(mi.cos)) << 16));
        const __m128i relXA = _mm_set1_epi16(mi.relX), relYA = _mm_set1_epi16(mi.relY);
        const __m128i weightA = _mm_set1_epi16(mi.weight);
        const __m128i round = _mm_set1_epi32(128), centre = _mm_set1_epi16(32), limit = _mm_set1_epi16(63);
        const __m128i noCell = _mm_set1_epi16(kNoCell), minus1 = _mm_set1_epi16(-1);
        const __m128i weightMask = _mm_set1_epi16(0xF);
        // i at bits 12-19 of an entry: its low four bits in the low half, the rest in the high.
        const __m128i rowLow = _mm_set1_epi16(int16_t((i & 0xF) << 12)), rowHigh = _mm_set1_epi16(int16_t(i >> 4));
        // (x + 128) >> 8 cut to 16 bits, then >> 3: bits 11-23 of the sum, sign-extended from
        // bit 23; packing is then exact.
        auto cut = [&](__m128i low, __m128i high) {
            low = _mm_srai_epi32(_mm_slli_epi32(_mm_add_epi32(low, round), 8), 19);
            high = _mm_srai_epi32(_mm_slli_epi32(_mm_add_epi32(high, round), 8), 19);
            return _mm_add_epi16(_mm_packs_epi32(low, high), centre);
        };
        for (int j = 0; j < countB; j += 8) {
            const __m128i dx = _mm_sub_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(relXB + j)), relXA);
            const __m128i dy = _mm_sub_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(relYB + j)), relYA);
            const __m128i low = _mm_unpacklo_epi16(dx, dy), high = _mm_unpackhi_epi16(dx, dy);
            const __m128i u = cut(_mm_madd_epi16(low, turnU), _mm_madd_epi16(high, turnU));
            const __m128i v = cut(_mm_madd_epi16(low, turnV), _mm_madd_epi16(high, turnV));
            // 0 <= u, v < 63
            const __m128i inside = _mm_and_si128(
                _mm_and_si128(_mm_cmpgt_epi16(u, minus1), _mm_cmplt_epi16(u, limit)),
                _mm_and_si128(_mm_cmpgt_epi16(v, minus1), _mm_cmplt_epi16(v, limit)));
            const __m128i cell = _mm_or_si128(_mm_and_si128(inside, _mm_add_epi16(_mm_slli_epi16(v, 6), u)),
                                              _mm_andnot_si128(inside, noCell));
            const __m128i w = _mm_srli_epi16(
                _mm_mullo_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(weightB + j)), weightA), 9);
            const __m128i lowHalf = _mm_or_si128(cell, rowLow);
            const __m128i highHalf =
                _mm_or_si128(_mm_or_si128(rowHigh, _mm_load_si128(reinterpret_cast<const __m128i*>(columnB + j))),
                             _mm_slli_epi16(_mm_and_si128(_mm_and_si128(w, weightMask), inside), 12));
            alignas(16) uint32_t group[8];
            _mm_store_si128(reinterpret_cast<__m128i*>(group), _mm_unpacklo_epi16(lowHalf, highHalf));
            _mm_store_si128(reinterpret_cast<__m128i*>(group + 4), _mm_unpackhi_epi16(lowHalf, highHalf));
            const int n = std::min(8, countB - j);
            for (int k = 0; k < n; ++k) pairs.entries[--fill[rotation[j + k]]] = group[k];
        }
#else
        const int32_t cosI = mi.cos, sinI = mi.sin;
        for (int j = 0; j < countB; ++j) {
            const int32_t dx = int16_t(relXB[j] - mi.relX);
            const int32_t dy = int16_t(relYB[j] - mi.relY);
            // The turned difference is cut to 16 bits before the shift to 8-unit cells.
            const int u = (int16_t((dx * cosI - dy * sinI + 128) >> 8) >> 3) + 32;
            const int v = (int16_t((dx * sinI + dy * cosI + 128) >> 8) >> 3) + 32;
            const unsigned cell = (unsigned(u) < 63 && unsigned(v) < 63) ? unsigned(v * kGrid + u) : kNoCell;
            const unsigned weight = cell == kNoCell ? 0 : (unsigned(mi.weight) * weightB[j]) >> 9;
            pairs.entries[--fill[rotation[j]]] =
                cell | (unsigned(i) << 12) | (unsigned(j) << 20) | ((weight & 0xF) << 28);
        }
#endif
    }

    const int window = parameters.rotationWindow;
    TopList top(parameters.minimumVotes);
    out.clear();
    bool busy = false;
    for (int bin = 0; bin < window; ++bin) busy = addBin(pairs, bin, uint8_t(window / 2), top, busy);
    for (int r = 0; r < 256; ++r) {
        subtractBin(pairs, r);
        // The label trails the window's centre by one; the last step brings bins 0-6 back with
        // rotation 2. The score searches bins around it widely enough for either.
        busy = addBin(pairs, (r + window) & 255, uint8_t(window / 2 + r), top, busy);
    }
    top.copyBestFirst(out);
}

}  // namespace ContinousVoting

namespace Verification {
using Embedded::Angle;
namespace {

struct Transform {
    int32_t cxx, cxy, cyx, cyy, tx, ty;
};

// Least-squares sums over the accepted pairs: 32-bit sums, wrapping.
struct FitSums {
    uint32_t n = 0, ax = 0, ay = 0, axx = 0, axy = 0, ayy = 0, bx = 0, by = 0, bxax = 0, byax = 0, bxay = 0,
             byay = 0;

    void add(int32_t pax, int32_t pay, int32_t pbx, int32_t pby, int sign) {
        const uint32_t s = uint32_t(sign), xa = uint32_t(pax), ya = uint32_t(pay), xb = uint32_t(pbx),
                       yb = uint32_t(pby);
        n += s * 65536u;
        ax += s * xa * 256u;
        ay += s * ya * 256u;
        axx += s * xa * xa;
        axy += s * xa * ya;
        ayy += s * ya * ya;
        bx += s * xb * 256u;
        by += s * yb * 256u;
        bxax += s * xb * xa;
        byax += s * yb * xa;
        bxay += s * xb * ya;
        byay += s * yb * ya;
    }
};

// Truncating quotient of non-negative operands. A 64-bit divide costs tens of cycles on many
// cores and the fit runs several per score; below 2^53 a double quotient is off by at most one.
int64_t quotient(int64_t n, int64_t d) {
    if (n < (int64_t(1) << 53) && d < (int64_t(1) << 53)) {
        int64_t q = int64_t(double(n) / double(d));
        if (q * d > n) {
            --q;
        } else if ((q + 1) * d <= n) {
            ++q;
        }
        return q;
    }
    return n / d;
}

int64_t divideRounded(int64_t numerator, int64_t det) {
    const int64_t magnitude = quotient(std::abs(numerator) + (det >> 9), det >> 8);
    return numerator < 0 ? -magnitude : magnitude;
}

// Affine fit over `count` pairs by Cramer's rule on moments in units of 16; false when the
// system is singular or the map is too far from a rotation of moderate scale.
bool fit(const FitSums& sums, int count, const CorrFinderParameters& parameters, Transform& out) {
    auto moment = [count](uint32_t sum) { return int64_t((int32_t(sum) / count + 8) >> 4); };
    const int64_t m1 = moment(sums.n), mx = moment(sums.ax), my = moment(sums.ay);
    const int64_t mxx = moment(sums.axx), mxy = moment(sums.axy), myy = moment(sums.ayy);
    const int64_t bx1 = moment(sums.bx), bxx = moment(sums.bxax), bxy = moment(sums.bxay);
    const int64_t by1 = moment(sums.by), byx = moment(sums.byax), byy = moment(sums.byay);

    auto cofactor = [](int64_t difference) { return (difference + 128) >> 8; };
    const int64_t c11 = cofactor(mxx * myy - mxy * mxy);
    const int64_t c12 = cofactor(my * mxy - mx * myy);
    const int64_t c13 = cofactor(mx * mxy - mxx * my);
    const int64_t c22 = cofactor(m1 * myy - my * my);
    const int64_t c23 = cofactor(mx * my - m1 * mxy);
    const int64_t c33 = cofactor(m1 * mxx - mx * mx);
    const int64_t det = my * c13 + m1 * c11 + 128 + mx * c12;
    if ((det >> 8) <= 127) return false;

    const int64_t tx = divideRounded(bx1 * c11 + bxx * c12 + bxy * c13, det);
    const int64_t cxx = divideRounded(bx1 * c12 + bxx * c22 + bxy * c23, det);
    const int64_t cxy = divideRounded(bx1 * c13 + bxx * c23 + bxy * c33, det);
    const int64_t ty = divideRounded(by1 * c11 + byx * c12 + byy * c13, det);
    const int64_t cyx = divideRounded(by1 * c12 + byx * c22 + byy * c23, det);
    const int64_t cyy = divideRounded(by1 * c13 + byx * c23 + byy * c33, det);

    for (int64_t c : {cxx, cxy, cyx, cyy}) {
        if (c < -512 || c > 512) return false;
    }
    const int64_t low = parameters.lowestNorm, high = parameters.highestNorm;
    const int64_t s = cxx * cxx + cxy * cxy + cyx * cyx + cyy * cyy;
    if (s < low || s > high) return false;
    const int64_t q = (((cyx + cxy) * (cyx + cxy) + 128 + (cxx - cyy) * (cxx - cyy)) >> 8) *
                      (((cyx - cxy) * (cyx - cxy) + 128 + (cxx + cyy) * (cxx + cyy)) >> 8);
    const int64_t lowMargin = (s - low + 128) >> 8, highMargin = (high - s + 128) >> 8;
    if (q > lowMargin * lowMargin || q > highMargin * highMargin) return false;

    out = Transform{int32_t(cxx), int32_t(cxy), int32_t(cyx), int32_t(cyy), int32_t(tx), int32_t(ty)};
    return true;
}

}  // namespace

// The heap of accepted pairs, largest distance on top, in exactly the order the GNU library's
// std::make_heap and std::pop_heap leave it: the score reads the pairs in heap order and pops
// ties by it. The larger child is chosen without a branch; its choice is a coin toss to a
// predictor.
void siftPairs(pair_with_r2* heap, int hole, int length, pair_with_r2 value) {
    const int top = hole;
    int child = hole;
    while (child < (length - 1) / 2) {
        child = 2 * (child + 1);
        child -= heap[child].r2 < heap[child - 1].r2;
        heap[hole] = heap[child];
        hole = child;
    }
    if ((length & 1) == 0 && child == (length - 2) / 2) {
        child = 2 * (child + 1);
        heap[hole] = heap[child - 1];
        hole = child - 1;
    }
    int parent = (hole - 1) / 2;
    while (hole > top && heap[parent].r2 < value.r2) {
        heap[hole] = heap[parent];
        hole = parent;
        parent = (hole - 1) / 2;
    }
    heap[hole] = value;
}

void makePairHeap(pair_with_r2* heap, int length) {
    if (length < 2) return;
    for (int parent = (length - 2) / 2;; --parent) {
        siftPairs(heap, parent, length, heap[parent]);
        if (parent == 0) return;
    }
}

void popPairHeap(pair_with_r2* heap, int length) {
    if (length < 2) return;
    const pair_with_r2 last = heap[length - 1];
    heap[length - 1] = heap[0];
    siftPairs(heap, 0, length - 1, last);
}

namespace {

void grow(Box& box, const Minutia& m) {
    box.minX = std::min(box.minX, m.x);
    box.minY = std::min(box.minY, m.y);
    box.maxX = std::max(box.maxX, m.x);
    box.maxY = std::max(box.maxY, m.y);
}

int countInside(const MatchData& view, const Box& box) {
    int inside = 0;
    for (int i = 0; i < view.count(); ++i) {
        const Minutia& m = view[i];
        inside += (m.x >= box.minX) & (m.x <= box.maxX) & (m.y >= box.minY) & (m.y <= box.maxY);
    }
    return inside;
}

// One-to-one assignment by the order of linked lists built at the front: the walk runs from the
// last taken pair to the first.
int assign(const pair_with_r2* taken, int count) {
    constexpr int8_t kEnd = -1;
    bool alive[kMaxMinutiae];
    uint8_t perA[256], perB[256];
    int8_t headA[256], headB[256], nextA[kMaxMinutiae], nextB[kMaxMinutiae];
    for (int p = 0; p < count; ++p) {
        perA[taken[p].a] = perB[taken[p].b] = 0;
        headA[taken[p].a] = headB[taken[p].b] = kEnd;
    }
    for (int p = 0; p < count; ++p) {
        alive[p] = true;
        ++perA[taken[p].a];
        ++perB[taken[p].b];
        nextA[p] = headA[taken[p].a];
        headA[taken[p].a] = int8_t(p);
        nextB[p] = headB[taken[p].b];
        headB[taken[p].b] = int8_t(p);
    }
    int remaining = count;
    auto remove = [&](int q) {
        if (!alive[q]) return;
        alive[q] = false;
        --perA[taken[q].a];
        --perB[taken[q].b];
        --remaining;
    };
    auto removeAllOfA = [&](uint8_t a) {
        for (int q = headA[a]; q != kEnd; q = nextA[q]) remove(q);
    };
    auto removeAllOfB = [&](uint8_t b) {
        for (int q = headB[b]; q != kEnd; q = nextB[q]) remove(q);
    };
    int assigned = 0;
    while (remaining > 0) {
        bool any = false;
        for (int p = count - 1; p >= 0; --p) {
            if (!alive[p]) continue;
            if (perA[taken[p].a] == 1) {
                removeAllOfB(taken[p].b);
            } else if (perB[taken[p].b] == 1) {
                removeAllOfA(taken[p].a);
            } else {
                continue;
            }
            ++assigned;
            any = true;
        }
        if (!any) {
            int first = count - 1;
            while (!alive[first]) --first;
            const uint8_t a = taken[first].a, b = taken[first].b;
            removeAllOfB(b);
            removeAllOfA(a);
            ++assigned;
        }
    }
    return assigned;
}

}  // namespace

int32_t CorrFinder::get_score_using_all(const ContinousVoting::alignment& alignment) {
    const int rotation = alignment.rotation;
    const int cellU = alignment.cell & 63, cellV = alignment.cell >> 6;

    // 1. Candidate pairs from the bins around the alignment's rotation: the near pairs in bin
    // order, and apart the close ones among them with their places. Only the first 256 count.
    constexpr int kMostCandidates = 256;
    uint32_t near[kMostCandidates + 8], close[kMostCandidates + 8];  // room for eight appended at 255
    uint16_t closePlace[kMostCandidates + 8];
    int found = 0, closeFound = 0;
    int closeCount = 0;
    int16_t closeSumX = 0, closeSumY = 0;
#if defined(__SSE2__)
    const __m128i cellMask = _mm_set1_epi16(ContinousVoting::kNoCell), column = _mm_set1_epi16(63);
    const __m128i centreU = _mm_set1_epi16(int16_t(cellU)), centreV = _mm_set1_epi16(int16_t(cellV));
    const __m128i nearLimit = _mm_set1_epi16(int16_t(parameters_.cellDistance2 + 1));
    const __m128i closeLimit = _mm_set1_epi16(int16_t(parameters_.closeCellDistance2 + 1));
    const __m128i wordCell = _mm_set1_epi32(ContinousVoting::kNoCell);
#endif
    for (int k = 0; k < parameters_.rotationBins && found < kMostCandidates; ++k) {
        for (const uint8_t bin : {uint8_t(rotation + 1 + k), uint8_t(rotation - k)}) {
            const int first = pairs_.binStart[bin], last = pairs_.binStart[bin + 1];
            const int binFirstClose = closeFound;
#if defined(__SSE2__)
            // Distances of eight pairs at a time (16-bit lanes hold them exactly), appended
            // branch-free: which lanes are near follows no pattern a predictor could learn. The
            // table has room for reading past its last bin.
            for (int entry = first; entry < last && found < kMostCandidates; entry += 8) {
                const uint32_t* group = pairs_.entries + entry;
                const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(group));
                const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(group + 4));
                // Cells are below 0x1000, so packing the masked words is exact.
                const __m128i cell = _mm_packs_epi32(_mm_and_si128(low, wordCell), _mm_and_si128(high, wordCell));
                const __m128i du = _mm_sub_epi16(_mm_and_si128(cell, column), centreU);
                const __m128i dv = _mm_sub_epi16(_mm_srli_epi16(_mm_and_si128(cell, cellMask), 6), centreV);
                const __m128i distance2 = _mm_add_epi16(_mm_mullo_epi16(du, du), _mm_mullo_epi16(dv, dv));
                const int count = std::min(8, last - entry);
                const unsigned isNear = unsigned(_mm_movemask_epi8(_mm_cmplt_epi16(distance2, nearLimit))) &
                                        ((1u << (2 * count)) - 1);
                const unsigned isClose = unsigned(_mm_movemask_epi8(_mm_cmplt_epi16(distance2, closeLimit)));
                if (isNear == 0) continue;  // most groups of an unrelated pair of sets
                const unsigned isNearAndClose = isNear & isClose;
                for (int lane = 0; lane < 8; ++lane) {
                    near[found] = close[closeFound] = group[lane];
                    closePlace[closeFound] = uint16_t(found);
                    closeFound += (isNearAndClose >> (2 * lane)) & 1;
                    found += (isNear >> (2 * lane)) & 1;
                }
            }
#else
            for (int entry = first; entry < last && found < kMostCandidates; ++entry) {
                // A record without a cell (0xFFF) reads as column 63, row 63.
                const uint32_t packed = pairs_.entries[entry];
                const int cell = packed & ContinousVoting::kNoCell;
                const int du = (cell & 63) - cellU, dv = (cell >> 6) - cellV;
                const int distance2 = du * du + dv * dv;
                const bool isNear = distance2 <= parameters_.cellDistance2;
                near[found] = close[closeFound] = packed;
                closePlace[closeFound] = uint16_t(found);
                closeFound += isNear && distance2 <= parameters_.closeCellDistance2;
                found += isNear;
            }
#endif
            found = std::min(found, kMostCandidates);
            // A close pair also adds its shift under the bin's rotation to the sums.
            const int32_t c = Angle::cos(bin), s = Angle::sin(bin);
            for (int p = binFirstClose; p < closeFound && closePlace[p] < found; ++p) {
                const int i = (close[p] >> 12) & 0xFF, j = (close[p] >> 20) & 0xFF;
                const int32_t ax = a_[i].x - a_.centreX, ay = a_[i].y - a_.centreY;
                const int32_t bx = b_[j].x - b_.centreX, by = b_[j].y - b_.centreY;
                ++closeCount;
                closeSumX = int16_t(closeSumX + bx - ((ax * c - ay * s + 128) >> 8));
                closeSumY = int16_t(closeSumY + by - ((ax * s + ay * c + 128) >> 8));
            }
            if (found == kMostCandidates) break;
        }
    }
    fixed_vector<pair_t, kMostCandidates> candidates;
    for (int p = 0; p < found; ++p) {
        candidates.push_back(pair_t{uint8_t((near[p] >> 12) & 0xFF), uint8_t((near[p] >> 20) & 0xFF)});
    }

    // 2. Start from the alignment's rotation and the close pairs' mean shift.
    Transform t{Angle::cos(uint8_t(rotation)), -Angle::sin(uint8_t(rotation)), Angle::sin(uint8_t(rotation)),
                Angle::cos(uint8_t(rotation)), cellU * 8 - 256, cellV * 8 - 256};
    if (closeCount > 0) {
        auto mean = [closeCount](int32_t sum) {
            const int32_t m = (std::abs(sum) + closeCount / 2) / closeCount;
            return sum < 0 ? -m : m;
        };
        t.tx = mean(closeSumX);
        t.ty = mean(closeSumY);
    }

    // Centred positions of the candidates, reused by every collection pass.
    alignas(16) int16_t candA[256][2], candB[256][2];
    for (size_t p = 0; p < candidates.size(); ++p) {
        const Minutia& ma = a_[candidates[p].a];
        const Minutia& mb = b_[candidates[p].b];
        candA[p][0] = int16_t(ma.x - a_.centreX);
        candA[p][1] = int16_t(ma.y - a_.centreY);
        candB[p][0] = int16_t(mb.x - b_.centreX);
        candB[p][1] = int16_t(mb.y - b_.centreY);
    }
    // Whole groups of four for the vector collection.
    for (size_t p = candidates.size(); p % 4 != 0; ++p) candA[p][0] = candA[p][1] = candB[p][0] = candB[p][1] = 0;

    const int good2 = parameters_.goodPairDistance2;
    int bound2 = parameters_.pairDistance2;
    int acceptedGood = 0;
    pair_with_r2 lists[2][256];
    pair_with_r2* accepted = lists[0];
    pair_with_r2* current = lists[1];
    int acceptedCount = 0;
    FitSums sums;

    auto addToSums = [&](const pair_with_r2& p, int sign) {
        const Minutia& ma = a_[p.a];
        const Minutia& mb = b_[p.b];
        sums.add(ma.x - a_.centreX, ma.y - a_.centreY, mb.x - b_.centreX, mb.y - b_.centreY, sign);
    };
    // The accepted list becomes a heap only when a pair must leave it or it is scored: most lists
    // give way to a better one first. Until then its largest distance stands in for the top.
    bool heaped = true;
    uint16_t acceptedWorst = 0;
    auto heapify = [&]() {
        if (!heaped) makePairHeap(accepted, acceptedCount);
        heaped = true;
    };
    auto worstDistance = [&]() { return heaped ? accepted[0].r2 : acceptedWorst; };
    auto removeWorst = [&]() {
        heapify();
        addToSums(accepted[0], -1);
        popPairHeap(accepted, acceptedCount);
        --acceptedCount;
    };

    for (;;) {
        // 3. Collect the candidates the transform brings close.
        int currentCount = 0, currentGood = 0;
        uint16_t currentWorst = 0;
#if defined(__SSE2__)
        // Four candidates at a time: the turn as pairwise 16-bit products (the coefficients are
        // table values or fitted ones within -512..512), the errors cut to 16 bits, and their
        // squares summed by one more pairwise product, whose 32 bits read unsigned.
        alignas(16) uint32_t squares[256];
        {
            auto pack = [](int32_t low, int32_t high) {
                return _mm_set1_epi32(int32_t(uint32_t(uint16_t(low)) | (uint32_t(uint16_t(high)) << 16)));
            };
            const __m128i turnX = pack(t.cxx, t.cxy), turnY = pack(t.cyx, t.cyy);
            const __m128i shiftX = _mm_set1_epi32(t.tx), shiftY = _mm_set1_epi32(t.ty);
            const __m128i round = _mm_set1_epi32(128), lowHalf = _mm_set1_epi32(0xFFFF);
            for (size_t p = 0; p < candidates.size(); p += 4) {
                const __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(candA[p]));
                const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(candB[p]));
                const __m128i ex = _mm_sub_epi32(
                    _mm_add_epi32(shiftX, _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(a, turnX), round), 8)),
                    _mm_srai_epi32(_mm_slli_epi32(b, 16), 16));
                const __m128i ey = _mm_sub_epi32(
                    _mm_add_epi32(shiftY, _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(a, turnY), round), 8)),
                    _mm_srai_epi32(b, 16));
                const __m128i e = _mm_or_si128(_mm_and_si128(ex, lowHalf), _mm_slli_epi32(ey, 16));
                _mm_store_si128(reinterpret_cast<__m128i*>(squares + p), _mm_madd_epi16(e, e));
            }
        }
        for (size_t p = 0; p < candidates.size(); ++p) {
            const uint32_t d2 = squares[p];
#else
        for (size_t p = 0; p < candidates.size(); ++p) {
            const int32_t ax = candA[p][0], ay = candA[p][1];
            // Differences wrap to 16 bits; the squares are summed unsigned so (-32768, -32768) is far.
            const int32_t ex = int16_t(int64_t(t.tx) + ((t.cxx * ax + t.cxy * ay + 128) >> 8) - candB[p][0]);
            const int32_t ey = int16_t(int64_t(t.ty) + ((t.cyx * ax + t.cyy * ay + 128) >> 8) - candB[p][1]);
            const uint32_t d2 = uint32_t(ex * ex) + uint32_t(ey * ey);
#endif
            const bool keep = d2 <= uint32_t(bound2);
            current[currentCount] = pair_with_r2{candidates[p].a, candidates[p].b, uint16_t(d2)};
            currentCount += keep;
            currentGood += keep & (d2 <= uint32_t(good2));
            currentWorst = std::max(currentWorst, uint16_t(keep ? d2 : 0));
        }

        // 4. Keep the better list, or tighten the bound on the one kept.
        if (currentGood > acceptedGood) {
            std::swap(accepted, current);
            acceptedCount = currentCount;
            acceptedGood = currentGood;
            sums = FitSums{};
            for (int p = 0; p < acceptedCount; ++p) addToSums(accepted[p], 1);
            heaped = false;
            acceptedWorst = currentWorst;
        } else {
            if (acceptedCount < 5) break;
            bound2 = worstDistance();
            removeWorst();
        }

        // 5. Refit while far pairs remain, dropping the worst pair after each failed fit.
        bool refitted = false;
        while (acceptedCount > 3 && worstDistance() > good2) {
            if (fit(sums, acceptedCount, parameters_, t)) {
                refitted = true;
                break;
            }
            removeWorst();
        }
        if (!refitted) break;
    }

    // 8. Score the pairs as the heap stores them.
    if (acceptedCount == 0) return kNoEvidence;
    heapify();
    const int taken = std::min(acceptedCount, int(kMaxMinutiae));
    BoxPair boxes;
    for (int p = 0; p < taken; ++p) {
        grow(boxes.a, a_[accepted[p].a]);
        grow(boxes.b, b_[accepted[p].b]);
    }
    if (boxes_ != nullptr) *boxes_ = boxes;

    // 9-10. One-to-one pairs against the chance of random hits in the box.
    const int k = assign(accepted, taken);
    const int m = std::max(countInside(a_, boxes.a), k);
    const int bigM = std::max(countInside(b_, boxes.b), k);
    const uint32_t area = uint32_t(boxes.a.maxX - boxes.a.minX) * uint32_t(boxes.a.maxY - boxes.a.minY);
    const int32_t g = Embedded::log2_fixed(area);
    return Embedded::log2_factorial_table(k) - Embedded::log2_factorial_table(m) -
           Embedded::log2_factorial_table(bigM) + Embedded::log2_factorial_table(m - k) +
           Embedded::log2_factorial_table(bigM - k) - k * (423 - g);
}

}  // namespace Verification

namespace Embedded {

void scoreBothDirections(const MatchData& a, const MatchData& b, const MatchParameters& parameters,
                         ContinousVoting::minutia_pairs& pairs, Verification::BoxPair& boxes,
                         fixed_vector<int32_t, 6>& scores) {
    ContinousVoting::alignments found;
    ContinousVoting::find_alignments(a, b, parameters.voting, pairs, found);
    Verification::CorrFinder forward(a, b, parameters.corr, pairs, &boxes);
    for (const auto& alignment : found) scores.push_back(forward.get_score_using_all(alignment));

    ContinousVoting::find_alignments(b, a, parameters.voting, pairs, found);
    Verification::CorrFinder backward(b, a, parameters.corr, pairs, &boxes);
    for (const auto& alignment : found) scores.push_back(backward.get_score_using_all(alignment));
}

int32_t upperHalfMean(fixed_vector<int32_t, 6>& scores) {
    const int k = int(scores.size());
    if (k == 0) return Verification::kNoEvidence;
    std::nth_element(scores.begin(), scores.begin() + k / 2, scores.end());
    const int c = k - k / 2;
    int64_t sum = 0;
    for (int i = k / 2; i < k; ++i) sum += scores[i];
    const int64_t mean = (std::abs(sum) + c / 2) / c;
    return int32_t(sum < 0 ? -mean : mean);
}

int32_t scoreIndex(int32_t raw) { return raw < 1 ? 0 : int32_t((int64_t(raw) + 32768) >> 16); }

int32_t oneViewIndex(const MatchData& a, const MatchData& b, const MatchParameters& parameters,
                     ContinousVoting::minutia_pairs& pairs, Verification::BoxPair& boxes) {
    fixed_vector<int32_t, 6> scores;
    scoreBothDirections(a, b, parameters, pairs, boxes, scores);
    const int32_t m = upperHalfMean(scores);
    // The calibration is 32-bit arithmetic.
    const int32_t raw = int32_t(uint32_t(m) * uint32_t(parameters.oneViewSlope) + uint32_t(parameters.oneViewOffset));
    return scoreIndex(raw);
}

}  // namespace Embedded
}  // namespace DurodudUrodera::FpRecEngineImpl
