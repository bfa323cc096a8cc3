// The journal: decoding the panel's feedback, the fate of each card, and the
// journal and metrics texts built from it.
#include "osdp/journal.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/golden.h"
#include "tests/prometheus_text.h"
#include "web/journal_document.h"
#include "web/metrics.h"

namespace {

// As panels grant access: a steady green LED for 3 s, two short beeps.
const char kGreenLed[] = "00 00 02 1E 00 02 00 1E 00 00 00 00 00 00";
const char kTwoBeeps[] = "00 02 02 01 02";

class JournalTest : public ::testing::Test {
  protected:
    Journal journal{[this] { return wall; }, [this] { return mono; }};
    int64_t wall = 1796647830123000;  // 2026-12-07T12:50:30.123Z
    int64_t mono = 1000000;

    void feed(int reader, uint8_t command, const std::string& hex) {
        const std::vector<uint8_t> data = bytesOfHex(hex);
        journal.feedback(reader, command, data.data(), data.size());
    }
    // What the journal document says of the newest entry, with its feedback.
    std::string newest() {
        const std::string doc = journalDocument(journal.latest(1), mono);
        return doc.substr(11, doc.size() - 11 - 12);
    }
    std::string newestFeedback() {
        const std::string entry = newest();
        const size_t at = entry.find("<feedback>");
        return at == std::string::npos ? "" : entry.substr(at, entry.size() - at - 8);
    }
    void deliverCard(int reader, uint32_t card) {
        journal.received(CardSource::cardCommand, reader, card, "");
        journal.queued(reader, card);
        journal.delivered(reader, card, false);
    }
};

TEST_F(JournalTest, DecodesEachFeedbackRecordAsTheDocumentShowsIt) {
    const std::map<std::string, uint8_t> commands = {
        {"LED", kCmdLed}, {"BUZ", kCmdBuzzer}, {"TEXT", kCmdText}};
    for (auto& [line, text] : goldenCases("panel-feedback-records.txt")) {
        const std::string command = text['>'].substr(0, text['>'].find(' '));
        deliverCard(0, 0x1234);
        feed(0, commands.at(command), text['>'].substr(command.size()));
        EXPECT_EQ(newestFeedback(), "<feedback>" + text['<'] + "</feedback>") << line;
    }
}

TEST_F(JournalTest, AnEntryFollowsItsCardFromArrivalToThePanelsAnswer) {
    journal.received(CardSource::plateEvent, 1, 0x6D8CB9FB, "A<B&C");
    mono += 2000;
    journal.queued(1, 0x6D8CB9FB);
    mono += 128000;
    journal.delivered(1, 0x6D8CB9FB, true);
    mono += 100000;
    journal.confirmed(1, 0x6D8CB9FB);
    mono += 210000;
    feed(1, kCmdLed, kGreenLed);
    feed(0, kCmdLed, kGreenLed);  // the other reader's: not this card's
    mono += 40000;
    feed(1, kCmdBuzzer, kTwoBeeps);
    mono += 1000000;
    EXPECT_EQ(newest(),
              "<entry><id>1</id><time>2026-12-07T12:50:30.123Z</time><msAgo>1480</msAgo>"
              "<source>plate event</source><plate>A&lt;B&amp;C</plate><reader>2</reader>"
              "<cardDecimal>1837939195</cardDecimal><card>6D8CB9FB</card><fate>confirmed</"
              "fate><msToFate>230</msToFate>"
              "<delivery>secure</delivery><msToDelivery>130</msToDelivery><feedback>"
              "<led><ms>310</ms><number>0</number><temporary><on>green</on><off>black</off>"
              "<onMs>3000</onMs><offMs>0</offMs><timerMs>3000</timerMs></temporary></led>"
              "<buzzer><ms>350</ms><tone>default</tone><onMs>200</onMs><offMs>100</offMs>"
              "<count>2</count></buzzer></feedback></entry>");
}

TEST_F(JournalTest, FeedbackOutsideTheWindowOrWithoutDeliveryIsOnlyCounted) {
    feed(0, kCmdLed, kGreenLed);  // nothing delivered yet
    deliverCard(0, 7);
    mono += Journal::kFeedbackWindowMicros;
    feed(0, kCmdBuzzer, kTwoBeeps);  // the window's last moment
    mono += 1;
    feed(0, kCmdLed, kGreenLed);
    EXPECT_EQ(newestFeedback(),
              "<feedback><buzzer><ms>5000</ms><tone>default</tone><onMs>200</onMs><offMs>100"
              "</offMs><count>2</count></buzzer></feedback>");
    EXPECT_EQ(journal.counts().feedback[0][static_cast<int>(FeedbackKind::led)], 2u);
}

TEST_F(JournalTest, FeedbackPastTheRecordsKeptIsCountedOnTheEntry) {
    deliverCard(0, 7);
    for (size_t i = 0; i < JournalEntry::kFeedbackKept + 2; ++i)
        feed(0, kCmdBuzzer, kTwoBeeps);
    const JournalEntry entry = journal.latest(1)[0];
    EXPECT_EQ(entry.feedbackCount, JournalEntry::kFeedbackKept);
    EXPECT_EQ(entry.feedbackLost, 2);
    EXPECT_NE(newest().find("<notKept>2</notKept></feedback>"), std::string::npos);
}

TEST_F(JournalTest, EachOutcomeLandsOnTheNewestEntryItCanHappenTo) {
    journal.received(CardSource::cardCommand, 0, 5, "");
    journal.queued(0, 5);
    journal.received(CardSource::plateCommand, 0, 5, "X");  // the same card again
    journal.dropped(0, 5, DropReason::repeat);
    journal.delivered(0, 5, false);  // the first, which was waiting
    journal.offeredAgain(0, 5);
    journal.delivered(0, 5, false);
    journal.received(CardSource::cardCommand, 0, 6, "");
    journal.queued(0, 6);
    journal.dropped(0, 6, DropReason::queueFull);
    const std::vector<JournalEntry> entries = journal.latest(5);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].fate, CardFate::dropped);
    EXPECT_EQ(entries[0].dropReason, DropReason::queueFull);
    EXPECT_EQ(entries[1].dropReason, DropReason::repeat);
    EXPECT_EQ(entries[2].fate, CardFate::delivered);
    EXPECT_EQ(entries[2].offeredAgain, 1);
    const JournalCounts counts = journal.counts();
    EXPECT_EQ(counts.deliveredPlain[0], 2u);
    EXPECT_EQ(counts.offeredAgain[0], 1u);
    EXPECT_EQ(counts.received[0][static_cast<int>(CardSource::plateCommand)], 1u);
}

TEST_F(JournalTest, TheRingKeepsTheLatestEntriesNewestFirst) {
    for (uint32_t card = 1; card <= Journal::kCapacity + 44; ++card)
        journal.received(CardSource::cardCommand, 0, card, "");
    journal.queued(0, 1);  // pushed out long ago: only the newest count
    const std::vector<JournalEntry> entries = journal.latest(1000);
    ASSERT_EQ(entries.size(), Journal::kCapacity);
    EXPECT_EQ(entries.front().card, Journal::kCapacity + 44);
    EXPECT_EQ(entries.back().card, 45u);
    EXPECT_EQ(entries.back().fate, CardFate::received);
    EXPECT_EQ(journal.latest(2).size(), 2u);
}

TEST(JournalCount, IsDigitsOrNothingAndStopsAtTheCapacity) {
    for (auto& [line, text] : goldenCases("journal-counts.txt")) {
        size_t count = 0;
        const bool taken = parseJournalCount(text['>'], &count);
        EXPECT_EQ(taken ? std::to_string(count) : "refused", text['<']) << line;
        EXPECT_TRUE(taken || count == 0) << line;  // a refusal changes nothing
    }
}

TEST_F(JournalTest, MetricsAreInThePrometheusTextFormat) {
    LineDiagnostics line;
    line.reader[0] = {1520, 3, 40, true};
    line.reader[1].msSinceFrame = -1;
    line.badCheck = 7;
    line.msSinceByte = 1234;
    deliverCard(1, 9);
    journal.dropped(1, 9, DropReason::expired);
    feed(1, kCmdLed, "00");
    std::map<std::string, double> samples = parsePrometheus(metricsText(line, journal.counts(), 5));
    EXPECT_EQ(samples["kanzo_zul_frames_answered_total{reader=\"1\"}"], 1520);
    EXPECT_EQ(samples["kanzo_zul_frame_age_seconds{reader=\"1\"}"], 0.04);
    EXPECT_EQ(samples.count("kanzo_zul_frame_age_seconds{reader=\"2\"}"), 0u);
    EXPECT_EQ(samples["kanzo_zul_frames_rejected_total{reason=\"bad_check\"}"], 7);
    EXPECT_EQ(samples["kanzo_zul_byte_age_seconds"], 1.234);
    EXPECT_EQ(samples["kanzo_zul_cards_received_total{reader=\"2\",source=\"card_command\"}"], 1);
    EXPECT_EQ(samples["kanzo_zul_cards_delivered_total{reader=\"2\",channel=\"plain\"}"], 1);
    EXPECT_EQ(samples["kanzo_zul_cards_dropped_total{reader=\"2\",reason=\"expired\"}"], 1);
    EXPECT_EQ(samples["kanzo_zul_panel_feedback_total{reader=\"2\",kind=\"malformed\"}"], 1);
    EXPECT_EQ(samples["kanzo_zul_web_requests_refused_total"], 5);
}

}  // namespace
