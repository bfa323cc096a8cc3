// Many plate applications posting at once through nginx: each round, every
// client posts a plate of its own at the same moment. Counts the plates sent,
// the plates the daemon delivered (its "Send Reader=" lines) and the answers
// other than 200 (nginx answers 502 when the daemon's listen queue is full).
//
// Usage: kanzo_parallel_plates_bench [--clients N] [--rounds N] [--port P]
//                                    [--daemon PATH]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/harness/daemon_harness.h"

namespace {

// The HTTP status of one POST of body to the daemon through nginx; 0 when
// no answer came.
int postPlate(int port, const std::string& body) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int status = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request =
            "POST /kanzo_zul/api?lpr HTTP/1.1\r\nHost: localhost\r\n"
            "Content-Type: application/json\r\nConnection: close\r\n"
            "Content-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body;
        std::string answer;
        char buffer[4096];
        ssize_t got = 0;
        if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            while ((got = read(fd, buffer, sizeof buffer)) > 0)
                answer.append(buffer, static_cast<size_t>(got));
        }
        if (answer.rfind("HTTP/1.1 ", 0) == 0)
            status = atoi(answer.c_str() + 9);
    }
    close(fd);
    return status;
}

// nginx in dir on port, passing /kanzo_zul/ to the daemon's socket there.
// It writes its pid file once it listens.
ChildProcess startNginx(const TempDir& dir, int port) {
    dir.write("nginx.conf",
              "daemon off; master_process off; pid nginx.pid; events { worker_connections 4096; }"
              " http { access_log off; client_body_temp_path body; fastcgi_temp_path fastcgi;"
              " server { listen 127.0.0.1:" +
                  std::to_string(port) +
                  "; location /kanzo_zul/ { include /etc/nginx/fastcgi_params; fastcgi_pass unix:" +
                  dir.file("fcgi.sock") + "; } } }");
    ProcessOptions options = programOptions({"/usr/sbin/nginx", "-p", dir.path(), "-e",
                                             dir.file("error.log"), "-c", dir.file("nginx.conf")});
    return ChildProcess(options);
}

// The statuses of the POSTs of clients made at the same moment, a plate each.
std::vector<int> postAtOnce(int port, int clients, int round) {
    std::atomic<bool> go{false};
    std::vector<int> status(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            const std::string body = R"({"plateUTF8":"R)" + std::to_string(round) + "C" +
                                     std::to_string(c) + R"(","roiID":")" +
                                     std::to_string(1 + c % 2) + R"("})";
            while (!go.load())
                std::this_thread::yield();
            status[static_cast<size_t>(c)] = postPlate(port, body);
        });
    }
    go.store(true);
    for (std::thread& t : threads)
        t.join();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    int clients = 100;
    int rounds = 5;
    int port = 18485;
    std::string daemonPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--clients")
            clients = atoi(argv[i + 1]);
        else if (option == "--rounds")
            rounds = atoi(argv[i + 1]);
        else if (option == "--port")
            port = atoi(argv[i + 1]);
        else if (option == "--daemon")
            daemonPath = argv[i + 1];
    }

    TempDir dir;
    ProcessOptions setup = daemonOptions(dir, "/no/tty");
    setup.env["ZUL_CGI_HEADERS"] = "1";
    if (!daemonPath.empty())
        setup.args[0] = daemonPath;
    ChildProcess daemon(setup);
    // The delivery lines are written from level 2.
    if (webRequest(dir, "/kanzo_zul?DEBUG_LEVEL=2").find("<DEBUG_LEVEL>2") == std::string::npos) {
        fprintf(stderr, "the daemon does not answer\n");
        return 1;
    }
    ChildProcess nginx = startNginx(dir, port);
    for (Deadline end = deadlineIn(kPatience);
         access(dir.file("nginx.pid").c_str(), F_OK) != 0 && SteadyClock::now() < end;) {
        poll(nullptr, 0, 10);
    }

    std::map<int, int> statuses;
    for (int round = 0; round < rounds; ++round) {
        const std::vector<int> status = postAtOnce(port, clients, round);
        for (const int s : status)
            ++statuses[s];
        // Reads the daemon's lines as they come, so that its output never fills.
        daemon.waitForLine("Send Reader=", deadlineIn(std::chrono::seconds(5)),
                           (round + 1) * clients);
    }

    const int sent = clients * rounds;
    const int arrived = daemon.countLines("Send Reader=");
    printf("clients at once: %d, rounds: %d\n", clients, rounds);
    printf("plates sent: %d, arrived: %d, lost: %d\n", sent, arrived, sent - arrived);
    for (const auto& [code, count] : statuses)
        printf("HTTP %d: %d\n", code, count);
    return arrived == sent ? 0 : 1;
}
