#include "osdp/secure_frames.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "util/hex.h"

const AesKey kDefaultScbk = {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,
                             0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F};

namespace {

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
    std::vector<uint8_t> bytes;
    if (text.size() != 2 * key->size() || !hexDecode(text, &bytes))
        return false;
    std::copy(bytes.begin(), bytes.end(), key->begin());
    return true;
}

bool equalConstantTime(const uint8_t* a, const uint8_t* b, size_t n) {
    uint8_t difference = 0;
    for (size_t i = 0; i < n; ++i)
        difference = static_cast<uint8_t>(difference | (a[i] ^ b[i]));
    return difference == 0;
}

size_t sealSessionFrame(const ScCipher& cipher, const ScKeys& keys, const AesBlock& chain,
                        FrameWriter& out, uint8_t code, const uint8_t* data, size_t n,
                        AesBlock* mac) {
    // With data the frame is encrypted, without it MAC only: an empty
    // encrypted frame is not allowed.
    const uint8_t type = out.isReply() ? (n > 0 ? kScbReplyEncrypted : kScbReplyMac)
                                       : (n > 0 ? kScbCommandEncrypted : kScbCommandMac);
    const uint8_t block[2] = {2, type};
    out.putSecurityBlock(block, sizeof block);
    out.put(code);
    // Data padding is always there: 0x80, then zeros to a whole block.
    const size_t padded = n == 0 ? 0 : (n / 16 + 1) * 16;
    uint8_t* cipherText = out.take(padded);
    if (cipherText == nullptr)
        return out.finish();
    if (n > 0) {
        std::memcpy(cipherText, data, n);
        cipherText[n] = 0x80;
        std::memset(cipherText + n + 1, 0, padded - n - 1);
        AesBlock previous = complement(chain);
        for (size_t at = 0; at < padded; at += 16) {
            previous = cipher.encrypt(keys.enc, xorBlock(previous, cipherText + at));
            std::memcpy(cipherText + at, previous.data(), 16);
        }
    }
    *mac = scMac(cipher, keys, chain, out.frame(), out.layHeader(kMacLength));
    out.put(mac->data(), kMacLength);
    return out.finish();
}

bool parseScFrame(const uint8_t* frame, size_t length, ScFrame* parts) {
    if (length <= kHeaderLength || (frame[kControlOffset] & kScbFlag) == 0)
        return false;
    const size_t checkLength = (frame[kControlOffset] & kCrcFlag) ? kCrcLength : kChecksumLength;
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
