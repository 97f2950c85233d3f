// Rings and the compound ring of the reconstruction's line stores.
#include "tcs/imaging/reconstruction/circ_buffer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

uint8_t valueAt(const uint8_t* entry) { return entry == nullptr ? 0 : entry[0]; }

TEST(CircBuffer, KeepsTheNewestEntriesNewestFirst) {
    uint8_t area[3 * 4 + 2] = {};
    CircBuffer ring{};
    ASSERT_EQ(tcsInitCircBuffer(sizeof area, 4, 4, area, &ring, 0), TCS_RESULT_OK);
    EXPECT_EQ(ring.capacity, 3u);
    EXPECT_EQ(ring.bytesInUse, 12u);
    for (uint8_t v = 1; v <= 5; ++v) {
        const uint8_t entry[4] = {v, v, v, v};
        EXPECT_NE(tcsAddToCircBuffer(entry, &ring), nullptr);
    }
    EXPECT_EQ(ring.count, 3u);
    EXPECT_EQ(valueAt(tcsGetEntryFromCircBuffer(0, &ring)), 5);
    EXPECT_EQ(valueAt(tcsGetEntryFromCircBuffer(1, &ring)), 4);
    EXPECT_EQ(valueAt(tcsGetEntryFromCircBuffer(2, &ring)), 3);
    EXPECT_EQ(tcsGetEntryFromCircBuffer(3, &ring), nullptr);

    tcsRemoveLastFromCircBuffer(&ring);
    EXPECT_EQ(valueAt(tcsGetEntryFromCircBuffer(0, &ring)), 4);
    const uint8_t six[4] = {6, 6, 6, 6};
    tcsAddToCircBuffer(six, &ring);
    EXPECT_EQ(valueAt(tcsGetEntryFromCircBuffer(0, &ring)), 6);
    EXPECT_EQ(valueAt(tcsGetEntryFromCircBuffer(2, &ring)), 3);

    tcsRemoveFirstNFromCircBuffer(&ring, 1);
    EXPECT_EQ(ring.count, 2u);
    EXPECT_EQ(valueAt(tcsGetEntryFromCircBuffer(1, &ring)), 4);
    tcsRemoveFirstNFromCircBuffer(&ring, 5);
    EXPECT_EQ(ring.count, 0u);
    EXPECT_EQ(ring.next, 0u);
    EXPECT_EQ(ring.newest, 0u);
    EXPECT_EQ(tcsGetEntryFromCircBuffer(0, &ring), nullptr);
}

TEST(CircBuffer, ReversedRingStartsAtTheEndAndCopiesOnlyTheCopySize) {
    uint8_t area[4 * 4] = {};
    CircBuffer ring{};
    ASSERT_EQ(tcsInitCircBuffer(sizeof area, 4, 2, area, &ring, kCircBufferReversed), TCS_RESULT_OK);
    const uint8_t entry[4] = {9, 8, 7, 6};
    EXPECT_EQ(tcsAddToCircBuffer(entry, &ring), area + 12);
    EXPECT_EQ(area[12], 9);
    EXPECT_EQ(area[13], 8);
    EXPECT_EQ(area[14], 0);
    EXPECT_EQ(tcsAddToCircBuffer(nullptr, &ring), area + 8);  // reserved without copying
    EXPECT_EQ(area[8], 0);
    EXPECT_EQ(tcsGetEntryFromCircBuffer(1, &ring), area + 12);
}

TEST(CircBuffer, PrependedEntriesFillFromTheOtherEnd) {
    uint8_t area[4 * 2] = {};
    CircBuffer forward{}, reversed{};
    tcsInitCircBuffer(sizeof area, 2, 2, area, &forward, 0);
    const uint8_t a[2] = {1, 1}, b[2] = {2, 2};
    EXPECT_EQ(tcsPrependDataToCircBuffer(a, &forward), area + 6);
    EXPECT_EQ(tcsPrependDataToCircBuffer(b, &forward), area + 4);
    EXPECT_EQ(tcsGetPrependedEntryFromCircBuffer(1, &forward), area + 4);
    EXPECT_EQ(tcsGetPrependedEntryFromCircBuffer(2, &forward), nullptr);
    tcsInitCircBuffer(sizeof area, 2, 2, area, &reversed, kCircBufferReversed);
    EXPECT_EQ(tcsPrependDataToCircBuffer(a, &reversed), area);
    EXPECT_EQ(tcsGetPrependedEntryFromCircBuffer(0, &reversed), area);
    // Prepending stops when the area is used up rather than running past it.
    tcsPrependDataToCircBuffer(a, &reversed);
    tcsPrependDataToCircBuffer(a, &reversed);
    tcsPrependDataToCircBuffer(a, &reversed);
    EXPECT_EQ(tcsPrependDataToCircBuffer(a, &reversed), nullptr);
}

TEST(CircBuffer, ZeroEntrySizeIsRefused) {
    uint8_t area[8];
    CircBuffer ring{};
    EXPECT_EQ(tcsInitCircBuffer(sizeof area, 0, 0, area, &ring, 0), TCS_RESULT_ERROR);
}

class CompoundRing : public testing::Test {
protected:
    void SetUp() override {
        tcsInitCircBuffer(sizeof olderArea, 1, 1, olderArea, &older, kCircBufferReversed);
        tcsInitCircBuffer(sizeof newerArea, 1, 1, newerArea, &newer, kCircBufferReversed);
        // Flag bit 0: the first ring given is the newer one.
        ASSERT_EQ(tcsInitCompoundCircBuffer(&newer, &older, &compound, 1), TCS_RESULT_OK);
    }
    void add(uint8_t v) { ASSERT_NE(tcsAddToCompoundCircBuffer(&v, &compound), nullptr); }
    std::vector<int> contents() {
        std::vector<int> out;
        for (uint32_t i = 0; i < compound.count; ++i) out.push_back(valueAt(tcsGetEntryFromCompoundCircBuffer(i, &compound)));
        return out;
    }
    uint8_t olderArea[2] = {};
    uint8_t newerArea[3] = {};
    CircBuffer older{}, newer{};
    CompoundCircBuffer compound{};
};

TEST_F(CompoundRing, HoldsTheNewestLinesAcrossBothRings) {
    EXPECT_EQ(compound.capacity, 5u);
    EXPECT_EQ(compound.older, &older);
    for (uint8_t v = 1; v <= 3; ++v) add(v);
    EXPECT_EQ(older.count, 2u);  // the older ring fills first
    EXPECT_EQ(contents(), (std::vector<int>{3, 2, 1}));
    for (uint8_t v = 4; v <= 7; ++v) add(v);
    EXPECT_EQ(contents(), (std::vector<int>{7, 6, 5, 4, 3}));
    EXPECT_EQ(tcsGetEntryFromCompoundCircBuffer(5, &compound), nullptr);

    tcsRemoveLastFromCompoundCircBuffer(&compound);
    EXPECT_EQ(contents(), (std::vector<int>{6, 5, 4, 3}));
    tcsRemoveFirstNFromCompoundCircBuffer(&compound, 1);
    EXPECT_EQ(contents(), (std::vector<int>{6, 5, 4}));
    tcsRemoveFirstNFromCompoundCircBuffer(&compound, 9);
    EXPECT_EQ(compound.count, 0u);
    EXPECT_EQ(older.count + newer.count, 0u);
}

TEST_F(CompoundRing, RemovingMoreThanTheOlderRingTakesTheRestFromTheNewer) {
    for (uint8_t v = 1; v <= 6; ++v) add(v);
    EXPECT_EQ(contents(), (std::vector<int>{6, 5, 4, 3, 2}));
    tcsRemoveFirstNFromCompoundCircBuffer(&compound, 3);
    EXPECT_EQ(contents(), (std::vector<int>{6, 5}));
    EXPECT_EQ(older.count, 0u);
}

TEST_F(CompoundRing, PrependModePlacesLinesBehindTheFirstOnes) {
    add(10);
    newer.flags |= kCircBufferPrepend;
    add(11);  // prepended: older than line 10
    add(12);
    EXPECT_EQ(compound.prependStart, 2u);
    EXPECT_EQ(newer.prepended, 2u);
    EXPECT_EQ(contents(), (std::vector<int>{10, 11, 12}));
}

}  // namespace
