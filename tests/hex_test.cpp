// The hex codec refuses what keys and transcripts must not be read from.
#include "util/hex.h"

#include <gtest/gtest.h>

namespace {

// A bad text appends nothing, not even the pairs before the fault.
TEST(HexTest, MalformedTextIsRefused) {
    for (const char* text : {"0", "ABC", "0G", "12 4", "1-"}) {
        std::vector<uint8_t> out;
        EXPECT_FALSE(hexDecode(text, &out)) << text;
        EXPECT_TRUE(out.empty()) << text;
    }
}

}  // namespace
