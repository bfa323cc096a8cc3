// The daemon on one end of a virtual serial line, the test as the OSDP
// controller on the other: what goes over the wire, and what the status
// document counts.
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/harness/daemon_harness.h"
#include "tests/osdp_test_frames.h"
#include "tools/osdp_controller_core.h"

namespace {

class OsdpSerialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(daemon.waitForLine("Serial port add watch", deadlineIn(kPatience)));
    }

    // Sends a frame and returns the next frame on the line.
    Bytes exchange(const Bytes& command) {
        line.write(command);
        return line.readFrame(deadlineIn(kPatience));
    }

    // The web interface's answer to the query.
    std::string command(const std::string& query) {
        return fastcgiRequest(dir.file("fcgi.sock"), "GET", "/kanzo_zul?" + query, "",
                              deadlineIn(kPatience))
            .value_or("no response");
    }
    std::string status() { return command("getStatusXML"); }

    TempDir dir;
    PtyLine line;
    ChildProcess daemon{daemonOptions(dir, line.slavePath())};
};

TEST_F(OsdpSerialTest, BothReadersAnswerWithTheirRepliesOnTheWire) {
    EXPECT_EQ((Bytes{0x53, 0x8A, 0x08, 0x00, 0x05, 0x40, 0xC6, 0xD9}),
              exchange(buildCommandFrame(10, 1, kOsdpCommandPoll)));
    EXPECT_EQ(replyFrame(11, 1, 0x40), exchange(buildCommandFrame(11, 1, kOsdpCommandPoll)));
    // A poll with a checksum is answered with a checksum.
    EXPECT_EQ((Bytes{0x53, 0x8A, 0x08, 0x00, 0x01, 0x40, 0x00, 0xDA}),
              exchange(commandFrame(0x0A, 0x01, 0x60)));
    // Whatever the communication settings ask for, address and speed stay.
    EXPECT_EQ((Bytes{0x53, 0x8A, 0x0D, 0x00, 0x05, 0x54, 0x0A, 0x80, 0x25, 0x00, 0x00, 0xEA, 0x96}),
              exchange(buildCommandFrame(10, 1, 0x6E, {0x05, 0x00, 0x96, 0x00, 0x00})));
    // LED and anything else without an answer of its own is acknowledged.
    EXPECT_EQ(replyFrame(11, 3, 0x40),
              exchange(buildCommandFrame(11, 3, 0x69, {0x00, 0x00, 0x01})));
}

TEST_F(OsdpSerialTest, CardAndTamperGivenOverTheWebReachTheController) {
    EXPECT_EQ("OK", command("CSN32LSB_Reader2=12345678"));
    // A poll of reader 1 does not take reader 2's card.
    EXPECT_EQ((Bytes{0x53, 0x8A, 0x08, 0x00, 0x05, 0x40, 0xC6, 0xD9}),
              exchange(buildCommandFrame(10, 1, kOsdpCommandPoll)));
    // Card data always carries a CRC-16, so a checksum poll's control byte gains 4.
    EXPECT_EQ((Bytes{0x53, 0x8B, 0x10, 0x00, 0x06, 0x50, 0x00, 0x12, 0x20, 0x00, 0x12, 0x34, 0x56,
                     0x78, 0xCA, 0xE5}),
              exchange(commandFrame(0x0B, 0x02, 0x60)));
    EXPECT_EQ(replyFrame(11, 3, 0x40), exchange(buildCommandFrame(11, 3, kOsdpCommandPoll)));

    EXPECT_EQ("OK", command("tamper1=1"));
    EXPECT_EQ((Bytes{0x53, 0x8A, 0x0A, 0x00, 0x05, 0x48, 0x01, 0x00, 0xE5, 0x07}),
              exchange(buildCommandFrame(10, 1, 0x64)));
}

TEST_F(OsdpSerialTest, ForeignAndBrokenFramesAreNotAnswered) {
    const Bytes poll = buildCommandFrame(10, 1, kOsdpCommandPoll);
    Bytes swappedCrc = poll;
    std::swap(swappedCrc[6], swappedCrc[7]);
    const std::vector<Bytes> unanswered = {
        buildCommandFrame(12, 1, kOsdpCommandPoll),
        buildCommandFrame(0x7F, 1, kOsdpCommandPoll),
        replyFrame(10, 1, 0x40),  // another device's reply
        swappedCrc,
        {0x53, 0x0A, 0x06, 0x00, 0x01, 0x9C},  // too short to be a frame, checksum right
        buildCommandFrame(10, 1, 0x00),        // no command
    };
    for (const Bytes& frame : unanswered)
        line.write(frame);

    // The first bytes on the line are the answer to the next good poll.
    EXPECT_EQ(replyFrame(11, 2, 0x40), exchange(buildCommandFrame(11, 2, kOsdpCommandPoll)));
}

TEST_F(OsdpSerialTest, StatusCountsEveryReplyWritten) {
    EXPECT_EQ("0", xmlValue(status(), "reqOut").value_or("?"));

    exchange(buildCommandFrame(10, 1, kOsdpCommandPoll));
    exchange(buildCommandFrame(11, 1, kOsdpCommandId));
    line.write(buildCommandFrame(12, 1, kOsdpCommandPoll));
    exchange(buildCommandFrame(10, 2, kOsdpCommandCap));

    // A reply is on the wire a moment before it is counted.
    std::string document = status();
    for (Deadline deadline = deadlineIn(kPatience);
         xmlValue(document, "reqOut") != "3" && SteadyClock::now() < deadline;) {
        document = status();
    }
    EXPECT_EQ("3", xmlValue(document, "reqOut").value_or("?"));
    EXPECT_EQ("3", xmlValue(document, "reqIn").value_or("?"));
}

TEST_F(OsdpSerialTest, EveryReplyIsTracedAtLevelFive) {
    EXPECT_EQ("<DEBUG_LEVEL>5</DEBUG_LEVEL>", command("DEBUG_LEVEL=5"));

    exchange(buildCommandFrame(10, 1, kOsdpCommandPoll));

    EXPECT_TRUE(
        daemon.waitForLine("<<< 8/8 WriteRet= G_IO_STATUS_NORMAL "
                           "WriteFlush=G_IO_STATUS_NORMAL [53 8A 08 00 05 40 C6 D9 ]",
                           deadlineIn(kPatience)));
}

}  // namespace
