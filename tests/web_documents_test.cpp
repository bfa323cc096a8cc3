// The status and configuration documents, byte for byte.
#include <string>

#include "tests/osdp_test_frames.h"
#include "tests/web_fixture.h"

namespace {

using WebDocumentsTest = WebFixture;

TEST_F(WebDocumentsTest, FreshStatusDocumentIsTwoExactLines) {
    DeviceSerial = "ACCC8E0A1B2C";
    EXPECT_EQ(web.statusDocument("<MemTotal>3</MemTotal><MemFree>1</MemFree>"
                                 "<MemAvailable>2</MemAvailable>"),
              "<response>\n"
              "<MemTotal>3</MemTotal><MemFree>1</MemFree><MemAvailable>2</MemAvailable>"
              "<sn>ACCC8E0A1B2C</sn><restart_required>false</restart_required>"
              "<save_required>false</save_required><DEBUG_LEVEL>1</DEBUG_LEVEL>"
              "<reader1>10</reader1><reader2>11</reader2><lastCard1>0</lastCard1>"
              "<lastCard2>0</lastCard2><tamper1>false</tamper1><tamper2>false</tamper2>"
              "<lastLpr1></lastLpr1><lastLpr2></lastLpr2><reqIn>0</reqIn><reqOut>0</reqOut>"
              "</response>\n");
}

TEST_F(WebDocumentsTest, StatusDocumentShowsTheReadersState) {
    DeviceSerial = "";
    DebugLevel.store(5);
    {
        MutexLock lock(osdp.mutex);
        osdp.lastCard = {0x00AB12CD, 0xFFFFFFFF};
        osdp.tamper = {0, 1};
        osdp.lastLpr = {"A<B", "X&Y"};
        osdp.reqIn = 4294967295u;
        osdp.reqOut = 2147483648u;
        osdp.saveRequired = true;
        osdp.restartRequired = true;
    }
    EXPECT_EQ(web.statusDocument(""),
              "<response>\n"
              "<sn></sn><restart_required>true</restart_required>"
              "<save_required>true</save_required><DEBUG_LEVEL>5</DEBUG_LEVEL>"
              "<reader1>10</reader1><reader2>11</reader2><lastCard1>AB12CD</lastCard1>"
              "<lastCard2>FFFFFFFF</lastCard2><tamper1>false</tamper1><tamper2>true</tamper2>"
              "<lastLpr1>A<B</lastLpr1><lastLpr2>X&Y</lastLpr2><reqIn>4294967295</reqIn>"
              "<reqOut>2147483648</reqOut></response>\n");

    // A successful save clears the flag the document reports.
    ASSERT_TRUE(osdp.saveConfig());
    EXPECT_NE(web.statusDocument("").find("<save_required>false</save_required>"),
              std::string::npos);
}

TEST_F(WebDocumentsTest, StatusDocumentOpensWithTheMemoryFigures) {
    const std::string doc = web.statusDocument();
    EXPECT_EQ(doc.rfind("<response>\n<MemTotal>", 0), 0u);
    EXPECT_NE(doc.find("</MemAvailable><sn>"), std::string::npos);
    EXPECT_EQ(doc.find('\n'), 10u);
    EXPECT_EQ(doc.find('\n', 11), doc.size() - 1);
}

TEST_F(WebDocumentsTest, DiagnosticsDocumentShowsTheLineByteForByte) {
    EXPECT_EQ(web.diagnosticsDocument(),
              "<response>\n"
              "<polling1>false</polling1><polling2>false</polling2>"
              "<msSinceFrame1></msSinceFrame1><msSinceFrame2></msSinceFrame2>"
              "<framesAnswered1>0</framesAnswered1><framesAnswered2>0</framesAnswered2>"
              "<repeatsAnswered1>0</repeatsAnswered1><repeatsAnswered2>0</repeatsAnswered2>"
              "<badCheck>0</badCheck><badLength>0</badLength><foreignFrames>0</foreignFrames>"
              "<discardedBytes>0</discardedBytes><msSinceByte></msSinceByte></response>\n");

    const Bytes poll = commandFrame(0x0B, 0x05, 0x60);
    feed(osdp, poll);
    feed(osdp, poll);
    monotonic += 2500000;
    Bytes broken = commandFrame(0x0A, 0x05, 0x60);
    broken.back() ^= 1;
    feed(osdp, Bytes{0xFF});
    feed(osdp, broken);
    monotonic += 1500;
    EXPECT_EQ(web.diagnosticsDocument(),
              "<response>\n"
              "<polling1>false</polling1><polling2>false</polling2>"
              "<msSinceFrame1></msSinceFrame1><msSinceFrame2>2501</msSinceFrame2>"
              "<framesAnswered1>0</framesAnswered1><framesAnswered2>2</framesAnswered2>"
              "<repeatsAnswered1>0</repeatsAnswered1><repeatsAnswered2>1</repeatsAnswered2>"
              "<badCheck>1</badCheck><badLength>0</badLength><foreignFrames>0</foreignFrames>"
              "<discardedBytes>1</discardedBytes><msSinceByte>1</msSinceByte></response>\n");
}

TEST_F(WebDocumentsTest, ConfigDocumentIsAnEmptyEnvelope) {
    const std::string doc = web.configDocument();
    EXPECT_EQ(doc, "<response>\n</response>\n");
    EXPECT_EQ(doc.size(), 23u);
}

}  // namespace
