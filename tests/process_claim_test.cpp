// Claims held for the life of the process: one daemon per line and socket.
#include "util/process_claim.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

TEST(ProcessClaimTest, NameIsHeldOnceAndOnlyOnce) {
    const std::string name = "test/" + std::to_string(getpid());
    EXPECT_TRUE(claimProcessName(name));
    EXPECT_FALSE(claimProcessName(name));
    EXPECT_EQ(EADDRINUSE, errno);
}

TEST(ProcessClaimTest, PathsNamingOneFileMakeOneName) {
    EXPECT_EQ(pathClaimName("fcgi", "/tmp/fcgi.sock"),
              pathClaimName("fcgi", "/tmp/../tmp/fcgi.sock"));
    EXPECT_NE(pathClaimName("fcgi", "/tmp/fcgi.sock"), pathClaimName("fcgi", "/tmp/fcgi.sock2"));
}

}  // namespace
