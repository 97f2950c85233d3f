// Raw partition hash and the patch-signature cache against the virtual flash.
#include "flash_fixture.h"

#include "tcs/sensorctl/secure/ssl.h"

namespace {

using xtfstest::Bytes;
using xtfstest::FlashTest;

constexpr uint32_t kRsaRaw = 4096;

class RawRecords : public FlashTest {
protected:
    void TearDown() override {
        device_->sslContext = nullptr;
        FlashTest::TearDown();
    }
    // An RSA-secured sensor whose raw partition holds a table with the signature cache at 8192.
    void openRsa(Bytes extraEntry = {}) {
        uint32_t capacity = 0;
        ASSERT_EQ(xtfsGetFlashInfo(handle_, &capacity), 0u);
        // Keeps the record (and the identified part) while the raw partition closes and reopens.
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_IMAGE, 0, nullptr), 0u);
        Bytes table(256, 0xFF);
        table[0] = 'E', table[1] = 'A', table[2] = 'T', table[3] = 0x22;
        const Bytes cache{6, 0x00, 0x20, 0x00, 0x00, 0, 0, 0, 0, 0xFF};
        std::copy(cache.begin(), cache.end(), table.begin() + 4);
        std::copy(extraEntry.begin(), extraEntry.end(), table.begin() + 14);
        seed(kRsaRaw, table);
        device_->rsaSecured = 1;
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_RAW, 0, nullptr), 0u);
    }
    void startSession() {
        std::memset(&session_, 0, sizeof session_);
        session_.state = SCS_SSL_STATE_ESTABLISHED;
        device_->sslContext = &session_;
    }
    static Bytes item(uint32_t id, uint8_t sub, uint8_t kind, uint8_t fill) {
        Bytes i(40, fill);
        std::memcpy(i.data(), &id, 4);
        i[4] = sub, i[5] = 'P', i[6] = 'S', i[7] = kind;
        return i;
    }
    ScsSSLContext session_{};
};

TEST_F(RawRecords, StoredHashVerifiesAndCatchesDamage) {
    openRsa();
    uint8_t hash[20];
    EXPECT_EQ(CalculateRAWPartitionHash(handle_, nullptr, 1), 17u);
    uint32_t damaged = 9;
    EXPECT_EQ(VerifyRAWPartitionIntegrity(handle_, nullptr), 17u);
    EXPECT_EQ(VerifyRAWPartitionIntegrity(handle_, &damaged), 79u) << "no hash stored yet";
    const Bytes a{1, 2, 3}, b{4, 5};
    ASSERT_EQ(xtfsAddRawPartitionEntry(device_, 20, a.data(), 3), 0u);
    ASSERT_EQ(CalculateRAWPartitionHash(handle_, hash, 1), 0u);
    ASSERT_EQ(VerifyRAWPartitionIntegrity(handle_, &damaged), 0u);
    EXPECT_EQ(damaged, 0u);

    // A record added after the hash is outside it; storing again retires the old hash entry.
    ASSERT_EQ(xtfsAddRawPartitionEntry(device_, 21, b.data(), 2), 0u);
    ASSERT_EQ(VerifyRAWPartitionIntegrity(handle_, &damaged), 0u);
    EXPECT_EQ(damaged, 0u);
    uint8_t again[20];
    ASSERT_EQ(CalculateRAWPartitionHash(handle_, again, 0), 0u);
    ASSERT_EQ(CalculateRAWPartitionHash(handle_, hash, 1), 0u);
    EXPECT_EQ(Bytes(again, again + 20), Bytes(hash, hash + 20)) << "computed as it will be stored";
    ASSERT_EQ(VerifyRAWPartitionIntegrity(handle_, &damaged), 0u);
    EXPECT_EQ(damaged, 0u);

    // The same holds from flash, reopened.
    ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_RAW), 0u);
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_RAW, 0, nullptr), 0u);
    ASSERT_EQ(VerifyRAWPartitionIntegrity(handle_, &damaged), 0u);
    EXPECT_EQ(damaged, 0u);
    info()->rawImage[256] ^= 0x01;  // first data byte
    ASSERT_EQ(VerifyRAWPartitionIntegrity(handle_, &damaged), 0u);
    EXPECT_EQ(damaged, 1u);
    ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_RAW), 0u);
    EXPECT_EQ(VerifyRAWPartitionIntegrity(handle_, &damaged), 375u);
}

TEST_F(RawRecords, InconsistentHashEntryCountsAsSoundOnAesSensors) {
    // Hash entry pointing below the data area.
    openRsa({14, 0x00, 0x10, 0x00, 0x00, 20, 0, 0, 0, 0xFF});
    uint32_t damaged = 9;
    EXPECT_EQ(VerifyRAWPartitionIntegrity(handle_, &damaged), 374u);
    device_->aesSecured = 1;
    EXPECT_EQ(VerifyRAWPartitionIntegrity(handle_, &damaged), 0u);
    EXPECT_EQ(damaged, 0u);
}

TEST_F(RawRecords, SignatureCacheStoresLooksUpAndInvalidates) {
    openRsa();
    const XtfsPatchKey first{0x00010008, 3}, second{0x00000001, 1};
    uint32_t found = 9;
    uint8_t out[40];
    ASSERT_EQ(xtfsIsPatchSignatureCached(handle_, &first, 0, &found, out), 0u);
    EXPECT_EQ(found, 0u);
    EXPECT_EQ(Bytes(out, out + 40), Bytes(40, 0xFF)) << "empty cache";

    const Bytes one = item(first.patchIdBits, 3, 0, 0xA1), two = item(second.patchIdBits, 1, 2, 0xB2);
    ASSERT_EQ(xtfsCachePatchSignatureItem(handle_, one.data()), 0u);
    EXPECT_TRUE(IsBlankBuffer(flash().data() + 8192 - 40, 40)) << "outside a secure session nothing is cached";
    ASSERT_EQ(xtfsIsPatchSignatureCached(handle_, &first, 0, &found, out), 0u);
    EXPECT_EQ(found, 0u);

    startSession();
    ASSERT_EQ(xtfsCachePatchSignatureItem(handle_, one.data()), 0u);
    ASSERT_EQ(xtfsCachePatchSignatureItem(handle_, two.data()), 0u);
    Bytes f = flash();
    EXPECT_EQ(Bytes(f.begin() + 8192 - 40, f.begin() + 8192), one);
    EXPECT_EQ(Bytes(f.begin() + 8192 - 80, f.begin() + 8192 - 40), two);
    ASSERT_EQ(xtfsIsPatchSignatureCached(handle_, &second, 2, &found, out), 0u);
    EXPECT_EQ(found, 1u);
    EXPECT_EQ(Bytes(out, out + 40), two);
    ASSERT_EQ(xtfsIsPatchSignatureCached(handle_, &second, 0, &found, out), 0u);
    EXPECT_EQ(found, 0u) << "the kind is part of the key";

    ASSERT_EQ(xtfsInvalidateCachedPatchSignature(handle_, &first, 0), 0u);
    f = flash();
    EXPECT_EQ(Bytes(f.begin() + 8192 - 40, f.begin() + 8192), Bytes(40, 0)) << "zeroed on flash";
    ASSERT_EQ(xtfsIsPatchSignatureCached(handle_, &first, 0, &found, out), 0u);
    EXPECT_EQ(found, 0u);
    ASSERT_EQ(xtfsIsPatchSignatureCached(handle_, &second, 2, &found, out), 0u);
    EXPECT_EQ(found, 1u) << "found past the invalidated slot";
}

TEST_F(RawRecords, SignatureCacheErrors) {
    openRsa();
    startSession();
    // A corrupt item ends the search.
    info()->rawImage[8192 - 40 - kRsaRaw] = 0x12;
    uint32_t found = 9;
    uint8_t out[40];
    const XtfsPatchKey key{1, 1};
    ASSERT_EQ(xtfsIsPatchSignatureCached(handle_, &key, 0, &found, out), 0u);
    EXPECT_EQ(found, 0u);
    info()->rawImage[8192 - 40 - kRsaRaw] = 0xFF;

    // Data records reach up to the page below the stack: no room left for an item.
    const Bytes big(3840 - 256 - 40, 0x33);
    ASSERT_EQ(xtfsAddRawPartitionEntry(device_, 20, big.data(), uint32_t(big.size())), 0u);
    const Bytes one = item(1, 1, 0, 0x44);
    EXPECT_EQ(xtfsCachePatchSignatureItem(handle_, one.data()), 369u);

    info()->layout = 0x21;
    EXPECT_EQ(xtfsCachePatchSignatureItem(handle_, one.data()), 6u);
    EXPECT_EQ(xtfsInvalidateCachedPatchSignature(handle_, &key, 0), 6u);
    ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_RAW), 0u);
    EXPECT_EQ(xtfsCachePatchSignatureItem(handle_, one.data()), 375u);
}

}  // namespace
