// The OSDP wire format, defined once for the readers, the Secure Channel, the
// controller tool, the tests and the fuzz targets.
//
// Every frame, command or reply:
//
//   offset  0  start of message, 0x53
//           1  address; bit 7 set in a reply
//           2  length, low byte first: the whole frame, start byte to check code
//           4  control: bits 0-1 sequence number, bit 2 a CRC-16 ends the frame,
//              bit 3 a security block follows
//          [5  security block: its length, its type, its data]
//           5  command or reply code (after the security block when there is one)
//           6  data
//         end  checksum (1 byte) or CRC-16 (2 bytes, low byte first)
//
// Frames are not byte-stuffed: a 0x53 inside a frame is data, and the length
// field alone says where a frame ends.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint8_t kStartOfMessage = 0x53;

// Offsets of the header fields.
constexpr size_t kAddressOffset = 1;
constexpr size_t kLengthOffset = 2;
constexpr size_t kControlOffset = 4;
// Of a frame without a security block.
constexpr size_t kCodeOffset = 5;
constexpr size_t kDataOffset = 6;
// Start byte, address, two length bytes and the control byte.
constexpr size_t kHeaderLength = 5;

constexpr uint8_t kReplyBit = 0x80;
// Control byte.
constexpr uint8_t kSequenceMask = 0x03;
constexpr uint8_t kCrcFlag = 0x04;
constexpr uint8_t kScbFlag = 0x08;

constexpr size_t kChecksumLength = 1;
constexpr size_t kCrcLength = 2;
// Header, code and check code.
constexpr size_t kMinChecksumFrame = kDataOffset + kChecksumLength;
constexpr size_t kMinCrcFrame = kDataOffset + kCrcLength;

// Commands.
constexpr uint8_t kCmdPoll = 0x60;              // osdp_POLL
constexpr uint8_t kCmdId = 0x61;                // osdp_ID
constexpr uint8_t kCmdCap = 0x62;               // osdp_CAP
constexpr uint8_t kCmdLstat = 0x64;             // osdp_LSTAT
constexpr uint8_t kCmdComset = 0x6E;            // osdp_COMSET
constexpr uint8_t kCmdKeyset = 0x75;            // osdp_KEYSET
constexpr uint8_t kCmdChallenge = 0x76;         // osdp_CHLNG
constexpr uint8_t kCmdServerCryptogram = 0x77;  // osdp_SCRYPT

// Replies.
constexpr uint8_t kReplyAck = 0x40;               // osdp_ACK
constexpr uint8_t kReplyNak = 0x41;               // osdp_NAK
constexpr uint8_t kReplyPdid = 0x45;              // osdp_PDID
constexpr uint8_t kReplyPdcap = 0x46;             // osdp_PDCAP
constexpr uint8_t kReplyLstatr = 0x48;            // osdp_LSTATR
constexpr uint8_t kReplyRaw = 0x50;               // osdp_RAW
constexpr uint8_t kReplyCom = 0x54;               // osdp_COM
constexpr uint8_t kReplyClientCryptogram = 0x76;  // osdp_CCRYPT
constexpr uint8_t kReplyInitialRmac = 0x78;       // osdp_RMAC_I

// NAK error codes.
constexpr uint8_t kNakLength = 0x02;
constexpr uint8_t kNakSecurityUnsupported = 0x05;
constexpr uint8_t kNakSecurityConditions = 0x06;

// osdp_RAW card formats. "CSN LSB": a 32-bit card serial number sent as 32 bits.
constexpr uint8_t kCardFormatCsn32 = 0x12;

// Security block types of the handshake and of sessions.
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
// osdp_KEYSET key type: the Secure Channel base key.
constexpr uint8_t kKeysetTypeScbk = 0x01;
// RND.A and RND.B of the handshake.
constexpr size_t kRandomLength = 8;
// The part of a MAC a session frame carries.
constexpr size_t kMacLength = 4;

// Length of a session frame carrying n data bytes: header, block (length and
// type), code, data (padded to whole blocks when there is any), MAC, CRC.
constexpr size_t sessionFrameLength(size_t n) {
    return kHeaderLength + 2 + 1 + (n == 0 ? 0 : (n / 16 + 1) * 16) + kMacLength + kCrcLength;
}
