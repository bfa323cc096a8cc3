// Replays each golden transcript of tests/transcripts against a fresh engine.
// The bytes of a '>' line go in one by one; the reply must come on the last of
// them and equal the '<' line byte for byte. Directives:
//   mode R plain|secure|install [KEY]  reader R's Secure Channel mode and key
//   random HEX         what the random source gives every time (the RND.B)
//   keystore ok|fail   whether a key set by osdp_KEYSET can be stored
//   card R HEX         a card offered to reader R, as a plate event offers it
//   tamper R on|off    reader R's tamper state, as the web command sets it
//   wait MICROS        both clocks move on; step MICROS: the wall clock alone
//   expect NAME VALUE  the status or diagnostics document has <NAME>VALUE</NAME>
//   debug LEVEL        the log level; log TEXT: the log since the last '>' has it
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "osdp/osdp_peripheral.h"
#include "tests/transcript.h"
#include "util/log.h"
#include "web/web_service.h"

namespace {

class Player {
  public:
    void play(const std::vector<TranscriptLine>& lines) {
        const int32_t savedLevel = DebugLevel;
        DebugLevel = 1;
        const TranscriptLine* sent = nullptr;  // the '>' line awaiting its '<'
        std::vector<size_t> answered;
        for (const TranscriptLine& line : lines) {
            SCOPED_TRACE("line " + std::to_string(line.number));
            EXPECT_TRUE(sent == nullptr || line.word == "<")
                << "no '<' after line " << sent->number;
            if (line.word == ">") {
                sent = &line;
                answered.clear();
                log_.clear();
                logged([&] {
                    for (size_t i = 0; i < line.bytes.size(); ++i) {
                        if (osdp_.receiveByte(line.bytes[i]))
                            answered.push_back(i);
                    }
                });
            } else if (line.word == "<" && sent != nullptr) {
                EXPECT_EQ(answered, line.bytes.empty()
                                        ? std::vector<size_t>{}
                                        : std::vector<size_t>{sent->bytes.size() - 1});
                if (!line.bytes.empty() && !answered.empty()) {
                    EXPECT_EQ(hexDump(line.bytes.data(), line.bytes.size()),
                              hexDump(osdp_.replyBuf.data(), static_cast<size_t>(osdp_.replyLen)));
                }
                sent = nullptr;
            } else {
                directive(line.word, line.args);
            }
        }
        EXPECT_EQ(sent, nullptr) << "the last '>' has no '<'";
        DebugLevel = savedLevel;
    }

  private:
    // Runs step with what it logs added to log_.
    template <typename Step>
    void logged(Step step) {
        testing::internal::CaptureStdout();
        step();
        log_ += testing::internal::GetCapturedStdout();
    }

    void directive(const std::string& word, const std::vector<std::string>& args) {
        const int reader = args.empty() ? -1 : std::atoi(args[0].c_str()) - 1;
        auto number = [&args](int base) {
            return std::stoll(args.at(args.size() - 1), nullptr, base);
        };
        if ((word == "mode" || word == "card" || word == "tamper") && (reader < 0 || reader > 1)) {
            ADD_FAILURE() << word << ": no reader " << reader + 1;
        } else if (word == "mode") {
            AesKey key;
            const bool hasKey = args.size() > 2 && parseHexKey(args[2], &key);
            const ScMode mode = args.at(1) == "secure"    ? ScMode::secure
                                : args.at(1) == "install" ? ScMode::install
                                                          : ScMode::plain;
            osdp_.setSecurity(reader, mode, hasKey ? &key : nullptr,
                              [this](int, const AesKey&) { return storeKeys_; });
        } else if (word == "random") {
            random_.clear();
            std::istringstream in(args.at(0));
            EXPECT_TRUE(parseHexBytes(in, &random_));
        } else if (word == "keystore") {
            storeKeys_ = args.at(0) == "ok";
        } else if (word == "card") {
            logged([&] { osdp_.injectCard(reader, static_cast<uint32_t>(number(16))); });
        } else if (word == "tamper") {
            osdp_.setTamper(reader, args.at(1) == "on");
        } else if (word == "wait" || word == "step") {
            const int64_t total = wall_.seconds * 1000000 + wall_.micros + number(10);
            wall_ = WallTime{total / 1000000, total % 1000000};
            monotonic_ += word == "wait" ? number(10) : 0;
        } else if (word == "expect") {
            const std::string element =
                "<" + args.at(0) + ">" + (args.size() > 1 ? args[1] : "") + "</" + args.at(0) + ">";
            EXPECT_NE((web_.statusDocument("") + web_.diagnosticsDocument()).find(element),
                      std::string::npos)
                << element;
        } else if (word == "debug") {
            DebugLevel = static_cast<int32_t>(number(10));
        } else if (word == "log") {
            std::string text;
            for (const std::string& arg : args)
                text += (text.empty() ? "" : " ") + arg;
            EXPECT_NE(log_.find(text), std::string::npos) << text << "\nnot in:\n" << log_;
        } else {
            ADD_FAILURE() << "unknown directive " << word;
        }
    }

    ScCipher pinnedCipher() {
        ScCipher cipher = systemCipher();
        cipher.random = [this](uint8_t* out, size_t count) {
            for (size_t i = 0; i < count; ++i)
                out[i] = random_[i % random_.size()];
            return true;
        };
        return cipher;
    }

    WallTime wall_{1700000000, 0};
    int64_t monotonic_ = 1000000;
    std::vector<uint8_t> random_{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    bool storeKeys_ = true;
    std::string log_;  // since the last '>' line
    OsdpPeripheral osdp_{[this] { return wall_; }, [this] { return monotonic_; }, pinnedCipher()};
    WebService web_{osdp_};
};

class Transcript : public testing::TestWithParam<std::string> {};

TEST_P(Transcript, IsReplayedByteForByte) {
    std::vector<TranscriptLine> lines;
    std::string error;
    ASSERT_TRUE(readTranscript(GetParam(), &lines, &error)) << error;
    Player().play(lines);
}

INSTANTIATE_TEST_SUITE_P(Engine, Transcript, testing::ValuesIn(transcriptFiles(KANZO_TRANSCRIPTS)),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = std::filesystem::path(info.param).stem().string();
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
