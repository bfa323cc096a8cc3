// Arbitrary bytes from the line into the frame receiver. Every reply it gives
// must be a well-formed frame for reader 1 or 2 with a correct check code, and
// no bytes may keep it from answering a controller's retried poll for long.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>

#include "fuzz/fuzz_support.h"
#include "osdp/check_codes.h"
#include "osdp/osdp_peripheral.h"
#include "osdp/protocol.h"
#include "util/coding.h"
#include "util/log.h"

namespace {

// The addresses the readers held so far in one input: osdp_COMSET moves them,
// and a reply comes from the address its command was sent to.
std::set<uint8_t> held;

// A reply of reader 1 or 2, of its code's length, with a control byte of
// sequence number and CRC flag only, and the check code that flag names.
void checkReply(const OsdpPeripheral& osdp) {
    static const std::map<uint8_t, size_t> kDataLength = {{kReplyAck, 0},
                                                          {kReplyNak, kNakData},
                                                          {kReplyPdid, kPdidData},
                                                          {kReplyPdcap, kPdcapData},
                                                          {kReplyLstatr, kLstatrData},
                                                          {kReplyOstatr, kOstatrData},
                                                          {kReplyRaw, kRawData},
                                                          {kReplyCom, kComData}};
    const uint8_t* r = osdp.replyBuf.data();
    const size_t len = static_cast<size_t>(osdp.replyLen);
    const uint8_t address = r[kAddressOffset] & ~kReplyBit;
    const uint8_t ctrl = r[kControlOffset];
    require(r[0] == kStartOfMessage && (r[kAddressOffset] & kReplyBit) != 0 &&
            held.count(address) == 1 && decodeFixed16(r + kLengthOffset) == len &&
            (ctrl & ~(kSequenceMask | kCrcFlag)) == 0);
    const uint8_t code = r[kCodeOffset];
    require(kDataLength.count(code) == 1 &&
            kDataOffset + kDataLength.at(code) + checkLength(ctrl) == len);
    const size_t covered = len - checkLength(ctrl);
    require(hasCrc(ctrl) ? decodeFixed16(r + covered) == crc16(r, covered)
                         : r[covered] == checksum8(r, covered));
    held.insert(osdp.reader(0).address());
    held.insert(osdp.reader(1).address());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quietVerboseLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int64_t fakeSeconds = 0;
    // The monotonic clock stands still: a run preempted in the middle of a
    // frame on a busy machine must not trip the pause rule and fail the checks.
    OsdpPeripheral osdp([] { return WallTime{++fakeSeconds, 0}; }, [] { return int64_t{1000000}; });
    // The first bytes choose what waits for the readers, so that card data and
    // status reports come too, and full tracing (which dumps frames) or none.
    DebugLevel = (size > 0 && (data[0] & 0x10)) ? 5 : 0;
    if (size >= 5) {
        const uint32_t card =
            uint32_t(data[1]) << 24 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 8 | data[4];
        osdp.injectCard(data[0] & 1, card);
        if (data[0] & 2)
            osdp.setTamper((data[0] >> 2) & 1, data[0] & 8);
    }
    held = {osdp.reader(0).address(), osdp.reader(1).address()};
    for (size_t i = 0; i < size; ++i) {
        if (osdp.receiveByte(data[i]))
            checkReply(osdp);
    }
    // A controller then resends one poll to reader 1, wherever it was moved:
    // once the stated lengths of the bytes before (at most kMaxFrameLength)
    // have passed, each copy is answered on its last byte.
    DebugLevel = 0;
    uint8_t poll[] = {0x53, osdp.reader(0).address(), 0x08, 0x00, 0x05, 0x60, 0x00, 0x00};
    encodeFixed16(poll + 6, crc16(poll, 6));
    const size_t settledAfter = kMaxFrameLength / sizeof poll + 1;
    for (size_t copy = 0; copy < settledAfter + 3; ++copy) {
        for (size_t i = 0; i < sizeof poll; ++i) {
            const bool answered = osdp.receiveByte(poll[i]);
            if (answered)
                checkReply(osdp);
            if (copy >= settledAfter)
                require(answered == (i == sizeof poll - 1));
        }
    }
    return 0;
}
