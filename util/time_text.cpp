#include "util/time_text.h"

#include <ctime>

// 32-bit targets build with _TIME_BITS=64 (CMakeLists.txt): a 32-bit time_t
// would end in January 2038, and every second below passes through time_t.
static_assert(sizeof(time_t) == 8, "time_t must be 64-bit");

std::string formatTime(int64_t seconds, TimeZone zone, const char* format) {
    const time_t time = static_cast<time_t>(seconds);
    struct tm broken {};
    const bool converted = zone == TimeZone::utc ? gmtime_r(&time, &broken) != nullptr
                                                 : localtime_r(&time, &broken) != nullptr;
    char text[64];
    return std::string(text, converted ? strftime(text, sizeof text, format, &broken) : 0);
}
