// Helpers for black-box tests that run the built programs: child processes
// with their standard output read line by line, pseudo-terminal serial lines,
// a virtual null-modem, scratch directories and a small FastCGI client. Every
// wait is bounded by a deadline; nothing sleeps for a fixed time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/descriptor_io.h"

// The programs under test are built with the same sanitizer as the tests.
#if defined(__SANITIZE_THREAD__)
#define UNDER_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define UNDER_THREAD_SANITIZER 1
#endif
#endif

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
    // Writes (replaces) the named file.
    void write(const std::string& name, const std::string& content) const;

  private:
    std::string path_;
};

// One end of a virtual serial line: a pseudo-terminal whose slave path is
// given to the program under test and whose master the test reads and writes.
// The pair holds a raw slave descriptor of its own, so the master sees no
// hang-up before the program has opened the slave.
class PtyLine {
  public:
    PtyLine();
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }

    void write(const std::vector<uint8_t>& bytes) const;

    // The next OSDP frame from the line, as raw bytes: from a start byte
    // through the length its header announces. Bytes before a start byte are
    // returned alone, so that a test comparing frames sees them. Empty when
    // nothing complete arrived before the deadline.
    std::vector<uint8_t> readFrame(Deadline deadline);

    // Closes both ends: the program on the slave sees a hang-up.
    void hangUp();

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::vector<uint8_t> pending_;
};

// Two pseudo-terminals joined master to master by a relay thread, like two
// serial ports with a null-modem cable between them.
class NullModem {
  public:
    NullModem();
    ~NullModem();
    NullModem(const NullModem&) = delete;
    NullModem& operator=(const NullModem&) = delete;

    const std::string& endA() const { return a_.slavePath(); }
    const std::string& endB() const { return b_.slavePath(); }

  private:
    void relay();

    PtyLine a_;
    PtyLine b_;
    int stopPipe_[2] = {-1, -1};
    std::thread relay_;
};

struct ProcessOptions {
    // argv; the first element is the program path.
    std::vector<std::string> args;
    // Set in the child's environment, on top of the test's own.
    std::map<std::string, std::string> env;
    // Removed from the child's environment.
    std::vector<std::string> unsetEnv;
    // Working directory of the child; empty keeps the test's.
    std::string workingDirectory;
};

// A program run as a child with its standard output and standard error read
// through pipes. Killed and reaped at destruction if still running.
class ChildProcess {
  public:
    explicit ChildProcess(const ProcessOptions& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // True once at least count complete standard output lines contain text;
    // reads output until then or until the deadline.
    bool waitForLine(const std::string& text, Deadline deadline, int count = 1);

    // Complete standard output lines read so far, without line ends.
    const std::vector<std::string>& lines() const { return lines_; }
    // Number of those lines that contain text.
    int countLines(const std::string& text) const;
    // Reads whatever output is ready now, without waiting.
    void readOutput();

    // Standard error read so far.
    const std::string& errorText() const { return stderr_; }

    void signal(int signalNumber);

    // Waits for the child to end and reads the rest of its output. The wait
    // status, or nothing when the child still runs at the deadline.
    std::optional<int> waitExit(Deadline deadline);
    bool running();

    // User plus system CPU time of the child so far, in clock ticks.
    long cpuTicks() const;

  private:
    // Reads output ready within timeoutMs: the number of bytes read, or -1
    // once both pipes have ended.
    int pump(int timeoutMs);
    void takeLines();

    pid_t pid_ = -1;
    int stdout_ = -1;
    int stderr_fd_ = -1;
    std::string partial_;
    std::vector<std::string> lines_;
    std::string stderr_;
    std::optional<int> status_;
    int lastSignal_ = 0;
};

// Options that run the daemon in dir: a parameter file with the serial number
// kTestSerialNumber, the serial port at serialDevice, the FastCGI socket
// dir/fcgi.sock, the key file dir/osdp-keys (absent: both readers plain), and
// dir as the working directory.
extern const char* const kTestSerialNumber;
ProcessOptions daemonOptions(const TempDir& dir, const std::string& serialDevice);

// Sends one FastCGI request to the socket and returns the response body
// (standard output records), or nothing when no complete response came
// before the deadline. Retries the connection until the socket accepts.
std::optional<std::string> fastcgiRequest(const std::string& socketPath, const std::string& method,
                                          const std::string& requestUri, const std::string& body,
                                          Deadline deadline);

// The text of one XML element "<name>value</name>" in a document, or nothing.
std::optional<std::string> xmlValue(const std::string& document, const std::string& name);
