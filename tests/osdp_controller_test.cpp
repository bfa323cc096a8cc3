// The pure parts of the osdp_controller tool: frames, reply collection, the
// polling session and its event lines.
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "osdp/check_codes.h"
#include "tools/osdp_controller_core.h"

namespace {

using Frame = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

Frame reply(uint8_t address, uint8_t sequence, uint8_t code, const Frame& data = {}) {
    Frame frame = {0x53, static_cast<uint8_t>(address | 0x80),  0,
                   0,    static_cast<uint8_t>(0x04 | sequence), code};
    for (uint8_t byte : data)
        frame.push_back(byte);
    frame[2] = static_cast<uint8_t>(frame.size() + 2);
    const uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

OsdpReply parsed(const Frame& frame) {
    ReplyCollector collector;
    collector.push(frame.data(), frame.size());
    OsdpReply result;
    EXPECT_TRUE(collector.nextReply(&result));
    return result;
}

TEST(CommandFrameTest, PollOfReader1MatchesTheKnownFrame) {
    EXPECT_EQ((Frame{0x53, 0x0A, 0x08, 0x00, 0x05, 0x60, 0x74, 0xDF}),
              buildCommandFrame(10, 1, kOsdpCommandPoll));
}

TEST(CommandFrameTest, DataIsCountedInTheLengthAndCoveredByTheCrc) {
    Frame frame = buildCommandFrame(11, 2, 0x6E, {0x05, 0x00, 0x96, 0x00, 0x00});
    ASSERT_EQ(13u, frame.size());
    EXPECT_EQ((Frame{0x53, 0x0B, 0x0D, 0x00, 0x06, 0x6E, 0x05, 0x00, 0x96, 0x00, 0x00}),
              Frame(frame.begin(), frame.end() - 2));
    EXPECT_EQ(crc16(frame.data(), 11), frame[11] | (frame[12] << 8));
}

TEST(ReplyCollectorTest, TakesRepliesOutOfNoiseEchoesAndSplitReads) {
    const Frame card = {0x53, 0x8B, 0x10, 0x00, 0x06, 0x50, 0x00, 0x12,
                        0x20, 0x00, 0x12, 0x34, 0x56, 0x78, 0xCA, 0xE5};
    Frame line = {0x00, 0xFF, 0x53, 0x01};        // noise, with a false start
    Frame echo = buildCommandFrame(11, 2, 0x60);  // our own command
    line.insert(line.end(), echo.begin(), echo.end());
    line.insert(line.end(), card.begin(), card.end());
    ReplyCollector collector;
    OsdpReply result;

    collector.push(line.data(), line.size() - 5);
    EXPECT_FALSE(collector.nextReply(&result));
    collector.push(line.data() + line.size() - 5, 5);
    ASSERT_TRUE(collector.nextReply(&result));

    EXPECT_EQ(11, result.address);
    EXPECT_EQ(2, result.sequence);
    EXPECT_EQ(0x50, result.code);
    EXPECT_EQ((Frame{0x00, 0x12, 0x20, 0x00, 0x12, 0x34, 0x56, 0x78}), result.data);
    EXPECT_FALSE(collector.nextReply(&result));
}

TEST(ReplyCollectorTest, SkipsAReplyWithABadCrcAndKeepsTheNextOne) {
    Frame bad = reply(10, 1, 0x40);
    bad.back() ^= 0x01;
    Frame good = reply(10, 2, 0x48, {1, 0});
    ReplyCollector collector;
    collector.push(bad.data(), bad.size());
    collector.push(good.data(), good.size());

    OsdpReply result;
    ASSERT_TRUE(collector.nextReply(&result));
    EXPECT_EQ(2, result.sequence);
    EXPECT_EQ(0x48, result.code);
    EXPECT_FALSE(collector.nextReply(&result));
}

TEST(ReplyCollectorTest, AcceptsAChecksumReply) {
    const Frame ack = {0x53, 0x8A, 0x08, 0x00, 0x01, 0x40, 0x00, 0xDA};
    OsdpReply result = parsed(ack);
    EXPECT_EQ(10, result.address);
    EXPECT_EQ(1, result.sequence);
    EXPECT_EQ(0x40, result.code);
}

TEST(ReplyCollectorTest, ClearDropsAFrameWhoseLengthCannotBeMet) {
    const Frame damaged = {0x53, 0x8A, 0x00, 0x02, 0x05, 0x40};  // announces 512 bytes
    const Frame good = reply(10, 1, 0x40);
    ReplyCollector collector;
    OsdpReply result;
    collector.push(damaged.data(), damaged.size());
    collector.push(good.data(), good.size());
    EXPECT_FALSE(collector.nextReply(&result));

    collector.clear();
    collector.push(good.data(), good.size());
    EXPECT_TRUE(collector.nextReply(&result));
}

TEST(DescribeReplyTest, EventLinesOfTheReplies) {
    EXPECT_EQ("reader 11 card format=0x12 bits=32 card=12345678",
              describeReply(0x60, parsed({0x53, 0x8B, 0x10, 0x00, 0x06, 0x50, 0x00, 0x12, 0x20,
                                          0x00, 0x12, 0x34, 0x56, 0x78, 0xCA, 0xE5})));
    EXPECT_EQ(
        "reader 10 status tamper=1 power=0",
        describeReply(0x64, parsed({0x53, 0x8A, 0x0A, 0x00, 0x05, 0x48, 0x01, 0x00, 0xE5, 0x07})));
    EXPECT_EQ("", describeReply(0x60, parsed(reply(10, 1, 0x40))));
    EXPECT_EQ("reader 10 nak error=3", describeReply(0x60, parsed(reply(10, 1, 0x41, {3}))));
    EXPECT_EQ("reader 10 reply code=0x54 to command 0x6E",
              describeReply(0x6E, parsed(reply(10, 1, 0x54, {10, 0x80, 0x25, 0, 0}))));
    // 26 bits travel in 4 bytes.
    EXPECT_EQ(
        "reader 10 card format=0x00 bits=26 card=0123457F",
        describeReply(0x60, parsed(reply(10, 1, 0x50, {0, 0, 26, 0, 0x01, 0x23, 0x45, 0x7F}))));
    EXPECT_EQ("reader 10 card malformed",
              describeReply(0x60, parsed(reply(10, 1, 0x50, {0, 0x12, 0x20, 0x00, 0x12}))));
}

// Answers the session's next command from the reader with the given reply code.
Lines answer(ControllerSession& session, uint8_t code, const Frame& data = {}) {
    const Frame command = session.nextCommand();
    OsdpReply result = parsed(reply(command[1], command[4] & 0x03, code, data));
    EXPECT_TRUE(session.answers(result));
    return session.onReply(result);
}

TEST(ControllerSessionTest, AsksIdentityAndCapabilitiesOnceThenPollsWithRunningSequence) {
    ControllerSession session({10});
    EXPECT_EQ(buildCommandFrame(10, 0, kOsdpCommandId), session.nextCommand());
    EXPECT_EQ(
        (Lines{"reader 10 online",
               "reader 10 id vendor=024B7E model=0 version=1 serial=0004D2B7 firmware=1.2.3"}),
        answer(session, 0x45, {0x02, 0x4B, 0x7E, 0, 1, 0x00, 0x04, 0xD2, 0xB7, 1, 2, 3}));
    EXPECT_EQ(buildCommandFrame(10, 1, kOsdpCommandCap), session.nextCommand());
    EXPECT_EQ((Lines{"reader 10 capabilities 3:1:0 8:1:1"}),
              answer(session, 0x46, {3, 1, 0, 8, 1, 1, 0, 0}));

    const uint8_t expected[] = {2, 3, 1, 2, 3, 1};
    for (uint8_t sequence : expected) {
        EXPECT_EQ(buildCommandFrame(10, sequence, kOsdpCommandPoll), session.nextCommand());
        EXPECT_EQ(Lines{}, answer(session, 0x40));
    }
}

TEST(ControllerSessionTest, ReadersTakeTurnsAndKeepTheirOwnSequences) {
    ControllerSession session({10, 11});
    EXPECT_EQ(10, session.nextCommand()[1]);
    answer(session, 0x45, {});
    EXPECT_EQ(buildCommandFrame(11, 0, kOsdpCommandId), session.nextCommand());
    session.onNoReply();
    EXPECT_EQ(buildCommandFrame(10, 1, kOsdpCommandCap), session.nextCommand());
    answer(session, 0x46, {});
    // Reader 11 gets its missed frame again, unchanged.
    EXPECT_EQ(buildCommandFrame(11, 0, kOsdpCommandId), session.nextCommand());
}

TEST(ControllerSessionTest, RepliesToOtherFramesDoNotAnswer) {
    ControllerSession session({10, 11});
    session.nextCommand();
    EXPECT_FALSE(session.answers(parsed(reply(11, 0, 0x45))));
    EXPECT_FALSE(session.answers(parsed(reply(10, 1, 0x45))));
    EXPECT_TRUE(session.answers(parsed(reply(10, 0, 0x45))));
}

TEST(ControllerSessionTest, OfflineOnceAfterThreeMissesThenANewSession) {
    ControllerSession session({10});
    answer(session, 0x45, {});
    answer(session, 0x46, {});
    const Frame poll = session.nextCommand();
    EXPECT_EQ(buildCommandFrame(10, 2, kOsdpCommandPoll), poll);
    EXPECT_EQ(Lines{}, session.onNoReply());
    EXPECT_EQ(poll, session.nextCommand());
    EXPECT_EQ(Lines{}, session.onNoReply());
    EXPECT_EQ(poll, session.nextCommand());
    EXPECT_EQ(Lines{"reader 10 offline"}, session.onNoReply());

    EXPECT_EQ(buildCommandFrame(10, 0, kOsdpCommandId), session.nextCommand());
    EXPECT_EQ(Lines{}, session.onNoReply());
    EXPECT_EQ(buildCommandFrame(10, 0, kOsdpCommandId), session.nextCommand());
    EXPECT_EQ(Lines{"reader 10 online"}, answer(session, 0x40));
}

TEST(ControllerSessionTest, CountsCardReads) {
    ControllerSession session({10});
    answer(session, 0x45, {});
    answer(session, 0x46, {});
    EXPECT_EQ(0, session.cardReads());
    EXPECT_EQ((Lines{"reader 10 card format=0x12 bits=32 card=6D8CB9FB"}),
              answer(session, 0x50, {0, 0x12, 0x20, 0x00, 0x6D, 0x8C, 0xB9, 0xFB}));
    answer(session, 0x40);
    EXPECT_EQ(1, session.cardReads());
}

}  // namespace
