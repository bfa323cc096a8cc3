// Claims held for the life of the process: one daemon per line and socket
// (the claim itself is held and let go in SerialLinkTest.LineIsClaimed...).
#include "util/process_claim.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ProcessClaimTest, PathsNamingOneFileMakeOneName) {
    EXPECT_EQ(pathClaimName("fcgi", "/tmp/fcgi.sock"),
              pathClaimName("fcgi", "/tmp/../tmp/fcgi.sock"));
    EXPECT_NE(pathClaimName("fcgi", "/tmp/fcgi.sock"), pathClaimName("fcgi", "/tmp/fcgi.sock2"));
}

}  // namespace
