// Digests, HMAC-SHA-256 and checksums: standard vectors on both code paths, split updates, and the
// interface's ids and result codes.

#include "platform/crypto/crypto.h"

#include "crypto_test_util.h"

#include <gtest/gtest.h>

#include <string>

using namespace crypto_test;

namespace {

std::string digestOf(uint32_t id, const std::vector<uint8_t>& message, TcsResult* rc = nullptr) {
    uint8_t out[32] = {};
    const TcsResult result = palCryptoDigest(message.data(), uint32_t(message.size()), out, id);
    if (rc != nullptr) *rc = result;
    return toHex(out, id == PAL_CRYPTO_SHA256 ? 32 : id == PAL_CRYPTO_SHA1 ? 20 : 16);
}

// Init and final without an update: the only way to digest an empty message with MD5 and SHA-1.
std::string emptyDigest(uint32_t id) {
    DigestContext* context = nullptr;
    EXPECT_EQ(palCryptoDigestInit(&context, id), TCS_RESULT_OK);
    uint8_t out[32] = {};
    uint32_t length = 0;
    EXPECT_EQ(palCryptoDigestFinal(context, out, &length), TCS_RESULT_OK);
    return toHex(out, length);
}

}  // namespace

TEST(CryptoDigests, StandardVectors) {
    struct Case {
        std::string message;
        const char* md5;
        const char* sha1;
        const char* sha256;
    };
    const std::string million(1000000, 'a');
    const Case cases[] = {
        {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "8215ef0796a20bcaaae116d3876c664a",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1", "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a", "50abf5706a150990a08b2c5ea40fa0e585554732",
         "f371bc4a311f2b009eef952dd83ca80e2b60026c8e935592d0f9c308453c813e"},
        {million, "7707d6ae4e027c70eea2a935c2296f21", "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    onEveryPath([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.message.size());
            EXPECT_EQ(digestOf(PAL_CRYPTO_MD5, bytes(c.message)), c.md5);
            EXPECT_EQ(digestOf(PAL_CRYPTO_SHA1, bytes(c.message)), c.sha1);
            EXPECT_EQ(digestOf(PAL_CRYPTO_SHA256, bytes(c.message)), c.sha256);
        }
        EXPECT_EQ(emptyDigest(PAL_CRYPTO_MD5), "d41d8cd98f00b204e9800998ecf8427e");
        EXPECT_EQ(emptyDigest(PAL_CRYPTO_SHA1), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
        EXPECT_EQ(emptyDigest(PAL_CRYPTO_SHA256), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    });
}

TEST(CryptoDigests, EmptyOneShotRefusedForMd5AndSha1Only) {
    TcsResult rc = TCS_RESULT_OK;
    uint8_t out[32] = {};
    EXPECT_EQ(palCryptoDigest(out, 0, out, PAL_CRYPTO_MD5), TCS_RESULT_INVALID);
    EXPECT_EQ(palCryptoDigest(out, 0, out, PAL_CRYPTO_SHA1), TCS_RESULT_INVALID);
    EXPECT_EQ(digestOf(PAL_CRYPTO_SHA256, {}, &rc), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(rc, TCS_RESULT_OK);

    PalHashContext context;
    ASSERT_EQ(palHashInit(&context, PAL_HASH_MD5), TCS_RESULT_OK);
    EXPECT_EQ(palHashUpdate(&context, out, 0), TCS_RESULT_INVALID);
}

TEST(CryptoDigests, SplitUpdatesMatchOneShotAndDuplicateRunsIndependently) {
    const std::vector<uint8_t> data = pattern(1000);
    // Cuts at 0..130 exercise every fill level of the block buffer, including whole blocks in between.
    onEveryPath([&] {
        for (uint32_t id : {PAL_CRYPTO_SHA256, PAL_CRYPTO_SHA1, PAL_CRYPTO_MD5}) {
            const std::string whole = digestOf(id, data);
            for (uint32_t cut = 1; cut < 130; cut += 7) {
                DigestContext* context = nullptr;
                ASSERT_EQ(palCryptoDigestInit(&context, id), TCS_RESULT_OK);
                for (uint32_t at = 0; at < data.size(); at += cut) {
                    const uint32_t n = std::min<uint32_t>(cut, uint32_t(data.size()) - at);
                    ASSERT_EQ(palCryptoDigestUpdate(context, data.data() + at, n), TCS_RESULT_OK);
                }
                uint8_t out[32];
                uint32_t length = 0;
                ASSERT_EQ(palCryptoDigestFinal(context, out, &length), TCS_RESULT_OK);
                EXPECT_EQ(toHex(out, length), whole) << "id " << id << " cut " << cut;
            }

            DigestContext* first = nullptr;
            DigestContext* copy = nullptr;
            ASSERT_EQ(palCryptoDigestInit(&first, id), TCS_RESULT_OK);
            ASSERT_EQ(palCryptoDigestUpdate(first, data.data(), 500), TCS_RESULT_OK);
            ASSERT_EQ(palCryptoDigestCtxDuplicate(&copy, first), TCS_RESULT_OK);
            ASSERT_EQ(palCryptoDigestUpdate(first, data.data() + 500, 500), TCS_RESULT_OK);
            ASSERT_EQ(palCryptoDigestUpdate(copy, data.data() + 500, 500), TCS_RESULT_OK);
            uint8_t a[32], b[32];
            uint32_t la = 0, lb = 0;
            ASSERT_EQ(palCryptoDigestFinal(first, a, &la), TCS_RESULT_OK);
            ASSERT_EQ(palCryptoDigestFinal(copy, b, &lb), TCS_RESULT_OK);
            EXPECT_EQ(toHex(a, la), whole);
            EXPECT_EQ(toHex(b, lb), whole);
        }
    });
}

TEST(CryptoDigests, InterfaceResultCodes) {
    DigestContext* context = nullptr;
    uint8_t out[32];
    uint32_t length = 0;
    EXPECT_EQ(palCryptoDigestInit(nullptr, PAL_CRYPTO_SHA1), TCS_RESULT_ERROR);
    EXPECT_EQ(palCryptoDigestInit(&context, 3), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(palCryptoDigestUpdate(nullptr, out, 1), TCS_RESULT_ERROR);
    EXPECT_EQ(palCryptoDigestFinal(nullptr, out, &length), TCS_RESULT_ERROR);
    EXPECT_EQ(palCryptoDigest(out, 1, out, 7), TCS_RESULT_NOT_IMPLEMENTED);
}

namespace {

std::vector<uint8_t> keyOf(size_t length) {
    std::vector<uint8_t> key(length);
    for (size_t i = 0; i < length; ++i) key[i] = uint8_t(i * 7 + 1);
    return key;
}

}  // namespace

TEST(CryptoHmac, Rfc4231Cases) {
    struct Case {
        std::vector<uint8_t> key;
        std::vector<uint8_t> data;
        const char* mac;
    };
    const Case cases[] = {
        {std::vector<uint8_t>(20, 0x0b), bytes("Hi There"),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {bytes("Jefe"), bytes("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::vector<uint8_t>(20, 0xaa), std::vector<uint8_t>(50, 0xdd),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::vector<uint8_t>(50, 0xcd),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {std::vector<uint8_t>(20, 0x0c), bytes("Test With Truncation"),
         "a3b6167473100ee06e0c796c2955552bfa6f7c0a6a8aef8b93f860aab0cd20c5"},
        {std::vector<uint8_t>(131, 0xaa), bytes("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {std::vector<uint8_t>(131, 0xaa),
         bytes("This is a test using a larger than block-size key and a larger than block-size data. The key "
               "needs to be hashed before being used by the HMAC algorithm."),
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
        // Keys on either side of the 64-byte block, where a key is padded, taken as it is, or hashed
        // first (references from Python's hmac; key byte i is 7i + 1).
        {keyOf(63), bytes("key at the block boundary"),
         "867e87bf89ada15913074b8f3d18512c6d0b999b4efa76e43e27ee173bcde6e5"},
        {keyOf(64), bytes("key at the block boundary"),
         "996a5a62674c49e50e9f24d0b3177baea46e4650a577e0d89a9c6ea41fb080e6"},
        {keyOf(65), bytes("key at the block boundary"),
         "5b2c681441647d2eba8f68f907eab3b81b89b94fc19e4b1799352222d52d8d97"},
    };
    onEveryPath([&] {
        for (const Case& c : cases) {
            uint8_t out[32] = {};
            uint32_t length = 0;
            ASSERT_EQ(palCryptoMAC(c.data.data(), uint32_t(c.data.size()), c.key.data(), uint32_t(c.key.size()), out,
                                   &length, PAL_CRYPTO_HMAC_SHA256),
                      TCS_RESULT_OK);
            EXPECT_EQ(length, 32u);
            EXPECT_EQ(toHex(out, 32), c.mac);

            // The same through init, two updates and final.
            MacContext* context = nullptr;
            ASSERT_EQ(palCryptoMACInit(&context, c.key.data(), uint32_t(c.key.size()), 0), TCS_RESULT_OK);
            const uint32_t half = uint32_t(c.data.size() / 2);
            ASSERT_EQ(palCryptoMACUpdate(context, c.data.data(), half), TCS_RESULT_OK);
            ASSERT_EQ(palCryptoMACUpdate(context, c.data.data() + half, uint32_t(c.data.size()) - half), TCS_RESULT_OK);
            ASSERT_EQ(palCryptoMACFinal(context, out, &length), TCS_RESULT_OK);
            EXPECT_EQ(toHex(out, 32), c.mac);
        }
    });
}

TEST(CryptoHmac, InterfaceIdsAndNullArguments) {
    const uint8_t key[4] = {1, 2, 3, 4};
    uint8_t out[32];
    uint32_t length = 0;
    MacContext* context = nullptr;
    EXPECT_EQ(palCryptoMACInit(&context, key, 4, 1), TCS_RESULT_OK);
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(palCryptoMACInit(&context, key, 4, 2), TCS_RESULT_OK);
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(palCryptoMACInit(&context, key, 4, 3), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(palCryptoMACInit(nullptr, key, 4, 0), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(palCryptoMACInit(&context, nullptr, 4, 0), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(palCryptoMACUpdate(nullptr, key, 4), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(palCryptoMACFinal(nullptr, out, &length), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(palCryptoMAC(key, 4, key, 4, out, &length, 1), TCS_RESULT_OK);
    EXPECT_EQ(palCryptoMAC(key, 4, key, 4, out, &length, 9), TCS_RESULT_NOT_IMPLEMENTED);
}

TEST(CryptoChecksums, Crc32AndAdler32) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    uint32_t crc = 0;
    ASSERT_EQ(palCryptoChecksum(0, &crc, digits, 9, PAL_CRYPTO_CRC32), TCS_RESULT_OK);
    EXPECT_EQ(crc, 0xCBF43926u);
    // Continued over split runs, every split point.
    for (uint32_t cut = 0; cut <= 9; ++cut) {
        uint32_t first = 0, second = 0;
        ASSERT_EQ(palCryptoChecksum(0, &first, digits, cut, PAL_CRYPTO_CRC32), TCS_RESULT_OK);
        ASSERT_EQ(palCryptoChecksum(first, &second, digits + cut, 9 - cut, PAL_CRYPTO_CRC32), TCS_RESULT_OK);
        EXPECT_EQ(second, 0xCBF43926u) << cut;
    }

    // zlib's values for 25600 bytes (bytes 0..255 a hundred times): the eight-byte rounds, the tail
    // and Adler-32's periodic reduction all take part.
    std::vector<uint8_t> ramp(25600);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = uint8_t(i);
    uint32_t value = 0;
    ASSERT_EQ(palCryptoChecksum(0, &value, ramp.data(), uint32_t(ramp.size()), PAL_CRYPTO_CRC32), TCS_RESULT_OK);
    EXPECT_EQ(value, 0x130f4d3bu);
    ASSERT_EQ(palCryptoChecksum(1, &value, ramp.data(), uint32_t(ramp.size()), PAL_CRYPTO_ADLER32), TCS_RESULT_OK);
    EXPECT_EQ(value, 0x747fd0e0u);
    uint32_t first = 0;
    ASSERT_EQ(palCryptoChecksum(1, &first, ramp.data(), 10001, PAL_CRYPTO_ADLER32), TCS_RESULT_OK);
    ASSERT_EQ(palCryptoChecksum(first, &value, ramp.data() + 10001, 25600 - 10001, PAL_CRYPTO_ADLER32), TCS_RESULT_OK);
    EXPECT_EQ(value, 0x747fd0e0u);

    const auto wikipedia = bytes("Wikipedia");
    ASSERT_EQ(palCryptoChecksum(1, &value, wikipedia.data(), 9, PAL_CRYPTO_ADLER32), TCS_RESULT_OK);
    EXPECT_EQ(value, 0x11E60398u);
    ASSERT_EQ(palCryptoChecksum(0x12345678, &value, wikipedia.data(), 0, PAL_CRYPTO_ADLER32), TCS_RESULT_OK);
    EXPECT_EQ(value, 0x12345678u);

    value = 0xABCD;
    EXPECT_EQ(palCryptoChecksum(0, nullptr, digits, 9, PAL_CRYPTO_CRC32), TCS_RESULT_OK);
    EXPECT_EQ(palCryptoChecksum(0, &value, digits, 9, 13), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(value, 0xABCDu);
}
