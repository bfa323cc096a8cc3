// The daemon's FastCGI socket against clients that stall or lie: none of
// them holds the plates, each is dropped by its deadline, and none ends the
// process.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/harness/daemon_harness.h"
#include "web/fastcgi_codec.h"

namespace {

using ::testing::HasSubstr;

// The request's parameters in, its body announced and not sent.
std::string bodyAnnounced(const std::string& uri, size_t length) {
    const std::string records = fcgiRequest("POST", uri, std::string(length, ' '));
    return records.substr(0, records.size() - length - kFcgiHeaderSize);
}

TEST(StalledClientsTest, PlateBesideThemReachesTheWireWithinASecond) {
    PolledDaemon camera;
    const TempDir& dir = camera.dir;
    ASSERT_EQ("OK", webRequest(dir, "/kanzo_zul?info"));
    std::string pages = "/kanzo_zul?page";
    for (int i = 1; i < 64; ++i)
        pages += "&page";
    const std::string event = R"({"plateUTF8":"AB 123 CD","roiID":"2"})";
    const int stalled[] = {
        connectAndSend(dir, ""),
        connectAndSend(dir, fcgiRequest("GET", "/kanzo_zul?info").substr(0, 1)),
        connectAndSend(dir, bodyAnnounced("/kanzo_zul?lpr", event.size())),
        // Some 2 MiB of pages that it never reads.
        connectAndSend(dir, fcgiRequest("GET", pages)),
    };
    const Deadline second = deadlineIn(std::chrono::seconds(1));
    EXPECT_EQ("", webRequest(dir, "/kanzo_zul?lpr", event));
    EXPECT_TRUE(
        camera.panel->waitForLine("reader 11 card format=0x12 bits=32 card=6D8CB9FB", second));

    // The body comes on, a byte now and then, until the daemon drops it.
    const Deadline dropped = deadlineIn(std::chrono::seconds(3) + kPatience);
    for (size_t at = 0; at < event.size() && millisLeft(dropped) > 0; ++at) {
        if (send(stalled[2], &event[at], 1, MSG_NOSIGNAL) != 1)
            break;
        poll(nullptr, 0, 300);
    }
    for (const int client : stalled) {
        EXPECT_TRUE(closedByDaemon(client, dropped));
        close(client);
    }
    EXPECT_TRUE(camera.daemon.waitForLine("FastCGI client dropped: no whole request within 3000 ms",
                                          dropped, 3));
    EXPECT_TRUE(camera.daemon.waitForLine(
        "FastCGI client dropped: response not taken within 3000 ms", dropped));
    EXPECT_EQ(1, camera.panel->countLines("card="));
}

// Sockets the process holds: the listening one, its claims, syslog's, and
// one per client.
size_t socketsOf(pid_t pid) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(fds)) {
        std::error_code error;
        count +=
            std::filesystem::read_symlink(entry.path(), error).string().rfind("socket:", 0) == 0;
    }
    return count;
}

// nginx keeping its connections to the daemon (fastcgi_keep_conn with a pool
// of them): one connection serves request after request, and once the
// daemon has closed it after its rest, nginx's next request is answered too.
TEST(FastcgiTest, NginxKeepingItsConnectionGetsEveryRequestAnswered) {
    TempDir dir;
    ChildProcess daemon(behindWebServer(daemonOptions(dir, "/no/tty")));
    ASSERT_THAT(webRequest(dir, "/kanzo_zul?info"), ::testing::EndsWith("OK"));
    const size_t idle = socketsOf(daemon.pid());
    Nginx nginx(dir, "upstream kanzo { server unix:" + dir.file("fcgi.sock") +
                         "; keepalive 4; } server { listen 127.0.0.1:18487; location /kanzo_zul/ "
                         "{ include /etc/nginx/fastcgi_params; fastcgi_pass kanzo; "
                         "fastcgi_keep_conn on; } }");
    const auto status = [] {
        ChildProcess curl(
            programOptions({"/usr/bin/curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                            "http://127.0.0.1:18487/kanzo_zul/api?getStatusXML"}));
        curl.waitExit();
        return curl.output();
    };
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ("200", status());
    EXPECT_EQ(idle + 1, socketsOf(daemon.pid()));
    const Deadline rested = deadlineIn(std::chrono::seconds(3) + kPatience);
    while (socketsOf(daemon.pid()) > idle && millisLeft(rested) > 0)
        poll(nullptr, 0, 50);
    EXPECT_EQ(idle, socketsOf(daemon.pid()));
    EXPECT_EQ("200", status());
    daemon.readOutput();
    EXPECT_EQ(0, daemon.countLines("FastCGI client dropped"));
}

// A parameter announced at 2 GiB costs its client the connection, and nothing
// more: no allocation of what it claims, no end of the process.
TEST(FastcgiTest, ParameterClaimingGibibytesIsRefusedAndTheDaemonServesOn) {
    TempDir dir;
    ChildProcess daemon(daemonOptions(dir, "/no/tty"));
    ASSERT_EQ("OK", webRequest(dir, "/kanzo_zul?info"));
    const std::string claim =
        fcgiBegin() + fcgiRecord(kFcgiParams, std::string("\xC0\0\0\0\xC0\0\0\0", 8));
    EXPECT_EQ(0, sendToSocket(dir, claim));
    EXPECT_EQ(0, sendToSocket(dir, claim + fcgiRecord(kFcgiParams, "")));
    EXPECT_TRUE(daemon.waitForLine(
        "FastCGI client dropped: a parameter running past the end of the parameters"));
    EXPECT_EQ("OK", webRequest(dir, "/kanzo_zul?info"));
    EXPECT_TRUE(daemon.running());
}

}  // namespace
