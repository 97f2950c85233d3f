// The file system's encryption key: made on the host, wrapped by the sensor, and only ever kept
// on flash in its wrapped form.
#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "tcs/flashfs/flash_internal.h"
#include "tcs/sensorctl/ownership/secure_storage.h"

#include <string.h>

namespace {

constexpr uint32_t kWrapOverhead = 64;

// Clears a key so the compiler cannot drop the stores as dead.
void wipe(uint8_t* key, uint32_t length) {
    volatile uint8_t* p = key;
    for (uint32_t i = 0; i < length; ++i) p[i] = 0;
}

}  // namespace

extern "C" {

TcsResult xtfsGenFSSEncKey(ScsSensor* sensor, uint32_t keyLength, void* outBuffer, uint32_t* inOutLength) {
    if (inOutLength == nullptr || keyLength == 0 || keyLength > 0xFFFF - kWrapOverhead) return TCS_RESULT_BAD_PARAM;
    const uint32_t wrappedLength = keyLength + kWrapOverhead;
    if (outBuffer == nullptr) {
        *inOutLength = wrappedLength;
        return TCS_RESULT_OK;
    }
    // A buffer smaller than the wrapped key would be overrun by the sensor's answer.
    if (*inOutLength < wrappedLength) {
        *inOutLength = wrappedLength;
        return TCS_RESULT_BAD_PARAM;
    }
    xtfsdetail::DeviceRef ref(sensor);
    if (ref.result != TCS_RESULT_OK) return ref.result;
    auto* key = static_cast<uint8_t*>(palRealMalloc(keyLength));
    if (key == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    TcsResult result = palCryptoAesKeyGen(key, keyLength);
    uint32_t length = *inOutLength;
    if (result == TCS_RESULT_OK) {
        result = scsSensorSignEncTemplateData(sensor, keyLength, key, 0, nullptr, static_cast<uint8_t*>(outBuffer),
                                              &length);
    }
    wipe(key, keyLength);
    palRealFree(key);
    if (result == TCS_RESULT_OK) *inOutLength = length;
    return result;
}

}  // extern "C"
