// Persistent settings: round trips through the text file, prefix matching, buffers, hand-edited files.

#include "platform/settings.h"
#include "platform/test_seams.h"

#include "scratch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kIr = "SOFTWARE\\Tovantic\\IR";

// Each test owns its settings file; the system's own is never touched.
class Settings : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = tovtest::scratchPath("settings");
        palTestSetSettingsPath(path_.c_str());
    }
    void TearDown() override {
        std::remove(path_.c_str());
        palTestSetSettingsPath(nullptr);
    }
    std::string fileText() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void writeFile(const std::string& text) const { std::ofstream(path_, std::ios::binary) << text; }
    std::string getString(const char* section, const char* name, const char* fallback = "none") const {
        char buffer[256];
        uint32_t size = sizeof buffer;
        EXPECT_EQ(palGetPersistentDataStringValue(section, name, fallback, uint32_t(std::strlen(fallback) + 1), buffer,
                                                  &size),
                  TCS_RESULT_OK);
        return buffer;
    }

    std::string path_;
};

}  // namespace

TEST_F(Settings, MissingFileIsCreatedEmptyAndGivesTheDefault) {
    uint32_t value = 0;
    EXPECT_EQ(palGetPersistentDataLongValue(kIr, "Gain", 17, &value), TCS_RESULT_OK);
    EXPECT_EQ(value, 17u);
    EXPECT_EQ(access(path_.c_str(), F_OK), 0);
    EXPECT_EQ(fileText(), "");
    EXPECT_EQ(getString(kIr, "Path", "dflt"), "dflt");
}

TEST_F(Settings, FileFormatOfStringNumberAndBytes) {
    const uint8_t bytes[] = {0x0A, 0xFF};
    ASSERT_EQ(palSetPersistentDataBinaryValue(kIr, "Key", bytes, 2), TCS_RESULT_OK);
    ASSERT_EQ(palSetPersistentDataLongValue(kIr, "Max", 0xFFFFFFFFu), TCS_RESULT_OK);
    ASSERT_EQ(palSetPersistentDataStringValue("SOFTWARE\\Tovantic\\LED", "Mode", "blink", 6), TCS_RESULT_OK);
    ASSERT_EQ(palSetPersistentDataStringValue(kIr, "Empty", "", 1), TCS_RESULT_OK);
    EXPECT_EQ(fileText(),
              "[SOFTWARE\\Tovantic\\IR]\nKey[4]\n0AFF\nMax[10]\n4294967295\nEmpty[0]\n\n"
              "[SOFTWARE\\Tovantic\\LED]\nMode[5]\nblink\n");

    uint32_t max = 0;
    EXPECT_EQ(palGetPersistentDataLongValue(kIr, "Max", 0, &max), TCS_RESULT_OK);
    EXPECT_EQ(max, 0xFFFFFFFFu);
    EXPECT_EQ(getString(kIr, "Empty"), "");
    EXPECT_EQ(getString("SOFTWARE\\Tovantic\\LED", "Mode"), "blink");

    uint8_t read[8] = {};
    uint32_t count = 0;
    const uint8_t none[1] = {};
    EXPECT_EQ(palGetPersistentDataBinaryValue(kIr, "Key", none, 0, nullptr, &count), TCS_RESULT_OK);
    EXPECT_EQ(count, 2u);  // query first, then read with the reported count
    EXPECT_EQ(palGetPersistentDataBinaryValue(kIr, "Key", none, 0, read, &count), TCS_RESULT_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(read[0], 0x0A);
    EXPECT_EQ(read[1], 0xFF);
}

TEST_F(Settings, NamesMatchAsPrefixes) {
    ASSERT_EQ(palSetPersistentDataStringValue(kIr, "SaveImage", "yes", 3), TCS_RESULT_OK);
    // A request for "Save" finds and replaces "SaveImage".
    ASSERT_EQ(palSetPersistentDataStringValue(kIr, "Save", "no", 2), TCS_RESULT_OK);
    EXPECT_EQ(fileText(), "[SOFTWARE\\Tovantic\\IR]\nSaveImage[2]\nno\n");
    EXPECT_EQ(getString(kIr, "Save"), "no");

    // A section stored under a longer name is the one a shorter request reaches.
    writeFile("[SOFTWARE\\Tovantic\\IR2]\nGain[1]\n5\n");
    ASSERT_EQ(palSetPersistentDataLongValue(kIr, "Gain", 9), TCS_RESULT_OK);
    EXPECT_EQ(fileText(), "[SOFTWARE\\Tovantic\\IR2]\nGain[1]\n9\n");

    // Getters search later matching sections when an earlier one lacks the value.
    writeFile("[SOFTWARE\\Tovantic\\IR1]\nA[1]\n1\n[SOFTWARE\\Tovantic\\IR2]\nB[1]\n2\n");
    EXPECT_EQ(getString(kIr, "B"), "2");
}

TEST_F(Settings, RemoverMatchesTheOtherWayRound) {
    writeFile("[SOFTWARE\\Tovantic]\nSave[1]\n1\nSaveImage[1]\n2\n");
    // Stored names must be prefixes of the request: "Sav" reaches nothing, the file stays as it was.
    EXPECT_EQ(palRemovePersistentDataValue("SOFTWARE\\Tovantic\\IR", "Sav"), TCS_RESULT_OK);
    EXPECT_EQ(fileText(), "[SOFTWARE\\Tovantic]\nSave[1]\n1\nSaveImage[1]\n2\n");
    EXPECT_EQ(palRemovePersistentDataValue("SOFTWARE\\Tovantic\\IR", "SaveImagePath"), TCS_RESULT_OK);
    EXPECT_EQ(fileText(), "[SOFTWARE\\Tovantic]\nSaveImage[1]\n2\n");
}

TEST_F(Settings, StringBufferSizes) {
    ASSERT_EQ(palSetPersistentDataStringValue(kIr, "Path", "/var/x", 6), TCS_RESULT_OK);
    char buffer[16] = "untouched";
    uint32_t size = 6;
    EXPECT_EQ(palGetPersistentDataStringValue(kIr, "Path", "d", 2, buffer, &size), TCS_RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 6u);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(palGetPersistentDataStringValue(kIr, "Path", "d", 2, nullptr, &size), TCS_RESULT_OK);
    EXPECT_EQ(size, 7u);  // with the NUL
    EXPECT_EQ(palGetPersistentDataStringValue(kIr, "Path", "d", 2, buffer, &size), TCS_RESULT_OK);
    EXPECT_STREQ(buffer, "/var/x");

    // Missing value: the default's size, and a too-small buffer is refused as well.
    EXPECT_EQ(palGetPersistentDataStringValue(kIr, "Other", "dflt", 5, nullptr, &size), TCS_RESULT_OK);
    EXPECT_EQ(size, 5u);
    size = 4;
    EXPECT_EQ(palGetPersistentDataStringValue(kIr, "Other", "dflt", 5, buffer, &size), TCS_RESULT_BUFFER_TOO_SMALL);
    size = sizeof buffer;
    EXPECT_EQ(palGetPersistentDataStringValue(kIr, "Other", "dflt", 5, buffer, &size), TCS_RESULT_OK);
    EXPECT_STREQ(buffer, "dflt");
    EXPECT_EQ(size, uint32_t(sizeof buffer));  // left as given
    EXPECT_EQ(palGetPersistentDataStringValue(kIr, "Other", nullptr, 0, buffer, &size), TCS_RESULT_NULL_POINTER);
}

TEST_F(Settings, MissingBytesGiveTheDefault) {
    const uint8_t fallback[] = {1, 2, 3};
    uint32_t count = 0;
    EXPECT_EQ(palGetPersistentDataBinaryValue(kIr, "Key", fallback, 3, nullptr, &count), TCS_RESULT_OK);
    EXPECT_EQ(count, 3u);
    uint8_t read[3] = {};
    EXPECT_EQ(palGetPersistentDataBinaryValue(kIr, "Key", fallback, 3, read, &count), TCS_RESULT_OK);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(read[2], 3);
    count = 2;
    EXPECT_EQ(palGetPersistentDataBinaryValue(kIr, "Key", fallback, 3, read, &count), TCS_RESULT_BUFFER_TOO_SMALL);
}

TEST_F(Settings, NullArguments) {
    uint32_t value;
    uint8_t byte = 0;
    struct Case {
        TcsResult got;
        TcsResult expected;
    };
    for (auto [got, expected] : std::initializer_list<Case>{
             {palSetPersistentDataStringValue(nullptr, "n", "t", 1), TCS_RESULT_NULL_POINTER},
             {palSetPersistentDataStringValue(kIr, nullptr, "t", 1), TCS_RESULT_NULL_POINTER},
             {palSetPersistentDataStringValue(kIr, "n", nullptr, 1), TCS_RESULT_NULL_POINTER},
             {palSetPersistentDataLongValue(kIr, nullptr, 1), TCS_RESULT_NULL_POINTER},
             {palSetPersistentDataBinaryValue(kIr, "n", nullptr, 1), TCS_RESULT_BAD_PARAM},
             {palGetPersistentDataStringValue(kIr, "n", "d", 2, nullptr, nullptr), TCS_RESULT_NULL_POINTER},
             {palGetPersistentDataLongValue(kIr, "n", 0, nullptr), TCS_RESULT_NULL_POINTER},
             {palGetPersistentDataBinaryValue(kIr, "n", nullptr, 0, &byte, &value), TCS_RESULT_NULL_POINTER},
             {palRemovePersistentDataValue(nullptr, "n"), TCS_RESULT_NULL_POINTER}}) {
        EXPECT_EQ(got, expected);
    }
}

TEST_F(Settings, RegistryQueriesAreNotImplementedAndTouchNothing) {
    char name[16];
    uint32_t size = sizeof name;
    uint32_t first = 0, second = 0;
    struct Case {
        TcsResult got;
        TcsResult expected;
    };
    for (auto [got, expected] : std::initializer_list<Case>{
             {palGetPersistentQueryInfo(nullptr, &first, &second), TCS_RESULT_NULL_POINTER},
             {palGetPersistentQueryInfo(kIr, &first, &second), TCS_RESULT_NOT_IMPLEMENTED},
             {palGetPersistentEnumValue(nullptr, 0, name, &size), TCS_RESULT_NULL_POINTER},
             {palGetPersistentEnumValue(kIr, 0, name, &size), TCS_RESULT_NOT_IMPLEMENTED},
             {palGetPersistentEnumKey(nullptr, 0, name, &size), TCS_RESULT_NULL_POINTER},
             {palGetPersistentEnumKey(kIr, 0, name, &size), TCS_RESULT_NOT_IMPLEMENTED},
             {palCreatePersistentKey(nullptr), TCS_RESULT_NULL_POINTER},
             {palCreatePersistentKey(kIr), TCS_RESULT_NOT_IMPLEMENTED},
             {palDeletePersistentKey(nullptr), TCS_RESULT_NULL_POINTER},
             {palDeletePersistentKey(kIr), TCS_RESULT_NOT_IMPLEMENTED},
             {palVerifyPersistentKeyExistence(kIr, nullptr), TCS_RESULT_NULL_POINTER},
             {palVerifyPersistentKeyExistence(nullptr, "Gain"), TCS_RESULT_NULL_POINTER},
             {palVerifyPersistentKeyExistence(kIr, "Gain"), TCS_RESULT_NOT_IMPLEMENTED},
             {palGetPersistentKeyNameFromSensorId("usb#Vid_2e7b", name, sizeof name), TCS_RESULT_NOT_IMPLEMENTED}}) {
        EXPECT_EQ(got, expected);
    }
    EXPECT_EQ(access(path_.c_str(), F_OK), -1);  // none of them reads or creates the file
}

TEST_F(Settings, TextsThatWouldNotReadBackAreRefused) {
    ASSERT_EQ(palSetPersistentDataStringValue(kIr, "Keep", "1", 1), TCS_RESULT_OK);
    for (const char* text : {"two\nlines", "a[b]", " leading", "\tleading"}) {
        EXPECT_EQ(palSetPersistentDataStringValue(kIr, "Bad", text, 16), TCS_RESULT_BAD_PARAM) << text;
    }
    EXPECT_EQ(palSetPersistentDataStringValue(kIr, "Bad[1]", "x", 1), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(fileText(), "[SOFTWARE\\Tovantic\\IR]\nKeep[1]\n1\n");
}

TEST_F(Settings, HandEditedFilesAreReadSafely) {
    std::string huge(20000, 'A');
    writeFile("Stray[3]\nabc\n"                        // a value before any section: skipped
              "[S]\nBig[20000]\n" + huge + "\n"         // longer than the line buffer: read whole
              "Damaged[99999999]\nxyz\n"              // a length past any real value: skipped
              "Ok[2]\nhi\n"
              "Twice[1]\n1\n2\n"                        // a second text line is ignored
              "Cut[5]\nab  \r\n"                        // trailing blanks are cut
              "Last[3\n"                                // no "]": ends the reading, value kept empty
              "Never[1]\nx\n");
    PalListEntry head;
    ASSERT_EQ(palReadAllPersistentData(&head), TCS_RESULT_OK);
    std::string seen;
    for (PalListEntry* s = head.next; s != &head; s = s->next) {
        auto* section = PAL_LIST_RECORD(s, PersistentSection, links);
        seen += std::string("[") + section->name + "]";
        for (PalListEntry* v = section->values.next; v != &section->values; v = v->next) {
            auto* value = PAL_LIST_RECORD(v, PersistentValue, links);
            seen += std::string(value->name) + "=" + value->text + ";";
        }
    }
    palFreeAllPersistentData(&head);
    EXPECT_EQ(seen, "[S]Big=" + huge + ";Ok=hi;Twice=1;Cut=ab;Last=;");
}

// A sensor paired by password keeps its 64 KiB raw partition here: 131072 hex characters, far
// past the reader's line buffer, must come back byte for byte with the values around it.
TEST_F(Settings, LargeBinaryValuesRoundTrip) {
    std::vector<uint8_t> raw(0x10000);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i * 7 + (i >> 8));
    ASSERT_EQ(palSetPersistentDataStringValue(kIr, "Before", "b", 1), TCS_RESULT_OK);
    ASSERT_EQ(palSetPersistentDataBinaryValue(kIr, "RAW", raw.data(), uint32_t(raw.size())), TCS_RESULT_OK);
    ASSERT_EQ(palSetPersistentDataStringValue(kIr, "After", "a", 1), TCS_RESULT_OK);
    const uint8_t none = 0;
    uint32_t count = 0;
    ASSERT_EQ(palGetPersistentDataBinaryValue(kIr, "RAW", &none, 0, nullptr, &count), TCS_RESULT_OK);
    ASSERT_EQ(count, raw.size());
    std::vector<uint8_t> back(count);
    ASSERT_EQ(palGetPersistentDataBinaryValue(kIr, "RAW", &none, 0, back.data(), &count), TCS_RESULT_OK);
    EXPECT_EQ(back, raw);
    char text[4];
    uint32_t size = sizeof text;
    ASSERT_EQ(palGetPersistentDataStringValue(kIr, "After", "", 1, text, &size), TCS_RESULT_OK);
    EXPECT_STREQ(text, "a");
}

TEST_F(Settings, ConcurrentWritersDoNotLoseEachOthersValues) {
    auto writer = [](const char* name) {
        for (uint32_t i = 1; i <= 20; ++i) palSetPersistentDataLongValue(kIr, name, i);
    };
    std::thread a(writer, "Alpha"), b(writer, "Beta");
    a.join();
    b.join();
    uint32_t alpha = 0, beta = 0;
    palGetPersistentDataLongValue(kIr, "Alpha", 0, &alpha);
    palGetPersistentDataLongValue(kIr, "Beta", 0, &beta);
    EXPECT_EQ(alpha, 20u);
    EXPECT_EQ(beta, 20u);
}
