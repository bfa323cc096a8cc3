// The web side of the running daemon: its FastCGI socket with the CGI header
// block that web servers ask for, and the installer's status page in a real
// browser while the controller tool polls both plain readers. Headless
// Chromium opens a test page through nginx that opens the status page in a
// window of its own, has pages of another site try to change something
// through the installer's browser, uses the page's buttons and form, then
// writes what a person would see into its own document, which Chromium
// prints. It does so from the camera itself and from a LAN address.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/golden.h"
#include "tests/harness/daemon_harness.h"
#include "web/fastcgi_codec.h"

namespace {

using ::testing::HasSubstr;

// A private network namespace in which 192.0.2.2 (the camera) and 192.0.2.3
// (another site) sit on its loopback device: to a browser they are LAN
// addresses, neither loopback nor secure, as a camera's is on most sites.
class LanNamespace {
  public:
    LanNamespace()
        : holder_(programOptions({"/usr/bin/unshare", "-n", "/bin/sh", "-c",
                                  "ip link set lo up && ip addr add 192.0.2.2/32 dev lo && "
                                  "ip addr add 192.0.2.3/32 dev lo && echo ready && "
                                  "exec sleep infinity"})) {}

    // True once it is set up; else *refusal says why.
    bool ready(std::string* refusal) {
        if (holder_.waitForLine("ready"))
            return true;
        holder_.waitExit();
        *refusal = holder_.errorText();
        return false;
    }

    // The command that runs a program inside.
    std::vector<std::string> enter() const {
        return {"/usr/bin/nsenter", "-t", std::to_string(holder_.pid()), "-n"};
    }

  private:
    ChildProcess holder_;
};

// Headless Chromium through launcher on the test page at camera. Without the
// networking switches it tries to reach outside services, which a closed
// network refuses; as root it needs --no-sandbox. The test page opens windows.
std::vector<std::string> chromiumArgs(const TempDir& dir, const std::string& camera,
                                      const std::string& other, const std::string& login,
                                      const std::vector<std::string>& launcher) {
    std::vector<std::string> args = launcher;
    args.insert(
        args.end(),
        {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--disable-popup-blocking", "--user-data-dir=" + dir.file("chromium"),
         "--virtual-time-budget=30000", "--dump-dom",
         "http://" + camera + "/test.html?login=" + login + "&other=http://" + other});
    return args;
}

// The status page test (tests/fixtures/status-page-test.html) in Chromium,
// through nginx with the shipped snippet at camera, the other site's pages
// (attack.html) at other, while the controller tool polls both readers;
// nginx and Chromium run through launcher. The installer logs in as login
// ("user:password"), unless empty.
void checkPageInBrowser(const std::string& camera, const std::string& other,
                        const std::string& login, const std::vector<std::string>& launcher) {
    TempDir dir;
    Cable cable(dir);
    ChildProcess daemon(behindWebServer(daemonOptions(dir, cable.endA)));
    // 0x53 inside the card data: the panel must not take it for a new frame.
    ASSERT_THAT(webRequest(dir, "/kanzo_zul?CSN32LSB_Reader2=12345378"), ::testing::EndsWith("OK"));
    ChildProcess panel(panelOptions(cable.endB, {"--count", "2", "--led", "green"}));
    dir.write("test.html", fileText(KANZO_FIXTURES "/status-page-test.html"));
    dir.write("attack.html", fileText(KANZO_FIXTURES "/attack.html"));
    Nginx nginx(dir, shippedServers(dir, camera, other), launcher);
    ASSERT_TRUE(panel.waitForLine("reader 11 online"));

    ChildProcess browser(programOptions(chromiumArgs(dir, camera, other, login, launcher)));
    EXPECT_EQ(0, exitCode(browser.waitExit(deadlineIn(std::chrono::seconds(60)))));
    // Every page of the other site ends on the camera's refusal. Markup in a
    // plate is outside text: the page shows it as typed.
    const std::string refused = "&lt;response&gt;Forbidden&lt;/response&gt;|";
    EXPECT_THAT(browser.output(),
                HasSubstr("<pre id=\"out\">" + refused + refused + refused + refused +
                          "polling|polling|set|clear|AB123CD|6D8CB9FB|1837939195|"
                          "No plate: empty, blanks or control characters only|true|"
                          "C4C2A930|(3301091632)|KZ&lt;i&gt;14&lt;/i&gt;|0|none|"
                          "0 delivered, 0 too old, 0 dropped|"
                          "KZ&lt;i&gt;14&lt;/i&gt; \u2192 C4C2A930 (3301091632) confirmed, "
                          "polled after N ms, "
                          "plain|LED 0 temporary green for 3 s +N ms</pre>"))
        << browser.errorText();
    for (const char* line :
         {"reader 10 id vendor=024B7E model=0 version=1 serial=7367325C firmware=1.2.3",
          "reader 11 capabilities 1:0:0 2:1:1 3:1:0 4:4:1 5:2:1 6:1:1 7:0:0 8:1:0 9:0:0 10:146:3 "
          "12:0:0 14:0:0 15:0:0 16:1:0",
          "reader 11 card format=0x12 bits=32 card=12345378",
          "reader 10 card format=0x12 bits=32 card=C4C2A930", "reader 10 led green"}) {
        EXPECT_TRUE(panel.waitForLine(line)) << line;
    }
    EXPECT_EQ(0, exitCode(panel.waitExit()));
    // Cards A9, AA, C0FFEE and those of the plates "EVIL 42" and "EVIL", and
    // reader 2's tamper: nothing of the other site reached the panel. Nor did
    // the card the page showed for "AB 123 CD".
    for (const char* sent : {"card=000000A9", "card=000000AA", "card=00C0FFEE", "card=8D2D6A48",
                             "card=107A670F", "reader 11 status tamper=1", "card=6D8CB9FB"})
        EXPECT_EQ(panel.countLines(sent), 0) << sent;
    EXPECT_THAT(webRequest(dir, "/kanzo_zul?getJournalXML=256"),
                ::testing::Not(HasSubstr("<plate>AB123CD</plate>")));
    EXPECT_THAT(webRequest(dir, "/kanzo_zul?getStatusXML"),
                HasSubstr("<DEBUG_LEVEL>1</DEBUG_LEVEL>"));
    daemon.readOutput();
    EXPECT_GE(daemon.countLines("Refused control request from "), 4) << daemon.output();
}

TEST(FastcgiTest, WorkerAnswersEveryCraftedRequestCorrectly) {
    TempDir dir;
    ChildProcess daemon(behindWebServer(daemonOptions(dir, "/no/tty")));
    const std::string text =
        "Content-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n\r\n";
    for (auto& [line, request] : goldenCases("fastcgi-requests.txt"))
        EXPECT_EQ(text + request['<'], webRequest(dir, request['>'], request['='])) << line;
    // A body over several records, cut at the daemon's buffer.
    EXPECT_EQ(text + "<response>Unknown param:lpr=\n</response>\n",
              webRequest(dir, "/kanzo_zul?lpr", "x=;base64," + std::string(100000, 'A')));
    // One byte over the 1 MiB limit: refused whole.
    EXPECT_EQ(text + "<response>Body too large</response>\n",
              webRequest(dir, "/kanzo_zul?lpr", std::string(1024 * 1024 + 1, ' ')));
    EXPECT_TRUE(
        daemon.waitForLine("zul_osdp/saveConfig: Can't write config file: localdata/kanzo.conf"));
    EXPECT_THAT(webRequest(dir, "/kanzo_zul?getStatusXML"),
                HasSubstr("<lastCard1>6D8CB9FB</lastCard1>"));
    // The page alone is HTML; beside any other pair it is text, so that a name
    // echo never becomes markup.
    EXPECT_EQ(0u, webRequest(dir, "/kanzo_zul?page")
                      .rfind("Content-Type: text/html; charset=utf-8\r\n"
                             "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n"
                             "Content-Security-Policy: frame-ancestors 'none'\r\n\r\n"
                             "<!DOCTYPE html>",
                             0));
    EXPECT_EQ(0u, webRequest(dir, "/kanzo_zul?page&name=a").rfind(text + "a<!DOCTYPE html>", 0));

    // Clients that hang up after part of a record header, in a request, and
    // after a whole request without parameters, before its answer.
    const std::string begin = fcgiBegin();
    for (const std::string& bytes :
         {begin.substr(0, 3), begin,
          begin + fcgiRecord(kFcgiParams, "") + fcgiRecord(kFcgiStdin, "")})
        EXPECT_EQ(0, sendToSocket(dir, bytes));
    EXPECT_EQ(text + "OK", webRequest(dir, "/kanzo_zul?info"));
    // The web server runs as another user.
    struct stat info {};
    ASSERT_EQ(0, stat(dir.file("fcgi.sock").c_str(), &info));
    EXPECT_EQ(0777u, info.st_mode & 0777);
}

// The plate event that ended the daemon: brackets 100 000 deep that a comment
// hid from the depth check beside the parser. Refused; the worker serves on.
TEST(FastcgiTest, HiddenDeepNestingIsRefusedAndTheWorkerServesOn) {
    TempDir dir;
    ChildProcess daemon(daemonOptions(dir, "/no/tty"));
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_EQ("", webRequest(dir, "/kanzo_zul?lpr",
                             R"({"plateUTF8":"DEEP","roiID":1,"a":/*"*/)" + deep + R"(/*"*/})"));
    EXPECT_TRUE(daemon.waitForLine("LPR refused: the body is not valid JSON"));
    EXPECT_EQ("OK", webRequest(dir, "/kanzo_zul?info"));
}

// The browser on the camera itself: loopback, where Chromium marks the
// requests of another site's pages (Sec-Fetch-Site) and nginx asks no login.
TEST(StatusPageTest, PageWorksAndOtherSitesChangeNothingOnTheCameraItself) {
    if (access("/usr/bin/chromium", X_OK) != 0)
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps installs it)";
    checkPageInBrowser("127.0.0.1:18481", "127.0.0.2:18483", "", {});
}

// The installer's browser on the site's network, logged in, over plain HTTP:
// Chromium marks nothing there (no Sec-Fetch-Site, no Origin on a GET
// navigation) and resends the installer's credentials to whatever page sends
// it to the camera.
TEST(StatusPageTest, PageWorksAndOtherSitesChangeNothingFromTheLan) {
    if (access("/usr/bin/chromium", X_OK) != 0)
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps installs it)";
    LanNamespace lan;
    std::string refusal;
    if (!lan.ready(&refusal)) {
        if (refusal.find("unshare failed") != std::string::npos)
            GTEST_SKIP() << "the kernel gives this process no network namespace: " << refusal;
        FAIL() << "no network namespace with the LAN addresses: " << refusal;
    }
    checkPageInBrowser("192.0.2.2:80", "192.0.2.3:80", "installer:s3cret", lan.enter());
}

// What a device on the site's network can do through the shipped snippet: a
// LAN address (presented in X-Real-IP, which only this test's nginx heeds)
// without a password changes nothing; with the installer's password the card
// goes out; the plate application on the camera itself needs none.
TEST(ShippedNginxTest, OnlyTheCameraAndLoggedInInstallersPutCardsOnTheLine) {
    PolledDaemon camera(true);
    Nginx nginx(camera.dir, shippedServers(camera.dir, "127.0.0.1:18484", "127.0.0.1:18486"));
    for (auto& [line, request] : goldenCases("shipped-nginx-requests.txt")) {
        std::vector<std::string> args = {"/usr/bin/curl", "-s", "-o",
                                         "/dev/null",     "-w", "%{http_code}"};
        for (const std::string& arg : linesOf(request['>']))
            args.push_back(arg);
        ChildProcess curl(programOptions(args));
        EXPECT_EQ(0, exitCode(curl.waitExit()));
        EXPECT_EQ(curl.output(), request['<']) << line;
    }
    ChildProcess& panel = *camera.panel;
    EXPECT_TRUE(panel.waitForLine("reader 10 card format=0x12 bits=32 card=600D1E55"));
    EXPECT_TRUE(panel.waitForLine("reader 11 card format=0x12 bits=32 card=6D8CB9FB"));
    EXPECT_EQ(
        panel.countLines("BAD") + panel.countLines("card=107A670F") + panel.countLines("tamper=1"),
        0);
}

}  // namespace
