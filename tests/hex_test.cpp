// The hex codec and the byte order helpers.
#include "util/hex.h"

#include <gtest/gtest.h>

#include "util/coding.h"

namespace {

TEST(HexTest, BytesSurviveTheRoundTrip) {
    const std::vector<uint8_t> bytes = {0x00, 0x0A, 0x4B, 0xFF};
    EXPECT_EQ(hexEncode(bytes.data(), bytes.size()), "000A4BFF");
    EXPECT_EQ(hexDump(bytes.data(), bytes.size()), "00 0A 4B FF ");
    std::vector<uint8_t> decoded = {0x53};
    ASSERT_TRUE(hexDecode("000a4BfF", &decoded));
    EXPECT_EQ(decoded, (std::vector<uint8_t>{0x53, 0x00, 0x0A, 0x4B, 0xFF}));
}

// A bad text appends nothing, not even the pairs before the fault.
TEST(HexTest, MalformedTextIsRefused) {
    for (const char* text : {"0", "ABC", "0G", "12 4", "1-"}) {
        std::vector<uint8_t> out;
        EXPECT_FALSE(hexDecode(text, &out)) << text;
        EXPECT_TRUE(out.empty()) << text;
    }
}

TEST(CodingTest, FieldsAreLaidAsOnTheWire) {
    uint8_t out[4];
    encodeFixed32(out, 0x12345678);
    EXPECT_EQ(hexEncode(out, 4), "78563412");
    EXPECT_EQ(decodeFixed16(out), 0x5678);
    encodeBigEndian32(out, 0x12345678);
    EXPECT_EQ(hexEncode(out, 4), "12345678");
    EXPECT_EQ(decodeBigEndian32(out), 0x12345678u);
}

}  // namespace
