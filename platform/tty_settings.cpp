#include "platform/tty_settings.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "util/log.h"

namespace {

struct BaudrateCode {
    int baudrate;
    speed_t code;
};

constexpr BaudrateCode kBaudrates[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

bool baudrateCode(int baudrate, speed_t* code) {
    for (const BaudrateCode& entry : kBaudrates) {
        if (entry.baudrate == baudrate) {
            *code = entry.code;
            return true;
        }
    }
    return false;
}

tcflag_t characterSize(int dataBits) {
    switch (dataBits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

bool fail(std::string* error, const char* what) {
    *error = std::string(what) + ": " + strerror(errno);
    return false;
}

}  // namespace

bool ttyBaudrateSupported(int baudrate) {
    speed_t code;
    return baudrateCode(baudrate, &code);
}

int ttyBaudrateOf(speed_t code) {
    for (const BaudrateCode& entry : kBaudrates) {
        if (entry.code == code)
            return entry.baudrate;
    }
    return 0;
}

void setRawTermios(termios* tio, const TtySettings& settings) {
    speed_t speed = B9600;
    baudrateCode(settings.baudrate, &speed);
    cfmakeraw(tio);
    tio->c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio->c_cflag |= characterSize(settings.dataBits) | CREAD | CLOCAL;
    if (settings.parity != TtyParity::none) {
        tio->c_cflag |= PARENB;
        tio->c_iflag |= INPCK;
        if (settings.parity == TtyParity::odd)
            tio->c_cflag |= PARODD;
    }
    if (settings.stopBits == 2)
        tio->c_cflag |= CSTOPB;
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;
    cfsetispeed(tio, speed);
    cfsetospeed(tio, speed);
}

bool applyTtySettings(int fd, const TtySettings& settings, std::string* error) {
    if (!ttyBaudrateSupported(settings.baudrate)) {
        *error = "unsupported baud rate " + std::to_string(settings.baudrate);
        return false;
    }
    termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return fail(error, "tcgetattr");
    setRawTermios(&tio, settings);
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return fail(error, "tcsetattr");

    tcflush(fd, TCIFLUSH);
    return true;
}

int kernelRs485Request(int fd, serial_rs485* config) {
    return ioctl(fd, TIOCSRS485, config);
}

bool enableRs485(int fd, const char* device, Rs485Request request) {
    serial_rs485 rs485;
    memset(&rs485, 0, sizeof rs485);
    rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (request(fd, &rs485) == 0)
        return true;
    if (errno == ENOTTY) {
        logAt(1,
              "Serial port %s: no RS-485 mode in its driver, the adapter must switch its "
              "transmitter itself",
              device);
    } else {
        logAt(1, "Serial port %s: RS-485 mode refused: %s", device, strerror(errno));
    }
    return false;
}
