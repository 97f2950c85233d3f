// Fingerprint data encryption: the security record of a capture (fresh key and IV for the sensor)
// and the in-place decryption of each delivery, its last ciphertext block the IV of the next.
#include "tcs/sensorctl/secure/print_config.h"

#include "platform/crypto/crypto.h"
#include "platform/settings.h"
#include "platform/text.h"
#include "tcs/sensorctl/secure/fp_crypto.h"
#include "tcs/sensorctl/secure/fp_signing.h"
#include "tcs/sensorctl/secure/security.h"

#include <cstring>
#include "tcs/sensorctl/protocol/protocol_state.h"

extern "C" TcsResult scsSensorDecryptFingerprint(ScsSensorDevice* device, uint8_t* buffer, uint32_t* length) {
    if (device == nullptr || length == nullptr) return TCS_RESULT_BAD_PARAM;
    scsproto::DeviceState* state = scsproto::stateOf(device);
    if (state == nullptr || !state->fpEncrypted || *length == 0) return TCS_RESULT_OK;
    if (buffer == nullptr) return TCS_RESULT_BAD_PARAM;
    // Only whole blocks are decrypted. A delivery with a tail of less than 16 bytes used to be
    // decrypted past its end, and the next IV taken from before the buffer; now only the whole
    // blocks are delivered and the tail stays in the buffer, never passed on as plaintext.
    const uint32_t whole = *length & ~15u;
    if (whole != 0) {
        const TcsResult result = palCryptoDecrypt(buffer, whole, buffer, nullptr, state->fpKey, state->fpKeyLength,
                                                  state->fpIv, 5);
        if (result != TCS_RESULT_OK) {
            _scsSensorFpCryptContextFinalize(device, 0);
            return result;
        }
        const TcsResult signed_ = _scsSensorFpSignUpdate(device, buffer, whole);
        if (signed_ != TCS_RESULT_OK) return signed_;
    }
    *length = whole;
    return TCS_RESULT_OK;
}

extern "C" TcsResult scsGetFpBufferingParams(ScsSensorDevice* device, uint8_t* outRecord, uint32_t* outSize) {
    if (device == nullptr || outSize == nullptr) return TCS_RESULT_BAD_PARAM;
    scsproto::DeviceState* state = scsproto::stateOf(device);
    if (state == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    *outSize = 20;
    if (outRecord != nullptr) {
        const uint32_t words[4] = {state->fpBufferingParams[0], state->fpBufferingParams[1],
                                   state->fpBufferingFirstUnit,
                                   state->fpBufferingFirstUnit + state->fpBufferingUnitCount - 1};
        const uint16_t head[2] = {palHostToSensor16(SCS_TAG_FP_BUFFERING), palHostToSensor16(16)};
        std::memcpy(outRecord, head, 4);
        for (uint32_t i = 0; i < 4; ++i) {
            const uint32_t w = palHostToSensor32(words[i]);
            std::memcpy(outRecord + 4 + 4 * i, &w, 4);
        }
    }
    std::memcpy(state->bufferedFpKey, state->fpKey, sizeof state->bufferedFpKey);
    std::memcpy(state->bufferedFpIv, state->fpIv, sizeof state->bufferedFpIv);
    state->bufferedFpEncrypted = state->fpEncrypted;
    return TCS_RESULT_OK;
}

extern "C" uint32_t scsSensorFpEncryptionEnabled(ScsSensorDevice* device) {
    if (device == nullptr) return 0;
    const ScsFwVersion* v = device->fwVersion;
    const uint32_t byDefault =
        v != nullptr && uint32_t(v->major) * 256 + v->minor >= 1044 && device->productFamily != SCS_FAMILY_4 ? 1 : 0;
    uint32_t value = byDefault;
    if (palGetPersistentDataLongValue("SOFTWARE\\Tovantic\\tfs530", "encryptFPData", byDefault, &value) != TCS_RESULT_OK) {
        value = byDefault;
    }
    return value != 0 ? 1 : 0;
}

extern "C" TcsResult scsGetSecurityParams(ScsSensorDevice* device, uint8_t* outRecord, uint32_t* outSize,
                                          uint32_t sign, uint32_t lineLength) {
    if (device == nullptr || outSize == nullptr) return TCS_RESULT_BAD_PARAM;
    *outSize = 0;
    if (!scsSSLIsInSession(device) || !scsSensorFpEncryptionEnabled(device)) return TCS_RESULT_OK;
    *outSize = 110;
    if (outRecord == nullptr) return TCS_RESULT_OK;
    scsproto::DeviceState* state = scsproto::stateOf(device);
    if (state == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    // An earlier capture's context ends here; its key and signature stay unless this one signs.
    _scsSensorFpCryptContextFinalize(device, sign == 0 ? 1 : 0);
    const uint32_t keyLength = scsSSLGetSessionKeyLength(device);
    const uint8_t sizeCode = keyLength == 16 ? 1 : keyLength == 24 ? 2 : keyLength == 32 ? 4 : 0;
    // A session key of another length has no size code for the sensor.
    if (sizeCode == 0) return TCS_RESULT_BAD_PARAM;
    TcsResult result = _scsSensorFpEncInit(device);
    if (result == TCS_RESULT_OK && sign != 0) result = _scsSensorFpSignInit(device, uint16_t(lineLength));
    if (result != TCS_RESULT_OK) {
        _scsSensorFpCryptContextFinalize(device, 0);
        return result;
    }
    state->fpKeyLength = keyLength;
    std::memset(outRecord, 0, 110);
    outRecord[0] = SCS_TAG_SECURITY;
    outRecord[2] = 106;
    std::memcpy(outRecord + 4, state->fpKey, 32);
    std::memcpy(outRecord + 36, state->fpIv, 32);
    if (sign != 0) std::memcpy(outRecord + 68, state->signingKey, 32);
    outRecord[105] = 0x03;  // u32 0x300 at 104
    outRecord[108] = sizeCode;
    outRecord[109] = 1;
    return TCS_RESULT_OK;
}
