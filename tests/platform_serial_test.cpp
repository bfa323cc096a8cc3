// The stand-in serial-port library on a pseudo-terminal: the tty settings it
// puts in force for the OSDP line.
#include <fcntl.h>
#include <glib.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/ax_serial.h"

namespace {

using ::testing::HasSubstr;

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(0, grantpt(master));
        ASSERT_EQ(0, unlockpt(master));
        setenv("ZUL_SERIAL_DEVICE", ptsname(master), 1);
    }
    void TearDown() override {
        ax_serial_cleanup(port);
        g_clear_error(&error);
        close(master);
        unsetenv("ZUL_SERIAL_DEVICE");
    }

    // Port 0 opened and set up for the OSDP line, not yet synced.
    void openOsdpPort() {
        port = ax_serial_init(0, &error);
        ASSERT_NE(nullptr, port) << error->message;
        ax_serial_port_enable(port, 1, nullptr);
        ax_serial_set_baudrate(port, 9600, nullptr);
        ax_serial_set_bias(port, 0, nullptr);
        ax_serial_set_databits(port, 8, nullptr);
        ax_serial_set_parity(port, 0, nullptr);
        ax_serial_set_portmode(port, AX_SERIAL_PORTMODE_RS485_TWO_WIRE, nullptr);
        ax_serial_set_stopbits(port, 1, nullptr);
        ax_serial_set_termination(port, 0, nullptr);
    }

    termios portSettings() {
        termios tio{};
        EXPECT_EQ(0, tcgetattr(ax_serial_get_fd(port, nullptr), &tio));
        return tio;
    }

    int master = -1;
    AXSerialPort* port = nullptr;
    GError* error = nullptr;
};

TEST_F(SerialPortTest, OsdpSettingsGiveARaw9600EightNoneOneLine) {
    openOsdpPort();
    // Two-wire RS-485 is not known to a pty, which is used as it is.
    ASSERT_TRUE(ax_serial_sync_port_settings(port, &error)) << error->message;

    const int fd = ax_serial_get_fd(port, &error);
    ASSERT_GE(fd, 0);
    EXPECT_NE(0, fcntl(fd, F_GETFL) & O_NONBLOCK);
    termios tio = portSettings();
    EXPECT_EQ(B9600, cfgetispeed(&tio));
    EXPECT_EQ(B9600, cfgetospeed(&tio));
    EXPECT_EQ(static_cast<tcflag_t>(CS8), tio.c_cflag & CSIZE);
    EXPECT_EQ(0u, tio.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(static_cast<tcflag_t>(CREAD | CLOCAL), tio.c_cflag & (CREAD | CLOCAL));
    EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN));
    EXPECT_EQ(0u, tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK));
    EXPECT_EQ(0u, tio.c_oflag & OPOST);
    EXPECT_EQ(1, tio.c_cc[VMIN]);
    EXPECT_EQ(0, tio.c_cc[VTIME]);
}

TEST_F(SerialPortTest, SyncFailsOnADeviceThatIsNoTty) {
    setenv("ZUL_SERIAL_DEVICE", "/dev/null", 1);
    openOsdpPort();

    EXPECT_FALSE(ax_serial_sync_port_settings(port, &error));
    ASSERT_NE(nullptr, error);
    EXPECT_THAT(error->message, HasSubstr("/dev/null"));
}

}  // namespace
