// The frame receiver: bytes from the line in, whole frames for the readers
// and a named outcome for every byte out, with the line figures they add up
// to. Main thread only, except that the figures may be read from any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "osdp/figures.h"
#include "osdp/protocol.h"

// A pause longer than this inside a frame ends the frame as broken: well above
// the gaps a USB serial adapter leaves inside a burst, well below the time a
// controller waits for a reply before it sends again.
constexpr int64_t kFramePauseMicros = 50000;

// What one byte did to the frame being received.
enum class FrameEvent {
    outsideFrame,  // not a start byte and no frame begun: line noise, a mark byte
    collecting,    // taken into the frame; its end is not reached yet
    badLength,     // the length field cannot be that of a frame
    badCheck,      // the frame's end is reached and its check code is wrong
    notOurs,       // a valid frame for another device, or any device's reply
    forUs,         // a valid frame for reader 1 or 2
};

// Counts since start; ages come from the time of the last byte.
struct LineFigures {
    uint32_t badCheck = 0;        // frames whose CRC or checksum was wrong
    uint32_t badLength = 0;       // impossible length field, or cut short by a pause
    uint32_t foreignFrames = 0;   // valid frames for other devices on the bus
    uint32_t discardedBytes = 0;  // bytes outside any frame: noise, mark bytes
};

class FrameReceiver {
  public:
    // The index of the reader a whole command frame with a right check code
    // is for, -1 for none of ours: the readers' addresses are theirs, and
    // asked for each frame.
    using ReaderOf = std::function<int(const uint8_t* frame, size_t length)>;

    explicit FrameReceiver(ReaderOf readerOf) : readerOf_(std::move(readerOf)) {}

    // Takes one byte that arrived at now (monotonic microseconds); time is the
    // trace lines' time text, empty when they are off. True when it completed
    // a valid frame for one of the readers: frame() and reader().
    // A frame that turns out broken (impossible length, wrong check code) is
    // taken apart again: its bytes after the start byte are searched for the
    // next 0x53, so a frame that began inside it is still found and only the
    // broken frame is lost. A frame paused for more than kFramePauseMicros is
    // dropped.
    bool receive(uint8_t b, int64_t now, const std::string& time);

    // The frame completed last.
    const uint8_t* frame() const { return buffer_.data(); }
    size_t frameLength() const { return at_ + 1; }
    // The index of the reader it is for.
    int reader() const { return reader_; }

    // The level-5 lines of the frame completed last.
    void traceFrame(const std::string& time) const;

    // Any thread.
    LineFigures figures() const;
    int64_t lastByteAt() const { return lastByteAt_.load(std::memory_order_relaxed); }

  private:
    FrameEvent takeByte(uint8_t b, const std::string& time);
    // True when the length field, with the control byte once it is in, cannot
    // be that of a frame.
    bool lengthBroken() const;
    // Checks the frame whose last byte b has just been taken.
    FrameEvent endFrame(uint8_t b, const std::string& time);
    // The level-5 line of one received byte, with the first dumped bytes of
    // the frame.
    void traceInput(const std::string& time, uint8_t b, const char* checkName, int received,
                    int computed, size_t dumped) const;
    // Puts the bytes of the broken frame after its start byte, from the next
    // 0x53 among them on, in front of the bytes still to be taken.
    void resynchronise();
    // Takes the resynchronised bytes again; true when they end in a frame for us.
    bool retake(const std::string& time);
    void count(FrameEvent event);

    const ReaderOf readerOf_;
    int reader_ = -1;

    // Whole frames only: the length field is checked before the bytes it
    // announces are taken.
    std::array<uint8_t, kMaxFrameLength> buffer_{};
    size_t at_ = 0;      // where the latest byte went
    size_t length_ = 0;  // the length field, as far as it is in
    uint8_t address_ = 0;
    uint8_t control_ = 0;
    uint8_t code_ = 0;
    uint8_t checkLow_ = 0;
    uint8_t checkHigh_ = 0;
    bool inFrame_ = false;
    // Check of the frame just completed, for the trace lines.
    const char* checkName_ = "?";
    int checkReceived_ = 0;
    int checkComputed_ = 0;
    // After a broken frame, its bytes that are taken again. Empty between
    // calls; never more than one frame's bytes.
    std::array<uint8_t, kMaxFrameLength> resyncBytes_{};
    size_t resyncLen_ = 0;

    // Written by the main thread only (see figures.h).
    std::atomic<int64_t> lastByteAt_{kNever};
    std::atomic<uint32_t> badCheck_{0};
    std::atomic<uint32_t> badLength_{0};
    std::atomic<uint32_t> foreignFrames_{0};
    std::atomic<uint32_t> discardedBytes_{0};
};
