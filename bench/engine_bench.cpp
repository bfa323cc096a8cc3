// Cost of answering the controller: one byte at a time through the receiver,
// as the serial link feeds it, up to the reply. At 9600 baud a byte arrives
// about every millisecond, and the reply must leave at once.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "app/log.h"
#include "osdp/check_codes.h"
#include "osdp/osdp_peripheral.h"

namespace {

std::atomic<long> allocations{0};

std::vector<uint8_t> poll(uint8_t address, uint8_t sequence) {
    std::vector<uint8_t> frame = {0x53, address, 0x08, 0x00, static_cast<uint8_t>(0x04 | sequence),
                                  0x60};
    const uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

// A poll of each reader in turn, sequence numbers running 1, 2, 3; every other
// poll of reader 2 collects a card given just before. The counter shows the
// heap allocations per frame, which the line's path is meant to be free of.
void BM_PollRoundTrip(benchmark::State& state) {
    DebugLevel = 1;
    OsdpPeripheral osdp;
    std::vector<std::vector<uint8_t>> frames;
    for (uint8_t sequence = 1; sequence <= 3; ++sequence) {
        frames.push_back(poll(0x0A, sequence));
        frames.push_back(poll(0x0B, sequence));
    }
    size_t next = 0;
    uint32_t card = 1;
    long answered = 0;
    const long before = allocations.load();
    for (auto _ : state) {
        if (next % 4 == 1)
            osdp.injectCard(1, card++);
        for (uint8_t b : frames[next])
            answered += osdp.receiveByte(b);
        next = (next + 1) % frames.size();
    }
    state.counters["allocs/frame"] = benchmark::Counter(
        static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations()));
    benchmark::DoNotOptimize(answered);
}
BENCHMARK(BM_PollRoundTrip);

}  // namespace

// Counts heap allocations for the benchmark above. gcc takes the free() in
// these replacements for a mismatch with new; here they are the pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

BENCHMARK_MAIN();
