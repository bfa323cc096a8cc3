// The one writer of OSDP frames, for the readers' plain and sealed replies and
// the controller tool's commands alike: header, security block, code, data and
// check code, laid front to back into a buffer of known size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "osdp/protocol.h"

class FrameWriter {
  public:
    // A frame to or from address (a reply has kReplyBit set) with the sequence
    // number and check code flag of ctrl; its other control bits are the
    // writer's. Nothing is ever written past out[capacity - 1]: bytes that do
    // not fit, with the check code after them, spoil the frame, and finish()
    // says so.
    FrameWriter(uint8_t* out, size_t capacity, uint8_t address, uint8_t ctrl);

    bool isReply() const { return reply_; }
    const uint8_t* frame() const { return out_; }

    // The security block, its length byte first; the control byte announces
    // it. REQUIRES: nothing put yet.
    void putSecurityBlock(const uint8_t* block, size_t n);
    // The code comes first, then the data.
    void put(uint8_t byte) { put(&byte, 1); }
    void put(const uint8_t* data, size_t n);
    void putFixed16(uint16_t value);      // low byte first
    void putFixed32(uint32_t value);      // low byte first
    void putBigEndian32(uint32_t value);  // high byte first
    // Room for n bytes that the caller fills in place; null when they do not fit.
    uint8_t* take(size_t n);

    // Lays the length and the control byte as they will be once trailing more
    // bytes and the check code follow, and returns the bytes laid so far: what
    // a MAC covers.
    size_t layHeader(size_t trailing);
    // Lays the length, the control byte and the check code; returns the
    // frame's length, or 0 when it did not fit.
    size_t finish();

  private:
    uint8_t* const out_;
    const size_t capacity_;
    const uint8_t ctrl_;
    const bool reply_;
    size_t at_ = kHeaderLength;
    bool spoilt_ = false;
};
