// The one frame writer: nothing written past the buffer it is given. The
// frames it lays are checked byte for byte by the engine's transcripts and the
// Secure Channel recordings.
#include "osdp/frame_writer.h"

#include <gtest/gtest.h>

#include "osdp/secure_frames.h"
#include "osdp/system_cipher.h"
#include "util/hex.h"

namespace {

std::string written(uint8_t* out, size_t length) {
    const std::string hex = hexDump(out, length);
    return length == 0 ? "spoilt" : hex.substr(0, hex.size() - 1);
}

// An osdp_RAW reply needs 16 bytes: one fewer spoils it, and the bytes past
// the buffer stay as they were.
TEST(FrameWriterTest, WritesNothingPastItsBufferAndSaysSo) {
    for (size_t capacity = 0; capacity <= 17; ++capacity) {
        uint8_t out[24];
        std::fill(std::begin(out), std::end(out), 0xEE);
        FrameWriter writer(out, capacity, 0x8A, 0x05);
        writer.put(kReplyRaw);
        writer.put(0x00);
        writer.put(kCardFormatCsn32);
        writer.putFixed16(32);
        writer.putBigEndian32(0x1234ABCD);
        EXPECT_EQ(written(out, writer.finish()),
                  capacity >= 16 ? "53 8A 10 00 05 50 00 12 20 00 12 34 AB CD 85 83" : "spoilt")
            << capacity;
        EXPECT_TRUE(std::all_of(out + capacity, std::end(out), [](uint8_t b) { return b == 0xEE; }))
            << capacity;
    }
}

// A sealed osdp_RAW (its data encrypted, a MAC after it) needs 30 bytes: in
// any fewer its cipher text or MAC does not fit, and nothing goes past them.
TEST(FrameWriterTest, ASealedFrameWritesNothingPastItsBufferEither) {
    const ScCipher cipher = systemCipher();
    const ScKeys keys;
    const AesBlock chain{};
    const uint8_t card[kRawData] = {0x00, kCardFormatCsn32, 0x20, 0x00, 0x12, 0x34, 0xAB, 0xCD};
    const size_t whole = sessionFrameLength(sizeof card);
    for (size_t capacity = 0; capacity <= whole; ++capacity) {
        uint8_t out[40];
        std::fill(std::begin(out), std::end(out), 0xEE);
        FrameWriter writer(out, capacity, 0x8A, 0x05);
        AesBlock mac;
        EXPECT_EQ(sealSessionFrame(cipher, keys, chain, writer, kReplyRaw, card, sizeof card, &mac),
                  capacity == whole ? whole : 0u)
            << capacity;
        EXPECT_TRUE(std::all_of(out + capacity, std::end(out), [](uint8_t b) { return b == 0xEE; }))
            << capacity;
    }
}

TEST(FrameWriterTest, AFrameWithoutACodeIsSpoilt) {
    uint8_t out[16];
    FrameWriter writer(out, sizeof out, 0x8A, 0x05);
    EXPECT_EQ(writer.finish(), 0u);
}

}  // namespace
