// Replies to each controller command, byte for byte, and the resend of a reply
// the controller missed.
#include <gtest/gtest.h>

#include <string>

#include "osdp_test_frames.h"

namespace {

const Bytes kPdidPayload = {0x02, 0x4B, 0x7E, 0x00, 0x01, 0x00, 0x04, 0xD2, 0xB7, 0x01, 0x02, 0x03};
const Bytes kPdcapPayload = {0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x03, 0x01, 0x00, 0x04, 0x04,
                             0x01, 0x05, 0x02, 0x01, 0x06, 0x00, 0x00, 0x07, 0x00, 0x00, 0x08,
                             0x01, 0x01, 0x09, 0x00, 0x00, 0x0A, 0x92, 0x03, 0x0C, 0x00, 0x00,
                             0x0E, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x10, 0x01, 0x00};

Bytes payload(const Bytes& frame, size_t checkBytes) {
    return Bytes(frame.begin() + 6, frame.end() - static_cast<long>(checkBytes));
}

class ReplyTest : public testing::Test {
  protected:
    OsdpPeripheral osdp;
};

TEST_F(ReplyTest, PollWithNothingPendingIsAcknowledged) {
    EXPECT_EQ(sendFrame(osdp, commandFrame(0x0A, 0x05, 0x60)),
              (Bytes{0x53, 0x8A, 0x08, 0x00, 0x05, 0x40, 0xC6, 0xD9}));
    EXPECT_EQ(sendFrame(osdp, commandFrame(0x0A, 0x01, 0x60)),
              (Bytes{0x53, 0x8A, 0x08, 0x00, 0x01, 0x40, 0x00, 0xDA}));
}

TEST_F(ReplyTest, PendingCardIsSentAsRawCardDataWithCrcEvenToChecksumCommands) {
    const Bytes expected = {0x53, 0x8B, 0x10, 0x00, 0x06, 0x50, 0x00, 0x12,
                            0x20, 0x00, 0x12, 0x34, 0x56, 0x78, 0xCA, 0xE5};
    osdp.injectCard(1, 0x12345678);
    EXPECT_EQ(sendFrame(osdp, commandFrame(0x0B, 0x06, 0x60)), expected);

    OsdpPeripheral other;
    other.injectCard(1, 0x12345678);
    EXPECT_EQ(sendFrame(other, commandFrame(0x0B, 0x02, 0x60)), expected);
    EXPECT_EQ(other.replyCtrl, 0x06);
}

TEST_F(ReplyTest, LocalStatusReportsTamperAndDoesNotClearThePendingReport) {
    osdp.setTamper(0, true);
    EXPECT_EQ(sendFrame(osdp, commandFrame(0x0A, 0x05, 0x64)),
              (Bytes{0x53, 0x8A, 0x0A, 0x00, 0x05, 0x48, 0x01, 0x00, 0xE5, 0x07}));
    // The status report raised by the tamper change still waits for a poll.
    const Bytes status = sendFrame(osdp, commandFrame(0x0A, 0x06, 0x60));
    EXPECT_EQ(status[5], 0x48);
    EXPECT_EQ(status[6], 0x01);
    EXPECT_EQ(sendFrame(osdp, commandFrame(0x0A, 0x07, 0x60))[5], 0x40);
}

TEST_F(ReplyTest, PollSendsCardThenStatusThenAcknowledges) {
    osdp.injectCard(0, 0x1234ABCD);
    osdp.setTamper(0, false);
    EXPECT_EQ(sendFrame(osdp, commandFrame(0x0A, 0x05, 0x60))[5], 0x50);
    const Bytes status = sendFrame(osdp, commandFrame(0x0A, 0x06, 0x60));
    EXPECT_EQ(status[5], 0x48);
    EXPECT_EQ(status[6], 0x00);
    EXPECT_EQ(sendFrame(osdp, commandFrame(0x0A, 0x07, 0x60))[5], 0x40);
}

TEST_F(ReplyTest, CommunicationSettingsAreReportedNotApplied) {
    EXPECT_EQ(
        sendFrame(osdp, commandFrame(0x0A, 0x05, 0x6E, {0x22, 0x00, 0x4B, 0x00, 0x00})),
        (Bytes{0x53, 0x8A, 0x0D, 0x00, 0x05, 0x54, 0x0A, 0x80, 0x25, 0x00, 0x00, 0xEA, 0x96}));
    EXPECT_EQ(osdp.status().readerAddress, (std::array<uint8_t, 2>{0x0A, 0x0B}));
}

TEST_F(ReplyTest, IdentificationAndCapabilitiesCarryTheirFixedPayloads) {
    const Bytes pdid = sendFrame(osdp, commandFrame(0x0B, 0x05, 0x61, {0x00}));
    ASSERT_EQ(pdid.size(), 20u);
    EXPECT_EQ(pdid[1], 0x8B);
    EXPECT_EQ(pdid[5], 0x45);
    EXPECT_EQ(payload(pdid, 2), kPdidPayload);

    const Bytes pdcap = sendFrame(osdp, commandFrame(0x0A, 0x05, 0x62, {0x00}));
    // Whole triples only: controllers reject any other payload length.
    ASSERT_EQ(pdcap.size(), 50u);
    EXPECT_EQ(pdcap[5], 0x46);
    EXPECT_EQ(payload(pdcap, 2), kPdcapPayload);
}

TEST_F(ReplyTest, ChecksumRepliesKeepTheirLengthWithAZeroBeforeTheChecksum) {
    for (uint8_t cmd : {0x60, 0x61, 0x62, 0x64, 0x6E, 0x69}) {
        const Bytes withCrc = sendFrame(osdp, commandFrame(0x0A, 0x05, cmd));
        const Bytes withSum = sendFrame(osdp, commandFrame(0x0A, 0x01, cmd));
        ASSERT_EQ(withSum.size(), withCrc.size()) << int(cmd);
        EXPECT_EQ(withSum[4], 0x01);
        EXPECT_EQ(withSum[withSum.size() - 2], 0x00);
        EXPECT_EQ(checksum8(withSum.data(), withSum.size() - 1), withSum.back());
        EXPECT_EQ(payload(withSum, 2), payload(withCrc, 2)) << int(cmd);
    }
}

TEST_F(ReplyTest, OtherCommandsAreAcknowledgedWithoutEffect) {
    osdp.injectCard(0, 0x77);
    for (int cmd : {0x01, 0x5F, 0x63, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6F,
                    0xA0, 0xFF}) {
        const Bytes ack = sendFrame(osdp, commandFrame(0x0A, 0x05, static_cast<uint8_t>(cmd)));
        ASSERT_EQ(ack.size(), 8u) << cmd;
        EXPECT_EQ(ack[5], 0x40) << cmd;
    }
    EXPECT_EQ(sendFrame(osdp, commandFrame(0x0A, 0x06, 0x60))[5], 0x50);
    EXPECT_EQ(osdp.status().reqIn, 16u);
}

TEST_F(ReplyTest, ReplyEchoesTheControlByte) {
    for (uint8_t ctrl : {0x04, 0x05, 0x06, 0x07, 0x0D}) {
        EXPECT_EQ(sendFrame(osdp, commandFrame(0x0B, ctrl, 0x60))[4], ctrl);
    }
}

// A controller that missed a reply sends the same frame again.
TEST_F(ReplyTest, RepeatedFrameGetsTheStoredReplyAgain) {
    osdp.injectCard(0, 0xA1B2C3D4);
    const Bytes poll = commandFrame(0x0A, 0x05, 0x60);
    const Bytes card = sendFrame(osdp, poll);
    ASSERT_EQ(card[5], 0x50);
    EXPECT_EQ(sendFrame(osdp, poll), card);
    EXPECT_EQ(sendFrame(osdp, poll), card);
    EXPECT_EQ(sendFrame(osdp, commandFrame(0x0A, 0x06, 0x60))[5], 0x40);
    EXPECT_EQ(osdp.status().reqIn, 4u);
}

TEST_F(ReplyTest, RepeatKeepsAStatusReportAndLeavesTheNextCardPending) {
    osdp.setTamper(1, true);
    const Bytes poll = commandFrame(0x0B, 0x07, 0x60);
    const Bytes status = sendFrame(osdp, poll);
    ASSERT_EQ(status[5], 0x48);
    osdp.injectCard(1, 0x99);
    // The resend must not consume the card that arrived meanwhile.
    EXPECT_EQ(sendFrame(osdp, poll), status);
    EXPECT_EQ(sendFrame(osdp, commandFrame(0x0B, 0x05, 0x60))[5], 0x50);
}

TEST_F(ReplyTest, SequenceZeroAndDifferingFramesAreAnsweredFresh) {
    osdp.injectCard(0, 0x42);
    const Bytes poll0 = commandFrame(0x0A, 0x04, 0x60);
    const Bytes card = sendFrame(osdp, poll0);
    EXPECT_EQ(card[5], 0x50);
    // Another session start: nothing confirmed the card, so it comes again.
    EXPECT_EQ(sendFrame(osdp, poll0), card);
    EXPECT_EQ(sendFrame(osdp, commandFrame(0x0A, 0x05, 0x60))[5], 0x40);
    EXPECT_EQ(sendFrame(osdp, poll0)[5], 0x40);

    // Same sequence number, different command: a new request.
    osdp.injectCard(0, 0x43);
    const Bytes poll1 = commandFrame(0x0A, 0x05, 0x60);
    EXPECT_EQ(sendFrame(osdp, commandFrame(0x0A, 0x05, 0x64))[5], 0x48);
    EXPECT_EQ(sendFrame(osdp, poll1)[5], 0x50);
}

TEST_F(ReplyTest, RepeatMemoryIsKeptPerReader) {
    osdp.injectCard(0, 0x10);
    const Bytes poll = commandFrame(0x0A, 0x05, 0x60);
    const Bytes card = sendFrame(osdp, poll);
    ASSERT_EQ(card[5], 0x50);
    // A poll of the other reader in between does not break the resend.
    EXPECT_EQ(sendFrame(osdp, commandFrame(0x0B, 0x05, 0x60))[5], 0x40);
    EXPECT_EQ(sendFrame(osdp, poll), card);
}

// A reply that carried a card or a status report counts as delivered only once
// the controller moves on to another non-zero sequence number. A controller
// that gives up on a reader starts over with sequence 0, and whatever the
// unconfirmed reply carried is offered again, unless a newer card came in.
struct DeliveryCase {
    const char* name;
    bool card;           // the reply carries card A, else a tamper report
    bool confirmed;      // the controller's next poll (sequence 2) got through
    bool newerCard;      // card B arrives before the new session
    uint8_t restartCmd;  // the command with sequence 0 that opens the new session
    uint8_t afterCode;   // reply to the first poll of the new session
    uint32_t afterCard;  // its card, for card data
};

const DeliveryCase kDeliveryCases[] = {
    {"MissedCardComesAgain", true, false, false, 0x61, 0x50, 0xA},
    {"MissedCardComesWithASessionOpeningPoll", true, false, false, 0x60, 0x50, 0xA},
    {"ConfirmedCardDoesNotComeAgain", true, true, false, 0x61, 0x40, 0},
    {"NewerCardWinsOverTheMissedOne", true, false, true, 0x61, 0x50, 0xB},
    {"MissedStatusReportComesAgain", false, false, false, 0x61, 0x48, 0},
    {"ConfirmedStatusReportDoesNotComeAgain", false, true, false, 0x61, 0x40, 0},
};

class DeliveryTest : public testing::TestWithParam<DeliveryCase> {};

TEST_P(DeliveryTest, UnconfirmedReplyIsOfferedAgainInTheNextSession) {
    const DeliveryCase& c = GetParam();
    OsdpPeripheral osdp;
    auto poll = [](uint8_t ctrl) { return commandFrame(0x0B, ctrl, 0x60); };
    c.card ? osdp.injectCard(1, 0xA) : osdp.setTamper(1, true);
    const Bytes carried = sendFrame(osdp, poll(0x05));
    ASSERT_EQ(carried[5], c.card ? 0x50 : 0x48);
    // The controller missed it and resends: the same bytes come back.
    EXPECT_EQ(sendFrame(osdp, poll(0x05)), carried);
    if (c.confirmed) {
        EXPECT_EQ(sendFrame(osdp, poll(0x06))[5], 0x40);
    }
    if (c.newerCard)
        osdp.injectCard(1, 0xB);

    // The controller takes the reader offline and opens a new session.
    const Bytes opening = sendFrame(osdp, commandFrame(0x0B, 0x04, c.restartCmd));
    const Bytes after = c.restartCmd == 0x60 ? opening : sendFrame(osdp, poll(0x05));
    ASSERT_EQ(after[5], c.afterCode);
    if (c.afterCode == 0x50) {
        EXPECT_EQ(after[13], c.afterCard);
    }
    if (c.afterCode == 0x48) {
        EXPECT_EQ(after[6], 1);
    }
    // Confirmed by the next sequence number: never offered a third time.
    EXPECT_EQ(sendFrame(osdp, poll(0x07))[5], 0x40);
    EXPECT_EQ(sendFrame(osdp, commandFrame(0x0B, 0x04, 0x61))[5], 0x45);
    EXPECT_EQ(sendFrame(osdp, poll(0x05))[5], 0x40);
    EXPECT_EQ(osdp.status().lastCard[1], c.card ? (c.newerCard ? 0xBu : 0xAu) : 0u);
}

INSTANTIATE_TEST_SUITE_P(Sessions, DeliveryTest, testing::ValuesIn(kDeliveryCases),
                         [](const testing::TestParamInfo<DeliveryCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
