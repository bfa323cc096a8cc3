#include "osdp/secure_channel.h"

#include <algorithm>
#include <cstring>
#include <utility>

void SecureChannel::configure(ScMode mode, const AesKey* key, const std::array<uint8_t, 8>& cuid,
                              KeyStore keyStore) {
    mode_ = mode;
    hasKey_ = key != nullptr;
    key_ = hasKey_ ? *key : AesKey{};
    cuid_ = cuid;
    keyStore_ = std::move(keyStore);
    state_ = State::none;
    keys_ = ScKeys{};
}

ScInbound SecureChannel::receive(const uint8_t* frame, size_t length, uint8_t* reply) {
    ScInbound in;
    in.ctrl = frame[kControlOffset];
    replyAddress_ = static_cast<uint8_t>(frame[kAddressOffset] | kReplyBit);
    sequence_ = in.ctrl & kSequenceMask;
    replyCtrl_ = static_cast<uint8_t>(in.ctrl & (kSequenceMask | kCrcFlag));
    sealNext_ = false;

    // Sequence 0 restarts communication: whatever session there was is gone
    // before the command is looked at (a challenge says so itself).
    const bool challengeBlock = (in.ctrl & kScbFlag) != 0 && length > kHeaderLength + 1 &&
                                frame[kHeaderLength + 1] == kScbChallenge;
    if (sequence_ == 0 && !challengeBlock)
        end(&in, "sequence 0");

    if ((in.ctrl & kScbFlag) == 0) {
        commandInClear(frame, length, &in, reply);
        return in;
    }

    ScFrame parts;
    if (length > plain_.size() || !parseScFrame(frame, length, &parts)) {
        end(&in, "malformed security block");
        in.replyLength = nakInClear(kNakSecurityConditions, reply);
        return in;
    }
    in.cmd = parts.code;
    switch (parts.type) {
        case kScbChallenge:
            challenge(frame, parts, &in, reply);
            break;
        case kScbServerCryptogram:
            confirm(frame, parts, &in, reply);
            break;
        case kScbCommandMac:
        case kScbCommandEncrypted:
            sessionCommand(frame, length, parts, &in, reply);
            break;
        default:
            // The reader's own block types, and those of other secure
            // channel variants, which this reader does not speak.
            end(&in, "unexpected security block");
            in.replyLength = nakInClear(kNakSecurityConditions, reply);
            break;
    }
    return in;
}

void SecureChannel::commandInClear(const uint8_t* frame, size_t length, ScInbound* in,
                                   uint8_t* reply) {
    in->cmd = frame[kCodeOffset];
    // Without a session only identification and capabilities are
    // answered in clear (osdp_COMSET too would tell nothing secret, but
    // it changes nothing here either, and the fewer answers in clear the
    // better). During a session a command in clear is refused
    // the same way but leaves the session and its chain as they were: the
    // controller still holds them, and a forged frame in clear gains
    // nothing. (Some readers answer it inside the session instead; a NAK
    // in clear is the one every controller can read.)
    if (in->cmd == kCmdId || in->cmd == kCmdCap) {
        in->dispatch = true;
        in->data = frame + kDataOffset;
        in->dataLength = length - kDataOffset - checkLength(in->ctrl);
    } else {
        in->replyLength = nakInClear(kNakSecurityConditions, reply);
    }
}

void SecureChannel::challenge(const uint8_t* frame, const ScFrame& parts, ScInbound* in,
                              uint8_t* reply) {
    // A challenge is welcome at any time and replaces any session.
    end(in, "new handshake");
    if (parts.code != kCmdChallenge || parts.dataEnd - parts.dataStart != kRandomLength) {
        in->replyLength = nakInClear(kNakLength, reply);
        return;
    }
    // The key is chosen by each challenge's key byte. The default key is
    // refused outside install mode, and a key the reader does not have is
    // refused rather than faked: both fail cleanly at once, and a controller
    // asking for the base key in vain falls back to the default key.
    const AesKey* base = nullptr;
    if (parts.keyByte == kKeyDefault) {
        if (mode_ == ScMode::install)
            base = &kDefaultScbk;
        else
            in->refused = "default key asked for outside install mode";
    } else if (parts.keyByte == kKeyBase) {
        if (hasKey_)
            base = &key_;
        else
            in->refused = "no base key set";
    } else {
        in->refused = "unknown key type";
    }
    if (base != nullptr && !cipher_.random(rndB_, kRandomLength)) {
        base = nullptr;
        in->refused = "no random bytes";
    }
    if (base == nullptr) {
        in->replyLength = nakInClear(kNakSecurityUnsupported, reply);
        return;
    }
    std::memcpy(rndA_, frame + parts.dataStart, kRandomLength);
    keys_ = deriveSessionKeys(cipher_, *base, rndA_);
    defaultKey_ = base == &kDefaultScbk;
    state_ = State::challenged;

    const AesBlock client = scCryptogram(cipher_, keys_.enc, rndA_, rndB_);
    uint8_t data[32];
    std::memcpy(data, cuid_.data(), 8);
    std::memcpy(data + 8, rndB_, kRandomLength);
    std::memcpy(data + 16, client.data(), 16);
    // Always the key actually used.
    const uint8_t scb[3] = {3, kScbClientCryptogram, static_cast<uint8_t>(parts.keyByte)};
    in->replyLength = inClear(scb, sizeof scb, kReplyClientCryptogram, data, sizeof data, reply);
}

void SecureChannel::confirm(const uint8_t* frame, const ScFrame& parts, ScInbound* in,
                            uint8_t* reply) {
    if (parts.code != kCmdServerCryptogram || parts.dataEnd - parts.dataStart != 16) {
        in->replyLength = nakInClear(kNakLength, reply);
        return;
    }
    // Out of order: no challenge before it, or a session already up (which a
    // frame without a MAC must not touch).
    if (state_ != State::challenged) {
        in->replyLength = nakInClear(kNakSecurityConditions, reply);
        return;
    }
    // The key byte is not compared with the challenge's: the cryptogram only
    // matches when both sides used the same key.
    AesBlock server;
    std::memcpy(server.data(), frame + parts.dataStart, 16);
    const AesBlock expected = scCryptogram(cipher_, keys_.enc, rndB_, rndA_);
    if (!equalConstantTime(expected.data(), server.data(), 16)) {
        // Refused with a NAK in clear rather than an osdp_RMAC_I marked as
        // rejected: controllers that never look at that mark would take it
        // for success, while a NAK fails cleanly everywhere.
        state_ = State::none;
        keys_ = ScKeys{};
        in->refused = "wrong server cryptogram";
        in->replyLength = nakInClear(kNakSecurityUnsupported, reply);
        return;
    }
    rmac_ = initialRmac(cipher_, keys_, server);
    state_ = State::active;
    in->started = defaultKey_ ? "default" : "base";
    const uint8_t scb[3] = {3, kScbInitialRmac, 0x01};
    in->replyLength = inClear(scb, sizeof scb, kReplyInitialRmac, rmac_.data(), 16, reply);
}

void SecureChannel::sessionCommand(const uint8_t* frame, size_t length, const ScFrame& parts,
                                   ScInbound* in, uint8_t* reply) {
    if (state_ != State::active) {
        state_ = State::none;
        in->replyLength = nakInClear(kNakSecurityConditions, reply);
        return;
    }
    size_t n = 0;
    AesBlock mac;
    const ScOpen opened =
        openSessionFrame(cipher_, keys_, rmac_, frame, length, parts, plain_.data(), &n, &mac);
    if (opened != ScOpen::ok) {
        // The chain is not advanced; the session is over and the NAK goes out
        // in clear, as there are no keys left to seal it with.
        end(in, opened == ScOpen::macMismatch ? "MAC mismatch" : "bad encrypted data");
        in->replyLength = nakInClear(kNakSecurityConditions, reply);
        return;
    }
    cmac_ = mac;
    in->authenticated = true;
    if (parts.code == kCmdKeyset) {
        setKey(plain_.data(), n, in, reply);
        return;
    }
    in->dispatch = true;
    in->data = plain_.data();
    in->dataLength = n;
    sealNext_ = true;
}

void SecureChannel::setKey(const uint8_t* data, size_t n, ScInbound* in, uint8_t* reply) {
    // Taken in any session, not only one of the default key: a panel that
    // holds the reader's key may change it, as key rotation asks.
    if (n != 18 || data[0] != kKeysetTypeScbk || data[1] != 16) {
        const uint8_t code = kNakLength;
        in->replyLength = sealed(kReplyNak, &code, 1, reply);
        return;
    }
    AesKey key;
    std::memcpy(key.data(), data + 2, key.size());
    // Stored before the reader switches, so that a power cut leaves the old
    // key or the new one in the key file; a key that could not be stored is
    // not taken up at all.
    if (!keyStore_ || !keyStore_(key)) {
        in->refused = "new key could not be stored";
        const uint8_t code = kNakSecurityConditions;
        in->replyLength = sealed(kReplyNak, &code, 1, reply);
        return;
    }
    // Acknowledged inside the old session; the new key serves from the next
    // handshake on, and install mode is over.
    in->replyLength = sealed(kReplyAck, nullptr, 0, reply);
    key_ = key;
    hasKey_ = true;
    mode_ = ScMode::secure;
    end(in, "new key set");
}

size_t SecureChannel::sealReply(uint8_t* frame, size_t length) {
    if (!sealNext_)
        return length;
    sealNext_ = false;
    // The plain reply's payload lies between its code and its check code.
    uint8_t payload[kMaxReplyData];
    const size_t n = length - kDataOffset - checkLength(frame[kControlOffset]);
    std::memcpy(payload, frame + kDataOffset, n);
    return sealed(frame[kCodeOffset], payload, n, frame);
}

size_t SecureChannel::sealed(uint8_t code, const uint8_t* data, size_t n, uint8_t* reply) {
    FrameWriter out(reply, kMaxReplyLength, replyAddress_, replyCtrl_);
    return sealSessionFrame(cipher_, keys_, cmac_, out, code, data, n, &rmac_);
}

size_t SecureChannel::inClear(const uint8_t* block, size_t blockLength, uint8_t code,
                              const uint8_t* data, size_t n, uint8_t* reply) const {
    FrameWriter out(reply, kMaxReplyLength, replyAddress_, replyCtrl_);
    out.putSecurityBlock(block, blockLength);
    out.put(code);
    out.put(data, n);
    return out.finish();
}

size_t SecureChannel::nakInClear(uint8_t code, uint8_t* reply) const {
    return inClear(nullptr, 0, kReplyNak, &code, 1, reply);
}

void SecureChannel::end(ScInbound* in, const char* reason) {
    if (state_ == State::active)
        in->ended = reason;
    state_ = State::none;
    keys_ = ScKeys{};
}
