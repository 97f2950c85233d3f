// Partitions against the virtual sensor: the "EAT" table, raw records, open counts and the image
// partition.
#include "flash_fixture.h"

#include "tcs/sensorctl/secure/security.h"

namespace {

using xtfstest::Bytes;
using xtfstest::FlashTest;

constexpr uint32_t kRsaRaw = 4096;

struct Slot {
    uint8_t type;
    uint32_t offset, size;
    bool operator==(const Slot&) const = default;
};
Slot slotOf(const uint8_t* table, int i) {
    const uint8_t* p = table + 4 + 10 * i;
    auto u32 = [](const uint8_t* q) { return uint32_t(q[0]) | q[1] << 8 | q[2] << 16 | uint32_t(q[3]) << 24; };
    return Slot{p[0], u32(p + 1), u32(p + 5)};
}
void putSlot(Bytes& table, int i, Slot s) {
    uint8_t* p = table.data() + 4 + 10 * i;
    p[0] = s.type;
    for (int b = 0; b < 4; ++b) p[1 + b] = uint8_t(s.offset >> (8 * b)), p[5 + b] = uint8_t(s.size >> (8 * b));
}

class Partitions : public FlashTest {
protected:
    // Identifies the flash while the sensor still answers plain transactions, then makes it secured
    // (identification of a secured sensor goes through the flash patch outside a secure session).
    void secure(bool rsa) {
        uint32_t capacity = 0;
        ASSERT_EQ(xtfsGetFlashInfo(handle_, &capacity), 0u);
        ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_IMAGE, 0, nullptr), 0u) << "keeps the record alive";
        (rsa ? device_->rsaSecured : device_->aesSecured) = 1;
    }
    // A table page at 4096 with the given entries, as an RSA-secured sensor keeps it.
    Bytes rsaTable(std::initializer_list<Slot> slots) {
        Bytes table(256, 0xFF);
        table[0] = 'E', table[1] = 'A', table[2] = 'T', table[3] = 0x22;
        int i = 0;
        for (const Slot& s : slots) putSlot(table, i++, s);
        return table;
    }
};

TEST_F(Partitions, NewTablesCarryTheDefaultAreas) {
    secure(true);
    ASSERT_EQ(xtfsStorageCreate(handle_, XTFS_PART_RAW, 0x22), 0u);
    XtfsStorageInfo* record = info();
    ASSERT_NE(record, nullptr);
    ASSERT_NE(record->header, nullptr);
    EXPECT_EQ(Bytes(record->header, record->header + 4), (Bytes{'E', 'A', 'T', 0x22}));
    EXPECT_EQ(slotOf(record->header, 0), (Slot{6, 8192, 0}));
    EXPECT_EQ(slotOf(record->header, 1), (Slot{7, 0x50000, 0x30000}));
    EXPECT_EQ(slotOf(record->header, 2).type, 0xFF);
    EXPECT_EQ(record->rawSize, 4096u);
    EXPECT_EQ(xtfsStorageCreate(handle_, XTFS_PART_RAW, 0x22), 54u) << "already open";
    EXPECT_TRUE(spiOpcodes().empty() || spiOpcodes().back() != 0x02) << "nothing written yet";
    ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_RAW), 0u);

    // Firmware 4.60 buffers fingerprints in flash: its table gets the ring between the two.
    device_->fwVersion->major = 4;
    device_->fwVersion->minor = 60;
    ASSERT_EQ(xtfsStorageCreate(handle_, XTFS_PART_RAW, 0x22), 0u);
    record = info();
    EXPECT_EQ(slotOf(record->header, 0).type, 6);
    EXPECT_EQ(slotOf(record->header, 1), (Slot{15, 0x80000, 0x80000}));
    EXPECT_EQ(slotOf(record->header, 2).type, 7);
}

TEST_F(Partitions, CreateChecksKindLayoutAndSensor) {
    EXPECT_EQ(xtfsStorageCreate(handle_, XTFS_PART_RAW, 0x22), 17u) << "unsecured sensor";
    secure(false);
    EXPECT_EQ(xtfsStorageCreate(handle_, XTFS_PART_RAW, 0x23), 17u);
    EXPECT_EQ(xtfsStorageCreate(handle_, 9, 0x21), 17u);
    ASSERT_EQ(xtfsStorageCreate(handle_, XTFS_PART_RAW, 0x21), 0u);
    XtfsStorageInfo* record = info();
    EXPECT_EQ(slotOf(record->header, 0).type, 0xFF);
    EXPECT_EQ(slotOf(record->header, 19), (Slot{7, 0x50000, 0x30000}));
    EXPECT_EQ(record->rawSize, 0x10000u);
    EXPECT_EQ(record->rawBase, 0x40000u);
}

TEST_F(Partitions, OpenReadsTheTableAndChecksIt) {
    secure(true);
    uint32_t size = 0;
    ASSERT_EQ(xtfsStorageOpenEx(handle_, XTFS_PART_RAW, 0, 1, &size), 0u) << "a blank partition is fine";
    EXPECT_EQ(size, 3840u);
    ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_RAW), 0u);

    seed(kRsaRaw, Bytes{'J', 'U', 'N', 'K'});
    EXPECT_EQ(xtfsStorageOpenEx(handle_, XTFS_PART_RAW, 0, 1, &size), 374u);
    EXPECT_EQ(xtfsStorageOpenEx(handle_, XTFS_PART_RAW, 0, 0, &size), 0u) << "unchecked";
    ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_RAW), 0u);

    Bytes table = rsaTable({{6, 8192, 0}, {3, 4352, 4}});
    seed(kRsaRaw, table);
    seed(4352, Bytes{1, 2, 3, 4});
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_RAW, 0, nullptr), 0u);
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_RAW, 0, nullptr), 0u);
    uint32_t open = 0;
    ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_RAW), 0u);
    ASSERT_EQ(xtfsIsStorageOpen(handle_, XTFS_PART_RAW, &open), 0u);
    EXPECT_EQ(open, 1u) << "opened twice, closed once";
    uint32_t length = 0;
    ASSERT_EQ(xtfsGetRawPartitionEntry(device_, 3, nullptr, &length), 0u);
    ASSERT_EQ(length, 4u);
    Bytes data(4, 0xEE);
    length = 3;
    EXPECT_EQ(xtfsGetRawPartitionEntry(device_, 3, data.data(), &length), 17u) << "buffer too small";
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(data, Bytes(4, 0xEE)) << "nothing copied";
    ASSERT_EQ(xtfsGetRawPartitionEntry(device_, 3, data.data(), &length), 0u);
    EXPECT_EQ(data, (Bytes{1, 2, 3, 4}));
    XtfsRawDataRecord* last = GetLastRawDataRecord(info());
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->type, 3);
    EXPECT_EQ(last->address, 4352u);
    EXPECT_EQ(last->length, 4u);
    ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_RAW), 0u);
    ASSERT_EQ(xtfsIsStorageOpen(handle_, XTFS_PART_RAW, &open), 0u);
    EXPECT_EQ(open, 0u);
    EXPECT_EQ(xtfsGetRawPartitionEntry(device_, 3, nullptr, &length), 375u);
}

TEST_F(Partitions, EntryLookupErrors) {
    secure(true);
    seed(kRsaRaw, rsaTable({{6, 8192, 0}, {3, 4352, 4}, {5, 8190, 16}}));
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_RAW, 0, nullptr), 0u);
    uint32_t length = 0;
    struct Case { uint32_t type; uint32_t* length; TcsResult expected; };
    for (auto [type, out, expected] : std::initializer_list<Case>{
             {3, nullptr, 17}, {7, &length, 17}, {9, &length, 79}, {5, &length, 374}, {3, &length, 0}}) {
        EXPECT_EQ(xtfsGetRawPartitionEntry(device_, type, nullptr, out), expected) << type;
    }
    uint32_t valid = 1;
    ASSERT_EQ(xtfsIsRawPartitionEntryValid(device_, 3, &valid), 0u);
    EXPECT_EQ(valid, 0u) << "blank data";
}

TEST_F(Partitions, AddingAnExistingTypeRetiresTheOldEntry) {
    secure(true);
    seed(kRsaRaw, rsaTable({{6, 8192, 0}}));
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_RAW, 0, nullptr), 0u);
    const Bytes first{0x11, 0x22, 0x33};
    const Bytes second{0x44, 0x55, 0x66, 0x77, 0x88};
    ASSERT_EQ(xtfsAddRawPartitionEntry(device_, 10, first.data(), 3), 0u);
    ASSERT_EQ(xtfsAddRawPartitionEntry(device_, 10, second.data(), 5), 0u);
    const Bytes f = flash();
    const uint8_t* table = f.data() + kRsaRaw;
    EXPECT_EQ(slotOf(table, 0), (Slot{6, 8192, 0}));
    EXPECT_EQ(slotOf(table, 1), (Slot{0, 4352, 3})) << "old entry deleted";
    EXPECT_EQ(slotOf(table, 2), (Slot{10, 4355, 5})) << "new entry after the last data record";
    EXPECT_EQ(Bytes(f.begin() + 4352, f.begin() + 4355), Bytes(3, 0)) << "old data zeroed";
    EXPECT_EQ(Bytes(f.begin() + 4355, f.begin() + 4360), second);
    EXPECT_EQ(Bytes(info()->header, info()->header + 256), Bytes(table, table + 256)) << "RAM and flash agree";
    uint32_t length = 5;
    Bytes back(5);
    ASSERT_EQ(xtfsGetRawPartitionEntry(device_, 10, back.data(), &length), 0u);
    EXPECT_EQ(back, second);
    uint32_t valid = 0;
    ASSERT_EQ(xtfsIsRawPartitionEntryValid(device_, 10, &valid), 0u);
    EXPECT_EQ(valid, 1u);

    EXPECT_EQ(xtfsAddRawPartitionEntry(device_, 7, first.data(), 3), 17u);
    EXPECT_EQ(xtfsAddRawPartitionEntry(device_, 11, nullptr, 3), 17u);
    EXPECT_EQ(xtfsRemoveRawPartitionEntry(handle_, 10), 0u);
    EXPECT_EQ(xtfsRemoveRawPartitionEntry(handle_, 10), 79u);
    EXPECT_EQ(slotOf(flash().data() + kRsaRaw, 2).type, 0);
}

TEST_F(Partitions, AddingRunsOutOfRoom) {
    secure(true);
    seed(kRsaRaw, rsaTable({{6, 8192, 0}}));
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_RAW, 0, nullptr), 0u);
    const Bytes big(3840, 0x5A);
    EXPECT_EQ(xtfsAddRawPartitionEntry(device_, 10, big.data(), 3841), 369u) << "past the data area";
    ASSERT_EQ(xtfsAddRawPartitionEntry(device_, 10, big.data(), 3840), 0u) << "exactly fills it";
    EXPECT_EQ(xtfsAddRawPartitionEntry(device_, 11, big.data(), 1), 369u);
    ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_RAW), 0u);

    // A full table: 20 slots used.
    Bytes table = rsaTable({});
    for (int i = 0; i < 20; ++i) putSlot(table, i, Slot{uint8_t(20 + i), uint32_t(4352 + i), 1});
    seed(kRsaRaw, table);
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_RAW, 0, nullptr), 0u);
    EXPECT_EQ(xtfsAddRawPartitionEntry(device_, 50, big.data(), 1), 369u);
    EXPECT_EQ(xtfsAddRawPartitionEntry(nullptr, 50, big.data(), 1), 375u);
}

TEST_F(Partitions, TableMadeInRamReachesFlashWhenProgrammed) {
    secure(true);
    ASSERT_EQ(xtfsStorageCreate(handle_, XTFS_PART_RAW, 0x22), 0u);
    const Bytes data{9, 8, 7};
    ASSERT_EQ(xtfsAddRawPartitionEntry(device_, 12, data.data(), 3), 0u);
    EXPECT_TRUE(IsBlankBuffer(flash().data() + kRsaRaw, 4096)) << "deferred";
    XtfsStorageInfo* record = info();
    const Bytes image(record->rawImage, record->rawImage + record->rawSize);
    ASSERT_EQ(xtfsProgramRawPartition(handle_, image.data(), uint32_t(image.size())), 0u);
    Bytes f = flash();
    EXPECT_EQ(Bytes(f.begin() + kRsaRaw, f.begin() + 2 * kRsaRaw), image);
    EXPECT_EQ(f[kRsaRaw - 1], 0xFF);
    EXPECT_EQ(f[2 * kRsaRaw], 0xFF);
    // Once programmed, further records are written through.
    ASSERT_EQ(xtfsAddRawPartitionEntry(device_, 13, data.data(), 3), 0u);
    f = flash();
    EXPECT_EQ(slotOf(f.data() + kRsaRaw, 3).type, 13);

    EXPECT_EQ(xtfsProgramRawPartition(handle_, image.data(), 4097), 17u) << "larger than the partition";
    EXPECT_EQ(xtfsProgramRawPartition(handle_, nullptr, 16), 17u);
}

TEST_F(Partitions, ProgramRawPartitionErasesWhenBitsMustRise) {
    secure(true);
    seed(kRsaRaw, Bytes(4096, 0x00));
    seed(kRsaRaw + 4096, Bytes{0x12});  // the image partition's first byte, next erase unit
    Bytes image(4096, 0xA5);
    ASSERT_EQ(xtfsProgramRawPartition(handle_, image.data(), 4096), 0u);
    const Bytes f = flash();
    EXPECT_EQ(Bytes(f.begin() + kRsaRaw, f.begin() + 2 * kRsaRaw), image);
    EXPECT_EQ(f[2 * kRsaRaw], 0x12) << "the neighbouring partition stays";
}

TEST_F(Partitions, ImagePartitionProgramAndRead) {
    uint32_t size = 0;
    ASSERT_EQ(xtfsStorageOpenEx(handle_, XTFS_PART_IMAGE, 0, 1, &size), 0u);
    EXPECT_EQ(size, 0x40000u);
    seed(0x100, Bytes(16, 0x00));
    Bytes image(0x300);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 13 + 1);
    image[0x100] = 0xFF;  // a page that begins as erased flash reads but is not
    ASSERT_EQ(xtfsProgramImagePartition(handle_, image.data(), uint32_t(image.size()), 1), 0u);
    Bytes back(image.size());
    ASSERT_EQ(xtfsReadImagePartition(handle_, back.data(), uint32_t(back.size())), 0u);
    EXPECT_EQ(back, image);
    EXPECT_EQ(xtfsProgramImagePartition(handle_, image.data(), 0x40001, 0), 17u);
    EXPECT_EQ(xtfsProgramImagePartition(handle_, nullptr, 16, 0), 17u);
    uint32_t open = 0;
    ASSERT_EQ(xtfsIsStorageOpen(handle_, XTFS_PART_IMAGE, &open), 0u);
    EXPECT_EQ(open, 1u) << "the program's own open is closed again";
}

TEST_F(Partitions, ImageVerifyMismatchGives8) {
    // A part that drops page programs: the read-back differs.
    simusb::setCommandHook(0x0B, [](std::span<const uint8_t> request) {
        simusb::Reply reply;
        Bytes mosi(request.begin() + 35, request.end());
        reply.payload.assign(mosi.size(), 0xFF);
        if (mosi[0] == 0x9F) reply.payload[1] = 0xEF, reply.payload[2] = 0x40, reply.payload[3] = 0x14;
        if (mosi[0] == 0x05) std::fill(reply.payload.begin() + 1, reply.payload.end(), 0);
        return reply;
    });
    const Bytes image(64, 0x00);
    EXPECT_EQ(xtfsProgramImagePartition(handle_, image.data(), 64, 0), 8u);
}

TEST_F(Partitions, CleanupFreesTheRecordWithTheLastPartition) {
    EXPECT_EQ(xtfsStorageCleanup(nullptr, XTFS_PART_RAW), 17u);
    EXPECT_EQ(xtfsStorageCleanup(device_, 4), 17u);
    EXPECT_EQ(xtfsStorageCleanup(device_, XTFS_PART_RAW), 0u) << "no record";
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_IMAGE, 0, nullptr), 0u);
    ASSERT_NE(device_->storageInfo, nullptr);
    ASSERT_EQ(xtfsStorageCleanup(device_, XTFS_PART_RAW), 0u);
    EXPECT_NE(device_->storageInfo, nullptr) << "image still open";
    ASSERT_EQ(xtfsStorageClose(handle_, XTFS_PART_IMAGE), 0u);
    EXPECT_EQ(device_->storageInfo, nullptr);
    EXPECT_EQ(xtfsStorageOpen(handle_, XTFS_PART_RAW, 0, nullptr), 17u) << "unsecured sensor has no raw partition";
    EXPECT_EQ(device_->storageInfo, nullptr);
}

TEST_F(Partitions, FreeDropsEverythingStillOpen) {
    secure(true);
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_RAW, 0, nullptr), 0u);
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_RAW, 0, nullptr), 0u);
    ASSERT_EQ(xtfsStorageOpen(handle_, XTFS_PART_IMAGE, 0, nullptr), 0u);
    EXPECT_EQ(xtfsStorageFree(nullptr), 17u);
    ASSERT_EQ(xtfsStorageFree(device_), 0u);
    EXPECT_EQ(device_->storageInfo, nullptr);
    EXPECT_EQ(xtfsStorageFree(device_), 0u);
}

}  // namespace
