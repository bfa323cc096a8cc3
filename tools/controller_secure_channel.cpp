#include "tools/controller_secure_channel.h"

#include <cstring>

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
