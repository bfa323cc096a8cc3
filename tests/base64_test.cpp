#include "util/base64.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

const char kInvalid[] = "Input is not valid base64-encoded data.";

// Expects base64Decode to throw std::runtime_error with the system's message.
void expectInvalid(const std::string& text) {
    try {
        base64Decode(text);
        ADD_FAILURE() << "no exception for \"" << text << "\"";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), kInvalid) << "for \"" << text << "\"";
    }
}

TEST(Base64Test, FullAndShortGroupsDecode) {
    EXPECT_EQ(base64Decode(""), "");
    EXPECT_EQ(base64Decode("QUJD"), "ABC");
    EXPECT_EQ(base64Decode("QUI"), "AB");
    EXPECT_EQ(base64Decode("QQ"), "A");
    EXPECT_EQ(base64Decode("SGVsbG8sIHdvcmxkIQ"), "Hello, world!");
}

TEST(Base64Test, BothAlphabetsAreAcceptedEvenMixed) {
    EXPECT_EQ(base64Decode("Pz8-"), base64Decode("Pz8+"));
    EXPECT_EQ(base64Decode("Pz8_"), base64Decode("Pz8/"));
    EXPECT_EQ(base64Decode("Pz8/"), std::string(3, '?'));
    EXPECT_EQ(base64Decode("-_8="), "\xFB\xFF");
    EXPECT_EQ(base64Decode("+_8"), "\xFB\xFF");
    EXPECT_EQ(base64Decode("-/8."), "\xFB\xFF");
}

TEST(Base64Test, PaddingIsOptionalAndEndsOnlyItsGroup) {
    EXPECT_EQ(base64Decode("QQ=="), "A");
    EXPECT_EQ(base64Decode("QQ.."), "A");
    EXPECT_EQ(base64Decode("QQ=."), "A");
    EXPECT_EQ(base64Decode("QUI="), "AB");
    EXPECT_EQ(base64Decode("QUI."), "AB");
    EXPECT_EQ(base64Decode("QQ==QUJD"), "AABC");
    EXPECT_EQ(base64Decode("QUI.QUI=QQ"), "ABABA");
}

TEST(Base64Test, UnusedLowBitsAreIgnored) {
    EXPECT_EQ(base64Decode("QR"), "A");
    EXPECT_EQ(base64Decode("QUL"), "AB");
}

TEST(Base64Test, ZeroBytesAreDecoded) {
    EXPECT_EQ(base64Decode("ABD/"), std::string("\x00\x10\xFF", 3));
    EXPECT_EQ(base64Decode("AAAA"), std::string(3, '\0'));
}

TEST(Base64Test, GroupOfOneCharacterIsOutOfRange) {
    EXPECT_THROW(base64Decode("Q"), std::out_of_range);
    EXPECT_THROW(base64Decode("QUJDR"), std::out_of_range);
    EXPECT_THROW(base64Decode("QUJD\n"), std::out_of_range);
    EXPECT_THROW(base64Decode("QQ==="), std::out_of_range);
}

TEST(Base64Test, CharacterWithoutValueIsInvalid) {
    expectInvalid("=QUJ");
    expectInvalid(".QUJ");
    expectInvalid("Q=UJ");
    expectInvalid("Q.==");
    expectInvalid("QU JD");
    expectInvalid("QU\nJD");
    expectInvalid("QU\rJ");
    expectInvalid("QUJ\n");
    expectInvalid("QUJDQU*D");
    expectInvalid(std::string("QU\0D", 4));
    expectInvalid("QU\xC3\xA9");
}

TEST(Base64Test, CharValuesCoverExactlyBothAlphabets) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    int valid = 0;
    for (int c = 0; c < 256; ++c) {
        const uint8_t byte = static_cast<uint8_t>(c);
        int expected = -1;
        if (alphabet.find(static_cast<char>(byte)) != std::string::npos) {
            expected = static_cast<int>(alphabet.find(static_cast<char>(byte)));
        } else if (byte == '-') {
            expected = 62;
        } else if (byte == '_') {
            expected = 63;
        }
        if (expected >= 0) {
            ++valid;
            EXPECT_EQ(base64CharValue(byte), expected) << "byte " << c;
        } else {
            EXPECT_THROW(base64CharValue(byte), std::runtime_error) << "byte " << c;
        }
    }
    EXPECT_EQ(valid, 66);
}

}  // namespace
