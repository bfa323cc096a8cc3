// kanzo_zul: the camera as two OSDP card readers on its RS-485 port, fed with
// licence plates and card numbers through the web interface.
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "app/key_file.h"
#include "osdp/osdp_peripheral.h"
#include "platform/ax_parameter.h"
#include "serial/serial_link.h"
#include "util/atomic_file.h"
#include "util/globals.h"
#include "util/line_settings.h"
#include "util/log.h"
#include "web/proc_stats.h"
#include "web/web_service.h"

// Built in this order and destroyed in reverse. The web service and the serial
// link only keep a reference to the engine, which is built after them.
extern OsdpPeripheral osdpPeripheral;
WebService webService(osdpPeripheral);
SerialLink serialLink(osdpPeripheral);
OsdpPeripheral osdpPeripheral;
ProcStats procStats;

GMainLoop* MainLoop = nullptr;

namespace {

constexpr const char* kApplicationName = "kanzo_zul";
constexpr const char* kSerialNumberParameter = "Properties.System.SerialNumber";

// SIGTERM and SIGINT may reach either thread. GLib's signal source turns each
// into a dispatch on the main context, so the log line and the quit run on the
// main thread, outside signal context, once per signal. A quit of a loop that
// has already stopped has no further effect.
gboolean onSignal(gpointer /*signalNumber*/) {
    logAt(5, "Quit main loop");
    g_main_loop_quit(MainLoop);
    return G_SOURCE_CONTINUE;
}

// Nothing the daemon reads at start can be read again while it runs: the key
// file and the line file are the daemon's own to rewrite when a controller
// sets a key or moves a reader, and the rest comes from the environment. A
// hang-up (a closed terminal, a reload sent by habit) therefore leaves it
// running, and says so.
gboolean onHangUp(gpointer /*unused*/) {
    logAt(1, "SIGHUP ignored: restart the daemon to read its settings again");
    return G_SOURCE_CONTINUE;
}

const char* messageOf(const GError* error) {
    return error != nullptr ? error->message : "parameter service failed";
}

// Reads the camera's serial number from the parameter service into
// DeviceSerial and the engine; a failure stops the start. The handle stays
// open until the stop.
AXParameter* readCameraSerial() {
    GError* error = nullptr;
    AXParameter* parameters = ax_parameter_new(kApplicationName, &error);
    if (parameters == nullptr)
        fatalExit("%s", messageOf(error));
    gchar* serialNumber = nullptr;
    if (!ax_parameter_get(parameters, kSerialNumberParameter, &serialNumber, &error)) {
        fatalExit("%s", messageOf(error));
    }
    logAt(0, "Tarvik / SerialNumber: '%s'", serialNumber);
    DeviceSerial = serialNumber;
    g_free(serialNumber);
    osdpPeripheral.setCameraSerial(DeviceSerial);
    return parameters;
}

// A second daemon on the same socket or line would take requests or bytes
// from the first: it stops here, before it touches either, or any file.
void claimSocketAndLine() {
    std::string error;
    if (!webService.claimSocket(&error) || !serialLink.claimLine(&error))
        fatalExit("%s", error.c_str());
}

// Every file the daemon replaces whole (writeFileAtomically). A kill during a
// rewrite leaves a temporary copy beside the file, perhaps of a key; each
// start clears them away.
void removeUnfinishedRewrites() {
    for (const std::string& path : {keyFilePath(), osdpPeripheral.configPath, lineFilePath()}) {
        const int removed = removeOrphanedTemporaries(path);
        if (removed > 0)
            logAt(1, "Unfinished rewrites of %s removed: %d", path.c_str(), removed);
    }
}

// A panel's osdp_COMSET moved a reader or the line's rate: the new settings
// are kept for the next start. The panel has been told already, and the line
// runs at them, so a file that cannot be written changes nothing now; it is
// said once, and the readers are back at the file's settings after a restart.
void keepLineSettings(const LineSettings& settings) {
    const std::string path = lineFilePath();
    std::string error;
    if (!storeLineSettings(path, settings, &error))
        logAt(1, "Line file %s not written, the move holds until a restart: %s", path.c_str(),
              error.c_str());
    else if (!error.empty())
        logAt(1, "Line file %s: %s", path.c_str(), error.c_str());
}

// The readers' addresses and the line's rate: the installer's line file,
// which the daemon rewrites when the panel moves a reader. A file that cannot
// be understood stops the start, rather than leave the readers where the
// panel does not look for them.
void applyLineSettings() {
    const std::string path = lineFilePath();
    LineSettings settings;
    std::string error;
    if (!loadLineSettings(path, &settings, &error))
        fatalExit("Line file %s refused: %s", path.c_str(), error.c_str());
    osdpPeripheral.setLineSettings(settings);
    serialLink.onLineMoved = keepLineSettings;
    logAt(0, "OSDP line: reader 1 at address %d, reader 2 at address %d, %lu baud (%s)",
          settings.readerAddress[0], settings.readerAddress[1],
          static_cast<unsigned long>(settings.baud), path.c_str());
}

// The readers' Secure Channel keys and the age limit of their cards.
void applyReaderSettings() {
    // Secure Channel keys, before the line is open; a key file that others can
    // read or that cannot be understood stops the start (its text is never shown).
    static KeyFile keyFile(keyFilePath());
    std::string keyError;
    if (!keyFile.load(&keyError))
        fatalExit("Key file %s refused: %s", keyFile.path().c_str(), keyError.c_str());
    keyFile.applyTo(osdpPeripheral);
    logAt(0, "Secure Channel: reader 1 %s, reader 2 %s", modeName(keyFile.keys()[0].mode),
          modeName(keyFile.keys()[1].mode));

    // How long a card may wait for the panel; a setting that makes no sense
    // stops the start rather than leave cards to an age limit nobody chose.
    int64_t cardMaxAge = kDefaultCardMaxAgeMicros;
    const char* maxAgeSetting = getenv("ZUL_CARD_MAX_AGE");
    if (maxAgeSetting != nullptr && !parseCardMaxAge(maxAgeSetting, &cardMaxAge))
        fatalExit("ZUL_CARD_MAX_AGE must be whole seconds from 0 to 86400");
    osdpPeripheral.setCardMaxAge(cardMaxAge);
}

}  // namespace

int main() {
    DebugLevel = 1;
    openlog(kApplicationName, LOG_PID, LOG_USER);

    AXParameter* parameters = readCameraSerial();
    claimSocketAndLine();
    removeUnfinishedRewrites();
    applyLineSettings();
    applyReaderSettings();

    MainLoop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGTERM, onSignal, GINT_TO_POINTER(SIGTERM));
    g_unix_signal_add(SIGINT, onSignal, GINT_TO_POINTER(SIGINT));
    g_unix_signal_add(SIGHUP, onHangUp, nullptr);
    // A write to a pipe or socket whose reader has gone (standard output, a
    // web client that hung up) fails with EPIPE rather than ending the process.
    signal(SIGPIPE, SIG_IGN);
    // SIGUSR1, which log rotation set-ups send by habit, would end the
    // process by its default action; nothing here uses it.
    signal(SIGUSR1, SIG_IGN);
    logAt(5, "Set sigterm, sigint handler");
    logAt(0, "Start program PID: %d\n", static_cast<int>(syscall(SYS_gettid)));

    procStats.readMemory();
    webService.start();

    // A port that cannot be opened leaves the web interface running; one that
    // another process holds ends the start.
    logAt(0, "Serial port ----- open port");
    if (!serialLink.open() && serialLink.portBusy())
        fatalExit("%s: another instance serves this line", serialLink.error->message);
    logAt(0, "Serial port ----- open done");

    g_main_loop_run(MainLoop);

    g_main_loop_unref(MainLoop);
    serialLink.close();
    webService.removeSocket();
    ax_parameter_free(parameters);
    logAt(0, "Application was stopped.");
    return 0;
}
