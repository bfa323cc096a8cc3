// SerialLink: feeding a burst of received bytes, the reply trace text, and
// what a hung-up line leaves on the default GLib main context that the
// daemon's main loop runs.
#include "serial/serial_link.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>

#include "gtest/gtest.h"
#include "osdp/osdp_peripheral.h"
#include "tests/osdp_test_frames.h"

namespace {

constexpr uint8_t kPoll = 0x60;
constexpr uint8_t kAck = 0x40;

TEST(SerialLinkFeedTest, BurstGetsEachReplyBeforeTheBytesAfterItsFrame) {
    OsdpPeripheral osdp;
    const Bytes third = commandFrame(10, 0x05, kPoll);
    Bytes burst = commandFrame(10, 0x04, kPoll);
    for (const Bytes& part :
         {commandFrame(11, 0x04, kPoll), Bytes(third.begin(), third.begin() + 3)})
        burst.insert(burst.end(), part.begin(), part.end());
    // Had the next frame been fed before a reply went out, the reply buffer
    // would hold that frame's reply instead.
    std::vector<Bytes> sent;
    const auto send = [&] {
        sent.push_back(reply(osdp));
        return true;
    };

    EXPECT_EQ(burst.size(), feedBytes(osdp, burst.data(), burst.size(), send));
    EXPECT_EQ((std::vector<Bytes>{replyFrame(10, 0, kAck), replyFrame(11, 0, kAck)}), sent);

    EXPECT_EQ(third.size() - 3, feedBytes(osdp, third.data() + 3, third.size() - 3, send));
    EXPECT_EQ(replyFrame(10, 1, kAck), sent.back());
    EXPECT_EQ(3u, sent.size());
}

TEST(SerialLinkFeedTest, LineLostOnAReplyStopsTheFeedAfterItsFrame) {
    OsdpPeripheral osdp;
    Bytes burst = commandFrame(10, 0x04, kPoll);
    const size_t firstFrame = burst.size();
    const Bytes second = commandFrame(11, 0x04, kPoll);
    burst.insert(burst.end(), second.begin(), second.end());
    int replies = 0;

    EXPECT_EQ(firstFrame, feedBytes(osdp, burst.data(), burst.size(), [&] {
                  ++replies;
                  return false;
              }));
    EXPECT_EQ(1, replies);
}

TEST(SerialLinkTraceTest, TraceTextListsEveryReplyByteWithATrailingBlank) {
    const uint8_t reply[] = {0x0A, 0x1B, 0xFF};
    EXPECT_EQ("WriteRet= G_IO_STATUS_NORMAL WriteFlush=G_IO_STATUS_NORMAL [0A 1B FF ]",
              replyTraceText(G_IO_STATUS_NORMAL, reply, sizeof reply));
    EXPECT_EQ("WriteRet= G_IO_STATUS_NORMAL WriteFlush=G_IO_STATUS_ERROR []",
              replyTraceText(G_IO_STATUS_ERROR, reply, 0));
    // The other names the flush status may take in that line.
    EXPECT_STREQ("G_IO_STATUS_EOF", ioStatusName(G_IO_STATUS_EOF));
    EXPECT_STREQ("G_IO_STATUS_AGAIN", ioStatusName(G_IO_STATUS_AGAIN));
    EXPECT_STREQ("Unknown GIOStatus!", ioStatusName(static_cast<GIOStatus>(7)));
}

TEST(SerialLinkTest, HangUpEndsTheWatchAndLeavesNothingToDispatch) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(0, grantpt(master));
    ASSERT_EQ(0, unlockpt(master));
    setenv("ZUL_SERIAL_DEVICE", ptsname(master), 1);
    OsdpPeripheral osdp;
    SerialLink link(osdp, 60000);
    ASSERT_TRUE(link.open());
    ASSERT_TRUE(link.watching());

    close(master);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (link.watching() && std::chrono::steady_clock::now() < deadline) {
        if (!g_main_context_iteration(nullptr, FALSE))
            poll(nullptr, 0, 1);
    }

    EXPECT_FALSE(link.watching());
    EXPECT_EQ(nullptr, link.port);
    // Nothing is ready until the reopen timer is due: no source is left that
    // the gone tty would wake for ever.
    EXPECT_FALSE(g_main_context_iteration(nullptr, FALSE));
    EXPECT_TRUE(link.close());
    unsetenv("ZUL_SERIAL_DEVICE");
}

}  // namespace
