#include "web/journal_document.h"

#include <algorithm>
#include <cstdio>

#include "osdp/clock.h"
#include "util/escape.h"
#include "web/xml_text.h"

namespace {

std::string element(const char* name, const std::string& value) {
    return std::string("<") + name + ">" + value + "</" + name + ">";
}

std::string element(const char* name, int64_t value) {
    return element(name, std::to_string(value));
}

std::string colour(uint8_t code) {
    const char* name = colourName(code);
    return name != nullptr ? name : "colour " + std::to_string(code);
}

// One half of an LED record; nothing when it leaves the LED as it is.
std::string ledState(const char* name, const LedState& state, bool temporary, uint16_t timer) {
    if (state.control == 0)
        return std::string();
    if (temporary && state.control == 1)
        return element(name, "cancel");
    if (state.control != (temporary ? 2 : 1))
        return element(name, "control " + std::to_string(state.control));
    std::string out = element("on", colour(state.onColour)) +
                      element("off", colour(state.offColour)) +
                      element("onMs", state.onTime * 100) + element("offMs", state.offTime * 100);
    if (temporary)
        out += element("timerMs", timer * 100);
    return element(name, out);
}

const char* const kToneNames[] = {"none", "off", "default"};
const char* const kTextModes[] = {"permanent", "permanent wrap", "temporary", "temporary wrap"};

std::string feedbackElement(const FeedbackRecord& record) {
    const std::string ms = element("ms", record.msAfterDelivery);
    switch (record.kind) {
        case FeedbackKind::led: {
            const LedRecord& led = record.led;
            return element("led", ms + element("number", led.led) +
                                      ledState("temporary", led.temporary, true, led.timer) +
                                      ledState("permanent", led.permanent, false, 0));
        }
        case FeedbackKind::buzzer: {
            const BuzzerRecord& buzzer = record.buzzer;
            const std::string tone =
                buzzer.tone < 3 ? kToneNames[buzzer.tone] : "tone " + std::to_string(buzzer.tone);
            return element("buzzer", ms + element("tone", tone) +
                                         element("onMs", buzzer.onTime * 100) +
                                         element("offMs", buzzer.offTime * 100) +
                                         element("count", buzzer.count));
        }
        case FeedbackKind::text: {
            const TextRecord& text = record.text;
            const std::string mode = text.command >= 1 && text.command <= 4
                                         ? kTextModes[text.command - 1]
                                         : "mode " + std::to_string(text.command);
            const std::string content(text.text, std::min<size_t>(text.length, kTextKept));
            return element("text", ms + element("mode", mode) + element("seconds", text.seconds) +
                                       element("row", text.row) + element("column", text.column) +
                                       element("content", xmlText(content)));
        }
        case FeedbackKind::malformed:
            break;
    }
    const char* name = record.command == kCmdLed      ? "LED"
                       : record.command == kCmdBuzzer ? "BUZ"
                                                      : "TEXT";
    return element("malformed", ms + element("command", name) + element("length", record.length));
}

const char* const kSourceNames[] = {"plate event", "plate command", "card command"};
const char* const kFateNames[] = {"received",  "queued",    "dropped",
                                  "delivered", "confirmed", "offered again"};
const char* const kDropNames[] = {"", "repeat", "already waiting", "expired", "queue full"};

std::string entryElement(const JournalEntry& entry, int64_t nowMono) {
    std::string out = element("id", entry.id) + element("time", utcTimeText(entry.arrivedWall)) +
                      element("msAgo", (nowMono - entry.arrivedMono) / 1000) +
                      element("source", kSourceNames[static_cast<int>(entry.source)]) +
                      element("plate", xmlText(entry.plate)) + element("reader", entry.reader + 1) +
                      element("cardDecimal", static_cast<int64_t>(entry.card)) +
                      element("card", cardText(entry.card)) +
                      element("fate", kFateNames[static_cast<int>(entry.fate)]);
    if (entry.fate == CardFate::dropped)
        out += element("reason", kDropNames[static_cast<int>(entry.dropReason)]);
    out += element("msToFate", (entry.fateMono - entry.arrivedMono) / 1000);
    if (entry.deliveredMono != 0) {
        out += element("delivery", entry.secure ? "secure" : "plain");
        out += element("msToDelivery", (entry.deliveredMono - entry.arrivedMono) / 1000);
    }
    if (entry.offeredAgain != 0)
        out += element("offeredAgain", entry.offeredAgain);
    std::string feedback;
    for (size_t i = 0; i < entry.feedbackCount; ++i)
        feedback += feedbackElement(entry.feedback[i]);
    if (entry.feedbackLost != 0)
        feedback += element("notKept", entry.feedbackLost);
    if (!feedback.empty())
        out += element("feedback", feedback);
    return element("entry", out);
}

}  // namespace

bool parseJournalCount(const std::string& value, size_t* count) {
    if (value.empty()) {
        *count = kJournalDefaultCount;
        return true;
    }
    if (value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *count = std::min<size_t>(std::stoul(value), Journal::kCapacity);
    return true;
}

std::string journalDocument(const std::vector<JournalEntry>& entries, int64_t nowMono) {
    std::string doc = "<response>\n";
    for (const JournalEntry& entry : entries)
        doc += entryElement(entry, nowMono);
    doc += "</response>\n";
    return doc;
}
