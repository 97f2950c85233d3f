// Extraction driver: normalise the image to about 333 ppi within 256x400, run the maps, the phase
// image and the detector, then convert the best minutiae into a MatchData.
#include <string.h>

#include <algorithm>

#include "engines/recognition/extraction.h"

namespace DurodudUrodera::FpRecEngineImpl::Embedded {
namespace {

bool isNear500(uint32_t r) { return r >= 450 && r <= 550; }

// Each 3x3 source square gives a 2x2 output square; rows are built in a small buffer first so
// that the output may overwrite the source (in place).
void resampleTwoThirds(const uint8_t* src, size_t stride, uint8_t* dst, int outW, int outH) {
    uint8_t pair[2 * kWorkMaxWidth];
    for (int oy = 0; oy < outH; oy += 2) {
        const uint8_t* r0 = src + size_t(oy / 2 * 3) * stride;
        const uint8_t* r1 = r0 + stride;
        const uint8_t* r2 = r1 + stride;
        for (int ox = 0; ox < outW; ox += 2) {
            const int c = ox / 2 * 3;
            const int s00 = r0[c], s01 = r0[c + 1], s02 = r0[c + 2];
            const int s10 = r1[c], s11 = r1[c + 1], s12 = r1[c + 2];
            const int s20 = r2[c], s21 = r2[c + 1], s22 = r2[c + 2];
            pair[ox] = uint8_t(((4 * s00 + 2 * s01 + 2 * s10 + s11) * 28) >> 8);
            pair[ox + 1] = uint8_t(((4 * s02 + 2 * s01 + 2 * s12 + s11) * 28) >> 8);
            pair[outW + ox] = uint8_t(((4 * s20 + 2 * s10 + 2 * s21 + s11) * 28) >> 8);
            pair[outW + ox + 1] = uint8_t(((4 * s22 + 2 * s12 + 2 * s21 + s11) * 28) >> 8);
        }
        memcpy(dst + size_t(oy) * outW, pair, size_t(2 * outW));
    }
}

// Bilinear resampling with `step` source pixels (in 1/256) per output pixel.
void resampleBilinear(const uint8_t* src, size_t stride, int srcW, int srcH, uint8_t* dst, int outW, int outH,
                      uint32_t step) {
    uint8_t row[kWorkMaxWidth];
    for (int oy = 0; oy < outH; ++oy) {
        const uint32_t py = uint32_t(oy) * step;
        const int y = int(py >> 8), fy = int(py & 255);
        const uint8_t* a = src + size_t(std::min(y, srcH - 1)) * stride;
        const uint8_t* b = src + size_t(std::min(y + 1, srcH - 1)) * stride;
        for (int ox = 0; ox < outW; ++ox) {
            const uint32_t pxl = uint32_t(ox) * step;
            const int x = int(pxl >> 8), fx = int(pxl & 255);
            const int x0 = std::min(x, srcW - 1), x1 = std::min(x + 1, srcW - 1);
            const uint32_t top = uint32_t(a[x0] * (256 - fx) + a[x1] * fx);
            const uint32_t bottom = uint32_t(b[x0] * (256 - fx) + b[x1] * fx);
            row[ox] = uint8_t((top * (256 - fy) + bottom * fy) / 65536);
        }
        // Rows are written behind the rows still to be read: the step exceeds one pixel in place.
        memcpy(dst + size_t(oy) * outW, row, size_t(outW));
    }
}

int toFeature(int value, int resolution) { return value * 762 / resolution; }

}  // namespace

RecogResult FeatureExtractionBase::ExtractMinutia(const uint8_t* source, uint8_t* work, size_t workSize,
                                                  uint32_t purpose, uint32_t flags, MatchData& out) {
    if (width == 0 || pixelCount == 0) return RECOG_E_IMAGE_REJECTED;
    if (width < 32 || height < 32) return RECOG_E_TOO_FEW_FEATURES;
    const uint32_t r = resolution;
    const bool twoThirds = isNear500(r);
    // A 300-366 ppi image whose rows are whole blocks is taken as it is. Its size is kept too
    // (cropped like the others to 256x400), since a copied image cannot change its size.
    const bool copy = !twoThirds && r >= 300 && r <= 366 && width % 4 == 0;
    int srcW = int(width), srcH = int(height);
    int newW, newH;
    if (twoThirds) {
        newW = (2 * srcW / 3) & ~3;
        newH = (2 * srcH / 3) & ~3;
    } else if (copy) {
        newW = srcW;
        newH = srcH & ~3;
    } else {
        newW = int(uint64_t(srcW) * 333 / r) & ~3;
        newH = int(uint64_t(srcH) * 333 / r) & ~3;
    }
    const uint8_t* src = source;
    if (newH > kWorkMaxHeight) {
        const int S = twoThirds ? 600 : copy ? kWorkMaxHeight : int(r * 400 / 333);
        if (srcH <= S) return RECOG_E_NOTHING_TO_DO;
        src += size_t((srcH - S) / 2) * width;
        yOffset += (newH - kWorkMaxHeight) / 2;
        newH = kWorkMaxHeight;
        srcH = S;
    }
    if (newW > kWorkMaxWidth) {
        const int S = twoThirds ? 384 : copy ? kWorkMaxWidth : int(r * 256 / 333);
        if (srcW <= S) return RECOG_E_NOTHING_TO_DO;
        src += (srcW - S) / 2;
        xOffset += (newW - kWorkMaxWidth) / 2;
        newW = kWorkMaxWidth;
        srcW = S;
    }
    const size_t stride = width;
    pixelCount = uint64_t(newW) * newH;
    if (pixelCount == 0) return RECOG_E_TOO_FEW_FEATURES;
    blocksAcross = (newW - 1) / 4 + 1;
    blockCount = blocksAcross * ((newH - 1) / 4 + 1);
    if (r < 362 && source >= work && source < work + pixelCount) return RECOG_E_OVERLAP;
    if (workSize < pixelCount + 3 * blockCount) return RECOG_E_NOTHING_TO_DO;

    uint8_t* image = work;
    if (twoThirds) {
        resampleTwoThirds(src, stride, image, newW, newH);
    } else if (copy) {
        for (int y = 0; y < newH; ++y) memmove(image + size_t(y) * newW, src + y * stride, size_t(newW));
        resolution = uint16_t((r * 5 + 1) / 3);
    } else {
        resampleBilinear(src, stride, srcW, srcH, image, newW, newH, r * 256 / 333);
        resolution = 500;
    }
    pixels = image;
    width = uint64_t(newW);
    height = uint64_t(newH);
    const int pc = int(pixelCount), bc = int(blockCount);

    if (flags & RECOG_EXTRACT_FFT_ENHANCE) {
        const size_t room = std::max<size_t>(2 * size_t(bc), 32 * size_t(newW));
        if (workSize < room + pixelCount + blockCount) return RECOG_E_IMAGE_REJECTED;
        orientation = reinterpret_cast<OriEntry*>(work + pc);
        footprint = work + pc + room;
        orientation_map_and_footprint(newW, pc, image, true, nullptr, footprint);
        fft_enhance(image, newW, pc, work);
        orientation_map_and_footprint(newW, pc, image, false, orientation, footprint);
    } else {
        orientation = reinterpret_cast<OriEntry*>(work + pc);
        footprint = work + pc + 2 * bc;
        orientation_map_and_footprint(newW, pc, image, true, orientation, footprint);
    }
    freeman_phasemap(newW, pc, image, orientation, image);

    TopN best(out.minutiae.slots, kBestMinutiae);
    extract_minutia(image, newW, pc, footprint, best, *parameters, (flags & RECOG_EXTRACT_REFINE_ANGLES) != 0);

    // Popping the heap leaves the list best first.
    const int count = best.size();
    for (int i = count; i > 0; --i) best.pop();
    out.minutiae.count = uint64_t(count);

    const int res = resolution;
    for (int i = 0; i < count; ++i) {
        out[i].x = int16_t(toFeature(out[i].x, res));
        out[i].y = int16_t(toFeature(out[i].y, res));
    }
    out.device[0] = 168;
    out.device[1] = 70;
    out.device[2] = sensorType;
    int originX = toFeature(xOffset, res), originY = toFeature(yOffset, res);

    // Fit the minutiae into the 256x400 feature frame.
    int xmin = 32767, xmax = -32768, ymin = 32767, ymax = -32768;
    for (int i = 0; i < count; ++i) {
        xmin = std::min<int>(xmin, out[i].x);
        xmax = std::max<int>(xmax, out[i].x);
        ymin = std::min<int>(ymin, out[i].y);
        ymax = std::max<int>(ymax, out[i].y);
    }
    const int dx = xmax > 255 ? int(uint16_t(unsigned(xmin + xmax - 255) >> 1)) : 0;
    const int dy = ymax > 399 ? std::min(ymax - 399, ymin) : 0;
    originX += dx;
    originY += dy;
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        Minutia m = out[i];
        m.x = int16_t(m.x - dx);
        m.y = int16_t(m.y - dy);
        if (m.x < 0 || m.x > 255 || m.y < 0 || m.y > 399) continue;
        out[kept++] = m;
    }
    for (int i = kept; i < count; ++i) out[i] = Minutia{};
    out.minutiae.count = uint64_t(kept);
    out.originX = uint16_t(originX);
    out.originY = uint16_t(originY);

    // Coverage: each 8x8-unit cell maps back to the block under its centre.
    const int bw = int(blocksAcross), bh = bc / bw;
    uint32_t area = 0;
    for (int k = 0; k < kCoverageRows; ++k) {
        uint32_t bits = 0;
        const int by = (((originY + 8 * k) * res + res / 2) / 762 + 2) >> 2;
        for (int c = 0; c < 32; ++c) {
            const int bx = (((originX + 8 * c) * res + res / 2) / 762 + 2) >> 2;
            if (bx >= 0 && bx < bw && by >= 0 && by < bh && footprint[by * bw + bx]) bits |= 1u << c;
        }
        out.coverage[k] = bits;
        area += uint32_t(__builtin_popcount(bits)) * 64;
    }
    out.coverageArea = area;
    out.purpose = purpose & 7u;
    computeCentreAndRelative(out);
    if ((out.flags & kFlagWeightsComputed) == 0) computeDensityWeights(out);

    if (uint32_t(kept) >= parameters->minimumMinutiae && area >= parameters->minimumArea) return RECOG_OK;
    return RECOG_E_TOO_FEW_FEATURES;
}

}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded
