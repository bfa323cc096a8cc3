// Frames for the tests that drive the engine or the line from code.
#pragma once

#include <numeric>
#include <vector>

#include "osdp/check_codes.h"
#include "osdp/osdp_peripheral.h"
#include "osdp/protocol.h"
#include "util/coding.h"
#include "util/hex.h"

using Bytes = std::vector<uint8_t>;

// A command frame with a CRC-16 when ctrl has bit 2 set, else a checksum.
inline Bytes commandFrame(uint8_t address, uint8_t ctrl, uint8_t cmd, const Bytes& data = {}) {
    const bool crc = ctrl & kCrcFlag;
    const size_t length = kDataOffset + data.size() + (crc ? kCrcLength : kChecksumLength);
    Bytes frame = {kStartOfMessage, address, 0, 0, ctrl, cmd};
    encodeFixed16(&frame[kLengthOffset], static_cast<uint16_t>(length));
    for (uint8_t b : data)  // not insert: gcc 12 warns falsely on the range insert
        frame.push_back(b);
    const uint16_t check =
        crc ? crc16(frame.data(), frame.size()) : checksum8(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(check));
    if (crc)
        frame.push_back(static_cast<uint8_t>(check >> 8));
    return frame;
}

// The reply of the reader at address to a command of this sequence number.
inline Bytes replyFrame(uint8_t address, uint8_t sequence, uint8_t code, const Bytes& data = {}) {
    return commandFrame(static_cast<uint8_t>(address | kReplyBit),
                        static_cast<uint8_t>(kCrcFlag | sequence), code, data);
}

// Feeds every byte; returns the indexes of the bytes that completed a frame.
inline std::vector<size_t> feed(OsdpPeripheral& osdp, const Bytes& bytes) {
    std::vector<size_t> accepted;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (osdp.receiveByte(bytes[i]))
            accepted.push_back(i);
    }
    return accepted;
}

inline Bytes reply(const OsdpPeripheral& osdp) {
    return Bytes(osdp.replyBuf.begin(), osdp.replyBuf.begin() + osdp.replyLen);
}

// The daemon's cipher with its random bytes pinned: A0 A1 A2 ... each time.
inline ScCipher pinnedCipher() {
    ScCipher cipher = systemCipher();
    cipher.random = [](uint8_t* out, size_t count) {
        std::iota(out, out + count, uint8_t{0xA0});
        return true;
    };
    return cipher;
}
