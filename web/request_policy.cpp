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

bool inRange(const AddressRange& address, const AddressRange& range) {
    if (address.family != range.family)
        return false;
    for (int bit = 0; bit < range.bits; ++bit) {
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
        if ((address.address[bit / 8] & mask) != (range.address[bit / 8] & mask))
            return false;
    }
    return true;
}

// A REMOTE_ADDR as a single address; an IPv4-mapped IPv6 address is taken
// as the IPv4 address it carries.
bool remoteAddress(const std::string& text, AddressRange* address) {
    if (!parseAddress(text, address))
        return false;
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (address->family == AF_INET6 && memcmp(address->address, kMapped, 12) == 0) {
        memmove(address->address, address->address + 12, 4);
        address->family = AF_INET;
    }
    address->bits = widthOf(address->family);
    return true;
}

bool isLoopback(const AddressRange& address) {
    AddressRange range;
    return (parseAddressRange("127.0.0.0/8", &range) && inRange(address, range)) ||
           (parseAddressRange("::1", &range) && inRange(address, range));
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

bool parseAddressRange(const std::string& text, AddressRange* range) {
    const size_t slash = text.find('/');
    if (!parseAddress(text.substr(0, slash), range))
        return false;
    const int width = widthOf(range->family);
    if (slash == std::string::npos) {
        range->bits = width;
        return true;
    }
    const std::string bits = text.substr(slash + 1);
    if (bits.empty() || bits.size() > 3 ||
        bits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    range->bits = atoi(bits.c_str());
    return range->bits <= width;
}

TrustSettings TrustSettings::fromEnvironment(std::vector<std::string>* rejected) {
    TrustSettings trust;
    // Entries are separated by commas or blanks.
    auto entries = [](const char* name) {
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
    };
    for (const std::string& entry : entries("ZUL_TRUSTED_SOURCES")) {
        AddressRange range;
        if (parseAddressRange(entry, &range))
            trust.trustedSources.push_back(range);
        else
            rejected->push_back(entry);
    }
    for (const std::string& entry : entries("ZUL_ALLOWED_HOSTS")) {
        bool isLiteral = false;
        const std::string host = hostPart(entry, &isLiteral);
        if (host.empty() || host.size() != entry.size())
            rejected->push_back(entry);
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
