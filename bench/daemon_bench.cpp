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
#include "bench/daemon_bench.h"

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

namespace {

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
