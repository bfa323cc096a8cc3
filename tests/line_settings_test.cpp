// The line settings file: its lines, the files refused, and the rewrite that
// keeps a panel's move.
#include "util/line_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/golden.h"

namespace {

class LineFileTest : public testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directories(dir_); }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // The error of loading path, "" when it loads; settings that come back
    // are kept in loaded_, which a refusal leaves as it was.
    std::string loadError(const std::string& path) {
        std::string error;
        return loadLineSettings(path, &loaded_, &error) ? "" : error;
    }

    const std::string dir_ = testing::TempDir() + "kanzo_line_" + std::to_string(getpid()) + "/";
    const std::string path_ = dir_ + "osdp-line";
    const LineSettings moved_{{{12, 13}}, 38400};
    LineSettings loaded_ = moved_;
};

TEST(LineSettingsTest, TextsReadAsTheirGoldenCasesSay) {
    expectTextsAsGolden("line-file-texts.txt", parseLineSettings, formatLineSettings);
}

TEST_F(LineFileTest, WhatIsNoReadableRegularFileIsRefusedAndChangesNothing) {
    ASSERT_EQ(0, mkfifo(path_.c_str(), 0600));
    EXPECT_EQ(loadError(path_), "not a regular file");  // at once: no writer is waited for
    std::filesystem::remove(path_);
    std::filesystem::create_directory(path_);
    EXPECT_EQ(loadError(path_), "not a regular file");
    EXPECT_EQ(loadError("/proc/self/mem").rfind("cannot read: ", 0), 0u);
    std::ofstream(dir_ + "file") << "reader1 12\n";
    EXPECT_EQ(loadError(dir_ + "file/osdp-line"), "cannot open: Not a directory");
    if (geteuid() != 0) {  // root reads whatever the mode says
        chmod((dir_ + "file").c_str(), 0);
        EXPECT_EQ(loadError(dir_ + "file"), "cannot open: Permission denied");
    }
    std::ofstream(dir_ + "bad") << "baud 14400\n";
    EXPECT_EQ(loadError(dir_ + "bad"), "line 1: baud must be 9600, 19200, 38400, 57600 or 115200");
    EXPECT_EQ(loaded_, moved_);
}

TEST_F(LineFileTest, StoredSettingsReplaceTheFileWholeAndReadBack) {
    std::ofstream(path_) << "# by hand\nreader1 20\n";
    std::string error;
    ASSERT_TRUE(storeLineSettings(path_, moved_, &error)) << error;
    EXPECT_EQ(error, "");
    loaded_ = LineSettings{};
    EXPECT_EQ(loadError(path_), "");
    EXPECT_EQ(loaded_, moved_);
    struct stat info {};
    ASSERT_EQ(0, stat(path_.c_str(), &info));
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);
}

}  // namespace
