// web/ and the utilities of its roads, mostly from golden files in tests/fixtures.
#include <glib.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "tests/golden.h"
#include "tests/prometheus_text.h"
#include "util/base64.h"
#include "util/escape.h"
#include "util/globals.h"
#include "util/log.h"
#include "util/sha1.h"
#include "web/plate_intake.h"
#include "web/proc_stats.h"
#include "web/web_service.h"
#include "web/xml_text.h"

namespace {

std::string localTime(time_t t) {
    std::ostringstream text;
    text << std::put_time(std::localtime(&t), "%Y-%m-%d %H:%M:%S");
    return text.str();
}

// A request from address, without any other parameter.
RequestSource from(const std::string& address) {
    RequestSource source;
    source.remoteAddr = address;
    return source;
}

// Runs work on a thread of its own whose stack is 64 KiB, and returns its result.
bool onSmallStack(std::function<bool()> work) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    pthread_t thread;
    const auto run = [](void* job) -> void* {
        return (*static_cast<std::function<bool()>*>(job))() ? job : nullptr;
    };
    EXPECT_EQ(pthread_create(&thread, &attr, run, &work), 0);
    void* result = nullptr;
    pthread_join(thread, &result);
    pthread_attr_destroy(&attr);
    return result != nullptr;
}

class WebServiceTest : public ::testing::Test {
  protected:
    WebServiceTest() {
        osdp.configPath = configPath;
        DeviceSerial = "ACCC8E0A1B2C";
        reset();
    }
    ~WebServiceTest() override {
        unlink(configPath.c_str());
        DebugLevel.store(savedLevel);
    }

    // As the transcript has it: level 2, no configuration file, a save required,
    // nothing read or waiting for the readers, counters past 2^31, the clock on.
    void reset(int64_t seconds = 4295) {
        DebugLevel.store(2);
        unlink(configPath.c_str());
        now.seconds += seconds;
        bodyTaken = false;
        for (int r = 0; r < kReaderCount; ++r) {
            osdp.setLastLpr(r, "");
            osdp.setTamper(r, false);
            MutexLock lock(osdp.mutex);
            while (osdp.reader(r).queue.takeNext(1, false).kind != PollItem::Kind::nothing) {
            }
        }
        MutexLock lock(osdp.mutex);
        osdp.reqIn = 4294967295u;
        osdp.reqOut = 2147483648u;
        osdp.saveRequired = true;
    }

    void playGolden(const std::string& name);

    // What changed since reset(), in the words of the transcript.
    std::string effects() {
        std::string out = bodyTaken ? " read" : "";
        if (DebugLevel.load() != 2)
            out += " level=" + std::to_string(DebugLevel.load());
        const PeripheralStatus status = osdp.status();
        for (int r = 0; r < kReaderCount; ++r) {
            const std::string reader = std::to_string(r + 1);
            // The cards waiting, oldest first, then whether a status report waits.
            MutexLock lock(osdp.mutex);
            PollItem item;
            while ((item = osdp.reader(r).queue.takeNext(1, false)).kind == PollItem::Kind::card)
                out += " card" + reader + "=" + hexText(item.card);
            if (!status.lastLpr[r].empty())
                out += " lpr" + reader + "=" + status.lastLpr[r];
            if (item.kind == PollItem::Kind::status || status.tamper[r] != 0)
                out += " tamper" + reader + "=" + std::to_string(status.tamper[r]);
        }
        return out.empty() ? out : out.substr(1);
    }

    // The configuration file; its time of writing, the clock's now, is <now>.
    std::string configText() {
        std::ostringstream text;
        text << std::ifstream(configPath).rdbuf();
        return std::regex_replace(text.str(), std::regex(localTime(now.seconds)), "<now>");
    }

    // The response to a request from the camera itself, without a body.
    std::string respond(const char* method, const std::string& uri, const std::string& address) {
        RequestBody none;
        return web.respond({method, uri.c_str(), from(address)}, none);
    }

    const int32_t savedLevel = DebugLevel.load();
    const std::string configPath = testing::TempDir() + "kanzo_web_" + std::to_string(getpid());
    WallTime now{INT32_MAX - 10000, 0};
    bool bodyTaken = false;
    int64_t clockMicros = 0;
    OsdpPeripheral osdp{[this] { return now; },
                        [this] { return now.seconds * 1000000 + now.micros; }};
    WebService web{osdp, [this] { return clockMicros; }};
};

// Replays a file of golden requests on this fixture, in order.
void WebServiceTest::playGolden(const std::string& name) {
    for (auto& [line, text] : goldenCases(name)) {
        std::istringstream request(text['>']);
        int64_t seconds = 4295;
        if (request.peek() == '+')
            request >> seconds;
        std::string method, uri;
        request >> method >> uri >> std::ws;
        const std::string body{std::istreambuf_iterator<char>(request), {}};
        reset(seconds);
        // The camera itself asks, unless the case names its source.
        WebRequest webRequest{method == "-" ? nullptr : method.c_str(),
                              uri == "-" ? nullptr : uri.c_str(), from("127.0.0.1")};
        std::istringstream source(text['@']);
        source >> webRequest.source.remoteAddr >> webRequest.source.remoteUser;
        if (webRequest.source.remoteAddr == "-")
            webRequest.source.remoteAddr.clear();
        testing::internal::CaptureStdout();
        RequestBody requestBody{body};
        const std::string response = web.respond(webRequest, requestBody);
        bodyTaken = requestBody.taken;
        EXPECT_EQ(joined(testing::internal::GetCapturedStdout()), text['-']) << line;
        EXPECT_EQ(std::regex_replace(response, std::regex("(<Mem\\w+>)\\d+"), "$1N"), text['<'])
            << line;
        EXPECT_EQ(effects(), text['=']) << line;
        EXPECT_EQ(joined(configText()), text['~']) << line;
        if (response.rfind("# HELP", 0) == 0)
            parsePrometheus(response);
    }
}

TEST_F(WebServiceTest, RequestsMatchTheirGoldenTranscripts) {
    playGolden("web-requests.txt");
}

// From a fresh start: the journal and the metrics.
TEST_F(WebServiceTest, JournalAndMetricsRequestsMatchTheirGoldenTranscripts) {
    playGolden("web-journal.txt");
}

// An image before the plate fills the body up to the limit's last byte, then
// one past it.
TEST_F(WebServiceTest, BodiesOverTheLimitAreNotActedOn) {
    const std::string event = R"(","plateUTF8":"AB123CD","roiID":"1"})";
    for (const size_t past : {0, 1}) {
        reset();
        const std::string image(kBodyLimit - event.size() - 10 + past, 'A');
        const std::string text = R"({"image":")" + image + event;
        RequestBody body{text};
        EXPECT_EQ(web.respond({"POST", "/osdp.cgi?lpr", from("127.0.0.1")}, body),
                  past == 0 ? "" : "<response>Body too large</response>\n");
        EXPECT_EQ(effects(), past == 0 ? "card1=6D8CB9FB lpr1=AB123CD" : "");
    }
}

// Bodies that nest deep, hidden from a scan beside the parser behind a
// comment or a single-quoted quote, or plainly up to the size limit, taken on
// a thread whose stack is 64 KiB: the parse must not spend stack per level.
TEST_F(WebServiceTest, DeepBodiesAreRefusedOnASmallStack) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    for (const std::string& body :
         {R"({"plateUTF8":"DEEP","roiID":1,"a":/*"*/)" + deep + R"(/*"*/})",
          R"({'plateUTF8':'DEEP','roiID':1,'a':'"','b':)" + deep + R"(,'c':'"'})",
          R"({"plateUTF8":"DEEP","roiID":1,"a":)" + std::string(kBodyLimit - 35, '[')}) {
        PlateIntake intake(osdp);
        EXPECT_TRUE(onSmallStack([&] { return intake.take(body); }));
        EXPECT_EQ(effects(), "");
    }
}

// Past 64 pairs nothing is run; a response that would pass 2 MiB ends with
// the refusal, and the pairs after it are not run.
TEST_F(WebServiceTest, HugeRequestsAreRefused) {
    std::string uri = "/osdp.cgi?tamper1=1";
    for (int i = 0; i < 64; ++i)
        uri += "&page";
    EXPECT_EQ(respond("GET", uri, "127.0.0.1"), "<response>Too many params</response>\n");
    const std::string name(1536 * 1024, 'n');
    const std::string echo = "/osdp.cgi?name=" + name + "&tamper1=1";
    EXPECT_EQ(respond("GET", echo, "127.0.0.1"),
              name + "<response>Response too large</response>\n");
    EXPECT_EQ(effects(), "");
}

TEST_F(WebServiceTest, SaveClearsTheFlagOnlyWhenTheFileIsWritten) {
    std::ofstream(configPath) << std::string(200, 'x');
    EXPECT_EQ(web.processKey("saveConfig", ""), "<response>OK</response>");
    EXPECT_EQ(configText().find('x'), std::string::npos);
    EXPECT_FALSE(osdp.status().saveRequired);
    reset();
    osdp.configPath = testing::TempDir() + "kanzo_no_such_dir/kanzo.conf";
    EXPECT_EQ(web.processKey("saveConfig", ""), "<response>Failed</response>");
    EXPECT_TRUE(osdp.status().saveRequired);
}

TEST_F(WebServiceTest, ProcTextsGiveTheirFigures) {
    DebugLevel.store(5);
    ProcStats stats;
    for (auto& [line, text] : goldenCases("proc-stats.txt")) {
        std::istringstream input(text['>']);
        testing::internal::CaptureStdout();
        if (text['>'].rfind("Mem", 0) != 0) {
            std::string stat, cpu, statm;
            std::getline(std::getline(std::getline(input, stat), cpu), statm);
            stats.parseTaskStat(stat);
            stats.parseCpuLine(cpu);
            stats.parseStatm(statm, 4096);
            stats.logProcess(1234);
        } else {
            stats.parseMemory(input);
            printf("%s", stats.memoryXml.c_str());
        }
        EXPECT_EQ(joined(testing::internal::GetCapturedStdout()), text['<']) << line;
    }
}

TEST(RequestPolicyTest, EachRequestGetsItsVerdict) {
    TrustSettings trust;
    trust.hostName = "cam-7";
    trust.allowedHosts = {"gate.example"};
    trust.trustedSources.resize(2);
    std::string why;
    ASSERT_TRUE(parseAddressRange("10.9.0.0/16", &trust.trustedSources[0], &why));
    ASSERT_TRUE(parseAddressRange("::ffff:172.16.0.0/108", &trust.trustedSources[1], &why));
    for (auto& [line, text] : goldenCases("request-policy.txt")) {
        std::istringstream fields(text['>']);
        std::string method;
        RequestSource source;
        fields >> method >> source.remoteAddr;
        if (source.remoteAddr == "-")
            source.remoteAddr.clear();
        std::map<std::string, std::string*> named = {
            {"user", &source.remoteUser},    {"host", &source.host},
            {"origin", &source.origin},      {"referer", &source.referer},
            {"fetch", &source.secFetchSite}, {"scheme", &source.scheme},
            {"https", &source.https}};
        for (std::string field; fields >> field;) {
            const std::string name = field.substr(0, field.find('='));
            ASSERT_EQ(named.count(name), 1u) << line;
            *named[name] = field.substr(name.size() + 1);
        }
        const bool isPost = method == "POST";
        EXPECT_EQ(
            std::string(verdictName(judgeRequest(RequestKind::kRead, isPost, source, trust))) +
                "|" + verdictName(judgeRequest(RequestKind::kControl, isPost, source, trust)),
            text['<'])
            << line;
        EXPECT_EQ(judgeRequest(RequestKind::kPlateIntake, isPost, source, trust),
                  judgeRequest(RequestKind::kControl, isPost, source, trust))
            << line;
    }
}

TEST(RequestPolicyTest, AddressRangesAreTakenAsWrittenOrRefused) {
    for (auto& [line, text] : goldenCases("address-ranges.txt")) {
        AddressRange range;
        std::string why;
        EXPECT_EQ(parseAddressRange(text['>'], &range, &why) ? rangeText(range) : why, text['<'])
            << line;
    }
}

// An entry that would trust more than it says, or is no host name, is left
// out and named with the reason; the others are taken.
TEST(RequestPolicyTest, UnusableTrustEntriesAreIgnoredAndNamed) {
    setenv("ZUL_TRUSTED_SOURCES", "10.1.2.3/24, ::ffff:10.9.0.0/112", 1);
    setenv("ZUL_ALLOWED_HOSTS", "[::1]evil.example Gate.Example", 1);
    std::vector<std::string> rejected;
    const TrustSettings trust = TrustSettings::fromEnvironment(&rejected);
    unsetenv("ZUL_TRUSTED_SOURCES");
    unsetenv("ZUL_ALLOWED_HOSTS");
    EXPECT_EQ(rejected, (std::vector<std::string>{
                            "trusted source [10.1.2.3/24]: host bits set past the /24 prefix",
                            "allowed host [[::1]evil.example]: not a host name"}));
    ASSERT_EQ(trust.trustedSources.size(), 1u);
    EXPECT_EQ(rangeText(trust.trustedSources[0]), "10.9.0.0/16");
    EXPECT_EQ(trust.allowedHosts, std::vector<std::string>{"gate.example"});
}

TEST_F(WebServiceTest, RefusalLogLinesArePaced) {
    testing::internal::CaptureStdout();
    for (int i = 0; i < 13; ++i)
        EXPECT_EQ(respond("GET", "/osdp.cgi?tamper1=1", "192.168.1.50"), kRefusalText);
    clockMicros += 60000000;
    respond("GET", "/osdp.cgi?tamper1=1", "192.168.1.50");
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 11) << log;
    EXPECT_NE(log.find("untrusted source (3 more refused, not logged)\n"), std::string::npos);
    EXPECT_NE(web.diagnosticsDocument().find("<refusedRequests>14</refusedRequests>"),
              std::string::npos);
    EXPECT_EQ(effects(), "");
}

// Every reply built from hostile outside text still parses. The plate is the
// text as a JSON string, so that its controls and quotes reach the documents.
TEST_F(WebServiceTest, HostileOutsideTextLeavesEveryReplyWellFormed) {
    std::istringstream hostile(goldenCases("hostile-texts.txt").at(0).second['>']);
    for (std::string text; std::getline(hostile, text);) {
        reset();
        std::string plate;
        for (const char c : text) {
            char escaped[7];
            snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned char>(c));
            const bool plain = static_cast<unsigned char>(c) >= 0x20 && c != '"' && c != '\\';
            plate += plain ? std::string(1, c) : escaped;
        }
        web.handlePost("/osdp.cgi?lpr", "lpr", R"({"plateUTF8":")" + plate + R"(","roiID":"2"})");
        for (const std::string& reply :
             {web.statusDocument(""), web.processKey(text, text), web.processKey("plateCard", text),
              std::string(kRefusalText)}) {
            GMarkupParser parser{};
            GMarkupParseContext* context =
                g_markup_parse_context_new(&parser, G_MARKUP_DEFAULT_FLAGS, nullptr, nullptr);
            GError* error = nullptr;
            EXPECT_TRUE(g_markup_parse_context_parse(context, reply.data(),
                                                     static_cast<gssize>(reply.size()), &error) &&
                        g_markup_parse_context_end_parse(context, &error))
                << reply << (error != nullptr ? error->message : "");
            g_clear_error(&error);
            g_markup_parse_context_free(context);
        }
    }
    EXPECT_EQ(xmlText("a<b>&\"c'\xC3\xA4\t"), "a&lt;b&gt;&amp;&quot;c&apos;\xC3\xA4\t");
}

// U+D7FF and U+E000 either side of the surrogates stay, and so does U+10FFFF;
// each byte of U+DFFF and of U+110000 becomes U+FFFD.
TEST(XmlTextTest, SurrogatesAndCodePointsPastU10FFFFAreReplaced) {
    EXPECT_EQ(xmlText("\xED\x9F\xBF \xEE\x80\x80 \xF4\x8F\xBF\xBF"),
              "\xED\x9F\xBF \xEE\x80\x80 \xF4\x8F\xBF\xBF");
    const std::string r = "\xEF\xBF\xBD";  // U+FFFD
    EXPECT_EQ(xmlText("\xED\xBF\xBF \xF4\x90\x80\x80"), r + r + r + " " + r + r + r + r);
}

TEST(Base64Test, TextsDecodeAsTheirGoldenCasesSay) {
    for (auto& [line, text] : goldenCases("base64.txt")) {
        std::string out;
        try {
            out = base64Decode(text['>']);
        } catch (const std::out_of_range&) {
            out = "out of range";
        } catch (const std::runtime_error&) {
            out = "invalid";
        }
        EXPECT_EQ(out, text.count('!') ? text['!'] : text['<']) << line;
    }
}

TEST(Sha1Test, MessagesGiveTheirDigests) {
    for (auto& [line, text] : goldenCases("sha1.txt")) {
        const std::string& message = text['>'];
        Sha1 whole;
        whole.update(message);
        Sha1 split;
        split.update(message.substr(0, message.size() / 3));
        split.update(message.substr(message.size() / 3));
        EXPECT_EQ(whole.finalHex(), text['<']) << line;
        EXPECT_EQ(split.finalHex(), text['<']) << line;
        EXPECT_EQ(cardNumberFromDigest(text['<']), std::stoul(text['<'].substr(32), nullptr, 16));
    }
    Sha1 million;
    million.update(std::string(1000000, 'a'));
    EXPECT_EQ(million.finalHex(), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F");
    EXPECT_EQ(cardNumberFromDigest("00000000deadbeef"), 0xDEADBEEFu);
    const std::string malformed[] = {"ABCDEF1", "0x123456", std::string("1234") + '\0' + "567"};
    for (const std::string& text : malformed)
        EXPECT_THROW(cardNumberFromDigest(text), std::invalid_argument) << text;
}

}  // namespace
