#include "osdp/clock.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

WallTime systemWallTime() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return WallTime{static_cast<int64_t>(tv.tv_sec), static_cast<int64_t>(tv.tv_usec)};
}

int64_t monotonicMicros() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::string timeText(const WallTime& time) {
    time_t seconds = static_cast<time_t>(time.seconds);
    struct tm local;
    localtime_r(&seconds, &local);
    char text[50];
    snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
             static_cast<int>(time.micros / 1000));
    return text;
}
