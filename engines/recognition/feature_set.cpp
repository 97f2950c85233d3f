// Feature-set creation: finger image records (ANSI 381, ISO 19794-4, the engine's own) to feature sets.
#include <string.h>

#include <type_traits>

#include "engines/recognition/extraction.h"
#include "engines/recognition/objects.h"
#include "engines/recognition/recog.h"
#include "platform/usb_ids.h"

namespace DurodudUrodera::FpRecEngineImpl {
namespace {

using Embedded::FeatureExtractionBase;

constexpr size_t kAnsiHeader = 50;
constexpr size_t kIsoHeader = 46;
constexpr size_t kOwnHeader = 112;

uint32_t be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
uint32_t be32(const uint8_t* p) { return be16(p) << 16 | be16(p + 2); }
uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint64_t le64(const uint8_t* p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }

bool resolutionInRange(uint32_t r) { return r >= 300 && r <= 1000; }

// At most 1.6 inch across and 1.5 inch down; signed 32-bit division as the stored records expect.
bool sizeWithinLimits(uint32_t width, uint32_t height, uint32_t resX, uint32_t resY) {
    return int32_t(width * 1000) / int32_t(resX) < 1601 && int32_t(height * 1000) / int32_t(resY) <= 1500;
}

// The record's image as the pipeline needs it.
struct ParsedImage {
    size_t pixelOffset = 0;
    uint32_t width = 0, height = 0;
    uint16_t resolution = 0;
    uint8_t sensorType = 0;
};

uint8_t sensorTypeFromCbeff(uint32_t productId, uint32_t deviceId) {
    if ((productId & 0xFFFFFF00u) == 0x0033FE00u) return uint8_t(productId);
    const uint32_t owner = productId >> 16, type = productId & 0xFFFF;
    if (owner == 0x0012) {
        if (type == 0x0100) return 175;
        if (type == 0x0300) return 165;
        if (type == 0) {
            const uint32_t low = deviceId & 0xFFF;
            return low == 0x100 ? 175 : low == 0x300 ? 165 : 0;
        }
        return 0;
    }
    return owner == 0x0042 ? 191 : 0;
}

// ANSI 381 (iso = false) and ISO 19794-4 records: the same fields, ISO without the 4-byte CBEFF
// product identifier. Returns false when any header rule fails.
bool parseStandard(const uint8_t* d, size_t size, bool iso, ParsedImage& img) {
    const size_t header = iso ? kIsoHeader : kAnsiHeader;
    if (size < header) return false;
    const int shift = iso ? -4 : 0;
    const uint8_t* f = d + 18 + shift;  // fields from the capture device identifier on
    if (memcmp(d, "FIR\0", 4) != 0) return false;
    const uint64_t recordLength = uint64_t(be16(d + 8)) << 32 | be32(d + 10);
    const uint32_t blockLength = be32(f + 18);
    const uint32_t width = be16(f + 27), height = be16(f + 29);
    if (recordLength > size || recordLength < uint64_t(blockLength) + (iso ? 32 : 36)) return false;
    if (!iso && (be32(d + 14) >> 16) == 0) return false;  // CBEFF owner 0
    if (f[4] != 1) return false;                         // number of fingers
    const uint8_t units = f[5];
    if (units != 1 && units != 2) return false;
    uint32_t res[4];
    for (int i = 0; i < 4; ++i) {
        res[i] = be16(f + 6 + 2 * i);
        if (units == 2) res[i] = uint16_t(res[i] * 254 / 100);
        if (!resolutionInRange(res[i])) return false;
    }
    if (res[2] != res[3]) return false;
    if (f[14] != 8 || f[15] != 0) return false;  // depth, compression
    if (blockLength > size || uint64_t(blockLength) < uint64_t(width) * height + 14) return false;
    if (f[22] > 10 || f[23] != 1 || f[24] != 1) return false;  // position, view count, view number
    if (!sizeWithinLimits(width, height, res[2], res[2])) return false;
    img.pixelOffset = header;
    img.width = width;
    img.height = height;
    img.resolution = uint16_t(res[2]);
    img.sensorType = iso ? 0 : sensorTypeFromCbeff(be32(d + 14), be16(d + 18));
    return true;
}

struct DeviceRange {
    uint64_t first, last;
    uint8_t code;
};

// Capture-device identifiers of the own record: vendor in bits 32-47, product in 16-31, revision
// in 0-15, in some entries a further byte in 48-55.
constexpr uint64_t dev(uint64_t vendor, uint64_t product, uint64_t revision = 0) {
    return vendor << 32 | product << 16 | revision;
}
constexpr DeviceRange kDevices[] = {
    {0x000005BA00010104, 0x000005BA00010104, 1},
    {0x000005BA00020100, 0x000005BA00020100, 2}, {0x000005BA00020103, 0x000005BA00020103, 2},
    {0x000005BA00020105, 0x000005BA00020105, 2},
    {0x000005BA00020201, 0x000005BA00020202, 4},
    {0x000005BA00070100, 0x000005BA00070101, 5}, {0x000005BA00070110, 0x000005BA00070111, 5},
    {0x000005BA00078100, 0x000005BA00078101, 5}, {0x000005BA00078110, 0x000005BA00078111, 5},
    {0x000005BA00030200, 0x000005BA00030200, 7}, {0x000005BA00030300, 0x000005BA00030300, 7},
    {0x000005BA01030200, 0x000005BA01030200, 7}, {0x000005BA02030200, 0x000005BA02030200, 7},
    {0x000005BA03030200, 0x000005BA03030200, 7},
    {0x000005BA00080100, 0x000005BA00080100, 8}, {0x000005BA00080110, 0x000005BA00080110, 8},
    {0x000005BA00088100, 0x000005BA00088100, 8}, {0x000005BA00088110, 0x000005BA00088110, 8},
    {0x000005BA00090100, 0x000005BA00090100, 8}, {0x000005BA00090110, 0x000005BA00090110, 8},
    {0x000005BA00098100, 0x000005BA00098100, 8}, {0x000005BA00098110, 0x000005BA00098110, 8},
    {0x000005BA000A0100, 0x000005BA000A0101, 8}, {0x000005BA000A0110, 0x000005BA000A0111, 8},
    {0x000005BA000A8100, 0x000005BA000A8101, 8}, {0x000005BA000A8110, 0x000005BA000A8111, 8},
    {0x000003EE26000100, 0x000003EE26000100, 9},
    {0x0000048320160000, 0x0000048320160000, 175}, {0x0000147E10000000, 0x0000147E10000000, 175},
    {0x0000147E10010000, 0x0000147E10010000, 175}, {0x0000147E20160000, 0x0000147E20160000, 175},
    {0x00AF05BA00000000, 0x00AF05BA00000000, 175},
    {0x000008FF16000000, 0x000008FF16000000, 190}, {0x00AA08FF00000000, 0x00AA08FF00000000, 190},
    {dev(0x08FF, 0x2500), dev(0x08FF, 0x250F), 191}, {dev(0x08FF, 0x2580), dev(0x08FF, 0x2580), 191},
    {dev(0x08FF, 0x2588), dev(0x08FF, 0x258F), 191}, {0x00AB08FF00000000, 0x00AB08FF00000000, 191},
    {0x000008FF28100000, 0x000008FF28100000, 196},
    {dev(0x08FF, 0x5700), dev(0x08FF, 0x5707), 197}, {dev(0x08FF, 0x5710), dev(0x08FF, 0x5717), 197},
    {dev(0x08FF, 0x5730), dev(0x08FF, 0x5737), 197},
    {dev(TOV_USB_VENDOR_ID, TOV_USB_PID_DEFAULT), dev(TOV_USB_VENDOR_ID, TOV_USB_PID_DEFAULT), 200},
};

// 0 when the identifier is not in the table (0 is also "unknown").
uint8_t lookupDevice(uint64_t id) {
    for (const DeviceRange& r : kDevices)
        if (id >= r.first && id <= r.last) return r.code;
    return 0;
}

bool parseOwn(const uint8_t* d, size_t size, ParsedImage& img) {
    if (size < kOwnHeader) return false;
    uint32_t v[25];
    uint64_t secondary = 0, primary = 0;
    // Fields 4 and 5 (offsets 16 and 24) are the 64-bit device identifiers; the word at 108 is unread.
    for (int i = 0, off = 0; i < 25; ++i) {
        if (i == 4) {
            secondary = le64(d + off);
            off += 8;
            v[i] = 0;
        } else if (i == 5) {
            primary = le64(d + off);
            off += 8;
            v[i] = 0;
        } else {
            v[i] = le32(d + off);
            off += 4;
        }
    }
    // v[k] for k >= 6 lies at offset 32 + 4 * (k - 6).
    auto at = [&](int offset) { return v[6 + (offset - 32) / 4]; };
    const uint32_t length = v[0];
    if (length > size) return false;
    const uint32_t width = uint16_t(at(64)), height = uint16_t(at(68));
    if (uint64_t(length) < uint64_t(width) * height + kOwnHeader) return false;
    if (v[1] != 0 || v[2] != 1 || v[3] != 0) return false;
    if (at(32) != 100 || at(36) != 0 || at(40) != kOwnHeader) return false;
    if (at(56) != 1 || at(60) != 2) return false;
    const uint32_t resX = at(72), resY = at(76);
    if (!resolutionInRange(resX) || !resolutionInRange(resY)) return false;
    if (at(80) != 8 || at(84) != 2 || at(92) != 2 || at(96) != 0 || at(100) != 1 || at(104) != 0) return false;
    if (!sizeWithinLimits(width, height, resX, resY)) return false;
    img.pixelOffset = kOwnHeader;
    img.width = width;
    img.height = height;
    img.resolution = uint16_t(resX);
    uint8_t code = lookupDevice(primary);
    if (code == 0) code = lookupDevice(secondary);
    img.sensorType = code;
    return true;
}

template <class Impl>
RecogResult createFeatureSet(RecogHandle contextHandle, uint8_t* data, size_t size, uint32_t format,
                             uint32_t purpose, uint32_t flags, RecogHandle* out) {
    constexpr bool inPlace = std::is_same_v<Impl, Embedded::FeatureExtractionInPlace>;
    if (data == nullptr || out == nullptr) return RECOG_E_INVALID_ARG;
    if ((purpose & 0x7FFFFFF8u) != 0 || (flags & 3u) == 3u) return RECOG_E_INVALID_ARG;
    if ((purpose & 7u) == 0) return RECOG_E_INVALID_ARG;  // refused before anything is allocated
    Ptr<Context> context(contextHandle, false);
    if (!context) return RECOG_E_HANDLE;

    using Job = FeatureExtractionObj<Impl>;
    Ptr<Job> job(newObject<Job>(*context));
    if (!job) return RECOG_E_OUT_OF_MEMORY;
    FeatureExtractionBase& base = job->base;
    base.parameters = &context->extractionParameters.impl;

    return createWithHandle<FpFtrSetObj>(*context, false, out, [&](FpFtrSetObj& set) -> RecogResult {
        if (format != RECOG_FORMAT_ANSI_381 && format != RECOG_FORMAT_ISO_19794_4 &&
            format != RECOG_FORMAT_OWN_IMAGE)
            return RECOG_E_INVALID_ARG;
        ParsedImage img;
        const bool ok = format == RECOG_FORMAT_OWN_IMAGE ? parseOwn(data, size, img)
                                                         : parseStandard(data, size, format == RECOG_FORMAT_ISO_19794_4, img);
        if (!ok) return RECOG_E_IMAGE_REJECTED;
        base.pixels = data + img.pixelOffset;
        base.width = img.width;
        base.height = img.height;
        base.pixelCount = uint64_t(img.width) * img.height;
        base.resolution = img.resolution;
        base.sensorType = img.sensorType;
        if (inPlace && img.resolution < 362) return RECOG_E_IMAGE_REJECTED;
        uint8_t* work;
        size_t workSize;
        if constexpr (inPlace) {
            work = data;
            workSize = size;
        } else {
            work = job->impl.workArea;
            workSize = sizeof job->impl.workArea;
        }
        job->output = &set.view;
        job->result = base.ExtractMinutia(base.pixels, work, workSize, purpose, flags, *job->output);
        return job->result;
    });
}

}  // namespace
}  // namespace DurodudUrodera::FpRecEngineImpl

using namespace DurodudUrodera::FpRecEngineImpl;

extern "C" RecogResult RecogCreateFeatureSet(RecogHandle context, const void* data, size_t size, uint32_t format,
                                             uint32_t purpose, uint32_t flags, RecogHandle* out) {
    // The ordinary variant never writes the record: the pipeline copies it into the job's work area.
    return createFeatureSet<Embedded::FeatureExtraction>(context, static_cast<uint8_t*>(const_cast<void*>(data)),
                                                         size, format, purpose, flags, out);
}

extern "C" RecogResult RecogCreateFeatureSetInPlace(RecogHandle context, void* data, size_t size, uint32_t format,
                                                    uint32_t purpose, uint32_t flags, RecogHandle* out) {
    return createFeatureSet<Embedded::FeatureExtractionInPlace>(context, static_cast<uint8_t*>(data), size, format,
                                                                purpose, flags, out);
}
