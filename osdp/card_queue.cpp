#include "osdp/card_queue.h"

#include <algorithm>

#include "util/log.h"

bool parseCardMaxAge(const std::string& text, int64_t* micros) {
    constexpr int64_t kMaxSeconds = 86400;
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    const int64_t seconds = std::stoll(text);
    if (seconds > kMaxSeconds)
        return false;
    *micros = seconds * 1000000;
    return true;
}

CardQueue::CardQueue(int reader, const WallClock& wall, const MonotonicClock& monotonic,
                     Journal& journal)
    : reader_(reader), wall_(wall), monotonic_(monotonic), journal_(journal) {}

void CardQueue::offer(uint32_t card, std::optional<int64_t> arrived) {
    // The repeat window, like a card's age, runs on the monotonic clock: a
    // wall clock set back or forward (NTP at boot) must neither hold back a
    // fresh card nor let a repeat through.
    const int64_t now = monotonic_();
    const int64_t previous = lastOffer_;
    // Every offer restarts the window, so a card offered again and again at
    // short gaps is taken only the first time.
    lastOffer_ = now;
    // A car that waited at the gate while its request came in is that much
    // older; never younger than now.
    const int64_t offeredAt = std::min(arrived.value_or(INT64_MAX), now);
    const WaitingCard offered{card, offeredAt, false};
    if (card == lastCard_) {
        if (now - previous <= kRepeatWindowMicros) {
            record(CardEvent::repeat, offered);
            return;
        }
    }
    lastCard_ = card;
    if (card == 0)
        return;
    if (isWaiting(card)) {
        record(CardEvent::alreadyWaiting, offered);
        return;
    }
    pushBack(offered);
    record(CardEvent::queued, offered);
}

PollItem CardQueue::takeNext(uint8_t sequence, bool secure) {
    PollItem item;
    const int64_t now = monotonic_();
    while (waitingCount_ > 0) {
        const WaitingCard next = popFront();
        // A card past its age is dropped when its turn comes: the car it
        // stands for has left the gate, or another stands there now.
        if (maxAge_ > 0 && now - next.since > maxAge_) {
            record(CardEvent::expired, next);
            continue;
        }
        item.kind = PollItem::Kind::card;
        item.card = next.card;
        unackedCard_ = next;
        carriedSequence_ = sequence;
        record(CardEvent::sent, next, secure);
        unackedCard_.sentBefore = true;
        return item;
    }
    if (statusWaiting_) {
        item.kind = PollItem::Kind::status;
        statusWaiting_ = false;
        unackedStatus_ = true;
        carriedSequence_ = sequence;
    }
    return item;
}

void CardQueue::settle(uint8_t sequence) {
    if (sequence == 0) {
        // A new session: the controller may have given up on our last reply,
        // so the card it carried goes back to the front of the queue, ahead of
        // those that came after it (its age is checked again when its turn
        // comes); a status report always tells the present state.
        if (unackedCard_.card != 0 && !isWaiting(unackedCard_.card)) {
            record(CardEvent::offeredAgain, unackedCard_);
            pushFront(unackedCard_);
        }
        if (unackedStatus_)
            statusWaiting_ = true;
    } else if (sequence == carriedSequence_) {
        // The same sequence number with other bytes: the controller has not
        // moved on, so it has not confirmed the last reply either.
        return;
    } else if (unackedCard_.card != 0) {
        record(CardEvent::confirmed, unackedCard_);
    }
    unackedCard_ = WaitingCard();
    unackedStatus_ = false;
}

CardDiagnostics CardQueue::diagnostics() const {
    CardDiagnostics cards;
    cards.waiting = static_cast<uint32_t>(waitingCount_);
    if (waitingCount_ > 0)
        cards.oldestMs = (monotonic_() - waiting_[first_].since) / 1000;
    cards.delivered = cardsDelivered_;
    cards.expired = cardsExpired_;
    cards.dropped = cardsDropped_;
    return cards;
}

// Each outcome of a card is counted and logged here, and only here. Log lines
// give the reader and the age, never the card: it stands for a plate.
void CardQueue::record(CardEvent event, const WaitingCard& card, bool secure) {
    const int64_t ageMs = (monotonic_() - card.since) / 1000;
    // The time text opens the engine's lines; only the two losses need it.
    auto time = [this] { return logEnabled(1) ? timeText(wall_()) : std::string(); };
    switch (event) {
        case CardEvent::repeat:
            logAt(5, "Multiple credential in short time [%04X] on Reader %d", card.card,
                  reader_ + 1);
            break;
        case CardEvent::queueFull:
            ++cardsDropped_;
            logAt(1, "%s Reader %d card queue full: the oldest card dropped, %lld.%03lld s old",
                  time().c_str(), reader_ + 1, static_cast<long long>(ageMs / 1000),
                  static_cast<long long>(ageMs % 1000));
            break;
        case CardEvent::expired:
            ++cardsExpired_;
            logAt(1, "%s Reader %d card not sent: %lld.%03lld s old, limit %lld s", time().c_str(),
                  reader_ + 1, static_cast<long long>(ageMs / 1000),
                  static_cast<long long>(ageMs % 1000), static_cast<long long>(maxAge_ / 1000000));
            break;
        case CardEvent::sent:
            if (!card.sentBefore)
                ++cardsDelivered_;
            break;
        case CardEvent::queued:
        case CardEvent::alreadyWaiting:
        case CardEvent::confirmed:
        case CardEvent::offeredAgain:
            break;
    }
    journalEvent(event, card.card, secure);
}

void CardQueue::journalEvent(CardEvent event, uint32_t card, bool secure) {
    switch (event) {
        case CardEvent::queued:
            journal_.queued(reader_, card);
            break;
        case CardEvent::repeat:
            journal_.dropped(reader_, card, DropReason::repeat);
            break;
        case CardEvent::alreadyWaiting:
            journal_.dropped(reader_, card, DropReason::alreadyWaiting);
            break;
        case CardEvent::queueFull:
            journal_.dropped(reader_, card, DropReason::queueFull);
            break;
        case CardEvent::expired:
            journal_.dropped(reader_, card, DropReason::expired);
            break;
        case CardEvent::sent:
            journal_.delivered(reader_, card, secure);
            break;
        case CardEvent::confirmed:
            journal_.confirmed(reader_, card);
            break;
        case CardEvent::offeredAgain:
            journal_.offeredAgain(reader_, card);
            break;
    }
}

bool CardQueue::isWaiting(uint32_t card) const {
    for (size_t i = 0; i < waitingCount_; ++i) {
        if (waiting_[(first_ + i) % kCardQueueSize].card == card)
            return true;
    }
    return false;
}

void CardQueue::pushBack(const WaitingCard& card) {
    if (waitingCount_ == kCardQueueSize)
        record(CardEvent::queueFull, popFront());
    waiting_[(first_ + waitingCount_) % kCardQueueSize] = card;
    ++waitingCount_;
}

// The card offered again is older than every card waiting: with the queue
// full, it is the one that gives way.
void CardQueue::pushFront(const WaitingCard& card) {
    if (waitingCount_ == kCardQueueSize) {
        record(CardEvent::queueFull, card);
        return;
    }
    first_ = (first_ + kCardQueueSize - 1) % kCardQueueSize;
    waiting_[first_] = card;
    ++waitingCount_;
}

CardQueue::WaitingCard CardQueue::popFront() {
    const WaitingCard card = waiting_[first_];
    first_ = (first_ + 1) % kCardQueueSize;
    --waitingCount_;
    return card;
}
