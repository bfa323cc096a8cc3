// Raw line settings of a tty: the one place that knows termios and the
// kernel's RS-485 mode. Used by the serial-port stand-in and by the OSDP
// controller tool.
#pragma once

#include <linux/serial.h>
#include <termios.h>

#include <string>

enum class TtyParity { none, odd, even };

struct TtySettings {
    int baudrate = 9600;
    int dataBits = 8;
    TtyParity parity = TtyParity::none;
    int stopBits = 1;
};

// True for the baud rates that applyTtySettings can set.
bool ttyBaudrateSupported(int baudrate);

// The baud rate of a termios speed code (cfgetospeed); 0 for a code of a rate
// applyTtySettings cannot set.
int ttyBaudrateOf(speed_t code);

// Turns tio into raw mode with these settings (see applyTtySettings), speed
// included. REQUIRES: as for applyTtySettings.
void setRawTermios(termios* tio, const TtySettings& settings);

// Puts the tty into raw mode with these settings: no echo, no line discipline
// processing, no flow control, modem lines ignored, reads return each byte as
// it comes. Input still waiting from before is discarded. False, with *error
// describing the failure, when the settings cannot be applied.
// REQUIRES: fd is open; dataBits 5 to 8, stopBits 1 or 2, a supported baudrate.
bool applyTtySettings(int fd, const TtySettings& settings, std::string* error);

// How the driver is asked for RS-485 mode: ioctl TIOCSRS485, or a stand-in in
// tests. Returns 0, or -1 with errno set.
using Rs485Request = int (*)(int fd, serial_rs485* config);
int kernelRs485Request(int fd, serial_rs485* config);

// Two-wire RS-485: asks the driver to switch the transmitter on only while
// sending (SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND). A driver without that
// mode (ENOTTY: ptys, most USB adapters, which switch by themselves) or one
// that refuses it gets one log line naming device, and the port is used as it
// is. True when the driver took the mode.
bool enableRs485(int fd, const char* device, Rs485Request request = kernelRs485Request);
