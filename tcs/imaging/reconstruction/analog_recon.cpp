// Analog reconstruction: integrate samples in sampling order with a fixed leak, map back to 8 bits.
#include "tcs/imaging/reconstruction/analog_recon.h"

#include "tcs/imaging/reconstruction/recon_state.h"
#include "tcs/imaging/reconstruction/scan_line.h"

#include <limits.h>
#include <string.h>

namespace {

constexpr uint32_t kMaxColumns = 1024;
constexpr uint32_t kShortSegment = 6;

int32_t clampByte(int64_t v) { return v < 0 ? 0 : (v > 255 ? 255 : int32_t(v)); }

}  // namespace

TcsResult IRanalogReconScanline(const IrReconState* state, uint8_t* pixels, uint32_t firstColumn, uint32_t endColumn,
                                uint8_t baselineMean, int32_t baselineOffset, int32_t margin) {
    if (pixels == nullptr) return TCS_RESULT_OK;
    if (endColumn > kMaxColumns) endColumn = kMaxColumns;
    if (endColumn <= firstColumn) return TCS_RESULT_OK;

    const IrCaptureOptions* options = state != nullptr ? state->options : nullptr;
    const uint16_t* list = options != nullptr ? options->unpackColumns : nullptr;
    const uint32_t listCount = list != nullptr ? options->unpackColumnCount : 0;
    const bool descending = state != nullptr && state->geometry != nullptr && state->geometry->primaryDescending != 0;
    const uint32_t cfg = state != nullptr ? state->cfgInfo : 0;
    const bool tilt = (cfg & kCfgTiltMask) != 0 && margin >= 0 && list == nullptr;

    uint16_t order[kMaxColumns];
    uint32_t visits = 0;
    if (list != nullptr) {
        for (uint32_t k = 0; k < listCount && visits < kMaxColumns; ++k) {
            if (list[k] >= firstColumn && list[k] < endColumn) order[visits++] = list[k];
        }
    } else if (descending) {
        for (uint32_t c = endColumn; c-- > firstColumn;) order[visits++] = uint16_t(c);
    } else {
        for (uint32_t c = firstColumn; c < endColumn; ++c) order[visits++] = uint16_t(c);
    }
    if (visits == 0) return TCS_RESULT_OK;

    int32_t values[kMaxColumns];
    bool visited[kMaxColumns];
    memset(visited, 0, sizeof(visited));
    // 64-bit accumulator: a long bright line drifts past 2^31 in 20-bit fixed point.
    int64_t acc = 0;
    int32_t previous = baselineMean;
    int32_t smallest = INT_MAX, largest = INT_MIN;
    uint32_t smallestColumn = firstColumn, negatives = 0;
    for (uint32_t i = 0; i < visits; ++i) {
        const uint32_t c = order[i];
        const int32_t x = pixels[c];
        acc = acc - baselineOffset + (int64_t(x) << 20) + int64_t(baselineMean - previous) * kAnalogLeak;
        int32_t value = int32_t((acc + (1 << 19)) >> 20);
        if (tilt) value += descending ? int32_t((endColumn - c) / 2) : int32_t(c / 2);
        values[c] = value;
        visited[c] = true;
        previous = x;
        if (value < smallest) {
            smallest = value;
            smallestColumn = c;
        }
        if (value > largest) largest = value;
        if (value < 0) ++negatives;
    }

    // Dark lines: raise the floor so one deep dip does not stretch the whole line.
    int32_t s = smallest;
    if (largest < 50) {
        if (smallestColumn > 190) {
            if (smallestColumn >= 2 && visited[smallestColumn - 2]) s = values[smallestColumn - 2];
        } else if (s >= -109 && s <= -71 && negatives <= 119) {
            s += 25;
        } else if (s >= -149 && s <= -111 && negatives <= 119) {
            s += 30;
        } else if (s >= -199 && s <= -151 && negatives <= 119) {
            s += 50;
        } else if (s >= -289 && s <= -201 && negatives <= 129) {
            s += 100;
        }
    }

    if (margin < 0) {
        for (uint32_t i = 0; i < visits; ++i) pixels[order[i]] = uint8_t(clampByte(values[order[i]]));
    } else if (margin == 0) {
        for (uint32_t i = 0; i < visits; ++i) {
            const uint32_t c = order[i];
            pixels[c] = uint8_t((3 * clampByte(int64_t(values[c]) - s + 128) + pixels[c]) / 4);
        }
    } else {
        const int64_t range = int64_t(largest) - s + 1;
        if (margin > range) return TCS_RESULT_OK;
        const int64_t scale = 65536 / range;
        for (uint32_t i = 0; i < visits; ++i) {
            const uint32_t c = order[i];
            pixels[c] = uint8_t(clampByte(((int64_t(values[c]) - s) * scale) >> 8));
        }
    }
    return TCS_RESULT_OK;
}

TcsResult IRanalogReconImage(const IrReconState* state, uint8_t* image, uint32_t packed, uint32_t rows,
                             uint32_t rowLength, uint32_t firstColumn) {
    if (state == nullptr || image == nullptr || rowLength > kMaxColumns || firstColumn > rowLength) return TCS_RESULT_OK;
    const uint8_t* resets = state->options != nullptr ? state->options->analogResets : nullptr;
    const uint32_t rowBytes = packed ? (rowLength - firstColumn) / 2 + firstColumn : rowLength;
    // A packed row holds whole bytes only: an odd last pixel has no nibble to read back.
    if (packed) rowLength = firstColumn + 2 * ((rowLength - firstColumn) / 2);
    uint8_t unpacked[kMaxColumns];

    for (uint32_t r = 0; r < rows; ++r) {
        uint8_t* row = image + size_t(r) * rowBytes;
        uint8_t* line = row;
        if (packed) {
            memcpy(unpacked, row, firstColumn);
            unpack4bitRow(row + firstColumn, unpacked + firstColumn, rowLength - firstColumn, 1);
            line = unpacked;
        }
        if (resets == nullptr) {
            IRanalogReconScanline(state, line, firstColumn, rowLength, state->baselineMean, state->baselineOffset,
                                  kAnalogMarginNormal);
        } else {
            uint32_t start = 0;
            for (uint32_t k = 0; k < resets[0]; ++k) {
                const uint32_t reset = resets[1 + k] < rowLength ? resets[1 + k] : rowLength;
                const int32_t margin = reset - start < kShortSegment ? kAnalogMarginBlend : kAnalogMarginNormal;
                IRanalogReconScanline(state, line, start, reset, state->baselineMean, state->baselineOffset, margin);
                start = reset;
            }
            const int32_t margin = rowLength - start < kShortSegment ? kAnalogMarginLastShort : kAnalogMarginNormal;
            IRanalogReconScanline(state, line, start, rowLength, state->baselineMean, state->baselineOffset, margin);
        }
        if (packed) pack4bitRow(unpacked + firstColumn, row + firstColumn, (rowLength - firstColumn) / 2, 1);
    }
    return TCS_RESULT_OK;
}
