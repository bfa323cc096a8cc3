#include "web/request_policy.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
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

// The host and port of a Host header value or of the authority of a URL:
// "name", "name:port", "1.2.3.4:80", "[::1]" or "[::1]:8080". The host is in
// lower case, without a trailing dot; port is 0 when none is written.
struct Authority {
    std::string host;
    int port = 0;
    bool isLiteral = false;  // an IP address, not a name
};

// The port after a host: nothing, or ":" and up to 5 digits, 65535 at most;
// none written (0) for nothing or ":" alone, as HTTP allows.
bool parsePort(const std::string& text, int* port) {
    *port = 0;
    if (text.empty())
        return true;
    if (text[0] != ':' || text.size() > 6 ||
        text.find_first_not_of("0123456789", 1) != std::string::npos)
        return false;
    *port = atoi(text.c_str() + 1);
    return *port <= 65535;
}

// False when malformed: an empty host, a port that is no port, anything but
// a port after a bracketed literal ("[::1]evil.example").
bool parseAuthority(const std::string& text, Authority* authority) {
    AddressRange unused;
    size_t hostEnd = 0;
    if (!text.empty() && text[0] == '[') {
        hostEnd = text.find(']');
        if (hostEnd == std::string::npos)
            return false;
        authority->host = lowerCase(text.substr(1, hostEnd - 1));
        authority->isLiteral = inet_pton(AF_INET6, authority->host.c_str(), unused.address) == 1;
        if (!authority->isLiteral)
            return false;
        ++hostEnd;
    } else {
        hostEnd = std::min(text.find(':'), text.size());
        authority->host = lowerCase(text.substr(0, hostEnd));
        if (!authority->host.empty() && authority->host.back() == '.')
            authority->host.pop_back();
        authority->isLiteral = inet_pton(AF_INET, authority->host.c_str(), unused.address) == 1;
    }
    return !authority->host.empty() && parsePort(text.substr(hostEnd), &authority->port);
}

bool knownHost(const std::string& hostHeader, const TrustSettings& trust) {
    // Without a Host header no browser sent the request: nothing to rebind.
    if (hostHeader.empty())
        return true;
    Authority authority;
    if (!parseAuthority(hostHeader, &authority))
        return false;
    const std::string& host = authority.host;
    if (authority.isLiteral || host == "localhost" || host == trust.hostName)
        return true;
    for (const std::string& allowed : trust.allowedHosts) {
        if (host == allowed)
            return true;
    }
    return false;
}

int defaultPort(const std::string& scheme) {
    return scheme == "https" ? 443 : scheme == "http" ? 80 : 0;
}

// The scheme the client used, as the web server passes it; empty when it
// passes neither REQUEST_SCHEME nor HTTPS (the camera's own server may not).
std::string requestScheme(const RequestSource& source) {
    if (!source.scheme.empty())
        return lowerCase(source.scheme);
    return lowerCase(source.https) == "on" ? "https" : "";
}

// Whether url (an Origin, or a Referer when isReferer) names the request's
// own origin: its scheme, the Host as the client sent it, and the port, a
// default port written or left out alike. Without a scheme from the web
// server the url's own one is taken: one port speaks one scheme, so host and
// port decide.
bool ownOrigin(const std::string& url, bool isReferer, const RequestSource& source) {
    const size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos)
        return false;
    const std::string urlScheme = lowerCase(url.substr(0, schemeEnd));
    const size_t start = schemeEnd + 3;
    const size_t end =
        isReferer ? std::min(url.find_first_of("/?#", start), url.size()) : url.size();
    Authority named;
    Authority own;
    if (!parseAuthority(url.substr(start, end - start), &named) ||
        !parseAuthority(source.host, &own))
        return false;
    const std::string scheme = requestScheme(source).empty() ? urlScheme : requestScheme(source);
    const int port = defaultPort(scheme);
    return port != 0 && urlScheme == scheme && named.host == own.host &&
           (named.port != 0 ? named.port : port) == (own.port != 0 ? own.port : port);
}

// A browser request made by a page of another site: the browser says so
// (Sec-Fetch-Site, which it sends only to HTTPS and loopback addresses), or
// the Origin, failing that the Referer, names another origin. A page on
// another port of this host is another origin: another server's.
bool crossSite(const RequestSource& source) {
    if (source.secFetchSite == "cross-site" || source.secFetchSite == "same-site")
        return true;
    if (!source.origin.empty())
        return !ownOrigin(source.origin, false, source);
    return !source.referer.empty() && !ownOrigin(source.referer, true, source);
}

bool inTrustedSources(const AddressRange& address, const TrustSettings& trust) {
    for (const AddressRange& range : trust.trustedSources) {
        if (inRange(address, range))
            return true;
    }
    return false;
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
        case Verdict::kNotPost:
            return "not a POST";
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
        Authority authority;
        if (!parseAuthority(entry, &authority) || authority.port != 0 ||
            authority.host.size() != entry.size())
            rejected->push_back("allowed host [" + entry + "]: not a host name");
        else
            trust.allowedHosts.push_back(authority.host);
    }
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0)
        trust.hostName = lowerCase(name);
    return trust;
}

Verdict judgeRequest(RequestKind kind, bool isPost, const RequestSource& source,
                     const TrustSettings& trust) {
    if (!knownHost(source.host, trust))
        return Verdict::kForeignHost;
    if (kind == RequestKind::kRead)
        return Verdict::kAllowed;
    if (crossSite(source))
        return Verdict::kCrossSite;
    AddressRange address;
    const bool hasAddress = remoteAddress(source.remoteAddr, &address);
    if (hasAddress && isLoopback(address))
        return Verdict::kAllowed;
    if (source.remoteUser.empty() && !(hasAddress && inTrustedSources(address, trust)))
        return Verdict::kUntrusted;
    // GET must be safe: any page can make a browser send one, credentials and
    // all, with nothing that tells it from the installer's own.
    return isPost ? Verdict::kAllowed : Verdict::kNotPost;
}
