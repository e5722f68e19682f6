#include "KwStatsHttpServer.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <microhttpd.h>

#include <cctype>
#include <cstdarg>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>
#include <utility>

#include "KwBasicAuth.h"
#include "KwStatsJson.h"
#include "KwStatsPrometheus.h"
#include "KwWebConfig.h"
#include "dlog.h"
#include "prometheus/text_serializer.h"

extern const char kStatusPage[];  // status_page.html, built in

namespace {

const char kFile[] = "KwStatsHttpServer.cpp";
const char kAllowed[] = "GET, HEAD";
const char kRealm[] = "qel";
const char kText[] = "text/plain; charset=utf-8";

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

const RouteEntry* Find(const std::string& path) {
    for (const RouteEntry& entry : kRoutes) {
        if (path == entry.path) {
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

bool IsTokenChar(unsigned char c) {
    return isalnum(c) || strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// A token as HTTP defines it (RFC 9110 5.6.2): methods and header names.
bool IsToken(const char* text) {
    if (*text == '\0') {
        return false;
    }
    for (; *text != '\0'; ++text) {
        if (!IsTokenChar(static_cast<unsigned char>(*text))) {
            return false;
        }
    }
    return true;
}

// The path of an origin-form ("/metrics") or absolute-form
// ("http://host:port/metrics") target; empty for any other ("*", "metrics").
std::string TargetPath(const char* target) {
    if (target[0] == '/') {
        return target;
    }
    for (const char* scheme : {"http://", "https://"}) {
        size_t length = strlen(scheme);
        if (strncasecmp(target, scheme, length) == 0) {
            const char* path = strchr(target + length, '/');
            return path != nullptr ? path : "/";
        }
    }
    return std::string();
}

// What a well-formed request must have beyond what libmicrohttpd checks:
// header names that are tokens, values without control characters (a bare
// CR reaches us inside one), and no body.
struct HeadCheck {
    bool good = true;
};

MHD_Result CheckHeader(void* check, MHD_ValueKind, const char* name, const char* value) {
    HeadCheck& head = *static_cast<HeadCheck*>(check);
    if (!IsToken(name) || strcasecmp(name, "Transfer-Encoding") == 0 ||
        (strcasecmp(name, "Content-Length") == 0 && strcmp(value, "0") != 0)) {
        head.good = false;
    }
    for (const char* c = value != nullptr ? value : ""; *c != '\0'; ++c) {
        unsigned char byte = static_cast<unsigned char>(*c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
            head.good = false;
        }
    }
    return head.good ? MHD_YES : MHD_NO;
}

// Queues one whole response; every header is ours.
MHD_Result Respond(MHD_Connection* connection, unsigned status, const char* contentType,
                   const std::string& body, const char* allow = nullptr, bool challenge = false) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;  // closes the connection
    }
    MHD_add_response_header(response, "Content-Type", contentType);
    MHD_add_response_header(response, "Cache-Control", "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    // The page runs its own inline script and style, and talks to this
    // server only.
    MHD_add_response_header(response, "Content-Security-Policy",
                            "default-src 'none'; script-src 'unsafe-inline'; "
                            "style-src 'unsafe-inline'; connect-src 'self'; img-src data:");
    if (allow != nullptr) {
        MHD_add_response_header(response, "Allow", allow);
    }
    MHD_Result queued = challenge ? MHD_queue_basic_auth_fail_response(connection, kRealm, response)
                                  : MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

// Whether the client showed a certificate that the client CA signed.
bool ClientVerified(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (info == nullptr || info->tls_session == nullptr) {
        return false;
    }
    gnutls_session_t session = static_cast<gnutls_session_t>(info->tls_session);
    unsigned int status = 0;
    return gnutls_certificate_type_get(session) == GNUTLS_CRT_X509 &&
           gnutls_certificate_get_peers(session, nullptr) != nullptr &&
           gnutls_certificate_verify_peers2(session, &status) == GNUTLS_E_SUCCESS && status == 0;
}

// libmicrohttpd's messages while Start() runs on this thread: the first says
// why it could not start ("Failed to bind to port 8080: Address already in
// use"). Later ones are about clients, and go to the debug level: a hostile
// client must not flood the host's log.
thread_local std::string* t_startMessages = nullptr;

void Log(void*, const char* format, va_list arguments) {
    char message[512];
    vsnprintf(message, sizeof message, format, arguments);
    size_t length = strlen(message);
    while (length > 0 && (message[length - 1] == '\n' || message[length - 1] == '.')) {
        message[--length] = '\0';
    }
    if (t_startMessages != nullptr) {
        if (t_startMessages->empty()) {
            *t_startMessages = message;
        }
    } else {
        __dlog_printf(DLOG_DEBUG, kFile, "%s: %s", "KwStatsHttpServer", message);
    }
}

// Targets are matched as sent: percent-escapes stay as they are.
size_t KeepEscapes(void*, MHD_Connection*, char* text) {
    return strlen(text);
}

// The GnuTLS priorities for the lowest version allowed.
std::string Priorities(int minTlsVersion) {
    std::string priorities = "NORMAL:-VERS-ALL";
    for (int version = 13; version >= minTlsVersion; --version) {
        priorities += ":+VERS-TLS1." + std::to_string(version - 10);
    }
    return priorities;
}

// A certificate and key that GnuTLS takes, or "LINE: the reason" it does not.
std::string CheckCredentials(const KwWebConfig& config) {
    gnutls_certificate_credentials_t credentials;
    if (gnutls_certificate_allocate_credentials(&credentials) != GNUTLS_E_SUCCESS) {
        return "no memory for TLS credentials";
    }
    gnutls_datum_t cert = {
        reinterpret_cast<unsigned char*>(const_cast<char*>(config.certPem.data())),
        static_cast<unsigned>(config.certPem.size())};
    gnutls_datum_t key = {reinterpret_cast<unsigned char*>(const_cast<char*>(config.keyPem.data())),
                          static_cast<unsigned>(config.keyPem.size())};
    std::string reason;
    int result = gnutls_certificate_set_x509_key_mem(credentials, &cert, &key, GNUTLS_X509_FMT_PEM);
    if (result < 0) {
        reason = std::to_string(config.certLine) +
                 ": cert_file and key_file: " + gnutls_strerror(result);
    } else if (config.verifyClients) {
        gnutls_datum_t ca = {
            reinterpret_cast<unsigned char*>(const_cast<char*>(config.clientCaPem.data())),
            static_cast<unsigned>(config.clientCaPem.size())};
        result = gnutls_certificate_set_x509_trust_mem(credentials, &ca, GNUTLS_X509_FMT_PEM);
        if (result <= 0) {
            reason = std::to_string(config.caLine) + ": client_ca_file: " +
                     (result < 0 ? gnutls_strerror(result) : "no certificate in it");
        }
    }
    gnutls_certificate_free_credentials(credentials);
    return reason;
}

std::string Range(const char* what, int value, int low, int high) {
    if (value >= low && value <= high) {
        return std::string();
    }
    return std::string(what) + " " + std::to_string(value) + ": " + std::to_string(low) + " to " +
           std::to_string(high) + " are allowed";
}

}  // namespace

KwStatsHttpServer::KwStatsHttpServer(KwStatsSource source) : m_source(std::move(source)) {}

KwStatsHttpServer::~KwStatsHttpServer() {
    if (m_daemon != nullptr) {
        MHD_stop_daemon(m_daemon);
    }
}

std::unique_ptr<KwStatsHttpServer> KwStatsHttpServer::Start(const KwStatsHttpOptions& options,
                                                            std::string& error,
                                                            KwStatsSource source) {
    error.clear();
    std::string where = options.bindAddress + " port " + std::to_string(options.port);
    sockaddr_in v4;
    sockaddr_in6 v6;
    memset(&v4, 0, sizeof v4);
    memset(&v6, 0, sizeof v6);
    const sockaddr* address = nullptr;
    unsigned flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC | MHD_USE_ERROR_LOG;
    if (inet_pton(AF_INET, options.bindAddress.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(options.port));
        address = reinterpret_cast<const sockaddr*>(&v4);
    } else if (inet_pton(AF_INET6, options.bindAddress.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(options.port));
        address = reinterpret_cast<const sockaddr*>(&v6);
        flags |= MHD_USE_IPv6;
    }
    if (address == nullptr) {
        error = "the bind address '" + options.bindAddress + "' is not one IPv4 or IPv6 address";
    } else if (options.port < 0 || options.port > 65535) {
        error = "the port " + std::to_string(options.port) + " is not within 0 to 65535";
    } else if (!(error = Range("threads", options.threads, 1, 2)).empty() ||
               !(error = Range("connections", options.maxConnections, 1, 4096)).empty() ||
               !(error = Range("connections from one address", options.maxConnectionsPerAddress, 1,
                               options.maxConnections))
                    .empty() ||
               !(error = Range("an idle timeout (s) of", options.idleTimeoutSeconds, 1, 600))
                    .empty() ||
               !(error =
                     Range("a request head (bytes) of", options.maxRequestHeadBytes, 1024, 65536))
                    .empty()) {
    } else if (!source) {
        error = "no snapshot source";
    }
    if (!error.empty()) {
        return nullptr;
    }
    KwWebConfig config;
    if (!options.webConfigFile.empty()) {
        if (!KwReadWebConfig(options.webConfigFile, config, error)) {
            return nullptr;
        }
        std::string reason = config.tls ? CheckCredentials(config) : std::string();
        if (!reason.empty()) {
            error = options.webConfigFile + ":" + reason;
            return nullptr;
        }
    }
    std::unique_ptr<KwStatsHttpServer> server(new KwStatsHttpServer(std::move(source)));
    if (!config.users.empty()) {
        server->m_auth.reset(new KwBasicAuth(config.users));
    }
    server->m_verifyClients = config.verifyClients;
    server->m_maxHeadBytes = static_cast<size_t>(options.maxRequestHeadBytes);
    std::string priorities = Priorities(config.minTlsVersion);
    // The head, its parsing and the answer's head share a connection's
    // memory (the answer's body is allocated apart). Twice the limit lets a
    // head just above it in, to be answered 431 by the check of its size;
    // larger ones libmicrohttpd refuses itself, also with 431.
    size_t memory = 2 * static_cast<size_t>(options.maxRequestHeadBytes) + 4096;
    MHD_OptionItem tls[] = {
        {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(config.certPem.c_str())},
        {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(config.keyPem.c_str())},
        {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(priorities.c_str())},
        {config.verifyClients ? MHD_OPTION_HTTPS_MEM_TRUST : MHD_OPTION_END, 0,
         const_cast<char*>(config.clientCaPem.c_str())},
        {MHD_OPTION_END, 0, nullptr}};
    if (config.tls) {
        flags |= MHD_USE_TLS;
    }
    auto answer = [](void* self, MHD_Connection* connection, const char* target, const char* method,
                     const char*, const char*, size_t*, void**) -> MHD_Result {
        // The first call has the head, everything needed: it answers.
        return static_cast<MHD_Result>(Answer(self, connection, target, method));
    };
    std::string reason;
    t_startMessages = &reason;
    server->m_daemon = MHD_start_daemon(
        flags, static_cast<uint16_t>(options.port), nullptr, nullptr, answer, server.get(),
        MHD_OPTION_EXTERNAL_LOGGER, &Log, nullptr,  // first, so that it has every message
        MHD_OPTION_SOCK_ADDR, address, MHD_OPTION_THREAD_POOL_SIZE,
        static_cast<unsigned>(options.threads), MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(options.maxConnections), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        static_cast<unsigned>(options.maxConnectionsPerAddress), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(options.idleTimeoutSeconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        memory, MHD_OPTION_UNESCAPE_CALLBACK, &KeepEscapes, nullptr, MHD_OPTION_ARRAY,
        config.tls ? tls : tls + 4, MHD_OPTION_END);
    t_startMessages = nullptr;
    if (server->m_daemon == nullptr) {
        error = "cannot serve on " + where + ": " +
                (reason.empty() ? std::string("libmicrohttpd did not start") : reason);
        return nullptr;
    }
    const MHD_DaemonInfo* bound = MHD_get_daemon_info(server->m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    server->m_port = bound != nullptr ? bound->port : 0;
    if (server->m_port == 0) {
        error = "cannot serve on " + where + ": no listening port";
        return nullptr;
    }
    return server;
}

int KwStatsHttpServer::Answer(void* context, MHD_Connection* connection, const char* target,
                              const char* method) {
    // Every request is answered on this first call, with its head: one
    // with a body gets 400 before libmicrohttpd reads any of it.
    const KwStatsHttpServer* self = static_cast<const KwStatsHttpServer*>(context);
    const MHD_ConnectionInfo* size =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
    if (size == nullptr || size->header_size > self->m_maxHeadBytes) {
        return Respond(connection, 431, kText, "request head too large\n");
    }
    HeadCheck head;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &CheckHeader, &head);
    std::string path = TargetPath(target);
    if (!head.good || !IsToken(method) || path.empty()) {
        return Respond(connection, 400, kText, "bad request\n");
    }
    if (self->m_verifyClients && !ClientVerified(connection)) {
        return Respond(connection, 403, kText, "a client certificate is required\n");
    }
    if (self->m_auth) {
        char* password = nullptr;
        char* user = MHD_basic_auth_get_username_password(connection, &password);
        bool granted =
            user != nullptr && password != nullptr && self->m_auth->Check(user, password);
        MHD_free(user);
        MHD_free(password);
        if (!granted) {
            return Respond(connection, 401, kText, "unauthorized\n", nullptr, true);
        }
    }
    const RouteEntry* route = Find(path);
    if (route == nullptr) {
        return Respond(connection, 404, kText, "not found\n");
    }
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0) {
        return Respond(connection, 405, kText, "method not allowed\n", kAllowed);
    }
    // Nothing may escape into libmicrohttpd's C code.
    try {
        return Respond(connection, 200, route->contentType, Body(route->route, self->m_source));
    } catch (const std::exception& e) {
        __dlog_printf(DLOG_ERR, kFile, "%s: %s %s failed: %s", "Answer", method, route->path,
                      e.what());
        return Respond(connection, 500, kText, "internal error\n");
    }
}
