#include "osdp/card_delivery.h"

#include <algorithm>
#include <utility>

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

void ReaderSlot::attach(int number, Clock clock, MonotonicClock monotonic, Journal* journal) {
    number_ = number;
    journal_ = journal;
    clock_ = std::move(clock);
    monotonic_ = std::move(monotonic);
}

void ReaderSlot::injectCard(uint32_t card, const WallTime& now, std::optional<int64_t> arrived) {
    const WallTime previous = lastAttempt;
    // Every offer restarts the window, so a card offered again and again at
    // short gaps is taken only the first time.
    lastAttempt = now;
    // A car that waited at the gate while its request came in is that much
    // older; never younger than now.
    const int64_t offeredAt = std::min(arrived.value_or(INT64_MAX), monotonic_());
    const WaitingCard offered{card, offeredAt, false};
    if (card == lastCard) {
        const int64_t elapsed =
            (now.seconds - previous.seconds) * 1000000 + (now.micros - previous.micros);
        if (elapsed <= repeatInterval) {
            record(CardEvent::repeat, offered);
            return;
        }
    }
    lastCard = card;
    if (card == 0)
        return;
    if (isWaiting(card)) {
        record(CardEvent::alreadyWaiting, offered);
        return;
    }
    pushBack(offered);
    record(CardEvent::queued, offered);
}

void ReaderSlot::setTamper(bool tampered) {
    tamper = tampered ? 1 : 0;
    statusChanged = 1;
}

PollItem ReaderSlot::nextForPoll() {
    PollItem item;
    const int64_t now = monotonic_();
    while (waitingCount_ > 0) {
        const WaitingCard next = popFront();
        // A card past its age is dropped when its turn comes: the car it
        // stands for has left the gate, or another stands there now.
        if (maxAge > 0 && now - next.since > maxAge) {
            record(CardEvent::expired, next);
            continue;
        }
        item.kind = PollItem::Kind::card;
        item.card = next.card;
        unackedCard_ = next;
        record(CardEvent::sent, next);
        unackedCard_.sentBefore = true;
        return item;
    }
    if (statusChanged != 0) {
        item.kind = PollItem::Kind::status;
        statusChanged = 0;
        unackedStatus_ = true;
    }
    return item;
}

void ReaderSlot::settle(int sequence, int previousSequence) {
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
            statusChanged = 1;
    } else if (sequence == previousSequence) {
        // The same sequence number with other bytes: the controller has not
        // moved on, so it has not confirmed the last reply either.
        return;
    } else if (unackedCard_.card != 0) {
        record(CardEvent::confirmed, unackedCard_);
    }
    unackedCard_ = WaitingCard();
    unackedStatus_ = false;
}

int64_t ReaderSlot::oldestCardMs() const {
    if (waitingCount_ == 0)
        return -1;
    return (monotonic_() - waiting_[first_].since) / 1000;
}

// Each outcome of a card is counted and logged here, and only here. Log lines
// give the reader and the age, never the card: it stands for a plate.
void ReaderSlot::record(CardEvent event, const WaitingCard& card) {
    const int64_t ageMs = (monotonic_() - card.since) / 1000;
    // The time text opens the engine's lines; only the two losses need it.
    auto time = [this] { return logEnabled(1) ? timeText(clock_()) : std::string(); };
    switch (event) {
        case CardEvent::repeat:
            logAt(5, "Multiple credential in short time [%04X] on Reader %d", card.card, number_);
            break;
        case CardEvent::queueFull:
            ++cardsDropped;
            logAt(1, "%s Reader %d card queue full: the oldest card dropped, %lld.%03lld s old",
                  time().c_str(), number_, static_cast<long long>(ageMs / 1000),
                  static_cast<long long>(ageMs % 1000));
            break;
        case CardEvent::expired:
            ++cardsExpired;
            logAt(1, "%s Reader %d card not sent: %lld.%03lld s old, limit %lld s", time().c_str(),
                  number_, static_cast<long long>(ageMs / 1000),
                  static_cast<long long>(ageMs % 1000), static_cast<long long>(maxAge / 1000000));
            break;
        case CardEvent::sent:
            if (!card.sentBefore)
                ++cardsDelivered;
            break;
        case CardEvent::queued:
        case CardEvent::alreadyWaiting:
        case CardEvent::confirmed:
        case CardEvent::offeredAgain:
            break;
    }
    journalEvent(event, card.card);
}

void ReaderSlot::journalEvent(CardEvent event, uint32_t card) {
    if (journal_ == nullptr)
        return;
    const int reader = number_ - 1;
    switch (event) {
        case CardEvent::queued:
            journal_->queued(reader, card);
            break;
        case CardEvent::repeat:
            journal_->dropped(reader, card, DropReason::repeat);
            break;
        case CardEvent::alreadyWaiting:
            journal_->dropped(reader, card, DropReason::alreadyWaiting);
            break;
        case CardEvent::queueFull:
            journal_->dropped(reader, card, DropReason::queueFull);
            break;
        case CardEvent::expired:
            journal_->dropped(reader, card, DropReason::expired);
            break;
        case CardEvent::sent:
            journal_->delivered(reader, card, secure);
            break;
        case CardEvent::confirmed:
            journal_->confirmed(reader, card);
            break;
        case CardEvent::offeredAgain:
            journal_->offeredAgain(reader, card);
            break;
    }
}

bool ReaderSlot::isWaiting(uint32_t card) const {
    for (size_t i = 0; i < waitingCount_; ++i) {
        if (waiting_[(first_ + i) % kCardQueueSize].card == card)
            return true;
    }
    return false;
}

void ReaderSlot::pushBack(const WaitingCard& card) {
    if (waitingCount_ == kCardQueueSize)
        record(CardEvent::queueFull, popFront());
    waiting_[(first_ + waitingCount_) % kCardQueueSize] = card;
    ++waitingCount_;
}

// The card offered again is older than every card waiting: with the queue
// full, it is the one that gives way.
void ReaderSlot::pushFront(const WaitingCard& card) {
    if (waitingCount_ == kCardQueueSize) {
        record(CardEvent::queueFull, card);
        return;
    }
    first_ = (first_ + kCardQueueSize - 1) % kCardQueueSize;
    waiting_[first_] = card;
    ++waitingCount_;
}

ReaderSlot::WaitingCard ReaderSlot::popFront() {
    const WaitingCard card = waiting_[first_];
    first_ = (first_ + 1) % kCardQueueSize;
    --waitingCount_;
    return card;
}
