// The pure parts of the osdp_controller tool: reply collection, Secure Channel
// and the polling session. Its event lines are checked in the black-box test.
#include <gtest/gtest.h>

#include "tests/golden.h"
#include "tests/osdp_test_frames.h"
#include "tools/controller_session.h"
#include "tools/reply_text.h"

namespace {

using Lines = std::vector<std::string>;

// Noise with a false start, the echo of our own command, a reply with a bad
// CRC, then a checksum reply and a card reply, the last in two reads; and a
// damaged length that holds up the collector until it is cleared.
TEST(ReplyCollectorTest, TakesWholeRepliesOutOfEverythingElse) {
    const Bytes badCrc = {0x53, 0x8A, 0x08, 0x00, 0x05, 0x40, 0xC6, 0xD8};
    const Bytes checksumAck = {0x53, 0x8A, 0x08, 0x00, 0x01, 0x40, 0x00, 0xDA};
    const Bytes card = replyFrame(11, 2, 0x50, {0x00, 0x12, 0x20, 0x00, 0x12, 0x34, 0x56, 0x78});
    Bytes line = {0x00, 0xFF, 0x53, 0x01};
    for (const Bytes& part : {buildCommandFrame(11, 2, 0x60), badCrc, checksumAck, card})
        line.insert(line.end(), part.begin(), part.end());
    ReplyCollector collector;
    OsdpReply reply;
    collector.push(line.data(), line.size() - 5);
    ASSERT_TRUE(collector.nextReply(&reply));
    EXPECT_EQ(reply.frame, checksumAck);
    EXPECT_EQ(collector.damagedFrames(), 1);
    EXPECT_FALSE(collector.nextReply(&reply));
    collector.push(line.data() + line.size() - 5, 5);
    ASSERT_TRUE(collector.nextReply(&reply));
    EXPECT_EQ((std::vector<int>{reply.address, reply.sequence, reply.code}),
              (std::vector<int>{11, 2, 0x50}));
    EXPECT_EQ(reply.data, Bytes(card.begin() + 6, card.end() - 2));

    const Bytes damaged = {0x53, 0x8A, 0x00, 0x02, 0x05, 0x40};  // announces 512 bytes
    collector.push(damaged.data(), damaged.size());
    collector.push(card.data(), card.size());
    EXPECT_FALSE(collector.nextReply(&reply));
    collector.clear();
    EXPECT_EQ(collector.damagedFrames(), 0);
    collector.push(card.data(), card.size());
    EXPECT_TRUE(collector.nextReply(&reply));
}

// The tool's side of a Secure Channel: a refused challenge and another key fail at
// the reader's cryptogram; its key opens a session and a card; a reply in clear ends it.
TEST(ControllerSecureChannelTest, OpensASessionWithTheReadersKeyOnly) {
    const AesKey key = {1}, other = {2};
    OsdpPeripheral osdp;
    osdp.setSecurity(0, ScMode::secure, &key, nullptr);
    osdp.injectCard(0, 0x12345678);
    auto send = [&osdp](const Bytes& frame) {
        feed(osdp, frame);
        return OsdpReply{0, 0, 0, {}, reply(osdp)};  // the channel reads the frame only
    };
    const ScCipher cipher = systemCipher();
    ControllerSecureChannel panel(cipher);
    EXPECT_FALSE(panel.acceptClientCryptogram(send(panel.challenge(10, 0, key, kKeyDefault))));
    EXPECT_FALSE(panel.acceptClientCryptogram(send(panel.challenge(10, 0, other, kKeyBase))));
    ASSERT_TRUE(panel.acceptClientCryptogram(send(panel.challenge(10, 0, key, kKeyBase))));
    ASSERT_TRUE(panel.acceptInitialRmac(send(panel.confirm(10, 1))));
    uint8_t code = 0;
    Bytes card;
    ASSERT_TRUE(panel.open(send(panel.seal(10, 2, kCmdPoll)), &code, &card));
    EXPECT_EQ(card, (Bytes{0x00, 0x12, 0x20, 0x00, 0x12, 0x34, 0x56, 0x78}));
    EXPECT_FALSE(panel.open(send(panel.seal(10, 0, kCmdPoll)), &code, &card));
    EXPECT_FALSE(panel.active());
}

Lines answer(ControllerSession& session, uint8_t code) {
    const Bytes command = session.nextCommand();
    const OsdpReply reply{command[1], static_cast<uint8_t>(command[4] & 0x03), code, {}, {}};
    EXPECT_TRUE(session.answers(reply));
    return session.onReply(reply);
}

// A missed frame goes again unchanged, and only a reply from the reader asked,
// with the sequence number asked, answers it.
TEST(ControllerSessionTest, OfflineOnceAfterThreeMissesThenANewSession) {
    ControllerSession session({10});
    EXPECT_EQ(buildCommandFrame(10, 0, kCmdId), session.nextCommand());
    EXPECT_FALSE(session.answers(OsdpReply{11, 0, 0x45, {}, {}}));
    EXPECT_FALSE(session.answers(OsdpReply{10, 1, 0x45, {}, {}}));
    answer(session, 0x45);
    answer(session, 0x46);
    const Bytes poll = session.nextCommand();
    EXPECT_EQ(buildCommandFrame(10, 2, kCmdPoll), poll);
    for (const Lines& lines : {Lines{}, Lines{}, Lines{"reader 10 offline"}}) {
        EXPECT_EQ(poll, session.nextCommand());
        EXPECT_EQ(lines, session.onNoReply());
    }
    EXPECT_EQ(buildCommandFrame(10, 0, kCmdId), session.nextCommand());
    EXPECT_EQ(Lines{}, session.onNoReply());
    EXPECT_EQ(buildCommandFrame(10, 0, kCmdId), session.nextCommand());
    EXPECT_EQ(Lines{"reader 10 online"}, answer(session, 0x40));
}

// A session that rests readers takes one offline at its first damaged reply
// and polls the others meanwhile; after the rest it starts over at sequence 0.
TEST(ControllerSessionTest, DamagedReplyRestsItsReaderThenANewSession) {
    using std::chrono::milliseconds;
    const ControllerSession::Clock::time_point t0{};
    ControllerSession session({10, 11});
    session.restAfterDamage(milliseconds(1000));
    for (uint8_t code : {0x45, 0x45, 0x46, 0x46})
        answer(session, code);
    EXPECT_EQ(buildCommandFrame(10, 2, kCmdPoll), session.nextCommand(t0));
    EXPECT_EQ(Lines{"reader 10 offline"}, session.onDamagedReply(t0));
    EXPECT_EQ(buildCommandFrame(11, 2, kCmdPoll), session.nextCommand(t0));
    answer(session, 0x40);
    EXPECT_EQ(buildCommandFrame(11, 3, kCmdPoll), session.nextCommand(t0));
    EXPECT_EQ(Lines{"reader 11 offline"}, session.onDamagedReply(t0 + milliseconds(10)));
    EXPECT_TRUE(session.nextCommand(t0 + milliseconds(999)).empty());
    EXPECT_EQ(buildCommandFrame(10, 0, kCmdId), session.nextCommand(t0 + milliseconds(1000)));
    EXPECT_EQ(Lines{}, session.onDamagedReply(t0 + milliseconds(1000)));
    EXPECT_EQ(buildCommandFrame(11, 0, kCmdId), session.nextCommand(t0 + milliseconds(1010)));
}

TEST(DescribeReplyTest, RepliesReadAsTheirGoldenCasesSay) {
    for (auto& [line, text] : goldenCases("reply-descriptions.txt")) {
        const Bytes bytes = bytesOfHex(text['>']);
        ASSERT_GE(bytes.size(), 3u) << line;
        const OsdpReply reply{bytes[1], 1, bytes[2], Bytes(bytes.begin() + 3, bytes.end()), {}};
        EXPECT_EQ(describeReply(bytes[0], reply), text['<']) << line;
    }
}

// With --led, a card read is answered with the LED and then the buzzer before
// polling goes on; --count waits for both.
TEST(ControllerSessionTest, AnswersACardReadWithLedThenBuzzer) {
    ControllerSession session({10});
    session.answerCards(2);
    answer(session, 0x45);
    answer(session, 0x46);
    answer(session, 0x50);
    EXPECT_TRUE(session.answerPending());
    EXPECT_EQ(buildCommandFrame(10, 3, 0x69, {0, 0, 2, 30, 0, 2, 0, 30, 0, 0, 0, 0, 0, 0}),
              session.nextCommand());
    EXPECT_EQ(Lines{"reader 10 led green"}, answer(session, 0x40));
    EXPECT_EQ(buildCommandFrame(10, 1, 0x6A, {0, 2, 2, 1, 1}), session.nextCommand());
    EXPECT_EQ(Lines{}, answer(session, 0x40));
    EXPECT_FALSE(session.answerPending());
    EXPECT_EQ(buildCommandFrame(10, 2, kCmdPoll), session.nextCommand());
}

}  // namespace
