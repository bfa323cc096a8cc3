// SerialLink on a pseudo-terminal, driven by the default GLib main context as
// the daemon's main loop drives it.
#include "serial/serial_link.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "osdp/check_codes.h"
#include "osdp/osdp_peripheral.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A CRC-16 frame of one command, without data.
Bytes pollFrame(uint8_t address, uint8_t ctrl) {
    Bytes frame = {0x53, address, 0x08, 0x00, ctrl, 0x60};
    const uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

// A pty whose slave is the link's serial device; the test holds the master.
class Pty {
  public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            slavePath_ = ptsname(master_);
        }
    }
    ~Pty() { hangUp(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    void write(const Bytes& bytes) const {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::write(master_, bytes.data(), bytes.size()));
    }
    // Appends whatever the link has written so far.
    void readInto(Bytes& out) const {
        uint8_t buffer[256];
        ssize_t n;
        while ((n = read(master_, buffer, sizeof buffer)) > 0) {
            for (ssize_t i = 0; i < n; ++i)
                out.push_back(buffer[i]);
        }
    }
    void hangUp() {
        if (master_ >= 0)
            close(master_);
        master_ = -1;
    }

  private:
    int master_ = -1;
    std::string slavePath_;
};

// Runs the default main context until done() holds; false at the deadline.
bool runUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        if (!g_main_context_iteration(nullptr, FALSE))
            poll(nullptr, 0, 1);
    }
    return true;
}

class SerialLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kanzo_link.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
        device = dir + "/ttyOSDP";
        pointDevice(first.slavePath());
        setenv("ZUL_SERIAL_DEVICE", device.c_str(), 1);
    }
    void TearDown() override {
        link.close();
        unlink(device.c_str());
        rmdir(dir.c_str());
        unsetenv("ZUL_SERIAL_DEVICE");
    }

    void pointDevice(const std::string& target) {
        const std::string fresh = device + ".new";
        ASSERT_EQ(0, symlink(target.c_str(), fresh.c_str()));
        ASSERT_EQ(0, rename(fresh.c_str(), device.c_str()));
    }

    // The next n bytes the link writes to the pty.
    Bytes reply(const Pty& pty, size_t n) {
        Bytes out;
        EXPECT_TRUE(runUntil([&] {
            pty.readInto(out);
            return out.size() >= n;
        }));
        return out;
    }

    uint32_t reqOut() const { return osdp.status().reqOut; }

    std::string dir;
    std::string device;
    Pty first;
    OsdpPeripheral osdp;
    SerialLink link{osdp, 20};
};

const Bytes kPollReader1 = {0x53, 0x0A, 0x08, 0x00, 0x05, 0x60, 0x74, 0xDF};
const Bytes kAckReader1 = {0x53, 0x8A, 0x08, 0x00, 0x05, 0x40, 0xC6, 0xD9};

TEST(SerialLinkTraceTest, StatusNamesAreThoseOfTheTraceLine) {
    EXPECT_STREQ("G_IO_STATUS_ERROR", ioStatusName(G_IO_STATUS_ERROR));
    EXPECT_STREQ("G_IO_STATUS_NORMAL", ioStatusName(G_IO_STATUS_NORMAL));
    EXPECT_STREQ("G_IO_STATUS_EOF", ioStatusName(G_IO_STATUS_EOF));
    EXPECT_STREQ("G_IO_STATUS_AGAIN", ioStatusName(G_IO_STATUS_AGAIN));
    EXPECT_STREQ("Unknown GIOStatus!", ioStatusName(static_cast<GIOStatus>(7)));
}

TEST(SerialLinkTraceTest, TraceTextListsEveryReplyByteWithATrailingBlank) {
    const uint8_t reply[] = {0x0A, 0x1B, 0xFF};
    EXPECT_EQ("WriteRet= G_IO_STATUS_NORMAL WriteFlush=G_IO_STATUS_NORMAL [0A 1B FF ]",
              replyTraceText(G_IO_STATUS_NORMAL, reply, sizeof reply));
    EXPECT_EQ("WriteRet= G_IO_STATUS_NORMAL WriteFlush=G_IO_STATUS_ERROR []",
              replyTraceText(G_IO_STATUS_ERROR, reply, 0));
}

TEST_F(SerialLinkTest, WithoutADeviceOpenStopsAtInitAndCloseStillReleases) {
    unlink(device.c_str());

    EXPECT_FALSE(link.open());
    EXPECT_FALSE(link.watching());
    EXPECT_EQ(nullptr, link.port);
    ASSERT_NE(nullptr, link.error);
    EXPECT_NE(std::string::npos, std::string(link.error->message).find(device));

    EXPECT_TRUE(link.close());
    EXPECT_EQ(nullptr, link.error);
}

TEST_F(SerialLinkTest, EachAnsweredFrameIsWrittenOnceAndCounted) {
    ASSERT_TRUE(link.open());
    EXPECT_TRUE(link.watching());

    first.write(kPollReader1);
    EXPECT_EQ(kAckReader1, reply(first, kAckReader1.size()));
    EXPECT_EQ(1u, reqOut());

    // A frame that never completes, one for another device, then a poll of
    // reader 2: the poll's reply is the first thing written.
    first.write({0x53, 0x0A, 0x08, 0x00});
    first.write(pollFrame(0x0C, 0x05));
    first.write(pollFrame(0x0B, 0x06));
    Bytes expected = {0x53, 0x8B, 0x08, 0x00, 0x06, 0x40};
    const uint16_t crc = crc16(expected.data(), expected.size());
    expected.push_back(static_cast<uint8_t>(crc & 0xFF));
    expected.push_back(static_cast<uint8_t>(crc >> 8));
    EXPECT_EQ(expected, reply(first, expected.size()));
    EXPECT_EQ(2u, reqOut());
}

TEST_F(SerialLinkTest, HangUpEndsTheWatchAndLeavesNothingToDispatch) {
    SerialLink slowLink(osdp, 60000);
    ASSERT_TRUE(slowLink.open());

    first.hangUp();
    ASSERT_TRUE(runUntil([&] { return !slowLink.watching(); }));

    // Nothing is ready until the reopen timer is due: no source keeps
    // waking the loop for a tty that has gone.
    EXPECT_EQ(nullptr, slowLink.port);
    EXPECT_FALSE(g_main_context_iteration(nullptr, FALSE));
    slowLink.close();
}

TEST_F(SerialLinkTest, ALineThatComesBackAtTheSamePathIsServedAgain) {
    ASSERT_TRUE(link.open());
    first.hangUp();
    ASSERT_TRUE(runUntil([&] { return !link.watching(); }));

    Pty second;
    pointDevice(second.slavePath());
    ASSERT_TRUE(runUntil([&] { return link.watching(); }));

    second.write(kPollReader1);
    EXPECT_EQ(kAckReader1, reply(second, kAckReader1.size()));
    EXPECT_EQ(1u, reqOut());
}

}  // namespace
