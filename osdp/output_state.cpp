#include "osdp/output_state.h"

#include "osdp/protocol.h"
#include "util/coding.h"

namespace {

// Control codes of an osdp_OUT record.
constexpr uint8_t kOffAbortingTimed = 0x01;
constexpr uint8_t kOnAbortingTimed = 0x02;
constexpr uint8_t kOffAfterTimed = 0x03;
constexpr uint8_t kOnAfterTimed = 0x04;
constexpr uint8_t kTimedOn = 0x05;
constexpr uint8_t kTimedOff = 0x06;

// The record's timer counts in units of 100 ms.
constexpr int64_t kTimerUnitMicros = 100000;

}  // namespace

void OutputState::apply(const uint8_t* records, size_t length, int64_t now) {
    for (const uint8_t* record = records; record < records + length; record += kOutRecord) {
        if (record[0] != 0)
            continue;
        const uint8_t code = record[1];
        switch (code) {
            case kOffAbortingTimed:
            case kOnAbortingTimed:
                timedUntil_ = kNever;
                permanent_ = code == kOnAbortingTimed;
                break;
            case kOffAfterTimed:
            case kOnAfterTimed:
                // A timed state still running ends as it would have; the
                // new permanent state holds after it.
                permanent_ = code == kOnAfterTimed;
                break;
            case kTimedOn:
            case kTimedOff:
                // A timer of 0 asks for a timed state that is over at once.
                timed_ = code == kTimedOn;
                timedUntil_ = now + decodeFixed16(record + 2) * kTimerUnitMicros;
                break;
            default:
                // 0 asks for nothing; higher codes are not defined.
                break;
        }
    }
}

uint8_t OutputState::state(int64_t now) const {
    return (now < timedUntil_ ? timed_ : permanent_) ? 1 : 0;
}
