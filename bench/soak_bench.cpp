// The daemon on a noisy line for a long while: does every fresh plate still
// become a card read at the panel, and no stale one? The built kanzo_zul and
// the osdp_controller tool (the panel) talk through a relay that flips bits,
// drops bytes and holds bytes back past the panel's reply time-out, while this
// program posts a plate event every period, to regions 1 and 2 in turn. The
// panel may be sent away for a while in the middle of the run.
//
//   kanzo_soak_bench [--corrupt PERCENT] [--plates N] [--period MS] [--seed N]
//                    [--timeout MS] [--interval MS] [--damage-rest MS]
//                    [--max-age S] [--away S] [--csv FILE]
//
// Prints one table row, every plate read more than once and every plate never
// read, each with the reason, and appends the row to FILE as CSV. A plate never
// read is either expired (the panel polled its reader at no time while the
// plate was younger than the daemon's maximum age) or lost. Exits 1 when a
// plate was lost, a card read came later than the maximum age allows or from
// no plate, or a post or the daemon failed.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/faulty_line.h"
#include "tests/harness/daemon_harness.h"
#include "tools/reply_text.h"
#include "util/mutex.h"

namespace {

using Millis = std::chrono::duration<double, std::milli>;

struct Options {
    double corruptPercent = 1;
    int plates = 1000;
    int periodMs = 200;
    uint32_t seed = 1;
    int timeoutMs = 50;
    int intervalMs = 10;
    int damageRestMs = 0;  // 0: the panel counts a damaged reply as a miss
    int maxAgeSeconds = 30;
    int awaySeconds = 0;  // the panel leaves after a quarter of the plates
    std::string csvPath;
};

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
            sent_.push_back(SentReply{
                now, reply.address, reply.code,
                reply.code == kReplyRaw ? describeReply(kCmdPoll, reply) : std::string()});
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

bool parseOptions(int argc, char** argv, Options* options) {
    return ::parseOptions(argc, argv,
                          {numberOption("--corrupt", 0, 20, &options->corruptPercent),
                           numberOption("--plates", 1, 1e6, &options->plates),
                           numberOption("--period", 10, 60000, &options->periodMs),
                           numberOption("--seed", 0, 4294967295.0, &options->seed),
                           numberOption("--timeout", 1, 10000, &options->timeoutMs),
                           numberOption("--interval", 0, 10000, &options->intervalMs),
                           numberOption("--damage-rest", 0, 60000, &options->damageRestMs),
                           numberOption("--max-age", 0, 86400, &options->maxAgeSeconds),
                           numberOption("--away", 0, 86400, &options->awaySeconds),
                           textOption("--csv", &options->csvPath)},
                          "kanzo_soak_bench [--corrupt PERCENT] [--plates N] [--period MS] "
                          "[--seed N] [--timeout MS] [--interval MS] [--damage-rest MS] "
                          "[--max-age S] [--away S] [--csv FILE]");
}

// Bit flips at the given rate; a fifth as many bytes lost, a twentieth held
// back until the panel has given up on the reply they belong to.
LineFaults lineFaults(const Options& options) {
    LineFaults faults;
    faults.seed = options.seed;
    faults.corrupt = options.corruptPercent / 100;
    faults.drop = faults.corrupt / 5;
    faults.delay = faults.corrupt / 20;
    faults.delayBy = std::chrono::milliseconds(options.timeoutMs + 100);
    return faults;
}

// What a run leaves to judge: the plates posted, the panel's log, the replies
// the daemon wrote and the faults the line dealt.
struct RunRecord {
    std::vector<Plate> plates;
    std::vector<PanelLine> log;
    std::vector<SentReply> sends;
    LineFaultCounts counts;
    int failedPosts = 0;
    std::string diagnostics;  // the daemon's diagnostics document at the end
};

void checkRunning(ChildProcess& daemon) {
    if (!daemon.running())
        throw std::runtime_error("kanzo_zul ended during the run\n" + daemon.errorText());
}

// Plates start once the panel has a session with both readers.
void waitForSessions(const PanelLog& panelLog) {
    const Deadline ready = deadlineIn(std::chrono::seconds(60));
    while (panelLog.count(" capabilities ") < 2 && SteadyClock::now() < ready)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// The panel: the controller tool on end B of the line, with its log. It can
// leave the line and come back as a new process, as after a reboot.
class Panel {
  public:
    Panel(const Options& options, const FaultyLine& line) : options_(options), line_(line) {
        start();
    }
    void start() {
        std::vector<std::string> args = {kControllerBinary,
                                         "--timeout",
                                         std::to_string(options_.timeoutMs),
                                         "--interval",
                                         std::to_string(options_.intervalMs),
                                         line_.endB()};
        if (options_.damageRestMs > 0)
            args.insert(args.end() - 1, {"--damage-rest", std::to_string(options_.damageRestMs)});
        process_ = std::make_unique<ChildProcess>(ProcessOptions{args, {}, {}, {}});
        log_ = std::make_unique<PanelLog>(*process_);
    }
    // Stops the panel; its log so far is kept.
    void stop() {
        log_->stop();
        std::vector<PanelLine> lines = log_->lines();
        process_->signal(SIGTERM);
        process_->waitExit(deadlineIn(kPatience));
        for (size_t i = lines.size(); i < process_->lines().size(); ++i)
            lines.push_back(PanelLine{SteadyClock::now(), process_->lines()[i]});
        earlier_.insert(earlier_.end(), lines.begin(), lines.end());
        log_.reset();
        process_.reset();
    }
    bool present() const { return process_ != nullptr; }
    const PanelLog& log() const { return *log_; }
    // The whole log, over every start. REQUIRES: stopped.
    const std::vector<PanelLine>& lines() const { return earlier_; }

  private:
    const Options& options_;
    const FaultyLine& line_;
    std::unique_ptr<ChildProcess> process_;
    std::unique_ptr<PanelLog> log_;
    std::vector<PanelLine> earlier_;
};

// One plate every period, to regions 1 and 2 in turn. With an absence, the
// panel leaves before a quarter of the plates are posted and comes back
// awaySeconds later, after the last plate if need be.
void postPlates(const Options& options, const TempDir& dir, ChildProcess& daemon, Panel& panel,
                RunRecord* record) {
    const auto start = SteadyClock::now();
    const int leaveAt = options.awaySeconds > 0 ? options.plates / 4 : -1;
    SteadyClock::time_point back{};
    for (int i = 0; i < options.plates; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(options.periodMs) * i);
        if (i == leaveAt) {
            panel.stop();
            back = SteadyClock::now() + std::chrono::seconds(options.awaySeconds);
        }
        if (!panel.present() && SteadyClock::now() >= back)
            panel.start();
        const std::string text = "SOAK" + std::to_string(options.seed) + "N" + std::to_string(i);
        const int region = 1 + i % 2;
        Plate plate{cardLine(text, region), 9 + region, SteadyClock::now(), {}};
        if (!fastcgiRequest(dir.file("fcgi.sock"), "POST", std::string(kScript) + "?lpr",
                            plateEvent(text, region), deadlineIn(kPatience))) {
            ++record->failedPosts;
            checkRunning(daemon);
            continue;
        }
        record->plates.push_back(plate);
        if (i % 50 == 0)
            daemon.readOutput();
    }
    if (!panel.present()) {
        std::this_thread::sleep_until(back);
        panel.start();
    }
}

// The last plate of each reader has no newer one behind it: waits until both
// are read, through new sessions if need be, or have grown too old to be sent.
void waitForLastReads(const PanelLog& panelLog, const std::vector<Plate>& plates,
                      int maxAgeSeconds) {
    const Deadline drained = deadlineIn(std::chrono::seconds(180));
    for (size_t last = plates.size() - std::min<size_t>(2, plates.size());
         last < plates.size() && SteadyClock::now() < drained;) {
        const bool stale =
            maxAgeSeconds > 0 &&
            SteadyClock::now() > plates[last].posted + std::chrono::seconds(maxAgeSeconds + 2);
        if (stale || panelLog.count(plates[last].line) > 0)
            ++last;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

// The daemon and the panel on the noisy line, plates posted meanwhile.
RunRecord runSoak(const Options& options, const LineFaults& faults) {
    RunRecord record;
    SentReplies sentReplies;
    TempDir dir;
    FaultyLine line(faults, [&sentReplies](int direction, const uint8_t* bytes, size_t count) {
        if (direction == 0)
            sentReplies.take(bytes, count);
    });
    ProcessOptions daemonSetup = daemonOptions(dir, line.endA());
    daemonSetup.env["ZUL_CARD_MAX_AGE"] = std::to_string(options.maxAgeSeconds);
    ChildProcess daemon(daemonSetup);
    if (!daemon.waitForLine("Serial port add watch", deadlineIn(kPatience)))
        throw std::runtime_error("kanzo_zul did not start\n" + daemon.errorText());
    Panel panel(options, line);
    waitForSessions(panel.log());
    postPlates(options, dir, daemon, panel, &record);
    waitForLastReads(panel.log(), record.plates, options.maxAgeSeconds);
    panel.stop();
    record.log = panel.lines();
    record.counts = line.counts();
    record.sends = sentReplies.all();
    record.diagnostics =
        fastcgiRequest(dir.file("fcgi.sock"), "GET", std::string(kScript) + "?getDiagnosticsXML",
                       "", deadlineIn(kPatience))
            .value_or("");
    checkRunning(daemon);
    return record;
}

// The run's figures.
struct Tally {
    int cardReads = 0;
    int strayReads = 0;
    int sessions = 0;
    int lost = 0;
    int expired = 0;
    int stale = 0;  // read later than the maximum age allows
    int twice = 0;
    std::vector<double> latencies;
};

// Hands each card read in the panel's log to its plate; counts new sessions
// and reads that came from no plate.
void matchReads(RunRecord* record, Tally* tally) {
    std::map<std::string, size_t> byLine;
    for (size_t i = 0; i < record->plates.size(); ++i)
        byLine[record->plates[i].line] = i;
    for (size_t i = 0; i < record->log.size(); ++i) {
        const std::string& text = record->log[i].text;
        if (text.find(" offline") != std::string::npos)
            ++tally->sessions;
        if (text.find(" card ") == std::string::npos)
            continue;
        ++tally->cardReads;
        const auto plate = byLine.find(text);
        if (plate == byLine.end()) {
            ++tally->strayReads;
            printf("card read from no plate: %s\n", text.c_str());
        } else {
            record->plates[plate->second].reads.push_back(i);
        }
    }
}

// A plate not read expired when the daemon answered no poll of its reader
// while the plate was younger than the maximum age (less a second, for the
// poll the daemon answered as it turned stale). Returns why, or nothing when
// it is lost.
std::optional<std::string> expiredBecause(const RunRecord& record, const Plate& plate,
                                          int maxAgeSeconds) {
    if (maxAgeSeconds == 0)
        return std::nullopt;
    const auto freshUntil = plate.posted + std::chrono::seconds(maxAgeSeconds - 1);
    const bool polled =
        std::any_of(record.sends.begin(), record.sends.end(), [&](const SentReply& r) {
            return r.reader == plate.reader && r.at > plate.posted && r.at <= freshUntil &&
                   (r.code == kReplyRaw || r.code == kReplyAck);
        });
    if (polled)
        return std::nullopt;
    return "no poll of its reader got an answer while it was fresh";
}

// What the panel and the daemon did around a lost plate, for the record.
void printSurroundings(const RunRecord& record, const Plate& plate) {
    const std::string prefix = "reader " + std::to_string(plate.reader) + " ";
    auto since = [&](SteadyClock::time_point at) { return Millis(at - plate.posted).count(); };
    for (const PanelLine& l : record.log) {
        if (l.text.rfind(prefix, 0) == 0 && since(l.at) > -500 && since(l.at) < 2000)
            printf("  %+8.1f ms panel: %s\n", since(l.at), l.text.c_str());
    }
    for (const SentReply& r : record.sends) {
        if (r.reader == plate.reader && since(r.at) > -500 && since(r.at) < 2000)
            printf("  %+8.1f ms sent:  reply 0x%02X %s\n", since(r.at), r.code, r.line.c_str());
    }
}

void judgeUnread(const RunRecord& record, const Plate& plate, int maxAgeSeconds, Tally* tally) {
    if (const auto why = expiredBecause(record, plate, maxAgeSeconds)) {
        ++tally->expired;
        printf("%s: expired: %s\n", plate.line.c_str(), why->c_str());
        return;
    }
    ++tally->lost;
    const bool sent = std::any_of(record.sends.begin(), record.sends.end(),
                                  [&](const SentReply& r) { return r.line == plate.line; });
    printSurroundings(record, plate);
    printf("%s: %s\n", plate.line.c_str(), sent ? "LOST: sent and never read" : "LOST: never sent");
}

// A read reaches the panel a moment after the daemon sent it; this much later
// than the maximum age after posting it counts as a stale read.
constexpr std::chrono::seconds kStaleMargin(1);

Tally judge(RunRecord* record, int maxAgeSeconds) {
    Tally tally;
    matchReads(record, &tally);
    for (const Plate& plate : record->plates) {
        if (plate.reads.empty()) {
            judgeUnread(*record, plate, maxAgeSeconds, &tally);
            continue;
        }
        tally.latencies.push_back(Millis(record->log[plate.reads[0]].at - plate.posted).count());
        for (size_t read : plate.reads) {
            const auto age = record->log[read].at - plate.posted;
            if (maxAgeSeconds > 0 && age > std::chrono::seconds(maxAgeSeconds) + kStaleMargin) {
                ++tally.stale;
                printf("STALE: %s read %.1f s after it was posted\n", plate.line.c_str(),
                       Millis(age).count() / 1000);
            }
        }
        for (size_t k = 1; k < plate.reads.size(); ++k) {
            ++tally.twice;
            printf("read again: %s: %s\n", plate.line.c_str(),
                   duplicateCause(record->log, plate, plate.reads[k - 1], plate.reads[k]).c_str());
        }
    }
    return tally;
}

void printResult(const Options& options, const LineFaults& faults, const RunRecord& record,
                 const Tally& tally, const Summary& latency) {
    const LineFaultCounts& counts = record.counts;
    printf(
        "\nline: %.1f %% of bytes with a bit flipped, %.2f %% lost, %.2f %% held back %d ms; "
        "seed %u\n",
        options.corruptPercent, faults.drop * 100, faults.delay * 100,
        static_cast<int>(faults.delayBy.count()), options.seed);
    printf("faults to the reader: %ld of %ld bytes flipped, %ld lost, %ld held back\n",
           counts.corrupted[1], counts.bytes[1], counts.dropped[1], counts.delayed[1]);
    printf("faults to the panel:  %ld of %ld bytes flipped, %ld lost, %ld held back\n",
           counts.corrupted[0], counts.bytes[0], counts.dropped[0], counts.delayed[0]);
    printf("panel: reply time-out %d ms, %d ms between exchanges, offline after 3 misses",
           options.timeoutMs, options.intervalMs);
    if (options.damageRestMs > 0)
        printf(" or one damaged reply (then %d ms of rest)", options.damageRestMs);
    if (options.awaySeconds > 0)
        printf("; away for %d s", options.awaySeconds);
    printf("\ndaemon: cards older than %d s are not sent (0: no limit)\n", options.maxAgeSeconds);
    // The daemon's own account of the cards, from its diagnostics document.
    auto element = [&](const std::string& name) {
        const std::string& doc = record.diagnostics;
        const size_t start = doc.find("<" + name + ">");
        const size_t end = doc.find("</" + name + ">");
        return start == std::string::npos || end == std::string::npos
                   ? std::string("?")
                   : doc.substr(start + name.size() + 2, end - start - name.size() - 2);
    };
    for (const char* n : {"1", "2"}) {
        printf("daemon, reader %s: %s delivered, %s too old, %s pushed out of a full queue\n", n,
               element(std::string("cardsDelivered") + n).c_str(),
               element(std::string("cardsExpired") + n).c_str(),
               element(std::string("cardsDropped") + n).c_str());
    }
    printf("\n");
    printf("%-8s %7s %7s %5s %7s %5s %6s %8s %10s %10s %10s\n", "corrupt", "plates", "reads",
           "lost", "expired", "stale", "twice", "sessions", "median ms", "p99 ms", "max ms");
    printf("%6.1f %% %7zu %7d %5d %7d %5d %6d %8d %10.1f %10.1f %10.1f\n", options.corruptPercent,
           record.plates.size(), tally.cardReads, tally.lost, tally.expired, tally.stale,
           tally.twice, tally.sessions, latency.median, latency.p99, latency.max);
}

void appendCsv(const Options& options, const RunRecord& record, const Tally& tally,
               const Summary& latency) {
    const bool fresh = !std::ifstream(options.csvPath).good();
    std::ofstream csv(options.csvPath, std::ios::app);
    if (fresh)
        csv << "corrupt_percent,seed,timeout_ms,damage_rest_ms,max_age_s,away_s,plates,"
               "card_reads,lost,expired,stale,read_twice,sessions_restarted,latency_median_ms,"
               "latency_p99_ms,latency_max_ms\n";
    csv << options.corruptPercent << "," << options.seed << "," << options.timeoutMs << ","
        << options.damageRestMs << "," << options.maxAgeSeconds << "," << options.awaySeconds << ","
        << record.plates.size() << "," << tally.cardReads << "," << tally.lost << ","
        << tally.expired << "," << tally.stale << "," << tally.twice << "," << tally.sessions << ","
        << latency.median << "," << latency.p99 << "," << latency.max << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options))
        return 2;
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const LineFaults faults = lineFaults(options);
    RunRecord record;
    try {
        record = runSoak(options, faults);
    } catch (const std::exception& error) {
        fprintf(stderr, "soak_bench: %s\n", error.what());
        return 1;
    }
    const Tally tally = judge(&record, options.maxAgeSeconds);
    const Summary latency = summarize(tally.latencies);
    printResult(options, faults, record, tally, latency);
    if (!options.csvPath.empty())
        appendCsv(options, record, tally, latency);
    const bool clean =
        tally.lost == 0 && tally.stale == 0 && tally.strayReads == 0 && record.failedPosts == 0;
    if (!clean)
        printf(
            "FAILED: %d plates lost, %d stale reads, %d card reads from no plate, %d posts "
            "failed\n",
            tally.lost, tally.stale, tally.strayReads, record.failedPosts);
    return clean ? 0 : 1;
}
