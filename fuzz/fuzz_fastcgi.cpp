// Arbitrary bytes from a FastCGI client into one connection, in pieces whose
// size the first byte chooses. Every request served must keep within the
// limits, every record sent must be well formed, and the bytes the
// connection holds must stay bounded whatever was claimed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "web/fastcgi_server.h"

namespace {

// Records of the kinds a responder sends, laid whole one after another.
void checkSent(const std::string& sent) {
    for (size_t at = 0; at < sent.size();) {
        require(sent.size() - at >= kFcgiHeaderSize);
        const FcgiHeader header = decodeFcgiHeader(reinterpret_cast<const uint8_t*>(&sent[at]));
        require(header.version == kFcgiVersion && header.paddingLength == 0);
        require(header.type == kFcgiStdout || header.type == kFcgiEndRequest ||
                header.type == kFcgiGetValuesResult || header.type == kFcgiUnknownType);
        require(header.type != kFcgiEndRequest || header.contentLength == 8);
        at += kFcgiHeaderSize + header.contentLength;
        require(at <= sent.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    FcgiServerLimits limits;
    limits.protocol = {256, 16, 4};
    const size_t piece = data[0] % 16 + 1;
    FcgiConnection connection(0, limits);
    const FcgiConnection::Handler handler = [&limits](const FcgiRequest& request, int64_t) {
        size_t params = 0;
        for (const auto& [name, value] : request.params)
            params += name.size() + value.size();
        require(request.id != 0 && params <= limits.protocol.paramsBytes &&
                request.body.size() <= limits.protocol.bodyKept);
        return std::string(request.body.size() * 5000, 'r');
    };
    std::string sent;
    for (size_t at = 1; at < size && connection.wantsInput(); at += piece) {
        connection.receive(data + at, std::min(piece, size - at), 0, handler);
        // One record being cut and one answer, each at most twice over for
        // the growth of their buffers, and the small rest.
        require(connection.heldBytes() <= 2 * (kFcgiHeaderSize + 65535 + 255) + 2 * 81000 + 4096);
        sent.append(connection.pending(), connection.pendingSize());
        connection.sent(connection.pendingSize(), 0, handler);
    }
    checkSent(sent);
    return 0;
}
