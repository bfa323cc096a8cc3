#include "osdp/reply_builder.h"

#include <cstring>

#include "osdp/check_codes.h"
#include "util/coding.h"
#include "util/log.h"

namespace {

constexpr uint8_t kVendorCode[3] = {0x02, 0x4B, 0x7E};
constexpr uint8_t kFirmware[3] = {1, 2, 3};

// Function code, compliance level, number of items. Entries are triples and
// nothing follows them: a controller rejects a payload that is not a multiple
// of three.
constexpr uint8_t kCapabilities[42] = {
    0x01, 0x00, 0x00,  // contact status monitoring
    0x02, 0x00, 0x00,  // output control
    0x03, 0x01, 0x00,  // card data format: array of bits
    0x04, 0x04, 0x01,  // reader LED control: timed, tri-colour
    0x05, 0x02, 0x01,  // reader audible output: timed
    0x06, 0x00, 0x00,  // reader text output: no display
    0x07, 0x00, 0x00,  // time keeping
    0x08, 0x01, 0x01,  // check character support: CRC-16
    0x09, 0x00, 0x00,  // communication security: none
    0x0A, 0x92, 0x03,  // receive buffer size 0x0392, low byte first
    0x0C, 0x00, 0x00,  // smart card support
    0x0E, 0x00, 0x00,  // biometrics
    0x0F, 0x00, 0x00,  // secure PIN entry
    0x10, 0x01, 0x00,  // OSDP version
};
// Offset of the communication security entry (function code 9).
constexpr size_t kSecurityEntry = 24;

constexpr uint32_t kBaudRate = 9600;

}  // namespace

ReplyWriter::ReplyWriter(uint8_t* out, uint8_t address, uint8_t code) : out_(out) {
    out_[0] = kStartOfMessage;
    out_[kAddressOffset] = static_cast<uint8_t>(address + kReplyBit);
    out_[kCodeOffset] = code;
}

void ReplyWriter::put(const uint8_t* data, size_t n) {
    std::memcpy(out_ + at_, data, n);
    at_ += n;
}

void ReplyWriter::putFixed16(uint16_t value) {
    encodeFixed16(out_ + at_, value);
    at_ += 2;
}

void ReplyWriter::putFixed32(uint32_t value) {
    encodeFixed32(out_ + at_, value);
    at_ += 4;
}

void ReplyWriter::putBigEndian32(uint32_t value) {
    encodeBigEndian32(out_ + at_, value);
    at_ += 4;
}

size_t ReplyWriter::finish(uint8_t ctrl) {
    const size_t length = at_ + kCrcLength;
    encodeFixed16(out_ + kLengthOffset, static_cast<uint16_t>(length));
    out_[kControlOffset] = ctrl;
    // Any control bit above the sequence number asks for a CRC-16.
    if (ctrl > kSequenceMask) {
        const uint16_t crc = crc16(out_, at_);
        encodeFixed16(out_ + at_, crc);
        logAt(5, "CRC16 %04X", crc);
    } else {
        out_[at_] = 0;
        const uint8_t sum = checksum8(out_, length - kChecksumLength);
        out_[length - kChecksumLength] = sum;
        logAt(5, "CRC8 %02X", sum);
    }
    return length;
}

size_t ReplyBuilder::buildReply(uint8_t ctrl, uint8_t cmd, uint8_t address, ScMode mode,
                                ReaderSlot& slot, uint8_t* out) {
    replyCtrl_ = ctrl;
    PollItem item;
    if (cmd == kCmdPoll)
        item = slot.nextForPoll();
    switch (cmd) {
        case kCmdPoll:
            if (item.kind == PollItem::Kind::card) {
                replyCode_ = kReplyRaw;
                ReplyWriter writer(out, address, replyCode_);
                return writeRaw(writer, item.card);
            }
            replyCode_ = item.kind == PollItem::Kind::status ? kReplyLstatr : kReplyAck;
            break;
        case kCmdId:
            replyCode_ = kReplyPdid;
            break;
        case kCmdCap:
            replyCode_ = kReplyPdcap;
            break;
        case kCmdLstat:
            replyCode_ = kReplyLstatr;
            break;
        case kCmdComset:
            replyCode_ = kReplyCom;
            break;
        default:
            // LED, buzzer, output, text and unknown commands: acknowledged, not applied.
            replyCode_ = kReplyAck;
            break;
    }
    ReplyWriter writer(out, address, replyCode_);
    switch (replyCode_) {
        case kReplyPdid:
            return writePdid(writer);
        case kReplyPdcap:
            return writePdcap(writer, mode);
        case kReplyLstatr:
            return writeLstatr(writer, slot);
        case kReplyCom:
            return writeCom(writer, address);
        default:
            return writeAck(writer);
    }
}

std::array<uint8_t, 8> ReplyBuilder::clientUid(uint8_t address) const {
    std::array<uint8_t, 8> uid{};
    std::memcpy(uid.data(), kVendorCode, sizeof kVendorCode);
    uid[3] = address;
    encodeBigEndian32(uid.data() + 4, pdSerial);
    return uid;
}

size_t ReplyBuilder::writeAck(ReplyWriter& out) {
    return out.finish(replyCtrl_);
}

size_t ReplyBuilder::writePdid(ReplyWriter& out) {
    out.put(kVendorCode, sizeof kVendorCode);
    out.put(static_cast<uint8_t>(pdModel));
    out.put(static_cast<uint8_t>(pdVersion));
    out.putBigEndian32(pdSerial);
    out.put(kFirmware, sizeof kFirmware);
    return out.finish(replyCtrl_);
}

size_t ReplyBuilder::writePdcap(ReplyWriter& out, ScMode mode) {
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
    return out.finish(replyCtrl_);
}

size_t ReplyBuilder::writeLstatr(ReplyWriter& out, const ReaderSlot& slot) {
    out.put(slot.tamper);
    out.put(slot.power);
    return out.finish(replyCtrl_);
}

size_t ReplyBuilder::writeRaw(ReplyWriter& out, uint32_t card) {
    out.put(0x00);  // each virtual reader is a device of its own
    out.put(kCardFormatCsn32);
    out.putFixed16(32);  // bit count
    out.putBigEndian32(card);
    // Card data always travels with a CRC-16, even to a checksum command.
    if (replyCtrl_ <= kSequenceMask)
        replyCtrl_ = static_cast<uint8_t>(replyCtrl_ | kCrcFlag);
    return out.finish(replyCtrl_);
}

size_t ReplyBuilder::writeCom(ReplyWriter& out, uint8_t address) {
    // Settings asked for are not applied: report the current ones.
    out.put(address);
    out.putFixed32(kBaudRate);
    return out.finish(replyCtrl_);
}
