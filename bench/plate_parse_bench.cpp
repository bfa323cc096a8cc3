// A plate event as the camera posts it with its snapshot: a 1 MiB body whose
// image member comes before the plate, parsed and delivered by PlateIntake.
// Time per event, and the resident memory the first event of the process adds
// at its peak (later ones reuse what the allocator kept).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "web/plate_intake.h"

namespace {

// Peak resident memory of this process in KiB (VmHWM).
long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// Sets the peak back to what is resident now.
void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

std::string eventOfSize(size_t size) {
    const std::string head = R"({"camera":{"id":"ACCC8E0A1B2C"},"image":"data:image/jpeg;base64,)";
    const std::string tail = R"(","plateUTF8":"AB 123 CD","roiID":"2"})";
    std::string body = head;
    while (body.size() < size - tail.size())
        body += "/9j/4AAQSkZJRgABAQAAAQABAAD";
    body.resize(size - tail.size());
    return body + tail;
}

void BM_PlateEvent(benchmark::State& state) {
    const std::string body = eventOfSize(static_cast<size_t>(state.range(0)));
    OsdpPeripheral osdp;
    PlateIntake intake(osdp);
    for (auto _ : state) {
        benchmark::DoNotOptimize(intake.take(body));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_PlateEvent)->Arg(200)->Arg(kBodyLimit)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    {
        const std::string body = eventOfSize(kBodyLimit);
        OsdpPeripheral osdp;
        PlateIntake intake(osdp);
        resetPeak();
        const long before = peakResidentKiB();
        intake.take(body);
        printf("First 1 MiB plate event: peak resident memory +%ld KiB\n",
               peakResidentKiB() - before);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
