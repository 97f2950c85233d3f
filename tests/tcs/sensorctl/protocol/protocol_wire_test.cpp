// Sensor command wire format: every request layout byte for byte, reply sizes, the capture
// request's tag records and the firmware status map.
#include "tcs/sensorctl/protocol/wire_format.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using scswire::Bytes;

Bytes seq(size_t n, uint8_t start = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(start + i);
    return b;
}

TEST(WireStatus, MapTable) {
    struct Case {
        uint16_t status;
        TcsResult result;
    };
    for (auto [status, result] : std::initializer_list<Case>{
             {0x0000, 0},    {0x0412, 0},    {0x0401, 42},   {0x0402, 46},   {0x0403, 44},  {0x0404, 370},
             {0x0405, 43},   {0x0406, 49},   {0x0407, 47},   {0x0408, 52},   {0x0409, 44},  {0x040d, 44},
             {0x0411, 44},   {0x042b, 389},  {0x0430, 365},  {0x0431, 380},  {0x044f, 373}, {0x0450, 46},
             {0x0451, 366},  {0x0452, 367},  {0x0457, 368},  {0x0466, 381},  {0x0469, 512}, {0x0491, 42},
             {0x0300, 0},    {0x0413, 52},   {0xFFFF, 52},   {0x0001, 0}}) {
        EXPECT_EQ(scswire::mapFirmwareStatus(status), result) << std::hex << status;
    }
}

TEST(WireStatus, SplitReply) {
    const uint8_t two[] = {0x12, 0x04};
    auto s = scswire::splitReply(scswire::kCmdGetVersion, two, 2);
    EXPECT_EQ(s.status, 0x0412);
    EXPECT_EQ(s.length, 0u);
    EXPECT_EQ(s.payload, nullptr);
    const uint8_t three[] = {0x00, 0x00, 0x7A};
    s = scswire::splitReply(scswire::kCmdPeek, three, 3);
    EXPECT_EQ(s.length, 1u);
    EXPECT_EQ(s.payload[0], 0x7A);
    s = scswire::splitReply(scswire::kCmdSsl, three, 3);
    EXPECT_EQ(s.length, 3u) << "0x11 keeps its status bytes in the payload";
    EXPECT_EQ(s.payload, three);
    s = scswire::splitReply(scswire::kCmdGetVersion, three, 1);
    EXPECT_EQ(s.status, 0xFFFF);
    EXPECT_EQ(scswire::mapFirmwareStatus(s.status), 52u);
}

TEST(WireRequests, FixedLayouts) {
    const uint32_t five[5] = {0x11223344, 2, 3, 4, 0xA0B0C0D0};
    uint32_t eighteen[18];
    for (uint32_t i = 0; i < 18; ++i) eighteen[i] = i + 1;
    struct Case {
        const char* what;
        Bytes got;
        Bytes expected;
    };
    Bytes gpioExpected = {13};
    for (uint32_t i = 0; i < 18; ++i) gpioExpected.insert(gpioExpected.end(), {uint8_t(i + 1), 0, 0, 0});
    for (const Case& c : std::initializer_list<Case>{
             {"reset raises 3 to 10", scswire::reset(3), {5, 10, 0}},
             {"reset keeps 300", scswire::reset(300), {5, 0x2C, 0x01}},
             {"peek", scswire::peek(0x12345678, 2), {7, 0x78, 0x56, 0x34, 0x12, 2}},
             {"poke", scswire::poke(0x10, 0xCAFEBABE, 4), {8, 0x10, 0, 0, 0, 0xBE, 0xBA, 0xFE, 0xCA, 4}},
             {"ref clock",
              scswire::refClock(five),
              {9, 0x44, 0x33, 0x22, 0x11, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 0xD0, 0xC0, 0xB0, 0xA0}},
             {"spi mode", scswire::spiMode(0x01020304), {10, 4, 3, 2, 1}},
             {"woe enter", scswire::woeEnter(0xBEEF), {12, 0xEF, 0xBE}},
             {"gpio", scswire::gpio(eighteen), gpioExpected},
             {"cpu clock", scswire::cpuClock(1, 0x100), {19, 1, 0, 0, 0, 0, 1, 0, 0}},
             {"version", scswire::bare(scswire::kCmdGetVersion), {1}},
         }) {
        EXPECT_EQ(c.got, c.expected) << c.what;
    }
    EXPECT_EQ(scswire::gpio(eighteen).size(), 73u);
}

TEST(WireRequests, PatchLengthIsU16) {
    const Bytes image = seq(5);
    EXPECT_EQ(*scswire::patch(image.data(), 5), (Bytes{6, 1, 2, 3, 4, 5}));
    const Bytes big(0x10000, 0xAB);
    EXPECT_FALSE(scswire::patch(big.data(), 0x10000)) << "would be cut to 0 on the wire";
    EXPECT_EQ(scswire::patch(big.data(), 0xFFFF)->size(), 0x10000u);
    EXPECT_FALSE(scswire::patch(nullptr, 4));
}

TEST(WireRequests, OwnershipAndTemplateLayouts) {
    const Bytes pw = seq(3, 0x61);
    Bytes take = *scswire::takeOwnership(pw.data(), 3);
    ASSERT_EQ(take.size(), 66u);
    EXPECT_EQ(Bytes(take.begin(), take.begin() + 5), (Bytes{15, 3, 0x61, 0x62, 0x63}));
    EXPECT_EQ(take[5], 0);
    const Bytes long65(65, 1);
    EXPECT_FALSE(scswire::takeOwnership(long65.data(), 65));

    const Bytes secret(32, 0x5E);
    Bytes resetOwner = *scswire::resetOwnership(pw.data(), 3, secret.data());
    ASSERT_EQ(resetOwner.size(), 98u);
    EXPECT_EQ(resetOwner[1], 3);
    EXPECT_EQ(resetOwner[66], 0x5E);
    EXPECT_EQ(resetOwner[97], 0x5E);

    const Bytes value(32, 0x77), templ = seq(4, 0xA0);
    Bytes mv = *scswire::matchVerify(templ.data(), 4, value.data());
    ASSERT_EQ(mv.size(), 41u);
    EXPECT_EQ(Bytes(mv.begin(), mv.begin() + 6), (Bytes{28, 4, 0, 0, 0, 0x77}));
    EXPECT_EQ(Bytes(mv.end() - 4, mv.end()), templ);

    Bytes se = *scswire::signEncTemplateData(templ.data(), 4, pw.data(), 3);
    EXPECT_EQ(se, (Bytes{29, 4, 0, 3, 0, 0xA0, 0xA1, 0xA2, 0xA3, 0x61, 0x62, 0x63}));

    Bytes dv = *scswire::decVerifyTemplateData(templ.data(), 4, pw.data(), 3, value.data());
    ASSERT_EQ(dv.size(), 117u);
    EXPECT_EQ(Bytes(dv.begin(), dv.begin() + 5), (Bytes{30, 4, 0, 3, 0}));
    EXPECT_EQ(dv[17], 0x61) << "second field after 12 zero bytes";
    EXPECT_EQ(dv[81], 0x77) << "32-byte value after the 64-byte field";
    EXPECT_EQ(dv[113], 0xA0);

    Bytes auth = *scswire::getAuthData(templ.data(), 4, nullptr, 9);
    EXPECT_EQ(auth, (Bytes{0x2b, 4, 0, 0, 0, 0xA0, 0xA1, 0xA2, 0xA3})) << "no second buffer: length 0";

    const Bytes setup = seq(10);
    Bytes woe = *scswire::woeSetup(setup.data(), 10);
    ASSERT_EQ(woe.size(), 57u);
    EXPECT_EQ(woe[10], 10);
    EXPECT_EQ(woe[11], 0);
}

TEST(WireRequests, KeyOwnershipBlock) {
    const Bytes key(256, 0x11), v1(32, 0x22), v2(32, 0x33), a(256, 0x44), b(256, 0x55);
    scswire::OwnershipKeys all{key.data(), 0x01020304, 0x0A0B0C0D, v1.data(), v2.data(), a.data(), b.data()};
    Bytes block = scswire::takeOwnershipWithKeys(all);
    ASSERT_EQ(block.size(), 845u);
    EXPECT_EQ(block[0], 0x2c);
    EXPECT_EQ(block[1], 16 | 8 | 4 | 2 | 1);
    EXPECT_EQ(block[5], 0x11);
    EXPECT_EQ(block[260], 0x11);
    EXPECT_EQ(Bytes(block.begin() + 261, block.begin() + 269), (Bytes{4, 3, 2, 1, 0x0D, 0x0C, 0x0B, 0x0A}));
    EXPECT_EQ(block[269], 0x22);
    EXPECT_EQ(block[301], 0x33);
    EXPECT_EQ(block[333], 0x44);
    EXPECT_EQ(block[589], 0x55);
    EXPECT_EQ(block[844], 0x55);

    scswire::OwnershipKeys half{nullptr, 0, 0, v1.data(), nullptr, a.data(), nullptr};
    block = scswire::takeOwnershipWithKeys(half);
    EXPECT_EQ(block[1], 16 | 1) << "one key of the pair goes nowhere";
    EXPECT_EQ(block[333], 0);
    EXPECT_EQ(block[5], 0);
}

TEST(WireRequests, SpiTransferHeaderAndFastRead) {
    scswire::SpiParams params{};
    params.first = 0x9A;
    for (int i = 0; i < 16; ++i) params.bytes[i] = uint8_t(0x30 + i);
    params.param1 = 0x1234;
    params.param2 = 0x5678;
    const Bytes data = {0x9F, 0, 0, 0};
    Bytes t = scswire::spiTransfer(&params, data.data(), 4);
    ASSERT_EQ(t.size(), 39u);
    EXPECT_EQ(t[0], 11);
    EXPECT_EQ(t[1], 0x30);
    EXPECT_EQ(t[16], 0x3F);
    EXPECT_EQ(Bytes(t.begin() + 17, t.begin() + 35),
              (Bytes{0x34, 0x12, 0, 0, 4, 0, 0, 0, 0x78, 0x56, 0x9A, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(t.begin() + 35, t.end()), data);
    Bytes bare = scswire::spiTransfer(nullptr, data.data(), 4);
    EXPECT_EQ(Bytes(bare.begin() + 1, bare.begin() + 35), [] {
        Bytes h(34, 0);
        h[20] = 4;
        return h;
    }());
    EXPECT_EQ(scswire::spiTransferReplySize(4), 6u);

    const Bytes cmd = {0x0B, 0, 0x10, 0x40, 0};
    Bytes fr = *scswire::spiFastRead(cmd.data(), 5, 0x1040);
    ASSERT_EQ(fr.size(), 120u);
    EXPECT_EQ(Bytes(fr.begin(), fr.begin() + 9), (Bytes{31, 5, 0, 0, 0, 0x40, 0x10, 0, 0}));
    EXPECT_EQ(Bytes(fr.begin() + 115, fr.end()), cmd);
    EXPECT_FALSE(scswire::spiFastRead(cmd.data(), 5, 0x1041));
}

TEST(WireRequests, LedBlocks) {
    scswire::LedState state{};
    for (uint32_t i = 0; i < 28; ++i) state.words[i] = i;
    state.half1 = 0x0102;
    state.half2 = 0x0304;
    state.byte1 = 5;
    state.byte2 = 6;
    Bytes led = scswire::ledState(state);
    ASSERT_EQ(led.size(), 119u);
    EXPECT_EQ(led[0], 0x24);
    EXPECT_EQ(led[5], 1);
    EXPECT_EQ(Bytes(led.begin() + 113, led.end()), (Bytes{2, 1, 4, 3, 5, 6}));

    scswire::LedEntry entries[16]{};
    entries[15] = {{1, 2, 3, 4, 5}, 0x0A0B};
    Bytes ex = scswire::ledStateEx(entries, 0xDEADBEEF);
    ASSERT_EQ(ex.size(), 117u);
    EXPECT_EQ(Bytes(ex.begin() + 106, ex.end()), (Bytes{1, 2, 3, 4, 5, 0x0B, 0x0A, 0xEF, 0xBE, 0xAD, 0xDE}));
}

TEST(WireRequests, ReplySizes) {
    struct Case {
        uint8_t code;
        uint32_t size;
    };
    for (auto [code, size] : std::initializer_list<Case>{
             {1, 38}, {2, 2404}, {3, 260}, {4, 2}, {5, 2}, {6, 34}, {7, 6}, {8, 2}, {9, 2}, {10, 2}, {12, 2},
             {13, 38}, {15, 66}, {16, 2}, {18, 2}, {19, 2}, {21, 2404}, {22, 2}, {23, 7}, {25, 68}, {26, 2},
             {27, 2}, {28, 4116}, {29, 4100}, {30, 4102}, {31, 2}, {0x24, 2}, {0x26, 6}, {0x27, 22},
             {0x29, 520}, {0x2a, 2}, {0x2b, 4100}, {0x2c, 260}, {0x2d, 2}}) {
        EXPECT_EQ(scswire::replySize(code), size) << int(code);
    }
}

// Settings as a map; names not in it take their default. Records every name read.
struct FakeSettings {
    std::map<std::string, uint32_t> values;
    std::vector<std::string> read;
    scswire::SettingReader reader() {
        return [this](const char* name, uint32_t def) {
            read.push_back(name);
            auto it = values.find(name);
            return it == values.end() ? def : it->second;
        };
    }
};

TEST(WireCapture, MotionRecordsWithDefaults) {
    FakeSettings settings;
    Bytes m1;
    scswire::appendMotion1(m1, settings.reader(), 5);
    ASSERT_EQ(m1.size(), 28u);
    EXPECT_EQ(m1, (Bytes{8, 0, 24, 0, 255, 0, 255, 0, 0, 0, 128, 0, 100, 0, 0xF4, 1, 0, 0, 0, 0, 0, 0,
                         0xC7, 0x80, 36, 0, 68, 0}));

    Bytes m2;
    scswire::appendMotion2(m2, settings.reader());
    EXPECT_EQ(m2, (Bytes{11, 0, 20, 0, 2, 0, 50, 0, 0xE8, 3, 0xB8, 0x0B, 10, 0, 100, 0, 2, 0, 10, 0, 190, 0, 0, 0}));
    EXPECT_EQ(settings.read.back(), "motionParamReserved");

    settings.values["motionParamStopTS"] = 0x12345;  // cut to 16 bits
    m2.clear();
    scswire::appendMotion2(m2, settings.reader());
    EXPECT_EQ(m2[20], 0x45);
    EXPECT_EQ(m2[21], 0x23);
}

TEST(WireCapture, Motion3FlexDefaultsChannelsAndTail) {
    FakeSettings settings;
    const Bytes baseline = seq(4, 0x10);
    scswire::Motion3Inputs in{8, 32, 112, 4, false, true, 0, false, baseline};
    Bytes m3;
    scswire::appendMotion3(m3, settings.reader(), in);
    ASSERT_EQ(m3.size(), 342u);
    EXPECT_EQ(Bytes(m3.begin(), m3.begin() + 22),
              (Bytes{24, 0, 0x52, 1, 8, 0, 0, 0, 10, 0, 0, 1, 30, 0, 200, 0, 0, 0, 111, 0x80, 56, 0}));
    EXPECT_EQ(m3[22 + 7], 0);
    EXPECT_EQ(Bytes(m3.begin() + 30, m3.begin() + 34), baseline);

    in = {4, 7, -1, 2, false, false, 6, true, baseline};
    m3.clear();
    scswire::appendMotion3(m3, settings.reader(), in);
    EXPECT_EQ(m3[8], 10) << "poll time";
    EXPECT_EQ(m3[10], 0x00);  // 250 + 6 = 256
    EXPECT_EQ(m3[11], 0x01);
    EXPECT_EQ(m3[18], 0xC7);
    EXPECT_EQ(m3[19], 0x00) << "bit 15 cleared in capture mode 2";
    EXPECT_EQ(Bytes(m3.begin() + 22, m3.end()), Bytes(320, 0)) << "tail zeroed";
}

TEST(WireCapture, CullWoeAndWovRecords) {
    Bytes out = scswire::captureHeader(288, 0);
    scswire::appendCullRecord(out, 0, 10272);
    EXPECT_EQ(out, (Bytes{2, 0x20, 1, 0, 0, 21, 0, 8, 0, 0, 0, 0, 0, 0x20, 0x28, 0, 0}));

    Bytes woe;
    scswire::appendWoeRecord(woe, nullptr);
    ASSERT_EQ(woe.size(), 64u);
    EXPECT_EQ(Bytes(woe.begin(), woe.begin() + 8), (Bytes{7, 0, 60, 0, 16, 0, 0, 0}));

    FakeSettings settings;
    Bytes wov;
    scswire::appendWovRecord(wov, settings.reader(), 300);
    EXPECT_EQ(wov, (Bytes{25, 0, 10, 0, 0x2C, 1, 0, 0, 0, 0, 0, 0, 8, 0}));
    settings.values["WOVARuseBaseline"] = 1;
    wov.clear();
    scswire::appendWovRecord(wov, settings.reader(), 300);
    EXPECT_EQ(wov.size(), 333u);
    EXPECT_EQ(wov[2], 0x49);
    EXPECT_EQ(wov[3], 0x01);

    Bytes reduction;
    scswire::appendBitReduction(reduction, 4);
    EXPECT_EQ(reduction, (Bytes{5, 0, 14, 0, 0, 0, 0x0F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 64, 0, 0, 0}));
}

}  // namespace
