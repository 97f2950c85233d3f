// The script runner: splitting a line into words, comment and empty lines, echo, and a failed line
// that ends the script. The lines here fail before a sensor is needed, so no stack is started.
#include "tools/sensor/cli/sensor_tool.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

TEST(ScriptLine, SplitsIntoWords) {
    struct Case {
        const char* line;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"sensor getver -v\n", {"sensor", "getver", "-v"}},
        {"  sensor\tsend  \"my cmd.bin\" reply.bin\r\n", {"sensor", "send", "\"my cmd.bin\"", "reply.bin"}},
        // A closing quote ends the word; the character after it is overwritten.
        {"sensor \"a\"b c\n", {"sensor", "\"a\"", "c"}},
        {"sensor \"a\"\n", {"sensor", "\"a\""}},
        // An unclosed quote runs to the end of the line.
        {"sensor \"open word\n", {"sensor", "\"open word"}},
        {"sensor last", {"sensor", "last"}},
        {"\n", {}},
        {" \t \r\n", {}},
    };
    for (const Case& c : cases) {
        std::string line = c.line;
        char* words[64];
        const int count = SensorSplitScriptLine(line.data(), words, 64);
        ASSERT_EQ(count, int(c.words.size())) << c.line;
        for (int i = 0; i < count; ++i) EXPECT_EQ(words[i], c.words[size_t(i)]) << c.line;
        EXPECT_EQ(words[count], nullptr);
    }
}

TEST(ScriptLine, AtMost63Words) {
    std::string line;
    for (int i = 0; i < 70; ++i) line.append(1, 'w').append(std::to_string(i)).append(1, ' ');
    char* words[64];
    EXPECT_EQ(SensorSplitScriptLine(line.data(), words, 64), 63);
    EXPECT_STREQ(words[62], "w62");
    EXPECT_EQ(words[63], nullptr);
}

class ScriptRun : public ::testing::Test {
protected:
    void SetUp() override {
        SensorResetToolState();
        path_ = ::testing::TempDir() + "/cli_script_" + std::to_string(getpid()) + ".bat";
    }
    void TearDown() override {
        std::remove(path_.c_str());
        SensorResetToolState();
    }

    int run(const std::string& script, std::string* output) {
        std::ofstream(path_) << script;
        std::string w0 = "sensor", w1 = "script";
        char* argv[] = {w0.data(), w1.data(), path_.data(), nullptr};
        ::testing::internal::CaptureStdout();
        const int result = SensorRunScript(3, argv);
        fflush(stdout);
        *output = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(gScriptCommand, 0u) << "cleared at the end";
        return result;
    }

    std::string path_;
};

TEST_F(ScriptRun, CommentsEmptyLinesAndAFailingLine) {
    struct Case {
        const char* script;
        int result;
        std::vector<const char*> present;
        std::vector<const char*> absent;
    };
    const Case cases[] = {
        // Comment lines are echoed and skipped: a script of comments only ends as failed.
        {"REM first\n# second\nsensor_rem x\n", 0, {"REM first \n", "# second \n"}, {"ERROR"}},
        // An empty line counts as a success.
        {"rem a\n\n", 1, {"rem a \n"}, {"ERROR"}},
        // The first failing line ends the script; the line after it is never read.
        {"sensor BOGUS \"a b\"\nsensor other\n", 0,
         {"sensor BOGUS \"a b\" \n", "ERROR: unknown command 'bogus'\n", "Execution of script failed\n"},
         {"other"}},
        // Options on a script line change the globals for the rest of the run.
        {"sensor -internalcfg\n", 0, {"ERROR: '-internalcfg' can't be specified"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        SensorResetToolState();
        std::string output;
        EXPECT_EQ(run(c.script, &output), c.result);
        for (const char* text : c.present) EXPECT_NE(output.find(text), std::string::npos) << text << "\n" << output;
        for (const char* text : c.absent) EXPECT_EQ(output.find(text), std::string::npos) << text << "\n" << output;
    }
}

TEST_F(ScriptRun, MissingScriptFile) {
    std::string w0 = "sensor", w1 = "script", w2 = "/nonexistent/dir/x.bat";
    char* argv[] = {w0.data(), w1.data(), w2.data(), nullptr};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(SensorRunScript(3, argv), 0);
    fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Open script </nonexistent/dir/x.bat> failed\n");
    EXPECT_EQ(gScriptCommand, 0u);
}

}  // namespace
