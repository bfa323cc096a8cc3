// Credential injection: what becomes pending, and the repeat window, driven by
// a clock the test sets.
#include <gtest/gtest.h>

#include <string>

#include "osdp_test_frames.h"
#include "util/log.h"

namespace {

class InjectTest : public testing::Test {
  protected:
    WallTime now{1700000000, 0};
    OsdpPeripheral osdp{[this] { return now; }};

    void advance(int64_t micros) {
        const int64_t total = now.micros + micros;
        now.seconds += total / 1000000;
        now.micros = total % 1000000;
        if (now.micros < 0) {
            now.micros += 1000000;
            now.seconds -= 1;
        }
    }
    uint32_t pending(int reader) {
        MutexLock lock(osdp.mutex);
        return osdp.pendingCard[reader];
    }
    // Polls the reader and returns the card it reported, 0 for none.
    uint32_t pollCard(int reader) {
        static uint8_t sequence = 1;
        sequence = sequence % 3 + 1;
        const Bytes r = sendFrame(
            osdp, commandFrame(static_cast<uint8_t>(0x0A + reader), 0x04 | sequence, 0x60));
        if (r.size() != 16 || r[5] != 0x50)
            return 0;
        return uint32_t(r[10]) << 24 | uint32_t(r[11]) << 16 | uint32_t(r[12]) << 8 | r[13];
    }
};

TEST_F(InjectTest, FirstCardIsPendingAtOnceAndReportedOnce) {
    osdp.injectCard(0, 0x1234ABCD);
    EXPECT_EQ(pending(0), 0x1234ABCDu);
    EXPECT_EQ(pollCard(0), 0x1234ABCDu);
    EXPECT_EQ(pollCard(0), 0u);
    EXPECT_EQ(osdp.status().lastCard[0], 0x1234ABCDu);
}

TEST_F(InjectTest, RepeatWindowEndsOneMicrosecondAfterThreeSeconds) {
    osdp.injectCard(0, 0x55);
    ASSERT_EQ(pollCard(0), 0x55u);
    advance(3000000);
    osdp.injectCard(0, 0x55);
    EXPECT_EQ(pending(0), 0u);
    advance(3000001);
    osdp.injectCard(0, 0x55);
    EXPECT_EQ(pending(0), 0x55u);
}

TEST_F(InjectTest, WindowIsMeasuredFromTheSuppressedAttempt) {
    osdp.injectCard(0, 0x1234ABCD);
    ASSERT_EQ(pollCard(0), 0x1234ABCDu);
    advance(2000000);
    DebugLevel = 5;
    testing::internal::CaptureStdout();
    osdp.injectCard(0, 0x1234ABCD);
    const std::string out = testing::internal::GetCapturedStdout();
    DebugLevel = 1;
    EXPECT_EQ(out, "Multiple credential in short time [1234ABCD] on Reader 1\n");
    EXPECT_EQ(pending(0), 0u);
    // 4 s after the suppressed attempt, 6 s after the accepted one.
    advance(4000000);
    osdp.injectCard(0, 0x1234ABCD);
    EXPECT_EQ(pending(0), 0x1234ABCDu);

    // Offers at gaps of 2 s keep being refused although 3 s have long passed
    // since the last accepted one.
    ASSERT_EQ(pollCard(0), 0x1234ABCDu);
    for (int i = 0; i < 4; ++i) {
        advance(2000000);
        osdp.injectCard(0, 0x1234ABCD);
        EXPECT_EQ(pending(0), 0u) << i;
    }
}

TEST_F(InjectTest, NewerCardReplacesTheUnsentOne) {
    osdp.injectCard(0, 0xA);
    advance(100000);
    osdp.injectCard(0, 0xB);
    advance(100000);
    osdp.injectCard(0, 0xA);
    EXPECT_EQ(pollCard(0), 0xAu);
    EXPECT_EQ(pollCard(0), 0u);
}

TEST_F(InjectTest, ReadersKeepTheirOwnLastCardAndWindow) {
    osdp.injectCard(0, 0x77);
    osdp.injectCard(1, 0x77);
    EXPECT_EQ(pending(0), 0x77u);
    EXPECT_EQ(pending(1), 0x77u);
    EXPECT_EQ(pollCard(1), 0x77u);
    EXPECT_EQ(pending(0), 0x77u);
    const PeripheralStatus status = osdp.status();
    EXPECT_EQ(status.lastCard[0], 0x77u);
    EXPECT_EQ(status.lastCard[1], 0x77u);
}

TEST_F(InjectTest, CardZeroIsRecordedButNeverReported) {
    osdp.injectCard(1, 0);
    EXPECT_EQ(pollCard(1), 0u);
    osdp.injectCard(1, 0x10);
    osdp.injectCard(1, 0);
    EXPECT_EQ(osdp.status().lastCard[1], 0u);
    EXPECT_EQ(pollCard(1), 0u);
}

TEST_F(InjectTest, ClockSetBackSuppressesTheFirstRepeatOnly) {
    osdp.injectCard(0, 0x31);
    ASSERT_EQ(pollCard(0), 0x31u);
    advance(-3600000000LL);
    osdp.injectCard(0, 0x31);
    EXPECT_EQ(pending(0), 0u);
    advance(3000001);
    osdp.injectCard(0, 0x31);
    EXPECT_EQ(pending(0), 0x31u);
}

}  // namespace
