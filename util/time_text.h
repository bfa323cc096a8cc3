// The one formatter every time text of the daemon goes through: the log
// lines' time of day, the configuration file's time and the journal's times.
#pragma once

#include <cstdint>
#include <string>

enum class TimeZone { local, utc };

// seconds since the epoch as strftime writes format for them in zone (local:
// the zone TZ or /etc/localtime names); "" when the year does not fit an int.
// 64-bit seconds on every target: 32-bit ARM builds with a 64-bit time_t
// (_TIME_BITS=64), so the texts stay right past January 2038.
// REQUIRES: the text is shorter than 64 bytes.
std::string formatTime(int64_t seconds, TimeZone zone, const char* format)
    __attribute__((format(strftime, 3, 0)));
