// DER elements as the record formats use them: a tag byte, a short or long length, the content.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "engines/recognition/streams.h"

namespace DurodudUrodera::FpRecEngineImpl::Embedded {

constexpr int kAnyDerTag = -1;

// Reads the header of an element with `tag` (or any tag) that must end by `limit`; on success the
// reader stands at the content and `length` is its size. Long lengths take 1 to 8 bytes.
inline bool readDerHeader(Reader& in, int tag, const uint8_t* limit, size_t& length) {
    const int found = in.getch();
    if (found < 0 || (tag != kAnyDerTag && found != tag)) return false;
    const int first = in.getch();
    if (first < 0) return false;
    uint64_t value = uint64_t(first);
    if (first >= 0x80) {
        const int bytes = first - 0x80;
        if (bytes == 0 || bytes > 8) return false;
        value = 0;
        for (int i = 0; i < bytes; ++i) {
            const int b = in.getch();
            if (b < 0) return false;
            value = value << 8 | uint64_t(b);
        }
    }
    if (in.current() > limit || value > uint64_t(limit - in.current())) return false;
    length = size_t(value);
    return true;
}

}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded
