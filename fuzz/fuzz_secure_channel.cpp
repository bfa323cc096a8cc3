// Arbitrary frames into reader 1 inside a secure session: the security block,
// MAC and encrypted data are the reader's to take apart. Half are sealed by the
// controller, so that decryption, padding and osdp_KEYSET see arbitrary data
// behind a right MAC.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "osdp/osdp_peripheral.h"
#include "tools/controller_secure_channel.h"

namespace {

const AesKey kKey = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

ScCipher pinnedCipher() {
    ScCipher cipher = systemCipher();
    cipher.random = [](uint8_t* out, size_t count) {
        std::fill_n(out, count, uint8_t{0xA5});
        return true;
    };
    return cipher;
}

// The reply, which must be whole, with a right check code, and fit the repeat
// memory; code 0 when none came.
OsdpReply send(OsdpPeripheral& osdp, const std::vector<uint8_t>& frame) {
    OsdpReply reply;
    bool answered = false;
    for (uint8_t b : frame)
        answered = osdp.receiveByte(b);
    if (!answered)
        return reply;
    const size_t length = osdp.replyLen;
    require(length <= kMaxReplyLength);
    ReplyCollector collector;
    collector.push(osdp.replyBuf.data(), length);
    require(collector.nextReply(&reply) && reply.frame.size() == length && reply.address == 0x0A);
    return reply;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quietVerboseLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ScCipher cipher = pinnedCipher();
    // The monotonic clock stands still: a run preempted in the middle of a
    // handshake frame on a busy machine must not trip the pause rule.
    OsdpPeripheral osdp(
        systemWallTime, [] { return int64_t{1000000}; }, cipher);
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
            // Arbitrary bytes as the security block, in a frame with a right CRC.
            frame.resize(std::min<size_t>(body.size(), 247) + 8);
            FrameWriter out(frame.data(), frame.size(), 0x0A,
                            static_cast<uint8_t>((how >> 6) | kCrcFlag));
            out.putSecurityBlock(body.data(), frame.size() - 8);
            out.put(how);
            frame.resize(out.finish());
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
