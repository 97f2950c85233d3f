// The crypto service beside OpenSSL on the same data: ciphers, digests and HMAC on 1 MiB, CRC-32, and
// RSA-2048 signing (private operation) and verification (public operation) with the host key. Prints
// our throughput as a fraction of OpenSSL's after the runs.

#include "platform/crypto/crypto.h"

#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <map>
#include <stdio.h>
#include <string>
#include <vector>

namespace {

constexpr size_t kSize = 1 << 20;

const std::vector<uint8_t>& data() {
    static const std::vector<uint8_t> d = [] {
        std::vector<uint8_t> v(kSize);
        uint32_t x = 7;
        for (auto& b : v) {
            x = x * 1103515245u + 12345u;
            b = uint8_t(x >> 16);
        }
        return v;
    }();
    return d;
}

const uint8_t kKey[32] = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae,
                          0xf0, 0x85, 0x7d, 0x77, 0x81, 0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61,
                          0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};

void setBytes(benchmark::State& state) { state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize)); }

// --- symmetric ciphers ---

void oursCipher(benchmark::State& state, uint32_t algorithm, uint32_t keyLength, bool encrypt) {
    std::vector<uint8_t> out(kSize);
    uint8_t iv[16] = {};
    for (auto _ : state) {
        uint32_t length = 0;
        const TcsResult rc = encrypt ? palCryptoEncrypt(data().data(), kSize, out.data(), &length, kKey, keyLength, iv,
                                                        algorithm)
                                     : palCryptoDecrypt(data().data(), kSize, out.data(), &length, kKey, keyLength, iv,
                                                        algorithm);
        if (rc != TCS_RESULT_OK) state.SkipWithError("cipher failed");
        benchmark::DoNotOptimize(out.data());
    }
    setBytes(state);
}

void opensslCipher(benchmark::State& state, const EVP_CIPHER* cipher, bool encrypt) {
    std::vector<uint8_t> out(kSize + 32);
    uint8_t iv[16] = {};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    for (auto _ : state) {
        int length = 0;
        if (encrypt) {
            EVP_EncryptInit_ex(ctx, cipher, nullptr, kKey, iv);
            EVP_CIPHER_CTX_set_padding(ctx, 0);
            EVP_EncryptUpdate(ctx, out.data(), &length, data().data(), int(kSize));
        } else {
            EVP_DecryptInit_ex(ctx, cipher, nullptr, kKey, iv);
            EVP_CIPHER_CTX_set_padding(ctx, 0);
            EVP_DecryptUpdate(ctx, out.data(), &length, data().data(), int(kSize));
        }
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    setBytes(state);
}

void BM_Aes128CbcEncrypt_Ours(benchmark::State& s) { oursCipher(s, PAL_CRYPTO_AES_CBC, 16, true); }
void BM_Aes128CbcEncrypt_OpenSSL(benchmark::State& s) { opensslCipher(s, EVP_aes_128_cbc(), true); }
void BM_Aes128CbcDecrypt_Ours(benchmark::State& s) { oursCipher(s, PAL_CRYPTO_AES_CBC, 16, false); }
void BM_Aes128CbcDecrypt_OpenSSL(benchmark::State& s) { opensslCipher(s, EVP_aes_128_cbc(), false); }
void BM_Aes256CbcEncrypt_Ours(benchmark::State& s) { oursCipher(s, PAL_CRYPTO_AES_CBC, 32, true); }
void BM_Aes256CbcEncrypt_OpenSSL(benchmark::State& s) { opensslCipher(s, EVP_aes_256_cbc(), true); }
void BM_Aes256CbcDecrypt_Ours(benchmark::State& s) { oursCipher(s, PAL_CRYPTO_AES_CBC, 32, false); }
void BM_Aes256CbcDecrypt_OpenSSL(benchmark::State& s) { opensslCipher(s, EVP_aes_256_cbc(), false); }
void BM_Aes128Ctr_Ours(benchmark::State& s) { oursCipher(s, PAL_CRYPTO_AES_CTR, 16, true); }
void BM_Aes128Ctr_OpenSSL(benchmark::State& s) { opensslCipher(s, EVP_aes_128_ctr(), true); }

BENCHMARK(BM_Aes128CbcEncrypt_Ours);
BENCHMARK(BM_Aes128CbcEncrypt_OpenSSL);
BENCHMARK(BM_Aes128CbcDecrypt_Ours);
BENCHMARK(BM_Aes128CbcDecrypt_OpenSSL);
BENCHMARK(BM_Aes256CbcEncrypt_Ours);
BENCHMARK(BM_Aes256CbcEncrypt_OpenSSL);
BENCHMARK(BM_Aes256CbcDecrypt_Ours);
BENCHMARK(BM_Aes256CbcDecrypt_OpenSSL);
BENCHMARK(BM_Aes128Ctr_Ours);
BENCHMARK(BM_Aes128Ctr_OpenSSL);

// --- digests and HMAC ---

void oursDigest(benchmark::State& state, uint32_t algorithm) {
    uint8_t out[32];
    for (auto _ : state) {
        if (palCryptoDigest(data().data(), kSize, out, algorithm) != TCS_RESULT_OK) state.SkipWithError("digest");
        benchmark::DoNotOptimize(out);
    }
    setBytes(state);
}

void opensslDigest(benchmark::State& state, const EVP_MD* md) {
    uint8_t out[EVP_MAX_MD_SIZE];
    for (auto _ : state) {
        unsigned length = 0;
        EVP_Digest(data().data(), kSize, out, &length, md, nullptr);
        benchmark::DoNotOptimize(out);
    }
    setBytes(state);
}

void BM_Sha1_Ours(benchmark::State& s) { oursDigest(s, PAL_CRYPTO_SHA1); }
void BM_Sha1_OpenSSL(benchmark::State& s) { opensslDigest(s, EVP_sha1()); }
void BM_Sha256_Ours(benchmark::State& s) { oursDigest(s, PAL_CRYPTO_SHA256); }
void BM_Sha256_OpenSSL(benchmark::State& s) { opensslDigest(s, EVP_sha256()); }
void BM_Md5_Ours(benchmark::State& s) { oursDigest(s, PAL_CRYPTO_MD5); }
void BM_Md5_OpenSSL(benchmark::State& s) { opensslDigest(s, EVP_md5()); }

void BM_HmacSha256_Ours(benchmark::State& state) {
    uint8_t out[32];
    for (auto _ : state) {
        uint32_t length = 0;
        palCryptoMAC(data().data(), kSize, kKey, 32, out, &length, PAL_CRYPTO_HMAC_SHA256);
        benchmark::DoNotOptimize(out);
    }
    setBytes(state);
}

void BM_HmacSha256_OpenSSL(benchmark::State& state) {
    uint8_t out[32];
    for (auto _ : state) {
        unsigned length = 0;
        HMAC(EVP_sha256(), kKey, 32, data().data(), kSize, out, &length);
        benchmark::DoNotOptimize(out);
    }
    setBytes(state);
}

BENCHMARK(BM_Sha1_Ours);
BENCHMARK(BM_Sha1_OpenSSL);
BENCHMARK(BM_Sha256_Ours);
BENCHMARK(BM_Sha256_OpenSSL);
BENCHMARK(BM_HmacSha256_Ours);
BENCHMARK(BM_HmacSha256_OpenSSL);
BENCHMARK(BM_Md5_Ours);
BENCHMARK(BM_Md5_OpenSSL);

// OpenSSL has no CRC-32: ours alone, for its throughput.
void BM_Crc32_Ours(benchmark::State& state) {
    uint32_t crc = 0;
    for (auto _ : state) {
        palCryptoChecksum(0, &crc, data().data(), kSize, PAL_CRYPTO_CRC32);
        benchmark::DoNotOptimize(crc);
    }
    setBytes(state);
}
BENCHMARK(BM_Crc32_Ours);

// --- RSA-2048 with the host key ---

struct HostKey {
    CryptoKeyObject* publicKey = nullptr;
    CryptoKeyObject* privateKey = nullptr;
    EVP_PKEY* pkey = nullptr;

    HostKey() {
        uint8_t blob[PAL_HOST_KEY_BLOB_DATA_SIZE];
        uint32_t length = sizeof blob;
        uint8_t modulus[256];
        uint32_t bits = 0;
        const uint8_t exponent[4] = {1, 0, 1, 0};
        palCryptoRsaExportPrivateKeyBlobData(nullptr, blob, &length);
        palCryptoRsaExportPublicKey(&bits, nullptr, modulus, sizeof modulus);
        palCryptoRsaCreatePrivateKeyHandle(length, blob, &privateKey);
        palCryptoRsaCreatePublicKeyHandle(bits, exponent, modulus, &publicKey);

        // OpenSSL gets every component, so it may use the CRT.
        struct Component {
            const char* name;
            uint32_t offset, size;
        };
        const Component parts[] = {{OSSL_PKEY_PARAM_RSA_N, 20, 256},          {OSSL_PKEY_PARAM_RSA_E, 16, 4},
                              {OSSL_PKEY_PARAM_RSA_D, 916, 256},         {OSSL_PKEY_PARAM_RSA_FACTOR1, 276, 128},
                              {OSSL_PKEY_PARAM_RSA_FACTOR2, 404, 128},   {OSSL_PKEY_PARAM_RSA_EXPONENT1, 532, 128},
                              {OSSL_PKEY_PARAM_RSA_EXPONENT2, 660, 128}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, 788, 128}};
        OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
        std::vector<BIGNUM*> numbers;
        for (const Component& p : parts) {
            numbers.push_back(BN_lebin2bn(blob + p.offset, int(p.size), nullptr));
            OSSL_PARAM_BLD_push_BN(builder, p.name, numbers.back());
        }
        OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(builder);
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
        EVP_PKEY_fromdata_init(ctx);
        EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_KEYPAIR, params);
        EVP_PKEY_CTX_free(ctx);
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(builder);
        for (BIGNUM* n : numbers) BN_clear_free(n);
    }
    ~HostKey() {
        palCryptoObjectDestroyHandle(&publicKey);
        palCryptoObjectDestroyHandle(&privateKey);
        EVP_PKEY_free(pkey);
    }
};

HostKey& hostKey() {
    static HostKey key;
    return key;
}

const uint8_t kHash[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                           17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

EVP_PKEY_CTX* opensslSigner(bool sign) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(hostKey().pkey, nullptr);
    if (sign) {
        EVP_PKEY_sign_init(ctx);
    } else {
        EVP_PKEY_verify_init(ctx);
    }
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    return ctx;
}

void BM_Rsa2048PrivateSign_Ours(benchmark::State& state) {
    uint8_t signature[256];
    for (auto _ : state) {
        uint32_t length = sizeof signature;
        if (palCryptoRsaSign(kHash, 32, PAL_CRYPTO_SHA256, signature, &length, hostKey().privateKey) != TCS_RESULT_OK) {
            state.SkipWithError("sign");
        }
        benchmark::DoNotOptimize(signature);
    }
}

void BM_Rsa2048PrivateSign_OpenSSL(benchmark::State& state) {
    EVP_PKEY_CTX* ctx = opensslSigner(true);
    uint8_t signature[256];
    for (auto _ : state) {
        size_t length = sizeof signature;
        if (EVP_PKEY_sign(ctx, signature, &length, kHash, 32) != 1) state.SkipWithError("sign");
        benchmark::DoNotOptimize(signature);
    }
    EVP_PKEY_CTX_free(ctx);
}

void BM_Rsa2048PublicVerify_Ours(benchmark::State& state) {
    uint8_t signature[256];
    uint32_t length = sizeof signature;
    palCryptoRsaSign(kHash, 32, PAL_CRYPTO_SHA256, signature, &length, hostKey().privateKey);
    for (auto _ : state) {
        if (palCryptoRsaVerify(signature, length, kHash, 32, PAL_CRYPTO_SHA256, hostKey().publicKey) != TCS_RESULT_OK) {
            state.SkipWithError("verify");
        }
    }
}

void BM_Rsa2048PublicVerify_OpenSSL(benchmark::State& state) {
    EVP_PKEY_CTX* signer = opensslSigner(true);
    uint8_t signature[256];
    size_t length = sizeof signature;
    EVP_PKEY_sign(signer, signature, &length, kHash, 32);
    EVP_PKEY_CTX_free(signer);
    EVP_PKEY_CTX* ctx = opensslSigner(false);
    for (auto _ : state) {
        if (EVP_PKEY_verify(ctx, signature, length, kHash, 32) != 1) state.SkipWithError("verify");
    }
    EVP_PKEY_CTX_free(ctx);
}

BENCHMARK(BM_Rsa2048PrivateSign_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rsa2048PrivateSign_OpenSSL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rsa2048PublicVerify_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rsa2048PublicVerify_OpenSSL)->Unit(benchmark::kMicrosecond);

// Collects each run's time and prints ours against OpenSSL's for every pair that ran.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                times_[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        printf("\nours / OpenSSL (throughput ratio; 1.0 = as fast, target >= 0.5 for ciphers and digests)\n");
        for (const auto& [name, time] : times_) {
            const auto cut = name.rfind("_Ours");
            if (cut == std::string::npos) continue;
            const auto other = times_.find(name.substr(0, cut) + "_OpenSSL");
            if (other == times_.end() || time <= 0) continue;
            printf("  %-28s %6.2f\n", name.substr(3, cut - 3).c_str(), other->second / time);
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    palCryptoInitialize();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
