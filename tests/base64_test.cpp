#include "util/base64.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

TEST(Base64Test, GroupsOfEitherAlphabetDecodeWithOptionalPadding) {
    const struct {
        std::string text;
        std::string bytes;
    } cases[] = {{"", ""},
                 {"QUJD", "ABC"},
                 {"QUI", "AB"},
                 {"QQ", "A"},
                 {"SGVsbG8sIHdvcmxkIQ", "Hello, world!"},
                 // Both alphabets mixed in one group.
                 {"-_8=", "\xFB\xFF"},
                 {"+_8", "\xFB\xFF"},
                 {"-/8.", "\xFB\xFF"},
                 // Padding, "=" or ".", ends only its own group.
                 {"QQ==", "A"},
                 {"QQ..", "A"},
                 {"QQ=.", "A"},
                 {"QUI=", "AB"},
                 {"QUI.", "AB"},
                 {"QQ==QUJD", "AABC"},
                 {"QUI.QUI=QQ", "ABABA"},
                 // Unused low bits of a short group are ignored.
                 {"QR", "A"},
                 {"QUL", "AB"},
                 {"ABD/", std::string("\x00\x10\xFF", 3)},
                 {"AAAA", std::string(3, '\0')}};
    for (const auto& c : cases)
        EXPECT_EQ(base64Decode(c.text), c.bytes) << c.text;
}

// Every character of both alphabets has its own value.
TEST(Base64Test, WholeAlphabetsDecodeToTheirKnownBytes) {
    const char bytes[] =
        "\x00\x10\x83\x10\x51\x87\x20\x92\x8B\x30\xD3\x8F\x41\x14\x93\x51"
        "\x55\x97\x61\x96\x9B\x71\xD7\x9F\x82\x18\xA3\x92\x59\xA7\xA2\x9A"
        "\xAB\xB2\xDB\xAF\xC3\x1C\xB3\xD3\x5D\xB7\xE3\x9E\xBB\xF3\xDF\xBF";
    const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    EXPECT_EQ(base64Decode(letters + "+/"), std::string(bytes, 48));
    EXPECT_EQ(base64Decode(letters + "-_"), std::string(bytes, 48));
}

TEST(Base64Test, GroupOfOneCharacterIsOutOfRange) {
    for (const char* text : {"Q", "QUJDR", "QUJD\n", "QQ==="})
        EXPECT_THROW(base64Decode(text), std::out_of_range) << text;
}

TEST(Base64Test, CharacterWithoutValueIsInvalid) {
    // Padding where a value is needed, blanks and line ends, the neighbours of
    // the alphabet's ranges, a zero byte and bytes from 128 up.
    const std::string texts[] = {
        "=QUJ",   ".QUJ",    "Q=UJ",       "Q.==",     "QU JD",
        "QU\nJD", "QU\rJ",   "QUJ\n",      "QUJDQU*D", "QU@D",
        "QU[D",   "QU`D",    "QU{D",       "QU:D",     "QU,D",
        "QU^D",   "QU\x7Fz", "QU\xC3\xA9", "QU\xFFz",  std::string("QU\0D", 4)};
    for (const std::string& text : texts) {
        try {
            base64Decode(text);
            ADD_FAILURE() << "no exception for \"" << text << "\"";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Input is not valid base64-encoded data.") << text;
        }
    }
}

}  // namespace
