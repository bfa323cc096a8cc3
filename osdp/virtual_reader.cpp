#include "osdp/virtual_reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "util/log.h"

namespace {

// A reader counts as polled by the panel while its last frame is this recent;
// controllers poll each reader several times a second.
constexpr int64_t kPollingWindowMicros = 2000000;

}  // namespace

VirtualReader::VirtualReader(int index, uint8_t address, Mutex& lock, const WallClock& wall,
                             const MonotonicClock& monotonic, const ScCipher& cipher,
                             Journal& journal) noexcept
    : queue(index, wall, monotonic, journal),
      index_(index),
      lock_(lock),
      wall_(wall),
      journal_(journal),
      address_(address),
      // Until the camera's serial number is known.
      serialNumber_(static_cast<uint32_t>(index)),
      secure_(cipher) {}

size_t VirtualReader::answer(const uint8_t* frame, size_t length, int64_t at, uint8_t* reply) {
    lastFrameAt_.store(at, std::memory_order_relaxed);
    bump(framesAnswered_);
    if (isRepeat(frame, length)) {
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
            replyLength = buildReply(in, frame[kCodeOffset], reply);
    }
    if (in.dispatch)
        replyLength = secure_.sealReply(reply, replyLength);
    remember(frame, length, reply, replyLength);
    logSecurity(in);
    return replyLength;
}

bool VirtualReader::isRepeat(const uint8_t* frame, size_t length) const {
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
size_t VirtualReader::buildReply(const ScInbound& in, uint8_t frameCode, uint8_t* reply) {
    const Command cmd{in.ctrl, in.cmd, in.data, in.dataLength};
    if (cmd.code == kCmdLed || cmd.code == kCmdBuzzer || cmd.code == kCmdText)
        journal_.feedback(index_, cmd.code, cmd.data, cmd.length);
    const std::string time = logEnabled(5) ? timeText(wall_()) : std::string();
    logAt(5, "%s, parse_OSDP_query  ctrlInput = %02X, cmndInput=%02X ctrlOut=%02X currentReader %d",
          time.c_str(), cmd.ctrl, cmd.code, cmd.ctrl, index_ + 1);
    const ScMode mode = secure_.mode();
    const uint8_t error = refusal(cmd, mode);
    PollItem item;
    if (error == 0 && cmd.code == kCmdPoll)
        item = queue.takeNext(in.ctrl & kSequenceMask, mode != ScMode::plain);
    const size_t length =
        writeReply(cmd, error, item, ReaderFacts{address_, serialNumber_, mode, tamper_}, reply);
    logAt(5, "RESPONSE %s > %02X -> %02X", time.c_str(), frameCode, reply[kCodeOffset]);
    return length;
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

void VirtualReader::setSecurity(ScMode mode, const AesKey* key, SecureChannel::KeyStore keyStore) {
    secure_.configure(mode, key, clientUid(address(), serialNumber_), std::move(keyStore));
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
    return address_;
}

ReaderStatus VirtualReader::status() const {
    MutexLock lock(lock_);
    return ReaderStatus{address_, queue.lastCard(), tamper_, lastLpr_};
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
