#include "tools/osdp_controller_core.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "osdp/check_codes.h"
#include "osdp/panel_feedback.h"
#include "util/coding.h"
#include "util/hex.h"

namespace {

// The longest reply the tool takes from the line: longer than any reply of
// ours, so that another maker's reader with a bigger one is still heard.
constexpr size_t kLongestReply = 1024;

std::string hexBytes(const std::vector<uint8_t>& data, size_t first, size_t count) {
    return hexEncode(data.data() + first, count);
}

std::string readerPrefix(uint8_t address) {
    return "reader " + std::to_string(address);
}

// The serial number as a number: sent low byte first, shown high digit first.
std::string serialText(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

std::string describeIdentity(const OsdpReply& reply) {
    const std::vector<uint8_t>& d = reply.data;
    if (d.size() < 12)
        return readerPrefix(reply.address) + " id malformed";
    return readerPrefix(reply.address) + " id vendor=" + hexBytes(d, 0, 3) +
           " model=" + std::to_string(d[3]) + " version=" + std::to_string(d[4]) +
           " serial=" + serialText(decodeFixed32(&d[5])) + " firmware=" + std::to_string(d[9]) +
           "." + std::to_string(d[10]) + "." + std::to_string(d[11]);
}

std::string describeCapabilities(const OsdpReply& reply) {
    std::string line = readerPrefix(reply.address) + " capabilities";
    // Three bytes per entry: function, compliance, number of items.
    for (size_t i = 0; i + 3 <= reply.data.size(); i += 3) {
        line += " " + std::to_string(reply.data[i]) + ":" + std::to_string(reply.data[i + 1]) +
                ":" + std::to_string(reply.data[i + 2]);
    }
    return line;
}

std::string describeCard(const OsdpReply& reply) {
    const std::vector<uint8_t>& d = reply.data;
    if (d.size() < 4)
        return readerPrefix(reply.address) + " card malformed";
    unsigned bits = decodeFixed16(&d[2]);
    size_t bytes = (bits + 7) / 8;
    if (bits == 0 || d.size() < 4 + bytes)
        return readerPrefix(reply.address) + " card malformed";
    char format[8];
    snprintf(format, sizeof format, "0x%02X", d[1]);
    return readerPrefix(reply.address) + " card format=" + format +
           " bits=" + std::to_string(bits) + " card=" + hexBytes(d, 4, bytes);
}

}  // namespace

std::vector<uint8_t> buildCommandFrame(uint8_t address, uint8_t sequence, uint8_t command,
                                       const std::vector<uint8_t>& data,
                                       const std::vector<uint8_t>& scb) {
    std::vector<uint8_t> frame(kDataOffset + scb.size() + data.size() + kCrcLength);
    FrameWriter out(frame.data(), frame.size(), address, static_cast<uint8_t>(sequence | kCrcFlag));
    out.putSecurityBlock(scb.data(), scb.size());
    out.put(command);
    out.put(data.data(), data.size());
    frame.resize(out.finish());
    return frame;
}

void ReplyCollector::push(const uint8_t* bytes, size_t count) {
    buffer_.insert(buffer_.end(), bytes, bytes + count);
}

bool ReplyCollector::nextReply(OsdpReply* reply) {
    for (;;) {
        buffer_.erase(buffer_.begin(), std::find(buffer_.begin(), buffer_.end(), kStartOfMessage));
        if (buffer_.size() < kHeaderLength)
            return false;
        const size_t length = decodeFixed16(&buffer_[kLengthOffset]);
        const bool withCrc = (buffer_[kControlOffset] & kCrcFlag) != 0;
        if (length < (withCrc ? kMinCrcFrame : kMinChecksumFrame) || length > kLongestReply) {
            buffer_.erase(buffer_.begin());
            continue;
        }
        if (buffer_.size() < length)
            return false;
        const size_t dataEnd = length - (withCrc ? kCrcLength : kChecksumLength);
        const bool checkRight =
            withCrc ? crc16(buffer_.data(), dataEnd) == decodeFixed16(&buffer_[dataEnd])
                    : checksum8(buffer_.data(), dataEnd) == buffer_[length - 1];
        if (!checkRight) {
            ++damagedFrames_;
            buffer_.erase(buffer_.begin());
            continue;
        }
        const bool isReply = (buffer_[kAddressOffset] & kReplyBit) != 0;
        if (isReply) {
            reply->address = buffer_[kAddressOffset] & ~kReplyBit;
            reply->sequence = buffer_[kControlOffset] & kSequenceMask;
            // A security block sits between the control byte and the code.
            const size_t scbLength =
                (buffer_[kControlOffset] & kScbFlag) ? buffer_[kHeaderLength] : 0;
            const size_t codeAt = std::min(kCodeOffset + scbLength, dataEnd - 1);
            reply->code = buffer_[codeAt];
            reply->data.assign(buffer_.begin() + codeAt + 1, buffer_.begin() + dataEnd);
            reply->frame.assign(buffer_.begin(), buffer_.begin() + length);
        }
        buffer_.erase(buffer_.begin(), buffer_.begin() + length);
        if (isReply)
            return true;
    }
}

std::vector<uint8_t> ControllerSecureChannel::challenge(uint8_t address, uint8_t sequence,
                                                        const AesKey& key, uint8_t keyByte) {
    active_ = false;
    if (!cipher_.random(rndA_, sizeof rndA_))
        return {};
    keyByte_ = keyByte;
    keys_ = deriveSessionKeys(cipher_, key, rndA_);
    return buildCommandFrame(address, sequence, kCmdChallenge,
                             std::vector<uint8_t>(rndA_, rndA_ + sizeof rndA_),
                             {3, kScbChallenge, keyByte});
}

bool ControllerSecureChannel::acceptClientCryptogram(const OsdpReply& reply) {
    ScFrame parts;
    if (!parseScFrame(reply.frame.data(), reply.frame.size(), &parts) ||
        parts.code != kReplyClientCryptogram || parts.type != kScbClientCryptogram ||
        parts.dataEnd - parts.dataStart != 32) {
        return false;
    }
    const uint8_t* data = reply.frame.data() + parts.dataStart;
    std::memcpy(rndB_, data + 8, sizeof rndB_);
    const AesBlock expected = scCryptogram(cipher_, keys_.enc, rndA_, rndB_);
    return parts.keyByte == keyByte_ && equalConstantTime(expected.data(), data + 16, 16);
}

std::vector<uint8_t> ControllerSecureChannel::confirm(uint8_t address, uint8_t sequence) const {
    const AesBlock server = scCryptogram(cipher_, keys_.enc, rndB_, rndA_);
    return buildCommandFrame(address, sequence, kCmdServerCryptogram,
                             std::vector<uint8_t>(server.begin(), server.end()),
                             {3, kScbServerCryptogram, keyByte_});
}

bool ControllerSecureChannel::acceptInitialRmac(const OsdpReply& reply) {
    ScFrame parts;
    if (!parseScFrame(reply.frame.data(), reply.frame.size(), &parts) ||
        parts.code != kReplyInitialRmac || parts.type != kScbInitialRmac || parts.keyByte != 0x01 ||
        parts.dataEnd - parts.dataStart != 16) {
        return false;
    }
    const AesBlock expected =
        initialRmac(cipher_, keys_, scCryptogram(cipher_, keys_.enc, rndB_, rndA_));
    if (!equalConstantTime(expected.data(), reply.frame.data() + parts.dataStart, 16))
        return false;
    rmac_ = expected;
    active_ = true;
    return true;
}

std::vector<uint8_t> ControllerSecureChannel::seal(uint8_t address, uint8_t sequence, uint8_t code,
                                                   const std::vector<uint8_t>& data) {
    std::vector<uint8_t> frame(sessionFrameLength(data.size()));
    FrameWriter out(frame.data(), frame.size(), address, static_cast<uint8_t>(sequence | kCrcFlag));
    frame.resize(
        sealSessionFrame(cipher_, keys_, rmac_, out, code, data.data(), data.size(), &cmac_));
    return frame;
}

bool ControllerSecureChannel::open(const OsdpReply& reply, uint8_t* code,
                                   std::vector<uint8_t>* data) {
    ScFrame parts;
    std::vector<uint8_t> plain(reply.frame.size());
    size_t n = 0;
    AesBlock mac;
    if (!parseScFrame(reply.frame.data(), reply.frame.size(), &parts) ||
        (parts.type != kScbReplyMac && parts.type != kScbReplyEncrypted) ||
        openSessionFrame(cipher_, keys_, cmac_, reply.frame.data(), reply.frame.size(), parts,
                         plain.data(), &n, &mac) != ScOpen::ok) {
        active_ = false;
        return false;
    }
    rmac_ = mac;
    *code = parts.code;
    data->assign(plain.begin(), plain.begin() + static_cast<long>(n));
    return true;
}

ControllerSession::ControllerSession(const std::vector<uint8_t>& addresses, int missLimit,
                                     const ControllerSecurity* security)
    : missLimit_(missLimit), security_(security) {
    for (uint8_t address : addresses) {
        Reader reader;
        reader.address = address;
        if (security_ != nullptr)
            reader.secure = std::make_shared<ControllerSecureChannel>(*security_->cipher);
        readers_.push_back(reader);
    }
}

ControllerSession::Step ControllerSession::nextStep(const Reader& reader) const {
    if (!reader.identityAsked)
        return Step::identity;
    if (!reader.capabilitiesAsked)
        return Step::capabilities;
    const Step answer = reader.answerDue == 2 ? Step::led : Step::buzzer;
    if (!reader.secure)
        return reader.answerDue > 0 ? answer : Step::poll;
    if (reader.secure->active()) {
        if (security_->install && reader.newKey == Reader::NewKey::pending)
            return Step::setKey;
        return reader.answerDue > 0 ? answer : Step::sealedPoll;
    }
    return reader.confirming ? Step::confirm : Step::challenge;
}

std::vector<uint8_t> ControllerSession::buildFrame(Reader& reader, Step step) {
    switch (step) {
        case Step::identity:
            return buildCommandFrame(reader.address, reader.sequence, kCmdId);
        case Step::capabilities:
            return buildCommandFrame(reader.address, reader.sequence, kCmdCap);
        case Step::poll:
            return buildCommandFrame(reader.address, reader.sequence, kCmdPoll);
        case Step::challenge: {
            // Every handshake starts at sequence 0. Until a new key is set
            // the base key serves if given, else the default key.
            reader.sequence = 0;
            const bool useNewKey = reader.newKey == Reader::NewKey::installed;
            const bool useDefault = !useNewKey && !security_->hasKey;
            return reader.secure->challenge(reader.address, 0,
                                            useNewKey    ? security_->newKey
                                            : useDefault ? kDefaultScbk
                                                         : security_->key,
                                            useDefault ? kKeyDefault : kKeyBase);
        }
        case Step::confirm:
            return reader.secure->confirm(reader.address, reader.sequence);
        case Step::setKey: {
            std::vector<uint8_t> data = {0x01, 0x10};
            data.insert(data.end(), security_->newKey.begin(), security_->newKey.end());
            return reader.secure->seal(reader.address, reader.sequence, kCmdKeyset, data);
        }
        case Step::sealedPoll:
            return reader.secure->seal(reader.address, reader.sequence, kCmdPoll);
        case Step::led:
            // Reader 0, LED 0; temporary: set, on 3 s, off 0, the colour, black,
            // timer 3 s; the permanent state stays.
            return commandFrame(reader, kCmdLed,
                                {0, 0, 2, 30, 0, answerColour_, 0, 30, 0, 0, 0, 0, 0, 0});
        case Step::buzzer:
            // Reader 0, the default tone, on 200 ms, off 100 ms, once.
            return commandFrame(reader, kCmdBuzzer, {0, 2, 2, 1, 1});
    }
    return {};
}

std::vector<uint8_t> ControllerSession::commandFrame(Reader& reader, uint8_t code,
                                                     const std::vector<uint8_t>& data) {
    if (reader.secure)
        return reader.secure->seal(reader.address, reader.sequence, code, data);
    return buildCommandFrame(reader.address, reader.sequence, code, data);
}

void ControllerSession::onCardRead(Reader& reader) {
    ++cardReads_;
    if (answerCards_)
        reader.answerDue = 2;
}

bool ControllerSession::answerPending() const {
    for (const Reader& reader : readers_) {
        if (reader.answerDue > 0)
            return true;
    }
    return false;
}

const std::vector<uint8_t>& ControllerSession::nextCommand(Clock::time_point now) {
    static const std::vector<uint8_t> kNothing;
    size_t resting = 0;
    for (; resting < readers_.size() && readers_[turn_].restUntil > now; ++resting)
        passTurn();
    if (resting == readers_.size())
        return kNothing;
    Reader& reader = readers_[turn_];
    if (reader.outstanding.empty()) {
        reader.step = nextStep(reader);
        reader.outstanding = buildFrame(reader, reader.step);
    }
    return reader.outstanding;
}

bool ControllerSession::answers(const OsdpReply& reply) const {
    const Reader& reader = readers_[turn_];
    return !reader.outstanding.empty() && reply.address == reader.address &&
           reply.sequence == (reader.outstanding[kControlOffset] & kSequenceMask);
}

std::vector<std::string> ControllerSession::onReply(const OsdpReply& reply) {
    std::vector<std::string> lines;
    Reader& reader = readers_[turn_];
    if (reader.link != Link::online) {
        reader.link = Link::online;
        lines.push_back(readerPrefix(reader.address) + " online");
    }
    if (reader.step == Step::identity)
        reader.identityAsked = true;
    if (reader.step == Step::capabilities)
        reader.capabilitiesAsked = true;
    const bool answering = reader.step == Step::led || reader.step == Step::buzzer;
    if (answering)
        --reader.answerDue;
    if (reader.step <= Step::poll || (answering && !reader.secure)) {
        if (reply.code == kReplyRaw)
            onCardRead(reader);
        std::string line = describeReply(reader.outstanding[kCodeOffset], reply);
        if (!line.empty())
            lines.push_back(line);
        if (reader.step == Step::led && reply.code == kReplyAck)
            lines.push_back(readerPrefix(reader.address) + " led " + colourName(answerColour_));
    } else {
        onSecureReply(reader, reply, &lines);
    }

    reader.misses = 0;
    reader.outstanding.clear();
    reader.sequence = reader.sequence % 3 + 1;
    passTurn();
    return lines;
}

// The reader's answer to a handshake step: the session is established or
// refused. REQUIRES: reader.step is Step::challenge or Step::confirm.
void ControllerSession::onHandshakeReply(Reader& reader, const OsdpReply& reply,
                                         std::vector<std::string>* lines) {
    const std::string prefix = readerPrefix(reader.address);
    ControllerSecureChannel& secure = *reader.secure;
    auto refused = [&]() {
        reader.confirming = false;
        if (!reader.refusalShown)
            lines->push_back(prefix + " secure channel refused");
        reader.refusalShown = true;
    };
    if (reader.step == Step::challenge) {
        if (secure.acceptClientCryptogram(reply)) {
            reader.confirming = true;
        } else {
            refused();
        }
        return;
    }
    reader.confirming = false;
    if (!secure.acceptInitialRmac(reply)) {
        refused();
        return;
    }
    reader.refusalShown = false;
    lines->push_back(prefix + " secure channel established");
}

// A session reply is opened and told like one in clear. Keys never reach a
// line.
void ControllerSession::onSecureReply(Reader& reader, const OsdpReply& reply,
                                      std::vector<std::string>* lines) {
    if (reader.step == Step::challenge || reader.step == Step::confirm) {
        onHandshakeReply(reader, reply, lines);
        return;
    }
    const std::string prefix = readerPrefix(reader.address);
    ControllerSecureChannel& secure = *reader.secure;
    const uint8_t command = reader.step == Step::setKey   ? kCmdKeyset
                            : reader.step == Step::led    ? kCmdLed
                            : reader.step == Step::buzzer ? kCmdBuzzer
                                                          : kCmdPoll;
    OsdpReply opened = reply;
    if (!secure.open(reply, &opened.code, &opened.data)) {
        const std::string line = describeReply(command, reply);
        if (!line.empty())
            lines->push_back(line);
        lines->push_back(prefix + " secure channel lost");
        return;
    }
    if (reader.step == Step::setKey) {
        // Asked once: a refused key is reported and the session goes on.
        if (opened.code == kReplyAck) {
            // The reader ends the session after the new key; the next
            // handshake uses it.
            reader.newKey = Reader::NewKey::installed;
            secure.end();
            lines->push_back(prefix + " key installed");
        } else {
            reader.newKey = Reader::NewKey::refused;
            lines->push_back(describeReply(kCmdKeyset, opened));
        }
        return;
    }
    if (opened.code == kReplyRaw)
        onCardRead(reader);
    const std::string line = describeReply(command, opened);
    if (!line.empty())
        lines->push_back(line);
    if (reader.step == Step::led && opened.code == kReplyAck)
        lines->push_back(prefix + " led " + colourName(answerColour_));
}

std::vector<std::string> ControllerSession::onNoReply() {
    std::vector<std::string> lines;
    Reader& reader = readers_[turn_];
    ++reader.misses;
    if (reader.misses >= missLimit_ && reader.link != Link::offline)
        takeOffline(reader, &lines);
    passTurn();
    return lines;
}

std::vector<std::string> ControllerSession::onDamagedReply(Clock::time_point now) {
    if (!restsAfterDamage())
        return onNoReply();
    std::vector<std::string> lines;
    Reader& reader = readers_[turn_];
    reader.misses = 0;
    reader.restUntil = now + damageRest_;
    // A reader offline already starts its new session over, unannounced.
    takeOffline(reader, reader.link != Link::offline ? &lines : nullptr);
    passTurn();
    return lines;
}

void ControllerSession::takeOffline(Reader& reader, std::vector<std::string>* lines) {
    reader.link = Link::offline;
    if (lines != nullptr)
        lines->push_back(readerPrefix(reader.address) + " offline");
    // A new session: sequence 0 tells the reader to start over.
    reader.identityAsked = false;
    reader.capabilitiesAsked = false;
    reader.sequence = 0;
    reader.outstanding.clear();
    reader.confirming = false;
    reader.answerDue = 0;  // a card read that old needs no answer
    if (reader.secure)
        reader.secure->end();
}

void ControllerSession::passTurn() {
    turn_ = (turn_ + 1) % readers_.size();
}

std::string describeReply(uint8_t command, const OsdpReply& reply) {
    switch (reply.code) {
        case kReplyAck:
            return std::string();
        case kReplyNak:
            return readerPrefix(reply.address) + " nak error=" +
                   (reply.data.empty() ? std::string("?") : std::to_string(reply.data[0]));
        case kReplyPdid:
            return describeIdentity(reply);
        case kReplyPdcap:
            return describeCapabilities(reply);
        case kReplyLstatr:
            if (reply.data.size() < 2)
                return readerPrefix(reply.address) + " status malformed";
            return readerPrefix(reply.address) + " status tamper=" + std::to_string(reply.data[0]) +
                   " power=" + std::to_string(reply.data[1]);
        case kReplyRaw:
            return describeCard(reply);
    }
    char text[48];
    snprintf(text, sizeof text, " reply code=0x%02X to command 0x%02X", reply.code, command);
    return readerPrefix(reply.address) + text;
}
