// Rarovura records: fixed prefix and suffix around fitted own records, and the DER walk back to them.
#include "engines/recognition/rarovura.h"

#include <string.h>

#include "engines/recognition/der.h"
#include "engines/recognition/own_record.h"
#include "engines/recognition/streams.h"

namespace DurodudUrodera::FpRecEngineImpl::Embedded {
namespace {

constexpr size_t kPrefixSize = 74;
constexpr size_t kSuffixSize = 79;
constexpr size_t kKindByte = 69;
constexpr size_t kFeatureSetSpace = 318;
constexpr size_t kTemplateSpace = 1632;

constexpr uint8_t kFeatureSetPrefix[kPrefixSize] = {
    0x30, 0x82, 0x02, 0x54, 0x30, 0x82, 0x01, 0xBD, 0x04, 0x82, 0x01, 0x84, 0x30, 0x82, 0x01, 0x80,
    0x30, 0x34, 0x30, 0x2F, 0x02, 0x01, 0x03, 0x02, 0x01, 0x02,
    0x04, 0x10, 0x2E, 0x04, 0x42, 0x6B, 0xCF, 0xE7, 0x40, 0xB6, 0xBC, 0x37, 0xD4, 0x66, 0x21, 0xC8, 0xCF, 0x62,
    0x04, 0x10, 0x47, 0x9D, 0x6A, 0xD1, 0xB9, 0xA8, 0x11, 0xD2, 0xA7, 0xA7, 0x00, 0x40, 0x33, 0x9F, 0x13, 0x17,
    0x02, 0x03, 0x02, 0x00, 0x00, 0x02, 0x01, 0x02, 0x04, 0x82, 0x01, 0x3E};

constexpr uint8_t kTemplatePrefix[kPrefixSize] = {
    0x30, 0x82, 0x07, 0x76, 0x30, 0x82, 0x06, 0xDF, 0x04, 0x82, 0x06, 0xA6, 0x30, 0x82, 0x06, 0xA2,
    0x30, 0x34, 0x30, 0x2F, 0x02, 0x01, 0x03, 0x02, 0x01, 0x02,
    0x04, 0x10, 0xA6, 0xFA, 0x3B, 0x79, 0x33, 0x62, 0x4C, 0x88, 0xB5, 0xF9, 0x42, 0x14, 0xC0, 0x07, 0xBC, 0x6C,
    0x04, 0x10, 0x47, 0x9D, 0x6A, 0xD1, 0xB9, 0xA8, 0x11, 0xD2, 0xA7, 0xA7, 0x00, 0x40, 0x33, 0x9F, 0x13, 0x17,
    0x02, 0x03, 0x02, 0x00, 0x00, 0x02, 0x01, 0x01, 0x04, 0x82, 0x06, 0x60};

// Two INTEGER 0, an empty OCTET STRING, two BIT STRINGs, the time, the algorithm, the signature's header.
constexpr uint8_t kSuffixHead[8 + 19 + 19] = {
    0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x04, 0x00,
    0x03, 0x11, 0x00, 0xAB, 0x55, 0x23, 0xC9, 0x80, 0xE7, 0x47, 0x3F, 0xA8, 0x85, 0x61, 0x9E, 0xD0, 0x19, 0x31, 0x6F,
    0x03, 0x11, 0x00, 0xA1, 0xC2, 0x11, 0x00, 0xCA, 0xA1, 0x11, 0xD2, 0x8B, 0x02, 0x00, 0x90, 0x27, 0x07, 0x50, 0xC4};
constexpr char kFeatureSetTime[] = "100227001018Z";
constexpr char kTemplateTime[] = "100223195647Z";
constexpr uint8_t kSuffixTail[15 + 3] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                         0x0D, 0x01, 0x01, 0x04, 0x05, 0x00, 0x03, 0x81, 0x81};
static_assert(sizeof kSuffixHead + 2 + 13 + sizeof kSuffixTail == kSuffixSize);
static_assert(kPrefixSize + kFeatureSetSpace + kSuffixSize + 129 == kRarovuraFeatureSetSize);
static_assert(kPrefixSize + kTemplateSpace + kSuffixSize + 129 == kRarovuraTemplateSize);

void writeFrame(uint8_t* out, const uint8_t* prefix, size_t space, const char* time) {
    memcpy(out, prefix, kPrefixSize);
    uint8_t* p = out + kPrefixSize + space;
    memcpy(p, kSuffixHead, sizeof kSuffixHead);
    p += sizeof kSuffixHead;
    *p++ = 0x17;
    *p++ = 0x0D;
    memcpy(p, time, 13);
    memcpy(p + 13, kSuffixTail, sizeof kSuffixTail);
}

// SEQUENCE, SEQUENCE, OCTET STRING, SEQUENCE; past the description SEQUENCE; the record space.
bool findRecordSpace(const uint8_t* data, size_t size, const uint8_t*& space, size_t& spaceSize) {
    Reader in(data, size, true);
    const uint8_t* limit = data + size;
    size_t length = 0;
    for (uint8_t tag : {0x30, 0x30, 0x04, 0x30}) {
        if (!readDerHeader(in, tag, limit, length)) return false;
        limit = in.current() + length;
    }
    if (!readDerHeader(in, 0x30, limit, length)) return false;
    in.seek(in.current() + length);
    if (!readDerHeader(in, 0x04, limit, length)) return false;
    space = in.current();
    spaceSize = length;
    return true;
}

}  // namespace

RecogResult WriteRarovuraFeatureSet(uint8_t* out, size_t& size, const MatchData& view) {
    const size_t capacity = size;
    size = kRarovuraFeatureSetSize;
    if (out == nullptr) return RECOG_OK;
    if (capacity < kRarovuraFeatureSetSize) return RECOG_E_BUFFER_TOO_SMALL;
    writeFrame(out, kFeatureSetPrefix, kFeatureSetSpace, kFeatureSetTime);
    out[kKindByte] = view.purpose == RECOG_PURPOSE_ENROLL ? 3 : 2;
    size_t space = kFeatureSetSpace;
    return WriteFeatures(out + kPrefixSize, space, view, true, false, kFtrCodeLast, nullptr);
}

RecogResult WriteRarovuraTemplate(uint8_t* out, size_t& size, const FpTemplate& views) {
    const size_t capacity = size;
    size = kRarovuraTemplateSize;
    if (out == nullptr) return RECOG_OK;
    if (capacity < kRarovuraTemplateSize) return RECOG_E_BUFFER_TOO_SMALL;
    writeFrame(out, kTemplatePrefix, kTemplateSpace, kTemplateTime);
    size_t space = kTemplateSpace;
    return WriteFeatureViews(out + kPrefixSize, space, views, true, nullptr);
}

RecogResult ReadRarovuraFeatureSet(const uint8_t* data, size_t size, MatchData& view, uint32_t purpose) {
    const uint8_t* space = nullptr;
    size_t spaceSize = 0;
    if (!findRecordSpace(data, size, space, spaceSize)) return RECOG_E_MALFORMED;
    return ReadFeatures(space, spaceSize, view, purpose, nullptr, false);
}

RecogResult ReadRarovuraTemplate(const uint8_t* data, size_t size, FpTemplate& views, uint32_t purpose) {
    const uint8_t* space = nullptr;
    size_t spaceSize = 0;
    if (!findRecordSpace(data, size, space, spaceSize)) return RECOG_E_MALFORMED;
    return ReadFeatureViews(space, spaceSize, views, purpose, nullptr);
}

}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded
