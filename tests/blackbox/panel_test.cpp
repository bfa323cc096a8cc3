// The daemon read through Secure Channel by the controller tool over a virtual
// null-modem, as a panel reads it; and the tool's own refusals.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/golden.h"
#include "tests/harness/bus.h"
#include "tests/harness/daemon_harness.h"
#include "tests/transcript.h"
#include "tools/controller_frames.h"

namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kKey1 = "000102030405060708090A0B0C0D0E0F";
const std::string kKey2 = "F0E1D2C3B4A5968778695A4B3C2D1E0F";

// The next reply the line brings, within the patience; none: an empty frame.
OsdpReply awaitReply(int line, ReplyCollector* collector) {
    OsdpReply reply;
    for (const Deadline deadline = deadlineIn(kPatience);
         !collector->nextReply(&reply) && millisLeft(deadline) > 0;) {
        pollfd ready{line, POLLIN, 0};
        poll(&ready, 1, millisLeft(deadline));
        uint8_t bytes[256];
        const ssize_t count = read(line, bytes, sizeof bytes);
        if (count > 0)
            collector->push(bytes, static_cast<size_t>(count));
    }
    return reply;
}

// Reader 1's answer to an osdp_COMSET of data sent to its address, 10, on the
// line's end at path.
OsdpReply comsetReply(const std::string& path, const std::vector<uint8_t>& data) {
    const int line = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const std::vector<uint8_t> comset = buildCommandFrame(0x0A, 1, kCmdComset, data);
    EXPECT_TRUE(writeAll(line, comset.data(), comset.size()));
    ReplyCollector collector;
    const OsdpReply reply = awaitReply(line, &collector);
    close(line);
    return reply;
}

// Reader 1 in install mode takes its key over the line; reader 2 has its own.
TEST(PanelTest, PlatesReachThePanelThroughEachReadersSecureSession) {
    TempDir dir;
    Cable cable(dir);
    dir.write("osdp-keys", "reader1 install\nreader2 secure " + kKey2 + "\n");
    chmod(dir.file("osdp-keys").c_str(), 0600);
    ChildProcess daemon(daemonOptions(dir, cable.endA));
    auto readCard = [&](const std::string& region, std::vector<std::string> args) {
        EXPECT_EQ("", webRequest(dir, "/kanzo_zul?lpr",
                                 R"({"plateUTF8":"AB 123 CD","roiID":")" + region + "\"}"));
        args.insert(args.end(), {"--count", "1"});
        ChildProcess tool(panelOptions(cable.endB, args));
        EXPECT_EQ(0, exitCode(tool.waitExit())) << tool.errorText();
        return tool.lines();
    };

    EXPECT_THAT(readCard("2", {"--address", "11", "--key", kKey2}),
                Contains("reader 11 card format=0x12 bits=32 card=6D8CB9FB"));
    EXPECT_THAT(readCard("1", {"--address", "10", "--install-key", kKey1}),
                ::testing::IsSupersetOf({"reader 10 key installed",
                                         "reader 10 card format=0x12 bits=32 card=6D8CB9FB"}));
    EXPECT_THAT(fileText(dir.file("osdp-keys")), HasSubstr("reader1 secure " + kKey1 + "\n"));

    // The old key gets no session.
    ChildProcess wrong(programOptions(
        {kControllerBinary, "--address", "10", "--key", kKey2, "--seconds", "1", cable.endB}));
    EXPECT_EQ(0, exitCode(wrong.waitExit()));
    EXPECT_THAT(wrong.lines(), Contains("reader 10 secure channel refused"));

    EXPECT_TRUE(daemon.waitForLine("Reader 1 secure session ended: new key set"));
    EXPECT_THAT(daemon.output(), HasSubstr("Reader 2 secure session started with the base key"));
    EXPECT_THAT(daemon.output() + daemon.errorText(),
                AllOf(Not(HasSubstr("0A0B0C0D")), Not(HasSubstr("5A4B3C2D"))));
}

TEST(PanelTest, ToolReportsEachOutcomeWithItsExitStatus) {
    TempDir dir;
    Cable cable(dir);
    for (auto& [line, outcome] : goldenCases("controller-tool-outcomes.txt")) {
        std::vector<std::string> args = {kControllerBinary};
        for (const std::string& arg : linesOf(outcome['>']))
            args.push_back(arg == "LINE" ? cable.endB : arg);
        ChildProcess tool(programOptions(args));
        EXPECT_EQ(std::stoi(outcome['!']), exitCode(tool.waitExit())) << line;
        EXPECT_THAT(tool.errorText() + tool.output(),
                    AllOf(HasSubstr(outcome['<']), Not(HasSubstr("0A0B0C0D0E"))))
            << line;
    }
}

// The engine's plain transcripts against the running daemon: the serial link
// must hand every frame over and write each reply whole, and the web commands
// offer cards and set tamper as the transcripts' directives do.
TEST(PanelTest, DaemonAnswersThePlainTranscriptsByteForByte) {
    for (const char* name :
         {"plain-replies.txt", "plain-resend.txt", "plain-reoffer-after-new-session.txt",
          "checksum-replies.txt", "security-bit-in-plain-mode.txt"}) {
        TempDir dir;
        Cable cable(dir);
        ChildProcess daemon(daemonOptions(dir, cable.endA));
        ASSERT_TRUE(daemon.waitForLine("Serial port ----- open done"));
        const int line = open(cable.endB.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(line, 0);
        ReplyCollector collector;
        for (const TranscriptLine& item :
             readTranscript(std::string(KANZO_TRANSCRIPTS) + "/" + name)) {
            SCOPED_TRACE(std::string(name) + ":" + std::to_string(item.number));
            const std::string& last = item.args.empty() ? "" : item.args.back();
            if (item.word == ">") {
                ASSERT_TRUE(writeAll(line, item.bytes.data(), item.bytes.size()));
            } else if (item.word == "<") {
                EXPECT_EQ(item.bytes, awaitReply(line, &collector).frame);
            } else if (item.word == "card") {
                EXPECT_EQ("OK", webRequest(dir, "/osdp.cgi?CSN32LSB_Reader" + item.args.at(0) +
                                                    "=" + last));
            } else if (item.word == "tamper") {
                webRequest(dir,
                           "/osdp.cgi?tamper" + item.args.at(0) + "=" + (last == "on" ? "1" : "0"));
            } else {
                ASSERT_EQ("expect", item.word);
                EXPECT_THAT(
                    webRequest(dir, "/osdp.cgi?getStatusXML&getDiagnosticsXML"),
                    HasSubstr("<" + item.args.at(0) + ">" + last + "</" + item.args.at(0) + ">"));
            }
        }
        close(line);
    }
}

// The panel moves reader 1 to 12 and the line to 19200: the reader answers
// there at once, the same reader by its identification, and again after a
// restart, from the line file the daemon wrote.
TEST(PanelTest, MovedReaderAnswersAtItsNewAddressAndRateAfterARestart) {
    TempDir dir;
    Bus bus(dir, 1);
    auto daemon = std::make_unique<ChildProcess>(daemonOptions(dir, bus.deviceEnds[0]));
    ASSERT_TRUE(daemon->waitForLine("Serial port add watch"));
    const std::vector<uint8_t> to12At19200 = {0x0C, 0x00, 0x4B, 0x00, 0x00};
    const OsdpReply answer = comsetReply(bus.controllerEnd, to12At19200);
    EXPECT_EQ(std::make_tuple(answer.address, answer.code, answer.data),
              std::make_tuple(uint8_t{0x0A}, kReplyCom, to12At19200));
    EXPECT_TRUE(daemon->waitForLine("Reader 1 moved by the panel to address 12, line at 19200"));
    EXPECT_TRUE(daemon->waitForLine("Serial port settings 19200 8N1"));
    const auto expectReader12 = [&bus] {
        ChildProcess panel(panelOptions(bus.controllerEnd, {"--baud", "19200", "--address", "12"}));
        EXPECT_TRUE(panel.waitForLine(
            "reader 12 id vendor=024B7E model=0 version=1 serial=7367325C firmware=1.2.3"));
    };
    expectReader12();

    daemon->signal(SIGTERM);
    EXPECT_EQ(0, exitCode(daemon->waitExit()));
    EXPECT_THAT(fileText(dir.file("osdp-line")), HasSubstr("reader1 12\nreader2 11\nbaud 19200\n"));
    daemon = std::make_unique<ChildProcess>(daemonOptions(dir, bus.deviceEnds[0]));
    EXPECT_TRUE(daemon->waitForLine(
        "OSDP line: reader 1 at address 12, reader 2 at address 11, 19200 baud"));
    expectReader12();
    // The osdp_COM may be taken late, at the new rate; every reply after it
    // went out at 19200.
    const std::vector<Bus::Passage> passages = bus.passages();
    const auto com = std::find_if(passages.begin(), passages.end(),
                                  [](const Bus::Passage& p) { return p.from == 1; });
    ASSERT_NE(com, passages.end());
    for (auto passage = com + 1; passage != passages.end(); ++passage)
        EXPECT_TRUE(passage->from != 1 || passage->baud == 19200) << passage->baud;
}

// A line file that cannot be written: the panel has been told, so the move
// holds for this run, and the log says it will not survive a restart.
TEST(PanelTest, MoveThatCannotBeKeptHoldsUntilARestart) {
    TempDir dir;
    Cable cable(dir);
    ProcessOptions options = daemonOptions(dir, cable.endA);
    options.env["ZUL_LINE_FILE"] = dir.file("gone/osdp-line");
    ChildProcess daemon(options);
    ASSERT_TRUE(daemon.waitForLine("Serial port add watch"));
    const std::vector<uint8_t> to12 = {0x0C, 0x80, 0x25, 0x00, 0x00};
    EXPECT_EQ(to12, comsetReply(cable.endB, to12).data);
    EXPECT_TRUE(daemon.waitForLine("Line file " + dir.file("gone/osdp-line") +
                                   " not written, the move holds until a restart: "));
    ChildProcess panel(panelOptions(cable.endB, {"--address", "12"}));
    EXPECT_TRUE(panel.waitForLine("reader 12 online"));
}

}  // namespace
