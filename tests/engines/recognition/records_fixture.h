// Record tests: views with coverage (the own record refuses a view without it) and export helpers.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "engines/recognition/recog_records.h"
#include "tests/engines/recognition/engine_fixture.h"

namespace recogtest {

// A view as extraction leaves it, with a coverage block around its minutiae.
inline R::MatchData viewWithCoverage(const std::vector<RawMinutia>& minutiae, uint32_t purpose) {
    R::MatchData view = toMatchData(minutiae, purpose);
    int top = 49, bottom = 0, left = 31, right = 0;
    for (const RawMinutia& m : minutiae) {
        top = std::min(top, m.y / 8);
        bottom = std::max(bottom, std::min(m.y / 8, 49));
        left = std::min(left, m.x / 8);
        right = std::max(right, std::min(m.x / 8, 31));
    }
    uint32_t bits = 0;
    for (int r = top; r <= bottom; ++r) {
        // A narrower band in every third row so that the edge codes see changes.
        const int l = r % 3 == 0 ? std::min(left + 1, right) : left;
        for (int c = l; c <= right; ++c) view.coverage[r] |= 1u << c;
        bits += uint32_t(__builtin_popcount(view.coverage[r]));
    }
    view.coverageArea = bits * 64;
    view.originX = 12;
    view.originY = 30;
    view.device[2] = 175;
    return view;
}

class RecordTest : public EngineTest {
protected:
    // Exports `h` in `format`: a size query, then into a buffer of exactly that size.
    std::vector<uint8_t> exported(RecogHandle h, uint32_t format, const void* options = nullptr) {
        uint32_t size = 0;
        EXPECT_EQ(RecogExportEx(h, format, options, nullptr, &size), RECOG_OK) << std::hex << format;
        std::vector<uint8_t> bytes(size);
        EXPECT_EQ(RecogExportEx(h, format, options, bytes.data(), &size), RECOG_OK) << std::hex << format;
        EXPECT_EQ(size, bytes.size()) << std::hex << format;
        return bytes;
    }
    RecogResult import(const std::vector<uint8_t>& bytes, uint32_t format, uint32_t purpose, RecogHandle* out,
                       const void* options = nullptr) {
        const RecogResult status =
            RecogImportEx(context_, bytes.data(), uint32_t(bytes.size()), format, purpose, options, out);
        if (status == RECOG_OK) keep(*out);
        return status;
    }
    const R::MatchData& viewOf(RecogHandle h) { return R::FromHandle<R::FpFtrSetObj>(h, false)->view; }
    const R::FpTemplate& viewsOf(RecogHandle h) { return R::FromHandle<R::FpTemplateObj>(h, false)->views; }
};

}  // namespace recogtest
