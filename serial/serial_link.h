// The RS-485 link to the OSDP controller: the camera's serial port, watched on
// the default GLib main context. Each wake-up reads what the port has ready
// and feeds it to the engine byte by byte; a reply that the engine builds is
// written from the same callback before the next byte is fed.
#pragma once

#include <glib.h>
#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/ax_serial.h"
#include "util/line_settings.h"

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

// Feeds bytes to the engine one at a time. Whenever a byte completes a frame,
// sendReply is called before the next byte is fed, so the line sees each
// reply exactly where it would if the bytes had come one by one. Feeding stops
// when sendReply returns false (the line is gone). Returns the number of bytes
// fed.
size_t feedBytes(OsdpPeripheral& osdp, const uint8_t* bytes, size_t length,
                 const std::function<bool()>& sendReply);

class SerialLink {
  public:
    // How often a port that went away is tried again.
    static constexpr guint kReopenIntervalMs = 2000;

    // Waits until what was written to fd has left the wire: tcdrain, or a
    // stand-in in tests. Returns 0, or -1 with errno set.
    using Drain = int (*)(int fd);

    // Only binds the engine, which may not be constructed yet (static
    // initialisation); it is first used by open().
    explicit SerialLink(OsdpPeripheral& osdp, guint reopenIntervalMs = kReopenIntervalMs,
                        Drain drain = tcdrain);
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // One daemon per line: claims the tty of port 0 (claimProcessName) by its
    // device number, whatever path names it, and touches nothing of it. The
    // claim is held with the line: from the start, before open(), until the
    // line is lost or closed, and again from each reopen, so that a tty of
    // the same number that another daemon opened meanwhile is not taken from
    // it. False, with *error, when another holds it. A tty that is not there
    // is not claimed: open() reports it.
    bool claimLine(std::string* error);

    // Configures port 0 for 8N1 at the engine's line rate, two-wire RS-485,
    // and installs the read watch on the default main context. FALSE at the
    // first failing step, which is logged; what was obtained stays until
    // close(), and there is no retry. REQUIRES: called once, on the thread
    // that runs the default context.
    gboolean open();

    // Releases the watch, the channel and the port; always TRUE.
    gboolean close();

    // The watch callback: reads what the port has ready, up to 256 bytes, and
    // feeds it (feedBytes), writing each reply as its frame completes. A
    // reply that moved the line leaves the wire at the old rate, then the
    // port takes the new one and onLineMoved is called. When the port hangs
    // up or reports the device gone, the link stops watching and retries the
    // open every reopenIntervalMs until the port is back.
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

    // True when the latest open failed because another process holds the port.
    bool portBusy() const;

    // Main thread: called with the settings in force after each reply that
    // moved the line, once the port runs at its rate (or, when the line was
    // lost meanwhile, will run at it when it is back).
    std::function<void(const LineSettings& settings)> onLineMoved;

  private:
    // One step of bringing the port up: the line logged when it fails at
    // start, and the threshold and line logged when it succeeds there.
    struct Step {
        bool (SerialLink::*run)();
        const char* failure;
        int threshold;
        const char* done;
    };

    // Runs the steps in order and returns the first that fails, else null.
    const Step* bringUp(bool logProgress);
    bool initPort();
    bool applySettings();
    bool takeDescriptor();
    bool makeChannel();
    bool makeChannelRaw();
    bool addWatch();
    // The timer's attempt after a lost line; releases what it got on failure.
    bool reopen();
    gboolean handleReadable(GIOCondition condition);
    // False when the line was lost on writing.
    bool writeReply();
    // After the reply that moved the line: the new rate, once the reply has
    // left the wire when lineUp. False when the line is lost.
    bool moveLine(bool lineUp);
    gboolean lineLost();
    void release();
    static gboolean onReopenTimer(gpointer data);

    OsdpPeripheral& osdp_;
    const guint reopenIntervalMs_;
    const Drain drain_;
    uint32_t baud_ = 0;  // the rate the port was set to last
    int claim_ = -1;     // descriptor of the line's claim
    guint watchId_ = 0;
    guint reopenId_ = 0;
};
