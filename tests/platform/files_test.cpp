// Files and directories: the directory walk's counting rules, and the program's own path.

#include "platform/files.h"

#include "scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Seen {
    std::vector<std::string> paths;
    std::vector<uint32_t> levels;
    uint32_t innerCounts = 0;
};

void record(void* raw, uint32_t, const char* path, uint32_t level) {
    auto* seen = static_cast<Seen*>(raw);
    seen->paths.push_back(path);
    seen->levels.push_back(level);
}

// Starts one inner walk per directory, as callers do to look into each user's folder.
void recordAndDescend(void* raw, uint32_t count, const char* path, uint32_t level) {
    record(raw, count, path, level);
    static_cast<Seen*>(raw)->innerCounts += palDirWalk(path, ".bmp", nullptr, record, raw);
}

class DirectoryWalk : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = tovtest::scratchPath("walk");
        std::filesystem::create_directories(root_ + "/a/b");
        for (const char* name : {"/one.BMP", "/a/two.bmp", "/a/b/three.txt", "/a/b/four.bmpx"}) {
            std::ofstream(root_ + name) << "x";
        }
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    std::string root_;
};

}  // namespace

TEST_F(DirectoryWalk, CountsFilesByExtensionIgnoringCase) {
    Seen seen;
    EXPECT_EQ(palDirWalk(root_.c_str(), ".bmp", nullptr, record, &seen), 2u);
    EXPECT_EQ(seen.paths.size(), 2u);
    EXPECT_EQ(palDirWalk(root_.c_str(), ".BMP", nullptr, nullptr, nullptr), 2u);
}

TEST_F(DirectoryWalk, CountsDirectoriesIncludingTheStartWithoutExtension) {
    Seen seen;
    EXPECT_EQ(palDirWalk(root_.c_str(), nullptr, nullptr, record, &seen), 3u);
    EXPECT_EQ(seen.paths.front(), root_);
    for (uint32_t level : seen.levels) EXPECT_EQ(level, 0u);
}

TEST_F(DirectoryWalk, AnInnerWalkRunsAtLevelOne) {
    Seen seen;
    EXPECT_EQ(palDirWalk((root_ + "/a").c_str(), nullptr, nullptr, recordAndDescend, &seen), 2u);
    // a holds a/two.bmp (its inner walk sees it), a/b holds none.
    EXPECT_EQ(seen.innerCounts, 1u);
    EXPECT_NE(std::find(seen.levels.begin(), seen.levels.end(), 1u), seen.levels.end());
}

TEST(PlatformFiles, DirCreateAndProgramPath) {
    EXPECT_EQ(palDirCreate(nullptr), 161);
    std::string dir = tovtest::scratchPath("dir");
    EXPECT_EQ(palDirCreate(dir.c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir));
    std::filesystem::remove(dir);

    char path[4096];
    uint32_t length = palGetModuleFileName(path, sizeof path);
    EXPECT_GT(length, 0u);
    EXPECT_NE(std::string(path).find("test_platform"), std::string::npos);
    char tiny[4] = "abc";
    EXPECT_EQ(palGetModuleFileName(tiny, sizeof tiny), 0u);  // refused rather than cut

    char cwd[4096];
    EXPECT_EQ(palGetCurrentDirectory(cwd, sizeof cwd), std::filesystem::current_path().string().size());
}
