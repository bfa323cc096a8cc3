// The OSDP wire format, defined once for the readers, the Secure Channel, the
// controller tool, the tests and the fuzz targets, and the facts of this device
// on the line: how many readers it is, where they start and how fast it talks
// unless the installer or the panel moved them (util/line_settings.h).
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
// The receive buffer osdp_PDCAP announces: the longest frame a reader takes.
constexpr size_t kReceiveBufferSize = 914;
// No frame a reader takes is longer; a longer length field marks a broken frame.
constexpr size_t kMaxFrameLength = kReceiveBufferSize;

// This device: two virtual readers, at these addresses unless they were
// moved, on a line of 9600 baud unless it was moved, 8 data bits, no parity,
// one stop bit. A reader's start address is part of its identity: the
// Secure Channel cUID carries it wherever the reader was moved to.
constexpr int kReaderCount = 2;
constexpr uint8_t kStartAddress[kReaderCount] = {0x0A, 0x0B};
constexpr uint32_t kDefaultBaudRate = 9600;

// The check code a frame with control byte ctrl ends with, and its length.
constexpr bool hasCrc(uint8_t ctrl) {
    return (ctrl & kCrcFlag) != 0;
}
constexpr size_t checkLength(uint8_t ctrl) {
    return hasCrc(ctrl) ? kCrcLength : kChecksumLength;
}

// Commands.
constexpr uint8_t kCmdPoll = 0x60;              // osdp_POLL
constexpr uint8_t kCmdId = 0x61;                // osdp_ID
constexpr uint8_t kCmdCap = 0x62;               // osdp_CAP
constexpr uint8_t kCmdLstat = 0x64;             // osdp_LSTAT
constexpr uint8_t kCmdIstat = 0x65;             // osdp_ISTAT
constexpr uint8_t kCmdOstat = 0x66;             // osdp_OSTAT
constexpr uint8_t kCmdRstat = 0x67;             // osdp_RSTAT
constexpr uint8_t kCmdOut = 0x68;               // osdp_OUT
constexpr uint8_t kCmdLed = 0x69;               // osdp_LED
constexpr uint8_t kCmdBuzzer = 0x6A;            // osdp_BUZ
constexpr uint8_t kCmdText = 0x6B;              // osdp_TEXT
constexpr uint8_t kCmdComset = 0x6E;            // osdp_COMSET
constexpr uint8_t kCmdKeyset = 0x75;            // osdp_KEYSET
constexpr uint8_t kCmdChallenge = 0x76;         // osdp_CHLNG
constexpr uint8_t kCmdServerCryptogram = 0x77;  // osdp_SCRYPT
constexpr uint8_t kCmdBioRead = 0x73;           // osdp_BIOREAD
constexpr uint8_t kCmdBioMatch = 0x74;          // osdp_BIOMATCH
constexpr uint8_t kCmdAcuRxSize = 0x7B;         // osdp_ACURXSIZE
constexpr uint8_t kCmdFileTransfer = 0x7C;      // osdp_FILETRANSFER
constexpr uint8_t kCmdManufacturer = 0x80;      // osdp_MFG
constexpr uint8_t kCmdXwrite = 0xA1;            // osdp_XWRITE
constexpr uint8_t kCmdAbort = 0xA2;             // osdp_ABORT
constexpr uint8_t kCmdPivData = 0xA3;           // osdp_PIVDATA
constexpr uint8_t kCmdGenAuth = 0xA4;           // osdp_GENAUTH
constexpr uint8_t kCmdCrAuth = 0xA5;            // osdp_CRAUTH
constexpr uint8_t kCmdKeepActive = 0xA7;        // osdp_KEEPACTIVE

// Replies.
constexpr uint8_t kReplyAck = 0x40;               // osdp_ACK
constexpr uint8_t kReplyNak = 0x41;               // osdp_NAK
constexpr uint8_t kReplyPdid = 0x45;              // osdp_PDID
constexpr uint8_t kReplyPdcap = 0x46;             // osdp_PDCAP
constexpr uint8_t kReplyLstatr = 0x48;            // osdp_LSTATR
constexpr uint8_t kReplyOstatr = 0x4A;            // osdp_OSTATR
constexpr uint8_t kReplyRaw = 0x50;               // osdp_RAW
constexpr uint8_t kReplyCom = 0x54;               // osdp_COM
constexpr uint8_t kReplyClientCryptogram = 0x76;  // osdp_CCRYPT
constexpr uint8_t kReplyInitialRmac = 0x78;       // osdp_RMAC_I

// NAK error codes.
constexpr uint8_t kNakLength = 0x02;
constexpr uint8_t kNakUnknownCommand = 0x03;
constexpr uint8_t kNakSecurityUnsupported = 0x05;
constexpr uint8_t kNakSecurityConditions = 0x06;

// Record lengths of the output commands: osdp_OUT, osdp_LED and osdp_BUZ carry
// one or more whole records; osdp_TEXT one header whose last byte is the
// length of the text that follows it.
constexpr size_t kOutRecord = 4;
constexpr size_t kLedRecord = 14;
constexpr size_t kBuzzerRecord = 5;
constexpr size_t kTextHeader = 6;
// osdp_COMSET: the new address and the baud rate, 32 bits, low byte first.
constexpr size_t kComsetData = 5;

constexpr bool wholeRecords(size_t length, size_t record) {
    return length > 0 && length % record == 0;
}
// The text must be exactly as long as its header says: a panel and a reader
// that read the bytes after it differently disagree on what was shown.
constexpr bool wholeText(const uint8_t* data, size_t length) {
    return length >= kTextHeader && length == kTextHeader + data[kTextHeader - 1];
}

// Data lengths of the replies: each reply code carries a fixed amount.
constexpr size_t kNakData = 1;     // error code
constexpr size_t kPdidData = 12;   // vendor (3), model, version, serial number (4), firmware (3)
constexpr size_t kPdcapData = 42;  // 14 capability entries of 3 bytes
constexpr size_t kLstatrData = 2;  // tamper, power
constexpr size_t kOstatrData = 1;  // the state of the one output
constexpr size_t kRawData = 8;     // reader, format, bit count (2), card (4)
constexpr size_t kComData = 5;     // address, baud rate (4)
constexpr size_t kMaxReplyData = kPdcapData;

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

// The longest reply is osdp_PDCAP sealed for a secure session: 62 bytes.
constexpr size_t kMaxReplyLength = sessionFrameLength(kMaxReplyData);
