// Two cameras on one RS-485 pair, as an entry and an exit lane share a
// panel's reader port: the second camera's line file puts its readers at 12
// and 13, and one controller polls all four.
#include <poll.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "osdp/protocol.h"
#include "tests/harness/bus.h"
#include "tests/harness/daemon_harness.h"
#include "tools/controller_frames.h"
#include "util/coding.h"

namespace {

using ::testing::HasSubstr;

// The frames one end of the bus sent: commands when it is the controller's,
// replies when it is a device's (each start byte opens a frame of the length
// it announces; our programs send nothing between frames).
std::vector<std::vector<uint8_t>> framesFrom(const std::vector<Bus::Passage>& passages, int end) {
    std::vector<uint8_t> bytes;
    for (const Bus::Passage& passage : passages) {
        if (passage.from == end)
            bytes.insert(bytes.end(), passage.bytes.begin(), passage.bytes.end());
    }
    std::vector<std::vector<uint8_t>> frames;
    for (size_t at = 0; at + kHeaderLength <= bytes.size();) {
        const size_t length = decodeFixed16(&bytes[at + kLengthOffset]);
        if (bytes[at] != kStartOfMessage || length < kMinChecksumFrame ||
            at + length > bytes.size())
            break;
        frames.emplace_back(bytes.begin() + at, bytes.begin() + at + length);
        at += length;
    }
    return frames;
}

// True once the camera's journal shows a card the panel moved on from.
bool confirmed(const TempDir& camera) {
    for (const Deadline deadline = deadlineIn(kPatience); millisLeft(deadline) > 0;
         poll(nullptr, 0, 20)) {
        if (webRequest(camera, "/kanzo_zul?getJournalXML").find("<fate>confirmed</fate>") !=
            std::string::npos)
            return true;
    }
    return false;
}

TEST(MultidropTest, TwoCamerasOnOnePairEachGiveTheirOwnCardsOnce) {
    TempDir entry;
    TempDir exit;
    Bus bus(entry, 2);
    ChildProcess first(daemonOptions(entry, bus.deviceEnds[0]));
    ProcessOptions secondOptions = daemonOptions(exit, bus.deviceEnds[1]);
    exit.write("parameters.conf", "Properties.System.SerialNumber=ACCC8E0B5678\n");
    exit.write("osdp-line", "# the exit lane\nreader1 12\nreader2 13\n");
    ChildProcess second(secondOptions);
    ASSERT_TRUE(first.waitForLine("Serial port add watch"));
    ASSERT_TRUE(second.waitForLine("Serial port add watch"));

    auto panel = std::make_unique<ChildProcess>(
        panelOptions(bus.controllerEnd,
                     {"--address", "10", "--address", "11", "--address", "12", "--address", "13"}));
    for (const char* address : {"10", "11", "12", "13"})
        ASSERT_TRUE(panel->waitForLine("reader " + std::string(address) + " online")) << address;
    const std::string entryCard = webRequest(entry, "/kanzo_zul?sha1=AB123CD");
    const std::string exitCard = webRequest(exit, "/kanzo_zul?sha1=XY987");
    EXPECT_EQ("", webRequest(entry, "/kanzo_zul?lpr", R"({"plateUTF8":"AB 123 CD","roiID":"1"})"));
    EXPECT_EQ("", webRequest(exit, "/kanzo_zul?lpr", R"({"plateUTF8":"XY 987","roiID":"2"})"));
    EXPECT_TRUE(panel->waitForLine("reader 10 card format=0x12 bits=32 card=" + entryCard));
    EXPECT_TRUE(panel->waitForLine("reader 13 card format=0x12 bits=32 card=" + exitCard));
    // The panel moved on from each card: a second read of it would have come.
    EXPECT_TRUE(confirmed(entry));
    EXPECT_TRUE(confirmed(exit));
    panel->readOutput();
    EXPECT_EQ(2, panel->countLines(" card "));
    EXPECT_EQ(1, panel->countLines("reader 10 card "));
    EXPECT_EQ(1, panel->countLines("reader 13 card "));
    panel.reset();

    // Each camera hears the other's commands and replies, and answers neither:
    // one reply a command (the last may have gone unanswered when the panel
    // stopped), each from the camera's own readers.
    const std::vector<Bus::Passage> passages = bus.passages();
    const size_t commands = framesFrom(passages, 0).size();
    size_t replies = 0;
    for (const auto& [end, first] : {std::pair{1, 0x8A}, std::pair{2, 0x8C}}) {
        for (const std::vector<uint8_t>& frame : framesFrom(passages, end)) {
            EXPECT_TRUE(frame[kAddressOffset] == first || frame[kAddressOffset] == first + 1)
                << "camera " << end << " sent a frame at " << int{frame[kAddressOffset]};
            ++replies;
        }
    }
    EXPECT_GT(commands, 0u);
    EXPECT_LE(replies, commands);
    EXPECT_GE(replies + 1, commands);
    for (const TempDir* camera : {&entry, &exit}) {
        EXPECT_THAT(webRequest(*camera, "/kanzo_zul?getDiagnosticsXML"),
                    ::testing::Not(HasSubstr("<foreignFrames>0<")));
    }
}

}  // namespace
