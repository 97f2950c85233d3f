// Quality verdict of a reconstructed swipe, and interpolation of rows between two known rows.
#include "tcs/imaging/reconstruction/quality.h"

#include "tcs/imaging/reconstruction/recon_state.h"

namespace {

constexpr uint32_t kFlexRowsAndAHalf = 70;
constexpr int64_t kFastDuration = 125000;

}  // namespace

TcsResult irRaiseEvent(IrReconState* state, uint16_t id, uint32_t flags) {
    if (state == nullptr || state->eventSink == nullptr || state->eventRecord == nullptr) return TCS_RESULT_OK;
    IrEventRecord* record = state->eventRecord;
    record->id = id;
    record->flags = flags;
    return state->eventSink(record, state->eventContext);
}

TcsResult IRqualityDetermination(IrReconState* state) {
    if (state == nullptr) return TCS_RESULT_NULL_POINTER;
    const IrReconResults& r = state->results;
    const IrGeometry* g = state->geometry;
    uint32_t& flags = state->qualityFlags;
    const int64_t rows = r.rows, columns = r.columns;
    const uint32_t g2 = g != nullptr ? g->g2 : 0, g3 = g != nullptr ? g->g3 : 0;

    int64_t e = rows;
    if (g2 == kFlexRowsAndAHalf) {
        e = rows > 74 ? rows * 3 / 2 : rows;
    } else if (g3 == kFlexRowsAndAHalf && rows >= 75) {
        e = rows * 3 / 2;
    }

    if (rows < 50 || r.fingerWidth == 0 || (r.leftMargin > columns / 3 && r.rightMargin > columns / 3)) {
        flags |= kQualityNotUsable | kQualityNotASwipe;
    } else {
        if (e < 250 && !(state->cfgInfo & kCfgImageAlreadyMade)) {
            flags |= kQualityTooShort;
            if (!(r.meanScore > 65 || e > 75)) flags |= kQualityNotASwipe;
            if (e < 75 || state->processedLines < 50) flags |= kQualityNotUsable;
        }
        if (r.meanScore < 41) flags |= kQualityCorrelationFailure;
        if (int64_t(r.leftMargin) + r.rightMargin > 3 * columns / 4) flags |= kQualityLightPair | kQualityTooLight;
        if (r.leftMargin >= columns / 5) {
            flags |= kQualityFarRight | kQualityOffCentre;
            if (r.leftMargin >= columns / 3) flags |= kQualityNotUsable;
        }
        if (r.rightMargin >= columns / 5) {
            flags |= kQualityFarLeft | kQualityOffCentre;
            if (r.rightMargin >= columns / 3) flags |= kQualityNotUsable;
        }

        const int64_t tick = g != nullptr ? g->tickLength : 0;
        const int64_t duration = int64_t(uint16_t(r.lastTime - r.firstTime)) * tick;
        const int64_t a = r.lineCountA;
        if (r.meanYLag < 4 && a > e / 6) {
            if (duration < kFastDuration) flags |= kQualityTooFast;
        } else if (duration < kFastDuration && ((r.secondMeanLag < 4 && a > e / 8) || (a > e / 3 + 20 && e <= 299))) {
            flags |= kQualityTooFast;
        }

        if (r.meanYLag >= 13 && duration >= 450001) {
            flags |= kQualityTooSlow;
        } else {
            const int64_t span = int64_t(r.lineCountB) - r.lagSpanStart;
            if (span > 2 * e / 3 && duration >= 1000001) {
                flags |= kQualityTooSlow;
            } else if (r.meanYLag > state->defaultLag &&
                       ((duration >= 1000001 && span > e / 5) || duration >= 1500001)) {
                flags |= kQualityTooSlow;
            }
        }

        if (r.stictionCount > 0) {
            const uint32_t zones = r.stictionCount < 4 ? r.stictionCount : 4;
            uint32_t stuck = 0;
            for (uint32_t z = 0; z < zones; ++z) {
                const uint32_t start = r.stictionZones[z] & 0xFFF;
                const uint32_t length = (r.stictionZones[z] >> 12) & 0x3FF;
                if (start >= r.stictionLower && start + length + 49 < r.stictionUpper) stuck += length;
            }
            if (stuck > 30) flags |= kQualityStiction;
        }

        const int32_t drift = r.meanXDrift < 0 ? -int32_t(r.meanXDrift) : r.meanXDrift;
        if (drift > 48) flags |= kQualitySkew;
        if (drift > 80) flags |= kQualityNotUsable;
        if (r.pressure < 69) flags |= kQualityTooHard;
    }

    if (flags != 0) irRaiseEvent(state, kIrEventQualityFlags, flags);
    return TCS_RESULT_OK;
}

void IRinterpolateLine(uint8_t* out, const uint8_t* a, const uint8_t* b, uint32_t k, uint32_t n, uint32_t width,
                       uint32_t packed) {
    if (out == nullptr || a == nullptr) return;
    if (b == nullptr || n == 0) {
        for (uint32_t i = 0; i < width; ++i) out[i] = a[i];
        return;
    }
    const uint32_t wa = n > k ? n - k : 0;
    if (packed == 1 && width >= 2) {
        for (uint32_t i = 0; i < width / 2; ++i) {
            const uint32_t high = ((uint32_t(a[i] & 0xF0) * wa + uint32_t(b[i] & 0xF0) * k) / n) & 0xF0;
            const uint32_t la = uint8_t(a[i] << 4), lb = uint8_t(b[i] << 4);
            const uint32_t low = (((la * wa + lb * k) / n) & 0xFF) >> 4;
            out[i] = uint8_t(high | low);
        }
        return;
    }
    for (uint32_t i = 0; i < width; ++i) out[i] = uint8_t((uint32_t(a[i]) * wa + uint32_t(b[i]) * k) / n);
}
