// What a panel tells a reader to show or sound after a card: the data of
// osdp_LED, osdp_BUZ and osdp_TEXT, decoded as far as the journal shows it.
// Our readers have no lamp, buzzer or display; they acknowledge these commands,
// and the journal keeps what they said next to the card that came before.
#pragma once

#include <cstddef>
#include <cstdint>

#include "osdp/protocol.h"

// Reader displays hold a few dozen characters; longer texts are cut here.
constexpr size_t kTextKept = 32;

// One half of an LED record. Times are in units of 100 ms.
struct LedState {
    // Temporary half: 0 leave as is, 1 cancel and show the permanent state,
    // 2 set and start the timer. Permanent half: 0 leave as is, 1 set.
    uint8_t control = 0;
    uint8_t onTime = 0;
    uint8_t offTime = 0;
    uint8_t onColour = 0;
    uint8_t offColour = 0;
};

struct LedRecord {
    uint8_t reader = 0;  // reader number inside the device: ours are all 0
    uint8_t led = 0;
    LedState temporary;
    uint16_t timer = 0;  // length of the temporary state, 100 ms units
    LedState permanent;
};

struct BuzzerRecord {
    uint8_t reader = 0;
    uint8_t tone = 0;  // 0 no tone, 1 off, 2 the default tone
    uint8_t onTime = 0;
    uint8_t offTime = 0;
    uint8_t count = 0;  // on/off cycles; 0 repeats until told otherwise
};

struct TextRecord {
    uint8_t reader = 0;
    // 1 permanent, 2 permanent with wrap, 3 temporary, 4 temporary with wrap.
    uint8_t command = 0;
    uint8_t seconds = 0;  // how long a temporary text stays
    uint8_t row = 0;
    uint8_t column = 0;
    uint8_t length = 0;  // as sent; text holds at most kTextKept of it
    char text[kTextKept] = {};
};

enum class FeedbackKind : uint8_t { led, buzzer, text, malformed };
constexpr int kFeedbackKindCount = 4;

// One decoded record. A malformed one keeps only its command and length.
struct FeedbackRecord {
    FeedbackRecord() : led() {}

    FeedbackKind kind = FeedbackKind::malformed;
    uint8_t command = 0;
    uint16_t length = 0;  // data bytes of the command
    // Time from the card's delivery to this command, set by the journal.
    int32_t msAfterDelivery = 0;
    union {
        LedRecord led;
        BuzzerRecord buzzer;
        TextRecord text;
    };
};

// Decodes the data of one osdp_LED, osdp_BUZ or osdp_TEXT command into at
// most max records and returns how many records the data holds (an LED or
// buzzer command may carry several). Data that does not fit the command's
// layout (no whole number of records, a text other than its header says) is
// one malformed record, as the reader refuses it. REQUIRES: command is one of the three; max >= 1.
size_t decodeFeedback(uint8_t command, const uint8_t* data, size_t length, FeedbackRecord* out,
                      size_t max);

// "black", "red", "green", "amber", "blue", "magenta", "cyan", "white";
// null for a code past those.
const char* colourName(uint8_t colour);
