// Many plate applications posting at once through nginx: each round, every
// client posts a plate of its own at the same moment. Counts the plates sent,
// the plates the daemon delivered (its "Send Reader=" lines) and the answers
// other than 200 (nginx answers 502 when the daemon's listen queue is full,
// 504 when the daemon does not answer within a minute), and times each post
// from connect to answer. With --stalled N, N clients on the daemon's socket
// each hold one byte of a record header through every round.
//
// Usage: kanzo_parallel_plates_bench [--clients N] [--rounds N] [--port P]
//                                    [--stalled N] [--daemon PATH]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
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

// The statuses of the POSTs of clients made at the same moment, a plate each;
// the milliseconds each took go to millis.
std::vector<int> postAtOnce(int port, int clients, int round, std::vector<double>* millis) {
    std::atomic<bool> go{false};
    std::vector<int> status(static_cast<size_t>(clients));
    std::vector<double> took(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            const std::string body = R"({"plateUTF8":"R)" + std::to_string(round) + "C" +
                                     std::to_string(c) + R"(","roiID":")" +
                                     std::to_string(1 + c % 2) + R"("})";
            while (!go.load())
                std::this_thread::yield();
            const SteadyClock::time_point start = SteadyClock::now();
            status[static_cast<size_t>(c)] = postPlate(port, body);
            took[static_cast<size_t>(c)] =
                std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
        });
    }
    go.store(true);
    for (std::thread& t : threads)
        t.join();
    millis->insert(millis->end(), took.begin(), took.end());
    return status;
}

// Posts the rounds; the answers counted by HTTP status, the milliseconds of
// each post in millis.
std::map<int, int> runRounds(ChildProcess& daemon, int port, int clients, int rounds,
                             std::vector<double>* millis) {
    std::map<int, int> statuses;
    for (int round = 0; round < rounds; ++round) {
        for (const int status : postAtOnce(port, clients, round, millis))
            ++statuses[status];
        // Reads the daemon's lines as they come, so that its output never fills.
        daemon.waitForLine("Send Reader=", deadlineIn(std::chrono::seconds(5)),
                           (round + 1) * clients);
    }
    return statuses;
}

}  // namespace

int main(int argc, char** argv) {
    int clients = 100;
    int rounds = 5;
    int port = 18485;
    int stalled = 0;
    std::string daemonPath;
    if (!parseOptions(
            argc, argv,
            {numberOption("--clients", 1, 1000, &clients),
             numberOption("--rounds", 1, 1000, &rounds), numberOption("--port", 1024, 65535, &port),
             numberOption("--stalled", 0, 1000, &stalled), textOption("--daemon", &daemonPath)},
            "kanzo_parallel_plates_bench [--clients N] [--rounds N] [--port P] "
            "[--stalled N] [--daemon PATH]"))
        return 2;

    TempDir dir;
    ProcessOptions setup = behindWebServer(daemonOptions(dir, "/no/tty"));
    if (!daemonPath.empty())
        setup.args[0] = daemonPath;
    ChildProcess daemon(setup);
    // The delivery lines are written from level 2.
    if (webRequest(dir, "/kanzo_zul?DEBUG_LEVEL=2").find("<DEBUG_LEVEL>2") == std::string::npos) {
        fprintf(stderr, "the daemon does not answer\n");
        return 1;
    }
    // nginx passing /kanzo_zul/ to the daemon's socket.
    Nginx nginx(dir, "server { listen 127.0.0.1:" + std::to_string(port) +
                         "; location /kanzo_zul/ { include /etc/nginx/fastcgi_params;"
                         " fastcgi_pass unix:" +
                         dir.file("fcgi.sock") + "; } }");

    std::vector<int> stalledClients;
    for (int s = 0; s < stalled; ++s)
        stalledClients.push_back(
            connectAndSend(dir, fcgiRequest("GET", "/kanzo_zul/api?info").substr(0, 1)));

    std::vector<double> millis;
    const SteadyClock::time_point start = SteadyClock::now();
    const std::map<int, int> statuses = runRounds(daemon, port, clients, rounds, &millis);

    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    for (const int client : stalledClients)
        close(client);

    const int sent = clients * rounds;
    const int arrived = daemon.countLines("Send Reader=");
    const Summary took = summarize(millis);
    printf("clients at once: %d, rounds: %d, stalled clients beside: %d\n", clients, rounds,
           stalled);
    printf("plates sent: %d, arrived: %d, lost: %d\n", sent, arrived, sent - arrived);
    for (const auto& [code, count] : statuses)
        printf("HTTP %d: %d\n", code, count);
    printf("per post: median %.1f ms, p99 %.1f ms, max %.1f ms; all rounds %.2f s\n", took.median,
           took.p99, took.max, seconds);
    return arrived == sent ? 0 : 1;
}
