// Persistent settings: round trips through the text file, prefix matching, buffers, hand-edited and
// damaged files, writers in two processes, the file's mode, planted links and failed writes.

#include "platform/settings.h"
#include "platform/test_seams.h"

#include "scratch.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kIr = "SOFTWARE\\Tovantic\\IR";

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The parsed list in order: "[name]" for a section, "name=text;" for a value, "{line}" for a line
// kept as it was.
std::vector<std::string> entriesOf(PalListEntry* head) {
    std::vector<std::string> entries;
    for (PalListEntry* s = head->next; s != head; s = s->next) {
        auto* section = PAL_LIST_RECORD(s, PersistentSection, links);
        entries.push_back((section->verbatim ? "{" : "[") + std::string(section->name) + (section->verbatim ? "}" : "]"));
        for (PalListEntry* v = section->values.next; v != &section->values; v = v->next) {
            auto* value = PAL_LIST_RECORD(v, PersistentValue, links);
            entries.push_back(value->verbatim ? "{" + std::string(value->name) + "}"
                                              : std::string(value->name) + "=" + value->text + ";");
        }
    }
    return entries;
}

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
    std::string fileText() const { return readText(path_); }
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
    for (const char* text : {"two\nlines", "a[b]", " leading", "\tleading", "trailing ", "trailing\r"}) {
        EXPECT_EQ(palSetPersistentDataStringValue(kIr, "Bad", text, 16), TCS_RESULT_BAD_PARAM) << text;
    }
    EXPECT_EQ(palSetPersistentDataStringValue(kIr, "Bad[1]", "x", 1), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(fileText(), "[SOFTWARE\\Tovantic\\IR]\nKeep[1]\n1\n");
}

// Every line comes back from a write: values as values, lines that read as none as they were.
TEST_F(Settings, HandEditedFilesAreReadSafely) {
    std::string huge(20000, 'A');
    writeFile("Stray[3]\nabc\n"                        // before any section: kept, out of reach of look-ups
              "[S]\nBig[20000]\n" + huge + "\n"         // longer than any line buffer: read whole
              "Damaged[99999999]\nxyz\n"              // a length that disagrees: the line is taken whole
              "Gone[4]\n\tstray\n"                     // no text line: both kept, in their order
              "Ok[2]\nhi\n"
              "Twice[1]\n1\n2\n"                        // a second text line is kept, not taken
              "Cut[5]\nab  \r\n"                        // trailing blanks are cut
              "Last[3\n"                                // no "]": kept as it was, reading goes on
              "Never[1]\nx\n");
    PalListEntry head;
    ASSERT_EQ(palReadAllPersistentData(&head), TCS_RESULT_OK);
    std::string seen;
    for (const std::string& entry : entriesOf(&head)) seen += entry;
    EXPECT_EQ(seen, "{}Stray=abc;[S]Big=" + huge + ";Damaged=xyz;{Gone[4]}{\tstray}Ok=hi;Twice=1;{2}Cut=ab;{Last[3}Never=x;");
    EXPECT_EQ(palWriteAllPersistentData(&head), TCS_RESULT_OK);
    palFreeAllPersistentData(&head);
    EXPECT_EQ(fileText(), "Stray[3]\nabc\n[S]\nBig[20000]\n" + huge +
                              "\nDamaged[3]\nxyz\nGone[4]\n\tstray\nOk[2]\nhi\nTwice[1]\n1\n2\nCut[2]\nab\nLast[3\nNever[1]\nx\n");
}

// A damaged line once ended the reading, and the next write dropped every value after it.
TEST_F(Settings, DamagedLineLosesNothingOnTheNextWrite) {
    struct Case {
        const char* line;
        bool twoReachable;  // false when the line looks like a section header: what follows is its own
    };
    for (auto [line, twoReachable] : std::initializer_list<Case>{{"Cut[3", true},
                                                                  {"Key[x]", true},
                                                                  {"stray text", true},
                                                                  {"  indented", true},
                                                                  {"[B", false}}) {
        const std::string before = std::string("[A]\nOne[1]\n1\n") + line + "\nTwo[1]\n2\n[B]\nThree[1]\n3\n";
        writeFile(before);
        ASSERT_EQ(palSetPersistentDataLongValue("B", "Four", 4), TCS_RESULT_OK) << line;
        EXPECT_EQ(fileText(), before + "Four[1]\n4\n") << line;
        EXPECT_EQ(getString("A", "One"), "1") << line;
        EXPECT_EQ(getString("A", "Two"), twoReachable ? "2" : "none") << line;
        EXPECT_EQ(getString("B", "Three"), "3") << line;
        EXPECT_EQ(getString("B", "Four"), "4") << line;
    }
}

// A NUL in a header once made a value with an empty name, written back as "[0]": a section header
// that misfiled everything after it.
TEST_F(Settings, ValueNamesAreNeverEmpty) {
    using namespace std::string_literals;
    const std::string before = "[A]\nX[1]\n1\n[\0B]\nY[1]\n2\n[C]\nZ[1]\n3\n"s;
    writeFile(before);
    ASSERT_EQ(palSetPersistentDataLongValue("C", "W", 4), TCS_RESULT_OK);
    EXPECT_EQ(fileText(), before + "W[1]\n4\n");
    EXPECT_EQ(getString("A", "Y"), "none");
    EXPECT_EQ(getString("C", "Z"), "3");

    // An empty request name would take the first value of the section.
    EXPECT_EQ(palSetPersistentDataStringValue("A", "", "9", 1), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(getString("A", "X"), "1");

    // Nor does the writer take an empty name from a caller's list; the file stays as it was.
    PalListEntry head;
    ASSERT_EQ(palReadAllPersistentData(&head), TCS_RESULT_OK);
    auto* first = PAL_LIST_RECORD(head.next, PersistentSection, links);
    auto* value = PAL_LIST_RECORD(first->values.next, PersistentValue, links);
    value->name[0] = '\0';
    EXPECT_EQ(palWriteAllPersistentData(&head), TCS_RESULT_BAD_PARAM);
    palFreeAllPersistentData(&head);
    EXPECT_EQ(fileText(), before + "W[1]\n4\n");
}

// It holds pairing secrets: created 0600, and a rewrite never widens an existing file's mode past it.
TEST_F(Settings, FileModeIsNoWiderThanOwnerReadWrite) {
    const mode_t saved = umask(022);
    auto modeOf = [this] {
        struct stat status {};
        EXPECT_EQ(stat(path_.c_str(), &status), 0);
        return status.st_mode & 07777;
    };
    ASSERT_EQ(palSetPersistentDataLongValue(kIr, "Gain", 1), TCS_RESULT_OK);
    EXPECT_EQ(modeOf(), 0600u);
    struct Case {
        mode_t before;
        mode_t after;
    };
    for (auto [before, after] : std::initializer_list<Case>{{0644, 0600}, {0640, 0600}, {0666, 0600}, {0400, 0400}}) {
        ASSERT_EQ(chmod(path_.c_str(), before), 0);
        ASSERT_EQ(palSetPersistentDataLongValue(kIr, "Gain", before), TCS_RESULT_OK) << std::oct << before;
        EXPECT_EQ(modeOf(), after) << std::oct << before;
    }
    umask(saved);
}

// A link planted at the file or at the replacement's name is never followed to write elsewhere.
TEST_F(Settings, LinksAreNotFollowed) {
    const std::string victim = tovtest::scratchPath("victim");
    std::ofstream(victim) << "[V]\nKeep[1]\n1\n";
    ASSERT_EQ(symlink(victim.c_str(), path_.c_str()), 0);
    EXPECT_EQ(palSetPersistentDataLongValue(kIr, "Gain", 2), TCS_RESULT_FILE_OPEN_FAILED);
    EXPECT_EQ(getString("V", "Keep"), "none");  // nor is the link's target read
    std::remove(path_.c_str());

    // The replacement is made under a fresh name: a link planted beside the file is left alone.
    const std::string temp = path_ + ".tmp";
    ASSERT_EQ(symlink(victim.c_str(), temp.c_str()), 0);
    EXPECT_EQ(palSetPersistentDataLongValue(kIr, "Gain", 3), TCS_RESULT_OK);
    EXPECT_EQ(fileText(), "[SOFTWARE\\Tovantic\\IR]\nGain[1]\n3\n");
    std::remove(temp.c_str());

    EXPECT_EQ(readText(victim), "[V]\nKeep[1]\n1\n");
    std::remove(victim.c_str());
}

// A write that cannot finish (here the file-size limit stands for a full disk) leaves the file as it was.
TEST_F(Settings, FailedWriteLeavesTheFileWhole) {
    ASSERT_EQ(palSetPersistentDataStringValue(kIr, "Keep", "kept", 4), TCS_RESULT_OK);
    const std::string before = fileText();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {before.size() + 16, before.size() + 16};
        setrlimit(RLIMIT_FSIZE, &limit);
        const std::string big(256, 'B');
        _exit(palSetPersistentDataStringValue(kIr, "Big", big.c_str(), uint32_t(big.size())) ==
                      TCS_RESULT_FILE_WRITE_FAILED
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(fileText(), before);
}

namespace {

// Starts a process that sees source mounted at the settings path (in a mount namespace of its own)
// and exits 0 when body succeeds there; 2 when the machine gives no private mount namespace.
// With a start pipe, body runs once the parent has closed its end.
pid_t startInOwnMount(const std::string& source, const std::string& path, const int* startPipe,
                      const std::function<bool()>& body) {
    pid_t child = fork();
    if (child != 0) return child;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(source.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        _exit(2);
    }
    if (startPipe != nullptr) {
        char go;
        close(startPipe[1]);
        if (read(startPipe[0], &go, 1) != 0) _exit(1);
    }
    _exit(body() ? 0 : 1);
}

int exitCodeOf(pid_t child) {
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// A file mounted in its own right (as containers give single files) cannot be renamed over: it is
// rewritten in place. It needs a private mount namespace, which not every machine gives.
TEST_F(Settings, FileMountedInItsOwnRightIsRewrittenInPlace) {
    const std::string source = tovtest::scratchPath("mounted");
    std::ofstream(source) << "[A]\nX[1]\n1\n";
    writeFile("");
    const int code = exitCodeOf(
        startInOwnMount(source, path_, nullptr, [] { return palSetPersistentDataLongValue("A", "Y", 2) == TCS_RESULT_OK; }));
    const std::string text = readText(source);
    std::remove(source.c_str());
    if (code == 2) GTEST_SKIP() << "no private mount namespace";
    EXPECT_EQ(code, 0);
    EXPECT_EQ(text, "[A]\nX[1]\n1\nY[1]\n2\n");
}

// Two processes, each with its own file mounted at the path, write at once: their locks are on
// different files, but their replacements are made in the one folder. With one fixed name there,
// each removed the other's half-made replacement and its write failed.
TEST_F(Settings, WritersOfDifferentFilesMountedAtThePathKeepEveryValue) {
    constexpr int kPerProcess = 50;
    writeFile("");
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    std::string sources[2];
    pid_t children[2];
    for (int p = 0; p < 2; ++p) {
        sources[p] = tovtest::scratchPath("mounted");
        std::ofstream(sources[p]).flush();
        children[p] = startInOwnMount(sources[p], path_, start, [p] {
            bool stored = true;
            for (int i = 0; i < kPerProcess; ++i) {
                const std::string name = "P" + std::to_string(p) + "_" + std::to_string(i);
                stored &= palSetPersistentDataLongValue(kIr, name.c_str(), uint32_t(i)) == TCS_RESULT_OK;
            }
            return stored;
        });
        ASSERT_GE(children[p], 0);
    }
    close(start[0]);
    close(start[1]);
    int codes[2];
    for (int p = 0; p < 2; ++p) codes[p] = exitCodeOf(children[p]);
    std::string texts[2];
    for (int p = 0; p < 2; ++p) {
        texts[p] = readText(sources[p]);
        std::remove(sources[p].c_str());
    }
    if (codes[0] == 2 || codes[1] == 2) GTEST_SKIP() << "no private mount namespace";
    for (int p = 0; p < 2; ++p) {
        EXPECT_EQ(codes[p], 0) << p;
        std::string expected = "[SOFTWARE\\Tovantic\\IR]\n";
        for (int i = 0; i < kPerProcess; ++i) {
            expected += "P" + std::to_string(p) + "_" + std::to_string(i) + "[" + std::to_string(std::to_string(i).size()) +
                        "]\n" + std::to_string(i) + "\n";
        }
        EXPECT_EQ(texts[p], expected) << p;
    }
}

// A sensor paired by password keeps its 64 KiB raw partition here: 131072 hex characters, far
// past any line buffer, must come back byte for byte with the values around it.
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

// Two processes at once: each write is a read-modify-write of the whole file, so one that is not
// serialised across processes drops the other's values.
TEST_F(Settings, TwoProcessesWritingAtOnceKeepEveryValue) {
    constexpr int kPerProcess = 100;
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    pid_t children[2];
    for (int p = 0; p < 2; ++p) {
        children[p] = fork();
        ASSERT_GE(children[p], 0);
        if (children[p] == 0) {
            char go;
            close(start[1]);
            bool stored = read(start[0], &go, 1) == 0;  // both start when the pipe closes
            for (int i = 0; i < kPerProcess; ++i) {
                const std::string name = "P" + std::to_string(p) + "_" + std::to_string(i);
                stored &= palSetPersistentDataLongValue(kIr, name.c_str(), uint32_t(1000 * p + i)) == TCS_RESULT_OK;
            }
            _exit(stored ? 0 : 1);
        }
    }
    close(start[0]);
    close(start[1]);
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    PalListEntry head;
    ASSERT_EQ(palReadAllPersistentData(&head), TCS_RESULT_OK);
    const std::vector<std::string> entries = entriesOf(&head);
    const std::set<std::string> seen(entries.begin(), entries.end());
    palFreeAllPersistentData(&head);
    int missing = 0;
    for (int p = 0; p < 2; ++p) {
        for (int i = 0; i < kPerProcess; ++i) {
            missing += seen.count("P" + std::to_string(p) + "_" + std::to_string(i) + "=" + std::to_string(1000 * p + i) + ";") == 0;
        }
    }
    EXPECT_EQ(missing, 0);
}
