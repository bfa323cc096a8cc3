#include "osdp/osdp_peripheral.h"

#include <sys/time.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <utility>

#include "osdp/check_codes.h"
#include "util/log.h"

namespace {

constexpr uint8_t kStartOfMessage = 0x53;
// Bit 7 of the address byte marks a reply.
constexpr uint8_t kReplyBit = 0x80;
// Control byte: bits 0-1 sequence number, bit 2 set when a CRC-16 ends the frame.
constexpr uint8_t kSequenceMask = 0x03;
constexpr uint8_t kCrcFlag = 0x04;

// Commands with an answer of their own; everything else is acknowledged.
constexpr uint8_t kCmdPoll = 0x60;
constexpr uint8_t kCmdId = 0x61;
constexpr uint8_t kCmdCap = 0x62;
constexpr uint8_t kCmdLstat = 0x64;
constexpr uint8_t kCmdComset = 0x6E;

constexpr uint8_t kReplyAck = 0x40;
constexpr uint8_t kReplyPdid = 0x45;
constexpr uint8_t kReplyPdcap = 0x46;
constexpr uint8_t kReplyLstatr = 0x48;
constexpr uint8_t kReplyRaw = 0x50;
constexpr uint8_t kReplyCom = 0x54;

// "CSN LSB": a 32-bit card serial number sent as 32 bits.
constexpr uint8_t kCardFormatCsn32 = 0x12;

constexpr uint8_t kVendorCode[3] = {0x02, 0x4B, 0x7E};
constexpr uint8_t kFirmware[3] = {1, 2, 3};

// Function code, compliance level, number of items. Entries are triples and
// nothing follows them: a controller rejects a payload that is not a multiple
// of three.
constexpr uint8_t kCapabilities[42] = {
    0x01, 0x00, 0x00,  // contact status monitoring
    0x02, 0x00, 0x00,  // output control
    0x03, 0x01, 0x00,  // card data format: array of bits
    0x04, 0x04, 0x01,  // reader LED control: timed, tri-colour
    0x05, 0x02, 0x01,  // reader audible output: timed
    0x06, 0x00, 0x00,  // reader text output: no display
    0x07, 0x00, 0x00,  // time keeping
    0x08, 0x01, 0x01,  // check character support: CRC-16
    0x09, 0x00, 0x00,  // communication security: none
    0x0A, 0x92, 0x03,  // receive buffer size 0x0392, low byte first
    0x0C, 0x00, 0x00,  // smart card support
    0x0E, 0x00, 0x00,  // biometrics
    0x0F, 0x00, 0x00,  // secure PIN entry
    0x10, 0x01, 0x00,  // OSDP version
};
// Offset of the communication security entry (function code 9).
constexpr size_t kSecurityEntry = 24;

constexpr uint32_t kBaudRate = 9600;

// A reader counts as polled by the panel while its last frame is this recent;
// controllers poll each reader several times a second.
constexpr int64_t kPollingWindowMicros = 2000000;

// Adds one to a counter that only the calling thread writes.
void bump(std::atomic<uint32_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace

WallTime systemWallTime() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return WallTime{static_cast<int64_t>(tv.tv_sec), static_cast<int64_t>(tv.tv_usec)};
}

int64_t monotonicMicros() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::string timeText(const WallTime& time) {
    time_t seconds = static_cast<time_t>(time.seconds);
    struct tm local;
    localtime_r(&seconds, &local);
    char text[50];
    snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
             static_cast<int>(time.micros / 1000));
    return text;
}

std::string hexDump(const uint8_t* data, size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count * 3);
    for (size_t i = 0; i < count; ++i) {
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 0x0F]);
        text.push_back(' ');
    }
    return text;
}

OsdpPeripheral::OsdpPeripheral(Clock clock, MonotonicClock monotonic, ScCipher cipher)
    : clock_(std::move(clock)), monotonic_(std::move(monotonic)), cipher_(std::move(cipher)) {
    for (auto& at : lastFrameAt_)
        at.store(kNever, std::memory_order_relaxed);
    for (int r = 0; r < kReaderCount; ++r) {
        std::array<uint8_t, 8>& uid = clientUid[r];
        std::memcpy(uid.data(), kVendorCode, 3);
        uid[3] = readerAddress[r];
        uid[4] = static_cast<uint8_t>(pdSerial >> 24);
        uid[5] = static_cast<uint8_t>(pdSerial >> 16);
        uid[6] = static_cast<uint8_t>(pdSerial >> 8);
        uid[7] = static_cast<uint8_t>(pdSerial);
    }
}

void OsdpPeripheral::setSecurity(int reader, ScMode mode, const AesKey* key, KeyStore keyStore) {
    SecureChannel::KeyStore store;
    if (keyStore) {
        store = [keyStore, reader](const AesKey& newKey) { return keyStore(reader, newKey); };
    }
    secure_[reader].configure(mode, key, clientUid[reader], std::move(store));
}

bool OsdpPeripheral::receiveByte(uint8_t b) {
    const int64_t now = monotonic_();
    // A controller sends a frame in one burst. A pause inside a frame means
    // that the rest of it was lost on the line and the controller is waiting
    // out its reply time-out; its next bytes start a new frame. Otherwise a
    // length byte damaged upwards would swallow its retries too.
    const int64_t previous = lastByteAt_.load(std::memory_order_relaxed);
    if (inFrame_ && now - previous > kFramePauseMicros) {
        inFrame_ = false;
        bump(badLength_);
    }
    lastByteAt_.store(now, std::memory_order_relaxed);
    // Time texts and dumps are only for the level-5 lines; skip them otherwise.
    const std::string time = logEnabled(5) ? timeText(clock_()) : std::string();

    FrameEvent event = takeByte(b, time);
    countEvent(event);
    if (event == FrameEvent::forUs) {
        answerFrame(time);
        return true;
    }
    if (event != FrameEvent::badLength && event != FrameEvent::badCheck)
        return false;

    // The broken frame's bytes are taken again from the next start byte among
    // them; b was the last of them, so nothing newer is waiting behind.
    bool answered = false;
    resynchronise();
    size_t next = 0;
    while (next < pendingLen_) {
        event = takeByte(pending_[next++], time);
        countEvent(event);
        if (event == FrameEvent::badLength || event == FrameEvent::badCheck) {
            std::copy(pending_.begin() + next, pending_.begin() + pendingLen_, pending_.begin());
            pendingLen_ -= next;
            next = 0;
            resynchronise();
        } else if (event == FrameEvent::forUs && next == pendingLen_) {
            answerFrame(time);
            answered = true;
        }
        // A frame found complete with later bytes already here was cut off by
        // the broken one: its controller has sent on since and would take a
        // reply now as the answer to the wrong command, or have it collide
        // with its next frame on the half-duplex line. Its bytes stay consumed
        // as a frame, and the controller's retry is answered.
    }
    pendingLen_ = 0;
    return answered;
}

OsdpPeripheral::FrameEvent OsdpPeripheral::takeByte(uint8_t b, const std::string& time) {
    if (!inFrame_) {
        if (b != kStartOfMessage) {
            if (!time.empty())
                traceInput(time, b, "?", 0, 0, 0);
            return FrameEvent::outsideFrame;
        }
        inBuf.fill(0);
        inBuf[0] = kStartOfMessage;
        inPos = inAddr = inCtrl = inCmd = inCheckLo = inCheckHi = 0;
        inFrame_ = true;
        return FrameEvent::collecting;
    }

    inBuf[++inPos] = b;
    switch (inPos) {
        case 1:
            inAddr = b;
            break;
        case 2:
            inLen = b;
            break;  // the length's high byte is not used
        case 4:
            inCtrl = b;
            break;
        case 5:
            inCmd = b;
            break;
        default:
            break;
    }

    // Checked once, on the frame's last byte: every byte before it belongs to
    // the frame whatever its value.
    if (inPos < 2 || inPos != inLen - 1) {
        if (!time.empty())
            traceInput(time, b, "?", 0, 0, inPos + 1);
        // A valid frame is at least 7 bytes: header, command and a checksum.
        return inPos == 2 && inLen < 7 ? FrameEvent::badLength : FrameEvent::collecting;
    }
    if (inCtrl > 3) {
        inCheckLo = inBuf[inPos - 1];
        inCheckHi = b;
        checkReceived_ = inCheckLo + 256 * b;
        checkComputed_ = crc16(inBuf.data(), static_cast<size_t>(inLen - 2));
        checkName_ = "CRC16";
    } else {
        checkReceived_ = b;
        checkComputed_ = checksum8(inBuf.data(), static_cast<size_t>(inLen - 1));
        checkName_ = "CRC8";
    }
    if (!time.empty())
        traceInput(time, b, checkName_, checkReceived_, checkComputed_, inPos + 1);
    if (checkReceived_ != checkComputed_)
        return FrameEvent::badCheck;
    inFrame_ = false;
    if ((inAddr != readerAddress[0] && inAddr != readerAddress[1]) || inCmd == 0)
        return FrameEvent::notOurs;
    return FrameEvent::forUs;
}

void OsdpPeripheral::countEvent(FrameEvent event) {
    switch (event) {
        case FrameEvent::outsideFrame:
            bump(discardedBytes_);
            break;
        case FrameEvent::badLength:
            bump(badLength_);
            break;
        case FrameEvent::badCheck:
            bump(badCheck_);
            break;
        case FrameEvent::notOurs:
            bump(foreignFrames_);
            break;
        case FrameEvent::collecting:
        case FrameEvent::forUs:  // counted when answered
            break;
    }
}

void OsdpPeripheral::traceInput(const std::string& time, uint8_t b, const char* checkName,
                                int received, int computed, int32_t dumped) const {
    logAt(5,
          "%s Input [%02X] addr %d msgInPoz  %ld == msgInLen %d,  ctrlIn %02X cmndlIn %02X "
          "[%s %02X == %02X] |%s|",
          time.c_str(), b, inAddr, static_cast<long>(inPos), inLen, inCtrl, inCmd, checkName,
          received, computed, hexDump(inBuf.data(), static_cast<size_t>(dumped)).c_str());
}

void OsdpPeripheral::resynchronise() {
    inFrame_ = false;
    const auto first = inBuf.begin() + 1;
    const auto last = inBuf.begin() + inPos + 1;
    const auto restart = std::find(first, last, kStartOfMessage);
    const size_t count = static_cast<size_t>(last - restart);
    std::copy_backward(pending_.begin(), pending_.begin() + pendingLen_,
                       pending_.begin() + pendingLen_ + count);
    std::copy(restart, last, pending_.begin());
    pendingLen_ += count;
}

void OsdpPeripheral::answerFrame(const std::string& time) {
    currentReader = (inAddr == readerAddress[1]) ? 1 : 0;
    const int reader = currentReader;
    const int32_t frameLen = inPos + 1;
    const bool repeat =
        (inCtrl & kSequenceMask) != 0 && lastFrameLen[reader] == frameLen &&
        std::memcmp(lastFrame[reader].data(), inBuf.data(), static_cast<size_t>(frameLen)) == 0;
    lastFrameAt_[reader].store(lastByteAt_.load(std::memory_order_relaxed),
                               std::memory_order_relaxed);
    bump(framesAnswered_[reader]);
    if (repeat) {
        bump(repeatsAnswered_[reader]);
        // The controller missed our reply: send it again unchanged, so that a
        // card or status report it carried is neither lost nor consumed twice.
        replyBuf.fill(0);
        std::memcpy(replyBuf.data(), lastReply[reader].data(),
                    static_cast<size_t>(lastReplyLen[reader]));
        replyLen = lastReplyLen[reader];
        MutexLock lock(mutex);
        ++reqIn;
    } else {
        if (secure_[reader].mode() == ScMode::plain) {
            settleDelivery(reader);
            buildReply(static_cast<uint8_t>(inCtrl), static_cast<uint8_t>(inCmd));
        } else {
            secureReply(reader, frameLen);
        }
        std::memcpy(lastFrame[reader].data(), inBuf.data(), static_cast<size_t>(frameLen));
        lastFrameLen[reader] = frameLen;
        std::memcpy(lastReply[reader].data(), replyBuf.data(), static_cast<size_t>(replyLen));
        lastReplyLen[reader] = replyLen;
    }

    if (!time.empty()) {
        logAt(5,
              "%s (%ld) Addr=%d, msgInLen=%ld, CtrlIn=%02X, CmndIn=%02X  %s=[%02X %02X / %04X]/ "
              "Ver = %04X <%s>",
              time.c_str(), static_cast<long>(inPos), inAddr, static_cast<long>(inLen), inCtrl,
              inCmd, checkName_, inCheckLo, inCheckHi, checkReceived_, checkComputed_, "Ok");
        logAt(5, "%s | %s", time.c_str(),
              hexDump(inBuf.data(), static_cast<size_t>(inPos) + 1).c_str());
    }
}

void OsdpPeripheral::settleDelivery(int reader) {
    const int sequence = inCtrl & kSequenceMask;
    MutexLock lock(mutex);
    if (sequence == 0) {
        // A new session: the controller may have given up on our last reply,
        // so what it carried is offered again. A card that came in since is
        // newer and goes instead; a status report always tells the present
        // state.
        if (pendingCard[reader] == 0)
            pendingCard[reader] = unackedCard[reader];
        if (unackedStatus[reader])
            statusChanged[reader] = 1;
    } else if (sequence == (lastFrame[reader][4] & kSequenceMask)) {
        // The same sequence number with other bytes: the controller has not
        // moved on, so it has not confirmed the last reply either.
        return;
    }
    unackedCard[reader] = 0;
    unackedStatus[reader] = false;
}

// A reader in secure or install mode: the secure channel answers the handshake
// and refusals itself, and hands every other command to buildReply, sealing
// the reply when the command came in a session. A frame with a bad check code
// never gets here: it is dropped without a word and the session stays, so
// that the panel's resend of the same frame goes through.
void OsdpPeripheral::secureReply(int reader, int32_t frameLength) {
    SecureChannel& channel = secure_[reader];
    const ScInbound in =
        channel.receive(inBuf.data(), static_cast<size_t>(frameLength), replyBuf.data(), &replyLen);
    // Only a frame whose MAC holds may confirm that the last reply arrived,
    // so that a forged frame cannot settle a card the panel never saw; a new
    // session offers it again whatever opened it.
    if (in.authenticated || (inCtrl & kSequenceMask) == 0)
        settleDelivery(reader);
    if (in.dispatch) {
        buildReply(in.ctrl, in.cmd);
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

void OsdpPeripheral::buildReply(uint8_t ctrl, uint8_t cmd) {
    const bool trace = logEnabled(5);
    const std::string time = trace ? timeText(clock_()) : std::string();
    const int r = currentReader;

    MutexLock lock(mutex);
    ++reqIn;
    replyBuf.fill(0);
    replyCtrl = ctrl;
    logAt(5, "%s, parse_OSDP_query  ctrlInput = %02X, cmndInput=%02X ctrlOut=%02X currentReader %d",
          time.c_str(), ctrl, cmd, replyCtrl, r + 1);

    int length;
    switch (cmd) {
        case kCmdPoll:
            // One pending item per poll: the card first, then the status report.
            if (pendingCard[r] != 0) {
                replyCode = kReplyRaw;
                length = 16;
            } else if (statusChanged[r] != 0) {
                statusChanged[r] = 0;
                unackedStatus[r] = true;
                replyCode = kReplyLstatr;
                length = 10;
            } else {
                replyCode = kReplyAck;
                length = 8;
            }
            break;
        case kCmdId:
            replyCode = kReplyPdid;
            length = 20;
            break;
        case kCmdCap:
            replyCode = kReplyPdcap;
            length = 50;
            break;
        case kCmdLstat:
            replyCode = kReplyLstatr;
            length = 10;
            break;
        case kCmdComset:
            replyCode = kReplyCom;
            length = 13;
            break;
        default:
            // LED, buzzer, output, text and unknown commands: acknowledged, not applied.
            replyCode = kReplyAck;
            length = 8;
            break;
    }

    uint8_t* out = replyBuf.data();
    out[0] = kStartOfMessage;
    out[1] = static_cast<uint8_t>(readerAddress[r] + kReplyBit);
    out[2] = static_cast<uint8_t>(length);
    out[3] = 0;
    out[5] = replyCode;
    replyLen = length;

    switch (replyCode) {
        case kReplyPdid:
            std::memcpy(out + 6, kVendorCode, 3);
            out[9] = static_cast<uint8_t>(pdModel);
            out[10] = static_cast<uint8_t>(pdVersion);
            out[11] = static_cast<uint8_t>(pdSerial >> 24);
            out[12] = static_cast<uint8_t>(pdSerial >> 16);
            out[13] = static_cast<uint8_t>(pdSerial >> 8);
            out[14] = static_cast<uint8_t>(pdSerial);
            std::memcpy(out + 15, kFirmware, 3);
            break;
        case kReplyPdcap:
            std::memcpy(out + 6, kCapabilities, sizeof kCapabilities);
            if (secure_[r].mode() != ScMode::plain) {
                // Communication security: AES-128 Secure Channel, and in
                // install mode the default key as well, so that a controller
                // can tell that the reader waits for its key.
                out[6 + kSecurityEntry + 1] = 0x01;
                out[6 + kSecurityEntry + 2] = secure_[r].mode() == ScMode::install ? 0x01 : 0x00;
            }
            break;
        case kReplyLstatr:
            out[6] = tamper[r];
            out[7] = power[r];
            break;
        case kReplyRaw: {
            const uint32_t card = pendingCard[r];
            out[6] = 0x00;  // each virtual reader is a device of its own
            out[7] = kCardFormatCsn32;
            out[8] = 32;  // bit count, low byte first
            out[9] = 0;
            out[10] = static_cast<uint8_t>(card >> 24);
            out[11] = static_cast<uint8_t>(card >> 16);
            out[12] = static_cast<uint8_t>(card >> 8);
            out[13] = static_cast<uint8_t>(card);
            pendingCard[r] = 0;
            unackedCard[r] = card;
            // Card data always travels with a CRC-16, even to a checksum command.
            if (replyCtrl <= 3)
                replyCtrl = static_cast<uint8_t>(replyCtrl + kCrcFlag);
            break;
        }
        case kReplyCom:
            // Settings asked for are not applied: report the current ones.
            out[6] = readerAddress[r];
            out[7] = static_cast<uint8_t>(kBaudRate);
            out[8] = static_cast<uint8_t>(kBaudRate >> 8);
            out[9] = static_cast<uint8_t>(kBaudRate >> 16);
            out[10] = static_cast<uint8_t>(kBaudRate >> 24);
            break;
        default:
            break;
    }
    out[4] = replyCtrl;

    if (replyCtrl > 3) {
        const uint16_t crc = crc16(out, static_cast<size_t>(length - 2));
        out[length - 2] = static_cast<uint8_t>(crc);
        out[length - 1] = static_cast<uint8_t>(crc >> 8);
        logAt(5, "CRC16 %04X", crc);
    } else {
        // Same length as with a CRC: the byte before the checksum stays 0.
        const uint8_t sum = checksum8(out, static_cast<size_t>(length - 1));
        out[length - 1] = sum;
        logAt(5, "CRC8 %02X", sum);
    }
    logAt(5, "RESPONSE %s > %02X -> %02X", time.c_str(), inCmd, replyCode);
}

void OsdpPeripheral::injectCard(int reader, uint32_t card) {
    const WallTime now = clock_();
    MutexLock lock(mutex);
    const WallTime previous = lastAttempt[reader];
    // Every offer restarts the window, so a card offered again and again at
    // short gaps is taken only the first time.
    lastAttempt[reader] = now;
    if (card != lastCard[reader]) {
        pendingCard[reader] = card;
        lastCard[reader] = card;
        return;
    }
    const int64_t elapsed =
        (now.seconds - previous.seconds) * 1000000 + (now.micros - previous.micros);
    if (elapsed > repeatInterval) {
        pendingCard[reader] = card;
    } else {
        logAt(5, "Multiple credential in short time [%04X] on Reader %d", card, reader + 1);
    }
}

void OsdpPeripheral::setTamper(int reader, bool tampered) {
    MutexLock lock(mutex);
    tamper[reader] = tampered ? 1 : 0;
    statusChanged[reader] = 1;
}

void OsdpPeripheral::setLastLpr(int reader, const std::string& plate) {
    MutexLock lock(mutex);
    lastLpr[reader] = plate;
}

void OsdpPeripheral::countReplyWritten() {
    MutexLock lock(mutex);
    ++reqOut;
}

PeripheralStatus OsdpPeripheral::status() const {
    PeripheralStatus status;
    MutexLock lock(mutex);
    status.readerAddress = readerAddress;
    status.lastCard = lastCard;
    status.tamper = tamper;
    status.lastLpr = lastLpr;
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
    line.badCheck = badCheck_.load(relaxed);
    line.badLength = badLength_.load(relaxed);
    line.foreignFrames = foreignFrames_.load(relaxed);
    line.discardedBytes = discardedBytes_.load(relaxed);
    line.msSinceByte = msSince(lastByteAt_.load(relaxed));
    return line;
}
