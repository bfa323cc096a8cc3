// The installer's status page in a real browser: headless Chromium opens it
// through nginx while the controller tool polls both readers, and the test
// reads what a person would see, then sends a plate with the page's form.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "osdp/osdp_peripheral.h"
#include "tests/harness/daemon_harness.h"
#include "util/sha1.h"

namespace {

// Not the demos' ports (8480, and 18480 and 18482 in their tests).
constexpr int kPort = 18481;
constexpr char kNginx[] = "/usr/sbin/nginx";

// The chromium on PATH, or empty.
std::string findChromium() {
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/chromium";
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

bool portAnswers(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

// The text of the first JSON string member name in text, with the escapes
// this test meets (\" \\ \/ \n \uXXXX below 0x80) undone; nothing when absent.
std::optional<std::string> jsonString(const std::string& text, const std::string& name) {
    size_t at = text.find("\"" + name + "\":\"");
    if (at == std::string::npos)
        return std::nullopt;
    std::string value;
    for (at += name.size() + 4; at < text.size() && text[at] != '"'; ++at) {
        if (text[at] != '\\') {
            value += text[at];
        } else if (text[++at] == 'u') {
            value += static_cast<char>(std::stoi(text.substr(at + 1, 4), nullptr, 16));
            at += 4;
        } else {
            value += text[at] == 'n' ? '\n' : text[at];
        }
    }
    return value;
}

// Headless Chromium driven through its DevTools protocol over a pipe pair:
// JSON messages, each ended by a zero byte, on descriptors 3 (to the
// browser) and 4 (from it). One page, opened at the given address.
class Browser {
  public:
    Browser(const std::string& chromium, const TempDir& dir, const std::string& url) {
        int toBrowser[2];
        int fromBrowser[2];
        if (pipe(toBrowser) != 0 || pipe(fromBrowser) != 0)
            throw std::runtime_error("pipe");
        const std::string profile = "--user-data-dir=" + dir.file("chromium");
        const std::string log = dir.file("chromium.log");
        pid_ = fork();
        if (pid_ == 0) {
            // A group of its own, so that its helper processes end with it.
            setpgid(0, 0);
            dup2(toBrowser[0], 3);
            dup2(fromBrowser[1], 4);
            for (int fd : {toBrowser[0], toBrowser[1], fromBrowser[0], fromBrowser[1]}) {
                if (fd > 4)
                    close(fd);
            }
            if (freopen(log.c_str(), "w", stderr) == nullptr || dup2(2, 1) < 0)
                _exit(126);
            // Without the networking switches it tries to reach outside
            // services, which a closed network refuses. As root it needs
            // --no-sandbox.
            execl(chromium.c_str(), chromium.c_str(), "--headless", "--no-sandbox", "--disable-gpu",
                  "--disable-quic", "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--remote-debugging-pipe",
                  profile.c_str(), "--window-size=800,600", "about:blank",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        setpgid(pid_, pid_);
        close(toBrowser[0]);
        close(fromBrowser[1]);
        to_ = toBrowser[1];
        from_ = fromBrowser[0];
        const std::string target =
            call("Target.createTarget", "{\"url\":\"" + url + "\"}").value_or("");
        const std::string session =
            call("Target.attachToTarget", "{\"targetId\":\"" +
                                              jsonString(target, "targetId").value_or("") +
                                              "\",\"flatten\":true}")
                .value_or("");
        session_ = jsonString(session, "sessionId").value_or("");
    }

    ~Browser() {
        call("Browser.close", "{}");
        close(to_);
        close(from_);
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    // The value of a JavaScript expression evaluated in the page, as a
    // string; nothing when the browser did not answer.
    std::optional<std::string> evaluate(const std::string& expression) {
        std::string quoted;
        for (char c : expression)
            quoted += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
        const std::optional<std::string> reply =
            call("Runtime.evaluate",
                 "{\"expression\":\"String((" + quoted + "))\",\"returnByValue\":true}", session_);
        return reply ? jsonString(*reply, "value") : std::nullopt;
    }

    // Evaluates expression until it yields expected or the deadline passes;
    // returns the last value seen.
    std::string waitFor(const std::string& expression, const std::string& expected,
                        Deadline deadline) {
        std::string value;
        while (SteadyClock::now() < deadline) {
            value = evaluate(expression).value_or("(no answer)");
            if (value == expected)
                break;
            usleep(100000);
        }
        return value;
    }

  private:
    // Sends one command and returns the browser's answer to it.
    std::optional<std::string> call(const std::string& method, const std::string& params,
                                    const std::string& session = "") {
        const int id = ++lastId_;
        std::string message =
            "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params;
        if (!session.empty())
            message += ",\"sessionId\":\"" + session + "\"";
        message += "}";
        message.push_back('\0');
        if (!writeAll(to_, reinterpret_cast<const uint8_t*>(message.data()), message.size()))
            return std::nullopt;
        const std::string answer = "{\"id\":" + std::to_string(id) + ",";
        const Deadline deadline = deadlineIn(kPatience);
        while (SteadyClock::now() < deadline) {
            size_t end;
            while ((end = received_.find('\0')) != std::string::npos) {
                std::string one = received_.substr(0, end);
                received_.erase(0, end + 1);
                if (one.rfind(answer, 0) == 0)
                    return one;
            }
            pollfd readable{from_, POLLIN, 0};
            if (poll(&readable, 1, 100) <= 0)
                continue;
            char buffer[65536];
            const ssize_t n = read(from_, buffer, sizeof buffer);
            if (n <= 0)
                return std::nullopt;
            received_.append(buffer, static_cast<size_t>(n));
        }
        return std::nullopt;
    }

    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    int lastId_ = 0;
    std::string received_;
    std::string session_;
};

TEST(StatusPageTest, ShowsBothReadersPollingAndSendsAPlateFromItsForm) {
    const std::string chromium = findChromium();
    if (chromium.empty())
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps installs it)";

    // One bound for the whole test, however its steps share it.
    const Deadline end = deadlineIn(std::chrono::seconds(40));
    TempDir dir;
    // nginx's worker runs as another user and must reach the socket.
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    NullModem cable;
    ProcessOptions daemonSetup = daemonOptions(dir, cable.endA());
    daemonSetup.env["ZUL_CGI_HEADERS"] = "1";
    ChildProcess daemon(daemonSetup);
    ASSERT_TRUE(daemon.waitForLine("Serial port add watch", end));
    ChildProcess controller(ProcessOptions{{kControllerBinary, cable.endB()}, {}, {}, {}});
    ASSERT_TRUE(controller.waitForLine("reader 11 online", end));

    const std::string prefix = dir.file("nginx");
    ASSERT_EQ(mkdir(prefix.c_str(), 0755), 0);
    dir.write("nginx/nginx.conf",
              "daemon off;\nmaster_process off;\npid " + prefix + "/nginx.pid;\nerror_log " +
                  prefix + "/error.log;\nevents { worker_connections 64; }\nhttp {\n" +
                  "    access_log off;\n    client_body_temp_path " + prefix + "/body;\n" +
                  "    fastcgi_temp_path " + prefix + "/fastcgi;\n    server {\n" +
                  "        listen 127.0.0.1:" + std::to_string(kPort) + ";\n" +
                  "        location /kanzo_zul/ {\n" +
                  "            include /etc/nginx/fastcgi_params;\n" +
                  "            fastcgi_pass unix:" + dir.file("fcgi.sock") + ";\n" +
                  "        }\n    }\n}\n");
    ChildProcess nginx(ProcessOptions{
        {kNginx, "-p", prefix, "-e", prefix + "/error.log", "-c", prefix + "/nginx.conf"},
        {},
        {},
        {}});
    while (!portAnswers(kPort) && SteadyClock::now() < end)
        usleep(50000);
    ASSERT_TRUE(portAnswers(kPort)) << nginx.errorText();

    Browser browser(chromium, dir,
                    "http://127.0.0.1:" + std::to_string(kPort) + "/kanzo_zul/api?page");
    EXPECT_EQ(browser.waitFor("polling1.textContent + ' ' + polling2.textContent",
                              "polling polling", end),
              "polling polling");

    // Markup in a plate is outside text: the page shows it as typed.
    const std::string plate = "KZ <i>14</i>";
    Sha1 sha;
    sha.update("KZ<i>14</i>");
    const uint32_t card = cardNumberFromDigest(sha.finalHex());
    ASSERT_EQ(
        browser.evaluate("plate.value = '" + plate + "', region.value = '1', send.click(), 'sent'"),
        "sent");
    EXPECT_EQ(browser.waitFor("lastCard1.textContent", OsdpPeripheral::hexText(card), end),
              OsdpPeripheral::hexText(card));
    EXPECT_EQ(browser.evaluate("lastPlate1.textContent + ' ' + lastPlate1.children.length"),
              "KZ<i>14</i> 0");
    char expectedLine[64];
    snprintf(expectedLine, sizeof expectedLine, "reader 10 card format=0x12 bits=32 card=%08X",
             card);
    EXPECT_TRUE(controller.waitForLine(expectedLine, end)) << expectedLine;
}

}  // namespace
