// The web commands one by one: their replies and what they change.
#include <string>

#include "tests/web_fixture.h"

namespace {

using WebCommandsTest = WebFixture;

TEST(IsNumberTest, AcceptsDigitsWithOptionalLeadingMinusOnly) {
    for (const char* text : {"0", "007", "-0", "-12", "99999999999999999999"})
        EXPECT_TRUE(isNumber(text)) << text;
    for (const char* text : {"", "-", "+1", " 1", "1 ", "1.5", "--1", "1-", "0x1"})
        EXPECT_FALSE(isNumber(text)) << text;
}

// Saving the new level is checked with the configuration file.
TEST_F(WebCommandsTest, DebugLevelIsStoredAndEchoed) {
    EXPECT_EQ(web.processKey("DEBUG_LEVEL", "007"), "<DEBUG_LEVEL>7</DEBUG_LEVEL>");
    EXPECT_EQ(DebugLevel.load(), 7);

    EXPECT_EQ(web.processKey("DEBUG_LEVEL", "-0"), "<DEBUG_LEVEL>0</DEBUG_LEVEL>");
    EXPECT_EQ(DebugLevel.load(), 0);
    EXPECT_EQ(web.processKey("DEBUG_LEVEL", "2147483647"), "<DEBUG_LEVEL>2147483647</DEBUG_LEVEL>");
    EXPECT_EQ(DebugLevel.load(), 2147483647);
}

TEST_F(WebCommandsTest, RejectedDebugLevelsLeaveTheLevel) {
    const std::string invalid = "<response>Invalid Param</response>\n";
    for (const char* value : {"", "+3", " 3", "3 ", "3.0", "three", "-", "2147483648",
                              "-2147483649", "99999999999999999999999"}) {
        EXPECT_EQ(web.processKey("DEBUG_LEVEL", value), invalid) << value;
    }
    EXPECT_EQ(web.processKey("DEBUG_LEVEL", "-1"), "<response>Fail</response>\n");
    EXPECT_EQ(web.processKey("DEBUG_LEVEL", "-2147483648"), "<response>Fail</response>\n");
    EXPECT_EQ(DebugLevel.load(), 1);
}

TEST_F(WebCommandsTest, CardNumbersAreReadAsHexadecimalAndInjected) {
    EXPECT_EQ(web.processKey("CSN32LSB_Reader2", "1a2b"), "OK");
    EXPECT_EQ(pendingCard(1), 0x1A2Bu);
    EXPECT_EQ(pendingCard(0), 0u);

    EXPECT_EQ(web.processKey("CSN32LSB_Reader1", "  0xFFFFFFFFzz"), "OK");
    EXPECT_EQ(pendingCard(0), 0xFFFFFFFFu);

    // The same card within the repeat window still answers OK but is not queued again.
    collectCard(1);
    now.seconds += 1;
    EXPECT_EQ(web.processKey("CSN32LSB_Reader2", "1A2B"), "OK");
    EXPECT_EQ(pendingCard(1), 0u);

    EXPECT_EQ(web.processKey("CSN32LSB_Reader1", "0"), "OK");
    EXPECT_EQ(pendingCard(0), 0u);
    EXPECT_EQ(lastCard(0), 0u);
}

TEST_F(WebCommandsTest, UnreadableOrWideCardNumbersAreRefusedWithoutInjection) {
    const std::string invalid = "<response>Invalid Param</response>\n";
    for (const char* value : {"", "zz", "-", "x1", "100000000", "-1", "FFFFFFFFFFFFFFFFFF"}) {
        EXPECT_EQ(web.processKey("CSN32LSB_Reader1", value), invalid) << value;
        EXPECT_EQ(web.processKey("CSN32LSB_Reader2", value), invalid) << value;
    }
    EXPECT_EQ(pendingCard(0), 0u);
    EXPECT_EQ(pendingCard(1), 0u);
    now.seconds += 100;
    EXPECT_EQ(web.processKey("CSN32LSB_Reader1", "12"), "OK");
    EXPECT_EQ(pendingCard(0), 0x12u);
}

TEST_F(WebCommandsTest, PlateCommandsDigestTheBlankFreeTextAndInject) {
    DebugLevel.store(2);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(web.processKey("LPR_Reader2", "AB 123 CD"), "6D8CB9FB");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "LPR_Reader2 SHA1 [AC0426853B0947E3CE6AAFD6116C6A726D8CB9FB], CardNo=6D8CB9FB\n"
              "CSN32LSB=0x6D8CB9FB Reader=2\n");
    EXPECT_EQ(pendingCard(1), 0x6D8CB9FBu);
    EXPECT_EQ(pendingCard(0), 0u);

    // No case folding on this road.
    EXPECT_EQ(web.processKey("LPR_Reader1", "ab123cd"), "8BFF1D19");
    EXPECT_EQ(pendingCard(0), 0x8BFF1D19u);

    // Only blanks: the empty text.
    EXPECT_EQ(web.processKey("LPR_Reader1", "   "), "AFD80709");
    EXPECT_EQ(pendingCard(0), 0xAFD80709u);

    // Plate commands leave the plate texts of the status document alone.
    EXPECT_EQ(osdp.status().lastLpr[1], "");
}

TEST_F(WebCommandsTest, Sha1CommandFoldsToUpperCaseAndInjectsNothing) {
    EXPECT_EQ(web.processKey("sha1", "ab 123 cd"), "6D8CB9FB");
    EXPECT_EQ(web.processKey("sha1", "AB123CD"), "6D8CB9FB");
    EXPECT_EQ(web.processKey("sha1", ""), "AFD80709");
    EXPECT_EQ(pendingCard(0), 0u);
    EXPECT_EQ(pendingCard(1), 0u);
    EXPECT_EQ(lastCard(0), 0u);
}

TEST_F(WebCommandsTest, TamperFollowsTheNumberAndAlwaysAsksForAStatusReport) {
    struct Case {
        const char* key;
        const char* value;
        int reader;
        uint8_t tamper;
    };
    const Case cases[] = {{"tamper1", "2", 0, 1},          {"tamper1", "0", 0, 0},
                          {"tamper1", "-1", 0, 1},         {"tamper1", "x", 0, 0},
                          {"tamper2", " 7abc", 1, 1},      {"tamper2", "", 1, 0},
                          {"tamper2", "99999999999", 1, 0}};
    for (const Case& c : cases) {
        {
            MutexLock lock(osdp.mutex);
            osdp.tamper[c.reader] = c.tamper ^ 1;
            osdp.statusChanged = {0, 0};
        }
        EXPECT_EQ(web.processKey(c.key, c.value), "OK");
        MutexLock lock(osdp.mutex);
        EXPECT_EQ(osdp.tamper[c.reader], c.tamper) << c.key << "=" << c.value;
        EXPECT_EQ(osdp.statusChanged[c.reader], 1) << c.key << "=" << c.value;
        EXPECT_EQ(osdp.statusChanged[1 - c.reader], 0) << c.key << "=" << c.value;
    }
}

TEST_F(WebCommandsTest, UnknownKeysAreEchoedUnescapedAndCaseMatters) {
    EXPECT_EQ(web.processKey("Info", "1"), "<response>Unknown param:Info=1</response>\n");
    EXPECT_EQ(web.processKey("lpr", ""), "<response>Unknown param:lpr=</response>\n");
    EXPECT_EQ(web.processKey("a<b", "&c"), "<response>Unknown param:a<b=&c</response>\n");
}

}  // namespace
