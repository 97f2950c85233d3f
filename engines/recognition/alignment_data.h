// Alignment data objects: up to four geometric alignments, carried as a small DER record.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "engines/recognition/objects.h"
#include "engines/recognition/recog_records.h"

namespace DurodudUrodera::FpRecEngineImpl {

// A 2x2 matrix scaled by 4096 (4096 = 1.0) and a translation.
struct Alignment {
    int32_t a = 4096, b = 0, c = 0, d = 4096, tx = 0, ty = 0;
};

class AlignmentDataObj final : public TaggedObject {
public:
    static constexpr char kTag[] = "Alignmnt";
    static constexpr size_t kCapacity = 4;
    explicit AlignmentDataObj(Context& context) : TaggedObject(context, kTag) {}

    RecogResult Export(uint32_t format, const void* options, uint8_t* buffer, size_t& size) const;
    RecogResult Import(const uint8_t* data, size_t size, uint32_t format, uint32_t purpose, const void* options);

    Alignment alignments[kCapacity];
    uint64_t count = kCapacity;  // the capacity until an import sets the number read
};

}  // namespace DurodudUrodera::FpRecEngineImpl
