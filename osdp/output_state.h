// The one output of a reader, as osdp_OUT sets it and osdp_OSTAT reports it.
// A camera has no relay to drive: the output is virtual, as the LED is, so
// that a panel reading back what it set finds it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "osdp/figures.h"

class OutputState {
  public:
    // Applies the records of an osdp_OUT received at now (monotonic
    // microseconds), in order. Records for another output number than 0, and
    // control codes OSDP does not define, change nothing.
    // REQUIRES: length is a whole number of records.
    void apply(const uint8_t* records, size_t length, int64_t now);

    // 1 while the output is on at now, else 0: a timed state while its timer
    // runs, the permanent state otherwise.
    uint8_t state(int64_t now) const;

  private:
    bool permanent_ = false;
    bool timed_ = false;
    // The timed state holds before this time.
    int64_t timedUntil_ = kNever;
};
