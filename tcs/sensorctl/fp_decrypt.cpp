// Fingerprint data decryption: each delivery of an encrypted capture is decrypted in place, its last
// ciphertext block becoming the IV of the next delivery.
#include "tcs/sensorctl/print_config.h"

#include "platform/crypto/crypto.h"
#include "tcs/sensorctl/protocol_state.h"

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
            state->fpEncrypted = false;
            return result;
        }
    }
    *length = whole;
    return TCS_RESULT_OK;
}
