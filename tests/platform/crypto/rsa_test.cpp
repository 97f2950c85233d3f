// RSA key objects and operations with the built-in host key, the PKCS#1 v1.5 blocks, the strict
// signature check, and a cross-check with the openssl command line on a key made for the test.

#include "platform/crypto/crypto.h"
#include "platform/crypto/rsa.h"

#include "crypto_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <string.h>

using namespace crypto_test;

namespace {

constexpr uint8_t kExponent65537[4] = {0x01, 0x00, 0x01, 0x00};  // least significant byte first

std::vector<uint8_t> reversed(std::vector<uint8_t> v) {
    std::reverse(v.begin(), v.end());
    return v;
}

std::vector<uint8_t> hostBlob() {
    std::vector<uint8_t> blob(PAL_HOST_KEY_BLOB_DATA_SIZE);
    uint32_t length = uint32_t(blob.size());
    EXPECT_EQ(palCryptoRsaExportPrivateKeyBlobData(nullptr, blob.data(), &length), TCS_RESULT_OK);
    return blob;
}

// A key blob holding only what the readers use: modulus and private exponent, least significant first.
std::vector<uint8_t> blobOf(const std::vector<uint8_t>& modulusLe, const std::vector<uint8_t>& privateLe) {
    std::vector<uint8_t> blob(PAL_RSA_BLOB_SIZE_2048, 0);
    std::copy(modulusLe.begin(), modulusLe.end(), blob.begin() + PAL_RSA_BLOB_MODULUS_OFFSET);
    std::copy(privateLe.begin(), privateLe.end(), blob.begin() + PAL_RSA_BLOB_PRIVATE_EXPONENT_OFFSET_2048);
    return blob;
}

struct KeyPair {
    CryptoKeyObject* publicKey = nullptr;
    CryptoKeyObject* privateKey = nullptr;
    KeyPair() = default;
    KeyPair(const std::vector<uint8_t>& modulusLe, const std::vector<uint8_t>& blob) {
        EXPECT_EQ(palCryptoRsaCreatePublicKeyHandle(2048, kExponent65537, modulusLe.data(), &publicKey), TCS_RESULT_OK);
        EXPECT_EQ(palCryptoRsaCreatePrivateKeyHandle(uint32_t(blob.size()), blob.data(), &privateKey), TCS_RESULT_OK);
    }
    ~KeyPair() {
        palCryptoObjectDestroyHandle(&publicKey);
        palCryptoObjectDestroyHandle(&privateKey);
    }
};

KeyPair* hostKeyPair() {
    const auto blob = hostBlob();
    std::vector<uint8_t> modulus(256);
    uint32_t bits = 0;
    EXPECT_EQ(palCryptoRsaExportPublicKey(&bits, nullptr, modulus.data(), 256), TCS_RESULT_OK);
    EXPECT_EQ(bits, 2048u);
    return new KeyPair(modulus, blob);
}

std::vector<uint8_t> sign(const std::vector<uint8_t>& hash, uint32_t id, const CryptoKeyObject* key) {
    std::vector<uint8_t> signature(256);
    uint32_t length = 256;
    EXPECT_EQ(palCryptoRsaSign(hash.data(), uint32_t(hash.size()), id, signature.data(), &length, key), TCS_RESULT_OK);
    EXPECT_EQ(length, 256u);
    return signature;
}

class CryptoRsa : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        palCryptoInitialize();
        keys_ = hostKeyPair();
    }
    static void TearDownTestSuite() {
        delete keys_;
        keys_ = nullptr;
    }
    static KeyPair* keys_;
};

KeyPair* CryptoRsa::keys_ = nullptr;

// The RSA layer's context for the host key, numbers most significant byte first.
struct HostContext {
    PalRsaContext context{};
    HostContext() {
        const auto blob = hostBlob();
        const auto n = reversed({blob.begin() + 20, blob.begin() + 276});
        const auto d = reversed({blob.begin() + 916, blob.begin() + 1172});
        const uint8_t e[3] = {0x01, 0x00, 0x01};
        EXPECT_EQ(palRsaCryptoInit(&context, n.data(), 256, e, 3, d.data(), 256), TCS_RESULT_OK);
    }
    ~HostContext() { palRsaCryptoFree(&context); }
    // Signs a hand-made block with the private key, as a forger with a broken verifier in mind would.
    std::vector<uint8_t> rawSign(const std::vector<uint8_t>& block) {
        std::vector<uint8_t> out(256);
        uint32_t length = 256;
        EXPECT_EQ(palRsaPrivateKeyOperation(&context, block.data(), uint32_t(block.size()), out.data(), &length),
                  TCS_RESULT_OK);
        return out;
    }
};

std::vector<uint8_t> type1Block(const std::vector<uint8_t>& message, uint32_t ffCount, uint8_t type = 1) {
    std::vector<uint8_t> block;
    block.reserve(256 + ffCount + message.size());
    block.push_back(0x00);
    block.push_back(type);
    block.insert(block.end(), ffCount, 0xFF);
    block.push_back(0x00);
    block.insert(block.end(), message.begin(), message.end());
    block.resize(256, 0xEE);  // anything after the message is junk
    return block;
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const auto kSha256Info = hex("3031300d060960864801650304020105000420");
const auto kMd5Info = hex("3020300c06082a864886f70d020505000410");

}  // namespace

TEST_F(CryptoRsa, HostKeyExportsAreOneConsistentKey) {
    const auto blob = hostBlob();
    EXPECT_EQ(blob[0], 7);
    EXPECT_EQ(blob[1], 2);
    EXPECT_EQ(toHex(blob.data() + 2, 18), "000000240000525341320008000001000100");
    EXPECT_EQ(toHex(blob.data() + PAL_RSA_BLOB_SIZE_2048, 12), std::string(24, '0'));

    std::vector<uint8_t> modulus(256);
    uint32_t bits = 0;
    ASSERT_EQ(palCryptoRsaExportPublicKey(&bits, nullptr, modulus.data(), 256), TCS_RESULT_OK);
    EXPECT_EQ(toHex(modulus), toHex(blob.data() + 20, 256));

    // prime1 x prime2 = modulus.
    mp_int p, q, n, product;
    ASSERT_EQ(mp_init_multi(&p, &q, &n, &product, nullptr), MP_OKAY);
    const auto pBe = reversed({blob.begin() + 276, blob.begin() + 404});
    const auto qBe = reversed({blob.begin() + 404, blob.begin() + 532});
    const auto nBe = reversed(modulus);
    ASSERT_EQ(mp_from_ubin(&p, pBe.data(), 128), MP_OKAY);
    ASSERT_EQ(mp_from_ubin(&q, qBe.data(), 128), MP_OKAY);
    ASSERT_EQ(mp_from_ubin(&n, nBe.data(), 256), MP_OKAY);
    ASSERT_EQ(mp_mul(&p, &q, &product), MP_OKAY);
    EXPECT_EQ(mp_cmp(&product, &n), MP_EQ);
    mp_clear_multi(&p, &q, &n, &product, nullptr);

    uint32_t small = 1000;
    EXPECT_EQ(palCryptoRsaExportPrivateKeyBlobData(nullptr, modulus.data(), &small), TCS_RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(small, 1184u);
    EXPECT_EQ(palCryptoRsaExportPublicKey(&bits, nullptr, modulus.data(), 128), TCS_RESULT_BUFFER_TOO_SMALL);
}

TEST_F(CryptoRsa, SignaturesVerifyOnlyWithTheirHashAndId) {
    struct Case {
        uint32_t id;
        size_t hashLength;
    };
    for (const Case& c : std::initializer_list<Case>{{PAL_CRYPTO_SHA256, 32}, {PAL_CRYPTO_SHA1, 20},
                                                      {PAL_CRYPTO_MD5, 16}, {PAL_CRYPTO_HASH_RAW, 36}}) {
        SCOPED_TRACE(c.id);
        const auto hash = pattern(c.hashLength, c.id + 1);
        const auto signature = sign(hash, c.id, keys_->privateKey);
        EXPECT_EQ(palCryptoRsaVerify(signature.data(), 256, hash.data(), uint32_t(hash.size()), c.id, keys_->publicKey),
                  TCS_RESULT_OK);
        // Changed at its first byte and at its last: a check that stops short of the end misses the latter.
        for (size_t at : {size_t(0), hash.size() - 1}) {
            auto otherHash = hash;
            otherHash[at] ^= 1;
            EXPECT_EQ(palCryptoRsaVerify(signature.data(), 256, otherHash.data(), uint32_t(hash.size()), c.id,
                                         keys_->publicKey),
                      TCS_RESULT_ERROR)
                << at;
        }
        auto tampered = signature;
        tampered[100] ^= 0x40;
        EXPECT_NE(palCryptoRsaVerify(tampered.data(), 256, hash.data(), uint32_t(hash.size()), c.id, keys_->publicKey),
                  TCS_RESULT_OK);
    }
    // A SHA-256 signature checked as SHA-1 fails on the prefix.
    const auto hash = pattern(32, 9);
    const auto signature = sign(hash, PAL_CRYPTO_SHA256, keys_->privateKey);
    EXPECT_EQ(palCryptoRsaVerify(signature.data(), 256, hash.data(), 32, PAL_CRYPTO_SHA1, keys_->publicKey),
              TCS_RESULT_ERROR);
}

TEST_F(CryptoRsa, VerificationComparesTheWholeRebuiltBlock) {
    HostContext host;
    const auto hash = pattern(32, 3);
    struct Case {
        const char* what;
        std::vector<uint8_t> block;
        uint32_t id;
        TcsResult expected;
    };
    const std::vector<uint8_t> md5 = pattern(16, 4);
    auto md5Info = kMd5Info;
    md5Info[3] ^= 0x01;  // differs from the standard prefix, but not in its algorithm byte
    const Case cases[] = {
        {"standard block", type1Block(concat(kSha256Info, hash), 256 - 3 - 51), PAL_CRYPTO_SHA256, TCS_RESULT_OK},
        {"bare SHA-256 hash", type1Block(hash, 256 - 3 - 32), PAL_CRYPTO_SHA256, TCS_RESULT_OK},
        {"block type 2", type1Block(concat(kSha256Info, hash), 256 - 3 - 51, 2), PAL_CRYPTO_SHA256,
         TCS_RESULT_INVALID},
        {"junk after the hash", type1Block(concat(concat(kSha256Info, hash), {1, 2, 3, 4}), 256 - 3 - 55),
         PAL_CRYPTO_SHA256, TCS_RESULT_ERROR},
        {"short padding, junk before the hash", type1Block(concat(kSha256Info, hash), 4), PAL_CRYPTO_SHA256,
         TCS_RESULT_INVALID},
        {"padding cut short by junk", type1Block(concat(concat({9, 9, 9, 9}, kSha256Info), hash), 256 - 3 - 55),
         PAL_CRYPTO_SHA256, TCS_RESULT_ERROR},
        {"MD5 prefix with a wrong byte", type1Block(concat(md5Info, md5), 256 - 3 - 34), PAL_CRYPTO_MD5,
         TCS_RESULT_ERROR},
    };
    for (const Case& c : cases) {
        const auto signature = host.rawSign(c.block);
        const auto& expectedHash = c.id == PAL_CRYPTO_MD5 ? md5 : hash;
        EXPECT_EQ(palCryptoRsaVerify(reversed(signature).data(), 256, expectedHash.data(),
                                     uint32_t(expectedHash.size()), c.id, keys_->publicKey),
                  c.expected)
            << c.what;
    }
    // The signature as the signer wrote it (most significant byte first) is refused: the caller
    // reverses it.
    const auto signature = host.rawSign(cases[0].block);
    EXPECT_NE(palCryptoRsaVerify(signature.data(), 256, hash.data(), uint32_t(hash.size()), PAL_CRYPTO_SHA256,
                                 keys_->publicKey),
              TCS_RESULT_OK);
}

TEST_F(CryptoRsa, EncryptDecryptRoundTripAndLengthLimit) {
    std::vector<uint8_t> cipher(256), plain(256);
    for (uint32_t length : {0u, 1u, 24u, 245u}) {
        const auto message = pattern(length + 1, length);  // never a null pointer, also for length 0
        uint32_t cipherLength = 256, plainLength = 256;
        ASSERT_EQ(palCryptoRsaEncrypt(message.data(), length, cipher.data(), &cipherLength, keys_->publicKey),
                  TCS_RESULT_OK);
        EXPECT_EQ(cipherLength, 256u);
        ASSERT_EQ(palCryptoRsaDecrypt(cipher.data(), 256, plain.data(), &plainLength, keys_->privateKey), TCS_RESULT_OK);
        EXPECT_EQ(toHex(plain.data(), plainLength), toHex(message.data(), length)) << length;
    }
    const auto tooLong = pattern(246);
    uint32_t cipherLength = 256;
    EXPECT_EQ(palCryptoRsaEncrypt(tooLong.data(), 246, cipher.data(), &cipherLength, keys_->publicKey),
              TCS_RESULT_BAD_PARAM);

    // A short out buffer learns the needed length.
    const auto message = pattern(40);
    ASSERT_EQ(palCryptoRsaEncrypt(message.data(), 40, cipher.data(), &cipherLength, keys_->publicKey), TCS_RESULT_OK);
    uint32_t plainLength = 10;
    EXPECT_EQ(palCryptoRsaDecrypt(cipher.data(), 256, plain.data(), &plainLength, keys_->privateKey),
              TCS_RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(plainLength, 40u);
    cipherLength = 100;
    EXPECT_EQ(palCryptoRsaEncrypt(message.data(), 40, cipher.data(), &cipherLength, keys_->publicKey),
              TCS_RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(cipherLength, 256u);
}

TEST_F(CryptoRsa, Pkcs1BlocksAndOperations) {
    // Type 2 padding: random, never zero, at least eight bytes; 245 bytes is the limit for k = 256.
    for (int round = 0; round < 20; ++round) {
        std::vector<uint8_t> block(256);
        uint32_t length = 256;
        ASSERT_EQ(palPKCS1_1_5_encode(pattern(5).data(), 5, 2, 2048, block.data(), &length), TCS_RESULT_OK);
        EXPECT_EQ(block[0], 0);
        EXPECT_EQ(block[1], 2);
        EXPECT_TRUE(std::find(block.begin() + 2, block.begin() + 250, 0) == block.begin() + 250);
        EXPECT_EQ(block[250], 0);
        std::vector<uint8_t> message(256);
        uint32_t messageLength = 256;
        ASSERT_EQ(palPKCS1_1_5_decode(block.data(), 256, 2, 2048, message.data(), &messageLength), TCS_RESULT_OK);
        EXPECT_EQ(toHex(message.data(), messageLength), toHex(pattern(5)));
    }
    std::vector<uint8_t> block(256);
    uint32_t length = 256;
    EXPECT_EQ(palPKCS1_1_5_encode(pattern(246).data(), 246, 2, 2048, block.data(), &length), TCS_RESULT_INVALID);
    length = 255;
    EXPECT_EQ(palPKCS1_1_5_encode(pattern(5).data(), 5, 1, 2048, block.data(), &length), TCS_RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 256u);

    struct Bad {
        const char* what;
        std::vector<uint8_t> block;
        uint32_t type;
    };
    const Bad bad[] = {
        {"first byte not zero", {0x01, 0x02, 1, 1, 1, 1, 1, 1, 1, 1, 0x00, 0xAA}, 2},
        {"wrong block type", {0x00, 0x01, 1, 1, 1, 1, 1, 1, 1, 1, 0x00, 0xAA}, 2},
        {"padding of seven", {0x00, 0x02, 1, 1, 1, 1, 1, 1, 1, 0x00, 0xAA, 0xBB}, 2},
        {"no separator", {0x00, 0x02, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 2},
        {"type 1 run not ended by zero", {0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00}, 1},
    };
    for (const Bad& b : bad) {
        uint32_t outLength = 256;
        EXPECT_EQ(palPKCS1_1_5_decode(b.block.data(), uint32_t(b.block.size()), b.type, 2048, block.data(), &outLength),
                  TCS_RESULT_INVALID)
            << b.what;
    }

    // The older pair: build and strip.
    std::vector<uint8_t> older(256);
    ASSERT_EQ(rsa_add_padding(pattern(30).data(), 30, 2, older.data(), 256), TCS_RESULT_OK);
    EXPECT_TRUE(std::find(older.begin() + 2, older.begin() + 225, 0) == older.begin() + 225);
    std::vector<uint8_t> stripped(256);
    uint32_t strippedLength = 256;
    ASSERT_EQ(rsa_strip_padding(older.data(), 256, stripped.data(), &strippedLength), TCS_RESULT_OK);
    EXPECT_EQ(toHex(stripped.data(), strippedLength), toHex(pattern(30)));
    EXPECT_EQ(rsa_add_padding(pattern(246).data(), 246, 1, older.data(), 256), TCS_RESULT_BAD_PARAM);

    // A result with leading zero bytes is still modulus-long.
    HostContext host;
    const uint8_t one = 1;
    std::vector<uint8_t> out(256, 0xCC);
    uint32_t outLength = 256;
    ASSERT_EQ(palRsaPrivateKeyOperation(&host.context, &one, 1, out.data(), &outLength), TCS_RESULT_OK);
    EXPECT_EQ(outLength, 256u);
    EXPECT_EQ(toHex(out), std::string(510, '0') + "01");
    // An input not below the modulus is refused.
    const auto blob = hostBlob();
    const auto modulus = reversed({blob.begin() + 20, blob.begin() + 276});
    outLength = 256;
    EXPECT_EQ(palRsaPublicKeyOperation(&host.context, modulus.data(), 256, out.data(), &outLength), TCS_RESULT_INVALID);
    EXPECT_EQ(palRsaEncrypt(&host.context, 2, 2, &one, 1, out.data(), &outLength), TCS_RESULT_INVALID);
}

TEST_F(CryptoRsa, KeyObjectResultCodes) {
    CryptoKeyObject* key = reinterpret_cast<CryptoKeyObject*>(uintptr_t(1));
    std::vector<uint8_t> modulus(256, 0x11), out(256);
    EXPECT_EQ(palCryptoRsaCreatePublicKeyHandle(512, kExponent65537, modulus.data(), &key), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(palCryptoRsaCreatePublicKeyHandle(2048, kExponent65537, nullptr, &key), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(palCryptoRsaCreatePrivateKeyHandle(100, modulus.data(), &key), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palCryptoRsaCreatePrivateKeyHandle(1172, nullptr, &key), TCS_RESULT_NULL_POINTER);

    const auto hash = pattern(20);
    uint32_t length = 256;
    EXPECT_EQ(palCryptoRsaSign(hash.data(), 20, 1, out.data(), &length, keys_->publicKey), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palCryptoRsaSign(hash.data(), 20, 4, out.data(), &length, keys_->privateKey),
              TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(palCryptoRsaSign(nullptr, 20, 1, out.data(), &length, keys_->privateKey), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(palCryptoRsaVerify(out.data(), 256, hash.data(), 20, 1, keys_->privateKey), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palCryptoRsaVerify(out.data(), 256, hash.data(), 20, 4, keys_->publicKey), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(palCryptoRsaEncrypt(hash.data(), 20, out.data(), &length, keys_->privateKey), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palCryptoRsaDecrypt(out.data(), 256, out.data(), &length, keys_->publicKey), TCS_RESULT_BAD_PARAM);

    uint32_t bits = 0;
    EXPECT_EQ(palCryptoRsaExportPrivateKey(&bits, out.data(), modulus.data(), keys_->privateKey), TCS_RESULT_BAD_PARAM);
    CryptoKeyObject* generatedPublic = keys_->publicKey;
    CryptoKeyObject* generatedPrivate = keys_->privateKey;
    EXPECT_EQ(palCryptoRsaGenerateKeypair(2048, &generatedPublic, &generatedPrivate), TCS_RESULT_OK);
    EXPECT_EQ(generatedPublic, nullptr);
    EXPECT_EQ(generatedPrivate, nullptr);

    EXPECT_EQ(palCryptoEccEllipticCurveSet(1), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(palCryptoECDSAVerify(out.data(), 64, hash.data(), 20, keys_->publicKey), TCS_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(palCryptoProtectMemory(out.data(), 16), TCS_RESULT_NOT_IMPLEMENTED);
    CryptoKeyObject* none = nullptr;
    EXPECT_EQ(palCryptoObjectDestroyHandle(&none), TCS_RESULT_OK);
}

TEST_F(CryptoRsa, SelfTestPassesWithTheHostKey) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(test_palCryptoRSA(), TCS_RESULT_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\t RSA-2048 enc/dec.......................passed\n"
              "\t RSA-2048 sign/verify...................passed\n");
}

// The same key on both sides: signatures and ciphertexts made here are accepted by openssl and the
// reverse. Skipped when the openssl command is not on this machine.
class CryptoRsaOpenSsl : public CryptoRsa {
protected:
    void SetUp() override {
        if (std::system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl not on PATH";
        char pattern[] = "/tmp/crypto_rsa_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(run("openssl genrsa -out key.pem 2048"), 0);
        ASSERT_EQ(run("openssl rsa -in key.pem -pubout -out pub.pem"), 0);
        ASSERT_EQ(run("openssl rsa -in key.pem -noout -text > key.txt"), 0);
        const std::string text = read("key.txt");
        modulusBe_ = field(text, "modulus:");
        const auto privateBe = field(text, "privateExponent:");
        ASSERT_EQ(modulusBe_.size(), 256u);
        ASSERT_LE(privateBe.size(), 256u);
        auto privateLe = reversed(privateBe);
        privateLe.resize(256, 0);
        keys_.reset(new KeyPair(reversed(modulusBe_), blobOf(reversed(modulusBe_), privateLe)));
    }
    void TearDown() override {
        keys_.reset();
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    int run(const std::string& command) {
        return std::system(("cd " + dir_ + " && (" + command + ") >/dev/null 2>&1").c_str());
    }
    std::string read(const std::string& name) {
        std::ifstream in(dir_ + "/" + name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<uint8_t> readBytes(const std::string& name) {
        const std::string s = read(name);
        return std::vector<uint8_t>(s.begin(), s.end());
    }
    void write(const std::string& name, const std::vector<uint8_t>& data) {
        std::ofstream out(dir_ + "/" + name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    }
    // A number of the key's text form: "name:" then lines of hex bytes separated by colons.
    static std::vector<uint8_t> field(const std::string& text, const std::string& name) {
        std::vector<uint8_t> value;
        std::istringstream lines(text.substr(text.find(name) + name.size()));
        std::string line;
        std::getline(lines, line);
        while (std::getline(lines, line) && !line.empty() && line[0] == ' ') {
            std::stringstream parts(line);
            std::string byte;
            while (std::getline(parts, byte, ':')) {
                byte.erase(std::remove(byte.begin(), byte.end(), ' '), byte.end());
                if (!byte.empty()) value.push_back(uint8_t(std::stoul(byte, nullptr, 16)));
            }
        }
        while (value.size() > 256 && value[0] == 0) value.erase(value.begin());
        return value;
    }

    std::string dir_;
    std::vector<uint8_t> modulusBe_;
    std::unique_ptr<KeyPair> keys_;
};

TEST_F(CryptoRsaOpenSsl, SignaturesAndCiphertextsCrossBothWays) {
    const auto message = bytes("a message signed on one side and checked on the other");
    write("message.bin", message);
    uint8_t hash[32];
    ASSERT_EQ(palCryptoDigest(message.data(), uint32_t(message.size()), hash, PAL_CRYPTO_SHA256), TCS_RESULT_OK);

    // Ours, checked by openssl (which reads signatures most significant byte first).
    write("ours.sig", reversed(sign({hash, hash + 32}, PAL_CRYPTO_SHA256, keys_->privateKey)));
    EXPECT_EQ(run("openssl dgst -sha256 -verify pub.pem -signature ours.sig message.bin"), 0);
    uint8_t sha1[20];
    ASSERT_EQ(palCryptoDigest(message.data(), uint32_t(message.size()), sha1, PAL_CRYPTO_SHA1), TCS_RESULT_OK);
    write("ours1.sig", reversed(sign({sha1, sha1 + 20}, PAL_CRYPTO_SHA1, keys_->privateKey)));
    EXPECT_EQ(run("openssl dgst -sha1 -verify pub.pem -signature ours1.sig message.bin"), 0);

    // openssl's, checked here.
    ASSERT_EQ(run("openssl dgst -sha256 -sign key.pem -out theirs.sig message.bin"), 0);
    const auto theirs = reversed(readBytes("theirs.sig"));
    ASSERT_EQ(theirs.size(), 256u);
    EXPECT_EQ(palCryptoRsaVerify(theirs.data(), 256, hash, 32, PAL_CRYPTO_SHA256, keys_->publicKey), TCS_RESULT_OK);

    // openssl encrypts (PKCS#1 v1.5), we decrypt; we encrypt, openssl decrypts.
    const auto secret = pattern(48, 77);
    write("secret.bin", secret);
    ASSERT_EQ(run("openssl pkeyutl -encrypt -pubin -inkey pub.pem -pkeyopt rsa_padding_mode:pkcs1 -in secret.bin "
                  "-out theirs.enc"),
              0);
    const auto theirCipher = reversed(readBytes("theirs.enc"));
    std::vector<uint8_t> plain(256);
    uint32_t plainLength = 256;
    ASSERT_EQ(palCryptoRsaDecrypt(theirCipher.data(), uint32_t(theirCipher.size()), plain.data(), &plainLength,
                                  keys_->privateKey),
              TCS_RESULT_OK);
    EXPECT_EQ(toHex(plain.data(), plainLength), toHex(secret));

    std::vector<uint8_t> cipher(256);
    uint32_t cipherLength = 256;
    ASSERT_EQ(palCryptoRsaEncrypt(secret.data(), uint32_t(secret.size()), cipher.data(), &cipherLength,
                                  keys_->publicKey),
              TCS_RESULT_OK);
    write("ours.enc", reversed(cipher));
    ASSERT_EQ(run("openssl pkeyutl -decrypt -inkey key.pem -pkeyopt rsa_padding_mode:pkcs1 -in ours.enc -out ours.dec"),
              0);
    EXPECT_EQ(toHex(readBytes("ours.dec")), toHex(secret));
}
