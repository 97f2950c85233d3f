// Tests of the plug-event notifier against pipes and files in a private temporary directory.
#include "tools/plugnotify/plug_notify.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

// A private directory for the pipe, and the progress output captured in memory. The trace
// commands are recorded in the same stream, so their place between the lines is checked too.
class PlugNotify : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tovplug_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        pipe_ = dir_ + "/NP2";
        out_ = open_memstream(&text_, &size_);
        ASSERT_NE(out_, nullptr);
    }
    void TearDown() override {
        if (out_ != nullptr) fclose(out_);
        free(text_);
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    int run() {
        return tovplug::notifyPlugEvent({pipe_.c_str(), out_, [this](const char* cmd) {
                                              fprintf(out_, "[%s]", cmd);
                                              return 0;
                                          }});
    }
    std::string output() {
        fflush(out_);
        return std::string(text_, size_);
    }
    std::string dir_, pipe_;
    FILE* out_ = nullptr;
    char* text_ = nullptr;
    size_t size_ = 0;
};

std::string expectedBeforeOpen(const std::string& pipe) {
    return "[mkdir /var/log/v1] **** success 1 \n  **** success 2 \n [mkdir /var/log/v2]"
           " string usbPlugged and length 10  **** success 3 \n   fifo name = " +
           pipe + "  \n ";
}

TEST_F(PlugNotify, WritesTheWordIntoAFifoOnceAReaderOpensIt) {
    ASSERT_EQ(mkfifo(pipe_.c_str(), 0600), 0);
    std::atomic<bool> done{false};
    int status = -1;
    std::thread writer([&] {
        status = run();
        done = true;
    });
    // The open blocks while nobody reads; a read-write open would have let the run finish here.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done);

    int fd = open(pipe_.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string received;
    char chunk[64];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) received.append(chunk, size_t(n));
    close(fd);
    writer.join();

    EXPECT_EQ(received, "usbPlugged");
    EXPECT_EQ(status, 17);
    EXPECT_EQ(output(), expectedBeforeOpen(pipe_) +
                            "[mkdir /var/log/v3] **** success 4 \n  **** success 5 \n  **** success 6\n ");
}

TEST_F(PlugNotify, MissingPipeLeavesARegularFileWithTheWord) {
    EXPECT_EQ(run(), 17);
    struct stat st;
    ASSERT_EQ(lstat(pipe_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(readFile(pipe_), "usbPlugged");
}

TEST_F(PlugNotify, StaleRegularFileIsReplacedWhole) {
    writeFile(pipe_, "an older and much longer content");
    EXPECT_EQ(run(), 17);
    EXPECT_EQ(readFile(pipe_), "usbPlugged");
}

TEST_F(PlugNotify, UnopenableNamesFailWithStatus100AndLeaveTargetsAlone) {
    const std::string target = dir_ + "/precious";
    const std::string failed = expectedBeforeOpen(pipe_) + "fopen returned a NULL, expected valid stream\n";
    struct Case {
        const char* what;
        void (*plant)(const std::string& pipe, const std::string& target);
    };
    for (auto [what, plant] : std::initializer_list<Case>{
             {"directory", [](const std::string& p, const std::string&) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); }},
             {"symlink to a file", [](const std::string& p, const std::string& t) { ASSERT_EQ(symlink(t.c_str(), p.c_str()), 0); }},
             {"dangling symlink", [](const std::string& p, const std::string&) { ASSERT_EQ(symlink("/nonexistent_tovplug", p.c_str()), 0); }},
             {"hard link to a file", [](const std::string& p, const std::string& t) { ASSERT_EQ(link(t.c_str(), p.c_str()), 0); }},
         }) {
        SCOPED_TRACE(what);
        writeFile(target, "keep me");
        plant(pipe_, target);
        rewind(out_);
        EXPECT_EQ(run(), 100);
        EXPECT_EQ(output().substr(0, size_t(ftell(out_))), failed);
        EXPECT_EQ(readFile(target), "keep me");
        std::string cleanup = "rm -rf '" + pipe_ + "'";
        ASSERT_EQ(system(cleanup.c_str()), 0);
    }
}

}  // namespace
