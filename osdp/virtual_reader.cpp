#include "osdp/virtual_reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "util/coding.h"
#include "util/log.h"

namespace {

// A reader counts as polled by the panel while its last frame is this recent;
// controllers poll each reader several times a second.
constexpr int64_t kPollingWindowMicros = 2000000;

}  // namespace

VirtualReader::VirtualReader(int index, LineSettings& line, Mutex& lock, const WallClock& wall,
                             const MonotonicClock& monotonic, const ScCipher& cipher,
                             Journal& journal) noexcept
    : queue(index, wall, monotonic, journal),
      index_(index),
      lock_(lock),
      wall_(wall),
      journal_(journal),
      line_(line),
      // Until the camera's serial number is known.
      serialNumber_(static_cast<uint32_t>(index)),
      secure_(cipher) {}

size_t VirtualReader::answer(const uint8_t* frame, size_t length, int64_t at, uint8_t* reply) {
    lastFrameAt_.store(at, std::memory_order_relaxed);
    bump(framesAnswered_);
    if (repeats(frame, length)) {
        // The controller missed our reply: send it again unchanged.
        bump(repeatsAnswered_);
        std::memcpy(reply, lastReply_.data(), lastReplyLength_);
        return lastReplyLength_;
    }
    const ScInbound in = open(frame, length, reply);
    const uint8_t sequence = in.ctrl & kSequenceMask;
    size_t replyLength = in.replyLength;
    {
        MutexLock lock(lock_);
        // Only a frame whose MAC holds may confirm that the last reply
        // arrived, so that a forged frame cannot settle a card the panel
        // never saw; a new session offers it again whatever opened it.
        if (in.authenticated || sequence == 0)
            queue.settle(sequence);
        if (in.dispatch)
            replyLength = buildReply(in, frame[kCodeOffset], at, reply);
    }
    if (in.dispatch)
        replyLength = secure_.sealReply(reply, replyLength);
    remember(frame, length, reply, replyLength);
    logSecurity(in);
    logComset();
    return replyLength;
}

bool VirtualReader::repeats(const uint8_t* frame, size_t length) const {
    // Sequence 0 starts a new session: never a repeat.
    return (frame[kControlOffset] & kSequenceMask) != 0 && length == lastFrameLength_ &&
           std::memcmp(frame, lastFrame_.data(), length) == 0;
}

// A reader in secure or install mode: the channel answers the handshake and
// refusals itself, and lets every other command through, to be sealed when it
// came in a session. A frame with a bad check code never gets here: it is
// dropped without a word and the session stays, so that the panel's resend of
// the same frame goes through. In plain mode every command goes through, and
// every frame is the panel's own.
ScInbound VirtualReader::open(const uint8_t* frame, size_t length, uint8_t* reply) {
    if (secure_.mode() != ScMode::plain)
        return secure_.receive(frame, length, reply);
    ScInbound in;
    in.dispatch = true;
    in.authenticated = true;
    in.ctrl = frame[kControlOffset];
    in.cmd = frame[kCodeOffset];
    in.data = frame + kDataOffset;
    in.dataLength = length - kDataOffset - checkLength(in.ctrl);
    return in;
}

// The panel's LED, buzzer and text commands after a card go to the journal
// whatever the reply to them, as do the cards the reply carries.
size_t VirtualReader::buildReply(const ScInbound& in, uint8_t frameCode, int64_t at,
                                 uint8_t* reply) {
    const Command cmd{in.ctrl, in.cmd, in.data, in.dataLength};
    if (cmd.code == kCmdLed || cmd.code == kCmdBuzzer || cmd.code == kCmdText)
        journal_.feedback(index_, cmd.code, cmd.data, cmd.length);
    const std::string time = logEnabled(5) ? timeText(wall_()) : std::string();
    logAt(5, "%s, parse_OSDP_query  ctrlInput = %02X, cmndInput=%02X ctrlOut=%02X currentReader %d",
          time.c_str(), cmd.ctrl, cmd.code, cmd.ctrl, index_ + 1);
    ReaderFacts facts{line_.readerAddress[index_], serialNumber_, secure_.mode(), tamper_};
    const uint8_t error = refusal(cmd, facts.mode);
    const PollItem item = error == 0 ? carryOut(cmd, at) : PollItem{};
    facts.output = output_.state(at);
    facts.nextAddress = line_.readerAddress[index_];
    facts.baud = line_.baud;
    const size_t length = writeReply(cmd, error, item, facts, reply);
    logAt(5, "RESPONSE %s > %02X -> %02X", time.c_str(), frameCode, reply[kCodeOffset]);
    return length;
}

PollItem VirtualReader::carryOut(const Command& cmd, int64_t at) {
    switch (cmd.code) {
        case kCmdPoll:
            return queue.takeNext(cmd.ctrl & kSequenceMask, secure_.mode() != ScMode::plain);
        case kCmdOut:
            output_.apply(cmd.data, cmd.length, at);
            break;
        case kCmdComset:
            comset(cmd.data);
            break;
        default:
            break;
    }
    return PollItem{};
}

// The reader takes the address asked for, and the line the rate, when the
// readers can run with them: an address from 0 to 126 that the other reader
// does not hold (0x7F is the broadcast address, bit 7 marks a reply), a rate
// of the list. Otherwise both stay. Either way osdp_COM names what holds from
// the next frame on. The rate is the line's, so it moves for both readers.
void VirtualReader::comset(const uint8_t* data) {
    LineSettings asked = line_;
    asked.readerAddress[index_] = data[0];
    asked.baud = decodeFixed32(data + 1);
    const bool taken = lineSettingsUsable(asked);
    comset_ = ComsetRequest{data[0], asked.baud, taken};
    if (taken && asked != line_) {
        line_ = asked;
        lineMoved_ = true;
    }
}

void VirtualReader::remember(const uint8_t* frame, size_t length, const uint8_t* reply,
                             size_t replyLength) {
    std::memcpy(lastFrame_.data(), frame, length);
    lastFrameLength_ = length;
    std::memcpy(lastReply_.data(), reply, replyLength);
    lastReplyLength_ = replyLength;
}

// Session start and end at the level of line problems; never a key.
void VirtualReader::logSecurity(const ScInbound& in) const {
    if ((in.started == nullptr && in.ended == nullptr && in.refused == nullptr) || !logEnabled(1))
        return;
    const std::string time = timeText(wall_());
    const int number = index_ + 1;
    if (in.ended != nullptr)
        logAt(1, "%s Reader %d secure session ended: %s", time.c_str(), number, in.ended);
    if (in.refused != nullptr)
        logAt(1, "%s Reader %d secure channel refused: %s", time.c_str(), number, in.refused);
    if (in.started != nullptr) {
        logAt(1, "%s Reader %d secure session started with the %s key", time.c_str(), number,
              in.started);
    }
}

// A move in the line settings is the panel's or the installer's doing; the
// reader stays the same to the panel that keys its Secure Channel.
void VirtualReader::setSecurity(ScMode mode, const AesKey* key, SecureChannel::KeyStore keyStore) {
    secure_.configure(mode, key, clientUid(kStartAddress[index_], serialNumber_),
                      std::move(keyStore));
}

// A move or a refused one at the level of line problems: a reader that no
// longer answers where the panel expects it is one.
void VirtualReader::logComset() {
    if (!comset_)
        return;
    const ComsetRequest asked = *std::exchange(comset_, std::nullopt);
    if (!logEnabled(1))
        return;
    LineSettings now;
    {
        MutexLock lock(lock_);
        now = line_;
    }
    const std::string time = timeText(wall_());
    const int number = index_ + 1;
    const int address = now.readerAddress[index_];
    const unsigned long baud = now.baud;
    if (asked.taken) {
        logAt(1, "%s Reader %d moved by the panel to address %d, line at %lu baud", time.c_str(),
              number, address, baud);
    } else {
        logAt(1,
              "%s Reader %d stays at address %d, line at %lu baud: the panel asked for address %d "
              "at %lu baud",
              time.c_str(), number, address, baud, asked.address,
              static_cast<unsigned long>(asked.baud));
    }
}

void VirtualReader::setCardMaxAge(int64_t micros) {
    MutexLock lock(lock_);
    queue.setMaxAge(micros);
}

void VirtualReader::injectCard(uint32_t card, std::optional<int64_t> arrived) {
    MutexLock lock(lock_);
    queue.offer(card, arrived);
}

void VirtualReader::setTamper(bool tampered) {
    MutexLock lock(lock_);
    tamper_ = tampered ? 1 : 0;
    queue.reportStatus();
}

void VirtualReader::setLastLpr(const std::string& plate) {
    MutexLock lock(lock_);
    lastLpr_ = plate;
}

uint8_t VirtualReader::address() const {
    MutexLock lock(lock_);
    return line_.readerAddress[index_];
}

ReaderStatus VirtualReader::status() const {
    MutexLock lock(lock_);
    return ReaderStatus{line_.readerAddress[index_], queue.lastCard(), tamper_, lastLpr_};
}

ReaderDiagnostics VirtualReader::diagnostics(int64_t now) const {
    constexpr auto relaxed = std::memory_order_relaxed;
    ReaderDiagnostics reader;
    const int64_t at = lastFrameAt_.load(relaxed);
    reader.framesAnswered = framesAnswered_.load(relaxed);
    reader.repeatsAnswered = repeatsAnswered_.load(relaxed);
    // A frame may end between the clock read and the load: its age is 0.
    reader.msSinceFrame = at == kNever ? -1 : std::max<int64_t>(now - at, 0) / 1000;
    reader.polling = at != kNever && now - at <= kPollingWindowMicros;
    return reader;
}

CardDiagnostics VirtualReader::cards() const {
    MutexLock lock(lock_);
    return queue.diagnostics();
}
