// The OSDP peripheral engine: two virtual card readers answering one OSDP
// controller. Bytes go in through receiveByte, the reply comes out in replyBuf.
// The engine does no I/O; its only outside inputs are the clocks and the
// Secure Channel cipher with its random source that it is given.
//
// OsdpPeripheral holds the lock the web worker shares, the frame receiver that
// cuts frames from the line, and the two readers (VirtualReader), each of
// which answers its own frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "osdp/clock.h"
#include "osdp/frame_receiver.h"
#include "osdp/journal.h"
#include "osdp/protocol.h"
#include "osdp/secure_channel.h"
#include "osdp/system_cipher.h"
#include "osdp/virtual_reader.h"
#include "util/line_settings.h"
#include "util/mutex.h"

// A copy of what the status document shows, each reader's part taken whole
// under the lock.
struct PeripheralStatus {
    // The addresses in force, moved ones too.
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
struct LineDiagnostics : LineFigures {
    uint32_t baud = 0;  // the line's rate in force
    std::array<ReaderDiagnostics, kReaderCount> reader{};
    // Since the last byte received.
    int64_t msSinceByte = -1;
    std::array<CardDiagnostics, kReaderCount> cards{};
};

class OsdpPeripheral {
  public:
    // Persists a key that the controller set for reader index 0 or 1; false
    // when it could not be stored.
    using KeyStore = std::function<bool(int reader, const AesKey& key)>;

    // monotonic: microseconds that only ever grow.
    explicit OsdpPeripheral(WallClock clock = systemWallTime,
                            MonotonicClock monotonic = monotonicMicros,
                            ScCipher cipher = systemCipher());
    OsdpPeripheral(const OsdpPeripheral&) = delete;
    OsdpPeripheral& operator=(const OsdpPeripheral&) = delete;

    // Main thread. Takes one byte from the line; true when it completed a valid
    // frame for reader 1 or 2 and the reply is in replyBuf[0..replyLen).
    bool receiveByte(uint8_t b) EXCLUDES(mutex);

    // Main thread, before the line is open: the readers' addresses and the
    // line's rate (the defaults until then). REQUIRES: lineSettingsUsable.
    void setLineSettings(const LineSettings& settings) EXCLUDES(mutex);
    // Any thread. The settings in force, moved by the panel or not.
    LineSettings lineSettings() const EXCLUDES(mutex);

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
    void setCardMaxAge(int64_t micros);

    // Web worker. Offers a card to reader index 0 or 1 (see
    // CardQueue::offer). The journal records where it came from and the
    // plate it was made of (empty for a card number). arrived is when the
    // request carrying it began to arrive, on the monotonic clock: the
    // card's age and its journal entry start there (none: now).
    // REQUIRES: reader is 0 or 1.
    void injectCard(int reader, uint32_t card, CardSource source = CardSource::cardCommand,
                    const std::string& plate = std::string(),
                    std::optional<int64_t> arrived = std::nullopt);

    // Web worker. Sets the tamper state and asks for a local status report on
    // the reader's next poll. REQUIRES: reader is 0 or 1.
    void setTamper(int reader, bool tampered);

    // Web worker. Records the plate text of the latest plate event delivered
    // to the reader. REQUIRES: reader is 0 or 1.
    void setLastLpr(int reader, const std::string& plate);

    // Main thread: one reply has been written to the line.
    void countReplyWritten() EXCLUDES(mutex);

    PeripheralStatus status() const EXCLUDES(mutex);

    // Any thread. The wall clock the engine was given, for the time texts of
    // what the engine's users write (the configuration file).
    WallTime wallTime() const { return clock_(); }

    // Any thread. The line figures as they stand now.
    LineDiagnostics diagnostics() const;

    // REQUIRES: index is 0 or 1.
    VirtualReader& reader(int index) { return readers_[index]; }
    const VirtualReader& reader(int index) const { return readers_[index]; }

    // The reply to the frame completed last; main thread only, so not locked.
    std::array<uint8_t, kMaxReplyLength> replyBuf{};
    size_t replyLen = 0;
    // True when that frame moved the line (osdp_COMSET): the reply is to go
    // out at the old rate, and the line to run at lineSettings() after it.
    bool lineMoved = false;

    std::string configPath = "localdata/kanzo.conf";

    // What became of each card, and what the panel told the reader after it.
    // Built from the clocks the engine is given (it is declared before them
    // and takes its own copies). Locked on its own.
    Journal journal;

    // Guards the readers' state that both threads use (the readers hold it
    // too) and the counters below.
    mutable Mutex mutex;
    uint32_t reqIn GUARDED_BY(mutex) = 0;
    uint32_t reqOut GUARDED_BY(mutex) = 0;
    bool restartRequired GUARDED_BY(mutex) = false;
    bool saveRequired GUARDED_BY(mutex) = false;

  private:
    // The index of the reader a command frame is for: the reader at its
    // address, or one that has just moved away from it and whose last frame
    // it repeats (the panel missed the osdp_COM and asks again where it
    // still believes the reader to be); -1 when it is none of ours.
    int readerOf(const uint8_t* frame, size_t length) const;

    const WallClock clock_;
    const MonotonicClock monotonic_;
    const ScCipher cipher_;
    LineSettings line_ GUARDED_BY(mutex);
    std::array<VirtualReader, kReaderCount> readers_;
    FrameReceiver receiver_{
        [this](const uint8_t* frame, size_t length) { return readerOf(frame, length); }};
};
