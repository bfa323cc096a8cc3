// The FastCGI responder's clients, all on one thread: a poll() loop over the
// listening socket and its connections. Each connection has a deadline for
// its whole request and one for taking its response, and the connections
// together are bounded in number and in the memory they hold, so that no
// client can keep another's request waiting. A whole request is answered at
// once by the handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "util/line_pacer.h"
#include "web/fastcgi_codec.h"

struct FcgiServerLimits {
    // A client brings its whole request, from its first byte to the last of
    // its body and any wait before, within this long of its connect or of
    // its previous response; web servers send a request in one go.
    int64_t requestMicros = 3000000;
    // And takes each response within this long; 2 MiB, the largest, takes
    // milliseconds on a Unix socket.
    int64_t responseMicros = 3000000;
    // Bytes all connections may hold together: a request of the largest
    // body (1 MiB) with the largest response (2 MiB) fits twice over, and a
    // camera can spare it. Plate events hold a few kilobytes. Past it, the
    // connections waiting longest are pushed out until the rest fit.
    size_t heldBytes = 8 * 1024 * 1024;
    // With protocol.maxConnections open, a newcomer pushes out the
    // connection waiting longest once that one has waited this long: longer
    // than any web server takes between connect and request.
    int64_t evictMicros = 1000000;
    FcgiLimits protocol;
};

// How a connection ended; each has one place in FcgiConnection.
enum class FcgiEnd {
    kOpen,          // serving
    kClosed,        // answered without keep-conn, hung up, or idle past its deadline
    kBroken,        // broke the protocol: see brokenBy()
    kRequestLate,   // no whole request within requestMicros
    kResponseLate,  // its response not taken within responseMicros
    kPushedOut,     // waited longest when room was needed (FcgiServerLimits)
};

// One client: what it sent so far, what it is owed and by when. No I/O and
// no clock: the server reads into it, writes out of it and gives the time.
class FcgiConnection {
  public:
    // Builds the response body of a whole request whose first byte came at
    // arrived (the same clock as now).
    using Handler = std::function<std::string(const FcgiRequest& request, int64_t arrived)>;

    // A client that connected at now.
    FcgiConnection(int64_t now, const FcgiServerLimits& limits);

    // Bytes read at now. A request they complete is answered with handler,
    // and the bytes after it wait until the answer is out.
    // REQUIRES: wantsInput().
    void receive(const uint8_t* bytes, size_t length, int64_t now, const Handler& handler);
    // The client sends nothing more; an answer under way still goes out.
    void inputEnded();
    // The client is gone: nothing more goes either way.
    void hungUp();
    // Dropped to make room for another client.
    void pushOut();
    // n bytes of pending() went out at now. Once an answer is out, the
    // connection closes, or with keep-conn takes its next request.
    void sent(size_t n, int64_t now, const Handler& handler);
    // Ends the connection when its deadline has passed at now.
    void checkDeadline(int64_t now);

    bool wantsInput() const { return end_ == FcgiEnd::kOpen && !answering_; }
    // Output not sent yet.
    const char* pending() const { return output_.data() + sent_; }
    size_t pendingSize() const { return output_.size() - sent_; }

    FcgiEnd end() const { return end_; }
    FcgiEvent brokenBy() const { return brokenBy_; }
    int64_t deadline() const;
    // Start of the request or answer under way (or of the wait for one).
    int64_t waitingSince() const { return answering_ ? answerStart_ : requestStart_; }
    size_t heldBytes() const;

  private:
    void answer(const Handler& handler, int64_t now);

    const FcgiServerLimits& limits_;
    FcgiReceiver receiver_;
    FcgiEnd end_ = FcgiEnd::kOpen;
    FcgiEvent brokenBy_ = FcgiEvent::kNeedMore;
    bool answering_ = false;  // input waits until the answer is out
    bool keepConn_ = false;   // of the request answered
    bool inputEnded_ = false;
    bool servedAny_ = false;
    int64_t requestStart_;
    int64_t answerStart_ = 0;
    int64_t arrived_ = 0;
    std::string output_;
    size_t sent_ = 0;
    // Bytes after a request, held back while it is answered.
    std::string heldBack_;
};

class FcgiServer {
  public:
    // Serves the listening socket listenFd (non-blocking), which it does not
    // own; clock gives monotonic microseconds.
    FcgiServer(int listenFd, FcgiConnection::Handler handler, std::function<int64_t()> clock,
               const FcgiServerLimits& limits = FcgiServerLimits());
    ~FcgiServer();
    FcgiServer(const FcgiServer&) = delete;
    FcgiServer& operator=(const FcgiServer&) = delete;

    // Waits for the sockets up to the next deadline, or maxWaitMs when that
    // is sooner (-1: no bound), and does what they are ready for. False when
    // the listening socket failed.
    bool serveOnce(int maxWaitMs);

    size_t connections() const { return clients_.size(); }

  private:
    struct Client {
        int fd;
        FcgiConnection connection;
    };

    int pollTimeout(int64_t now, int maxWaitMs) const;
    // The open connection waiting longest; null when none is open.
    Client* longestWaiting() const;
    bool canAccept(int64_t now) const;
    // False when the listening socket failed.
    bool acceptClients(int64_t now);
    void readFrom(Client& client, int64_t now);
    void writeTo(Client& client, int64_t now);
    // Pushes out the connections waiting longest until the rest hold no
    // more than limits_.heldBytes.
    void keepWithinMemory();
    // Closes the ended connections, logging why where a client is at fault.
    void closeEnded();
    void logEnd(const FcgiConnection& connection);

    const int listenFd_;
    const FcgiConnection::Handler handler_;
    const std::function<int64_t()> clock_;
    const FcgiServerLimits limits_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<uint8_t> readBuffer_;
    LinePacer dropLines_;
    int64_t acceptResumesAt_ = INT64_MIN;
};
