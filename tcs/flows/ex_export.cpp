// Export of a user's templates as containers signed under the sensor family's global key, and
// their import on another host or after a database loss.
#include "platform/memory.h"
#include "platform/tag_value.h"
#include "tcs/database/dss_interface.h"
#include "tcs/database/dss_store.h"
#include "tcs/flows/ex_detail.h"
#include "tcs/sensorctl/secure/data_slots.h"
#include "tcs/sensorctl/protocol/print_defaults.h"
#include "tcs/sensorctl/ownership/secure_storage.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"

#include <cstring>
#include <memory>
#include <vector>

using namespace exflows;

namespace {

enum : uint16_t {
    kTagOrigin = 1,
    kTagSignature = 2,
    kTagTemplateSize = 51,
    kTagTemplateData = 52,
    kTagFinger = 53,
    kTagFeatures = 54,
    kTagProfileKind = 101,
    kTagProfileBytes = 102,
    kTagProfileExtraLength = 103,
    kTagProfileExtra = 104,
};
constexpr uint32_t kOriginWords = 6;  // firmware major, minor, flex id, three zeros
constexpr uint32_t kSignatureSize = 32;
constexpr uint32_t kProfileHeader = 20;  // {u32 size, u32 kind, 8 bytes, u32 extra length}
constexpr uint32_t kProfileBytes = 8;
constexpr uint32_t kFirstCapacity = 10;
// A container's length fields hold 16 bits.
constexpr uint32_t kMaxPropertyLength = 0xFFFF;

struct ContainerDeleter {
    void operator()(TagValueContainer* c) const { palTagValContainerUnInit(c); }
};
using Container = std::unique_ptr<TagValueContainer, ContainerDeleter>;

TcsResult newContainer(Container* out) {
    TagValueContainer* c = nullptr;
    const TcsResult result = palTagValContainerInit(&c);
    out->reset(c);
    return result;
}

TcsResult serialise(TagValueContainer* c, std::vector<uint8_t>* out) {
    uint32_t size = 0;
    TcsResult result = palTagValGetContainerDataAsBlob(c, &size, nullptr);
    if (result != TCS_RESULT_OK) return result;
    out->assign(size, 0);
    return palTagValGetContainerDataAsBlob(c, &size, out->data());
}

uint32_t wordAt(const std::vector<uint8_t>& bytes, size_t at) {
    uint32_t value = 0;
    if (at + 4 <= bytes.size()) std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

// Tags 101 to 104 from the template's profile {u32 size, u32 kind, 8 bytes, u32 extra length, extra}.
TcsResult addProfile(TagValueContainer* c, TcsHandle templ) {
    const uint32_t size = tcsTemplateGetASPProfileSize(templ);
    if (size == 0) return TCS_RESULT_OK;
    std::vector<uint8_t> profile(size);
    TcsResult result = tcsTemplateGetASPProfile(templ, profile.data(), size);
    if (result != TCS_RESULT_OK) return result;
    const uint32_t kind = wordAt(profile, 4);
    if (kind != 1 && kind != 2) return TCS_RESULT_NOT_IMPLEMENTED;
    uint8_t bytes[kProfileBytes] = {};
    if (size > 8) std::memcpy(bytes, profile.data() + 8, std::min<uint32_t>(kProfileBytes, size - 8));
    const uint32_t extraLength = wordAt(profile, 16);
    // Only what the profile holds is exported: one restored by an import keeps its extra length
    // without the extra bytes.
    const uint32_t extraHeld = size > kProfileHeader ? std::min(extraLength, size - kProfileHeader) : 0;
    if (extraHeld > kMaxPropertyLength) return TCS_RESULT_BAD_PARAM;
    result = palTagValSetDwordProperty(c, kTagProfileKind, kind);
    if (result == TCS_RESULT_OK) result = palTagValSetBlobDataProperty(c, kTagProfileBytes, 1, kProfileBytes, bytes);
    if (result == TCS_RESULT_OK && extraLength != 0) {
        result = palTagValSetDwordProperty(c, kTagProfileExtraLength, extraLength);
        if (result == TCS_RESULT_OK) {
            result = palTagValSetBlobDataProperty(c, kTagProfileExtra, 1, uint16_t(extraHeld),
                                                  extraHeld != 0 ? profile.data() + kProfileHeader : nullptr);
        }
    }
    return result;
}

// The signed container of one template, serialised into a buffer of the caller's.
TcsResult exportTemplate(TcsHandle templ, const uint32_t origin[kOriginWords], ExportedTemplate* out) {
    const uint32_t size = tcsTemplateGetDataSize(templ);
    // A length field keeps 16 bits: longer data would come back cut, so it is not exported at all.
    if (size > kMaxPropertyLength) return TCS_RESULT_BAD_PARAM;
    std::vector<uint8_t> data(size);
    TcsResult result = size != 0 ? tcsTemplateGetData(templ, data.data(), size) : TcsResult(TCS_RESULT_OK);
    Container c;
    if (result == TCS_RESULT_OK) result = newContainer(&c);
    if (result == TCS_RESULT_OK) {
        result = palTagValSetBlobDataProperty(c.get(), kTagOrigin, 4, kOriginWords * 4, origin);
    }
    if (result == TCS_RESULT_OK) result = addProfile(c.get(), templ);
    if (result == TCS_RESULT_OK) result = palTagValSetDwordProperty(c.get(), kTagTemplateSize, size);
    if (result == TCS_RESULT_OK) {
        result = palTagValSetBlobDataProperty(c.get(), kTagTemplateData, 1, uint16_t(size), data.data());
    }
    if (result == TCS_RESULT_OK) result = palTagValSetDwordProperty(c.get(), kTagFinger, tcsTemplateGetFinger(templ));
    if (result == TCS_RESULT_OK) {
        result = palTagValSetDwordProperty(c.get(), kTagFeatures, tcsTemplateGetFeatures(templ));
    }
    std::vector<uint8_t> bytes;
    uint8_t signature[kSignatureSize];
    if (result == TCS_RESULT_OK) result = serialise(c.get(), &bytes);
    if (result == TCS_RESULT_OK) result = scsSignByGSKGlobal(uint32_t(bytes.size()), bytes.data(), signature);
    if (result == TCS_RESULT_OK) {
        result = palTagValSetBlobDataProperty(c.get(), kTagSignature, 1, kSignatureSize, signature);
    }
    if (result == TCS_RESULT_OK) result = serialise(c.get(), &bytes);
    // The containers count running out of memory as 7; the flows' own code for it is 2.
    if (result == TCS_RESULT_INVALID) return TCS_RESULT_OUT_OF_MEMORY;
    if (result != TCS_RESULT_OK) return result;
    uint8_t* copy = callerCopy(bytes.data(), uint32_t(bytes.size()));
    if (copy == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    *out = ExportedTemplate{tcsTemplateGetFinger(templ), uint32_t(bytes.size()), copy};
    return TCS_RESULT_OK;
}

// The checks and walk that export, count and update check share: visit(sensor, enroll template)
// for each template of the user in database order.
template <class Visit>
TcsResult walkUser(TcsHandle sensorHandle, TcsHandle appStorage, const SizedBuffer* userId, bool outGiven,
                   bool determinePek, Visit visit) {
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorOf(sensorHandle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    DssAppStorage* storage = appStorageOf(appStorage);
    if (storage == nullptr || !given(userId) || !outGiven) return TCS_RESULT_NULL_POINTER;
    if (determinePek) {
        result = scsSensorDeterminePEKCapability(sensor->sensorControlSensor, storage->name);
        if (result != TCS_RESULT_OK) return result;
    }
    DbHandle user(tcsDatabaseCloseUser);
    result = GetUserHandleByUserID(storage, userId, user.out());
    if (result != TCS_RESULT_OK) return result;
    return forEachTemplate(user.get(), [&](DbHandle& dbTemplate, bool&) -> TcsResult {
        TemplateHandle templ;
        TcsResult r = tcsDatabaseExGetTemplateData(dbTemplate.get(), sensorHandle, templ.out());
        dbTemplate.reset();
        return r != TCS_RESULT_OK ? r : visit(sensor, templ.get());
    });
}

void freeExported(ExportedTemplate* list, uint32_t count) {
    for (uint32_t i = 0; list != nullptr && i < count; ++i) palRealFree(list[i].data);
    palRealFree(list);
}

// An imported container, checked and made into an enroll template.
TcsResult importTemplate(const ImportedTemplate& entry, const ScsFwVersion& version, TemplateHandle* out) {
    if (entry.data == nullptr || entry.size == 0) return TCS_RESULT_BAD_PARAM;
    Container c;
    TcsResult result = newContainer(&c);
    if (result != TCS_RESULT_OK) return result;
    // Bytes that do not even parse (a changed length field) are not what the key signed either.
    if (palTagValSetBlobAsContainerDataByRef(c.get(), entry.size, entry.data) != TCS_RESULT_OK) {
        return TCS_RESULT_NOT_SIGNED;
    }

    uint16_t length = 0;
    void* stored = nullptr;
    if (palTagValGetByteDataPropertyByRef(c.get(), kTagSignature, &length, &stored) != TCS_RESULT_OK) {
        return TCS_RESULT_NOT_SIGNED;
    }
    // Compared over the signature's whole size: a shorter tag 2 (an empty one compared over its own
    // length matched anything) or a longer one is no signature.
    if (length != kSignatureSize) return TCS_RESULT_NOT_SIGNED;
    uint8_t signature[kSignatureSize];
    std::memcpy(signature, stored, kSignatureSize);
    std::vector<uint8_t> rest;
    uint8_t expected[kSignatureSize];
    result = palTagValDeleteProperty(c.get(), kTagSignature);
    if (result == TCS_RESULT_OK) result = serialise(c.get(), &rest);
    if (result == TCS_RESULT_OK) result = scsSignByGSKGlobal(uint32_t(rest.size()), rest.data(), expected);
    if (result != TCS_RESULT_OK || std::memcmp(signature, expected, kSignatureSize) != 0) {
        return TCS_RESULT_NOT_SIGNED;
    }

    uint32_t origin[kOriginWords] = {};
    uint16_t originLength = sizeof origin;
    uint32_t size = 0, finger = 0, features = 0;
    void* data = nullptr;
    result = palTagValGetBlobDataProperty(c.get(), kTagOrigin, 4, &originLength, origin);
    if (result == TCS_RESULT_OK) result = palTagValGetDwordProperty(c.get(), kTagTemplateSize, &size);
    if (result == TCS_RESULT_OK) result = palTagValGetByteDataPropertyByRef(c.get(), kTagTemplateData, &length, &data);
    if (result == TCS_RESULT_OK) result = palTagValGetDwordProperty(c.get(), kTagFinger, &finger);
    if (result == TCS_RESULT_OK) result = palTagValGetDwordProperty(c.get(), kTagFeatures, &features);
    // The data is taken by its record's length; a size that disagrees with it is refused rather than
    // read past the record.
    if (result == TCS_RESULT_OK && size != length) result = TCS_RESULT_BAD_PARAM;
    if (result == TCS_RESULT_OK) result = tcsTemplateCreate(out->out(), data, length);
    if (result == TCS_RESULT_OK) result = tcsTemplateSetFinger(out->get(), finger);
    if (result == TCS_RESULT_OK) result = tcsTemplateSetFeatures(out->get(), features);
    if (result != TCS_RESULT_OK) return result;

    // The profile only belongs to templates made by the same firmware.
    uint32_t kind = 0;
    if (palTagValGetDwordProperty(c.get(), kTagProfileKind, &kind) != TCS_RESULT_OK) return TCS_RESULT_OK;
    if (origin[0] != version.major || origin[1] != version.minor || (kind != 1 && kind != 2)) return TCS_RESULT_OK;
    uint8_t profile[kProfileHeader] = {};
    uint16_t bytesLength = kProfileBytes;
    if (palTagValGetBlobDataProperty(c.get(), kTagProfileBytes, 1, &bytesLength, profile + 8) != TCS_RESULT_OK) {
        return TCS_RESULT_OK;
    }
    uint32_t extraLength = 0;
    palTagValGetDwordProperty(c.get(), kTagProfileExtraLength, &extraLength);
    const uint32_t total = kProfileHeader;
    std::memcpy(profile, &total, 4);
    std::memcpy(profile + 4, &kind, 4);
    std::memcpy(profile + 16, &extraLength, 4);
    return tcsTemplateSetASPProfile(out->get(), profile, sizeof profile);
}

}  // namespace

extern "C" {

TcsResult tcsExExportUserTemplates(TcsHandle sensorHandle, TcsHandle appStorage, const SizedBuffer* userId,
                                   uint32_t* outCount, ExportedTemplate** outTemplates) {
    ExportedTemplate* list = nullptr;
    uint32_t count = 0, capacity = 0;
    uint32_t origin[kOriginWords] = {};
    bool originRead = false;
    TcsResult result = walkUser(
        sensorHandle, appStorage, userId, outCount != nullptr && outTemplates != nullptr, true,
        [&](SensorRecord* sensor, TcsHandle templ) -> TcsResult {
            if (!originRead) {
                ScsFwVersion version{};
                TcsResult r = scsSensorGetFwVersion(sensor->sensorControlSensor, &version);
                if (r == TCS_RESULT_OK) r = scsSensorGetFlexId(sensor->sensorControlSensor, &origin[2]);
                if (r != TCS_RESULT_OK) return r;
                origin[0] = version.major;
                origin[1] = version.minor;
                originRead = true;
            }
            if (count == capacity) {
                const uint32_t grown = capacity == 0 ? kFirstCapacity : 2 * capacity;
                auto* larger = static_cast<ExportedTemplate*>(palRealMalloc(grown * sizeof(ExportedTemplate)));
                if (larger == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
                if (count != 0) std::memcpy(larger, list, count * sizeof(ExportedTemplate));
                palRealFree(list);
                list = larger;
                capacity = grown;
            }
            const TcsResult r = exportTemplate(templ, origin, &list[count]);
            if (r == TCS_RESULT_OK) ++count;
            return r;
        });
    if (result != TCS_RESULT_OK) {
        freeExported(list, count);
        return result;
    }
    *outCount = count;
    *outTemplates = list;
    return TCS_RESULT_OK;
}

TcsResult tcsExExportUserTemplatesCount(TcsHandle sensor, TcsHandle appStorage, const SizedBuffer* userId,
                                        uint32_t* outCount) {
    uint32_t count = 0;
    const TcsResult result = walkUser(sensor, appStorage, userId, outCount != nullptr, true, [&](SensorRecord*, TcsHandle) {
        ++count;
        return TcsResult(TCS_RESULT_OK);
    });
    if (result == TCS_RESULT_OK) *outCount = count;
    return result;
}

TcsResult tcsExUserTemplatesUpdateCheck(TcsHandle sensor, TcsHandle appStorage, const SizedBuffer* userId,
                                        uint32_t* outFlag) {
    uint32_t flag = 0;
    const TcsResult result = walkUser(sensor, appStorage, userId, outFlag != nullptr, false,
                                    [&](SensorRecord*, TcsHandle templ) {
        if (tcsTemplateGetASPProfileSize(templ) == 0) flag = 1;
        return TcsResult(TCS_RESULT_OK);
    });
    if (result == TCS_RESULT_OK) *outFlag = flag;
    return result;
}

TcsResult tcsExImportUser(TcsHandle sensorHandle, TcsHandle appStorage, uint32_t userIdLength, const uint8_t* userId,
                          uint32_t templateCount, const ImportedTemplate* templates) {
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorOf(sensorHandle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    DssAppStorage* storage = appStorageOf(appStorage);
    if (storage == nullptr || templates == nullptr) return TCS_RESULT_NULL_POINTER;
    if (userId == nullptr || userIdLength == 0 || templateCount == 0) return TCS_RESULT_BAD_PARAM;
    ScsSensor* control = sensor->sensorControlSensor;
    result = scsSensorDeterminePEKCapability(control, storage->name);
    if (result != TCS_RESULT_OK) return result;
    ScsFwVersion version{};
    result = scsSensorGetFwVersion(control, &version);
    if (result != TCS_RESULT_OK) return result;

    // Every container is checked before the first template is stored.
    std::vector<TemplateHandle> parsed;
    try {
        parsed.reserve(templateCount);
    } catch (...) {  // nothing thrown leaves the core
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    for (uint32_t i = 0; i < templateCount; ++i) {
        parsed.emplace_back();
        result = importTemplate(templates[i], version, &parsed.back());
        if (result != TCS_RESULT_OK) return result;
    }
    const SizedBuffer id{userIdLength, userId};
    for (TemplateHandle& templ : parsed) {
        result = StoreUserInAppStorage(sensor, storage, &id, templates[0].entryCount, templates[0].entries, nullptr,
                                       enrollTemplateOf(templ.get()), 0, 1);
        templ.reset();
        if (result == TCS_RESULT_FINGER_ENROLLED) result = TCS_RESULT_OK;
        if (result != TCS_RESULT_OK) return result;
    }
    return TCS_RESULT_OK;
}

}  // extern "C"
