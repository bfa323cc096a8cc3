// The OSDP peripheral engine: two virtual card readers answering one OSDP
// controller. Bytes go in through receiveByte, the reply comes out in replyBuf.
// The engine does no I/O; its only outside inputs are the clock and the
// Secure Channel cipher with its random source that it is given.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "osdp/secure_channel.h"
#include "osdp/system_cipher.h"
#include "util/mutex.h"

// Wall-clock time as 64-bit seconds and microseconds, wide on 32-bit targets too.
struct WallTime {
    int64_t seconds = 0;
    int64_t micros = 0;
};

// The system's wall clock (gettimeofday).
WallTime systemWallTime();

// Microseconds of the system's monotonic clock, which wall-clock steps do not
// move. Coarse (a few milliseconds): ages shown to a person need no more.
int64_t monotonicMicros();

// Local time of day "%02d:%02d:%02d.%03d" that opens the engine's log lines.
std::string timeText(const WallTime& time);

// Each byte as two upper-case hexadecimal digits and a blank, as the trace
// lines show frames.
std::string hexDump(const uint8_t* data, size_t count);

constexpr int kReaderCount = 2;
constexpr size_t kFrameBufferSize = 1024;
// The longest reply is osdp_PDCAP (42 payload bytes) sealed for a secure
// session: 62 bytes.
constexpr size_t kMaxReplyLength = sessionFrameLength(42);
// The length field's low byte alone gives the frame length, so no frame the
// receiver takes is longer than this.
constexpr size_t kMaxFrameLength = 255;
// A pause longer than this inside a frame ends the frame as broken: well above
// the gaps a USB serial adapter leaves inside a burst, well below the time a
// controller waits for a reply before it sends again.
constexpr int64_t kFramePauseMicros = 50000;

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
struct LineDiagnostics {
    std::array<ReaderDiagnostics, kReaderCount> reader{};
    uint32_t badCheck = 0;  // frames whose CRC or checksum was wrong
    // frames whose length field was impossible, or that a pause cut short
    uint32_t badLength = 0;
    uint32_t foreignFrames = 0;   // valid frames for other devices on the bus
    uint32_t discardedBytes = 0;  // bytes outside any frame: noise, mark bytes
    // Since the last byte received.
    int64_t msSinceByte = -1;
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
    // OSDP frames are not byte-stuffed: a 0x53 inside a frame is data, and the
    // length field alone says where the frame ends. A frame that turns out
    // broken (impossible length, wrong check code) is taken apart again: its
    // bytes after the start byte are searched for the next 0x53, so a frame
    // that began inside it is still found and only the broken frame is lost.
    // A frame paused for more than kFramePauseMicros is dropped.
    bool receiveByte(uint8_t b) EXCLUDES(mutex);

    // Main thread, before the line is open. Plain mode (the default) answers
    // as a reader without Secure Channel; secure and install mode take part
    // in it with the reader's base key (required for secure mode) and its
    // clientUid. REQUIRES: reader is 0 or 1.
    void setSecurity(int reader, ScMode mode, const AesKey* key, KeyStore keyStore);

    // Main thread. Builds the reply to a command for currentReader.
    // REQUIRES: currentReader is 0 or 1.
    void buildReply(uint8_t ctrl, uint8_t cmd) EXCLUDES(mutex);

    // Web worker. Offers a card to reader index 0 or 1; the same card again
    // within repeatInterval of the previous offer to that reader is dropped.
    // REQUIRES: reader is 0 or 1.
    void injectCard(int reader, uint32_t card) EXCLUDES(mutex);

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
    LineDiagnostics diagnostics() const;

    // Rewrites the configuration file at configPath; false when the file could
    // not be opened, written or closed.
    bool saveConfig() EXCLUDES(mutex);

    // Text builders of the status document: "<name>value</name>" unescaped.
    static std::string xmlElement(const std::string& name, int value);
    static std::string xmlElement(const std::string& name, const std::string& value);
    static std::string xmlElement(const std::string& name, bool value);
    // Upper-case hexadecimal without leading zeros ("0" for zero).
    static std::string hexText(uint32_t value);

    // Frame receiver and reply; main thread only, so not locked.
    std::array<uint8_t, kFrameBufferSize> inBuf{};
    std::array<uint8_t, kFrameBufferSize> replyBuf{};
    int32_t replyLen = 0;
    int32_t inPos = 0;
    int32_t inLen = 0;
    int32_t inAddr = 0;
    int32_t inCheckLo = 0;
    int32_t inCheckHi = 0;

    // Guards the per-reader state and the counters that both threads use.
    mutable Mutex mutex;

    std::array<WallTime, kReaderCount> lastAttempt GUARDED_BY(mutex){};
    int64_t repeatInterval = 3000000;
    uint8_t currentReader = 0;
    std::array<uint8_t, kReaderCount> tamper GUARDED_BY(mutex){};
    std::array<uint8_t, kReaderCount> power GUARDED_BY(mutex){};
    std::array<uint8_t, kReaderCount> statusChanged GUARDED_BY(mutex){};
    std::array<std::string, kReaderCount> lastLpr GUARDED_BY(mutex);
    uint32_t pdVersion = 1;
    uint32_t pdModel = 0;
    uint32_t pdSerial = 316087;
    // Fixed for the life of the process.
    const std::array<uint8_t, kReaderCount> readerAddress{{0x0A, 0x0B}};
    uint32_t reqIn GUARDED_BY(mutex) = 0;
    uint32_t reqOut GUARDED_BY(mutex) = 0;
    int32_t inCtrl = 0;
    int32_t inCmd = 0;
    uint8_t replyCtrl = 0;
    uint8_t replyCode = 0;
    std::array<uint32_t, kReaderCount> pendingCard GUARDED_BY(mutex){};
    std::array<uint32_t, kReaderCount> lastCard GUARDED_BY(mutex){};
    std::string configPath = "localdata/kanzo.conf";
    bool restartRequired GUARDED_BY(mutex) = false;
    bool saveRequired GUARDED_BY(mutex) = false;

    // Controllers resend a command whose reply they missed, byte for byte with
    // the same sequence number; such a repeat gets the stored reply again so
    // that a card or status report carried by a lost reply is not lost.
    std::array<std::array<uint8_t, kMaxFrameLength>, kReaderCount> lastFrame{};
    std::array<int32_t, kReaderCount> lastFrameLen{};
    std::array<std::array<uint8_t, kMaxReplyLength>, kReaderCount> lastReply{};
    std::array<int32_t, kReaderCount> lastReplyLen{};
    // What the last reply to a poll took from the reader (a card, a status
    // report) counts as delivered only once the controller's next frame
    // carries a different, non-zero sequence number. A frame with sequence 0
    // starts a new session, and the controller may have missed that reply.
    std::array<uint32_t, kReaderCount> unackedCard GUARDED_BY(mutex){};
    std::array<bool, kReaderCount> unackedStatus GUARDED_BY(mutex){};

    // The cUID each reader sends in the Secure Channel handshake, read by
    // setSecurity: the vendor code, the reader's address and the serial
    // number as the identification reply gives them. Built from fixed
    // identity values, so it stays the same across restarts, as a controller
    // that derives keys from it needs; the address keeps the two readers
    // apart.
    std::array<std::array<uint8_t, 8>, kReaderCount> clientUid{};

  private:
    // What one byte did to the frame being received.
    enum class FrameEvent {
        outsideFrame,  // not a start byte and no frame begun: line noise, a mark byte
        collecting,    // taken into the frame; its end is not reached yet
        badLength,     // the length field cannot be that of a frame
        badCheck,      // the frame's end is reached and its check code is wrong
        notOurs,       // a valid frame for another device, or with command 0
        forUs,         // a valid frame for reader 1 or 2
    };

    // time is the trace lines' time text, empty when they are off.
    FrameEvent takeByte(uint8_t b, const std::string& time);
    // The level-5 line of one received byte, with the first dumped bytes of inBuf.
    void traceInput(const std::string& time, uint8_t b, const char* checkName, int received,
                    int computed, int32_t dumped) const;
    // Puts the bytes of the broken frame after its start byte, from the next
    // 0x53 among them on, in front of the bytes still to be taken.
    void resynchronise();
    // Builds (or, for a repeat, recalls) the reply to the frame in inBuf.
    void answerFrame(const std::string& time);
    // Called for each frame to the reader that is not a repeat, before its
    // reply is built: confirms or offers again what the last reply carried.
    void settleDelivery(int reader) EXCLUDES(mutex);

    // Counts one outcome of takeByte into the line figures.
    void countEvent(FrameEvent event);

    void secureReply(int reader, int32_t frameLength);
    void logSecurity(int reader, const ScInbound& in);

    Clock clock_;
    MonotonicClock monotonic_;
    const ScCipher cipher_;
    std::array<SecureChannel, kReaderCount> secure_{
        {SecureChannel(cipher_), SecureChannel(cipher_)}};

    // The line figures. Only the main thread writes them and the web worker
    // only reads, so single-writer relaxed atomics suffice: a count costs a
    // plain store where a lock would cost more than taking the byte.
    static constexpr int64_t kNever = INT64_MIN;
    std::atomic<int64_t> lastByteAt_{kNever};
    std::atomic<uint32_t> badCheck_{0};
    std::atomic<uint32_t> badLength_{0};
    std::atomic<uint32_t> foreignFrames_{0};
    std::atomic<uint32_t> discardedBytes_{0};
    std::array<std::atomic<int64_t>, kReaderCount> lastFrameAt_{};
    std::array<std::atomic<uint32_t>, kReaderCount> framesAnswered_{};
    std::array<std::atomic<uint32_t>, kReaderCount> repeatsAnswered_{};

    bool inFrame_ = false;
    // Check of the frame just completed, for the trace lines.
    const char* checkName_ = "?";
    int checkReceived_ = 0;
    int checkComputed_ = 0;
    // After a broken frame, its bytes that are taken again. Empty between
    // calls; never more than one frame's bytes.
    std::array<uint8_t, kMaxFrameLength> pending_{};
    size_t pendingLen_ = 0;
};
