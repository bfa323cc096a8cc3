#include "tools/controller_frames.h"

#include <algorithm>

#include "osdp/check_codes.h"
#include "osdp/frame_writer.h"
#include "util/coding.h"

namespace {

// The longest reply the tool takes from the line: longer than any reply of
// ours, so that another maker's reader with a bigger one is still heard.
constexpr size_t kLongestReply = 1024;

}  // namespace

std::vector<uint8_t> buildCommandFrame(uint8_t address, uint8_t sequence, uint8_t command,
                                       const std::vector<uint8_t>& data,
                                       const std::vector<uint8_t>& scb) {
    std::vector<uint8_t> frame(kDataOffset + scb.size() + data.size() + kCrcLength);
    FrameWriter out(frame.data(), frame.size(), address, static_cast<uint8_t>(sequence | kCrcFlag));
    out.putSecurityBlock(scb.data(), scb.size());
    out.put(command);
    out.put(data.data(), data.size());
    frame.resize(out.finish());
    return frame;
}

void ReplyCollector::push(const uint8_t* bytes, size_t count) {
    buffer_.insert(buffer_.end(), bytes, bytes + count);
}

bool ReplyCollector::nextReply(OsdpReply* reply) {
    for (;;) {
        buffer_.erase(buffer_.begin(), std::find(buffer_.begin(), buffer_.end(), kStartOfMessage));
        if (buffer_.size() < kHeaderLength)
            return false;
        const size_t length = decodeFixed16(&buffer_[kLengthOffset]);
        const bool withCrc = (buffer_[kControlOffset] & kCrcFlag) != 0;
        if (length < (withCrc ? kMinCrcFrame : kMinChecksumFrame) || length > kLongestReply) {
            buffer_.erase(buffer_.begin());
            continue;
        }
        if (buffer_.size() < length)
            return false;
        const size_t dataEnd = length - (withCrc ? kCrcLength : kChecksumLength);
        const bool checkRight =
            withCrc ? crc16(buffer_.data(), dataEnd) == decodeFixed16(&buffer_[dataEnd])
                    : checksum8(buffer_.data(), dataEnd) == buffer_[length - 1];
        if (!checkRight) {
            ++damagedFrames_;
            buffer_.erase(buffer_.begin());
            continue;
        }
        const bool isReply = (buffer_[kAddressOffset] & kReplyBit) != 0;
        if (isReply) {
            reply->address = buffer_[kAddressOffset] & ~kReplyBit;
            reply->sequence = buffer_[kControlOffset] & kSequenceMask;
            // A security block sits between the control byte and the code.
            const size_t scbLength =
                (buffer_[kControlOffset] & kScbFlag) ? buffer_[kHeaderLength] : 0;
            const size_t codeAt = std::min(kCodeOffset + scbLength, dataEnd - 1);
            reply->code = buffer_[codeAt];
            reply->data.assign(buffer_.begin() + codeAt + 1, buffer_.begin() + dataEnd);
            reply->frame.assign(buffer_.begin(), buffer_.begin() + length);
        }
        buffer_.erase(buffer_.begin(), buffer_.begin() + length);
        if (isReply)
            return true;
    }
}
