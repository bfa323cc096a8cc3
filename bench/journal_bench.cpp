// Cost of recording in the journal, per event. The main thread records a
// delivery, its confirmation and the panel's feedback between two bytes of
// the line, so each must stay within a few microseconds.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "osdp/journal.h"

namespace {

int64_t fakeNow = 0;
int64_t fakeClock() {
    return fakeNow += 1000;
}

// A plate arrives (web worker): the entry with its plate text.
void BM_JournalReceived(benchmark::State& state) {
    Journal journal(fakeClock, fakeClock);
    uint32_t card = 0;
    for (auto _ : state)
        journal.received(CardSource::plateEvent, 0, ++card, "AB123CD");
}
BENCHMARK(BM_JournalReceived);

// The whole road of one card in a full ring: received, queued, delivered,
// confirmed, then the panel's LED and buzzer decoded onto it. Six events;
// the counter gives the time per event.
void BM_JournalCardWithFeedback(benchmark::State& state) {
    Journal journal(fakeClock, fakeClock);
    const uint8_t led[] = {0, 0, 2, 30, 0, 2, 0, 30, 0, 0, 0, 0, 0, 0};
    const uint8_t buzzer[] = {0, 2, 2, 1, 1};
    uint32_t card = 0;
    for (auto _ : state) {
        journal.received(CardSource::plateEvent, 0, ++card, "AB123CD");
        journal.queued(0, card);
        journal.delivered(0, card, false);
        journal.confirmed(0, card);
        journal.feedback(0, kCmdLed, led, sizeof led);
        journal.feedback(0, kCmdBuzzer, buzzer, sizeof buzzer);
    }
    state.counters["per_event"] = benchmark::Counter(
        6, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_JournalCardWithFeedback);

// The worst case: a card no entry holds, so the event searches the whole ring.
void BM_JournalEventForACardNotHeld(benchmark::State& state) {
    Journal journal(fakeClock, fakeClock);
    for (uint32_t card = 1; card <= Journal::kCapacity; ++card)
        journal.received(CardSource::plateEvent, 1, 0x10000 + card, "AB123CD");
    for (auto _ : state)
        journal.confirmed(0, 1);
}
BENCHMARK(BM_JournalEventForACardNotHeld);

}  // namespace
