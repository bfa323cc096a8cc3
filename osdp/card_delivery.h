// Card and status delivery of one virtual reader: the cards waiting for the
// panel's polls, what the last reply to a poll carried and whether the panel
// has confirmed it, the window in which the same card offered again is
// dropped, and the age past which a waiting card is no longer sent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
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
// in ReaderSlot (record), where it is counted and logged.
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

// The maximum age setting (ZUL_CARD_MAX_AGE): whole seconds, 0 (no limit) to
// 86400. False, *micros untouched, for anything else.
bool parseCardMaxAge(const std::string& text, int64_t* micros);

// Not locked itself: its owner holds the lock shared with the web worker.
class ReaderSlot {
  public:
    using Clock = std::function<WallTime()>;
    using MonotonicClock = std::function<int64_t()>;

    // The reader's number (1 or 2) for log lines, the wall clock for their
    // time, the monotonic clock (microseconds) that ages waiting cards, and
    // the journal that each outcome goes to (none when null).
    void attach(int number, Clock clock, MonotonicClock monotonic, Journal* journal = nullptr);

    // Offers a card at now (wall clock). It is dropped when it is the same
    // card again within repeatInterval of the previous offer (every offer
    // restarts the window) or a card that waits already. A card 0 becomes the
    // last card but never waits. A card that finds the queue full pushes the
    // oldest out. Its age counts from arrived (monotonic; none: now).
    void injectCard(uint32_t card, const WallTime& now,
                    std::optional<int64_t> arrived = std::nullopt);

    // Sets the tamper state and asks for a status report on the next poll.
    void setTamper(bool tampered);

    // Takes what the next poll is answered with, one item per poll: the oldest
    // waiting card first (cards older than maxAge are dropped on the way),
    // then a status report. What it takes counts as sent and unconfirmed
    // until settle confirms it.
    PollItem nextForPoll();

    // For each new frame to the reader before it is answered, with its
    // sequence number and that of the frame before: confirms or offers again
    // what the last reply to a poll carried.
    void settle(int sequence, int previousSequence);

    // Cards waiting now, and the age of the oldest in milliseconds (-1: none).
    size_t cardsWaiting() const { return waitingCount_; }
    int64_t oldestCardMs() const;

    uint32_t lastCard = 0;  // the latest card offered
    WallTime lastAttempt;   // of the latest offer
    int64_t repeatInterval = 3000000;
    int64_t maxAge = kDefaultCardMaxAgeMicros;  // microseconds; 0: no limit
    std::string lastLpr;  // plate text of the latest plate event for the reader
    bool secure = false;  // replies go through Secure Channel, as the journal tells
    uint8_t tamper = 0;
    uint8_t power = 0;
    uint8_t statusChanged = 0;  // a status report waits for the next poll

    // Since start: cards sent to the panel (a card sent again after a new
    // session counts once), dropped as too old, dropped from a full queue.
    uint32_t cardsDelivered = 0;
    uint32_t cardsExpired = 0;
    uint32_t cardsDropped = 0;

  private:
    struct WaitingCard {
        uint32_t card = 0;  // 0: none
        int64_t since = 0;  // offered at, monotonic microseconds
        bool sentBefore = false;
    };

    void record(CardEvent event, const WaitingCard& card);
    void journalEvent(CardEvent event, uint32_t card);
    bool isWaiting(uint32_t card) const;
    void pushBack(const WaitingCard& card);
    void pushFront(const WaitingCard& card);
    WaitingCard popFront();

    int number_ = 0;
    Journal* journal_ = nullptr;
    Clock clock_ = systemWallTime;
    MonotonicClock monotonic_ = monotonicMicros;
    // The queue, oldest first: a small ring, so a poll never allocates.
    std::array<WaitingCard, kCardQueueSize> waiting_{};
    size_t first_ = 0;
    size_t waitingCount_ = 0;

    // What the last reply to a poll took from the reader (a card, a status
    // report) counts as delivered only once the controller's next frame
    // carries a different, non-zero sequence number. A frame with sequence 0
    // starts a new session, and the controller may have missed that reply.
    WaitingCard unackedCard_;
    bool unackedStatus_ = false;
};
