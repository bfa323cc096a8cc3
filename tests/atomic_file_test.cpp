// Files replaced whole: what a rewrite leaves, and what it clears away.
#include "util/atomic_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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
    std::ostringstream text;
    text << std::ifstream(scratch.path).rdbuf();
    EXPECT_EQ("old", text.str());
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(scratch.dir), {}));
}

TEST(AtomicFileTest, OnlyOurOwnTemporaryFilesOfThePathAreRemoved) {
    const struct {
        const char* name;
        bool removed;
    } cases[] = {
        {"file.aZ09xQ", true},  {"file.aZ09x", false},  {"file.aZ09xQQ", false},
        {"file-aZ09xQ", false}, {"file.aZ-9xQ", false}, {"other.aZ09xQ", false},
        {"file", false},
    };
    Scratch scratch;
    for (const auto& c : cases)
        std::ofstream(scratch.dir + "/" + c.name) << "x";
    std::filesystem::create_directory(scratch.dir + "/file.dirXYZ");
    EXPECT_EQ(1, removeOrphanedTemporaries(scratch.path));
    for (const auto& c : cases)
        EXPECT_NE(c.removed, std::filesystem::exists(scratch.dir + "/" + c.name)) << c.name;
    EXPECT_TRUE(std::filesystem::exists(scratch.dir + "/file.dirXYZ"));
}

}  // namespace
