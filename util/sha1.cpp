#include "util/sha1.h"

#include <stdexcept>

#include "util/coding.h"
#include "util/hex.h"

namespace {

uint32_t rotateLeft(uint32_t value, unsigned bits) {
    return (value << bits) | (value >> (32 - bits));
}

}  // namespace

Sha1::Sha1()
    : state{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u},
      bitCount(0),
      block{},
      blockFill(0) {}

void Sha1::update(const std::string& data) {
    for (char c : data) {
        block[blockFill++] = static_cast<uint8_t>(c);
        bitCount += 8;
        if (blockFill == sizeof(block)) {
            transform();
            blockFill = 0;
        }
    }
}

std::string Sha1::finalHex() {
    block[blockFill++] = 0x80;
    if (blockFill > 56) {
        while (blockFill < sizeof(block)) {
            block[blockFill++] = 0;
        }
        transform();
        blockFill = 0;
    }
    while (blockFill < 56) {
        block[blockFill++] = 0;
    }
    for (int i = 0; i < 8; ++i) {
        block[56 + i] = static_cast<uint8_t>(bitCount >> (56 - 8 * i));
    }
    transform();
    blockFill = 0;

    uint8_t digest[20];
    for (int i = 0; i < 5; ++i)
        encodeBigEndian32(digest + 4 * i, state[i]);
    return hexEncode(digest, sizeof digest);
}

void Sha1::transform() {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
        w[i] = decodeBigEndian32(&block[4 * i]);
    }
    for (int i = 16; i < 80; ++i) {
        w[i] = rotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    }

    uint32_t a = state[0];
    uint32_t b = state[1];
    uint32_t c = state[2];
    uint32_t d = state[3];
    uint32_t e = state[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f;
        uint32_t k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999u;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1u;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDCu;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6u;
        }
        const uint32_t temp = rotateLeft(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotateLeft(b, 30);
        b = a;
        a = temp;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

uint32_t cardNumberFromDigest(const std::string& digestHex) {
    // Parsed by hand rather than with std::stoul: unsigned long is 32 bits on the
    // camera, and a malformed text must not be read outside its bounds.
    if (digestHex.size() < 8) {
        throw std::invalid_argument("digest text shorter than 8 characters");
    }
    uint32_t card = 0;
    for (size_t i = digestHex.size() - 8; i < digestHex.size(); ++i) {
        const int digit = hexDigitValue(digestHex[i]);
        if (digit < 0) {
            throw std::invalid_argument("digest text ends in a non-hexadecimal character");
        }
        card = (card << 4) | static_cast<uint32_t>(digit);
    }
    return card;
}
