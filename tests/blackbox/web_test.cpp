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

#include <string>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/harness/daemon_harness.h"

namespace {

using ::testing::HasSubstr;

TEST(FastcgiTest, WorkerAnswersEveryCraftedRequestCorrectly) {
    TempDir dir;
    ProcessOptions options = daemonOptions(dir, "/no/tty");
    options.env["ZUL_CGI_HEADERS"] = "1";
    ChildProcess daemon(options);
    const std::string text = "Content-Type: text/plain; charset=utf-8\r\n\r\n";
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
                      .rfind("Content-Type: text/html; charset=utf-8\r\n\r\n<!DOCTYPE html>", 0));
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
TEST(FastcgiTest, StalledClientsAreDroppedAndTheNextRequestIsServed) {
    TempDir dir;
    ChildProcess daemon(daemonOptions(dir, "/no/tty"));
    ASSERT_EQ("OK", webRequest(dir, "/kanzo_zul?info"));
    const std::string params =
        std::string("\16\4REQUEST_METHODPOST") + std::string("\13\16REQUEST_URI/kanzo_zul?lpr");
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

// C4C2A930 is the card of the plate: the last 32 bits of SHA-1("KZ<i>14</i>").
constexpr char kTestPage[] = R"(<iframe id="f" src="/kanzo_zul/api?page"></iframe>
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

    // Paths relative to the prefix, dir; not the demos' ports (8480, 18480, 18482).
    dir.write("test.html", kTestPage);
    dir.write("nginx.conf",
              "daemon off; master_process off; pid nginx.pid; events {} http {"
              " access_log off; client_body_temp_path body; fastcgi_temp_path fastcgi;"
              " server { listen 127.0.0.1:18481; root .; location /kanzo_zul/ {"
              " include /etc/nginx/fastcgi_params; fastcgi_pass unix:" +
                  dir.file("fcgi.sock") + "; } } }");
    ChildProcess nginx(programOptions({"/usr/sbin/nginx", "-p", dir.path(), "-e",
                                       dir.file("error.log"), "-c", dir.file("nginx.conf")}));
    // nginx writes its pid file once it listens.
    for (Deadline end = deadlineIn(kPatience);
         access(dir.file("nginx.pid").c_str(), F_OK) != 0 && SteadyClock::now() < end;) {
        poll(nullptr, 0, 10);
    }
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
}

}  // namespace
