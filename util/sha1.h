// SHA-1 (FIPS 180-4) of our own, used to turn a licence-plate text into a card
// number. Not used for anything security-related.
#pragma once

#include <cstdint>
#include <string>

class Sha1 {
  public:
    Sha1();

    // Takes every byte of data, zero bytes included.
    void update(const std::string& data);

    // Completes the digest and returns it as 40 upper-case hexadecimal digits.
    // REQUIRES: called once; the object is spent afterwards.
    std::string finalHex();

  private:
    void transform();

    uint32_t state[5];
    uint64_t bitCount;
    uint8_t block[64];
    uint32_t blockFill;
};

// The last 8 hexadecimal digits of a digest text as a number, that is the last
// four digest bytes read big-endian.
// REQUIRES: digestHex is a digest text of Sha1::finalHex. Any other text whose
// last 8 characters are not all hexadecimal digits (or that is shorter than 8)
// throws std::invalid_argument.
uint32_t cardNumberFromDigest(const std::string& digestHex);
