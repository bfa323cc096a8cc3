#include "osdp/osdp_peripheral.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "osdp/protocol.h"
#include "util/log.h"

namespace {

// A reader counts as polled by the panel while its last frame is this recent;
// controllers poll each reader several times a second.
constexpr int64_t kPollingWindowMicros = 2000000;

}  // namespace

OsdpPeripheral::OsdpPeripheral(Clock clock, MonotonicClock monotonic, ScCipher cipher)
    : journal(
          [clock] {
              const WallTime now = clock();
              return now.seconds * 1000000 + now.micros;
          },
          monotonic),
      clock_(std::move(clock)),
      monotonic_(std::move(monotonic)),
      cipher_(std::move(cipher)) {
    for (auto& at : lastFrameAt_)
        at.store(kNever, std::memory_order_relaxed);
    MutexLock lock(mutex);
    for (int r = 0; r < kReaderCount; ++r)
        slots[r].attach(r + 1, clock_, monotonic_, &journal);
}

void OsdpPeripheral::setCardMaxAge(int64_t micros) {
    MutexLock lock(mutex);
    for (ReaderSlot& slot : slots)
        slot.maxAge = micros;
}

void OsdpPeripheral::setSecurity(int reader, ScMode mode, const AesKey* key, KeyStore keyStore) {
    SecureChannel::KeyStore store;
    if (keyStore) {
        store = [keyStore, reader](const AesKey& newKey) { return keyStore(reader, newKey); };
    }
    secure_[reader].configure(mode, key, replies_.clientUid(reader, readerAddress[reader]),
                              std::move(store));
    MutexLock lock(mutex);
    slots[reader].secure = mode != ScMode::plain;
}

void OsdpPeripheral::setCameraSerial(const std::string& cameraSerial) {
    replies_.setCameraSerial(cameraSerial);
}

bool OsdpPeripheral::receiveByte(uint8_t b) {
    const int64_t now = monotonic_();
    // Time texts and dumps are only for the level-5 lines; skip them otherwise.
    const std::string time = logEnabled(5) ? timeText(clock_()) : std::string();
    if (!receiver_.receive(b, now, time))
        return false;
    answerFrame(time);
    return true;
}

void OsdpPeripheral::answerFrame(const std::string& time) {
    currentReader = (receiver_.address() == readerAddress[1]) ? 1 : 0;
    const int reader = currentReader;
    const uint8_t* frame = receiver_.frame();
    const size_t frameLen = receiver_.frameLength();
    const bool repeat = (receiver_.control() & kSequenceMask) != 0 &&
                        lastFrameLen_[reader] == frameLen &&
                        std::memcmp(lastFrame_[reader].data(), frame, frameLen) == 0;
    lastFrameAt_[reader].store(receiver_.lastByteAt(), std::memory_order_relaxed);
    bump(framesAnswered_[reader]);
    if (repeat) {
        bump(repeatsAnswered_[reader]);
        // The controller missed our reply: send it again unchanged, so that a
        // card or status report it carried is neither lost nor consumed twice.
        replyBuf.fill(0);
        std::memcpy(replyBuf.data(), lastReply_[reader].data(), lastReplyLen_[reader]);
        replyLen = lastReplyLen_[reader];
        MutexLock lock(mutex);
        ++reqIn;
    } else {
        if (secure_[reader].mode() == ScMode::plain) {
            settleDelivery(reader);
            Command cmd;
            cmd.ctrl = receiver_.control();
            cmd.code = receiver_.command();
            cmd.data = frame + kDataOffset;
            cmd.length = frameLen - kDataOffset - checkLength(cmd.ctrl);
            buildReply(cmd);
        } else {
            secureReply(reader);
        }
        std::memcpy(lastFrame_[reader].data(), frame, frameLen);
        lastFrameLen_[reader] = frameLen;
        std::memcpy(lastReply_[reader].data(), replyBuf.data(), replyLen);
        lastReplyLen_[reader] = replyLen;
    }
    if (!time.empty())
        receiver_.traceFrame(time);
}

void OsdpPeripheral::settleDelivery(int reader) {
    const int sequence = receiver_.control() & kSequenceMask;
    const int previous = lastFrame_[reader][kControlOffset] & kSequenceMask;
    MutexLock lock(mutex);
    slots[reader].settle(sequence, previous);
}

// A reader in secure or install mode: the secure channel answers the handshake
// and refusals itself, and hands every other command to buildReply, sealing
// the reply when the command came in a session. A frame with a bad check code
// never gets here: it is dropped without a word and the session stays, so
// that the panel's resend of the same frame goes through.
void OsdpPeripheral::secureReply(int reader) {
    SecureChannel& channel = secure_[reader];
    const ScInbound in =
        channel.receive(receiver_.frame(), receiver_.frameLength(), replyBuf.data());
    replyLen = in.replyLength;
    // Only a frame whose MAC holds may confirm that the last reply arrived,
    // so that a forged frame cannot settle a card the panel never saw; a new
    // session offers it again whatever opened it.
    if (in.authenticated || (receiver_.control() & kSequenceMask) == 0)
        settleDelivery(reader);
    if (in.dispatch) {
        buildReply(Command{in.ctrl, in.cmd, in.data, in.dataLength});
        replyLen = channel.sealReply(replyBuf.data(), replyLen);
    } else {
        MutexLock lock(mutex);
        ++reqIn;
    }
    logSecurity(reader, in);
}

// Session start and end at the level of line problems; never a key.
void OsdpPeripheral::logSecurity(int reader, const ScInbound& in) {
    if ((in.started == nullptr && in.ended == nullptr && in.refused == nullptr) || !logEnabled(1))
        return;
    const std::string time = timeText(clock_());
    if (in.ended != nullptr)
        logAt(1, "%s Reader %d secure session ended: %s", time.c_str(), reader + 1, in.ended);
    if (in.refused != nullptr)
        logAt(1, "%s Reader %d secure channel refused: %s", time.c_str(), reader + 1, in.refused);
    if (in.started != nullptr) {
        logAt(1, "%s Reader %d secure session started with the %s key", time.c_str(), reader + 1,
              in.started);
    }
}

void OsdpPeripheral::buildReply(const Command& cmd) {
    const bool trace = logEnabled(5);
    const std::string time = trace ? timeText(clock_()) : std::string();
    const int r = currentReader;

    // The panel's answer to a card goes to the reader as LED, buzzer and text
    // commands; the journal records them whatever the reply to them.
    if (cmd.code == kCmdLed || cmd.code == kCmdBuzzer || cmd.code == kCmdText)
        journal.feedback(r, cmd.code, cmd.data, cmd.length);
    MutexLock lock(mutex);
    ++reqIn;
    replyBuf.fill(0);
    logAt(5, "%s, parse_OSDP_query  ctrlInput = %02X, cmndInput=%02X ctrlOut=%02X currentReader %d",
          time.c_str(), cmd.ctrl, cmd.code, cmd.ctrl, r + 1);
    replyLen =
        replies_.buildReply(cmd, r, readerAddress[r], secure_[r].mode(), slots[r], replyBuf.data());
    logAt(5, "RESPONSE %s > %02X -> %02X", time.c_str(), receiver_.command(), replies_.replyCode());
}

void OsdpPeripheral::injectCard(int reader, uint32_t card, CardSource source,
                                const std::string& plate) {
    journal.received(source, reader, card, plate);
    const WallTime now = clock_();
    MutexLock lock(mutex);
    slots[reader].injectCard(card, now);
}

void OsdpPeripheral::setTamper(int reader, bool tampered) {
    MutexLock lock(mutex);
    slots[reader].setTamper(tampered);
}

void OsdpPeripheral::setLastLpr(int reader, const std::string& plate) {
    MutexLock lock(mutex);
    slots[reader].lastLpr = plate;
}

void OsdpPeripheral::countReplyWritten() {
    MutexLock lock(mutex);
    ++reqOut;
}

PeripheralStatus OsdpPeripheral::status() const {
    PeripheralStatus status;
    MutexLock lock(mutex);
    status.readerAddress = readerAddress;
    for (int r = 0; r < kReaderCount; ++r) {
        status.lastCard[r] = slots[r].lastCard;
        status.tamper[r] = slots[r].tamper;
        status.lastLpr[r] = slots[r].lastLpr;
    }
    status.reqIn = reqIn;
    status.reqOut = reqOut;
    status.restartRequired = restartRequired;
    status.saveRequired = saveRequired;
    return status;
}

LineDiagnostics OsdpPeripheral::diagnostics() const {
    constexpr auto relaxed = std::memory_order_relaxed;
    const int64_t now = monotonic_();
    // A frame may end between the clock read and the loads below: such an age
    // is 0, not negative.
    auto msSince = [now](int64_t then) {
        return then == kNever ? -1 : std::max<int64_t>(now - then, 0) / 1000;
    };
    LineDiagnostics line;
    for (int r = 0; r < kReaderCount; ++r) {
        ReaderDiagnostics& reader = line.reader[r];
        const int64_t at = lastFrameAt_[r].load(relaxed);
        reader.framesAnswered = framesAnswered_[r].load(relaxed);
        reader.repeatsAnswered = repeatsAnswered_[r].load(relaxed);
        reader.msSinceFrame = msSince(at);
        reader.polling = at != kNever && now - at <= kPollingWindowMicros;
    }
    static_cast<LineFigures&>(line) = receiver_.figures();
    line.msSinceByte = msSince(receiver_.lastByteAt());
    MutexLock lock(mutex);
    for (int r = 0; r < kReaderCount; ++r) {
        CardDiagnostics& cards = line.cards[r];
        cards.waiting = static_cast<uint32_t>(slots[r].cardsWaiting());
        cards.oldestMs = slots[r].oldestCardMs();
        cards.delivered = slots[r].cardsDelivered;
        cards.expired = slots[r].cardsExpired;
        cards.dropped = slots[r].cardsDropped;
    }
    return line;
}
