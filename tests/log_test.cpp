// Where log lines go: standard output is left out when it is the journal.
#include "util/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "util/escape.h"

namespace {

TEST(LogTest, JournalStreamIsKnownByItsInode) {
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    struct stat info {};
    ASSERT_EQ(0, fstat(ends[1], &info));
    const std::string inode = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    EXPECT_TRUE(streamIsJournal(ends[1], inode.c_str()));
    const std::string otherInode =
        std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino + 1);
    for (const std::string& other : {otherInode, inode + "x"})
        EXPECT_FALSE(streamIsJournal(ends[1], other.c_str())) << other;
    EXPECT_FALSE(streamIsJournal(ends[1], nullptr));
    close(ends[0]);
    close(ends[1]);
}

// A lone surrogate, a stray continuation byte and a cut sequence are shown as
// bytes; whole characters, Ä among them, stay as they are.
TEST(LogTest, OutsideTextIsShownAsUtf8OnOneLine) {
    EXPECT_EQ(printable("\xED\xA0\x80|\x80|\xC3|\xC3\xA4\n\x7F"),
              "\\xED\\xA0\\x80|\\x80|\\xC3|\xC3\xA4\\x0A\\x7F");
}

// Past the first buffer's 255 characters a line is formatted again, whole.
TEST(LogTest, LongLinesArriveWhole) {
    const int32_t savedLevel = DebugLevel.exchange(1);
    for (const size_t length : {255, 256, 4000}) {
        const std::string line = std::string(length - 1, 'x') + "Z";
        testing::internal::CaptureStdout();
        logAt(1, "%s", line.c_str());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), line + "\n") << length;
    }
    DebugLevel.store(savedLevel);
}

}  // namespace
