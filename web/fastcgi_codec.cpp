#include "web/fastcgi_codec.h"

#include <algorithm>
#include <cstring>

#include "util/coding.h"

namespace {

// A length of a name-value pair in four bytes has this bit set in its first.
constexpr uint8_t kLongLength = 0x80;

size_t recordLength(const FcgiHeader& header) {
    return kFcgiHeaderSize + header.contentLength + header.paddingLength;
}

void appendLength(std::string* out, size_t length) {
    if (length < kLongLength) {
        out->push_back(static_cast<char>(length));
        return;
    }
    uint8_t bytes[4];
    encodeBigEndian32(bytes, static_cast<uint32_t>(length) | 0x80000000u);
    out->append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

// Reads one length at *at; false when it runs past end.
bool takeLength(const uint8_t* in, size_t end, size_t* at, size_t* length) {
    if (*at >= end)
        return false;
    if (in[*at] < kLongLength) {
        *length = in[(*at)++];
        return true;
    }
    if (end - *at < 4)
        return false;
    *length = decodeBigEndian32(in + *at) & 0x7FFFFFFFu;
    *at += 4;
    return true;
}

}  // namespace

FcgiHeader decodeFcgiHeader(const uint8_t* in) {
    FcgiHeader header;
    header.version = in[0];
    header.type = in[1];
    header.requestId = decodeBigEndian16(in + 2);
    header.contentLength = decodeBigEndian16(in + 4);
    header.paddingLength = in[6];
    return header;
}

void appendFcgiRecord(std::string* out, uint8_t type, uint16_t requestId, const char* content,
                      size_t length) {
    uint8_t header[kFcgiHeaderSize] = {kFcgiVersion, type};
    encodeBigEndian16(header + 2, requestId);
    encodeBigEndian16(header + 4, static_cast<uint16_t>(length));
    out->append(reinterpret_cast<const char*>(header), sizeof header);
    out->append(content, length);
}

void appendFcgiPair(std::string* out, const std::string& name, const std::string& value) {
    appendLength(out, name.size());
    appendLength(out, value.size());
    *out += name;
    *out += value;
}

bool decodeFcgiPairs(const std::string& bytes, FcgiPairs* pairs) {
    const uint8_t* in = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t end = bytes.size();
    size_t at = 0;
    while (at < end) {
        size_t nameLength = 0, valueLength = 0;
        if (!takeLength(in, end, &at, &nameLength) || !takeLength(in, end, &at, &valueLength) ||
            nameLength > end - at || valueLength > end - at - nameLength)
            return false;
        pairs->emplace_back(bytes.substr(at, nameLength),
                            bytes.substr(at + nameLength, valueLength));
        at += nameLength + valueLength;
    }
    return true;
}

void appendFcgiResponse(std::string* out, uint16_t requestId, const std::string& body) {
    for (size_t at = 0; at < body.size(); at += kFcgiMaxContent) {
        appendFcgiRecord(out, kFcgiStdout, requestId, body.data() + at,
                         std::min(kFcgiMaxContent, body.size() - at));
    }
    appendFcgiRecord(out, kFcgiStdout, requestId, nullptr, 0);
    appendFcgiEndRequest(out, requestId, kFcgiRequestComplete);
}

void appendFcgiEndRequest(std::string* out, uint16_t requestId, FcgiStatus status) {
    // Application status (4 bytes, 0), protocol status, 3 reserved bytes.
    const char content[8] = {0, 0, 0, 0, static_cast<char>(status)};
    appendFcgiRecord(out, kFcgiEndRequest, requestId, content, sizeof content);
}

const char* FcgiRequest::param(const char* name) const {
    for (const auto& [key, value] : params) {
        if (key == name)
            return value.c_str();
    }
    return nullptr;
}

const char* fcgiEventText(FcgiEvent event) {
    switch (event) {
        case FcgiEvent::kBadVersion:
            return "a record of another FastCGI version";
        case FcgiEvent::kBadBegin:
            return "a malformed BEGIN_REQUEST";
        case FcgiEvent::kParamsTooLong:
            return "parameters too long";
        case FcgiEvent::kBadParams:
            return "a parameter running past the end of the parameters";
        case FcgiEvent::kOutOfOrder:
            return "a record out of order";
        case FcgiEvent::kNeedMore:
        case FcgiEvent::kRequest:
        case FcgiEvent::kClose:
            break;
    }
    return "";
}

FcgiEvent FcgiReceiver::receive(const uint8_t* bytes, size_t length, size_t* used,
                                std::string* replies) {
    FcgiEvent event = FcgiEvent::kNeedMore;
    size_t at = 0;
    started_ = started_ || length > 0;
    while (at < length && event == FcgiEvent::kNeedMore) {
        const bool headerIn = record_.size() >= kFcgiHeaderSize;
        const size_t wanted =
            headerIn ? recordLength(decodeFcgiHeader(reinterpret_cast<const uint8_t*>(&record_[0])))
                     : kFcgiHeaderSize;
        const size_t take = std::min(wanted - record_.size(), length - at);
        record_.append(reinterpret_cast<const char*>(bytes + at), take);
        at += take;
        if (record_.size() < kFcgiHeaderSize)
            break;
        const FcgiHeader header = decodeFcgiHeader(reinterpret_cast<const uint8_t*>(&record_[0]));
        if (header.version != kFcgiVersion) {
            event = FcgiEvent::kBadVersion;
        } else if (record_.size() == recordLength(header)) {
            event = takeRecord(header, &record_[kFcgiHeaderSize], replies);
            record_.clear();
        }
    }
    *used = at;
    return event;
}

void FcgiReceiver::nextRequest() {
    phase_ = Phase::kIdle;
    started_ = false;
    request_ = FcgiRequest();
    std::string().swap(paramBytes_);
}

size_t FcgiReceiver::heldBytes() const {
    size_t held = record_.capacity() + paramBytes_.capacity() + request_.body.capacity();
    for (const auto& [name, value] : request_.params)
        held += name.capacity() + value.capacity();
    return held;
}

FcgiEvent FcgiReceiver::takeRecord(const FcgiHeader& header, const char* content,
                                   std::string* replies) {
    if (header.requestId == 0)
        return takeManagement(header, content, replies);
    if (header.type == kFcgiBeginRequest)
        return takeBegin(header, content, replies);
    // Records of a request not under way (an aborted one, one refused) are
    // skipped, as the protocol asks.
    if (phase_ == Phase::kIdle || header.requestId != request_.id)
        return FcgiEvent::kNeedMore;
    if (header.type == kFcgiAbortRequest) {
        appendFcgiEndRequest(replies, request_.id, kFcgiRequestComplete);
        const bool keep = request_.keepConn;
        nextRequest();
        return keep ? FcgiEvent::kNeedMore : FcgiEvent::kClose;
    }
    if (header.type == kFcgiParams && phase_ == Phase::kParams)
        return takeParams(content, header.contentLength);
    if (header.type == kFcgiStdin && phase_ == Phase::kStdin)
        return takeStdin(content, header.contentLength);
    return FcgiEvent::kOutOfOrder;
}

FcgiEvent FcgiReceiver::takeManagement(const FcgiHeader& header, const char* content,
                                       std::string* replies) {
    if (header.type != kFcgiGetValues) {
        const char unknown[8] = {static_cast<char>(header.type)};
        appendFcgiRecord(replies, kFcgiUnknownType, 0, unknown, sizeof unknown);
        return FcgiEvent::kNeedMore;
    }
    FcgiPairs asked;
    if (!decodeFcgiPairs(std::string(content, header.contentLength), &asked))
        return FcgiEvent::kBadParams;
    const std::string connections = std::to_string(limits_.maxConnections);
    const std::pair<const char*, const std::string> known[] = {
        {"FCGI_MAX_CONNS", connections}, {"FCGI_MAX_REQS", connections}, {"FCGI_MPXS_CONNS", "0"}};
    // Each known name once, however often it is asked: the result fits a record.
    std::string result;
    for (const auto& answer : known) {
        if (std::any_of(asked.begin(), asked.end(),
                        [&answer](const auto& pair) { return pair.first == answer.first; }))
            appendFcgiPair(&result, answer.first, answer.second);
    }
    appendFcgiRecord(replies, kFcgiGetValuesResult, 0, result.data(), result.size());
    return FcgiEvent::kNeedMore;
}

FcgiEvent FcgiReceiver::takeBegin(const FcgiHeader& header, const char* content,
                                  std::string* replies) {
    if (header.contentLength != kFcgiBeginLength)
        return FcgiEvent::kBadBegin;
    const uint16_t role = decodeBigEndian16(reinterpret_cast<const uint8_t*>(content));
    const bool keep = (content[2] & kFcgiKeepConn) != 0;
    if (phase_ != Phase::kIdle) {
        if (header.requestId == request_.id)
            return FcgiEvent::kOutOfOrder;
        // One request at a time: the web server sends this one elsewhere.
        appendFcgiEndRequest(replies, header.requestId, kFcgiCantMpxConn);
        return FcgiEvent::kNeedMore;
    }
    if (role != kFcgiResponder) {
        appendFcgiEndRequest(replies, header.requestId, kFcgiUnknownRole);
        return keep ? FcgiEvent::kNeedMore : FcgiEvent::kClose;
    }
    request_.id = header.requestId;
    request_.keepConn = keep;
    phase_ = Phase::kParams;
    return FcgiEvent::kNeedMore;
}

FcgiEvent FcgiReceiver::takeParams(const char* content, size_t length) {
    if (length > 0) {
        if (paramBytes_.size() + length > limits_.paramsBytes)
            return FcgiEvent::kParamsTooLong;
        paramBytes_.append(content, length);
        return FcgiEvent::kNeedMore;
    }
    // The empty record ends the stream; a pair may span records, so the
    // pairs are cut from the whole stream.
    if (!decodeFcgiPairs(paramBytes_, &request_.params))
        return FcgiEvent::kBadParams;
    std::string().swap(paramBytes_);
    phase_ = Phase::kStdin;
    return FcgiEvent::kNeedMore;
}

FcgiEvent FcgiReceiver::takeStdin(const char* content, size_t length) {
    if (length == 0)
        return FcgiEvent::kRequest;
    const size_t room = limits_.bodyKept - std::min(limits_.bodyKept, request_.body.size());
    request_.body.append(content, std::min(length, room));
    return FcgiEvent::kNeedMore;
}
