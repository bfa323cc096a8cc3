// Where log lines go: standard output is left out when it is the journal.
#include "util/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

TEST(LogTest, JournalStreamIsKnownByItsInode) {
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    struct stat info {};
    ASSERT_EQ(0, fstat(ends[1], &info));
    const std::string device = std::to_string(info.st_dev);
    const std::string inode = std::to_string(info.st_ino);
    const struct {
        const char* variable;  // nullptr: not set
        std::string value;
        bool journal;
    } cases[] = {
        {"set", device + ":" + inode, true},
        {"other inode", device + ":" + std::to_string(info.st_ino + 1), false},
        {"trailing text", device + ":" + inode + "x", false},
        {nullptr, "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.journal, streamIsJournal(ends[1], c.variable ? c.value.c_str() : nullptr))
            << (c.variable ? c.variable : "unset");
    }
    close(ends[0]);
    close(ends[1]);
}

}  // namespace
