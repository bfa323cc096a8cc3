// The plain replies of a reader: a command in, the reply's bytes out. Each
// reply code has a writer of its own; every reply is header, code, data and a
// check code, laid by a FrameWriter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "osdp/card_queue.h"
#include "osdp/protocol.h"
#include "osdp/secure_channel.h"

// A command as the reply builder reads it: control byte, code and data.
struct Command {
    uint8_t ctrl = 0;
    uint8_t code = 0;
    const uint8_t* data = nullptr;
    size_t length = 0;
};

// What a reply tells of the reader that gives it.
struct ReaderFacts {
    uint8_t address = 0;  // the reply comes from it
    uint32_t serialNumber = 0;
    ScMode mode = ScMode::plain;
    uint8_t tamper = 0;
    uint8_t output = 0;  // the output's state
    // What osdp_COM names: the reader's address and the line's rate from the
    // next frame on.
    uint8_t nextAddress = 0;
    uint32_t baud = 0;
};

// The osdp_NAK error code cmd is refused with by a reader in mode; 0 when the
// reader answers it. A refused command changes nothing.
uint8_t refusal(const Command& cmd, ScMode mode);

// Lays the plain reply to cmd into out and returns its length: osdp_NAK with
// error when that is not 0, else the command's reply; a poll's is item's.
// REQUIRES: out holds kMaxReplyLength bytes.
size_t writeReply(const Command& cmd, uint8_t error, const PollItem& item,
                  const ReaderFacts& reader, uint8_t* out);

// The serial number of reader index reader of the camera whose serial number
// text is cameraSerial: the last four bytes of its SHA-1, the lowest bit
// replaced by the reader index. Unique per camera and reader and the same
// across restarts, as panels that tell readers apart by it, and sites that
// derive Secure Channel keys from the cUID, need.
uint32_t readerSerialNumber(const std::string& cameraSerial, int reader);

// The cUID a reader sends in the Secure Channel handshake: the vendor code,
// the reader's start address and the serial number as the identification
// reply gives it. A panel that derives each reader's key from its cUID needs
// the same cUID every time, wherever the reader has been moved since.
std::array<uint8_t, 8> clientUid(uint8_t startAddress, uint32_t serialNumber);
