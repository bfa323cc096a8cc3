#include "osdp/panel_feedback.h"

#include <algorithm>
#include <cstring>

namespace {

LedState ledState(const uint8_t* p) {
    LedState state;
    state.control = p[0];
    state.onTime = p[1];
    state.offTime = p[2];
    state.onColour = p[3];
    state.offColour = p[4];
    return state;
}

// Layout of one record: reader, LED, temporary half (5 bytes), timer low
// byte first, permanent half (5 bytes).
void decodeLed(const uint8_t* p, FeedbackRecord* out) {
    out->kind = FeedbackKind::led;
    out->led.reader = p[0];
    out->led.led = p[1];
    out->led.temporary = ledState(p + 2);
    out->led.timer = static_cast<uint16_t>(p[7] | p[8] << 8);
    out->led.permanent = ledState(p + 9);
}

void decodeBuzzer(const uint8_t* p, FeedbackRecord* out) {
    out->kind = FeedbackKind::buzzer;
    out->buzzer.reader = p[0];
    out->buzzer.tone = p[1];
    out->buzzer.onTime = p[2];
    out->buzzer.offTime = p[3];
    out->buzzer.count = p[4];
}

}  // namespace

size_t decodeFeedback(uint8_t command, const uint8_t* data, size_t length, FeedbackRecord* out,
                      size_t max) {
    out[0] = FeedbackRecord();
    out[0].command = command;
    out[0].length = static_cast<uint16_t>(std::min<size_t>(length, UINT16_MAX));
    const size_t recordSize = command == kCmdLed ? kLedRecord : kBuzzerRecord;
    if (command != kCmdText) {
        if (!wholeRecords(length, recordSize))
            return 1;
        const size_t count = length / recordSize;
        for (size_t i = 0; i < std::min(count, max); ++i) {
            out[i] = out[0];
            if (command == kCmdLed)
                decodeLed(data + i * recordSize, &out[i]);
            else
                decodeBuzzer(data + i * recordSize, &out[i]);
        }
        return count;
    }
    if (!wholeText(data, length))
        return 1;
    TextRecord& text = out[0].text;
    out[0].kind = FeedbackKind::text;
    text.reader = data[0];
    text.command = data[1];
    text.seconds = data[2];
    text.row = data[3];
    text.column = data[4];
    text.length = data[5];
    memcpy(text.text, data + kTextHeader, std::min<size_t>(text.length, kTextKept));
    return 1;
}

const char* colourName(uint8_t colour) {
    static const char* const kNames[] = {"black", "red",     "green", "amber",
                                         "blue",  "magenta", "cyan",  "white"};
    return colour < 8 ? kNames[colour] : nullptr;
}
