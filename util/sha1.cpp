#include "util/sha1.h"

#include <glib.h>

#include <stdexcept>

#include "util/hex.h"

Sha1::Sha1() : checksum_(g_checksum_new(G_CHECKSUM_SHA1)) {}

Sha1::~Sha1() {
    g_checksum_free(checksum_);
}

void Sha1::update(const std::string& data) {
    g_checksum_update(checksum_, reinterpret_cast<const guchar*>(data.data()),
                      static_cast<gssize>(data.size()));
}

std::string Sha1::finalHex() {
    guint8 digest[20];
    gsize length = sizeof digest;
    g_checksum_get_digest(checksum_, digest, &length);
    return hexEncode(digest, length);
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
