// Start-up and shutdown of the daemon as a user sees them: the lines on
// standard output, the exit status, and the fatal start-up errors.
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/harness/daemon_harness.h"

namespace {

using ::testing::HasSubstr;

// True when the lines hold these texts in this order (other lines between
// them allowed, e.g. those of the web worker).
::testing::AssertionResult inOrder(const std::vector<std::string>& lines,
                                   const std::vector<std::string>& expected) {
    auto at = lines.begin();
    for (const std::string& text : expected) {
        at = std::find(at, lines.end(), text);
        if (at == lines.end()) {
            return ::testing::AssertionFailure()
                   << "missing, or out of order: \"" << text
                   << "\"\nstandard output: " << ::testing::PrintToString(lines);
        }
        ++at;
    }
    return ::testing::AssertionSuccess();
}

bool exitedWith(const std::optional<int>& status, int code) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

class SignalStopTest : public ::testing::TestWithParam<int> {};

TEST_P(SignalStopTest, LogsStartAndStopInOrderAndExitsWithZero) {
    TempDir dir;
    PtyLine line;
    ChildProcess daemon(daemonOptions(dir, line.slavePath()));
    ASSERT_TRUE(daemon.waitForLine("Serial port ----- open done", deadlineIn(kPatience)));

    daemon.signal(GetParam());
    std::optional<int> status = daemon.waitExit(deadlineIn(kPatience));

    EXPECT_TRUE(exitedWith(status, 0)) << "wait status " << status.value_or(-1);
    const std::vector<std::string>& lines = daemon.lines();
    const std::string pidLine = "Start program PID: " + std::to_string(daemon.pid());
    EXPECT_TRUE(inOrder(
        lines,
        {std::string("Tarvik / SerialNumber: '") + kTestSerialNumber + "'", pidLine,
         "Serial port ----- open port", "Serial port settings 9600 8N1", "Serial port add watch",
         "Serial port ----- open done", "Serial close port", "Application was stopped."}));
    // The start line ends in a line feed of its own, so an empty line follows.
    auto pidAt = std::find(lines.begin(), lines.end(), pidLine);
    ASSERT_LT(pidAt + 1, lines.end());
    EXPECT_EQ("", pidAt[1]);
    EXPECT_EQ("Application was stopped.", lines.back());
    // Lines of the verbose levels stay out at the start-up level 1.
    EXPECT_EQ(0, daemon.countLines("Set sigterm, sigint handler"));
    EXPECT_EQ(0, daemon.countLines("Quit main loop"));
    EXPECT_EQ(0, daemon.countLines("Serial init."));
    EXPECT_EQ("", daemon.errorText());
}

INSTANTIATE_TEST_SUITE_P(SigtermAndSigint, SignalStopTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGTERM ? "Sigterm" : "Sigint");
                         });

// Kernel thread id of the web worker: the thread of the program's own name
// other than the main thread (GLib's helper thread is "gmain"); 0 if none.
// The web worker's thread id, as its "info" command logs it. Thread names do
// not tell: GLib's own helper thread carries the program's name until it has
// renamed itself.
pid_t webWorkerThread(ChildProcess& daemon, const std::string& socket) {
    if (fastcgiRequest(socket, "GET", "/kanzo_zul?info", "", deadlineIn(kPatience)) != "OK" ||
        !daemon.waitForLine("Info ", deadlineIn(kPatience))) {
        return 0;
    }
    for (const std::string& line : daemon.lines()) {
        if (line.rfind("Info ", 0) == 0)
            return static_cast<pid_t>(std::stol(line.substr(5)));
    }
    return 0;
}

TEST(LifecycleTest, SigtermToTheWebWorkerQuitsOnceOnTheMainLoop) {
#if defined(UNDER_THREAD_SANITIZER)
    // ThreadSanitizer holds a signal back until the receiving thread next
    // passes through an intercepted call; the worker sits in libfcgi's accept,
    // restarted after the signal, so the signal would never be handled.
    GTEST_SKIP() << "signals to a thread blocked in uninstrumented code are deferred under TSan";
#endif
    TempDir dir;
    PtyLine line;
    ChildProcess daemon(daemonOptions(dir, line.slavePath()));
    ASSERT_TRUE(daemon.waitForLine("Serial port ----- open done", deadlineIn(kPatience)));
    // The web worker is up once it answers; the level makes the quit visible.
    ASSERT_EQ("<DEBUG_LEVEL>5</DEBUG_LEVEL>",
              fastcgiRequest(dir.file("fcgi.sock"), "GET", "/kanzo_zul?DEBUG_LEVEL=5", "",
                             deadlineIn(kPatience))
                  .value_or("no response"));
    const pid_t worker = webWorkerThread(daemon, dir.file("fcgi.sock"));
    ASSERT_NE(0, worker);

    ASSERT_EQ(0, syscall(SYS_tgkill, daemon.pid(), worker, SIGTERM));
    std::optional<int> status = daemon.waitExit(deadlineIn(kPatience));

    EXPECT_TRUE(exitedWith(status, 0)) << "wait status " << status.value_or(-1);
    EXPECT_EQ(1, daemon.countLines("Quit main loop"));
    EXPECT_TRUE(inOrder(daemon.lines(),
                        {"Quit main loop", "Serial close port", "Application was stopped."}));
}

// Without the serial number the daemon cannot name itself: it stops before
// its start line, whether the file lacks the parameter or is not there.
TEST(LifecycleTest, MissingSerialNumberStopsWithStatusOneAndMessageOnStandardError) {
    for (const char* file : {"parameters.conf", "absent.conf"}) {
        TempDir dir;
        ProcessOptions options = daemonOptions(dir, dir.file("no-such-tty"));
        dir.write("parameters.conf", "Properties.System.Other=1\n");
        options.env["ZUL_PARAMETER_FILE"] = dir.file(file);
        ChildProcess daemon(options);

        std::optional<int> status = daemon.waitExit(deadlineIn(kPatience));

        EXPECT_TRUE(exitedWith(status, 1)) << file << ": wait status " << status.value_or(-1);
        EXPECT_THAT(daemon.errorText(), HasSubstr("'Properties.System.SerialNumber'")) << file;
        EXPECT_THAT(daemon.errorText(), HasSubstr(dir.file(file)));
        EXPECT_EQ(0, daemon.countLines("Start program PID")) << file;
        EXPECT_TRUE(daemon.lines().empty()) << file << ": " << daemon.lines().front();
    }
}

TEST(LifecycleTest, AbsentSerialDeviceLeavesTheWebSideRunningUntilSigterm) {
    TempDir dir;
    ChildProcess daemon(daemonOptions(dir, dir.file("no-such-tty")));
    ASSERT_TRUE(daemon.waitForLine("Serial port ----- open done", deadlineIn(kPatience)));
    EXPECT_EQ(1, daemon.countLines("Serial port init failed!"));
    EXPECT_EQ(0, daemon.countLines("Serial port add watch"));

    // The web side answers while the serial side is down.
    std::optional<std::string> status = fastcgiRequest(
        dir.file("fcgi.sock"), "GET", "/kanzo_zul?getStatusXML", "", deadlineIn(kPatience));
    ASSERT_TRUE(status);
    EXPECT_EQ(kTestSerialNumber, xmlValue(*status, "sn").value_or("?"));
    ASSERT_TRUE(daemon.running());

    daemon.signal(SIGTERM);
    std::optional<int> exit = daemon.waitExit(deadlineIn(kPatience));

    EXPECT_TRUE(exitedWith(exit, 0)) << "wait status " << exit.value_or(-1);
    EXPECT_TRUE(inOrder(daemon.lines(), {"Serial port ----- open done", "Serial close port",
                                         "Application was stopped."}));
    EXPECT_EQ("", daemon.errorText());
}

}  // namespace
