// FastCGI as a web server speaks it to this responder: records in, whole
// requests out, and the records that answer them. Pure: no I/O, no clock; the
// server loop (web/fastcgi_server.h) hands in what it read and writes out
// what comes back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Every record opens with this header: version, type, request id (2 bytes),
// content length (2 bytes), padding length and a reserved byte, then the
// content and the padding. Wider fields are laid high byte first.
constexpr size_t kFcgiHeaderSize = 8;
constexpr uint8_t kFcgiVersion = 1;
// The most content one record carries (its length field has 16 bits).
constexpr size_t kFcgiMaxContent = 65535;

enum FcgiType : uint8_t {
    kFcgiBeginRequest = 1,
    kFcgiAbortRequest = 2,
    kFcgiEndRequest = 3,
    kFcgiParams = 4,
    kFcgiStdin = 5,
    kFcgiStdout = 6,
    kFcgiStderr = 7,
    kFcgiData = 8,
    kFcgiGetValues = 9,
    kFcgiGetValuesResult = 10,
    kFcgiUnknownType = 11,
};

// BEGIN_REQUEST's content: role (2 bytes), flags, 5 reserved bytes.
constexpr size_t kFcgiBeginLength = 8;
constexpr uint16_t kFcgiResponder = 1;
// The web server keeps the connection for further requests.
constexpr uint8_t kFcgiKeepConn = 1;

// END_REQUEST's protocol status.
enum FcgiStatus : uint8_t {
    kFcgiRequestComplete = 0,
    kFcgiCantMpxConn = 1,  // a second request at once on one connection
    kFcgiUnknownRole = 3,  // an authorizer or filter: only responders are served
};

struct FcgiHeader {
    uint8_t version = kFcgiVersion;
    uint8_t type = 0;
    uint16_t requestId = 0;
    uint16_t contentLength = 0;
    uint8_t paddingLength = 0;
};

// REQUIRES: in holds kFcgiHeaderSize bytes.
FcgiHeader decodeFcgiHeader(const uint8_t* in);

// Appends one record, unpadded. REQUIRES: length <= kFcgiMaxContent.
void appendFcgiRecord(std::string* out, uint8_t type, uint16_t requestId, const char* content,
                      size_t length);

// Parameters and GET_VALUES are name-value pairs: each length in one byte
// below 128, else in four bytes with the top bit set, then name and value.
using FcgiPairs = std::vector<std::pair<std::string, std::string>>;
void appendFcgiPair(std::string* out, const std::string& name, const std::string& value);
// False when a pair runs past the end of bytes.
bool decodeFcgiPairs(const std::string& bytes, FcgiPairs* pairs);

// The answer to a request: the body in STDOUT records of at most
// kFcgiMaxContent bytes, the empty STDOUT record that ends the stream, then
// END_REQUEST with application status 0.
void appendFcgiResponse(std::string* out, uint16_t requestId, const std::string& body);
void appendFcgiEndRequest(std::string* out, uint16_t requestId, FcgiStatus status);

// How much one connection may send.
struct FcgiLimits {
    // The whole parameter stream: nginx sends 1 to 2 KB, more with a long
    // query; a pair or a stream past this is a broken request, never an
    // allocation of what a length field claims.
    size_t paramsBytes = 64 * 1024;
    // Body bytes kept; the rest of a longer body is taken and dropped, so a
    // reader of the body sees it end there.
    size_t bodyKept = 1024 * 1024 + 1;
    // Connections served at once, answered to FCGI_MAX_CONNS and
    // FCGI_MAX_REQS. A web server opens one per request in flight; more wait
    // in the listen queue for the milliseconds a request takes.
    size_t maxConnections = 32;
};

// One request as it came: its id, whether the web server keeps the
// connection after it, its parameters in order and its body.
struct FcgiRequest {
    uint16_t id = 0;
    bool keepConn = false;
    FcgiPairs params;
    std::string body;  // at most FcgiLimits::bodyKept bytes
    // The value of the first parameter of that name; null when none.
    const char* param(const char* name) const;
};

// What the bytes given to FcgiReceiver::receive came to.
enum class FcgiEvent {
    kNeedMore,  // every byte taken; the request is not complete yet
    kRequest,   // a whole request: request(); the bytes after it not taken
    kClose,     // an exchange ended without a request to serve and without
                // keep-conn (an aborted request, a refused role): close once
                // the replies are out
    // The connection breaks the protocol and is dropped:
    kBadVersion,     // a record of a version other than 1
    kBadBegin,       // a BEGIN_REQUEST whose content is not 8 bytes
    kParamsTooLong,  // parameters past FcgiLimits::paramsBytes
    kBadParams,      // a name-value pair that runs past the parameters' end
    kOutOfOrder,     // a record the request's phase does not allow
};

// Text of a broken connection's event for the log line, "" for the others.
const char* fcgiEventText(FcgiEvent event);

// Cuts the records of one connection out of its bytes and gathers them into
// requests, one at a time: a second request at once is refused
// (CANT_MPX_CONN) and so is any role but the responder's (UNKNOWN_ROLE).
// Management records are answered (GET_VALUES; UNKNOWN_TYPE for the others);
// records of other request ids are skipped.
class FcgiReceiver {
  public:
    explicit FcgiReceiver(const FcgiLimits& limits) : limits_(limits) {}

    // Takes bytes up to the end of the record that completes a request, and
    // sets *used to how many it took. Replies it owes (to management
    // records, refused requests, an abort) are appended to *replies.
    // REQUIRES: the request of an earlier kRequest has been answered and
    // nextRequest() called.
    FcgiEvent receive(const uint8_t* bytes, size_t length, size_t* used, std::string* replies);

    // The request of the latest kRequest.
    const FcgiRequest& request() const { return request_; }

    // Forgets the answered request; the connection takes the next one.
    void nextRequest();

    // True once any byte of the request under way has come.
    bool started() const { return started_; }

    // Bytes held for the request under way.
    size_t heldBytes() const;

  private:
    enum class Phase { kIdle, kParams, kStdin };

    // Takes the whole record in record_.
    FcgiEvent takeRecord(const FcgiHeader& header, const char* content, std::string* replies);
    FcgiEvent takeManagement(const FcgiHeader& header, const char* content, std::string* replies);
    FcgiEvent takeBegin(const FcgiHeader& header, const char* content, std::string* replies);
    FcgiEvent takeParams(const char* content, size_t length);
    FcgiEvent takeStdin(const char* content, size_t length);

    const FcgiLimits limits_;
    Phase phase_ = Phase::kIdle;
    bool started_ = false;
    FcgiRequest request_;
    std::string paramBytes_;
    // The record being cut: header and content so far.
    std::string record_;
};
