// The process's SHA-1 based random generator: a 20-byte XKEY advanced by XKEY = XKEY + 1 + X per
// output block X = SHA-1(XKEY, 12 zero bytes).

#include "platform/crypto/rsa.h"

#include "platform/crypto/cpu_features.h"
#include "platform/crypto/digests.h"

#include <string.h>

namespace {

// One state for the process, drawn from by the service thread, the database thread and callers'
// threads alike. Two unlocked draws at once could read the same XKEY and hand both callers the same
// bytes (the same IV or key twice), so every access holds the lock; outputs are unchanged.
PRNGCtx gPrng;

void sha1(const uint8_t* data, uint32_t length, uint8_t out[20]) {
    PalHashContext context;
    palHashInit(&context, PAL_HASH_SHA1);
    palHashUpdate(&context, data, length);
    palHashFinal(&context, out);
    tov::crypto::wipe(&context, sizeof context);
}

}  // namespace

namespace tov::crypto {

std::recursive_mutex& prngLock() {
    static auto* lock = new std::recursive_mutex;  // never destroyed: threads may draw during exit
    return *lock;
}

}  // namespace tov::crypto

extern "C" {

void palPRNGMathSum(const uint32_t* a, const uint32_t* b, uint32_t words, uint32_t* out) {
    uint64_t carry = 0;
    for (uint32_t i = 0; i < words; ++i) {
        const uint64_t sum = uint64_t(a[i]) + b[i] + carry;
        out[i] = uint32_t(sum);
        carry = sum >> 32;
    }
}

void palPRNGMathSum_q(uint32_t value, uint32_t* number, uint32_t words) {
    uint64_t carry = value;
    for (uint32_t i = 0; i < words && carry != 0; ++i) {
        const uint64_t sum = uint64_t(number[i]) + carry;
        number[i] = uint32_t(sum);
        carry = sum >> 32;
    }
}

TcsResult palPRNGContextInit(uint8_t* seed, uint32_t length) {
    if (seed == nullptr || length == 0) return TCS_RESULT_INVALID;
    std::lock_guard<std::recursive_mutex> hold(tov::crypto::prngLock());
    // Seeding mixes rather than resets: the caller's seed is XORed with the current XKEY in place.
    const uint32_t mixed = length < 20 ? length : 20;
    for (uint32_t i = 0; i < mixed; ++i) seed[i] ^= gPrng.xkey[i];
    sha1(seed, length, gPrng.xkey);
    gPrng.seeded = 1;
    return TCS_RESULT_OK;
}

TcsResult palPRNGRandomGenerate(uint8_t* out, uint32_t length) {
    if (out == nullptr || length == 0) return TCS_RESULT_INVALID;
    std::lock_guard<std::recursive_mutex> hold(tov::crypto::prngLock());
    if (!gPrng.seeded) return TCS_RESULT_ERROR;
    uint8_t input[32] = {};
    uint8_t x[20];
    uint32_t key[5], addend[5];
    while (length != 0) {
        memcpy(input, gPrng.xkey, 20);
        sha1(input, sizeof input, x);
        memcpy(key, gPrng.xkey, 20);
        memcpy(addend, x, 20);
        palPRNGMathSum_q(1, key, 5);
        palPRNGMathSum(key, addend, 5, key);
        memcpy(gPrng.xkey, key, 20);
        const uint32_t n = length < 20 ? length : 20;
        memcpy(out, x, n);
        out += n;
        length -= n;
    }
    tov::crypto::wipe(input, sizeof input);
    tov::crypto::wipe(x, sizeof x);
    tov::crypto::wipe(key, sizeof key);
    tov::crypto::wipe(addend, sizeof addend);
    return TCS_RESULT_OK;
}

void palPRNGContextUninit(void) {
    std::lock_guard<std::recursive_mutex> hold(tov::crypto::prngLock());
    tov::crypto::wipe(gPrng.xkey, sizeof gPrng.xkey);
    gPrng.seeded = 0;
}

}  // extern "C"
