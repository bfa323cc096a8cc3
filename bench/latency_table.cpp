// The reply latency table: the daemon's reply times beside the bare
// responder's, with the web side idle and busy, and with Secure Channel on.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <utility>

#include "bench/daemon_bench.h"
#include "osdp/system_cipher.h"
#include "tools/controller_secure_channel.h"

namespace {

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

}  // namespace

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
