// What one virtual reader has for the panel's polls: the cards waiting, oldest
// first, and a status report; what the last reply to a poll carried, until
// the panel confirms it; the window in which the same card offered again is
// dropped, and the age past which a waiting card is no longer sent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "osdp/clock.h"
#include "osdp/journal.h"

// What a poll of the reader is answered with.
struct PollItem {
    enum class Kind { nothing, card, status };
    Kind kind = Kind::nothing;
    uint32_t card = 0;  // of Kind::card
};

// What happened to a card on its way to the panel. Each outcome has one place
// in CardQueue (record), where it is counted and logged.
enum class CardEvent {
    queued,          // offered and waiting for a poll
    repeat,          // dropped: offered again within the repeat window
    alreadyWaiting,  // dropped: the same card waits already
    queueFull,       // dropped: the oldest waiting card, to make room
    expired,         // dropped: older than the maximum age when its turn came
    sent,            // carried by the reply to a poll
    confirmed,       // the panel's next frame showed that it got that reply
    offeredAgain,    // back at the front: a new session, the reply unconfirmed
};

// Cards waiting per reader. A lane passes at most one car every 2 seconds or
// so (the barrier opens and closes for each), so within the default maximum
// age of 30 s no more than 15 fresh cards can wait; 16 keeps all of them, and
// a full queue only ever drops a card that is stale or a flood's.
constexpr size_t kCardQueueSize = 16;

// Default maximum age of a waiting card: a car that came longer ago than this
// is not at the gate any more.
constexpr int64_t kDefaultCardMaxAgeMicros = 30000000;

// The same card offered again within this time of its previous offer is the
// same car seen again, and dropped.
constexpr int64_t kRepeatWindowMicros = 3000000;

// The maximum age setting (ZUL_CARD_MAX_AGE): whole seconds, 0 (no limit) to
// 86400. False, *micros untouched, for anything else.
bool parseCardMaxAge(const std::string& text, int64_t* micros);

// The cards of one reader: waiting now, and what became of them since start.
struct CardDiagnostics {
    uint32_t waiting = 0;
    int64_t oldestMs = -1;  // age of the oldest waiting card; -1: none waits
    uint32_t delivered = 0;
    uint32_t expired = 0;  // too old when their turn came
    uint32_t dropped = 0;  // pushed out of a full queue
};

// Not locked itself: its reader holds the lock shared with the web worker.
class CardQueue {
  public:
    // The reader's index (0 or 1) for the journal and the log lines, the wall
    // clock for their time, the monotonic clock (microseconds) that ages
    // waiting cards, and the journal that each outcome goes to.
    // REQUIRES: the clocks and the journal outlive the queue.
    CardQueue(int reader, const WallClock& wall, const MonotonicClock& monotonic, Journal& journal);

    // Offers a card now. It is dropped when it is the same card again within
    // kRepeatWindowMicros of the previous offer (every offer restarts the
    // window) or a card that waits already. A card 0 becomes the last card but
    // never waits. A card that finds the queue full pushes the oldest out. Its
    // age counts from arrived (monotonic; none: now).
    void offer(uint32_t card, std::optional<int64_t> arrived = std::nullopt);

    // A status report waits for the next poll that finds no card waiting.
    void reportStatus() { statusWaiting_ = true; }

    // Takes what the poll with this sequence number is answered with, one item
    // per poll: the oldest waiting card first (cards older than the maximum
    // age are dropped on the way), then a status report. What it takes counts
    // as sent, in a reply sealed for Secure Channel when secure, and
    // unconfirmed until settle confirms it.
    PollItem takeNext(uint8_t sequence, bool secure);

    // For each new frame of the panel's to the reader, before it is answered:
    // what the last reply to a poll carried counts as delivered once the panel
    // sends a sequence number other than that poll's and other than 0. A frame
    // with sequence 0 starts a new session, and the panel may have missed that
    // reply: a card goes back to the front of the queue, a status report waits
    // again. The same sequence number with other bytes confirms nothing.
    void settle(uint8_t sequence);

    void setMaxAge(int64_t micros) { maxAge_ = micros; }  // 0: no limit
    uint32_t lastCard() const { return lastCard_; }
    size_t waiting() const { return waitingCount_; }
    CardDiagnostics diagnostics() const;

  private:
    struct WaitingCard {
        uint32_t card = 0;  // 0: none
        int64_t since = 0;  // offered at, monotonic microseconds
        bool sentBefore = false;
    };

    void record(CardEvent event, const WaitingCard& card, bool secure = false);
    void journalEvent(CardEvent event, uint32_t card, bool secure);
    bool isWaiting(uint32_t card) const;
    void pushBack(const WaitingCard& card);
    void pushFront(const WaitingCard& card);
    WaitingCard popFront();

    const int reader_;
    const WallClock& wall_;
    const MonotonicClock& monotonic_;
    Journal& journal_;

    uint32_t lastCard_ = 0;  // the latest card offered
    int64_t lastOffer_ = 0;  // of the latest offer, monotonic
    int64_t maxAge_ = kDefaultCardMaxAgeMicros;
    bool statusWaiting_ = false;

    // The queue, oldest first: a small ring, so a poll never allocates.
    std::array<WaitingCard, kCardQueueSize> waiting_{};
    size_t first_ = 0;
    size_t waitingCount_ = 0;

    // What the last reply to a poll carried, and that poll's sequence number.
    WaitingCard unackedCard_;
    bool unackedStatus_ = false;
    uint8_t carriedSequence_ = 0;

    // Since start: cards sent to the panel (a card sent again after a new
    // session counts once), dropped as too old, dropped from a full queue.
    uint32_t cardsDelivered_ = 0;
    uint32_t cardsExpired_ = 0;
    uint32_t cardsDropped_ = 0;
};
