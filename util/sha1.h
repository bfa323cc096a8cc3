// SHA-1, used to turn a licence-plate text into a card number and a camera's
// serial number into its readers' serial numbers; never for anything
// security-related. The digest is GLib's.
#pragma once

#include <cstdint>
#include <string>

typedef struct _GChecksum GChecksum;

class Sha1 {
  public:
    Sha1();
    ~Sha1();
    Sha1(const Sha1&) = delete;
    Sha1& operator=(const Sha1&) = delete;

    // Takes every byte of data, zero bytes included.
    void update(const std::string& data);

    // Completes the digest and returns it as 40 upper-case hexadecimal digits.
    // REQUIRES: called once; the object is spent afterwards.
    std::string finalHex();

  private:
    GChecksum* checksum_;
};

// The last 8 hexadecimal digits of a digest text as a number, that is the last
// four digest bytes read big-endian.
// REQUIRES: digestHex is a digest text of Sha1::finalHex. Any other text whose
// last 8 characters are not all hexadecimal digits (or that is shorter than 8)
// throws std::invalid_argument.
uint32_t cardNumberFromDigest(const std::string& digestHex);
