#include "osdp/frame_receiver.h"

#include <algorithm>

#include "osdp/check_codes.h"
#include "osdp/protocol.h"
#include "util/coding.h"
#include "util/hex.h"
#include "util/log.h"

bool FrameReceiver::receive(uint8_t b, int64_t now, const std::string& time) {
    // A controller sends a frame in one burst. A pause inside a frame means
    // that the rest of it was lost on the line and the controller is waiting
    // out its reply time-out; its next bytes start a new frame. Otherwise a
    // length byte damaged upwards would swallow its retries too.
    if (inFrame_ && now - lastByteAt() > kFramePauseMicros) {
        inFrame_ = false;
        bump(badLength_);
    }
    lastByteAt_.store(now, std::memory_order_relaxed);

    const FrameEvent event = takeByte(b, time);
    count(event);
    if (event == FrameEvent::forUs)
        return true;
    if (event != FrameEvent::badLength && event != FrameEvent::badCheck)
        return false;
    // The broken frame's bytes are taken again from the next start byte among
    // them; b was the last of them, so nothing newer is waiting behind.
    resynchronise();
    return retake(time);
}

bool FrameReceiver::retake(const std::string& time) {
    bool forUs = false;
    size_t next = 0;
    while (next < resyncLen_) {
        const FrameEvent event = takeByte(resyncBytes_[next++], time);
        count(event);
        if (event == FrameEvent::badLength || event == FrameEvent::badCheck) {
            std::copy(resyncBytes_.begin() + next, resyncBytes_.begin() + resyncLen_,
                      resyncBytes_.begin());
            resyncLen_ -= next;
            next = 0;
            resynchronise();
        } else if (event == FrameEvent::forUs && next == resyncLen_) {
            forUs = true;
        }
        // A frame found complete with later bytes already here was cut off by
        // the broken one: its controller has sent on since and would take a
        // reply now as the answer to the wrong command, or have it collide
        // with its next frame on the half-duplex line. Its bytes stay consumed
        // as a frame, and the controller's retry is answered.
    }
    resyncLen_ = 0;
    return forUs;
}

FrameEvent FrameReceiver::takeByte(uint8_t b, const std::string& time) {
    if (!inFrame_) {
        if (b != kStartOfMessage) {
            if (!time.empty())
                traceInput(time, b, "?", 0, 0, 0);
            return FrameEvent::outsideFrame;
        }
        buffer_.fill(0);
        buffer_[0] = kStartOfMessage;
        at_ = 0;
        address_ = control_ = code_ = checkLow_ = checkHigh_ = 0;
        inFrame_ = true;
        return FrameEvent::collecting;
    }

    buffer_[++at_] = b;
    switch (at_) {
        case kAddressOffset:
            address_ = b;
            break;
        case kLengthOffset:
            length_ = b;
            break;
        case kLengthOffset + 1:
            length_ |= static_cast<size_t>(b) << 8;
            break;
        case kControlOffset:
            control_ = b;
            break;
        case kCodeOffset:
            code_ = b;
            break;
        default:
            break;
    }

    // Checked once, on the frame's last byte: every byte before it belongs to
    // the frame whatever its value.
    if (at_ < kControlOffset || at_ + 1 != length_) {
        if (!time.empty())
            traceInput(time, b, "?", 0, 0, at_ + 1);
        return lengthBroken() ? FrameEvent::badLength : FrameEvent::collecting;
    }
    return endFrame(b, time);
}

bool FrameReceiver::lengthBroken() const {
    // Known once both length bytes are in; a CRC-16 frame needs one byte more
    // than a checksum frame for its code, known with the control byte.
    if (at_ == kControlOffset - 1)
        return length_ < kMinChecksumFrame || length_ > kMaxFrameLength;
    return at_ == kControlOffset && hasCrc(control_) && length_ < kMinCrcFrame;
}

FrameEvent FrameReceiver::endFrame(uint8_t b, const std::string& time) {
    // Bit 2 alone chooses the check code; the other bits say nothing about it.
    if (hasCrc(control_)) {
        checkLow_ = buffer_[at_ - 1];
        checkHigh_ = b;
        checkReceived_ = decodeFixed16(&buffer_[at_ - 1]);
        checkComputed_ = crc16(buffer_.data(), length_ - kCrcLength);
        checkName_ = "CRC16";
    } else {
        checkReceived_ = b;
        checkComputed_ = checksum8(buffer_.data(), length_ - kChecksumLength);
        checkName_ = "CRC8";
    }
    if (!time.empty())
        traceInput(time, b, checkName_, checkReceived_, checkComputed_, at_ + 1);
    if (checkReceived_ != checkComputed_)
        return FrameEvent::badCheck;
    inFrame_ = false;
    // A reply is another device's answer to the controller, whatever address
    // it carries: on a shared pair the readers of other devices are heard,
    // and answering them would start an endless exchange between devices.
    reader_ = (address_ & kReplyBit) != 0 ? -1 : readerOf_(buffer_.data(), length_);
    return reader_ < 0 ? FrameEvent::notOurs : FrameEvent::forUs;
}

void FrameReceiver::count(FrameEvent event) {
    switch (event) {
        case FrameEvent::outsideFrame:
            bump(discardedBytes_);
            break;
        case FrameEvent::badLength:
            bump(badLength_);
            break;
        case FrameEvent::badCheck:
            bump(badCheck_);
            break;
        case FrameEvent::notOurs:
            bump(foreignFrames_);
            break;
        case FrameEvent::collecting:
        case FrameEvent::forUs:  // counted when answered
            break;
    }
}

void FrameReceiver::traceInput(const std::string& time, uint8_t b, const char* checkName,
                               int received, int computed, size_t dumped) const {
    logAt(5,
          "%s Input [%02X] addr %d msgInPoz  %ld == msgInLen %d,  ctrlIn %02X cmndlIn %02X "
          "[%s %02X == %02X] |%s|",
          time.c_str(), b, address_, static_cast<long>(at_), static_cast<int>(length_), control_,
          code_, checkName, received, computed, hexDump(buffer_.data(), dumped).c_str());
}

void FrameReceiver::traceFrame(const std::string& time) const {
    logAt(5,
          "%s (%ld) Addr=%d, msgInLen=%ld, CtrlIn=%02X, CmndIn=%02X  %s=[%02X %02X / %04X]/ "
          "Ver = %04X <%s>",
          time.c_str(), static_cast<long>(at_), address_, static_cast<long>(length_), control_,
          code_, checkName_, checkLow_, checkHigh_, checkReceived_, checkComputed_, "Ok");
    logAt(5, "%s | %s", time.c_str(), hexDump(buffer_.data(), frameLength()).c_str());
}

void FrameReceiver::resynchronise() {
    inFrame_ = false;
    const auto first = buffer_.begin() + 1;
    const auto last = buffer_.begin() + static_cast<std::ptrdiff_t>(at_) + 1;
    const auto restart = std::find(first, last, kStartOfMessage);
    const size_t count = static_cast<size_t>(last - restart);
    std::copy_backward(resyncBytes_.begin(), resyncBytes_.begin() + resyncLen_,
                       resyncBytes_.begin() + resyncLen_ + count);
    std::copy(restart, last, resyncBytes_.begin());
    resyncLen_ += count;
}

LineFigures FrameReceiver::figures() const {
    constexpr auto relaxed = std::memory_order_relaxed;
    LineFigures line;
    line.badCheck = badCheck_.load(relaxed);
    line.badLength = badLength_.load(relaxed);
    line.foreignFrames = foreignFrames_.load(relaxed);
    line.discardedBytes = discardedBytes_.load(relaxed);
    return line;
}
