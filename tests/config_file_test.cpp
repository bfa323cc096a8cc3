// The configuration file that saveConfig writes, and the replies around it.
#include <ctime>
#include <fstream>
#include <regex>
#include <string>

#include "tests/web_fixture.h"

namespace {

using ConfigFileTest = WebFixture;

TEST_F(ConfigFileTest, FileHoldsFiveCommentLines) {
    DeviceSerial = "ACCC8E0A1B2C";
    DebugLevel.store(3);
    std::ofstream(osdp.configPath) << "# hand-written line\nMORE\nAND MORE\nAND MORE\n"
                                      "AND MORE\nAND MORE\n";
    const time_t before = time(nullptr);
    ASSERT_TRUE(osdp.saveConfig());
    const time_t after = time(nullptr);

    const std::string text = configText();
    std::smatch match;
    ASSERT_TRUE(
        std::regex_match(text, match,
                         std::regex("# Tarvik S/N: ACCC8E0A1B2C\n"
                                    "# Modified: (\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d)\n"
                                    "# DEBUG_LEVEL = 3\n"
                                    "# -{46}\n\n")))
        << text;
    char expected[2][32];
    for (int i = 0; i < 2; ++i) {
        const time_t t = i == 0 ? before : after;
        struct tm local {};
        localtime_r(&t, &local);
        strftime(expected[i], sizeof expected[i], "%Y-%m-%d %H:%M:%S", &local);
    }
    EXPECT_TRUE(match[1] == expected[0] || match[1] == expected[1]) << match[1];

    // Without a serial number the blank after the colon stays.
    DeviceSerial = "";
    ASSERT_TRUE(osdp.saveConfig());
    EXPECT_EQ(configText().rfind("# Tarvik S/N: \n# Modified: ", 0), 0u);
}

TEST_F(ConfigFileTest, RejectedLevelDoesNotRewriteTheFile) {
    std::ofstream(osdp.configPath) << "untouched";
    EXPECT_EQ(web.processKey("DEBUG_LEVEL", "-1"), "<response>Fail</response>\n");
    EXPECT_EQ(web.processKey("DEBUG_LEVEL", "x"), "<response>Invalid Param</response>\n");
    EXPECT_EQ(configText(), "untouched");

    EXPECT_EQ(web.processKey("DEBUG_LEVEL", "4"), "<DEBUG_LEVEL>4</DEBUG_LEVEL>");
    EXPECT_NE(configText().find("\n# DEBUG_LEVEL = 4\n"), std::string::npos);
}

// The daemon's own path, localdata/kanzo.conf in its working directory, is
// run in the black-box FastCGI test; here a directory that is not there.
TEST_F(ConfigFileTest, MissingDirectoryIsReportedAsFailure) {
    osdp.configPath = ::testing::TempDir() + "kanzo_no_such_dir/kanzo.conf";
    {
        MutexLock lock(osdp.mutex);
        osdp.saveRequired = true;
    }
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(web.processKey("saveConfig", ""), "<response>Failed</response>");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "zul_osdp/saveConfig: Can't write config file: " + osdp.configPath + "\n");
    EXPECT_TRUE(osdp.status().saveRequired);

    // The new level holds in memory all the same.
    EXPECT_EQ(web.processKey("DEBUG_LEVEL", "3"), "<DEBUG_LEVEL>3</DEBUG_LEVEL>");
    EXPECT_EQ(DebugLevel.load(), 3);
}

}  // namespace
