// A noisy RS-485 line between two pseudo-terminals for the soak benchmark,
// with the faults of a long cable run: bytes with a flipped bit, bytes lost,
// and bytes held back past the controller's reply time-out, in both
// directions. The faults come from a seeded generator, one per direction, so
// the same bytes through the same seed meet the same faults and a failure can
// be replayed.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "bench/bench_support.h"
#include "util/mutex.h"

struct LineFaults {
    uint32_t seed = 1;
    // Fractions of the bytes, each from 0 to 1.
    double corrupt = 0;  // one bit flipped
    double drop = 0;     // never delivered
    double delay = 0;    // held back for delayBy, with every later byte behind it
    std::chrono::milliseconds delayBy{300};
};

// What the line did, per direction (0: end A to end B, 1: B to A).
struct LineFaultCounts {
    long bytes[2] = {0, 0};
    long corrupted[2] = {0, 0};
    long dropped[2] = {0, 0};
    long delayed[2] = {0, 0};
};

// Decides the fate of each byte of one direction.
class FaultSource {
  public:
    enum class Fate { pass, corrupt, drop, delay };

    FaultSource(const LineFaults& faults, int direction);
    // The fate of the next byte; for corrupt, *bit is the mask to flip.
    Fate next(uint8_t* bit);

  private:
    std::mt19937 random_;
    // Upper ends of each fate's share of the generator's 32-bit range.
    const uint64_t dropBelow_;
    const uint64_t corruptBelow_;
    const uint64_t delayBelow_;
};

// Two pseudo-terminals joined by a relay thread that passes each byte through
// the faults. REQUIRES: the fractions of faults add up to at most 1.
class FaultyLine {
  public:
    // Sees each run of bytes as one end sent it, before any fault, on the
    // relay thread: direction 0 from end A, 1 from end B.
    using Listener = std::function<void(int direction, const uint8_t* bytes, size_t count)>;

    explicit FaultyLine(const LineFaults& faults, Listener listener = nullptr);
    ~FaultyLine();
    FaultyLine(const FaultyLine&) = delete;
    FaultyLine& operator=(const FaultyLine&) = delete;

    const std::string& endA() const { return a_.slavePath(); }
    const std::string& endB() const { return b_.slavePath(); }

    LineFaultCounts counts() const;

  private:
    struct Held {
        SteadyClock::time_point due;
        uint8_t byte;
    };

    void relay();
    // Takes what one end sent and passes it through the faults of its direction.
    void take(int direction, const uint8_t* bytes, size_t count);
    // Writes the held bytes that are due; returns the time the next one is.
    SteadyClock::time_point release(int direction);

    const LineFaults faults_;
    const Listener listener_;
    FaultSource sources_[2];
    std::deque<Held> held_[2];
    PtyLine a_;
    PtyLine b_;
    mutable Mutex countsMutex_;
    LineFaultCounts counts_ GUARDED_BY(countsMutex_);
    int stopPipe_[2] = {-1, -1};
    std::thread relay_;
};
