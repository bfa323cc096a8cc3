// Plate events posted to the lpr command: the search for plate and region,
// the body cut, and the upload road taken when the search finds nothing.
#include <algorithm>
#include <cstring>
#include <string>

#include "tests/web_fixture.h"

namespace {

const std::string kLprUri = "/local/kanzo_zul/osdp.cgi?lpr";

std::string plateEvent(const std::string& plate, const std::string& region) {
    return "{\"plateUTF8\":\"" + plate + "\",\"camera\":{\"roiID\":\"" + region + "\"}}";
}

// Serves a body the way FCGX_GetStr does: as much as asked for, less only at the end.
BodyReader readerOf(const std::string& body, size_t& position) {
    return [&body, &position](char* buf, int n) {
        const size_t count = std::min(body.size() - position, static_cast<size_t>(n));
        memcpy(buf, body.data() + position, count);
        position += count;
        return static_cast<int>(count);
    };
}

class WebPlateTest : public WebFixture {
  protected:
    std::string post(const std::string& body, const std::string& key = "lpr") {
        return web.handlePostBody(kLprUri, key, body);
    }
    std::string lastLpr(int reader) { return osdp.status().lastLpr[reader]; }
};

TEST_F(WebPlateTest, PlateEventDeliversTheDigestCardToTheRegionsReader) {
    DebugLevel.store(2);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(post(plateEvent("AB 123 CD", "2")), "");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Read LPR [AB123CD]\n"
              "Send Reader=2 LPR [AB123CD] CardNumber=[6D8CB9FB] "
              "SHA1=[AC0426853B0947E3CE6AAFD6116C6A726D8CB9FB]\n");
    EXPECT_EQ(pendingCard(1), 0x6D8CB9FBu);
    EXPECT_EQ(pendingCard(0), 0u);
    EXPECT_EQ(lastLpr(1), "AB123CD");
    EXPECT_EQ(lastLpr(0), "");

    // Region first, plate second, and no case folding.
    EXPECT_EQ(post("{\"roiID\":\"1\",\"plateUTF8\":\"ab123cd\"}"), "");
    EXPECT_EQ(pendingCard(0), 0x8BFF1D19u);
    EXPECT_EQ(lastLpr(0), "ab123cd");
}

TEST_F(WebPlateTest, RegionTextDecidesTheReader) {
    struct Case {
        const char* region;
        int reader;  // -1: refused
    };
    const Case cases[] = {{"1", 0}, {"2", 1},  {" 2", 1}, {"2x", 1},  {"", 0},
                          {"x", 0}, {"0", -1}, {"3", -1}, {"-1", -1}, {"99999999999", 0}};
    int plateNumber = 0;
    for (const Case& c : cases) {
        collectCard(0);
        collectCard(1);
        const std::string plate = "P" + std::to_string(++plateNumber);
        EXPECT_EQ(post(plateEvent(plate, c.region)), "");
        for (int reader = 0; reader < 2; ++reader) {
            const bool delivered = reader == c.reader;
            EXPECT_EQ(pendingCard(reader) != 0, delivered) << "region " << c.region;
            EXPECT_EQ(lastLpr(reader) == plate, delivered) << "region " << c.region;
        }
    }
}

TEST_F(WebPlateTest, IncompleteEventsDeliverNothing) {
    EXPECT_EQ(post(plateEvent("OLD1", "1")), "");
    collectCard(0);

    const std::string broken[] = {
        "{\"plateUTF8\":\"NEW1\"}",                // no region member
        "{\"plateUTF8\":\"NEW1\",\"roiID\":\"1}",  // region without closing quote
        "{\"roiID\":\"1\",\"plateUTF8\":\"NEW1",   // plate without closing quote
    };
    for (const std::string& body : broken) {
        EXPECT_EQ(post(body), "") << body;
        EXPECT_EQ(pendingCard(0), 0u) << body;
        EXPECT_EQ(lastLpr(0), "OLD1") << body;
    }
}

TEST_F(WebPlateTest, RequestsWithoutLprInTheUriAreIgnored) {
    EXPECT_EQ(web.handlePostBody("/osdp.cgi?other", "other", plateEvent("AB123CD", "1")), "");
    EXPECT_EQ(web.handlePostBody("/osdp.cgi?LPR", "LPR", plateEvent("AB123CD", "1")), "");
    EXPECT_EQ(pendingCard(0), 0u);
    EXPECT_EQ(lastLpr(0), "");
}

// Where the window ends is run in the injection tests.
TEST_F(WebPlateTest, RepeatWithinTheWindowIsDeliveredOnceButRecordedTwice) {
    EXPECT_EQ(post(plateEvent("AB 123 CD", "2")), "");
    collectCard(1);
    {
        MutexLock lock(osdp.mutex);
        osdp.lastLpr[1] = "other";
    }
    now.seconds += 3;  // exactly the window: still a repeat
    EXPECT_EQ(post(plateEvent("AB123CD", "2")), "");
    EXPECT_EQ(pendingCard(1), 0u);
    EXPECT_EQ(lastLpr(1), "AB123CD");
}

TEST_F(WebPlateTest, MembersTheSearchCannotSeeSendTheBodyDownTheUploadRoad) {
    const std::string uploadError = "<reponse>Base64 file error</response>\n";
    // A blank after the colon, and a percent-encoded JSON text.
    EXPECT_EQ(post("{\"plateUTF8\": \"AB123CD\",\"roiID\":\"1\"}"), uploadError);
    EXPECT_EQ(post("%7B%22plateUTF8%22%3A%22AB123CD%22%2C%22roiID%22%3A%221%22%7D"), uploadError);
    EXPECT_EQ(post(""), uploadError);
    EXPECT_EQ(pendingCard(0), 0u);
}

TEST_F(WebPlateTest, BodyIsCutAtTheBufferSize) {
    // The region's closing quote is the last byte.
    const std::string event = "{\"plateUTF8\":\"AB123CD\",\"roiID\":\"1\"";
    std::string body(kBodyBufferSize - event.size(), ' ');
    body += event;
    size_t position = 0;
    EXPECT_EQ(web.handlePost(readerOf(body, position), kLprUri, "lpr"), "");
    EXPECT_EQ(pendingCard(0), 0x6D8CB9FBu);
    EXPECT_EQ(position, kBodyBufferSize);

    // One byte more pushes the region's closing quote past the cut.
    collectCard(0);
    now.seconds += 10;
    body.insert(0, " ");
    position = 0;
    EXPECT_EQ(web.handlePost(readerOf(body, position), kLprUri, "lpr"), "");
    EXPECT_EQ(pendingCard(0), 0u);
    // The rest is left for the next value-less pair of the request.
    EXPECT_EQ(web.handlePost(readerOf(body, position), kLprUri, "lpr"),
              "<reponse>Base64 file error</response>\n");
    EXPECT_EQ(position, body.size());
}

TEST_F(WebPlateTest, BodyTextEndsAtItsFirstZeroByte) {
    const std::string body = std::string("{\"roiID\":\"1\"}") + '\0' + plateEvent("AB123CD", "1");
    size_t position = 0;
    EXPECT_EQ(web.handlePost(readerOf(body, position), kLprUri, "lpr"),
              "<reponse>Base64 file error</response>\n");
    EXPECT_EQ(pendingCard(0), 0u);
}

TEST_F(WebPlateTest, UploadedLinesBecomeTheCommandValue) {
    // "line1\r\nli\x01ne2\xC3\xA9\n\nlast": control bytes go, bytes from 128 up stay.
    const std::string body = "file=data%3Atext%2Fplain%3Bbase64%2CbGluZTENCmxpAW5lMsOpCgpsYXN0";
    EXPECT_EQ(post(body),
              "<response>Unknown param:lpr=line1\nline2\xC3\xA9\n\nlast\n</response>\n");

    // A final line feed ends the last line; no empty line follows it.
    EXPECT_EQ(post("x=;base64,b25lCg=="), "<response>Unknown param:lpr=one\n</response>\n");

    // The upload is the value of the pair's own command.
    EXPECT_EQ(post("x=;base64,MWEyYgo=", "CSN32LSB_Reader1"), "OK");
    EXPECT_EQ(pendingCard(0), 0x1A2Bu);
    EXPECT_EQ(post("x=;base64,MWEyYgo=", "DEBUG_LEVEL"), "<response>Invalid Param</response>\n");
}

TEST_F(WebPlateTest, UndecodableUploadsAreReportedAsFileErrors) {
    const std::string fileError = "<reponse>Error Catch - file error</response>\n";
    EXPECT_EQ(post("x=;base64,b25l*g=="), fileError);
    EXPECT_EQ(post("x=;base64,b25lC"), fileError);
    // "+" is a blank after form decoding.
    EXPECT_EQ(post("x=;base64,b2+lCg=="), fileError);
    // Data ends at a decoded zero byte.
    EXPECT_EQ(post("x=;base64,b25lCg==%00@@@"), "<response>Unknown param:lpr=one\n</response>\n");
}

TEST(UrlDecodeTest, DecodesFormEncodingAndKeepsStrayPercentSigns) {
    EXPECT_EQ(urlDecode("a+b%41%3b%3B"), "a bA;;");
    EXPECT_EQ(urlDecode("%0a%7e"), "\n~");
    EXPECT_EQ(urlDecode("100%"), "100%");
    EXPECT_EQ(urlDecode("%4"), "%4");
    EXPECT_EQ(urlDecode("%4g%41"), "%4gA");
    EXPECT_EQ(urlDecode("%%41"), "%A");
    EXPECT_EQ(urlDecode("%-1+"), "%-1 ");
    EXPECT_EQ(urlDecode("%00x"), std::string("\0x", 2));
    EXPECT_EQ(urlDecode(""), "");
}

}  // namespace
