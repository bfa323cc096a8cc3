#include "osdp/clock.h"

#include <cstdio>
#include <ctime>

// 32-bit targets build with _TIME_BITS=64 (CMakeLists.txt): a 32-bit time_t
// would end in January 2038, and every second below passes through time_t.
static_assert(sizeof(time_t) == 8, "time_t must be 64-bit");

namespace {

// text, unless it is empty, followed by the milliseconds of micros.
std::string withMillis(const std::string& text, int64_t micros) {
    char millis[16];
    snprintf(millis, sizeof millis, ".%03d", static_cast<int>(micros / 1000));
    return text.empty() ? text : text + millis;
}

}  // namespace

WallTime systemWallTime() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return WallTime{static_cast<int64_t>(now.tv_sec), static_cast<int64_t>(now.tv_nsec / 1000)};
}

int64_t monotonicMicros() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::string formatTime(int64_t seconds, TimeZone zone, const char* format) {
    const time_t time = static_cast<time_t>(seconds);
    struct tm broken {};
    const bool converted = zone == TimeZone::utc ? gmtime_r(&time, &broken) != nullptr
                                                 : localtime_r(&time, &broken) != nullptr;
    char text[64];
    return std::string(text, converted ? strftime(text, sizeof text, format, &broken) : 0);
}

std::string timeText(const WallTime& time) {
    return withMillis(formatTime(time.seconds, TimeZone::local, "%H:%M:%S"), time.micros);
}

std::string utcTimeText(int64_t micros) {
    // Floored, so that a time before 1970 keeps its milliseconds positive.
    const int64_t seconds = micros / 1000000 - (micros % 1000000 < 0 ? 1 : 0);
    const int64_t rest = micros - seconds * 1000000;
    const std::string text = formatTime(seconds, TimeZone::utc, "%Y-%m-%dT%H:%M:%S");
    return text.empty() ? text : withMillis(text, rest) + "Z";
}
