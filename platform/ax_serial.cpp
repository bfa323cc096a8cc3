// Stand-in for the camera serial-port library on a Linux tty.
#include "platform/ax_serial.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform_error.h"
#include "platform/tty_settings.h"

struct _AXSerialPort {
    int fd = -1;
    std::string device;
    bool enabled = false;
    TtySettings settings;
    // Two-wire RS-485: the driver switches the transmitter on while sending.
    bool rs485 = false;
};

namespace {

constexpr const char* kDefaultDevice = "/dev/ttyS0";

gboolean refuse(GError** error, const char* what, gint value) {
    setPlatformError(error, "Unsupported %s %d", what, value);
    return FALSE;
}

gboolean isZeroOrOne(gint value) {
    return value == 0 || value == 1;
}

}  // namespace

std::string axSerialDevicePath() {
    const char* device = getenv("ZUL_SERIAL_DEVICE");
    return device == nullptr || device[0] == '\0' ? kDefaultDevice : device;
}

extern "C" AXSerialPort* ax_serial_init(gint port_number, GError** error) {
    if (port_number != 0) {
        setPlatformError(error, "No serial port %d", port_number);
        return nullptr;
    }
    const std::string path = axSerialDevicePath();
    const char* device = path.c_str();
    // One process per line: the lock goes with the descriptor, so it dies
    // with its holder, and exclusive mode turns away any other open of the
    // tty (root apart), which would steal bytes from the line.
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == EBUSY) {
        setPlatformErrorCode(error, kPlatformErrorBusy, "Serial port %s is in use", device);
        return nullptr;
    }
    if (fd < 0) {
        setPlatformError(error, "Cannot open serial port %s: %s", device, strerror(errno));
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        setPlatformErrorCode(error, kPlatformErrorBusy, "Serial port %s is in use: %s", device,
                             strerror(errno));
        close(fd);
        return nullptr;
    }
    ioctl(fd, TIOCEXCL);
    AXSerialPort* port = new AXSerialPort;
    port->fd = fd;
    port->device = device;
    return port;
}

extern "C" gboolean ax_serial_port_enable(AXSerialPort* port, gint enable, GError** error) {
    if (!isZeroOrOne(enable))
        return refuse(error, "enable value", enable);
    port->enabled = enable == 1;
    return TRUE;
}

extern "C" gboolean ax_serial_set_baudrate(AXSerialPort* port, gint baudrate, GError** error) {
    if (!ttyBaudrateSupported(baudrate))
        return refuse(error, "baud rate", baudrate);
    port->settings.baudrate = baudrate;
    return TRUE;
}

extern "C" gboolean ax_serial_set_bias(AXSerialPort* /*port*/, gint bias, GError** error) {
    return isZeroOrOne(bias) ? TRUE : refuse(error, "bias", bias);
}

extern "C" gboolean ax_serial_set_databits(AXSerialPort* port, gint databits, GError** error) {
    if (databits < 5 || databits > 8)
        return refuse(error, "data bits", databits);
    port->settings.dataBits = databits;
    return TRUE;
}

extern "C" gboolean ax_serial_set_parity(AXSerialPort* port, gint parity, GError** error) {
    static const TtyParity kParities[] = {TtyParity::none, TtyParity::odd, TtyParity::even};
    if (parity < 0 || parity > 2)
        return refuse(error, "parity", parity);
    port->settings.parity = kParities[parity];
    return TRUE;
}

extern "C" gboolean ax_serial_set_portmode(AXSerialPort* port, gint portmode, GError** error) {
    if (portmode != AX_SERIAL_PORTMODE_RS232 && portmode != AX_SERIAL_PORTMODE_RS485_TWO_WIRE) {
        return refuse(error, "port mode", portmode);
    }
    port->rs485 = portmode == AX_SERIAL_PORTMODE_RS485_TWO_WIRE;
    return TRUE;
}

extern "C" gboolean ax_serial_set_stopbits(AXSerialPort* port, gint stopbits, GError** error) {
    if (stopbits != 1 && stopbits != 2)
        return refuse(error, "stop bits", stopbits);
    port->settings.stopBits = stopbits;
    return TRUE;
}

extern "C" gboolean ax_serial_set_termination(AXSerialPort* /*port*/, gint termination,
                                              GError** error) {
    return isZeroOrOne(termination) ? TRUE : refuse(error, "termination", termination);
}

extern "C" gboolean ax_serial_sync_port_settings(AXSerialPort* port, GError** error) {
    if (!port->enabled) {
        setPlatformError(error, "Serial port %s is not enabled", port->device.c_str());
        return FALSE;
    }
    std::string reason;
    if (!applyTtySettings(port->fd, port->settings, &reason)) {
        setPlatformError(error, "Cannot configure serial port %s: %s", port->device.c_str(),
                         reason.c_str());
        return FALSE;
    }
    if (port->rs485)
        enableRs485(port->fd, port->device.c_str());
    return TRUE;
}

extern "C" gint ax_serial_get_fd(AXSerialPort* port, GError** /*error*/) {
    return port->fd;
}

extern "C" void ax_serial_cleanup(AXSerialPort* port) {
    if (port == nullptr)
        return;
    ioctl(port->fd, TIOCNXCL);
    close(port->fd);
    delete port;
}
