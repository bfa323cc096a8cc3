// The controller side of OSDP, as far as the osdp_controller tool needs it:
// command frames, reply frames taken from the line, and a polling session over
// a set of readers that turns replies into one event line each.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "osdp/protocol.h"
#include "osdp/secure_channel.h"

// A command frame to the device at address, with the security block scb when
// there is one, ending in a CRC-16.
// REQUIRES: address <= 0x7F; sequence 0 to 3; data short enough for a frame.
std::vector<uint8_t> buildCommandFrame(uint8_t address, uint8_t sequence, uint8_t command,
                                       const std::vector<uint8_t>& data = {},
                                       const std::vector<uint8_t>& scb = {});

// A reply frame whose check code was right.
struct OsdpReply {
    uint8_t address = 0;  // of the device, without the reply bit
    uint8_t sequence = 0;
    uint8_t code = 0;
    std::vector<uint8_t> data;   // from offset 6 up to the check code
    std::vector<uint8_t> frame;  // the whole frame, as the secure channel needs it
};

// The controller's side of one reader's Secure Channel: the handshake, then
// commands sealed and replies opened along the MAC chain. A command that is
// sent again unchanged keeps the chain, as the reader expects of a repeat.
class ControllerSecureChannel {
  public:
    // Keeps its own copy of the cipher, so a temporary such as systemCipher()
    // may be passed.
    explicit ControllerSecureChannel(ScCipher cipher) : cipher_(std::move(cipher)) {}

    // osdp_CHLNG keyed with key, announced by keyByte (kKeyBase or
    // kKeyDefault), with a fresh RND.A; empty when no random bytes came.
    std::vector<uint8_t> challenge(uint8_t address, uint8_t sequence, const AesKey& key,
                                   uint8_t keyByte);
    // Checks the reader's osdp_CCRYPT; false when the cryptogram shows that
    // the reader holds another key.
    bool acceptClientCryptogram(const OsdpReply& reply);
    // osdp_SCRYPT. REQUIRES: acceptClientCryptogram was true.
    std::vector<uint8_t> confirm(uint8_t address, uint8_t sequence) const;
    // Checks the reader's osdp_RMAC_I; true starts the session.
    bool acceptInitialRmac(const OsdpReply& reply);

    bool active() const { return active_; }
    void end() { active_ = false; }

    // A command in the session: MAC only without data, else encrypted.
    // REQUIRES: active().
    std::vector<uint8_t> seal(uint8_t address, uint8_t sequence, uint8_t code,
                              const std::vector<uint8_t>& data = {});
    // Opens the reply to the command last sealed: code and plain data. False,
    // and the session ends, for a reply in clear or with a wrong MAC.
    bool open(const OsdpReply& reply, uint8_t* code, std::vector<uint8_t>* data);

  private:
    ScCipher cipher_;
    ScKeys keys_;
    uint8_t keyByte_ = kKeyBase;
    uint8_t rndA_[8] = {};
    uint8_t rndB_[8] = {};
    bool active_ = false;
    AesBlock rmac_{};
    AesBlock cmac_{};
};

// Collects the bytes from the line and takes whole reply frames out of them.
// Anything that is not a whole reply with a right CRC-16 or checksum (noise,
// commands, echoes of our own frames) is skipped up to the next start byte.
class ReplyCollector {
  public:
    void push(const uint8_t* bytes, size_t count);

    // Takes the next whole reply out of the bytes pushed so far; false when no
    // complete reply is there (yet).
    bool nextReply(OsdpReply* reply);

    // Drops the bytes of an unfinished frame, e.g. after a reply time-out, so
    // that a damaged length field cannot hold up later replies.
    void clear() {
        buffer_.clear();
        damagedFrames_ = 0;
    }

    // Frames skipped since the last clear because their check code was wrong.
    int damagedFrames() const { return damagedFrames_; }

  private:
    std::vector<uint8_t> buffer_;
    int damagedFrames_ = 0;
};

// Secure Channel for every reader of a ControllerSession.
struct ControllerSecurity {
    // REQUIRES: outlives the session.
    const ScCipher* cipher = nullptr;
    // The readers' base key; without it the first handshake uses SCBK-D.
    bool hasKey = false;
    AesKey key{};
    // A key to set with osdp_KEYSET in the first session, then used.
    bool install = false;
    AesKey newKey{};
};

// Polls a set of readers in turn. Each reader is asked once for its
// identification and capabilities, then polled; sequence numbers run 0 (first
// frame of a session), 1, 2, 3, 1, ... per reader. A command whose reply was
// missed is sent again unchanged, with the same sequence number. After
// missLimit misses in a row the reader is offline and its next session starts
// again at sequence 0 with the identification request. With security, each
// reader's polls go through a Secure Channel session, opened by a handshake at
// sequence 0 after the capabilities and again whenever the session is lost.
//
// A damaged reply (wrong check code) counts as a miss, unless the session is
// told to rest readers: then, as libosdp's controller and many panels do, it
// takes the reader offline at once and leaves it alone for the rest time
// before starting the new session.
class ControllerSession {
  public:
    using Clock = std::chrono::steady_clock;

    // REQUIRES: addresses not empty, each at most 0x7E; missLimit >= 1.
    explicit ControllerSession(const std::vector<uint8_t>& addresses, int missLimit = 3,
                               const ControllerSecurity* security = nullptr);

    // A damaged reply takes its reader offline for rest. REQUIRES: rest > 0.
    void restAfterDamage(std::chrono::milliseconds rest) { damageRest_ = rest; }
    bool restsAfterDamage() const { return damageRest_.count() > 0; }

    // The frame to send at now, to the next reader whose turn it is and that
    // is not resting; empty when every reader rests. By default no rest
    // holds any more.
    const std::vector<uint8_t>& nextCommand(Clock::time_point now = Clock::time_point::max());

    // True when the reply answers the frame last returned by nextCommand.
    bool answers(const OsdpReply& reply) const;

    // The frame last returned by nextCommand was answered; the turn passes to
    // the next reader. Returns the event lines (without line ends).
    // REQUIRES: answers(reply).
    std::vector<std::string> onReply(const OsdpReply& reply);

    // The frame last returned by nextCommand got no reply in time; the turn
    // passes to the next reader. Returns the event lines.
    std::vector<std::string> onNoReply();

    // The frame last returned by nextCommand got a damaged reply at now.
    // Returns the event lines.
    std::vector<std::string> onDamagedReply(Clock::time_point now);

    int cardReads() const { return cardReads_; }

    // Answers each card read as a panel that grants access: the reader's next
    // command is osdp_LED, LED 0 steady in colour for 3 seconds, then osdp_BUZ,
    // one short beep of the default tone. REQUIRES: colour 0 to 7.
    void answerCards(uint8_t colour) {
        answerCards_ = true;
        answerColour_ = colour;
    }
    // True while a card read's answer is still to be sent.
    bool answerPending() const;

  private:
    enum class Link { unknown, online, offline };
    // What the outstanding frame asks.
    enum class Step {
        identity,
        capabilities,
        poll,
        challenge,
        confirm,
        setKey,
        sealedPoll,
        led,  // the answer to a card read, sealed in a session
        buzzer,
    };
    struct Reader {
        uint8_t address = 0;
        Link link = Link::unknown;
        bool identityAsked = false;
        bool capabilitiesAsked = false;
        uint8_t sequence = 0;
        int misses = 0;
        std::vector<uint8_t> outstanding;  // sent, not answered yet
        Step step = Step::identity;
        std::shared_ptr<ControllerSecureChannel> secure;
        bool confirming = false;  // the reader's cryptogram was right
        enum class NewKey { pending, installed, refused } newKey = NewKey::pending;
        bool refusalShown = false;
        // Commands of the answer to a card read still to send: LED, buzzer.
        int answerDue = 0;
        Clock::time_point restUntil{};  // no new session before
    };

    Step nextStep(const Reader& reader) const;
    std::vector<uint8_t> buildFrame(Reader& reader, Step step);
    // A command with data, in clear or sealed in the reader's session.
    std::vector<uint8_t> commandFrame(Reader& reader, uint8_t code,
                                      const std::vector<uint8_t>& data);
    void onCardRead(Reader& reader);
    void onSecureReply(Reader& reader, const OsdpReply& reply, std::vector<std::string>* lines);
    void onHandshakeReply(Reader& reader, const OsdpReply& reply, std::vector<std::string>* lines);
    void takeOffline(Reader& reader, std::vector<std::string>* lines);
    void passTurn();

    std::vector<Reader> readers_;
    const int missLimit_;
    const ControllerSecurity* security_;
    std::chrono::milliseconds damageRest_{0};
    size_t turn_ = 0;
    int cardReads_ = 0;
    bool answerCards_ = false;
    uint8_t answerColour_ = 0;
};

// The event line of a reply from the reader at address to the given command,
// empty when there is nothing to tell (an acknowledgement).
std::string describeReply(uint8_t command, const OsdpReply& reply);
