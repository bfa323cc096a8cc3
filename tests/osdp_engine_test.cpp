// The engine: every golden transcript, then what a transcript cannot hold: many
// byte streams, two threads, Secure Channel wire recordings, the key file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <thread>

#include "app/key_file.h"
#include "osdp_test_frames.h"
#include "tests/golden.h"
#include "tests/transcript.h"
#include "util/log.h"
#include "web/journal_document.h"
#include "web/web_service.h"

namespace {

// Plays a transcript against a fresh engine (RND.B always A0..A7): the bytes of a
// '>' line go in one by one; the reply must come on the last and equal the '<' line.
//   mode R plain|secure|install [KEY]  reader R's Secure Channel mode and key
//   keystore ok|fail   whether a key set by osdp_KEYSET can be stored
//   card R HEX, tamper R on|off  what a plate event or the web command gives reader R
//   wait MICROS        both clocks move on
//   setclock MICROS    the wall clock alone is set forward (or back, negative)
//   maxage SECONDS     the age past which waiting cards are not sent (0: none)
//   line A1 A2 BAUD    the line settings a start reads: the readers' addresses, the rate
//   expect NAME VALUE  the status or diagnostics document has <NAME>VALUE</NAME>
//   debug LEVEL; log TEXT, nolog TEXT  log level; logged since the last '>', or not
//   journal TEXT       the journal document holds TEXT (its words joined by blanks)
class Player {
  public:
    // The camera serial number the black-box tests' daemon reads too.
    Player() { osdp_.setCameraSerial("ACCC8E0B1234"); }

    void play(const std::vector<TranscriptLine>& lines) {
        DebugLevel = 1;
        const TranscriptLine* sent = nullptr;  // the '>' line awaiting its '<'
        std::vector<size_t> answered;
        for (const TranscriptLine& line : lines) {
            SCOPED_TRACE("line " + std::to_string(line.number));
            EXPECT_EQ(sent != nullptr, line.word == "<") << "a '<' line follows each '>' line";
            if (line.word == ">") {
                EXPECT_FALSE(line.bytes.empty()) << "hex bytes expected";
                sent = &line;
                testing::internal::CaptureStdout();
                answered = feed(osdp_, line.bytes);
                log_ = testing::internal::GetCapturedStdout();
            } else if (line.word == "<" && sent != nullptr) {
                EXPECT_TRUE(!line.bytes.empty() || line.args == std::vector<std::string>{"none"})
                    << "hex bytes or none expected";
                const Bytes replied = answered.empty() ? Bytes{} : reply(osdp_);
                std::string got = hexDump(replied.data(), replied.size());
                if (!answered.empty() && answered != std::vector<size_t>{sent->bytes.size() - 1})
                    got = "answered before the last byte";
                EXPECT_EQ(hexDump(line.bytes.data(), line.bytes.size()), got);
                sent = nullptr;
            } else {
                directive(line.word, line.args);
            }
        }
    }

  private:
    void directive(const std::string& word, const std::vector<std::string>& args) {
        const std::string last = args.empty() ? "" : args.back();
        const int reader = std::atoi(args.empty() ? "0" : args[0].c_str()) - 1;
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
        } else if (word == "keystore") {
            storeKeys_ = last == "ok";
        } else if (word == "card") {
            testing::internal::CaptureStdout();
            osdp_.injectCard(reader, static_cast<uint32_t>(std::stoul(last, 0, 16)));
            log_ += testing::internal::GetCapturedStdout();
        } else if (word == "tamper") {
            osdp_.setTamper(reader, last == "on");
        } else if (word == "wait") {
            wallMicros_ += std::stoll(last);
            monotonic_ += std::stoll(last);
        } else if (word == "setclock") {
            wallMicros_ += std::stoll(last);
        } else if (word == "expect") {
            const std::string element =
                "<" + args.at(0) + ">" + (args.size() > 1 ? last : "") + "</" + args[0] + ">";
            EXPECT_NE((web_.statusDocument("") + web_.diagnosticsDocument()).find(element),
                      std::string::npos)
                << element;
        } else if (word == "line") {
            LineSettings settings;
            settings.readerAddress = {static_cast<uint8_t>(std::stoi(args.at(0))),
                                      static_cast<uint8_t>(std::stoi(args.at(1)))};
            settings.baud = static_cast<uint32_t>(std::stoul(args.at(2)));
            osdp_.setLineSettings(settings);
        } else if (word == "maxage") {
            osdp_.setCardMaxAge(std::stoll(last) * 1000000);
        } else if (word == "debug") {
            DebugLevel = std::stoi(last);
        } else if (word == "journal") {
            const std::string text = joinedArgs(args);
            const std::string doc =
                journalDocument(osdp_.journal.latest(Journal::kCapacity), monotonic_);
            EXPECT_NE(doc.find(text), std::string::npos) << text << " in:\n" << doc;
        } else if (word == "log" || word == "nolog") {
            const std::string text = joinedArgs(args);
            EXPECT_EQ(log_.find(text) != std::string::npos, word == "log") << text << " in:\n"
                                                                           << log_;
        } else {
            ADD_FAILURE() << "unknown directive " << word;
        }
    }

    static std::string joinedArgs(const std::vector<std::string>& args) {
        std::string text;
        for (const std::string& arg : args)
            text += (text.empty() ? "" : " ") + arg;
        return text;
    }

    int64_t wallMicros_ = 1700000000000000;
    int64_t monotonic_ = 1000000;
    bool storeKeys_ = true;
    std::string log_;
    OsdpPeripheral osdp_{[this] {
                             return WallTime{wallMicros_ / 1000000, wallMicros_ % 1000000};
                         },
                         [this] { return monotonic_; }, pinnedCipher()};
    WebService web_{osdp_};
};

std::vector<std::string> transcriptFiles() {
    std::vector<std::string> paths;
    for (const auto& file : std::filesystem::directory_iterator(KANZO_TRANSCRIPTS))
        paths.push_back(file.path());
    std::sort(paths.begin(), paths.end());
    return paths;
}

// A test's name from a file's: "plain-replies.txt" is plain_replies.
std::string caseName(const std::string& path) {
    std::string name = std::filesystem::path(path).stem();
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
    return name;
}

class Transcript : public testing::TestWithParam<std::string> {};

TEST_P(Transcript, IsReplayedByteForByte) {
    Player().play(readTranscript(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Engine, Transcript, testing::ValuesIn(transcriptFiles()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             return caseName(info.param);
                         });

// Garbage of every length, rich in start bytes, then one poll sent many times: only
// ends of polls are answered, and all once the garbage's lengths (<= 914) pass.
TEST(Receiver, GarbageBeforeARetriedPollLosesOnlyItself) {
    const Bytes poll = commandFrame(0x0A, kCrcFlag | 1, kCmdPoll);
    const size_t copies = kMaxFrameLength / poll.size() + 10;
    uint32_t seed = 12345;
    for (size_t garbage = 0; garbage < 300; ++garbage) {
        OsdpPeripheral osdp;
        Bytes stream;
        while (stream.size() < garbage) {
            seed = seed * 1103515245 + 12345;
            stream.push_back((seed >> 16 & 3) == 0 ? kStartOfMessage
                                                   : static_cast<uint8_t>(seed >> 16));
        }
        for (size_t copy = 0; copy < copies; ++copy)
            stream.insert(stream.end(), poll.begin(), poll.end());
        const std::vector<size_t> answered = feed(osdp, stream);
        EXPECT_GE(answered.size(), copies - (kMaxFrameLength + 1 + poll.size()) / poll.size())
            << garbage;
        for (size_t at : answered)
            EXPECT_EQ((at + 1 - garbage) % poll.size(), 0u) << garbage << " " << at;
    }
}

// The web worker offers cards and reads the line figures while polls are
// answered; under ThreadSanitizer this also proves every shared field locked.
// The monotonic clock stands still, so that a test thread preempted in the
// middle of a frame does not trip the pause rule.
TEST(Concurrency, InjectionsRacingPollsDeliverEachCardOnce) {
    constexpr uint32_t kCards = 4000;
    OsdpPeripheral osdp(systemWallTime, [] { return int64_t{1000000}; });
    std::atomic<uint32_t> lastSeen[2] = {{0}, {0}};
    std::atomic<bool> injecting{true};

    // Cards 1..kCards alternate between the readers. Every tenth waits until
    // it is collected, so that many go out while others are stored mid-poll.
    std::thread worker([&] {
        for (uint32_t card = 1; card <= kCards; ++card) {
            const int reader = card % 2;
            osdp.injectCard(reader, card);
            osdp.diagnostics();  // as the status page reads it
            while (card % 10 == 0 && lastSeen[reader].load() < card)
                std::this_thread::yield();
        }
        injecting = false;
    });

    uint32_t polls = 0;
    uint8_t sequence = 0;
    std::vector<uint32_t> received[2];
    for (bool last = false; !last; ++polls) {
        last = !injecting;
        for (int reader = 0; reader < 2; ++reader) {
            sequence = sequence % 3 + 1;
            feed(osdp, commandFrame(osdp.reader(reader).address(), kCrcFlag | sequence, kCmdPoll));
            if (osdp.replyBuf[kCodeOffset] != kReplyRaw)
                continue;
            // Reader number, format, bit count (2 bytes), then the card.
            received[reader].push_back(decodeBigEndian32(&osdp.replyBuf[kDataOffset + 4]));
            lastSeen[reader] = received[reader].back();
        }
    }
    worker.join();
    for (int reader = 0; reader < 2; ++reader) {
        EXPECT_EQ(osdp.diagnostics().reader[reader].framesAnswered, polls);
        // Strictly rising (nothing twice, nothing stale), the last one never lost.
        const std::vector<uint32_t>& cards = received[reader];
        EXPECT_EQ(std::adjacent_find(cards.begin(), cards.end(),
                                     [](uint32_t a, uint32_t b) { return a >= b; }),
                  cards.end());
        ASSERT_FALSE(cards.empty());
        EXPECT_EQ(cards.back(), kCards - static_cast<uint32_t>(reader));
        // Each card arrived or was counted out of a full queue.
        EXPECT_EQ(cards.size() + osdp.diagnostics().cards[reader].dropped, kCards / 2);
    }
    // Every card that was waited for (all of them reader 1's) arrived.
    for (uint32_t card = 10; card <= kCards; card += 10)
        EXPECT_TRUE(std::binary_search(received[0].begin(), received[0].end(), card)) << card;
}

TEST(CardMaxAge, SettingTakesWholeSecondsUpToADay) {
    for (auto& [line, text] : goldenCases("card-max-ages.txt")) {
        int64_t micros = -1;
        const bool taken = parseCardMaxAge(text['>'], &micros);
        EXPECT_EQ(taken ? std::to_string(micros) : "refused", text['<']) << line;
        EXPECT_TRUE(taken || micros == -1) << line;  // a refusal changes nothing
    }
}

const AesKey kKey = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// Replays a recording through one reader's channel (cUID, RND.B: its osdp_CCRYPT's)
// up to a reply marked NON-CONFORMING; returns the exchanges. A command it
// dispatches gets the recorded reply's code and plain data, the rest is its own.
size_t replay(const char* name, ScMode mode, const AesKey* key) {
    const std::string path = std::string(KANZO_FIXTURES) + "/" + name;
    const std::vector<TranscriptLine> frames = readTranscript(path);
    std::ifstream file(path);
    std::vector<std::string> lines(1);  // lines[n] is line n, and one follows the last
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    lines.emplace_back();
    std::array<uint8_t, 8> rndB{};
    ScCipher cipher = systemCipher();
    cipher.random = [&rndB](uint8_t* out, size_t count) {
        std::copy_n(rndB.begin(), count, out);
        return true;
    };
    SecureChannel channel(cipher);
    bool configured = false;
    size_t exchanges = 0;
    for (; 2 * exchanges + 1 < frames.size(); ++exchanges) {
        const Bytes& command = frames[2 * exchanges].bytes;
        const Bytes& bytes = frames[2 * exchanges + 1].bytes;
        const int number = frames[2 * exchanges + 1].number;
        if (lines[number].find("NON-CONFORMING") != std::string::npos)
            break;
        const bool sealed = (bytes[kControlOffset] & kScbFlag) != 0;
        if (sealed && bytes[kHeaderLength + 1] == kScbClientCryptogram) {
            std::array<uint8_t, 8> cuid;
            std::copy_n(bytes.begin() + 9, cuid.size(), cuid.begin());
            std::copy_n(bytes.begin() + 17, rndB.size(), rndB.begin());
            if (!std::exchange(configured, true))
                channel.configure(mode, key, cuid,
                                  [](const AesKey& stored) { return stored == kKey; });
        }
        // An encrypted reply's data: "plain+pad" in the comment after it, less 80 00..
        const std::string& next = lines[number + 1];
        const size_t at = next.find("plain+pad ");
        Bytes data(bytes.begin() + kDataOffset, bytes.end() - kCrcLength);
        if (sealed)
            data = at == next.npos
                       ? Bytes{}
                       : hexBytes({next.substr(at + 10, next.find_last_not_of('0') - at - 10)});
        std::array<uint8_t, kMaxReplyLength> reply{};
        const ScInbound in = channel.receive(command.data(), command.size(), reply.data());
        size_t length = in.replyLength;
        if (in.dispatch) {
            const Bytes plain =
                replyFrame(command[kAddressOffset], command[kControlOffset] & kSequenceMask,
                           bytes[sealed ? kHeaderLength + 2 : kCodeOffset], data);
            std::copy(plain.begin(), plain.end(), reply.begin());
            length = channel.sealReply(reply.data(), plain.size());
        }
        EXPECT_EQ(hexDump(bytes.data(), bytes.size()), hexDump(reply.data(), length))
            << name << ":" << number;
    }
    return exchanges;
}

struct Recording {
    const char* file;
    ScMode mode;
    const AesKey* key;
    size_t exchanges;  // up to the first non-conforming reply
};

const AesKey kZeroKey{};

class SecureChannelRecording : public testing::TestWithParam<Recording> {};

TEST_P(SecureChannelRecording, IsReproducedByteForByte) {
    EXPECT_EQ(replay(GetParam().file, GetParam().mode, GetParam().key), GetParam().exchanges);
}

// In the install-mode recording the reader's key is all zero: its controller
// falls back to SCBK-D and sets kKey.
INSTANTIATE_TEST_SUITE_P(
    SecureChannel, SecureChannelRecording,
    testing::Values(Recording{"sc-worked-example-reader1.txt", ScMode::install, nullptr, 12},
                    Recording{"sc-session-reader10.txt", ScMode::secure, &kKey, 32},
                    Recording{"sc-install-mode-reader10.txt", ScMode::install, &kZeroKey, 16}),
    [](const testing::TestParamInfo<Recording>& info) { return caseName(info.param.file); });

// A key set over the line replaces the key file whole or not at all: a key
// that cannot be stored leaves the old one in use (the rewrite itself is
// KeyFileTest.KeysLiveOnlyInAPrivateRegularFile's).
TEST(SecureKeyFile, NewKeyReplacesTheFileAtomically) {
    const std::string dir = testing::TempDir() + "kanzo_keyset_" + std::to_string(getpid());
    const std::string path = dir + "/osdp-keys";
    std::filesystem::create_directories(dir);
    KeyFile file(path);
    std::string error;
    ASSERT_TRUE(file.load(&error) && file.storeKey(0, kKey)) << error;
    // Nothing can be created where the directory was, not even by root.
    std::filesystem::rename(dir, dir + ".moved");
    std::ofstream(dir) << "not a directory\n";
    DebugLevel = 1;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(file.storeKey(0, AesKey{}));
    EXPECT_NE(testing::internal::GetCapturedStdout().find(path + " not written, reader 1 keeps"),
              std::string::npos);
    EXPECT_EQ(file.keys()[0].key, kKey);
    std::filesystem::remove(dir);
    std::filesystem::remove_all(dir + ".moved");
}

}  // namespace
