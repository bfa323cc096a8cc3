// One reader's road from a frame to its reply: repeat, settle, build, seal,
// remember, in that order.
#include "osdp/virtual_reader.h"

#include <gtest/gtest.h>

#include "tests/osdp_test_frames.h"
#include "tools/controller_secure_channel.h"

namespace {

class VirtualReaderTest : public testing::Test {
  protected:
    Bytes answer(const Bytes& frame) {
        uint8_t reply[kMaxReplyLength];
        const size_t length = reader.answer(frame.data(), frame.size(), monotonic, reply);
        return Bytes(reply, reply + length);
    }
    Bytes poll(uint8_t sequence) {
        return answer(commandFrame(0x0A, kCrcFlag | sequence, kCmdPoll));
    }
    static Bytes card(uint8_t sequence, uint32_t card) {
        Bytes data = {0x00, kCardFormatCsn32, 0x20, 0x00};
        for (int shift = 24; shift >= 0; shift -= 8)
            data.push_back(static_cast<uint8_t>(card >> shift));
        return replyFrame(0x0A, sequence, kReplyRaw, data);
    }
    void offer(uint32_t number) {
        journal.received(CardSource::cardCommand, 0, number, "");
        reader.injectCard(number);
        monotonic += 4000000;  // past the repeat window
    }
    CardFate fate(uint32_t number) {
        for (const JournalEntry& entry : journal.latest(Journal::kCapacity)) {
            if (entry.card == number)
                return entry.fate;
        }
        return CardFate::received;
    }

    int64_t monotonic = 1000000;
    const WallClock wall = [this] { return WallTime{monotonic / 1000000, 0}; };
    const MonotonicClock clock = [this] { return monotonic; };
    const ScCipher cipher = pinnedCipher();
    Mutex lock;
    LineSettings line;
    Journal journal{[this] { return monotonic; }, [this] { return monotonic; }};
    VirtualReader reader{0, line, lock, wall, clock, cipher, journal};
};

TEST_F(VirtualReaderTest, ARepeatIsAnsweredFromMemoryAndTakesNothing) {
    offer(0xA1);
    EXPECT_EQ(poll(1), card(1, 0xA1));
    offer(0xB2);
    EXPECT_EQ(poll(1), card(1, 0xA1));
    EXPECT_EQ(reader.cards().waiting, 1u);
    EXPECT_EQ(reader.diagnostics(monotonic).repeatsAnswered, 1u);
    EXPECT_EQ(poll(2), card(2, 0xB2));
}

TEST_F(VirtualReaderTest, APollConfirmsTheLastCardBeforeItTakesTheNext) {
    offer(0xA1);
    offer(0xB2);
    EXPECT_EQ(poll(1), card(1, 0xA1));
    EXPECT_EQ(poll(2), card(2, 0xB2));
    EXPECT_EQ(fate(0xA1), CardFate::confirmed);
    EXPECT_EQ(fate(0xB2), CardFate::delivered);
}

// Sequence 0 settles first: the unconfirmed card goes back to the front, and
// the same poll carries it again before the card behind it.
TEST_F(VirtualReaderTest, ANewSessionOffersTheUnconfirmedCardBeforeTheNext) {
    offer(0xA1);
    offer(0xB2);
    EXPECT_EQ(poll(1), card(1, 0xA1));
    EXPECT_EQ(poll(0), card(0, 0xA1));
    EXPECT_EQ(poll(1), card(1, 0xB2));
}

// The repeat of a sealed poll gets the sealed reply again, byte for byte: the
// panel opens it with the chain of the command it sent twice, and the session
// goes on.
TEST_F(VirtualReaderTest, ASealedReplyIsRememberedSealed) {
    const AesKey key = {7};
    reader.setSecurity(ScMode::secure, &key, nullptr);
    ControllerSecureChannel panel(cipher);
    auto send = [this](const Bytes& frame) { return OsdpReply{0, 0, 0, {}, answer(frame)}; };
    ASSERT_TRUE(panel.acceptClientCryptogram(send(panel.challenge(0x0A, 0, key, kKeyBase))));
    ASSERT_TRUE(panel.acceptInitialRmac(send(panel.confirm(0x0A, 1))));
    offer(0xA1);
    const Bytes sealedPoll = panel.seal(0x0A, 2, kCmdPoll);
    const Bytes first = answer(sealedPoll);
    ASSERT_NE(first[kControlOffset] & kScbFlag, 0);
    EXPECT_EQ(answer(sealedPoll), first);
    uint8_t code = 0;
    Bytes data;
    ASSERT_TRUE(panel.open(OsdpReply{0, 0, 0, {}, first}, &code, &data));
    EXPECT_EQ(code, kReplyRaw);
    EXPECT_TRUE(panel.open(send(panel.seal(0x0A, 3, kCmdPoll)), &code, &data));
    EXPECT_EQ(code, kReplyAck);
}

}  // namespace
