#include "tests/harness/daemon_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

const char* const kDaemonBinary = KANZO_ZUL_BINARY;
const char* const kControllerBinary = OSDP_CONTROLLER_BINARY;
const char* const kTestSerialNumber = "ACCC8E0B1234";

namespace {

[[noreturn]] void failSystem(const std::string& what) {
    throw std::runtime_error(what + ": " + strerror(errno));
}

void writeOrThrow(int fd, const uint8_t* data, size_t size) {
    if (!writeAll(fd, data, size))
        failSystem("write");
}

}  // namespace

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/kanzo_bb.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr)
        failSystem("mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(const std::string& name, const std::string& content) const {
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + file(name));
}

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

PtyLine::~PtyLine() {
    hangUp();
}

void PtyLine::write(const std::vector<uint8_t>& bytes) const {
    writeOrThrow(master_, bytes.data(), bytes.size());
}

std::vector<uint8_t> PtyLine::readFrame(Deadline deadline) {
    for (;;) {
        if (!pending_.empty() && pending_[0] != 0x53) {
            size_t start = 1;
            while (start < pending_.size() && pending_[start] != 0x53)
                ++start;
            std::vector<uint8_t> stray(pending_.begin(), pending_.begin() + start);
            pending_.erase(pending_.begin(), pending_.begin() + start);
            return stray;
        }
        if (pending_.size() >= 4) {
            size_t length = pending_[2] | (pending_[3] << 8);
            if (length < 4)
                length = pending_.size();
            if (pending_.size() >= length) {
                std::vector<uint8_t> frame(pending_.begin(), pending_.begin() + length);
                pending_.erase(pending_.begin(), pending_.begin() + length);
                return frame;
            }
        }
        int wait = millisLeft(deadline);
        if (wait == 0)
            return {};
        pollfd in = {master_, POLLIN, 0};
        if (poll(&in, 1, wait) <= 0)
            continue;
        uint8_t bytes[256];
        ssize_t n = read(master_, bytes, sizeof bytes);
        if (n > 0)
            pending_.insert(pending_.end(), bytes, bytes + n);
    }
}

void PtyLine::hangUp() {
    if (master_ >= 0)
        close(master_);
    if (slave_ >= 0)
        close(slave_);
    master_ = -1;
    slave_ = -1;
}

NullModem::NullModem() {
    if (pipe2(stopPipe_, O_CLOEXEC) != 0)
        failSystem("pipe2");
    relay_ = std::thread([this] { relay(); });
}

NullModem::~NullModem() {
    // The closed write end wakes the relay thread's poll with a hang-up.
    close(stopPipe_[1]);
    relay_.join();
    close(stopPipe_[0]);
}

void NullModem::relay() {
    const int a = a_.masterFd();
    const int b = b_.masterFd();
    for (;;) {
        pollfd fds[3] = {{a, POLLIN, 0}, {b, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[2].revents != 0)
            return;
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & POLLIN) == 0)
                continue;
            uint8_t bytes[256];
            ssize_t n = read(fds[i].fd, bytes, sizeof bytes);
            if (n > 0)
                writeOrThrow(i == 0 ? b : a, bytes, static_cast<size_t>(n));
        }
    }
}

ChildProcess::ChildProcess(const ProcessOptions& options) {
    // Everything the child needs is built before fork: the test may run other
    // threads, so the child only calls async-signal-safe functions.
    std::vector<std::string> envText;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        std::string name = text.substr(0, text.find('='));
        bool replaced = options.env.count(name) != 0;
        for (const std::string& unset : options.unsetEnv)
            replaced = replaced || unset == name;
        if (!replaced)
            envText.push_back(text);
    }
    for (const auto& [name, value] : options.env)
        envText.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& text : envText)
        envp.push_back(&text[0]);
    envp.push_back(nullptr);
    std::vector<std::string> args = options.args;
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    const char* directory =
        options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();

    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        failSystem("pipe2");
    pid_ = fork();
    if (pid_ < 0)
        failSystem("fork");
    if (pid_ == 0) {
        int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (directory != nullptr && chdir(directory) != 0)
            _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    stdout_ = out[0];
    stderr_fd_ = err[0];
    fcntl(stdout_, F_SETFL, fcntl(stdout_, F_GETFL) | O_NONBLOCK);
    fcntl(stderr_fd_, F_SETFL, fcntl(stderr_fd_, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    if (!status_) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (stdout_ >= 0)
        close(stdout_);
    if (stderr_fd_ >= 0)
        close(stderr_fd_);
}

int ChildProcess::pump(int timeoutMs) {
    pollfd fds[2] = {{stdout_, POLLIN, 0}, {stderr_fd_, POLLIN, 0}};
    if (stdout_ < 0 && stderr_fd_ < 0)
        return -1;
    if (poll(fds, 2, timeoutMs) <= 0)
        return 0;
    int total = 0;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0)
            continue;
        int& fd = i == 0 ? stdout_ : stderr_fd_;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            (i == 0 ? partial_ : stderr_).append(buffer, static_cast<size_t>(n));
            total += static_cast<int>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            close(fd);
            fd = -1;
        }
    }
    takeLines();
    return total;
}

void ChildProcess::takeLines() {
    size_t end;
    while ((end = partial_.find('\n')) != std::string::npos) {
        lines_.push_back(partial_.substr(0, end));
        partial_.erase(0, end + 1);
    }
}

void ChildProcess::readOutput() {
    while (pump(0) > 0) {
    }
}

int ChildProcess::countLines(const std::string& text) const {
    int count = 0;
    for (const std::string& line : lines_) {
        if (line.find(text) != std::string::npos)
            ++count;
    }
    return count;
}

bool ChildProcess::waitForLine(const std::string& text, Deadline deadline, int count) {
    for (;;) {
        if (countLines(text) >= count)
            return true;
        int wait = millisLeft(deadline);
        if (wait == 0 || pump(wait) < 0)
            return countLines(text) >= count;
    }
}

void ChildProcess::signal(int signalNumber) {
    lastSignal_ = signalNumber;
#if defined(UNDER_THREAD_SANITIZER)
    // ThreadSanitizer holds a signal back until the thread that took it next
    // passes an intercepted call. Should the kernel pick the web worker, which
    // waits in accept for good, the stop would never come; aim at the main
    // thread so that a stop under TSan is as certain as without it.
    syscall(SYS_tgkill, pid_, pid_, signalNumber);
#else
    kill(pid_, signalNumber);
#endif
}

bool ChildProcess::running() {
    if (status_)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_)
        status_ = status;
    return !status_;
}

std::optional<int> ChildProcess::waitExit(Deadline deadline) {
#if defined(UNDER_THREAD_SANITIZER)
    // Now and then ThreadSanitizer's runtime keeps a stop signal back for good
    // (never seen without it); a second signal of the same kind is harmless.
    Deadline resendAt = SteadyClock::now() + std::chrono::seconds(3);
#endif
    while (running()) {
        int wait = millisLeft(deadline);
        if (wait == 0)
            return std::nullopt;
#if defined(UNDER_THREAD_SANITIZER)
        if (lastSignal_ != 0 && SteadyClock::now() > resendAt) {
            signal(lastSignal_);
            resendAt = SteadyClock::now() + std::chrono::seconds(3);
        }
#endif
        // Output first: a child blocked on a full pipe would never end.
        if (pump(wait < 20 ? wait : 20) < 0) {
            pollfd none;
            poll(&none, 0, wait < 20 ? wait : 20);
        }
    }
    // The rest of the output, up to the end of both pipes.
    while (millisLeft(deadline) > 0 && pump(millisLeft(deadline)) >= 0) {
    }
    return status_;
}

long ChildProcess::cpuTicks() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name in parentheses, from the state (field 3)
    // on: utime is field 14 and stime field 15.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skipped;
    for (int number = 3; number < 14; ++number)
        fields >> skipped;
    long utime = 0;
    long stime = 0;
    fields >> utime >> stime;
    return utime + stime;
}

ProcessOptions daemonOptions(const TempDir& dir, const std::string& serialDevice) {
    dir.write("parameters.conf", std::string("# test camera\nProperties.System.SerialNumber=") +
                                     kTestSerialNumber + "\n");
    ProcessOptions options;
    options.args = {kDaemonBinary};
    options.env = {{"ZUL_PARAMETER_FILE", dir.file("parameters.conf")},
                   {"ZUL_SERIAL_DEVICE", serialDevice},
                   {"FCGI_SOCKET_NAME", dir.file("fcgi.sock")},
                   {"ZUL_KEY_FILE", dir.file("osdp-keys")}};
    options.unsetEnv = {"ZUL_CGI_HEADERS"};
    options.workingDirectory = dir.path();
    return options;
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

std::optional<std::string> fastcgiRequest(const std::string& socketPath, const std::string& method,
                                          const std::string& requestUri, const std::string& body,
                                          Deadline deadline) {
    const int fd = connectUnix(socketPath, deadline);
    if (fd < 0)
        return std::nullopt;

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
        {"SCRIPT_NAME", "/kanzo_zul"}};
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
    writeOrThrow(fd, reinterpret_cast<const uint8_t*>(request.data()), request.size());

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
            if (header[1] == kFcgiEndRequest) {
                close(fd);
                return response;
            }
            received.erase(0, total);
        }
        int wait = millisLeft(deadline);
        pollfd in = {fd, POLLIN, 0};
        if (wait == 0 || poll(&in, 1, wait) <= 0)
            break;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        received.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return std::nullopt;
}

std::optional<std::string> xmlValue(const std::string& document, const std::string& name) {
    const std::string open = "<" + name + ">";
    const std::string close = "</" + name + ">";
    size_t start = document.find(open);
    if (start == std::string::npos)
        return std::nullopt;
    start += open.size();
    size_t end = document.find(close, start);
    if (end == std::string::npos)
        return std::nullopt;
    return document.substr(start, end - start);
}
