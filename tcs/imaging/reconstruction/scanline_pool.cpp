// Per-line stage, pool admission and image assembly: lags become row counts, lines are moved into
// their rows inside the image buffer (each at most twice), repeated rows are filled in.
#include "tcs/imaging/reconstruction/scanline_pool.h"

#include "tcs/imaging/reconstruction/analog_recon.h"
#include "tcs/imaging/reconstruction/baseline.h"
#include "tcs/imaging/reconstruction/correlate.h"
#include "tcs/imaging/reconstruction/lag_final.h"
#include "tcs/imaging/reconstruction/quality.h"
#include "tcs/imaging/reconstruction/recon_control.h"
#include "tcs/imaging/reconstruction/recon_memory.h"
#include "tcs/imaging/reconstruction/recon_state.h"
#include "tcs/imaging/reconstruction/scan_line.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

const uint8_t kSeparationTable[33] = {1, 1, 1, 1, 1, 2, 3, 7, 0, 9, 5, 4, 3, 3, 2, 2, 2,
                                      2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 6, 7, 8, 9, 10};

uint8_t rowRepeatValue(uint32_t lag) {
    static const uint8_t kLow[5] = {1, 8, 4, 2, 1};
    if (lag < 5) return kLow[lag];
    return lag <= 20 ? 1 : 0;
}

namespace {

constexpr uint32_t kMaxPlausibleLag = 19;
constexpr uint32_t kDropLag = 22;
constexpr uint32_t kNoiseRowCount = 420;
constexpr uint32_t kNoSource = 0xFFF;
constexpr uint32_t kUsedTimeMargin = 20;   // lines from the oldest for the last used time
// What a replay feeds the per-line stage: full lines from the deferred ring, or pooled lines (packed
// when the pool holds 4-bit lines).
constexpr uint8_t kReplayingDeferred = 1;
constexpr uint8_t kReplayingPool = 2;

struct Cycle {
    uint32_t count = 0;
    uint32_t period = 1;
};

// Insertion (repeat) and deletion (drop) cycles; see the separation and ret tables.
int32_t insertRows(Cycle& cy, uint32_t lag) {
    const uint32_t table = kSeparationTable[lag], ret = rowRepeatValue(lag);
    if (cy.count == 0) {
        cy.count = 1;
        cy.period = 256;
    }
    int32_t rows = 0;
    if (cy.count % table != 0 || (cy.count - 1) % cy.period == 0) {
        if (cy.count % cy.period == 0) {
            rows = int32_t(ret);
            cy.count = 1;
        } else {
            ++cy.count;
        }
    } else {
        rows = int32_t(ret);
        ++cy.count;
    }
    cy.period = table;
    return rows;
}

bool deleteLine(Cycle& cy, uint32_t lag) {
    const uint32_t table = kSeparationTable[lag], ret = rowRepeatValue(lag);
    if (cy.count == 0) {
        cy.count = 1;
        cy.period = 256;
    }
    bool dropped;
    if (cy.count % table == 0 && (cy.count - 1) % cy.period != 0) {
        ++cy.count;
        dropped = ret == 1;
    } else if (cy.count % cy.period != 0) {
        ++cy.count;
        dropped = ret == 0;
    } else {
        cy.count = 1;
        dropped = ret == 1;
    }
    cy.period = table;
    return dropped;
}

bool historyStable(const uint8_t* h, int32_t limit) {
    return int32_t(h[0]) - h[1] < limit && int32_t(h[1]) - h[2] < limit && int32_t(h[2]) - h[3] < limit;
}

bool admissible(const IrReconState& s, const uint8_t* line) {
    bool plausible = false;
    for (uint32_t d = 0; d < 2; ++d) {
        const IrDirectionState& ds = s.direction[d];
        const uint32_t lag = line[d];
        const bool recent = s.processedLines <= 99 || int32_t(ds.lastBadLine) - int32_t(ds.lastGoodLine) <= 9;
        plausible = plausible || (lag >= 2 && lag <= kMaxPlausibleLag && recent);
    }
    if (!plausible) return false;
    if (historyStable(s.direction[0].yLagHistory, 8) && line[6] >= 10) return true;
    return historyStable(s.direction[1].yLagHistory, 8) && line[7] > 9;
}

uint32_t packedPixelBytes(const IrReconState& s) { return s.poolEntryBytes - s.geometry->headerBytes; }

void storeInPool(IrReconState& s, uint8_t* slot, const uint8_t* line) {
    const uint32_t h = s.geometry->headerBytes;
    if (s.cfgInfo & kCfgShortLines) {
        memcpy(slot, line, h);
        const uint32_t bytes = packedPixelBytes(s);
        const uint32_t available = (s.layout.fullLineBytes - h) / 2;
        const uint32_t packed = std::min(bytes, available);
        pack4bitRow(line + h, slot + h, packed, 1);
        if (packed < bytes) memset(slot + h + packed, 0, bytes - packed);
    } else {
        const uint32_t bytes = std::min(s.poolEntryBytes, s.layout.fullLineBytes);
        memcpy(slot, line, bytes);
        if (bytes < s.poolEntryBytes) memset(slot + bytes, 0, s.poolEntryBytes - bytes);
    }
}

}  // namespace

void IRprefilterScanline(const IrReconState* state, const uint8_t* source, uint8_t* destination) {
    if (state == nullptr || source == nullptr || destination == nullptr) return;
    const IrGeometry& g = *state->geometry;
    auto filter = [&](uint32_t from, uint32_t count) {
        if (count < 3) return;
        int32_t p = source[from];
        for (uint32_t i = from + 1; i + 1 < from + count; ++i) {
            const int32_t x = source[i];
            const int32_t y = (352 * p + 160 * (x + (200 * (x - p)) / 512) + 256) / 512;
            destination[i] = uint8_t(y < 0 ? 0 : (y > 255 ? 255 : y));
            p = y;
        }
    };
    filter(g.headerBytes, g.pixelBytes);
    filter(g.headerBytes + g.pixelBytes, g.extraBytes);
}

uint8_t* IR_addScanlinesToPool(IrReconState* state, const uint8_t* line, uint32_t flags) {
    if (state == nullptr || line == nullptr) return nullptr;
    IrReconState& s = *state;
    if (!(flags & kCfgForcePool) && !admissible(s, line)) return nullptr;
    if ((flags & kCfgForcePool) && (s.cfgInfo & kCfgPrepended)) s.imageRows.flags |= kCircBufferPrepend;
    uint8_t* slot = tcsAddToCompoundCircBuffer(nullptr, &s.pool);
    if (slot != nullptr) storeInPool(s, slot, line);
    return slot;
}

TcsResult IRprocessScanline(IrReconState* state, uint8_t* line, uint32_t flags) {
    if (state == nullptr || line == nullptr) return TCS_RESULT_NULL_POINTER;
    IrReconState& s = *state;
    const IrGeometry& g = *s.geometry;
    const uint32_t h = g.headerBytes;

    if (flags & kCfgDeferred) {
        if (s.fullLines.capacity != 0) {
            tcsAddToCircBuffer(line, &s.fullLines);
            return TCS_RESULT_OK;
        }
        if (s.trailerPresent) {
            // The sensor's own estimates, by byte of the trailer record.
            const uint8_t* raw = reinterpret_cast<const uint8_t*>(&s.trailerCopy);
            line[0] = raw[5];
            line[1] = raw[8];
            line[4] = raw[6];
            line[5] = raw[9];
            line[6] = uint8_t(isqrt(uint32_t(raw[4]) * 64));
            line[7] = uint8_t(isqrt(uint32_t(raw[7]) * 64));
        }
        IR_addScanlinesToPool(&s, line, flags | kCfgForcePool);
        return TCS_RESULT_OK;
    }

    uint8_t* entry = tcsAddToCircBuffer(nullptr, &s.correlation);
    if (entry == nullptr) return TCS_RESULT_BUFFER_TOO_SMALL;
    if (s.replaying == kReplayingPool && (s.cfgInfo & kCfgShortLines)) {
        memcpy(entry, line, h);
        const uint32_t pixels = std::min(2 * packedPixelBytes(s), s.layout.fullLineBytes - h);
        unpack4bitRow(line + h, entry + h, pixels, 1);
    } else {
        memcpy(entry, line, s.layout.fullLineBytes);
    }
    if (g.polaritiesDiffer) {
        for (uint32_t i = h + g.pixelBytes; i < s.layout.fullLineBytes; ++i) entry[i] = uint8_t(~entry[i]);
    }
    if (s.cfgInfo & kCfgBaselineCorrectLine) {
        IRbaselineCorrectScanline(&s, s.baselineLine, entry, h, s.layout.secondWindowStart - h,
                                  s.layout.secondWindowLength, 0, g.extraBytes, 1, 1);
    }
    if (s.cfgInfo & kCfgAnalogReconLine) {
        IRanalogReconScanline(&s, entry + h, 0, g.pixelBytes, s.baselineMean, s.baselineOffset, kAnalogMarginNormal);
    }
    if (s.cfgInfo & kCfgPrefilter) IRprefilterScanline(&s, entry, entry);

    if (s.cfgInfo & kCfgNoCorrelation) {
        entry[0] = entry[1] = s.defaultLag;
        entry[4] = entry[5] = 0;
        entry[6] = entry[7] = 127;
        s.direction[0].accumulatedScore += 127;
        s.direction[1].accumulatedScore += 127;
    } else if (s.trailerPresent) {
        IRcorrelate(&s, entry);
    } else {
        const TcsResult r = IRcorrelate(&s, entry);
        if (r != TCS_RESULT_OK) return r;
    }
    for (uint32_t d = 0; d < 2; ++d) s.direction[d].yLagHistory[s.processedLines % 4] = entry[d];

    // Only the correlation results go back: the pool keeps the line's own pixels.
    line[0] = entry[0];
    line[1] = entry[1];
    line[4] = entry[4];
    line[5] = entry[5];
    line[6] = entry[6];
    line[7] = entry[7];
    if (!(s.cfgInfo & kCfgDeferred)) {
        IR_addScanlinesToPool(&s, line, flags);
    } else if (s.replaying && !admissible(s, line)) {
        // Replayed from the pool: a line the pool would have refused keeps no trusted score.
        line[6] = line[7] = 0;
    }
    // Progress for whoever watches the event record: lines pooled so far and their length.
    if (s.eventRecord != nullptr) {
        s.eventRecord->rows = uint16_t(std::min<uint32_t>(s.pool.count, 0xFFFF));
        s.eventRecord->columns = uint16_t(s.poolEntryBytes);
    }
    return TCS_RESULT_OK;
}

TcsResult IRprocessAllScanlines(IrReconState* state) {
    if (state == nullptr) return TCS_RESULT_NULL_POINTER;
    IrReconState& s = *state;
    const uint32_t flags = s.cfgInfo & ~kCfgDeferred;
    s.processedLines = 0;
    tcsResetCircBuffer(&s.correlation);
    TcsResult result = TCS_RESULT_OK;
    if (s.fullLines.capacity != 0) {
        s.replaying = kReplayingDeferred;
        // Deferred lines are pooled as they are processed.
        s.cfgInfo &= ~kCfgDeferred;
        for (uint32_t i = s.fullLines.count; i-- > 0 && result == TCS_RESULT_OK;) {
            uint8_t* line = tcsGetEntryFromCircBuffer(i, &s.fullLines);
            ++s.processedLines;
            result = IRprocessScanline(&s, line, flags);
        }
        s.cfgInfo |= kCfgDeferred;
    } else {
        s.replaying = kReplayingPool;
        for (uint32_t i = s.pool.count; i-- > 0 && result == TCS_RESULT_OK;) {
            uint8_t* line = tcsGetEntryFromCompoundCircBuffer(i, &s.pool);
            ++s.processedLines;
            result = IRprocessScanline(&s, line, flags);
        }
    }
    s.replaying = 0;
    return result;
}

void irAssignRowCounts(IrReconState* state, uint32_t d) {
    IrReconState& s = *state;
    const uint32_t n = s.pool.count, other = 6 + (1 - d), nominal = s.defaultLag;
    Cycle insertion, deletion;
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t* line = tcsGetEntryFromCompoundCircBuffer(i, &s.pool);
        const uint32_t y = line[d];
        const bool oldest = i + 1 == n;
        int32_t rows = 0;
        if (y == 0 || y >= kDropLag) {
            rows = oldest ? 0 : -1;
        } else if (y <= nominal) {
            // Lag 8 would enter the insertion cycle with a table value of 0 (a modulo by zero):
            // only lags 3 to 7 repeat rows.
            if (y >= 3 && y < nominal) rows = insertRows(insertion, y);
        } else {
            rows = deleteLine(deletion, y) && !oldest ? -1 : 0;
        }
        line[other] = rows < 0 ? kRowDropped : uint8_t(rows);
    }
}

namespace {

// One word per pooled line.
struct Placement {
    uint32_t row : 11;     // rows produced before the line
    uint32_t source : 12;  // row the line occupies in the image buffer, kNoSource outside it
    uint32_t repeat : 4;
    uint32_t used : 1;
    uint32_t moved : 1;
};
static_assert(sizeof(Placement) == 4);

void buildAspImage(IrReconState& s, const uint32_t* lines, uint32_t count) {
    const IrGeometry& g = *s.geometry;
    s.aspRows = 0;
    s.aspColumns = g.pixelBytes;
    if (s.aspPixels == nullptr || s.rawLines.count == 0 || s.aspSize < kAspRingRows * g.pixelBytes) return;
    uint32_t rawIndex = s.rawLines.count;
    uint32_t rows = 0;
    for (uint32_t k = count; k-- > 0;) {
        const uint8_t* line = tcsGetEntryFromCompoundCircBuffer(lines[k], &s.pool);
        const uint16_t time = uint16_t(line[2] | (line[3] << 8));
        for (uint32_t j = rawIndex; j-- > 0;) {
            const uint8_t* raw = tcsGetEntryFromCircBuffer(j, &s.rawLines);
            if (uint16_t(raw[2] | (raw[3] << 8)) == time) {
                const uint32_t slot = kAspRingRows - 1 - rows % kAspRingRows;
                memcpy(s.aspPixels + size_t(slot) * g.pixelBytes, raw + g.headerBytes, g.pixelBytes);
                ++rows;
                rawIndex = j;
                break;
            }
        }
    }
    s.aspRows = std::min(rows, kAspRingRows);
}

void trimStaleStart(IrReconState& s) {
    const uint32_t u = s.geometry->tickLength != 0 ? s.geometry->tickLength : 1;
    const uint32_t n = s.pool.count;
    if (n < 2) return;
    auto timeOf = [&](uint32_t i) {
        const uint8_t* l = tcsGetEntryFromCompoundCircBuffer(i, &s.pool);
        return uint16_t(l[2] | (l[3] << 8));
    };
    const uint16_t oldest = timeOf(n - 1);
    if (subtract16bitTime(oldest, uint16_t(s.capturedFirstTime)) > 15000 / u) return;
    uint16_t reference = oldest;
    for (uint32_t i = n - 1; i-- > 0;) {
        const uint16_t t = timeOf(i);
        const uint32_t sinceOldest = subtract16bitTime(t, oldest);
        if (sinceOldest < 1000 / u) continue;
        const uint32_t sinceRef = subtract16bitTime(t, reference);
        if (sinceRef >= 25000 / u && sinceRef <= 125000 / u) {
            if (i == 0) return;
            const uint32_t removed = n - i;
            tcsRemoveFirstNFromCompoundCircBuffer(&s.pool, removed);
            if (removed > 10) s.results.statusFlags |= 64;
            return;
        }
        if (sinceOldest > 15000 / u) return;
        reference = t;
    }
}

}  // namespace

TcsResult IRreconstructImage(IrReconState* state, uint8_t* rowMarks) {
    if (state == nullptr || rowMarks == nullptr) return TCS_RESULT_NULL_POINTER;
    IrReconState& s = *state;
    const IrGeometry& g = *s.geometry;
    IrReconResults& res = s.results;
    res.rows = 0;
    res.columns = g.pixelBytes;

    if (s.detectedDirection > 1) {
        s.detectedDirection = s.direction[0].accumulatedScore > s.direction[1].accumulatedScore ? 0 : 1;
    }
    const uint32_t d = s.detectedDirection;
    if (s.eventRecord != nullptr) {
        s.eventRecord->value = uint16_t(d);
        irRaiseEvent(&s, kIrEventDirection,
                     uint32_t(int32_t(s.direction[0].goodLines) - int32_t(s.direction[1].goodLines)));
    }
    if (s.cfgInfo & kCfgStaleStart) trimStaleStart(s);

    YPlateau plateaus[kMaxPlateaus];
    uint32_t plateauCount = 0, trailing = 0, windowEnd = 0, noiseEnd = 0;
    const TcsResult y = IRfinalizeYlagEstimates(&s, d, 45, plateaus, &plateauCount, &trailing, &windowEnd, &noiseEnd);
    if (y > 1) return y;
    if (y == 0) IRfinalizeXlagEstimates(&s, d, 45, trailing, windowEnd);
    res.trailingCount = trailing;
    res.windowEnd = windowEnd;
    res.noiseEnd = noiseEnd;

    irAssignRowCounts(&s, d);
    const uint32_t other = 6 + (1 - d);

    // Noisy start: the oldest lines are dropped when the newer ones alone make a full image.
    if (noiseEnd > 0) {
        uint32_t newer = 0, older = 0;
        for (uint32_t i = 0; i < s.pool.count && newer + older < kNoiseRowCount; ++i) {
            const uint8_t* line = tcsGetEntryFromCompoundCircBuffer(i, &s.pool);
            if (line[other] == kRowDropped) continue;
            (i < noiseEnd ? newer : older) += 1u + line[other];
        }
        if (newer + older >= 301 && newer > 225 && older <= 189) {
            for (uint32_t i = noiseEnd; i <= windowEnd && i < s.pool.count; ++i) {
                tcsGetEntryFromCompoundCircBuffer(i, &s.pool)[other] = kRowDropped;
            }
        }
    }

    const uint32_t stride = s.poolEntryBytes;
    const bool packedPool = (s.cfgInfo & kCfgShortLines) != 0;
    const bool packedOut = (s.cfgInfo & kCfgPackedImage) != 0;
    const uint32_t primaryBytes = packedPool ? g.pixelBytes / 2 : g.pixelBytes;
    const uint32_t finalRowBytes = packedOut ? g.pixelBytes / 2 : g.pixelBytes;
    uint8_t* scratch = s.volatileArea;
    uint8_t* rowBuffer = volatileMemAlloc(scratch, std::max(stride, 256u));
    uint8_t* placementArea = volatileMemAlloc(scratch, kMaxPlacedLines * 4);
    uint8_t* rowArea = volatileMemAlloc(scratch, kMaxImageRows * 4);
    auto release = [&]() {
        if (rowArea != nullptr) volatileMemFree(scratch, rowArea);
        if (placementArea != nullptr) volatileMemFree(scratch, placementArea);
        if (rowBuffer != nullptr) volatileMemFree(scratch, rowBuffer);
    };
    if (rowBuffer == nullptr || placementArea == nullptr || rowArea == nullptr) {
        release();
        return TCS_RESULT_BUFFER_TOO_SMALL;
    }
    // Rows are placed at the pool's stride so that a line already in the image buffer sits
    // exactly on a row; the final rows must also fit once they are widened to whole pixels.
    uint32_t maxRows = std::min<uint32_t>(kMaxImageRows, s.imageCapacity / stride);
    maxRows = std::min(maxRows, s.imageCapacity / std::max(finalRowBytes, 1u));
    if (s.pool.count == 0 || maxRows < 50) {
        release();
        return TCS_RESULT_OK;
    }
    if (s.pool.count > kMaxPlacedLines) {
        for (uint32_t k = 0; k <= trailing && s.pool.count > 0; ++k) tcsRemoveLastFromCompoundCircBuffer(&s.pool);
        if (s.pool.count > kMaxPlacedLines) tcsRemoveFirstNFromCompoundCircBuffer(&s.pool, s.pool.count - kMaxPlacedLines);
    }
    const uint32_t count = s.pool.count;

    Placement* place = reinterpret_cast<Placement*>(placementArea);
    uint16_t* targetOf = reinterpret_cast<uint16_t*>(rowArea);                 // line targeting the row
    uint16_t* occupant = reinterpret_cast<uint16_t*>(rowArea) + kMaxImageRows;  // unmoved line in the row
    for (uint32_t r = 0; r < kMaxImageRows; ++r) targetOf[r] = occupant[r] = 0xFFFF;

    // Row walk, newest first.
    uint32_t rows = 0, used = 0, walked = 0, ySum = 0, yFirstHalf = 0, scoreSum = 0, repeated = 0, dropped = 0;
    int32_t xSum = 0;
    uint32_t xAbs = 0;
    uint32_t usedLines[kMaxImageRows];
    res.firstUsedTime = res.lastUsedTime = 0;
    for (uint32_t i = 0; i < count && rows < maxRows; ++i) {
        uint8_t* line = tcsGetEntryFromCompoundCircBuffer(i, &s.pool);
        Placement& p = place[i];
        p = Placement{0, kNoSource, 0, 0, 0};
        ++walked;
        if (line[other] == kRowDropped) {
            ++dropped;
            continue;
        }
        const uint32_t repeat = std::min<uint32_t>(std::min<uint32_t>(line[other], 15), maxRows - rows - 1);
        p.row = rows & 0x7FF;
        p.repeat = repeat & 0xF;
        p.used = 1;
        if (line >= s.image && line < s.image + size_t(s.imageRows.capacity) * stride) {
            const uint32_t slot = uint32_t(line - s.image) / stride;
            if (slot < maxRows) {
                p.source = slot & 0xFFF;
                occupant[slot] = uint16_t(i);
            }
        }
        targetOf[rows] = uint16_t(i);
        usedLines[used] = i;
        ++used;
        ySum += line[d];
        if (rows < maxRows / 2) yFirstHalf += line[d];
        scoreSum += line[6 + d];
        const uint16_t time = uint16_t(line[2] | (line[3] << 8));
        if (used == 1) res.firstUsedTime = time;
        if (i + kUsedTimeMargin < count) res.lastUsedTime = time;
        const int8_t x = int8_t(line[4 + d]);
        xSum += x;
        xAbs += uint32_t(abs(x));
        if (repeat > 0) ++repeated;
        rows += 1 + repeat;
    }
    for (uint32_t i = walked; i < count; ++i) place[i] = Placement{0, kNoSource, 0, 0, 0};
    if (rows == 0) {
        release();
        return TCS_RESULT_OK;
    }
    buildAspImage(s, usedLines, used);

    auto rowAt = [&](uint32_t r) { return s.image + size_t(r) * stride; };
    auto moveLine = [&](uint32_t i) {
        Placement& p = place[i];
        memcpy(rowAt(p.row), rowAt(p.source), stride);
        p.moved = 1;
        occupant[p.source] = 0xFFFF;
    };
    // Chains: a line moves once its target row is free, which frees its own row for the next.
    for (bool progress = true; progress;) {
        progress = false;
        for (uint32_t k = 0; k < used; ++k) {
            uint32_t i = usedLines[k];
            while (place[i].source != kNoSource && !place[i].moved) {
                if (place[i].source == place[i].row) {
                    place[i].moved = 1;
                    occupant[place[i].source] = 0xFFFF;
                } else if (occupant[place[i].row] != 0xFFFF) {
                    break;
                } else {
                    moveLine(i);
                }
                progress = true;
                const uint16_t next = targetOf[place[i].source];
                if (next == 0xFFFF) break;
                i = next;
            }
        }
    }
    // What is left are cycles; each is turned once through the row buffer.
    for (uint32_t k = 0; k < used; ++k) {
        const uint32_t start = usedLines[k];
        if (place[start].source == kNoSource || place[start].moved) continue;
        memcpy(rowBuffer, rowAt(place[start].source), stride);
        uint32_t freeRow = place[start].source;
        occupant[freeRow] = 0xFFFF;
        for (uint32_t guard = 0; guard <= used; ++guard) {
            const uint16_t l = targetOf[freeRow];
            if (l == 0xFFFF || l == start || place[l].source == kNoSource || place[l].moved) break;
            moveLine(l);
            freeRow = place[l].source;
        }
        memcpy(rowAt(place[start].row), rowBuffer, stride);
        place[start].moved = 1;
    }
    // Lines kept outside the image buffer cannot be overwritten: they go last.
    for (uint32_t k = 0; k < used; ++k) {
        const uint32_t i = usedLines[k];
        if (place[i].source != kNoSource) continue;
        memcpy(rowAt(place[i].row), tcsGetEntryFromCompoundCircBuffer(i, &s.pool), stride);
        place[i].moved = 1;
    }

    // Repeated rows and row marks.
    memset(rowMarks, 0, kRowMarkBytes);
    const uint32_t h = g.headerBytes;
    for (uint32_t k = 0; k < used; ++k) {
        const Placement& p = place[usedLines[k]];
        const uint8_t* line = rowAt(p.row);
        const int8_t x = int8_t(line[4 + d]);
        const uint32_t magnitude = uint32_t(std::min(abs(int32_t(x)), 31)) << 3;
        rowMarks[p.row] = uint8_t(x < 0 ? -int32_t(magnitude) : int32_t(magnitude));
        const uint8_t* next = k + 1 < used ? rowAt(place[usedLines[k + 1]].row) : nullptr;
        for (uint32_t j = 1; j <= p.repeat; ++j) {
            uint8_t* row = rowAt(p.row + j);
            memcpy(row, line, h);
            if ((s.cfgInfo & kCfgAspImage) && next != nullptr) {
                IRinterpolateLine(row + h, line + h, next + h, j, p.repeat + 1u, packedPool ? primaryBytes * 2 : primaryBytes,
                                  packedPool ? 1 : 0);
            } else {
                memcpy(row + h, line + h, primaryBytes);
            }
            const uint32_t distance = std::min<uint32_t>(p.repeat + 1u - j, 7);
            const uint32_t mark = magnitude | distance;
            rowMarks[p.row + j] = uint8_t(x < 0 ? -int32_t(mark) : int32_t(mark));
        }
    }
    if (rows > 1) {
        // The end rows take the x lag of their neighbour, keeping their own distance bits.
        auto withLagOf = [&](uint32_t row, uint32_t from) {
            const int32_t own = int8_t(rowMarks[row]), other = int8_t(rowMarks[from]);
            const int32_t mark = (abs(other) & 0xF8) | (abs(own) & 7);
            rowMarks[row] = uint8_t(other < 0 ? -mark : mark);
        };
        withLagOf(0, 1);
        withLagOf(rows - 1, rows - 2);
    }

    // Statistics for post-processing and the quality verdict.
    res.meanYLag = uint8_t((ySum + used / 2) / (used + 1));
    res.secondMeanLag = uint8_t((yFirstHalf + used / 4) / (used / 2 + 1));
    res.meanLineAdvance = res.meanYLag;
    res.meanScore = (used >= 50 && rows >= 50) ? int8_t(std::min<uint32_t>(scoreSum / (used + 1), 127)) : int8_t(-1);
    res.xLagSum = xSum;
    res.absXLagSum = xAbs;
    res.meanXDrift = int16_t(xSum * 16 / int32_t(rows));
    res.driftCompanion = res.meanXLag;
    res.repeatedLines = repeated;
    res.droppedLines = dropped;
    res.lineCountA = repeated;
    res.lineCountB = walked;
    res.lagSpanStart = uint16_t(std::min<uint32_t>(rows, 0xFFFF));
    res.fingerWidth = g.pixelBytes;
    res.firstUsedIndex = usedLines[0];
    res.lastUsedIndex = usedLines[used - 1];
    {
        const uint8_t* newest = rowAt(0);
        const uint8_t* oldest = rowAt(place[usedLines[used - 1]].row);
        res.lastTime = uint16_t(newest[2] | (newest[3] << 8));
        res.firstTime = uint16_t(oldest[2] | (oldest[3] << 8));
    }

    // Strip the rows to their primary pixels (header dropped), widening or packing as configured.
    if (packedPool && !packedOut) {
        for (uint32_t r = rows; r-- > 0;) {
            memcpy(rowBuffer, rowAt(r) + h, primaryBytes);
            unpack4bitRow(rowBuffer, s.image + size_t(r) * finalRowBytes, g.pixelBytes, 1);
        }
    } else if (!packedPool && packedOut) {
        for (uint32_t r = 0; r < rows; ++r) {
            memcpy(rowBuffer, rowAt(r) + h, g.pixelBytes);
            pack4bitRow(rowBuffer, s.image + size_t(r) * finalRowBytes, finalRowBytes, 1);
        }
    } else {
        for (uint32_t r = 0; r < rows; ++r) memmove(s.image + size_t(r) * finalRowBytes, rowAt(r) + h, finalRowBytes);
    }
    res.rows = rows;
    res.columns = g.pixelBytes;
    release();
    return TCS_RESULT_OK;
}
