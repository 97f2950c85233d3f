// Protected data slots: the protected blob, slots in the settings file, the item-1 cache and kinds.
#include "tcs/sensorctl/secure/data_slots.h"

#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "platform/test_seams.h"
#include "tcs/sensorctl/engine/scs_internal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class DataSlots : public ::testing::Test {
protected:
    void SetUp() override {
        palCryptoInitialize();
        path_ = "/tmp/tov_ssl_slots_" + std::to_string(getpid()) + ".txt";
        std::remove(path_.c_str());
        palTestSetSettingsPath(path_.c_str());
        memset(&device_, 0, sizeof device_);
        memset(&version_, 0, sizeof version_);
        const uint8_t serial[6] = {0x01, 0x02, 0x03, 0x04, 0x05, 0xAB};
        memcpy(version_.serial, serial, 6);
        device_.fwVersion = &version_;
    }
    void TearDown() override {
        scsDataSlotForgetDevice(&device_);
        palTestSetSettingsPath(nullptr);
        std::remove(path_.c_str());
    }
    std::string settingsText() {
        std::ifstream in(path_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string path_;
    ScsSensorDevice device_;
    ScsFwVersion version_;
};

std::vector<uint8_t> protect(const std::vector<uint8_t>& plain, TcsResult* result = nullptr) {
    uint8_t* out = nullptr;
    uint32_t length = 0;
    TcsResult r = scsEncryptWithGSKGlobal(uint32_t(plain.size()), plain.data(), &length, &out);
    if (result != nullptr) *result = r;
    std::vector<uint8_t> blob(out, out + (r == 0 ? length : 0));
    palRealFree(out);
    return blob;
}

TcsResult unprotect(const std::vector<uint8_t>& blob, std::vector<uint8_t>* plain) {
    uint8_t* out = nullptr;
    uint32_t length = 0;
    TcsResult r = scsDecryptWithGSKGlobal(uint32_t(blob.size()), blob.data(), &length, &out);
    if (r == 0) plain->assign(out, out + length);
    palRealFree(out);
    return r;
}

TEST_F(DataSlots, ProtectedBlobOf32BytesIs54BytesAndReadsBack) {
    std::vector<uint8_t> secret(32);
    for (int i = 0; i < 32; ++i) secret[i] = uint8_t(0xC0 + i);
    std::vector<uint8_t> blob = protect(secret);
    ASSERT_EQ(blob.size(), 54u);
    EXPECT_EQ(blob[0], 2);
    EXPECT_EQ(blob[1], 0);
    uint32_t crc = 0;
    ASSERT_EQ(palCryptoChecksum(0, &crc, blob.data() + 6, 48, PAL_CRYPTO_CRC32), 0u);
    EXPECT_EQ(blob[2] | blob[3] << 8 | blob[4] << 16 | uint32_t(blob[5]) << 24, crc);
    EXPECT_NE(std::vector<uint8_t>(blob.begin() + 22, blob.end()), secret);
    std::vector<uint8_t> plain;
    ASSERT_EQ(unprotect(blob, &plain), 0u);
    EXPECT_EQ(plain, secret);
    EXPECT_NE(protect(secret), blob) << "a fresh IV every time";
}

TEST_F(DataSlots, DamagedOrRaggedBlobsAreRefused) {
    std::vector<uint8_t> blob = protect(std::vector<uint8_t>(32, 7));
    std::vector<uint8_t> plain;
    struct Case { const char* what; std::vector<uint8_t> blob; };
    std::vector<uint8_t> badCrc = blob;
    badCrc[30] ^= 1;
    std::vector<uint8_t> ragged = blob;
    ragged.resize(45);
    std::vector<uint8_t> ragged2 = blob;  // CRC recomputed so only the length is wrong
    ragged2.push_back(0);
    uint32_t crc = 0;
    palCryptoChecksum(0, &crc, ragged2.data() + 6, uint32_t(ragged2.size() - 6), PAL_CRYPTO_CRC32);
    for (int i = 0; i < 4; ++i) ragged2[2 + i] = uint8_t(crc >> (8 * i));
    std::vector<uint8_t> headerOnly(blob.begin(), blob.begin() + 22);
    for (const Case& c : {Case{"crc", badCrc}, Case{"ragged", ragged}, Case{"ragged with crc", ragged2},
                          Case{"header only", headerOnly}, Case{"empty", {}}}) {
        EXPECT_EQ(unprotect(c.blob, &plain), TCS_RESULT_INVALID) << c.what;
    }
    TcsResult result = 0;
    protect(std::vector<uint8_t>(20, 1), &result);
    EXPECT_EQ(result, TCS_RESULT_BAD_PARAM);
}

TEST_F(DataSlots, SlotsLiveInTheSensorsSettingsSection) {
    std::vector<uint8_t> secret(32, 0x5A);
    ASSERT_EQ(scsStoreDataInStorage(&device_, 1, SCS_SERIALIZER_SETTINGS, SCS_PROTECTOR_GSK, 32, secret.data()), 0u);
    std::vector<uint8_t> modulus(256);
    for (int i = 0; i < 256; ++i) modulus[i] = uint8_t(i);
    ASSERT_EQ(scsStoreDataInStorage(&device_, 8, SCS_SERIALIZER_SETTINGS, SCS_PROTECTOR_NONE, 256, modulus.data()), 0u);
    std::string text = settingsText();
    EXPECT_NE(text.find("SOFTWARE\\Tovantic\\tfs530\\0102030405AB"), std::string::npos) << text;

    std::vector<uint8_t> back(32, 0);
    ASSERT_EQ(scsGetDataFromStorage(&device_, 1, SCS_SERIALIZER_SETTINGS, SCS_PROTECTOR_GSK, 32, back.data()), 0u);
    EXPECT_EQ(back, secret);
    uint8_t cached[32];
    scsDataSlotGetCachedSecret(&device_, cached);
    EXPECT_EQ(std::vector<uint8_t>(cached, cached + 32), secret) << "kept with the device once read";
    scsDataSlotForgetDevice(&device_);
    std::vector<uint8_t> modulusBack(256);
    ASSERT_EQ(scsGetDataFromStorage(&device_, 8, SCS_SERIALIZER_SETTINGS, SCS_PROTECTOR_NONE, 256,
                                    modulusBack.data()),
              0u);
    EXPECT_EQ(modulusBack, modulus);

    // Asking for more than is stored fails and leaves the buffer alone.
    std::vector<uint8_t> longer(48, 0xEE);
    EXPECT_EQ(scsGetDataFromStorage(&device_, 1, SCS_SERIALIZER_SETTINGS, SCS_PROTECTOR_GSK, 48, longer.data()),
              TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(longer, std::vector<uint8_t>(48, 0xEE));

    ASSERT_EQ(scsDeleteDataFromStorage(&device_, 8, SCS_SERIALIZER_SETTINGS), 0u);
    EXPECT_EQ(scsGetDataFromStorage(&device_, 8, SCS_SERIALIZER_SETTINGS, SCS_PROTECTOR_NONE, 256,
                                    modulusBack.data()),
              TCS_RESULT_DOESNT_EXIST);
    ASSERT_EQ(scsGetDataFromStorage(&device_, 1, SCS_SERIALIZER_SETTINGS, SCS_PROTECTOR_GSK, 32, back.data()), 0u);
}

TEST_F(DataSlots, CachedSecretIsAnsweredWithoutStorage) {
    uint8_t cached[32];
    for (int i = 0; i < 32; ++i) cached[i] = uint8_t(i + 1);
    ASSERT_EQ(scsDataSlotSetCachedSecret(&device_, cached), 0u);
    uint8_t out[32] = {};
    // The flash serializer is never asked (nothing is stored there).
    ASSERT_EQ(scsGetDataFromStorage(&device_, 1, SCS_SERIALIZER_SPI_FLASH, SCS_PROTECTOR_GSK, 32, out), 0u);
    EXPECT_EQ(memcmp(out, cached, 32), 0);
    uint8_t big[40];
    memset(big, 0xEE, sizeof big);
    EXPECT_EQ(scsGetDataFromStorage(&device_, 1, SCS_SERIALIZER_SPI_FLASH, SCS_PROTECTOR_GSK, 40, big),
              TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(big[0], 0xEE);

    // Another sensor in a device record at the same address does not see it.
    version_.serial[0] ^= 0xFF;
    scsDataSlotGetCachedSecret(&device_, out);
    EXPECT_EQ(out[0] | out[31], 0);
}

TEST_F(DataSlots, KindsAndArguments) {
    uint8_t data[32] = {1};
    uint8_t out[32];
    struct Case { const char* what; TcsResult got; TcsResult want; };
    for (const Case& c : {
             Case{"serializer 2", scsStoreDataInStorage(&device_, 1, 2, 0, 32, data), TCS_RESULT_BAD_PARAM},
             Case{"protector 4", scsStoreDataInStorage(&device_, 1, 0, 4, 32, data), TCS_RESULT_BAD_PARAM},
             Case{"factory store", scsStoreDataInStorage(&device_, 8, 0, 2, 32, data), TCS_RESULT_NOT_IMPLEMENTED},
             Case{"factory2 store", scsStoreDataInStorage(&device_, 8, 0, 3, 32, data), TCS_RESULT_NOT_IMPLEMENTED},
             Case{"null data", scsStoreDataInStorage(&device_, 1, 0, 0, 32, nullptr), TCS_RESULT_NULL_POINTER},
             Case{"null out", scsGetDataFromStorage(&device_, 1, 0, 0, 32, nullptr), TCS_RESULT_NULL_POINTER},
             Case{"slot 1000", scsStoreDataInStorage(&device_, 1000, 0, 0, 32, data), TCS_RESULT_BAD_PARAM},
             Case{"delete 1000", scsDeleteDataFromStorage(&device_, 1000, 0), TCS_RESULT_BAD_PARAM},
             Case{"delete flash", scsDeleteDataFromStorage(&device_, 1, 1), TCS_RESULT_BAD_PARAM},
             Case{"missing", scsGetDataFromStorage(&device_, 8, 0, 0, 32, out), TCS_RESULT_DOESNT_EXIST},
         }) {
        EXPECT_EQ(c.got, c.want) << c.what;
    }
    ASSERT_EQ(scsStoreDataInStorage(&device_, 8, 0, 0, 32, data), 0u);
    EXPECT_EQ(scsGetDataFromStorage(&device_, 8, 0, 2, 32, out), TCS_RESULT_NOT_IMPLEMENTED);
    device_.fwVersion = nullptr;
    EXPECT_EQ(scsGetDataFromStorage(&device_, 8, 0, 0, 32, out), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(scsDeleteDataFromStorage(&device_, 8, 0), TCS_RESULT_NULL_POINTER);
}

TEST_F(DataSlots, MacUnderTheGlobalKey) {
    uint8_t a[32], b[32], c[32];
    const uint8_t text[] = "exported user";
    ASSERT_EQ(scsSignByGSKGlobal(sizeof text, text, a), 0u);
    ASSERT_EQ(scsSignByGSKGlobal(sizeof text, text, b), 0u);
    ASSERT_EQ(scsSignByGSKGlobal(sizeof text - 1, text, c), 0u);
    EXPECT_EQ(memcmp(a, b, 32), 0);
    EXPECT_NE(memcmp(a, c, 32), 0);
    EXPECT_EQ(scsSignByGSKGlobal(0, text, a), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(scsSignByGSKGlobal(4, nullptr, a), TCS_RESULT_BAD_PARAM);
}

}  // namespace
