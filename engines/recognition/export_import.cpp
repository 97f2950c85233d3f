// Export and import: format codes to the record writers and readers of feature sets, templates and
// alignment data, and the flat RecogExport and RecogImport entry points.
#include <string.h>

#include <algorithm>

#include "engines/recognition/alignment_data.h"
#include "engines/recognition/objects.h"
#include "engines/recognition/own_record.h"
#include "engines/recognition/rarovura.h"
#include "engines/recognition/recog_records.h"
#include "engines/recognition/std_record.h"

namespace DurodudUrodera::FpRecEngineImpl {
namespace {

using namespace Embedded;

constexpr uint32_t kFtrCodeSingle = 0xFFFFE800;  // a single own block, no further view
constexpr size_t kFittedFeatureSet = 600;
constexpr size_t kFittedTemplate = 1640;
constexpr size_t kSmallestFittedTemplateBuffer = 1232;
constexpr uint32_t kPurposeBits = RECOG_PURPOSE_ENROLL | RECOG_PURPOSE_VERIFY | RECOG_PURPOSE_IDENTIFY |
                                  RECOG_PURPOSE_ANY_OF;

enum class Kind { None, FeatureSet, Template, Alignment };

Kind kindOf(uint32_t format) {
    switch (format) {
        case RECOG_FORMAT_ANSI_FEATURE_SET: case RECOG_FORMAT_ANSI_FEATURE_SET_OWN:
        case RECOG_FORMAT_ISO_FEATURE_SET: case RECOG_FORMAT_ISO_FEATURE_SET_OWN:
        case RECOG_FORMAT_FEATURE_SET: case RECOG_FORMAT_FEATURE_SET_FITTED:
        case RECOG_FORMAT_FEATURE_SET_KEYED: case RECOG_FORMAT_RAROVURA_FEATURE_SET:
            return Kind::FeatureSet;
        case RECOG_FORMAT_ANSI_TEMPLATE: case RECOG_FORMAT_ANSI_TEMPLATE_OWN:
        case RECOG_FORMAT_ISO_TEMPLATE: case RECOG_FORMAT_ISO_TEMPLATE_OWN:
        case RECOG_FORMAT_TEMPLATE: case RECOG_FORMAT_TEMPLATE_FITTED:
        case RECOG_FORMAT_TEMPLATE_KEYED: case RECOG_FORMAT_RAROVURA_TEMPLATE:
            return Kind::Template;
        case RECOG_FORMAT_ALIGNMENT:
            return Kind::Alignment;
        default:
            return Kind::None;
    }
}

bool isIso(uint32_t format) { return (format >> 16) == 0x0101; }
bool withOwnFeatures(uint32_t format) { return (format & 0x7FFF) == 2; }

}  // namespace

RecogResult FpFtrSetObj::Export(uint32_t format, const void* options, uint8_t* buffer, size_t& size) const {
    size_t n = buffer ? size : SIZE_MAX;
    RecogResult status;
    switch (format) {
        case RECOG_FORMAT_ANSI_FEATURE_SET: case RECOG_FORMAT_ANSI_FEATURE_SET_OWN:
            status = AnsiFmdSerializer().SerializeFeatureSet(buffer, n, view, options, withOwnFeatures(format),
                                                             kFtrCodeSingle);
            break;
        case RECOG_FORMAT_ISO_FEATURE_SET: case RECOG_FORMAT_ISO_FEATURE_SET_OWN:
            status = IsoFmdSerializer().SerializeFeatureSet(buffer, n, view, options, withOwnFeatures(format),
                                                            kFtrCodeSingle);
            break;
        case RECOG_FORMAT_FEATURE_SET:
            status = WriteFeatures(buffer, n, view, false, false, kFtrCodeLast, options);
            break;
        case RECOG_FORMAT_FEATURE_SET_FITTED: case RECOG_FORMAT_FEATURE_SET_KEYED: {
            if (format == RECOG_FORMAT_FEATURE_SET_KEYED && options == nullptr) return RECOG_E_INVALID_ARG;
            // An enrollment view needs more room than a probe to keep enough minutiae.
            const size_t least = (view.purpose & RECOG_PURPOSE_ENROLL) ? 317 : 217;
            if (buffer == nullptr || size <= least) {
                n = kFittedFeatureSet;
                status = WriteFeatures(nullptr, n, view, true, false, kFtrCodeLast, options);
                if (buffer != nullptr && status >= 0) status = RECOG_E_BUFFER_TOO_SMALL;
            } else {
                n = std::min(size, kFittedFeatureSet);
                status = WriteFeatures(buffer, n, view, true, false, kFtrCodeLast, options);
            }
            break;
        }
        case RECOG_FORMAT_RAROVURA_FEATURE_SET:
            status = WriteRarovuraFeatureSet(buffer, n, view);
            break;
        default:
            return RECOG_E_INVALID_ARG;
    }
    if (status == RECOG_OK || status == RECOG_E_BUFFER_TOO_SMALL) size = n;
    return status;
}

RecogResult FpTemplateObj::Export(uint32_t format, const void* options, uint8_t* buffer, size_t& size) const {
    size_t n = buffer ? size : SIZE_MAX;
    RecogResult status;
    switch (format) {
        case RECOG_FORMAT_ANSI_TEMPLATE: case RECOG_FORMAT_ANSI_TEMPLATE_OWN:
            status = AnsiFmdSerializer().SerializeTemplate(buffer, n, views, options, withOwnFeatures(format));
            break;
        case RECOG_FORMAT_ISO_TEMPLATE: case RECOG_FORMAT_ISO_TEMPLATE_OWN:
            status = IsoFmdSerializer().SerializeTemplate(buffer, n, views, options, withOwnFeatures(format));
            break;
        case RECOG_FORMAT_TEMPLATE:
            status = WriteFeatureViews(buffer, n, views, false, options);
            break;
        case RECOG_FORMAT_TEMPLATE_FITTED: case RECOG_FORMAT_TEMPLATE_KEYED:
            if (format == RECOG_FORMAT_TEMPLATE_KEYED && options == nullptr) return RECOG_E_INVALID_ARG;
            if (buffer == nullptr || size < kSmallestFittedTemplateBuffer) {
                n = kFittedTemplate;
                status = WriteFeatureViews(nullptr, n, views, true, options);
                if (buffer != nullptr && status >= 0) status = RECOG_E_BUFFER_TOO_SMALL;
            } else {
                n = std::min(size, kFittedTemplate);
                status = WriteFeatureViews(buffer, n, views, true, options);
            }
            break;
        case RECOG_FORMAT_RAROVURA_TEMPLATE:
            status = WriteRarovuraTemplate(buffer, n, views);
            break;
        default:
            return RECOG_E_INVALID_ARG;
    }
    if (status == RECOG_OK || status == RECOG_E_BUFFER_TOO_SMALL) size = n;
    return status;
}

namespace {

RecogResult readStandard(const uint8_t* data, size_t size, uint32_t format, uint32_t purpose, const void* options,
                         bool templateViews, FpTemplate& views) {
    const bool own = withOwnFeatures(format);
    if (isIso(format)) return IsoFmdDeserializer(data, size, own, templateViews, purpose).DeserializeTemplate(views, options);
    return AnsiFmdDeserializer(data, size, own, templateViews, purpose).DeserializeTemplate(views, options);
}

}  // namespace

RecogResult FpFtrSetObj::Import(const uint8_t* data, size_t size, uint32_t format, uint32_t purpose,
                                const void* options) {
    switch (format) {
        case RECOG_FORMAT_FEATURE_SET: case RECOG_FORMAT_FEATURE_SET_FITTED: case RECOG_FORMAT_FEATURE_SET_KEYED:
            return ReadFeatures(data, size, view, purpose, options, false);
        case RECOG_FORMAT_RAROVURA_FEATURE_SET:
            return ReadRarovuraFeatureSet(data, size, view, purpose);
        case RECOG_FORMAT_ANSI_FEATURE_SET: case RECOG_FORMAT_ANSI_FEATURE_SET_OWN:
        case RECOG_FORMAT_ISO_FEATURE_SET: case RECOG_FORMAT_ISO_FEATURE_SET_OWN: {
            FpTemplate views;
            const RecogResult status = readStandard(data, size, format, purpose, options, false, views);
            if (status >= 0 && !views.empty()) view = views[0];  // no view: an empty feature set
            return status;
        }
        default:
            return RECOG_E_INVALID_ARG;
    }
}

RecogResult FpTemplateObj::Import(const uint8_t* data, size_t size, uint32_t format, uint32_t purpose,
                                  const void* options) {
    switch (format) {
        case RECOG_FORMAT_TEMPLATE_KEYED:
            if (options == nullptr) return RECOG_E_INVALID_ARG;
            [[fallthrough]];
        case RECOG_FORMAT_TEMPLATE: case RECOG_FORMAT_TEMPLATE_FITTED:
            return ReadFeatureViews(data, size, views, purpose, options);
        case RECOG_FORMAT_RAROVURA_TEMPLATE:
            return ReadRarovuraTemplate(data, size, views, purpose);
        case RECOG_FORMAT_ANSI_TEMPLATE: case RECOG_FORMAT_ANSI_TEMPLATE_OWN:
        case RECOG_FORMAT_ISO_TEMPLATE: case RECOG_FORMAT_ISO_TEMPLATE_OWN:
            return readStandard(data, size, format, purpose, options, true, views);
        default:
            return RECOG_E_INVALID_ARG;
    }
}

namespace {

template <class T>
RecogResult exportObject(RecogHandle handle, uint32_t format, const void* options, uint8_t* buffer,
                         uint32_t* size) {
    Ptr<T> object(handle, false);
    if (!object) return RECOG_E_HANDLE;
    const uint32_t capacity = *size;
    size_t n = capacity;
    const RecogResult status = object->Export(format, options, buffer, n);
    *size = uint32_t(std::min<size_t>(n, UINT32_MAX));
    // A failed export leaves nothing of a partial record in the caller's buffer.
    if (status < 0 && buffer != nullptr) memset(buffer, 0, capacity);
    return status;
}

}  // namespace
}  // namespace DurodudUrodera::FpRecEngineImpl

using namespace DurodudUrodera::FpRecEngineImpl;

extern "C" RecogResult RecogExport(RecogHandle handle, uint32_t format, void* buffer, uint32_t* size) {
    return RecogExportEx(handle, format, nullptr, buffer, size);
}

extern "C" RecogResult RecogExportEx(RecogHandle handle, uint32_t format, const void* options, void* buffer,
                                     uint32_t* size) {
    if (size == nullptr) return RECOG_E_INVALID_ARG;
    auto* out = static_cast<uint8_t*>(buffer);
    switch (kindOf(format)) {
        case Kind::FeatureSet:
            return exportObject<FpFtrSetObj>(handle, format, options, out, size);
        case Kind::Template:
            return exportObject<FpTemplateObj>(handle, format, options, out, size);
        case Kind::Alignment:
            return exportObject<AlignmentDataObj>(handle, format, options, out, size);
        default:
            return RECOG_E_INVALID_ARG;
    }
}

extern "C" RecogResult RecogImport(RecogHandle context, const void* data, uint32_t size, uint32_t format,
                                   uint32_t purpose, RecogHandle* out) {
    return RecogImportEx(context, data, size, format, purpose, nullptr, out);
}

extern "C" RecogResult RecogImportEx(RecogHandle context, const void* data, uint32_t size, uint32_t format,
                                     uint32_t purpose, const void* options, RecogHandle* out) {
    if (data == nullptr || out == nullptr || (purpose & ~kPurposeBits) != 0) return RECOG_E_INVALID_ARG;
    Ptr<Context> owner(context, false);
    if (!owner) return RECOG_E_HANDLE;
    const auto* bytes = static_cast<const uint8_t*>(data);
    switch (kindOf(format)) {
        case Kind::Alignment:
            return createWithHandle<AlignmentDataObj>(*owner, true, out, [&](AlignmentDataObj& a) {
                return a.Import(bytes, size, format, purpose, options);
            });
        case Kind::Template:
            return createWithHandle<FpTemplateObj>(*owner, true, out, [&](FpTemplateObj& t) {
                return t.Import(bytes, size, format, purpose, options);
            });
        case Kind::FeatureSet:
            return createWithHandle<FpFtrSetObj>(*owner, true, out, [&](FpFtrSetObj& s) {
                return s.Import(bytes, size, format, purpose, options);
            });
        default:
            return RECOG_E_INVALID_ARG;
    }
}
