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

#include "tools/descriptor_io.h"
#include "util/sha1.h"
#include "web/fastcgi_codec.h"

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

// The standard output records up to the end of the request, or nothing when
// the connection ended or the deadline passed first.
std::optional<std::string> readResponse(int fd, Deadline deadline) {
    std::string received;
    std::string response;
    for (;;) {
        while (received.size() >= kFcgiHeaderSize) {
            const FcgiHeader header =
                decodeFcgiHeader(reinterpret_cast<const uint8_t*>(received.data()));
            const size_t total = kFcgiHeaderSize + header.contentLength + header.paddingLength;
            if (received.size() < total)
                break;
            if (header.type == kFcgiStdout)
                response.append(received, kFcgiHeaderSize, header.contentLength);
            if (header.type == kFcgiEndRequest)
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
    const std::string request = fcgiRequest(method, requestUri, body);
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
