#include "util/sha1.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

std::string digestOf(const std::string& message) {
    Sha1 sha;
    sha.update(message);
    return sha.finalHex();
}

TEST(Sha1Test, PublishedVectorsGiveTheirDigests) {
    EXPECT_EQ(Sha1().finalHex(), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
    EXPECT_EQ(digestOf(""), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
    EXPECT_EQ(digestOf("abc"), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(digestOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983E441C3BD26EBAAE4AA1F95129E5E54670F1");
    EXPECT_EQ(digestOf(std::string(1000000, 'a')), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F");
}

// 55 bytes leave room for padding and length in the last block, 56 to 63 need an
// extra block, and 64 fill a block inside update.
TEST(Sha1Test, PaddingBoundariesAreHandled) {
    EXPECT_EQ(digestOf(std::string(55, 'a')), "C1C8BBDC22796E28C0E15163D20899B65621D65A");
    EXPECT_EQ(digestOf(std::string(56, 'a')), "C2DB330F6083854C99D4B5BFB6E8F29F201BE699");
    EXPECT_EQ(digestOf(std::string(63, 'a')), "03F09F5B158A7A8CDAD920BDDC29B81C18A551F5");
    EXPECT_EQ(digestOf(std::string(64, 'a')), "0098BA824B5C16427BD7A1122A5A442A25EC644D");
}

TEST(Sha1Test, ZeroByteInsideTheTextIsHashed) {
    EXPECT_EQ(digestOf(std::string("AB\0CD", 5)), "5E5CE29714682B63D04AA69501751CC91BBB6179");
}

TEST(Sha1Test, SeveralUpdatesEqualOne) {
    const std::string message(200, 'x');
    for (size_t cut : {0u, 1u, 55u, 63u, 64u, 65u, 128u, 199u}) {
        Sha1 sha;
        sha.update(message.substr(0, cut));
        sha.update("");
        sha.update(message.substr(cut));
        EXPECT_EQ(sha.finalHex(), digestOf(message)) << "cut at " << cut;
    }
}

TEST(Sha1Test, CardNumberIsTheLastDigestWord) {
    EXPECT_EQ(cardNumberFromDigest(digestOf("abc")), 0x9CD0D89Du);
    const std::string plate = digestOf("AB123CD");
    EXPECT_EQ(plate, "AC0426853B0947E3CE6AAFD6116C6A726D8CB9FB");
    EXPECT_EQ(cardNumberFromDigest(plate), 0x6D8CB9FBu);
    EXPECT_EQ(cardNumberFromDigest("FFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(cardNumberFromDigest("0000000000000001"), 1u);
    EXPECT_EQ(cardNumberFromDigest("deadbeef"), 0xDEADBEEFu);
}

TEST(Sha1Test, MalformedDigestTextIsRejected) {
    EXPECT_THROW(cardNumberFromDigest(""), std::invalid_argument);
    EXPECT_THROW(cardNumberFromDigest("ABCDEF1"), std::invalid_argument);
    EXPECT_THROW(cardNumberFromDigest("0123456789ABCDEG"), std::invalid_argument);
    EXPECT_THROW(cardNumberFromDigest("0x123456"), std::invalid_argument);
    EXPECT_THROW(cardNumberFromDigest(" 1234567"), std::invalid_argument);
    EXPECT_THROW(cardNumberFromDigest(std::string("1234\0"
                                                  "567",
                                                  8)),
                 std::invalid_argument);
}

}  // namespace
