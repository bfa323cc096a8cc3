#include "bench/bench_support.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "tools/descriptor_io.h"
#include "util/sha1.h"

namespace {

[[noreturn]] void failSystem(const std::string& what) {
    throw std::runtime_error(what + ": " + strerror(errno));
}

void writeOrThrow(int fd, const uint8_t* data, size_t size) {
    if (!writeAll(fd, data, size))
        failSystem("write");
}

}  // namespace

PtyLine::PtyLine() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        failSystem("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0)
        failSystem("grantpt/unlockpt");
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0)
        failSystem("ptsname_r");
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio;
    if (slave_ < 0 || tcgetattr(slave_, &tio) != 0)
        failSystem("open " + slavePath_);
    cfmakeraw(&tio);
    if (tcsetattr(slave_, TCSANOW, &tio) != 0)
        failSystem("tcsetattr " + slavePath_);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

void PtyLine::hangUp() {
    if (master_ >= 0)
        close(master_);
    if (slave_ >= 0)
        close(slave_);
    master_ = -1;
    slave_ = -1;
}

namespace {

constexpr uint8_t kFcgiBeginRequest = 1;
constexpr uint8_t kFcgiEndRequest = 3;
constexpr uint8_t kFcgiParams = 4;
constexpr uint8_t kFcgiStdin = 5;
constexpr uint8_t kFcgiStdout = 6;
constexpr uint8_t kFcgiResponder = 1;

void appendRecord(std::string& out, uint8_t type, const std::string& content) {
    // Version 1, request id 1, no padding.
    out += {1,
            static_cast<char>(type),
            0,
            1,
            static_cast<char>(content.size() >> 8),
            static_cast<char>(content.size() & 0xFF),
            0,
            0};
    out += content;
}

void appendLength(std::string& out, size_t length) {
    if (length < 128) {
        out.push_back(static_cast<char>(length));
    } else {
        out.push_back(static_cast<char>((length >> 24) | 0x80));
        out.push_back(static_cast<char>((length >> 16) & 0xFF));
        out.push_back(static_cast<char>((length >> 8) & 0xFF));
        out.push_back(static_cast<char>(length & 0xFF));
    }
}

int connectUnix(const std::string& path, Deadline deadline) {
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return fd;
        close(fd);
        int wait = millisLeft(deadline);
        if (wait == 0)
            return -1;
        // The daemon's worker creates the socket shortly after start.
        pollfd none;
        poll(&none, 0, wait < 10 ? wait : 10);
    }
}

}  // namespace

namespace {

std::string encodeRequest(const std::string& method, const std::string& requestUri,
                          const std::string& body) {
    std::string request;
    // Role (two bytes, high first), flags 0: the server closes after the reply.
    std::string begin(8, '\0');
    begin[1] = static_cast<char>(kFcgiResponder);
    appendRecord(request, kFcgiBeginRequest, begin);
    std::string params;
    const std::pair<std::string, std::string> pairs[] = {
        {"REQUEST_METHOD", method},
        {"REQUEST_URI", requestUri},
        {"CONTENT_LENGTH", std::to_string(body.size())},
        {"SCRIPT_NAME", "/kanzo_zul"},
        // The camera's own plate application: loopback may post plates.
        {"REMOTE_ADDR", "127.0.0.1"}};
    for (const auto& [name, value] : pairs) {
        appendLength(params, name.size());
        appendLength(params, value.size());
        params += name + value;
    }
    appendRecord(request, kFcgiParams, params);
    appendRecord(request, kFcgiParams, "");
    for (size_t at = 0; at < body.size(); at += 65535) {
        appendRecord(request, kFcgiStdin, body.substr(at, 65535));
    }
    appendRecord(request, kFcgiStdin, "");
    return request;
}

// The standard output records up to the end of the request, or nothing when
// the connection ended or the deadline passed first.
std::optional<std::string> readResponse(int fd, Deadline deadline) {
    std::string received;
    std::string response;
    for (;;) {
        while (received.size() >= 8) {
            const uint8_t* header = reinterpret_cast<const uint8_t*>(received.data());
            size_t content = (header[4] << 8) | header[5];
            size_t total = 8 + content + header[6];
            if (received.size() < total)
                break;
            if (header[1] == kFcgiStdout)
                response.append(received, 8, content);
            if (header[1] == kFcgiEndRequest)
                return response;
            received.erase(0, total);
        }
        int wait = millisLeft(deadline);
        pollfd in = {fd, POLLIN, 0};
        if (wait == 0 || poll(&in, 1, wait) <= 0)
            return std::nullopt;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return std::nullopt;
        received.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace

std::optional<std::string> fastcgiRequest(const std::string& socketPath, const std::string& method,
                                          const std::string& requestUri, const std::string& body,
                                          Deadline deadline) {
    const int fd = connectUnix(socketPath, deadline);
    if (fd < 0)
        return std::nullopt;
    const std::string request = encodeRequest(method, requestUri, body);
    writeOrThrow(fd, reinterpret_cast<const uint8_t*>(request.data()), request.size());
    std::optional<std::string> response = readResponse(fd, deadline);
    close(fd);
    return response;
}

std::string plateEvent(const std::string& plate, int region) {
    return "{\"packetCounter\":\"1\",\"datetime\":\"20261206 120000000\",\"plateText\":\"x\","
           "\"plateUTF8\":\"" +
           plate + "\",\"camera_info\":{\"SerialNumber\":\"ACCC8E0B1234\"},\"roiID\":\"" +
           std::to_string(region) + "\",\"plateImage\":\"/9j/4AAQSkZJRgABAQ\"}";
}

std::string cardLine(const std::string& plate, int region) {
    Sha1 sha;
    sha.update(plate);
    char line[64];
    snprintf(line, sizeof line, "reader %d card format=0x12 bits=32 card=%08X", 9 + region,
             cardNumberFromDigest(sha.finalHex()));
    return line;
}

Summary summarize(std::vector<double> samples) {
    Summary summary;
    summary.count = samples.size();
    if (samples.empty())
        return summary;
    std::sort(samples.begin(), samples.end());
    auto rank = [&](double fraction) {
        size_t index = static_cast<size_t>(std::ceil(fraction * samples.size()));
        return samples[index == 0 ? 0 : index - 1];
    };
    summary.median = rank(0.50);
    summary.p99 = rank(0.99);
    summary.max = samples.back();
    return summary;
}

template <typename T>
Option numberOption(const std::string& name, double min, double max, T* value) {
    return Option{name, [=](const char* text) {
                      char* end = nullptr;
                      errno = 0;
                      const double number = strtod(text, &end);
                      if (errno != 0 || end == text || *end != '\0' ||
                          !(number >= min && number <= max) ||
                          (std::is_integral_v<T> && number != std::floor(number)))
                          return false;
                      *value = static_cast<T>(number);
                      return true;
                  }};
}
template Option numberOption(const std::string&, double, double, int*);
template Option numberOption(const std::string&, double, double, uint32_t*);
template Option numberOption(const std::string&, double, double, double*);

Option textOption(const std::string& name, std::string* value) {
    return Option{name, [=](const char* text) {
                      *value = text;
                      return true;
                  }};
}

bool parseOptions(int argc, char** argv, const std::vector<Option>& options, const char* usage) {
    for (int i = 1; i < argc; i += 2) {
        const auto option = std::find_if(options.begin(), options.end(),
                                         [&](const Option& o) { return o.name == argv[i]; });
        if (option == options.end() || i + 1 >= argc || !option->take(argv[i + 1])) {
            fprintf(stderr, "usage: %s\n", usage);
            return false;
        }
    }
    return true;
}
