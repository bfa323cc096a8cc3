#include "tests/harness/daemon_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "web/fastcgi_codec.h"

extern char** environ;

const char* const kDaemonBinary = KANZO_ZUL_BINARY;
const char* const kControllerBinary = OSDP_CONTROLLER_BINARY;

namespace {

void check(bool done, const std::string& what) {
    if (!done)
        throw std::runtime_error(what + ": " + strerror(errno));
}

ProcessOptions nginxOptions(const TempDir& dir, const std::string& servers,
                            std::vector<std::string> args) {
    dir.write("nginx.conf",
              "daemon off; master_process off; pid nginx.pid; events { worker_connections 4096; }"
              " http { access_log off; client_body_temp_path body; fastcgi_temp_path fastcgi; " +
                  servers + " }");
    args.insert(args.end(), {"/usr/sbin/nginx", "-p", dir.path(), "-e", dir.file("error.log"), "-c",
                             dir.file("nginx.conf")});
    return programOptions(args);
}

}  // namespace

TempDir::TempDir() {
    path_ = std::filesystem::temp_directory_path() / "kanzo_bb.XXXXXX";
    check(mkdtemp(&path_[0]) != nullptr, "mkdtemp");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(const std::string& name, const std::string& content) const {
    check(static_cast<bool>(std::ofstream(file(name), std::ios::binary) << content),
          "write " + file(name));
}

ChildProcess::ChildProcess(const ProcessOptions& options) {
    // env sets the variables and the directory, then runs the program.
    const std::string& directory = options.workingDirectory;
    std::vector<std::string> text = {"/usr/bin/env",
                                     "--chdir=" + (directory.empty() ? "." : directory)};
    for (const auto& [name, value] : options.env)
        text.push_back(name + "=" + value);
    text.insert(text.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (std::string& item : text)
        argv.push_back(&item[0]);
    argv.push_back(nullptr);
    int out[2];
    stderr_ = memfd_create("stderr", MFD_CLOEXEC);
    check(pipe2(out, O_CLOEXEC | O_NONBLOCK) == 0 && stderr_ >= 0, "pipe2");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO,
                                     options.input.empty() ? "/dev/null" : options.input.c_str(),
                                     O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, stderr_, STDERR_FILENO);
    errno = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    check(errno == 0, "spawn env");
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    stdout_ = out[0];
}

ChildProcess::~ChildProcess() {
    // Asked first, so that a program that can end normally does (and writes
    // its coverage data, in a coverage build).
    if (running())
        signal(SIGTERM);
    if (!waitExit()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close(stdout_);
    close(stderr_);
}

int ChildProcess::pump(int timeoutMs) {
    pollfd in = {stdout_, POLLIN, 0};
    if (stdout_ < 0 || poll(&in, 1, timeoutMs) <= 0)
        return stdout_ < 0 ? -1 : 0;
    char buffer[4096];
    const ssize_t n = read(stdout_, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    if (n <= 0) {
        close(stdout_);
        stdout_ = -1;
        return -1;
    }
    output_.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = output_.find('\n', lineStart_)) != std::string::npos;) {
        lines_.push_back(output_.substr(lineStart_, end - lineStart_));
        lineStart_ = end + 1;
    }
    return static_cast<int>(n);
}

void ChildProcess::readOutput() {
    while (pump(0) > 0) {
    }
}

int ChildProcess::countLines(const std::string& text) const {
    return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
        return l.find(text) != std::string::npos;
    }));
}

bool ChildProcess::waitForLine(const std::string& text, Deadline deadline, int count) {
    while (countLines(text) < count) {
        if (millisLeft(deadline) == 0 || pump(millisLeft(deadline)) < 0)
            return countLines(text) >= count;
    }
    return true;
}

std::string ChildProcess::errorText() const {
    struct stat info {};
    fstat(stderr_, &info);
    std::string text(static_cast<size_t>(info.st_size), '\0');
    text.resize(
        static_cast<size_t>(std::max<ssize_t>(0, pread(stderr_, &text[0], text.size(), 0))));
    return text;
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
    int status = 0;
    if (!status_ && waitpid(pid_, &status, WNOHANG) == pid_)
        status_ = status;
    return !status_;
}

std::optional<int> ChildProcess::waitExit(Deadline deadline) {
#if defined(UNDER_THREAD_SANITIZER)
    Deadline resendAt = deadlineIn(std::chrono::seconds(3));
#endif
    while (running()) {
        if (millisLeft(deadline) == 0)
            return std::nullopt;
#if defined(UNDER_THREAD_SANITIZER)
        // Now and then ThreadSanitizer's runtime keeps a stop signal back for
        // good (never seen without it); a second one of the kind is harmless.
        if (lastSignal_ != 0 && SteadyClock::now() > resendAt) {
            signal(lastSignal_);
            resendAt = deadlineIn(std::chrono::seconds(3));
        }
#endif
        // Output first: a child blocked on a full pipe would never end.
        if (pump(std::min(millisLeft(deadline), 20)) < 0)
            poll(nullptr, 0, std::min(millisLeft(deadline), 20));
    }
    while (millisLeft(deadline) > 0 && pump(millisLeft(deadline)) >= 0) {
    }
    return status_;
}

long ChildProcess::cpuTicks() const {
    clockid_t clock;
    timespec used{};
    if (clock_getcpuclockid(pid_, &clock) != 0 || clock_gettime(clock, &used) != 0)
        return 0;
    const long hz = sysconf(_SC_CLK_TCK);
    return used.tv_sec * hz + used.tv_nsec / (1000000000L / hz);
}

Cable::Cable(const TempDir& dir)
    : endA(dir.file("ttyA")),
      endB(dir.file("ttyB")),
      socat_(programOptions(
          {"/usr/bin/socat", "pty,raw,echo=0,link=" + endA, "pty,raw,echo=0,link=" + endB})) {
    for (const Deadline deadline = deadlineIn(kPatience);
         (access(endA.c_str(), F_OK) != 0 || access(endB.c_str(), F_OK) != 0) &&
         millisLeft(deadline) > 0;) {
        poll(nullptr, 0, 5);
    }
}

Cable::~Cable() {
    socat_.signal(SIGTERM);
    socat_.waitExit();
}

int exitCode(const std::optional<int>& status) {
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

ProcessOptions programOptions(const std::vector<std::string>& args) {
    ProcessOptions options;
    options.args = args;
    return options;
}

ProcessOptions daemonOptions(const TempDir& dir, const std::string& serialDevice) {
    dir.write("parameters.conf", "# test camera\nProperties.System.SerialNumber=ACCC8E0B1234\n");
    ProcessOptions options = programOptions({kDaemonBinary});
    options.env = {{"ZUL_PARAMETER_FILE", dir.file("parameters.conf")},
                   {"ZUL_SERIAL_DEVICE", serialDevice},
                   {"FCGI_SOCKET_NAME", dir.file("fcgi.sock")},
                   {"ZUL_KEY_FILE", dir.file("osdp-keys")},
                   {"ZUL_LINE_FILE", dir.file("osdp-line")},
                   {"ZUL_CGI_HEADERS", "0"}};
    options.workingDirectory = dir.path();
    return options;
}

ProcessOptions behindWebServer(ProcessOptions daemon) {
    daemon.env["ZUL_CGI_HEADERS"] = "1";
    return daemon;
}

ProcessOptions panelOptions(const std::string& line, const std::vector<std::string>& args) {
    ProcessOptions options = programOptions({kControllerBinary, "--interval", "10"});
    options.args.insert(options.args.end(), args.begin(), args.end());
    options.args.push_back(line);
    return options;
}

PolledDaemon::PolledDaemon(bool webServer)
    : daemon(webServer ? behindWebServer(daemonOptions(dir, cable.endA))
                       : daemonOptions(dir, cable.endA)) {
    startPanel();
}

void PolledDaemon::startPanel() {
    panel.emplace(panelOptions(cable.endB));
    if (!panel->waitForLine("reader 11 online"))
        throw std::runtime_error("reader 11 not online: " + daemon.errorText());
}

std::string webRequest(const TempDir& dir, const std::string& uri, const std::string& body) {
    dir.write("request-body", body);
    ProcessOptions options =
        programOptions({"/usr/bin/cgi-fcgi", "-bind", "-connect", dir.file("fcgi.sock")});
    // The camera itself asks: loopback may change state.
    options.env = {{"REQUEST_METHOD", body.empty() ? "GET" : "POST"},
                   {"REQUEST_URI", uri},
                   {"REMOTE_ADDR", "127.0.0.1"},
                   {"CONTENT_LENGTH", std::to_string(body.size())}};
    options.input = dir.file("request-body");
    for (const Deadline deadline = deadlineIn(kPatience); millisLeft(deadline) > 0;) {
        ChildProcess client(options);
        if (exitCode(client.waitExit(deadline)) == 0)
            return client.output();
        poll(nullptr, 0, 10);
    }
    return "no response";
}

std::string fcgiRecord(uint8_t type, const std::string& content) {
    std::string record;
    appendFcgiRecord(&record, type, 1, content.data(), content.size());
    return record;
}

std::string fcgiBegin() {
    const char responder[kFcgiBeginLength] = {0, kFcgiResponder};
    return fcgiRecord(kFcgiBeginRequest, std::string(responder, sizeof responder));
}

std::string fcgiRequest(const std::string& method, const std::string& uri,
                        const std::string& body) {
    const std::pair<const char*, std::string> pairs[] = {
        {"REQUEST_METHOD", method},
        {"REQUEST_URI", uri},
        {"CONTENT_LENGTH", std::to_string(body.size())},
        {"SCRIPT_NAME", "/kanzo_zul"},
        {"REMOTE_ADDR", "127.0.0.1"}};
    std::string params;
    for (const auto& [name, value] : pairs)
        appendFcgiPair(&params, name, value);
    std::string records =
        fcgiBegin() + fcgiRecord(kFcgiParams, params) + fcgiRecord(kFcgiParams, "");
    for (size_t at = 0; at < body.size(); at += kFcgiMaxContent)
        records += fcgiRecord(kFcgiStdin, body.substr(at, kFcgiMaxContent));
    return records + fcgiRecord(kFcgiStdin, "");
}

int connectAndSend(const TempDir& dir, const std::string& bytes) {
    const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    dir.file("fcgi.sock").copy(address.sun_path, sizeof address.sun_path - 1);
    if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(bytes.size())) {
        close(client);
        return -1;
    }
    return client;
}

bool closedByDaemon(int client, Deadline deadline) {
    char buffer[4096];
    for (pollfd ready = {client, POLLIN, 0}; poll(&ready, 1, millisLeft(deadline)) == 1;) {
        const ssize_t n = recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
    }
    return false;
}

int sendToSocket(const TempDir& dir, const std::string& bytes) {
    dir.write("crafted", bytes);
    ProcessOptions client =
        programOptions({"/usr/bin/socat", "-u", "STDIN", "UNIX-CONNECT:" + dir.file("fcgi.sock")});
    client.input = dir.file("crafted");
    return exitCode(ChildProcess(client).waitExit());
}

std::string fileText(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

std::string shippedServers(const TempDir& dir, const std::string& camera,
                           const std::string& other) {
    dir.write("password", "s3cret\n");
    ProcessOptions passwd =
        programOptions({"/bin/sh", KANZO_DEPLOY "/kanzo_zul-passwd", "installer"});
    passwd.env["KANZO_HTPASSWD"] = dir.file("htpasswd");
    passwd.input = dir.file("password");
    ChildProcess setPassword(passwd);
    if (exitCode(setPassword.waitExit()) != 0)
        throw std::runtime_error("kanzo_zul-passwd failed: " + setPassword.errorText());
    std::string snippet = fileText(KANZO_DEPLOY "/nginx-kanzo_zul.conf");
    const std::pair<std::string, std::string> replacements[] = {
        {"/run/kanzo_zul/fcgi.sock", dir.file("fcgi.sock")},
        {"/etc/kanzo_zul/htpasswd", dir.file("htpasswd")}};
    for (const auto& [from, to] : replacements) {
        const size_t at = snippet.find(from);
        if (at == std::string::npos)
            throw std::runtime_error("the shipped nginx snippet lacks " + from);
        snippet.replace(at, from.size(), to);
    }
    dir.write("kanzo_zul.conf", snippet);
    return "set_real_ip_from 127.0.0.1; real_ip_header X-Real-IP; server { listen " + camera +
           "; root .; include kanzo_zul.conf; } server { listen " + other + "; root .; }";
}

Nginx::Nginx(const TempDir& dir, const std::string& servers,
             const std::vector<std::string>& launcher)
    : nginx_(nginxOptions(dir, servers, launcher)) {
    // nginx writes its pid file once it listens.
    for (const Deadline deadline = deadlineIn(kPatience);
         access(dir.file("nginx.pid").c_str(), F_OK) != 0 && millisLeft(deadline) > 0;) {
        poll(nullptr, 0, 10);
    }
}
