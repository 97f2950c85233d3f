// The reconstruction state (IrReconState) and the records handed to it at set-up: line geometry,
// capture options, event record and the sensor's per-line trailer.
//
// The state sits at the start of the caller's persistent scratch and is never allocated per line.
// This layer (formats, rings, NCC, culling, baseline, analog reconstruction, quality) reads and
// writes the fields marked below; the set-up, per-line stage, correlators, lag finalisation, image
// assembly and post-processing fill the rest.
#pragma once

#include "tcs/imaging/reconstruction/circ_buffer.h"
#include "tcs/imaging/reconstruction/cull.h"
#include "tcs/imaging/reconstruction/ncc.h"
#include "tcs/result.h"

#include <stddef.h>
#include <stdint.h>

// CfgInfo bits named by this layer (the word itself is the "CfgInfo" setting).
enum : uint32_t {
    kCfgBaselineCorrectLine = 0x8,
    kCfgBaselineCorrectImage = 0x10,
    kCfgAnalogReconLine = 0x20,
    kCfgAnalogReconImage = 0x40,
    kCfgTiltMask = 0xC00,
    kCfgShortLines = 0x800,
    kCfgImageAlreadyMade = 0x4000,
    kCfgPackedImage = 0x40000,
    // Named by the set-up, per-line stage, correlators, image assembly and post-processing.
    kCfgForcePool = 0x100,
    kCfgAspImage = 0x200,          // liveness image; repeated rows interpolated
    kCfgCullLowNibble = 0x400,
    kCfgMergeCulled = 0x1000,
    kCfgDeferred = 0x2000,         // lines pooled raw, correlated when the swipe ends
    kCfgNoCulling = 0x8000,
    kCfgCullGradient = 0x10000,
    kCfgContrastRows = 0x20000,
    kCfgContrastCols = 0x80000,
    kCfgStaleStart = 0x100000,
    kCfgNoCorrelation = 0x400000,
    kCfgDarkColumns = 0x800000,
    kCfgRotate = 0x1000000,        // 2-D frame buffer; rotation back of sideways drift
    kCfgPrepended = 0x2000000,
    kCfgNoSkew = 0x8000000,
    kCfgPrefilter = 0x10000000,
};

// Image quality flag bits.
enum ImageQualityFlags : uint32_t {
    kQualityStiction = 0x1,
    kQualityTooFast = 0x2,
    kQualityTooShort = 0x4,
    kQualityTooSlow = 0x10,
    kQualityOffCentre = 0x1000,
    kQualitySkew = 0x8000,
    kQualityTooLight = 0x10000,
    kQualityFarLeft = 0x20000,
    kQualityFarRight = 0x40000,
    kQualityTooHard = 0x80000,
    kQualityNotASwipe = 0x200000,
    kQualityNotCalibrated = 0x400000,
    kQualityCorrelationFailure = 0x800000,
    kQualityLightPair = 0x2000000,
    kQualityNotUsable = 0x80000000,
};

// Event ids raised through the state's sink.
enum : uint16_t {
    kIrEventInitialised = 1,
    kIrEventFirstLine = 2,
    kIrEventStopped = 3,
    kIrEventFinishing = 4,
    kIrEventImageComplete = 5,
    kIrEventLineError = 7,
    kIrEventQualityFlags = 8,
    kIrEventDirection = 9,
    kIrEventAspReady = 10,
};

// Line geometry filled by the reconstructor's open step from the flex record and print command.
struct IrGeometry {
    uint32_t size;                 // 72
    uint32_t headerBytes;          // 8
    uint32_t pixelBytes;           // primary pixel count
    uint32_t extraBytes;           // secondary pixel count
    uint32_t correctionWindowPos;
    uint32_t lineBytes;            // header + pixel + extra
    uint32_t g1;                   // flex geometry value G1 (400)
    uint32_t tickLength;           // the print command's third u32: sensor time unit
    uint32_t primaryDescending;    // first two unpack-map columns fall
    uint32_t g3;
    uint32_t g2;
    uint32_t polaritiesDiffer;
    uint32_t primaryPolarity;      // "invert" for orientation
    uint32_t flip;                 // left 0 by the driver
    uint8_t* baselineVarianceMap;  // mapLines x lineBytes
    uint32_t mapLineBytes;
    uint32_t mapLines;
};
static_assert(sizeof(IrGeometry) == 72);

struct LineUnpackMap;

struct IrCaptureOptions {
    uint32_t size;                 // 96
    uint32_t aspBufferSize;
    const uint8_t* analogResets;   // flex reset list, or null
    const uint8_t* interpolRanges; // flex dead-column ranges, or null
    const uint16_t* unpackColumns; // sampling-order column list (flexes 72, 98, 32), or null
    uint32_t unpackColumnCount;
    uint32_t fullLineBufferSize;
    uint8_t* fullLineBuffer;
    uint8_t** aspPixelCell;
    uint8_t* frameBuffer;
    uint32_t frameBufferSize;
    uint32_t reserved0;
    void* metricsBlock;
    uint32_t reserved[4];
};
static_assert(sizeof(IrCaptureOptions) == 96);

struct IrEventRecord {
    uint32_t size;  // 20
    uint16_t id;
    uint16_t value;
    uint16_t rows;
    uint16_t columns;
    uint32_t flags;
    uint32_t quality;
};
static_assert(sizeof(IrEventRecord) == 20);

// The sensor's own correlation results, copied from each record's trailer.
struct LineTrailerRecord {
    uint32_t type;  // 1 or 3
    uint8_t bytes[6];
    uint16_t first[4];
    uint16_t second[3];
    uint16_t last;
    uint16_t pad;
};
static_assert(sizeof(LineTrailerRecord) == 28);

typedef TcsResult (*IrEventSink)(IrEventRecord* record, void* context);

// Bump allocator over the persistent scratch: 4-byte rounded, never freed singly.
struct IrPersistentMem {
    uint32_t capacity;
    uint32_t used;
    uint8_t* base;
};

// Per correlator direction (0 upward, 1 downward).
struct IrDirectionState {
    int8_t lastYLag;
    int8_t lastXLag;
    uint16_t lastScore;
    uint8_t dropCount;
    uint8_t yLagHistory[4];      // slot = processed-line count mod 4
    uint16_t goodLines;
    uint16_t badLines;
    uint16_t lastGoodLine;
    uint16_t lastBadLine;
    uint32_t accumulatedScore;
    uint32_t scoreSum;           // running correlation sum that picks the swipe direction
    uint16_t lagOffset;
    int16_t delayCounter;        // counts up to 0
    int16_t holdCounter;         // counts down to 0
};

// Byte offsets and lengths of a line, fixed at set-up.
struct IrLineLayout {
    uint32_t roundedLineBytes;   // full line rounded up to 4 for storage
    uint32_t headerPixelBytes;
    uint32_t extraPixelBytes;
    uint32_t fullLineBytes;
    uint8_t windowStart;         // header + correction-window position (low byte)
    uint8_t secondWindowStart;   // windowStart - 7
    uint8_t secondWindowLength;  // extra bytes + 14
    uint8_t extraAreaOffset;     // 0
};

// What image assembly, lag finalisation and post-processing leave for the quality verdict.
struct IrReconResults {
    uint32_t rows;
    uint32_t columns;
    uint8_t qualityValue;
    uint8_t meanLineAdvance;     // for the swipe speed of event 5
    uint16_t leftMargin;
    uint16_t rightMargin;
    uint16_t lagSpanStart;
    uint32_t fingerWidth;        // must be non-zero for a usable image
    int8_t meanScore;            // -1 when fewer than 50 lines
    uint8_t meanYLag;
    uint8_t secondMeanLag;
    uint8_t centreMeanGrey;
    uint8_t pressure;            // centre-window contrast
    int16_t meanXDrift;          // per row, signed
    int8_t driftCompanion;
    uint32_t lineCountA;         // compared with a sixth and an eighth of the rows
    uint32_t lineCountB;         // compared with the lag span
    // x-lag statistics of lag finalisation
    int8_t meanXLag;
    uint8_t meanAbsXLag;
    int8_t meanXLagNewer;
    int8_t meanXLagOlder;
    uint8_t xPlateauCount;
    uint8_t yPlateauCount;
    uint8_t minYLag;
    uint8_t maxYLag;
    uint32_t stictionZones[4];   // start row bits 0-11, length bits 12-21
    uint32_t stictionCount;
    uint32_t stictionLower;
    uint32_t stictionUpper;
    uint16_t firstTime;          // 16-bit sensor times of the swipe's first and last lines
    uint16_t lastTime;
    uint32_t firstUsedIndex;
    uint32_t lastUsedIndex;
    // Sensor times of the first line used (the newest) and of the last one used that still lies
    // at least 20 lines from the oldest pooled line.
    uint16_t firstUsedTime;
    uint16_t lastUsedTime;
    uint32_t droppedLines;
    uint32_t repeatedLines;
    int32_t xLagSum;
    uint32_t absXLagSum;
    // Set by lag finalisation for image assembly.
    uint32_t noiseEnd;
    uint32_t trailingCount;
    uint32_t windowEnd;
    uint32_t stictionTotal;
    uint8_t statusFlags;         // 64: stale lines trimmed at the start
};

struct IrReconState {
    // Memory
    IrPersistentMem persistent;
    uint8_t* volatileArea;
    uint32_t volatileSize;
    uint8_t* image;
    uint32_t imageCapacity;
    // Set-up records
    IrGeometry* geometry;        // read here: header/pixel/extra bytes, descending, g2, g3, tick length
    IrCaptureOptions* options;   // read here: reset list, column list
    uint32_t cfgInfo;            // read here
    uint16_t cullFlags;
    uint8_t swipeDirection;
    uint8_t detectedDirection;
    IrEventSink eventSink;       // read here (event 8)
    void* eventContext;
    IrEventRecord* eventRecord;
    const LineTrailerRecord* trailer;
    IrLineLayout layout;
    // Counters and time
    uint8_t lagCount;            // N: correlation ring capacity in lines
    uint8_t defaultLag;          // 8; read here
    uint8_t stopFlag;
    uint8_t baselinePresent;     // read here
    uint32_t firstLineCounter;
    uint32_t lastLineCounter;
    uint32_t processedLines;     // read here
    uint32_t doIrCalls;
    uint32_t culledRun;
    uint32_t time32;
    uint16_t lastTime16;
    uint16_t previousTime16;
    // Rings (areas inside the persistent scratch, the image buffer and the ASP area)
    CircBuffer correlation;      // 24 entries of rounded line + 32 bytes of window statistics
    CircBuffer rawLines;
    CircBuffer fullLines;
    CircBuffer imageRows;        // pool's newer ring, over the image buffer
    CircBuffer poolRows;         // pool's older ring, over the persistent scratch
    CompoundCircBuffer pool;
    // Correlation
    uint32_t correlator;         // 0 up, 1 down, 2 both
    uint32_t directionWord;
    IrDirectionState direction[2];
    // Culling
    CullState cull;
    NccStats cullStats;
    uint32_t cullMinChanged;
    uint32_t cullThreshold;
    uint8_t* workLine;
    uint8_t* lineBuffer;
    // Baseline and analog reconstruction
    int8_t* baselineLine;        // signed per-pixel offsets, header included
    uint8_t baselineMean;        // B, 0..255 (128 without a usable baseline)
    int32_t baselineOffset;      // O = B << 20
    // Results and verdict
    IrReconResults results;      // read here by the quality verdict
    uint32_t qualityFlags;       // written here
    // Set-up, per-line stage and correlators
    uint32_t poolEntryBytes;     // stride of the pool and of the image rows while they are placed
    uint32_t lagStep;            // G1 / G3, the nominal lag
    LineTrailerRecord trailerCopy;
    uint8_t trailerPresent;
    uint8_t nccFlag;             // 1 at processed line 10000 (upward correlator only)
    uint8_t replaying;
    uint8_t aspRowsReady;
    uint8_t* aspPixels;          // liveness image area (300 rows of primary pixels, then raw lines)
    uint32_t aspSize;
    uint32_t aspRows;
    uint32_t aspColumns;
    uint32_t firstLineTime32;
    uint32_t capturedFirstTime;  // 16-bit time of the swipe's first processed line
    uint8_t* correlationArea;    // 24 entries: rounded line, 16 bytes stats A, 16 bytes stats B
    uint8_t* rowMarks;           // 512 bytes left by image assembly for post-processing
    int8_t leftBound;            // finger bounds exchanged by orientation
    int8_t rightBound;
};

// Raises an event through the state's sink when one is set; the sink's status is returned.
TcsResult irRaiseEvent(IrReconState* state, uint16_t id, uint32_t flags);
