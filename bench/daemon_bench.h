// The daemon benchmark's pieces (daemon_bench.cpp runs them): the daemon and
// the bare responder on their pseudo-terminals, the panel that drives them,
// the CSV report, and one function for each table.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "osdp/protocol.h"
#include "tests/harness/daemon_harness.h"
#include "tools/controller_frames.h"

using Micros = std::chrono::duration<double, std::micro>;

constexpr uint8_t kReaderAddresses[] = {10, 11};
// 8N1: ten bit times carry one byte.
constexpr std::chrono::nanoseconds kByteTime{10 * 1000000000LL / kDefaultBaudRate};
// A controller gives a reader this long before it counts the reply as missed.
constexpr std::chrono::milliseconds kReplyTimeout{200};

struct Options {
    int polls = 5000;
    int requests = 5000;
    int seconds = 60;
    std::string csvPath;
    std::string webLoadSocket;
    // The daemon to measure; empty for the one built with this program.
    std::string daemonPath;
};

// Collects the figures for the CSV file as they are printed.
class Report {
  public:
    void add(const std::string& section, const std::string& name, const std::string& metric,
             double value, const std::string& unit);
    bool write(const std::string& path) const;

  private:
    std::string rows_;
};

// The controller's side of the line: one command at a time, sequence numbers
// running 0, 1, 2, 3, 1, ... per reader so that the daemon answers every frame
// afresh.
class Panel {
  public:
    // With ackOnly every command counts as answered by osdp_ACK, as the bare
    // responder answers them all.
    explicit Panel(int fd, bool ackOnly = false) : fd_(fd), ackOnly_(ackOnly) {}

    // Sends one command and waits for the reply that answers it. The time from
    // the write of the last command byte to the first reply byte readable, or
    // nothing when no right reply came in time. With lineRate the bytes go out
    // one at a time, as a UART at 9600 baud hands them over, and the call
    // returns when the reply would have ended on such a line.
    std::optional<double> exchange(uint8_t address, uint8_t command, bool lineRate);

    // Sends a frame and takes the first whole reply: the time from the write of
    // the last byte to the first reply byte readable, or nothing when none came
    // in time.
    std::optional<double> exchangeFrame(const std::vector<uint8_t>& frame, bool lineRate,
                                        OsdpReply* reply);

    int failures() const { return failures_; }
    // Card reads seen so far, one controller tool line each.
    const std::vector<std::string>& cardLines() const { return cardLines_; }

  private:
    // Writes the frame; the time just before its last byte went, or nothing when
    // the write failed.
    std::optional<SteadyClock::time_point> send(const std::vector<uint8_t>& frame,
                                                bool lineRate) const;

    const int fd_;
    const bool ackOnly_;
    std::map<uint8_t, uint8_t> sequences_;
    ReplyCollector collector_;
    int failures_ = 0;
    std::vector<std::string> cardLines_;
};

// Polls both readers in turn at line rate on a thread of its own until
// stopped, as a panel does all day.
class BackgroundPolling {
  public:
    explicit BackgroundPolling(int fd);
    ~BackgroundPolling() { stop(); }
    BackgroundPolling(const BackgroundPolling&) = delete;
    BackgroundPolling& operator=(const BackgroundPolling&) = delete;

    // REQUIRES: called before the figures below are read.
    void stop();
    long answered() const { return answered_; }
    const Panel& panel() const { return panel_; }

  private:
    Panel panel_;
    std::atomic<bool> stop_{false};
    long answered_ = 0;
    std::thread thread_;
};

// The daemon on a pseudo-terminal, in a scratch directory, at its start-up
// debug level.
class DaemonUnderTest {
  public:
    // path: the daemon to run (empty: the one built with the tests);
    // keyFile: the text of its Secure Channel key file (empty: none).
    explicit DaemonUnderTest(const std::string& path, const std::string& keyFile = "");

    // Throws when the daemon has ended, so that a crash stops the run instead
    // of every later frame and request waiting out its time-out.
    void checkRunning();

    std::string socket() const { return dir_.file("fcgi.sock"); }
    int lineFd() const { return line_.masterFd(); }
    ChildProcess& process() { return process_; }

    // One request; its time in microseconds, or nothing when it failed.
    std::optional<double> request(const std::string& method, const std::string& query,
                                  const std::string& body = "");

    // While a panel polls: returns once no card waits for either reader, by
    // the daemon's diagnostics document, or after 10 seconds.
    void awaitNoCardsWaiting();

  private:
    ProcessOptions options(const std::string& path, const std::string& keyFile) const;

    TempDir dir_;
    PtyLine line_;
    ChildProcess process_;
};

// The bare responder (bare_responder.cpp) on a pseudo-terminal of its own.
class BareResponder {
  public:
    BareResponder();

    int lineFd() const { return line_.masterFd(); }
    pid_t pid() const { return process_.pid(); }

  private:
    PtyLine line_;
    ChildProcess process_;
};

// This program's own path, to start it again as the web load.
std::string selfPath();

struct Memory {
    long residentKb = -1;
    long peakKb = -1;
    // Of the resident memory, the part that no file backs: the heap, the
    // stacks, the malloc arenas. The rest is mostly shared library pages.
    long anonymousKb = -1;
};
Memory readMemory(pid_t pid);

// The tables (latency_table.cpp, throughput_table.cpp, resources_table.cpp):
// each prints its table, adds its rows to the report and returns false when a
// frame, a request or a plate went wrong.
bool latencyTable(DaemonUnderTest& daemon, const Options& options, Report& report);
bool secureLatencyRow(const Options& options, Report& report);
bool throughputTable(DaemonUnderTest& daemon, const Options& options, Report& report);
bool resourcesTable(DaemonUnderTest& daemon, const Options& options, Report& report);
