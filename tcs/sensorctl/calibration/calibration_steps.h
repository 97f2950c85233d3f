// Calibration internals shared by the context functions, the steps and their tests: the context,
// calibration rows, sweep stepping, line walking and the value-choice rules.
#pragma once

#include "tcs/result.h"
#include "tcs/sensorctl/protocol/builtin_lists.h"
#include "tcs/sensorctl/calibration/cal_results.h"
#include "tcs/sensorctl/calibration/calibration_rows.h"
#include "tcs/sensorctl/protocol/tag_records.h"

#include <stdint.h>

#include <utility>
#include <vector>

namespace scscal {

// A 148-byte calibration row read as its 37 u32 words (27 and 28-29 hold the blob's length and pointer).
class CalRow {
public:
    explicit CalRow(const CalConfigDescriptor* row) : row_(*row) {}
    uint32_t word(uint32_t index) const {
        if (index < 27) return row_.words[index];
        if (index == 27) return row_.dataLength;
        if (index >= 30 && index < 37) return row_.more[index - 30];
        return 0;
    }
    const uint8_t* blob() const { return static_cast<const uint8_t*>(row_.data); }
    uint32_t blobLength() const { return row_.dataLength; }

private:
    CalConfigDescriptor row_;
};

struct SweepPoint {
    uint32_t value;      // register value
    uint32_t field;      // value with the held-out bits cleared, shifted into place
    uint32_t companion;  // mode 1: value plus word 7
};

// The points of one pass of a tag-13 sweep; 11 for an unknown mode.
TcsResult sweepPoints(const uint32_t* words, uint32_t wordCount, uint32_t shift, std::vector<SweepPoint>* out);

struct Window {
    uint16_t first, last;
};

struct ScsHarlokCalContext {
    uint16_t attempt = 0;
    std::vector<CalRow> rows;
    int chosen = -1;
    uint32_t blockId = 0;
    PrintConfiguration printConfig{};
    std::vector<uint8_t> sentBlob;
    std::vector<uint8_t> lines;
    uint16_t bytesPerLine = 0;
    uint16_t lineCount = 0;
    const CalLimitValues* limits = nullptr;
    uint16_t tag17 = 0;
    std::vector<Window> windows;
    std::vector<uint32_t> sweepWords;  // tag 13
    std::vector<uint8_t> gainTable;    // tag 14, 16 bytes a record
    uint32_t gainRecords = 0;
    bool noLimitCheck = false;
    uint32_t woeThreshold = 0;
    uint32_t woeGain = 128;
    uint8_t woeLimitBytes[4] = {};
    uint32_t woeType = 0;
    uint32_t flexId = 0;
    bool woeFailed = false;

    const CalRow& row() const { return rows[size_t(chosen)]; }
    const uint8_t* limitBytes(uint32_t blockId) const {
        return limits != nullptr ? limits->steps[blockId] : nullptr;
    }
};

// Set-up of the chosen row for a capture: line buffer, print configuration, records of the blob.
TcsResult prepareCapture(ScsHarlokCalContext& context, const CalRow& row, uint32_t blockId);

// Line continuity of one capture: line numbers, frame toggle, end marker.
struct LineSequence {
    bool started = false;
    uint32_t lastNumber = 0;
    uint32_t toggle = 0;
    uint32_t linesInFrame = 0;
    uint32_t frameLines = 0;  // lines of the first complete frame
    bool endMarker = false;
};
// 0 for a data line, 1 for the end marker, 17 for a break in the sequence.
TcsResult checkLine(LineSequence& sequence, const uint8_t* line);

// Adds a line's data columns [first, last] to sums (indexed by column).
void addLine(const uint8_t* line, uint32_t columns, std::vector<uint32_t>& sums);

// Settling rule over {value, second word} pairs: 0, 1 (no rise) or 8 (no point qualifies).
TcsResult chooseValuesWithRCAlg(uint32_t count, const std::pair<uint32_t, uint32_t>* pairs, uint32_t step,
                                uint32_t divisor, bool interleave, bool parity, uint32_t out[4]);

// Steps; each returns its Status (0 done).
TcsResult stepCommDet(ScsHarlokCalContext& context, CalResultsContainer* results);
TcsResult stepPgaOffset(ScsHarlokCalContext& context, CalResultsContainer* results);
TcsResult stepAdc(ScsHarlokCalContext& context, CalResultsContainer* results);
TcsResult stepPgaGain(ScsHarlokCalContext& context, CalResultsContainer* results);
TcsResult stepAspPga1(ScsHarlokCalContext& context, CalResultsContainer* results);
TcsResult stepAspLna1(ScsHarlokCalContext& context, CalResultsContainer* results);
TcsResult stepWoe(ScsHarlokCalContext& context, CalResultsContainer* results);

}  // namespace scscal

extern "C" {
// Test seam: the calibration rows the next context takes (NULL: the built-in ones).
void scsHarlokCalTestSetRows(const void* const* rows);
}
