// Integer NCC: window statistics, scores at one lag, and the outward search over lags.
#include "tcs/imaging/reconstruction/ncc.h"

#include <stdlib.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>

namespace {

constexpr int kMaxOffset = 256;  // lags are signed bytes, so offsets from the start stay within this
constexpr uint32_t kUnevaluated = 1;

int32_t asSigned(uint32_t v) { return static_cast<int32_t>(v); }

uint32_t crossSum(const uint8_t* a, const uint8_t* b, uint32_t n) {
    if (n == 64) return computeCrossSumL64(a, b);
    uint32_t c = 0;
    for (uint32_t i = 0; i < n; ++i) c += uint32_t(a[i]) * b[i];
    return c;
}

void slide(NccStats& stats, uint32_t leaving, uint32_t entering, uint32_t n) {
    stats.sum = stats.sum + entering - leaving;
    stats.sumSquares = stats.sumSquares + entering * entering - leaving * leaving;
    tcsComputeDependentNCCStats(&stats, n);
}

}  // namespace

void tcsComputeNCCStats(NccStats* stats, const uint8_t* pixels, uint32_t n) {
    if (stats == nullptr) return;
#ifdef __SSE2__
    if (pixels != nullptr && n == 64) {
        // 64-pixel windows (the correlation and culling windows): sums by byte differences to zero,
        // squares by 16-bit pair products.
        const __m128i zero = _mm_setzero_si128();
        __m128i sums = _mm_setzero_si128(), squares = _mm_setzero_si128();
        for (int i = 0; i < 64; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + i));
            sums = _mm_add_epi64(sums, _mm_sad_epu8(v, zero));
            const __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
            squares = _mm_add_epi32(squares, _mm_add_epi32(_mm_madd_epi16(lo, lo), _mm_madd_epi16(hi, hi)));
        }
        squares = _mm_add_epi32(squares, _mm_shuffle_epi32(squares, _MM_SHUFFLE(1, 0, 3, 2)));
        squares = _mm_add_epi32(squares, _mm_shuffle_epi32(squares, _MM_SHUFFLE(2, 3, 0, 1)));
        stats->sum = uint32_t(_mm_cvtsi128_si32(sums)) + uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
        stats->sumSquares = uint32_t(_mm_cvtsi128_si32(squares));
        tcsComputeDependentNCCStats(stats, n);
        return;
    }
#endif
    uint32_t sum = 0, squares = 0;
    for (uint32_t i = 0; pixels != nullptr && i < n; ++i) {
        sum += pixels[i];
        squares += uint32_t(pixels[i]) * pixels[i];
    }
    stats->sum = sum;
    stats->sumSquares = squares;
    tcsComputeDependentNCCStats(stats, n);
}

void tcsComputeDependentNCCStats(NccStats* stats, uint32_t n) {
    if (stats == nullptr) return;
    // 32-bit signed arithmetic as the scores expect; the products wrap only for windows far
    // longer than any line.
    stats->sumSquared = stats->sum * stats->sum;
    const int32_t spread = asSigned(n * stats->sumSquares - stats->sumSquared);
    stats->spread = spread > 0 ? uint32_t(spread) : 0;
}

uint32_t computeNCCForGivenLag(const NccStats* a, const NccStats* b, uint32_t crossSum, uint32_t n) {
    if (a == nullptr || b == nullptr) return 0;
    const int64_t numerator = asSigned(n * crossSum - a->sum * b->sum);
    const int64_t sa = a->spread, sb = b->spread;
    if (sa >= 256 && sb >= 256 && numerator >= 0) {
        // All terms fit 32 unsigned bits here; 32-bit divisions keep the lag search cheap.
        const uint32_t n32 = uint32_t(numerator), sa32 = uint32_t(sa), sb32 = uint32_t(sb);
        const uint64_t qb = (n32 + sb32 / 256) / (sb32 / 128);
        const uint64_t qa = (n32 + sa32 / 256) / (sa32 / 128);
        return uint32_t(qa * qb);
    }
    if (numerator == 0) return (sa == 0 && sb == 0) ? kNccFlatScore : 0;
    if (numerator < 0) return 0;
    // A positive numerator implies both spreads are positive; guard the division all the same.
    if (sa == 0 || sb == 0) return 0;
    const int64_t qa = sa >= 256 ? numerator / (sa / 128) : (numerator * 128) / sa;
    const int64_t qb = sb >= 256 ? numerator / (sb / 128) : (numerator * 128) / sb;
    return uint32_t(qa * qb);
}

uint32_t computeCrossSumL64(const uint8_t* a, const uint8_t* b) {
#ifdef __SSE2__
    // Bytes widened to 16 bits, pairs of products summed to 32 bits: each lane stays below 2^18.
    const __m128i zero = _mm_setzero_si128();
    __m128i acc = _mm_setzero_si128();
    for (int i = 0; i < 64; i += 16) {
        const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpacklo_epi8(va, zero), _mm_unpacklo_epi8(vb, zero)));
        acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpackhi_epi8(va, zero), _mm_unpackhi_epi8(vb, zero)));
    }
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, _MM_SHUFFLE(1, 0, 3, 2)));
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, _MM_SHUFFLE(2, 3, 0, 1)));
    return uint32_t(_mm_cvtsi128_si32(acc));
#else
    uint32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (int i = 0; i < 64; i += 4) {
        s0 += uint32_t(a[i]) * b[i];
        s1 += uint32_t(a[i + 1]) * b[i + 1];
        s2 += uint32_t(a[i + 2]) * b[i + 2];
        s3 += uint32_t(a[i + 3]) * b[i + 3];
    }
    return s0 + s1 + s2 + s3;
#endif
}

uint32_t computeNCCForZeroLag(const uint8_t* a, const uint8_t* b, uint32_t n, const NccStats* statsA,
                              NccStats* statsB, uint32_t* residual) {
    if (a == nullptr || b == nullptr || n == 0) return 0;
    NccStats ownA;
    if (statsA == nullptr) {
        tcsComputeNCCStats(&ownA, a, n);
        statsA = &ownA;
    }
    NccStats ownB;
    NccStats* sb = statsB != nullptr ? statsB : &ownB;
    tcsComputeNCCStats(sb, b, n);
    const uint32_t c = crossSum(a, b, n);
    if (residual != nullptr) {
        const int32_t quotient = (asSigned(sb->sum) - asSigned(statsA->sum)) / int32_t(n);
        const int64_t r = int64_t(c) - int64_t(statsA->sumSquares) - int64_t(quotient) * int64_t(statsA->sum);
        *residual = uint32_t(r < 0 ? -r : r);
    }
    return computeNCCForGivenLag(statsA, sb, c, n);
}

uint32_t computeCombinedNCCForGivenLag(const NccStats* a1, const NccStats* a2, const NccStats* b1,
                                       const NccStats* b2, uint32_t cross1, uint32_t cross2, uint32_t n) {
    if (a1 == nullptr || a2 == nullptr || b1 == nullptr || b2 == nullptr) return 0;
    NccStats a{a1->sum + a2->sum, a1->sumSquares + a2->sumSquares, 0, 0};
    NccStats b{b1->sum + b2->sum, b1->sumSquares + b2->sumSquares, 0, 0};
    tcsComputeDependentNCCStats(&a, 2 * n);
    tcsComputeDependentNCCStats(&b, 2 * n);
    return computeNCCForGivenLag(&a, &b, cross1 + cross2, 2 * n);
}

uint32_t computeNCCForMultipleLags(const uint8_t* ref, const uint8_t* cur, uint32_t n, const NccStats* refStats,
                                   const NccStats* curStats, const NccLagSearch* search, NccStats* bestRefStats,
                                   int8_t* bestLag, uint32_t* bestCross, uint32_t* evaluations) {
    if (ref == nullptr || cur == nullptr || search == nullptr || n == 0) {
        if (bestLag != nullptr) *bestLag = 0;
        if (bestCross != nullptr) *bestCross = 0;
        if (evaluations != nullptr) *evaluations = 0;
        return 0;
    }
    const NccLagSearch& p = *search;
    const int s = p.start, m = p.minimum, u = p.negativeUpper, l = p.positiveLower, M = p.maximum;

    NccStats current;
    if (curStats != nullptr) current = *curStats; else tcsComputeNCCStats(&current, cur, n);
    NccStats atStart;
    if (refStats != nullptr) atStart = *refStats; else tcsComputeNCCStats(&atStart, ref + s, n);

    uint32_t recorded[2 * kMaxOffset + 1];
    // Only offsets the window allows (and their neighbours) are ever read: clearing all 513 slots
    // cost more than the search itself.
    const int lowOffset = std::max(std::min(m, s) - s - 1, -kMaxOffset), highOffset = std::min(std::max(M, s) - s + 1, kMaxOffset);
    for (int o = lowOffset; o <= highOffset; ++o) recorded[kMaxOffset + o] = kUnevaluated;

    uint32_t evals = 1;
    uint32_t cross = crossSum(ref + s, cur, n);
    uint32_t best = computeNCCForGivenLag(&atStart, &current, cross, n);
    recorded[kMaxOffset] = best;
    int bestOffset = 0;
    uint32_t bestC = cross;
    NccStats bestS = atStart;

    auto skippedUp = [&](int lag) { return lag != 0 && (lag > M || (lag < l && !(lag < 0 && lag <= u && lag != s))); };
    auto skippedDown = [&](int lag) { return lag != 0 && (lag < m || (lag > u && (lag < 1 || lag < l))); };

    bool done = best > p.accept || (evals >= p.budget && best < p.budgetScore);
    NccStats up = atStart, down = atStart;
    bool dropUp = false, dropDown = false;
    for (int k = 1; !done; ++k) {
        const int lagUp = s + k, lagDown = s - k;
        const bool upAllowed = lagUp <= M, downAllowed = lagDown >= m;
        if (!upAllowed && !downAllowed) break;
        uint32_t bar = best + p.penalty * uint32_t(abs(k - abs(bestOffset)));

        auto evaluate = [&](int lag, int offset, const NccStats& window, bool& drop) {
            const uint32_t c = crossSum(ref + lag, cur, n);
            const uint32_t score = computeNCCForGivenLag(&window, &current, c, n);
            ++evals;
            recorded[kMaxOffset + offset] = score;
            if (score > bar) {
                best = score;
                bestOffset = offset;
                bestC = c;
                bestS = window;
                bar = score;  // the downward candidate must beat a winning upward one strictly
                if (score > p.accept) done = true;
            } else if (best > p.good && score + p.dropMargin < best) {
                drop = true;
            }
            if (evals >= p.budget && best < p.budgetScore) done = true;
        };

        if (upAllowed) {
            slide(up, ref[lagUp - 1], ref[lagUp + int(n) - 1], n);
            if (!skippedUp(lagUp)) evaluate(lagUp, k, up, dropUp);
        }
        if (!done && downAllowed) {
            slide(down, ref[lagDown + int(n)], ref[lagDown], n);
            if (!skippedDown(lagDown)) evaluate(lagDown, -k, down, dropDown);
        }
        if (done || (dropUp && dropDown)) break;
        if (best > p.peak && (bestOffset == k - 1 || bestOffset == -(k - 1)) &&
            best + 64 > recorded[kMaxOffset + bestOffset - 1] && best + 64 > recorded[kMaxOffset + bestOffset + 1]) {
            break;
        }
    }

    if (bestRefStats != nullptr) *bestRefStats = bestS;
    if (bestLag != nullptr) *bestLag = int8_t(s + bestOffset);
    if (bestCross != nullptr) *bestCross = bestC;
    if (evaluations != nullptr) *evaluations = evals;
    return best;
}
