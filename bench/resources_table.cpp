// The resources table: memory, CPU time and wake-ups of the daemon over a
// run with a panel polling and a plate event every second.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/daemon_bench.h"

namespace {

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

}  // namespace

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
