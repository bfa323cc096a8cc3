// The web interface: a FastCGI responder on a worker thread of its own
// (web/fastcgi_server.h). Each key/value pair of a request URI's query is one
// command; plate events and file uploads arrive as POST bodies. Replies are
// plain texts written back to back.
#pragma once

#include <pthread.h>
#include <uriparser/Uri.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "osdp/osdp_peripheral.h"
#include "util/line_pacer.h"
#include "web/request_policy.h"

struct FcgiRequest;

class WebService;

// One query command: its key, the kind of request it makes (who may send it)
// and its handler, which gets the pair's value and returns the reply text.
struct WebCommand {
    const char* key;
    RequestKind kind;
    std::string (*run)(WebService& web, const std::string& value);
};

// One request as the web server hands it over. method and uri may be null
// (parameter absent). arrived: when its first byte came, on the service's
// monotonic clock; cards it carries are as old as that (none: now).
struct WebRequest {
    const char* method = nullptr;
    const char* uri = nullptr;
    RequestSource source;
    std::optional<int64_t> arrived = std::nullopt;
};

// A request's body as the worker received it: whole, or, for a longer one
// than kBodyLimit, its first kBodyLimit + 1 bytes, enough to refuse it. The
// first value-less pair of a POST takes it; the pairs after it find it taken
// and get an empty body.
struct RequestBody {
    std::string_view bytes;
    bool taken = false;
};

// What the worker needs to know of a response beside its body.
struct ResponseShape {
    bool isPage = false;   // the status page alone: the only HTML response
    bool refused = false;  // refused by the request policy: status 403
};

// A flood of refused requests must not fill the log.
constexpr int kRefusalLinesPerMinute = 10;

// The whole response body of a refused request.
constexpr char kRefusalText[] = "<response>Forbidden</response>\n";

class WebService {
  public:
    // The engine must outlive the service. clockMicros is a monotonic clock:
    // it paces the log lines of refusals and times the clients' deadlines and
    // each request's arrival, which the engine takes as a time of its own
    // monotonic clock: REQUIRES: the engine's monotonic clock.
    explicit WebService(OsdpPeripheral& osdp,
                        std::function<int64_t()> clockMicros = monotonicMicros);
    WebService(const WebService&) = delete;
    WebService& operator=(const WebService&) = delete;

    // The worker, its socket and the request road: web/web_service.cpp.

    // One daemon per socket: claims the socket path named by
    // FCGI_SOCKET_NAME (claimProcessName), held until the process ends, and
    // touches nothing. False, with *error, when another process holds it.
    // True without a socket path. REQUIRES: called before start().
    bool claimSocket(std::string* error);

    // Removes the socket that serve() opened, if it did. For a clean exit.
    void removeSocket();

    // Loads the trust settings, then starts the worker thread running
    // serve(); returns 0, or -1 (logged) when the thread cannot be made.
    // Call once.
    int start();

    // Kernel thread id of the worker, 0 before it has started.
    int threadId() const;

    // Worker thread body: opens the socket named by FCGI_SOCKET_NAME (a path:
    // an old socket there is replaced, anything else left alone) and serves
    // its clients (FcgiServer) until the socket fails. Returns null.
    void* serve();

    // The whole response body of one request, as the worker writes it after
    // the optional CGI header block: the "name" echoes, then the reply of every
    // query pair in query order. A request the policy refuses (judgeRequest,
    // for the strongest kind among its pairs) runs nothing and gets
    // kRefusalText. shape, when given, is filled in.
    std::string respond(const WebRequest& request, RequestBody& body,
                        ResponseShape* shape = nullptr);

    // The query commands: web/commands.cpp.

    // The command of a key, null for an unknown key.
    static const WebCommand* findCommand(const std::string& key);

    // Runs the command of one query pair and returns its reply text.
    std::string processKey(const std::string& key, const std::string& value);

    // Logs the worker thread's /proc statistics; always answers "OK".
    std::string infoCommand();

    // POST bodies, plate events and uploads: web/post_body.cpp.

    // A value-less pair of a POST request, given the request's body (empty
    // for the pairs after the first). A body over kBodyLimit is refused
    // whole. Otherwise, with "?lpr" in uri, a plate event (PlateIntake) when
    // it is JSON naming the member plateUTF8, else a form-encoded Base64
    // upload whose cleaned lines become the value of command key.
    std::string handlePost(const std::string& uri, const std::string& key, std::string_view body);

    // The status, diagnostics and configuration documents:
    // web/status_documents.cpp.

    // The status document with a fresh memory reading from /proc/meminfo.
    std::string statusDocument();
    // The status document around a given memory fragment (empty when unknown).
    std::string statusDocument(const std::string& memoryXml) const;
    // The line diagnostics: per reader and for the whole line.
    std::string diagnosticsDocument() const;
    // The empty configuration envelope.
    std::string configDocument() const;

    // Requests refused by the policy since the start.
    uint32_t refusedRequests() const { return refusals.load(); }

    // Who may send what beyond reading; loaded from the environment by
    // start(), before the worker runs, and only read by it.
    TrustSettings trust;

  private:
    static void* threadMain(void* self);
    // The response of one whole request from the FastCGI socket: the CGI
    // header block when cgiHeaders, then respond()'s body.
    std::string answerRequest(const FcgiRequest& request, int64_t arrived, bool cgiHeaders);
    // The replies of a query allowed to run: the "name" echoes, then the reply
    // of every pair in query order.
    std::string runQuery(const UriQueryListA* queryList, bool isPost, const char* uri,
                         RequestBody& body);
    // Counts a refusal and logs it, at most kRefusalLinesPerMinute lines a minute.
    void noteRefusal(RequestKind kind, const RequestSource& source, Verdict verdict);

    // The commands' own parts (commands.cpp). kCommands is the one list of
    // commands: key, the kind of request it makes, and what it does; the
    // dispatcher and the request policy both read it (findCommand).
    static const WebCommand kCommands[];
    static std::string unknownParam(const std::string& key, const std::string& value);
    static std::string sha1Command(const std::string& value);
    std::string debugLevelCommand(const std::string& value);
    // Writes the configuration file with the settings in force and clears
    // the engine's saveRequired; false when the file was not written.
    bool saveSettings();
    std::string cardCommand(int reader, const std::string& value);
    std::string plateCommand(int reader, const std::string& value);
    std::string tamperCommand(int reader, const std::string& value);

    OsdpPeripheral& osdp;
    const std::function<int64_t()> clockMicros;
    std::atomic<uint32_t> refusals{0};
    // Worker thread only: log pacing of refusals, and the arrival of the
    // request that respond() serves, for the cards it carries.
    LinePacer refusalLines{kRefusalLinesPerMinute};
    std::optional<int64_t> requestArrival;
    pthread_t workerThread{};
    std::atomic<int32_t> workerThreadId{0};
    std::atomic<bool> socketOpened{false};
};

// True for one or more decimal digits, optionally after a single minus sign.
bool isNumber(const std::string& text);

// Decodes form encoding: "+" is a blank and "%" with two hexadecimal digits is
// that byte; a "%" without two hexadecimal digits after it stays as it is.
std::string urlDecode(const std::string& text);
