// The clocks the engine is given, the one read of the wall clock, and the
// engine's and the journal's time texts (made by util/time_text's formatter).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Wall-clock time as 64-bit seconds and microseconds, wide on 32-bit targets too.
struct WallTime {
    int64_t seconds = 0;
    int64_t micros = 0;
};

// The system's wall clock (clock_gettime, CLOCK_REALTIME), with 64-bit seconds
// on every target: 32-bit ARM builds with 64-bit time_t (_TIME_BITS=64), so it
// keeps counting past January 2038. Wall time only ever becomes text (log
// lines, the configuration file, the journal); no interval is measured on it.
WallTime systemWallTime();
using WallClock = std::function<WallTime()>;

// Microseconds of the system's monotonic clock, which wall-clock steps do not
// move: every interval is measured on it (the repeat window, a card's age, the
// pauses and deadlines of the line and the web worker), never on the wall
// clock. Coarse (a few milliseconds): ages shown to a person need no more.
int64_t monotonicMicros();
using MonotonicClock = std::function<int64_t()>;

// Local time of day "%02d:%02d:%02d.%03d" that opens the engine's log lines.
std::string timeText(const WallTime& time);

// Microseconds since the epoch as ISO 8601 in UTC with milliseconds,
// 2026-12-07T12:50:30.123Z: the journal's times.
std::string utcTimeText(int64_t micros);
