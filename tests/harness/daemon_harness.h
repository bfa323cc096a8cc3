// Helpers for programs that drive the built daemon and the controller tool
// from outside, the black-box tests and the benchmarks. Every wait is bounded
// by a deadline; nothing sleeps for a fixed time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/descriptor_io.h"

using SteadyClock = std::chrono::steady_clock;
using Deadline = SteadyClock::time_point;

// Paths of the programs under test, given by the build.
extern const char* const kDaemonBinary;
extern const char* const kControllerBinary;

// Generous bound for conditions that normally hold within milliseconds.
constexpr std::chrono::seconds kPatience{10};

inline Deadline deadlineIn(SteadyClock::duration wait) {
    return SteadyClock::now() + wait;
}

// A scratch directory, removed with its contents at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;

  private:
    std::string path_;
};

struct ProcessOptions {
    std::vector<std::string> args;  // the first is the program's path
    // Set in the child's environment, on top of this process's own.
    std::map<std::string, std::string> env;
    std::string input;             // file for standard input; empty: /dev/null
    std::string workingDirectory;  // empty: this process's
};

// A program run as a child; stopped with SIGTERM (SIGKILL when that fails) and
// reaped at destruction if still running.
class ChildProcess {
  public:
    explicit ChildProcess(const ProcessOptions& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // True once count whole lines of standard output contain text; reads
    // output until then or until the deadline.
    bool waitForLine(const std::string& text, Deadline deadline = deadlineIn(kPatience),
                     int count = 1);
    // Reads what standard output holds now, without waiting.
    void readOutput();
    // Standard output read so far, and its whole lines without line ends.
    const std::string& output() const { return output_; }
    const std::vector<std::string>& lines() const { return lines_; }
    int countLines(const std::string& text) const;
    std::string errorText() const;  // all of standard error so far

    void signal(int signalNumber);
    bool running();
    // The wait status once the child has ended and its output has been read;
    // nothing when it still runs at the deadline.
    std::optional<int> waitExit(Deadline deadline = deadlineIn(kPatience));
    long cpuTicks() const;  // user and system time so far

  private:
    // Reads output ready within timeoutMs: the bytes read, -1 at its end.
    int pump(int timeoutMs);

    pid_t pid_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;  // a memory file
    std::string output_;
    size_t lineStart_ = 0;
    std::vector<std::string> lines_;
    std::optional<int> status_;
    int lastSignal_ = 0;
};

// A null-modem cable: socat joins two pseudo-terminals and links them at
// dir/ttyA and dir/ttyB until destruction, which removes the links as when a
// USB adapter is pulled. One cable per directory.
class Cable {
  public:
    explicit Cable(const TempDir& dir);
    ~Cable();

    const std::string endA;
    const std::string endB;

  private:
    ChildProcess socat_;
};

// The exit code of a child that ended normally, else -1.
int exitCode(const std::optional<int>& status);

// A program with these arguments, the first its path.
ProcessOptions programOptions(const std::vector<std::string>& args);

// The daemon in dir with the serial number ACCC8E0B1234, its serial port at
// serialDevice, the FastCGI socket dir/fcgi.sock without CGI headers, the
// key file dir/osdp-keys (absent: both readers plain) and the line file
// dir/osdp-line (absent: readers at 10 and 11, 9600 baud).
ProcessOptions daemonOptions(const TempDir& dir, const std::string& serialDevice);

// The daemon's options with the CGI header block that web servers ask for.
ProcessOptions behindWebServer(ProcessOptions daemon);

// The controller tool as the panel on line, polling every 10 ms; args (e.g.
// --count 2) come before the line.
ProcessOptions panelOptions(const std::string& line, const std::vector<std::string>& args = {});

// The daemon in a scratch directory on a cable, behind a web server when
// webServer is true, and polled by the panel on the cable's far end.
class PolledDaemon {
  public:
    explicit PolledDaemon(bool webServer = false);

    // Starts the panel; throws when reader 11 is not online within the patience.
    void startPanel();
    void stopPanel() { panel.reset(); }

    TempDir dir;
    Cable cable{dir};
    ChildProcess daemon;
    std::optional<ChildProcess> panel;
};

// The daemon's response to a FastCGI request for uri, sent by libfcgi's
// cgi-fcgi from dir: a GET, or a POST of body when there is one. Sent again
// until the socket accepts; "no response" when it never did.
std::string webRequest(const TempDir& dir, const std::string& uri, const std::string& body = "");

// One FastCGI record of request 1.
std::string fcgiRecord(uint8_t type, const std::string& content);

// The BEGIN_REQUEST record of request 1 for a responder, without keep-conn.
std::string fcgiBegin();

// The records of FastCGI request 1 for uri from the camera itself (REMOTE_ADDR
// 127.0.0.1), without keep-conn, as a web server sends them: the method, the
// URI, the body's length and the script's name, then the body.
std::string fcgiRequest(const std::string& method, const std::string& uri,
                        const std::string& body = "");

// A client of the daemon's socket in dir that sends bytes and hangs up; its
// exit code.
int sendToSocket(const TempDir& dir, const std::string& bytes);

// A client connected to the daemon's socket in dir that has sent bytes and
// stays; its descriptor, for the caller to close. -1 when the socket does
// not accept.
int connectAndSend(const TempDir& dir, const std::string& bytes);

// True once the daemon has closed the client's connection, before the
// deadline; what it sent before is read and dropped.
bool closedByDaemon(int client, Deadline deadline);

// The whole of a file; empty when it cannot be read.
std::string fileText(const std::string& path);

// The servers of nginx with the shipped snippet at camera ("address:port";
// socket and password file in dir, the installer's password "s3cret" set by
// kanzo_zul-passwd), taking the client address from X-Real-IP; other serves
// dir as another site. Not the demos' ports (8480, 18480, 18482).
std::string shippedServers(const TempDir& dir, const std::string& camera, const std::string& other);

// nginx in dir with the servers of its http block, once it listens; run
// through launcher when one is given (e.g. into a network namespace).
class Nginx {
  public:
    Nginx(const TempDir& dir, const std::string& servers,
          const std::vector<std::string>& launcher = {});

  private:
    ChildProcess nginx_;
};
