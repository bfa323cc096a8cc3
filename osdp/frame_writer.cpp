#include "osdp/frame_writer.h"

#include <algorithm>

#include "osdp/check_codes.h"
#include "util/coding.h"

namespace {

// The length field has 16 bits.
constexpr size_t kLongestFrame = UINT16_MAX;

}  // namespace

FrameWriter::FrameWriter(uint8_t* out, size_t capacity, uint8_t address, uint8_t ctrl)
    : out_(out),
      capacity_(std::min(capacity, kLongestFrame)),
      ctrl_(static_cast<uint8_t>(ctrl & (kSequenceMask | kCrcFlag))),
      reply_((address & kReplyBit) != 0) {
    if (capacity_ < kHeaderLength + checkLength(ctrl_)) {
        spoilt_ = true;
        return;
    }
    out_[0] = kStartOfMessage;
    out_[kAddressOffset] = address;
    out_[kControlOffset] = ctrl_;
}

void FrameWriter::putSecurityBlock(const uint8_t* block, size_t n) {
    put(block, n);
    if (n > 0 && !spoilt_)
        out_[kControlOffset] |= kScbFlag;
}

void FrameWriter::put(const uint8_t* data, size_t n) {
    if (uint8_t* to = take(n))
        std::copy(data, data + n, to);  // not memcpy: data may be null when n is 0
}

void FrameWriter::putFixed16(uint16_t value) {
    if (uint8_t* to = take(2))
        encodeFixed16(to, value);
}

void FrameWriter::putFixed32(uint32_t value) {
    if (uint8_t* to = take(4))
        encodeFixed32(to, value);
}

void FrameWriter::putBigEndian32(uint32_t value) {
    if (uint8_t* to = take(4))
        encodeBigEndian32(to, value);
}

uint8_t* FrameWriter::take(size_t n) {
    if (spoilt_ || n > capacity_ - at_ - checkLength(ctrl_)) {
        spoilt_ = true;
        return nullptr;
    }
    uint8_t* to = out_ + at_;
    at_ += n;
    return to;
}

size_t FrameWriter::layHeader(size_t trailing) {
    if (!spoilt_)
        encodeFixed16(out_ + kLengthOffset,
                      static_cast<uint16_t>(at_ + trailing + checkLength(ctrl_)));
    return at_;
}

size_t FrameWriter::finish() {
    // A frame is at least its code; one without is as spoilt as one too long.
    if (spoilt_ || at_ == kHeaderLength)
        return 0;
    layHeader(0);
    if (hasCrc(ctrl_)) {
        encodeFixed16(out_ + at_, crc16(out_, at_));
        return at_ + kCrcLength;
    }
    out_[at_] = checksum8(out_, at_);
    return at_ + kChecksumLength;
}
