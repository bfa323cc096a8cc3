// The journal: what became of each plate or card, from its arrival to the
// panel's answer on the reader. A fixed ring of the latest entries in memory,
// nothing written to flash: it starts empty at every start of the daemon.
// The web worker records arrivals, the main thread deliveries and the
// panel's feedback; the web worker reads it for the journal document.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "osdp/panel_feedback.h"
#include "osdp/protocol.h"
#include "util/mutex.h"

// Where a card came from.
enum class CardSource : uint8_t {
    plateEvent,    // a plate posted by the recognition application
    plateCommand,  // an installer's plate command (LPR_Reader1, LPR_Reader2)
    cardCommand,   // an installer's card command (CSN32LSB_Reader1, CSN32LSB_Reader2)
};
constexpr int kCardSourceCount = 3;

// What became of it so far; each step replaces the one before.
enum class CardFate : uint8_t {
    received,      // arrived, no word from the reader's queue yet
    queued,        // waiting for the reader's next poll
    dropped,       // never sent: see DropReason
    delivered,     // sent in the reply to a poll, not confirmed yet
    confirmed,     // the panel's next command showed that it got the reply
    offeredAgain,  // the panel started a new session unconfirmed: waits again
};

enum class DropReason : uint8_t {
    none,
    repeat,          // the same card to the same reader within the repeat window
    alreadyWaiting,  // the same card waits for the reader already
    expired,         // waited longer than the age limit
    queueFull,       // pushed out of a full queue by a newer card
};
constexpr int kDropReasonCount = 5;

struct JournalEntry {
    uint32_t id = 0;  // 1 for the first entry since start, then counting up
    CardSource source = CardSource::plateEvent;
    uint8_t reader = 0;  // reader index, 0 or 1
    CardFate fate = CardFate::received;
    DropReason dropReason = DropReason::none;
    bool secure = false;       // the delivering reply went through Secure Channel
    uint8_t offeredAgain = 0;  // times offered again after a new session
    uint8_t feedbackCount = 0;
    uint8_t feedbackLost = 0;  // records past the ones kept
    uint32_t card = 0;
    std::string plate;          // as it arrived, blanks removed; empty for a card
    int64_t arrivedWall = 0;    // microseconds since the epoch
    int64_t arrivedMono = 0;    // monotonic microseconds
    int64_t fateMono = 0;       // when the fate last changed
    int64_t deliveredMono = 0;  // the latest delivery; 0 before one
    static constexpr size_t kFeedbackKept = 6;
    std::array<FeedbackRecord, kFeedbackKept> feedback{};
};

// Totals since start, not bounded by the ring: what the metrics show.
struct JournalCounts {
    template <size_t N>
    using PerReader = std::array<std::array<uint64_t, N>, kReaderCount>;
    PerReader<kCardSourceCount> received{};
    PerReader<kDropReasonCount> dropped{};  // [none] unused
    std::array<uint64_t, kReaderCount> deliveredPlain{};
    std::array<uint64_t, kReaderCount> deliveredSecure{};
    std::array<uint64_t, kReaderCount> confirmed{};
    std::array<uint64_t, kReaderCount> offeredAgain{};
    // Feedback records per reader and FeedbackKind, attributed to a card or not.
    PerReader<kFeedbackKindCount> feedback{};
};

class Journal {
  public:
    // Entries kept: a busy gate sees a few hundred cars a day, so this holds
    // the last hours of a busy day, and 256 entries cost about 90 KB.
    static constexpr size_t kCapacity = 256;
    // The panel's feedback that comes within this time after a delivery is
    // the answer to that card. Panels answer within a second, or two when
    // they ask a host, and a panel polling many readers at 9600 baud may
    // take another second to come round; the permanent LED state that some
    // panels send every few seconds falls mostly outside.
    static constexpr int64_t kFeedbackWindowMicros = 5000000;

    using Micros = std::function<int64_t()>;
    // wall: microseconds since the epoch; monotonic: microseconds that only grow.
    Journal(Micros wall, Micros monotonic);
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // A card arrived for reader index 0 or 1; plate empty for a card number.
    // arrived: when its request began to arrive, on the monotonic clock
    // (none: now); the entry's time and ages count from there.
    void received(CardSource source, int reader, uint32_t card, const std::string& plate,
                  std::optional<int64_t> arrived = std::nullopt) EXCLUDES(mutex_);

    // What became of the card most lately received for the reader. Each is
    // recorded on the newest entry of that card to which it can happen:
    // queued and dropped on one just received, delivered on one waiting
    // (queued, offered again), confirmed and offeredAgain on one delivered.
    // A card no entry holds any more is only counted.
    void queued(int reader, uint32_t card) EXCLUDES(mutex_);
    void dropped(int reader, uint32_t card, DropReason reason) EXCLUDES(mutex_);
    void delivered(int reader, uint32_t card, bool secure) EXCLUDES(mutex_);
    void confirmed(int reader, uint32_t card) EXCLUDES(mutex_);
    void offeredAgain(int reader, uint32_t card) EXCLUDES(mutex_);

    // The data of an osdp_LED, osdp_BUZ or osdp_TEXT command to the reader.
    // Within kFeedbackWindowMicros of the reader's latest delivery it is
    // decoded onto that entry; otherwise it is only counted.
    void feedback(int reader, uint8_t command, const uint8_t* data, size_t length) EXCLUDES(mutex_);

    // Up to count entries, newest first.
    std::vector<JournalEntry> latest(size_t count) const EXCLUDES(mutex_);
    JournalCounts counts() const EXCLUDES(mutex_);
    // Now on the monotonic clock, for ages of the entries.
    int64_t monotonicNow() const { return monotonic_(); }

  private:
    // The newest entry of the reader's card whose fate is one of those given;
    // null when none. REQUIRES: mutex_ held.
    JournalEntry* find(int reader, uint32_t card, std::initializer_list<CardFate> fates)
        REQUIRES(mutex_);
    // Sets the fate of the found entry; false when there was none.
    bool settle(JournalEntry* entry, CardFate fate) REQUIRES(mutex_);

    const Micros wall_;
    const Micros monotonic_;
    mutable Mutex mutex_;
    std::array<JournalEntry, kCapacity> ring_ GUARDED_BY(mutex_);
    uint32_t nextId_ GUARDED_BY(mutex_) = 1;
    // Id of each reader's latest delivered entry, 0 when none.
    std::array<uint32_t, kReaderCount> lastDelivered_ GUARDED_BY(mutex_){};
    JournalCounts counts_ GUARDED_BY(mutex_);
};
