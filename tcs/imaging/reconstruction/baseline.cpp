// Baseline data: unpack, reject noisy lines, average, validate; and baseline correction.
#include "tcs/imaging/reconstruction/baseline.h"

#include "platform/memory.h"
#include "tcs/imaging/reconstruction/analog_recon.h"
#include "tcs/imaging/reconstruction/recon_state.h"
#include "tcs/imaging/reconstruction/scan_line.h"

#include <string.h>

#include <memory>

namespace {

constexpr uint32_t kMaxBaselinePixels = 1024;
constexpr uint32_t kMinNoiseLimit = 16;
constexpr uint32_t kNoiseAllowance = 3;
constexpr uint32_t kNoiseCeiling = 17;
constexpr uint32_t kNoiseNoMean = 10000;
constexpr uint32_t kKeepStoredNoiseMargin = 7;

struct PalFree {
    void operator()(void* p) const { palRealFree(p); }
};
using PalBlock = std::unique_ptr<uint8_t, PalFree>;

uint8_t subtractClamped(uint8_t pixel, int8_t baseline) {
    const int v = int(pixel) - int(baseline);
    return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v));
}

}  // namespace

TcsResult ProcessBaselineData(const FlexInfoRecord* flex, uint32_t bankArgument, const uint32_t* timeslotTable,
                              uint32_t tableBytes, uint32_t headerLength, BaselineInput* input,
                              uint32_t* noiseLevel, BaselineOutput* output) {
    std::unique_ptr<LineUnpackMap> map(new (std::nothrow) LineUnpackMap);
    if (!map) return TCS_RESULT_OUT_OF_MEMORY;
    const TcsResult built = ProcessTimeslotTable(timeslotTable, bankArgument, tableBytes, flex, map.get());
    if (built != TCS_RESULT_OK) return built;
    if (input == nullptr || noiseLevel == nullptr || output == nullptr) return TCS_RESULT_BAD_PARAM;
    // Lines are unpacked with the scan-line header in front; the pixels start right after it.
    if (headerLength != kScanLineHeaderBytes) return TCS_RESULT_BAD_PARAM;
    if (input->lineCount > 0 && (input->lines == nullptr || input->stride == 0)) return TCS_RESULT_BAD_PARAM;

    const uint32_t lineBytes = headerLength + map->pixelCount;
    const uint64_t total = uint64_t(input->lineCount) * lineBytes;
    if (total > 0xFFFFFFFFull) return TCS_RESULT_OUT_OF_MEMORY;
    PalBlock unpacked(static_cast<uint8_t*>(palRealMalloc(total > 0 ? uint32_t(total) : 1)));
    if (!unpacked) return TCS_RESULT_OUT_OF_MEMORY;
    for (uint32_t i = 0; i < input->lineCount; ++i) {
        uint8_t* line = unpacked.get() + size_t(i) * lineBytes;
        UnpackLineRT(input->lines + size_t(i) * input->stride, input->stride, line, map.get(), 0);
        if (flex->interpolRanges != nullptr) ApplyInterpolateRangesToLine(line + headerLength, flex->interpolRanges);
    }

    const uint32_t blockSize = headerLength + flex->primaryCount + flex->secondaryCount + flex->extraPixels;
    PalBlock block(static_cast<uint8_t*>(palRealMalloc(blockSize)));
    if (!block) return TCS_RESULT_OUT_OF_MEMORY;
    memset(block.get(), 0, blockSize);

    uint32_t meanNoise = 0, representative = 0, valid = 0;
    tcsProcessAndValidateBaselineData(unpacked.get(), input->lineCount, lineBytes, headerLength, *noiseLevel,
                                      input->lineCount / 4, block.get(), &meanNoise, &representative, &valid);
    if (!valid) {
        input->status = kBaselineInvalid;
        return TCS_RESULT_OK;
    }
    output->one = 1;
    output->blockSize = blockSize;
    output->one2 = 1;
    output->block = block.release();
    if (!(*noiseLevel != 0 && meanNoise >= *noiseLevel + kKeepStoredNoiseMargin)) *noiseLevel = representative;
    input->status = kBaselineValid;
    return TCS_RESULT_OK;
}

void tcsProcessAndValidateBaselineData(const uint8_t* lines, uint32_t lineCount, uint32_t stride, uint32_t firstPixel,
                                       uint32_t previousNoise, uint32_t allowedBad, uint8_t* baselineLine,
                                       uint32_t* meanNoise, uint32_t* representativeNoise, uint32_t* valid) {
    uint32_t dummyMean = 0, dummyRep = 0, dummyValid = 0;
    if (meanNoise == nullptr) meanNoise = &dummyMean;
    if (representativeNoise == nullptr) representativeNoise = &dummyRep;
    if (valid == nullptr) valid = &dummyValid;
    *meanNoise = 0;
    *representativeNoise = 0;
    *valid = 0;
    if (lines == nullptr || baselineLine == nullptr || stride <= firstPixel) return;
    const uint32_t n = stride - firstPixel;
    if (n > kMaxBaselinePixels) return;
    const uint32_t limit = previousNoise + kNoiseAllowance > kMinNoiseLimit ? previousNoise + kNoiseAllowance : kMinNoiseLimit;
    auto pixelsOf = [&](uint32_t i) { return lines + size_t(i) * stride + firstPixel; };
    auto isGood = [&](uint32_t q) { return q != 0 && q <= limit; };

    uint32_t good = 0, bad = 0, sum = 0;
    for (uint32_t i = 0; i < lineCount; ++i) {
        const uint32_t q = getQuasiLineVariance(pixelsOf(i), n);
        if (q == 0) continue;
        if (q > limit) {
            ++bad;
        } else {
            ++good;
            sum += q;
        }
    }
    const uint32_t mean = (good > 0 && bad <= allowedBad) ? sum / good : previousNoise + kNoiseNoMean;
    *meanNoise = mean;
    if (previousNoise == 0 && bad > allowedBad) return;
    if (previousNoise != 0 &&
        (mean > previousNoise + kNoiseAllowance || mean > previousNoise + previousNoise / 4 || mean >= kNoiseCeiling)) {
        return;
    }
    // A block of only flat lines has nothing to average: no baseline rather than a division by 0.
    if (good == 0) return;

    uint32_t sums[kMaxBaselinePixels] = {};
    for (uint32_t i = 0; i < lineCount; ++i) {
        const uint8_t* p = pixelsOf(i);
        if (!isGood(getQuasiLineVariance(p, n))) continue;
        for (uint32_t c = 0; c < n; ++c) sums[c] += p[c];
    }
    uint8_t averages[kMaxBaselinePixels];
    uint32_t lowest = 255, highest = 0;
    for (uint32_t c = 0; c < n; ++c) {
        averages[c] = uint8_t(sums[c] / good);
        if (averages[c] < lowest) lowest = averages[c];
        if (averages[c] > highest) highest = averages[c];
    }
    if (highest - lowest > kBaselineMaxSpread) return;

    uint32_t bestDistance = UINT32_MAX, bestNoise = 0;
    for (uint32_t i = 0; i < lineCount; ++i) {
        const uint8_t* p = pixelsOf(i);
        const uint32_t q = getQuasiLineVariance(p, n);
        if (!isGood(q)) continue;
        uint32_t distance = 0;
        for (uint32_t c = 0; c < n; ++c) distance += uint32_t(p[c] > averages[c] ? p[c] - averages[c] : averages[c] - p[c]);
        distance /= n;
        if (distance < bestDistance) {
            bestDistance = distance;
            bestNoise = q;
        }
    }
    memcpy(baselineLine + firstPixel, averages, n);
    *representativeNoise = bestNoise > 0 ? bestNoise : 1;
    *valid = 1;
}

void IRbaselineCorrectScanline(const IrReconState* state, const int8_t* baseline, uint8_t* line, uint32_t headerLength,
                               uint32_t secondStart, uint32_t secondLength, uint32_t firstOffset, uint32_t firstLength,
                               uint32_t doSecond, uint32_t doFirst) {
    if (baseline == nullptr || line == nullptr) return;
    if (state != nullptr && !state->baselinePresent) return;
    const IrGeometry* g = state != nullptr ? state->geometry : nullptr;
    const uint32_t lineEnd = g != nullptr ? g->lineBytes : UINT32_MAX;
    auto correct = [&](uint32_t from, uint32_t length) {
        for (uint32_t i = from; i < from + length && i < lineEnd; ++i) line[i] = subtractClamped(line[i], baseline[i]);
    };
    if (doFirst && g != nullptr) correct(headerLength + g->pixelBytes + firstOffset, firstLength);
    if (doSecond) correct(headerLength + secondStart, secondLength);
}

void IRbaselineCorrectImage(IrReconState* state, const int8_t* baseline, uint8_t* image, uint32_t unused,
                            uint32_t rows, uint32_t rowWidth, uint32_t firstColumn) {
    (void)unused;
    if (state == nullptr || baseline == nullptr || image == nullptr || rowWidth > kMaxBaselinePixels) return;
    const uint32_t header = state->geometry != nullptr ? state->geometry->headerBytes : kScanLineHeaderBytes;
    int8_t correction[kMaxBaselinePixels];
    if (state->cfgInfo & kCfgAnalogReconImage) {
        // The baseline as the sensor saw it, passed through the same leak model as the image.
        uint8_t derived[kMaxBaselinePixels] = {};
        memset(correction, 0, sizeof(correction));
        for (uint32_t c = firstColumn; c < rowWidth; ++c) {
            const int v = int(state->baselineMean) + baseline[header + c];
            derived[c] = uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v));
        }
        IRanalogReconScanline(state, derived, firstColumn, rowWidth, state->baselineMean, state->baselineOffset,
                              kAnalogMarginClamp);
        for (uint32_t c = firstColumn; c < rowWidth; ++c) correction[c] = int8_t(derived[c] > 127 ? 127 : derived[c]);
    } else {
        memcpy(correction, baseline + header, rowWidth);
    }
    for (uint32_t r = 0; r < rows; ++r) {
        uint8_t* row = image + size_t(r) * rowWidth;
        for (uint32_t c = 0; c < rowWidth; ++c) row[c] = subtractClamped(row[c], correction[c]);
    }
}
