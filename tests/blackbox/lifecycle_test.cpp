// Start-up and shutdown of the daemon as a user sees them (the lines on
// standard output, the exit status, the refusals to start), and a serial line
// that goes away under it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/golden.h"
#include "tests/harness/daemon_harness.h"
#include "util/hex.h"

namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

// The daemon on dir answers the web and a panel on the cable's far end.
void expectBothSidesServe(const TempDir& dir, const Cable& cable) {
    EXPECT_THAT(webRequest(dir, "/kanzo_zul?getStatusXML"), HasSubstr("<sn>ACCC8E0B1234</sn>"));
    ChildProcess panel(panelOptions(cable.endB));
    EXPECT_TRUE(panel.waitForLine("reader 11 online"));
}

TEST(LifecycleTest, EveryStopSignalEndsTheDaemonCleanly) {
    for (auto& [line, stop] : goldenCases("stop-signals.txt")) {
        SCOPED_TRACE(line);
        const int signalNumber = stop['>'] == "SIGINT" ? SIGINT : SIGTERM;
        const bool toWebWorker = stop['@'] == "web worker";
        const bool lineThere = stop['@'].find("serial line") == std::string::npos;
        const bool socketThere = stop['@'].find("socket") == std::string::npos;
        TempDir dir;
        Cable cable(dir);
        ProcessOptions options = daemonOptions(dir, lineThere ? cable.endA : "/no/tty");
        if (!socketThere)
            options.env["FCGI_SOCKET_NAME"] = dir.file("no/fcgi.sock");
        ChildProcess daemon(options);
        ASSERT_TRUE(daemon.waitForLine("Serial port ----- open done"));
        // Either side keeps running without the other.
        ChildProcess panel(panelOptions(cable.endB));
        if (lineThere) {
            EXPECT_TRUE(panel.waitForLine("reader 11 online"));
        }
        if (socketThere) {
            EXPECT_THAT(webRequest(dir, "/kanzo_zul?getStatusXML"),
                        HasSubstr("<sn>ACCC8E0B1234</sn>"));
        } else {
            EXPECT_TRUE(daemon.waitForLine("FCGX_OpenSocket failed: " + dir.file("no/fcgi.sock")));
        }

        if (toWebWorker) {
            // The worker's thread id is what its info command logs.
            ASSERT_EQ("<DEBUG_LEVEL>5</DEBUG_LEVEL>OK",
                      webRequest(dir, "/kanzo_zul?DEBUG_LEVEL=5&info"));
            ASSERT_TRUE(daemon.waitForLine("Info "));
            const std::string worker = daemon.output().substr(daemon.output().find("\nInfo ") + 6);
            ASSERT_EQ(0, syscall(SYS_tgkill, daemon.pid(), std::stoi(worker), signalNumber));
        } else {
            daemon.signal(signalNumber);
        }
        EXPECT_EQ(0, exitCode(daemon.waitExit()));
        // In order; the web worker's lines may come between.
        EXPECT_THAT(daemon.output(),
                    ::testing::MatchesRegex(
                        "Tarvik / SerialNumber: 'ACCC8E0B1234'\nOSDP line: reader 1 at address "
                        "10, reader 2 at address 11, 9600 baud \\(" +
                        dir.file("osdp-line") +
                        "\\)\nSecure Channel: reader 1 plain, reader 2 plain\nStart program PID: " +
                        std::to_string(daemon.pid()) + "\n\n.*Serial port ----- open port\n.*" +
                        (lineThere ? "Serial port settings 9600 8N1" : "Serial port init failed!") +
                        "\n.*Serial port ----- open done\n.*Serial close port\n"
                        "Application was stopped.\n"));
        // A quit is logged at level 5, once however many threads the signal reached.
        EXPECT_EQ(toWebWorker ? 1 : 0, daemon.countLines("Quit main loop"));
        EXPECT_EQ("", daemon.errorText());
    }
}

TEST(LifecycleTest, NonStopSignalsLeaveTheDaemonServing) {
    TempDir dir;
    Cable cable(dir);
    ChildProcess daemon(daemonOptions(dir, cable.endA));
    ASSERT_TRUE(daemon.waitForLine("Serial port ----- open done"));
    for (const int signal : {SIGHUP, SIGUSR1, SIGHUP, SIGUSR1}) {
        daemon.signal(signal);
        EXPECT_THAT(webRequest(dir, "/kanzo_zul?getStatusXML"), HasSubstr("<sn>ACCC8E0B1234</sn>"))
            << strsignal(signal);
    }
    ChildProcess panel(panelOptions(cable.endB));
    EXPECT_TRUE(panel.waitForLine("reader 11 online"));
    EXPECT_TRUE(daemon.waitForLine("SIGHUP ignored", deadlineIn(kPatience), 2));
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, exitCode(daemon.waitExit()));
    EXPECT_FALSE(std::filesystem::exists(dir.file("fcgi.sock")));
}

// What a second daemon could touch of the first's: the socket file, and the
// tty's settings and exclusive mode as another opener sees them (only root
// gets past the exclusive mode; to others the tty is busy).
std::string traces(const TempDir& dir, const std::string& tty) {
    struct stat socket {};
    stat(dir.file("fcgi.sock").c_str(), &socket);
    std::string text = "socket inode " + std::to_string(socket.st_ino);
    const int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings{};
    int exclusive = -1;
    if (fd < 0 || tcgetattr(fd, &settings) != 0 || ioctl(fd, TIOCGEXCL, &exclusive) != 0)
        text += std::string(", tty ") + strerror(errno);
    else
        text += ", exclusive " + std::to_string(exclusive) + ", settings " +
                hexEncode(reinterpret_cast<const uint8_t*>(&settings), sizeof settings);
    if (fd >= 0)
        close(fd);
    return text;
}

// The lock file beside the socket is removed before each try: a lock that
// deleting a file could defeat let the second take the first's socket.
TEST(StartTest, SecondInstanceTouchesNothingOfTheFirstTimeAfterTime) {
    for (auto& [line, shared] : goldenCases("second-instances.txt")) {
        SCOPED_TRACE(line);
        TempDir dir;
        Cable cable(dir);
        ChildProcess first(daemonOptions(dir, cable.endA));
        ASSERT_TRUE(first.waitForLine("Serial port add watch"));
        ASSERT_THAT(webRequest(dir, "/kanzo_zul?getStatusXML"), HasSubstr("<sn>"));
        const std::string before = traces(dir, cable.endA);
        const bool sameLine = shared['>'].find("line") != std::string::npos;
        ProcessOptions options = daemonOptions(dir, sameLine ? cable.endA : "/no/tty");
        if (shared['>'].find("socket") == std::string::npos)
            options.env["FCGI_SOCKET_NAME"] = dir.file("other.sock");
        for (int attempt = 0; attempt < 5; ++attempt) {
            std::remove(dir.file("fcgi.sock.lock").c_str());
            ChildProcess second(options);
            EXPECT_EQ(1, exitCode(second.waitExit()));
            EXPECT_THAT(second.errorText(), HasSubstr(shared['<']));
            EXPECT_EQ(before, traces(dir, cable.endA));
        }
        expectBothSidesServe(dir, cable);
    }
}

// A kill during a rewrite of the key file, the line file or the configuration
// file leaves a temporary copy beside it; the next start removes them and
// keeps the rest.
TEST(StartTest, UnfinishedRewritesOfEveryFileAreRemovedAtStart) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("localdata"));
    // Each file as the daemon names it, and a temporary copy of it.
    const std::pair<std::string, std::string> rewrites[] = {
        {"localdata/kanzo.conf", "localdata/kanzo.conf.aZ09xQ"},
        {dir.file("osdp-keys"), "osdp-keys.k1LL3d"},
        {dir.file("osdp-line"), "osdp-line.Zz0912"}};
    for (const auto& [file, temporary] : rewrites)
        dir.write(temporary, "reader1 secure 000102030405060708090A0B0C0D0E0F\n");
    dir.write("localdata/keep", "reader1 secure 000102030405060708090A0B0C0D0E0F\n");
    ChildProcess daemon(daemonOptions(dir, "/no/tty"));
    ASSERT_TRUE(daemon.waitForLine("Serial port ----- open done"));
    for (const auto& [file, temporary] : rewrites) {
        EXPECT_EQ(1, daemon.countLines("Unfinished rewrites of " + file + " removed: 1"));
        EXPECT_FALSE(std::filesystem::exists(dir.file(temporary)));
    }
    EXPECT_TRUE(std::filesystem::exists(dir.file("localdata/keep")));
}

TEST(StartTest, PathThatIsNoSocketIsLeftAlone) {
    TempDir dir;
    Cable cable(dir);
    dir.write("fcgi.sock", "not a socket");
    ChildProcess daemon(daemonOptions(dir, cable.endA));
    EXPECT_TRUE(
        daemon.waitForLine("FCGI_SOCKET_NAME " + dir.file("fcgi.sock") + " is not a socket"));
    ChildProcess panel(panelOptions(cable.endB));
    EXPECT_TRUE(panel.waitForLine("reader 11 online"));
    EXPECT_EQ("not a socket", fileText(dir.file("fcgi.sock")));
}

TEST(StartTest, UnusableFileStopsTheStartNamingTheFile) {
    for (auto& [line, start] : goldenCases("unusable-start-files.txt")) {
        SCOPED_TRACE(line);
        TempDir dir;
        const ProcessOptions options = daemonOptions(dir, "/no/tty");
        std::remove(dir.file("parameters.conf").c_str());
        if (start['>'] != "-")
            dir.write("parameters.conf", start['>'] + "\n");
        if (start['k'] == "fifo") {
            mkfifo(dir.file("osdp-keys").c_str(), 0600);
        } else if (!start['k'].empty()) {
            dir.write("osdp-keys", "reader1 secure 000102030405060708090A0B0C0D0E0F\n");
            chmod(dir.file("osdp-keys").c_str(), std::stoi(start['k'], nullptr, 8));
        }
        if (!start['l'].empty())
            dir.write("osdp-line", start['l'] + "\n");
        ChildProcess daemon(options);
        EXPECT_EQ(1, exitCode(daemon.waitExit()));
        EXPECT_THAT(daemon.errorText(),
                    AllOf(HasSubstr(start['<']), HasSubstr(dir.file(start['@'])),
                          Not(HasSubstr("0A0B0C0D"))));
        EXPECT_EQ(0, daemon.countLines("Start program PID"));
    }
}

// A USB adapter pulled and put back: the device goes and comes again.
TEST(SerialLineTest, PulledAdapterIsReopenedWithoutSpinning) {
    TempDir dir;
    auto cable = std::make_unique<Cable>(dir);
    ChildProcess daemon(daemonOptions(dir, cable->endA));
    ASSERT_EQ("<DEBUG_LEVEL>5</DEBUG_LEVEL>", webRequest(dir, "/kanzo_zul?DEBUG_LEVEL=5"));
    {
        ChildProcess panel(panelOptions(cable->endB));
        ASSERT_TRUE(panel.waitForLine("reader 10 online"));
        // The identification, counted before it is traced.
        ASSERT_TRUE(
            daemon.waitForLine("<<< 20/20 WriteRet= G_IO_STATUS_NORMAL WriteFlush="
                               "G_IO_STATUS_NORMAL [53 8A 14 00 04 45 "));
        EXPECT_THAT(webRequest(dir, "/kanzo_zul?getStatusXML"), Not(HasSubstr("<reqOut>0<")));
        cable.reset();
    }
    ASSERT_TRUE(daemon.waitForLine("Serial port hang-up, trying to reopen"));
    // A watch woken for ever by the hung-up tty would burn a whole core.
    const long ticksBefore = daemon.cpuTicks();
    poll(nullptr, 0, 3000);
    EXPECT_LE(daemon.cpuTicks() - ticksBefore, sysconf(_SC_CLK_TCK) * 3 / 10);

    cable = std::make_unique<Cable>(dir);
    ChildProcess panel(panelOptions(cable->endB));
    EXPECT_TRUE(panel.waitForLine("reader 11 online"));
    daemon.readOutput();
    EXPECT_EQ(1, daemon.countLines("Serial port hang-up"));
    EXPECT_EQ(1, daemon.countLines("Serial port reopened"));
    EXPECT_EQ(0, daemon.countLines("Input/output error"));
}

}  // namespace
