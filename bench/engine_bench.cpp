// Cost of answering the controller: one byte at a time through the receiver,
// as the serial link feeds it, up to the reply. At 9600 baud a byte arrives
// about every millisecond, and the reply must leave at once.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "osdp/osdp_peripheral.h"
#include "osdp/system_cipher.h"
#include "tools/controller_secure_channel.h"
#include "util/log.h"

namespace {

std::atomic<long> allocations{0};

std::vector<uint8_t> poll(uint8_t address, uint8_t sequence) {
    return buildCommandFrame(address, sequence, kCmdPoll);
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

// Secure Channel on reader 1: polls recorded once from a session with pinned
// random bytes, so that a fresh reader with the same randoms accepts them
// again in order. With cards, each poll collects a card given just before,
// and the reply is encrypted; without, poll and acknowledgement carry a MAC.
struct SecureRun {
    std::vector<std::vector<uint8_t>> handshake;
    std::vector<std::vector<uint8_t>> polls;
};

const AesKey kBenchKey = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

ScCipher pinnedCipher() {
    ScCipher cipher = systemCipher();
    cipher.random = [](uint8_t* out, size_t count) {
        for (size_t i = 0; i < count; ++i)
            out[i] = static_cast<uint8_t>(0xA0 + i);
        return true;
    };
    return cipher;
}

std::unique_ptr<OsdpPeripheral> secureReader(const ScCipher& cipher) {
    auto osdp = std::make_unique<OsdpPeripheral>(systemWallTime, monotonicMicros, cipher);
    osdp->setSecurity(0, ScMode::secure, &kBenchKey, nullptr);
    return osdp;
}

OsdpReply feedFrame(OsdpPeripheral& osdp, const std::vector<uint8_t>& frame) {
    for (uint8_t b : frame)
        osdp.receiveByte(b);
    ReplyCollector collector;
    collector.push(osdp.replyBuf.data(), osdp.replyLen);
    OsdpReply reply;
    collector.nextReply(&reply);
    return reply;
}

SecureRun recordSecureRun(bool cards, size_t count) {
    const ScCipher cipher = pinnedCipher();
    std::unique_ptr<OsdpPeripheral> osdp = secureReader(cipher);
    ControllerSecureChannel panel(cipher);
    SecureRun run;
    run.handshake.push_back(panel.challenge(0x0A, 0, kBenchKey, kKeyBase));
    panel.acceptClientCryptogram(feedFrame(*osdp, run.handshake.back()));
    run.handshake.push_back(panel.confirm(0x0A, 1));
    panel.acceptInitialRmac(feedFrame(*osdp, run.handshake.back()));
    uint32_t card = 1;
    for (size_t i = 0; i < count; ++i) {
        if (cards)
            osdp->injectCard(0, card++);
        run.polls.push_back(panel.seal(0x0A, static_cast<uint8_t>(i % 3 + 1), 0x60));
        uint8_t code = 0;
        std::vector<uint8_t> data;
        panel.open(feedFrame(*osdp, run.polls.back()), &code, &data);
    }
    return run;
}

void secureRoundTrip(benchmark::State& state, bool cards) {
    // Level 0: the session start line of each refill would only add noise.
    DebugLevel = 0;
    const SecureRun run = recordSecureRun(cards, 4096);
    const ScCipher cipher = pinnedCipher();
    std::unique_ptr<OsdpPeripheral> osdp;
    size_t next = run.polls.size();
    uint32_t card = 1;
    long answered = 0;
    long refillAllocations = 0;
    const long before = allocations.load();
    for (auto _ : state) {
        if (next == run.polls.size()) {
            state.PauseTiming();
            const long refill = allocations.load();
            osdp = secureReader(cipher);
            for (const std::vector<uint8_t>& frame : run.handshake)
                feedFrame(*osdp, frame);
            next = 0;
            card = 1;
            refillAllocations += allocations.load() - refill;
            state.ResumeTiming();
        }
        if (cards)
            osdp->injectCard(0, card++);
        for (uint8_t b : run.polls[next])
            answered += osdp->receiveByte(b);
        ++next;
    }
    state.counters["allocs/frame"] =
        benchmark::Counter(static_cast<double>(allocations.load() - before - refillAllocations) /
                           static_cast<double>(state.iterations()));
    // Every frame must have been taken, or the figures would be those of refusals.
    if (osdp->replyBuf[5] != 0x02 || osdp->replyBuf[6] != (cards ? 0x18 : 0x16))
        state.SkipWithError("the reader refused the recorded session");
    benchmark::DoNotOptimize(answered);
}

void BM_SecurePollRoundTrip(benchmark::State& state) {
    secureRoundTrip(state, false);
}
BENCHMARK(BM_SecurePollRoundTrip);

void BM_SecureCardReply(benchmark::State& state) {
    secureRoundTrip(state, true);
}
BENCHMARK(BM_SecureCardReply);

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
