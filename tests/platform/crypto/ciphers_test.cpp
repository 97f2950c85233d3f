// AES and DES: standard vectors on both code paths, CBC chaining and the partial-block rule, CTR's
// counter handling across calls, and the interface's cipher ids and result codes.

#include "platform/crypto/crypto.h"

#include "crypto_test_util.h"

#include <gtest/gtest.h>

#include <string.h>

using namespace crypto_test;

namespace {

const char* const kSp80038aPlain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";

std::vector<uint8_t> encrypt(uint32_t id, std::vector<uint8_t> data, const std::vector<uint8_t>& key,
                             std::vector<uint8_t>& iv) {
    uint32_t length = 0;
    EXPECT_EQ(palCryptoEncrypt(data.data(), uint32_t(data.size()), data.data(), &length, key.data(),
                               uint32_t(key.size()), iv.data(), id),
              TCS_RESULT_OK);
    EXPECT_EQ(length, data.size());
    return data;
}

std::vector<uint8_t> decrypt(uint32_t id, std::vector<uint8_t> data, const std::vector<uint8_t>& key,
                             std::vector<uint8_t>& iv) {
    uint32_t length = 0;
    EXPECT_EQ(palCryptoDecrypt(data.data(), uint32_t(data.size()), data.data(), &length, key.data(),
                               uint32_t(key.size()), iv.data(), id),
              TCS_RESULT_OK);
    return data;
}

}  // namespace

TEST(CryptoAes, Fips197AppendixC) {
    struct Case {
        const char* key;
        const char* cipher;
    };
    const Case cases[] = {
        {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "8ea2b7ca516745bfeafc49904b496089"},
    };
    const auto plain = hex("00112233445566778899aabbccddeeff");
    onEveryPath([&] {
        for (const Case& c : cases) {
            const auto key = hex(c.key);
            PalAesKeySchedule encryption, decryption;
            ASSERT_EQ(palAESSetEncryptKey(key.data(), uint32_t(key.size()), &encryption), TCS_RESULT_OK);
            ASSERT_EQ(palAESSetDecryptKey(key.data(), uint32_t(key.size()), &decryption), TCS_RESULT_OK);
            EXPECT_EQ(encryption.rounds, key.size() / 4 + 6);
            uint8_t block[16];
            ASSERT_EQ(palAESEncrypt(plain.data(), block, &encryption), TCS_RESULT_OK);
            EXPECT_EQ(toHex(block, 16), c.cipher);
            ASSERT_EQ(palAESDecrypt(block, block, &decryption), TCS_RESULT_OK);  // in place
            EXPECT_EQ(toHex(block, 16), toHex(plain));
        }
    });
}

TEST(CryptoAes, CbcAndCtrSp80038aVectors) {
    struct Case {
        uint32_t id;
        const char* key;
        const char* iv;
        const char* cipher;
    };
    const Case cases[] = {
        {PAL_CRYPTO_AES_CBC, "2b7e151628aed2a6abf7158809cf4f3c", "000102030405060708090a0b0c0d0e0f",
         "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
         "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
        {PAL_CRYPTO_AES_CBC, "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
         "000102030405060708090a0b0c0d0e0f",
         "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
         "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
        {PAL_CRYPTO_AES_CTR, "2b7e151628aed2a6abf7158809cf4f3c", "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff",
         "874d6191b620e3261bef6864990db6ce9806f66b7970fdff8617187bb9fffdff"
         "5ae4df3edbd5d35e5b4f09020db03eab1e031dda2fbe03d1792170a0f3009cee"},
    };
    onEveryPath([&] {
        for (const Case& c : cases) {
            auto iv = hex(c.iv);
            const auto cipher = encrypt(c.id, hex(kSp80038aPlain), hex(c.key), iv);
            EXPECT_EQ(toHex(cipher), c.cipher);
            iv = hex(c.iv);
            EXPECT_EQ(toHex(decrypt(c.id, cipher, hex(c.key), iv)), kSp80038aPlain);
        }
    });
}

TEST(CryptoAes, BothCodePathsAgreeOnLongData) {
    if (!tov::crypto::cpuHasAesInstructions()) GTEST_SKIP() << "no AES instructions on this processor";
    // 37 blocks: the eight-block loops of the instruction path plus a remainder; the counter's low
    // half wraps inside the run.
    const auto data = pattern(37 * 16);
    for (uint32_t keyLength : {16u, 24u, 32u}) {
        const auto key = pattern(keyLength, keyLength);
        for (uint32_t id : {PAL_CRYPTO_AES_CBC, PAL_CRYPTO_AES_CTR}) {
            const auto start = hex("0123456789abcdef fffffffffffffffb");
            std::vector<uint8_t> ivPortable = start, ivFast = start;
            tov::crypto::setHardwareAcceleration(false);
            const auto portable = encrypt(id, data, key, ivPortable);
            tov::crypto::setHardwareAcceleration(true);
            const auto fast = encrypt(id, data, key, ivFast);
            EXPECT_EQ(toHex(fast), toHex(portable)) << id << " " << keyLength;
            EXPECT_EQ(toHex(ivFast), toHex(ivPortable));
            std::vector<uint8_t> iv = start;
            EXPECT_EQ(toHex(decrypt(id, fast, key, iv)), toHex(data));
            EXPECT_EQ(toHex(iv), toHex(ivPortable));
        }
    }
}

TEST(CryptoAes, CbcChainsAcrossCallsAndPadsAPartialBlock) {
    const auto key = hex("2b7e151628aed2a6abf7158809cf4f3c");
    const auto data = pattern(64);
    onEveryPath([&] {
        auto ivWhole = hex("000102030405060708090a0b0c0d0e0f");
        const auto whole = encrypt(PAL_CRYPTO_AES_CBC, data, key, ivWhole);

        auto iv = hex("000102030405060708090a0b0c0d0e0f");
        const auto first = encrypt(PAL_CRYPTO_AES_CBC, {data.begin(), data.begin() + 32}, key, iv);
        EXPECT_EQ(toHex(iv), toHex(first.data() + 16, 16));  // the IV is the second ciphertext block
        const auto second = encrypt(PAL_CRYPTO_AES_CBC, {data.begin() + 32, data.end()}, key, iv);
        EXPECT_EQ(toHex(first) + toHex(second), toHex(whole));
        EXPECT_EQ(toHex(iv), toHex(ivWhole));

        // 20 bytes: the last 4 are zero-padded to a block and the whole block written.
        std::vector<uint8_t> padded(data.begin(), data.begin() + 20);
        padded.resize(32, 0);
        iv = hex("000102030405060708090a0b0c0d0e0f");
        const auto expected = encrypt(PAL_CRYPTO_AES_CBC, padded, key, iv);
        std::vector<uint8_t> buffer(data.begin(), data.begin() + 32);  // bytes 20.. are not zero
        iv = hex("000102030405060708090a0b0c0d0e0f");
        uint32_t length = 0;
        ASSERT_EQ(palCryptoEncrypt(buffer.data(), 20, buffer.data(), &length, key.data(), 16, iv.data(),
                                   PAL_CRYPTO_AES_CBC),
                  TCS_RESULT_OK);
        EXPECT_EQ(length, 20u);
        EXPECT_EQ(toHex(buffer), toHex(expected));
        EXPECT_EQ(toHex(iv), toHex(expected.data() + 16, 16));

        // Decrypting it in place restores the 20 bytes; the rest of the block keeps the decrypted
        // values, which for zero padding are the previous ciphertext block's bytes.
        iv = hex("000102030405060708090a0b0c0d0e0f");
        ASSERT_EQ(palCryptoDecrypt(buffer.data(), 20, buffer.data(), &length, key.data(), 16, iv.data(),
                                   PAL_CRYPTO_AES_CBC),
                  TCS_RESULT_OK);
        EXPECT_EQ(toHex(buffer.data(), 20), toHex(data.data(), 20));
        EXPECT_EQ(toHex(buffer.data() + 20, 12), toHex(expected.data() + 4, 12));
        EXPECT_EQ(toHex(iv), toHex(expected.data() + 16, 16));
    });
}

TEST(CryptoAes, CtrStartsAFreshKeyStreamBlockOnEveryCall) {
    const auto key = hex("2b7e151628aed2a6abf7158809cf4f3c");
    const auto n = hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    PalAesKeySchedule schedule;
    ASSERT_EQ(palAESSetEncryptKey(key.data(), 16, &schedule), TCS_RESULT_OK);
    // Key-stream blocks for n, n+1, n+2 and the counter n+3.
    uint8_t counter[16], stream[3][16];
    memcpy(counter, n.data(), 16);
    for (auto& block : stream) {
        ASSERT_EQ(palAESEncrypt(counter, block, &schedule), TCS_RESULT_OK);
        palAESCtrInc(counter);
    }
    onEveryPath([&] {
        std::vector<uint8_t> zeros(32, 0);
        auto ctr = n;
        uint32_t length = 0;
        ASSERT_EQ(palCryptoEncrypt(zeros.data(), 20, zeros.data(), &length, key.data(), 16, ctr.data(),
                                   PAL_CRYPTO_AES_CTR),
                  TCS_RESULT_OK);
        ASSERT_EQ(palCryptoEncrypt(zeros.data() + 20, 12, zeros.data() + 20, &length, key.data(), 16, ctr.data(),
                                   PAL_CRYPTO_AES_CTR),
                  TCS_RESULT_OK);
        EXPECT_EQ(toHex(zeros.data(), 16), toHex(stream[0], 16));
        EXPECT_EQ(toHex(zeros.data() + 16, 4), toHex(stream[1], 4));
        EXPECT_EQ(toHex(zeros.data() + 20, 12), toHex(stream[2], 12));
        EXPECT_EQ(toHex(ctr), toHex(counter, 16));

        // A schedule passed in place of the key (length 244) gives the same stream.
        ctr = n;
        std::vector<uint8_t> again(16, 0);
        ASSERT_EQ(palCryptoEncrypt(again.data(), 16, again.data(), nullptr, reinterpret_cast<uint8_t*>(&schedule),
                                   PAL_AES_SCHEDULE_SIZE, ctr.data(), PAL_CRYPTO_AES_CTR),
                  TCS_RESULT_OK);
        EXPECT_EQ(toHex(again), toHex(stream[0], 16));
    });
}

TEST(CryptoAes, CounterIncrementCarries) {
    struct Case {
        const char* before;
        const char* after;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"000000000000000000000000fffffffe", "000000000000000000000000ffffffff"},
             {"0000000000000000 00000000ffffffff", "0000000000000000 0000000100000000"},
             {"00000000000000ffffffffffffffffff", "00000000000001000000000000000000"},
             {"ffffffffffffffffffffffffffffffff", "00000000000000000000000000000000"}}) {
        auto counter = hex(c.before);
        palAESCtrInc(counter.data());
        EXPECT_EQ(toHex(counter), toHex(hex(c.after))) << c.before;
    }
}

TEST(CryptoAes, BadKeysAndArguments) {
    uint8_t key[32] = {}, iv[16] = {}, data[16] = {};
    PalAesKeySchedule schedule;
    EXPECT_EQ(palAESSetEncryptKey(key, 20, &schedule), TCS_RESULT_INVALID);
    EXPECT_EQ(palAESSetDecryptKey(nullptr, 16, &schedule), TCS_RESULT_INVALID);
    EXPECT_EQ(palCryptoEncrypt(data, 16, data, nullptr, key, 20, iv, PAL_CRYPTO_AES_CBC), TCS_RESULT_INVALID);
    EXPECT_EQ(palCryptoEncrypt(data, 16, data, nullptr, key, 20, iv, PAL_CRYPTO_AES_CTR), TCS_RESULT_INVALID);
    EXPECT_EQ(palCryptoEncrypt(nullptr, 16, data, nullptr, key, 16, iv, PAL_CRYPTO_AES_CBC), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(palCryptoDecrypt(data, 16, nullptr, nullptr, key, 16, iv, PAL_CRYPTO_AES_CBC), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(palCryptoEncrypt(data, 16, data, nullptr, key, 16, iv, 7), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(palCryptoEncrypt(data, 16, data, nullptr, key, 16, iv, PAL_CRYPTO_DES_CBC), TCS_RESULT_INVALID);
    uint8_t stream[16];
    uint32_t position = 16;
    ASSERT_EQ(palAESSetEncryptKey(key, 16, &schedule), TCS_RESULT_OK);
    EXPECT_EQ(palAesCtrEncDec(data, data, 16, iv, &schedule, stream, &position), TCS_RESULT_INVALID);
    // A forged schedule with a round count beyond the table is refused, not run.
    schedule.rounds = 99;
    EXPECT_EQ(palCryptoEncrypt(data, 16, data, nullptr, reinterpret_cast<uint8_t*>(&schedule), PAL_AES_SCHEDULE_SIZE,
                               iv, PAL_CRYPTO_AES_CBC),
              TCS_RESULT_INVALID);
}

TEST(CryptoDes, Fips81ExamplesAndCbc) {
    const auto key = hex("0123456789abcdef");
    const auto plain = bytes("Now is the time for all ");
    auto iv = hex("1234567890abcdef");
    const auto cipher = encrypt(PAL_CRYPTO_DES_CBC, plain, key, iv);
    EXPECT_EQ(toHex(cipher), "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6");
    EXPECT_EQ(toHex(iv), "683788499a7c05f6");
    iv = hex("1234567890abcdef");
    EXPECT_EQ(decrypt(PAL_CRYPTO_DES_CBC, cipher, key, iv), plain);

    // Single blocks: the FIPS 81 ECB example and the textbook key schedule example.
    struct Case {
        const char* key;
        const char* plain;
        const char* cipher;
    };
    for (const Case& c : std::initializer_list<Case>{{"0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815"},
                                                      {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"}}) {
        PalDesKeySchedule encryption, decryption;
        ASSERT_EQ(palDESSetEncryptionKey(&encryption, hex(c.key).data()), TCS_RESULT_OK);
        ASSERT_EQ(palDESSetDecryptionKey(&decryption, hex(c.key).data()), TCS_RESULT_OK);
        uint8_t block[8];
        ASSERT_EQ(palDESCryptECB(&encryption, hex(c.plain).data(), block), TCS_RESULT_OK);
        EXPECT_EQ(toHex(block, 8), c.cipher);
        ASSERT_EQ(palDESCryptECB(&decryption, block, block), TCS_RESULT_OK);
        EXPECT_EQ(toHex(block, 8), c.plain);
    }

    uint8_t data[12] = {};
    uint32_t length = 99;
    EXPECT_EQ(palCryptoEncrypt(data, 12, data, &length, key.data(), 8, iv.data(), PAL_CRYPTO_DES_CBC),
              TCS_RESULT_INVALID);
    EXPECT_EQ(length, 99u);
    EXPECT_EQ(palCryptoEncrypt(data, 0, data, &length, key.data(), 8, iv.data(), PAL_CRYPTO_DES_CBC), TCS_RESULT_OK);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(palDESCryptECB(nullptr, data, data), TCS_RESULT_INVALID);
}
