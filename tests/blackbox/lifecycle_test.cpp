// Start-up and shutdown of the daemon as a user sees them (the lines on
// standard output, the exit status, the refusals to start), and a serial line
// that goes away under it.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/harness/daemon_harness.h"

namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

// The daemon on dir answers the web and a panel on the cable's far end.
void expectBothSidesServe(const TempDir& dir, const Cable& cable) {
    EXPECT_THAT(webRequest(dir, "/kanzo_zul?getStatusXML"), HasSubstr("<sn>ACCC8E0B1234</sn>"));
    ChildProcess panel(programOptions({kControllerBinary, "--interval", "10", cable.endB}));
    EXPECT_TRUE(panel.waitForLine("reader 11 online"));
}

TEST(LifecycleTest, EveryStopSignalEndsTheDaemonCleanly) {
    const struct {
        const char* name;
        int signal;
        bool toWebWorker;  // else to the process, as a service manager sends it
        bool lineThere;
        bool socketThere;
    } stops[] = {
        {"SIGTERM", SIGTERM, false, true, true},
        {"SIGINT without the serial device", SIGINT, false, false, true},
        {"SIGTERM without the socket", SIGTERM, false, true, false},
        {"SIGTERM to the web worker", SIGTERM, true, true, true},
    };
    for (const auto& stop : stops) {
        SCOPED_TRACE(stop.name);
#if defined(UNDER_THREAD_SANITIZER)
        // The worker sits in libfcgi's accept, uninstrumented and restarted
        // after the signal: ThreadSanitizer would never hand the signal over.
        if (stop.toWebWorker)
            continue;
#endif
        TempDir dir;
        Cable cable(dir);
        ProcessOptions options = daemonOptions(dir, stop.lineThere ? cable.endA : "/no/tty");
        if (!stop.socketThere)
            options.env["FCGI_SOCKET_NAME"] = dir.file("no/fcgi.sock");
        ChildProcess daemon(options);
        ASSERT_TRUE(daemon.waitForLine("Serial port ----- open done"));
        // Either side keeps running without the other.
        ChildProcess panel(programOptions({kControllerBinary, "--interval", "10", cable.endB}));
        if (stop.lineThere) {
            EXPECT_TRUE(panel.waitForLine("reader 11 online"));
        }
        if (stop.socketThere) {
            EXPECT_THAT(webRequest(dir, "/kanzo_zul?getStatusXML"),
                        HasSubstr("<sn>ACCC8E0B1234</sn>"));
        } else {
            EXPECT_TRUE(daemon.waitForLine("FCGX_OpenSocket failed: " + dir.file("no/fcgi.sock")));
        }

        if (stop.toWebWorker) {
            // The worker's thread id is what its info command logs.
            ASSERT_EQ("<DEBUG_LEVEL>5</DEBUG_LEVEL>OK",
                      webRequest(dir, "/kanzo_zul?DEBUG_LEVEL=5&info"));
            ASSERT_TRUE(daemon.waitForLine("Info "));
            const std::string worker = daemon.output().substr(daemon.output().find("\nInfo ") + 6);
            ASSERT_EQ(0, syscall(SYS_tgkill, daemon.pid(), std::stoi(worker), stop.signal));
        } else {
            daemon.signal(stop.signal);
        }
        EXPECT_EQ(0, exitCode(daemon.waitExit()));
        // In order; the web worker's lines may come between.
        EXPECT_THAT(
            daemon.output(),
            ::testing::MatchesRegex(
                "Tarvik / SerialNumber: 'ACCC8E0B1234'\nSecure Channel: reader 1 plain, "
                "reader 2 plain\nStart program PID: " +
                std::to_string(daemon.pid()) + "\n\n.*Serial port ----- open port\n.*" +
                (stop.lineThere ? "Serial port settings 9600 8N1" : "Serial port init failed!") +
                "\n.*Serial port ----- open done\n.*Serial close port\n"
                "Application was stopped.\n"));
        // A quit is logged at level 5, once however many threads the signal reached.
        EXPECT_EQ(stop.toWebWorker ? 1 : 0, daemon.countLines("Quit main loop"));
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
    ChildProcess panel(programOptions({kControllerBinary, "--interval", "10", cable.endB}));
    EXPECT_TRUE(panel.waitForLine("reader 11 online"));
    EXPECT_TRUE(daemon.waitForLine("SIGHUP ignored", deadlineIn(kPatience), 2));
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, exitCode(daemon.waitExit()));
    EXPECT_FALSE(std::filesystem::exists(dir.file("fcgi.sock")));
}

TEST(StartTest, SecondInstanceIsRefusedWhileTheFirstServes) {
    const struct {
        const char* name;
        bool sameLine;
        bool sameSocket;
        const char* error;
    } cases[] = {
        {"same line", true, false, "is in use"},
        {"same socket", false, true, "fcgi.sock is in use by another instance"},
        {"both", true, true, "fcgi.sock is in use by another instance"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Cable cable(dir);
        ChildProcess first(daemonOptions(dir, cable.endA));
        ASSERT_TRUE(first.waitForLine("Serial port add watch"));
        ProcessOptions options = daemonOptions(dir, c.sameLine ? cable.endA : "/no/tty");
        if (!c.sameSocket)
            options.env["FCGI_SOCKET_NAME"] = dir.file("other.sock");
        ChildProcess second(options);
        EXPECT_EQ(1, exitCode(second.waitExit()));
        EXPECT_THAT(second.errorText(), HasSubstr(c.error));
        expectBothSidesServe(dir, cable);
    }
}

// libfcgi aborts the process on a parameter of 2 GiB announced in one record;
// the service manager starts it again, and nothing left behind may stop that.
TEST(StartTest, NextStartServesAfterAnAbortOnACraftedRequest) {
    TempDir dir;
    Cable cable(dir);
    {
        ChildProcess daemon(daemonOptions(dir, cable.endA));
        ASSERT_TRUE(daemon.waitForLine("Serial port add watch"));
        ASSERT_THAT(webRequest(dir, "/kanzo_zul?getStatusXML"), HasSubstr("<sn>"));
        dir.write("crafted", std::string("\1\1\0\1\0\10\0\0\0\1\0\0\0\0\0\0"
                                         "\1\4\0\1\0\10\0\0\xC0\0\0\0\xC0\0\0\0",
                                         32));
        ProcessOptions client = programOptions(
            {"/usr/bin/socat", "-u", "STDIN", "UNIX-CONNECT:" + dir.file("fcgi.sock")});
        client.input = dir.file("crafted");
        ChildProcess(client).waitExit();
        // An abort; AddressSanitizer's allocator ends it with status 1 instead.
        EXPECT_NE(0, exitCode(daemon.waitExit()));
        ASSERT_FALSE(daemon.running());
    }
    ChildProcess daemon(daemonOptions(dir, cable.endA));
    expectBothSidesServe(dir, cable);
}

TEST(StartTest, PathThatIsNoSocketIsLeftAlone) {
    TempDir dir;
    Cable cable(dir);
    dir.write("fcgi.sock", "not a socket");
    ChildProcess daemon(daemonOptions(dir, cable.endA));
    EXPECT_TRUE(
        daemon.waitForLine("FCGI_SOCKET_NAME " + dir.file("fcgi.sock") + " is not a socket"));
    ChildProcess panel(programOptions({kControllerBinary, "--interval", "10", cable.endB}));
    EXPECT_TRUE(panel.waitForLine("reader 11 online"));
    std::ifstream file(dir.file("fcgi.sock"));
    EXPECT_EQ("not a socket", std::string(std::istreambuf_iterator<char>(file), {}));
}

TEST(StartTest, UnusableFileStopsTheStartNamingTheFile) {
    const struct {
        const char* parameters;  // nullptr: no parameter file
        mode_t keyFileMode;      // 0: no key file
        const char* file;
        const char* error;
    } cases[] = {
        {"Properties.System.Other=1\n", 0, "parameters.conf", "'Properties.System.SerialNumber'"},
        {nullptr, 0, "parameters.conf", "'Properties.System.SerialNumber'"},
        {"Properties.System.SerialNumber=1\n", 0644, "osdp-keys", "mode 0600"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const ProcessOptions options = daemonOptions(dir, "/no/tty");
        std::remove(dir.file("parameters.conf").c_str());
        if (c.parameters != nullptr)
            dir.write("parameters.conf", c.parameters);
        if (c.keyFileMode != 0) {
            dir.write("osdp-keys", "reader1 secure 000102030405060708090A0B0C0D0E0F\n");
            chmod(dir.file("osdp-keys").c_str(), c.keyFileMode);
        }
        ChildProcess daemon(options);
        EXPECT_EQ(1, exitCode(daemon.waitExit())) << c.error;
        EXPECT_THAT(daemon.errorText(), AllOf(HasSubstr(c.error), HasSubstr(dir.file(c.file)),
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
        ChildProcess panel(programOptions({kControllerBinary, "--interval", "10", cable->endB}));
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
    ChildProcess panel(programOptions({kControllerBinary, "--interval", "10", cable->endB}));
    EXPECT_TRUE(panel.waitForLine("reader 11 online"));
    daemon.readOutput();
    EXPECT_EQ(1, daemon.countLines("Serial port hang-up"));
    EXPECT_EQ(1, daemon.countLines("Serial port reopened"));
    EXPECT_EQ(0, daemon.countLines("Input/output error"));
}

}  // namespace
