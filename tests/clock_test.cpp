// The daemon's wall-clock texts at the end of 32-bit time and past it: the
// engine's log time, the configuration file's time of writing, a journal
// entry's time. They run under qemu-arm too (scripts/test-arm armhf), where a
// 32-bit time_t anywhere on the way shows as a date in 1901.
#include "osdp/clock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "osdp/journal.h"
#include "util/config_file.h"
#include "web/journal_document.h"

namespace {

struct Instant {
    const char* zone;  // TZ, POSIX form: the log and the configuration file are local
    int64_t seconds;
    const char* log;
    const char* config;
    const char* journal;
};

// The last second a 32-bit time_t holds, the first past it, a day well past it,
// that day two hours east of UTC, and a time just before the epoch (a clock
// never set starts at it), whose milliseconds still count up.
const Instant kInstants[] = {
    {"UTC0", 2147483647, "03:14:07.250", "2038-01-19 03:14:07", "2038-01-19T03:14:07.250Z"},
    {"UTC0", 2147483648, "03:14:08.250", "2038-01-19 03:14:08", "2038-01-19T03:14:08.250Z"},
    {"UTC0", 2208988800, "00:00:00.250", "2040-01-01 00:00:00", "2040-01-01T00:00:00.250Z"},
    {"EET-2", 2208988800, "02:00:00.250", "2040-01-01 02:00:00", "2040-01-01T00:00:00.250Z"},
    {"UTC0", -1, "23:59:59.250", "1969-12-31 23:59:59", "1969-12-31T23:59:59.250Z"},
};

class WallTimeTextTest : public testing::Test {
  protected:
    ~WallTimeTextTest() override {
        if (savedZone_.empty())
            unsetenv("TZ");
        else
            setenv("TZ", savedZone_.c_str(), 1);
        tzset();
    }

    // The clock of the code under test stands at instant, in its zone.
    WallTime at(const Instant& instant) {
        setenv("TZ", instant.zone, 1);
        tzset();
        return WallTime{instant.seconds, 250000};
    }

  private:
    const std::string savedZone_ = getenv("TZ") != nullptr ? getenv("TZ") : "";
};

TEST_F(WallTimeTextTest, LogTimeIsRightPast2038) {
    for (const Instant& instant : kInstants)
        EXPECT_EQ(timeText(at(instant)), instant.log) << instant.seconds << " " << instant.zone;
}

TEST_F(WallTimeTextTest, ConfigurationFileTimeIsRightPast2038) {
    const std::string path = testing::TempDir() + "kanzo_conf_" + std::to_string(getpid());
    for (const Instant& instant : kInstants) {
        ASSERT_TRUE(saveConfig(path, "ACCC8E0B1234", 1, at(instant).seconds));
        std::ifstream file(path);
        std::string line;
        std::getline(std::getline(file, line), line);
        EXPECT_EQ(line, std::string("# Modified: ") + instant.config) << instant.zone;
    }
    unlink(path.c_str());
}

TEST_F(WallTimeTextTest, JournalTimeIsRightPast2038) {
    for (const Instant& instant : kInstants) {
        const WallTime now = at(instant);
        Journal journal([now] { return now.seconds * 1000000 + now.micros; },
                        [] { return int64_t{1000000}; });
        journal.received(CardSource::plateEvent, 0, 0x2038, "AB2038");
        const std::string time = std::string("<time>") + instant.journal + "</time>";
        EXPECT_NE(journalDocument(journal.latest(1), 1000000).find(time), std::string::npos)
            << time;
    }
}

}  // namespace
