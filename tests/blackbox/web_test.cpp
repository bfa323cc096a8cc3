// The web side of the running daemon: its FastCGI socket with the CGI header
// block that web servers ask for, and the installer's status page in a real
// browser while the controller tool polls both plain readers. Headless
// Chromium opens the page through nginx, in a frame of a test page that waits
// until both readers show polling and sends a plate with the page's form, then
// writes what a person would see into its own document, which Chromium prints.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/golden.h"
#include "tests/harness/daemon_harness.h"

namespace {

using ::testing::HasSubstr;

std::string fileText(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

// The servers of nginx with the shipped snippet on port (socket and password
// file in dir, the installer's password "s3cret" set by kanzo_zul-passwd),
// taking the client address from X-Real-IP; port + 2 serves dir as another
// site. Not the demos' ports (8480, 18480, 18482).
std::string shippedServers(const TempDir& dir, int port) {
    dir.write("password", "s3cret\n");
    ProcessOptions passwd =
        programOptions({"/bin/sh", KANZO_DEPLOY "/kanzo_zul-passwd", "installer"});
    passwd.env["KANZO_HTPASSWD"] = dir.file("htpasswd");
    passwd.input = dir.file("password");
    EXPECT_EQ(0, exitCode(ChildProcess(passwd).waitExit()));
    std::string snippet = fileText(KANZO_DEPLOY "/nginx-kanzo_zul.conf");
    auto replace = [&snippet](const std::string& from, const std::string& to) {
        const size_t at = snippet.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        snippet.replace(at, from.size(), to);
    };
    replace("/run/kanzo_zul/fcgi.sock", dir.file("fcgi.sock"));
    replace("/etc/kanzo_zul/htpasswd", dir.file("htpasswd"));
    replace("include fastcgi_params;", "include /etc/nginx/fastcgi_params;");
    dir.write("kanzo_zul.conf", snippet);
    return "set_real_ip_from 127.0.0.1; real_ip_header X-Real-IP; server { listen 127.0.0.1:" +
           std::to_string(port) + "; root .; include kanzo_zul.conf; } server { listen 127.0.0.1:" +
           std::to_string(port + 2) + "; root .; }";
}

TEST(FastcgiTest, WorkerAnswersEveryCraftedRequestCorrectly) {
    TempDir dir;
    ProcessOptions options = daemonOptions(dir, "/no/tty");
    options.env["ZUL_CGI_HEADERS"] = "1";
    ChildProcess daemon(options);
    const std::string text =
        "Content-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n\r\n";
    for (auto& [line, request] : goldenCases("fastcgi-requests.txt"))
        EXPECT_EQ(text + request['<'], webRequest(dir, request['>'], request['='])) << line;
    // A body over several records, cut at the daemon's buffer.
    EXPECT_EQ(text + "<response>Unknown param:lpr=\n</response>\n",
              webRequest(dir, "/kanzo_zul?lpr", "x=;base64," + std::string(100000, 'A')));
    EXPECT_TRUE(
        daemon.waitForLine("zul_osdp/saveConfig: Can't write config file: localdata/kanzo.conf"));
    EXPECT_THAT(webRequest(dir, "/kanzo_zul?getStatusXML"),
                HasSubstr("<lastCard1>6D8CB9FB</lastCard1>"));
    // The page alone is HTML; beside any other pair it is text, so that a name
    // echo never becomes markup.
    EXPECT_EQ(0u, webRequest(dir, "/kanzo_zul?page")
                      .rfind("Content-Type: text/html; charset=utf-8\r\n"
                             "X-Content-Type-Options: nosniff\r\n\r\n<!DOCTYPE html>",
                             0));
    EXPECT_EQ(0u, webRequest(dir, "/kanzo_zul?page&name=a").rfind(text + "a<!DOCTYPE html>", 0));

    // Clients that hang up after part of a record header, in a request, and
    // after a whole request without parameters, before its answer.
    const std::string begin = fcgiRecord(1, std::string("\0\1\0\0\0\0\0\0", 8));
    for (const std::string& bytes :
         {begin.substr(0, 3), begin, begin + fcgiRecord(4, "") + fcgiRecord(5, "")})
        EXPECT_EQ(0, sendToSocket(dir, bytes));
    EXPECT_EQ(text + "OK", webRequest(dir, "/kanzo_zul?info"));
    // The web server runs as another user.
    struct stat info {};
    ASSERT_EQ(0, stat(dir.file("fcgi.sock").c_str(), &info));
    EXPECT_EQ(0777u, info.st_mode & 0777);
}

TEST(StatusPageTest, PageWorksInARealBrowser) {
    if (access("/usr/bin/chromium", X_OK) != 0)
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps installs it)";
    TempDir dir;
    Cable cable(dir);
    ProcessOptions daemonSetup = daemonOptions(dir, cable.endA);
    daemonSetup.env["ZUL_CGI_HEADERS"] = "1";
    ChildProcess daemon(daemonSetup);
    // 0x53 inside the card data: the panel must not take it for a new frame.
    ASSERT_THAT(webRequest(dir, "/kanzo_zul?CSN32LSB_Reader2=12345378&tamper2=1"),
                ::testing::EndsWith("OKOK"));
    ChildProcess panel(programOptions(
        {kControllerBinary, "--interval", "10", "--count", "2", "--led", "green", cable.endB}));

    dir.write("test.html", fileText(KANZO_FIXTURES "/status-page-test.html"));
    dir.write("attack.html", fileText(KANZO_FIXTURES "/attack.html"));
    Nginx nginx(dir, shippedServers(dir, 18481));
    ASSERT_TRUE(panel.waitForLine("reader 11 online"));

    // Without the networking switches it tries to reach outside services,
    // which a closed network refuses; as root it needs --no-sandbox.
    ChildProcess browser(programOptions(
        {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--user-data-dir=" + dir.file("chromium"), "--virtual-time-budget=30000",
         "--dump-dom", "http://127.0.0.1:18481/test.html"}));
    EXPECT_EQ(0, exitCode(browser.waitExit(deadlineIn(std::chrono::seconds(60)))));
    // Markup in a plate is outside text: the page shows it as typed.
    EXPECT_THAT(browser.output(),
                HasSubstr("<pre id=\"out\">polling|polling|C4C2A930|KZ&lt;i&gt;14&lt;/i&gt;|0|none|"
                          "0 delivered, 0 too old, 0 dropped|"
                          "KZ&lt;i&gt;14&lt;/i&gt; \u2192 C4C2A930 confirmed, polled after N ms, "
                          "plain|LED 0 temporary green for 3 s +N ms</pre>"))
        << browser.errorText();
    for (const char* line :
         {"reader 10 id vendor=024B7E model=0 version=1 serial=7367325C firmware=1.2.3",
          "reader 11 capabilities 1:0:0 2:1:1 3:1:0 4:4:1 5:2:1 6:1:1 7:0:0 8:1:0 9:0:0 10:146:3 "
          "12:0:0 14:0:0 15:0:0 16:1:0",
          "reader 11 card format=0x12 bits=32 card=12345378", "reader 11 status tamper=1 power=0",
          "reader 10 card format=0x12 bits=32 card=C4C2A930", "reader 10 led green"}) {
        EXPECT_TRUE(panel.waitForLine(line)) << line;
    }
    EXPECT_EQ(0, exitCode(panel.waitExit()));
    EXPECT_EQ(panel.countLines("C0FFEE") + panel.countLines("card=107A670F"), 0);
    daemon.readOutput();
    EXPECT_GE(daemon.countLines("request from 127.0.0.1: "), 3) << daemon.output();
}

// What a device on the site's network can do through the shipped snippet: a
// LAN address (presented in X-Real-IP, which only this test's nginx heeds)
// without a password changes nothing; with the installer's password the card
// goes out; the plate application on the camera itself needs none.
TEST(ShippedNginxTest, OnlyTheCameraAndLoggedInInstallersPutCardsOnTheLine) {
    TempDir dir;
    Cable cable(dir);
    ProcessOptions daemonSetup = daemonOptions(dir, cable.endA);
    daemonSetup.env["ZUL_CGI_HEADERS"] = "1";
    ChildProcess daemon(daemonSetup);
    ChildProcess panel(programOptions({kControllerBinary, "--interval", "10", cable.endB}));
    Nginx nginx(dir, shippedServers(dir, 18484));
    ASSERT_TRUE(panel.waitForLine("reader 11 online"));
    for (auto& [line, request] : goldenCases("shipped-nginx-requests.txt")) {
        std::vector<std::string> args = {"/usr/bin/curl", "-s", "-o",
                                         "/dev/null",     "-w", "%{http_code}"};
        std::istringstream lines(request['>']);
        for (std::string arg; std::getline(lines, arg);)
            args.push_back(arg);
        ChildProcess curl(programOptions(args));
        EXPECT_EQ(0, exitCode(curl.waitExit()));
        EXPECT_EQ(curl.output(), request['<']) << line;
    }
    EXPECT_TRUE(panel.waitForLine("reader 10 card format=0x12 bits=32 card=600D1E55"));
    EXPECT_TRUE(panel.waitForLine("reader 11 card format=0x12 bits=32 card=6D8CB9FB"));
    EXPECT_EQ(
        panel.countLines("BAD") + panel.countLines("card=107A670F") + panel.countLines("tamper=1"),
        0);
}

}  // namespace
