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
#include <sstream>
#include <string>
#include <vector>

#include "osdp/journal.h"
#include "tests/golden.h"
#include "util/config_file.h"
#include "web/journal_document.h"

namespace {

// The instants of tests/fixtures/wall-times.txt, each with its texts.
class WallTimeTextTest : public testing::Test {
  protected:
    ~WallTimeTextTest() override {
        if (savedZone_.empty())
            unsetenv("TZ");
        else
            setenv("TZ", savedZone_.c_str(), 1);
        tzset();
    }

    static std::vector<GoldenCase> instants() { return goldenCases("wall-times.txt"); }

    // The clock of the code under test stands at the instant ("ZONE SECONDS"),
    // 250 ms into its second, in its zone.
    static WallTime at(const std::string& instant) {
        std::istringstream fields(instant);
        std::string zone;
        int64_t seconds = 0;
        fields >> zone >> seconds;
        setenv("TZ", zone.c_str(), 1);
        tzset();
        return WallTime{seconds, 250000};
    }

  private:
    const std::string savedZone_ = getenv("TZ") != nullptr ? getenv("TZ") : "";
};

TEST_F(WallTimeTextTest, LogTimeIsRightPast2038) {
    for (auto& [line, text] : instants())
        EXPECT_EQ(timeText(at(text['>'])), text['l']) << line;
}

TEST_F(WallTimeTextTest, ConfigurationFileTimeIsRightPast2038) {
    const std::string path = testing::TempDir() + "kanzo_conf_" + std::to_string(getpid());
    for (auto& [line, text] : instants()) {
        ASSERT_TRUE(saveConfig(path, "ACCC8E0B1234", 1, at(text['>']).seconds));
        std::ifstream file(path);
        std::string modified;
        std::getline(std::getline(file, modified), modified);
        EXPECT_EQ(modified, "# Modified: " + text['c']) << line;
    }
    unlink(path.c_str());
}

TEST_F(WallTimeTextTest, JournalTimeIsRightPast2038) {
    for (auto& [line, text] : instants()) {
        const WallTime now = at(text['>']);
        Journal journal([now] { return now.seconds * 1000000 + now.micros; },
                        [] { return int64_t{1000000}; });
        journal.received(CardSource::plateEvent, 0, 0x2038, "AB2038");
        const std::string time = "<time>" + text['j'] + "</time>";
        EXPECT_NE(journalDocument(journal.latest(1), 1000000).find(time), std::string::npos)
            << line << " " << time;
    }
}

}  // namespace
