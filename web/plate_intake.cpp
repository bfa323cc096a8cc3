// Licence-plate events: the JSON body the recognition application posts.
#include "web/plate_intake.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <nlohmann/json.hpp>
#include <utility>

#include "util/log.h"
#include "util/plate_card.h"

namespace {

// Outside text shown in a log line is cut to this many bytes: a number or a
// parser's last token may be as long as the body.
constexpr size_t kShownLimit = 200;

std::string shortened(const std::string& text, size_t limit = kShownLimit) {
    return text.size() <= limit ? text : text.substr(0, limit) + "...";
}

// A region number: 1 and 2 name readers, every other number names none.
PlateRegion numberedRegion(double number, std::string shown) {
    return {number == 1 ? 1 : number == 2 ? 2 : 0, std::move(shown)};
}

// A roiID string as std::stoi reads it: blanks, a sign and digits, anything
// after them ignored (" 2x" is region 2). A string without a number is
// region 1; a number beyond long long names no reader.
PlateRegion regionOfText(const std::string& text) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long number = strtoll(start, &end, 10);
    if (end == start)
        return {1, ""};
    if (errno == ERANGE) {
        const char* digits = start + strspn(start, " \t\n\v\f\r");
        return {0, shortened(std::string(digits, static_cast<size_t>(end - digits)), 32)};
    }
    return numberedRegion(static_cast<double>(number), std::to_string(number));
}

// The JSON text of a plate event, read event by event (nlohmann-json's SAX
// interface): the parser keeps the nesting in a vector of its own and stops as
// soon as a handler returns false, so the depth limit is enforced while it
// parses and no body spends the stack. Member names are compared after their
// escapes are decoded, as JSON defines them.
class EventReader {
  public:
    using Json = nlohmann::json;

    // The parse ended early or failed: the line to log, empty when it did not.
    std::string refusal;
    // A plateUTF8 member was seen; its value, when that was a string.
    bool plateNamed = false;
    std::optional<std::string> plate;
    // The value of the roiID member; a value that is no number is region 1.
    std::optional<PlateRegion> region;
    // The member named a second time, or null.
    const char* repeated = nullptr;

    bool null() { return value(); }
    bool boolean(bool) { return value(); }
    bool number_integer(Json::number_integer_t number) {
        return value(numberedRegion(static_cast<double>(number), std::to_string(number)));
    }
    bool number_unsigned(Json::number_unsigned_t number) {
        return value(numberedRegion(static_cast<double>(number), std::to_string(number)));
    }
    // As written: 2.0 is the number 2, 1.9 names no reader.
    bool number_float(Json::number_float_t number, const std::string& text) {
        return value(numberedRegion(number, shortened(text, 32)));
    }
    bool string(std::string& text) {
        if (expecting == Member::kPlate)
            plate = std::move(text);
        else if (expecting == Member::kRegion)
            region = regionOfText(text);
        expecting = Member::kNone;
        return true;
    }
    bool binary(Json::binary_t&) { return value(); }
    bool start_object(size_t) { return enter(); }
    bool start_array(size_t) { return enter(); }
    bool end_object() { return leave(); }
    bool end_array() { return leave(); }

    bool key(std::string& name) {
        expecting = Member::kNone;
        if (name == "plateUTF8")
            claim(Member::kPlate, plateNamed, "plateUTF8");
        else if (name == "roiID")
            claim(Member::kRegion, regionNamed, "roiID");
        return true;
    }

    bool parse_error(size_t, const std::string&, const Json::exception& error) {
        // The library's text without its "[json.exception.parse_error.101] " tag.
        std::string reason = error.what();
        if (reason.rfind("[json.exception.", 0) == 0 && reason.find("] ") != std::string::npos)
            reason.erase(0, reason.find("] ") + 2);
        refusal = "the body is not valid JSON (" + shortened(reason) + ")";
        return false;
    }

  private:
    enum class Member { kNone, kPlate, kRegion };

    void claim(Member member, bool& named, const char* name) {
        if (named) {
            repeated = repeated != nullptr ? repeated : name;
            return;
        }
        named = true;
        expecting = member;
    }

    // A member's value other than a string, or the first event of one that is
    // an object or array; as a region, a value that is no number is region 1.
    bool value(PlateRegion read = {1, ""}) {
        if (expecting == Member::kRegion)
            region = std::move(read);
        expecting = Member::kNone;
        return true;
    }

    bool enter() {
        value();
        if (++depth <= kJsonDepthLimit)
            return true;
        refusal = "JSON nested deeper than " + std::to_string(kJsonDepthLimit) + " levels";
        return false;
    }

    bool leave() {
        --depth;
        return true;
    }

    Member expecting = Member::kNone;
    bool regionNamed = false;
    int depth = 0;
};

// The encoding a body's first bytes show when it is UTF-16 or UTF-32, by its
// byte order mark or by the zero bytes that ASCII text has in them; null for
// anything else. JSON exchanged between systems is UTF-8 (RFC 8259, 8.1).
const char* foreignEncoding(std::string_view body) {
    if (body.rfind("\xFF\xFE", 0) == 0)
        return body.compare(2, 2, std::string_view("\0\0", 2)) == 0 ? "UTF-32LE" : "UTF-16LE";
    if (body.rfind("\xFE\xFF", 0) == 0)
        return "UTF-16BE";
    const auto zeroAt = [&body](size_t i) { return i < body.size() && body[i] == '\0'; };
    if (zeroAt(0))
        return zeroAt(1) ? "UTF-32BE" : "UTF-16BE";
    if (zeroAt(1))
        return zeroAt(2) ? "UTF-32LE" : "UTF-16LE";
    return nullptr;
}

const std::string kUtf8Mark = "\xEF\xBB\xBF";

// Why a plate event read whole delivers nothing, empty when it may deliver.
std::string eventFault(const EventReader& event) {
    // Two plates, or two regions, are ambiguous, whichever of them a reader
    // of the event would take.
    if (event.repeated != nullptr)
        return std::string("a second ") + event.repeated + " member makes the event ambiguous";
    if (!event.plate.has_value())
        return "plateUTF8 is not a string";
    // A plate's card is the digest of its bytes; a zero among them would end
    // the plate early wherever it is handled as C text.
    if (event.plate->find('\0') != std::string::npos)
        return "the plate holds \\u0000";
    return std::string();
}

}  // namespace

bool PlateIntake::take(std::string_view body) {
    if (const char* encoding = foreignEncoding(body)) {
        logAt(1, "LPR refused: the body is %s, not UTF-8", encoding);
        return true;
    }
    // A UTF-8 byte order mark is allowed before the text, and skipped.
    const size_t textStart = body.rfind(kUtf8Mark, 0) == 0 ? kUtf8Mark.size() : 0;
    const size_t start = body.find_first_not_of(" \t\r\n", textStart);
    if (start == std::string::npos || (body[start] != '{' && body[start] != '['))
        return false;
    // The parser takes a zero byte for the end of the text, and a zero byte
    // in a string must be written \u0000: anything after one would be unread.
    if (body.find('\0') != std::string::npos) {
        logAt(1, "LPR refused: the body holds a zero byte");
        return true;
    }
    EventReader event;
    nlohmann::json::sax_parse(body.data() + textStart, body.data() + body.size(), &event,
                              nlohmann::json::input_format_t::json, true, false);
    if (!event.refusal.empty()) {
        logAt(1, "LPR refused: %s", event.refusal.c_str());
        return true;
    }
    if (!event.plateNamed)
        return false;
    const std::string fault = eventFault(event);
    if (!fault.empty()) {
        logAt(1, "LPR refused: %s", fault.c_str());
        return true;
    }
    const std::optional<PlateCard> card = plateCard(*event.plate);
    if (!card) {
        logAt(1, "LPR refused: the plate is empty, blank or control characters only");
        return true;
    }
    deliver(*card, event.region);
    return true;
}

void PlateIntake::deliver(const PlateCard& card, const std::optional<PlateRegion>& region) {
    logAt(2, "Read LPR [%s]", card.plate.c_str());
    if (!region.has_value()) {
        logAt(3, "HTTP POST string %s not found", "roiID");
        return;
    }
    if (region->reader == 0) {
        logAt(1, "LPR ROI=%s Error.", region->number.c_str());
        return;
    }
    const int reader = region->reader;
    logAt(2, "Send Reader=%d LPR [%s] CardNumber=[%04X] SHA1=[%s]", reader, card.plate.c_str(),
          card.card, card.digest.c_str());
    osdp.injectCard(reader - 1, card.card, CardSource::plateEvent, card.plate, arrived);
    osdp.setLastLpr(reader - 1, card.plate);
}
