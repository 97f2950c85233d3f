// The SHA-1 random generator (against values computed independently from its description), the
// interface's reseeding rule, start-up seeding, and the 144-bit Diffie-Hellman step.

#include "platform/crypto/crypto.h"
#include "platform/crypto/rsa.h"
#include "platform/test_seams.h"

#include "crypto_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string.h>
#include <string>
#include <thread>
#include <tommath.h>
#include <vector>

using namespace crypto_test;

namespace {

// XKEY = SHA-1(bytes 0..19) from a wiped state, then three blocks X = SHA-1(XKEY || 12 zeros) with
// XKEY = XKEY + 1 + X as 160-bit little-endian numbers.
const char* const kThreeBlocks =
    "0ddd4b0348383965698c076d90cd5fb701976637"
    "7edd00508ada2bfeb284b2fc3542ffb7e92739f4"
    "f386fa67b8c0f52a92de06d5e4d62ddf29c0c72e";

std::vector<uint8_t> seedFromZero(uint32_t firstByte = 0) {
    palPRNGContextUninit();
    std::vector<uint8_t> seed(20);
    for (uint32_t i = 0; i < 20; ++i) seed[i] = uint8_t(firstByte + i);
    EXPECT_EQ(palPRNGContextInit(seed.data(), 20), TCS_RESULT_OK);
    return seed;
}

std::vector<uint8_t> generate(uint32_t length) {
    std::vector<uint8_t> out(length);
    EXPECT_EQ(palPRNGRandomGenerate(out.data(), length), TCS_RESULT_OK);
    return out;
}

class CryptoRandom : public ::testing::Test {
protected:
    void TearDown() override {
        palTestUseRealClock();
        palCryptoInitialize();  // leave a seeded generator for the other tests
    }
};

}  // namespace

TEST_F(CryptoRandom, GeneratorFollowsItsDefinition) {
    seedFromZero();
    EXPECT_EQ(toHex(generate(60)), kThreeBlocks);

    // 25 bytes take two blocks and advance XKEY twice: the next block is the third.
    seedFromZero();
    EXPECT_EQ(toHex(generate(25)), std::string(kThreeBlocks).substr(0, 50));
    EXPECT_EQ(toHex(generate(20)), std::string(kThreeBlocks).substr(80, 40));

    // Reseeding mixes with the state: seed bytes are XORed with XKEY in place, then hashed.
    seedFromZero();
    generate(60);
    std::vector<uint8_t> seed(20, 0xA5);
    ASSERT_EQ(palPRNGContextInit(seed.data(), 20), TCS_RESULT_OK);
    EXPECT_NE(seed, std::vector<uint8_t>(20, 0xA5));
    EXPECT_EQ(toHex(generate(20)), "a38bc500796e5f04272bea5f7a370fda145794d9");
}

TEST_F(CryptoRandom, RefusesBeforeSeedingAndBadArguments) {
    palPRNGContextUninit();
    uint8_t out[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t zeros[8] = {};
    EXPECT_EQ(palPRNGRandomGenerate(out, 8), TCS_RESULT_ERROR);
    EXPECT_EQ(toHex(out, 8), "0102030405060708");
    EXPECT_EQ(palCryptoRng(zeros, 8), TCS_RESULT_ERROR);
    EXPECT_EQ(palCryptoRng(nullptr, 8), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palPRNGContextInit(nullptr, 4), TCS_RESULT_INVALID);
    EXPECT_EQ(palPRNGContextInit(out, 0), TCS_RESULT_INVALID);
    seedFromZero();
    EXPECT_EQ(palPRNGRandomGenerate(nullptr, 4), TCS_RESULT_INVALID);
    EXPECT_EQ(palPRNGRandomGenerate(out, 0), TCS_RESULT_INVALID);
}

TEST_F(CryptoRandom, RngReseedsOnlyFromANonZeroBufferAfterItsFirstByte) {
    // A buffer that is zero after its first byte draws directly.
    seedFromZero();
    std::vector<uint8_t> buffer(20, 0);
    buffer[0] = 0x77;
    ASSERT_EQ(palCryptoRng(buffer.data(), 20), TCS_RESULT_OK);
    EXPECT_EQ(toHex(buffer), std::string(kThreeBlocks).substr(0, 40));

    // A non-zero second byte reseeds first: the last four bytes XORed with the seconds (most
    // significant first), then the buffer as seed.
    palTestSetClock(uint64_t(0x5A0B0C0D) * 1000);
    std::vector<uint8_t> content(20, 0);
    content[1] = 0x42;
    std::vector<uint8_t> expectedSeed = content;
    expectedSeed[16] ^= 0x5A;
    expectedSeed[17] ^= 0x0B;
    expectedSeed[18] ^= 0x0C;
    expectedSeed[19] ^= 0x0D;
    seedFromZero();
    ASSERT_EQ(palPRNGContextInit(expectedSeed.data(), 20), TCS_RESULT_OK);
    const auto expected = generate(20);

    seedFromZero();
    ASSERT_EQ(palCryptoRng(content.data(), 20), TCS_RESULT_OK);
    EXPECT_EQ(toHex(content), toHex(expected));
}

TEST_F(CryptoRandom, StartUpMixesOperatingSystemRandomness) {
    // The same clock at two start-ups from the same state: the time alone would repeat the output.
    palTestSetClock(1700000000000ull);
    palPRNGContextUninit();
    ASSERT_EQ(palCryptoInitialize(), TCS_RESULT_OK);
    const auto first = generate(20);
    palPRNGContextUninit();
    ASSERT_EQ(palCryptoInitialize(), TCS_RESULT_OK);
    const auto second = generate(20);
    EXPECT_NE(first, second);
    EXPECT_EQ(palCryptoUninitialize(), TCS_RESULT_OK);
}

TEST_F(CryptoRandom, DrawsFromManyThreadsAreTheSequentialBlocksEachOnce) {
    // Every 20-byte draw advances XKEY once, so threads drawing at once from a known state must
    // share out exactly the blocks that one thread drawing alone would get: none twice, none torn.
    constexpr int kThreads = 4;
    constexpr int kDraws = 500;
    seedFromZero();
    std::vector<std::string> sequential;
    for (int i = 0; i < kThreads * kDraws; ++i) sequential.push_back(toHex(generate(20)));

    seedFromZero();
    std::vector<std::vector<std::string>> drawn(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&drawn, t] {
            for (int i = 0; i < kDraws; ++i) {
                std::vector<uint8_t> block(20, 0);  // zero after the first byte: no reseed
                if (palCryptoRng(block.data(), 20) == TCS_RESULT_OK) drawn[t].push_back(toHex(block));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<std::string> concurrent;
    for (const auto& part : drawn) concurrent.insert(concurrent.end(), part.begin(), part.end());
    std::sort(sequential.begin(), sequential.end());
    std::sort(concurrent.begin(), concurrent.end());
    EXPECT_EQ(concurrent, sequential);
}

TEST_F(CryptoRandom, MathSumsCarryAcrossWords) {
    uint32_t a[3] = {0xFFFFFFFF, 0xFFFFFFFF, 5};
    const uint32_t b[3] = {1, 0, 0};
    uint32_t out[3];
    palPRNGMathSum(a, b, 3, out);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(out[1], 0u);
    EXPECT_EQ(out[2], 6u);
    uint32_t top[2] = {0xFFFFFFFF, 0xFFFFFFFF};
    palPRNGMathSum_q(1, top, 2);  // the final carry is dropped
    EXPECT_EQ(top[0], 0u);
    EXPECT_EQ(top[1], 0u);
    palPRNGMathSum_q(3, a, 3);
    EXPECT_EQ(a[0], 2u);
    EXPECT_EQ(a[1], 0u);
    EXPECT_EQ(a[2], 6u);
}

TEST(CryptoDiffieHellman, ExponentiationOver144Bits) {
    struct Case {
        const char* base;
        const char* exponent;
        const char* modulus;
        const char* result;
    };
    const Case cases[] = {
        // Exponent 0 gives 1; exponent 1 gives base mod m.
        {"0123456789abcdef0123456789abcdef0123", "000000000000000000000000000000000000",
         "ffffffffffffffffffffffffffffffffffc5", "000000000000000000000000000000000001"},
        {"ffffffffffffffffffffffffffffffffffff", "000000000000000000000000000000000001",
         "ffffffffffffffffffffffffffffffffffc5", "00000000000000000000000000000000003a"},
        {"000000000000000000000000000000000005", "000000000000000000000000000000000003",
         "000000000000000000000000000000000017", "00000000000000000000000000000000000a"},
        {"0123456789abcdef0123456789abcdef0123", "fedcba9876543210fedcba9876543210fedc",
         "ffffffffffffffffffffffffffffffffffc5", "d1604d83c0e18a1cfedf12ad185685f9685a"},
    };
    for (const Case& c : cases) {
        auto base = hex(c.base), exponent = hex(c.exponent);
        const auto modulus = hex(c.modulus);
        uint8_t out[18];
        ASSERT_EQ(palCryptoCalculateDHPubKey(base.data(), exponent.data(), modulus.data(), out), TCS_RESULT_OK);
        EXPECT_EQ(toHex(out, 18), c.result) << c.exponent;
        EXPECT_EQ(toHex(exponent), std::string(36, '0'));  // consumed
    }
    uint8_t n[18] = {};
    EXPECT_EQ(palCryptoCalculateDHPubKey(nullptr, n, n, n), TCS_RESULT_NULL_POINTER);
}

TEST(CryptoDiffieHellman, AgreesWithBigNumberLibraryOnRandomOperands) {
    mp_int b, e, m, r;
    ASSERT_EQ(mp_init_multi(&b, &e, &m, &r, nullptr), MP_OKAY);
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        auto base = pattern(18, seed), exponent = pattern(18, seed + 100), modulus = pattern(18, seed + 200);
        if (seed % 4 == 0) modulus[0] = 0;  // smaller moduli too
        modulus[17] |= 1;
        ASSERT_EQ(mp_from_ubin(&b, base.data(), 18), MP_OKAY);
        ASSERT_EQ(mp_from_ubin(&e, exponent.data(), 18), MP_OKAY);
        ASSERT_EQ(mp_from_ubin(&m, modulus.data(), 18), MP_OKAY);
        ASSERT_EQ(mp_exptmod(&b, &e, &m, &r), MP_OKAY);
        uint8_t expected[18] = {};
        const size_t size = mp_ubin_size(&r);
        ASSERT_EQ(mp_to_ubin(&r, expected + 18 - size, size, nullptr), MP_OKAY);
        uint8_t out[18];
        palDHCalculateExp(base.data(), exponent.data(), modulus.data(), out);
        EXPECT_EQ(toHex(out, 18), toHex(expected, 18)) << seed;
    }
    mp_clear_multi(&b, &e, &m, &r, nullptr);
}
