// The virtual sensor's clock, GPIO, unique-id, print-signature and decommission commands, driven
// through its firmware directly.
#include "sim/usb/firmware.h"
#include "sim/usb/sensor_keys.h"
#include "sim/usb/sha256.h"
#include "sim/usb/sim_crypto.h"
#include "tests/sim/usb/request_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

using simtest::put16;
using simtest::put32;
uint32_t get32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

Bytes words(uint8_t code, std::initializer_list<uint32_t> values) {
    Bytes b = {code};
    for (uint32_t v : values) put32(b, v);
    return b;
}

// A GPIO request: {value, mask} per register, {0, ~0} (unchanged) where none is given.
Bytes gpioRequest(std::initializer_list<std::pair<int, std::pair<uint32_t, uint32_t>>> set) {
    uint32_t pairs[18];
    for (int r = 0; r < 9; ++r) {
        pairs[2 * r] = 0;
        pairs[2 * r + 1] = 0xFFFFFFFFu;
    }
    for (const auto& [reg, vm] : set) {
        pairs[2 * reg] = vm.first;
        pairs[2 * reg + 1] = vm.second;
    }
    Bytes b = {0x0D};
    for (uint32_t w : pairs) put32(b, w);
    return b;
}

TEST(SimSettings, ClockAndSpiWordsAreKeptUntilPowerIsLost) {
    simusb::Firmware fw("SIM00001", 0x0001, 0);
    struct Case { Bytes request; const char* name; size_t length; };
    for (const auto& [request, name, length] : std::initializer_list<Case>{
             {words(0x09, {1, 2, 3, 4, 5}), "refClock", 20}, {words(0x13, {0x60, 0x70}), "cpuClock", 8},
             {words(0x0A, {3}), "spiMode", 4}}) {
        const simusb::Reply r = fw.handle(request);
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_TRUE(r.payload.empty()) << name;
        EXPECT_EQ(fw.transient(name), Bytes(request.begin() + 1, request.end())) << name;
        EXPECT_EQ(fw.handle(Bytes(request.begin(), request.begin() + long(length))).status, 0x0405) << "short " << name;
    }
    fw.powerCycle();
    EXPECT_TRUE(fw.transient("refClock").empty());
}

TEST(SimGpio, RegistersAreRewrittenUnderTheirMasksAndDinReadsThePins) {
    simusb::Firmware fw("SIM00001", 0x0001, 0);
    enum { kAlt, kDir, kDin, kDout, kWpu };
    simusb::Reply r = fw.handle(gpioRequest({}));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.payload, Bytes(36, 0)) << "all zero at power-on";

    // Pins 4-7 drive DOUT; pins 0-3 are inputs, the lower two pulled up.
    r = fw.handle(gpioRequest({{kDir, {0xF0, 0}}, {kDout, {0x3C, 0}}, {kWpu, {0x03, 0}}, {kDin, {0xFF, 0}}}));
    ASSERT_EQ(r.payload.size(), 36u);
    EXPECT_EQ(get32(r.payload, 4 * kDir), 0xF0u);
    EXPECT_EQ(get32(r.payload, 4 * kDout), 0x3Cu);
    EXPECT_EQ(get32(r.payload, 4 * kDin), 0x33u) << "outputs 4-5 high, pulled-up inputs 0-1; DIN not written";

    // (old & mask) | value; the board's wiring replaces the pull-ups.
    fw.stored("gpioPins") = {0x0C, 0, 0, 0};
    r = fw.handle(gpioRequest({{kAlt, {0x100, 0}}, {kDout, {0x40, 0x0F}}}));
    EXPECT_EQ(get32(r.payload, 4 * kAlt), 0x100u);
    EXPECT_EQ(get32(r.payload, 4 * kDout), 0x4Cu);
    EXPECT_EQ(get32(r.payload, 4 * kDin), 0x4Cu);
    fw.powerCycle();
    EXPECT_EQ(get32(fw.handle(gpioRequest({})).payload, 4 * kDir), 0u);
}

TEST(SimUid, VendorProductAndAStableChipId) {
    simusb::Firmware fw("SIM00001", 0x0C3A, 0);
    simusb::Reply r = fw.handle(Bytes{0x27});
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.payload.size(), 20u);
    EXPECT_EQ(r.payload[0] | r.payload[1] << 8, TOV_USB_VENDOR_ID);
    EXPECT_EQ(r.payload[2] | r.payload[3] << 8, 0x0C3A);
    simusb::Firmware same("SIM00001", 0x0C3A, 0), other("SIM00002", 0x0C3A, 0);
    EXPECT_EQ(same.handle(Bytes{0x27}).payload, r.payload);
    EXPECT_NE(other.handle(Bytes{0x27}).payload, r.payload);
    const Bytes given(16, 0xA5);
    fw.stored("uid") = given;
    r = fw.handle(Bytes{0x27});
    EXPECT_EQ(Bytes(r.payload.begin() + 4, r.payload.end()), given);
}

// A capture of n 288-byte lines with a security record carrying a signing key (zero: none).
Bytes signedCapture(uint16_t lines, uint8_t signingKeyByte) {
    Bytes request = {0x02};
    put16(request, 288);
    put16(request, lines);
    Bytes record(110, 0);
    record[0] = 6;
    record[2] = 106;
    for (size_t i = 0; i < 64; ++i) record[4 + i] = uint8_t(i * 5 + 3);
    std::fill(record.begin() + 68, record.begin() + 100, signingKeyByte);
    record[105] = 0x03;
    record[108] = 4;
    record[109] = 1;
    request.insert(request.end(), record.begin(), record.end());
    return request;
}

// The lines a plain capture of the same size sends.
Bytes plainLines(simusb::Firmware& fw, uint16_t lines) {
    Bytes request = {0x02};
    put16(request, 288);
    put16(request, lines);
    EXPECT_EQ(fw.handle(request).status, 0);
    Bytes data = fw.fingerprintTransfers().back();
    fw.fingerprintTransfers().clear();
    return data;
}

TEST(SimPrintSignature, HmacOfTheLinesUnderTheSigningKey) {
    for (uint8_t variant : {0, 3}) {
        simusb::Firmware fw("SIM00001", 0x0001, variant);
        EXPECT_EQ(fw.handle(Bytes{0x03}).status, 0x0430) << "nothing signed yet";
        const Bytes plain = plainLines(fw, 4);
        ASSERT_EQ(fw.handle(signedCapture(4, 0x5A)).status, 0);
        const simusb::Reply r = fw.handle(Bytes{0x03});
        ASSERT_EQ(r.status, 0);
        ASSERT_EQ(r.payload.size(), 258u);
        EXPECT_EQ(r.payload[0], 2);
        const Bytes key(32, 0x5A);
        const simusb::Digest mac = simusb::hmacSha256(key, plain);
        const size_t at = variant == 3 ? 1 : 2;
        EXPECT_EQ(Bytes(r.payload.begin() + long(at), r.payload.begin() + long(at) + 32), Bytes(mac.begin(), mac.end()))
            << "variant " << int(variant);

        ASSERT_EQ(fw.handle(signedCapture(4, 0)).status, 0);
        EXPECT_EQ(fw.handle(Bytes{0x03}).status, 0x0430) << "a capture that was not signed";
    }
}

// Paired by keys: the digest of the lines (MD5 over one line in sixteen on 4.40, SHA-256 on others)
// signed with the sensor's RSA key, most significant byte first.
TEST(SimPrintSignature, KeyPairedSensorsSignTheDigestWithTheirKey) {
    for (bool fw440 : {true, false}) {
        simusb::Firmware fw("SIM00001", 0x0001, 5);
        fw.stored("ssl.rsa") = {1};
        if (!fw440) {
            Bytes version = fw.handle(Bytes{0x01}).payload;
            version[9] = 60;
            fw.stored("version") = version;
        }
        const Bytes plain = plainLines(fw, 20);
        ASSERT_EQ(fw.handle(signedCapture(20, 0x11)).status, 0);
        const simusb::Reply r = fw.handle(Bytes{0x03});
        ASSERT_EQ(r.status, 0);
        ASSERT_EQ(r.payload.size(), 258u);
        EXPECT_EQ(r.payload[0], 1);
        const Bytes signature(r.payload.begin() + 2, r.payload.end());
        const Bytes e = {1, 0, 1};
        const Bytes block = simusb::crypto::modExp(signature, e, simusb::keys::kSensorModulus);
        Bytes value(32, 0);
        if (fw440) {
            Bytes hashed(plain.begin(), plain.begin() + 288);
            hashed.insert(hashed.end(), plain.begin() + 16 * 288, plain.begin() + 17 * 288);
            const auto md5 = simusb::crypto::md5(hashed);
            std::copy(md5.begin(), md5.end(), value.begin());
        } else {
            const auto sha = simusb::crypto::sha256(plain);
            std::copy(sha.begin(), sha.end(), value.begin());
        }
        EXPECT_EQ(block[0], 0);
        EXPECT_EQ(block[1], 1);
        EXPECT_EQ(Bytes(block.end() - 32, block.end()), value) << (fw440 ? "4.40" : "4.60");
    }
}

TEST(SimOwnership, DecommissionForgetsThePairingWithoutSpendingACycle) {
    simusb::Firmware fw("SIM00001", 0x0001, 3);
    EXPECT_EQ(fw.handle(Bytes{0x16}).status, 0x0404) << "no owner";
    Bytes take(66, 0);
    take[0] = 0x0F;
    take[1] = 3;
    take[2] = 'p';
    ASSERT_EQ(fw.handle(take).status, 0);
    EXPECT_FALSE(fw.stored("sharedSecret1").empty());
    const Bytes counters = fw.handle(Bytes{0x26}).payload;
    ASSERT_EQ(fw.handle(Bytes{0x1B}).status, 0);
    EXPECT_EQ(fw.handle(Bytes{0x16}).status, 0x0404) << "locked";
    fw.powerCycle();
    ASSERT_EQ(fw.handle(Bytes{0x16}).status, 0);
    EXPECT_TRUE(fw.stored("sharedSecret1").empty());
    EXPECT_EQ(fw.stored("ownership"), Bytes{0});
    EXPECT_EQ(fw.handle(Bytes{0x01}).payload[14] & 0x80, 0x80) << "open for pairing again";
    EXPECT_EQ(fw.handle(Bytes{0x26}).payload, counters);
    EXPECT_EQ(fw.handle(take).status, 0) << "and pairs again";
}

// A capture read until stopped whose get-print names the buffering ring: the sensor's resting
// records go into the ring from the read position (as far as the window and the block's consumed
// mark allow), the swipe goes out behind a header line and the two records kept for the host and
// ends with the closing line naming the ring's part. Without the record nothing is framed.
TEST(SimFpBuffering, RingTakesTheRestingRecordsAndTheClosingLineNamesThem) {
    constexpr uint16_t kLine = 288;
    Bytes swipe(3 * kLine, 0x80);
    for (size_t line = 0; line < 3; ++line) swipe[line * kLine] = swipe[line * kLine + 1] = 1;
    struct Case { uint32_t readPosition, windowEnd, inRing; const char* name; };
    for (const Case& c : {Case{0x10000, 0x1FFFF, 16 * 144, "whole window"},
                          Case{0x1FE00, 0x1FFFF, 144, "short of the block's mark"},
                          Case{0x10000, 0x1007F, 0, "window smaller than a record"},
                          Case{0x20000, 0x1FFFF, 0, "window behind the read position"}}) {
        simusb::Firmware fw("SIM00001", 0x0001, 0);
        Bytes request = {0x02};
        put16(request, kLine);
        put16(request, 0);
        put16(request, 34);
        put16(request, 16);
        for (uint32_t w : {c.readPosition, c.windowEnd, c.readPosition >> 16, c.windowEnd >> 16}) put32(request, w);
        ASSERT_EQ(fw.handle(request).status, 0) << c.name;
        const Bytes& flash = fw.stored("flash");
        ASSERT_EQ(flash.size(), 1u << 20) << c.name;
        for (uint32_t r = 0; r < c.inRing / 144; ++r) {
            EXPECT_EQ(flash[c.readPosition + 144 * r], 1) << c.name << " record " << r;
            EXPECT_EQ(flash[c.readPosition + 144 * r + 1], 254) << c.name << " record " << r;
        }
        if (c.readPosition + c.inRing < flash.size()) {
            EXPECT_EQ(flash[c.readPosition + c.inRing], 0xFF) << c.name << ": nothing past the part";
        }
        EXPECT_EQ(flash[0x1FF00], 0xFF) << c.name << ": the consumed mark is left alone";

        fw.sendFingerprintData(swipe);
        fw.sendFingerprintData(swipe);
        ASSERT_EQ(fw.handle(Bytes{0x04}).status, 0) << c.name;
        auto& sent = fw.fingerprintTransfers();
        ASSERT_EQ(sent.size(), 2u) << c.name << ": stop-print adds nothing once the swipe is framed";
        const Bytes first = sent[0];
        ASSERT_EQ(first.size(), kLine + 288 + swipe.size() + 2 * kLine) << c.name;
        EXPECT_EQ(Bytes(first.begin(), first.begin() + kLine), Bytes(kLine, 0)) << c.name << ": header line";
        for (size_t r = 0; r < 2; ++r) {
            EXPECT_EQ(first[kLine + 144 * r], 1) << c.name;
            EXPECT_EQ(first[kLine + 144 * r + 1], 254) << c.name;
        }
        Bytes marked = swipe;
        marked[1] = 254;
        const auto swipeAt = first.begin() + kLine + 288;
        EXPECT_EQ(Bytes(swipeAt, swipeAt + std::ptrdiff_t(swipe.size())), marked) << c.name << ": the swipe, its first line marked";
        EXPECT_EQ(sent[1], swipe) << c.name << ": later transfers as they are";
        const Bytes closing(swipeAt + std::ptrdiff_t(swipe.size()), first.end());
        EXPECT_EQ(get32(closing, kLine + 8), 0x45465042u) << c.name;
        EXPECT_EQ(get32(closing, kLine + 12), c.inRing) << c.name;
        EXPECT_EQ(std::count(closing.begin(), closing.end(), 1), 0) << c.name << ": no byte opens a record";

        // The next capture without the record is not buffered.
        sent.clear();
        Bytes plain = {0x02};
        put16(plain, kLine);
        put16(plain, 0);
        ASSERT_EQ(fw.handle(plain).status, 0) << c.name;
        fw.sendFingerprintData(swipe);
        ASSERT_EQ(fw.handle(Bytes{0x04}).status, 0) << c.name;
        ASSERT_EQ(sent.size(), 1u) << c.name;
        EXPECT_EQ(sent[0], swipe) << c.name;

        // A buffered capture no swipe came to: stop-print sends the frame alone, closing line and all.
        sent.clear();
        ASSERT_EQ(fw.handle(request).status, 0) << c.name;
        ASSERT_EQ(fw.handle(Bytes{0x04}).status, 0) << c.name;
        ASSERT_EQ(sent.size(), 1u) << c.name;
        ASSERT_EQ(sent[0].size(), kLine + 288 + 2 * kLine) << c.name;
        EXPECT_EQ(get32(sent[0], kLine + 288 + kLine + 8), 0x45465042u) << c.name;
        EXPECT_EQ(get32(sent[0], kLine + 288 + kLine + 12), c.inRing) << c.name;
    }
}

}  // namespace
