// Flash file system layout: geometry rows, page CRCs, the format version check and path names.
#include "platform/crypto/crypto.h"
#include "tcs/flashfs/fss_internal.h"

#include <string.h>

namespace fssdetail {

namespace {

constexpr GeometryRow fssFlashInfoTable[] = {
    {65536, 32768, 256, 0},     {131072, 32768, 256, 0},    {262144, 65536, 256, 1},
    {524288, 65536, 256, 1},    {1048576, 65536, 256, 1},   {2097152, 65536, 256, 2},
    {4194304, 131072, 256, 3},  {8388608, 65536, 256, 6},   {16777216, 65536, 256, 6},
};

constexpr uint32_t kCrc32 = 11;

bool badNameChar(unsigned char c) {
    return c < 32 || c == 0xE5 || strchr("\"*+,/:;<=>?[\\]|", c) != nullptr;
}

}  // namespace

const GeometryRow* findGeometry(uint32_t capacity) {
    for (const GeometryRow& row : fssFlashInfoTable) {
        if (row.capacity == capacity) return &row;
    }
    return nullptr;
}

uint32_t crcContinue(uint32_t start, const uint8_t* data, uint32_t length) {
    uint32_t out = 0;
    palCryptoChecksum(start, &out, data, length, kCrc32);
    return out;
}

uint32_t pageCrc(const uint8_t* page, uint8_t type) {
    if (type == kPageDataType) {
        return crcContinue(crcContinue(0, page + kDataData, kPageSize - kDataData), page + kDataInode, 4);
    }
    if (type == kNodeDir) return crcContinue(0, page + kMetaTime, kMetaData - kMetaTime);
    // File meta pages, also the mount cache file's (type 0).
    return crcContinue(crcContinue(0, page + kMetaData, kMetaCapacity), page + kMetaTime, kMetaData - kMetaTime);
}

TcsResult checkVersion(const uint8_t* first26) {
    const uint8_t* v = first26 + kHdrVersion;
    const uint16_t w = fssReadShort_a(v + 2);
    if (w == 0x55AA) return v[0] == kFormatVersion[0] ? TCS_RESULT_OK : FSS_RESULT_BAD_VERSION;
    if (v[0] == 0xFF && v[1] == 0xFF && v[2] == 0xFF && v[3] == 0xFF) return TCS_RESULT_OK;
    const uint8_t* id = first26 + 8;
    if (w == 0 && id[0] == 0xFF && id[1] == 0xFF && id[2] == 0xFF && id[3] == 0xFF) {
        return v[0] == kFormatVersion[0] ? TCS_RESULT_OK : FSS_RESULT_BAD_VERSION;
    }
    return FSS_RESULT_UNKNOWN_FORMAT;
}

TcsResult splitPath(const char* path, SplitPath* out) {
    const size_t length = strnlen(path, kMaxPath + 1);
    if (length == 0 || length > kMaxPath) return TCS_RESULT_BAD_PARAM;
    out->count = 0;
    const char* p = path;
    while (*p != '\0') {
        if (*p == '/') {
            ++p;
            continue;
        }
        const char* end = p;
        while (*end != '\0' && *end != '/') ++end;
        const size_t n = size_t(end - p);
        if (out->count == kMaxComponents || n > kMaxName) return FSS_RESULT_BAD_NAME;
        for (size_t i = 0; i < n; ++i) {
            if (badNameChar(static_cast<unsigned char>(p[i]))) return FSS_RESULT_BAD_NAME;
        }
        memcpy(out->parts[out->count], p, n);
        out->parts[out->count][n] = '\0';
        ++out->count;
        p = end;
    }
    return out->count == 0 ? FSS_RESULT_BAD_NAME : TCS_RESULT_OK;
}

}  // namespace fssdetail
