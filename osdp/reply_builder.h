// The plain replies of a reader: a command in, the reply's bytes out. Each
// reply has a writer of its own; every reply is header, code, data and a check
// code, laid by ReplyWriter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "osdp/card_delivery.h"
#include "osdp/protocol.h"
#include "osdp/secure_channel.h"

// The longest reply is osdp_PDCAP (42 payload bytes) sealed for a secure
// session: 62 bytes.
constexpr size_t kMaxReplyLength = sessionFrameLength(42);

// Lays one reply frame into out, front to back.
class ReplyWriter {
  public:
    // REQUIRES: out holds kMaxReplyLength bytes.
    ReplyWriter(uint8_t* out, uint8_t address, uint8_t code);
    void put(uint8_t byte) { out_[at_++] = byte; }
    void put(const uint8_t* data, size_t n);
    void putFixed16(uint16_t value);      // low byte first
    void putFixed32(uint32_t value);      // low byte first
    void putBigEndian32(uint32_t value);  // high byte first
    // Writes the length, the control byte and the check code; returns the
    // frame's length. The length is that of a CRC-16 frame either way: with a
    // checksum the byte before it stays 0.
    size_t finish(uint8_t ctrl);

  private:
    uint8_t* out_;
    size_t at_ = kDataOffset;
};

// The identity and the replies of the readers.
class ReplyBuilder {
  public:
    // Lays the plain reply of the reader at address, in Secure Channel mode
    // mode, to command cmd with control byte ctrl into out; returns its
    // length. A poll takes its card or status report from slot.
    // REQUIRES: out holds kMaxReplyLength bytes.
    size_t buildReply(uint8_t ctrl, uint8_t cmd, uint8_t address, ScMode mode, ReaderSlot& slot,
                      uint8_t* out);

    // The cUID the reader at address sends in the Secure Channel handshake:
    // the vendor code, the address and the serial number as the
    // identification reply gives them. Built from fixed identity values, so it
    // stays the same across restarts, as a controller that derives keys from
    // it needs; the address keeps the two readers apart.
    std::array<uint8_t, 8> clientUid(uint8_t address) const;

    // Of the reply just built.
    uint8_t replyCode() const { return replyCode_; }

    uint32_t pdVersion = 1;
    uint32_t pdModel = 0;
    uint32_t pdSerial = 316087;

  private:
    size_t writeAck(ReplyWriter& out);
    size_t writePdid(ReplyWriter& out);
    size_t writePdcap(ReplyWriter& out, ScMode mode);
    size_t writeLstatr(ReplyWriter& out, const ReaderSlot& slot);
    size_t writeRaw(ReplyWriter& out, uint32_t card);
    size_t writeCom(ReplyWriter& out, uint8_t address);

    uint8_t replyCtrl_ = 0;
    uint8_t replyCode_ = 0;
};
