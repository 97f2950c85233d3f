// The virtual sensor's command modules, driven through its firmware directly (and, for the reset,
// over the bus): answers written from the protocol, so the host is checked against them.
#include "sim/usb/firmware.h"
#include "sim/usb/sha256.h"
#include "sim/usb/sim_crypto.h"
#include "sim/usb/sim_usb.h"
#include "tests/sim/usb/request_bytes.h"

#include <gtest/gtest.h>
#include <usb.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

using simtest::put16;
using simtest::put32;

Bytes patchBody(uint32_t patchId, uint8_t revision) {
    Bytes body = {'T', 'P', 'A', 'T'};
    put32(body, patchId);
    body.push_back(revision);
    body.insert(body.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    return body;
}

Bytes signedBlock(const Bytes& signature, const Bytes& rest) {
    Bytes b;
    put16(b, 2);
    put16(b, uint16_t(signature.size()));
    b.insert(b.end(), signature.begin(), signature.end());
    b.insert(b.end(), rest.begin(), rest.end());
    return b;
}

Bytes vendorSigned(const Bytes& body) {
    const simusb::Digest d = simusb::sha256(body);
    Bytes signature(256, 0x5A);
    std::copy(d.begin(), d.end(), signature.begin());
    return signedBlock(signature, body);
}

Bytes command(uint8_t code, const Bytes& fields = {}) {
    Bytes b;
    b.reserve(1 + fields.size());
    b.push_back(code);
    b.insert(b.end(), fields.begin(), fields.end());
    return b;
}

Bytes spi(simusb::Firmware& fw, const Bytes& mosi) {
    Bytes request(35, 0);
    request[0] = 0x0B;
    for (int i = 0; i < 4; ++i) request[21 + size_t(i)] = uint8_t(mosi.size() >> (8 * i));
    request.insert(request.end(), mosi.begin(), mosi.end());
    simusb::Reply reply = fw.handle(request);
    EXPECT_EQ(reply.status, 0);
    return reply.payload;
}

TEST(SimDigest, KnownAnswers) {
    const Bytes abc = {'a', 'b', 'c'};
    const simusb::Digest d = simusb::sha256(abc);
    EXPECT_EQ(d[0], 0xBA);
    EXPECT_EQ(d[31], 0xAD);
    // RFC 4231 test case 2.
    const std::string key = "Jefe", data = "what do ya want for nothing?";
    const simusb::Digest mac = simusb::hmacSha256({reinterpret_cast<const uint8_t*>(key.data()), key.size()},
                                                  {reinterpret_cast<const uint8_t*>(data.data()), data.size()});
    EXPECT_EQ(mac[0], 0x5B);
    EXPECT_EQ(mac[1], 0xDC);
    EXPECT_EQ(mac[31], 0x43);
}

TEST(SimFirmware, VersionFollowsTheFamilyAndTheLoadedPatch) {
    simusb::Firmware fw("SIM00001", 0x0001, 0);
    simusb::Reply v = fw.handle(command(0x01));
    ASSERT_EQ(v.payload.size(), 36u);
    EXPECT_EQ(v.payload[8], 4);
    EXPECT_EQ(v.payload[9], 40);
    EXPECT_EQ(v.payload[4], 17);
    EXPECT_EQ(v.payload[15], 0) << "no patch";
    ASSERT_EQ(fw.handle(command(0x06, vendorSigned(patchBody(1, 3)))).status, 0);
    EXPECT_EQ(fw.handle(command(0x01)).payload[15], 3);
    EXPECT_EQ(simusb::Firmware("S2", 0x0010, 0).handle(command(0x01)).payload[9], 60);
}

TEST(SimFirmware, PatchSignaturesAndTheCachedDigest) {
    simusb::Firmware fw("SIM00001", 0x0001, 0);
    const Bytes body = patchBody(0x80, 2);
    EXPECT_EQ(fw.handle(command(0x1A)).status, 0x0491) << "nothing loaded";

    Bytes forged = vendorSigned(body);
    forged[4] ^= 1;
    EXPECT_EQ(fw.handle(command(0x06, forged)).status, 0x044F);

    simusb::Reply first = fw.handle(command(0x06, vendorSigned(body)));
    ASSERT_EQ(first.status, 0);
    ASSERT_EQ(first.payload.size(), 32u);
    EXPECT_EQ(fw.handle(command(0x06, vendorSigned(body))).status, 0x0402) << "unload first";
    EXPECT_EQ(fw.handle(command(0x1A)).status, 0);

    // The digest it answered stands in for the vendor signature of the same body, and only that.
    EXPECT_EQ(fw.handle(command(0x06, signedBlock(first.payload, body))).status, 0);
    EXPECT_EQ(fw.handle(command(0x1A)).status, 0);
    EXPECT_EQ(fw.handle(command(0x06, signedBlock(first.payload, patchBody(0x80, 3)))).status, 0x044F);

    // Self-unloading patches leave nothing loaded.
    ASSERT_EQ(fw.handle(command(0x06, vendorSigned(patchBody(0x1000, 1)))).status, 0);
    EXPECT_EQ(fw.handle(command(0x1A)).status, 0x0491);
}

TEST(SimFirmware, Variant3WantsTheSharedKeyWrapper) {
    simusb::Firmware fw("SIM00003", 0x0001, 3);
    const Bytes image = vendorSigned(patchBody(1, 1));
    EXPECT_EQ(fw.handle(command(0x06, image)).status, 0x044F) << "unwrapped";
    EXPECT_EQ(fw.handle(command(0x06, signedBlock(Bytes(32, 0), image))).status, 0) << "no key: zero MAC";
    ASSERT_EQ(fw.handle(command(0x1A)).status, 0);
    const Bytes key(32, 0x11);
    fw.stored("sharedSecret1") = key;
    EXPECT_EQ(fw.handle(command(0x06, signedBlock(Bytes(32, 0), image))).status, 0x044F);
    const simusb::Digest mac = simusb::hmacSha256(key, image);
    EXPECT_EQ(fw.handle(command(0x06, signedBlock(Bytes(mac.begin(), mac.end()), image))).status, 0);
    ASSERT_EQ(fw.handle(command(0x1A)).status, 0);

    // Firmware 4.40 reporting variant 2 (or 5) in its version block is not variant 3 any more: the
    // host sends its patches unwrapped, and they are taken.
    for (uint8_t reported : {2, 5, 1}) {
        SCOPED_TRACE(int(reported));
        Bytes version = fw.handle(command(0x01)).payload;
        version[22] = reported;
        fw.stored("version") = version;
        const uint16_t expected = reported == 1 ? 0x044F : 0;
        EXPECT_EQ(fw.handle(command(0x06, image)).status, expected);
        fw.handle(command(0x1A));
    }
}

TEST(SimFirmware, NorFlashOverSpi) {
    simusb::Firmware fw("SIM00001", 0x0001, 0);
    EXPECT_EQ(spi(fw, {0x9F, 0, 0, 0}), (Bytes{0xFF, 0xEF, 0x40, 0x14}));
    // Program without write enable does nothing.
    spi(fw, {0x02, 0x00, 0x10, 0x00, 0x0F});
    EXPECT_EQ(spi(fw, {0x03, 0x00, 0x10, 0x00, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    spi(fw, {0x06});
    EXPECT_EQ(spi(fw, {0x05, 0})[1], 0x02);
    spi(fw, {0x02, 0x00, 0x10, 0x00, 0x3C, 0xF0});
    EXPECT_EQ(spi(fw, {0x05, 0})[1], 0x00) << "program clears the write enable";
    spi(fw, {0x06});
    spi(fw, {0x02, 0x00, 0x10, 0x00, 0x0F, 0xFF});  // AND: 0x3C & 0x0F
    EXPECT_EQ(spi(fw, {0x0B, 0x00, 0x10, 0x00, 0, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0C, 0xF0}));
    // A program past the page end wraps to the page start.
    spi(fw, {0x06});
    spi(fw, {0x02, 0x00, 0x20, 0xFF, 0x11, 0x22});
    EXPECT_EQ(spi(fw, {0x03, 0x00, 0x20, 0x00, 0})[4], 0x22);
    spi(fw, {0x06});
    spi(fw, {0x20, 0x00, 0x10, 0x80});
    EXPECT_EQ(spi(fw, {0x03, 0x00, 0x10, 0x00, 0})[4], 0xFF) << "sector erased";
    EXPECT_EQ(spi(fw, {0x03, 0x00, 0x20, 0x00, 0})[4], 0x22) << "other sector kept";

    Bytes fast(115, 0);
    fast[0] = 0x1F;
    fast[1] = 5;
    fast[5] = 64;
    fast.insert(fast.end(), {0x0B, 0x00, 0x20, 0x00, 0});
    ASSERT_EQ(fw.handle(fast).status, 0);
    ASSERT_EQ(fw.fingerprintTransfers().size(), 1u);
    EXPECT_EQ(fw.fingerprintTransfers().front().size(), 64u);
    EXPECT_EQ(fw.fingerprintTransfers().front()[0], 0x22);
}

// The protected-memory sector goes back into the first 4 KiB under the security-management patch
// only; like a page program it only clears bits, so the host must erase the block first.
TEST(SimFirmware, RewritePmSectorUnderTheSecurityManagementPatch) {
    simusb::Firmware fw("SIMPM1", 0x0001, 5);
    EXPECT_EQ(fw.handle(command(0x2D)).status, 0x0401) << "no patch loaded";
    ASSERT_EQ(fw.handle(command(0x06, vendorSigned(patchBody(4, 1)))).status, 0);
    ASSERT_EQ(fw.handle(command(0x2D)).status, 0);
    const Bytes head = spi(fw, {0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(Bytes(head.begin() + 4, head.end()), (Bytes{'T', 'O', 'V', 'P', 'M', 0, 'S', 'I', 'M'}));
    EXPECT_EQ(spi(fw, {0x03, 0x00, 0x0F, 0xFF, 0})[4], 0xFF) << "the rest of the sector is erased";
    EXPECT_EQ(spi(fw, {0x03, 0x00, 0x10, 0x00, 0})[4], 0xFF) << "nothing beyond 4 KiB";

    Bytes own(4096, 0x0F);
    fw.stored("pmSector") = own;
    ASSERT_EQ(fw.handle(command(0x2D)).status, 0);
    EXPECT_EQ(spi(fw, {0x03, 0, 0, 0, 0, 0})[4], 'T' & 0x0F) << "not erased first: mixed with the old bytes";
    EXPECT_EQ(spi(fw, {0x03, 0x00, 0x0F, 0xFF, 0})[4], 0x0F);
}

// The LED requests are answered and kept, the last block of each form, for a test to read.
TEST(SimFirmware, LedRequestsAreKept) {
    simusb::Firmware fw("SIM00001", 0x0001, 0);
    EXPECT_EQ(fw.handle(command(0x24, Bytes(117, 1))).status, 0x0405) << "a block short";
    EXPECT_EQ(fw.handle(command(0x24, Bytes(118, 2))).status, 0);
    EXPECT_EQ(fw.handle(command(0x2A, Bytes(116, 3))).status, 0);
    EXPECT_EQ(fw.handle(command(0x24, Bytes(118, 4))).status, 0);
    EXPECT_EQ(fw.transient("led"), Bytes(118, 4));
    EXPECT_EQ(fw.transient("ledEx"), Bytes(116, 3));
    EXPECT_EQ(fw.transient("ledCount"), (Bytes{3, 0, 0, 0}));
    fw.powerCycle();
    EXPECT_TRUE(fw.transient("led").empty());
}

TEST(SimFirmware, GetPrintSendsCountedLinesAndTheConfigurationOnRequest) {
    simusb::Firmware fw("SIM00001", 0x0001, 0);
    Bytes plain;
    put16(plain, 288);
    put16(plain, 3);
    put16(plain, 21);
    put16(plain, 8);
    put32(plain, 0);
    put32(plain, 10272);
    simusb::Reply r = fw.handle(command(0x02, plain));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.payload.empty());
    ASSERT_EQ(fw.fingerprintTransfers().size(), 1u);
    EXPECT_EQ(fw.fingerprintTransfers().front().size(), 3u * 288u);

    Bytes withConfig = plain;
    put16(withConfig, 23);
    put16(withConfig, 0);
    r = fw.handle(command(0x02, withConfig));
    EXPECT_EQ(r.payload.size(), 2402u);

    Bytes broken = plain;
    put16(broken, 7);
    put16(broken, 60);  // runs past the request
    EXPECT_EQ(fw.handle(command(0x02, broken)).status, 0x0405);

    Bytes forever;
    put16(forever, 288);
    put16(forever, 0);
    EXPECT_EQ(fw.handle(command(0x02, forever)).status, 0);
    EXPECT_EQ(fw.handle(command(0x02, forever)).status, 0x0402) << "already capturing";
    EXPECT_EQ(fw.handle(command(0x04)).status, 0);
    EXPECT_EQ(fw.handle(command(0x02, forever)).status, 0);
}

// A capture that hands over a key comes back AES-CBC encrypted under it; a resting line's darkest
// pixel (the flex marker) sits 10 pixels past the line header.
TEST(SimFirmware, GetPrintWithASecurityRecordEncryptsTheLines) {
    simusb::Firmware fw("SIM00001", 0x0001, 0);
    Bytes request;
    put16(request, 288);
    put16(request, 1);
    Bytes record(110, 0);
    record[0] = 6;
    record[2] = 106;
    for (size_t i = 0; i < 64; ++i) record[4 + i] = uint8_t(i * 7 + 1);  // key, then IV
    record[105] = 0x03;
    record[108] = 1;  // 16-byte key
    record[109] = 1;
    Bytes secured = request;
    secured.insert(secured.end(), record.begin(), record.end());
    ASSERT_EQ(fw.handle(command(0x02, request)).status, 0);
    ASSERT_EQ(fw.handle(command(0x02, secured)).status, 0);
    ASSERT_EQ(fw.fingerprintTransfers().size(), 2u);
    const Bytes plain = fw.fingerprintTransfers()[0];
    Bytes line = fw.fingerprintTransfers()[1];
    ASSERT_EQ(line.size(), plain.size());
    EXPECT_NE(line, plain);
    uint8_t iv[16];
    std::copy(record.begin() + 36, record.begin() + 52, iv);
    ASSERT_TRUE(simusb::crypto::aesCbc(std::span<const uint8_t>(record.data() + 4, 16), iv, line, false));
    EXPECT_EQ(line, plain);
    EXPECT_EQ(std::min_element(plain.begin() + 8, plain.end()) - plain.begin(), 18);

    record[108] = 3;  // no such key size
    Bytes badSize = request;
    badSize.insert(badSize.end(), record.begin(), record.end());
    EXPECT_EQ(fw.handle(command(0x02, badSize)).status, 0x0406);
}

// Sign and encrypt (0x1D): the wrapped form is the padded data plus 32 bytes, fresh every time.
TEST(SimFirmware, SignEncTemplateDataWrapsWhatItIsGiven) {
    simusb::Firmware fw("SIM00001", 0x0001, 5);
    const Bytes key(32, 0x42);
    Bytes fields;
    put16(fields, 32);
    put16(fields, 0);
    fields.insert(fields.end(), key.begin(), key.end());
    const simusb::Reply first = fw.handle(command(0x1D, fields));
    ASSERT_EQ(first.status, 0);
    ASSERT_EQ(first.payload.size(), 2u + 64u);
    EXPECT_EQ(first.payload[0] | first.payload[1] << 8, 64);
    EXPECT_EQ(std::search(first.payload.begin(), first.payload.end(), key.begin(), key.end()), first.payload.end())
        << "the key must not travel back in plain";
    EXPECT_NE(fw.handle(command(0x1D, fields)).payload, first.payload);

    struct Case {
        uint16_t a, b;
        size_t given;
        uint16_t status;
        size_t wrapped;
    };
    const Case cases[] = {
        {20, 5, 25, 0, 32 + 32},  // two fields, padded together
        {16, 0, 10, 0x0405, 0},   // shorter than its lengths say
        {0, 0, 0, 0x0406, 0},     // nothing to wrap
        {4064, 0, 4064, 0, 4096},    // just fits the reply
        {4065, 0, 4065, 0x0406, 0},  // would not fit the reply
    };
    for (const Case& c : cases) {
        Bytes r;
        put16(r, c.a);
        put16(r, c.b);
        r.resize(4 + c.given, 0x11);
        const simusb::Reply reply = fw.handle(command(0x1D, r));
        EXPECT_EQ(reply.status, c.status) << c.a << "+" << c.b;
        if (c.status == 0) {
            EXPECT_EQ(reply.payload.size(), 2 + c.wrapped);
        }
    }
}

// What 0x1D wrapped comes back only through the sensor: decrypt-and-verify (0x1E) returns both
// fields, match verify (0x1C) the second one and the verification value, get authentication data
// (0x2B) the data an authentication block sealed under the key given, or with no key the wrapped
// bytes themselves. A changed byte is refused.
TEST(SimFirmware, WrappedDataComesBackThroughTheSensorOnly) {
    simusb::Firmware fw("SIM00001", 0x0001, 5);
    auto wrapped = [&](const Bytes& a, const Bytes& b) {
        Bytes fields;
        put16(fields, uint16_t(a.size()));
        put16(fields, uint16_t(b.size()));
        fields.insert(fields.end(), a.begin(), a.end());
        fields.insert(fields.end(), b.begin(), b.end());
        const simusb::Reply reply = fw.handle(command(0x1D, fields));
        return Bytes(reply.payload.begin() + 2, reply.payload.end());
    };
    const Bytes templ(300, 0x33), key(32, 0x44);
    const Bytes w = wrapped(templ, key);
    ASSERT_EQ(w.size(), 336u + 32u);

    auto decrypt = [&](const Bytes& data) {
        Bytes fields;
        put16(fields, uint16_t(data.size()));
        fields.resize(112, 0);
        fields.insert(fields.end(), data.begin(), data.end());
        return fw.handle(command(0x1E, fields));
    };
    simusb::Reply reply = decrypt(w);
    ASSERT_EQ(reply.status, 0);
    Bytes expected{44, 1, 32, 0};
    expected.insert(expected.end(), templ.begin(), templ.end());
    expected.insert(expected.end(), key.begin(), key.end());
    EXPECT_EQ(reply.payload, expected);
    for (size_t at : {size_t(0), size_t(20), w.size() - 1}) {
        Bytes changed = w;
        changed[at] ^= 1;
        EXPECT_EQ(decrypt(changed).status, 0x044F) << at;
    }

    Bytes match;
    put16(match, uint16_t(w.size()));
    put16(match, 0);
    const Bytes value(32, 0x55);
    match.insert(match.end(), value.begin(), value.end());
    match.insert(match.end(), w.begin(), w.end());
    reply = fw.handle(command(0x1C, match));
    ASSERT_EQ(reply.status, 0);
    ASSERT_EQ(reply.payload.size(), 18u + 64);
    EXPECT_EQ(reply.payload[0], 64);
    EXPECT_EQ(reply.payload[2], 1) << "matched";
    EXPECT_EQ(Bytes(reply.payload.begin() + 18, reply.payload.begin() + 50), key);
    EXPECT_EQ(Bytes(reply.payload.begin() + 50, reply.payload.end()), value);

    // {u32 kind, u32 pad, data, pad zeros} under AES-CBC, then its IV.
    const Bytes secret = {'s', 'e', 'c', 'r', 'e', 't'};
    Bytes block;
    put32(block, 4);
    put32(block, 2);
    block.insert(block.end(), secret.begin(), secret.end());
    block.resize(16, 0);
    uint8_t iv[16] = {9, 8, 7};
    const Bytes ivBytes(iv, iv + 16);
    ASSERT_TRUE(simusb::crypto::aesCbc(key, iv, block, true));
    block.insert(block.end(), ivBytes.begin(), ivBytes.end());
    const Bytes sealed = wrapped({}, block);
    auto authData = [&](const Bytes& with) {
        Bytes fields;
        put16(fields, uint16_t(sealed.size()));
        put16(fields, uint16_t(with.size()));
        fields.insert(fields.end(), sealed.begin(), sealed.end());
        fields.insert(fields.end(), with.begin(), with.end());
        return fw.handle(command(0x2B, fields));
    };
    reply = authData(key);
    ASSERT_EQ(reply.status, 0);
    Bytes opened{6, 0};
    opened.insert(opened.end(), secret.begin(), secret.end());
    EXPECT_EQ(reply.payload, opened);
    EXPECT_EQ(authData(Bytes(32, 0x45)).status, 0x0406) << "another key";
    // Without a key there is no inner layer: the wrapped bytes come back as they are.
    reply = authData({});
    ASSERT_EQ(reply.status, 0);
    Bytes plain{32, 0};
    plain.insert(plain.end(), block.begin(), block.end());
    EXPECT_EQ(reply.payload, plain);
}

// A capture whose records carry a calibration sweep is answered by the analog model: numbered line
// headers and the frame's end marker, not a resting sensor's lines.
TEST(SimFirmware, GetPrintWithASweepAnswersFromTheAnalogModel) {
    simusb::Firmware fw("SIM00001", 0x0001, 0);
    Bytes sweep;
    put16(sweep, 64);
    put16(sweep, 3);
    put16(sweep, 13);
    put16(sweep, 40);
    for (uint32_t word : {0x300420C8u, 0x40u, 1u, 0x41u, 0u, 1u, 0u, 0u, 0u, 0u}) put32(sweep, word);
    ASSERT_EQ(fw.handle(command(0x02, sweep)).status, 0);
    ASSERT_EQ(fw.fingerprintTransfers().size(), 1u);
    const Bytes lines = fw.fingerprintTransfers().front();
    ASSERT_EQ(lines.size(), 3u * 64u);
    EXPECT_EQ(lines[2], 1);
    EXPECT_EQ(lines[64 + 2], 2);
    EXPECT_EQ(Bytes(lines.begin() + 128, lines.begin() + 130), (Bytes{1, 1})) << "end marker";
}

TEST(SimFirmware, PeekPokeAndFingerStatus) {
    simusb::Firmware fw("SIM00001", 0x0001, 0);
    Bytes poke;
    put32(poke, 0x4000);
    put32(poke, 0xA1B2C3D4);
    poke.push_back(2);
    ASSERT_EQ(fw.handle(command(0x08, poke)).status, 0);
    Bytes peek;
    put32(peek, 0x4000);
    peek.push_back(4);
    EXPECT_EQ(fw.handle(command(0x07, peek)).payload, (Bytes{0xD4, 0xC3, 0, 0}));
    peek.back() = 3;
    EXPECT_EQ(fw.handle(command(0x07, peek)).status, 0x0406);
    fw.stored("fingerState") = {2, 0x10};
    EXPECT_EQ(fw.handle(command(0x17)).payload, (Bytes{2, 0x10, 0, 0, 0}));
}

TEST(SimFirmware, ResetReenumeratesOnceItsReplyIsRead) {
    simusb::resetAll();
    usb_init();
    const simusb::SensorId id = simusb::plug();
    usb_find_busses();
    usb_find_devices();
    const std::string before = simusb::deviceFileName(id);
    usb_dev_handle* h = nullptr;
    for (struct usb_bus* b = usb_get_busses(); b != nullptr; b = b->next) {
        for (struct usb_device* d = b->devices; d != nullptr; d = d->next) {
            if (h == nullptr && before == d->filename) h = usb_open(d);
        }
    }
    ASSERT_NE(h, nullptr);
    const char reset[] = {0x05, 0x0A, 0x00};
    ASSERT_EQ(usb_bulk_write(h, 1, reset, 3, 500), 3);
    char reply[8] = {};
    EXPECT_EQ(usb_bulk_read(h, 0x81, reply, sizeof reply, 500), 2);
    EXPECT_NE(simusb::deviceFileName(id), before);
    EXPECT_LT(usb_bulk_write(h, 1, reset, 3, 500), 0) << "the old handle is stale";
    usb_close(h);
    simusb::resetAll();
}

TEST(SimFirmware, StartInfoTellsAResetCommandFromPowerOn) {
    simusb::Firmware fw("SIM00001", 0x0001, 0);
    EXPECT_EQ(fw.handle(command(0x19)).payload.size(), 66u);
    EXPECT_EQ(fw.handle(command(0x19)).payload[1], 0);
    fw.handle(command(0x05, {3, 0}));
    fw.markCommandedReset();
    fw.powerCycle();
    EXPECT_EQ(fw.handle(command(0x19)).payload[1], 1);
}

}  // namespace
