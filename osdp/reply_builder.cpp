#include "osdp/reply_builder.h"

#include <cstring>

#include "osdp/check_codes.h"
#include "util/coding.h"
#include "util/log.h"
#include "util/sha1.h"

namespace {

constexpr uint8_t kVendorCode[3] = {0x02, 0x4B, 0x7E};
constexpr uint8_t kModel = 0;
constexpr uint8_t kVersion = 1;
constexpr uint8_t kFirmware[3] = {1, 2, 3};
// The camera has no power monitor: its power is always reported as normal.
constexpr uint8_t kPowerNormal = 0;

// The receive buffer size, as osdp_PDCAP carries it: low byte first.
constexpr uint8_t kBufferLow = kReceiveBufferSize & 0xFF;
constexpr uint8_t kBufferHigh = kReceiveBufferSize >> 8;

// Function code, compliance level, number of items. Entries are triples and
// nothing follows them: a controller rejects a payload that is not a multiple
// of three.
constexpr uint8_t kCapabilities[kPdcapData] = {
    0x01, 0x00,       0x00,         // contact status monitoring
    0x02, 0x01,       0x01,         // output control: one output, on and off
    0x03, 0x01,       0x00,         // card data format: array of bits
    0x04, 0x04,       0x01,         // reader LED control: timed, tri-colour
    0x05, 0x02,       0x01,         // reader audible output: timed
    0x06, 0x01,       0x01,         // reader text output: one display, one row
    0x07, 0x00,       0x00,         // time keeping
    0x08, 0x01,       0x00,         // check character support: CRC-16 and checksum
    0x09, 0x00,       0x00,         // communication security: none
    0x0A, kBufferLow, kBufferHigh,  // receive buffer size
    0x0C, 0x00,       0x00,         // smart card support
    0x0E, 0x00,       0x00,         // biometrics
    0x0F, 0x00,       0x00,         // secure PIN entry
    0x10, 0x01,       0x00,         // OSDP version
};
// Offset of the communication security entry (function code 9).
constexpr size_t kSecurityEntry = 24;

// So every plain reply fits its buffer, and writeReply never gives 0.
static_assert(kDataOffset + kMaxReplyData + kCrcLength <= kMaxReplyLength, "a reply fits");

uint8_t replyCode(const Command& cmd, uint8_t error, const PollItem& item) {
    if (error != 0)
        return kReplyNak;
    switch (cmd.code) {
        case kCmdPoll:
            return item.kind == PollItem::Kind::card     ? kReplyRaw
                   : item.kind == PollItem::Kind::status ? kReplyLstatr
                                                         : kReplyAck;
        case kCmdId:
            return kReplyPdid;
        case kCmdCap:
            return kReplyPdcap;
        case kCmdLstat:
            return kReplyLstatr;
        case kCmdOstat:
            return kReplyOstatr;
        case kCmdComset:
            return kReplyCom;
        default:
            // Output, LED, buzzer and text commands: acknowledged.
            return kReplyAck;
    }
}

void writePdid(FrameWriter& out, uint32_t serialNumber) {
    out.put(kVendorCode, sizeof kVendorCode);
    out.put(kModel);
    out.put(kVersion);
    out.putFixed32(serialNumber);
    out.put(kFirmware, sizeof kFirmware);
}

void writePdcap(FrameWriter& out, ScMode mode) {
    uint8_t capabilities[sizeof kCapabilities];
    std::memcpy(capabilities, kCapabilities, sizeof capabilities);
    if (mode != ScMode::plain) {
        // Communication security: AES-128 Secure Channel, and in install mode
        // the default key as well, so that a controller can tell that the
        // reader waits for its key.
        capabilities[kSecurityEntry + 1] = 0x01;
        capabilities[kSecurityEntry + 2] = mode == ScMode::install ? 0x01 : 0x00;
    }
    out.put(capabilities, sizeof capabilities);
}

void writeRaw(FrameWriter& out, uint32_t card) {
    out.put(0x00);  // each virtual reader is a device of its own
    out.put(kCardFormatCsn32);
    out.putFixed16(32);  // bit count
    out.putBigEndian32(card);
}

void writeCom(FrameWriter& out, const ReaderFacts& reader) {
    out.put(reader.nextAddress);
    out.putFixed32(reader.baud);
}

// Ends the frame; its check code goes to the trace.
size_t finish(FrameWriter& out) {
    const size_t length = out.finish();
    if (length == 0)
        return 0;
    const uint8_t* end = out.frame() + length;
    if (hasCrc(out.frame()[kControlOffset]))
        logAt(5, "CRC16 %04X", decodeFixed16(end - kCrcLength));
    else
        logAt(5, "CRC8 %02X", end[-1]);
    return length;
}

}  // namespace

size_t writeReply(const Command& cmd, uint8_t error, const PollItem& item,
                  const ReaderFacts& reader, uint8_t* out) {
    const uint8_t code = replyCode(cmd, error, item);
    // The reply's control byte is the command's sequence number and check
    // code flag: a reply never claims a security block it does not carry, and
    // a panel reads it with the check code it used itself.
    FrameWriter writer(out, kMaxReplyLength, static_cast<uint8_t>(reader.address | kReplyBit),
                       cmd.ctrl);
    writer.put(code);
    switch (code) {
        case kReplyNak:
            writer.put(error);
            break;
        case kReplyRaw:
            writeRaw(writer, item.card);
            break;
        case kReplyPdid:
            writePdid(writer, reader.serialNumber);
            break;
        case kReplyPdcap:
            writePdcap(writer, reader.mode);
            break;
        case kReplyLstatr:
            writer.put(reader.tamper);
            writer.put(kPowerNormal);
            break;
        case kReplyOstatr:
            writer.put(reader.output);
            break;
        case kReplyCom:
            writeCom(writer, reader);
            break;
        default:
            break;
    }
    return finish(writer);
}

uint8_t refusal(const Command& cmd, ScMode mode) {
    // A reader in plain mode does not take part in Secure Channel: a frame
    // with a security block is refused whole, and its block is never read as
    // a command.
    if (mode == ScMode::plain && (cmd.ctrl & kScbFlag) != 0)
        return kNakSecurityUnsupported;
    const size_t n = cmd.length;
    // An acknowledgement tells the panel that the command was carried out, so
    // only commands that are, or that ask for nothing, get one. The LED,
    // buzzer and text commands are acknowledged without being applied, and so
    // are output records for an output the reader lacks, so that the panel's
    // feedback to the driver never fails; their data must still be whole
    // records, or the panel and the reader disagree on what was sent.
    switch (cmd.code) {
        case kCmdPoll:
        case kCmdId:
        case kCmdCap:
        case kCmdLstat:
            return 0;
        case kCmdOstat:
            return n == 0 ? 0 : kNakLength;
        case kCmdComset:
            return n == kComsetData ? 0 : kNakLength;
        case kCmdOut:
            return wholeRecords(n, kOutRecord) ? 0 : kNakLength;
        case kCmdLed:
            return wholeRecords(n, kLedRecord) ? 0 : kNakLength;
        case kCmdBuzzer:
            return wholeRecords(n, kBuzzerRecord) ? 0 : kNakLength;
        case kCmdText:
            return wholeText(cmd.data, n) ? 0 : kNakLength;
        case kCmdAcuRxSize:   // replies are short anyway
        case kCmdKeepActive:  // sessions have no idle time-out
            return n == 2 ? 0 : kNakLength;
        case kCmdAbort:  // nothing is ever under way
            return n == 0 ? 0 : kNakLength;
        case kCmdKeyset:
        case kCmdChallenge:
        case kCmdServerCryptogram:
            return kNakSecurityUnsupported;
        default:
            // Input and reader status, file transfer, biometrics,
            // smart cards, manufacturer commands and codes OSDP does not define.
            return kNakUnknownCommand;
    }
}

uint32_t readerSerialNumber(const std::string& cameraSerial, int reader) {
    Sha1 sha1;
    sha1.update(cameraSerial);
    const uint32_t hash = cardNumberFromDigest(sha1.finalHex());
    return (hash & ~uint32_t{1}) | static_cast<uint32_t>(reader);
}

std::array<uint8_t, 8> clientUid(uint8_t startAddress, uint32_t serialNumber) {
    std::array<uint8_t, 8> uid{};
    std::memcpy(uid.data(), kVendorCode, sizeof kVendorCode);
    uid[3] = startAddress;
    encodeFixed32(uid.data() + 4, serialNumber);
    return uid;
}
