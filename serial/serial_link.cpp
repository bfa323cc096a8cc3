#include "serial/serial_link.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "osdp/osdp_peripheral.h"
#include "osdp/protocol.h"
#include "platform/platform_error.h"
#include "util/hex.h"
#include "util/log.h"
#include "util/process_claim.h"

namespace {

// Settings of the OSDP line: 8N1 at the engine's rate on two-wire RS-485, no
// bias, no termination.
constexpr gint kEnable = 1;
constexpr gint kBiasOff = 0;
constexpr gint kDataBits = 8;
constexpr gint kParityNone = 0;
constexpr gint kStopBits = 1;
constexpr gint kTerminationOff = 0;

// Bytes read from the port in one wake-up, at most. A USB adapter or a UART
// with a receive FIFO hands over a whole frame at once; the rest of a longer
// burst waits for the next pass of the main loop.
constexpr size_t kReadChunkSize = 256;

// Hang-up and error are watched as well as input: a watch for input alone on a
// tty that has hung up is woken for ever without being dispatched.
constexpr GIOCondition kWatchConditions =
    static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR | G_IO_NVAL);

// A read or write error that means the device behind the descriptor is gone
// (the far end of a pty closed, a USB adapter unplugged): it would repeat on
// every wake-up.
bool deviceGone(const GError* error) {
    return error->domain == G_IO_CHANNEL_ERROR &&
           (error->code == G_IO_CHANNEL_ERROR_IO || error->code == G_IO_CHANNEL_ERROR_NXIO);
}

}  // namespace

const char* ioStatusName(GIOStatus status) {
    switch (status) {
        case G_IO_STATUS_ERROR:
            return "G_IO_STATUS_ERROR";
        case G_IO_STATUS_NORMAL:
            return "G_IO_STATUS_NORMAL";
        case G_IO_STATUS_EOF:
            return "G_IO_STATUS_EOF";
        case G_IO_STATUS_AGAIN:
            return "G_IO_STATUS_AGAIN";
    }
    return "Unknown GIOStatus!";
}

std::string replyTraceText(GIOStatus flushStatus, const uint8_t* reply, size_t length) {
    std::string text = "WriteRet= G_IO_STATUS_NORMAL WriteFlush=";
    text += ioStatusName(flushStatus);
    text += " [";
    text += hexDump(reply, length);
    text += "]";
    return text;
}

size_t feedBytes(OsdpPeripheral& osdp, const uint8_t* bytes, size_t length,
                 const std::function<bool()>& sendReply) {
    for (size_t fed = 0; fed < length;) {
        if (osdp.receiveByte(bytes[fed++]) && !sendReply())
            return fed;
    }
    return length;
}

SerialLink::SerialLink(OsdpPeripheral& osdp, guint reopenIntervalMs, Drain drain)
    : osdp_(osdp), reopenIntervalMs_(reopenIntervalMs), drain_(drain) {
    watchContext.link = this;
    logAt(2, "Serial init.");
}

bool SerialLink::claimLine(std::string* error) {
    const std::string device = axSerialDevicePath();
    struct stat info;
    if (claim_ >= 0 || stat(device.c_str(), &info) != 0)
        return true;
    const std::string name = S_ISCHR(info.st_mode) ? "tty/" + std::to_string(major(info.st_rdev)) +
                                                         ":" + std::to_string(minor(info.st_rdev))
                                                   : "file/" + std::to_string(info.st_dev) + ":" +
                                                         std::to_string(info.st_ino);
    claim_ = claimProcessName(name);
    if (claim_ >= 0)
        return true;
    *error = "Serial port " + device +
             (errno == EADDRINUSE ? " is in use by another instance"
                                  : std::string(" not claimed: ") + strerror(errno));
    return false;
}

gboolean SerialLink::open() {
    logAt(2, "Serial open port");
    // A failed start keeps what it obtained until close().
    const Step* failed = bringUp(true);
    if (failed != nullptr)
        logAt(1, "%s", failed->failure);
    return failed == nullptr;
}

bool SerialLink::portBusy() const {
    return g_error_matches(error, platformErrorQuark(), kPlatformErrorBusy);
}

bool SerialLink::reopen() {
    // A failed reopen lets go of what it obtained and starts afresh on the
    // next try, silently: the hang-up was logged once. A tty that another
    // daemon claimed meanwhile stays its own.
    std::string busy;
    if (claimLine(&busy) && bringUp(false) == nullptr)
        return true;
    release();
    return false;
}

const SerialLink::Step* SerialLink::bringUp(bool logProgress) {
    static const Step kSteps[] = {
        {&SerialLink::initPort, "Serial port init failed!", 2, "Serial port init"},
        {&SerialLink::applySettings, "Serial port settings failed!", 0, nullptr},
        {&SerialLink::takeDescriptor, "Serial port fd failed!", 2, "Serial port fd"},
        {&SerialLink::makeChannel, "Serial port gio failed!", 2, "Serial port gio"},
        {&SerialLink::makeChannelRaw, "Serial port encoding failed!", 2,
         "Serial port encoding raw"},
        {&SerialLink::addWatch, "Serial port add watch failed!", 0, "Serial port add watch"},
    };
    g_clear_error(&error);
    for (const Step& step : kSteps) {
        if (!(this->*step.run)())
            return &step;
        if (logProgress && step.done != nullptr)
            logAt(step.threshold, "%s", step.done);
    }
    return nullptr;
}

bool SerialLink::initPort() {
    port = ax_serial_init(portNumber, &error);
    return port != nullptr;
}

// Logs the rate each time it is set: at start, after a reopen and after a move.
bool SerialLink::applySettings() {
    const uint32_t baud = osdp_.lineSettings().baud;
    ax_serial_port_enable(port, kEnable, nullptr);
    ax_serial_set_baudrate(port, static_cast<gint>(baud), nullptr);
    ax_serial_set_bias(port, kBiasOff, nullptr);
    ax_serial_set_databits(port, kDataBits, nullptr);
    ax_serial_set_parity(port, kParityNone, nullptr);
    ax_serial_set_portmode(port, AX_SERIAL_PORTMODE_RS485_TWO_WIRE, nullptr);
    ax_serial_set_stopbits(port, kStopBits, nullptr);
    ax_serial_set_termination(port, kTerminationOff, nullptr);
    settingsApplied = ax_serial_sync_port_settings(port, &error);
    if (settingsApplied) {
        baud_ = baud;
        logAt(0, "Serial port settings %lu 8N1", static_cast<unsigned long>(baud));
    }
    return settingsApplied;
}

bool SerialLink::takeDescriptor() {
    fd = ax_serial_get_fd(port, &error);
    return fd >= 0;
}

bool SerialLink::makeChannel() {
    channel = g_io_channel_unix_new(fd);
    return channel != nullptr;
}

bool SerialLink::makeChannelRaw() {
    if (g_io_channel_set_encoding(channel, nullptr, &error) != G_IO_STATUS_NORMAL)
        return false;
    g_io_channel_set_buffered(channel, FALSE);
    g_io_channel_set_flags(channel, G_IO_FLAG_NONBLOCK, &error);
    return true;
}

bool SerialLink::addWatch() {
    watchContext.port = port;
    watchContext.channel = channel;
    // The watch fires up to 960 times a second at 9600 baud when bytes come
    // one at a time. GLib blocks a source around each dispatch unless it may
    // recurse, which costs three extra syscalls on the main context's wake-up
    // descriptor per wake-up; the callback runs no nested loop, so nothing
    // can recurse, and the block buys nothing.
    GSource* watch = g_io_create_watch(channel, kWatchConditions);
    g_source_set_callback(watch, G_SOURCE_FUNC(onReadable), &watchContext, nullptr);
    g_source_set_can_recurse(watch, TRUE);
    watchId_ = g_source_attach(watch, nullptr);
    g_source_unref(watch);
    return watchId_ != 0;
}

gboolean SerialLink::onReadable(GIOChannel* /*source*/, GIOCondition condition, gpointer data) {
    return static_cast<SerialWatchContext*>(data)->link->handleReadable(condition);
}

gboolean SerialLink::handleReadable(GIOCondition condition) {
    if ((condition & (G_IO_HUP | G_IO_ERR | G_IO_NVAL)) != 0)
        return lineLost();

    uint8_t bytes[kReadChunkSize];
    gsize bytesRead = 0;
    GError* readError = nullptr;
    GIOStatus status =
        g_io_channel_read_chars(watchContext.channel, reinterpret_cast<gchar*>(bytes), sizeof bytes,
                                &bytesRead, &readError);
    if (status != G_IO_STATUS_NORMAL) {
        if (readError != nullptr) {
            const bool gone = deviceGone(readError);
            if (!gone)
                logAt(1, "%s", readError->message);
            g_error_free(readError);
            if (gone)
                return lineLost();
        } else if (status == G_IO_STATUS_EOF) {
            // A raw tty reads nothing only after a hang-up.
            return lineLost();
        }
        return TRUE;
    }
    feedBytes(osdp_, bytes, bytesRead, [this] {
        const bool written = writeReply();
        return osdp_.lineMoved ? moveLine(written) : written;
    });
    // The watch may have ended inside writeReply.
    return watching();
}

bool SerialLink::writeReply() {
    gsize bytesWritten = 0;
    GError* writeError = nullptr;
    GIOStatus status = g_io_channel_write_chars(
        watchContext.channel, reinterpret_cast<const gchar*>(osdp_.replyBuf.data()), osdp_.replyLen,
        &bytesWritten, &writeError);
    if (status != G_IO_STATUS_NORMAL || bytesWritten != static_cast<gsize>(osdp_.replyLen)) {
        // A line that takes no reply, or only part of one, is stuck or gone:
        // it is opened afresh, and the controller's retry asks for the reply
        // again. A device that went away says so in the hang-up line alone.
        if (writeError == nullptr || !deviceGone(writeError)) {
            logAt(1, "Serial port write failed after %ld of %ld bytes: %s",
                  static_cast<long>(bytesWritten), static_cast<long>(osdp_.replyLen),
                  writeError != nullptr ? writeError->message : ioStatusName(status));
        }
        g_clear_error(&writeError);
        lineLost();
        return false;
    }
    GError* flushError = nullptr;
    GIOStatus flushStatus = g_io_channel_flush(watchContext.channel, &flushError);
    if (flushError != nullptr)
        g_error_free(flushError);
    osdp_.countReplyWritten();
    if (logEnabled(5)) {
        logAt(5, "<<< %ld/%ld %s", static_cast<long>(osdp_.replyLen),
              static_cast<long>(bytesWritten),
              replyTraceText(flushStatus, osdp_.replyBuf.data(), osdp_.replyLen).c_str());
    }
    return true;
}

bool SerialLink::moveLine(bool lineUp) {
    osdp_.lineMoved = false;
    // The panel asked at the old rate and reads the reply at it, so the reply
    // must have left the wire, not only the driver, before the rate changes;
    // the panel switches once it has the reply. A line lost meanwhile takes
    // the new rate when it is opened again.
    if (lineUp && osdp_.lineSettings().baud != baud_) {
        if (drain_(fd) != 0 || !applySettings()) {
            logAt(1, "Serial port settings failed!");
            lineLost();
            lineUp = false;
        }
    }
    if (onLineMoved)
        onLineMoved(osdp_.lineSettings());
    return lineUp;
}

gboolean SerialLink::lineLost() {
    logAt(1, "Serial port hang-up, trying to reopen");
    // The watch being dispatched ends when the callback returns FALSE.
    watchId_ = 0;
    release();
    reopenId_ = g_timeout_add(reopenIntervalMs_, onReopenTimer, this);
    return FALSE;
}

gboolean SerialLink::onReopenTimer(gpointer data) {
    auto* link = static_cast<SerialLink*>(data);
    if (!link->reopen())
        return G_SOURCE_CONTINUE;
    link->reopenId_ = 0;
    logAt(1, "Serial port reopened");
    return G_SOURCE_REMOVE;
}

void SerialLink::release() {
    if (watchId_ != 0) {
        g_source_remove(watchId_);
        watchId_ = 0;
    }
    // The descriptor belongs to the port handle and is closed by
    // ax_serial_cleanup alone. Shutting the channel down would close it first,
    // and the cleanup would then close a descriptor number that the web worker
    // may have been given in between.
    if (channel != nullptr) {
        g_io_channel_unref(channel);
        channel = nullptr;
    }
    ax_serial_cleanup(port);
    port = nullptr;
    if (claim_ >= 0) {
        ::close(claim_);
        claim_ = -1;
    }
    fd = 0;
    settingsApplied = FALSE;
    watchContext.port = nullptr;
    watchContext.channel = nullptr;
}

gboolean SerialLink::close() {
    logAt(0, "Serial close port");
    if (reopenId_ != 0) {
        g_source_remove(reopenId_);
        reopenId_ = 0;
    }
    g_clear_error(&error);
    release();
    return TRUE;
}
