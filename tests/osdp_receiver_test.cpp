// Frame receiver and check codes: which byte streams are answered, and which
// are dropped without a word.
#include <gtest/gtest.h>

#include <string>

#include "app/log.h"
#include "osdp_test_frames.h"

namespace {

const Bytes kPollReader1 = {0x53, 0x0A, 0x08, 0x00, 0x05, 0x60, 0x74, 0xDF};

TEST(CheckCodes, MatchTheOsdpReferenceValues) {
    const std::string digits = "123456789";
    const auto* data = reinterpret_cast<const uint8_t*>(digits.data());
    EXPECT_EQ(crc16(data, digits.size()), 0xE5CC);
    EXPECT_EQ(crc16(data, 0), 0x1D0F);
    EXPECT_EQ(checksum8(data, digits.size()), 0x23);
    EXPECT_EQ(checksum8(data, 0), 0x00);
}

TEST(Receiver, PollIsAcceptedOnlyOnItsLastByte) {
    OsdpPeripheral osdp;
    EXPECT_EQ(feed(osdp, kPollReader1), std::vector<size_t>{7});
    EXPECT_EQ(osdp.currentReader, 0);
}

TEST(Receiver, CorruptedCheckCodesAreDropped) {
    OsdpPeripheral osdp;
    Bytes swapped = kPollReader1;
    std::swap(swapped[6], swapped[7]);
    EXPECT_TRUE(feed(osdp, swapped).empty());

    Bytes checksumFrame = commandFrame(0x0A, 0x01, 0x60);
    checksumFrame.back() ^= 0x01;
    EXPECT_TRUE(feed(osdp, checksumFrame).empty());

    Bytes flippedData = commandFrame(0x0A, 0x05, 0x69, {0x01, 0x02});
    flippedData[6] ^= 0x10;
    EXPECT_TRUE(feed(osdp, flippedData).empty());
}

TEST(Receiver, BothCheckCodesAndAllSequenceNumbersAreAccepted) {
    OsdpPeripheral osdp;
    for (uint8_t ctrl = 0; ctrl < 8; ++ctrl) {
        const Bytes frame = commandFrame(0x0A, ctrl, 0x60);
        EXPECT_EQ(frame.size(), ctrl & 0x04 ? 8u : 7u);
        EXPECT_EQ(feed(osdp, frame), std::vector<size_t>{frame.size() - 1}) << int(ctrl);
    }
}

TEST(Receiver, OnlyTheTwoReaderAddressesAreAnswered) {
    OsdpPeripheral osdp;
    EXPECT_FALSE(feed(osdp, commandFrame(0x0B, 0x05, 0x60)).empty());
    EXPECT_EQ(osdp.currentReader, 1);
    EXPECT_FALSE(feed(osdp, commandFrame(0x0A, 0x05, 0x60)).empty());
    EXPECT_EQ(osdp.currentReader, 0);
    // Another device, the broadcast address and a reply of reader 1 itself.
    for (uint8_t address : {0x0C, 0x7F, 0x8A, 0x8B, 0x00}) {
        EXPECT_TRUE(feed(osdp, commandFrame(address, 0x05, 0x60)).empty()) << int(address);
    }
}

TEST(Receiver, ShortLengthAndCommandZeroAreNeverAnswered) {
    OsdpPeripheral osdp;
    // Length 6 with a check byte that would make the sum zero.
    Bytes shortFrame = {0x53, 0x0A, 0x06, 0x00, 0x01, 0x60};
    shortFrame.push_back(checksum8(shortFrame.data(), shortFrame.size()));
    EXPECT_TRUE(feed(osdp, shortFrame).empty());
    EXPECT_TRUE(feed(osdp, commandFrame(0x0A, 0x05, 0x00)).empty());
    EXPECT_TRUE(feed(osdp, commandFrame(0x0A, 0x01, 0x00)).empty());
}

TEST(Receiver, StartByteInsideAFrameRestartsReception) {
    OsdpPeripheral osdp;
    // 0x53 in the data of a text command: that frame is lost...
    Bytes frame = commandFrame(0x0A, 0x05, 0x6B, {0x00, 0x53, 0x41});
    EXPECT_TRUE(feed(osdp, frame).empty());
    // ...and a poll that begins right after a broken prefix is still answered.
    Bytes prefixThenPoll = {0x53, 0x0A, 0x08};
    prefixThenPoll.insert(prefixThenPoll.end(), kPollReader1.begin(), kPollReader1.end());
    EXPECT_EQ(feed(osdp, prefixThenPoll), std::vector<size_t>{prefixThenPoll.size() - 1});
}

TEST(Receiver, LengthHighByteIsIgnored) {
    OsdpPeripheral osdp;
    Bytes frame = {0x53, 0x0A, 0x08, 0x01, 0x05, 0x60};
    const uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    EXPECT_EQ(feed(osdp, frame), std::vector<size_t>{7});
}

TEST(Receiver, WrappedBufferNeverValidatesWithoutAStartByte) {
    OsdpPeripheral osdp;
    // A start byte, then filler up to the last buffer position; the next byte
    // lands at position 0. What follows would be a valid poll if position 0
    // still counted as the start of a frame.
    Bytes stream = {0x53};
    stream.insert(stream.end(), kFrameBufferSize - 1, 0x00);
    Bytes fake = {0x52, 0x0A, 0x08, 0x00, 0x05, 0x60};
    const uint16_t crc = crc16(fake.data(), fake.size());
    fake.push_back(static_cast<uint8_t>(crc));
    fake.push_back(static_cast<uint8_t>(crc >> 8));
    stream.insert(stream.end(), fake.begin(), fake.end());
    EXPECT_TRUE(feed(osdp, stream).empty());
    EXPECT_EQ(feed(osdp, kPollReader1), std::vector<size_t>{7});
}

TEST(Receiver, TraceLinesAreWrittenOnlyAtLevelFive) {
    OsdpPeripheral osdp([] { return WallTime{0, 0}; });
    DebugLevel = 4;
    testing::internal::CaptureStdout();
    feed(osdp, kPollReader1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // A second object: the first one would resend its stored reply unbuilt.
    OsdpPeripheral traced([] { return WallTime{0, 0}; });
    DebugLevel = 5;
    testing::internal::CaptureStdout();
    feed(traced, kPollReader1);
    const std::string out = testing::internal::GetCapturedStdout();
    DebugLevel = 1;
    EXPECT_NE(out.find("Input [DF] addr 10 msgInPoz  7 == msgInLen 8,  ctrlIn 05 cmndlIn 60 "
                       "[CRC16 DF74 == DF74] |53 0A 08 00 05 60 74 DF |"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("(7) Addr=10, msgInLen=8, CtrlIn=05, CmndIn=60  CRC16=[74 DF / DF74]/ "
                       "Ver = DF74 <Ok>"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("CRC16 D9C6"), std::string::npos) << out;
    EXPECT_NE(out.find(" > 60 -> 40"), std::string::npos) << out;
}

}  // namespace
