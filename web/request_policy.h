// Who may do what through the web interface. A web request can open a gate:
// whatever web server is in front, the daemon itself decides.
//
//   read          documents, the status page, info, sha1: whoever the web
//                 server lets through, from a host name of this machine
//   plate intake  the POST road of plate events and uploads
//   control       everything that changes state (cards, plates, tamper,
//                 debug level, saving, ...)
//
// Plate intake and control come from the camera itself (a loopback
// REMOTE_ADDR), from a user the web server has authenticated (REMOTE_USER),
// or from a configured trusted source; never from a browser page of another
// site, whatever credentials the browser would send along. From anywhere but
// the camera itself they must be POSTs: a GET is what a browser sends when
// any page links or navigates to a URL, with the installer's credentials and
// without any mark of the page that sent it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class RequestKind { kRead, kPlateIntake, kControl };

// "read", "plate intake" or "control", for log lines.
const char* kindName(RequestKind kind);

// The FastCGI parameters the decision rests on; empty when absent.
struct RequestSource {
    std::string remoteAddr;    // REMOTE_ADDR
    std::string remoteUser;    // REMOTE_USER
    std::string host;          // HTTP_HOST
    std::string origin;        // HTTP_ORIGIN
    std::string secFetchSite;  // HTTP_SEC_FETCH_SITE
    std::string referer;       // HTTP_REFERER
    std::string scheme;        // REQUEST_SCHEME
    std::string https;         // HTTPS ("on" over TLS)
};

// An address range: an IPv4 or IPv6 address with an optional "/bits". An
// IPv4-mapped IPv6 range is held as the IPv4 range it names, as REMOTE_ADDR
// is compared.
struct AddressRange {
    int family = 0;  // AF_INET or AF_INET6
    uint8_t address[16]{};
    int bits = 0;
};

struct TrustSettings {
    // Sources beside loopback that may post plates and send commands
    // (ZUL_TRUSTED_SOURCES), for a recognition server elsewhere.
    std::vector<AddressRange> trustedSources;
    // Names this machine answers to beside IP literals, "localhost" and its
    // host name (ZUL_ALLOWED_HOSTS); lower case, without a port.
    std::vector<std::string> allowedHosts;
    // The machine's host name, lower case.
    std::string hostName;

    // The settings from the environment and gethostname. Entries that are no
    // address range, or no host name, are left out: each is named, with what
    // is wrong with it, in a line of *rejected.
    static TrustSettings fromEnvironment(std::vector<std::string>* rejected);
};

// Parses "192.168.1.0/24", "10.1.2.3", "fd00::/8", "::1" or
// "::ffff:10.1.2.0/120" (held as 10.1.2.0/24). False, with what is wrong in
// *why, for anything else: a bit count past the address width, or host bits
// set past the prefix ("10.1.2.3/24", "10.1.2.3/0": a range wider than it
// looks; every address is "0.0.0.0/0" or "::/0").
bool parseAddressRange(const std::string& text, AddressRange* range, std::string* why);

// "10.1.2.0/24", "fd00::/8": a range as parseAddressRange reads it.
std::string rangeText(const AddressRange& range);

enum class Verdict {
    kAllowed,
    kForeignHost,  // Host is none of this machine's names: DNS rebinding
    kCrossSite,    // a browser request made by a page of another site
    kUntrusted,    // not the camera, no login, no trusted source
    kNotPost,      // a change asked by GET (or another method) from outside
};

// "allowed", "foreign host", "cross-site", "untrusted source" or "not a POST",
// for log lines.
const char* verdictName(Verdict verdict);

// The decision for one request of the given kind; isPost when its
// REQUEST_METHOD is exactly "POST".
Verdict judgeRequest(RequestKind kind, bool isPost, const RequestSource& source,
                     const TrustSettings& trust);
