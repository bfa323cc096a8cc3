// SecureChannel, the Secure Channel session state of one reader.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "osdp/secure_frames.h"

enum class ScMode { plain, secure, install };

// What SecureChannel::receive made of a command frame.
struct ScInbound {
    // True: the command is the reader's to answer; build the plain reply and
    // pass it through sealReply. False: the reply is already written, and is
    // replyLength bytes long.
    bool dispatch = false;
    size_t replyLength = 0;
    uint8_t ctrl = 0;
    uint8_t cmd = 0;
    // The command's data, valid until the next receive.
    const uint8_t* data = nullptr;
    size_t dataLength = 0;
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
    // the reply to reply[0..replyLength).
    // REQUIRES: reply holds kMaxReplyLength bytes.
    ScInbound receive(const uint8_t* frame, size_t length, uint8_t* reply);

    // After a dispatch: the plain reply in frame[0..length) becomes a session
    // reply in place when the command came in a session; returns the length.
    // REQUIRES: frame holds kMaxReplyLength bytes; length is a whole reply's.
    size_t sealReply(uint8_t* frame, size_t length);

  private:
    enum class State { none, challenged, active };

    // A frame without a security block: identification and capabilities pass,
    // anything else gets the security NAK.
    // Each writes its reply, when it gives one, to reply[0..in->replyLength).
    void commandInClear(const uint8_t* frame, size_t length, ScInbound* in, uint8_t* reply);
    void challenge(const uint8_t* frame, const ScFrame& parts, ScInbound* in, uint8_t* reply);
    void confirm(const uint8_t* frame, const ScFrame& parts, ScInbound* in, uint8_t* reply);
    void sessionCommand(const uint8_t* frame, size_t length, const ScFrame& parts, ScInbound* in,
                        uint8_t* reply);
    void setKey(const uint8_t* data, size_t n, ScInbound* in, uint8_t* reply);
    void end(ScInbound* in, const char* reason);
    // A handshake reply: its security block, code and data, in clear.
    size_t inClear(const uint8_t* block, size_t blockLength, uint8_t code, const uint8_t* data,
                   size_t n, uint8_t* reply) const;
    size_t nakInClear(uint8_t code, uint8_t* reply) const;
    size_t sealed(uint8_t code, const uint8_t* data, size_t n, uint8_t* reply);

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
    // The reply's sequence number and check code: the command's, as a panel
    // reads its replies with the check code it uses itself.
    uint8_t replyCtrl_ = 0;
    bool sealNext_ = false;
    // Decrypted data of the latest session command: less than a whole frame.
    std::array<uint8_t, kReceiveBufferSize> plain_{};
};
