#include "osdp/card_delivery.h"

bool ReaderSlot::injectCard(uint32_t card, const WallTime& now) {
    const WallTime previous = lastAttempt;
    // Every offer restarts the window, so a card offered again and again at
    // short gaps is taken only the first time.
    lastAttempt = now;
    if (card != lastCard) {
        pendingCard = card;
        lastCard = card;
        return true;
    }
    const int64_t elapsed =
        (now.seconds - previous.seconds) * 1000000 + (now.micros - previous.micros);
    if (elapsed <= repeatInterval)
        return false;
    pendingCard = card;
    return true;
}

void ReaderSlot::setTamper(bool tampered) {
    tamper = tampered ? 1 : 0;
    statusChanged = 1;
}

PollItem ReaderSlot::nextForPoll() {
    PollItem item;
    if (pendingCard != 0) {
        item.kind = PollItem::Kind::card;
        item.card = pendingCard;
        unackedCard = pendingCard;
        pendingCard = 0;
    } else if (statusChanged != 0) {
        item.kind = PollItem::Kind::status;
        statusChanged = 0;
        unackedStatus = true;
    }
    return item;
}

void ReaderSlot::settle(int sequence, int previousSequence) {
    if (sequence == 0) {
        // A new session: the controller may have given up on our last reply,
        // so what it carried is offered again. A card that came in since is
        // newer and goes instead; a status report always tells the present
        // state.
        if (pendingCard == 0)
            pendingCard = unackedCard;
        if (unackedStatus)
            statusChanged = 1;
    } else if (sequence == previousSequence) {
        // The same sequence number with other bytes: the controller has not
        // moved on, so it has not confirmed the last reply either.
        return;
    }
    unackedCard = 0;
    unackedStatus = false;
}
