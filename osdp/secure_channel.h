// OSDP Secure Channel: key derivation, cryptograms, the MAC chain and the data
// encryption as pure functions of the bytes and a cipher handed in, shared by
// the readers and the controller tool; and SecureChannel, the session state of
// one reader. No I/O: the AES cipher and the random source come from outside.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

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

// Message codes and security block types of the handshake and of sessions.
constexpr uint8_t kCmdKeyset = 0x75;
constexpr uint8_t kCmdChallenge = 0x76;           // osdp_CHLNG
constexpr uint8_t kCmdServerCryptogram = 0x77;    // osdp_SCRYPT
constexpr uint8_t kReplyClientCryptogram = 0x76;  // osdp_CCRYPT
constexpr uint8_t kReplyInitialRmac = 0x78;       // osdp_RMAC_I
constexpr uint8_t kScbChallenge = 0x11;
constexpr uint8_t kScbClientCryptogram = 0x12;
constexpr uint8_t kScbServerCryptogram = 0x13;
constexpr uint8_t kScbInitialRmac = 0x14;
constexpr uint8_t kScbCommandMac = 0x15;
constexpr uint8_t kScbReplyMac = 0x16;
constexpr uint8_t kScbCommandEncrypted = 0x17;
constexpr uint8_t kScbReplyEncrypted = 0x18;
// Key byte of the handshake blocks: which base key the session is keyed with.
constexpr uint8_t kKeyDefault = 0x00;
constexpr uint8_t kKeyBase = 0x01;

// NAK error codes the secure channel sends.
constexpr uint8_t kNakLength = 0x02;
constexpr uint8_t kNakSecurityUnsupported = 0x05;
constexpr uint8_t kNakSecurityConditions = 0x06;

// Length of a session frame carrying n data bytes: header 5, block 2, code 1,
// data (padded to whole blocks when there is any), MAC 4, CRC 2.
constexpr size_t sessionFrameLength(size_t n) {
    return 5 + 2 + 1 + (n == 0 ? 0 : (n / 16 + 1) * 16) + 4 + 2;
}

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

// Writes a frame with a CRC-16: start byte, address, length, control byte
// (sequence, CRC flag, and the security-block flag when scbLength > 0), the
// security block, code and data. Returns its length.
size_t writeFrame(uint8_t* out, uint8_t address, uint8_t sequence, const uint8_t* scb,
                  size_t scbLength, uint8_t code, const uint8_t* data, size_t n);

// Writes a session frame: MAC only when n is 0, else the data encrypted with
// S-ENC under the complement of chain; the MAC chained from chain. *mac gets
// the full MAC, the next link. Returns the length, sessionFrameLength(n).
// REQUIRES: out holds sessionFrameLength(n) bytes and does not overlap data.
size_t sealSessionFrame(const ScCipher& cipher, const ScKeys& keys, const AesBlock& chain,
                        bool reply, uint8_t address, uint8_t sequence, uint8_t code,
                        const uint8_t* data, size_t n, uint8_t* out, AesBlock* mac);

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

enum class ScMode { plain, secure, install };

// What SecureChannel::receive made of a command frame.
struct ScInbound {
    // True: the command is the reader's to answer; build the plain reply and
    // pass it through sealReply. False: the reply is already written.
    bool dispatch = false;
    uint8_t ctrl = 0;
    uint8_t cmd = 0;
    // True when the frame came in the session with a right MAC.
    bool authenticated = false;
    // For the log, each set when it happened; never key material.
    const char* started = nullptr;  // "base" or "default": the key of the new session
    const char* ended = nullptr;    // why the session ended
    const char* refused = nullptr;  // why a handshake or a new key was refused
};

// The secure channel of one reader in secure or install mode: its base key,
// the handshake in progress, the session keys and the MAC chain.
//
// A session ends with a new handshake, a command with sequence number 0, a
// MAC or decryption failure, or a new key; it has no idle time-out. A panel
// that lost the reader restarts with sequence 0 or a handshake anyway, and a
// timer would need a clock here and could end a session the panel still holds
// after a quiet spell (there is no idle rule of Secure Channel's own to keep
// to). Sequence numbers other than 0 are not checked: a frame out of order
// fails the MAC chain and ends the session like any other MAC failure.
class SecureChannel {
  public:
    // Persists a key set by osdp_KEYSET; false when it could not be stored.
    using KeyStore = std::function<bool(const AesKey& key)>;

    // REQUIRES: cipher outlives the channel.
    explicit SecureChannel(const ScCipher& cipher) : cipher_(cipher) {}
    SecureChannel(const SecureChannel&) = delete;
    SecureChannel& operator=(const SecureChannel&) = delete;

    // Ends any session. REQUIRES: a key for secure mode.
    void configure(ScMode mode, const AesKey* key, const std::array<uint8_t, 8>& cuid,
                   KeyStore keyStore);
    ScMode mode() const { return mode_; }
    bool active() const { return state_ == State::active; }

    // Takes a command frame to this reader whose check code is right and that
    // is not a repeat. Either asks for the command to be dispatched, or writes
    // the reply to reply[0..*replyLength).
    // REQUIRES: reply holds sessionFrameLength(length) bytes.
    ScInbound receive(const uint8_t* frame, size_t length, uint8_t* reply, int32_t* replyLength);

    // After a dispatch: the plain reply in frame[0..length) becomes a session
    // reply in place when the command came in a session; returns the length.
    // REQUIRES: frame holds sessionFrameLength(length) bytes.
    int32_t sealReply(uint8_t* frame, int32_t length);

  private:
    enum class State { none, challenged, active };

    void challenge(const uint8_t* frame, const ScFrame& parts, ScInbound* in, uint8_t* reply,
                   int32_t* replyLength);
    void confirm(const uint8_t* frame, const ScFrame& parts, ScInbound* in, uint8_t* reply,
                 int32_t* replyLength);
    void sessionCommand(const uint8_t* frame, size_t length, const ScFrame& parts, ScInbound* in,
                        uint8_t* reply, int32_t* replyLength);
    void setKey(const uint8_t* data, size_t n, ScInbound* in, uint8_t* reply, int32_t* replyLength);
    void end(ScInbound* in, const char* reason);
    int32_t nakInClear(uint8_t code, uint8_t* reply) const;
    int32_t sealed(uint8_t code, const uint8_t* data, size_t n, uint8_t* reply);

    const ScCipher& cipher_;
    ScMode mode_ = ScMode::plain;
    bool hasKey_ = false;
    AesKey key_{};
    std::array<uint8_t, 8> cuid_{};
    KeyStore keyStore_;

    State state_ = State::none;
    bool defaultKey_ = false;
    ScKeys keys_;
    uint8_t rndA_[8] = {};
    uint8_t rndB_[8] = {};
    AesBlock cmac_{};
    AesBlock rmac_{};
    // The command being answered: its reply address and sequence, and whether
    // sealReply must seal its reply.
    uint8_t replyAddress_ = 0;
    uint8_t sequence_ = 0;
    bool sealNext_ = false;
    // Decrypted data of the latest session command; frames are at most 255
    // bytes long (the length field's low byte).
    std::array<uint8_t, 256> plain_{};
};
