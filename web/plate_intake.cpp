// POST bodies: licence-plate events from the recognition application, and
// form-encoded Base64 file uploads whose lines become a command's value.
#include "web/plate_intake.h"

#include <json-glib/json-glib.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>

#include "util/base64.h"
#include "util/hex.h"
#include "util/log.h"
#include "util/sha1.h"
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

// True when objects and arrays nest no deeper than limit; brackets inside
// strings do not count.
bool nestsWithin(const std::string& text, int limit) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if ((c == '{' || c == '[') && ++depth > limit) {
            return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

// The value of the first member called name, in document order at any depth:
// a member's name comes before the members nested in its value.
JsonNode* firstMember(JsonNode* node, const char* name) {
    if (JSON_NODE_HOLDS_OBJECT(node)) {
        JsonObjectIter iter;
        json_object_iter_init_ordered(&iter, json_node_get_object(node));
        const gchar* member = nullptr;
        JsonNode* value = nullptr;
        while (json_object_iter_next_ordered(&iter, &member, &value)) {
            if (strcmp(member, name) == 0)
                return value;
            if (JsonNode* found = firstMember(value, name))
                return found;
        }
    } else if (JSON_NODE_HOLDS_ARRAY(node)) {
        JsonArray* array = json_node_get_array(node);
        for (guint i = 0; i < json_array_get_length(array); ++i) {
            if (JsonNode* found = firstMember(json_array_get_element(array, i), name))
                return found;
        }
    }
    return nullptr;
}

bool holdsString(JsonNode* node) {
    return JSON_NODE_HOLDS_VALUE(node) && json_node_get_value_type(node) == G_TYPE_STRING;
}

// The region a roiID value names: a string as std::stoi reads it (" 2x" is 2),
// a number as it stands, whole part only. Anything else, a string without a
// number or a number beyond int, is region 1.
int regionOf(JsonNode* node) {
    if (holdsString(node)) {
        try {
            return std::stoi(json_node_get_string(node), nullptr, 10);
        } catch (const std::logic_error&) {
            return 1;
        }
    }
    if (JSON_NODE_HOLDS_VALUE(node) && (json_node_get_value_type(node) == G_TYPE_INT64 ||
                                        json_node_get_value_type(node) == G_TYPE_DOUBLE)) {
        const double number = std::trunc(json_node_get_double(node));
        if (number >= INT_MIN && number <= INT_MAX)
            return static_cast<int>(number);
    }
    return 1;
}

}  // namespace

bool PlateIntake::take(const std::string& body) {
    const size_t start = body.find_first_not_of(" \t\r\n");
    if (start == std::string::npos || (body[start] != '{' && body[start] != '['))
        return false;
    if (!nestsWithin(body, kJsonDepthLimit)) {
        logAt(1, "LPR refused: JSON nested deeper than %d levels", kJsonDepthLimit);
        return true;
    }
    const std::unique_ptr<JsonParser, decltype(&g_object_unref)> parser(json_parser_new(),
                                                                        &g_object_unref);
    GError* error = nullptr;
    if (!json_parser_load_from_data(parser.get(), body.data(), static_cast<gssize>(body.size()),
                                    &error)) {
        logAt(1, "LPR refused: the body is not valid JSON (%s)", error->message);
        g_error_free(error);
        return true;
    }
    JsonNode* root = json_parser_get_root(parser.get());
    JsonNode* plateNode = firstMember(root, "plateUTF8");
    if (plateNode == nullptr)
        return false;
    if (!holdsString(plateNode)) {
        logAt(1, "LPR refused: plateUTF8 is not a string");
        return true;
    }
    std::string plate = json_node_get_string(plateNode);
    plate.erase(std::remove(plate.begin(), plate.end(), ' '), plate.end());
    if (std::all_of(plate.begin(), plate.end(), isControl)) {
        logAt(1, "LPR refused: the plate is empty, blank or control characters only");
        return true;
    }
    JsonNode* regionNode = firstMember(root, "roiID");
    deliver(plate, regionNode != nullptr ? std::optional<int>(regionOf(regionNode)) : std::nullopt);
    return true;
}

void PlateIntake::deliver(const std::string& plate, std::optional<int> region) {
    std::string digest;
    try {
        Sha1 sha;
        sha.update(plate);
        digest = sha.finalHex();
    } catch (const std::exception&) {
        logAt(1, "SHA-1 Error [%s]", plate.c_str());
        return;
    }
    const uint32_t card = cardNumberFromDigest(digest);
    logAt(2, "Read LPR [%s]", plate.c_str());
    if (!region.has_value()) {
        logAt(3, "HTTP POST string %s not found", "roiID");
        return;
    }
    if (*region != 1 && *region != 2) {
        logAt(1, "LPR ROI=%d Error.", *region);
        return;
    }
    logAt(2, "Send Reader=%d LPR [%s] CardNumber=[%04X] SHA1=[%s]", *region, plate.c_str(), card,
          digest.c_str());
    osdp.injectCard(*region - 1, card, CardSource::plateEvent, plate, arrived);
    osdp.setLastLpr(*region - 1, plate);
}

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

namespace {

enum class BodyRead { kWhole, kTooLong, kBroken };

// Reads the body piece by piece, so that memory follows what arrives, up to
// one byte past the limit.
BodyRead readBodyText(const BodyReader& readBody, std::string& body) {
    constexpr size_t kPiece = 64 * 1024;
    while (body.size() <= kBodyLimit) {
        const size_t held = body.size();
        const size_t wanted = std::min(kPiece, kBodyLimit + 1 - held);
        body.resize(held + wanted);
        const int got = readBody(&body[held], static_cast<int>(wanted));
        body.resize(held + static_cast<size_t>(std::max(got, 0)));
        if (got < 0)
            return BodyRead::kBroken;
        if (static_cast<size_t>(got) < wanted)
            break;
    }
    return body.size() > kBodyLimit ? BodyRead::kTooLong : BodyRead::kWhole;
}

}  // namespace

std::string WebService::handlePost(const BodyReader& readBody, const std::string& uri,
                                   const std::string& key) {
    std::string body;
    switch (readBodyText(readBody, body)) {
        case BodyRead::kBroken:
            logAt(1, "POST body broke off: request dropped");
            return std::string();
        case BodyRead::kTooLong:
            logAt(1, "POST body over %zu bytes refused", kBodyLimit);
            return "<response>Body too large</response>\n";
        case BodyRead::kWhole:
            break;
    }
    const int len = static_cast<int>(body.size());
    // The text ends at a zero byte.
    body.resize(strnlen(body.data(), body.size()));
    logAt(5, "POST URI: [%s], Len=%d [%s]", uri.c_str(), len, body.c_str());
    return handlePostBody(uri, key, body);
}

std::string WebService::handlePostBody(const std::string& uri, const std::string& key,
                                       const std::string& body) {
    if (uri.find("?lpr") == std::string::npos) {
        logAt(2, "LPR Not found");
        return std::string();
    }
    if (PlateIntake(osdp, requestArrival).take(body))
        return std::string();

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
