// Tag records, print configurations, built-in lists and their lookup, flex-id tables and the
// version string.
#include "platform/memory.h"
#include "tcs/sensorctl/protocol/builtin_lists.h"
#include "tcs/sensorctl/protocol/flex_tables.h"
#include "tcs/sensorctl/protocol/tag_records.h"
#include "tcs/sensorctl/protocol/version.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes record(uint16_t tag, Bytes data) {
    Bytes b(4 + data.size());
    b[0] = uint8_t(tag);
    b[1] = uint8_t(tag >> 8);
    b[2] = uint8_t(data.size());
    b[3] = uint8_t(data.size() >> 8);
    for (size_t i = 0; i < data.size(); ++i) b[4 + i] = data[i];
    return b;
}

Bytes operator+(const Bytes& a, const Bytes& b) {
    Bytes out(a.size() + b.size());
    for (size_t i = 0; i < a.size(); ++i) out[i] = a[i];
    for (size_t i = 0; i < b.size(); ++i) out[a.size() + i] = b[i];
    return out;
}

TEST(TagRecords, FindWalksToTheTagOrReportsBrokenBlobs) {
    const Bytes blob = record(1, {1, 2, 3}) + record(23, {}) + record(7, {9});
    const TagRecord* found = nullptr;
    ASSERT_EQ(scsSensorFindPrintParam(blob.data(), uint32_t(blob.size()), 23, &found), 0u);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(found), blob.data() + 7);
    EXPECT_EQ(scsTagRecordLength(found), 0);
    ASSERT_EQ(scsSensorFindPrintParam(blob.data(), uint32_t(blob.size()), 7, &found), 0u);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(found)[4], 9);
    EXPECT_EQ(scsSensorFindPrintParam(blob.data(), uint32_t(blob.size()), 99, &found), 0u);
    EXPECT_EQ(found, nullptr) << "absent tag in a well-formed blob";

    struct Case {
        const char* what;
        Bytes blob;
        TcsResult result;
    };
    Bytes tooLong = record(99, {1, 2});
    tooLong[2] = 3;  // one byte past the end
    for (const Case& c : std::initializer_list<Case>{{"empty", {}, 0},
                                                     {"one byte", {1}, 7},
                                                     {"three bytes", {1, 0, 0}, 7},
                                                     {"length one too long", tooLong, 7},
                                                     {"tail of 2", record(99, {}) + Bytes{1, 2}, 7}}) {
        found = reinterpret_cast<const TagRecord*>(1);
        EXPECT_EQ(scsSensorFindPrintParam(c.blob.data(), uint32_t(c.blob.size()), 7, &found), c.result) << c.what;
        EXPECT_EQ(found, nullptr) << c.what;
        EXPECT_EQ(scsSensorEnumPrintParams(c.blob.data(), uint32_t(c.blob.size()),
                                           [](const TagRecord*, void*, uint32_t) -> uint32_t { return 0; }, nullptr),
                  c.result)
            << c.what;
    }
    EXPECT_EQ(scsSensorFindPrintParam(blob.data(), 4, 1, nullptr), 17u);
    EXPECT_EQ(scsSensorEnumPrintParams(blob.data(), 4, nullptr, nullptr), 17u);
}

TEST(TagRecords, EnumerateStopsWhenTheCallbackSaysSo) {
    const Bytes blob = record(1, {1}) + record(2, {}) + record(3, {4, 5});
    struct Seen {
        std::vector<uint16_t> tags;
        std::vector<uint32_t> left;
        uint16_t stopAt;
    } seen{{}, {}, 2};
    auto cb = [](const TagRecord* r, void* ctx, uint32_t left) -> uint32_t {
        auto* s = static_cast<Seen*>(ctx);
        s->tags.push_back(scsTagRecordTag(r));
        s->left.push_back(left);
        return scsTagRecordTag(r) == s->stopAt;
    };
    EXPECT_EQ(scsSensorEnumPrintParams(blob.data(), uint32_t(blob.size()), cb, &seen), 0u);
    EXPECT_EQ(seen.tags, (std::vector<uint16_t>{1, 2}));
    EXPECT_EQ(seen.left, (std::vector<uint32_t>{15, 10}));
}

TEST(TagRecords, CopyOutAndReplyRequests) {
    const Bytes blob = record(0x0105, {1}) + record(5, {7, 8, 9});
    uint8_t* copy = nullptr;
    uint32_t length = 0, found = 0;
    // The tag's low 8 bits select: 0x0105 is not 5.
    ASSERT_EQ(scsGetParamBlobFromCfgData(blob.data(), uint32_t(blob.size()), 0x305, &copy, &length, &found), 0u);
    ASSERT_EQ(found, 1u);
    EXPECT_EQ(Bytes(copy, copy + length), (Bytes{7, 8, 9}));
    palRealFree(copy);
    ASSERT_EQ(scsGetParamBlobFromCfgData(blob.data(), uint32_t(blob.size()), 6, &copy, &length, &found), 0u);
    EXPECT_EQ(found, 0u);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(scsGetParamBlobFromCfgData(nullptr, 0, 6, &copy, &length, &found), 17u);

    uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    uint32_t size = 0;
    ASSERT_EQ(scsGetConfigReplyParams(reinterpret_cast<TagRecord*>(out), &size, 23), 0u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{23, 0, 0, 0}));
    EXPECT_EQ(size, 4u);
    ASSERT_EQ(scsGetTSBLCFGReplyParams(reinterpret_cast<TagRecord*>(out), &size), 0u);
    EXPECT_EQ(out[0], 35);
    EXPECT_EQ(scsGetTSBLCFGReplyParams(nullptr, nullptr), 17u);
}

PrintConfiguration* makeConfig(uint32_t lineLength, uint32_t depth, const Bytes& blob) {
    PrintConfiguration source{};
    source.fields[SCS_PC_LINE_LENGTH] = lineLength;
    source.fields[SCS_PC_BIT_DEPTH] = depth;
    source.blob = const_cast<uint8_t*>(blob.data());
    source.blobLength = uint32_t(blob.size());
    PrintConfiguration* out = nullptr;
    EXPECT_EQ(scsprint::copy(source, &out), 0u);
    return out;
}

TEST(PrintConfig, ConvertReducesEightBitsOnly) {
    const Bytes blob = record(1, {1, 2});
    PrintConfiguration* eight = makeConfig(288, 8, blob);
    PrintConfiguration* four = nullptr;
    ASSERT_EQ(scsHarlokConvertPrintConfig(eight, 4, &four), 0u);
    EXPECT_EQ(four->fields[SCS_PC_LINE_LENGTH], 160u);
    EXPECT_EQ(four->fields[SCS_PC_BIT_DEPTH], 4u);
    ASSERT_EQ(four->blobLength, blob.size() + 18);
    EXPECT_EQ(Bytes(four->blob + blob.size(), four->blob + four->blobLength),
              (Bytes{5, 0, 14, 0, 0, 0, 0x0F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 64, 0, 0, 0}));

    PrintConfiguration* again = nullptr;
    ASSERT_EQ(scsHarlokConvertPrintConfig(four, 2, &again), 0u);
    EXPECT_EQ(again->fields[SCS_PC_LINE_LENGTH], 160u) << "a 4-bit configuration is copied unchanged";
    EXPECT_EQ(again->blobLength, four->blobLength);
    EXPECT_NE(again->blob, four->blob);

    PrintConfiguration* same = nullptr;
    ASSERT_EQ(scsHarlokConvertPrintConfig(eight, 8, &same), 0u);
    EXPECT_EQ(same->blobLength, blob.size());
    EXPECT_EQ(scsHarlokConvertPrintConfig(nullptr, 4, &same), 40u);
    EXPECT_EQ(scsHarlokConvertPrintConfig(eight, 4, nullptr), 40u);
    for (PrintConfiguration** p : {&eight, &four, &again, &same}) {
        EXPECT_EQ(scsHarlokFreePrintConfig(p), 0u);
        EXPECT_EQ(*p, nullptr);
    }
}

TEST(PrintConfig, DefaultsCloneAndBlob) {
    const scsprint::DeviceDefaults family3{26, 24, 25, 4, 0, 3};
    uint32_t v = 0;
    EXPECT_EQ(scsprint::getField(nullptr, SCS_PC_LINE_LENGTH, family3, &v), 0u);
    EXPECT_EQ(v, 140u);
    EXPECT_EQ(scsprint::getField(SCS_PRINT_CONFIG_DEFAULT, SCS_PC_LINE_LENGTH, {26, 18, 15, 8, 0, 1}, &v), 0u);
    EXPECT_EQ(v, 288u);
    EXPECT_EQ(scsprint::getField(nullptr, SCS_PC_LINE_LENGTH, {26, 18, 15, 8, 200, 1}, &v), 0u);
    EXPECT_EQ(v, 200u) << "override";
    EXPECT_EQ(scsprint::getField(nullptr, SCS_PC_SO_CLOCK, family3, &v), 0u);
    EXPECT_EQ(v, 24u);
    EXPECT_EQ(scsprint::getField(nullptr, 0, family3, &v), 0u);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(scsprint::getField(nullptr, 13, family3, &v), 17u);
    EXPECT_EQ(scsprint::setField(nullptr, 1, 1), 17u);

    PrintConfiguration* out = nullptr;
    EXPECT_EQ(scsprint::clone(SCS_PRINT_CONFIG_DEFAULT, &out), 0u);
    EXPECT_EQ(out, SCS_PRINT_CONFIG_DEFAULT);

    const Bytes blob = record(9, {1, 2, 3});
    PrintConfiguration* config = makeConfig(288, 8, blob);
    ASSERT_EQ(scsprint::clone(config, &out), 0u);
    ASSERT_NE(out, config);
    EXPECT_NE(out->blob, config->blob);
    EXPECT_EQ(scsprint::setBlob(out, nullptr, 3), 17u);
    EXPECT_EQ(scsprint::setBlob(out, blob.data(), 0), 17u);
    EXPECT_EQ(scsprint::setBlob(SCS_PRINT_CONFIG_DEFAULT, blob.data(), 3), 17u);
    const Bytes longer = blob + blob;
    ASSERT_EQ(scsprint::setBlob(out, longer.data(), uint32_t(longer.size())), 0u);
    EXPECT_EQ(Bytes(out->blob, out->blob + out->blobLength), longer);
    ASSERT_EQ(scsprint::setBlob(out, nullptr, 0), 0u);
    EXPECT_EQ(out->blob, nullptr);
    scsHarlokFreePrintConfig(&out);
    scsHarlokFreePrintConfig(&config);
}

// --- Built-in lists ------------------------------------------------------------------------------------

ConfigDescriptor patchDesc(uint32_t ids, uint32_t length, uint32_t flex = SCS_CFG_ANY,
                           uint32_t trailing = SCS_CFG_ANY, uint32_t cls = SCS_CFG_ANY) {
    ConfigDescriptor d{};
    uint32_t* w = d.words;
    w[SCS_PD_MAJOR] = 4;
    w[SCS_PD_MINOR] = 40;
    w[SCS_PD_BUILD] = w[SCS_PD_REVISION] = SCS_CFG_ANY;
    w[SCS_PD_PATCH_REVISION] = 1;
    w[SCS_PD_PATCH_IDS] = ids;
    w[SCS_PD_SELECTOR] = 0;
    w[SCS_PD_CLASS] = cls;
    w[SCS_PD_FLEX] = flex;
    w[SCS_PD_ROM] = 1;
    w[SCS_PD_TRAILING] = trailing;
    w[SCS_PD_LENGTH] = length;
    return d;
}

const scslists::DeviceView kDevice440{4, 40, 17, 0, 1, 0, 7, 26, 0, false};

TEST(BuiltinLists, PatchChoiceShortestAndTieBreaks) {
    ConfigDescriptor a = patchDesc(0x80, 0x400), b = patchDesc(0x80, 0x300), c = patchDesc(0x2080, 0x100);
    const void* list[] = {&a, &b, &c, nullptr};
    EXPECT_EQ(scslists::findPatch(kDevice440, list, 0x80, 0, 0x22000), &b);
    EXPECT_EQ(scslists::findPatch(kDevice440, list, 0x2080, 0, 0), &c);
    EXPECT_EQ(scslists::findPatch(kDevice440, list, 0x80, 1, 0), nullptr) << "selector";

    // A shorter generic patch does not displace a module-specific one.
    ConfigDescriptor exact = patchDesc(1, 0x400, 26), generic = patchDesc(1, 0x100);
    const void* flexList[] = {&exact, &generic, nullptr};
    EXPECT_EQ(scslists::findPatch(kDevice440, flexList, 1, 0, 0), &exact);
    // A firmware-exact candidate after a module-exact one: the lookup gives up.
    ConfigDescriptor firmware = patchDesc(1, 0x100, SCS_CFG_ANY, 7);
    const void* clash[] = {&exact, &firmware, nullptr};
    EXPECT_EQ(scslists::findPatch(kDevice440, clash, 1, 0, 0), nullptr);
    const void* clash2[] = {&firmware, &exact, nullptr};
    EXPECT_EQ(scslists::findPatch(kDevice440, clash2, 1, 0, 0), nullptr);

    // Patch class: a variant-2 sensor on 4.40 with flag bit 1 clear runs class 1.
    ConfigDescriptor class0 = patchDesc(1, 0x10, SCS_CFG_ANY, SCS_CFG_ANY, 0);
    ConfigDescriptor class1 = patchDesc(1, 0x20, SCS_CFG_ANY, SCS_CFG_ANY, 1);
    const void* classes[] = {&class0, &class1, nullptr};
    scslists::DeviceView v2 = kDevice440;
    v2.variant = 2;
    EXPECT_EQ(scslists::findPatch(kDevice440, classes, 1, 0, 0), &class0);
    EXPECT_EQ(scslists::findPatch(v2, classes, 1, 0, 0), &class1);
    EXPECT_EQ(scslists::findPatch(kDevice440, classes, 0x800, 0, 0), nullptr) << "0x800 needs a variant-2 sensor";
}

ConfigDescriptor printDesc(uint32_t major, uint32_t minor, uint32_t depth, uint32_t lineLength) {
    ConfigDescriptor d{};
    uint32_t* w = d.words;
    w[4] = major;
    w[5] = minor;
    w[6] = w[7] = w[8] = w[9] = w[10] = SCS_CFG_ANY;
    w[12] = lineLength;
    w[14] = depth;
    return d;
}

TEST(BuiltinLists, PrintChoiceByScore) {
    ConfigDescriptor exactMajorWildDepth = printDesc(4, 40, SCS_CFG_ANY, 100);
    ConfigDescriptor wildMajorExactDepth = printDesc(SCS_CFG_ANY, 40, 8, 200);
    ConfigDescriptor tie = printDesc(SCS_CFG_ANY, 40, 8, 300);
    const void* list[] = {&exactMajorWildDepth, &wildMajorExactDepth, &tie, nullptr};
    PrintConfiguration* out = nullptr;
    ASSERT_EQ(scslists::findPrintConfig(kDevice440, {26, 18, 15, 8}, list, &out), 0u);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->fields[SCS_PC_LINE_LENGTH], 200u) << "40 beats 32; the earlier of equal scores";
    scsHarlokFreePrintConfig(&out);

    ConfigDescriptor otherMajor = printDesc(5, 40, 8, 1);
    const void* none[] = {&otherMajor, nullptr};
    ASSERT_EQ(scslists::findPrintConfig(kDevice440, {26, 18, 15, 8}, none, &out), 0u);
    EXPECT_EQ(out, nullptr);

    // The shipped list has a configuration for each family's firmware, with its blob.
    ASSERT_EQ(scslists::findPrintConfig(kDevice440, {26, 18, 15, 8}, harlokPrintConfigList, &out), 0u);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->fields[SCS_PC_SO_CLOCK], 18u);
    EXPECT_EQ(out->fields[SCS_PC_LINE_LENGTH], 288u);
    EXPECT_GT(out->blobLength, 0u);
    const TagRecord* r = nullptr;
    EXPECT_EQ(scsSensorFindPrintParam(out->blob, out->blobLength, 1, &r), 0u);
    EXPECT_NE(r, nullptr);
    scsHarlokFreePrintConfig(&out);
    scslists::DeviceView family2{4, 60, 23, 0, 1, 0, 0, 26, 3, false};
    ASSERT_EQ(scslists::findPrintConfig(family2, {26, 21, 15, 8}, harlokPrintConfigList, &out), 0u);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->fields[SCS_PC_SO_CLOCK], 21u);
    scsHarlokFreePrintConfig(&out);
}

TEST(BuiltinLists, ShippedPatchesCoverEveryKindOfBothFamilies) {
    for (uint32_t minor : {40u, 60u}) {
        scslists::DeviceView d = kDevice440;
        d.minor = minor;
        // 0x4000 is the patch the fast re-initialisation loads before the run patch.
        for (uint32_t kind : {0x1u, 0x2u, 0x8u, 0x80u, 0x2080u, 0x20A0u, 0x20080u, 0x200u, 0x4000u, 0x8000u,
                              0x10000u, 0x80000u}) {
            const ConfigDescriptor* p = scslists::findPatch(d, harlokPatchConfigList, kind, 0, 0);
            ASSERT_NE(p, nullptr) << minor << " " << kind;
            EXPECT_EQ(p->words[SCS_PD_PATCH_IDS] & kind, kind);
        }
        EXPECT_NE(scslists::findPatch(d, secMgmtHarlokPatchList, 4, 0, 0), nullptr);
        EXPECT_NE(scslists::findPatch(d, secMgmtHarlokPatchList, 0x40000, 0, 0), nullptr);
    }
    EXPECT_EQ(harlokWoeConfigList[0], nullptr);
}

TEST(FlexTables, LookupsAndNames) {
    struct Case {
        uint32_t key, harlok;
    };
    for (auto [key, flex] : std::initializer_list<Case>{
             {10, 14}, {14, 14}, {18, 14}, {22, 14}, {27, 26}, {48, 55}, {49, 49}, {42, 42}, {71, 72}, {100, 99},
             {105, 105}, {106, 0}}) {
        EXPECT_EQ(scsSensorHarlokFindFlexId(key), flex) << key;
    }
    EXPECT_EQ(scsSensorDunmoFindFlexId(23), 128u);
    EXPECT_EQ(scsSensorDunmoFindFlexId(0), 106u);
    EXPECT_EQ(scsSensorDunmoFindFlexId(271), 377u);
    EXPECT_EQ(scsSensorDunmoFindFlexId(101), 205u);
    EXPECT_EQ(scsSensorFindFlexId(10, FlexIDTable, 0), 0u);
    EXPECT_STREQ(scsSensorHarlokGetFlexName(14), "TSI 09A First USB  ");
    EXPECT_STREQ(scsSensorHarlokGetFlexName(3), "reserved           ");
    EXPECT_STREQ(FlexIDTable[18].name, "TSI 09A Second  USB");
    EXPECT_STREQ(FlexIDTable[105].name, "                   ");
    EXPECT_STREQ(FlexIDTableV2[4].name, "ENG 04A            ");
    EXPECT_EQ(scsSensorHarlokGetFlexName(1000), nullptr);
    int blank = 0;
    for (const FlexIdEntry& row : FlexIDTable) blank += std::string(row.name).find_first_not_of(' ') == std::string::npos;
    EXPECT_EQ(blank, 43);
}

struct Version {
    uint32_t id, build;
    uint8_t major, minor, romFlag, chipKind, byte12, mark, flags, revision, serial[6], byte22, capabilities, byte35,
        pad;
    uint16_t value32;
};

TEST(VersionString, WorkedExampleAndVariants) {
    char text[scsversion::kStringSize];
    EXPECT_FALSE(scsversion::format({4, 40, 3, 17, 4, 1, 0, scsSensorHarlokGetFlexName(26)}, text));
    EXPECT_STREQ(text, "04.40.03.0017 Harlok Unknown [TSI 31A Fourth SPI ]");
    EXPECT_TRUE(scsversion::format({6, 0, 0, 5, 5, 0, 1, nullptr}, text));
    EXPECT_STREQ(text, "06.00.00.0005 Selkin* ROM");
    EXPECT_FALSE(scsversion::format({4, 40, 0, 17, 7, 1, 1, nullptr}, text));
    EXPECT_STREQ(text, "04.40.00.0017 Unknown ROM");
    const std::string longName(20, 'N');
    scsversion::format({255, 255, 255, 4000000000u, 4, 0, 0, longName.c_str()}, text);
    EXPECT_LT(std::strlen(text), scsversion::kStringSize);
}

TEST(VersionString, ParseOffsets) {
    uint8_t payload[36];
    for (int i = 0; i < 36; ++i) payload[i] = uint8_t(i + 1);
    Version v{};
    scsversion::parse(payload, 36, v);
    EXPECT_EQ(v.id, 0x04030201u);
    EXPECT_EQ(v.build, 0x08070605u);
    EXPECT_EQ(v.major, 9);
    EXPECT_EQ(v.revision, 16);
    EXPECT_EQ(v.serial[0], 17);
    EXPECT_EQ(v.serial[5], 22);
    EXPECT_EQ(v.byte22, 23);
    EXPECT_EQ(v.capabilities, 24);
    EXPECT_EQ(v.value32, 0x2221);
    EXPECT_EQ(v.byte35, 36);
    Version shortV{};
    scsversion::parse(payload, 24, shortV);
    EXPECT_EQ(shortV.value32, 0) << "fields past a short payload stay zero";
}

}  // namespace

// --- Fingerprint data decryption ----------------------------------------------------------------------
#include "platform/crypto/crypto.h"
#include "tcs/sensorctl/secure/print_config.h"
#include "tcs/sensorctl/protocol/protocol_state.h"

namespace {

TEST(FingerprintDecrypt, WholeBlocksOnlyAndTheIvCarriesOver) {
    alignas(8) static uint8_t fakeDevice[64];
    auto* device = reinterpret_cast<ScsSensorDevice*>(fakeDevice);
    scsproto::DeviceState* state = scsproto::stateOf(device);
    ASSERT_NE(state, nullptr);
    uint32_t length = 5;
    uint8_t data[80];
    EXPECT_EQ(scsSensorDecryptFingerprint(device, data, &length), 0u);
    EXPECT_EQ(length, 5u) << "not encrypted: untouched";

    uint8_t key[16], iv[16], plain[64], cipher[64];
    for (int i = 0; i < 16; ++i) {
        key[i] = uint8_t(i);
        iv[i] = uint8_t(0xF0 + i);
    }
    for (int i = 0; i < 64; ++i) plain[i] = uint8_t(i * 3);
    uint8_t ivCopy[16];
    std::memcpy(ivCopy, iv, 16);
    ASSERT_EQ(palCryptoEncrypt(plain, 64, cipher, nullptr, key, 16, ivCopy, 5), 0u);
    state->fpEncrypted = true;
    std::memcpy(state->fpKey, key, 16);
    std::memcpy(state->fpIv, iv, 16);
    state->fpKeyLength = 16;

    // A delivery of 40 bytes: two blocks decrypted, the 8-byte tail kept out of the delivery.
    std::memcpy(data, cipher, 40);
    std::memset(data + 40, 0xCC, 40);
    length = 40;
    ASSERT_EQ(scsSensorDecryptFingerprint(device, data, &length), 0u);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(std::memcmp(data, plain, 32), 0);
    EXPECT_EQ(data[40], 0xCC) << "nothing written past the delivery";
    // The next delivery continues from the last whole ciphertext block.
    std::memcpy(data, cipher + 32, 32);
    length = 32;
    ASSERT_EQ(scsSensorDecryptFingerprint(device, data, &length), 0u);
    EXPECT_EQ(std::memcmp(data, plain + 32, 32), 0);
    scsproto::forget(device);
}

}  // namespace

// --- Fingerprint signing --------------------------------------------------------------------------------
#include "tcs/sensorctl/secure/fp_signing.h"

namespace {

TEST(FingerprintSigning, Firmware440SpansHashOneBlockThenSkipFifteen) {
    std::vector<std::pair<uint32_t, uint32_t>> fed;
    uint32_t phase = 1, position = 0;
    scssign::walkSpans(4, phase, position, 16, [&](uint32_t offset, uint32_t n) { fed.push_back({offset, n}); });
    EXPECT_EQ(fed, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 4}}));
    // The next 60 bytes: the rest of the skipped span (48 more), then a hashed span of 4 at 48.
    fed.clear();
    scssign::walkSpans(4, phase, position, 60, [&](uint32_t offset, uint32_t n) { fed.push_back({offset, n}); });
    EXPECT_EQ(fed, (std::vector<std::pair<uint32_t, uint32_t>>{{48, 4}}));
    EXPECT_EQ(phase, 0u);
    EXPECT_EQ(position, 8u);
}

TEST(FingerprintSigning, HmacOverTheDecryptedDataBecomesTheLastSignature) {
    static ScsSensorDevice device{};
    scsproto::DeviceState* state = scsproto::stateOf(&device);
    ASSERT_NE(state, nullptr);
    ASSERT_EQ(palCryptoInitialize(), 0u);  // seeds the generator, as stack start-up does
    ASSERT_EQ(_scsSensorFpEncInit(&device), 0u);
    ASSERT_EQ(_scsSensorFpSignInit(&device, 32), 0u);
    state->fpKeyLength = 16;
    uint8_t plain[48], cipher[48], iv[32];
    for (int i = 0; i < 48; ++i) plain[i] = uint8_t(i + 7);
    std::memcpy(iv, state->fpIv, 32);
    ASSERT_EQ(palCryptoEncrypt(plain, 48, cipher, nullptr, state->fpKey, 16, iv, 5), 0u);
    uint8_t key[32];
    std::memcpy(key, state->signingKey, 32);

    uint32_t length = 48;
    ASSERT_EQ(scsSensorDecryptFingerprint(&device, cipher, &length), 0u);
    EXPECT_EQ(std::memcmp(cipher, plain, 48), 0);
    ASSERT_EQ(_scsSensorFpCryptContextFinalize(&device, 1), 0u);
    uint8_t expected[32];
    uint32_t macLength = 32;
    ASSERT_EQ(palCryptoMAC(plain, 48, key, 32, expected, &macLength, 0), 0u);
    EXPECT_EQ(std::memcmp(device.lastFingerprintSignature, expected, 32), 0);
    EXPECT_EQ(std::memcmp(state->signingKey, key, 32), 0) << "kept";
    EXPECT_FALSE(state->fpEncrypted);
    ASSERT_EQ(_scsSensorFpCryptContextFinalize(&device, 0), 0u);
    EXPECT_EQ(std::memcmp(state->signingKey, Bytes(32, 0).data(), 32), 0) << "wiped";
    scsproto::forget(&device);
    palCryptoUninitialize();
}

}  // namespace
