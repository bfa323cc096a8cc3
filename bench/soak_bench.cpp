// The daemon on a noisy line for a long while: does every plate still become a
// card read at the panel? The built kanzo_zul and the osdp_controller tool (the
// panel) talk through a relay that flips bits, drops bytes and holds bytes
// back past the panel's reply time-out, while this program posts a plate event
// every period, to regions 1 and 2 in turn.
//
//   kanzo_soak_bench [--corrupt PERCENT] [--plates N] [--period MS] [--seed N]
//                    [--timeout MS] [--interval MS] [--csv FILE]
//
// Prints one table row, every plate read more than once and every plate never
// read, each with the reason, and appends the row to FILE as CSV. A plate never
// read is either superseded (a newer plate for its reader took its place before
// the panel could take it, as the daemon intends) or lost in delivery. Exits 1
// when a plate was lost in delivery, a card read came from no plate, or a post
// or the daemon failed.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/faulty_line.h"
#include "tests/harness/daemon_harness.h"
#include "tools/osdp_controller_core.h"
#include "util/mutex.h"
#include "util/sha1.h"

namespace {

using Millis = std::chrono::duration<double, std::milli>;

constexpr char kScript[] = "/local/kanzo_zul/osdp.cgi";

struct Options {
    double corruptPercent = 1;
    int plates = 1000;
    int periodMs = 200;
    uint32_t seed = 1;
    int timeoutMs = 50;
    int intervalMs = 10;
    std::string csvPath;
};

std::string plateEvent(const std::string& plate, int region) {
    return "{\"plateUTF8\":\"" + plate + "\",\"roiID\":\"" + std::to_string(region) + "\"}";
}

// The card read a panel logs for a plate recognised in region 1 (reader 10)
// or 2 (reader 11).
std::string cardLine(const std::string& plate, int region) {
    Sha1 sha;
    sha.update(plate);
    char line[64];
    snprintf(line, sizeof line, "reader %d card format=0x12 bits=32 card=%08X", 9 + region,
             cardNumberFromDigest(sha.finalHex()));
    return line;
}

// One line of the panel, with the time it arrived.
struct PanelLine {
    SteadyClock::time_point at;
    std::string text;
};

// Reads the panel's lines as they come, on a thread of its own.
class PanelLog {
  public:
    explicit PanelLog(ChildProcess& panel) : panel_(panel) {
        thread_ = std::thread([this] {
            size_t seen = 0;
            while (!stop_.load()) {
                // Every line contains "": this returns as soon as one more is in.
                if (!panel_.waitForLine("", deadlineIn(std::chrono::milliseconds(50)),
                                        static_cast<int>(seen) + 1)) {
                    // Its output has ended only if the panel has.
                    if (!panel_.running())
                        return;
                    continue;
                }
                const auto now = SteadyClock::now();
                MutexLock lock(mutex_);
                for (; seen < panel_.lines().size(); ++seen)
                    lines_.push_back(PanelLine{now, panel_.lines()[seen]});
            }
        });
    }
    ~PanelLog() { stop(); }
    PanelLog(const PanelLog&) = delete;
    PanelLog& operator=(const PanelLog&) = delete;

    void stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    std::vector<PanelLine> lines() const {
        MutexLock lock(mutex_);
        return lines_;
    }
    int count(const std::string& text) const {
        MutexLock lock(mutex_);
        return static_cast<int>(std::count_if(
            lines_.begin(), lines_.end(),
            [&](const PanelLine& l) { return l.text.find(text) != std::string::npos; }));
    }

  private:
    ChildProcess& panel_;
    std::atomic<bool> stop_{false};
    mutable Mutex mutex_;
    std::vector<PanelLine> lines_ GUARDED_BY(mutex_);
    std::thread thread_;
};

// A reply as the daemon wrote it to the line, before the line's faults.
struct SentReply {
    SteadyClock::time_point at;
    int reader = 0;    // OSDP address
    uint8_t code = 0;  // reply code
    std::string line;  // the panel's line for card data
};

// Every reply the daemon wrote, as the line heard it.
class SentReplies {
  public:
    void take(const uint8_t* bytes, size_t count) {
        const auto now = SteadyClock::now();
        MutexLock lock(mutex_);
        collector_.push(bytes, count);
        OsdpReply reply;
        while (collector_.nextReply(&reply)) {
            sent_.push_back(SentReply{now, reply.address, reply.code,
                                      reply.code == kOsdpReplyRaw
                                          ? describeReply(kOsdpCommandPoll, reply)
                                          : std::string()});
        }
    }
    std::vector<SentReply> all() const {
        MutexLock lock(mutex_);
        return sent_;
    }

  private:
    mutable Mutex mutex_;
    ReplyCollector collector_ GUARDED_BY(mutex_);
    std::vector<SentReply> sent_ GUARDED_BY(mutex_);
};

struct Plate {
    std::string line;  // the card read it must become
    int reader = 0;    // OSDP address
    SteadyClock::time_point posted;
    std::vector<size_t> reads;  // indexes of its card lines in the panel log
};

double percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t rank = static_cast<size_t>(std::ceil(fraction * values.size()));
    return values[rank == 0 ? 0 : rank - 1];
}

// Why a plate came twice: the panel's log between the two reads.
std::string duplicateCause(const std::vector<PanelLine>& log, const Plate& plate, size_t first,
                           size_t second) {
    const std::string prefix = "reader " + std::to_string(plate.reader) + " ";
    for (size_t i = first + 1; i < second; ++i) {
        if (log[i].text == prefix + "offline")
            return "the panel went offline after reading it and started a new session before "
                   "any frame confirming the read reached the reader";
    }
    return "no new session in between (log lines " + std::to_string(first) + " to " +
           std::to_string(second) + ")";
}

bool parseNumber(const char* text, double min, double max, double* value) {
    char* end = nullptr;
    errno = 0;
    const double number = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(number >= min && number <= max))
        return false;
    *value = number;
    return true;
}

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        double value = 0;
        bool ok = i + 1 < argc;
        if (ok && arg == "--csv") {
            options->csvPath = argv[++i];
            continue;
        }
        if (arg == "--corrupt")
            ok = ok && parseNumber(argv[i + 1], 0, 20, &options->corruptPercent);
        else if (arg == "--plates" && (ok = ok && parseNumber(argv[i + 1], 1, 1e6, &value)))
            options->plates = static_cast<int>(value);
        else if (arg == "--period" && (ok = ok && parseNumber(argv[i + 1], 10, 60000, &value)))
            options->periodMs = static_cast<int>(value);
        else if (arg == "--seed" && (ok = ok && parseNumber(argv[i + 1], 0, 4294967295.0, &value)))
            options->seed = static_cast<uint32_t>(value);
        else if (arg == "--timeout" && (ok = ok && parseNumber(argv[i + 1], 1, 10000, &value)))
            options->timeoutMs = static_cast<int>(value);
        else if (arg == "--interval" && (ok = ok && parseNumber(argv[i + 1], 0, 10000, &value)))
            options->intervalMs = static_cast<int>(value);
        else
            ok = false;
        if (!ok) {
            fprintf(stderr,
                    "usage: kanzo_soak_bench [--corrupt PERCENT] [--plates N] [--period MS] "
                    "[--seed N] [--timeout MS] [--interval MS] [--csv FILE]\n");
            return false;
        }
        ++i;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options))
        return 2;
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Bit flips at the given rate; a fifth as many bytes lost, a twentieth
    // held back until the panel has given up on the reply they belong to.
    LineFaults faults;
    faults.seed = options.seed;
    faults.corrupt = options.corruptPercent / 100;
    faults.drop = faults.corrupt / 5;
    faults.delay = faults.corrupt / 20;
    faults.delayBy = std::chrono::milliseconds(options.timeoutMs + 100);

    std::vector<Plate> plates;
    std::vector<PanelLine> log;
    SentReplies sentReplies;
    LineFaultCounts counts;
    int failedPosts = 0;
    try {
        TempDir dir;
        FaultyLine line(faults, [&sentReplies](int direction, const uint8_t* bytes, size_t count) {
            if (direction == 0)
                sentReplies.take(bytes, count);
        });
        ChildProcess daemon(daemonOptions(dir, line.endA()));
        if (!daemon.waitForLine("Serial port add watch", deadlineIn(kPatience)))
            throw std::runtime_error("kanzo_zul did not start\n" + daemon.errorText());
        ChildProcess panel(
            ProcessOptions{{kControllerBinary, "--timeout", std::to_string(options.timeoutMs),
                            "--interval", std::to_string(options.intervalMs), line.endB()},
                           {},
                           {},
                           {}});
        PanelLog panelLog(panel);
        // Plates start once the panel has a session with both readers.
        const Deadline ready = deadlineIn(std::chrono::seconds(60));
        while (panelLog.count(" capabilities ") < 2 && SteadyClock::now() < ready)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));

        const auto start = SteadyClock::now();
        for (int i = 0; i < options.plates; ++i) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(options.periodMs) * i);
            const std::string text =
                "SOAK" + std::to_string(options.seed) + "N" + std::to_string(i);
            const int region = 1 + i % 2;
            Plate plate{cardLine(text, region), 9 + region, SteadyClock::now(), {}};
            if (!fastcgiRequest(dir.file("fcgi.sock"), "POST", std::string(kScript) + "?lpr",
                                plateEvent(text, region), deadlineIn(kPatience))) {
                ++failedPosts;
                if (!daemon.running())
                    throw std::runtime_error("kanzo_zul ended during the run\n" +
                                             daemon.errorText());
                continue;
            }
            plates.push_back(plate);
            if (i % 50 == 0)
                daemon.readOutput();
        }
        // The last plate of each reader has no newer one to give way to: wait
        // until both are read, through new sessions if need be.
        const Deadline drained = deadlineIn(std::chrono::seconds(180));
        for (size_t last = plates.size() - std::min<size_t>(2, plates.size());
             last < plates.size() && SteadyClock::now() < drained;) {
            if (panelLog.count(plates[last].line) > 0)
                ++last;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        panelLog.stop();
        log = panelLog.lines();
        panel.signal(SIGTERM);
        panel.waitExit(deadlineIn(kPatience));
        for (size_t i = log.size(); i < panel.lines().size(); ++i)
            log.push_back(PanelLine{SteadyClock::now(), panel.lines()[i]});
        counts = line.counts();
        if (!daemon.running())
            throw std::runtime_error("kanzo_zul ended during the run\n" + daemon.errorText());
    } catch (const std::exception& error) {
        fprintf(stderr, "soak_bench: %s\n", error.what());
        return 1;
    }

    std::map<std::string, size_t> byLine;
    for (size_t i = 0; i < plates.size(); ++i)
        byLine[plates[i].line] = i;
    int strayReads = 0;
    int sessions = 0;
    int cardReads = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        const std::string& text = log[i].text;
        if (text.find(" offline") != std::string::npos)
            ++sessions;
        if (text.find(" card ") == std::string::npos)
            continue;
        ++cardReads;
        const auto plate = byLine.find(text);
        if (plate == byLine.end()) {
            ++strayReads;
            printf("card read from no plate: %s\n", text.c_str());
        } else {
            plates[plate->second].reads.push_back(i);
        }
    }
    // A plate not read is superseded when a newer plate for its reader took
    // its place: while it waited for a poll, or, after the panel missed the
    // reply carrying it and started a new session, before a poll of that
    // session got through (the newer card wins). Any other is lost in
    // delivery: for instance a new session whose first poll was acknowledged
    // without the card.
    const std::vector<SentReply> sends = sentReplies.all();
    int lost = 0;
    int superseded = 0;
    int twice = 0;
    std::vector<double> latencies;
    for (const Plate& plate : plates) {
        if (plate.reads.empty()) {
            const std::string prefix = "reader " + std::to_string(plate.reader) + " ";
            auto lastSend = std::find_if(sends.rbegin(), sends.rend(),
                                         [&](const SentReply& r) { return r.line == plate.line; });
            auto offline = log.end();
            if (lastSend != sends.rend()) {
                offline = std::find_if(log.begin(), log.end(), [&](const PanelLine& l) {
                    return l.at > lastSend->at && l.text == prefix + "offline";
                });
            }
            // The first poll the daemon answered in the new session.
            auto firstPoll = std::find_if(sends.begin(), sends.end(), [&](const SentReply& r) {
                return offline != log.end() && r.at > offline->at && r.reader == plate.reader &&
                       (r.code == kOsdpReplyRaw || r.code == kOsdpReplyAck);
            });
            const bool newerWaiting =
                std::any_of(plates.begin(), plates.end(), [&](const Plate& q) {
                    return q.reader == plate.reader && q.posted > plate.posted;
                });
            std::string why;
            if (lastSend == sends.rend() && newerWaiting) {
                why = "superseded: the next plate for its reader came before a poll got through";
            } else if (firstPoll != sends.end() && firstPoll->code == kOsdpReplyRaw) {
                why =
                    "superseded: the panel missed the reply carrying it and started a new "
                    "session; the next plate for its reader came before a poll of that session "
                    "got through";
            }
            if (why.empty()) {
                ++lost;
                why = lastSend == sends.rend() ? "LOST: never sent" : "LOST: sent and never read";
                // What the panel and the daemon did meanwhile, for the record.
                auto since = [&](SteadyClock::time_point at) {
                    return Millis(at - plate.posted).count();
                };
                for (const PanelLine& l : log) {
                    if (l.text.rfind(prefix, 0) == 0 && since(l.at) > -500 && since(l.at) < 2000)
                        printf("  %+8.1f ms panel: %s\n", since(l.at), l.text.c_str());
                }
                for (const SentReply& r : sends) {
                    if (r.reader == plate.reader && since(r.at) > -500 && since(r.at) < 2000)
                        printf("  %+8.1f ms sent:  reply 0x%02X %s\n", since(r.at), r.code,
                               r.line.c_str());
                }
            } else {
                ++superseded;
            }
            printf("%s: %s\n", plate.line.c_str(), why.c_str());
            continue;
        }
        latencies.push_back(Millis(log[plate.reads[0]].at - plate.posted).count());
        for (size_t k = 1; k < plate.reads.size(); ++k) {
            ++twice;
            printf("read again: %s: %s\n", plate.line.c_str(),
                   duplicateCause(log, plate, plate.reads[k - 1], plate.reads[k]).c_str());
        }
    }

    const double median = percentile(latencies, 0.5);
    const double p99 = percentile(latencies, 0.99);
    const double max = percentile(latencies, 1.0);
    printf(
        "\nline: %.1f %% of bytes with a bit flipped, %.2f %% lost, %.2f %% held back %d ms; "
        "seed %u\n",
        options.corruptPercent, faults.drop * 100, faults.delay * 100,
        static_cast<int>(faults.delayBy.count()), options.seed);
    printf("faults to the reader: %ld of %ld bytes flipped, %ld lost, %ld held back\n",
           counts.corrupted[1], counts.bytes[1], counts.dropped[1], counts.delayed[1]);
    printf("faults to the panel:  %ld of %ld bytes flipped, %ld lost, %ld held back\n",
           counts.corrupted[0], counts.bytes[0], counts.dropped[0], counts.delayed[0]);
    printf("panel: reply time-out %d ms, %d ms between exchanges, offline after 3 misses\n\n",
           options.timeoutMs, options.intervalMs);
    printf("%-8s %7s %7s %5s %10s %6s %8s %10s %10s %10s\n", "corrupt", "plates", "reads", "lost",
           "superseded", "twice", "sessions", "median ms", "p99 ms", "max ms");
    printf("%6.1f %% %7zu %7d %5d %10d %6d %8d %10.1f %10.1f %10.1f\n", options.corruptPercent,
           plates.size(), cardReads, lost, superseded, twice, sessions, median, p99, max);
    if (!options.csvPath.empty()) {
        const bool fresh = !std::ifstream(options.csvPath).good();
        std::ofstream csv(options.csvPath, std::ios::app);
        if (fresh)
            csv << "corrupt_percent,seed,timeout_ms,plates,card_reads,lost,superseded,read_twice,"
                   "sessions_restarted,latency_median_ms,latency_p99_ms,latency_max_ms\n";
        csv << options.corruptPercent << "," << options.seed << "," << options.timeoutMs << ","
            << plates.size() << "," << cardReads << "," << lost << "," << superseded << "," << twice
            << "," << sessions << "," << median << "," << p99 << "," << max << "\n";
    }
    const bool clean = lost == 0 && strayReads == 0 && failedPosts == 0;
    if (!clean)
        printf("FAILED: %d plates lost in delivery, %d card reads from no plate, %d posts failed\n",
               lost, strayReads, failedPosts);
    return clean ? 0 : 1;
}
