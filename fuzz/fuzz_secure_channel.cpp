// Arbitrary frames into reader 1 in secure mode, inside a session: the
// security block, the MAC and the encrypted data are the reader's to take
// apart. Half of the frames are sealed by a controller holding the session,
// so that the decryption, padding and osdp_KEYSET paths see arbitrary data
// behind a right MAC. Every reply must be a well-formed frame with a right
// CRC-16 that fits the repeat memory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "osdp/check_codes.h"
#include "osdp/osdp_peripheral.h"
#include "tools/osdp_controller_core.h"

namespace {

void require(bool condition) {
    if (!condition)
        abort();
}

const AesKey kKey = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

ScCipher pinnedCipher() {
    ScCipher cipher = systemCipher();
    cipher.random = [](uint8_t* out, size_t count) {
        for (size_t i = 0; i < count; ++i)
            out[i] = static_cast<uint8_t>(0xA0 + i);
        return true;
    };
    return cipher;
}

OsdpReply send(OsdpPeripheral& osdp, const std::vector<uint8_t>& frame) {
    OsdpReply reply;
    bool answered = false;
    for (uint8_t b : frame)
        answered = osdp.receiveByte(b);
    if (!answered)
        return reply;
    const uint8_t* r = osdp.replyBuf.data();
    const int len = osdp.replyLen;
    require(len >= 8 && static_cast<size_t>(len) <= kMaxReplyLength);
    require(r[0] == 0x53 && r[1] == 0x8A && r[2] == len && r[3] == 0);
    if (r[4] & 0x04) {
        const uint16_t crc = crc16(r, static_cast<size_t>(len - 2));
        require(r[len - 2] == static_cast<uint8_t>(crc) && r[len - 1] == (crc >> 8));
    }
    ReplyCollector collector;
    collector.push(r, static_cast<size_t>(len));
    require(collector.nextReply(&reply));
    return reply;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quietVerboseLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ScCipher cipher = pinnedCipher();
    OsdpPeripheral osdp(systemWallTime, monotonicMicros, cipher);
    osdp.setSecurity(0, ScMode::secure, &kKey, [](int, const AesKey&) { return true; });
    ControllerSecureChannel panel(cipher);
    panel.acceptClientCryptogram(send(osdp, panel.challenge(0x0A, 0, kKey, kKeyBase)));
    require(panel.acceptInitialRmac(send(osdp, panel.confirm(0x0A, 1))));

    // Each frame: one byte of how, one of its length, then that many bytes.
    size_t at = 0;
    uint8_t sequence = 1;
    while (at + 2 <= size) {
        const uint8_t how = data[at];
        const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
        const std::vector<uint8_t> body(data + at + 2, data + at + 2 + length);
        at += 2 + length;
        sequence = static_cast<uint8_t>(sequence % 3 + 1);
        std::vector<uint8_t> frame;
        if ((how & 1) != 0 && panel.active()) {
            frame = panel.seal(0x0A, sequence, how >> 1, body);
        } else {
            // Header with a right length and CRC, the rest arbitrary.
            frame = {0x53, 0x0A, 0, 0, static_cast<uint8_t>(0x0C | (how >> 6))};
            frame.insert(frame.end(), body.begin(), body.end());
            if (frame.size() + 2 > 255)
                frame.resize(253);
            if (frame.size() < 6)
                frame.resize(6, 0x02);
            frame[2] = static_cast<uint8_t>(frame.size() + 2);
            const uint16_t crc = crc16(frame.data(), frame.size());
            frame.push_back(static_cast<uint8_t>(crc));
            frame.push_back(static_cast<uint8_t>(crc >> 8));
        }
        const OsdpReply reply = send(osdp, frame);
        if ((how & 1) != 0 && panel.active()) {
            uint8_t code = 0;
            std::vector<uint8_t> plain;
            panel.open(reply, &code, &plain);
        }
    }
    return 0;
}
