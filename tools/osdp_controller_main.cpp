// osdp_controller: a small OSDP controller for checking readers on a line.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "osdp/panel_feedback.h"
#include "osdp/system_cipher.h"
#include "platform/tty_settings.h"
#include "tools/descriptor_io.h"
#include "tools/osdp_controller_core.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "Usage: osdp_controller [options] TTY\n"
    "\n"
    "Polls OSDP readers on the serial line TTY (9600 8N1, raw) as an OSDP\n"
    "controller: asks each reader once for its identification and capabilities,\n"
    "then polls it, and prints one line per event on standard output.\n"
    "\n"
    "Options:\n"
    "  --address N    poll the reader at OSDP address N (0-126); repeat the\n"
    "                 option for several readers (default: 10 and 11)\n"
    "  --interval MS  pause between one exchange and the next (default 100)\n"
    "  --timeout MS   time a reader has to answer before the same frame is\n"
    "                 sent again (default 200)\n"
    "  --damage-rest MS\n"
    "                 take a reader offline at its first reply with a wrong\n"
    "                 check code and wait MS before its new session, as many\n"
    "                 panels do (default: such a reply counts as a miss)\n"
    "  --key HEX      talk to the readers through OSDP Secure Channel with this\n"
    "                 base key (32 hexadecimal digits)\n"
    "  --install-key HEX\n"
    "                 set this key in each reader with osdp_KEYSET, in a session\n"
    "                 keyed with --key or, without it, the default key (a reader\n"
    "                 in install mode); then use it\n"
    "  --led COLOUR   answer each card read as a panel granting access: a steady\n"
    "                 LED of this colour for 3 s (osdp_LED), then one short beep\n"
    "                 (osdp_BUZ); COLOUR is black, red, green, amber, blue,\n"
    "                 magenta, cyan or white\n"
    "  --count N      stop after N card reads (and their answers)\n"
    "  --seconds N    stop after N seconds\n"
    "  --help         show this text\n"
    "\n"
    "Output lines (A is the reader's address):\n"
    "  reader A online\n"
    "  reader A offline                 (3 replies missed in a row, or a\n"
    "                                    damaged one with --damage-rest)\n"
    "  reader A id vendor=HHHHHH model=N version=N serial=HHHHHHHH firmware=N.N.N\n"
    "  reader A capabilities F:C:N ...  (function:compliance:number per entry)\n"
    "  reader A card format=0xHH bits=N card=HEX\n"
    "  reader A status tamper=N power=N\n"
    "  reader A led COLOUR              (the reader took the answer to a card)\n"
    "  reader A nak error=N\n"
    "  reader A secure channel established\n"
    "  reader A secure channel refused  (another key, or no Secure Channel)\n"
    "  reader A secure channel lost\n"
    "  reader A key installed\n"
    "  reader A reply code=0xHH to command 0xHH\n"
    "\n"
    "Exit status: 0 when --count or --seconds is reached, 1 when the line\n"
    "cannot be used, 2 on a usage error.\n";

struct Options {
    std::string tty;
    std::vector<uint8_t> addresses;
    long intervalMs = 100;
    long timeoutMs = 200;
    long damageRestMs = 0;  // 0: a damaged reply is a miss
    long count = 0;         // 0: no limit
    long seconds = 0;       // 0: no limit
    ControllerSecurity security;
    int ledColour = -1;  // -1: card reads get no answer
};

bool parseNumber(const char* text, long min, long max, long* value) {
    char* end = nullptr;
    errno = 0;
    long number = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < min || number > max)
        return false;
    *value = number;
    return true;
}

[[noreturn]] void usageError(const std::string& message) {
    fprintf(stderr, "osdp_controller: %s\n%s", message.c_str(), kUsage);
    exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help") {
            fputs(kUsage, stdout);
            exit(0);
        }
        long* target = nullptr;
        long min = 1;
        long max = 1000000;
        long address = 0;
        if (arg == "--key" || arg == "--install-key") {
            const bool install = arg == "--install-key";
            if (i + 1 >= argc || !parseHexKey(argv[i + 1], install ? &options.security.newKey
                                                                   : &options.security.key)) {
                usageError(arg + " needs 32 hexadecimal digits");
            }
            (install ? options.security.install : options.security.hasKey) = true;
            // Out of sight of other users' process lists from now on.
            memset(argv[i + 1], 'x', strlen(argv[i + 1]));
            ++i;
            continue;
        }
        if (arg == "--led") {
            for (int colour = 0; colour < 8 && i + 1 < argc; ++colour) {
                if (strcmp(argv[i + 1], colourName(static_cast<uint8_t>(colour))) == 0)
                    options.ledColour = colour;
            }
            if (options.ledColour < 0)
                usageError(
                    "--led needs a colour: black, red, green, amber, blue, magenta, cyan "
                    "or white");
            ++i;
            continue;
        }
        if (arg == "--address") {
            target = &address;
            min = 0;
            max = 126;
        } else if (arg == "--interval") {
            target = &options.intervalMs;
            min = 0;
        } else if (arg == "--timeout") {
            target = &options.timeoutMs;
        } else if (arg == "--damage-rest") {
            target = &options.damageRestMs;
        } else if (arg == "--count") {
            target = &options.count;
        } else if (arg == "--seconds") {
            target = &options.seconds;
        } else if (arg.rfind("--", 0) == 0) {
            usageError("unknown option " + arg);
        } else if (options.tty.empty()) {
            options.tty = arg;
            continue;
        } else {
            usageError("more than one TTY given");
        }
        if (i + 1 >= argc || !parseNumber(argv[i + 1], min, max, target)) {
            usageError(arg + " needs a number from " + std::to_string(min) + " to " +
                       std::to_string(max));
        }
        ++i;
        if (target == &address)
            options.addresses.push_back(static_cast<uint8_t>(address));
    }
    if (options.tty.empty())
        usageError("no TTY given");
    if (options.addresses.empty())
        options.addresses = {10, 11};
    return options;
}

[[noreturn]] void lineFailure(const std::string& what, const std::string& tty) {
    fprintf(stderr, "osdp_controller: %s %s: %s\n", what.c_str(), tty.c_str(), strerror(errno));
    exit(1);
}

int openLine(const std::string& tty) {
    int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        lineFailure("cannot open", tty);
    std::string error;
    if (!applyTtySettings(fd, TtySettings(), &error)) {
        fprintf(stderr, "osdp_controller: cannot set up %s: %s\n", tty.c_str(), error.c_str());
        exit(1);
    }
    return fd;
}

void writeFrame(int fd, const std::vector<uint8_t>& frame, const std::string& tty) {
    if (!writeAll(fd, frame.data(), frame.size()))
        lineFailure("cannot write to", tty);
}

enum class Answer { reply, damaged, none };

// Reads what the line has until a reply answering the session's outstanding
// frame arrives or the deadline passes; a session that rests readers after a
// damaged reply stops at the first one. *reply is filled on an answer.
Answer awaitReply(int fd, const std::string& tty, Clock::time_point deadline,
                  ControllerSession& session, ReplyCollector& collector, OsdpReply* reply) {
    for (;;) {
        while (collector.nextReply(reply)) {
            if (session.answers(*reply))
                return Answer::reply;
        }
        if (session.restsAfterDamage() && collector.damagedFrames() > 0)
            return Answer::damaged;
        int wait = millisLeft(deadline);
        if (wait == 0)
            return Answer::none;
        pollfd in = {fd, POLLIN, 0};
        int ready = poll(&in, 1, wait);
        if (ready < 0 && errno != EINTR)
            lineFailure("cannot wait for", tty);
        if (ready <= 0)
            continue;
        if ((in.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (in.revents & POLLIN) == 0) {
            errno = EIO;
            lineFailure("line lost on", tty);
        }
        uint8_t bytes[256];
        ssize_t n = read(fd, bytes, sizeof bytes);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            lineFailure("cannot read from", tty);
        if (n == 0) {
            errno = EIO;
            lineFailure("line lost on", tty);
        }
        if (n > 0)
            collector.push(bytes, static_cast<size_t>(n));
    }
}

void discardInput(int fd, const std::string& tty) {
    uint8_t bytes[256];
    ssize_t n;
    while ((n = read(fd, bytes, sizeof bytes)) > 0) {
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        errno = n == 0 ? EIO : errno;
        lineFailure("line lost on", tty);
    }
}

void print(const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        printf("%s\n", line.c_str());
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    const int fd = openLine(options.tty);
    const Clock::time_point start = Clock::now();
    const bool timeLimited = options.seconds > 0;
    const Clock::time_point end = start + std::chrono::seconds(options.seconds);

    const ScCipher cipher = systemCipher();
    const bool secure = options.security.hasKey || options.security.install;
    ControllerSecurity security = options.security;
    security.cipher = &cipher;
    ControllerSession session(options.addresses, 3, secure ? &security : nullptr);
    if (options.ledColour >= 0)
        session.answerCards(static_cast<uint8_t>(options.ledColour));
    if (options.damageRestMs > 0)
        session.restAfterDamage(std::chrono::milliseconds(options.damageRestMs));
    ReplyCollector collector;
    for (;;) {
        // Whatever came before the command cannot answer it: a late copy of an
        // earlier reply may carry the same address and sequence number.
        discardInput(fd, options.tty);
        collector.clear();
        const std::vector<uint8_t>& command = session.nextCommand(Clock::now());
        if (!command.empty()) {
            writeFrame(fd, command, options.tty);
            Clock::time_point replyDeadline =
                Clock::now() + std::chrono::milliseconds(options.timeoutMs);
            if (timeLimited && end < replyDeadline)
                replyDeadline = end;
            OsdpReply reply;
            const Answer answer =
                awaitReply(fd, options.tty, replyDeadline, session, collector, &reply);
            if (answer == Answer::reply) {
                print(session.onReply(reply));
            } else if (answer == Answer::damaged) {
                print(session.onDamagedReply(Clock::now()));
            } else if (!timeLimited || Clock::now() < end) {
                // The reply is late or lost; what came of it so far is no use.
                collector.clear();
                print(session.onNoReply());
            }
        }
        if (options.count > 0 && session.cardReads() >= options.count && !session.answerPending())
            return 0;
        if (timeLimited && Clock::now() >= end)
            return 0;

        Clock::time_point next = Clock::now() + std::chrono::milliseconds(options.intervalMs);
        if (timeLimited && end < next)
            next = end;
        while (millisLeft(next) > 0)
            poll(nullptr, 0, millisLeft(next));
    }
}
