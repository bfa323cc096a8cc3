// The web throughput table: requests per second and their times, while the
// serial side is polled at line rate.
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/daemon_bench.h"

namespace {

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

}  // namespace

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
