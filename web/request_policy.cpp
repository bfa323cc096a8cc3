#include "web/request_policy.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

std::string lowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool parseAddress(const std::string& text, AddressRange* range) {
    if (inet_pton(AF_INET, text.c_str(), range->address) == 1) {
        range->family = AF_INET;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), range->address) == 1) {
        range->family = AF_INET6;
        return true;
    }
    return false;
}

int widthOf(int family) {
    return family == AF_INET ? 32 : 128;
}

bool bitSet(const AddressRange& range, int bit) {
    return (range.address[bit / 8] & (0x80 >> (bit % 8))) != 0;
}

bool inRange(const AddressRange& address, const AddressRange& range) {
    if (address.family != range.family)
        return false;
    for (int bit = 0; bit < range.bits; ++bit) {
        if (bitSet(address, bit) != bitSet(range, bit))
            return false;
    }
    return true;
}

// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) turned into the IPv4 address
// it carries, its bit count with it; false for any other.
bool unmapIpv4(AddressRange* range) {
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (range->family != AF_INET6 || memcmp(range->address, kMapped, 12) != 0)
        return false;
    memmove(range->address, range->address + 12, 4);
    memset(range->address + 4, 0, 12);
    range->family = AF_INET;
    range->bits -= 96;
    return true;
}

// A REMOTE_ADDR as a single address; an IPv4-mapped IPv6 address is taken
// as the IPv4 address it carries.
bool remoteAddress(const std::string& text, AddressRange* address) {
    if (!parseAddress(text, address))
        return false;
    address->bits = widthOf(address->family);
    unmapIpv4(address);
    return true;
}

bool isLoopback(const AddressRange& address) {
    AddressRange range;
    std::string unused;
    return (parseAddressRange("127.0.0.0/8", &range, &unused) && inRange(address, range)) ||
           (parseAddressRange("::1", &range, &unused) && inRange(address, range));
}

// The host of a Host header value ("name", "name:port", "1.2.3.4:80",
// "[::1]:8080"), lower case, without a trailing dot. Empty when malformed.
std::string hostPart(const std::string& value, bool* isLiteral) {
    *isLiteral = false;
    AddressRange unused;
    if (!value.empty() && value[0] == '[') {
        const size_t close = value.find(']');
        if (close == std::string::npos)
            return std::string();
        const std::string literal = value.substr(1, close - 1);
        *isLiteral = inet_pton(AF_INET6, literal.c_str(), unused.address) == 1;
        return literal;
    }
    std::string host = lowerCase(value.substr(0, value.find(':')));
    if (!host.empty() && host.back() == '.')
        host.pop_back();
    *isLiteral = inet_pton(AF_INET, host.c_str(), unused.address) == 1;
    return host;
}

bool knownHost(const std::string& hostHeader, const TrustSettings& trust) {
    // Without a Host header no browser sent the request: nothing to rebind.
    if (hostHeader.empty())
        return true;
    bool isLiteral = false;
    const std::string host = hostPart(hostHeader, &isLiteral);
    if (isLiteral || host == "localhost" || (!host.empty() && host == trust.hostName))
        return true;
    for (const std::string& allowed : trust.allowedHosts) {
        if (host == allowed)
            return true;
    }
    return false;
}

// A browser request made by a page of another site: the browser says so
// (Sec-Fetch-Site), or the Origin it names is not the host addressed. Ports
// are not compared: web servers pass the Host without one (nginx's $host),
// and a page on another port of this host is "same-site" to the browser.
bool crossSite(const RequestSource& source) {
    if (source.secFetchSite == "cross-site" || source.secFetchSite == "same-site")
        return true;
    if (source.origin.empty())
        return false;
    const size_t scheme = source.origin.find("://");
    if (scheme == std::string::npos)
        return true;
    bool isLiteral = false;
    const std::string origin = hostPart(source.origin.substr(scheme + 3), &isLiteral);
    return origin.empty() || origin != hostPart(source.host, &isLiteral);
}

// Entries of an environment variable, separated by commas or blanks.
std::vector<std::string> entriesOf(const char* name) {
    std::vector<std::string> out;
    const char* value = getenv(name);
    std::string text = value != nullptr ? value : "";
    for (char& c : text) {
        if (c == ',')
            c = ' ';
    }
    std::istringstream words(text);
    for (std::string word; words >> word;)
        out.push_back(word);
    return out;
}

bool trustedSource(const RequestSource& source, const TrustSettings& trust) {
    if (!source.remoteUser.empty())
        return true;
    AddressRange address;
    if (!remoteAddress(source.remoteAddr, &address))
        return false;
    if (isLoopback(address))
        return true;
    for (const AddressRange& range : trust.trustedSources) {
        if (inRange(address, range))
            return true;
    }
    return false;
}

}  // namespace

const char* kindName(RequestKind kind) {
    switch (kind) {
        case RequestKind::kRead:
            return "read";
        case RequestKind::kPlateIntake:
            return "plate intake";
        case RequestKind::kControl:
            return "control";
    }
    return "";
}

const char* verdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::kAllowed:
            return "allowed";
        case Verdict::kForeignHost:
            return "foreign host";
        case Verdict::kCrossSite:
            return "cross-site";
        case Verdict::kUntrusted:
            return "untrusted source";
    }
    return "";
}

bool parseAddressRange(const std::string& text, AddressRange* range, std::string* why) {
    const size_t slash = text.find('/');
    const std::string bits = slash == std::string::npos ? "" : text.substr(slash + 1);
    if (!parseAddress(text.substr(0, slash), range) ||
        (slash != std::string::npos &&
         (bits.empty() || bits.size() > 3 ||
          bits.find_first_not_of("0123456789") != std::string::npos))) {
        *why = "not an address range";
        return false;
    }
    const int width = widthOf(range->family);
    range->bits = slash == std::string::npos ? width : atoi(bits.c_str());
    if (range->bits > width) {
        *why = "more than " + std::to_string(width) + " bits";
        return false;
    }
    // A range wider than it looks is refused, not widened: "10.1.2.3/0"
    // would trust every address. (The rule leaves no IPv4-mapped range
    // shorter than /96: its ffff is in bits 80 to 95.)
    for (int bit = range->bits; bit < width; ++bit) {
        if (bitSet(*range, bit)) {
            *why = "host bits set past the /" + bits + " prefix";
            return false;
        }
    }
    unmapIpv4(range);
    return true;
}

std::string rangeText(const AddressRange& range) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(range.family, range.address, text, sizeof text);
    return std::string(text) + "/" + std::to_string(range.bits);
}

TrustSettings TrustSettings::fromEnvironment(std::vector<std::string>* rejected) {
    TrustSettings trust;
    for (const std::string& entry : entriesOf("ZUL_TRUSTED_SOURCES")) {
        AddressRange range;
        std::string why;
        if (parseAddressRange(entry, &range, &why))
            trust.trustedSources.push_back(range);
        else
            rejected->push_back("trusted source [" + entry + "]: " + why);
    }
    for (const std::string& entry : entriesOf("ZUL_ALLOWED_HOSTS")) {
        bool isLiteral = false;
        const std::string host = hostPart(entry, &isLiteral);
        if (host.empty() || host.size() != entry.size())
            rejected->push_back("allowed host [" + entry + "]: not a host name");
        else
            trust.allowedHosts.push_back(host);
    }
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0)
        trust.hostName = lowerCase(name);
    return trust;
}

Verdict judgeRequest(RequestKind kind, const RequestSource& source, const TrustSettings& trust) {
    if (!knownHost(source.host, trust))
        return Verdict::kForeignHost;
    if (kind == RequestKind::kRead)
        return Verdict::kAllowed;
    if (crossSite(source))
        return Verdict::kCrossSite;
    return trustedSource(source, trust) ? Verdict::kAllowed : Verdict::kUntrusted;
}
