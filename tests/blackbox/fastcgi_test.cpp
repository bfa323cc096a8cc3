// The web interface of the running daemon, seen through its FastCGI socket the
// way the camera's web server and the plate recognition application see it,
// and a plate event followed all the way to the OSDP controller on the line.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/harness/daemon_harness.h"
#include "tools/osdp_controller_core.h"

namespace {

using ::testing::HasSubstr;

constexpr char kScript[] = "/local/kanzo_zul/osdp.cgi";
constexpr char kHeaderBlock[] = "Content-Type: text/plain; charset=utf-8\r\n\r\n";

std::string plateEvent(const std::string& plate, const std::string& region) {
    return "{\"packetCounter\":\"17\",\"datetime\":\"20240305 140709123\",\"plateText\":\"x\","
           "\"plateUTF8\":\"" +
           plate + "\",\"camera_info\":{\"SerialNumber\":\"ACCC8E0B1234\"},\"roiID\":\"" + region +
           "\",\"plateImage\":\"/9j/4AAQSkZJRgABAQ\"}";
}

class FastcgiTest : public ::testing::Test {
  protected:
    void SetUp() override { startDaemon(daemonOptions(dir, line.slavePath())); }

    void startDaemon(const ProcessOptions& options) {
        daemon = std::make_unique<ChildProcess>(options);
        ASSERT_TRUE(daemon->waitForLine("Serial port add watch", deadlineIn(kPatience)));
    }

    std::string request(const std::string& method, const std::string& query,
                        const std::string& body = "") {
        return fastcgiRequest(dir.file("fcgi.sock"), method, kScript + query, body,
                              deadlineIn(kPatience))
            .value_or("no response");
    }
    std::string get(const std::string& query) { return request("GET", query); }

    // Polls the reader at address and returns its reply; the sequence number
    // advances, so that the engine takes each poll as new.
    OsdpReply poll(uint8_t address) {
        sequence = sequence % 3 + 1;
        line.write(buildCommandFrame(address, sequence, kOsdpCommandPoll));
        const std::vector<uint8_t> frame = line.readFrame(deadlineIn(kPatience));
        ReplyCollector collector;
        collector.push(frame.data(), frame.size());
        OsdpReply reply;
        EXPECT_TRUE(collector.nextReply(&reply)) << "no valid reply to a poll";
        return reply;
    }

    TempDir dir;
    PtyLine line;
    std::unique_ptr<ChildProcess> daemon;
    uint8_t sequence = 0;
};

TEST_F(FastcgiTest, KeysOfOneRequestAreAnsweredBackToBackWithoutHeaders) {
    EXPECT_EQ(get("?getConfigXML&sha1=ab%20123cd&tamper1=1&CSN32LSB_Reader1=zz&saveConfig"),
              "<response>\n</response>\n"
              "6D8CB9FB"
              "OK"
              "<response>Invalid Param</response>\n"
              "<response>Failed</response>");
    EXPECT_TRUE(
        daemon->waitForLine("zul_osdp/saveConfig: Can't write config file: localdata/kanzo.conf",
                            deadlineIn(kPatience)));

    ASSERT_EQ(mkdir(dir.file("localdata").c_str(), 0755), 0);
    EXPECT_EQ(get("?DEBUG_LEVEL=2&saveConfig=1"),
              "<DEBUG_LEVEL>2</DEBUG_LEVEL><response>OK</response>");
    std::ifstream file(dir.file("localdata/kanzo.conf"));
    const std::string config((std::istreambuf_iterator<char>(file)), {});
    EXPECT_EQ(config.rfind(std::string("# Tarvik S/N: ") + kTestSerialNumber + "\n", 0), 0u);
    EXPECT_THAT(config, HasSubstr("\n# DEBUG_LEVEL = 2\n"));

    const std::string status = get("?getStatusXML");
    EXPECT_EQ(status.rfind("<response>\n<MemTotal>", 0), 0u) << status;
    EXPECT_EQ(xmlValue(status, "sn"), kTestSerialNumber);
    EXPECT_EQ(xmlValue(status, "DEBUG_LEVEL"), "2");
    EXPECT_EQ(xmlValue(status, "tamper1"), "true");
    EXPECT_EQ(xmlValue(status, "save_required"), "false");
}

TEST_F(FastcgiTest, SocketIsOpenToEveryUser) {
    // A request answered means the worker is past its chmod.
    ASSERT_EQ(get("?info"), "OK");
    struct stat info {};
    ASSERT_EQ(stat(dir.file("fcgi.sock").c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0777u);
}

TEST_F(FastcgiTest, NameValuesAreEchoedFirst) {
    EXPECT_EQ(get("?info&name=Kanzo+Zul%21&name&sha1=abc&name=c"),
              "Kanzo Zul!c"
              "OK"
              "<response>Unknown param:name=Kanzo Zul!</response>\n"
              "<response>Unknown param:name=</response>\n"
              "03FCFDB8"
              "<response>Unknown param:name=c</response>\n");
}

TEST_F(FastcgiTest, RequestWithoutQueryIsRefusedAndServingGoesOn) {
    EXPECT_EQ(get(""), "Failed to parse query");
    EXPECT_EQ(get("?"), "");
    EXPECT_EQ(get("?getConfigXML"), "<response>\n</response>\n");
}

TEST_F(FastcgiTest, PostPairsWithValuesAreCommandsAndWithoutReadTheBody) {
    const std::string event = plateEvent("AB 123 CD", "1");
    EXPECT_EQ(request("POST", "?lpr=", event), "<response>Unknown param:lpr=</response>\n");
    EXPECT_EQ(xmlValue(get("?getStatusXML"), "lastCard1"), "0");

    // The upload road's own cases are run on strings in the plate tests.
    EXPECT_EQ(request("POST", "?lpr", "no plate here"), "<reponse>Base64 file error</response>\n");

    EXPECT_EQ(request("POST", "?lpr", event), "");
    const std::string status = get("?getStatusXML");
    EXPECT_EQ(xmlValue(status, "lastCard1"), "6D8CB9FB");
    EXPECT_EQ(xmlValue(status, "lastLpr1"), "AB123CD");
}

TEST_F(FastcgiTest, ClientsThatHangUpEarlyDoNotStopTheService) {
    // Connections dropped before, during and after the request is sent.
    for (int i = 0; i < 3; ++i) {
        fastcgiRequest(dir.file("fcgi.sock"), "GET", std::string(kScript) + "?getStatusXML", "",
                       deadlineIn(std::chrono::milliseconds(1)));
        fastcgiRequest(dir.file("fcgi.sock"), "POST", std::string(kScript) + "?lpr",
                       "x=;base64," + std::string(100000, 'A'),
                       deadlineIn(std::chrono::milliseconds(1)));
    }
    EXPECT_EQ(get("?getConfigXML"), "<response>\n</response>\n");
    EXPECT_TRUE(daemon->running());
}

TEST_F(FastcgiTest, PlateEventReachesTheControllerOnce) {
    EXPECT_EQ(request("POST", "?lpr", plateEvent("AB 123 CD", "2")), "");

    const OsdpReply card = poll(11);
    EXPECT_EQ(card.address, 11);
    EXPECT_EQ(card.code, kOsdpReplyRaw);
    EXPECT_EQ(card.data, (std::vector<uint8_t>{0x00, 0x12, 0x20, 0x00, 0x6D, 0x8C, 0xB9, 0xFB}));
    EXPECT_EQ(poll(10).code, kOsdpReplyAck);

    const std::string status = get("?getStatusXML");
    EXPECT_EQ(xmlValue(status, "lastCard2"), "6D8CB9FB");
    EXPECT_EQ(xmlValue(status, "lastLpr2"), "AB123CD");
    EXPECT_EQ(xmlValue(status, "lastCard1"), "0");

    // The same plate again at once is inside the repeat window.
    EXPECT_EQ(request("POST", "?lpr", plateEvent("AB123CD", "2")), "");
    for (int i = 0; i < 3; ++i) {
        const OsdpReply reply = poll(11);
        EXPECT_EQ(reply.code, kOsdpReplyAck) << "poll " << i;
    }
}

class FastcgiHeadersTest : public FastcgiTest {
  protected:
    void SetUp() override {
        ProcessOptions options = daemonOptions(dir, line.slavePath());
        options.env["ZUL_CGI_HEADERS"] = "1";
        startDaemon(options);
    }
};

TEST_F(FastcgiHeadersTest, EveryResponseOpensWithOneHeaderBlock) {
    const std::string header = kHeaderBlock;
    EXPECT_EQ(get("?getConfigXML&sha1=abc"), header + "<response>\n</response>\n03FCFDB8");
    EXPECT_EQ(get(""), header + "Failed to parse query");
    EXPECT_EQ(request("POST", "?lpr", plateEvent("AB123CD", "1")), header);
    EXPECT_EQ(get("?name=a&tamper2=0"), header + "a<response>Unknown param:name=a</response>\nOK");

    // The status page alone is HTML; beside any other pair it is text, so
    // that a name echo never becomes markup.
    EXPECT_EQ(
        get("?page").rfind("Content-Type: text/html; charset=utf-8\r\n\r\n<!DOCTYPE html>", 0), 0u);
    EXPECT_EQ(get("?name=a&page")
                  .rfind(header + "a<response>Unknown param:name=a</response>\n<!DOCTYPE html>", 0),
              0u);
}

class FastcgiSocketTest : public FastcgiTest {
  protected:
    void SetUp() override {
        ProcessOptions options = daemonOptions(dir, line.slavePath());
        options.env["FCGI_SOCKET_NAME"] = dir.file("missing/fcgi.sock");
        startDaemon(options);
    }
};

TEST_F(FastcgiSocketTest, SocketThatCannotBeOpenedLeavesTheReadersRunning) {
    EXPECT_TRUE(daemon->waitForLine("FCGX_OpenSocket failed: " + dir.file("missing/fcgi.sock"),
                                    deadlineIn(kPatience)));
    EXPECT_EQ(poll(10).code, kOsdpReplyAck);
    EXPECT_TRUE(daemon->running());
}

}  // namespace
