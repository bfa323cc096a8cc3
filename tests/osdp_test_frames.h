// Frame helpers for the engine tests: build command and reply frames and feed
// them in.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "osdp/check_codes.h"
#include "osdp/osdp_peripheral.h"

using Bytes = std::vector<uint8_t>;

// A command frame with a correct check code: CRC-16 when ctrl has bit 2 set,
// else a checksum.
inline Bytes commandFrame(uint8_t address, uint8_t ctrl, uint8_t cmd, const Bytes& data = {}) {
    const bool crc = ctrl & 0x04;
    const size_t length = 6 + data.size() + (crc ? 2 : 1);
    Bytes frame = {0x53, address, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                   ctrl, cmd};
    // push_back rather than insert: gcc 12 warns falsely on the range insert.
    for (uint8_t b : data)
        frame.push_back(b);
    if (crc) {
        const uint16_t value = crc16(frame.data(), frame.size());
        frame.push_back(static_cast<uint8_t>(value));
        frame.push_back(static_cast<uint8_t>(value >> 8));
    } else {
        frame.push_back(checksum8(frame.data(), frame.size()));
    }
    return frame;
}

// The reply of the reader at address to a command of this sequence number,
// with a CRC-16.
inline Bytes replyFrame(uint8_t address, uint8_t sequence, uint8_t code, const Bytes& data = {}) {
    return commandFrame(static_cast<uint8_t>(address | 0x80), static_cast<uint8_t>(0x04 | sequence),
                        code, data);
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

// Sends one frame and returns the reply, or nothing when it was not answered.
inline Bytes sendFrame(OsdpPeripheral& osdp, const Bytes& frame) {
    if (feed(osdp, frame).empty())
        return {};
    return reply(osdp);
}
