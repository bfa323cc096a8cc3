// The body of a POST request: a licence-plate event from the recognition
// application (PlateIntake), or a form-encoded Base64 file upload whose lines
// become a command's value.
#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "util/base64.h"
#include "util/hex.h"
#include "util/log.h"
#include "web/plate_intake.h"
#include "web/web_service.h"

namespace {

const std::string kBase64Marker = ";base64,";

bool isControl(char c) {
    const unsigned char byte = static_cast<unsigned char>(c);
    return byte < 32 || byte == 127;
}

// The uploaded bytes line by line, control characters removed, each line
// ended by one line feed; an empty piece after a final line feed is no line.
std::string cleanLines(const std::string& bytes) {
    std::string out;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        for (size_t i = start; i < end; ++i) {
            if (!isControl(bytes[i]))
                out.push_back(bytes[i]);
        }
        out.push_back('\n');
        start = end + 1;
    }
    return out;
}

}  // namespace

std::string urlDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() && hexDigitValue(text[i + 1]) >= 0 &&
                   hexDigitValue(text[i + 2]) >= 0) {
            out.push_back(
                static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string WebService::handlePost(const std::string& uri, const std::string& key,
                                   std::string_view body) {
    if (body.size() > kBodyLimit) {
        logAt(1, "POST body over %zu bytes refused", kBodyLimit);
        return "<response>Body too large</response>\n";
    }
    // Shown up to its first zero byte.
    logAt(5, "POST URI: [%s], Len=%d [%.*s]", uri.c_str(), static_cast<int>(body.size()),
          static_cast<int>(body.size()), body.data());
    if (uri.find("?lpr") == std::string::npos) {
        logAt(2, "LPR Not found");
        return std::string();
    }
    if (PlateIntake(osdp, requestArrival).take(body))
        return std::string();

    // An upload's text ends at its first zero byte.
    const std::string decoded = urlDecode(std::string(body.substr(0, body.find('\0'))));
    const size_t marker = decoded.find(kBase64Marker);
    if (marker == std::string::npos) {
        logAt(5, "Upload base64 file error");
        return "<response>Base64 file error</response>\n";
    }
    try {
        // Data ends at a zero byte that a "%00" may have put into the text.
        const std::string data = decoded.substr(marker + kBase64Marker.size()).c_str();
        const std::string uploadText = cleanLines(base64Decode(data));
        return processKey(key, uploadText);
    } catch (const std::exception&) {
        logAt(1, "Upload file error");
        return "<response>Error Catch - file error</response>\n";
    }
}
