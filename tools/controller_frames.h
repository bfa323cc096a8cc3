// The wire side of the osdp_controller tool: command frames out, and whole
// reply frames taken from the bytes the line brings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "osdp/protocol.h"

// A command frame to the device at address, with the security block scb when
// there is one, ending in a CRC-16.
// REQUIRES: address <= 0x7F; sequence 0 to 3; data short enough for a frame.
std::vector<uint8_t> buildCommandFrame(uint8_t address, uint8_t sequence, uint8_t command,
                                       const std::vector<uint8_t>& data = {},
                                       const std::vector<uint8_t>& scb = {});

// A reply frame whose check code was right.
struct OsdpReply {
    uint8_t address = 0;  // of the device, without the reply bit
    uint8_t sequence = 0;
    uint8_t code = 0;
    std::vector<uint8_t> data;   // from offset 6 up to the check code
    std::vector<uint8_t> frame;  // the whole frame, as the secure channel needs it
};

// Collects the bytes from the line and takes whole reply frames out of them.
// Anything that is not a whole reply with a right CRC-16 or checksum (noise,
// commands, echoes of our own frames) is skipped up to the next start byte.
class ReplyCollector {
  public:
    void push(const uint8_t* bytes, size_t count);

    // Takes the next whole reply out of the bytes pushed so far; false when no
    // complete reply is there (yet).
    bool nextReply(OsdpReply* reply);

    // Drops the bytes of an unfinished frame, e.g. after a reply time-out, so
    // that a damaged length field cannot hold up later replies.
    void clear() {
        buffer_.clear();
        damagedFrames_ = 0;
    }

    // Frames skipped since the last clear because their check code was wrong.
    int damagedFrames() const { return damagedFrames_; }

  private:
    std::vector<uint8_t> buffer_;
    int damagedFrames_ = 0;
};
