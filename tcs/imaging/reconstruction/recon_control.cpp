// Reconstruction control: tcsInitIR lays the state, line buffers, rings and pool out in the caller's
// scratch; tcsDoIR takes one line through culling into the per-line stage, or finishes the image.
#include "tcs/imaging/reconstruction/recon_control.h"

#include "tcs/imaging/reconstruction/correlate.h"
#include "tcs/imaging/reconstruction/post_process.h"
#include "tcs/imaging/reconstruction/quality.h"
#include "tcs/imaging/reconstruction/recon_memory.h"
#include "tcs/imaging/reconstruction/scan_line.h"
#include "tcs/imaging/reconstruction/scanline_pool.h"

#include <string.h>

namespace {

constexpr uint32_t kAspMinBytes = 20000;
constexpr uint32_t kAspTailBytes = 512;
constexpr uint32_t kAspLowLimit = 848;
constexpr uint32_t kFullLineBufferMin = 288000;
constexpr uint32_t kMaxHeaderPixelBytes = 256;
constexpr uint16_t kCullWord = 374;
constexpr uint16_t kCullWordLowNibble = 1142;

uint32_t roundUp4(uint32_t v) { return (v + 3) & ~3u; }
int8_t clampSigned(int32_t v) { return int8_t(v < -127 ? -127 : (v > 127 ? 127 : v)); }

// Baseline map to signed per-pixel offsets around its mean.
void takeBaseline(IrReconState& s) {
    const IrGeometry& g = *s.geometry;
    const uint32_t h = g.headerBytes, end = h + g.pixelBytes;
    if (g.baselineVarianceMap == nullptr || s.baselineLine == nullptr) {
        s.cfgInfo &= ~(kCfgBaselineCorrectLine | kCfgBaselineCorrectImage);
        s.qualityFlags |= kQualityNotCalibrated;
        s.baselineMean = 128;
        s.baselineOffset = 0x8000000;
        return;
    }
    const uint8_t* map = g.baselineVarianceMap;
    int32_t sum = 0;
    for (uint32_t i = h; i < end; ++i) sum += map[i];
    const int32_t m = g.pixelBytes != 0 ? sum / int32_t(g.pixelBytes) : 0;
    for (uint32_t i = h; i < end; ++i) s.baselineLine[i] = clampSigned(int32_t(map[i]) - m);
    for (uint32_t i = end; i < end + g.extraBytes; ++i) {
        s.baselineLine[i] = clampSigned(g.polaritiesDiffer == 1 ? m - int32_t(map[i]) : int32_t(map[i]) - m);
    }
    if (m < 64 || m > 192) {
        s.baselineMean = uint8_t(int8_t(-128));
        s.qualityFlags |= kQualityNotCalibrated;
        s.baselineOffset = 0x8000000;
    } else {
        s.baselineMean = uint8_t(m);
        s.baselineOffset = m << 20;
    }
    s.baselinePresent = 1;
}

void raiseEvent(IrReconState& s, uint16_t id) { irRaiseEvent(&s, id, 0); }

}  // namespace

TcsResult tcsInitIR(uint8_t* persistent, uint32_t persistentSize, uint8_t* volatileArea, uint32_t volatileSize,
                    uint8_t* image, uint32_t imageCapacity, IrCaptureOptions* options, IrGeometry* geometry,
                    uint32_t cfgInfo, uint8_t swipeDirection, IrEventSink sink, void* sinkContext,
                    IrEventRecord* eventRecord) {
    if (persistent == nullptr || persistentSize < sizeof(IrReconState)) return TCS_RESULT_BUFFER_TOO_SMALL;
    IrPersistentMem mem;
    persistentMemInit(&mem, persistent, persistentSize);
    IrReconState* state = reinterpret_cast<IrReconState*>(persistentMemAlloc(&mem, sizeof(IrReconState), 1));
    if (state == nullptr) return TCS_RESULT_BUFFER_TOO_SMALL;
    IrReconState& s = *state;
    s.options = options;

    if (volatileArea == nullptr || volatileSize < kVolatileHeaderBytes) return TCS_RESULT_BUFFER_TOO_SMALL;
    if (image == nullptr) return TCS_RESULT_BUFFER_TOO_SMALL;
    if (imageCapacity < kMinImageCapacity && !((cfgInfo & kCfgShortLines) && imageCapacity >= kMinShortImageCapacity)) {
        return TCS_RESULT_BUFFER_TOO_SMALL;
    }
    if ((cfgInfo & (kCfgAspImage | kCfgRotate)) && options == nullptr) return TCS_RESULT_BUFFER_TOO_SMALL;
    if ((cfgInfo & kCfgRotate) && (options->frameBuffer == nullptr || imageCapacity > options->frameBufferSize)) {
        return TCS_RESULT_BUFFER_TOO_SMALL;
    }
    uint32_t persistentEnd = persistentSize;
    if (cfgInfo & kCfgAspImage) {
        if (options->aspPixelCell == nullptr) return TCS_RESULT_BUFFER_TOO_SMALL;
        if (*options->aspPixelCell == nullptr) {
            if (options->aspBufferSize < kAspMinBytes) options->aspBufferSize = kAspMinBytes;
            const uint64_t room = uint64_t(options->aspBufferSize) + kAspTailBytes;
            if (room + kAspLowLimit > persistentSize) return TCS_RESULT_BUFFER_TOO_SMALL;
            persistentEnd = uint32_t(persistentSize - room);
            s.aspPixels = persistent + persistentEnd;
        } else {
            if (options->aspBufferSize < kAspMinBytes) return TCS_RESULT_BUFFER_TOO_SMALL;
            s.aspPixels = *options->aspPixelCell;
        }
        s.aspSize = options->aspBufferSize;
    }
    if ((cfgInfo & kCfgDeferred) && options != nullptr && options->fullLineBuffer != nullptr &&
        options->fullLineBufferSize < kFullLineBufferMin) {
        return TCS_RESULT_BUFFER_TOO_SMALL;
    }
    if (geometry == nullptr || eventRecord == nullptr) return TCS_RESULT_NULL_POINTER;
    if (geometry->size != sizeof(IrGeometry) || eventRecord->size != sizeof(IrEventRecord)) {
        return TCS_RESULT_SENSOR_BAD_SIZE;
    }
    if (geometry->headerBytes + geometry->pixelBytes > kMaxHeaderPixelBytes) return TCS_RESULT_SENSOR_BAD_PARAM;

    if (volatileMemInit(volatileArea, volatileSize) != TCS_RESULT_OK) return TCS_RESULT_BUFFER_TOO_SMALL;
    s.volatileArea = volatileArea;
    s.volatileSize = volatileSize;
    s.image = image;
    s.imageCapacity = imageCapacity;
    s.geometry = geometry;
    s.cfgInfo = cfgInfo;
    if (cfgInfo & kCfgImageAlreadyMade) {
        s.results.rows = eventRecord->rows;
        s.results.columns = eventRecord->columns;
        s.processedLines = eventRecord->rows;
        s.results.meanScore = 100;
        s.results.fingerWidth = 10;
        s.results.meanYLag = 8;
        s.results.secondMeanLag = 8;
        s.results.lineCountA = 0;
    } else {
        memset(image, 255, imageCapacity);
    }
    memset(eventRecord, 0, sizeof(*eventRecord));
    eventRecord->size = sizeof(IrEventRecord);
    if (options != nullptr && options->size != sizeof(IrCaptureOptions)) return TCS_RESULT_SENSOR_BAD_SIZE;

    s.eventSink = sink;
    s.eventContext = sinkContext;
    s.eventRecord = eventRecord;
    uint16_t cull = (cfgInfo & kCfgCullLowNibble) ? kCullWordLowNibble : kCullWord;
    if (cfgInfo & 0x1) cull &= ~1u;
    if (cfgInfo & 0x2) cull &= ~1u;
    if (cfgInfo & 0x4) cull &= ~uint16_t(0x74);
    if (cfgInfo & kCfgCullGradient) cull |= 0x8;
    s.cullFlags = cull;
    s.swipeDirection = swipeDirection;
    s.detectedDirection = swipeDirection;

    const IrGeometry& g = *geometry;
    s.layout.fullLineBytes = g.headerBytes + g.pixelBytes + g.extraBytes;
    s.layout.roundedLineBytes = roundUp4(s.layout.fullLineBytes);
    s.layout.headerPixelBytes = g.headerBytes + g.pixelBytes;
    s.layout.extraPixelBytes = g.extraBytes + g.pixelBytes;
    s.layout.windowStart = uint8_t(g.headerBytes + g.correctionWindowPos);
    s.layout.secondWindowStart = uint8_t(s.layout.windowStart - 7);
    s.layout.secondWindowLength = uint8_t(g.extraBytes + 14);
    s.layout.extraAreaOffset = 0;
    if (!(cfgInfo & kCfgImageAlreadyMade) && (g.g3 == 0 || g.g1 / g.g3 != 8)) return TCS_RESULT_DESCRIPTOR_ERROR;
    s.lagStep = g.g3 != 0 ? g.g1 / g.g3 : 8;
    s.defaultLag = 8;
    s.lagCount = kCorrelationEntries;

    // Line buffers first: once the swipe is over they are the finishing pass's scratch.
    const uint32_t rounded = s.layout.roundedLineBytes;
    s.baselineLine = reinterpret_cast<int8_t*>(persistentMemAlloc(&mem, rounded, 1));
    const uint32_t earlyStart = mem.used;
    s.lineBuffer = persistentMemAlloc(&mem, rounded, 1);
    uint8_t* sixteen = persistentMemAlloc(&mem, 16, 1);
    s.correlationArea = persistentMemAlloc(&mem, (rounded + kCorrelationStatsBytes) * kCorrelationEntries, 1);
    s.workLine = persistentMemAlloc(&mem, rounded, 1);
    if (s.baselineLine == nullptr || s.lineBuffer == nullptr || sixteen == nullptr || s.correlationArea == nullptr ||
        s.workLine == nullptr) {
        return TCS_RESULT_BUFFER_TOO_SMALL;
    }
    if (mem.used - earlyStart < kEarlyAreaBytes &&
        persistentMemAlloc(&mem, kEarlyAreaBytes - (mem.used - earlyStart), 0) == nullptr) {
        return TCS_RESULT_BUFFER_TOO_SMALL;
    }
    if (mem.used >= persistentEnd) return TCS_RESULT_BUFFER_TOO_SMALL;
    s.persistent = mem;
    s.cullMinChanged = 2;
    s.cullThreshold = 25;
    if (cfgInfo & kCfgCullLowNibble) {
        s.cullMinChanged = 5;
        s.cullThreshold = 16;
    }
    if (cull & kCullKeepUnfiltered) {
        s.cullMinChanged = 6;
        s.cullThreshold = 144;
    }

    TcsResult sum = 0;
    sum += tcsInitCircBuffer((rounded + kCorrelationStatsBytes) * kCorrelationEntries, rounded + kCorrelationStatsBytes,
                             s.layout.fullLineBytes, s.correlationArea, &s.correlation, 0);
    const bool fullLines = (cfgInfo & kCfgDeferred) && (options == nullptr || options->fullLineBufferSize == 0);
    uint32_t width = fullLines ? s.layout.fullLineBytes : s.layout.headerPixelBytes;
    if (cfgInfo & kCfgShortLines) width -= (width - g.headerBytes) / 2;
    width = roundUp4(width);
    s.poolEntryBytes = width;
    sum += tcsInitCircBuffer(imageCapacity, width, width, image, &s.imageRows, kCircBufferReversed);
    sum += tcsInitCircBuffer(persistentEnd - mem.used, width, width, persistent + mem.used, &s.poolRows,
                             kCircBufferReversed);
    if (s.aspPixels != nullptr && s.aspSize > kAspRingRows * g.pixelBytes) {
        const uint32_t offset = kAspRingRows * g.pixelBytes;
        sum += tcsInitCircBuffer(s.aspSize - offset, s.layout.headerPixelBytes, s.layout.headerPixelBytes,
                                 s.aspPixels + offset, &s.rawLines, 0);
    }
    if ((cfgInfo & kCfgDeferred) && options != nullptr && options->fullLineBuffer != nullptr) {
        sum += tcsInitCircBuffer(options->fullLineBufferSize, s.layout.fullLineBytes, s.layout.fullLineBytes,
                                 options->fullLineBuffer, &s.fullLines, 0);
    }
    sum += tcsInitCompoundCircBuffer(&s.imageRows, &s.poolRows, &s.pool, 1);
    if (sum != 0) return sum;

    takeBaseline(s);
    tcsResetIR(&s);
    raiseEvent(s, kIrEventInitialised);
    return TCS_RESULT_OK;
}

TcsResult tcsResetIR(IrReconState* state) {
    if (state == nullptr) return TCS_RESULT_NULL_POINTER;
    IrReconState& s = *state;
    volatileMemInit(s.volatileArea, s.volatileSize);
    if (!(s.cfgInfo & kCfgImageAlreadyMade)) {
        s.results.rows = 0;
        s.results.columns = 0;
        s.processedLines = 0;
    }
    tcsResetCircBuffer(&s.correlation);
    tcsResetCircBuffer(&s.fullLines);
    tcsResetCompoundCircBuffer(&s.pool);
    s.firstLineCounter = 0;
    s.doIrCalls = 0;
    s.stopFlag = 0;
    s.correlator = s.swipeDirection <= 2 ? s.swipeDirection : 2;
    tcsCullScanLineInit(&s.cull, s.geometry, s.lineBuffer, &s.cullStats);
    memset(s.direction, 0, sizeof(s.direction));
    for (IrDirectionState& d : s.direction) {
        d.lastYLag = int8_t(s.defaultLag);
        d.lastXLag = 0;
    }
    return TCS_RESULT_OK;
}

TcsResult tcsDoIR(IrReconState* state, uint8_t* line, const LineTrailerRecord* trailer) {
    if (state == nullptr) return TCS_RESULT_NULL_POINTER;
    IrReconState& s = *state;
    if (line == nullptr) {
        raiseEvent(s, kIrEventFinishing);
        uint8_t* early = s.persistent.base + sizeof(IrReconState) + s.layout.roundedLineBytes;
        const uint32_t earlyBytes = uint32_t(s.poolRows.area - early);
        if (!(s.cfgInfo & kCfgImageAlreadyMade)) {
            if (s.cfgInfo & kCfgDeferred) {
                const uint32_t processed = s.processedLines;
                IRprocessAllScanlines(&s);
                s.processedLines = processed;
            }
        }
        // The correlation ring and line buffers are done with: they become the finishing scratch.
        volatileMemInit(early, earlyBytes);
        uint8_t* marks = volatileMemAlloc(early, kRowMarkBytes);
        if (marks == nullptr) return TCS_RESULT_BUFFER_TOO_SMALL;
        memset(marks, 0, kRowMarkBytes);
        s.rowMarks = marks;
        const uint8_t* savedArea = s.volatileArea;
        const uint32_t savedSize = s.volatileSize;
        s.volatileArea = early;
        s.volatileSize = earlyBytes;
        if (!(s.cfgInfo & kCfgImageAlreadyMade)) {
            IRreconstructImage(&s, marks);
            // The pool's lines are now the image's rows: a second finishing pass finds no lines
            // rather than reading rows as lines.
            tcsResetCompoundCircBuffer(&s.pool);
            if (s.aspPixels != nullptr && (s.cfgInfo & kCfgAspImage)) {
                tcsReorderASPimage(&s);
                IRhandleInvertAndFlip(&s, 0, 0, s.aspPixels, s.aspColumns, s.aspRows);
                s.eventRecord->rows = uint16_t(s.aspRows);
                s.eventRecord->columns = uint16_t(s.aspColumns);
                raiseEvent(s, kIrEventAspReady);
            }
        }
        IRpostProcessImage(&s, marks);
        volatileMemFree(early, marks);
        s.volatileArea = const_cast<uint8_t*>(savedArea);
        s.volatileSize = savedSize;
        s.rowMarks = nullptr;
        const TcsResult quality = IRqualityDetermination(&s);
        IrEventRecord* record = s.eventRecord;
        const uint32_t g1 = s.geometry->g1;
        const uint64_t speed = uint64_t(g1) * 1000 / (uint64_t(s.results.meanLineAdvance) * s.geometry->tickLength + 1);
        record->rows = uint16_t(s.results.rows);
        record->columns = uint16_t(s.results.columns);
        record->quality = s.results.qualityValue;
        record->value = uint16_t(speed);
        record->id = kIrEventImageComplete;
        record->flags = s.qualityFlags;
        if (s.eventSink != nullptr) s.eventSink(record, s.eventContext);
        return quality;
    }

    if (s.doIrCalls++ == 0) raiseEvent(s, kIrEventFirstLine);
    const IrGeometry& g = *s.geometry;
    SensorLineHeader header;
    tcsParseSensorHeader(line, &header);
    s.trailerPresent = trailer != nullptr ? 1 : 0;
    if (trailer != nullptr) {
        s.trailerCopy = *trailer;
    } else {
        // The swipe's first line has no step to report.
        const uint32_t step = s.processedLines != 0 ? subtract16bitTime(header.time, s.lastTime16) : 0;
        line[4] = uint8_t(step >= 2 && step <= 253 ? step : 0);
    }
    if (s.rawLines.capacity != 0) tcsAddToCircBuffer(line, &s.rawLines);
    if (s.cfgInfo & kCfgCullLowNibble) {
        for (uint32_t i = g.headerBytes; i < s.layout.fullLineBytes; ++i) line[i] &= 0xF0;
    }
    memcpy(s.workLine, line, s.layout.fullLineBytes);
    tcsCullPrefilterScanline(&s.cull, line, s.workLine);
    if (s.cullFlags != 0 && !(s.cfgInfo & kCfgNoCulling)) {
        const uint32_t code = tcsCullScanLine(&s.cull, s.workLine, line, header.flag, s.cullMinChanged,
                                              s.cullThreshold, s.cullFlags);
        if (code != kCullKeep) {
            if (s.rawLines.capacity != 0) tcsRemoveLastFromCircBuffer(&s.rawLines);
            if ((s.cfgInfo & kCfgMergeCulled) && (s.cfgInfo & kCfgShortLines) &&
                (code == 1 || code == 2 || code == 4 || code == 5 || code == 6)) {
                // Packed pool lines absorb the culled line: two 4-bit averages per stored byte.
                uint8_t* newest = tcsGetEntryFromCompoundCircBuffer(0, &s.pool);
                if (newest != nullptr) {
                    const uint32_t bytes = s.poolEntryBytes - g.headerBytes;
                    for (uint32_t i = 0; i < bytes && g.headerBytes + 2 * i + 1 < s.layout.fullLineBytes; ++i) {
                        uint8_t& stored = newest[g.headerBytes + i];
                        const uint32_t a = line[g.headerBytes + 2 * i] >> 4, b = line[g.headerBytes + 2 * i + 1] >> 4;
                        const uint32_t high = (((stored >> 4) + a + (a & 1)) * 8) & 0xF0;
                        const uint32_t low = ((stored & 0x0F) + b + (b & 1)) / 2;
                        stored = uint8_t(high + (low & 0x0F));
                    }
                }
            }
            return 1;
        }
    }
    ++s.processedLines;
    keep32BitSensorTime(&s.previousTime16, &s.lastTime16, &s.time32, header.time);
    if (s.firstLineCounter++ == 0) {
        s.firstLineTime32 = s.time32;
        s.capturedFirstTime = header.time;
    }
    const TcsResult result = IRprocessScanline(&s, line, s.cfgInfo);
    if (result != TCS_RESULT_OK) {
        s.eventRecord->value = uint16_t(result);
        raiseEvent(s, kIrEventLineError);
    }
    return result;
}

TcsResult tcsStopIR(IrReconState* state) {
    if (state == nullptr) return TCS_RESULT_OK;
    raiseEvent(*state, kIrEventStopped);
    return TCS_RESULT_OK;
}

TcsResult tcsSetIR(IrReconState* state) {
    (void)state;
    return TCS_RESULT_INVALID;
}

TcsResult tcsReorderASPimage(IrReconState* state) {
    if (state == nullptr || state->aspPixels == nullptr) return TCS_RESULT_OK;
    const uint32_t rows = state->aspRows, columns = state->aspColumns;
    if (rows >= 1 && rows < kAspRingRows) {
        memmove(state->aspPixels, state->aspPixels + size_t(kAspRingRows - rows) * columns, size_t(rows) * columns);
    }
    return TCS_RESULT_OK;
}
