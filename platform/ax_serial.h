// Camera serial-port library, the calls the daemon makes. On the camera the
// platform library provides them; elsewhere ax_serial.cpp drives a tty: port 0
// is the device named by ZUL_SERIAL_DEVICE (default /dev/ttyS0).
#pragma once

#include <glib.h>

G_BEGIN_DECLS

typedef struct _AXSerialPort AXSerialPort;

// Port modes of ax_serial_set_portmode.
enum { AX_SERIAL_PORTMODE_RS232 = 0, AX_SERIAL_PORTMODE_RS485_TWO_WIRE = 2 };

// Opens the port, non-blocking, locked and in exclusive mode. Null, with
// *error naming the device, on failure; the code kPlatformErrorBusy when
// another process holds the port.
AXSerialPort* ax_serial_init(gint port_number, GError** error);

// The setters record a setting for the next ax_serial_sync_port_settings. An
// unsupported value is refused: FALSE, *error set (when error is not null),
// the setting unchanged. REQUIRES: port comes from ax_serial_init.
gboolean ax_serial_port_enable(AXSerialPort* port, gint enable, GError** error);
gboolean ax_serial_set_baudrate(AXSerialPort* port, gint baudrate, GError** error);
// Line bias and termination are hardware options that a plain tty lacks: accepted.
gboolean ax_serial_set_bias(AXSerialPort* port, gint bias, GError** error);
gboolean ax_serial_set_databits(AXSerialPort* port, gint databits, GError** error);
// 0 none, 1 odd, 2 even.
gboolean ax_serial_set_parity(AXSerialPort* port, gint parity, GError** error);
gboolean ax_serial_set_portmode(AXSerialPort* port, gint portmode, GError** error);
gboolean ax_serial_set_stopbits(AXSerialPort* port, gint stopbits, GError** error);
gboolean ax_serial_set_termination(AXSerialPort* port, gint termination, GError** error);

// Puts the recorded settings in force on the port. FALSE with *error set when
// the port is not enabled or the device refuses the settings.
gboolean ax_serial_sync_port_settings(AXSerialPort* port, GError** error);

// The port's descriptor, open for reading and writing, non-blocking; owned by
// the port, closed by ax_serial_cleanup.
gint ax_serial_get_fd(AXSerialPort* port, GError** error);

// Closes the descriptor and releases the handle; null is accepted.
void ax_serial_cleanup(AXSerialPort* port);

G_END_DECLS

#ifdef __cplusplus
#include <string>

// Not in the camera's library: the tty that ax_serial_init opens for port 0
// in this stand-in (ZUL_SERIAL_DEVICE, default /dev/ttyS0), so that the line
// can be claimed before it is opened.
std::string axSerialDevicePath();
#endif
