// Firmware patches: chosen from the built-in lists, loaded once per job (a repeated load of the
// same patch is skipped), re-sent with a cached HMAC in place of the RSA signature where the sensor
// allows it, and the pre-boot image header checks.
#include "tcs/sensorctl/protocol/patch_loader.h"

#include "platform/crypto/crypto.h"
#include "tcs/flashfs/xtfs.h"
#include "tcs/sensorctl/protocol/builtin_lists.h"
#include "tcs/sensorctl/protocol/protocol_state.h"
#include "tcs/sensorctl/secure/data_slots.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"

#include <cstring>

namespace scspatch {

bool isSelfUnloading(uint32_t ids) { return ids == 0x800 || ids == 0x1000 || ids == 0x4000 || ids == 0x40000; }

GetPrintKind getPrintKind(uint32_t mode, bool alternateWoe, bool rsaOrSelkinSpi) {
    const bool bit0 = (mode & 1) != 0, bit1 = (mode & 2) != 0;
    const uint32_t base = bit0 ? (alternateWoe ? 0x20080u : 0x2080u) : 0x80u;
    if (!rsaOrSelkinSpi) return {bit1 ? base + 0x20 : base, bit0 ? 0u : 0x22000u};
    return {base, bit0 ? 0x20u : 0x22020u};
}

TcsResult buildSignedPatch(const uint8_t* key32, const uint8_t* patch, uint32_t length, uint8_t** out,
                           uint16_t* outLength) {
    if (patch == nullptr || out == nullptr || outLength == nullptr) return TCS_RESULT_BAD_PARAM;
    // The signed length travels as u16: refuse what would wrap rather than send a cut patch.
    if (length > 0xFFFFu - 36) return TCS_RESULT_BAD_PARAM;
    auto* buffer = static_cast<uint8_t*>(palRealMalloc(length + 36));
    if (buffer == nullptr) return TCS_RESULT_INVALID;
    buffer[0] = 2;
    buffer[1] = 0;
    buffer[2] = 32;
    buffer[3] = 0;
    std::memset(buffer + 4, 0, 32);
    if (key32 != nullptr) {
        uint32_t macLength = 32;
        const TcsResult mac = palCryptoMAC(patch, length, key32, 32, buffer + 4, &macLength, 0);
        if (mac != TCS_RESULT_OK) {
            palRealFree(buffer);
            return mac;
        }
    }
    std::memcpy(buffer + 36, patch, length);
    *out = buffer;
    *outLength = uint16_t(length + 36);
    return TCS_RESULT_OK;
}

uint32_t efiHeaderCrc(const uint8_t* header) {
    const uint32_t span = std::memcmp(header + 4, "OEMA", 4) == 0 ? 91 : 92;
    uint32_t crc = 0;
    palCryptoChecksum(0, &crc, header, span, 11);
    return crc;
}

bool efiHeaderCrcMatches(const uint8_t* header) {
    uint32_t stored;
    std::memcpy(&stored, header + 92, 4);
    return palSensorToHost32(stored) == efiHeaderCrc(header);
}

bool efiBodyCrcMatches(const uint8_t* image, uint32_t imageLength) {
    uint32_t length, stored;
    std::memcpy(&length, image + 35, 4);
    std::memcpy(&stored, image + 39, 4);
    length = palSensorToHost32(length);
    if (imageLength < 256 || length > imageLength - 256) return false;
    uint32_t crc = 0;
    palCryptoChecksum(0, &crc, image + 256, length, 11);
    return crc == palSensorToHost32(stored);
}

}  // namespace scspatch

namespace {

scslists::DeviceView viewOf(ScsSensorDevice* device, const scsproto::DeviceState& state) {
    const ScsFwVersion& v = *device->fwVersion;
    return {v.major, v.minor, v.build, v.revision, v.romFlag, v.flags, v.value32, device->flexId, state.variant,
            state.selkin};
}

struct DeviceRef {
    ScsSensorDevice* device = nullptr;
    TcsResult result;
    explicit DeviceRef(ScsSensor* sensor) : result(scsSensorDeviceAcquire(sensor, &device)) {}
    ~DeviceRef() {
        if (result == TCS_RESULT_OK) scsSensorDeviceRelease(device);
    }
};

}  // namespace

extern "C" {

TcsResult scsSensorFindConfigList(ScsSensorDevice* device, uint32_t kind, const void* const** outList) {
    if (device == nullptr || outList == nullptr) return TCS_RESULT_BAD_PARAM;
    *outList = nullptr;
    ScsSubsystem* subsystem = device->subsystem;
    if (subsystem == nullptr) return TCS_RESULT_OK;
    for (ScsConfigGroup* group : subsystem->configGroups) {
        if (group == nullptr || group->family != device->productFamily) continue;
        for (uint32_t i = 0; i < group->count; ++i) {
            if (group->entries[i].kind != kind) continue;
            if (group->entries[i].list != nullptr) {
                *outList = group->entries[i].list;
                return TCS_RESULT_OK;
            }
            break;  // the first pair of the kind decides for this entry
        }
    }
    return TCS_RESULT_OK;
}

TcsResult scsSensorFindPatchConfigList(ScsSensorDevice* device, const void* const** outList) {
    return scsSensorFindConfigList(device, 0, outList);
}

TcsResult scsSensorFindPrintConfigList(ScsSensorDevice* device, const void* const** outList) {
    return scsSensorFindConfigList(device, 1, outList);
}

TcsResult LoadPatch(ScsSensor* sensor, uint32_t ids, uint32_t selector, uint32_t exclude, uint32_t revision,
                    uint32_t length, const uint8_t* image) {
    if (image == nullptr) return TCS_RESULT_BAD_PARAM;
    const bool self = scspatch::isSelfUnloading(ids);
    DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    scsproto::DeviceState* state = scsproto::stateOf(ref.device);
    if (state == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    bool created = false;
    if (!self) {
        if (!state->hasLoadedPatch) {
            state->hasLoadedPatch = true;
            state->loaded = {};
            created = true;
        }
        const scsproto::LoadedPatch& l = state->loaded;
        if ((l.ids & ids) == ids && l.selector == selector && revision < 255 && (l.ids & exclude) == 0) {
            return TCS_RESULT_OK;
        }
    }
    state->runPatchWasLoaded = state->hasLoadedPatch && (state->loaded.ids & 1) != 0;

    // Signature caching: a patch the sensor has verified once goes again with its short HMAC.
    uint8_t* hmacCopy = nullptr;
    uint32_t hmacLength = 0;
    const bool caching = scsSensorIsRSASecured(sensor) == 1 && scsSensorIsPatchSignatureCacheEnabled(sensor) == 1 &&
                         ids != 0x4000;
    XtfsPatchKey key{ids, uint8_t(revision)};
    auto preparePending = [&] {
        std::memset(state->pendingSignature, 0xFF, sizeof state->pendingSignature);
        std::memcpy(state->pendingSignature, &ids, 4);
        state->pendingSignature[4] = uint8_t(revision);
        state->pendingSignature[5] = 'P';
        state->pendingSignature[6] = 'S';
        // Look-ups match the selector's low byte here, so store it: an item left at 0xFF would
        // never be found again and every load would go through the full signature check.
        state->pendingSignature[7] = uint8_t(selector);
    };
    if (caching) {
        uint32_t found = 0;
        uint8_t item[40];
        if (xtfsIsPatchSignatureCached(sensor, &key, uint8_t(selector), &found, item) == TCS_RESULT_OK) {
            if (found == 0) {
                preparePending();
            } else {
                std::memset(state->pendingSignature, 0xFF, sizeof state->pendingSignature);
                // {u16 2, u16 32, HMAC, the patch after its signature block}.
                if (length >= 4 && (image[0] | image[1] << 8) == 2) {
                    const uint32_t s = uint32_t(image[2] | image[3] << 8);
                    if (s <= length - 4) {
                        hmacLength = length + 32 - s;
                        hmacCopy = static_cast<uint8_t*>(palRealMalloc(hmacLength));
                        if (hmacCopy != nullptr) {
                            std::memcpy(hmacCopy, image, 2);
                            hmacCopy[2] = 32;
                            hmacCopy[3] = 0;
                            std::memcpy(hmacCopy + 4, item + 8, 32);
                            std::memcpy(hmacCopy + 36, image + 4 + s, length - 4 - s);
                        }
                    }
                }
            }
        }
    }

    TcsResult result = scsSensorUnloadPatch(sensor);
    if (result != TCS_RESULT_OK && result != TCS_RESULT_SENSOR_BAD_CMD) {
        palRealFree(hmacCopy);
        if (created) state->hasLoadedPatch = false;
        return result;
    }
    const uint8_t* first = hmacCopy != nullptr ? hmacCopy : image;
    const uint32_t firstLength = hmacCopy != nullptr ? hmacLength : length;
    // Patch lengths travel as u16: an image that does not fit is refused, not cut.
    TcsResult download = firstLength > 0xFFFF ? TcsResult(TCS_RESULT_BAD_PARAM)
                                              : scsSensorDownloadPatch(sensor, 0, uint16_t(firstLength), first);
    const TcsResult firstResult = download;
    if (download == 373) {
        download = scsSensorDownloadPatch(sensor, 0, uint16_t(firstLength), first);
        if (download == 373) {
            preparePending();
            if (caching) xtfsInvalidateCachedPatchSignature(sensor, &key, uint8_t(selector));
            download = length > 0xFFFF ? TcsResult(TCS_RESULT_BAD_PARAM)
                                       : scsSensorDownloadPatch(sensor, 0, uint16_t(length), image);
        }
    }
    if (download == TCS_RESULT_OK) {
        if (!self) {
            state->loaded = {ids, selector, uint8_t(revision)};
            if (ref.device->fwVersion != nullptr) ref.device->fwVersion->revision = uint8_t(revision);
        }
        result = TCS_RESULT_OK;
    } else {
        result = firstResult;
        if (created) state->hasLoadedPatch = false;
    }
    palRealFree(hmacCopy);
    return result;
}

TcsResult scsSensorLoadPatchEx(ScsSensor* sensor, const void* list, uint32_t kind, uint32_t selector,
                               uint32_t exclude, uint32_t* outLoaded) {
    if (outLoaded != nullptr) *outLoaded = 0;
    if (list == nullptr) return TCS_RESULT_OK;
    const ConfigDescriptor* chosen = nullptr;
    {
        DeviceRef ref(sensor);
        if (ref.result != TCS_RESULT_OK) return ref.result;
        scsproto::DeviceState* state = scsproto::stateOf(ref.device);
        if (state == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        if (ref.device->fwVersion == nullptr) return TCS_RESULT_OK;
        chosen = scslists::findPatch(viewOf(ref.device, *state), static_cast<const void* const*>(list), kind,
                                     selector, exclude);
    }
    if (chosen == nullptr) return TCS_RESULT_OK;
    const uint32_t* w = chosen->words;
    const TcsResult result = LoadPatch(sensor, w[SCS_PD_PATCH_IDS], selector, exclude, w[SCS_PD_PATCH_REVISION],
                                       w[SCS_PD_LENGTH], static_cast<const uint8_t*>(chosen->data));
    if (result == TCS_RESULT_OK && outLoaded != nullptr) *outLoaded = 1;
    return result;
}

TcsResult scsSensorLoadPatch(ScsSensor* sensor, const void* list, uint32_t kind, uint32_t exclude, uint32_t* outLoaded) {
    return scsSensorLoadPatchEx(sensor, list, kind, 0, exclude, outLoaded);
}

TcsResult UnloadPatch(ScsSensor* sensor) {
    const TcsResult valid = scsSensorValidate(sensor);
    return valid != TCS_RESULT_OK ? valid : scsSensorUnloadPatch(sensor);
}

TcsResult LoadSecurityManagementPatch(ScsSensor* sensor, uint32_t selector) {
    uint32_t family = 0;
    const TcsResult result = scsSensorGetProductFamily(sensor, &family);
    if (result != TCS_RESULT_OK) return result;
    if (family != SCS_FAMILY_1) return TCS_RESULT_BAD_PARAM;
    return scsSensorLoadPatchEx(sensor, secMgmtHarlokPatchList, 4, selector, 0, nullptr);
}

TcsResult LoadPreSecurityManagementPatch(ScsSensor* sensor) {
    return scsSensorLoadPatch(sensor, secMgmtHarlokPatchList, 0x40000, 0, nullptr);
}

namespace {
TcsResult loadKind(ScsSensor* sensor, uint32_t kind, uint32_t selector, uint32_t exclude, uint32_t* outLoaded) {
    const void* const* list = nullptr;
    {
        DeviceRef ref(sensor);
        if (ref.result != TCS_RESULT_OK) return ref.result;
        scsSensorFindPatchConfigList(ref.device, &list);
    }
    return scsSensorLoadPatchEx(sensor, list, kind, selector, exclude, outLoaded);
}
}  // namespace

TcsResult scsDownloadRunPatch(ScsSensor* sensor) { return loadKind(sensor, 1, 0, 0, nullptr); }

TcsResult scsSensorRestoreRunPatch(ScsSensor* sensor) {
    bool restore = false;
    {
        DeviceRef ref(sensor);
        if (ref.result != TCS_RESULT_OK) return ref.result;
        scsproto::DeviceState* state = scsproto::stateOf(ref.device);
        if (state == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        restore = state->runPatchWasLoaded && (!state->hasLoadedPatch || (state->loaded.ids & 1) == 0);
    }
    return restore ? scsDownloadRunPatch(sensor) : TCS_RESULT_OK;
}

TcsResult scsDownloadFlashPatch(ScsSensor* sensor) { return loadKind(sensor, 8, 0, 0, nullptr); }
TcsResult scsDownloadAuthPatch(ScsSensor* sensor, uint32_t selector) { return loadKind(sensor, 0x80000, selector, 0, nullptr); }

TcsResult scsDownloadSecureMatchPatch(ScsSensor* sensor) {
    uint32_t loaded = 0;
    const TcsResult result = loadKind(sensor, 0x200, 0, 0, &loaded);
    if (result != TCS_RESULT_OK || loaded != 0) return result;
    const TcsResult unload = scsSensorUnloadPatch(sensor);
    return unload == TCS_RESULT_SENSOR_BAD_CMD ? TCS_RESULT_OK : unload;
}

TcsResult scsDownloadGetPrintPatch(ScsSensor* sensor, uint32_t mode) {
    bool alternate = false, special = false;
    {
        DeviceRef ref(sensor);
        if (ref.result != TCS_RESULT_OK) return ref.result;
        scsproto::DeviceState* state = scsproto::stateOf(ref.device);
        if (state == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
        alternate = state->alternateWoe;
    }
    special = scsSensorIsRSASecured(sensor) == 1 || scsSensorIsSelkinSPI(sensor) == 1;
    const scspatch::GetPrintKind k = scspatch::getPrintKind(mode, alternate, special);
    return loadKind(sensor, k.kind, 0, k.exclude, nullptr);
}

TcsResult scsGetEFIImageVersion(ScsSensor* sensor, uint32_t* outVersion) {
    if (outVersion == nullptr) return TCS_RESULT_BAD_PARAM;
    constexpr uint32_t kSize = 0x40000;
    auto* image = static_cast<uint8_t*>(palRealMalloc(kSize));
    if (image == nullptr) return TCS_RESULT_INVALID;
    const TcsResult result = xtfsReadImagePartition(sensor, image, kSize);
    if (result == TCS_RESULT_OK && scspatch::efiHeaderCrcMatches(image) && scspatch::efiBodyCrcMatches(image, kSize)) {
        uint32_t version;
        std::memcpy(&version, image + 31, 4);
        *outVersion = palSensorToHost32(version);
    }
    palRealFree(image);
    return result;
}

TcsResult scsGetEFIUpdateReason(ScsSensor* sensor, const uint8_t* newHeader, uint32_t* outReason) {
    if (newHeader == nullptr || outReason == nullptr) return TCS_RESULT_BAD_PARAM;
    *outReason = 0;
    uint32_t size = 0x40000;
    if (scsSensorIsRSASecured(sensor) == 1) {
        if (scsSensorIsBrellow(sensor) == 1) return scsLoadEFIImageEx(sensor, nullptr, 0x10000);
        size = 0x4E000;
    }
    auto* image = static_cast<uint8_t*>(palRealMalloc(size));
    if (image == nullptr) return TCS_RESULT_INVALID;
    const TcsResult result = xtfsReadImagePartition(sensor, image, size);
    if (result == TCS_RESULT_OK) {
        uint32_t stored;
        std::memcpy(&stored, image + 92, 4);
        uint32_t fullCrc = 0;
        palCryptoChecksum(0, &fullCrc, image, 92, 11);
        if (palSensorToHost32(stored) != fullCrc || !scspatch::efiBodyCrcMatches(image, size)) {
            *outReason = 1;
        } else if (palSensorToHost32(stored) != scspatch::efiHeaderCrc(newHeader)) {
            *outReason = 2;
        }
    }
    palRealFree(image);
    return result;
}

TcsResult scsLoadEFIImageEx(ScsSensor*, const void*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }

TcsResult scsCreateSignedPatch(ScsSensor* sensor, uint32_t length, const uint8_t* patch, uint16_t* outLength,
                               uint8_t** outBuffer) {
    if (patch == nullptr || outLength == nullptr || outBuffer == nullptr) return TCS_RESULT_BAD_PARAM;
    uint8_t key[32];
    const TcsResult read = scsGetSecretData(sensor, sizeof key, key, 1, 2, 0);
    TcsResult result;
    if (read == TCS_RESULT_OK) {
        result = scspatch::buildSignedPatch(key, patch, length, outBuffer, outLength);
    } else {
        bool zeroMac = false;
        {
            DeviceRef ref(sensor);
            const ScsFwVersion* v = ref.result == TCS_RESULT_OK ? ref.device->fwVersion : nullptr;
            zeroMac = v != nullptr && (v->major > 4 || (v->major == 4 && v->minor >= 21));
        }
        // Older firmware has no unkeyed form: without the key there is no signed patch.
        result = zeroMac ? scspatch::buildSignedPatch(nullptr, patch, length, outBuffer, outLength) : read;
    }
    palCryptoRng(key, sizeof key);
    volatile uint8_t* wipe = key;
    for (size_t i = 0; i < sizeof key; ++i) wipe[i] = 0;
    return result;
}

}  // extern "C"
