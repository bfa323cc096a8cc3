#include "web/web_service.h"

#include <fcgiapp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>
#include <uriparser/Uri.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "util/escape.h"
#include "util/log.h"

namespace {

// Web servers refuse a FastCGI response that does not open with CGI headers;
// the camera's own server takes the bare body, so the block is opt-in.
// No response may be sniffed into markup by a browser.
constexpr char kCgiHeaderBlock[] =
    "Content-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n\r\n";
constexpr char kPageHeaderBlock[] =
    "Content-Type: text/html; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n\r\n";
constexpr char kRefusalHeaderBlock[] =
    "Status: 403 Forbidden\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "X-Content-Type-Options: nosniff\r\n\r\n";
// A flood of refused requests must not fill the log.
constexpr int kRefusalLinesPerMinute = 10;
constexpr int64_t kMinuteMicros = 60 * 1000 * 1000;
constexpr int kListenBacklog = 20;

// libfcgi ends the whole process when it cannot bind a Unix socket path (a
// missing directory, no permission, a path too long), which would take the
// OSDP side down with the web interface. The path is therefore tried here
// first, the same way (any old file removed, then bound), so that such a
// failure ends only the worker. A path with a colon is a TCP host:port for
// libfcgi and is left to it.
bool socketPathBindable(const char* path) {
    if (strchr(path, ':') != nullptr)
        return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = strlen(path);
    if (length >= sizeof address.sun_path)
        return false;
    memcpy(address.sun_path, path, length + 1);
    unlink(path);
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    const bool bound = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    if (bound)
        unlink(path);
    return bound;
}

// Texts go out as with printf "%s": up to their first zero byte.
void appendText(std::string& out, const std::string& text) {
    out.append(text.c_str());
}

std::string paramText(const char* name, FCGX_ParamArray envp) {
    const char* value = FCGX_GetParam(name, envp);
    return value != nullptr ? value : "";
}

// The parameters of a request that respond() and the request policy read.
WebRequest webRequestOf(FCGX_ParamArray envp) {
    WebRequest request;
    request.method = FCGX_GetParam("REQUEST_METHOD", envp);
    request.uri = FCGX_GetParam("REQUEST_URI", envp);
    request.source = {paramText("REMOTE_ADDR", envp), paramText("REMOTE_USER", envp),
                      paramText("HTTP_HOST", envp), paramText("HTTP_ORIGIN", envp),
                      paramText("HTTP_SEC_FETCH_SITE", envp)};
    return request;
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
    : osdp(osdp), clockMicros(std::move(clockMicros)) {
    FCGX_Init();
}

int WebService::start() {
    // Loaded before the worker exists, which then only reads them.
    std::vector<std::string> rejected;
    trust = TrustSettings::fromEnvironment(&rejected);
    for (const std::string& entry : rejected)
        logAt(1, "Ignored trusted source or allowed host [%s]", entry.c_str());
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
    if (FCGX_Init() != 0) {
        logAt(1, "FCGX_Init failed");
        return nullptr;
    }
    const int socket =
        socketPathBindable(socketPath) ? FCGX_OpenSocket(socketPath, kListenBacklog) : -1;
    if (socket < 0) {
        logAt(1, "FCGX_OpenSocket failed: %s", socketPath);
        return nullptr;
    }
    // The web server runs as another user and must be able to connect.
    chmod(socketPath, 0777);
    FCGX_Request request;
    if (FCGX_InitRequest(&request, socket, 0) != 0) {
        logAt(1, "FCGX_InitRequest failed");
        return nullptr;
    }
    const char* headerSetting = getenv("ZUL_CGI_HEADERS");
    const bool cgiHeaders = headerSetting != nullptr && strcmp(headerSetting, "1") == 0;
    logAt(5, "Starting FactCGI loop");

    while (FCGX_Accept_r(&request) == 0) {
        const WebRequest webRequest = webRequestOf(request.envp);
        const BodyReader readBody = [&request](char* buf, int n) {
            return FCGX_GetStr(buf, n, request.in);
        };
        ResponseShape shape;
        const std::string body = respond(webRequest, readBody, &shape);
        if (cgiHeaders) {
            FCGX_PutS(shape.refused  ? kRefusalHeaderBlock
                      : shape.isPage ? kPageHeaderBlock
                                     : kCgiHeaderBlock,
                      request.out);
        }
        // Every text in body already stops at its first zero byte, as it would
        // when printed with "%s"; the body goes out in one piece.
        FCGX_PutStr(body.data(), static_cast<int>(body.size()), request.out);
        FCGX_Finish_r(&request);
    }
    return nullptr;
}

std::string WebService::respond(const WebRequest& request, const BodyReader& readBody,
                                ResponseShape* shape) {
    const char* method = request.method;
    const char* uri = request.uri;
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
    const Verdict verdict = judgeRequest(kind, request.source, trust);
    if (verdict != Verdict::kAllowed) {
        uriFreeUriMembersA(&parsed);
        uriFreeQueryListA(queryList);
        noteRefusal(kind, request.source, verdict);
        if (shape != nullptr)
            shape->refused = true;
        return kRefusalText;
    }

    // Any other text in the response, a name echo above all, could carry
    // outside text into the page: HTML only for the page alone.
    if (shape != nullptr) {
        shape->isPage = itemCount == 1 && strcmp(queryList->key, "page") == 0 &&
                        method != nullptr && strcmp(method, "GET") == 0;
    }

    const std::string out = runQuery(queryList, isPost, uri, readBody);
    uriFreeUriMembersA(&parsed);
    uriFreeQueryListA(queryList);
    return out;
}

std::string WebService::runQuery(const UriQueryListA* queryList, bool isPost, const char* uri,
                                 const BodyReader& readBody) {
    std::string out;
    for (const UriQueryListA* item = queryList; item != nullptr; item = item->next) {
        if (item->value != nullptr && strcmp(item->key, "name") == 0) {
            appendText(out, xmlText(item->value));
        }
    }

    for (const UriQueryListA* item = queryList; item != nullptr; item = item->next) {
        const std::string key = item->key;
        std::string reply;
        if (item->value != nullptr) {
            const std::string value = item->value;
            reply = processKey(key, value);
            logAt(5, "Process key [%s], Value [%s]", key.c_str(), value.c_str());
        } else {
            reply = isPost ? handlePost(readBody, uri, key) : processKey(key, std::string());
            logAt(5, "Process key [%s]", key.c_str());
        }
        logAt(5, "Process response [%s]", reply.c_str());
        appendText(out, reply);
    }
    return out;
}

void WebService::noteRefusal(RequestKind kind, const RequestSource& source, Verdict verdict) {
    refusals.fetch_add(1);
    const int64_t now = clockMicros();
    if (refusalLinesInWindow == 0 || now - refusalWindowStart >= kMinuteMicros) {
        refusalWindowStart = now;
        refusalLinesInWindow = 0;
    }
    if (refusalLinesInWindow == kRefusalLinesPerMinute) {
        ++refusalsNotLogged;
        return;
    }
    ++refusalLinesInWindow;
    const char* address = source.remoteAddr.empty() ? "-" : source.remoteAddr.c_str();
    if (refusalsNotLogged == 0) {
        logAt(1, "Refused %s request from %s: %s", kindName(kind), address, verdictName(verdict));
    } else {
        logAt(1, "Refused %s request from %s: %s (%u more refused, not logged)", kindName(kind),
              address, verdictName(verdict), refusalsNotLogged);
        refusalsNotLogged = 0;
    }
}
