// Lines that a flood could repeat without end (refused requests, dropped
// clients): at most so many a minute reach the log, and the next line written
// after a pause says how many were held back.
#pragma once

#include <cstdint>

class LinePacer {
  public:
    explicit LinePacer(int linesPerMinute) : limit_(linesPerMinute) {}

    // True when a line may be written at now (monotonic microseconds);
    // *heldBack is then the number of lines held back since the last one
    // written. False counts the line as held back.
    bool admit(int64_t now, uint32_t* heldBack) {
        if (written_ == 0 || now - windowStart_ >= kMinuteMicros) {
            windowStart_ = now;
            written_ = 0;
        }
        if (written_ == limit_) {
            ++heldBack_;
            return false;
        }
        ++written_;
        *heldBack = heldBack_;
        heldBack_ = 0;
        return true;
    }

  private:
    static constexpr int64_t kMinuteMicros = 60 * 1000 * 1000;
    const int limit_;
    int64_t windowStart_ = 0;
    int written_ = 0;
    uint32_t heldBack_ = 0;
};
