// A serial line that goes away under the running daemon (a USB adapter pulled,
// the far end of a pty closed) and comes back at the same path.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "tests/harness/daemon_harness.h"
#include "tests/osdp_test_frames.h"
#include "tools/osdp_controller_core.h"

namespace {

// Points the symlink at target in one step, as udev does for a device name.
void pointLink(const std::string& link, const std::string& target) {
    const std::string fresh = link + ".new";
    unlink(fresh.c_str());
    ASSERT_EQ(0, symlink(target.c_str(), fresh.c_str()));
    ASSERT_EQ(0, rename(fresh.c_str(), link.c_str()));
}

TEST(SerialHangupTest, LostLineIsLoggedOnceCostsNoCpuAndServiceResumesOnANewLine) {
    TempDir dir;
    const std::string device = dir.file("ttyOSDP");
    auto first = std::make_unique<PtyLine>();
    pointLink(device, first->slavePath());
    ChildProcess daemon(daemonOptions(dir, device));
    ASSERT_TRUE(daemon.waitForLine("Serial port add watch", deadlineIn(kPatience)));
    first->write(buildCommandFrame(10, 1, kOsdpCommandPoll));
    ASSERT_EQ(replyFrame(10, 1, 0x40), first->readFrame(deadlineIn(kPatience)));

    // The device goes, and its name with it, as when an adapter is pulled;
    // the pty's number may meanwhile be given to another test's line.
    pointLink(device, dir.file("gone"));
    first->hangUp();
    ASSERT_TRUE(daemon.waitForLine("Serial port hang-up, trying to reopen", deadlineIn(kPatience)));

    // A resource check, not a speed test: a watch woken for ever by the
    // hung-up tty would burn a whole core over this window.
    const long ticksBefore = daemon.cpuTicks();
    const int windowMs = 3000;
    poll(nullptr, 0, windowMs);
    const long ticksUsed = daemon.cpuTicks() - ticksBefore;
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    EXPECT_LE(ticksUsed, ticksPerSecond * windowMs / 1000 / 10)
        << "CPU ticks used while the line was gone";
    daemon.readOutput();
    EXPECT_EQ(1, daemon.countLines("Serial port hang-up"));
    EXPECT_EQ(0, daemon.countLines("Input/output error"));
    EXPECT_TRUE(daemon.running());

    PtyLine second;
    pointLink(device, second.slavePath());
    ASSERT_TRUE(daemon.waitForLine("Serial port reopened", deadlineIn(kPatience)));
    second.write(buildCommandFrame(11, 1, kOsdpCommandPoll));
    EXPECT_EQ(replyFrame(11, 1, 0x40), second.readFrame(deadlineIn(kPatience)));
    EXPECT_EQ(1, daemon.countLines("Serial port reopened"));

    daemon.signal(SIGTERM);
    std::optional<int> status = daemon.waitExit(deadlineIn(kPatience));
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_EQ("Application was stopped.", daemon.lines().back());
}

}  // namespace
