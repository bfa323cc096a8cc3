// The clocks the engine is given, and the time text of its log lines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Wall-clock time as 64-bit seconds and microseconds, wide on 32-bit targets too.
struct WallTime {
    int64_t seconds = 0;
    int64_t micros = 0;
};

// The system's wall clock (gettimeofday).
WallTime systemWallTime();
using WallClock = std::function<WallTime()>;

// Microseconds of the system's monotonic clock, which wall-clock steps do not
// move. Coarse (a few milliseconds): ages shown to a person need no more.
int64_t monotonicMicros();
using MonotonicClock = std::function<int64_t()>;

// Local time of day "%02d:%02d:%02d.%03d" that opens the engine's log lines.
std::string timeText(const WallTime& time);
