#include "KwStatsHttpServer.h"

#include <arpa/inet.h>
#include <civetweb.h>

#include <cctype>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "KwStatsJson.h"
#include "KwStatsPrometheus.h"
#include "dlog.h"
#include "prometheus/text_serializer.h"

extern const char kStatusPage[];  // status_page.html, built in

namespace {

const char kFile[] = "KwStatsHttpServer.cpp";
const char kAllowed[] = "GET, HEAD";

enum Route { METRICS, JSON, PAGE };

struct RouteEntry {
    const char* path;
    Route route;
    const char* contentType;
};

const RouteEntry kRoutes[] = {
    {"/metrics", METRICS, "text/plain; version=0.0.4; charset=utf-8"},
    {"/stats.json", JSON, "application/json"},
    {"/", PAGE, "text/html; charset=utf-8"},
};

const RouteEntry* Find(const char* path) {
    if (path == nullptr) {  // an absolute URI for another host, or "*"
        return nullptr;
    }
    for (const RouteEntry& entry : kRoutes) {
        if (strcmp(entry.path, path) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

std::string Body(Route route, const KwStatsSource& source) {
    if (route == PAGE) {
        return kStatusPage;  // it fetches its figures itself
    }
    KwStatsSnapshot snapshot;
    source(snapshot);
    if (route == JSON) {
        return KwStatsJson(snapshot);
    }
    // A stream swallows a failed allocation and goes on with a cut text;
    // this one throws it, and the request gets a 500 instead.
    std::ostringstream text;
    text.exceptions(std::ios::badbit);
    prometheus::TextSerializer().Serialize(text, KwStatsPrometheus::Families(snapshot));
    return text.str();
}

// Sends one whole response; returns its status for civetweb's bookkeeping.
int Respond(mg_connection* connection, int status, const char* contentType, const std::string& body,
            bool withBody, const char* allow = nullptr) {
    std::string length = std::to_string(body.size());
    mg_response_header_start(connection, status);
    mg_response_header_add(connection, "Content-Type", contentType, -1);
    mg_response_header_add(connection, "Content-Length", length.c_str(), -1);
    mg_response_header_add(connection, "Cache-Control", "no-store", -1);
    mg_response_header_add(connection, "X-Content-Type-Options", "nosniff", -1);
    // The page runs its own inline script and style, and talks to this
    // server only.
    mg_response_header_add(connection, "Content-Security-Policy",
                           "default-src 'none'; script-src 'unsafe-inline'; "
                           "style-src 'unsafe-inline'; connect-src 'self'; img-src data:",
                           -1);
    if (allow != nullptr) {
        mg_response_header_add(connection, "Allow", allow, -1);
    }
    mg_response_header_send(connection);
    if (withBody && !body.empty()) {
        mg_write(connection, body.data(), body.size());
    }
    return status;
}

// A method token as HTTP defines it (RFC 9110 5.6.2).
bool IsToken(const char* text) {
    if (*text == '\0') {
        return false;
    }
    for (; *text != '\0'; ++text) {
        unsigned char c = static_cast<unsigned char>(*text);
        if (!isalnum(c) && strchr("!#$%&'*+-.^_`|~", c) == nullptr) {
            return false;
        }
    }
    return true;
}

// civetweb refuses a method it does not know (TRACE, or any new token) with
// 400 before a request reaches Answer(). Such a request, whole but for its
// method, gets what any other method gets here: 405 on a route, else 404.
int AnswerRefusedMethod(mg_connection* connection, int status, const char*) {
    const mg_request_info* request = mg_get_request_info(connection);
    if (status != 400 || request->request_method == nullptr || request->request_uri == nullptr ||
        request->http_version == nullptr || !IsToken(request->request_method)) {
        return 1;  // civetweb's own answer
    }
    std::string path = request->request_uri;
    path = path.substr(0, path.find('?'));
    if (Find(path.c_str()) == nullptr) {
        Respond(connection, 404, "text/plain; charset=utf-8", "not found\n", true);
    } else {
        Respond(connection, 405, "text/plain; charset=utf-8", "method not allowed\n", true,
                kAllowed);
    }
    return 0;
}

// civetweb's messages while Start() runs on this thread: the first says why
// it could not start ("cannot bind to ...: 98 (Address already in use)").
thread_local std::string* t_startMessages = nullptr;

int LogCivetweb(const mg_connection*, const char* message) {
    if (t_startMessages != nullptr) {
        if (t_startMessages->empty()) {
            *t_startMessages = message;
        }
    } else {
        __dlog_printf(DLOG_WARNING, kFile, "%s: %s", "KwStatsHttpServer", message);
    }
    return 1;  // nothing more to standard error
}

// "127.0.0.1:8080" or "[::1]:8080" for civetweb; empty when `address` is not
// exactly one IPv4 or IPv6 address.
std::string ListeningPort(const std::string& address, int port) {
    unsigned char parsed[sizeof(in6_addr)];
    if (inet_pton(AF_INET, address.c_str(), parsed) == 1) {
        return address + ":" + std::to_string(port);
    }
    if (inet_pton(AF_INET6, address.c_str(), parsed) == 1) {
        return "[" + address + "]:" + std::to_string(port);
    }
    return std::string();
}

}  // namespace

KwStatsHttpServer::KwStatsHttpServer(KwStatsSource source) : m_source(std::move(source)) {}

KwStatsHttpServer::~KwStatsHttpServer() {
    if (m_context != nullptr) {
        mg_stop(m_context);
    }
}

std::unique_ptr<KwStatsHttpServer> KwStatsHttpServer::Start(const KwStatsHttpOptions& options,
                                                            std::string& error,
                                                            KwStatsSource source) {
    error.clear();
    std::string where = options.bindAddress + " port " + std::to_string(options.port);
    std::string listening = ListeningPort(options.bindAddress, options.port);
    if (listening.empty()) {
        error = "the bind address '" + options.bindAddress + "' is not one IPv4 or IPv6 address";
    } else if (options.port < 0 || options.port > 65535) {
        error = "the port " + std::to_string(options.port) + " is not within 0 to 65535";
    } else if (options.workerThreads < 1 || options.workerThreads > 256) {
        error = std::to_string(options.workerThreads) + " worker threads: 1 to 256 are allowed";
    } else if (options.requestTimeoutMs < 100 || options.requestTimeoutMs > 600000) {
        error = "a request timeout of " + std::to_string(options.requestTimeoutMs) +
                " ms: 100 to 600000 are allowed";
    } else if (listening[0] == '[' && mg_check_feature(8) == 0) {
        error = "cannot serve on " + where + ": this civetweb has no IPv6";
    } else if (!source) {
        error = "no snapshot source";
    }
    if (!error.empty()) {
        return nullptr;
    }
    std::string threads = std::to_string(options.workerThreads);
    std::string timeout = std::to_string(options.requestTimeoutMs);
    const char* config[] = {"listening_ports",
                            listening.c_str(),
                            "num_threads",
                            threads.c_str(),
                            "request_timeout_ms",
                            timeout.c_str(),
                            "enable_keep_alive",
                            "no",
                            "decode_url",
                            "no",
                            nullptr};
    mg_callbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.begin_request = &KwStatsHttpServer::Answer;
    callbacks.log_message = &LogCivetweb;
    callbacks.http_error = &AnswerRefusedMethod;
    std::unique_ptr<KwStatsHttpServer> server(new KwStatsHttpServer(std::move(source)));
    mg_init_data init = {&callbacks, server.get(), config};
    char text[256] = "";
    unsigned code = 0;
    mg_error_data failure = {&code, text, sizeof text};
    std::string reason;
    t_startMessages = &reason;
    server->m_context = mg_start2(&init, &failure);
    t_startMessages = nullptr;
    if (server->m_context == nullptr) {
        if (reason.empty()) {
            reason = text[0] != '\0' ? text : "civetweb did not start";
        }
        error = "cannot serve on " + where + ": " + reason;
        return nullptr;
    }
    mg_server_port bound;
    if (mg_get_server_ports(server->m_context, 1, &bound) != 1) {
        error = "cannot serve on " + where + ": no listening port";
        return nullptr;
    }
    server->m_port = bound.port;
    return server;
}

int KwStatsHttpServer::Answer(mg_connection* connection) {
    const mg_request_info* request = mg_get_request_info(connection);
    const KwStatsHttpServer* self =
        static_cast<const KwStatsHttpServer*>(mg_get_user_data(mg_get_context(connection)));
    const char* method = request->request_method;
    bool head = strcmp(method, "HEAD") == 0;
    const RouteEntry* route = Find(request->local_uri_raw);
    if (route == nullptr) {
        return Respond(connection, 404, "text/plain; charset=utf-8", "not found\n", !head);
    }
    if (!head && strcmp(method, "GET") != 0) {
        return Respond(connection, 405, "text/plain; charset=utf-8", "method not allowed\n", true,
                       kAllowed);
    }
    // Nothing may escape into civetweb's C code.
    try {
        return Respond(connection, 200, route->contentType, Body(route->route, self->m_source),
                       !head);
    } catch (const std::exception& e) {
        __dlog_printf(DLOG_ERR, kFile, "%s: %s %s failed: %s", "Answer", method, route->path,
                      e.what());
        return Respond(connection, 500, "text/plain; charset=utf-8", "internal error\n", !head);
    }
}
