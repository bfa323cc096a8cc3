// The pure parts of the osdp_controller tool: reply collection and the polling
// session. Its event lines are checked against the daemon in the black-box test.
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/osdp_test_frames.h"
#include "tools/osdp_controller_core.h"

namespace {

using Lines = std::vector<std::string>;

OsdpReply parsed(const Bytes& frame) {
    ReplyCollector collector;
    collector.push(frame.data(), frame.size());
    OsdpReply result;
    EXPECT_TRUE(collector.nextReply(&result));
    return result;
}

TEST(ReplyCollectorTest, TakesRepliesOutOfNoiseEchoesAndSplitReads) {
    const Bytes card = {0x53, 0x8B, 0x10, 0x00, 0x06, 0x50, 0x00, 0x12,
                        0x20, 0x00, 0x12, 0x34, 0x56, 0x78, 0xCA, 0xE5};
    Bytes line = {0x00, 0xFF, 0x53, 0x01};        // noise, with a false start
    Bytes echo = buildCommandFrame(11, 2, 0x60);  // our own command
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
    EXPECT_EQ((Bytes{0x00, 0x12, 0x20, 0x00, 0x12, 0x34, 0x56, 0x78}), result.data);
    EXPECT_FALSE(collector.nextReply(&result));
}

TEST(ReplyCollectorTest, SkipsAReplyWithABadCrcAndTakesChecksumReplies) {
    Bytes bad = replyFrame(10, 1, 0x40);
    bad.back() ^= 0x01;
    const Bytes checksumAck = {0x53, 0x8A, 0x08, 0x00, 0x01, 0x40, 0x00, 0xDA};
    const Bytes status = replyFrame(10, 2, 0x48, {1, 0});
    ReplyCollector collector;
    for (const Bytes& frame : {bad, checksumAck, status})
        collector.push(frame.data(), frame.size());

    OsdpReply result;
    ASSERT_TRUE(collector.nextReply(&result));
    EXPECT_EQ(10, result.address);
    EXPECT_EQ(1, result.sequence);
    EXPECT_EQ(0x40, result.code);
    ASSERT_TRUE(collector.nextReply(&result));
    EXPECT_EQ(2, result.sequence);
    EXPECT_EQ(0x48, result.code);
    EXPECT_FALSE(collector.nextReply(&result));
}

TEST(ReplyCollectorTest, ClearDropsAFrameWhoseLengthCannotBeMet) {
    const Bytes damaged = {0x53, 0x8A, 0x00, 0x02, 0x05, 0x40};  // announces 512 bytes
    const Bytes good = replyFrame(10, 1, 0x40);
    ReplyCollector collector;
    OsdpReply result;
    collector.push(damaged.data(), damaged.size());
    collector.push(good.data(), good.size());
    EXPECT_FALSE(collector.nextReply(&result));

    collector.clear();
    collector.push(good.data(), good.size());
    EXPECT_TRUE(collector.nextReply(&result));
}

// Answers the session's next command from the reader with the given reply code.
Lines answer(ControllerSession& session, uint8_t code, const Bytes& data = {}) {
    const Bytes command = session.nextCommand();
    OsdpReply result = parsed(replyFrame(command[1], command[4] & 0x03, code, data));
    EXPECT_TRUE(session.answers(result));
    return session.onReply(result);
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
    EXPECT_FALSE(session.answers(parsed(replyFrame(11, 0, 0x45))));
    EXPECT_FALSE(session.answers(parsed(replyFrame(10, 1, 0x45))));
    EXPECT_TRUE(session.answers(parsed(replyFrame(10, 0, 0x45))));
}

TEST(ControllerSessionTest, OfflineOnceAfterThreeMissesThenANewSession) {
    ControllerSession session({10});
    answer(session, 0x45, {});
    answer(session, 0x46, {});
    const Bytes poll = session.nextCommand();
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

}  // namespace
