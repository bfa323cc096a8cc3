// The controller's side of OSDP Secure Channel, for the osdp_controller tool
// and the tests that play the panel.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "osdp/secure_frames.h"
#include "tools/controller_frames.h"

// The controller's side of one reader's Secure Channel: the handshake, then
// commands sealed and replies opened along the MAC chain. A command that is
// sent again unchanged keeps the chain, as the reader expects of a repeat.
class ControllerSecureChannel {
  public:
    // Keeps its own copy of the cipher, so a temporary such as systemCipher()
    // may be passed.
    explicit ControllerSecureChannel(ScCipher cipher) : cipher_(std::move(cipher)) {}

    // osdp_CHLNG keyed with key, announced by keyByte (kKeyBase or
    // kKeyDefault), with a fresh RND.A; empty when no random bytes came.
    std::vector<uint8_t> challenge(uint8_t address, uint8_t sequence, const AesKey& key,
                                   uint8_t keyByte);
    // Checks the reader's osdp_CCRYPT; false when the cryptogram shows that
    // the reader holds another key.
    bool acceptClientCryptogram(const OsdpReply& reply);
    // osdp_SCRYPT. REQUIRES: acceptClientCryptogram was true.
    std::vector<uint8_t> confirm(uint8_t address, uint8_t sequence) const;
    // Checks the reader's osdp_RMAC_I; true starts the session.
    bool acceptInitialRmac(const OsdpReply& reply);

    bool active() const { return active_; }
    void end() { active_ = false; }

    // A command in the session: MAC only without data, else encrypted.
    // REQUIRES: active().
    std::vector<uint8_t> seal(uint8_t address, uint8_t sequence, uint8_t code,
                              const std::vector<uint8_t>& data = {});
    // Opens the reply to the command last sealed: code and plain data. False,
    // and the session ends, for a reply in clear or with a wrong MAC.
    bool open(const OsdpReply& reply, uint8_t* code, std::vector<uint8_t>* data);

  private:
    ScCipher cipher_;
    ScKeys keys_;
    uint8_t keyByte_ = kKeyBase;
    uint8_t rndA_[8] = {};
    uint8_t rndB_[8] = {};
    bool active_ = false;
    AesBlock rmac_{};
    AesBlock cmac_{};
};
