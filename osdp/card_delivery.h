// Card and status delivery of one virtual reader: what waits for the panel's
// next poll, what the last reply to a poll carried and whether the panel has
// confirmed it, and the window in which the same card offered again is dropped.
#pragma once

#include <cstdint>
#include <string>

#include "osdp/clock.h"

// What a poll of the reader is answered with.
struct PollItem {
    enum class Kind { nothing, card, status };
    Kind kind = Kind::nothing;
    uint32_t card = 0;  // of Kind::card
};

// Not locked itself: its owner holds the lock shared with the web worker.
struct ReaderSlot {
    // Offers a card at now; the same card again within repeatInterval of the
    // previous offer is dropped (false). Every offer restarts the window.
    bool injectCard(uint32_t card, const WallTime& now);

    // Sets the tamper state and asks for a status report on the next poll.
    void setTamper(bool tampered);

    // Takes what the next poll is answered with, one item per poll: a waiting
    // card first, then a status report. What it takes counts as sent and
    // unconfirmed until settle confirms it.
    PollItem nextForPoll();

    // For each new frame to the reader before it is answered, with its
    // sequence number and that of the frame before: confirms or offers again
    // what the last reply to a poll carried.
    void settle(int sequence, int previousSequence);

    uint32_t pendingCard = 0;  // waits for the next poll; 0: none
    uint32_t lastCard = 0;     // the latest card offered
    WallTime lastAttempt;      // of the latest offer
    int64_t repeatInterval = 3000000;
    std::string lastLpr;  // plate text of the latest plate event for the reader
    uint8_t tamper = 0;
    uint8_t power = 0;
    uint8_t statusChanged = 0;  // a status report waits for the next poll

    // What the last reply to a poll took from the reader (a card, a status
    // report) counts as delivered only once the controller's next frame
    // carries a different, non-zero sequence number. A frame with sequence 0
    // starts a new session, and the controller may have missed that reply.
    uint32_t unackedCard = 0;
    bool unackedStatus = false;
};
