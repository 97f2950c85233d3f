// The virtual sensor's own crypto against standard vectors and the host's primitives, so that a
// handshake failure between the two points at the protocol and not at an algorithm.
#include "sim/usb/sim_crypto.h"

#include "platform/crypto/crypto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using simusb::crypto::Bytes;

std::string hex(std::span<const uint8_t> bytes) {
    std::string out;
    char b[3];
    for (uint8_t v : bytes) snprintf(b, sizeof b, "%02x", v), out += b;
    return out;
}

std::span<const uint8_t> text(const char* s) { return {reinterpret_cast<const uint8_t*>(s), strlen(s)}; }

TEST(SslSimCrypto, DigestVectors) {
    EXPECT_EQ(hex(simusb::crypto::sha1(text("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hex(simusb::crypto::md5(text("abc"))), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(hex(simusb::crypto::sha256(text("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    Bytes long1(1000);
    for (size_t i = 0; i < long1.size(); ++i) long1[i] = uint8_t(i * 31);
    uint8_t host[32];
    palCryptoInitialize();
    ASSERT_EQ(palCryptoDigest(long1.data(), 1000, host, PAL_CRYPTO_SHA1), 0u);
    EXPECT_EQ(hex(simusb::crypto::sha1(long1)), hex({host, 20}));
    ASSERT_EQ(palCryptoDigest(long1.data(), 1000, host, PAL_CRYPTO_MD5), 0u);
    EXPECT_EQ(hex(simusb::crypto::md5(long1)), hex({host, 16}));
    ASSERT_EQ(palCryptoDigest(long1.data(), 1000, host, PAL_CRYPTO_SHA256), 0u);
    EXPECT_EQ(hex(simusb::crypto::sha256(long1)), hex({host, 32}));
}

TEST(SslSimCrypto, AesCbcMatchesHostBothWays) {
    for (uint32_t keyLength : {16u, 24u, 32u}) {
        uint8_t key[32], iv[16], ivHost[16];
        for (int i = 0; i < 32; ++i) key[i] = uint8_t(i * 7 + keyLength);
        for (int i = 0; i < 16; ++i) iv[i] = ivHost[i] = uint8_t(i + 100);
        Bytes plain(64);
        for (size_t i = 0; i < plain.size(); ++i) plain[i] = uint8_t(i);
        Bytes sim = plain;
        ASSERT_TRUE(simusb::crypto::aesCbc({key, keyLength}, iv, sim, true));
        Bytes host(64);
        ASSERT_EQ(palCryptoEncrypt(plain.data(), 64, host.data(), nullptr, key, keyLength, ivHost, PAL_CRYPTO_AES_CBC),
                  0u);
        EXPECT_EQ(sim, host) << keyLength;
        EXPECT_EQ(memcmp(iv, sim.data() + 48, 16), 0);
        for (int i = 0; i < 16; ++i) iv[i] = uint8_t(i + 100);
        ASSERT_TRUE(simusb::crypto::aesCbc({key, keyLength}, iv, sim, false));
        EXPECT_EQ(sim, plain);
    }
    // FIPS-197 appendix C.1 as one CBC block with a zero IV.
    uint8_t key[16], iv[16] = {};
    for (int i = 0; i < 16; ++i) key[i] = uint8_t(i);
    Bytes block = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    ASSERT_TRUE(simusb::crypto::aesCbc({key, 16}, iv, block, true));
    EXPECT_EQ(hex(block), "69c4e0d86a7b0430d8cdb78070b4c55a");
}

TEST(SslSimCrypto, ModExpMatchesHostDiffieHellman) {
    uint8_t prime[18] = {0, 0xF7, 0x3A, 0x91, 0x5C, 0x07, 0xE2, 0x44, 0x19, 0xAB, 0x6D, 0x32, 0x8F, 0x50, 0xC1, 0x7E, 0x9D, 0x25};
    for (int round = 0; round < 4; ++round) {
        uint8_t base[18] = {}, exponent[18] = {}, host[18];
        for (int i = 2; i < 18; ++i) base[i] = uint8_t(i * 13 + round), exponent[i] = uint8_t(i * 17 + 3 * round);
        Bytes sim = simusb::crypto::modExp(base, exponent, prime);
        ASSERT_EQ(palCryptoCalculateDHPubKey(base, exponent, prime, host), 0u);
        EXPECT_EQ(hex(sim), hex(host)) << round;
    }
    EXPECT_EQ(simusb::crypto::modExp(Bytes{0x04}, Bytes{0x0D}, Bytes{0x01, 0xF1}), (Bytes{0x01, 0xBD}));  // 4^13 mod 497
}

}  // namespace
