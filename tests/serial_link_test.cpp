// The serial link and the platform stand-ins under the daemon. A missing
// parameter or parameter file is run through the black-box lifecycle tests.
#include "serial/serial_link.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "osdp/osdp_peripheral.h"
#include "platform/ax_parameter.h"
#include "platform/tty_settings.h"
#include "tests/golden.h"
#include "tests/osdp_test_frames.h"
#include "util/log.h"

namespace {

// The far end of the pty whose slave is the port under test (ZUL_SERIAL_DEVICE).
int farEnd = -1;

class SerialLinkTest : public testing::Test {
  protected:
    SerialLinkTest() {
        farEnd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_TRUE(farEnd >= 0 && grantpt(farEnd) == 0 && unlockpt(farEnd) == 0);
        setenv("ZUL_SERIAL_DEVICE", ptsname(farEnd), 1);
    }
    ~SerialLinkTest() override {
        close(farEnd);
        unsetenv("ZUL_SERIAL_DEVICE");
    }

    // Runs the main loop until done() holds, for ten seconds at the most.
    static void runUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            if (!g_main_context_iteration(nullptr, FALSE))
                poll(nullptr, 0, 1);
        }
    }

    OsdpPeripheral osdp;
};

TEST_F(SerialLinkTest, BurstGetsEachReplyBeforeTheBytesAfterItsFrame) {
    // Polls of readers 10 and 11 and the start of reader 10's next, then its rest.
    const Bytes burst = {0x53, 0x0A, 0x08, 0x00, 0x04, 0x60, 0x45, 0xEC, 0x53, 0x0B,
                         0x08, 0x00, 0x04, 0x60, 0x14, 0x46, 0x53, 0x0A, 0x08};
    const Bytes rest = {0x00, 0x05, 0x60, 0x74, 0xDF};
    std::vector<Bytes> sent;
    bool lineUp = true;
    const auto send = [&] {
        sent.emplace_back(osdp.replyBuf.begin(), osdp.replyBuf.begin() + osdp.replyLen);
        return lineUp;
    };
    EXPECT_EQ(feedBytes(osdp, burst.data(), burst.size(), send), burst.size());
    EXPECT_EQ(feedBytes(osdp, rest.data(), rest.size(), send), rest.size());
    EXPECT_EQ(sent, (std::vector<Bytes>{{0x53, 0x8A, 0x08, 0x00, 0x04, 0x40, 0xF7, 0xEA},
                                        {0x53, 0x8B, 0x08, 0x00, 0x04, 0x40, 0xA6, 0x40},
                                        {0x53, 0x8A, 0x08, 0x00, 0x05, 0x40, 0xC6, 0xD9}}));

    // A line lost on the first reply stops the feed after its frame.
    lineUp = false;
    EXPECT_EQ(feedBytes(osdp, burst.data(), burst.size(), send), 8u);
    EXPECT_EQ(sent.size(), 4u);
}

TEST_F(SerialLinkTest, TraceLineRecordsTheWholeWrite) {
    const uint8_t reply[] = {0x0A, 0x1B, 0xFF};
    EXPECT_EQ(replyTraceText(G_IO_STATUS_NORMAL, reply, sizeof reply),
              "WriteRet= G_IO_STATUS_NORMAL WriteFlush=G_IO_STATUS_NORMAL [0A 1B FF ]");
    EXPECT_EQ(replyTraceText(G_IO_STATUS_ERROR, reply, 0),
              "WriteRet= G_IO_STATUS_NORMAL WriteFlush=G_IO_STATUS_ERROR []");
    EXPECT_STREQ(ioStatusName(static_cast<GIOStatus>(7)), "Unknown GIOStatus!");
}

// A pty keeps neither the speed nor the character size: the settings alone.
TEST_F(SerialLinkTest, LineSettingsAreRawNineSixHundredEightNoneOne) {
    termios tio;
    memset(&tio, 0xFF, sizeof tio);
    setRawTermios(&tio, TtySettings{});
    EXPECT_EQ(B9600, cfgetispeed(&tio));
    EXPECT_EQ(B9600, cfgetospeed(&tio));
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
              tcflag_t{CS8 | CREAD | CLOCAL});
    EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN));
    EXPECT_EQ(0u, tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK));
    EXPECT_EQ(0u, tio.c_oflag & OPOST);
    EXPECT_EQ(1, tio.c_cc[VMIN]);
    EXPECT_EQ(0, tio.c_cc[VTIME]);
}

TEST_F(SerialLinkTest, UnknownBaudRatesAreRefused) {
    for (const int rate : {1200, 9600, 115200, 230400})
        EXPECT_TRUE(ttyBaudrateSupported(rate)) << rate;
    for (const int rate : {0, -9600, 9601, 14400, 460800})
        EXPECT_FALSE(ttyBaudrateSupported(rate)) << rate;
    std::string error;
    EXPECT_FALSE(applyTtySettings(-1, TtySettings{14400}, &error));
    EXPECT_EQ(error, "unsupported baud rate 14400");
}

// The driver's answer to the RS-485 request, and what it took.
int rs485Answer = 0;
serial_rs485 rs485Asked;

int fakeRs485Request(int /*fd*/, serial_rs485* config) {
    rs485Asked = *config;
    errno = rs485Answer;
    return rs485Answer == 0 ? 0 : -1;
}

TEST_F(SerialLinkTest, Rs485ModeIsRequestedWithRtsOnSend) {
    DebugLevel.store(1);
    for (auto& [line, text] : goldenCases("rs485-answers.txt")) {
        rs485Answer = std::stoi(text['>']);
        memset(&rs485Asked, 0xFF, sizeof rs485Asked);
        testing::internal::CaptureStdout();
        EXPECT_EQ(rs485Answer == 0, enableRs485(3, "tty9", fakeRs485Request)) << line;
        EXPECT_EQ(joined(testing::internal::GetCapturedStdout()), text['-']) << line;
        EXPECT_EQ(uint32_t{SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND}, rs485Asked.flags);
        EXPECT_EQ(0u, rs485Asked.delay_rts_before_send + rs485Asked.delay_rts_after_send);
    }
    DebugLevel.store(0);
}

TEST_F(SerialLinkTest, PortThatIsNoTtyIsRefused) {
    setenv("ZUL_SERIAL_DEVICE", "/dev/null", 1);
    SerialLink noTty(osdp);
    EXPECT_FALSE(noTty.open());
    noTty.close();
}

TEST_F(SerialLinkTest, HungUpPortLeavesNothingToDispatch) {
    SerialLink link(osdp, 60000);
    ASSERT_TRUE(link.open());
    close(farEnd);
    farEnd = -1;
    runUntil([&link] { return !link.watching(); });
    EXPECT_FALSE(link.watching());
    EXPECT_EQ(nullptr, link.port);
    // Nothing is ready before the reopen timer: no source the gone tty wakes.
    EXPECT_FALSE(g_main_context_iteration(nullptr, FALSE));
    link.close();
}

// A second daemon's link finds the tty claimed while the first holds it, under
// whatever path, and free once the first has let it go.
TEST_F(SerialLinkTest, LineIsClaimedWhileItIsHeld) {
    const std::string link = testing::TempDir() + "kanzo_tty_" + std::to_string(getpid());
    ASSERT_EQ(0, symlink(ptsname(farEnd), link.c_str()));
    SerialLink first(osdp, 60000);
    std::string error;
    ASSERT_TRUE(first.claimLine(&error));
    ASSERT_TRUE(first.open());
    setenv("ZUL_SERIAL_DEVICE", link.c_str(), 1);
    SerialLink second(osdp, 60000);
    EXPECT_FALSE(second.claimLine(&error));
    EXPECT_EQ("Serial port " + link + " is in use by another instance", error);
    first.close();
    EXPECT_TRUE(second.claimLine(&error));
    second.close();
    unlink(link.c_str());
}

// A controller that stops taking bytes: the replies fill the tty until a write
// fails, which is logged and handled as a lost line.
TEST_F(SerialLinkTest, UnwritableReplyReopensTheLine) {
    SerialLink link(osdp, 60000);
    ASSERT_TRUE(link.open());
    const uint8_t poll10[] = {0x53, 0x0A, 0x08, 0x00, 0x04, 0x60, 0x45, 0xEC};
    DebugLevel.store(1);
    testing::internal::CaptureStdout();
    for (int i = 0; i < 100000 && link.watching(); ++i) {
        if (write(farEnd, poll10, sizeof poll10) != sizeof poll10)
            poll(nullptr, 0, 1);
        g_main_context_iteration(nullptr, FALSE);
    }
    const std::string log = testing::internal::GetCapturedStdout();
    DebugLevel.store(0);
    EXPECT_FALSE(link.watching());
    EXPECT_NE(std::string::npos, log.find("Serial port write failed after "));
    EXPECT_NE(std::string::npos, log.find("Serial port hang-up, trying to reopen"));
    link.close();
}

// What the far end had received, at what rate of the line, when the link
// drained the line before a new rate.
std::vector<uint8_t> bytesAtDrain;
int rateAtDrain = 0;
int drains = 0;

// Waits, within a deadline, for the whole osdp_COM (13 bytes) at the far end.
int recordingDrain(int fd) {
    termios tio;
    rateAtDrain = tcgetattr(fd, &tio) == 0 ? ttyBaudrateOf(cfgetospeed(&tio)) : -1;
    ++drains;
    bytesAtDrain.clear();
    uint8_t bytes[64];
    for (int waits = 0; bytesAtDrain.size() < 13 && waits < 100; ++waits) {
        pollfd in = {farEnd, POLLIN, 0};
        const ssize_t n = poll(&in, 1, 100) > 0 ? read(farEnd, bytes, sizeof bytes) : 0;
        bytesAtDrain.insert(bytesAtDrain.end(), bytes, bytes + std::max<ssize_t>(n, 0));
    }
    return tcdrain(fd);
}

TEST_F(SerialLinkTest, NewRateFollowsTheReplyThatMovedTheLine) {
    drains = 0;
    SerialLink link(osdp, 60000, recordingDrain);
    std::vector<LineSettings> kept;
    link.onLineMoved = [&kept](const LineSettings& settings) { kept.push_back(settings); };
    ASSERT_TRUE(link.open());
    const auto send = [&kept](const Bytes& frame) {
        ASSERT_EQ(write(farEnd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
        const size_t moves = kept.size();
        runUntil([&] { return kept.size() > moves; });
    };
    // Reader 1 to 12 at 19200: osdp_COM "12, 19200" left at 9600, then the rate.
    const Bytes to12At19200 = {0x0C, 0x00, 0x4B, 0x00, 0x00};
    send(commandFrame(0x0A, kCrcFlag | 1, kCmdComset, to12At19200));
    EXPECT_EQ(bytesAtDrain, replyFrame(0x0A, 1, kReplyCom, to12At19200));
    EXPECT_EQ(rateAtDrain, 9600);
    termios tio;
    ASSERT_EQ(tcgetattr(farEnd, &tio), 0);
    EXPECT_EQ(ttyBaudrateOf(cfgetospeed(&tio)), 19200);
    // Reader 2 to 13 at the same rate: kept, nothing to drain for.
    send(commandFrame(0x0B, kCrcFlag | 1, kCmdComset, {0x0D, 0x00, 0x4B, 0x00, 0x00}));
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[1].readerAddress, (std::array<uint8_t, 2>{12, 13}));
    EXPECT_EQ(kept[1].baud, 19200u);
    EXPECT_EQ(drains, 1);
    link.close();
}

TEST(ParameterFileTest, FirstLineNamingTheParameterGivesItsValue) {
    const std::string path = testing::TempDir() + "kanzo_param_" + std::to_string(getpid());
    std::ofstream(path) << "# camera parameters\n\n  Properties.System.Model = M3106  \r\n"
                           "Network.Line=a=b\nNetwork.Line=other\n";
    setenv("ZUL_PARAMETER_FILE", path.c_str(), 1);
    AXParameter* handle = ax_parameter_new("kanzo_zul", nullptr);
    for (const auto& [name, expected] :
         {std::pair{"Properties.System.Model", "M3106"}, {"Network.Line", "a=b"}}) {
        gchar* value = nullptr;
        EXPECT_TRUE(ax_parameter_get(handle, name, &value, nullptr)) << name;
        EXPECT_STREQ(value, expected);
        g_free(value);
    }
    ax_parameter_free(handle);
    unsetenv("ZUL_PARAMETER_FILE");
    unlink(path.c_str());
}

// Set but empty is as good as unset: the default file, which the error names.
TEST(ParameterFileTest, EmptyFileNameMeansTheDefault) {
    for (const bool set : {true, false}) {
        if (set)
            setenv("ZUL_PARAMETER_FILE", "", 1);
        AXParameter* handle = ax_parameter_new("kanzo_zul", nullptr);
        gchar* value = nullptr;
        GError* error = nullptr;
        EXPECT_FALSE(ax_parameter_get(handle, "Kanzo.NoSuchParameter", &value, &error));
        ASSERT_NE(error, nullptr);
        EXPECT_NE(std::string(error->message).find("/etc/kanzo_zul/parameters.conf"),
                  std::string::npos)
            << error->message;
        g_error_free(error);
        ax_parameter_free(handle);
        unsetenv("ZUL_PARAMETER_FILE");
    }
}

}  // namespace
