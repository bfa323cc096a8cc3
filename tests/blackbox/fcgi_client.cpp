#include "tests/blackbox/fcgi_client.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr uint8_t kVersion = 1;
constexpr uint8_t kBeginRequest = 1;
constexpr uint8_t kEndRequest = 3;
constexpr uint8_t kParams = 4;
constexpr uint8_t kStdin = 5;
constexpr uint8_t kStdout = 6;
constexpr uint8_t kStderr = 7;
constexpr uint16_t kResponder = 1;
constexpr uint16_t kRequestId = 1;
constexpr size_t kMaxContent = 65535;

void appendRecord(std::string& out, uint8_t type, const std::string& content) {
    const uint8_t header[8] = {kVersion,
                               type,
                               static_cast<uint8_t>(kRequestId >> 8),
                               static_cast<uint8_t>(kRequestId & 0xFF),
                               static_cast<uint8_t>(content.size() >> 8),
                               static_cast<uint8_t>(content.size() & 0xFF),
                               0,
                               0};
    out.append(reinterpret_cast<const char*>(header), sizeof header);
    out += content;
}

// A stream as records of at most kMaxContent bytes, closed by an empty record.
void appendStream(std::string& out, uint8_t type, const std::string& data) {
    for (size_t pos = 0; pos < data.size(); pos += kMaxContent) {
        appendRecord(out, type, data.substr(pos, kMaxContent));
    }
    appendRecord(out, type, std::string());
}

void appendLength(std::string& out, size_t length) {
    if (length < 128) {
        out.push_back(static_cast<char>(length));
        return;
    }
    out.push_back(static_cast<char>(((length >> 24) & 0x7F) | 0x80));
    out.push_back(static_cast<char>((length >> 16) & 0xFF));
    out.push_back(static_cast<char>((length >> 8) & 0xFF));
    out.push_back(static_cast<char>(length & 0xFF));
}

int connectTo(const std::string& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path)
        return -1;
    memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly count bytes; false on end of stream, error or timeout.
bool readExactly(int fd, size_t count, std::string& out, int timeoutMs) {
    out.clear();
    char buf[4096];
    while (out.size() < count) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const size_t want = std::min(sizeof buf, count - out.size());
        const ssize_t n = read(fd, buf, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out.append(buf, static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

std::string encodeFcgiPair(const std::string& name, const std::string& value) {
    std::string out;
    appendLength(out, name.size());
    appendLength(out, value.size());
    return out + name + value;
}

FcgiParams cgiParams(const std::string& method, const std::string& uri, size_t contentLength) {
    const size_t queryStart = uri.find('?');
    const std::string path = uri.substr(0, queryStart);
    const std::string query = queryStart == std::string::npos ? "" : uri.substr(queryStart + 1);
    return {{"GATEWAY_INTERFACE", "CGI/1.1"},
            {"SERVER_PROTOCOL", "HTTP/1.1"},
            {"REQUEST_METHOD", method},
            {"REQUEST_URI", uri},
            {"SCRIPT_NAME", path},
            {"QUERY_STRING", query},
            {"CONTENT_TYPE", method == "POST" ? "application/json" : ""},
            {"CONTENT_LENGTH", std::to_string(contentLength)}};
}

FcgiResponse fcgiRequest(const std::string& socketPath, const FcgiParams& params,
                         const std::string& body, int timeoutMs) {
    FcgiResponse response;
    const int fd = connectTo(socketPath);
    if (fd < 0) {
        response.failure = "connect to " + socketPath + ": " + strerror(errno);
        return response;
    }

    std::string request;
    const char begin[8] = {0, static_cast<char>(kResponder), 0, 0, 0, 0, 0, 0};
    appendRecord(request, kBeginRequest, std::string(begin, sizeof begin));
    std::string paramBytes;
    for (const auto& param : params)
        paramBytes += encodeFcgiPair(param.first, param.second);
    appendStream(request, kParams, paramBytes);
    appendStream(request, kStdin, body);
    if (!writeAll(fd, request)) {
        response.failure = "write failed";
        close(fd);
        return response;
    }

    std::string header;
    std::string content;
    while (readExactly(fd, 8, header, timeoutMs)) {
        const uint8_t type = static_cast<uint8_t>(header[1]);
        const size_t contentLength = (static_cast<size_t>(static_cast<uint8_t>(header[4])) << 8) |
                                     static_cast<uint8_t>(header[5]);
        const size_t padding = static_cast<uint8_t>(header[6]);
        if (!readExactly(fd, contentLength + padding, content, timeoutMs))
            break;
        content.resize(contentLength);
        if (type == kStdout) {
            response.out += content;
        } else if (type == kStderr) {
            response.err += content;
        } else if (type == kEndRequest && content.size() >= 5) {
            const auto byte = [&content](size_t i) {
                return static_cast<uint32_t>(static_cast<uint8_t>(content[i]));
            };
            response.appStatus = (byte(0) << 24) | (byte(1) << 16) | (byte(2) << 8) | byte(3);
            response.protocolStatus = static_cast<uint8_t>(content[4]);
            response.complete = true;
            break;
        }
    }
    if (!response.complete)
        response.failure = "no END_REQUEST before close or timeout";
    close(fd);
    return response;
}

FcgiResponse fcgiGet(const std::string& socketPath, const std::string& uri) {
    return fcgiRequest(socketPath, cgiParams("GET", uri, 0), std::string());
}

FcgiResponse fcgiPost(const std::string& socketPath, const std::string& uri,
                      const std::string& body) {
    return fcgiRequest(socketPath, cgiParams("POST", uri, body.size()), body);
}

bool waitForFcgiSocket(const std::string& socketPath, int timeoutMs) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        const int fd = connectTo(socketPath);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long elapsedMs =
            (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsedMs >= timeoutMs)
            return false;
        const timespec pause{0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}
