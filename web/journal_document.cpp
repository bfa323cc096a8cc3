#include "web/journal_document.h"

#include <glib.h>

#include <cinttypes>
#include <cstdio>

#include "util/escape.h"

namespace {

std::string element(const char* name, const std::string& value) {
    return std::string("<") + name + ">" + value + "</" + name + ">";
}

std::string element(const char* name, int64_t value) {
    return element(name, std::to_string(value));
}

// Wall time as ISO 8601 in UTC with milliseconds: 2026-12-07T12:50:30.123Z.
// GLib's dates are 64-bit everywhere, so the camera's 32-bit time_t cannot
// wrap them in 2038.
std::string isoTime(int64_t micros) {
    GDateTime* utc = g_date_time_new_from_unix_utc(micros / 1000000);
    if (utc == nullptr)
        return "";
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", g_date_time_get_year(utc),
             g_date_time_get_month(utc), g_date_time_get_day_of_month(utc),
             g_date_time_get_hour(utc), g_date_time_get_minute(utc), g_date_time_get_second(utc),
             static_cast<int>(micros / 1000 % 1000));
    g_date_time_unref(utc);
    return text;
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
    char card[9];
    snprintf(card, sizeof card, "%08" PRIX32, entry.card);
    std::string out = element("id", entry.id) + element("time", isoTime(entry.arrivedWall)) +
                      element("msAgo", (nowMono - entry.arrivedMono) / 1000) +
                      element("source", kSourceNames[static_cast<int>(entry.source)]) +
                      element("plate", xmlText(entry.plate)) + element("reader", entry.reader + 1) +
                      element("card", card) +
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

namespace {

// One metric: its HELP and TYPE lines, then a sample per series.
class Metric {
  public:
    Metric(std::string* out, const char* name, const char* type, const char* help)
        : out_(out), name_(name) {
        *out_ +=
            std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    // labels: "" or `name="value",...` without braces.
    void sample(const std::string& labels, const std::string& value) {
        *out_ += name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
    }
    void sample(const std::string& labels, uint64_t value) {
        sample(labels, std::to_string(value));
    }

  private:
    std::string* out_;
    std::string name_;
};

std::string readerLabel(int reader) {
    return "reader=\"" + std::to_string(reader + 1) + "\"";
}

std::string seconds(int64_t ms) {
    char text[32];
    snprintf(text, sizeof text, "%" PRId64 ".%03d", ms / 1000, static_cast<int>(ms % 1000));
    return text;
}

using PerReader = std::array<uint64_t, kReaderCount>;

void perReader(Metric& metric, const PerReader& values) {
    for (int r = 0; r < kReaderCount; ++r)
        metric.sample(readerLabel(r), values[r]);
}

// A sample per reader and per value of label, names[first] onwards.
template <size_t N>
void perReader(Metric& metric, const std::array<std::array<uint64_t, N>, kReaderCount>& values,
               const char* label, const char* const (&names)[N], size_t first = 0) {
    for (int r = 0; r < kReaderCount; ++r) {
        for (size_t i = first; i < N; ++i)
            metric.sample(readerLabel(r) + "," + label + "=\"" + names[i] + "\"", values[r][i]);
    }
}

// The line figures: frames answered per reader, rejected frames, ages.
void lineMetrics(std::string& out, const LineDiagnostics& line) {
    PerReader answered{}, repeats{}, polling{};
    for (int r = 0; r < kReaderCount; ++r) {
        answered[r] = line.reader[r].framesAnswered;
        repeats[r] = line.reader[r].repeatsAnswered;
        polling[r] = line.reader[r].polling ? 1 : 0;
    }
    Metric answeredMetric(&out, "kanzo_zul_frames_answered_total", "counter",
                          "Frames the reader answered, repeats included.");
    perReader(answeredMetric, answered);
    Metric repeatsMetric(&out, "kanzo_zul_repeats_answered_total", "counter",
                         "Commands the panel sent again, answered with the stored reply.");
    perReader(repeatsMetric, repeats);
    Metric pollingMetric(&out, "kanzo_zul_reader_polling", "gauge",
                         "1 when the panel sent the reader a frame within the last 2 seconds.");
    perReader(pollingMetric, polling);
    Metric frameAge(&out, "kanzo_zul_frame_age_seconds", "gauge",
                    "Time since the reader's last frame; absent before the first.");
    for (int r = 0; r < kReaderCount; ++r) {
        if (line.reader[r].msSinceFrame >= 0)
            frameAge.sample(readerLabel(r), seconds(line.reader[r].msSinceFrame));
    }
    Metric rejected(&out, "kanzo_zul_frames_rejected_total", "counter",
                    "Frames dropped as broken: wrong check code, impossible or cut length.");
    rejected.sample("reason=\"bad_check\"", line.badCheck);
    rejected.sample("reason=\"bad_length\"", line.badLength);
    Metric foreign(&out, "kanzo_zul_foreign_frames_total", "counter",
                   "Valid frames for other devices on the bus.");
    foreign.sample("", line.foreignFrames);
    Metric discarded(&out, "kanzo_zul_discarded_bytes_total", "counter",
                     "Bytes outside any frame: line noise, mark bytes.");
    discarded.sample("", line.discardedBytes);
    Metric byteAge(&out, "kanzo_zul_byte_age_seconds", "gauge",
                   "Time since the last byte from the line; absent before the first.");
    if (line.msSinceByte >= 0)
        byteAge.sample("", seconds(line.msSinceByte));
}

// What became of the cards, and the panel's feedback, per reader.
void cardMetrics(std::string& out, const JournalCounts& counts) {
    static const char* const kSources[] = {"plate_event", "plate_command", "card_command"};
    static const char* const kReasons[] = {"", "repeat", "already_waiting", "expired",
                                           "queue_full"};
    static const char* const kKinds[] = {"led", "buzzer", "text", "malformed"};
    Metric received(&out, "kanzo_zul_cards_received_total", "counter",
                    "Cards that arrived for the reader, by source.");
    perReader(received, counts.received, "source", kSources);
    Metric dropped(&out, "kanzo_zul_cards_dropped_total", "counter",
                   "Cards never sent to the panel, by reason.");
    perReader(dropped, counts.dropped, "reason", kReasons, 1);
    Metric delivered(&out, "kanzo_zul_cards_delivered_total", "counter",
                     "Cards sent in a reply to a poll, plain or through Secure Channel.");
    for (int r = 0; r < kReaderCount; ++r) {
        delivered.sample(readerLabel(r) + ",channel=\"plain\"", counts.deliveredPlain[r]);
        delivered.sample(readerLabel(r) + ",channel=\"secure\"", counts.deliveredSecure[r]);
    }
    Metric confirmed(&out, "kanzo_zul_cards_confirmed_total", "counter",
                     "Deliveries the panel confirmed with its next command.");
    perReader(confirmed, counts.confirmed);
    Metric again(&out, "kanzo_zul_cards_offered_again_total", "counter",
                 "Deliveries offered again because the panel started a new session.");
    perReader(again, counts.offeredAgain);
    Metric feedback(&out, "kanzo_zul_panel_feedback_total", "counter",
                    "LED, buzzer and text records the panel sent to the reader.");
    perReader(feedback, counts.feedback, "kind", kKinds);
}

}  // namespace

std::string metricsText(const LineDiagnostics& line, const JournalCounts& counts,
                        uint64_t refusedRequests) {
    std::string out;
    lineMetrics(out, line);
    cardMetrics(out, counts);
    Metric refused(&out, "kanzo_zul_web_requests_refused_total", "counter",
                   "Web requests the request policy refused.");
    refused.sample("", refusedRequests);
    return out;
}
