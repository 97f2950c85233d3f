// Result messages, the last-error record and its reporting forms, the path builder and input routines.
#include "wrappers/fprint/tfs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <stdio_ext.h>
#include <initializer_list>
#include <string>
#include <unistd.h>

namespace {

TEST(ResultMessages, TextsOfCodes) {
    struct Case {
        uint32_t code;
        const char* text;
    };
    for (auto [code, text] : std::initializer_list<Case>{
             {0, "Operation Successful"},
             {7, "Placeholder until a real return code can be thought up."},
             {24, "The call to DeviceDeactivate returned false"},
             {43, "The command request is too short; it do not have the minimum amount of data to be processed."},
             {55, "The end of file has been reached."},
             {56, "General error occurred."},
             {59, "General error occurred."},
             {64, "Template file creation failed."},
             {87, "Template file creation failed."},
             {80, "TCS_RESULT_INVALID_DATABASE_SPEC"},
             {88, "User finger is already enrolled."},
             {89, "General error occurred."},
             {200, "Sensor is not opened completely."},
             {201, "General error occurred."},
             {224, "Zero length reply received."},
             {308, "Failed to check image quality."},
             {359, "False triggerring occurred."},
             {368, "Cookie verification failed"},
             {371, "Identification succeeded however enrollment data ID not found "},
             {376, "General error occurred."},
             {382, "General error occurred."},
             {383, "SSL communication error."},
             {388, "SSL communication error."},
             {389, "General error occurred."},
             {390, "SSL communication error."},
             {397, "Specified file/folder doesn't exist in the database. Database is corrupted. Please use "
                   "corresponding menu option to erase the database."},
             {401, "Data is corrupted: checksum is not vaild. Please use corresponding menu option to erase the "
                   "database."},
             {405, "General error occurred."},
             {413, "Failed to open an event object."},
             {500, "Service was stopped."},
             {510, "Operation was denied. The specified user already exists in the database.\nNeed to identify "
                   "first to be able to accomplish the operation."},
             {513, "Sensor is probably removed."},
             {1001, "General error occurred."},
             {1005, "No sensors found."},
             {1006, "General error occurred."},
             {0xFFFFFFFFu, "General error occurred."},
         }) {
        EXPECT_STREQ(tcsErrorToString(code), text) << code;
    }
}

TEST(ResultMessages, InformationAndRemovalCodes) {
    struct Case {
        uint32_t code;
        uint32_t info, removal, groupRemoval;
    };
    for (auto [code, info, removal, groupRemoval] : std::initializer_list<Case>{
             {0, 0, 0, 0},     {14, 0, 1, 1},    {19, 1, 1, 1},    {22, 1, 1, 1},    {200, 1, 1, 1},
             {360, 0, 1, 1},   {510, 1, 0, 0},   {1003, 0, 0, 0},  {1004, 1, 0, 1},  {1005, 1, 0, 1},
             {1006, 1, 0, 0},  {1007, 1, 0, 0},  {1009, 1, 0, 0},  {1010, 0, 0, 0},  {40, 0, 0, 0},
         }) {
        EXPECT_EQ(isInfoMsg(code), info) << code;
        EXPECT_EQ(IsSensorRemovalError(int(code)), removal) << code;
        EXPECT_EQ(GroupIsSensorRemoved(code), groupRemoval) << code;
    }
}

TEST(LastError, ComposedTextFollowsCodeAndFlag) {
    struct Case {
        uint32_t code;
        uint32_t flag;
        const char* text;
        const char* expected;
    };
    for (auto [code, flag, text, expected] : std::initializer_list<Case>{
             {1006, 0, "No sensors found.", "No sensors found."},
             {1006, 1, "No sensors found.", "General error occurred. : No sensors found."},
             {22, 1, "tcsSensorOpen failed (22)", "Failed to open sensor. : tcsSensorOpen failed (22)"},
             {0, 1, "ignored", "Operation Successful"},
             {17, 1, nullptr, "One of the parameters specified is outside the range of acceptable values."},
         }) {
        AppLastError record{};
        record.code = code;
        record.isError = flag;
        record.text = const_cast<char*>(text);
        char buffer[512];
        EXPECT_STREQ(tcsErrorToStringEx(buffer, sizeof buffer, record), expected) << code << " " << flag;
    }
    // A small buffer truncates rather than overruns.
    AppLastError record{};
    record.code = 2;
    char small[8];
    EXPECT_STREQ(tcsErrorToStringEx(small, sizeof small, record), "Out of ");
}

TEST(LastError, ReportFormsAddFileAndLineOnlyForErrorCodes) {
    struct Case {
        uint32_t flag;
        TcsResult code;
        const char* expected;
    };
    for (auto [flag, code, expected] : std::initializer_list<Case>{
             {0, 1005, "No sensors found."},
             {0, 14, "pCtx->hSensor is TCS_NULL - groups.cpp(120)"},
             {1, 19, "pCtx->hSensor is TCS_NULL (19)"},
             {1, 22, "pCtx->hSensor is TCS_NULL (22)"},
             {1, 7, "pCtx->hSensor is TCS_NULL (7) - groups.cpp(120)"},
         }) {
        AppLastError record{};
        const char* message = code == 1005 ? "No sensors found." : "pCtx->hSensor is TCS_NULL";
        tfsReport(&record, flag, code, message, "/src/wrappers/fprint/groups.cpp", 120);
        ASSERT_NE(getAppLastError(record), nullptr);
        EXPECT_STREQ(getAppLastError(record), expected);
        EXPECT_EQ(record.code, uint32_t(code));
        EXPECT_EQ(record.isError, flag);
        clearAppLastError(&record);
        EXPECT_EQ(record.text, nullptr);
        EXPECT_EQ(record.code, 0u);
        EXPECT_EQ(record.isError, flag);  // the flag stays
    }
}

TEST(LastError, SettingAgainReplacesTheText) {
    AppLastError record{};
    ASSERT_NE(setAppLastError(&record, "first", 3), nullptr);
    char* second = setAppLastError(&record, "second", 4);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(record.text, "second");
    EXPECT_EQ(record.code, 4u);
    clearAppLastError(&record);
    clearAppLastError(&record);  // twice is harmless
    clearAppLastError(nullptr);
}

TEST(ClientUtilities, FileNameOfPath) {
    struct Case {
        const char* path;
        const char* name;
    };
    for (auto [path, name] : std::initializer_list<Case>{
             {"a/b/c.cpp", "c.cpp"},
             {"c:\\src\\x.cpp", "x.cpp"},
             {"c:\\src/sub/x.cpp", "src/sub/x.cpp"},  // the backslash is looked for first
             {"plain.cpp", "plain.cpp"},
             {"dir/", ""},
         }) {
        EXPECT_STREQ(getFileName(path), name) << path;
    }
    EXPECT_EQ(getFileName(nullptr), nullptr);
}

TEST(ClientUtilities, DatabasePath) {
    char out[512];
    EXPECT_EQ(getDatabaseFullPath(out, sizeof out, "sensor://db/users", 1, nullptr, nullptr), TCS_RESULT_OK);
    EXPECT_STREQ(out, "sensor://db/users");
    EXPECT_EQ(getDatabaseFullPath(out, sizeof out, "http://x/users", 1, nullptr, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(getDatabaseFullPath(nullptr, sizeof out, "file://users", 1, nullptr, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(getDatabaseFullPath(out, sizeof out, nullptr, 1, nullptr, nullptr), TCS_RESULT_NULL_POINTER);

    char cwd[300];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(getDatabaseFullPath(out, sizeof out, "file:///var/x/users", 0x1234, nullptr, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(std::string(out), std::string("file://") + cwd + "/users_1234_" + std::string(12, '0') + "_" +
                                    std::string(32, '0') + ".db");

    const uint8_t id6[6] = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x01};
    uint8_t id16[16];
    for (int i = 0; i < 16; ++i) id16[i] = uint8_t(i * 17);
    ASSERT_EQ(getDatabaseFullPath(out, sizeof out, "file://users", 0xab, id6, id16), TCS_RESULT_OK);
    EXPECT_EQ(std::string(out), std::string("file://") + cwd + "/users_00ab_deadbeef0001_00112233445566778899aabbccddeeff.db");

    const size_t needed = strlen(out) + 1;
    EXPECT_EQ(getDatabaseFullPath(out, uint32_t(needed), "file://users", 0xab, id6, id16), TCS_RESULT_OK);
    EXPECT_EQ(getDatabaseFullPath(out, uint32_t(needed - 1), "file://users", 0xab, id6, id16),
              TCS_RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(out[0], '\0');  // zero-filled first
}

TEST(ConsoleInput, TrimSpaces) {
    char text[] = " \t hello world \t ";
    EXPECT_STREQ(trim_spaces(text), "hello world");
    char blank[] = " \t ";
    EXPECT_STREQ(trim_spaces(blank), "");
    EXPECT_EQ(trim_spaces(nullptr), nullptr);
}

// Runs fn with stdin reading the given text.
template <typename Fn>
void withStdin(const std::string& text, Fn&& fn) {
    FILE* file = tmpfile();
    ASSERT_NE(file, nullptr);
    fputs(text.c_str(), file);
    rewind(file);
    const int saved = dup(0);
    dup2(fileno(file), 0);
    __fpurge(stdin);
    clearerr(stdin);
    fn();
    __fpurge(stdin);
    dup2(saved, 0);
    close(saved);
    clearerr(stdin);
    fclose(file);
}

TEST(ConsoleInput, UnsignedNumbers) {
    struct Case {
        const char* input;
        int first;
        int second;  // what a second read gives: shows how much of the line the first left
    };
    for (auto [input, first, second] : std::initializer_list<Case>{
             {"12\n7\n", 12, 7},
             {"\n\n12\n7\n", 12, 7},
             {"0\n7\n", -1, 7},       // "0": refused at once; the rest of the line stays for the next read
             {"012\n7\n", -1, 12},   // refused at its first character; the rest stays unread
             {"12x\n7\n", -1, 7},    // the rest of the line is skipped
         }) {
        withStdin(input, [&] {
            EXPECT_EQ(readUnsignedNumber(), first) << input;
            EXPECT_EQ(readUnsignedNumber(), second) << input;
        });
    }
}

TEST(ConsoleInput, MenuOptions) {
    withStdin("\n\na\nbc\nd\n", [] {
        int option = 0;
        EXPECT_EQ(readMenuOption(&option), TCS_RESULT_OK);
        EXPECT_EQ(option, 'a');
        EXPECT_EQ(readMenuOption(&option), TCS_RESULT_INVALID);
        volatile int abort = 1;
        EXPECT_EQ(readMenuOptionEx(&option, &abort), TCS_RESULT_OK);
        EXPECT_EQ(option, '0');
        EXPECT_EQ(readMenuOption(nullptr), TCS_RESULT_INVALID);
    });
}

TEST(ConsoleInput, StringWithoutNewline) {
    struct Case {
        const char* input;
        int size;
        TcsResult result;
        const char* text;
    };
    for (auto [input, size, result, text] : std::initializer_list<Case>{
             {"name\n", 16, TCS_RESULT_OK, "name"},
             {"name", 16, TCS_RESULT_OK, "name"},
             {"\n", 16, TCS_RESULT_BAD_PARAM, ""},
             {"toolongline\n", 4, TCS_RESULT_BAD_PARAM, ""},
         }) {
        FILE* file = tmpfile();
        ASSERT_NE(file, nullptr);
        fputs(input, file);
        rewind(file);
        char buffer[32];
        memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(tcsReadStringFromInputBufferWithoutNewLine(buffer, size, file), result) << input;
        EXPECT_STREQ(buffer, text) << input;
        fclose(file);
    }
    char buffer[4];
    EXPECT_EQ(tcsReadStringFromInputBufferWithoutNewLine(buffer, 4, nullptr), TCS_RESULT_NULL_POINTER);
}

}  // namespace
