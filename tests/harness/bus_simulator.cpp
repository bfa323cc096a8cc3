// bus_simulator: a two-wire RS-485 pair for tests, with one controller and
// several devices on it. Each end is a pseudo-terminal linked at a path given
// on the command line, the controller's first. As on a real pair every byte
// an end sends reaches every other end, and never comes back to the sender:
// the controller's bytes reach every device, a device's bytes reach the
// controller and the other devices.
//
// Usage: bus_simulator TRACE CONTROLLER DEVICE...
//
// Prints "ready" on standard output once every end is linked. Each piece of
// bytes that passes is a line of the file TRACE, written before the piece is
// handed on:
//
//   <end> <baud> <bytes in hexadecimal>
//
// End 0 is the controller, 1 and up the devices in the order given. baud is
// the output speed the sending end's tty had when the simulator took the
// bytes (0 for a rate outside 1200 to 230400). A tty keeps no speed per byte:
// bytes written just before a rate change may be reported at the new rate if
// the simulator takes them late, never at the old rate when they were written
// after the change. An end whose tty is open but full takes what fits; the
// rest is dropped, as a receiver that does not read loses bytes on a real
// line, with a line "<end> dropped <count>". An end nobody holds open keeps
// what it is sent for the next program to open it (ours discard waiting input
// when they set up the line).
//
// SIGTERM or SIGINT ends it and removes the links.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/tty_settings.h"
#include "util/hex.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void onStop(int) {
    stopRequested = 1;
}

struct End {
    std::string link;
    int master = -1;
    // No program holds the tty open: poll would report a hang-up on its master
    // at once for as long, so the loop looks at it on a timer instead.
    bool closed = true;
};

// A pseudo-terminal linked at end->link, raw at 9600 baud from the start so
// that nothing sent before the program at this end sets up its line is
// echoed onto the bus. False with *error saying what failed.
bool openEnd(End* end, std::string* error) {
    end->master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const char* name = nullptr;
    if (end->master < 0 || grantpt(end->master) != 0 || unlockpt(end->master) != 0 ||
        (name = ptsname(end->master)) == nullptr) {
        *error = "cannot make a pseudo-terminal";
        return false;
    }
    const int device = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    bool raw = device >= 0 && tcgetattr(device, &tio) == 0;
    if (raw) {
        setRawTermios(&tio, TtySettings{});
        raw = tcsetattr(device, TCSANOW, &tio) == 0;
    }
    if (device >= 0)
        close(device);
    unlink(end->link.c_str());
    if (!raw || symlink(name, end->link.c_str()) != 0) {
        *error = "cannot set up " + end->link;
        return false;
    }
    return true;
}

int baudOf(int master) {
    // On a pty master the termios calls reach the other end's settings.
    termios tio{};
    return tcgetattr(master, &tio) == 0 ? ttyBaudrateOf(cfgetospeed(&tio)) : 0;
}

void pass(std::vector<End>& ends, size_t from, const uint8_t* bytes, size_t count, FILE* trace) {
    fprintf(trace, "%zu %d %s\n", from, baudOf(ends[from].master), hexEncode(bytes, count).c_str());
    fflush(trace);
    for (size_t to = 0; to < ends.size(); ++to) {
        if (to == from)
            continue;
        const ssize_t written = write(ends[to].master, bytes, count);
        const size_t taken = written > 0 ? static_cast<size_t>(written) : 0;
        if (taken < count && !ends[to].closed)
            fprintf(trace, "%zu dropped %zu\n", to, count - taken);
    }
    fflush(trace);
}

// Takes what the end sent; a read that fails means nobody holds its tty open.
void take(std::vector<End>& ends, size_t from, FILE* trace) {
    uint8_t buffer[4096];
    const ssize_t n = read(ends[from].master, buffer, sizeof buffer);
    if (n > 0)
        pass(ends, from, buffer, static_cast<size_t>(n), trace);
    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
        ends[from].closed = true;
}

// Looks at an end nobody held open at the last look: what a program sent
// before it closed the end again is passed on all the same.
void lookAgain(std::vector<End>& ends, size_t end, FILE* trace) {
    pollfd probe = {ends[end].master, POLLIN, 0};
    if (poll(&probe, 1, 0) < 0)
        return;
    if ((probe.revents & POLLIN) != 0)
        take(ends, end, trace);
    ends[end].closed = (probe.revents & POLLHUP) != 0;
}

// Passes bytes until a stop signal, which is let in only while waiting.
void run(std::vector<End>& ends, FILE* trace, const sigset_t& waitMask) {
    constexpr timespec kClosedEndCheck = {0, 10 * 1000 * 1000};
    std::vector<pollfd> fds(ends.size());
    while (!stopRequested) {
        bool anyClosed = false;
        for (size_t i = 0; i < ends.size(); ++i) {
            fds[i] = {ends[i].closed ? -1 : ends[i].master, POLLIN, 0};
            anyClosed = anyClosed || ends[i].closed;
        }
        if (ppoll(fds.data(), fds.size(), anyClosed ? &kClosedEndCheck : nullptr, &waitMask) < 0)
            continue;
        for (size_t i = 0; i < ends.size(); ++i) {
            if (ends[i].closed)
                lookAgain(ends, i, trace);
            else if (fds[i].revents != 0)
                take(ends, i, trace);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: bus_simulator TRACE CONTROLLER DEVICE...\n");
        return 2;
    }
    FILE* trace = fopen(argv[1], "w");
    if (trace == nullptr) {
        fprintf(stderr, "bus_simulator: cannot write %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    signal(SIGTERM, onStop);
    signal(SIGINT, onStop);

    std::vector<End> ends(static_cast<size_t>(argc - 2));
    std::string error;
    for (size_t i = 0; i < ends.size() && error.empty(); ++i) {
        ends[i].link = argv[i + 2];
        openEnd(&ends[i], &error);
    }
    if (error.empty()) {
        printf("ready\n");
        fflush(stdout);
        run(ends, trace, waitMask);
    } else {
        fprintf(stderr, "bus_simulator: %s: %s\n", error.c_str(), strerror(errno));
    }
    for (const End& end : ends) {
        if (!end.link.empty())
            unlink(end.link.c_str());
    }
    return error.empty() ? 0 : 1;
}
