// Alignment record: SEQUENCE { INTEGER version, SEQUENCE { SEQUENCE { a, b, c, d, tx, ty } ... } }.
#include "engines/recognition/alignment_data.h"

#include <stdlib.h>
#include <string.h>

#include "engines/recognition/der.h"
#include "engines/recognition/streams.h"

namespace DurodudUrodera::FpRecEngineImpl {
namespace {

using Embedded::kAnyDerTag;
using Embedded::Reader;
using Embedded::readDerHeader;

constexpr uint8_t kSequence = 0x30, kInteger = 0x02;

// A DER record built front to back in a local buffer.
struct DerBuilder {
    uint8_t data[256];
    size_t size = 0;
    void put(uint8_t b) { data[size++] = b; }
    void putLength(size_t length) {
        if (length < 0x80) {
            put(uint8_t(length));
            return;
        }
        int bytes = 0;
        for (size_t v = length; v != 0; v >>= 8) ++bytes;
        put(uint8_t(0x80 + bytes));
        for (int i = bytes - 1; i >= 0; --i) put(uint8_t(length >> (8 * i)));
    }
    // Minimal two's complement, most significant byte first.
    void putInteger(int32_t value) {
        uint8_t bytes[4];
        for (int i = 0; i < 4; ++i) bytes[i] = uint8_t(uint32_t(value) >> (24 - 8 * i));
        int first = 0;
        while (first < 3 && ((bytes[first] == 0x00 && !(bytes[first + 1] & 0x80)) ||
                             (bytes[first] == 0xFF && (bytes[first + 1] & 0x80)))) {
            ++first;
        }
        put(kInteger);
        putLength(size_t(4 - first));
        for (int i = first; i < 4; ++i) put(bytes[i]);
    }
    // Wraps everything from `start` in an element with `tag`.
    void wrap(size_t start, uint8_t tag) {
        uint8_t content[256];
        const size_t length = size - start;
        memcpy(content, data + start, length);
        size = start;
        put(tag);
        putLength(length);
        memcpy(data + size, content, length);
        size += length;
    }
};

// An INTEGER of up to 4 significant bytes, sign-extended; longer contents must be zero-padded.
bool readInteger(Reader& in, const uint8_t* limit, int32_t& value) {
    size_t length = 0;
    if (!readDerHeader(in, kInteger, limit, length) || length == 0) return false;
    for (; length > 4; --length) {
        if (in.getch() != 0) return false;
    }
    const uint8_t* p = in.current();
    uint32_t v = (p[0] & 0x80) ? 0xFFFFFFFFu : 0;
    for (size_t i = 0; i < length; ++i) v = v << 8 | p[i];
    in.seek(p + length);
    value = int32_t(v);
    return true;
}

// Skips the elements left before `end` (records of a later version may carry more).
bool skipTo(Reader& in, const uint8_t* end) {
    while (in.current() < end) {
        size_t length = 0;
        if (!readDerHeader(in, kAnyDerTag, end, length)) return false;
        in.seek(in.current() + length);
    }
    return true;
}

// A plausible rotation with bounded scale: the matrix's norm within the context's bounds and the
// matrix close enough to a scaled rotation.
bool plausible(const Alignment& m, int64_t lower, int64_t upper) {
    if (abs(m.a) > 8192 || abs(m.b) > 8192 || abs(m.c) > 8192 || abs(m.d) > 8192) return false;
    const int64_t a = m.a, b = m.b, c = m.c, d = m.d;
    const int64_t s = a * a + b * b + c * c + d * d;
    if (s < lower || s > upper) return false;
    const int64_t p = (((b + c) * (b + c) + (a - d) * (a - d) + 2048) >> 12) *
                      (((b - c) * (b - c) + (a + d) * (a + d) + 2048) >> 12);
    const int64_t low = (s - lower + 2048) >> 12, high = (upper - s + 2048) >> 12;
    return p <= low * low && p <= high * high;
}

}  // namespace

RecogResult AlignmentDataObj::Export(uint32_t format, const void* /*options*/, uint8_t* buffer, size_t& size) const {
    if (format != RECOG_FORMAT_ALIGNMENT) return RECOG_E_INVALID_ARG;
    if (count == 0) return RECOG_E_NOTHING_TO_DO;
    DerBuilder der;
    der.putInteger(0);
    const size_t list = der.size;
    for (uint64_t i = 0; i < count && i < kCapacity; ++i) {
        const Alignment& m = alignments[i];
        const size_t start = der.size;
        for (int32_t v : {m.a, m.b, m.c, m.d, m.tx, m.ty}) der.putInteger(v);
        der.wrap(start, kSequence);
    }
    der.wrap(list, kSequence);
    der.wrap(0, kSequence);
    const size_t capacity = size;
    size = der.size;
    if (buffer == nullptr) return RECOG_OK;
    if (capacity < der.size) return RECOG_E_BUFFER_TOO_SMALL;
    memcpy(buffer, der.data, der.size);
    return RECOG_OK;
}

RecogResult AlignmentDataObj::Import(const uint8_t* data, size_t size, uint32_t /*format*/, uint32_t purpose,
                                     const void* /*options*/) {
    Reader in(data, size, true);
    size_t length = 0;
    int32_t version = 0;
    if (!readDerHeader(in, kSequence, data + size, length)) return RECOG_E_MALFORMED;
    const uint8_t* outerEnd = in.current() + length;
    if (!readInteger(in, outerEnd, version)) return RECOG_E_MALFORMED;
    if (!readDerHeader(in, kSequence, outerEnd, length)) return RECOG_E_MALFORMED;
    const uint8_t* listEnd = in.current() + length;

    const uint64_t capacity = count < kCapacity ? count : kCapacity;
    uint64_t read = 0;
    while (in.current() < listEnd && read < capacity) {
        if (!readDerHeader(in, kSequence, listEnd, length)) return RECOG_E_MALFORMED;
        const uint8_t* end = in.current() + length;
        Alignment& m = alignments[read++];
        for (int32_t* v : {&m.a, &m.b, &m.c, &m.d, &m.tx, &m.ty}) {
            if (!readInteger(in, end, *v)) return RECOG_E_MALFORMED;
        }
        if (version == 0 ? in.current() != end : !skipTo(in, end)) return RECOG_E_MALFORMED;
    }
    if (in.current() != listEnd) return RECOG_E_MALFORMED;  // a fifth alignment, or a partial element
    if (version == 0 ? in.current() != outerEnd : !skipTo(in, outerEnd)) return RECOG_E_MALFORMED;
    count = read;

    const int64_t lower = context().extractionParameters.alignmentNormLow;
    const int64_t upper = context().extractionParameters.alignmentNormHigh;
    for (uint64_t i = 0; i < count; ++i) {
        if (!plausible(alignments[i], lower, upper)) return RECOG_E_MALFORMED;
    }
    const bool allowed = (purpose & RECOG_PURPOSE_ANY_OF) ? (purpose & RECOG_PURPOSE_VERIFY) != 0
                                                          : purpose == RECOG_PURPOSE_VERIFY;
    return allowed ? RECOG_OK : RECOG_E_PURPOSE;
}

}  // namespace DurodudUrodera::FpRecEngineImpl
