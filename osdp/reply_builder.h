// The plain replies of a reader: a command in, the reply's bytes out. Each
// reply has a writer of its own; every reply is header, code, data and a check
// code, laid by a FrameWriter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "osdp/card_delivery.h"
#include "osdp/frame_writer.h"
#include "osdp/protocol.h"
#include "osdp/secure_channel.h"

// A command as the reply builder reads it: control byte, code and data.
struct Command {
    uint8_t ctrl = 0;
    uint8_t code = 0;
    const uint8_t* data = nullptr;
    size_t length = 0;
};

// The identity and the replies of the readers.
class ReplyBuilder {
  public:
    // Lays the plain reply of reader index reader, at address, in Secure
    // Channel mode mode, to cmd into out; returns its length. A poll takes its
    // card or status report from slot; a command that is refused (osdp_NAK)
    // leaves slot as it was.
    // REQUIRES: out holds kMaxReplyLength bytes; reader is 0 or 1.
    size_t buildReply(const Command& cmd, int reader, uint8_t address, ScMode mode,
                      ReaderSlot& slot, uint8_t* out);

    // The serial numbers of the readers come from the camera's serial number
    // text: the last four bytes of its SHA-1, the lowest bit replaced by the
    // reader index. Unique per camera and reader and the same across
    // restarts, as panels that tell readers apart by it, and sites that derive
    // Secure Channel keys from the cUID, need.
    void setCameraSerial(const std::string& cameraSerial);
    uint32_t serialNumber(int reader) const;

    // The cUID reader index reader at address sends in the Secure Channel
    // handshake: the vendor code, the address and the serial number as the
    // identification reply gives it.
    std::array<uint8_t, 8> clientUid(int reader, uint8_t address) const;

    // Of the reply just built.
    uint8_t replyCode() const { return replyCode_; }

    uint32_t pdVersion = 1;
    uint32_t pdModel = 0;

  private:
    // The osdp_NAK error code cmd is refused with; 0 when it is carried out.
    static uint8_t refusal(const Command& cmd, ScMode mode);
    // Each lays its reply's data after the code; finish ends the frame.
    void writePdid(FrameWriter& out, int reader);
    static void writePdcap(FrameWriter& out, ScMode mode);
    static void writeLstatr(FrameWriter& out, const ReaderSlot& slot);
    static void writeRaw(FrameWriter& out, uint32_t card);
    static void writeCom(FrameWriter& out, uint8_t address);
    // The reply's check code goes to the trace; returns its length.
    static size_t finish(FrameWriter& out);

    uint32_t cameraSerialHash_ = 0;
    uint8_t replyCode_ = 0;
};
