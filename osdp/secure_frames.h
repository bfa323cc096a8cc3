// OSDP Secure Channel frames: key derivation, cryptograms, the MAC chain and
// the data encryption as pure functions of the bytes and a cipher handed in,
// shared by the readers and the controller tool. No I/O: the AES cipher and
// the random source come from outside.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "osdp/frame_writer.h"
#include "osdp/protocol.h"

using AesKey = std::array<uint8_t, 16>;
using AesBlock = std::array<uint8_t, 16>;

// The block cipher and random source the secure channel works with. The daemon
// uses OpenSSL and the kernel (systemCipher); tests pin the random bytes.
struct ScCipher {
    // One AES-128 block, encrypted or decrypted with key.
    std::function<AesBlock(const AesKey& key, const AesBlock& block)> encrypt;
    std::function<AesBlock(const AesKey& key, const AesBlock& block)> decrypt;
    // Fills out with count fresh random bytes; false when none could be had.
    std::function<bool(uint8_t* out, size_t count)> random;
};

// SCBK-D, the publicly known default base key of install mode.
extern const AesKey kDefaultScbk;

struct ScKeys {
    AesKey enc{};
    AesKey mac1{};
    AesKey mac2{};
};

// S-ENC, S-MAC1 and S-MAC2 from the base key and the first 6 bytes of RND.A.
ScKeys deriveSessionKeys(const ScCipher& cipher, const AesKey& base, const uint8_t* rndA);

// AES(S-ENC, first || second), 8 bytes each: the client cryptogram is
// (RND.A, RND.B), the server cryptogram (RND.B, RND.A).
AesBlock scCryptogram(const ScCipher& cipher, const AesKey& enc, const uint8_t* first,
                      const uint8_t* second);

// The first link of the MAC chain, R-MAC_I, from the server cryptogram.
AesBlock initialRmac(const ScCipher& cipher, const ScKeys& keys, const AesBlock& serverCryptogram);

// The full 16-byte MAC of data[0..n) chained from iv.
AesBlock scMac(const ScCipher& cipher, const ScKeys& keys, const AesBlock& iv, const uint8_t* data,
               size_t n);

// A key written as 32 hexadecimal digits; false for anything else.
bool parseHexKey(const std::string& text, AesKey* key);

// Compares without an early exit, so the time taken tells nothing.
bool equalConstantTime(const uint8_t* a, const uint8_t* b, size_t n);

// Finishes a session frame begun by out (a reply's or a command's, as its
// address says): MAC only when n is 0, else the data encrypted with S-ENC
// under the complement of chain; the MAC chained from chain. *mac gets the
// full MAC, the next link. Returns out.finish(): sessionFrameLength(n), one
// less with a checksum, or 0 when it did not fit.
// REQUIRES: nothing put into out yet; its buffer does not overlap data.
size_t sealSessionFrame(const ScCipher& cipher, const ScKeys& keys, const AesBlock& chain,
                        FrameWriter& out, uint8_t code, const uint8_t* data, size_t n,
                        AesBlock* mac);

// The parts of a frame that carries a security block.
struct ScFrame {
    uint8_t type = 0;
    int keyByte = -1;  // handshake blocks only
    uint8_t code = 0;
    size_t dataStart = 0;  // first byte after the code
    size_t dataEnd = 0;    // end of the data: the MAC or the check code follows
};

// Splits a frame whose check code is right; false when its control byte
// announces no security block, or the block or the MAC does not fit in it.
bool parseScFrame(const uint8_t* frame, size_t length, ScFrame* parts);

enum class ScOpen { ok, macMismatch, badData };

// Verifies the MAC of a session frame (SCS_15 to SCS_18) chained from chain
// and takes out its data, decrypted for SCS_17 and SCS_18, into data[0..*n).
// *mac gets the full MAC. REQUIRES: parseScFrame accepted the frame; data
// holds length bytes.
ScOpen openSessionFrame(const ScCipher& cipher, const ScKeys& keys, const AesBlock& chain,
                        const uint8_t* frame, size_t length, const ScFrame& parts, uint8_t* data,
                        size_t* n, AesBlock* mac);
