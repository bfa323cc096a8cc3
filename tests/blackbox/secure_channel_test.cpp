// The daemon with Secure Channel keys, read by the controller tool with the
// same keys: plates posted over the web reach the panel through encrypted
// sessions; a key set over the line lands in the key file; a key file others
// may read stops the start.
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/harness/daemon_harness.h"

namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

const std::string kKey1 = "000102030405060708090A0B0C0D0E0F";
const std::string kKey2 = "F0E1D2C3B4A5968778695A4B3C2D1E0F";

std::string plateEvent(const std::string& plate, const std::string& region) {
    return "{\"plateUTF8\":\"" + plate + "\",\"roiID\":\"" + region + "\"}";
}

int exitCode(const std::optional<int>& status) {
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class SecureChannelTest : public ::testing::Test {
  protected:
    void start(const std::string& keys, mode_t mode = 0600) {
        dir.write("osdp-keys", keys);
        chmod(dir.file("osdp-keys").c_str(), mode);
        daemon = std::make_unique<ChildProcess>(daemonOptions(dir, cable.endA()));
    }

    // Runs the controller tool until its first card read; its lines.
    std::vector<std::string> readCard(const std::vector<std::string>& args) {
        ProcessOptions options;
        options.args = {kControllerBinary, "--count", "1", "--interval", "10"};
        options.args.insert(options.args.end(), args.begin(), args.end());
        options.args.push_back(cable.endB());
        ChildProcess tool(options);
        EXPECT_EQ(0, exitCode(tool.waitExit(deadlineIn(kPatience)))) << tool.errorText();
        return tool.lines();
    }

    std::string post(const std::string& query, const std::string& body) {
        return fastcgiRequest(dir.file("fcgi.sock"), body.empty() ? "GET" : "POST",
                              "/kanzo_zul?" + query, body, deadlineIn(kPatience))
            .value_or("no response");
    }

    TempDir dir;
    NullModem cable;
    std::unique_ptr<ChildProcess> daemon;
};

TEST_F(SecureChannelTest, PlatesReachThePanelThroughEachReadersOwnSession) {
    start("reader1 secure " + kKey1 + "\nreader2 secure " + kKey2 + "\n");
    ASSERT_TRUE(daemon->waitForLine("Serial port add watch", deadlineIn(kPatience)));
    EXPECT_THAT(daemon->lines(), Contains("Secure Channel: reader 1 secure, reader 2 secure"));

    const struct {
        const char* address;
        const std::string& key;
        const char* region;
    } readers[] = {{"11", kKey2, "2"}, {"10", kKey1, "1"}};
    for (const auto& reader : readers) {
        ASSERT_EQ("", post("lpr", plateEvent("AB 123 CD", reader.region)));
        const std::vector<std::string> lines =
            readCard({"--address", reader.address, "--key", reader.key});
        const std::string prefix = std::string("reader ") + reader.address;
        EXPECT_THAT(lines, Contains(prefix + " secure channel established"));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(prefix + " card format=0x12 bits=32 card=6D8CB9FB", lines.back());
    }
    // The wrong key gets no session.
    ProcessOptions wrong;
    wrong.args = {kControllerBinary, "--address", "10",        "--key", kKey2,
                  "--seconds",       "1",         cable.endB()};
    ChildProcess tool(wrong);
    EXPECT_EQ(0, exitCode(tool.waitExit(deadlineIn(kPatience))));
    EXPECT_THAT(tool.lines(), Contains("reader 10 secure channel refused"));

    daemon->readOutput();
    EXPECT_GE(daemon->countLines("Reader 2 secure session started with the base key"), 1);
    for (const std::string& line : daemon->lines()) {
        EXPECT_THAT(line, ::testing::Not(HasSubstr("0A0B0C0D")));
        EXPECT_THAT(line, ::testing::Not(HasSubstr("5A4B3C2D")));
    }
}

TEST_F(SecureChannelTest, KeySetInInstallModeIsStoredAndUsed) {
    start("reader1 install\n");
    ASSERT_TRUE(daemon->waitForLine("Serial port add watch", deadlineIn(kPatience)));
    ASSERT_EQ("OK", post("CSN32LSB_Reader1=12345378", ""));

    const std::vector<std::string> lines = readCard({"--address", "10", "--install-key", kKey1});
    EXPECT_EQ((std::vector<std::string>{
                  "reader 10 online",
                  "reader 10 id vendor=024B7E model=0 version=1 serial=0004D2B7 firmware=1.2.3",
                  "reader 10 capabilities 1:0:0 2:0:0 3:1:0 4:4:1 5:2:1 6:0:0 7:0:0 8:1:1 9:1:1 "
                  "10:146:3 12:0:0 14:0:0 15:0:0 16:1:0",
                  "reader 10 secure channel established", "reader 10 key installed",
                  "reader 10 secure channel established",
                  "reader 10 card format=0x12 bits=32 card=12345378"}),
              lines);
    EXPECT_THAT(readFile(dir.file("osdp-keys")), HasSubstr("reader1 secure " + kKey1 + "\n"));
    struct stat info;
    ASSERT_EQ(0, stat(dir.file("osdp-keys").c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);
    EXPECT_TRUE(
        daemon->waitForLine("Reader 1 secure session ended: new key set", deadlineIn(kPatience)));
}

TEST_F(SecureChannelTest, KeyFileOthersMayReadStopsTheStartWithoutShowingTheKey) {
    start("reader1 secure " + kKey1 + "\n", 0644);
    const std::optional<int> status = daemon->waitExit(deadlineIn(kPatience));
    EXPECT_EQ(1, exitCode(status));
    EXPECT_THAT(daemon->errorText(), HasSubstr(dir.file("osdp-keys")));
    EXPECT_THAT(daemon->errorText(), HasSubstr("mode 0600"));
    EXPECT_THAT(daemon->errorText(), ::testing::Not(HasSubstr(kKey1)));
    EXPECT_EQ(0, daemon->countLines("Start program PID"));
}

}  // namespace
