// Scan-line culling: the cascade of noise, similarity, spread, edge and gradient tests.
#include "tcs/imaging/reconstruction/cull.h"

#include "tcs/imaging/reconstruction/recon_state.h"

#include <string.h>

namespace {

constexpr uint32_t kGradientWindow = 128;
constexpr uint32_t kEdgeLeftStart = 16;
constexpr uint32_t kMinPrimary = kGradientWindow;
constexpr uint16_t kSpreadForgiveness = 4;

uint32_t centreWindowStart(const CullState& s) {
    return s.primaryCount >= 171 ? 72 : s.headerBytes + (s.primaryCount - kCullWindow) / 2;
}

// Branch-free: the pixel data makes the comparisons unpredictable.
uint8_t median3(uint8_t a, uint8_t b, uint8_t c) {
    const uint8_t lo = a < b ? a : b, hi = a < b ? b : a;
    const uint8_t m = hi < c ? hi : c;
    return lo > m ? lo : m;
}

void takeReference(CullState& s, const uint8_t* line) {
    if (s.lastLine != nullptr) memcpy(s.lastLine, line, s.lineBytes);
    memcpy(s.centreWindow, line + centreWindowStart(s), kCullWindow);
    if (s.centreStats != nullptr) tcsComputeNCCStats(s.centreStats, s.centreWindow, kCullWindow);
    ++s.linesKept;
    ++s.keptSinceStart;
    s.lastReason = kCullKeep;
}

uint32_t reject(CullState& s, uint8_t code) {
    s.lastReason = code;
    ++s.reasonCounts[code];
    return code;
}

uint32_t largestNeighbourStep(const uint8_t* window, uint32_t n) {
    uint32_t g = 0;
    for (uint32_t i = 1; i < n; ++i) {
        const int d = int(window[i]) - int(window[i - 1]);
        const uint32_t a = uint32_t(d < 0 ? -d : d);
        if (a > g) g = a;
    }
    return g;
}

}  // namespace

TcsResult tcsCullScanLineInit(CullState* state, const IrGeometry* geometry, uint8_t* lastLineArea, NccStats* stats) {
    if (state == nullptr || geometry == nullptr) return TCS_RESULT_NULL_POINTER;
    memset(state, 0, sizeof(*state));
    // The gradient window spans 128 primary pixels; every built-in module has at least 144.
    if (geometry->pixelBytes < kMinPrimary || geometry->pixelBytes > 0xFFFF) return TCS_RESULT_BAD_PARAM;
    state->headerBytes = geometry->headerBytes;
    state->headerPrimaryBytes = geometry->headerBytes + geometry->pixelBytes;
    state->lineBytes = geometry->headerBytes + geometry->pixelBytes + geometry->extraBytes;
    state->pixelCount = geometry->pixelBytes + geometry->extraBytes;
    state->primaryCount = uint16_t(geometry->pixelBytes);
    state->lastLine = lastLineArea;
    state->centreStats = stats;
    return TCS_RESULT_OK;
}

void tcsCullPrefilterScanline(const CullState* state, const uint8_t* source, uint8_t* destination) {
    if (state == nullptr || source == nullptr || destination == nullptr || state->primaryCount < 3) return;
    const uint32_t h = state->headerBytes;
    for (uint32_t i = h + 1; i + 1 < h + state->primaryCount; ++i) {
        destination[i] = median3(source[i - 1], source[i], source[i + 1]);
    }
}

uint32_t tcsCullScanLine(CullState* state, const uint8_t* prefiltered, const uint8_t* raw, uint32_t headerFlag,
                         uint32_t minChanged, uint32_t changeThreshold, uint16_t cullFlags) {
    if (state == nullptr || prefiltered == nullptr || raw == nullptr) return kCullKeep;
    CullState& s = *state;
    const uint32_t h = s.headerBytes, p = s.primaryCount;
    const uint8_t* reference = s.lastLine;
    const uint8_t* line = (cullFlags & kCullKeepUnfiltered) ? raw : prefiltered;

    ++s.linesSeen;
    if (s.linesSeen == 1 || reference == nullptr) {
        takeReference(s, line);
        return kCullKeep;
    }
    if (cullFlags == 0) {
        ++s.linesKept;
        ++s.keptSinceStart;
        return kCullKeep;
    }

    if (cullFlags & kCullNoiseTest) {
        uint32_t changed = 0;
        for (uint32_t i = h + 10; i <= h + p - 11 && changed < minChanged; ++i) {
            const int d = int(prefiltered[i]) - int(reference[i]);
            if (uint32_t(d < 0 ? -d : d) > changeThreshold) ++changed;
        }
        if (changed < minChanged) return reject(s, kCullNoChange);
        if (headerFlag == 1 && s.linesSeen == 2) return reject(s, kCullNoChange);
    }

    NccStats current;
    uint32_t r0 = 0;
    const uint32_t s0 = computeNCCForZeroLag(s.centreWindow, prefiltered + centreWindowStart(s), kCullWindow,
                                             s.centreStats, &current, &r0);
    s.lastZeroLagScore = s0;
    const uint32_t sr = s.centreStats != nullptr ? s.centreStats->spread : 0;
    const uint32_t sc = current.spread;

    if (cullFlags & kCullSimilarityTest) {
        if (s0 > 15100) return reject(s, kCullTooSimilar);
        if (s0 >= 9751 && r0 < 8000) return reject(s, kCullSmallResidual);
    }
    if (cullFlags & kCullSpreadTest) {
        if (s0 > sr / 10000 + 12350 && s0 > 12350 &&
            ((sc > 4500000 && sr > 4500000) || (s0 > 13200 && sc > 3000000 && sr > 3000000))) {
            return reject(s, kCullSimilarTextured);
        }
    }

    // Edge windows on the unfiltered line against their one-pixel shifts.
    uint32_t lo = 0, hi = 0;
    uint32_t leftResidual = 0, rightResidual = 0;
    NccStats leftStats{}, rightStats{};
    if (cullFlags & (kCullEdgeTest | kCullSpreadTracking)) {
        const uint8_t* left = raw + kEdgeLeftStart;
        const uint8_t* right = raw + (h + p - 80);
        NccStats shifted;
        tcsComputeNCCStats(&leftStats, left, kCullWindow);
        tcsComputeNCCStats(&rightStats, right, kCullWindow);
        const uint32_t e1 = computeNCCForZeroLag(left, left + 1, kCullWindow, &leftStats, &shifted, &leftResidual);
        const uint32_t e2 = computeNCCForZeroLag(right, right - 1, kCullWindow, &rightStats, &shifted, &rightResidual);
        if (cullFlags & kCullEdgeTest) {
            lo = e1 <= e2 ? e1 : e2;
            hi = e1 <= e2 ? e2 : e1;
            const uint32_t r = (e1 <= e2 ? leftResidual : rightResidual) * 28 / 16;
            bool edge = false;
            if (lo < 9250 &&
                !(r <= 12000 && s0 >= 2000 && (lo > 7249 || (r <= 10000 && (lo > 5249 || (r <= 6000 && lo > 3799)))))) {
                const bool q = lo > 4999 || hi < 5151;
                const bool c1 = (s0 <= 5000 && !q) || (s0 > 5000 && !(s0 <= lo + 5400 && q));
                const bool c2 = !(hi > 11499 || (s0 <= 5000 && hi > 5999));
                const bool c3 = !(hi - lo >= 3500 && s0 >= 1250 && (lo > 1499 || hi >= 8000) && sr > 4999999);
                edge = c1 && c2 && c3;
            }
            if (edge) {
                s.edgeRun = s.lastReason < kCullEdgePattern ? 1 : uint8_t(s.edgeRun + 1);
                return reject(s, kCullEdgePattern);
            }
            if (s.edgeRun > 2) {
                s.edgeRun = 2;
                return reject(s, kCullRepeatedEdge);
            }
        }
    }

    if ((cullFlags & kCullSpreadTracking) && s.linesKept > 500) {
        if (sc > s.maxCentreSpread) s.maxCentreSpread = sc;
        if (leftStats.spread > s.maxLeftSpread) s.maxLeftSpread = leftStats.spread;
        if (rightStats.spread > s.maxRightSpread) s.maxRightSpread = rightStats.spread;
    }
    if ((cullFlags & kCullEdgeTest) && (cullFlags & kCullSpreadTracking) && s.linesKept > 1200 &&
        !(hi > 13499 && (s0 < 1501 || s0 > 3499)) && !(leftResidual <= 5000 && rightResidual <= 5000)) {
        uint8_t code = kCullKeep;
        if (s.maxCentreSpread > 5017600 && sc < 2005866) {
            code = kCullLowSpreadCentre;
        } else if (s.maxLeftSpread > 5017600 && leftStats.spread < 2005866) {
            code = kCullLowSpreadLeft;
        } else if (s.maxRightSpread > 5017600 && rightStats.spread < 2005866) {
            code = kCullLowSpreadRight;
        }
        if (code != kCullKeep) {
            if (s.spreadForgiven < kSpreadForgiveness) {
                ++s.spreadForgiven;
            } else {
                return reject(s, code);
            }
        }
    }

    const bool gradientA = (cullFlags & kCullGradientA) != 0, gradientB = (cullFlags & kCullGradientB) != 0;
    if (gradientA || gradientB) {
        const uint32_t g = largestNeighbourStep(prefiltered + h + (p - kGradientWindow) / 2, kGradientWindow);
        if (gradientA) {
            const bool flat = g < 33 && s0 < 6500;
            if (flat && hi < 5000) return reject(s, kCullFlat);
            if ((flat || g < 49) && (s0 < 4000 || hi < 7000 || lo < 4000) && hi < 5000) return reject(s, kCullLowContrast);
            if ((cullFlags & kCullGradientALowContrast) && g <= 76 && hi < 2000) return reject(s, kCullNoRidges);
        }
        if (gradientB) {
            const bool flat = g < 17 && s0 < 5500;
            if (flat && hi < 5000) return reject(s, kCullFlat);
            if ((flat || g < 33) && (s0 < 4000 || hi < 6000 || lo < 4000) && hi < 5000) return reject(s, kCullLowContrast);
            if ((cullFlags & kCullGradientBLowContrast) && g <= 48 && hi < 2000) return reject(s, kCullNoRidges);
        }
    }

    takeReference(s, line);
    return kCullKeep;
}
