// The osdp_controller tool as installers and scripts use it: against the
// daemon over a virtual null-modem, and against a reader played by the test.
#include <sys/wait.h>

#include <cctype>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/harness/daemon_harness.h"
#include "tests/harness/faulty_line.h"
#include "tests/osdp_test_frames.h"
#include "tools/osdp_controller_core.h"

namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

ProcessOptions toolOptions(const std::vector<std::string>& args) {
    ProcessOptions options;
    options.args = {kControllerBinary};
    options.args.insert(options.args.end(), args.begin(), args.end());
    return options;
}

int exitCode(const std::optional<int>& status) {
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

TEST(OsdpControllerToolTest, ReadsTheDaemonsReadersAndACardGivenOverTheWeb) {
    TempDir dir;
    NullModem cable;
    ChildProcess daemon(daemonOptions(dir, cable.endA()));
    ASSERT_TRUE(daemon.waitForLine("Serial port add watch", deadlineIn(kPatience)));
    ASSERT_EQ("OK",
              fastcgiRequest(dir.file("fcgi.sock"), "GET", "/kanzo_zul?CSN32LSB_Reader2=6D8CB9FB",
                             "", deadlineIn(kPatience))
                  .value_or("no response"));
    // 0x53 inside the card data: the tool must not take it for a new frame.
    ASSERT_EQ("OK",
              fastcgiRequest(dir.file("fcgi.sock"), "GET", "/kanzo_zul?CSN32LSB_Reader1=12345378",
                             "", deadlineIn(kPatience))
                  .value_or("no response"));

    ChildProcess tool(toolOptions({"--count", "2", "--interval", "10", cable.endB()}));
    std::optional<int> status = tool.waitExit(deadlineIn(kPatience));

    EXPECT_EQ(0, exitCode(status)) << tool.errorText();
    const std::vector<std::string>& lines = tool.lines();
    EXPECT_THAT(lines, Contains("reader 10 online"));
    EXPECT_THAT(lines, Contains("reader 11 online"));
    EXPECT_THAT(lines, Contains("reader 10 id vendor=024B7E model=0 version=1 serial=0004D2B7 "
                                "firmware=1.2.3"));
    EXPECT_THAT(lines, Contains("reader 11 capabilities 1:0:0 2:0:0 3:1:0 4:4:1 5:2:1 6:0:0 7:0:0 "
                                "8:1:1 9:0:0 10:146:3 12:0:0 14:0:0 15:0:0 16:1:0"));
    EXPECT_THAT(lines, Contains("reader 10 card format=0x12 bits=32 card=12345378"));
    EXPECT_THAT(lines, Contains("reader 11 card format=0x12 bits=32 card=6D8CB9FB"));
}

// A line so noisy that the tool keeps missing replies and starting new
// sessions: a card whose reply it missed must come again in the new session.
TEST(OsdpControllerToolTest, EveryPlateReachesThePanelThroughANoisyLine) {
    LineFaults faults;
    faults.seed = 13;
    faults.corrupt = 0.03;
    faults.drop = 0.006;
    faults.delay = 0.002;
    faults.delayBy = std::chrono::milliseconds(100);
    FaultyLine line(faults);
    TempDir dir;
    ChildProcess daemon(daemonOptions(dir, line.endA()));
    ASSERT_TRUE(daemon.waitForLine("Serial port add watch", deadlineIn(kPatience)));
    ChildProcess tool(toolOptions({"--timeout", "50", "--interval", "5", line.endB()}));

    // One plate at a time, so that no newer plate for the reader replaces it.
    for (int i = 0; i < 6; ++i) {
        const std::string plate = "NOISE" + std::to_string(i);
        const int region = 1 + i % 2;
        std::string card =
            fastcgiRequest(dir.file("fcgi.sock"), "GET",
                           "/kanzo_zul?LPR_Reader" + std::to_string(region) + "=" + plate, "",
                           deadlineIn(kPatience))
                .value_or("no response");
        ASSERT_EQ(8u, card.size()) << card;
        for (char& c : card)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        const std::string read =
            "reader " + std::to_string(9 + region) + " card format=0x12 bits=32 card=" + card;
        EXPECT_TRUE(tool.waitForLine(read, deadlineIn(std::chrono::seconds(30))))
            << plate << " never reached the panel";
    }
    EXPECT_GT(tool.countLines(" offline"), 0) << "the line was too quiet to test anything";
}

TEST(OsdpControllerToolTest, ResendsAMissedFrameWithItsSequenceNumberAndCountsCards) {
    PtyLine line;
    ChildProcess tool(toolOptions({"--address", "10", "--timeout", "100", "--interval", "0",
                                   "--count", "1", line.slavePath()}));

    const Bytes identify = line.readFrame(deadlineIn(kPatience));
    EXPECT_EQ(buildCommandFrame(10, 0, kOsdpCommandId), identify);
    // No answer: the same frame comes again.
    EXPECT_EQ(identify, line.readFrame(deadlineIn(kPatience)));
    line.write(replyFrame(10, 0, 0x45, {0x02, 0x4B, 0x7E, 0, 1, 0, 4, 0xD2, 0xB7, 1, 2, 3}));

    EXPECT_EQ(buildCommandFrame(10, 1, kOsdpCommandCap), line.readFrame(deadlineIn(kPatience)));
    line.write(replyFrame(10, 1, 0x46, {0x08, 0x01, 0x01, 0x00, 0x00}));
    EXPECT_EQ(buildCommandFrame(10, 2, kOsdpCommandPoll), line.readFrame(deadlineIn(kPatience)));
    line.write(replyFrame(10, 2, 0x48, {1, 0}));
    EXPECT_EQ(buildCommandFrame(10, 3, kOsdpCommandPoll), line.readFrame(deadlineIn(kPatience)));
    line.write(replyFrame(10, 3, 0x40));
    // After sequence 3 comes 1: 0 only opens a session.
    EXPECT_EQ(buildCommandFrame(10, 1, kOsdpCommandPoll), line.readFrame(deadlineIn(kPatience)));
    line.write(replyFrame(10, 1, 0x50, {0x00, 0x12, 0x20, 0x00, 0x00, 0x00, 0x12, 0x34}));

    std::optional<int> status = tool.waitExit(deadlineIn(kPatience));
    EXPECT_EQ(0, exitCode(status)) << tool.errorText();
    EXPECT_EQ((std::vector<std::string>{
                  "reader 10 online",
                  "reader 10 id vendor=024B7E model=0 version=1 serial=0004D2B7 firmware=1.2.3",
                  "reader 10 capabilities 8:1:1", "reader 10 status tamper=1 power=0",
                  "reader 10 card format=0x12 bits=32 card=00001234"}),
              tool.lines());
}

TEST(OsdpControllerToolTest, StopsAfterTheGivenSecondsWhenNoReaderAnswers) {
    PtyLine line;
    ChildProcess tool(toolOptions({"--seconds", "1", "--timeout", "50", line.slavePath()}));

    std::optional<int> status = tool.waitExit(deadlineIn(kPatience));

    EXPECT_EQ(0, exitCode(status)) << tool.errorText();
    EXPECT_EQ((std::vector<std::string>{"reader 10 offline", "reader 11 offline"}), tool.lines());
}

TEST(OsdpControllerToolTest, RefusesBadUsageAndAMissingLine) {
    ChildProcess badOption(toolOptions({"--colour", "red", "/dev/null"}));
    EXPECT_EQ(2, exitCode(badOption.waitExit(deadlineIn(kPatience))));
    EXPECT_THAT(badOption.errorText(), HasSubstr("unknown option --colour"));

    ChildProcess badAddress(toolOptions({"--address", "127", "/dev/null"}));
    EXPECT_EQ(2, exitCode(badAddress.waitExit(deadlineIn(kPatience))));

    ChildProcess shortKey(toolOptions({"--key", "000102030405060708090A0B0C0D0E", "/dev/null"}));
    EXPECT_EQ(2, exitCode(shortKey.waitExit(deadlineIn(kPatience))));
    EXPECT_THAT(shortKey.errorText(), HasSubstr("--key needs 32 hexadecimal digits"));
    EXPECT_THAT(shortKey.errorText(), ::testing::Not(HasSubstr("0A0B0C0D0E")));

    ChildProcess noLine(toolOptions({"/nonexistent/ttyX"}));
    EXPECT_EQ(1, exitCode(noLine.waitExit(deadlineIn(kPatience))));
    EXPECT_THAT(noLine.errorText(), HasSubstr("/nonexistent/ttyX"));

    ChildProcess help(toolOptions({"--help"}));
    EXPECT_EQ(0, exitCode(help.waitExit(deadlineIn(kPatience))));
    EXPECT_THAT(help.lines(), Contains("  reader A card format=0xHH bits=N card=HEX"));
}

}  // namespace
