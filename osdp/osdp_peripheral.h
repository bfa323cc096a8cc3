// The OSDP peripheral engine: two virtual card readers answering one OSDP
// controller. Bytes go in through receiveByte, the reply comes out in replyBuf.
// The engine does no I/O; its only outside inputs are the clock and the
// Secure Channel cipher with its random source that it is given.
//
// OsdpPeripheral wires the pieces and holds the lock the web worker shares:
// the frame receiver cuts frames from the line, the reply builder answers
// them, each reader's ReaderSlot holds its card and status delivery, and the
// Secure Channel of each reader wraps the plain replies in secure modes.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "osdp/card_delivery.h"
#include "osdp/clock.h"
#include "osdp/frame_receiver.h"
#include "osdp/journal.h"
#include "osdp/reply_builder.h"
#include "osdp/secure_channel.h"
#include "osdp/system_cipher.h"
#include "util/mutex.h"

// Consistent copy of what the status document shows, taken under the lock.
struct PeripheralStatus {
    std::array<uint8_t, kReaderCount> readerAddress{};
    std::array<uint32_t, kReaderCount> lastCard{};
    std::array<uint8_t, kReaderCount> tamper{};
    std::array<std::string, kReaderCount> lastLpr;
    uint32_t reqIn = 0;
    uint32_t reqOut = 0;
    bool restartRequired = false;
    bool saveRequired = false;
};

// The line as the installer's view shows it, taken by diagnostics(): counts
// since start, ages in milliseconds by the monotonic clock (-1: never).
struct ReaderDiagnostics {
    uint32_t framesAnswered = 0;   // every frame answered, repeats included
    uint32_t repeatsAnswered = 0;  // of those, answered with the stored reply
    int64_t msSinceFrame = -1;     // since the last frame answered
    bool polling = false;          // a frame answered within the last 2 seconds
};
// The cards of one reader: waiting now, and what became of them since start.
struct CardDiagnostics {
    uint32_t waiting = 0;
    int64_t oldestMs = -1;  // age of the oldest waiting card; -1: none waits
    uint32_t delivered = 0;
    uint32_t expired = 0;  // too old when their turn came
    uint32_t dropped = 0;  // pushed out of a full queue
};
struct LineDiagnostics : LineFigures {
    std::array<ReaderDiagnostics, kReaderCount> reader{};
    // Since the last byte received.
    int64_t msSinceByte = -1;
    std::array<CardDiagnostics, kReaderCount> cards{};
};

class OsdpPeripheral {
  public:
    using Clock = std::function<WallTime()>;
    // Microseconds that only ever grow; the default is monotonicMicros.
    using MonotonicClock = std::function<int64_t()>;
    // Persists a key that the controller set for reader index 0 or 1; false
    // when it could not be stored.
    using KeyStore = std::function<bool(int reader, const AesKey& key)>;

    explicit OsdpPeripheral(Clock clock = systemWallTime,
                            MonotonicClock monotonic = monotonicMicros,
                            ScCipher cipher = systemCipher());
    OsdpPeripheral(const OsdpPeripheral&) = delete;
    OsdpPeripheral& operator=(const OsdpPeripheral&) = delete;

    // Main thread. Takes one byte from the line; true when it completed a valid
    // frame for reader 1 or 2 and the reply is in replyBuf[0..replyLen).
    bool receiveByte(uint8_t b) EXCLUDES(mutex);

    // Main thread, before setSecurity: the camera's serial number text, from
    // which the readers' serial numbers and cUIDs are made.
    void setCameraSerial(const std::string& cameraSerial);

    // Main thread, before the line is open. Plain mode (the default) answers
    // as a reader without Secure Channel; secure and install mode take part
    // in it with the reader's base key (required for secure mode).
    // REQUIRES: reader is 0 or 1.
    void setSecurity(int reader, ScMode mode, const AesKey* key, KeyStore keyStore);

    // Main thread, before the line is open. Cards that waited longer than
    // this many microseconds are not sent; 0: no limit.
    void setCardMaxAge(int64_t micros) EXCLUDES(mutex);

    // Web worker. Offers a card to reader index 0 or 1 (see
    // ReaderSlot::injectCard). The journal records where it came from and
    // the plate it was made of (empty for a card number).
    // REQUIRES: reader is 0 or 1.
    void injectCard(int reader, uint32_t card, CardSource source = CardSource::cardCommand,
                    const std::string& plate = std::string()) EXCLUDES(mutex);

    // Web worker. Sets the tamper state and asks for a local status report on
    // the reader's next poll. REQUIRES: reader is 0 or 1.
    void setTamper(int reader, bool tampered) EXCLUDES(mutex);

    // Web worker. Records the plate text of the latest plate event delivered
    // to the reader. REQUIRES: reader is 0 or 1.
    void setLastLpr(int reader, const std::string& plate) EXCLUDES(mutex);

    // Main thread: one reply has been written to the line.
    void countReplyWritten() EXCLUDES(mutex);

    PeripheralStatus status() const EXCLUDES(mutex);

    // Any thread. The line figures as they stand now.
    LineDiagnostics diagnostics() const EXCLUDES(mutex);

    // The reply to the frame completed last; main thread only, so not locked.
    std::array<uint8_t, kMaxReplyLength> replyBuf{};
    size_t replyLen = 0;

    // Fixed for the life of the process.
    const std::array<uint8_t, kReaderCount> readerAddress{{kStartAddress[0], kStartAddress[1]}};
    std::string configPath = "localdata/kanzo.conf";

    // What became of each card, and what the panel told the reader after it.
    // Built from the clocks the engine is given (it is declared before them
    // and takes its own copies). Locked on its own.
    Journal journal;

    // Guards the readers' slots and the counters that both threads use.
    mutable Mutex mutex;
    std::array<ReaderSlot, kReaderCount> slots GUARDED_BY(mutex);
    uint32_t reqIn GUARDED_BY(mutex) = 0;
    uint32_t reqOut GUARDED_BY(mutex) = 0;
    bool restartRequired GUARDED_BY(mutex) = false;
    bool saveRequired GUARDED_BY(mutex) = false;

  private:
    // Builds (or, for a repeat, recalls) the reply to the frame the receiver
    // completed.
    void answerFrame(const std::string& time);
    // Builds the plain reply of currentReader into replyBuf. The panel's LED,
    // buzzer and text commands and the cards the reply carries go to the
    // journal.
    void buildReply(const Command& cmd) EXCLUDES(mutex);
    // Called for each frame to the reader that is not a repeat, before its
    // reply is built: confirms or offers again what the last reply carried.
    void settleDelivery(int reader) EXCLUDES(mutex);
    void secureReply(int reader);
    void logSecurity(int reader, const ScInbound& in);

    Clock clock_;
    MonotonicClock monotonic_;
    const ScCipher cipher_;
    FrameReceiver receiver_{readerAddress};
    ReplyBuilder replies_;
    std::array<SecureChannel, kReaderCount> secure_{
        {SecureChannel(cipher_), SecureChannel(cipher_)}};
    uint8_t currentReader = 0;

    // Controllers resend a command whose reply they missed, byte for byte with
    // the same sequence number; such a repeat gets the stored reply again so
    // that a card or status report carried by a lost reply is not lost.
    std::array<std::array<uint8_t, kMaxFrameLength>, kReaderCount> lastFrame_{};
    std::array<size_t, kReaderCount> lastFrameLen_{};
    std::array<std::array<uint8_t, kMaxReplyLength>, kReaderCount> lastReply_{};
    std::array<size_t, kReaderCount> lastReplyLen_{};

    // Per-reader figures; written by the main thread only (see FrameReceiver).
    std::array<std::atomic<int64_t>, kReaderCount> lastFrameAt_{};
    std::array<std::atomic<uint32_t>, kReaderCount> framesAnswered_{};
    std::array<std::atomic<uint32_t>, kReaderCount> repeatsAnswered_{};
};
