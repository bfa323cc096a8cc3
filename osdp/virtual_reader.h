// One virtual card reader on the line: its address and identity, its Secure
// Channel, the cards and the status report waiting for the panel's polls, and
// the reply it gave last. Answering a frame is one road, answer().
//
// Two threads use a reader. The main thread answers frames; the web worker
// offers cards, sets the tamper state and reads the status and figures. What
// both touch is guarded by the lock its owner hands in, shared by the readers
// of one device; the rest belongs to the main thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "osdp/card_queue.h"
#include "osdp/clock.h"
#include "osdp/figures.h"
#include "osdp/journal.h"
#include "osdp/output_state.h"
#include "osdp/protocol.h"
#include "osdp/reply_builder.h"
#include "osdp/secure_channel.h"
#include "util/line_settings.h"
#include "util/mutex.h"

// The frames one reader answered: counts since start, and when.
struct ReaderDiagnostics {
    uint32_t framesAnswered = 0;   // every frame answered, repeats included
    uint32_t repeatsAnswered = 0;  // of those, answered with the stored reply
    int64_t msSinceFrame = -1;     // since the last frame answered
    bool polling = false;          // a frame answered within the last 2 seconds
};

// What the status document shows of one reader.
struct ReaderStatus {
    uint8_t address = 0;
    uint32_t lastCard = 0;
    uint8_t tamper = 0;
    std::string lastLpr;
};

class VirtualReader {
  public:
    // Reader index (0 or 1) on the line of its device, whose settings give
    // its address, with the lock that guards them, and the clocks, cipher and
    // journal of its device. REQUIRES: all of them outlive the reader.
    VirtualReader(int index, LineSettings& line, Mutex& lock, const WallClock& wall,
                  const MonotonicClock& monotonic, const ScCipher& cipher,
                  Journal& journal) noexcept;
    VirtualReader(const VirtualReader&) = delete;
    VirtualReader& operator=(const VirtualReader&) = delete;

    // Main thread. Answers a frame to this reader whose check code is right,
    // its last byte taken at (monotonic microseconds): a repeat gets the
    // stored reply again; otherwise the Secure Channel opens the frame, what
    // the panel confirmed is settled, the reply is built, sealed and stored.
    // Returns its length in reply. An osdp_COMSET the readers can take moves
    // the reader, and the line's rate, once the reply is built: the reply
    // still comes from the old address, and goes out at the old rate.
    // REQUIRES: reply holds kMaxReplyLength bytes; length <= kMaxFrameLength.
    size_t answer(const uint8_t* frame, size_t length, int64_t at, uint8_t* reply) EXCLUDES(lock_);

    // Main thread. True once after answer() moved the line's settings.
    bool takeLineMove() { return std::exchange(lineMoved_, false); }

    // Main thread. True when frame repeats the last frame this reader
    // answered, byte for byte, at whatever address: the panel missed the
    // reply and sends the command again.
    bool repeats(const uint8_t* frame, size_t length) const;

    // Main thread, before the line is open.
    void setSerialNumber(uint32_t serialNumber) { serialNumber_ = serialNumber; }
    void setSecurity(ScMode mode, const AesKey* key, SecureChannel::KeyStore keyStore);
    void setCardMaxAge(int64_t micros) EXCLUDES(lock_);

    // Web worker. Offers a card now, arrived on the monotonic clock (see
    // CardQueue::offer).
    void injectCard(uint32_t card, std::optional<int64_t> arrived = std::nullopt) EXCLUDES(lock_);
    // Web worker. Sets the tamper state; the next poll reports it.
    void setTamper(bool tampered) EXCLUDES(lock_);
    // Web worker. The plate text of the latest plate event for the reader.
    void setLastLpr(const std::string& plate) EXCLUDES(lock_);

    // Any thread.
    uint8_t address() const EXCLUDES(lock_);
    ReaderStatus status() const EXCLUDES(lock_);
    ReaderDiagnostics diagnostics(int64_t now) const;
    CardDiagnostics cards() const EXCLUDES(lock_);

    // What the next polls carry: shared with the web worker, which offers the
    // cards through injectCard and setTamper.
    CardQueue queue GUARDED_BY(lock_);

  private:
    // What the latest osdp_COMSET asked for, and whether the readers took it.
    struct ComsetRequest {
        uint8_t address = 0;
        uint32_t baud = 0;
        bool taken = false;
    };

    // The command in the frame as the reader's mode lets it through; in a
    // Secure Channel mode the channel may have answered it already.
    ScInbound open(const uint8_t* frame, size_t length, uint8_t* reply);
    // The plain reply to a command let through, taken at (monotonic
    // microseconds).
    size_t buildReply(const ScInbound& in, uint8_t frameCode, int64_t at, uint8_t* reply)
        REQUIRES(lock_);
    // Carries out a command the reader answers, taken at; a poll's item.
    PollItem carryOut(const Command& cmd, int64_t at) REQUIRES(lock_);
    void comset(const uint8_t* data) REQUIRES(lock_);
    void remember(const uint8_t* frame, size_t length, const uint8_t* reply, size_t replyLength);
    void logSecurity(const ScInbound& in) const;
    void logComset() EXCLUDES(lock_);

    const int index_;
    Mutex& lock_;
    const WallClock& wall_;
    Journal& journal_;

    // Both readers' addresses and the line's rate, shared with the other
    // reader: a reader moves only to an address the other does not hold.
    LineSettings& line_ GUARDED_BY(lock_);
    uint8_t tamper_ GUARDED_BY(lock_) = 0;
    std::string lastLpr_ GUARDED_BY(lock_);

    // Main thread only from here on.
    uint32_t serialNumber_;
    SecureChannel secure_;
    OutputState output_;
    std::optional<ComsetRequest> comset_;
    bool lineMoved_ = false;
    // Controllers resend a command whose reply they missed, byte for byte with
    // the same sequence number; such a repeat gets the stored reply again, so
    // that a card or status report carried by a lost reply is neither lost
    // nor taken twice.
    std::array<uint8_t, kMaxFrameLength> lastFrame_{};
    size_t lastFrameLength_ = 0;
    std::array<uint8_t, kMaxReplyLength> lastReply_{};
    size_t lastReplyLength_ = 0;

    // Written by the main thread only (see figures.h).
    std::atomic<int64_t> lastFrameAt_{kNever};
    std::atomic<uint32_t> framesAnswered_{0};
    std::atomic<uint32_t> repeatsAnswered_{0};
};
