// A small FastCGI client of our own, playing the web server's part: one
// request per connection over a Unix-domain socket, the responder role, and
// the response read until the application ends the request.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct FcgiResponse {
    // True when END_REQUEST arrived before the connection closed or timed out.
    bool complete = false;
    std::string out;  // concatenated FCGI_STDOUT contents
    std::string err;  // concatenated FCGI_STDERR contents
    uint32_t appStatus = 0;
    uint8_t protocolStatus = 0;
    // Set when the exchange failed (connect, write, timeout); empty otherwise.
    std::string failure;
};

using FcgiParams = std::vector<std::pair<std::string, std::string>>;

// The parameters a web server sends for method and uri (path and query).
FcgiParams cgiParams(const std::string& method, const std::string& uri, size_t contentLength);

// Sends one request with params and body and reads the whole response. Gives
// up after timeoutMs without progress.
FcgiResponse fcgiRequest(const std::string& socketPath, const FcgiParams& params,
                         const std::string& body, int timeoutMs = 5000);

// GET, or POST with a body, of uri.
FcgiResponse fcgiGet(const std::string& socketPath, const std::string& uri);
FcgiResponse fcgiPost(const std::string& socketPath, const std::string& uri,
                      const std::string& body);

// Encodes one name-value pair of FCGI_PARAMS. Exposed for its own test.
std::string encodeFcgiPair(const std::string& name, const std::string& value);

// True once a connection to socketPath is accepted; tries until timeoutMs.
bool waitForFcgiSocket(const std::string& socketPath, int timeoutMs);
