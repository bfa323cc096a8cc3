#include "tools/controller_session.h"

#include <algorithm>

#include "osdp/panel_feedback.h"
#include "tools/reply_text.h"

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
    if (!reader.secure)
        return reader.cardAnswer;
    if (reader.secure->active()) {
        if (security_->install && reader.newKey == Reader::NewKey::pending)
            return Step::setKey;
        return reader.cardAnswer != Step::poll ? reader.cardAnswer : Step::sealedPoll;
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
            // Key type, key length, key. Not a range insert: gcc 12 warns
            // falsely on it.
            const AesKey& key = security_->newKey;
            std::vector<uint8_t> data(2 + key.size());
            data[0] = kKeysetTypeScbk;
            data[1] = static_cast<uint8_t>(key.size());
            std::copy(key.begin(), key.end(), data.begin() + 2);
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
        reader.cardAnswer = Step::led;
}

bool ControllerSession::answerPending() const {
    for (const Reader& reader : readers_) {
        if (reader.cardAnswer != Step::poll)
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
        reader.cardAnswer = reader.step == Step::led ? Step::buzzer : Step::poll;
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
    reader.cardAnswer = Step::poll;  // a card read that old needs no answer
    if (reader.secure)
        reader.secure->end();
}

void ControllerSession::passTurn() {
    turn_ = (turn_ + 1) % readers_.size();
}
