#include "bench/faulty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

// A fraction of the generator's 2^32 values.
uint64_t share(double fraction) {
    return static_cast<uint64_t>(std::llround(fraction * 4294967296.0));
}

std::mt19937 seeded(uint32_t seed, int direction) {
    std::seed_seq sequence{seed, static_cast<uint32_t>(direction)};
    return std::mt19937(sequence);
}

}  // namespace

FaultSource::FaultSource(const LineFaults& faults, int direction)
    : random_(seeded(faults.seed, direction)),
      dropBelow_(share(faults.drop)),
      corruptBelow_(dropBelow_ + share(faults.corrupt)),
      delayBelow_(corruptBelow_ + share(faults.delay)) {}

FaultSource::Fate FaultSource::next(uint8_t* bit) {
    // Two draws a byte whatever its fate, so that a fate never shifts the
    // draws of the bytes after it.
    const uint64_t draw = random_();
    const uint32_t bitDraw = random_();
    if (draw < dropBelow_)
        return Fate::drop;
    if (draw < corruptBelow_) {
        *bit = static_cast<uint8_t>(1u << (bitDraw % 8));
        return Fate::corrupt;
    }
    return draw < delayBelow_ ? Fate::delay : Fate::pass;
}

FaultyLine::FaultyLine(const LineFaults& faults, Listener listener)
    : faults_(faults),
      listener_(std::move(listener)),
      sources_{FaultSource(faults, 0), FaultSource(faults, 1)} {
    if (pipe2(stopPipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    relay_ = std::thread([this] { relay(); });
}

FaultyLine::~FaultyLine() {
    // The closed write end wakes the relay thread's poll with a hang-up.
    close(stopPipe_[1]);
    relay_.join();
    close(stopPipe_[0]);
}

LineFaultCounts FaultyLine::counts() const {
    MutexLock lock(countsMutex_);
    return counts_;
}

void FaultyLine::relay() {
    const int ends[2] = {a_.masterFd(), b_.masterFd()};
    for (;;) {
        SteadyClock::time_point next = SteadyClock::time_point::max();
        for (int direction = 0; direction < 2; ++direction)
            next = std::min(next, release(direction));
        const int wait = next == SteadyClock::time_point::max() ? -1 : millisLeft(next);
        pollfd fds[3] = {{ends[0], POLLIN, 0}, {ends[1], POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(fds, 3, wait) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[2].revents != 0)
            return;
        for (int direction = 0; direction < 2; ++direction) {
            if ((fds[direction].revents & POLLIN) == 0)
                continue;
            uint8_t bytes[256];
            const ssize_t n = read(ends[direction], bytes, sizeof bytes);
            if (n > 0)
                take(direction, bytes, static_cast<size_t>(n));
        }
    }
}

void FaultyLine::take(int direction, const uint8_t* bytes, size_t count) {
    if (listener_)
        listener_(direction, bytes, count);
    const SteadyClock::time_point now = SteadyClock::now();
    std::deque<Held>& held = held_[direction];
    LineFaultCounts tally;
    for (size_t i = 0; i < count; ++i) {
        uint8_t bit = 0;
        const FaultSource::Fate fate = sources_[direction].next(&bit);
        ++tally.bytes[direction];
        if (fate == FaultSource::Fate::drop) {
            ++tally.dropped[direction];
            continue;
        }
        SteadyClock::time_point due = now;
        if (fate == FaultSource::Fate::delay) {
            ++tally.delayed[direction];
            due += faults_.delayBy;
        }
        // A byte held back holds back every byte behind it, as on a wire.
        if (!held.empty())
            due = std::max(due, held.back().due);
        if (fate == FaultSource::Fate::corrupt)
            ++tally.corrupted[direction];
        held.push_back(Held{due, static_cast<uint8_t>(bytes[i] ^ bit)});
    }
    MutexLock lock(countsMutex_);
    counts_.bytes[direction] += tally.bytes[direction];
    counts_.corrupted[direction] += tally.corrupted[direction];
    counts_.dropped[direction] += tally.dropped[direction];
    counts_.delayed[direction] += tally.delayed[direction];
}

SteadyClock::time_point FaultyLine::release(int direction) {
    std::deque<Held>& held = held_[direction];
    const SteadyClock::time_point now = SteadyClock::now();
    std::vector<uint8_t> due;
    while (!held.empty() && held.front().due <= now) {
        due.push_back(held.front().byte);
        held.pop_front();
    }
    if (!due.empty()) {
        const int to = direction == 0 ? b_.masterFd() : a_.masterFd();
        if (!writeAll(to, due.data(), due.size()))
            throw std::runtime_error("faulty line: write failed");
    }
    return held.empty() ? SteadyClock::time_point::max() : held.front().due;
}
