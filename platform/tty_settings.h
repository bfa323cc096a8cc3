// Raw line settings of a tty: the one place that knows termios and the
// kernel's RS-485 mode. Used by the serial-port stand-in and by the OSDP
// controller tool.
#pragma once

#include <termios.h>

#include <string>

enum class TtyParity { none, odd, even };

struct TtySettings {
    int baudrate = 9600;
    int dataBits = 8;
    TtyParity parity = TtyParity::none;
    int stopBits = 1;
    // Two-wire RS-485: the driver switches the transmitter on while sending.
    bool rs485 = false;
};

// True for the baud rates that applyTtySettings can set.
bool ttyBaudrateSupported(int baudrate);

// Turns tio into raw mode with these settings (see applyTtySettings), speed
// included. REQUIRES: as for applyTtySettings.
void setRawTermios(termios* tio, const TtySettings& settings);

// Puts the tty into raw mode with these settings: no echo, no line discipline
// processing, no flow control, modem lines ignored, reads return each byte as
// it comes. Input still waiting from before is discarded. Drivers without the
// kernel's RS-485 mode (ptys, most USB adapters) are used as they are. False,
// with *error describing the failure, when the settings cannot be applied.
// REQUIRES: fd is open; dataBits 5 to 8, stopBits 1 or 2, a supported baudrate.
bool applyTtySettings(int fd, const TtySettings& settings, std::string* error);
