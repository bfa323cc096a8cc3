// Frame receiver and check codes: which byte streams are answered, and which
// are dropped without a word.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "osdp_test_frames.h"
#include "util/log.h"

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

// Frames a standard controller sent that carry 0x53 after the start byte; each
// has a valid CRC and must be acknowledged.
TEST(Receiver, StartByteValueInsideAFrameIsData) {
    const std::vector<Bytes> frames = {
        // buzzer, 0x53 in the data
        {0x53, 0x0A, 0x0D, 0x00, 0x05, 0x6A, 0x00, 0x02, 0x53, 0x01, 0x01, 0xB7, 0xE2},
        // buzzer, 0x53 as the first CRC byte
        {0x53, 0x0A, 0x0D, 0x00, 0x06, 0x6A, 0x00, 0x02, 0x75, 0x01, 0x01, 0x53, 0x0E},
        // buzzer, 0x53 as the second CRC byte, after a mark byte
        {0xFF, 0x53, 0x0A, 0x0D, 0x00, 0x06, 0x6A, 0x00, 0x02, 0x02, 0x01, 0x01, 0xCB, 0x53},
    };
    for (const Bytes& frame : frames) {
        OsdpPeripheral osdp;
        EXPECT_EQ(feed(osdp, frame), std::vector<size_t>{frame.size() - 1})
            << hexDump(frame.data(), frame.size());
        EXPECT_EQ(reply(osdp)[5], 0x40);
    }
}

// For every position after the start byte, a valid frame whose byte there is
// 0x53 is answered on its last byte.
TEST(Receiver, StartByteValueIsDataAtEveryPosition) {
    auto withCrc = [](Bytes frame) {
        const uint16_t crc = crc16(frame.data(), frame.size());
        frame.push_back(static_cast<uint8_t>(crc));
        frame.push_back(static_cast<uint8_t>(crc >> 8));
        return frame;
    };
    std::vector<Bytes> frames;
    // Length 0x53: a text command of 75 data bytes.
    frames.push_back(withCrc([] {
        Bytes f = {0x53, 0x0A, 0x53, 0x00, 0x05, 0x6B};
        f.resize(0x53 - 2, 0x41);
        return f;
    }()));
    frames.push_back(
        withCrc({0x53, 0x0A, 0x0A, 0x53, 0x05, 0x6A, 0x00, 0x01}));  // length high byte
    frames.push_back(withCrc({0x53, 0x0A, 0x0A, 0x00, 0x53, 0x6A, 0x00, 0x01}));  // control byte
    frames.push_back(withCrc({0x53, 0x0A, 0x0A, 0x00, 0x05, 0x53, 0x00, 0x01}));  // command
    frames.push_back(withCrc({0x53, 0x0A, 0x0A, 0x00, 0x05, 0x6A, 0x53, 0x01}));  // data
    frames.push_back(withCrc({0x53, 0x0A, 0x0A, 0x00, 0x05, 0x6A, 0x00, 0x53}));
    // The CRC bytes: search the data for a frame whose CRC holds 0x53 there.
    for (int at : {8, 9}) {
        for (int data = 0; data < 0x10000; ++data) {
            Bytes f = withCrc({0x53, 0x0A, 0x0A, 0x00, 0x05, 0x6A, static_cast<uint8_t>(data),
                               static_cast<uint8_t>(data >> 8)});
            if (f[at] == 0x53 && f[6] != 0x53 && f[7] != 0x53) {
                frames.push_back(f);
                break;
            }
        }
    }
    ASSERT_EQ(frames.size(), 8u);
    for (const Bytes& frame : frames) {
        OsdpPeripheral osdp;
        EXPECT_EQ(feed(osdp, frame), std::vector<size_t>{frame.size() - 1})
            << hexDump(frame.data(), frame.size());
    }
    // A whole frame for another device is consumed, 0x53 and all.
    OsdpPeripheral osdp;
    Bytes foreign =
        commandFrame(0x0C, 0x05, 0x6B, {0x53, 0x0A, 0x08, 0x00, 0x05, 0x60, 0x74, 0xDF});
    EXPECT_TRUE(feed(osdp, foreign).empty());
    EXPECT_EQ(feed(osdp, kPollReader1), std::vector<size_t>{7});
}

TEST(Receiver, BrokenFrameLosesOnlyItself) {
    // A truncated frame: its stated length ends inside the poll that follows,
    // which is answered on its last byte.
    {
        OsdpPeripheral osdp;
        Bytes stream = {0x53, 0x0A, 0x08, 0x00};
        stream.insert(stream.end(), kPollReader1.begin(), kPollReader1.end());
        EXPECT_EQ(feed(osdp, stream), std::vector<size_t>{stream.size() - 1});
    }
    // A broken frame whose length swallows the poll and part of the
    // controller's retry: the swallowed poll is not answered late, the retry
    // is answered once, on its last byte.
    {
        OsdpPeripheral osdp;
        Bytes stream = {0x53, 0x0A, 0x10, 0x00, 0x05, 0x60};
        stream.insert(stream.end(), kPollReader1.begin(), kPollReader1.end());
        stream.insert(stream.end(), kPollReader1.begin(), kPollReader1.end());
        EXPECT_EQ(feed(osdp, stream), std::vector<size_t>{stream.size() - 1});
        EXPECT_EQ(reply(osdp), (Bytes{0x53, 0x8A, 0x08, 0x00, 0x05, 0x40, 0xC6, 0xD9}));
    }
    // Garbage of every length, rich in start bytes, then a controller
    // resending one poll: only the ends of polls are ever answered, and once
    // the garbage's stated lengths have passed, every copy is.
    uint32_t seed = 12345;
    auto random = [&seed] {
        seed = seed * 1103515245 + 12345;
        const uint8_t value = static_cast<uint8_t>(seed >> 16);
        return (value & 3) == 0 ? uint8_t{0x53} : value;
    };
    for (size_t garbage = 0; garbage < 300; ++garbage) {
        OsdpPeripheral osdp;
        Bytes stream;
        for (size_t i = 0; i < garbage; ++i)
            stream.push_back(random());
        const size_t copies = 40;
        for (size_t i = 0; i < copies; ++i)
            stream.insert(stream.end(), kPollReader1.begin(), kPollReader1.end());
        const std::vector<size_t> answered = feed(osdp, stream);
        ASSERT_FALSE(answered.empty()) << garbage;
        for (size_t at : answered)
            EXPECT_EQ((at + 1 - garbage) % kPollReader1.size(), 0u) << garbage << " " << at;
        // Garbage starts at most 255 bytes before the polls: from there on in step.
        const size_t settled = garbage + 256 + kPollReader1.size();
        size_t expected = 0;
        for (size_t end = garbage + kPollReader1.size() - 1; end < stream.size(); end += 8)
            expected += end >= settled ? 1 : 0;
        EXPECT_GE(answered.size(), expected) << garbage;
    }
}

// Each way a frame can fail, and the answered ones, counted for the
// installer's view; the panel counts as polling a reader for 2 seconds after
// its last frame, by the monotonic clock.
TEST(Receiver, LineFiguresCountEveryOutcome) {
    int64_t micros = 5000000;
    OsdpPeripheral osdp([] { return WallTime{0, 0}; }, [&micros] { return micros; });
    EXPECT_EQ(osdp.diagnostics().msSinceByte, -1);
    EXPECT_EQ(osdp.diagnostics().reader[0].msSinceFrame, -1);
    EXPECT_FALSE(osdp.diagnostics().reader[0].polling);

    Bytes badCheck = kPollReader1;
    std::swap(badCheck[6], badCheck[7]);
    Bytes badLength = {0x53, 0x0A, 0x06, 0x00, 0x01, 0x60, 0x3C};  // 4 bytes left over
    const struct {
        Bytes stream;
        size_t answered;
        std::array<uint32_t, 4> line;  // bad check, bad length, foreign frames, discarded
        std::array<uint32_t, 2> frames;
        std::array<uint32_t, 2> repeats;
    } cases[] = {
        {{0xFF, 0xFF}, 0, {0, 0, 0, 2}, {0, 0}, {0, 0}},
        {badCheck, 0, {1, 0, 0, 2}, {0, 0}, {0, 0}},
        {badLength, 0, {1, 1, 0, 6}, {0, 0}, {0, 0}},
        {commandFrame(0x0C, 0x05, 0x60), 0, {1, 1, 1, 6}, {0, 0}, {0, 0}},
        {kPollReader1, 1, {1, 1, 1, 6}, {1, 0}, {0, 0}},
        {kPollReader1, 1, {1, 1, 1, 6}, {2, 0}, {1, 0}},
        {commandFrame(0x0B, 0x06, 0x60), 1, {1, 1, 1, 6}, {2, 1}, {1, 0}},
    };
    for (const auto& c : cases) {
        micros += 1000;
        EXPECT_EQ(feed(osdp, c.stream).size(), c.answered)
            << hexDump(c.stream.data(), c.stream.size());
        const LineDiagnostics line = osdp.diagnostics();
        EXPECT_EQ((std::array<uint32_t, 4>{line.badCheck, line.badLength, line.foreignFrames,
                                           line.discardedBytes}),
                  c.line)
            << hexDump(c.stream.data(), c.stream.size());
        for (int r = 0; r < 2; ++r) {
            EXPECT_EQ(line.reader[r].framesAnswered, c.frames[r]) << r;
            EXPECT_EQ(line.reader[r].repeatsAnswered, c.repeats[r]) << r;
        }
    }

    // Reader 1 last answered 1 ms before reader 2, which got the last byte.
    micros += 2000000 - 1000;
    LineDiagnostics line = osdp.diagnostics();
    EXPECT_EQ(line.msSinceByte, 1999);
    EXPECT_EQ(line.reader[0].msSinceFrame, 2000);
    EXPECT_TRUE(line.reader[0].polling);
    micros += 1;
    line = osdp.diagnostics();
    EXPECT_FALSE(line.reader[0].polling);
    EXPECT_TRUE(line.reader[1].polling);
    micros += 1000;
    EXPECT_FALSE(osdp.diagnostics().reader[1].polling);
}

// A damaged length byte must not swallow the controller's retries: the
// controller waits for the reply before it sends again, and that pause ends
// the broken frame. Pauses shorter than that stay inside a frame.
TEST(Receiver, PauseInsideAFrameEndsIt) {
    int64_t now = 1000000;
    OsdpPeripheral osdp([] { return WallTime{0, 0}; }, [&now] { return now; });
    Bytes damaged = kPollReader1;
    damaged[2] = 0x88;
    EXPECT_TRUE(feed(osdp, damaged).empty());
    now += 50000;
    EXPECT_TRUE(feed(osdp, kPollReader1).empty());
    now += 50001;
    EXPECT_EQ(feed(osdp, kPollReader1), std::vector<size_t>{7});

    const Bytes slow = commandFrame(0x0B, 0x06, 0x60);
    std::vector<size_t> answered;
    for (size_t i = 0; i < slow.size(); ++i) {
        now += 50000;
        if (osdp.receiveByte(slow[i]))
            answered.push_back(i);
    }
    EXPECT_EQ(answered, std::vector<size_t>{slow.size() - 1});
}

TEST(Receiver, LengthHighByteIsIgnored) {
    OsdpPeripheral osdp;
    Bytes frame = {0x53, 0x0A, 0x08, 0x01, 0x05, 0x60};
    const uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    EXPECT_EQ(feed(osdp, frame), std::vector<size_t>{7});
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
