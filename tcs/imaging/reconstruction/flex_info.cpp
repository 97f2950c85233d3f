// The built-in flex table and its lookup.
#include "tcs/imaging/reconstruction/flex_info.h"

#include "tcs/imaging/reconstruction/pixel_layouts.h"

namespace pl = pixel_layouts;

namespace {
constexpr uint32_t kHeaderBytes = 8;
constexpr uint16_t kSec = uint16_t(pl::kSecondaryCount);
}  // namespace

// clang-format off
const FlexInfoRecord gFlexInfo[kFlexInfoCount] = {
    {14, 0, 68, 288, {400, 50, 50}, 508, 508, 1, 4, 1, 1, 0, 1, 200, pl::PriPixelLayout_530.data(),
     1, 0, kSec, pl::SecPixelLayout_530.data(), pl::SecToPriMap_530.data(), nullptr, nullptr, nullptr},
    {58, 0, 68, 272, {400, 50, 50}, 508, 508, 1, 4, 2, 1, 0, 1, 200, pl::PriPixelLayout_540.data(),
     1, 0, kSec, pl::SecPixelLayout_540.data(), pl::SecToPriMap_540.data(), nullptr, nullptr, nullptr},
    {92, 0, 68, 208, {400, 50, 50}, 508, 508, 1, 4, 1, 1, 0, 1, 200, pl::PriPixelLayout_540.data(),
     1, 0, kSec, pl::SecPixelLayout_540.data(), pl::SecToPriMap_540.data(), nullptr, nullptr, nullptr},
    {59, 0, 48, 240, {400, 50, 50}, 508, 508, 1, 4, 2, 1, 0, 1, 160, pl::PriPixelLayout_59.data(),
     1, 0, kSec, pl::SecPixelLayout_59.data(), pl::SecToPriMap_59.data(), nullptr, nullptr, nullptr},
    {19, 0, 68, 272, {400, 50, 50}, 508, 508, 1, 4, 2, 1, 0, 1, 200, pl::PriPixelLayout_TFS6xx_12A.data(),
     1, 0, kSec, pl::SecPixelLayout_TFS6xx_12A.data(), pl::SecToPriMap_TFS6xx_12A.data(), nullptr, nullptr, nullptr},
    {98, 0, 136, 265, {400, 50, 50}, 508, 508, 1, 4, 2, 1, 1, 1, 193, pl::PriPixelLayout_TFS7xx_23A.data(),
     0, 1, kSec, pl::SecPixelLayout_TFS7xx_23A.data(), pl::SecToPriMap_TFS7xx_23A.data(), nullptr, nullptr,
     pl::IRinterpolRanges_FID98},
    {93, 0, 48, 240, {400, 50, 50}, 508, 508, 1, 4, 2, 1, 0, 1, 160, pl::PriPixelLayout_TFS7xx_17A.data(),
     1, 0, kSec, pl::SecPixelLayout_TFS7xx_17A.data(), pl::SecToPriMap_TFS7xx_17A.data(), nullptr, nullptr, nullptr},
    {72, 0, 69, 288, {400, 50, 50}, 508, 508, 1, 4, 2, 1, 1, 1, 200, pl::PriPixelLayout_TFS6xx_22B.data(),
     0, 1, kSec, pl::SecPixelLayout_TFS6xx_22B.data(), pl::SecToPriMap_TFS6xx_22B.data(), nullptr,
     pl::ARresets_FID72, pl::IRinterpolRanges_FID72},
    {55, 0, 69, 288, {400, 70, 50}, 333, 333, 1, 4, 0, 1, 0, 1, 200, pl::PriPixelLayout_TFS7xx_30A_31A.data(),
     1, 0, kSec, pl::SecPixelLayout_TFS7xx_30A_31A.data(), pl::SecToPriMap_TFS7xx_30A_31A.data(), nullptr, nullptr, nullptr},
    {26, 0, 69, 288, {400, 70, 50}, 333, 333, 1, 4, 0, 1, 0, 1, 200, pl::PriPixelLayout_TFS7xx_30A_31A.data(),
     1, 0, kSec, pl::SecPixelLayout_TFS7xx_30A_31A.data(), pl::SecToPriMap_TFS7xx_30A_31A.data(), nullptr, nullptr, nullptr},
    {32, 0, 36, 216, {400, 70, 50}, 333, 333, 1, 4, 0, 1, 1, 1, 144, pl::PriPixelLayout_TFS7xx_41A.data(),
     0, 0, kSec, pl::SecPixelLayout_TFS7xx_41A.data(), pl::SecToPriMap_TFS7xx_41A.data(), nullptr,
     pl::ARresets_FID32, pl::IRinterpolRanges_FID32},
    {131, 0, 48, 248, {400, 50, 50}, 508, 508, 1, 4, 1, 2, 0, 0, 160, pl::PriPixelLayout_TFS701_40A.data(),
     1, 0, kSec, pl::SecPixelLayout_TFS701_40A.data(), pl::SecToPriMap_TFS701_40A.data(), nullptr, nullptr, nullptr},
};
// clang-format on

const FlexInfoRecord* dliFindFlexInfo(int32_t flexId) {
    const uint16_t key = uint16_t(uint32_t(flexId) & 0xFFFF);
    for (const FlexInfoRecord& row : gFlexInfo) {
        if (row.flexId == key) return &row;
    }
    return nullptr;
}

uint32_t flexUnpackedLineBytes(const FlexInfoRecord* flex) {
    if (flex == nullptr) return 0;
    const uint32_t whole = kHeaderBytes + flex->primaryCount + flex->secondaryCount + flex->extraPixels;
    return flex->unpackBufferLength > whole ? flex->unpackBufferLength : whole;
}
