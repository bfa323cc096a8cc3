// The RS-485 link to the OSDP controller: the camera's serial port, watched on
// the default GLib main context. Each received byte goes to the engine; a reply
// that the engine builds is written from the same callback.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ax_serial.h"

class OsdpPeripheral;
class SerialLink;

// User data of the read watch; lives inside the SerialLink, so it outlives the watch.
struct SerialWatchContext {
    AXSerialPort* port = nullptr;
    GIOChannel* channel = nullptr;
    SerialLink* link = nullptr;
};

// Name of a GIOStatus as the reply trace line shows it.
const char* ioStatusName(GIOStatus status);

// Text of the reply trace line after a successful write:
// "WriteRet= G_IO_STATUS_NORMAL WriteFlush=<flush status> [<hex bytes> ]".
std::string replyTraceText(GIOStatus flushStatus, const uint8_t* reply, size_t length);

class SerialLink {
  public:
    // How often a port that went away is tried again.
    static constexpr guint kReopenIntervalMs = 2000;

    // Only binds the engine, which may not be constructed yet (static
    // initialisation); it is first used by open().
    explicit SerialLink(OsdpPeripheral& osdp, guint reopenIntervalMs = kReopenIntervalMs);
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // Configures port 0 for 9600 8N1, two-wire RS-485, and installs the read
    // watch on the default main context. FALSE at the first failing step,
    // which is logged; what was obtained stays until close(), and there is no
    // retry. REQUIRES: called once, on the thread that runs the default context.
    gboolean open();

    // Releases the watch, the channel and the port; always TRUE.
    gboolean close();

    // The watch callback: takes one byte into the engine and writes the reply
    // when the byte completed a frame. When the port hangs up or reports the
    // device gone, the link stops watching and retries the open every
    // reopenIntervalMs until the port is back.
    static gboolean onReadable(GIOChannel* source, GIOCondition condition, gpointer data);

    // True while the port is open and watched.
    bool watching() const { return watchId_ != 0; }

    int32_t fd = 0;
    gboolean settingsApplied = FALSE;
    int32_t portNumber = 0;
    AXSerialPort* port = nullptr;
    GIOChannel* channel = nullptr;
    // Error slot of the platform and channel calls of the latest open attempt.
    GError* error = nullptr;
    SerialWatchContext watchContext;

  private:
    enum class Attempt { startUp, reopen };

    gboolean attach(Attempt attempt);
    gboolean handleReadable(GIOCondition condition);
    void writeReply();
    gboolean lineLost();
    void release();
    static gboolean onReopenTimer(gpointer data);

    OsdpPeripheral& osdp_;
    const guint reopenIntervalMs_;
    guint watchId_ = 0;
    guint reopenId_ = 0;
};
