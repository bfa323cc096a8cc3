// Claims held for the life of the process: one daemon per line and socket.
#include "util/process_claim.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

TEST(ProcessClaimTest, NameIsHeldOnceUntilItsDescriptorCloses) {
    const std::string name = "test/" + std::to_string(getpid());
    const int claim = claimProcessName(name);
    EXPECT_GE(claim, 0);
    EXPECT_EQ(-1, claimProcessName(name));
    EXPECT_EQ(EADDRINUSE, errno);
    close(claim);
    EXPECT_GE(claimProcessName(name), 0);
}

TEST(ProcessClaimTest, PathsNamingOneFileMakeOneName) {
    EXPECT_EQ(pathClaimName("fcgi", "/tmp/fcgi.sock"),
              pathClaimName("fcgi", "/tmp/../tmp/fcgi.sock"));
    EXPECT_NE(pathClaimName("fcgi", "/tmp/fcgi.sock"), pathClaimName("fcgi", "/tmp/fcgi.sock2"));
}

}  // namespace
