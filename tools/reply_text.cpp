#include "tools/reply_text.h"

#include <cstdio>

#include "osdp/protocol.h"
#include "util/coding.h"
#include "util/hex.h"

namespace {

std::string hexBytes(const std::vector<uint8_t>& data, size_t first, size_t count) {
    return hexEncode(data.data() + first, count);
}

// The serial number as a number: sent low byte first, shown high digit first.
std::string serialText(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

std::string describeIdentity(const OsdpReply& reply) {
    const std::vector<uint8_t>& d = reply.data;
    if (d.size() < 12)
        return readerPrefix(reply.address) + " id malformed";
    return readerPrefix(reply.address) + " id vendor=" + hexBytes(d, 0, 3) +
           " model=" + std::to_string(d[3]) + " version=" + std::to_string(d[4]) +
           " serial=" + serialText(decodeFixed32(&d[5])) + " firmware=" + std::to_string(d[9]) +
           "." + std::to_string(d[10]) + "." + std::to_string(d[11]);
}

std::string describeCapabilities(const OsdpReply& reply) {
    std::string line = readerPrefix(reply.address) + " capabilities";
    // Three bytes per entry: function, compliance, number of items.
    for (size_t i = 0; i + 3 <= reply.data.size(); i += 3) {
        line += " " + std::to_string(reply.data[i]) + ":" + std::to_string(reply.data[i + 1]) +
                ":" + std::to_string(reply.data[i + 2]);
    }
    return line;
}

std::string describeCard(const OsdpReply& reply) {
    const std::vector<uint8_t>& d = reply.data;
    if (d.size() < 4)
        return readerPrefix(reply.address) + " card malformed";
    unsigned bits = decodeFixed16(&d[2]);
    size_t bytes = (bits + 7) / 8;
    if (bits == 0 || d.size() < 4 + bytes)
        return readerPrefix(reply.address) + " card malformed";
    char format[8];
    snprintf(format, sizeof format, "0x%02X", d[1]);
    return readerPrefix(reply.address) + " card format=" + format +
           " bits=" + std::to_string(bits) + " card=" + hexBytes(d, 4, bytes);
}

}  // namespace

std::string readerPrefix(uint8_t address) {
    return "reader " + std::to_string(address);
}

std::string describeReply(uint8_t command, const OsdpReply& reply) {
    switch (reply.code) {
        case kReplyAck:
            return std::string();
        case kReplyNak:
            return readerPrefix(reply.address) + " nak error=" +
                   (reply.data.empty() ? std::string("?") : std::to_string(reply.data[0]));
        case kReplyPdid:
            return describeIdentity(reply);
        case kReplyPdcap:
            return describeCapabilities(reply);
        case kReplyLstatr:
            if (reply.data.size() < 2)
                return readerPrefix(reply.address) + " status malformed";
            return readerPrefix(reply.address) + " status tamper=" + std::to_string(reply.data[0]) +
                   " power=" + std::to_string(reply.data[1]);
        case kReplyRaw:
            return describeCard(reply);
    }
    char text[48];
    snprintf(text, sizeof text, " reply code=0x%02X to command 0x%02X", reply.code, command);
    return readerPrefix(reply.address) + text;
}
