// osdp_controller: a small OSDP controller for checking readers on a line.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "osdp/panel_feedback.h"
#include "osdp/system_cipher.h"
#include "platform/tty_settings.h"
#include "tools/controller_session.h"
#include "tools/descriptor_io.h"
#include "util/line_settings.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "Usage: osdp_controller [options] TTY\n"
    "\n"
    "Polls OSDP readers on the serial line TTY (8N1, raw) as an OSDP\n"
    "controller: asks each reader once for its identification and capabilities,\n"
    "then polls it, and prints one line per event on standard output.\n"
    "\n"
    "Options:\n"
    "  --address N    poll the reader at OSDP address N (0-126); repeat the\n"
    "                 option for several readers (default: 10 and 11)\n"
    "  --baud RATE    the line's rate: 9600 (default), 19200, 38400, 57600 or\n"
    "                 115200\n"
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
    uint32_t baud = 9600;
    long intervalMs = 100;
    long timeoutMs = 200;
    long damageRestMs = 0;  // 0: a damaged reply is a miss
    long count = 0;         // 0: no limit
    long seconds = 0;       // 0: no limit
    ControllerSecurity security;
    int ledColour = -1;  // -1: card reads get no answer
};

[[noreturn]] void usageError(const std::string& message) {
    fprintf(stderr, "osdp_controller: %s\n%s", message.c_str(), kUsage);
    exit(2);
}

// A whole number from min to max in text (null when the option came last);
// a usage error otherwise.
long number(const char* option, const char* text, long min, long max) {
    char* end = nullptr;
    errno = 0;
    const long value = text == nullptr ? 0 : strtol(text, &end, 10);
    if (text == nullptr || errno != 0 || end == text || *end != '\0' || value < min ||
        value > max) {
        usageError(std::string(option) + " needs a number from " + std::to_string(min) + " to " +
                   std::to_string(max));
    }
    return value;
}

constexpr long kMostMillis = 1000000;

// A key in text, which is then overwritten: out of sight of other users'
// process lists from now on.
void takeKey(const char* option, char* text, AesKey* key, bool* given) {
    if (text == nullptr || !parseHexKey(text, key))
        usageError(std::string(option) + " needs 32 hexadecimal digits");
    *given = true;
    memset(text, 'x', strlen(text));
}

void takeColour(const char* option, char* text, Options* options) {
    for (int colour = 0; colour < 8 && text != nullptr; ++colour) {
        if (strcmp(text, colourName(static_cast<uint8_t>(colour))) == 0) {
            options->ledColour = colour;
            return;
        }
    }
    usageError(std::string(option) +
               " needs a colour: black, red, green, amber, blue, magenta, cyan or white");
}

// A rate OSDP lines run at, in decimal digits.
void takeBaud(const char* option, char* text, Options* options) {
    const std::string digits = text == nullptr ? "" : text;
    if (digits.empty() || digits.size() > 6 ||
        digits.find_first_not_of("0123456789") != std::string::npos ||
        !isLineBaud(static_cast<uint32_t>(std::stoul(digits)))) {
        usageError(std::string(option) + " needs 9600, 19200, 38400, 57600 or 115200");
    }
    options->baud = static_cast<uint32_t>(std::stoul(digits));
}

// The options that take a value, and what each does with it (text is null
// when the option came last).
struct OptionRow {
    const char* name;
    void (*take)(const char* name, char* text, Options* options);
};

const OptionRow kOptions[] = {
    {"--address",
     [](const char* name, char* text, Options* options) {
         options->addresses.push_back(static_cast<uint8_t>(number(name, text, 0, 126)));
     }},
    {"--baud", takeBaud},
    {"--interval",
     [](const char* name, char* text, Options* options) {
         options->intervalMs = number(name, text, 0, kMostMillis);
     }},
    {"--timeout",
     [](const char* name, char* text, Options* options) {
         options->timeoutMs = number(name, text, 1, kMostMillis);
     }},
    {"--damage-rest",
     [](const char* name, char* text, Options* options) {
         options->damageRestMs = number(name, text, 1, kMostMillis);
     }},
    {"--count", [](const char* name, char* text,
                   Options* options) { options->count = number(name, text, 1, kMostMillis); }},
    {"--seconds", [](const char* name, char* text,
                     Options* options) { options->seconds = number(name, text, 1, kMostMillis); }},
    {"--key",
     [](const char* name, char* text, Options* options) {
         takeKey(name, text, &options->security.key, &options->security.hasKey);
     }},
    {"--install-key",
     [](const char* name, char* text, Options* options) {
         takeKey(name, text, &options->security.newKey, &options->security.install);
     }},
    {"--led", takeColour},
};

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            fputs(kUsage, stdout);
            exit(0);
        }
        const auto row =
            std::find_if(std::begin(kOptions), std::end(kOptions),
                         [&arg](const OptionRow& option) { return arg == option.name; });
        if (row != std::end(kOptions)) {
            row->take(row->name, i + 1 < argc ? argv[i + 1] : nullptr, &options);
            ++i;
        } else if (arg.rfind("--", 0) == 0) {
            usageError("unknown option " + arg);
        } else if (options.tty.empty()) {
            options.tty = arg;
        } else {
            usageError("more than one TTY given");
        }
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

int openLine(const std::string& tty, uint32_t baud) {
    int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        lineFailure("cannot open", tty);
    std::string error;
    TtySettings settings;
    settings.baudrate = static_cast<int>(baud);
    if (!applyTtySettings(fd, settings, &error)) {
        fprintf(stderr, "osdp_controller: cannot set up %s: %s\n", tty.c_str(), error.c_str());
        exit(1);
    }
    return fd;
}

void sendFrame(int fd, const std::vector<uint8_t>& frame, const std::string& tty) {
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
    const int fd = openLine(options.tty, options.baud);
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
            sendFrame(fd, command, options.tty);
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
