// ProcStats: figures from /proc texts, and the level-5 process log lines.
#include "web/proc_stats.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "util/log.h"

namespace {

using ::testing::HasSubstr;

class ProcStatsTest : public ::testing::Test {
  protected:
    void SetUp() override { savedLevel = DebugLevel.load(); }
    void TearDown() override { DebugLevel.store(savedLevel); }

    void parseMemory(const std::string& text) {
        std::istringstream in(text);
        stats.parseMemory(in);
    }

    ProcStats stats;
    int32_t savedLevel = 0;
};

TEST_F(ProcStatsTest, MemoryFiguresComeFromTheirOwnFirstLines) {
    parseMemory(
        "MemTotal:        1015800 kB\n"
        "MemFree:          123456 kB\n"
        "Buffers:           11111 kB\n"
        "SwapFree: MemFree: 999 kB\n"
        "MemAvailable:     654321 kB\n"
        "MemFree:               7 kB\n");  // after all three: not read
    EXPECT_EQ(stats.memTotal, 1015800u);
    EXPECT_EQ(stats.memFree, 123456u);
    EXPECT_EQ(stats.memAvailable, 654321u);
    EXPECT_EQ(stats.memoryXml,
              "<MemTotal>1015800</MemTotal><MemFree>123456</MemFree>"
              "<MemAvailable>654321</MemAvailable>");
}

TEST_F(ProcStatsTest, MissingMemAvailableIsShownAsZero) {
    stats.memAvailable = 77;
    parseMemory("MemTotal: 2000 kB\nMemFree: 1000 kB\nCached: 5 kB\n");
    EXPECT_EQ(stats.memAvailable, 0u);
    EXPECT_EQ(stats.memoryXml,
              "<MemTotal>2000</MemTotal><MemFree>1000</MemFree><MemAvailable>0</MemAvailable>");
}

TEST_F(ProcStatsTest, OddMeminfoLinesNeitherCrashNorWrap) {
    parseMemory("MemTotal: none\nMemFree: 99999999999 kB\n");
    EXPECT_EQ(stats.memTotal, 0u);
    EXPECT_EQ(stats.memFree, 4294967295u);
}

TEST_F(ProcStatsTest, StatisticsAreParsedAndLoggedAtLevelFive) {
    stats.parseTaskStat(
        "1234 (my (odd) name) S 4 5 6 7 8 9 10 11 12 13 111 222 16 17 -20 19 20 21 22 333 24");
    EXPECT_EQ(stats.utime, 111u);
    EXPECT_EQ(stats.stime, 222u);
    EXPECT_EQ(stats.vsize, 333u);

    stats.parseCpuLine("cpu  100 20 30 400 5 6 7 8 9 10");
    EXPECT_EQ(stats.totalTime, 576u);

    stats.parseStatm("1000 200 100 10 0 300 0", 4096);
    EXPECT_EQ(stats.size, 4096000u);
    EXPECT_EQ(stats.data, 1228800u);

    DebugLevel.store(5);
    ::testing::internal::CaptureStdout();
    stats.logProcess(1234);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "PID 1234 stat, utime=111, stime=222, vsize=333\n"
              "CpuTime = 57.812500, UserTime=100,niceTime=20,systemTime=30,totalTime=576\n"
              "sizeInKB = 4000,residentInKB=800,shareInKB=400,textInKB=40,libInKB=0,"
              "dataInKB=1200,dtInKB=0\n");

    stats.totalTime = 0;
    ::testing::internal::CaptureStdout();
    stats.logProcess(1234);
    EXPECT_THAT(::testing::internal::GetCapturedStdout(), HasSubstr("CpuTime = inf,"));
}

TEST_F(ProcStatsTest, OwnThreadIsReadAndLoggedOnlyAboveLevelFour) {
    const int taskId = static_cast<int>(syscall(SYS_gettid));
    DebugLevel.store(4);
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(stats.readProcess(taskId));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_GT(stats.size, 0u);
    EXPECT_GT(stats.totalTime, 0u);

    DebugLevel.store(5);
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(stats.readProcess(taskId));
    EXPECT_THAT(::testing::internal::GetCapturedStdout(),
                HasSubstr("PID " + std::to_string(taskId) + " stat, utime="));
}

TEST_F(ProcStatsTest, MissingTaskIsReported) {
    DebugLevel.store(1);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(stats.readProcess(-7));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Can't open stat file /proc/-7/stat\n");
    DebugLevel.store(0);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(stats.readProcess(-7));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

}  // namespace
