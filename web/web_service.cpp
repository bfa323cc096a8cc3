#include "web/web_service.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>
#include <uriparser/Uri.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "util/escape.h"
#include "util/log.h"
#include "util/process_claim.h"
#include "web/fastcgi_server.h"
#include "web/plate_intake.h"

namespace {

// Web servers refuse a FastCGI response that does not open with CGI headers;
// the camera's own server takes the bare body, so the block is opt-in.
// No response may be sniffed into markup by a browser.
constexpr char kCgiHeaderBlock[] =
    "Content-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n\r\n";
// The page changes state with its buttons: no other site may frame it and
// trick a click.
constexpr char kPageHeaderBlock[] =
    "Content-Type: text/html; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n"
    "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n\r\n";
constexpr char kRefusalHeaderBlock[] =
    "Status: 403 Forbidden\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "X-Content-Type-Options: nosniff\r\n\r\n";
// Connections the kernel queues until the worker takes them. listen()
// cuts the number down to the system's maximum (net.core.somaxconn): a queue
// of 20 made nginx answer 502 to about half of 30 clients at once.
constexpr int kListenBacklog = 65535;
// Pairs one request may carry, and the most its response may hold. The page
// and the tools send a handful of pairs; the largest single reply is the echo
// of an uploaded body (up to 1 MiB). Without a bound 100 000 pairs built a
// response of 717 MB.
constexpr int kPairLimit = 64;
constexpr size_t kResponseLimit = 2 * 1024 * 1024;
constexpr char kTooManyPairs[] = "<response>Too many params</response>\n";
constexpr char kResponseTooLarge[] = "<response>Response too large</response>\n";

// A name of the form "host:port" asks for a TCP socket. Not served: anyone
// who can connect posts cards as the camera itself (the web server names the
// client), and a TCP port is open to every local user, where a socket path
// is open to those its directory lets in.
bool isTcpForm(const char* name) {
    return strchr(name, ':') != nullptr && strchr(name, '/') == nullptr;
}

// Listens on the socket path, non-blocking, for any user to connect (the web
// server runs as another user; the directory decides who gets in). An old
// socket at the path is replaced; anything else there is left alone. The
// descriptor, or -1 when the path cannot be used (logged).
int openListeningSocket(const char* path) {
    if (isTcpForm(path)) {
        logAt(1, "FCGI_SOCKET_NAME %s: host:port is not served, only a socket path", path);
        return -1;
    }
    struct stat info;
    if (lstat(path, &info) == 0 && !S_ISSOCK(info.st_mode)) {
        logAt(1, "FCGI_SOCKET_NAME %s is not a socket: left alone", path);
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = strlen(path);
    int fd = -1;
    if (length >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
    } else {
        memcpy(address.sun_path, path, length + 1);
        unlink(path);
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, kListenBacklog) != 0) {
        logAt(1, "FCGX_OpenSocket failed: %s: %s", path, strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    chmod(path, 0777);
    return fd;
}

// Texts go out as with printf "%s": up to their first zero byte. Once out
// would grow past kResponseLimit the refusal ends it and false comes back.
bool appendText(std::string& out, const std::string& text) {
    const size_t length = strlen(text.c_str());
    if (out.size() + length > kResponseLimit) {
        logAt(1, "Response over %zu bytes refused", kResponseLimit);
        out.append(kResponseTooLarge);
        return false;
    }
    out.append(text.c_str(), length);
    return true;
}

// The values of the "name" pairs, first in a response; false when they do not
// fit into it.
bool appendNameEchoes(std::string& out, const UriQueryListA* queryList) {
    for (const UriQueryListA* item = queryList; item != nullptr; item = item->next) {
        if (item->value != nullptr && strcmp(item->key, "name") == 0 &&
            !appendText(out, xmlText(item->value)))
            return false;
    }
    return true;
}

std::string paramText(const FcgiRequest& request, const char* name) {
    const char* value = request.param(name);
    return value != nullptr ? value : "";
}

// The parameters of a request that respond() and the request policy read.
WebRequest webRequestOf(const FcgiRequest& request) {
    WebRequest webRequest;
    webRequest.method = request.param("REQUEST_METHOD");
    webRequest.uri = request.param("REQUEST_URI");
    webRequest.source = {
        paramText(request, "REMOTE_ADDR"),         paramText(request, "REMOTE_USER"),
        paramText(request, "HTTP_HOST"),           paramText(request, "HTTP_ORIGIN"),
        paramText(request, "HTTP_SEC_FETCH_SITE"), paramText(request, "HTTP_REFERER"),
        paramText(request, "REQUEST_SCHEME"),      paramText(request, "HTTPS")};
    return webRequest;
}

// The kind of request a query makes: the strongest kind among its pairs. A
// value-less pair of a POST request reads the body (plate events, uploads
// handed on to the pair's command).
RequestKind requestKind(const UriQueryListA* queryList, bool isPost) {
    RequestKind kind = RequestKind::kRead;
    for (const UriQueryListA* item = queryList; item != nullptr; item = item->next) {
        const WebCommand* command = WebService::findCommand(item->key);
        RequestKind pairKind = command != nullptr ? command->kind : RequestKind::kRead;
        if (isPost && item->value == nullptr && pairKind == RequestKind::kRead)
            pairKind = RequestKind::kPlateIntake;
        if (pairKind > kind)
            kind = pairKind;
    }
    return kind;
}

}  // namespace

WebService::WebService(OsdpPeripheral& osdp, std::function<int64_t()> clockMicros)
    : osdp(osdp), clockMicros(std::move(clockMicros)) {}

bool WebService::claimSocket(std::string* error) {
    const char* socketPath = getenv("FCGI_SOCKET_NAME");
    // Never let go: the claim ends with the process.
    if (socketPath == nullptr || isTcpForm(socketPath) ||
        claimProcessName(pathClaimName("fcgi", socketPath)) >= 0)
        return true;
    *error = "FastCGI socket " + std::string(socketPath) +
             (errno == EADDRINUSE ? " is in use by another instance"
                                  : std::string(" not claimed: ") + strerror(errno));
    return false;
}

void WebService::removeSocket() {
    const char* socketPath = getenv("FCGI_SOCKET_NAME");
    struct stat info;
    if (socketOpened.load() && lstat(socketPath, &info) == 0 && S_ISSOCK(info.st_mode))
        unlink(socketPath);
}

int WebService::start() {
    // Loaded before the worker exists, which then only reads them.
    std::vector<std::string> rejected;
    trust = TrustSettings::fromEnvironment(&rejected);
    for (const std::string& line : rejected)
        logAt(1, "Ignored %s", line.c_str());
    for (const AddressRange& range : trust.trustedSources)
        logAt(1, "Trusted source %s", rangeText(range).c_str());
    const int error = pthread_create(&workerThread, nullptr, &WebService::threadMain, this);
    if (error != 0) {
        logAt(1, "FastCGI thread not started: %s", strerror(error));
        return -1;
    }
    // Nothing waits for the worker: it serves until the process ends, or ends
    // early when its socket cannot be opened, and then its resources go back.
    pthread_detach(workerThread);
    return 0;
}

void* WebService::threadMain(void* self) {
    return static_cast<WebService*>(self)->serve();
}

int WebService::threadId() const {
    const int32_t id = workerThreadId.load();
    logAt(5, "FastCGI Thread ID=%d", id);
    return id;
}

void* WebService::serve() {
    const char* socketPath = getenv("FCGI_SOCKET_NAME");
    workerThreadId.store(static_cast<int32_t>(syscall(SYS_gettid)));
    logAt(2, "FastCGI Thread PID:%d\n", workerThreadId.load());
    if (socketPath == nullptr) {
        logAt(1, "Failed to get environment variable FCGI_SOCKET_NAME");
        return nullptr;
    }
    logAt(5, "Socket: %s\n", socketPath);
    const int socket = openListeningSocket(socketPath);
    if (socket < 0)
        return nullptr;
    socketOpened.store(true);
    const char* headerSetting = getenv("ZUL_CGI_HEADERS");
    const bool cgiHeaders = headerSetting != nullptr && strcmp(headerSetting, "1") == 0;
    logAt(5, "Starting FactCGI loop");
    FcgiServerLimits limits;
    // One byte past the limit tells a body too large (RequestBody).
    limits.protocol.bodyKept = kBodyLimit + 1;
    FcgiServer server(
        socket,
        [this, cgiHeaders](const FcgiRequest& request, int64_t arrived) {
            return answerRequest(request, arrived, cgiHeaders);
        },
        clockMicros, limits);
    while (server.serveOnce(-1)) {
    }
    close(socket);
    return nullptr;
}

std::string WebService::answerRequest(const FcgiRequest& request, int64_t arrived,
                                      bool cgiHeaders) {
    WebRequest webRequest = webRequestOf(request);
    webRequest.arrived = arrived;
    RequestBody body{request.body};
    ResponseShape shape;
    const std::string response = respond(webRequest, body, &shape);
    if (!cgiHeaders)
        return response;
    // Every text in response already stops at its first zero byte, as it would
    // when printed with "%s".
    return (shape.refused  ? kRefusalHeaderBlock
            : shape.isPage ? kPageHeaderBlock
                           : kCgiHeaderBlock) +
           response;
}

std::string WebService::respond(const WebRequest& request, RequestBody& body,
                                ResponseShape* shape) {
    const char* method = request.method;
    const char* uri = request.uri;
    requestArrival = request.arrived;
    logAt(5, "Request_method: %s", method != nullptr ? method : "");
    logAt(5, "Parsing URI: %s", uri != nullptr ? uri : "");

    UriUriA parsed;
    const char* errorPos = nullptr;
    if (uriParseSingleUriA(&parsed, uri, &errorPos) != URI_SUCCESS) {
        return "Failed to parse URI";
    }
    logAt(5, "URI: %s", uri);

    UriQueryListA* queryList = nullptr;
    int itemCount = 0;
    if (uriDissectQueryMallocA(&queryList, &itemCount, parsed.query.first,
                               parsed.query.afterLast) != URI_SUCCESS) {
        uriFreeUriMembersA(&parsed);
        return "Failed to parse query";
    }

    const bool isPost = method != nullptr && strcmp(method, "POST") == 0;
    const RequestKind kind = requestKind(queryList, isPost);
    const Verdict verdict = judgeRequest(kind, isPost, request.source, trust);
    if (verdict != Verdict::kAllowed) {
        uriFreeUriMembersA(&parsed);
        uriFreeQueryListA(queryList);
        noteRefusal(kind, request.source, verdict);
        if (shape != nullptr)
            shape->refused = true;
        return kRefusalText;
    }

    if (itemCount > kPairLimit) {
        logAt(1, "Request of %d pairs refused, at most %d are served", itemCount, kPairLimit);
        uriFreeUriMembersA(&parsed);
        uriFreeQueryListA(queryList);
        return kTooManyPairs;
    }

    // Any other text in the response, a name echo above all, could carry
    // outside text into the page: HTML only for the page alone.
    if (shape != nullptr) {
        shape->isPage = itemCount == 1 && strcmp(queryList->key, "page") == 0 &&
                        method != nullptr && strcmp(method, "GET") == 0;
    }

    const std::string out = runQuery(queryList, isPost, uri, body);
    uriFreeUriMembersA(&parsed);
    uriFreeQueryListA(queryList);
    return out;
}

std::string WebService::runQuery(const UriQueryListA* queryList, bool isPost, const char* uri,
                                 RequestBody& body) {
    std::string out;
    bool fits = appendNameEchoes(out, queryList);
    for (const UriQueryListA* item = queryList; item != nullptr && fits; item = item->next) {
        const std::string key = item->key;
        std::string reply;
        if (item->value != nullptr) {
            const std::string value = item->value;
            reply = processKey(key, value);
            logAt(5, "Process key [%s], Value [%s]", key.c_str(), value.c_str());
        } else if (isPost) {
            reply = handlePost(uri, key, body.taken ? std::string_view() : body.bytes);
            body.taken = true;
            logAt(5, "Process key [%s]", key.c_str());
        } else {
            reply = processKey(key, std::string());
            logAt(5, "Process key [%s]", key.c_str());
        }
        logAt(5, "Process response [%s]", reply.c_str());
        fits = appendText(out, reply);
    }
    return out;
}

void WebService::noteRefusal(RequestKind kind, const RequestSource& source, Verdict verdict) {
    refusals.fetch_add(1);
    uint32_t notLogged = 0;
    if (!refusalLines.admit(clockMicros(), &notLogged))
        return;
    const char* address = source.remoteAddr.empty() ? "-" : source.remoteAddr.c_str();
    if (notLogged == 0) {
        logAt(1, "Refused %s request from %s: %s", kindName(kind), address, verdictName(verdict));
    } else {
        logAt(1, "Refused %s request from %s: %s (%u more refused, not logged)", kindName(kind),
              address, verdictName(verdict), notLogged);
    }
}
