// Named pipes and channels on their own, in a directory of the test process.

#include "apps/shared/client.h"
#include "apps/shared/client_test_seams.h"
#include "platform/clock.h"
#include "platform/test_seams.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class PipesTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory_ = "/tmp/tp" + std::to_string(getpid()) + "/";
        mkdir(directory_.c_str(), 0777);
        palTestSetIpcKeyPrefix((directory_ + "k_").c_str());
        tovClientTestSetPipeDirectory(directory_.c_str());
        path_ = directory_ + "fifo";
    }
    void TearDown() override {
        unlink(path_.c_str());
        tovClientTestSetPipeDirectory(nullptr);
        palTestSetIpcKeyPrefix(nullptr);
        rmdir(directory_.c_str());
    }
    std::string directory_;
    std::string path_;
};

TEST_F(PipesTest, CreateOpenAndTheirRecords) {
    PalPipe* pipe = nullptr;
    EXPECT_EQ(palPipeOpen(path_.c_str(), 0, &pipe), TCS_RESULT_FILE_OPEN_FAILED);
    EXPECT_EQ(pipe, nullptr);
    ASSERT_EQ(palPipeCreate(path_.c_str(), 0, &pipe), TCS_RESULT_OK);
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(pipe->descriptor, -1);
    // An existing FIFO is accepted, and a record already made is kept.
    PalPipe* kept = pipe;
    EXPECT_EQ(palPipeCreate(path_.c_str(), 0, &pipe), TCS_RESULT_OK);
    EXPECT_EQ(palPipeOpen(path_.c_str(), 1, &pipe), TCS_RESULT_OK);
    EXPECT_EQ(pipe, kept);
    PalPipe* missingDirectory = nullptr;
    EXPECT_EQ(palPipeCreate((directory_ + "no/such").c_str(), 0, &missingDirectory), 0xFFFFFFFFu);

    uint8_t byte = 0;
    EXPECT_EQ(palPipeRead(pipe, &byte, 0), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(palPipeRead(pipe, nullptr, 1), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(palPipeWrite(nullptr, &byte, 1), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(palPipeCreate(nullptr, 0, &pipe), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(palPipeDisconnect(nullptr), TCS_RESULT_INVALID);
    EXPECT_EQ(palPipeClose(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palPipeConnect(nullptr), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(palPipeConnect(pipe), TCS_RESULT_OK);
    EXPECT_EQ(palPipeClose(pipe), TCS_RESULT_OK);
}

TEST_F(PipesTest, LongBlocksPassWholeAndAGoneWriterEndsTheRead) {
    PalPipe* reader = nullptr;
    ASSERT_EQ(palPipeCreate(path_.c_str(), 0, &reader), TCS_RESULT_OK);
    std::vector<uint8_t> block(300000);
    for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 31);
    std::thread writer([&] {
        PalPipe* out = nullptr;
        ASSERT_EQ(palPipeOpen(path_.c_str(), 1, &out), TCS_RESULT_OK);
        // Waits for the reader to open its end, then passes more than a FIFO holds at once.
        EXPECT_EQ(palPipeWrite(out, block.data(), uint32_t(block.size())), TCS_RESULT_OK);
        palPipeClose(out);
    });
    std::vector<uint8_t> got(block.size());
    EXPECT_EQ(palPipeRead(reader, got.data(), uint32_t(got.size())), TCS_RESULT_OK);
    writer.join();
    EXPECT_EQ(got, block);
    // The writer has gone: the read ends at once instead of waiting for ever.
    uint8_t more = 0;
    EXPECT_EQ(palPipeRead(reader, &more, 1), TCS_RESULT_NULL_POINTER);
    palPipeClose(reader);
}

TEST_F(PipesTest, ChannelPipeFoundOnceItAppears) {
    ChannelRecord channel{};
    std::snprintf(channel.path, sizeof(channel.path), "%s", path_.c_str());
    std::thread maker([&] {
        palSleep(300);
        mkfifo(path_.c_str(), 0666);
    });
    EXPECT_EQ(ChannelPipeOpen(&channel, 0), TCS_RESULT_OK);
    maker.join();
    EXPECT_NE(channel.pipe, nullptr);
    EXPECT_EQ(ChannelDestroy(&channel), TCS_RESULT_OK);
    EXPECT_EQ(channel.pipe, nullptr);
}

TEST_F(PipesTest, ChannelOpenFindsOnlyWhatWasCreated) {
    ChannelRecord missing{};
    uint32_t start = palGetTickCount();
    // Zero tries count as one: no retry sleeps.
    EXPECT_EQ(ChannelOpen(&missing, "CH_NONE", 0), TOV_RESULT_CHANNEL_SEGMENT_MISSING);
    EXPECT_LT(palGetTickCount() - start, 40u);
    ChannelDestroy(&missing);
    EXPECT_EQ(ChannelOpen(nullptr, "CH_NONE", 1), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(ChannelOpen(&missing, nullptr, 1), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(ChannelValidate(nullptr), TCS_RESULT_NULL_POINTER);

    ChannelRecord made{};
    ASSERT_EQ(ChannelCreate(&made, "CH_T"), TCS_RESULT_OK);
    EXPECT_EQ(std::string(made.path), directory_ + "CH_T");
    ChannelRecord opened{};
    opened.preparePipe = 1;
    ASSERT_EQ(ChannelOpen(&opened, "CH_T", 1), TCS_RESULT_OK);
    EXPECT_NE(opened.pipe, nullptr);
    // Both ends see the same segment.
    static_cast<uint8_t*>(made.mapping)[100] = 0x5A;
    EXPECT_EQ(static_cast<uint8_t*>(opened.mapping)[100], 0x5A);
    EXPECT_EQ(ChannelDestroy(&opened), TCS_RESULT_OK);
    EXPECT_EQ(ChannelDestroy(&made), TCS_RESULT_OK);
    unlink((directory_ + "CH_T").c_str());
}

std::string contentOf(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The FIFOs live in a folder every local user writes to: a link (to a file, or to a FIFO elsewhere)
// or a plain file at a channel's name is neither made into a FIFO record nor opened, and a FIFO
// swapped for a link after its record was made is not written through.
TEST_F(PipesTest, PlantedNamesAreNeverFollowedOrWritten) {
    const std::string victim = directory_ + "victim";
    const std::string elsewhere = directory_ + "elsewhere";
    { std::ofstream(victim) << "keep me"; }
    ASSERT_EQ(mkfifo(elsewhere.c_str(), 0600), 0);
    struct Case {
        const char* what;
        bool link;
        std::string target;
    };
    for (const Case& c : {Case{"link to a file", true, victim}, Case{"link to a FIFO", true, elsewhere},
                          Case{"a plain file", false, ""}}) {
        SCOPED_TRACE(c.what);
        if (c.link) {
            ASSERT_EQ(symlink(c.target.c_str(), path_.c_str()), 0);
        } else {
            std::ofstream(path_) << "planted";
        }
        PalPipe* pipe = nullptr;
        EXPECT_EQ(palPipeCreate(path_.c_str(), 0, &pipe), 0xFFFFFFFFu);
        EXPECT_EQ(palPipeOpen(path_.c_str(), 1, &pipe), TCS_RESULT_FILE_OPEN_FAILED);
        EXPECT_EQ(pipe, nullptr);
        unlink(path_.c_str());
    }

    PalPipe* pipe = nullptr;
    ASSERT_EQ(palPipeCreate(path_.c_str(), 0, &pipe), TCS_RESULT_OK);
    ASSERT_EQ(unlink(path_.c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), path_.c_str()), 0);
    const uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_NE(palPipeWrite(pipe, bytes, sizeof bytes), TCS_RESULT_OK);
    uint8_t byte = 0;
    EXPECT_NE(palPipeRead(pipe, &byte, 1), TCS_RESULT_OK);
    palPipeClose(pipe);
    EXPECT_EQ(contentOf(victim), "keep me");
    unlink(victim.c_str());
    unlink(elsewhere.c_str());
}

// FIFOs are made for their owner alone, whatever the umask, and a destroyed channel leaves no FIFO
// behind (but never removes what is not a FIFO of its own).
TEST_F(PipesTest, FifosAreTheOwnersAndGoWithTheirChannel) {
    const mode_t saved = umask(0);
    PalPipe* pipe = nullptr;
    ASSERT_EQ(palPipeCreate(path_.c_str(), 0, &pipe), TCS_RESULT_OK);
    umask(saved);
    struct stat status {};
    ASSERT_EQ(lstat(path_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    palPipeClose(pipe);

    ChannelRecord made{};
    ASSERT_EQ(ChannelCreate(&made, "CH_GONE"), TCS_RESULT_OK);
    const std::string fifo = directory_ + "CH_GONE";
    ASSERT_EQ(access(fifo.c_str(), F_OK), 0);
    EXPECT_EQ(ChannelDestroy(&made), TCS_RESULT_OK);
    EXPECT_NE(access(fifo.c_str(), F_OK), 0) << "the destroyed channel's FIFO is gone";

    ChannelRecord other{};
    ASSERT_EQ(ChannelCreate(&other, "CH_KEPT"), TCS_RESULT_OK);
    const std::string kept = directory_ + "CH_KEPT";
    ASSERT_EQ(unlink(kept.c_str()), 0);
    { std::ofstream(kept) << "not a FIFO"; }
    EXPECT_EQ(ChannelDestroy(&other), TCS_RESULT_OK);
    EXPECT_EQ(contentOf(kept), "not a FIFO");
    unlink(kept.c_str());
}

}  // namespace
