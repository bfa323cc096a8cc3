#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "bench/daemon_bench.h"
#include "tools/reply_text.h"

void Report::add(const std::string& section, const std::string& name, const std::string& metric,
                 double value, const std::string& unit) {
    char number[32];
    snprintf(number, sizeof number, "%.3f", value);
    rows_ += section + "," + name + "," + metric + "," + number + "," + unit + "\n";
}

bool Report::write(const std::string& path) const {
    std::ofstream out(path, std::ios::trunc);
    out << "section,case,metric,value,unit\n" << rows_;
    return static_cast<bool>(out);
}

namespace {

bool answers(const OsdpReply& reply, uint8_t address, uint8_t sequence, uint8_t command) {
    if (reply.address != address || reply.sequence != sequence)
        return false;
    switch (command) {
        case kCmdPoll:
            return reply.code == kReplyAck || reply.code == kReplyRaw;
        case kCmdId:
            return reply.code == kReplyPdid;
        case kCmdCap:
            return reply.code == kReplyPdcap;
    }
    return false;
}

}  // namespace

std::optional<double> Panel::exchange(uint8_t address, uint8_t command, bool lineRate) {
    // A reader's first frame from this panel carries sequence 0, which
    // starts a new session: the daemon answers it afresh even if it equals
    // the last frame an earlier panel sent.
    const auto last = sequences_.find(address);
    const uint8_t sequence = last == sequences_.end() ? 0 : last->second % 3 + 1;
    sequences_[address] = sequence;
    OsdpReply reply;
    const auto micros =
        exchangeFrame(buildCommandFrame(address, sequence, command), lineRate, &reply);
    if (!micros || !answers(reply, address, sequence, ackOnly_ ? kCmdPoll : command)) {
        ++failures_;
        return std::nullopt;
    }
    if (reply.code == kReplyRaw)
        cardLines_.push_back(describeReply(command, reply));
    return micros;
}

std::optional<double> Panel::exchangeFrame(const std::vector<uint8_t>& frame, bool lineRate,
                                           OsdpReply* reply) {
    collector_.clear();
    const auto sent = send(frame, lineRate);
    if (!sent)
        return std::nullopt;
    const auto deadline = *sent + kReplyTimeout;
    std::optional<SteadyClock::time_point> firstByte;
    size_t replyBytes = 0;
    do {
        pollfd in = {fd_, POLLIN, 0};
        if (poll(&in, 1, millisLeft(deadline)) <= 0)
            return std::nullopt;
        if (!firstByte)
            firstByte = SteadyClock::now();
        uint8_t bytes[512];
        const ssize_t n = read(fd_, bytes, sizeof bytes);
        if (n <= 0)
            continue;
        replyBytes += static_cast<size_t>(n);
        collector_.push(bytes, static_cast<size_t>(n));
    } while (!collector_.nextReply(reply));
    if (lineRate)
        std::this_thread::sleep_for(kByteTime * replyBytes);
    return Micros(*firstByte - *sent).count();
}

std::optional<SteadyClock::time_point> Panel::send(const std::vector<uint8_t>& frame,
                                                   bool lineRate) const {
    const size_t chunk = lineRate ? 1 : frame.size();
    const auto begin = SteadyClock::now();
    SteadyClock::time_point sent;
    for (size_t at = 0; at < frame.size(); at += chunk) {
        if (lineRate)
            std::this_thread::sleep_until(begin + kByteTime * (at + 1));
        // Taken before the write: the write may wake the kernel's worker
        // that hands the bytes on, and should that preempt this thread on
        // its way back, the reply would already be in when a clock read
        // after the write ran.
        sent = SteadyClock::now();
        if (::write(fd_, frame.data() + at, chunk) != static_cast<ssize_t>(chunk))
            return std::nullopt;
    }
    return sent;
}

BackgroundPolling::BackgroundPolling(int fd) : panel_(fd) {
    thread_ = std::thread([this] {
        for (size_t turn = 0; !stop_.load(); ++turn) {
            if (panel_.exchange(kReaderAddresses[turn % 2], kCmdPoll, true))
                ++answered_;
        }
    });
}
void BackgroundPolling::stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}
DaemonUnderTest::DaemonUnderTest(const std::string& path, const std::string& keyFile)
    : process_(options(path, keyFile)) {
    if (!process_.waitForLine("Serial port add watch", deadlineIn(kPatience)) ||
        !fastcgiRequest(socket(), "GET", std::string(kScript) + "?info", "",
                        deadlineIn(kPatience))) {
        throw std::runtime_error("kanzo_zul did not start\n" + process_.errorText());
    }
}

void DaemonUnderTest::checkRunning() {
    if (!process_.running())
        throw std::runtime_error("kanzo_zul ended during the run\n" + process_.errorText());
}

std::optional<double> DaemonUnderTest::request(const std::string& method, const std::string& query,
                                               const std::string& body) {
    const auto start = SteadyClock::now();
    if (!fastcgiRequest(socket(), method, kScript + query, body, deadlineIn(kPatience)))
        return std::nullopt;
    return Micros(SteadyClock::now() - start).count();
}

void DaemonUnderTest::awaitNoCardsWaiting() {
    for (const Deadline deadline = deadlineIn(std::chrono::seconds(10));
         SteadyClock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        const std::optional<std::string> doc = fastcgiRequest(
            socket(), "GET", std::string(kScript) + "?getDiagnosticsXML", "", deadline);
        if (doc && doc->find("<cardsWaiting1>0<") != std::string::npos &&
            doc->find("<cardsWaiting2>0<") != std::string::npos) {
            return;
        }
    }
}

ProcessOptions DaemonUnderTest::options(const std::string& path, const std::string& keyFile) const {
    if (!keyFile.empty()) {
        dir_.write("osdp-keys", keyFile);
        chmod(dir_.file("osdp-keys").c_str(), 0600);
    }
    ProcessOptions options = daemonOptions(dir_, line_.slavePath());
    if (!path.empty())
        options.args[0] = path;
    return options;
}

BareResponder::BareResponder()
    : process_(ProcessOptions{{BARE_RESPONDER_BINARY, line_.slavePath()}, {}, {}, {}}) {
    if (!process_.waitForLine("bare responder ready", deadlineIn(kPatience)))
        throw std::runtime_error("the bare responder did not start\n" + process_.errorText());
}

std::string selfPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        throw std::runtime_error(std::string("/proc/self/exe: ") + strerror(errno));
    return std::string(path, static_cast<size_t>(n));
}

Memory readMemory(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    Memory memory;
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            memory.residentKb = atol(line.c_str() + 6);
        else if (line.rfind("VmHWM:", 0) == 0)
            memory.peakKb = atol(line.c_str() + 6);
        else if (line.rfind("RssAnon:", 0) == 0)
            memory.anonymousKb = atol(line.c_str() + 8);
    }
    return memory;
}
