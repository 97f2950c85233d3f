// Patch files (text header, NUL, 0x1A, patch image), their two parsers, the download-patch command
// blob, and the layer's patch loading, unloading and patch-management switch.
#include "tcs/sensorctl/protocol/builtin_lists.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tools/sensor/diag_internal.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

using namespace tovdiag;

namespace {

constexpr uint8_t kPatchCommand = 6;
constexpr uint32_t kAnyVersion = 0xFFFFFFFFu;

struct FileCloser {
    void operator()(FILE* file) const { palFileClose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct Freer {
    void operator()(void* block) const { palRealFree(block); }
};
using Buffer = std::unique_ptr<uint8_t, Freer>;

// The whole file in a new buffer; 207 when it cannot be opened, 2 without memory, 219 on a short read.
TcsResult readWhole(const char* path, Buffer* out, uint32_t* outSize) {
    File file(palFileOpen(path, "rb"));
    if (!file) return kOpenFailed;
    if (palFileSeek(file.get(), 0, 2) != 0) return kShortRead;
    const uint32_t size = palFileTell(file.get());
    if (size == 0xFFFFFFFFu || palFileSeek(file.get(), 0, 0) != 0) return kShortRead;
    // One spare byte so that an empty file still gets a buffer.
    Buffer buffer(static_cast<uint8_t*>(palRealMalloc(size + 1)));
    if (!buffer) return kNoMemory;
    if (size != 0 && palFileRead(buffer.get(), 1, size, file.get()) != size) return kShortRead;
    *out = std::move(buffer);
    *outSize = size;
    return kOk;
}

// The position of the NUL of the first (0x00, 0x1A) pair, or -1 when there is none.
int64_t findSeparator(const uint8_t* bytes, uint32_t size) {
    for (uint32_t i = 0; i + 1 < size; ++i) {
        if (bytes[i] == 0x00 && bytes[i + 1] == 0x1A) return i;
    }
    return -1;
}

// The value text after a key in a NUL-terminated header, or nullptr when the key is absent.
const char* findKey(const char* header, uint32_t length, const char* key) {
    const std::string_view text(header, length);
    const size_t at = text.find(key);
    return at == std::string_view::npos ? nullptr : header + at + std::strlen(key);
}

void parseFirmwareVersion(const char* value, uint32_t fields[4]) {
    const char* p = value;
    for (int k = 0; k < 4; ++k) {
        char* end = nullptr;
        const unsigned long parsed = std::strtoul(p, &end, 10);
        if (*end == '*') {
            fields[k] = kAnyVersion;
            const char* dot = std::strchr(end, '.');
            p = dot != nullptr ? dot + 1 : end;
        } else {
            fields[k] = uint32_t(parsed);
            // Never step past the header's terminating NUL.
            p = *end != '\0' ? end + 1 : end;
        }
    }
}

// Fills the fields of the keys present; the header must be NUL-terminated at `length`.
void parseHeader(const char* header, uint32_t length, PatchFileHeader* out) {
    if (const char* v = findKey(header, length, "FirmwareVersion = ")) parseFirmwareVersion(v, out->firmwareVersion);
    struct Key {
        const char* name;
        int base;
        uint32_t* field;
    };
    const Key keys[] = {{"PatchLevel = ", 10, &out->patchLevel}, {"Interface = ", 16, &out->interfaceKind},
                        {"Security = ", 16, &out->security},     {"Phase = ", 16, &out->phase},
                        {"Encryption = ", 16, &out->encryption}, {"Target = ", 16, &out->target},
                        {"Product = ", 16, &out->product}};
    for (const Key& key : keys) {
        if (const char* v = findKey(header, length, key.name)) *key.field = uint32_t(std::strtoul(v, nullptr, key.base));
    }
}

}  // namespace

namespace tovdiag {

TcsResult patchBracketLoad(TcsHandle sensor, const char* patchPath, uint32_t kind, uint32_t selector) {
    if (patchPath != nullptr) return tcsTestDownloadPatch(sensor, patchPath);
    return tcsTestSensorLoadPatch(sensor, kind, selector, nullptr);
}

}  // namespace tovdiag

extern "C" {

TcsResult tcsTestParsePatchFile(const char* path, PatchFileHeader* outHeader, uint8_t* outData, uint32_t* inOutSize) {
    if (path == nullptr || (outData != nullptr && inOutSize == nullptr)) return kNullPointer;
    Buffer file;
    uint32_t size = 0;
    TcsResult result = readWhole(path, &file, &size);
    if (result != kOk) return result;
    const int64_t separator = findSeparator(file.get(), size);
    const uint32_t offset = separator < 0 ? 0 : uint32_t(separator) + 2;
    if (outHeader != nullptr && separator >= 0) {
        parseHeader(reinterpret_cast<const char*>(file.get()), uint32_t(separator), outHeader);
    }
    const uint32_t dataSize = size - offset;
    if (outData != nullptr) {
        if (*inOutSize < dataSize) return kTooSmall;
        if (dataSize != 0) std::memcpy(outData, file.get() + offset, dataSize);
        *inOutSize = dataSize;
    } else if (inOutSize != nullptr) {
        *inOutSize = dataSize;
    }
    return kOk;
}

TcsResult ParsePatchFile(const char* path, uint8_t** outData, uint16_t* outDataLength, char** outHeader,
                         uint16_t* outHeaderLength) {
    if (path == nullptr || outData == nullptr || outDataLength == nullptr || outHeader == nullptr ||
        outHeaderLength == nullptr) {
        return kNullPointer;
    }
    *outData = nullptr;
    *outHeader = nullptr;
    *outDataLength = 0;
    *outHeaderLength = 0;
    Buffer file;
    uint32_t size = 0;
    TcsResult result = readWhole(path, &file, &size);
    if (result != kOk) return result;
    // The lengths of this parser are 16 bits: a larger file cannot be handed on whole.
    if (size > 0xFFFFu) return kShortRead;
    const int64_t separator = findSeparator(file.get(), size);
    uint32_t offset = 0;
    Buffer header;
    uint32_t headerLength = 0;
    if (separator >= 0) {
        const char* text = reinterpret_cast<const char*>(file.get());
        if (findKey(text, uint32_t(separator), "FirmwareVersion = ") != nullptr) {
            headerLength = uint32_t(separator) + 2;
            header.reset(static_cast<uint8_t*>(palRealMalloc(headerLength)));
            if (!header) return kNoMemory;
            std::memcpy(header.get(), file.get(), headerLength);
            offset = headerLength;
        }
    }
    const uint32_t dataLength = size - offset;
    Buffer data(static_cast<uint8_t*>(palRealMalloc(dataLength + 1)));
    if (!data) return kNoMemory;
    if (dataLength != 0) std::memcpy(data.get(), file.get() + offset, dataLength);
    *outData = data.release();
    *outDataLength = uint16_t(dataLength);
    *outHeader = reinterpret_cast<char*>(header.release());
    *outHeaderLength = uint16_t(headerLength);
    return kOk;
}

TcsResult tcsTestCreatePatchCmd(TcsHandle handle, const char* path, uint8_t** outBlob, uint16_t* outLength) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    result = requireProtocolOne(sensor.scs());
    if (result != kOk) return result;
    return tcsTestCreatePatchCmd_V4(handle, path, outBlob, outLength);
}

TcsResult tcsTestCreatePatchCmd_V4(TcsHandle handle, const char* path, uint8_t** outBlob, uint16_t* outLength) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return kNullSensor;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return kNullSensor;
    if (path == nullptr || outBlob == nullptr || outLength == nullptr || ref.device->fwVersion == nullptr) {
        return kNullPointer;
    }
    uint8_t* rawData = nullptr;
    char* rawHeader = nullptr;
    uint16_t dataLength = 0, headerLength = 0;
    if (ParsePatchFile(path, &rawData, &dataLength, &rawHeader, &headerLength) != kOk) return kShortRead;
    Buffer data(rawData);
    Buffer header(reinterpret_cast<uint8_t*>(rawHeader));
    uint32_t length = dataLength;
    const ScsFwVersion* version = ref.device->fwVersion;
    if (securityFlags(ref.device).owned && version->major >= 4 && version->minor >= 20) {
        uint8_t* signedPatch = nullptr;
        uint16_t signedLength = 0;
        TcsResult result = scsCreateSignedPatch(sensor.scs(), length, data.get(), &signedLength, &signedPatch);
        if (result != kOk) return result;
        data.reset(signedPatch);
        length = signedLength;
    }
    // The blob's length is 16 bits: one command byte leaves room for 65534 bytes of patch.
    if (length + 1 > 0xFFFFu) return kShortRead;
    auto* blob = static_cast<uint8_t*>(palRealMalloc(length + 1));
    if (blob == nullptr) return kNoMemory;
    blob[0] = kPatchCommand;
    if (length != 0) std::memcpy(blob + 1, data.get(), length);
    *outBlob = blob;
    *outLength = uint16_t(length + 1);
    return kOk;
}

TcsResult tcsTestDoPatch_V4(TcsHandle handle, const char* path, uint32_t kindMask, uint32_t selector) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    ScsSensor* scs = sensor.scs();
    {
        DeviceRef ref(scs);
        if (ref.result != kOk) return ref.result;
        if (ref.device->fwVersion == nullptr && scsSensorIsSecured(scs)) {
            TcsResult result = readVersion(scs);
            if (result != kOk) return result;
        }
    }
    if (path != nullptr) {
        uint8_t* rawData = nullptr;
        char* rawHeader = nullptr;
        uint16_t dataLength = 0, headerLength = 0;
        TcsResult result = ParsePatchFile(path, &rawData, &dataLength, &rawHeader, &headerLength);
        if (result != kOk) return result;
        Buffer data(rawData);
        Buffer header(reinterpret_cast<uint8_t*>(rawHeader));
        uint32_t kind = 0;
        uint32_t level = 255;
        if (rawHeader != nullptr) {
            // The copied header ends with its NUL and the 0x1A.
            const uint32_t textLength = uint32_t(headerLength) - 2;
            if (const char* v = findKey(rawHeader, textLength, "Phase = ")) kind = uint32_t(std::strtoul(v, nullptr, 16));
            if (const char* v = findKey(rawHeader, textLength, "PatchLevel = ")) {
                level = uint32_t(std::strtoul(v, nullptr, 10)) & 0xFFu;
            }
        }
        return LoadPatch(scs, kind, selector, 0, level, dataLength, data.get());
    }
    const void* const* list = nullptr;
    {
        DeviceRef ref(scs);
        if (ref.result != kOk) return ref.result;
        scsSensorFindPatchConfigList(ref.device, &list);
    }
    if (list == nullptr) return kOk;
    uint32_t loaded = 0;
    return scsSensorLoadPatchEx(scs, list, kindMask, selector, 0, &loaded);
}

TcsResult tcsTestDisablePatchManagement(TcsHandle handle, uint32_t value, uint32_t* outOldValue) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    scsproto::DeviceState* state = scsproto::stateOf(ref.device);
    if (state == nullptr) return kNoMemory;
    // The switch is sensor control's "disabled" flag: while it is set, its patch download and unload
    // commands answer at once and send nothing.
    if (outOldValue != nullptr) *outOldValue = state->patchManagementDisabled ? 1 : 0;
    state->patchManagementDisabled = value != 0;
    return kOk;
}

}  // extern "C"

namespace {

// Runs the operation with the switch at 0, so that the patch commands of the operation reach the
// sensor, and puts the old value back; a failure of putting it back wins.
template <typename Operation>
TcsResult withoutPatchManagement(TcsHandle handle, Operation operation) {
    uint32_t old = 0;
    TcsResult result = tcsTestDisablePatchManagement(handle, 0, &old);
    if (result != kOk) return result;
    result = operation();
    TcsResult restored = tcsTestDisablePatchManagement(handle, old, nullptr);
    return restored != kOk ? restored : result;
}

}  // namespace

extern "C" {

TcsResult tcsTestDownloadPatch(TcsHandle handle, const char* path) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    return withoutPatchManagement(handle, [&] { return tcsTestDoPatch_V4(handle, path, 1, 0); });
}

TcsResult tcsTestDownloadInternalPatch(TcsHandle handle, uint32_t kindMask, uint32_t selector) {
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    return withoutPatchManagement(handle, [&] { return tcsTestDoPatch_V4(handle, nullptr, kindMask, selector); });
}

TcsResult tcsTestSensorLoadPatch(TcsHandle handle, uint32_t kindMask, uint32_t selector, uint32_t* outLoaded) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    TcsResult result = ensureVersion(sensor.scs(), ref.device);
    if (result != kOk) return result;
    if (ref.device->productFamily != 1 && ref.device->productFamily != 2) return kBadParam;
    uint32_t loaded = 0;
    result = scsSensorLoadPatchEx(sensor.scs(), harlokTestPatchConfigList, kindMask, selector, 0, &loaded);
    if (outLoaded != nullptr) *outLoaded = loaded;
    return result;
}

TcsResult tcsTestSensorUnloadPatch(TcsHandle handle) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    TcsResult result = scsSensorValidate(sensor.scs());
    if (result != kOk) return result;
    result = tcsTestIsSensorInitialized(handle);
    if (result != kOk) return result;
    uint8_t version = 0;
    result = scsSensorGetCmdProtocolVersion(sensor.scs(), &version);
    if (result != kOk) return result;
    // The switch is put back on the refused path too, so that a refusal leaves the device as it was.
    return withoutPatchManagement(handle, [&]() -> TcsResult {
        if (!isProtocolOne(version)) return kNotImplemented;
        scsSensorUnloadPatch(sensor.scs());
        return kOk;
    });
}

TcsResult tcsTestSensorIsPatched(TcsHandle handle, uint8_t* outLevel) {
    if (handle == 0) return kNullSensor;
    if (outLevel == nullptr) return kNullPointer;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    TcsResult result = scsSensorValidate(sensor.scs());
    if (result != kOk) return result;
    result = tcsTestIsSensorInitialized(handle);
    if (result != kOk) return result;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    scsproto::DeviceState* state = scsproto::stateOf(ref.device);
    if (state == nullptr) return kNoMemory;
    if (state->hasLoadedPatch) {
        if (state->loaded.ids == 0 && state->loaded.revision >= 255) {
            result = readVersion(sensor.scs());
            if (result != kOk) return result;
            if (ref.device->fwVersion != nullptr) state->loaded.revision = ref.device->fwVersion->revision;
        }
        *outLevel = state->loaded.revision;
        return kOk;
    }
    result = ensureVersion(sensor.scs(), ref.device);
    if (result != kOk) return result;
    if (ref.device->fwVersion == nullptr) return kNoVersion;
    *outLevel = ref.device->fwVersion->revision;
    return kOk;
}

TcsResult tcsTestSensorEnablePatchSignatureCaching(TcsHandle handle, uint32_t) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    return scsSensorEnablePatchSignatureCaching(sensor.scs());
}

TcsResult tcsTestGetCmdProtocolVersion(TcsHandle handle, uint8_t* outVersion) {
    if (handle == 0) return kNullSensor;
    if (outVersion == nullptr) return kNullOut;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    return scsSensorGetCmdProtocolVersion(sensor.scs(), outVersion);
}

}  // extern "C"
