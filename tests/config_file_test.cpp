#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "app/globals.h"
#include "app/log.h"
#include "osdp/osdp_peripheral.h"
#include "web/web_service.h"

namespace {

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs each test in an empty working directory of its own, since the file's
// path is relative to it.
class ConfigFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        savedLevel = DebugLevel.load();
        savedSerial = DeviceSerial;
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        savedCwd = cwd;
        std::string pattern = ::testing::TempDir() + "kanzo_conf_XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        workDir = pattern;
        ASSERT_EQ(chdir(workDir.c_str()), 0);
        DebugLevel.store(1);
    }
    void TearDown() override {
        unlink("localdata/kanzo.conf");
        rmdir("localdata");
        EXPECT_EQ(chdir(savedCwd.c_str()), 0);
        rmdir(workDir.c_str());
        DebugLevel.store(savedLevel);
        DeviceSerial = savedSerial;
    }
    bool saveRequired() {
        MutexLock lock(osdp.mutex);
        return osdp.saveRequired;
    }
    void setSaveRequired() {
        MutexLock lock(osdp.mutex);
        osdp.saveRequired = true;
    }

    OsdpPeripheral osdp;
    WebService web{osdp};
    int32_t savedLevel = 0;
    std::string savedSerial;
    std::string savedCwd;
    std::string workDir;
};

TEST_F(ConfigFileTest, FileHoldsFiveCommentLines) {
    ASSERT_EQ(mkdir("localdata", 0755), 0);
    DeviceSerial = "ACCC8E0A1B2C";
    DebugLevel.store(3);
    std::ofstream("localdata/kanzo.conf") << "# hand-written line\nMORE\nAND MORE\nAND MORE\n"
                                             "AND MORE\nAND MORE\n";
    const time_t before = time(nullptr);
    ASSERT_TRUE(osdp.saveConfig());
    const time_t after = time(nullptr);

    const std::string text = fileText("localdata/kanzo.conf");
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
}

TEST_F(ConfigFileTest, EmptySerialLeavesTheBlankOnLineOne) {
    ASSERT_EQ(mkdir("localdata", 0755), 0);
    DeviceSerial = "";
    ASSERT_TRUE(osdp.saveConfig());
    EXPECT_EQ(fileText("localdata/kanzo.conf").rfind("# Tarvik S/N: \n# Modified: ", 0), 0u);
}

TEST_F(ConfigFileTest, SaveClearsSaveRequired) {
    ASSERT_EQ(mkdir("localdata", 0755), 0);
    setSaveRequired();
    EXPECT_EQ(web.processKey("saveConfig", ""), "<response>OK</response>");
    EXPECT_FALSE(saveRequired());
}

TEST_F(ConfigFileTest, RejectedLevelDoesNotRewriteTheFile) {
    ASSERT_EQ(mkdir("localdata", 0755), 0);
    std::ofstream("localdata/kanzo.conf") << "untouched";
    EXPECT_EQ(web.processKey("DEBUG_LEVEL", "-1"), "<response>Fail</response>\n");
    EXPECT_EQ(web.processKey("DEBUG_LEVEL", "x"), "<response>Invalid Param</response>\n");
    EXPECT_EQ(fileText("localdata/kanzo.conf"), "untouched");

    EXPECT_EQ(web.processKey("DEBUG_LEVEL", "4"), "<DEBUG_LEVEL>4</DEBUG_LEVEL>");
    EXPECT_NE(fileText("localdata/kanzo.conf").find("\n# DEBUG_LEVEL = 4\n"), std::string::npos);
}

TEST_F(ConfigFileTest, MissingDirectoryIsReportedAsFailure) {
    setSaveRequired();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(web.processKey("saveConfig", ""), "<response>Failed</response>");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "zul_osdp/saveConfig: Can't write config file: localdata/kanzo.conf\n");
    EXPECT_TRUE(saveRequired());
    EXPECT_NE(access("localdata", F_OK), 0);

    // The new level holds in memory all the same.
    EXPECT_EQ(web.processKey("DEBUG_LEVEL", "3"), "<DEBUG_LEVEL>3</DEBUG_LEVEL>");
    EXPECT_EQ(DebugLevel.load(), 3);
}

}  // namespace
