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
// costs a socket and a few kilobytes, never a thread. A connection keeps
// alive between requests (RFC 9112: pipelined requests are answered in
// order) until the client closes it or it is silent for
// `idleTimeoutSeconds`. No client can keep a place from a prompt one:
//  - each request has `requestTimeoutSeconds` for its whole head (a TLS
//    handshake included), from when the connection opens or its last
//    answer went out, and as long again for its answer to be taken;
//    whoever is slower is closed, however steadily it trickles;
//  - at most `maxConnections` are open at once and `maxConnectionsPerAddress`
//    from any one client address. A new connection beyond either takes the
//    place of the connection (of the same address, at its own limit) that
//    has waited longest without a whole request head; it is closed only when
//    every such connection is busy with a request. At the server's limit,
//    an address that lost such a connection in the last minute gives way
//    first, and takes free places only.
// So memory stays bounded by the limit. A request head larger than
// `maxRequestHeadBytes` is refused (431); a malformed request gets 400 with
// a fixed head that holds none of the client's bytes, and the connection is
// closed: a control byte (NUL among them) or a space in the target or in a
// header value, a folded header line, an HTTP/1.1 request without Host or
// any with two, a body. Absolute-form targets ("GET http://host/metrics")
// are served as their path.
//
// TLS and basic auth: `webConfigFile` names a file in the format Prometheus
// exporters read with --web.config.file (see KwWebConfig.h in the sources:
// tls_server_config with cert_file, key_file, client_auth_type, client_ca_file
// and min_version; basic_auth_users with bcrypt hashes). A client without a
// valid certificate, where one is required, gets 403; one without the right
// user and password gets 401 with a WWW-Authenticate header. Both come
// before a route is looked up. Credentials that passed are remembered and
// never wait for bcrypt again; other checks take turns on one thread of
// their own, one waiting for each client address, the address that asks
// least first and those that ask alike in turn, within a quarter of one
// core: a flood of wrong passwords from a few addresses neither takes the
// CPU nor locks out the right one. (A client that half-closes its
// connection while its check waits finds it closed: libmicrohttpd reads the
// end before the answer.)
//
// Rotation, as the exporters have it: the file and the files it names are
// read again every second, and a change serves new connections (a
// connection keeps what it started with). A change that is refused
// (unreadable, malformed, a key that does not match its certificate, TLS
// turned on or off, which takes a restart) leaves the configuration in use
// as it was, and is logged once, with its reason.
//
// Files: only regular files are read, the web configuration up to 256 KiB
// and each certificate, key and CA up to 1 MiB, with at most 1,000 users; a
// folder, a FIFO or a device is refused before it is opened.
//
// Logs: trouble (descriptors exhausted, connections refused, slow
// connections closed, TLS handshakes failed) is logged at most once a
// second for each kind, with a count of the lines held back.
//
// Ownership: the server keeps a copy of its snapshot source. Destroying it
// stops serving: it closes every connection and joins its threads at once
// (well within 100 ms), idle or busy, a bcrypt run aside (one at most,
// tens of milliseconds on a PC). Start() and the destructor are to be
// called from one thread at a time; the source is called from the server's
// threads, several at once (KwTakeStatsSnapshot allows that). Besides its
// event loops the server runs one thread that closes slow connections and
// rereads the web configuration, and, with a web configuration, one for
// bcrypt.
//
// Refusals: Start() returns null, with the reason in `error` (which it
// empties on success), when an option is out of range, the bind address is
// not exactly one IPv4 or IPv6 address, the port cannot be had (in use, or
// not permitted), or the web configuration file is refused ("FILE:LINE:
// reason"). No exception leaves Start(), the destructor or Port().
#ifndef KW_STATS_HTTP_SERVER_H
#define KW_STATS_HTTP_SERVER_H

#include <memory>
#include <string>

#include "KwStatsSnapshot.h"

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
    // Seconds for a whole request head, and again for its answer, 1 to
    // 600. Ten: a prompt client on a slow link, with a TLS handshake
    // that a board works out in a second or two, takes a few.
    int requestTimeoutSeconds = 10;
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
    struct Impl;  // libmicrohttpd's daemon and what its callbacks share
    explicit KwStatsHttpServer(std::unique_ptr<Impl> impl, int port);

    std::unique_ptr<Impl> m_impl;
    int m_port = 0;
};

#endif  // KW_STATS_HTTP_SERVER_H
