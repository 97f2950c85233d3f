// Template payload packing: the packed template record (plain, sensor-wrapped, PEK-wrapped), the
// protected payload block, and the sensor's last-identification context that spares it work.
#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "tcs/database/dss_interface.h"
#include "tcs/database/dss_store.h"
#include "tcs/handle_map.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/ownership/secure_storage.h"
#include "tcs/sensorctl/protocol/sensor_properties.h"
#include "tcs/sensorctl/secure/chip_session.h"
#include "tcs/sensorctl/protocol/template_cache.h"

#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kAesCbc = 5, kAesCtr = 6;
constexpr uint32_t kSha256 = 0, kMd5 = 2;
constexpr uint32_t kTemplateTypeNeverSecure = 5;
constexpr uint32_t kPekLength = 32;
constexpr uint32_t kAuthIvLength = 16;
constexpr uint32_t kAuthHeaderLength = 8;
// The payload of a secure record without PEK is encrypted under a random key and this IV, every byte
// the same constant; the key travels inside the sensor-wrapped template.
constexpr uint8_t kPayloadIvByte = 0x00;
constexpr uint32_t kPayloadIvLength = 32;

// Bytes that held a key or a plain payload are zeroed before they go.
class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(size_t n) : bytes_(n, 0) {}
    ~SecretBytes() { wipe(); }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    void wipe() { std::fill(bytes_.begin(), bytes_.end(), uint8_t(0)); }
    void assign(const uint8_t* data, size_t n) {
        wipe();
        bytes_.assign(data, data + n);
    }
    uint8_t* data() { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }
    void resize(size_t n) { bytes_.resize(n, 0); }

private:
    std::vector<uint8_t> bytes_;
};

void wipeFree(uint8_t* block, uint32_t length) {
    if (block == nullptr) return;
    std::memset(block, 0, length);
    palRealFree(block);
}

uint8_t* copyOut(const uint8_t* data, uint32_t length) {
    auto* out = static_cast<uint8_t*>(palRealMalloc(length == 0 ? 1 : length));
    if (out != nullptr && length != 0) std::memcpy(out, data, length);
    return out;
}

uint32_t readU32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
uint16_t readU16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
void putU32(std::vector<uint8_t>& out, uint32_t v) {
    const size_t at = out.size();
    out.resize(at + 4);
    std::memcpy(out.data() + at, &v, 4);
}
void putU16(std::vector<uint8_t>& out, uint16_t v) {
    const size_t at = out.size();
    out.resize(at + 2);
    std::memcpy(out.data() + at, &v, 2);
}

ScsSensor* scsOf(SensorRecord* sensor) { return sensor != nullptr ? sensor->sensorControlSensor : nullptr; }

bool selkinSecure(ScsSensor* scs) { return scs != nullptr && scsSensorIsSelkinSecuryEnabledDevice(scs) == 1; }
bool pekSecured(ScsSensor* scs) { return scs != nullptr && scsSensorIsPEKSecurityEnabled(scs) == 1; }
bool canMatchSecurely(ScsSensor* scs) {
    if (scs == nullptr) return false;
    return (scsSensorIsSecured(scs) != 0 && scsSensorSecureMatchSupported(scs) == 1) || selkinSecure(scs);
}

TcsResult sha256(const uint8_t* data, uint32_t length, uint8_t* out32) {
    return palCryptoDigest(data, length, out32, kSha256);
}

// The owning user's handle; its blobs are read and written through the synchronous interface.
TcsResult userHandleOf(DssTemplate* dbTemplate, TcsHandle* outUser) {
    if (dbTemplate == nullptr || dbTemplate->user == nullptr) return TCS_RESULT_INVALID_TEMPLATE_HANDLE;
    return tcsSafeHandleReverseFetch(dbTemplate->user, TCS_HANDLE_TYPE_USER, outUser);
}

TcsResult readUserBlob(DssTemplate* dbTemplate, uint32_t id, std::vector<uint8_t>* out) {
    TcsHandle user = 0;
    TcsResult result = userHandleOf(dbTemplate, &user);
    if (result != TCS_RESULT_OK) return result;
    uint8_t* data = nullptr;
    uint32_t length = 0;
    result = tcsDatabaseGetUserData(user, id, &data, &length);
    if (result != TCS_RESULT_OK) return result;
    out->assign(data, data + length);
    wipeFree(data, length);
    return TCS_RESULT_OK;
}

TcsResult writeUserBlob(DssTemplate* dbTemplate, uint32_t id, const uint8_t* data, uint32_t length) {
    TcsHandle user = 0;
    const TcsResult result = userHandleOf(dbTemplate, &user);
    if (result != TCS_RESULT_OK) return result;
    return tcsDatabaseSetUserData(user, id, data, length);
}

TcsResult readContext(ScsSensor* scs, uint8_t* context) {
    if (scs == nullptr) return TCS_RESULT_NULL_SENSOR_HANDLE;
    return scsSensorGetLastIdentificationCtx(scs, context, DSS_LAST_ID_CONTEXT_SIZE);
}

// The template part wrapped by the sensor with extra data; the sensor reports the length it used.
TcsResult signEncrypt(ScsSensor* scs, const uint8_t* templ, uint32_t templSize, const uint8_t* extra,
                      uint32_t extraLength, uint32_t capacity, std::vector<uint8_t>* out) {
    out->assign(capacity, 0);
    uint32_t length = capacity;
    const TcsResult result = scsSensorSignEncTemplateData(scs, templSize, templ, extraLength, extra, out->data(), &length);
    if (result != TCS_RESULT_OK) return result;
    if (length > capacity) return TCS_RESULT_ERROR;
    out->resize(length);
    return TCS_RESULT_OK;
}

struct ParsedRecord {
    uint32_t secure = 0;
    uint32_t finger = 0;
    uint32_t payloadLength = 0;          // P as stored
    const uint8_t* payload = nullptr;    // plain payload or the encrypted one
    uint32_t payloadBytes = 0;           // bytes present in the record
    const uint8_t* templ = nullptr;
    uint32_t templLength = 0;
    uint32_t sectionsAt = 0;
};

// Header, payload and template part; the sections are walked afterwards.
TcsResult parseRecord(const uint8_t* record, uint32_t length, bool pek, ParsedRecord* out) {
    out->secure = record[2];
    out->finger = record[3];
    out->payloadLength = readU32(record + 4);
    uint64_t at = 8;
    if (out->secure == 1 && pek) {
        // The payload of a PEK record lives as the user's protected block, not here.
    } else {
        uint64_t bytes = out->payloadLength;
        if (out->secure == 1) bytes = (bytes + 15) / 16 * 16;
        if (bytes != 0) {
            if (bytes + 4 > length - at) return TCS_RESULT_ERROR;
            out->payload = record + at;
            out->payloadBytes = uint32_t(bytes);
            at += bytes;
        }
    }
    if (at + 4 > length) return TCS_RESULT_ERROR;
    out->templLength = readU32(record + at);
    at += 4;
    if (out->templLength > length - at) return TCS_RESULT_ERROR;
    out->templ = record + at;
    out->sectionsAt = uint32_t(at + out->templLength);
    return TCS_RESULT_OK;
}

}  // namespace

extern "C" {

TcsResult _tcsDatabaseExTPPackTemplateData(SensorRecord* sensor, EnrollTemplate* templ, uint32_t payloadLength,
                                           const uint8_t* payload, uint32_t keyMaterialLength,
                                           const uint8_t* keyMaterial, uint32_t* outRecordLength,
                                           uint8_t** outRecord, uint32_t* outAuthLength, uint8_t** outAuthData,
                                           DssTemplate* dbTemplate) {
    if ((payloadLength != 0 && payload == nullptr) || (keyMaterialLength != 0 && keyMaterial == nullptr)) {
        return TCS_RESULT_BAD_PARAM;
    }
    if (templ == nullptr || outRecordLength == nullptr || outRecord == nullptr) return TCS_RESULT_NULL_POINTER;

    const uint32_t finger = _tcsTemplateGetFinger(templ);
    const uint32_t size = _tcsTemplateGetDataSize(templ);
    const uint32_t type = _tcsTemplateGetType(templ);
    const uint32_t profileSize = _tcsTemplateGetASPProfileSize(templ);
    if (profileSize > 0xFFFF) return TCS_RESULT_BAD_PARAM;
    std::vector<uint8_t> data(size);
    std::vector<uint8_t> profile(profileSize);
    TcsResult result = size != 0 ? _tcsTemplateGetData(templ, data.data(), size) : TCS_RESULT_OK;
    if (result == TCS_RESULT_OK && profileSize != 0) result = _tcsTemplateGetASPProfile(templ, profile.data(), profileSize);
    if (result != TCS_RESULT_OK) return result;

    ScsSensor* scs = scsOf(sensor);
    const bool secure = scs != nullptr && size <= DSS_SECURE_TEMPLATE_MAX && type != kTemplateTypeNeverSecure &&
                        canMatchSecurely(scs);
    std::vector<uint8_t> payloadPart;  // E bytes in the record
    uint32_t payloadField = payloadLength;
    std::vector<uint8_t> templatePart;
    if (!secure) {
        if (payloadLength != 0) payloadPart.assign(payload, payload + payloadLength);
        templatePart = data;
    } else if (pekSecured(scs)) {
        uint8_t* wrapped = nullptr;
        uint32_t wrappedLength = 0;
        result = _tcsDatabaseExTPEKPackTemplateData(sensor, data.data(), size, payloadLength, payload, keyMaterialLength,
                                                    keyMaterial, &wrappedLength, &wrapped, outAuthLength, outAuthData,
                                                    dbTemplate);
        if (result != TCS_RESULT_OK) return result;
        templatePart.assign(wrapped, wrapped + wrappedLength);
        palRealFree(wrapped);
    } else {
        SecretBytes key;
        const uint8_t* extra = nullptr;
        uint32_t extraLength = 0;
        if (payloadLength > DSS_SECURE_PAYLOAD_INLINE_MAX) {
            key.resize(kPekLength);
            result = palCryptoAesKeyGen(key.data(), kPekLength);
            if (result != TCS_RESULT_OK) return result;
            SecretBytes padded((payloadLength + 15) / 16 * 16);
            std::memcpy(padded.data(), payload, payloadLength);
            uint8_t iv[kPayloadIvLength];
            std::memset(iv, kPayloadIvByte, sizeof iv);
            payloadPart.assign(padded.size(), 0);
            uint32_t outLength = uint32_t(padded.size());
            result = palCryptoEncrypt(padded.data(), uint32_t(padded.size()), payloadPart.data(), &outLength, key.data(),
                                      kPekLength, iv, kAesCbc);
            if (result != TCS_RESULT_OK) return result;
            extra = key.data();
            extraLength = kPekLength;
        } else {
            extra = payload;
            extraLength = payloadLength;
            payloadField = 0;
        }
        const uint32_t capacity = ((extraLength + size + 15) & ~15u) + 64;
        result = signEncrypt(scs, data.data(), size, extra, extraLength, capacity, &templatePart);
        if (result != TCS_RESULT_OK) return result;
    }

    std::vector<uint8_t> record{DSS_PACKED_VERSION, 1, uint8_t(secure ? 1 : 0), uint8_t(finger)};
    putU32(record, payloadField);
    record.insert(record.end(), payloadPart.begin(), payloadPart.end());
    putU32(record, uint32_t(templatePart.size()));
    record.insert(record.end(), templatePart.begin(), templatePart.end());
    if (profileSize != 0) {
        putU16(record, uint16_t(profileSize));
        putU16(record, DSS_SECTION_ASP_PROFILE);
        record.insert(record.end(), profile.begin(), profile.end());
    }
    putU16(record, 4);
    putU16(record, DSS_SECTION_FLAGS);
    putU32(record, _tcsTemplateGetFeatures(templ) == 0 ? DSS_FLAG_NO_FEATURES : 0);

    uint8_t* out = copyOut(record.data(), uint32_t(record.size()));
    std::fill(payloadPart.begin(), payloadPart.end(), uint8_t(0));
    if (out == nullptr) return TCS_RESULT_INVALID;
    *outRecord = out;
    *outRecordLength = uint32_t(record.size());
    return TCS_RESULT_OK;
}

TcsResult _tcsDatabaseExTPEKPackTemplateData(SensorRecord* sensor, const uint8_t* templateData, uint32_t templateSize,
                                             uint32_t payloadLength, const uint8_t* payload,
                                             uint32_t keyMaterialLength, const uint8_t* keyMaterial,
                                             uint32_t* outWrappedLength, uint8_t** outWrapped,
                                             uint32_t* outAuthLength, uint8_t** outAuthData, DssTemplate* dbTemplate) {
    if ((payloadLength != 0 && payload == nullptr) || (keyMaterialLength != 0 && keyMaterial == nullptr)) {
        return TCS_RESULT_BAD_PARAM;
    }
    ScsSensor* scs = scsOf(sensor);
    if (scs == nullptr || templateData == nullptr || outWrappedLength == nullptr || outWrapped == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    SecretBytes pek(kPekLength);
    uint8_t iv[kAuthIvLength] = {};
    uint32_t fromCache = 0, unchanged = 0;
    TcsResult result = TCS_RESULT_OK;
    if (keyMaterialLength != 0) {
        std::vector<uint8_t> stored, userId;
        uint8_t digest[32];
        if (readUserBlob(dbTemplate, DSS_BLOB_USER_KEY_DIGEST, &stored) != TCS_RESULT_OK ||
            sha256(keyMaterial, keyMaterialLength, digest) != TCS_RESULT_OK || stored.size() != 32 ||
            std::memcmp(stored.data(), digest, 32) != 0 || readUserBlob(dbTemplate, DSS_BLOB_USER_ID, &userId) != TCS_RESULT_OK) {
            return DSS_RESULT_KEY_MATERIAL;
        }
        if (keyMaterialLength < kPekLength) return DSS_RESULT_KEY_MATERIAL;
        pek.assign(keyMaterial, kPekLength);
        uint8_t context[DSS_LAST_ID_CONTEXT_SIZE] = {};
        std::memcpy(context, pek.data(), kPekLength);
        result = sha256(userId.data(), uint32_t(userId.size()), context + 64);
        if (result == TCS_RESULT_OK) result = _tcsSensorSetLastIdentificationCtx(sensor, context, sizeof context);
        std::memset(context, 0, sizeof context);
        if (result != TCS_RESULT_OK) return result;
        palCryptoRng(iv, sizeof iv);
    } else {
        if (_tcsDatabaseExGetPEKAndVerifyCache(sensor, dbTemplate, payload, payloadLength, &fromCache, &unchanged,
                                               pek.data(), iv) != TCS_RESULT_OK) {
            return TCS_RESULT_BAD_PARAM;
        }
        if (fromCache != 0 && unchanged == 0) return DSS_RESULT_KEY_MATERIAL;
    }

    std::vector<uint8_t> wrapped;
    result = signEncrypt(scs, templateData, templateSize, pek.data(), kPekLength, templateSize + 100, &wrapped);
    if (result != TCS_RESULT_OK) return result;
    if (payloadLength != 0) {
        result = _tcsDatabaseExPackAuthData(sensor, payload, payloadLength, DSS_AUTH_DATA_KIND_PAYLOAD, outAuthData,
                                            outAuthLength, dbTemplate, iv, pek.data());
        if (result != TCS_RESULT_OK) return result;
    }
    if (keyMaterialLength == 0 && fromCache == 0) {
        result = _tcsDatabaseExCachPEKAndPayloads(sensor, dbTemplate, payload, payloadLength, pek.data());
        if (result == TCS_RESULT_DATA_ID_DOESNT_EXIST) result = TCS_RESULT_OK;  // no user id yet
        if (result != TCS_RESULT_OK) return result;
    }
    uint8_t* out = copyOut(wrapped.data(), uint32_t(wrapped.size()));
    if (out == nullptr) return TCS_RESULT_INVALID;
    *outWrapped = out;
    *outWrappedLength = uint32_t(wrapped.size());
    return TCS_RESULT_OK;
}

TcsResult _tcsDatabaseExTPUnPackTemplateData(SensorRecord* sensor, const uint8_t* callerId16, uint32_t recordLength,
                                             const uint8_t* record, TcsHandle* outTemplate,
                                             uint32_t* outPayloadLength, uint8_t** outPayload,
                                             uint32_t* outEncPayloadLength, uint8_t** outEncPayload, uint32_t force) {
    if (record == nullptr) return TCS_RESULT_NULL_POINTER;
    if (recordLength < DSS_PACKED_MIN_LENGTH) return TCS_RESULT_BAD_PARAM;
    if (record[0] != DSS_PACKED_VERSION) return TCS_RESULT_ERROR;
    if (outTemplate == nullptr) return TCS_RESULT_NULL_POINTER;

    ScsSensor* scs = scsOf(sensor);
    const bool secure = record[2] == 1;
    if (secure && !canMatchSecurely(scs)) return TCS_RESULT_ERROR;
    const bool pek = secure && pekSecured(scs);
    ParsedRecord parsed;
    TcsResult result = parseRecord(record, recordLength, pek, &parsed);
    if (result != TCS_RESULT_OK) return result;

    SecretBytes plainTemplate;
    std::vector<uint8_t> cachedProfile;
    uint32_t cachedFeatures = 0;
    bool fromCache = false, addToCache = false;
    uint32_t decryptReported = 0;
    uint8_t digest[16] = {};
    if (secure) {
        if (callerId16 == nullptr) return TCS_RESULT_NULL_POINTER;
        result = palCryptoDigest(record, recordLength, digest, kMd5);
        if (result != TCS_RESULT_OK) return result;
        uint8_t* data = nullptr;
        uint32_t length = 0;
        uint8_t* profile = nullptr;
        uint32_t profileLength = 0;
        result = scsSensorGetDecTemplate(scs, callerId16, digest, &data, &length, &profile, &profileLength, &cachedFeatures);
        if (result == TCS_RESULT_OK) {
            if (force != 1) {
                plainTemplate.assign(data, length);
                if (profile != nullptr) cachedProfile.assign(profile, profile + profileLength);
                fromCache = true;
            }
            wipeFree(data, length);
            palRealFree(profile);
        } else if (result == TCS_RESULT_DOESNT_EXIST) {
            addToCache = true;
        } else {
            return result;
        }
        if (!fromCache) {
            // The sensor's command carries the length in 16 bits.
            if (parsed.templLength > 0xFFFF) return TCS_RESULT_ERROR;
            plainTemplate.resize(parsed.templLength);
            uint32_t templLength = parsed.templLength;
            SecretBytes extra(parsed.templLength + 64);
            uint32_t extraLength = uint32_t(extra.size());
            result = scsSensorDecVerifyTemplateData(scs, uint16_t(parsed.templLength), parsed.templ, 0, nullptr, nullptr,
                                                    plainTemplate.data(), &templLength, extra.data(), &extraLength);
            if (result != TCS_RESULT_OK) return result;
            if (templLength > parsed.templLength) return TCS_RESULT_ERROR;
            plainTemplate.resize(templLength);
            decryptReported = extraLength;
        }
    } else {
        plainTemplate.assign(parsed.templ, parsed.templLength);
    }

    TcsHandle handle = 0;
    result = tcsTemplateCreate(&handle, plainTemplate.data(), uint32_t(plainTemplate.size()));
    if (result != TCS_RESULT_OK) return result;
    if (parsed.finger != 0) tcsTemplateSetFinger(handle, parsed.finger);

    std::vector<uint8_t> profile;
    uint32_t features = 1;
    for (uint32_t at = parsed.sectionsAt; recordLength - at >= 4;) {
        const uint32_t sectionLength = readU16(record + at);
        const uint32_t kind = readU16(record + at + 2);
        if (sectionLength > recordLength - at - 4) break;
        const uint8_t* body = record + at + 4;
        if (kind == DSS_SECTION_ASP_PROFILE) {
            profile.assign(body, body + sectionLength);
            tcsTemplateSetASPProfile(handle, body, sectionLength);
        } else if (kind == DSS_SECTION_FLAGS && sectionLength >= 4) {
            features = (readU32(body) & DSS_FLAG_NO_FEATURES) == 0 ? 1 : 0;
            tcsTemplateSetFeatures(handle, features);
        }
        at += 4 + sectionLength;
    }
    if (addToCache) {
        scsSensorSetDecTemplate(scs, callerId16, digest, plainTemplate.data(), uint32_t(plainTemplate.size()),
                                profile.empty() ? nullptr : profile.data(), uint32_t(profile.size()), features);
    }

    uint8_t* payloadCopy = nullptr;
    if (parsed.payloadBytes != 0) {
        payloadCopy = copyOut(parsed.payload, parsed.payloadBytes);
        if (payloadCopy == nullptr) {
            tcsHandleDestroy(handle);
            return TCS_RESULT_INVALID;
        }
    }
    *outTemplate = handle;
    if (!secure) {
        if (outPayload != nullptr) *outPayload = payloadCopy;
        else palRealFree(payloadCopy);
        if (outPayloadLength != nullptr) *outPayloadLength = parsed.payloadLength;
    } else {
        if (outEncPayload != nullptr) *outEncPayload = payloadCopy;
        else palRealFree(payloadCopy);
        if (outEncPayloadLength != nullptr) *outEncPayloadLength = parsed.payloadLength;
        if (outPayloadLength != nullptr) *outPayloadLength = decryptReported;
    }
    return TCS_RESULT_OK;
}

TcsResult _tcsDatabaseExTPWithoutHeaders(SensorRecord*, uint32_t recordLength, const uint8_t* record,
                                         uint32_t* outLength, const uint8_t** outPointer) {
    if (record == nullptr || recordLength < DSS_PACKED_MIN_LENGTH) return TCS_RESULT_INVALID;
    if (outLength == nullptr || outPointer == nullptr) return TCS_RESULT_NULL_POINTER;
    if (record[0] != DSS_PACKED_VERSION) return TCS_RESULT_ERROR;
    const uint32_t length = readU32(record + 8);
    // The length comes from the record: it may not reach past it.
    if (length > recordLength - 12) return TCS_RESULT_ERROR;
    *outLength = length;
    *outPointer = record + 12;
    return TCS_RESULT_OK;
}

TcsResult _tcsDatabaseExTPGetFingerIndex(SensorRecord*, uint32_t recordLength, const uint8_t* record,
                                         uint32_t* outFinger) {
    if (record == nullptr || recordLength < DSS_PACKED_MIN_LENGTH) return TCS_RESULT_INVALID;
    if (outFinger == nullptr) return TCS_RESULT_NULL_POINTER;
    if (record[0] != DSS_PACKED_VERSION) return TCS_RESULT_ERROR;
    *outFinger = record[3];
    return TCS_RESULT_OK;
}

TcsResult _tcsDatabaseExPackAuthData(SensorRecord* sensor, const uint8_t* data, uint32_t length, uint32_t kind,
                                     uint8_t** outBlock, uint32_t* outLength, DssTemplate* dbTemplate,
                                     const uint8_t* iv16, const uint8_t* key) {
    if (length != 0 && data == nullptr) return TCS_RESULT_BAD_PARAM;
    if (iv16 == nullptr || key == nullptr) return TCS_RESULT_NULL_POINTER;
    if (length > UINT32_MAX - 64) return TCS_RESULT_BAD_PARAM;
    ScsSensor* scs = scsOf(sensor);
    const uint32_t padded = (kAuthHeaderLength + length + 15) / 16 * 16;
    const uint32_t pad = padded - kAuthHeaderLength - length;
    SecretBytes scratch(padded);
    std::memcpy(scratch.data(), &kind, 4);
    std::memcpy(scratch.data() + 4, &pad, 4);
    if (length != 0) std::memcpy(scratch.data() + kAuthHeaderLength, data, length);

    std::vector<uint8_t> block(padded + kAuthIvLength);
    uint8_t iv[kAuthIvLength];
    std::memcpy(iv, iv16, sizeof iv);
    uint32_t outBytes = padded;
    const bool ctr = selkinSecure(scs);
    TcsResult result = palCryptoEncrypt(scratch.data(), padded, block.data(), &outBytes, key, ctr ? 16 : 32, iv,
                                        ctr ? kAesCtr : kAesCbc);
    scratch.wipe();
    if (result != TCS_RESULT_OK) return result;
    std::memcpy(block.data() + padded, iv16, kAuthIvLength);

    if (pekSecured(scs)) {
        std::vector<uint8_t> wrapped;
        result = signEncrypt(scs, nullptr, 0, block.data(), uint32_t(block.size()), padded + 32 + kAuthIvLength, &wrapped);
        if (result != TCS_RESULT_OK) return result;
        block = std::move(wrapped);
    }
    if (outBlock != nullptr) {
        uint8_t* out = copyOut(block.data(), uint32_t(block.size()));
        if (out == nullptr) return TCS_RESULT_INVALID;
        *outBlock = out;
        if (outLength != nullptr) *outLength = uint32_t(block.size());
        return TCS_RESULT_OK;
    }
    if (outLength != nullptr) *outLength = uint32_t(block.size());
    std::vector<uint8_t> existing;
    if (readUserBlob(dbTemplate, DSS_BLOB_USER_AUTH_DATA, &existing) == TCS_RESULT_OK) return TCS_RESULT_OK;
    return writeUserBlob(dbTemplate, DSS_BLOB_USER_AUTH_DATA, block.data(), uint32_t(block.size()));
}

TcsResult _tcsDatabaseExUnPackAuthData(SensorRecord* sensor, uint32_t length, const uint8_t* block, const uint8_t* key,
                                       uint32_t, uint32_t flag, uint32_t, uint32_t, uint32_t* outLength,
                                       uint8_t** outData) {
    if (block == nullptr || outLength == nullptr || outData == nullptr) return TCS_RESULT_NULL_POINTER;
    ScsSensor* scs = scsOf(sensor);
    if (!pekSecured(scs)) {
        uint8_t* copy = copyOut(block, length);
        if (copy == nullptr) return TCS_RESULT_INVALID;
        *outData = copy;
        *outLength = length;
        return TCS_RESULT_INVALID;
    }
    return scsSensorGetAuthData(scs, block, length, key, key != nullptr ? kPekLength : 0, outData, outLength, flag);
}

TcsResult _tcsDatabaseExStoreEncPayload(DssTemplate* dbTemplate, const uint8_t* block, uint32_t length) {
    if (block == nullptr) return TCS_RESULT_NULL_POINTER;
    return writeUserBlob(dbTemplate, DSS_BLOB_USER_AUTH_DATA, block, length);
}

TcsResult _tcsDatabaseExRestoreEncPayload(DssTemplate* dbTemplate, uint8_t** outBlock, uint32_t* outLength) {
    if (outBlock == nullptr || outLength == nullptr) return TCS_RESULT_NULL_POINTER;
    std::vector<uint8_t> block;
    const TcsResult result = readUserBlob(dbTemplate, DSS_BLOB_USER_AUTH_DATA, &block);
    if (result != TCS_RESULT_OK) return result;
    uint8_t* out = copyOut(block.data(), uint32_t(block.size()));
    if (out == nullptr) return TCS_RESULT_INVALID;
    *outBlock = out;
    *outLength = uint32_t(block.size());
    return TCS_RESULT_OK;
}

TcsResult _tcsDatabaseExUnPackPayload(SensorRecord* sensor, uint8_t* key32, uint32_t keyLength, uint32_t* outLength,
                                      uint8_t** outPayload, uint32_t, DssTemplate* dbTemplate) {
    if (key32 == nullptr || outLength == nullptr || outPayload == nullptr) return TCS_RESULT_NULL_POINTER;
    if (keyLength != kPekLength) {
        std::memset(key32, 0, keyLength);
        return TCS_RESULT_INVALID;
    }
    std::vector<uint8_t> block;
    TcsResult result = readUserBlob(dbTemplate, DSS_BLOB_USER_AUTH_DATA, &block);
    if (result == TCS_RESULT_OK) {
        uint8_t* payload = nullptr;
        uint32_t length = 0;
        result = _tcsDatabaseExUnPackAuthData(sensor, uint32_t(block.size()), block.data(), key32, 0, 1, 0, 0, &length,
                                              &payload);
        if (result == TCS_RESULT_OK) {
            _tcsDatabaseExCachPEKAndPayloads(sensor, dbTemplate, payload, length, key32);
            *outPayload = payload;
            *outLength = length;
        } else {
            wipeFree(payload, length);
        }
    }
    std::memset(key32, 0, kPekLength);
    return result;
}

TcsResult _tcsDatabaseExCachPEKAndPayloads(SensorRecord* sensor, DssTemplate* dbTemplate, const uint8_t* payload,
                                           uint32_t length, const uint8_t* pek32) {
    if (sensor == nullptr || pek32 == nullptr) return TCS_RESULT_NULL_POINTER;
    std::vector<uint8_t> userId;
    TcsResult result = readUserBlob(dbTemplate, DSS_BLOB_USER_ID, &userId);
    if (result != TCS_RESULT_OK) return result;
    uint8_t context[DSS_LAST_ID_CONTEXT_SIZE] = {};
    std::memcpy(context, pek32, kPekLength);
    if (length != 0 && payload != nullptr) result = sha256(payload, length, context + 32);
    if (result == TCS_RESULT_OK) result = sha256(userId.data(), uint32_t(userId.size()), context + 64);
    if (result == TCS_RESULT_OK) result = _tcsSensorSetLastIdentificationCtx(sensor, context, sizeof context);
    std::memset(context, 0, sizeof context);
    return result;
}

TcsResult _tcsDatabaseExGetPEKAndVerifyCache(SensorRecord* sensor, DssTemplate* dbTemplate, const uint8_t* payload,
                                             uint32_t length, uint32_t* outFromCache, uint32_t* outPayloadUnchanged,
                                             uint8_t* outPek32, uint8_t* outIv16) {
    if (outFromCache == nullptr || outPayloadUnchanged == nullptr || outPek32 == nullptr || outIv16 == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    *outFromCache = 0;
    *outPayloadUnchanged = 0;
    TcsResult result = palCryptoRng(outIv16, kAuthIvLength);
    if (result != TCS_RESULT_OK) return result;
    uint8_t context[DSS_LAST_ID_CONTEXT_SIZE] = {};
    std::vector<uint8_t> userId;
    uint8_t digest[32];
    if (readContext(scsOf(sensor), context) == TCS_RESULT_OK &&
        readUserBlob(dbTemplate, DSS_BLOB_USER_ID, &userId) == TCS_RESULT_OK &&
        sha256(userId.data(), uint32_t(userId.size()), digest) == TCS_RESULT_OK &&
        std::memcmp(context + 64, digest, 32) == 0) {
        std::memcpy(outPek32, context, kPekLength);
        *outFromCache = 1;
        uint8_t payloadDigest[32] = {};
        if (length != 0 && payload != nullptr) sha256(payload, length, payloadDigest);
        *outPayloadUnchanged = std::memcmp(context + 32, payloadDigest, 32) == 0 ? 1 : 0;
        std::memset(context, 0, sizeof context);
        return TCS_RESULT_OK;
    }
    std::memset(context, 0, sizeof context);
    return palCryptoAesKeyGen(outPek32, kPekLength);
}

TcsResult _tcsDatabaseExCacheVerifyIdentifyPayoad(SensorRecord* sensor, const SizedBuffer* userId,
                                                  const uint8_t* payload, uint32_t length, uint8_t* out32) {
    if (userId == nullptr || out32 == nullptr) return TCS_RESULT_NULL_POINTER;
    uint8_t context[DSS_LAST_ID_CONTEXT_SIZE] = {};
    if (readContext(scsOf(sensor), context) != TCS_RESULT_OK) return DSS_RESULT_KEY_MATERIAL;
    uint8_t idDigest[32], payloadDigest[32] = {};
    TcsResult result = sha256(userId->data, userId->length, idDigest);
    if (result == TCS_RESULT_OK && length != 0 && payload != nullptr) result = sha256(payload, length, payloadDigest);
    if (result == TCS_RESULT_OK) {
        if (std::memcmp(context + 64, idDigest, 32) != 0 || std::memcmp(context + 96, payloadDigest, 32) != 0) {
            result = DSS_RESULT_KEY_MATERIAL;
        } else {
            std::memcpy(out32, context, kPekLength);
        }
    }
    std::memset(context, 0, sizeof context);
    return result;
}

TcsResult _tcsDatabaseExCachUpdateIdentifyPayoad(SensorRecord* sensor, const uint8_t* payload, uint32_t length) {
    uint8_t context[DSS_LAST_ID_CONTEXT_SIZE] = {};
    TcsResult result = readContext(scsOf(sensor), context);
    if (result != TCS_RESULT_OK) return result;
    std::memset(context + 96, 0, 32);
    if (length != 0 && payload != nullptr) result = sha256(payload, length, context + 96);
    if (result == TCS_RESULT_OK) result = _tcsSensorSetLastIdentificationCtx(sensor, context, sizeof context);
    std::memset(context, 0, sizeof context);
    return result;
}

TcsResult _tcsDatabaseExCachRemoveUser(SensorRecord* sensor, const SizedBuffer* userId) {
    if (userId == nullptr) return TCS_RESULT_NULL_POINTER;
    uint8_t context[DSS_LAST_ID_CONTEXT_SIZE] = {};
    TcsResult result = readContext(scsOf(sensor), context);
    if (result != TCS_RESULT_OK) return result;
    uint8_t digest[32];
    result = sha256(userId->data, userId->length, digest);
    if (result == TCS_RESULT_OK && std::memcmp(context + 64, digest, 32) == 0) {
        result = _tcsSensorSetLastIdentificationCtx(sensor, nullptr, 0);
    }
    std::memset(context, 0, sizeof context);
    return result;
}

}  // extern "C"
