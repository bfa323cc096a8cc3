#include "web/fastcgi_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "util/log.h"

namespace {

// Bytes taken from one client at a time: a plate event with its image comes
// in a few reads, and no client keeps the loop from the others for longer.
constexpr size_t kReadChunk = 64 * 1024;
// An answer's buffer above this size is given back once it is out; a small
// one stays for the connection's next answer.
constexpr size_t kKeptOutput = 64 * 1024;
// A flood of clients that stall or break the protocol must not fill the log.
constexpr int kDropLinesPerMinute = 10;
// After accept() fails for want of descriptors or memory, the listening
// socket stays readable; it is left alone this long instead of polled again
// at once.
constexpr int64_t kAcceptPauseMicros = 100000;

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

FcgiConnection::FcgiConnection(int64_t now, const FcgiServerLimits& limits)
    : limits_(limits), receiver_(limits.protocol), requestStart_(now) {}

void FcgiConnection::receive(const uint8_t* bytes, size_t length, int64_t now,
                             const Handler& handler) {
    if (!receiver_.started() && length > 0)
        arrived_ = now;
    size_t used = 0;
    const FcgiEvent event = receiver_.receive(bytes, length, &used, &output_);
    if (event == FcgiEvent::kRequest) {
        heldBack_.assign(reinterpret_cast<const char*>(bytes) + used, length - used);
        answer(handler, now);
    } else if (event == FcgiEvent::kClose) {
        // The replies owed go out, then the connection closes.
        answering_ = true;
        keepConn_ = false;
        answerStart_ = now;
    } else if (event != FcgiEvent::kNeedMore) {
        end_ = FcgiEnd::kBroken;
        brokenBy_ = event;
    }
}

void FcgiConnection::answer(const Handler& handler, int64_t now) {
    const FcgiRequest& request = receiver_.request();
    appendFcgiResponse(&output_, request.id, handler(request, arrived_));
    keepConn_ = request.keepConn;
    receiver_.nextRequest();
    servedAny_ = true;
    answering_ = true;
    answerStart_ = now;
}

void FcgiConnection::inputEnded() {
    inputEnded_ = true;
    // A request under way can no longer be completed; an answer still goes out.
    if (!answering_ && end_ == FcgiEnd::kOpen)
        end_ = FcgiEnd::kClosed;
}

void FcgiConnection::hungUp() {
    if (end_ == FcgiEnd::kOpen)
        end_ = FcgiEnd::kClosed;
}

void FcgiConnection::pushOut() {
    if (end_ == FcgiEnd::kOpen)
        end_ = FcgiEnd::kPushedOut;
}

void FcgiConnection::sent(size_t n, int64_t now, const Handler& handler) {
    sent_ += n;
    if (sent_ < output_.size())
        return;
    if (output_.capacity() > kKeptOutput)
        std::string().swap(output_);
    output_.clear();
    sent_ = 0;
    if (!answering_)
        return;
    answering_ = false;
    if (!keepConn_ || inputEnded_) {
        end_ = FcgiEnd::kClosed;
        return;
    }
    requestStart_ = now;
    std::string held;
    held.swap(heldBack_);
    if (!held.empty())
        receive(reinterpret_cast<const uint8_t*>(held.data()), held.size(), now, handler);
}

void FcgiConnection::checkDeadline(int64_t now) {
    if (end_ != FcgiEnd::kOpen || now < deadline())
        return;
    if (answering_) {
        end_ = FcgiEnd::kResponseLate;
    } else {
        // A connection kept after its requests may rest until its deadline.
        end_ = receiver_.started() || !servedAny_ ? FcgiEnd::kRequestLate : FcgiEnd::kClosed;
    }
}

int64_t FcgiConnection::deadline() const {
    return answering_ ? answerStart_ + limits_.responseMicros
                      : requestStart_ + limits_.requestMicros;
}

size_t FcgiConnection::heldBytes() const {
    return receiver_.heldBytes() + output_.capacity() + heldBack_.capacity();
}

FcgiServer::FcgiServer(int listenFd, FcgiConnection::Handler handler,
                       std::function<int64_t()> clock, const FcgiServerLimits& limits)
    : listenFd_(listenFd),
      handler_(std::move(handler)),
      clock_(std::move(clock)),
      limits_(limits),
      readBuffer_(kReadChunk),
      dropLines_(kDropLinesPerMinute) {}

FcgiServer::~FcgiServer() {
    for (const auto& client : clients_)
        close(client->fd);
}

bool FcgiServer::serveOnce(int maxWaitMs) {
    int64_t now = clock_();
    std::vector<pollfd> fds;
    fds.push_back({listenFd_, static_cast<short>(canAccept(now) ? POLLIN : 0), 0});
    for (const auto& client : clients_) {
        const FcgiConnection& connection = client->connection;
        const short events = static_cast<short>((connection.wantsInput() ? POLLIN : 0) |
                                                (connection.pendingSize() > 0 ? POLLOUT : 0));
        fds.push_back({client->fd, events, 0});
    }
    if (poll(fds.data(), fds.size(), pollTimeout(now, maxWaitMs)) < 0 && errno != EINTR) {
        logAt(1, "FastCGI socket not polled: %s", strerror(errno));
        return false;
    }
    now = clock_();
    // A client's read end shows as POLLIN, or POLLHUP alone after a hang-up.
    for (size_t i = 0; i < clients_.size(); ++i) {
        Client& client = *clients_[i];
        const short ready = fds[i + 1].revents;
        if ((ready & (POLLIN | POLLHUP | POLLERR)) != 0 && client.connection.wantsInput())
            readFrom(client, now);
        else if ((ready & (POLLOUT | POLLHUP | POLLERR)) != 0)
            writeTo(client, now);
        client.connection.checkDeadline(now);
    }
    keepWithinMemory();
    closeEnded();
    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) {
        logAt(1, "FastCGI socket failed");
        return false;
    }
    return (fds[0].revents & POLLIN) == 0 || acceptClients(now);
}

int FcgiServer::pollTimeout(int64_t now, int maxWaitMs) const {
    int64_t next = INT64_MAX;
    for (const auto& client : clients_)
        next = std::min(next, client->connection.deadline());
    if (now < acceptResumesAt_)
        next = std::min(next, acceptResumesAt_);
    const Client* oldest = longestWaiting();
    if (clients_.size() >= limits_.protocol.maxConnections && oldest != nullptr)
        next = std::min(next, oldest->connection.waitingSince() + limits_.evictMicros);
    if (next == INT64_MAX)
        return maxWaitMs;
    // Rounded up, so that the deadline has passed when poll returns.
    const int64_t waitMs = next <= now ? 0 : (next - now + 999) / 1000;
    const int64_t bound = maxWaitMs < 0 ? INT_MAX : maxWaitMs;
    return static_cast<int>(std::min(waitMs, bound));
}

FcgiServer::Client* FcgiServer::longestWaiting() const {
    Client* oldest = nullptr;
    for (const auto& client : clients_) {
        if (client->connection.end() == FcgiEnd::kOpen &&
            (oldest == nullptr ||
             client->connection.waitingSince() < oldest->connection.waitingSince()))
            oldest = client.get();
    }
    return oldest;
}

bool FcgiServer::canAccept(int64_t now) const {
    if (now < acceptResumesAt_)
        return false;
    const Client* oldest = longestWaiting();
    return clients_.size() < limits_.protocol.maxConnections ||
           (oldest != nullptr && oldest->connection.waitingSince() + limits_.evictMicros <= now);
}

bool FcgiServer::acceptClients(int64_t now) {
    // Those waiting in the listen queue come in while there is room; a full
    // table makes room for one by pushing out the connection waiting longest.
    while (canAccept(now)) {
        if (clients_.size() >= limits_.protocol.maxConnections) {
            longestWaiting()->connection.pushOut();
            closeEnded();
        }
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            clients_.push_back(std::make_unique<Client>(Client{fd, FcgiConnection(now, limits_)}));
            continue;
        }
        if (wouldBlock(errno) || errno == ECONNABORTED)
            return true;
        if (errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM) {
            logAt(1, "FastCGI socket failed: %s", strerror(errno));
            return false;
        }
        logAt(1, "FastCGI client not accepted: %s", strerror(errno));
        acceptResumesAt_ = now + kAcceptPauseMicros;
    }
    return true;
}

void FcgiServer::readFrom(Client& client, int64_t now) {
    const ssize_t n = recv(client.fd, readBuffer_.data(), readBuffer_.size(), 0);
    if (n > 0) {
        client.connection.receive(readBuffer_.data(), static_cast<size_t>(n), now, handler_);
        // An answer usually fits the socket's buffer at once.
        if (client.connection.pendingSize() > 0 && client.connection.end() == FcgiEnd::kOpen)
            writeTo(client, clock_());
    } else if (n == 0) {
        client.connection.inputEnded();
    } else if (!wouldBlock(errno)) {
        client.connection.hungUp();
    }
}

void FcgiServer::writeTo(Client& client, int64_t now) {
    FcgiConnection& connection = client.connection;
    if (connection.pendingSize() == 0)
        return;
    const ssize_t n = send(client.fd, connection.pending(), connection.pendingSize(),
                           MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0)
        connection.sent(static_cast<size_t>(n), now, handler_);
    else if (n < 0 && !wouldBlock(errno))
        connection.hungUp();
}

void FcgiServer::keepWithinMemory() {
    size_t held = 0;
    for (const auto& client : clients_)
        held += client->connection.heldBytes();
    while (held > limits_.heldBytes) {
        Client* oldest = longestWaiting();
        if (oldest == nullptr)
            return;
        held -= oldest->connection.heldBytes();
        oldest->connection.pushOut();
    }
}

void FcgiServer::closeEnded() {
    for (auto it = clients_.begin(); it != clients_.end();) {
        if ((*it)->connection.end() == FcgiEnd::kOpen) {
            ++it;
            continue;
        }
        logEnd((*it)->connection);
        close((*it)->fd);
        it = clients_.erase(it);
    }
}

void FcgiServer::logEnd(const FcgiConnection& connection) {
    std::string why;
    switch (connection.end()) {
        case FcgiEnd::kOpen:
        case FcgiEnd::kClosed:
            return;
        case FcgiEnd::kBroken:
            why = fcgiEventText(connection.brokenBy());
            break;
        case FcgiEnd::kRequestLate:
            why = "no whole request within " + std::to_string(limits_.requestMicros / 1000) + " ms";
            break;
        case FcgiEnd::kResponseLate:
            why = "response not taken within " + std::to_string(limits_.responseMicros / 1000) +
                  " ms";
            break;
        case FcgiEnd::kPushedOut:
            why = "it waited longest when room was needed";
            break;
    }
    uint32_t notLogged = 0;
    if (!dropLines_.admit(clock_(), &notLogged))
        return;
    if (notLogged == 0)
        logAt(1, "FastCGI client dropped: %s", why.c_str());
    else
        logAt(1, "FastCGI client dropped: %s (%u more dropped, not logged)", why.c_str(),
              notLogged);
}
