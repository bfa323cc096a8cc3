// The bus simulator passes bytes as a two-wire pair does: to every other end,
// never back to the sender.
#include "tests/harness/bus.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "gtest/gtest.h"
#include "platform/tty_settings.h"

namespace {

// An end of the bus opened as a program on the line opens it.
class Port {
  public:
    explicit Port(const std::string& path)
        : fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
    ~Port() { close(fd); }

    void send(const std::string& bytes) {
        EXPECT_TRUE(writeAll(fd, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    }
    // The next count bytes, or what came of them by the deadline.
    std::string receive(size_t count) {
        std::string got;
        for (const Deadline deadline = deadlineIn(kPatience);
             got.size() < count && millisLeft(deadline) > 0;) {
            pollfd in = {fd, POLLIN, 0};
            char buffer[64];
            const ssize_t n = poll(&in, 1, millisLeft(deadline)) > 0
                                  ? read(fd, buffer, std::min(sizeof buffer, count - got.size()))
                                  : 0;
            got.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        }
        return got;
    }

    const int fd;
};

// A bus with two devices, ends open but the first device's.
class BusTest : public testing::Test {
  protected:
    TempDir dir_;
    Bus bus_{dir_, 2};
    Port controller_{bus_.controllerEnd};
    Port two_{bus_.deviceEnds[1]};
};

TEST_F(BusTest, TheControllersBytesReachEveryDeviceAndADevicesEveryOtherEnd) {
    Port one(bus_.deviceEnds[0]);
    controller_.send("poll");
    EXPECT_EQ(one.receive(4), "poll");
    EXPECT_EQ(two_.receive(4), "poll");
    one.send("reply");
    EXPECT_EQ(controller_.receive(5), "reply");
    EXPECT_EQ(two_.receive(5), "reply");
    // An echo of the reply would come before this.
    controller_.send("next");
    EXPECT_EQ(one.receive(4), "next");
}

TEST_F(BusTest, EachPassageIsTracedWithTheRateOfItsSender) {
    controller_.send("poll");
    EXPECT_EQ(two_.receive(4), "poll");
    std::string error;
    ASSERT_TRUE(applyTtySettings(two_.fd, TtySettings{19200}, &error)) << error;
    two_.send("ack");
    EXPECT_EQ(controller_.receive(3), "ack");
    const std::vector<Bus::Passage> passages = bus_.passages();
    ASSERT_EQ(passages.size(), 2u);
    EXPECT_EQ(passages[0].from, 0);
    EXPECT_EQ(passages[0].baud, 9600);
    EXPECT_EQ(std::string(passages[0].bytes.begin(), passages[0].bytes.end()), "poll");
    EXPECT_EQ(passages[1].from, 2);
    EXPECT_EQ(passages[1].baud, 19200);
    EXPECT_EQ(std::string(passages[1].bytes.begin(), passages[1].bytes.end()), "ack");
}

}  // namespace
