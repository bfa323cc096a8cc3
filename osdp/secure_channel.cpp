#include "osdp/secure_channel.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "osdp/check_codes.h"

const AesKey kDefaultScbk = {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,
                             0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F};

namespace {

constexpr uint8_t kStart = 0x53;
constexpr uint8_t kReplyBit = 0x80;
constexpr uint8_t kSequenceMask = 0x03;
constexpr uint8_t kCrcFlag = 0x04;
constexpr uint8_t kScbFlag = 0x08;
constexpr uint8_t kCmdId = 0x61;
constexpr uint8_t kCmdCap = 0x62;
constexpr uint8_t kReplyAck = 0x40;
constexpr uint8_t kReplyNak = 0x41;
constexpr uint8_t kKeysetTypeScbk = 0x01;
constexpr size_t kRandomLength = 8;
constexpr size_t kMacLength = 4;
// Start byte, address, two length bytes and the control byte.
constexpr size_t kHeaderLength = 5;

AesBlock complement(const AesBlock& block) {
    AesBlock out;
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(~block[i]);
    return out;
}

AesBlock xorBlock(const AesBlock& a, const uint8_t* b) {
    AesBlock out;
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(a[i] ^ b[i]);
    return out;
}

AesKey deriveKey(const ScCipher& cipher, const AesKey& base, uint8_t first, uint8_t second,
                 const uint8_t* rndA) {
    AesBlock block{};
    block[0] = first;
    block[1] = second;
    std::memcpy(block.data() + 2, rndA, 6);
    return cipher.encrypt(base, block);
}

void putLength(uint8_t* frame, size_t length) {
    frame[2] = static_cast<uint8_t>(length);
    frame[3] = static_cast<uint8_t>(length >> 8);
}

size_t appendCrc(uint8_t* frame, size_t covered) {
    const uint16_t crc = crc16(frame, covered);
    frame[covered] = static_cast<uint8_t>(crc);
    frame[covered + 1] = static_cast<uint8_t>(crc >> 8);
    return covered + 2;
}

}  // namespace

ScKeys deriveSessionKeys(const ScCipher& cipher, const AesKey& base, const uint8_t* rndA) {
    ScKeys keys;
    keys.enc = deriveKey(cipher, base, 0x01, 0x82, rndA);
    keys.mac1 = deriveKey(cipher, base, 0x01, 0x01, rndA);
    keys.mac2 = deriveKey(cipher, base, 0x01, 0x02, rndA);
    return keys;
}

AesBlock scCryptogram(const ScCipher& cipher, const AesKey& enc, const uint8_t* first,
                      const uint8_t* second) {
    AesBlock block;
    std::memcpy(block.data(), first, kRandomLength);
    std::memcpy(block.data() + kRandomLength, second, kRandomLength);
    return cipher.encrypt(enc, block);
}

AesBlock initialRmac(const ScCipher& cipher, const ScKeys& keys, const AesBlock& serverCryptogram) {
    return cipher.encrypt(keys.mac2, cipher.encrypt(keys.mac1, serverCryptogram));
}

AesBlock scMac(const ScCipher& cipher, const ScKeys& keys, const AesBlock& iv, const uint8_t* data,
               size_t n) {
    // Padded with 0x80 0x00... only when the bytes do not fill the last block.
    AesBlock chain = iv;
    size_t at = 0;
    for (;;) {
        AesBlock block{};
        const size_t take = std::min<size_t>(16, n - at);
        std::memcpy(block.data(), data + at, take);
        if (take < 16)
            block[take] = 0x80;
        at += take;
        const bool last = at >= n;
        chain = cipher.encrypt(last ? keys.mac2 : keys.mac1, xorBlock(chain, block.data()));
        if (last)
            return chain;
    }
}

bool parseHexKey(const std::string& text, AesKey* key) {
    if (text.size() != 2 * key->size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        int value;
        if (c >= '0' && c <= '9') {
            value = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            value = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            value = c - 'A' + 10;
        } else {
            return false;
        }
        uint8_t& byte = (*key)[i / 2];
        byte = static_cast<uint8_t>(i % 2 == 0 ? value << 4 : byte | value);
    }
    return true;
}

bool equalConstantTime(const uint8_t* a, const uint8_t* b, size_t n) {
    uint8_t difference = 0;
    for (size_t i = 0; i < n; ++i)
        difference = static_cast<uint8_t>(difference | (a[i] ^ b[i]));
    return difference == 0;
}

// Frames built here always end in a CRC-16, even when the command came with a
// checksum: every panel that speaks Secure Channel uses CRC-16, and the
// length, which the MAC covers, then never depends on the command's check.
// Control byte bits 4 to 7 are left 0 (nothing defines them).
size_t writeFrame(uint8_t* out, uint8_t address, uint8_t sequence, const uint8_t* scb,
                  size_t scbLength, uint8_t code, const uint8_t* data, size_t n) {
    const size_t length = kHeaderLength + scbLength + 1 + n + 2;
    out[0] = kStart;
    out[1] = address;
    putLength(out, length);
    out[4] = static_cast<uint8_t>((sequence & kSequenceMask) | kCrcFlag |
                                  (scbLength > 0 ? kScbFlag : 0));
    // std::copy: scb and data may be null when empty.
    std::copy(scb, scb + scbLength, out + kHeaderLength);
    out[kHeaderLength + scbLength] = code;
    std::copy(data, data + n, out + kHeaderLength + scbLength + 1);
    return appendCrc(out, length - 2);
}

size_t sealSessionFrame(const ScCipher& cipher, const ScKeys& keys, const AesBlock& chain,
                        bool reply, uint8_t address, uint8_t sequence, uint8_t code,
                        const uint8_t* data, size_t n, uint8_t* out, AesBlock* mac) {
    // With data the frame is encrypted, without it MAC only: an empty
    // encrypted frame is not allowed.
    const uint8_t type = reply ? (n > 0 ? kScbReplyEncrypted : kScbReplyMac)
                               : (n > 0 ? kScbCommandEncrypted : kScbCommandMac);
    const size_t length = sessionFrameLength(n);
    out[0] = kStart;
    out[1] = address;
    putLength(out, length);
    out[4] = static_cast<uint8_t>((sequence & kSequenceMask) | kCrcFlag | kScbFlag);
    out[5] = 2;
    out[6] = type;
    out[7] = code;
    size_t at = 8;
    if (n > 0) {
        // Data padding is always there: 0x80, then zeros to a whole block.
        const size_t padded = (n / 16 + 1) * 16;
        uint8_t* cipherText = out + at;
        std::memcpy(cipherText, data, n);
        cipherText[n] = 0x80;
        std::memset(cipherText + n + 1, 0, padded - n - 1);
        AesBlock previous = complement(chain);
        for (size_t block = 0; block < padded; block += 16) {
            previous = cipher.encrypt(keys.enc, xorBlock(previous, cipherText + block));
            std::memcpy(cipherText + block, previous.data(), 16);
        }
        at += padded;
    }
    *mac = scMac(cipher, keys, chain, out, at);
    std::memcpy(out + at, mac->data(), kMacLength);
    return appendCrc(out, at + kMacLength);
}

bool parseScFrame(const uint8_t* frame, size_t length, ScFrame* parts) {
    if (length <= kHeaderLength || (frame[4] & kScbFlag) == 0)
        return false;
    const size_t checkLength = (frame[4] & kCrcFlag) ? 2 : 1;
    if (length < kHeaderLength + 2 + 1 + checkLength)
        return false;
    const size_t scbLength = frame[kHeaderLength];
    const size_t code = kHeaderLength + scbLength;
    if (scbLength < 2 || code + 1 + checkLength > length)
        return false;
    parts->type = frame[kHeaderLength + 1];
    parts->keyByte = scbLength >= 3 ? frame[kHeaderLength + 2] : -1;
    parts->code = frame[code];
    parts->dataStart = code + 1;
    parts->dataEnd = length - checkLength;
    if (parts->type >= kScbCommandMac && parts->type <= kScbReplyEncrypted) {
        if (parts->dataEnd < parts->dataStart + kMacLength)
            return false;
        parts->dataEnd -= kMacLength;
    }
    return true;
}

ScOpen openSessionFrame(const ScCipher& cipher, const ScKeys& keys, const AesBlock& chain,
                        const uint8_t* frame, size_t /*length*/, const ScFrame& parts,
                        uint8_t* data, size_t* n, AesBlock* mac) {
    *mac = scMac(cipher, keys, chain, frame, parts.dataEnd);
    if (!equalConstantTime(mac->data(), frame + parts.dataEnd, kMacLength))
        return ScOpen::macMismatch;
    const uint8_t* body = frame + parts.dataStart;
    const size_t size = parts.dataEnd - parts.dataStart;
    if (parts.type == kScbCommandMac || parts.type == kScbReplyMac) {
        // MAC only: any data travels in clear.
        std::memcpy(data, body, size);
        *n = size;
        return ScOpen::ok;
    }
    if (size == 0 || size % 16 != 0)
        return ScOpen::badData;
    AesBlock previous = complement(chain);
    for (size_t block = 0; block < size; block += 16) {
        AesBlock in;
        std::memcpy(in.data(), body + block, 16);
        const AesBlock plain = xorBlock(cipher.decrypt(keys.enc, in), previous.data());
        std::memcpy(data + block, plain.data(), 16);
        previous = in;
    }
    // Padding: trailing zeros, then the 0x80 that must be there.
    size_t end = size;
    while (end > 0 && data[end - 1] == 0x00)
        --end;
    if (end == 0 || data[end - 1] != 0x80)
        return ScOpen::badData;
    *n = end - 1;
    return ScOpen::ok;
}

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

ScInbound SecureChannel::receive(const uint8_t* frame, size_t length, uint8_t* reply,
                                 int32_t* replyLength) {
    ScInbound in;
    in.ctrl = frame[4];
    replyAddress_ = static_cast<uint8_t>(frame[1] | kReplyBit);
    sequence_ = in.ctrl & kSequenceMask;
    sealNext_ = false;

    // Sequence 0 restarts communication: whatever session there was is gone
    // before the command is looked at (a challenge says so itself).
    const bool challengeBlock =
        (in.ctrl & kScbFlag) != 0 && length > kHeaderLength + 1 && frame[6] == kScbChallenge;
    if (sequence_ == 0 && !challengeBlock)
        end(&in, "sequence 0");

    if ((in.ctrl & kScbFlag) == 0) {
        in.cmd = frame[kHeaderLength];
        // Without a session only identification and capabilities are
        // answered in clear (osdp_COMSET too would tell nothing secret, but
        // it changes nothing here either, and the fewer answers in clear the
        // better). During a session a command in clear is refused
        // the same way but leaves the session and its chain as they were: the
        // controller still holds them, and a forged frame in clear gains
        // nothing. (Some readers answer it inside the session instead; a NAK
        // in clear is the one every controller can read.)
        if (in.cmd == kCmdId || in.cmd == kCmdCap) {
            in.dispatch = true;
        } else {
            *replyLength = nakInClear(kNakSecurityConditions, reply);
        }
        return in;
    }

    ScFrame parts;
    if (length > plain_.size() || !parseScFrame(frame, length, &parts)) {
        end(&in, "malformed security block");
        *replyLength = nakInClear(kNakSecurityConditions, reply);
        return in;
    }
    in.cmd = parts.code;
    switch (parts.type) {
        case kScbChallenge:
            challenge(frame, parts, &in, reply, replyLength);
            break;
        case kScbServerCryptogram:
            confirm(frame, parts, &in, reply, replyLength);
            break;
        case kScbCommandMac:
        case kScbCommandEncrypted:
            sessionCommand(frame, length, parts, &in, reply, replyLength);
            break;
        default:
            // The reader's own block types, and those of other secure
            // channel variants, which this reader does not speak.
            end(&in, "unexpected security block");
            *replyLength = nakInClear(kNakSecurityConditions, reply);
            break;
    }
    return in;
}

void SecureChannel::challenge(const uint8_t* frame, const ScFrame& parts, ScInbound* in,
                              uint8_t* reply, int32_t* replyLength) {
    // A challenge is welcome at any time and replaces any session.
    end(in, "new handshake");
    if (parts.code != kCmdChallenge || parts.dataEnd - parts.dataStart != kRandomLength) {
        *replyLength = nakInClear(kNakLength, reply);
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
        *replyLength = nakInClear(kNakSecurityUnsupported, reply);
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
    *replyLength = static_cast<int32_t>(writeFrame(reply, replyAddress_, sequence_, scb, sizeof scb,
                                                   kReplyClientCryptogram, data, sizeof data));
}

void SecureChannel::confirm(const uint8_t* frame, const ScFrame& parts, ScInbound* in,
                            uint8_t* reply, int32_t* replyLength) {
    if (parts.code != kCmdServerCryptogram || parts.dataEnd - parts.dataStart != 16) {
        *replyLength = nakInClear(kNakLength, reply);
        return;
    }
    // Out of order: no challenge before it, or a session already up (which a
    // frame without a MAC must not touch).
    if (state_ != State::challenged) {
        *replyLength = nakInClear(kNakSecurityConditions, reply);
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
        *replyLength = nakInClear(kNakSecurityUnsupported, reply);
        return;
    }
    rmac_ = initialRmac(cipher_, keys_, server);
    state_ = State::active;
    in->started = defaultKey_ ? "default" : "base";
    const uint8_t scb[3] = {3, kScbInitialRmac, 0x01};
    *replyLength = static_cast<int32_t>(writeFrame(reply, replyAddress_, sequence_, scb, sizeof scb,
                                                   kReplyInitialRmac, rmac_.data(), 16));
}

void SecureChannel::sessionCommand(const uint8_t* frame, size_t length, const ScFrame& parts,
                                   ScInbound* in, uint8_t* reply, int32_t* replyLength) {
    if (state_ != State::active) {
        state_ = State::none;
        *replyLength = nakInClear(kNakSecurityConditions, reply);
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
        *replyLength = nakInClear(kNakSecurityConditions, reply);
        return;
    }
    cmac_ = mac;
    in->authenticated = true;
    if (parts.code == kCmdKeyset) {
        setKey(plain_.data(), n, in, reply, replyLength);
        return;
    }
    in->dispatch = true;
    sealNext_ = true;
}

void SecureChannel::setKey(const uint8_t* data, size_t n, ScInbound* in, uint8_t* reply,
                           int32_t* replyLength) {
    // Taken in any session, not only one of the default key: a panel that
    // holds the reader's key may change it, as key rotation asks.
    if (n != 18 || data[0] != kKeysetTypeScbk || data[1] != 16) {
        const uint8_t code = kNakLength;
        *replyLength = sealed(kReplyNak, &code, 1, reply);
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
        *replyLength = sealed(kReplyNak, &code, 1, reply);
        return;
    }
    // Acknowledged inside the old session; the new key serves from the next
    // handshake on, and install mode is over.
    *replyLength = sealed(kReplyAck, nullptr, 0, reply);
    key_ = key;
    hasKey_ = true;
    mode_ = ScMode::secure;
    end(in, "new key set");
}

int32_t SecureChannel::sealReply(uint8_t* frame, int32_t length) {
    if (!sealNext_)
        return length;
    sealNext_ = false;
    // The plain reply's payload lies between its code and its two check
    // bytes, whichever check code it carries.
    uint8_t payload[256];
    const size_t n = static_cast<size_t>(length) - 8;
    std::memcpy(payload, frame + 6, n);
    return sealed(frame[5], payload, n, frame);
}

int32_t SecureChannel::sealed(uint8_t code, const uint8_t* data, size_t n, uint8_t* reply) {
    return static_cast<int32_t>(sealSessionFrame(cipher_, keys_, cmac_, true, replyAddress_,
                                                 sequence_, code, data, n, reply, &rmac_));
}

int32_t SecureChannel::nakInClear(uint8_t code, uint8_t* reply) const {
    return static_cast<int32_t>(
        writeFrame(reply, replyAddress_, sequence_, nullptr, 0, kReplyNak, &code, 1));
}

void SecureChannel::end(ScInbound* in, const char* reason) {
    if (state_ == State::active)
        in->ended = reason;
    state_ = State::none;
    keys_ = ScKeys{};
}
