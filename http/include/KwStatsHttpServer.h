// KwStatsHttpServer: the collector's statistics over HTTP, for a host to
// embed in a few lines:
//
//   KwStatsHttpOptions options;
//   options.port = 8080;                       // bindAddress: 127.0.0.1
//   std::string error;
//   std::unique_ptr<KwStatsHttpServer> http = KwStatsHttpServer::Start(options, error);
//   if (!http) fprintf(stderr, "no status server: %s\n", error.c_str());
//   ...                                        // serves until destroyed
//
// Routes, for GET and HEAD; any other method on them gets 405 with an
// "Allow: GET, HEAD" header, any other path 404, and nothing is ever served
// from disk. Paths match exactly and with their case (a query string is
// ignored; percent-escapes are not decoded).
//   /metrics     the Prometheus text exposition (KwStatsPrometheus)
//   /stats.json  the snapshot as JSON (KwStatsJson)
//   /            a status page that shows them and refreshes itself; it
//                loads nothing from anywhere else
//
// Connections: one event loop on each of `threads` threads (libmicrohttpd
// with epoll) serves them all, so a connection that stays idle or trickles
// costs a socket and a few kilobytes, never a thread. At most
// `maxConnections` are open at once and `maxConnectionsPerAddress` from any
// one client address; others are closed as they come. A connection silent
// for `idleTimeoutSeconds` is closed. A request head larger than
// `maxRequestHeadBytes` is refused (431), a malformed request gets 400 with
// a fixed head that holds none of the client's bytes, and a request with a
// body gets 400 too. Absolute-form targets ("GET http://host/metrics") are
// served as their path.
//
// TLS and basic auth: `webConfigFile` names a file in the format Prometheus
// exporters read with --web.config.file (see KwWebConfig.h in the sources:
// tls_server_config with cert_file, key_file, client_auth_type, client_ca_file
// and min_version; basic_auth_users with bcrypt hashes). A client without a
// valid certificate, where one is required, gets 403; one without the right
// user and password gets 401 with a WWW-Authenticate header. Both come
// before a route is looked up.
//
// Ownership: the server keeps a copy of its snapshot source. Destroying it
// stops serving: it closes every connection and joins its threads at once
// (well within 100 ms), idle or busy. Start() and the destructor are to be
// called from one thread at a time; the source is called from the server's
// threads, several at once (KwTakeStatsSnapshot allows that).
//
// Refusals: Start() returns null, with the reason in `error` (which it
// empties on success), when an option is out of range, the bind address is
// not exactly one IPv4 or IPv6 address, the port cannot be had (in use, or
// not permitted), or the web configuration file is refused ("FILE:LINE:
// reason").
#ifndef KW_STATS_HTTP_SERVER_H
#define KW_STATS_HTTP_SERVER_H

#include <memory>
#include <string>

#include "KwStatsSnapshot.h"

struct MHD_Connection;
struct MHD_Daemon;
class KwBasicAuth;

struct KwStatsHttpOptions {
    // One IPv4 or IPv6 address, without brackets or port: "127.0.0.1",
    // "0.0.0.0" (every IPv4 interface), "::1".
    std::string bindAddress = "127.0.0.1";
    // 1 to 65535, or 0 for any free port (Port() tells which).
    int port = 0;
    // The server's own threads, 1 or 2.
    int threads = 2;
    // Open connections at most, 1 to 4096; from one address, 1 to that.
    int maxConnections = 64;
    int maxConnectionsPerAddress = 16;
    // Seconds a connection may stay silent, 1 to 600.
    int idleTimeoutSeconds = 2;
    // The largest request head taken, 1024 to 65536 bytes.
    int maxRequestHeadBytes = 8192;
    // TLS and basic auth (see above); empty: plain HTTP, anyone.
    std::string webConfigFile;
};

class KW_DIAG_EXPORT KwStatsHttpServer {
public:
    static std::unique_ptr<KwStatsHttpServer> Start(const KwStatsHttpOptions& options,
                                                    std::string& error,
                                                    KwStatsSource source = KwTakeStatsSnapshot);
    ~KwStatsHttpServer();

    KwStatsHttpServer(const KwStatsHttpServer&) = delete;
    KwStatsHttpServer& operator=(const KwStatsHttpServer&) = delete;

    // The port it listens on.
    int Port() const { return m_port; }

private:
    explicit KwStatsHttpServer(KwStatsSource source);
    // libmicrohttpd's callback for every request: answers it in full.
    static int Answer(void* self, MHD_Connection* connection, const char* target,
                      const char* method);

    KwStatsSource m_source;
    std::unique_ptr<KwBasicAuth> m_auth;  // null: no basic auth
    bool m_verifyClients = false;
    size_t m_maxHeadBytes = 0;
    MHD_Daemon* m_daemon = nullptr;
    int m_port = 0;
};

#endif  // KW_STATS_HTTP_SERVER_H
