// The web interface: a FastCGI responder on a worker thread of its own. Each
// key/value pair of a request URI's query is one command; plate events and file
// uploads arrive as POST bodies. Replies are plain texts written back to back.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "osdp/osdp_peripheral.h"

// Reads up to n bytes of the request body into buf and returns how many it
// read; fewer than n only at the end of the body (FCGX_GetStr semantics), and
// -1 when the body broke off (the client stopped sending or hung up).
using BodyReader = std::function<int(char* buf, int n)>;

class WebService {
  public:
    // Initialises the FastCGI library. The engine must outlive the service.
    explicit WebService(OsdpPeripheral& osdp);
    WebService(const WebService&) = delete;
    WebService& operator=(const WebService&) = delete;

    // One daemon per socket: takes a lock on "<socket>.lock" beside the socket
    // named by FCGI_SOCKET_NAME, held until the process ends. False, with
    // *error, when another process holds it. True without a Unix socket path,
    // or when no lock file can be made there (serve() then reports the
    // socket itself). REQUIRES: called before start().
    bool claimSocket(std::string* error);

    // Removes the socket that serve() opened, if it did. For a clean exit.
    void removeSocket();

    // Starts the worker thread running serve(); returns 0. Call once.
    int start();

    // Kernel thread id of the worker, 0 before it has started.
    int threadId() const;

    // Worker thread body: opens the socket named by FCGI_SOCKET_NAME and serves
    // requests one at a time until accepting fails. Returns null.
    void* serve();

    // The whole response body of one request, as the worker writes it after
    // the optional CGI header block: the "name" echoes, then the reply of every
    // query pair in query order. method and uri may be null (parameter absent).
    // isPage, when given, tells whether the request asked for the status page
    // alone (the query "page" and nothing else): only such a response is HTML.
    std::string respond(const char* method, const char* uri, const BodyReader& readBody,
                        bool* isPage = nullptr);

    // Runs the command of one query pair and returns its reply text.
    std::string processKey(const std::string& key, const std::string& value);

    // A value-less pair of a POST request: reads the whole body, up to
    // kBodyLimit bytes (a longer one is refused), and treats it as a plate
    // event or a file upload (handlePostBody). Later pairs find it read.
    std::string handlePost(const BodyReader& readBody, const std::string& uri,
                           const std::string& key);

    // The POST body already read: a plate event (PlateIntake) when it is JSON
    // naming the member plateUTF8, otherwise a form-encoded Base64 upload whose
    // cleaned lines become the value of command key. Requires "?lpr" in uri.
    std::string handlePostBody(const std::string& uri, const std::string& key,
                               const std::string& body);

    // The status document with a fresh memory reading from /proc/meminfo.
    std::string statusDocument();
    // The status document around a given memory fragment (empty when unknown).
    std::string statusDocument(const std::string& memoryXml) const;
    // The line diagnostics: per reader and for the whole line.
    std::string diagnosticsDocument() const;
    // The empty configuration envelope.
    std::string configDocument() const;

    // Logs the worker thread's /proc statistics; always answers "OK".
    std::string infoCommand();

  private:
    static void* threadMain(void* self);

    OsdpPeripheral& osdp;
    pthread_t workerThread{};
    std::atomic<int32_t> workerThreadId{0};
    std::atomic<bool> socketOpened{false};
};

// True for one or more decimal digits, optionally after a single minus sign.
bool isNumber(const std::string& text);

// Decodes form encoding: "+" is a blank and "%" with two hexadecimal digits is
// that byte; a "%" without two hexadecimal digits after it stays as it is.
std::string urlDecode(const std::string& text);
