// The engine's own feature record of one view: compact, TEA-enciphered, able to shrink to a byte budget.
//
// Record = u16 header word (FtrCode), u16 body length, enciphered body, plain marker "o".
// An own template is several records back to back; bit 12 of the header word says another follows.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "engines/recognition/match_data.h"
#include "engines/recognition/objects.h"
#include "engines/recognition/recog.h"

namespace DurodudUrodera::FpRecEngineImpl::Embedded {

// Header words the writers give: bit 15 new layout, 14 enciphered, 13 little-endian body,
// 12 another view follows, 11 optional sections present.
constexpr uint16_t kFtrCodeLast = 0xE800;
constexpr uint16_t kFtrCodeMore = 0xF800;
constexpr uint16_t kFtrMoreViews = 0x1000;

// Size of a KeyOptions block that carries a plain key, and of one that carries a wrapped key.
constexpr uint64_t kKeyOptionsPlain = 24;
constexpr uint64_t kKeyOptionsWrapped = 40;

// Writes `view` into `out`. `size` is the capacity on entry and the record's size (written or
// needed) on return; a null `out` or a capacity of 3 or less only measures. With `fit`, the least
// confident minutiae are dropped until the record fits the capacity.
RecogResult WriteFeatures(uint8_t* out, size_t& size, const MatchData& view, bool fit, bool templ,
                          uint16_t ftrCode, const void* options);

// What ReadFeatures learnt of the record besides the view.
struct OwnRecordInfo {
    uint16_t word = 0;   // header word in host order after byte-order detection
    size_t length = 0;   // header, body and marker
};

// Reads one record into `view` and checks that it covers `purpose`.
RecogResult ReadFeatures(const uint8_t* data, size_t size, MatchData& view, uint32_t purpose,
                         const void* options, bool templ, OwnRecordInfo* info = nullptr);

// Own records back to back, while each says another view follows and the template has room.
RecogResult ReadFeatureViews(const uint8_t* data, size_t size, FpTemplate& views, uint32_t purpose,
                             const void* options);

// Writes every view back to back, header word 0xF800 for all but the last. `size` is the total
// capacity on entry (with `fit` shared out evenly among the views still to write, else each may
// use all that is left) and the sum of the records on return. After a view that does not fit the
// rest are only measured. No views: 0x8007054F.
RecogResult WriteFeatureViews(uint8_t* out, size_t& size, const FpTemplate& views, bool fit, const void* options);

}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded
