#include "osdp/clock.h"

#include <cstdio>
#include <ctime>

#include "util/time_text.h"

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
