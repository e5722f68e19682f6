#include "KwStatsHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KwBasicAuth.h"
#include "KwConnectionSlots.h"
#include "KwHttpSettings.h"
#include "KwHttpSettingsWatch.h"
#include "KwLogThrottle.h"
#include "KwRequestHead.h"
#include "KwStatsJson.h"
#include "KwStatsPrometheus.h"
#include "KwStdMutex.h"
#include "dlog.h"
#include "prometheus/text_serializer.h"

extern const char kStatusPage[];  // status_page.html, built in

namespace {

typedef std::chrono::steady_clock Clock;

const char kFile[] = "KwStatsHttpServer.cpp";
const char kAllowed[] = "GET, HEAD";
const char kRealm[] = "qel";
const char kText[] = "text/plain; charset=utf-8";

// The kinds of trouble the log tells at most once a second each.
const char kDescriptors[] = "descriptors exhausted";
const char kRefused[] = "connections refused";
const char kSlow[] = "slow connections closed";
const char kHandshakes[] = "handshakes failed";
const char kLibrary[] = "libmicrohttpd";

// Connections on their way out (given way, not yet closed by the loop that
// owns them) beyond the limit: a loop closes them at its next turn, and
// accepts at most 11 connections a turn.
const unsigned kLeavingHeadroom = 16;

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

// Queues one whole response; every header is ours. On the first call of a
// request (a malformed one) libmicrohttpd closes the connection after it.
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

int PortOf(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
    }
    if (address->sa_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port);
    }
    return 0;
}

std::string AddressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                  sizeof text);
    } else if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                  sizeof text);
    }
    return text;
}

// What a connection keeps while it is open.
struct Connection {
    uint64_t slot = 0;
    std::string address;
    std::shared_ptr<const KwHttpSettings> settings;  // those it started with
};

// What a request keeps until it is answered.
struct Request {
    KwSeenTarget target;
    enum Phase { HEAD, ANSWER, CHECKING } phase = HEAD;
    std::atomic<bool> granted{false};  // set by the bcrypt thread, before it resumes
};

// libmicrohttpd's messages while Start() runs on this thread: the first says
// why it could not start ("Failed to bind to port 8080: Address already in
// use").
thread_local std::string* t_startMessages = nullptr;

// The admission that libmicrohttpd's accept check made on this thread,
// until the connection opens (libmicrohttpd opens it next, on this thread).
struct Admitted {
    const void* server = nullptr;
    uint64_t slot = 0;
};
thread_local Admitted t_admitted;

// The listening socket. TCP_DEFER_ACCEPT: the kernel hands a connection on
// only once its first bytes are there (or after a second), so that a prompt
// client's connection starts with its request unread, which keeps it from
// giving way (KwConnectionSlots.h) before the server has read it; and a
// client that connects and says nothing waits in the kernel, not in a slot.
int Listen(const sockaddr* address, socklen_t length, std::string& reason) {
    int fd = socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        reason = strerror(errno);
        return -1;
    }
    int on = 1, deferSeconds = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address->sa_family == AF_INET6) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds);
    if (bind(fd, address, length) != 0 || listen(fd, SOMAXCONN) != 0) {
        reason = strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

// Whether `fd` is still the listening socket on `port` (libmicrohttpd
// closes it on some of its failures to start, not on others).
bool StillListening(int fd, int port) {
    sockaddr_storage bound;
    socklen_t length = sizeof bound;
    int listening = 0;
    socklen_t size = sizeof listening;
    return fcntl(fd, F_GETFD) != -1 &&
           getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening == 1 &&
           getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0 &&
           PortOf(reinterpret_cast<sockaddr*>(&bound)) == port;
}

std::string Range(const char* what, int value, int low, int high) {
    if (value >= low && value <= high) {
        return std::string();
    }
    return std::string(what) + " " + std::to_string(value) + ": " + std::to_string(low) + " to " +
           std::to_string(high) + " are allowed";
}

std::string Check(const KwStatsHttpOptions& options) {
    std::string error;
    if ((error = Range("threads", options.threads, 1, 2)).empty() &&
        (error = Range("connections", options.maxConnections, 1, 4096)).empty() &&
        (error = Range("connections from one address", options.maxConnectionsPerAddress, 1,
                       options.maxConnections))
            .empty() &&
        (error = Range("an idle timeout (s) of", options.idleTimeoutSeconds, 1, 600)).empty() &&
        (error = Range("a request timeout (s) of", options.requestTimeoutSeconds, 1, 600))
            .empty()) {
        error = Range("a request head (bytes) of", options.maxRequestHeadBytes, 1024, 65536);
    }
    return error;
}

}  // namespace

// Of the library's own names, only the public ones leave it.
struct __attribute__((visibility("hidden"))) KwStatsHttpServer::Impl {
    Impl(KwStatsSource snapshots, const KwStatsHttpOptions& options,
         std::shared_ptr<const KwHttpSettings> initial)
        : source(std::move(snapshots)),
          maxHeadBytes(static_cast<size_t>(options.maxRequestHeadBytes)),
          requestTimeoutSeconds(options.requestTimeoutSeconds),
          slots(Limits(options, initial->Tls())),
          log(kFile),
          settings(std::move(initial), kFile) {}
    ~Impl();

    static KwConnectionSlots::Limits Limits(const KwStatsHttpOptions& options, bool tls) {
        KwConnectionSlots::Limits limits;
        limits.tls = tls;
        limits.connections = static_cast<size_t>(options.maxConnections);
        limits.perAddress = static_cast<size_t>(options.maxConnectionsPerAddress);
        limits.requestTimeout = std::chrono::seconds(options.requestTimeoutSeconds);
        return limits;
    }

    // libmicrohttpd's callbacks: nothing may escape into its C code.
    static MHD_Result Admit(void* self, const sockaddr* address, socklen_t);
    static void Notify(void* self, MHD_Connection* connection, void** context,
                       MHD_ConnectionNotificationCode code);
    static void* SeeTarget(void* self, const char* uri, MHD_Connection* connection);
    static MHD_Result Answer(void* self, MHD_Connection* connection, const char* target,
                             const char* method, const char* version, const char*,
                             size_t* uploadSize, void** context);
    static void Completed(void* self, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode);
    static void Log(void* self, const char* format, va_list arguments);

    MHD_Result Serve(MHD_Connection* connection, Connection& open, Request& request,
                     const char* method, const char* target);
    MHD_Result Route(MHD_Connection* connection, const char* method, const char* target);
    void Tell(const std::vector<KwConnectionSlots::Event>& events, Clock::time_point now);
    void Housekeeping() KW_EXCLUDES(lock);

    KwStatsSource source;
    size_t maxHeadBytes;
    int requestTimeoutSeconds;
    KwConnectionSlots slots;
    KwLogThrottle log;
    KwHttpSettingsWatch settings;
    std::unique_ptr<KwBasicAuth> auth;  // with a web configuration only
    MHD_Daemon* daemon = nullptr;

    KwStdMutex lock;
    std::condition_variable_any wake;
    bool stopping KW_GUARDED_BY(lock) = false;
    std::thread housekeeping;
};

MHD_Result KwStatsHttpServer::Impl::Admit(void* context, const sockaddr* address, socklen_t) {
    Impl& self = *static_cast<Impl*>(context);
    try {
        if (t_admitted.server == &self && t_admitted.slot != 0) {
            self.slots.Closed(t_admitted.slot, Clock::now());  // admitted, never opened
        }
        t_admitted = Admitted();
        Clock::time_point now = Clock::now();
        std::vector<KwConnectionSlots::Event> events;
        uint64_t slot = self.slots.Admit(AddressText(address), now, events);
        self.Tell(events, now);
        if (slot == 0) {
            return MHD_NO;
        }
        t_admitted.server = &self;
        t_admitted.slot = slot;
        return MHD_YES;
    } catch (const std::exception&) {
        return MHD_NO;
    }
}

void KwStatsHttpServer::Impl::Notify(void* context, MHD_Connection* connection, void** opened,
                                     MHD_ConnectionNotificationCode code) {
    Impl& self = *static_cast<Impl*>(context);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        // Before libmicrohttpd closes the descriptor: from here on, no
        // slow-client check touches it.
        Connection* closing = static_cast<Connection*>(*opened);
        if (closing != nullptr) {
            self.slots.Closed(closing->slot, Clock::now());
            delete closing;
            *opened = nullptr;
        }
        return;
    }
    uint64_t slot = t_admitted.server == &self ? t_admitted.slot : 0;
    t_admitted = Admitted();
    const MHD_ConnectionInfo* fd =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const MHD_ConnectionInfo* address =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    Connection* open = nullptr;
    try {
        open = new Connection();
        open->slot = slot;
        open->address = address != nullptr ? AddressText(address->client_addr) : "?";
        open->settings = self.settings.Current();
    } catch (const std::exception&) {
        delete open;
        open = nullptr;
    }
    bool ready = open != nullptr && fd != nullptr && slot != 0;
    if (ready && open->settings->Tls()) {
        // A new session starts with the settings in use now.
        const MHD_ConnectionInfo* tls =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
        ready = tls != nullptr &&
                open->settings->ApplyTo(static_cast<gnutls_session_t>(tls->tls_session));
    }
    if (open != nullptr) {
        if (fd != nullptr) {
            self.slots.Opened(slot, fd->connect_fd);
        }
        *opened = open;
    } else if (slot != 0) {
        self.slots.Closed(slot, Clock::now());
    }
    if (!ready && fd != nullptr) {
        shutdown(fd->connect_fd, SHUT_RDWR);  // its loop closes it
    }
}

void* KwStatsHttpServer::Impl::SeeTarget(void*, const char* uri, MHD_Connection*) {
    // The target before libmicrohttpd cuts it at '?', or at a NUL.
    Request* request = new (std::nothrow) Request();
    if (request != nullptr) {
        request->target = KwSeeTarget(uri);
    }
    return request;
}

void KwStatsHttpServer::Impl::Completed(void* context, MHD_Connection* connection, void** request,
                                        MHD_RequestTerminationCode) {
    Impl& self = *static_cast<Impl*>(context);
    delete static_cast<Request*>(*request);
    *request = nullptr;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    Connection* open = info != nullptr ? static_cast<Connection*>(info->socket_context) : nullptr;
    try {
        if (open != nullptr) {
            self.slots.AnswerSent(open->slot, Clock::now());  // it waits for its next head
        }
    } catch (const std::exception&) {  // out of memory: its deadline closes it
    }
}

MHD_Result KwStatsHttpServer::Impl::Answer(void* context, MHD_Connection* connection,
                                           const char* target, const char* method,
                                           const char* version, const char*, size_t* uploadSize,
                                           void** requestContext) {
    Impl& self = *static_cast<Impl*>(context);
    Request* request = static_cast<Request*>(*requestContext);
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    Connection* open = info != nullptr ? static_cast<Connection*>(info->socket_context) : nullptr;
    if (request == nullptr || open == nullptr) {
        return MHD_NO;  // out of memory: closes the connection
    }
    try {
        switch (request->phase) {
            case Request::HEAD: {
                // The first call has the head. A malformed one is answered
                // now, and its connection closed; a good one on the final
                // call, once libmicrohttpd has seen it whole (it has no
                // body), so that the connection can carry on.
                self.slots.HeadArrived(open->slot, Clock::now());
                switch (KwCheckHead(connection, method, target, version, request->target,
                                    self.maxHeadBytes)) {
                    case KW_HEAD_TOO_LARGE:
                        return Respond(connection, 431, kText, "request head too large\n");
                    case KW_HEAD_BAD:
                        return Respond(connection, 400, kText, "bad request\n");
                    case KW_HEAD_GOOD:
                        break;
                }
                request->phase = Request::ANSWER;
                return MHD_YES;
            }
            case Request::ANSWER:
                if (*uploadSize != 0) {
                    return MHD_NO;  // a body after all: close
                }
                return self.Serve(connection, *open, *request, method, target);
            case Request::CHECKING:  // resumed: bcrypt had its say
                if (!request->granted.load()) {
                    return Respond(connection, 401, kText, "unauthorized\n", nullptr, true);
                }
                return self.Route(connection, method, target);
        }
    } catch (const std::exception&) {  // out of memory
    }
    return MHD_NO;  // closes the connection
}

MHD_Result KwStatsHttpServer::Impl::Serve(MHD_Connection* connection, Connection& open,
                                          Request& request, const char* method,
                                          const char* target) {
    const KwHttpSettings& served = *open.settings;
    if (served.VerifyClients() && !ClientVerified(connection)) {
        return Respond(connection, 403, kText, "a client certificate is required\n");
    }
    if (served.Users() && auth != nullptr) {
        char* password = nullptr;
        char* user = MHD_basic_auth_get_username_password(connection, &password);
        std::unique_ptr<char, void (*)(void*)> userOwned(user, &MHD_free);
        std::unique_ptr<char, void (*)(void*)> passwordOwned(password, &MHD_free);
        if (user == nullptr || password == nullptr) {
            return Respond(connection, 401, kText, "unauthorized\n", nullptr, true);
        }
        const std::string* hash = served.HashOf(user);
        if (hash == nullptr || !auth->Remembered(user, password, *hash)) {
            // bcrypt's turn comes on its own thread; the connection waits
            // suspended, and is answered when it is resumed.
            request.phase = Request::CHECKING;
            Request* waiting = &request;
            bool queued = auth->Check(
                open.address, user, password, hash,
                [connection]() { MHD_suspend_connection(connection); },
                [waiting, connection](bool granted) {
                    waiting->granted.store(granted);
                    MHD_resume_connection(connection);
                });
            if (!queued) {  // a check of this address waits already
                return Respond(connection, 401, kText, "unauthorized\n", nullptr, true);
            }
            return MHD_YES;
        }
    }
    return Route(connection, method, target);
}

MHD_Result KwStatsHttpServer::Impl::Route(MHD_Connection* connection, const char* method,
                                          const char* target) {
    const RouteEntry* route = Find(KwTargetPath(target));
    if (route == nullptr) {
        return Respond(connection, 404, kText, "not found\n");
    }
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0) {
        return Respond(connection, 405, kText, "method not allowed\n", kAllowed);
    }
    try {
        return Respond(connection, 200, route->contentType, Body(route->route, source));
    } catch (const std::exception& e) {
        __dlog_printf(DLOG_ERR, kFile, "%s: %s %s failed: %s", "Answer", method, route->path,
                      e.what());
        return Respond(connection, 500, kText, "internal error\n");
    }
}

void KwStatsHttpServer::Impl::Log(void* context, const char* format, va_list arguments) {
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
        return;
    }
    // Later messages are about clients: a hostile one must not flood the
    // host's log, so each kind goes out at most once a second.
    Impl& self = *static_cast<Impl*>(context);
    const char* kind = format;
    const char* name = kLibrary;
    int level = DLOG_DEBUG;
    if (strstr(message, "Error accepting connection") == message ||
        strstr(message, "resource limit") != nullptr) {
        kind = name = kDescriptors;
        level = DLOG_WARNING;
    } else if (strstr(message, "reached connection limit") != nullptr) {
        kind = name = kRefused;
        level = DLOG_WARNING;
    } else if (strstr(message, "handshake") != nullptr) {
        kind = name = kHandshakes;
        level = DLOG_INFO;
    }
    try {
        self.log.Log(kind, name, level, message, Clock::now());
    } catch (const std::exception&) {
    }
}

void KwStatsHttpServer::Impl::Tell(const std::vector<KwConnectionSlots::Event>& events,
                                   Clock::time_point now) {
    for (const KwConnectionSlots::Event& event : events) {
        std::string text = "a connection from " + event.address;
        const char* limit = event.atAddressLimit ? "its address" : "the server";
        switch (event.kind) {
            case KwConnectionSlots::Event::GAVE_WAY:
                text += std::string(" gave way to a new one (") + limit + " at its limit)";
                log.Log(kSlow, kSlow, DLOG_INFO, text, now);
                break;
            case KwConnectionSlots::Event::TIMED_OUT:
                text += (event.busy ? " did not take its answer within "
                                    : " sent no whole request head within ") +
                        std::to_string(requestTimeoutSeconds) + " s";
                log.Log(kSlow, kSlow, DLOG_INFO, text, now);
                break;
            case KwConnectionSlots::Event::REFUSED:
                text += std::string(" (") + limit + " at its limit, " +
                        (event.suspect ? "and its address lost a slow connection lately)"
                                       : "every connection busy with a request)");
                log.Log(kRefused, kRefused, DLOG_WARNING, text, now);
                break;
        }
    }
}

void KwStatsHttpServer::Impl::Housekeeping() {
    Clock::time_point wakeAt = Clock::now();
    Clock::time_point reread = wakeAt;
    for (;;) {
        {
            KwStdGuard guard(lock);
            while (!stopping && Clock::now() < wakeAt) {
                wake.wait_until(lock, wakeAt);
            }
            if (stopping) {
                return;
            }
        }
        Clock::time_point now = Clock::now();
        wakeAt = now + std::chrono::seconds(1);  // for the log's counts at least
        try {
            std::vector<KwConnectionSlots::Event> events;
            wakeAt = std::min(wakeAt, slots.Sweep(now, events));
            Tell(events, now);
            // The web configuration once a second: cheap (a few small files
            // read and compared), and soon enough for a rotation by script.
            if (now >= reread) {
                settings.Check();
                reread = now + std::chrono::seconds(1);
            }
            log.Flush(now);
        } catch (const std::exception&) {  // out of memory: again at the next turn
        }
        wakeAt = std::min(wakeAt, reread);
    }
}

KwStatsHttpServer::Impl::~Impl() {
    {
        KwStdGuard guard(lock);
        stopping = true;
    }
    wake.notify_all();
    if (housekeeping.joinable()) {
        housekeeping.join();
    }
    // Every connection waiting for bcrypt is resumed before the daemon
    // stops: libmicrohttpd must not stop with one suspended.
    if (auth != nullptr) {
        auth->Stop();
    }
    if (daemon != nullptr) {
        MHD_stop_daemon(daemon);
    }
}

KwStatsHttpServer::KwStatsHttpServer(std::unique_ptr<Impl> impl, int port)
    : m_impl(std::move(impl)), m_port(port) {}

KwStatsHttpServer::~KwStatsHttpServer() = default;

std::unique_ptr<KwStatsHttpServer> KwStatsHttpServer::Start(const KwStatsHttpOptions& options,
                                                            std::string& error,
                                                            KwStatsSource source) {
    try {
        error.clear();
        std::string where = options.bindAddress + " port " + std::to_string(options.port);
        sockaddr_in v4;
        sockaddr_in6 v6;
        memset(&v4, 0, sizeof v4);
        memset(&v6, 0, sizeof v6);
        const sockaddr* address = nullptr;
        socklen_t addressLength = 0;
        unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC |
                         MHD_USE_ERROR_LOG | MHD_ALLOW_SUSPEND_RESUME;
        if (inet_pton(AF_INET, options.bindAddress.c_str(), &v4.sin_addr) == 1) {
            v4.sin_family = AF_INET;
            v4.sin_port = htons(static_cast<uint16_t>(options.port));
            address = reinterpret_cast<const sockaddr*>(&v4);
            addressLength = sizeof v4;
        } else if (inet_pton(AF_INET6, options.bindAddress.c_str(), &v6.sin6_addr) == 1) {
            v6.sin6_family = AF_INET6;
            v6.sin6_port = htons(static_cast<uint16_t>(options.port));
            address = reinterpret_cast<const sockaddr*>(&v6);
            addressLength = sizeof v6;
            flags |= MHD_USE_IPv6;
        }
        if (address == nullptr) {
            error =
                "the bind address '" + options.bindAddress + "' is not one IPv4 or IPv6 address";
        } else if (options.port < 0 || options.port > 65535) {
            error = "the port " + std::to_string(options.port) + " is not within 0 to 65535";
        } else if (!(error = Check(options)).empty()) {
        } else if (!source) {
            error = "no snapshot source";
        }
        if (!error.empty()) {
            return nullptr;
        }
        std::shared_ptr<const KwHttpSettings> settings =
            KwHttpSettings::Load(options.webConfigFile, error);
        if (settings == nullptr) {
            return nullptr;
        }
        std::unique_ptr<Impl> impl(new Impl(std::move(source), options, settings));
        if (!options.webConfigFile.empty()) {
            impl->auth.reset(new KwBasicAuth());  // users may come with a reload
        }
        // The head, its parsing and the answer's head share a connection's
        // memory (the answer's body is allocated apart). Twice the limit lets
        // a head just above it in, to be answered 431 by the check of its
        // size; larger ones libmicrohttpd refuses itself, also with 431.
        size_t memory = 2 * static_cast<size_t>(options.maxRequestHeadBytes) + 4096;
        // Admit() holds the limits; libmicrohttpd's own, per loop, only
        // bounds those on their way out besides.
        unsigned hardLimit = static_cast<unsigned>(options.threads) *
                             (static_cast<unsigned>(options.maxConnections) + kLeavingHeadroom);
        MHD_OptionItem tls[] = {
            {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(settings->CertPem().c_str())},
            {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(settings->KeyPem().c_str())},
            {MHD_OPTION_END, 0, nullptr}};
        if (settings->Tls()) {
            flags |= MHD_USE_TLS;
        }
        std::string reason;
        int listener = Listen(address, addressLength, reason);
        if (listener < 0) {
            error = "cannot serve on " + where + ": " + reason;
            return nullptr;
        }
        sockaddr_storage bound;
        socklen_t boundLength = sizeof bound;
        getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &boundLength);
        int port = PortOf(reinterpret_cast<sockaddr*>(&bound));
        t_startMessages = &reason;
        Impl* self = impl.get();
        impl->daemon = MHD_start_daemon(
            flags, static_cast<uint16_t>(options.port), &Impl::Admit, self, &Impl::Answer, self,
            MHD_OPTION_EXTERNAL_LOGGER, &Impl::Log, self,  // first, so that it has every message
            MHD_OPTION_LISTEN_SOCKET, listener, MHD_OPTION_THREAD_POOL_SIZE,
            static_cast<unsigned>(options.threads), MHD_OPTION_CONNECTION_LIMIT, hardLimit,
            MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(options.idleTimeoutSeconds),
            MHD_OPTION_CONNECTION_MEMORY_LIMIT, memory, MHD_OPTION_UNESCAPE_CALLBACK,
            +[](void*, MHD_Connection*, char* text) -> size_t {
                return strlen(text);  // targets are matched as sent: escapes stay
            },
            nullptr, MHD_OPTION_NOTIFY_CONNECTION, &Impl::Notify, self, MHD_OPTION_NOTIFY_COMPLETED,
            &Impl::Completed, self, MHD_OPTION_URI_LOG_CALLBACK, &Impl::SeeTarget, self,
            MHD_OPTION_ARRAY, settings->Tls() ? tls : tls + 2, MHD_OPTION_END);
        t_startMessages = nullptr;
        if (impl->daemon == nullptr) {
            if (StillListening(listener, port)) {
                close(listener);
            }
            error = "cannot serve on " + where + ": " +
                    (reason.empty() ? std::string("libmicrohttpd did not start") : reason);
            return nullptr;
        }
        std::unique_ptr<KwStatsHttpServer> server(new KwStatsHttpServer(std::move(impl), port));
        Impl* running = server->m_impl.get();
        running->housekeeping = std::thread([running] { running->Housekeeping(); });
        pthread_setname_np(running->housekeeping.native_handle(), "qel-http-sweep");
        return server;
    } catch (const std::exception& e) {  // out of memory, or no thread to be had
        t_startMessages = nullptr;
        error = std::string("cannot start the status server: ") + e.what();
        return nullptr;
    }
}
