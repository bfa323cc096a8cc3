// Files replaced whole: what a rewrite leaves, and what it clears away.
#include "util/atomic_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/golden.h"

namespace {

struct Scratch {
    const std::string dir = testing::TempDir() + "kanzo_atomic_" + std::to_string(getpid());
    const std::string path = dir + "/file";
    Scratch() { std::filesystem::create_directories(dir); }
    ~Scratch() { std::filesystem::remove_all(dir); }
    std::string text() const {
        std::ostringstream out;
        out << std::ifstream(path).rdbuf();
        return out.str();
    }
    size_t entries() const { return std::distance(std::filesystem::directory_iterator(dir), {}); }
};

TEST(AtomicFileTest, FailedWriteKeepsTheOldFile) {
    Scratch scratch;
    std::ofstream(scratch.path) << "old";
    // Files may not grow past 4 bytes: the write fails with EFBIG (not EINTR).
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    const struct rlimit small = {4, saved.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    std::string error;
    const bool written = writeFileAtomically(scratch.path, "longer text", 0600, &error);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_FALSE(written);
    EXPECT_EQ(0u, error.rfind("cannot write: ", 0)) << error;
    EXPECT_EQ("old", scratch.text());
    EXPECT_EQ(1u, scratch.entries());
}

TEST(AtomicFileTest, OnlyOurOwnTemporaryFilesOfThePathAreRemoved) {
    Scratch scratch;
    const std::vector<GoldenCase> cases = goldenCases("orphaned-temporaries.txt");
    for (auto& [line, text] : cases)
        std::ofstream(scratch.dir + "/" + text.at('>')) << "x";
    std::filesystem::create_directory(scratch.dir + "/file.dirXYZ");
    EXPECT_EQ(1, removeOrphanedTemporaries(scratch.path));
    for (auto& [line, text] : cases)
        EXPECT_EQ(std::filesystem::exists(scratch.dir + "/" + text.at('>')), text.at('<') == "kept")
            << line;
    EXPECT_TRUE(std::filesystem::exists(scratch.dir + "/file.dirXYZ"));
}

}  // namespace
