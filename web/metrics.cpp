// The metrics in the Prometheus text format, for a site's monitoring: the
// line figures, what became of the cards, the panel's feedback and the web
// requests refused. The names are the dashboard's and the alert rules'.
#include "web/metrics.h"

#include <array>
#include <cinttypes>
#include <cstdio>

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
