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

// The ring full of other cards, as after a busy day.
void fill(Journal& journal) {
    for (uint32_t card = 1; card <= Journal::kCapacity; ++card)
        journal.received(CardSource::plateEvent, 1, 0x10000 + card, "AB123CD");
}

// A plate arrives (web worker): the entry with its plate text.
void BM_JournalReceived(benchmark::State& state) {
    Journal journal(fakeClock, fakeClock);
    uint32_t card = 0;
    for (auto _ : state)
        journal.received(CardSource::plateEvent, 0, ++card, "AB123CD");
}
BENCHMARK(BM_JournalReceived);

// A card queued, delivered and confirmed: three events, each finding the
// newest entry of the card.
void BM_JournalDeliveryOfTheNewestCard(benchmark::State& state) {
    Journal journal(fakeClock, fakeClock);
    fill(journal);
    uint32_t card = 0;
    for (auto _ : state) {
        state.PauseTiming();
        journal.received(CardSource::plateEvent, 0, ++card, "AB123CD");
        state.ResumeTiming();
        journal.queued(0, card);
        journal.delivered(0, card, false);
        journal.confirmed(0, card);
    }
    state.counters["events"] = benchmark::Counter(3, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_JournalDeliveryOfTheNewestCard);

// The worst case: a card no entry holds, so each event searches the whole ring.
void BM_JournalEventForACardNotHeld(benchmark::State& state) {
    Journal journal(fakeClock, fakeClock);
    fill(journal);
    for (auto _ : state)
        journal.confirmed(0, 1);
}
BENCHMARK(BM_JournalEventForACardNotHeld);

// An osdp_LED record decoded onto the card just delivered.
void BM_JournalLedFeedback(benchmark::State& state) {
    Journal journal(fakeClock, fakeClock);
    const uint8_t led[] = {0, 0, 2, 30, 0, 2, 0, 30, 0, 0, 0, 0, 0, 0};
    uint32_t card = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fakeNow = 0;
        journal.received(CardSource::plateEvent, 0, ++card, "AB123CD");
        journal.delivered(0, card, false);
        state.ResumeTiming();
        journal.feedback(0, kCmdLed, led, sizeof led);
    }
}
BENCHMARK(BM_JournalLedFeedback);

}  // namespace
