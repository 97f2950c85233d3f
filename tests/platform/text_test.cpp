// Strings and byte order: bounded copies refuse, only palSprintf cuts, prefix tests, widening.

#include "platform/text.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(PlatformText, BoundedCopiesRefuseRatherThanCut) {
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(palStrcpy(buffer, 5, "hello"), nullptr);
    EXPECT_EQ(buffer[0], 'x');  // untouched
    EXPECT_EQ(palStrcpy(buffer, 6, "hello"), buffer);
    EXPECT_STREQ(buffer, "hello");

    EXPECT_EQ(palStrcat(buffer, 8, "abc"), nullptr);  // 5 + 3 + 1 > 8
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(palStrcat(buffer, 9, "abc"), buffer);
    EXPECT_STREQ(buffer, "helloabc");

    char target[4] = {'q', 'q', 'q', 'q'};
    EXPECT_EQ(palStrncpy(target, 3, "abcdef", 4), nullptr);
    EXPECT_EQ(target[0], 'q');
    EXPECT_EQ(palStrncpy(target, 4, "abcdef", 4), target);
    EXPECT_EQ(std::memcmp(target, "abcd", 4), 0);  // exactly count bytes, no NUL

    EXPECT_EQ(palStrcpy(nullptr, 4, "a"), nullptr);
    EXPECT_EQ(palStrcpy(buffer, 4, nullptr), nullptr);
}

TEST(PlatformText, SprintfCutsAndSaysSoWithAllOnes) {
    char buffer[16];
    EXPECT_EQ(palSprintf(buffer, 10, "%s", "0123456789"), 0xFFFFFFFFu);
    EXPECT_STREQ(buffer, "012345678");
    EXPECT_EQ(palSprintf(buffer, 11, "%s", "0123456789"), 10u);
    EXPECT_STREQ(buffer, "0123456789");
    EXPECT_EQ(palAsciiSprintf(buffer, sizeof buffer, "%d-%02X", 7, 0xA), 4u);
    EXPECT_STREQ(buffer, "7-0A");
    EXPECT_EQ(palSprintf(buffer, 0, "x"), 0xFFFFFFFFu);
}

TEST(PlatformText, PrefixTests) {
    struct Case {
        const char* first;
        const char* second;
        bool match;
        bool imatch;
    };
    for (auto c : std::initializer_list<Case>{{"SaveImagePath", "SaveImage", true, true},
                                               {"Save", "SaveImage", false, false},
                                               {"anything", "", true, true},
                                               {"SOFTWARE\\Tovantic\\IR2", "software\\tovantic\\ir", false, true},
                                               {"abc", "abd", false, false}}) {
        EXPECT_EQ(palStringsMatch(c.first, c.second), c.match) << c.first << " / " << c.second;
        EXPECT_EQ(palAsciiStringsMatch(c.first, c.second), c.match);
        EXPECT_EQ(palStringsIMatch(c.first, c.second), c.imatch) << c.first << " / " << c.second;
        EXPECT_EQ(palAsciiStringsIMatch(c.first, c.second), c.imatch);
    }
}

TEST(PlatformText, WideningIsSignedAndNarrowingKeepsLowByte) {
    uint16_t wide[4] = {1, 1, 1, 1};
    EXPECT_EQ(palAsciiToUnicodeString("\xE9", wide, 4), 2u);
    EXPECT_EQ(wide[0], 0xFFE9);
    EXPECT_EQ(wide[1], 0);
    EXPECT_EQ(palAsciiToUnicodeString("abcdef", wide, 4), 4u);  // three units and the NUL
    EXPECT_EQ(wide[2], 'c');
    EXPECT_EQ(wide[3], 0);
    EXPECT_EQ(palAsciiToUnicodeString("a", nullptr, 4), 0u);
    EXPECT_EQ(palAsciiToUnicodeString("a", wide, 0), 0u);

    const uint16_t units[] = {0x0141, 'b', 0};
    char narrow[4];
    EXPECT_EQ(palUnicodeToAsciiString(units, narrow, sizeof narrow), 3u);
    EXPECT_EQ(uint8_t(narrow[0]), 0x41);
    EXPECT_EQ(narrow[1], 'b');
}

TEST(PlatformText, MemoryHelpers) {
    const uint8_t a[] = {1, 0x80}, b[] = {1, 0x7F};
    EXPECT_EQ(palMemcmp(a, b, 2), 1);  // compared unsigned
    EXPECT_EQ(palMemcmp(b, a, 2), -1);
    EXPECT_EQ(palMemcmp(a, b, 1), 0);
    EXPECT_EQ(palMemcmp(a, b, 0), 0);
    char text[8] = "abcdef";
    EXPECT_EQ(palMemmove(text + 1, 0, text, 3), 3u);
    EXPECT_STREQ(text, "aabcef");
    EXPECT_FALSE(palIsSpace(char(0xA0)));
    EXPECT_TRUE(palIsSpace('\t'));
    char mixed[] = "MiXeD";
    EXPECT_EQ(palToLower(mixed), 1u);
    EXPECT_STREQ(mixed, "mixed");
}

TEST(PlatformText, SensorByteOrderIsLittleEndian) {
    const uint8_t wire[4] = {0x78, 0x56, 0x34, 0x12};
    uint32_t raw32;
    uint16_t raw16;
    std::memcpy(&raw32, wire, 4);
    std::memcpy(&raw16, wire, 2);
    EXPECT_EQ(palSensorToHost32(raw32), 0x12345678u);
    EXPECT_EQ(palSensorToHost16(raw16), 0x5678u);
    EXPECT_EQ(palHostToSensor32(palSensorToHost32(raw32)), raw32);
    EXPECT_EQ(palHostToSensor16(palSensorToHost16(raw16)), raw16);
}
