// Security state, secure session, certificates, print signatures, the template commands of a
// secured sensor, and signing with a host private key.
#include "platform/crypto/crypto.h"
#include "tcs/sensorctl/secure/data_slots.h"
#include "tcs/sensorctl/secure/chip_session.h"
#include "tcs/sensorctl/protocol/device_properties.h"
#include "tcs/sensorctl/protocol/patches.h"
#include "tcs/sensorctl/secure/public_keys.h"
#include "tcs/sensorctl/ownership/secure_storage.h"
#include "tcs/sensorctl/secure/security.h"
#include "tcs/sensorctl/protocol/sensor_commands.h"
#include "tcs/sensorctl/protocol/sensor_commands_more.h"
#include "tcs/sensorctl/protocol/sensor_properties.h"
#include "tcs/sensorctl/secure/ssl_session.h"
#include "tools/sensor/diag_internal.h"

#include <algorithm>
#include <cstring>

using namespace tovdiag;

namespace {

constexpr uint32_t kSignatureSize = 256;
constexpr uint32_t kFpSignatureSize = 32;
constexpr uint32_t kHandshakeStep = 209;
constexpr uint32_t kHandshakeStepMs = 10;
// The handshake's own commands wait 15000 ms each; a session that never comes up ends the loop.
constexpr uint32_t kHandshakeLimitMs = 60000;

// Stores a predicate of the sensor and returns the handle map's result.
template <typename Predicate>
TcsResult statusGetter(TcsHandle handle, uint32_t* out, Predicate predicate) {
    if (handle == 0) return kNullSensor;
    if (out == nullptr) return kNullPointer;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    *out = uint32_t(predicate(sensor.scs()));
    return sensor.result;
}

uint32_t inSecureSession(ScsSensor* sensor) {
    DeviceRef ref(sensor);
    return ref.result == kOk ? scsSSLIsInSession(ref.device) : 0;
}

}  // namespace

extern "C" {

TcsResult tcsTestSensorIsRsaSecured(TcsHandle sensor, uint32_t* out) {
    return statusGetter(sensor, out, [](ScsSensor* s) { return scsSensorIsRSASecured(s); });
}

TcsResult tcsTestSensorIsAesSecured(TcsHandle sensor, uint32_t* out) {
    return statusGetter(sensor, out, [](ScsSensor* s) { return scsSensorIsAESSecured(s); });
}

TcsResult tcsTestSensorGetSecurityStatus(TcsHandle sensor, uint32_t* out) {
    return statusGetter(sensor, out, [](ScsSensor* s) { return scsSensorIsSecured(s); });
}

TcsResult tcsTestIsInSecureSession(TcsHandle sensor, uint32_t* out) {
    return statusGetter(sensor, out, inSecureSession);
}

TcsResult tcsTestIsSelkinMatchOnChip(TcsHandle sensor, uint32_t* out) {
    return statusGetter(sensor, out, [](ScsSensor* s) { return scsIsSelkinMatchOnChip(s); });
}

TcsResult tcsTestStopSSLSession(TcsHandle handle, uint32_t sendAlert) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    return scsSSLCloseSession(ref.device, sendAlert);
}

TcsResult tcsTestEstablishSSLSession(TcsHandle handle) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    return scsSSLEstablishSessionEx(ref.device);
}

TcsResult tcsTestRSEstablishSessionKey(TcsHandle handle) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    return scsDHEstablishSessionKey(sensor.scs(), 1);
}

TcsResult tcsTestSensorGetAuthData(TcsHandle handle, const uint8_t* block, uint32_t blockLength, const uint8_t* extra,
                                   uint32_t extraLength, uint8_t** outData, uint32_t* outLength, uint32_t selector) {
    if (handle == 0) return kNullSensor;
    if (block == nullptr || outData == nullptr || outLength == nullptr) return kNullPointer;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    return scsSensorGetAuthData(sensor.scs(), block, blockLength, extra, extraLength, outData, outLength, selector);
}

TcsResult tcsTestSensorValidateCertificate(TcsHandle handle, uint32_t length, const uint8_t* certificate,
                                           const uint8_t* signature) {
    if (handle == 0) return kNullSensor;
    if (certificate == nullptr || signature == nullptr) return kNullPointer;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    if (!scsSensorIsRSASecured(sensor.scs())) return kOk;
    return scsSensorValidateCertificate(sensor.scs(), length, certificate, signature);
}

TcsResult tcsTestSensorGetCertificate(TcsHandle handle, uint32_t* outKeyLength, uint32_t* outExponent,
                                      uint8_t* outModulus256, uint8_t* outSignature256) {
    if (handle == 0) return kNullSensor;
    if (outKeyLength == nullptr || outExponent == nullptr || outModulus256 == nullptr || outSignature256 == nullptr) {
        return kNullPointer;
    }
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    result = LoadSecurityManagementPatch(sensor.scs(), 0);
    if (result != kOk) return result;
    result = scsSensorGetCertificate(sensor.scs(), outKeyLength, outExponent, outModulus256, outSignature256);
    TcsResult restored = scsSensorRestoreRunPatch(sensor.scs());
    return restored != kOk ? restored : result;
}

TcsResult tcsTestSensorGetPrintSignature(TcsHandle handle, uint8_t* outKind, uint8_t* outBlock256) {
    if (handle == 0) return kNullSensor;
    if (outKind == nullptr || outBlock256 == nullptr) return kNullPointer;
    Sensor sensor;
    TcsResult result = kOk;
    if (!beginSensor(handle, true, &sensor, &result)) return result;
    return scsSensorGetPrintSignature(sensor.scs(), outKind, outBlock256);
}

TcsResult tcsTestSensorGetLastFpSignature(TcsHandle handle, uint8_t* out32) {
    Sensor sensor = fetchSensor(handle);
    if (handle == 0) return kNullSensor;
    if (sensor.record == nullptr) return sensor.result;
    if (out32 == nullptr) return kNullPointer;
    TcsResult result = tcsTestIsSensorInitialized(handle);
    if (result != kOk) return result;
    return scsSensorGetLastFpSignature(sensor.scs(), out32);
}

TcsResult tcsTestSensorVerifyFpSignature(TcsHandle handle) {
    if (handle == 0) return kNullSensor;
    uint8_t kind = 0;
    uint8_t block[kSignatureSize] = {};
    uint8_t last[kFpSignatureSize] = {};
    TcsResult result = tcsTestSensorGetPrintSignature(handle, &kind, block);
    if (result != kOk) return result;
    result = tcsTestSensorGetLastFpSignature(handle, last);
    if (result != kOk) return result;
    if (kind != 1) return std::memcmp(block, last, kFpSignatureSize) == 0 ? kOk : kMismatch;

    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    // The sensor sends the signature least significant byte first.
    std::reverse(block, block + kSignatureSize);
    uint8_t modulus[kSignatureSize] = {};
    result = scsGetDataFromStorage(ref.device, SCS_SLOT_SENSOR_CERTIFICATE, SCS_SERIALIZER_SPI_FLASH,
                                   SCS_PROTECTOR_NONE, kSignatureSize, modulus);
    if (result != kOk) return result;
    const uint8_t exponent[4] = {0x01, 0x00, 0x01, 0x00};  // 65537, least significant byte first
    CryptoKeyObject* key = nullptr;
    result = palCryptoRsaCreatePublicKeyHandle(2048, exponent, modulus, &key);
    if (result != kOk) return result;
    result = palCryptoRsaVerify(block, kSignatureSize, last, kFpSignatureSize, 0, key);
    palCryptoObjectDestroyHandle(&key);
    return result;
}

TcsResult tcsTestSensorDecVerifyTemplateData(TcsHandle handle, uint32_t length, const uint8_t* input,
                                             uint32_t secondLength, const uint8_t* second, const uint8_t* value32,
                                             uint8_t* outFirst, uint32_t* inOutFirst, uint8_t* outSecond,
                                             uint32_t* inOutSecond) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    if (input == nullptr || outFirst == nullptr || inOutFirst == nullptr || outSecond == nullptr) return kNullPointer;
    // The command carries a 16-bit length.
    if (length > 0xFFFFu) return kBadParam;
    return scsSensorDecVerifyTemplateData(sensor.scs(), uint16_t(length), input, secondLength, second, value32,
                                          outFirst, inOutFirst, outSecond, inOutSecond);
}

TcsResult tcsTestSensorSignEncTemplateData(TcsHandle handle, uint32_t length, const uint8_t* input,
                                           uint32_t extraLength, const uint8_t* extra, uint8_t* outData,
                                           uint32_t* inOutLength) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    if (outData == nullptr || inOutLength == nullptr) return kNullPointer;
    return scsSensorSignEncTemplateData(sensor.scs(), length, input, extraLength, extra, outData, inOutLength);
}

TcsResult tcsTestSensorMatchVerify(TcsHandle handle, uint32_t length, const uint8_t* templ, const uint8_t* value32,
                                   uint8_t* outData, uint32_t* inOutLength) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    if (templ == nullptr || value32 == nullptr || outData == nullptr || inOutLength == nullptr) return kNullPointer;
    if (length > 0xFFFFu) return kBadParam;
    return scsSensorMatchVerify(sensor.scs(), uint16_t(length), templ, value32, outData, inOutLength);
}

TcsResult tcsTestSecureCommunication(TcsHandle handle, const uint8_t* secret32, uint32_t length) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    if (length != SCS_SHARED_SECRET_SIZE || secret32 == nullptr) return kBadParam;
    TcsResult result = readVersion(sensor.scs());
    if (result != kOk) return result;
    result = scsDataSlotSetCachedSecret(ref.device, secret32);
    if (result != kOk) return result;
    // Steps run until one fails or the session is up. The steps answer 0 while their replies are
    // outstanding, so they are paced and bounded rather than spun without end.
    const uint32_t start = palGetTickCount();
    while (!scsSSLIsInSession(ref.device)) {
        result = scsSSLEstablishSession(nullptr, kHandshakeStep, ref.device);
        if (result != kOk) return result;
        if (palGetTickCount() - start > kHandshakeLimitMs) return kTimeout;
        palSleep(kHandshakeStepMs);
    }
    return kOk;
}

TcsResult tcsTestSensorUpdateSecurityState(TcsHandle handle) {
    if (handle == 0) return kNullSensor;
    Sensor sensor = fetchSensor(handle);
    if (sensor.record == nullptr) return sensor.result;
    {
        DeviceRef ref(sensor.scs());
        if (ref.result != kOk) return ref.result;
        TcsResult result = ensureVersion(sensor.scs(), ref.device);
        if (result != kOk) return result;
        if (!scsSensorIsRSASensor(sensor.scs())) return kOk;
        SecurityFlags flags = securityFlags(ref.device);
        flags.state2 = true;
        setSecurityFlags(ref.device, flags);
    }
    TcsResult result = tcsTestDownloadInternalPatch(handle, 0x4000, 0);
    if (result != kOk) return result;
    result = readVersion(sensor.scs());
    if (result != kOk) return result;
    DeviceRef ref(sensor.scs());
    if (ref.result != kOk) return ref.result;
    if (ref.device->fwVersion == nullptr) return kNoVersion;
    // The security state is the low nibble of byte 24 of the version record.
    const uint8_t state = reinterpret_cast<const uint8_t*>(ref.device->fwVersion)[24] & 0x0F;
    SecurityFlags flags = securityFlags(ref.device);
    flags.state5 = state == 5;
    flags.state2 = state == 2;
    flags.state6or15 = state == 6 || state == 15;
    setSecurityFlags(ref.device, flags);
    return kOk;
}

TcsResult tcsTestSignDataByPrivK(const uint8_t* keyBlob, uint32_t blobLength, const uint8_t* data,
                                 uint32_t dataLength, uint32_t hashId, uint8_t* outSignature,
                                 uint32_t* inOutSignatureLength) {
    if (keyBlob == nullptr || data == nullptr || outSignature == nullptr || inOutSignatureLength == nullptr) {
        return kNullPointer;
    }
    CryptoKeyObject* key = nullptr;
    TcsResult result = palCryptoRsaCreatePrivateKeyHandle(blobLength, keyBlob, &key);
    if (result != kOk) return result;
    result = palCryptoRsaSign(data, dataLength, hashId, outSignature, inOutSignatureLength, key);
    palCryptoObjectDestroyHandle(&key);
    return result;
}

}  // extern "C"
