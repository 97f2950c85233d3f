// The diagnostic layer's file formats and record decoders, without a sensor: patch files, print
// configuration lines, wake-on-event parameter files, the register field decoder, the
// configuration-data record, the LED state copy and the fixed results.
#include "platform/crypto/crypto.h"
#include "tcs/database/dss_store.h"
#include "tcs/flashfs/fss.h"
#include "tcs/flashfs/fss_internal.h"
#include "tcs/handle_map.h"
#include "tcs/sensorctl/init/housekeeping.h"
#include "tcs/sensorctl/engine/scs_internal.h"
#include "tools/sensor/diag.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <stdlib.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The test process's own scratch folder, removed with everything in it when the process ends: a
// case that returns or continues early leaves nothing behind.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = ::testing::TempDir() + "/diag_XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string tempPath(const std::string& name) {
    static ScratchFolder folder;
    EXPECT_FALSE(folder.path().empty()) << "no scratch folder";
    return folder.path() + "/" + name;
}

std::string writeFile(const std::string& name, const Bytes& bytes) {
    const std::string path = tempPath(name);
    FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    return path;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes kSeparator = {0x00, 0x1A};

TEST(PatchFile, HeaderFieldsAndDataOffset) {
    PatchFileHeader unset;
    std::memset(&unset, 0xCD, sizeof unset);
    struct Case {
        const char* what;
        Bytes file;
        Bytes data;
        bool headerParsed;
        uint32_t version[4];
        uint32_t level, phase, product;
    };
    const uint32_t any = 0xFFFFFFFFu, keep = 0xCDCDCDCDu;
    const Case cases[] = {
        {"full header",
         concat({text("FirmwareVersion = 4.40.12.3\r\nPatchLevel = 7\r\nPhase = 50\r\nProduct = 1f\r\n"), kSeparator,
                 {1, 2, 3}}),
         {1, 2, 3},
         true,
         {4, 40, 12, 3},
         7,
         0x50,
         0x1F},
        {"wildcards", concat({text("FirmwareVersion = 4.*.*.*\n"), kSeparator, {9}}), {9}, true, {4, any, any, any},
         keep, keep, keep},
        {"all wildcards", concat({text("FirmwareVersion = *.*.*.*"), kSeparator}), {}, true, {any, any, any, any},
         keep, keep, keep},
        // A version cut short stops at the header's end rather than reading past it.
        {"short version", concat({text("FirmwareVersion = 4"), kSeparator, {5}}), {5}, true, {4, 0, 0, 0}, keep, keep,
         keep},
        {"only pair at the end", concat({text("PatchLevel = 3"), kSeparator}), {}, true, {keep, keep, keep, keep}, 3,
         keep, keep},
        {"no pair: all data", concat({text("Phase = 1\n"), {0x1A, 0x00, 7}}), concat({text("Phase = 1\n"), {0x1A, 0, 7}}),
         false, {keep, keep, keep, keep}, keep, keep, keep},
        {"empty", {}, {}, false, {keep, keep, keep, keep}, keep, keep, keep},
        {"first pair counts", concat({text("Phase = 2"), kSeparator, {0x00, 0x1A, 4}}), {0x00, 0x1A, 4}, true,
         {keep, keep, keep, keep}, keep, 2, keep},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = writeFile("patch.bin", c.file);
        PatchFileHeader header = unset;
        uint32_t size = 0;
        ASSERT_EQ(tcsTestParsePatchFile(path.c_str(), &header, nullptr, &size), TCS_RESULT_OK);
        EXPECT_EQ(size, c.data.size()) << "a size query copies nothing";
        Bytes data(size + 4, 0xEE);
        uint32_t room = uint32_t(data.size());
        ASSERT_EQ(tcsTestParsePatchFile(path.c_str(), nullptr, data.data(), &room), TCS_RESULT_OK);
        ASSERT_EQ(room, c.data.size());
        data.resize(room);
        EXPECT_EQ(data, c.data);
        if (!c.headerParsed) {
            EXPECT_EQ(std::memcmp(&header, &unset, sizeof header), 0) << "left as the caller set it";
            continue;
        }
        for (int i = 0; i < 4; ++i) EXPECT_EQ(header.firmwareVersion[i], c.version[i]) << i;
        EXPECT_EQ(header.patchLevel, c.level);
        EXPECT_EQ(header.phase, c.phase);
        EXPECT_EQ(header.product, c.product);
        std::remove(path.c_str());
    }
}

TEST(PatchFile, ParserErrors) {
    const std::string path = writeFile("patch_errors.bin", concat({text("x"), kSeparator, {1, 2, 3, 4}}));
    uint32_t size = 3;
    uint8_t small[3];
    EXPECT_EQ(tcsTestParsePatchFile(path.c_str(), nullptr, small, &size), 5u);
    EXPECT_EQ(tcsTestParsePatchFile(nullptr, nullptr, nullptr, &size), 40u);
    EXPECT_EQ(tcsTestParsePatchFile(path.c_str(), nullptr, small, nullptr), 40u);
    EXPECT_EQ(tcsTestParsePatchFile(tempPath("missing").c_str(), nullptr, nullptr, &size), 207u);
    uint8_t* data = reinterpret_cast<uint8_t*>(1);
    char* header = reinterpret_cast<char*>(1);
    uint16_t dataLength = 9, headerLength = 9;
    EXPECT_EQ(ParsePatchFile(tempPath("missing").c_str(), &data, &dataLength, &header, &headerLength), 207u);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(header, nullptr);
    std::remove(path.c_str());
}

TEST(PatchFile, AllocatingParserKeepsOnlyVersionedHeaders) {
    struct Case {
        const char* what;
        Bytes file;
        Bytes header;  // empty: none
        Bytes data;
    };
    const Bytes versioned = concat({text("FirmwareVersion = 4.40.0.0"), kSeparator});
    const Case cases[] = {
        {"versioned header", concat({versioned, {7, 8}}), versioned, {7, 8}},
        // Without the version key the header is dropped and the data start at byte 0.
        {"header without version", concat({text("Phase = 1"), kSeparator, {7}}), {},
         concat({text("Phase = 1"), kSeparator, {7}})},
        {"no separator", {1, 2, 3}, {}, {1, 2, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = writeFile("alloc.bin", c.file);
        uint8_t* data = nullptr;
        char* header = nullptr;
        uint16_t dataLength = 0, headerLength = 0;
        ASSERT_EQ(ParsePatchFile(path.c_str(), &data, &dataLength, &header, &headerLength), TCS_RESULT_OK);
        EXPECT_EQ(Bytes(data, data + dataLength), c.data);
        if (c.header.empty()) {
            EXPECT_EQ(header, nullptr);
        } else {
            ASSERT_NE(header, nullptr);
            EXPECT_EQ(Bytes(header, header + headerLength), c.header);
        }
        palRealFree(data);
        palRealFree(header);
        std::remove(path.c_str());
    }
    // Its lengths are 16 bits: a file that does not fit is refused, not cut.
    const std::string big = writeFile("big.bin", Bytes(70000, 1));
    uint8_t* data = nullptr;
    char* header = nullptr;
    uint16_t dataLength = 0, headerLength = 0;
    EXPECT_EQ(ParsePatchFile(big.c_str(), &data, &dataLength, &header, &headerLength), 219u);
    EXPECT_EQ(data, nullptr);
    std::remove(big.c_str());
}

TEST(PrintConfigLines, KeyValueAndTrim) {
    struct Case {
        const char* line;
        uint32_t found;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"LineLength = 200 // trailing comment", 1, "LineLength", "200"},
        {"  FlexID=3", 1, "FlexID", "3"},
        {"a = b = c", 1, "a", "b = c"},
        {"// = commented out", 0, nullptr, nullptr},
        {"no equals sign", 0, nullptr, nullptr},
        {"\tTab = 1", 1, "\tTab", "1"},  // only blanks are trimmed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string line = c.line;
        char* key = nullptr;
        char* value = nullptr;
        ASSERT_EQ(tcsTestGetKeyValue(line.data(), &key, &value), c.found);
        if (c.found == 0) continue;
        EXPECT_STREQ(key, c.key);
        EXPECT_STREQ(value, c.value);
    }
    EXPECT_EQ(tcsTestGetKeyValue(nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(tcsTestTrimSpace(nullptr), nullptr);
    std::string padded = "   x y   ";
    EXPECT_STREQ(tcsTestTrimSpace(padded.data()), "x y");
}

TEST(WoeParameterFile, DataAfterTheFirstSubstitute) {
    struct Case {
        const char* what;
        Bytes file;
        TcsResult result;
        Bytes data;
    };
    const Case cases[] = {
        {"text then data", concat({text("woe set-up\n"), {0x1A, 1, 2, 0x1A, 3}}), 0, {1, 2, 0x1A, 3}},
        {"no substitute", text("only text"), 54, {}},
        {"ends with it", concat({text("t"), {0x1A}}), 54, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = writeFile("woe.bin", c.file);
        uint32_t size = 0;
        ASSERT_EQ(tcsGetWoeParams(path.c_str(), nullptr, &size), c.result);
        if (c.result != 0) continue;
        EXPECT_EQ(size, c.data.size());
        Bytes data(size);
        ASSERT_EQ(tcsGetWoeParams(path.c_str(), data.data(), &size), TCS_RESULT_OK);
        EXPECT_EQ(data, c.data);
        // A buffer smaller than the data is refused rather than overrun.
        uint32_t small = size - 1;
        EXPECT_EQ(tcsGetWoeParams(path.c_str(), data.data(), &small), 5u);
        std::remove(path.c_str());
    }
    uint32_t size = 0;
    EXPECT_EQ(tcsGetWoeParams(nullptr, nullptr, &size), 40u);
    EXPECT_EQ(tcsGetWoeParams("x", nullptr, nullptr), 40u);
    EXPECT_EQ(tcsGetWoeParams(tempPath("missing").c_str(), nullptr, &size), 207u);
}

// Tag records {u16 tag, u16 length, data}, little-endian.
void put16(Bytes& b, uint16_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void put32(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }

Bytes registerWrite(uint32_t address, uint32_t value) {
    Bytes b;
    put16(b, 3);
    put16(b, 9);
    put32(b, address);
    put32(b, value);
    b.push_back(4);
    return b;
}

Bytes maskedWrite(uint16_t code, uint32_t a, uint32_t bMask, uint32_t value) {
    Bytes b;
    put16(b, 5);
    put16(b, 14);
    put16(b, code);
    put32(b, a);
    put32(b, bMask);
    put32(b, value);
    return b;
}

Bytes otherRecord() {
    Bytes b;
    put16(b, 7);
    put16(b, 2);
    b.insert(b.end(), {0xAA, 0xBB});
    return b;
}

TEST(RegisterField, DecodedFromGetPrintParameters) {
    const Bytes block = concat({otherRecord(), registerWrite(0x30001000, 0xA5A5F00F),
                                maskedWrite(uint16_t(1u << 13 | 0x10), 0, 0, 0x12345678),
                                maskedWrite(uint16_t(0x20), 0x0000FF00, 0, 0xCAFEBABE),
                                maskedWrite(uint16_t(2u << 13 | 4), 0, 0, 0x00000F00)});
    struct Case {
        const char* what;
        uint32_t address;
        uint8_t low, high;
        TcsResult result;
        uint32_t value;
    };
    const Case cases[] = {
        {"whole register write", 0x30001000, 0, 31, 0, 0xA5A5F00F},
        {"low nibble", 0x30001000, 0, 3, 0, 0xF},
        {"bits 28-31", 0x30001000, 28, 31, 0, 0xA},
        {"space 1", 0x38000010, 4, 11, 0, 0x67},
        {"space 0 field clear of the masks", 0x30042020, 0, 7, 0, 0xBE},
        {"space 0 field under mask a", 0x30042020, 8, 15, 7, 0},
        {"space 2", 0x3800A004, 8, 11, 0, 0xF},
        {"not present", 0x12345678, 0, 31, 7, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint32_t value = 0xDEAD;
        ASSERT_EQ(tcsTestGetRegFieldValueFromGetPrintDataV4(block.data(), uint32_t(block.size()), c.address, c.low,
                                                            c.high, &value),
                  c.result);
        if (c.result == 0) {
            EXPECT_EQ(value, c.value);
        }
    }
}

TEST(RegisterField, Refusals) {
    uint32_t value = 0;
    const Bytes good = registerWrite(1, 2);
    Bytes wrongLength = good;
    wrongLength[2] = 8;
    wrongLength.pop_back();
    const Bytes space0TooFar = maskedWrite(uint16_t(4096), 0, 0, 0);
    const Bytes space3 = maskedWrite(uint16_t(3u << 13), 0, 0, 0);
    Bytes runsPast = registerWrite(1, 2);
    runsPast.resize(8);
    struct Case {
        const char* what;
        const uint8_t* block;
        uint32_t length;
        uint8_t low, high;
        TcsResult result;
    };
    const Case cases[] = {
        {"bit above 31", good.data(), uint32_t(good.size()), 0, 32, 17},
        {"null block", nullptr, 4, 0, 3, 40},
        {"empty block", good.data(), 0, 0, 3, 7},
        {"register write of the wrong length", wrongLength.data(), uint32_t(wrongLength.size()), 0, 3, 17},
        {"space 0 offset above 4095", space0TooFar.data(), uint32_t(space0TooFar.size()), 0, 3, 9},
        {"unknown space", space3.data(), uint32_t(space3.size()), 0, 3, 17},
        {"record running past the block", runsPast.data(), uint32_t(runsPast.size()), 0, 3, 17},
        {"high below low", good.data(), uint32_t(good.size()), 5, 4, 17},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(tcsTestGetRegFieldValueFromGetPrintDataV4(c.block, c.length, 0xFFFFFFFF, c.low, c.high, &value),
                  c.result);
    }
}

TEST(ConfigurationData, ValuesAndBlobsByIndex) {
    ScsFwVersion version{};
    version.id = 0x11223344;
    version.build = 77;
    version.major = 4;
    version.minor = 40;
    version.revision = 9;
    std::memcpy(version.serial, "ABCDEF", 6);
    version.byte22 = 0x21;
    version.capabilities = 0x10;
    reinterpret_cast<uint8_t*>(&version)[24] = 0x35;
    uint8_t reply[5] = {1, 2, 3, 4, 5};
    uint8_t pixels[6] = {};
    ScsBaseLineInfo baseline{};
    baseline.images[0] = {0, 3, 2, 0, pixels};
    ScsPrintConfigurationData record{};
    record.timeStamp = 1000;
    record.flexId = 12;
    record.transportKind = 2;
    record.configReply = reply;
    record.configReplyLength = 5;
    record.printCommand[0] = 100;
    record.printCommand[4] = 104;
    record.bitReduction[1] = 26;
    record.baseline = &baseline;

    struct Case {
        uint32_t index;
        uint32_t withVersion, withoutVersion;
    };
    const Case values[] = {{0, 1000, 1000}, {1, 12, 12},       {2, 2, 2},     {5, 0x11223344, 0}, {6, 77, 0},
                           {7, 4, 0},       {8, 40, 0},        {14, 9, 0},    {15, 0x35, 0},      {16, 100, 100},
                           {20, 3, 3},      {21, 2, 2},        {22, 0, 0},    {24, 104, 104},     {26, 26, 26}};
    for (const Case& c : values) {
        SCOPED_TRACE(c.index);
        uint32_t value = 0xDEAD;
        record.version = &version;
        ASSERT_EQ(tcsTestGetUint32DataFromConfigData(&record, c.index, &value), TCS_RESULT_OK);
        EXPECT_EQ(value, c.withVersion);
        record.version = nullptr;
        ASSERT_EQ(tcsTestGetUint32DataFromConfigData(&record, c.index, &value), TCS_RESULT_OK);
        EXPECT_EQ(value, c.withoutVersion);
    }
    uint32_t value = 0;
    EXPECT_EQ(tcsTestGetUint32DataFromConfigData(&record, 27, &value), 17u);
    EXPECT_EQ(tcsTestGetUint32DataFromConfigData(nullptr, 0, &value), 17u);

    record.version = &version;
    struct BlobCase {
        uint32_t index;
        const uint8_t* data;
        uint32_t length;
    };
    const BlobCase blobs[] = {{0, version.serial, 6}, {1, &version.byte22, 2}, {2, nullptr, 0}, {3, reply, 5},
                              {4, nullptr, 0},        {5, pixels, 6},          {6, nullptr, 0}};
    for (const BlobCase& c : blobs) {
        SCOPED_TRACE(c.index);
        const uint8_t* data = reinterpret_cast<const uint8_t*>(1);
        uint32_t length = 99;
        ASSERT_EQ(tcsTestGetBlobDataFromConfigData(&record, c.index, &data, &length), TCS_RESULT_OK);
        EXPECT_EQ(data, c.data);
        EXPECT_EQ(length, c.length);
    }
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(tcsTestGetBlobDataFromConfigData(&record, 7, &data, &length), 17u);
    record.version = nullptr;
    ASSERT_EQ(tcsTestGetBlobDataFromConfigData(&record, 0, &data, &length), TCS_RESULT_OK);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(length, 0u);
}

TEST(LedState, CopiesTheHeaderAndTheKeptBytesOfEachLed) {
    uint8_t source[160];
    for (size_t i = 0; i < sizeof source; ++i) source[i] = uint8_t(i + 1);
    uint8_t destination[160];
    std::memset(destination, 0, sizeof destination);
    ASSERT_EQ(tcsTestSetLEDStateEx2ToScsCmdSetLEDStateEx2(source, destination), TCS_RESULT_OK);
    for (size_t i = 0; i < sizeof source; ++i) {
        bool copied = i < 4;
        if (!copied) {
            const size_t inRecord = (i - 4) % 26;
            copied = inRecord < 8 || (inRecord - 8) % 6 < 2;
        }
        EXPECT_EQ(destination[i], copied ? source[i] : 0) << i;
    }
    EXPECT_EQ(tcsTestSetLEDStateEx2ToScsCmdSetLEDStateEx2(nullptr, destination), 40u);
}

TEST(FixedResults, StubsAndArgumentChecksWithoutAStack) {
    struct Case {
        const char* what;
        TcsResult result;
        TcsResult expected;
    };
    uint32_t u32 = 0;
    uint8_t u8 = 0;
    uint8_t buffer[256] = {};
    uint64_t u64 = 0;
    TcsTestContext* context = nullptr;
    TcsTestContext noClient{reinterpret_cast<CoreSubsystem*>(1), 0};
    TcsTestContext noStack{nullptr, 5};
    const Case cases[] = {
        {"service manager", tcsTestSensorServiceManager(), 6},
        {"selective suspend stub", tcsTestSensorSelectiveSuspend(), 6},
        {"engineering port", tcsTestIsEngineeringPort(), 6},
        {"engineering list", tcsTestGetEngineeringSensorsList(), 6},
        {"control message", tcsTestSendControlMessage(), 6},
        {"LED state ex2", tcsTestSensorSetLEDStateEx2(), 221},
        {"SPI flash", tcsTestSensorSPIFlash(), 221},
        {"CFGTSBL", tcsTestDunmoGetCFGTSBL(), 221},
        {"validate null", tcsTestValidateTestSubsystem(nullptr), 4},
        {"validate no client", tcsTestValidateTestSubsystem(&noClient), 16},
        {"validate no stack", tcsTestValidateTestSubsystem(&noStack), 216},
        {"initialise without out", tcsTestInitializeEx(nullptr, 0, nullptr, nullptr, nullptr), 13},
        {"initialise without callback", tcsTestInitializeEx(&context, 0, nullptr, nullptr, nullptr), 40},
        {"uninitialise null", tcsTestUninitialize(nullptr, nullptr, nullptr), 4},
        {"client handle of null", tcsTestGetClientHandle(nullptr, &u64), 4},
        {"open on null context", tcsTestSensorOpen(nullptr, &u64, "x", nullptr, nullptr), 4},
        {"close handle 0", tcsTestSensorClose(0, nullptr, nullptr), 14},
        {"initialised handle 0", tcsTestIsSensorInitialized(0), 14},
        {"reset and wait null", tcsTestResetAndWait(nullptr, "x"), 4},
        {"settings without name", tcsTestIsPersistentSettings(buffer, nullptr, &u32), 40},
        // The platform has no key name for a sensor id.
        {"settings", tcsTestIsPersistentSettings(buffer, "captureMode", &u32), 6},
        {"enable null sensor", tcsTestSensorEnable(nullptr), 17},
        {"discover null", tcsTestDiscoverRemoteSensors(nullptr), 40},
        {"free null configuration", tcsTestSensorFreeConfiguration(nullptr), 0},
        {"version of 0", tcsTestGetVersion(0, reinterpret_cast<char*>(buffer)), 14},
        {"peek of 0", tcsTestPeek(0, 0, 4, &u32), 14},
        {"poke of 0", tcsTestPoke(0, 0, 4, 0), 14},
        {"raw command of 0", tcsTestSensorSendCommand(0, buffer, 1, buffer, &u32), 14},
        {"noop of 0", tcsTestNoop(0), 14},
        {"OTP read of 0", tcsTestSensorOtpRead(0, buffer, nullptr), 14},
        {"OTP read ex bank", tcsTestSensorOtpReadEx(1, 2, 1, buffer, nullptr), 44},
        {"provision of 0", tcsTestSensorProvision(0, 52, buffer, nullptr), 14},
        {"patched of 0", tcsTestSensorIsPatched(0, &u8), 14},
        {"protocol null out", tcsTestGetCmdProtocolVersion(1, nullptr), 13},
        {"product family null out", tcsTestSensorGetProductFamily(1, nullptr), 13},
        {"calibration handle null out", tcsTestSensorGetCalibrationResultsHandle(1, nullptr), 17},
        {"finger state null out", tcsTestSensorGetFingerState(1, nullptr), 40},
        {"WOE configuration null", tcsTestSetWOEConfiguration(1, nullptr, 4), 17},
        {"default WOE null outs", tcsTestGetDefaultWOEConfiguration(1, 0, nullptr, &u32), 17},
        {"fingerprint null out", tcsTestSensorGetFingerprint(1, nullptr, nullptr, nullptr, 0, 10), 13},
        {"IR metrics null", tcsTestImageGetIRMetrics(0, buffer), 40},
        {"flash info of database 0", tcsTestGetFlashInfo(0, &u32, &u32), 4},
        {"flash info without outs", tcsTestGetFlashInfo(1, nullptr, nullptr), 40},
        {"FSS report without stream", tcsTestPrintFSSStat(nullptr, 1), 40},
        {"sign without key", tcsTestSignDataByPrivK(nullptr, 0, buffer, 32, 0, buffer, &u32), 40},
        {"secure communication of 0", tcsTestSecureCommunication(0, buffer, 32), 14},
        {"harlok data free null", tcsTestSensorFreeHarlokConfigData(nullptr), 40},
        {"config data free null", tcsTestSensorFreeConfigData(nullptr), 40},
        {"calibration results null", tcsTestGetCalibrationResultsFromConfigData(nullptr, nullptr, &u32, &u32, &u32),
         17},
    };
    for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.what;
}

}  // namespace

namespace {

// The flash reports of a database, over a database record on a host flash image.
class DatabaseFlash : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(tcsSafeHandlesInitialize(), TCS_RESULT_OK);
        image_ = tempPath("flash.img");
        const std::string url = "file://" + image_;
        ASSERT_EQ(fssFormatDB(nullptr, FSS_BACKEND_HOST_FILE, "/db", url.c_str()), TCS_RESULT_OK);
        ASSERT_EQ(fssOpenEx(nullptr, FSS_BACKEND_HOST_FILE, &fileSystem_, url.c_str()), TCS_RESULT_OK);
        database_ = static_cast<DssDatabase*>(palRealMalloc(sizeof(DssDatabase)));
        std::memset(database_, 0, sizeof(DssDatabase));
        database_->fileSystem = fileSystem_;
        ASSERT_EQ(tcsSafeDBHandleCreate(database_, &handle_), TCS_RESULT_OK);
    }
    void TearDown() override {
        database_->fileSystem = nullptr;
        tcsSafeDBHandleDestroy(handle_);
        fssClose(fileSystem_);
        tcsSafeHandlesUnInitialize();
        std::remove(image_.c_str());
    }
    std::string image_;
    FssHandle* fileSystem_ = nullptr;
    DssDatabase* database_ = nullptr;
    TcsHandle handle_ = 0;
};

TEST_F(DatabaseFlash, StatisticsReport) {
    FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(tcsTestPrintFSSStat(out, handle_), TCS_RESULT_OK);
    std::fflush(out);
    std::rewind(out);
    std::string report;
    char chunk[512];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, out)) > 0) report.append(chunk, n);
    std::fclose(out);

    const FssMount& m = *fileSystem_->mount;
    const uint32_t pagesPerSector = m.sectorSize / m.pageSize;
    char expected[1024];
    std::snprintf(expected, sizeof expected,
                  "  Flash size.............................%u\n"
                  "  Flash uses sys file....................%s\n"
                  "  Flash system sector count..............%u\n"
                  "  Flash sector size......................%u\n"
                  "  Flash sectors count....................%u\n"
                  "  Number of Pages in sector..............%u\n"
                  "  Flash page size........................%u\n",
                  m.capacity, m.cacheSectors != 0 ? "Yes" : "No", unsigned(m.cacheSectors), m.sectorSize,
                  unsigned(m.sectorCount), pagesPerSector, unsigned(m.pageSize));
    ASSERT_EQ(report.substr(0, std::strlen(expected)), expected);
    // One block per sector, the active one marked.
    size_t blocks = 0, active = 0;
    for (size_t at = report.find("\n  Sector_"); at != std::string::npos; at = report.find("\n  Sector_", at + 1)) {
        ++blocks;
        const size_t end = report.find('\n', at + 1);
        if (report.compare(end - 6, 6, "Active") == 0) ++active;
    }
    EXPECT_EQ(blocks, m.sectorCount);
    EXPECT_EQ(active, 1u);
    const fssdetail::SectorState& first = m.sectors[0];
    const char* typeName = first.type == 255 ? "Reserved" : first.type == 14 ? "Data" : first.type == 12 ? "SysFile" : "Unknown";
    std::snprintf(expected, sizeof expected,
                  "\n  Sector_0 (%s) %s\n"
                  "        Start address......... 0x%08x\n"
                  "        Is free............... %s\n"
                  "        Obsolete page count... %d\n"
                  "        Available page count.. %d\n"
                  "        Valid page count...... %d\n"
                  "        Formatted count....... %d\n",
                  typeName, m.currentSector == 0 ? "Active" : "", first.address, first.fresh == 1 ? "Yes" : "No",
                  int(first.obsolete), int(pagesPerSector + 1) - int(first.nextFree),
                  int(first.nextFree) - 1 - int(first.obsolete), int(first.eraseCount));
    EXPECT_NE(report.find(expected), std::string::npos) << report.substr(0, 600);
}

TEST_F(DatabaseFlash, CapacityStoreSizeAndFreeSpace) {
    uint32_t capacity = 0, storeSize = 0, rawCapacity = 0, rawStore = 0;
    ASSERT_EQ(fileSystem_->ops.getFlashInfo(fileSystem_->backend, &rawCapacity, &rawStore), TCS_RESULT_OK);
    ASSERT_EQ(tcsTestGetFlashInfo(handle_, &capacity, &storeSize), TCS_RESULT_OK);
    EXPECT_EQ(capacity, rawCapacity);
    const FssMount& m = *fileSystem_->mount;
    EXPECT_EQ(storeSize, rawStore - uint32_t(m.cacheSectors) * m.sectorSize) << "without the system-file sectors";
    uint32_t free = 0, expectedFree = 0;
    ASSERT_EQ(fssGetFreeSpace(fileSystem_, &expectedFree), TCS_RESULT_OK);
    ASSERT_EQ(tcsTestGetFlashFreeSpace(handle_, &free), TCS_RESULT_OK);
    EXPECT_EQ(free, expectedFree);
    // An unknown handle: the look-up's 0 and nothing else.
    free = 5;
    EXPECT_EQ(tcsTestGetFlashFreeSpace(handle_ + 100, &free), TCS_RESULT_OK);
    EXPECT_EQ(free, 5u);
    EXPECT_EQ(tcsTestGetFlashFreeSpace(0, &free), 14u);
    // A database without a file system.
    database_->fileSystem = nullptr;
    EXPECT_EQ(tcsTestGetFlashFreeSpace(handle_, &free), 17u);
    EXPECT_EQ(tcsTestPrintFSSStat(stdout, handle_), 17u);
    database_->fileSystem = fileSystem_;
}

}  // namespace
