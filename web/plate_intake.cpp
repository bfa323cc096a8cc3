// POST bodies: licence-plate events from the recognition application, and
// form-encoded Base64 file uploads whose lines become a command's value.
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>

#include "util/base64.h"
#include "util/hex.h"
#include "util/log.h"
#include "util/sha1.h"
#include "web/web_service.h"

namespace {

const std::string kPlateKey = "\"plateUTF8\":\"";
const std::string kRoiKey = "\"roiID\":\"";
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

// Region number of a plate event: decimal as std::stoi reads it, and
// region 1 when the text holds no number or one out of range.
int regionNumber(const std::string& text) {
    try {
        return std::stoi(text, nullptr, 10);
    } catch (const std::logic_error&) {
        return 1;
    }
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

std::string WebService::handlePost(const BodyReader& readBody, const std::string& uri,
                                   const std::string& key) {
    // On the heap: worker threads of small targets have small stacks. Left
    // unfilled, so that only the pages a body reaches become resident: filling
    // 100 kB for a plate event of a few hundred bytes kept that much memory in
    // the worker's malloc arena for good, and took longer than the rest of
    // the request.
    const std::unique_ptr<char[]> bodyBuffer(new char[kBodyBufferSize]);
    int len = readBody(bodyBuffer.get(), static_cast<int>(kBodyBufferSize));
    if (len < 0)
        len = 0;
    const size_t readSize = std::min(static_cast<size_t>(len), kBodyBufferSize);
    // Only the bytes read are looked at. A full buffer has no terminating zero
    // byte: the text stops at its end.
    const std::string body(bodyBuffer.get(), strnlen(bodyBuffer.get(), readSize));
    logAt(5, "POST URI: [%s], Len=%d [%s]", uri.c_str(), len, body.c_str());
    return handlePostBody(uri, key, body);
}

std::string WebService::handlePostBody(const std::string& uri, const std::string& key,
                                       const std::string& body) {
    if (uri.find("?lpr") == std::string::npos) {
        logAt(2, "LPR Not found");
        return std::string();
    }

    const size_t plateKeyPos = body.find(kPlateKey);
    if (plateKeyPos != std::string::npos) {
        std::string plate;
        std::string digest;
        std::optional<uint32_t> card;
        const size_t plateStart = plateKeyPos + kPlateKey.size();
        const size_t plateEnd = body.find('"', plateStart);
        if (plateEnd == std::string::npos) {
            logAt(3, "HTTP POST JSON Parse error [%s]", kPlateKey.c_str());
        } else {
            for (size_t i = plateStart; i < plateEnd; ++i) {
                if (body[i] != ' ')
                    plate.push_back(body[i]);
            }
            try {
                Sha1 sha;
                sha.update(plate);
                digest = sha.finalHex();
                card = cardNumberFromDigest(digest);
                logAt(2, "Read LPR [%s]", plate.c_str());
            } catch (const std::exception&) {
                logAt(1, "SHA-1 Error [%s]", plate.c_str());
                digest.clear();
            }
        }

        const size_t roiKeyPos = body.find(kRoiKey);
        if (roiKeyPos == std::string::npos) {
            logAt(3, "HTTP POST string %s not found", kRoiKey.c_str());
            return std::string();
        }
        const size_t roiStart = roiKeyPos + kRoiKey.size();
        const size_t roiEnd = body.find('"', roiStart);
        if (roiEnd == std::string::npos) {
            logAt(2, "Cant find ROI information");
            return std::string();
        }
        const int region = regionNumber(body.substr(roiStart, roiEnd - roiStart));
        if (region != 1 && region != 2) {
            logAt(1, "LPR ROI=%d Error.", region);
            return std::string();
        }
        // An event without a card number of its own delivers nothing: no
        // stale card may reach the controller in its name.
        if (card.has_value()) {
            logAt(2, "Send Reader=%d LPR [%s] CardNumber=[%04X] SHA1=[%s]", region, plate.c_str(),
                  *card, digest.c_str());
            osdp.injectCard(region - 1, *card);
            osdp.setLastLpr(region - 1, plate);
        }
        return std::string();
    }

    const std::string decoded = urlDecode(body);
    const size_t marker = decoded.find(kBase64Marker);
    if (marker == std::string::npos) {
        logAt(5, "Upload base64 file error");
        return "<reponse>Base64 file error</response>\n";
    }
    try {
        // Data ends at a zero byte that a "%00" may have put into the text.
        const std::string data = decoded.substr(marker + kBase64Marker.size()).c_str();
        const std::string uploadText = cleanLines(base64Decode(data));
        return processKey(key, uploadText);
    } catch (const std::exception&) {
        logAt(1, "Upload file error");
        return "<reponse>Error Catch - file error</response>\n";
    }
}
