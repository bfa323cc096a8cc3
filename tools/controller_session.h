// The osdp_controller tool's polling session over a set of readers: which
// command each reader gets next, and one event line for each reply.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "osdp/secure_frames.h"
#include "tools/controller_frames.h"
#include "tools/controller_secure_channel.h"

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
        // The next command of the answer to a card read: the LED's, then the
        // buzzer's; poll when none is due.
        Step cardAnswer = Step::poll;
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
