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
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/harness/daemon_harness.h"

namespace {

using ::testing::HasSubstr;

// nginx with the shipped snippet on port (socket and password file in dir,
// the installer's password "s3cret" set by kanzo_zul-passwd), taking the
// client address from X-Real-IP; port + 2 serves dir as another site. Not the
// demos' ports (8480, 18480, 18482).
class ShippedNginx {
  public:
    ShippedNginx(const TempDir& dir, int port) : nginx_(start(dir, port)) {
        // nginx writes its pid file once it listens.
        for (Deadline end = deadlineIn(kPatience);
             access(dir.file("nginx.pid").c_str(), F_OK) != 0 && SteadyClock::now() < end;) {
            poll(nullptr, 0, 10);
        }
    }

  private:
    static ProcessOptions start(const TempDir& dir, int port) {
        dir.write("password", "s3cret\n");
        ProcessOptions passwd =
            programOptions({"/bin/sh", KANZO_DEPLOY "/kanzo_zul-passwd", "installer"});
        passwd.env["KANZO_HTPASSWD"] = dir.file("htpasswd");
        passwd.input = dir.file("password");
        EXPECT_EQ(0, exitCode(ChildProcess(passwd).waitExit()));
        std::ifstream file(KANZO_DEPLOY "/nginx-kanzo_zul.conf");
        std::string snippet((std::istreambuf_iterator<char>(file)), {});
        auto replace = [&snippet](const std::string& from, const std::string& to) {
            const size_t at = snippet.find(from);
            ASSERT_NE(at, std::string::npos) << from;
            snippet.replace(at, from.size(), to);
        };
        replace("/run/kanzo_zul/fcgi.sock", dir.file("fcgi.sock"));
        replace("/etc/kanzo_zul/htpasswd", dir.file("htpasswd"));
        replace("include fastcgi_params;", "include /etc/nginx/fastcgi_params;");
        dir.write("kanzo_zul.conf", snippet);
        dir.write("nginx.conf",
                  "daemon off; master_process off; pid nginx.pid; events {} http {"
                  " access_log off; client_body_temp_path body; fastcgi_temp_path fastcgi;"
                  " set_real_ip_from 127.0.0.1; real_ip_header X-Real-IP;"
                  " server { listen 127.0.0.1:" +
                      std::to_string(port) +
                      "; root .; include kanzo_zul.conf; }"
                      " server { listen 127.0.0.1:" +
                      std::to_string(port + 2) + "; root .; } }");
        return programOptions({"/usr/sbin/nginx", "-p", dir.path(), "-e", dir.file("error.log"),
                               "-c", dir.file("nginx.conf")});
    }

    ChildProcess nginx_;
};

TEST(FastcgiTest, WorkerAnswersEveryCraftedRequestCorrectly) {
    TempDir dir;
    ProcessOptions options = daemonOptions(dir, "/no/tty");
    options.env["ZUL_CGI_HEADERS"] = "1";
    ChildProcess daemon(options);
    const std::string text =
        "Content-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n\r\n";
    const struct {
        const char* uri;
        std::string body;
        std::string response;
    } cases[] = {
        {"/kanzo_zul", "", "Failed to parse query"},
        {"/kanzo_zul?", "", ""},
        {"/kanzo_zul?getConfigXML&sha1=ab%20123cd&tamper1=1&CSN32LSB_Reader1=zz&saveConfig", "",
         "<response>\n</response>\n6D8CB9FBOK<response>Invalid Param</response>\n"
         "<response>Failed</response>"},
        {"/kanzo_zul?info&name=Kanzo+Zul%21&name&sha1=abc&name=c", "",
         "Kanzo Zul!cOK<response>Unknown param:name=Kanzo Zul!</response>\n"
         "<response>Unknown param:name=</response>\n03FCFDB8"
         "<response>Unknown param:name=c</response>\n"},
        // A body over several records, cut at the daemon's buffer.
        {"/kanzo_zul?lpr", "x=;base64," + std::string(100000, 'A'),
         "<response>Unknown param:lpr=\n</response>\n"},
        {"/kanzo_zul?lpr", R"({"plateUTF8":"AB 123 CD","roiID":"1"})", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text + c.response, webRequest(dir, c.uri, c.body)) << c.uri;
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
    const std::string begin("\1\1\0\1\0\10\0\0\0\1\0\0\0\0\0\0", 16);
    for (const std::string& bytes :
         {begin.substr(0, 3), begin, begin + std::string("\1\4\0\1\0\0\0\0\1\5\0\1\0\0\0\0", 16)}) {
        dir.write("crafted", bytes);
        ProcessOptions client = programOptions(
            {"/usr/bin/socat", "-u", "STDIN", "UNIX-CONNECT:" + dir.file("fcgi.sock")});
        client.input = dir.file("crafted");
        EXPECT_EQ(0, exitCode(ChildProcess(client).waitExit()));
    }
    EXPECT_EQ(text + "OK", webRequest(dir, "/kanzo_zul?info"));
    // The web server runs as another user.
    struct stat info {};
    ASSERT_EQ(0, stat(dir.file("fcgi.sock").c_str(), &info));
    EXPECT_EQ(0777u, info.st_mode & 0777);
}

// One FastCGI record of request 1.
std::string record(char type, const std::string& content) {
    const char header[] = {1,
                           type,
                           0,
                           1,
                           static_cast<char>(content.size() >> 8),
                           static_cast<char>(content.size() & 0xFF),
                           0,
                           0};
    return std::string(header, sizeof header) + content;
}

// A client that connects and sends nothing, and one that stops in the middle
// of a plate event's body, hold the one worker only until their deadline.
TEST(FastcgiTest, StalledClientDoesNotHoldTheWorker) {
    TempDir dir;
    ChildProcess daemon(daemonOptions(dir, "/no/tty"));
    ASSERT_EQ("OK", webRequest(dir, "/kanzo_zul?info"));
    const std::string params = std::string("\16\4REQUEST_METHODPOST") +
                               std::string("\13\16REQUEST_URI/kanzo_zul?lpr") +
                               std::string("\13\11REMOTE_ADDR127.0.0.1");
    const std::string event = R"({"plateUTF8":"AB123CD","roiID":"1"})";
    const std::string midBody = record(1, std::string("\0\1\0\0\0\0\0\0", 8)) + record(4, params) +
                                record(4, "") + record(5, event).substr(0, 8 + 10);
    for (const std::string& sent : {std::string(), midBody}) {
        const int client = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        dir.file("fcgi.sock").copy(address.sun_path, sizeof address.sun_path - 1);
        ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address));
        ASSERT_EQ(static_cast<ssize_t>(sent.size()), write(client, sent.data(), sent.size()));
        EXPECT_EQ("OK", webRequest(dir, "/kanzo_zul?info"));
        close(client);
    }
    EXPECT_TRUE(daemon.waitForLine("POST body broke off: request dropped"));
    EXPECT_THAT(webRequest(dir, "/kanzo_zul?getStatusXML"), HasSubstr("<lastCard1>0</lastCard1>"));
}

// A page of another site, opened on the same machine (the browser is on
// loopback, so only its cross-site marks can stop it): a picture, a form
// posted as text/plain and a no-cors fetch, each trying to give a card.
constexpr char kAttackPage[] =
    R"(<img src="http://127.0.0.1:18481/kanzo_zul/api?CSN32LSB_Reader2=C0FFEE">
<iframe name="sink"></iframe>
<form id="f" method="POST" enctype="text/plain" target="sink"
      action="http://127.0.0.1:18481/kanzo_zul/api?lpr">
<input name='{"plateUTF8":"EVIL","roiID":"2","x":"' value='"}'></form>
<script>
f.submit();
fetch("http://127.0.0.1:18481/kanzo_zul/api?CSN32LSB_Reader2=C0FFEE",
      {mode: "no-cors", method: "POST", credentials: "include"});
</script>)";

// C4C2A930 is the card of the plate: the last 32 bits of SHA-1("KZ<i>14</i>").
// The other site's page is opened first and given time to do its worst.
constexpr char kTestPage[] = R"(<iframe src="http://localhost:18483/attack.html"></iframe>
<iframe id="f" src="/kanzo_zul/api?page"></iframe>
<pre id="out"></pre>
<script>
f.onload = async () => {
  const $ = (id) => f.contentDocument.getElementById(id);
  const text = (...ids) => ids.map((id) => $(id).textContent).join("|");
  const until = async (test) => {
    for (let i = 0; i < 100 && !test(); i++) await new Promise((r) => setTimeout(r, 100));
  };
  await until(() => text("polling1", "polling2") === "polling|polling");
  const cards = text("waiting1", "cards1");
  $("plate").value = "KZ <i>14</i>";
  $("region").value = "1";
  $("send").click();
  await until(() => $("lastCard1").textContent === "C4C2A930");
  out.textContent = text("polling1", "polling2", "lastCard1", "lastPlate1") + "|" +
                    $("lastPlate1").children.length + "|" + cards;
};
</script>)";

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
    ChildProcess panel(
        programOptions({kControllerBinary, "--interval", "10", "--count", "2", cable.endB}));

    dir.write("test.html", kTestPage);
    dir.write("attack.html", kAttackPage);
    ShippedNginx nginx(dir, 18481);
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
    EXPECT_THAT(browser.output(), HasSubstr("<pre id=\"out\">polling|polling|C4C2A930|"
                                            "KZ&lt;i&gt;14&lt;/i&gt;|0|none|"
                                            "0 delivered, 0 too old, 0 dropped</pre>"))
        << browser.errorText();
    for (const char* line :
         {"reader 10 id vendor=024B7E model=0 version=1 serial=0004D2B7 firmware=1.2.3",
          "reader 11 capabilities 1:0:0 2:0:0 3:1:0 4:4:1 5:2:1 6:0:0 7:0:0 8:1:1 9:0:0 10:146:3 "
          "12:0:0 14:0:0 15:0:0 16:1:0",
          "reader 11 card format=0x12 bits=32 card=12345378", "reader 11 status tamper=1 power=0",
          "reader 10 card format=0x12 bits=32 card=C4C2A930"}) {
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
    ShippedNginx nginx(dir, 18484);
    ASSERT_TRUE(panel.waitForLine("reader 11 online"));
    const std::string api = "http://127.0.0.1:18484/kanzo_zul/api";
    const struct {
        std::vector<std::string> curl;
        const char* status;
    } cases[] = {
        {{"-H", "X-Real-IP: 192.168.1.50", api + "?CSN32LSB_Reader2=BAD1"}, "401"},
        {{"-H", "X-Real-IP: 192.168.1.50", "-d", R"({"plateUTF8":"EVIL","roiID":"2"})",
          api + "?lpr"},
         "401"},
        {{"-H", "X-Real-IP: 192.168.1.50", "-u", "installer:wrong", api + "?tamper2=1"}, "401"},
        {{"-H", "X-Real-IP: 192.168.1.50", "-u", "installer:s3cret", "-H",
          "Sec-Fetch-Site: cross-site", api + "?CSN32LSB_Reader2=BAD2"},
         "403"},
        {{"-H", "X-Real-IP: 192.168.1.50", "-u", "installer:s3cret", "-H", "Host: evil.example",
          api + "?getStatusXML"},
         "403"},
        {{"-H", "X-Real-IP: 192.168.1.50", "-u", "installer:s3cret",
          api + "?CSN32LSB_Reader1=600D1E55"},
         "200"},
        {{"-d", R"({"plateUTF8":"AB 123 CD","roiID":"2"})", api + "?lpr"}, "200"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"/usr/bin/curl", "-s", "-o",
                                         "/dev/null",     "-w", "%{http_code}"};
        args.insert(args.end(), c.curl.begin(), c.curl.end());
        ChildProcess curl(programOptions(args));
        EXPECT_EQ(0, exitCode(curl.waitExit()));
        EXPECT_EQ(curl.output(), c.status) << args.back();
    }
    EXPECT_TRUE(panel.waitForLine("reader 10 card format=0x12 bits=32 card=600D1E55"));
    EXPECT_TRUE(panel.waitForLine("reader 11 card format=0x12 bits=32 card=6D8CB9FB"));
    EXPECT_EQ(
        panel.countLines("BAD") + panel.countLines("card=107A670F") + panel.countLines("tamper=1"),
        0);
}

}  // namespace
