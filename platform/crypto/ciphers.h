// Block cipher primitives: AES (128-, 192-, 256-bit keys) with CBC and CTR modes, single DES with CBC.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// 60 round-key words (each four key bytes, first byte most significant) and the round count: 244
// bytes. Encryption and decryption (inverse-cipher) schedules differ. The crypto interface accepts
// one in place of a key when the key length is given as PAL_AES_SCHEDULE_SIZE.
typedef struct PalAesKeySchedule {
    uint32_t roundKeys[60];
    uint32_t rounds;  // 10, 12 or 14
} PalAesKeySchedule;

enum : uint32_t { PAL_AES_SCHEDULE_SIZE = 244 };

// Key lengths 16, 24, 32; any other, or a null key or schedule, gives 7.
TcsResult palAESSetEncryptKey(const uint8_t* key, uint32_t keyLength, PalAesKeySchedule* schedule);
TcsResult palAESSetDecryptKey(const uint8_t* key, uint32_t keyLength, PalAesKeySchedule* schedule);
// One block; in and out may be the same. 7 for null arguments or a schedule without a valid round count.
TcsResult palAESEncrypt(const uint8_t in[16], uint8_t out[16], const PalAesKeySchedule* schedule);
TcsResult palAESDecrypt(const uint8_t in[16], uint8_t out[16], const PalAesKeySchedule* schedule);

// CBC over length bytes; the IV ends as the last ciphertext block, so calls continue one chain. A
// trailing partial block is zero-padded on encryption and written whole, so in and out must hold the
// length rounded up to 16. 40 for a null in, out, IV or schedule; in place allowed.
TcsResult palAesCBCEncrypt(const uint8_t* in, uint8_t* out, uint32_t length, uint8_t iv[16],
                           const PalAesKeySchedule* schedule);
TcsResult palAesCBCDecrypt(const uint8_t* in, uint8_t* out, uint32_t length, uint8_t iv[16],
                           const PalAesKeySchedule* schedule);

// CTR with a 128-bit big-endian counter block, updated in place; keyStream and position carry a
// partly used key-stream block between calls of the caller's choice. 7 for null arguments or a
// position above 15.
TcsResult palAesCtrEncDec(const uint8_t* in, uint8_t* out, uint32_t length, uint8_t counter[16],
                          const PalAesKeySchedule* schedule, uint8_t keyStream[16], uint32_t* position);
void palAESCtrInc(uint8_t counter[16]);

// Builds the schedule for the direction (or takes one when keyLength is 244), runs CBC, sets
// *outLength = length when outLength is given. 7 for a bad key length or null key.
TcsResult palCryptoAesCbc(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t* outLength, const uint8_t* key,
                          uint32_t keyLength, uint8_t iv[16], int encrypt);
// Every call starts a fresh key-stream block: a length that is not a multiple of 16 discards the rest
// of the last block, and the next call begins at the next counter value.
TcsResult palCryptoAesCtr(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t* outLength, const uint8_t* key,
                          uint32_t keyLength, uint8_t counter[16]);

// 16 rounds of two subkey words each (six-bit groups 1,3,5,7 and 2,4,6,8); the decryption
// schedule holds the rounds in reverse order.
typedef struct PalDesKeySchedule {
    uint32_t subkeys[32];
} PalDesKeySchedule;

TcsResult palDESSetKey(PalDesKeySchedule* schedule, const uint8_t key[8]);
TcsResult palDESSetEncryptionKey(PalDesKeySchedule* context, const uint8_t key[8]);
TcsResult palDESSetDecryptionKey(PalDesKeySchedule* context, const uint8_t key[8]);
TcsResult palDESCryptECB(const PalDesKeySchedule* schedule, const uint8_t in[8], uint8_t out[8]);
// length a multiple of 8 (7 otherwise; 0 does nothing); the IV ends as the last ciphertext block.
TcsResult palDESCryptCBC(const PalDesKeySchedule* schedule, uint8_t iv[8], const uint8_t* in, uint32_t length,
                         uint8_t* out, int encrypt);
// Schedule for the direction, then CBC; *outLength = length on success when outLength is given.
TcsResult palCryptoDesCbc(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t* outLength, const uint8_t key[8],
                          uint8_t iv[8], int encrypt);

#ifdef __cplusplus
}
#endif
