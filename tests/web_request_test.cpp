// Whole requests through respond(): which pairs are commands and which read
// the body. Name echoes and a POST with and without values also run through
// the daemon in the black-box FastCGI test.
#include <algorithm>
#include <string>

#include "tests/web_fixture.h"

namespace {

class WebRequestTest : public WebFixture {
  protected:
    std::string respond(const char* method, const char* uri, const std::string& body = "") {
        bodyReads = 0;
        position = 0;
        const BodyReader readBody = [this, &body](char* buf, int n) {
            ++bodyReads;
            const size_t count = std::min(body.size() - position, static_cast<size_t>(n));
            body.copy(buf, count, position);
            position += count;
            return static_cast<int>(count);
        };
        return web.respond(method, uri, readBody);
    }
    int bodyReads = 0;
    size_t position = 0;
};

TEST_F(WebRequestTest, ValuesStopAtADecodedZeroByte) {
    EXPECT_EQ(respond("GET", "/osdp.cgi?name=ab%00cd"),
              "ab<response>Unknown param:name=ab</response>\n");
}

TEST_F(WebRequestTest, UnparsableRequestsGetTheirErrorText) {
    EXPECT_EQ(respond("GET", "/osdp.cgi"), "Failed to parse query");
    EXPECT_EQ(respond("GET", "/osdp cgi?info"), "Failed to parse URI");
    EXPECT_EQ(respond("GET", nullptr), "Failed to parse URI");
}

TEST_F(WebRequestTest, ValueLessPairsOfAPostReadTheBody) {
    const std::string event = "{\"plateUTF8\":\"AB 123 CD\",\"roiID\":\"2\"}";
    EXPECT_EQ(respond("POST", "/osdp.cgi?lpr", event), "");
    EXPECT_EQ(bodyReads, 1);
    EXPECT_EQ(pendingCard(1), 0x6D8CB9FBu);

    // The second value-less pair finds the body already read.
    collectCard(1);
    now.seconds += 10;
    EXPECT_EQ(respond("POST", "/osdp.cgi?lpr&lpr", event),
              "<reponse>Base64 file error</response>\n");
    EXPECT_EQ(bodyReads, 2);
    EXPECT_EQ(pendingCard(1), 0x6D8CB9FBu);
}

TEST_F(WebRequestTest, PairsWithValuesAndOtherMethodsNeverReadTheBody) {
    const std::string event = "{\"plateUTF8\":\"AB123CD\",\"roiID\":\"2\"}";
    EXPECT_EQ(respond("post", "/osdp.cgi?lpr", event), "<response>Unknown param:lpr=</response>\n");
    EXPECT_EQ(respond(nullptr, "/osdp.cgi?tamper2", event), "OK");
    EXPECT_EQ(respond("PUT", "/osdp.cgi?info", event), "OK");
    EXPECT_EQ(bodyReads, 0);
    EXPECT_EQ(pendingCard(1), 0u);
}

}  // namespace
