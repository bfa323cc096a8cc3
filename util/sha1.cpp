#include "util/sha1.h"

#include <openssl/evp.h>

#include <new>
#include <stdexcept>

#include "util/hex.h"

// SHA-1 cannot fail on bytes in memory: a context that cannot be had or set up
// is out of memory, as a failed allocation is.
Sha1::Sha1() : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr || EVP_DigestInit_ex(context_, EVP_sha1(), nullptr) != 1) {
        EVP_MD_CTX_free(context_);
        throw std::bad_alloc();
    }
}

Sha1::~Sha1() {
    EVP_MD_CTX_free(context_);
}

void Sha1::update(const std::string& data) {
    EVP_DigestUpdate(context_, data.data(), data.size());
}

std::string Sha1::finalHex() {
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_, digest, &length);
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
