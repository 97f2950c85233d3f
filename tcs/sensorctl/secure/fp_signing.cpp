// Fingerprint signing of a capture: HMAC-SHA-256 under a fresh key on sensors that are not
// RSA-secured; a digest on RSA-secured ones (MD5 over firmware 4.40's spans, else SHA-256 of all).
#include "tcs/sensorctl/secure/fp_signing.h"

#include "platform/crypto/crypto.h"
#include "tcs/sensorctl/protocol/protocol_state.h"

#include <cstring>

namespace {

void wipe(uint8_t* bytes, size_t length) {
    volatile uint8_t* p = bytes;
    for (size_t i = 0; i < length; ++i) p[i] = 0;
}

bool fw440(const ScsSensorDevice* device) {
    return device->fwVersion != nullptr && device->fwVersion->major == 4 && device->fwVersion->minor == 40;
}

// Drops a running context without a result.
void dropContexts(scsproto::DeviceState& state) {
    uint8_t scratch[32];
    uint32_t length = sizeof scratch;
    if (state.signMac != nullptr) palCryptoMACFinal(static_cast<MacContext*>(state.signMac), scratch, &length);
    if (state.signDigest != nullptr) palCryptoDigestFinal(static_cast<DigestContext*>(state.signDigest), scratch, &length);
    state.signMac = nullptr;
    state.signDigest = nullptr;
    wipe(scratch, sizeof scratch);
}

}  // namespace

extern "C" {

TcsResult _scsSensorFpEncInit(ScsSensorDevice* device) {
    scsproto::DeviceState* state = scsproto::stateOf(device);
    if (state == nullptr) return TCS_RESULT_BAD_PARAM;
    std::memset(state->fpKey, 0, sizeof state->fpKey);
    std::memset(state->fpIv, 0, sizeof state->fpIv);
    TcsResult result = palCryptoRng(state->fpKey, sizeof state->fpKey);
    if (result == TCS_RESULT_OK) result = palCryptoRng(state->fpIv, sizeof state->fpIv);
    if (result == TCS_RESULT_OK) state->fpEncrypted = true;
    return result;
}

TcsResult _scsSensorFpSignInit(ScsSensorDevice* device, uint16_t blockLength) {
    scsproto::DeviceState* state = scsproto::stateOf(device);
    if (state == nullptr) return TCS_RESULT_BAD_PARAM;
    dropContexts(*state);
    std::memset(state->signingKey, 0, sizeof state->signingKey);
    TcsResult result = palCryptoRng(state->signingKey, sizeof state->signingKey);
    if (result != TCS_RESULT_OK) return result;
    state->signSpans = false;
    if (device->rsaSecured == 0) {
        MacContext* mac = nullptr;
        result = palCryptoMACInit(&mac, state->signingKey, sizeof state->signingKey, 0);
        state->signMac = mac;
        return result;
    }
    DigestContext* digest = nullptr;
    const bool spans = fw440(device);
    result = palCryptoDigestInit(&digest, spans ? 2 : 0);  // 2 MD5, 0 SHA-256
    state->signDigest = digest;
    state->signSpans = spans;
    state->signBlockLength = blockLength;
    state->signPhase = 1;
    state->signPosition = 0;
    return result;
}

TcsResult _scsSensorFpSignUpdate(ScsSensorDevice* device, const uint8_t* data, uint32_t length) {
    scsproto::DeviceState* state = scsproto::stateOf(device);
    if (state == nullptr || (state->signMac == nullptr && state->signDigest == nullptr) || length == 0) {
        return TCS_RESULT_OK;
    }
    TcsResult result = TCS_RESULT_OK;
    if (state->signMac != nullptr) {
        result = palCryptoMACUpdate(static_cast<MacContext*>(state->signMac), data, length);
    } else if (state->signSpans) {
        scssign::walkSpans(state->signBlockLength, state->signPhase, state->signPosition, length,
                           [&](uint32_t offset, uint32_t n) {
                               if (result == TCS_RESULT_OK) {
                                   result = palCryptoDigestUpdate(static_cast<DigestContext*>(state->signDigest),
                                                                  data + offset, n);
                               }
                           });
    } else {
        result = palCryptoDigestUpdate(static_cast<DigestContext*>(state->signDigest), data, length);
    }
    if (result != TCS_RESULT_OK) _scsSensorFpCryptContextFinalize(device, 0);
    return result;
}

TcsResult _scsSensorFpCryptContextFinalize(ScsSensorDevice* device, uint32_t keep) {
    scsproto::DeviceState* state = scsproto::stateOf(device);
    if (state == nullptr) return TCS_RESULT_BAD_PARAM;
    state->fpEncrypted = false;
    wipe(state->fpKey, sizeof state->fpKey);
    wipe(state->fpIv, sizeof state->fpIv);
    TcsResult result = TCS_RESULT_OK;
    uint32_t length = sizeof state->signatureResult;
    if (state->signMac != nullptr) {
        result = palCryptoMACFinal(static_cast<MacContext*>(state->signMac), state->signatureResult, &length);
    } else if (state->signDigest != nullptr) {
        std::memset(state->signatureResult, 0, sizeof state->signatureResult);
        result = palCryptoDigestFinal(static_cast<DigestContext*>(state->signDigest), state->signatureResult, &length);
    }
    const bool finished = state->signMac != nullptr || state->signDigest != nullptr;
    state->signMac = nullptr;
    state->signDigest = nullptr;
    state->signBlockLength = 0;
    state->signPhase = 0;
    state->signPosition = 0;
    if (finished && result == TCS_RESULT_OK) {
        std::memcpy(device->lastFingerprintSignature, state->signatureResult, sizeof state->signatureResult);
    }
    if (keep == 0) {
        wipe(state->signingKey, sizeof state->signingKey);
        wipe(state->signatureResult, sizeof state->signatureResult);
    }
    return result;
}

TcsResult scsSensorFpCryptContextFinalize(ScsSensor* sensor, uint32_t keep) {
    ScsSensorDevice* device = nullptr;
    TcsResult result = scsSensorDeviceAcquire(sensor, &device);
    if (result != TCS_RESULT_OK) return result;
    result = _scsSensorFpCryptContextFinalize(device, keep);
    scsSensorDeviceRelease(device);
    return result;
}

}  // extern "C"
