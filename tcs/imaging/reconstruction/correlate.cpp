// Scan-line correlators: nearest-first search of y lags around the prediction, each with an x-lag
// search, a second pair of lines to confirm, and the bookkeeping the pool admission relies on.
#include "tcs/imaging/reconstruction/correlate.h"

#include "tcs/imaging/reconstruction/ncc.h"
#include "tcs/imaging/reconstruction/recon_state.h"
#include "tcs/imaging/reconstruction/scan_line.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace {

constexpr uint32_t kEarlyStop = 16384;
constexpr uint32_t kMaxDistancePenalty = 5000;

NccStats* statsA(const IrReconState& s, uint8_t* entry) {
    return reinterpret_cast<NccStats*>(entry + s.layout.roundedLineBytes);
}
NccStats* statsB(const IrReconState& s, uint8_t* entry) {
    return reinterpret_cast<NccStats*>(entry + s.layout.roundedLineBytes + sizeof(NccStats));
}
const uint8_t* windowA(const IrReconState& s, const uint8_t* entry) { return entry + s.layout.windowStart; }
const uint8_t* windowB(const IrReconState& s, const uint8_t* entry) {
    return entry + s.geometry->headerBytes + s.geometry->pixelBytes;
}

uint32_t cross(const uint8_t* a, const uint8_t* b, uint32_t n) {
    if (n == 64) return computeCrossSumL64(a, b);
    uint32_t c = 0;
    for (uint32_t i = 0; i < n; ++i) c += uint32_t(a[i]) * b[i];
    return c;
}

// Window A of one line against window B of another: the primary window slides over x lags.
struct Pair {
    uint8_t* aLine;
    uint8_t* bLine;
};

uint32_t correlateOne(IrReconState& s, uint32_t d, uint8_t* current, uint32_t windowLength, uint32_t* outFlag) {
    IrDirectionState& ds = s.direction[d];
    CorrRanges r;
    setupCorrParams(&s, d, &r);
    const int32_t span = std::max(std::max(r.centre - r.minimum, r.maximum - r.centre), 0);
    const uint32_t factor = (s.cfgInfo & kCfgShortLines) ? 128 : 160;
    const uint32_t n = windowLength;
    const CircBuffer& ring = s.correlation;

    int32_t bestLag = -1;
    int8_t bestX = 0;
    uint32_t bestCombined = 0;
    bool haveBest = false;
    NccLagSearch search{};
    search.start = ds.lastXLag;
    // The x window is [-e, -c] and [a, b]: the search takes its bounds as minimum, negative upper,
    // positive lower, maximum. Taken as (-c, -e, a, b) the negative band would always be empty.
    search.minimum = int8_t(-r.e);
    search.negativeUpper = int8_t(-r.c);
    search.positiveLower = int8_t(r.a);
    search.maximum = int8_t(r.b);
    search.penalty = 64;
    search.accept = search.good = search.dropMargin = search.peak = search.budgetScore = 16384;
    search.budget = 24;
    // The upward correlator hands the search a flag at line 10000; the search has no use for it.
    (void)s.nccFlag;

    // The downward correlator slides the current line's window: its statistics at the start lag
    // are the same for every candidate.
    NccStats currentAtStart{};
    if (d == 1 && search.start != 0) tcsComputeNCCStats(&currentAtStart, windowA(s, current) + search.start, n);
    bool stop = false;
    for (int32_t off = 0; off <= span && !stop; ++off) {
        for (int32_t sign = 1; sign >= -1 && !stop; sign -= 2) {
            if (off == 0 && sign < 0) continue;
            const int32_t k = r.centre + sign * off;
            if (k < r.minimum || k > r.maximum || k < 1 || uint32_t(k) >= ring.count) continue;
            uint8_t* other = tcsGetEntryFromCircBuffer(uint32_t(k), &ring);
            const Pair first = d == 1 ? Pair{current, other} : Pair{other, current};
            const NccStats* refStats = search.start == 0 ? statsA(s, first.aLine) : (d == 1 ? &currentAtStart : nullptr);
            NccStats bestRef;
            int8_t x = 0;
            uint32_t c1 = 0, evals = 0;
            const uint32_t score = computeNCCForMultipleLags(windowA(s, first.aLine), windowB(s, first.bLine), n,
                                                             refStats, statsB(s, first.bLine), &search, &bestRef, &x,
                                                             &c1, &evals);
            uint32_t combined = score;
            if (score != 0 && ring.count > uint32_t(k) + 1) {
                uint8_t* previous = tcsGetEntryFromCircBuffer(1, &ring);
                uint8_t* older = tcsGetEntryFromCircBuffer(uint32_t(k) + 1, &ring);
                const Pair second = d == 1 ? Pair{previous, older} : Pair{older, previous};
                NccStats a2;
                const uint8_t* a2Window = windowA(s, second.aLine) + x;
                if (x == 0) a2 = *statsA(s, second.aLine); else tcsComputeNCCStats(&a2, a2Window, n);
                const uint32_t c2 = cross(a2Window, windowB(s, second.bLine), n);
                combined = computeCombinedNCCForGivenLag(&bestRef, &a2, statsB(s, first.bLine),
                                                         statsB(s, second.bLine), c1, c2, n);
            }
            const uint32_t distance = std::min(uint32_t(abs(k - r.centre)) * factor, kMaxDistancePenalty);
            const uint32_t penalty = distance + uint32_t(abs(x));
            if (!haveBest || (score != 0 && combined > bestCombined + penalty)) {
                haveBest = true;
                bestLag = k;
                bestX = x;
                bestCombined = combined;
                if (score > kEarlyStop) stop = true;
            }
        }
    }

    if (!haveBest) {
        bestLag = ds.lastYLag;
        bestX = ds.lastXLag;
        bestCombined = 0;
    }
    if (ring.count == ring.capacity && ds.delayCounter == 0 && ds.holdCounter > 0) {
        bool far = true;
        for (uint8_t h : ds.yLagHistory) far = far && abs(bestLag - int32_t(h)) > 4;
        if (far) bestLag = ds.yLagHistory[(s.processedLines + 3) % 4];
    }
    irRecordCorrelation(s, d, current, bestLag, bestX, bestCombined, outFlag);
    return d;
}

}  // namespace

void irRecordCorrelation(IrReconState& s, uint32_t d, uint8_t* current, int32_t bestLag, int8_t bestX, uint32_t S,
                         uint32_t* outFlag) {
    IrDirectionState& ds = s.direction[d];
    if (S < kGoodCorrelation) {
        ++ds.badLines;
        ds.lastBadLine = uint16_t(s.processedLines);
    } else {
        ++ds.goodLines;
        ds.lastGoodLine = uint16_t(s.processedLines);
        ds.lastYLag = int8_t(bestLag);
        ds.lastXLag = bestX;
    }
    ds.lastScore = uint16_t(S > 0xFFFF ? 0xFFFF : S);
    ds.accumulatedScore += S / 256;
    if (bestLag > 18) ds.accumulatedScore -= S / 512;
    if (bestLag > 21) ds.accumulatedScore -= S / 512;
    *outFlag = bestLag > 21 ? 1 : 0;

    const uint32_t root = isqrt(S);
    current[d] = uint8_t(ds.lastYLag);
    current[4 + d] = uint8_t(ds.lastXLag);
    current[6 + d] = uint8_t(root > 127 ? 127 : root);

    if (ds.delayCounter < 0) {
        ++ds.delayCounter;
    } else if (ds.holdCounter > 0) {
        --ds.holdCounter;
    }
}

void setupCorrParams(IrReconState* state, uint32_t d, CorrRanges* out) {
    IrDirectionState& ds = state->direction[d];
    const int32_t p = ds.lastYLag, x = ds.lastXLag;
    const uint32_t slot = state->processedLines;
    const int32_t h1 = ds.yLagHistory[(slot + 3) % 4], h2 = ds.yLagHistory[(slot + 2) % 4];
    const int32_t n = state->lagCount;
    out->minimum = std::max(p - 8, 3);
    if (p > 21 && h1 > 17 && h2 > 17) out->minimum = 3;
    out->maximum = std::min(p + 7, n - 1);
    if (p < 4 && h1 < 6 && h2 < 6) out->maximum = n - 1;
    const int32_t o = ds.lagOffset;
    out->centre = (o != 0 && p > o) ? p - o : p;
    if (o != 0) ds.lagOffset = 0;
    if (out->centre == 0) out->centre = state->defaultLag;
    if (x >= 2) {
        out->a = x - 2; out->b = x + 2; out->c = 0; out->e = 1;
    } else if (x <= -2) {
        out->a = 0; out->b = 1; out->c = -x - 2; out->e = 2 - x;
    } else {
        out->a = 1; out->b = x + 2; out->c = 1; out->e = 2 - x;
    }
    if (out->b > 7) { out->b = 7; out->a = 4; }
    if (out->e > 7) { out->e = 7; out->c = 4; }
    ds.dropCount = 0;
    memset(out->weights, 1, sizeof(out->weights));
}

uint32_t IRcorrelateDown(IrReconState* state, uint8_t* line, uint32_t windowLength, uint32_t* outFlag) {
    return correlateOne(*state, 1, line, windowLength, outFlag);
}

uint32_t IRcorrelateUp(IrReconState* state, uint8_t* line, uint32_t windowLength, uint32_t* outFlag) {
    state->nccFlag = state->processedLines == 10000 ? 1 : 0;
    return correlateOne(*state, 0, line, windowLength, outFlag);
}

uint32_t IRcorrelateUpDown(IrReconState* state, uint8_t* line, uint32_t windowLength, uint32_t* outFlag) {
    IrReconState& s = *state;
    const uint8_t drop0 = s.direction[0].dropCount, drop1 = s.direction[1].dropCount;
    uint32_t drop = 0;
    if (drop0 != 0 && drop1 != 0) {
        drop = std::min(drop0, drop1);
    } else if (drop0 != 0) {
        drop = s.direction[0].lastScore > s.direction[1].lastScore ? drop0 : 0;
    } else if (drop1 != 0) {
        drop = s.direction[1].lastScore > s.direction[0].lastScore ? drop1 : 0;
    }
    if (drop != 0) tcsRemoveFirstNFromCircBuffer(&s.correlation, drop);

    if (line[4] != 0 && s.correlation.count == s.correlation.capacity) {
        const uint8_t* e1 = tcsGetEntryFromCircBuffer(1, &s.correlation);
        const uint8_t* e4 = tcsGetEntryFromCircBuffer(4, &s.correlation);
        const int32_t dt = int32_t(e1[2]) - int32_t(e4[2]);
        if (dt > 0) {
            const int32_t v = int32_t(line[4]) * 3 / dt;
            if (v != 0) {
                for (IrDirectionState& ds : s.direction) {
                    ds.lagOffset = uint16_t(v);
                    ds.holdCounter = int16_t(v + 6);
                    const int32_t mean = (ds.yLagHistory[0] + ds.yLagHistory[1] + ds.yLagHistory[2] + ds.yLagHistory[3]) / 4;
                    const int32_t delay = 3 - mean + v;
                    ds.delayCounter = int16_t(delay < 1 ? delay : 0);
                }
            }
        }
    }
    uint32_t up = 0, down = 0;
    IRcorrelateUp(state, line, windowLength, &up);
    IRcorrelateDown(state, line, windowLength, &down);
    *outFlag = up | down;
    return 2;
}

TcsResult IRcorrelate(IrReconState* state, uint8_t* line) {
    if (state == nullptr || line == nullptr) return TCS_RESULT_NULL_POINTER;
    IrReconState& s = *state;
    if (s.trailerPresent) {
        for (uint32_t d = 0; d < 2; ++d) {
            IrDirectionState& ds = s.direction[d];
            const uint32_t score = uint32_t(line[6 + d]) * line[6 + d];
            ds.accumulatedScore += score / 256;
            if (score > 1499) ++ds.goodLines;
            if (line[d] > 18) ds.accumulatedScore -= score / 512;
            if (line[d] > 21) ds.accumulatedScore -= score / 512;
        }
        return TCS_RESULT_OK;
    }
    const uint32_t n = s.geometry->extraBytes & 0xFFFF;
    tcsComputeNCCStats(statsA(s, line), windowA(s, line), n);
    tcsComputeNCCStats(statsB(s, line), windowB(s, line), n);
    uint32_t flag = 0;
    switch (s.correlator) {
        case 0: s.directionWord = IRcorrelateUp(state, line, n, &flag); break;
        case 1: s.directionWord = IRcorrelateDown(state, line, n, &flag); break;
        default: s.directionWord = IRcorrelateUpDown(state, line, n, &flag); break;
    }
    if (flag == 1) {
        uint8_t* e21 = tcsGetEntryFromCircBuffer(21, &s.correlation);
        uint8_t* e22 = tcsGetEntryFromCircBuffer(22, &s.correlation);
        uint8_t* e23 = tcsGetEntryFromCircBuffer(23, &s.correlation);
        const uint32_t size = s.correlation.entrySize;
        if (e21 != nullptr && e22 != nullptr) memcpy(e21, e22, size);
        if (e22 != nullptr && e23 != nullptr) memcpy(e22, e23, size);
    }
    return TCS_RESULT_OK;
}

uint32_t IRhandleInvertAndFlip(IrReconState* state, uint32_t unused, uint32_t swap, uint8_t* pixels, uint32_t columns,
                               uint32_t rows) {
    (void)unused;
    if (state == nullptr || state->geometry == nullptr) return 0;
    const uint32_t direction = state->detectedDirection;
    const bool invert = state->geometry->primaryPolarity == 1;
    const uint32_t flip = state->geometry->flip;
    bool mirror = false, negate = false;
    if (direction == 0) {
        mirror = flip == 1;
        negate = invert;
    } else if (direction == 1) {
        if (!invert) {
            mirror = flip == 0;
        } else {
            mirror = flip != 1;
            negate = true;
        }
    } else {
        return 0;
    }
    if (pixels != nullptr) {
        for (uint32_t r = 0; r < rows; ++r) {
            uint8_t* row = pixels + size_t(r) * columns;
            if (mirror) {
                for (uint32_t i = 0; i < columns / 2; ++i) {
                    const uint8_t t = row[i];
                    row[i] = row[columns - 1 - i];
                    row[columns - 1 - i] = t;
                }
            }
            if (negate) {
                for (uint32_t i = 0; i < columns; ++i) row[i] = uint8_t(255 - row[i]);
            }
        }
    }
    if (mirror && swap == 1) {
        const uint16_t t = state->results.leftMargin;
        state->results.leftMargin = state->results.rightMargin;
        state->results.rightMargin = t;
    }
    return mirror ? 1 : 0;
}
