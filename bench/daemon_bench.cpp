// What the running daemon costs and how fast it answers, measured from outside
// the way the panel and the camera's web server see it: the built kanzo_zul on
// a pseudo-terminal, with this program as the OSDP controller on the other end
// and as a FastCGI client on its socket.
//
//   kanzo_daemon_bench [--polls N] [--requests N] [--seconds S] [--csv FILE]
//                      [--daemon PATH]
//
// --daemon measures another kanzo_zul build, for a before-and-after run.
// Beside the daemon runs the bare responder (bare_responder.cpp), answering
// the same frames, so every reply time is also given as a ratio to it.
// Prints three tables (reply latency, web throughput, resources) and writes
// them as CSV rows "section,case,metric,value,unit". Exits 1 when a reply was
// missing or wrong, a request failed, a plate did not become exactly one card
// read, or the daemon's memory grew over the resources run.
//
//   kanzo_daemon_bench --web-load SOCKET
//
// The busy web side for the latency run: status documents and plate events
// over SOCKET as fast as they are answered, until SIGTERM; then prints
// "web load requests=N failed=N seconds=S".
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "osdp/system_cipher.h"
#include "tests/harness/daemon_harness.h"
#include "tools/controller_secure_channel.h"
#include "tools/reply_text.h"

namespace {

using Micros = std::chrono::duration<double, std::micro>;

constexpr uint8_t kReaderAddresses[] = {10, 11};
// 9600 baud, 8N1: ten bit times carry one byte.
constexpr std::chrono::nanoseconds kByteTime{10 * 1000000000LL / 9600};
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
             double value, const std::string& unit) {
        char number[32];
        snprintf(number, sizeof number, "%.3f", value);
        rows_ += section + "," + name + "," + metric + "," + number + "," + unit + "\n";
    }

    bool write(const std::string& path) const {
        std::ofstream out(path, std::ios::trunc);
        out << "section,case,metric,value,unit\n" << rows_;
        return static_cast<bool>(out);
    }

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
    std::optional<double> exchange(uint8_t address, uint8_t command, bool lineRate) {
        // A reader's first frame from this panel carries sequence 0, which
        // starts a new session: the daemon answers it afresh even if it equals
        // the last frame an earlier panel sent.
        const auto last = sequences_.find(address);
        const uint8_t sequence = last == sequences_.end() ? 0 : last->second % 3 + 1;
        sequences_[address] = sequence;
        OsdpReply reply;
        const auto micros =
            exchangeFrame(buildCommandFrame(address, sequence, command), lineRate, &reply);
        if (!micros || !answers(reply, address, sequence, ackOnly_ ? kCmdPoll : command)) {
            ++failures_;
            return std::nullopt;
        }
        if (reply.code == kReplyRaw)
            cardLines_.push_back(describeReply(command, reply));
        return micros;
    }

    // Sends a frame and takes the first whole reply: the time from the write of
    // the last byte to the first reply byte readable, or nothing when none came
    // in time.
    std::optional<double> exchangeFrame(const std::vector<uint8_t>& frame, bool lineRate,
                                        OsdpReply* reply) {
        collector_.clear();
        const auto sent = send(frame, lineRate);
        if (!sent)
            return std::nullopt;
        const auto deadline = *sent + kReplyTimeout;
        std::optional<SteadyClock::time_point> firstByte;
        size_t replyBytes = 0;
        do {
            pollfd in = {fd_, POLLIN, 0};
            if (poll(&in, 1, millisLeft(deadline)) <= 0)
                return std::nullopt;
            if (!firstByte)
                firstByte = SteadyClock::now();
            uint8_t bytes[512];
            const ssize_t n = read(fd_, bytes, sizeof bytes);
            if (n <= 0)
                continue;
            replyBytes += static_cast<size_t>(n);
            collector_.push(bytes, static_cast<size_t>(n));
        } while (!collector_.nextReply(reply));
        if (lineRate)
            std::this_thread::sleep_for(kByteTime * replyBytes);
        return Micros(*firstByte - *sent).count();
    }

    int failures() const { return failures_; }
    // Card reads seen so far, one controller tool line each.
    const std::vector<std::string>& cardLines() const { return cardLines_; }

  private:
    // Writes the frame; the time just before its last byte went, or nothing when
    // the write failed.
    std::optional<SteadyClock::time_point> send(const std::vector<uint8_t>& frame,
                                                bool lineRate) const {
        const size_t chunk = lineRate ? 1 : frame.size();
        const auto begin = SteadyClock::now();
        SteadyClock::time_point sent;
        for (size_t at = 0; at < frame.size(); at += chunk) {
            if (lineRate)
                std::this_thread::sleep_until(begin + kByteTime * (at + 1));
            // Taken before the write: the write may wake the kernel's worker
            // that hands the bytes on, and should that preempt this thread on
            // its way back, the reply would already be in when a clock read
            // after the write ran.
            sent = SteadyClock::now();
            if (::write(fd_, frame.data() + at, chunk) != static_cast<ssize_t>(chunk))
                return std::nullopt;
        }
        return sent;
    }

    static bool answers(const OsdpReply& reply, uint8_t address, uint8_t sequence,
                        uint8_t command) {
        if (reply.address != address || reply.sequence != sequence)
            return false;
        switch (command) {
            case kCmdPoll:
                return reply.code == kReplyAck || reply.code == kReplyRaw;
            case kCmdId:
                return reply.code == kReplyPdid;
            case kCmdCap:
                return reply.code == kReplyPdcap;
        }
        return false;
    }

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
    explicit BackgroundPolling(int fd) : panel_(fd) {
        thread_ = std::thread([this] {
            for (size_t turn = 0; !stop_.load(); ++turn) {
                if (panel_.exchange(kReaderAddresses[turn % 2], kCmdPoll, true))
                    ++answered_;
            }
        });
    }
    ~BackgroundPolling() { stop(); }
    BackgroundPolling(const BackgroundPolling&) = delete;
    BackgroundPolling& operator=(const BackgroundPolling&) = delete;

    // REQUIRES: called before the figures below are read.
    void stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
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
    explicit DaemonUnderTest(const std::string& path, const std::string& keyFile = "")
        : process_(options(path, keyFile)) {
        if (!process_.waitForLine("Serial port add watch", deadlineIn(kPatience)) ||
            !fastcgiRequest(socket(), "GET", std::string(kScript) + "?info", "",
                            deadlineIn(kPatience))) {
            throw std::runtime_error("kanzo_zul did not start\n" + process_.errorText());
        }
    }

    // Throws when the daemon has ended, so that a crash stops the run instead
    // of every later frame and request waiting out its time-out.
    void checkRunning() {
        if (!process_.running())
            throw std::runtime_error("kanzo_zul ended during the run\n" + process_.errorText());
    }

    std::string socket() const { return dir_.file("fcgi.sock"); }
    int lineFd() const { return line_.masterFd(); }
    ChildProcess& process() { return process_; }

    // One request; its time in microseconds, or nothing when it failed.
    std::optional<double> request(const std::string& method, const std::string& query,
                                  const std::string& body = "") {
        const auto start = SteadyClock::now();
        if (!fastcgiRequest(socket(), method, kScript + query, body, deadlineIn(kPatience)))
            return std::nullopt;
        return Micros(SteadyClock::now() - start).count();
    }

    // While a panel polls: returns once no card waits for either reader, by
    // the daemon's diagnostics document, or after 10 seconds.
    void awaitNoCardsWaiting() {
        for (const Deadline deadline = deadlineIn(std::chrono::seconds(10));
             SteadyClock::now() < deadline;
             std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            const std::optional<std::string> doc = fastcgiRequest(
                socket(), "GET", std::string(kScript) + "?getDiagnosticsXML", "", deadline);
            if (doc && doc->find("<cardsWaiting1>0<") != std::string::npos &&
                doc->find("<cardsWaiting2>0<") != std::string::npos) {
                return;
            }
        }
    }

  private:
    ProcessOptions options(const std::string& path, const std::string& keyFile) const {
        if (!keyFile.empty()) {
            dir_.write("osdp-keys", keyFile);
            chmod(dir_.file("osdp-keys").c_str(), 0600);
        }
        ProcessOptions options = daemonOptions(dir_, line_.slavePath());
        if (!path.empty())
            options.args[0] = path;
        return options;
    }

    TempDir dir_;
    PtyLine line_;
    ChildProcess process_;
};

// The bare responder (bare_responder.cpp) on a pseudo-terminal of its own.
class BareResponder {
  public:
    BareResponder()
        : process_(ProcessOptions{{BARE_RESPONDER_BINARY, line_.slavePath()}, {}, {}, {}}) {
        if (!process_.waitForLine("bare responder ready", deadlineIn(kPatience)))
            throw std::runtime_error("the bare responder did not start\n" + process_.errorText());
    }

    int lineFd() const { return line_.masterFd(); }
    pid_t pid() const { return process_.pid(); }

  private:
    PtyLine line_;
    ChildProcess process_;
};

std::string selfPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        throw std::runtime_error(std::string("/proc/self/exe: ") + strerror(errno));
    return std::string(path, static_cast<size_t>(n));
}

// ---- Reply latency ----

// Read calls and sleeps of a process's main thread so far: how often the
// thread that answers the line went to the kernel for bytes, and woke up.
struct LineCounts {
    long reads = 0;
    long wakeUps = 0;
};

LineCounts readLineCounts(pid_t pid) {
    const std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
    LineCounts counts;
    std::string line;
    std::ifstream io(task + "/io");
    while (std::getline(io, line)) {
        if (line.rfind("syscr:", 0) == 0)
            counts.reads = atol(line.c_str() + 6);
    }
    std::ifstream status(task + "/status");
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            counts.wakeUps = atol(line.c_str() + 24);
    }
    return counts;
}

// One side of a latency row: its samples, failures and main-thread counts.
struct Side {
    Summary summary;
    int failures = 0;
    double readsPerFrame = 0;
    double wakeUpsPerFrame = 0;
};

struct LatencyRow {
    const char* command;
    uint8_t code;
    bool lineRate;
};

// Frames to the daemon and to the bare responder in turn, each side first
// every other pair, so that neither always meets the after-effects of the
// other.
std::pair<Side, Side> measureRow(DaemonUnderTest& daemon, const BareResponder& bare,
                                 const LatencyRow& row, int frames) {
    Panel daemonPanel(daemon.lineFd());
    Panel barePanel(bare.lineFd(), true);
    const pid_t pids[2] = {daemon.process().pid(), bare.pid()};
    Panel* panels[2] = {&daemonPanel, &barePanel};
    std::vector<double> samples[2];
    LineCounts start[2] = {readLineCounts(pids[0]), readLineCounts(pids[1])};
    for (int i = 0; i < frames; ++i) {
        const uint8_t address = kReaderAddresses[i % 2];
        for (int turn = 0; turn < 2; ++turn) {
            const int side = (turn + i / 2) % 2;
            if (auto micros = panels[side]->exchange(address, row.code, row.lineRate))
                samples[side].push_back(*micros);
            else if (side == 0)
                daemon.checkRunning();
        }
        if (i % 256 == 0)
            daemon.process().readOutput();
    }
    Side sides[2];
    for (int side = 0; side < 2; ++side) {
        const LineCounts end = readLineCounts(pids[side]);
        sides[side].summary = summarize(samples[side]);
        sides[side].failures = panels[side]->failures();
        sides[side].readsPerFrame = static_cast<double>(end.reads - start[side].reads) / frames;
        sides[side].wakeUpsPerFrame =
            static_cast<double>(end.wakeUps - start[side].wakeUps) / frames;
    }
    return {sides[0], sides[1]};
}

void printLatencyRow(const LatencyRow& row, bool busy, const Side& d, const Side& b,
                     Report& report) {
    const double ratioMedian = d.summary.median / b.summary.median;
    const double ratioP99 = d.summary.p99 / b.summary.p99;
    const char* web = busy ? "busy" : "idle";
    const char* arrival = row.lineRate ? "1by1" : "whole";
    printf(
        "%-5s %-6s %-4s %6zu %8.1f %8.1f %8.1f %8.1f %8.1f %7.2f %7.2f %6.2f %6.2f %6.2f "
        "%6.2f %6d\n",
        row.command, arrival, web, d.summary.count, d.summary.median, d.summary.p99, d.summary.max,
        b.summary.median, b.summary.p99, ratioMedian, ratioP99, d.readsPerFrame, d.wakeUpsPerFrame,
        b.readsPerFrame, b.wakeUpsPerFrame, d.failures + b.failures);
    const std::string name = std::string(row.command) + " " + arrival + " web " + web;
    report.add("latency", name, "median", d.summary.median, "us");
    report.add("latency", name, "p99", d.summary.p99, "us");
    report.add("latency", name, "max", d.summary.max, "us");
    report.add("latency", name, "bare median", b.summary.median, "us");
    report.add("latency", name, "bare p99", b.summary.p99, "us");
    report.add("latency", name, "median over bare", ratioMedian, "x");
    report.add("latency", name, "p99 over bare", ratioP99, "x");
    report.add("latency", name, "reads per frame", d.readsPerFrame, "1");
    report.add("latency", name, "wake-ups per frame", d.wakeUpsPerFrame, "1");
    report.add("latency", name, "failed", d.failures + b.failures, "frames");
}

// The busy web side: another process of this program, started once its load
// has settled.
void startWebLoad(const DaemonUnderTest& daemon, std::optional<ChildProcess>* load) {
    load->emplace(ProcessOptions{{selfPath(), "--web-load", daemon.socket()}, {}, {}, {}});
    if (!(*load)->waitForLine("web load started", deadlineIn(kPatience)))
        throw std::runtime_error("the web load did not start");
}

// Stops the web load; false when it gave no figures or a request failed.
bool stopWebLoad(ChildProcess& load, Report& report, std::string* loadLine) {
    load.signal(SIGTERM);
    load.waitExit(deadlineIn(kPatience));
    const int lines = load.countLines("web load requests=");
    *loadLine = lines == 1 ? load.lines().back() : "web load gave no figures";
    unsigned long requests = 0;
    unsigned long failed = 0;
    double seconds = 0;
    if (sscanf(loadLine->c_str(), "web load requests=%lu failed=%lu seconds=%lf", &requests,
               &failed, &seconds) != 3 ||
        failed != 0 || seconds <= 0) {
        return false;
    }
    report.add("latency", "web load", "requests per second", requests / seconds, "1/s");
    *loadLine = "busy: another process kept the FastCGI socket busy, " +
                std::to_string(static_cast<long>(requests / seconds)) +
                " requests/s (status documents and plate events in turn)";
    return true;
}

bool latencyTable(DaemonUnderTest& daemon, const Options& options, Report& report) {
    const int lineRateFrames = std::max(1, options.polls / 10);
    printf(
        "Reply latency: write of the last command byte to first reply byte, in microseconds.\n"
        "kanzo_zul and the bare responder on pseudo-terminals of the same kind, frame by\n"
        "frame in turn; x bare is the daemon's figure over the bare responder's. Whole\n"
        "frames are written at once (%d a row); bytes go one at a time at line rate\n"
        "(%d a row). Reads and wake-ups are the main thread's, per frame.\n\n",
        options.polls, lineRateFrames);
    printf("%-5s %-6s %-4s %6s %8s %8s %8s %8s %8s %7s %7s %6s %6s %6s %6s %6s\n", "cmd", "bytes",
           "web", "frames", "median", "p99", "max", "bare med", "bare p99", "x med", "x p99",
           "reads", "wakes", "b.rds", "b.wks", "failed");
    const LatencyRow rows[] = {{"poll", kCmdPoll, false},
                               {"id", kCmdId, false},
                               {"cap", kCmdCap, false},
                               {"poll", kCmdPoll, true}};
    bool clean = true;
    std::string loadLine;
    double pollP99[2] = {0, 0};
    BareResponder bare;
    for (const bool busy : {false, true}) {
        std::optional<ChildProcess> load;
        if (busy)
            startWebLoad(daemon, &load);
        for (const LatencyRow& row : rows) {
            // Line rate under web load adds nothing the whole-frame rows lack.
            if (busy && row.lineRate)
                continue;
            const auto [d, b] =
                measureRow(daemon, bare, row, row.lineRate ? lineRateFrames : options.polls);
            printLatencyRow(row, busy, d, b, report);
            clean = clean && d.failures == 0 && b.failures == 0;
            if (row.code == kCmdPoll && !row.lineRate)
                pollP99[busy] = d.summary.p99;
        }
        if (load)
            clean = stopWebLoad(*load, report, &loadLine) && clean;
    }
    const double busyOverIdle = pollP99[1] / pollP99[0];
    printf("\n%s\npoll p99, web busy over web idle: %.2f x\n\n", loadLine.c_str(), busyOverIdle);
    report.add("latency", "poll whole", "p99 web busy over idle", busyOverIdle, "x");
    return clean;
}

// ---- Memory ----

struct Memory {
    long residentKb = -1;
    long peakKb = -1;
    // Of the resident memory, the part that no file backs: the heap, the
    // stacks, the malloc arenas. The rest is mostly shared library pages.
    long anonymousKb = -1;
};

Memory readMemory(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    Memory memory;
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            memory.residentKb = atol(line.c_str() + 6);
        else if (line.rfind("VmHWM:", 0) == 0)
            memory.peakKb = atol(line.c_str() + 6);
        else if (line.rfind("RssAnon:", 0) == 0)
            memory.anonymousKb = atol(line.c_str() + 8);
    }
    return memory;
}

// The proportional set size: resident memory with each shared page divided
// among the processes that map it. -1 when the kernel does not tell.
long readProportionalKb(pid_t pid) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(rollup, line)) {
        if (line.rfind("Pss:", 0) == 0)
            return atol(line.c_str() + 4);
    }
    return -1;
}

// One Secure Channel session with each reader.
std::vector<ControllerSecureChannel> openSecureSessions(Panel& panel, const AesKey& baseKey) {
    std::vector<ControllerSecureChannel> channels(2, ControllerSecureChannel(systemCipher()));
    for (size_t r = 0; r < 2; ++r) {
        OsdpReply reply;
        if (!panel.exchangeFrame(channels[r].challenge(kReaderAddresses[r], 0, baseKey, kKeyBase),
                                 false, &reply) ||
            !channels[r].acceptClientCryptogram(reply) ||
            !panel.exchangeFrame(channels[r].confirm(kReaderAddresses[r], 1), false, &reply) ||
            !channels[r].acceptInitialRmac(reply)) {
            throw std::runtime_error("no Secure Channel session with the daemon");
        }
    }
    return channels;
}

// Sealed polls to both readers in Secure Channel sessions, back to back, web
// idle: the time from the last command byte to the first reply byte.
bool secureLatencyRow(const Options& options, Report& report) {
    const std::string key = "000102030405060708090A0B0C0D0E0F";
    DaemonUnderTest daemon(options.daemonPath,
                           "reader1 secure " + key + "\nreader2 secure " + key + "\n");
    AesKey baseKey;
    parseHexKey(key, &baseKey);
    Panel panel(daemon.lineFd());
    std::vector<ControllerSecureChannel> channels = openSecureSessions(panel, baseKey);
    std::vector<uint8_t> sequences(2, 1);
    std::vector<double> samples;
    int failures = 0;
    for (int i = 0; i < options.polls; ++i) {
        const size_t r = static_cast<size_t>(i % 2);
        sequences[r] = static_cast<uint8_t>(sequences[r] % 3 + 1);
        OsdpReply reply;
        uint8_t code = 0;
        std::vector<uint8_t> data;
        const auto micros = panel.exchangeFrame(
            channels[r].seal(kReaderAddresses[r], sequences[r], kCmdPoll), false, &reply);
        if (micros && channels[r].open(reply, &code, &data) && code == kReplyAck) {
            samples.push_back(*micros);
        } else {
            ++failures;
            daemon.checkRunning();
            break;  // the session is gone
        }
    }
    const Summary s = summarize(samples);
    printf(
        "Reply latency with Secure Channel on: both readers in sessions, polls and\n"
        "acknowledgements MAC'd, back to back, web idle (microseconds)\n\n");
    printf("%-8s %-5s %7s %9s %9s %9s %7s\n", "command", "web", "frames", "median", "p99", "max",
           "failed");
    printf("%-8s %-5s %7zu %9.1f %9.1f %9.1f %7d\n\n", "poll sc", "idle", s.count, s.median, s.p99,
           s.max, failures);
    report.add("latency", "poll secure channel web idle", "median", s.median, "us");
    report.add("latency", "poll secure channel web idle", "p99", s.p99, "us");
    report.add("latency", "poll secure channel web idle", "max", s.max, "us");
    report.add("latency", "poll secure channel web idle", "failed", failures, "frames");
    return failures == 0;
}

// ---- Web throughput ----

using Query = std::function<std::optional<double>(int)>;

// One request of a kind after the other; false when one failed.
bool throughputRow(DaemonUnderTest& daemon, const char* name, const Query& query, int requests,
                   Report& report) {
    std::vector<double> samples;
    int failed = 0;
    const auto start = SteadyClock::now();
    for (int i = 0; i < requests; ++i) {
        if (auto micros = query(i)) {
            samples.push_back(*micros);
        } else {
            ++failed;
            daemon.checkRunning();
        }
        if (i % 256 == 0)
            daemon.process().readOutput();
    }
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    const Summary s = summarize(samples);
    const double rate = s.count / seconds;
    printf("%-18s %9zu %9.0f %9.1f %9.1f %7d\n", name, s.count, rate, s.median, s.p99, failed);
    report.add("web", name, "requests per second", rate, "1/s");
    report.add("web", name, "median", s.median, "us");
    report.add("web", name, "p99", s.p99, "us");
    report.add("web", name, "failed", failed, "requests");
    return failed == 0;
}

bool throughputTable(DaemonUnderTest& daemon, const Options& options, Report& report) {
    printf(
        "Web throughput over the FastCGI socket, one connection a request, while the\n"
        "serial side is polled at line rate (%d requests a row; times in microseconds)\n\n",
        options.requests);
    printf("%-18s %9s %9s %9s %9s %7s\n", "request", "count", "req/s", "median", "p99", "failed");
    const Memory before = readMemory(daemon.process().pid());
    BackgroundPolling polling(daemon.lineFd());
    const std::pair<const char*, Query> rows[] = {
        {"getStatusXML", [&](int) { return daemon.request("GET", "?getStatusXML"); }},
        {"CSN32LSB_Reader1",
         [&](int i) {
             char query[40];
             snprintf(query, sizeof query, "?CSN32LSB_Reader1=%X", 0x10000 + i);
             return daemon.request("GET", query);
         }},
        {"LPR_Reader1",
         [&](int i) { return daemon.request("GET", "?LPR_Reader1=WEB" + std::to_string(i)); }},
        {"plate POST",
         [&](int i) {
             return daemon.request("POST", "?lpr",
                                   plateEvent("POST" + std::to_string(i), 1 + i % 2));
         }},
    };
    bool clean = true;
    for (const auto& [name, query] : rows)
        clean = throughputRow(daemon, name, query, options.requests, report) && clean;
    // The cards still waiting (up to 16 a reader) go out now, and the polls
    // after the last of them confirm it, so that the next run starts with none
    // to deliver or to offer again.
    daemon.awaitNoCardsWaiting();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    polling.stop();
    const Memory after = readMemory(daemon.process().pid());
    printf("\nserial side meanwhile: %ld polls answered, %d missed\n", polling.answered(),
           polling.panel().failures());
    printf("resident memory before and after these %d requests: %ld kB, %ld kB\n\n",
           4 * options.requests, before.residentKb, after.residentKb);
    report.add("web", "all rows", "resident memory before", before.residentKb, "kB");
    report.add("web", "all rows", "resident memory after", after.residentKb, "kB");
    return clean && polling.panel().failures() == 0;
}

// ---- Resources ----

// CPU time and wake-ups of a process so far, summed over its threads.
struct CpuUse {
    double millis = 0;
    long wakeUps = 0;    // voluntary context switches: sleeps that ended
    bool exact = false;  // from the scheduler's nanosecond figures, not clock ticks
};

CpuUse readCpu(const ChildProcess& process) {
    CpuUse use;
    const std::string tasks = "/proc/" + std::to_string(process.pid()) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        // Kernels built with scheduler debugging keep exact figures here.
        std::ifstream sched(task.path() / "sched");
        std::string line;
        while (std::getline(sched, line)) {
            const size_t colon = line.find(':');
            if (colon == std::string::npos)
                continue;
            const std::string name = line.substr(0, line.find(' '));
            if (name == "se.sum_exec_runtime") {
                use.millis += atof(line.c_str() + colon + 1);
                use.exact = true;
            } else if (name == "nr_voluntary_switches") {
                use.wakeUps += atol(line.c_str() + colon + 1);
            }
        }
    }
    if (!use.exact)
        use.millis = 1000.0 * process.cpuTicks() / sysconf(_SC_CLK_TCK);
    return use;
}

// What the resources run measured.
struct ResourceRun {
    int warmUp = 0;              // seconds before the samples start
    std::vector<long> resident;  // one sample a second, after the warm-up
    std::multiset<std::string> expected;
    int failedPosts = 0;
    CpuUse cpu;  // over the measured time
    double measuredSeconds = 0;
    Memory end;
    long proportionalKb = -1;
};

// Samples the daemon once a second and posts a plate event each time.
ResourceRun sampleResources(DaemonUnderTest& daemon, int seconds) {
    ResourceRun run;
    run.warmUp = std::min(10, seconds / 3);
    ChildProcess& process = daemon.process();
    CpuUse startCpu;
    SteadyClock::time_point measuredFrom;
    const auto start = SteadyClock::now();
    for (int second = 0; second < seconds; ++second) {
        std::this_thread::sleep_until(start + std::chrono::seconds(second));
        if (second == run.warmUp) {
            startCpu = readCpu(process);
            measuredFrom = SteadyClock::now();
        }
        if (second >= run.warmUp)
            run.resident.push_back(readMemory(process.pid()).residentKb);
        const std::string plate = "RUN" + std::to_string(second);
        const int region = 1 + second % 2;
        if (daemon.request("POST", "?lpr", plateEvent(plate, region)))
            run.expected.insert(cardLine(plate, region));
        else
            ++run.failedPosts;
        daemon.checkRunning();
        process.readOutput();
    }
    std::this_thread::sleep_until(start + std::chrono::seconds(seconds));
    const CpuUse endCpu = readCpu(process);
    run.measuredSeconds = std::chrono::duration<double>(SteadyClock::now() - measuredFrom).count();
    run.cpu = {endCpu.millis - startCpu.millis, endCpu.wakeUps - startCpu.wakeUps, endCpu.exact};
    run.resident.push_back(readMemory(process.pid()).residentKb);
    run.end = readMemory(process.pid());
    run.proportionalKb = readProportionalKb(process.pid());
    return run;
}

bool resourcesTable(DaemonUnderTest& daemon, const Options& options, Report& report) {
    printf(
        "Resources over %d s: readers 10 and 11 polled back to back at line rate,\n"
        "one plate event a second (regions 1 and 2 in turn)\n\n",
        options.seconds);
    BackgroundPolling polling(daemon.lineFd());
    const ResourceRun run = sampleResources(daemon, options.seconds);
    // The last plate's card goes out with the next poll of its reader.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    polling.stop();

    std::vector<long> sorted = run.resident;
    std::sort(sorted.begin(), sorted.end());
    const long steady = sorted[sorted.size() / 2];
    const long growth = run.resident.back() - run.resident.front();
    const double cpuMsPerSecond = run.cpu.millis / run.measuredSeconds;
    const double wakeUpsPerSecond = run.cpu.wakeUps / run.measuredSeconds;
    const std::multiset<std::string> seen(polling.panel().cardLines().begin(),
                                          polling.panel().cardLines().end());
    const bool exactlyOnce = seen == run.expected && run.failedPosts == 0;
    const int missed = polling.panel().failures();

    printf("%-30s %10ld kB\n", "peak resident memory", run.end.peakKb);
    printf("%-30s %10ld kB  (median of one sample a second after %d s)\n", "steady resident memory",
           steady, run.warmUp);
    printf("%-30s %10ld kB  (at the end; the rest is mostly shared libraries)\n",
           "of which anonymous", run.end.anonymousKb);
    printf("%-30s %10ld kB  (shared pages divided among their users)\n", "proportional set size",
           run.proportionalKb);
    printf("%-30s %10ld kB  (last sample less the first)\n", "growth over the run", growth);
    printf("%-30s %10.2f ms  (%.2f %% of one core%s)\n", "CPU time per second", cpuMsPerSecond,
           cpuMsPerSecond / 10.0, run.cpu.exact ? "" : ", counted in clock ticks");
    if (run.cpu.exact)
        printf("%-30s %10.0f\n", "wake-ups per second", wakeUpsPerSecond);
    printf("%-30s %10ld      (%d missed)\n", "polls answered", polling.answered(), missed);
    printf("%-30s %10zu      (%zu card reads at the panel, %s)\n\n", "plate events",
           run.expected.size(), seen.size(),
           exactlyOnce ? "each plate exactly once" : "NOT each plate exactly once");
    const std::pair<const char*, double> figures[] = {
        {"peak resident memory", run.end.peakKb},
        {"steady resident memory", steady},
        {"anonymous resident memory", run.end.anonymousKb},
        {"proportional set size", run.proportionalKb},
        {"resident memory growth", growth}};
    for (const auto& [name, kb] : figures)
        report.add("resources", "daemon", name, kb, "kB");
    report.add("resources", "daemon", "CPU time per second", cpuMsPerSecond, "ms");
    if (run.cpu.exact)
        report.add("resources", "daemon", "wake-ups per second", wakeUpsPerSecond, "1/s");
    report.add("resources", "daemon", "polls answered", polling.answered(), "frames");
    report.add("resources", "daemon", "polls missed", missed, "frames");
    report.add("resources", "daemon", "plate events", run.expected.size(), "events");
    report.add("resources", "daemon", "card reads", seen.size(), "reads");
    return exactlyOnce && growth <= 0 && missed == 0;
}

// ---- The busy web side ----

volatile sig_atomic_t stopLoad = 0;

int webLoad(const std::string& socket) {
    struct sigaction action = {};
    action.sa_handler = [](int) { stopLoad = 1; };
    sigaction(SIGTERM, &action, nullptr);
    unsigned long requests = 0;
    unsigned long failed = 0;
    // The rows measure the daemon under load that has settled: the worker's
    // first requests fault in its buffers and its malloc arena, and both
    // processes' first passes are cold, which would land in the first row alone.
    constexpr unsigned long kWarmUpRequests = 2000;
    auto start = SteadyClock::now();
    for (unsigned long i = 0; !stopLoad; ++i) {
        if (i == kWarmUpRequests) {
            requests = 0;
            start = SteadyClock::now();
            printf("web load started\n");
            fflush(stdout);
        }
        const bool plate = i % 2 == 1;
        const auto reply =
            plate ? fastcgiRequest(socket, "POST", std::string(kScript) + "?lpr",
                                   plateEvent("LOAD" + std::to_string(i), 1 + i / 2 % 2),
                                   deadlineIn(kPatience))
                  : fastcgiRequest(socket, "GET", std::string(kScript) + "?getStatusXML", "",
                                   deadlineIn(kPatience));
        // A request cut short by the stop signal is not the daemon's failure.
        if (stopLoad)
            break;
        ++requests;
        failed += reply ? 0 : 1;
    }
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    printf("web load requests=%lu failed=%lu seconds=%.3f\n", requests, failed, seconds);
    return 0;
}

bool parseOptions(int argc, char** argv, Options* options) {
    return ::parseOptions(
        argc, argv,
        {numberOption("--polls", 1, 1e7, &options->polls),
         numberOption("--requests", 1, 1e7, &options->requests),
         numberOption("--seconds", 3, 1e7, &options->seconds),
         textOption("--csv", &options->csvPath),
         // The daemon runs in a scratch directory.
         Option{"--daemon",
                [options](const char* path) {
                    options->daemonPath = std::filesystem::absolute(path).string();
                    return true;
                }},
         textOption("--web-load", &options->webLoadSocket)},
        "kanzo_daemon_bench [--polls N] [--requests N] [--seconds S>=3] [--csv FILE] "
        "[--daemon PATH]");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options))
        return 2;
    if (!options.webLoadSocket.empty())
        return webLoad(options.webLoadSocket);

    // The load process and the daemon both get their own stdout pipes; a
    // vanished reader must not end this program.
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Report report;
    bool clean = true;
    try {
        DaemonUnderTest daemon(options.daemonPath);
        printf("kanzo_zul daemon benchmark (pid %d, DebugLevel 1)\n\n", daemon.process().pid());
        clean = latencyTable(daemon, options, report);
        clean = secureLatencyRow(options, report) && clean;
        clean = throughputTable(daemon, options, report) && clean;
        clean = resourcesTable(daemon, options, report) && clean;
    } catch (const std::exception& error) {
        fprintf(stderr, "daemon_bench: %s\n", error.what());
        return 1;
    }
    if (!options.csvPath.empty()) {
        if (!report.write(options.csvPath)) {
            fprintf(stderr, "daemon_bench: cannot write %s\n", options.csvPath.c_str());
            return 1;
        }
        printf("CSV: %s\n", options.csvPath.c_str());
    }
    if (!clean)
        printf(
            "FAILED: see the missed frames, failed requests, card reads or memory growth "
            "above\n");
    return clean ? 0 : 1;
}
