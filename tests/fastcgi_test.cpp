// The FastCGI responder: its records from golden exchanges, a connection's
// deadlines on an injected clock, the server's bounds on real sockets, and the
// arrival time that a request hands on to its cards.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>

#include "tests/golden.h"
#include "util/hex.h"
#include "web/fastcgi_server.h"
#include "web/web_service.h"

namespace {

constexpr int64_t kSecond = 1000000;

std::string endName(const FcgiConnection& connection) {
    switch (connection.end()) {
        case FcgiEnd::kOpen:
            return "open";
        case FcgiEnd::kClosed:
            return "closed";
        case FcgiEnd::kBroken:
            return std::string("broken: ") + fcgiEventText(connection.brokenBy());
        case FcgiEnd::kRequestLate:
            return "request late";
        case FcgiEnd::kResponseLate:
            return "response late";
        case FcgiEnd::kPushedOut:
            return "pushed out";
    }
    return "?";
}

// Plays input into a connection in pieces of piece bytes, taking every byte
// it sends at once. The records sent, the requests served and the end, as
// the golden file writes them.
std::map<char, std::string> play(const std::vector<uint8_t>& input, size_t piece) {
    FcgiServerLimits limits;
    limits.protocol = {64, 8, 32};
    FcgiConnection connection(0, limits);
    std::vector<uint8_t> sent;
    std::string served;
    const FcgiConnection::Handler handler = [&served](const FcgiRequest& request, int64_t) {
        const char* method = request.param("REQUEST_METHOD");
        served += std::to_string(request.id) + " " + (method != nullptr ? method : "-") + " " +
                  request.param("REQUEST_URI") + " keep=" + (request.keepConn ? "1" : "0") +
                  " body=" + request.body + "\n";
        return std::string("ok");
    };
    for (size_t at = 0; at < input.size() && connection.wantsInput(); at += piece) {
        connection.receive(&input[at], std::min(piece, input.size() - at), 0, handler);
        while (connection.pendingSize() > 0) {
            sent.insert(sent.end(), connection.pending(),
                        connection.pending() + connection.pendingSize());
            connection.sent(connection.pendingSize(), 0, handler);
        }
    }
    return {{'<', hexEncode(sent.data(), sent.size())},
            {'=', joined(served)},
            {'!', endName(connection)}};
}

TEST(FastcgiRecordsTest, ExchangesGoAsTheirGoldenCasesSay) {
    for (auto& [line, exchange] : goldenCases("fastcgi-records.txt")) {
        const std::vector<uint8_t> input = bytesOfHex(exchange['>']);
        const std::vector<uint8_t> output = bytesOfHex(exchange['<']);
        for (const size_t piece : {input.size(), size_t{1}}) {
            std::map<char, std::string> result = play(input, piece);
            EXPECT_EQ(result['<'], hexEncode(output.data(), output.size()))
                << line << " in pieces of " << piece;
            EXPECT_EQ(result['='], exchange['=']) << line;
            EXPECT_EQ(result['!'], exchange['!']) << line;
        }
    }
}

TEST(FastcgiRecordsTest, LongResponseGoesInRecordsOfAtMost65535Bytes) {
    std::string out;
    appendFcgiResponse(&out, 1, std::string(70000, 'x'));
    std::vector<uint16_t> lengths;
    for (size_t at = 0; at < out.size(); at += kFcgiHeaderSize + lengths.back())
        lengths.push_back(
            decodeFcgiHeader(reinterpret_cast<const uint8_t*>(&out[at])).contentLength);
    EXPECT_EQ(lengths, (std::vector<uint16_t>{65535, 70000 - 65535, 0, 8}));
}

// A request whose parameters are in and whose body follows.
std::string requestHead(bool keepConn) {
    std::string in;
    const char begin[8] = {0, 1, static_cast<char>(keepConn ? 1 : 0)};
    appendFcgiRecord(&in, kFcgiBeginRequest, 1, begin, sizeof begin);
    std::string params;
    appendFcgiPair(&params, "REQUEST_METHOD", "POST");
    appendFcgiPair(&params, "REQUEST_URI", "/a?lpr");
    appendFcgiRecord(&in, kFcgiParams, 1, params.data(), params.size());
    appendFcgiRecord(&in, kFcgiParams, 1, nullptr, 0);
    return in;
}

std::string requestTail(const std::string& body) {
    std::string in;
    if (!body.empty())
        appendFcgiRecord(&in, kFcgiStdin, 1, body.data(), body.size());
    appendFcgiRecord(&in, kFcgiStdin, 1, nullptr, 0);
    return in;
}

struct ConnectionTest : ::testing::Test {
    void receive(const std::string& bytes, int64_t now) {
        connection.receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), now,
                           handler);
    }
    FcgiServerLimits limits;
    FcgiConnection connection{0, limits};
    int64_t arrived = -1;
    FcgiConnection::Handler handler = [this](const FcgiRequest&, int64_t at) {
        arrived = at;
        return std::string("ok");
    };
};

TEST_F(ConnectionTest, ClientThatSendsNothingIsLateAfterThreeSeconds) {
    connection.checkDeadline(3 * kSecond - 1);
    EXPECT_EQ(FcgiEnd::kOpen, connection.end());
    connection.checkDeadline(3 * kSecond);
    EXPECT_EQ(FcgiEnd::kRequestLate, connection.end());
}

TEST_F(ConnectionTest, TrickledBodyIsLateThreeSecondsAfterTheConnect) {
    receive(requestHead(false), 0);
    for (int64_t now = 1; now < 3 * kSecond; now += kSecond / 2) {
        receive(requestTail("x").substr(0, 9), now);
        connection.checkDeadline(now);
    }
    connection.checkDeadline(3 * kSecond);
    EXPECT_EQ(FcgiEnd::kRequestLate, connection.end());
}

TEST_F(ConnectionTest, ResponseNotTakenIsLateThreeSecondsAfterTheAnswer) {
    receive(requestHead(false) + requestTail("x"), 2 * kSecond);
    connection.sent(1, 2 * kSecond, handler);
    connection.checkDeadline(5 * kSecond - 1);
    EXPECT_EQ(FcgiEnd::kOpen, connection.end());
    connection.checkDeadline(5 * kSecond);
    EXPECT_EQ(FcgiEnd::kResponseLate, connection.end());
}

TEST_F(ConnectionTest, RequestArrivesWithItsFirstByteNotItsLast) {
    receive(requestHead(false).substr(0, 1), kSecond);
    receive(requestHead(false).substr(1) + requestTail("x"), 2 * kSecond);
    EXPECT_EQ(kSecond, arrived);
}

TEST_F(ConnectionTest, KeptConnectionRestsUntilItsDeadlineAndClosesQuietly) {
    receive(requestHead(true) + requestTail(""), 0);
    connection.sent(connection.pendingSize(), kSecond, handler);
    connection.checkDeadline(4 * kSecond);
    EXPECT_EQ(FcgiEnd::kClosed, connection.end());
}

TEST_F(ConnectionTest, KeptConnectionWithPartOfARequestIsLate) {
    receive(requestHead(true) + requestTail(""), 0);
    connection.sent(connection.pendingSize(), kSecond, handler);
    receive(requestHead(true), 2 * kSecond);
    connection.checkDeadline(4 * kSecond);
    EXPECT_EQ(FcgiEnd::kRequestLate, connection.end());
}

TEST_F(ConnectionTest, AnswerStillGoesOutAfterTheClientStopsSending) {
    receive(requestHead(true) + requestTail(""), 0);
    connection.inputEnded();
    EXPECT_EQ(FcgiEnd::kOpen, connection.end());
    connection.sent(connection.pendingSize(), 0, handler);
    EXPECT_EQ(FcgiEnd::kClosed, connection.end());
}

// A listening socket under an abstract name of its own, and its clients.
class ServerTest : public ::testing::Test {
  protected:
    ServerTest() {
        address.sun_family = AF_UNIX;
        const std::string name = "kanzo_zul_test/" + std::to_string(getpid());
        name.copy(address.sun_path + 1, name.size());
        addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        EXPECT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), addressLength));
        EXPECT_EQ(0, listen(listener, 64));
    }
    ~ServerTest() override {
        server.reset();
        for (const int client : clients)
            close(client);
        close(listener);
    }

    void start() {
        server = std::make_unique<FcgiServer>(
            listener,
            [this](const FcgiRequest& request, int64_t) {
                ++served;
                return std::string(request.body.size(), 'r');
            },
            [this] { return now; }, limits);
    }

    // A client that has sent bytes; its descriptor.
    int connectAndSend(const std::string& bytes) {
        const int client = socket(AF_UNIX, SOCK_STREAM, 0);
        EXPECT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&address), addressLength));
        EXPECT_EQ(static_cast<ssize_t>(bytes.size()), send(client, bytes.data(), bytes.size(), 0));
        clients.push_back(client);
        // Taken in, and its bytes read, before time moves on.
        for (int round = 0; round < 3; ++round)
            server->serveOnce(0);
        return client;
    }

    // True when the server has closed the client's connection.
    static bool closedByServer(int client) {
        char byte;
        pollfd ready = {client, POLLIN, 0};
        while (poll(&ready, 1, 0) == 1) {
            const ssize_t n = recv(client, &byte, 1, MSG_DONTWAIT);
            if (n <= 0)
                return n == 0 || errno == ECONNRESET;
        }
        return false;
    }

    FcgiServerLimits limits;
    sockaddr_un address{};
    socklen_t addressLength = 0;
    int listener = -1;
    std::vector<int> clients;
    int64_t now = 0;
    int served = 0;
    std::unique_ptr<FcgiServer> server;
};

TEST_F(ServerTest, FullTablePushesOutTheClientWaitingLongest) {
    limits.protocol.maxConnections = 2;
    start();
    const int first = connectAndSend(requestHead(false));
    now = kSecond / 2;
    const int second = connectAndSend(requestHead(false));
    now = kSecond;
    const int third = connectAndSend(requestHead(false) + requestTail("abc"));
    EXPECT_EQ(1, served);
    EXPECT_TRUE(closedByServer(first) && closedByServer(third));
    EXPECT_FALSE(closedByServer(second));
}

TEST_F(ServerTest, ClientsHoldingTooMuchArePushedOutLongestWaitingFirst) {
    limits.heldBytes = 200 * 1024;
    start();
    // Each holds a body of 60000 bytes that does not end.
    const std::string body = requestTail(std::string(60000, 'a')).substr(0, 8 + 60000);
    const int first = connectAndSend(requestHead(false) + body);
    now = 1;
    const int second = connectAndSend(requestHead(false) + body);
    for (int round = 0; round < 10; ++round)
        server->serveOnce(0);
    EXPECT_TRUE(closedByServer(first));
    EXPECT_FALSE(closedByServer(second));
}

// A plate that waited at the gate while its request came in: its card and
// its journal entry are as old as the request's first byte.
TEST(RequestArrivalTest, CardAgeAndJournalStartWhenTheRequestArrived) {
    int64_t monotonic = 100 * kSecond;
    const auto clock = [&monotonic] { return monotonic; };
    OsdpPeripheral osdp([&monotonic] { return WallTime{monotonic / kSecond, 0}; }, clock);
    osdp.setCardMaxAge(30 * kSecond);
    WebService web(osdp, clock);
    const std::string event = R"({"plateUTF8":"AB123CD","roiID":"2"})";
    RequestBody body{event};
    WebRequest request;
    request.method = "POST";
    request.uri = "/a?lpr";
    request.source.remoteAddr = "127.0.0.1";
    request.arrived = monotonic - 20 * kSecond;
    web.respond(request, body);
    EXPECT_EQ(20000, osdp.diagnostics().cards[1].oldestMs);
    EXPECT_EQ(*request.arrived, osdp.journal.latest(1).at(0).arrivedMono);
    EXPECT_EQ(80 * kSecond, osdp.journal.latest(1).at(0).arrivedWall);
}

}  // namespace
