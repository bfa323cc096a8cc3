// Values wider than 32 bits on their way in. The camera is a 32-bit ARM, where
// long, size_t and time_t are 32 bits wide, and scripts/test-arm runs this suite
// there too: these cases hold on both widths only while the code keeps its
// 64-bit intermediates.
#include <gtest/gtest.h>

#include <cstdint>

#include "osdp/osdp_peripheral.h"
#include "web/proc_stats.h"

namespace {

uint32_t pendingCard(OsdpPeripheral& osdp, int reader) {
    MutexLock lock(osdp.mutex);
    return osdp.pendingCard[reader];
}

void clearPendingCard(OsdpPeripheral& osdp, int reader) {
    MutexLock lock(osdp.mutex);
    osdp.pendingCard[reader] = 0;
}

TEST(Arm32Widths, ProcCountersWiderThan32BitsKeepTheirLow32BitsAndTheFieldsAfterThem) {
    ProcStats stats;
    // utime 2^32 + 7, stime 2^33 + 1, vsize 2^32 + 5: a 64-bit kernel writes such
    // numbers, and every field after a wide one must still be read.
    stats.parseTaskStat(
        "42 (kanzo_zul) S 1 42 42 0 -1 4194560 100 0 0 0 4294967303 8589934593 "
        "0 0 20 0 3 0 500 4294967301 300");
    EXPECT_EQ(stats.utime, 7u);
    EXPECT_EQ(stats.stime, 1u);
    EXPECT_EQ(stats.vsize, 5u);

    stats.parseCpuLine("cpu  4294967296 1 2 3 4 5 6 7 0 0");
    EXPECT_EQ(stats.userTime, 0u);
    EXPECT_EQ(stats.niceTime, 1u);
    EXPECT_EQ(stats.systemTime, 2u);
    EXPECT_EQ(stats.totalTime, 28u);  // (2^32 + 28) mod 2^32

    // 2^20 + 1 pages of 4 KiB: the byte count is an unsigned 32-bit product.
    stats.parseStatm("1048577 5000000000 3 0 0 4 0", 4096);
    EXPECT_EQ(stats.size, 4096u);
    EXPECT_EQ(stats.resident, static_cast<uint32_t>(5000000000ull * 4096));
    EXPECT_EQ(stats.share, 12288u);
    EXPECT_EQ(stats.data, 16384u);
}

TEST(Arm32Widths, SameCardIsTakenAgainAfterAGapWhoseMicrosecondsOverflow32Bits) {
    // 4295 s is 4,295,000,000 us: past 2^32, so 32-bit arithmetic would see a
    // gap of 32,704 us and drop the card. The gap also crosses second 2^31.
    constexpr int64_t kLast32BitSecond = INT32_MAX;
    WallTime now{kLast32BitSecond - 1000, 0};
    OsdpPeripheral osdp{[&now] { return now; }};

    osdp.injectCard(0, 0x2038);
    ASSERT_EQ(pendingCard(osdp, 0), 0x2038u);
    clearPendingCard(osdp, 0);

    now.seconds += 4295;
    osdp.injectCard(0, 0x2038);
    EXPECT_EQ(pendingCard(osdp, 0), 0x2038u);
    clearPendingCard(osdp, 0);

    // Within three seconds of that offer the same card is still a repeat.
    now.seconds += 3;
    osdp.injectCard(0, 0x2038);
    EXPECT_EQ(pendingCard(osdp, 0), 0u);
}

}  // namespace
